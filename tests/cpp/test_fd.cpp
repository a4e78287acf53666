// The finite-difference room: the time grid lands on its stopping times, and
// the stepper calls its step condition at every level, so that a jump at a
// given date reaches the answer exactly where the data make the scheme exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

#include "pricing/fd/bdf2_stepper.hpp"
#include "pricing/fd/mesh.hpp"
#include "pricing/fd/time_grid.hpp"

namespace {

using varnelle::fd::StepScheme;
using varnelle::fd::TimeGrid;
using varnelle::fd::TimeStep;

TEST(FdTimeGrid, WithoutStoppingTimesStepsAreUniformInTheRootOfTime) {
    const double t = 2.5;
    const std::size_t n = 12;
    const TimeGrid grid(t, n);
    const auto& steps = grid.steps();
    ASSERT_EQ(steps.size(), n + 1);  // the first interval in two halves
    EXPECT_EQ(steps[0].scheme, StepScheme::ImplicitEuler);
    EXPECT_EQ(steps[0].tau, 0.5 * t / 144.0);
    for (std::size_t i = 1; i <= n; ++i) {
        const double u = static_cast<double>(i) / static_cast<double>(n);
        EXPECT_EQ(steps[i].tau, t * (u * u)) << i;
        EXPECT_EQ(steps[i].scheme, StepScheme::Bdf2) << i;
        EXPECT_FALSE(steps[i].stopping) << i;
        EXPECT_EQ(steps[i].dt, steps[i].tau - steps[i - 1].tau) << i;
    }
}

class FdTimeGridStops : public ::testing::TestWithParam<std::vector<double>> {};

TEST_P(FdTimeGridStops, LandOnEveryStopAndStartAfreshAfterIt) {
    const double t = 1.0;
    const std::size_t n = 30;
    const std::vector<double>& stops = GetParam();
    const TimeGrid grid(t, n, stops);
    const auto& steps = grid.steps();
    std::vector<double> landed;
    double before = 0.0;
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const TimeStep& s = steps[i];
        EXPECT_GT(s.tau, before) << i;
        EXPECT_EQ(s.dt, s.tau - before) << i;
        before = s.tau;
        if (s.stopping) {
            landed.push_back(s.tau);
            ASSERT_LT(i + 1, steps.size());
            EXPECT_EQ(steps[i + 1].scheme, StepScheme::ImplicitEuler) << s.tau;
        }
        if (i > 0 && s.scheme == StepScheme::ImplicitEuler) {
            EXPECT_TRUE(steps[i - 1].stopping) << i;
        }
    }
    EXPECT_EQ(steps.back().tau, t);
    std::vector<double> inside;
    for (const double s : stops)
        if (s > 0.0 && s < t && (inside.empty() || inside.back() != s)) inside.push_back(s);
    std::sort(inside.begin(), inside.end());
    EXPECT_EQ(landed, inside);
    // About as many steps as asked for: one extra per restart, and at most
    // one more per interval from rounding up.
    EXPECT_LE(steps.size(), n + 1 + 2 * inside.size());
}

INSTANTIATE_TEST_SUITE_P(Stops, FdTimeGridStops,
                         ::testing::Values(std::vector<double>{0.5}, std::vector<double>{0.9, 0.1, 0.5},
                                           std::vector<double>{1e-6, 0.999999},
                                           std::vector<double>{-1.0, 0.0, 0.3, 0.3, 1.0, 2.0}));

// W_tau = W_xx / 2 with data x^2 is solved exactly by x^2 + tau, and the
// scheme reproduces it to rounding: central differences are exact on
// quadratics and BDF2 and implicit Euler on data linear in time. A condition
// adds the time it is applied at to every value at the stopping time s,
// after which the solution is x^2 + tau + s: the final values show that a
// level fell on s exactly and that the steps after the jump took the jumped
// values as their history.
class HeatWithAJump final : public varnelle::fd::ObstacleProblem, public varnelle::fd::StepCondition {
public:
    HeatWithAJump(const varnelle::fd::UniformMesh& mesh, double stop) : mesh_(mesh), stop_(stop) {}

    // At the stopping level itself the values are the ones before the jump.
    double exact(double x, double tau) const { return x * x + tau + (tau > stop_ ? stop_ : 0.0); }

    void set_level(double tau, std::vector<double>& obstacle, double& left, double& right) override {
        for (double& g : obstacle) g = -1e300;  // never binding
        left = exact(mesh_.x(0), tau);
        right = exact(mesh_.x(mesh_.size() - 1), tau);
        levels_.push_back(tau);
    }
    double at(std::size_t) const override { return 0.0; }

    void apply(double tau, bool stopping, std::vector<double>& values) override {
        ++calls_;
        if (!stopping) return;
        stops_.push_back(tau);
        for (double& v : values) v += tau;
    }

    std::size_t calls_ = 0;
    std::vector<double> levels_, stops_;

private:
    varnelle::fd::UniformMesh mesh_;
    double stop_;
};

TEST(FdMarch, AJumpAtAStoppingTimeReachesTheAnswerExactly) {
    const varnelle::fd::UniformMesh mesh = varnelle::fd::mesh_around(0.25, 2.0, 2.0, 0.05);
    const double t = 1.5, stop = 0.7;
    HeatWithAJump problem(mesh, stop);
    std::vector<double> data(mesh.size());
    for (std::size_t j = 0; j < data.size(); ++j) data[j] = mesh.x(j) * mesh.x(j);
    const double a = 0.5 / (mesh.h * mesh.h);
    const TimeGrid grid(t, 20, std::vector<double>{stop});
    const auto solution = varnelle::fd::march({a, 2.0 * a, a}, mesh.h, grid, problem, data, &problem);
    EXPECT_EQ(problem.stops_, std::vector<double>{stop});
    EXPECT_EQ(problem.calls_, grid.steps().size());
    EXPECT_EQ(problem.levels_.size(), grid.steps().size());
    for (std::size_t j = 0; j < mesh.size(); ++j) {
        EXPECT_NEAR(solution.values[j], problem.exact(mesh.x(j), t), 1e-11) << mesh.x(j);
        EXPECT_EQ(solution.on_obstacle[j], 0) << j;
    }
}

}  // namespace
