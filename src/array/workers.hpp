// How many threads one ufunc call may split its rows across. The Python layer
// sets it for the duration of a call (the `workers=` keyword); NumPy runs the
// inner loops in the calling thread, so a thread-local value reaches exactly
// the loops of that call and no other thread's.
#pragma once

#include <cstddef>
#include <functional>

namespace varnelle::array {

// The most threads one call may use: far more than any machine's cores, low
// enough that a typo cannot ask for a million threads.
inline constexpr int kMaxWorkers = 4096;

int current_workers() noexcept;
// Clamps to [1, kMaxWorkers]; returns the previous value.
int set_workers(int workers) noexcept;

// The rows [begin, end) of a call: computes them in order and returns the
// first row it did not finish, which is `end` unless the thread's
// cancellation flag (pricing/core/cancellation.hpp) rose; a row cut short
// is not stored.
using RowBody = std::function<std::ptrdiff_t(std::ptrdiff_t begin, std::ptrdiff_t end)>;

// Runs body over [0, rows) in contiguous ranges, on up to current_workers()
// threads, the calling one included. Rows cheap enough to finish in a few
// tens of microseconds are not worth a thread and run in the caller.
// cost_ns is a rough per-row cost of the body.
// On the main thread a call that may run long is watched by time
// (interrupt.hpp): within a fraction of a second of a signal handler
// raising, every thread stops at its next row (or within the row, where the
// pricing core polls its flag), the exception is set in the calling thread,
// and rows not yet finished keep what they held.
void split_rows(std::ptrdiff_t rows, double cost_ns, const RowBody& body) noexcept;

}  // namespace varnelle::array
