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

/// The index of an `Idx` path step, as an unsigned 64-bit number.
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
    PyPointer zero = PyPointer::steal(PyLong_FromLong(0));
    if (!zero) {
        return false;
    }
    const int negative = PyObject_RichCompareBool(index.get(), zero.get(), Py_LT);
    if (negative < 0) {
        return false;
    }
    if (negative == 1) {
        PyErr_SetString(PyExc_TypeError, "Index must not be negative");
        return false;
    }
    out = PyLong_AsUnsignedLongLong(index.get());
    if (out == static_cast<std::uint64_t>(-1) && PyErr_Occurred()) {
        PyErr_Clear();
        PyErr_SetString(PyExc_OverflowError, "Index must be smaller than 2**64");
        return false;
    }
    return true;
}

/// Path elements from the caller's list: an exact `Idx` is an index, anything else a
/// key (borrowed from the list, which the caller keeps alive for the call).
[[nodiscard]] bool convert_path(PyObject *list, std::vector<PathElement> &path) {
    const Py_ssize_t n = PyList_GET_SIZE(list);
    path.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(list); ++k) {
        PyObject *item = PyList_GET_ITEM(list, k);
        if (Py_TYPE(item) == reinterpret_cast<PyTypeObject *>(IDX_CLASS)) {
            PathElement element;
            // Reading `index` may run Python code that edits the list: hold the item.
            PyPointer held = PyPointer::borrow(item);
            if (!read_index(held.get(), element.index)) {
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
            include_falsy = PyObject_IsTrue(value) == 1;
        } else if (keyword_is(name, "path_to_load")) {
            path_obj = value;
        } else if (keyword_is(name, "custom_types")) {
            if (!custom_types.parse(value)) {
                return nullptr;
            }
        } else {
            std::string_view text;
            if (!py_str_to_utf8_str(name, text)) {
                return nullptr;
            }
            return type_error(
                format_message("lazy_load_bytes() got an unexpected keyword argument '{}'", text));
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
    // The keys are borrowed from the list: keep it alive whatever a key's `__eq__` does.
    PyPointer path_list = PyPointer::borrow(path_obj);
    std::vector<PathElement> path;
    if (!convert_path(path_list.get(), path)) {
        return nullptr;
    }
    // Keep every key alive too: the list may be edited by Python code during the walk.
    std::vector<PyPointer> held_keys;
    held_keys.reserve(path.size());
    for (const PathElement &element : path) {
        if (!element.is_index()) {
            held_keys.push_back(PyPointer::borrow(element.key));
        }
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
    std::size_t pos = STARTING_MARKER.size();
    const LazyMode mode{custom_types.get(), check_mode, include_falsy};
    return lazy_deserialize(input.data(), input.len(), pos, holder, mode, path).release();
}
