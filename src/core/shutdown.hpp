// Interpreter shutdown as seen from a release of a reference.
//
// When the interpreter shuts down it ends every other thread that asks for
// the interpreter lock, with pthread_exit(); a thread inside one of our calls
// is then unwound through our frames without the lock, and must touch no
// object on the way out. Asking the interpreter on every release whether it
// is shutting down would cost a library call each time, so each module
// registers an atexit callback at import that raises a flag of its own:
// atexit callbacks run before the interpreter starts ending threads, and
// until the flag is up a release needs no further question.
#pragma once

#include "core/compat.hpp"

#include <atomic>

namespace nalo {

// Raised by the atexit callback; process-wide by nature (there is one
// interpreter shutdown), so not part of any module's state.
extern std::atomic<bool> exit_started;

// Registers the callback that raises `exit_started`; -1 with an exception.
int watch_interpreter_exit();

// False on a thread being ended by the shutting-down interpreter, which
// does not hold the interpreter lock.
inline bool may_touch_objects() noexcept {
    return !exit_started.load(std::memory_order_relaxed) || !compat::is_finalizing() ||
           compat::holds_interpreter_lock();
}

} // namespace nalo
