// Module initialisation: version check, the constant table, the guarded star
// imports of PyOpenGL into the module namespace, and registration of the routines.
// Every module object is filled on its own, with a state of its own.
#include "draw/cube_faces.h"
#include "draw/routines.h"
#include "module/frame.h"
#include "module/ref.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

// An embedding host may set this before init to run the module as __main__.
PELMORA_BEGIN_EXPORTS
extern "C" PELMORA_EXPORT_DATA int module_is_main_Pelmora;
int module_is_main_Pelmora = 0;
PELMORA_END_EXPORTS

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

const Program* const kPrograms[] = {&kAxesProgram, &kViewVolumeProgram, &kSquareProgram,
                                   &kGrayCubeProgram, &kColoredCubeProgram};
const SiteGroup* const kSiteGroups[] = {&kViewVolumeRefusals};

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

// Whether the speed mechanisms may keep anything between calls: PELMORA_UNCACHED set to
// anything but "" or "0" when the module is imported asks for every lookup made afresh and
// no object made again (the traceback code objects are made once either way).
bool speed_mechanisms_wanted() {
    const char* value = std::getenv("PELMORA_UNCACHED");
    return value == nullptr || value[0] == '\0' || std::strcmp(value, "0") == 0;
}

// Detaches the state from its module, so that routines reached after a failed
// init refuse to run. The code objects stay for their traceback entries.
void drop_module(ModuleState& state) {
    // Gives the dict watcher back while the namespace is still there to unwatch.
    state.lookups.stop();
    state.free_lists.clear();
    PyObject* module = std::exchange(state.module, nullptr);
    state.module_dict = nullptr;
    if (kStateOwnsModule) Py_XDECREF(module);
}

// Adds init's traceback entry and drops the module: init has failed.
int fail_init(ModuleState& state, SourceSite site, int line) {
    add_traceback_frame(state, kInitFunction, site, line);
    drop_module(state);
    return -1;
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

bool make_constants(ModuleState& state) {
    for (std::size_t i = 0; i < kTextCount; ++i) {
        const TextEntry& entry = kTextEntries[i];
        state.texts[i] = entry.interned
                             ? compat::intern_text(entry.chars)
                             : compat::plain_text(entry.chars,
                                                  static_cast<Py_ssize_t>(entry.size - 1));
        if (state.texts[i] == nullptr) return false;
    }
    for (std::size_t i = 0; i < kIntegerCount; ++i) {
        state.integers[i] = compat::integer(kIntegerValues[i]);
        if (state.integers[i] == nullptr) return false;
    }
    state.getattr_name = compat::intern_text("__getattr__");
    return state.getattr_name != nullptr;
}

bool make_cached_tuples(ModuleState& state) {
    for (std::size_t i = 0; i < kCachedTupleCount; ++i) {
        const CachedTuple& shape = kCachedTuples[i];
        PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(shape.size));
        if (tuple == nullptr) return false;
        for (std::size_t j = 0; j < shape.size; ++j) {
            PyObject* item = state.shared_integer(shape.items[j]);
            Py_INCREF(item);
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(j), item);  // steals
        }
        state.cached_tuples[i] = tuple;
    }
    return true;
}

// The exception being handled (what sys.exc_info() reports) as three owned references,
// released with the object unless handed on by `install`.
class HandledException {
public:
    HandledException() = default;
    HandledException(const HandledException&) = delete;
    HandledException& operator=(const HandledException&) = delete;
    HandledException(HandledException&& other) noexcept { swap(other); }
    HandledException& operator=(HandledException&& other) noexcept {
        HandledException(std::move(other)).swap(*this);
        return *this;
    }
    ~HandledException() {
        Py_XDECREF(type_);
        Py_XDECREF(value_);
        Py_XDECREF(traceback_);
    }

    // New references to the thread's handled exception.
    static HandledException current() {
        HandledException handled;
        PyErr_GetExcInfo(&handled.type_, &handled.value_, &handled.traceback_);
        return handled;
    }

    // The pending exception, normalised, moved here; none is pending afterwards. False,
    // with the new error pending and nothing taken, when making the instance failed.
    bool take_pending() {
        HandledException taken;
        PyErr_Fetch(&taken.type_, &taken.value_, &taken.traceback_);
        PyErr_NormalizeException(&taken.type_, &taken.value_, &taken.traceback_);
        if (PyErr_Occurred()) return false;
        swap(taken);
        return true;
    }

    PyObject* value() const { return value_; }

    // New references to the same three.
    HandledException copy() const {
        HandledException copied;
        Py_XINCREF(copied.type_ = type_);
        Py_XINCREF(copied.value_ = value_);
        Py_XINCREF(copied.traceback_ = traceback_);
        return copied;
    }

