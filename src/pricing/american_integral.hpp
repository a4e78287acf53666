// The accurate American model: the early-exercise boundary solved by the
// fixed-point iteration of Andersen, Lake and Offengenden (2016) and the
// price from the early-exercise premium integral (exercise_boundary.hpp).
//
// tol is the target error |v - exact| / max(exact, 0.005 k), from 1e-10 to
// 1e-3 (callers check the range). Calls are priced as puts by the put-call
// symmetry C(S, K, T, r, q, sigma) = P(K, S, T, q, r, sigma), and every put is
// priced from the boundary of the put with strike 1, which depends only on
// (t, r, q, sigma, tol): a row priced alone and a row priced after others of
// its chain give the same bits.
//
// Units: theta per calendar day (the yearly derivative / 365), vega per 1.00
// of volatility, rho per 1 % of rate.
#pragma once

#include "exercise_boundary.hpp"
#include "types.hpp"

namespace varnelle {

double integral_american_price(const OptionInputs& in, OptionType type, double tol);

// Today's critical spot B(t): a put is exercised at once at or below it, a
// call at or above it; 0 (put) or +inf (call) where exercise never pays.
double integral_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type,
                                  double tol);

// The same operations for a run of rows, as a ufunc loop walks them: the last
// solved boundary is kept and reused while the rows share (t, r, q, sigma) on
// the put side and tol, so a chain of strikes at one expiry solves one
// boundary. The results are those of the single-row functions to the bit (they
// are this object used once). Not for sharing between threads: each worker
// keeps its own.
class IntegralAmerican {
public:
    double price(const OptionInputs& in, OptionType type, double tol);
    double boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol);

private:
    // The boundary of the put with strike 1 for these parameters, solved now
    // or kept from the previous row.
    const PutBoundary& put_boundary(double t, double r, double q, double sigma, double tol);

    bool valid_ = false;
    double tol_ = 0.0;
    PutBoundary boundary_{};
};

}  // namespace varnelle
