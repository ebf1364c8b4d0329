#pragma once
// The object decoder: reads one encoded value at a read position and builds the Python
// object it stands for. Written once over the back-reference table; the whole-buffer
// decoder of `load_bytes` uses `VecPointerHolder`, the lazy readers `PositionPointerHolder`
// (with `use_tuples` off), and both variants are instantiated in deserialize.cpp.
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"
#include "deserializing/pointer_holders/vec_pointer_holder.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/safe_py_pointer.hpp"

/// What the caller of a decoding call asked for; passed unchanged through the recursion.
struct DecodeSettings {
    /// identifier -> converter, or null when no `custom_types` was given.
    const LoadsCustomTypes *custom_types = nullptr;
    /// Build tuples instead of lists.
    bool use_tuples = false;
};

/// Decodes the value whose flag is at `pos` and leaves `pos` just past it. Strings read
/// in full enter `holder` in stream order. Returns a new reference, or empty with the
/// error set (the position is then unspecified). Each nested container or custom value
/// costs one level of the interpreter's recursion limit (RecursionError beyond it).
template <PointerHolder Holder>
[[nodiscard]] PyPointer deserialize_object(const std::uint8_t *data, std::size_t len,
                                           std::size_t &pos, Holder &holder,
                                           const DecodeSettings &settings);

extern template PyPointer deserialize_object<VecPointerHolder>(const std::uint8_t *, std::size_t,
                                                               std::size_t &, VecPointerHolder &,
                                                               const DecodeSettings &);
extern template PyPointer deserialize_object<PositionPointerHolder>(const std::uint8_t *,
                                                                    std::size_t, std::size_t &,
                                                                    PositionPointerHolder &,
                                                                    const DecodeSettings &);
