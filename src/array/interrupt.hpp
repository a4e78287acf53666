// Ctrl-C during a long ufunc call. The loops run without the interpreter
// lock, so a SIGINT only sets the interpreter's flag; nothing looks at it
// until the call returns. The calling thread therefore takes the lock between
// slices of rows and lets the interpreter run its signal handlers.
//
// Only the main thread runs signal handlers, so only a call made there looks
// for them. A call made from another thread never takes the lock inside the
// loop: that thread may be one the interpreter ends at shutdown, which it
// does the moment such a thread asks for the lock, and ending it inside the
// loop would take the worker threads of the call down with it.
#pragma once

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

}  // namespace varnelle::array
