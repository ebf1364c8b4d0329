#pragma once
// Writers of the container forms: dicts (string-keyed and any-key), generic lists, packed
// lists of None and of booleans, and structured lists of dicts sharing one key set.
//
// Python code can run in the middle of a container (a converter, `isoformat` with a
// tzinfo, the writer's `write` on any append), and it may change the container being
// written. Whenever that is possible (`SerializationSettings::python_may_run`), every
// item is held by a strong reference while it is written, and each container is checked
// against the count already written: a change fails the call with SerializationError
// instead of producing an encoding whose count disagrees with its items, or reading past
// the end of a shrunken list. Otherwise the tree's own references are enough and each
// container is read once.
#include <Python.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "serializing/primitives.hpp"
#include "utils/compiler.hpp"

/// Raises the SerializationError for a list or dict changed while it was being written.
VEZUVIR_COLD VEZUVIR_NOINLINE inline bool fail_container_changed(PyObject *container) {
    to_py_error(PyDict_Check(container) ? "dict changed during serialization"
                                        : "list changed during serialization",
                SERIALIZATION_ERROR_TYPE);
    return false;
}

/// Calls into Python code so far in this encoding: writes of a writer-backed buffer,
/// converters, `isoformat`.
[[nodiscard]] inline std::uint64_t python_runs(const SerializationSettings &settings) noexcept {
    return settings.python_calls;
}

/// The keys of one dict (exact `str`s) and their positions in its iteration order.
///
/// Lists of dicts usually repeat the same key objects in the same order (a decoder
/// shares them), so a key is first tried by identity at its own position; the hash index
/// is built only when that fails. Holds references to the keys, since the dict they came
/// from may lose them while the list is written.
class KeyPositions {
  public:
    /// Number of keys.
    [[nodiscard]] std::size_t size() const noexcept { return keys_.size(); }
    /// The key at `position` (borrowed from this map).
    [[nodiscard]] PyObject *key_at(std::size_t position) const noexcept {
        return keys_.at(position);
    }

    /// Position of `key`, the `seen`-th key of the dict being matched; -1 if absent.
    [[nodiscard]] std::ptrdiff_t position_of(PyObject *key, std::size_t seen) {
        if (seen < keys_.size() && keys_.at(seen) == key) [[likely]] {
            return static_cast<std::ptrdiff_t>(seen);
        }
        if (!PyUnicode_CheckExact(key)) {
            return -1;
        }
        const std::uint64_t found = keys_.find(key, compat::str_hash(key));
        return found == StrIndexMap<>::NOT_FOUND ? -1 : static_cast<std::ptrdiff_t>(found);
    }

    /// Appends the next key of the dict.
    void push(PyObject *key) { keys_.append(key, compat::str_hash(key)); }

  private:
    StrIndexMap<> keys_;
};

/// The keys of `dict` with their positions, or nothing if a key is not exactly `str` (or,
/// with MemoryError set, if the entries could not be read).
[[nodiscard]] inline std::optional<KeyPositions> get_dict_keys(PyObject *dict) {
    KeyPositions keys;
    compat::DictItems<compat::DictWalk::Stable> items(dict);
    if (!items.ok()) {
        return std::nullopt;
    }
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    while (items.next(key, value)) {
        if (!PyUnicode_CheckExact(key)) {
            return std::nullopt;
        }
        keys.push(key);
    }
    return keys;
}

/// Whether `dict` (any object) is a dict with exactly the keys of `keys`, in any order.
/// On success `values[p]` is the dict's value for the key at position p (borrowed from the
/// dict). False with MemoryError set if the entries could not be read.
[[nodiscard]] inline bool compare_dict_keys(PyObject *dict, KeyPositions &keys, PyObject **values) {
    const std::size_t k = keys.size();
    if (!PyDict_CheckExact(dict) || static_cast<std::size_t>(PyDict_GET_SIZE(dict)) != k) {
        return false;
    }
    std::fill(values, values + k, nullptr);
    compat::DictItems<compat::DictWalk::Stable> items(dict);
    if (!items.ok()) {
        return false;
    }
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    std::size_t seen = 0;
    while (items.next(key, value)) {
        const std::ptrdiff_t at = keys.position_of(key, seen++);
        // Distinct dict keys never share a position; checked all the same, as the
        // values array must be filled exactly once per position.
        if (at < 0 || values[at] != nullptr) {
            return false;
        }
        values[at] = value;
    }
    return seen == k;
}

