#include "pricing/american/integral/double_boundary.hpp"

#include <cmath>
#include <numbers>

#include "pricing/american/integral/scheme_tables.hpp"
#include "pricing/math/chebyshev.hpp"
#include "pricing/math/gauss_legendre.hpp"
#include "pricing/math/normal_array.hpp"

namespace varnelle {
namespace {

namespace na = normal_array;

// The boundary equation in its smooth-pasting form. At a boundary point S at
// time to expiry tau the put's slope is -1; written out from the premium
// integral and sorted into what multiplies K and what multiplies S it reads
// S = K N / D with
//
//     N = e^(-r tau) phi(d-) / v + r Int_0^tau e^(-ru) [phi(d-_B) - phi(d-_Y)] / (sigma sqrt u) du
//     D = e^(-q tau) (phi(d+) / v + Phi(d+))
//         + q Int_0^tau e^(-qu) [(phi(d+_B) - phi(d+_Y)) / (sigma sqrt u) + Phi(d+_B) + Phi(-d+_Y)] du
//
// where v = sigma sqrt(tau), d+- = d+-(tau, S/K) and d+-_B, d+-_Y = d+-(u, S / B(tau - u)),
// d+-(u, S / Y(tau - u)). The same equation holds at both ends of the region,
// so each boundary's nodes are updated by the same map from their own point.
// (The value-matching form, which a one-boundary put may also use, does not
// settle here: its iteration drifts for dozens of sweeps when q < 0.)

// Largest move of a boundary (in ln) in the last sweep that counts as
// settled: the price is stationary in the boundary, so what is left of it
// moves the price by its square.
constexpr double kSettled = 1e-2;

// The fold where the boundaries meet must lie at least this many lives away
// for a polynomial in sqrt(tau) to follow the region up to the life.
constexpr double kFoldRoom = 1.5;

// ln B and ln Y at the inner points of node i from H at the nodes. Where the
// iterate has crossed (Y above B) the region is empty: ln Y = ln B.
template <bool kLower>
[[gnu::always_inline]] inline void inner_logs(const SchemeTables& tables, std::size_t i, const double* hb,
                                              const double* hy, double log_lower_start, double* log_b,
                                              double* log_y) {
    const std::size_t n = tables.n, l = tables.l;
    const double* w = tables.inner_weights.data() + i * n * l;
    double ub[kMaxInnerPoints] = {}, uy[kMaxInnerPoints] = {};
    for (std::size_t m = 0; m < n; ++m) {
        for (std::size_t j = 0; j < l; ++j) ub[j] += w[m * l + j] * hb[m];
        if constexpr (kLower) {
            for (std::size_t j = 0; j < l; ++j) uy[j] += w[m * l + j] * hy[m];
        }
    }
    for (std::size_t j = 0; j < l; ++j) log_b[j] = -std::sqrt(ub[j] > 0.0 ? ub[j] : 0.0);
    if constexpr (kLower) {
        for (std::size_t j = 0; j < l; ++j) {
            const double y = log_lower_start + std::sqrt(uy[j] > 0.0 ? uy[j] : 0.0);
            log_y[j] = y < log_b[j] ? y : log_b[j];
        }
    }
}

// The integrals of N and D for a trial point ln S at node i.
template <bool kLower>
[[gnu::always_inline]] inline void integrals(std::size_t l, double log_s, const double* log_b, const double* log_y,
                                             const double* vol, const double* drift, const double* rw,
                                             const double* yw, const double* ycw, double& numerator,
                                             double& denominator) {
    double pm_b[kMaxInnerPoints], pp_b[kMaxInnerPoints], cp_b[kMaxInnerPoints];
    double pm_y[kMaxInnerPoints] = {}, pp_y[kMaxInnerPoints] = {}, cp_y[kMaxInnerPoints] = {};
    for (std::size_t j = 0; j < l; ++j) {
        const double dm = ((log_s - log_b[j]) + drift[j]) / vol[j];
        pm_b[j] = na::pdf(dm);
        na::cdf_pdf(dm + vol[j], cp_b[j], pp_b[j]);
    }
    if constexpr (kLower) {
        for (std::size_t j = 0; j < l; ++j) {
            const double dm = ((log_s - log_y[j]) + drift[j]) / vol[j];
            pm_y[j] = na::pdf(dm);
            na::cdf_pdf(-(dm + vol[j]), cp_y[j], pp_y[j]);  // Phi(-d+_Y), phi(d+_Y)
        }
    }
    double num = 0.0, den = 0.0;
    for (std::size_t j = 0; j < l; ++j) {
        num += rw[j] * (pm_b[j] - pm_y[j]);
        den += yw[j] * (pp_b[j] - pp_y[j]) + ycw[j] * (cp_b[j] + cp_y[j]);
    }
    numerator += num;
    denominator += den;
}

// One Jacobi-Newton step of the map S -> K N(S) / D(S) at node i from the
// trial point ln S, the inner points' ln B and ln Y in hand. (A function
// rather than a lambda: a lambda would not be compiled into the sweep's AVX2
// clone, and this is nearly all of a sweep's work.)
template <bool kLower>
[[gnu::always_inline]] inline double moved(const InnerTerms& terms, std::size_t i, std::size_t l, double sigma,
                                           double mu, double log_s, const double* log_b, const double* log_y) {
    double numerator = 0.0, denominator = 0.0;
    integrals<kLower>(l, log_s, log_b, log_y, terms.vol + i * l, terms.drift + i * l, terms.rate_weight + i * l,
                      terms.yield_weight + i * l, terms.yield_cdf_weight + i * l, numerator, denominator);
    const double v = sigma * terms.sqrt_tau[i];
    const double er = terms.rate_discount[i], eq = terms.yield_discount[i];
    const double dm = (log_s + mu * terms.tau[i]) / v, dp = dm + v;
    double cdp, pdp;
    na::cdf_pdf(dp, cdp, pdp);
    const double pdm = na::pdf(dm);
    numerator += er * pdm / v;
    denominator += eq * (pdp / v + cdp);
    // The derivatives in S of the terms outside the integrals.
    const double s = std::exp(log_s);
    const double n_s = -er * pdm * dm / (s * v * v);
    const double d_s = eq * (-pdp * dp / (s * v * v) + pdp / (s * v));
    const double f = numerator / denominator;
    const double slope = (n_s * denominator - numerator * d_s) / (denominator * denominator);
    const double step = (f - s) / (slope - 1.0);
    return std::isfinite(step) ? s - step : f;
}

// One Jacobi-Newton sweep: every node of both boundaries moved from the
// previous iterate. Returns the largest |ln| move.
template <bool kLower>
[[gnu::target_clones("avx2", "default")]] double sweep(const SchemeTables& tables, const InnerTerms& terms, double r,
                                                       double q, double sigma, double log_lower_start, double* hb,
                                                       double* hy) {
    const std::size_t n = tables.n, l = tables.l;
    const double mu = r - q - 0.5 * sigma * sigma;
    double next_b[kMaxBoundaryNodes], next_y[kMaxBoundaryNodes];
    for (std::size_t i = 0; i < n; ++i) {
        double log_b[kMaxInnerPoints], log_y[kMaxInnerPoints];
        inner_logs<kLower>(tables, i, hb, hy, log_lower_start, log_b, log_y);
        next_b[i] = moved<kLower>(terms, i, l, sigma, mu, -std::sqrt(hb[i]), log_b, log_y);
        if constexpr (kLower) {
            next_y[i] = moved<kLower>(terms, i, l, sigma, mu, log_lower_start + std::sqrt(hy[i]), log_b, log_y);
        }
    }
    // Keep B in (0, 1] and Y in [Y(0+), 1]; an image that is no point moves
    // the node halfway to its start in ln (as the one-boundary solver does).
    double largest = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const double old_b = -std::sqrt(hb[i]);
        double b = next_b[i];
        double log_b = b > 0.0 && std::isfinite(b) ? std::log(b) : 0.5 * old_b;
        if (log_b > 0.0) log_b = 0.0;
        largest = std::fmax(largest, std::fabs(log_b - old_b));
        hb[i] = log_b * log_b;
        if constexpr (kLower) {
            const double old_y = log_lower_start + std::sqrt(hy[i]);
            const double y = next_y[i];
            double log_y = y > 0.0 && std::isfinite(y) ? std::log(y) : old_y;
            if (log_y < log_lower_start) log_y = log_lower_start;
            if (log_y > 0.0) log_y = 0.0;
            largest = std::fmax(largest, std::fabs(log_y - old_y));
            const double g = log_y - log_lower_start;
            hy[i] = g * g;
        }
    }
    return largest;
}

// ln B or ln Y at remaining time tau from the Chebyshev interpolant of H.
double log_at(const DoubleBoundary& b, const double* h, double tau, double start, double sign) {
    double weights[kMaxBoundaryNodes + 1];
    const double root = std::sqrt(std::fmin(tau / b.t, 1.0));
    chebyshev::lagrange_weights(2.0 * root - 1.0, b.nodes, weights);
    double value = 0.0;
    for (std::size_t m = 0; m < b.nodes; ++m) value += weights[m] * h[m];
    return start + sign * std::sqrt(value > 0.0 ? value : 0.0);
}

[[gnu::target_clones("avx2", "default")]] void price_terms(const SchemeTables& tables, DoubleBoundary& b) {
    const std::size_t n = tables.n, p = tables.p;
    const double sqrt_t = std::sqrt(b.t);
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    const double log_start = b.has_lower ? std::log(b.lower_start) : 0.0;
    b.points = p;
    double ub[kMaxPricePoints] = {}, uy[kMaxPricePoints] = {};
    for (std::size_t m = 0; m < n; ++m) {
        const double* w = tables.price_weights.data() + m * p;
        for (std::size_t k = 0; k < p; ++k) ub[k] += w[k] * b.hb[m];
        for (std::size_t k = 0; k < p; ++k) uy[k] += w[k] * b.hy[m];
    }
    for (std::size_t k = 0; k < p; ++k) {
        const double root_elapsed = sqrt_t * tables.price_sin[k];
        const double elapsed = root_elapsed * root_elapsed;
        b.vol[k] = b.sigma * root_elapsed;
        b.drift[k] = mu * elapsed;
        b.log_upper[k] = -std::sqrt(ub[k] > 0.0 ? ub[k] : 0.0);
        const double y = log_start + std::sqrt(uy[k] > 0.0 ? uy[k] : 0.0);
        b.log_lower[k] = y < b.log_upper[k] ? y : b.log_upper[k];
        const double area = 2.0 * b.t * tables.price_sin[k] * tables.price_cos[k] * tables.price_w[k];
        b.rate_weight[k] = b.r * na::poly_exp(-b.r * elapsed) * area;
        b.yield_weight[k] = b.q * na::poly_exp(-b.q * elapsed) * area;
    }
    b.rate_discount = std::exp(-b.r * b.t);
    b.yield_discount = std::exp(-b.q * b.t);
    b.vol_t = b.sigma * sqrt_t;
    b.drift_t = mu * b.t;
}

// Whether the solved region can be used: the iteration settled, the region is
// open at every node, and the fold lies far enough beyond the life. Near the
// fold (ln B - ln Y)^2 falls linearly in tau; before it, it is convex (the
// gap closes like sqrt(tau) at first), so the line through the two nodes
// nearest the life meets zero no later than the fold does.
bool region_holds(const DoubleBoundary& b, const InnerTerms& terms) {
    if (!(b.last_step <= kSettled)) return false;
    if (!b.has_lower) return true;
    const double log_start = std::log(b.lower_start);
    double gap[2];
    for (std::size_t i = 0; i < b.nodes; ++i) {
        const double g = -std::sqrt(b.hb[i]) - (log_start + std::sqrt(b.hy[i]));
        if (!(g > 0.0)) return false;
        if (i < 2) gap[i] = g;
    }
    // The region narrows with tau: a gap that grows towards the life is no
    // solution (an iterate that merged the two ends near the life).
    const double slope = (gap[0] * gap[0] - gap[1] * gap[1]) / (terms.tau[0] - terms.tau[1]);
    if (!(slope < 0.0)) return false;
    const double fold = b.t + gap[0] * gap[0] / -slope;
    return fold >= kFoldRoom * b.t;
}

}  // namespace

