// The normal distribution function and density in every lane, to the bit
// what norm_cdf and norm_pdf (normal.hpp) give: the same rational
// approximations, each operation the scalar one. Templates over a lane type:
// include only where one is, after vector_exp.hpp.
//
// A lane below |z| = 0.5 takes the erf ratio, a lane above takes its erfc
// row; both are evaluated when the lanes need both, and blended. The erfc
// rows' coefficients are looked up per lane from columns of sixteen (the
// thirteen rows padded), so one evaluation serves every row.
#pragma once

#include <array>
#include <cstddef>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/math/vector_exp.hpp"

namespace varnelle::lanes {

namespace detail {

// The coefficients an erfc row needs, in this order: the range's start a,
// the constant y, P's eight coefficients and Q's seven above its leading 1
// (padded with zeros at the top for rows of lower degree).
inline constexpr std::size_t kErfcCoefficients = 17;

// By row (kErfcByRow[row][j], each row padded to 18 so that pairs of
// coefficients sit on 16-byte boundaries) and by coefficient
// (kErfcByCoefficient[j][row], each padded to 16 rows): a lane width takes
// whichever it reads faster.
struct ErfcTables {
    alignas(64) double by_row[13][18];
    alignas(64) double by_coefficient[kErfcCoefficients][16];
};

inline constexpr ErfcTables kErfcTables = [] {
    ErfcTables t{};
    const auto& rows = varnelle::detail::kErfcRows;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        double c[kErfcCoefficients] = {rows[row].a, rows[row].y};
        for (std::size_t j = 0; j < 8; ++j) c[2 + j] = rows[row].p[j];
        for (std::size_t j = 1; j < 8; ++j) c[9 + j] = rows[row].q[j];
        for (std::size_t j = 0; j < kErfcCoefficients; ++j) {
            t.by_row[row][j] = c[j];
            t.by_coefficient[j][row] = c[j];
        }
    }
    return t;
}();

template <class L>
[[gnu::always_inline]] inline typename L::D horner(const std::array<double, 8>& c, typename L::D w) {
    typename L::D s = L::set(c[7]);
    for (std::size_t i = 7; i-- > 0;) s = L::add(L::mul(s, w), L::set(c[i]));
    return s;
}

// erf(u) for 0 <= u < 0.5 (normal.hpp's erf_near_zero).
template <class L>
[[gnu::always_inline]] inline typename L::D erf_near_zero(typename L::D u) {
    using D = typename L::D;
    const D line = L::add(L::mul(u, L::set(1.125)), L::mul(u, L::set(0.0033791670955125737)));
    const D ratio = L::div(L::mul(u, horner<L>(varnelle::detail::kErfSmallP, u)),
                           horner<L>(varnelle::detail::kErfSmallQ, u));
    const D curve = L::add(L::mul(u, L::set(1.125)), ratio);
    return L::select(L::lt(u, L::set(1e-10)), line, curve);
}

// erfc(u) for u >= 0.5 (normal.hpp's erfc_tail_indexed); 0 from 110 on.
// Padding the polynomials with zeros at the top keeps every row's bits: for
// w >= 0, zero * w + 0 stays zero until the row's own leading coefficient.
template <class L>
[[gnu::always_inline]] inline typename L::D erfc_tail(typename L::D u, const exp_log::Tables& tab) {
    using D = typename L::D;
    const auto& starts = kErfcTables.by_coefficient[0];
    auto row = L::iset(0);
    for (std::size_t i = 1; i < 13; ++i) row = L::increment_where(L::ge(u, L::set(starts[i])), row);
    D c[kErfcCoefficients];
    L::template lookup_rows<kErfcCoefficients>(kErfcTables.by_row[0], 18, kErfcTables.by_coefficient[0], row, c);
    const D w = L::sub(u, c[0]);
    D p = c[9];
    for (std::size_t j = 9; j-- > 2;) p = L::add(L::mul(p, w), c[j]);
    D q = c[16];
    for (std::size_t j = 16; j-- > 10;) q = L::add(L::mul(q, w), c[j]);
    q = L::add(L::mul(q, w), L::set(1.0));
    const D ratio = L::div(p, q);
    const D g = L::div(lanes::exp<L>(L::mul(L::neg(u), u), tab), u);
    const D value = L::add(L::mul(g, c[1]), L::mul(g, ratio));
    return L::select(L::lt(u, L::set(110.0)), value, L::set(0.0));
}

// 0.5 erfc(z) for |z| < 0.5: 1 - erf(|z|), or 1 + erf(|z|) below zero.
template <class L>
[[gnu::always_inline]] inline typename L::D near_half_erfc(typename L::D z) {
    using D = typename L::D;
    const D v = erf_near_zero<L>(L::abs(z));
    const D e = L::select(L::lt(z, L::set(0.0)), L::add(L::set(1.0), v), L::sub(L::set(1.0), v));
    return L::mul(L::set(0.5), e);
}

// 0.5 erfc(z) for |z| >= 0.5: the tail at |z|, reflected as 2 - erfc(|z|)
// below zero.
template <class L>
[[gnu::always_inline]] inline typename L::D far_half_erfc(typename L::D z, const exp_log::Tables& tab) {
    using D = typename L::D;
    const D t = erfc_tail<L>(L::abs(z), tab);
    const D e = L::select(L::lt(z, L::set(0.0)), L::sub(L::set(2.0), t), t);
    return L::mul(L::set(0.5), e);
}

}  // namespace detail