/// After a row was written while Python code ran: true if it still has exactly the keys
/// of `keys`; else false with the "changed" error (or MemoryError) set. `values` is
/// filled again (see `compare_dict_keys`).
[[nodiscard]] VEZUVIR_COLD VEZUVIR_NOINLINE inline bool
check_row_keys_written(PyObject *row, KeyPositions &keys, PyObject **values) {
    if (compare_dict_keys(row, keys, values)) {
        return true;
    }
    if (PyErr_Occurred() == nullptr) {
        (void)fail_container_changed(row);
    }
    return false;
}

/// Writes a key of a string-keyed dict: the key back-reference (254, varint index) if
/// the string was written before, else the literal key, which enters the cache.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool write_dict_key(PyObject *key, B &buffer,
                                                        SerializingStringCache &cache) {
    std::uint64_t index = 0;
    if (cache.lookup_or_insert(key, index)) {
        return write_group(
            buffer, 1 + MAX_VARINT_LEN,
            [&](std::uint8_t *out) VEZUVIR_LAMBDA_INLINE {
                out[0] = KEY_POINTER_MARKER;
                return 1 + write_varint_at(out + 1, index);
            },
            [=, &buffer] {
                return buffer.push(KEY_POINTER_MARKER) && encode_varint(buffer, index);
            });
    }
    // Only a key written in full needs its text.
    Py_ssize_t len = 0;
    bool is_ascii = false;
    const char *data = compat::str_utf8(key, len, is_ascii);
    if (data == nullptr) [[unlikely]] {
        wrap_str_without_utf8(key, SERIALIZATION_ERROR_TYPE);
        return false;
    }
    const auto n = static_cast<std::size_t>(len);
    return write_group(
        buffer, MAX_VARINT_LEN + 1 + n,
        [&](std::uint8_t *out) VEZUVIR_LAMBDA_INLINE {
            std::uint8_t *p = out;
            if (is_ascii) {
                p += write_key_varint_at(p, n + 1);
                *p++ = ASCII_MARKER;
            } else {
                p += write_key_varint_at(p, n);
            }
            copy_bytes(p, data, n);
            return static_cast<std::size_t>(p - out) + n;
        },
        [=, &buffer] {
            if (is_ascii) {
                if (!encode_key_varint(buffer, n + 1) || !buffer.push(ASCII_MARKER)) {
                    return false;
                }
            } else if (!encode_key_varint(buffer, n)) {
                return false;
            }
            return n == 0 || buffer.extend_from_slice(std::string_view(data, n));
        });
}

/// The (key, value) pairs of one dict, borrowed; small dicts need no allocation.
class DictEntries {
  public:
    /// Trivial, so that the inline storage is left uninitialised.
    struct Entry {
        PyObject *key;
        PyObject *value;
    };
    explicit DictEntries(std::size_t n)
        : size_(n),
          data_(n <= INLINE ? inline_.data()
                            : (heap_ = compiler::make_uninitialized_array<Entry>(n)).get()) {}
    DictEntries(const DictEntries &) = delete;
    DictEntries &operator=(const DictEntries &) = delete;
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    [[nodiscard]] Entry &operator[](std::size_t i) noexcept { return data_[i]; }

  private:
    /// Kept small: every level of nesting carries one of these on the stack.
    static constexpr std::size_t INLINE = 8;
    std::array<Entry, INLINE> inline_;
    std::unique_ptr<Entry[]> heap_;
    std::size_t size_;
    Entry *data_;
};

/// After a dict was written while Python code ran: true if `dict` still lists `count`
/// keys, the i-th of them `same(key, key_at(i))`, in order; else false with the "changed"
/// error (or MemoryError) set. `same` must run no Python code.
template <class KeyAt, class Same>
[[nodiscard]] bool check_keys_in_order(PyObject *dict, std::size_t count, KeyAt key_at, Same same) {
    if (static_cast<std::size_t>(PyDict_GET_SIZE(dict)) != count) {
        return fail_container_changed(dict);
    }
    compat::DictItems<compat::DictWalk::Stable> items(dict);
    if (!items.ok()) {
        return false;
    }
    PyObject *key = nullptr;
    PyObject *value = nullptr;
    std::size_t i = 0;
    while (items.next(key, value)) {
        if (i == count || !same(key, key_at(i))) {
            return fail_container_changed(dict);
        }
        ++i;
    }
    return i == count || fail_container_changed(dict);
}

