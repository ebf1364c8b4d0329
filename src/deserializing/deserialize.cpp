#include "deserializing/deserialize.hpp"

#include "deserializing/compound_types.hpp"
#include "deserializing/consistent_typed_list.hpp"
#include "deserializing/custom_types.hpp"
#include "deserializing/primitives.hpp"
#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

namespace {

/// Runs `decode` one level deeper in the interpreter's recursion limit, so that hostile
/// nesting raises RecursionError instead of exhausting the native stack.
template <class F> PyPointer nested(const DecodeSettings &settings, F &&decode) {
    RecursionGuard guard(" while decoding nested data", settings.nesting);
    if (!guard.entered()) [[unlikely]] {
        return {};
    }
    return decode();
}

/// `deserialize_object` with the commonest leaves (ints, floats, one-byte
/// back-references) decoded in place,
/// sparing a call per element of the number-heavy lists and dicts.
template <PointerHolder Holder>
VEZUVIR_ALWAYS_INLINE PyPointer decode_item(const std::uint8_t *data, std::size_t len,
                                            std::size_t &pos, Holder &holder,
                                            const DecodeSettings &settings) {
    if (pos < len) [[likely]] {
        const std::uint8_t flag = data[pos];
        if (flag >= flag_byte(TypeFlag::SmallIntBase)) {
            ++pos;
            return new_object(PyLong_FromLong(flag - flag_byte(TypeFlag::SmallIntBase)));
        }
        if (flag == flag_byte(TypeFlag::Float)) {
            ++pos;
            return decode_f64(data, len, pos);
        }
        if (flag == flag_byte(TypeFlag::PositiveInt) || flag == flag_byte(TypeFlag::NegativeInt)) {
            ++pos;
            return decode_int(data, len, pos, flag == flag_byte(TypeFlag::NegativeInt),
                              settings.int_limit);
        }
        // A repeated string, the commonest value of record-like documents.
        if (flag == flag_byte(TypeFlag::Pointer1) && len - pos >= 2) {
            pos += 2;
            return holder.safe_get(data[pos - 1]);
        }
    }
    return deserialize_object(data, len, pos, holder, settings);
}

/// `TypeFlag::EmptyList`: a new list, waiting for the collector with the rest of the tree.
PyPointer make_empty_list(const DecodeSettings &settings) noexcept {
    PyPointer list = new_object(PyList_New(0));
    if (list) {
        compat::finish_sequence(list.get(), settings.hidden);
    }
    return list;
}

/// `TypeFlag::List`: <varint count> <value>*count.
template <PointerHolder Holder>
PyPointer decode_list(const std::uint8_t *data, std::size_t len, std::size_t &pos, Holder &holder,
                      const DecodeSettings &settings) {
    std::uint64_t n = 0;
    if (!decode_count(data, len, pos, 1, n)) {
        return {};
    }
    const Reservation room = settings.reserve(len, pos, n, 1);
    // Inlined by force: a second, cold user of the lambda (a hostile count's growing list)
    // would otherwise leave it a call per item.
    return build_sequence(room, settings.use_tuples, settings.hidden,
                          [&](std::uint64_t) VEZUVIR_LAMBDA_INLINE {
                              return decode_item(data, len, pos, holder, settings);
                          });
}

/// `TypeFlag::Dict`:       <varint count> (<dict-key form> <value>)*count
/// `TypeFlag::AnyKeyDict`: <varint count> (<key value> <value>)*count      (`AnyKey`)
/// Each key enters the table before its value is read, as the writer numbered them.
template <bool AnyKey, PointerHolder Holder>
PyPointer decode_dict(const std::uint8_t *data, std::size_t len, std::size_t &pos, Holder &holder,
                      const DecodeSettings &settings) {
    std::uint64_t n = 0;
    if (!decode_count(data, len, pos, 2, n)) {
        return {};
    }
    const Reservation room = settings.reserve(len, pos, n, 2);
    PyPointer dict = new_dict(room);
    if (!dict) {
        return {};
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        PyPointer key;
        if constexpr (AnyKey) {
            key = deserialize_object(data, len, pos, holder, settings);
        } else {
            key = deserialize_dict_key(data, len, pos, holder);
        }
        if (!key) {
            return {};
        }
        PyPointer value = decode_item(data, len, pos, holder, settings);
        if (!value) {
            return {};
        }
        // String keys always hash; any other key may be refused.
        const bool stored = AnyKey ? store_dict_item(dict.get(), key.get(), value.get())
                                   : PyDict_SetItem(dict.get(), key.get(), value.get()) == 0;
        if (!stored) {
            return {};
        }
    }
    compat::finish_dict(dict.get(), settings.hidden);
    return dict;
}

/// `TypeFlag::Pointer1` to `TypeFlag::Pointer4`: a big-endian index of `width` bytes.
template <PointerHolder Holder>
PyPointer decode_pointer(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                         Holder &holder, std::size_t width) {
    if (len - pos < width) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    std::uint64_t index = 0;
    for (std::size_t i = 0; i < width; ++i) {
        index = (index << 8) | data[pos + i];
    }
    pos += width;
    return holder.safe_get(index);
}

/// No writer puts `TypeFlag::Bool` or 25 to 29 where a value starts.
VEZUVIR_COLD PyPointer fail_unexpected_flag(std::uint8_t flag) noexcept {
    try {
        fail_deserialization(format_message("Corrupted data: unexpected flag {}", flag));
    } catch (...) {
        PyErr_NoMemory();
    }
    return {};
}

} // namespace

