#pragma once
// Decoding errors and the read-only view of the caller's input.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "module_state.hpp"
#include "utils/compiler.hpp"

/// `vezuvir.exceptions.DeserializationError`, the calling interpreter's.
inline constexpr StateHandle<PyObject *, &ModuleState::deserialization_error>
    DESERIALIZATION_ERROR_TYPE{};

/// Raises DeserializationError "Unexpected end of input"; returns false.
bool fail_unexpected_end() noexcept;
/// Raises DeserializationError with `message`; returns false.
bool fail_deserialization(std::string_view message) noexcept;

/// Whether `obj` can be an input: a `bytes` or `bytearray` (or an instance of a subclass
/// of either), or any other object that exports a buffer (`memoryview`, `mmap.mmap`,
/// `array.array`, ...), whose layout `InputView::acquire` checks. If not, raises the
/// public functions' TypeError and returns false.
[[nodiscard]] bool check_buffer_type(PyObject *obj) noexcept;

/// Gives the pages of a read-only file mapping that a reader has passed back to the page
/// cache, so that stepping through a mapped file of any size does not make them all
/// resident in the process at once. Disabled (a no-op) for every other input.
class PageReleaser {
  public:
    /// Pages are released in steps of this many bytes.
    static constexpr std::size_t STEP = std::size_t{16} << 20;

    /// Whether the reader's position `pos` calls for a release; one compare when disabled.
    VEZUVIR_ALWAYS_INLINE void passed(std::size_t pos) noexcept {
        if (pos >= next_) [[unlikely]] {
            release(pos);
        }
    }
    /// Enables releasing for the mapping `[data, data + len)`, read from `from` on.
    void enable(const std::uint8_t *data, std::size_t len, std::size_t from = 0) noexcept;
    /// The reader stops at `pos`: what it passed since the last release goes too.
    void finish(std::size_t pos) noexcept {
        if (data_ != nullptr) {
            release(pos);
        }
    }

  private:
    void release(std::size_t pos) noexcept;
    const std::uint8_t *data_ = nullptr;
    std::size_t len_ = 0;
    /// Everything below this offset has been released.
    std::size_t released_ = 0;
    /// The position at which the next release is due.
    std::size_t next_ = SIZE_MAX;
};

/// Read-only view of the caller's input, held through the buffer protocol for the whole
/// call: while it is held a `bytearray`, `array` or `mmap` cannot be resized or closed by
/// Python code run during decoding (converters, key comparisons), so the data pointer
/// stays valid. Inputs other than `bytes` and `bytearray` must export C-contiguous bytes.
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
    /// Takes the export; false with an exception set on failure (TypeError for a buffer
    /// that is not C-contiguous bytes).
    [[nodiscard]] bool acquire(PyObject *obj) noexcept;
    [[nodiscard]] const std::uint8_t *data() const noexcept {
        return static_cast<const std::uint8_t *>(view_.buf);
    }
    [[nodiscard]] std::size_t len() const noexcept { return static_cast<std::size_t>(view_.len); }
    /// Whether the input opens with the starting marker "<o>".
    [[nodiscard]] bool has_starting_marker() const noexcept;
    /// Whether the input is a read-only file mapping read in place, whose passed pages a
    /// `PageReleaser` may drop: they come back from the file if they are read again.
    [[nodiscard]] bool is_read_only_mapping() const noexcept { return read_only_mapping_; }

  private:
    /// Swaps the held export for one of a private `bytes` copy of its bytes.
    [[nodiscard]] bool hold_private_copy() noexcept;
    Py_buffer view_{};
    bool held_ = false;
    bool read_only_mapping_ = false;
    /// What the view is of (owned): the input, or a private copy where the interpreter
    /// would let a held buffer be resized or freed.
    PyObject *source_ = nullptr;
};

/// Raises DeserializationError "Corrupted data: missing starting marker `<o>`".
bool fail_missing_starting_marker() noexcept;
