#pragma once
// What one `dump_bytes` call tells the serializer: the date switch and the custom types.
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

#include "utils/limits.hpp"
#include "utils/py_helpers.hpp"
#include "utils/safe_py_pointer.hpp"

/// One registration of `custom_types`: how instances of `type` are written.
struct CustomType {
    /// The registered type (owned: a converter may empty the caller's dict mid-call, and a
    /// freed type's address must never match another type).
    PyPointer type;
    /// Written before the converted value unless `one_way`; the decoder looks it up.
    PyPointer identifier;
    /// Called with the object; its result is written in the object's place.
    PyPointer converter;
    /// Also applies to instances of subclasses of `type`.
    bool include_subclasses;
    /// Writes the converted value alone, without `TypeFlag::Custom` and identifier.
    bool one_way;
};

/// The registrations of one call, in the caller's dict order, with an exact-type index.
class CustomTypeMap {
  public:
    /// Adds a registration; the caller's dict has unique keys. May throw std::bad_alloc.
    void add(CustomType record) {
        const std::size_t at = records_.size();
        auto *type = reinterpret_cast<PyTypeObject *>(record.type.get());
        if (record.include_subclasses) {
            with_subclasses_.push_back(at);
        }
        records_.push_back(std::move(record));
        exact_.emplace(type, at);
    }

    [[nodiscard]] bool empty() const noexcept { return records_.empty(); }

    /// The registration for objects of `type`: the one made for exactly this type (one
    /// hash look-up), else the first made with `include_subclasses` for a base of it, in
    /// the caller's order, so the choice never depends on hashing.
    [[nodiscard]] const CustomType *find(PyTypeObject *type) const noexcept {
        if (const auto it = exact_.find(type); it != exact_.end()) {
            return &records_[it->second];
        }
        for (const std::size_t at : with_subclasses_) {
            if (PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(records_[at].type.get()))) {
                return &records_[at];
            }
        }
        return nullptr;
    }

  private:
    std::vector<CustomType> records_;
    std::unordered_map<PyTypeObject *, std::size_t> exact_;
    std::vector<std::size_t> with_subclasses_;
};

/// The options of one `dump_bytes` call.
struct SerializationSettings {
    /// Null when `custom_types` was not passed; a map, maybe empty, when it was.
    std::unique_ptr<CustomTypeMap> custom_types;
    /// Write `datetime.datetime` objects as their ISO text.
    bool serialize_dates = false;
    /// Ints larger than this are refused rather than converted in quadratic time.
    IntLimit int_limit;
    /// Whether Python code can run during the walk (a writer, converters, `isoformat` and
    /// what it allocates), so that items must be held while they are written.
    bool python_may_run = true;
    /// The calling thread's nesting bound, fetched once for the call.
    NestingBound nesting;
    /// Counts the calls into Python code made by the writer, converters and `isoformat`
    /// so far, so that a writer of a container can tell whether any ran since it looked.
    mutable std::uint64_t python_calls = 0;
};
