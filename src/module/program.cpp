// The engine behind every routine: one statement at a time, look the callee up,
// make the items, make or pick the tuple, call, release.
#include "module/program.h"

#include "module/arithmetic.h"
#include "module/frame.h"
#include "module/ref.h"
#include "module/stack_guard.h"

namespace pelmora {
namespace {

// `left` (a float) × `right`, as the interpreter's float multiply computes it; a
// fresh float `left` meets the generic multiply when `right` is of another type.
inline PyObject* multiply(FreeLists& free_lists, double left, PyObject* right) {
    double value;
    if (arithmetic::as_double(right, &value)) return free_lists.new_float(left * value);
    Owned fresh = Owned::steal(PyFloat_FromDouble(left));
    if (!fresh) return nullptr;
    return PyNumber_Multiply(fresh.get(), right);
}

// make_item for the items that make something: names, products, negations, quotients.
PyObject* make_computed_item(const ModuleState& state, const Item& item,
                             PyObject* const* arguments) {
    FreeLists& free_lists = state.free_lists;
    double value;
    switch (item.kind) {
        case ItemKind::name:
            return lookup_name(state, static_cast<Text>(item.first));
        case ItemKind::product:
            return multiply(free_lists, item.value, arguments[item.first]);
        case ItemKind::negation:
            if (PyFloat_CheckExact(arguments[item.first]))
                return free_lists.new_float(-PyFloat_AS_DOUBLE(arguments[item.first]));
            return PyNumber_Negative(arguments[item.first]);
        case ItemKind::quotient:
            if (arithmetic::quick_divide(arguments[item.first], arguments[item.second], &value))
                return free_lists.new_float(value);
            return compat::divide(arguments[item.first], arguments[item.second]);
        case ItemKind::quotient_product: {
            if (arithmetic::quick_divide(arguments[item.first], arguments[item.second], &value))
                return multiply(free_lists, value, arguments[item.third]);
            Owned left = Owned::steal(compat::divide(arguments[item.first], arguments[item.second]));
            if (!left) return nullptr;
            return PyNumber_Multiply(left.get(), arguments[item.third]);
        }
        default:
            break;  // the plain kinds, which make_item makes itself
    }
    PyErr_SetString(PyExc_SystemError, "Pelmora: unknown argument item");
    return nullptr;
}

// New reference to the item's value, or null with an exception set. The plain
// items, most of them, are made in line.
inline PyObject* make_item(const ModuleState& state, const Item& item,
                           PyObject* const* arguments) {
    // Tests rather than a switch: a jump table costs more than the literal test
    // that settles most items.
    if (item.kind == ItemKind::literal) return state.free_lists.new_float(item.value);
    if (item.kind == ItemKind::argument) {
        Py_INCREF(arguments[item.first]);
        return arguments[item.first];
    }
    if (item.kind == ItemKind::integer) {
        PyObject* shared = state.integers[item.first];
        Py_INCREF(shared);
        return shared;
    }
    return make_computed_item(state, item, arguments);
}

// The items made for one call, behind one free slot that a vector call may use.
// Those not yet handed to a tuple are released, last first, when it goes out of
// scope, as a tuple releases its own.
template <std::size_t kSize>
class PendingItems {
public:
    explicit PendingItems(FreeLists& free_lists) : free_lists_(free_lists) {}
    PendingItems(const PendingItems&) = delete;
    PendingItems& operator=(const PendingItems&) = delete;
    ~PendingItems() {
        while (count_ > 0) {
            free_lists_.release(slots_[count_]);
            --count_;
        }
    }

    // Takes over `item`; false when it is null.
    bool add(PyObject* item) {
        if (item == nullptr) return false;
        slots_[++count_] = item;
        return true;
    }

    // The items, all kSize of them, with the free slot before the first.
    PyObject* const* vector() const { return slots_ + 1; }

    // Hands every item to `tuple`, which must have kSize empty slots.
    template <class Tuple>
    void move_into(Tuple& tuple) {
        for (std::size_t i = 0; i < kSize; ++i) tuple.set(i, slots_[i + 1]);
        count_ = 0;
    }

private:
    FreeLists& free_lists_;
    PyObject* slots_[kSize + 1] = {};
    std::size_t count_ = 0;
};

// A new argument tuple of kSize items, owned, filled through `set`; released
// through the free lists, which may keep it for the next call.
template <std::size_t kSize>
class ArgumentTuple {
public:
    explicit ArgumentTuple(FreeLists& free_lists)
        : free_lists_(free_lists), tuple_(free_lists.take_tuple(kSize)), kept_(tuple_ != nullptr) {
        if (tuple_ == nullptr) tuple_ = PyTuple_New(static_cast<Py_ssize_t>(kSize));
    }
    ArgumentTuple(const ArgumentTuple&) = delete;
    ArgumentTuple& operator=(const ArgumentTuple&) = delete;
    ~ArgumentTuple() {
        if (tuple_ != nullptr) free_lists_.release_tuple(tuple_, kSize);
    }

