// Method. Every option is valued as an option of strike 1 with the dividends
// in units of the strike (V(S, K, D) = K V(S/K, 1, D/K)), period by period
// backwards from expiry by quadrature (dividend_integral.hpp): between
// ex-dates the spot is lognormal, so a period's value is the expectation of
// the value just before its end plus the early-exercise premium of the
// period's boundary, solved there by value matching (period_boundary.hpp).
//
// The rows whose exercise region within a period may be a band between two
// boundaries (a put with q < r <= 0, a call with r < q <= 0) go to finite
// differences in ln S (dividend_grid.hpp) on two grids, (h, N) and (h/2, 2N),
// combined by Richardson extrapolation: both the space and the time error of
// the scheme are second order and smooth in h once the payoff is averaged over
// cells and every period starts with an implicit Euler step. Policy iteration
// there needs no assumption on the shape of the region.
//
// Rows with no dividend that counts go to the dividend-free models untouched.
#include "pricing/dividends/dividend_model.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pricing/american/bounds.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/american/grid/grid_model.hpp"  // deterministic_american_put
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle {
namespace {

namespace dg = dividend_grid;


// Standard deviations of ln S past the spots that matter that the meshes
// reach: the ends' approximate values reach the spot damped by ~e^(-32).
constexpr double kHalfWidth = 8.0;
// Most nodes a mesh has per node per standard deviation: past it the spacing
// grows (a period of a day in a life of years with a dividend of a large part
// of the spot).
constexpr std::size_t kMaxNodesPerUnitM = 400;

// The tol whose settings a European value takes. Measured: the stored rows
// within 3.5e-8, the random book within 3.6e-8, the published values within
// their own 4.7e-7 at the settings of tol 1e-5 (those of 3e-5 leave 2.3e-6
// on the book).
constexpr double kEuropeanTol = 1e-5;

// Greeks by bumps of the same grids: relative in sigma, absolute in r.
constexpr double kVolBump = 1e-3;
constexpr double kRateBump = 1e-4;

// Below this sigma sqrt(t) the Greeks are central differences of the price:
// the spot derivatives of an expectation over a move much narrower than the
// panels divide the rounding of its moments by the move's width and its
// square (a gamma of -1.5e8 at sigma 1e-9).
constexpr double kLeastSpreadForMoments = 3e-3;

// Below this sigma sqrt(t) a row the quadrature route does not value takes
// the deterministic value instead of the grids (see value_of).
constexpr double kLeastSpreadForGrids = 1e-5;

// Implied volatility.
constexpr double kLowestVol = 1e-8;
constexpr double kHighestVol = 100.0;
constexpr double kVolResolution = 1e-12;
constexpr int kMostEvaluations = 14;

dg::Resolution resolution(double tol) {
    const double t = std::clamp(std::isnan(tol) ? 1e-6 : tol, 1e-10, 1e-3);
    // Measured on the stored rows and the random book: with a mesh per period
    // m = 8 (tol 1e-4) leaves a largest error of 4e-5, m = 26 (tol 1e-6)
    // 4e-6, on puts whose free boundary's cell-to-cell noise Richardson's
    // step does not remove; three steps per period per node per standard
    // deviation (half as many leave 1e-3 on the short-period rows).
    const double m = std::clamp(std::ceil(8.0 * std::pow(1e-4 / t, 0.25)), 6.0, 64.0);
    return {m, static_cast<std::size_t>(3.0 * m), kHalfWidth, kMaxNodesPerUnitM * static_cast<std::size_t>(m)};
}

// The spot's bucket: ln(S/K) rounded to a whole number of standard deviations.
// The grid depends on the spot only through it, so the spots of a ladder
// share grids and each reads the same bits alone.
double bucket_of(double x0, double sd) { return sd * std::nearbyint(x0 / sd); }

dg::Problem problem_of(const OptionInputs& in, OptionType type, bool american, const DividendSchedule& scaled) {
    return {in.t, in.r, in.q, in.sigma, type, american, scaled.items().data(), scaled.size()};
}

double intrinsic(double s, double k, OptionType type) {
    const double x = type == OptionType::Put ? k - s : s - k;
    return x > 0.0 ? x : 0.0;
}

// Without volatility the spot's path is known: on each period [a, b] between
// ex-dates it grows at r - q from its value just after a, and the best time to
// exercise within the period is found in closed form
// (deterministic_american_put); a call is the put with the roles swapped.
double deterministic_value(const OptionInputs& in, OptionType type, bool american, const DividendSchedule& sched) {
    double spot = in.s;
    double start = 0.0;
    double best = american ? intrinsic(in.s, in.k, type) : 0.0;
    for (std::size_t i = 0; i <= sched.size(); ++i) {
        const double end = i < sched.size() ? sched[i].time : in.t;
        const double span = end - start;
        const double discount = std::exp(-in.r * start);
        if (american) {
            const double inside = type == OptionType::Put
                                      ? deterministic_american_put(spot, in.k, span, in.r, in.q)
                                      : deterministic_american_put(in.k, spot, span, in.q, in.r);
            best = std::max(best, discount * inside);
        }
        spot *= std::exp((in.r - in.q) * span);
        if (i < sched.size()) spot = std::max(spot - sched[i].amount, 0.0);
        start = end;
    }
    if (!american) best = std::exp(-in.r * in.t) * intrinsic(spot, in.k, type);
    return best;
}

// The least spot at which a call is exercised at once without volatility
// (+inf where none is): by bisection on whether exercising now is worth the
// deterministic value, which is the case from that spot up.
double deterministic_call_boundary(OptionInputs in, const DividendSchedule& sched) {
    const auto exercised = [&](double s) {
        in.s = s;
        return deterministic_value(in, OptionType::Call, true, sched) <= (s - in.k) + 1e-13 * s;
    };
    double lo = in.k, hi = 2.0 * in.k * std::max(1.0, in.q > 0.0 ? in.r / in.q : 1.0);
    for (int i = 0; i < 64 && !exercised(hi); ++i) {
        lo = hi;
        hi *= 2.0;
    }
    if (!exercised(hi)) return kInf;
    if (exercised(lo)) return lo;
    for (int i = 0; i < 200 && hi - lo > 1e-15 * hi; ++i) {
        const double mid = 0.5 * (lo + hi);
        (exercised(mid) ? hi : lo) = mid;
    }
    return hi;
}

// A put with r <= 0 <= q is never worth exercising: between ex-dates the
// exercise value 1 - S loses to holding wherever q S - r > 0, which is every
// spot, and just before an ex-date the put after the drop is worth at least
// 1 - S + D. It is the European put, which the quadrature route values at any
// volatility (the grid's meshes are too coarse for a tiny one).
bool never_exercised(const OptionInputs& in, OptionType type) {
    return type == OptionType::Put && in.r <= 0.0 && in.q >= 0.0;
}

// The value at a spot of zero (which stays zero).
double value_at_zero_spot(const OptionInputs& in, OptionType type, bool american) {
    if (type == OptionType::Call) return 0.0;
    return american ? in.k : in.k * std::exp(-in.r * in.t);
}

dg::Reading combine(const dg::Reading& coarse, const dg::Reading& fine) {
    if (coarse.exercised && fine.exercised) return fine;
    const auto rich = [](double c, double f) { return f + (f - c) / 3.0; };
    return {rich(coarse.v, fine.v), rich(coarse.dx, fine.dx), rich(coarse.dxx, fine.dxx), false};
}

bool same_problem(const DividendAmerican::Solved& s, const dg::Problem& p, const DividendSchedule& scaled,
                  double tol, double bucket) {
    return s.valid && s.t == p.t && s.r == p.r && s.q == p.q && s.sigma == p.sigma && s.tol == tol &&
           s.bucket == bucket && s.type == p.type && s.american == p.american && s.schedule == scaled;
}

void solve_pair(const dg::Problem& p, const dg::Plan& coarse, dg::Workspace& work,
                DividendAmerican::Solved& slot) {
    slot.plan = coarse;
    dg::solve(p, coarse, work, slot.coarse);
    dg::solve(p, dg::refined(coarse), work, slot.fine);
}

}  // namespace

dg::Reading DividendAmerican::evaluate(const OptionInputs& in, OptionType type, const DividendSchedule& scaled,
                                       bool american, double tol, Solved& slot) {
    const dg::Problem p = problem_of(in, type, american, scaled);
    const double x0 = std::log(in.s) - std::log(in.k);
    const double sd = in.sigma * std::sqrt(in.t);
    const double bucket = bucket_of(x0, sd);
    if (!same_problem(slot, p, scaled, tol, bucket)) {
        slot.valid = false;
        const double half = 0.5 * sd;
        solve_pair(p, dg::plan(p, bucket - half, bucket + half, resolution(tol)), work_, slot);
        slot.t = p.t;
        slot.r = p.r;
        slot.q = p.q;
        slot.sigma = p.sigma;
        slot.tol = tol;
        slot.bucket = bucket;
        slot.type = type;
        slot.american = american;
        slot.schedule = scaled;
        slot.valid = true;
    }
    return combine(dg::read(p, slot.coarse, x0), dg::read(p, slot.fine, x0));
}

double DividendAmerican::value_of(const OptionInputs& in, OptionType type, bool american, double tol) {
    if (any_nan(in) || in.s < 0.0 || in.k < 0.0 || in.sigma < 0.0) return kNaN;
    if (in.k == 0.0) {
        if (type == OptionType::Put) return 0.0;
        return american ? in.s : kNaN;
    }
    if (in.s == 0.0) return value_at_zero_spot(in, type, american);
    if (in.sigma == 0.0) return deterministic_value(in, type, american, schedule_);
    const bool exercisable = american && !never_exercised(in, type);
    // The value never falls below the deterministic one: the holder can
    // keep to its exercise time, and by Jensen's inequality the payoff's
    // expectation there is at least the payoff at the mean path (the mean
    // spot is at least the path's: each dividend floors the spot at zero).
    // A put can fall short of it only by that floor's expectation, nil
    // unless a dividend is about the spot. With a small volatility the
    // value is within a tiny amount of it, and a route that holds its
    // functions too narrowly falls below it first.
    const double least = std::max(american ? intrinsic(in.s, in.k, type) : 0.0,
                                  deterministic_value(in, type, american, schedule_));
    schedule_.scaled(in.k, scaled_);
    const dividend_integral::Problem problem{in.s / in.k, in.t, in.r, in.q, in.sigma, type, exercisable,
                                             scaled_.items().data(), scaled_.size(), tol};
    if (dividend_integral::covers(problem)) {
        const dividend_integral::Result res = integral_.solve(problem, dividend_free_);
        if (res.valid) {
            if (res.exercised) return least;
            return std::max(in.k * res.v, least);
        }
    }
    // The grids are laid out in standard deviations: with a tiny one their
    // nodes cannot span the spot's drift and drops (seconds a price, and
    // 146.5 for a call on a spot of 100 at sigma 1e-9). There the
    // deterministic value stands: it differs from the price only near a
    // kink of the mean path, and there by the volatility's own effect, of
    // the order of 0.4 S sigma sqrt(t) (4e-4 on a spot of 100), less than
    // the grids left.
    if (in.sigma * std::sqrt(in.t) < kLeastSpreadForGrids) return least;
    const dg::Reading r = evaluate(in, type, scaled_, exercisable, tol, main_);
    if (r.exercised) return least;
    return std::max(in.k * r.v, least);
}

double DividendAmerican::price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                               std::size_t n, double tol) {
    if (!schedule_.assign(in.t, times, amounts, n)) return kNaN;
    if (schedule_.empty()) return dividend_free_.price(in, type, tol);
    return value_of(in, type, true, tol);
}

