// The one place that includes <Python.h> and the one place that knows which
// interpreter and platform it is built for: version and platform gates only.
// Python 3 APIs missing from older interpreters get their modern names here, each
// with the release that brought it, and call sites use only those names; where
// Python 2.7 and 3 differ in kind, the neutral names below say what is meant.
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

#if defined(PYPY_VERSION) || defined(GRAALVM_PYTHON)
#error "Pelmora is written against CPython's own C API; build it with CPython 3.8 or later, or 2.7."
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

// --- platform: exported symbols ----------------------------------------------------------------

// The module is built with hidden visibility. PyMODINIT_FUNC exports the entry on Windows and,
// from 3.9, elsewhere; before 3.9 (and for data) the visibility must be asked for.
#if defined(_WIN32)
#define PELMORA_EXPORT_DATA __declspec(dllexport)
#define PELMORA_BEGIN_EXPORTS
#define PELMORA_END_EXPORTS
#elif defined(__GNUC__)
#define PELMORA_EXPORT_DATA
#define PELMORA_BEGIN_EXPORTS _Pragma("GCC visibility push(default)")
#define PELMORA_END_EXPORTS _Pragma("GCC visibility pop")
#else
#define PELMORA_EXPORT_DATA
#define PELMORA_BEGIN_EXPORTS
#define PELMORA_END_EXPORTS
#endif

// --- build: what the interpreter was configured with ---------------------------------------------

// Whether threads run without a GIL: then nothing filled at call time may be shared
// between them without a lock, nor a borrowed object kept where another thread could free it.
#if defined(Py_GIL_DISABLED)
#define PELMORA_FREE_THREADED 1
#else
#define PELMORA_FREE_THREADED 0
#endif

namespace pelmora::compat {

inline constexpr bool kFreeThreaded = PELMORA_FREE_THREADED;

// Whether the interpreter lists every live object (sys.getobjects; every 2.7 debug build).
#if defined(Py_TRACE_REFS)
inline constexpr bool kListsAllObjects = true;
#else
inline constexpr bool kListsAllObjects = false;
#endif

// Whether the interpreter measures its own C stack before each call (from 3.14) rather
// than counting recursion levels.
inline constexpr bool kMeasuresStack = PY_VERSION_HEX >= 0x030E0000;

}  // namespace pelmora::compat

// --- Python 3 APIs under their modern names ------------------------------------------------------

#if PY_VERSION_HEX < 0x030D0000
// PyDict_GetItemRef() added to Python 3.13.0a1. Python 2's own dictionary lookup counts an
// error raised by comparing keys as not found.
inline int PyDict_GetItemRef(PyObject* dict, PyObject* key, PyObject** value) {
#if PY_MAJOR_VERSION >= 3
    *value = PyDict_GetItemWithError(dict, key);
    if (*value == nullptr) return PyErr_Occurred() ? -1 : 0;
#else
    *value = PyDict_GetItem(dict, key);
    if (*value == nullptr) return 0;
#endif
    Py_INCREF(*value);
    return 1;
}
// PyDict_GetItemStringRef() added to Python 3.13.0a1
inline int PyDict_GetItemStringRef(PyObject* dict, const char* key, PyObject** value) {
    PyObject* key_object = PyUnicode_FromString(key);
    *value = nullptr;
    if (key_object == nullptr) return -1;
    int found = PyDict_GetItemRef(dict, key_object, value);
    Py_DECREF(key_object);
    return found;
}
// PyImport_AddModuleRef() added to Python 3.13.0a1
inline PyObject* PyImport_AddModuleRef(const char* name) {
    PyObject* module = PyImport_AddModule(const_cast<char*>(name));
    Py_XINCREF(module);
    return module;
}
// PyEval_GetFrameBuiltins() added to Python 3.13.0a4
inline PyObject* PyEval_GetFrameBuiltins() {
    PyObject* builtins = PyEval_GetBuiltins();
    Py_XINCREF(builtins);
    return builtins;
}
// Py_BEGIN_CRITICAL_SECTION() added to Python 3.13.0a4; a GIL needs nothing of it
#define Py_BEGIN_CRITICAL_SECTION(object) {
#define Py_END_CRITICAL_SECTION() }
#endif

