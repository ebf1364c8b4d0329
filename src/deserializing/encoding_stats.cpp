// `encoding_stats`: what the encodings in a buffer hold and what their compact forms saved.
//
// A skipper of its own: it steps over every value without building any, keeping only the
// back-reference table as lengths (8 bytes a string, dropped after each record) and an
// explicit stack of open containers, so that neither memory nor native stack depends on
// anything but the largest record and its string count. Savings are counted against
// the plain form the same value would otherwise take: a string written in full at that
// spot, a list of dicts with their keys repeated, a list of single-byte items.
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "deserializing/primitives.hpp"
#include "deserializing/records.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

namespace {

/// One counter summed over the records of one call, exact for any input: signed, since a
/// back-reference may cost more than the string it names, and 128 bits wide (two's
/// complement in two words), since a few bytes may declare 2**64 - 1 items and a log may
/// hold many such records. Each step carries between the words by hand, as no 64-bit
/// operation here can overflow unseen, on every compiler.
class WideCount {
  public:
    WideCount &operator++() noexcept { return add(1); }

    WideCount &add(std::uint64_t value) noexcept {
        low_ += value;
        high_ += low_ < value ? 1 : 0;
        return *this;
    }

    WideCount &subtract(std::uint64_t value) noexcept {
        high_ -= low_ < value ? 1 : 0;
        low_ -= value;
        return *this;
    }

    /// Adds `a * b`, the full 128-bit product.
    WideCount &add_product(std::uint64_t a, std::uint64_t b) noexcept {
        constexpr std::uint64_t HALF = 0xFFFFFFFFULL;
        const std::uint64_t a0 = a & HALF;
        const std::uint64_t a1 = a >> 32;
        const std::uint64_t b0 = b & HALF;
        const std::uint64_t b1 = b >> 32;
        const std::uint64_t low_low = a0 * b0;
        const std::uint64_t cross1 = a1 * b0;
        const std::uint64_t cross2 = a0 * b1;
        // Three terms below 2**32 each: the sum cannot carry out of the word.
        const std::uint64_t middle = (low_low >> 32) + (cross1 & HALF) + (cross2 & HALF);
        const std::uint64_t product_low = (middle << 32) | (low_low & HALF);
        const std::uint64_t product_high =
            a1 * b1 + (cross1 >> 32) + (cross2 >> 32) + (middle >> 32);
        add(product_low);
        high_ += product_high;
        return *this;
    }

    /// The value as an int; null with an exception set on failure.
    [[nodiscard]] PyPointer to_int() const noexcept;

  private:
    std::uint64_t low_ = 0;
    /// The high word of the two's complement: all ones for a small negative value.
    std::uint64_t high_ = 0;
};

PyPointer WideCount::to_int() const noexcept {
    if (high_ == 0) {
        return new_object(PyLong_FromUnsignedLongLong(low_));
    }
    if (high_ == ~std::uint64_t{0} && low_ >= (std::uint64_t{1} << 63)) {
        // A negative value that fits 64 bits: C++20 converts two's complement as is.
        return new_object(PyLong_FromLongLong(static_cast<long long>(low_)));
    }
    // Only hostile input gets here: (high << 64) + low through the interpreter.
    PyPointer high = new_object(PyLong_FromLongLong(static_cast<long long>(high_)));
    PyPointer shift = new_object(PyLong_FromLong(64));
    PyPointer low = new_object(PyLong_FromUnsignedLongLong(low_));
    if (!high || !shift || !low) {
        return {};
    }
    PyPointer shifted = new_object(PyNumber_Lshift(high.get(), shift.get()));
    return shifted ? new_object(PyNumber_Add(shifted.get(), low.get())) : PyPointer{};
}

/// Counters summed over the records of one call.
struct Counts {
    WideCount strings_in_full;
    WideCount string_bytes;
    WideCount back_references;
    WideCount saved_by_back_references;
    WideCount dicts;
    WideCount lists;
    WideCount structured_lists;
    WideCount structured_rows;
    WideCount saved_by_structured_lists;
    WideCount packed_lists;
    WideCount packed_items;
    WideCount saved_by_packed_lists;
    WideCount custom_values;
};

/// Bytes the varint of `value` takes in base `Base` (255, or 254 for key lengths).
template <std::uint64_t Base = 255>
[[nodiscard]] constexpr std::uint64_t varint_size(std::uint64_t value) {
    if (value < Base) {
        return 1;
    }
    std::uint64_t digits = 0;
    for (std::uint64_t rest = value - Base; rest != 0; rest /= Base) {
        ++digits;
    }
    return digits + 2;
}

/// What an open container still has to step over.
struct Frame {
    enum Kind : std::uint8_t { Sequence, Dict, Structured };
    Kind kind;
    /// Values (and, in a dict, keys) still to come.
    std::uint64_t items;
    /// Structured lists: items of row 0 (key, field, key, field, ...) still to come.
    std::uint64_t row0_items = 0;
    std::uint64_t rows = 0;
};

/// Whether `n` bytes are all ASCII, eight at a time.
[[nodiscard]] bool all_ascii(const std::uint8_t *bytes, std::size_t n) noexcept {
    std::uint64_t seen = 0;
    std::size_t k = 0;
    for (; k + 8 <= n; k += 8) {
        std::uint64_t word = 0;
        std::memcpy(&word, bytes + k, 8);
        seen |= word;
    }
    for (; k < n; ++k) {
        seen |= bytes[k];
    }
    return (seen & 0x8080808080808080ULL) == 0;
}

class StatsWalker {
  public:
    StatsWalker(const std::uint8_t *data, std::size_t len, PageReleaser &pages) noexcept
        : data_(data), len_(len), pages_(pages) {}

