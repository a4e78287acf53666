// The American put that values an option, and the way back from its results.
//
// Both American models solve puts only. A put is itself; a call is the put
// with spot and strike swapped and rate and yield swapped, by the put-call
// symmetry of American options (McDonald and Schroder):
//     C(S, K, T, r, q, sigma) = P(K, S, T, q, r, sigma).
// The symmetry holds for a continuous yield. It fails with cash dividends,
// where the spot drops by an amount rather than a fraction: a call is then no
// put's image and needs its own treatment, which is decided here and nowhere
// else.
//
// (The specified model values every option as a call instead, through
// core/put_call.hpp, whose arithmetic its results are fixed to.)
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

// The rate and yield of the put that values an option.
struct PutRates {
    double r, q;
};

[[gnu::always_inline]] inline PutRates put_rates(double r, double q, OptionType type) {
    if (type == OptionType::Put) return {r, q};
    return {q, r};
}

// The inputs of the put that values the option.
[[gnu::always_inline]] inline OptionInputs as_put(const OptionInputs& in, OptionType type) {
    const PutRates rates = put_rates(in.r, in.q, type);
    if (type == OptionType::Put) return {in.s, in.k, in.t, rates.r, in.sigma, rates.q};
    return {in.k, in.s, in.t, rates.r, in.sigma, rates.q};
}

// Which of its put's two rates is the option's own rate r (the one rho
// differentiates): the put's r for a put, its q for a call.
enum class OptionRate { PutRate, PutYield };

[[gnu::always_inline]] inline OptionRate option_rate_in_put(OptionType type) {
    return type == OptionType::Put ? OptionRate::PutRate : OptionRate::PutYield;
}

// The option's critical spot from the boundary b = B / K of the put that
// values it, in units of that put's strike. A put of strike k is exercised at
// or below k b. A call of strike k is the put of spot k and strike S, which is
// exercised when k <= S b: the call is exercised at or above k / b.
[[gnu::always_inline]] inline double critical_spot_from_put(double k, double b, OptionType type) {
    return type == OptionType::Put ? k * b : k / b;
}

// Whether spot s is at or past the critical spot: at or below it for a put,
// at or above it for a call.
[[gnu::always_inline]] inline bool at_or_past(double s, double critical, OptionType type) {
    return type == OptionType::Put ? s <= critical : s >= critical;
}

// The value, delta and gamma of a put of strike 1 at spot x.
struct UnitPutGreeks {
    double value, delta, gamma;
};

// The value, delta and gamma of an option in its own spot.
struct SpotGreeks {
    double value, delta, gamma;
};

// The put of strike K at spot S is K P1(x) with x = S / K: its delta is
// P1'(x), its gamma P1''(x) / K.
[[gnu::always_inline]] inline SpotGreeks put_greeks_from_unit_put(const UnitPutGreeks& u, double k) {
    return {k * u.value, u.delta, u.gamma / k};
}

// The call at spot S of strike K is the put of spot K and strike S, S P1(x)
// with x = K / S: dC/dS = P1 - x P1'(x), d2C/dS2 = x^2 P1''(x) / S. Where the
// put's delta or gamma is zero its term stays zero, with its sign, also when
// x or x^2 overflows (a strike past 1e154 times the spot).
[[gnu::always_inline]] inline SpotGreeks call_greeks_from_put(const UnitPutGreeks& u, double x, double s) {
    const double slope_term = u.delta == 0.0 ? 0.0 * u.delta : x * u.delta;
    return {s * u.value, u.value - slope_term, u.gamma == 0.0 ? u.gamma : (x * x * u.gamma) / s};
}

// The option's value, delta and gamma from those of the unit put at
// x = put.s / put.k, put being as_put of the option.
[[gnu::always_inline]] inline SpotGreeks greeks_from_unit_put(const UnitPutGreeks& u, const OptionInputs& put,
                                                              OptionType type) {
    if (type == OptionType::Put) return put_greeks_from_unit_put(u, put.k);
    return call_greeks_from_put(u, put.s / put.k, put.k);
}

}  // namespace varnelle
