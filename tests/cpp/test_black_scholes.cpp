// Black-Scholes Greeks: reference values, degenerate inputs, put-call
// relations, and the all-at-once record against the single operations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/european/black_scholes.hpp"
#include "test_support.hpp"

namespace {

using varnelle::Greeks;
using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;


// A Greek names both its field of the record and its single operation.
using Greek = double Greeks::*;
constexpr Greek kAllGreeks[] = {&Greeks::delta, &Greeks::gamma, &Greeks::theta, &Greeks::vega, &Greeks::rho};
constexpr const char* kGreekNames[] = {"delta", "gamma", "theta", "vega", "rho"};

double single(Greek g, const OptionInputs& in, OptionType type) {
    if (g == &Greeks::delta) return varnelle::black_scholes_delta(in, type);
    if (g == &Greeks::gamma) return varnelle::black_scholes_gamma(in);
    if (g == &Greeks::theta) return varnelle::black_scholes_theta(in, type);
    if (g == &Greeks::vega) return varnelle::black_scholes_vega(in);
    return varnelle::black_scholes_rho(in, type);
}

struct BsCase {
    const char* name;
    OptionInputs in;
    OptionType type;
    Greek greek;
    Expect want;
    const char* source;
};

std::ostream& operator<<(std::ostream& os, const BsCase& c) { return os << c.name; }

constexpr OptionInputs kAtm{100, 100, 1, 0.05, 0.2, 0};
constexpr OptionInputs kDividend{100, 110, 0.5, 0.03, 0.25, 0.02};
constexpr OptionInputs kExpiredAbove{110, 100, 0, 0.05, 0.2, 0};
constexpr OptionInputs kExpiredBelow{90, 100, 0, 0.05, 0.2, 0};
constexpr OptionInputs kNoVol{110, 100, 1, 0.05, 0, 0};

const BsCase kBlackScholesTable[] = {
    // Closed-form values to ten significant digits, at the money without dividends.
    {"atm_call_delta", kAtm, kCall, &Greeks::delta, quoted("0.6368306512"), "closed form, 10 digits"},
    {"atm_put_delta", kAtm, kPut, &Greeks::delta, quoted("-0.3631693488"), "closed form, 10 digits"},
    {"atm_gamma", kAtm, kCall, &Greeks::gamma, quoted("0.01876201735"), "closed form, 10 digits"},
    {"atm_call_theta", kAtm, kCall, &Greeks::theta, quoted("-0.01757267821"), "closed form per calendar day"},
    {"atm_put_theta", kAtm, kPut, &Greeks::theta, quoted("-0.004542138148"), "closed form per calendar day"},
    {"atm_vega", kAtm, kCall, &Greeks::vega, quoted("37.52403469"), "closed form per 1.0 of volatility"},
    {"atm_call_rho", kAtm, kCall, &Greeks::rho, quoted("0.5323248155"), "closed form per 1% of rate"},
    {"atm_put_rho", kAtm, kPut, &Greeks::rho, quoted("-0.418904609"), "closed form per 1% of rate"},
    // The same with a dividend yield, out of the money.
    {"div_call_delta", kDividend, kCall, &Greeks::delta, quoted("0.3329895878"), "closed form, 10 digits"},
    {"div_put_delta", kDividend, kPut, &Greeks::delta, quoted("-0.6570602459"), "closed form, 10 digits"},
    {"div_gamma", kDividend, kCall, &Greeks::gamma, quoted("0.02043539597"), "closed form, 10 digits"},
    {"div_call_theta", kDividend, kCall, &Greeks::theta, quoted("-0.01811628786"), "closed form per calendar day"},
    {"div_put_theta", kDividend, kPut, &Greeks::theta, quoted("-0.01463472695"), "closed form per calendar day"},
    {"div_vega", kDividend, kCall, &Greeks::vega, quoted("25.54424496"), "closed form per 1.0 of volatility"},
    {"div_call_rho", kDividend, kCall, &Greeks::rho, quoted("0.1487271674"), "closed form per 1% of rate"},
    {"div_put_rho", kDividend, kPut, &Greeks::rho, quoted("-0.3930843993"), "closed form per 1% of rate"},
    // At expiry d1 is +inf (s > k) or -inf (s < k).
    {"expired_above_call_delta", kExpiredAbove, kCall, &Greeks::delta, exactly(1.0), "N(+inf) = 1"},
    {"expired_above_put_delta", kExpiredAbove, kPut, &Greeks::delta, exactly(-0.0), "N(-inf) times the negated discount"},
    {"expired_below_call_delta", kExpiredBelow, kCall, &Greeks::delta, exactly(0.0), "N(-inf) = 0"},
    {"expired_below_put_delta", kExpiredBelow, kPut, &Greeks::delta, exactly(-1.0), "N(+inf) times the negated discount"},
    {"expired_gamma", kExpiredAbove, kCall, &Greeks::gamma, exactly(kNaN), "0 / 0"},
    {"expired_call_theta", kExpiredAbove, kCall, &Greeks::theta, exactly(kNaN), "-0.0 / 0"},
    {"expired_put_theta", kExpiredBelow, kPut, &Greeks::theta, exactly(kNaN), "-0.0 / 0"},
    {"expired_vega", kExpiredAbove, kCall, &Greeks::vega, exactly(0.0), "phi(inf) * sqrt(0)"},
    {"expired_call_rho", kExpiredAbove, kCall, &Greeks::rho, exactly(0.0), "k * t = 0"},
    {"expired_put_rho", kExpiredAbove, kPut, &Greeks::rho, exactly(-0.0), "(-k) * t = -0.0"},
    // No volatility, in the money: d1 = +inf.
    {"novol_call_delta", kNoVol, kCall, &Greeks::delta, exactly(1.0), "N(+inf) = 1"},
    {"novol_gamma", kNoVol, kCall, &Greeks::gamma, exactly(kNaN), "0 / 0"},
    {"novol_call_theta", kNoVol, kCall, &Greeks::theta, quoted("-0.01303054006"), "-r k e^(-rt) / 365"},
    {"novol_vega", kNoVol, kCall, &Greeks::vega, exactly(0.0), "phi(inf) = 0"},
    {"novol_call_rho", kNoVol, kCall, &Greeks::rho, quoted("0.9512294245"), "k t e^(-rt) / 100"},
};

class BlackScholesReference : public ::testing::TestWithParam<BsCase> {};

TEST_P(BlackScholesReference, SingleOperation) {
    const BsCase& c = GetParam();
    EXPECT_TRUE(meets(single(c.greek, c.in, c.type), c.want)) << c.source;
}

INSTANTIATE_TEST_SUITE_P(Table, BlackScholesReference, ::testing::ValuesIn(kBlackScholesTable),
                         [](const auto& p) { return std::string(p.param.name); });

// Inputs that leave d1 undefined: expired at the money (0 / 0), any NaN, a
// negative time, a negative ratio s / k. Every Greek of both sides is NaN.
const OptionInputs kUndefined[] = {
    {100, 100, 0, 0.05, 0.2, 0},    {kNaN, 100, 1, 0.05, 0.2, 0},  {100, kNaN, 1, 0.05, 0.2, 0},
    {100, 100, kNaN, 0.05, 0.2, 0}, {100, 100, 1, kNaN, 0.2, 0},   {100, 100, 1, 0.05, kNaN, 0},
    {100, 100, 1, 0.05, 0.2, kNaN}, {100, 100, -1, 0.05, 0.2, 0},  {-100, 100, 1, 0.05, 0.2, 0},
    {100, -100, 1, 0.05, 0.2, 0},
};

class BlackScholesUndefined : public ::testing::TestWithParam<OptionInputs> {};

TEST_P(BlackScholesUndefined, AllGreeksAreNaN) {
    const OptionInputs& in = GetParam();
    for (const OptionType type : {kCall, kPut}) {
        const Greeks all = varnelle::black_scholes_greeks(in, type);
        for (std::size_t n = 0; n < 5; ++n) {
            EXPECT_TRUE(std::isnan(single(kAllGreeks[n], in, type))) << kGreekNames[n];
            EXPECT_TRUE(std::isnan(all.*kAllGreeks[n])) << kGreekNames[n];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Inputs, BlackScholesUndefined, ::testing::ValuesIn(kUndefined));

// A sweep over ordinary and degenerate inputs: zero and negative time, zero
// volatility, NaN, zero and negative rates and yields, deep in and out of the
// money.
OptionInputs swept_inputs(Sweep& rng) {
    const double odd[] = {0.0, -0.0, -1.0, kNaN, std::numeric_limits<double>::infinity()};
    OptionInputs in{rng.uniform(1, 300), rng.uniform(1, 300), rng.uniform(0, 5), rng.uniform(-0.05, 0.15),
                    rng.uniform(0.01, 1.5), rng.uniform(-0.05, 0.15)};
    if (rng.next() % 5 == 0) {
        double* fields[] = {&in.s, &in.k, &in.t, &in.r, &in.sigma, &in.q};
        *fields[rng.next() % 6] = rng.pick(odd);
    }
    return in;
}

TEST(BlackScholesGreeks, RecordEqualsSingleOperationsBitForBit) {
    Sweep rng(20240611);
    for (int i = 0; i < 4000; ++i) {
        const OptionInputs in = swept_inputs(rng);
        for (const OptionType type : {kCall, kPut}) {
            const Greeks all = varnelle::black_scholes_greeks(in, type);
            for (std::size_t n = 0; n < 5; ++n) {
                ASSERT_TRUE(same_bits(all.*kAllGreeks[n], single(kAllGreeks[n], in, type)))
                    << kGreekNames[n] << (type == kPut ? " put " : " call ") << in << ", sweep " << i;
            }
        }
        // Gamma and vega do not depend on the side.
        const Greeks call = varnelle::black_scholes_greeks(in, kCall);
        const Greeks put = varnelle::black_scholes_greeks(in, kPut);
        ASSERT_TRUE(same_bits(call.gamma, put.gamma)) << "sweep " << i;
        ASSERT_TRUE(same_bits(call.vega, put.vega)) << "sweep " << i;
    }
}

// Put-call parity differentiated: call minus put delta is e^(-qt), rho is
// k t e^(-rt) / 100, theta is (q s e^(-qt) - r k e^(-rt)) / 365. A sign or a
// discount factor wrong on one side shows here away from the reference points.
TEST(BlackScholesGreeks, PutCallRelations) {
    Sweep rng(7);
    for (int i = 0; i < 2000; ++i) {
        const OptionInputs in{rng.uniform(20, 200), rng.uniform(20, 200), rng.uniform(0.05, 5),
                              rng.uniform(-0.02, 0.12), rng.uniform(0.05, 1.0), rng.uniform(-0.02, 0.1)};
        const Greeks call = varnelle::black_scholes_greeks(in, kCall);
        const Greeks put = varnelle::black_scholes_greeks(in, kPut);
        const double dq = std::exp(-in.q * in.t);
        const double dr = std::exp(-in.r * in.t);
        EXPECT_NEAR(call.delta - put.delta, dq, 1e-14) << "sweep " << i;
        EXPECT_NEAR(call.rho - put.rho, in.k * in.t * dr / 100, 1e-13 * in.k * in.t) << "sweep " << i;
        EXPECT_NEAR(call.theta - put.theta, (in.q * in.s * dq - in.r * in.k * dr) / 365, 1e-15 * (in.s + in.k))
            << "sweep " << i;
    }
}

}  // namespace
