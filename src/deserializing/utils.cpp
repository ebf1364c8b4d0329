#include "deserializing/utils.hpp"

#include <algorithm>
#include <cstring>

#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

bool fail_unexpected_end() noexcept {
    PyErr_SetString(DESERIALIZATION_ERROR_TYPE, "Unexpected end of input");
    return false;
}

bool fail_deserialization(std::string_view message) noexcept {
    to_py_error(message, DESERIALIZATION_ERROR_TYPE);
    return false;
}

namespace {

[[nodiscard]] bool is_bytes_or_bytearray(PyObject *obj) noexcept {
    PyTypeObject *type = Py_TYPE(obj);
    return type == &PyByteArray_Type || PyBytes_Check(obj) ||
           PyType_IsSubtype(type, &PyByteArray_Type);
}

/// Whether a buffer format names one-byte items (unsigned char, signed char or char,
/// after an optional byte-order character); no format means unsigned bytes.
[[nodiscard]] bool is_byte_format(const char *format) noexcept {
    if (format == nullptr) {
        return true;
    }
    switch (format[0]) {
    case '@':
    case '=':
    case '<':
    case '>':
    case '!':
        ++format;
        break;
    default:
        break;
    }
    return (format[0] == 'B' || format[0] == 'b' || format[0] == 'c') && format[1] == '\0';
}

/// Raises the TypeError of an exported buffer that is not C-contiguous bytes.
[[nodiscard]] bool fail_buffer_layout(PyObject *obj, const Py_buffer &view) noexcept {
    try {
        const bool bytes = is_byte_format(view.format) && view.itemsize == 1;
        to_py_error(bytes ? format_message("buffer must export C-contiguous bytes, but got a "
                                           "non-contiguous `{}`",
                                           pretty_type(obj))
                          : format_message("buffer must export C-contiguous bytes, but got `{}` "
                                           "with items of format '{}'",
                                           pretty_type(obj),
                                           view.format != nullptr ? view.format : "B"),
                    PyExc_TypeError);
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

/// Whether `obj` (or the object a `memoryview` is of) is a file mapping opened read-only,
/// which no code can write to: dropping its pages loses nothing.
[[nodiscard]] bool exports_read_only_mapping(PyObject *obj) noexcept {
    if (PyMemoryView_Check(obj)) {
        obj = PyMemoryView_GET_BUFFER(obj)->obj;
        if (obj == nullptr) {
            return false;
        }
    }
    if (std::strcmp(Py_TYPE(obj)->tp_name, "mmap.mmap") != 0) {
        return false;
    }
    // The mapping's own export says how it was opened, whatever view was taken of it.
    Py_buffer probe;
    if (PyObject_GetBuffer(obj, &probe, PyBUF_SIMPLE) != 0) {
        PyErr_Clear();
        return false;
    }
    const bool read_only = probe.readonly != 0;
    PyBuffer_Release(&probe);
    return read_only;
}

} // namespace

bool check_buffer_type(PyObject *obj) noexcept {
    if (is_bytes_or_bytearray(obj) || PyObject_CheckBuffer(obj)) {
        return true;
    }
    try {
        to_py_error(format_message("buffer must be of type `bytes` or `bytearray` but got `{}`",
                                   pretty_type(obj)),
                    PyExc_TypeError);
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}

bool InputView::acquire(PyObject *obj) noexcept {
    const bool plain = is_bytes_or_bytearray(obj);
    // Strides and format from other exporters, so that a layout other than plain bytes is
    // seen and refused rather than read as if it were one.
    if (PyObject_GetBuffer(obj, &view_, plain ? PyBUF_SIMPLE : PyBUF_RECORDS_RO) != 0) {
        return false;
    }
    held_ = true;
    Py_INCREF(obj);
    source_ = obj;
    if (!plain && (!is_byte_format(view_.format) || view_.itemsize != 1 ||
                   PyBuffer_IsContiguous(&view_, 'C') == 0)) {
        return fail_buffer_layout(obj, view_);
    }
    if (!compat::HELD_EXPORTS_PIN_MEMORY && !PyBytes_Check(obj)) {
        return hold_private_copy();
    }
    read_only_mapping_ = !plain && exports_read_only_mapping(obj);
    return true;
}

bool InputView::hold_private_copy() noexcept {
    PyObject *copy = PyBytes_FromStringAndSize(static_cast<const char *>(view_.buf), view_.len);
    PyBuffer_Release(&view_);
    held_ = false;
    Py_DECREF(source_);
    source_ = copy;
    if (copy == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    if (PyObject_GetBuffer(copy, &view_, PyBUF_SIMPLE) != 0) {
        return false;
    }
    held_ = true;
    return true;
}

bool InputView::has_starting_marker() const noexcept {
    return len() >= STARTING_MARKER.size() &&
           std::memcmp(data(), STARTING_MARKER.data(), STARTING_MARKER.size()) == 0;
}

bool fail_missing_starting_marker() noexcept {
    return fail_deserialization(
        format_message("{}: missing starting marker `{}`", "Corrupted data", STARTING_MARKER));
}

void PageReleaser::enable(const std::uint8_t *data, std::size_t len, std::size_t from) noexcept {
    // A small input costs little to keep resident.
    if (len >= 2 * STEP) {
        data_ = data;
        len_ = len;
        released_ = from;
        next_ = from + STEP;
    }
}

void PageReleaser::release(std::size_t pos) noexcept {
    pos = std::min(pos, len_);
    next_ = pos > SIZE_MAX - STEP ? SIZE_MAX : pos + STEP;
    // Whole pages only, all inside the mapping; the one under `pos` stays.
    static const auto page = static_cast<std::uintptr_t>(compat::page_size());
    const auto base = reinterpret_cast<std::uintptr_t>(data_);
    const std::uintptr_t begin = (base + released_ + page - 1) / page * page;
    const std::uintptr_t end = (base + pos) / page * page;
    if (end > begin) {
        compat::release_mapped_pages(begin, end - begin);
    }
    released_ = pos;
}
