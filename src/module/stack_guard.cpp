// The stack guard: where the calling thread's stack lies, on each platform that can say, and
// how much of it a routine leaves to its callees.
#include "module/stack_guard.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#elif defined(__APPLE__) || defined(__GLIBC__)
#include <pthread.h>
#endif

// Bound to the oldest versions of glibc's thread calls, so that one build runs on every
// glibc since 2.17: 2.34 gave them new versions when libpthread moved into libc.
#if defined(__GLIBC__)
#if __GLIBC_PREREQ(2, 34) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif __GLIBC_PREREQ(2, 34) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif
#endif

namespace pelmora::stack_guard {
namespace {

// A quarter of the thread's stack, and never less than 256 KiB, is left to callees: a
// callee of a routine near the floor can still recurse in C, say repr() of a list nested
// 1,000 deep (100 to 145 KiB on the 3.8-3.13 builds measured, debug and Debian's included),
// and meet the interpreter's own RecursionError. Half of a small stack is kept for routines.
constexpr std::size_t kMinimumMargin = 256 * 1024;

std::size_t margin_for(std::size_t size) {
    return std::min(std::max(size / 4, kMinimumMargin), size / 2);
}

struct Stack {
    std::uintptr_t low = 0;   // lowest usable address
    std::uintptr_t high = 0;  // one past the highest; low == high: not known
};

// The calling thread's stack, as the platform reports it.
Stack this_thread_stack() {
    Stack stack;
#if defined(_WIN32)
    ULONG_PTR low = 0, high = 0;
    GetCurrentThreadStackLimits(&low, &high);
    stack.low = low;
    stack.high = high;
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    stack.high = reinterpret_cast<std::uintptr_t>(pthread_get_stackaddr_np(self));
    stack.low = stack.high - pthread_get_stacksize_np(self);
#elif defined(__GLIBC__)
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        void* low = nullptr;
        std::size_t size = 0;
        if (pthread_attr_getstack(&attributes, &low, &size) == 0) {
            stack.low = reinterpret_cast<std::uintptr_t>(low);
            stack.high = stack.low + size;
        }
        pthread_attr_destroy(&attributes);
    }
#endif
    return stack;
}

// Whether the calling thread is within the margin of the end of its own stack. On a stack
// it does not know (a fiber's, or any platform without the calls above) it says no: the
// interpreter's own check stands alone there.
bool nearly_exhausted() {
    if constexpr (compat::kMeasuresStack) return false;
    struct Known {
        Stack stack;
        std::uintptr_t floor = 0;
        bool read = false;
    };
    static thread_local Known known;
    if (!known.read) {
        known.read = true;
        known.stack = this_thread_stack();
        known.floor = known.stack.low + margin_for(known.stack.high - known.stack.low);
    }
    char here;
    const auto address = reinterpret_cast<std::uintptr_t>(&here);
    return address >= known.stack.low && address < known.stack.high && address < known.floor;
}

}  // namespace

bool enter() {
    if (nearly_exhausted()) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    return Py_EnterRecursiveCall(const_cast<char*>(" while calling a Python object")) == 0;
}

}  // namespace pelmora::stack_guard
