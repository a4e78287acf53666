#include "pricing/dividends/value_function.hpp"

#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <mutex>

#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"

namespace varnelle::dividend_integral {
namespace {

namespace na = normal_array;

constexpr double kInf = std::numeric_limits<double>::infinity();

// A panel at most this many of the Gaussian's standard deviations wide is
// integrated on its own points: a Gaussian over 1.6 standard deviations and a
// polynomial of the rule's degree are integrated by the rule to ~1e-12.
constexpr double kOwnPointsWidth = 1.6;

std::unique_ptr<PanelRule> build_rule(std::size_t size) {
    auto rule = std::make_unique<PanelRule>();
    const GaussLegendreRule gl = gauss_legendre_rule(size);
    rule->size = size;
    for (std::size_t i = 0; i < size; ++i) {
        rule->x[i] = gl.x[i];
        rule->w[i] = gl.w[i];
        // Barycentric weights of the Gauss-Legendre points.
        const double sign = (i % 2 == 0) ? 1.0 : -1.0;
        rule->bary[i] = sign * std::sqrt((1.0 - gl.x[i] * gl.x[i]) * gl.w[i]);
        double p0 = 1.0, p1 = gl.x[i];
        for (std::size_t k = 0; k < size; ++k) {
            const double pk = k == 0 ? 1.0 : (k == 1 ? gl.x[i] : p1);
            rule->legendre[k][i] = 0.5 * static_cast<double>(2 * k + 1) * gl.w[i] * pk;
            if (k >= 1) {
                const double kk = static_cast<double>(k + 1);
                const double p2 = ((2.0 * kk - 1.0) * gl.x[i] * p1 - (kk - 1.0) * p0) / kk;
                p0 = p1;
                p1 = p2;
            }
        }
    }
    // The powers of xi in P_k (Bonnet's recurrence on coefficient vectors),
    // summed with the Legendre weights: one matrix from values to powers.
    double prev[kMaxPanelPoints] = {}, cur[kMaxPanelPoints] = {}, next[kMaxPanelPoints] = {};
    const auto add = [&](std::size_t k, const double* poly) {
        for (std::size_t j = 0; j <= k; ++j) {
            for (std::size_t i = 0; i < size; ++i) rule->power[j][i] += poly[j] * rule->legendre[k][i];
        }
    };
    prev[0] = 1.0;
    add(0, prev);
    if (size > 1) {
        cur[1] = 1.0;
        add(1, cur);
    }
    for (std::size_t k = 1; k + 1 < size; ++k) {
        const double kk = static_cast<double>(k);
        for (std::size_t j = 0; j <= k + 1; ++j) {
            next[j] = ((2.0 * kk + 1.0) * (j > 0 ? cur[j - 1] : 0.0) - kk * prev[j]) / (kk + 1.0);
        }
        for (std::size_t j = 0; j <= k + 1; ++j) {
            prev[j] = cur[j];
            cur[j] = next[j];
        }
        add(k + 1, cur);
    }
    return rule;
}

// The polynomial through a panel's values at xi in [-1, 1].
double interpolate(const PanelRule& rule, const double* g, double xi) {
    return barycentric(rule.x, rule.bary, g, rule.size, xi);
}

// Phi, phi and z phi at z; past 9 standard deviations (Phi(-9) = 1.1e-19)
// the tails are dropped.
struct Edge {
    double cdf, pdf, zpdf;
};
Edge edge(double z) {
    if (z <= -9.0) return {0.0, 0.0, 0.0};
    if (z >= 9.0) return {1.0, 0.0, 0.0};
    double c, p;
    na::cdf_pdf(z, c, p);
    return {c, p, z * p};
}

// Sum of wg e^(-z^2/2) and its z and z^2 moments over a run of points, z =
// (y - mean) / s.
[[gnu::target_clones("avx2", "default")]] void gaussian_sums(const double* y, const double* wg, std::size_t n,
                                                             double mean, double inv_s, double* out) {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double z = (y[i] - mean) * inv_s;
        const double k = wg[i] * na::poly_exp(-0.5 * z * z);
        s0 += k;
        s1 += k * z;
        s2 += k * (z * z);
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
}

// How many spots expect_values takes in one pass.
constexpr std::size_t kBatch = 32;

// Phi at z for |z| up to infinity: the array Phi is NaN at infinite z.
[[gnu::always_inline]] inline double bounded_cdf(double z) {
    const double zc = z < -40.0 ? -40.0 : (z > 40.0 ? 40.0 : z);
    return na::cdf(zc);
}

// The linear pieces' part of e^(-r tau) E[G] before discounting, added to v
// at every spot: a (Phi(zh) - Phi(zl)) + b F (Phi(zh - s) - Phi(zl - s)).
[[gnu::target_clones("avx2", "default")]] void linear_sums(const LinearPiece* pieces, std::size_t count,
                                                           const double* mean, const double* forward, std::size_t n,
                                                           double s, double* v) {
    const double inv_s = 1.0 / s;
    for (std::size_t p = 0; p < count; ++p) {
        const LinearPiece& l = pieces[p];
        for (std::size_t i = 0; i < n; ++i) {
            const double zl = (l.log_lo - mean[i]) * inv_s, zh = (l.log_hi - mean[i]) * inv_s;
            const double i0 = bounded_cdf(zh) - bounded_cdf(zl);
            const double i1 = bounded_cdf(zh - s) - bounded_cdf(zl - s);
            v[i] += l.a * i0 + l.b * (forward[i] * i1);
        }
    }
}

// A panel's polynomial sum_k power_k xi^k (xi = (2 y - y0 - y1) / (y1 - y0))
// against the Gaussian of mean m_i and deviation s over the panel, by the
// moments E_k of xi = alpha + beta z: E_k = alpha E_(k-1) + beta^2 (k - 1)
// E_(k-2) + beta [xi^(k-1) phi(z)] at the ends. Added to v at every spot.
// Phi and phi at a panel's end are those of the next panel's start: with
// lower_known, ca and pa already hold them (from the panel below), and cb
// and pb are left holding the upper end's.
[[gnu::target_clones("avx2", "default")]] void moment_sums(const Panel& p, std::size_t size, const double* mean,
                                                           std::size_t n, double s, double* v, bool lower_known,
                                                           double* ca, double* pa, double* cb, double* pb) {
    const double half = 0.5 * (p.y1 - p.y0), mid = 0.5 * (p.y1 + p.y0);
    const double beta = s / half, inv_s = 1.0 / s;
    double alpha[kBatch], e0[kBatch], e1[kBatch], sum[kBatch];
    if (!lower_known) {
        for (std::size_t i = 0; i < n; ++i) na::cdf_pdf(std::clamp((p.y0 - mean[i]) * inv_s, -40.0, 40.0), ca[i], pa[i]);
    }
    for (std::size_t i = 0; i < n; ++i) {
        alpha[i] = (mean[i] - mid) / half;
        na::cdf_pdf(std::clamp((p.y1 - mean[i]) * inv_s, -40.0, 40.0), cb[i], pb[i]);
        e0[i] = cb[i] - ca[i];
        e1[i] = alpha[i] * e0[i] + beta * (pa[i] - pb[i]);
        sum[i] = p.power[0] * e0[i] + (size > 1 ? p.power[1] * e1[i] : 0.0);
    }
    // xi is -1 at the lower end and +1 at the upper: xi^(k-1) alternates
    // there and is 1 here.
    double sign = 1.0;
    for (std::size_t k = 2; k < size; ++k) {
        sign = -sign;  // (-1)^(k-1)
        const double kk = static_cast<double>(k - 1) * beta * beta, power = p.power[k];
        for (std::size_t i = 0; i < n; ++i) {
            const double ek = alpha[i] * e1[i] + kk * e0[i] + beta * (sign * pa[i] - pb[i]);
            e0[i] = e1[i];
            e1[i] = ek;
            sum[i] += power * ek;
        }
    }
    for (std::size_t i = 0; i < n; ++i) v[i] += sum[i];
}

// Sum of wg e^(-z^2 / 2) over a run of points at every spot, z = (y -
// mean_i) / s: the panels narrow against the Gaussian on their own points.
[[gnu::target_clones("avx2", "default")]] void node_sums(const double* y, const double* wg, std::size_t count,
                                                         const double* mean, std::size_t n, double inv_s, double* v) {
    for (std::size_t j = 0; j < count; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            const double z = (y[j] - mean[i]) * inv_s;
            v[i] += wg[j] * na::poly_exp(-0.5 * z * z);
        }
    }
}

}  // namespace

