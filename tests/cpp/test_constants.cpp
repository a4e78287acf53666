// Each named constant is the rounding its comment says: the double nearest
// the true value (from 64-bit-mantissa arithmetic, then rounded once), or for
// kSqrtTwoPiComputed what std::sqrt(2 pi) gives in double arithmetic.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "pricing/core/constants.hpp"
#include "test_support.hpp"

namespace {

using namespace varnelle::testing;

static_assert(sizeof(long double) > sizeof(double), "the check needs extended precision");

constexpr long double kPi = 3.141592653589793238462643383279502884L;

struct ConstantCase {
    const char* name;
    double value;
    long double exact;
};

class NearestDouble : public ::testing::TestWithParam<ConstantCase> {};

TEST_P(NearestDouble, IsTheRoundedTrueValue) {
    const ConstantCase& c = GetParam();
    EXPECT_TRUE(same_bits(c.value, static_cast<double>(c.exact))) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Constants, NearestDouble,
    ::testing::Values(ConstantCase{"SqrtTwoPi", varnelle::kSqrtTwoPi, std::sqrt(2.0L * kPi)},
                      ConstantCase{"InvSqrtTwoPi", varnelle::kInvSqrtTwoPi, 1.0L / std::sqrt(2.0L * kPi)},
                      ConstantCase{"TwoPiOverSqrt27", varnelle::kTwoPiOverSqrt27, 2.0L * kPi / std::sqrt(27.0L)},
                      ConstantCase{"SqrtThree", varnelle::kSqrtThree, std::sqrt(3.0L)},
                      ConstantCase{"SqrtTwo", varnelle::kSqrtTwo, std::sqrt(2.0L)},
                      ConstantCase{"InvSqrtTwo", varnelle::kInvSqrtTwo, 1.0L / std::sqrt(2.0L)},
                      ConstantCase{"E", varnelle::kE, std::exp(1.0L)},
                      ConstantCase{"GoldenSection", varnelle::kGoldenSection, (std::sqrt(5.0L) - 1.0L) / 2.0L}),
    [](const ::testing::TestParamInfo<ConstantCase>& param) { return std::string(param.param.name); });

TEST(Constants, SqrtTwoPiComputedIsOneUlpBelowTheNearest) {
    EXPECT_TRUE(same_bits(varnelle::kSqrtTwoPiComputed, std::sqrt(2.0 * M_PI)));
    EXPECT_TRUE(same_bits(std::nextafter(varnelle::kSqrtTwoPi, 0.0), varnelle::kSqrtTwoPiComputed));
}

}  // namespace
