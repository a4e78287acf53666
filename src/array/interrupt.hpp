// Ctrl-C during a long ufunc call. The loops run without the interpreter
// lock, so a SIGINT only sets the interpreter's flag; nothing looks at it
// until the call returns. Only the main thread may run the signal handlers,
// and only between rows: a single row of the integral model can take the
// better part of a second (an implied volatility of a two-boundary row
// prices it a dozen times), and the per-row cost the function table gives
// is off by a factor of a thousand on such rows. So the main thread is
// watched by time, not by an estimate:
//
// - While the main thread computes rows itself (a "stretch"), a watchdog
//   thread counts how long it has gone without looking for signals; past
//   20-30 ms it raises the stretch's yield flag. The stretch's rows poll it
//   (the pricing core through its cancellation scope, the loops between
//   rows), so the thread stops within a row, runs the signal handlers, and
//   hands the rows left to a worker thread, keeping only the watching.
// - A thread that only watches wakes every 20 ms to run the handlers; on a
//   KeyboardInterrupt it sets the call's stop flag, which every worker's rows
//   poll the same way.
//
// A call made from another thread never takes the lock inside the loop:
// that thread may be one the interpreter ends at shutdown, which it does the
// moment such a thread asks for the lock, and ending it inside the loop
// would take the worker threads of the call down with it. Such a call runs
// to its end; the main thread gets the interrupt.
#pragma once

#include <atomic>

namespace varnelle::array {

// Records which thread is the interpreter's main thread; at module import,
// with the interpreter lock held. Returns -1 with an exception set on failure.
int remember_main_thread() noexcept;

// True on the thread remember_main_thread found to be the main one.
bool on_main_thread() noexcept;

// Runs pending signal handlers; call only on the main thread. True when one
// raised: the exception (KeyboardInterrupt for the default SIGINT handler) is
// then set in the calling thread, and the loop should stop and return.
bool signal_raised() noexcept;

// True while an exception is set in the calling thread.
bool exception_pending() noexcept;

// While alive, the calling thread does not hold the interpreter lock: NumPy
// keeps it through the loop of a small call, and a call of a few rows of
// the integral model can still take seconds, during which a thread that only
// watches should let the program's other Python threads run.
class LockReleased {
public:
    LockReleased() noexcept;
    ~LockReleased();
    LockReleased(const LockReleased&) = delete;
    LockReleased& operator=(const LockReleased&) = delete;

private:
    void* saved_ = nullptr;  // the thread state given up, to take back
};

// The main thread computing rows, from construction to destruction (one at
// a time: only the main thread makes them). yield() is raised once the
// thread has computed for 20-30 ms since it last ran the signal handlers;
// the first stretch after a quiet spell starts the watchdog thread, which
// ends itself after a second without stretches. Without a watchdog
// (the system refused the thread) the flag is never raised.
class MainStretch {
public:
    MainStretch() noexcept;
    ~MainStretch();
    MainStretch(const MainStretch&) = delete;
    MainStretch& operator=(const MainStretch&) = delete;

    const std::atomic<bool>& yield() const noexcept;
};

}  // namespace varnelle::array
