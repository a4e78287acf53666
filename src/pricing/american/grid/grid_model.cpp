// American options by finite differences.
//
// Method. Every option is valued as a put of unit strike (a call by the
// put-call symmetry C(S, K, r, q) = P(K, S, q, r); a put of strike K is K
// times the unit put at spot S/K). With x = ln S, mu = r - q - sigma^2/2, tau
// the time to expiry and W = e^(r tau) V, the put solves
//     W_tau = sigma^2/2 W_xx + mu W_x,   W >= G = e^(r tau) max(1 - e^x, 0),
// a linear complementarity problem with no discount term (so r < 0 needs no
// care) and an obstacle fixed on the grid.
//
// - Space: a uniform grid in x, m nodes per standard deviation sigma*sqrt(T),
//   kHalfWidth standard deviations either side of the spot (plus the drift
//   over the life; fewer deviations and more nodes for a put with two
//   boundaries, see two_boundary_resolution), with the spot on a node. The payoff is averaged over each
//   cell at tau = 0 so the strike may fall anywhere. The diffusion is fitted
//   to the drift (Il'in-Allen-Southwell), so the matrices stay M-matrices.
// - Time and constraint: the finite-difference room (src/pricing/fd/) marches
//   it: steps uniform in sqrt(tau), packing them near expiry where the
//   boundary moves fastest; BDF2 with variable steps after a half step of
//   implicit Euler; each level's complementarity problem solved exactly by
//   policy iteration, which is right when exercise is optimal between two
//   boundaries (a put with q < r < 0, a call with r < q < 0), and each
//   boundary placed within its cell from the quadratic contact.
// - Extrapolation: two grids (m, N) and (2m, 2N), combined as
//   (4 v_fine - v_coarse) / 3 for the value, delta and gamma.
// - Ends of the grid: Dirichlet values max(payoff, European); they are at
//   least kHalfWidth standard deviations from the spot, so their error reaches
//   it damped by about e^(-kHalfWidth^2 / 2).
//
// Accuracy and cost measured on the stored reference book are in the test
// file's comments (tests/cpp/test_american_grid.cpp).
#include "pricing/american/grid/grid_model.hpp"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <vector>

#include "pricing/american/greeks.hpp"
#include "pricing/american/put_side.hpp"
#include "pricing/core/cancellation.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/fd/bdf2_stepper.hpp"
#include "pricing/fd/mesh.hpp"
#include "pricing/fd/richardson.hpp"
#include "pricing/fd/time_grid.hpp"
#include "pricing/math/exp_of_clamped.hpp"
#include "pricing/math/normal.hpp"

