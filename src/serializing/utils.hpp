#pragma once
// Module-wide handles, each read from the calling interpreter's module state (see
// module_state.hpp); none is ever released while its module lives.
#include <Python.h>

#include "module_state.hpp"

/// The empty tuple: what an empty list decodes to when tuples are requested.
inline constexpr StateHandle<PyObject *, &ModuleState::empty_tuple> EMPTY_TUPLE{};
/// The shared empty `str` handed out for every decoded empty string.
inline constexpr StateHandle<PyObject *, &ModuleState::empty_string> EMPTY_STRING{};
/// The shared empty `bytes`.
inline constexpr StateHandle<PyObject *, &ModuleState::empty_bytes> EMPTY_BYTES{};
/// `vezuvir.exceptions.SerializationError`.
inline constexpr StateHandle<PyObject *, &ModuleState::serialization_error>
    SERIALIZATION_ERROR_TYPE{};
/// `vezuvir.serialize.settings.CustomType`.
inline constexpr StateHandle<PyObject *, &ModuleState::custom_type_class> CUSTOM_TYPE_CLASS{};
/// `vezuvir.deserialize.lazy_load.Idx`.
inline constexpr StateHandle<PyObject *, &ModuleState::idx_class> IDX_CLASS{};
/// `datetime.datetime.isoformat`, unbound, so subclasses' overrides are not used.
inline constexpr StateHandle<PyObject *, &ModuleState::iso_format_func> ISO_FORMAT_FUNC{};
/// `datetime.datetime`, from the datetime C API.
inline constexpr StateHandle<PyTypeObject *, &ModuleState::datetime_type> DATETIME_TYPE{};
