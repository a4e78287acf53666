// The lane exp, log and pow(e, y) against the platform's, and the lane
// normal distribution against norm_cdf, bit for bit on both lane widths; the
// tables against their definitions; the choice of path.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/math/vector_math.hpp"
#include "pricing/math/vector_path.hpp"
#include "test_support.hpp"

namespace {

using varnelle::VectorPath;
using varnelle::lanes::MathKernels;
using namespace varnelle::testing;

// Each test runs on both lane widths, skipped where the processor or the
// build has no such lanes.
class LanePath : public ::testing::TestWithParam<VectorPath> {
protected:
    void SetUp() override {
        if (!varnelle::vector_path_supported(GetParam())) GTEST_SKIP() << "the processor lacks this lane width";
        kernels_ = varnelle::lanes::math_kernels(GetParam());
        if (kernels_ == nullptr) GTEST_SKIP() << "built without lanes";
    }
    const MathKernels& kernels() const { return *kernels_; }

private:
    const MathKernels* kernels_ = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Widths, LanePath, ::testing::Values(VectorPath::Avx2, VectorPath::Avx512),
                         [](const ::testing::TestParamInfo<VectorPath>& param) {
                             return std::string(varnelle::vector_path_name(param.param));
                         });

// Compares f's lanes with the scalar reference element by element; stops
// after a few failures.
void expect_same(void (*lanes)(const double*, double*, std::size_t), double (*reference)(double),
                 const std::vector<double>& x) {
    std::vector<double> got(x.size());
    lanes(x.data(), got.data(), x.size());
    int failures = 0;
    for (std::size_t i = 0; i < x.size() && failures < 5; ++i) {
        const double want = reference(x[i]);
        if (bits_of(got[i]) != bits_of(want)) {
            ADD_FAILURE() << "x = " << hex(x[i]) << ": got " << hex(got[i]) << ", want " << hex(want);
            ++failures;
        }
    }
}

double platform_exp(double x) { return std::exp(x); }
double platform_log(double x) { return std::log(x); }
double scalar_norm_cdf(double x) { return varnelle::norm_cdf(x); }
double platform_pow_e(double y) { return std::pow(varnelle::kE, y); }

std::vector<double> uniform(std::mt19937_64& gen, std::size_t n, double a, double b) {
    std::uniform_real_distribution<double> u(a, b);
    std::vector<double> x(n);
    for (auto& v : x) v = u(gen);
    return x;
}

std::vector<double> any_bits(std::mt19937_64& gen, std::size_t n, std::uint64_t mask) {
    std::vector<double> x(n);
    for (auto& v : x) v = std::bit_cast<double>(gen() & mask);
    return x;
}

constexpr std::uint64_t kAll = ~std::uint64_t{0};
constexpr std::uint64_t kPositive = 0x7fffffffffffffff;
constexpr std::uint64_t kSubnormal = 0x000fffffffffffff;

TEST_P(LanePath, ExpMatchesThePlatformAcrossItsRanges) {
    const auto& k = kernels();
    std::mt19937_64 gen(1);
    for (const auto& [a, b] : std::vector<std::pair<double, double>>{
             {-30, 30}, {-1e-6, 1e-6}, {-746, 710}, {-12100, 0}, {-745.2, -708}, {700, 720}, {-1100, 1100}}) {
        SCOPED_TRACE(::testing::Message() << "[" << a << ", " << b << ")");
        expect_same(k.exp, platform_exp, uniform(gen, 400000, a, b));
    }
    expect_same(k.exp, platform_exp, any_bits(gen, 400000, kAll));
}

TEST_P(LanePath, LogMatchesThePlatformAcrossItsRanges) {
    const auto& k = kernels();
    std::mt19937_64 gen(2);
    for (const auto& [a, b] : std::vector<std::pair<double, double>>{
             {0.5, 2.0}, {1.0 - 0x1p-4, 1.0 + 0x1.09p-4}, {1 - 1e-9, 1 + 1e-9}, {1e-300, 1e300}}) {
        SCOPED_TRACE(::testing::Message() << "[" << a << ", " << b << ")");
        expect_same(k.log, platform_log, uniform(gen, 400000, a, b));
    }
    expect_same(k.log, platform_log, any_bits(gen, 400000, kPositive));
    expect_same(k.log, platform_log, any_bits(gen, 50000, kSubnormal));
    expect_same(k.log, platform_log, any_bits(gen, 50000, kAll));
}

TEST_P(LanePath, PowOfEMatchesThePlatform) {
    const auto& k = kernels();
    std::mt19937_64 gen(5);
    for (const auto& [a, b] : std::vector<std::pair<double, double>>{
             {-25, 25}, {-1e-3, 1e-3}, {-520, 520}, {-800, 800}, {-1e-15, 1e-15}}) {
        SCOPED_TRACE(::testing::Message() << "[" << a << ", " << b << ")");
        expect_same(k.pow_e, platform_pow_e, uniform(gen, 400000, a, b));
    }
    expect_same(k.pow_e, platform_pow_e, any_bits(gen, 100000, kAll));
}

// Every array length up to a few vectors, so that the padded tail is used,
// and the values where each function changes path.
TEST_P(LanePath, EdgesAndEveryTailLength) {
    const auto& k = kernels();
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<double> edges = {0.0,     -0.0,     1.0,      -1.0,       inf,         -inf,      nan,
                                       -nan,    0x1p-54,  -0x1p-54, 0x1p-55,    512.0,       -512.0,    1024.0,
                                       -1024.0, 709.78,   709.79,   -708.39,    -708.40,     -745.13,   -745.14,
                                       1e-310,  -1e-310,  0x1p-1022, 0x1p-1074, 1.0 - 0x1p-4, 1 + 0x1.09p-4,
                                       0x1.6p-1, 0x1.6p0, 1.7976931348623157e308, -0.5 * 1.4142135623730951,
                                       8.0 * 1.4142135623730951, 110.0 * 1.4142135623730951, 0.7071067811865476};
    std::vector<double> x;
    for (const double e : edges) {
        x.push_back(e);
        x.push_back(std::nextafter(e, -inf));
        x.push_back(std::nextafter(e, inf));
    }
    for (std::size_t n = 0; n <= 19; ++n) {
        const std::vector<double> head(x.begin(), x.begin() + static_cast<std::ptrdiff_t>(n));
        expect_same(k.exp, platform_exp, head);
        expect_same(k.log, platform_log, head);
        expect_same(k.pow_e, platform_pow_e, head);
        expect_same(k.norm_cdf, scalar_norm_cdf, head);
    }
    expect_same(k.exp, platform_exp, x);
    expect_same(k.log, platform_log, x);
    expect_same(k.pow_e, platform_pow_e, x);
    expect_same(k.norm_cdf, scalar_norm_cdf, x);
}

TEST_P(LanePath, NormCdfMatchesTheScalarFunction) {
    const auto& k = kernels();
    std::mt19937_64 gen(3);
    for (const auto& [a, b] : std::vector<std::pair<double, double>>{
             {-1, 1}, {-5, 5}, {-40, 40}, {-170, 170}, {-1e-9, 1e-9}}) {
        SCOPED_TRACE(::testing::Message() << "[" << a << ", " << b << ")");
        expect_same(k.norm_cdf, scalar_norm_cdf, uniform(gen, 300000, a, b));
    }
    // Every row's lower edge, where the approximation changes.
    std::vector<double> seams;
    for (const double z : varnelle::detail::kErfPieceStarts) {
        for (const double sign : {-1.0, 1.0}) {
            double x = sign * z * 1.4142135623730951;
            for (int i = 0; i < 8; ++i) x = std::nextafter(x, -1e300);
            for (int i = 0; i < 16; ++i, x = std::nextafter(x, 1e300)) seams.push_back(x);
        }
    }
    expect_same(k.norm_cdf, scalar_norm_cdf, seams);
    expect_same(k.norm_cdf, scalar_norm_cdf, any_bits(gen, 100000, kAll));
}

TEST_P(LanePath, TheProofPasses) {
    EXPECT_EQ(varnelle::lanes::prove_against_platform(GetParam()), "");
}

// The exp table from its definition: hi is 2^(i/128) rounded, and hi + hi tail
// is 2^(i/128) far more closely than hi alone; log's 1/c and log c agree.
TEST(ExpLogTables, AgreeWithTheirDefinitions) {
    const auto& t = varnelle::exp_log::tables();
    for (int i = 0; i < varnelle::exp_log::kTableSize; ++i) {
        const auto index = static_cast<std::size_t>(i);
        const double hi = std::bit_cast<double>(t.exp_scale[index] + (static_cast<std::uint64_t>(i) << 45));
        const long double exact = std::exp2(static_cast<long double>(i) / 128.0L);
        EXPECT_EQ(hi, static_cast<double>(exact)) << i;
        EXPECT_LT(std::fabs(static_cast<long double>(hi) * (1.0L + t.exp_tail[index]) - exact), 0x1p-62L) << i;
        EXPECT_LE(std::fabs(t.exp_tail[index]), 0x1p-53) << i;
        const long double c = 1.0L / t.log_invc[index];
        EXPECT_LT(std::fabs(std::log(c) - static_cast<long double>(t.log_logc[index])), 0x1p-60L) << i;
        // c lies in its piece of [0x1.6p-1, 0x1.6p0).
        const auto start = std::bit_cast<double>(varnelle::exp_log::kLogOffset + (static_cast<std::uint64_t>(i) << 45));
        const auto end = std::bit_cast<double>(varnelle::exp_log::kLogOffset + (static_cast<std::uint64_t>(i + 1) << 45));
        EXPECT_GT(c, start) << i;
        EXPECT_LT(c, end) << i;
    }
}

// A lane exp that is wrong in one bit at one argument, which the proof must
// find among a million right ones.
void exp_off_by_one_ulp_at_two(const double* x, double* out, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = std::exp(x[i]);
        if (x[i] == 2.0) out[i] = std::nextafter(out[i], 0.0);
    }
}

