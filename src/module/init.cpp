// Module initialisation: version check, the constant table, the guarded star
// imports of PyOpenGL into the module namespace, and registration of the routines.
#include "draw/routines.h"
#include "module/frame.h"
#include "module/ref.h"

// An embedding host may set this before init to run the module as __main__.
PELMORA_EXPORT_DATA(int) module_is_main_Pelmora;
int module_is_main_Pelmora = 0;

namespace pelmora {
namespace {

constexpr char kModuleDoc[] =
    "\nPelmora\n\nThis file contains some helper functions for drawing using OpenGL. These are\n"
    "not critical for the assignment and were placed here to reduce clutter.\n\n"
    "IMPORTANT NOTE:\n---------------\n"
    "Make sure that this file is in the same directory as the Tovrin starter code.\n\n"
    "If you choose to add your own drawing helper functions please mark them clearly\n"
    "using comments and also mention them in a README file.\n";

constexpr char kInitFunction[] = "init Pelmora";
constexpr char kImportFunction[] = "Pelmora";
constexpr int kSetUpLine = 1;

PyMethodDef kNoMethods[] = {{nullptr, nullptr, 0, nullptr}};

struct Registration {
    PyMethodDef* definition;
    Text name;
    int line;
};
const Registration kRoutines[] = {
    {&kAxesRoutine, Text::draw3DCoordinateAxes, 26},
    {&kViewVolumeRoutine, Text::drawViewVolume, 43},
    {&kSquareRoutine, Text::drawSquare, 94},
    {&kGrayCubeRoutine, Text::drawGrayCube, 102},
    {&kColoredCubeRoutine, Text::drawColoredCube, 148},
};

struct StarImport {
    Text module;
    int line;
};
// Later modules win where names repeat: GL over GLUT, GLU over both.
constexpr StarImport kStarImports[] = {
    {Text::OpenGL_GLUT, 17},
    {Text::OpenGL_GL, 18},
    {Text::OpenGL_GLU, 19},
};
constexpr int kHandlerLine = 20;
constexpr int kPrintLine = 21;
constexpr int kExitLine = 24;

// Adds init's traceback entry and drops the module: init has failed.
PyObject* fail_init(SourceSite site, int line) {
    add_traceback_frame(kInitFunction, site, line);
    g_state.lookups.stop();
    PyObject* module = std::exchange(g_state.module, nullptr);
    g_state.module_dict = nullptr;
    Py_XDECREF(module);
    return nullptr;
}

// Warns when the running interpreter is not the one the module was built for.
// False when the warnings filter turned the warning into an exception.
bool check_version() {
    char compiled[compat::kVersionBufferSize];
    char running[compat::kVersionBufferSize];
    compat::compiled_version(compiled, sizeof compiled);
    compat::running_version(running, sizeof running);
    if (compat::versions_match(compiled, running)) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compiletime version %s of module '%.100s' does not match runtime version %s",
                  compiled, "Pelmora", running);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

bool make_constants() {
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const TextEntry& entry = kTextEntries[i];
        g_state.texts[i] = entry.interned
                               ? compat::intern_text(entry.chars)
                               : compat::plain_text(entry.chars,
                                                    static_cast<Py_ssize_t>(entry.size - 1));
        if (g_state.texts[i] == nullptr) return false;
    }
    for (std::size_t i = 0; i < kIntegerCount; ++i) {
        g_state.integers[i] = compat::integer(kIntegerValues[i]);
        if (g_state.integers[i] == nullptr) return false;
    }
    return true;
}

bool make_cached_tuples() {
    for (std::size_t i = 0; i < kCachedTupleCount; ++i) {
        const CachedTuple& shape = kCachedTuples[i];
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(shape.size));
        if (tuple == nullptr) return false;
        for (std::size_t j = 0; j < shape.size; ++j) {
            PyObject* item = shared_integer(shape.items[j]);
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), item);  // steals
        }
        g_state.cached_tuples[i] = tuple;
    }
    return true;
}

