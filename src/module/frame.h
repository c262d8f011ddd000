// The call frame every routine shares: call-time name lookup and the one
// synthetic traceback entry a failure adds.
#pragma once

#include "module/state.h"

namespace pelmora {

// The file every traceback entry of the module names.
inline constexpr const char kModuleSourceFile[] = "Pelmora.py";

// Where in this implementation a failure was detected: shown in the entry's
// function-name field as "name (file:line)".
struct SourceSite {
    const char* file;
    int line;
};

// __FILE__ as given to the compiler, trimmed to the part below "src/".
constexpr const char* source_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p)
        if (p[0] == 's' && p[1] == 'r' && p[2] == 'c' && p[3] == '/') name = p + 4;
    return name;
}

#define PELMORA_HERE (::pelmora::SourceSite{::pelmora::source_name(__FILE__), __LINE__})

// The module's attribute lookup, then the builtins module's: what lookup_name
// comes down to when the namespace dictionary does not answer.
PyObject* lookup_name_generic(const ModuleState& state, PyObject* name);

// New reference to what `name` is bound to in the module namespace, else in the
// builtins module; null with NameError (the bare name) set when neither binds it,
// or with the error that comparing names raised. Inline: it runs for every name use.
inline PyObject* lookup_name(const ModuleState& state, Text id) {
    PyObject* name = state.text(id);
    PyObject* module = state.module;
    // A plain module defines no attribute of these names on its type, so its
    // attribute lookup comes down to the namespace dictionary; a subclass
    // (module __class__ assignment) goes the generic way.
    if (module != nullptr && Py_TYPE(module) == &PyModule_Type) {
        const auto slot = static_cast<std::size_t>(id);
        PyObject* dict = state.module_dict;
        PyObject* found = state.lookups.find(slot, dict);  // borrowed: the unchanged dict holds it
        if (found != nullptr) {
            Py_INCREF(found);
            return found;
        }
        // Read first: the lookup can run a colliding key's __eq__, which may change the dict.
        const std::uint64_t seen = state.lookups.state(dict);
        const int status = compat::dict_get_ref(dict, name, &found);
        if (status < 0) return nullptr;
        if (status > 0) {
            state.lookups.keep(slot, dict, found, seen);
            return found;
        }
    }
    return lookup_name_generic(state, name);
}

// Adds one entry to the pending exception's traceback: file Pelmora.py, line
// `module_line`, function "function (site.file:site.line)", globals the module
// namespace of `state`. The pending exception itself is left as it is.
void add_traceback_frame(const ModuleState& state, const char* function, SourceSite site,
                         int module_line);

}  // namespace pelmora
