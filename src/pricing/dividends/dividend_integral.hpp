// European and American options on a stock that pays cash dividends, valued
// period by period backwards from expiry (strike 1, dividends in units of
// the strike).
//
// Between two ex-dates the spot is lognormal. On the period before ex-date j
// the value is the discounted expectation of the value just before that
// ex-date (value_function.hpp), plus, for an American option, the early-
// exercise premium of the period:
//
//   V(tau, S) = E_G(tau, S) + int_0^tau e^(-r u) E_S[(r - q S_u) 1{S_u <= b(tau - u)}] du  (put)
//
// with the mirror for a call's region {S >= c}. The period's boundary solves
// value matching, 1 - b = V(tau, b), which rearranges to the fixed point
//
//   b (e^(-q tau) + q int e^(-q u) Phi(d+) du) = e^(-r tau) - E_G(tau, b) + r int e^(-r u) Phi(d-) du
//
// (d+- at S/b(tau - u) over u; for a call c (...Phi(-d+)) = e^(-r tau) + E_G +
// r int ... Phi(-d-)). Its denominator stays near 1 however small the boundary
// is: a put's boundary falls to zero at every ex-date (G(S) = F(S - D) exceeds
// the exercise value, so nobody exercises just before one), close to
// K (1 - e^(-r tau)) on the period's last stretch.
//
// Across ex-date j: G_j(S) = F_j(S - D_j) for S > D_j, the value at a spot of
// zero below; for an American call also at least S - 1, with a kink where
// exercising just before the ex-date starts to pay. G_j is tabulated where the
// spot can be with more than a negligible probability from today's spot, on
// panels whose width follows the spread of the period that produced it, and
// in closed form elsewhere (value_function.hpp).
//
// The period after the last ex-date is the dividend-free option: a European
// one in closed form, an American one from the dividend-free integral model.
#pragma once

#include <cstddef>
#include <vector>

#include "pricing/american/integral/integral_model.hpp"
#include "pricing/core/types.hpp"
#include "pricing/dividends/period_boundary.hpp"
#include "pricing/dividends/schedule.hpp"
#include "pricing/dividends/value_function.hpp"

namespace varnelle::dividend_integral {

struct Problem {
    double spot;  // today's spot in units of the strike
    double t, r, q, sigma;
    OptionType type;
    bool american;
    const CashDividend* dividends;  // in units of the strike, ascending, 0 < time <= t
    std::size_t count;
    double tol;
};

// Whether this route values the problem: r > 0 and q >= 0 for American
// options (one exercise region, below the spot for a put and above it for a
// call), any rates for European ones.
bool covers(const Problem& p);

struct Result {
    double v, dx, dxx;   // value and its x = ln S derivatives at today's spot
    bool exercised;      // today's spot is in the exercise region
    double boundary;     // today's critical spot (strike 1): 0 / inf where none
    bool valid;          // false: a boundary did not settle, the route does not value this row
};

// Keeps the last problem's periods: a problem that differs from it only in
// the spot, within one bucket of ln S, is read from them at once.
class Solver {
public:
    Result solve(const Problem& p, IntegralAmerican& dividend_free);
    // The same for a problem near the last one solved cold (a bumped rate or
    // volatility), each period's boundary sought from that problem's (kept()
    // of it). Its periods are not kept for later problems, which read the
    // bits of a cold solve.
    Result solve_near(const Problem& p, IntegralAmerican& dividend_free, const std::vector<PeriodBoundary>& warm);
    // Every period's boundary of the last solve (inactive where none was solved).
    const std::vector<PeriodBoundary>& kept() const { return kept_; }

private:
    bool holds(const Problem& p, double bucket) const;
    // The backward pass down to today's period, tabulated for the spots of
    // the bucket (ln S within margin of it).
    void prepare(const Problem& p, double bucket, double margin, IntegralAmerican& dividend_free,
                 const std::vector<PeriodBoundary>* warm);
    double bucket_of(const Problem& p, double& margin) const;
    Result read(double spot) const;

    ValueFunction next_, current_;
    Move move_{};
    bool region_ = false;
    double start_edge_ = 0.0;
    bool solved_ = false;
    Problem key_{};
    double bucket_ = 0.0;
    std::vector<CashDividend> dividends_;
    std::vector<PeriodBoundary> kept_;  // each period's boundary (today's first)
};

}  // namespace varnelle::dividend_integral