/// `check_keys_in_order` for the first `count` of `entries` (exact `str`s), compared by
/// value. Out of line, as the walk rarely gets here.
[[nodiscard]] VEZUVIR_COLD VEZUVIR_NOINLINE inline bool
check_str_keys_written(PyObject *dict, DictEntries &entries, std::size_t count) {
    return check_keys_in_order(
        dict, count, [&](std::size_t i) { return entries[i].key; },
        [](PyObject *key, PyObject *was) {
            return key == was || (PyUnicode_CheckExact(key) && compat::str_equal(key, was));
        });
}

/// Holds a reference to every key and value of the first `count` entries for its scope.
class HeldEntries {
  public:
    HeldEntries(DictEntries &entries, std::size_t count) noexcept
        : entries_(entries), count_(count) {
        for (std::size_t i = 0; i < count_; ++i) {
            Py_INCREF(entries_[i].key);
            Py_INCREF(entries_[i].value);
        }
    }
    HeldEntries(const HeldEntries &) = delete;
    HeldEntries &operator=(const HeldEntries &) = delete;
    ~HeldEntries() {
        for (std::size_t i = 0; i < count_; ++i) {
            Py_DECREF(entries_[i].key);
            Py_DECREF(entries_[i].value);
        }
    }

  private:
    DictEntries &entries_;
    std::size_t count_;
};

/// `check_keys_in_order` for the key objects `keys` (`compat::same_object`).
[[nodiscard]] VEZUVIR_COLD VEZUVIR_NOINLINE inline bool
check_keys_written(PyObject *dict, const std::vector<PyPointer> &keys) {
    return check_keys_in_order(
        dict, keys.size(), [&](std::size_t i) { return keys[i].get(); },
        [](PyObject *key, PyObject *was) { return compat::same_object(key, was); });
}

/// Calls `write(key, value)` for each entry of `dict` in order, both held, for when Python
/// code may run: fails with the "changed" error once the dict no longer has the `n`
/// entries its count promised.
template <class F>
[[nodiscard]] bool write_dict_entries_checked(PyObject *dict, Py_ssize_t n, F &&write) {
    compat::DictItems items(dict);
    if (!items.ok()) {
        return false;
    }
    Py_ssize_t written = 0;
    PyObject *k = nullptr;
    PyObject *v = nullptr;
    while (items.next(k, v)) {
        // Before any append: the writer may run and replace this entry.
        const PyPointer key = PyPointer::borrow(k);
        const PyPointer value = PyPointer::borrow(v);
        if (written == n) [[unlikely]] {
            return fail_container_changed(dict);
        }
        if (!write(key.get(), value.get())) {
            return false;
        }
        ++written;
        if (PyDict_GET_SIZE(dict) != n) [[unlikely]] {
            return fail_container_changed(dict);
        }
    }
    return written == n || fail_container_changed(dict);
}

/// `AnyKeyDict`: every key and value as an encoded value; tuples are refused as keys.
template <PyBytesBuffer B>
VEZUVIR_NOINLINE bool
encode_any_key_dict(PyObject *dict, Py_ssize_t n, B &buffer, SerializingStringCache &cache,
                    const SerializationSettings &settings, LazyRecursionGuard &guard) {
    if (!guard.enter()) {
        return false;
    }
    const std::uint64_t runs = python_runs(settings);
    if (!buffer.push(flag_byte(TypeFlag::AnyKeyDict)) ||
        !encode_varint(buffer, static_cast<std::uint64_t>(n))) {
        return false;
    }
    // The header may have run the writer: the count it gave must still hold when the
    // entries are first read, as after each of them.
    if (PyDict_GET_SIZE(dict) != n) [[unlikely]] {
        return fail_container_changed(dict);
    }
    // The keys as written (held, so that their addresses stay theirs), to be compared with
    // the dict's once Python code has run: a key replaced by another keeps the size.
    std::vector<PyPointer> written;
    if (settings.python_may_run) {
        written.reserve(static_cast<std::size_t>(n));
    }
    const bool ok = write_dict_entries_checked(dict, n, [&](PyObject *key, PyObject *value) {
        if (PyTuple_CheckExact(key)) {
            to_py_error("Invalid type for dict key: tuple", SERIALIZATION_ERROR_TYPE);
            return false;
        }
        if (settings.python_may_run) {
            written.push_back(PyPointer::borrow(key));
        }
        return serialize(key, buffer, cache, settings) && serialize(value, buffer, cache, settings);
    });
    if (!ok || python_runs(settings) == runs) {
        return ok;
    }
    return check_keys_written(dict, written);
}

