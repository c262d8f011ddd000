// Call-time lookup and synthetic traceback entries.
#include "module/frame.h"

#include "module/ref.h"

namespace pelmora {

ModuleState g_state;

PyObject* lookup_name_generic(PyObject* key) {
    PyObject* module = g_state.module;
    if (module == nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "Pelmora is not initialised: its import failed, so its routines cannot run");
        return nullptr;
    }
    PyObject* found = PyObject_GetAttr(module, key);
    if (found != nullptr) return found;
    if (module != g_state.builtins) {
        PyErr_Clear();
        found = PyObject_GetAttr(g_state.builtins, key);
        if (found != nullptr) return found;
    }
    PyErr_SetObject(PyExc_NameError, key);
    return nullptr;
}

namespace {

// Globals for an entry: the module namespace, or after a failed init a stand-in
// that still names the builtins, which frames need.
Owned frame_globals() {
    if (g_state.module != nullptr) return Owned::borrow(g_state.module_dict);
    Owned globals = Owned::steal(PyDict_New());
    if (globals && PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
        return Owned();
    return globals;
}

}  // namespace

void add_traceback_frame(const char* function, SourceSite site, int module_line) {
    char field[256];
    if (site.line != 0)
        PyOS_snprintf(field, sizeof field, "%s (%s:%d)", function, site.file, site.line);
    else
        PyOS_snprintf(field, sizeof field, "%s", function);

    // Making code and frame objects can run interpreter code that must not see
    // an exception pending; the exception goes back before the entry is added.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);

    Owned globals = frame_globals();
    Owned code;
    Owned frame;
    if (globals)
        code = Owned::steal(g_state.codes.code(kModuleSourceFile, field, function, site.file,
                                               site.line, module_line));
    if (code)
        frame = Owned::steal(reinterpret_cast<PyObject*>(
            PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()),
                        globals.get(), nullptr)));
    if (!frame) {
        // What is pending now is the error that kept the entry from being made;
        // with none, the original exception goes back without its entry.
        if (PyErr_Occurred()) {
            Py_XDECREF(type);
            Py_XDECREF(value);
            Py_XDECREF(traceback);
        } else {
            PyErr_Restore(type, value, traceback);
        }
        return;
    }
    auto* frame_object = reinterpret_cast<PyFrameObject*>(frame.get());
    compat::set_frame_line(frame_object, module_line);
    PyErr_Restore(type, value, traceback);
    PyTraceBack_Here(frame_object);
}

}  // namespace pelmora
