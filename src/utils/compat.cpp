#include "utils/compat.hpp"

#include <datetime.h>

#include "utils/safe_py_pointer.hpp"

namespace compat {

size_t long_num_bits(PyObject *v) noexcept {
#if VEZUVIR_CPYTHON
    return _PyLong_NumBits(v);
#else
    PyPointer bits = PyPointer::steal(PyObject_CallMethod(v, "bit_length", nullptr));
    if (!bits) {
        return static_cast<size_t>(-1);
    }
    return PyLong_AsSize_t(bits.get());
#endif
}

bool long_to_signed_big_endian(PyObject *v, unsigned char *out, size_t n) noexcept {
#if VEZUVIR_CPYTHON && PY_VERSION_HEX >= 0x030D0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(v), out, n, 0, 1, 1) == 0;
#elif VEZUVIR_CPYTHON
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(v), out, n, 0, 1) == 0;
#else
    PyPointer method = PyPointer::steal(PyObject_GetAttrString(v, "to_bytes"));
    PyPointer args = PyPointer::steal(Py_BuildValue("(ns)", static_cast<Py_ssize_t>(n), "big"));
    PyPointer kwargs = PyPointer::steal(Py_BuildValue("{s:O}", "signed", Py_True));
    if (!method || !args || !kwargs) {
        return false;
    }
    PyPointer bytes = PyPointer::steal(PyObject_Call(method.get(), args.get(), kwargs.get()));
    if (!bytes) {
        return false;
    }
    std::memcpy(out, PyBytes_AS_STRING(bytes.get()), n);
    return true;
#endif
}

PyTypeObject *datetime_type() noexcept {
#if VEZUVIR_CPYTHON
    // The capsule goes into a local, not the header's process-wide `PyDateTimeAPI`, which
    // interpreters running at once would write together.
    const auto *api =
        static_cast<const PyDateTime_CAPI *>(PyCapsule_Import(PyDateTime_CAPSULE_NAME, 0));
#else
    // PyPy has no capsule, and one interpreter per process.
    const PyDateTime_CAPI *api = PyDateTime_IMPORT;
#endif
    return api == nullptr ? nullptr : api->DateTimeType;
}

#if VEZUVIR_CPYTHON && PY_VERSION_HEX >= 0x030A0000
int gc_is_enabled() noexcept {
    return PyGC_IsEnabled();
}
bool gc_disable() noexcept {
    (void)PyGC_Disable();
    return true;
}
bool gc_enable() noexcept {
    (void)PyGC_Enable();
    return true;
}
#else
namespace {
PyPointer call_gc(const char *name) noexcept {
    PyPointer gc = PyPointer::steal(PyImport_ImportModule("gc"));
    if (!gc) {
        return {};
    }
    return PyPointer::steal(PyObject_CallMethod(gc.get(), name, nullptr));
}
} // namespace
int gc_is_enabled() noexcept {
    PyPointer result = call_gc("isenabled");
    return result ? PyObject_IsTrue(result.get()) : -1;
}
bool gc_disable() noexcept {
    return static_cast<bool>(call_gc("disable"));
}
bool gc_enable() noexcept {
    return static_cast<bool>(call_gc("enable"));
}
#endif

} // namespace compat
