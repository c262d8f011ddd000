// Call-time lookup and synthetic traceback entries.
#include "module/frame.h"

#include "module/ref.h"

namespace pelmora {

PyObject* lookup_builtin(const ModuleState& state, PyObject* name) {
    PyObject* found = PyObject_GetAttr(state.builtins, name);
    if (found != nullptr || !compat::lookup_missed()) return found;
    PyErr_SetObject(PyExc_NameError, name);
    return nullptr;
}

bool has_module_getattr(const ModuleState& state) {
    if (!compat::kModuleGetattr) return false;
    PyObject* hook = nullptr;
    // An error here is a colliding key's; the generic lookup meets and raises it.
    const int found = PyDict_GetItemRef(state.module_dict, state.getattr_name, &hook);
    Py_XDECREF(hook);
    if (found < 0) PyErr_Clear();
    return found != 0;
}

PyObject* lookup_name_generic(const ModuleState& state, PyObject* name) {
    PyObject* module = state.module;
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "Pelmora is not initialised: its import failed, so its routines cannot run");
        return nullptr;
    }
    PyObject* found = PyObject_GetAttr(module, name);
    if (found != nullptr || !compat::lookup_missed()) return found;
    if (module == state.builtins) {
        PyErr_SetObject(PyExc_NameError, name);
        return nullptr;
    }
    PyErr_Clear();
    return lookup_builtin(state, name);
}

namespace {

// Globals for an entry: the module namespace, or after a failed init a stand-in
// that still names the builtins, which frames need.
Owned frame_globals(const ModuleState& state) {
    if (state.module != nullptr) return Owned::borrow(state.module_dict);
    Owned globals = Owned::steal(PyDict_New());
    if (!globals) return globals;
    Owned builtins = Owned::steal(PyEval_GetFrameBuiltins());
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0)
        return Owned();
    return globals;
}

// The entry itself, with `code` (owned; made by the caller, who may have failed to).
void add_entry(const ModuleState& state, Owned code, int module_line) {
    // Making a frame can run interpreter code that must not see an exception pending;
    // the exception goes back before the entry is added.
    PendingException pending = PendingException::take();
    Owned globals = code ? frame_globals(state) : Owned();
    Owned frame;
    if (globals)
        frame = Owned::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    if (!frame) {
        // What is pending now is the error that kept the entry from being made;
        // with none, the original exception goes back without its entry.
        if (PyErr_Occurred())
            pending.drop();
        else
            pending.restore();
        return;
    }
    auto* frame_object = reinterpret_cast<PyFrameObject*>(frame.get());
    compat::set_frame_line(frame_object, module_line);
    pending.restore();
    PyTraceBack_Here(frame_object);
}

// The state's code object for `index` of `table`, or one made now (init's own entries, or
// the module's were released with it or never made).
Owned code_for(const ModuleState& state, const void* table, const char* function,
               SourceSite site, int module_line, std::size_t index) {
    if (PyObject* made = state.codes.find(table, index)) return Owned::borrow(made);
    PendingException pending = PendingException::take();
    Owned code = Owned::steal(make_code_object(function, site, module_line));
    if (code)
        pending.restore();
    else
        pending.drop();
    return code;
}

}  // namespace

void add_traceback_frame(const ModuleState& state, const Program& program, std::size_t row) {
    const Statement& statement = program.statements[row];
    add_entry(state,
              code_for(state, &program, program.routine,
                       {program.source_file, statement.site_line}, statement.line, row),
              statement.line);
}

void add_traceback_frame(const ModuleState& state, const SiteGroup& group, std::size_t site) {
    add_entry(state,
              code_for(state, &group, group.function, {group.file, group.site_lines[site]},
                       group.module_line, site),
              group.module_line);
}

void add_traceback_frame(const ModuleState& state, const char* function, SourceSite site,
                         int module_line) {
    add_entry(state, code_for(state, nullptr, function, site, module_line, 0), module_line);
}

}  // namespace pelmora
