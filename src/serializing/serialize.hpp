#pragma once
// The dispatch: one chain of exact-type comparisons, most common types first; anything
// else (subclasses, dates, custom types, errors) goes to one cold function.
#include <Python.h>

#include "serializing/compound_types.hpp"
#include "serializing/custom_types.hpp"
#include "serializing/primitives.hpp"
#include "utils/compiler.hpp"

/// Objects that no exact-type test caught: dates and custom types, in the order
/// `serialize_dates` selects, or "Unexpected type".
template <PyBytesBuffer B>
VEZUVIR_COLD VEZUVIR_NOINLINE bool serialize_other(PyObject *obj, B &buffer,
                                                   SerializingStringCache &cache,
                                                   const SerializationSettings &settings) {
    PyTypeObject *type = Py_TYPE(obj);
    const bool is_datetime = type == DATETIME_TYPE || PyType_IsSubtype(type, DATETIME_TYPE);
    if (settings.serialize_dates && is_datetime) {
        return serialize_date(obj, buffer, cache, settings);
    }
    if (const CustomType *custom_type =
            get_custom_type_mapping(settings.custom_types.get(), type)) {
        return serialize_custom_type(obj, buffer, cache, settings, *custom_type);
    }
    if (is_datetime) {
        to_py_error("Unexpected type: datetime, with flag serialize_dates disabled",
                    SERIALIZATION_ERROR_TYPE);
    } else {
        to_py_error(format_message("Unexpected type: {}", pretty_type(obj)),
                    SERIALIZATION_ERROR_TYPE);
    }
    return false;
}

/// Appends the encoding of `obj` (borrowed; the caller keeps it alive) to `buffer`.
template <PyBytesBuffer B>
bool serialize(PyObject *obj, B &buffer, SerializingStringCache &cache,
               const SerializationSettings &settings) {
    PyTypeObject *const type = Py_TYPE(obj);
    if (type == &PyUnicode_Type) {
        return serialize_str(obj, buffer, cache);
    }
    if (type == &PyBool_Type) {
        return buffer.push(flag_byte(obj == Py_True ? TypeFlag::True : TypeFlag::False));
    }
    if (type == &PyLong_Type) {
        return serialize_int(obj, buffer, settings);
    }
    if (type == &PyList_Type) {
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        return n == 0 ? buffer.push(flag_byte(TypeFlag::EmptyList))
                      : encode_sequence<true>(obj, n, buffer, cache, settings);
    }
    if (type == &PyTuple_Type) {
        const Py_ssize_t n = PyTuple_GET_SIZE(obj);
        return n == 0 ? buffer.push(flag_byte(TypeFlag::EmptyList))
                      : encode_sequence<false>(obj, n, buffer, cache, settings);
    }
    if (type == &PyDict_Type) {
        return PyDict_GET_SIZE(obj) == 0 ? buffer.push(flag_byte(TypeFlag::EmptyDict))
                                         : encode_dict(obj, buffer, cache, settings);
    }
    if (type == &PyFloat_Type) {
        return serialize_float(obj, buffer);
    }
    if (type == &PyBytes_Type) {
        return serialize_bytes(obj, buffer);
    }
    if (obj == Py_None) {
        return buffer.push(flag_byte(TypeFlag::None));
    }
    return serialize_other(obj, buffer, cache, settings);
}
