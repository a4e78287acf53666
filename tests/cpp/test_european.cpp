// European price: the value the American model is floored at, for calls and
// puts, to the bit; the payoff at expiry; put-call parity.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/american/bs2002/bjerksund_stensland_detail.hpp"
#include "pricing/european/european.hpp"
#include "test_support.hpp"

namespace {

using varnelle::OptionInputs;
using varnelle::OptionType;
using namespace varnelle::testing;


// The European value the American evaluation computed, where its path did.
double floor_of_american(const OptionInputs& in, OptionType type) {
    const double b = in.r - in.q;
    const auto ev = type == OptionType::Call
                        ? varnelle::detail::evaluate_bjerksund_stensland(in.s, in.k, in.t, in.r, b, in.sigma)
                        : varnelle::detail::evaluate_bjerksund_stensland(in.k, in.s, in.t, in.r - b, -b, in.sigma);
    return ev.path == varnelle::detail::Bs2002Path::NoEarlyExercise ? ev.value : ev.european;
}

TEST(EuropeanPrice, ReferenceValues) {
    EXPECT_NEAR(varnelle::european_price({100, 100, 1, 0.05, 0.2, 0}, OptionType::Call), 10.450583572185565, 1e-12);
    EXPECT_NEAR(varnelle::european_price({100, 100, 1, 0.05, 0.2, 0}, OptionType::Put), 5.573526022256971, 1e-12);
}

TEST(EuropeanPrice, IsTheAmericanFloorBitForBit) {
    Sweep rng(0xe0e0);
    for (int i = 0; i < 20000; ++i) {
        const OptionInputs in{rng.uniform(20, 300), rng.uniform(20, 300), rng.uniform(0.001, 15),
                              rng.uniform(-0.03, 0.15), rng.uniform(0.01, 1.5), rng.uniform(-0.03, 0.3)};
        for (const OptionType type : {OptionType::Call, OptionType::Put}) {
            const double price = varnelle::european_price(in, type);
            const double floor = floor_of_american(in, type);
            if (!std::isnan(floor)) {
                ASSERT_TRUE(same_bits(price, floor)) << in;
            }
            ASSERT_GE(varnelle::american_price(in, type), price) << in;
        }
        const double parity = in.s * std::exp(-in.q * in.t) - in.k * std::exp(-in.r * in.t);
        EXPECT_NEAR(varnelle::european_price(in, OptionType::Call) - varnelle::european_price(in, OptionType::Put),
                    parity, 1e-9 * (in.s + in.k))
            << in;
    }
}

// Far out of the money the two products of the formula cancel to a few
// subnormals, which used to round below zero.
TEST(EuropeanPrice, IsNeverNegative) {
    const double reported = varnelle::european_price(
        {100.0, 80.83932500806077, 0.08138946008925012, 0.09353825333303238, 0.020214925684902168,
         -0.012087651247033454},
        OptionType::Put);
    EXPECT_TRUE(same_bits(reported, 0.0)) << reported;
    Sweep rng(0xf100);
    for (int i = 0; i < 200000; ++i) {
        const OptionInputs in{100.0, rng.uniform(50, 200), rng.uniform(0.001, 0.3), rng.uniform(-0.03, 0.15),
                              rng.uniform(0.005, 0.1), rng.uniform(-0.03, 0.1)};
        for (const OptionType type : {OptionType::Call, OptionType::Put}) {
            const double price = varnelle::european_price(in, type);
            ASSERT_FALSE(std::signbit(price)) << in << " " << price;
        }
    }
    EXPECT_TRUE(std::isnan(varnelle::european_price({kNaN, 100, 1, 0.05, 0.2, 0}, OptionType::Call)));
}

TEST(EuropeanPrice, AtOrAfterExpiryIsThePayoff) {
    for (const double t : {0.0, -0.0, -1.0}) {
        EXPECT_TRUE(same_bits(varnelle::european_price({110, 100, t, 0.05, 0.2, 0}, OptionType::Call), 10.0));
        EXPECT_TRUE(same_bits(varnelle::european_price({100, 100, t, 0.05, 0.2, 0}, OptionType::Call), 0.0));
        EXPECT_TRUE(same_bits(varnelle::european_price({90, 100, t, 0.05, 0.2, 0}, OptionType::Put), 10.0));
    }
    EXPECT_TRUE(std::isnan(varnelle::european_price({kNaN, 100, 0, 0.05, 0.2, 0}, OptionType::Call)));
    EXPECT_TRUE(std::isnan(varnelle::european_price({100, 100, 1, 0.05, kNaN, 0}, OptionType::Put)));
}

}  // namespace
