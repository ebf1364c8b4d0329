// `dump_bytes`: argument parsing, the settings record, and the two ways to finish.
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include "entry_points.hpp"
#include "serializing/py_bytes_buffer.hpp"
#include "serializing/serialize.hpp"
#include "serializing/serializing_string_cache.hpp"
#include "serializing/settings.hpp"
#include "serializing/utils.hpp"
#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

namespace {

/// Default `flush_threshold`: 10 MiB.
constexpr std::size_t DEFAULT_FLUSH_THRESHOLD = 10485760;
/// Default `direct_write_threshold`: 5 MiB.
constexpr std::size_t DEFAULT_DIRECT_WRITE_THRESHOLD = 5242880;

/// Everything parsed from the arguments.
struct DumpArguments {
    /// The object to encode (borrowed from the call's arguments).
    PyObject *obj = nullptr;
    /// The `writer` keyword (borrowed), null when streaming was not asked for.
    PyObject *writer = nullptr;
    std::size_t flush_threshold = DEFAULT_FLUSH_THRESHOLD;
    std::size_t direct_write_threshold = DEFAULT_DIRECT_WRITE_THRESHOLD;
    SerializationSettings settings;
};

/// Reads a threshold keyword into `out`; TypeError naming `name` otherwise.
[[nodiscard]] bool parse_threshold(PyObject *value, const char *name, std::size_t &out) {
    if (PyNumber_Check(value) != 1) {
        to_py_error(format_message("Expected {} to be of type `int` but got `{}`", name,
                                   pretty_type(value)),
                    PyExc_TypeError);
        return false;
    }
    const std::size_t v = PyLong_AsSize_t(value);
    if (v == static_cast<std::size_t>(-1) && PyErr_Occurred()) {
        to_py_error(
            format_message("Expected {} to be a positive integer smaller than 2**{} (max: {})",
                           name, std::numeric_limits<std::size_t>::digits,
                           std::numeric_limits<std::size_t>::max()),
            PyExc_TypeError);
        return false;
    }
    out = v;
    return true;
}

/// `registration.name`, or empty with the attribute's error (AttributeError for a
/// `CustomType` whose slot was never set).
[[nodiscard]] PyPointer read_attribute(PyObject *registration, const char *name) noexcept {
    return PyPointer::steal(PyObject_GetAttrString(registration, name));
}

/// Builds the type -> CustomType map from the `custom_types` keyword.
[[nodiscard]] bool parse_custom_types(PyObject *value, std::unique_ptr<CustomTypeMap> &out) {
    if (!PyDict_Check(value)) {
        to_py_error("custom_types must be a dict", PyExc_TypeError);
        return false;
    }
    // Own every pair before reading any attribute: reading one may run Python code that
    // empties the caller's dict.
    std::vector<PyPointer> pairs;
    pairs.reserve(2 * static_cast<std::size_t>(PyDict_Size(value)));
    compat::DictItems items(value);
    if (!items.ok()) {
        return false;
    }
    PyObject *type = nullptr;
    PyObject *registration = nullptr;
    while (items.next(type, registration)) {
        pairs.push_back(PyPointer::borrow(type));
        pairs.push_back(PyPointer::borrow(registration));
    }
    auto map = std::make_unique<CustomTypeMap>();
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
        PyObject *const registered = pairs[i + 1].get();
        if (!PyType_Check(pairs[i].get())) {
            to_py_error("custom_types key must be a valid type", PyExc_TypeError);
            return false;
        }
        if (reinterpret_cast<PyObject *>(Py_TYPE(registered)) != CUSTOM_TYPE_CLASS) {
            to_py_error("custom_types value must be of type CustomType", PyExc_TypeError);
            return false;
        }
        PyPointer identifier = read_attribute(registered, "identifier");
        if (!identifier) {
            return false;
        }
        PyPointer converter = read_attribute(registered, "converter");
        if (!converter) {
            return false;
        }
        const PyPointer include_subclasses = read_attribute(registered, "include_subclasses");
        if (!include_subclasses) {
            return false;
        }
        const PyPointer one_way = read_attribute(registered, "one_way");
        if (!one_way) {
            return false;
        }
        map->add(CustomType{std::move(pairs[i]), std::move(identifier), std::move(converter),
                            include_subclasses.get() == Py_True, one_way.get() == Py_True});
    }
    out = std::move(map);
    return true;
}

