#pragma once
// The one place that knows which interpreter we are built for. CPython-only shortcuts
// (string internals, presized dicts, private int helpers, the collector switch) live here,
// each with a public-API fallback for PyPy and for CPython versions that lack it.
// Nothing else in the sources tests PYPY_VERSION or PY_VERSION_HEX. The few calls into the
// operating system (the thread's stack, page size and release) live here too, in compat.cpp.
#include <Python.h>

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "utils/compiler.hpp"

#if defined(PYPY_VERSION)
#define VEZUVIR_CPYTHON 0
#else
#define VEZUVIR_CPYTHON 1
#endif

// The module slots after the exec slot that say which interpreters may import the module.
// Where the interpreter has subinterpreters with a lock of their own (CPython 3.12 on), the
// module declares it runs in them: its objects live in per-interpreter module state and what
// it keeps process-wide is safe to share. Elsewhere the interpreter's default applies. Free-
// threaded builds are not declared supported (no `Py_mod_gil`): they keep the lock on for us.
#if VEZUVIR_CPYTHON && defined(Py_mod_multiple_interpreters)
#define VEZUVIR_INTERPRETER_SLOTS                                                                  \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#else
#define VEZUVIR_INTERPRETER_SLOTS
#endif

namespace compat {

#if VEZUVIR_CPYTHON
/// `PyUnicode_IS_COMPACT_ASCII` from the state bits, which every supported CPython has:
/// the header's inline function is left out of line inside the large encoder loops.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool is_compact_ascii(PyObject *str) noexcept {
    const auto &state = reinterpret_cast<PyASCIIObject *>(str)->state;
    return state.compact != 0 && state.ascii != 0;
}
#endif

