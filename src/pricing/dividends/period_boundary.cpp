#include "pricing/dividends/period_boundary.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle::dividend_integral {
namespace {

namespace na = normal_array;

// Both pieces iterate until no node moves by more than the scheme's settled
// in ln b, at most kMostSweeps times; the high piece damped (undamped, its nodes just
// above the split swing between far apart values). A boundary that does not
// settle is reported, and the row goes to the finite-difference model:
// measured on the stored rows, the unsettled ones were 1e-5 to 1e-1 off.
constexpr double kHighDamping = 0.25;
constexpr std::size_t kMostSweeps = 80;

// Chebyshev extrema (1 + cos(i pi / n)) / 2 of [0, 1] without the end at 0
// (where a put's boundary vanishes), and their barycentric weights.
struct NodeSet {
    std::size_t n = 0;
    double xi[kMaxPeriodNodes] = {}, bary[kMaxPeriodNodes] = {};
};

NodeSet make_nodes(std::size_t n) {
    NodeSet s;
    s.n = n;
    for (std::size_t i = 0; i < n; ++i) {
        s.xi[i] = 0.5 * (1.0 + std::cos(std::numbers::pi * static_cast<double>(i) / static_cast<double>(n)));
    }
    for (std::size_t i = 0; i < n; ++i) {
        double w = 1.0;
        for (std::size_t k = 0; k < n; ++k) {
            if (k != i) w *= s.xi[i] - s.xi[k];
        }
        s.bary[i] = 1.0 / w;
    }
    return s;
}

const NodeSet& nodes_of(std::size_t n) {
    static thread_local NodeSet cached;
    if (cached.n != n) cached = make_nodes(n);
    return cached;
}

double interpolate(const NodeSet& s, const double* g, double xi) { return barycentric(s.xi, s.bary, g, s.n, xi); }

// Gauss-Legendre in theta over (0, pi/2) for the elapsed time u = u0 + (u1 -
// u0) sin^2 theta: smooth at both ends where u or the remaining time behaves
// like a square root.
struct AngleRule {
    std::size_t size = 0;
    double sin[96] = {}, cos[96] = {}, w[96] = {};
};

AngleRule make_angle_rule(std::size_t size) {
    AngleRule a;
    a.size = size;
    const GaussLegendreRule rule = gauss_legendre_rule(size);
    for (std::size_t j = 0; j < size; ++j) {
        const double theta = 0.25 * std::numbers::pi * (1.0 + rule.x[j]);
        a.sin[j] = std::sin(theta);
        a.cos[j] = std::cos(theta);
        a.w[j] = 0.25 * std::numbers::pi * rule.w[j];
    }
    return a;
}

double edge_scale(bool put, double r, double tau) { return put ? -std::expm1(-r * tau) : 1.0; }

// The pieces of elapsed time over which the boundary at the remaining time
// is smooth: cut where the remaining time crosses the split.
int time_pieces(const PeriodBoundary& b, double tau, double* u0, double* u1) {
    if (b.jumps && tau > b.split) {
        u0[0] = 0.0;
        u1[0] = tau - b.split;
        u0[1] = tau - b.split;
        u1[1] = tau;
        return 2;
    }
    u0[0] = 0.0;
    u1[0] = tau;
    return 1;
}

// The integrals of the premium at (tau, S = e^x) with the boundary as it is:
// rate = int r e^(-r u) Phi(w d-) du, yield = int q e^(-q u) Phi(w d+) du
// (w = 1 for a put, -1 for a call), and the integrals of r e^(-r u) and of
// q e^(-q u) themselves (1 - e^(-r tau), 1 - e^(-q tau) up to quadrature).
struct TimeSums {
    double rate, yield, rate_total, yield_total;
};

TimeSums time_sums(const PeriodBoundary& b, double tau, double x, const AngleRule& rule) {
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    const double sign = b.put ? 1.0 : -1.0;
    double u0[2], u1[2];
    const int pieces = time_pieces(b, tau, u0, u1);
    TimeSums s{0.0, 0.0, 0.0, 0.0};
    for (int k = 0; k < pieces; ++k) {
        const double span = u1[k] - u0[k];
        for (std::size_t j = 0; j < rule.size; ++j) {
            const double u = u0[k] + span * rule.sin[j] * rule.sin[j];
            const double root_u = u0[k] == 0.0 ? std::sqrt(span) * rule.sin[j] : std::sqrt(u);
            const double vol = b.sigma * root_u;
            const double dm = ((x - std::log(b.at(tau - u))) + mu * u) / vol;
            const double area = 2.0 * span * rule.sin[j] * rule.cos[j] * rule.w[j];
            const double rw = b.r * std::exp(-b.r * u) * area, qw = b.q * std::exp(-b.q * u) * area;
            s.rate += rw * na::cdf(sign * dm);
            s.yield += qw * na::cdf(sign * (dm + vol));
            s.rate_total += rw;
            s.yield_total += qw;
        }
    }
    return s;
}

// The continuation value less the exercise value of a put at (tau, S), with
// the boundary as it is.
double put_excess(const PeriodBoundary& b, const ValueFunction& g, const AngleRule& rule, double tau, double s) {
    const double x = std::log(s);
    const TimeSums t = time_sums(b, tau, x, rule);
    const double premium = (t.rate_total - t.rate) - s * (t.yield_total - t.yield);
    return g.expect(make_move(tau, b.r, b.q, b.sigma), x, false).v + premium - (1.0 - s);
}

// The inner integrals' points of every node of a piece, fixed through the
// iteration: ln b at the remaining time of each point is a weighted sum of
// the node values of the piece it falls in (plus, in the low piece, the log
// of its scale), so a sweep needs neither logarithms nor exponentials
// besides those of Phi.
struct InnerTable {
    std::size_t nodes = 0, stride = 0;
    std::size_t count[kMaxPeriodNodes] = {};
    std::vector<double> vol, drift, rate_weight, yield_weight, log_scale, weight;
    std::vector<unsigned char> high;
};

// Weights of the nodes in the piece's interpolant at remaining time rem.
void interpolation_weights(const PeriodBoundary& b, double rem, double* w, bool& high, double& log_scale) {
    const NodeSet& s = nodes_of(b.nodes);
    std::fill(w, w + s.n, 0.0);
    high = b.jumps && rem > b.split;
    if (high) {
        log_scale = 0.0;
        const double xi = std::sqrt((rem - b.split) / (b.length - b.split));
        std::size_t i = 0;
        while (i + 1 < s.n && s.xi[i + 1] > xi) ++i;
        if (xi >= s.xi[0]) {
            w[0] = 1.0;
        } else if (i + 1 >= s.n) {
            w[s.n - 1] = 1.0;
        } else {
            const double t = (xi - s.xi[i + 1]) / (s.xi[i] - s.xi[i + 1]);
            w[i] = t;
            w[i + 1] = 1.0 - t;
        }
        return;
    }
    log_scale = std::log(edge_scale(b.put, b.r, rem));
    const double xi = std::sqrt(rem / b.length);
    double total = 0.0;
    for (std::size_t m = 0; m < s.n; ++m) {
        const double diff = xi - s.xi[m];
        if (diff == 0.0) {
            std::fill(w, w + s.n, 0.0);
            w[m] = 1.0;
            return;
        }
        w[m] = s.bary[m] / diff;
        total += w[m];
    }
    for (std::size_t m = 0; m < s.n; ++m) w[m] /= total;
}

void build_inner(const PeriodBoundary& b, const double* tau, const AngleRule& rule, InnerTable& t) {
    const std::size_t n = b.nodes;
    t.nodes = n;
    t.stride = 2 * rule.size;
    const std::size_t size = n * t.stride;
    t.vol.assign(size, 0.0);
    t.drift.assign(size, 0.0);
    t.rate_weight.assign(size, 0.0);
    t.yield_weight.assign(size, 0.0);
    t.log_scale.assign(size, 0.0);
    t.high.assign(size, 0);
    t.weight.assign(size * n, 0.0);
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    for (std::size_t i = 0; i < n; ++i) {
        double u0[2], u1[2];
        const int pieces = time_pieces(b, tau[i], u0, u1);
        std::size_t k = i * t.stride;
        for (int piece = 0; piece < pieces; ++piece) {
            const double span = u1[piece] - u0[piece];
            for (std::size_t j = 0; j < rule.size; ++j, ++k) {
                const double u = u0[piece] + span * rule.sin[j] * rule.sin[j];
                const double root_u = u0[piece] == 0.0 ? std::sqrt(span) * rule.sin[j] : std::sqrt(u);
                const double area = 2.0 * span * rule.sin[j] * rule.cos[j] * rule.w[j];
                t.vol[k] = b.sigma * root_u;
                t.drift[k] = mu * u;
                t.rate_weight[k] = b.r * std::exp(-b.r * u) * area;
                t.yield_weight[k] = b.q * std::exp(-b.q * u) * area;
                bool high = false;
                interpolation_weights(b, tau[i] - u, t.weight.data() + k * n, high, t.log_scale[k]);
                t.high[k] = high ? 1 : 0;
            }
        }
        t.count[i] = k - i * t.stride;
    }
}

TimeSums table_sums(const PeriodBoundary& b, const InnerTable& t, std::size_t i, double x) {
    const std::size_t n = t.nodes;
    const double sign = b.put ? 1.0 : -1.0;
    TimeSums s{0.0, 0.0, 0.0, 0.0};
    for (std::size_t k = i * t.stride, end = k + t.count[i]; k < end; ++k) {
        const double* w = t.weight.data() + k * n;
        const double* g = t.high[k] ? b.high : b.low;
        double log_edge = t.log_scale[k];
        for (std::size_t m = 0; m < n; ++m) log_edge += w[m] * g[m];
        const double dm = ((x - log_edge) + t.drift[k]) / t.vol[k];
        s.rate += t.rate_weight[k] * na::cdf(sign * dm);
        s.yield += t.yield_weight[k] * na::cdf(sign * (dm + t.vol[k]));
    }
    return s;
}

// One sweep of the fixed point over the nodes of a piece (every node from
// the previous sweep's boundary), damped by the given factor:
//
//   put:  b = (e^(-r tau) - A - T + N) / (e^(-q tau) + D + C)
//   call: c = (e^(-r tau) + A + T + N) / (e^(-q tau) + D - C)
//
// where E_G = A + S C + T splits the terminal function's expectation into its
// linear pieces' intercepts and slopes and its tabulated part, and N, D are
// the premium's time integrals (Phi(d) for a put, Phi(-d) for a call). With
// the payoff alone as G this is the value-matching iteration of Andersen,
// Lake and Offengenden; near an ex-date, where G is flat below the dividend,
// its denominator stays near 1. Returns the largest |ln(b_new / b_old)|
// over the nodes that count (all but `loose` nearest the piece's start).
double sweep(PeriodBoundary& b, const ValueFunction& g, const InnerTable& table, const double* tau, bool high,
             double floor, double ceiling, double damping, std::size_t loose, double* edge) {
    double next[kMaxPeriodNodes];
    for (std::size_t i = 0; i < b.nodes; ++i) {
        const double ti = tau[i], bi = edge[i], x = std::log(bi);
        const Move move = make_move(ti, b.r, b.q, b.sigma);
        const ValueFunction::Parts e = g.expect_parts(move, x);
        const TimeSums t = table_sums(b, table, i, x);
        const double dq = std::exp(-b.q * ti);
        const double target = b.put ? (move.discount - e.intercepts - e.tabulated + t.rate) / (dq + t.yield + e.slopes)
                                    : (move.discount + e.intercepts + e.tabulated + t.rate) / (dq + t.yield - e.slopes);
        double value = bi + damping * (target - bi);
        if (!(value > 0.5 * bi)) value = 0.5 * bi;
        if (!(value < 2.0 * bi)) value = 2.0 * bi;
        next[i] = std::clamp(value, floor, ceiling);
    }
    double change = 0.0;
    for (std::size_t i = 0; i < b.nodes; ++i) {
        if (i + loose < b.nodes) change = std::max(change, std::fabs(std::log(next[i] / edge[i])));
        edge[i] = next[i];
        if (high) {
            b.high[i] = std::log(edge[i]);
        } else {
            b.low[i] = std::log(edge[i] / edge_scale(b.put, b.r, tau[i]));
        }
    }
    return change;
}

}  // namespace