// `__import__(name, namespace, {}, from_list, level)`, with `__import__` taken
// from the builtins anew each time. New reference to the named module, or null.
PyObject* import_module(PyObject* name, PyObject* from_list) {
    Owned import = Owned::steal(PyObject_GetAttrString(g_state.builtins, "__import__"));
    if (!import) return nullptr;
    Owned locals = Owned::steal(PyDict_New());
    if (!locals) return nullptr;
    Owned level = Owned::steal(compat::integer(compat::kImportLevel));
    if (!level) return nullptr;
    return PyObject_CallFunctionObjArgs(import.get(), name, g_state.module_dict, locals.get(),
                                        from_list, level.get(), nullptr);
}

// New reference to the names `from source import *` copies: `__all__`, or the
// keys of `__dict__` (then `*skip_private` is set). Null with an exception set.
PyObject* exported_names(PyObject* source, bool* skip_private) {
    PyObject* all = PyObject_GetAttrString(source, "__all__");
    if (all != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError)) return all;
    PyErr_Clear();
    Owned namespace_dict = Owned::steal(PyObject_GetAttrString(source, "__dict__"));
    if (!namespace_dict) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError))
            PyErr_SetString(PyExc_ImportError, "from-import-* object has no __dict__ and no __all__");
        return nullptr;
    }
    *skip_private = true;
    return compat::key_list(namespace_dict.get());
}

// Copies the exported names of `source` into the module namespace. Every name is
// read before the first is set, so a failed read leaves the namespace as it was.
bool star_import(PyObject* source) {
    Owned collected = Owned::steal(PyDict_New());
    if (!collected) return false;
    bool skip_private = false;
    Owned names = Owned::steal(exported_names(source, &skip_private));
    if (!names) return false;
    for (Py_ssize_t i = 0;; ++i) {
        Owned name = Owned::steal(PySequence_GetItem(names.get(), i));
        if (!name) {
            if (!PyErr_ExceptionMatches(PyExc_IndexError)) return false;
            PyErr_Clear();
            break;
        }
        if (skip_private && compat::starts_with_underscore(name.get())) continue;
        Owned value = Owned::steal(PyObject_GetAttr(source, name.get()));
        if (!value || PyDict_SetItem(collected.get(), name.get(), value.get()) < 0) return false;
    }
    names.reset();
    Owned pairs = Owned::steal(PyDict_Items(collected.get()));
    if (!pairs) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);  // borrowed; `pairs` holds it
        if (PyObject_SetAttr(g_state.module, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) < 0)
            return false;
    }
    return true;
}

// `from <name> import *` into the module namespace. On failure `*failed_at` says
// which step failed.
bool import_star_from(Text name, SourceSite* failed_at) {
    Owned from_list = Owned::steal(PyList_New(1));
    if (!from_list) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    Py_INCREF(text(Text::star));
    PyList_SET_ITEM(from_list.get(), 0, text(Text::star));  // steals
    Owned source = Owned::steal(import_module(text(name), from_list.get()));
    if (!source) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    from_list.reset();
    if (!star_import(source.get())) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    return true;
}

