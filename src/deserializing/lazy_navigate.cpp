// Walking a path of keys and indices through an encoding.
//
// Each path element consumes one container and hands the rest of the path to a call on
// the chosen child; nothing before the target is built except the keys compared, and
// nothing after it is read.
#include <algorithm>
#include <cstring>
#include <vector>

#include "deserializing/compound_types.hpp"
#include "deserializing/custom_types.hpp"
#include "deserializing/deserialize.hpp"
#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/utils.hpp"
#include "serializing/utils.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

namespace {

using Path = std::span<const PathElement>;

/// Type name by flag where a value and a packed list's element type agree, for path
/// messages; null for 20 to 29, which no element type can be.
[[nodiscard]] const char *flag_type_name(std::uint8_t flag) noexcept {
    if (flag >= flag_byte(TypeFlag::SmallIntBase)) {
        return "int";
    }
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyString:
    case TypeFlag::String:
    case TypeFlag::LargePointer:
    case TypeFlag::AsciiString:
        return "str";
    case TypeFlag::EmptyBytes:
    case TypeFlag::Bytes:
        return "bytes";
    case TypeFlag::True:
    case TypeFlag::False:
    case TypeFlag::Bool:
        return "bool";
    case TypeFlag::None:
        return "None";
    case TypeFlag::EmptyList:
    case TypeFlag::List:
    case TypeFlag::ConsistentTypeList:
    case TypeFlag::StructuredList:
        return "list";
    case TypeFlag::EmptyDict:
    case TypeFlag::AnyKeyDict:
    case TypeFlag::Dict:
        return "dict";
    case TypeFlag::PositiveInt:
    case TypeFlag::NegativeInt:
        return "int";
    case TypeFlag::Float:
        return "float";
    default:
        return nullptr;
    }
}

/// Type name of the value a flag opens, for path messages: a back-reference is a string
/// like any other, and a custom value is named as such. Null for the unassigned 25 to 29.
[[nodiscard]] const char *value_type_name(std::uint8_t flag) noexcept {
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::Pointer1:
    case TypeFlag::Pointer2:
    case TypeFlag::Pointer3:
    case TypeFlag::Pointer4:
        return "str";
    case TypeFlag::Custom:
        return "custom";
    default:
        return flag_type_name(flag);
    }
}

[[nodiscard]] PyPointer fail(std::string_view message) {
    fail_deserialization(message);
    return {};
}

[[nodiscard]] PyPointer fail_corrupt_flag() {
    return fail("Corrupt data: unexpected flag");
}

/// "Invalid path, expected `{}` but found `{}`", or the corrupt-flag error when nothing
/// can be found under that flag.
[[nodiscard]] PyPointer fail_invalid_path(const char *expected, const char *found) {
    if (found == nullptr) {
        return fail_corrupt_flag();
    }
    return fail(format_message("Invalid path, expected `{}` but found `{}`", expected, found));
}

[[nodiscard]] PyPointer fail_index_out_of_range(std::uint64_t index, std::uint64_t size) {
    return fail(
        format_message("Index out of range, index is `{}` but list is of len `{}`", index, size));
}

[[nodiscard]] PyPointer fail_key_not_found(PyObject *key) {
    PyPointer text = PyPointer::steal(PyObject_Str(key));
    if (!text) {
        return {}; // str(key) raised: that error stands
    }
    return fail(format_message("Key not found, key: `{}` (type `{}`)", display_text(text.get()),
                               pretty_type(key)));
}

/// `a == b` as 1 or 0; a comparison that raises an `Exception` counts as not equal. -1
/// with the error pending for what must pass through (KeyboardInterrupt, MemoryError).
[[nodiscard]] int keys_equal(PyObject *a, PyObject *b) noexcept {
    const int r = PyObject_RichCompareBool(a, b, Py_EQ);
    if (r < 0) {
        return clear_mapped_error() ? 0 : -1;
    }
    return r;
}

