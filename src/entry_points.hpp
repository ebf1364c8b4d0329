#pragma once
// The four public functions, each in its own unit; `lib.cpp` registers them and turns a
// stray std::bad_alloc into MemoryError. All use METH_FASTCALL | METH_KEYWORDS.
#include <Python.h>

/// serializes quelt
PyObject *dump_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
/// deserializes quelt
PyObject *load_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
/// lazily deserializes quelt (load mode when `check_mode` is false)
PyObject *call_lazy_load(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                         bool check_mode);
