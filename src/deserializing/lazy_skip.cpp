// The skipper and the lazy list loaders.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/primitives.hpp"
#include "deserializing/utils.hpp"
#include "utils/compiler.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

namespace {

/// Most items a run loop takes in one go: the main loop then tells the table how far the
/// skipper is (for its `PageReleaser`) at least every so many items.
constexpr std::uint64_t PASSED_EVERY = 4096;

/// Moves `pos` forward by `n` without a bounds test against the data; only a step that
/// would wrap the offset fails here, leaving `pos` at the largest offset: what the input
/// declared lies beyond any end (`skip_record` reports it).
[[nodiscard]] inline bool advance(std::size_t &pos, std::uint64_t n) noexcept {
    if (n > std::numeric_limits<std::size_t>::max() - pos) [[unlikely]] {
        pos = std::numeric_limits<std::size_t>::max();
        return fail_unexpected_end();
    }
    pos += static_cast<std::size_t>(n);
    return true;
}

/// The long form of a varint, `pos` just past its FF: up to the next FF. Most are a few
/// digits (every int64 takes at most eight), looked at in place; memchr takes longer runs.
VEZUVIR_NOINLINE bool skip_long_varint(const std::uint8_t *data, std::size_t len,
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

/// Bytes taken by the items of a list of at most 8 items, all floats, whose first item
/// is at `p`; 0 for any other list.
///   [09 f f f f f f f f] x n
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::size_t short_float_list(const std::uint8_t *data,
                                                                 std::size_t len, std::size_t p,
                                                                 std::uint64_t n) noexcept {
    if (n == 0 || n > 8 || len - p < 9 * n) {
        return 0;
    }
    for (std::uint64_t k = 0; k < n; ++k) {
        if (data[p + 9 * k] != flag_byte(TypeFlag::Float)) {
            return 0;
        }
    }
    return static_cast<std::size_t>(9 * n);
}

/// Whether a value of this flag is the flag alone: small ints, booleans, None, empties.
[[nodiscard]] constexpr bool is_one_byte(std::uint8_t flag) noexcept {
    return flag >= flag_byte(TypeFlag::SmallIntBase) || flag <= flag_byte(TypeFlag::EmptyDict);
}

/// Whether the flag opens an int with a varint magnitude.
[[nodiscard]] constexpr bool is_int(std::uint8_t flag) noexcept {
    return flag == flag_byte(TypeFlag::PositiveInt) || flag == flag_byte(TypeFlag::NegativeInt);
}

/// Bytes taken by an int, flag included, when its magnitude has at most eight long-form
/// digits (every int64 has) and 16 bytes remain from `at`; 0 otherwise.
///   [7|8][b]                 b < 255
///   [7|8][FF][d x k][FF]     k <= 8: the first FF of the eight bytes after the escape,
///                            or the byte after them
[[nodiscard]] inline std::size_t int_size(const std::uint8_t *at) noexcept {
    if (at[1] != VARINT_ESCAPE) {
        return 2;
    }
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t word = 0;
        std::memcpy(&word, at + 2, 8);
        // Bytes equal to FF become zero bytes; the lowest set flag marks the first.
        const std::uint64_t inverted = ~word;
        const std::uint64_t zeros =
            (inverted - 0x0101010101010101ULL) & ~inverted & 0x8080808080808080ULL;
        // Sizes by branches, not by arithmetic on the bytes: in a run of ints of one size
        // the branches are predicted and the next position does not wait for this one.
        if ((zeros & 0x80) != 0) {
            return 3;
        }
        if ((zeros & 0x8000) != 0) {
            return 4;
        }
        if ((zeros & 0x800000) != 0) {
            return 5;
        }
        if (zeros != 0) {
            return 3 + static_cast<std::size_t>(std::countr_zero(zeros) / 8);
        }
        return at[10] == VARINT_ESCAPE ? 11 : 0;
    } else {
        return 0;
    }
}

/// `decode_varint` with its one-byte form read in place: most counts and lengths are
/// below 255.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool read_varint(const std::uint8_t *data, std::size_t len,
                                                     std::size_t &pos,
                                                     std::uint64_t &out) noexcept {
    if (pos < len && data[pos] != VARINT_ESCAPE) [[likely]] {
        out = data[pos++];
        return true;
    }
    return decode_varint(data, len, pos, out);
}

