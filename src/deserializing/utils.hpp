#pragma once
// Decoding errors and the read-only view of the caller's input.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

/// `vezuvir.exceptions.DeserializationError`; written once by module initialisation.
inline PyObject *DESERIALIZATION_ERROR_TYPE = nullptr;

/// Raises DeserializationError "Unexpected end of input"; returns false.
bool fail_unexpected_end() noexcept;
/// Raises DeserializationError with `message`; returns false.
bool fail_deserialization(std::string_view message) noexcept;

/// Whether `obj` is a `bytes` or `bytearray` (or an instance of a subclass of either);
/// if not, raises the public functions' TypeError and returns false.
[[nodiscard]] bool check_buffer_type(PyObject *obj) noexcept;

/// Read-only view of a `bytes`/`bytearray` input, held through the buffer protocol for
/// the whole call: while it is held a `bytearray` cannot be resized by Python code run
/// during decoding (converters, key comparisons), so the data pointer stays valid.
class InputView {
  public:
    InputView() noexcept = default;
    InputView(const InputView &) = delete;
    InputView &operator=(const InputView &) = delete;
    ~InputView() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
        Py_XDECREF(source_);
    }
    /// Takes the export; false with an exception set on failure.
    [[nodiscard]] bool acquire(PyObject *obj) noexcept;
    [[nodiscard]] const std::uint8_t *data() const noexcept {
        return static_cast<const std::uint8_t *>(view_.buf);
    }
    [[nodiscard]] std::size_t len() const noexcept { return static_cast<std::size_t>(view_.len); }
    /// Whether the input opens with the starting marker "<o>".
    [[nodiscard]] bool has_starting_marker() const noexcept;

  private:
    Py_buffer view_{};
    bool held_ = false;
    /// What the view is of (owned): the input, or a private copy where the interpreter
    /// would let a held `bytearray` be resized.
    PyObject *source_ = nullptr;
};

/// Raises DeserializationError "Corrupted data: missing starting marker `<o>`".
bool fail_missing_starting_marker() noexcept;