double DividendAmerican::european_price(const OptionInputs& in, OptionType type, const double* times,
                                        const double* amounts, std::size_t n) {
    if (!schedule_.assign(in.t, times, amounts, n)) return kNaN;
    if (schedule_.empty()) return ::varnelle::european_price(in, type);
    return value_of(in, type, false, kEuropeanTol);
}

bool DividendAmerican::integral_greeks(const OptionInputs& in, OptionType type, bool american, double tol, Greeks& g) {
    // The bumped problems seek each period's boundary from the unbumped one's.
    const auto solve = [&](double r, double sigma, dividend_integral::Result& res) {
        const dividend_integral::Problem problem{in.s / in.k, in.t, r, in.q, sigma, type, american,
                                                 scaled_.items().data(), scaled_.size(), tol};
        if (!dividend_integral::covers(problem)) return false;
        const bool bumped = r != in.r || sigma != in.sigma;
        res = bumped ? integral_.solve_near(problem, dividend_free_, warm_) : integral_.solve(problem, dividend_free_);
        return res.valid;
    };
    dividend_integral::Result now, up, down;
    if (!solve(in.r, in.sigma, now)) return false;
    warm_ = integral_.kept();
    if (now.exercised) {
        g = {type == OptionType::Put ? -1.0 : 1.0, 0.0, 0.0, 0.0, 0.0};
        return true;
    }
    // V = K u(x), x = ln(S/K), with the first period's boundary held fixed.
    const double value = std::max(in.k * now.v, american ? intrinsic(in.s, in.k, type) : 0.0);
    const double delta = in.k * now.dx / in.s;
    const double gamma = in.k * ((now.dxx - now.dx) / in.s) / in.s;
    // Until the first ex-date the spot is lognormal, so the pricing equation
    // holds today in the continuation region.
    const double theta_year =
        (in.r * value - (in.r - in.q) * in.s * delta) - 0.5 * (in.sigma * in.sigma) * (in.s * (in.s * gamma));
    // Vega and rho: central differences of solves at bumped sigma and r.
    const double hv = kVolBump * in.sigma;
    if (!solve(in.r, in.sigma + hv, up) || !solve(in.r, in.sigma - hv, down)) return false;
    const double vega = in.k * (up.v - down.v) / (2.0 * hv);
    if (!solve(in.r + kRateBump, in.sigma, up) || !solve(in.r - kRateBump, in.sigma, down)) return false;
    const double rho = in.k * (up.v - down.v) / (2.0 * kRateBump) / 100.0;
    g = {delta, gamma, theta_year / kDaysPerYear, vega, rho};
    return true;
}

