#include "utils/py_helpers.hpp"
#include "utils/compiler.hpp"
#include "utils/value_text.hpp"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

void to_py_error(std::string_view message, PyObject *exception_class) noexcept {
    if (PyErr_Occurred() != nullptr && error_passes_through()) {
        return;
    }
    const auto size = static_cast<Py_ssize_t>(message.size());
    // Built as a `str` of the whole text: a C string would end at the first NUL.
    PyObject *text = PyUnicode_DecodeUTF8(message.data(), size, "surrogatepass");
    if (text == nullptr) {
        // A type name that is not UTF-8 (C extensions may set any bytes).
        PyErr_Clear();
        text = PyUnicode_DecodeUTF8(message.data(), size, "replace");
    }
    if (text == nullptr) {
        PyErr_NoMemory();
        return;
    }
    PyErr_SetObject(exception_class, text);
    Py_DECREF(text);
}

bool error_passes_through() noexcept {
    PyObject *type = PyErr_Occurred();
    return type != nullptr && (!PyErr_GivenExceptionMatches(type, PyExc_Exception) ||
                               PyErr_GivenExceptionMatches(type, PyExc_MemoryError));
}

bool clear_mapped_error() noexcept {
    if (error_passes_through()) {
        return false;
    }
    PyErr_Clear();
    return true;
}

namespace {
/// The pending exception, taken out of the interpreter and normalized (all owned).
struct FetchedError {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;

    FetchedError() noexcept {
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        if (value != nullptr && traceback != nullptr) {
            PyException_SetTraceback(value, traceback);
        }
    }
    FetchedError(const FetchedError &) = delete;
    FetchedError &operator=(const FetchedError &) = delete;
    ~FetchedError() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
};
} // namespace

void wrap_callback_error(std::string_view message, PyObject *exception_class) noexcept {
    if (error_passes_through()) {
        return;
    }
    FetchedError cause;
    to_py_error(message, exception_class);
    if (error_passes_through()) {
        return; // building the message ran out of memory
    }
    FetchedError error;
    if (error.value != nullptr && cause.value != nullptr) {
        PyException_SetCause(error.value, std::exchange(cause.value, nullptr)); // steals
    }
    PyErr_Restore(std::exchange(error.type, nullptr), std::exchange(error.value, nullptr),
                  std::exchange(error.traceback, nullptr));
}

void wrap_str_without_utf8(PyObject *str, PyObject *exception_class) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
        return;
    }
    std::string message;
    {
        // Set aside while the text is made: a repr of the string's first characters, as the
        // pure codec writes it.
        FetchedError cause;
        const Py_ssize_t n = PyUnicode_GetLength(str);
        const PyPointer prefix =
            PyPointer::steal(PyUnicode_Substring(str, 0, std::min(n, VALUE_TEXT_LIMIT)));
        const PyPointer repr = prefix ? PyPointer::steal(PyObject_Repr(prefix.get())) : PyPointer{};
        const char *text = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (text == nullptr) {
            return; // out of memory: that error stands
        }
        message.append("Cannot serialize string ").append(text);
        if (n > VALUE_TEXT_LIMIT) {
            message.append("...");
        }
        message.append(": the encoding stores UTF-8, which has no form for a lone surrogate");
        PyErr_Restore(std::exchange(cause.type, nullptr), std::exchange(cause.value, nullptr),
                      std::exchange(cause.traceback, nullptr));
    }
    wrap_callback_error(message, exception_class);
}

bool depth_error_pending() noexcept {
    if (PyErr_Occurred() != PyExc_RecursionError) {
        return false;
    }
    FetchedError error;
    bool depth = false;
    if (error.value != nullptr &&
        Py_TYPE(error.value) == reinterpret_cast<PyTypeObject *>(PyExc_RecursionError)) {
        // The text from `args`, as str() of an argument could run Python code.
        const PyPointer args = PyPointer::steal(PyObject_GetAttrString(error.value, "args"));
        if (args && PyTuple_CheckExact(args.get()) && PyTuple_GET_SIZE(args.get()) == 1 &&
            PyUnicode_CheckExact(PyTuple_GET_ITEM(args.get(), 0))) {
            Py_ssize_t len = 0;
            const char *text = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(args.get(), 0), &len);
            depth = text != nullptr && std::string_view(text, static_cast<std::size_t>(len))
                                           .starts_with("maximum recursion depth exceeded");
        }
        PyErr_Clear();
    }
    PyErr_Restore(std::exchange(error.type, nullptr), std::exchange(error.value, nullptr),
                  std::exchange(error.traceback, nullptr));
    return depth;
}

void rename_depth_error(const char *where) noexcept {
    if (depth_error_pending()) {
        PyErr_Clear();
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    }
}

