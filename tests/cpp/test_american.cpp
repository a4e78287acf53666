// American price and finite-difference Greeks: reference values, expiry and
// NaN behaviour, the floors at the intrinsic and European values, and the
// all-at-once record against the single operations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/american/bs2002/bjerksund_stensland.hpp"
#include "pricing/american/bs2002/bjerksund_stensland_detail.hpp"
#include "test_support.hpp"

namespace {

using varnelle::Greeks;
using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;


enum class Quantity { Price, Delta, Gamma, Theta, Vega, Rho };

double single(Quantity q, const OptionInputs& in, OptionType type) {
    switch (q) {
        case Quantity::Price: return varnelle::american_price(in, type);
        case Quantity::Delta: return varnelle::american_delta(in, type);
        case Quantity::Gamma: return varnelle::american_gamma(in, type);
        case Quantity::Theta: return varnelle::american_theta(in, type);
        case Quantity::Vega: return varnelle::american_vega(in, type);
        case Quantity::Rho: return varnelle::american_rho(in, type);
    }
    return kNaN;
}

double intrinsic(const OptionInputs& in, OptionType type) {
    const double x = type == kCall ? in.s - in.k : in.k - in.s;
    return x > 0.0 ? x : 0.0;
}

struct AmericanCase {
    const char* name;
    OptionInputs in;
    OptionType type;
    Quantity quantity;
    Expect want;
    const char* source;
};

std::ostream& operator<<(std::ostream& os, const AmericanCase& c) { return os << c.name; }

constexpr OptionInputs kAtm{100, 100, 1, 0.05, 0.2, 0};
constexpr OptionInputs kExpiredAtm{100, 100, 0, 0.05, 0.2, 0};
constexpr OptionInputs kExpiredItm{110, 100, 0, 0.05, 0.2, 0};
constexpr OptionInputs kLowTrigger{90, 100, 3, 0.01, 0.15, 0.21};

const AmericanCase kAmericanTable[] = {
    {"call_without_yield_is_european", kAtm, kCall, Quantity::Price, quoted("10.450583572"),
     "b >= r: the Black-Scholes call value"},
    {"put_without_rate_is_european", {100, 100, 1, 0, 0.2, 0.05}, kPut, Quantity::Price, quoted("10.450583572"),
     "r <= 0: the transformed call (100, 100, 1, 0.05, 0.05, 0.2) takes the European formula"},
    {"put_gets_european_put", kAtm, kPut, Quantity::Price, quoted("5.573526022"),
     "the twelve-term sum stays below the European value of the transformed call"},
    // Finite differences of the at-the-money call and put, nine digits (gamma six).
    {"atm_call_delta", kAtm, kCall, Quantity::Delta, quoted("0.636830643"), "central difference in s"},
    {"atm_call_gamma", kAtm, kCall, Quantity::Gamma, quoted("0.0187620"), "second difference over h * h"},
    {"atm_call_theta", kAtm, kCall, Quantity::Theta, quoted("-0.0175805638"), "one calendar day less"},
    {"atm_call_vega", kAtm, kCall, Quantity::Vega, quoted("37.5240344"), "central difference in sigma"},
    {"atm_call_rho", kAtm, kCall, Quantity::Rho, quoted("0.532324808"), "central difference in r, per 1%"},
    {"atm_put_delta", kAtm, kPut, Quantity::Delta, quoted("-0.363169357"), "central difference in s"},
    {"atm_put_gamma", kAtm, kPut, Quantity::Gamma, quoted("0.0187620"), "second difference over h * h"},
    {"atm_put_theta", kAtm, kPut, Quantity::Theta, quoted("-0.00454913124"), "one calendar day less"},
    {"atm_put_vega", kAtm, kPut, Quantity::Vega, quoted("37.5240344"), "central difference in sigma"},
    {"atm_put_rho", kAtm, kPut, Quantity::Rho, quoted("-0.418904618"), "central difference in r, per 1%"},
    // At expiry the price is the intrinsic value.
    {"expired_atm_price", kExpiredAtm, kCall, Quantity::Price, exactly(0.0), "intrinsic value"},
    {"expired_atm_delta", kExpiredAtm, kCall, Quantity::Delta, quoted("0.50000000000026"),
     "h / (h + h) with h = 0.0001 * s rounded"},
    {"expired_atm_gamma", kExpiredAtm, kCall, Quantity::Gamma, quoted("100.0000000000"), "h / (h * h) = 1 / h"},
    {"expired_atm_theta", kExpiredAtm, kCall, Quantity::Theta, quoted("0.080038492"),
     "V(0.0001) - 0: the shortened time stops at 0.0001"},
    {"expired_atm_vega", kExpiredAtm, kCall, Quantity::Vega, exactly(0.0), "intrinsic value ignores sigma"},
    {"expired_atm_rho", kExpiredAtm, kCall, Quantity::Rho, exactly(0.0), "intrinsic value ignores r"},
    {"expired_itm_price", kExpiredItm, kCall, Quantity::Price, exactly(10.0), "intrinsic value"},
    {"expired_itm_delta", kExpiredItm, kCall, Quantity::Delta, quoted("1.000000000000"), "slope of s - k"},
    {"expired_itm_gamma", kExpiredItm, kCall, Quantity::Gamma, exactly(0.0), "s - k is linear"},
    {"expired_itm_theta", kExpiredItm, kCall, Quantity::Theta, quoted("0.00049999875"), "V(0.0001) - 10"},
    {"near_expiry_theta", {100, 100, 0.001, 0.05, 0.2, 0}, kCall, Quantity::Theta, quoted("-0.174775854"),
     "V(0.0001) - V(0.001): one day would pass expiry"},
    {"nan_time_theta", {100, 100, kNaN, 0.05, 0.2, 0}, kCall, Quantity::Theta, quoted("0.080038492"),
     "a NaN shortened time also stops at 0.0001, and V at a NaN time is the intrinsic 0"},
    // Trigger below the strike: immediate exercise would pay -10; the price is
    // the European value of the call with b = -0.2.
    {"low_trigger_price", kLowTrigger, kCall, Quantity::Price, quoted("0.017760129184619"),
     "European value of (90, 100, 3, 0.01, -0.2, 0.15), above the intrinsic 0"},
    // A NaN model value falls back to the intrinsic value.
    {"nan_vol_price", {110, 100, 1, 0.05, kNaN, 0}, kCall, Quantity::Price, exactly(10.0), "intrinsic value"},
    {"nan_spot_price", {kNaN, 100, 1, 0.05, 0.2, 0}, kCall, Quantity::Price, exactly(0.0),
     "intrinsic value of a NaN difference is 0"},
    {"nan_spot_delta", {kNaN, 100, 1, 0.05, 0.2, 0}, kCall, Quantity::Delta, exactly(kNaN), "the step h is NaN"},
    {"nan_spot_gamma", {kNaN, 100, 1, 0.05, 0.2, 0}, kCall, Quantity::Gamma, exactly(kNaN), "the step h is NaN"},
    {"no_vol_no_carry_call", {100, 100, 1, 0.05, 0, 0.05}, kCall, Quantity::Price, exactly(0.0),
     "model value 0/0 is NaN, intrinsic value 0"},
    {"no_vol_no_carry_put", {100, 100, 1, 0.05, 0, 0.05}, kPut, Quantity::Price, exactly(0.0),
     "model value 0/0 is NaN, intrinsic value 0"},
};

class AmericanReference : public ::testing::TestWithParam<AmericanCase> {};

TEST_P(AmericanReference, MatchesReference) {
    const AmericanCase& c = GetParam();
    EXPECT_TRUE(meets(single(c.quantity, c.in, c.type), c.want)) << c.source;
}

INSTANTIATE_TEST_SUITE_P(Table, AmericanReference, ::testing::ValuesIn(kAmericanTable),
                         [](const auto& p) { return std::string(p.param.name); });

// NaN in sigma, r or q makes the model value NaN; the price is then the
// intrinsic value, for both sides, in and out of the money.
TEST(AmericanPrice, NaNModelInputGivesIntrinsicValue) {
    for (const double s : {90.0, 100.0, 110.0}) {
        for (const OptionType type : {kCall, kPut}) {
            for (int which = 0; which < 3; ++which) {
                OptionInputs in{s, 100, 1, 0.05, 0.2, 0.02};
                double* field[] = {&in.sigma, &in.r, &in.q};
                *field[which] = kNaN;
                EXPECT_TRUE(same_bits(varnelle::american_price(in, type), intrinsic(in, type)))
                    << "s = " << s << ", put " << (type == kPut) << ", NaN field " << which;
            }
        }
    }
}

// Whenever the trigger falls below the strike (b T + 2 sigma sqrt(T) < 0,
// strongly negative carry), a spot between trigger and strike lands on the
// immediate-exercise branch with a negative payoff. The call must still be
// worth at least its European value, and never less than zero.
TEST(AmericanPrice, CallNeverBelowEuropeanWhenTriggerIsBelowStrike) {
    Sweep rng(1009);
    int below_strike_exercises = 0;
    for (int i = 0; i < 3000; ++i) {
        const double t = rng.uniform(0.25, 5);
        const double sigma = rng.uniform(0.05, 0.4);
        const double r = rng.uniform(0.001, 0.08);
        // Carry low enough that b t + 2 sigma sqrt(t) < 0.
        const double b = -(2 * sigma / std::sqrt(t)) - rng.uniform(0.001, 0.2);
        const OptionInputs in{rng.uniform(40, 160), 100, t, r, sigma, r - b};
        const double carry = in.r - in.q;  // the carry american_price derives
        const double euro = varnelle::detail::european_call(in.s, in.k, in.t, in.r, carry, in.sigma);
        const auto ev =
            varnelle::detail::evaluate_bjerksund_stensland(in.s, in.k, in.t, in.r, carry, in.sigma);
        if (ev.path == varnelle::detail::Bs2002Path::ImmediateExercise && in.s < in.k) ++below_strike_exercises;
        ASSERT_GE(ev.value, euro) << "sweep " << i;
        ASSERT_GE(varnelle::american_price(in, kCall), euro) << "sweep " << i;
        ASSERT_GE(varnelle::american_price(in, kCall), 0.0) << "sweep " << i;
    }
    // The sweep must actually reach the branch it is about.
    EXPECT_GT(below_strike_exercises, 100);
}

// Over ordinary inputs both sides are worth at least their intrinsic value,
// and a call at least its European value.
TEST(AmericanPrice, FloorsHoldAcrossASweep) {
    Sweep rng(4242);
    for (int i = 0; i < 3000; ++i) {
        const OptionInputs in{rng.uniform(20, 200), rng.uniform(20, 200), rng.uniform(0.01, 5),
                              rng.uniform(-0.02, 0.12), rng.uniform(0.02, 0.8), rng.uniform(-0.02, 0.3)};
        const double euro = varnelle::detail::european_call(in.s, in.k, in.t, in.r, in.r - in.q, in.sigma);
        const double call = varnelle::american_price(in, kCall);
        const double put = varnelle::american_price(in, kPut);
        ASSERT_GE(call, intrinsic(in, kCall)) << "sweep " << i;
        ASSERT_GE(put, intrinsic(in, kPut)) << "sweep " << i;
        ASSERT_GE(call, euro) << "sweep " << i;
    }
}

// Each record field is its single operation, to the bit, over ordinary and
// degenerate inputs (expired, negative time, no volatility, NaN, negative
// spot, zero rates).
TEST(AmericanGreeks, RecordEqualsSingleOperationsBitForBit) {
    Sweep rng(99);
    const double odd[] = {0.0, -1.0, kNaN, 0.0001, 1e-9};
    for (int i = 0; i < 600; ++i) {
        OptionInputs in{rng.uniform(20, 200), rng.uniform(20, 200), rng.uniform(0, 4), rng.uniform(-0.03, 0.12),
                        rng.uniform(0.02, 0.8), rng.uniform(-0.03, 0.3)};
        if (i % 3 == 0) {
            double* fields[] = {&in.s, &in.k, &in.t, &in.r, &in.sigma, &in.q};
            *fields[rng.next() % 6] = rng.pick(odd);
        }
        for (const OptionType type : {kCall, kPut}) {
            const Greeks all = varnelle::american_greeks(in, type);
            const double fields[] = {all.delta, all.gamma, all.theta, all.vega, all.rho};
            const Quantity greeks[] = {Quantity::Delta, Quantity::Gamma, Quantity::Theta, Quantity::Vega,
                                       Quantity::Rho};
            for (int g = 0; g < 5; ++g) {
                ASSERT_TRUE(same_bits(fields[g], single(greeks[g], in, type)))
                    << "greek " << g << (type == kPut ? " put " : " call ") << in << ", sweep " << i;
            }
        }
    }
}

// The rows where the twelve-term sum overshot by orders of magnitude (a put
// worth more than its strike among them) now stay near a 2,000-step tree.
TEST(AmericanCap, OvershootingRowsStayNearTheTree) {
    struct Row {
        OptionInputs in;
        OptionType type;
        double tree;
    };
    const Row rows[] = {{{247, 100, 5, 0.08, 0.06, 0.01}, kPut, 9.3e-21},
                        {{123, 100, 6, 0.07, 0.04, 0.03}, kPut, 1.36e-5},
                        {{176, 255.6, 4.82, 0.0299, 0.248, 0.286}, kCall, 0.3056},
                        {{80, 100, 3, 0.01, 0.15, 0.21}, kCall, 0.0288}};
    for (const Row& row : rows) {
        EXPECT_NEAR(varnelle::american_price(row.in, row.type), row.tree, 0.007) << row.in;
    }
    EXPECT_TRUE(same_bits(varnelle::american_price(rows[3].in, kCall), 0.030087415454099903));
    const Greeks g = varnelle::american_greeks(rows[0].in, kPut);
    EXPECT_LT(std::fabs(g.delta), 1.0);
    EXPECT_LT(std::fabs(g.vega), 1.0);
}

// Over a broad random domain no price exceeds the absolute bound (s max(1,
// e^(-q t)) for a call, k max(1, e^(-r t)) for a put) nor, where the sum
// decides, the perpetual value; none falls below the intrinsic value.
TEST(AmericanCap, PricesStayWithinNoArbitrageBounds) {
    Sweep rng(0x5eed0009);
    int capped = 0;
    for (int i = 0; i < 20000; ++i) {
        const OptionInputs in{rng.uniform(20, 300), rng.uniform(20, 300), rng.uniform(0.01, 15),
                              rng.uniform(-0.01, 0.15), rng.uniform(0.02, 1.0), rng.uniform(0, 0.3)};
        for (const OptionType type : {kCall, kPut}) {
            const double price = varnelle::american_price(in, type);
            const double b = in.r - in.q;
            const auto ev = type == kCall
                                ? varnelle::detail::evaluate_bjerksund_stensland(in.s, in.k, in.t, in.r, b, in.sigma)
                                : varnelle::detail::evaluate_bjerksund_stensland(in.k, in.s, in.t, in.r - b, -b,
                                                                                  in.sigma);
            const double intrinsic = std::fmax(type == kCall ? in.s - in.k : in.k - in.s, 0.0);
            const double bound = type == kCall ? in.s * std::fmax(1.0, std::exp(-in.q * in.t))
                                               : in.k * std::fmax(1.0, std::exp(-in.r * in.t));
            ASSERT_LE(price, bound * (1 + 1e-12)) << (type == kPut ? "put " : "call ") << in;
            ASSERT_GE(price, intrinsic) << in;
            if (ev.path == varnelle::detail::Bs2002Path::Approximation) {
                ASSERT_LE(price, std::fmax(std::fmax(ev.perpetual, ev.european), intrinsic)) << in;
                if (ev.approximation > ev.perpetual) ++capped;
            }
        }
    }
    EXPECT_GT(capped, 10);
}

}  // namespace
