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

// Runs body over [0, rows) in contiguous ranges, on up to current_workers()
// threads, the calling one included. Rows cheap enough to finish in a few
// tens of microseconds are not worth a thread and run in the caller.
// cost_ns is a rough per-row cost of the body.
// A call long enough for a person to press Ctrl-C runs in slices, and, made
// on the main thread, stops at the next slice once a signal handler raised
// (interrupt.hpp); the
// exception is then set in the calling thread, and rows not yet reached keep
// what they held.
void split_rows(std::ptrdiff_t rows, double cost_ns,
                const std::function<void(std::ptrdiff_t, std::ptrdiff_t)>& body) noexcept;

}  // namespace varnelle::array
