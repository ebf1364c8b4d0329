#include "utils/py_helpers.hpp"

#include <cstring>

void to_py_error(std::string_view message, PyObject *exception_class) noexcept {
    try {
        const std::string text(message); // PyErr_SetString wants a NUL-terminated copy
        PyErr_SetString(exception_class, text.c_str());
    } catch (...) {
        PyErr_NoMemory();
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
    // "surrogatepass" keeps a lone surrogate as bytes, which the sanitizer then replaces.
    PyPointer encoded = PyPointer::steal(PyUnicode_AsEncodedString(str, "utf-8", "surrogatepass"));
    if (!encoded) {
        PyErr_Clear();
        return "\xEF\xBF\xBD";
    }
    return sanitize_utf8(
        std::string_view(PyBytes_AS_STRING(encoded.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))));
}

std::string pretty_type(PyObject *obj) {
    PyPointer type = PyPointer::borrow(reinterpret_cast<PyObject *>(Py_TYPE(obj)));
    PyPointer repr = PyPointer::steal(PyObject_Repr(type.get()));
    if (!repr) {
        PyErr_Clear();
        return sanitize_utf8(Py_TYPE(obj)->tp_name);
    }
    return display_text(repr.get());
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
    PyObject *text = PyObject_Str(obj);
    if (text == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    return PyPointer::steal(text);
}

PyPointer call_with_one_arg(PyObject *callable, PyObject *arg) noexcept {
    PyPointer args = temporary_tuple_of(arg);
    if (!args) {
        return {};
    }
    return PyPointer::steal(PyObject_CallObject(callable, args.get()));
}
