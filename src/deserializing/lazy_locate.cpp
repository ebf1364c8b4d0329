// `_lazy_locate`: the lazy readers' path walk for a caller that builds the target itself.
//
// The pure-Python codec uses it on PyPy, where stepping over values costs its compiled
// Python several times what it costs here, while building objects here, through PyPy's
// emulation of the C API, costs several times what it costs there. The walk is the one
// `lazy_load_bytes` and `bytes_check_if_contains` make, with their checks, errors and
// budget, from positional arguments the caller has already checked:
//
//   _lazy_locate(buffer, steps, check_mode, include_falsy, max_free_elements,
//                max_int_digits, defer_custom)
//
// `buffer` is read in place for the whole call, so it must be bytes nothing changes
// meanwhile (the caller's own `bytes`, or on PyPy a view of one: a `bytes` object is
// copied and hashed the first time it reaches C code there). `steps` is a tuple of
// (is_index, key or index) pairs, an index an int below 2**64. The answer is
//   - the answer of the read itself: in check mode, and wherever building costs no more
//     here than handing over (scalars, empty containers, strings and bytes of at most
//     SHORT_BODY bytes, packed elements, rows without keys); never a tuple;
//   - a tuple (kind, pos, levels, base, used, references, keys) where the target is to
//     be built by the caller: `kind` a `Located::Kind` (1 to 5), `pos` where it starts,
//     `levels` the containers the path entered (each a level of nesting), `base` the
//     number of table entries before it, `used` what the walk took of
//     `max_free_elements`, `references` None or (index, entry, ...) for every entry below
//     `base` the target refers back to (the decoded string, or the position of its length
//     field shifted left by one, the low bit set for a literal dict key), `keys` the key
//     count of row 0 (`FirstRow`), the keys of a structured list (`Row`) or None;
//   - None where the caller must walk the path itself: with `defer_custom`, a custom
//     value the walk would have had to convert (nothing of the caller's has run), or a
//     target it cannot step through to list its references (the caller's decoder then
//     raises the error where it should).
// The walk runs no code of the caller's but through the `==` and `str` of the path's keys,
// which the caller passes only when those are the built-in types'.
#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "deserializing/lazy_deserialize.hpp"
#include "deserializing/primitives.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

namespace {

/// What the caller is left to do, the first item of the result (see `lazy_locate_impl`).
[[nodiscard]] long kind_code(Located::Kind kind) noexcept {
    return static_cast<long>(kind);
}

[[nodiscard]] PyObject *type_error(const char *message) noexcept {
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

/// The caller's steps, `(is_index, key or index)` pairs, as path elements; every key is
/// owned in `held` for the call.
[[nodiscard]] bool read_steps(PyObject *steps, std::vector<PathElement> &path,
                              std::vector<PyPointer> &held) {
    if (!PyTuple_Check(steps)) {
        (void)type_error("_lazy_locate() takes its steps as a tuple");
        return false;
    }
    const Py_ssize_t n = PyTuple_GET_SIZE(steps);
    path.reserve(static_cast<std::size_t>(n));
    held.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject *step = PyTuple_GET_ITEM(steps, k);
        if (!PyTuple_Check(step) || PyTuple_GET_SIZE(step) != 2) {
            (void)type_error("_lazy_locate() takes steps of (is_index, key or index)");
            return false;
        }
        held.push_back(PyPointer::borrow(PyTuple_GET_ITEM(step, 1)));
        PyObject *value = held.back().get();
        if (PyTuple_GET_ITEM(step, 0) != Py_True) {
            path.push_back(PathElement{value, 0});
            continue;
        }
        if (!PyLong_CheckExact(value)) {
            (void)type_error("_lazy_locate() takes an index as an int");
            return false;
        }
        PathElement element;
        element.index = PyLong_AsUnsignedLongLong(value);
        if (element.index == std::numeric_limits<std::uint64_t>::max() && PyErr_Occurred()) {
            return false;
        }
        path.push_back(element);
    }
    return true;
}

/// The caller's export of the input, released on every exit.
class HeldExport {
  public:
    HeldExport() noexcept = default;
    HeldExport(const HeldExport &) = delete;
    HeldExport &operator=(const HeldExport &) = delete;
    ~HeldExport() {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    [[nodiscard]] bool acquire(PyObject *obj) noexcept {
        held_ = PyObject_GetBuffer(obj, &view_, PyBUF_SIMPLE) == 0;
        return held_;
    }
    [[nodiscard]] const std::uint8_t *data() const noexcept {
        return static_cast<const std::uint8_t *>(view_.buf);
    }
    [[nodiscard]] std::size_t len() const noexcept { return static_cast<std::size_t>(view_.len); }

  private:
    Py_buffer view_{};
    bool held_ = false;
};

/// A tuple of the given items, each taken over (steals them all).
template <class... Items> [[nodiscard]] PyPointer tuple_of(Items... items) {
    PyObject *objects[] = {items...};
    PyPointer tuple = new_object(PyTuple_New(sizeof...(Items)));
    for (std::size_t k = 0; k < sizeof...(Items); ++k) {
        if (!tuple || objects[k] == nullptr) {
            for (std::size_t j = k; j < sizeof...(Items); ++j) {
                Py_XDECREF(objects[j]);
            }
            if (tuple && PyErr_Occurred() == nullptr) {
                PyErr_NoMemory();
            }
            return {};
        }
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(k), objects[k]);
    }
    return tuple;
}

/// (index, entry, index, entry, ...) for the table entries the target refers back to:
/// each entry the decoded string, or the position of the string's length field shifted
/// left by one, its low bit set for a literal dict key (the pure codec's own form).
[[nodiscard]] PyPointer references_of(const PositionPointerHolder &holder,
                                      std::vector<std::uint64_t> &indices) {
    if (indices.empty()) {
        return PyPointer::borrow(Py_None);
    }
    std::sort(indices.begin(), indices.end());
    indices.erase(std::unique(indices.begin(), indices.end()), indices.end());
    PyPointer out = new_object(PyTuple_New(static_cast<Py_ssize_t>(2 * indices.size())));
    if (!out) {
        return {};
    }
    Py_ssize_t k = 0;
    for (const std::uint64_t index : indices) {
        std::size_t offset = 0;
        bool key_form = false;
        PyObject *text = holder.entry(static_cast<std::size_t>(index), offset, key_form);
        PyPointer entry =
            text != nullptr
                ? PyPointer::borrow(text)
                : new_object(PyLong_FromUnsignedLongLong((std::uint64_t{offset} << 1) | key_form));
        PyPointer number = new_object(PyLong_FromUnsignedLongLong(index));
        if (!entry || !number) {
            return {};
        }
        PyTuple_SET_ITEM(out.get(), k++, number.release());
        PyTuple_SET_ITEM(out.get(), k++, entry.release());
    }
    return out;
}

/// The values of the located target, whose back-references the caller must resolve.
[[nodiscard]] std::uint64_t target_values(const Located &located) noexcept {
    switch (located.kind) {
    case Located::Kind::Value:
        return 1;
    case Located::Kind::FirstRow:
        return located.key_count > std::numeric_limits<std::uint64_t>::max() / 2
                   ? std::numeric_limits<std::uint64_t>::max()
                   : 2 * located.key_count;
    case Located::Kind::Row:
        return located.keys.size();
    default:
        return 0; // packed elements refer to nothing
    }
}

/// The keys of a `Row` as a tuple, the key count of a `FirstRow`, else None.
[[nodiscard]] PyPointer row_keys(Located &located) {
    if (located.kind == Located::Kind::FirstRow) {
        return new_object(PyLong_FromUnsignedLongLong(located.key_count));
    }
    if (located.kind != Located::Kind::Row) {
        return PyPointer::borrow(Py_None);
    }
    PyPointer keys = new_object(PyTuple_New(static_cast<Py_ssize_t>(located.keys.size())));
    if (!keys) {
        return {};
    }
    for (std::size_t k = 0; k < located.keys.size(); ++k) {
        PyTuple_SET_ITEM(keys.get(), static_cast<Py_ssize_t>(k), located.keys[k].release());
    }
    return keys;
}

} // namespace

