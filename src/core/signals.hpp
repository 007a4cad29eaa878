// Pending signals checked from inside long native loops.
//
// The interpreter runs Python signal handlers (Ctrl-C's KeyboardInterrupt
// among them) between bytecodes only; a loop in C that runs for seconds
// would hold them back all that time. A loop that may run long ticks a
// SignalPoll once per step, which checks every `period` steps, so handlers
// run within a millisecond or so; a handler's exception then ends the loop
// like any other error.
//
// A check runs Python code: the handlers of pending signals and, from 3.12
// on, a garbage collection that is due (finalisers). Whatever a loop read
// from Python state before a check (a module global, an attribute, whether
// a fast path still applies) must be read again after it, as the plain
// form would read it at its next use.
#pragma once

#include "core/ref.hpp"

namespace nalo {

class SignalPoll {
  public:
    // Steps between two checks: a check costs a few nanoseconds when no
    // signal is pending, a step of the loops here from tens of nanoseconds
    // to a few microseconds.
    static constexpr unsigned default_period = 1024;

    explicit SignalPoll(unsigned period = default_period) noexcept
        : period_(period), left_(period) {}

    // 0 when no check was due; 1 after a check (Python code may have
    // run); -1 with the handler's exception set when a handler raised.
    int tick() {
        if (--left_ != 0) {
            return 0;
        }
        left_ = period_;
        return PyErr_CheckSignals() < 0 ? -1 : 1;
    }

  private:
    unsigned period_;
    unsigned left_;
};

} // namespace nalo
