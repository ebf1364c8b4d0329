// Listing the back-references of encoded values without building them: what a caller
// that decodes a located target itself must be given of the table before it.
#include <algorithm>
#include <limits>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "utils/compiler.hpp"
#include "utils/type_flag.hpp"

namespace {

/// A cursor over the input that fails softly: any read past the end, or a length that
/// would wrap the offset, makes `ok()` false for good. No Python error is ever set.
class Cursor {
  public:
    Cursor(const std::uint8_t *data, std::size_t len, std::size_t pos) noexcept
        : data_(data), len_(len), pos_(pos) {}

    [[nodiscard]] bool ok() const noexcept { return ok_; }

    /// The next byte, not consumed; 0 at the end (the next `byte()` fails).
    [[nodiscard]] std::uint8_t peek() const noexcept { return pos_ < len_ ? data_[pos_] : 0; }

    [[nodiscard]] std::uint8_t byte() noexcept {
        if (pos_ >= len_) {
            ok_ = false;
            return 0;
        }
        return data_[pos_++];
    }

    void advance(std::uint64_t n) noexcept {
        if (n > len_ - std::min(pos_, len_)) {
            ok_ = false;
            pos_ = len_;
            return;
        }
        pos_ += static_cast<std::size_t>(n);
    }

    /// A varint of base 255 (254 for the length of a literal dict key):
    ///   [b]                  b < base
    ///   [FF d0 d1 .. FF]     base + d0 + d1 * base + ..., wrapping at 2**64 as the
    ///                        decoders' 64-bit reads do
    [[nodiscard]] std::uint64_t varint(std::uint64_t base = 255) noexcept {
        const std::uint8_t first = byte();
        if (first != VARINT_ESCAPE || !ok_) {
            return first;
        }
        std::uint64_t value = base;
        std::uint64_t weight = 1;
        for (;;) {
            const std::uint8_t digit = byte();
            if (!ok_ || digit == VARINT_ESCAPE) {
                return value;
            }
            value += digit * weight;
            weight *= base;
        }
    }

    /// Steps over a varint without reading its value (an int's magnitude of any size).
    void skip_varint() noexcept {
        if (byte() != VARINT_ESCAPE) {
            return;
        }
        while (ok_ && byte() != VARINT_ESCAPE) {
        }
    }

  private:
    const std::uint8_t *data_;
    std::size_t len_;
    std::size_t pos_;
    bool ok_ = true;
};

[[nodiscard]] std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t sum = 0;
    return compiler::add_overflows(a, b, sum) ? std::numeric_limits<std::uint64_t>::max() : sum;
}

[[nodiscard]] std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) noexcept {
    std::uint64_t product = 0;
    return compiler::mul_overflows(a, b, product) ? std::numeric_limits<std::uint64_t>::max()
                                                  : product;
}

/// What remains of one open container: `left` values, each after a dict key if `keyed`.
struct Frame {
    std::uint64_t left;
    bool keyed;
};

} // namespace

bool collect_references(const std::uint8_t *data, std::size_t len, std::size_t pos, std::uint64_t n,
                        std::uint64_t below, std::vector<std::uint64_t> &out) {
    Cursor in(data, len, pos);
    const auto note = [&](std::uint64_t index) {
        if (index < below) {
            out.push_back(index);
        }
    };
    // Nesting on a stack of our own: a container takes at least one byte, so the stack
    // never holds more frames than the input has bytes.
    std::vector<Frame> stack;
    Frame current{n, false};
    while (in.ok()) {
        if (current.left == 0) {
            if (stack.empty()) {
                return true;
            }
            current = stack.back();
            stack.pop_back();
            continue;
        }
        --current.left;
        if (current.keyed) {
            // [FE][varint index], or [key_varint length][bytes]
            if (in.peek() == KEY_POINTER_MARKER) {
                (void)in.byte();
                note(in.varint());
            } else {
                in.advance(in.varint(254));
            }
        }
        const std::uint8_t flag = in.byte();
        if (flag >= flag_byte(TypeFlag::SmallIntBase) || flag <= flag_byte(TypeFlag::EmptyDict)) {
            continue;
        }
        Frame next{0, false};
        switch (static_cast<TypeFlag>(flag)) {
        case TypeFlag::PositiveInt:
        case TypeFlag::NegativeInt:
            in.skip_varint();
            continue;
        case TypeFlag::Float:
            in.advance(8);
            continue;
        case TypeFlag::String:
        case TypeFlag::AsciiString:
        case TypeFlag::Bytes:
            in.advance(in.varint());
            continue;
        case TypeFlag::Pointer1:
        case TypeFlag::Pointer2:
        case TypeFlag::Pointer3:
        case TypeFlag::Pointer4: {
            // [index: 1 to 4 bytes, most significant first]
            std::uint64_t index = 0;
            for (int k = 0; k <= flag - flag_byte(TypeFlag::Pointer1); ++k) {
                index = (index << 8) | in.byte();
            }
            note(index);
            continue;
        }
        case TypeFlag::LargePointer:
            note(in.varint());
            continue;
        case TypeFlag::ConsistentTypeList: {
            // [element type][varint count][packed elements]: no back-references
            const std::uint8_t element_type = in.byte();
            const std::uint64_t count = in.varint();
            switch (static_cast<TypeFlag>(element_type)) {
            case TypeFlag::None:
                break;
            case TypeFlag::Float:
                in.advance(saturating_mul(count, 8));
                break;
            case TypeFlag::String:
            case TypeFlag::Bytes:
                for (std::uint64_t k = 0; k < count && in.ok(); ++k) {
                    in.advance(in.varint());
                }
                break;
            case TypeFlag::Bool:
                in.advance(count / 8 + (count % 8 != 0));
                break;
            default:
                return false;
            }
            continue;
        }
        case TypeFlag::List:
            next.left = in.varint();
            break;
        case TypeFlag::AnyKeyDict:
            next.left = saturating_mul(in.varint(), 2);
            break;
        case TypeFlag::Dict:
            next.left = in.varint();
            next.keyed = true;
            break;
        case TypeFlag::StructuredList: {
            // [varint rows][varint keys], row 0 as (key, field) pairs, then the fields
            // of each further row; row 0 is there even when rows is 0
            const std::uint64_t rows = in.varint();
            const std::uint64_t keys = in.varint();
            next.left = saturating_add(saturating_mul(keys, 2),
                                       saturating_mul(keys, rows > 1 ? rows - 1 : 0));
            break;
        }
        case TypeFlag::Custom:
            next.left = 2;
            break;
        default:
            return false;
        }
        if (next.left != 0) {
            stack.push_back(current);
            current = next;
        }
    }
    return false;
}
