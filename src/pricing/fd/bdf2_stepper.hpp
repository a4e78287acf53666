// The backward solve of an obstacle problem on a uniform mesh:
//     W_tau = L W,   W >= G(tau),
// from the data at tau = 0 over a TimeGrid, by BDF2 with variable steps
// after an implicit Euler start, each level's complementarity problem solved
// exactly (complementarity.hpp).
//
// BDF2 with w = dt_n / dt_n-1,
//     (1 + 2w)/(1 + w) W^n+1 - (1 + w) W^n + w^2/(1 + w) W^n-1 = dt L W^n+1,
// is second order and L-stable, so the kinks the moving boundaries leave are
// damped at once (Crank-Nicolson lets them ring, which spoils gamma).
//
// Between levels the stepper calls a StepCondition, if given, with the
// values just reached: the place for what happens at a given date rather
// than continuously, such as the jump of the values across an ex-dividend
// date (V(tau+) = V(tau-, S - D), interpolated on the mesh, and the exercise
// choice just before the date). Give the dates to the TimeGrid as stopping
// times, so that a level lands on each and the step after it starts afresh.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/fd/complementarity.hpp"
#include "pricing/fd/time_grid.hpp"
#include "pricing/fd/tridiagonal.hpp"

namespace varnelle::fd {

// What the stepper asks of the problem at each new level: its obstacle, the
// values held at the two ends of the mesh (Dirichlet conditions), and the
// curvature with which the value leaves the obstacle (ContactCurvature::at,
// for the level last set).
class ObstacleProblem : public ContactCurvature {
public:
    virtual void set_level(double tau, std::vector<double>& obstacle, double& left, double& right) = 0;

protected:
    ~ObstacleProblem() = default;
};

// Called after every level, the values at tau in hand. At a level where
// `stopping` is set (a stopping time of the grid) it may change them; at the
// others it must not, since the BDF2 step after reads the level before too.
class StepCondition {
public:
    virtual void apply(double tau, bool stopping, std::vector<double>& values) = 0;

protected:
    ~StepCondition() = default;
};

// The last level of a solve: the values, the obstacle then, and which nodes
// are on it.
struct ObstacleSolution {
    std::vector<double> values;
    std::vector<double> obstacle;
    std::vector<unsigned char> on_obstacle;
};

// Marches `values` (the data at tau = 0) over the grid's steps. A thread
// whose cancellation flag is set (core/cancellation.hpp) stops between
// levels with NaN values. op holds the
// weights of the space operator L: L W_j = op.lower W_j-1 - op.centre W_j +
// op.upper W_j+1; h is the mesh spacing.
ObstacleSolution march(const TridiagonalRow& op, double h, const TimeGrid& grid, ObstacleProblem& problem,
                       std::vector<double> values, StepCondition* condition = nullptr);

}  // namespace varnelle::fd
