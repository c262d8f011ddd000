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

#include <cstdint>
#include <cstring>
#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
#include <atomic>
#endif

#define PELMORA_EXPORT_DATA(type) extern "C" __attribute__((visibility("default"))) type

namespace pelmora::compat {

#if PY_MAJOR_VERSION >= 3

inline constexpr const char kBuiltinsModuleName[] = "builtins";
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

// Borrowed value or null; an error raised by a key's __eq__ counts as not found.
// (From 3.12 PyDict_GetItem reports such errors as unraisable on stderr.)
inline PyObject* dict_get_quietly(PyObject* dict, PyObject* key) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) PyErr_Clear();
    return value;
}

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

struct HandledException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// New references to the exception being handled (what sys.exc_info() reports).
inline HandledException get_handled_exception() {
    HandledException saved;
    PyErr_GetExcInfo(&saved.type, &saved.value, &saved.traceback);
    return saved;
}

// Steals all three; releases the ones installed before.
inline void set_handled_exception(HandledException exception) {
    // From 3.11 the interpreter keeps only the value and reads the traceback off it.
    if (exception.value != nullptr && exception.traceback != nullptr &&
        PyExceptionInstance_Check(exception.value))
        PyException_SetTraceback(exception.value, exception.traceback);
    PyErr_SetExcInfo(exception.type, exception.value, exception.traceback);
}

#define PELMORA_MODULE_ENTRY(make_module)                                                       \
    extern "C" __attribute__((visibility("default"))) PyObject* PyInit_Pelmora(void) {          \
        return make_module();                                                                   \
    }

// Single-phase init: the module is created here and handed to the import
// machinery, which enters it in sys.modules after the entry returns.
inline PyObject* create_module(const char* name, PyMethodDef* methods, const char* doc) {
    static PyModuleDef definition = {
        PyModuleDef_HEAD_INIT, name, doc, -1, methods, nullptr, nullptr, nullptr, nullptr,
    };
    return PyModule_Create(&definition);
}

// What the entry gives the interpreter: Python 3 takes a new reference to the module.
inline PyObject* entry_result(PyObject* module) {
    Py_XINCREF(module);
    return module;
}

#else  // Python 2.7

inline constexpr const char kBuiltinsModuleName[] = "__builtin__";
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

inline PyObject* dict_get_quietly(PyObject* dict, PyObject* key) {
    return PyDict_GetItem(dict, key);
}

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

struct HandledException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

inline HandledException get_handled_exception() {
    PyThreadState* thread = PyThreadState_GET();
    HandledException saved{thread->exc_type, thread->exc_value, thread->exc_traceback};
    Py_XINCREF(saved.type);
    Py_XINCREF(saved.value);
    Py_XINCREF(saved.traceback);
    return saved;
}

inline void set_handled_exception(HandledException exception) {
    PyThreadState* thread = PyThreadState_GET();
    PyObject* old_type = thread->exc_type;
    PyObject* old_value = thread->exc_value;
    PyObject* old_traceback = thread->exc_traceback;
    thread->exc_type = exception.type;
    thread->exc_value = exception.value;
    thread->exc_traceback = exception.traceback;
    Py_XDECREF(old_type);
    Py_XDECREF(old_value);
    Py_XDECREF(old_traceback);
}

#define PELMORA_MODULE_ENTRY(make_module)                                                       \
    extern "C" __attribute__((visibility("default"))) void initPelmora(void) { make_module(); }

// Py_InitModule4 enters the module in sys.modules and lends it to us.
inline PyObject* create_module(const char* name, PyMethodDef* methods, const char* doc) {
    PyObject* borrowed = Py_InitModule4(const_cast<char*>(name), methods,
                                        const_cast<char*>(doc), nullptr, PYTHON_API_VERSION);
    Py_XINCREF(borrowed);
    return borrowed;
}

inline PyObject* entry_result(PyObject* module) { return module; }

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

// Gives the watcher id back, so that later imports find one.
inline void stop_following(PyObject* dict, int watcher) {
    if (PyDict_Unwatch(watcher, dict) < 0) PyErr_Clear();
    if (PyDict_ClearWatcher(watcher) < 0) PyErr_Clear();
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