    /// Steps over the encoding that starts at `pos` (its marker included), leaving `pos`
    /// just past it.
    [[nodiscard]] bool record(std::size_t &pos) {
        table_.clear();
        stack_.clear();
        pos_ = pos + STARTING_MARKER.size();
        if (!value()) {
            return false;
        }
        while (!stack_.empty()) {
            pages_.passed(pos_);
            Frame &frame = stack_.back();
            if (frame.items == 0) {
                stack_.pop_back();
                continue;
            }
            --frame.items;
            bool ok = true;
            switch (frame.kind) {
            case Frame::Sequence:
                ok = value();
                break;
            case Frame::Dict:
                // Items alternate key, value; an odd count left means a value comes next.
                ok = frame.items % 2 == 1 ? key() : value();
                break;
            case Frame::Structured:
                ok = structured_item(frame);
                break;
            }
            if (!ok) {
                return false;
            }
        }
        pos = pos_;
        return true;
    }

    [[nodiscard]] const Counts &counts() const noexcept { return counts_; }

  private:
    /// Steps over `n` bytes.
    [[nodiscard]] bool take(std::uint64_t n) noexcept {
        if (n > len_ - pos_) [[unlikely]] {
            return fail_unexpected_end();
        }
        pos_ += static_cast<std::size_t>(n);
        return true;
    }

    /// Steps over a string's length and bytes, entering its length in the table (the
    /// text itself is never needed again).
    template <StrForm Form> [[nodiscard]] bool string_in_full() {
        std::size_t start = 0;
        std::size_t n = 0;
        if (!read_string_body<Form>(data_, len_, pos_, start, n)) {
            return false;
        }
        table_.push_back((static_cast<std::uint64_t>(n) << 1) |
                         (all_ascii(data_ + start, n) ? 1 : 0));
        ++counts_.strings_in_full;
        counts_.string_bytes.add(n);
        return true;
    }

    /// The text length of table entry `index` and whether it is all ASCII; false with
    /// "Corrupted data" when there is no such entry.
    [[nodiscard]] bool entry(std::uint64_t index, std::size_t &n, bool &ascii) noexcept {
        if (index >= table_.size()) [[unlikely]] {
            return fail_deserialization("Corrupted data");
        }
        n = static_cast<std::size_t>(table_[index] >> 1);
        ascii = (table_[index] & 1) != 0;
        return true;
    }

    /// A back-reference to entry `index` that took `size` bytes where the string in full
    /// would have taken flag, length and text.
    [[nodiscard]] bool value_back_reference(std::uint64_t index, std::size_t size) noexcept {
        std::size_t n = 0;
        bool ascii = false;
        if (!entry(index, n, ascii)) {
            return false;
        }
        ++counts_.back_references;
        // A string's length is below 2**63: its form in full fits 64 bits.
        counts_.saved_by_back_references.add(1 + varint_size(n) + n).subtract(size);
        return true;
    }

