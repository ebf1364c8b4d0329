#pragma once
// Maps strings met during one encoding to numbers: the back-reference index of every
// string written in full (`SerializingStringCache`), and the position of each key of a
// dict (`KeyPositions`, compound_types.hpp). Both sit on `StrIndexMap`.
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "utils/compat.hpp"

/// Exact `str` objects numbered 0, 1, 2, ... in the order they were added, with a hash
/// index to find a string's number.
///
/// The strings live in a dense array; the index is an open-addressing table of 8-byte
/// slots, each holding a number and a few hash bits that reject most foreign slots
/// without reading the array. Hashing uses the hash the string object caches, so a
/// repeated string costs one multiply; a probe matches by identity first, then by equal
/// hash and equal text. Growing rebuilds only the slots, from the array.
///
/// The map holds a strong reference to every string: Python code that runs during the
/// walk (converters, `isoformat`, the writer) may drop the tree's last reference to a
/// string, and a freed address taken by a new string must never match by identity.
class StrIndexMap {
  public:
    /// What `find` returns for a string that is not in the map.
    static constexpr std::uint64_t NOT_FOUND = ~std::uint64_t{0};

    StrIndexMap() noexcept = default;
    StrIndexMap(const StrIndexMap &) = delete;
    StrIndexMap &operator=(const StrIndexMap &) = delete;
    StrIndexMap(StrIndexMap &&other) noexcept
        : entries_(std::move(other.entries_)), slots_(std::move(other.slots_)), mask_(other.mask_),
          shift_(other.shift_), indexed_(std::exchange(other.indexed_, 0)) {
        other.entries_.clear();
    }
    StrIndexMap &operator=(StrIndexMap &&) = delete;
    ~StrIndexMap() {
        for (const Entry &entry : entries_) {
            Py_DECREF(entry.str);
        }
    }

    /// Number of strings.
    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    /// The string numbered `index` (borrowed from the map).
    [[nodiscard]] PyObject *at(std::size_t index) const noexcept { return entries_[index].str; }

    /// Adds a string without indexing it yet (`find` indexes what is missing). The caller
    /// knows it is not in the map. May throw std::bad_alloc.
    void append(PyObject *str, Py_hash_t hash) {
        entries_.push_back(Entry{str, hash});
        Py_INCREF(str);
    }

    /// The number of `str` (whose hash is `hash`), or NOT_FOUND. May throw std::bad_alloc.
    [[nodiscard]] std::uint64_t find(PyObject *str, Py_hash_t hash) {
        if (indexed_ != entries_.size()) {
            reindex(entries_.size());
        }
        if (!slots_) {
            return NOT_FOUND;
        }
        std::uint64_t found = NOT_FOUND;
        (void)probe(str, hash, found);
        return found;
    }

    /// The number of `str` if it is in the map; otherwise adds it with the next number
    /// and returns NOT_FOUND. May throw std::bad_alloc.
    [[nodiscard]] std::uint64_t find_or_insert(PyObject *str, Py_hash_t hash) {
        if ((entries_.size() + 1) * 2 > capacity() || indexed_ != entries_.size()) [[unlikely]] {
            reindex(entries_.size() + 1);
        }
        std::uint64_t found = NOT_FOUND;
        const std::size_t free_slot = probe(str, hash, found);
        if (found == NOT_FOUND) {
            const std::uint64_t index = entries_.size();
            append(str, hash);
            slots_[free_slot] = slot_value(index, hash);
            indexed_ = entries_.size();
        }
        return found;
    }

  private:
    struct Entry {
        /// The string (owned).
        PyObject *str;
        Py_hash_t hash;
    };

    /// A slot holds (number + 1) in its low 40 bits, 0 for a free slot, and 24 hash bits
    /// above them.
    static constexpr unsigned INDEX_BITS = 40;
    static constexpr std::uint64_t INDEX_MASK = (std::uint64_t{1} << INDEX_BITS) - 1;

    [[nodiscard]] static std::uint64_t tag(Py_hash_t hash) noexcept {
        return (static_cast<std::uint64_t>(hash) & 0xFFFFFF) << INDEX_BITS;
    }
    [[nodiscard]] static std::uint64_t slot_value(std::uint64_t index, Py_hash_t hash) {
        if (index + 1 > INDEX_MASK) {
            throw std::bad_alloc();
        }
        return (index + 1) | tag(hash);
    }

    [[nodiscard]] std::size_t capacity() const noexcept { return slots_ ? mask_ + 1 : 0; }

    /// First slot to probe: the high bits of a Fibonacci multiply, so that hashes
    /// differing only in their upper bits still spread.
    [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
        const std::uint64_t mixed = static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> shift_);
    }

    /// Walks the probe sequence of `str`: sets `found` if it is there, and returns the
    /// free slot that ends the sequence otherwise. The table has a free slot.
    [[nodiscard]] std::size_t probe(PyObject *str, Py_hash_t hash, std::uint64_t &found) const noexcept {
        const std::uint64_t want = tag(hash);
        for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
            const std::uint64_t slot = slots_[i];
            if (slot == 0) {
                return i;
            }
            if ((slot & ~INDEX_MASK) == want) {
                const std::uint64_t index = (slot & INDEX_MASK) - 1;
                const Entry &entry = entries_[index];
                if (entry.str == str || (entry.hash == hash && compat::str_equal(entry.str, str))) {
                    found = index;
                    return i;
                }
            }
        }
    }

    /// Rebuilds the slots for at least `wanted` strings at half load: 16 slots at first,
    /// then 4 times larger while small, then twice.
    [[gnu::cold, gnu::noinline]] void reindex(std::size_t wanted) {
        std::size_t cap = capacity() == 0 ? 16 : capacity();
        while (wanted * 2 > cap) {
            cap *= cap < (std::size_t{1} << 16) ? 4 : 2;
        }
        if (cap != capacity()) {
            slots_ = std::make_unique<std::uint64_t[]>(cap);
            mask_ = cap - 1;
            shift_ = 64 - static_cast<unsigned>(__builtin_ctzll(cap));
            indexed_ = 0;
        }
        for (; indexed_ < entries_.size(); ++indexed_) {
            std::size_t i = home(entries_[indexed_].hash);
            while (slots_[i] != 0) {
                i = (i + 1) & mask_;
            }
            slots_[i] = slot_value(indexed_, entries_[indexed_].hash);
        }
    }

    std::vector<Entry> entries_;
    std::unique_ptr<std::uint64_t[]> slots_;
    std::size_t mask_ = 0;
    unsigned shift_ = 64;
    /// Entries before this one are in the slots.
    std::size_t indexed_ = 0;
};

/// The strings of one encoding, each with the back-reference index it received when it
/// was written in full (0, 1, 2, ... in output order).
class SerializingStringCache {
  public:
    /// On a hit sets `index` to the string's index and returns true. On a miss enters
    /// the string with the next index and returns false: the caller writes it in full.
    [[nodiscard]] bool lookup_or_insert(PyObject *str, std::uint64_t &index) {
        index = map_.find_or_insert(str, compat::str_hash(str));
        return index != StrIndexMap::NOT_FOUND;
    }

  private:
    StrIndexMap map_;
};
