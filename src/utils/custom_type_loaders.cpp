#include "utils/custom_type_loaders.hpp"

bool parse_loads_custom_types_dict(PyObject *obj, LoadsCustomTypes &out) {
    if (!PyDict_Check(obj)) {
        PyErr_SetString(PyExc_TypeError, "custom_types must be a dict");
        return false;
    }
    out.clear();
    out.reserve(static_cast<std::size_t>(PyDict_Size(obj)));
    Py_ssize_t it = 0;
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (PyDict_Next(obj, &it, &key, &value)) {
        if (!PyCallable_Check(value)) {
            out.clear();
            PyErr_SetString(PyExc_TypeError, "custom_types value must be a function");
            return false;
        }
        PyKey pykey(key);
        if (pykey.hash == -1 && PyErr_Occurred()) {
            out.clear();
            return false;
        }
        out.insert_or_assign(pykey, value);
    }
    return true;
}
