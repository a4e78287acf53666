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
// Otherwise the overlap with +-kWindow standard deviations is cut in pieces
// of at most kPieceWidth standard deviations, each integrated with the rule.
constexpr double kWindow = 8.5;
constexpr double kPieceWidth = 1.6;

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
    }
    return rule;
}

// The polynomial through a panel's values at xi in [-1, 1].
double interpolate(const PanelRule& rule, const double* g, double xi) {
    double num = 0.0, den = 0.0;
    for (std::size_t i = 0; i < rule.size; ++i) {
        const double diff = xi - rule.x[i];
        if (diff == 0.0) return g[i];
        const double c = rule.bary[i] / diff;
        num += c * g[i];
        den += c;
    }
    return num / den;
}

// Phi, phi and z phi at z, with the infinite ends.
struct Edge {
    double cdf, pdf, zpdf;
};
Edge edge(double z) {
    if (z == -kInf) return {0.0, 0.0, 0.0};
    if (z == kInf) return {1.0, 0.0, 0.0};
    double c, p;
    na::cdf_pdf(z, c, p);
    return {c, p, z * p};
}

}  // namespace

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

Expectation ValueFunction::expect(const Move& move, double x, bool derivatives) const {
    const double s = move.s;
    const double mean = x + move.drift;
    const double forward = std::exp(x) * move.growth;
    double v = 0.0, dx = 0.0, dxx = 0.0;

    // Linear pieces: a Phi-difference for a, the forward's for b.
    for (const LinearPiece& l : linear) {
        const double zl = l.lo > 0.0 ? (std::log(l.lo) - mean) / s : -kInf;
        const double zh = l.hi < kInf ? (std::log(l.hi) - mean) / s : kInf;
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

    // Tabulated panels.
    if (!panels.empty()) {
        const PanelRule& rule = panel_rule(points);
        const std::size_t n = rule.size;
        const double lo = mean - kWindow * s, hi = mean + kWindow * s;
        for (const Panel& p : panels) {
            if (p.y1 <= lo) continue;
            if (p.y0 >= hi) break;
            const double half = 0.5 * (p.y1 - p.y0), mid = 0.5 * (p.y1 + p.y0);
            if (p.y1 - p.y0 <= kOwnPointsWidth * s) {
                for (std::size_t i = 0; i < n; ++i) {
                    const double z = ((mid + half * rule.x[i]) - mean) / s;
                    const double k = half * rule.w[i] * na::pdf(z) / s * p.g[i];
                    v += k;
                    if (derivatives) {
                        dx += k * z / s;
                        dxx += k * (z * z - 1.0) / (s * s);
                    }
                }
                continue;
            }
            const double a = std::max(p.y0, lo), b = std::min(p.y1, hi);
            const std::size_t pieces =
                static_cast<std::size_t>(std::ceil((b - a) / (kPieceWidth * s)));
            const double width = (b - a) / static_cast<double>(pieces);
            for (std::size_t c = 0; c < pieces; ++c) {
                const double ca = a + width * static_cast<double>(c);
                const double ch = 0.5 * width, cm = ca + ch;
                for (std::size_t i = 0; i < n; ++i) {
                    const double y = cm + ch * rule.x[i];
                    const double z = (y - mean) / s;
                    const double g = interpolate(rule, p.g, (y - mid) / half);
                    const double k = ch * rule.w[i] * na::pdf(z) / s * g;
                    v += k;
                    if (derivatives) {
                        dx += k * z / s;
                        dxx += k * (z * z - 1.0) / (s * s);
                    }
                }
            }
        }
    }
    return {move.discount * v, move.discount * dx, move.discount * dxx};
}

}  // namespace varnelle::dividend_integral
