// The European value under Black-Scholes with a cost of carry, and the
// European price of a call or put with a continuous dividend yield.
//
// The price of a put goes through the same put-call transformation as the
// American model (spot and strike swap, rate r - b, carry -b), so that it is
// to the bit the European value the American price is floored at.
#pragma once

#include <cmath>

#include "normal.hpp"
#include "types.hpp"

namespace varnelle {

namespace detail {

// The European call value from its pieces, so that the Bjerksund-Stensland
// approximation can share ln(S/K) and the two discount factors with its terms.
[[gnu::always_inline]] inline double european_from(double S, double K, double T, double b, double sigma,
                                                   double sigma2, double sqrt_t, double log_sk,
                                                   double carry_discount, double rate_discount) {
    const double d1 = ((b + sigma2 * 0.5) * T + log_sk) / (sqrt_t * sigma);
    const double d2 = d1 - sqrt_t * sigma;
    return norm_cdf(d1) * (S * carry_discount) - norm_cdf(d2) * (K * rate_discount);
}

// The generalized Black-Scholes call value with cost of carry b.
inline double european_call(double S, double K, double T, double r, double b, double sigma) {
    const double sigma2 = sigma * sigma;
    return european_from(S, K, T, b, sigma, sigma2, std::sqrt(T), std::log(S / K), std::exp((b - r) * T),
                         std::exp((-r) * T));
}

}  // namespace detail

// European price. At or after expiry (t <= 0) it is the payoff, as for the
// American price; a NaN spot or strike stays NaN there.
inline double european_price(const OptionInputs& in, OptionType type) {
    const double b = in.r - in.q;
    if (in.t <= 0.0) {
        const double x = type == OptionType::Call ? in.s - in.k : in.k - in.s;
        return x > 0.0 ? x : (std::isnan(x) ? x : 0.0);
    }
    if (type == OptionType::Call) return detail::european_call(in.s, in.k, in.t, in.r, b, in.sigma);
    return detail::european_call(in.k, in.s, in.t, in.r - b, -b, in.sigma);
}

}  // namespace varnelle
