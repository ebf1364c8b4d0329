#pragma once
// Maps strings met during one encoding to numbers: the back-reference index of every
// string written in full (`SerializingStringCache`), and the position of each key of a
// dict (`KeyPositions`, compound_types.hpp). Both sit on `StrIndexMap`.
#include <Python.h>

#include <array>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "utils/compat.hpp"
#include "utils/compiler.hpp"

/// Exact `str` objects numbered 0, 1, 2, ... in the order they were added, with a hash
/// index to find a string's number.
///
/// One allocation holds both parts: an open-addressing table of 8-byte slots, each with
/// a number and a few hash bits that reject most foreign slots without reading further,
/// followed by the dense array of strings, which never holds more than half as many
/// entries as there are slots. Hashing uses the hash the string object caches, so a
/// repeated string costs one multiply; a probe matches by identity first, then by equal
/// hash and equal text. Growing copies the array and rebuilds the slots from it.
///
/// The map holds a strong reference to every string: Python code that runs during the
/// walk (converters, `isoformat`, the writer) may drop the tree's last reference to a
/// string, and a freed address taken by a new string must never match by identity.
///
/// With `InlineSlots` (a power of two) the first block lives inside the map, so a map
/// that stays small allocates nothing; such a map cannot be moved.
template <std::size_t InlineSlots = 0> class StrIndexMap {
    static_assert((InlineSlots & (InlineSlots - 1)) == 0);

  public:
    /// What `find` returns for a string that is not in the map.
    static constexpr std::uint64_t NOT_FOUND = ~std::uint64_t{0};

    StrIndexMap() noexcept = default;
    StrIndexMap(const StrIndexMap &) = delete;
    StrIndexMap &operator=(const StrIndexMap &) = delete;
    StrIndexMap(StrIndexMap &&other) noexcept requires(InlineSlots == 0)
        : block_(std::exchange(other.block_, nullptr)), heap_(std::move(other.heap_)),
          capacity_(std::exchange(other.capacity_, 0)), shift_(other.shift_),
          size_(std::exchange(other.size_, 0)), indexed_(std::exchange(other.indexed_, 0)) {}
    StrIndexMap &operator=(StrIndexMap &&) = delete;
    ~StrIndexMap() {
        for (std::size_t i = 0; i < size_; ++i) {
            Py_DECREF(entries()[i].str);
        }
    }

    /// Number of strings.
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// The string numbered `index` (borrowed from the map).
    [[nodiscard]] PyObject *at(std::size_t index) const noexcept { return entries()[index].str; }

    /// Adds a string without indexing it yet (`find` indexes what is missing). The caller
    /// knows it is not in the map. May throw std::bad_alloc.
    void append(PyObject *str, Py_hash_t hash) {
        if ((size_ + 1) * 2 > capacity_) [[unlikely]] {
            grow(size_ + 1);
        }
        entries()[size_++] = Entry{str, hash};
        Py_INCREF(str);
    }

    /// The number of `str` (whose hash is `hash`), or NOT_FOUND.
    [[nodiscard]] std::uint64_t find(PyObject *str, Py_hash_t hash) noexcept {
        if (size_ == 0) {
            return NOT_FOUND;
        }
        index_rest();
        std::uint64_t found = NOT_FOUND;
        (void)probe(str, hash, found);
        return found;
    }

    /// The number of `str` if it is in the map; otherwise adds it with the next number
    /// and returns NOT_FOUND. May throw std::bad_alloc.
    [[nodiscard]] std::uint64_t find_or_insert(PyObject *str, Py_hash_t hash) {
        if ((size_ + 1) * 2 > capacity_) [[unlikely]] {
            grow(size_ + 1);
        }
        index_rest();
        std::uint64_t found = NOT_FOUND;
        const std::size_t free_slot = probe(str, hash, found);
        if (found == NOT_FOUND) {
            slots()[free_slot] = slot_value(size_, hash);
            entries()[size_++] = Entry{str, hash};
            indexed_ = size_;
            Py_INCREF(str);
        }
        return found;
    }

  private:
    struct Entry {
        /// The string (owned).
        PyObject *str;
        Py_hash_t hash;
    };
    static_assert(sizeof(Entry) == 2 * sizeof(std::uint64_t));

    /// A slot holds (number + 1) in its low 40 bits, 0 for a free slot, and 24 hash bits
    /// above them.
    static constexpr unsigned INDEX_BITS = 40;
    static constexpr std::uint64_t INDEX_MASK = (std::uint64_t{1} << INDEX_BITS) - 1;

    [[nodiscard]] std::uint64_t *slots() const noexcept { return block_; }
    [[nodiscard]] Entry *entries() const noexcept {
        return reinterpret_cast<Entry *>(block_ + capacity_);
    }

    [[nodiscard]] static std::uint64_t tag(Py_hash_t hash) noexcept {
        return (static_cast<std::uint64_t>(hash) & 0xFFFFFF) << INDEX_BITS;
    }
    [[nodiscard]] static std::uint64_t slot_value(std::uint64_t index, Py_hash_t hash) noexcept {
        return (index + 1) | tag(hash);
    }

    /// First slot to probe: the high bits of a Fibonacci multiply, so that hashes
    /// differing only in their upper bits still spread.
    [[nodiscard]] std::size_t home(Py_hash_t hash) const noexcept {
        const std::uint64_t mixed = static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
        return static_cast<std::size_t>(mixed >> shift_);
    }

    /// Walks the probe sequence of `str`: sets `found` if it is there, and returns the
    /// free slot that ends the sequence otherwise. The table has a free slot.
    [[nodiscard]] std::size_t probe(PyObject *str, Py_hash_t hash,
                                    std::uint64_t &found) const noexcept {
        const std::uint64_t want = tag(hash);
        const std::size_t mask = capacity_ - 1;
        for (std::size_t i = home(hash);; i = (i + 1) & mask) {
            const std::uint64_t slot = slots()[i];
            if (slot == 0) {
                return i;
            }
            if ((slot & ~INDEX_MASK) == want) {
                const std::uint64_t index = (slot & INDEX_MASK) - 1;
                const Entry &entry = entries()[index];
                if (entry.str == str || (entry.hash == hash && compat::str_equal(entry.str, str))) {
                    found = index;
                    return i;
                }
            }
        }
    }

    /// Enters the strings added by `append` into the slots.
    void index_rest() noexcept {
        const std::size_t mask = capacity_ - 1;
        for (; indexed_ < size_; ++indexed_) {
            std::size_t i = home(entries()[indexed_].hash);
            while (slots()[i] != 0) {
                i = (i + 1) & mask;
            }
            slots()[i] = slot_value(indexed_, entries()[indexed_].hash);
        }
    }

    /// Makes room for `wanted` strings at half load: the inline block or 16 slots at
    /// first, then 4 times larger while small, then twice.
    VEZUVIR_COLD VEZUVIR_NOINLINE void grow(std::size_t wanted) {
        std::size_t cap = capacity_ != 0 ? capacity_ : InlineSlots != 0 ? InlineSlots : 16;
        while (wanted * 2 > cap) {
            cap *= cap < (std::size_t{1} << 16) ? 4 : 2;
        }
        if (cap > (INDEX_MASK >> 1)) {
            throw std::bad_alloc();
        }
        // `cap` slots, then room for cap / 2 entries of two words each.
        std::unique_ptr<std::uint64_t[]> heap;
        std::uint64_t *block = nullptr;
        if constexpr (InlineSlots != 0) {
            if (cap == InlineSlots) {
                block = inline_.data();
            }
        }
        if (block == nullptr) {
            heap = compiler::make_uninitialized_array<std::uint64_t>(2 * cap);
            block = heap.get();
        }
        std::memset(block, 0, cap * sizeof(std::uint64_t));
        if (size_ != 0) {
            std::memcpy(block + cap, entries(), size_ * sizeof(Entry));
        }
        block_ = block;
        heap_ = std::move(heap);
        capacity_ = cap;
        shift_ = 64 - static_cast<unsigned>(std::countr_zero(cap));
        indexed_ = 0;
    }

    struct NoInlineBlock {};

    /// The slots and entries: `inline_` or `heap_`.
    std::uint64_t *block_ = nullptr;
    std::unique_ptr<std::uint64_t[]> heap_;
    /// Left uninitialised until first used.
    [[no_unique_address]] std::conditional_t<InlineSlots == 0, NoInlineBlock,
                                             std::array<std::uint64_t, 2 * InlineSlots>>
        inline_;
    /// Number of slots (a power of two), 0 before the first string.
    std::size_t capacity_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
    /// Strings before this number are in the slots.
    std::size_t indexed_ = 0;
};