Greeks DividendAmerican::greeks_of(const OptionInputs& in, OptionType type, bool american, double tol) {
    const Greeks nan{kNaN, kNaN, kNaN, kNaN, kNaN};
    if (any_nan(in) || in.s < 0.0 || in.k < 0.0 || in.sigma < 0.0) return nan;
    if (in.k == 0.0 || in.s == 0.0 || in.sigma * std::sqrt(in.t) < kLeastSpreadForMoments) {
        // Edge rows: central differences of the value itself (vega one-sided
        // from sigma = 0).
        const auto value = [&](double s, double r, double sigma) {
            return value_of({s, in.k, in.t, r, sigma, in.q}, type, american, tol);
        };
        const double now = value(in.s, in.r, in.sigma);
        const double hs = in.s > 0.0 ? 1e-5 * in.s : 1e-8 * in.k;
        const double up = value(in.s + hs, in.r, in.sigma);
        const double down = in.s > 0.0 ? value(in.s - hs, in.r, in.sigma) : now;
        const double delta = in.s > 0.0 ? (up - down) / (2.0 * hs) : (up - now) / hs;
        const double gamma = in.s > 0.0 ? ((up - now) + (down - now)) / (hs * hs) : 0.0;
        const double hv = in.sigma > 0.0 ? kVolBump * in.sigma : 1e-4;
        const double vega = in.sigma > 0.0 ? (value(in.s, in.r, in.sigma + hv) - value(in.s, in.r, in.sigma - hv)) /
                                                 (2.0 * hv)
                                           : (value(in.s, in.r, hv) - now) / hv;
        const double rho =
            (value(in.s, in.r + kRateBump, in.sigma) - value(in.s, in.r - kRateBump, in.sigma)) / (2.0 * kRateBump);
        const double theta = (in.r * now - (in.r - in.q) * in.s * delta) -
                             0.5 * (in.sigma * in.sigma) * (in.s * in.s) * gamma;
        const bool exercised = american && now == intrinsic(in.s, in.k, type) && now > 0.0;
        return {delta, gamma, exercised ? 0.0 : theta / kDaysPerYear, vega, rho / 100.0};
    }
    if (never_exercised(in, type)) american = false;
    schedule_.scaled(in.k, scaled_);
    {
        Greeks g;
        if (integral_greeks(in, type, american, tol, g)) return g;
    }
    const dg::Reading r = evaluate(in, type, scaled_, american, tol, main_);
    if (r.exercised) return {type == OptionType::Put ? -1.0 : 1.0, 0.0, 0.0, 0.0, 0.0};
    // V = K u(x), x = ln(S/K).
    const double value = std::max(in.k * r.v, american ? intrinsic(in.s, in.k, type) : 0.0);
    const double delta = in.k * r.dx / in.s;
    const double gamma = in.k * ((r.dxx - r.dx) / in.s) / in.s;
    // Until the first ex-date the spot is lognormal, so the pricing equation
    // holds today in the continuation region.
    const double theta_year =
        (in.r * value - (in.r - in.q) * in.s * delta) - 0.5 * (in.sigma * in.sigma) * (in.s * (in.s * gamma));

    // Vega and rho: the bumped problems on the same grids, so the grids'
    // own error nearly cancels in the differences.
    const dg::Plan plan = main_.plan;
    const double x0 = std::log(in.s) - std::log(in.k);
    const auto bumped_value = [&](double r_shift, double sigma_shift) {
        OptionInputs b = in;
        b.r += r_shift;
        b.sigma += sigma_shift;
        const dg::Problem p = problem_of(b, type, american, scaled_);
        solve_pair(p, plan, work_, bumped_);
        bumped_.valid = false;
        return in.k * combine(dg::read(p, bumped_.coarse, x0), dg::read(p, bumped_.fine, x0)).v;
    };
    const double hv = kVolBump * in.sigma;
    const double vega = (bumped_value(0.0, hv) - bumped_value(0.0, -hv)) / (2.0 * hv);
    const double rho = (bumped_value(kRateBump, 0.0) - bumped_value(-kRateBump, 0.0)) / (2.0 * kRateBump) / 100.0;
    return {delta, gamma, theta_year / kDaysPerYear, vega, rho};
}

