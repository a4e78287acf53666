// American options by finite differences: a slow, general solver that covers
// every case the early-exercise integral does not (two exercise boundaries,
// q < r < 0 for a put, r < q < 0 for a call) and serves as an independent
// reference for it.
//
// tol is the target error |v - exact| / max(exact, 0.005 * k), accepted in
// [1e-10, 1e-3] (clamped there; a NaN tol is the default 1e-6). It picks the
// grids; the largest error over a book is a few times tol. The grids are
// capped, so the accuracy levels off (largest error 3.2e-6, median 4e-8 on
// the reference book) whatever smaller tol is asked for. Units as everywhere in the module: theta per calendar day,
// vega per 1.00 of volatility, rho per 1 % of rate.
//
// Measured on every fourth row of the stored reference book (499 rows):
// tol 1e-6 reaches a largest error of 2.5e-6 (median 3e-8), tol 1e-4 4e-5,
// at about 20 ms and 2.6 ms an option on the development machine under load
// (about half that on an idle one). On two-boundary puts of a currency pair
// (r -0.1 %, q -0.5 %) against an independent tree: within tol at 1e-6 and
// 1e-4 (largest 8.4e-7 and 2.7e-5). On the 84 rows of the stored
// two-boundary book the integral model hands over (asked for tol / 4): within
// tol at 1e-4 and 1e-5 (largest 1.7e-5, 4.1e-6), 2.0e-6 at 1e-6. Greeks cost
// about three prices (vega and rho re-solve once each with bumped inputs).
// With r <= 0 (the rows the integral model hands over) the two grids of a solve take at most 1e6 node-steps together,
// about 50 ms, whatever the inputs: lives of centuries are solved more
// coarsely then. A thread's cancellation flag (core/cancellation.hpp) stops a
// row between time steps with NaN.
//
// Every function is reentrant: all working storage belongs to the call.
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

double grid_american_price(const OptionInputs& in, OptionType type, double tol);

// The American put with no volatility, where the spot moves deterministically:
// the best discounted payoff K e^(-r u) - S e^(-q u) over exercise times u in
// [0, t], floored at 0. Exponents are clamped, so absurd inputs give finite
// numbers. Both American models answer sigma = 0 with it.
double deterministic_american_put(double s, double k, double t, double r, double q);
Greeks grid_american_greeks(const OptionInputs& in, OptionType type, double tol);

// Delta, gamma and theta alone (vega and rho NaN), at the cost of one price.
Greeks grid_american_spot_greeks(const OptionInputs& in, OptionType type, double tol);

// Today's critical spot price: a put is exercised at once at or below it, a
// call at or above it; 0 (put) or +inf (call) where exercising now never pays.
// With two boundaries the exercise region today is an interval; this is its
// edge nearest the strike (the upper end for a put, the lower for a call), or
// 0 / +inf where the interval is empty.
double grid_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol);

// The whole exercise region today, [lower, upper]: for a put with one
// boundary [0, B], for a call [B, +inf]; with two boundaries both ends are
// finite. Empty (lower = upper = 0 for a put, +inf for a call) where
// exercising now never pays.
struct ExerciseInterval {
    double lower;
    double upper;
};
ExerciseInterval grid_exercise_interval(double k, double t, double r, double sigma, double q, OptionType type,
                                        double tol);

}  // namespace varnelle
