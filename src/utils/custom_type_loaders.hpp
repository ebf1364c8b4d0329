#pragma once
// The decoding side's map from custom type identifier to converter.
#include <Python.h>

#include <unordered_map>

#include "utils/py_dict_key.hpp"

/// identifier -> converter, both borrowed from the caller's `custom_types` dict, which
/// outlives the call.
using LoadsCustomTypes = std::unordered_map<PyKey, PyObject *, PyKeyHash>;

/// Checks the `custom_types` argument of the readers and fills `out`. False with
/// TypeError "custom_types must be a dict" / "custom_types value must be a function"
/// (or the error of an unhashable key) on failure.
[[nodiscard]] bool parse_loads_custom_types_dict(PyObject *obj, LoadsCustomTypes &out);