[[nodiscard]] bool read_flag(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                             std::uint8_t &flag) noexcept {
    if (pos >= len) [[unlikely]] {
        return fail_unexpected_end();
    }
    flag = data[pos++];
    return true;
}

/// Longest string or bytes, in encoded bytes, that a locating walk still builds itself:
/// handing such a leaf over costs the caller about what building it here costs (on PyPy,
/// about a microsecond), a longer one costs more to hand over than to build there.
constexpr std::uint64_t SHORT_BODY = 256;

/// Whether the length field at `pos` says at most SHORT_BODY bytes follow; true for
/// input it cannot read, whose error the decoder then raises here.
[[nodiscard]] bool short_body(const std::uint8_t *data, std::size_t len, std::size_t pos,
                              bool key_form) noexcept {
    std::uint64_t n = 0;
    if (!(key_form ? decode_key_varint(data, len, pos, n) : decode_varint(data, len, pos, n))) {
        PyErr_Clear();
        return true;
    }
    return n <= SHORT_BODY;
}

/// The index of the back-reference whose flag was read just before `pos`, `pos` moved past
/// it; false, with no error set, when the input cannot hold it or it refers to none of the
/// `known` strings.
[[nodiscard]] bool read_reference_index(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                        std::uint8_t flag, std::size_t known,
                                        std::uint64_t &index) noexcept {
    if (flag == flag_byte(TypeFlag::LargePointer)) {
        if (!decode_varint(data, len, pos, index)) {
            PyErr_Clear();
            return false;
        }
        return index < known;
    }
    const std::size_t width = flag - flag_byte(TypeFlag::Pointer1) + 1U;
    if (len - pos < width) {
        return false;
    }
    for (std::size_t k = 0; k < width; ++k) {
        index = (index << 8) | data[pos++];
    }
    return index < known;
}

/// Whether a locating walk builds the value at `pos` itself rather than hand it over: a
/// scalar, an empty container, a short string or bytes (or a back-reference to one), and
/// anything it cannot read, so that the error is raised where it would have been.
[[nodiscard]] bool builds_here(const std::uint8_t *data, std::size_t len, std::size_t pos,
                               const PositionPointerHolder &holder) noexcept {
    if (pos >= len) {
        return true;
    }
    const std::uint8_t flag = data[pos++];
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::String:
    case TypeFlag::AsciiString:
    case TypeFlag::Bytes:
        return short_body(data, len, pos, false);
    case TypeFlag::Pointer1:
    case TypeFlag::Pointer2:
    case TypeFlag::Pointer3:
    case TypeFlag::Pointer4:
    case TypeFlag::LargePointer: {
        std::uint64_t index = 0;
        if (!read_reference_index(data, len, pos, flag, holder.size(), index)) {
            return true;
        }
        std::size_t offset = 0;
        bool key_form = false;
        return holder.entry(static_cast<std::size_t>(index), offset, key_form) != nullptr ||
               short_body(data, len, offset, key_form);
    }
    case TypeFlag::List:
    case TypeFlag::ConsistentTypeList:
    case TypeFlag::AnyKeyDict:
    case TypeFlag::Dict:
    case TypeFlag::StructuredList:
    case TypeFlag::Custom:
        return false;
    default:
        return true;
    }
}

