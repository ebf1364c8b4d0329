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
#include "deserializing/reservation.hpp"
#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/custom_type_loaders.hpp"
#include "utils/limits.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

/// What the caller of a decoding call asked for; passed unchanged through the recursion.
struct DecodeSettings {
    /// identifier -> converter, or null when no `custom_types` was given.
    const LoadsCustomTypes *custom_types = nullptr;
    /// Build tuples instead of lists.
    bool use_tuples = false;
    /// Where finished containers wait for the collector until the whole tree is built;
    /// null: each is shown to it as soon as it is complete.
    compat::HiddenContainers *hidden = nullptr;
    /// The calling thread's nesting bound; one made by default fetches it at each level.
    NestingBound nesting;
    /// Ints larger than this are refused rather than converted in superlinear time.
    IntLimit int_limit;
    /// `max_free_elements`: how many elements the call may create from forms that take
    /// no input bytes per element (the Nones of a packed list, the rows of a structured
    /// list without keys), which a few bytes could otherwise declare by the billion.
    std::uint64_t max_free_elements = DEFAULT_MAX_FREE_ELEMENTS;
    /// What is left of `max_free_elements` in this call.
    mutable std::uint64_t free_elements_left = DEFAULT_MAX_FREE_ELEMENTS;
    /// The input this call's open containers have been promised (see `Reservation`).
    mutable SlotLedger ledger;
    /// Set by a walk that must run none of the caller's converters (`lazy_locate_impl`):
    /// a custom value to decode then fails the walk at once and sets this flag.
    bool *custom_deferred = nullptr;

    /// Room for a container at `pos` that declares `n` items of at least
    /// `min_item_bytes` bytes each, the first `ready` of them already decoded.
    [[nodiscard]] Reservation reserve(std::size_t len, std::size_t pos, std::uint64_t n,
                                      std::size_t min_item_bytes,
                                      std::uint64_t ready = 0) const noexcept {
        return Reservation(ledger, len, pos, n, min_item_bytes, ready);
    }

    /// Takes `n` elements from the budget; false with DeserializationError naming the
    /// keyword, before anything is allocated, when it has not that many left.
    [[nodiscard]] bool take_free_elements(std::uint64_t n) const noexcept {
        if (n > free_elements_left) [[unlikely]] {
            return fail_free_elements();
        }
        free_elements_left -= n;
        return true;
    }

  private:
    VEZUVIR_COLD bool fail_free_elements() const noexcept;
};

/// Handles the keywords of every reader that set its limits, `max_free_elements` and
/// `max_int_digits`: false when `name` is neither; otherwise true, with `ok` telling
/// whether the value was taken (else the TypeError/ValueError is set).
[[nodiscard]] bool parse_limit_keyword(PyObject *name, PyObject *value, DecodeSettings &settings,
                                       bool &ok);

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
