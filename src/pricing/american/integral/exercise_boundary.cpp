#include "pricing/american/integral/exercise_boundary.hpp"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numbers>
#include <tuple>
#include <vector>

#include "pricing/math/chebyshev.hpp"
#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"
#include "pricing/american/integral/qd_plus.hpp"
#include "pricing/american/integral/scheme_tables.hpp"

namespace varnelle {
namespace {

namespace na = normal_array;

void angle_rule(std::size_t size, double* sines, double* cosines, double* weights) {
    const GaussLegendreRule rule = gauss_legendre_rule(size);
    for (std::size_t j = 0; j < size; ++j) {
        const double theta = 0.25 * std::numbers::pi * (1.0 + rule.x[j]);
        sines[j] = std::sin(theta);
        cosines[j] = std::cos(theta);
        weights[j] = 0.25 * std::numbers::pi * rule.w[j];
    }
}

std::unique_ptr<SchemeTables> build_tables(std::size_t n, std::size_t l, std::size_t p) {
    auto tables = std::make_unique<SchemeTables>();
    tables->n = n;
    tables->l = l;
    tables->p = p;
    for (std::size_t i = 0; i < n; ++i) tables->root[i] = 0.5 * (1.0 + chebyshev::node(i, n));
    angle_rule(l, tables->inner_sin, tables->inner_cos, tables->inner_w);
    angle_rule(p, tables->price_sin, tables->price_cos, tables->price_w);
    double weights[kMaxBoundaryNodes + 1];
    tables->inner_weights.assign(n * n * l, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < l; ++j) {
            chebyshev::lagrange_weights(2.0 * tables->root[i] * tables->inner_cos[j] - 1.0, n, weights);
            for (std::size_t m = 0; m < n; ++m) tables->inner_weights[(i * n + m) * l + j] = weights[m];
        }
    }
    tables->price_weights.assign(n * p, 0.0);
    for (std::size_t k = 0; k < p; ++k) {
        chebyshev::lagrange_weights(2.0 * tables->price_cos[k] - 1.0, n, weights);
        for (std::size_t m = 0; m < n; ++m) tables->price_weights[m * p + k] = weights[m];
    }
    return tables;
}

}  // namespace

const SchemeTables& tables_for(const IntegralScheme& scheme) {
    static std::mutex mutex;
    static std::map<std::tuple<std::size_t, std::size_t, std::size_t>, std::unique_ptr<SchemeTables>> built;
    const auto key = std::make_tuple(scheme.nodes, scheme.inner_points, scheme.price_points);
    const std::lock_guard<std::mutex> lock(mutex);
    auto found = built.find(key);
    if (found == built.end()) {
        found = built.emplace(key, build_tables(scheme.nodes, scheme.inner_points, scheme.price_points)).first;
    }
    return *found->second;
}

namespace {

// The two forms of the boundary equation B = K e^(-(r - q) tau) N(B) / D(B),
// as the policies of one sweep (QuantLib splits its two equations the same
// way): what their integrals sum at the inner points, and the terms outside
// the integrals with their derivatives in B for the Jacobi-Newton step. Each
// sweep is compiled for one form, so choosing it costs nothing per node.
//
// Value matching:
//     N = Phi(d-) + r Int e^(r u) Phi(d-(tau - u)) du
//     D = Phi(d+) + q Int e^(q u) Phi(d+(tau - u)) du
// Smooth pasting (about ten times more accurate for the same nodes, but its
// iteration may not settle where the drift dominates):
//     N = phi(d-) / v + r Int e^(r u) phi(d-) / (sigma sqrt(tau - u)) du
//     D = phi(d+) / v + Phi(d+) + q Int e^(q u) [phi(d+) / (sigma sqrt(tau - u)) + Phi(d+)] du
// with v = sigma sqrt(tau) and d+-(tau, B / K) outside the integrals.
struct ValueMatching {
    // The rate and yield integrands take the time element itself.
    static double kernel_area(double area, double /*density_area*/) { return area; }
    static constexpr bool kYieldCdfTerm = false;