Greeks DividendAmerican::greeks(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                                std::size_t n, double tol) {
    if (!schedule_.assign(in.t, times, amounts, n)) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    if (schedule_.empty()) return dividend_free_.greeks(in, type, tol);
    return greeks_of(in, type, true, tol);
}

Greeks DividendAmerican::european_greeks(const OptionInputs& in, OptionType type, const double* times,
                                         const double* amounts, std::size_t n) {
    if (!schedule_.assign(in.t, times, amounts, n)) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    if (schedule_.empty()) return black_scholes_greeks(in, type);
    return greeks_of(in, type, false, kEuropeanTol);
}

double DividendAmerican::implied_of(double price, const OptionInputs& in, OptionType type, bool american,
                                    double tol) {
    if (!std::isfinite(price) || !std::isfinite(in.s) || !std::isfinite(in.k) || !std::isfinite(in.t) ||
        !std::isfinite(in.r) || !std::isfinite(in.q) || !(in.s > 0.0) || !(in.k > 0.0) || !(in.t > 0.0)) {
        return kNaN;
    }
    // The price as sigma -> 0 is the deterministic value; it only rises with
    // sigma, up to the spot (call) or the strike (put) for an American option
    // and their discounted values for a European one.
    const double lower = deterministic_value(in, type, american, schedule_);
    const double upper = type == OptionType::Call ? (american ? in.s : in.s * std::exp(-in.q * in.t))
                                                  : (american ? american_upper_bound(in.s, in.k, in.t, in.r, in.q, type)
                                                              : in.k * std::exp(-in.r * in.t));
    if (!(price > lower) || !(price < upper)) return kNaN;

    // The start: Black-Scholes on the spot less the dividends' present value
    // (the escrowed model), a close guess away from early exercise.
    double escrowed = in.s;
    for (const CashDividend& d : schedule_.items()) escrowed -= d.amount * std::exp(-in.r * d.time);
    double sigma = kNaN;
    if (escrowed > 0.0) sigma = ::varnelle::european_implied_vol(price, escrowed, in.k, in.t, in.r, in.q, type);
    if (!(sigma > 0.01 && sigma < 5.0)) sigma = 0.3;

    // Secant steps on the price, the first with the escrowed model's vega,
    // inside a bracket that falls back to bisection (bracketed_root).
    double previous_sigma = kNaN, previous_value = kNaN, last_miss = kNaN;
    const auto step = [&](double s) -> RootStep {
        OptionInputs row = in;
        row.sigma = s;
        const double miss = value_of(row, type, american, tol) - price;
        last_miss = miss;
        double slope;
        if (std::isnan(previous_sigma) || previous_sigma == s || previous_value == miss) {
            slope = black_scholes_vega({std::max(escrowed, 1e-3 * in.s), in.k, in.t, in.r, s, in.q});
        } else {
            slope = (miss - previous_value) / (s - previous_sigma);
        }
        previous_sigma = s;
        previous_value = miss;
        double next = s - miss / slope;
        if (!(next > kLowestVol)) next = 0.5 * s;
        if (!(next < kHighestVol)) next = 0.5 * (s + kHighestVol);
        return {miss, next};
    };
    const double root =
        bracketed_root(step, [](double) { return true; }, sigma, kVolResolution, kMostEvaluations).x;
    // A price that no volatility reaches, or that does not move with it,
    // leaves a miss far above the price's own resolution.
    OptionInputs row = in;
    row.sigma = root;
    if (root != previous_sigma) last_miss = value_of(row, type, american, tol) - price;
    if (!(std::fabs(last_miss) <= 1e-9 * std::max(price, 1e-3 * in.k))) return kNaN;
    return root;
}

