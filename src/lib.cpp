// The `_vezuvir` module: its handles, method table and initialisation.
#include <Python.h>
#include <datetime.h>

#include <new>

#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "serializing/utils.hpp"
#include "utils/py_helpers.hpp"

namespace {

/// Runs an entry point; no C++ exception may cross into the interpreter.
template <class F> PyObject *guarded(F &&body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vezuvir: unexpected internal error");
        return nullptr;
    }
}

PyObject *dump_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return guarded([&] { return dump_bytes_impl(args, nargsf, kwnames); });
}

PyObject *load_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return guarded([&] { return load_bytes_impl(args, nargsf, kwnames); });
}

PyObject *lazy_load_bytes(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return guarded([&] { return call_lazy_load(args, nargsf, kwnames, false); });
}

PyObject *bytes_check_if_contains(PyObject *, PyObject *const *args, Py_ssize_t nargsf,
                                  PyObject *kwnames) {
    return guarded([&]() -> PyObject * {
        PyObject *result = call_lazy_load(args, nargsf, kwnames, true);
        if (result == nullptr && PyErr_ExceptionMatches(DESERIALIZATION_ERROR_TYPE)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return result;
    });
}

PyObject *lazy_locate(PyObject *, PyObject *const *args, Py_ssize_t nargs) {
    return guarded([&] { return lazy_locate_impl(args, nargs); });
}

PyObject *load_record(PyObject *, PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return guarded([&] { return load_record_impl(args, nargsf, kwnames); });
}

PyObject *skip_record(PyObject *, PyObject *const *args, Py_ssize_t nargsf) {
    return guarded([&] { return skip_record_impl(args, nargsf); });
}

PyObject *encoding_stats(PyObject *, PyObject *const *args, Py_ssize_t nargsf) {
    return guarded([&] { return encoding_stats_impl(args, nargsf); });
}

#define VEZUVIR_FASTCALL(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef METHODS[] = {
    {"dump_bytes", VEZUVIR_FASTCALL(dump_bytes), METH_FASTCALL | METH_KEYWORDS, "serializes quelt"},
    {"load_bytes", VEZUVIR_FASTCALL(load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "deserializes quelt"},
    {"lazy_load_bytes", VEZUVIR_FASTCALL(lazy_load_bytes), METH_FASTCALL | METH_KEYWORDS,
     "lazily deserializes quelt"},
    {"bytes_check_if_contains", VEZUVIR_FASTCALL(bytes_check_if_contains),
     METH_FASTCALL | METH_KEYWORDS, "lazily deserializes quelt"},
    {"load_record", VEZUVIR_FASTCALL(load_record), METH_FASTCALL | METH_KEYWORDS,
     "load_record(buffer, offset=0, /, **load_bytes options) -> (value, end): decodes the "
     "encoding that starts at `offset` of `buffer`; `end` is the offset just past it"},
    {"skip_record", VEZUVIR_FASTCALL(skip_record), METH_FASTCALL,
     "skip_record(buffer, offset=0, /) -> end: steps over the encoding that starts at `offset` "
     "of `buffer` without building it; `end` is the offset just past it"},
    {"encoding_stats", VEZUVIR_FASTCALL(encoding_stats), METH_FASTCALL,
     "encoding_stats(buffer, offset=0, stop=None, /) -> dict: counts what the records that "
     "start from `offset` (and before `stop`) hold, with how many there were and the offset "
     "where the walk stopped"},
    {"_lazy_locate", VEZUVIR_FASTCALL(lazy_locate), METH_FASTCALL,
     "_lazy_locate(buffer, steps, check_mode, include_falsy, max_free_elements, "
     "max_int_digits, defer_custom, /): the lazy readers' walk, for the pure-Python codec"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_vezuvir",
    "Compact binary encoding of Python object trees, with lazy reads by path.",
    0,
    METHODS,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

/// Makes the module-wide handles in turn; false at the first that fails. The interpreter
/// must not be called with an error set (a debug build aborts), so none runs after that.
bool init_handles() noexcept {
    EMPTY_TUPLE = PyTuple_New(0);
    if (EMPTY_TUPLE == nullptr) {
        return false;
    }
    EMPTY_STRING = PyUnicode_New(0, 127);
    if (EMPTY_STRING == nullptr) {
        return false;
    }
    EMPTY_BYTES = PyBytes_FromStringAndSize(nullptr, 0);
    if (EMPTY_BYTES == nullptr) {
        return false;
    }
    DESERIALIZATION_ERROR_TYPE =
        import_object_from_python("vezuvir.exceptions", "DeserializationError");
    if (DESERIALIZATION_ERROR_TYPE == nullptr) {
        return false;
    }
    SERIALIZATION_ERROR_TYPE =
        import_object_from_python("vezuvir.exceptions", "SerializationError");
    if (SERIALIZATION_ERROR_TYPE == nullptr) {
        return false;
    }
    CUSTOM_TYPE_CLASS = import_object_from_python("vezuvir.serialize.settings", "CustomType");
    if (CUSTOM_TYPE_CLASS == nullptr) {
        return false;
    }
    IDX_CLASS = import_object_from_python("vezuvir.deserialize.lazy_load", "Idx");
    if (IDX_CLASS == nullptr) {
        return false;
    }
    // The capsule import is once per process; the module-level pointer it fills is ours.
    if (PyDateTimeAPI == nullptr) {
        PyDateTime_IMPORT;
    }
    if (PyDateTimeAPI == nullptr) {
        return false;
    }
    DATETIME_TYPE = PyDateTimeAPI->DateTimeType;
    PyObject *name = PyUnicode_FromString("isoformat");
    if (name == nullptr) {
        return false;
    }
    ISO_FORMAT_FUNC = PyObject_GetAttr(reinterpret_cast<PyObject *>(DATETIME_TYPE), name);
    Py_DECREF(name);
    return ISO_FORMAT_FUNC != nullptr;
}

} // namespace

PyMODINIT_FUNC PyInit__vezuvir() {
    // Whatever failed, the import fails with MemoryError.
    if (!init_handles()) {
        return PyErr_NoMemory();
    }
    return PyModule_Create2(&MODULE_DEF, 1013);
}
