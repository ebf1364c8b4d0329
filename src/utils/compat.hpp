#pragma once
// The one place that knows which interpreter we are built for. CPython-only shortcuts
// (string internals, presized dicts, private int helpers, the collector switch) live here,
// each with a public-API fallback for PyPy and for CPython versions that lack it.
// Nothing else in the sources tests PYPY_VERSION or PY_VERSION_HEX.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(PYPY_VERSION)
#define VEZUVIR_CPYTHON 0
#else
#define VEZUVIR_CPYTHON 1
#endif

namespace compat {

/// UTF-8 text of a `str` without copying where possible. Sets `is_ascii` from the
/// object's own ASCII flag on CPython. Null (interpreter error set) if the text cannot
/// be produced, e.g. for a lone surrogate.
[[nodiscard]] inline const char *str_utf8(PyObject *str, Py_ssize_t &len, bool &is_ascii) noexcept {
#if VEZUVIR_CPYTHON
    if (PyUnicode_IS_COMPACT_ASCII(str)) {
        is_ascii = true;
        len = reinterpret_cast<PyASCIIObject *>(str)->length;
        return reinterpret_cast<const char *>(reinterpret_cast<PyASCIIObject *>(str) + 1);
    }
    is_ascii = false;
    return PyUnicode_AsUTF8AndSize(str, &len);
#else
    const char *data = PyUnicode_AsUTF8AndSize(str, &len);
    is_ascii = data != nullptr && len == PyUnicode_GetLength(str);
    return data;
#endif
}

/// New `str` from bytes the caller has checked to be ASCII (all below 0x80).
[[nodiscard]] inline PyObject *new_ascii_str(const char *data, std::size_t len) noexcept {
#if VEZUVIR_CPYTHON
    PyObject *str = PyUnicode_New(static_cast<Py_ssize_t>(len), 127);
    if (str != nullptr) {
        std::memcpy(PyUnicode_DATA(str), data, len);
    }
    return str;
#else
    return PyUnicode_FromStringAndSize(data, static_cast<Py_ssize_t>(len));
#endif
}

/// New empty dict sized for `n` entries.
[[nodiscard]] inline PyObject *new_dict_presized(Py_ssize_t n) noexcept {
#if VEZUVIR_CPYTHON
    return _PyDict_NewPresized(n);
#else
    (void)n;
    return PyDict_New();
#endif
}

/// New list (`tuple` false) or tuple for `n` items, to be filled in order, slot 0 first,
/// each exactly once with `fill_sequence`, then handed on with `finish_sequence`.
/// On CPython a list starts empty with room for `n` items and grows as it is filled: its
/// item array is never zeroed, and an abandoned list holds just the items stored. Either
/// kind is hidden from the cyclic collector until `finish_sequence`: Python code that
/// runs while it is filled (a converter) must not find it through `gc.get_objects()`
/// half-built, holding NULL slots or slots it could empty under us. PyPy's collector
/// does not hand out objects it has not been given.
[[nodiscard]] inline PyObject *new_sequence(Py_ssize_t n, bool tuple) noexcept {
#if VEZUVIR_CPYTHON
    if (!tuple && n > 0) {
        if (static_cast<std::size_t>(n) > PY_SSIZE_T_MAX / sizeof(PyObject *)) {
            return PyErr_NoMemory();
        }
        auto **items = static_cast<PyObject **>(
            PyMem_Malloc(static_cast<std::size_t>(n) * sizeof(PyObject *)));
        if (items == nullptr) {
            return PyErr_NoMemory();
        }
        PyObject *list = PyList_New(0);
        if (list == nullptr) {
            PyMem_Free(items);
            return nullptr;
        }
        PyObject_GC_UnTrack(list);
        reinterpret_cast<PyListObject *>(list)->ob_item = items;
        reinterpret_cast<PyListObject *>(list)->allocated = n;
        return list;
    }
    PyObject *seq = tuple ? PyTuple_New(n) : PyList_New(n);
    if (seq != nullptr && n > 0) {
        PyObject_GC_UnTrack(seq);
    }
    return seq;
#else
    return tuple ? PyTuple_New(n) : PyList_New(n);
#endif
}

/// Stores `item` (steals it) in slot `i` of a sequence from `new_sequence`.
inline void fill_sequence(PyObject *seq, Py_ssize_t i, PyObject *item, bool tuple) noexcept {
#if VEZUVIR_CPYTHON
    if (tuple) {
        PyTuple_SET_ITEM(seq, i, item);
    } else {
        PyList_SET_ITEM(seq, i, item);
        Py_SET_SIZE(seq, i + 1);
    }
#else
    // The checked setters cannot fail here: the index is in range and the object new.
    if (tuple) {
        (void)PyTuple_SetItem(seq, i, item);
    } else {
        (void)PyList_SetItem(seq, i, item);
    }
#endif
}

/// Shows a completely filled sequence from `new_sequence` to the collector again.
inline void finish_sequence(PyObject *seq) noexcept {
#if VEZUVIR_CPYTHON
    // The empty tuple is a shared singleton that was never untracked.
    if (!PyObject_GC_IsTracked(seq) && (PyList_CheckExact(seq) || PyTuple_GET_SIZE(seq) > 0)) {
        PyObject_GC_Track(seq);
    }
#else
    (void)seq;
#endif
}

/// Whether a held buffer export keeps the exporter's memory where it is for the whole
/// call. CPython refuses to resize a `bytearray` or `array` or to close an `mmap` while an
/// export is held; PyPy allows all three, so there a reader works on a private `bytes`
/// copy of any input but `bytes` itself.
inline constexpr bool HELD_EXPORTS_PIN_MEMORY = VEZUVIR_CPYTHON != 0;

/// Walks a dict's entries in iteration order without running Python code. CPython's
/// `PyDict_Next` reads the table. PyPy's looks every value up again by its key, which calls
/// the key's `__hash__`: Python code in the middle of an iteration, and a key whose hash
/// raises ends the process there. On PyPy the entries come from one `dict.items()` list.
#if VEZUVIR_CPYTHON
class DictItems {
  public:
    explicit DictItems(PyObject *dict) noexcept : dict_(dict) {}