    [[gnu::always_inline]] static void integrals(std::size_t l, const double* d_minus, const double* vol,
                                                 const double* rw, const double* yw, const double* /*ycw*/,
                                                 double& numerator, double& denominator) {
        double n_minus[kMaxInnerPoints], n_plus[kMaxInnerPoints];
        for (std::size_t j = 0; j < l; ++j) {
            n_minus[j] = na::cdf(d_minus[j]);
            n_plus[j] = na::cdf(d_minus[j] + vol[j]);
        }
        for (std::size_t j = 0; j < l; ++j) {
            numerator += rw[j] * n_minus[j];
            denominator += yw[j] * n_plus[j];
        }
    }

    // er, eq: the discount factors at tau; cdm, pdm, cdp, pdp: Phi and phi of
    // d- and d+; b the node's boundary. Adds the outside terms to numerator
    // and denominator and sets their derivatives in B.
    [[gnu::always_inline]] static void outside(double er, double eq, double cdm, double pdm, double cdp, double pdp,
                                               double v, double /*dm*/, double /*dp*/, double b, double& numerator,
                                               double& denominator, double& n_b, double& d_b) {
        numerator += er * cdm;
        denominator += eq * cdp;
        n_b = er * pdm / (b * v);
        d_b = eq * pdp / (b * v);
    }
};

struct SmoothPasting {
    // The densities' 1 / (sigma sqrt(elapsed)) is folded into the element.
    static double kernel_area(double /*area*/, double density_area) { return density_area; }
    static constexpr bool kYieldCdfTerm = true;

    [[gnu::always_inline]] static void integrals(std::size_t l, const double* d_minus, const double* vol,
                                                 const double* rw, const double* yw, const double* ycw,
                                                 double& numerator, double& denominator) {
        // phi(d-), phi(d+) and Phi(d+): Phi(d-) is not needed.
        double n_plus[kMaxInnerPoints], p_minus[kMaxInnerPoints], p_plus[kMaxInnerPoints];
        for (std::size_t j = 0; j < l; ++j) {
            p_minus[j] = na::pdf(d_minus[j]);
            na::cdf_pdf(d_minus[j] + vol[j], n_plus[j], p_plus[j]);
        }
        for (std::size_t j = 0; j < l; ++j) {
            numerator += rw[j] * p_minus[j];
            denominator += yw[j] * p_plus[j] + ycw[j] * n_plus[j];
        }
    }

    [[gnu::always_inline]] static void outside(double er, double eq, double /*cdm*/, double pdm, double cdp,
                                               double pdp, double v, double dm, double dp, double b,
                                               double& numerator, double& denominator, double& n_b, double& d_b) {
        numerator += er * pdm / v;
        denominator += eq * (pdp / v + cdp);
        n_b = -er * pdm * dm / (b * v * v);
        d_b = eq * (-pdp * dp / (b * v * v) + pdp / (b * v));
    }
};

template <class Form>
[[gnu::target_clones("avx2", "default")]] void inner_terms(const SchemeTables& tables, double t, double r, double q,
                                                           double sigma, InnerTerms& out) {
    const std::size_t n = tables.n, l = tables.l;
    const double sqrt_t = std::sqrt(t);
    const double mu = r - q - 0.5 * sigma * sigma;
    for (std::size_t i = 0; i < n; ++i) {
        const double sqrt_tau = sqrt_t * tables.root[i];
        const double tau = sqrt_tau * sqrt_tau;
        out.tau[i] = tau;
        out.sqrt_tau[i] = sqrt_tau;
        out.rate_discount[i] = std::exp(-r * tau);
        out.yield_discount[i] = std::exp(-q * tau);
        double* __restrict vol = out.vol + i * l;
        double* __restrict drift = out.drift + i * l;
        double* __restrict rw = out.rate_weight + i * l;
        double* __restrict yw = out.yield_weight + i * l;
        double* __restrict ycw = out.yield_cdf_weight + i * l;
        const double* __restrict sines = tables.inner_sin;
        const double* __restrict cosines = tables.inner_cos;
        const double* __restrict weights = tables.inner_w;
        // Simple loops, each of which vectorises.
        double elapsed[kMaxInnerPoints], er[kMaxInnerPoints], eq[kMaxInnerPoints];
        for (std::size_t j = 0; j < l; ++j) {
            const double root_elapsed = sqrt_tau * sines[j];
            elapsed[j] = root_elapsed * root_elapsed;
            vol[j] = sigma * root_elapsed;
            drift[j] = mu * elapsed[j];
        }
        for (std::size_t j = 0; j < l; ++j) er[j] = na::poly_exp(-r * elapsed[j]);
        for (std::size_t j = 0; j < l; ++j) eq[j] = na::poly_exp(-q * elapsed[j]);
        for (std::size_t j = 0; j < l; ++j) {
            // d(elapsed) = 2 tau sin cos d theta; against phi / (sigma sqrt(elapsed)) it is
            // 2 sqrt(tau) cos / sigma d theta.
            const double area = 2.0 * tau * sines[j] * cosines[j] * weights[j];
            const double density_area = 2.0 * sqrt_tau * cosines[j] * weights[j] / sigma;
            rw[j] = r * er[j] * Form::kernel_area(area, density_area);
            yw[j] = q * eq[j] * Form::kernel_area(area, density_area);
            if constexpr (Form::kYieldCdfTerm) ycw[j] = q * eq[j] * area;
        }
    }
}

}  // namespace