double PeriodBoundary::at(double tau) const {
    const NodeSet& s = nodes_of(nodes);
    if (jumps && tau > split) {
        // Piecewise linear in sqrt(tau - split): the boundary rises almost
        // vertically just above the split, where a polynomial through the
        // nodes would ring across the whole piece.
        const double xi = std::sqrt((tau - split) / (length - split));
        std::size_t i = 0;  // nodes descend from xi = 1
        while (i + 1 < s.n && s.xi[i + 1] > xi) ++i;
        if (i + 1 >= s.n || xi >= s.xi[0]) return std::exp(xi >= s.xi[0] ? high[0] : high[s.n - 1]);
        const double w = (xi - s.xi[i + 1]) / (s.xi[i] - s.xi[i + 1]);
        return std::exp(high[i + 1] + w * (high[i] - high[i + 1]));
    }
    return std::exp(interpolate(s, low, std::sqrt(tau / length))) * edge_scale(put, r, tau);
}

Expectation PeriodBoundary::premium(double x, bool derivatives) const {
    const double s = std::exp(x);
    double v = 0.0, dx = 0.0, dxx = 0.0;
    for (std::size_t k = 0; k < points; ++k) {
        const double vk = vol[k];
        const double dm = ((x - log_edge[k]) + drift[k]) / vk;
        const double dp = dm + vk;
        const double rw = rate_weight[k], qw = yield_weight[k];
        double cm, pm, cp, pp;
        na::cdf_pdf(dm, cm, pm);
        na::cdf_pdf(dp, cp, pp);
        if (put) {
            // r Phi(-d-) - q S Phi(-d+)
            v += rw * (1.0 - cm) - s * (qw * (1.0 - cp));
            if (derivatives) {
                dx += -rw * pm / vk - qw * (s * (1.0 - cp) - s * pp / vk);
                dxx += rw * dm * pm / (vk * vk) - qw * (s * (1.0 - cp) - 2.0 * s * pp / vk + s * dp * pp / (vk * vk));
            }
        } else {
            // q S Phi(d+) - r Phi(d-)
            v += s * (qw * cp) - rw * cm;
            if (derivatives) {
                dx += qw * (s * cp + s * pp / vk) - rw * pm / vk;
                dxx += qw * (s * cp + 2.0 * s * pp / vk - s * dp * pp / (vk * vk)) + rw * dm * pm / (vk * vk);
            }
        }
    }
    return {v, dx, dxx};
}

