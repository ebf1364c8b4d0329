#pragma once
// What each interpreter's `_vezuvir` holds, and how the code under an entry point finds it.
//
// Every interpreter that imports the module gets a module object of its own, and its state
// holds that interpreter's objects: the exception classes, `CustomType` and `Idx` of its own
// `vezuvir` package, and the objects the module caches. An object of one interpreter must
// never reach another, which may run at the same time under a lock of its own.
//
// Each entry point makes its module's state the calling thread's current one for the length
// of the call (`StateScope`), so that the handles below it (`DESERIALIZATION_ERROR_TYPE`,
// `EMPTY_STRING`, ...) read the right interpreter's objects without being passed down.
#include <Python.h>

#include <array>
#include <cstddef>

#include "utils/compiler.hpp"

/// Keys of the dict `encoding_stats` returns.
inline constexpr std::size_t STATS_FIELD_COUNT = 15;

/// One interpreter's module state; every object in it owned. Zeroed when the module object is
/// made; filled by the module's exec slot; emptied when the module goes.
struct ModuleState {
    /// Set once every handle below `stats_keys` is made, cleared before any is released:
    /// an entry point refuses to run on a state that is not ready.
    bool ready;
    /// The empty tuple: what an empty list decodes to when tuples are requested.
    PyObject *empty_tuple;
    /// The shared empty `str` handed out for every decoded empty string.
    PyObject *empty_string;
    /// The shared empty `bytes`.
    PyObject *empty_bytes;
    /// `vezuvir.exceptions.DeserializationError`.
    PyObject *deserialization_error;
    /// `vezuvir.exceptions.SerializationError`.
    PyObject *serialization_error;
    /// `vezuvir.serialize.settings.CustomType`.
    PyObject *custom_type_class;
    /// `vezuvir.deserialize.lazy_load.Idx`.
    PyObject *idx_class;
    /// `datetime.datetime.isoformat`, unbound, so subclasses' overrides are not used.
    PyObject *iso_format_func;
    /// `datetime.datetime`, from the datetime C API.
    PyTypeObject *datetime_type;
    /// The interned keys of `encoding_stats`'s dict, made on its first call (all or none).
    std::array<PyObject *, STATS_FIELD_COUNT> stats_keys;
};

namespace detail {
/// The state of the module whose entry point this thread is running, or null outside one.
/// Initial-exec: one load from the thread's block instead of a call per access, for 8 of
/// the bytes the C library reserves for modules loaded later.
VEZUVIR_TLS_INITIAL_EXEC inline constinit thread_local ModuleState *current_module_state = nullptr;
} // namespace detail

/// The state of the module whose entry point is running on this thread. Only for code
/// below an entry point, which has made its state current.
[[nodiscard]] VEZUVIR_ALWAYS_INLINE ModuleState &module_state() noexcept {
    return *detail::current_module_state;
}

/// Makes a module's state the thread's current one while it lives, and the one before it
/// current again when it goes: Python code run inside a call (a converter) may call an
/// entry point of another interpreter's module on the same thread.
class StateScope {
  public:
    /// `module` is the module object an entry point received.
    explicit StateScope(PyObject *module) noexcept
        : previous_(detail::current_module_state),
          state_(static_cast<ModuleState *>(PyModule_GetState(module))) {
        detail::current_module_state = state_;
    }
    StateScope(const StateScope &) = delete;
    StateScope &operator=(const StateScope &) = delete;
    ~StateScope() { detail::current_module_state = previous_; }

    /// Whether the state is filled: false while the module's exec slot is still running or
    /// after it failed, and once the module's objects are released.
    [[nodiscard]] bool ready() const noexcept { return state_ != nullptr && state_->ready; }

  private:
    ModuleState *previous_;
    ModuleState *state_;
};

/// A module-wide handle: reads its member of the current module state wherever a `T` is
/// wanted, so that code written for one process-wide object reads its interpreter's own.
template <class T, T ModuleState::*Member> struct StateHandle {
    VEZUVIR_ALWAYS_INLINE operator T() const noexcept { return module_state().*Member; }
};
