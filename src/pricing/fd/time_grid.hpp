// The time levels of a backward solve, in time to expiry tau from 0 (the
// payoff) to T (today).
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace varnelle::fd {

// How a step advances: implicit Euler (needs one level behind it) or BDF2
// (needs two).
enum class StepScheme { ImplicitEuler, Bdf2 };

// A step from tau - dt to tau. `stopping` marks a tau that is one of the
// stopping times the grid was asked to land on.
struct TimeStep {
    double tau;
    double dt;
    StepScheme scheme;
    bool stopping;
};

// Steps uniform in sqrt(tau), which packs them near expiry where the
// payoff's kink and the exercise boundary move fastest, with every stopping
// time in (0, T) on a level exactly (an ex-dividend date, where the values
// jump). Between two such times the steps stay uniform in sqrt(tau), about
// `steps` over the whole life; there is at least one step in each interval.
//
// Each interval, the first one and each one after a stopping time, starts
// afresh: its first step is split in two halves, implicit Euler over the
// first (the start that damps a kink in the data, the payoff's or a jump's)
// and BDF2 over the second with the data as its second level behind.
//
// Without stopping times the levels are tau_i = T (i / steps)^2, with the
// first interval halved.
class TimeGrid {
public:
    // Stopping times at or below 0 or at or past t are left out: values at
    // tau = 0 and tau = t are the solve's first and last anyway.
    TimeGrid(double t, std::size_t steps, std::span<const double> stopping_times = {});

    const std::vector<TimeStep>& steps() const { return steps_; }

private:
    std::vector<TimeStep> steps_;
};

}  // namespace varnelle::fd