void solve_period_boundary(double length, double r, double q, double sigma, bool put, const ValueFunction& g,
                           const BoundaryScheme& scheme, double start_edge, double drop, bool warm, PeriodBoundary& b) {
    double previous[kMaxPeriodNodes];
    // (Calls start from their value at the period's end instead: started
    // from the next period's boundary, below this ex-date's exercise spot,
    // their iteration settled less often on the stored rows.)
    const bool from_previous = put && warm && b.active && b.settled && b.put == put && b.nodes == scheme.nodes;
    if (from_previous) std::copy(b.low, b.low + b.nodes, previous);
    b.active = true;
    b.put = put;
    b.length = length;
    b.r = r;
    b.q = q;
    b.sigma = sigma;
    b.nodes = scheme.nodes;
    b.jumps = false;
    b.split = length;
    const NodeSet& nodes = nodes_of(scheme.nodes);
    const AngleRule inner = make_angle_rule(scheme.inner);
    double tau[kMaxPeriodNodes], edge[kMaxPeriodNodes];
    for (std::size_t i = 0; i < scheme.nodes; ++i) {
        tau[i] = length * nodes.xi[i] * nodes.xi[i];
        // A put starts at half its size near the ex-date, a call at its
        // value at the period's end.
        edge[i] = put ? 0.5 * edge_scale(true, r, tau[i]) : start_edge;
        if (from_previous) edge[i] = std::exp(previous[i]) * edge_scale(put, r, tau[i]);
        b.low[i] = std::log(edge[i] / edge_scale(put, r, tau[i]));
    }
    // The low piece never reaches the dividend: there the region jumps.
    const double ceiling = put ? (drop > 0.0 ? drop * (1.0 - 1e-9) : 1.0) : std::numeric_limits<double>::infinity();
    InnerTable table;
    build_inner(b, tau, inner, table);
    double change = 1.0;
    for (std::size_t it = 0; it < kMostSweeps && change > scheme.settled; ++it) {
        change = sweep(b, g, table, tau, false, 0.0, ceiling, 1.0, 0, edge);
    }
    b.settled = change <= scheme.settled;

    if (put && drop > 0.0) {
        // Whether a deep put is exercised by the period's start: the
        // continuation value less the exercise value on spots between the
        // low piece and the strike. If so, the earliest time it is (the
        // split) by bisection, watching the spot where it was least.
        double spots[24];
        // Spots from a few dividends up: just above the dividend a small
        // region opens a little earlier and climbs within a fraction of a
        // day (the time the interest on the strike takes to outweigh the
        // dividend's square); its premium over that moment is far below
        // tol, and holding the region at the low piece until the deep spots
        // are exercised keeps the high piece smooth.
        // Within the spots where the terminal function is tabulated: beyond
        // them, out of reach from today, it is only a rough line.
        // (with the spread of the period as a margin).
        const double margin = std::exp(8.0 * sigma * std::sqrt(length));
        const double from = std::max(b.at(length), 3.0 * drop), top = std::min(0.999, g.top / margin);
        const std::size_t count = 24;
        std::size_t best = 0;
        double least = std::numeric_limits<double>::infinity();
        for (std::size_t k = 0; k < count; ++k) {
            spots[k] = from * std::pow(top / from, static_cast<double>(k) / static_cast<double>(count - 1));
            if (spots[k] >= g.rough_lo / margin && spots[k] <= g.rough_hi * margin) continue;
            const double e = put_excess(b, g, inner, length, spots[k]);
            if (e < least) {
                least = e;
                best = k;
            }
        }
        if (top > from && least < 0.0) {
            const auto exercised_somewhere = [&](double t) {
                double m = std::numeric_limits<double>::infinity();
                for (std::size_t k = best > 0 ? best - 1 : 0; k <= std::min(best + 1, count - 1); ++k) {
                    m = std::min(m, put_excess(b, g, inner, t, spots[k]));
                }
                return m <= 0.0;
            };
            double lo = 0.0, hi = length;
            for (int k = 0; k < 40 && hi - lo > 1e-9 * length; ++k) {
                const double mid = 0.5 * (lo + hi);
                if (exercised_somewhere(mid)) hi = mid; else lo = mid;
            }
            b.split = hi;
            // The high piece starts from the top of the region the low
            // piece's premium gives, then iterates with its own.
            double high_tau[kMaxPeriodNodes];
            bool found[kMaxPeriodNodes];
            for (std::size_t i = 0; i < scheme.nodes; ++i) {
                high_tau[i] = b.split + (length - b.split) * nodes.xi[i] * nodes.xi[i];
                const double t = high_tau[i];
                const auto excess = [&](double s) { return put_excess(b, g, inner, t, s); };
                const double a = spots[best], ea = excess(a), c = top, ec = excess(c);
                found[i] = ea < 0.0 && ec > 0.0;
                edge[i] = found[i] ? brent(excess, a, ea, c, ec, 1e-10, 60).x : a;
            }
            // Nodes so close to the split that the bisection's last step
            // hides the region take their neighbour's start.
            for (std::size_t i = 1; i < scheme.nodes; ++i) {
                if (!found[i] && found[i - 1]) {
                    edge[i] = edge[i - 1];
                    found[i] = true;
                }
            }
            b.jumps = true;
            for (std::size_t i = 0; i < scheme.nodes; ++i) b.high[i] = std::log(edge[i]);
            build_inner(b, high_tau, inner, table);
            change = 1.0;
            for (std::size_t it = 0; it < kMostSweeps && change > scheme.settled; ++it) {
                change = sweep(b, g, table, high_tau, true, spots[best], 1.0, kHighDamping, 2, edge);
            }
            b.settled = b.settled && change <= scheme.settled;
        }
    }

    // The premium integral's terms at tau = length.
    const AngleRule price = make_angle_rule(scheme.price_points);
    const double mu = r - q - 0.5 * sigma * sigma;
    double u0[2], u1[2];
    const int pieces = time_pieces(b, length, u0, u1);
    b.points = 0;
    for (int k = 0; k < pieces; ++k) {
        const double span = u1[k] - u0[k];
        for (std::size_t j = 0; j < price.size; ++j) {
            const double u = u0[k] + span * price.sin[j] * price.sin[j];
            const double root_u = u0[k] == 0.0 ? std::sqrt(span) * price.sin[j] : std::sqrt(u);
            const double area = 2.0 * span * price.sin[j] * price.cos[j] * price.w[j];
            const std::size_t m = b.points++;
            b.vol[m] = sigma * root_u;
            b.drift[m] = mu * u;
            b.log_edge[m] = std::log(b.at(length - u));
            b.rate_weight[m] = r * std::exp(-r * u) * area;
            b.yield_weight[m] = q * std::exp(-q * u) * area;
        }
    }
}

}  // namespace varnelle::dividend_integral