    /// Reads a fixed-width big-endian back-reference index of `width` bytes.
    [[nodiscard]] bool fixed_index(std::size_t width, std::uint64_t &index) noexcept {
        if (width > len_ - pos_) [[unlikely]] {
            return fail_unexpected_end();
        }
        index = 0;
        for (std::size_t k = 0; k < width; ++k) {
            index = (index << 8) | data_[pos_ + k];
        }
        pos_ += width;
        return true;
    }

    /// Opens a container of `items` values, each of which takes at least one byte.
    [[nodiscard]] bool push(Frame frame) {
        if (frame.items > len_ - pos_) [[unlikely]] {
            return fail_unexpected_end();
        }
        if (frame.items != 0) {
            stack_.push_back(frame);
        }
        return true;
    }

    /// Steps over one value. `string_index` is set to the table index of a string value
    /// (in full or back-referenced), and left alone for any other value.
    [[nodiscard]] bool value(std::uint64_t *string_index = nullptr) {
        if (pos_ >= len_) [[unlikely]] {
            return fail_unexpected_end();
        }
        const std::size_t begin = pos_;
        const std::uint8_t flag = data_[pos_++];
        if (flag >= flag_byte(TypeFlag::SmallIntBase) || flag <= flag_byte(TypeFlag::EmptyDict)) {
            return true;
        }
        std::uint64_t count = 0;
        std::uint64_t index = 0;
        switch (static_cast<TypeFlag>(flag)) {
        case TypeFlag::String:
        case TypeFlag::AsciiString:
            if (string_index != nullptr) {
                *string_index = table_.size();
            }
            return string_in_full<StrForm::PlainValue>();
        case TypeFlag::Pointer1:
        case TypeFlag::Pointer2:
        case TypeFlag::Pointer3:
        case TypeFlag::Pointer4:
        case TypeFlag::LargePointer:
            if (flag == flag_byte(TypeFlag::LargePointer)
                    ? !decode_varint(data_, len_, pos_, index)
                    : !fixed_index(flag - flag_byte(TypeFlag::Pointer1) + 1, index)) {
                return false;
            }
            if (string_index != nullptr) {
                *string_index = index;
            }
            return value_back_reference(index, pos_ - begin);
        case TypeFlag::PositiveInt:
        case TypeFlag::NegativeInt:
            return decode_varint(data_, len_, pos_, count);
        case TypeFlag::Float:
            return take(8);
        case TypeFlag::Bytes:
            return decode_varint(data_, len_, pos_, count) && take(count);
        case TypeFlag::List:
            ++counts_.lists;
            return decode_varint(data_, len_, pos_, count) && push({Frame::Sequence, count});
        case TypeFlag::AnyKeyDict:
        case TypeFlag::Dict:
            ++counts_.dicts;
            if (!decode_varint(data_, len_, pos_, count)) {
                return false;
            }
            if (count > std::numeric_limits<std::uint64_t>::max() / 2) [[unlikely]] {
                return fail_unexpected_end();
            }
            return push(
                {flag == flag_byte(TypeFlag::Dict) ? Frame::Dict : Frame::Sequence, 2 * count});
        case TypeFlag::ConsistentTypeList:
            return packed_list();
        case TypeFlag::StructuredList:
            return structured_list();
        case TypeFlag::Custom:
            ++counts_.custom_values;
            return push({Frame::Sequence, 2});
        default:
            // Bool is only an element type; 25 to 29 are unassigned.
            return fail_deserialization("Unexpected flag");
        }
    }

    /// Steps over one key of a string-keyed dict.
    [[nodiscard]] bool key() {
        if (pos_ >= len_) [[unlikely]] {
            return fail_unexpected_end();
        }
        if (data_[pos_] != KEY_POINTER_MARKER) {
            return string_in_full<StrForm::MarkerKey>();
        }
        const std::size_t begin = pos_++;
        std::uint64_t index = 0;
        std::size_t n = 0;
        bool ascii = false;
        if (!decode_varint(data_, len_, pos_, index) || !entry(index, n, ascii)) {
            return false;
        }
        ++counts_.back_references;
        // Written in full, the key would take its key_varint length and, when it is all
        // ASCII, the marker byte besides its text.
        const std::uint64_t literal = std::uint64_t{n} + (ascii ? 1 : 0);
        counts_.saved_by_back_references.add(varint_size<254>(literal) + literal)
            .subtract(pos_ - begin);
        return true;
    }