    /// False (MemoryError set) when the entries could not be taken; check before `next`.
    [[nodiscard]] bool ok() const noexcept { return true; }

    /// The next entry, both borrowed (from the dict, or from the list that this object
    /// holds); false at the end.
    [[nodiscard, gnu::always_inline]] bool next(PyObject *&key, PyObject *&value) noexcept {
        return PyDict_Next(dict_, &pos_, &key, &value) != 0;
    }

  private:
    PyObject *dict_;
    Py_ssize_t pos_ = 0;
};
#else
class DictItems {
  public:
    explicit DictItems(PyObject *dict) noexcept : items_(PyDict_Items(dict)) {}
    DictItems(const DictItems &) = delete;
    DictItems &operator=(const DictItems &) = delete;
    ~DictItems() { Py_XDECREF(items_); }

    [[nodiscard]] bool ok() const noexcept { return items_ != nullptr; }

    [[nodiscard]] bool next(PyObject *&key, PyObject *&value) noexcept {
        if (items_ == nullptr || pos_ >= PyList_GET_SIZE(items_)) {
            return false;
        }
        PyObject *item = PyList_GET_ITEM(items_, pos_++);
        key = PyTuple_GET_ITEM(item, 0);
        value = PyTuple_GET_ITEM(item, 1);
        return true;
    }

