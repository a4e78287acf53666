// The inverse of the standard normal distribution function, to the accuracy
// a starting guess needs.
//
// P. J. Acklam's rational approximation (2003): relative error in z below
// 1.15e-9 over the whole range by his published bound; measured against an
// inversion of std::erfc, at most 1.13e-9 (near p = 0.71) for p from the
// smallest normal double to 1 - 1e-16 (tests/cpp/test_inverse_normal.cpp). It is
// not refined by a Newton step: its one user, the European implied-volatility
// start, is followed by an iteration that takes any start to the last bit.
#pragma once

#include <array>
#include <cmath>

#include "pricing/math/normal.hpp"

namespace varnelle {

namespace detail {

// Central region p in [0.02425, 0.97575]: z = q * A(r) / B(r) with q = p - 1/2,
// r = q^2; A of degree 5, B of degree 5 with constant term 1. Stored constant
// term first, as horner reads them.
inline constexpr std::array<double, 6> kInverseNormalCentralA{
    2.506628277459239e+00, -3.066479806614716e+01, 1.383577518672690e+02,
    -2.759285104469687e+02, 2.209460984245205e+02, -3.969683028665376e+01};
inline constexpr std::array<double, 6> kInverseNormalCentralB{
    1.0, -1.328068155288572e+01, 6.680131188771972e+01,
    -1.556989798598866e+02, 1.615858368580409e+02, -5.447609879822406e+01};
// Tails p < 0.02425 (and 1 - p < 0.02425 by symmetry): z = C(u) / D(u) with
// u = sqrt(-2 ln p); C of degree 5, D of degree 4 with constant term 1.
inline constexpr std::array<double, 6> kInverseNormalTailC{
    2.938163982698783e+00, 4.374664141464968e+00, -2.549732539343734e+00,
    -2.400758277161838e+00, -3.223964580411365e-01, -7.784894002430293e-03};
inline constexpr std::array<double, 5> kInverseNormalTailD{
    1.0, 3.754408661907416e+00, 2.445134137142996e+00, 3.224671290700398e-01, 7.784695709041462e-03};
inline constexpr double kInverseNormalTailEnd = 0.02425;

}  // namespace detail

// z with N(z) = p, for 0 < p < 1.
inline double inverse_normal(double p) {
    using namespace detail;
    if (p >= kInverseNormalTailEnd && p <= 1.0 - kInverseNormalTailEnd) {
        const double q = p - 0.5;
        const double r = q * q;
        return horner(kInverseNormalCentralA, r) * q / horner(kInverseNormalCentralB, r);
    }
    const double u = std::sqrt(-2.0 * std::log(p < kInverseNormalTailEnd ? p : 1.0 - p));
    const double z = horner(kInverseNormalTailC, u) / horner(kInverseNormalTailD, u);
    return p < kInverseNormalTailEnd ? z : -z;
}

}  // namespace varnelle
