#pragma once
// Record logs: encodings written one after another into one buffer or file. The entry
// points read one record at an offset and report where it ended, so that iterating
// over a log of any length stays a thin loop in Python.
#include <Python.h>

#include <cstddef>
#include <cstdint>

class InputView;

/// Reads an `int` argument `name` that must lie in [0, `len`]; false with TypeError or
/// ValueError set otherwise.
[[nodiscard]] bool read_offset(PyObject *value, const char *name, std::size_t len,
                               std::size_t &out) noexcept;

/// Whether a function of 1 to `most` positional arguments got a count it takes; if not,
/// raises the interpreter's TypeError naming `function`.
[[nodiscard]] bool check_positional_count(const char *function, Py_ssize_t nargs,
                                          Py_ssize_t most) noexcept;

/// Holds `buffer` (of a type `check_buffer_type` accepted) in `input` and reads `offset`
/// (0 when null) into `out`; false with the error set.
[[nodiscard]] bool hold_at_offset(InputView &input, PyObject *buffer, PyObject *offset,
                                  std::size_t &out) noexcept;

/// The bytes of `input` from `offset` to its end, read as an encoding of its own: positions
/// in messages count from the record's start. False with "missing starting marker" when no
/// record starts there.
[[nodiscard]] bool record_from(const InputView &input, std::size_t offset,
                               const std::uint8_t *&data, std::size_t &len) noexcept;

/// Whether a record (its starting marker "<o>") starts at `pos`.
[[nodiscard]] bool starts_record(const std::uint8_t *data, std::size_t len,
                                 std::size_t pos) noexcept;

/// Prefixes a pending DeserializationError with the offset of the record it is about:
/// "record at byte offset {start}: ...". Other errors are left as they are.
void name_failed_record(std::size_t start) noexcept;

/// Replaces a pending exception of class `matching` by a DeserializationError whose message
/// is `prefix` (a `str`, or null for none) followed by the original's. Others are left.
void recast_error(PyObject *matching, PyObject *prefix) noexcept;
