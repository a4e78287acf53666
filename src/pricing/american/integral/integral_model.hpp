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
// A put with q < r <= 0 is exercised between two boundaries: the same
// iteration solves both (double_boundary.hpp) wherever they stay apart over
// the life with room to spare; where they meet within it or soon after, the
// finite-difference solver answers the row (american/grid/grid_model.hpp).
//
// Greeks: delta and gamma differentiate the premium integral with the
// boundary held fixed; theta comes from the Black-Scholes equation in the
// continuation region (zero where the option is exercised); vega and rho are
// differences of the model's own price, each bumped price solved afresh as a
// row of its own would be (a central difference in sigma, a one-sided one
// over a rate step of 1e-7), so they are the derivatives of the prices this
// model returns, within a few 1e-6 relative. Units: theta per calendar day (the
// yearly derivative / 365), vega per 1.00 of volatility, rho per 1 % of rate.
#pragma once

#include "pricing/american/integral/double_boundary.hpp"
#include "pricing/american/integral/exercise_boundary.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

double integral_american_price(const OptionInputs& in, OptionType type, double tol);
double integral_american_delta(const OptionInputs& in, OptionType type, double tol);
double integral_american_gamma(const OptionInputs& in, OptionType type, double tol);
double integral_american_theta(const OptionInputs& in, OptionType type, double tol);  // per calendar day
double integral_american_vega(const OptionInputs& in, OptionType type, double tol);   // per 1.00 of volatility
double integral_american_rho(const OptionInputs& in, OptionType type, double tol);    // per 1 % of rate
Greeks integral_american_greeks(const OptionInputs& in, OptionType type, double tol);

// The volatility at which integral_american_price(..., tol) equals price; NaN
// outside the no-arbitrage bounds (below max(intrinsic, European lower bound),
// at or above max(k, k e^(-rt)) for a put or max(s, s e^(-qt)) for a call),
// where the price does not depend on the volatility (in the exercise region)
// and where no volatility reaches it.
double integral_american_implied_vol(double price, double s, double k, double t, double r, double q,
                                     OptionType type, double tol);

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
    Greeks greeks(const OptionInputs& in, OptionType type, double tol);
    // Delta, gamma and theta only (vega and rho NaN): these need no boundary
    // but the option's own.
    Greeks spot_greeks(const OptionInputs& in, OptionType type, double tol);
    double implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                       double tol);
    double boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol);

private:
    // A solved boundary of the put with strike 1 and the scheme it was solved
    // with, kept while the rows share its parameters.
    struct Solved {
        bool valid = false;
        double tol = 0.0;
        IntegralScheme scheme{};
        // Left uninitialised (valid says when it holds a solution): the
        // single-row functions construct this object for every call.
        PutBoundary boundary;
        // The same for a put with two boundaries (q < r <= 0).
        bool region_valid = false;
        double region_tol = 0.0;
        DoubleBoundary region;
    };

    // The boundary of the put with strike 1 for these parameters, solved now
    // or kept from the previous row.
    static const PutBoundary& put_boundary(Solved& solved, double t, double r, double q, double sigma, double tol);
    static const DoubleBoundary& double_region(Solved& solved, double t, double r, double q, double sigma,
                                               double tol);
    static double price_with(Solved& solved, const OptionInputs& in, OptionType type, double tol);
    Greeks greeks_of(const OptionInputs& in, OptionType type, double tol, bool sensitivities);

    Solved solved_;
    // The boundaries of the prices at sigma (1 + h), sigma (1 - h) and at a
    // bumped rate, which vega and rho difference: kept like the main one, so a
    // chain's Greeks solve them once too.
    Solved vol_up_, vol_down_, rate_up_;
};

}  // namespace varnelle
