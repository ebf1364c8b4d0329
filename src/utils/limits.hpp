#pragma once
// The limits a caller can lift, shared by the encoder and the readers: how large an int
// may be converted (`max_int_digits`) and how many elements a decoding call may create
// from forms that take no input bytes per element (`max_free_elements`).
#include <Python.h>

#include <cstdint>
#include <limits>

/// Value of an unlimited limit (the keyword given as None).
inline constexpr std::uint64_t NO_LIMIT = std::numeric_limits<std::uint64_t>::max();

/// Default `max_int_digits`: the interpreter's own default for int/str conversion, so
/// every int a JSON parser hands over by default round-trips.
inline constexpr std::uint64_t DEFAULT_MAX_INT_DIGITS = 4300;
/// Smallest `max_int_digits` other than None: every 64-bit int stays below any limit,
/// so only the arbitrary-precision paths ever test it.
inline constexpr std::uint64_t MIN_MAX_INT_DIGITS = 640;
/// Default `max_free_elements`.
inline constexpr std::uint64_t DEFAULT_MAX_FREE_ELEMENTS = 2000000;

/// How large an int may be converted, in both the caller's digits and the bits tested.
struct IntLimit {
    /// Decimal digits, as the caller gave them (NO_LIMIT for None).
    std::uint64_t digits = DEFAULT_MAX_INT_DIGITS;
    /// Largest bit length of a magnitude: ceil(digits * log2(10)), so that every int of
    /// at most `digits` decimal digits is accepted.
    std::uint64_t bits = bits_for(DEFAULT_MAX_INT_DIGITS);

    [[nodiscard]] static constexpr std::uint64_t bits_for(std::uint64_t digits) noexcept {
        if (digits == NO_LIMIT || digits > NO_LIMIT / 4) {
            return NO_LIMIT;
        }
        // log2(10) from above by 3.32192809489 (exact to 11 places), in integer arithmetic.
        constexpr std::uint64_t scale = 100000000000ULL;
        constexpr std::uint64_t log2_10 = 332192809489ULL;
        const std::uint64_t whole = digits / scale * log2_10;
        const std::uint64_t rest = (digits % scale * log2_10 + scale - 1) / scale;
        return whole + rest;
    }
};

/// Reads `max_int_digits`: None, or an int of at least MIN_MAX_INT_DIGITS. TypeError or
/// ValueError naming the keyword otherwise.
[[nodiscard]] bool parse_int_limit(PyObject *value, IntLimit &out);

/// Reads `max_free_elements`: None, or a non-negative int.
[[nodiscard]] bool parse_free_elements(PyObject *value, std::uint64_t &out);

/// Raises `exception_class` for an int over `limit`, saying what could not be done to it
/// (`verb`: "serialize", "deserialize"); returns false.
bool fail_int_limit(const IntLimit &limit, PyObject *exception_class, const char *verb) noexcept;
