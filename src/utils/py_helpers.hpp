#pragma once
// The thin layer over the Python/C API that the rest of the module uses for messages,
// conversions and paired calls.
#include <Python.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#include "utils/compat.hpp"
#include "utils/compiler.hpp"
#include "utils/safe_py_pointer.hpp"

/// Sets `exception_class` with `message` (UTF-8; NUL characters and the lone surrogates
/// that `display_text` keeps survive) as the pending exception. An exception that must
/// pass through (`error_passes_through`) stays pending instead. Never fails.
void to_py_error(std::string_view message, PyObject *exception_class) noexcept;

/// Whether the pending exception must reach the caller as it is, never mapped to a
/// library error or counted as a plain "no": anything that is not an `Exception`
/// (KeyboardInterrupt, SystemExit, ...) and MemoryError.
[[nodiscard]] bool error_passes_through() noexcept;

/// For a failed call into Python code whose failure the library maps (a comparison that
/// raises counts as not equal, an unhashable identifier as not registered): clears the
/// pending exception and returns true, or leaves one that passes through and returns false.
[[nodiscard]] bool clear_mapped_error() noexcept;

/// Replaces the pending exception of a failed callback (a converter, `isoformat`) with
/// `exception_class(message)`, the original as its `__cause__`; one that passes through
/// stays as it is.
void wrap_callback_error(std::string_view message, PyObject *exception_class) noexcept;

/// Replaces a pending `UnicodeEncodeError` of a `str` that has no UTF-8 form (a lone
/// surrogate, as `json.loads` can make) with `exception_class` naming the string (its `repr`,
/// bounded), the original as its `__cause__`; leaves any other pending exception.
VEZUVIR_COLD void wrap_str_without_utf8(PyObject *str, PyObject *exception_class) noexcept;

/// Whether the pending exception is a `RecursionError` for nesting too deep ("maximum
/// recursion depth exceeded..."), the interpreter's or the library's, rather than one a
/// callback raised with a text of its own. Runs no Python code.
[[nodiscard]] bool depth_error_pending() noexcept;

/// Replaces a pending `depth_error_pending` error with the library's RecursionError for
/// `where` (" while serializing a custom type"); leaves any other pending exception.
void rename_depth_error(const char *where) noexcept;

namespace detail {
inline void append_display(std::string &out, std::string_view text) {
    out.append(text);
}
inline void append_display(std::string &out, const std::string &text) {
    out.append(text);
}
inline void append_display(std::string &out, const char *text) {
    out.append(text);
}
template <class T>
requires std::is_integral_v<T>
inline void append_display(std::string &out, T value) {
    out.append(std::to_string(value));
}
inline void fill(std::string &out, std::string_view tmpl) {
    out.append(tmpl);
}
template <class First, class... Rest>
void fill(std::string &out, std::string_view tmpl, const First &first, const Rest &...rest) {
    const auto at = tmpl.find("{}");
    if (at == std::string_view::npos) {
        out.append(tmpl);
        return;
    }
    out.append(tmpl.substr(0, at));
    append_display(out, first);
    fill(out, tmpl.substr(at + 2), rest...);
}
} // namespace detail

/// Fills each `{}` of `tmpl` with the display text of the next argument (integers in
/// decimal, strings as they are). The one way messages with run-time parts are built.
template <class... Args>
[[nodiscard]] std::string format_message(std::string_view tmpl, const Args &...args) {
    std::string out;
    out.reserve(tmpl.size() + 32);
    detail::fill(out, tmpl, args...);
    return out;
}

/// `repr(type(obj))` as UTF-8, e.g. "<class 'int'>"; never fails.
[[nodiscard]] std::string pretty_type(PyObject *obj);

/// UTF-8 copy of a `str` for messages, lone surrogates kept (as `surrogatepass` writes
/// them, which `to_py_error` reads back); never fails.
[[nodiscard]] std::string display_text(PyObject *str);

/// Raises "{function}() got an unexpected keyword argument '{name}'" (TypeError), the
/// name exactly as given, whatever characters it holds; returns false.
bool fail_unexpected_keyword(const char *function, PyObject *name) noexcept;

/// UTF-8 view of a `str`, borrowed from the object. On failure sets MemoryError.
[[nodiscard]] bool py_str_to_utf8_str(PyObject *str, std::string_view &out) noexcept;

/// New 1-tuple holding a new reference to `obj`; empty (MemoryError set) on failure.
[[nodiscard]] PyPointer temporary_tuple_of(PyObject *obj) noexcept;

/// New reference to `module_name.attribute_name`, or null (MemoryError when the module
/// cannot be imported, the interpreter's AttributeError when the attribute is missing).
[[nodiscard]] PyObject *import_object_from_python(std::string_view module_name,
                                                  std::string_view attribute_name) noexcept;