// Chosen on the books of tests/data/double_boundary_reference.json (a random
// two-boundary book, a currency pair's, puts at r = 0) against their
// high-resolution finite-difference prices: the largest error of the rows
// whose region holds was 1.3e-5 at tol 1e-4 and 3e-7 at tol 1e-6.
IntegralScheme double_boundary_scheme(double tol) {
    constexpr BoundaryForm kForm = BoundaryForm::SmoothPasting;
    if (tol >= 1e-4) return {.nodes = 6, .inner_points = 8, .iterations = 5, .price_points = 16, .form = kForm};
    if (tol >= 1e-5) return {.nodes = 8, .inner_points = 12, .iterations = 7, .price_points = 24, .form = kForm};
    if (tol >= 1e-6) return {.nodes = 12, .inner_points = 16, .iterations = 10, .price_points = 32, .form = kForm};
    if (tol >= 1e-8) return {.nodes = 16, .inner_points = 32, .iterations = 12, .price_points = 64, .form = kForm};
    return {.nodes = 24, .inner_points = 48, .iterations = 16, .price_points = 96, .form = kForm};
}

void solve_double_boundary(double t, double r, double q, double sigma, const IntegralScheme& scheme,
                           DoubleBoundary& out) {
    const SchemeTables& tables = tables_for(scheme);
    out.t = t;
    out.r = r;
    out.q = q;
    out.sigma = sigma;
    out.has_lower = r < 0.0;
    out.lower_start = out.has_lower ? r / q : 0.0;
    out.nodes = scheme.nodes;
    const std::size_t n = scheme.nodes;
    InnerTerms terms;
    smooth_pasting_inner_terms(tables, t, r, q, sigma, terms);
    // The start: both ends leave their limits at expiry like sigma sqrt(tau),
    // the lower one more slowly (its limit r/q is no kink of the payoff).
    for (std::size_t i = 0; i < n; ++i) {
        const double v = sigma * std::sqrt(terms.tau[i]);
        out.hb[i] = v * v;
        out.hy[i] = out.has_lower ? 0.36 * v * v : 0.0;
    }
    out.hb[n] = 0.0;
    out.hy[n] = 0.0;
    const double log_start = out.has_lower ? std::log(out.lower_start) : 0.0;
    out.last_step = 0.0;
    for (std::size_t k = 0; k < scheme.iterations; ++k) {
        out.last_step = out.has_lower ? sweep<true>(tables, terms, r, q, sigma, log_start, out.hb, out.hy)
                                      : sweep<false>(tables, terms, r, q, sigma, log_start, out.hb, out.hy);
    }
    out.holds = region_holds(out, terms);
    out.upper_now = std::exp(-std::sqrt(out.hb[0]));
    out.lower_now = out.has_lower ? std::exp(log_start + std::sqrt(out.hy[0])) : 0.0;
    price_terms(tables, out);
}

