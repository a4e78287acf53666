// What a discretisation (n, l, p) of the integral model fixes independently of
// the option: where the boundary's nodes and the quadrature points lie in units
// of the life, and the Chebyshev weights there. Shared by the one-boundary
// solver (exercise_boundary.cpp) and the two-boundary one (double_boundary.cpp),
// which lay their nodes and integrals out alike.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

#include "pricing/american/integral/exercise_boundary.hpp"
#include "pricing/math/gauss_legendre.hpp"

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

// Everything of one iteration that does not change between iterations: for
// node i and inner point j, sigma sqrt(elapsed), the drift of d-, and the
// weights of the rate and yield integrands.
struct InnerTerms {
    double vol[kMaxBoundaryNodes * kMaxInnerPoints];
    double drift[kMaxBoundaryNodes * kMaxInnerPoints];
    double rate_weight[kMaxBoundaryNodes * kMaxInnerPoints];
    double yield_weight[kMaxBoundaryNodes * kMaxInnerPoints];
    double yield_cdf_weight[kMaxBoundaryNodes * kMaxInnerPoints];  // smooth pasting only
    double tau[kMaxBoundaryNodes], sqrt_tau[kMaxBoundaryNodes];
    double rate_discount[kMaxBoundaryNodes], yield_discount[kMaxBoundaryNodes];
};

// The tables of a scheme's (n, l, p), built on first use and never changed or
// moved afterwards, so every thread reads the same numbers.
const SchemeTables& tables_for(const IntegralScheme& scheme);

// The inner terms of the smooth-pasting form of the boundary equation (both
// solvers iterate it) for a life t.
void smooth_pasting_inner_terms(const SchemeTables& tables, double t, double r, double q, double sigma,
                                InnerTerms& out);

// A rule over elapsed time u in (0, t) laid out for one spot: Gauss-Legendre
// pieces ending at cuts[0] < ... < cuts[count - 1] < t and at t. Every piece
// but the last is taken in sqrt(u), which the premium integrand (like
// 1 / sqrt(u) past the feature the cuts resolve) is smooth in; the last, up
// to t, in sqrt(t - u), where a boundary moves like the square root of the
// remaining time. add(u, du) receives each point and its weight.
template <class Add>
void piecewise_rule(const double* cuts, std::size_t count, double t, const GaussLegendreRule& gl, Add&& add) {
    double from = 0.0;
    for (std::size_t c = 0; c < count; ++c) {
        const double a = std::sqrt(from), span = std::sqrt(cuts[c]) - a;
        for (std::size_t j = 0; j < gl.size; ++j) {
            const double v = a + span * (0.5 * (1.0 + gl.x[j]));
            add(v * v, v * span * gl.w[j]);  // du = 2 v dv, dv = span w / 2
        }
        from = cuts[c];
    }
    const double last = t - from;
    for (std::size_t j = 0; j < gl.size; ++j) {
        const double v = 0.5 * (1.0 + gl.x[j]);
        add(t - last * (v * v), last * v * gl.w[j]);  // t - u = last v^2
    }
}

}  // namespace varnelle
