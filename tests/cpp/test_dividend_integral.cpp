// The quadrature route for cash dividends: value functions and their
// expectations against Black-Scholes (a price after t1 + t2 is the
// expectation over t1 of the price after t2), European and American prices
// with one dividend against a brute-force integral over the spot at the
// ex-date, rows the route hands to the grid, and the rows of the stored
// reference where an independent fine grid settles the value.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "pricing/american/integral/integral_model.hpp"
#include "pricing/dividends/dividend_integral.hpp"
#include "pricing/dividends/dividend_model.hpp"
#include "pricing/dividends/value_function.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/math/gauss_legendre.hpp"
#include "test_support.hpp"

namespace {

using namespace varnelle;
using namespace varnelle::dividend_integral;
using namespace varnelle::testing;

constexpr double kR = 0.05, kQ = 0.01, kSigma = 0.3;

// A European put of strike 1 and life t2 tabulated on panels of the given
// width in ln S, as the solver tabulates a period's value.
ValueFunction tabulated_put(double t2, double width, std::size_t points) {
    ValueFunction g;
    g.points = points;
    const PanelRule& rule = panel_rule(points);
    const double lo = -3.0, hi = 3.0;
    const std::size_t count = static_cast<std::size_t>(std::ceil((hi - lo) / width));
    for (std::size_t k = 0; k < count; ++k) {
        Panel p;
        p.y0 = lo + (hi - lo) * static_cast<double>(k) / static_cast<double>(count);
        p.y1 = lo + (hi - lo) * static_cast<double>(k + 1) / static_cast<double>(count);
        for (std::size_t i = 0; i < rule.size; ++i) {
            const double y = 0.5 * (p.y0 + p.y1) + 0.5 * (p.y1 - p.y0) * rule.x[i];
            p.g[i] = european_price({std::exp(y), 1.0, t2, kR, kSigma, kQ}, OptionType::Put);
        }
        g.panels.push_back(p);
    }
    // Below the panels the put is its forward line to the accuracy asked.
    g.linear.push_back({0.0, std::exp(lo), std::exp(-kR * t2), -std::exp(-kQ * t2)});
    g.finish();
    return g;
}

// Panels narrow against the move take their own points as the quadrature;
// wide ones the normal moments. Either way the expectation and its spot
// derivatives are the put of the whole life.
TEST(ValueFunction, ExpectationOfATabulatedPriceIsThePriceOfTheWholeLife) {
    const double t2 = 0.25;
    const ValueFunction g = tabulated_put(t2, 0.1, 12);
    for (const double t1 : {0.5, 0.01, 1e-4}) {  // wide, narrow and very narrow moves against the panels
        const Move move = make_move(t1, kR, kQ, kSigma);
        for (const double s : {0.7, 1.0, 1.3}) {
            const OptionInputs whole{s, 1.0, t1 + t2, kR, kSigma, kQ};
            const Expectation e = g.expect(move, std::log(s), true);
            EXPECT_NEAR(e.v, european_price(whole, OptionType::Put), 2e-10) << t1 << " " << s;
            const double delta = black_scholes_delta(whole, OptionType::Put);
            const double gamma = black_scholes_gamma(whole);
            EXPECT_NEAR(e.dx / s, delta, 1e-8) << t1 << " " << s;
            EXPECT_NEAR((e.dxx - e.dx) / (s * s), gamma, 1e-6 * std::max(1.0, gamma)) << t1 << " " << s;
        }
    }
}

// The linear pieces alone: the payoff's expectation is Black-Scholes (to the
// accuracy of the vectorised normal distribution), for both sides, with
// derivatives.
TEST(ValueFunction, PayoffPiecesGiveBlackScholes) {
    for (const OptionType type : {OptionType::Call, OptionType::Put}) {
        ValueFunction g;
        if (type == OptionType::Put) {
            g.linear.push_back({0.0, 1.0, 1.0, -1.0});
        } else {
            g.linear.push_back({1.0, std::numeric_limits<double>::infinity(), -1.0, 1.0});
        }
        g.finish();
        for (const double s : {0.5, 1.0, 1.6}) {
            const OptionInputs in{s, 1.0, 0.8, kR, kSigma, kQ};
            const Expectation e = g.expect(make_move(0.8, kR, kQ, kSigma), std::log(s), true);
            EXPECT_NEAR(e.v, european_price(in, type), 1e-11);
            EXPECT_NEAR(e.dx / s, black_scholes_delta(in, type), 1e-11);
            EXPECT_NEAR((e.dxx - e.dx) / (s * s), black_scholes_gamma(in), 1e-10);
        }
    }
}

// e^(-r t1) E[f(S_t1)] over the spot at the ex-date by Gauss-Legendre on
// +-10 standard deviations cut in 400 pieces, split where f has its kink.
template <class F>
double brute_force(double s, double t1, double r, double q, double sigma, double kink, F&& f) {
    const GaussLegendreRule rule = gauss_legendre_rule(16);
    const double sd = sigma * std::sqrt(t1), mean = std::log(s) + (r - q - 0.5 * sigma * sigma) * t1;
    std::vector<double> cuts;
    for (int k = 0; k <= 400; ++k) cuts.push_back(mean - 10.0 * sd + 20.0 * sd * k / 400.0);
    if (kink > 0.0) cuts.push_back(std::log(kink));
    std::sort(cuts.begin(), cuts.end());
    double sum = 0.0;
    for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
        const double a = cuts[k], b = cuts[k + 1];
        if (!(b > a)) continue;
        for (std::size_t i = 0; i < rule.size; ++i) {
            const double y = 0.5 * (a + b) + 0.5 * (b - a) * rule.x[i];
            const double z = (y - mean) / sd;
            sum += 0.5 * (b - a) * rule.w[i] * std::exp(-0.5 * z * z) / (sd * std::sqrt(2.0 * M_PI)) * f(std::exp(y));
        }
    }
    return std::exp(-r * t1) * sum;
}

