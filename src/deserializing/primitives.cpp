#include "deserializing/primitives.hpp"

#include <algorithm>
#include <climits>
#include <vector>

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"

namespace {
/// Whether every byte is below 0x80; eight bytes at a time.
bool all_ascii(const std::uint8_t *p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) {
            return false;
        }
    }
    std::uint8_t acc = 0;
    for (; i < n; ++i) {
        acc |= p[i];
    }
    return (acc & 0x80) == 0;
}

/// 255**8, the weight of one chunk of eight base-255 digits.
constexpr std::uint64_t CHUNK_WEIGHT = 17878103347812890625ULL;

/// Σ d_i·255^i over at most eight digits; at most 255**8 - 1, so it never overflows.
std::uint64_t digits_value(const std::uint8_t *digits, std::size_t n) noexcept {
    std::uint64_t value = 0;
    for (std::size_t i = n; i-- > 0;) {
        value = value * 255 + digits[i];
    }
    return value;
}

/// Σ d_i·255^i over any number of digits. Eight-digit chunks are combined pairwise
/// (low + high * weight, the weight squaring each round), so a hostile run of digits
/// costs the interpreter's fast multiplication rather than quadratic time.
PyPointer big_digits_value(const std::uint8_t *digits, std::size_t n) {
    std::vector<PyPointer> parts;
    parts.reserve((n + 7) / 8);
    for (std::size_t at = 0; at < n; at += 8) {
        const std::size_t width = std::min<std::size_t>(8, n - at);
        PyPointer part = new_object(PyLong_FromUnsignedLongLong(digits_value(digits + at, width)));
        if (!part) {
            return {};
        }
        parts.push_back(std::move(part));
    }
    PyPointer weight = new_object(PyLong_FromUnsignedLongLong(CHUNK_WEIGHT));
    if (!weight) {
        return {};
    }
    while (parts.size() > 1) {
        std::size_t out = 0;
        for (std::size_t i = 0; i < parts.size(); i += 2) {
            if (i + 1 == parts.size()) {
                parts[out++] = std::move(parts[i]);
                break;
            }
            PyPointer high = new_object(PyNumber_Multiply(parts[i + 1].get(), weight.get()));
            if (!high) {
                return {};
            }
            parts[out++] = new_object(PyNumber_Add(parts[i].get(), high.get()));
            if (!parts[out - 1]) {
                return {};
            }
        }
        parts.resize(out);
        if (parts.size() > 1) {
            weight = new_object(PyNumber_Multiply(weight.get(), weight.get()));
            if (!weight) {
                return {};
            }
        }
    }
    return std::move(parts[0]);
}
} // namespace

PyPointer make_str(const std::uint8_t *bytes, std::size_t n, std::size_t offset) noexcept {
    if (n == 0) {
        return PyPointer::borrow(EMPTY_STRING);
    }
    const char *chars = reinterpret_cast<const char *>(bytes);
    PyObject *str = all_ascii(bytes, n)
                        ? compat::new_ascii_str(chars, n)
                        : PyUnicode_DecodeUTF8(chars, static_cast<Py_ssize_t>(n), nullptr);
    if (str == nullptr) [[unlikely]] {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            fail_deserialization(
                format_message("Corrupted data: invalid UTF-8 in string at position {}", offset));
        } else {
            PyErr_NoMemory();
        }
    }
    return PyPointer::steal(str);
}

PyPointer decode_long_int(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                          bool negative, const IntLimit &limit) {
    const std::uint8_t *digits = data + pos;
    const void *end = std::memchr(digits, VARINT_ESCAPE, len - pos);
    if (end == nullptr) [[unlikely]] {
        pos = len;
        fail_unexpected_end();
        return {};
    }
    const auto n = static_cast<std::size_t>(static_cast<const std::uint8_t *>(end) - digits);
    pos += n + 1;
    // Combining the digits costs more than linear time, so the limit is tested on their
    // count before (a digit carries log2(255) > 7 bits) and exactly on the result after:
    // what the encoder accepts under a limit, the decoder accepts under the same one.
    if (limit.bits != NO_LIMIT && n > limit.bits / 7 + 2) {
        fail_int_limit(limit, DESERIALIZATION_ERROR_TYPE, "deserialize");
        return {};
    }
    PyPointer digits_sum = big_digits_value(digits, n);
    if (!digits_sum) {
        return {};
    }
    PyPointer offset = new_object(PyLong_FromLong(255));
    if (!offset) {
        return {};
    }
    PyPointer magnitude = new_object(PyNumber_Add(digits_sum.get(), offset.get()));
    if (!magnitude) {
        return {};
    }
    if (limit.bits != NO_LIMIT && compat::long_num_bits(magnitude.get()) > limit.bits) {
        fail_int_limit(limit, DESERIALIZATION_ERROR_TYPE, "deserialize");
        return {};
    }
    if (!negative) {
        return magnitude;
    }
    return new_object(PyNumber_Negative(magnitude.get()));
}
