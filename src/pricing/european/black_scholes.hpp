// European Greeks under Black-Scholes with a continuous dividend yield.
//
// Units: theta per calendar day, vega per 1.0 of volatility, rho per 1% of
// rate. Nothing is validated: degenerate inputs give whatever IEEE arithmetic
// yields (NaN, signed zeros, infinities). Every operation below fixes its
// order of evaluation because results are reproduced bit for bit.
#pragma once

#include <cmath>
#include <cstddef>

#include "pricing/european/batch.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/core/types.hpp"

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
    return exponent == 0.0 ? 1.0 : std::pow(kE, exponent);
}

// exp(-d1^2 / 2): divided by sqrt(2 pi) it is phi(d1), divided by the negated
// constant exactly -phi(d1).
[[gnu::always_inline]] inline double gauss(double d1) { return std::exp((-0.5 * d1) * d1); }

// N is read at d1 for a call and at -d1 for a put; likewise for d2. Every
// Greek that reads the distribution reads it at these two points.
[[gnu::always_inline]] inline double side_point(double d, OptionType type) {
    return type == OptionType::Call ? d : -d;
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
        (((in.sigma * in.s) * dq) * (gauss_d1 / (-kSqrtTwoPi))) / (terms.sqrt_t + terms.sqrt_t);
    const double kr = dr * (in.k * in.r);
    const double sq = (in.s * in.q) * dq;
    const double theta = type == OptionType::Call ? (decay - kr * n_d2) + n_d1 * sq
                                                  : (kr * n_d2 + decay) - n_d1 * sq;
    return theta / kDaysPerYear;
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

// The operations that read the normal distribution come in two stages around
// it: prepare works out the points at which N is needed and keeps what the
// result needs besides; finish combines them with the values of N. A batch
// of rows then evaluates all its N(x) together, and the single operations
// below are the same stages run back to back (both in batch.hpp), so the two
// give the same bits by construction.
struct BlackScholesDelta {
    static constexpr std::size_t kPoints = 1;
    static constexpr std::size_t kOutputs = 1;
    struct State {
        double dq;
        OptionType type;
    };
    static State prepare(const OptionInputs& in, OptionType type, double* points) {
        points[0] = detail::side_point(detail::black_scholes_terms(in).d1, type);
        return {detail::dividend_discount(in), type};
    }
    static void finish(const State& st, const double* n, double* out) {
        out[0] = detail::delta_from(n[0], st.dq, st.type);
    }
};

struct BlackScholesTheta {
    static constexpr std::size_t kPoints = 2;
    static constexpr std::size_t kOutputs = 1;
    struct State {
        OptionInputs in;
        detail::BlackScholesTerms terms;
        double dq, dr, gauss_d1;
        OptionType type;
    };
    static State prepare(const OptionInputs& in, OptionType type, double* points) {
        const auto terms = detail::black_scholes_terms(in);
        points[0] = detail::side_point(terms.d1, type);
        points[1] = detail::side_point(terms.d1 - terms.big_d, type);
        return {in, terms, detail::dividend_discount(in), detail::rate_discount(in), detail::gauss(terms.d1), type};
    }
    static void finish(const State& st, const double* n, double* out) {
        out[0] = detail::theta_from(st.in, st.terms, st.dq, st.dr, st.gauss_d1, n[0], n[1], st.type);
    }
};

struct BlackScholesRho {
    static constexpr std::size_t kPoints = 1;
    static constexpr std::size_t kOutputs = 1;
    struct State {
        OptionInputs in;
        double dr;
        OptionType type;
    };
    static State prepare(const OptionInputs& in, OptionType type, double* points) {
        const auto terms = detail::black_scholes_terms(in);
        points[0] = detail::side_point(terms.d1 - terms.big_d, type);
        return {in, detail::rate_discount(in), type};
    }
    static void finish(const State& st, const double* n, double* out) {
        out[0] = detail::rho_from(st.in, n[0], st.dr, st.type);
    }
};

// All five at once. Every field equals its single operation bit for bit: the
// operations are pure, so each shared piece (d1, d2, the discount factors,
// exp(-d1^2/2), N at d1 and d2) is evaluated once and read by every Greek
// that needs it, in the same expressions the single operations use.
struct BlackScholesGreeks {
    static constexpr std::size_t kPoints = 2;
    static constexpr std::size_t kOutputs = 5;
    // Theta reads every shared piece the others read.
    using State = BlackScholesTheta::State;
    static State prepare(const OptionInputs& in, OptionType type, double* points) {
        return BlackScholesTheta::prepare(in, type, points);
    }
    static void finish(const State& st, const double* n, double* out) {
        const double pdf = st.gauss_d1 / kSqrtTwoPi;  // norm_pdf(d1)
        out[0] = detail::delta_from(n[0], st.dq, st.type);
        out[1] = detail::gamma_from(st.in, st.terms, pdf);
        out[2] = detail::theta_from(st.in, st.terms, st.dq, st.dr, st.gauss_d1, n[0], n[1], st.type);
        out[3] = ((st.dq * st.in.s) * pdf) * st.terms.sqrt_t;
        out[4] = detail::rho_from(st.in, n[1], st.dr, st.type);
    }
};

inline double black_scholes_delta(const OptionInputs& in, OptionType type) {
    return run_staged<BlackScholesDelta>(in, type);
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
    return run_staged<BlackScholesTheta>(in, type);
}

inline double black_scholes_rho(const OptionInputs& in, OptionType type) {
    return run_staged<BlackScholesRho>(in, type);
}

inline Greeks black_scholes_greeks(const OptionInputs& in, OptionType type) {
    double out[5];
    run_staged<BlackScholesGreeks>(in, type, out);
    return {out[0], out[1], out[2], out[3], out[4]};
}

}  // namespace varnelle
