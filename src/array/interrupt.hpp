// Ctrl-C during a long ufunc call. The loops run without the interpreter
// lock, so a SIGINT only sets the interpreter's flag; nothing looks at it
// until the call returns. The calling thread therefore takes the lock between
// slices of rows and lets the interpreter run its signal handlers.
#pragma once

namespace varnelle::array {

// Runs pending signal handlers (the interpreter does so only in its main
// thread). True when one raised: the exception (KeyboardInterrupt for the
// default SIGINT handler) is then set in the calling thread, and the loop
// should stop and return.
bool signal_raised() noexcept;

}  // namespace varnelle::array
