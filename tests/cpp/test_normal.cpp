// The normal distribution: reference values of norm_cdf, erfc, erf_impl and
// norm_pdf, the seams between the rational approximations, and their accuracy
// against the C library's error functions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

#include "pricing/math/normal.hpp"
#include "test_support.hpp"

namespace {

using namespace varnelle::testing;


enum class Fn { Cdf, Pdf, Erfc, ErfcKernel, ErfKernel };

double apply(Fn fn, double x) {
    switch (fn) {
        case Fn::Cdf: return varnelle::norm_cdf(x);
        case Fn::Pdf: return varnelle::norm_pdf(x);
        case Fn::Erfc: return varnelle::erfc(x);
        case Fn::ErfcKernel: return varnelle::erf_impl(x, true);
        case Fn::ErfKernel: return varnelle::erf_impl(x, false);
    }
    return kNaN;
}

struct NormalCase {
    const char* name;
    Fn fn;
    double x;
    Expect want;
    const char* source;
};

std::ostream& operator<<(std::ostream& os, const NormalCase& c) { return os << c.name; }

const NormalCase kNormalTable[] = {
    // Exact by construction.
    {"cdf_at_zero", Fn::Cdf, 0.0, exactly(0.5), "z = 0 takes the tiny-argument rule: 0.5 * (1 - 0)"},
    {"cdf_at_minus_zero", Fn::Cdf, -0.0, exactly(0.5), "-0.0 is not negative for the kernel"},
    {"cdf_nan", Fn::Cdf, kNaN, exactly(kNaN), "NaN passes through erfc"},
    {"cdf_plus_inf", Fn::Cdf, kInf, exactly(1.0), "erfc(-inf) is 2"},
    {"cdf_minus_inf", Fn::Cdf, -kInf, exactly(0.0), "erfc(+inf) is +0.0"},
    {"erfc_nan", Fn::Erfc, kNaN, exactly(kNaN), "NaN rule of erfc"},
    {"erfc_plus_inf", Fn::Erfc, kInf, exactly(0.0), "infinity rule of erfc"},
    {"erfc_minus_inf", Fn::Erfc, -kInf, exactly(2.0), "infinity rule of erfc"},
    {"pdf_plus_inf", Fn::Pdf, kInf, exactly(0.0), "exp(-inf) is +0.0"},
    {"pdf_minus_inf", Fn::Pdf, -kInf, exactly(0.0), "exp(-inf) is +0.0"},
    {"pdf_nan", Fn::Pdf, kNaN, exactly(kNaN), "NaN passes through exp"},
    {"pdf_at_zero", Fn::Pdf, 0.0, exactly(0x1.9884533d4365p-2),
     "1 / 2.5066282746310007, one ulp below the double nearest 1/sqrt(2 pi) because the divisor "
     "is the double nearest sqrt(2 pi)"},
    {"erf_minus_zero", Fn::ErfKernel, -0.0, exactly(-0.0), "z * 1.125 + z * c keeps the sign of zero"},
    {"erfc_kernel_at_110", Fn::ErfcKernel, 110.0, exactly(0.0), "no approximation at or above 110"},
    {"erf_kernel_at_110", Fn::ErfKernel, 110.0, exactly(1.0), "erf is 1 - 0 at or above 110"},
    {"erfc_kernel_underflow", Fn::ErfcKernel, 27.5, exactly(0.0), "exp(-z * z) underflows above z ~ 27.3"},
    {"erfc_kernel_huge", Fn::ErfcKernel, 1e300, exactly(0.0), "far past the last range"},
    {"cdf_reaches_one", Fn::Cdf, 8.3, exactly(1.0), "upper tail rounds to 1.0 from about x = 8.3"},
    {"cdf_just_below_one", Fn::Cdf, 8.25, exactly(0x1.fffffffffffffp-1), "last x below the upper tail's rounding to 1"},
    {"cdf_lower_tail_zero", Fn::Cdf, -38.5, exactly(0.0), "lower tail is 0.0 from about x = -38.5 down"},
    {"cdf_far_lower_tail", Fn::Cdf, -1e300, exactly(0.0), "lower tail is 0.0 from about x = -38.5 down"},
    // Quoted decimals.
    {"cdf_half", Fn::Cdf, 0.5, quoted("0.69146246127401"), "erf ratio below |z| = 0.5, matching Phi(0.5) to ~16 digits"},
    {"cdf_one", Fn::Cdf, 1.0, quoted("0.84134474605494"),
     "first erfc row with its offset; the true Phi(1) is 0.84134474606854"},
    {"cdf_minus_one", Fn::Cdf, -1.0, quoted("0.15865525394506"), "first erfc row with its offset"},
    {"erfc_seam_above", Fn::ErfcKernel, 0.5, quoted("0.47950012223634"), "z = 0.5 belongs to the first erfc row"},
    {"erfc_seam_below", Fn::ErfcKernel, 0x1.fffffffffffffp-2, quoted("0.47950012218695"),
     "largest double below 0.5 goes through 1 - erf; the seam does not meet to full precision"},
    {"cdf_lower_tail_subnormal", Fn::Cdf, -38.0, quoted("2.885e-316"), "subnormal value of the lower tail"},
};

class NormalReference : public ::testing::TestWithParam<NormalCase> {};

TEST_P(NormalReference, MatchesReference) {
    const NormalCase& c = GetParam();
    EXPECT_TRUE(meets(apply(c.fn, c.x), c.want)) << c.name << ": " << c.source;
}

INSTANTIATE_TEST_SUITE_P(Table, NormalReference, ::testing::ValuesIn(kNormalTable),
                         [](const auto& p) { return std::string(p.param.name); });

// Negative arguments are rebuilt from the positive one: erfc(-z) = 1 + erf(z)
// above -0.5, 2 - erfc(z) below it, and erf is odd.
TEST(ErfKernel, NegativeArgumentsReflectThePositiveOnes) {
    for (const double z : {1e-12, 0.1, 0.3, 0.4999, 0.5, 0.7, 0.75, 1.0, 2.5, 6.0, 30.0}) {
        SCOPED_TRACE(z);
        const double erfc_z = varnelle::erf_impl(z, true);
        const double erf_z = varnelle::erf_impl(z, false);
        EXPECT_TRUE(same_bits(varnelle::erf_impl(-z, false), -erf_z));
        if (z <= 0.5) {
            EXPECT_TRUE(same_bits(varnelle::erf_impl(-z, true), 1.0 + erf_z));
        } else {
            EXPECT_TRUE(same_bits(varnelle::erf_impl(-z, true), 2.0 - erfc_z));
        }
    }
    // The cases quoted for z = 0.3 and 0.7.
    EXPECT_TRUE(same_bits(varnelle::erf_impl(-0.7, false), -(1.0 - varnelle::erf_impl(0.7, true))));
}

// One row of the erfc table: its range, its offset Y and the constant term of
// its numerator, as published with the coefficient sets.
struct ErfcRow {
    double lo;
    double hi;
    double y;
    double p0;
};

std::ostream& operator<<(std::ostream& os, const ErfcRow& r) {
    return os << "[" << r.lo << ", " << r.hi << ")";
}

const ErfcRow kErfcRows[] = {
    {0.5, 0.75, 0.3440242112, -0.03617903907182625},
    {0.75, 1.25, 0.419990927, -0.03978768926111369},
    {1.25, 2.25, 0.4898625016, -0.030083856055794972},
    {2.25, 3.5, 0.5317370892, -0.011790757013722784},
    {3.5, 5.25, 0.5489973426, -0.005469547955387293},
    {5.25, 8.0, 0.5571740866, -0.0027072253590577837},
    {8.0, 11.5, 0.5609807968, -0.001099467206917422},
    {11.5, 17.0, 0.5626493692, -0.0005690799360109496},
    {17.0, 24.0, 0.5634598136, -0.00024131359948399134},
    {24.0, 38.0, 0.5638477802, -0.00014667469927776036},
};

class ErfcRows : public ::testing::TestWithParam<ErfcRow> {};

// At its lower bound a row is evaluated at w = 0, where P/Q is the constant
// term of P over 1. A bound handed to the row below, or a wrong offset, shows.
TEST_P(ErfcRows, LowerBoundBelongsToTheRowAbove) {
    const ErfcRow& row = GetParam();
    const double z = row.lo;
    const double g = std::exp((-z) * z) / z;
    EXPECT_TRUE(same_bits(varnelle::erf_impl(z, true), g * row.y + g * row.p0));
}

// The published approximations stay within about 1e-10 of erfc. A mistyped
// coefficient or a swapped row breaks this by orders of magnitude. Results
// that fall into the subnormals (z > ~26.5) lose precision and are excluded.
TEST_P(ErfcRows, TracksTheLibraryErfc) {
    const ErfcRow& row = GetParam();
    const double hi = row.hi < 26.0 ? row.hi : 26.0;
    const int steps = 2000;
    for (int i = 0; i < steps; ++i) {
        const double z = row.lo + (hi - row.lo) * i / steps;
        const double want = std::erfc(z);
        ASSERT_NEAR(varnelle::erf_impl(z, true), want, 1.5e-10 * want) << "z = " << z;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ErfcRows, ::testing::ValuesIn(kErfcRows));

TEST(ErfKernel, SmallArgumentRatioIsAccurateToRounding) {
    for (int i = 1; i < 5000; ++i) {
        const double z = 0.5 * i / 5000;
        ASSERT_NEAR(varnelle::erf_impl(z, false), std::erf(z), 1e-15 * std::erf(z)) << "z = " << z;
    }
}

// Batches choose the erfc row by index from one table, single values through
// the chain of comparisons; every seam, both sides of it, and a dense sweep
// must agree to the bit.
TEST(ErfcTable, RowsByIndexEqualTheChainedRows) {
    using varnelle::detail::erfc_tail;
    using varnelle::detail::erfc_tail_indexed;
    for (const auto& row : varnelle::detail::kErfcRows) {
        for (const double z : {row.a, std::nextafter(row.a, 0.0), std::nextafter(row.a, kInf)}) {
            if (z < 0.5) continue;
            ASSERT_TRUE(same_bits(erfc_tail_indexed(z), erfc_tail(z))) << "z = " << z;
        }
    }
    for (const double z : {110.0, std::nextafter(110.0, 0.0), 1e300, kInf}) {
        ASSERT_TRUE(same_bits(erfc_tail_indexed(z), erfc_tail(z))) << "z = " << z;
    }
    varnelle::testing::Sweep sweep(0xe4fc);
    for (int i = 0; i < 400000; ++i) {
        const double z = 0.5 + std::pow(sweep.uniform(0, 1), 3.0) * 115.0;
        ASSERT_TRUE(same_bits(erfc_tail_indexed(z), erfc_tail(z))) << "z = " << z;
    }
}

// The chain drops each row's zero padding again: it must come back to the
// published degrees, not stop short at a coefficient that happens to be zero
// (same bits, but the cost would no longer be the published rational's) nor
// keep padding (two operations a zero).
namespace erfc_degrees {
namespace d = varnelle::detail;
constexpr std::size_t kPublished[13][2] = {
    {d::kErfc1P.size(), d::kErfc1Q.size()},   {d::kErfc2P.size(), d::kErfc2Q.size()},
    {d::kErfc3P.size(), d::kErfc3Q.size()},   {d::kErfc4P.size(), d::kErfc4Q.size()},
    {d::kErfc5P.size(), d::kErfc5Q.size()},   {d::kErfc6P.size(), d::kErfc6Q.size()},
    {d::kErfc7P.size(), d::kErfc7Q.size()},   {d::kErfc8P.size(), d::kErfc8Q.size()},
    {d::kErfc9P.size(), d::kErfc9Q.size()},   {d::kErfc10P.size(), d::kErfc10Q.size()},
    {d::kErfc11P.size(), d::kErfc11Q.size()}, {d::kErfc12P.size(), d::kErfc12Q.size()},
    {d::kErfc13P.size(), d::kErfc13Q.size()}};
template <std::size_t... Row>
constexpr bool chain_keeps_published_degrees(std::index_sequence<Row...>) {
    return ((d::kErfcRowP<Row>.size() == kPublished[Row][0] && d::kErfcRowQ<Row>.size() == kPublished[Row][1]) &&
            ...);
}
static_assert(chain_keeps_published_degrees(std::make_index_sequence<d::kErfcRows.size()>{}));
}  // namespace erfc_degrees

}  // namespace
