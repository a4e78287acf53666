#include "pricing/fd/bdf2_stepper.hpp"

#include <utility>

#include "pricing/core/cancellation.hpp"
#include "pricing/core/constants.hpp"

namespace varnelle::fd {

ObstacleSolution march(const TridiagonalRow& op, double h, const TimeGrid& grid, ObstacleProblem& problem,
                       std::vector<double> values, StepCondition* condition) {
    const std::size_t n = values.size();
    std::vector<double> previous(n), obstacle(n);
    std::vector<unsigned char> on_obstacle(n, 0);
    ComplementarityWork work(n);
    double last_dt = 0.0;
    for (const TimeStep& step : grid.steps()) {
        // A thread asked to stop leaves NaN, which its caller discards.
        if (cancellation_requested()) {
            values.assign(n, kNaN);
            break;
        }
        const double dt = step.dt;
        double left, right;
        problem.set_level(step.tau, obstacle, left, right);
        // The weights of W^n+1, W^n and W^n-1 (implicit Euler: 1, 1, 0).
        double c0 = 1.0, c1 = 1.0, c2 = 0.0;
        if (step.scheme == StepScheme::Bdf2) {
            const double ratio = dt / last_dt;
            c0 = (1.0 + 2.0 * ratio) / (1.0 + ratio);
            c1 = 1.0 + ratio;
            c2 = ratio * ratio / (1.0 + ratio);
        }
        work.rhs[0] = left;
        work.rhs[n - 1] = right;
        for (std::size_t j = 1; j + 1 < n; ++j) work.rhs[j] = c1 * values[j] - c2 * previous[j];
        const TridiagonalRow m{-dt * op.lower, c0 + dt * op.centre, -dt * op.upper};
        previous.swap(values);
        values = previous;
        solve_complementarity(m, obstacle, problem, h, on_obstacle, work, values);
        last_dt = dt;
        if (condition != nullptr) condition->apply(step.tau, step.stopping, values);
    }
    return {std::move(values), std::move(obstacle), std::move(on_obstacle)};
}

}  // namespace varnelle::fd
