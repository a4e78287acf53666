// The early-exercise boundary of an American option on one period between
// ex-dates (strike 1), and the early-exercise premium it gives.
//
// On the period, tau is the time left until its end (the ex-date, or expiry),
// G the value just before that end. The value is
//
//   U(tau, S) = E_G(tau, S) + int_0^tau e^(-r u) E_S[(r - q S_u) 1{S_u <= b(tau - u)}] du   (put)
//
// (the mirror, q S_u - r over {S_u >= c}, for a call), and the boundary is
// where U meets the exercise value: value matching, R(tau) = U(tau, b) -
// (1 - b) = 0 at every node of the boundary's interpolant.
//
// The nodes are solved together by Newton's method on R, with the Jacobian
// in closed form: a node's residual moves with its own spot (U's slope less
// the payoff's, which vanishes at the exact boundary by smooth pasting) and
// with the boundary at every remaining time its premium integral reads,
// through the interpolation weights. The iteration stops on the residual, in
// units of the strike: wherever U(tau, b) is within eps of the exercise value
// along the boundary, U on the continuation region is within eps of the
// value whose boundary that is (the premium's error solves the pricing
// equation with data eps on the boundary), however far b itself may be from
// the exact boundary. That matters where the boundary is ill-conditioned:
// where exercising and waiting are worth almost the same on a whole band of
// spots, b may sit anywhere in the band and the price does not care.
//
// A put's boundary vanishes at the period's end: just before an ex-date the
// put is worth its value after the drop, more than exercising. Near the end
// it is close to 1 - e^(-r tau) (below it the spot ends at zero with the
// drop, and waiting only loses the interest on the strike). Once the interest
// on the strike outweighs the dividend, the deep spots between the dividend
// and the strike are exercised too: there exercising and waiting differ by
// little, by the yield on the spot at most, and the region sweeps through
// them within a small part of the period, at once without a yield and over
// days with one, before it slows where the strike's time value holds it.
// The boundary is therefore held in up to three pieces of remaining time,
// each smooth and on its own Chebyshev points in the square root of the time
// since the piece's start: below the sweep (as ln(b / (1 - e^(-r tau)))), the
// sweep, and above it (as ln b). Every integral over time is cut where the
// pieces meet. (Just as the sweep starts the exercised spots may leave a gap
// near the dividend, where the spot after the drop is nearly zero; counting
// it as exercised changes the value by less than the dividend's square times
// the chance of reaching it.)
#pragma once

#include <cstddef>

#include "pricing/dividends/value_function.hpp"

namespace varnelle::dividend_integral {

inline constexpr std::size_t kMaxPeriodNodes = 24;
inline constexpr std::size_t kMaxPremiumPoints = 192;

struct BoundaryScheme {
    std::size_t nodes;         // Chebyshev points of each piece
    std::size_t inner;         // points of each integral over time in the iteration (per piece of time)
    std::size_t price_points;  // points of the premium at the period's start (per piece of time)
    double residual;           // largest value-matching residual (strike units) that counts as settled
    bool polish = true;        // Newton's method with each piece's polynomial after the march
};

inline constexpr std::size_t kMaxPieces = 3;

struct PeriodBoundary {
    // User-provided (not defaulted), so that making one does not zero the
    // premium's arrays below.
    PeriodBoundary() {}
    bool active = false;
    bool put = true;
    double length = 0.0, r = 0.0, q = 0.0, sigma = 0.0;
    std::size_t nodes = 0;  // Chebyshev points of each piece
    // Pieces of remaining time [edge[k], edge[k + 1]], edge[0] = 0 and
    // edge[pieces] = length; the node values of each (the first relative to
    // the put's scale 1 - e^(-r tau)). A piece whose polynomial did not
    // settle keeps straight lines between its nodes.
    std::size_t pieces = 1;
    double edge[kMaxPieces + 1] = {};
    double value[kMaxPieces][kMaxPeriodNodes] = {};
    bool local[kMaxPieces] = {};
    std::size_t iterations = 0;  // Newton steps taken, all pieces

    double at(double tau) const;
    double now() const { return at(length); }

    // The premium integral at tau = length: elapsed time points and weights
    // (the first `points` of each array are set by the solve; the rest are
    // left unset, so that a table of every period's boundary costs nothing to
    // make).
    std::size_t points = 0;
    double vol[kMaxPremiumPoints], drift[kMaxPremiumPoints], log_edge[kMaxPremiumPoints];
    double rate_weight[kMaxPremiumPoints], yield_weight[kMaxPremiumPoints];
    // The premium at the period's start, at spot e^x; an upper bound of the
    // spots a put's premium reaches (a lower one for a call) past which it is
    // below 1e-17 of the strike.
    Expectation premium(double x, bool derivatives) const;
    double premium_reach = 0.0;
};

// Solves the boundary of a period of this length with terminal function g
// (r > 0 for a put, q > 0 for a call). start_edge: a call's boundary at the
// period's end (where exercising just before the ex-date starts to pay, or
// r / q if higher); drop: the dividend at the period's end for a put (the
// spot below which the drop takes it to zero). warm: where given, the
// boundary of the same period in a nearby problem (a bumped rate or
// volatility): each of its pieces the scheme polishes is sought by Newton's
// method from the warm node values first, and marched only if that fails.
void solve_period_boundary(double length, double r, double q, double sigma, bool put, const ValueFunction& g,
                           const BoundaryScheme& scheme, double start_edge, double drop, PeriodBoundary& b,
                           const PeriodBoundary* warm = nullptr);

}  // namespace varnelle::dividend_integral
