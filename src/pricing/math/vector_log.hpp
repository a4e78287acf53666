// ln x in every lane, to the bit what the platform's log gives (see
// exp_log_tables.hpp for the algorithm). Templates over a lane type: include
// only where one is, after vector_exp.hpp.
//
// Which operations the platform fuses was found by comparing against it:
// z / c - 1 is one fused multiply-add (so the table needs no c of its own),
// and so is every product that feeds a sum.
#pragma once

#include <cmath>
#include <cstdint>

#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/vector_exp.hpp"

namespace varnelle::lanes {

namespace detail {

// ln x for 1 - 2^-4 <= x < 1 + 0x1.09p-4, where log c would cancel against
// log1p: r = x - 1 is exact, and r - r^2/2 is summed in two parts, the head
// of r squared exactly.
template <class L>
[[gnu::noinline]] typename L::D log_near_one(typename L::D x) {
    using D = typename L::D;
    const auto& b = exp_log::kLogB;
    const D r = L::sub(x, L::set(1.0));
    const D r2 = L::mul(r, r);
    const D r3 = L::mul(r, r2);
    D p = L::fma(r3, L::set(b[10]), L::fma(r2, L::set(b[9]), L::fma(r, L::set(b[8]), L::set(b[7]))));
    p = L::fma(r3, p, L::fma(r2, L::set(b[6]), L::fma(r, L::set(b[5]), L::set(b[4]))));
    p = L::fma(r3, p, L::fma(r2, L::set(b[3]), L::fma(r, L::set(b[2]), L::set(b[1]))));
    D w = L::mul(r, L::set(0x1p27));
    const D rhi = L::sub(L::add(r, w), w);
    const D rlo = L::sub(r, rhi);
    w = L::mul(L::mul(rhi, rhi), L::set(b[0]));
    const D hi = L::add(r, w);
    D lo = L::add(L::sub(r, hi), w);
    lo = L::fma(L::mul(L::set(b[0]), rlo), L::add(rhi, r), lo);
    const D y = L::add(L::fma(r3, p, lo), hi);
    return L::select(L::eq(x, L::set(1.0)), L::set(0.0), y);
}

}  // namespace detail

template <class L>
[[gnu::always_inline]] inline typename L::D log(typename L::D x, const exp_log::Tables& tab) {
    using namespace exp_log;
    using D = typename L::D;
    using I = typename L::I;
    const I ix = L::bits_of(x);
    const I tmp = L::isub(ix, L::iset(kLogOffset));
    const I index = L::iand(L::template shr<52 - kTableBits>(tmp), L::iset(kTableSize - 1));
    // The exponent k is the top 12 bits of tmp as a signed number.
    const I k = L::isub(L::ixor(L::template shr<52>(tmp), L::iset(0x800)), L::iset(0x800));
    const D z = L::double_of(L::isub(ix, L::iand(tmp, L::iset(std::uint64_t{0xfff} << 52))));
    const D invc = L::gather(tab.log_invc, index);
    const D logc = L::gather(tab.log_logc, index);
    const D r = L::fma(z, invc, L::set(-1.0));
    const D kd = double_from_int<L>(k);
    const D w = L::fma(kd, L::set(kLogLn2Hi), logc);
    const D hi = L::add(w, r);
    const D lo = L::fma(kd, L::set(kLogLn2Lo), L::add(L::sub(w, hi), r));
    const D r2 = L::mul(r, r);
    const D p = L::fma(r2, L::fma(r, L::set(kLogA[4]), L::set(kLogA[3])), L::fma(r, L::set(kLogA[2]), L::set(kLogA[1])));
    D y = L::add(L::fma(L::mul(r, r2), p, L::fma(r2, L::set(kLogA[0]), lo)), hi);

    const auto near_one = L::mand(L::ge(x, L::set(1.0 - 0x1p-4)), L::lt(x, L::set(1.0 + 0x1.09p-4)));
    if (L::any(near_one)) y = L::select(near_one, detail::log_near_one<L>(x), y);
    // Zero, subnormals, negatives, infinity and NaN: the scalar function.
    const auto usual = L::mand(L::ge(x, L::set(0x1p-1022)), L::lt(x, L::set(HUGE_VAL)));
    if (L::all(usual)) [[likely]] return y;
    return scalar_where<L>(L::mnot(usual), x, y, [](double v) { return std::log(v); });
}

}  // namespace varnelle::lanes