void smooth_pasting_inner_terms(const SchemeTables& tables, double t, double r, double q, double sigma,
                                InnerTerms& out) {
    inner_terms<SmoothPasting>(tables, t, r, q, sigma, out);
}

namespace {

// H at the inner points of node i: a product of the node values with fixed
// weights. Four inner points at a time are summed in one vector register over
// every node m: with m outside (the obvious loop nest) every partial sum goes
// through memory, and left to itself the compiler assembles the blocked sum
// from scalar loads. Each hu[j] still adds its terms in the order m = 0, 1,
// ..., so the result is the same to the bit.
using Double4 = double __attribute__((vector_size(4 * sizeof(double))));

[[gnu::always_inline]] inline void interpolate(const double* __restrict w, const double* __restrict h, std::size_t n,
                                               std::size_t l, double* __restrict hu) {
    std::size_t j = 0;
    for (; j + 4 <= l; j += 4) {
        Double4 acc = {0.0, 0.0, 0.0, 0.0};
        for (std::size_t m = 0; m < n; ++m) {
            Double4 wm;
            std::memcpy(&wm, w + m * l + j, sizeof wm);
            acc += wm * h[m];
        }
        std::memcpy(hu + j, &acc, sizeof acc);
    }
    for (; j < l; ++j) {
        double acc = 0.0;
        for (std::size_t m = 0; m < n; ++m) acc += w[m * l + j] * h[m];
        hu[j] = acc;
    }
}

// How a sweep moves each node: the fixed-point map B <- f(B), or one
// Jacobi-Newton step on f(B) = B (the iteration's first sweep).
enum class NodeUpdate { FixedPoint, JacobiNewton };

// One sweep of the iteration over all nodes from the current H (Jacobi:
// every node reads the previous iterate).
template <class Form>
[[gnu::target_clones("avx2", "default")]] void sweep(const SchemeTables& tables, const InnerTerms& terms, double r,
                                                     double q, double sigma, double log_x, NodeUpdate update,
                                                     const double* h, double* next_boundary) {
    const std::size_t n = tables.n, l = tables.l;
    double hu[kMaxInnerPoints], d_minus[kMaxInnerPoints];
    // The integrals of every node first; the terms outside them follow in
    // loops over the nodes, which vectorise like the inner ones (one node at
    // a time they were scalar, a fifth of a sweep at 16 inner points).
    double numerators[kMaxBoundaryNodes], denominators[kMaxBoundaryNodes], root_h[kMaxBoundaryNodes];
    for (std::size_t i = 0; i < n; ++i) {
        interpolate(tables.inner_weights.data() + i * n * l, h, n, l, hu);
        const double root_hi = std::sqrt(h[i]);
        root_h[i] = root_hi;
        const double* vol = terms.vol + i * l;
        const double* drift = terms.drift + i * l;
        // ln(B(tau)/B(u)) = sqrt(H(u)) - sqrt(H(tau)): no logarithm here.
        for (std::size_t j = 0; j < l; ++j) {
            const double hj = hu[j] > 0.0 ? hu[j] : 0.0;
            d_minus[j] = ((std::sqrt(hj) - root_hi) + drift[j]) / vol[j];
        }
        double numerator = 0.0, denominator = 0.0;
        Form::integrals(l, d_minus, vol, terms.rate_weight + i * l, terms.yield_weight + i * l,
                        terms.yield_cdf_weight + i * l, numerator, denominator);
        numerators[i] = numerator;
        denominators[i] = denominator;
    }
    // The terms outside the integrals, at (tau, B / K).
    double boundary[kMaxBoundaryNodes], dm[kMaxBoundaryNodes], dp[kMaxBoundaryNodes], v[kMaxBoundaryNodes];
    double cdm[kMaxBoundaryNodes], pdm[kMaxBoundaryNodes], cdp[kMaxBoundaryNodes], pdp[kMaxBoundaryNodes];
    for (std::size_t i = 0; i < n; ++i) boundary[i] = std::exp(log_x - root_h[i]);
    const double mu = r - q - 0.5 * sigma * sigma;
    for (std::size_t i = 0; i < n; ++i) {
        v[i] = sigma * terms.sqrt_tau[i];
        dm[i] = ((log_x - root_h[i]) + mu * terms.tau[i]) / v[i];
        dp[i] = dm[i] + v[i];
    }
    for (std::size_t i = 0; i < n; ++i) na::cdf_pdf(dm[i], cdm[i], pdm[i]);
    for (std::size_t i = 0; i < n; ++i) na::cdf_pdf(dp[i], cdp[i], pdp[i]);
    for (std::size_t i = 0; i < n; ++i) {
        double numerator = numerators[i], denominator = denominators[i];
        double n_b, d_b;  // derivatives of the outside terms in B
        Form::outside(terms.rate_discount[i], terms.yield_discount[i], cdm[i], pdm[i], cdp[i], pdp[i], v[i], dm[i],
                      dp[i], boundary[i], numerator, denominator, n_b, d_b);
        const double f = numerator / denominator;
        double b = f;
        if (update == NodeUpdate::JacobiNewton) {
            const double slope = (n_b * denominator - numerator * d_b) / (denominator * denominator);
            const double step = (f - boundary[i]) / (slope - 1.0);
            if (std::isfinite(step)) b = boundary[i] - step;
        }
        next_boundary[i] = b;
    }
}

// Sets H from B at the nodes, with B kept inside (0, X]: past X the equation
// has no meaning. A non-positive or non-finite image moves the node halfway to
// X in ln B: with q < 0 the yield's integral outweighs the rest of the
// denominator wherever the node lies many sigma sqrt(tau) below X (as the
// start can at the nodes nearest expiry), and the image only turns positive
// again closer to X; a node sent further down (halved towards 0, as before)
// never came back, and the boundary settled a quarter off. Returns the largest
// |ln(B_new / B_old)|, previous_h holding H before.
double set_h_from_boundary(const double* boundary, std::size_t n, double x_ratio, double log_x,
                           const double* previous_h, double* h) {
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        double b = boundary[i];
        if (!(b > 0.0) || !std::isfinite(b)) b = std::exp(log_x - 0.5 * std::sqrt(previous_h[i]));
        if (b > x_ratio) b = x_ratio;
        const double g = std::log(b) - log_x;
        const double change = std::fabs(g + std::sqrt(previous_h[i]));  // |ln(B_new / B_old)|
        if (!(change <= largest)) largest = change;
        h[i] = g * g;
    }
    return largest;
}

