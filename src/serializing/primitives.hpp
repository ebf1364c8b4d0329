#pragma once
// Writers of the scalar forms: back-references, strings, integers of any size, floats,
// bytes and dates. Every routine returns false with a Python exception set on failure.
#include <Python.h>

#include <bit>
#include <concepts>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "serializing/py_bytes_buffer.hpp"
#include "serializing/serializing_string_cache.hpp"
#include "serializing/settings.hpp"
#include "serializing/utils.hpp"
#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

/// The dispatch (serialize.hpp); the compound writers recurse through it.
template <PyBytesBuffer B>
[[nodiscard]] bool serialize(PyObject *obj, B &buffer, SerializingStringCache &cache,
                             const SerializationSettings &settings);

/// The container writers (compound_types.hpp), called straight from `serialize_nested`.
template <bool IsList, PyBytesBuffer B>
[[nodiscard]] bool encode_sequence(PyObject *seq, Py_ssize_t n, B &buffer,
                                   SerializingStringCache &cache,
                                   const SerializationSettings &settings);
template <PyBytesBuffer B>
[[nodiscard]] bool encode_dict(PyObject *dict, B &buffer, SerializingStringCache &cache,
                               const SerializationSettings &settings);

/// Whether `B` lends room to write into (see RawBytesBuffer::reserve).
template <class B>
concept ReservingBuffer = requires(B &buffer, std::size_t n) {
    { buffer.reserve(n) } -> std::same_as<std::uint8_t *>;
    buffer.commit(n);
};

/// Whether `B` lends room to write into only while a group of bytes can neither reach a
/// flush nor need a direct write (see FilePyBytesBuffer::try_reserve).
template <class B>
concept TryReservingBuffer = requires(B &buffer, std::size_t n) {
    { buffer.try_reserve(n) } -> std::same_as<std::uint8_t *>;
    buffer.commit(n);
};

/// Writes the varint of `value` at `out`; returns its length.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::size_t write_varint_at(std::uint8_t *out,
                                                                std::uint64_t value) noexcept {
    if (value < 255) [[likely]] {
        *out = static_cast<std::uint8_t>(value);
        return 1;
    }
    return write_varint_long_form<255>(out, value);
}

/// Writes the key_varint of `value` at `out`; returns its length.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::size_t write_key_varint_at(std::uint8_t *out,
                                                                    std::uint64_t value) noexcept {
    if (value < 254) [[likely]] {
        *out = static_cast<std::uint8_t>(value);
        return 1;
    }
    return write_varint_long_form<254>(out, value);
}

/// Copies `n` bytes to `out`. Most keys and strings are short, and a library call costs
/// more than the copy, so up to 16 bytes are moved with two overlapping loads and stores.
VEZUVIR_ALWAYS_INLINE void copy_bytes(std::uint8_t *out, const char *from, std::size_t n) noexcept {
    if (n > 16) {
        std::memcpy(out, from, n);
    } else if (n >= 8) {
        std::uint64_t head = 0;
        std::uint64_t tail = 0;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + n - 8, 8);
        std::memcpy(out, &head, 8);
        std::memcpy(out + n - 8, &tail, 8);
    } else if (n >= 4) {
        std::uint32_t head = 0;
        std::uint32_t tail = 0;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + n - 4, 4);
        std::memcpy(out, &head, 4);
        std::memcpy(out + n - 4, &tail, 4);
    } else if (n != 0) {
        out[0] = static_cast<std::uint8_t>(from[0]);
        out[n / 2] = static_cast<std::uint8_t>(from[n / 2]);
        out[n - 1] = static_cast<std::uint8_t>(from[n - 1]);
    }
}

/// Appends a group of at most `n` bytes in one step where the buffer lends room:
/// `fill(out)` writes them and returns their count. Otherwise `piecewise()` appends the
/// same bytes with the buffer's own operations, so that the writer-backed buffer sees
/// each push and slice where a flush or a direct write may fall. Callers mark `fill`
/// always-inline: it is the whole hot path, and the compiler would otherwise call it;
/// `piecewise` captures by value, so that the values it needs may stay in registers.
template <PyBytesBuffer B, class Fill, class Piecewise>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool write_group(B &buffer, std::size_t n, Fill &&fill,
                                                     Piecewise &&piecewise) {
    if constexpr (ReservingBuffer<B>) {
        std::uint8_t *const out = buffer.reserve(n);
        if (out == nullptr) [[unlikely]] {
            return false;
        }
        buffer.commit(fill(out));
        return true;
    } else if constexpr (TryReservingBuffer<B>) {
        if (std::uint8_t *const out = buffer.try_reserve(n)) [[likely]] {
            buffer.commit(fill(out));
            return true;
        }
        return piecewise();
    } else {
        return piecewise();
    }
}

