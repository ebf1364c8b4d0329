#include "deserializing/compound_types.hpp"

#include <vector>

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"

bool store_dict_item(PyObject *dict, PyObject *key, PyObject *value) {
    if (PyDict_SetItem(dict, key, value) == 0) [[likely]] {
        return true;
    }
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
        PyErr_Clear();
        fail_deserialization(format_message("Invalid type for a key: {}", pretty_type(key)));
    }
    return false;
}

namespace {
/// New dict sized for `n` entries; null means it ran out of memory.
PyPointer new_dict(std::uint64_t n) noexcept {
    PyObject *dict = compat::new_dict_presized(static_cast<Py_ssize_t>(n));
    if (dict == nullptr) [[unlikely]] {
        PyErr_NoMemory();
    }
    return PyPointer::steal(dict);
}

/// K = 0: `rows` distinct empty dicts, with nothing to read.
PyPointer empty_dicts(std::uint64_t rows, bool tuple) noexcept {
    PyPointer seq = make_sequence(rows, tuple);
    if (!seq) {
        return {};
    }
    for (std::uint64_t i = 0; i < rows; ++i) {
        PyPointer dict = new_dict(0);
        if (!dict) {
            return {};
        }
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), dict.release(), tuple);
    }
    return seq;
}
} // namespace

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
        return empty_dicts(rows, settings.use_tuples);
    }
    // Row 0 takes at least two bytes per key (key and field), every later row one per key.
    const std::size_t rest = len - pos;
    if (keys > rest / 2 || (rows > 1 && rows - 1 > (rest - 2 * keys) / keys)) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    PyPointer seq = make_sequence(rows, settings.use_tuples);
    if (!seq) {
        return {};
    }
    std::vector<PyPointer> key_list;
    key_list.reserve(static_cast<std::size_t>(keys));
    PyPointer first = new_dict(keys);
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
    if (rows == 0) {
        // Row 0 was read all the same, so the table numbers later strings as other readers do.
        return seq;
    }
    compat::fill_sequence(seq.get(), 0, first.release(), settings.use_tuples);
    for (std::uint64_t row = 1; row < rows; ++row) {
        PyPointer dict = new_dict(keys);
        if (!dict) {
            return {};
        }
        for (const PyPointer &key : key_list) {
            PyPointer value = deserialize_object(data, len, pos, holder, settings);
            if (!value || !store_dict_item(dict.get(), key.get(), value.get())) {
                return {};
            }
        }
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(row), dict.release(),
                              settings.use_tuples);
    }
    return seq;
}

template PyPointer decode_list_of_structured_dicts<VecPointerHolder>(
    const std::uint8_t *, std::size_t, std::size_t &, VecPointerHolder &, const DecodeSettings &);
template PyPointer decode_list_of_structured_dicts<PositionPointerHolder>(
    const std::uint8_t *, std::size_t, std::size_t &, PositionPointerHolder &,
    const DecodeSettings &);
