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
PyObject* lookup_name_generic(PyObject* name);

// New reference to what `name` is bound to in the module namespace, else in the
// builtins module; null with NameError (the bare name) set when neither binds it.
// Inline: it runs for every name use.
inline PyObject* lookup_name(Text id) {
    PyObject* name = text(id);
    PyObject* module = g_state.module;
    // A plain module defines no attribute of these names on its type, so its
    // attribute lookup comes down to the namespace dictionary; a subclass
    // (module __class__ assignment) goes the generic way.
    if (module != nullptr && Py_TYPE(module) == &PyModule_Type) {
        const auto slot = static_cast<std::size_t>(id);
        PyObject* dict = g_state.module_dict;
        PyObject* found = g_state.lookups.find(slot, dict);  // borrowed
        if (found == nullptr) {
            // Read first: the lookup can run a colliding key's __eq__, which may change the dict.
            const std::uint64_t state = g_state.lookups.state(dict);
            found = compat::dict_get_quietly(dict, name);  // borrowed
            if (found != nullptr) g_state.lookups.keep(slot, dict, found, state);
        }
        if (found != nullptr) {
            Py_INCREF(found);
            return found;
        }
    }
    return lookup_name_generic(name);
}

// Adds one entry to the pending exception's traceback: file Pelmora.py, line
// `module_line`, function "function (site.file:site.line)". The pending
// exception itself is left as it is.
void add_traceback_frame(const char* function, SourceSite site, int module_line);

}  // namespace pelmora
