#pragma once
#include <cstdlib>
#include <new>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/utils.hpp"
#include "utils/compiler.hpp"

/// Table of the whole-buffer decoder: it builds every string anyway, so it keeps them.
/// The entries are owned references in a plain array grown with `realloc`, so that growth
/// moves pointers, not reference-holding objects one by one.
class VecPointerHolder {
  public:
    VecPointerHolder() noexcept = default;
    VecPointerHolder(const VecPointerHolder &) = delete;
    VecPointerHolder &operator=(const VecPointerHolder &) = delete;
    ~VecPointerHolder() {
        for (std::size_t i = 0; i < size_; ++i) {
            Py_DECREF(entries_[i]);
        }
        std::free(entries_);
    }

    /// Appends `str` (takes its own reference).
    [[nodiscard]] bool insert(PyObject *str) {
        if (size_ == capacity_) [[unlikely]] {
            grow();
        }
        Py_INCREF(str);
        entries_[size_++] = str;
        return true;
    }
    [[nodiscard]] PyPointer safe_get(std::uint64_t index) noexcept {
        if (index >= size_) [[unlikely]] {
            fail_deserialization("Corrupted data");
            return {};
        }
        return PyPointer::borrow(entries_[index]);
    }
    /// Borrowed entry `index` (no bounds check: callers test `size()` first).
    [[nodiscard]] PyObject *borrowed(std::uint64_t index) const noexcept { return entries_[index]; }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

  private:
    VEZUVIR_NOINLINE void grow() {
        const std::size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        void *entries = std::realloc(entries_, capacity * sizeof(PyObject *));
        if (entries == nullptr) {
            throw std::bad_alloc();
        }
        entries_ = static_cast<PyObject **>(entries);
        capacity_ = capacity;
    }

    /// Entry i has back-reference index i; `size_` of `capacity_` slots are in use.
    PyObject **entries_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};
static_assert(PointerHolder<VecPointerHolder>);