    /// [element type][varint count][packed elements]
    [[nodiscard]] bool packed_list() {
        if (pos_ >= len_) [[unlikely]] {
            return fail_unexpected_end();
        }
        const std::uint8_t element_type = data_[pos_++];
        std::uint64_t count = 0;
        if (!decode_varint(data_, len_, pos_, count)) {
            return false;
        }
        ++counts_.lists;
        ++counts_.packed_lists;
        counts_.packed_items.add(count);
        // A plain list would take one byte an item (nine a float) after the same header;
        // the packed one takes the element type byte and its packed elements.
        switch (static_cast<TypeFlag>(element_type)) {
        case TypeFlag::None:
            counts_.saved_by_packed_lists.add(count).subtract(1);
            return true;
        case TypeFlag::Bool: {
            const std::uint64_t packed = count / 8 + (count % 8 != 0);
            counts_.saved_by_packed_lists.add(count).subtract(1).subtract(packed);
            return take(packed);
        }
        case TypeFlag::Float:
            if (count > (len_ - pos_) / 8) [[unlikely]] {
                return fail_unexpected_end();
            }
            counts_.saved_by_packed_lists.add(count).subtract(1);
            return take(count * 8);
        case TypeFlag::String:
            for (std::uint64_t k = 0; k < count; ++k) {
                if (!string_in_full<StrForm::MarkerValue>()) {
                    return false;
                }
            }
            return true;
        case TypeFlag::Bytes:
            for (std::uint64_t k = 0; k < count; ++k) {
                std::uint64_t n = 0;
                if (!decode_varint(data_, len_, pos_, n) || !take(n)) {
                    return false;
                }
            }
            return true;
        default:
            return fail_deserialization(format_message("Unexpected type flag: {}", element_type));
        }
    }

    /// [varint rows R][varint keys K], row 0 as K (key, field) pairs, then K fields for each
    /// further row. Row 0's pairs are there even when R is 0, as the decoders read them.
    [[nodiscard]] bool structured_list() {
        std::uint64_t rows = 0;
        std::uint64_t keys = 0;
        if (!decode_varint(data_, len_, pos_, rows) || !decode_varint(data_, len_, pos_, keys)) {
            return false;
        }
        ++counts_.lists;
        ++counts_.structured_lists;
        counts_.structured_rows.add(rows);
        counts_.dicts.add(rows);
        // Beside the repeated keys (counted per key): each row as a dict would open with a
        // flag and the key count, where the structured form writes the key count once.
        if (keys != 0) {
            counts_.saved_by_structured_lists.add_product(rows, 1 + varint_size(keys))
                .subtract(varint_size(keys));
        } else if (rows != 0) {
            counts_.saved_by_structured_lists.add(rows).subtract(1);
        }
        const std::uint64_t left = len_ - pos_;
        const std::uint64_t further_rows = rows > 1 ? rows - 1 : 0;
        if (keys > left / 2 || (keys != 0 && further_rows > left / keys)) [[unlikely]] {
            return fail_unexpected_end();
        }
        return push({Frame::Structured, 2 * keys + further_rows * keys, 2 * keys, rows});
    }

    /// One item of a structured list: a key or field of row 0, or a field of a later row.
    [[nodiscard]] bool structured_item(Frame &frame) {
        if (frame.row0_items == 0) {
            return value();
        }
        --frame.row0_items;
        if (frame.row0_items % 2 == 0) {
            return value();
        }
        // Every further row would repeat this key; as a dict key that is a key
        // back-reference to the string, or the same bytes again for any other key.
        const std::size_t begin = pos_;
        std::uint64_t index = std::numeric_limits<std::uint64_t>::max();
        const std::uint64_t rows = frame.rows;
        if (!value(&index)) {
            return false;
        }
        const std::uint64_t key_size = index != std::numeric_limits<std::uint64_t>::max()
                                           ? 1 + varint_size(index)
                                           : std::uint64_t{pos_ - begin};
        if (rows > 1) {
            counts_.saved_by_structured_lists.add_product(rows - 1, key_size);
        }
        return true;
    }

