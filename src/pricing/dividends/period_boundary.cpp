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
namespace {

namespace na = normal_array;

constexpr double kInf = std::numeric_limits<double>::infinity();

// Newton steps per piece, and the largest move of ln b one step may make (a
// longer step is shortened along its direction).
constexpr std::size_t kMostSteps = 8;
constexpr double kLongestStep = 0.25;
// A step that leaves the largest residual higher is halved this many times;
// then the iteration gives up and the piece keeps its marched start.
constexpr int kHalvings = 3;

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
// two around xi, flat past either end.
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
    std::size_t nodes = 0, stride = 0;
    std::size_t count[kMaxPeriodNodes] = {};
    std::vector<double> vol, drift, rate_weight, yield_weight, log_scale, weight;
    std::vector<unsigned char> piece;
};

void build_inner(const PeriodBoundary& b, const double* tau, const AngleRule& rule, InnerTable& t) {
    const std::size_t n = b.nodes;
    const NodeSet& s = nodes_of(n);
    t.nodes = n;
    t.stride = kMaxPieces * rule.size;
    const std::size_t size = n * t.stride;
    t.vol.assign(size, 0.0);
    t.drift.assign(size, 0.0);
    t.rate_weight.assign(size, 0.0);
    t.yield_weight.assign(size, 0.0);
    t.log_scale.assign(size, 0.0);
    t.piece.assign(size, 0);
    t.weight.assign(size * n, 0.0);
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    for (std::size_t i = 0; i < n; ++i) {
        double u0[kMaxPieces], u1[kMaxPieces];
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
                const double rem = tau[i] - u;
                const std::size_t p = piece_of(b, rem);
                node_weights(s, piece_xi(b, p, rem), b.local[p], t.weight.data() + k * n);
                t.piece[k] = static_cast<unsigned char>(p);
                t.log_scale[k] = log_scale_of(b, p, rem);
            }
        }
        t.count[i] = k - i * t.stride;
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
void residuals(const PeriodBoundary& b, const ValueFunction& g, const InnerTable& t, const Piece& piece,
               const double* x, double* residual, double* jacobian, std::size_t first, std::size_t last) {
    const std::size_t n = b.nodes;
    if (jacobian != nullptr) std::fill(jacobian, jacobian + n * n, 0.0);
    for (std::size_t i = first; i < last; ++i) {
        const double tau = piece.tau[i], s = std::exp(x[i]);
        const Move move = make_move(tau, b.r, b.q, b.sigma);
        const Expectation e = g.expect(move, x[i], jacobian != nullptr);
        double rate = 0.0, yield = 0.0, slope = 0.0;
        double* row = jacobian != nullptr ? jacobian + i * n : nullptr;
        for (std::size_t k = i * t.stride, end = k + t.count[i]; k < end; ++k) {
            const double* w = t.weight.data() + k * n;
            const double* values = b.value[t.piece[k]];
            double log_edge = t.log_scale[k];
            for (std::size_t m = 0; m < n; ++m) log_edge += w[m] * values[m];
            const double vk = t.vol[k];
            const double dm = ((x[i] - log_edge) + t.drift[k]) / vk;
            const double rw = t.rate_weight[k], qw = t.yield_weight[k];
            if (row == nullptr) {
                rate += rw * na::cdf(dm);
                yield += qw * na::cdf(dm + vk);
                continue;
            }
            double cm, pm, cp, pp;
            na::cdf_pdf(dm, cm, pm);
            na::cdf_pdf(dm + vk, cp, pp);
            rate += rw * cm;
            yield += qw * cp;
            const double c = (rw * pm - s * (qw * pp)) / vk;
            slope += c;
            if (t.piece[k] == piece.index) {
                for (std::size_t m = 0; m < n; ++m) row[m] += c * w[m];
            }
        }
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

// The zero of f in [lo, hi] (f(lo) < 0 < f(hi)) to 1e-10 in ln b, by regula
// falsi in Illinois form with a bisection whenever a step leaves more than
// half the bracket: past the boundary the residual stays small over a wide
// range of spots, where secant steps alone crawl.
template <class F>
double bracketed_zero(F&& f, double lo, double f_lo, double hi, double f_hi) {
    int kept = 0;
    for (int k = 0; k < 100 && hi - lo > 1e-10; ++k) {
        const double width = hi - lo;
        double y = hi - f_hi * (hi - lo) / (f_hi - f_lo);
        if (!(y > lo && y < hi)) y = 0.5 * (lo + hi);
        const double fy = f(y);
        if (fy == 0.0) return y;
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
            if (fm == 0.0) return mid;
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
        // The first node has no last one: its start stands in.
        if (i + 1 == n) last = inside(guess);
        const double f_last = F(last, nullptr);
        bool settled = false;
        if (f_last < 0.0) {
            // Newton's steps above the last node.
            double lo = last, hi = piece.ceiling, y = std::max(guess, last);
            for (int k = 0; k < 6; ++k) {
                double slope;
                const double fy = F(y, &slope);
                if (std::fabs(fy) <= 0.1 * target) {
                    settled = true;
                    break;
                }
                if (fy > 0.0) hi = y; else lo = y;
                const double next = y - fy / slope;
                if (!(slope > 0.0) || !(next > lo && next < hi) || std::fabs(next - y) > 0.1) break;
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
        // A bracket widened from the last node towards the boundary.
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
        x[i] = a < c ? bracketed_zero(G, a, f_a, c, f_c) : bracketed_zero(G, c, f_c, a, f_a);
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
// Newton's method with the piece's polynomial. Where Newton's method does not
// settle (a piece whose boundary is too steep for its polynomial, which
// happens far below the strike where a put's boundary climbs from the
// dividend towards the sweep), the piece keeps the marched nodes and their
// straight lines.
void solve_piece(PeriodBoundary& b, const ValueFunction& g, const BoundaryScheme& scheme, const AngleRule& inner,
                 std::size_t k, double floor, double ceiling, double* x) {
    double tau[kMaxPeriodNodes];
    node_times(b, k, tau);
    for (std::size_t i = 0; i < b.nodes; ++i) x[i] = std::clamp(x[i], floor, ceiling);
    const Piece piece{k, tau, floor, ceiling};
    InnerTable table;
    b.local[k] = true;
    build_inner(b, tau, inner, table);
    march(b, g, table, piece, scheme.residual, x);
    double marched[kMaxPeriodNodes];
    std::copy(x, x + b.nodes, marched);
    b.local[k] = false;
    build_inner(b, tau, inner, table);
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
                           const BoundaryScheme& scheme, double start_edge, double drop, PeriodBoundary& b) {
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
    solve_piece(b, g, scheme, inner, 0, low_floor, low_ceiling, x);
    if (b.pieces == 3) {
        for (std::size_t i = 0; i < n; ++i) x[i] = std::log(mid);
        solve_piece(b, g, scheme, inner, 1, std::log(mid), std::log(knee), x);
    }
    if (b.pieces >= 2) {
        for (std::size_t i = 0; i < n; ++i) x[i] = std::log(knee);
        solve_piece(b, g, scheme, inner, b.pieces - 1, std::log(knee), 0.0, x);
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
