#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "deserializing/pointer_holders/pointer_holder.hpp"
#include "deserializing/primitives.hpp"

/// One back-reference table entry of the lazy readers: a decoded string (owned), or
/// where a skipped string's length field lies (resolved only if a back-reference asks).
class PointerEntry {
  public:
    static PointerEntry object(PyObject *str) noexcept {
        Py_INCREF(str);
        return PointerEntry(reinterpret_cast<std::uintptr_t>(str), Kind::Object);
    }
    static PointerEntry position(std::size_t offset, bool key_form) noexcept {
        return PointerEntry(offset, key_form ? Kind::KeyPosition : Kind::ValuePosition);
    }
    PointerEntry(const PointerEntry &) = delete;
    PointerEntry &operator=(const PointerEntry &) = delete;
    PointerEntry(PointerEntry &&other) noexcept : word_(other.word_), kind_(other.kind_) {
        other.kind_ = Kind::ValuePosition;
    }
    PointerEntry &operator=(PointerEntry &&) = delete;
    ~PointerEntry() {
        if (kind_ == Kind::Object) {
            Py_DECREF(reinterpret_cast<PyObject *>(word_));
        }
    }

    /// New reference to the string, decoding a position entry afresh from `data`.
    [[nodiscard]] PyPointer resolve(const std::uint8_t *data, std::size_t len) const noexcept {
        auto pos = static_cast<std::size_t>(word_);
        switch (kind_) {
        case Kind::Object:
            return PyPointer::borrow(reinterpret_cast<PyObject *>(word_));
        case Kind::KeyPosition:
            return decode_string_without_inserting_pointer<StrForm::MarkerKey>(data, len, pos);
        case Kind::ValuePosition:
            break;
        }
        return decode_string_without_inserting_pointer<StrForm::MarkerValue>(data, len, pos);
    }

  private:
    enum class Kind : std::uint8_t { Object, ValuePosition, KeyPosition };
    PointerEntry(std::uintptr_t word, Kind kind) noexcept : word_(word), kind_(kind) {}
    /// The object pointer, or the offset of the string's length field.
    std::uintptr_t word_;
    Kind kind_;
};

/// Table of the lazy readers, over a borrowed view of the whole input.
class PositionPointerHolder {
  public:
    PositionPointerHolder(const std::uint8_t *data, std::size_t len) noexcept
        : data_(data), len_(len) {}

    [[nodiscard]] bool insert(PyObject *str) {
        entries_.push_back(PointerEntry::object(str));
        return true;
    }
    /// Records a string stepped over without decoding: `offset` is its length field,
    /// `key_form` says whether that is a key_varint (literal dict key) or a varint.
    [[nodiscard]] bool insert_position(std::size_t offset, bool key_form) {
        entries_.push_back(PointerEntry::position(offset, key_form));
        return true;
    }
    [[nodiscard]] PyPointer safe_get(std::uint64_t index) noexcept {
        if (index >= entries_.size()) [[unlikely]] {
            fail_unexpected_end();
            return {};
        }
        return entries_[static_cast<std::size_t>(index)].resolve(data_, len_);
    }
    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }

  private:
    const std::uint8_t *data_;
    std::size_t len_;
    /// Entry i has back-reference index i.
    std::vector<PointerEntry> entries_;
};
static_assert(PointerHolder<PositionPointerHolder>);