/// The strings of one encoding, each with the back-reference index it received when it
/// was written in full (0, 1, 2, ... in output order).
///
/// Every string met is looked up, so this is a flat open-addressing table of its own
/// rather than a `StrIndexMap`: each slot holds the string itself next to its index and
/// the top bits of its mixed hash, so the common hit (the same key object again) is one
/// load and one compare, and a miss usually ends at the first free slot, where the
/// string goes. Equal strings that are distinct objects match by hash bits, then text.
/// The stored bits also give a string's home slot in a larger table, so growing never
/// reads the strings again (each read would be a cache miss on a large document).
///
/// When Python code may run during the walk, the table holds a strong reference to
/// every string, for the reason given at `StrIndexMap`. Otherwise the tree keeps every
/// string alive for the whole call and the table only borrows them: on a large
/// document, touching each string's count twice more costs more than the look-ups.
class SerializingStringCache {
  public:
    explicit SerializingStringCache(bool hold_references) noexcept
        : hold_references_(hold_references) {}
    SerializingStringCache(const SerializingStringCache &) = delete;
    SerializingStringCache &operator=(const SerializingStringCache &) = delete;
    ~SerializingStringCache() {
        if (track_) {
            for (std::size_t k = 0; k < size_; ++k) {
                const std::uint32_t at = used_[k];
                if (hold_references_) {
                    Py_DECREF(slots_[at].str);
                }
                slots_[at] = Slot{nullptr, 0};
            }
            heap_.give_back(true);
        } else if (hold_references_) {
            for (std::size_t i = 0; i < capacity_; ++i) {
                if (slots_[i].str != nullptr) {
                    Py_DECREF(slots_[i].str);
                }
            }
        }
    }

