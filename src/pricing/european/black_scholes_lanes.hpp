// The European price and Black-Scholes Greeks, several rows at a time: each
// lane performs the operations of the single-row functions (european.hpp,
// black_scholes.hpp) in their order, with the lane exp, log and normal
// distribution, so every lane has the bits of its row. Templates over a lane
// type: include only where one is (simd_target.hpp).
//
// Where a row takes a different branch (a put, an expired price) both sides
// are evaluated and blended. Gamma's dividend discount is pow(e, -q t) as the
// platform's pow gives it (vector_exp.hpp).
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
[[gnu::always_inline]] inline typename L::D gamma_discount(const EuropeanRow<L>& in, const exp_log::Tables& tab) {
    const typename L::D exponent = L::mul(L::neg(in.q), in.t);
    // pow(x, +-0) is exactly 1; the common case of no yield skips the rest.
    const auto none = L::eq(exponent, L::set(0.0));
    if (L::all(none)) return L::set(1.0);
    return L::select(none, L::set(1.0), lanes::pow_e<L>(L::select(none, L::set(1.0), exponent), tab));
}

template <class L>
[[gnu::always_inline]] inline typename L::D delta_from(typename L::D n_d1, typename L::D dq, typename L::M put) {
    return L::select(put, L::mul(n_d1, L::neg(dq)), L::mul(dq, n_d1));
}

template <class L>
[[gnu::always_inline]] inline typename L::D gamma_from(const EuropeanRow<L>& in, const Terms<L>& terms,
                                                       typename L::D pdf, const exp_log::Tables& tab) {
    return L::div(L::mul(gamma_discount<L>(in, tab), pdf), L::mul(L::mul(in.s, in.sigma), terms.sqrt_t));
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
    return L::div(L::select(in.put, put, call), L::set(kDaysPerYear));
}

template <class L>
[[gnu::always_inline]] inline typename L::D rho_from(const EuropeanRow<L>& in, typename L::D n_d2, typename L::D dr) {
    const typename L::D k = L::select(in.put, L::neg(in.k), in.k);
    return L::div(L::mul(n_d2, L::mul(dr, L::mul(k, in.t))), L::set(100.0));
}

}  // namespace detail

// The operations that read the normal distribution, in the two stages of
// black_scholes.hpp and european.hpp: prepare gives the points at which N is
// needed and keeps what the result needs besides; finish combines them with
// N's values. A block of rows is prepared, N is evaluated for all its points
// together (norm_cdf_block), then every row is finished.
//
// Every function that returns a structure of vectors is always inlined: GCC
// clears the upper halves of the vector registers (vzeroupper) before
// returning from such a function when it is compiled on its own, and the
// caller would read half a state.

// european.hpp's EuropeanPrice: the call equivalent's value, or the payoff at
// and after expiry, never below zero.
template <class L>
struct EuropeanPriceStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 2, kOutputs = 1;
    struct State {
        D spot_part, strike_part;  // S e^((b - r) t), K e^(-r t)
    };
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D* points) {
        const D b = L::sub(in.r, in.q);
        const D spot = L::select(in.put, in.k, in.s);
        const D strike = L::select(in.put, in.s, in.k);
        const D rate = L::select(in.put, L::sub(in.r, b), in.r);
        const D carry = L::select(in.put, L::neg(b), b);
        const D sigma2 = L::mul(in.sigma, in.sigma);
        const D sqrt_t = L::sqrt(in.t);
        const D log_sk = lanes::log<L>(L::div(spot, strike), tab);
        const D vol = L::mul(sqrt_t, in.sigma);
        points[0] = L::div(L::add(L::mul(L::add(carry, L::mul(sigma2, L::set(0.5))), in.t), log_sk), vol);
        points[1] = L::sub(points[0], vol);
        return {L::mul(spot, lanes::exp<L>(L::mul(L::sub(carry, rate), in.t), tab)),
                L::mul(strike, lanes::exp<L>(L::mul(L::neg(rate), in.t), tab))};
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>& in, const State& st, const D* n, D* out, const exp_log::Tables&) {
        const D zero = L::set(0.0);
        D value = L::sub(L::mul(n[0], st.spot_part), L::mul(n[1], st.strike_part));
        const auto expired = L::le(in.t, zero);
        if (L::any(expired)) {
            const D x = L::select(in.put, L::sub(in.k, in.s), L::sub(in.s, in.k));
            const D payoff = L::select(L::gt(x, zero), x, L::select(L::isnan(x), x, zero));
            value = L::select(expired, payoff, value);
        }
        out[0] = L::select(L::le(value, zero), zero, value);
    }
};