/// UTF-8 text of a `str` without copying where possible. Sets `is_ascii` from the
/// object's own ASCII flag on CPython. Null (interpreter error set) if the text cannot
/// be produced, e.g. for a lone surrogate.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE const char *str_utf8(PyObject *str, Py_ssize_t &len,
                                                         bool &is_ascii) noexcept {
#if VEZUVIR_CPYTHON
    if (is_compact_ascii(str)) {
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

/// Whether an exact `str` is empty.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool str_is_empty(PyObject *str) noexcept {
#if VEZUVIR_CPYTHON
    return PyUnicode_GET_LENGTH(str) == 0;
#else
    return PyUnicode_GetLength(str) == 0;
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

/// Whether the cyclic collector can run inside an allocation, as it does up to CPython
/// 3.11. From 3.12 an allocation only asks for a collection, which the interpreter runs
/// where it checks for pending work between bytecodes: C code that runs no Python code
/// never meets one, however much it allocates.
inline constexpr bool COLLECTOR_RUNS_AT_ALLOCATION =
    VEZUVIR_CPYTHON != 0 && PY_VERSION_HEX < 0x030C0000;

/// The containers one decoding call finished, kept out of the cyclic collector's sight
/// until the whole tree is built. A collection triggered while a large tree grows would
/// otherwise walk every finished list and dict again and again (40-50% of the time of
/// decoding documents of many small lists). Each container is held (a strong reference),
/// so none can be freed while hidden whatever a converter does, and shown to the
/// collector again when this object goes, on success or failure alike; while hidden,
/// the collector counts a container's contents as reachable, so it frees nothing early.
/// The first `SHOWN_FIRST` containers are shown at once: a small tree meets at most one
/// collection while it is built, which costs less than hiding. Past `LIMIT` the rest
/// are shown at once too, bounding the memory this takes.
/// Where no collection can run while the tree is built (no Python code runs and the
/// collector does not run at allocation), nothing is hidden: containers are made, filled
/// and left as the interpreter tracks them, without a call to the collector's API.
class HiddenContainers {
  public:
    /// `python_runs`: whether Python code may run while the tree is built (a converter).
    explicit HiddenContainers(bool python_runs) noexcept
        : active_(COLLECTOR_RUNS_AT_ALLOCATION || python_runs) {}
    HiddenContainers(const HiddenContainers &) = delete;
    HiddenContainers &operator=(const HiddenContainers &) = delete;
    ~HiddenContainers() {
#if VEZUVIR_CPYTHON
        // All are shown before any is released: a finaliser that runs on release must
        // not meet one still hidden.
        for (PyObject *container : containers_) {
            if (!PyObject_GC_IsTracked(container)) {
                PyObject_GC_Track(container);
            }
        }
        for (PyObject *container : containers_) {
            Py_DECREF(container);
        }
#endif
    }

    /// Whether a container of this call is kept from the collector while it is filled and
    /// after (null: the container is shown once complete).
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE static bool
    active(const HiddenContainers *hidden) noexcept {
        if constexpr (COLLECTOR_RUNS_AT_ALLOCATION) {
            // Known here, so that these interpreters pay no test per container.
            return true;
        }
        return hidden == nullptr || hidden->active_;
    }

    /// Takes a complete container of the collector's and hides it (or, past the limit or
    /// when `hidden` is null, shows it at once). Not for shared singletons.
    static void finish(HiddenContainers *hidden, PyObject *container) noexcept {
#if VEZUVIR_CPYTHON
        if (hidden != nullptr && hidden->shown_ == SHOWN_FIRST &&
            hidden->containers_.size() < LIMIT) {
            try {
                hidden->containers_.push_back(container);
            } catch (...) {
                show(container);
                return;
            }
            Py_INCREF(container);
            if (PyObject_GC_IsTracked(container)) {
                PyObject_GC_UnTrack(container);
            }
            return;
        }
        if (hidden != nullptr && hidden->shown_ < SHOWN_FIRST) {
            ++hidden->shown_;
        }
        show(container);
#else
        (void)hidden;
        (void)container;
#endif
    }

  private:
    static constexpr std::size_t SHOWN_FIRST = 256;
    static constexpr std::size_t LIMIT = std::size_t{1} << 22;

#if VEZUVIR_CPYTHON
    static void show(PyObject *container) noexcept {
        if (!PyObject_GC_IsTracked(container)) {
            PyObject_GC_Track(container);
        }
    }
#endif

    bool active_;
    [[maybe_unused]] std::size_t shown_ = 0; // read on CPython only
    std::vector<PyObject *> containers_;
};

/// New list (`tuple` false) or tuple for `n` items, to be filled in order, slot 0 first,
/// each exactly once with `fill_sequence`, then handed on with `finish_sequence` and the
/// same `hidden`. On CPython a list starts empty with room for `n` items and grows as it
/// is filled: its item array is never zeroed, and an abandoned list holds just the items
/// stored. Where `hidden` is active, either kind is hidden from the cyclic collector
/// until `finish_sequence`: Python code that runs while it is filled (a converter) must
/// not find it through `gc.get_objects()` half-built, holding NULL slots or slots it
/// could empty under us. PyPy's collector does not hand out objects it has not been
/// given.
[[nodiscard]] inline PyObject *new_sequence(Py_ssize_t n, bool tuple,
                                            const HiddenContainers *hidden) noexcept {
#if VEZUVIR_CPYTHON
    const bool hide = HiddenContainers::active(hidden);
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
        if (hide) {
            PyObject_GC_UnTrack(list);
        }
        reinterpret_cast<PyListObject *>(list)->ob_item = items;
        reinterpret_cast<PyListObject *>(list)->allocated = n;
        return list;
    }
    PyObject *seq = tuple ? PyTuple_New(n) : PyList_New(n);
    if (seq != nullptr && n > 0 && hide) {
        PyObject_GC_UnTrack(seq);
    }
    return seq;
#else
    (void)hidden;
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

/// Hands a completely filled sequence from `new_sequence` (or any new one) to the
/// collector, through `hidden` when the caller defers that. Tuples are shown at once: a
/// dict given a hidden tuple would never track itself for it, and a cycle through it
/// later would leak.
inline void finish_sequence(PyObject *seq, HiddenContainers *hidden = nullptr) noexcept {
#if VEZUVIR_CPYTHON
    if (!HiddenContainers::active(hidden)) {
        return;
    }
    if (PyList_CheckExact(seq)) {
        HiddenContainers::finish(hidden, seq);
    } else if (PyTuple_GET_SIZE(seq) > 0 && !PyObject_GC_IsTracked(seq)) {
        // The empty tuple is a shared singleton, left as it is.
        PyObject_GC_Track(seq);
    }
#else
    (void)seq;
    (void)hidden;
#endif
}

/// Hands a completely filled dict to the collector through `hidden`: the dict tracks
/// itself once it holds a container, and only such a dict needs hiding.
inline void finish_dict(PyObject *dict, HiddenContainers *hidden) noexcept {
#if VEZUVIR_CPYTHON
    if (hidden != nullptr && HiddenContainers::active(hidden) && PyObject_GC_IsTracked(dict)) {
        HiddenContainers::finish(hidden, dict);
    }
#else
    (void)dict;
    (void)hidden;
#endif
}

/// Whether a held buffer export keeps the exporter's memory where it is for the whole
/// call. CPython refuses to resize a `bytearray` or `array` or to close an `mmap` while an
/// export is held; PyPy allows all three, so there a reader works on a private `bytes`
/// copy of any input but `bytes` itself.
inline constexpr bool HELD_EXPORTS_PIN_MEMORY = VEZUVIR_CPYTHON != 0;

#if VEZUVIR_CPYTHON && PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x03100000 &&              \
    !defined(Py_GIL_DISABLED)
#define VEZUVIR_DICT_LAYOUT 1
namespace detail {
/// The fixed head of a dict's key table as CPython 3.11 to 3.15 lay it out; the index
/// array follows it, then the entries: {hash, key, value} for any keys, {key, value} when
/// every key is an exact `str`. Deleted entries have a null value.
struct DictKeysHead {
    Py_ssize_t refcnt;
    std::uint8_t log2_size;
    std::uint8_t log2_index_bytes;
    std::uint8_t kind;
    std::uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(DictKeysHead) == 4 * sizeof(Py_ssize_t));
inline constexpr std::uint8_t DICT_KEYS_GENERAL = 0;
inline constexpr std::uint8_t DICT_KEYS_UNICODE = 1;
} // namespace detail
#else
#define VEZUVIR_DICT_LAYOUT 0
#endif

/// Whether every key of an exact dict is known to be an exact `str` without looking at
/// the keys: CPython keeps such dicts in a key table of their own kind. False means
/// unknown.
[[nodiscard]] inline bool dict_keys_all_str(PyObject *dict) noexcept {
#if VEZUVIR_DICT_LAYOUT
    const auto *mp = reinterpret_cast<PyDictObject *>(dict);
    return mp->ma_values == nullptr &&
           reinterpret_cast<const detail::DictKeysHead *>(mp->ma_keys)->kind ==
               detail::DICT_KEYS_UNICODE;
#else
    (void)dict;
    return false;
#endif
}

/// How a `DictItems` walk may treat the dict between two steps.
enum class DictWalk {
    /// Python code may run between steps and resize the dict, freeing its table: each
    /// step finds the table again.
    Live,
    /// Nothing runs between steps: the table is found once.
    Stable,
};

/// Walks a dict's entries in iteration order without running Python code. On CPython
/// the table is read: in place where its layout is known, else by `PyDict_Next`. PyPy's
/// `PyDict_Next` looks every value up again by its key, which calls the key's `__hash__`:
/// Python code in the middle of an iteration, and a key whose hash raises ends the
/// process there. On PyPy the entries come from one `dict.items()` list.
#if VEZUVIR_CPYTHON
template <DictWalk Walk = DictWalk::Live> class DictItems {
  public:
    explicit DictItems(PyObject *dict) noexcept : dict_(dict) {
        if constexpr (Walk == DictWalk::Stable) {
            find_table();
        }
    }

    /// False (MemoryError set) when the entries could not be taken; check before `next`.
    [[nodiscard]] bool ok() const noexcept { return true; }

    /// The next entry, both borrowed from the dict; false at the end. A dict changed
    /// since the last step (only a `Live` walk may see one) may show entries twice or not
    /// at all: callers that run Python code check its size.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool next(PyObject *&key, PyObject *&value) noexcept {
#if VEZUVIR_DICT_LAYOUT
        if constexpr (Walk == DictWalk::Live) {
            find_table();
            entry_ += stride_ * static_cast<std::size_t>(pos_);
        }
        if (stride_ != 0) [[likely]] {
            for (; entry_ != end_; entry_ += stride_) {
                // Deleted entries have a null value.
                if (entry_[1] != nullptr) {
                    key = entry_[0];
                    value = entry_[1];
                    entry_ += stride_;
                    if constexpr (Walk == DictWalk::Live) {
                        pos_ = (entry_ - begin_) / static_cast<std::ptrdiff_t>(stride_);
                    }
                    return true;
                }
            }
            return false;
        }
#endif
        return PyDict_Next(dict_, &pos_, &key, &value) != 0;
    }

  private:
    /// Where the layout is known, the entries are read in place: a library call per
    /// entry costs more than the visit of a short key.
    void find_table() noexcept {
#if VEZUVIR_DICT_LAYOUT
        const auto *mp = reinterpret_cast<PyDictObject *>(dict_);
        if (mp->ma_values != nullptr) [[unlikely]] {
            stride_ = 0;
            return;
        }
        const auto *keys = reinterpret_cast<const detail::DictKeysHead *>(mp->ma_keys);
        // Entries of any keys start with the hash: step over it to the key.
        stride_ = keys->kind == detail::DICT_KEYS_GENERAL ? 3 : 2;
        begin_ = reinterpret_cast<PyObject *const *>(reinterpret_cast<const char *>(keys + 1) +
                                                     (std::size_t{1} << keys->log2_index_bytes)) +
                 (stride_ - 2);
        entry_ = begin_;
        end_ = begin_ + stride_ * static_cast<std::size_t>(keys->nentries);
        if (pos_ > keys->nentries) {
            pos_ = keys->nentries;
        }
#endif
    }

    PyObject *dict_;
    /// Index of the next entry, as `PyDict_Next` counts it (a `Live` walk, a split dict).
    Py_ssize_t pos_ = 0;
#if VEZUVIR_DICT_LAYOUT
    /// Words per entry when read in place, else 0.
    std::size_t stride_ = 0;
    PyObject *const *begin_ = nullptr;
    PyObject *const *entry_ = nullptr;
    PyObject *const *end_ = nullptr;
#endif
};
#else
template <DictWalk Walk = DictWalk::Live> class DictItems {
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

/// `datetime.datetime` from the datetime C API (borrowed: the type lives as long as the
/// interpreter); null with an error set on failure.
[[nodiscard]] PyTypeObject *datetime_type() noexcept;

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

/// Shortens a `bytes` object that no other code has seen yet to its first `len` bytes
/// without reallocating it, keeping the rest of its storage; false where that is not
/// possible (PyPy), and the caller resizes instead.
[[nodiscard]] inline bool bytes_shorten_in_place(PyObject *bytes, Py_ssize_t len) noexcept {
#if VEZUVIR_CPYTHON
    Py_SET_SIZE(bytes, len);
    PyBytes_AS_STRING(bytes)[len] = '\0';
    return true;
#else
    (void)bytes;
    (void)len;
    return false;
#endif
}

// An int's digits as CPython up to 3.15 lays them out with 30-bit digits: from 3.12 the
// digit count and sign share one tag (3.14 marks its shared small ints in the bit above
// the sign, which no int built here is).
#if VEZUVIR_CPYTHON && PyLong_SHIFT == 30 && PY_VERSION_HEX < 0x03100000
#define VEZUVIR_LONG_LAYOUT 1
#endif

/// `int` value as a signed 64-bit integer; false (no error set) when it does not fit.
/// Where the layout is known, ints of up to three digits (all of int64 but its
/// extremes) are read from their digits without a call.
[[nodiscard]] inline bool long_as_i64(PyObject *v, long long &out) noexcept {
#ifdef VEZUVIR_LONG_LAYOUT
    const auto *number = reinterpret_cast<PyLongObject *>(v);
#if PY_VERSION_HEX >= 0x030C0000
    const std::uintptr_t tag = number->long_value.lv_tag;
    const std::uintptr_t ndigits = tag >> _PyLong_NON_SIZE_BITS;
    const bool negative = (tag & _PyLong_SIGN_MASK) == 2;
    const digit *digits = number->long_value.ob_digit;
#else
    const Py_ssize_t size = Py_SIZE(v);
    const auto ndigits = static_cast<std::size_t>(size < 0 ? -size : size);
    const bool negative = size < 0;
    const digit *digits = number->ob_digit;
#endif
    // A zero may have been built without setting its digit, so none is read for it.
    if (ndigits <= 2) [[likely]] {
        std::uint64_t magnitude = 0;
        if (ndigits != 0) {
            magnitude = digits[0];
        }
        if (ndigits == 2) {
            magnitude |= static_cast<std::uint64_t>(digits[1]) << PyLong_SHIFT;
        }
        // Below 2**60: the negation cannot overflow.
        out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
        return true;
    }
    if (ndigits == 3 && digits[2] < 8) {
        // Below 2**63.
        const std::uint64_t magnitude = digits[0] |
                                        static_cast<std::uint64_t>(digits[1]) << PyLong_SHIFT |
                                        static_cast<std::uint64_t>(digits[2]) << (2 * PyLong_SHIFT);
        out = negative ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
        return true;
    }
#endif
    int overflow = 0;
    out = PyLong_AsLongLongAndOverflow(v, &overflow);
    return overflow == 0;
}

#if defined(VEZUVIR_LONG_LAYOUT) && !defined(Py_GIL_DISABLED)
#define VEZUVIR_LONG_BUILT_HERE 1
/// `long_from_magnitude` for a magnitude of two or three 30-bit digits, laid out here:
/// the interpreter's constructor counts digits first, which costs about as much as the
/// allocation. Kept out of line, so that the common one-digit path saves no registers.
[[nodiscard]] VEZUVIR_NOINLINE inline PyObject *long_from_large_magnitude(std::uint64_t magnitude,
                                                                          bool negative) noexcept {
    const Py_ssize_t ndigits = magnitude < (std::uint64_t{1} << (2 * PyLong_SHIFT)) ? 2 : 3;
#if PY_VERSION_HEX >= 0x030C0000
    constexpr std::size_t header = offsetof(PyLongObject, long_value.ob_digit);
#else
    constexpr std::size_t header = offsetof(PyLongObject, ob_digit);
#endif
    auto *number = static_cast<PyLongObject *>(
        PyObject_Malloc(header + static_cast<std::size_t>(ndigits) * sizeof(digit)));
    if (number == nullptr) {
        return PyErr_NoMemory();
    }
#if PY_VERSION_HEX >= 0x030C0000
    (void)PyObject_Init(reinterpret_cast<PyObject *>(number), &PyLong_Type);
    // Sign 0 is positive, 2 negative, below the digit count.
    number->long_value.lv_tag =
        (static_cast<std::uintptr_t>(ndigits) << _PyLong_NON_SIZE_BITS) | (negative ? 2U : 0U);
    digit *digits = number->long_value.ob_digit;
#else
    (void)PyObject_InitVar(reinterpret_cast<PyVarObject *>(number), &PyLong_Type,
                           negative ? -ndigits : ndigits);
    digit *digits = number->ob_digit;
#endif
    for (Py_ssize_t i = 0; i < ndigits; ++i) {
        digits[i] = static_cast<digit>(magnitude & PyLong_MASK);
        magnitude >>= PyLong_SHIFT;
    }
    return reinterpret_cast<PyObject *>(number);
}
#endif

/// New `int` of value ±`magnitude` (`negative` for minus), or null with MemoryError.
/// One-digit ints take the interpreter's fast path (and its shared small ints).
[[nodiscard]] VEZUVIR_ALWAYS_INLINE PyObject *long_from_magnitude(std::uint64_t magnitude,
                                                                  bool negative) noexcept {
#ifdef VEZUVIR_LONG_BUILT_HERE
    if (magnitude < (std::uint64_t{1} << PyLong_SHIFT)) [[likely]] {
        const auto value = static_cast<long long>(magnitude);
        return PyLong_FromLongLong(negative ? -value : value);
    }
    return long_from_large_magnitude(magnitude, negative);
#else
    if (!negative) {
        return magnitude <= static_cast<std::uint64_t>(LLONG_MAX)
                   ? PyLong_FromLongLong(static_cast<long long>(magnitude))
                   : PyLong_FromUnsignedLongLong(magnitude);
    }
    if (magnitude <= (std::uint64_t{1} << 63)) {
        return PyLong_FromLongLong(static_cast<long long>(0 - magnitude));
    }
    PyObject *positive = PyLong_FromUnsignedLongLong(magnitude);
    if (positive == nullptr) {
        return nullptr;
    }
    PyObject *result = PyNumber_Negative(positive);
    Py_DECREF(positive);
    return result;
#endif
}

// The field that counts the C calls a thread may still nest, and the least value at
// which the interpreter's inline check lets one more through without its slow path.
#if VEZUVIR_CPYTHON && !defined(Py_GIL_DISABLED) && !defined(USE_STACKCHECK)
#if PY_VERSION_HEX >= 0x030E0000 && PY_VERSION_HEX < 0x03100000
// From 3.14 the interpreter bounds nested C calls by the native stack alone: its check
// compares the stack pointer with a limit of the thread's, and leaving does nothing.
#define VEZUVIR_C_CALLS_BY_STACK 1
#elif PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000
#define VEZUVIR_C_CALLS_LEFT c_recursion_remaining
#define VEZUVIR_C_CALLS_LAST 0
#elif PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030D0000
#define VEZUVIR_C_CALLS_LEFT c_recursion_remaining
#define VEZUVIR_C_CALLS_LAST 1
#elif PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000
#define VEZUVIR_C_CALLS_LEFT recursion_remaining
#define VEZUVIR_C_CALLS_LAST 1
#endif
#endif

/// Whether `enter_recursive_call` is a counter stepped in place, cheap enough to inline
/// wherever it is called.
#if defined(VEZUVIR_C_CALLS_LEFT)
inline constexpr bool C_CALLS_COUNTED_INLINE = true;
#else
inline constexpr bool C_CALLS_COUNTED_INLINE = false;
#endif

/// `Py_EnterRecursiveCall(where) == 0` for `thread`, the calling thread's state fetched
/// once per call (null: fetched here). `stack_checked` belongs to the same call, starting
/// at UINTPTR_MAX. On CPython 3.11 to 3.13 the interpreter's count of nested C calls is
/// stepped in place, as its own inline version does, rather than through a call that
/// fetches the state again. From 3.14, where the check is one of the stack pointer, the
/// interpreter is asked only below the lowest frame (`stack_checked`) at which it already
/// said yes: a wide tree asks once per depth, not once per container. Either way, when
/// the interpreter says no it makes the RecursionError, so limit and message stay its own.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool enter_recursive_call(PyThreadState *thread,
                                                              std::uintptr_t &stack_checked,
                                                              const char *where) noexcept {
#if defined(VEZUVIR_C_CALLS_LEFT)
    (void)stack_checked;
    if (thread != nullptr && thread->VEZUVIR_C_CALLS_LEFT >= VEZUVIR_C_CALLS_LAST) [[likely]] {
        --thread->VEZUVIR_C_CALLS_LEFT;
        return true;
    }
#elif defined(VEZUVIR_C_CALLS_BY_STACK)
    (void)thread;
    // Stacks grow down on every platform we build for.
    const auto here = compiler::frame_address();
    if (here >= stack_checked) [[likely]] {
        return true;
    }
    if (Py_EnterRecursiveCall(where) != 0) {
        return false;
    }
    stack_checked = here;
    return true;
#else
    (void)thread;
    (void)stack_checked;
#endif
    return Py_EnterRecursiveCall(where) == 0;
}

/// `Py_LeaveRecursiveCall()` after `enter_recursive_call(thread, ...)` succeeded.
VEZUVIR_ALWAYS_INLINE void leave_recursive_call(PyThreadState *thread) noexcept {
#if defined(VEZUVIR_C_CALLS_LEFT)
    if (thread != nullptr) [[likely]] {
        ++thread->VEZUVIR_C_CALLS_LEFT;
        return;
    }
    Py_LeaveRecursiveCall();
#elif defined(VEZUVIR_C_CALLS_BY_STACK)
    // The interpreter's leave does nothing here, and most enters never reached it.
    (void)thread;
#else
    (void)thread;
    Py_LeaveRecursiveCall();
#endif
}

/// Whether two exact `str` objects hold the same characters. CPython compares the
/// canonical storage directly (equal text implies equal width); elsewhere the public call.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool str_equal(PyObject *a, PyObject *b) noexcept {
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

/// Whether `a` and `b` are one object, as `is` tells. PyPy may hand out a new object for
/// a number, `bytes` or `str` each time a dict's entries are read (its dicts of such keys
/// keep them unboxed), and its `is` tells those apart by value: there exact objects of one
/// of these types with one value (a float: one bit pattern) count as one object. Runs no
/// Python code.
[[nodiscard]] inline bool same_object(PyObject *a, PyObject *b) noexcept {
    if (a == b) {
        return true;
    }
#if VEZUVIR_CPYTHON
    return false;
#else
    if (Py_TYPE(a) != Py_TYPE(b)) {
        return false;
    }
    if (PyUnicode_CheckExact(a)) {
        return str_equal(a, b);
    }
    if (PyBytes_CheckExact(a)) {
        const Py_ssize_t n = PyBytes_GET_SIZE(a);
        return n == PyBytes_GET_SIZE(b) && std::memcmp(PyBytes_AS_STRING(a), PyBytes_AS_STRING(b),
                                                       static_cast<std::size_t>(n)) == 0;
    }
    if (PyFloat_CheckExact(a)) {
        return std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(a)) ==
               std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(b));
    }
    if (!PyLong_CheckExact(a)) {
        return false;
    }
    const int equal = PyObject_RichCompareBool(a, b, Py_EQ);
    if (equal < 0) {
        PyErr_Clear(); // two exact ints: only a failed allocation could get here
    }
    return equal == 1;
#endif
}

/// Whether objects die and finalizers run only when a reference count drops to zero or a
/// collector-tracked object is allocated, so that C code doing neither runs no Python code.
/// PyPy's collector may run at other allocations.
inline constexpr bool FINALIZERS_ONLY_AT_KNOWN_POINTS = VEZUVIR_CPYTHON != 0;

/// The calling thread's native stack: its lowest address and its size. False where the
/// system does not say; the caller then assumes a small stack.
[[nodiscard]] bool thread_stack(std::uintptr_t &low, std::size_t &size) noexcept;

/// The size of the system's memory pages.
[[nodiscard]] std::size_t page_size() noexcept;

/// Asks the system to drop the whole pages `[begin, begin + len)` of a read-only file
/// mapping from this process's memory; they are read from the file again if touched.
/// Advice only: where the system declines or cannot, the pages simply stay.
void release_mapped_pages(std::uintptr_t begin, std::size_t len) noexcept;

} // namespace compat
