#pragma once
// Objects of caller-registered types: written as `TypeFlag::Custom`, the identifier and
// the converter's result, or as the result alone for a one-way registration.
#include <Python.h>

#include "serializing/primitives.hpp"
#include "utils/compiler.hpp"

/// The registration that applies to objects of `type`, or null (see CustomTypeMap::find).
[[nodiscard]] inline const CustomType *get_custom_type_mapping(const CustomTypeMap *custom_types,
                                                               PyTypeObject *type) noexcept {
    if (!custom_types || custom_types->empty()) {
        return nullptr;
    }
    return custom_types->find(type);
}

/// `TypeFlag::Custom`, the identifier and the converted value, or the value alone. The
/// converter's result is released as soon as it is written: the string cache holds its own
/// references to the strings inside it.
template <PyBytesBuffer B>
[[nodiscard]] bool write_custom_value(PyObject *obj, B &buffer, SerializingStringCache &cache,
                                      const SerializationSettings &settings,
                                      const CustomType &custom_type) {
    if (!custom_type.one_way) {
        if (!buffer.push(flag_byte(TypeFlag::Custom)) ||
            !serialize(custom_type.identifier.get(), buffer, cache, settings)) {
            return false;
        }
    }
    PyPointer converted = call_with_one_arg(custom_type.converter.get(), obj);
    ++settings.python_calls;
    if (!converted) {
        // Nesting too deep is the walk's error, whichever call reached the limit.
        if (!depth_error_pending()) {
            wrap_callback_error("Failed to serialize custom type", SERIALIZATION_ERROR_TYPE);
        }
        return false;
    }
    const bool ok = serialize(converted.get(), buffer, cache, settings);
    // Dropping the result may run a finalizer.
    converted = PyPointer();
    ++settings.python_calls;
    return ok;
}

/// Writes `obj` through `custom_type`.
template <PyBytesBuffer B>
VEZUVIR_NOINLINE bool serialize_custom_type(PyObject *obj, B &buffer, SerializingStringCache &cache,
                                            const SerializationSettings &settings,
                                            const CustomType &custom_type) {
    // A converter may return another object of its own type; bound that like nesting.
    static constexpr const char *WHERE = " while serializing a custom type";
    const RecursionGuard guard(WHERE);
    if (!guard.entered()) {
        return false;
    }
    if (write_custom_value(obj, buffer, cache, settings, custom_type)) {
        return true;
    }
    // Which call reaches the limit first in a value nested without end (the converter's,
    // a container's) is an accident of how many each level makes: one error for all.
    rename_depth_error(WHERE);
    return false;
}
