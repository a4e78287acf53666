// The finite-difference American solver: the stored reference book, the
// double-boundary case against a binomial tree built here, the exercise
// interval, no-arbitrage bounds, put-call symmetry, Greeks against bumped
// prices and the degenerate inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <vector>

#include "pricing/core/cancellation.hpp"
#include "pricing/american/grid/grid_model.hpp"
#include "pricing/european/european.hpp"
#include "american_book.hpp"
#include "test_support.hpp"

namespace {

using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;

constexpr double kTol = 1e-6;

double intrinsic(const OptionInputs& in, OptionType type) {
    return std::max(type == kCall ? in.s - in.k : in.k - in.s, 0.0);
}

// An independent American value: a Cox-Ross-Rubinstein tree whose last step
// takes the Black-Scholes value (Broadie and Detemple's BBS), extrapolated
// over n and n/2 steps (BBSR). It takes the maximum with the payoff at every
// node, so it knows nothing of how many boundaries there are.
double bbs_tree(const OptionInputs& in, OptionType type, int n) {
    const double dt = in.t / n;
    const double u = std::exp(in.sigma * std::sqrt(dt));
    const double d = 1.0 / u;
    const double p = (std::exp((in.r - in.q) * dt) - d) / (u - d);
    const double disc = std::exp(-in.r * dt);
    auto payoff = [&](double s) { return std::max(type == kCall ? s - in.k : in.k - s, 0.0); };
    std::vector<double> v(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) {
        const double s = in.s * std::pow(u, 2 * i - (n - 1));
        const double euro = varnelle::european_price({s, in.k, dt, in.r, in.sigma, in.q}, type);
        v[static_cast<std::size_t>(i)] = std::max(euro, payoff(s));
    }
    for (int step = n - 2; step >= 0; --step) {
        for (int i = 0; i <= step; ++i) {
            const auto j = static_cast<std::size_t>(i);
            const double s = in.s * std::pow(u, 2 * i - step);
            v[j] = std::max(disc * (p * v[j + 1] + (1.0 - p) * v[j]), payoff(s));
        }
    }
    return v[0];
}

double bbsr_tree(const OptionInputs& in, OptionType type, int n) {
    return 2.0 * bbs_tree(in, type, n) - bbs_tree(in, type, n / 2);
}

// ---------------------------------------------------------------------------
// The stored reference book: every 20th row, about 100 spread over it. Over
// the whole book (1,993 rows) the default tol gives a largest error of 5.5e-6,
// a 99th percentile of 3.3e-6 and a median of 1.5e-7.

TEST(GridAmerican, AgreesWithTheReferenceBook) {
    const auto& rows = american_reference_book();
    std::vector<double> errors;
    for (std::size_t i = 0; i < rows.size(); i += 20) {
        const auto& [in, type, reference] = rows[i];
        const double e = tol_error(varnelle::grid_american_price(in, type, kTol), reference, in.k);
        errors.push_back(e);
        EXPECT_LT(e, 1e-5) << in << (type == kCall ? " call" : " put");
    }
    std::sort(errors.begin(), errors.end());
    EXPECT_LT(errors[errors.size() / 2], 1e-6);
}

// ---------------------------------------------------------------------------
// Two boundaries: a put with q < r < 0, a call with r < q < 0.

struct DoubleCase {
    OptionInputs in;
    OptionType type;
};

std::ostream& operator<<(std::ostream& os, const DoubleCase& c) {
    return os << (c.type == kCall ? "call " : "put ") << c.in;
}

const DoubleCase kDoubleCases[] = {
    {{80, 100, 1.0, -0.01, 0.2, -0.02}, kPut},   // inside the exercise interval
    {{100, 100, 1.0, -0.01, 0.2, -0.02}, kPut},  // at the money, above it
    {{60, 100, 0.5, -0.02, 0.15, -0.05}, kPut},  // below the lower boundary
    {{70, 100, 2.0, -0.005, 0.3, -0.03}, kPut},
    {{120, 100, 1.0, -0.02, 0.2, -0.01}, kCall},  // the call image of the first
    {{150, 100, 0.5, -0.05, 0.25, -0.02}, kCall},
};

class GridDoubleBoundary : public ::testing::TestWithParam<DoubleCase> {};

TEST_P(GridDoubleBoundary, AgreesWithAnExtrapolatedTree) {
    const auto& c = GetParam();
    const double tree = bbsr_tree(c.in, c.type, 4000);
    const double grid = varnelle::grid_american_price(c.in, c.type, kTol);
    EXPECT_LT(tol_error(grid, tree, c.in.k), 1e-5) << "grid " << grid << " tree " << tree;
    EXPECT_GT(grid, varnelle::european_price(c.in, c.type));
}

INSTANTIATE_TEST_SUITE_P(Cases, GridDoubleBoundary, ::testing::ValuesIn(kDoubleCases));

TEST(GridDoubleBoundary, ExerciseIntervalLiesBetweenItsLimitsAndCloses) {
    // A put with q < r < 0 is exercised today for S in [Y, B], inside
    // [K r/q, K]; the interval narrows as the time to expiry grows and is
    // empty from some expiry on. Measured, not assumed: the grid's interval is
    // checked against prices on either side of each end.
    const double k = 100, r = -0.01, q = -0.02, sigma = 0.2;
    double width = kInf;
    bool closed = false;
    for (const double t : {0.05, 0.25, 1.0, 3.0, 10.0, 30.0}) {
        const auto e = varnelle::grid_exercise_interval(k, t, r, sigma, q, kPut, kTol);
        if (e.upper == 0.0) {
            closed = true;
            EXPECT_EQ(e.lower, 0.0);
            // No spot is worth exercising: the value exceeds the payoff everywhere.
            for (const double s : {55.0, 65.0, 75.0, 85.0, 95.0}) {
                const OptionInputs in{s, k, t, r, sigma, q};
                EXPECT_GT(varnelle::grid_american_price(in, kPut, kTol), k - s) << in;
            }
            continue;
        }
        EXPECT_FALSE(closed) << "the interval reopened at t=" << t;
        EXPECT_GE(e.lower, k * r / q * (1 - 1e-9));
        EXPECT_LE(e.upper, k);
        EXPECT_LT(e.upper - e.lower, width);
        width = e.upper - e.lower;
        const double mid = 0.5 * (e.lower + e.upper);
        EXPECT_EQ(varnelle::grid_american_price({mid, k, t, r, sigma, q}, kPut, kTol), k - mid);
        EXPECT_GT(varnelle::grid_american_price({e.upper * 1.02, k, t, r, sigma, q}, kPut, kTol), k - e.upper * 1.02);
        EXPECT_GT(varnelle::grid_american_price({e.lower * 0.98, k, t, r, sigma, q}, kPut, kTol), k - e.lower * 0.98);
        // The call image: r and q swapped, spot and strike swapped.
        const auto c = varnelle::grid_exercise_interval(k, t, q, sigma, r, kCall, kTol);
        EXPECT_NEAR(c.lower, k * k / e.upper, 1e-9 * c.lower);
        EXPECT_NEAR(c.upper, k * k / e.lower, 1e-9 * c.upper);
    }
    EXPECT_TRUE(closed) << "the exercise interval should close within 30 years";
}

TEST(GridDoubleBoundary, PremiumOverEuropeanFadesOnceTheIntervalHasClosed) {
    // Measured with these inputs: the interval closes between 1.5 and 2
    // years; the premium keeps growing a while (exercise is still possible
    // later in the life), then falls relative to the value, roughly halving
    // with each doubling of the expiry: 4.2e-3 at 5 years, 8.6e-4 at 40.
    double last = 1.0;
    for (const double t : {5.0, 10.0, 20.0, 40.0}) {
        const OptionInputs in{100, 100, t, -0.01, 0.2, -0.02};
        const double american = varnelle::grid_american_price(in, kPut, 1e-5);
        const double premium = (american - varnelle::european_price(in, kPut)) / american;
        EXPECT_GT(premium, 0.0) << t;
        EXPECT_LT(premium, 0.75 * last) << t;
        last = premium;
    }
}

// ---------------------------------------------------------------------------
// No-arbitrage and symmetry on a sweep over every kind of row.

TEST(GridAmerican, NoArbitrageAndPutCallSymmetryOnASweep) {
    Sweep sweep(0x6772696475ULL);
    const double rates[] = {-0.05, -0.02, -0.005, 0.0, 0.01, 0.05, 0.1};
    for (int i = 0; i < 40; ++i) {
        const OptionInputs in{sweep.uniform(60, 140), 100, sweep.uniform(0.02, 3.0), sweep.pick(rates),
                              sweep.uniform(0.08, 0.6), sweep.pick(rates)};
        for (const OptionType type : {kPut, kCall}) {
            const double v = varnelle::grid_american_price(in, type, 1e-4);
            EXPECT_GE(v, intrinsic(in, type)) << in;
            EXPECT_GE(v, varnelle::european_price(in, type)) << in;
            EXPECT_LE(v, type == kPut ? in.k * std::max(1.0, std::exp(-in.r * in.t)) : in.s * std::max(1.0, std::exp(-in.q * in.t)));
        }
        // C(S, K, r, q) = P(K, S, q, r): the same solve, to the bit.
        const OptionInputs mirrored{in.k, in.s, in.t, in.q, in.sigma, in.r};
        EXPECT_TRUE(same_bits(varnelle::grid_american_price(in, kCall, 1e-4),
                              varnelle::grid_american_price(mirrored, kPut, 1e-4)));
    }
}

// ---------------------------------------------------------------------------
// Greeks against differences of the solver's own prices.

using GreeksCase = DoubleCase;

const GreeksCase kGreeksCases[] = {
    {{100, 100, 1.0, 0.05, 0.2, 0.0}, kPut},
    {{90, 100, 0.5, 0.03, 0.3, 0.01}, kPut},
    {{110, 100, 2.0, 0.02, 0.25, 0.06}, kCall},
    {{85, 100, 1.0, -0.01, 0.2, -0.02}, kPut},  // two boundaries, above the interval [57, 65]
    {{100, 100, 1.0, -0.01, 0.2, -0.02}, kPut},
};

class GridGreeks : public ::testing::TestWithParam<GreeksCase> {};

TEST_P(GridGreeks, MatchBumpedPrices) {
    const auto& c = GetParam();
    const auto price = [&](OptionInputs in) { return varnelle::grid_american_price(in, c.type, 1e-7); };
    const auto g = varnelle::grid_american_greeks(c.in, c.type, 1e-7);
    const double v = price(c.in);
    const double ds = 0.01 * c.in.s;
    OptionInputs up = c.in, down = c.in;
    up.s += ds;
    down.s -= ds;
    const double pu = price(up), pd = price(down);
    EXPECT_NEAR(g.delta, (pu - pd) / (2 * ds), 2e-4);
    EXPECT_NEAR(g.gamma, (pu - 2 * v + pd) / (ds * ds), 2e-3 * std::fabs(g.gamma) + 2e-5);
    OptionInputs later = c.in;
    later.t -= 1.0 / 365;
    EXPECT_NEAR(g.theta, price(later) - v, 2e-3 * std::fabs(g.theta) + 1e-4);
    OptionInputs vol = c.in;
    vol.sigma += 0.01;
    OptionInputs vol_down = c.in;
    vol_down.sigma -= 0.01;
    EXPECT_NEAR(g.vega, (price(vol) - price(vol_down)) / 0.02, 2e-3 * std::fabs(g.vega) + 1e-3);
    OptionInputs rate = c.in, rate_down = c.in;
    rate.r += 0.001;
    rate_down.r -= 0.001;
    EXPECT_NEAR(g.rho, (price(rate) - price(rate_down)) / 0.002 / 100, 2e-3 * std::fabs(g.rho) + 1e-4);
}

INSTANTIATE_TEST_SUITE_P(Cases, GridGreeks, ::testing::ValuesIn(kGreeksCases));

// Delta, gamma and theta alone solve the price once: the same bits as the
// full Greeks' (vega and rho are left NaN, not solved).
TEST_P(GridGreeks, SpotGreeksAloneAreTheFullGreeksBits) {
    const auto& c = GetParam();
    const auto all = varnelle::grid_american_greeks(c.in, c.type, 1e-5);
    const auto spot = varnelle::grid_american_spot_greeks(c.in, c.type, 1e-5);
    EXPECT_TRUE(same_bits(all.delta, spot.delta) && same_bits(all.gamma, spot.gamma) &&
                same_bits(all.theta, spot.theta));
    EXPECT_TRUE(std::isnan(spot.vega) && std::isnan(spot.rho));
}

TEST(GridGreeks, ExerciseRegionHasPayoffGreeks) {
    const OptionInputs in{50, 100, 1.0, 0.05, 0.2, 0.0};
    const auto g = varnelle::grid_american_greeks(in, kPut, kTol);
    EXPECT_EQ(g.delta, -1.0);
    EXPECT_EQ(g.gamma, 0.0);
    EXPECT_EQ(g.theta, 0.0);
    EXPECT_EQ(g.vega, 0.0);
    EXPECT_EQ(g.rho, 0.0);
}

// ---------------------------------------------------------------------------
// Degenerate inputs.

TEST(GridAmerican, ExpiredIsThePayoff) {
    EXPECT_EQ(varnelle::grid_american_price({90, 100, 0.0, 0.05, 0.2, 0.0}, kPut, kTol), 10.0);
    EXPECT_EQ(varnelle::grid_american_price({90, 100, -1.0, 0.05, 0.2, 0.0}, kCall, kTol), 0.0);
}

TEST(GridAmerican, ZeroVolatilityIsTheBestDiscountedPayoff) {
    // Single boundary: exercise at once pays K - S = 10 > e^(-rT) K - S.
    EXPECT_EQ(varnelle::grid_american_price({90, 100, 1.0, 0.05, 0.0, 0.0}, kPut, kTol), 10.0);
    // q < r < 0 and S below K r/q: the best time to exercise is inside the
    // life, where d/dt (K e^(-rt) - S e^(-qt)) = 0.
    const double s = 40, k = 100, r = -0.01, q = -0.02, t = 100.0;
    const double best = std::log(r * k / (q * s)) / (r - q);
    const double want = k * std::exp(-r * best) - s * std::exp(-q * best);
    EXPECT_NEAR(varnelle::grid_american_price({s, k, t, r, 0.0, q}, kPut, kTol), want, 1e-12 * want);
    // Exercise never pays: the European value.
    EXPECT_EQ(varnelle::grid_american_price({90, 100, 1.0, 0.0, 0.0, 0.05}, kCall, kTol),
              varnelle::european_price({90, 100, 1.0, 0.0, 0.0, 0.05}, kCall));
}

TEST(GridAmerican, NaNInGivesNaNOut) {
    EXPECT_TRUE(std::isnan(varnelle::grid_american_price({kNaN, 100, 1, 0.05, 0.2, 0}, kPut, kTol)));
    EXPECT_TRUE(std::isnan(varnelle::grid_american_price({100, 100, 1, 0.05, kNaN, 0}, kCall, kTol)));
    EXPECT_TRUE(std::isnan(varnelle::grid_american_greeks({100, 100, 1, kNaN, 0.2, 0}, kPut, kTol).delta));
    EXPECT_TRUE(std::isnan(varnelle::grid_exercise_boundary(100, kNaN, 0.05, 0.2, 0, kPut, kTol)));
}

TEST(GridAmerican, ExtremeInputsStayFinite) {
    const double ts[] = {1e-8, 1e-3, 500.0};
    const double sigmas[] = {1e-6, 3.0, 20.0};
    const double rates[] = {-0.5, 0.0, 0.5};
    for (const double t : ts)
        for (const double sigma : sigmas)
            for (const double r : rates)
                for (const double q : rates)
                    for (const OptionType type : {kPut, kCall}) {
                        const OptionInputs in{100, 90, t, r, sigma, q};
                        const double v = varnelle::grid_american_price(in, type, 1e-3);
                        EXPECT_TRUE(std::isfinite(v) || v == kInf) << in;
                        EXPECT_GE(v, intrinsic(in, type)) << in;
                        const double b = varnelle::grid_exercise_boundary(in.k, t, r, sigma, q, type, 1e-3);
                        EXPECT_FALSE(std::isnan(b)) << in;
                    }
}

TEST(GridAmerican, LongLivesReachThePerpetualPut) {
    // r = 5 %, sigma = 20 %, q = 0: lambda = -2r / sigma^2 = -2.5, boundary
    // K lambda / (lambda - 1) = 71.4286, value (K - B) (S / B)^lambda.
    const double b = 100.0 * 2.5 / 3.5;
    const double want = (100.0 - b) * std::pow(100.0 / b, -2.5);
    // Lives of centuries are resolved less finely than the book: 2e-5 here.
    EXPECT_NEAR(varnelle::grid_american_price({100, 100, 1e6, 0.05, 0.2, 0.0}, kPut, kTol), want, 1e-4 * want);
    EXPECT_NEAR(varnelle::grid_exercise_boundary(100, 1e6, 0.05, 0.2, 0.0, kPut, kTol), b, 1e-4 * b);
}

TEST(GridAmerican, SpotsAndStrikesAtTheEndsOfTheDoublesStayFinite) {
    for (const OptionType type : {kPut, kCall}) {
        for (const auto& in : {OptionInputs{1e-300, 1e300, 1, 0.05, 0.2, 0}, OptionInputs{1e300, 1e-300, 1, 0.05, 0.2, 0}}) {
            const auto g = varnelle::grid_american_greeks(in, type, kTol);
            for (const double x : {varnelle::grid_american_price(in, type, kTol), g.delta, g.gamma, g.theta, g.vega, g.rho})
                EXPECT_TRUE(std::isfinite(x)) << in;
        }
    }
}

TEST(GridAmerican, DeepInTheExerciseRegionIsExactlyIntrinsic) {
    EXPECT_EQ(varnelle::grid_american_price({20, 100, 1.0, 0.05, 0.2, 0.0}, kPut, kTol), 80.0);
    EXPECT_EQ(varnelle::grid_american_price({500, 100, 1.0, 0.0, 0.2, 0.08}, kCall, kTol), 400.0);
}

// ---------------------------------------------------------------------------
// The single boundary: a put is worth its payoff at and below B(T), more above.

TEST(GridExerciseBoundary, SeparatesExerciseFromContinuation) {
    struct Row {
        double t, r, sigma, q;
        OptionType type;
    };
    const Row rows[] = {{1.0, 0.05, 0.2, 0.0, kPut}, {0.25, 0.08, 0.3, 0.04, kPut}, {2.0, 0.02, 0.25, 0.06, kCall}};
    for (const auto& row : rows) {
        const double b = varnelle::grid_exercise_boundary(100, row.t, row.r, row.sigma, row.q, row.type, kTol);
        ASSERT_TRUE(std::isfinite(b) && b > 0.0);
        const double inside = row.type == kPut ? b * 0.995 : b * 1.005;
        const double outside = row.type == kPut ? b * 1.005 : b * 0.995;
        const OptionInputs in{inside, 100, row.t, row.r, row.sigma, row.q};
        const OptionInputs out{outside, 100, row.t, row.r, row.sigma, row.q};
        EXPECT_EQ(varnelle::grid_american_price(in, row.type, kTol), intrinsic(in, row.type)) << b;
        EXPECT_GT(varnelle::grid_american_price(out, row.type, kTol), intrinsic(out, row.type)) << b;
    }
    EXPECT_EQ(varnelle::grid_exercise_boundary(100, 1.0, -0.01, 0.2, 0.0, kPut, kTol), 0.0);
    EXPECT_EQ(varnelle::grid_exercise_boundary(100, 1.0, 0.05, 0.2, 0.0, kCall, kTol), kInf);
}

}  // namespace

