#pragma once
// PyRef: one owned strong reference to a Python object.
//
// Ownership: a PyRef owns exactly one reference count of the object it points to (or nothing).
// It is move-only. Dropping it releases that count through release_reference(): at once when this
// thread is attached to the interpreter (an AttachGuard is live on it), otherwise by queueing the
// object in the ReferencePool, which the next attachment drains. So a PyRef may be dropped on any
// thread, including runtime threads that never take the interpreter lock.
//
// Creating a PyRef with borrow() or clone() touches the reference count and needs the lock.
#include "binding/python.hpp"

#include <utility>

namespace morvane::binding {

void release_reference(PyObject* object) noexcept;

class PyRef {
  public:
    PyRef() noexcept = default;
    PyRef(std::nullptr_t) noexcept {}

    // Takes over a reference the caller owns (a "new reference"); nullptr gives an empty PyRef.
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference to a borrowed object. Lock held.
    static PyRef borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    // Hands the reference out to the caller, leaving this PyRef empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    // A second owned reference to the same object. Lock held.
    PyRef clone() const noexcept { return borrow(object_); }
    // Drops the reference now (by the release rule above).
    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) release_reference(object);
    }

  private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace morvane::binding
