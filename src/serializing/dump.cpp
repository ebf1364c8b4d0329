#include "entry_points.hpp"

PyObject *dump_bytes_impl(PyObject *const *, Py_ssize_t, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "dump_bytes() is not built yet");
    return nullptr;
}
