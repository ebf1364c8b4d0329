#pragma once
// Module-wide handles, written once by module initialisation and only read afterwards
// (every call holds the interpreter lock). None is ever released.
#include <Python.h>

/// The empty tuple: what an empty list decodes to when tuples are requested.
inline PyObject *EMPTY_TUPLE = nullptr;
/// The shared empty `str` handed out for every decoded empty string.
inline PyObject *EMPTY_STRING = nullptr;
/// The shared empty `bytes`.
inline PyObject *EMPTY_BYTES = nullptr;
/// `vezuvir.exceptions.SerializationError`.
inline PyObject *SERIALIZATION_ERROR_TYPE = nullptr;
/// `vezuvir.serialize.settings.CustomType`.
inline PyObject *CUSTOM_TYPE_CLASS = nullptr;
/// `vezuvir.deserialize.lazy_load.Idx`.
inline PyObject *IDX_CLASS = nullptr;
/// `datetime.datetime.isoformat`, unbound, so subclasses' overrides are not used.
inline PyObject *ISO_FORMAT_FUNC = nullptr;
/// `datetime.datetime`, from the datetime C API.
inline PyTypeObject *DATETIME_TYPE = nullptr;
