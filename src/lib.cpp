// The `_vezuvir` module: its state, method table and initialisation. Multi-phase: each
// interpreter that imports the module runs its exec slot and gets a state of its own.
#include <Python.h>

#include <new>

#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "module_state.hpp"
#include "serializing/utils.hpp"
#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"

namespace {

/// Runs an entry point of `module` with its state current; no C++ exception may cross into
/// the interpreter.
template <class F> PyObject *guarded(PyObject *module, F &&body) noexcept {
    const StateScope scope(module);
    if (!scope.ready()) [[unlikely]] {
        PyErr_SetString(PyExc_SystemError, "vezuvir: the module is not initialised");
        return nullptr;
    }
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return PyErr_NoMemory();
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "vezuvir: unexpected internal error");
        return nullptr;
    }
}

PyObject *dump_bytes(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                     PyObject *kwnames) {
    return guarded(module, [&] { return dump_bytes_impl(args, nargsf, kwnames); });
}

PyObject *load_bytes(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                     PyObject *kwnames) {
    return guarded(module, [&] { return load_bytes_impl(args, nargsf, kwnames); });
}

PyObject *lazy_load_bytes(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                          PyObject *kwnames) {
    return guarded(module, [&] { return call_lazy_load(args, nargsf, kwnames, false); });
}

PyObject *bytes_check_if_contains(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                                  PyObject *kwnames) {
    return guarded(module, [&]() -> PyObject * {
        PyObject *result = call_lazy_load(args, nargsf, kwnames, true);
        if (result == nullptr && PyErr_ExceptionMatches(DESERIALIZATION_ERROR_TYPE)) {
            PyErr_Clear();
            Py_RETURN_FALSE;
        }
        return result;
    });
}

PyObject *lazy_locate(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    return guarded(module, [&] { return lazy_locate_impl(args, nargs); });
}

PyObject *load_record(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                      PyObject *kwnames) {
    return guarded(module, [&] { return load_record_impl(args, nargsf, kwnames); });
}

PyObject *skip_record(PyObject *module, PyObject *const *args, Py_ssize_t nargsf) {
    return guarded(module, [&] { return skip_record_impl(args, nargsf); });
}

PyObject *encoding_stats(PyObject *module, PyObject *const *args, Py_ssize_t nargsf) {
    return guarded(module, [&] { return encoding_stats_impl(args, nargsf); });
}

PyObject *plain_json(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    return guarded(module, [&] { return plain_json_impl(args, nargs); });
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
    {"_plain_json", VEZUVIR_FASTCALL(plain_json), METH_FASTCALL,
     "_plain_json(value, max_depth, max_chars, /) -> bool: whether json's encoder renders a "
     "decoded tree as the command line's JSON writer does, within max_chars of strings"},
    {nullptr, nullptr, 0, nullptr},
};

/// The objects of a state, in one list for traversing and clearing.
template <class F> void for_each_object(ModuleState &state, F &&visit) {
    visit(state.empty_tuple);
    visit(state.empty_string);
    visit(state.empty_bytes);
    visit(state.deserialization_error);
    visit(state.serialization_error);
    visit(state.custom_type_class);
    visit(state.idx_class);
    visit(state.iso_format_func);
    visit(reinterpret_cast<PyObject *&>(state.datetime_type));
    for (PyObject *&key : state.stats_keys) {
        visit(key);
    }
}

[[nodiscard]] ModuleState *state_of(PyObject *module) noexcept {
    return static_cast<ModuleState *>(PyModule_GetState(module));
}

int traverse_module(PyObject *module, visitproc visit, void *arg) noexcept {
    ModuleState *state = state_of(module);
    if (state == nullptr) {
        return 0;
    }
    int result = 0;
    for_each_object(*state, [&](PyObject *&object) {
        if (result == 0 && object != nullptr) {
            result = visit(object, arg);
        }
    });
    return result;
}

int clear_module(PyObject *module) noexcept {
    ModuleState *state = state_of(module);
    if (state != nullptr) {
        // Releasing may run finalisers that call an entry point: it must find the state closed.
        state->ready = false;
        for_each_object(*state, [](PyObject *&object) { Py_CLEAR(object); });
    }
    return 0;
}

void free_module(void *module) noexcept {
    (void)clear_module(static_cast<PyObject *>(module));
}

/// Makes the module-wide handles in turn; false at the first that fails. The interpreter
/// must not be called with an error set (a debug build aborts), so none runs after that.
bool init_handles(ModuleState &state) noexcept {
    state.empty_tuple = PyTuple_New(0);
    if (state.empty_tuple == nullptr) {
        return false;
    }
    state.empty_string = PyUnicode_New(0, 127);
    if (state.empty_string == nullptr) {
        return false;
    }
    state.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0);
    if (state.empty_bytes == nullptr) {
        return false;
    }
    state.deserialization_error =
        import_object_from_python("vezuvir.exceptions", "DeserializationError");
    if (state.deserialization_error == nullptr) {
        return false;
    }
    state.serialization_error =
        import_object_from_python("vezuvir.exceptions", "SerializationError");
    if (state.serialization_error == nullptr) {
        return false;
    }
    state.custom_type_class = import_object_from_python("vezuvir.serialize.settings", "CustomType");
    if (state.custom_type_class == nullptr) {
        return false;
    }
    state.idx_class = import_object_from_python("vezuvir.deserialize.lazy_load", "Idx");
    if (state.idx_class == nullptr) {
        return false;
    }
    state.datetime_type = compat::datetime_type();
    if (state.datetime_type == nullptr) {
        return false;
    }
    Py_INCREF(state.datetime_type);
    PyObject *name = PyUnicode_FromString("isoformat");
    if (name == nullptr) {
        return false;
    }
    state.iso_format_func =
        PyObject_GetAttr(reinterpret_cast<PyObject *>(state.datetime_type), name);
    Py_DECREF(name);
    return state.iso_format_func != nullptr;
}

int exec_module(PyObject *module) noexcept {
    ModuleState *state = state_of(module);
    if (state == nullptr) {
        return -1;
    }
    // Whatever failed, the import fails with MemoryError; what was made goes with the module.
    if (!init_handles(*state)) {
        PyErr_NoMemory();
        return -1;
    }
    state->ready = true;
    return 0;
}

PyModuleDef_Slot SLOTS[] = {
    {Py_mod_exec, reinterpret_cast<void *>(exec_module)},
    VEZUVIR_INTERPRETER_SLOTS{0, nullptr},
};

PyModuleDef MODULE_DEF = {
    PyModuleDef_HEAD_INIT,
    "_vezuvir",
    "Compact binary encoding of Python object trees, with lazy reads by path.",
    sizeof(ModuleState),
    METHODS,
    SLOTS,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace

PyMODINIT_FUNC PyInit__vezuvir() {
    return PyModuleDef_Init(&MODULE_DEF);
}