// ---------------------------------------------------------------------------
// Two boundaries at the edges: a vanishing volatility, a dominant drift, and
// tol met on a currency pair's puts (r -0.1 %, q -0.5 %).

namespace {

// sigma -> 0 gives the deterministic put, never more than its bound: the
// volatility only adds the value of waiting, at most ~0.4 sigma sqrt(t) S.
TEST(GridDoubleBoundary, VanishingVolatilityReachesTheDeterministicPut) {
    struct Row {
        OptionInputs in;
    };
    for (const OptionInputs base : {OptionInputs{100, 100, 30, 0.0, 0, -0.05}, OptionInputs{100, 100, 1, 0.0, 0, -0.05},
                                    OptionInputs{90, 100, 30, -0.01, 0, -0.05}, OptionInputs{100, 100, 30, -0.01, 0, -0.05}}) {
        const double limit = varnelle::deterministic_american_put(base.s, base.k, base.t, base.r, base.q);
        for (const double sigma : {1e-9, 1e-6, 1e-5, 1e-4}) {
            OptionInputs in = base;
            in.sigma = sigma;
            const double v = varnelle::grid_american_price(in, kPut, kTol);
            EXPECT_GE(v, limit - 1e-12) << in;
            EXPECT_LE(v, limit + 0.4 * sigma * std::sqrt(in.t) * in.s + kTol * 0.005 * in.k) << in;
            // The call with everything swapped is the same option.
            EXPECT_EQ(varnelle::grid_american_price({in.k, in.s, in.t, in.q, in.sigma, in.r}, kCall, kTol), v) << in;
        }
    }
}

// q = -100 %: the spot drifts up a hundred standard deviations over the life
// and the put's value lives in a layer a few sigma^2 / mu above the strike;
// from a year on the value barely moves. Reference at t = 1: an
// equal-probability tree in ln S (the Cox-Ross-Rubinstein tree above is far
// from converged against such a drift), Richardson over 16,000 and 40,000
// steps and extrapolated in 1/n: 0.1845878 +- 1e-6; a longer life only adds
// the tiny value of exercise past a year.
TEST(GridDoubleBoundary, DominantDriftOverLongLives) {
    const double tree = 0.1845878;
    double previous = 0.0;
    for (const double t : {1.0, 5.0, 100.0, 200.0, 500.0, 700.0}) {
        const OptionInputs in{100, 100, t, -0.001, 0.1, -1.0};
        const double v = varnelle::grid_american_price(in, kPut, kTol);
        EXPECT_LT(tol_error(v, tree, in.k), 1e-5) << in << " " << v << " tree " << tree;
        EXPECT_GE(v, previous - 5e-6 * 0.5) << in;
        previous = v;
    }
    // Its exercise region today: the price at the reported boundary is the
    // payoff, and just above it more.
    const double b = varnelle::grid_exercise_boundary(100, 5, -0.001, 0.1, -1.0, kPut, 1e-3);
    EXPECT_LT(b, 100.0);
    EXPECT_GT(varnelle::grid_american_price({b * 1.01, 100, 5, -0.001, 0.1, -1.0}, kPut, 1e-3), 100.0 - b * 1.01);
}

TEST(GridDoubleBoundary, MeetsTolOnACurrencyPair) {
    // References: the tree above with 16,000 and 32,000 steps extrapolated.
    struct Row {
        OptionInputs in;
        double reference;
    };
    const Row rows[] = {
        {{160, 100, 3, -0.001, 0.13, -0.005}, 0.1657919},
        {{113.05843638957056, 100, 0.64637461170602, -0.001, 0.18458207014543637, -0.005}, 1.7555553},
        {{96.36965141788266, 100, 0.33964805022445294, -0.001, 0.09545486402289705, -0.005}, 4.3820910},
    };
    for (const Row& row : rows) {
        for (const double tol : {1e-4, 1e-6}) {
            const double v = varnelle::grid_american_price(row.in, kPut, tol);
            EXPECT_LE(tol_error(v, row.reference, row.in.k), tol) << row.in << " tol " << tol << ": " << v;
        }
    }
}

// A thread whose cancellation flag is set gets NaN at once from a grid row;
// without a flag, or with it clear, the same row gives its value.
TEST(GridCancellation, AFlagSetStopsTheRow) {
    const OptionInputs in{100, 100, 1e4, -0.001, 0.2, -0.05};
    std::atomic<bool> stop{false};
    double clear;
    {
        varnelle::CancellationScope scope(&stop);
        clear = varnelle::grid_american_price({160, 100, 3, -0.001, 0.13, -0.005}, kPut, 1e-4);
        stop = true;
        EXPECT_TRUE(std::isnan(varnelle::grid_american_price(in, kPut, 1e-10)));
        const varnelle::Greeks g = varnelle::grid_american_greeks(in, kPut, 1e-10);
        EXPECT_TRUE(std::isnan(g.delta) && std::isnan(g.vega));
        EXPECT_TRUE(std::isnan(varnelle::grid_exercise_boundary(100, 1e4, -0.001, 0.2, -0.05, kPut, 1e-10)));
    }
    EXPECT_EQ(clear, varnelle::grid_american_price({160, 100, 3, -0.001, 0.13, -0.005}, kPut, 1e-4));
    EXPECT_FALSE(std::isnan(varnelle::grid_american_price({160, 100, 3, -0.001, 0.13, -0.005}, kPut, 1e-4)));
}

}  // namespace