// `iterations` sweeps from H in h, the first by `first`, the others fixed-point
// steps. Returns the last sweep's largest move.
template <class Form>
double iterate_form(const SchemeTables& tables, double t, double r, double q, double sigma, double x_ratio,
                    double log_x, std::size_t iterations, NodeUpdate first, double* h) {
    InnerTerms terms;
    inner_terms<Form>(tables, t, r, q, sigma, terms);
    double next[kMaxBoundaryNodes];
    double change = 0.0;
    for (std::size_t k = 0; k < iterations; ++k) {
        sweep<Form>(tables, terms, r, q, sigma, log_x, k == 0 ? first : NodeUpdate::FixedPoint, h, next);
        change = set_h_from_boundary(next, tables.n, x_ratio, log_x, h, h);
    }
    return change;
}

double iterate(const SchemeTables& tables, BoundaryForm form, double t, double r, double q, double sigma,
               double x_ratio, double log_x, std::size_t iterations, NodeUpdate first, double* h) {
    if (form == BoundaryForm::SmoothPasting) {
        return iterate_form<SmoothPasting>(tables, t, r, q, sigma, x_ratio, log_x, iterations, first, h);
    }
    return iterate_form<ValueMatching>(tables, t, r, q, sigma, x_ratio, log_x, iterations, first, h);
}

