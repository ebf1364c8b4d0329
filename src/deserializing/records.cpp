// `skip_record`: where the record at an offset ends, found without building anything.
#include "deserializing/records.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

bool read_offset(PyObject *value, const char *name, std::size_t len, std::size_t &out) noexcept {
    if (!PyLong_Check(value)) {
        try {
            to_py_error(format_message("{} must be an int, not {}", name, pretty_type(value)),
                        PyExc_TypeError);
        } catch (...) {
            PyErr_NoMemory();
        }
        return false;
    }
    int overflow = 0;
    const long long offset = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (offset == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow != 0 || offset < 0 || static_cast<unsigned long long>(offset) > len) {
        PyPointer text = PyPointer::steal(PyObject_Repr(value));
        if (!text) {
            return false;
        }
        PyErr_Format(PyExc_ValueError, "%s %S is outside the buffer of %zu bytes", name, text.get(),
                     len);
        return false;
    }
    out = static_cast<std::size_t>(offset);
    return true;
}

bool starts_record(const std::uint8_t *data, std::size_t len, std::size_t pos) noexcept {
    return pos <= len && len - pos >= STARTING_MARKER.size() &&
           std::memcmp(data + pos, STARTING_MARKER.data(), STARTING_MARKER.size()) == 0;
}

bool check_positional_count(const char *function, Py_ssize_t nargs, Py_ssize_t most) noexcept {
    if (nargs >= 1 && nargs <= most) {
        return true;
    }
    PyErr_Format(PyExc_TypeError,
                 "%s() takes from 1 to %zd positional arguments but %zd were given", function, most,
                 nargs);
    return false;
}

bool hold_at_offset(InputView &input, PyObject *buffer, PyObject *offset,
                    std::size_t &out) noexcept {
    out = 0;
    return input.acquire(buffer) &&
           (offset == nullptr || read_offset(offset, "offset", input.len(), out));
}

bool record_from(const InputView &input, std::size_t offset, const std::uint8_t *&data,
                 std::size_t &len) noexcept {
    data = input.data() + offset;
    len = input.len() - offset;
    return starts_record(data, len, 0) || fail_missing_starting_marker();
}

namespace {

/// The pending exception, taken from the interpreter and normalised: put back by
/// `restore`, or dropped with this object.
class PendingError {
  public:
    PendingError() noexcept {
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        PyErr_NormalizeException(&type, &value, &traceback);
        type_ = PyPointer::steal(type);
        value_ = PyPointer::steal(value);
        traceback_ = PyPointer::steal(traceback);
    }
    [[nodiscard]] PyObject *value() const noexcept { return value_.get(); }
    void restore() noexcept {
        PyErr_Restore(type_.release(), value_.release(), traceback_.release());
    }

  private:
    PyPointer type_;
    PyPointer value_;
    PyPointer traceback_;
};

} // namespace

void recast_error(PyObject *matching, PyObject *prefix) noexcept {
    if (!PyErr_ExceptionMatches(matching)) {
        return;
    }
    const PendingError pending;
    // Built as a Python string, so that any text of the message survives.
    PyPointer message =
        PyPointer::steal(prefix != nullptr ? PyUnicode_FromFormat("%U%S", prefix, pending.value())
                                           : PyObject_Str(pending.value()));
    if (message) {
        PyErr_SetObject(DESERIALIZATION_ERROR_TYPE, message.get());
    } else {
        PyErr_NoMemory();
    }
}

void name_failed_record(std::size_t start) noexcept {
    if (!PyErr_ExceptionMatches(DESERIALIZATION_ERROR_TYPE)) {
        return;
    }
    PyObject *prefix = PyUnicode_FromFormat("record at byte offset %zu: ", start);
    if (prefix == nullptr) {
        PyErr_NoMemory();
        return;
    }
    recast_error(DESERIALIZATION_ERROR_TYPE, prefix);
    Py_DECREF(prefix);
}

namespace {

/// Gives a pending "Unexpected end of input" the offset the record cannot end before, as
/// its `needed` attribute: the end of the last length the skipper stepped over (`pos`, from
/// the record's start), or one byte past the input. A reader of a stream learns from it
/// how much more to read, and when a record declares more than it will hold.
void note_needed_end(std::size_t offset, std::size_t pos, std::size_t len) noexcept {
    if (!PyErr_ExceptionMatches(DESERIALIZATION_ERROR_TYPE)) {
        return;
    }
    PendingError pending;
    PyPointer message = PyPointer::steal(PyObject_Str(pending.value()));
    if (message &&
        PyUnicode_CompareWithASCIIString(message.get(), "Unexpected end of input") == 0) {
        const std::size_t needed = std::max(pos, len + 1);
        constexpr std::size_t most = std::numeric_limits<std::size_t>::max();
        PyPointer number =
            PyPointer::steal(PyLong_FromSize_t(needed > most - offset ? most : offset + needed));
        if (!number || PyObject_SetAttrString(pending.value(), "needed", number.get()) != 0) {
            return; // that error stands
        }
    } else if (!message) {
        PyErr_Clear();
    }
    pending.restore();
}

} // namespace

PyObject *skip_record_impl(PyObject *const *args, Py_ssize_t nargsf) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    InputView input;
    std::size_t offset = 0;
    if (!check_positional_count("skip_record", nargs, 2) || !check_buffer_type(args[0]) ||
        !hold_at_offset(input, args[0], nargs > 1 ? args[1] : nullptr, offset)) {
        return nullptr;
    }
    const std::uint8_t *data = nullptr;
    std::size_t len = 0;
    if (!record_from(input, offset, data, len)) {
        return nullptr;
    }
    PositionPointerHolder holder(data, len);
    if (input.is_read_only_mapping()) {
        holder.release_pages_behind();
    }
    std::size_t pos = STARTING_MARKER.size();
    if (!skip_object(data, len, pos, holder)) {
        note_needed_end(offset, pos, len);
        // The skipper's TypeErrors ("Unexpected flag", ...) are about the bytes here: the
        // arguments were all checked above.
        recast_error(PyExc_TypeError, nullptr);
        return nullptr;
    }
    // The last value may have been stepped over by arithmetic alone.
    if (pos > len) {
        fail_unexpected_end();
        note_needed_end(offset, pos, len);
        return nullptr;
    }
    return PyLong_FromSize_t(offset + pos);
}