/// Appends `flag`, the varint of the payload's length unless `with_length` is false, and
/// the payload: the flag and varint as pushes and the payload as one slice, or in one
/// step into a buffer that lends room.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool
write_flagged(B &buffer, TypeFlag flag, std::string_view payload, bool with_length = true) {
    return write_group(
        buffer, 1 + (with_length ? MAX_VARINT_LEN : 0) + payload.size(),
        [&](std::uint8_t *out) VEZUVIR_LAMBDA_INLINE {
            std::uint8_t *p = out;
            *p++ = flag_byte(flag);
            if (with_length) {
                p += write_varint_at(p, payload.size());
            }
            copy_bytes(p, payload.data(), payload.size());
            return static_cast<std::size_t>(p - out) + payload.size();
        },
        [=, &buffer] {
            return buffer.push(flag_byte(flag)) &&
                   (!with_length || encode_varint(buffer, payload.size())) &&
                   buffer.extend_from_slice(payload);
        });
}

/// Appends `flag` and the varint of `value` (pushes, or one step where room is lent).
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool write_flag_and_varint(B &buffer, TypeFlag flag,
                                                               std::uint64_t value) {
    return write_group(
        buffer, 1 + MAX_VARINT_LEN,
        [&](std::uint8_t *out) VEZUVIR_LAMBDA_INLINE {
            out[0] = flag_byte(flag);
            return 1 + write_varint_at(out + 1, value);
        },
        [=, &buffer] { return buffer.push(flag_byte(flag)) && encode_varint(buffer, value); });
}

/// Appends the back-reference of a value string: the narrowest fixed-width index that
/// holds `index` (big-endian), or `LargePointer` and a varint beyond 32 bits.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool encode_pointer(B &buffer, std::uint64_t index) {
    const auto byte = [index](unsigned shift) {
        return static_cast<char>((index >> shift) & 0xFF);
    };
    if (index <= 0xFF) [[likely]] {
        const char out[2] = {static_cast<char>(TypeFlag::Pointer1), byte(0)};
        return write_group(
            buffer, 2,
            [&](std::uint8_t *p) VEZUVIR_LAMBDA_INLINE {
                p[0] = flag_byte(TypeFlag::Pointer1);
                p[1] = static_cast<std::uint8_t>(index);
                return std::size_t{2};
            },
            [=, &buffer] { return buffer.extend_from_slice(std::string_view(out, 2)); });
    }
    if (index <= 0xFFFF) {
        const char out[2] = {byte(8), byte(0)};
        return buffer.push(flag_byte(TypeFlag::Pointer2)) &&
               buffer.extend_from_slice(std::string_view(out, 2));
    }
    if (index <= 0xFFFFFF) {
        const char out[4] = {static_cast<char>(TypeFlag::Pointer3), byte(16), byte(8), byte(0)};
        return buffer.extend_from_slice(std::string_view(out, 4));
    }
    if (index <= 0xFFFFFFFF) {
        const char out[4] = {byte(24), byte(16), byte(8), byte(0)};
        return buffer.push(flag_byte(TypeFlag::Pointer4)) &&
               buffer.extend_from_slice(std::string_view(out, 4));
    }
    return buffer.push(flag_byte(TypeFlag::LargePointer)) && encode_varint(buffer, index);
}

/// Writes an exact `str` as a value: `EmptyString`, a back-reference to its first
/// occurrence, or in full (entering the cache first, so its index matches what readers
/// count). Only a string written in full has its text fetched; ASCII strings are read
/// in place, without conversion.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool write_str_value(PyObject *str, B &buffer,
                                                         SerializingStringCache &cache) {
    if (compat::str_is_empty(str)) {
        return buffer.push(flag_byte(TypeFlag::EmptyString));
    }
    std::uint64_t index = 0;
    if (cache.lookup_or_insert(str, index)) {
        return encode_pointer(buffer, index);
    }
    Py_ssize_t len = 0;
    bool is_ascii = false;
    const char *data = compat::str_utf8(str, len, is_ascii);
    if (data == nullptr) [[unlikely]] {
        wrap_str_without_utf8(str, SERIALIZATION_ERROR_TYPE);
        return false;
    }
    // The cache now holds the string, so `data` stays valid even if the writer runs.
    return write_flagged(buffer, is_ascii ? TypeFlag::AsciiString : TypeFlag::String,
                         std::string_view(data, static_cast<std::size_t>(len)));
}

/// `write_str_value` as one out-of-line function, for the places that are not hot
/// enough to carry their own copy.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_NOINLINE bool serialize_str(PyObject *str, B &buffer,
                                                  SerializingStringCache &cache) {
    return write_str_value(str, buffer, cache);
}

