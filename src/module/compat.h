// The one place that includes <Python.h> and the one place that knows which
// interpreter generation it is built for. Everything else calls the neutral
// names below; no other file tests PY_MAJOR_VERSION.
#pragma once

// Python 2.7's headers still use the `register` storage class, which C++17 rejects.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#endif
#include <Python.h>
#include <frameobject.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
#include <atomic>
#endif

#include <pthread.h>
#include <utility>

#define PELMORA_EXPORT_DATA(type) extern "C" __attribute__((visibility("default"))) type

namespace pelmora::compat {

// The exception being handled (what sys.exc_info() reports) as three owned
// references, released with the object unless handed on by `release`.
class HandledException {
public:
    HandledException() = default;
    // Steals all three.
    HandledException(PyObject* type, PyObject* value, PyObject* traceback)
        : type_(type), value_(value), traceback_(traceback) {}
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

    PyObject* type() const { return type_; }
    PyObject* value() const { return value_; }
    PyObject* traceback() const { return traceback_; }
    // New references to the same three.
    HandledException copy() const {
        Py_XINCREF(type_);
        Py_XINCREF(value_);
        Py_XINCREF(traceback_);
        return HandledException(type_, value_, traceback_);
    }
    // Hands the three references on to the caller.
    void release(PyObject** type, PyObject** value, PyObject** traceback) {
        *type = std::exchange(type_, nullptr);
        *value = std::exchange(value_, nullptr);
        *traceback = std::exchange(traceback_, nullptr);
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

#if PY_MAJOR_VERSION >= 3

inline constexpr const char kBuiltinsModuleName[] = "builtins";
inline PyObject* const& kRecursionError = PyExc_RecursionError;
inline constexpr int kImportLevel = 0;  // absolute: Python 3 has no implicit relative import

inline PyObject* intern_text(const char* text) { return PyUnicode_InternFromString(text); }
inline PyObject* plain_text(const char* text, Py_ssize_t size) {
    return PyUnicode_FromStringAndSize(text, size);
}
inline PyObject* integer(long value) { return PyLong_FromLong(value); }
inline bool is_text(PyObject* object) { return PyUnicode_Check(object); }

// Equal length and equal characters; never runs a subclass's __eq__.
inline bool text_equal(PyObject* a, PyObject* b) {
    return PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}
inline bool starts_with_underscore(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
           PyUnicode_READ_CHAR(name, 0) == '_';
}

// 1 with a new reference in *value, 0 when the key is absent, -1 with the error
// that comparing keys raised. The reference is taken inside the dictionary's own
// lookup where the interpreter offers that, so no other thread can free the value
// between the lookup and the increment.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyDict_GetItemRef(dict, key, value);
#else
    *value = PyDict_GetItemWithError(dict, key);
    if (*value == nullptr) return PyErr_Occurred() ? -1 : 0;
    Py_INCREF(*value);
    return 1;
#endif
}

// Whether the failed attribute lookup just means "not bound here"; anything else
// (an error from comparing keys, say) is the caller's to see.
inline bool lookup_missed() { return PyErr_ExceptionMatches(PyExc_AttributeError) != 0; }

// Python 3 has no classic division; `/` is true division.
inline PyObject* divide(PyObject* a, PyObject* b) { return PyNumber_TrueDivide(a, b); }

// `dict.keys()` is a view on Python 3; the star import walks a list by index.
inline PyObject* key_list(PyObject* namespace_dict) { return PyMapping_Keys(namespace_dict); }

// The print statement's soft-space flag is gone on Python 3.
inline int take_soft_space(PyObject*) { return 0; }

inline PyObject* unexpected_keyword_error(const char* routine, PyObject* key) {
    return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", routine,
                        key);
}

inline HandledException get_handled_exception() {
    PyObject *type, *value, *traceback;
    PyErr_GetExcInfo(&type, &value, &traceback);
    return HandledException(type, value, traceback);
}

// Installs `exception`; releases the one installed before.
inline void set_handled_exception(HandledException exception) {
    PyObject *type, *value, *traceback;
    exception.release(&type, &value, &traceback);
    // From 3.11 the interpreter keeps only the value and reads the traceback off it.
    if (value != nullptr && traceback != nullptr && PyExceptionInstance_Check(value))
        PyException_SetTraceback(value, traceback);
    PyErr_SetExcInfo(type, value, traceback);
}

// Multi-phase init: the import machinery makes the module, with `state_size` bytes
// of state, enters it in sys.modules and then runs `exec` on it, so every import
// in every interpreter gets a module and a state of its own.
class ModuleDefinition {
public:
    ModuleDefinition(const char* name, const char* doc, Py_ssize_t state_size,
                     int (*exec)(PyObject*), traverseproc traverse, inquiry clear, freefunc free)
        : slots_{
              {Py_mod_exec, reinterpret_cast<void*>(exec)},
#if PY_VERSION_HEX >= 0x030D0000
              // PyOpenGL's ctypes loads under a per-interpreter GIL from 3.13 on.
              {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
              {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
              // 3.12's ctypes refuses interpreters with a GIL of their own.
              {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#endif
              {0, nullptr},
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

#define PELMORA_MODULE_ENTRY(entry)                                                             \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Pelmora(void) {          \
        return entry();                                                                         \
    }

#else  // Python 2.7

inline constexpr const char kBuiltinsModuleName[] = "__builtin__";
inline PyObject* const& kRecursionError = PyExc_RuntimeError;  // no RecursionError before 3.5
inline constexpr int kImportLevel = -1;  // classic import: relative first, then absolute

inline PyObject* intern_text(const char* text) { return PyString_InternFromString(text); }
inline PyObject* plain_text(const char* text, Py_ssize_t size) {
    return PyString_FromStringAndSize(text, size);
}
inline PyObject* integer(long value) { return PyInt_FromLong(value); }
inline bool is_text(PyObject* object) { return PyString_Check(object); }

inline bool text_equal(PyObject* a, PyObject* b) {
    return PyString_GET_SIZE(a) == PyString_GET_SIZE(b) &&
           std::memcmp(PyString_AS_STRING(a), PyString_AS_STRING(b),
                       static_cast<size_t>(PyString_GET_SIZE(a))) == 0;
}
inline bool starts_with_underscore(PyObject* name) {
    return PyString_Check(name) && PyString_AS_STRING(name)[0] == '_';
}

// Python 2's own lookup counts an error raised by a key's __eq__ as not found.
inline int dict_get_ref(PyObject* dict, PyObject* key, PyObject** value) {
    *value = PyDict_GetItem(dict, key);
    Py_XINCREF(*value);
    return *value != nullptr ? 1 : 0;
}

inline bool lookup_missed() { return true; }

inline PyObject* divide(PyObject* a, PyObject* b) { return PyNumber_Divide(a, b); }

inline PyObject* key_list(PyObject* namespace_dict) {
    return PyObject_CallMethod(namespace_dict, const_cast<char*>("keys"), nullptr);
}

// The print statement's convention: read and clear the flag; a set flag asks for a blank.
inline int take_soft_space(PyObject* stream) { return PyFile_SoftSpace(stream, 0); }

inline PyObject* unexpected_keyword_error(const char* routine, PyObject* key) {
    return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", routine,
                        PyString_AS_STRING(key));
}

inline HandledException get_handled_exception() {
    PyThreadState* thread = PyThreadState_GET();
    Py_XINCREF(thread->exc_type);
    Py_XINCREF(thread->exc_value);
    Py_XINCREF(thread->exc_traceback);
    return HandledException(thread->exc_type, thread->exc_value, thread->exc_traceback);
}

inline void set_handled_exception(HandledException exception) {
    PyThreadState* thread = PyThreadState_GET();
    PyObject* old_type = thread->exc_type;
    PyObject* old_value = thread->exc_value;
    PyObject* old_traceback = thread->exc_traceback;
    exception.release(&thread->exc_type, &thread->exc_value, &thread->exc_traceback);
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
}

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
        static bool initialising = false;
        if (initialising) {
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
        initialising = true;
        int status = exec_(module);
        initialising = false;
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
};

// One module per process: its state is a global, and a routine's self is null.
template <class State>
State* module_state(PyObject*) {
    static State state;
    return &state;
}

inline constexpr bool kStateOwnsModule = true;

inline PyObject* routine_self(PyObject*) { return nullptr; }

#define PELMORA_MODULE_ENTRY(entry)                                                             \
    extern "C" __attribute__((visibility("default"))) void initPelmora(void) { entry(); }

#endif

#if PY_MAJOR_VERSION >= 3
inline constexpr std::size_t kVersionBufferSize = 16;
// print() writes nothing when sys.stdout is None.
inline bool discards_output(PyObject* stream) { return stream == Py_None; }
#else
// Python 2 compares "2.7" with the first three characters of the running version.
inline constexpr std::size_t kVersionBufferSize = 4;
inline bool discards_output(PyObject*) { return false; }
#endif

// The version the module was compiled for, as "major.minor".
inline void compiled_version(char* buffer, size_t size) {
    PyOS_snprintf(buffer, size, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
}

// The running interpreter's "major.minor", cut from its version string.
inline void running_version(char* buffer, size_t size) {
#if PY_MAJOR_VERSION >= 3
    const char* version = Py_GetVersion();
    size_t length = 0;
    int dots = 0;
    while (version[length] != '\0' && length + 1 < size) {
        if (version[length] == '.' && ++dots == 2) break;
        if (version[length] != '.' && (version[length] < '0' || version[length] > '9')) break;
        ++length;
    }
    std::memcpy(buffer, version, length);
    buffer[length] = '\0';
#else
    // Python 2's own convention: the first three characters, compared at 0 and 2.
    PyOS_snprintf(buffer, size, "%s", Py_GetVersion());
#endif
}

inline bool versions_match(const char* compiled, const char* running) {
#if PY_MAJOR_VERSION >= 3
    return std::strcmp(compiled, running) == 0;
#else
    return compiled[0] == running[0] && compiled[2] == running[2];
#endif
}

// The pending exception, moved out of the thread state and back in.
#if PY_VERSION_HEX >= 0x030C0000
struct PendingException {
    PyObject* exception;
};
inline PendingException take_pending() { return {PyErr_GetRaisedException()}; }
inline void restore_pending(PendingException pending) {
    PyErr_SetRaisedException(pending.exception);
}
inline void drop_pending(PendingException pending) { Py_XDECREF(pending.exception); }
#else
struct PendingException {
    PyObject* type;
    PyObject* value;
    PyObject* traceback;
};
inline PendingException take_pending() {
    PendingException pending;
    PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
    return pending;
}
inline void restore_pending(PendingException pending) {
    PyErr_Restore(pending.type, pending.value, pending.traceback);
}
inline void drop_pending(PendingException pending) {
    Py_XDECREF(pending.type);
    Py_XDECREF(pending.value);
    Py_XDECREF(pending.traceback);
}
#endif

// Moves the pending exception into *taken as new references to its class, its
// instance and its traceback, leaving none pending. False, with the new error
// pending and nothing in *taken, when making the instance failed.
inline bool take_exception(HandledException* taken) {
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
    PyObject* type = value != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(value)) : nullptr;
    Py_XINCREF(type);
    *taken = HandledException(type, value,
                              value != nullptr ? PyException_GetTraceback(value) : nullptr);
    return true;
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyErr_NormalizeException(&type, &value, &traceback);
    HandledException fetched(type, value, traceback);
    if (PyErr_Occurred()) return false;
    *taken = std::move(fetched);
    return true;
#endif
}

// One line on sys.stderr: "<module>: import of <source> failed: <type>: <message>".
// It never fails and leaves the error indicator as it found it.
inline void report_failed_import(const char* module, PyObject* source, PyObject* exception) {
    PendingException pending = take_pending();
    const char* type = exception != nullptr ? Py_TYPE(exception)->tp_name : "None";
    PyObject* message = exception != nullptr ? PyObject_Str(exception) : nullptr;
    if (message == nullptr) PyErr_Clear();
#if PY_MAJOR_VERSION >= 3
    if (message != nullptr && PyUnicode_GET_LENGTH(message) > 0)
        PySys_FormatStderr("%s: import of %S failed: %s: %S\n", module, source, type, message);
    else
        PySys_FormatStderr("%s: import of %S failed: %s\n", module, source, type);
#else
    const char* source_text = PyString_AsString(source);
    const char* dot = std::strrchr(type, '.');  // "exceptions.ImportError"
    if (dot != nullptr) type = dot + 1;
    if (message != nullptr && PyString_Check(message) && PyString_GET_SIZE(message) > 0)
        PySys_WriteStderr("%s: import of %.100s failed: %.100s: %.700s\n", module, source_text,
                          type, PyString_AS_STRING(message));
    else
        PySys_WriteStderr("%s: import of %.100s failed: %.100s\n", module, source_text, type);
#endif
    Py_XDECREF(message);
    restore_pending(pending);
}

// New reference to the builtins of the running frame (or the interpreter's).
inline PyObject* frame_builtins() {
#if PY_VERSION_HEX >= 0x030D0000
    return PyEval_GetFrameBuiltins();
#else
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    Py_XINCREF(builtins);
    return builtins;
#endif
}

// New reference to the module `name` in sys.modules, made empty there when it is
// missing (PyImport_AddModule's convention); null with an exception set.
inline PyObject* add_module(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    return PyImport_AddModuleRef(name);
#else
    PyObject* module = PyImport_AddModule(name);  // borrowed
    Py_XINCREF(module);
    return module;
#endif
}

// New reference to sys.<name>, or null with no exception set when sys has none.
inline PyObject* sys_attribute(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    // PySys_GetObject lends from a dictionary that another thread may change
    // before the caller's own reference is taken; the sys module's attribute
    // lookup hands out a reference of its own.
    PyObject* modules = PyImport_GetModuleDict();  // borrowed: lives as long as the interpreter
    PyObject* sys = nullptr;
    if (PyDict_GetItemStringRef(modules, "sys", &sys) <= 0) {
        PyErr_Clear();
        return nullptr;
    }
    PyObject* value = PyObject_GetAttrString(sys, name);
    Py_DECREF(sys);
    if (value == nullptr) PyErr_Clear();
    return value;
#else
    PyObject* value = PySys_GetObject(const_cast<char*>(name));  // borrowed
    Py_XINCREF(value);
    return value;
#endif
}

#if PY_VERSION_HEX < 0x030E0000 && defined(__GLIBC__)
// Whether the calling thread has less than a margin of C stack left. Before 3.14
// the interpreter counts recursion levels without looking at the stack, and a
// routine that re-enters itself spends more stack per level than that count
// allows for: a thread with a 1 MiB stack would overflow it first.
inline bool stack_nearly_exhausted() {
    // This thread's lowest usable address, found on its first call; 1 when unknown.
    static thread_local std::uintptr_t floor = 0;
    char here;
    if (floor == 0) {
        floor = 1;
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
            void* low;
            std::size_t size;
            if (pthread_attr_getstack(&attributes, &low, &size) == 0)
                floor = reinterpret_cast<std::uintptr_t>(low) +
                        std::min<std::size_t>(64 * 1024, size / 4);
            pthread_attr_destroy(&attributes);
        }
    }
    return reinterpret_cast<std::uintptr_t>(&here) < floor;
}
#else
// From 3.14 the interpreter's own recursion check measures the stack.
inline bool stack_nearly_exhausted() { return false; }
#endif

// Counts a routine's entry as one level of C recursion: routines that re-enter
// themselves through rebound names then end in RecursionError, not a C stack overflow.
// True, with the error set, when the routine must not run.
inline bool enter_recursive_call() {
    if (stack_nearly_exhausted()) {
        PyErr_SetString(kRecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return true;
    }
    return Py_EnterRecursiveCall(const_cast<char*>(" while calling a Python object")) != 0;
}
inline void leave_recursive_call() { Py_LeaveRecursiveCall(); }

// Holds off other threads that would change `object` meanwhile; without a GIL
// to do that, a borrowed item of a shared dictionary could be freed.
#if PY_VERSION_HEX >= 0x030D0000
#define PELMORA_BEGIN_CRITICAL_SECTION(object) Py_BEGIN_CRITICAL_SECTION(object)
#define PELMORA_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define PELMORA_BEGIN_CRITICAL_SECTION(object) {
#define PELMORA_END_CRITICAL_SECTION() }
#endif

// A frame's current line: set where the frame is a public struct; from 3.11 a
// fresh frame reports its code object's first line, which is the same line.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}


// --- what the engine's fast paths need ---------------------------------------------------------

// Whether threads run without a GIL: then nothing filled at call time may be shared
// between them without a lock, nor a borrowed object kept where another thread could free it.
#if defined(Py_GIL_DISABLED)
inline constexpr bool kFreeThreaded = true;
#else
inline constexpr bool kFreeThreaded = false;
#endif

// Whether the interpreter lists every live object (sys.getobjects; every 2.7 debug build):
// an object the engine keeps for reuse would stay on that list, where Python code finds it.
#if defined(Py_TRACE_REFS)
inline constexpr bool kListsAllObjects = true;
#else
inline constexpr bool kListsAllObjects = false;
#endif

// Noticing that a dictionary changed, for results kept across lookups: its version tag on
// 3.8-3.11; a dictionary watcher from 3.12 (the tag is deprecated there), whose callback
// advances one process-wide count; nothing on 2.7, nor on a free-threaded build, where a
// borrowed result could be freed by another thread between the check and its use.
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)

inline constexpr bool kFollowsDicts = true;
inline std::atomic<std::uint64_t> dict_changes{1};

inline int count_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    dict_changes.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Starts following `dict`; false (nothing pending) when no watcher id is left.
inline bool follow_dict(PyObject* dict, int* watcher) {
    *watcher = PyDict_AddWatcher(count_dict_change);
    if (*watcher < 0) {
        PyErr_Clear();
        return false;
    }
    if (PyDict_Watch(*watcher, dict) < 0) {
        PyErr_Clear();
        PyDict_ClearWatcher(*watcher);
        *watcher = -1;
        return false;
    }
    return true;
}

// Gives the watcher id back, so that later imports find one. A module freed while an
// exception propagates gets here with it pending: that exception stays as it was.
inline void stop_following(PyObject* dict, int watcher) {
    PendingException pending = take_pending();
    if (PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
    if (PyDict_ClearWatcher(watcher) < 0) PyErr_Clear();
    restore_pending(pending);
}

// Differs from any earlier value once a followed dictionary has changed.
inline std::uint64_t dict_state(PyObject*) {
    return dict_changes.load(std::memory_order_relaxed);
}

#elif PY_VERSION_HEX >= 0x03080000 && !defined(Py_GIL_DISABLED)

inline constexpr bool kFollowsDicts = true;
inline bool follow_dict(PyObject*, int*) { return true; }
inline void stop_following(PyObject*, int) {}
// Every change of any dictionary takes a new, never reused tag (PEP 509).
inline std::uint64_t dict_state(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}

#else

inline constexpr bool kFollowsDicts = false;
inline bool follow_dict(PyObject*, int*) { return false; }
inline void stop_following(PyObject*, int) {}
inline std::uint64_t dict_state(PyObject*) { return 0; }

#endif

// Refilling an object that the engine's free lists hold: a float's value, and a tuple's
// cached hash, which tuples keep from 3.14.
inline void set_float_value(PyObject* number, double value) {
    reinterpret_cast<PyFloatObject*>(number)->ob_fval = value;
}
inline void forget_tuple_hash(PyObject* tuple) {
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(tuple)->ob_hash = -1;
#else
    (void)tuple;
#endif
}

// Vector calls, where the callee has a slot for them; the caller passes one writable slot
// before `arguments`.
#if PY_VERSION_HEX >= 0x03090000
// PyVectorcall_Function's test, in line: from 3.11 that function is no longer inline.
inline bool has_vectorcall(PyObject* callee) {
    PyTypeObject* type = Py_TYPE(callee);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return false;
    vectorcallfunc slot;
    std::memcpy(&slot, reinterpret_cast<char*>(callee) + type->tp_vectorcall_offset, sizeof slot);
    return slot != nullptr;
}
inline PyObject* vectorcall(PyObject* callee, PyObject* const* arguments, std::size_t count) {
    return PyObject_Vectorcall(callee, arguments, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
#elif PY_VERSION_HEX >= 0x03080000
inline bool has_vectorcall(PyObject* callee) { return _PyVectorcall_Function(callee) != nullptr; }
inline PyObject* vectorcall(PyObject* callee, PyObject* const* arguments, std::size_t count) {
    return _PyObject_Vectorcall(callee, arguments, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
#else
inline bool has_vectorcall(PyObject*) { return false; }
inline PyObject* vectorcall(PyObject*, PyObject* const*, std::size_t) {
    PyErr_SetString(PyExc_SystemError, "Pelmora: no vector calls on this interpreter");
    return nullptr;
}
#endif

// Writing plain items straight into a new argument tuple: measured faster on
// Python 3, slower on 2.7 than making them first and moving them in.
inline constexpr bool kFillTuplesInPlace = PY_MAJOR_VERSION >= 3;

// The double that float arithmetic converts an exact int operand to; false, with nothing
// pending, for any other type or when the conversion raises (the generic path raises it).
inline bool exact_int_as_double(PyObject* operand, double* value) {
#if PY_MAJOR_VERSION < 3
    if (PyInt_CheckExact(operand)) {
        *value = static_cast<double>(PyInt_AS_LONG(operand));
        return true;
    }
#endif
    if (!PyLong_CheckExact(operand)) return false;
    *value = PyLong_AsDouble(operand);
    if (*value == -1.0 && PyErr_Occurred()) {
        PyErr_Clear();
        return false;
    }
    return true;
}

// An exact int of at most 53 bits, as a double: both such operands of a true division give
// the correctly rounded quotient that int division returns.
inline bool small_int_as_double(PyObject* operand, double* value) {
    if (!PyLong_CheckExact(operand)) return false;
    int overflow = 0;
    long long whole = PyLong_AsLongLongAndOverflow(operand, &overflow);
    if (overflow != 0 || (whole == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    constexpr long long kExact = 1LL << 53;
    if (whole > kExact || whole < -kExact) return false;
    *value = static_cast<double>(whole);
    return true;
}

// `a / b` as module source means it, straight from the operands' doubles where that is
// what the interpreter computes; false where the generic division must run: zero divisors
// (for the interpreter's own exception), other types, Python 2's floor division of two
// integers and its -Qwarnall warning for floats.
inline bool quick_divide(PyObject* a, PyObject* b, double* quotient) {
    double x = 0.0, y = 0.0;
    const bool a_float = PyFloat_CheckExact(a), b_float = PyFloat_CheckExact(b);
    if (a_float) x = PyFloat_AS_DOUBLE(a);
    if (b_float) y = PyFloat_AS_DOUBLE(b);
#if PY_MAJOR_VERSION >= 3
    if (a_float && b_float) {
    } else if (a_float) {
        if (!exact_int_as_double(b, &y)) return false;
    } else if (b_float) {
        if (!exact_int_as_double(a, &x)) return false;
    } else if (!small_int_as_double(a, &x) || !small_int_as_double(b, &y)) {
        return false;
    }
#else
    if (Py_DivisionWarningFlag >= 2 || !(a_float || b_float)) return false;
    if (!a_float && !exact_int_as_double(a, &x)) return false;
    if (!b_float && !exact_int_as_double(b, &y)) return false;
#endif
    if (y == 0.0) return false;
    *quotient = x / y;
    return true;
}

}  // namespace pelmora::compat
