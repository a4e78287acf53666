#include "pricing/american/bs2002/implied_vol.hpp"

#include <cmath>

#include "pricing/american/bounds.hpp"
#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/european/implied_vol_detail.hpp"
#include "pricing/math/root_finding.hpp"

namespace varnelle {
namespace {

// The American price has no analytic vega worth having, so the root is
// bracketed and found with Brent's method (inverse quadratic interpolation,
// secant and bisection), which needs only price evaluations. The bracket comes
// from the European implied volatility of the same price: the American price
// is never below the European price at the same sigma, so that sigma is an
// upper end, and a step down along the European vega usually lands just below
// the root for the lower end. Each step down goes 20 % further than the
// secant predicts, so that it tends to overshoot the root, and never more than
// a factor 4 down at a time.
constexpr OutwardSearch kBracketSearch{.lowest = kLowestImpliedVol,
                                       .highest = kHighestImpliedVol,
                                       .growth = 2.0,
                                       .overshoot = 1.2,
                                       .widest_down = 0.25,
                                       .max_steps = 40};
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
    // When the price is beyond the European range (an American call can be
    // worth more than s e^(-qt)) the search starts from 1 and grows.
    const double start = price < e.upper ? detail::solve_european(e.m, price, e.lower) : 1.0;
    const auto vega = [&](double sigma) { return detail::model_vega(e.m, sigma); };
    const OutwardBracket b = bracket_outward(f, start, vega, kBracketSearch);
    if (b.found == OutwardBracket::Found::Root) return b.hi;
    if (b.found == OutwardBracket::Found::Nothing) return kNaN;
    return brent(f, b.lo, b.f_lo, b.hi, b.f_hi, kBrentTolerance, kMaxBrentSteps).x;
}

}  // namespace varnelle
