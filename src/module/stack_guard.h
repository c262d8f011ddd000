// The recursion check of a routine's entry. Each entry counts as one level of the
// interpreter's recursion; before 3.14, where the interpreter counts levels without
// looking at the C stack, a routine also refuses to run when the thread's stack has less
// than a margin left: routines that re-enter themselves spend more stack per level than
// that count allows for, and a callee needs room of its own.
#pragma once

#include "module/compat.h"

namespace pelmora::stack_guard {

// True when the routine may run, its entry counted; false with RecursionError set.
bool enter();

// Ends what a successful `enter` counted.
inline void leave() { Py_LeaveRecursiveCall(); }

}  // namespace pelmora::stack_guard
