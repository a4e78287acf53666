#include "pricing/dividends/dividend_grid.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

#include "pricing/core/cancellation.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/fd/tridiagonal.hpp"

namespace varnelle::dividend_grid {
namespace {

// Exponents are clamped so that absurd inputs give finite numbers.
constexpr double kMaxExponent = 700.0;
double exp_clamped(double a) { return std::exp(std::clamp(a, -kMaxExponent, kMaxExponent)); }

// Fewest steps in a period, and fewest nodes in a mesh (reading today's value
// takes six).
constexpr std::size_t kMinPeriodSteps = 2;
constexpr std::ptrdiff_t kMinNodes = 12;

// Lowest spot a mesh reaches down to, as a fraction of the lowest spot the
// diffusion alone would reach: below it the value is linear in S down to its
// value at zero (exact where a put is exercised, or for a European put, and
// for a call, worth nothing there).
constexpr double kLowestSpotFraction = 1e-3;

// The widest spacing, in units of ln S, for nodes_per_sd = 1: a period of a
// standard deviation above one still resolves the payoff's curvature.
constexpr double kWidestSpread = 1.0;

// Most pieces a cell is cut into when its data are averaged (a cell of a
// long period holding a kink only a short later period has smoothed).
constexpr std::size_t kMaxPieces = 512;

bool is_put(const Problem& p) { return p.type == OptionType::Put; }

double exercise_value(const Problem& p, double s) { return is_put(p) ? std::max(1.0 - s, 0.0) : std::max(s - 1.0, 0.0); }

// The payoff averaged over the cell [x - h/2, x + h/2] in closed form.
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

// The value at a spot of zero (which stays zero), with tau left to expiry.
double value_at_zero(const Problem& p, double tau) {
    if (!is_put(p)) return 0.0;
    return p.american ? 1.0 : std::exp(-p.r * tau);
}

// Far from the strike (and, for an American option, from where exercise
// ends as expiry nears) a dividend-free option with tau left is worth the
// forward's payoff discounted, or the exercise value where that is more: the
// last period's values past its mesh, and at its ends.
double far_value(const Problem& p, double s, double tau) {
    const double forward = s * std::exp(-p.q * tau) - std::exp(-p.r * tau);
    const double value = std::max(is_put(p) ? -forward : forward, 0.0);
    return p.american ? std::max(value, exercise_value(p, s)) : value;
}

// Cubic Lagrange interpolation of v at y (in x units), inside the mesh.
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

// The value just after an ex-date, with tau left to expiry, at a spot s (in
// units of the strike): the later period's values, or the payoff where the
// ex-date is the expiry date. Past the later mesh's ends the value is linear
// in S (to its value at zero below; through the last two nodes above), or the
// exercise value where that is more.
struct Later {
    const Problem& p;
    const Lattice* mesh;  // null: the payoff
    const std::vector<double>* v;
    double zero;
    double tau;
    bool last;  // the later period is the last one: its far field is known
    // American: the continuation's excess over the linear exercise value,
    // extended smoothly into the exercise region, and where that region
    // ends in each cell holding a boundary (see extension()).
    const std::vector<double>* excess = nullptr;
    const std::vector<double>* edge = nullptr;
    const std::vector<unsigned char>* active = nullptr;

    double inside(double x, double s) const {
        if (!p.american) return interpolate(*mesh, *v, x);
        const std::vector<unsigned char>& on = *active;
        const std::ptrdiff_t n = static_cast<std::ptrdiff_t>(on.size());
        const std::ptrdiff_t i =
            std::clamp<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(std::floor(x / mesh->h - static_cast<double>(mesh->lo))), 0, n - 2);
        const std::size_t a = static_cast<std::size_t>(i), b = a + 1;
        const double exercise = exercise_value(p, s);
        if (on[a] != 0 && on[b] != 0) return exercise;
        if (on[a] != 0 || on[b] != 0) {
            const std::size_t k = on[a] != 0 ? a : b, f = on[a] != 0 ? b : a;
            const double boundary = (*edge)[k];
            if ((x - boundary) * (mesh->x(f) - boundary) <= 0.0) return exercise;
        }
        const double linear = is_put(p) ? 1.0 - s : s - 1.0;
        return std::max(linear + interpolate(*mesh, *excess, x), exercise);
    }

