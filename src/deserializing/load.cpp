// `load_bytes`: argument parsing, the collector switch and the whole-buffer decode.
#include <Python.h>

#include <string_view>

#include "deserializing/custom_types.hpp"
#include "deserializing/deserialize.hpp"
#include "deserializing/pointer_holders/vec_pointer_holder.hpp"
#include "deserializing/records.hpp"
#include "deserializing/utils.hpp"
#include "entry_points.hpp"
#include "utils/compat.hpp"
#include "utils/py_helpers.hpp"
#include "utils/type_flag.hpp"

namespace {

/// Switches the cyclic collector off for one call and back on at every exit, if it was
/// this call that switched it off. A collector that was already off is left alone.
class GcPause {
  public:
    GcPause() noexcept = default;
    GcPause(const GcPause &) = delete;
    GcPause &operator=(const GcPause &) = delete;
    ~GcPause() { (void)resume(); }

    /// Switches the collector off if it is on; false with an error set.
    [[nodiscard]] bool pause() noexcept {
        const int enabled = compat::gc_is_enabled();
        if (enabled < 0) {
            return false;
        }
        if (enabled == 1) {
            if (!compat::gc_disable()) {
                return false;
            }
            paused_ = true;
        }
        return true;
    }

    /// Switches the collector back on now. An exception already pending survives; false
    /// only when switching failed with none pending (the failure is then set).
    [[nodiscard]] bool resume() noexcept {
        if (!paused_) {
            return true;
        }
        paused_ = false;
        PyObject *type = nullptr;
        PyObject *value = nullptr;
        PyObject *traceback = nullptr;
        PyErr_Fetch(&type, &value, &traceback);
        const bool enabled = compat::gc_enable();
        if (type != nullptr) {
            PyErr_Clear();
            PyErr_Restore(type, value, traceback);
        }
        return enabled;
    }

  private:
    bool paused_ = false;
};

/// The arguments of one call, once parsed.
struct LoadArguments {
    /// The input (borrowed from the call's arguments).
    PyObject *buffer = nullptr;
    /// `load_record`'s offset (borrowed), or null.
    PyObject *offset = nullptr;
    bool buffer_by_keyword = false;
    bool use_tuples = false;
    bool stop_gc = false;
    bool ignore_extra_data = false;
    HeldCustomTypes custom_types;
    /// Limits given by keyword; the rest of the settings is filled in after parsing.
    DecodeSettings limits;
};

/// flag <- (bool(value) is True); false with the error of a raising `__bool__`.
[[nodiscard]] bool parse_flag(PyObject *value, bool &flag) noexcept {
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        return false;
    }
    flag = truth == 1;
    return true;
}

[[nodiscard]] bool is_name(PyObject *name, const char *expected) noexcept {
    return PyUnicode_CompareWithASCIIString(name, expected) == 0;
}

/// Keywords in the caller's order (the first error ends the call), then the positional
/// count, as the interpreter would check them. `record` selects the signature of
/// `load_record(buffer, offset=0, /, *, ...)`, which has no `ignore_extra_data`.
[[nodiscard]] bool parse_arguments(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                                   bool record, LoadArguments &out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        PyObject *value = args[nargs + i];
        bool ok = true;
        if (!record && is_name(name, "buffer")) {
            ok = check_buffer_type(value);
            out.buffer = value;
            out.buffer_by_keyword = true;
        } else if (is_name(name, "use_tuples")) {
            ok = parse_flag(value, out.use_tuples);
        } else if (is_name(name, "stop_gc")) {
            ok = parse_flag(value, out.stop_gc);
        } else if (!record && is_name(name, "ignore_extra_data")) {
            ok = parse_flag(value, out.ignore_extra_data);
        } else if (is_name(name, "custom_types")) {
            ok = out.custom_types.parse(value);
        } else if (!parse_limit_keyword(name, value, out.limits, ok)) {
            ok = fail_unexpected_keyword(record ? "load_record" : "load_bytes", name);
        }
        if (!ok) {
            return false;
        }
    }
    if (record) {
        if (!check_positional_count("load_record", nargs, 2)) {
            return false;
        }
        out.offset = nargs == 2 ? args[1] : nullptr;
    } else if (out.buffer_by_keyword) {
        if (nargs != 0) {
            PyErr_SetString(PyExc_TypeError,
                            "load_bytes() got multiple values for argument 'buffer'");
            return false;
        }
        return true;
    }
    if (!record && nargs != 1) {
        to_py_error(
            format_message(
                "load_bytes() expected exactly 1 positional argument, but {} were provided", nargs),
            PyExc_TypeError);
        return false;
    }
    out.buffer = args[0];
    return check_buffer_type(out.buffer);
}

} // namespace

namespace {

/// `load_bytes`, or with `record` `load_record`: the root at an offset, and where it ends.
[[nodiscard]] PyObject *load(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames,
                             bool record) {
    LoadArguments arguments;
    if (!parse_arguments(args, nargsf, kwnames, record, arguments)) {
        return nullptr;
    }
    GcPause gc;
    if (arguments.stop_gc && !gc.pause()) {
        return nullptr;
    }
    // Held until we return: a `bytearray` cannot be resized by a converter meanwhile.
    InputView input;
    std::size_t offset = 0;
    if (!hold_at_offset(input, arguments.buffer, arguments.offset, offset)) {
        return nullptr;
    }
    const std::uint8_t *data = nullptr;
    std::size_t len = 0;
    if (!record_from(input, offset, data, len)) {
        return nullptr;
    }
    DecodeSettings &settings = arguments.limits;
    settings.custom_types = arguments.custom_types.get();
    settings.use_tuples = arguments.use_tuples;
    // Converters are the only Python code a decoding runs.
    compat::HiddenContainers hidden(settings.custom_types != nullptr &&
                                    !settings.custom_types->empty());
    settings.hidden = &hidden;
    settings.nesting = NestingBound::current();
    VecPointerHolder holder;
    std::size_t pos = STARTING_MARKER.size();
    PyPointer root = deserialize_object(data, len, pos, holder, settings);
    if (!gc.resume() || !root) {
        return nullptr;
    }
    if (record) {
        PyPointer end = PyPointer::steal(PyLong_FromSize_t(offset + pos));
        PyObject *pair = end ? PyTuple_New(2) : nullptr;
        if (pair == nullptr) {
            return PyErr_NoMemory();
        }
        PyTuple_SET_ITEM(pair, 0, root.release());
        PyTuple_SET_ITEM(pair, 1, end.release());
        return pair;
    }
    if (!arguments.ignore_extra_data && pos != len) {
        fail_deserialization(format_message("Unexpected extra data, from position {}. If you want "
                                            "to ignore it use the flag `ignore_extra_data`",
                                            pos));
        return nullptr;
    }
    return root.release();
}

} // namespace

PyObject *load_bytes_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return load(args, nargsf, kwnames, false);
}

PyObject *load_record_impl(PyObject *const *args, Py_ssize_t nargsf, PyObject *kwnames) {
    return load(args, nargsf, kwnames, true);
}