struct OneDividend {
    OptionType type;
    double s, k, t, t1, amount;
};

class OneDividendCase : public ::testing::TestWithParam<OneDividend> {};

// European options with one dividend: the route against the brute-force
// integral of the Black-Scholes price after the ex-date, at the spot less the
// dividend. Ex-dates in the middle, tomorrow and the day before expiry.
TEST_P(OneDividendCase, EuropeanMatchesTheIntegralOverTheExDate) {
    const OneDividend c = GetParam();
    const double after = c.t - c.t1;
    const double reference = brute_force(c.s, c.t1, kR, kQ, kSigma, c.amount, [&](double s1) {
        const double spot = s1 - c.amount;
        if (!(spot > 0.0)) return c.type == OptionType::Put ? c.k * std::exp(-kR * after) : 0.0;
        return european_price({spot, c.k, after, kR, kSigma, kQ}, c.type);
    });
    const OptionInputs in{c.s, c.k, c.t, kR, kSigma, kQ};
    const double v = dividend_european_price(in, c.type, &c.t1, &c.amount, 1);
    EXPECT_NEAR(v, reference, 1e-7 * std::max(reference, 0.005 * c.k)) << c.s << " " << c.t1;
}

// An American call without a yield is exercised, if at all, just before the
// ex-date: e^(-r t1) E[max(S1 - K, C(S1 - D))], the Roll-Geske-Whaley value.
TEST_P(OneDividendCase, AmericanCallWithoutYieldIsExercisedOnlyBeforeTheExDate) {
    const OneDividend c = GetParam();
    if (c.type != OptionType::Call) GTEST_SKIP();
    const double after = c.t - c.t1;
    const auto value = [&](double q) {
        const double reference = brute_force(c.s, c.t1, kR, q, kSigma, 0.0, [&](double s1) {
            const double spot = s1 - c.amount;
            const double held = spot > 0.0 ? european_price({spot, c.k, after, kR, kSigma, q}, c.type) : 0.0;
            return std::max(s1 - c.k, held);
        });
        const double v = dividend_american_price({c.s, c.k, c.t, kR, kSigma, q}, c.type, &c.t1, &c.amount, 1, 1e-8);
        return std::make_pair(v, reference);
    };
    const auto [v, reference] = value(0.0);
    // The kink of the max is not a cut of the brute force: 1e-6 is its own
    // resolution.
    EXPECT_NEAR(v, reference, 1e-6 * std::max(reference, 0.005 * c.k)) << c.s << " " << c.t1;
}