// ---------------------------------------------------------------------------
// The cost of a row is bounded: lives of centuries with two boundaries took
// one to seventy seconds a price (tol 1e-6 to 1e-10); the grids now coarsen
// past a budget of node-steps, which these rows reach and ordinary ones do
// not (the currency pair's puts above keep their bits and their tol).

namespace {

TEST(GridCost, LongLivesWithTwoBoundariesStayWithinABudget) {
    struct Row {
        OptionInputs in;
        double tol;
    };
    const Row rows[] = {{{100, 100, 1e4, -0.001, 0.2, -0.05}, 1e-10},
                        {{100, 100, 1e4, -0.001, 0.2, -0.05}, 1e-6},
                        {{100, 100, 1e3, -0.01, 0.3, -0.02}, 1e-6}};
    for (const Row& row : rows) {
        const auto start = std::chrono::steady_clock::now();
        const double v = varnelle::grid_american_price(row.in, kPut, row.tol);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // About 50 ms; a loaded machine may take several times that.
        EXPECT_LT(seconds, 2.0) << row.in;
        EXPECT_GE(v, varnelle::european_price(row.in, kPut)) << row.in;
        EXPECT_LE(v, row.in.k * std::exp(-row.in.r * row.in.t)) << row.in;
    }
    // Coarser grids, yet the value holds: the two tols agree within 1e-5.
    const double fine = varnelle::grid_american_price(rows[0].in, kPut, 1e-10);
    const double coarse = varnelle::grid_american_price(rows[1].in, kPut, 1e-6);
    EXPECT_LT(std::fabs(fine - coarse) / fine, 1e-5);
}

}  // namespace
