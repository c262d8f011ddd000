// Owned object references. `Owned` holds exactly one reference and releases it
// when it goes out of scope, so every exit path of a routine releases once.
#pragma once

#include "module/compat.h"

#include <utility>

namespace pelmora {

class Owned {
public:
    Owned() = default;
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    Owned(Owned&& other) noexcept : object_(other.release()) {}
    Owned& operator=(Owned&& other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owned() { Py_XDECREF(object_); }

    // Takes over a new reference (or null).
    static Owned steal(PyObject* object) { return Owned(object); }
    // Adds a reference of its own to a borrowed object.
    static Owned borrow(PyObject* object) {
        Py_XINCREF(object);
        return Owned(object);
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }

    // Hands the reference on; the caller now owns it.
    PyObject* release() { return std::exchange(object_, nullptr); }

    // Drops the held reference only after the new one is in place: a destructor
    // that runs user code then sees a consistent handle.
    void reset(PyObject* object = nullptr) {
        PyObject* old = std::exchange(object_, object);
        Py_XDECREF(old);
    }

private:
    explicit Owned(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace pelmora
