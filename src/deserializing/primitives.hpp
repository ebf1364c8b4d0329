#pragma once
// Leaf readers of the decoders: floats and string bodies.
#include <Python.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/reservation.hpp"
#include "deserializing/utils.hpp"
#include "serializing/utils.hpp"
#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/limits.hpp"
#include "utils/safe_py_pointer.hpp"
#include "utils/varint.hpp"

/// New `str` from UTF-8 bytes, with an ASCII fast path. Bytes that are not valid UTF-8
/// raise DeserializationError "Corrupted data: invalid UTF-8 in string at position {}"
/// (`offset` is where the bytes start in the input); a failed allocation MemoryError.
[[nodiscard]] PyPointer make_str(const std::uint8_t *bytes, std::size_t n,
                                 std::size_t offset) noexcept;

/// Adopts the result of an interpreter call that builds an object; null means it could
/// not, reported as MemoryError (replacing that call's own error).
[[nodiscard]] inline PyPointer new_object(PyObject *obj) noexcept {
    if (obj == nullptr) [[unlikely]] {
        PyErr_NoMemory();
    }
    return PyPointer::steal(obj);
}

/// Reads 8 bytes at `pos` as a big-endian binary64 (caller has checked they exist).
[[nodiscard]] inline double read_f64_be(const std::uint8_t *at) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, at, 8);
    if constexpr (std::endian::native == std::endian::little) {
        bits = compiler::byteswap(bits);
    }
    return std::bit_cast<double>(bits);
}

/// Reads a big-endian binary64 at `pos` and returns a new float.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE PyPointer decode_f64(const std::uint8_t *data, std::size_t len,
                                                         std::size_t &pos) noexcept {
    if (len < 8 || pos > len - 8) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const double value = read_f64_be(data + pos);
    pos += 8;
    return new_object(PyFloat_FromDouble(value));
}

/// New list (or tuple) of `n` slots, each to be filled once with `compat::fill_sequence`
/// and handed on through `hidden`; empty with MemoryError when it cannot be made.
/// `build_sequence` fills one.
[[nodiscard]] inline PyPointer make_sequence(std::uint64_t n, bool tuple,
                                             const compat::HiddenContainers *hidden) noexcept {
    PyObject *seq = n <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX)
                        ? compat::new_sequence(static_cast<Py_ssize_t>(n), tuple, hidden)
                        : nullptr;
    if (seq == nullptr) [[unlikely]] {
        PyErr_NoMemory();
    }
    return PyPointer::steal(seq);
}

/// `build_sequence` for a container granted fewer slots than it declares items: a list
/// of the granted size that grows as the rest of its items arrive (a tuple is made from
/// it at the end). Only hostile counts come here.
template <class MakeItem>
[[nodiscard]] VEZUVIR_COLD VEZUVIR_NOINLINE PyPointer build_growing_sequence(
    const Reservation &room, bool tuple, compat::HiddenContainers *hidden, MakeItem &make_item) {
    PyPointer list = make_sequence(room.slots(), false, hidden);
    if (!list) {
        return {};
    }
    for (std::uint64_t i = 0; i < room.count(); ++i) {
        PyPointer item = make_item(i);
        if (!item) {
            return {};
        }
        if (i < room.slots()) {
            compat::fill_sequence(list.get(), static_cast<Py_ssize_t>(i), item.release(), false);
        } else if (PyList_Append(list.get(), item.get()) != 0) {
            PyErr_NoMemory();
            return {};
        }
    }
    if (tuple) {
        list = new_object(PyList_AsTuple(list.get()));
        if (!list) {
            return {};
        }
    }
    compat::finish_sequence(list.get(), hidden);
    return list;
}

/// New list (or tuple) of `room.count()` items, item i being `make_item(i)`: a
/// `PyPointer`, empty with the error set to abandon the sequence. Sized ahead for the
/// slots `room` grants; past them (a count the input could not pay for) it is a list that
/// grows as the items arrive, made a tuple at the end if asked. Handed to the collector
/// through `hidden`.
template <class MakeItem>
[[nodiscard]] inline PyPointer build_sequence(const Reservation &room, bool tuple,
                                              compat::HiddenContainers *hidden,
                                              MakeItem &&make_item) {
    if (room.slots() != room.count()) [[unlikely]] {
        return build_growing_sequence(room, tuple, hidden, make_item);
    }
    const std::uint64_t n = room.count();
    PyPointer seq = make_sequence(n, tuple, hidden);
    if (!seq) {
        return {};
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        PyPointer item = make_item(i);
        if (!item) {
            return {};
        }
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), item.release(), tuple);
    }
    compat::finish_sequence(seq.get(), hidden);
    return seq;
}

