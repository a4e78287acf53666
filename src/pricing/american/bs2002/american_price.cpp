#include "pricing/american/bs2002/american_price.hpp"

#include "pricing/american/bs2002/bjerksund_stensland.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/core/put_call.hpp"

namespace varnelle {
namespace {

// Fixed finite-difference steps.
constexpr double kSpotStepFraction = 0.0001;  // h = 0.0001 * s
constexpr double kVolStep = 0.0001;
constexpr double kRateStep = 0.0001;
constexpr double kCentralDivisor = 0.0002;
constexpr double kShortestTime = 0.0001;
constexpr double kRhoScale = 100.0;

// V with its moved inputs carried through every step: b is recomputed from
// the (possibly moved) rate with q held fixed, the intrinsic value from the
// (possibly moved) spot.
inline double value(const OptionInputs& in, OptionType type) {
    const CallEquivalent c = call_equivalent(in.s, in.k, in.r, in.q, type);
    const double model = bjerksund_stensland_call(c.S, c.K, in.t, c.r, c.b, in.sigma);
    const double x = type == OptionType::Call ? in.s - in.k : in.k - in.s;
    const double intrinsic = x > 0.0 ? x : 0.0;  // a NaN difference gives 0
    return model > intrinsic ? model : intrinsic;  // a NaN model value gives the floor
}

// V with one input moved to x, the others as given.
inline double value_at(OptionInputs in, double OptionInputs::*field, double x, OptionType type) {
    in.*field = x;
    return value(in, type);
}

// V at s + h and s - h with h = 0.0001 * s: delta and gamma use the same
// two points, so the full set of Greeks evaluates them once.
struct SpotStep {
    double h;
    double up;
    double down;
};

inline SpotStep spot_step(const OptionInputs& in, OptionType type) {
    const double h = kSpotStepFraction * in.s;
    return {h, value_at(in, &OptionInputs::s, in.s + h, type),
            value_at(in, &OptionInputs::s, in.s - h, type)};
}

inline double delta_from(const SpotStep& step) { return (step.up - step.down) / (step.h + step.h); }

inline double gamma_from(const SpotStep& step, double now) {
    return ((step.up - 2.0 * now) + step.down) / (step.h * step.h);
}

// now = V at the unmoved inputs.
inline double theta_from(const OptionInputs& in, OptionType type, double now) {
    double shorter = in.t - kOneDay;
    if (!(shorter > kShortestTime)) shorter = kShortestTime;  // NaN included
    return value_at(in, &OptionInputs::t, shorter, type) - now;
}

}  // namespace

double american_price(const OptionInputs& in, OptionType type) { return value(in, type); }

double american_delta(const OptionInputs& in, OptionType type) {
    return delta_from(spot_step(in, type));
}

double american_gamma(const OptionInputs& in, OptionType type) {
    return gamma_from(spot_step(in, type), value(in, type));
}

double american_theta(const OptionInputs& in, OptionType type) {
    return theta_from(in, type, value(in, type));
}

double american_vega(const OptionInputs& in, OptionType type) {
    return (value_at(in, &OptionInputs::sigma, in.sigma + kVolStep, type) -
            value_at(in, &OptionInputs::sigma, in.sigma - kVolStep, type)) /
           kCentralDivisor;
}

double american_rho(const OptionInputs& in, OptionType type) {
    return ((value_at(in, &OptionInputs::r, in.r + kRateStep, type) -
             value_at(in, &OptionInputs::r, in.r - kRateStep, type)) /
            kCentralDivisor) /
           kRhoScale;
}

// Every field equals its single operation bit for bit: the operations are
// pure, so evaluations at identical inputs (the two spot points of delta and
// gamma, the unmoved value of gamma and theta) are made once and reused.
// That is 8 evaluations instead of 11.
Greeks american_greeks(const OptionInputs& in, OptionType type) {
    const SpotStep step = spot_step(in, type);
    const double now = value(in, type);
    return Greeks{delta_from(step), gamma_from(step, now), theta_from(in, type, now),
                  american_vega(in, type), american_rho(in, type)};
}

}  // namespace varnelle
