#include "american.hpp"

#include "bjerksund_stensland.hpp"

namespace varnelle {
namespace {

// Fixed finite-difference steps.
constexpr double kSpotStepFraction = 0.0001;  // h = 0.0001 * s
constexpr double kVolStep = 0.0001;
constexpr double kRateStep = 0.0001;
constexpr double kCentralDivisor = 0.0002;
constexpr double kOneDay = 0.0027397260273972603;  // 1/365 year
constexpr double kShortestTime = 0.0001;
constexpr double kRhoScale = 100.0;

// V with its moved inputs carried through every step: b is recomputed from
// the (possibly moved) rate with q held fixed, the intrinsic value from the
// (possibly moved) spot.
inline double value(const OptionInputs& in, OptionType type) {
    const double b = in.r - in.q;
    double model;
    double intrinsic;
    if (type == OptionType::Call) {
        model = bjerksund_stensland_call(in.s, in.k, in.t, in.r, b, in.sigma);
        const double x = in.s - in.k;
        intrinsic = x > 0.0 ? x : 0.0;  // a NaN difference gives 0
    } else {
        // Put-call transformation: spot and strike swap, rate r - b, carry -b.
        model = bjerksund_stensland_call(in.k, in.s, in.t, in.r - b, -b, in.sigma);
        const double x = in.k - in.s;
        intrinsic = x > 0.0 ? x : 0.0;
    }
    return model > intrinsic ? model : intrinsic;  // a NaN model value gives the floor
}

inline OptionInputs with_spot(OptionInputs in, double s) {
    in.s = s;
    return in;
}
inline OptionInputs with_time(OptionInputs in, double t) {
    in.t = t;
    return in;
}
inline OptionInputs with_sigma(OptionInputs in, double sigma) {
    in.sigma = sigma;
    return in;
}
inline OptionInputs with_rate(OptionInputs in, double r) {
    in.r = r;
    return in;
}

}  // namespace

double american_price(const OptionInputs& in, OptionType type) { return value(in, type); }

double american_delta(const OptionInputs& in, OptionType type) {
    const double h = kSpotStepFraction * in.s;
    return (value(with_spot(in, in.s + h), type) - value(with_spot(in, in.s - h), type)) / (h + h);
}

double american_gamma(const OptionInputs& in, OptionType type) {
    const double h = kSpotStepFraction * in.s;
    const double up = value(with_spot(in, in.s + h), type);
    const double mid = value(in, type);
    const double down = value(with_spot(in, in.s - h), type);
    return ((up - 2.0 * mid) + down) / (h * h);
}

double american_theta(const OptionInputs& in, OptionType type) {
    double shorter = in.t - kOneDay;
    if (!(shorter > kShortestTime)) shorter = kShortestTime;  // NaN included
    return value(with_time(in, shorter), type) - value(in, type);
}

double american_vega(const OptionInputs& in, OptionType type) {
    return (value(with_sigma(in, in.sigma + kVolStep), type) -
            value(with_sigma(in, in.sigma - kVolStep), type)) /
           kCentralDivisor;
}

double american_rho(const OptionInputs& in, OptionType type) {
    return ((value(with_rate(in, in.r + kRateStep), type) -
             value(with_rate(in, in.r - kRateStep), type)) /
            kCentralDivisor) /
           kRhoScale;
}

// Each Greek exactly as its single operation; no evaluation is shared, so
// every field matches the single operation bit for bit.
Greeks american_greeks(const OptionInputs& in, OptionType type) {
    return Greeks{american_delta(in, type), american_gamma(in, type), american_theta(in, type),
                  american_vega(in, type), american_rho(in, type)};
}

}  // namespace varnelle
