#pragma once
// The text of a decoded value inside a message, bounded.
#include <Python.h>

#include "utils/safe_py_pointer.hpp"

/// Most characters of a value's text that a message holds.
inline constexpr Py_ssize_t VALUE_TEXT_LIMIT = 200;

/// `str(value)` when that text is at most `VALUE_TEXT_LIMIT` characters long, else its
/// first `VALUE_TEXT_LIMIT` characters and "...", made without building more than that:
/// a value decoded from a few bytes (a list of back-references to one long string) can
/// have a text of gigabytes. `str`, `bytes`, `list`, `tuple` and `dict` (subclasses
/// included) are rendered as their `str()` and `repr()` would be, from at most the first
/// `VALUE_TEXT_LIMIT + 1` characters, bytes or items of each, and `str` and `bytes` inside
/// a container as the `repr` of that prefix; an `int` of more than 640 bits is "<int of N
/// bits>"; other objects give their own `str()` (`repr()` inside a container), cut.
/// Empty with the error set when a `str()` or `repr()` raises.
[[nodiscard]] PyPointer bounded_text(PyObject *value) noexcept;