/// Writes a non-empty exact `dict`: `Dict` when every key is exactly `str`, else
/// `AnyKeyDict`.
template <PyBytesBuffer B>
[[nodiscard]] bool encode_dict(PyObject *dict, B &buffer, SerializingStringCache &cache,
                               const SerializationSettings &settings) {
    LazyRecursionGuard guard(" while serializing a dict", settings.nesting);
    const Py_ssize_t n = PyDict_GET_SIZE(dict);
    // No Python code runs while this walk lasts: with `python_may_run` the entries are
    // gathered first and written after.
    compat::DictItems<compat::DictWalk::Stable> items(dict);
    if (!items.ok()) {
        return false;
    }
    PyObject *k = nullptr;
    PyObject *v = nullptr;
    if (!settings.python_may_run && compat::dict_keys_all_str(dict)) {
        // Nothing can change the dict meanwhile, and its keys need no check: written
        // straight from the dict in one pass.
        if (!write_flag_and_varint(buffer, TypeFlag::Dict, static_cast<std::uint64_t>(n))) {
            return false;
        }
        while (items.next(k, v)) {
            if (!write_dict_key(k, buffer, cache) ||
                !serialize_item(v, buffer, cache, settings, guard)) {
                return false;
            }
        }
        return true;
    }
    // One pass both checks the keys and gathers the entries to write.
    DictEntries entries(static_cast<std::size_t>(n));
    std::size_t count = 0;
    while (count < entries.size() && items.next(k, v)) {
        if (!PyUnicode_CheckExact(k)) [[unlikely]] {
            return encode_any_key_dict(dict, n, buffer, cache, settings, guard);
        }
        entries[count++] = {k, v};
    }
    if (!settings.python_may_run) {
        // Nothing can change the dict meanwhile.
        if (!write_flag_and_varint(buffer, TypeFlag::Dict, count)) {
            return false;
        }
        for (std::size_t i = 0; i < count; ++i) {
            if (!write_dict_key(entries[i].key, buffer, cache) ||
                !serialize_item(entries[i].value, buffer, cache, settings, guard)) {
                return false;
            }
        }
        return true;
    }
    // Python code may change the dict between two appends: the gathered entries are
    // held, and the dict is checked against the count after each of them.
    const HeldEntries held(entries, count);
    const std::uint64_t runs = python_runs(settings);
    if (!write_flag_and_varint(buffer, TypeFlag::Dict, static_cast<std::uint64_t>(n))) {
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (PyDict_GET_SIZE(dict) != n) [[unlikely]] {
            return fail_container_changed(dict);
        }
        if (!write_dict_key(entries[i].key, buffer, cache) ||
            !serialize_item(entries[i].value, buffer, cache, settings, guard)) {
            return false;
        }
    }
    if (PyDict_GET_SIZE(dict) != n || count != static_cast<std::size_t>(n)) {
        return fail_container_changed(dict);
    }
    // A key replaced by another keeps the size: where Python code ran, the keys are
    // compared with those written.
    return python_runs(settings) == runs || check_str_keys_written(dict, entries, count);
}

/// Item `i` of an exact list or tuple, borrowed.
template <bool IsList>
[[nodiscard]] inline PyObject *sequence_item(PyObject *seq, Py_ssize_t i) noexcept {
    if constexpr (IsList) {
        return PyList_GET_ITEM(seq, i);
    } else {
        return PyTuple_GET_ITEM(seq, i);
    }
}