/// Handles one keyword argument; false with the exception set.
[[nodiscard]] bool parse_keyword(PyObject *name, PyObject *value, DumpArguments &args) {
    if (PyUnicode_CompareWithASCIIString(name, "obj") == 0) {
        args.obj = value;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "allow_non_string_keys") == 0) {
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "serialize_dates") == 0) {
        // A raising __bool__ fails the call rather than counting as false.
        const int truth = PyObject_IsTrue(value);
        args.settings.serialize_dates = truth == 1;
        return truth >= 0;
    }
    if (PyUnicode_CompareWithASCIIString(name, "writer") == 0) {
        args.writer = value;
        return true;
    }
    if (PyUnicode_CompareWithASCIIString(name, "flush_threshold") == 0) {
        return parse_threshold(value, "flush_threshold", args.flush_threshold);
    }
    if (PyUnicode_CompareWithASCIIString(name, "direct_write_threshold") == 0) {
        return parse_threshold(value, "direct_write_threshold", args.direct_write_threshold);
    }
    if (PyUnicode_CompareWithASCIIString(name, "custom_types") == 0) {
        return parse_custom_types(value, args.settings.custom_types);
    }
    if (PyUnicode_CompareWithASCIIString(name, "max_int_digits") == 0) {
        return parse_int_limit(value, args.settings.int_limit);
    }
    return fail_unexpected_keyword("dump_bytes", name);
}

/// Keywords in the caller's order, then the positional count.
[[nodiscard]] bool parse_arguments(PyObject *const *argv, Py_ssize_t nargs, PyObject *kwnames,
                                   DumpArguments &args) {
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!parse_keyword(PyTuple_GET_ITEM(kwnames, i), argv[nargs + i], args)) {
            return false;
        }
    }
    if (args.obj != nullptr) {
        if (nargs != 0) {
            to_py_error("dump_bytes() got multiple values for argument 'obj'", PyExc_TypeError);
            return false;
        }
        return true;
    }
    if (nargs != 1) {
        to_py_error(
            format_message(
                "dump_bytes() expected exactly 1 positional argument, but {} were provided", nargs),
            PyExc_TypeError);
        return false;
    }
    args.obj = argv[0];
    return true;
}

/// Size of the last encoding returned as `bytes`. Callers tend to encode documents of
/// one size again and again: starting the next buffer at about that size spares it the
/// regrowth from a few bytes, each step of which copies what is written so far. Only a
/// hint, shared by all threads.
std::atomic<std::size_t> last_result_size{0};
/// Largest start the hint gives: beyond it growth is by remapping, which copies nothing.
constexpr std::size_t MAX_HINTED_CAPACITY = std::size_t{32} << 20;

/// Opens the buffer at the hinted size, or small where that cannot be had.
[[nodiscard]] bool init_hinted(RawBytesBuffer &buffer) noexcept {
    const std::size_t last = last_result_size.load(std::memory_order_relaxed);
    if (last > RawBytesBuffer::INITIAL_CAPACITY && last <= MAX_HINTED_CAPACITY) {
        // An eighth more, which `finish` keeps rather than shrinks.
        if (buffer.init(last + last / 8)) {
            return true;
        }
        PyErr_Clear();
    }
    return buffer.init();
}

/// The whole encoding as one `bytes` object.
[[nodiscard]] PyObject *dump_to_bytes(const DumpArguments &args) {
    RawBytesBuffer buffer;
    if (!init_hinted(buffer) || !buffer.extend_from_slice(STARTING_MARKER)) {
        return nullptr;
    }
    SerializingStringCache cache(args.settings.python_may_run);
    if (!serialize(args.obj, buffer, cache, args.settings)) {
        return nullptr;
    }
    last_result_size.store(buffer.len(), std::memory_order_relaxed);
    return buffer.finish().release();
}

/// The encoding streamed to `args.writer`; returns None.
[[nodiscard]] PyObject *dump_to_writer(const DumpArguments &args) {
    FilePyBytesBuffer buffer(args.writer, args.flush_threshold, args.direct_write_threshold,
                             args.settings.python_calls);
    if (!buffer.init() || !buffer.extend_from_slice(STARTING_MARKER)) {
        return nullptr;
    }
    SerializingStringCache cache(args.settings.python_may_run);
    if (!serialize(args.obj, buffer, cache, args.settings) || !buffer.finish()) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

} // namespace

PyObject *dump_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    DumpArguments parsed;
    if (!parse_arguments(args, PyVectorcall_NARGS(nargsf), kwnames, parsed)) {
        return nullptr;
    }
    // Without a writer, converters or dates the walk allocates no tracked object and
    // calls no Python code, so the tree's own references keep every item alive.
    SerializationSettings &settings = parsed.settings;
    settings.nesting = NestingBound::current();
    settings.python_may_run = parsed.writer != nullptr || settings.serialize_dates ||
                              (settings.custom_types && !settings.custom_types->empty()) ||
                              !compat::FINALIZERS_ONLY_AT_KNOWN_POINTS;
    return parsed.writer == nullptr ? dump_to_bytes(parsed) : dump_to_writer(parsed);
}