namespace varnelle {

namespace {

// Standard deviations of ln S over the life on each side of the spot: the heat
// kernel weighs the ends' approximate values by about e^(-32) ~ 1e-14.
constexpr double kHalfWidth = 8.0;

// A put of unit strike: spot e^x.
struct UnitPut {
    double x, t, r, q, sigma;
};

// The mesh in x = ln S and the number of steps in time.
struct Layout {
    fd::UniformMesh mesh;
    std::size_t steps;
};

double drift(const UnitPut& p) { return (p.r - p.q) - 0.5 * p.sigma * p.sigma; }

// A grid of m nodes per standard deviation (per unit of ln S when that is
// smaller) with the node x_c (the spot) on it, so that the value and its
// derivatives there need no interpolation and the nodes move with the spot:
// prices are smooth in S and in bumped inputs. It reaches kHalfWidth standard
// deviations past [x_c - below, x_c + above] (the drift over the life, a
// window), with at most kMaxNodesPerUnitM * m nodes: past that the spacing
// grows, which only happens when the drift over the life is hundreds of
// standard deviations (vanishing volatility), where the fitted diffusion
// keeps the scheme monotone.
constexpr double kMaxNodesPerUnitM = 100.0;

Layout make_layout(double x_c, double below, double above, double sd, double m, std::size_t steps,
                   double half_width) {
    const double low = half_width * sd + below;
    const double high = half_width * sd + above;
    // Past one unit of ln S per standard deviation the boundary and the
    // strike's neighbourhood, not the spread, set the scale to resolve.
    const double h = std::max(std::min(sd, 1.0) / m, (low + high) / (kMaxNodesPerUnitM * m));
    return {fd::mesh_around(x_c, low, high, h), steps};
}

// The payoff max(1 - e^x, 0) averaged over the cell [x - h/2, x + h/2].
// Averaging the initial data restores second-order convergence wherever the
// strike falls between nodes (its kink is no longer sampled at a point), and
// makes the error smooth in the strike's position, which the extrapolation
// needs.
double cell_payoff(double x, double h) {
    const double a = x - 0.5 * h;
    const double b = x + 0.5 * h;
    if (a >= 0.0) return 0.0;
    if (b <= 0.0) return 1.0 - exp_of_clamped(x) * (std::sinh(0.5 * h) / (0.5 * h));
    return (std::expm1(a) - a) / h;  // (integral of 1 - e^y over [a, 0]) / h
}

// e^(r tau) times the European put of unit strike, as a function of
// xi = ln S + mu tau, where the drift cancels: d- = xi / (sigma sqrt(tau)).
double heat_european(double xi, double sigma, double tau) {
    const double v = sigma * std::sqrt(tau);
    const double dm = xi / v;
    return norm_cdf(-dm) - exp_of_clamped(xi + 0.5 * v * v) * norm_cdf(-dm - v);
}

// The diffusion coefficient sigma^2/2 fitted to the drift (Il'in, Allen and
// Southwell): a * z * coth(z) with the cell Peclet number z = mu h / (2 a).
// It equals a (1 + z^2/3 + ...) on the grids used for ordinary inputs, a
// second-order change the extrapolation removes, and keeps the matrices
// M-matrices (no oscillation, exact complementarity solves) when the drift
// dominates, as it does for tiny volatilities.
double fitted_diffusion(double a, double mu, double h) {
    const double z = mu * h / (2.0 * a);
    if (std::fabs(z) < 1e-4) return a * (1.0 + z * z / 3.0);
    return a * (z / std::tanh(z));
}

// The unit put's W = e^(r tau) V on a mesh: the obstacle e^(r tau) max(1 -
// e^x, 0), the ends held at max(obstacle, European) (they are at least
// kHalfWidth standard deviations from the spot, so their error reaches it
// damped by about e^(-kHalfWidth^2 / 2)), and the curvature where W leaves
// the obstacle, from the equation at the boundary: e^(r tau) (r - q e^x) / a.
// a is the diffusion the scheme uses, fitted to the drift: the continuation it
// computes leaves the obstacle with that curvature (with a vanishing volatility
// the plain sigma^2 / 2 is orders of magnitude smaller, and pinned exercised
// nodes far above the obstacle: 316.7 for a put worth 0 with bound 100).
class UnitPutProblem final : public fd::ObstacleProblem {
public:
    UnitPutProblem(const UnitPut& p, const fd::UniformMesh& mesh)
        : r_(p.r), q_(p.q), sigma_(p.sigma), a_(fitted_diffusion(0.5 * p.sigma * p.sigma, drift(p), mesh.h)),
          mu_(drift(p)), x_left_(mesh.x(0)),
          x_right_(mesh.x(mesh.size() - 1)), spot_(mesh.size()), payoff_(mesh.size()) {
        for (std::size_t j = 0; j < mesh.size(); ++j) {
            spot_[j] = exp_of_clamped(mesh.x(j));
            payoff_[j] = std::max(1.0 - spot_[j], 0.0);
        }
    }

    void set_level(double tau, std::vector<double>& obstacle, double& left, double& right) override {
        growth_ = exp_of_clamped(r_ * tau);
        const std::size_t n = payoff_.size();
        for (std::size_t j = 0; j < n; ++j) obstacle[j] = growth_ * payoff_[j];
        left = std::max(obstacle[0], heat_european(x_left_ + mu_ * tau, sigma_, tau));
        right = std::max(obstacle[n - 1], heat_european(x_right_ + mu_ * tau, sigma_, tau));
    }

