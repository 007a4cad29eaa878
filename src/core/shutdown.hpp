// Interpreter shutdown as seen from a release of a reference.
//
// When the interpreter shuts down it ends every other thread that asks for
// the interpreter lock, with pthread_exit(); a thread inside one of our calls
// is then unwound through our frames without the lock, and must touch no
// object on the way out. Asking the interpreter on every release whether it
// is shutting down would cost a library call each time (a few per cent of
// the shortest calls), so a release asks only once a flag of ours is up.
//
// The flag goes up from an atexit callback that each module registers at
// import: atexit callbacks run before the interpreter starts ending threads.
// Python code can empty the atexit registry (atexit._clear(), which test
// tools call, or atexit.unregister() with an object equal to everything),
// so the flag also goes up as soon as the registry lets go of the callback:
// the callback's last reference is the registry's, and its release is seen.
// Nothing else in Python holds or can find the callback. An atexit module
// that is not the interpreter's own (a stand-in put into sys.modules before
// the import) raises the flag at once: every release then asks.
#pragma once

#include "core/compat.hpp"

#include <atomic>

namespace nalo {

// Up once a release can no longer take for granted that no thread is being
// ended; process-wide by nature (there is one interpreter shutdown), so not
// part of any module's state.
extern std::atomic<bool> exit_near;

// Registers the callback that raises `exit_near`; -1 with an exception.
int watch_interpreter_exit();

// False on a thread being ended by the shutting-down interpreter, which
// does not hold the interpreter lock.
inline bool may_touch_objects() noexcept {
    return !exit_near.load(std::memory_order_relaxed) || !compat::is_finalizing() ||
           compat::holds_interpreter_lock();
}

} // namespace nalo