double DividendAmerican::implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                                     const double* times, const double* amounts, std::size_t n, double tol) {
    if (!schedule_.assign(t, times, amounts, n)) return kNaN;
    if (schedule_.empty()) return dividend_free_.implied_vol(price, s, k, t, r, q, type, tol);
    return implied_of(price, {s, k, t, r, 0.0, q}, type, true, tol);
}

double DividendAmerican::european_implied_vol(double price, double s, double k, double t, double r, double q,
                                              OptionType type, const double* times, const double* amounts,
                                              std::size_t n) {
    if (!schedule_.assign(t, times, amounts, n)) return kNaN;
    if (schedule_.empty()) return ::varnelle::european_implied_vol(price, s, k, t, r, q, type);
    return implied_of(price, {s, k, t, r, 0.0, q}, type, false, kEuropeanTol);
}

double DividendAmerican::boundary(double k, double t, double r, double sigma, double q, OptionType type,
                                  const double* times, const double* amounts, std::size_t n, double tol) {
    if (!schedule_.assign(t, times, amounts, n)) return kNaN;
    if (schedule_.empty()) return dividend_free_.boundary(k, t, r, sigma, q, type, tol);
    if (std::isnan(k) || std::isnan(r) || std::isnan(sigma) || std::isnan(q) || k < 0.0 || sigma < 0.0) return kNaN;
    const double never = type == OptionType::Put ? 0.0 : kInf;
    // A put of strike zero is never worth exercising; a call of strike zero
    // is worth its spot at once. Without volatility the region need not be
    // one interval below (put) or above (call) a critical spot.
    if (k == 0.0) return type == OptionType::Put ? 0.0 : 0.0;
    if (sigma == 0.0) return kNaN;
    if (never_exercised({k, k, t, r, sigma, q}, type)) return never;
    schedule_.scaled(k, scaled_);
    // The integral route, solved about the strike and then again about the
    // boundary found there, so that the spots it is read at are tabulated.
    double spot = 1.0;
    for (int pass = 0; pass < 2; ++pass) {
        const dividend_integral::Problem problem{spot, t, r, q, sigma, type, true, scaled_.items().data(),
                                                 scaled_.size(), tol};
        if (!dividend_integral::covers(problem)) break;
        const dividend_integral::Result res = integral_.solve(problem, dividend_free_);
        if ((!res.valid || !std::isfinite(res.boundary)) && pass == 0 && type == OptionType::Call && q > 0.0 &&
            r / q > spot) {
            // A call's region lies at spots of at least r / q; with a small
            // volatility it is out of reach from the strike (left out of the
            // solve, or read where the functions its iteration reads are not
            // held): solved again from there.
            spot = r / q;
            continue;
        }
        if (!res.valid) break;
        const bool none = type == OptionType::Put ? !(res.boundary > 0.0) : !std::isfinite(res.boundary);
        if (none) return never;
        if (pass == 1) return k * res.boundary;
        spot = res.boundary;
    }
    // A call's region with a small volatility that the quadrature route
    // could not settle: the critical spot of the deterministic value, which
    // the boundary meets as sigma falls (500.00007 at sigma 1e-4, 500 at 0,
    // for r / q = 5); the grids of such a volatility are far too coarse.
    if (type == OptionType::Call && sigma * std::sqrt(t) < kLeastSpreadForMoments) {
        return deterministic_call_boundary({k, k, t, r, 0.0, q}, schedule_);
    }
    // The grids of a spot at the strike cover the boundary's whole range.
    const OptionInputs at_strike{k, k, t, r, sigma, q};
    evaluate(at_strike, type, scaled_, true, tol, main_);
    const dg::Problem p = problem_of(at_strike, type, true, scaled_);
    const double coarse = dg::exercise_edge(p, main_.coarse);
    const double fine = dg::exercise_edge(p, main_.fine);
    if (std::isnan(fine)) return never;
    const double x = std::isnan(coarse) ? fine : fine + (fine - coarse) / 3.0;
    return k * std::exp(x);
}

