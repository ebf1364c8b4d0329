#include "utils/limits.hpp"

#include "utils/py_helpers.hpp"

namespace {
/// The keyword's value as an unsigned number (NO_LIMIT for None), or false with a
/// TypeError/ValueError naming it.
bool parse_limit(PyObject *value, const char *name, std::uint64_t minimum, std::uint64_t &out) {
    if (value == Py_None) {
        out = NO_LIMIT;
        return true;
    }
    if (!PyLong_Check(value)) {
        to_py_error(format_message("Expected {} to be of type `int` or None but got `{}`", name,
                                   pretty_type(value)),
                    PyExc_TypeError);
        return false;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred()) {
        return false;
    }
    if (overflow > 0) {
        out = NO_LIMIT - 1; // far past anything memory can hold
        return true;
    }
    if (overflow < 0 || v < 0 || static_cast<std::uint64_t>(v) < minimum) {
        to_py_error(format_message("{} must be None or an integer of at least {}", name, minimum),
                    PyExc_ValueError);
        return false;
    }
    out = static_cast<std::uint64_t>(v);
    return true;
}
} // namespace

bool parse_int_limit(PyObject *value, IntLimit &out) {
    std::uint64_t digits = 0;
    if (!parse_limit(value, "max_int_digits", MIN_MAX_INT_DIGITS, digits)) {
        return false;
    }
    out.digits = digits;
    out.bits = IntLimit::bits_for(digits);
    return true;
}

bool parse_free_elements(PyObject *value, std::uint64_t &out) {
    return parse_limit(value, "max_free_elements", 0, out);
}

bool fail_int_limit(const IntLimit &limit, PyObject *exception_class, const char *verb) noexcept {
    try {
        to_py_error(format_message("Integer exceeds the limit of {} digits (`max_int_digits`); "
                                   "pass a larger limit or None to {} it",
                                   limit.digits, verb),
                    exception_class);
    } catch (...) {
        PyErr_NoMemory();
    }
    return false;
}