#if PY_VERSION_HEX >= 0x03080000 && PY_VERSION_HEX < 0x03090000
// PyObject_Vectorcall() and PyVectorcall_Function() added to Python 3.9.0a4
#define PyObject_Vectorcall _PyObject_Vectorcall
#define PyVectorcall_Function _PyVectorcall_Function
#endif

#if PY_VERSION_HEX < 0x03000000
// PyErr_GetExcInfo() and PyErr_SetExcInfo() added to Python 3.3
inline void PyErr_GetExcInfo(PyObject** type, PyObject** value, PyObject** traceback) {
    PyThreadState* thread = PyThreadState_GET();
    Py_XINCREF(*type = thread->exc_type);
    Py_XINCREF(*value = thread->exc_value);
    Py_XINCREF(*traceback = thread->exc_traceback);
}
inline void PyErr_SetExcInfo(PyObject* type, PyObject* value, PyObject* traceback) {
    PyThreadState* thread = PyThreadState_GET();
    PyObject* old_type = std::exchange(thread->exc_type, type);
    PyObject* old_value = std::exchange(thread->exc_value, value);
    PyObject* old_traceback = std::exchange(thread->exc_traceback, traceback);
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
}
// PyExc_RecursionError added to Python 3.5; RuntimeError was raised before
#define PyExc_RecursionError PyExc_RuntimeError
#endif

