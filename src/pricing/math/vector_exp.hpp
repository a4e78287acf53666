// e^x in every lane, to the bit what the platform's exp gives (see
// exp_log_tables.hpp for the algorithm), and e^y as the platform's pow
// gives it for the double nearest e. Templates over a lane type
// (lanes_avx2.hpp, lanes_avx512.hpp): include only where one is.
//
// The platform's exp is compiled with contraction into fused multiply-adds;
// which operations it fuses was found by comparing against it: every
// product that feeds a sum on the usual path, and on the path for results
// below 2^-511 the first product but not the correction that follows it.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"

namespace varnelle::lanes {

// f(x) lane by lane where mask is set, y elsewhere: for the rare lanes an
// algorithm hands back to the scalar function.
template <class L, class F>
typename L::D scalar_where(typename L::M mask, typename L::D x, typename L::D y, F f) {
    double xs[L::kLanes], ys[L::kLanes];
    L::store(xs, x);
    L::store(ys, y);
    const unsigned bits = L::bits(mask);
    for (std::size_t i = 0; i < L::kLanes; ++i) {
        if ((bits >> i) & 1u) ys[i] = f(xs[i]);
    }
    return L::load(ys);
}

// The integer k of each lane (|k| < 2^51) as a double.
template <class L>
typename L::D double_from_int(typename L::I k) {
    constexpr double kMagic = 0x1.8p52;
    return L::sub(L::double_of(L::iadd(k, L::iset(0x4338000000000000))), L::set(kMagic));
}

namespace detail {

// The lanes outside 2^-54 <= |x| < 512: near 0 the result is 1 + x; from
// 512 to 1024 the scale 2^k is applied in two steps so that it neither
// overflows nor rounds twice in the subnormal range; beyond, or for NaN,
// the limits. `usual` marks the lanes whose y is already right.
template <class L>
[[gnu::noinline]] typename L::D exp_unusual(typename L::D x, typename L::D tmp, typename L::I sbits,
                                            typename L::I ki, typename L::D y, typename L::M usual) {
    using D = typename L::D;
    using M = typename L::M;
    const D one = L::set(1.0);
    const D ax = L::abs(x);
    const M tiny = L::lt(ax, L::set(0x1p-54));
    const M middle = L::mand(L::ge(ax, L::set(512.0)), L::lt(ax, L::set(1024.0)));

    // k > 0: 2^(k - 1009) * (1 + tmp), then times 2^1009.
    const M k_positive = L::ieq(L::iand(ki, L::iset(0x80000000)), L::iset(0));
    const D scale_up = L::double_of(L::isub(sbits, L::iset(std::uint64_t{1009} << 52)));
    const D above = L::mul(L::set(0x1p1009), L::fma(scale_up, tmp, scale_up));
    // k < 0: 2^(k + 1022) * (1 + tmp), rounded once to the precision it keeps
    // below 2^-1022, then times 2^-1022.
    const D scale_down = L::double_of(L::iadd(sbits, L::iset(std::uint64_t{1022} << 52)));
    const D product = L::mul(scale_down, tmp);
    D below = L::add(scale_down, product);
    const M subnormal = L::mand(L::lt(below, one), L::mandnot(middle, k_positive));
    if (L::any(subnormal)) {
        D lo = L::add(L::sub(scale_down, below), product);
        const D hi = L::add(one, below);
        lo = L::add(L::add(L::sub(one, hi), below), lo);
        D rounded = L::sub(L::add(hi, lo), one);
        rounded = L::select(L::eq(rounded, L::set(0.0)), L::set(0.0), rounded);
        below = L::select(subnormal, rounded, below);
    }
    below = L::mul(L::set(0x1p-1022), below);
    const D scaled = L::select(k_positive, above, below);

    // |x| >= 1024: 0 below, infinity above; NaN stays NaN.
    const D limit = L::select(L::lt(x, L::set(0.0)), L::set(0.0), L::set(HUGE_VAL));
    const D beyond = L::select(L::isnan(x), L::add(one, x), limit);

    D out = L::select(middle, scaled, beyond);
    out = L::select(tiny, L::add(one, x), out);
    return L::select(usual, y, out);
}

}  // namespace detail

namespace detail {

// x = k ln2/128 + r: k (as the bits of the shifted value) and r before any
// tail is added.
template <class L>
struct Reduced {
    typename L::I ki;
    typename L::D r;
};

template <class L>
[[gnu::always_inline]] inline Reduced<L> reduce(typename L::D x) {
    using namespace exp_log;
    using D = typename L::D;
    const D shifted = L::fma(x, L::set(kExpInvLn2N), L::set(kExpShift));
    const D kd = L::sub(shifted, L::set(kExpShift));
    return {L::bits_of(shifted), L::fma(kd, L::set(kExpNegLn2LoN), L::fma(kd, L::set(kExpNegLn2HiN), x))};
}

// 2^(k/128) e^r as 2^(k/128) (1 + tmp): tmp and the bits of 2^(k/128).
template <class L>
struct Scaled {
    typename L::D tmp;
    typename L::I sbits;
};

template <class L>
[[gnu::always_inline]] inline Scaled<L> scale_parts(typename L::I ki, typename L::D r, const exp_log::Tables& tab) {
    using namespace exp_log;
    using D = typename L::D;
    const D r2 = L::mul(r, r);
    const auto index = L::iand(ki, L::iset(kTableSize - 1));
    const D tail = L::gather(tab.exp_tail, index);
    const auto sbits = L::iadd(L::gather(tab.exp_scale, index), L::template shl<52 - kTableBits>(ki));
    const D low = L::fma(r2, L::fma(r, L::set(kExpC3), L::set(kExpC2)), L::add(tail, r));
    return {L::fma(L::mul(r2, r2), L::fma(r, L::set(kExpC5), L::set(kExpC4)), low), sbits};
}

template <class L>
[[gnu::always_inline]] inline typename L::M usual_exponent(typename L::D x) {
    const typename L::D ax = L::abs(x);
    return L::mand(L::ge(ax, L::set(0x1p-54)), L::lt(ax, L::set(512.0)));
}

}  // namespace detail

template <class L>
[[gnu::always_inline]] inline typename L::D exp(typename L::D x, const exp_log::Tables& tab) {
    const auto reduced = detail::reduce<L>(x);
    const auto parts = detail::scale_parts<L>(reduced.ki, reduced.r, tab);
    const typename L::D scale = L::double_of(parts.sbits);
    const typename L::D y = L::fma(scale, parts.tmp, scale);
    const auto usual = detail::usual_exponent<L>(x);
    if (L::all(usual)) [[likely]] return y;
    return detail::exp_unusual<L>(x, parts.tmp, parts.sbits, reduced.ki, y, usual);
}

// The platform's pow(e, y), e the double nearest it (constants.hpp's kE):
// exp's algorithm at y with y lo added to r, lo being the tail of pow's
// logarithm of e (exp_log_tables.hpp). lo is known only to lie in
// [kPowETailLow, kPowETailHigh], so a lane whose r is not the same for both
// ends, or whose y is outside 2^-54 <= |y| < 512, takes the platform's pow.
template <class L>
[[gnu::always_inline]] inline typename L::D pow_e(typename L::D y, const exp_log::Tables& tab) {
    using D = typename L::D;
    const auto reduced = detail::reduce<L>(y);
    const D r = L::add(reduced.r, L::mul(y, L::set(exp_log::kPowETailLow)));
    const D r_other = L::add(reduced.r, L::mul(y, L::set(exp_log::kPowETailHigh)));
    const auto parts = detail::scale_parts<L>(reduced.ki, r, tab);
    const D scale = L::double_of(parts.sbits);
    const D result = L::fma(scale, parts.tmp, scale);
    const auto certain = L::mand(detail::usual_exponent<L>(y), L::eq(r, r_other));
    if (L::all(certain)) [[likely]] return result;
    return scalar_where<L>(L::mnot(certain), y, result, [](double v) { return std::pow(kE, v); });
}

}  // namespace varnelle::lanes
