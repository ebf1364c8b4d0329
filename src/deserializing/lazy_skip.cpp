// The skipper and the lazy list loaders.
#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/primitives.hpp"
#include "deserializing/utils.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

namespace {

/// How far the skipper is goes to the table (for its `PageReleaser`) after every
/// PASSED_EVERY items of a long container.
constexpr std::uint64_t PASSED_EVERY = 4096;

/// Moves `pos` forward by `n` without a bounds test against the data; only a step that
/// would wrap the offset fails here.
[[nodiscard]] inline bool advance(std::size_t &pos, std::uint64_t n) noexcept {
    if (n > std::numeric_limits<std::size_t>::max() - pos) [[unlikely]] {
        return fail_unexpected_end();
    }
    pos += static_cast<std::size_t>(n);
    return true;
}

/// The long form of a varint, `pos` just past its FF: up to the next FF. Most are a few
/// digits (every int64 takes at most eight), looked at in place; memchr takes longer runs.
[[gnu::noinline]] bool skip_long_varint(const std::uint8_t *data, std::size_t len,
                                        std::size_t &pos) noexcept {
    const std::size_t near = std::min<std::size_t>(len - pos, 10);
    for (std::size_t i = 0; i < near; ++i) {
        if (data[pos + i] == VARINT_ESCAPE) {
            pos += i + 1;
            return true;
        }
    }
    const void *end = near == len - pos
                          ? nullptr
                          : std::memchr(data + pos + near, VARINT_ESCAPE, len - pos - near);
    if (end == nullptr) [[unlikely]] {
        pos = len;
        return fail_unexpected_end();
    }
    pos = static_cast<std::size_t>(static_cast<const std::uint8_t *>(end) - data) + 1;
    return true;
}

/// Steps over a varint without evaluating it (magnitudes, back-reference indices).
///   [b]            b < 255
///   [FF d d .. FF] long form: up to the next FF
[[nodiscard]] inline bool skip_varint(const std::uint8_t *data, std::size_t len,
                                      std::size_t &pos) noexcept {
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    if (data[pos++] != VARINT_ESCAPE) [[likely]] {
        return true;
    }
    return skip_long_varint(data, len, pos);
}

/// Steps over one key of a string-keyed dict: a key back-reference (254, varint index)
/// adds no table entry; a literal key (key_varint length, bytes) records its position.
[[nodiscard]] bool skip_dict_key(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                 PositionPointerHolder &holder) {
    if (data[pos] == KEY_POINTER_MARKER) {
        ++pos;
        return skip_varint(data, len, pos);
    }
    if (!holder.insert_position(pos, true)) {
        return false;
    }
    std::uint64_t n = 0;
    return decode_key_varint(data, len, pos, n) && advance(pos, n);
}

/// Steps over a string body at its varint length, recording its position first, so the
/// table numbering matches a full decoder's even when the string is cut short.
[[nodiscard]] inline bool skip_string_body(const std::uint8_t *data, std::size_t len,
                                           std::size_t &pos, PositionPointerHolder &holder) {
    if (!holder.insert_position(pos, false)) {
        return false;
    }
    std::uint64_t n = 0;
    return decode_varint(data, len, pos, n) && advance(pos, n);
}

[[nodiscard]] bool fail_unexpected_flag() noexcept {
    PyErr_SetString(PyExc_TypeError, "Unexpected flag");
    return false;
}

/// Bytes taken by a value of fixed size, flag included, by its flag; 0 for the rest.
/// Lets the skip loops pass scalars without a call.
constexpr auto FIXED_SIZE = [] {
    std::array<std::uint8_t, 256> sizes{};
    for (int flag = 0; flag < 256; ++flag) {
        if (flag <= flag_byte(TypeFlag::EmptyDict) || flag >= flag_byte(TypeFlag::SmallIntBase)) {
            sizes[flag] = 1;
        }
    }
    sizes[flag_byte(TypeFlag::Float)] = 9;
    for (int width = 1; width <= 4; ++width) {
        sizes[flag_byte(TypeFlag::Pointer1) + width - 1] = static_cast<std::uint8_t>(1 + width);
    }
    return sizes;
}();

[[nodiscard]] constexpr bool holds_values(std::uint8_t flag) noexcept {
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::List:
    case TypeFlag::AnyKeyDict:
    case TypeFlag::Dict:
    case TypeFlag::StructuredList:
    case TypeFlag::Custom:
        return true;
    default:
        return false;
    }
}

/// Steps over one value inside a skip loop: scalars inline, the rest by `skip_object`.
[[nodiscard]] inline bool skip_value(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                     PositionPointerHolder &holder, LazyRecursionGuard &guard) {
    if (pos < len) [[likely]] {
        const std::uint8_t flag = data[pos];
        if (FIXED_SIZE[flag] != 0) [[likely]] {
            pos += FIXED_SIZE[flag]; // at most 9 past the end: no wrap
            return true;
        }
        // Strings and ints are the commonest values with a body: passed without a call.
        if (flag == flag_byte(TypeFlag::String) || flag == flag_byte(TypeFlag::AsciiString)) {
            ++pos;
            return skip_string_body(data, len, pos, holder);
        }
        if (flag == flag_byte(TypeFlag::PositiveInt) || flag == flag_byte(TypeFlag::NegativeInt)) {
            ++pos;
            return skip_varint(data, len, pos);
        }
        if (holds_values(flag) && !guard.enter()) {
            return false;
        }
    }
    return skip_object(data, len, pos, holder);
}