/// The value at the end of the path: decoded, or judged present/truthy.
[[nodiscard]] PyPointer load_target(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                    PositionPointerHolder &holder, const LazyMode &mode) {
    const DecodeSettings &settings = mode.settings;
    if (!mode.check_mode) {
        if (mode.located != nullptr && !builds_here(data, len, pos, holder)) {
            return mode.located->found(Located::Kind::Value, pos);
        }
        return deserialize_object(data, len, pos, holder, settings);
    }
    if (mode.include_falsy) {
        return PyPointer::borrow(Py_True);
    }
    std::uint8_t flag = 0;
    if (!read_flag(data, len, pos, flag)) {
        return {};
    }
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyString:
    case TypeFlag::EmptyBytes:
    case TypeFlag::False:
    case TypeFlag::None:
    case TypeFlag::EmptyList:
    case TypeFlag::EmptyDict:
    case TypeFlag::SmallIntBase:
        return PyPointer::borrow(Py_False);
    case TypeFlag::Float: {
        if (len < 8 || pos > len - 8) {
            fail_unexpected_end();
            return {};
        }
        return PyPointer::borrow(f64_is_truthy(data + pos) ? Py_True : Py_False);
    }
    case TypeFlag::Custom: {
        PyPointer value = deserialize_custom_type(data, len, pos, holder, settings);
        if (!value) {
            return {};
        }
        const int truth = PyObject_IsTrue(value.get());
        if (truth < 0) {
            return {};
        }
        return PyPointer::borrow(truth ? Py_True : Py_False);
    }
    case TypeFlag::PositiveInt:
    case TypeFlag::NegativeInt:
        // Only the one-byte magnitude 0 is zero; a long form is at least 255.
        if (pos >= len) {
            fail_unexpected_end();
            return {};
        }
        return PyPointer::borrow(data[pos] != 0 ? Py_True : Py_False);
    case TypeFlag::Pointer1:
    case TypeFlag::Pointer2:
    case TypeFlag::Pointer3:
    case TypeFlag::Pointer4:
    case TypeFlag::LargePointer: {
        // A back-reference must name an entry; resolving it also tells an empty string.
        pos -= 1;
        PyPointer str = deserialize_object(data, len, pos, holder, settings);
        if (!str) {
            return {};
        }
        const int truth = PyObject_IsTrue(str.get());
        return truth < 0 ? PyPointer{} : PyPointer::borrow(truth ? Py_True : Py_False);
    }
    case TypeFlag::String:
    case TypeFlag::AsciiString:
    case TypeFlag::Bytes:
    case TypeFlag::List:
    case TypeFlag::AnyKeyDict:
    case TypeFlag::Dict:
    case TypeFlag::StructuredList:
    case TypeFlag::ConsistentTypeList: {
        // Our writer never stores these empty (or zero), but another writer may: the
        // length, count or magnitude that follows decides, as a full decode would.
        if (flag == flag_byte(TypeFlag::ConsistentTypeList) && pos++ >= len) {
            fail_unexpected_end();
            return {};
        }
        std::uint64_t n = 0;
        if (!decode_varint(data, len, pos, n)) {
            return {};
        }
        return PyPointer::borrow(n != 0 ? Py_True : Py_False);
    }
    case TypeFlag::Bool:
        return fail_corrupt_flag();
    default:
        // Unassigned flags are corrupt data, not a present value.
        if (flag > flag_byte(TypeFlag::Custom) && flag < flag_byte(TypeFlag::SmallIntBase)) {
            return fail_corrupt_flag();
        }
        return PyPointer::borrow(Py_True);
    }
}

/// The UTF-8 text of a wanted key that is an exact `str`, or null: other keys (and a
/// `str` with a lone surrogate) are compared with `==` on decoded keys.
[[nodiscard]] const char *wanted_text(PyObject *wanted, std::size_t &n) noexcept {
    if (!PyUnicode_CheckExact(wanted)) {
        return nullptr;
    }
    Py_ssize_t size = 0;
    bool ascii = false;
    const char *text = compat::str_utf8(wanted, size, ascii);
    if (text == nullptr) {
        (void)clear_mapped_error(); // the caller tests for what stays pending
        return nullptr;
    }
    n = static_cast<std::size_t>(size);
    return text;
}

