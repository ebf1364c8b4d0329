#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/primitives.hpp"
#include "utils/compat.hpp"
#include "utils/compiler.hpp"

/// Table of the lazy readers, over a borrowed view of the whole input.
///
/// One word per entry, so that the skipper's appends stay cheap and growing the table
/// moves plain words:
///     ...ptr 00   a decoded string, owned (objects are at least 4-byte aligned)
///     offset 01   a skipped string value: its varint length field is at `offset`
///     offset 10   a skipped literal dict key: its key_varint length field is at `offset`
/// A position entry is decoded only if a back-reference asks for it.
class PositionPointerHolder {
  public:
    PositionPointerHolder(const std::uint8_t *data, std::size_t len) noexcept
        : data_(data), len_(len) {}
    PositionPointerHolder(const PositionPointerHolder &) = delete;
    PositionPointerHolder &operator=(const PositionPointerHolder &) = delete;
    ~PositionPointerHolder() {
        for (PyObject *str : owned_) {
            Py_DECREF(str);
        }
        std::free(words_);
    }

    /// Appends `str` (takes its own reference).
    [[nodiscard]] bool insert(PyObject *str) {
        // Referenced last: if an append throws, the call fails owing `str` nothing.
        append(reinterpret_cast<std::uintptr_t>(str));
        owned_.push_back(str);
        Py_INCREF(str);
        return true;
    }
    /// Records a string stepped over without decoding: `offset` is its length field,
    /// `key_form` says whether that is a key_varint (literal dict key) or a varint.
    [[nodiscard]] bool insert_position(std::size_t offset, bool key_form) {
        append((static_cast<std::uintptr_t>(offset) << 2) | (key_form ? KEY_TAG : VALUE_TAG));
        return true;
    }
    /// New reference to entry `index`. A position entry is decoded the first time a
    /// back-reference asks for it and kept from then on: a string stepped over once may
    /// be referred to thousands of times, and must not be built (or cost its memory)
    /// once per reference.
    [[nodiscard]] PyPointer safe_get(std::uint64_t index) noexcept {
        if (index >= size_) [[unlikely]] {
            fail_unexpected_end();
            return {};
        }
        const std::uintptr_t word = words_[index];
        if ((word & TAG_MASK) == OBJECT_TAG) [[likely]] {
            return PyPointer::borrow(reinterpret_cast<PyObject *>(word));
        }
        auto pos = static_cast<std::size_t>(word >> 2);
        PyPointer str =
            (word & TAG_MASK) == KEY_TAG
                ? decode_string_without_inserting_pointer<StrForm::MarkerKey>(data_, len_, pos)
                : decode_string_without_inserting_pointer<StrForm::MarkerValue>(data_, len_, pos);
        if (str) {
            try {
                owned_.push_back(str.get());
                Py_INCREF(str.get());
                words_[index] = reinterpret_cast<std::uintptr_t>(str.get());
            } catch (...) {
                // Not kept: the next reference decodes it again.
            }
        }
        return str;
    }
    /// Whether entry `index` is the string whose UTF-8 text is `text[0:n]`, compared
    /// without building it: 1 or 0, or -1 with DeserializationError for a missing entry
    /// or a cut-short position entry.
    [[nodiscard]] int equals_text(std::uint64_t index, const char *text, std::size_t n) noexcept {
        if (index >= size_) [[unlikely]] {
            fail_unexpected_end();
            return -1;
        }
        const std::uintptr_t word = words_[index];
        auto pos = static_cast<std::size_t>(word >> 2);
        std::size_t start = 0;
        std::size_t stored = 0;
        switch (word & TAG_MASK) {
        case OBJECT_TAG: {
            // A decoded entry was valid UTF-8, so its text can always be had.
            Py_ssize_t size = 0;
            bool ascii = false;
            const char *utf8 = compat::str_utf8(reinterpret_cast<PyObject *>(word), size, ascii);
            if (utf8 == nullptr) [[unlikely]] {
                return -1;
            }
            return static_cast<std::size_t>(size) == n && std::memcmp(utf8, text, n) == 0;
        }
        case KEY_TAG:
            if (!read_string_body<StrForm::MarkerKey>(data_, len_, pos, start, stored)) {
                return -1;
            }
            break;
        default:
            if (!read_string_body<StrForm::MarkerValue>(data_, len_, pos, start, stored)) {
                return -1;
            }
            break;
        }
        return stored == n && std::memcmp(data_ + start, text, n) == 0;
    }
    [[nodiscard]] std::size_t size() const noexcept { return size_; }
    /// Entry `index` (below `size()`) as it stands: the decoded string (borrowed), or null
    /// with `offset` and `key_form` set as `insert_position` took them.
    [[nodiscard]] PyObject *entry(std::size_t index, std::size_t &offset,
                                  bool &key_form) const noexcept {
        const std::uintptr_t word = words_[index];
        if ((word & TAG_MASK) == OBJECT_TAG) {
            return reinterpret_cast<PyObject *>(word);
        }
        offset = static_cast<std::size_t>(word >> 2);
        key_form = (word & TAG_MASK) == KEY_TAG;
        return nullptr;
    }

    /// Lets the skipper give the pages of a read-only file mapping back once it has
    /// passed them (`passed`); a string entry read again brings its page back in.
    void release_pages_behind() noexcept { pages_.enable(data_, len_); }
    /// The skipper has reached `pos`.
    VEZUVIR_ALWAYS_INLINE void passed(std::size_t pos) noexcept { pages_.passed(pos); }

  private:
    static constexpr std::uintptr_t TAG_MASK = 3;
    static constexpr std::uintptr_t OBJECT_TAG = 0;
    static constexpr std::uintptr_t VALUE_TAG = 1;
    static constexpr std::uintptr_t KEY_TAG = 2;

    const std::uint8_t *data_;
    std::size_t len_;
    void append(std::uintptr_t word) {
        if (size_ == capacity_) [[unlikely]] {
            grow();
        }
        words_[size_++] = word;
    }
    /// Doubles the table with `realloc`: entries are plain words, and a large block can
    /// then be moved by remapping its pages rather than by copying them.
    VEZUVIR_NOINLINE void grow() {
        const std::size_t capacity = capacity_ == 0 ? 64 : capacity_ * 2;
        void *words = std::realloc(words_, capacity * sizeof(std::uintptr_t));
        if (words == nullptr) {
            throw std::bad_alloc();
        }
        words_ = static_cast<std::uintptr_t *>(words);
        capacity_ = capacity;
    }

    /// Entry i has back-reference index i; `size_` entries of `capacity_` are in use.
    std::uintptr_t *words_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
    /// The strings the table owns a reference to.
    std::vector<PyObject *> owned_;
    PageReleaser pages_;
};
static_assert(PointerHolder<PositionPointerHolder>);