/// New dict sized ahead for the slots `room` grants; it grows past them as any dict does.
[[nodiscard]] inline PyPointer new_dict(const Reservation &room) noexcept {
    return new_object(compat::new_dict_presized(static_cast<Py_ssize_t>(room.slots())));
}

/// Reads a `varint` item count at `pos`. Every item takes at least `min_item_bytes` bytes,
/// so a count the rest of the input cannot hold fails with "Unexpected end of input" here,
/// before any container of that size is made.
[[nodiscard]] inline bool decode_count(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                       std::size_t min_item_bytes, std::uint64_t &count) noexcept {
    if (!decode_varint(data, len, pos, count)) [[unlikely]] {
        return false;
    }
    if (count > (len - pos) / min_item_bytes) [[unlikely]] {
        return fail_unexpected_end();
    }
    return true;
}

/// The int ±`magnitude`; empty with MemoryError when it cannot be made.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE PyPointer int_from_magnitude(std::uint64_t magnitude,
                                                                 bool negative) noexcept {
    return new_object(compat::long_from_magnitude(magnitude, negative));
}

/// The long form of `decode_int` beyond eight digits (or cut short), `pos` at its first
/// digit; an int over `limit` fails with DeserializationError naming the keyword.
[[nodiscard]] PyPointer decode_long_int(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                        bool negative, const IntLimit &limit);

/// The value of the first `count` (at most 8) base-255 digits packed in `word`, least
/// significant in its lowest byte: adjacent digits are joined pairwise, all pairs by one
/// multiply, then pairs into quads, then the two quads; no lane overflows into the next
/// (a pair is below 255**2 <= 2**16, a quad below 255**4 <= 2**32).
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::uint64_t base255_value(std::uint64_t word,
                                                                unsigned count) noexcept {
    if (count < 8) {
        word &= (std::uint64_t{1} << (8 * count)) - 1;
    }
    const std::uint64_t pairs =
        (word & 0x00FF00FF00FF00FFULL) + ((word >> 8) & 0x00FF00FF00FF00FFULL) * 255;
    const std::uint64_t quads =
        (pairs & 0x0000FFFF0000FFFFULL) + ((pairs >> 16) & 0x0000FFFF0000FFFFULL) * (255ULL * 255);
    return (quads & 0xFFFFFFFFULL) + (quads >> 32) * (255ULL * 255 * 255 * 255);
}