/// Steps over the leading entries of a string-keyed dict (position at its first key)
/// that are a key back-reference below 255 and a value of a few fixed bytes, the bulk of
/// record-like dicts, without the general loop; takes them off `left` and returns the
/// position after them. The rest, from the first other entry on, is left to that loop.
///   [FE i][v]            i < 255; v a one-byte value, Pointer1 + index, or Float + 8 bytes
[[nodiscard]] VEZUVIR_ALWAYS_INLINE std::size_t skip_flat_entries(const std::uint8_t *data,
                                                                  std::size_t len, std::size_t p,
                                                                  std::uint64_t &left) noexcept {
    // A bounded number at a time, so that the caller reports its position often enough.
    std::uint64_t room = std::min(left, PASSED_EVERY);
    const std::uint64_t taken_from = room;
    while (room != 0 && p < len && len - p >= 12 && data[p] == KEY_POINTER_MARKER &&
           data[p + 1] != VARINT_ESCAPE) {
        const std::uint8_t flag = data[p + 2];
        if (flag == flag_byte(TypeFlag::Pointer1)) {
            p += 4;
        } else if (is_one_byte(flag)) {
            p += 3;
        } else if (flag == flag_byte(TypeFlag::Float)) {
            p += 11;
        } else {
            break;
        }
        --room;
    }
    left -= taken_from - room;
    return p;
}

/// Steps over one key of a string-keyed dict: a key back-reference (254, varint index)
/// adds no table entry; a literal key (key_varint length, bytes) records its position.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool skip_dict_key(const std::uint8_t *data, std::size_t len,
                                                       std::size_t &pos,
                                                       PositionPointerHolder &holder) {
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    if (data[pos] == KEY_POINTER_MARKER) {
        ++pos;
        return skip_varint(data, len, pos);
    }
    if (!holder.insert_position(pos, true)) {
        return false;
    }
    if (data[pos] < KEY_POINTER_MARKER) [[likely]] {
        // A key_varint length below 254 is its own byte.
        return advance(pos, std::uint64_t{data[pos]} + 1);
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
    return read_varint(data, len, pos, n) && advance(pos, n);
}

[[nodiscard]] bool fail_unexpected_flag() noexcept {
    PyErr_SetString(PyExc_TypeError, "Unexpected flag");
    return false;
}

/// `a * b + c`, or the largest value where that overflows: a count that large cannot be
/// met by the input, which runs out first.
[[nodiscard]] std::uint64_t saturating_mul_add(std::uint64_t a, std::uint64_t b,
                                               std::uint64_t c) noexcept {
    std::uint64_t product = 0;
    std::uint64_t sum = 0;
    if (compiler::mul_overflows(a, b, product) || compiler::add_overflows(product, c, sum)) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return sum;
}

/// What remains of one container being stepped over: `left` values, each preceded by a
/// dict key when `keyed`.
struct SkipFrame {
    std::uint64_t left;
    bool keyed;
};

/// The containers open around the current one. Nesting goes on this stack rather than
/// the native one; the first levels cost neither an allocation nor the interpreter's
/// recursion counter, and each deeper one counts one level against the interpreter's
/// limit, so that what a full decode refuses as too deep is refused here too.
class SkipStack {
  public:
    SkipStack() noexcept = default;
    SkipStack(const SkipStack &) = delete;
    SkipStack &operator=(const SkipStack &) = delete;
    ~SkipStack() {
        for (std::size_t i = INLINE; i < size_; ++i) {
            Py_LeaveRecursiveCall();
        }
    }

    [[nodiscard]] bool empty() const noexcept { return size_ == 0; }

    /// Saves `frame`; false with RecursionError set at the limit. May throw
    /// std::bad_alloc.
    [[nodiscard]] bool push(SkipFrame frame) {
        if (size_ < INLINE) [[likely]] {
            inline_[size_++] = frame;
            return true;
        }
        if (!enter_nesting(" while skipping an encoded value")) {
            return false;
        }
        try {
            heap_.push_back(frame);
        } catch (...) {
            Py_LeaveRecursiveCall();
            throw;
        }
        ++size_;
        return true;
    }

    /// Whether a push would take no recursion guard.
    [[nodiscard]] bool shallow() const noexcept { return size_ < INLINE; }

    [[nodiscard]] SkipFrame pop() noexcept {
        --size_;
        if (size_ < INLINE) [[likely]] {
            return inline_[size_];
        }
        Py_LeaveRecursiveCall();
        const SkipFrame frame = heap_.back();
        heap_.pop_back();
        return frame;
    }

  private:
    /// Deeper than most documents nest (2 KiB of native stack).
    static constexpr std::size_t INLINE = 128;
    /// Left uninitialised: only the first `size_` frames are read.
    std::array<SkipFrame, INLINE> inline_;
    std::vector<SkipFrame> heap_;
    std::size_t size_ = 0;
};

} // namespace

