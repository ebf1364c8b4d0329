#pragma once
// Owning reference to a Python object.
//
// Ownership rules: a raw `PyObject*` parameter is borrowed; a returned `PyPointer` is a
// new reference. `steal` adopts a reference the caller already owns (the result of a
// C-API call that returns a new reference); `borrow` takes a new reference of its own.
// `release` hands the reference on, for C-API calls that steal (PyList_SET_ITEM).
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