    double at(std::size_t j) const override { return growth_ * (r_ - q_ * spot_[j]) / a_; }

private:
    double r_, q_, sigma_, a_, mu_, x_left_, x_right_;
    double growth_ = 1.0;
    std::vector<double> spot_, payoff_;
};

fd::ObstacleSolution solve(const UnitPut& p, const Layout& g) {
    const fd::UniformMesh& mesh = g.mesh;
    const std::size_t n = mesh.size();
    std::vector<double> w(n);
    for (std::size_t j = 0; j < n; ++j) w[j] = cell_payoff(mesh.x(j), mesh.h);
    const double mu = drift(p);
    const double alpha = fitted_diffusion(0.5 * p.sigma * p.sigma, mu, mesh.h) / (mesh.h * mesh.h);
    const double beta = mu / (2.0 * mesh.h);
    // The space operator's weights of W_j-1, W_j (negated), W_j+1.
    const fd::TridiagonalRow op{alpha - beta, 2.0 * alpha, alpha + beta};
    UnitPutProblem problem(p, mesh);
    return fd::march(op, mesh.h, fd::TimeGrid(p.t, g.steps), problem, std::move(w));
}

// Value, first and second x-derivatives of W at the centre node (the spot) by
// central differences, and whether the node is exercised.
struct Local {
    double w, w1, w2;
    bool exercised;
};

Local read(const fd::ObstacleSolution& f, const fd::UniformMesh& mesh) {
    const std::size_t j = mesh.below;
    const std::vector<double>& w = f.values;
    const double w1 = (w[j + 1] - w[j - 1]) / (2.0 * mesh.h);
    const double w2 = ((w[j + 1] - w[j]) + (w[j - 1] - w[j])) / (mesh.h * mesh.h);
    // An exercised node may hold the continuation's extension (see
    // fd/complementarity.hpp); its value is the obstacle.
    const bool exercised = f.on_obstacle[j] != 0;
    return {exercised ? f.obstacle[j] : w[j], w1, w2, exercised};
}

// How fine the two grids are for a target error tol: nodes per standard
// deviation and steps of the coarse grid (the fine one doubles both).
// Measured on the stored reference book (1,993 rows): m = 40, N = 60 gives a
// largest error of 5.5e-6 (99th percentile 3.3e-6), m = 20, N = 30 3.3e-5
// (1.4e-5); the extrapolated error falls about like m^-4 until the free
// boundary's cell-to-cell noise (~1e-7) takes over, so m is capped at 64.
struct Resolution {
    double m;
    std::size_t steps;
    double half_width;  // standard deviations either side of the spot
};

//
// Against an independent tree (Richardson over 24,000 and 48,000 steps) on
// two-boundary puts (r -0.1 %, q -0.5 %, sigma 5-20 %, t up to 3) the time
// steps, not the nodes, left the larger part of the error: m = 40 with 1.5 m
// steps was 2.7e-6 off at tol 1e-6 and a put (160, 100, 3, r -0.1 %, sigma
// 13 %, q -0.5 %) 1.4e-4 off at tol 1e-4. m = 50 with 3 m steps keeps both
// within tol (largest 8.4e-7 and 2.7e-5).
Resolution resolution(double tol) {
    const double t = std::clamp(std::isnan(tol) ? 1e-6 : tol, 1e-10, 1e-3);
    const double m = std::clamp(std::ceil(50.0 * std::pow(1e-6 / t, 0.25)), 8.0, 64.0);
    return {m, static_cast<std::size_t>(3.0 * m), kHalfWidth};
}

// The grids of a put with two boundaries (q < r <= 0, the rows the integral
// model hands over where its boundaries close). Their ends lie where the put
// is nearly European (far above the spot, or far below the lower boundary,
// whose premium fades as fast), so kTwoBoundaryHalfWidth deviations keep
// the ends' error far below tol, and the nodes saved go to the spacing,
// which (not the steps) left most of the error: on the 84 such rows of the
// stored two-boundary book, asked for tol / 4 by the integral model, 50
// nodes a deviation over 8 deviations reached 4.1e-5, 1.2e-5 and 3.5e-6 at
// tol 1e-4, 1e-5 and 1e-6, 75 over 5 reach 1.7e-5, 4.1e-6 and 2.0e-6 for
// about the same node-steps (at 1e-6 both stop at the budget, kMostWork).
// Four deviations were as good on that book, three 1e-3 off.
constexpr double kTwoBoundaryHalfWidth = 5.0;

Resolution two_boundary_resolution(double tol) {
    const double t = std::clamp(std::isnan(tol) ? 1e-6 : tol, 1e-10, 1e-3);
    const double m = std::clamp(std::ceil(75.0 * std::pow(1e-6 / t, 0.25)), 8.0, 96.0);
    return {m, static_cast<std::size_t>(3.0 * m), kTwoBoundaryHalfWidth};
}

// Steps for a life: W = e^(r tau) V and the obstacle change on the time
// scale 1/|r| (and 1/|q|), which the steps must resolve once the life is
// longer than a couple of those (lives of decades to centuries).
constexpr double kMaxStepScale = 8.0;
std::size_t steps_for(const UnitPut& p, const Resolution& res) {
    const double scale = std::clamp(0.5 * (std::fabs(p.r) + std::fabs(p.q)) * p.t, 1.0, kMaxStepScale);
    return static_cast<std::size_t>(std::ceil(static_cast<double>(res.steps) * scale));
}

// Unit-put value, delta and gamma in S (at S = e^x, strike 1) on one grid.
struct Reading {
    double v, dv, d2v;
    bool exercised;
};

Reading price_on(const UnitPut& p, const Layout& g) {
    const Local l = read(solve(p, g), g.mesh);
    const double disc = exp_of_clamped(-p.r * p.t);
    const double s = exp_of_clamped(p.x);
    // V = e^(-rT) W(ln S): V_S = e^(-rT) W_x / S, V_SS = e^(-rT) (W_xx - W_x) / S^2.
    return {disc * l.w, disc * l.w1 / s, disc * (l.w2 - l.w1) / (s * s), l.exercised};
}

struct Pair {
    Layout coarse, fine;
};

// The most node-steps the two grids of one solve may take together (the fine
// grid has twice the nodes and steps of the coarse one, four times its work):
// about 50 ms on the development machine under load. Ordinary rows stay below
// it at every tol (nodes per deviation are capped at 64: at most about 1e6);
// lives of centuries and drifts of hundreds of deviations reached 3e7 (a
// second a price, over a minute at tol 1e-10). Past it both grids coarsen
// alike, nodes and steps by the same factor, so the cost of a row is bounded
// whatever its inputs, at the price of accuracy on those rows only. The steps
// a long life adds go first: such a life is mostly spent near its steady
// state, which large steps of the L-stable scheme follow.
constexpr double kMostWork = 1e6;

Pair grid_pair(double x_c, double below, double above, double spread, const Resolution& res, std::size_t steps,
               double most_work = kMostWork) {
    Layout coarse = make_layout(x_c, below, above, spread, res.m, steps, res.half_width);
    const double work = 5.0 * static_cast<double>(coarse.mesh.size()) * static_cast<double>(steps);
    double m = res.m;
    if (work > most_work) {
        // First the steps a long life added (see steps_for), then both alike.
        const double cut = std::min(work / most_work, static_cast<double>(steps) / static_cast<double>(res.steps));
        steps = static_cast<std::size_t>(std::ceil(static_cast<double>(steps) / std::max(cut, 1.0)));
        const double f = std::sqrt(std::max(work / (most_work * std::max(cut, 1.0)), 1.0));
        m /= f;
        steps = static_cast<std::size_t>(std::ceil(static_cast<double>(steps) / f));
        coarse = make_layout(x_c, below, above, spread, m, steps, res.half_width);
    }
    return {coarse, make_layout(x_c, below, above, spread, 2.0 * m, 2 * steps, res.half_width)};
}

// With a drift mu in ln S, the spot ever moves against it by z with
// probability e^(-2 |mu| z / sigma^2): past kHalfWidth^2 / 2 such lengths
// (and the growth a negative rate gives the payoff over the life) the grid
// changes the value at the spot by less than its ends do, however long the
// life. Where the drift dominates the spread over a long life (a put with
// q = -100 %, sigma 10 %, 500 years) the window was the whole drift, hundreds
// of units of ln S, and its nodes far too coarse for the layer of width
// sigma^2 / |mu| in which the value lives: prices of 0 and of 1e21.
double against_drift_reach(const UnitPut& p) {
    const double mu = drift(p);
    if (mu == 0.0) return kInf;
    const double growth = std::max(-p.r * p.t, 0.0);
    return p.sigma * p.sigma * (0.5 * kHalfWidth * kHalfWidth + growth) / (2.0 * std::fabs(mu));
}

Pair layouts(const UnitPut& p, double tol) {
    const Resolution res = p.r > 0.0 ? resolution(tol) : two_boundary_resolution(tol);
    const double sd = p.sigma * std::sqrt(p.t);
    // The value at the spot reads the grid around where the spot drifts to.
    const double travel = drift(p) * p.t;
    double below = std::max(-travel, 0.0);
    double above = std::max(travel, 0.0);
    double spread = sd;
    const double reach = against_drift_reach(p);
    if (reach < res.half_width * sd) {
        // Against the drift the window ends at the reach; with it, a put
        // drifting up is worthless past the same reach above the strike, and
        // a put drifting down is followed as far as it drifts.
        if (travel > 0.0) {
            below = 0.0;
            above = std::min(std::max(-p.x, 0.0), above);
        } else {
            above = 0.0;
        }
        spread = reach / res.half_width;
    }
    // A put with r > 0 keeps its full grids: the integral model values those
    // rows itself and the grid serves as their independent reference.
    return grid_pair(p.x, below, above, spread, res, steps_for(p, res), p.r > 0.0 ? kInf : kMostWork);
}

Reading extrapolated(const UnitPut& p, const Pair& grids) {
    const Reading a = price_on(p, grids.coarse);
    const Reading b = price_on(p, grids.fine);
    using fd::richardson;
    return {richardson(a.v, b.v), richardson(a.dv, b.dv), richardson(a.d2v, b.d2v), a.exercised && b.exercised};
}

// Early exercise never pays a put with r <= 0 and q >= r: the European value.
bool never_exercised(double r, double q) { return r <= 0.0 && q >= r; }

double european_put(const OptionInputs& p) {
    return european_price(p, OptionType::Put);
}

// With r > 0 whatever can happen after r T = kLongLife is worth at most
// K e^(-kLongLife) ~ 4e-18 K today, so the grid stops there; this keeps
// e^(r tau) finite for expiries of centuries.
constexpr double kLongLife = 40.0;

// The unit put the grid solves: ln S - ln K (no overflow in S/K), the life
// cut at kLongLife / r.
UnitPut unit_put(const OptionInputs& p, double dr = 0.0, double dq = 0.0, double dsigma = 0.0) {
    const double r = p.r + dr;
    const double t = r > 0.0 ? std::min(p.t, kLongLife / r) : p.t;
    return {std::log(p.s) - std::log(p.k), t, r, p.q + dq, p.sigma + dsigma};
}

// A put so far out of the money that the early exercise premium is below
// e^(-kFarOut^2 / 2) of the strike: past kFarOut standard deviations (plus
// the drift over the life) above the strike. Its value is the European one.
constexpr double kFarOut = 40.0;

bool far_out_of_the_money(const OptionInputs& p) {
    const UnitPut u = unit_put(p);
    const double sd = u.sigma * std::sqrt(u.t);
    return u.x - std::fabs(drift(u)) * u.t > kFarOut * sd;
}

// With two boundaries (q < r < 0) nothing is exercised below the lower one,
// which never falls below K r/q: a spot past kFarOut standard deviations (plus
// the drift over the life) below that reaches the region with a probability
// below e^(-kFarOut^2 / 2), and its value is the European one. So is a unit
// spot e^x below the smallest normal double: the grid cannot tell its value
// from the strike's discount (its slope in S underflows, and delta and gamma,
// W_x / S and W_xx / S^2, were 0/0), and to reach K r/q from there the spot
// must rise by e^700.
bool far_below_the_region(const OptionInputs& p) {
    if (!(p.q < p.r && p.r < 0.0)) return false;
    const UnitPut u = unit_put(p);
    if (u.x < std::log(DBL_MIN)) return true;
    const double sd = u.sigma * std::sqrt(u.t);
    return std::log(p.r / p.q) - u.x - std::fabs(drift(u)) * u.t > kFarOut * sd;
}

// The put's value with delta and gamma, for sigma > 0 and t > 0 with early
// exercise possible; the value is kept within the no-arbitrage bounds
// max(intrinsic, European) <= v.
Reading grid_put(const OptionInputs& p, double tol, Pair* used = nullptr) {
    const UnitPut u = unit_put(p);
    const Pair grids = layouts(u, tol);
    if (used != nullptr) *used = grids;
    Reading out = extrapolated(u, grids);
    out.v *= p.k;
    out.d2v /= p.k;
    return out;
}

double finish_price(const OptionInputs& p, const Reading& r) {
    const double intrinsic = std::max(p.k - p.s, 0.0);
    if (r.exercised) return intrinsic;
    return std::max({r.v, intrinsic, european_put(p)});
}

// Below this spread of ln S over the life the volatility adds at most
// 0.4 * kNoSpread * S to the deterministic value: well inside any tol.
constexpr double kNoSpread = 1e-9;

bool deterministic(const OptionInputs& p) { return p.sigma * std::sqrt(p.t) < kNoSpread; }

double put_price(const OptionInputs& p, double tol) {
    if (p.t <= 0.0) return std::max(p.k - p.s, 0.0);
    if (deterministic(p)) return deterministic_american_put(p.s, p.k, p.t, p.r, p.q);
    if (never_exercised(p.r, p.q) || far_out_of_the_money(p) || far_below_the_region(p)) return european_put(p);
    return finish_price(p, grid_put(p, tol));
}

// Relative step of sigma and absolute step of the rates for vega and rho.
// The bumped solves reuse the unbumped grids, so they difference the same
// discrete solution, which is smooth in its inputs: a one-sided step this
// small is within about 1e-6 relative of the derivative (its error is h/2
// times the second derivative), and the grids' rounding (~1e-13 of the
// strike) stays far below the difference. One solve each, where central
// differences took two: Greeks cost three prices, not five.
constexpr double kVolStep = 1e-6;
constexpr double kRateStep = 1e-6;
// The deterministic value's rho and vega (closed_form_put_greeks) keep their
// wider central bumps: they are differences of closed forms and of a grid at
// a small volatility.
constexpr double kVolBump = 1e-3;
constexpr double kRateBump = 1e-4;

double bumped(const OptionInputs& p, const Pair& grids, double dsigma, double dr, double dq) {
    const UnitPut u = unit_put(p, dr, dq, dsigma);
    return p.k * extrapolated(u, grids).v;
}

// The put's Greeks in the module's units, with its price and whether it is
// exercised now.
struct PutGreeks {
    double price, delta, gamma, vega, rho;
    bool exercised;
};


// Where a closed form values the put (no spread over the life, early
// exercise never paying, or far out of the money), its Greeks come from
// that closed form: the European put's own where it is the European value,
// central differences of the deterministic value otherwise.
bool closed_form(const OptionInputs& p) {
    return deterministic(p) || never_exercised(p.r, p.q) || far_out_of_the_money(p) || far_below_the_region(p);
}

PutGreeks closed_form_put_greeks(const OptionInputs& p, double tol, OptionRate option_rate) {
    if (!deterministic(p)) {
        const Greeks g = black_scholes_greeks(p, OptionType::Put);
        // d/dq of the European put: S T e^(-qT) N(-d1), per 1 %.
        const double dq = -g.delta * p.s * p.t / 100.0;
        return {european_put(p), g.delta, g.gamma, g.vega, option_rate == OptionRate::PutYield ? dq : g.rho, false};
    }
    const double intrinsic = std::max(p.k - p.s, 0.0);
    auto v = [&](double s, double r, double q) { return deterministic_american_put(s, p.k, p.t, r, q); };
    const double price = v(p.s, p.r, p.q);
    const double ds = kZeroVolSpotStep * p.s;
    const double delta = (v(p.s + ds, p.r, p.q) - v(p.s - ds, p.r, p.q)) / (2.0 * ds);
    const double rho = option_rate == OptionRate::PutYield
                           ? (v(p.s, p.r, p.q + kRateBump) - v(p.s, p.r, p.q - kRateBump))
                           : (v(p.s, p.r + kRateBump, p.q) - v(p.s, p.r - kRateBump, p.q));
    // Vega without spread is one-sided: the grid at a small volatility.
    const double up = put_price({p.s, p.k, p.t, p.r, p.sigma + kVolBump, p.q}, tol);
    return {price, delta, 0.0, (up - price) / kVolBump, rho / (2.0 * kRateBump) / 100.0,
            price == intrinsic && intrinsic > 0.0};
}

// On the grid: delta and gamma read off the grids, vega and rho from
// re-solves with bumped inputs on the same grids (none when only the spot's
// Greeks are asked for). The rate steps down: with two boundaries (q < r <=
// 0) that keeps the put's rates in their order and r from crossing 0; a
// put with r > 0 steps up, keeping r > 0.
PutGreeks grid_put_greeks(const OptionInputs& p, double tol, OptionRate option_rate, bool sensitivities) {
    Pair grids{};
    const Reading r = grid_put(p, tol, &grids);
    const double price = finish_price(p, r);
    if (r.exercised) return {std::max(p.k - p.s, 0.0), -1.0, 0.0, 0.0, 0.0, true};
    if (!sensitivities) return {price, r.dv, r.d2v, kNaN, kNaN, false};
    const double now = r.v;  // unfloored, as the bumped solves are
    const double dsigma = kVolStep * p.sigma;
    const double vega = (bumped(p, grids, dsigma, 0.0, 0.0) - now) / dsigma;
    const double step = p.r > 0.0 ? kRateStep : -kRateStep;
    const double dr = option_rate == OptionRate::PutYield ? 0.0 : step;
    const double dq = option_rate == OptionRate::PutYield ? step : 0.0;
    const double rho = (bumped(p, grids, 0.0, dr, dq) - now) / step / 100.0;
    return {price, r.dv, r.d2v, vega, rho, false};
}

PutGreeks put_greeks(const OptionInputs& p, double tol, OptionRate option_rate, bool sensitivities) {
    if (p.t <= 0.0) return {std::max(p.k - p.s, 0.0), p.s < p.k ? -1.0 : 0.0, 0.0, 0.0, 0.0, p.s < p.k};
    return closed_form(p) ? closed_form_put_greeks(p, tol, option_rate)
                          : grid_put_greeks(p, tol, option_rate, sensitivities);
}

// The exercise interval of a put of unit strike today, [lower, upper];
// upper = 0 when empty.
struct UnitInterval {
    double lower, upper;
};

// Edges of the exercise region found on one grid: the nodes just outside it,
// moved towards it by the gap W - G = curvature/2 * gap^2 read at that node.
struct Edges {
    double lower, upper;  // NaN where the region does not end inside the grid
    bool any;
};

Edges edges_on(const UnitPut& p, const Layout& g) {
    const fd::ObstacleSolution f = solve(p, g);
    const fd::UniformMesh& mesh = g.mesh;
    const std::size_t n = mesh.size();
    const double a = fitted_diffusion(0.5 * p.sigma * p.sigma, drift(p), mesh.h);
    const double growth = exp_of_clamped(p.r * p.t);
    auto gap = [&](std::size_t j) {
        const double c = growth * (p.r - p.q * exp_of_clamped(mesh.x(j))) / a;
        const double d = f.values[j] - f.obstacle[j];
        return c > 0.0 ? std::min(std::sqrt(std::max(2.0 * d / c, 0.0)), mesh.h) : 0.0;
    };
    Edges e{kNaN, kNaN, false};
    // The region nearest the strike: scan down from the top for the first
    // exercised node, then on to the end of its run.
    const std::vector<unsigned char>& on = f.on_obstacle;
    std::size_t j = n - 1;
    while (j > 0 && on[j] == 0) --j;
    if (on[j] == 0) return e;
    e.any = true;
    if (j + 2 < n) e.upper = mesh.x(j + 1) - gap(j + 1);
    while (j > 0 && on[j] != 0) --j;
    if (j > 0) e.lower = mesh.x(j) + gap(j);
    return e;
}

double combine(double coarse, double fine) {
    if (std::isnan(coarse)) return fine;
    if (std::isnan(fine)) return coarse;
    return fd::richardson(coarse, fine);
}

// The region's edges in ln S over the window [lo, hi] of ln S, on two grids.
Edges scan(const UnitPut& p, double lo, double hi, double tol) {
    const Resolution res = resolution(tol);
    const double sd = p.sigma * std::sqrt(p.t);
    const double centre = 0.5 * (lo + hi);
    const double travel = drift(p) * p.t;
    const double below = 0.5 * (hi - lo) + std::max(-travel, 0.0);
    const double above = 0.5 * (hi - lo) + std::max(travel, 0.0);
    UnitPut at = p;
    at.x = centre;
    // The boundary's scan keeps its full grids: it is no price, and a window
    // of kWindow deviations coarsened to the price's budget missed the
    // perpetual boundary by 1e-3.
    const Pair grids = grid_pair(centre, below, above, sd, res, steps_for(p, res), kInf);
    const Edges a = edges_on(at, grids.coarse);
    const Edges b = edges_on(at, grids.fine);
    return {combine(a.lower, b.lower), combine(a.upper, b.upper), a.any || b.any};
}

// Widest window a single grid spans, in standard deviations of ln S.
constexpr double kWindow = 40.0;

UnitInterval unit_interval(double t, double r, double sigma, double q, double tol) {
    if (t <= 0.0) return {0.0, 1.0};
    if (never_exercised(r, q)) return {0.0, 0.0};
    const bool two = q < r && r < 0.0;
    if (sigma * std::sqrt(t) < kNoSpread) {
        // Exercising now beats waiting until u for all u in (0, T] when
        // S (e^(-qu) - 1) >= e^(-ru) - 1; the bound's ratio is monotone in u,
        // so its ends u -> 0 (r/q) and u = T decide.
        if (q == 0.0) return {0.0, 1.0};
        const double at_t = std::expm1(-r * t) / std::expm1(-q * t);
        const double ratio = r / q;
        if (q > 0.0) return {0.0, std::clamp(std::min(ratio, at_t), 0.0, 1.0)};
        const double lower = std::max({ratio, at_t, 0.0});
        return lower < 1.0 ? UnitInterval{lower, 1.0} : UnitInterval{0.0, 0.0};
    }
    const UnitPut p{0.0, r > 0.0 ? std::min(t, kLongLife / r) : t, r, q, sigma};
    const double sd = sigma * std::sqrt(p.t);
    if (!two) {
        // One boundary between the perpetual one and its limit at expiry,
        // X = min(1, r/q).
        const double top = q > 0.0 ? std::min(0.0, std::log(r / q)) : 0.0;
        const double mu = drift(p);
        const double a = 0.5 * sigma * sigma;
        const double lambda = (-mu - std::sqrt(mu * mu + 4.0 * a * r)) / (2.0 * a);
        const double perpetual = std::log(lambda / (lambda - 1.0));
        const double bottom = std::max(perpetual, top - kWindow * sd);
        const Edges e = scan(p, bottom, top, tol);
        if (!e.any || std::isnan(e.upper)) return {0.0, e.any ? std::exp(top) : 0.0};
        return {0.0, std::exp(std::min(e.upper, top))};
    }
    // Two boundaries, inside [r/q, 1] and closing in on each other with time.
    const double bottom = std::log(r / q);
    Edges e;
    if (-bottom <= kWindow * sd) {
        e = scan(p, bottom, 0.0, tol);
    } else {
        const Edges high = scan(p, -0.5 * kWindow * sd, 0.0, tol);
        const Edges low = scan(p, bottom, bottom + 0.5 * kWindow * sd, tol);
        e = {low.lower, high.upper, low.any && high.any};
    }
    if (!e.any || std::isnan(e.lower) || std::isnan(e.upper) || e.lower >= e.upper) return {0.0, 0.0};
    return {std::exp(std::max(e.lower, bottom)), std::exp(std::min(e.upper, 0.0))};
}

}  // namespace

// Besides the ends, the difference of two exponentials has at most one
// stationary point on (0, t), and only there can it be largest.
double deterministic_american_put(double s, double k, double t, double r, double q) {
    auto value = [&](double u) { return k * exp_of_clamped(-r * u) - s * exp_of_clamped(-q * u); };
    double best = std::max({0.0, k - s, value(t)});
    if (r != q && r * q > 0.0) {
        const double u = std::log((r * k) / (q * s)) / (r - q);
        if (u > 0.0 && u < t) best = std::max(best, value(u));
    }
    return best;
}

double grid_american_price(const OptionInputs& in, OptionType type, double tol) {
    if (any_nan(in)) return kNaN;
    const OptionInputs p = as_put(in, type);
    const double v = put_price(p, tol);
    if (cancellation_requested()) return kNaN;
    // Only overflow gets here (a European value of inf - inf for lives of
    // millennia at rates far from zero); the value is then past the largest
    // double, like its bound K max(1, e^(-rT)).
    return std::isnan(v) ? p.k * std::max(1.0, exp_of_clamped(-p.r * p.t)) : v;
}

namespace {

Greeks greeks_of(const OptionInputs& in, OptionType type, double tol, bool sensitivities) {
    if (any_nan(in)) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    const OptionInputs p = as_put(in, type);
    const PutGreeks g = put_greeks(p, tol, option_rate_in_put(type), sensitivities);
    if (cancellation_requested()) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    double delta = g.delta;
    double gamma = g.gamma;
    if (type == OptionType::Call) {
        // The put's Greeks are in units of its strike p.k, the call's spot.
        const UnitPutGreeks unit{g.price / p.k, g.delta, g.gamma * p.k};
        const SpotGreeks call = call_greeks_from_put(unit, p.s / p.k, in.s);
        delta = call.delta;
        gamma = call.gamma;
    }
    // An American option with a longer life is worth at least as much, whatever
    // the rates (its holder can exercise at the shorter one's expiry), so theta
    // is never positive. Over lives of millennia the value barely moves with
    // time, and the equation's terms, each carrying the grids' error in delta
    // and gamma, summed to a spurious +1.7e-8 a day; the sign is known, so
    // that is 0.
    const double theta =
        g.exercised || in.t <= 0.0 ? 0.0 : std::min(theta_from_equation(in, g.price, delta, gamma), 0.0);
    return {delta, gamma, theta, g.vega, g.rho};
}

}  // namespace

Greeks grid_american_greeks(const OptionInputs& in, OptionType type, double tol) {
    return greeks_of(in, type, tol, true);
}

Greeks grid_american_spot_greeks(const OptionInputs& in, OptionType type, double tol) {
    return greeks_of(in, type, tol, false);
}

ExerciseInterval grid_exercise_interval(double k, double t, double r, double sigma, double q, OptionType type,
                                        double tol) {
    if (std::isnan(k) || std::isnan(t) || std::isnan(r) || std::isnan(sigma) || std::isnan(q)) return {kNaN, kNaN};
    const PutRates put = put_rates(r, q, type);
    const UnitInterval u = unit_interval(t, put.r, sigma, put.q, tol);
    if (cancellation_requested()) return {kNaN, kNaN};
    const auto spot = [&](double b) { return critical_spot_from_put(k, b, type); };
    if (type == OptionType::Put) return {spot(u.lower), spot(u.upper)};
    // A call's region is its put's [y, b] (in units of the put's strike S)
    // mapped by S -> k / S: [k / b, k / y], empty where the put's is.
    if (u.upper == 0.0) return {kInf, kInf};
    return {spot(u.upper), u.lower == 0.0 ? kInf : spot(u.lower)};
}

double grid_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    const ExerciseInterval e = grid_exercise_interval(k, t, r, sigma, q, type, tol);
    return type == OptionType::Call ? e.lower : e.upper;
}

}  // namespace varnelle
