// `lazy_load_bytes` and `bytes_check_if_contains`: argument handling around the walk.
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "serializing/utils.hpp"
#include "deserializing/custom_types.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

namespace {

[[nodiscard]] PyObject *type_error(std::string_view message) {
    to_py_error(message, PyExc_TypeError);
    return nullptr;
}

[[nodiscard]] bool keyword_is(PyObject *name, const char *expected) noexcept {
    return PyUnicode_CompareWithASCIIString(name, expected) == 0;
}

/// The index of an `Idx` path step, as an unsigned 64-bit number. An int subclass is
/// read by its value alone, so no method of it runs.
[[nodiscard]] bool read_index(PyObject *idx, std::uint64_t &out) {
    PyPointer index = PyPointer::steal(PyObject_GetAttrString(idx, "index"));
    if (!index) {
        return false;
    }
    if (!PyLong_Check(index.get())) {
        to_py_error(format_message("Index must be an int, not {}", pretty_type(index.get())),
                    PyExc_TypeError);
        return false;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (value == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow < 0 || (overflow == 0 && value < 0)) {
        PyErr_SetString(PyExc_TypeError, "Index must not be negative");
        return false;
    }
    if (overflow == 0) {
        out = static_cast<std::uint64_t>(value);
        return true;
    }
    out = PyLong_AsUnsignedLongLong(index.get());
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            return false;
        }
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, "Index must be smaller than 2**64");
        return false;
    }
    return true;
}

/// Path elements from the caller's list: an exact `Idx` is an index, anything else a
/// key. Every key is owned in `held` from the moment it is read: reading a later index
/// may run Python code that edits the list and frees an earlier key, whose address could
/// then come back as another object.
[[nodiscard]] bool convert_path(PyObject *list, std::vector<PathElement> &path,
                                std::vector<PyPointer> &held) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    path.reserve(static_cast<std::size_t>(n));
    held.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        held.push_back(PyPointer::borrow(PyList_GET_ITEM(list, k)));
        PyObject *item = held.back().get();
        if (reinterpret_cast<PyObject *>(Py_TYPE(item)) == IDX_CLASS) {
            PathElement element;
            if (!read_index(item, element.index)) {
                return false;
            }
            path.push_back(element);
        } else {
            path.push_back(PathElement{item, 0});
        }
    }
    return true;
}

} // namespace

PyObject *call_lazy_load(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                         bool check_mode) {
    PyObject *buffer = nullptr;
    PyObject *path_obj = nullptr;
    bool include_falsy = true;
    HeldCustomTypes custom_types;
    DecodeSettings settings;
    settings.nesting = NestingBound::current();

    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, k);
        PyObject *value = args[nargs + k];
        if (keyword_is(name, "buffer")) {
            if (!check_buffer_type(value)) {
                return nullptr;
            }
            buffer = value;
        } else if (keyword_is(name, "include_falsy")) {
            const int truth = PyObject_IsTrue(value);
            if (truth < 0) {
                return nullptr;
            }
            include_falsy = truth == 1;
        } else if (keyword_is(name, "path_to_load")) {
            path_obj = value;
        } else if (keyword_is(name, "custom_types")) {
            if (!custom_types.parse(value)) {
                return nullptr;
            }
        } else if (bool ok = true; parse_limit_keyword(name, value, settings, ok)) {
            if (!ok) {
                return nullptr;
            }
        } else {
            (void)fail_unexpected_keyword("lazy_load_bytes", name);
            return nullptr;
        }
    }

    if (buffer != nullptr) {
        if (nargs != 0) {
            return type_error("lazy_load_bytes() got multiple values for argument 'buffer'");
        }
        if (path_obj == nullptr) {
            return type_error(format_message(
                "lazy_load_bytes() expected exactly 2 positional argument, but {} were provided",
                nargs));
        }
    } else {
        if (nargs == 0) {
            return type_error("lazy_load_bytes() missing 1 required positional argument: 'buffer'");
        }
        if (path_obj != nullptr) {
            if (nargs != 1) {
                return type_error(
                    "lazy_load_bytes() got multiple values for argument 'path_to_load'");
            }
        } else if (nargs != 2) {
            return type_error(format_message(
                "lazy_load_bytes() expected exactly 2 positional argument, but {} were provided",
                nargs));
        } else {
            path_obj = args[1];
        }
        buffer = args[0];
        if (!check_buffer_type(buffer)) {
            return nullptr;
        }
    }

    if (!PyList_Check(path_obj)) {
        return type_error("path_to_load must be a list");
    }
    // Held while the path is read: reading an index may run Python code.
    const PyPointer path_list = PyPointer::borrow(path_obj);
    std::vector<PathElement> path;
    std::vector<PyPointer> held_path;
    if (!convert_path(path_list.get(), path, held_path)) {
        return nullptr;
    }

    InputView input;
    if (!input.acquire(buffer)) {
        return nullptr;
    }
    if (!input.has_starting_marker()) {
        fail_missing_starting_marker();
        return nullptr;
    }
    PositionPointerHolder holder(input.data(), input.len());
    if (input.is_read_only_mapping()) {
        holder.release_pages_behind();
    }
    std::size_t pos = STARTING_MARKER.size();
    settings.custom_types = custom_types.get();
    // Converters are the only Python code that runs while a value is built.
    compat::HiddenContainers hidden(settings.custom_types != nullptr &&
                                    !settings.custom_types->empty());
    settings.hidden = &hidden;
    const LazyMode mode{settings, check_mode, include_falsy};
    return lazy_deserialize(input.data(), input.len(), pos, holder, mode, path).release();
}