bool parse_limit_keyword(PyObject *name, PyObject *value, DecodeSettings &settings, bool &ok) {
    if (PyUnicode_CompareWithASCIIString(name, "max_free_elements") == 0) {
        ok = parse_free_elements(value, settings.max_free_elements);
        settings.free_elements_left = settings.max_free_elements;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "max_int_digits") == 0) {
        ok = parse_int_limit(value, settings.int_limit);
        return true;
    }
    return false;
}

bool DecodeSettings::fail_free_elements() const noexcept {
    try {
        fail_deserialization(format_message(
            "Input declares more than {} elements that take no input bytes (Nones of packed "
            "lists, rows without keys), the limit of `max_free_elements`; pass a larger limit or "
            "None to deserialize it",
            max_free_elements));
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

template <PointerHolder Holder>
PyPointer deserialize_object(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                             Holder &holder, const DecodeSettings &settings) {
    if (pos >= len) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::uint8_t flag = data[pos++];
    if (flag >= flag_byte(TypeFlag::SmallIntBase)) {
        return new_object(PyLong_FromLong(flag - flag_byte(TypeFlag::SmallIntBase)));
    }
    switch (static_cast<TypeFlag>(flag)) {
    case TypeFlag::EmptyString:
        return PyPointer::borrow(EMPTY_STRING);
    case TypeFlag::EmptyBytes:
        return PyPointer::borrow(EMPTY_BYTES);
    case TypeFlag::True:
        return PyPointer::borrow(Py_True);
    case TypeFlag::False:
        return PyPointer::borrow(Py_False);
    case TypeFlag::None:
        return PyPointer::borrow(Py_None);
    case TypeFlag::EmptyList:
        if (settings.use_tuples) {
            return PyPointer::borrow(EMPTY_TUPLE);
        }
        return make_empty_list(settings);
    case TypeFlag::EmptyDict:
        return new_object(PyDict_New());
    case TypeFlag::PositiveInt:
        return decode_int(data, len, pos, false, settings.int_limit);
    case TypeFlag::NegativeInt:
        return decode_int(data, len, pos, true, settings.int_limit);
    case TypeFlag::Float:
        return decode_f64(data, len, pos);
    case TypeFlag::String:
    case TypeFlag::AsciiString:
        return insert_string(
            decode_string_without_inserting_pointer<StrForm::PlainValue>(data, len, pos), holder);
    case TypeFlag::Bytes:
        return decode_bytes(data, len, pos);
    case TypeFlag::List:
        return nested(settings, [&] { return decode_list(data, len, pos, holder, settings); });
    case TypeFlag::ConsistentTypeList:
        return decode_consistent_type_list(data, len, pos, holder, settings);
    case TypeFlag::AnyKeyDict:
        return nested(settings,
                      [&] { return decode_dict<true>(data, len, pos, holder, settings); });
    case TypeFlag::Dict:
        return nested(settings,
                      [&] { return decode_dict<false>(data, len, pos, holder, settings); });
    case TypeFlag::LargePointer: {
        std::uint64_t index = 0;
        if (!decode_varint(data, len, pos, index)) {
            return {};
        }
        return holder.safe_get(index);
    }
    case TypeFlag::StructuredList:
        return nested(settings, [&] {
            return decode_list_of_structured_dicts(data, len, pos, holder, settings);
        });
    case TypeFlag::Pointer1:
    case TypeFlag::Pointer2:
    case TypeFlag::Pointer3:
    case TypeFlag::Pointer4:
        return decode_pointer(data, len, pos, holder, flag - flag_byte(TypeFlag::Pointer1) + 1);
    case TypeFlag::Custom:
        return nested(settings,
                      [&] { return deserialize_custom_type(data, len, pos, holder, settings); });
    default:
        return fail_unexpected_flag(flag);
    }
}

template PyPointer deserialize_object<VecPointerHolder>(const std::uint8_t *, std::size_t,
                                                        std::size_t &, VecPointerHolder &,
                                                        const DecodeSettings &);
template PyPointer deserialize_object<PositionPointerHolder>(const std::uint8_t *, std::size_t,
                                                             std::size_t &, PositionPointerHolder &,
                                                             const DecodeSettings &);
