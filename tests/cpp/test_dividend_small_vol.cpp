// Cash dividends at small volatilities: from sigma = 0 (the deterministic
// value) upwards every price is finite, within its bounds, never falls with
// more sigma, and meets the sigma = 0 value continuously. Where the spot's
// mean path stays many of its standard deviations away from every kink (the
// strike at expiry, an exercise decision), the price is the deterministic
// value itself up to sigma = 1e-3: an independent reference in closed form.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "pricing/dividends/dividend_model.hpp"
#include "test_support.hpp"

namespace {

using namespace varnelle;

const std::vector<double> kQuarterlyTimes{0.1, 0.35, 0.6, 0.85};
const std::vector<double> kQuarterlyAmounts{1.0, 1.0, 1.2, 1.2};
const std::vector<double> kSigmas{0.0, 1e-9, 1e-7, 1e-5, 1e-4, 1e-3, 1e-2};

struct Case {
    std::string name;
    OptionType type;
    bool american;
    double s, r, q;
    std::vector<double> times, amounts;
    bool far;  // the mean path stays far from every kink: the price is the sigma = 0 value up to 1e-3
};

std::vector<Case> cases() {
    const auto quarterly = [](std::string name, OptionType type, bool american, double s, double r, double q,
                              bool far) {
        return Case{std::move(name), type, american, s, r, q, kQuarterlyTimes, kQuarterlyAmounts, far};
    };
    return {
        // Deep in the money at the forward: came out 0 (European) and 3.5e-3
        // low (American) for sigma up to 1e-4.
        quarterly("EuropeanCallInTheMoneyAtTheForward", OptionType::Call, false, 100.0, 0.05, 0.01, true),
        quarterly("AmericanCallInTheMoneyAtTheForward", OptionType::Call, true, 100.0, 0.05, 0.01, true),
        quarterly("EuropeanCallDeepInTheMoney", OptionType::Call, false, 120.0, 0.0, 0.0, true),
        quarterly("AmericanCallDeepInTheMoney", OptionType::Call, true, 120.0, 0.05, 0.01, true),
        quarterly("AmericanCallWithoutYield", OptionType::Call, true, 104.5, 0.02, 0.0, true),
        // Exercised after the last ex-date on the mean path; once valued as
        // the European put below the deterministic value.
        quarterly("AmericanPutExercisedAfterTheDividends", OptionType::Put, true, 100.0, 0.02, 0.0, true),
        quarterly("AmericanPutWithAYield", OptionType::Put, true, 97.0, 0.05, 0.01, true),
        // r = 0: once on the grid, seconds a price and on both sides of 7.4.
        quarterly("AmericanPutWithoutRates", OptionType::Put, true, 97.0, 0.0, 0.0, true),
        quarterly("EuropeanPutOutOfTheMoney", OptionType::Put, false, 100.0, 0.05, 0.01, true),
        // At the money on an ex-date or at expiry: the price grows with sigma
        // from the deterministic value.
        quarterly("AmericanCallAtTheMoneyOnAnExDate", OptionType::Call, true, 100.0, 0.0, 0.0, false),
        Case{"EuropeanCallAtTheMoneyAtExpiry", OptionType::Call, false, 100.0, 0.02, 0.0,
             {1.0 / 365.0, 1.99}, {2.0, 2.0}, false},
        Case{"AmericanPutOneLargeDividend", OptionType::Put, true, 100.0, 0.03, 0.0, {0.5}, {8.0}, true},
    };
}

double price(const Case& c, bool american, double sigma, double tol) {
    const OptionInputs in{c.s, 100.0, 2.0, c.r, sigma, c.q};
    const std::size_t n = c.times.size();
    return american ? dividend_american_price(in, c.type, c.times.data(), c.amounts.data(), n, tol)
                    : dividend_european_price(in, c.type, c.times.data(), c.amounts.data(), n);
}

class SmallVolatility : public ::testing::TestWithParam<std::tuple<Case, double>> {};

TEST_P(SmallVolatility, PricesRiseFromTheDeterministicValueWithinTheirBounds) {
    const auto& [c, requested_tol] = GetParam();
    // European prices are computed to their own fixed accuracy (about 5e-7).
    const double tol = c.american ? requested_tol : 1e-6;
    const double k = 100.0;
    std::vector<double> v;
    for (const double sigma : kSigmas) v.push_back(price(c, c.american, sigma, tol));
    const double scale = std::max(v[0], 0.005 * k);
    const double intrinsic = std::max(c.type == OptionType::Put ? k - c.s : c.s - k, 0.0);
    for (std::size_t i = 0; i < v.size(); ++i) {
        const double sigma = kSigmas[i];
        ASSERT_TRUE(std::isfinite(v[i])) << "sigma " << sigma;
        EXPECT_LE(v[i], c.type == OptionType::Call ? c.s : k) << "sigma " << sigma;
        if (c.american) {
            EXPECT_GE(v[i], intrinsic) << "sigma " << sigma;
            EXPECT_GE(v[i], price(c, false, sigma, tol) - 0.1 * tol * scale) << "American below European at " << sigma;
        }
        if (i > 0) {
            EXPECT_GE(v[i], v[i - 1] - 0.1 * tol * scale) << "falls from " << kSigmas[i - 1] << " to " << sigma;
        }
        if (sigma == 1e-9 || (c.far && sigma <= 1e-3)) {
            EXPECT_LE(std::fabs(v[i] - v[0]) / scale, tol) << "sigma " << sigma << ": " << v[i] << " vs " << v[0];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Dividends, SmallVolatility,
                         ::testing::Combine(::testing::ValuesIn(cases()), ::testing::Values(1e-4, 1e-6)),
                         [](const auto& p) {
                             return std::get<0>(p.param).name + (std::get<1>(p.param) == 1e-4 ? "Tol4" : "Tol6");
                         });

// The Greeks of a tiny volatility: a delta within its range and a gamma
// that is not the rounding of moments divided by the move's width squared
// (-1.5e8 at sigma 1e-9), for both kinds of option.
class SmallVolatilityGreeks : public ::testing::TestWithParam<std::tuple<OptionType, bool, double>> {};

TEST_P(SmallVolatilityGreeks, StayWithinTheirRange) {
    const auto [type, american, sigma] = GetParam();
    const OptionInputs in{100.0, 100.0, 2.0, 0.05, sigma, 0.01};
    const std::size_t n = kQuarterlyTimes.size();
    const Greeks g = american ? dividend_american_greeks(in, type, kQuarterlyTimes.data(), kQuarterlyAmounts.data(),
                                                          n, 1e-6)
                              : dividend_european_greeks(in, type, kQuarterlyTimes.data(), kQuarterlyAmounts.data(), n);
    const double sign = type == OptionType::Call ? 1.0 : -1.0;
    EXPECT_GE(sign * g.delta, -1e-6);
    EXPECT_LE(sign * g.delta, 1.0 + 1e-6);
    EXPECT_LT(std::fabs(g.gamma), 1.0);
    EXPECT_TRUE(std::isfinite(g.theta) && std::isfinite(g.vega) && std::isfinite(g.rho));
}

INSTANTIATE_TEST_SUITE_P(Dividends, SmallVolatilityGreeks,
                         ::testing::Combine(::testing::Values(OptionType::Call, OptionType::Put),
                                            ::testing::Bool(), ::testing::Values(1e-9, 1e-7, 1e-5, 1e-3)));

// A put with r <= 0 <= q is never exercised: the American put is the
// European one (at the American's tol), and its boundary is 0 (none).
TEST(SmallVolatility, APutWithoutPositiveRatesIsTheEuropeanPut) {
    const std::size_t n = kQuarterlyTimes.size();
    for (const double r : {0.0, -0.01}) {
        for (const double sigma : {1e-8, 1e-3, 0.3}) {
            const OptionInputs in{97.0, 100.0, 2.0, r, sigma, 0.01};
            const double european =
                dividend_european_price(in, OptionType::Put, kQuarterlyTimes.data(), kQuarterlyAmounts.data(), n);
            EXPECT_NEAR(dividend_american_price(in, OptionType::Put, kQuarterlyTimes.data(), kQuarterlyAmounts.data(),
                                                n, 1e-6),
                        european, 1e-6 * european);
            EXPECT_EQ(dividend_exercise_boundary(100.0, 2.0, r, sigma, 0.01, OptionType::Put, kQuarterlyTimes.data(),
                                                 kQuarterlyAmounts.data(), n, 1e-6),
                      0.0);
        }
    }
}

// Rows the quadrature route gives back (a call at r < 0, here) went to the
// grids, whose nodes a tiny volatility leaves far too coarse: 146.5 for a
// call on a spot of 100 at sigma 1e-9, in seconds. Below sigma sqrt(t) 1e-5
// they take the deterministic value.
TEST(SmallVolatility, RowsOffTheQuadratureRouteTakeTheDeterministicValue) {
    const std::size_t n = kQuarterlyTimes.size();
    for (const double s : {90.0, 100.0, 120.0}) {
        const auto price = [&](double sigma) {
            return dividend_american_price({s, 100.0, 2.0, -0.01, sigma, 0.0}, OptionType::Call, kQuarterlyTimes.data(),
                                           kQuarterlyAmounts.data(), n, 1e-6);
        };
        const double at_zero = price(0.0);
        for (const double sigma : {1e-9, 1e-7, 5e-6}) {
            EXPECT_EQ(price(sigma), at_zero) << s << " " << sigma;
        }
        EXPECT_LE(at_zero, s);
    }
}

// A call's boundary with a yield, as sigma falls to nothing: carrying the
// stock pays below r / q, so it meets r / q k (and k where r <= q). It was
// +inf (and 0.6 s) below sigma 1e-4.
TEST(SmallVolatility, ACallsBoundaryMeetsItsDeterministicLimit) {
    const std::size_t n = kQuarterlyTimes.size();
    for (const auto& [r, q] : {std::pair{0.05, 0.01}, std::pair{0.03, 0.02}, std::pair{0.02, 0.03}}) {
        const double limit = 100.0 * std::max(1.0, r / q);
        for (const double sigma : {1e-9, 1e-7, 1e-5, 1e-4, 1e-3}) {
            const double b = dividend_exercise_boundary(100.0, 2.0, r, sigma, q, OptionType::Call,
                                                        kQuarterlyTimes.data(), kQuarterlyAmounts.data(), n, 1e-6);
            EXPECT_NEAR(b, limit, 1e-4 * limit) << r << " " << q << " sigma " << sigma;
        }
    }
}

}  // namespace
