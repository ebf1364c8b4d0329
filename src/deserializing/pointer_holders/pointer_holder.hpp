#pragma once
// The reader's half of the back-reference table: every string written in full is
// appended in stream order; back-references fetch it by index.
#include <Python.h>

#include <concepts>
#include <cstdint>

#include "utils/safe_py_pointer.hpp"

/// What every decoding routine needs of a back-reference table (static dispatch only).
template <class H>
concept PointerHolder = requires(H &holder, PyObject *str, std::uint64_t index) {
    /// Appends `str` (takes its own reference); false only when memory runs out.
    { holder.insert(str) } -> std::same_as<bool>;
    /// New reference to entry `index`, or empty with DeserializationError set.
    { holder.safe_get(index) } -> std::same_as<PyPointer>;
};
