// PyRef: the single owner of one strong Python reference.
#pragma once

#include "frame/python.h"

#include <utility>

namespace kiln {

// Gives up a reference: at once when this thread is inside a call into the
// module (and so holds the interpreter lock), otherwise through the
// deferred-release list.
void release_ref(PyObject* object) noexcept;

class PyRef {
public:
    PyRef() noexcept = default;
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { reset(); }

    // Takes over a reference the caller already owns (may be null).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Takes a new reference to a borrowed object.
    static PyRef borrow(PyObject* object) noexcept {
        Py_IncRef(object);
        return PyRef(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void reset() noexcept {
        if (PyObject* object = std::exchange(object_, nullptr)) {
            release_ref(object);
        }
    }

private:
    explicit PyRef(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace kiln
