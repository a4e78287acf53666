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
    const double exponent = (-in.q) * in.t;
    // pow(x, +-0) is exactly 1; no dividend yield is the common case.
    return exponent == 0.0 ? 1.0 : std::pow(2.718281828459045, exponent);
}

// exp(-d1^2 / 2): divided by sqrt(2 pi) it is phi(d1), divided by the negated
// constant exactly -phi(d1).
[[gnu::always_inline]] inline double gauss(double d1) { return std::exp((-0.5 * d1) * d1); }

// N(d1) for a call, N(-d1) for a put; likewise for d2. Every Greek that reads
// the distribution reads it at these two points.
[[gnu::always_inline]] inline double side_cdf(double d, OptionType type) {
    return type == OptionType::Call ? norm_cdf(d) : norm_cdf(-d);
}

[[gnu::always_inline]] inline double delta_from(double n_d1, double dq, OptionType type) {
    if (type == OptionType::Call) return dq * n_d1;
    // Formed with the negated discount factor so that N(-d1) == 0 gives -0.0.
    return n_d1 * (-dq);
}

[[gnu::always_inline]] inline double gamma_from(const OptionInputs& in, const BlackScholesTerms& terms,
                                                double pdf) {
    return (gamma_discount(in) * pdf) / ((in.s * in.sigma) * terms.sqrt_t);
}

// Theta per calendar day from the shared pieces.
[[gnu::always_inline]] inline double theta_from(const OptionInputs& in, const BlackScholesTerms& terms,
                                                double dq, double dr, double gauss_d1, double n_d1,
                                                double n_d2, OptionType type) {
    // -s * sigma * e^(-q t) * phi(d1) / (2 sqrt(t)); 2 sqrt(t) is the sum sqrt(t) + sqrt(t).
    const double decay =
        (((in.sigma * in.s) * dq) * (gauss_d1 / (-2.5066282746310007))) / (terms.sqrt_t + terms.sqrt_t);
    const double kr = dr * (in.k * in.r);
    const double sq = (in.s * in.q) * dq;
    const double theta = type == OptionType::Call ? (decay - kr * n_d2) + n_d1 * sq
                                                  : (kr * n_d2 + decay) - n_d1 * sq;
    return theta / 365.0;
}

[[gnu::always_inline]] inline double rho_from(const OptionInputs& in, double n_d2, double dr,
                                              OptionType type) {
    if (type == OptionType::Call) return (n_d2 * (dr * (in.k * in.t))) / 100.0;
    return (n_d2 * (dr * ((-in.k) * in.t))) / 100.0;
}

// e^(-x t); exp(+-0) is exactly 1, so a zero exponent skips the call.
[[gnu::always_inline]] inline double discount(double x, double t) {
    const double exponent = (-x) * t;
    return exponent == 0.0 ? 1.0 : std::exp(exponent);
}
[[gnu::always_inline]] inline double dividend_discount(const OptionInputs& in) { return discount(in.q, in.t); }
[[gnu::always_inline]] inline double rate_discount(const OptionInputs& in) { return discount(in.r, in.t); }

}  // namespace detail

inline double black_scholes_delta(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    return detail::delta_from(detail::side_cdf(terms.d1, type), detail::dividend_discount(in), type);
}

inline double black_scholes_gamma(const OptionInputs& in) {
    const auto terms = detail::black_scholes_terms(in);
    return detail::gamma_from(in, terms, norm_pdf(terms.d1));
}

inline double black_scholes_vega(const OptionInputs& in) {
    const auto terms = detail::black_scholes_terms(in);
    return (norm_pdf(terms.d1) * (detail::dividend_discount(in) * in.s)) * terms.sqrt_t;
}

inline double black_scholes_theta(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    const double d2 = terms.d1 - terms.big_d;
    return detail::theta_from(in, terms, detail::dividend_discount(in), detail::rate_discount(in),
                              detail::gauss(terms.d1), detail::side_cdf(terms.d1, type),
                              detail::side_cdf(d2, type), type);
}

inline double black_scholes_rho(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    return detail::rho_from(in, detail::side_cdf(terms.d1 - terms.big_d, type), detail::rate_discount(in),
                            type);
}

// All five at once. Every field equals its single operation bit for bit: the
// operations are pure, so each shared piece (d1, d2, the discount factors,
// exp(-d1^2/2), N at d1 and d2) is evaluated once and read by every Greek
// that needs it, in the same expressions the single operations use.
inline Greeks black_scholes_greeks(const OptionInputs& in, OptionType type) {
    const auto terms = detail::black_scholes_terms(in);
    const double d2 = terms.d1 - terms.big_d;
    const double dq = detail::dividend_discount(in);
    const double dr = detail::rate_discount(in);
    const double gauss_d1 = detail::gauss(terms.d1);
    const double pdf = gauss_d1 / 2.5066282746310007;  // norm_pdf(d1)
    const double n_d1 = detail::side_cdf(terms.d1, type);
    const double n_d2 = detail::side_cdf(d2, type);
    Greeks g;
    g.delta = detail::delta_from(n_d1, dq, type);
    g.gamma = detail::gamma_from(in, terms, pdf);
    g.theta = detail::theta_from(in, terms, dq, dr, gauss_d1, n_d1, n_d2, type);
    g.vega = ((dq * in.s) * pdf) * terms.sqrt_t;
    g.rho = detail::rho_from(in, n_d2, dr, type);
    return g;
}

}  // namespace varnelle
