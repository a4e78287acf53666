// Bjerksund-Stensland call value: one reference case per branch, the
// intermediate quantities of each, the twelve-term worked example, and the
// floor at the European value when immediate exercise is worth less than it.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/american/bs2002/bjerksund_stensland.hpp"
#include "pricing/american/bs2002/bjerksund_stensland_detail.hpp"
#include "test_support.hpp"

namespace {

using varnelle::detail::Bs2002Evaluation;
using varnelle::detail::Bs2002Path;
using namespace varnelle::testing;


struct CallInputs {
    double S, K, T, r, b, sigma;
};

Bs2002Evaluation evaluate(const CallInputs& in) {
    return varnelle::detail::evaluate_bjerksund_stensland(in.S, in.K, in.T, in.r, in.b, in.sigma);
}
double european(const CallInputs& in) {
    return varnelle::detail::european_call(in.S, in.K, in.T, in.r, in.b, in.sigma);
}

constexpr CallInputs kAtExpiry{100, 100, 0, 0.05, 0, 0.2};
constexpr CallInputs kCarryIsRate{100, 100, 1, 0.05, 0.05, 0.2};
constexpr CallInputs kExercise{130, 100, 1, 0.1, 0, 0.2};
constexpr CallInputs kLowTrigger{90, 100, 3, 0.01, -0.2, 0.15};
constexpr CallInputs kNoCarry{100, 100, 1, 0.05, 0, 0.2};
constexpr CallInputs kNegativeCarry{100, 100, 1, 0.05, -0.05, 0.2};
constexpr CallInputs kApproximationWins{80, 100, 3, 0.01, -0.2, 0.15};
constexpr CallInputs kHighFloor{100, 100, 1, 0.1, 0.05, 0.2};  // (r / (r - b)) K = 200 > K

struct ValueCase {
    const char* name;
    CallInputs in;
    Bs2002Path path;
    Expect want;
    const char* source;
};

std::ostream& operator<<(std::ostream& os, const ValueCase& c) { return os << c.name; }

const ValueCase kValueTable[] = {
    {"expiry_at_the_money", kAtExpiry, Bs2002Path::Expiry, exactly(0.0), "intrinsic value at T = 0"},
    {"expiry_in_the_money", {110, 100, 0, 0.05, 0, 0.2}, Bs2002Path::Expiry, exactly(10.0), "intrinsic value at T = 0"},
    {"expiry_negative_time", {90, 100, -1, 0.05, 0, 0.2}, Bs2002Path::Expiry, exactly(0.0), "T < 0 counts as expired"},
    {"expiry_nan_spot", {kNaN, 100, 0, 0.05, 0, 0.2}, Bs2002Path::Expiry, exactly(0.0),
     "a NaN intrinsic difference is floored to 0"},
    {"carry_equals_rate", kCarryIsRate, Bs2002Path::NoEarlyExercise, quoted("10.450583572"),
     "generalized Black-Scholes call; early exercise never pays when b >= r"},
    {"immediate_exercise", kExercise, Bs2002Path::ImmediateExercise, exactly(30.0),
     "S >= I2 = 128.56, and S - K = 30 exceeds the European value 28.06"},
    {"immediate_exercise_below_strike", kLowTrigger, Bs2002Path::ImmediateExercise,
     quoted("0.017760129184619"),
     "I2 = 82.1 lies below the strike, so S - K = -10; the European value wins"},
    {"european_beats_approximation", kNoCarry, Bs2002Path::Approximation, quoted("7.577082146"),
     "the twelve-term sum 2.93 lies below the European value"},
    {"european_beats_approximation_negative_carry", kNegativeCarry, Bs2002Path::Approximation,
     quoted("5.301701951"), "the twelve-term sum 1.25 lies below the European value"},
    {"approximation_capped", kApproximationWins, Bs2002Path::Approximation, exactly(0.030087415454099903),
     "I1 above I2 lifts the twelve-term sum to 0.428, over the perpetual value; the cap wins"},
    {"nan_rate", {100, 100, 1, kNaN, 0, 0.2}, Bs2002Path::Approximation, exactly(kNaN),
     "NaN in both the sum and the European value"},
    {"nan_carry", {100, 100, 1, 0.05, kNaN, 0.2}, Bs2002Path::Approximation, exactly(kNaN),
     "NaN in both the sum and the European value"},
    {"nan_vol", {100, 100, 1, 0.05, 0, kNaN}, Bs2002Path::Approximation, exactly(kNaN),
     "NaN in both the sum and the European value"},
};

class BjerksundStenslandValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(BjerksundStenslandValue, MatchesReference) {
    const ValueCase& c = GetParam();
    const double value = varnelle::bjerksund_stensland_call(c.in.S, c.in.K, c.in.T, c.in.r, c.in.b, c.in.sigma);
    EXPECT_TRUE(meets(value, c.want)) << c.source;
    const Bs2002Evaluation ev = evaluate(c.in);
    EXPECT_EQ(ev.path, c.path);
    EXPECT_TRUE(same_bits(ev.value, value));
}

INSTANTIATE_TEST_SUITE_P(Table, BjerksundStenslandValue, ::testing::ValuesIn(kValueTable),
                         [](const auto& p) { return std::string(p.param.name); });

// Intermediate quantities of the evaluation for the cases above.
struct QuantityCase {
    const char* name;
    CallInputs in;
    double Bs2002Evaluation::*member;
    Expect want;
};

std::ostream& operator<<(std::ostream& os, const QuantityCase& c) { return os << c.name; }

const QuantityCase kQuantityTable[] = {
    {"exercise_i2", kExercise, &Bs2002Evaluation::i2, quoted("128.5575834")},
    {"low_trigger_i2", kLowTrigger, &Bs2002Evaluation::i2, quoted("82.100086")},
    {"no_carry_approximation", kNoCarry, &Bs2002Evaluation::approximation, quoted("2.93092")},
    {"negative_carry_beta", kNegativeCarry, &Bs2002Evaluation::beta, quoted("4.108495283")},
    {"negative_carry_b_inf", kNegativeCarry, &Bs2002Evaluation::b_inf, quoted("132.1699057")},
    // (r / (r - b)) K = 50 is below K.
    {"negative_carry_b0", kNegativeCarry, &Bs2002Evaluation::b0, exactly(100.0)},
    {"negative_carry_h_T", kNegativeCarry, &Bs2002Evaluation::h_T, quoted("-1.087973349")},
    {"negative_carry_h_t1", kNegativeCarry, &Bs2002Evaluation::h_t1, quoted("-0.8814413529")},
    {"negative_carry_i1", kNegativeCarry, &Bs2002Evaluation::i1, quoted("118.8455974")},
    {"negative_carry_i2", kNegativeCarry, &Bs2002Evaluation::i2, quoted("121.3319102")},
    {"negative_carry_alpha1", kNegativeCarry, &Bs2002Evaluation::alpha1, quoted("5.625377e-8")},
    {"negative_carry_alpha2", kNegativeCarry, &Bs2002Evaluation::alpha2, quoted("5.848280e-8")},
    {"negative_carry_approximation", kNegativeCarry, &Bs2002Evaluation::approximation, quoted("1.248790")},
    {"wins_i1", kApproximationWins, &Bs2002Evaluation::i1, quoted("102.743872")},
    {"wins_i2", kApproximationWins, &Bs2002Evaluation::i2, quoted("82.100086")},
    {"wins_approximation", kApproximationWins, &Bs2002Evaluation::approximation, quoted("0.42800372")},
    {"wins_european", kApproximationWins, &Bs2002Evaluation::european, quoted("0.0034540408")},
    {"wins_perpetual", kApproximationWins, &Bs2002Evaluation::perpetual, exactly(0.030087415454099903)},
    // B0 = (r / (r - b)) K = 200 above the strike; the trigger exponent then
    // shows whether its factor is B0 / (B_inf - B0). Reference digits from the
    // boundary formulas evaluated in 40-digit decimal arithmetic.
    {"high_floor_beta", kHighFloor, &Bs2002Evaluation::beta, quoted("1.608495283")},
    {"high_floor_b_inf", kHighFloor, &Bs2002Evaluation::b_inf, quoted("264.3398113")},
    {"high_floor_b0", kHighFloor, &Bs2002Evaluation::b0, exactly(200.0)},
    {"high_floor_h_T", kHighFloor, &Bs2002Evaluation::h_T, quoted("-1.398822877")},
    {"high_floor_i2", kHighFloor, &Bs2002Evaluation::i2, quoted("248.4551220")},
    {"high_floor_h_t1", kHighFloor, &Bs2002Evaluation::h_t1, quoted("-1.073556927")},
    {"high_floor_i1", kHighFloor, &Bs2002Evaluation::i1, quoted("242.3490668")},
    // r = 0 and K = inf make (r / (r - b)) K = 0 * inf NaN; B0 is then K.
    {"nan_floor_b0", {100, std::numeric_limits<double>::infinity(), 1, 0, -0.05, 0.2}, &Bs2002Evaluation::b0,
     exactly(std::numeric_limits<double>::infinity())},
};

class BjerksundStenslandQuantity : public ::testing::TestWithParam<QuantityCase> {};

TEST_P(BjerksundStenslandQuantity, MatchesReference) {
    const QuantityCase& c = GetParam();
    EXPECT_TRUE(meets(evaluate(c.in).*c.member, c.want));
}

INSTANTIATE_TEST_SUITE_P(Table, BjerksundStenslandQuantity, ::testing::ValuesIn(kQuantityTable),
                         [](const auto& p) { return std::string(p.param.name); });

// The worked example (100, 100, 1, 0.05, -0.05, 0.2), term by term: each is
// coefficient * phi before its sign, to seven digits.
TEST(BjerksundStenslandTerms, WorkedExample) {
    const Expect want[12] = {quoted("5.621501"), quoted("5.565790"), quoted("71.27950"), quoted("50.04853"),
                             quoted("77.57649"), quoted("57.53900"), quoted("4.274334"), quoted("4.308308"),
                             quoted("59.80646"), quoted("59.60904"), quoted("68.62448"), quoted("68.46063")};
    const Bs2002Evaluation ev = evaluate(kNegativeCarry);
    for (std::size_t i = 0; i < 12; ++i) EXPECT_TRUE(meets(ev.terms[i], want[i])) << "term " << i + 1;
}

// The branches that end in the European value return that value itself.
TEST(BjerksundStenslandEuropean, BranchesReturnTheSharedEuropeanValue) {
    for (const CallInputs& in : {kCarryIsRate, kLowTrigger, kNoCarry, kNegativeCarry}) {
        const Bs2002Evaluation ev = evaluate(in);
        EXPECT_TRUE(same_bits(ev.european, european(in))) << "S = " << in.S << ", b = " << in.b;
        EXPECT_TRUE(same_bits(ev.value, ev.european)) << "S = " << in.S << ", b = " << in.b;
    }
}

// When b T + 2 sigma sqrt(T) < 0 the exponent h(T) is positive and the trigger
// falls below B0, here below the strike. A spot between the trigger and the
// strike is "exercised" at a negative S - K; the call is then worth its
// European value, never the negative payoff.
TEST(BjerksundStenslandExercise, TriggerBelowStrikeGivesTheEuropeanValue) {
    const Bs2002Evaluation ev = evaluate(kLowTrigger);
    EXPECT_GT(ev.h_T, 0.0);
    EXPECT_LT(ev.i2, ev.b0);
    EXPECT_LT(ev.i2, kLowTrigger.K);
    ASSERT_EQ(ev.path, Bs2002Path::ImmediateExercise);
    EXPECT_TRUE(same_bits(ev.value, european(kLowTrigger)));
    EXPECT_GT(ev.value, 0.0);
}

// The trigger does not depend on the spot, so it can be hit exactly: a spot
// equal to I2 exercises, the double below it does not.
TEST(BjerksundStenslandExercise, SpotExactlyAtTriggerExercises) {
    const double i2 = evaluate(kExercise).i2;
    CallInputs at = kExercise;
    at.S = i2;
    const Bs2002Evaluation ev = evaluate(at);
    ASSERT_EQ(ev.path, Bs2002Path::ImmediateExercise);
    EXPECT_TRUE(same_bits(ev.value, i2 - at.K));
    at.S = std::nextafter(i2, 0.0);
    EXPECT_EQ(evaluate(at).path, Bs2002Path::Approximation);
}

TEST(BjerksundStenslandExercise, PayoffAboveEuropeanValueIsReturnedExactly) {
    const Bs2002Evaluation ev = evaluate(kExercise);
    ASSERT_EQ(ev.path, Bs2002Path::ImmediateExercise);
    EXPECT_LT(ev.european, 30.0);
    EXPECT_TRUE(same_bits(ev.value, 30.0));
}

// A call with a finite expiry is never worth more than the perpetual call,
// (B_inf - K) (S / B_inf)^beta. Where the twelve-term sum exceeds it, the value
// is that perpetual value to the bit (each factor rounded on its own).
TEST(BjerksundStenslandCap, SumAboveThePerpetualValueIsCapped) {
    // The first is the put (247, 100, 5, 0.08, 0.06, 0.01) transformed: S and K
    // swap, the rate becomes q and the carry q - r.
    const CallInputs capped[] = {{100, 247, 5, 0.01, 0.01 - 0.08, 0.06},
                                 {100, 123, 6, 0.03, 0.03 - 0.07, 0.04},
                                 {176, 255.6, 4.82, 0.0299, 0.0299 - 0.286, 0.248},
                                 kApproximationWins};
    for (const CallInputs& in : capped) {
        const Bs2002Evaluation ev = evaluate(in);
        ASSERT_EQ(ev.path, Bs2002Path::Approximation) << "S = " << in.S;
        const double perpetual = (ev.b_inf - in.K) * std::pow(in.S / ev.b_inf, ev.beta);
        EXPECT_GT(ev.approximation, perpetual) << "S = " << in.S;
        EXPECT_TRUE(same_bits(ev.perpetual, perpetual)) << "S = " << in.S;
        EXPECT_TRUE(same_bits(ev.value, ev.european > perpetual ? ev.european : perpetual)) << "S = " << in.S;
    }
}

}  // namespace
