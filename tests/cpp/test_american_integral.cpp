// The integral American model against published values, the stored reference
// book, put-call symmetry, its limits and degenerate rows, and the bounds no
// price may cross.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "pricing/american/grid/grid_model.hpp"
#include "pricing/american/integral/integral_model.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "american_book.hpp"
#include "test_support.hpp"

namespace {

using varnelle::integral_american_price;
using varnelle::integral_exercise_boundary;
using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;

// Published values (puts): Andersen, Lake & Offengenden (2016) for the first
// two, and the r = q = 4 % puts of the same paper's comparison for the rest.
struct Published {
    OptionInputs in;
    double value;
    double digits_unit;  // one unit of the last quoted digit
};

TEST(IntegralPublished, EveryQuotedDigit) {
    const Published rows[] = {
        {{100.0, 100.0, 1.0, 0.05, 0.25, 0.05}, 9.569445298914, 1e-12},
        {{80.0, 100.0, 3.0, 0.04, 0.2, 0.04}, 23.22834, 1e-5},
        {{100.0, 100.0, 3.0, 0.04, 0.2, 0.04}, 12.60521, 1e-5},
        {{120.0, 100.0, 3.0, 0.04, 0.2, 0.04}, 6.482425, 1e-6},
    };
    for (const auto& row : rows) {
        // Half a unit of the last digit, at the finest tol.
        EXPECT_NEAR(integral_american_price(row.in, OptionType::Put, 1e-10), row.value, 0.5 * row.digits_unit)
            << row.in;
    }
    // The premium over the European put of the first row.
    const OptionInputs atm{100.0, 100.0, 1.0, 0.05, 0.25, 0.05};
    EXPECT_NEAR(integral_american_price(atm, OptionType::Put, 1e-10) - varnelle::european_price(atm, OptionType::Put),
                0.106952702747, 1e-11);
}

TEST(IntegralPublished, AnchorsOfTheNote) {
    EXPECT_NEAR(integral_american_price({100.0, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 1e-6), 6.090371,
                1e-6 * 100.0 * 0.005 + 5e-7);
    // Drift-dominated: the smooth-pasting form fails here.
    EXPECT_NEAR(integral_american_price({100.0, 100.0, 3.0, 0.1, 0.1, 0.001}, OptionType::Put, 1e-6), 1.79103,
                1e-5);
}

class IntegralReferenceBook : public ::testing::TestWithParam<double> {};

TEST_P(IntegralReferenceBook, EveryRowWithinTol) {
    const double tol = GetParam();
    const auto& rows = american_reference_book();
    ASSERT_EQ(rows.size(), 1993u);
    double worst = 0.0;
    for (const auto& row : rows) {
        const double v = integral_american_price(row.in, row.type, tol);
        const double e = tol_error(v, row.price, row.in.k);
        EXPECT_LE(e, tol) << row.in << (row.type == OptionType::Put ? " put " : " call ") << v << " vs " << row.price;
        if (e > worst) worst = e;
    }
    RecordProperty("worst", std::to_string(worst));
}

INSTANTIATE_TEST_SUITE_P(Tol, IntegralReferenceBook, ::testing::Values(1e-4, 1e-6));

// A random book like the reference one: spot within 3 sd of the strike,
// 1 day to 10 years, sigma 5-100 %, r and q 0-10 %.
std::vector<OptionInputs> random_book(std::uint64_t seed, std::size_t size) {
    Sweep sweep(seed);
    std::vector<OptionInputs> book;
    for (std::size_t i = 0; i < size; ++i) {
        const double t = std::exp(sweep.uniform(std::log(1.0 / 365.0), std::log(10.0)));
        const double sigma = sweep.uniform(0.05, 1.0);
        const double s = 100.0 * std::exp(sweep.uniform(-3.0, 3.0) * sigma * std::sqrt(t));
        book.push_back({s, 100.0, t, sweep.uniform(0.0, 0.1), sigma, sweep.uniform(0.0, 0.1)});
    }
    return book;
}

TEST(IntegralConvergence, Tol1e6AgainstTol1e10OnARandomBook) {
    for (const auto& in : random_book(16, 300)) {
        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
            const double fine = integral_american_price(in, type, 1e-10);
            EXPECT_LE(tol_error(integral_american_price(in, type, 1e-6), fine, in.k), 1e-6) << in;
        }
    }
}

// Where the drift dominates the volatility over a long life the boundary
// converges slowest in the number of nodes, and the smooth-pasting form stops
// settling: the schemes chosen there must still meet tol, for the put and for
// the call with rate and yield swapped. (sigma, t, r, q), each the worst of
// its region on a scan of sigma 5-20 %, t 0.5-10, r 2-10 %, q 0-4 %.
class IntegralDriftCorner : public ::testing::TestWithParam<double> {};

TEST_P(IntegralDriftCorner, WithinTolOfTheFinestScheme) {
    const double tol = GetParam();
    const double corners[][4] = {
        {0.05, 10.0, 0.1, 0.0}, {0.05, 3.0, 0.1, 0.001}, {0.1, 3.0, 0.1, 0.001},
        {0.12, 10.0, 0.04, 0.0}, {0.15, 7.0, 0.06, 0.0}, {0.12, 10.0, 0.08, 0.01},
        {0.2, 10.0, 0.08, 0.0}, {0.2, 10.0, 0.08, 0.005}, {0.2, 7.0, 0.08, 0.005},  // omega near 4, long lives
    };
    for (const auto& c : corners) {
        for (const double s : {70.0, 88.0, 91.0, 100.0, 115.0, 140.0}) {
            const OptionInputs put{s, 100.0, c[1], c[2], c[0], c[3]};
            const OptionInputs call{100.0, s, c[1], c[3], c[0], c[2]};
            const double fine = integral_american_price(put, OptionType::Put, 1e-10);
            EXPECT_LE(tol_error(integral_american_price(put, OptionType::Put, tol), fine, put.k), tol) << put;
            EXPECT_LE(tol_error(integral_american_price(call, OptionType::Call, tol), fine, call.k), tol) << call;
        }
    }
}
INSTANTIATE_TEST_SUITE_P(Tol, IntegralDriftCorner, ::testing::Values(1e-4, 1e-6));

TEST(IntegralSymmetry, PutEqualsCallWithEverythingSwapped) {
    for (const auto& in : random_book(7, 200)) {
        const double put = integral_american_price(in, OptionType::Put, 1e-6);
        const double call = integral_american_price({in.k, in.s, in.t, in.q, in.sigma, in.r}, OptionType::Call, 1e-6);
        EXPECT_TRUE(same_bits(put, call)) << in;
    }
}

// Rows with a value fixed by their inputs alone.
struct LimitRow {
    const char* name;
    OptionInputs in;
    OptionType type;
    double expected;
};

TEST(IntegralLimits, ExactValues) {
    const OptionInputs e{90.0, 100.0, 1.0, -0.01, 0.3, 0.02};  // r <= 0, r <= q: never exercised early
    const LimitRow rows[] = {
        {"expired put pays intrinsic", {90.0, 100.0, 0.0, 0.05, 0.2, 0.0}, OptionType::Put, 10.0},
        {"expired call out of the money", {90.0, 100.0, -1.0, 0.05, 0.2, 0.0}, OptionType::Call, 0.0},
        {"no volatility, put exercised now", {90.0, 100.0, 1.0, 0.05, 0.0, 0.0}, OptionType::Put, 10.0},
        // Carry makes waiting pay: K e^(-rt) - S e^(-qt) is largest at expiry.
        {"no volatility, put waits", {90.0, 100.0, 2.0, 0.01, 0.0, 0.2},
         OptionType::Put, 100.0 * std::exp(-0.02) - 90.0 * std::exp(-0.4)},
        {"deep in the exercise region", {20.0, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 80.0},
        {"zero spot put", {0.0, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 100.0},
        {"zero strike put", {100.0, 0.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 0.0},
        {"nan spot", {kNaN, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, kNaN},
        {"nan rate", {100.0, 100.0, 1.0, kNaN, 0.2, 0.0}, OptionType::Call, kNaN},
        {"nan expiry", {100.0, 100.0, kNaN, 0.05, 0.2, 0.0}, OptionType::Call, kNaN},
    };
    for (const auto& row : rows) {
        const double v = integral_american_price(row.in, row.type, 1e-6);
        if (std::isnan(row.expected)) {
            EXPECT_TRUE(std::isnan(v)) << row.name;
        } else {
            EXPECT_NEAR(v, row.expected, 1e-12) << row.name;
        }
    }
    // Exercise never pays: the European value.
    EXPECT_NEAR(integral_american_price(e, OptionType::Put, 1e-6), varnelle::european_price(e, OptionType::Put), 1e-12);
    EXPECT_NEAR(integral_american_price({e.k, e.s, e.t, e.q, e.sigma, e.r}, OptionType::Call, 1e-6),
                varnelle::european_price(e, OptionType::Put), 1e-12);
}

TEST(IntegralLimits, ExerciseBoundary) {
    // Spot at the boundary gives the intrinsic value; just above, more.
    const double b = integral_exercise_boundary(100.0, 1.0, 0.05, 0.2, 0.0, OptionType::Put, 1e-6);
    EXPECT_GT(b, 70.0);
    EXPECT_LT(b, 90.0);
    EXPECT_EQ(integral_american_price({b, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 1e-6), 100.0 - b);
    EXPECT_GT(integral_american_price({b * 1.001, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 1e-6),
              100.0 - b * 1.001);
    // The call's boundary mirrors the put's.
    const double c = integral_exercise_boundary(100.0, 1.0, 0.0, 0.2, 0.05, OptionType::Call, 1e-6);
    EXPECT_NEAR(c, 100.0 * 100.0 / b, 1e-9 * c);
    EXPECT_EQ(integral_exercise_boundary(100.0, 1.0, -0.01, 0.2, 0.0, OptionType::Put, 1e-6), 0.0);
    EXPECT_EQ(integral_exercise_boundary(100.0, 1.0, 0.05, 0.2, 0.0, OptionType::Call, 1e-6), kInf);
    EXPECT_TRUE(std::isnan(integral_exercise_boundary(kNaN, 1.0, 0.05, 0.2, 0.0, OptionType::Put, 1e-6)));
    // No volatility: r < q exercises below K r / q.
    EXPECT_DOUBLE_EQ(integral_exercise_boundary(100.0, 1.0, 0.02, 0.0, 0.05, OptionType::Put, 1e-6), 40.0);
}

// Inputs far outside any book still give a price between the bounds, finite
// Greeks and a boundary.
TEST(IntegralLimits, ExtremeInputsStayFinite) {
    const double ts[] = {1e-9, 1.0 / 365.0, 30.0, 1e3};
    const double sigmas[] = {1e-6, 0.05, 3.0};
    const double rates[] = {-0.5, 0.0, 0.5};
    const double spots[] = {1e-3, 60.0, 100.0, 150.0, 1e5};
    for (const double t : ts)
        for (const double sigma : sigmas)
            for (const double r : rates)
                for (const double q : rates)
                    for (const double s : spots)
                        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
                            const OptionInputs in{s, 100.0, t, r, sigma, q};
                            const double pr = type == OptionType::Put ? r : q, pq = type == OptionType::Put ? q : r;
                            if (pq < pr && pr <= 0.0) continue;  // the double-boundary case
                            const double v = integral_american_price(in, type, 1e-6);
                            ASSERT_TRUE(std::isfinite(v)) << in;
                            const varnelle::Greeks g = varnelle::integral_american_greeks(in, type, 1e-6);
                            EXPECT_TRUE(std::isfinite(g.delta) && std::isfinite(g.gamma) && std::isfinite(g.theta) &&
                                        std::isfinite(g.vega) && std::isfinite(g.rho))
                                << in;
                            EXPECT_FALSE(std::isnan(integral_exercise_boundary(100.0, t, r, sigma, q, type, 1e-6))) << in;
                            const double intrinsic = std::fmax(type == OptionType::Put ? 100.0 - s : s - 100.0, 0.0);
                            EXPECT_GE(v, intrinsic) << in;
                            EXPECT_LE(v, type == OptionType::Put ? std::fmax(100.0, 100.0 * std::exp(-r * t))
                                                                 : std::fmax(s, s * std::exp(-q * t)))
                                << in;
                        }
}

// Spots and strikes at the ends of the doubles: the call's delta and gamma
// map the put's by K / S and (K / S)^2, which overflow where the put's are 0,
// and a put's spot can be past every double times its strike.
TEST(IntegralLimits, SpotsAndStrikesAtTheEndsOfTheDoublesStayFinite) {
    for (const OptionType type : {OptionType::Put, OptionType::Call}) {
        for (const auto& in : {OptionInputs{1e-300, 100.0, 1.0, 0.05, 0.2, 0.01},
                               OptionInputs{100.0, 1e300, 1.0, 0.05, 0.2, 0.01},
                               OptionInputs{1e-300, 1e300, 1.0, 0.05, 0.2, 0.01},
                               OptionInputs{1e300, 1e-300, 1.0, 0.05, 0.2, 0.01}}) {
            const varnelle::Greeks g = varnelle::integral_american_greeks(in, type, 1e-6);
            for (const double x : {integral_american_price(in, type, 1e-6), g.delta, g.gamma, g.theta, g.vega, g.rho}) {
                EXPECT_TRUE(std::isfinite(x)) << in << (type == OptionType::Put ? " put" : " call");
            }
        }
    }
}

// The value is homogeneous of degree one in spot and strike, and so is
// theta: a book in any currency unit has the same Greeks. theta's diffusion
// term S^2 Gamma overflows as a product past spots of 1e154 and underflows
// below 1e-154; S (S Gamma) does neither.
class IntegralThetaScale : public ::testing::TestWithParam<double> {};

TEST_P(IntegralThetaScale, ThetaScalesWithSpotAndStrike) {
    const double scale = GetParam();
    for (const OptionType type : {OptionType::Put, OptionType::Call}) {
        for (const double s : {80.0, 100.0, 110.0}) {
            const OptionInputs in{s, 100.0, 1.0, 0.05, 0.2, 0.01};
            const OptionInputs scaled{s * scale, 100.0 * scale, 1.0, 0.05, 0.2, 0.01};
            const double want = scale * varnelle::integral_american_theta(in, type, 1e-6);
            EXPECT_NEAR(varnelle::integral_american_theta(scaled, type, 1e-6), want, 1e-12 * std::fabs(want)) << scaled;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scales, IntegralThetaScale, ::testing::Values(1e-300, 1e-160, 1e155, 1e300));

// European <= American, and no fall with more time or more volatility.
TEST(IntegralNoArbitrage, Sweeps) {
    for (const OptionType type : {OptionType::Put, OptionType::Call}) {
        for (const double s : {70.0, 95.0, 100.0, 105.0, 140.0}) {
            double previous = 0.0;
            for (double t = 0.01; t < 8.0; t *= 1.7) {
                const OptionInputs in{s, 100.0, t, 0.06, 0.25, 0.03};
                const double v = integral_american_price(in, type, 1e-6);
                EXPECT_GE(v, varnelle::european_price(in, type) - 1e-9) << in;
                EXPECT_GE(v, previous - 1e-9) << in;
                previous = v;
            }
            previous = 0.0;
            for (double sigma = 0.05; sigma < 1.2; sigma += 0.07) {
                const OptionInputs in{s, 100.0, 1.5, 0.08, sigma, 0.01};
                const double v = integral_american_price(in, type, 1e-6);
                EXPECT_GE(v, previous - 1e-9) << in;
                previous = v;
            }
        }
    }
}

}  // namespace

namespace {

using varnelle::Greeks;
using varnelle::IntegralAmerican;

// A chain of 41 strikes priced by one object (one boundary, kept) gives the
// same bits as each row alone, also when expiries interleave.
TEST(IntegralChain, SameBitsAsSingleRows) {
    IntegralAmerican chain;
    for (const double t : {0.25, 1.0, 0.25}) {
        for (int i = 0; i < 41; ++i) {
            const OptionInputs in{100.0, 60.0 + 2.0 * i, t, 0.05, 0.3, 0.02};
            for (const OptionType type : {OptionType::Put, OptionType::Call}) {
                EXPECT_TRUE(same_bits(chain.price(in, type, 1e-6), integral_american_price(in, type, 1e-6))) << in;
                const Greeks a = chain.greeks(in, type, 1e-6), b = varnelle::integral_american_greeks(in, type, 1e-6);
                EXPECT_TRUE(same_bits(a.delta, b.delta) && same_bits(a.gamma, b.gamma) && same_bits(a.theta, b.theta) &&
                            same_bits(a.vega, b.vega) && same_bits(a.rho, b.rho))
                    << in;
            }
        }
    }
}

// Greeks against central differences of the model's own price. Delta, gamma
// and theta hold the boundary fixed analytically; vega and rho difference the
// model's own prices, so they hold within 1e-5 relative at every tol (a
// boundary re-solved a few steps from the solved one left up to 1e-4 at tol
// 1e-6 and 3e-2 at tol 1e-4 on short-dated rows near the boundary). Relative
// to the Greek, or to 1e-4 k where the Greek is smaller.
class IntegralGreeksAtTol : public ::testing::TestWithParam<double> {};

TEST_P(IntegralGreeksAtTol, VegaAndRhoAreTheModelsOwnPriceDifferences) {
    const double tol = GetParam();
    for (const auto& in : random_book(11, 40)) {
        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
            const auto price = [&](OptionInputs x) { return integral_american_price(x, type, tol); };
            const Greeks g = varnelle::integral_american_greeks(in, type, tol);
            OptionInputs up = in, down = in;
            up.sigma += 1e-4 * in.sigma;
            down.sigma -= 1e-4 * in.sigma;
            const double vega = (price(up) - price(down)) / (up.sigma - down.sigma);
            EXPECT_NEAR(g.vega, vega, 1e-5 * std::fmax(std::fabs(vega), 1e-4 * in.k)) << in;
            if (in.r < 1e-3) continue;  // r - 1e-5 would leave the put's regime
            up = down = in;
            up.r += 1e-5;
            down.r -= 1e-5;
            const double rho = (price(up) - price(down)) / 2e-5 / 100.0;
            EXPECT_NEAR(g.rho, rho, 1e-5 * std::fmax(std::fabs(rho), 1e-6 * in.k)) << in;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Tols, IntegralGreeksAtTol, ::testing::Values(1e-4, 1e-6, 1e-8));

TEST(IntegralGreeks, MatchCentralDifferencesOfThePrice) {
    const double tol = 1e-8;
    for (const auto& in : random_book(11, 40)) {
        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
            const auto price = [&](OptionInputs x) { return integral_american_price(x, type, tol); };
            const auto moved = [&](double OptionInputs::*field, double h) {
                OptionInputs up = in, down = in;
                up.*field += h;
                down.*field -= h;
                return std::make_pair(price(up), price(down));
            };
            const Greeks g = varnelle::integral_american_greeks(in, type, tol);
            const double hs = 1e-4 * in.s;
            const auto [su, sd] = moved(&OptionInputs::s, hs);
            const double now = price(in);
            EXPECT_NEAR(g.delta, (su - sd) / (2.0 * hs), 1e-5) << in;
            EXPECT_NEAR(g.gamma, ((su - 2.0 * now) + sd) / (hs * hs), 1e-5 * std::fmax(1.0, std::fabs(g.gamma))) << in;
            const auto [tu, td] = moved(&OptionInputs::t, 1e-5);
            EXPECT_NEAR(g.theta, -(tu - td) / 2e-5 / 365.0, 1e-5) << in;
            const auto [vu, vd] = moved(&OptionInputs::sigma, 1e-4);
            EXPECT_NEAR(g.vega, (vu - vd) / 2e-4, 1e-4 * std::fmax(1.0, std::fabs(g.vega))) << in;
            const auto [ru, rd] = moved(&OptionInputs::r, 1e-5);
            EXPECT_NEAR(g.rho, (ru - rd) / 2e-5 / 100.0, 1e-4 * std::fmax(1.0, std::fabs(g.rho))) << in;
        }
    }
}

TEST(IntegralGreeks, ExerciseRegionAndSmoothAcrossTheMoney) {
    const Greeks deep = varnelle::integral_american_greeks({40.0, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 1e-6);
    EXPECT_EQ(deep.delta, -1.0);
    EXPECT_EQ(deep.gamma, 0.0);
    EXPECT_EQ(deep.theta, 0.0);
    EXPECT_EQ(deep.vega, 0.0);
    // Delta across the money: steps of 0.01 in spot move it by about gamma *
    // 0.01, never by a jump.
    double previous = kNaN;
    for (double s = 95.0; s <= 105.0; s += 0.01) {
        const Greeks g = varnelle::integral_american_greeks({s, 100.0, 0.5, 0.04, 0.25, 0.01}, OptionType::Put, 1e-6);
        if (!std::isnan(previous)) {
            EXPECT_NEAR(g.delta - previous, g.gamma * 0.01, 2e-5) << s;
        }
        previous = g.delta;
    }
}

// sigma -> price -> sigma, wherever a change of sigma moves the price; NaN
// outside the bounds and in the exercise region.
TEST(IntegralImpliedVol, RoundTrips) {
    int identifiable = 0;
    double worst = 0.0;
    for (const auto& in : random_book(5, 150)) {
        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
            const double p = integral_american_price(in, type, 1e-6);
            OptionInputs nudged = in;
            nudged.sigma *= 1.0 + 1e-9;
            if (std::fabs(integral_american_price(nudged, type, 1e-6) - p) <= 1e-12 * p) continue;
            const double v = varnelle::integral_american_implied_vol(p, in.s, in.k, in.t, in.r, in.q, type, 1e-6);
            EXPECT_NEAR(v, in.sigma, 1e-9 * in.sigma) << in;
            ++identifiable;
            worst = std::fmax(worst, std::fabs(v - in.sigma) / in.sigma);
        }
    }
    std::printf("Integral American round trip: 300 rows, %d identifiable (worst relative error %.3g)\n", identifiable,
                worst);
}

// Far out of the money the price falls like e^(-c / sigma^2): from the
// European volatility of a price of 1e-133 the secant's second step is lost
// in rounding, and the search must go on from the bracket, not stop there.
TEST(IntegralImpliedVol, RoundTripsOnPricesFarBelowACent) {
    const OptionInputs in{136.11939402838786, 100.0, 146.01526415396879, 0.13315042649948394, 0.011606675909181539,
                          0.067533165956629324};
    const double p = integral_american_price(in, OptionType::Put, 1e-6);
    ASSERT_LT(p, 1e-100);
    const double v = varnelle::integral_american_implied_vol(p, in.s, in.k, in.t, in.r, in.q, OptionType::Put, 1e-6);
    EXPECT_NEAR(v, in.sigma, 1e-9 * in.sigma);
}

TEST(IntegralImpliedVol, NaNOutsideTheBounds) {
    const auto iv = [](double price, double s, OptionType type) {
        return varnelle::integral_american_implied_vol(price, s, 100.0, 1.0, 0.05, 0.02, type, 1e-6);
    };
    EXPECT_TRUE(std::isnan(iv(60.0, 40.0, OptionType::Put)));     // intrinsic: flat in sigma
    EXPECT_TRUE(std::isnan(iv(59.0, 40.0, OptionType::Put)));     // below intrinsic
    EXPECT_TRUE(std::isnan(iv(100.0, 90.0, OptionType::Put)));    // at the strike
    EXPECT_TRUE(std::isnan(iv(120.0, 120.0, OptionType::Call)));  // at the spot
    EXPECT_TRUE(std::isnan(iv(kNaN, 100.0, OptionType::Call)));
    EXPECT_FALSE(std::isnan(iv(10.0, 100.0, OptionType::Call)));
}

}  // namespace

// A put with q < r < 0 (a call with r < q < 0) is exercised between two
// boundaries. These meet half a life after this one's expiry, so the model
// hands the row to the finite-difference solver (test_double_boundary.cpp
// covers the rows it solves itself), which answers rather than returning NaN.
TEST(IntegralDoubleBoundary, AnsweredByTheGridSolver) {
    const OptionInputs put{70.0, 100.0, 1.0, -0.01, 0.2, -0.02};
    const double v = integral_american_price(put, OptionType::Put, 1e-6);
    EXPECT_NEAR(v, varnelle::grid_american_price(put, OptionType::Put, 1e-8), 1e-6 * v);
    EXPECT_GT(v, varnelle::european_price(put, OptionType::Put));
    const OptionInputs call{100.0, 70.0, 1.0, -0.02, 0.2, -0.01};
    EXPECT_EQ(integral_american_price(call, OptionType::Call, 1e-6), v);
    const double b = integral_exercise_boundary(100.0, 1.0, -0.01, 0.2, -0.02, OptionType::Put, 1e-6);
    EXPECT_GT(b, 56.0);
    EXPECT_LT(b, 66.0);
    const double sigma = integral_american_implied_vol(v, 70.0, 100.0, 1.0, -0.01, -0.02, OptionType::Put, 1e-6);
    EXPECT_NEAR(sigma, 0.2, 1e-4);
}

// The model at the edges of its inputs: long lives against the perpetual put,
// degenerate inputs against their limits, Greeks next to the boundary, tight
// tols where the iteration used to settle off, and two boundaries with a
// vanishing volatility or a dominant drift.
namespace {

using varnelle::Greeks;
using varnelle::integral_american_greeks;

// The perpetual put (K - B) (S / B)^lambda, B = K lambda / (lambda - 1).
double perpetual_put_value(double s, double k, double r, double q, double sigma) {
    const double b = r - q - 0.5 * sigma * sigma;
    const double lambda = (-b - std::sqrt(b * b + 2.0 * sigma * sigma * r)) / (sigma * sigma);
    const double boundary = k * lambda / (lambda - 1.0);
    return s <= boundary ? k - s : (k - boundary) * std::pow(s / boundary, lambda);
}

TEST(IntegralLongLives, ReachThePerpetualPutAndNeverPassIt) {
    struct Row {
        double s, r, q, sigma;
    };
    const Row rows[] = {{100.0, 0.2, 0.1, 0.0}, {100.0, 0.05, 0.0, 0.2}, {120.0, 0.03, 0.01, 0.3},
                        {100.0, 0.0, -0.05, 0.2}};  // r = 0: the spot drifts up, exercise below 60
    for (const Row& row : rows) {
        const double sigma = row.sigma == 0.0 ? 0.1 : row.sigma;
        const double limit = perpetual_put_value(row.s, 100.0, row.r, row.q, sigma);
        for (const double tol : {1e-4, 1e-6, 1e-10}) {
            double previous = 0.0;
            for (const double t : {1.0, 10.0, 30.0, 100.0, 1e3, 1e4, 1e5, 1e6}) {
                const OptionInputs in{row.s, 100.0, t, row.r, sigma, row.q};
                const double v = integral_american_price(in, OptionType::Put, tol);
                if (row.r > 0.0 || t >= 1e3) {
                    EXPECT_LE(v, limit * (1.0 + 1e-14)) << in << " tol " << tol;
                }
                EXPECT_GE(v, previous - 0.05 * tol * std::fmax(v, 0.5)) << in << " tol " << tol;
                if (t >= 1e4) {
                    EXPECT_NEAR(v, limit, tol * std::fmax(limit, 0.5)) << in;
                }
                previous = v;
            }
        }
    }
    // At 1e4 years the row costs a closed form, not a grid over the life.
    const OptionInputs long_life{100.0, 100.0, 1e4, 0.0, 0.2, -0.05};
    EXPECT_NEAR(integral_american_price(long_life, OptionType::Put, 1e-6), 40.0 * std::pow(0.6, 1.5), 1e-9);
    const Greeks g = integral_american_greeks(long_life, OptionType::Put, 1e-6);
    EXPECT_NEAR(g.delta, -1.5 * 40.0 * std::pow(0.6, 1.5) / 100.0, 1e-12);
    EXPECT_EQ(g.theta, 0.0);
}

// Long lives where the volatility is small against the drift: the premium
// integrand turns from 0 to its full value over a fraction of a year decades
// out. References: QuantLib's fixed-point engine, high-precision scheme.
TEST(IntegralLongLives, LowVolatilityAgainstAStrongCarry) {
    struct Row {
        OptionInputs in;
        double reference, tol;
    };
    const Row rows[] = {
        {{100.0, 100.0, 30.0, 0.10, 0.01, 0.25}, 32.58406089486296, 1e-6},
        {{100.0, 100.0, 30.0, 0.10, 0.01, 0.25}, 32.58406089486296, 1e-4},
        {{107.5559, 100.0, 27.071, 0.0306, 0.0493, 0.1853}, 57.829191302954655, 1e-4},
        {{107.5559, 100.0, 27.071, 0.0306, 0.0493, 0.1853}, 57.829191302954655, 1e-6},
    };
    for (const Row& row : rows) {
        EXPECT_LE(tol_error(integral_american_price(row.in, OptionType::Put, row.tol), row.reference, 100.0),
                  row.tol)
            << row.in << " tol " << row.tol;
    }
    // More time is worth more (to a small fraction of tol: both are within
    // 1e-7 of the perpetual put here).
    EXPECT_GE(integral_american_price({100.0, 100.0, 30.0, 0.10, 0.01, 0.25}, OptionType::Put, 1e-6),
              integral_american_price({100.0, 100.0, 20.0, 0.10, 0.01, 0.25}, OptionType::Put, 1e-6) - 0.05 * 1e-6 * 32.6);
}

// Short puts with q < 0 at tol 1e-10: the nodes nearest expiry went negative
// on the first step and the boundary settled 4 % low. Reference: QuantLib's
// fixed-point engine, high-precision scheme.
TEST(IntegralTightTol, ShortPutsWithNegativeYield) {
    const OptionInputs in{100.0, 100.0, 68.0 / 365.0, 0.005, 0.30, -0.001};
    EXPECT_NEAR(integral_american_price(in, OptionType::Put, 1e-10), 5.1100023234811385, 5e-10);
    EXPECT_NEAR(integral_exercise_boundary(100.0, in.t, in.r, in.sigma, in.q, OptionType::Put, 1e-10), 71.9802, 1e-3);
    for (const double q : {-0.05, -0.01, -0.001}) {
        for (const double t : {0.05, 0.1, 0.186, 0.3}) {
            const OptionInputs row{100.0, 100.0, t, 0.005, 0.3, q};
            const double fine = integral_american_price(row, OptionType::Put, 1e-10);
            EXPECT_LE(tol_error(integral_american_price(row, OptionType::Put, 1e-8), fine, 100.0), 1e-8) << row;
            const double sigma =
                varnelle::integral_american_implied_vol(fine, 100.0, 100.0, t, 0.005, q, OptionType::Put, 1e-10);
            EXPECT_NEAR(sigma, 0.3, 1e-8) << row;
        }
    }
}

struct DegenerateRow {
    const char* name;
    OptionInputs in;
    OptionType type;
    double expected;
};

TEST(IntegralDegenerate, InputsAtTheirLimits) {
    const double european_call = varnelle::european_price({100.0, 100.0, 1.0, 0.05, 0.0, 0.01}, OptionType::Call);
    const DegenerateRow rows[] = {
        {"put, infinite spot", {kInf, 100.0, 1.0, 0.05, 0.2, 0.01}, OptionType::Put, 0.0},
        {"call, infinite strike", {100.0, kInf, 1.0, 0.05, 0.2, 0.01}, OptionType::Call, 0.0},
        {"put, sigma 1e-100", {100.0, 100.0, 1.0, 0.05, 1e-100, 0.01}, OptionType::Put, 0.0},
        {"call, sigma 1e-100", {100.0, 100.0, 1.0, 0.05, 1e-100, 0.01}, OptionType::Call, european_call},
        {"put, r 1e100", {90.0, 100.0, 1.0, 1e100, 0.2, 0.01}, OptionType::Put, 10.0},
        {"call, r 1e100 on its yield side", {110.0, 100.0, 1.0, 0.01, 0.2, 1e100}, OptionType::Call, 10.0},
    };
    for (const auto& row : rows) {
        for (const double tol : {1e-4, 1e-6, 1e-10}) {
            EXPECT_NEAR(integral_american_price(row.in, row.type, tol), row.expected, 1e-9 * (1.0 + row.expected))
                << row.name;
        }
    }
    // Lives of 1e-300 years: the call's boundary is its limit K q / r.
    EXPECT_NEAR(integral_exercise_boundary(100.0, 1e-300, 0.05, 0.2, 0.01, OptionType::Call, 1e-6), 500.0, 1e-9);
    EXPECT_NEAR(integral_exercise_boundary(100.0, 1e-200, 0.01, 0.2, 0.05, OptionType::Put, 1e-6), 20.0, 1e-9);
}

TEST(IntegralDegenerate, RhoAtRatesNearZeroIsTheLimitsRho) {
    const OptionInputs base{100.0, 100.0, 1.0, 1e-10, 0.2, 0.01};
    const double expected = integral_american_greeks(base, OptionType::Put, 1e-6).rho;
    EXPECT_NEAR(expected, -0.5596, 1e-4);
    for (const double r : {5e-324, 1e-300, 1e-20, 1e-12, 1e-7}) {
        OptionInputs in = base;
        in.r = r;
        EXPECT_NEAR(integral_american_greeks(in, OptionType::Put, 1e-6).rho, expected, 1e-5) << r;
        // The call with rate and yield swapped differentiates its yield side.
        EXPECT_TRUE(std::isfinite(integral_american_greeks({100.0, 100.0, 1.0, 0.01, 0.2, r}, OptionType::Call, 1e-6).rho))
            << r;
    }
}

TEST(IntegralDegenerate, FiniteInputsGiveFiniteResults) {
    for (const double t : {800.0, 1000.0, 1e5}) {
        for (const OptionType type : {OptionType::Put, OptionType::Call}) {
            const OptionInputs in{100.0, 100.0, t, -1.0, 0.2, -1.0};
            EXPECT_TRUE(std::isfinite(integral_american_price(in, type, 1e-6))) << in;
            const Greeks g = integral_american_greeks(in, type, 1e-6);
            EXPECT_TRUE(std::isfinite(g.delta) && std::isfinite(g.gamma) && std::isfinite(g.theta) &&
                        std::isfinite(g.vega) && std::isfinite(g.rho))
                << in;
        }
    }
}

// Next to the boundary the value meets the payoff with V_S = -1 and, from the
// pricing equation with theta = 0 there, S^2 V_SS = 2 (r K - q S) / sigma^2;
// with r >= 0 theta is never positive. References for the two rows of
// magnitudes: a fine finite-difference grid.
TEST(IntegralGreeks, HoldUpToTheBoundary) {
    struct Case {
        double k, r, sigma, q;
    };
    for (const Case c : {Case{100.0, 0.05, 0.2, 0.0}, Case{153.04, 0.045, 0.3666063558016425, 0.045}}) {
        for (const double tol : {1e-4, 1e-6, 1e-8}) {
            const double b = integral_exercise_boundary(c.k, 1.0, c.r, c.sigma, c.q, OptionType::Put, tol);
            const double edge_gamma = 2.0 * (c.r * c.k - c.q * b) / (c.sigma * c.sigma * b * b);
            for (const double gap : {1e-6, 1e-5, 1e-4, 1e-3, 1e-2, 5e-2}) {
                const OptionInputs in{b * (1.0 + gap), c.k, 1.0, c.r, c.sigma, c.q};
                const Greeks g = integral_american_greeks(in, OptionType::Put, tol);
                EXPECT_LE(g.theta, 1e-7) << in << " tol " << tol;
                if (gap <= 1e-4) {
                    EXPECT_NEAR(g.gamma, edge_gamma, 0.01 * edge_gamma) << in << " tol " << tol;
                }
            }
        }
    }
    const Greeks near = integral_american_greeks({80.883, 100.0, 1.0, 0.05, 0.2, 0.0}, OptionType::Put, 1e-6);
    EXPECT_NEAR(near.gamma, 0.0382, 5e-4);
    EXPECT_NEAR(near.theta, -3.7e-6, 1e-5);
    const Greeks wide = integral_american_greeks({80.0, 153.04, 1.0, 0.045, 0.3666063558016425, 0.045},
                                                 OptionType::Put, 1e-6);
    EXPECT_NEAR(wide.gamma, 0.00765, 1e-4);
    EXPECT_NEAR(wide.vega, 0.0128, 5e-4);
}

}  // namespace
