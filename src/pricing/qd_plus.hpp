// Li's QD+ approximation of the early-exercise boundary of an American put
// (M. Li, "Analytical approximations for the critical stock prices of
// American options: a performance comparison", 2005): the starting point of
// the fixed-point iteration in exercise_boundary.cpp.
#pragma once

namespace varnelle {

// B(tau) / K for a put with r > 0, in (0, x_ratio], x_ratio = min(1, r/q)
// (1 when q <= 0) being the boundary's limit at expiry.
double qd_plus_boundary(double tau, double r, double q, double sigma, double x_ratio);

}  // namespace varnelle
