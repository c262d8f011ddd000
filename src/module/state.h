// Module state: the module object, the builtins module, the constant table and what the
// engine's speed mechanisms hold. Each module object has its own (on Python 2.7 there is
// one, global); init writes it once, the routines only read it, but for the mechanisms.
#pragma once

#include "module/code_objects.h"
#include "module/compat.h"
#include "module/constants.h"
#include "module/definition.h"
#include "module/free_lists.h"
#include "module/lookup_cache.h"

#include <cstddef>

namespace pelmora {

static_assert(kTextCount <= LookupCache::kCapacity, "a cache slot for every name");

struct ModuleState {
    // The module this state serves; null before init and again after a failed
    // init. On Python 3 the module owns the state and this is not a reference;
    // on 2.7 the state owns one.
    PyObject* module = nullptr;
    // Borrowed from `module`.
    PyObject* module_dict = nullptr;
    // Owned, each of them.
    PyObject* builtins = nullptr;
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* getattr_name = nullptr;  // "__getattr__", which a name lookup's miss asks for
    PyObject* texts[kTextCount] = {};
    PyObject* integers[kIntegerCount] = {};
    PyObject* cached_tuples[kCachedTupleCount] = {};
    // The engine's speed mechanisms: each name's last namespace hit, the code objects of
    // the traceback entries, and the argument tuples and floats a call may make again.
    // The first and last change while the routines run, hence mutable.
    mutable LookupCache lookups;
    CodeObjects codes;
    mutable FreeLists free_lists;

    PyObject* text(Text id) const { return texts[static_cast<std::size_t>(id)]; }
    PyObject* shared_integer(Int id) const { return integers[static_cast<std::size_t>(id)]; }
    PyObject* cached_tuple(std::size_t number) const { return cached_tuples[number - 1]; }

    // Calls `visit(slot)` for each constant the state owns, stopping at the first non-zero
    // result, which it returns.
    template <class Visit>
    int for_each_constant(Visit visit) {
        PyObject** singles[] = {&builtins, &empty_tuple, &empty_bytes, &getattr_name};
        for (PyObject** slot : singles)
            if (int result = visit(slot)) return result;
        for (PyObject*& object : texts)
            if (int result = visit(&object)) return result;
        for (PyObject*& object : integers)
            if (int result = visit(&object)) return result;
        for (PyObject*& object : cached_tuples)
            if (int result = visit(&object)) return result;
        return 0;
    }
};

// The state of the module that a routine is bound to: its `self`.
inline ModuleState& state_of(PyObject* self) { return *module_state<ModuleState>(self); }

}  // namespace pelmora
