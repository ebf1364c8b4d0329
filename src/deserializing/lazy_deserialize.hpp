#pragma once
// Reading one value out of an encoding by path, stepping over everything else.
//
// The skipper moves the read position over encoded values without building objects,
// recording every string it passes in the PositionPointerHolder, in stream order, so
// that a back-reference further on still resolves. Steps over fixed-size or
// length-prefixed data are not bounds-tested on the spot: the position may pass the
// end, and the next read fails with "Unexpected end of input". It never wraps.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "deserializing/deserialize.hpp"
#include "deserializing/pointer_holders/position_pointer_holder.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/safe_py_pointer.hpp"

/// One step of a lazy path: a dict key (owned by the walk's caller, matched with `==`)
/// or a list index.
struct PathElement {
    /// The key, or null for an index.
    PyObject *key = nullptr;
    /// The index, when `key` is null.
    std::uint64_t index = 0;

    [[nodiscard]] bool is_index() const noexcept { return key == nullptr; }
};

/// Steps over one complete encoded value, flag included.
[[nodiscard]] bool skip_object(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                               PositionPointerHolder &holder);
/// Steps over `n` consecutive encoded values.
[[nodiscard]] bool skip_objects(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                PositionPointerHolder &holder, std::uint64_t n);
/// Steps over a string body (position at its varint length), recording its position.
[[nodiscard]] bool skip_string(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                               PositionPointerHolder &holder);
/// Steps over a consistent-type list body (position just after its flag).
[[nodiscard]] bool skip_consistent_type_list(const std::uint8_t *data, std::size_t len,
                                             std::size_t &pos, PositionPointerHolder &holder);

/// Truth of a big-endian binary64: false for +0.0 and -0.0 only (every bit but the
/// sign bit clear); NaN is true.
[[nodiscard]] inline bool f64_is_truthy(const std::uint8_t *at) noexcept {
    std::uint8_t bits = at[0] & 0x7F;
    for (int k = 1; k < 8; ++k) {
        bits |= at[k];
    }
    return bits != 0;
}

/// What the walk does at the end of the path.
struct LazyMode {
    /// How values are decoded: converters, limits (one budget for the whole walk); never
    /// tuples.
    DecodeSettings settings;
    /// Answer presence (True/False) instead of decoding the target.
    bool check_mode = false;
    /// In check mode: any present value counts, falsy ones included.
    bool include_falsy = true;
};

/// Element `index` of a consistent-type list whose elements start at `pos`, or (check
/// mode) whether it counts as present. The caller has checked `index` < count.
[[nodiscard]] PyPointer lazy_load_float_list(const std::uint8_t *data, std::size_t len,
                                             std::size_t pos, std::uint64_t index, bool check);
[[nodiscard]] PyPointer lazy_load_str_list(const std::uint8_t *data, std::size_t len,
                                           std::size_t &pos, std::uint64_t index,
                                           PositionPointerHolder &holder, bool check);
[[nodiscard]] PyPointer lazy_load_bytes_list(const std::uint8_t *data, std::size_t len,
                                             std::size_t &pos, std::uint64_t index, bool check);
[[nodiscard]] PyPointer lazy_load_bool_list(const std::uint8_t *data, std::size_t len,
                                            std::size_t pos, std::uint64_t index,
                                            std::uint64_t count);

/// Walks `path` from the value at `pos` and decodes (or, in check mode, judges) the
/// value it reaches. New reference, or empty with an exception set.
[[nodiscard]] PyPointer lazy_deserialize(const std::uint8_t *data, std::size_t len,
                                         std::size_t &pos, PositionPointerHolder &holder,
                                         const LazyMode &mode, std::span<const PathElement> path);
