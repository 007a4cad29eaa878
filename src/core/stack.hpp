// The C stack's headroom, checked where a call enters the modules.
//
// A chain of calls that passes through our call entry at every level (a
// subclass whose override of a method calls the method through super(), a
// method rebound to another of ours, a hook that calls back in) uses C stack
// at every level: our frames and the interpreter's own for the Python code
// in between. The interpreter's recursion limit counts levels, not bytes: a
// high limit (sys.setrecursionlimit), or a thread started with a small stack
// (threading.stack_size), lets such a chain run off the end of the stack.
// So the call entry refuses, with the interpreter's RecursionError, to start
// a call once less than a fixed reserve of the stack is left. Pure Python
// code needs no C stack for its own calls, so the plain form of such a chain
// stops at the recursion limit only; here it stops at whichever comes first.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <algorithm>
#include <cstddef>

namespace nalo {

// What a call that passes the check may still use: the rest of its own
// level (our frames, the interpreter's frames for the Python code between
// two of our calls, a handler that logs the error on the way out) and the
// raising of the error. One level of an override chain takes about a
// kilobyte on a 64-bit machine, half that on a 32-bit one; the reserve is
// 4096 pointers (32 KiB on 64-bit machines), the margin at which the
// interpreter itself (from 3.14 on) raises RecursionError. Instrumented
// frames are larger: twice that under AddressSanitizer. A thread whose
// whole stack is small keeps three quarters of it for calls.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr size_t stack_reserve = 8192 * sizeof(void *);
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr size_t stack_reserve = 8192 * sizeof(void *);
#else
inline constexpr size_t stack_reserve = 4096 * sizeof(void *);
#endif
#else
inline constexpr size_t stack_reserve = 4096 * sizeof(void *);
#endif

// The stack of the calling thread: calls may start from [floor, high); below
// floor only the reserve is left. The stack grows down on every platform the
// modules build for. Found once per thread; `known` false when the system
// cannot tell (then nothing is checked).
struct StackBounds {
    const char *low = nullptr;
    const char *floor = nullptr;
    const char *high = nullptr;
    bool found = false;
    bool known = false;
};

// Constant-initialised, so that reaching it needs no guard per call.
inline thread_local StackBounds this_thread_stack;

inline void find_stack_bounds(StackBounds &bounds) noexcept {
    bounds.found = true;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) {
        return;
    }
    void *low = nullptr;
    size_t size = 0;
    const int got = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (got != 0 || low == nullptr || size == 0) {
        return;
    }
    bounds.low = static_cast<const char *>(low);
    bounds.high = bounds.low + size;
    bounds.floor = bounds.low + std::min(stack_reserve, size / 4);
    bounds.known = true;
}

// 0, or -1 with RecursionError set when the calling frame lies within the
// reserve. A frame outside the thread's stack (code run on a stack of its
// own, as some coroutine libraries do) is not checked.
inline int check_stack_headroom(const char *where) {
    StackBounds &bounds = this_thread_stack;
    if (!bounds.found) {
        find_stack_bounds(bounds);
    }
    const auto *here = static_cast<const char *>(__builtin_frame_address(0));
    if (here < bounds.floor && here >= bounds.low && bounds.known) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return -1;
    }
    return 0;
}

// The guard around every call into the modules, as the interpreter guards
// its own built-in functions: the stack's headroom, then the interpreter's
// recursion limit. 0, or -1 with RecursionError set; pairs with
// leave_native_call() after a success.
inline int enter_native_call(const char *where) {
    if (check_stack_headroom(where) < 0) {
        return -1;
    }
    // Nonzero, not necessarily -1, when the limit is met.
    return Py_EnterRecursiveCall(where) != 0 ? -1 : 0;
}

inline void leave_native_call() noexcept {
    Py_LeaveRecursiveCall();
}

} // namespace nalo
