// The engine behind every routine: one statement at a time, look the callee up,
// make the items, make or pick the tuple, call, release.
#include "module/program.h"

#include "module/ref.h"

namespace pelmora {
namespace {

// New reference to the item's value, or null with an exception set.
inline PyObject* make_item(const ModuleState& state, const Item& item,
                           PyObject* const* arguments) {
    // Float literals are most of the items.
    if (item.kind == ItemKind::literal) return PyFloat_FromDouble(item.value);
    switch (item.kind) {
        case ItemKind::argument:
            Py_INCREF(arguments[item.first]);
            return arguments[item.first];
        case ItemKind::integer: {
            PyObject* shared = state.integers[item.first];
            Py_INCREF(shared);
            return shared;
        }
        case ItemKind::literal:
            return PyFloat_FromDouble(item.value);
        case ItemKind::name:
            return lookup_name(state, static_cast<Text>(item.first));
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

// The items made for one argument tuple. Those not yet handed to the tuple are
// released, last first, when it goes out of scope.
template <std::size_t kSize>
class PendingItems {
public:
    PendingItems() = default;
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;
    ~PendingItems() {
        while (count_ > 0) {
            --count_;
            Py_DECREF(items_[count_]);
        }
    }

    // Takes over `item`; false when it is null.
    bool add(PyObject* item) {
        if (item == nullptr) return false;
        items_[count_++] = item;
        return true;
    }

    // Hands every item to `tuple`, which must have kSize empty slots.
    void move_into(PyObject* tuple) {
        for (std::size_t i = 0; i < kSize; ++i)
            PyTuple_SET_ITEM(tuple, static_cast<Py_ssize_t>(i), items_[i]);  // steals
        count_ = 0;
    }

private:
    PyObject* items_[kSize] = {};
    std::size_t count_ = 0;
};

// Every item first, then the tuple. New reference or null.
template <std::size_t kSize>
PyObject* make_sized_tuple(const ModuleState& state, const Item* row, PyObject* const* arguments) {
    PendingItems<kSize> items;
    for (std::size_t i = 0; i < kSize; ++i)
        if (!items.add(make_item(state, row[i], arguments))) return nullptr;
    PyObject* tuple = PyTuple_New(static_cast<Py_ssize_t>(kSize));
    if (tuple == nullptr) return nullptr;
    items.move_into(tuple);
    return tuple;
}

// One instance per tuple size keeps the item loop free of a run-time bound.
PyObject* make_tuple(const ModuleState& state, const Statement& statement,
                     PyObject* const* arguments) {
    static_assert(kMaxItems == 4, "a case per tuple size");
    switch (statement.size) {
        case 1: return make_sized_tuple<1>(state, statement.items, arguments);
        case 2: return make_sized_tuple<2>(state, statement.items, arguments);
        case 3: return make_sized_tuple<3>(state, statement.items, arguments);
        default: return make_sized_tuple<4>(state, statement.items, arguments);
    }
}

bool run_statement(const ModuleState& state, const Statement& statement,
                   PyObject* const* arguments) {
    Owned callee = Owned::steal(lookup_name(state, statement.callee));
    if (!callee) return false;
    Owned tuple;
    PyObject* argument_tuple;  // borrowed
    switch (statement.list) {
        case ArgumentList::empty:
            argument_tuple = state.empty_tuple;
            break;
        case ArgumentList::cached:
            argument_tuple = state.cached_tuple(statement.size);
            break;
        case ArgumentList::built:
        default:
            tuple = Owned::steal(make_tuple(state, statement, arguments));
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

PyObject* run_program(const ModuleState& state, const Program& program,
                      PyObject* const* arguments) {
    if (compat::enter_recursive_call()) return nullptr;
    for (std::size_t i = 0; i < program.count; ++i) {
        const Statement& statement = program.statements[i];
        if (!run_statement(state, statement, arguments)) {
            compat::leave_recursive_call();
            add_traceback_frame(state, program.routine, {program.source_file, statement.site_line},
                                statement.line);
            return nullptr;
        }
    }
    compat::leave_recursive_call();
    Py_RETURN_NONE;
}

}  // namespace pelmora