// `print` of the import-failure message to sys.stdout.
bool print_failure_message() {
    PyObject* borrowed = PySys_GetObject(const_cast<char*>("stdout"));
    if (borrowed == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    // The stream's own methods may rebind sys.stdout while we write to it.
    Owned stream = Owned::borrow(borrowed);
    if (compat::discards_output(stream.get())) return true;
    if (compat::take_soft_space(stream.get()) && PyFile_WriteString(" ", stream.get()) < 0)
        return false;
    if (PyFile_WriteObject(text(Text::import_failure_message), stream.get(), Py_PRINT_RAW) < 0)
        return false;
    return PyFile_WriteString("\n", stream.get()) == 0;
}

// sys.exit(1). New reference to what it returned, or null with its exception.
PyObject* call_exit() {
    PyObject* sys = PyImport_AddModule(text_chars(Text::sys));  // borrowed
    if (sys == nullptr) return nullptr;
    Owned exit = Owned::steal(PyObject_GetAttr(sys, text(Text::exit)));
    if (!exit) return nullptr;
    // A code of 1: a bare exit() would end a host script with status 0.
    Owned arguments = Owned::steal(PyTuple_Pack(1, shared_integer(Int::one)));
    if (!arguments) return nullptr;
    return PyObject_Call(exit.get(), arguments.get(), nullptr);
}

// The handler around the star imports: it catches whatever the import raised,
// reports it, and exits. True when `sys.exit` returned and init goes on.
bool handle_import_failure(compat::HandledException saved) {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    Owned taken_type = Owned::steal(type);
    Owned taken_value = Owned::steal(value);
    Owned taken_traceback = Owned::steal(traceback);
    if (PyErr_Occurred()) {
        compat::set_handled_exception(saved);
        fail_init(PELMORA_HERE, kHandlerLine);
        return false;
    }
    Py_XINCREF(type);
    Py_XINCREF(value);
    Py_XINCREF(traceback);
    compat::set_handled_exception({type, value, traceback});

    if (!print_failure_message()) {
        compat::set_handled_exception(saved);
        fail_init(PELMORA_HERE, kPrintLine);
        return false;
    }
    Owned result = Owned::steal(call_exit());
    if (!result) {
        compat::set_handled_exception(saved);
        fail_init(PELMORA_HERE, kExitLine);
        return false;
    }
    compat::set_handled_exception(saved);
    return true;
}

// Star-imports GLUT, GL and GLU; the thread's handled exception is as it was
// afterwards, whichever way it went. False when init has failed.
bool import_opengl() {
    compat::HandledException saved = compat::get_handled_exception();
    for (const StarImport& star : kStarImports) {
        SourceSite failed_at{};
        if (!import_star_from(star.module, &failed_at)) {
            add_traceback_frame(kImportFunction, failed_at, star.line);
            return handle_import_failure(saved);
        }
    }
    Py_XDECREF(saved.type);
    Py_XDECREF(saved.value);
    Py_XDECREF(saved.traceback);
    return true;
}

bool register_routine(const Registration& routine) {
    Owned function =
        Owned::steal(PyCFunction_NewEx(routine.definition, nullptr, text(Text::Pelmora)));
    return function && PyObject_SetAttr(g_state.module, text(routine.name), function.get()) == 0;
}

// The module, or null with an exception set.
PyObject* initialise() {
    if (!check_version()) return nullptr;

    g_state.empty_tuple = PyTuple_New(0);
    if (g_state.empty_tuple != nullptr) g_state.empty_bytes = PyBytes_FromStringAndSize("", 0);
    if (g_state.empty_bytes != nullptr)
        g_state.module = compat::create_module("Pelmora", kNoMethods, kModuleDoc);
    if (g_state.module == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, kInitFunction);
        return nullptr;
    }
    g_state.module_dict = PyModule_GetDict(g_state.module);  // borrowed
    g_state.lookups.start(g_state.module_dict);
    g_state.codes.start();

    g_state.builtins = PyImport_ImportModule(compat::kBuiltinsModuleName);
    if (g_state.builtins == nullptr ||
        PyObject_SetAttrString(g_state.module, "__builtins__", g_state.builtins) < 0)
        return fail_init(PELMORA_HERE, kSetUpLine);
    if (!make_constants()) return fail_init(PELMORA_HERE, kSetUpLine);
    if (module_is_main_Pelmora != 0 &&
        PyObject_SetAttrString(g_state.module, "__name__", text(Text::dunder_main)) < 0)
        return fail_init(PELMORA_HERE, kSetUpLine);
    if (!make_cached_tuples()) return fail_init(PELMORA_HERE, kSetUpLine);

    if (!import_opengl()) return nullptr;

    for (const Registration& routine : kRoutines)
        if (!register_routine(routine)) return fail_init(PELMORA_HERE, routine.line);

    Owned tests = Owned::steal(PyDict_New());
    if (!tests || PyObject_SetAttr(g_state.module, text(Text::dunder_test), tests.get()) < 0)
        return fail_init(PELMORA_HERE, kSetUpLine);
    return g_state.module;
}

PyObject* make_module() {
    // Python 3 enters the module in sys.modules only after init returns, so code
    // that init runs (a PyOpenGL module, an import hook, the stream the failure
    // message goes to) could import Pelmora again and re-enter init.
    static bool initialising = false;
    if (initialising) {
        PyErr_SetString(PyExc_ImportError,
                        "Pelmora is still being initialised: it cannot be imported from code "
                        "that its own import runs");
        return compat::entry_result(nullptr);
    }
    initialising = true;
    PyObject* module = initialise();
    initialising = false;
    return compat::entry_result(module);
}

}  // namespace
}  // namespace pelmora

PELMORA_MODULE_ENTRY(pelmora::make_module)
