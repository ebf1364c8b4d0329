#include "deserializing/compound_types.hpp"

#include <vector>

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"

bool store_dict_item(PyObject *dict, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(dict, key, value) == 0) [[likely]] {
        return true;
    }
    // An unhashable key is corrupt data; what must pass through (MemoryError, a
    // KeyboardInterrupt from a converted key's `__hash__`) stays.
    if (clear_mapped_error()) {
        fail_deserialization(format_message("Invalid type for a key: {}", pretty_type(key)));
    }
    return false;
}

template <PointerHolder Holder>
PyPointer decode_list_of_structured_dicts(const std::uint8_t *data, std::size_t len,
                                          std::size_t &pos, Holder &holder,
                                          const DecodeSettings &settings) {
    std::uint64_t rows = 0;
    std::uint64_t keys = 0;
    if (!decode_varint(data, len, pos, rows) || !decode_varint(data, len, pos, keys)) {
        return {};
    }
    if (keys == 0) {
        // Every row is an empty dict of its own, and nothing follows.
        if (!settings.take_free_elements(rows)) {
            return {};
        }
        return build_sequence(Reservation::unclaimed(rows), settings.use_tuples, settings.hidden,
                              [](std::uint64_t) { return new_object(PyDict_New()); });
    }
    // Row 0 takes at least two bytes per key (key and field), every later row one per key.
    const std::size_t rest = len - pos;
    if (keys > rest / 2 || (rows > 1 && rows - 1 > (rest - 2 * keys) / keys)) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    std::vector<PyPointer> key_list;
    PyPointer first;
    {
        const Reservation room = settings.reserve(len, pos, keys, 2);
        key_list.reserve(static_cast<std::size_t>(room.slots()));
        first = new_dict(room);
        if (!first) {
            return {};
        }
        for (std::uint64_t k = 0; k < keys; ++k) {
            PyPointer key = deserialize_object(data, len, pos, holder, settings);
            if (!key) {
                return {};
            }
            PyPointer value = deserialize_object(data, len, pos, holder, settings);
            if (!value || !store_dict_item(first.get(), key.get(), value.get())) {
                return {};
            }
            key_list.push_back(std::move(key));
        }
    }
    compat::finish_dict(first.get(), settings.hidden);
    // Each later row takes at least a byte per key.
    const Reservation room = settings.reserve(len, pos, rows, keys, rows != 0 ? 1 : 0);
    // With no rows, row 0 was still read, so later strings are numbered as other readers do.
    return build_sequence(
        room, settings.use_tuples, settings.hidden, [&](std::uint64_t row) -> PyPointer {
            if (row == 0) {
                return std::move(first);
            }
            const Reservation fields = settings.reserve(len, pos, keys, 1);
            PyPointer dict = new_dict(fields);
            if (!dict) {
                return {};
            }
            for (const PyPointer &key : key_list) {
                PyPointer value = deserialize_object(data, len, pos, holder, settings);
                if (!value || !store_dict_item(dict.get(), key.get(), value.get())) {
                    return {};
                }
            }
            compat::finish_dict(dict.get(), settings.hidden);
            return dict;
        });
}

template PyPointer decode_list_of_structured_dicts<VecPointerHolder>(const std::uint8_t *,
                                                                     std::size_t, std::size_t &,
                                                                     VecPointerHolder &,
                                                                     const DecodeSettings &);
template PyPointer decode_list_of_structured_dicts<PositionPointerHolder>(const std::uint8_t *,
                                                                          std::size_t,
                                                                          std::size_t &,
                                                                          PositionPointerHolder &,
                                                                          const DecodeSettings &);