PyObject *lazy_locate_impl(PyObject *const *args, Py_ssize_t nargs) {
    if (nargs != 7) {
        return type_error("_lazy_locate() takes exactly 7 arguments");
    }
    PyObject *buffer = args[0];
    const bool check_mode = args[2] == Py_True;
    const bool include_falsy = args[3] == Py_True;
    const bool defer_custom = args[6] == Py_True;

    // No converter runs here (a custom value hands the walk back): no Python code while
    // anything is built.
    compat::HiddenContainers hidden(false);
    DecodeSettings settings;
    settings.hidden = &hidden;
    settings.nesting = NestingBound::current();
    if (!parse_free_elements(args[4], settings.max_free_elements) ||
        !parse_int_limit(args[5], settings.int_limit)) {
        return nullptr;
    }
    settings.free_elements_left = settings.max_free_elements;
    bool deferred = false;
    if (defer_custom) {
        settings.custom_deferred = &deferred;
    }

    std::vector<PathElement> path;
    std::vector<PyPointer> held_path;
    if (!read_steps(args[1], path, held_path)) {
        return nullptr;
    }
    // Read in place for the whole call: the caller hands over bytes nothing can change
    // meanwhile (its own `bytes`, or on PyPy a view of one that saves copying it here).
    HeldExport input;
    if (!input.acquire(buffer)) {
        return nullptr;
    }
    const std::uint8_t *data = input.data();
    const std::size_t len = input.len();
    if (len < STARTING_MARKER.size() ||
        std::memcmp(data, STARTING_MARKER.data(), STARTING_MARKER.size()) != 0) {
        fail_missing_starting_marker();
        return nullptr;
    }

    PositionPointerHolder holder(data, len);
    Located located;
    const LazyMode mode{settings, check_mode, include_falsy, &located};
    std::size_t pos = STARTING_MARKER.size();
    PyPointer result = lazy_deserialize(data, len, pos, holder, mode, path);
    if (deferred) {
        // Nothing of the caller's has run: it walks the path itself instead.
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    if (!result) {
        return nullptr;
    }
    if (located.kind == Located::Kind::Done) {
        return result.release();
    }
    std::vector<std::uint64_t> indices;
    if (!collect_references(data, len, located.pos, target_values(located), holder.size(),
                            indices)) {
        // Input the decoder will refuse somewhere in the target: the caller walks the
        // path itself and meets the error where it would have.
        Py_RETURN_NONE;
    }
    PyPointer references = references_of(holder, indices);
    PyPointer keys = references ? row_keys(located) : PyPointer{};
    if (!keys) {
        return nullptr;
    }
    return tuple_of(PyLong_FromLong(kind_code(located.kind)), PyLong_FromSize_t(located.pos),
                    PyLong_FromUnsignedLongLong(located.levels), PyLong_FromSize_t(holder.size()),
                    PyLong_FromUnsignedLongLong(settings.max_free_elements -
                                                settings.free_elements_left),
                    references.release(), keys.release())
        .release();
}