namespace {

// The points of a premium integral.
struct Points {
    std::size_t size;
    const double* vol;
    const double* drift;
    const double* log_upper;
    const double* log_lower;
    const double* rate_weight;
    const double* yield_weight;
};

// A rule laid out for one spot close to a boundary (above B or below Y): the
// premium integrand turns from 0 to its full value over elapsed times of about
// (ln(x / B) / sigma)^2, which the boundary's own rule cannot resolve when
// that is much shorter than the life (gamma and theta there would be far
// off). Pieces growing geometrically from that width, each taken in sqrt(u),
// then the second half of the life in sqrt(t - u).
constexpr std::size_t kPiecePoints = 16;
constexpr std::size_t kMaxPieces = 12;
constexpr std::size_t kRowPoints = kPiecePoints * kMaxPieces;
static_assert(kRowPoints >= kMaxPricePoints, "the sums' scratch serves both rules");
constexpr double kUnresolved = 2.0;
constexpr double kNearReach = 4.0;
constexpr double kGrowth = 16.0;

struct RowRule {
    std::size_t size = 0;
    double vol[kRowPoints], drift[kRowPoints], log_upper[kRowPoints], log_lower[kRowPoints];
    double rate_weight[kRowPoints], yield_weight[kRowPoints];
    Points points() const { return {size, vol, drift, log_upper, log_lower, rate_weight, yield_weight}; }
};

bool row_rule(const DoubleBoundary& b, double x, RowRule& rule) {
    const double log_x = std::log(x);
    const double gap = x > b.upper_now ? log_x - std::log(b.upper_now) : std::log(b.lower_now) - log_x;
    const double spacing = b.t * std::numbers::pi / static_cast<double>(b.points);
    const double near = (kNearReach * gap / b.sigma) * (kNearReach * gap / b.sigma);
    if (!(near < kUnresolved * spacing) || !(near > 0.0)) return false;
    const double bulk = 0.5 * b.t;
    double cuts[kMaxPieces];
    std::size_t count = 0;
    for (double c = near; c < bulk && count + 2 < kMaxPieces; c *= kGrowth) cuts[count++] = c;
    cuts[count++] = bulk;
    const double mu = b.r - b.q - 0.5 * b.sigma * b.sigma;
    const double log_start = b.has_lower ? std::log(b.lower_start) : 0.0;
    static const GaussLegendreRule gl = gauss_legendre_rule(kPiecePoints);
    std::size_t k = 0;
    const auto add = [&](double u, double du) {
        rule.vol[k] = b.sigma * std::sqrt(u);
        rule.drift[k] = mu * u;
        rule.log_upper[k] = log_at(b, b.hb, b.t - u, 0.0, -1.0);
        const double y = b.has_lower ? log_at(b, b.hy, b.t - u, log_start, 1.0) : 0.0;
        rule.log_lower[k] = y < rule.log_upper[k] ? y : rule.log_upper[k];
        rule.rate_weight[k] = b.r * na::poly_exp(-b.r * u) * du;
        rule.yield_weight[k] = b.q * na::poly_exp(-b.q * u) * du;
        ++k;
    };
    piecewise_rule(cuts, count, b.t, gl, add);
    rule.size = k;
    return true;
}

struct Sums {
    double premium, delta, gamma;
};

// One boundary's share of the premium integral and, with kSlopes, of its
// first and second derivatives in x: the one-boundary integrand at that
// boundary. (A function, not a lambda, so that it is compiled into the AVX2
// clone of its caller.)
template <bool kSlopes>
[[gnu::always_inline]] inline Sums boundary_sums(const Points& pts, const double* log_boundary, double log_x,
                                                 double x) {
    const std::size_t p = pts.size;
    double dm[kRowPoints], cm[kRowPoints], cp[kRowPoints], pm[kRowPoints], pp[kRowPoints];
    for (std::size_t k = 0; k < p; ++k) dm[k] = ((log_x - log_boundary[k]) + pts.drift[k]) / pts.vol[k];
    for (std::size_t k = 0; k < p; ++k) {
        if constexpr (kSlopes) {
            na::cdf_pdf(-dm[k], cm[k], pm[k]);
            na::cdf_pdf(-(dm[k] + pts.vol[k]), cp[k], pp[k]);
        } else {
            cm[k] = na::cdf(-dm[k]);
            cp[k] = na::cdf(-(dm[k] + pts.vol[k]));
        }
    }
    Sums out{0.0, 0.0, 0.0};
    for (std::size_t k = 0; k < p; ++k) {
        const double wr = pts.rate_weight[k], wq = pts.yield_weight[k];
        out.premium += wr * cm[k] - x * (wq * cp[k]);
        if constexpr (kSlopes) {
            const double v = pts.vol[k];
            const double dp = dm[k] + v;
            out.delta += (wq * x * pp[k] - wr * pm[k]) / (x * v) - wq * cp[k];
            out.gamma += wr * pm[k] * (1.0 + dm[k] / v) / (x * x * v) + wq * pp[k] * (1.0 - dp / v) / (x * v);
        }
    }
    return out;
}

// The premium and its slopes: the share of B less the share of Y.
template <bool kLower, bool kSlopes>
[[gnu::always_inline]] inline Sums sums_of(const Points& pts, double log_x, double x) {
    Sums out = boundary_sums<kSlopes>(pts, pts.log_upper, log_x, x);
    if constexpr (kLower) {
        const Sums lower = boundary_sums<kSlopes>(pts, pts.log_lower, log_x, x);
        out.premium -= lower.premium;
        out.delta -= lower.delta;
        out.gamma -= lower.gamma;
    }
    return out;
}

template <bool kSlopes>
[[gnu::target_clones("avx2", "default")]] Sums standard_sums(const DoubleBoundary& b, double log_x, double x) {
    const Points pts{b.points, b.vol, b.drift, b.log_upper, b.log_lower, b.rate_weight, b.yield_weight};
    return b.has_lower ? sums_of<true, kSlopes>(pts, log_x, x) : sums_of<false, kSlopes>(pts, log_x, x);
}

template <bool kSlopes>
Sums premium_sums(const DoubleBoundary& b, double x) {
    const double log_x = std::log(x);
    RowRule rule;
    if (!row_rule(b, x, rule)) return standard_sums<kSlopes>(b, log_x, x);
    return b.has_lower ? sums_of<true, kSlopes>(rule.points(), log_x, x)
                       : sums_of<false, kSlopes>(rule.points(), log_x, x);
}

// Standard deviations of ln S over the life past which the region is out of
// reach (see double_put_terms).
constexpr double kFarBelow = 40.0;

bool exercised(const DoubleBoundary& b, double x) { return x <= b.upper_now && x >= b.lower_now; }

// Between the intrinsic value and the most a put can be worth, max(1, e^(-rt)).
double bounded(double value, double x, double rate_discount) {
    const double intrinsic = 1.0 - x;
    if (value < intrinsic) value = intrinsic;
    const double most = rate_discount > 1.0 ? rate_discount : 1.0;
    return value < most ? value : most;
}

}  // namespace

