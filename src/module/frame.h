// The call frame every routine shares: call-time name lookup and the one synthetic
// traceback entry a failure adds.
#pragma once

#include "module/state.h"

namespace pelmora {

// The file every traceback entry of the module names.
inline constexpr const char kModuleSourceFile[] = "Pelmora.py";

// The generic lookup: the module's attribute, then the builtins module's.
PyObject* lookup_name_generic(const ModuleState& state, PyObject* name);

// A name the namespace does not bind, in a plain module without __getattr__: the
// builtins module's attribute, or NameError.
PyObject* lookup_builtin(const ModuleState& state, PyObject* name);

// Whether the module namespace defines __getattr__ (a Python 3.7+ module's fallback).
bool has_module_getattr(const ModuleState& state);

// New reference to what `name` is bound to in the module namespace, else in the
// builtins module; null with NameError (the bare name) set when neither binds it,
// or with the error that comparing names raised. Inline: it runs for every name use.
inline PyObject* lookup_name(const ModuleState& state, Text id) {
    PyObject* name = state.text(id);
    PyObject* module = state.module;
    // A plain module defines no attribute of these names on its type, so its attribute
    // lookup comes down to the namespace dictionary, then __getattr__; a subclass
    // (module __class__ assignment) goes the generic way.
    if (module == nullptr || Py_TYPE(module) != &PyModule_Type)
        return lookup_name_generic(state, name);
    const auto slot = static_cast<std::size_t>(id);
    if (PyObject* kept = state.lookups.find(slot)) {
        Py_INCREF(kept);
        return kept;
    }
    // Read first: the lookup can run a colliding key's __eq__, which may change the dict.
    const std::uint64_t seen = state.lookups.stamp();
    PyObject* found;
    const int status = PyDict_GetItemRef(state.module_dict, name, &found);
    if (status > 0) {
        state.lookups.keep(slot, found, seen);
        return found;
    }
    if (status < 0) return nullptr;
    // One dictionary lookup per miss, as a global's in plain Python.
    if (!has_module_getattr(state)) return lookup_builtin(state, name);
    return lookup_name_generic(state, name);
}

// Adds one entry to the pending exception's traceback: file Pelmora.py, globals the module
// namespace of `state`, for row `row` of `program`, for site `site` of `group`, or (init's
// own) "function (site.file:site.line)" at `module_line`. The exception is left as it is.
void add_traceback_frame(const ModuleState& state, const Program& program, std::size_t row);
void add_traceback_frame(const ModuleState& state, const SiteGroup& group, std::size_t site);
void add_traceback_frame(const ModuleState& state, const char* function, SourceSite site,
                         int module_line);

}  // namespace pelmora