bool skip_objects(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                  PositionPointerHolder &holder, std::uint64_t n) {
    // One loop over every value, nested ones included: a container saves what is left of
    // the current one and makes its own values current. Scalars are told apart by a
    // chain of predicted tests rather than a table look-up, whose result the next
    // position would have to wait for. Every value takes at least one byte, so a hostile
    // count runs out of input quickly.
    SkipStack stack;
    SkipFrame current{n, false};
    std::size_t p = pos;
    const auto fail = [&] {
        pos = p;
        return false;
    };
    for (;;) {
        if (current.left == 0) [[unlikely]] {
            if (stack.empty()) {
                break;
            }
            current = stack.pop();
            continue;
        }
        --current.left;
        holder.passed(p);
        if (current.keyed && !skip_dict_key(data, len, p, holder)) {
            return fail();
        }
        if (p >= len) [[unlikely]] {
            // Left where the lengths stepped over so far lead: past the end when the input
            // declared more than it holds.
            pos = p;
            return fail_unexpected_end();
        }
        const std::uint8_t flag = data[p];
        // Fixed sizes step at most 9 past the end: no wrap, and the next read fails. The
        // items of a list usually come in runs of one kind, whose rest is stepped over in
        // a loop of its own; the position moves by a constant there, so each step waits
        // for no byte to arrive.
        // At most PASSED_EVERY items per run (none in a dict).
        std::uint64_t run = current.keyed ? 0 : std::min(current.left, PASSED_EVERY);
        const std::uint64_t run_length = run;
        // Steps over this value and the rest of its run: values of `size` bytes whose flag
        // passes `same`.
        const auto skip_run = [&](std::size_t size, auto same) VEZUVIR_LAMBDA_INLINE {
            p += size;
            while (run != 0 && p < len && same(data[p])) {
                p += size;
                --run;
            }
            current.left -= run_length - run;
        };
        if (flag == flag_byte(TypeFlag::Float)) {
            skip_run(9, [](std::uint8_t f) { return f == flag_byte(TypeFlag::Float); });
            continue;
        }
        if (is_one_byte(flag)) {
            skip_run(1, [](std::uint8_t f) { return is_one_byte(f); });
            continue;
        }
        if (flag == flag_byte(TypeFlag::Pointer1)) {
            skip_run(2, [](std::uint8_t f) { return f == flag_byte(TypeFlag::Pointer1); });
            continue;
        }
        if (flag == flag_byte(TypeFlag::String) || flag == flag_byte(TypeFlag::AsciiString)) {
            ++p;
            if (!skip_string_body(data, len, p, holder)) {
                return fail();
            }
            continue;
        }
        if (is_int(flag)) {
            if (len - p >= 16) [[likely]] {
                if (const std::size_t size = int_size(data + p)) [[likely]] {
                    p += size;
                    while (run != 0 && p < len && len - p >= 16 && is_int(data[p])) {
                        const std::size_t next_size = int_size(data + p);
                        if (next_size == 0) {
                            break;
                        }
                        p += next_size;
                        --run;
                    }
                    current.left -= run_length - run;
                    continue;
                }
            }
            ++p;
            if (!skip_varint(data, len, p)) {
                return fail();
            }
            continue;
        }
        ++p;
        std::uint64_t count = 0;
        SkipFrame next{0, false};
        switch (static_cast<TypeFlag>(flag)) {
        case TypeFlag::Pointer2:
        case TypeFlag::Pointer3:
        case TypeFlag::Pointer4:
            p += flag - flag_byte(TypeFlag::Pointer1) + 1;
            continue;
        case TypeFlag::LargePointer:
            if (!skip_varint(data, len, p)) {
                return fail();
            }
            continue;
        case TypeFlag::Bytes:
            if (!decode_varint(data, len, p, count) || !advance(p, count)) {
                return fail();
            }
            continue;
        case TypeFlag::ConsistentTypeList:
            if (!skip_consistent_type_list(data, len, p, holder)) {
                return fail();
            }
            continue;
        case TypeFlag::List:
            if (!read_varint(data, len, p, next.left)) {
                return fail();
            }
            if (const std::size_t floats =
                    stack.shallow() ? short_float_list(data, len, p, next.left) : 0) {
                // Coordinates, vectors: stepped over whole, with no frame to open.
                p += floats;
                continue;
            }
            break;
        case TypeFlag::AnyKeyDict:
            if (!read_varint(data, len, p, count)) {
                return fail();
            }
            next.left = saturating_mul_add(count, 2, 0);
            break;
        case TypeFlag::Dict:
            if (!read_varint(data, len, p, next.left)) {
                return fail();
            }
            p = skip_flat_entries(data, len, p, next.left);
            next.keyed = true;
            break;
        case TypeFlag::StructuredList: {
            // [varint rows][varint keys], row 0 as `keys` (key, field) pairs, then `keys`
            // fields for each further row; row 0 is there even when rows is 0.
            std::uint64_t rows = 0;
            if (!decode_varint(data, len, p, rows) || !decode_varint(data, len, p, count)) {
                return fail();
            }
            next.left =
                saturating_mul_add(count, rows > 1 ? rows - 1 : 0, saturating_mul_add(count, 2, 0));
            break;
        }
        case TypeFlag::Custom:
            next.left = 2;
            break;
        default:
            // Bool is only an element type; 25 to 29 are unassigned.
            pos = p - 1;
            return fail_unexpected_flag();
        }
        if (next.left != 0) {
            if (!stack.push(current)) {
                return fail();
            }
            current = next;
        }
    }
    pos = p;
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
            pos = std::numeric_limits<std::size_t>::max();
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
    return skip_objects(data, len, pos, holder, 1);
}
