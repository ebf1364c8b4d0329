#include "entry_points.hpp"

PyObject *call_lazy_load(PyObject *const *, Py_ssize_t, PyObject *, bool) {
    PyErr_SetString(PyExc_NotImplementedError, "lazy_load_bytes() is not built yet");
    return nullptr;
}
