// Stopping a long computation early. A finite-difference solve can spend
// a good part of a second on one row (two boundaries over centuries at a fine
// tol), and an implied volatility prices a row up to thirty times; a caller
// that must answer an interrupt quickly (the array module on Ctrl-C) hands
// the thread a flag, and these loops poll it between time steps and between
// evaluations. A cancelled computation returns NaN, which the caller
// discards.
//
// The flag belongs to the thread that sets it: every worker of a parallel
// loop sets its own scope (all pointing at one shared flag, if it likes).
#pragma once

#include <atomic>

namespace varnelle {

// While alive, the current thread's computations poll `flag` (null: never
// stop). Scopes nest; the previous flag comes back at the end of this one.
class CancellationScope {
public:
    explicit CancellationScope(const std::atomic<bool>* flag) noexcept;
    ~CancellationScope();
    CancellationScope(const CancellationScope&) = delete;
    CancellationScope& operator=(const CancellationScope&) = delete;

private:
    const std::atomic<bool>* previous_;
};

// Whether the current thread has been asked to stop: one thread-local load
// and one relaxed atomic load, cheap enough for every time step.
bool cancellation_requested() noexcept;

}  // namespace varnelle