// The single-row functions: the chain object used once.
double dividend_american_price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                               std::size_t n, double tol) {
    DividendAmerican model;
    return model.price(in, type, times, amounts, n, tol);
}

Greeks dividend_american_greeks(const OptionInputs& in, OptionType type, const double* times,
                                const double* amounts, std::size_t n, double tol) {
    DividendAmerican model;
    return model.greeks(in, type, times, amounts, n, tol);
}

double dividend_american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type,
                                     const double* times, const double* amounts, std::size_t n, double tol) {
    DividendAmerican model;
    return model.implied_vol(price, s, k, t, r, q, type, times, amounts, n, tol);
}

double dividend_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type,
                                  const double* times, const double* amounts, std::size_t n, double tol) {
    DividendAmerican model;
    return model.boundary(k, t, r, sigma, q, type, times, amounts, n, tol);
}

double dividend_european_price(const OptionInputs& in, OptionType type, const double* times, const double* amounts,
                               std::size_t n) {
    DividendAmerican model;
    return model.european_price(in, type, times, amounts, n);
}

Greeks dividend_european_greeks(const OptionInputs& in, OptionType type, const double* times,
                                const double* amounts, std::size_t n) {
    DividendAmerican model;
    return model.european_greeks(in, type, times, amounts, n);
}

double dividend_european_implied_vol(double price, double s, double k, double t, double r, double q,
                                     OptionType type, const double* times, const double* amounts, std::size_t n) {
    DividendAmerican model;
    return model.european_implied_vol(price, s, k, t, r, q, type, times, amounts, n);
}

}  // namespace varnelle