/// Whether a list still has `n` items (a tuple always has).
template <bool IsList>
[[nodiscard]] inline bool sequence_unchanged(PyObject *seq, Py_ssize_t n) noexcept {
    if constexpr (IsList) {
        return PyList_GET_SIZE(seq) == n;
    } else {
        (void)seq;
        (void)n;
        return true;
    }
}

/// Whether all `n` (at least 2) items of an exact list (or tuple) have exactly the type
/// of the first.
template <bool IsList = true>
[[nodiscard]] inline bool is_consistent_type_list(PyObject *seq, Py_ssize_t n) noexcept {
    PyTypeObject *const type = Py_TYPE(sequence_item<IsList>(seq, 0));
    for (Py_ssize_t i = 1; i < n; ++i) {
        if (Py_TYPE(sequence_item<IsList>(seq, i)) != type) {
            return false;
        }
    }
    return true;
}

/// `ConsistentTypeList` of booleans: n bits, the first item in the top bit, each packed
/// byte a push (a push may run the writer, which may change the list).
template <bool IsList, PyBytesBuffer B>
[[nodiscard]] bool encode_bool_list_piecewise(PyObject *seq, Py_ssize_t n, B &buffer) {
    const char header[2] = {static_cast<char>(TypeFlag::ConsistentTypeList),
                            static_cast<char>(TypeFlag::Bool)};
    if (!buffer.extend_from_slice(std::string_view(header, 2)) ||
        !encode_varint(buffer, static_cast<std::uint64_t>(n))) {
        return false;
    }
    unsigned acc = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        // A push may have run the writer, which may have changed the list.
        if (!sequence_unchanged<IsList>(seq, n)) [[unlikely]] {
            return fail_container_changed(seq);
        }
        PyObject *item = sequence_item<IsList>(seq, i);
        if (item != Py_True && item != Py_False) [[unlikely]] {
            return fail_container_changed(seq);
        }
        acc = (acc << 1) | (item == Py_True ? 1U : 0U);
        if ((i & 7) == 7) {
            if (!buffer.push(static_cast<std::uint8_t>(acc))) {
                return false;
            }
            acc = 0;
        }
    }
    const auto pending = static_cast<unsigned>(n & 7);
    return pending == 0 || buffer.push(static_cast<std::uint8_t>(acc << (8 - pending)));
}

/// Outcome of the compact list writers that may decline a list.
enum class CompactListResult { Written, Declined, Failed };

/// Packs `n` items into `out` (ceil(n / 8) bytes, first item in the top bit) as long as
/// each is True or False; false at the first that is neither. Eight items per step,
/// tested without a branch each.
template <bool IsList>
[[nodiscard]] bool pack_bools(PyObject *seq, Py_ssize_t n, std::uint8_t *out) noexcept {
    Py_ssize_t i = 0;
    const auto bit = [seq](Py_ssize_t at, unsigned &bad) {
        PyObject *const item = sequence_item<IsList>(seq, at);
        bad |= static_cast<unsigned>(item != Py_True && item != Py_False);
        return static_cast<unsigned>(item == Py_True);
    };
    for (; i + 8 <= n; i += 8) {
        unsigned bad = 0;
        unsigned byte = 0;
        for (Py_ssize_t b = 0; b < 8; ++b) {
            byte = (byte << 1) | bit(i + b, bad);
        }
        if (bad != 0) {
            return false;
        }
        *out++ = static_cast<std::uint8_t>(byte);
    }
    if (i < n) {
        unsigned bad = 0;
        unsigned byte = 0;
        for (Py_ssize_t b = i; b < n; ++b) {
            byte = (byte << 1) | bit(b, bad);
        }
        if (bad != 0) {
            return false;
        }
        *out = static_cast<std::uint8_t>(byte << (8 - (n - i)));
    }
    return true;
}