/// The entries of a string-keyed dict, position just after its count, searched for the
/// key whose UTF-8 text is `text[0:n]`: stored keys are compared as bytes, never built.
/// Text equality is `==` between exact `str` objects. A stored key that is not valid
/// UTF-8 cannot equal the text and is passed over like any skipped string.
[[nodiscard]] PyPointer navigate_text_key(const std::uint8_t *data, std::size_t len,
                                          std::size_t &pos, PositionPointerHolder &holder,
                                          const LazyMode &mode, Path path, std::uint64_t count,
                                          const char *text, std::size_t n) {
    for (std::uint64_t k = 0; k < count; ++k) {
        if (pos >= len) [[unlikely]] {
            fail_unexpected_end();
            return {};
        }
        int match = 0;
        if (data[pos] == KEY_POINTER_MARKER) {
            // [254][varint index]
            ++pos;
            std::uint64_t index = 0;
            if (!decode_varint(data, len, pos, index)) {
                return {};
            }
            match = holder.equals_text(index, text, n);
        } else {
            // [key_varint length][bytes], entered in the table as the full decoder would
            std::size_t start = 0;
            std::size_t stored = 0;
            if (!holder.insert_position(pos, true) ||
                !read_string_body<StrForm::MarkerKey>(data, len, pos, start, stored)) {
                return {};
            }
            match = stored == n && std::memcmp(data + start, text, n) == 0;
        }
        if (match < 0) {
            return {};
        }
        if (match == 1) {
            return lazy_deserialize(data, len, pos, holder, mode, path.subspan(1));
        }
        if (!skip_object(data, len, pos, holder)) {
            return {};
        }
        holder.passed(pos);
    }
    return fail_key_not_found(path.front().key);
}

[[nodiscard]] PyPointer navigate_key(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                     PositionPointerHolder &holder, const LazyMode &mode,
                                     Path path) {
    PyObject *wanted = path.front().key;
    std::uint8_t flag = 0;
    if (!read_flag(data, len, pos, flag)) {
        return {};
    }
    const DecodeSettings &settings = mode.settings;
    std::uint64_t count = 0;
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyDict:
        return fail_key_not_found(wanted);
    case TypeFlag::AnyKeyDict:
    case TypeFlag::Dict: {
        const bool any_key = flag == flag_byte(TypeFlag::AnyKeyDict);
        if (!decode_varint(data, len, pos, count)) {
            return {};
        }
        std::size_t n = 0;
        const char *text = any_key ? nullptr : wanted_text(wanted, n);
        if (PyErr_Occurred() != nullptr) [[unlikely]] {
            return {};
        }
        if (text != nullptr) {
            return navigate_text_key(data, len, pos, holder, mode, path, count, text, n);
        }
        for (std::uint64_t k = 0; k < count; ++k) {
            PyPointer key = any_key ? deserialize_object(data, len, pos, holder, settings)
                                    : deserialize_dict_key(data, len, pos, holder);
            if (!key) {
                return {};
            }
            const int match =
                any_key ? keys_equal(wanted, key.get()) : keys_equal(key.get(), wanted);
            if (match < 0) {
                return {};
            }
            if (match == 1) {
                return lazy_deserialize(data, len, pos, holder, mode, path.subspan(1));
            }
            if (!skip_object(data, len, pos, holder)) {
                return {};
            }
            holder.passed(pos);
        }
        return fail_key_not_found(wanted);
    }
    default:
        return fail_invalid_path("dict", value_type_name(flag));
    }
}

