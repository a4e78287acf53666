// Li's QD+ approximation of the early-exercise boundary of an American put
// (M. Li, "Analytical approximations for the critical stock prices of
// American options: a performance comparison", 2005): the starting point of
// the fixed-point iteration in exercise_boundary.cpp.
#pragma once

#include <cstddef>

namespace varnelle {

// B(tau[i]) / K for a put with r > 0 at count times to expiry tau[i] > 0,
// the longest first (as the nodes of the boundary are stored), each in
// (0, x_ratio], x_ratio = min(1, r/q) (1 when q <= 0) being the boundary's
// limit at expiry.
void qd_plus_boundary(const double* tau, std::size_t count, double r, double q, double sigma, double x_ratio,
                      double* out);

}  // namespace varnelle
