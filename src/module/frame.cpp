// Call-time lookup and synthetic traceback entries.
#include "module/frame.h"

#include "module/ref.h"

namespace pelmora {

PyObject* lookup_name_generic(const ModuleState& state, PyObject* key) {
    PyObject* module = state.module;
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "Pelmora is not initialised: its import failed, so its routines cannot run");
        return nullptr;
    }
    PyObject* found = PyObject_GetAttr(module, key);
    if (found != nullptr || !compat::lookup_missed()) return found;
    if (module != state.builtins) {
        PyErr_Clear();
        found = PyObject_GetAttr(state.builtins, key);
        if (found != nullptr || !compat::lookup_missed()) return found;
    }
    PyErr_SetObject(PyExc_NameError, key);
    return nullptr;
}

namespace {

// Globals for an entry: the module namespace, or after a failed init a stand-in
// that still names the builtins, which frames need.
Owned frame_globals(const ModuleState& state) {
    if (state.module != nullptr) return Owned::borrow(state.module_dict);
    Owned globals = Owned::steal(PyDict_New());
    if (!globals) return globals;
    Owned builtins = Owned::steal(compat::frame_builtins());
    if (!builtins || PyDict_SetItemString(globals.get(), "__builtins__", builtins.get()) < 0)
        return Owned();
    return globals;
}

}  // namespace

void add_traceback_frame(const ModuleState& state, const char* function, SourceSite site,
                         int module_line) {
    // Making code and frame objects can run interpreter code that must not see
    // an exception pending; the exception goes back before the entry is added.
    compat::PendingException pending = compat::take_pending();

    Owned globals = frame_globals(state);
    Owned code;
    Owned frame;
    if (globals)
        code = Owned::steal(
            state.codes.code(kModuleSourceFile, function, site.file, site.line, module_line));
    if (code)
        frame = Owned::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    if (!frame) {
        // What is pending now is the error that kept the entry from being made;
        // with none, the original exception goes back without its entry.
        if (PyErr_Occurred())
            compat::drop_pending(pending);
        else
            compat::restore_pending(pending);
        return;
    }
    auto* frame_object = reinterpret_cast<PyFrameObject*>(frame.get());
    compat::set_frame_line(frame_object, module_line);
    compat::restore_pending(pending);
    PyTraceBack_Here(frame_object);
}

}  // namespace pelmora
