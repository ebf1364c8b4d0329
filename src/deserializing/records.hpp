#pragma once
// Record logs: encodings written one after another into one buffer or file. The entry
// points read one record at an offset and report where it ended, so that iterating
// over a log of any length stays a thin loop in Python.
#include <Python.h>

#include <cstddef>
#include <cstdint>

/// Reads an `int` argument `name` that must lie in [0, `len`]; false with TypeError or
/// ValueError set otherwise.
[[nodiscard]] bool read_offset(PyObject *value, const char *name, std::size_t len,
                               std::size_t &out) noexcept;

/// Whether a record (its starting marker "<o>") starts at `pos`.
[[nodiscard]] bool starts_record(const std::uint8_t *data, std::size_t len,
                                 std::size_t pos) noexcept;

/// Prefixes a pending DeserializationError with the offset of the record it is about:
/// "record at byte offset {start}: ...". Other errors are left as they are.
void name_failed_record(std::size_t start) noexcept;
