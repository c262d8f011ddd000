// The engine's float arithmetic: products, negations and quotients of exact floats and ints
// computed from their doubles, which is what the interpreter's own float operations do.
// Anything else goes the generic way.
#pragma once

#include "module/compat.h"

namespace pelmora::arithmetic {

// The double that float arithmetic makes of an exact float or int operand.
inline bool as_double(PyObject* operand, double* value) {
    if (PyFloat_CheckExact(operand)) {
        *value = PyFloat_AS_DOUBLE(operand);
        return true;
    }
    return compat::exact_int_as_double(operand, value);
}

// An exact int of at most 53 bits, as a double: two such operands of a true division give
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

// `a / b` as the module source means it, straight from the operands' doubles where that is
// what the interpreter computes; false where the generic division must run: zero divisors
// (for the interpreter's own exception), other types, classic division of two integers and
// its warning for floats.
inline bool quick_divide(PyObject* a, PyObject* b, double* quotient) {
    const bool a_float = PyFloat_CheckExact(a), b_float = PyFloat_CheckExact(b);
    double x = 0.0, y = 0.0;
    if (compat::kClassicDivision) {
        if (compat::warns_of_float_division() || !(a_float || b_float)) return false;
        if (!as_double(a, &x) || !as_double(b, &y)) return false;
    } else if (a_float || b_float) {
        if (!as_double(a, &x) || !as_double(b, &y)) return false;
    } else if (!small_int_as_double(a, &x) || !small_int_as_double(b, &y)) {
        return false;
    }
    if (y == 0.0) return false;
    *quotient = x / y;
    return true;
}

}  // namespace pelmora::arithmetic
