// The vectorisable normal distribution of the integral model: its stated
// accuracy against erfcl in long double, its polynomial exponential against
// expl, and the same bits for an element whatever the length of the array it
// is computed in and where in the array it sits (the loops run four or eight
// at a time in the AVX2 clone, one at a time in the tail and in the default
// clone).
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "pricing/math/normal_array.hpp"
#include "test_support.hpp"

namespace {

namespace na = varnelle::normal_array;
using namespace varnelle::testing;

long double reference_cdf(long double x) { return 0.5L * std::erfc(-x / std::sqrt(2.0L)); }
long double reference_pdf(long double x) {
    return std::exp(-0.5L * x * x) / std::sqrt(2.0L * 3.14159265358979323846264338327950288L);
}

// Points over [-40, 40] at steps of 1/64, with their neighbours one ulp away.
std::vector<double> sweep_points() {
    std::vector<double> xs;
    for (int i = -40 * 64; i <= 40 * 64; ++i) {
        const double x = i / 64.0;
        xs.push_back(x);
        xs.push_back(std::nextafter(x, 100.0));
    }
    Sweep rng(0x6e6f726d);
    for (int i = 0; i < 20000; ++i) xs.push_back(rng.uniform(-40.0, 40.0));
    return xs;
}

TEST(NormalArray, CdfAndPdfWithinTheirStatedErrors) {
    double worst_cdf = 0.0, worst_pdf = 0.0, worst_pdf_near = 0.0, worst_tail = 0.0;
    for (const double x : sweep_points()) {
        const long double cdf = reference_cdf(x), pdf = reference_pdf(x);
        const double c = na::cdf(x);
        worst_cdf = std::fmax(worst_cdf, static_cast<double>(std::fabs(c - cdf)));
        if (pdf > 1e-300L) {
            const double e = static_cast<double>(std::fabs(na::pdf(x) - pdf) / pdf);
            worst_pdf = std::fmax(worst_pdf, e);
            if (std::fabs(x) <= 8.0) worst_pdf_near = std::fmax(worst_pdf_near, e);
        }
        if (x < -7.0 && x > -37.0) worst_tail = std::fmax(worst_tail, static_cast<double>(std::fabs(c - cdf) / cdf));
        if (x < -37.64) {
            EXPECT_EQ(c, 0.0) << x;
        }
        double c2, p2;
        na::cdf_pdf(x, c2, p2);
        EXPECT_TRUE(same_bits(c2, c) && same_bits(p2, na::pdf(x))) << x;
    }
    EXPECT_LT(worst_cdf, 2e-15);
    EXPECT_LT(worst_pdf_near, 1.2e-14);
    EXPECT_LT(worst_pdf, 8e-14);
    EXPECT_LT(worst_tail, 4e-6);
    EXPECT_TRUE(std::isnan(na::cdf(kNaN)));
    for (const double big : {40.5, 1e3, 1e50}) {
        EXPECT_EQ(na::cdf(big), 1.0) << big;
        EXPECT_EQ(na::cdf(-big), 0.0) << big;
    }
}

TEST(NormalArray, PolyExpWithinItsTruncationErrorAndClamped) {
    Sweep rng(0x65787021);
    double worst = 0.0;
    for (int i = 0; i < 100000; ++i) {
        const double x = rng.uniform(-708.0, 709.0);
        const long double e = std::exp(static_cast<long double>(x));
        worst = std::fmax(worst, static_cast<double>(std::fabs(na::poly_exp(x) - e) / e));
    }
    EXPECT_LT(worst, 1e-14);
    EXPECT_EQ(na::poly_exp(-708.5), 0.0);
    EXPECT_EQ(na::poly_exp(-1e300), 0.0);
    EXPECT_EQ(na::poly_exp(1e300), na::poly_exp(709.0));
    EXPECT_TRUE(std::isfinite(na::poly_exp(709.0)));
    EXPECT_EQ(na::poly_exp(0.0), 1.0);
}

// The loops as the integral model writes them, cloned for AVX2 like its
// quadratures, so that the vector path is the one taken where the machine
// has it.
[[gnu::target_clones("avx2", "default")]] void cdf_loop(const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = na::cdf(x[i]);
}
[[gnu::target_clones("avx2", "default")]] void cdf_pdf_loop(const double* x, double* c, double* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) na::cdf_pdf(x[i], c[i], p[i]);
}
[[gnu::target_clones("avx2", "default")]] void exp_loop(const double* x, double* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) out[i] = na::poly_exp(x[i]);
}

// One element at a time, out of line: no loop to vectorise.
[[gnu::noinline]] double cdf_one(double x) { return na::cdf(x); }
[[gnu::noinline]] double pdf_one(double x) { return na::pdf(x); }
[[gnu::noinline]] double exp_one(double x) { return na::poly_exp(x); }

TEST(NormalArray, SameBitsAtAnyLengthAndOffset) {
    Sweep rng(0x6c616e65);
    std::vector<double> pool(96);
    for (double& x : pool) x = rng.uniform(-12.0, 12.0);
    pool[3] = kNaN;
    pool[17] = -38.0;
    pool[40] = 0.0;
    pool[41] = -0.0;
    std::vector<double> c(pool.size()), c2(pool.size()), p2(pool.size()), e(pool.size());
    for (std::size_t offset = 0; offset < 9; ++offset) {
        for (std::size_t n = 1; offset + n <= pool.size(); n += (n < 20 ? 1 : 7)) {
            cdf_loop(pool.data() + offset, c.data(), n);
            cdf_pdf_loop(pool.data() + offset, c2.data(), p2.data(), n);
            exp_loop(pool.data() + offset, e.data(), n);
            for (std::size_t i = 0; i < n; ++i) {
                const double x = pool[offset + i];
                ASSERT_TRUE(same_bits(c[i], cdf_one(x))) << "offset " << offset << " length " << n << " x " << x;
                ASSERT_TRUE(same_bits(c2[i], c[i])) << x;
                ASSERT_TRUE(same_bits(p2[i], pdf_one(x))) << x;
                ASSERT_TRUE(same_bits(e[i], exp_one(x))) << x;
            }
        }
    }
}

}  // namespace