namespace detail {

/// Base-255 digits of a big-endian magnitude, least significant first, without the
/// leading (most significant) zeros. Divides by 255**4 over 32-bit limbs, so each pass
/// yields four digits.
[[nodiscard]] inline std::vector<std::uint8_t> base255_digits(const unsigned char *magnitude,
                                                              std::size_t n) {
    std::vector<std::uint32_t> limbs((n + 3) / 4, 0);
    for (std::size_t i = 0; i < n; ++i) {
        // Byte i counted from the least significant end.
        const std::size_t from_low = n - 1 - i;
        limbs[limbs.size() - 1 - from_low / 4] |= static_cast<std::uint32_t>(magnitude[i])
                                                  << (8 * (from_low % 4));
    }
    constexpr std::uint64_t divisor = 255ULL * 255 * 255 * 255;
    std::vector<std::uint8_t> digits;
    digits.reserve(n + n / 8 + 4);
    std::size_t first = 0; // limbs before `first` are zero
    while (first < limbs.size()) {
        std::uint64_t rem = 0;
        for (std::size_t i = first; i < limbs.size(); ++i) {
            const std::uint64_t cur = (rem << 32) | limbs[i];
            limbs[i] = static_cast<std::uint32_t>(cur / divisor);
            rem = cur % divisor;
        }
        for (int k = 0; k < 4; ++k) {
            digits.push_back(static_cast<std::uint8_t>(rem % 255));
            rem /= 255;
        }
        while (first < limbs.size() && limbs[first] == 0) {
            ++first;
        }
    }
    while (!digits.empty() && digits.back() == 0) {
        digits.pop_back();
    }
    return digits;
}

} // namespace detail

/// An int beyond 64 bits: the flag, then the varint of its magnitude, with the digits
/// computed from the int's two's complement bytes without Python arithmetic.
template <PyBytesBuffer B>
VEZUVIR_COLD VEZUVIR_NOINLINE bool serialize_big_int(PyObject *obj, B &buffer,
                                                     const SerializationSettings &settings) {
    const std::size_t bits = compat::long_num_bits(obj);
    if (bits == static_cast<std::size_t>(-1)) {
        PyErr_NoMemory();
        return false;
    }
    // The base-255 conversion below takes time quadratic in the size.
    if (bits > settings.int_limit.bits) {
        return fail_int_limit(settings.int_limit, SERIALIZATION_ERROR_TYPE, "serialize");
    }
    const std::size_t n = (bits + 7) / 8 + 1;
    std::vector<unsigned char> bytes(n);
    if (!compat::long_to_signed_big_endian(obj, bytes.data(), n)) {
        PyErr_NoMemory();
        return false;
    }
    const bool negative = (bytes[0] & 0x80) != 0;
    if (negative) {
        // Two's complement to magnitude: invert, then add one from the low end.
        for (auto &b : bytes) {
            b = static_cast<unsigned char>(~b);
        }
        for (std::size_t i = n; i-- > 0;) {
            if (++bytes[i] != 0) {
                break;
            }
        }
    }
    // The varint stores magnitude - 255; the magnitude is at least 2**63 here.
    unsigned borrow = 255;
    for (std::size_t i = n; i-- > 0 && borrow != 0;) {
        const unsigned cur = bytes[i];
        const unsigned take = borrow & 0xFF;
        bytes[i] = static_cast<unsigned char>(cur - take);
        borrow = (borrow >> 8) + (cur < take ? 1 : 0);
    }
    const std::vector<std::uint8_t> digits = detail::base255_digits(bytes.data(), n);
    if (!buffer.push(flag_byte(negative ? TypeFlag::NegativeInt : TypeFlag::PositiveInt)) ||
        !buffer.push(VARINT_ESCAPE)) {
        return false;
    }
    for (const std::uint8_t digit : digits) {
        if (!buffer.push(digit)) {
            return false;
        }
    }
    return buffer.push(VARINT_ESCAPE);
}

/// Writes an exact `int`: inline for 0 to 224, else a sign flag and the magnitude.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool serialize_int(PyObject *obj, B &buffer,
                                                       const SerializationSettings &settings) {
    long long v = 0;
    if (!compat::long_as_i64(obj, v)) [[unlikely]] {
        return serialize_big_int(obj, buffer, settings);
    }
    if (v >= 0) {
        if (v <= MAX_INLINE_INT) {
            return buffer.push(static_cast<std::uint8_t>(flag_byte(TypeFlag::SmallIntBase) + v));
        }
        return write_flag_and_varint(buffer, TypeFlag::PositiveInt, static_cast<std::uint64_t>(v));
    }
    // Negating in unsigned arithmetic keeps -2**63 exact.
    return write_flag_and_varint(buffer, TypeFlag::NegativeInt,
                                 std::uint64_t{0} - static_cast<std::uint64_t>(v));
}