/// Reads the `varint` magnitude at `pos` (just after `TypeFlag::PositiveInt` or
/// `TypeFlag::NegativeInt`) exactly, however long, and returns the int, negated for
/// `negative`. Up to eight long-form digits never leave machine arithmetic.
[[nodiscard]] inline PyPointer decode_int(const std::uint8_t *data, std::size_t len,
                                          std::size_t &pos, bool negative,
                                          const IntLimit &int_limit) {
    if (pos >= len) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::uint8_t first = data[pos++];
    if (first != VARINT_ESCAPE) {
        return int_from_magnitude(first, negative);
    }
    // FF <digits, least significant first> FF; at most 255 + (255**8 - 1) < 2**64 here.
    // The closing FF of an eight-digit magnitude (every int64 needs up to eight) is the
    // ninth byte looked at.
    if constexpr (std::endian::native == std::endian::little) {
        if (len - pos >= 9) [[likely]] {
            std::uint64_t word = 0;
            std::memcpy(&word, data + pos, 8);
            // The lowest byte equal to FF is the lowest zero byte of the inverse; bytes
            // above it may be flagged wrongly, and are not looked at.
            const std::uint64_t inverted = ~word;
            const std::uint64_t ends =
                (inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL;
            if (ends != 0 || data[pos + 8] == VARINT_ESCAPE) {
                const unsigned count =
                    ends != 0 ? static_cast<unsigned>(std::countr_zero(ends)) / 8 : 8;
                pos += count + 1;
                return int_from_magnitude(255 + base255_value(word, count), negative);
            }
            return decode_long_int(data, len, pos, negative, int_limit);
        }
    }
    std::uint64_t digits = 0;
    std::uint64_t weight = 1;
    const std::size_t limit = std::min<std::size_t>(9, len - pos);
    for (std::size_t i = 0; i < limit; ++i) {
        const std::uint8_t digit = data[pos + i];
        if (digit == VARINT_ESCAPE) {
            pos += i + 1;
            return int_from_magnitude(255 + digits, negative);
        }
        digits += digit * weight;
        weight *= 255;
    }
    return decode_long_int(data, len, pos, negative, int_limit);
}

/// Reads a bytes body at `pos`, <varint n> <n bytes>, and returns a new `bytes`.
[[nodiscard]] inline PyPointer decode_bytes(const std::uint8_t *data, std::size_t len,
                                            std::size_t &pos) noexcept {
    std::uint64_t n = 0;
    if (!decode_varint(data, len, pos, n)) {
        return {};
    }
    if (n > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::size_t start = pos;
    pos += static_cast<std::size_t>(n);
    return new_object(PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + start),
                                                static_cast<Py_ssize_t>(n)));
}

/// How a string body is stored.
enum class StrForm {
    /// varint length; a leading 0xFE is kept (and fails UTF-8 decoding). String values.
    PlainValue,
    /// varint length; a leading ASCII marker 0xFE is dropped. String-list elements and
    /// position entries of skipped value strings.
    MarkerValue,
    /// key_varint length; a leading ASCII marker is dropped. Literal dict keys.
    MarkerKey,
};

/// Reads a string's length at `pos` and finds its stored bytes, [`start`, `start` + `n`),
/// without building anything; the ASCII marker of the marker forms is not counted. Leaves
/// `pos` at the end of the string; false with "Unexpected end of input" when cut short.
template <StrForm Form>
[[nodiscard]] inline bool read_string_body(const std::uint8_t *data, std::size_t len,
                                           std::size_t &pos, std::size_t &start,
                                           std::size_t &n) noexcept {
    std::uint64_t length = 0;
    const bool ok = Form == StrForm::MarkerKey ? decode_key_varint(data, len, pos, length)
                                               : decode_varint(data, len, pos, length);
    if (!ok) [[unlikely]] {
        return false;
    }
    if (length > len - pos) [[unlikely]] {
        return fail_unexpected_end();
    }
    start = pos;
    n = static_cast<std::size_t>(length);
    pos += n;
    if constexpr (Form != StrForm::PlainValue) {
        if (n != 0 && data[start] == ASCII_MARKER) {
            ++start;
            --n;
        }
    }
    return true;
}

/// Reads a length and that many bytes at `pos` and builds the `str`; never touches the
/// back-reference table. Leaves `pos` at the end of the string.
template <StrForm Form>
[[nodiscard]] PyPointer decode_string_without_inserting_pointer(const std::uint8_t *data,
                                                                std::size_t len,
                                                                std::size_t &pos) noexcept {
    std::size_t start = 0;
    std::size_t n = 0;
    if (!read_string_body<Form>(data, len, pos, start, n)) [[unlikely]] {
        return {};
    }
    if (n == 0) {
        if constexpr (Form == StrForm::PlainValue) {
            PyObject *empty = PyUnicode_New(0, 0);
            if (empty == nullptr) {
                PyErr_NoMemory();
            }
            return PyPointer::steal(empty);
        } else {
            return PyPointer::borrow(EMPTY_STRING);
        }
    }
    return make_str(data + start, n, start);
}

/// Enters a string just read in full into the back-reference table and hands it on;
/// empty passes through, and a table that cannot grow is MemoryError.
template <PointerHolder Holder>
[[nodiscard]] inline PyPointer insert_string(PyPointer str, Holder &holder) {
    if (str && !holder.insert(str.get())) [[unlikely]] {
        PyErr_NoMemory();
        return {};
    }
    return str;
}
