// The generic root finders: each finds known roots of a few functions unlike
// the implied-volatility objectives, keeps to its bracket when the fast step
// is useless, and ends within its step budget.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>

#include "pricing/math/root_finding.hpp"
#include "test_support.hpp"

namespace {

using namespace varnelle::testing;

struct BrentCase {
    const char* name;
    std::function<double(double)> f;
    double a, b, root;
};

class BrentRoots : public ::testing::TestWithParam<BrentCase> {};

TEST_P(BrentRoots, MeetTheRootWithinTheTolerance) {
    const BrentCase& c = GetParam();
    int calls = 0;
    const auto f = [&](double x) {
        ++calls;
        return c.f(x);
    };
    const varnelle::RootResult r = varnelle::brent(f, c.a, c.f(c.a), c.b, c.f(c.b), 1e-13, 100);
    EXPECT_NEAR(r.x, c.root, 1e-12 * std::fabs(c.root)) << c.name;
    EXPECT_TRUE(r.converged) << c.name;
    EXPECT_EQ(r.evaluations, calls) << c.name;
    EXPECT_LT(calls, 60) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Functions, BrentRoots,
    ::testing::Values(
        BrentCase{"cube", [](double x) { return x * x * x - 2.0; }, 0.0, 4.0, std::cbrt(2.0)},
        BrentCase{"decreasing", [](double x) { return std::cos(x) - x; }, 0.0, 1.0, 0.7390851332151607},
        // Vertical at the root: interpolation overshoots, bisection must finish.
        BrentCase{"cube_root", [](double x) { return std::cbrt(x - 1.5); }, 0.0, 2.0, 1.5},
        // A jump: no interpolation helps, the bracket still closes on it.
        BrentCase{"step", [](double x) { return x < 0.3 ? -1.0 : 1.0; }, 0.0, 1.0, 0.3}),
    [](const ::testing::TestParamInfo<BrentCase>& param) { return std::string(param.param.name); });

TEST(Brent, StopsAtTheFirstNaN) {
    const auto f = [](double x) { return x > 0.5 ? kNaN : x - 0.75; };
    const varnelle::RootResult r = varnelle::brent(f, 0.0, -0.75, 1.0, 0.25, 1e-13, 100);
    EXPECT_TRUE(std::isnan(r.x));
    EXPECT_FALSE(r.converged);
}

TEST(Brent, EndsAfterItsStepBudget) {
    int calls = 0;
    const auto f = [&](double x) {
        ++calls;
        return x * x * x - 0.1;
    };
    const varnelle::RootResult r = varnelle::brent(f, 0.0, -0.1, 1.0, 0.9, 0.0, 3);
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(r.evaluations, 3);
    EXPECT_FALSE(r.converged);
    EXPECT_GT(r.x, 0.0);
    EXPECT_LT(r.x, 1.0);
}

// x^2 - a on (0, inf), root sqrt(a).
struct Square {
    double a;
    double residual(double x) const { return x * x - a; }
};

const auto always = [](double) { return true; };

TEST(BracketedRoot, NewtonConvergesToTheRoot) {
    for (const double a : {1e-6, 0.5, 2.0, 1e8}) {
        const Square sq{a};
        const auto step = [&](double x) {
            const double f = sq.residual(x);
            return varnelle::RootStep{f, x - f / (2.0 * x)};
        };
        // Newton's error after a final step h is about h^2 / 2: 1e-8 leaves ~1e-16.
        const varnelle::RootResult r = varnelle::bracketed_root(step, always, 1.0, 1e-8, 64);
        EXPECT_NEAR(r.x, std::sqrt(a), 4e-16 * std::sqrt(a)) << a;
        EXPECT_TRUE(r.converged) << a;
    }
}

TEST(BracketedRoot, UselessStepsFallBackToBisection) {
    // The step always proposes a point outside (0, inf): only the bracket moves,
    // doubling up to the first positive residual, then halving.
    for (const double start : {1e-3, 1.0, 1e3}) {
        const Square sq{2.0};
        int calls = 0;
        const auto step = [&](double x) {
            ++calls;
            return varnelle::RootStep{sq.residual(x), -x};
        };
        const varnelle::RootResult r = varnelle::bracketed_root(step, always, start, 1e-5, 200);
        EXPECT_NEAR(r.x, std::sqrt(2.0), 4e-16 * std::sqrt(2.0)) << start;
        EXPECT_EQ(r.evaluations, calls) << start;
        EXPECT_LT(calls, 80) << start;
    }
}

TEST(BracketedRoot, NaNResidualsCountAsBelowTheRoot) {
    // Undefined below 1: the iteration must climb out of there.
    const auto step = [](double x) {
        const double f = x < 1.0 ? kNaN : std::log(x) - 1.0;
        return varnelle::RootStep{f, x < 1.0 ? kNaN : x - f * x};
    };
    EXPECT_NEAR(varnelle::bracketed_root(step, always, 0.25, 1e-8, 64).x, std::exp(1.0), 1e-15);
}

TEST(BracketedRoot, AnUntrustedFinalStepIsCheckedByAnotherStep) {
    const Square sq{2.0};
    int steps = 0, asked = 0;
    const auto step = [&](double x) {
        ++steps;
        const double f = sq.residual(x);
        return varnelle::RootStep{f, x - f / (2.0 * x)};
    };
    const auto trust_second = [&](double) { return ++asked >= 2; };
    // The first small step (2.5e-3) is not trusted, so one more Newton step
    // follows: its 2e-6 error becomes ~1e-12.
    const varnelle::RootResult r = varnelle::bracketed_root(step, trust_second, 1.0, 1e-2, 64);
    EXPECT_NEAR(r.x, std::sqrt(2.0), 1e-11);
    EXPECT_EQ(asked, 2);
    EXPECT_EQ(r.evaluations, steps);
}

TEST(BracketedRoot, ReturnsTheSmallestResidualWhenTheBudgetRunsOut) {
    // Steps in x - 2 that wander away from the root after a good start.
    const auto step = [](double x) { return varnelle::RootStep{x - 2.0, x < 2.0 ? x + 0.5 : 1.0}; };
    const varnelle::RootResult r = varnelle::bracketed_root(step, always, 2.01, 1e-5, 3);
    EXPECT_EQ(r.x, 2.01);
    EXPECT_EQ(r.residual, 2.01 - 2.0);
    EXPECT_EQ(r.evaluations, 3);
    EXPECT_FALSE(r.converged);
}

TEST(BracketedRoot, AGivenBracketHoldsAndARootPastItIsNotConverged) {
    // The root sqrt(2) lies past the bracket's end 1: the iteration closes
    // onto that end and reports what is left there.
    const Square sq{2.0};
    const auto step = [&](double x) {
        const double f = sq.residual(x);
        return varnelle::RootStep{f, x - f / (2.0 * x)};
    };
    const varnelle::RootResult r = varnelle::bracketed_root(step, always, 0.5, 1e-12, 100, {0.0, 1.0});
    EXPECT_FALSE(r.converged);
    EXPECT_LE(r.x, 1.0);
    EXPECT_NEAR(r.x, 1.0, 1e-12);
    EXPECT_NEAR(r.residual, -1.0, 1e-11);
}

// bracket_outward on x^3 - a (root a^(1/3)), from starts on either side,
// steps down along the slope 3 x^2 with the implied volatilities' rules.
constexpr varnelle::OutwardSearch kSearch{
    .lowest = 1e-8, .highest = 100.0, .growth = 2.0, .overshoot = 1.2, .widest_down = 0.25, .max_steps = 40};

class OutwardBracketCase : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(OutwardBracketCase, HoldsTheRoot) {
    const auto [a, start] = GetParam();
    int calls = 0;
    const auto f = [&](double x) {
        ++calls;
        return x * x * x - a;
    };
    const auto slope = [](double x) { return 3.0 * x * x; };
    const varnelle::OutwardBracket b = varnelle::bracket_outward(f, start, slope, kSearch);
    const double root = std::cbrt(a);
    ASSERT_EQ(b.found, varnelle::OutwardBracket::Found::Bracket) << a << " from " << start;
    EXPECT_LT(b.lo, root);
    EXPECT_GT(b.hi, root);
    EXPECT_LT(b.f_lo, 0.0);
    EXPECT_GT(b.f_hi, 0.0);
    EXPECT_EQ(b.f_lo, f(b.lo));
    EXPECT_EQ(b.f_hi, f(b.hi));
    EXPECT_EQ(b.evaluations, calls - 2);
    // Brent finishes from there.
    EXPECT_NEAR(varnelle::brent(f, b.lo, b.f_lo, b.hi, b.f_hi, 1e-13, 100).x, root, 1e-12 * root);
}

INSTANTIATE_TEST_SUITE_P(Starts, OutwardBracketCase,
                         ::testing::Values(std::pair{2.0, 5.0}, std::pair{2.0, 1.3}, std::pair{2.0, 0.01},
                                           std::pair{1e-12, 3.0}, std::pair{1e5, 1e-8}));

TEST(OutwardBracket, RootsOnTheWayAndSearchesThatFail) {
    using Found = varnelle::OutwardBracket::Found;
    const auto slope = [](double x) { return 3.0 * x * x; };
    const auto cube = [](double a) { return [a](double x) { return x * x * x - a; }; };
    // The start doubled twice lands on the root.
    const varnelle::OutwardBracket exact = varnelle::bracket_outward(cube(8.0), 0.5, slope, kSearch);
    EXPECT_EQ(exact.found, Found::Root);
    EXPECT_EQ(exact.hi, 2.0);
    // A root past the highest point, and a NaN on the way down.
    EXPECT_EQ(varnelle::bracket_outward(cube(1e9), 1.0, slope, kSearch).found, Found::Nothing);
    const auto nan_below = [](double x) { return x < 1.0 ? kNaN : x - 0.5; };
    EXPECT_EQ(varnelle::bracket_outward(nan_below, 2.0, slope, kSearch).found, Found::Nothing);
}

}  // namespace
