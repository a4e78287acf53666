// The integral model's rules: Gauss-Legendre nodes and weights, and the
// Lagrange weights of Chebyshev interpolation on the extrema.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <vector>

#include "pricing/math/chebyshev.hpp"
#include "pricing/math/gauss_legendre.hpp"
#include "test_support.hpp"

namespace {

using varnelle::GaussLegendreRule;
using varnelle::gauss_legendre_rule;

class GaussLegendre : public ::testing::TestWithParam<std::size_t> {};

TEST_P(GaussLegendre, ExactForPolynomialsOfDegreeBelowTwiceItsSize) {
    const std::size_t n = GetParam();
    const GaussLegendreRule rule = gauss_legendre_rule(n);
    ASSERT_EQ(rule.size, n);
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_GT(rule.w[i], 0.0) << i;
        EXPECT_EQ(rule.x[i], -rule.x[n - 1 - i]) << i;
        EXPECT_EQ(rule.w[i], rule.w[n - 1 - i]) << i;
        if (i > 0) {
            EXPECT_LT(rule.x[i - 1], rule.x[i]) << i;
        }
    }
    // x^k over [-1, 1] is 2 / (k + 1) for even k, 0 for odd k, up to degree
    // 2n - 1. The sums' rounding grows with the weights' count and size.
    for (std::size_t k = 0; k < 2 * n; ++k) {
        long double sum = 0.0L;
        for (std::size_t i = 0; i < n; ++i) sum += rule.w[i] * std::pow(static_cast<long double>(rule.x[i]), k);
        const double want = k % 2 == 0 ? 2.0 / static_cast<double>(k + 1) : 0.0;
        EXPECT_NEAR(static_cast<double>(sum), want, 1e-14 * static_cast<double>(n)) << "n " << n << " degree " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, GaussLegendre, ::testing::Values(1, 2, 3, 4, 7, 12, 16, 32, 64, 96, 128));

TEST(GaussLegendre, KnownSmallRules) {
    const GaussLegendreRule two = gauss_legendre_rule(2);
    EXPECT_NEAR(two.x[1], 1.0 / std::sqrt(3.0), 2e-16);
    EXPECT_NEAR(two.w[0], 1.0, 1e-15);
    const GaussLegendreRule three = gauss_legendre_rule(3);
    EXPECT_EQ(three.x[1], 0.0);
    EXPECT_NEAR(three.x[2], std::sqrt(0.6), 2e-16);
    EXPECT_NEAR(three.w[1], 8.0 / 9.0, 1e-15);
    EXPECT_NEAR(three.w[0], 5.0 / 9.0, 1e-15);
}

namespace cheb = varnelle::chebyshev;

// The interpolant through the extrema of values v at z.
double interpolate(double z, std::size_t n, const std::vector<double>& v) {
    std::vector<double> w(n + 1);
    cheb::lagrange_weights(z, n, w.data());
    double sum = 0.0;
    for (std::size_t i = 0; i <= n; ++i) sum += w[i] * v[i];
    return sum;
}

class ChebyshevWeights : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ChebyshevWeights, ReproducePolynomialsOfItsDegreeAndSumToOne) {
    const std::size_t n = GetParam();
    EXPECT_EQ(cheb::node(0, n), 1.0);
    EXPECT_EQ(cheb::node(n, n), -1.0);
    // A polynomial of degree n with roots spread over [-1.5, 1.5].
    const auto poly = [n](double z) {
        double p = 1.0;
        for (std::size_t j = 0; j < n; ++j) p *= z - (-1.5 + 3.0 * (static_cast<double>(j) + 0.5) / static_cast<double>(n));
        return p;
    };
    std::vector<double> v(n + 1), ones(n + 1, 1.0);
    for (std::size_t i = 0; i <= n; ++i) v[i] = poly(cheb::node(i, n));
    varnelle::testing::Sweep rng(n);
    for (int k = 0; k < 200; ++k) {
        const double z = rng.uniform(-1.0, 1.0);
        EXPECT_NEAR(interpolate(z, n, ones), 1.0, 1e-14) << z;
        EXPECT_NEAR(interpolate(z, n, v), poly(z), 1e-13) << "n " << n << " z " << z;
    }
    // At a node the weights pick its value alone.
    std::vector<double> w(n + 1);
    cheb::lagrange_weights(cheb::node(1, n), n, w.data());
    for (std::size_t i = 0; i <= n; ++i) EXPECT_EQ(w[i], i == 1 ? 1.0 : 0.0) << i;
}

INSTANTIATE_TEST_SUITE_P(Degrees, ChebyshevWeights, ::testing::Values(1, 2, 5, 12, 24, 32));

TEST(ChebyshevWeights, SmoothFunctionsConvergeSpectrally) {
    // e^z on 17 extrema: the interpolation error is below 2^-16 / 17! e ~ 1e-19.
    const std::size_t n = 16;
    std::vector<double> v(n + 1);
    for (std::size_t i = 0; i <= n; ++i) v[i] = std::exp(cheb::node(i, n));
    for (double z = -1.0; z <= 1.0; z += 0.01) EXPECT_NEAR(interpolate(z, n, v), std::exp(z), 4e-15) << z;
}

}  // namespace
