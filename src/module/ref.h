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

// The pending exception, moved out of the thread state and back in, as the interpreter's
// triple: Python 2.7's exceptions do not carry their traceback.
struct PendingException {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;

    static PendingException take() {
        PendingException pending;
        PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
        return pending;
    }
    void restore() { PyErr_Restore(type, value, traceback); }
    void drop() {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(traceback);
    }
};

}  // namespace pelmora
