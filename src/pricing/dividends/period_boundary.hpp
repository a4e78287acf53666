// The early-exercise boundary of an American option on one period between
// ex-dates (strike 1), and the early-exercise premium it gives.
//
// On the period, tau is the time left until its end (the ex-date, or expiry),
// G the value just before that end. The value is
//
//   V(tau, S) = E_G(tau, S) + int_0^tau e^(-r u) E_S[(r - q S_u) 1{S_u <= b(tau - u)}] du   (put)
//
// (the mirror, q S_u - r over {S_u >= c}, for a call), and value matching
// 1 - b = V(tau, b) rearranges to a fixed point in two forms:
//
//   (near)    b (e^(-q tau) + D) = e^(-r tau) - E_G(tau, b) + N
//   (regular) b (e^(-q tau) Phi(d+) + D) = e^(-r tau) Phi(d-) + N - (E_G - p_E)(tau, b)
//
// with N = r int e^(-r u) Phi(d-(b / b(tau - u), u)) du, D the same with q, d+
// and p_E the European put. The first keeps its denominator near 1 however
// small b is; the second is the form of Andersen, Lake and Offengenden for the
// dividend-free put, where the terminal function's excess over the payoff
// (E_G - p_E) joins the numerator.
//
// A put's boundary vanishes at the period's end: just before an ex-date the
// put is worth its value after the drop, more than exercising. Near the end
// it is close to 1 - e^(-r tau) (below it the spot ends at zero with the
// drop, and waiting only loses the interest on the strike). Once the interest
// on the strike outweighs the dividend, a deep put is exercised too: the
// region jumps, within a tiny fraction of the period, from about the
// dividend to a level like the dividend-free boundary's. The boundary is
// therefore held in two pieces, each smooth: below the jump (tau <= split) as
// ln(b / (1 - e^(-r tau))) on Chebyshev points in sqrt(tau), above it as ln b
// on Chebyshev points in sqrt(tau - split). Every integral over time is cut
// at the jump.
#pragma once

#include <cstddef>

#include "pricing/dividends/value_function.hpp"

namespace varnelle::dividend_integral {

inline constexpr std::size_t kMaxPeriodNodes = 32;
inline constexpr std::size_t kMaxPremiumPoints = 192;

struct BoundaryScheme {
    std::size_t nodes;       // Chebyshev points of each piece
    std::size_t inner;       // points of each integral in the iteration (each piece of time)
    std::size_t price_points;
    double settled;  // largest move of ln b in the last sweep that counts as converged
};

struct PeriodBoundary {
    bool active = false;
    bool settled = true;  // the iteration converged
    bool put = true;
    double length = 0.0, r = 0.0, q = 0.0, sigma = 0.0;
    std::size_t nodes = 0;
    double low[kMaxPeriodNodes] = {};  // the piece at and below split
    bool jumps = false;
    double split = 0.0;
    double high[kMaxPeriodNodes] = {};  // the put's piece above split

    double at(double tau) const;
    double now() const { return at(length); }

    // The premium integral at tau = length: elapsed time points and weights.
    std::size_t points = 0;
    double vol[kMaxPremiumPoints] = {}, drift[kMaxPremiumPoints] = {}, log_edge[kMaxPremiumPoints] = {};
    double rate_weight[kMaxPremiumPoints] = {}, yield_weight[kMaxPremiumPoints] = {};
    Expectation premium(double x, bool derivatives) const;
};

// Solves the boundary of a period of this length with terminal function g
// (r > 0 for a put, q > 0 for a call). start_edge: a call's boundary at the
// period's end (where exercising just before the ex-date starts to pay, or
// r / q if higher); drop: the dividend at the period's end for a put (the
// spot below which the drop takes it to zero).
// When b already holds the boundary of a period of the same side and scheme
// (the next one, solved just before in the backward pass) and warm is set,
// its low piece is the start: periods between quarterly ex-dates have nearly
// the same boundary, and the iteration then settles in a few sweeps.
void solve_period_boundary(double length, double r, double q, double sigma, bool put, const ValueFunction& g,
                           const BoundaryScheme& scheme, double start_edge, double drop, bool warm, PeriodBoundary& b);

}  // namespace varnelle::dividend_integral
