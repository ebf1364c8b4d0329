// `skip_record`: where the record at an offset ends, found without building anything.
#include "deserializing/records.hpp"

#include <cstring>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

bool read_offset(PyObject *value, const char *name, std::size_t len, std::size_t &out) noexcept {
    if (!PyLong_Check(value)) {
        try {
            to_py_error(format_message("{} must be an int, not {}", name, pretty_type(value)),
                        PyExc_TypeError);
        } catch (...) {
            PyErr_NoMemory();
        }
        return false;
    }
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (offset == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || offset < 0 || static_cast<unsigned long long>(offset) > len) {
        PyPointer text = PyPointer::steal(PyObject_Repr(value));
        if (!text) {
            return false;
        }
        PyErr_Format(PyExc_ValueError, "%s %S is outside the buffer of %zu bytes", name, text.get(),
                     len);
        return false;
    }
    out = static_cast<std::size_t>(offset);
    return true;
}

bool starts_record(const std::uint8_t *data, std::size_t len, std::size_t pos) noexcept {
    return pos <= len && len - pos >= STARTING_MARKER.size() &&
           std::memcmp(data + pos, STARTING_MARKER.data(), STARTING_MARKER.size()) == 0;
}

void name_failed_record(std::size_t start) noexcept {
    if (!PyErr_ExceptionMatches(DESERIALIZATION_ERROR_TYPE)) {
        return;
    }
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    PyPointer owned_type = PyPointer::steal(type);
    PyPointer owned_value = PyPointer::steal(value);
    PyPointer owned_traceback = PyPointer::steal(traceback);
    // Built as a Python string, so that any text of the message survives.
    PyPointer message =
        PyPointer::steal(PyUnicode_FromFormat("record at byte offset %zu: %S", start, value));
    if (message) {
        PyErr_SetObject(type, message.get());
    } else {
        PyErr_NoMemory();
    }
}

PyObject *skip_record_impl(PyObject *const *args, Py_ssize_t nargsf) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs < 1 || nargs > 2) {
        to_py_error(format_message("skip_record() takes from 1 to 2 positional arguments but {} "
                                   "were given",
                                   nargs),
                    PyExc_TypeError);
        return nullptr;
    }
    if (!check_buffer_type(args[0])) {
        return nullptr;
    }
    InputView input;
    std::size_t offset = 0;
    if (!input.acquire(args[0]) ||
        (nargs > 1 && !read_offset(args[1], "offset", input.len(), offset))) {
        return nullptr;
    }
    // The record is read as an encoding of its own: positions in messages count from it.
    const std::uint8_t *data = input.data() + offset;
    const std::size_t len = input.len() - offset;
    if (!starts_record(data, len, 0)) {
        fail_missing_starting_marker();
        return nullptr;
    }
    PositionPointerHolder holder(data, len);
    if (input.is_read_only_mapping()) {
        holder.release_pages_behind();
    }
    std::size_t pos = STARTING_MARKER.size();
    if (!skip_object(data, len, pos, holder)) {
        // The skipper's TypeErrors ("Unexpected flag", ...) are about the bytes here: the
        // arguments were all checked above.
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyObject *type = nullptr;
            PyObject *value = nullptr;
            PyObject *traceback = nullptr;
            PyErr_Fetch(&type, &value, &traceback);
            PyErr_NormalizeException(&type, &value, &traceback);
            PyPointer message = PyPointer::steal(PyObject_Str(value));
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
            if (message) {
                PyErr_SetObject(DESERIALIZATION_ERROR_TYPE, message.get());
            }
        }
        return nullptr;
    }
    // The last value may have been stepped over by arithmetic alone.
    if (pos > len) {
        fail_unexpected_end();
        return nullptr;
    }
    return PyLong_FromSize_t(offset + pos);
}