    const std::uint8_t *data_;
    std::size_t len_;
    std::size_t pos_ = 0;
    PageReleaser &pages_;
    std::vector<std::uint64_t> table_;
    std::vector<Frame> stack_;
    Counts counts_;
};

/// The result's keys, in order, made once per interpreter and kept: names made afresh for
/// each call (as PyDict_SetItemString makes them) would be interned and dropped again every
/// time.
constexpr std::array<const char *, STATS_FIELD_COUNT> FIELD_NAMES{
    "records",
    "end",
    "strings_in_full",
    "string_bytes",
    "back_references",
    "saved_by_back_references",
    "dicts",
    "lists",
    "structured_lists",
    "structured_rows",
    "saved_by_structured_lists",
    "packed_lists",
    "packed_items",
    "saved_by_packed_lists",
    "custom_values",
};

/// The calling interpreter's keys, made on first use; null (MemoryError set) on failure,
/// leaving none made.
[[nodiscard]] const std::array<PyObject *, STATS_FIELD_COUNT> *field_keys() {
    std::array<PyObject *, STATS_FIELD_COUNT> &keys = module_state().stats_keys;
    if (keys.back() != nullptr) {
        return &keys;
    }
    std::array<PyPointer, STATS_FIELD_COUNT> made;
    for (std::size_t k = 0; k < FIELD_NAMES.size(); ++k) {
        made[k] = PyPointer::steal(PyUnicode_InternFromString(FIELD_NAMES[k]));
        if (!made[k]) {
            PyErr_NoMemory();
            return nullptr;
        }
    }
    for (std::size_t k = 0; k < FIELD_NAMES.size(); ++k) {
        keys[k] = made[k].release();
    }
    return &keys;
}

/// The result dict: every counter, the record count and where the walk stopped.
[[nodiscard]] PyPointer stats_dict(const Counts &counts, std::uint64_t records, std::size_t end) {
    const std::array<PyObject *, STATS_FIELD_COUNT> *keys = field_keys();
    if (keys == nullptr) {
        return {};
    }
    PyPointer dict = new_object(PyDict_New());
    if (!dict) {
        return {};
    }
    const std::array<WideCount, FIELD_NAMES.size()> values{
        WideCount().add(records),
        WideCount().add(end),
        counts.strings_in_full,
        counts.string_bytes,
        counts.back_references,
        counts.saved_by_back_references,
        counts.dicts,
        counts.lists,
        counts.structured_lists,
        counts.structured_rows,
        counts.saved_by_structured_lists,
        counts.packed_lists,
        counts.packed_items,
        counts.saved_by_packed_lists,
        counts.custom_values,
    };
    for (std::size_t k = 0; k < values.size(); ++k) {
        PyPointer number = values[k].to_int();
        if (!number || PyDict_SetItem(dict.get(), (*keys)[k], number.get()) != 0) {
            return {};
        }
    }
    return dict;
}

} // namespace

PyObject *encoding_stats_impl(PyObject *const *args, Py_ssize_t nargsf) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    InputView input;
    std::size_t offset = 0;
    if (!check_positional_count("encoding_stats", nargs, 3) || !check_buffer_type(args[0]) ||
        !hold_at_offset(input, args[0], nargs > 1 ? args[1] : nullptr, offset)) {
        return nullptr;
    }
    std::size_t stop = input.len();
    if (nargs > 2 && args[2] != Py_None && !read_offset(args[2], "stop", input.len(), stop)) {
        return nullptr;
    }
    PageReleaser pages;
    if (input.is_read_only_mapping()) {
        pages.enable(input.data(), input.len(), offset);
    }
    StatsWalker walker(input.data(), input.len(), pages);
    std::uint64_t records = 0;
    std::size_t pos = offset;
    // Records follow one another until the bytes stop opening one; the first must.
    while (pos < stop || records == 0) {
        if (!starts_record(input.data(), input.len(), pos)) {
            if (records == 0) {
                fail_missing_starting_marker();
                return nullptr;
            }
            break;
        }
        const std::size_t start = pos;
        if (!walker.record(pos)) {
            name_failed_record(start);
            return nullptr;
        }
        ++records;
    }
    // A caller walking a log window by window leaves nothing of this one resident.
    pages.finish(pos);
    return stats_dict(walker.counts(), records, pos).release();
}
