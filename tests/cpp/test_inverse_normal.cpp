// inverse_normal against an inversion of the C library's erfc, across the
// central region, both tails down to the smallest normal p, and the seams.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "pricing/math/inverse_normal.hpp"

namespace {

// z with Phi(z) = p to about an ulp: Newton on 0.5 erfc(-z / sqrt 2) from
// the approximation, in the lower half where Phi is accurate relative to p.
double reference_inverse(double p) {
    if (p > 0.5) return -reference_inverse(1.0 - p);
    double z = varnelle::inverse_normal(p);
    for (int i = 0; i < 4; ++i) {
        const double phi = 0.5 * std::erfc(-z / std::sqrt(2.0));
        const double density = std::exp(-0.5 * z * z) / std::sqrt(2.0 * M_PI);
        z -= (phi - p) / density;
    }
    return z;
}

// Acklam's published bound on the relative error in z.
constexpr double kBound = 1.15e-9;

TEST(InverseNormal, WithinItsPublishedBound) {
    double worst = 0.0;
    // p from the smallest normal double up to 1/2, 40 points a decade, and
    // their mirrors 1 - p, rounded as doubles (the upper tail's branch).
    for (double lg = -307.0; lg <= std::log10(0.5); lg += 0.025) {
        const double p = std::pow(10.0, lg);
        for (const double x : {p, 1.0 - p}) {
            if (!(x > 0.0 && x < 1.0) || x == 0.5) continue;
            const double z = varnelle::inverse_normal(x);
            const double want = reference_inverse(x);
            const double err = std::fabs(z - want) / std::fabs(want);
            worst = std::fmax(worst, err);
            ASSERT_LE(err, kBound) << "p=" << x << " z=" << z << " want=" << want;
        }
    }
    // The table is not sloppier than its bound promises by a wide margin.
    EXPECT_GT(worst, 0.1 * kBound);
}

TEST(InverseNormal, NearlyContinuousAcrossTheSeams) {
    for (const double seam : {varnelle::detail::kInverseNormalTailEnd, 1.0 - varnelle::detail::kInverseNormalTailEnd}) {
        const double below = varnelle::inverse_normal(std::nextafter(seam, 0.0));
        const double at = varnelle::inverse_normal(seam);
        const double above = varnelle::inverse_normal(std::nextafter(seam, 1.0));
        // The two rational forms do not meet exactly; each is within its bound.
        EXPECT_NEAR(below, at, 2.0 * kBound * std::fabs(at));
        EXPECT_NEAR(at, above, 2.0 * kBound * std::fabs(at));
    }
}

}  // namespace