namespace pelmora::compat {

// --- version gates the engine's speed mechanisms ask -------------------------------------------

// From 3.12 a dictionary watcher reports each change of a dictionary (the version tag is
// deprecated there and gone in 3.14); 3.8-3.11 give every dictionary a version tag that takes
// a new, never reused value with each change (PEP 509). Neither can be relied on without a
// GIL, where a borrowed result could be freed by another thread meanwhile.
#if !PELMORA_FREE_THREADED && PY_VERSION_HEX >= 0x030C0000
#define PELMORA_DICT_WATCHERS 1
#elif !PELMORA_FREE_THREADED && PY_VERSION_HEX >= 0x03080000
#define PELMORA_DICT_VERSIONS 1
inline std::uint64_t dict_version(PyObject* dict) {
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

// A tuple's cached hash, which tuples keep from 3.14: forgotten when the engine refills one.
inline void forget_tuple_hash(PyObject* tuple) {
#if PY_VERSION_HEX >= 0x030E0000
    reinterpret_cast<PyTupleObject*>(tuple)->ob_hash = -1;
#else
    (void)tuple;
#endif
}

// Vector calls, where the callee has a slot for them (3.8+); the caller passes one
// writable slot before `arguments`.
#if PY_VERSION_HEX >= 0x03080000
// PyVectorcall_Function's test, in line: from 3.11 that function is no longer inline.
inline bool has_vectorcall(PyObject* callee) {
#if PY_VERSION_HEX < 0x03090000
    return PyVectorcall_Function(callee) != nullptr;
#else
    PyTypeObject* type = Py_TYPE(callee);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HAVE_VECTORCALL)) return false;
    vectorcallfunc slot;
    std::memcpy(&slot, reinterpret_cast<char*>(callee) + type->tp_vectorcall_offset, sizeof slot);
    return slot != nullptr;
#endif
}
inline PyObject* vectorcall(PyObject* callee, PyObject* const* arguments, std::size_t count) {
    return PyObject_Vectorcall(callee, arguments, count | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}
#else
inline bool has_vectorcall(PyObject*) { return false; }
inline PyObject* vectorcall(PyObject*, PyObject* const*, std::size_t) { return nullptr; }
#endif

// A frame's current line: set where the frame is a public struct; from 3.11 a fresh
// frame reports its code object's first line, which is the same line.
inline void set_frame_line(PyFrameObject* frame, int line) {
#if PY_VERSION_HEX < 0x030B0000
    frame->f_lineno = line;
#else
    (void)frame;
    (void)line;
#endif
}

// New reference to sys.<name>, or null with no exception set when sys has none.
inline PyObject* sys_attribute(const char* name) {
#if PY_VERSION_HEX >= 0x030D0000
    // PySys_GetObject lends from a dictionary that another thread may change before the
    // caller's own reference is taken; the sys module's attribute lookup hands out one.
    PyObject* sys = nullptr;
    if (PyDict_GetItemStringRef(PyImport_GetModuleDict(), "sys", &sys) <= 0) {
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

// What the module supports beyond one interpreter with the GIL: from 3.12 subinterpreters
// (3.12's ctypes, and so PyOpenGL, refuses those with a GIL of their own; 3.13's loads
// there), and from 3.13 (Py_mod_gil added) running without the GIL.
#if PY_VERSION_HEX >= 0x030D0000
#define PELMORA_INTERPRETER_SLOTS                                            \
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED}, \
        {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#elif PY_VERSION_HEX >= 0x030C0000
#define PELMORA_INTERPRETER_SLOTS \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_SUPPORTED},
#else
#define PELMORA_INTERPRETER_SLOTS
#endif

// --- Python 2.7 and 3: what differs in kind ------------------------------------------------------

// The module version as the running interpreter reports it, and the one it was built for.
#if PY_MAJOR_VERSION >= 3

#define PELMORA_MULTI_PHASE_INIT 1
inline constexpr char kBuiltinsModuleName[] = "builtins";
inline constexpr int kImportLevel = 0;  // absolute: Python 3 has no implicit relative import
inline constexpr std::size_t kVersionBufferSize = 16;

inline PyObject* intern_text(const char* text) { return PyUnicode_InternFromString(text); }
inline PyObject* plain_text(const char* text, Py_ssize_t size) {
    return PyUnicode_FromStringAndSize(text, size);
}
inline PyObject* integer(long value) { return PyLong_FromLong(value); }
inline bool is_text(PyObject* object) { return PyUnicode_Check(object); }
inline bool is_exact_text(PyObject* object) { return PyUnicode_CheckExact(object); }
// UTF-8 of a text object, or null with an exception set.
inline const char* text_utf8(PyObject* text) { return PyUnicode_AsUTF8(text); }

// Both text, of equal length and equal characters; never runs a subclass's __eq__.
inline bool text_equal(PyObject* a, PyObject* b) {
    return PyUnicode_Check(a) && PyUnicode_Check(b) &&
           PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0;
}
inline bool starts_with_underscore(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_GET_LENGTH(name) > 0 &&
           PyUnicode_READ_CHAR(name, 0) == '_';
}

// Whether the failed attribute lookup just means "not bound here"; anything else
// (an error from comparing keys, say) is the caller's to see.
inline bool lookup_missed() { return PyErr_ExceptionMatches(PyExc_AttributeError) != 0; }
// A module's __getattr__ answers for names it does not bind (3.7+).
inline constexpr bool kModuleGetattr = PY_VERSION_HEX >= 0x03070000;

// `a / b` as the module source means it: true division on Python 3.
inline PyObject* divide(PyObject* a, PyObject* b) { return PyNumber_TrueDivide(a, b); }
inline constexpr bool kClassicDivision = false;
inline bool warns_of_float_division() { return false; }

// `dict.keys()` is a view on Python 3; the star import walks a list by index.
inline PyObject* key_list(PyObject* namespace_dict) { return PyMapping_Keys(namespace_dict); }

// The print statement's soft-space flag is gone on Python 3; print() writes nothing to None.
inline int take_soft_space(PyObject*) { return 0; }
inline bool discards_output(PyObject* stream) { return stream == Py_None; }

inline PyObject* unexpected_keyword_error(const char* routine, PyObject* key) {
    return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", routine,
                        key);
}

// An exception instance carries its traceback on Python 3.
inline void set_traceback(PyObject* exception, PyObject* traceback) {
    PyException_SetTraceback(exception, traceback);
}

// The running interpreter's "major.minor", cut from its version string.
inline void running_version(char* buffer, std::size_t size) {
    const char* version = Py_GetVersion();
    std::size_t length = 0;
    int dots = 0;
    while (version[length] != '\0' && length + 1 < size) {
        if (version[length] == '.' && ++dots == 2) break;
        if (version[length] != '.' && (version[length] < '0' || version[length] > '9')) break;
        ++length;
    }
    std::memcpy(buffer, version, length);
    buffer[length] = '\0';
}
inline bool versions_match(const char* compiled, const char* running) {
    return std::strcmp(compiled, running) == 0;
}

// Writing plain items straight into a new argument tuple: measured faster on
// Python 3, slower on 2.7 than making them first and moving them in.
inline constexpr bool kFillTuplesInPlace = true;

#else  // Python 2.7

inline constexpr char kBuiltinsModuleName[] = "__builtin__";
inline constexpr int kImportLevel = -1;  // classic import: relative first, then absolute
inline constexpr std::size_t kVersionBufferSize = 4;

inline PyObject* intern_text(const char* text) { return PyString_InternFromString(text); }
inline PyObject* plain_text(const char* text, Py_ssize_t size) {
    return PyString_FromStringAndSize(text, size);
}
inline PyObject* integer(long value) { return PyInt_FromLong(value); }
inline bool is_text(PyObject* object) { return PyString_Check(object); }
inline bool is_exact_text(PyObject* object) { return PyString_CheckExact(object); }
inline const char* text_utf8(PyObject* text) { return PyString_AsString(text); }

inline bool text_equal(PyObject* a, PyObject* b) {
    return PyString_Check(a) && PyString_Check(b) && PyString_GET_SIZE(a) == PyString_GET_SIZE(b) &&
           std::memcmp(PyString_AS_STRING(a), PyString_AS_STRING(b),
                       static_cast<std::size_t>(PyString_GET_SIZE(a))) == 0;
}
inline bool starts_with_underscore(PyObject* name) {
    return PyString_Check(name) && PyString_AS_STRING(name)[0] == '_';
}

inline bool lookup_missed() { return true; }
inline constexpr bool kModuleGetattr = false;

// Classic division: the floor of two integers, and a warning for floats under -Qwarnall.
inline PyObject* divide(PyObject* a, PyObject* b) { return PyNumber_Divide(a, b); }
inline constexpr bool kClassicDivision = true;
inline bool warns_of_float_division() { return Py_DivisionWarningFlag >= 2; }

inline PyObject* key_list(PyObject* namespace_dict) {
    return PyObject_CallMethod(namespace_dict, const_cast<char*>("keys"), nullptr);
}

// The print statement's convention: read and clear the flag; a set flag asks for a blank.
inline int take_soft_space(PyObject* stream) { return PyFile_SoftSpace(stream, 0); }
inline bool discards_output(PyObject*) { return false; }

inline PyObject* unexpected_keyword_error(const char* routine, PyObject* key) {
    return PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%s'", routine,
                        PyString_AS_STRING(key));
}

inline void set_traceback(PyObject*, PyObject*) {}

// Python 2's own convention: the first three characters, compared at 0 and 2.
inline void running_version(char* buffer, std::size_t size) {
    PyOS_snprintf(buffer, size, "%s", Py_GetVersion());
}
inline bool versions_match(const char* compiled, const char* running) {
    return compiled[0] == running[0] && compiled[2] == running[2];
}

inline constexpr bool kFillTuplesInPlace = false;

#endif

// The version the module was compiled for, as "major.minor".
inline void compiled_version(char* buffer, std::size_t size) {
    PyOS_snprintf(buffer, size, "%d.%d", PY_MAJOR_VERSION, PY_MINOR_VERSION);
}

// An exact int as the double that float arithmetic converts it to (Python 2's int
// included); false, with nothing pending, for any other type or when that raises.
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

}  // namespace pelmora::compat
