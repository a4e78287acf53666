#include "pricing/dividends/dividend_grid.hpp"

#include "pricing/core/constants.hpp"
#include "pricing/fd/tridiagonal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

namespace varnelle::dividend_grid {
namespace {


// Exponents are clamped so that absurd inputs give finite numbers.
constexpr double kMaxExponent = 700.0;
double exp_clamped(double a) { return std::exp(std::clamp(a, -kMaxExponent, kMaxExponent)); }

// Policy iteration ends in a few solves on an M-matrix; the cap only guards
// against a cycle from rounding.
constexpr int kMaxPolicyIterations = 64;

// Fewest steps in a period between two ex-dates (or an ex-date and expiry).
constexpr std::size_t kMinPeriodSteps = 2;

bool is_put(const Problem& p) { return p.type == OptionType::Put; }

double exercise_value(const Problem& p, double s) { return is_put(p) ? std::max(1.0 - s, 0.0) : std::max(s - 1.0, 0.0); }

// The payoff averaged over the cell [x - h/2, x + h/2]: the strike's kink is
// then never sampled at a point, which keeps the error smooth in h wherever
// the strike falls (on a node here, but the spot's bucket moves the grid's
// ends, not its nodes).
double cell_payoff(const Problem& p, double x, double h) {
    const double a = x - 0.5 * h;
    const double b = x + 0.5 * h;
    const double mean_exp = exp_clamped(x) * (std::sinh(0.5 * h) / (0.5 * h));
    if (is_put(p)) {
        if (a >= 0.0) return 0.0;
        if (b <= 0.0) return 1.0 - mean_exp;
        return (std::expm1(a) - a) / h;
    }
    if (b <= 0.0) return 0.0;
    if (a >= 0.0) return mean_exp - 1.0;
    return (std::expm1(b) - b) / h;
}

// Il'in-Allen-Southwell: a z coth z with z = mu h / (2 a); a (1 + z^2 / 3 + ...)
// on ordinary grids (a second-order change the extrapolation removes).
double fitted_diffusion(double a, double mu, double h) {
    const double z = mu * h / (2.0 * a);
    if (std::fabs(z) < 1e-4) return a * (1.0 + z * z / 3.0);
    return a * (z / std::tanh(z));
}

// The value right after an ex-date at a spot of zero, with tau left to expiry.
double value_at_zero(const Problem& p, double tau) {
    if (!is_put(p)) return 0.0;
    return p.american ? 1.0 : std::exp(-p.r * tau);
}

// Cubic Lagrange interpolation of v at y (in x units), inside the grid.
double interpolate(const Lattice& g, const std::vector<double>& v, double y) {
    const std::size_t n = v.size();
    const double pos = y / g.h - static_cast<double>(g.lo);
    std::ptrdiff_t i = static_cast<std::ptrdiff_t>(std::floor(pos));
    i = std::clamp<std::ptrdiff_t>(i, 1, static_cast<std::ptrdiff_t>(n) - 3);
    const double u = pos - static_cast<double>(i);
    const std::size_t k = static_cast<std::size_t>(i);
    const double um = u + 1.0, u1 = u - 1.0, u2 = u - 2.0;
    return (-(u * u1 * u2) / 6.0) * v[k - 1] + (um * u1 * u2 / 2.0) * v[k] + (-(um * u * u2) / 2.0) * v[k + 1] +
           (um * u * u1 / 6.0) * v[k + 2];
}

// One implicit step with rows m and right-hand side work.rhs; for an American
// option the constraint v >= obstacle by policy iteration.
void step(const Problem& p, const fd::TridiagonalRow& m, Workspace& w, std::vector<unsigned char>& active, std::vector<double>& v) {
    const std::size_t n = v.size();
    w.elimination.set(m);
    if (!p.american) {
        fd::solve_pinned(m, w.elimination, active, w.obstacle, w.rhs, w.c, w.d, w.next);
        v.swap(w.next);
        return;
    }
    for (int iteration = 0; iteration < kMaxPolicyIterations; ++iteration) {
        fd::solve_pinned(m, w.elimination, active, w.obstacle, w.rhs, w.c, w.d, w.next);
        bool changed = false;
        for (std::size_t j = 1; j + 1 < n; ++j) {
            bool on;
            if (active[j] != 0) {
                const double residual =
                    (m.centre * w.next[j] + m.lower * w.next[j - 1]) + m.upper * w.next[j + 1] - w.rhs[j];
                on = residual >= 0.0;
            } else {
                on = w.next[j] < w.obstacle[j];
            }
            if (on != (active[j] != 0)) {
                active[j] = on ? 1 : 0;
                changed = true;
            }
        }
        if (!changed) break;
    }
    for (std::size_t j = 0; j < n; ++j) v[j] = std::max(w.next[j], w.obstacle[j]);
}

// The ends of the grid are many standard deviations from anything that reaches
// the spot: they take the value linear in S through their two neighbours
// (from the level before the step).
double linear_end(const std::vector<double>& v, const std::vector<double>& s, std::size_t end, std::size_t a,
                  std::size_t b) {
    return v[a] + (v[b] - v[a]) * ((s[end] - s[a]) / (s[b] - s[a]));
}

// The value just after the ex-date at the spot e^x - d (before exercise).
struct Shifted {
    const Problem& p;
    const Lattice& g;
    const std::vector<double>& v;
    double d, zero, bottom;
    double operator()(double x) const {
        const double s = std::exp(x) - d;
        if (s <= 0.0) return zero;
        if (s < bottom) return zero + (v[0] - zero) * (s / bottom);
        return interpolate(g, v, std::log(s));
    }
};

// Where f changes sign in [a, b] (f(a) and f(b) of opposite signs).
template <class F>
double crossing(F&& f, double a, double b) {
    double fa = f(a);
    for (int i = 0; i < 60 && b - a > 1e-15 * (1.0 + std::fabs(a)); ++i) {
        const double m = 0.5 * (a + b);
        const double fm = f(m);
        if ((fm < 0.0) == (fa < 0.0)) {
            a = m;
            fa = fm;
        } else {
            b = m;
        }
    }
    return 0.5 * (a + b);
}

// Mean of f over [a, b] with a kink at c inside: Gauss-Legendre on each side.
template <class F>
double mean_split(F&& f, double a, double c, double b) {
    static constexpr double kX[4] = {-0.8611363115940526, -0.3399810435848563, 0.3399810435848563,
                                     0.8611363115940526};
    static constexpr double kW[4] = {0.3478548451374538, 0.6521451548625461, 0.6521451548625461,
                                     0.3478548451374538};
    double sum = 0.0;
    for (const auto& [lo, hi] : {std::pair{a, c}, std::pair{c, b}}) {
        const double mid = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
        for (int i = 0; i < 4; ++i) sum += kW[i] * half * f(mid + half * kX[i]);
    }
    return sum / (b - a);
}

// The jump at an ex-date with tau left to expiry: v(S) <- v(max(S - d, 0)),
// and the exercise value where that is more. A node whose cell holds a kink
// of the new values (where exercise starts to pay, or where the spot reaches
// zero) takes their mean over the cell, as the payoff does at expiry: the
// kink's place within the cell then leaves an error smooth in h.
void jump(const Problem& p, const Lattice& g, double d, double tau, Workspace& w, std::vector<double>& v) {
    const std::size_t n = v.size();
    const Shifted shifted{p, g, v, d, value_at_zero(p, tau), w.spot[0]};
    for (std::size_t j = 0; j < n; ++j) {
        const double value = shifted(g.x(j));
        w.shifted[j] = p.american ? std::max(value, w.obstacle[j]) : value;
        w.rhs[j] = value - w.obstacle[j];  // scratch: the gain from waiting
    }
    const auto settle = [&](double kink) {
        // The node whose cell holds the kink.
        const double pos = kink / g.h - static_cast<double>(g.lo);
        const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(std::nearbyint(pos));
        if (j <= 0 || j + 1 >= static_cast<std::ptrdiff_t>(n)) return;
        const double x = g.x(static_cast<std::size_t>(j));
        const auto f = [&](double y) {
            const double value = shifted(y);
            return p.american ? std::max(value, exercise_value(p, std::exp(y))) : value;
        };
        w.shifted[static_cast<std::size_t>(j)] = mean_split(f, x - 0.5 * g.h, kink, x + 0.5 * g.h);
    };
    if (p.american) {
        for (std::size_t j = 1; j + 2 < n; ++j) {
            if ((w.rhs[j] > 0.0) != (w.rhs[j + 1] > 0.0) && (w.spot[j] > 1.0) == (p.type == OptionType::Call)) {
                const auto gain = [&](double y) { return shifted(y) - exercise_value(p, std::exp(y)); };
                settle(crossing(gain, g.x(j), g.x(j + 1)));
            }
        }
    }
    if (p.type == OptionType::Put && d > w.spot[0]) settle(std::log(d));
    v.swap(w.shifted);
}

}  // namespace

void solve(const Problem& p, const Lattice& g, Workspace& w, Field& out) {
    const std::size_t n = g.size();
    out.lattice = g;
    out.v.resize(n);
    out.active.assign(n, 0);
    std::vector<double>& v = out.v;
    std::vector<unsigned char>& active = out.active;
    for (auto* a : {&w.spot, &w.obstacle, &w.previous, &w.shifted, &w.rhs, &w.c, &w.d, &w.next, &w.elimination.c,
                    &w.elimination.inverse}) {
        a->resize(n);
    }
    for (std::size_t j = 0; j < n; ++j) {
        const double x = g.x(j);
        w.spot[j] = exp_clamped(x);
        w.obstacle[j] = p.american ? exercise_value(p, w.spot[j]) : 0.0;
        v[j] = p.after_last != nullptr ? (*p.after_last)[j] : cell_payoff(p, x, g.h);
    }
    const double a = 0.5 * p.sigma * p.sigma;
    const double mu = (p.r - p.q) - a;
    const double alpha = fitted_diffusion(a, mu, g.h) / (g.h * g.h);
    const double beta = mu / (2.0 * g.h);

    // BDF2 with variable steps: (1+2w)/(1+w) v^n+1 - (1+w) v^n + w^2/(1+w) v^n-1
    // = dt L v^n+1, w = dt_n / dt_n-1; implicit Euler where there is no v^n-1.
    double last_dt = 0.0;
    auto advance = [&](double dt, bool euler) {
        double c0 = 1.0, c1 = 1.0, c2 = 0.0;
        if (!euler) {
            const double ratio = dt / last_dt;
            c0 = (1.0 + 2.0 * ratio) / (1.0 + ratio);
            c1 = 1.0 + ratio;
            c2 = ratio * ratio / (1.0 + ratio);
        }
        double low = linear_end(v, w.spot, 0, 1, 2);
        double high = linear_end(v, w.spot, n - 1, n - 2, n - 3);
        if (p.american) {
            low = std::max(low, w.obstacle[0]);
            high = std::max(high, w.obstacle[n - 1]);
        }
        w.rhs[0] = low;
        w.rhs[n - 1] = high;
        for (std::size_t j = 1; j + 1 < n; ++j) w.rhs[j] = c1 * v[j] - c2 * w.previous[j];
        const fd::TridiagonalRow m{-dt * (alpha - beta), c0 + dt * (2.0 * alpha + p.r), -dt * (alpha + beta)};
        w.previous = v;
        step(p, m, w, active, v);
        last_dt = dt;
    };

    // Periods in time to expiry: from expiry back to the latest ex-date, from
    // there to the one before, ..., and from the first one back to today.
    const double life = p.t;
    const double base = static_cast<double>(g.steps);
    std::size_t next_dividend = p.count;  // walked from the latest
    double tau = 0.0;
    if (p.after_last != nullptr && p.count > 0) {
        // The start values are those just before the last ex-date.
        --next_dividend;
        tau = life - p.dividends[next_dividend].time;
    }
    while (true) {
        // Ex-dates at the current tau (one on the expiry date comes first).
        while (next_dividend > 0 && life - p.dividends[next_dividend - 1].time <= tau) {
            --next_dividend;
            jump(p, g, p.dividends[next_dividend].amount, tau, w, v);
        }
        const double end = next_dividend > 0 ? life - p.dividends[next_dividend - 1].time : life;
        const double span = end - tau;
        if (span > 0.0) {
            const std::size_t steps = std::max(
                kMinPeriodSteps, static_cast<std::size_t>(std::ceil(base * std::sqrt(span / life))));
            const double count = static_cast<double>(steps);
            double at = tau;
            for (std::size_t i = 1; i <= steps; ++i) {
                const double u = static_cast<double>(i) / count;
                const double to = i == steps ? end : tau + span * (u * u);
                if (i == 1) {
                    const double mid = 0.5 * (at + to);
                    advance(mid - at, true);
                    advance(to - mid, false);
                } else {
                    advance(to - at, false);
                }
                at = to;
            }
        }
        tau = end;
        if (next_dividend == 0) break;
    }
}

namespace {

// Weights of the six-point Lagrange polynomial through nodes 0..5 (unit
// spacing) at u, for the value and its first two derivatives.
void lagrange6(double u, double* w0, double* w1, double* w2) {
    for (int i = 0; i < 6; ++i) {
        // Numerator prod_{j != i} (u - j) and its derivatives.
        double p = 1.0, dp = 0.0, d2p = 0.0;
        double denom = 1.0;
        for (int j = 0; j < 6; ++j) {
            if (j == i) continue;
            const double f = u - static_cast<double>(j);
            d2p = d2p * f + 2.0 * dp;
            dp = dp * f + p;
            p = p * f;
            denom *= static_cast<double>(i - j);
        }
        w0[i] = p / denom;
        w1[i] = dp / denom;
        w2[i] = d2p / denom;
    }
}

// The exercise value and its x-derivatives at x.
Reading exercised_reading(const Problem& p, double x) {
    const double s = std::exp(x);
    if (is_put(p)) return {std::max(1.0 - s, 0.0), -s, -s, true};
    return {std::max(s - 1.0, 0.0), s, s, true};
}

// Curvature in x of v - g where the value leaves the exercise value (zero
// value and slope there): from the pricing equation, 2 (r - q S) / sigma^2 for
// a put and 2 (q S - r) / sigma^2 for a call.
double contact_curvature(const Problem& p, double s) {
    const double c = 2.0 * (p.r - p.q * s) / (p.sigma * p.sigma);
    return is_put(p) ? c : -c;
}

}  // namespace

Reading read(const Problem& p, const Field& f, double x) {
    const Lattice& g = f.lattice;
    const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(g.size());
    const double pos = x / g.h - static_cast<double>(g.lo);
    const std::ptrdiff_t i = std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(std::floor(pos)), 2, n - 4);
    std::ptrdiff_t first = i - 2;
    bool touches = false;
    for (std::ptrdiff_t j = first; j < first + 6; ++j) touches |= f.active[static_cast<std::size_t>(j)] != 0;
    double w0[6], w1[6], w2[6];
    if (!touches) {
        lagrange6(pos - static_cast<double>(first), w0, w1, w2);
        double v = 0.0, dv = 0.0, d2v = 0.0;
        for (int k = 0; k < 6; ++k) {
            const double y = f.v[static_cast<std::size_t>(first + k)];
            v += w0[k] * y;
            dv += w1[k] * y;
            d2v += w2[k] * y;
        }
        return {v, dv / g.h, d2v / (g.h * g.h), false};
    }
    const auto on = [&](std::ptrdiff_t j) { return f.active[static_cast<std::size_t>(j)] != 0; };
    // The cell holding x: both ends exercised is the exercise region.
    if (on(i) && on(i + 1)) return exercised_reading(p, x);
    // The continuation region lies on the side of x away from the nearest
    // exercised node; walk the stencil that way until it holds free nodes only.
    std::ptrdiff_t up = 0;
    if (on(i)) {
        up = 1;
    } else if (on(i + 1)) {
        up = -1;
    } else {
        // Both ends free: the nearer exercised node of the stencil decides.
        std::ptrdiff_t below = n, above = n;
        for (std::ptrdiff_t k = 1; k <= 3; ++k) {
            if (i - k >= 0 && on(i - k) && below == n) below = k;
            if (i + 1 + k < n && on(i + 1 + k) && above == n) above = k;
        }
        up = below <= above ? 1 : -1;
    }
    // The free node next to the boundary, and the boundary from the quadratic
    // contact v - g = c/2 (x - x_B)^2.
    const std::ptrdiff_t edge = up > 0 ? (on(i) ? i + 1 : i) : (on(i + 1) ? i : i + 1);
    std::ptrdiff_t f_node = edge;
    while (f_node - up >= 0 && f_node - up < n && !on(f_node - up)) f_node -= up;
    const double xf = g.x(static_cast<std::size_t>(f_node));
    const double gap_f = f.v[static_cast<std::size_t>(f_node)] - exercise_value(p, std::exp(xf));
    const double c = contact_curvature(p, std::exp(xf));
    double reach = 0.5 * g.h;
    if (c > 0.0) reach = std::min(std::sqrt(std::max(2.0 * gap_f / c, 0.0)), g.h);
    const double x_boundary = xf - static_cast<double>(up) * reach;
    if ((x - x_boundary) * static_cast<double>(up) <= 0.0) return exercised_reading(p, x);
    first = up > 0 ? f_node : f_node - 5;
    first = std::clamp<std::ptrdiff_t>(first, 0, n - 6);
    lagrange6((x / g.h - static_cast<double>(g.lo)) - static_cast<double>(first), w0, w1, w2);
    double e = 0.0, de = 0.0, d2e = 0.0;
    for (int k = 0; k < 6; ++k) {
        const std::size_t j = static_cast<std::size_t>(first + k);
        const double y = f.v[j] - (f.active[j] != 0 ? f.v[j] : exercise_value(p, std::exp(g.x(j))));
        e += w0[k] * y;
        de += w1[k] * y;
        d2e += w2[k] * y;
    }
    const Reading base = exercised_reading(p, x);
    const double s = std::exp(x);
    // The exercise value's own derivatives where it is the smooth line through
    // the continuation region (the payoff's kink is at the strike, never at
    // the boundary).
    const double g1 = is_put(p) ? -s : s;
    return {base.v + std::max(e, 0.0), g1 + de / g.h, g1 + d2e / (g.h * g.h), false};
}