    // Makes these the thread's handled exception, releasing the one installed before.
    void install() {
        // From 3.11 the interpreter keeps only the value and reads the traceback off it.
        if (value_ != nullptr && traceback_ != nullptr && PyExceptionInstance_Check(value_))
            compat::set_traceback(value_, traceback_);
        PyErr_SetExcInfo(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                         std::exchange(traceback_, nullptr));
    }

private:
    void swap(HandledException& other) noexcept {
        std::swap(type_, other.type_);
        std::swap(value_, other.value_);
        std::swap(traceback_, other.traceback_);
    }
    PyObject* type_ = nullptr;
    PyObject* value_ = nullptr;
    PyObject* traceback_ = nullptr;
};

// One line on sys.stderr: "Pelmora: import of <source> failed: <type>: <message>". It never
// fails and leaves the error indicator as it found it.
void report_failed_import(PyObject* source, PyObject* exception) {
    PendingException pending = PendingException::take();
    const char* type = exception != nullptr ? Py_TYPE(exception)->tp_name : "None";
    if (std::strncmp(type, "exceptions.", 11) == 0) type += 11;  // Python 2's built-in ones
    Owned message = Owned::steal(exception != nullptr ? PyObject_Str(exception) : nullptr);
    const char* text = message ? compat::text_utf8(message.get()) : nullptr;
    const char* source_text = compat::text_utf8(source);
    PyErr_Clear();
    if (text != nullptr && text[0] != '\0')
        PySys_WriteStderr("Pelmora: import of %.100s failed: %.100s: %.800s\n", source_text,
                          type, text);
    else
        PySys_WriteStderr("Pelmora: import of %.100s failed: %.100s\n", source_text, type);
    pending.restore();
}

// `__import__(name, namespace, {}, from_list, level)`, with `__import__` taken
// from the builtins anew each time. New reference to the named module, or null.
PyObject* import_module(const ModuleState& state, PyObject* name, PyObject* from_list) {
    Owned import = Owned::steal(PyObject_GetAttrString(state.builtins, "__import__"));
    if (!import) return nullptr;
    Owned locals = Owned::steal(PyDict_New());
    if (!locals) return nullptr;
    Owned level = Owned::steal(compat::integer(compat::kImportLevel));
    if (!level) return nullptr;
    return PyObject_CallFunctionObjArgs(import.get(), name, state.module_dict, locals.get(),
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
bool star_import(const ModuleState& state, PyObject* source) {
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
        if (PyObject_SetAttr(state.module, PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1)) <
            0)
            return false;
    }
    return true;
}

// `from <name> import *` into the module namespace. On failure `*failed_at` says
// which step failed.
bool import_star_from(const ModuleState& state, Text name, SourceSite* failed_at) {
    Owned from_list = Owned::steal(PyList_New(1));
    if (!from_list) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    Py_INCREF(state.text(Text::star));
    PyList_SET_ITEM(from_list.get(), 0, state.text(Text::star));  // steals
    Owned source = Owned::steal(import_module(state, state.text(name), from_list.get()));
    if (!source) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    from_list.reset();
    if (!star_import(state, source.get())) {
        *failed_at = PELMORA_HERE;
        return false;
    }
    return true;
}

// `print` of the import-failure message to sys.stdout.
bool print_failure_message(const ModuleState& state) {
    // A reference of our own: the stream's methods may rebind sys.stdout while we write.
    Owned stream = Owned::steal(compat::sys_attribute("stdout"));
    if (!stream) {
        PyErr_SetString(PyExc_RuntimeError, "lost sys.stdout");
        return false;
    }
    if (compat::discards_output(stream.get())) return true;
    if (compat::take_soft_space(stream.get()) && PyFile_WriteString(" ", stream.get()) < 0)
        return false;
    if (PyFile_WriteObject(state.text(Text::import_failure_message), stream.get(), Py_PRINT_RAW) <
        0)
        return false;
    return PyFile_WriteString("\n", stream.get()) == 0;
}

// sys.exit(1). New reference to what it returned, or null with its exception.
PyObject* call_exit(const ModuleState& state) {
    Owned sys = Owned::steal(PyImport_AddModuleRef(text_chars(Text::sys)));
    if (!sys) return nullptr;
    Owned exit = Owned::steal(PyObject_GetAttr(sys.get(), state.text(Text::exit)));
    if (!exit) return nullptr;
    // A code of 1: a bare exit() would end a host script with status 0.
    Owned arguments = Owned::steal(PyTuple_Pack(1, state.shared_integer(Int::one)));
    if (!arguments) return nullptr;
    return PyObject_Call(exit.get(), arguments.get(), nullptr);
}

// An interrupt or an exit request is no sign of a broken PyOpenGL: it goes on
// to the importer as it is.
bool passes_the_handler() {
    return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) ||
           PyErr_ExceptionMatches(PyExc_SystemExit);
}

// The handler around the star imports: it catches what the import of `source`
// raised, reports it, and exits. True when `sys.exit` returned and init goes on.
bool handle_import_failure(ModuleState& state, HandledException saved, Text source) {
    HandledException taken;
    int failed_line = 0;
    SourceSite failed_at{};
    if (!taken.take_pending()) {
        failed_line = kHandlerLine;
        failed_at = PELMORA_HERE;
    } else {
        report_failed_import(state.text(source), taken.value());
        taken.copy().install();
        if (!print_failure_message(state)) {
            failed_line = kPrintLine;
            failed_at = PELMORA_HERE;
        } else if (!Owned::steal(call_exit(state))) {
            failed_line = kExitLine;
            failed_at = PELMORA_HERE;
        }
    }
    saved.install();
    if (failed_line == 0) return true;
    fail_init(state, failed_at, failed_line);
    return false;
}