/// A sequence of `n` (at least 2) items, the first a bool: a `ConsistentTypeList` of
/// booleans if every item is one, checked while the bits are packed; declines, writing
/// nothing, otherwise. A buffer that lends room gets the packed form in place in one
/// pass; the writer-backed buffer is given each byte as a push.
template <bool IsList, PyBytesBuffer B>
[[nodiscard]] CompactListResult encode_bool_list(PyObject *seq, Py_ssize_t n, B &buffer) {
    using R = CompactListResult;
    const auto count = static_cast<std::uint64_t>(n);
    if constexpr (ReservingBuffer<B>) {
        std::uint8_t *const out = buffer.reserve(2 + MAX_VARINT_LEN + (count + 7) / 8);
        if (out == nullptr) {
            return R::Failed;
        }
        out[0] = flag_byte(TypeFlag::ConsistentTypeList);
        out[1] = flag_byte(TypeFlag::Bool);
        const std::size_t head = 2 + write_varint_at(out + 2, count);
        if (!pack_bools<IsList>(seq, n, out + head)) {
            return R::Declined;
        }
        buffer.commit(head + (count + 7) / 8);
        return R::Written;
    } else {
        if (!is_consistent_type_list<IsList>(seq, n)) {
            return R::Declined;
        }
        return encode_bool_list_piecewise<IsList>(seq, n, buffer) ? R::Written : R::Failed;
    }
}

/// Writes a sequence of `n` (at least 2) exact dicts as a `StructuredList` when all have
/// the string keys of the first; declines, writing nothing, otherwise.
///
/// The values of every row are gathered while the key sets are compared, and written
/// from there as long as no Python code has run since (see below for when it has).
template <bool IsList, PyBytesBuffer B>
[[nodiscard]] CompactListResult encode_structured_list(PyObject *seq, Py_ssize_t n, PyObject *first,
                                                       B &buffer, SerializingStringCache &cache,
                                                       const SerializationSettings &settings,
                                                       LazyRecursionGuard &guard) {
    using R = CompactListResult;
    std::optional<KeyPositions> keys = get_dict_keys(first);
    if (!keys) {
        return PyErr_Occurred() == nullptr ? R::Declined : R::Failed;
    }
    const std::size_t k = keys->size();
    const auto rows = static_cast<std::size_t>(n);
    // Not zeroed: a list that is declined early touches only its first rows.
    const auto values = compiler::make_uninitialized_array<PyObject *>(rows * k);
    for (std::size_t i = 0; i < rows; ++i) {
        PyObject *row = sequence_item<IsList>(seq, static_cast<Py_ssize_t>(i));
        if (!compare_dict_keys(row, *keys, values.get() + i * k)) {
            return PyErr_Occurred() == nullptr ? R::Declined : R::Failed;
        }
    }
    // Its rows take more native stack than any other container, so a structured list
    // counts as one more level: the interpreter's limit then still bounds the stack
    // when rows nest (3.13 allows 10000 levels in 8 MiB).
    const RecursionGuard rows_guard(" while serializing a list", settings.nesting);
    if (!rows_guard.entered()) {
        return R::Failed;
    }
    const std::uint64_t runs_at_gather = python_runs(settings);
    if (!write_flag_and_varint(buffer, TypeFlag::StructuredList, static_cast<std::uint64_t>(n)) ||
        !encode_varint(buffer, k)) {
        return R::Failed;
    }
    // Row 0 gives each key as a string value before its value; later rows give values
    // alone, in the key order of row 0.
    const auto write_row = [&](std::size_t i, PyObject *const *row_values) {
        for (std::size_t p = 0; p < k; ++p) {
            if ((i == 0 && !serialize_str(keys->key_at(p), buffer, cache)) ||
                !serialize_item(row_values[p], buffer, cache, settings, guard)) {
                return false;
            }
        }
        return true;
    };
    if (!settings.python_may_run) {
        for (std::size_t i = 0; i < rows; ++i) {
            if (!write_row(i, values.get() + i * k)) {
                return R::Failed;
            }
        }
        return R::Written;
    }
    // Python code may run between two appends. Each row is held with its values while
    // it is written and checked afterwards; once any Python code has run since the rows
    // were gathered, each later row is fetched and matched again before it is written,
    // so a row changed meanwhile fails the call instead of being written wrong.
    //
    // A row's references are let go of before the next row is matched, never after: the
    // release may run a finalizer that changes the next row, which the match then sees.
    // Releases run Python code only after a converter or the writer has run (nothing
    // else can take the tree's own references away), and that forces the match.
    std::vector<PyPointer> held(k);
    for (std::size_t i = 0; i < rows; ++i) {
        if (!sequence_unchanged<IsList>(seq, n)) [[unlikely]] {
            (void)fail_container_changed(seq);
            return R::Failed;
        }
        const PyPointer row =
            PyPointer::borrow(sequence_item<IsList>(seq, static_cast<Py_ssize_t>(i)));
        PyObject **const row_values = values.get() + i * k;
        if (!compat::FINALIZERS_ONLY_AT_KNOWN_POINTS || python_runs(settings) != runs_at_gather)
            [[unlikely]] {
            if (!compare_dict_keys(row.get(), *keys, row_values)) {
                (void)fail_container_changed(PyDict_CheckExact(row.get()) ? row.get() : seq);
                return R::Failed;
            }
        }
        // `held` is empty here, so taking these references releases nothing.
        for (std::size_t p = 0; p < k; ++p) {
            held[p] = PyPointer::borrow(row_values[p]);
        }
        if (!write_row(i, row_values)) {
            return R::Failed;
        }
        if (static_cast<std::size_t>(PyDict_GET_SIZE(row.get())) != k) [[unlikely]] {
            (void)fail_container_changed(row.get());
            return R::Failed;
        }
        // A key replaced by another keeps the size: once any Python code has run, each row
        // is matched again after it is written too (a change made before it was written
        // fails the match above). The values are written by now, and held in `held`: the
        // array may be filled again.
        if (python_runs(settings) != runs_at_gather &&
            !check_row_keys_written(row.get(), *keys, row_values)) [[unlikely]] {
            return R::Failed;
        }
        for (PyPointer &value : held) {
            value.reset();
        }
    }
    if (!sequence_unchanged<IsList>(seq, n)) [[unlikely]] {
        (void)fail_container_changed(seq);
        return R::Failed;
    }
    return R::Written;
}