namespace {
/// Copies `bytes`, replacing every byte sequence that is not valid UTF-8 with U+FFFD.
std::string sanitize_utf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto *p = reinterpret_cast<const unsigned char *>(bytes.data());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = p[i];
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c < 0x80) {
            len = 1;
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
            cp = c & 0x07;
        }
        bool ok = len != 0 && i + len <= n;
        for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (p[i + k] & 0xC0) == 0x80;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static constexpr std::uint32_t min_for_len[5] = {0, 0, 0x80, 0x800, 0x10000};
        ok = ok && cp >= min_for_len[len] && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (ok) {
            out.append(bytes.substr(i, len));
            i += len;
        } else {
            out.append("\xEF\xBF\xBD");
            i += 1;
        }
    }
    return out;
}
} // namespace

std::string display_text(PyObject *str) {
    // "surrogatepass" keeps a lone surrogate, and `to_py_error` reads it back the same way.
    PyPointer encoded = PyPointer::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!encoded) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    return {PyBytes_AS_STRING(encoded.get()),
            static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))};
}

std::string pretty_type(PyObject *obj) {
    PyPointer type = PyPointer::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    PyPointer repr = PyPointer::steal(PyObject_Repr(type.get()));
    if (!repr) {
        // The message is still made; a KeyboardInterrupt raised meanwhile stays pending
        // and wins over it (see `to_py_error`).
        if (!error_passes_through()) {
            PyErr_Clear();
        }
        return sanitize_utf8(Py_TYPE(obj)->tp_name);
    }
    return display_text(repr.get());
}

bool fail_unexpected_keyword(const char *function, PyObject *name) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function, name);
    return false;
}

bool py_str_to_utf8_str(PyObject *str, std::string_view &out) noexcept {
    Py_ssize_t len = 0;
    const char *data = PyUnicode_AsUTF8AndSize(str, &len);
    if (data == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    out = std::string_view(data, static_cast<std::size_t>(len));
    return true;
}

PyPointer temporary_tuple_of(PyObject *obj) noexcept {
    PyObject *tuple = PyTuple_New(1);
    if (tuple == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    Py_INCREF(obj);
    PyTuple_SET_ITEM(tuple, 0, obj);
    return PyPointer::steal(tuple);
}

PyObject *import_object_from_python(std::string_view module_name,
                                    std::string_view attribute_name) noexcept {
    if (module_name.find('\0') != std::string_view::npos ||
        attribute_name.find('\0') != std::string_view::npos) {
        return nullptr;
    }
    try {
        const std::string module_copy(module_name);
        const std::string attribute_copy(attribute_name);
        PyPointer name = PyPointer::steal(PyUnicode_FromString(module_copy.c_str()));
        if (!name) {
            PyErr_NoMemory();
            return nullptr;
        }
        PyPointer module = PyPointer::steal(PyImport_Import(name.get()));
        if (!module) {
            PyErr_NoMemory();
            return nullptr;
        }
        return PyObject_GetAttrString(module.get(), attribute_copy.c_str());
    } catch (...) {
        PyErr_NoMemory();
        return nullptr;
    }
}

PyPointer to_py_str(PyObject *obj) noexcept {
    return PyPointer::steal(PyObject_Str(obj));
}

PyPointer call_with_one_arg(PyObject *callable, PyObject *arg) noexcept {
    PyPointer args = temporary_tuple_of(arg);
    if (!args) {
        return {};
    }
    return PyPointer::steal(PyObject_CallObject(callable, args.get()));
}

namespace {
constexpr std::uintptr_t KIB = 1024;
/// Kept free below the floor: room for what a callback at the deepest level runs (a
/// converter, `__eq__`, a writer) and for raising RecursionError. A quarter of a small
/// thread stack.
constexpr std::uintptr_t STACK_RESERVE = 256 * KIB;

/// Initial-exec, as the current module state is: read on every call, a load beats a call.
VEZUVIR_TLS_INITIAL_EXEC constinit thread_local std::uintptr_t stack_floor = 0;

std::uintptr_t compute_stack_floor() noexcept {
    const auto here = compiler::frame_address();
    std::uintptr_t bottom = 0;
    std::size_t size = 0;
    if (!compat::thread_stack(bottom, size) || here <= bottom || here - bottom > size) {
        // Bounds unknown: assume a 1 MiB stack below this frame, which every thread has.
        return here > 1024 * KIB ? here - 768 * KIB : 1;
    }
    return bottom + std::min<std::uintptr_t>(STACK_RESERVE, size / 4);
}
} // namespace

std::uintptr_t native_stack_floor() noexcept {
    if (stack_floor == 0) [[unlikely]] {
        stack_floor = compute_stack_floor();
    }
    return stack_floor;
}

bool fail_native_stack(const char *where) noexcept {
    PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
    return false;
}

bool enter_nesting(const char *where) noexcept {
    return enter_nesting(where, NestingBound::current());
}
