#include "entry_points.hpp"

PyObject *load_bytes_impl(PyObject *const *, Py_ssize_t, PyObject *) {
    PyErr_SetString(PyExc_NotImplementedError, "load_bytes() is not built yet");
    return nullptr;
}