/// `str(obj)`; empty with the error `str()` raised on failure.
[[nodiscard]] PyPointer to_py_str(PyObject *obj) noexcept;

/// Calls `converter(arg)` with one positional argument; empty on failure.
[[nodiscard]] PyPointer call_with_one_arg(PyObject *callable, PyObject *arg) noexcept;

/// The lowest address of this thread's native stack that one more level of nesting may
/// start from: the stack's end plus a reserve for the Python code a callback may run and
/// for raising the error. Computed once per thread.
[[nodiscard]] std::uintptr_t native_stack_floor() noexcept;

/// Enters one level of nesting: false with RecursionError set when the interpreter's
/// recursion limit is reached, or when the native stack is close to its end. The second
/// test makes the depth safe whatever limit an application sets with
/// `sys.setrecursionlimit`, and on interpreters whose limit does not count C frames.
[[nodiscard]] bool enter_nesting(const char *where) noexcept;

/// Raises the RecursionError of a native stack close to its end; returns false.
VEZUVIR_COLD bool fail_native_stack(const char *where) noexcept;

/// What `enter_nesting` needs of the calling thread, fetched once by a reader or writer
/// for a whole call: each fetch is a library call (the floor is thread-local storage).
struct NestingBound {
    /// This thread's `native_stack_floor()`.
    std::uintptr_t floor = 0;
    /// This thread's state; null in a bound made by default, which fetches it each time.
    PyThreadState *thread = nullptr;
    /// Kept by `compat::enter_recursive_call` for this call: where the interpreter's check
    /// already passed.
    mutable std::uintptr_t stack_checked = UINTPTR_MAX;

    [[nodiscard]] static NestingBound current() noexcept {
        return {native_stack_floor(), PyThreadState_Get()};
    }
};

/// `enter_nesting` with the thread's bound fetched once by the caller.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE bool enter_nesting(const char *where,
                                                       const NestingBound &bound) noexcept {
    if (bound.thread == nullptr) [[unlikely]] {
        return enter_nesting(where);
    }
    // Stacks grow down on every platform we build for.
    if (compiler::frame_address() < bound.floor) [[unlikely]] {
        return fail_native_stack(where);
    }
    return compat::enter_recursive_call(bound.thread, bound.stack_checked, where);
}

/// Scoped `enter_nesting`/`Py_LeaveRecursiveCall`: bounds native recursion. Check
/// `entered()`; on false a RecursionError is pending.
class RecursionGuard {
  public:
    explicit RecursionGuard(const char *where) noexcept : entered_(enter_nesting(where)) {}
    RecursionGuard(const char *where, const NestingBound &bound) noexcept
        : thread_(bound.thread), entered_(enter_nesting(where, bound)) {}
    RecursionGuard(const RecursionGuard &) = delete;
    RecursionGuard &operator=(const RecursionGuard &) = delete;
    ~RecursionGuard() {
        if (entered_) {
            compat::leave_recursive_call(thread_);
        }
    }
    [[nodiscard]] bool entered() const noexcept { return entered_; }

  private:
    PyThreadState *thread_ = nullptr;
    bool entered_;
};

/// The recursion bound of one container (or skip loop), entered only when it first
/// recurses into a nested container: the leaves of a tree (lists of numbers, flat dicts,
/// pairs of floats) never touch the interpreter's counter, and the depth at which
/// RecursionError comes stays that of the nesting.
class LazyRecursionGuard {
  public:
    LazyRecursionGuard(const char *where, const NestingBound &bound) noexcept
        : where_(where), bound_(bound) {}
    LazyRecursionGuard(const LazyRecursionGuard &) = delete;
    LazyRecursionGuard &operator=(const LazyRecursionGuard &) = delete;
    ~LazyRecursionGuard() {
        if (entered_) {
            compat::leave_recursive_call(bound_.thread);
        }
    }
    /// Enters once; false with RecursionError set at the limit.
    [[nodiscard]] VEZUVIR_ALWAYS_INLINE bool enter() noexcept {
        if (entered_) [[likely]] {
            return true;
        }
        if constexpr (compat::C_CALLS_COUNTED_INLINE) {
            entered_ = enter_nesting(where_, bound_);
            return entered_;
        }
        return enter_first();
    }

  private:
    // Out of line unless the interpreter's check is a counter stepped in place: the
    // writers call `enter` for every nested item, and a longer check inlined there costs
    // each of those calls more registers saved than it saves once.
    [[nodiscard]] VEZUVIR_NOINLINE bool enter_first() noexcept {
        entered_ = enter_nesting(where_, bound_);
        return entered_;
    }

    const char *where_;
    const NestingBound &bound_;
    bool entered_ = false;
};
