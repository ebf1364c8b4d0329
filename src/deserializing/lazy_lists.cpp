// One element of a consistent-type list, read straight from the encoded bytes.
//
//   [element type][varint count][elements...]
//                               ^ `pos` here
#include <limits>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/primitives.hpp"
#include "deserializing/utils.hpp"
#include "utils/varint.hpp"

namespace {
[[nodiscard]] PyPointer py_bool(bool value) noexcept {
    return PyPointer::borrow(value ? Py_True : Py_False);
}
} // namespace

PyPointer lazy_load_float_list(const std::uint8_t *data, std::size_t len, std::size_t pos,
                               std::uint64_t index, bool check) {
    // Fixed 8-byte elements: element `index` is addressed directly.
    if (index >= std::numeric_limits<std::uint64_t>::max() / 8 || pos > len ||
        (index + 1) * 8 > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::uint8_t *at = data + pos + index * 8;
    if (check) {
        return py_bool(f64_is_truthy(at));
    }
    PyObject *value = PyFloat_FromDouble(read_f64_be(at));
    if (value == nullptr) {
        PyErr_NoMemory();
    }
    return PyPointer::steal(value);
}

bool skip_packed_strings(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                         std::uint64_t n, PositionPointerHolder &holder) {
    // Each element passed still takes its back-reference index.
    for (std::uint64_t k = 0; k < n; ++k) {
        if (!skip_string(data, len, pos, holder)) {
            return false;
        }
    }
    return true;
}

bool skip_packed_bytes(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                       std::uint64_t n) {
    for (std::uint64_t k = 0; k < n; ++k) {
        std::uint64_t size = 0;
        if (!decode_varint(data, len, pos, size)) {
            return false;
        }
        if (size > len - pos) [[unlikely]] {
            return fail_unexpected_end();
        }
        pos += static_cast<std::size_t>(size);
    }
    return true;
}

PyPointer lazy_load_str_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                             std::uint64_t index, PositionPointerHolder &holder, bool check) {
    if (!skip_packed_strings(data, len, pos, index, holder)) {
        return {};
    }
    if (check) {
        std::uint64_t n = 0;
        if (!decode_varint(data, len, pos, n)) {
            return {};
        }
        return py_bool(n != 0);
    }
    PyPointer str = decode_string_without_inserting_pointer<StrForm::MarkerValue>(data, len, pos);
    if (!str || !holder.insert(str.get())) {
        return {};
    }
    return str;
}

PyPointer lazy_load_bytes_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                               std::uint64_t index, bool check) {
    if (!skip_packed_bytes(data, len, pos, index)) {
        return {};
    }
    std::uint64_t n = 0;
    if (!decode_varint(data, len, pos, n)) {
        return {};
    }
    if (check) {
        return py_bool(n != 0);
    }
    if (n > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    PyObject *bytes = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + pos),
                                                static_cast<Py_ssize_t>(n));
    if (bytes == nullptr) {
        PyErr_NoMemory();
        return {};
    }
    pos += static_cast<std::size_t>(n);
    return PyPointer::steal(bytes);
}

PyPointer lazy_load_bool_list(const std::uint8_t *data, std::size_t len, std::size_t pos,
                              std::uint64_t index, std::uint64_t count) {
    // Element k is bit 7 - (k mod 8) of byte k / 8, most significant bit first.
    const std::uint64_t byte_index = index / 8;
    if (byte_index >= count / 8 + (count % 8 != 0)) [[unlikely]] {
        fail_deserialization("This should be unreachable");
        return {};
    }
    if (pos >= len || byte_index >= len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    return py_bool(((data[pos + byte_index] >> (7 - index % 8)) & 1U) != 0);
}
