#pragma once
// Objects of caller-registered types: written as `TypeFlag::Custom`, the identifier and
// the converter's result, or as the result alone for a one-way registration.
#include <Python.h>

#include "serializing/primitives.hpp"

/// The registration that applies to objects of `type`, or null (see CustomTypeMap::find).
[[nodiscard]] inline const CustomType *get_custom_type_mapping(const CustomTypeMap *custom_types,
                                                               PyTypeObject *type) noexcept {
    if (!custom_types || custom_types->empty()) {
        return nullptr;
    }
    return custom_types->find(type);
}

/// Writes `obj` through `custom_type`. The converter's result is released as soon as it
/// is written: the string cache holds its own references to the strings inside it.
template <PyBytesBuffer B>
[[gnu::noinline]] bool
serialize_custom_type(PyObject *obj, B &buffer, SerializingStringCache &cache,
                      const SerializationSettings &settings, const CustomType &custom_type) {
    // A converter may return another object of its own type; bound that like nesting.
    const RecursionGuard guard(" while serializing a custom type");
    if (!guard.entered()) {
        return false;
    }
    if (!custom_type.one_way) {
        if (!buffer.push(flag_byte(TypeFlag::Custom)) ||
            !serialize(custom_type.identifier.get(), buffer, cache, settings)) {
            return false;
        }
    }
    PyPointer converted = call_with_one_arg(custom_type.converter.get(), obj);
    ++settings.python_calls;
    if (!converted) {
        wrap_callback_error("Failed to serialize custom type", SERIALIZATION_ERROR_TYPE);
        return false;
    }
    const bool ok = serialize(converted.get(), buffer, cache, settings);
    // Dropping the result may run a finalizer.
    converted = PyPointer();
    ++settings.python_calls;
    return ok;
}