INSTANTIATE_TEST_SUITE_P(Cases, OneDividendCase,
                         ::testing::Values(OneDividend{OptionType::Call, 100, 100, 1.0, 0.5, 3.0},
                                           OneDividend{OptionType::Call, 120, 100, 0.5, 1.0 / 365.0, 5.0},
                                           OneDividend{OptionType::Call, 110, 100, 0.5, 0.5 - 1.0 / 365.0, 4.0},
                                           OneDividend{OptionType::Call, 100, 90, 182.0 / 365.0, 91.0 / 365.0, 20.0},
                                           OneDividend{OptionType::Put, 95, 100, 1.0, 0.5, 3.0},
                                           OneDividend{OptionType::Put, 100, 100, 0.5, 1.0 / 365.0, 5.0},
                                           OneDividend{OptionType::Put, 80, 100, 0.5, 0.5 - 1.0 / 365.0, 4.0}));

// Rows of the stored reference whose first or last period is a day or two:
// the finite-difference grid of this library with 256 nodes a standard
// deviation, extrapolated over 128 and 256, puts them 3e-6 to 1.4e-5 away
// from the stored values (its own last correction below 3e-7); the route
// agrees with that grid.
TEST(DividendIntegralReference, RowsSettledByAFineGrid) {
    struct Row {
        OptionInputs in;
        std::vector<double> days, amounts;
        double fine_grid, stored;
    };
    const Row rows[] = {
        {{102.486645, 100.0, 39.0 / 365.0, 0.053082, 0.11423, 0.0}, {38}, {0.9944}, 0.7011690432, 0.7011589808084046},
        {{96.797686, 100.0, 63.0 / 365.0, 0.042632, 0.292456, 0.002856}, {62}, {0.9828}, 6.7245221136,
         6.724502146899796},
        {{95.673756, 100.0, 114.0 / 365.0, 0.040288, 0.100185, 0.0}, {1, 37}, {8.582, 0.6699}, 13.1672278779,
         13.167187906312718},
    };
    for (const Row& row : rows) {
        std::vector<double> times;
        for (const double d : row.days) times.push_back(d / 365.0);
        const double v =
            dividend_american_price(row.in, OptionType::Put, times.data(), row.amounts.data(), times.size(), 1e-6);
        const double scale = std::max(row.fine_grid, 0.005 * row.in.k);
        EXPECT_NEAR(v, row.fine_grid, 5e-7 * scale) << row.in;
        EXPECT_GT(std::fabs(row.stored - row.fine_grid), 2e-6 * scale) << row.in;
    }
}