// Its loop over the price points evaluates an exponential per point: in the
// AVX2 clone, like the sweep, four at a time (the same operations, so the
// same bits).
[[gnu::target_clones("avx2", "default")]] void price_terms(const SchemeTables& tables, PutBoundary& b) {
    const std::size_t n = tables.n, p = tables.p;
    const double sqrt_t = std::sqrt(b.t);
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    const double log_x = std::log(b.x_ratio);
    b.points = p;
    double hb[kMaxPricePoints] = {};
    for (std::size_t m = 0; m < n; ++m) {
        const double* w = tables.price_weights.data() + m * p;
        for (std::size_t k = 0; k < p; ++k) hb[k] += w[k] * b.h[m];
    }
    for (std::size_t k = 0; k < p; ++k) {
        const double root_elapsed = sqrt_t * tables.price_sin[k];
        const double elapsed = root_elapsed * root_elapsed;
        b.vol[k] = b.sigma * root_elapsed;
        b.drift[k] = mu * elapsed;
        b.log_boundary[k] = log_x - std::sqrt(hb[k] > 0.0 ? hb[k] : 0.0);
        const double area = 2.0 * b.t * tables.price_sin[k] * tables.price_cos[k] * tables.price_w[k];
        b.rate_weight[k] = b.r * na::poly_exp(-b.r * elapsed) * area;
        b.yield_weight[k] = b.q * na::poly_exp(-b.q * elapsed) * area;
    }
    b.rate_discount = std::exp(-b.r * b.t);
    b.yield_discount = std::exp(-b.q * b.t);
    b.vol_t = b.sigma * sqrt_t;
    b.drift_t = mu * b.t;
    b.now = std::exp(log_x - std::sqrt(b.h[0]));
}

// Sets what a boundary holds besides its nodes' values: its parameters, X,
// and H = 0 at the node at tau = 0.
void begin_boundary(double t, double r, double q, double sigma, const IntegralScheme& scheme, PutBoundary& out) {
    out.t = t;
    out.r = r;
    out.q = q;
    out.sigma = sigma;
    out.x_ratio = q > 0.0 && r < q ? r / q : 1.0;
    out.nodes = scheme.nodes;
    out.h[scheme.nodes] = 0.0;
}

}  // namespace

void solve_put_boundary(double t, double r, double q, double sigma, const IntegralScheme& scheme,
                        PutBoundary& out) {
    const SchemeTables& tables = tables_for(scheme);
    begin_boundary(t, r, q, sigma, scheme, out);
    const double log_x = std::log(out.x_ratio);
    const double sqrt_t = std::sqrt(t);
    double qd[kMaxBoundaryNodes], tau[kMaxBoundaryNodes];
    for (std::size_t i = 0; i < scheme.nodes; ++i) {
        const double sqrt_tau = sqrt_t * tables.root[i];
        tau[i] = sqrt_tau * sqrt_tau;
    }
    qd_plus_boundary(tau, scheme.nodes, r, q, sigma, out.x_ratio, qd);
    double zero[kMaxBoundaryNodes] = {};
    set_h_from_boundary(qd, scheme.nodes, out.x_ratio, log_x, zero, out.h);
    out.last_step = iterate(tables, scheme.form, t, r, q, sigma, out.x_ratio, log_x, scheme.iterations,
                            NodeUpdate::JacobiNewton, out.h);
    price_terms(tables, out);
}

