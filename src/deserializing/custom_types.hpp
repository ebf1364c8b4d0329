#pragma once
// Decoding of `TypeFlag::Custom` values through the caller's converters.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "deserializing/deserialize.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/safe_py_pointer.hpp"

/// The `custom_types` argument of one reader call: the converter map and the strong
/// references its keys and converters are borrowed from, for the whole call.
class HeldCustomTypes {
  public:
    /// Checks and takes the argument; false with the TypeError of
    /// `parse_loads_custom_types_dict` (or MemoryError) set.
    [[nodiscard]] bool parse(PyObject *obj);
    /// The map, or null when no `custom_types` was given.
    [[nodiscard]] const LoadsCustomTypes *get() const noexcept { return map_ ? &*map_ : nullptr; }

  private:
    /// Every identifier and converter: key, converter, key, converter, ...
    std::vector<PyPointer> held_;
    std::optional<LoadsCustomTypes> map_;
};

/// Reads a `TypeFlag::Custom` body at `pos` (just after the flag): the identifier and
/// the payload, each a full encoded value, and returns `converter(payload)` for the
/// converter registered under the identifier. Fails with DeserializationError "Failed to
/// deserialize custom type" when the converter raises (its exception becomes the
/// cause), and with the unknown-identifier message when none is registered.
template <PointerHolder Holder>
[[nodiscard]] PyPointer deserialize_custom_type(const std::uint8_t *data, std::size_t len,
                                                std::size_t &pos, Holder &holder,
                                                const DecodeSettings &settings);

extern template PyPointer deserialize_custom_type<VecPointerHolder>(const std::uint8_t *,
                                                                    std::size_t, std::size_t &,
                                                                    VecPointerHolder &,
                                                                    const DecodeSettings &);
extern template PyPointer deserialize_custom_type<PositionPointerHolder>(const std::uint8_t *,
                                                                         std::size_t, std::size_t &,
                                                                         PositionPointerHolder &,
                                                                         const DecodeSettings &);
