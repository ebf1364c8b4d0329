#pragma once
// Variable-length unsigned numbers.
//
// varint (base 255): v < 255 is the byte v. Otherwise FF, then the base-255 digits of
// v - 255, least significant first (none at all when v == 255), then FF:
//     300 -> FF 2D FF        255 -> FF FF        510 -> FF 00 01 FF
// key_varint is the same shape in base 254 with offset 254, so that the byte 254 never
// opens one and can mark a key back-reference instead.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "utils/compiler.hpp"
#include "utils/type_flag.hpp"

/// Longest varint of a 64-bit value: escape, 9 digits, terminator.
inline constexpr std::size_t MAX_VARINT_LEN = 11;

/// `write_varint_long_form` beyond two digits. Digits are made four at a time: one 64-bit division
/// splits off a remainder below Base**4 < 2**32, whose digits 32-bit arithmetic yields without a
/// loop; a 64-bit division per digit would cost several times as much.
template <std::uint64_t Base>
[[nodiscard]] VEZUVIR_NOINLINE std::size_t write_varint_many_digits(std::uint8_t *out,
                                                                    std::uint64_t value) noexcept {
    constexpr std::uint64_t TWO_DIGITS = Base * Base;
    constexpr std::uint64_t THREE_DIGITS = TWO_DIGITS * Base;
    constexpr std::uint64_t FOUR_DIGITS = THREE_DIGITS * Base;
    constexpr auto BASE32 = static_cast<std::uint32_t>(Base);
    // Stores the four digits of `y` < Base**4, least significant first. Each quotient is
    // taken from `y` itself, not from the one before, so the three run side by side.
    const auto store_four = [](std::uint8_t *at, std::uint32_t y) {
        const std::uint32_t y1 = y / BASE32;
        const std::uint32_t y2 = y / static_cast<std::uint32_t>(TWO_DIGITS);
        const std::uint32_t y3 = y / static_cast<std::uint32_t>(THREE_DIGITS);
        at[0] = static_cast<std::uint8_t>(y - y1 * BASE32);
        at[1] = static_cast<std::uint8_t>(y1 - y2 * BASE32);
        at[2] = static_cast<std::uint8_t>(y2 - y3 * BASE32);
        at[3] = static_cast<std::uint8_t>(y3);
    };
    std::size_t n = 0;
    out[n++] = VARINT_ESCAPE;
    std::uint64_t x = value - Base;
    while (x >= FOUR_DIGITS) {
        const std::uint64_t high = x / FOUR_DIGITS;
        store_four(out + n, static_cast<std::uint32_t>(x - high * FOUR_DIGITS));
        n += 4;
        x = high;
    }
    const auto y = static_cast<std::uint32_t>(x);
    if (n + 4 < MAX_VARINT_LEN) {
        store_four(out + n, y);
    } else {
        // After eight digits what is left of a 64-bit value is 0 or 1.
        out[n] = static_cast<std::uint8_t>(y);
    }
    n += y >= THREE_DIGITS ? 4 : y >= TWO_DIGITS ? 3 : y >= Base ? 2 : y != 0 ? 1 : 0;
    out[n++] = VARINT_ESCAPE;
    return n;
}

/// Writes the long form (value >= Base) to `out`, which has room for MAX_VARINT_LEN
/// bytes; returns its length. Up to two digits (values below Base * (Base + 1), most
/// lengths and ints met) are written in place.
template <std::uint64_t Base>
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::size_t
write_varint_long_form(std::uint8_t *out, std::uint64_t value) noexcept {
    const std::uint64_t x = value - Base;
    if (x >= Base * Base) [[unlikely]] {
        return write_varint_many_digits<Base>(out, value);
    }
    const auto y = static_cast<std::uint32_t>(x);
    const std::uint32_t high = y / static_cast<std::uint32_t>(Base);
    out[0] = VARINT_ESCAPE;
    out[1] = static_cast<std::uint8_t>(y - high * static_cast<std::uint32_t>(Base));
    out[2] = static_cast<std::uint8_t>(high);
    // FF FF for 0 digits, FF d FF for one, FF d d FF for two: the terminator lands on
    // the first position not taken by a digit.
    const std::size_t digits = high != 0 ? 2 : y != 0 ? 1 : 0;
    out[1 + digits] = VARINT_ESCAPE;
    return 2 + digits;
}

/// Appends the varint of `value` (base and offset 255, or 254 for key lengths) with one
/// `push` per byte, as the writer-backed buffer expects. A buffer that can lend room to
/// write into (`reserve`/`commit`) gets the long form written in place.
template <std::uint64_t Base = 255, class Buffer>
[[nodiscard]] inline bool encode_varint_base(Buffer &buffer, std::uint64_t value) {
    if (value < Base) [[likely]] {
        return buffer.push(static_cast<std::uint8_t>(value));
    }
    if constexpr (requires { buffer.reserve(MAX_VARINT_LEN); }) {
        std::uint8_t *out = buffer.reserve(MAX_VARINT_LEN);
        if (out == nullptr) {
            return false;
        }
        buffer.commit(write_varint_long_form<Base>(out, value));
        return true;
    } else {
        std::uint8_t out[MAX_VARINT_LEN];
        const std::size_t n = write_varint_long_form<Base>(out, value);
        for (std::size_t i = 0; i < n; ++i) {
            if (!buffer.push(out[i])) {
                return false;
            }
        }
        return true;
    }
}

/// Appends the base-255 varint of `value`.
template <class Buffer>
[[nodiscard]] inline bool encode_varint(Buffer &buffer, std::uint64_t value) {
    return encode_varint_base<255>(buffer, value);
}

/// Appends the base-254 length of a literal dict key.
template <class Buffer>
[[nodiscard]] inline bool encode_key_varint(Buffer &buffer, std::uint64_t value) {
    return encode_varint_base<254>(buffer, value);
}

/// Reads one varint (base 255, or 254 for key lengths) at `pos` into `out` and advances
/// `pos` past it. Values beyond 2**64 - 1 wrap; the callers' bounds checks reject them.
/// On truncation sets DeserializationError "Unexpected end of input" and returns false.
template <std::uint64_t Base = 255>
[[nodiscard]] bool decode_varint_base(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                      std::uint64_t &out) noexcept;

/// Base-255 varint reader (counts, lengths, indices).
[[nodiscard]] inline bool decode_varint(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                        std::uint64_t &out) noexcept {
    return decode_varint_base<255>(data, len, pos, out);
}

/// Base-254 key length reader; the caller has already handled a first byte of 254.
[[nodiscard]] inline bool decode_key_varint(const std::uint8_t *data, std::size_t len,
                                            std::size_t &pos, std::uint64_t &out) noexcept {
    return decode_varint_base<254>(data, len, pos, out);
}

// Defined with the other decoding errors (deserializing/utils).
bool fail_unexpected_end() noexcept;

template <std::uint64_t Base>
bool decode_varint_base(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                        std::uint64_t &out) noexcept {
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    const std::uint8_t first = data[pos++];
    if (first != VARINT_ESCAPE) [[likely]] {
        out = first;
        return true;
    }
    std::uint64_t value = Base;
    std::uint64_t weight = 1;
    while (pos < len) {
        const std::uint8_t digit = data[pos++];
        if (digit == VARINT_ESCAPE) {
            out = value;
            return true;
        }
        value += digit * weight;
        weight *= Base;
    }
    pos = len;
    return fail_unexpected_end();
}