    explicit operator bool() const { return tuple_ != nullptr; }
    PyObject* get() const { return tuple_; }

    // Takes over `item` into the empty slot `index`.
    void set(std::size_t index, PyObject* item) {
        PyTuple_SET_ITEM(tuple_, static_cast<Py_ssize_t>(index), item);
    }

    // Once every slot is filled: a kept tuple joins the cycle collector's objects,
    // as a new one did when it was made.
    void seal() {
        if (kept_) PyObject_GC_Track(tuple_);
    }

private:
    FreeLists& free_lists_;
    PyObject* tuple_;
    bool kept_;
};

// The call through an argument tuple; the callee is let go before the tuple, which
// the caller still holds. New reference to the result, or null.
inline PyObject* call_with_tuple(Owned& callee, PyObject* tuple) {
    PyObject* result = PyObject_Call(callee.get(), tuple, nullptr);
    callee.reset();
    return result;
}

// Every item first, then the call: through the callee's vector call slot where it
// has one, else with a new tuple of the items. Releases the callee before the
// items. New reference to the result, or null.
template <std::size_t kSize>
PyObject* call_with_items(const ModuleState& state, Owned& callee, const Statement& statement,
                          PyObject* const* arguments) {
    const Item* row = statement.items;
    const bool vector = compat::has_vectorcall(callee.get());
    if (compat::kFillTuplesInPlace && !vector && statement.plain) {
        // Straight into the tuple: no user code runs while it is being filled.
        ArgumentTuple<kSize> tuple(state.free_lists);
        if (!tuple) return nullptr;
        for (std::size_t i = 0; i < kSize; ++i) {
            PyObject* item = make_item(state, row[i], arguments);
            if (item == nullptr) return nullptr;
            tuple.set(i, item);
        }
        tuple.seal();
        return call_with_tuple(callee, tuple.get());
    }
    PendingItems<kSize> items(state.free_lists);
    for (std::size_t i = 0; i < kSize; ++i)
        if (!items.add(make_item(state, row[i], arguments))) return nullptr;
    if (vector) {
        PyObject* result = compat::vectorcall(callee.get(), items.vector(), kSize);
        callee.reset();
        return result;
    }
    ArgumentTuple<kSize> tuple(state.free_lists);
    if (!tuple) return nullptr;
    items.move_into(tuple);
    tuple.seal();
    return call_with_tuple(callee, tuple.get());
}

// One instance per tuple size keeps the item loop free of a run-time bound.
PyObject* call_built(const ModuleState& state, Owned& callee, const Statement& statement,
                     PyObject* const* arguments) {
    static_assert(kMaxItems == 4, "a case per tuple size");
    static_assert(kMaxItems <= FreeLists::kMaxTupleSize, "the free lists keep every tuple size");
    switch (statement.size) {
        case 1: return call_with_items<1>(state, callee, statement, arguments);
        case 2: return call_with_items<2>(state, callee, statement, arguments);
        case 3: return call_with_items<3>(state, callee, statement, arguments);
        default: return call_with_items<4>(state, callee, statement, arguments);
    }
}

bool run_statement(const ModuleState& state, const Statement& statement,
                   PyObject* const* arguments) {
    Owned callee = Owned::steal(lookup_name(state, statement.callee));
    if (!callee) return false;
    PyObject* shared_tuple;  // borrowed
    switch (statement.list) {
        case ArgumentList::empty:
            shared_tuple = state.empty_tuple;
            break;
        case ArgumentList::cached:
            shared_tuple = state.cached_tuple(statement.size);
            break;
        case ArgumentList::built:
        default:
            return Owned::steal(call_built(state, callee, statement, arguments)).get() != nullptr;
    }
    return Owned::steal(call_with_tuple(callee, shared_tuple)).get() != nullptr;
}

}  // namespace

PyObject* run_program(const ModuleState& state, const Program& program,
                      PyObject* const* arguments) {
    if (!stack_guard::enter()) return nullptr;
    for (std::size_t row = 0; row < program.count; ++row) {
        if (!run_statement(state, program.statements[row], arguments)) {
            stack_guard::leave();
            add_traceback_frame(state, program, row);
            return nullptr;
        }
    }
    stack_guard::leave();
    Py_RETURN_NONE;
}

}  // namespace pelmora
