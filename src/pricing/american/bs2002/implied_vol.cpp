#include "pricing/american/bs2002/implied_vol.hpp"

#include <cmath>

#include "pricing/american/bounds.hpp"
#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/european/implied_vol_detail.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle {
namespace {

// ---------------------------------------------------------------------------
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

}  // namespace

double american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type) {
    if (detail::implied_vol_inputs_unusable(price, s, k, t, r, q)) return kNaN;
    const double exercise = type == OptionType::Call ? s - k : k - s;
    const double intrinsic = exercise > 0.0 ? exercise : 0.0;
    const double upper = american_upper_bound(s, k, t, r, q, type);
    const detail::EuropeanProblem e = detail::european_problem(s, k, t, r, q, type);
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
    double hi = price < e.upper ? detail::solve_european(e.m, price, e.lower) : 1.0;
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
        double guess = hi - 1.2 * (f_hi / detail::model_vega(e.m, hi));
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
    return brent(f, lo, f_lo, hi, f_hi, kBrentTolerance, kMaxBrentSteps);
}

}  // namespace varnelle
