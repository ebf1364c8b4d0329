#include "deserializing/consistent_typed_list.hpp"

#include "utils/compat.hpp"

namespace {
/// A sequence of `n` new references to one shared object (None, True or False).
PyPointer repeat_object(PyObject *obj, std::uint64_t n, bool tuple) noexcept {
    PyPointer seq = make_sequence(n, tuple);
    if (!seq) {
        return {};
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        Py_INCREF(obj);
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), obj, tuple);
    }
    return seq;
}
} // namespace

PyPointer decode_null_list(std::uint64_t n, bool tuple) noexcept {
    return repeat_object(Py_None, n, tuple);
}

PyPointer decode_floats_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                             std::uint64_t n, bool tuple) noexcept {
    if (n > (len - pos) / 8) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    PyPointer seq = make_sequence(n, tuple);
    if (!seq) {
        return {};
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        PyObject *value = PyFloat_FromDouble(read_f64_be(data + pos));
        if (value == nullptr) [[unlikely]] {
            PyErr_NoMemory();
            return {};
        }
        pos += 8;
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), value, tuple);
    }
    return seq;
}

PyPointer decode_bytes_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                            std::uint64_t n, bool tuple) noexcept {
    if (n > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    PyPointer seq = make_sequence(n, tuple);
    if (!seq) {
        return {};
    }
    for (std::uint64_t i = 0; i < n; ++i) {
        std::uint64_t size = 0;
        if (!decode_varint(data, len, pos, size)) {
            return {};
        }
        if (size > len - pos) [[unlikely]] {
            fail_unexpected_end();
            return {};
        }
        PyObject *value = PyBytes_FromStringAndSize(reinterpret_cast<const char *>(data + pos),
                                                    static_cast<Py_ssize_t>(size));
        if (value == nullptr) [[unlikely]] {
            PyErr_NoMemory();
            return {};
        }
        pos += static_cast<std::size_t>(size);
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), value, tuple);
    }
    return seq;
}

PyPointer decode_bool_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                           std::uint64_t n, bool tuple) noexcept {
    const std::uint64_t block = n / 8 + (n % 8 != 0);
    if (block > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    PyPointer seq = make_sequence(n, tuple);
    if (!seq) {
        return {};
    }
    const std::uint8_t *bits = data + pos;
    for (std::uint64_t i = 0; i < n; ++i) {
        PyObject *value = (bits[i / 8] >> (7 - i % 8)) & 1 ? Py_True : Py_False;
        Py_INCREF(value);
        compat::fill_sequence(seq.get(), static_cast<Py_ssize_t>(i), value, tuple);
    }
    pos += static_cast<std::size_t>(block);
    return seq;
}