    double operator()(double s) const {
        if (s <= 0.0) return zero;
        if (mesh == nullptr) return exercise_value(p, s);
        const std::vector<double>& values = *v;
        const std::size_t n = values.size();
        const double bottom = std::exp(mesh->x(0));
        if (last && (s < bottom || std::log(s) > mesh->x(n - 1))) return far_value(p, s, tau);
        double value;
        if (s < bottom) {
            value = zero + (values[0] - zero) * (s / bottom);
        } else {
            const double x = std::log(s);
            if (x > mesh->x(n - 1)) {
                const double s1 = std::exp(mesh->x(n - 2)), s2 = std::exp(mesh->x(n - 1));
                value = values[n - 1] + (values[n - 1] - values[n - 2]) * ((s - s2) / (s2 - s1));
                value = std::max(value, 0.0);
            } else {
                return inside(x, s);
            }
        }
        return p.american ? std::max(value, exercise_value(p, s)) : value;
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

// Three-point Gauss-Legendre on [a, b]: the integral.
template <class F>
double gauss3(F&& f, double a, double b) {
    constexpr double kNode = 0.7745966692414834;  // sqrt(3/5)
    const double mid = 0.5 * (a + b), half = 0.5 * (b - a);
    return half * ((5.0 / 9.0) * (f(mid - half * kNode) + f(mid + half * kNode)) + (8.0 / 9.0) * f(mid));
}

// The data of the period before an ex-date of amount d: the mean over each
// cell of its mesh of V(t-, e^y) = max(exercise value, later(e^y - d)).
void jump_data(const Problem& p, const Lattice& g, const Later& later, double d, std::vector<double>& out) {
    const std::size_t n = g.size();
    out.resize(n);
    const auto value = [&](double y) {
        const double s = std::exp(y);
        const double v = later(s - d);
        return p.american ? std::max(v, exercise_value(p, s)) : v;
    };
    const auto gain = [&](double y) {
        const double s = std::exp(y);
        return later(s - d) - exercise_value(p, s);
    };
    // Kinks at known places: where the spot reaches zero (a put's value there
    // is its value at zero, flat below), and the payoff's strike when the
    // ex-date is the expiry date.
    std::array<double, 2> fixed_kinks{};
    std::size_t fixed_count = 0;
    if (is_put(p) && d > 0.0) fixed_kinks[fixed_count++] = std::log(d);
    if (later.mesh == nullptr) fixed_kinks[fixed_count++] = std::log1p(d);
    const double h = g.h;
    for (std::size_t j = 0; j < n; ++j) {
        const double x = g.x(j);
        const double a = x - 0.5 * h;
        std::size_t pieces = 1;
        if (later.mesh != nullptr) {
            const double s = std::exp(x);
            // The later mesh's spacing seen in x here (the spot's fall
            // stretches it by (S - d) / S).
            const double stretch = s > d ? (s - d) / s : 1.0;
            const double ratio = h / (later.mesh->h * stretch);
            pieces = static_cast<std::size_t>(std::clamp(std::ceil(ratio), 1.0, static_cast<double>(kMaxPieces)));
        }
        const double width = h / static_cast<double>(pieces);
        double sum = 0.0;
        double from = a;
        double gain_from = p.american ? gain(from) : 0.0;
        for (std::size_t k = 1; k <= pieces; ++k) {
            const double to = k == pieces ? x + 0.5 * h : a + width * static_cast<double>(k);
            std::array<double, 3> cuts{};
            std::size_t count = 0;
            for (std::size_t i = 0; i < fixed_count; ++i) {
                if (fixed_kinks[i] > from && fixed_kinks[i] < to) cuts[count++] = fixed_kinks[i];
            }
            double gain_to = 0.0;
            if (p.american) {
                gain_to = gain(to);
                if ((gain_from > 0.0) != (gain_to > 0.0)) cuts[count++] = crossing(gain, from, to);
            }
            for (std::size_t i = 1; i < count; ++i) {  // at most three
                for (std::size_t m = i; m > 0 && cuts[m] < cuts[m - 1]; --m) std::swap(cuts[m], cuts[m - 1]);
            }
            double left = from;
            for (std::size_t i = 0; i < count; ++i) {
                sum += gauss3(value, left, cuts[i]);
                left = cuts[i];
            }
            sum += gauss3(value, left, to);
            from = to;
            gain_from = gain_to;
        }
        out[j] = sum / h;
    }
}

// The curvature in x of V - g where the value leaves the exercise value (zero
// value and slope there), from the pricing equation: 2 (r - q S) / sigma^2
// for a put and 2 (q S - r) / sigma^2 for a call.
double contact_curvature(const Problem& p, double s) {
    const double c = 2.0 * (p.r - p.q * s) / (p.sigma * p.sigma);
    return is_put(p) ? c : -c;
}

class Contact final : public fd::ContactCurvature {
public:
    Contact(const Problem& p, const std::vector<double>& spot) : p_(p), spot_(spot) {}
    double at(std::size_t j) const override { return contact_curvature(p_, spot_[j]); }

private:
    const Problem& p_;
    const std::vector<double>& spot_;
};

// The American values of a solved period, made smooth for interpolation
// across an ex-date: v - (the exercise value as a line in S) is smooth in the
// continuation region and meets zero with zero slope at the boundary, so
// inside the exercise region it takes the continuation's quadratic, c/2 (x -
// x_B)^2, with x_B placed from the excess the complementarity solve left on
// the exercised node next to the boundary (c/2 u^2, u its distance from x_B).
// Interpolating that is as accurate next to a boundary as anywhere, where
// interpolating the values themselves would see the jump of their second
// derivative at a place that moves within the cell with h.
void extension(const Problem& p, const Lattice& g, const std::vector<double>& v,
               const std::vector<unsigned char>& active, std::vector<double>& excess, std::vector<double>& edge) {
    const std::size_t n = v.size();
    excess.resize(n);
    edge.assign(n, kNaN);
    for (std::size_t j = 0; j < n; ++j) {
        const double s = std::exp(g.x(j));
        excess[j] = v[j] - (is_put(p) ? 1.0 - s : s - 1.0);
    }
    // The boundaries: an exercised node next to a free one.
    std::vector<std::pair<std::size_t, double>> boundaries;
    for (std::size_t k = 0; k < n; ++k) {
        if (active[k] == 0) continue;
        const bool free_below = k > 0 && active[k - 1] == 0;
        const bool free_above = k + 1 < n && active[k + 1] == 0;
        if (free_below == free_above) continue;
        const double c = contact_curvature(p, std::exp(g.x(k)));
        const double u = c > 0.0 ? std::min(std::sqrt(std::max(2.0 * excess[k] / c, 0.0)), g.h) : 0.0;
        edge[k] = g.x(k) + (free_above ? u : -u);
        boundaries.emplace_back(k, c > 0.0 ? c : 0.0);
    }
    for (std::size_t j = 0; j < n; ++j) {
        if (active[j] == 0) continue;
        double nearest = kNaN, distance = 0.0, curvature = 0.0;
        for (const auto& [k, c] : boundaries) {
            const double d = std::fabs(g.x(j) - edge[k]);
            if (std::isnan(nearest) || d < distance) {
                nearest = edge[k];
                distance = d;
                curvature = c;
            }
        }
        excess[j] = std::isnan(nearest) ? 0.0 : 0.5 * curvature * distance * distance;
    }
}

// The ends of a mesh are many standard deviations from anything that reaches
// today's spots: they take the value linear in S through their two
// neighbours (from the level before the step).
double linear_end(const std::vector<double>& v, const std::vector<double>& s, std::size_t end, std::size_t a,
                  std::size_t b) {
    return v[a] + (v[b] - v[a]) * ((s[end] - s[a]) / (s[b] - s[a]));
}

// One period on mesh g: `steps` steps over `span` from the data in v. The
// last period (from expiry) takes its ends' values from the far field: the
// values linear in S through their neighbours would lag a step behind, and
// on its mesh, narrow for a short period, that lag would reach the spot.
void march(const Problem& p, const Lattice& g, std::size_t steps, double span, bool last, Workspace& w,
           std::vector<unsigned char>& active, std::vector<double>& v) {
    const std::size_t n = g.size();
    for (auto* a : {&w.spot, &w.obstacle, &w.previous, &w.lcp.rhs, &w.lcp.fixed, &w.lcp.c, &w.lcp.d, &w.lcp.next,
                    &w.lcp.elimination.c, &w.lcp.elimination.inverse}) {
        a->resize(n);
    }
    w.none.assign(n, 0);
    active.assign(n, 0);
    for (std::size_t j = 0; j < n; ++j) {
        w.spot[j] = exp_clamped(g.x(j));
        w.obstacle[j] = p.american ? exercise_value(p, w.spot[j]) : 0.0;
    }
    const Contact contact(p, w.spot);
    const double a = 0.5 * p.sigma * p.sigma;
    const double mu = (p.r - p.q) - a;
    const double alpha = fitted_diffusion(a, mu, g.h) / (g.h * g.h);
    const double beta = mu / (2.0 * g.h);

    // BDF2 with variable steps: (1+2w)/(1+w) v^n+1 - (1+w) v^n + w^2/(1+w) v^n-1
    // = dt L v^n+1, w = dt_n / dt_n-1; implicit Euler where there is no v^n-1.
    double last_dt = 0.0;
    auto advance = [&](double tau, double dt, bool euler) {
        double c0 = 1.0, c1 = 1.0, c2 = 0.0;
        if (!euler) {
            const double ratio = dt / last_dt;
            c0 = (1.0 + 2.0 * ratio) / (1.0 + ratio);
            c1 = 1.0 + ratio;
            c2 = ratio * ratio / (1.0 + ratio);
        }
        std::vector<double>& rhs = w.lcp.rhs;
        double low = linear_end(v, w.spot, 0, 1, 2);
        double high = linear_end(v, w.spot, n - 1, n - 2, n - 3);
        if (last) {
            low = far_value(p, w.spot[0], tau);
            high = far_value(p, w.spot[n - 1], tau);
        } else if (p.american) {
            low = std::max(low, w.obstacle[0]);
            high = std::max(high, w.obstacle[n - 1]);
        }
        rhs[0] = low;
        rhs[n - 1] = high;
        for (std::size_t j = 1; j + 1 < n; ++j) rhs[j] = c1 * v[j] - c2 * w.previous[j];
        const fd::TridiagonalRow m{-dt * (alpha - beta), c0 + dt * (2.0 * alpha + p.r), -dt * (alpha + beta)};
        w.previous = v;
        if (p.american) {
            fd::solve_complementarity(m, w.obstacle, contact, g.h, active, w.lcp, v);
        } else {
            w.lcp.elimination.set(m);
            fd::solve_pinned(m, w.lcp.elimination, w.none, w.obstacle, rhs, w.lcp.c, w.lcp.d, v);
        }
        last_dt = dt;
    };

    const double count = static_cast<double>(steps);
    double at = 0.0;
    for (std::size_t i = 1; i <= steps; ++i) {
        // A thread asked to stop leaves NaN, which its caller discards.
        if (cancellation_requested()) {
            v.assign(n, kNaN);
            return;
        }
        const double u = static_cast<double>(i) / count;
        const double to = i == steps ? span : span * (u * u);
        if (i == 1) {
            const double mid = 0.5 * to;
            advance(mid, mid, true);
            advance(to, to - mid, false);
        } else {
            advance(to, to - at, false);
        }
        at = to;
    }
}

}  // namespace

Plan plan(const Problem& p, double x_low, double x_high, const Resolution& res) {
    const std::size_t periods = p.count + 1;
    Plan out;
    out.meshes.resize(periods);
    out.steps.resize(periods);
    const double life = p.t;
    const double mu = std::fabs((p.r - p.q) - 0.5 * p.sigma * p.sigma);
    const double width = res.half_width;
    double total = 0.0;
    for (std::size_t i = 0; i < p.count; ++i) total += p.dividends[i].amount;
    double paid = 0.0;
    for (std::size_t k = 0; k < periods; ++k) {
        const double start = k == 0 ? 0.0 : p.dividends[k - 1].time;
        const double end = k < p.count ? p.dividends[k].time : life;
        const double span = end - start;
        if (!(span > 0.0)) {
            out.meshes[k] = {0.0, 0, -1};
            out.steps[k] = 0;
            continue;
        }
        // The spots reachable by the period's end from today's, with what has
        // been paid by then taken off the lowest.
        const double reach_end = width * p.sigma * std::sqrt(end) + mu * end;
        double hi = x_high + reach_end;
        const double lowest = std::exp(x_low - reach_end);
        double lo = std::log(std::max(lowest - std::exp(reach_end) * paid, kLowestSpotFraction * lowest));
        // Where the value is not negligible over the rest of the life: a
        // call far below the strike is worth nothing, a put far above the
        // strike plus the dividends to come likewise.
        const double rest = life - start;
        const double reach_rest = width * p.sigma * std::sqrt(rest) + mu * rest;
        if (is_put(p)) {
            hi = std::min(hi, std::log1p(total - paid) + reach_rest);
        } else {
            lo = std::max(lo, -reach_rest);
        }
        if (k == p.count) {
            // The last period: linear in S away from the strike and from
            // where the exercise region ends at expiry (the strike, or the
            // strike times r / q when that is beyond it).
            const double reach = width * p.sigma * std::sqrt(span) + mu * span;
            double below = 0.0, above = 0.0;
            if (p.american && p.r * p.q > 0.0) {
                const double e = std::log(p.r / p.q);
                below = std::min(0.0, e);
                above = std::max(0.0, e);
            }
            lo = std::max(lo, below - reach);
            hi = std::min(hi, above + reach);
        }
        double h = std::min(p.sigma * std::sqrt(span), kWidestSpread) / res.nodes_per_sd;
        if (hi - lo < static_cast<double>(kMinNodes) * h) {
            const double centre = 0.5 * (lo + hi);
            lo = centre - 0.5 * static_cast<double>(kMinNodes) * h;
            hi = centre + 0.5 * static_cast<double>(kMinNodes) * h;
        }
        if ((hi - lo) / h > static_cast<double>(res.max_nodes)) h = (hi - lo) / static_cast<double>(res.max_nodes);
        out.meshes[k] = {h, static_cast<std::ptrdiff_t>(std::floor(lo / h)),
                         static_cast<std::ptrdiff_t>(std::ceil(hi / h))};
        out.steps[k] = std::max(kMinPeriodSteps, res.steps);
        if (k < p.count) paid += p.dividends[k].amount;
    }
    return out;
}

Plan refined(const Plan& plan) {
    Plan out = plan;
    for (std::size_t k = 0; k < out.meshes.size(); ++k) {
        Lattice& g = out.meshes[k];
        if (g.hi < g.lo) continue;
        g = {0.5 * g.h, 2 * g.lo, 2 * g.hi};
        out.steps[k] *= 2;
    }
    return out;
}

void solve(const Problem& p, const Plan& plan, Workspace& w, Field& out) {
    const std::size_t periods = p.count + 1;
    std::vector<double>& v = out.v;
    std::vector<double>& later_v = w.later;
    const Lattice* later_mesh = nullptr;  // the payoff until a period is solved
    for (std::size_t k = periods; k-- > 0;) {
        const Lattice& g = plan.meshes[k];
        const double end = k < p.count ? p.dividends[k].time : p.t;
        const double start = k == 0 ? 0.0 : p.dividends[k - 1].time;
        if (g.hi < g.lo) continue;  // an ex-date on the expiry date: its jump acts on the payoff
        if (k == p.count) {
            v.resize(g.size());
            for (std::size_t j = 0; j < g.size(); ++j) v[j] = cell_payoff(p, g.x(j), g.h);
        } else {
            const double tau = p.t - end;
            const Later later{p,   later_mesh, &later_v,          value_at_zero(p, tau), tau, k + 1 == p.count,
                              &w.excess, &w.edge, &w.later_active};
            jump_data(p, g, later, p.dividends[k].amount, v);
        }
        march(p, g, plan.steps[k], end - start, k == p.count, w, out.active, v);
        if (k > 0) {
            later_v.swap(v);
            later_mesh = &g;
            if (p.american) {
                w.later_active = out.active;
                extension(p, g, later_v, w.later_active, w.excess, w.edge);
            }
        }
    }
    out.lattice = plan.meshes[0];
    if (p.american) {
        for (std::size_t j = 0; j < v.size(); ++j) {
            if (out.active[j] != 0) v[j] = w.obstacle[j];
        }
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
