// Gauss-Legendre quadrature on [-1, 1]: the nodes are the roots of the
// Legendre polynomial P_n, found by Newton's method from the usual cosine
// estimates, and the weights 2 / ((1 - x^2) P_n'(x)^2). Computed once per
// rule size, so every option priced with a rule uses the same nodes to the bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace varnelle {

struct GaussLegendreRule {
    static constexpr std::size_t kMaxPoints = 128;
    std::size_t size = 0;
    double x[kMaxPoints] = {};  // ascending
    double w[kMaxPoints] = {};
};

inline GaussLegendreRule gauss_legendre_rule(std::size_t n) {
    GaussLegendreRule rule;
    rule.size = n;
    for (std::size_t i = 0; i < (n + 1) / 2; ++i) {
        // Tricomi's estimate of the i-th root from the top.
        double x = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) / (static_cast<double>(n) + 0.5));
        double derivative = 1.0;
        for (int iteration = 0; iteration < 100; ++iteration) {
            double p0 = 1.0, p1 = x;
            for (std::size_t k = 2; k <= n; ++k) {
                const double kk = static_cast<double>(k);
                const double p2 = ((2.0 * kk - 1.0) * x * p1 - (kk - 1.0) * p0) / kk;
                p0 = p1;
                p1 = p2;
            }
            if (n == 1) p0 = 1.0, p1 = x;
            derivative = static_cast<double>(n) * (x * p1 - p0) / (x * x - 1.0);
            const double step = p1 / derivative;
            x -= step;
            if (std::fabs(step) < 1e-16) break;
        }
        const double w = 2.0 / ((1.0 - x * x) * derivative * derivative);
        rule.x[n - 1 - i] = x;
        rule.x[i] = -x;
        rule.w[i] = rule.w[n - 1 - i] = w;
    }
    if (n % 2 == 1) rule.x[n / 2] = 0.0;
    return rule;
}

}  // namespace varnelle
