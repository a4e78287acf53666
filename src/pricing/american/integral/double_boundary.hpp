// The exercise region of an American put with q < r <= 0, where exercise pays
// between two boundaries, and the price of any spot from it.
//
// Holding the put costs r K - q S a year against exercising it: with q < r < 0
// that is a gain only above S = K r/q, so the exercise region at time to
// expiry tau is an interval [Y(tau), B(tau)] that starts as [K r/q, K] at
// expiry and narrows with tau (Battauz, De Donno and Sbuelz, 2015; Andersen
// and Lake, "Fast American option pricing: the double-boundary case", 2021).
// At r = 0 the lower boundary is 0 and the region [0, B(tau)]. The early
// exercise premium is the integral of r K e^(-ru) - q S_u e^(-qu) over the
// times the spot lies in the region:
//
//     P(S) = p_E(S) + Int_0^t [ r K e^(-ru) (Phi(-d-(u, S/B)) - Phi(-d-(u, S/Y)))
//                             - q S e^(-qu) (Phi(-d+(u, S/B)) - Phi(-d+(u, S/Y))) ] du
//
// with B and Y at the remaining time t - u. Each boundary is a point where the
// put's slope is -1 (smooth pasting), which gives both the same fixed-point
// form S = K N(S) / D(S) (double_boundary.cpp); the iteration and its
// discretisation are the one-boundary model's (exercise_boundary.hpp):
// H = (ln B)^2 and (ln(Y / Y(0+)))^2 on Chebyshev nodes in sqrt(tau), angle
// rules for every integral, a Jacobi-Newton step at every sweep.
//
// The boundaries close at a finite tau* with a square-root fold, which a
// polynomial in sqrt(tau) cannot follow. The solve therefore reports whether
// its answer holds: only while the region stays open over the life, with the
// fold well beyond it. Other rows go to the finite-difference solver.
#pragma once

#include <cstddef>

#include "pricing/american/integral/exercise_boundary.hpp"

namespace varnelle {

// A solved two-boundary region of a put with strike 1.
struct DoubleBoundary {
    double t, r, q, sigma;
    double lower_start;  // Y(0+) = r / q; 0 at r = 0, where there is no lower boundary
    bool has_lower;      // r < 0
    bool holds;          // the iteration settled and the region is open over the life with room to spare
    double upper_now, lower_now;  // B(t) and Y(t): the put is exercised at once between them
    std::size_t nodes;
    double hb[kMaxBoundaryNodes + 1];  // (ln B)^2 at the nodes, the first at tau = t
    double hy[kMaxBoundaryNodes + 1];  // (ln(Y / Y(0+)))^2
    double last_step;                  // largest |ln| move of either boundary in the last sweep

    // The price integral's points, as the one-boundary PutBoundary holds them,
    // with ln Y beside ln B.
    std::size_t points;
    double vol[kMaxPricePoints];
    double drift[kMaxPricePoints];
    double log_upper[kMaxPricePoints];
    double log_lower[kMaxPricePoints];
    double rate_weight[kMaxPricePoints];
    double yield_weight[kMaxPricePoints];
    double rate_discount, yield_discount, vol_t, drift_t;
};

// The discretisation for a target error tol (the model's error measure).
IntegralScheme double_boundary_scheme(double tol);

// Solves the region of the put with strike 1: q < r <= 0, t > 0, sigma > 0.
// out.holds says whether the result may be used.
void solve_double_boundary(double t, double r, double q, double sigma, const IntegralScheme& scheme,
                           DoubleBoundary& out);

// The put of strike 1 at spot x > 0 from its region (b.holds).
double double_put_price(const DoubleBoundary& b, double x);

// Value, first and second derivative in x with the region held fixed.
PutSpotTerms double_put_terms(const DoubleBoundary& b, double x);

}  // namespace varnelle
