#include "deserializing/custom_types.hpp"

#include <string>
#include <utility>

#include "deserializing/utils.hpp"
#include "utils/py_helpers.hpp"

namespace {

/// The converter registered under `identifier` (borrowed from the map's owner), or null.
/// An unhashable identifier is simply not registered.
PyObject *find_converter(const LoadsCustomTypes *custom_types, PyObject *identifier) noexcept {
    if (custom_types == nullptr) {
        return nullptr;
    }
    const PyKey key(identifier);
    if (key.hash == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return nullptr;
    }
    const auto found = custom_types->find(key);
    return found == custom_types->end() ? nullptr : found->second;
}

/// UTF-8 text of a `str` for a message; characters UTF-8 cannot carry (lone surrogates)
/// are escaped rather than failing the message.
bool message_text(PyObject *str, std::string &out) {
    PyPointer encoded =
        PyPointer::steal(PyUnicode_AsEncodedString(str, "utf-8", "backslashreplace"));
    if (!encoded) {
        PyErr_NoMemory();
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()),
               static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

void fail_unknown_custom_type(PyObject *identifier) {
    PyPointer text = to_py_str(identifier);
    std::string utf8;
    if (!text || !message_text(text.get(), utf8)) {
        return;
    }
    fail_deserialization(format_message("Unknown custom type. please provide the correct mapping "
                                        "when deserializing. identifier: `{}` (type: `{}`)",
                                        utf8, pretty_type(identifier)));
}

/// The pending exception, taken out of the interpreter (all three owned, or null).
struct FetchedError {
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
};

/// Takes the pending exception, normalized so that `value` is the exception instance.
FetchedError fetch_error() noexcept {
    FetchedError error;
    PyErr_Fetch(&error.type, &error.value, &error.traceback);
    PyErr_NormalizeException(&error.type, &error.value, &error.traceback);
    if (error.value != nullptr && error.traceback != nullptr) {
        PyException_SetTraceback(error.value, error.traceback);
    }
    return error;
}

/// Replaces the converter's pending exception with DeserializationError "Failed to
/// deserialize custom type", keeping the original as its `__cause__`.
void fail_converter() noexcept {
    FetchedError cause = fetch_error();
    fail_deserialization("Failed to deserialize custom type");
    const FetchedError error = fetch_error();
    if (error.value != nullptr && cause.value != nullptr) {
        PyException_SetCause(error.value, std::exchange(cause.value, nullptr)); // steals
    }
    PyErr_Restore(error.type, error.value, error.traceback);
    Py_XDECREF(cause.type);
    Py_XDECREF(cause.value);
    Py_XDECREF(cause.traceback);
}

} // namespace

bool HeldCustomTypes::parse(PyObject *obj) {
    LoadsCustomTypes map;
    if (!parse_loads_custom_types_dict(obj, map, held_)) {
        return false;
    }
    map_ = std::move(map);
    return true;
}

template <PointerHolder Holder>
PyPointer deserialize_custom_type(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                  Holder &holder, const DecodeSettings &settings) {
    PyPointer identifier = deserialize_object(data, len, pos, holder, settings);
    if (!identifier) {
        return {};
    }
    PyPointer payload = deserialize_object(data, len, pos, holder, settings);
    if (!payload) {
        return {};
    }
    // Our own reference: the converter runs Python code that may drop the caller's.
    PyPointer converter =
        PyPointer::borrow(find_converter(settings.custom_types, identifier.get()));
    if (!converter) {
        fail_unknown_custom_type(identifier.get());
        return {};
    }
    PyPointer args = temporary_tuple_of(payload.get());
    if (!args) {
        return {};
    }
    PyPointer result = PyPointer::steal(PyObject_CallObject(converter.get(), args.get()));
    if (!result) {
        fail_converter();
    }
    return result;
}

template PyPointer deserialize_custom_type<VecPointerHolder>(const std::uint8_t *, std::size_t,
                                                             std::size_t &, VecPointerHolder &,
                                                             const DecodeSettings &);
template PyPointer deserialize_custom_type<PositionPointerHolder>(const std::uint8_t *, std::size_t,
                                                                  std::size_t &,
                                                                  PositionPointerHolder &,
                                                                  const DecodeSettings &);