void resolve_put_boundary(const PutBoundary& from, double r, double q, double sigma, const IntegralScheme& scheme,
                          std::size_t iterations, PutBoundary& out) {
    const SchemeTables& tables = tables_for(scheme);
    begin_boundary(from.t, r, q, sigma, scheme, out);
    const double log_x = std::log(out.x_ratio);
    // H is measured from X; carry ln B over when X moves with r or q.
    const double log_from = std::log(from.x_ratio);
    for (std::size_t i = 0; i < scheme.nodes; ++i) {
        double g = (log_from - std::sqrt(from.h[i])) - log_x;
        if (g > 0.0) g = 0.0;
        out.h[i] = g * g;
    }
    out.last_step = iterate(tables, scheme.form, from.t, r, q, sigma, out.x_ratio, log_x, iterations,
                            NodeUpdate::FixedPoint, out.h);
    price_terms(tables, out);
}

namespace {

// Between the intrinsic value and the strike, where the put always lies (r > 0):
// the quadrature can stray past either by its error, or far past the strike
// when e^(-q t) overflows for a very long expiry with negative q.
double bounded(double value, double x) {
    const double intrinsic = 1.0 - x;
    if (value < intrinsic) value = intrinsic;
    return value < 1.0 ? value : 1.0;
}

// The points of a price integral: elapsed time's sigma sqrt(u), the drift
// of ln S over u, ln B at the remaining time, and the rate and yield weights
// (quadrature weight times r e^(-ru) or q e^(-qu)).
struct PricePoints {
    std::size_t size;
    const double* vol;
    const double* drift;
    const double* log_boundary;
    const double* rate_weight;
    const double* yield_weight;
};

PricePoints standard_points(const PutBoundary& b) {
    return {b.points, b.vol, b.drift, b.log_boundary, b.rate_weight, b.yield_weight};
}

// A rule laid out for one spot where the boundary's own rule cannot resolve
// the integrand: the premium integrand turns from 0 to its full value where
// d- changes sign, over a width of elapsed time ~ sigma sqrt(u) / |drift| (a
// spot above the boundary that the drift carries into it) or ~ (ln(x/B) /
// sigma)^2 near u = 0 (a spot just outside the boundary). A rule fixed per
// boundary puts a handful of points on either when it is much narrower than
// the life: prices of long, low-volatility lives were 1e-3 off and gamma and
// theta next to the boundary 15 % off (theta positive). Breakpoints around
// the feature and Gauss-Legendre pieces between them resolve it.
constexpr std::size_t kPiecePoints = 16;
constexpr std::size_t kMaxCuts = 16;
constexpr std::size_t kRowPoints = kPiecePoints * (kMaxCuts + 1);
static_assert(kRowPoints >= kMaxPricePoints, "the sums' scratch serves both rules");

struct RowRule {
    std::size_t size = 0;
    double vol[kRowPoints], drift[kRowPoints], log_boundary[kRowPoints];
    double rate_weight[kRowPoints], yield_weight[kRowPoints];
    PricePoints points() const { return {size, vol, drift, log_boundary, rate_weight, yield_weight}; }
};

// ln(B / K) at remaining time tau from the Chebyshev interpolant of H.
double log_boundary_at(const PutBoundary& b, double tau) {
    double weights[kMaxBoundaryNodes + 1];
    const double root = std::sqrt(std::fmin(tau / b.t, 1.0));
    chebyshev::lagrange_weights(2.0 * root - 1.0, b.nodes, weights);
    double h = 0.0;
    for (std::size_t m = 0; m < b.nodes; ++m) h += weights[m] * b.h[m];
    return std::log(b.x_ratio) - std::sqrt(h > 0.0 ? h : 0.0);
}

// Widths of the feature, in units of the boundary rule's spacing of elapsed
// time (t pi / p), below which a spot gets its own rule; breakpoints this many
// widths either side of the drift's crossing; the near-boundary piece ends
// where d- is about 1/kNearReach.
constexpr double kUnresolved = 2.0;
constexpr double kCrossingReach = 10.0;
constexpr std::size_t kCrossingPieces = 4;
constexpr double kNearReach = 4.0;

// Each piece past the near-boundary one is this many times longer than the
// one before: there the delta and gamma integrands fall like ln(x / B) /
// sigma^3 u^(3/2), which a piece of ratio 16 in u integrates to ~1e-10.
constexpr double kGrowth = 16.0;

bool row_rule(const PutBoundary& b, double x, RowRule& rule) {
    const double log_x = std::log(x);
    const double gap = log_x - std::log(b.now);  // > 0 outside the exercise region
    const double spacing = b.t * std::numbers::pi / static_cast<double>(b.points);
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    double near = (kNearReach * gap / b.sigma) * (kNearReach * gap / b.sigma);
    if (!(near < kUnresolved * spacing)) near = 0.0;
    double low = 0.0, high = 0.0;  // around the drift's crossing, if it needs them
    if (mu < 0.0) {
        // Where the spot's drift meets the boundary: ln x - ln B(t - u) + mu u = 0.
        double u = gap / -mu;
        for (int i = 0; i < 4 && u < b.t; ++i) u = (log_x - log_boundary_at(b, b.t - u)) / -mu;
        const double width = b.sigma * std::sqrt(u) / -mu;
        if (u > 0.0 && u < b.t && width < kUnresolved * spacing) {
            low = u - kCrossingReach * width;
            high = u + kCrossingReach * width;
        }
    }
    if (near == 0.0 && high == 0.0) return false;
    // The crossing in kCrossingPieces pieces (Phi(-d) turns from 0 to 1 over
    // a few of its widths), after the near-boundary pieces that lie before it.
    double crossing[kCrossingPieces + 1];
    std::size_t crossings = 0;
    if (high > 0.0) {
        for (std::size_t j = 0; j <= kCrossingPieces; ++j) {
            const double c = low + (high - low) * static_cast<double>(j) / static_cast<double>(kCrossingPieces);
            if (c > 0.0 && c < b.t) crossing[crossings++] = c;
        }
    }
    double cuts[kMaxCuts];
    std::size_t count = 0;
    const double bulk = 0.5 * b.t;
    const double before = crossings > 0 ? std::fmin(crossing[0], bulk) : bulk;
    for (double c = near; c > 0.0 && c < before && count + kCrossingPieces + 2 < kMaxCuts; c *= kGrowth) {
        cuts[count++] = c;
    }
    for (std::size_t j = 0; j < crossings; ++j) {
        if (count == 0 || crossing[j] > cuts[count - 1]) cuts[count++] = crossing[j];
    }
    if (count == 0 || cuts[count - 1] < bulk) cuts[count++] = bulk;

    static const GaussLegendreRule gl = gauss_legendre_rule(kPiecePoints);
    std::size_t k = 0;
    const auto add = [&](double u, double du) {
        const double root_u = std::sqrt(u);
        rule.vol[k] = b.sigma * root_u;
        rule.drift[k] = mu * u;
        rule.log_boundary[k] = log_boundary_at(b, b.t - u);
        rule.rate_weight[k] = b.r * na::poly_exp(-b.r * u) * du;
        rule.yield_weight[k] = b.q * na::poly_exp(-b.q * u) * du;
        ++k;
    };
    piecewise_rule(cuts, count, b.t, gl, add);
    rule.size = k;
    return true;
}

[[gnu::always_inline]] inline double premium_of(const PricePoints& pts, double log_x, double x) {
    const std::size_t p = pts.size;
    double d_minus[kRowPoints], n_minus[kRowPoints], n_plus[kRowPoints];
    for (std::size_t k = 0; k < p; ++k) d_minus[k] = ((log_x - pts.log_boundary[k]) + pts.drift[k]) / pts.vol[k];
    // Phi(-d-) and Phi(-d+).
    for (std::size_t k = 0; k < p; ++k) {
        n_minus[k] = na::cdf(-d_minus[k]);
        n_plus[k] = na::cdf(-(d_minus[k] + pts.vol[k]));
    }
    double premium = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
        premium += pts.rate_weight[k] * n_minus[k] - x * (pts.yield_weight[k] * n_plus[k]);
    }
    return premium;
}

