// The module's definition, which differs in kind between Python 3 (multi-phase init: one
// module, and one state, per import and per interpreter) and 2.7 (one module per process,
// made and filled by the entry itself), and the exported entry that hands it over.
#pragma once

#include "module/compat.h"

#include <utility>

namespace pelmora {

#if defined(PELMORA_MULTI_PHASE_INIT)

// Multi-phase init: the import machinery makes the module, with `state_size` bytes
// of state, enters it in sys.modules and then runs `exec` on it, so every import
// in every interpreter gets a module and a state of its own.
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, Py_ssize_t state_size,
                     int (*exec)(PyObject*), traverseproc traverse, inquiry clear, freefunc free)
        : slots_{
              {Py_mod_exec, reinterpret_cast<void*>(exec)},
              PELMORA_INTERPRETER_SLOTS{0, nullptr},
          },
          definition_{PyModuleDef_HEAD_INIT, name, doc, state_size, nullptr, slots_,
                      traverse, clear, free} {
    }
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    PyObject* entry() { return PyModuleDef_Init(&definition_); }

private:
    PyModuleDef_Slot slots_[4];
    PyModuleDef definition_;
};

// The state of the module a routine is bound to (its self).
template <class State>
State* module_state(PyObject* module) {
    return static_cast<State*>(PyModule_GetState(module));
}

// The state points back at its module without a reference: the module owns it.
inline constexpr bool kStateOwnsModule = false;

// A routine's self: the module, as for every built-in module function.
inline PyObject* routine_self(PyObject* module) { return module; }

#define PELMORA_MODULE_ENTRY(entry) \
    PELMORA_BEGIN_EXPORTS           \
    PyMODINIT_FUNC PyInit_Pelmora(void) { return entry(); } PELMORA_END_EXPORTS

#else

// Single-phase init: one module per process, made here by Py_InitModule4, which
// enters it in sys.modules at once.
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, Py_ssize_t, int (*exec)(PyObject*),
                     traverseproc, inquiry, freefunc)
        : name_(name), doc_(doc), exec_(exec) {}
    ModuleDefinition(const ModuleDefinition&) = delete;
    ModuleDefinition& operator=(const ModuleDefinition&) = delete;

    PyObject* entry() {
        // The module is in sys.modules while it is being filled, so only code that
        // removes it first can import it again; that would overwrite the one state.
        if (initialising_) {
            PyErr_Format(PyExc_ImportError,
                         "%s is still being initialised: it cannot be imported from code "
                         "that its own import runs",
                         name_);
            return nullptr;
        }
        static PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};
        PyObject* module = Py_InitModule4(const_cast<char*>(name_), no_methods,
                                          const_cast<char*>(doc_), nullptr,
                                          PYTHON_API_VERSION);  // borrowed
        if (module == nullptr) {
            if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", name_);
            return nullptr;
        }
        Py_INCREF(module);  // the state's
        initialising_ = true;
        int status = exec_(module);
        initialising_ = false;
        if (status < 0) forget(module);
        return nullptr;
    }

private:
    // A failed import leaves no module behind: a second import would find one
    // without its routines and report success.
    void forget(PyObject* module) {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        PyObject* modules = PyImport_GetModuleDict();  // borrowed
        if (PyDict_GetItemString(modules, name_) == module &&
            PyDict_DelItemString(modules, name_) < 0)
            PyErr_Clear();
        PyErr_Restore(type, value, traceback);
    }

    const char* name_;
    const char* doc_;
    int (*exec_)(PyObject*);
    bool initialising_ = false;
};

// One module per process: its state is a global, and a routine's self is null.
template <class State>
State* module_state(PyObject*) {
    static State state;
    return &state;
}

inline constexpr bool kStateOwnsModule = true;

inline PyObject* routine_self(PyObject*) { return nullptr; }

#define PELMORA_MODULE_ENTRY(entry) \
    PELMORA_BEGIN_EXPORTS           \
    PyMODINIT_FUNC initPelmora(void) { entry(); } PELMORA_END_EXPORTS

#endif

}  // namespace pelmora