void ValueFunction::expect_values(const Move& move, const double* x, const double* spot, std::size_t count,
                                  double* out) const {
    const double s = move.s;
    const PanelRule* rule = panels.empty() ? nullptr : &panel_rule(points);
    for (std::size_t from = 0; from < count; from += kBatch) {
        const std::size_t n = std::min(kBatch, count - from);
        double mean[kBatch], forward[kBatch], v[kBatch] = {}, nodes[kBatch] = {};
        double lowest = kInf, highest = -kInf;
        for (std::size_t i = 0; i < n; ++i) {
            mean[i] = x[from + i] + move.drift;
            forward[i] = spot[from + i] * move.growth;
            lowest = std::min(lowest, mean[i]);
            highest = std::max(highest, mean[i]);
        }
        linear_sums(linear.data(), linear.size(), mean, forward, n, s, v);
        if (rule != nullptr) {
            // Panels within the window of some spot; the ones at most
            // kOwnPointsWidth standard deviations wide on their own points.
            const double lo = lowest - window * s, hi = highest + window * s;
            // Phi and phi at the upper end of the last panel integrated by its
            // moments, for the next one if it starts there.
            double lower_c[kBatch], lower_p[kBatch], upper_c[kBatch], upper_p[kBatch];
            double known_end = kInf;
            for (std::size_t k = 0; k < panels.size(); ++k) {
                const Panel& p = panels[k];
                if (p.y1 < lo || p.y0 > hi) continue;
                if (p.y1 - p.y0 <= kOwnPointsWidth * s) {
                    node_sums(node_y.data() + k * rule->size, node_wg.data() + k * rule->size, rule->size, mean, n,
                              1.0 / s, nodes);
                } else {
                    const bool known = p.y0 == known_end;
                    if (known) {
                        std::copy(upper_c, upper_c + n, lower_c);
                        std::copy(upper_p, upper_p + n, lower_p);
                    }
                    moment_sums(p, rule->size, mean, n, s, v, known, lower_c, lower_p, upper_c, upper_p);
                    known_end = p.y1;
                }
            }
        }
        const double c = na::kInvSqrt2Pi / s;
        for (std::size_t i = 0; i < n; ++i) out[from + i] = move.discount * (v[i] + c * nodes[i]);
    }
}

