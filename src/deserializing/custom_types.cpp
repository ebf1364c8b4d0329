#include "deserializing/custom_types.hpp"

#include "deserializing/utils.hpp"
#include "utils/py_helpers.hpp"
#include "utils/value_text.hpp"

namespace {

/// The converter registered under `identifier` (borrowed from the map's owner), or null:
/// then either nothing is registered (no error set; an unhashable identifier is simply
/// not registered) or an error that must pass through is pending.
PyObject *find_converter(const LoadsCustomTypes *custom_types, PyObject *identifier) noexcept {
    if (custom_types == nullptr) {
        return nullptr;
    }
    const PyKey key(identifier);
    if (key.hash == -1 && PyErr_Occurred()) {
        (void)clear_mapped_error();
        return nullptr;
    }
    const auto found = custom_types->find(key);
    if (PyErr_Occurred() != nullptr) {
        return nullptr; // an `__eq__` raised what must pass through
    }
    return found == custom_types->end() ? nullptr : found->second;
}

void fail_unknown_custom_type(PyObject *identifier) {
    // Bounded: the identifier is the input's, and a few bytes of it can print as gigabytes.
    PyPointer text = bounded_text(identifier);
    if (!text) {
        return; // str(identifier) raised: that error stands
    }
    fail_deserialization(format_message("Unknown custom type. please provide the correct mapping "
                                        "when deserializing. identifier: `{}` (type: `{}`)",
                                        display_text(text.get()), pretty_type(identifier)));
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
    if (settings.custom_deferred != nullptr) [[unlikely]] {
        // A stand-in error that ends the walk; whoever set the flag clears it.
        *settings.custom_deferred = true;
        PyErr_SetString(PyExc_RuntimeError, "custom value deferred");
        return {};
    }
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
        if (PyErr_Occurred() == nullptr) {
            fail_unknown_custom_type(identifier.get());
        }
        return {};
    }
    PyPointer args = temporary_tuple_of(payload.get());
    if (!args) {
        return {};
    }
    PyPointer result = PyPointer::steal(PyObject_CallObject(converter.get(), args.get()));
    if (!result) {
        wrap_callback_error("Failed to deserialize custom type", DESERIALIZATION_ERROR_TYPE);
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