  private:
    PyObject *items_;
    Py_ssize_t pos_ = 0;
};
#endif

/// Number of bits of |v| (v an exact int); (size_t)-1 with an error set on failure.
[[nodiscard]] size_t long_num_bits(PyObject *v) noexcept;

/// Writes `v` big-endian, two's complement, into `n` bytes. False with an error set.
[[nodiscard]] bool long_to_signed_big_endian(PyObject *v, unsigned char *out, size_t n) noexcept;

/// Whether the cyclic garbage collector is on; -1 with an error set on failure.
[[nodiscard]] int gc_is_enabled() noexcept;
/// Switches the collector off; false with an error set on failure.
[[nodiscard]] bool gc_disable() noexcept;
/// Switches the collector on; false with an error set on failure.
[[nodiscard]] bool gc_enable() noexcept;

/// The hash of an exact `str`, read from the object's own cache when it is filled.
[[nodiscard]] inline Py_hash_t str_hash(PyObject *str) noexcept {
#if VEZUVIR_CPYTHON
    const Py_hash_t cached = reinterpret_cast<PyASCIIObject *>(str)->hash;
    if (cached != -1) [[likely]] {
        return cached;
    }
#endif
    return PyObject_Hash(str);
}

/// Whether a `bytes` object we handed to Python code is referenced by nobody else, so
/// that its storage may be written again. PyPy links the object to an immutable
/// interpreter-level copy once Python code has seen it, so there the answer is no.
[[nodiscard]] inline bool bytes_is_unshared(PyObject *bytes) noexcept {
#if VEZUVIR_CPYTHON
    return Py_REFCNT(bytes) == 1;
#else
    (void)bytes;
    return false;
#endif
}

/// `int` value as a signed 64-bit integer; false (no error set) when it does not fit.
/// Reads single-digit ints directly on CPython, the overwhelmingly common case.
[[nodiscard]] inline bool long_as_i64(PyObject *v, long long &out) noexcept {
#if VEZUVIR_CPYTHON && PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject *>(v))) [[likely]] {
        out = static_cast<long long>(
            PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject *>(v)));
        return true;
    }
#elif VEZUVIR_CPYTHON
    const Py_ssize_t size = Py_SIZE(v);
    if (size >= -1 && size <= 1) [[likely]] {
        // A zero may have been built without setting its digit.
        out = size == 0
                  ? 0
                  : static_cast<long long>(size) *
                        static_cast<long long>(reinterpret_cast<PyLongObject *>(v)->ob_digit[0]);
        return true;
    }
#endif
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;
}

/// Whether two exact `str` objects hold the same characters. CPython compares the
/// canonical storage directly (equal text implies equal width); elsewhere the public call.
[[nodiscard, gnu::always_inline]] inline bool str_equal(PyObject *a, PyObject *b) noexcept {
#if VEZUVIR_CPYTHON
    const Py_ssize_t len = PyUnicode_GET_LENGTH(a);
    const int kind = PyUnicode_KIND(a);
    if (len != PyUnicode_GET_LENGTH(b) || kind != static_cast<int>(PyUnicode_KIND(b))) {
        return false;
    }
    const auto n = static_cast<std::size_t>(len) * static_cast<std::size_t>(kind);
    const auto *x = static_cast<const unsigned char *>(PyUnicode_DATA(a));
    const auto *y = static_cast<const unsigned char *>(PyUnicode_DATA(b));
    if (n >= 8 && n <= 16) {
        // Most repeated values are short: two overlapping words instead of a call.
        std::uint64_t xh = 0, yh = 0, xt = 0, yt = 0;
        std::memcpy(&xh, x, 8);
        std::memcpy(&yh, y, 8);
        std::memcpy(&xt, x + n - 8, 8);
        std::memcpy(&yt, y + n - 8, 8);
        return ((xh ^ yh) | (xt ^ yt)) == 0;
    }
    return std::memcmp(x, y, n) == 0;
#else
    return PyUnicode_Compare(a, b) == 0;
#endif
}

/// Whether objects die and finalizers run only when a reference count drops to zero or a
/// collector-tracked object is allocated, so that C code doing neither runs no Python code.
/// PyPy's collector may run at other allocations.
inline constexpr bool FINALIZERS_ONLY_AT_KNOWN_POINTS = VEZUVIR_CPYTHON != 0;

} // namespace compat