// Star-imports GLUT, GL and GLU; the thread's handled exception is as it was
// afterwards, whichever way it went. False when init has failed.
bool import_opengl(ModuleState& state) {
    HandledException saved = HandledException::current();
    for (const StarImport& star : kStarImports) {
        SourceSite failed_at{};
        if (!import_star_from(state, star.module, &failed_at)) {
            add_traceback_frame(state, kImportFunction, failed_at, star.line);
            if (passes_the_handler()) {
                saved.install();
                drop_module(state);
                return false;
            }
            return handle_import_failure(state, std::move(saved), star.module);
        }
    }
    return true;
}

bool register_routine(const ModuleState& state, const Registration& routine) {
    // A routine reaches its module's state through its self.
    Owned function = Owned::steal(PyCFunction_NewEx(
        routine.definition, routine_self(state.module), state.text(Text::Pelmora)));
    return function && PyObject_SetAttr(state.module, state.text(routine.name), function.get()) == 0;
}

// Fills a new module object. 0, or -1 with an exception set.
int exec_module(PyObject* module) {
    ModuleState& state = *new (module_state<ModuleState>(module)) ModuleState{};
    state.module = module;
    state.module_dict = PyModule_GetDict(module);  // borrowed

    state.empty_tuple = PyTuple_New(0);
    if (state.empty_tuple == nullptr) return fail_init(state, PELMORA_HERE, kSetUpLine);
    state.empty_bytes = PyBytes_FromStringAndSize("", 0);
    if (state.empty_bytes == nullptr) return fail_init(state, PELMORA_HERE, kSetUpLine);
    state.builtins = PyImport_ImportModule(compat::kBuiltinsModuleName);
    if (state.builtins == nullptr ||
        PyObject_SetAttrString(module, "__builtins__", state.builtins) < 0)
        return fail_init(state, PELMORA_HERE, kSetUpLine);
    if (!make_constants(state)) return fail_init(state, PELMORA_HERE, kSetUpLine);
    if (module_is_main_Pelmora != 0 &&
        PyObject_SetAttrString(module, "__name__", state.text(Text::dunder_main)) < 0)
        return fail_init(state, PELMORA_HERE, kSetUpLine);
    if (!make_cached_tuples(state)) return fail_init(state, PELMORA_HERE, kSetUpLine);
    if (!state.codes.make(kPrograms, std::size(kPrograms), kSiteGroups, std::size(kSiteGroups)))
        return fail_init(state, PELMORA_HERE, kSetUpLine);

    if (!import_opengl(state)) return -1;

    for (const Registration& routine : kRoutines)
        if (!register_routine(state, routine)) return fail_init(state, PELMORA_HERE, routine.line);

    Owned tests = Owned::steal(PyDict_New());
    if (!tests || PyObject_SetAttr(module, state.text(Text::dunder_test), tests.get()) < 0)
        return fail_init(state, PELMORA_HERE, kSetUpLine);
    // Once the namespace is filled: a dict watcher started earlier would have counted
    // each of the thousands of names the star imports bind, for no lookup to use.
    const bool wanted = speed_mechanisms_wanted();
    state.lookups.start(state.module_dict, state.texts, kTextCount, wanted);
    state.free_lists.start(wanted);
    return 0;
}

// The state's references, for the cycle collector: the routines refer to the
// module and the module, through its namespace, to them.
int traverse_module(PyObject* module, visitproc visit, void* arg) {
    auto* state = module_state<ModuleState>(module);
    if (state == nullptr) return 0;  // 3.8 may ask before exec has run
    auto visit_object = [&](PyObject* object) {
        Py_VISIT(object);
        return 0;
    };
    if (int result = state->for_each_constant([&](PyObject** slot) { return visit_object(*slot); }))
        return result;
    if (int result = state->lookups.visit(visit_object)) return result;
    return state->codes.visit(visit_object);
}

int clear_module(PyObject* module) {
    auto* state = module_state<ModuleState>(module);
    if (state == nullptr) return 0;
    drop_module(*state);
    state->codes.clear();
    return state->for_each_constant([](PyObject** slot) {
        Py_CLEAR(*slot);
        return 0;
    });
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

ModuleDefinition definition("Pelmora", kModuleDoc, sizeof(ModuleState), exec_module,
                                    traverse_module, clear_module, free_module);

// New reference to what the import machinery needs (Python 3: the definition;
// 2.7: nothing, the module is made and filled here), or null with an exception set.
PyObject* module_entry() {
    if (!check_version()) return nullptr;
    return definition.entry();
}

}  // namespace
}  // namespace pelmora

PELMORA_MODULE_ENTRY(pelmora::module_entry)
