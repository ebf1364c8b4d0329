#include "deserializing/primitives.hpp"

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"

namespace {
/// Whether every byte is below 0x80; eight bytes at a time.
bool all_ascii(const std::uint8_t *p, std::size_t n) noexcept {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, p + i, 8);
        if (word & 0x8080808080808080ULL) {
            return false;
        }
    }
    std::uint8_t acc = 0;
    for (; i < n; ++i) {
        acc |= p[i];
    }
    return (acc & 0x80) == 0;
}
} // namespace

PyPointer make_str(const std::uint8_t *bytes, std::size_t n, std::size_t offset) noexcept {
    if (n == 0) {
        return PyPointer::borrow(EMPTY_STRING);
    }
    const char *chars = reinterpret_cast<const char *>(bytes);
    PyObject *str = all_ascii(bytes, n)
                        ? compat::new_ascii_str(chars, n)
                        : PyUnicode_DecodeUTF8(chars, static_cast<Py_ssize_t>(n), nullptr);
    if (str == nullptr) [[unlikely]] {
        if (PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) {
            PyErr_Clear();
            fail_deserialization(
                format_message("Corrupted data: invalid UTF-8 in string at position {}", offset));
        } else {
            PyErr_NoMemory();
        }
    }
    return PyPointer::steal(str);
}
