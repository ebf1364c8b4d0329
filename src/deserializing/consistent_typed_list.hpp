#pragma once
// Decoders of `TypeFlag::ConsistentTypeList` bodies: one element type for all elements,
// packed without per-element flags.
//     <element type> <varint count n> <elements>
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "deserializing/deserialize.hpp"
#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/primitives.hpp"
#include "utils/type_flag.hpp"

// Each decoder starts at `pos` just after the count, checks that the rest of the input
// can hold `n` elements before making the list (a tuple with `use_tuples`) and leaves `pos`
// after the last element.

/// `n` times None; reads nothing, so `n` comes out of the call's `max_free_elements`.
[[nodiscard]] PyPointer decode_null_list(std::uint64_t n, const DecodeSettings &settings) noexcept;
/// `n` big-endian binary64s.
[[nodiscard]] PyPointer decode_floats_list(const std::uint8_t *data, std::size_t len,
                                           std::size_t &pos, std::uint64_t n,
                                           const DecodeSettings &settings) noexcept;
/// `n` times a `varint` length and that many bytes.
[[nodiscard]] PyPointer decode_bytes_list(const std::uint8_t *data, std::size_t len,
                                          std::size_t &pos, std::uint64_t n,
                                          const DecodeSettings &settings) noexcept;
/// ceil(n / 8) bytes; element i is bit 7 - i % 8 of byte i / 8.
[[nodiscard]] PyPointer decode_bool_list(const std::uint8_t *data, std::size_t len,
                                         std::size_t &pos, std::uint64_t n,
                                         const DecodeSettings &settings) noexcept;

/// `n` strings (`varint` length, bytes, a leading FE dropped); each enters the table in
/// element order, the empty string included.
template <PointerHolder Holder>
[[nodiscard]] PyPointer decode_str_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                        std::uint64_t n, const DecodeSettings &settings,
                                        Holder &holder) {
    if (n > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    return build_sequence(
        Reservation::unclaimed(n), settings.use_tuples, settings.hidden, [&](std::uint64_t) {
            return insert_string(
                decode_string_without_inserting_pointer<StrForm::MarkerValue>(data, len, pos),
                holder);
        });
}

/// Reads a whole body at `pos` (just after the flag) and dispatches on the element type;
/// an element type outside None, Float, String, Bytes and Bool fails, once the count is
/// read, with TypeError "Unexpected consistent list type".
template <PointerHolder Holder>
[[nodiscard]] PyPointer decode_consistent_type_list(const std::uint8_t *data, std::size_t len,
                                                    std::size_t &pos, Holder &holder,
                                                    const DecodeSettings &settings) {
    if (pos >= len) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::uint8_t element_type = data[pos++];
    std::uint64_t n = 0;
    if (!decode_varint(data, len, pos, n)) [[unlikely]] {
        return {};
    }
    switch (static_cast<TypeFlag>(element_type)) {
    case TypeFlag::None:
        return decode_null_list(n, settings);
    case TypeFlag::Bool:
        return decode_bool_list(data, len, pos, n, settings);
    case TypeFlag::Float:
        return decode_floats_list(data, len, pos, n, settings);
    case TypeFlag::String:
        return decode_str_list(data, len, pos, n, settings, holder);
    case TypeFlag::Bytes:
        return decode_bytes_list(data, len, pos, n, settings);
    default:
        PyErr_SetString(PyExc_TypeError, "Unexpected consistent list type");
        return {};
    }
}