// Rows whose exercise region sweeps through the deep spots within a period
// (the interest on the strike overtakes the dividend): puts without a yield
// (the sweep over in a moment) and with one (over days), from the stored
// reference and the random book, against the book's values or this
// library's grid at 64 nodes a standard deviation extrapolated twice (its
// own last correction below 2e-8), and calls with a yield, whose value before the
// last ex-date must hold the exercise value up to where exercising before
// it pays (a gap there once left it zero). Each is valued by the route at
// both tols.
TEST(DividendIntegralRoute, RegionsThatSweepAndCallsWithAYield) {
    struct Row {
        OptionType type;
        OptionInputs in;
        std::vector<double> days, amounts;
        double reference;
    };
    const Row rows[] = {
        // stored row 9, one dividend
        {OptionType::Put, {82.946058, 100.0, 150.0 / 365.0, 0.066335, 0.505593, 0.0}, {61}, {0.711}, 21.1985325796},
        // stored row 111, four dividends
        {OptionType::Put, {104.005794, 100.0, 389.0 / 365.0, 0.079932, 0.228706, 0.0}, {81, 172, 263, 354},
         {1.2252, 1.2376, 1.178, 1.1951}, 6.2697740698},
        // random book row 22, a yield, the last ex-date the day before expiry
        {OptionType::Put, {87.526317, 100.0, 89.0 / 365.0, 0.061015, 0.206579, 0.014224}, {29, 88}, {0.6661, 0.6562},
         13.0679883756},
        // random book row 21: a call with a yield
        {OptionType::Call, {119.044224, 100.0, 552.0 / 365.0, 0.052067, 0.519856, 0.002451},
         {53, 144, 235, 326, 417, 508}, {0.4301, 0.3801, 0.4358, 0.3786, 0.4129, 0.4473}, 39.9294005049},
    };
    for (const Row& row : rows) {
        std::vector<double> times;
        for (const double d : row.days) times.push_back(d / 365.0);
        std::vector<CashDividend> unit;
        for (std::size_t i = 0; i < times.size(); ++i) unit.push_back({times[i], row.amounts[i] / row.in.k});
        for (const double tol : {1e-4, 1e-6}) {
            const Problem p{row.in.s / row.in.k, row.in.t, row.in.r, row.in.q, row.in.sigma, row.type, true,
                            unit.data(), unit.size(), tol};
            ASSERT_TRUE(covers(p));
            IntegralAmerican dividend_free;
            Solver solver;
            EXPECT_TRUE(solver.solve(p, dividend_free).valid);
            const double v =
                dividend_american_price(row.in, row.type, times.data(), row.amounts.data(), times.size(), tol);
            EXPECT_LE(std::fabs(v - row.reference) / std::max(row.reference, 0.005 * row.in.k), tol)
                << row.in << " tol " << tol;
        }
    }
}

// What the route does not take: a put whose region may be a band between two
// boundaries (q < r <= 0) and the mirror call (r < q <= 0); the entry
// points price those on the grid. Where early exercise within a period
// never pays in the money (a put with r <= 0 <= q, a call with q <= 0 <=
// r) the route takes the row, and a put is then worth its European value.
TEST(DividendIntegralRoute, LeavesBandsBetweenTwoBoundariesToTheGrid) {
    const CashDividend d[] = {{0.25, 0.01}};
    const auto covered = [&](OptionType type, double r, double q) {
        return covers(Problem{1.0, 0.5, r, q, 0.3, type, true, d, 1, 1e-6});
    };
    EXPECT_FALSE(covered(OptionType::Put, -0.01, -0.02));
    EXPECT_FALSE(covered(OptionType::Call, -0.02, -0.01));
    EXPECT_TRUE(covered(OptionType::Put, 0.03, -0.01));
    EXPECT_TRUE(covered(OptionType::Put, -0.01, 0.0));
    EXPECT_TRUE(covered(OptionType::Call, 0.03, -0.01));
    EXPECT_TRUE(covered(OptionType::Call, -0.02, 0.01));
    EXPECT_TRUE(covers(Problem{1.0, 0.5, -0.01, -0.02, 0.3, OptionType::Put, false, d, 1, 1e-6}));  // European

    const double time = 0.25, amount = 1.0;
    const OptionInputs in{95.0, 100.0, 0.5, -0.01, 0.3, 0.0};
    const double american = dividend_american_price(in, OptionType::Put, &time, &amount, 1, 1e-8);
    const double european = dividend_european_price(in, OptionType::Put, &time, &amount, 1);
    EXPECT_NEAR(american, european, 1e-6 * european);
}

}  // namespace
