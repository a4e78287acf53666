// What a discretisation (n, l, p) of the integral model fixes independently of
// the option: where the boundary's nodes and the quadrature points lie in units
// of the life, and the Chebyshev weights there. Shared by the one-boundary
// solver (exercise_boundary.cpp) and the two-boundary one (double_boundary.cpp),
// which lay their nodes and integrals out alike.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/american/integral/exercise_boundary.hpp"

namespace varnelle {

struct SchemeTables {
    std::size_t n = 0, l = 0, p = 0;
    double root[kMaxBoundaryNodes] = {};  // sqrt(tau_i / t) of node i < n
    // Inner rule over theta in (0, pi/2): sin, cos and weight (d theta).
    double inner_sin[kMaxInnerPoints] = {}, inner_cos[kMaxInnerPoints] = {}, inner_w[kMaxInnerPoints] = {};
    double price_sin[kMaxPricePoints] = {}, price_cos[kMaxPricePoints] = {}, price_w[kMaxPricePoints] = {};
    // inner_weights[(i * n + m) * l + j]: weight of node m < n in H at the
    // remaining time tau_i cos^2(theta_j). The node at tau = 0 holds H = 0
    // and drops out.
    std::vector<double> inner_weights;
    // price_weights[m * p + k]: weight of node m in H at remaining time t cos^2(theta_k).
    std::vector<double> price_weights;
};

// The tables of a scheme's (n, l, p), built on first use and never changed or
// moved afterwards, so every thread reads the same numbers.
const SchemeTables& tables_for(const IntegralScheme& scheme);

}  // namespace varnelle