TEST(VectorPathProof, NamesTheFirstArgumentThatDiffers) {
    std::vector<double> x(1000000);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = -20.0 + 40.0 * (static_cast<double>(i) + 0.5) / 1e6;
    EXPECT_EQ(varnelle::lanes::first_difference("exp", exp_off_by_one_ulp_at_two, platform_exp, x), "");
    x[777777] = 2.0;
    const std::string found = varnelle::lanes::first_difference("exp", exp_off_by_one_ulp_at_two, platform_exp, x);
    EXPECT_EQ(found.rfind("vector exp differs from the platform's at x=0x1p+1 (", 0), 0u) << found;
}

TEST(VectorPathChoice, VarnelleScalarOneForcesTheScalarPath) {
    const auto forced = varnelle::lanes::choose_vector_path("1");
    EXPECT_EQ(forced.path, VectorPath::Scalar);
    EXPECT_EQ(forced.description, "scalar: forced by VARNELLE_SCALAR=1");
    // Any other setting leaves the choice to the processor and the proof.
    for (const char* setting : {static_cast<const char*>(nullptr), "0", "", "yes"}) {
        const auto chosen = varnelle::lanes::choose_vector_path(setting);
        EXPECT_TRUE(varnelle::vector_path_supported(chosen.path));
        EXPECT_NE(chosen.description, "scalar: forced by VARNELLE_SCALAR=1");
    }
}

TEST(VectorPathChoice, IsAPathThisProcessorRunsAndSaysWhy) {
    const auto& choice = varnelle::vector_path_choice();
    EXPECT_TRUE(varnelle::vector_path_supported(choice.path));
    if (choice.path == VectorPath::Scalar) {
        EXPECT_EQ(choice.description.rfind("scalar: ", 0), 0u) << choice.description;
    } else {
        EXPECT_EQ(choice.description, varnelle::vector_path_name(choice.path));
    }
    const char* forced = std::getenv("VARNELLE_SCALAR");
    if (forced != nullptr && std::string(forced) == "1") {
        EXPECT_EQ(choice.description, "scalar: forced by VARNELLE_SCALAR=1");
    }
    std::printf("vector path: %s (proof %.1f ms)\n", choice.description.c_str(), choice.proof_ms);
}

}  // namespace
