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
#include <vector>

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

/// Where a walk that only locates its target stopped (see `lazy_locate_impl`): what is
/// left for the caller to decode, and from where.
struct Located {
    enum class Kind : std::uint8_t {
        /// Nothing: the walk's own result is the answer.
        Done,
        /// The encoded value at `pos`.
        Value,
        /// Row 0 of a structured list at `pos`: `key_count` (key, field) pairs.
        FirstRow,
        /// A later row of a structured list: the fields at `pos`, one for each of `keys`.
        Row,
        /// A packed string element: its length field is at `pos`.
        PackedString,
        /// A packed bytes element: its length field is at `pos`.
        PackedBytes,
    };
    Kind kind = Kind::Done;
    std::size_t pos = 0;
    /// Containers the path stepped into, each one level of nesting.
    std::uint64_t levels = 0;
    /// `FirstRow`: its key count.
    std::uint64_t key_count = 0;
    /// `Row`: the keys of the structured list, decoded from row 0.
    std::vector<PyPointer> keys;

    /// Records the target and returns the walk's placeholder result (None).
    [[nodiscard]] PyPointer found(Kind what, std::size_t at) noexcept {
        kind = what;
        pos = at;
        return PyPointer::borrow(Py_None);
    }
};

/// What the walk does at the end of the path.
struct LazyMode {
    /// How values are decoded: converters, limits (one budget for the whole walk); never
    /// tuples.
    DecodeSettings settings;
    /// Answer presence (True/False) instead of decoding the target.
    bool check_mode = false;
    /// In check mode: any present value counts, falsy ones included.
    bool include_falsy = true;
    /// Set: load mode stops where building the target would start and records it here.
    Located *located = nullptr;
};

/// Element `index` of a consistent-type list whose elements start at `pos`, or (check
/// mode) whether it counts as present. The caller has checked `index` < count.
[[nodiscard]] PyPointer lazy_load_float_list(const std::uint8_t *data, std::size_t len,
                                             std::size_t pos, std::uint64_t index, bool check);
/// Steps over the first `n` elements of a packed string list (each takes its table
/// entry) or bytes list, from the first element's length field at `pos`.
[[nodiscard]] bool skip_packed_strings(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                       std::uint64_t n, PositionPointerHolder &holder);
[[nodiscard]] bool skip_packed_bytes(const std::uint8_t *data, std::size_t len, std::size_t &pos,
                                     std::uint64_t n);
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

/// Steps over `n` encoded values from `pos` and lists, in `out`, the table indices below
/// `below` that their back-references name (unsorted, with repeats). False, with nothing
/// set, for input it cannot step through; the caller then makes no use of `out`.
[[nodiscard]] bool collect_references(const std::uint8_t *data, std::size_t len, std::size_t pos,
                                      std::uint64_t n, std::uint64_t below,
                                      std::vector<std::uint64_t> &out);
