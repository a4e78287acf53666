#include "pricing/dividends/period_boundary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <vector>

#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"

namespace varnelle::dividend_integral {
long g_node_newton = 0, g_node_bracket = 0, g_bracket_evals = 0, g_node_fail_slope = 0, g_node_fail_out = 0, g_node_fail_big = 0, g_node_fail_k = 0, g_flast_pos = 0;
namespace {

namespace na = normal_array;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Newton steps per piece, and the largest move of ln b one step may make (a
// longer step is shortened along its direction).
constexpr std::size_t kMostSteps = 8;
constexpr double kLongestStep = 0.25;
// A step that leaves the largest residual higher is halved this many times;
// then the iteration gives up and the piece keeps its marched start.
constexpr int kHalvings = 2;

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

// Weights of the nodes in the piece's interpolant at xi (summing to 1): the
// polynomial through all of them, or (local) the straight line between the
// two around xi, flat past either end. The local form reads, between two
// nodes, only those two: a node's premium integral then depends on itself
// and the nodes below it alone, so the march that solves the nodes from the
// shortest remaining time up solves them all at once.
void node_weights(const NodeSet& s, double xi, bool local, double* w) {
    if (local) {
        std::fill(w, w + s.n, 0.0);
        if (xi >= s.xi[0]) {
            w[0] = 1.0;
            return;
        }
        std::size_t i = 0;
        while (i + 1 < s.n && s.xi[i + 1] > xi) ++i;
        if (i + 1 >= s.n) {
            w[s.n - 1] = 1.0;
            return;
        }
        const double f = (xi - s.xi[i + 1]) / (s.xi[i] - s.xi[i + 1]);
        w[i] = f;
        w[i + 1] = 1.0 - f;
        return;
    }
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

double interpolate(const NodeSet& s, const double* g, double xi, bool local) {
    if (!local) return barycentric(s.xi, s.bary, g, s.n, xi);
    double w[kMaxPeriodNodes];
    node_weights(s, xi, true, w);
    double v = 0.0;
    for (std::size_t m = 0; m < s.n; ++m) v += w[m] * g[m];
    return v;
}

// Gauss-Legendre in theta over (0, pi/2) for the elapsed time u = u0 + (u1 -
// u0) sin^2 theta: smooth at both ends where u or the remaining time behaves
// like a square root. Built once per size.
struct AngleRule {
    std::size_t size = 0;
    double sin[kMaxPremiumPoints] = {}, cos[kMaxPremiumPoints] = {}, w[kMaxPremiumPoints] = {};
};

std::unique_ptr<AngleRule> make_angle_rule(std::size_t size) {
    auto a = std::make_unique<AngleRule>();
    a->size = size;
    const GaussLegendreRule rule = gauss_legendre_rule(size);
    for (std::size_t j = 0; j < size; ++j) {
        const double theta = 0.25 * std::numbers::pi * (1.0 + rule.x[j]);
        a->sin[j] = std::sin(theta);
        a->cos[j] = std::cos(theta);
        a->w[j] = 0.25 * std::numbers::pi * rule.w[j];
    }
    return a;
}

const AngleRule& angle_rule(std::size_t size) {
    static std::mutex mutex;
    static std::map<std::size_t, std::unique_ptr<AngleRule>> built;
    const std::lock_guard<std::mutex> lock(mutex);
    auto found = built.find(size);
    if (found == built.end()) found = built.emplace(size, make_angle_rule(size)).first;
    return *found->second;
}

double edge_scale(bool put, double r, double tau) { return put ? -std::expm1(-r * tau) : 1.0; }

// The pieces of elapsed time u over which the boundary at the remaining
// time tau - u is smooth: cut where the remaining time crosses a piece's
// edge. Returns their count, the nearest (u from 0) first.
int time_pieces(const PeriodBoundary& b, double tau, double* u0, double* u1) {
    int count = 0;
    double from = 0.0;
    for (std::size_t k = b.pieces; k-- > 1;) {
        if (b.edge[k] < tau) {
            u0[count] = from;
            u1[count] = tau - b.edge[k];
            from = u1[count];
            ++count;
        }
    }
    u0[count] = from;
    u1[count] = tau;
    return count + 1;
}

// The piece a remaining time falls in.
std::size_t piece_of(const PeriodBoundary& b, double rem) {
    std::size_t k = 0;
    while (k + 1 < b.pieces && rem > b.edge[k + 1]) ++k;
    return k;
}

// The piece's variable at a remaining time in it.
double piece_xi(const PeriodBoundary& b, std::size_t k, double rem) {
    const double f = (rem - b.edge[k]) / (b.edge[k + 1] - b.edge[k]);
    return std::sqrt(f > 0.0 ? f : 0.0);
}

// The first piece of a put holds ln(b / scale).
double log_scale_of(const PeriodBoundary& b, std::size_t k, double rem) {
    return k == 0 && b.put ? std::log(edge_scale(true, b.r, rem)) : 0.0;
}

// The inner integrals' points of every node of a piece, fixed through the
// iteration: ln b at the remaining time of each point is a weighted sum of
// the node values of the piece it falls in (plus, in the first piece of a
// put, the log of its scale), so an iteration needs neither logarithms nor
// exponentials besides those of Phi.
struct InnerTable {
    std::size_t nodes = 0, points = 0;  // nodes, points per segment of time
    // Node i's integral over elapsed time is cut in segments[i] segments
    // where the remaining time crosses a piece's edge; segment j of node i
    // (index i * kMaxPieces + j) lies in one piece, and holds `points`
    // points: sigma sqrt(u), the drift, the rate and yield weights, the
    // piece's scale, and the node weights stored node by node (weight[(seg
    // * n + m) * points + k]), so that ln b at all its points is a sum of
    // n vectors.
    std::size_t segments[kMaxPeriodNodes] = {};
    unsigned char piece[kMaxPeriodNodes * kMaxPieces] = {};
    std::vector<double> vol, drift, rate_weight, yield_weight, log_scale, weight;
};

// With weights_only, the table already holds the same nodes' points and only
// the node weights are made again (for the other form of interpolation).
void build_inner(const PeriodBoundary& b, const double* tau, const AngleRule& rule, InnerTable& t,
                 bool weights_only = false) {
    const std::size_t n = b.nodes, l = rule.size;
    const NodeSet& s = nodes_of(n);
    t.nodes = n;
    t.points = l;
    const std::size_t size = n * kMaxPieces * l;
    if (!weights_only) {
        t.vol.resize(size);
        t.drift.resize(size);
        t.rate_weight.resize(size);
        t.yield_weight.resize(size);
        t.log_scale.resize(size);
        t.weight.resize(size * n);
    }
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    double w[kMaxPeriodNodes];
    for (std::size_t i = 0; i < n; ++i) {
        double u0[kMaxPieces], u1[kMaxPieces];
        const int segments = time_pieces(b, tau[i], u0, u1);
        t.segments[i] = static_cast<std::size_t>(segments);
        for (int j = 0; j < segments; ++j) {
            const std::size_t seg = i * kMaxPieces + static_cast<std::size_t>(j);
            const double span = u1[j] - u0[j];
            const std::size_t p = piece_of(b, tau[i] - 0.5 * (u0[j] + u1[j]));
            t.piece[seg] = static_cast<unsigned char>(p);
            for (std::size_t k = 0; k < l; ++k) {
                const std::size_t at = seg * l + k;
                const double u = u0[j] + span * rule.sin[k] * rule.sin[k];
                const double rem = tau[i] - u;
                node_weights(s, piece_xi(b, p, rem), b.local[p], w);
                for (std::size_t m = 0; m < n; ++m) t.weight[(seg * n + m) * l + k] = w[m];
                if (weights_only) continue;
                const double root_u = u0[j] == 0.0 ? std::sqrt(span) * rule.sin[k] : std::sqrt(u);
                const double area = 2.0 * span * rule.sin[k] * rule.cos[k] * rule.w[k];
                t.vol[at] = b.sigma * root_u;
                t.drift[at] = mu * u;
                t.rate_weight[at] = b.r * std::exp(-b.r * u) * area;
                t.yield_weight[at] = b.q == 0.0 ? 0.0 : b.q * std::exp(-b.q * u) * area;
                t.log_scale[at] = log_scale_of(b, p, rem);
            }
        }
    }
}

// A piece being solved: its index, its nodes' remaining times, and the
// bounds of ln b.
struct Piece {
    std::size_t index;
    const double* tau;
    double floor, ceiling;  // in ln b
};

// The representation's value of node i of the piece, from x = ln b.
double represented(const PeriodBoundary& b, const Piece& piece, std::size_t i, double x) {
    return x - log_scale_of(b, piece.index, piece.tau[i]);
}

// Stores the node values x = ln b of the piece being solved in its
// representation.
void store(PeriodBoundary& b, const Piece& piece, const double* x) {
    for (std::size_t i = 0; i < b.nodes; ++i) b.value[piece.index][i] = represented(b, piece, i, x[i]);
}

// The value-matching residuals R_i = U(tau_i, b_i) - payoff(b_i) of the
// piece's nodes first .. last - 1, with the boundary as stored, and (when
// jacobian is given) their derivatives in ln b_j, row-major:
//
//   dR_i/dx_j = [i = j] (dE_G/dx + S A - sum_k c_k) + sum_k c_k W_kj
//
// with W_kj the weight of node j at inner point k, c_k = (r w_k phi(d-) - S
// q w_k phi(d+)) / v the premium's derivative in ln b there, and A = e^(-q
// tau) + q int e^(-q u) Phi(d+) (put) or q int e^(-q u) Phi(d+) - 1 (call).
// (The diagonal's first term is the derivative in the spot with the boundary
// held, U's slope less the payoff's, which smooth pasting makes vanish at
// the exact boundary.)
// One segment's sums: ln b at its points from the node values, d-, and the
// rate and yield integrals with Phi (and phi, for the Jacobian). Loops over
// the points, each of which vectorises; every sum runs over the points in
// order, so the clones give the same bits.
[[gnu::target_clones("avx2", "default")]] void segment_sums(const InnerTable& t, std::size_t seg, const double* values,
                                                            double x, double s, bool yield_terms, double* sums,
                                                            double* c) {
    const std::size_t n = t.nodes, l = t.points, base = seg * l;
    const double* __restrict vol = t.vol.data() + base;
    const double* __restrict drift = t.drift.data() + base;
    const double* __restrict rw = t.rate_weight.data() + base;
    const double* __restrict qw = t.yield_weight.data() + base;
    double d[kMaxPremiumPoints], cm[kMaxPremiumPoints], cp[kMaxPremiumPoints];
    for (std::size_t k = 0; k < l; ++k) d[k] = t.log_scale[base + k];
    for (std::size_t m = 0; m < n; ++m) {
        const double* __restrict wm = t.weight.data() + (seg * n + m) * l;
        const double vm = values[m];
        for (std::size_t k = 0; k < l; ++k) d[k] += wm[k] * vm;
    }
    for (std::size_t k = 0; k < l; ++k) d[k] = ((x - d[k]) + drift[k]) / vol[k];
    if (c == nullptr) {
        for (std::size_t k = 0; k < l; ++k) cm[k] = na::cdf(d[k]);
        double rate = 0.0, yield = 0.0;
        for (std::size_t k = 0; k < l; ++k) rate += rw[k] * cm[k];
        if (yield_terms) {
            for (std::size_t k = 0; k < l; ++k) cp[k] = na::cdf(d[k] + vol[k]);
            for (std::size_t k = 0; k < l; ++k) yield += qw[k] * cp[k];
        }
        sums[0] += rate;
        sums[1] += yield;
        return;
    }
    double pm[kMaxPremiumPoints], pp[kMaxPremiumPoints];
    for (std::size_t k = 0; k < l; ++k) na::cdf_pdf(d[k], cm[k], pm[k]);
    for (std::size_t k = 0; k < l; ++k) na::cdf_pdf(d[k] + vol[k], cp[k], pp[k]);
    for (std::size_t k = 0; k < l; ++k) c[k] = (rw[k] * pm[k] - s * (qw[k] * pp[k])) / vol[k];
    double rate = 0.0, yield = 0.0, slope = 0.0;
    for (std::size_t k = 0; k < l; ++k) {
        rate += rw[k] * cm[k];
        yield += qw[k] * cp[k];
        slope += c[k];
    }
    sums[0] += rate;
    sums[1] += yield;
    sums[2] += slope;
}

// The value-matching residuals R_i = U(tau_i, b_i) - payoff(b_i) of the
// piece's nodes first .. last - 1, with the boundary as stored, and (when
// jacobian is given) their derivatives in ln b_j, row-major:
//
//   dR_i/dx_j = [i = j] (dE_G/dx + S A - sum_k c_k) + sum_k c_k W_kj
//
// with W_kj the weight of node j at inner point k, c_k = (r w_k phi(d-) - S
// q w_k phi(d+)) / v the premium's derivative in ln b there, and A = e^(-q
// tau) + q int e^(-q u) Phi(d+) (put) or q int e^(-q u) Phi(d+) - 1 (call).
// (The diagonal's first term is the derivative in the spot with the boundary
// held, U's slope less the payoff's, which smooth pasting makes vanish at
// the exact boundary.)
void residuals(const PeriodBoundary& b, const ValueFunction& g, const InnerTable& t, const Piece& piece,
               const double* x, double* residual, double* jacobian, std::size_t first, std::size_t last) {
    const std::size_t n = b.nodes, l = t.points;
    if (jacobian != nullptr) std::fill(jacobian, jacobian + n * n, 0.0);
    double c[kMaxPremiumPoints];
    for (std::size_t i = first; i < last; ++i) {
        const double tau = piece.tau[i], s = std::exp(x[i]);
        const Move move = make_move(tau, b.r, b.q, b.sigma);
        const Expectation e = g.expect(move, x[i], jacobian != nullptr);
        double sums[3] = {0.0, 0.0, 0.0};  // rate, yield, slope
        double* row = jacobian != nullptr ? jacobian + i * n : nullptr;
        for (std::size_t j = 0; j < t.segments[i]; ++j) {
            const std::size_t seg = i * kMaxPieces + j;
            segment_sums(t, seg, b.value[t.piece[seg]], x[i], s, b.q != 0.0 || row != nullptr, sums,
                         row != nullptr ? c : nullptr);
            if (row != nullptr && t.piece[seg] == piece.index) {
                for (std::size_t m = 0; m < n; ++m) {
                    const double* wm = t.weight.data() + (seg * n + m) * l;
                    double acc = 0.0;
                    for (std::size_t k = 0; k < l; ++k) acc += c[k] * wm[k];
                    row[m] += acc;
                }
            }
        }
        const double rate = sums[0], yield = sums[1], slope = sums[2];
        double a;
        if (b.put) {
            // Phi(d) in place of Phi(-d): the integrals of r e^(-r u) and q
            // e^(-q u) are 1 - e^(-r tau) and 1 - e^(-q tau).
            const double dq = std::exp(-b.q * tau);
            residual[i] = ((e.v - move.discount) - rate) + s * (dq + yield);
            a = dq + yield;
        } else {
            residual[i] = ((e.v + s * yield) - rate) - (s - 1.0);
            a = yield - 1.0;
        }
        if (row != nullptr) row[i] += (e.dx + s * a) - slope;
    }
}

// Solves a x = y in place (a row-major n x n, destroyed) by Gaussian
// elimination with partial pivoting. False when a is singular.
bool solve_linear(double* a, double* y, std::size_t n) {
    for (std::size_t c = 0; c < n; ++c) {
        std::size_t p = c;
        for (std::size_t i = c + 1; i < n; ++i) {
            if (std::fabs(a[i * n + c]) > std::fabs(a[p * n + c])) p = i;
        }
        if (!(std::fabs(a[p * n + c]) > 0.0)) return false;
        if (p != c) {
            for (std::size_t j = 0; j < n; ++j) std::swap(a[c * n + j], a[p * n + j]);
            std::swap(y[c], y[p]);
        }
        for (std::size_t i = c + 1; i < n; ++i) {
            const double f = a[i * n + c] / a[c * n + c];
            if (f == 0.0) continue;
            for (std::size_t j = c; j < n; ++j) a[i * n + j] -= f * a[c * n + j];
            y[i] -= f * y[c];
        }
    }
    for (std::size_t c = n; c-- > 0;) {
        double v = y[c];
        for (std::size_t j = c + 1; j < n; ++j) v -= a[c * n + j] * y[j];
        y[c] = v / a[c * n + c];
    }
    return true;
}

// The zero of f in [lo, hi] (f(lo) < 0 < f(hi)) to 1e-10 in ln b, or to
// |f| <= settle, by regula
// falsi in Illinois form with a bisection whenever a step leaves more than
// half the bracket: past the boundary the residual stays small over a wide
// range of spots, where secant steps alone crawl.
template <class F>
double bracketed_zero(F&& f, double lo, double f_lo, double hi, double f_hi, double settle = 0.0) {
    int kept = 0;
    for (int k = 0; k < 100 && hi - lo > 1e-10; ++k) {
        const double width = hi - lo;
        double y = hi - f_hi * (hi - lo) / (f_hi - f_lo);
        if (!(y > lo && y < hi)) y = 0.5 * (lo + hi);
        const double fy = f(y);
        if (std::fabs(fy) <= settle) return y;
        if (fy > 0.0) {
            hi = y;
            f_hi = fy;
            if (kept == -1) f_lo *= 0.5;
            kept = -1;
        } else {
            lo = y;
            f_lo = fy;
            if (kept == 1) f_hi *= 0.5;
            kept = 1;
        }
        if (hi - lo > 0.5 * width) {
            const double mid = 0.5 * (lo + hi);
            const double fm = f(mid);
            if (std::fabs(fm) <= settle) return mid;
            if (fm > 0.0) {
                hi = mid;
                f_hi = fm;
            } else {
                lo = mid;
                f_lo = fm;
            }
            kept = 0;
        }
    }
    return std::fabs(f_lo) < std::fabs(f_hi) ? lo : hi;
}

// The piece's nodes from the shortest remaining time to the longest, each
// solving its own value matching, with the boundary between nodes a straight
// line (so a node's premium reads only the nodes already solved; those not
// yet solved are held at the last one's representation).
//
// The residual read at a spot inside the exercise region of shorter
// remaining times carries the quadrature's noise (the boundary of those
// times crosses the spot, and the indicator of the region steps there
// between quadrature points). A boundary most often rises with the remaining
// time (a put's and a call's alike), so a node is sought above the last one,
// where no such crossing is: Newton steps from a guess extrapolated from the
// last two nodes, kept above the last, and where they do not settle a
// bracket widened from the last node up. Only where the residual at the last
// node already lies above the boundary is the node sought below it. Where
// the residual keeps one sign up to a bound, the node stays at that bound.
// The result satisfies value matching at every node with that interpolation.
void march(PeriodBoundary& b, const ValueFunction& g, const InnerTable& t, const Piece& piece, double target,
           double* x) {
    const std::size_t n = b.nodes;
    double residual[kMaxPeriodNodes], jacobian[kMaxPeriodNodes * kMaxPeriodNodes];
    // F = up R is negative below the boundary and positive above it: a
    // put's residual rises through its boundary, a call's falls.
    const double up = b.put ? 1.0 : -1.0;
    const auto inside = [&](double y) { return std::clamp(y, piece.floor, piece.ceiling); };
    for (std::size_t i = n; i-- > 0;) {
        const auto F = [&](double y, double* slope) {
            x[i] = y;
            store(b, piece, x);
            residuals(b, g, t, piece, x, residual, slope != nullptr ? jacobian : nullptr, i, i + 1);
            if (slope != nullptr) *slope = up * jacobian[i * n + i];
            return up * residual[i];
        };
        double guess = x[i], last = piece.floor;
        if (i + 1 < n) {
            last = x[i + 1];
            const double v = represented(b, piece, i + 1, last);
            for (std::size_t j = 0; j <= i; ++j) x[j] = inside(v + (x[j] - represented(b, piece, j, x[j])));
            guess = x[i];
            if (i + 2 < n) guess = inside(guess + (v - represented(b, piece, i + 2, x[i + 2])));
        }
        // Newton's steps from the guess, kept above the last node.
        bool settled = false, inward = false;
        {
            double lo = i + 1 < n ? last : piece.floor, hi = piece.ceiling, y = std::max(guess, lo);
            for (int k = 0; k < 6; ++k) {
                double slope;
                const double fy = F(y, &slope);
                if (std::fabs(fy) <= 0.1 * target) {
                    settled = true;
                    break;
                }
                if (fy > 0.0) hi = y; else lo = y;
                if (!(slope > 0.0)) break;
                const double next = y - std::clamp(fy / slope, -0.1, 0.1);
                if (!(next > lo && next < hi)) {
                    // Below the last node: the boundary may have moved
                    // inwards, which the bracket below settles.
                    inward = fy > 0.0 && y == lo;
                    break;
                }
                if (std::fabs(next - y) <= 1e-10) {
                    settled = true;
                    break;
                }
                y = next;
            }
            if (settled) {
                x[i] = y;
                continue;
            }
        }
        (void)inward;
        // A bracket widened from the last node towards the boundary (or from
        // the start for the first node).
        if (i + 1 == n) last = inside(guess);
        const double f_last = F(last, nullptr);
        const double dir = f_last < 0.0 ? 1.0 : -1.0;
        double a = last, f_a = f_last;
        double c = a, f_c = f_a;
        bool found = false;
        for (int k = 0; k < 20; ++k) {
            c = inside(a + dir * 0.0625 * static_cast<double>(1 << std::min(k, 6)));
            f_c = F(c, nullptr);
            if ((f_c > 0.0) != (f_a > 0.0)) {
                found = true;
                break;
            }
            if (c == a) break;
            a = c;
            f_a = f_c;
        }
        if (!found) {
            x[i] = c;  // the region reaches the bound, or does not start before it
            continue;
        }
        const auto G = [&](double y) { return F(y, nullptr); };
        x[i] = a < c ? bracketed_zero(G, a, f_a, c, f_c, 0.1 * target) : bracketed_zero(G, c, f_c, a, f_a, 0.1 * target);
    }
    store(b, piece, x);
}

// The largest |residual| over the nodes not held at a bound.
double largest_of(const PeriodBoundary& b, const Piece& piece, const double* x, const double* residual) {
    double largest = 0.0;
    for (std::size_t i = 0; i < b.nodes; ++i) {
        if (x[i] <= piece.floor || x[i] >= piece.ceiling) continue;
        largest = std::max(largest, std::fabs(residual[i]));
    }
    return largest;
}

// Newton's method on value matching at the nodes with the piece's polynomial,
// from x (ln b), each step shortened to at most kLongestStep in ln b, kept
// inside the bounds, and halved while it leaves the largest residual higher.
// True when the largest residual reaches target.
bool newton(PeriodBoundary& b, const ValueFunction& g, const InnerTable& t, const Piece& piece, double target,
            double* x, std::size_t& steps) {
    const std::size_t n = b.nodes;
    double residual[kMaxPeriodNodes], jacobian[kMaxPeriodNodes * kMaxPeriodNodes];
    double trial[kMaxPeriodNodes], trial_residual[kMaxPeriodNodes], step[kMaxPeriodNodes];
    store(b, piece, x);
    residuals(b, g, t, piece, x, residual, jacobian, 0, n);
    double largest = largest_of(b, piece, x, residual);
    for (std::size_t k = 0; largest > target; ++k) {
        if (k == kMostSteps) return false;
        ++steps;
        for (std::size_t i = 0; i < n; ++i) step[i] = -residual[i];
        if (!solve_linear(jacobian, step, n)) return false;
        double longest = 0.0;
        for (std::size_t i = 0; i < n; ++i) longest = std::max(longest, std::fabs(step[i]));
        if (!std::isfinite(longest)) return false;
        double scale = longest > kLongestStep ? kLongestStep / longest : 1.0;
        bool better = false;
        for (int halving = 0; halving <= kHalvings && !better; ++halving, scale *= 0.5) {
            for (std::size_t i = 0; i < n; ++i) {
                trial[i] = std::clamp(x[i] + scale * step[i], piece.floor, piece.ceiling);
            }
            store(b, piece, trial);
            residuals(b, g, t, piece, trial, trial_residual, nullptr, 0, n);
            better = largest_of(b, piece, trial, trial_residual) < largest;
        }
        if (!better) return false;
        std::copy(trial, trial + n, x);
        store(b, piece, x);
        residuals(b, g, t, piece, x, residual, jacobian, 0, n);
        largest = largest_of(b, piece, x, residual);
    }
    return true;
}

// Sets the nodes' remaining times of piece k.
void node_times(const PeriodBoundary& b, std::size_t k, double* tau) {
    const NodeSet& s = nodes_of(b.nodes);
    const double from = b.edge[k], span = b.edge[k + 1] - b.edge[k];
    for (std::size_t i = 0; i < b.nodes; ++i) tau[i] = from + span * s.xi[i] * s.xi[i];
}

// Solves piece k from x: the march with straight lines between nodes, then
// (when the scheme polishes) Newton's method with the piece's polynomial. Where
// Newton's method does not settle (a piece whose boundary is too steep for its
// polynomial, which happens far below the strike where a put's boundary climbs
// from the dividend towards the sweep), the piece keeps the marched nodes and
// their straight lines. With warm (ln b at the nodes in a nearby problem),
// Newton's method is tried from there first, and the march only if it fails.
void solve_piece(PeriodBoundary& b, const ValueFunction& g, const BoundaryScheme& scheme, const AngleRule& inner,
                 std::size_t k, double floor, double ceiling, double* x, double* warm) {
    double tau[kMaxPeriodNodes];
    node_times(b, k, tau);
    const Piece piece{k, tau, floor, ceiling};
    // Kept from piece to piece: its vectors keep their size, so they are not
    // cleared (zero-filled) again for every piece.
    static thread_local InnerTable table;
    if (warm != nullptr) {
        b.local[k] = false;
        build_inner(b, tau, inner, table);
        if (newton(b, g, table, piece, scheme.residual, warm, b.iterations)) return;
    }
    for (std::size_t i = 0; i < b.nodes; ++i) x[i] = std::clamp(x[i], floor, ceiling);
    b.local[k] = true;
    build_inner(b, tau, inner, table);
    march(b, g, table, piece, scheme.residual, x);
    double marched[kMaxPeriodNodes];
    std::copy(x, x + b.nodes, marched);
    if (!scheme.polish) return;
    b.local[k] = false;
    build_inner(b, tau, inner, table, true);
    if (!newton(b, g, table, piece, scheme.residual, x, b.iterations)) {
        b.local[k] = true;
        store(b, piece, marched);
    }
}

}  // namespace

double PeriodBoundary::at(double tau) const {
    const NodeSet& s = nodes_of(nodes);
    const std::size_t k = piece_of(*this, tau);
    return std::exp(interpolate(s, value[k], piece_xi(*this, k, tau), local[k]) + log_scale_of(*this, k, tau));
}

namespace {

// The premium's value at spot e^x: sum over the points of r w Phi(-+d-) and
// q w S Phi(-+d+), the signs a put's (the region below) or a call's.
[[gnu::target_clones("avx2", "default")]] double premium_value(const PeriodBoundary& b, double x) {
    const std::size_t n = b.points;
    const double sign = b.put ? -1.0 : 1.0;
    double c[kMaxPremiumPoints];
    for (std::size_t k = 0; k < n; ++k) c[k] = na::cdf(sign * (((x - b.log_edge[k]) + b.drift[k]) / b.vol[k]));
    double rate = 0.0;
    for (std::size_t k = 0; k < n; ++k) rate += b.rate_weight[k] * c[k];
    if (b.q == 0.0) return b.put ? rate : -rate;
    for (std::size_t k = 0; k < n; ++k) {
        c[k] = na::cdf(sign * (((x - b.log_edge[k]) + b.drift[k]) / b.vol[k] + b.vol[k]));
    }
    double yield = 0.0;
    for (std::size_t k = 0; k < n; ++k) yield += b.yield_weight[k] * c[k];
    const double s = std::exp(x);
    return b.put ? rate - s * yield : s * yield - rate;
}

}  // namespace

Expectation PeriodBoundary::premium(double x, bool derivatives) const {
    const double s = std::exp(x);
    double v = 0.0, dx = 0.0, dxx = 0.0;
    if (!derivatives) return {premium_value(*this, x), 0.0, 0.0};
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
            dx += -rw * pm / vk - qw * (s * (1.0 - cp) - s * pp / vk);
            dxx += rw * dm * pm / (vk * vk) - qw * (s * (1.0 - cp) - 2.0 * s * pp / vk + s * dp * pp / (vk * vk));
        } else {
            // q S Phi(d+) - r Phi(d-)
            v += s * (qw * cp) - rw * cm;
            dx += qw * (s * cp + s * pp / vk) - rw * pm / vk;
            dxx += qw * (s * cp + 2.0 * s * pp / vk - s * dp * pp / (vk * vk)) + rw * dm * pm / (vk * vk);
        }
    }
    return {v, dx, dxx};
}

void solve_period_boundary(double length, double r, double q, double sigma, bool put, const ValueFunction& g,
                           const BoundaryScheme& scheme, double start_edge, double drop, PeriodBoundary& b,
                           const PeriodBoundary* warm) {
    const std::size_t n = scheme.nodes;
    b.active = true;
    b.put = put;
    b.length = length;
    b.r = r;
    b.q = q;
    b.sigma = sigma;
    b.nodes = n;
    b.pieces = 1;
    b.edge[0] = 0.0;
    b.edge[1] = length;
    b.iterations = 0;
    std::fill(b.local, b.local + kMaxPieces, false);
    const AngleRule& inner = angle_rule(scheme.inner);

    // Where a put's region sweeps through the deep spots. It crosses their
    // middle, sqrt(dividend) (strike 1), at the remaining time when the
    // continuation value there falls to the exercise value: the first cut.
    // Without a yield the sweep is over within a tiny part of the period
    // (above the cut the boundary climbs like the logarithm of the time
    // since it), which the piece above the cut holds well on its own. With
    // a yield it lasts days, rising about linearly while the yield on the
    // spot holds it back, and ends in a knee where the strike's time value
    // takes over: a second cut gives the sweep its own piece, where the
    // boundary without further exercise in the period (continuation value
    // E_G alone) reaches a standard deviation of the period below its level
    // at the period's start. (The premium, at those spots far above the
    // first piece's boundary, moves these times by far less than the sweep
    // takes: the pieces need only contain it.)
    double mid = 1.0, knee = 1.0;
    if (put && drop > 0.0 && drop < 1.0) {
        mid = std::sqrt(drop);
        const auto excess = [&](double t, double spot) {
            return g.expect(make_move(t, r, q, sigma), std::log(spot), false).v - (1.0 - spot);
        };
        const double at_start = excess(length, mid);
        if (at_start < 0.0) {
            const auto f = [&](double t) { return -excess(t, mid); };
            const double split = bracketed_zero(f, 0.0, -drop, length, -at_start);
            // The top of the region at the period's start without the
            // premium, between mid and the strike, a standard deviation of
            // the period below it.
            const auto top = [&](double y) { return excess(length, std::exp(y)); };
            const double edge = std::exp(bracketed_zero(top, std::log(mid), at_start, 0.0, excess(length, 1.0)));
            knee = std::max(mid, edge * std::exp(-sigma * std::sqrt(length)));
            double sweep_end = split;
            if (knee > mid) {
                const double at_knee = excess(length, knee);
                if (at_knee < 0.0) {
                    const auto k = [&](double t) { return -excess(t, knee); };
                    sweep_end = bracketed_zero(k, split, -excess(split, knee), length, -at_knee);
                }
            }
            b.pieces = 2;
            b.edge[1] = split;
            b.edge[2] = length;
            if (q > 0.0 && sweep_end > split * (1.0 + 1e-9) && sweep_end < length * (1.0 - 1e-6)) {
                b.pieces = 3;
                b.edge[2] = sweep_end;
                b.edge[3] = length;
            } else {
                knee = mid;
            }
        }
    }

    double x[kMaxPeriodNodes];
    const NodeSet& nodes = nodes_of(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double tau = b.edge[1] * nodes.xi[i] * nodes.xi[i];
        x[i] = put ? std::log(0.9 * edge_scale(true, r, tau)) : std::log(start_edge);
    }
    // A call is exercised within a period only where the yield on the spot
    // outweighs the interest on the strike, above max(1, r / q).
    const double low_floor = put ? std::log(1e-300) : std::log(std::max(1.0, r / q));
    const double low_ceiling = put ? std::log(mid) : std::log(1e6);
    // From the warm boundary's piece where it has the same pieces and that
    // piece its polynomial, else (or where that does not settle) marched.
    // (A marched boundary, where the scheme does not polish, is marched
    // again: a march from the warm nodes saves little and moves the
    // bumped values by more than the march's own settling.)
    const bool warmed = warm != nullptr && scheme.polish && warm->active && warm->put == put &&
                        warm->nodes == n && warm->pieces == b.pieces;
    const auto solve = [&](std::size_t k, double floor, double ceiling, double* start) {
        double y[kMaxPeriodNodes];
        const bool from_warm = warmed && !warm->local[k];
        if (from_warm) {
            double tau[kMaxPeriodNodes];
            node_times(b, k, tau);
            for (std::size_t i = 0; i < n; ++i) {
                y[i] = std::clamp(warm->value[k][i] + log_scale_of(b, k, tau[i]), floor, ceiling);
            }
        }
        solve_piece(b, g, scheme, inner, k, floor, ceiling, start, from_warm ? y : nullptr);
    };
    solve(0, low_floor, low_ceiling, x);
    if (b.pieces == 3) {
        for (std::size_t i = 0; i < n; ++i) x[i] = std::log(mid);
        solve(1, std::log(mid), std::log(knee), x);
    }
    if (b.pieces >= 2) {
        for (std::size_t i = 0; i < n; ++i) x[i] = std::log(knee);
        solve(b.pieces - 1, std::log(knee), 0.0, x);
    }

    // The premium integral's terms at tau = length.
    const AngleRule& price = angle_rule(scheme.price_points);
    const double mu = r - q - 0.5 * sigma * sigma;
    double u0[kMaxPieces], u1[kMaxPieces];
    const int pieces = time_pieces(b, length, u0, u1);
    b.points = 0;
    double lowest = kInf, highest = -kInf;
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
            lowest = std::min(lowest, b.log_edge[m]);
            highest = std::max(highest, b.log_edge[m]);
        }
    }
    // Past 8.5 standard deviations of the period and its drift beyond the
    // boundary, every Phi of the premium is below 1e-17.
    const double reach = 8.5 * sigma * std::sqrt(length) + std::fabs(mu) * length;
    b.premium_reach = put ? std::exp(highest + reach) : std::exp(lowest - reach);
}

}  // namespace varnelle::dividend_integral
