// Shared vocabulary of the pricing core: the option side, the six numeric
// inputs of every operation and the five-Greek result record.
#pragma once

// Every result of this library is defined down to the last bit by the order of
// its floating-point operations, so builds that let the compiler reassociate
// or fuse arithmetic are refused outright rather than silently accepted.
#if defined(__FAST_MATH__)
#error "varnelle must not be compiled with -ffast-math/-Ofast: results would change"
#endif
#if defined(__i386__) && !defined(__SSE2_MATH__)
#error "varnelle needs SSE2 double arithmetic; x87 excess precision would change results"
#endif

#include <cmath>

namespace varnelle {

enum class OptionType { Call, Put };

// s: spot, k: strike, t: years to expiry, r: risk-free rate, sigma: volatility,
// q: continuous dividend yield. Always in this order.
struct OptionInputs {
    double s;
    double k;
    double t;
    double r;
    double sigma;
    double q;
};

inline bool any_nan(const OptionInputs& in) {
    return std::isnan(in.s) || std::isnan(in.k) || std::isnan(in.t) || std::isnan(in.r) || std::isnan(in.sigma) ||
           std::isnan(in.q);
}

struct Greeks {
    double delta;
    double gamma;
    double theta;
    double vega;
    double rho;
};

}  // namespace varnelle
