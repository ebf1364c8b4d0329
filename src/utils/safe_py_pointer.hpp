#pragma once
// Owning reference to a Python object, and the ownership rule of the whole module.
//
// Ownership rules: a raw `PyObject*` parameter is borrowed; a returned `PyPointer` is a
// new reference. `steal` adopts a reference the caller already owns (the result of a
// C-API call that returns a new reference); `borrow` takes a new reference of its own.
// `release` hands the reference on, for C-API calls that steal (PyList_SET_ITEM).
//
// The rule every routine follows: Python code can run wherever we call into the
// interpreter for more than reading memory: a converter, a writer's `write`, `isoformat`
// and its tzinfo, `__eq__`/`__hash__` of keys and identifiers, `__bool__`/`__index__` of
// arguments and path elements, and the finalizer (`__del__`, weakref callbacks) of
// anything whose last reference we drop. That code may free or change anything it can
// reach. So, across any such point:
//   - own (PyPointer::borrow) every object you still use afterwards; a borrowed pointer,
//     a pointer into an object's storage (UTF-8 text, item arrays) and a size read
//     before the point are stale after it unless their owner is owned;
//   - take new references before dropping old ones, and re-read (or re-check) a container
//     after the point rather than trusting what was read before;
//   - never leave a result and an exception together; an exception that is not an
//     `Exception` (KeyboardInterrupt, SystemExit) or is MemoryError passes through
//     unchanged (see `error_passes_through`).
// Where no such point can occur (the encoder without writer, converters or dates on
// CPython) the tree's own references are enough, and the hot paths rely on that.
#include <Python.h>

#include <utility>

/// Move-only owner of exactly one strong reference (or of nothing).
class PyPointer {
  public:
    PyPointer() noexcept = default;
    PyPointer(const PyPointer &) = delete;
    PyPointer &operator=(const PyPointer &) = delete;
    PyPointer(PyPointer &&other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyPointer &operator=(PyPointer &&other) noexcept {
        if (this != &other) {
            PyObject *old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~PyPointer() { Py_XDECREF(ptr_); }

    /// Adopts a reference the caller owns (null allowed: an empty pointer).
    [[nodiscard]] static PyPointer steal(PyObject *obj) noexcept { return PyPointer(obj); }
    /// Takes a new reference to a borrowed object.
    [[nodiscard]] static PyPointer borrow(PyObject *obj) noexcept {
        Py_XINCREF(obj);
        return PyPointer(obj);
    }

    /// The object, still owned by this pointer.
    [[nodiscard]] PyObject *get() const noexcept { return ptr_; }
    /// Gives up ownership; the caller now owns the reference.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }
    /// A second owned reference to the same object.
    [[nodiscard]] PyPointer clone() const noexcept { return borrow(ptr_); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    /// Drops the reference now (the object may run Python code as it dies).
    void reset() noexcept { Py_XDECREF(std::exchange(ptr_, nullptr)); }

  private:
    explicit PyPointer(PyObject *obj) noexcept : ptr_(obj) {}
    PyObject *ptr_ = nullptr;
};
