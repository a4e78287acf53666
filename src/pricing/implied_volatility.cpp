#include "implied_volatility.hpp"

#include <cmath>
#include <limits>

#include "american.hpp"
#include "european.hpp"
#include "normal.hpp"
#include "put_call.hpp"

namespace varnelle {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---------------------------------------------------------------------------
// European
//
// Method. The price is inverted as european_price computes it, through its
// own norm_cdf, because the textbook formula differs from it by up to ~1e-10
// relative and a round trip would then miss by far more than 1e-12.
//
// Work happens in the normalised frame of the Black formula: x = ln(F/K) and
// s = sigma sqrt(t). An in-the-money option is turned into its
// out-of-the-money mirror by subtracting the discounted intrinsic value, so
// the target is always a time value tau. As a function of s the time value is
// convex below s_c = sqrt(2|x|) (where the mirror's d1 is zero) and concave
// above it, and one norm_cdf gives its value tau_c there:
// - below s_c it behaves like exp(-x^2 / (2 s^2)); the start inverts the tail
//   asymptote b ~ c N(-|x|/(sqrt(3) s))^3, with c moved so that it meets
//   tau_c, and is capped by the tangent at s_c;
// - above s_c the gap to the upper bound behaves like 2 cosh(x/2) N(-s/2);
//   the start inverts that with the factor moved so that it meets the gap at
//   s_c.
// Starts land within a few per cent below s_c and a few tenths of a per cent
// above it on ordinary inputs, and Halley's method, cubically convergent,
// takes that to the last bit in two or three steps. Where the time value is
// small next to tau_c (or the gap small next to its value at s_c) the steps
// work on its logarithm, which is nearly straight in s there and keeps
// relative accuracy down to subnormal prices; elsewhere on the price itself,
// which saves a logarithm per step. Each step evaluates the library's own
// price with analytic vega and volga (their 1e-10 relative mismatch with the
// library's price slows only the last digit, it cannot move the root). The
// steps stay inside a bracket narrowed by the sign of every residual; a step
// leaving it is replaced by bisection, so the iteration cannot diverge and
// ends after a fixed number of steps.
// ---------------------------------------------------------------------------

// The call european_price evaluates (the call equivalent of put_call.hpp); every
// factor that does not depend on sigma is formed once with the expressions of
// detail::european_call, so that price() is european_price to the bit.
struct ModelCall {
    double S, K, T, r, b;
    double sqrt_t, log_sk, carry_discount, rate_discount;
    double A;  // S * carry_discount: the price as sigma -> infinity
    double B;  // K * rate_discount
};

ModelCall model_call(double s, double k, double t, double r, double q, OptionType type) {
    const CallEquivalent c = call_equivalent(s, k, r, q, type);
    ModelCall m{};
    m.S = c.S;
    m.K = c.K;
    m.r = c.r;
    m.b = c.b;
    m.T = t;
    m.sqrt_t = std::sqrt(t);
    m.log_sk = std::log(m.S / m.K);
    m.carry_discount = std::exp((m.b - m.r) * t);
    m.rate_discount = std::exp((-m.r) * t);
    m.A = m.S * m.carry_discount;
    m.B = m.K * m.rate_discount;
    return m;
}

inline double model_price(const ModelCall& m, double sigma) {
    return detail::european_from(m.S, m.K, m.T, m.b, sigma, sigma * sigma, m.sqrt_t, m.log_sk,
                                 m.carry_discount, m.rate_discount);
}

// The price with its first three derivatives in sigma: vega V, then
// V d1 d2 / sigma, then V ((d1 d2)^2 - 3 (x/s)^2 - s^2/4) / sigma^2 with
// x/s = (d1 + d2) / 2 and s = sigma sqrt(t).
struct Evaluation {
    double price, vega, volga, ultima;
    double d1, d2;
};

inline Evaluation evaluate(const ModelCall& m, double sigma) {
    const double price = model_price(m, sigma);
    const double vol = m.sqrt_t * sigma;
    const double d1 = ((m.b + (sigma * sigma) * 0.5) * m.T + m.log_sk) / vol;
    const double d2 = d1 - vol;
    const double vega = (m.A * std::exp((-0.5 * d1) * d1)) * (m.sqrt_t * 0.3989422804014327);
    const double d1d2 = d1 * d2;
    const double mid = 0.5 * (d1 + d2);
    return {price, vega, vega * (d1d2 / sigma),
            vega * ((d1d2 * d1d2 - 3.0 * (mid * mid) - 0.25 * (vol * vol)) / (sigma * sigma)), d1, d2};
}

// Whether the price at sigma reads the normal distribution through the same
// approximations as the evaluation e did. Across a seam between two of them
// the price jumps, and a step predicted from the far side cannot be trusted
// to the last bits.
inline bool same_pieces(const ModelCall& m, const Evaluation& e, double sigma) {
    constexpr double kRootHalf = 0.7071067811865476;
    const double vol = m.sqrt_t * sigma;
    const double d1 = ((m.b + (sigma * sigma) * 0.5) * m.T + m.log_sk) / vol;
    const double d2 = d1 - vol;
    return detail::erf_piece(d1 * kRootHalf) == detail::erf_piece(e.d1 * kRootHalf) &&
           detail::erf_piece(d2 * kRootHalf) == detail::erf_piece(e.d2 * kRootHalf);
}

// z with N(z) = p for 0 < p < 1: P. J. Acklam's rational approximation,
// degrees 5/5 on [0.02425, 0.97575] and 5/4 in sqrt(-2 ln p) in the tails;
// relative error below 1.15e-9.
inline double inverse_normal(double p) {
    constexpr double kLow = 0.02425;
    if (p >= kLow && p <= 1.0 - kLow) {
        const double q = p - 0.5;
        const double r = q * q;
        return (((((-3.969683028665376e+01 * r + 2.209460984245205e+02) * r - 2.759285104469687e+02) * r +
                  1.383577518672690e+02) * r - 3.066479806614716e+01) * r + 2.506628277459239e+00) * q /
               (((((-5.447609879822406e+01 * r + 1.615858368580409e+02) * r - 1.556989798598866e+02) * r +
                  6.680131188771972e+01) * r - 1.328068155288572e+01) * r + 1.0);
    }
    const double q = std::sqrt(-2.0 * std::log(p < kLow ? p : 1.0 - p));
    const double z = (((((-7.784894002430293e-03 * q - 3.223964580411365e-01) * q - 2.400758277161838e+00) * q -
                        2.549732539343734e+00) * q + 4.374664141464968e+00) * q + 2.938163982698783e+00) /
                     ((((7.784695709041462e-03 * q + 3.224671290700398e-01) * q + 2.445134137142996e+00) * q +
                       3.754408661907416e+00) * q + 1.0);
    return p < kLow ? z : -z;
}

// z with N(-z) = cbrt(cube) for cube < 1/8, from ln(cube) without forming the
// cube root: Abramowitz & Stegun 26.2.23, |error| < 4.5e-4 in z, which is
// well inside the error of the start it serves.
inline double upper_tail_inverse_of_cube_root(double cube) {
    const double t = std::sqrt(-0.6666666666666666 * std::log(cube));
    return t - (2.515517 + t * (0.802853 + t * 0.010328)) / (1.0 + t * (1.432788 + t * (0.189269 + t * 0.001308)));
}

constexpr int kMaxEuropeanSteps = 64;
// A Halley step this small (relative) leaves an error of a multiple of its
// cube. 1e-5 left up to 4e-11 in the steepest corners measured (a multiple
// near 4e4), so 1e-7 leaves ~1e-16, while sparing the step that would only
// confirm convergence on most rows.
constexpr double kStepTolerance = 1e-5;

// What the steps drive to zero: ln(time value / tau), price - p, or
// ln(gap / (upper bound - p)); the logarithms where the time value is below
// a tenth of tau_c, or the gap below a tenth of its value at s_c.
enum class Objective { LogTimeValue, Price, LogGap };
constexpr double kLogShare = 0.1;

// sigma for lower < p < m.A.
double solve_european(const ModelCall& m, double p, double lower) {
    const double x = m.log_sk + m.b * m.T;  // ln(A / B), as d1 sees it
    const double ax = std::fabs(x);
    const double small = m.A < m.B ? m.A : m.B;
    const double big = m.A < m.B ? m.B : m.A;
    const double tau = p - lower;  // time value to reach
    const double gap = m.A - p;    // distance to the upper bound
    const double s_c = std::sqrt(2.0 * ax);
    // The time value at s_c, where the out-of-the-money d1 (or d2) is zero.
    const double tau_c = 0.5 * small - big * norm_cdf(-s_c);
    const bool low = tau < tau_c;

    double s0;
    if (low) {
        const double scale = std::sqrt(m.A) * std::sqrt(m.B);
        const double beta = tau / scale;
        // The tail asymptote b ~ c N(-|x| / (sqrt(3) s))^3 with c = 2 pi |x| / (3 sqrt 3)
        // is exact as s -> 0 but misses the time value at s_c; its constant is
        // moved linearly in tau / tau_c to the one that meets tau_c at s_c.
        const double n_c = norm_cdf(-std::sqrt(ax / 6.0));
        const double c0 = 1.2091995761561452 * ax;
        const double c = c0 + ((tau_c / scale) / ((n_c * n_c) * n_c) - c0) * (tau / tau_c);
        // N(-z) = (beta / c)^(1/3) for the z = |x| / (sqrt(3) s) of the start.
        const double cube = beta / c;
        s0 = cube < 0.125 ? ax / (1.7320508075688772 * upper_tail_inverse_of_cube_root(cube)) : s_c;
        // Below s_c the time value is convex: its tangent at s_c reaches tau
        // at an s above the root, so a start beyond that is certainly worse.
        const double tangent = s_c - (tau_c - tau) * (2.5066282746310002 / small);
        if (tangent > 0.0 && !(s0 <= tangent)) s0 = tangent;
        if (!(s0 <= s_c)) s0 = s_c;
        // Near x = 0 the time value is about s / sqrt(2 pi).
        if (!(s0 > 0.0)) s0 = 2.5066282746310002 * beta;
    } else {
        // gap ~ k N(-s/2): k = 2 cosh(x/2) in the normalised frame as
        // s -> infinity, moved linearly in gap / gap_c to the value that meets
        // the gap at s_c.
        const double gap_c = (m.A - lower) - tau_c;
        const double k_inf = small + big;
        const double k = k_inf + (gap_c / norm_cdf(-0.5 * s_c) - k_inf) * (gap / gap_c);
        s0 = -2.0 * inverse_normal(gap / k);
        if (!(s0 >= s_c)) s0 = s_c;
    }
    const Objective objective = low ? (tau < kLogShare * tau_c ? Objective::LogTimeValue : Objective::Price)
                                    : (gap < kLogShare * (m.A - lower - tau_c) ? Objective::LogGap : Objective::Price);
    double sigma = s0 / m.sqrt_t;
    if (!(sigma > 0.0 && sigma < kInf)) sigma = 1.0;

    double lo = 0.0;
    double hi = kInf;
    double best = sigma;
    double best_miss = kInf;
    for (int step = 0; step < kMaxEuropeanSteps; ++step) {
        const Evaluation e = evaluate(m, sigma);
        const double miss = e.price - p;
        if (miss == 0.0) return sigma;
        if (std::fabs(miss) < best_miss) {
            best_miss = std::fabs(miss);
            best = sigma;
        }
        if (miss > 0.0) {
            hi = sigma;
        } else {
            lo = sigma;  // a NaN price counts as too low: sigma moves up
        }

        // Objective f with its first three derivatives for Householder's
        // step of order 3; Newton's step where that one is not sane.
        double f, f1, f2, f3;
        if (objective == Objective::Price) {
            f = miss;
            f1 = e.vega;
            f2 = e.volga;
            f3 = e.ultima;
        } else {
            const bool below = objective == Objective::LogTimeValue;
            const double rest = below ? e.price - lower : m.A - e.price;
            const double target = below ? tau : gap;
            const double ratio = rest / target;
            f = ratio > 0.0 && ratio < kInf ? std::log(ratio) : std::log(rest) - std::log(target);
            // Derivatives of ln(g) from those of g.
            const double g1 = (below ? e.vega : -e.vega) / rest;
            const double g2 = (below ? e.volga : -e.volga) / rest;
            const double g3 = (below ? e.ultima : -e.ultima) / rest;
            f1 = g1;
            f2 = g2 - g1 * g1;
            f3 = (g3 - 3.0 * g1 * f2) - (g1 * g1) * g1;
        }
        const double newton = f / f1;
        const double h2 = newton * (f2 / f1);
        const double h3 = (newton * newton) * (f3 / f1);
        const double numerator = 1.0 - 0.5 * h2;
        const double denominator = (1.0 - h2) + h3 / 6.0;
        const double factor = numerator / denominator;
        double next = factor > 0.5 && factor < 2.0 ? sigma - newton * factor : sigma - newton;
        const bool inside = next > lo && next < hi;
        // Converged. Near the root the residual is rounding noise, whose sign
        // may disagree with the bracket: a tiny step counts even outside it.
        if (std::fabs(next - sigma) <= kStepTolerance * sigma) {
            if (!inside) return sigma;
            if (same_pieces(m, e, next)) return next;
        }
        // Out of the bracket (or no step at all): bisect.
        if (!inside) next = hi < kInf ? 0.5 * (lo + hi) : 2.0 * lo;
        if (next == sigma || (hi < kInf && !(hi - lo > 0x1p-52 * hi))) break;
        sigma = next;
    }
    return best;
}

// The bounds of the European price for the inputs, and the call that
// european_price evaluates for them.
struct EuropeanProblem {
    ModelCall m;
    double lower, upper;
};

EuropeanProblem european_problem(double s, double k, double t, double r, double q, OptionType type) {
    EuropeanProblem e{model_call(s, k, t, r, q, type), 0.0, 0.0};
    const double intrinsic = e.m.A - e.m.B;
    e.lower = intrinsic > 0.0 ? intrinsic : 0.0;
    e.upper = e.m.A;
    return e;
}

// The American price never reaches the underlying for a call or the strike
// for a put, nor the European upper bound it is never below: with r < 0 a put
// is worth up to k e^(-rt) > k, with q < 0 a call up to s e^(-qt) > s.
double american_upper_bound(double s, double k, double t, double r, double q, OptionType type) {
    const double discounted = type == OptionType::Call ? s * std::exp((-q) * t) : k * std::exp((-r) * t);
    const double plain = type == OptionType::Call ? s : k;
    return discounted > plain ? discounted : plain;
}

// Inputs no volatility can answer whatever the price: NaN anywhere, spot,
// strike or expiry not positive and finite, rates not finite.
bool inputs_unusable(double price, double s, double k, double t, double r, double q) {
    if (std::isnan(price)) return true;
    if (!(s > 0.0 && s < kInf && k > 0.0 && k < kInf && t > 0.0 && t < kInf)) return true;
    return !(std::isfinite(r) && std::isfinite(q));
}

// ---------------------------------------------------------------------------
// American
//
// The American price has no analytic vega worth having, so the root is
// bracketed and found with Brent's method (inverse quadratic interpolation,
// secant and bisection), which needs only price evaluations. The bracket comes
// from the European implied volatility of the same price: the American price
// is never below the European price at the same sigma, so that sigma is an
// upper end, and a step down along the European vega usually lands just below
// the root for the lower end.
// ---------------------------------------------------------------------------

constexpr double kMinSigma = 1e-8;
constexpr double kMaxSigma = 100.0;
constexpr int kMaxBracketSteps = 40;
constexpr int kMaxBrentSteps = 100;
constexpr double kBrentTolerance = 1e-13;  // relative, well inside the 1e-10 asked of a round trip

struct AmericanObjective {
    OptionInputs in;
    OptionType type;
    double p;
    double operator()(double sigma) {
        in.sigma = sigma;
        return american_price(in, type) - p;
    }
};

// Brent's zero finder on [a, b] with fa <= 0 <= fb (or the reverse).
double brent(AmericanObjective& f, double a, double fa, double b, double fb) {
    double c = a, fc = fa;
    double d = b - a, e = d;
    for (int i = 0; i < kMaxBrentSteps; ++i) {
        if ((fb > 0.0 && fc > 0.0) || (fb < 0.0 && fc < 0.0)) {
            c = a;
            fc = fa;
            d = b - a;
            e = d;
        }
        if (std::fabs(fc) < std::fabs(fb)) {
            a = b;
            b = c;
            c = a;
            fa = fb;
            fb = fc;
            fc = fa;
        }
        const double tol = 2.0 * 0x1p-53 * std::fabs(b) + 0.5 * kBrentTolerance * std::fabs(b);
        const double half = 0.5 * (c - b);
        if (std::fabs(half) <= tol || fb == 0.0) return b;
        if (std::fabs(e) >= tol && std::fabs(fa) > std::fabs(fb)) {
            double p, q;
            const double sb = fb / fa;
            if (a == c) {
                p = 2.0 * half * sb;
                q = 1.0 - sb;
            } else {
                const double qa = fa / fc;
                const double rb = fb / fc;
                p = sb * (2.0 * half * qa * (qa - rb) - (b - a) * (rb - 1.0));
                q = (qa - 1.0) * (rb - 1.0) * (sb - 1.0);
            }
            if (p > 0.0) {
                q = -q;
            } else {
                p = -p;
            }
            if (2.0 * p < std::fmin(3.0 * half * q - std::fabs(tol * q), std::fabs(e * q))) {
                e = d;
                d = p / q;
            } else {
                d = half;
                e = d;
            }
        } else {
            d = half;
            e = d;
        }
        a = b;
        fa = fb;
        b += std::fabs(d) > tol ? d : (half > 0.0 ? tol : -tol);
        fb = f(b);
        if (std::isnan(fb)) return kNaN;
    }
    return b;
}

}  // namespace

