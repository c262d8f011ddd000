// The engine behind every routine: one statement at a time, look the callee up,
// make the items, make or pick the tuple, call, release.
#include "module/program.h"

#include "module/ref.h"

namespace pelmora {
namespace {

// New reference to the item's value, or null with an exception set.
PyObject* make_item(const Item& item, PyObject* const* arguments) {
    switch (item.kind) {
        case ItemKind::argument:
            Py_INCREF(arguments[item.first]);
            return arguments[item.first];
        case ItemKind::integer: {
            PyObject* shared = g_state.integers[item.first];
            Py_INCREF(shared);
            return shared;
        }
        case ItemKind::literal:
            return PyFloat_FromDouble(item.value);
        case ItemKind::name:
            return lookup_name(static_cast<Text>(item.first));
        case ItemKind::product: {
            Owned left = Owned::steal(PyFloat_FromDouble(item.value));
            if (!left) return nullptr;
            return PyNumber_Multiply(left.get(), arguments[item.first]);
        }
        case ItemKind::negation:
            return PyNumber_Negative(arguments[item.first]);
        case ItemKind::quotient:
            return compat::divide(arguments[item.first], arguments[item.second]);
        case ItemKind::quotient_product: {
            Owned left = Owned::steal(compat::divide(arguments[item.first], arguments[item.second]));
            if (!left) return nullptr;
            return PyNumber_Multiply(left.get(), arguments[item.third]);
        }
    }
    PyErr_SetString(PyExc_SystemError, "Pelmora: unknown argument item");
    return nullptr;
}

// Builds the row's tuple: every item first, then the tuple. New reference or null.
PyObject* make_tuple(const Statement& statement, PyObject* const* arguments) {
    Owned items[kMaxItems];
    for (std::size_t i = 0; i < statement.size; ++i) {
        items[i] = Owned::steal(make_item(statement.items[i], arguments));
        if (!items[i]) return nullptr;
    }
    PyObject* tuple = PyTuple_New(statement.size);
    if (tuple == nullptr) return nullptr;
    for (std::size_t i = 0; i < statement.size; ++i)
        PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items[i].release());  // steals
    return tuple;
}

bool run_statement(const Statement& statement, PyObject* const* arguments) {
    Owned callee = Owned::steal(lookup_name(statement.callee));
    if (!callee) return false;
    Owned tuple;
    PyObject* argument_tuple;  // borrowed
    switch (statement.list) {
        case ArgumentList::empty:
            argument_tuple = g_state.empty_tuple;
            break;
        case ArgumentList::cached:
            argument_tuple = cached_tuple(statement.size);
            break;
        case ArgumentList::built:
        default:
            tuple = Owned::steal(make_tuple(statement, arguments));
            if (!tuple) return false;
            argument_tuple = tuple.get();
            break;
    }
    Owned result = Owned::steal(PyObject_Call(callee.get(), argument_tuple, nullptr));
    callee.reset();
    tuple.reset();
    return static_cast<bool>(result);
}

}  // namespace

PyObject* run_program(const Program& program, PyObject* const* arguments) {
    for (std::size_t i = 0; i < program.count; ++i) {
        const Statement& statement = program.statements[i];
        if (!run_statement(statement, arguments)) {
            add_traceback_frame(program.routine, {program.source_file, statement.site_line},
                                statement.line);
            return nullptr;
        }
    }
    Py_RETURN_NONE;
}

}  // namespace pelmora
