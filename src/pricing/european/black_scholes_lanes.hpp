// The European price and Black-Scholes Greeks, several rows at a time: each
// lane performs the operations of the single-row functions (european.hpp,
// black_scholes.hpp) in their order, with the lane exp, log and normal
// distribution, so every lane has the bits of its row. Templates over a lane
// type: include only where one is (simd_target.hpp).
//
// Where a row takes a different branch (a put, an expired price) both sides
// are evaluated and blended. Gamma's dividend discount is the platform's pow,
// one call per lane whose q t is not zero.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "pricing/core/constants.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/vector_exp.hpp"
#include "pricing/math/vector_log.hpp"
#include "pricing/math/vector_normal.hpp"

namespace varnelle::lanes {

template <class L>
struct EuropeanRow {
    typename L::D s, k, t, r, sigma, q;
    typename L::M put;
};

template <class L>
[[gnu::always_inline]] inline EuropeanRow<L> load_row(const EuropeanColumns& in, std::size_t i) {
    return {L::load(in.s + i), L::load(in.k + i),     L::load(in.t + i),
            L::load(in.r + i), L::load(in.sigma + i), L::load(in.q + i),
            in.put != nullptr ? L::from_bytes(in.put + i) : L::mnot(L::all_true())};
}

namespace detail {

// black_scholes.hpp's BlackScholesTerms.
template <class L>
struct Terms {
    typename L::D sqrt_t, d1, big_d;
};

template <class L>
[[gnu::always_inline]] inline Terms<L> terms(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    using D = typename L::D;
    const D log_moneyness = lanes::log<L>(L::div(in.s, in.k), tab);
    D a = L::mul(in.sigma, in.sigma);
    a = L::mul(a, L::set(0.5));
    a = L::add(a, L::sub(in.r, in.q));
    a = L::mul(a, in.t);
    a = L::add(a, log_moneyness);
    const D sqrt_t = L::sqrt(in.t);
    const D big_d = L::mul(sqrt_t, in.sigma);
    return {sqrt_t, L::div(a, big_d), big_d};
}

template <class L>
[[gnu::always_inline]] inline typename L::D side_point(typename L::D d, typename L::M put) {
    return L::select(put, L::neg(d), d);
}

// e^(-x t); e^(+-0) is exactly 1 as the single-row function has it.
template <class L>
[[gnu::always_inline]] inline typename L::D discount(typename L::D x, typename L::D t, const exp_log::Tables& tab) {
    return lanes::exp<L>(L::mul(L::neg(x), t), tab);
}

template <class L>
[[gnu::always_inline]] inline typename L::D gamma_discount(const EuropeanRow<L>& in) {
    const typename L::D exponent = L::mul(L::neg(in.q), in.t);
    return scalar_where<L>(L::ne(exponent, L::set(0.0)), exponent, L::set(1.0),
                           [](double e) { return std::pow(kE, e); });
}

template <class L>
[[gnu::always_inline]] inline typename L::D delta_from(typename L::D n_d1, typename L::D dq, typename L::M put) {
    return L::select(put, L::mul(n_d1, L::neg(dq)), L::mul(dq, n_d1));
}

template <class L>
[[gnu::always_inline]] inline typename L::D gamma_from(const EuropeanRow<L>& in, const Terms<L>& terms,
                                                       typename L::D pdf) {
    return L::div(L::mul(gamma_discount<L>(in), pdf), L::mul(L::mul(in.s, in.sigma), terms.sqrt_t));
}

template <class L>
[[gnu::always_inline]] inline typename L::D theta_from(const EuropeanRow<L>& in, const Terms<L>& terms,
                                                       typename L::D dq, typename L::D dr, typename L::D gauss_d1,
                                                       typename L::D n_d1, typename L::D n_d2) {
    using D = typename L::D;
    const D decay = L::div(L::mul(L::mul(L::mul(in.sigma, in.s), dq), L::div(gauss_d1, L::set(-kSqrtTwoPi))),
                           L::add(terms.sqrt_t, terms.sqrt_t));
    const D kr = L::mul(dr, L::mul(in.k, in.r));
    const D sq = L::mul(L::mul(in.s, in.q), dq);
    const D call = L::add(L::sub(decay, L::mul(kr, n_d2)), L::mul(n_d1, sq));
    const D put = L::sub(L::add(L::mul(kr, n_d2), decay), L::mul(n_d1, sq));
    return L::div(L::select(in.put, put, call), L::set(365.0));
}

template <class L>
[[gnu::always_inline]] inline typename L::D rho_from(const EuropeanRow<L>& in, typename L::D n_d2, typename L::D dr) {
    const typename L::D k = L::select(in.put, L::neg(in.k), in.k);
    return L::div(L::mul(n_d2, L::mul(dr, L::mul(k, in.t))), L::set(100.0));
}

}  // namespace detail

// european.hpp's EuropeanPrice: the call equivalent's value, or the payoff at
// and after expiry, never below zero.
template <class L>
[[gnu::always_inline]] inline typename L::D european_price(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    using D = typename L::D;
    const D zero = L::set(0.0);
    const D b = L::sub(in.r, in.q);
    const D spot = L::select(in.put, in.k, in.s);
    const D strike = L::select(in.put, in.s, in.k);
    const D rate = L::select(in.put, L::sub(in.r, b), in.r);
    const D carry = L::select(in.put, L::neg(b), b);
    const D sigma2 = L::mul(in.sigma, in.sigma);
    const D sqrt_t = L::sqrt(in.t);
    const D log_sk = lanes::log<L>(L::div(spot, strike), tab);
    const D vol = L::mul(sqrt_t, in.sigma);
    const D d1 = L::div(L::add(L::mul(L::add(carry, L::mul(sigma2, L::set(0.5))), in.t), log_sk), vol);
    const D d2 = L::sub(d1, vol);
    const D carry_discount = lanes::exp<L>(L::mul(L::sub(carry, rate), in.t), tab);
    const D rate_discount = lanes::exp<L>(L::mul(L::neg(rate), in.t), tab);
    D value = L::sub(L::mul(lanes::norm_cdf<L>(d1, tab), L::mul(spot, carry_discount)),
                     L::mul(lanes::norm_cdf<L>(d2, tab), L::mul(strike, rate_discount)));
    const auto expired = L::le(in.t, zero);
    if (L::any(expired)) {
        const D x = L::select(in.put, L::sub(in.k, in.s), L::sub(in.s, in.k));
        const D payoff = L::select(L::gt(x, zero), x, L::select(L::isnan(x), x, zero));
        value = L::select(expired, payoff, value);
    }
    return L::select(L::le(value, zero), zero, value);
}

template <class L>
[[gnu::always_inline]] inline typename L::D black_scholes_delta(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const auto t = detail::terms<L>(in, tab);
    const auto n_d1 = lanes::norm_cdf<L>(detail::side_point<L>(t.d1, in.put), tab);
    return detail::delta_from<L>(n_d1, detail::discount<L>(in.q, in.t, tab), in.put);
}

template <class L>
[[gnu::always_inline]] inline typename L::D black_scholes_gamma(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const auto t = detail::terms<L>(in, tab);
    const auto pdf = L::div(lanes::gauss<L>(t.d1, tab), L::set(kSqrtTwoPi));
    return detail::gamma_from<L>(in, t, pdf);
}

template <class L>
[[gnu::always_inline]] inline typename L::D black_scholes_vega(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const auto t = detail::terms<L>(in, tab);
    const auto pdf = L::div(lanes::gauss<L>(t.d1, tab), L::set(kSqrtTwoPi));
    return L::mul(L::mul(pdf, L::mul(detail::discount<L>(in.q, in.t, tab), in.s)), t.sqrt_t);
}

template <class L>
[[gnu::always_inline]] inline typename L::D black_scholes_theta(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const auto t = detail::terms<L>(in, tab);
    const auto n_d1 = lanes::norm_cdf<L>(detail::side_point<L>(t.d1, in.put), tab);
    const auto n_d2 = lanes::norm_cdf<L>(detail::side_point<L>(L::sub(t.d1, t.big_d), in.put), tab);
    return detail::theta_from<L>(in, t, detail::discount<L>(in.q, in.t, tab), detail::discount<L>(in.r, in.t, tab),
                                 lanes::gauss<L>(t.d1, tab), n_d1, n_d2);
}

template <class L>
[[gnu::always_inline]] inline typename L::D black_scholes_rho(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const auto t = detail::terms<L>(in, tab);
    const auto n_d2 = lanes::norm_cdf<L>(detail::side_point<L>(L::sub(t.d1, t.big_d), in.put), tab);
    return detail::rho_from<L>(in, n_d2, detail::discount<L>(in.r, in.t, tab));
}

// All five; each the bits of its single function (black_scholes.hpp's
// BlackScholesGreeks).
template <class L>
[[gnu::always_inline]] inline void black_scholes_greeks(const EuropeanRow<L>& in, const exp_log::Tables& tab,
                                                        typename L::D (&out)[5]) {
    const auto t = detail::terms<L>(in, tab);
    const auto n_d1 = lanes::norm_cdf<L>(detail::side_point<L>(t.d1, in.put), tab);
    const auto n_d2 = lanes::norm_cdf<L>(detail::side_point<L>(L::sub(t.d1, t.big_d), in.put), tab);
    const auto dq = detail::discount<L>(in.q, in.t, tab);
    const auto dr = detail::discount<L>(in.r, in.t, tab);
    const auto gauss_d1 = lanes::gauss<L>(t.d1, tab);
    const auto pdf = L::div(gauss_d1, L::set(kSqrtTwoPi));
    out[0] = detail::delta_from<L>(n_d1, dq, in.put);
    out[1] = detail::gamma_from<L>(in, t, pdf);
    out[2] = detail::theta_from<L>(in, t, dq, dr, gauss_d1, n_d1, n_d2);
    out[3] = L::mul(L::mul(L::mul(dq, in.s), pdf), t.sqrt_t);
    out[4] = detail::rho_from<L>(in, n_d2, dr);
}

// Runs f over count rows: whole vectors, then the rest through one vector
// padded with an ordinary row. f(row, tables, results) fills Outputs
// vectors; results go to out[j][i].
template <class L, std::size_t Outputs, class F>
[[gnu::always_inline]] inline void run_rows(const EuropeanColumns& in, std::size_t count, double* const (&out)[Outputs],
                                            F f) {
    constexpr std::size_t n = L::kLanes;
    const auto& tab = exp_log::tables();
    typename L::D results[Outputs];
    std::size_t i = 0;
    for (; i + n <= count; i += n) {
        f(load_row<L>(in, i), tab, results);
        for (std::size_t j = 0; j < Outputs; ++j) L::store(out[j] + i, results[j]);
    }
    if (i == count) return;
    double s[n], k[n], t[n], r[n], sigma[n], q[n], rest[Outputs][n];
    std::uint8_t put[n];
    for (std::size_t j = 0; j < n; ++j) {
        const bool row = i + j < count;
        s[j] = row ? in.s[i + j] : 1.0;
        k[j] = row ? in.k[i + j] : 1.0;
        t[j] = row ? in.t[i + j] : 1.0;
        r[j] = row ? in.r[i + j] : 0.0;
        sigma[j] = row ? in.sigma[i + j] : 0.2;
        q[j] = row ? in.q[i + j] : 0.0;
        put[j] = row && in.put != nullptr ? in.put[i + j] : 0;
    }
    const EuropeanColumns padded{s, k, t, r, sigma, q, put};
    f(load_row<L>(padded, 0), tab, results);
    for (std::size_t j = 0; j < Outputs; ++j) {
        L::store(rest[j], results[j]);
        for (std::size_t m = 0; i + m < count; ++m) out[j][i + m] = rest[j][m];
    }
}

// The kernel table of black_scholes_rows.hpp for lane type L.
template <class L>
constexpr EuropeanKernels european_kernels() {
    using D = typename L::D;
    using Tab = exp_log::Tables;
    return {
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = european_price<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = black_scholes_delta<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = black_scholes_gamma<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = black_scholes_theta<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = black_scholes_vega<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, double* out) {
            double* const outs[1] = {out};
            run_rows<L>(in, count, outs, [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[1]) {
                r[0] = black_scholes_rho<L>(row, tab);
            });
        },
        [](const EuropeanColumns& in, std::size_t count, const GreeksColumns& out) {
            double* const outs[5] = {out.delta, out.gamma, out.theta, out.vega, out.rho};
            run_rows<L>(in, count, outs,
                        [](const EuropeanRow<L>& row, const Tab& tab, D(&r)[5]) { black_scholes_greeks<L>(row, tab, r); });
        },
    };
}

}  // namespace varnelle::lanes