double exercise_edge(const Problem& p, const Field& f) {
    const Lattice& g = f.lattice;
    const std::size_t n = g.size();
    // Nearest the strike: for a put scan down from the strike's node, for a
    // call up.
    const std::ptrdiff_t strike = std::clamp<std::ptrdiff_t>(-g.lo, 0, static_cast<std::ptrdiff_t>(n) - 1);
    const std::ptrdiff_t dir = is_put(p) ? -1 : 1;
    std::ptrdiff_t j = strike;
    while (j >= 0 && j < static_cast<std::ptrdiff_t>(n) && f.active[static_cast<std::size_t>(j)] == 0) j += dir;
    if (j < 0 || j >= static_cast<std::ptrdiff_t>(n)) return kNaN;
    const std::ptrdiff_t free_node = j - dir;
    if (free_node < 0 || free_node >= static_cast<std::ptrdiff_t>(n)) return g.x(static_cast<std::size_t>(j));
    const double xf = g.x(static_cast<std::size_t>(free_node));
    const double gap = f.v[static_cast<std::size_t>(free_node)] - exercise_value(p, std::exp(xf));
    const double c = contact_curvature(p, std::exp(xf));
    double reach = 0.5 * g.h;
    if (c > 0.0) reach = std::min(std::sqrt(std::max(2.0 * gap / c, 0.0)), g.h);
    return xf + static_cast<double>(dir) * reach;
}

}  // namespace varnelle::dividend_grid
