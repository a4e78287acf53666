// The generic root finders: each finds known roots of a few functions unlike
// the implied-volatility objectives, keeps to its bracket when the fast step
// is useless, and ends within its step budget.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <limits>

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
    const double x = varnelle::brent(f, c.a, c.f(c.a), c.b, c.f(c.b), 1e-13, 100);
    EXPECT_NEAR(x, c.root, 1e-12 * std::fabs(c.root)) << c.name;
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
    EXPECT_TRUE(std::isnan(varnelle::brent(f, 0.0, -0.75, 1.0, 0.25, 1e-13, 100)));
}

TEST(Brent, EndsAfterItsStepBudget) {
    int calls = 0;
    const auto f = [&](double x) {
        ++calls;
        return x * x * x - 0.1;
    };
    const double x = varnelle::brent(f, 0.0, -0.1, 1.0, 0.9, 0.0, 3);
    EXPECT_EQ(calls, 3);
    EXPECT_GT(x, 0.0);
    EXPECT_LT(x, 1.0);
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
        const double x = varnelle::bracketed_root(step, always, 1.0, 1e-8, 64);
        EXPECT_NEAR(x, std::sqrt(a), 4e-16 * std::sqrt(a)) << a;
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
        const double x = varnelle::bracketed_root(step, always, start, 1e-5, 200);
        EXPECT_NEAR(x, std::sqrt(2.0), 4e-16 * std::sqrt(2.0)) << start;
        EXPECT_LT(calls, 80) << start;
    }
}

TEST(BracketedRoot, NaNResidualsCountAsBelowTheRoot) {
    // Undefined below 1: the iteration must climb out of there.
    const auto step = [](double x) {
        const double f = x < 1.0 ? kNaN : std::log(x) - 1.0;
        return varnelle::RootStep{f, x < 1.0 ? kNaN : x - f * x};
    };
    EXPECT_NEAR(varnelle::bracketed_root(step, always, 0.25, 1e-8, 64), std::exp(1.0), 1e-15);
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
    const double x = varnelle::bracketed_root(step, trust_second, 1.0, 1e-2, 64);
    EXPECT_NEAR(x, std::sqrt(2.0), 1e-11);
    EXPECT_EQ(asked, 2);
}

TEST(BracketedRoot, ReturnsTheSmallestResidualWhenTheBudgetRunsOut) {
    // Steps in x - 2 that wander away from the root after a good start.
    const auto step = [](double x) { return varnelle::RootStep{x - 2.0, x < 2.0 ? x + 0.5 : 1.0}; };
    EXPECT_EQ(varnelle::bracketed_root(step, always, 2.01, 1e-5, 3), 2.01);
}

}  // namespace