struct SpotSums {
    double premium, delta, gamma;
};

[[gnu::always_inline]] inline SpotSums spot_sums_of(const PricePoints& pts, double log_x, double x) {
    const std::size_t p = pts.size;
    double d_minus[kRowPoints], n_minus[kRowPoints], n_plus[kRowPoints];
    double p_minus[kRowPoints], p_plus[kRowPoints];
    for (std::size_t k = 0; k < p; ++k) d_minus[k] = ((log_x - pts.log_boundary[k]) + pts.drift[k]) / pts.vol[k];
    for (std::size_t k = 0; k < p; ++k) {
        na::cdf_pdf(-d_minus[k], n_minus[k], p_minus[k]);
        na::cdf_pdf(-(d_minus[k] + pts.vol[k]), n_plus[k], p_plus[k]);
    }
    double premium = 0.0, delta = 0.0, gamma = 0.0;
    for (std::size_t k = 0; k < p; ++k) {
        const double v = pts.vol[k];
        const double dm = d_minus[k];
        const double dp = dm + v;
        const double wr = pts.rate_weight[k], wq = pts.yield_weight[k];
        premium += wr * n_minus[k] - x * (wq * n_plus[k]);
        delta += (wq * x * p_plus[k] - wr * p_minus[k]) / (x * v) - wq * n_plus[k];
        gamma += wr * p_minus[k] * (1.0 + dm / v) / (x * x * v) + wq * p_plus[k] * (1.0 - dp / v) / (x * v);
    }
    return {premium, delta, gamma};
}