/// Writes a non-empty exact list or tuple: packed when all items are None or all are
/// booleans, structured when all are dicts with one key set, else the generic form.
template <bool IsList, PyBytesBuffer B>
[[nodiscard]] bool encode_sequence(PyObject *seq, Py_ssize_t n, B &buffer,
                                   SerializingStringCache &cache,
                                   const SerializationSettings &settings) {
    LazyRecursionGuard guard(" while serializing a list", settings.nesting);
    // Only lists of None, of booleans or of dicts have a compact form, so the scan of
    // the item types is skipped for anything else.
    PyObject *const first = sequence_item<IsList>(seq, 0);
    PyTypeObject *const first_type = Py_TYPE(first);
    if (n >= 2 && first_type == &PyBool_Type) {
        const auto result = encode_bool_list<IsList>(seq, n, buffer);
        if (result != CompactListResult::Declined) {
            return result == CompactListResult::Written;
        }
    } else if (n >= 2 && (first == Py_None || first_type == &PyDict_Type)) {
        if (is_consistent_type_list<IsList>(seq, n)) {
            if (first == Py_None) {
                const char header[2] = {static_cast<char>(TypeFlag::ConsistentTypeList),
                                        static_cast<char>(TypeFlag::None)};
                return buffer.extend_from_slice(std::string_view(header, 2)) &&
                       encode_varint(buffer, static_cast<std::uint64_t>(n));
            }
            const auto result =
                encode_structured_list<IsList>(seq, n, first, buffer, cache, settings, guard);
            if (result != CompactListResult::Declined) {
                return result == CompactListResult::Written;
            }
        }
    }
    if (!write_flag_and_varint(buffer, TypeFlag::List, static_cast<std::uint64_t>(n))) {
        return false;
    }
    if (!settings.python_may_run) {
        // Nothing can change the list meanwhile.
        for (Py_ssize_t i = 0; i < n; ++i) {
            if (!serialize_item(sequence_item<IsList>(seq, i), buffer, cache, settings, guard))
                [[unlikely]] {
                return false;
            }
        }
        return true;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!sequence_unchanged<IsList>(seq, n)) [[unlikely]] {
            return fail_container_changed(seq);
        }
        if (!serialize_item(sequence_item<IsList>(seq, i), buffer, cache, settings, guard)) {
            return false;
        }
    }
    return sequence_unchanged<IsList>(seq, n) || fail_container_changed(seq);
}