/// Steps over `n` values, a long run, telling the table how far it is now and then.
[[gnu::noinline]] bool skip_long_run(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                     PositionPointerHolder &holder, std::uint64_t n) {
    LazyRecursionGuard guard(" while skipping an encoded value");
    while (n > 0) {
        const std::uint64_t block = std::min(n, PASSED_EVERY);
        for (std::uint64_t k = 0; k < block; ++k) {
            if (!skip_value(data, len, pos, holder, guard)) {
                return false;
            }
        }
        n -= block;
        holder.passed(pos);
    }
    return true;
}

/// Steps over `n` items (key, value) of a string-keyed dict.
[[nodiscard]] inline bool skip_dict_items(const std::uint8_t *data, std::size_t len,
                                          std::size_t &pos, PositionPointerHolder &holder,
                                          LazyRecursionGuard &guard, std::uint64_t n) {
    for (std::uint64_t k = 0; k < n; ++k) {
        if (pos >= len) [[unlikely]] {
            return fail_unexpected_end();
        }
        if (!skip_dict_key(data, len, pos, holder) || !skip_value(data, len, pos, holder, guard)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool skip_objects(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                  PositionPointerHolder &holder, std::uint64_t n) {
    // Every value takes at least one byte, so a hostile count runs out of input quickly.
    if (n > PASSED_EVERY) [[unlikely]] {
        return skip_long_run(data, len, pos, holder, n);
    }
    LazyRecursionGuard guard(" while skipping an encoded value");
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!skip_value(data, len, pos, holder, guard)) {
            return false;
        }
    }
    return true;
}

bool skip_string(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                 PositionPointerHolder &holder) {
    return skip_string_body(data, len, pos, holder);
}

bool skip_consistent_type_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                               PositionPointerHolder &holder) {
    // [element type][varint count][packed elements]
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    const std::uint8_t element_type = data[pos++];
    std::uint64_t count = 0;
    if (!decode_varint(data, len, pos, count)) {
        return false;
    }
    switch (static_cast<TypeFlag>(element_type)) {
    case TypeFlag::None:
        return true;
    case TypeFlag::Float:
        if (count > std::numeric_limits<std::uint64_t>::max() / 8) [[unlikely]] {
            return fail_unexpected_end();
        }
        return advance(pos, count * 8);
    case TypeFlag::String:
        for (std::uint64_t k = 0; k < count; ++k) {
            if (!skip_string_body(data, len, pos, holder)) {
                return false;
            }
        }
        return true;
    case TypeFlag::Bytes:
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint64_t n = 0;
            if (!decode_varint(data, len, pos, n) || !advance(pos, n)) {
                return false;
            }
        }
        return true;
    case TypeFlag::Bool:
        return advance(pos, count / 8 + (count % 8 != 0));
    default:
        to_py_error(format_message("Unexpected type flag: {}", element_type), PyExc_TypeError);
        return false;
    }
}

bool skip_object(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                 PositionPointerHolder &holder) {
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    const std::uint8_t flag = data[pos];
    if (FIXED_SIZE[flag] != 0) [[likely]] {
        return advance(pos, FIXED_SIZE[flag]);
    }
    ++pos;
    std::uint64_t count = 0;
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::PositiveInt:
    case TypeFlag::NegativeInt:
    case TypeFlag::LargePointer:
        return skip_varint(data, len, pos);
    case TypeFlag::String:
    case TypeFlag::AsciiString:
        return skip_string_body(data, len, pos, holder);
    case TypeFlag::Bytes:
        return decode_varint(data, len, pos, count) && advance(pos, count);
    case TypeFlag::ConsistentTypeList:
        return skip_consistent_type_list(data, len, pos, holder);
    default:
        break;
    }

    // Containers: the skip loops below hold the recursion guard for nested ones.
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::List:
        return decode_varint(data, len, pos, count) && skip_objects(data, len, pos, holder, count);
    case TypeFlag::AnyKeyDict:
        if (!decode_varint(data, len, pos, count)) {
            return false;
        }
        for (std::uint64_t k = 0; k < count; ++k) {
            if (!skip_objects(data, len, pos, holder, 2)) {
                return false;
            }
        }
        return true;
    case TypeFlag::Dict: {
        LazyRecursionGuard guard(" while skipping an encoded value");
        if (!decode_varint(data, len, pos, count)) {
            return false;
        }
        for (; count > PASSED_EVERY; count -= PASSED_EVERY) {
            if (!skip_dict_items(data, len, pos, holder, guard, PASSED_EVERY)) {
                return false;
            }
            holder.passed(pos);
        }
        return skip_dict_items(data, len, pos, holder, guard, count);
    }
    case TypeFlag::StructuredList: {
        // [varint rows][varint keys], row 0 as `keys` (key, field) pairs, i.e. 2 x keys
        // values, then `keys` fields for each further row.
        std::uint64_t rows = 0;
        std::uint64_t keys = 0;
        if (!decode_varint(data, len, pos, rows) || !decode_varint(data, len, pos, keys) ||
            !skip_objects(data, len, pos, holder, keys) ||
            !skip_objects(data, len, pos, holder, keys)) {
            return false;
        }
        for (std::uint64_t row = 1; row < rows && keys > 0; ++row) {
            if (!skip_objects(data, len, pos, holder, keys)) {
                return false;
            }
            if (row % PASSED_EVERY == 0) {
                holder.passed(pos);
            }
        }
        return true;
    }
    case TypeFlag::Custom:
        return skip_objects(data, len, pos, holder, 2);
    default:
        // Bool is only an element type; 25 to 29 are unassigned.
        return fail_unexpected_flag();
    }
}
