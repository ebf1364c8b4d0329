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

#include "utils/type_flag.hpp"

/// Longest varint of a 64-bit value: escape, 9 digits, terminator.
inline constexpr std::size_t MAX_VARINT_LEN = 11;

/// Writes the long form (value >= Base) to `out`; returns its length.
template <std::uint64_t Base>
[[nodiscard]] inline std::size_t write_varint_long_form(std::uint8_t *out,
                                                        std::uint64_t value) noexcept {
    std::size_t n = 0;
    out[n++] = VARINT_ESCAPE;
    for (std::uint64_t x = value - Base; x != 0; x /= Base) {
        out[n++] = static_cast<std::uint8_t>(x % Base);
    }
    out[n++] = VARINT_ESCAPE;
    return n;
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
