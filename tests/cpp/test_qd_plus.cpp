// Li's QD+ start of the integral model's boundary: each value is the root of
// Li's equation (solved here again by bisection in long double with erfc),
// inside (0, X], falling with the time to expiry, and near the boundary the
// iteration converges to.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <numbers>
#include <vector>

#include "pricing/american/integral/integral_model.hpp"
#include "pricing/american/integral/qd_plus.hpp"

namespace {

struct Put {
    double r, q, sigma;
};

// Li's F(S) for the put of strike 1 at time to expiry tau.
long double li_f(long double s, long double tau, const Put& p) {
    using std::exp, std::sqrt, std::log;
    const long double r = p.r, q = p.q, sigma2 = static_cast<long double>(p.sigma) * p.sigma;
    const auto cdf = [](long double x) { return 0.5L * std::erfc(-x / sqrt(2.0L)); };
    const auto pdf = [](long double x) { return exp(-0.5L * x * x) / sqrt(2.0L * std::numbers::pi_v<long double>); };
    const long double dr = exp(-r * tau), dq = exp(-q * tau), h = 1.0L - dr;
    const long double omega = 2.0L * (r - q) / sigma2, v = sqrt(sigma2 * tau);
    const long double root = sqrt((omega - 1.0L) * (omega - 1.0L) + 8.0L * r / (sigma2 * h));
    const long double lambda = 0.5L * (-(omega - 1.0L) - root);
    const long double lambda_prime = 2.0L * r / (sigma2 * h * h * root);
    const long double alpha = 2.0L * r * dr / (sigma2 * (2.0L * lambda + omega - 1.0L));
    const long double beta = alpha * (1.0L / h + lambda_prime / (2.0L * lambda + omega - 1.0L)) - lambda;
    const long double d_plus = log(s * dq / dr) / v + 0.5L * v, d_minus = d_plus - v;
    const long double european = dr * cdf(-d_minus) - s * dq * cdf(-d_plus);
    const long double theta = r * dr * cdf(-d_minus) - q * s * dq * cdf(-d_plus) - sigma2 * s * dq * pdf(d_plus) / (2.0L * v);
    const long double c0 = -beta - lambda + alpha * theta / (r * dr * (1.0L - s - european));
    return (1.0L - dq * cdf(-d_plus)) * s + (lambda + c0) * (1.0L - s - european);
}

// Bisection in ln S on [1e-6 X, X], where F rises through its root.
double li_root(double tau, const Put& p, double x_ratio) {
    long double lo = std::log(1e-6L * x_ratio), hi = std::log(static_cast<long double>(x_ratio));
    for (int i = 0; i < 200; ++i) {
        const long double mid = 0.5L * (lo + hi);
        (li_f(std::exp(mid), tau, p) > 0.0L ? hi : lo) = mid;
    }
    return static_cast<double>(std::exp(0.5L * (lo + hi)));
}

class QdPlus : public ::testing::TestWithParam<Put> {};

TEST_P(QdPlus, SolvesLisEquationAtEveryNode) {
    const Put p = GetParam();
    const double x_ratio = p.q > 0.0 && p.r < p.q ? p.r / p.q : 1.0;
    // The boundary's nodes for a three-year life, the longest first.
    const std::size_t n = 12;
    std::vector<double> tau(n), out(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double root = 0.5 * (1.0 + std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
        tau[i] = 3.0 * root * root;
    }
    varnelle::qd_plus_boundary(tau.data(), n, p.r, p.q, p.sigma, x_ratio, out.data());
    for (std::size_t i = 0; i < n; ++i) {
        EXPECT_GT(out[i], 0.0) << tau[i];
        EXPECT_LE(out[i], x_ratio) << tau[i];
        // The start only needs to be close: Newton stops on a step of 1e-4,
        // which leaves up to 5e-7 at the shortest times, where F is flattest.
        EXPECT_NEAR(out[i], li_root(tau[i], p, x_ratio), 1e-6 * x_ratio) << "tau " << tau[i];
        if (i > 0) {
            EXPECT_GE(out[i], out[i - 1]) << "the boundary rises towards expiry, tau " << tau[i];
        }
    }
    // An approximation of the boundary the iteration converges to: Li reports
    // QD+ within about 1 % of it.
    const double solved = varnelle::integral_exercise_boundary(1.0, tau[0], p.r, p.sigma, p.q, varnelle::OptionType::Put, 1e-10);
    EXPECT_NEAR(out[0], solved, 0.02 * solved);
}

INSTANTIATE_TEST_SUITE_P(Puts, QdPlus,
                         ::testing::Values(Put{0.05, 0.0, 0.2}, Put{0.05, 0.05, 0.25}, Put{0.1, 0.001, 0.1},
                                           Put{0.04, 0.08, 0.3}, Put{0.02, 0.01, 0.6}, Put{0.08, 0.02, 0.05}));

}  // namespace
