// European Greeks under Black-Scholes with a continuous dividend yield.
//
// Units: theta per calendar day, vega per 1.0 of volatility, rho per 1% of
// rate. Nothing is validated: degenerate inputs give whatever IEEE arithmetic
// yields (NaN, signed zeros, infinities). Every operation below fixes its
// order of evaluation because results are reproduced bit for bit.
#pragma once

#include <cmath>

#include "normal.hpp"
#include "types.hpp"

namespace varnelle {

namespace detail {

// Terms every Black-Scholes operation starts from.
struct BlackScholesTerms {
    double sqrt_t;
    double d1;
    double big_d;  // sqrt(t) * sigma
};

[[gnu::always_inline]] inline BlackScholesTerms black_scholes_terms(const OptionInputs& in) {
    const double log_moneyness = std::log(in.s / in.k);  // log of the quotient, not a difference of logs
    double a = in.sigma * in.sigma;
    a = a * 0.5;
    a = a + (in.r - in.q);
    a = a * in.t;
    a = a + log_moneyness;
    const double sqrt_t = std::sqrt(in.t);
    const double big_d = sqrt_t * in.sigma;
    return {sqrt_t, a / big_d, big_d};
}

// The dividend discount factor of gamma comes from pow on the double nearest e,
// not from exp; the two differ in the last bit for most q * t != 0.
[[gnu::always_inline]] inline double gamma_discount(const OptionInputs& in) {
    return std::pow(2.718281828459045, (-in.q) * in.t);
}

[[gnu::always_inline]] inline double delta_from(double d1, double dq, OptionType type) {
    if (type == OptionType::Call) return dq * norm_cdf(d1);
    // Formed with the negated discount factor so that N(-d1) == 0 gives -0.0.
    return norm_cdf(-d1) * (-dq);
}

[[gnu::always_inline]] inline double rho_from(const OptionInputs& in, double d2, OptionType type) {
    const double dr = std::exp((-in.r) * in.t);
    if (type == OptionType::Call) return (norm_cdf(d2) * (dr * (in.k * in.t))) / 100.0;
    return (norm_cdf(-d2) * (dr * ((-in.k) * in.t))) / 100.0;
}

}  // namespace detail

inline double black_scholes_delta(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    return detail::delta_from(terms.d1, std::exp((-in.q) * in.t), type);
}

inline double black_scholes_gamma(const OptionInputs& in) {
    const auto terms = detail::black_scholes_terms(in);
    return (detail::gamma_discount(in) * norm_pdf(terms.d1)) / ((in.s * in.sigma) * terms.sqrt_t);
}

inline double black_scholes_vega(const OptionInputs& in) {
    const auto terms = detail::black_scholes_terms(in);
    const double dq = std::exp((-in.q) * in.t);
    return (norm_pdf(terms.d1) * (dq * in.s)) * terms.sqrt_t;
}

inline double black_scholes_theta(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    const double d2 = terms.d1 - terms.big_d;
    const double dq = std::exp((-in.q) * in.t);
    const double dr = std::exp((-in.r) * in.t);
    // -s * sigma * e^(-q t) * phi(d1) / (2 sqrt(t)); -phi comes from dividing by
    // the negated constant, which gives exactly -phi.
    const double decay = (((in.sigma * in.s) * dq) *
                          (std::exp((-0.5 * terms.d1) * terms.d1) / (-2.5066282746310007))) /
                         (terms.sqrt_t + terms.sqrt_t);
    const double kr = dr * (in.k * in.r);
    const double sq = (in.s * in.q) * dq;
    double theta;
    if (type == OptionType::Call) {
        theta = (decay - kr * norm_cdf(d2)) + norm_cdf(terms.d1) * sq;
    } else {
        theta = (kr * norm_cdf(-d2) + decay) - norm_cdf(-terms.d1) * sq;
    }
    return theta / 365.0;
}

inline double black_scholes_rho(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    return detail::rho_from(in, terms.d1 - terms.big_d, type);
}

// All five at once. The shared terms are evaluated once; theta is delegated to
// its own operation. Every field equals the single operation bit for bit.
inline Greeks black_scholes_greeks(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    const double dq = std::exp((-in.q) * in.t);
    const double pdf = norm_pdf(terms.d1);
    Greeks g;
    g.delta = detail::delta_from(terms.d1, dq, type);
    g.gamma = (detail::gamma_discount(in) * pdf) / ((in.s * in.sigma) * terms.sqrt_t);
    g.theta = black_scholes_theta(in, type);
    g.vega = ((dq * in.s) * pdf) * terms.sqrt_t;
    g.rho = detail::rho_from(in, terms.d1 - terms.big_d, type);
    return g;
}

}  // namespace varnelle