    /// On a hit sets `index` to the string's index and returns true. On a miss enters
    /// the string with the next index and returns false: the caller writes it in full.
    /// May throw std::bad_alloc.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool lookup_or_insert(PyObject *str, std::uint64_t &index) {
        if (size_ * 2 >= capacity_) [[unlikely]] {
            grow();
        }
        const std::uint64_t mixed = mix(compat::str_hash(str));
        const std::uint64_t tag = tag_of(mixed);
        const std::size_t mask = capacity_ - 1;
        for (auto i = static_cast<std::size_t>(mixed >> shift_);; i = (i + 1) & mask) {
            Slot &slot = slots_[i];
            if (slot.str == str) [[likely]] {
                index = slot.packed & INDEX_MASK;
                return true;
            }
            if (slot.str == nullptr) {
                if (track_) {
                    // Room for every string the table holds before it grows.
                    used_[size_] = static_cast<std::uint32_t>(i);
                }
                slot.str = str;
                slot.packed = size_ | tag;
                if (hold_references_) {
                    Py_INCREF(str);
                }
                ++size_;
                return false;
            }
            if ((slot.packed & ~INDEX_MASK) == tag && compat::str_equal(slot.str, str)) {
                index = slot.packed & INDEX_MASK;
                return true;
            }
        }
    }

  private:
    struct Slot {
        /// The string (owned), null for a free slot.
        PyObject *str;
        /// Index in the low INDEX_BITS bits, hash bits above.
        std::uint64_t packed;
    };

    /// A heap block of slots, all free when made or kept. One block of a middling size
    /// outlives each call (`give_back`) and is taken up by the next call that outgrows
    /// a few hundred strings: a document with thousands of them then starts at its
    /// size instead of growing through every smaller one, into memory that is warm.
    /// Small documents never touch it. Taken and given back whole, so that a call made
    /// from Python code inside another (a converter) simply makes its own.
    class SlotBlock {
      public:
        /// Blocks this large or larger are taken from the kept one when it is larger
        /// still, and kept up to MAX_KEPT slots (1 MiB).
        static constexpr std::size_t MIN_KEPT = 1024;
        static constexpr std::size_t MAX_KEPT = std::size_t{1} << 16;

        SlotBlock() noexcept = default;
        SlotBlock(const SlotBlock &) = delete;
        SlotBlock &operator=(const SlotBlock &) = delete;
        SlotBlock(SlotBlock &&other) noexcept : base_(std::exchange(other.base_, nullptr)) {}
        SlotBlock &operator=(SlotBlock &&other) noexcept {
            std::swap(base_, other.base_);
            return *this;
        }
        ~SlotBlock() { delete[] base_; }

        /// `capacity` free slots. May throw std::bad_alloc.
        [[nodiscard]] static SlotBlock make(std::size_t capacity) {
            SlotBlock block;
            // Slot 0 holds the capacity, so that a kept block is one pointer.
            block.base_ = new Slot[capacity + 1];
            std::memset(static_cast<void *>(block.base_), 0, (capacity + 1) * sizeof(Slot));
            block.base_[0].packed = capacity;
            return block;
        }
        /// The block kept from an earlier call if it has at least `capacity` slots;
        /// empty otherwise.
        [[nodiscard]] static SlotBlock take_kept(std::size_t capacity) noexcept {
            SlotBlock block;
            block.base_ = KEPT.exchange(nullptr);
            if (block.base_ != nullptr && block.capacity() < capacity) {
                block.give_back(true);
            }
            return block;
        }
        /// Keeps this block for a later call if `cleared` (every slot free again) and it
        /// is the largest kept so far within bounds; frees it otherwise. Interpreters with
        /// locks of their own may be here at once: a block is only read or freed by the
        /// thread whose exchange took it out of KEPT.
        void give_back(bool cleared) noexcept {
            if (base_ == nullptr || !cleared || capacity() > MAX_KEPT || capacity() < MIN_KEPT) {
                return;
            }
            const std::size_t given = capacity();
            Slot *previous = KEPT.exchange(base_);
            base_ = nullptr;
            if (capacity_of(previous) > given) {
                // The one kept before was larger: keep that one instead.
                previous = KEPT.exchange(previous);
            }
            delete[] previous;
        }

        [[nodiscard]] bool empty() const noexcept { return base_ == nullptr; }
        [[nodiscard]] Slot *slots() const noexcept { return base_ + 1; }
        [[nodiscard]] std::size_t capacity() const noexcept { return capacity_of(base_); }

      private:
        [[nodiscard]] static std::size_t capacity_of(const Slot *base) noexcept {
            return base == nullptr ? 0 : static_cast<std::size_t>(base[0].packed);
        }
        /// The kept block, or null.
        static inline std::atomic<Slot *> KEPT{nullptr};

        Slot *base_ = nullptr;
    };

    /// Index bits: far more strings than any memory holds. The other TAG_BITS are the
    /// top of the mixed hash; a string's home slot in a table of 2**k slots is the top k
    /// of them, and the rest tell most foreign strings from it without reading them.
    static constexpr unsigned INDEX_BITS = 36;
    static constexpr unsigned TAG_BITS = 64 - INDEX_BITS;
    static constexpr std::uint64_t INDEX_MASK = (std::uint64_t{1} << INDEX_BITS) - 1;
    /// Slots of the first table, kept inside the cache: small documents allocate nothing.
    static constexpr std::size_t INLINE_SLOTS = 16;

    /// A Fibonacci multiply: its high bits depend on every bit of the hash.
    [[nodiscard]] static std::uint64_t mix(Py_hash_t hash) noexcept {
        return static_cast<std::uint64_t>(hash) * 0x9E3779B97F4A7C15ULL;
    }
    [[nodiscard]] static std::uint64_t tag_of(std::uint64_t mixed) noexcept {
        return (mixed >> INDEX_BITS) << INDEX_BITS;
    }

    /// Quadruples the table while small, then doubles it (or moves to a larger block
    /// kept from an earlier call), and re-enters every string at the home its stored
    /// bits give (its object's hash beyond 2**TAG_BITS slots).
    VEZUVIR_COLD VEZUVIR_NOINLINE void grow() {
        std::size_t cap = capacity_ == 0                       ? INLINE_SLOTS
                          : capacity_ < (std::size_t{1} << 16) ? capacity_ * 4
                                                               : capacity_ * 2;
        if (cap > (INDEX_MASK >> 1)) {
            throw std::bad_alloc();
        }
        SlotBlock block;
        Slot *slots = inline_.data();
        if (cap != INLINE_SLOTS) {
            if (cap >= SlotBlock::MIN_KEPT) {
                block = SlotBlock::take_kept(cap);
            }
            if (block.empty()) {
                block = SlotBlock::make(cap);
            }
            cap = block.capacity();
            slots = block.slots();
        } else {
            inline_.fill(Slot{nullptr, 0});
        }
        // Positions are listed while a block could be kept: its slots are then freed
        // one by one rather than by a pass over all of them.
        const bool track = cap <= (std::size_t{1} << 16);
        std::unique_ptr<std::uint32_t[]> used_heap;
        std::uint32_t *used = used_inline_.data();
        std::size_t placed = 0;
        if (track && cap != INLINE_SLOTS) {
            used_heap = compiler::make_uninitialized_array<std::uint32_t>(cap / 2);
            used = used_heap.get();
        }
        const unsigned shift = 64 - static_cast<unsigned>(std::countr_zero(cap));
        const bool tag_holds_home = 64 - shift <= TAG_BITS;
        for (std::size_t i = 0; i < capacity_; ++i) {
            const Slot &old = slots_[i];
            if (old.str == nullptr) {
                continue;
            }
            const std::uint64_t mixed =
                tag_holds_home ? old.packed : mix(compat::str_hash(old.str));
            auto j = static_cast<std::size_t>(mixed >> shift);
            while (slots[j].str != nullptr) {
                j = (j + 1) & (cap - 1);
            }
            slots[j] = old;
            if (track) {
                used[placed++] = static_cast<std::uint32_t>(j);
            }
        }
        // The old block goes back free, so that it may be kept.
        if (track_) {
            for (std::size_t k = 0; k < size_; ++k) {
                slots_[used_[k]] = Slot{nullptr, 0};
            }
            heap_.give_back(true);
        }
        slots_ = slots;
        heap_ = std::move(block);
        capacity_ = cap;
        shift_ = shift;
        used_ = used;
        used_heap_ = std::move(used_heap);
        track_ = track;
    }

    Slot *slots_ = nullptr;
    /// The heap block `slots_` points into, or empty while the inline slots are used.
    SlotBlock heap_;
    /// Left uninitialised until first used.
    std::array<Slot, INLINE_SLOTS> inline_;
    /// Number of slots (a power of two), 0 before the first string.
    std::size_t capacity_ = 0;
    unsigned shift_ = 64;
    std::size_t size_ = 0;
    /// Where each string sits (`size_` of them, room for all the table holds), while
    /// `track_`: `used_inline_` for the inline slots, else `used_heap_`.
    std::uint32_t *used_ = nullptr;
    std::unique_ptr<std::uint32_t[]> used_heap_;
    /// Left uninitialised until first used.
    std::array<std::uint32_t, INLINE_SLOTS / 2> used_inline_;
    bool track_ = true;
    /// Whether each string in the table is owned (see the class comment).
    bool hold_references_;
};
