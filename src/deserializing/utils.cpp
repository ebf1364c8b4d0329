#include "deserializing/utils.hpp"

#include <cstring>

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

bool fail_unexpected_end() noexcept {
    PyErr_SetString(DESERIALIZATION_ERROR_TYPE, "Unexpected end of input");
    return false;
}

bool fail_deserialization(std::string_view message) noexcept {
    to_py_error(message, DESERIALIZATION_ERROR_TYPE);
    return false;
}

bool check_buffer_type(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyByteArray_Type || PyBytes_Check(obj) ||
        PyType_IsSubtype(type, &PyByteArray_Type)) {
        return true;
    }
    try {
        to_py_error(format_message("buffer must be of type `bytes` or `bytearray` but got `{}`",
                                   pretty_type(obj)),
                    PyExc_TypeError);
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

bool InputView::acquire(PyObject *obj) noexcept {
    source_ = compat::stable_input(obj);
    if (source_ == nullptr || PyObject_GetBuffer(source_, &view_, PyBUF_SIMPLE) != 0) {
        return false;
    }
    held_ = true;
    return true;
}

bool InputView::has_starting_marker() const noexcept {
    return len() >= STARTING_MARKER.size() &&
           std::memcmp(data(), STARTING_MARKER.data(), STARTING_MARKER.size()) == 0;
}

bool fail_missing_starting_marker() noexcept {
    return fail_deserialization(
        format_message("{}: missing starting marker `{}`", "Corrupted data", STARTING_MARKER));
}