[[nodiscard]] PyPointer navigate_consistent_list(const std::uint8_t *data, std::size_t len,
                                                 std::size_t &pos, PositionPointerHolder &holder,
                                                 const LazyMode &mode, Path path) {
    // [element type][varint count][elements]
    const std::uint64_t index = path.front().index;
    std::uint8_t element_type = 0;
    std::uint64_t count = 0;
    if (!read_flag(data, len, pos, element_type) || !decode_varint(data, len, pos, count)) {
        return {};
    }
    if (index >= count) {
        return fail_index_out_of_range(index, count);
    }
    if (path.size() > 1) {
        // Elements are scalars: the path cannot go further.
        return fail_invalid_path(path[1].is_index() ? "list" : "dict",
                                 flag_type_name(element_type));
    }
    const bool check = mode.check_mode;
    if (check && mode.include_falsy) {
        return PyPointer::borrow(Py_True);
    }
    switch (static_cast<TypeFlag>(element_type)) {
    case TypeFlag::None:
        return PyPointer::borrow(check ? Py_False : Py_None);
    case TypeFlag::Float:
        return lazy_load_float_list(data, len, pos, index, check);
    case TypeFlag::String:
        if (mode.located != nullptr && !check) {
            if (!skip_packed_strings(data, len, pos, index, holder)) {
                return {};
            }
            if (!short_body(data, len, pos, false)) {
                return mode.located->found(Located::Kind::PackedString, pos);
            }
            return lazy_load_str_list(data, len, pos, 0, holder, check);
        }
        return lazy_load_str_list(data, len, pos, index, holder, check);
    case TypeFlag::Bytes:
        if (mode.located != nullptr && !check) {
            if (!skip_packed_bytes(data, len, pos, index)) {
                return {};
            }
            if (!short_body(data, len, pos, false)) {
                return mode.located->found(Located::Kind::PackedBytes, pos);
            }
            return lazy_load_bytes_list(data, len, pos, 0, check);
        }
        return lazy_load_bytes_list(data, len, pos, index, check);
    case TypeFlag::Bool:
        return lazy_load_bool_list(data, len, pos, index, count);
    default:
        return fail(format_message("Unexpected type flag: {}", element_type));
    }
}

/// The keys of a structured list, read from row 0 (position after its counts) while its
/// fields are stepped over, then the rows before row `index` (at least 1) stepped over:
/// the position is left at that row's fields.
[[nodiscard]] bool seek_structured_row(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                       PositionPointerHolder &holder,
                                       const DecodeSettings &settings, std::uint64_t index,
                                       std::uint64_t key_count, std::vector<PyPointer> &keys) {
    // At most one key per remaining byte.
    keys.reserve(
        static_cast<std::size_t>(std::min<std::uint64_t>(key_count, len - std::min(pos, len))));
    for (std::uint64_t k = 0; k < key_count; ++k) {
        PyPointer key = deserialize_object(data, len, pos, holder, settings);
        if (!key || !skip_object(data, len, pos, holder)) {
            return false;
        }
        keys.push_back(std::move(key));
    }
    for (std::uint64_t r = 1; r < index; ++r) {
        if (!skip_objects(data, len, pos, holder, key_count)) {
            return false;
        }
    }
    return true;
}

/// Row `index` of a structured list as a dict (load mode, end of the path); with `mode`
/// locating, only where its fields are.
[[nodiscard]] PyPointer load_structured_row(const std::uint8_t *data, std::size_t len,
                                            std::size_t &pos, PositionPointerHolder &holder,
                                            const LazyMode &mode, std::uint64_t index,
                                            std::uint64_t key_count) {
    const DecodeSettings &settings = mode.settings;
    if (key_count == 0) {
        // Every row is empty and takes no bytes: stepping over `index` of them one by one
        // would let a 16-byte input keep us busy for 2**64 iterations.
        return new_object(PyDict_New());
    }
    if (index == 0) {
        // Row 0 holds each key beside its field.
        if (mode.located != nullptr) {
            mode.located->key_count = key_count;
            return mode.located->found(Located::Kind::FirstRow, pos);
        }
        PyPointer row = new_object(PyDict_New());
        if (!row) {
            return {};
        }
        for (std::uint64_t k = 0; k < key_count; ++k) {
            PyPointer key = deserialize_object(data, len, pos, holder, settings);
            if (!key) {
                return {};
            }
            PyPointer field = deserialize_object(data, len, pos, holder, settings);
            if (!field || !store_dict_item(row.get(), key.get(), field.get())) {
                return {};
            }
        }
        return row;
    }
    std::vector<PyPointer> keys;
    if (!seek_structured_row(data, len, pos, holder, settings, index, key_count, keys)) {
        return {};
    }
    if (mode.located != nullptr) {
        mode.located->keys = std::move(keys);
        return mode.located->found(Located::Kind::Row, pos);
    }
    PyPointer row = new_object(PyDict_New());
    if (!row) {
        return {};
    }
    for (PyPointer &key : keys) {
        PyPointer field = deserialize_object(data, len, pos, holder, settings);
        if (!field || !store_dict_item(row.get(), key.get(), field.get())) {
            return {};
        }
    }
    return row;
}