template <class L>
struct DeltaStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 1, kOutputs = 1;
    struct State {
        D dq;
    };
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D* points) {
        points[0] = detail::side_point<L>(detail::terms<L>(in, tab).d1, in.put);
        return {detail::discount<L>(in.q, in.t, tab)};
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>& in, const State& st, const D* n, D* out, const exp_log::Tables&) {
        out[0] = detail::delta_from<L>(n[0], st.dq, in.put);
    }
};

// Theta, and all five Greeks, read every shared piece.
template <class L>
struct SharedState {
    detail::Terms<L> terms;
    typename L::D dq, dr, gauss_d1;
};

template <class L>
[[gnu::always_inline]] inline SharedState<L> prepare_shared(const EuropeanRow<L>& in, const exp_log::Tables& tab, typename L::D* points) {
    const auto terms = detail::terms<L>(in, tab);
    points[0] = detail::side_point<L>(terms.d1, in.put);
    points[1] = detail::side_point<L>(L::sub(terms.d1, terms.big_d), in.put);
    return {terms, detail::discount<L>(in.q, in.t, tab), detail::discount<L>(in.r, in.t, tab),
            lanes::gauss<L>(terms.d1, tab)};
}

template <class L>
struct ThetaStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 2, kOutputs = 1;
    using State = SharedState<L>;
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D* points) {
        return prepare_shared<L>(in, tab, points);
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>& in, const State& st, const D* n, D* out, const exp_log::Tables&) {
        out[0] = detail::theta_from<L>(in, st.terms, st.dq, st.dr, st.gauss_d1, n[0], n[1]);
    }
};

template <class L>
struct RhoStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 1, kOutputs = 1;
    struct State {
        D dr;
    };
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D* points) {
        const auto terms = detail::terms<L>(in, tab);
        points[0] = detail::side_point<L>(L::sub(terms.d1, terms.big_d), in.put);
        return {detail::discount<L>(in.r, in.t, tab)};
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>& in, const State& st, const D* n, D* out, const exp_log::Tables&) {
        out[0] = detail::rho_from<L>(in, n[0], st.dr);
    }
};

// All five; each the bits of its single function (black_scholes.hpp's
// BlackScholesGreeks).
template <class L>
struct GreeksStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 2, kOutputs = 5;
    using State = SharedState<L>;
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D* points) {
        return prepare_shared<L>(in, tab, points);
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>& in, const State& st, const D* n, D* out, const exp_log::Tables& tab) {
        const D pdf = L::div(st.gauss_d1, L::set(kSqrtTwoPi));
        out[0] = detail::delta_from<L>(n[0], st.dq, in.put);
        out[1] = detail::gamma_from<L>(in, st.terms, pdf, tab);
        out[2] = detail::theta_from<L>(in, st.terms, st.dq, st.dr, st.gauss_d1, n[0], n[1]);
        out[3] = L::mul(L::mul(L::mul(st.dq, in.s), pdf), st.terms.sqrt_t);
        out[4] = detail::rho_from<L>(in, n[1], st.dr);
    }
};

// Gamma and vega read only the density: prepare has the result.
template <class L, bool Vega>
struct DensityStages {
    using D = typename L::D;
    static constexpr std::size_t kPoints = 0, kOutputs = 1;
    struct State {
        D value;
    };
    [[gnu::always_inline]] static State prepare(const EuropeanRow<L>& in, const exp_log::Tables& tab, D*) {
        const auto terms = detail::terms<L>(in, tab);
        const D pdf = L::div(lanes::gauss<L>(terms.d1, tab), L::set(kSqrtTwoPi));
        if constexpr (Vega) {
            return {L::mul(L::mul(pdf, L::mul(detail::discount<L>(in.q, in.t, tab), in.s)), terms.sqrt_t)};
        } else {
            return {detail::gamma_from<L>(in, terms, pdf, tab)};
        }
    }
    [[gnu::always_inline]] static void finish(const EuropeanRow<L>&, const State& st, const D*, D* out, const exp_log::Tables&) {
        out[0] = st.value;
    }
};
template <class L>
using GammaStages = DensityStages<L, false>;
template <class L>
using VegaStages = DensityStages<L, true>;

// Rows per block of a staged operation: its points (two a row at most) fill
// one norm_cdf_block.
inline constexpr std::size_t kBlockRows = kNormBlock / 2;