void ValueFunction::finish() {
    for (LinearPiece& l : linear) {
        l.log_lo = l.lo > 0.0 ? std::log(l.lo) : -kInf;
        l.log_hi = l.hi < kInf ? std::log(l.hi) : kInf;
    }
    node_y.clear();
    node_wg.clear();
    if (panels.empty()) return;
    const PanelRule& rule = panel_rule(points);
    const std::size_t n = rule.size;
    for (Panel& p : panels) {
        for (std::size_t j = 0; j < n; ++j) {
            double c = 0.0;
            for (std::size_t i = 0; i < n; ++i) c += rule.power[j][i] * p.g[i];
            p.power[j] = c;
        }
    }
    for (const Panel& p : panels) {
        const double half = 0.5 * (p.y1 - p.y0), mid = 0.5 * (p.y1 + p.y0);
        for (std::size_t i = 0; i < rule.size; ++i) {
            node_y.push_back(mid + half * rule.x[i]);
            node_wg.push_back(half * rule.w[i] * p.g[i]);
        }
    }
}

const PanelRule& panel_rule(std::size_t size) {
    static std::mutex mutex;
    static std::map<std::size_t, std::unique_ptr<PanelRule>> built;
    const std::lock_guard<std::mutex> lock(mutex);
    auto found = built.find(size);
    if (found == built.end()) found = built.emplace(size, build_rule(size)).first;
    return *found->second;
}

Move make_move(double tau, double r, double q, double sigma) {
    Move m;
    m.tau = tau;
    m.r = r;
    m.q = q;
    m.sigma = sigma;
    m.s = sigma * std::sqrt(tau);
    m.drift = (r - q - 0.5 * sigma * sigma) * tau;
    m.discount = std::exp(-r * tau);
    m.growth = std::exp((r - q) * tau);
    return m;
}

double ValueFunction::tabulated(double y) const {
    if (panels.empty() || y < panels.front().y0 || y > panels.back().y1) return 0.0;
    const auto it = std::upper_bound(panels.begin(), panels.end(), y,
                                     [](double v, const Panel& p) { return v < p.y1; });
    const Panel& p = it == panels.end() ? panels.back() : *it;
    const double xi = (2.0 * y - (p.y0 + p.y1)) / (p.y1 - p.y0);
    return interpolate(panel_rule(points), p.g, xi);
}

double ValueFunction::at(double s) const {
    double v = 0.0;
    for (const LinearPiece& l : linear) {
        if (s >= l.lo && s < l.hi) v += l.a + l.b * s;
    }
    return v + (s > 0.0 ? tabulated(std::log(s)) : 0.0);
}