/// Whether the stored bytes `[start, start + stored)` are all ASCII, and so valid UTF-8.
[[nodiscard]] bool all_ascii(const std::uint8_t *at, std::size_t stored) noexcept {
    return std::all_of(at, at + stored, [](std::uint8_t byte) { return byte < 0x80; });
}

/// No answer from `row_key_is_text`: the key is to be decoded and compared with `==`.
constexpr int DECODE_KEY = -2;

/// Whether the key of row 0 at `pos` (a whole encoded value) is the string whose UTF-8
/// text is `text[0:n]`, told from its stored bytes when it is a string or a back-reference
/// to one: 1 or 0 with `pos` after it, -1 with an error set, or DECODE_KEY with nothing
/// read for any other key and for one that decoding alone can judge (a non-ASCII string
/// that differs: decoding it fails on invalid UTF-8, as a full decode would). The table
/// gains what decoding the key would have given it.
[[nodiscard]] int row_key_is_text(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                  PositionPointerHolder &holder, const char *text, std::size_t n) {
    if (pos >= len) {
        return DECODE_KEY;
    }
    const std::uint8_t flag = data[pos];
    std::size_t at = pos + 1;
    std::size_t start = 0;
    std::size_t stored = 0;
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyString:
        pos = at;
        return n == 0 ? 1 : 0;
    case TypeFlag::String:
    case TypeFlag::AsciiString: {
        // [flag][varint length][bytes], entered in the table as a skipped string
        std::size_t end = at;
        if (!read_string_body<StrForm::PlainValue>(data, len, end, start, stored)) {
            PyErr_Clear(); // the decoder raises it
            return DECODE_KEY;
        }
        const bool same = stored == n && std::memcmp(data + start, text, n) == 0;
        if (!same && !all_ascii(data + start, stored)) {
            return DECODE_KEY;
        }
        if (!holder.insert_position(at, false)) {
            return -1;
        }
        pos = end;
        return same ? 1 : 0;
    }
    case TypeFlag::Pointer1:
    case TypeFlag::Pointer2:
    case TypeFlag::Pointer3:
    case TypeFlag::Pointer4:
    case TypeFlag::LargePointer: {
        std::uint64_t index = 0;
        if (!read_reference_index(data, len, at, flag, holder.size(), index)) {
            return DECODE_KEY;
        }
        std::size_t offset = 0;
        bool key_form = false;
        if (holder.entry(static_cast<std::size_t>(index), offset, key_form) == nullptr) {
            // A string stepped over: its stored bytes, read as resolving it would.
            const bool read =
                key_form ? read_string_body<StrForm::MarkerKey>(data, len, offset, start, stored)
                         : read_string_body<StrForm::MarkerValue>(data, len, offset, start, stored);
            if (!read) {
                PyErr_Clear();
                return DECODE_KEY;
            }
            const bool same = stored == n && std::memcmp(data + start, text, n) == 0;
            if (!same && !all_ascii(data + start, stored)) {
                return DECODE_KEY;
            }
            pos = at;
            return same ? 1 : 0;
        }
        const int match = holder.equals_text(index, text, n);
        if (match >= 0) {
            pos = at;
        }
        return match;
    }
    default:
        return DECODE_KEY;
    }
}

