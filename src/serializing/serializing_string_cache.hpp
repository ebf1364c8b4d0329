#pragma once
// Maps strings met during one encoding to numbers: the back-reference index of every
// string written in full (`SerializingStringCache`), and the position of each key of a
// dict (`KeyPositions`, compound_types.hpp). Both sit on `StrIndexMap`.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <utility>

#include "utils/compat.hpp"

/// Open-addressing map from exact `str` objects to 64-bit numbers.
///
/// Hashed by the hash the string object caches (no hashing of our own), so a repeated
/// string costs one multiply and usually one slot. A probe matches by identity first,
/// then by equal hash and `PyUnicode_Compare`. The map holds a strong reference to every
/// key: Python code that runs during the walk (converters, `isoformat`, the writer) may
/// drop the tree's last reference to a string, and a freed address taken by a new string
/// must never match by identity.
class StrIndexMap {
  public:
    StrIndexMap() noexcept = default;
    StrIndexMap(const StrIndexMap &) = delete;
    StrIndexMap &operator=(const StrIndexMap &) = delete;
    StrIndexMap(StrIndexMap &&other) noexcept
        : slots_(std::move(other.slots_)), mask_(other.mask_), shift_(other.shift_),
          size_(std::exchange(other.size_, 0)) {}
    StrIndexMap &operator=(StrIndexMap &&) = delete;
    ~StrIndexMap() {
        for (std::size_t i = 0; slots_ && i <= mask_; ++i) {
            Py_XDECREF(slots_[i].str);
        }
    }

    /// Number of keys.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }

    /// The value stored for `str` (whose hash is `hash`), or null.
    [[nodiscard]] const std::uint64_t *find(PyObject *str, Py_hash_t hash) const noexcept {
        if (size_ == 0) {
            return nullptr;
        }
        for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.str == nullptr) {
                return nullptr;
            }
            if (matches(slot, str, hash)) {
                return &slot.value;
            }
        }
    }

    /// Returns the value stored for `str`, or stores `value` for it and returns null.
    /// May throw std::bad_alloc.
    [[nodiscard]] const std::uint64_t *find_or_insert(PyObject *str, Py_hash_t hash,
                                                      std::uint64_t value) {
        if ((size_ + 1) * 2 > capacity()) [[unlikely]] {
            rehash();
        }
        std::size_t i = home(hash);
        for (;; i = (i + 1) & mask_) {
            const Slot &slot = slots_[i];
            if (slot.str == nullptr) {
                break;
            }
            if (matches(slot, str, hash)) {
                return &slot.value;
            }
        }
        Py_INCREF(str);
        slots_[i] = Slot{str, hash, value};
        ++size_;
        return nullptr;
    }

  private:
    struct Slot {
        /// The key (owned), or null for a free slot.
        PyObject *str;
        Py_hash_t hash;
        std::uint64_t value;
    };

    [[nodiscard]] std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }

    /// First slot to probe: the high bits of a Fibonacci multiply, so that hashes
    /// differing only in their upper bits still spread.
    [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
        const std::uint64_t mixed = static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> shift_);
    }

    [[nodiscard]] static bool matches(const Slot &slot, PyObject *str, Py_hash_t hash) noexcept {
        return slot.str == str || (slot.hash == hash && PyUnicode_Compare(slot.str, str) == 0);
    }

    /// Doubles the table (16 slots at first), moving the keys by their stored hashes.
    [[gnu::cold, gnu::noinline]] void rehash() {
        const std::size_t old_capacity = capacity();
        const std::size_t new_capacity = old_capacity == 0 ? 16 : old_capacity * 2;
        auto fresh = std::make_unique<Slot[]>(new_capacity);
        std::unique_ptr<Slot[]> old = std::exchange(slots_, std::move(fresh));
        mask_ = new_capacity - 1;
        shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(new_capacity));
        for (std::size_t j = 0; j < old_capacity; ++j) {
            if (old[j].str == nullptr) {
                continue;
            }
            std::size_t i = home(old[j].hash);
            while (slots_[i].str != nullptr) {
                i = (i + 1) & mask_;
            }
            slots_[i] = old[j];
        }
    }

    std::unique_ptr<Slot[]> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
};

/// The strings of one encoding, each with the back-reference index it received when it
/// was written in full (0, 1, 2, ... in output order).
class SerializingStringCache {
  public:
    /// On a hit sets `index` to the string's index and returns true. On a miss enters
    /// the string with the next index and returns false: the caller writes it in full.
    [[nodiscard]] bool lookup_or_insert(PyObject *str, std::uint64_t &index) {
        const std::uint64_t *found = map_.find_or_insert(str, compat::str_hash(str), map_.size());
        if (found != nullptr) {
            index = *found;
            return true;
        }
        return false;
    }

  private:
    StrIndexMap map_;
};