Expectation ValueFunction::panel_part(const Move& move, double x, bool derivatives) const {
    const double s = move.s;
    const double mean = x + move.drift;
    double v = 0.0, dx = 0.0, dxx = 0.0;
    // Tabulated panels: those at most kOwnPointsWidth standard deviations
    // wide on their own points, in one run; narrower Gaussians piecewise.
    if (!panels.empty()) {
        const PanelRule& rule = panel_rule(points);
        const std::size_t n = rule.size;
        const double lo = mean - window * s, hi = mean + window * s;
        const auto first = std::upper_bound(panels.begin(), panels.end(), lo,
                                            [](double value, const Panel& p) { return value < p.y1; });
        std::size_t run_begin = 0, run_end = 0;  // panel indices of the current run
        const auto flush = [&]() {
            if (run_end > run_begin) {
                double sums[3];
                gaussian_sums(node_y.data() + run_begin * n, node_wg.data() + run_begin * n, (run_end - run_begin) * n,
                              mean, 1.0 / s, sums);
                const double c = na::kInvSqrt2Pi / s;
                v += c * sums[0];
                if (derivatives) {
                    dx += c * sums[1] / s;
                    dxx += c * (sums[2] - sums[0]) / (s * s);
                }
            }
        };
        for (auto it = first; it != panels.end() && it->y0 < hi; ++it) {
            const Panel& p = *it;
            const std::size_t index = static_cast<std::size_t>(it - panels.begin());
            if (p.y1 - p.y0 <= kOwnPointsWidth * s) {
                if (run_end != index) {
                    flush();
                    run_begin = index;
                }
                run_end = index + 1;
                continue;
            }
            // A panel wider than that: its polynomial in xi integrated
            // against phi exactly, by the moments E_k of xi = alpha + beta z
            // over the overlap, E_k = alpha E_(k-1) + beta^2 (k-1) E_(k-2)
            // + beta [xi^(k-1) phi(z)] at the ends.
            const double half = 0.5 * (p.y1 - p.y0), mid = 0.5 * (p.y1 + p.y0);
            const double alpha = (mean - mid) / half, beta = s / half;
            const double ya = std::max(p.y0, lo), yb = std::min(p.y1, hi);
            const double za = (ya - mean) / s, zb = (yb - mean) / s;
            const double xa = (ya - mid) / half, xb = (yb - mid) / half;
            double ca, pa, cb, pb;
            na::cdf_pdf(za, ca, pa);
            na::cdf_pdf(zb, cb, pb);
            double moment[kMaxPanelPoints + 2];
            moment[0] = cb - ca;
            moment[1] = alpha * moment[0] + beta * (pa - pb);
            double xa_power = 1.0, xb_power = 1.0;  // xi^(k-1) at the ends
            const std::size_t highest = derivatives ? n + 2 : n;
            for (std::size_t k = 2; k < highest; ++k) {
                xa_power *= xa;
                xb_power *= xb;
                moment[k] = alpha * moment[k - 1] + beta * beta * static_cast<double>(k - 1) * moment[k - 2] +
                            beta * (xa_power * pa - xb_power * pb);
            }
            double m0 = 0.0, m1 = 0.0, m2 = 0.0;
            for (std::size_t k = 0; k < n; ++k) m0 += p.power[k] * moment[k];
            v += m0;
            if (derivatives) {
                // z = (xi - alpha) / beta.
                for (std::size_t k = 0; k < n; ++k) {
                    m1 += p.power[k] * moment[k + 1];
                    m2 += p.power[k] * moment[k + 2];
                }
                const double z1 = (m1 - alpha * m0) / beta;
                const double z2 = ((m2 - 2.0 * alpha * m1) + alpha * alpha * m0) / (beta * beta);
                dx += z1 / s;
                dxx += (z2 - m0) / (s * s);
            }
        }
        flush();
    }
    return {v, dx, dxx};
}

Expectation ValueFunction::expect(const Move& move, double x, bool derivatives) const {
    const double s = move.s;
    const double mean = x + move.drift;
    const double forward = std::exp(x) * move.growth;
    double v = 0.0, dx = 0.0, dxx = 0.0;

    // Linear pieces: a Phi-difference for a, the forward's for b.
    for (const LinearPiece& l : linear) {
        const double zl = (l.log_lo - mean) / s, zh = (l.log_hi - mean) / s;
        const Edge a0 = edge(zl), a1 = edge(zh);
        const Edge b0 = edge(zl - s), b1 = edge(zh - s);
        const double i0 = a1.cdf - a0.cdf;
        const double i1 = forward * (b1.cdf - b0.cdf);
        v += l.a * i0 + l.b * i1;
        if (derivatives) {
            const double d0 = (a0.pdf - a1.pdf) / s;
            const double dd0 = (a0.zpdf - a1.zpdf) / (s * s);
            const double j = forward * (b0.pdf - b1.pdf) / s;
            const double k2 = forward * (b0.zpdf - b1.zpdf) / (s * s);
            dx += l.a * d0 + l.b * (i1 + j);
            dxx += l.a * dd0 + l.b * ((i1 + 2.0 * j) + k2);
        }
    }

    const Expectation t = panel_part(move, x, derivatives);
    v += t.v;
    dx += t.dx;
    dxx += t.dxx;
    return {move.discount * v, move.discount * dx, move.discount * dxx};
}

}  // namespace varnelle::dividend_integral