// The values of a block that norm_cdf_block sorts at most.
inline constexpr std::size_t kNormBlock = 128;

// Phi(x[i]) = 0.5 erfc(-x[i] / sqrt 2) for i < count, count a multiple of the
// lane width and at most kNormBlock. Values of one approximation are first
// gathered into a dense run (compress), each approximation then runs over its
// own run, and the results go back where their values came from (expand):
// evaluating both approximations for every lane would cost half as much
// again.
template <class L>
void norm_cdf_block(const double* x, double* out, std::size_t count, const exp_log::Tables& tab) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr std::size_t n = L::kLanes;
    if (count > kNormBlock) __builtin_unreachable();  // lets the compiler see the buffers suffice
    alignas(64) double near_z[kNormBlock + 2 * n];
    alignas(64) double far_z[kNormBlock + 2 * n];
    M near_lanes[kNormBlock / n], far_lanes[kNormBlock / n];
    std::size_t near_count = 0, far_count = 0;
    for (std::size_t v = 0; v * n < count; ++v) {
        const D z = L::div(L::sub(L::set(0.0), L::load(x + v * n)), L::set(kSqrtTwo));
        const D u = L::abs(z);
        const M near = L::lt(u, L::set(0.5));
        const M far = L::mand(L::ge(u, L::set(0.5)), L::ne(z, L::set(-0.5)));
        L::store(near_z + near_count, L::compress(near, z));
        L::store(far_z + far_count, L::compress(far, z));
        near_count += L::count(near);
        far_count += L::count(far);
        near_lanes[v] = near;
        far_lanes[v] = far;
    }
    // Pad each run to whole pairs of vectors with values of its range.
    L::store(near_z + near_count, L::set(0.0));
    L::store(near_z + near_count + n, L::set(0.0));
    L::store(far_z + far_count, L::set(1.0));
    L::store(far_z + far_count + n, L::set(1.0));
    // Two vectors at a time: each is one long chain of dependent operations,
    // and two chains side by side keep the processor's units busy.
    for (std::size_t j = 0; j < near_count; j += 2 * n) {
        const D first = detail::near_half_erfc<L>(L::load(near_z + j));
        const D second = detail::near_half_erfc<L>(L::load(near_z + j + n));
        L::store(near_z + j, first);
        L::store(near_z + j + n, second);
    }
    for (std::size_t j = 0; j < far_count; j += 2 * n) {
        const D first = detail::far_half_erfc<L>(L::load(far_z + j), tab);
        const D second = detail::far_half_erfc<L>(L::load(far_z + j + n), tab);
        L::store(far_z + j, first);
        L::store(far_z + j + n, second);
    }
    std::size_t near_at = 0, far_at = 0;
    for (std::size_t v = 0; v * n < count; ++v) {
        const M near = near_lanes[v], far = far_lanes[v];
        D result = L::select(near, L::expand(near, L::load(near_z + near_at)), L::expand(far, L::load(far_z + far_at)));
        near_at += L::count(near);
        far_at += L::count(far);
        // NaN and z = -0.5 (where erfc reflects through erf): the scalar function.
        const M other = L::mnot(L::mor(near, far));
        if (L::any(other)) [[unlikely]] {
            result = scalar_where<L>(other, L::load(x + v * n), result, [](double e) { return varnelle::norm_cdf(e); });
        }
        L::store(out + v * n, result);
    }
}

// norm_cdf_block over any multiple of the lane width, a block at a time.
template <class L>
void norm_cdf_blocks(const double* x, double* out, std::size_t count, const exp_log::Tables& tab) {
    for (std::size_t i = 0; i < count; i += kNormBlock) {
        norm_cdf_block<L>(x + i, out + i, count - i < kNormBlock ? count - i : kNormBlock, tab);
    }
}

// exp(-x^2 / 2): phi(x) times sqrt(2 pi), as the Greeks form it.
template <class L>
[[gnu::always_inline]] inline typename L::D gauss(typename L::D x, const exp_log::Tables& tab) {
    return lanes::exp<L>(L::mul(L::mul(L::set(-0.5), x), x), tab);
}

}  // namespace varnelle::lanes