/// Writes an exact `float` as its binary64 bit pattern, most significant byte first.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool serialize_float(PyObject *obj, B &buffer) {
    auto bits = std::bit_cast<std::uint64_t>(PyFloat_AS_DOUBLE(obj));
    if constexpr (std::endian::native == std::endian::little) {
        bits = compiler::byteswap(bits);
    }
    return write_group(
        buffer, 9,
        [&](std::uint8_t *out) VEZUVIR_LAMBDA_INLINE {
            out[0] = flag_byte(TypeFlag::Float);
            std::memcpy(out + 1, &bits, 8);
            return std::size_t{9};
        },
        [=, &buffer] {
            char out[8];
            std::memcpy(out, &bits, 8);
            return buffer.push(flag_byte(TypeFlag::Float)) &&
                   buffer.extend_from_slice(std::string_view(out, 8));
        });
}

/// Writes an exact `bytes`; never cached.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_NOINLINE bool serialize_bytes(PyObject *obj, B &buffer) {
    const Py_ssize_t n = PyBytes_GET_SIZE(obj);
    if (n == 0) {
        return buffer.push(flag_byte(TypeFlag::EmptyBytes));
    }
    return write_flagged(buffer, TypeFlag::Bytes,
                         std::string_view(PyBytes_AS_STRING(obj), static_cast<std::size_t>(n)));
}

/// A nested or uncommon item: under the container's recursion bound, and held while it
/// is written when Python code may run meanwhile and drop the container's reference.
template <PyBytesBuffer B>
[[nodiscard]] bool serialize_nested(PyObject *obj, B &buffer, SerializingStringCache &cache,
                                    const SerializationSettings &settings,
                                    LazyRecursionGuard &guard) {
    if (!guard.enter()) [[unlikely]] {
        return false;
    }
    const PyPointer held = settings.python_may_run ? PyPointer::borrow(obj) : PyPointer();
    // Lists and dicts, the usual nested values, skip the general dispatch.
    PyTypeObject *const type = Py_TYPE(obj);
    if (type == &PyList_Type) {
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        return n == 0 ? buffer.push(flag_byte(TypeFlag::EmptyList))
                      : encode_sequence<true>(obj, n, buffer, cache, settings);
    }
    if (type == &PyDict_Type) {
        return PyDict_GET_SIZE(obj) == 0 ? buffer.push(flag_byte(TypeFlag::EmptyDict))
                                         : encode_dict(obj, buffer, cache, settings);
    }
    return serialize(obj, buffer, cache, settings);
}

/// Writes one item of a container: the same as `serialize`, with the scalars that make
/// up most real data written right here instead of through a call. Those scalars are
/// read whole before their first byte is appended (a string is first taken into the
/// cache), so they need no reference of their own even when the writer may run.
template <PyBytesBuffer B>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool
serialize_item(PyObject *obj, B &buffer, SerializingStringCache &cache,
               const SerializationSettings &settings, LazyRecursionGuard &guard) {
    PyTypeObject *const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        return write_str_value(obj, buffer, cache);
    }
    if (type == &PyLong_Type) {
        return serialize_int(obj, buffer, settings);
    }
    if (type == &PyFloat_Type) {
        return serialize_float(obj, buffer);
    }
    if (type == &PyBool_Type) {
        return buffer.push(flag_byte(obj == Py_True ? TypeFlag::True : TypeFlag::False));
    }
    if (obj == Py_None) {
        return buffer.push(flag_byte(TypeFlag::None));
    }
    return serialize_nested(obj, buffer, cache, settings, guard);
}

/// Writes a `datetime.datetime` (or subclass) as the text `datetime.isoformat` gives it,
/// through the string cache like any other string.
template <PyBytesBuffer B>
VEZUVIR_NOINLINE bool serialize_date(PyObject *obj, B &buffer, SerializingStringCache &cache,
                                     const SerializationSettings &settings) {
    // The class's own method, so an overriding `isoformat` of a subclass is not used.
    PyPointer text = call_with_one_arg(ISO_FORMAT_FUNC, obj);
    ++settings.python_calls;
    if (!text) {
        wrap_callback_error("Failed to serialize date", SERIALIZATION_ERROR_TYPE);
        return false;
    }
    if (!PyUnicode_CheckExact(text.get())) {
        to_py_error("Failed to serialize date", SERIALIZATION_ERROR_TYPE);
        return false;
    }
    return serialize_str(text.get(), buffer, cache);
}
