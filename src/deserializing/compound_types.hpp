#pragma once
// Decoders of the compound shapes the object decoder hands over: `TypeFlag::Dict` keys
// and `TypeFlag::StructuredList` bodies.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "deserializing/deserialize.hpp"
#include "deserializing/primitives.hpp"
#include "utils/type_flag.hpp"
#include "utils/varint.hpp"

/// Reads one key of a `TypeFlag::Dict` body at `pos`:
///     FE <varint index>            back-reference: the table's entry, no new entry
///     <key_varint L> <L bytes>     literal (a leading FE dropped): enters the table
/// Returns a new reference to the `str`, or empty with the error set.
template <PointerHolder Holder>
[[nodiscard]] inline PyPointer deserialize_dict_key(const std::uint8_t *data, std::size_t len,
                                                    std::size_t &pos, Holder &holder) {
    if (pos >= len) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    if (data[pos] == KEY_POINTER_MARKER) {
        ++pos;
        std::uint64_t index = 0;
        if (!decode_varint(data, len, pos, index)) [[unlikely]] {
            return {};
        }
        return holder.safe_get(index);
    }
    return insert_string(
        decode_string_without_inserting_pointer<StrForm::MarkerKey>(data, len, pos), holder);
}

/// `dict[key] = value`; a key the dict refuses (unhashable) fails with DeserializationError
/// "Invalid type for a key: {}" in place of the interpreter's error.
[[nodiscard]] bool store_dict_item(PyObject *dict, PyObject *key, PyObject *value);

/// Reads a `TypeFlag::StructuredList` body at `pos` (just after the flag):
///     <varint rows R> <varint keys K> (key value)*K [value*K]*(R-1)
/// and returns R dicts in a list (a tuple with `use_tuples`). With K = 0 nothing follows
/// the counts; with R = 0 row 0's pairs are still read (their strings take table entries)
/// and the sequence is empty.
template <PointerHolder Holder>
[[nodiscard]] PyPointer decode_list_of_structured_dicts(const std::uint8_t *data, std::size_t len,
                                                        std::size_t &pos, Holder &holder,
                                                        const DecodeSettings &settings);

extern template PyPointer
decode_list_of_structured_dicts<VecPointerHolder>(const std::uint8_t *, std::size_t, std::size_t &,
                                                  VecPointerHolder &, const DecodeSettings &);
extern template PyPointer
decode_list_of_structured_dicts<PositionPointerHolder>(const std::uint8_t *, std::size_t,
                                                       std::size_t &, PositionPointerHolder &,
                                                       const DecodeSettings &);