// (A template, as everything compiled for a lane width must be: see
// simd_target.hpp.)
template <class L>
EuropeanColumns columns_from(const EuropeanColumns& in, std::size_t start) {
    return {in.s + start,     in.k + start, in.t + start, in.r + start,
            in.sigma + start, in.q + start, in.put != nullptr ? in.put + start : nullptr};
}

// Rows of a whole number of vectors through both stages; results to
// out[j][start + i].
template <class L, class Op>
void run_block(const EuropeanColumns& in, std::size_t vectors, double* const* out, std::size_t start,
               const exp_log::Tables& tab) {
    using D = typename L::D;
    constexpr std::size_t n = L::kLanes;
    constexpr std::size_t p = Op::kPoints;
    constexpr std::size_t room = p == 0 ? 1 : p;
    if (vectors > kBlockRows / n) __builtin_unreachable();  // lets the compiler see the buffers suffice
    typename Op::State states[kBlockRows / n];
    alignas(64) double points[room * kBlockRows] = {};  // (set before read; zeroed for the compiler's sake)
    alignas(64) double values[room * kBlockRows];
    for (std::size_t v = 0; v < vectors; ++v) {
        D at[room];
        states[v] = Op::prepare(load_row<L>(in, v * n), tab, at);
        for (std::size_t j = 0; j < p; ++j) L::store(points + (v * p + j) * n, at[j]);
    }
    if constexpr (p != 0) norm_cdf_block<L>(points, values, vectors * p * n, tab);
    for (std::size_t v = 0; v < vectors; ++v) {
        D n_values[room], results[Op::kOutputs];
        for (std::size_t j = 0; j < p; ++j) n_values[j] = L::load(values + (v * p + j) * n);
        Op::finish(load_row<L>(in, v * n), states[v], n_values, results, tab);
        for (std::size_t j = 0; j < Op::kOutputs; ++j) L::store(out[j] + start + v * n, results[j]);
    }
}

// count rows through a staged operation, results to out[j][i]: whole
// blocks, then the rest padded with ordinary rows to whole vectors.
template <class L, class Op>
void run_staged(const EuropeanColumns& in, std::size_t count, double* const* out) {
    constexpr std::size_t n = L::kLanes;
    const auto& tab = exp_log::tables();
    std::size_t start = 0;
    for (; start + kBlockRows <= count; start += kBlockRows) {
        run_block<L, Op>(columns_from<L>(in, start), kBlockRows / n, out, start, tab);
    }
    const std::size_t rest = count - start;
    if (rest == 0) return;
    double s[kBlockRows], k[kBlockRows], t[kBlockRows], r[kBlockRows], sigma[kBlockRows], q[kBlockRows];
    std::uint8_t put[kBlockRows];
    for (std::size_t j = 0; j < kBlockRows; ++j) {
        const bool row = j < rest;
        s[j] = row ? in.s[start + j] : 1.0;
        k[j] = row ? in.k[start + j] : 1.0;
        t[j] = row ? in.t[start + j] : 1.0;
        r[j] = row ? in.r[start + j] : 0.0;
        sigma[j] = row ? in.sigma[start + j] : 0.2;
        q[j] = row ? in.q[start + j] : 0.0;
        put[j] = row && in.put != nullptr ? in.put[start + j] : 0;
    }
    double results[Op::kOutputs][kBlockRows];
    double* result_columns[Op::kOutputs];
    for (std::size_t j = 0; j < Op::kOutputs; ++j) result_columns[j] = results[j];
    run_block<L, Op>({s, k, t, r, sigma, q, put}, (rest + n - 1) / n, result_columns, 0, tab);
    for (std::size_t j = 0; j < Op::kOutputs; ++j) {
        for (std::size_t m = 0; m < rest; ++m) out[j][start + m] = results[j][m];
    }
}

template <class L, template <class> class Op>
void one_output(const EuropeanColumns& in, std::size_t count, double* out) {
    run_staged<L, Op<L>>(in, count, &out);
}

template <class L>
void all_greeks(const EuropeanColumns& in, std::size_t count, const GreeksColumns& out) {
    double* const outs[5] = {out.delta, out.gamma, out.theta, out.vega, out.rho};
    run_staged<L, GreeksStages<L>>(in, count, outs);
}

// The kernel table of black_scholes_rows.hpp for lane type L.
template <class L>
constexpr EuropeanKernels european_kernels() {
    return {one_output<L, EuropeanPriceStages>, one_output<L, DeltaStages>, one_output<L, GammaStages>,
            one_output<L, ThetaStages>,         one_output<L, VegaStages>,  one_output<L, RhoStages>,
            all_greeks<L>};
}

}  // namespace varnelle::lanes
