// Binding of positional and keyword arguments, with the interpreter's own messages.
#include "module/arguments.h"

#include "module/frame.h"

namespace pelmora {
namespace {

// Each way an argument list is refused: a row's line names it in the traceback entry.
enum Refusal : std::size_t { kCount, kMissing, kComparing, kNotText, kMultiple, kUnexpected };

constexpr bool same_path(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b)
        if (*a != *b && !((*a == '/' || *a == '\\') && (*b == '/' || *b == '\\'))) return false;
    return *a == *b;
}
static_assert(same_path(source_name(__FILE__), kArgumentsFile), "kArgumentsFile names this file");

}  // namespace

extern const int kRefusalLines[] = {
    __LINE__,  // too many positional arguments, or too few and no keywords
    __LINE__,  // a parameter given neither by position nor by keyword
    __LINE__,  // comparing a keyword with a parameter's name raised
    __LINE__,  // a keyword that is not a string
    __LINE__,  // a keyword for a parameter given by position
    __LINE__,  // a keyword that names no parameter
};
static_assert(kUnexpected + 1 == kRefusalCount, "a line for every refusal");

namespace {

void count_error(const Parameters& parameters, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zd positional argument%s (%zd given)",
                 parameters.routine, "exactly", static_cast<Py_ssize_t>(parameters.count),
                 parameters.count == 1 ? "" : "s", given);
}

bool refuse(const ModuleState& state, const Parameters& parameters, Refusal refusal) {
    add_traceback_frame(state, *parameters.refusals, refusal);
    return false;
}

// The slot among `first`.. whose name is `key`: by identity, or when `by_text`
// also by equal characters. -1 when none is.
Py_ssize_t find_parameter(const ModuleState& state, const Parameters& parameters,
                          std::size_t first, std::size_t last, PyObject* key, bool by_text) {
    for (std::size_t i = first; i < last; ++i) {
        PyObject* name = state.text(parameters.names[i]);
        if (key == name || (by_text && compat::text_equal(key, name)))
            return static_cast<Py_ssize_t>(i);
    }
    return -1;
}

// The walk over every keyword once the missing parameters have been looked for.
bool bind_keywords(const ModuleState& state, const Parameters& parameters, PyObject* keywords,
                   std::size_t first_keyword, Owned* values) {
    Py_ssize_t position = 0;
    PyObject *key, *value;  // borrowed
    while (PyDict_Next(keywords, &position, &key, &value)) {
        Py_ssize_t slot = find_parameter(state, parameters, first_keyword, parameters.count, key,
                                         false);
        if (slot < 0) {
            if (!compat::is_text(key)) {
                PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", parameters.routine);
                return refuse(state, parameters, kNotText);
            }
            slot = find_parameter(state, parameters, first_keyword, parameters.count, key, true);
        }
        if (slot >= 0) {
            values[slot] = Owned::borrow(value);
            continue;
        }
        slot = find_parameter(state, parameters, 0, first_keyword, key, true);
        if (slot >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%s'",
                         parameters.routine, text_chars(parameters.names[slot]));
            return refuse(state, parameters, kMultiple);
        }
        compat::unexpected_keyword_error(parameters.routine, key);
        return refuse(state, parameters, kUnexpected);
    }
    return true;
}

}  // namespace

bool parse_arguments(const ModuleState& state, const Parameters& parameters,
                     PyObject* positional, PyObject* keywords, Owned* values) {
    const Py_ssize_t given = PyTuple_GET_SIZE(positional);
    const auto count = static_cast<Py_ssize_t>(parameters.count);

    if (keywords == nullptr ? given != count : given > count) {
        count_error(parameters, given);
        return refuse(state, parameters, kCount);
    }
    for (Py_ssize_t i = 0; i < given; ++i)
        values[i] = Owned::borrow(PyTuple_GET_ITEM(positional, i));
    if (keywords == nullptr) return true;

    // Every missing parameter is looked for before any stray keyword: the first
    // one missing decides the message.
    Py_ssize_t remaining = PyDict_Size(keywords);
    for (Py_ssize_t i = given; i < count; ++i) {
        PyObject* value;
        int found = PyDict_GetItemRef(keywords, state.text(parameters.names[i]), &value);
        if (found < 0) return refuse(state, parameters, kComparing);
        if (found == 0) {
            count_error(parameters, i);
            return refuse(state, parameters, kMissing);
        }
        values[i] = Owned::steal(value);
        --remaining;
    }
    if (remaining <= 0) return true;

    // Nothing in this walk runs interpreter code, so the dictionary holds still;
    // without a GIL, another thread could still change a dictionary it shares.
    bool parsed = false;
    Py_BEGIN_CRITICAL_SECTION(keywords);
    parsed = bind_keywords(state, parameters, keywords, static_cast<std::size_t>(given), values);
    Py_END_CRITICAL_SECTION();
    return parsed;
}

}  // namespace pelmora