[[nodiscard]] PyPointer navigate_structured_list(const std::uint8_t *data, std::size_t len,
                                                 std::size_t &pos, PositionPointerHolder &holder,
                                                 const LazyMode &mode, Path path) {
    // [varint rows][varint keys] row 0: (key, field) x keys; rows 1..: field x keys
    const std::uint64_t index = path.front().index;
    std::uint64_t rows = 0;
    std::uint64_t key_count = 0;
    if (!decode_varint(data, len, pos, rows) || !decode_varint(data, len, pos, key_count)) {
        return {};
    }
    if (index >= rows) {
        return fail_index_out_of_range(index, rows);
    }
    const DecodeSettings &settings = mode.settings;
    if (path.size() == 1) {
        if (mode.check_mode) {
            // A row without keys is an empty dict: falsy like any other.
            return PyPointer::borrow(mode.include_falsy || key_count != 0 ? Py_True : Py_False);
        }
        return load_structured_row(data, len, pos, holder, mode, index, key_count);
    }
    if (path[1].is_index()) {
        return fail("Invalid path, expected `list` but found `dict`");
    }
    PyObject *wanted = path[1].key;
    std::size_t n = 0;
    const char *text = wanted_text(wanted, n);
    if (PyErr_Occurred() != nullptr) [[unlikely]] {
        return {};
    }
    bool matched = false;
    std::uint64_t matched_at = 0;
    for (std::uint64_t k = 0; k < key_count; ++k) {
        if (matched) {
            if (!skip_object(data, len, pos, holder) || !skip_object(data, len, pos, holder)) {
                return {};
            }
            continue;
        }
        // String keys are told from their bytes: building each one costs PyPy far more.
        int match = text != nullptr ? row_key_is_text(data, len, pos, holder, text, n) : DECODE_KEY;
        if (match == DECODE_KEY) {
            PyPointer key = deserialize_object(data, len, pos, holder, settings);
            if (!key) {
                return {};
            }
            match = keys_equal(key.get(), wanted);
        }
        if (match < 0) {
            return {};
        }
        if (match == 1) {
            if (index == 0) {
                return lazy_deserialize(data, len, pos, holder, mode, path.subspan(2));
            }
            matched = true;
            matched_at = k;
        }
        if (!skip_object(data, len, pos, holder)) {
            return {};
        }
    }
    if (!matched) {
        return fail_key_not_found(wanted);
    }
    for (std::uint64_t r = 1; r < index; ++r) {
        if (!skip_objects(data, len, pos, holder, key_count)) {
            return {};
        }
    }
    if (!skip_objects(data, len, pos, holder, matched_at)) {
        return {};
    }
    return lazy_deserialize(data, len, pos, holder, mode, path.subspan(2));
}

[[nodiscard]] PyPointer navigate_index(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                       PositionPointerHolder &holder, const LazyMode &mode,
                                       Path path) {
    const std::uint64_t index = path.front().index;
    std::uint8_t flag = 0;
    if (!read_flag(data, len, pos, flag)) {
        return {};
    }
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyList:
        return fail_index_out_of_range(index, 0);
    case TypeFlag::List: {
        std::uint64_t count = 0;
        if (!decode_varint(data, len, pos, count)) {
            return {};
        }
        if (index >= count) {
            return fail_index_out_of_range(index, count);
        }
        if (!skip_objects(data, len, pos, holder, index)) {
            return {};
        }
        return lazy_deserialize(data, len, pos, holder, mode, path.subspan(1));
    }
    case TypeFlag::ConsistentTypeList:
        return navigate_consistent_list(data, len, pos, holder, mode, path);
    case TypeFlag::StructuredList:
        return navigate_structured_list(data, len, pos, holder, mode, path);
    default:
        return fail_invalid_path("list", value_type_name(flag));
    }
}

} // namespace

PyPointer lazy_deserialize(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                           PositionPointerHolder &holder, const LazyMode &mode, Path path) {
    if (path.empty()) {
        return load_target(data, len, pos, holder, mode);
    }
    // One level of native recursion per path element, bounded by the interpreter's limit.
    RecursionGuard guard(" while reading a lazy path");
    if (!guard.entered()) {
        return {};
    }
    if (mode.located != nullptr) {
        ++mode.located->levels;
    }
    return path.front().is_index() ? navigate_index(data, len, pos, holder, mode, path)
                                   : navigate_key(data, len, pos, holder, mode, path);
}
