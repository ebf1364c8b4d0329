#include "deserializing/consistent_typed_list.hpp"

PyPointer decode_null_list(std::uint64_t n, const DecodeSettings &settings) noexcept {
    if (!settings.take_free_elements(n)) {
        return {};
    }
    return build_sequence(Reservation::unclaimed(n), settings.use_tuples, settings.hidden,
                          [](std::uint64_t) { return PyPointer::borrow(Py_None); });
}

PyPointer decode_floats_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                             std::uint64_t n, const DecodeSettings &settings) noexcept {
    if (n > (len - pos) / 8) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    return build_sequence(Reservation::unclaimed(n), settings.use_tuples, settings.hidden,
                          [&](std::uint64_t) {
                              const double value = read_f64_be(data + pos);
                              pos += 8;
                              return new_object(PyFloat_FromDouble(value));
                          });
}

PyPointer decode_bytes_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                            std::uint64_t n, const DecodeSettings &settings) noexcept {
    if (n > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    return build_sequence(Reservation::unclaimed(n), settings.use_tuples, settings.hidden,
                          [&](std::uint64_t) { return decode_bytes(data, len, pos); });
}

PyPointer decode_bool_list(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                           std::uint64_t n, const DecodeSettings &settings) noexcept {
    const std::uint64_t block = n / 8 + (n % 8 != 0);
    if (block > len - pos) [[unlikely]] {
        fail_unexpected_end();
        return {};
    }
    const std::uint8_t *bits = data + pos;
    pos += static_cast<std::size_t>(block);
    return build_sequence(
        Reservation::unclaimed(n), settings.use_tuples, settings.hidden, [bits](std::uint64_t i) {
            return PyPointer::borrow((bits[i / 8] >> (7 - i % 8)) & 1 ? Py_True : Py_False);
        });
}
