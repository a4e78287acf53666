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

// The erfc rows of normal.hpp by coefficient: column[row].
struct ErfcColumns {
    std::array<double, 16> a, y;
    std::array<std::array<double, 16>, 8> p, q;
};

inline constexpr ErfcColumns kErfcColumns = [] {
    ErfcColumns c{};
    const auto& rows = varnelle::detail::kErfcRows;
    for (std::size_t row = 0; row < rows.size(); ++row) {
        c.a[row] = rows[row].a;
        c.y[row] = rows[row].y;
        for (std::size_t j = 0; j < 8; ++j) {
            c.p[j][row] = rows[row].p[j];
            c.q[j][row] = rows[row].q[j];
        }
    }
    return c;
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

// The padded Horner sum of one column set: top coefficients are zero for
// rows of lower degree, and zero * w + 0 stays zero for w >= 0, so every
// row keeps the bits of its own degree.
template <class L>
[[gnu::always_inline]] inline typename L::D horner_rows(const std::array<std::array<double, 16>, 8>& c,
                                                        typename L::I row, typename L::D w) {
    typename L::D s = L::lookup16(c[7].data(), row);
    for (std::size_t i = 7; i-- > 0;) s = L::add(L::mul(s, w), L::lookup16(c[i].data(), row));
    return s;
}

// erfc(u) for u >= 0.5 (normal.hpp's erfc_tail_indexed); 0 from 110 on.
template <class L>
[[gnu::always_inline]] inline typename L::D erfc_tail(typename L::D u, const exp_log::Tables& tab) {
    using D = typename L::D;
    const auto& cols = kErfcColumns;
    auto row = L::iset(0);
    for (std::size_t i = 1; i < 13; ++i) row = L::iadd(row, L::ones_where(L::ge(u, L::set(cols.a[i]))));
    const D w = L::sub(u, L::lookup16(cols.a.data(), row));
    const D ratio = L::div(horner_rows<L>(cols.p, row, w), horner_rows<L>(cols.q, row, w));
    const D g = L::div(lanes::exp<L>(L::mul(L::neg(u), u), tab), u);
    const D value = L::add(L::mul(g, L::lookup16(cols.y.data(), row)), L::mul(g, ratio));
    return L::select(L::lt(u, L::set(110.0)), value, L::set(0.0));
}

}  // namespace detail

// Phi(x) = 0.5 erfc(-x / sqrt 2).
template <class L>
[[gnu::always_inline]] inline typename L::D norm_cdf(typename L::D x, const exp_log::Tables& tab) {
    using D = typename L::D;
    const D z = L::div(L::sub(L::set(0.0), x), L::set(kSqrtTwo));
    const D u = L::abs(z);
    const auto negative = L::lt(z, L::set(0.0));
    const auto near = L::lt(u, L::set(0.5));
    const auto far = L::mand(L::ge(u, L::set(0.5)), L::ne(z, L::set(-0.5)));
    D e = L::set(0.0);
    if (L::any(near)) {
        const D v = detail::erf_near_zero<L>(u);
        e = L::select(negative, L::add(L::set(1.0), v), L::sub(L::set(1.0), v));
    }
    if (L::any(far)) {
        const D t = detail::erfc_tail<L>(u, tab);
        e = L::select(far, L::select(negative, L::sub(L::set(2.0), t), t), e);
    }
    D out = L::mul(L::set(0.5), e);
    // NaN and z = -0.5 (where erfc reflects through erf): the scalar function.
    const auto other = L::mnot(L::mor(near, far));
    if (L::any(other)) [[unlikely]] out = scalar_where<L>(other, x, out, [](double v) { return varnelle::norm_cdf(v); });
    return out;
}

// exp(-x^2 / 2): phi(x) times sqrt(2 pi), as the Greeks form it.
template <class L>
[[gnu::always_inline]] inline typename L::D gauss(typename L::D x, const exp_log::Tables& tab) {
    return lanes::exp<L>(L::mul(L::mul(L::set(-0.5), x), x), tab);
}

}  // namespace varnelle::lanes
