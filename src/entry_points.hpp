#pragma once
// The public functions, each in its own unit; `lib.cpp` registers them and turns a stray
// std::bad_alloc into MemoryError. The four readers and writers use METH_FASTCALL |
// METH_KEYWORDS; the record-log helpers, which take positional arguments only,
// METH_FASTCALL.
#include <Python.h>

/// serializes quelt
PyObject *dump_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
/// deserializes quelt
PyObject *load_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
/// deserializes the record at an offset: (value, offset just past it)
PyObject *load_record_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames);
/// lazily deserializes quelt (load mode when `check_mode` is false)
PyObject *call_lazy_load(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                         bool check_mode);
/// The lazy readers' walk for the pure codec, which builds the target itself (lazy_locate.cpp)
PyObject *lazy_locate_impl(PyObject *const *args, Py_ssize_t nargs);
/// Where the record at an offset ends, found by stepping over it
PyObject *skip_record_impl(PyObject *const *args, Py_ssize_t nargsf);
/// What the records from an offset hold, for `vezuvir stats`
PyObject *encoding_stats_impl(PyObject *const *args, Py_ssize_t nargsf);
/// Whether json's encoder renders a decoded tree as the command line does (plain_json.cpp)
PyObject *plain_json_impl(PyObject *const *args, Py_ssize_t nargs);
