#include "utils/compat.hpp"

#include <datetime.h>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#if __has_include(<pthread.h>)
#include <pthread.h>
#endif
#if __has_include(<sys/mman.h>)
#include <sys/mman.h>
#endif
#if __has_include(<sys/resource.h>)
#include <sys/resource.h>
#endif
#if __has_include(<unistd.h>)
#include <unistd.h>
#endif
#endif

#include <algorithm>

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

bool thread_stack(std::uintptr_t &low, std::size_t &size) noexcept {
#if defined(_WIN32)
    // The whole reservation, guard pages included (Windows 8 on, as CPython requires).
    ULONG_PTR lowest = 0;
    ULONG_PTR highest = 0;
    GetCurrentThreadStackLimits(&lowest, &highest);
    low = static_cast<std::uintptr_t>(lowest);
    size = static_cast<std::size_t>(highest - lowest);
    return highest > lowest;
#elif defined(__APPLE__)
    const pthread_t self = pthread_self();
    const auto top = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    size = pthread_get_stacksize_np(self);
    if (pthread_main_np() != 0) {
        // The main thread's stack is sized by the limit at exec, which some versions of the
        // call above under-report.
        rlimit limit{};
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur > size) {
            size = static_cast<std::size_t>(limit.rlim_cur);
        }
    }
    if (size == 0 || size > top) {
        return false;
    }
    low = top - size;
    return true;
#elif defined(__linux__)
    pthread_attr_t attr;
    void *lowest = nullptr;
    size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return false;
    }
    if (pthread_attr_getstack(&attr, &lowest, &size) != 0) {
        lowest = nullptr;
    }
    pthread_attr_destroy(&attr);
    low = reinterpret_cast<std::uintptr_t>(lowest);
    return lowest != nullptr && size != 0;
#else
    (void)low;
    (void)size;
    return false;
#endif
}

std::size_t page_size() noexcept {
#if defined(_WIN32)
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
#elif defined(_SC_PAGESIZE)
    const long size = sysconf(_SC_PAGESIZE);
    return size > 0 ? static_cast<std::size_t>(size) : 4096;
#else
    return 4096;
#endif
}

void release_mapped_pages(std::uintptr_t begin, std::size_t len) noexcept {
#if defined(_WIN32)
    // Unlocking pages that were never locked takes them out of the working set: the
    // documented way to trim a view without unmapping it. It "fails" with ERROR_NOT_LOCKED.
    (void)VirtualUnlock(reinterpret_cast<void *>(begin), len);
#elif defined(MADV_DONTNEED)
    (void)madvise(reinterpret_cast<void *>(begin), len, MADV_DONTNEED);
#else
    (void)begin;
    (void)len;
#endif
}

} // namespace compat
