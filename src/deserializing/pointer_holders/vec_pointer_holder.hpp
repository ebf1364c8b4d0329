#pragma once
#include <vector>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/utils.hpp"

/// Table of the whole-buffer decoder: it builds every string anyway, so it keeps them.
class VecPointerHolder {
  public:
    [[nodiscard]] bool insert(PyObject *str) {
        entries_.push_back(PyPointer::borrow(str));
        return true;
    }
    [[nodiscard]] PyPointer safe_get(std::uint64_t index) noexcept {
        if (index >= entries_.size()) [[unlikely]] {
            fail_deserialization("Corrupted data");
            return {};
        }
        return entries_[static_cast<std::size_t>(index)].clone();
    }
    /// Borrowed entry `index` (no bounds check: callers test `size()` first).
    [[nodiscard]] PyObject *borrowed(std::uint64_t index) const noexcept {
        return entries_[static_cast<std::size_t>(index)].get();
    }
    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

  private:
    /// Entry i has back-reference index i.
    std::vector<PyPointer> entries_;
};
static_assert(PointerHolder<VecPointerHolder>);