[[gnu::target_clones("avx2", "default")]] double standard_premium(const PutBoundary& b, double log_x, double x) {
    return premium_of(standard_points(b), log_x, x);
}

[[gnu::target_clones("avx2", "default")]] SpotSums standard_spot_sums(const PutBoundary& b, double log_x, double x) {
    return spot_sums_of(standard_points(b), log_x, x);
}

}  // namespace

double put_price_from_boundary(const PutBoundary& b, double x) {
    if (x <= b.now) return 1.0 - x;
    if (std::isinf(x)) return 0.0;  // a spot past every double times the strike
    const double log_x = std::log(x);
    RowRule rule;
    const double premium = row_rule(b, x, rule) ? premium_of(rule.points(), log_x, x) : standard_premium(b, log_x, x);
    const double dm = (log_x + b.drift_t) / b.vol_t;
    const double european = b.rate_discount * na::cdf(-dm) - x * (b.yield_discount * na::cdf(-(dm + b.vol_t)));
    return bounded(european + (premium > 0.0 ? premium : 0.0), x);
}

PutSpotTerms put_terms_from_boundary(const PutBoundary& b, double x) {
    if (x <= b.now) return {1.0 - x, -1.0, 0.0, true};
    if (std::isinf(x)) return {0.0, 0.0, 0.0, false};
    const double log_x = std::log(x);
    RowRule rule;
    const SpotSums sums = row_rule(b, x, rule) ? spot_sums_of(rule.points(), log_x, x) : standard_spot_sums(b, log_x, x);
    const double vt = b.vol_t;
    const double dm = (log_x + b.drift_t) / vt;
    double cm, pm, cp, pp;
    na::cdf_pdf(-dm, cm, pm);
    na::cdf_pdf(-(dm + vt), cp, pp);
    const double european = b.rate_discount * cm - x * (b.yield_discount * cp);
    const double value = bounded(european + (sums.premium > 0.0 ? sums.premium : 0.0), x);
    return {value, sums.delta - b.yield_discount * cp, sums.gamma + b.yield_discount * pp / (x * vt), false};
}

}  // namespace varnelle
