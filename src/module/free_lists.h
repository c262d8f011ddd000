// The engine's own free lists: argument tuples and float items that a call left
// with no holder but the engine. Such an object is about to be freed, and the
// interpreter's allocator would hand the same memory back for the next one; keeping
// it skips that round trip. An object that anything else still holds is released
// as usual and never reused, so every callee still receives a tuple and floats that
// no one else holds. Off on a free-threaded build and on one that lists every live object.
#pragma once

#include "module/compat.h"

#include <cstddef>

namespace pelmora {

class FreeLists {
public:
    static constexpr std::size_t kMaxTupleSize = 4;

    FreeLists() = default;
    FreeLists(const FreeLists&) = delete;
    FreeLists& operator=(const FreeLists&) = delete;

    void start(bool enabled) {
        enabled_ = enabled && !compat::kFreeThreaded && !compat::kListsAllObjects;
    }

    // Releases everything kept and keeps no more until the next start.
    void clear() {
        enabled_ = false;
        while (float_count_ > 0) {
            --float_count_;
            Py_DECREF(floats_[float_count_]);  // a macro that may name its operand twice
        }
        for (PyObject*& tuple : tuples_) Py_CLEAR(tuple);
    }

    // New reference to a float of `value`, or null with MemoryError set.
    PyObject* new_float(double value) {
        if (float_count_ == 0) return PyFloat_FromDouble(value);
        PyObject* number = floats_[--float_count_];
        reinterpret_cast<PyFloatObject*>(number)->ob_fval = value;
        return number;
    }

    // A tuple of `size` empty slots that the cycle collector does not know yet
    // (track it once it is filled), or null when none is kept; then make one.
    PyObject* take_tuple(std::size_t size) {
        if (!enabled_) return nullptr;  // nothing kept, and nothing written: threads may share it
        PyObject* tuple = tuples_[size];
        tuples_[size] = nullptr;
        return tuple;
    }

    // Releases the caller's reference to `item`, which may be null.
    void release(PyObject* item) {
        if (item == nullptr) return;
        if (enabled_ && Py_REFCNT(item) == 1 && PyFloat_CheckExact(item) &&
            float_count_ < kFloatCapacity) {
            floats_[float_count_++] = item;
            return;
        }
        Py_DECREF(item);
    }

    // Releases the caller's reference to the argument tuple `tuple` of `size`: its
    // items go last first, as the tuple's own deallocation would release them.
    void release_tuple(PyObject* tuple, std::size_t size) {
        if (!enabled_ || Py_REFCNT(tuple) != 1 || tuples_[size] != nullptr) {
            Py_DECREF(tuple);
            return;
        }
        // Out of the collector's sight before any slot empties: an item's release may
        // run code that walks the collector's objects.
        PyObject_GC_UnTrack(tuple);
        for (std::size_t i = size; i-- > 0;) {
            PyObject* item = PyTuple_GET_ITEM(tuple, static_cast<Py_ssize_t>(i));
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), nullptr);
            release(item);
        }
        compat::forget_tuple_hash(tuple);
        if (tuples_[size] == nullptr)
            tuples_[size] = tuple;
        else
            Py_DECREF(tuple);  // an item's release re-entered a routine, which kept one
    }

private:
    // More than the floats of one call: one call's items are released before the next are made.
    static constexpr std::size_t kFloatCapacity = 16;
    PyObject* floats_[kFloatCapacity] = {};  // owned
    std::size_t float_count_ = 0;
    PyObject* tuples_[kMaxTupleSize + 1] = {};  // owned, by size; untracked, every slot empty
    bool enabled_ = false;
};

}  // namespace pelmora
