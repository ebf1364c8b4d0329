#pragma once
// Non-owning hashable wrapper of a Python object, for hash maps keyed by Python values.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "utils/py_helpers.hpp"

/// FxHash of one machine word.
[[nodiscard]] inline std::size_t fx_hash(std::uint64_t word) noexcept {
    constexpr std::uint64_t seed = 0xf1357aea2e62a9c5ULL;
    const std::uint64_t h = word * seed;
    return static_cast<std::size_t>((h << 26) | (h >> 38));
}

/// Borrowed key: whoever fills the map keeps the object alive for the map's lifetime.
/// Hashed by the Python hash (computed once, when the key is made), equal by Python `==`.
struct PyKey {
    /// The object (borrowed).
    PyObject *obj;
    /// `PyObject_Hash(obj)`; -1 only if hashing failed (the caller checks `PyErr_Occurred`).
    Py_hash_t hash;

    explicit PyKey(PyObject *o) noexcept : obj(o), hash(PyObject_Hash(o)) {}

    /// Python `==`; a comparison that raises an `Exception` counts as "not equal". One
    /// that must pass through (KeyboardInterrupt, ...) stays pending, every later
    /// comparison answers "not equal" at once, and the caller of the look-up reports it.
    bool operator==(const PyKey &other) const noexcept {
        if (obj == other.obj) {
            return true;
        }
        if (PyErr_Occurred() != nullptr) [[unlikely]] {
            return false;
        }
        const int r = PyObject_RichCompareBool(obj, other.obj, Py_EQ);
        if (r < 0) {
            (void)clear_mapped_error();
        }
        return r == 1;
    }
};

/// Hasher of `PyKey` for std containers.
struct PyKeyHash {
    std::size_t operator()(const PyKey &key) const noexcept {
        return fx_hash(static_cast<std::uint64_t>(key.hash));
    }
};
