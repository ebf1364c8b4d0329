#pragma once
// The decoding side's map from custom type identifier to converter.
#include <Python.h>

#include <unordered_map>
#include <vector>

#include "utils/py_dict_key.hpp"
#include "utils/safe_py_pointer.hpp"

/// identifier -> converter, both borrowed from the strong references that
/// `parse_loads_custom_types_dict` hands back beside the map.
using LoadsCustomTypes = std::unordered_map<PyKey, PyObject *, PyKeyHash>;

/// Checks the `custom_types` argument of the readers and fills `out`, and `held` with a
/// reference to every identifier and converter the map names (key, converter, key, ...):
/// converters and keys' `__eq__`/`__hash__` run Python code that could empty the caller's
/// dict, and PyPy frees the objects dict iteration lends once nothing owns them. False
/// with TypeError "custom_types must be a dict" / "custom_types value must be a function"
/// (or the error of an unhashable key) on failure; `out` and `held` are then unchanged.
[[nodiscard]] bool parse_loads_custom_types_dict(PyObject *obj, LoadsCustomTypes &out,
                                                 std::vector<PyPointer> &held);