double double_put_price(const DoubleBoundary& b, double x) {
    if (exercised(b, x)) return 1.0 - x;
    if (std::isinf(x)) return 0.0;
    const Sums sums = premium_sums<false>(b, x);
    const double dm = (std::log(x) + b.drift_t) / b.vol_t;
    const double european = b.rate_discount * na::cdf(-dm) - x * (b.yield_discount * na::cdf(-(dm + b.vol_t)));
    return bounded(european + (sums.premium > 0.0 ? sums.premium : 0.0), x, b.rate_discount);
}

PutSpotTerms double_put_terms(const DoubleBoundary& b, double x) {
    if (exercised(b, x)) return {1.0 - x, -1.0, 0.0, true};
    if (std::isinf(x)) return {0.0, 0.0, 0.0, false};
    // A spot so far below the lower boundary (which never falls below r/q)
    // that it reaches it with a probability below e^(-kFarBelow^2 / 2) holds
    // the forward e^(-rt) - x e^(-qt), delta -e^(-qt), gamma 0. The integrals'
    // gamma terms pdf / (x^2 v) were 0/0 there once x^2 underflowed (a spot of
    // 1e-300 against a strike of 1e300, or a subnormal x).
    if (b.has_lower && std::log(x) < std::log(b.lower_start) - kFarBelow * b.vol_t - std::fabs(b.drift_t)) {
        return {bounded(b.rate_discount - x * b.yield_discount, x, b.rate_discount), -b.yield_discount, 0.0, false};
    }
    const Sums sums = premium_sums<true>(b, x);
    const double vt = b.vol_t;
    const double dm = (std::log(x) + b.drift_t) / vt;
    double cm, pm, cp, pp;
    na::cdf_pdf(-dm, cm, pm);
    na::cdf_pdf(-(dm + vt), cp, pp);
    const double european = b.rate_discount * cm - x * (b.yield_discount * cp);
    const double value = bounded(european + (sums.premium > 0.0 ? sums.premium : 0.0), x, b.rate_discount);
    return {value, sums.delta - b.yield_discount * cp, sums.gamma + b.yield_discount * pp / (x * vt), false};
}

}  // namespace varnelle