double european_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type) {
    if (inputs_unusable(price, s, k, t, r, q)) return kNaN;
    const EuropeanProblem e = european_problem(s, k, t, r, q, type);
    if (price < e.lower || !(price < e.upper)) return kNaN;
    if (price == e.lower) return 0.0;
    return solve_european(e.m, price, e.lower);
}

double american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type) {
    if (inputs_unusable(price, s, k, t, r, q)) return kNaN;
    const double exercise = type == OptionType::Call ? s - k : k - s;
    const double intrinsic = exercise > 0.0 ? exercise : 0.0;
    const double upper = american_upper_bound(s, k, t, r, q, type);
    const EuropeanProblem e = european_problem(s, k, t, r, q, type);
    if (price < intrinsic || price < e.lower || !(price < upper)) return kNaN;
    if (price == 0.0) return 0.0;  // both bounds are 0 here
    if (price == intrinsic) return kNaN;
    // Without early exercise (carry at least the rate in the call frame) the
    // model is the European price itself, which reaches its lower bound only
    // in the limit sigma -> 0.
    if (price == e.lower) return e.m.b >= e.m.r ? 0.0 : kNaN;

    AmericanObjective f{{s, k, t, r, 0.0, q}, type, price};
    // Upper end: the European implied volatility of the price; when the price
    // is beyond the European range (an American call can be worth more than
    // s e^(-qt)) start from 1 and double.
    double hi = price < e.upper ? solve_european(e.m, price, e.lower) : 1.0;
    if (!(hi >= kMinSigma)) hi = kMinSigma;
    double f_hi = f(hi);
    if (f_hi == 0.0) return hi;
    double lo = hi;
    double f_lo = f_hi;
    for (int i = 0; i < kMaxBracketSteps && !(f_hi > 0.0); ++i) {
        lo = hi;
        f_lo = f_hi;
        hi = 2.0 * hi;
        if (hi > kMaxSigma) return kNaN;
        f_hi = f(hi);
        if (f_hi == 0.0) return hi;
    }
    if (!(f_hi > 0.0)) return kNaN;
    if (!(f_lo < 0.0)) {
        // Lower end: a Newton step down along the European vega, then secant
        // steps through the last two points, each taken 20% further than
        // predicted so that it tends to overshoot the root, and never more
        // than a factor 4 down at a time.
        const Evaluation ev = evaluate(e.m, hi);
        double guess = hi - 1.2 * (f_hi / ev.vega);
        double x_prev = hi, f_prev = f_hi;
        for (int i = 0;; ++i) {
            if (i == kMaxBracketSteps) return kNaN;
            if (!(guess >= 0.25 * hi && guess < hi)) guess = 0.25 * hi;
            if (guess < kMinSigma) {
                if (hi <= kMinSigma) return kNaN;
                guess = kMinSigma;
            }
            const double f_guess = f(guess);
            if (f_guess == 0.0) return guess;
            if (f_guess < 0.0) {
                lo = guess;
                f_lo = f_guess;
                break;
            }
            if (std::isnan(f_guess)) return kNaN;
            x_prev = hi;
            f_prev = f_hi;
            hi = guess;
            f_hi = f_guess;
            const double slope = (f_prev - f_hi) / (x_prev - hi);
            guess = slope > 0.0 ? hi - 1.2 * (f_hi / slope) : 0.25 * hi;
        }
    }
    return brent(f, lo, f_lo, hi, f_hi);
}

}  // namespace varnelle
