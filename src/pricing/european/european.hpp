// The European value under Black-Scholes with a cost of carry, and the
// European price of a call or put with a continuous dividend yield.
//
// The price of a put goes through the same put-call transformation as the
// American model (spot and strike swap, rate r - b, carry -b), so that it is
// to the bit the European value the American price is floored at.
#pragma once

#include <cmath>
#include <cstddef>

#include "pricing/european/batch.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/core/put_call.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

namespace detail {

// The European call value from its pieces, so that the Bjerksund-Stensland
// approximation can share ln(S/K) and the two discount factors with its terms;
// in two stages around N like the Black-Scholes operations.
[[gnu::always_inline]] inline void european_points(double T, double b, double sigma, double sigma2,
                                                   double sqrt_t, double log_sk, double* points) {
    const double d1 = ((b + sigma2 * 0.5) * T + log_sk) / (sqrt_t * sigma);
    points[0] = d1;
    points[1] = d1 - sqrt_t * sigma;
}

[[gnu::always_inline]] inline double european_value(const double* n, double S, double K, double carry_discount,
                                                    double rate_discount) {
    return n[0] * (S * carry_discount) - n[1] * (K * rate_discount);
}

[[gnu::always_inline]] inline double european_from(double S, double K, double T, double b, double sigma,
                                                   double sigma2, double sqrt_t, double log_sk,
                                                   double carry_discount, double rate_discount) {
    double points[2];
    european_points(T, b, sigma, sigma2, sqrt_t, log_sk, points);
    const double n[2] = {norm_cdf(points[0]), norm_cdf(points[1])};
    return european_value(n, S, K, carry_discount, rate_discount);
}

// The generalized Black-Scholes call value with cost of carry b.
inline double european_call(double S, double K, double T, double r, double b, double sigma) {
    const double sigma2 = sigma * sigma;
    return european_from(S, K, T, b, sigma, sigma2, std::sqrt(T), std::log(S / K), std::exp((b - r) * T),
                         std::exp((-r) * T));
}

}  // namespace detail

// European price. At or after expiry (t <= 0) it is the payoff, as for the
// American price; a NaN spot or strike stays NaN there. A put is valued as
// its call equivalent (put_call.hpp).
struct EuropeanPrice {
    static constexpr std::size_t kPoints = 2;
    static constexpr std::size_t kOutputs = 1;
    struct State {
        double S, K, carry_discount, rate_discount;
        bool expired;
        double payoff;
    };
    static State prepare(const OptionInputs& in, OptionType type, double* points) {
        if (in.t <= 0.0) {
            points[0] = points[1] = 0.0;
            const double x = type == OptionType::Call ? in.s - in.k : in.k - in.s;
            return {0.0, 0.0, 0.0, 0.0, true, x > 0.0 ? x : (std::isnan(x) ? x : 0.0)};
        }
        const CallEquivalent c = call_equivalent(in.s, in.k, in.r, in.q, type);
        const double sigma2 = in.sigma * in.sigma;
        detail::european_points(in.t, c.b, in.sigma, sigma2, std::sqrt(in.t), std::log(c.S / c.K), points);
        return {c.S, c.K, std::exp((c.b - c.r) * in.t), std::exp((-c.r) * in.t), false, 0.0};
    }
    static void finish(const State& st, const double* n, double* out) {
        const double value =
            st.expired ? st.payoff : detail::european_value(n, st.S, st.K, st.carry_discount, st.rate_discount);
        out[0] = floor_at_zero(value);
    }
    // Far out of the money the difference of the two products rounds to a
    // few subnormals below zero; a price never is. NaN stays NaN. Only the
    // price is floored: the American model takes its E from european_from,
    // unfloored, so its results keep their bits.
    static double floor_at_zero(double value) { return value <= 0.0 ? 0.0 : value; }
};

inline double european_price(const OptionInputs& in, OptionType type) { return run_staged<EuropeanPrice>(in, type); }

}  // namespace varnelle
