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
//   over the life), with the spot on a node. The payoff is averaged over each
//   cell at tau = 0 so the strike may fall anywhere. The diffusion is fitted
//   to the drift (Il'in-Allen-Southwell), so the matrices stay M-matrices.
// - Time: steps uniform in sqrt(tau), packing them near expiry where the
//   boundary moves fastest; BDF2 with variable steps after one implicit Euler
//   step in two halves.
// - Constraint: each step solves min(M w - b, w - G) = 0 exactly by policy
//   iteration (Howard's algorithm): a node is either on the obstacle or obeys
//   the scheme's row; the choice is revised from the residuals and the
//   tridiagonal system solved again until no choice changes (one or two
//   solves a step from the previous step's choices). Unlike Brennan-Schwartz's
//   single sweep it does not assume the exercise region is one end of the
//   grid, so it is right when exercise is optimal between two boundaries (a
//   put with q < r < 0, a call with r < q < 0). Each boundary is then placed
//   within its cell from the quadratic contact (place_contacts).
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
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/math/normal.hpp"

namespace varnelle {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// Standard deviations of ln S over the life on each side of the spot: the heat
// kernel weighs the ends' approximate values by about e^(-32) ~ 1e-14.
constexpr double kHalfWidth = 8.0;

// Exponents are clamped here so that absurd inputs (centuries, 5000 %
// volatility) give finite numbers instead of inf - inf.
constexpr double kMaxExponent = 700.0;

// Policy iteration converges in at most n solves on an M-matrix; in practice
// one to three. The cap only guards against a cycle from rounding.
constexpr int kMaxPolicyIterations = 64;

// Rounds of freeing nodes the boundary has moved past (see place_contacts).
constexpr int kContactPasses = 4;

double exp_clamped(double a) { return std::exp(std::clamp(a, -kMaxExponent, kMaxExponent)); }

// A put of unit strike: spot e^x.
struct UnitPut {
    double x, t, r, q, sigma;
};

// Nodes x_j = centre + (j - below) * h, j = 0 .. below + above; the centre
// (the spot) is node `below`. `steps` steps uniform in sqrt(tau).
struct Layout {
    double h;
    double centre;
    std::size_t below, above;
    std::size_t steps;
    std::size_t n() const { return below + above + 1; }
    double x(std::size_t j) const { return centre + (static_cast<double>(j) - static_cast<double>(below)) * h; }
};

// The solution W at tau = T, the obstacle then, and which nodes are exercised.
struct Field {
    std::vector<double> w;
    std::vector<double> obstacle;
    std::vector<unsigned char> active;  // on the obstacle at the last step
};

double drift(const UnitPut& p) { return (p.r - p.q) - 0.5 * p.sigma * p.sigma; }

// A grid of m nodes per standard deviation (per unit of ln S when that is
// smaller) with the node x_c (the spot) on it, so that the value and its derivatives there need no interpolation and
// the nodes move with the spot: prices are smooth in S and in bumped inputs.
// It reaches kHalfWidth standard deviations past [x_c - below, x_c + above]
// (the drift over the life, a window), with at most kMaxNodesPerUnitM * m
// nodes: past that the spacing grows, which only happens when the drift over
// the life is hundreds of standard deviations (vanishing volatility), where the
// fitted diffusion keeps the scheme monotone.
constexpr double kMaxNodesPerUnitM = 100.0;

Layout make_layout(double x_c, double below, double above, double sd, double m, std::size_t steps) {
    const double low = kHalfWidth * sd + below;
    const double high = kHalfWidth * sd + above;
    // Past one unit of ln S per standard deviation the boundary and the
    // strike's neighbourhood, not the spread, set the scale to resolve.
    const double h = std::max(std::min(sd, 1.0) / m, (low + high) / (kMaxNodesPerUnitM * m));
    return {h, x_c, static_cast<std::size_t>(std::ceil(low / h)), static_cast<std::size_t>(std::ceil(high / h)),
            steps};
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
    if (b <= 0.0) return 1.0 - exp_clamped(x) * (std::sinh(0.5 * h) / (0.5 * h));
    return (std::expm1(a) - a) / h;  // (integral of 1 - e^y over [a, 0]) / h
}

// e^(r tau) times the European put of unit strike, as a function of
// xi = ln S + mu tau, where the drift cancels: d- = xi / (sigma sqrt(tau)).
double heat_european(double xi, double sigma, double tau) {
    const double v = sigma * std::sqrt(tau);
    const double dm = xi / v;
    return norm_cdf(-dm) - exp_clamped(xi + 0.5 * v * v) * norm_cdf(-dm - v);
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

// A tridiagonal row: the weights of W_j-1, W_j, W_j+1.
struct Row {
    double lower, centre, upper;
};

// Gaussian elimination of the rows m after a pinned row depends only on the
// distance k from it: c_k = u / (c - l c_k-1) with c_0 = 0, and the pivots'
// inverses likewise. Every solve of a step shares these, so they are worked
// out once a step (they settle to a fixed point within a few dozen nodes)
// and the sweeps need no division.
struct Elimination {
    std::vector<double> c, inverse;
    explicit Elimination(std::size_t n) : c(n), inverse(n) {}
    void set(const Row& m) {
        const std::size_t n = c.size();
        double previous = 0.0;
        c[0] = 0.0;
        inverse[0] = 1.0;
        for (std::size_t k = 1; k < n; ++k) {
            const double inv = 1.0 / (m.centre - m.lower * previous);
            const double ck = m.upper * inv;
            c[k] = ck;
            inverse[k] = inv;
            if (ck == previous && inv == inverse[k - 1]) {
                std::fill(c.begin() + static_cast<std::ptrdiff_t>(k), c.end(), ck);
                std::fill(inverse.begin() + static_cast<std::ptrdiff_t>(k), inverse.end(), inv);
                break;
            }
            previous = ck;
        }
    }
};

// Solves the tridiagonal system of the scheme's rows m, where the nodes marked
// active instead take the row w_j = fixed_j; the first and last rows are
// w = rhs.
void solve_rows(const Row& m, const Elimination& e, const std::vector<unsigned char>& active,
                const std::vector<double>& fixed, const std::vector<double>& rhs, std::vector<double>& c,
                std::vector<double>& d, std::vector<double>& next) {
    const std::size_t n = rhs.size();
    c[0] = 0.0;
    d[0] = rhs[0];
    std::size_t k = 0;  // rows since the last pinned one
    for (std::size_t j = 1; j + 1 < n; ++j) {
        if (active[j] != 0) {
            c[j] = 0.0;
            d[j] = fixed[j];
            k = 0;
        } else {
            ++k;
            c[j] = e.c[k];
            d[j] = (rhs[j] - m.lower * d[j - 1]) * e.inverse[k];
        }
    }
    next[n - 1] = rhs[n - 1];
    for (std::size_t j = n - 1; j-- > 0;) next[j] = d[j] - c[j] * next[j + 1];
}

// Working storage of one solve, allocated once per grid.
struct Work {
    std::vector<double> rhs, fixed, c, d, next;
    Elimination elimination;
    explicit Work(std::size_t n) : rhs(n), fixed(n), c(n), d(n), next(n), elimination(n) {}
};

// Second-order treatment of the free boundary. On the continuation side the
// value meets the obstacle with zero slope, W - G = curvature/2 * (x - x_B)^2,
// and the curvature follows from the equation at the boundary:
// curvature = e^(r tau) (r - q e^x) / a. A plain complementarity solve pins
// the exercised node k next to the boundary to G, so the stencil of its free
// neighbour f sees a kink wherever x_B falls inside the cell: an O(h^2) error
// whose size swings with x_B's position in the cell, which no extrapolation
// removes. Pinning k instead to the continuation's smooth extension
// G_k + c_k u^2 / 2, u = |x_k - x_B|, makes the error smooth in h. The value
// at f is linear in that pinned value (W_f = W0_f + s * pin, s the response
// of f to a unit pin at k), so u solves the quadratic
//     W0_f - G_f + s c_k u^2 / 2 = c_f (h - u)^2 / 2,   0 <= u <= h,
// whose left side minus right side increases with u. If it has no root the
// boundary lies beyond k, and k is freed.
struct Contact {
    const std::vector<double>* spot;  // e^x at the nodes
    double r, q, a, growth, h;
    double curvature(std::size_t j) const { return growth * (r - q * (*spot)[j]) / a; }
};

// Root in [0, h] of F(u) = A + p u^2 / 2 - c (h - u)^2 / 2 given F(0) < 0 <= F(h).
double contact_distance(double A, double p, double c, double h) {
    // (p - c)/2 u^2 + c h u + (A - c h^2 / 2) = 0
    const double qa = 0.5 * (p - c);
    const double qb = c * h;
    const double qc = A - 0.5 * c * h * h;
    const double disc = std::max(qb * qb - 4.0 * qa * qc, 0.0);
    // The root where F crosses upwards; written without cancellation (qb > 0).
    const double u = (-2.0 * qc) / (qb + std::sqrt(disc));
    return std::clamp(u, 0.0, h);
}

// The response s of the free node f to a unit change of its pinned neighbour.
// The pinned node splits the system, so only the run of free nodes beyond f
// matters, and its rows are all alike: eliminating from the far end gives the
// continued fraction s = -l / (c + u * s') (l the coupling towards the pinned
// node, u away from it), which converges geometrically; a run of kPinReach
// nodes is as good as the whole line.
constexpr std::size_t kPinReach = 64;

double pin_response(const Row& m, const std::vector<unsigned char>& active, std::size_t f, bool downwards) {
    const std::size_t n = active.size();
    std::size_t run = 0;
    for (std::size_t i = f; run < kPinReach; ++run) {
        if (i == 0 || i + 1 == n || active[i] != 0) break;
        i = downwards ? i - 1 : i + 1;
    }
    const double towards = downwards ? m.upper : m.lower;
    const double away = downwards ? m.lower : m.upper;
    double s = 0.0;
    for (std::size_t i = 0; i < run; ++i) s = -towards / (m.centre + away * s);
    return s;
}

// Sets the pinned values (obstacle plus extension) for the current active
// set and solution next; frees nodes the boundary has moved past. Returns
// whether it freed any.
bool place_contacts(const Row& m, const Contact& k, std::vector<unsigned char>& active,
                    const std::vector<double>& obstacle, Work& wk) {
    const std::size_t n = obstacle.size();
    bool freed = false;
    for (std::size_t j = 1; j + 1 < n; ++j) {
        wk.fixed[j] = obstacle[j];
        if (active[j] == 0) continue;
        const bool free_below = active[j - 1] == 0 && j - 1 > 0;
        const bool free_above = active[j + 1] == 0 && j + 2 < n;
        if (free_below == free_above) continue;  // inside the region, or a lone node
        const std::size_t f = free_below ? j - 1 : j + 1;
        const double cf = k.curvature(f);
        const double cj = k.curvature(j);
        if (!(cf > 0.0) || !(cj > 0.0)) continue;
        const double A = wk.next[f] - obstacle[f];
        if (A >= 0.5 * cf * k.h * k.h) {
            active[j] = 0;
            freed = true;
            continue;
        }
        const double u = contact_distance(A, pin_response(m, active, f, free_below) * cj, cf, k.h);
        wk.fixed[j] = obstacle[j] + 0.5 * cj * u * u;
    }
    return freed;
}

// One implicit step: the rows m and right-hand side wk.rhs are set, the
// constraint w >= obstacle is solved exactly by policy iteration and the
// free boundary placed to within the cell.
void step(std::vector<double>& w, std::vector<unsigned char>& active, const std::vector<double>& obstacle,
          const Contact& contact, const Row& m, Work& wk) {
    const std::size_t n = w.size();
    std::vector<double>& next = wk.next;
    wk.elimination.set(m);
    for (int iteration = 0; iteration < kMaxPolicyIterations; ++iteration) {
        solve_rows(m, wk.elimination, active, obstacle, wk.rhs, wk.c, wk.d, next);
        bool changed = false;
        for (std::size_t j = 1; j + 1 < n; ++j) {
            bool on;
            if (active[j] != 0) {
                // Stays on the obstacle while the scheme's equation would pull
                // the value below it (residual M w - b >= 0).
                const double residual =
                    (m.centre * next[j] + m.lower * next[j - 1]) + m.upper * next[j + 1] - wk.rhs[j];
                on = residual >= 0.0;
            } else {
                on = next[j] < obstacle[j];
            }
            if (on != (active[j] != 0)) {
                active[j] = on ? 1 : 0;
                changed = true;
            }
        }
        if (!changed) break;
    }
    // The complementarity solution places the boundary to within a node; a
    // node it moved past is freed (not re-pinned by the policy, which cannot
    // see past the node) and the contacts placed again.
    for (int pass = 0; pass < kContactPasses; ++pass) {
        if (!place_contacts(m, contact, active, obstacle, wk)) break;
        solve_rows(m, wk.elimination, active, obstacle, wk.rhs, wk.c, wk.d, next);
    }
    solve_rows(m, wk.elimination, active, wk.fixed, wk.rhs, wk.c, wk.d, next);
    // Exercised nodes keep the continuation's extension where they border the
    // boundary: the next step's stencils read it. Values are read out against
    // the obstacle.
    w[0] = next[0];
    w[n - 1] = next[n - 1];
    for (std::size_t j = 1; j + 1 < n; ++j) w[j] = active[j] != 0 ? next[j] : std::max(next[j], obstacle[j]);
}

Field solve(const UnitPut& p, const Layout& g) {
    const std::size_t n = g.n();
    const double mu = drift(p);
    std::vector<double> spot(n), payoff(n), w(n), previous(n), obstacle(n);
    std::vector<unsigned char> active(n, 0);
    Work wk(n);
    for (std::size_t j = 0; j < n; ++j) {
        spot[j] = exp_clamped(g.x(j));
        payoff[j] = std::max(1.0 - spot[j], 0.0);
        w[j] = cell_payoff(g.x(j), g.h);
    }
    const double a = 0.5 * p.sigma * p.sigma;
    const double x_left = g.x(0);
    const double x_right = g.x(n - 1);
    const double alpha = fitted_diffusion(a, mu, g.h) / (g.h * g.h);
    const double beta = mu / (2.0 * g.h);
    // The spatial operator's weights of W_j-1, W_j (negated), W_j+1.
    const Row op{alpha - beta, 2.0 * alpha, alpha + beta};
    const double steps = static_cast<double>(g.steps);
    auto at = [&](std::size_t i) {
        const double u = static_cast<double>(i) / steps;
        return p.t * (u * u);
    };
    // Steps of BDF2 with variable step sizes, (1+2w)/(1+w) W^n+1 - (1+w) W^n
    // + w^2/(1+w) W^n-1 = dt L W^n+1 with w = dt_n / dt_n-1: second order and
    // L-stable, so the kinks the moving boundaries leave are damped at once
    // (Crank-Nicolson lets them ring, which spoils gamma). The first step is
    // implicit Euler in two halves.
    double last_dt = 0.0;
    auto advance = [&](double tau, double dt, bool euler) {
        const double growth = exp_clamped(p.r * tau);
        for (std::size_t j = 0; j < n; ++j) obstacle[j] = growth * payoff[j];
        double c0 = 1.0, c1 = 1.0, c2 = 0.0;
        if (!euler) {
            const double ratio = dt / last_dt;
            c0 = (1.0 + 2.0 * ratio) / (1.0 + ratio);
            c1 = 1.0 + ratio;
            c2 = ratio * ratio / (1.0 + ratio);
        }
        wk.rhs[0] = std::max(obstacle[0], heat_european(x_left + mu * tau, p.sigma, tau));
        wk.rhs[n - 1] = std::max(obstacle[n - 1], heat_european(x_right + mu * tau, p.sigma, tau));
        for (std::size_t j = 1; j + 1 < n; ++j) wk.rhs[j] = c1 * w[j] - c2 * previous[j];
        const Row m{-dt * op.lower, c0 + dt * op.centre, -dt * op.upper};
        const Contact contact{&spot, p.r, p.q, a, growth, g.h};
        previous.swap(w);
        w = previous;
        step(w, active, obstacle, contact, m, wk);
        last_dt = dt;
    };
    for (std::size_t i = 1; i <= g.steps; ++i) {
        const double t0 = at(i - 1);
        const double t1 = at(i);
        if (i == 1) {
            const double mid = 0.5 * (t0 + t1);
            advance(mid, mid - t0, true);
            advance(t1, t1 - mid, false);
        } else {
            advance(t1, t1 - t0, false);
        }
    }
    return {std::move(w), std::move(obstacle), std::move(active)};
}

// Value, first and second x-derivatives of W at the centre node (the spot) by
// central differences, and whether the node is exercised.
struct Local {
    double w, w1, w2;
    bool exercised;
};

Local read(const Field& f, const Layout& g) {
    const std::size_t j = g.below;
    const double w1 = (f.w[j + 1] - f.w[j - 1]) / (2.0 * g.h);
    const double w2 = ((f.w[j + 1] - f.w[j]) + (f.w[j - 1] - f.w[j])) / (g.h * g.h);
    // An exercised node may hold the continuation's extension (see
    // place_contacts); its value is the obstacle.
    const double w = f.active[j] != 0 ? f.obstacle[j] : f.w[j];
    return {w, w1, w2, f.active[j] != 0};
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
};

Resolution resolution(double tol) {
    const double t = std::clamp(std::isnan(tol) ? 1e-6 : tol, 1e-10, 1e-3);
    const double m = std::clamp(std::ceil(40.0 * std::pow(1e-6 / t, 0.25)), 8.0, 64.0);
    return {m, static_cast<std::size_t>(1.5 * m)};
}

// Steps for a life: W = e^(r tau) V and the obstacle change on the time
// scale 1/|r| (and 1/|q|), which the steps must resolve once the life is
// longer than a couple of those (lives of decades to centuries).
std::size_t steps_for(const UnitPut& p, const Resolution& res) {
    const double scale = std::clamp(0.5 * (std::fabs(p.r) + std::fabs(p.q)) * p.t, 1.0, 8.0);
    return static_cast<std::size_t>(std::ceil(static_cast<double>(res.steps) * scale));
}

// Unit-put value, delta and gamma in S (at S = e^x, strike 1) on one grid.
struct Reading {
    double v, dv, d2v;
    bool exercised;
};

Reading price_on(const UnitPut& p, const Layout& g) {
    const Field f = solve(p, g);
    const Local l = read(f, g);
    const double disc = exp_clamped(-p.r * p.t);
    const double s = exp_clamped(p.x);
    // V = e^(-rT) W(ln S): V_S = e^(-rT) W_x / S, V_SS = e^(-rT) (W_xx - W_x) / S^2.
    return {disc * l.w, disc * l.w1 / s, disc * (l.w2 - l.w1) / (s * s), l.exercised};
}

struct Pair {
    Layout coarse, fine;
};

Pair layouts(const UnitPut& p, double tol) {
    const Resolution res = resolution(tol);
    const double sd = p.sigma * std::sqrt(p.t);
    // The value at the spot reads the grid around where the spot drifts to.
    const double travel = drift(p) * p.t;
    const double below = std::max(-travel, 0.0);
    const double above = std::max(travel, 0.0);
    const std::size_t steps = steps_for(p, res);
    return {make_layout(p.x, below, above, sd, res.m, steps), make_layout(p.x, below, above, sd, 2.0 * res.m, 2 * steps)};
}

Reading extrapolated(const UnitPut& p, const Pair& grids) {
    const Reading a = price_on(p, grids.coarse);
    const Reading b = price_on(p, grids.fine);
    auto rich = [](double coarse, double fine) { return fine + (fine - coarse) / 3.0; };
    return {rich(a.v, b.v), rich(a.dv, b.dv), rich(a.d2v, b.d2v), a.exercised && b.exercised};
}

// Early exercise never pays a put with r <= 0 and q >= r: the European value.
bool never_exercised(double r, double q) { return r <= 0.0 && q >= r; }

struct PutInputs {
    double s, k, t, r, q, sigma;
};

PutInputs as_put(const OptionInputs& in, OptionType type) {
    if (type == OptionType::Put) return {in.s, in.k, in.t, in.r, in.q, in.sigma};
    return {in.k, in.s, in.t, in.q, in.r, in.sigma};
}

double european_put(const PutInputs& p) {
    return european_price({p.s, p.k, p.t, p.r, p.sigma, p.q}, OptionType::Put);
}

// With r > 0 whatever can happen after r T = kLongLife is worth at most
// K e^(-kLongLife) ~ 4e-18 K today, so the grid stops there; this keeps
// e^(r tau) finite for expiries of centuries.
constexpr double kLongLife = 40.0;

// The unit put the grid solves: ln S - ln K (no overflow in S/K), the life
// cut at kLongLife / r.
UnitPut unit_put(const PutInputs& p, double dr = 0.0, double dq = 0.0, double dsigma = 0.0) {
    const double r = p.r + dr;
    const double t = r > 0.0 ? std::min(p.t, kLongLife / r) : p.t;
    return {std::log(p.s) - std::log(p.k), t, r, p.q + dq, p.sigma + dsigma};
}

// A put so far out of the money that the early exercise premium is below
// e^(-kFarOut^2 / 2) of the strike: past kFarOut standard deviations (plus
// the drift over the life) above the strike. Its value is the European one.
constexpr double kFarOut = 40.0;

bool far_out_of_the_money(const PutInputs& p) {
    const UnitPut u = unit_put(p);
    const double sd = u.sigma * std::sqrt(u.t);
    return u.x - std::fabs(drift(u)) * u.t > kFarOut * sd;
}

// The put's value with delta and gamma, for sigma > 0 and t > 0 with early
// exercise possible; the value is kept within the no-arbitrage bounds
// max(intrinsic, European) <= v.
Reading grid_put(const PutInputs& p, double tol, Pair* used = nullptr) {
    const UnitPut u = unit_put(p);
    const Pair grids = layouts(u, tol);
    if (used != nullptr) *used = grids;
    Reading out = extrapolated(u, grids);
    out.v *= p.k;
    out.d2v /= p.k;
    return out;
}

double finish_price(const PutInputs& p, const Reading& r) {
    const double intrinsic = std::max(p.k - p.s, 0.0);
    if (r.exercised) return intrinsic;
    return std::max({r.v, intrinsic, european_put(p)});
}

// Below this spread of ln S over the life the volatility adds at most
// 0.4 * kNoSpread * S to the deterministic value: well inside any tol.
constexpr double kNoSpread = 1e-9;

bool deterministic(const PutInputs& p) { return p.sigma * std::sqrt(p.t) < kNoSpread; }

double put_price(const PutInputs& p, double tol) {
    if (p.t <= 0.0) return std::max(p.k - p.s, 0.0);
    if (deterministic(p)) return deterministic_american_put(p.s, p.k, p.t, p.r, p.q);
    if (never_exercised(p.r, p.q) || far_out_of_the_money(p)) return european_put(p);
    return finish_price(p, grid_put(p, tol));
}

// Relative bump of sigma and absolute bump of the rates for vega and rho:
// small enough for a central difference to be within ~1e-6 relative, large
// enough that the grids' rounding (~1e-13) stays far below the difference.
// The bumped solves reuse the unbumped grids, so the discretisation error
// nearly cancels in the difference.
constexpr double kVolBump = 1e-3;
constexpr double kRateBump = 1e-4;

double bumped(const PutInputs& p, const Pair& grids, double dsigma, double dr, double dq) {
    const UnitPut u = unit_put(p, dr, dq, dsigma);
    return p.k * extrapolated(u, grids).v;
}

// The put's Greeks in the module's units. `rate_of_strike` picks which rate
// rho differentiates: r for a put, q for a call valued as its put.
struct PutGreeks {
    double price, delta, gamma, vega, rho;
    bool exercised;
};

PutGreeks put_greeks(const PutInputs& p, double tol, bool rho_in_q) {
    const double intrinsic = std::max(p.k - p.s, 0.0);
    if (p.t <= 0.0) return {intrinsic, p.s < p.k ? -1.0 : 0.0, 0.0, 0.0, 0.0, p.s < p.k};
    if (deterministic(p) || never_exercised(p.r, p.q) || far_out_of_the_money(p)) {
        // Closed forms, differentiated by bumping the same closed forms (the
        // European one with its own Greeks where exercise never pays).
        if (!deterministic(p)) {
            const OptionInputs in{p.s, p.k, p.t, p.r, p.sigma, p.q};
            const Greeks g = black_scholes_greeks(in, OptionType::Put);
            // d/dq of the European put: S T e^(-qT) N(-d1), per 1 %.
            const double dq = -g.delta * p.s * p.t / 100.0;
            return {european_put(p), g.delta, g.gamma, g.vega, rho_in_q ? dq : g.rho, false};
        }
        auto v = [&](double s, double r, double q) { return deterministic_american_put(s, p.k, p.t, r, q); };
        const double price = v(p.s, p.r, p.q);
        const double ds = 1e-6 * p.s;
        const double delta = (v(p.s + ds, p.r, p.q) - v(p.s - ds, p.r, p.q)) / (2.0 * ds);
        const double rho = rho_in_q ? (v(p.s, p.r, p.q + kRateBump) - v(p.s, p.r, p.q - kRateBump))
                                    : (v(p.s, p.r + kRateBump, p.q) - v(p.s, p.r - kRateBump, p.q));
        // Vega without spread is one-sided: the grid at a small volatility.
        const double up = put_price({p.s, p.k, p.t, p.r, p.q, p.sigma + kVolBump}, tol);
        return {price, delta, 0.0, (up - price) / kVolBump, rho / (2.0 * kRateBump) / 100.0,
                price == intrinsic && intrinsic > 0.0};
    }
    Pair grids{};
    const Reading r = grid_put(p, tol, &grids);
    const double price = finish_price(p, r);
    if (r.exercised) return {intrinsic, -1.0, 0.0, 0.0, 0.0, true};
    const double dsigma = kVolBump * p.sigma;
    const double vega = (bumped(p, grids, dsigma, 0.0, 0.0) - bumped(p, grids, -dsigma, 0.0, 0.0)) / (2.0 * dsigma);
    const double dr = rho_in_q ? 0.0 : kRateBump;
    const double dq = rho_in_q ? kRateBump : 0.0;
    const double rho = (bumped(p, grids, 0.0, dr, dq) - bumped(p, grids, 0.0, -dr, -dq)) / (2.0 * kRateBump) / 100.0;
    return {price, r.dv, r.d2v, vega, rho, false};
}

// Theta per calendar day from the equation in the continuation region,
// Theta = r V - (r - q) S Delta - sigma^2 S^2 Gamma / 2; zero where exercised.
double theta_of(double v, double delta, double gamma, const OptionInputs& in, bool exercised) {
    if (exercised || in.t <= 0.0) return 0.0;
    // S (S Gamma), not S^2 Gamma: S^2 overflows for spots past 1e154.
    const double year = in.r * v - (in.r - in.q) * in.s * delta - 0.5 * in.sigma * in.sigma * in.s * (in.s * gamma);
    return year / 365.0;
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
    const Field f = solve(p, g);
    const std::size_t n = g.n();
    const double a = 0.5 * p.sigma * p.sigma;
    const double growth = exp_clamped(p.r * p.t);
    auto gap = [&](std::size_t j) {
        const double c = growth * (p.r - p.q * exp_clamped(g.x(j))) / a;
        const double d = f.w[j] - f.obstacle[j];
        return c > 0.0 ? std::min(std::sqrt(std::max(2.0 * d / c, 0.0)), g.h) : 0.0;
    };
    Edges e{kNaN, kNaN, false};
    // The region nearest the strike: scan down from the top for the first
    // exercised node, then on to the end of its run.
    std::size_t j = n - 1;
    while (j > 0 && f.active[j] == 0) --j;
    if (f.active[j] == 0) return e;
    e.any = true;
    if (j + 2 < n) e.upper = g.x(j + 1) - gap(j + 1);
    while (j > 0 && f.active[j] != 0) --j;
    if (j > 0) e.lower = g.x(j) + gap(j);
    return e;
}

double combine(double coarse, double fine) {
    if (std::isnan(coarse)) return fine;
    if (std::isnan(fine)) return coarse;
    return fine + (fine - coarse) / 3.0;
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
    const std::size_t steps = steps_for(p, res);
    const Edges a = edges_on(at, make_layout(centre, below, above, sd, res.m, steps));
    const Edges b = edges_on(at, make_layout(centre, below, above, sd, 2.0 * res.m, 2 * steps));
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
    auto value = [&](double u) { return k * exp_clamped(-r * u) - s * exp_clamped(-q * u); };
    double best = std::max({0.0, k - s, value(t)});
    if (r != q && r * q > 0.0) {
        const double u = std::log((r * k) / (q * s)) / (r - q);
        if (u > 0.0 && u < t) best = std::max(best, value(u));
    }
    return best;
}

double grid_american_price(const OptionInputs& in, OptionType type, double tol) {
    if (any_nan(in)) return kNaN;
    const PutInputs p = as_put(in, type);
    const double v = put_price(p, tol);
    // Only overflow gets here (a European value of inf - inf for lives of
    // millennia at rates far from zero); the value is then past the largest
    // double, like its bound K max(1, e^(-rT)).
    return std::isnan(v) ? p.k * std::max(1.0, exp_clamped(-p.r * p.t)) : v;
}

Greeks grid_american_greeks(const OptionInputs& in, OptionType type, double tol) {
    if (any_nan(in)) return {kNaN, kNaN, kNaN, kNaN, kNaN};
    const PutInputs p = as_put(in, type);
    const PutGreeks g = put_greeks(p, tol, type == OptionType::Call);
    double delta = g.delta;
    double gamma = g.gamma;
    if (type == OptionType::Call) {
        // C(S, K) = P(K, S) and P is homogeneous of degree one in (spot,
        // strike): dC/dS = dP/dk = (P - s P_s) / k, d2C/dS2 = (s/k)^2 P_ss,
        // with s = K and k = S the put's spot and strike.
        delta = (g.price - p.s * g.delta) / p.k;
        const double ratio = p.s / p.k;
        gamma = g.gamma == 0.0 ? 0.0 : ratio * (ratio * g.gamma);
    }
    return {delta, gamma, theta_of(g.price, delta, gamma, in, g.exercised), g.vega, g.rho};
}

ExerciseInterval grid_exercise_interval(double k, double t, double r, double sigma, double q, OptionType type,
                                        double tol) {
    if (std::isnan(k) || std::isnan(t) || std::isnan(r) || std::isnan(sigma) || std::isnan(q)) return {kNaN, kNaN};
    // A call's region is the put's under S -> K^2 / S with r and q swapped:
    // the put of strike S and spot K is exercised for K in [S y, S b], that is
    // for S in [K / b, K / y].
    const bool call = type == OptionType::Call;
    const UnitInterval u = call ? unit_interval(t, q, sigma, r, tol) : unit_interval(t, r, sigma, q, tol);
    if (!call) return {k * u.lower, k * u.upper};
    if (u.upper == 0.0) return {kInf, kInf};
    return {k / u.upper, u.lower == 0.0 ? kInf : k / u.lower};
}

double grid_exercise_boundary(double k, double t, double r, double sigma, double q, OptionType type, double tol) {
    const ExerciseInterval e = grid_exercise_interval(k, t, r, sigma, q, type, tol);
    return type == OptionType::Call ? e.lower : e.upper;
}

}  // namespace varnelle
