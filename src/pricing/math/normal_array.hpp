// The normal distribution over arrays of points, for the integral American
// model (american/integral/integral_model.hpp). Its quadratures evaluate
// thousands of Phi(x) per option; written without branches and without
// library calls, these loops compile to vector instructions, which std::erfc
// and std::exp do not allow. Every element is computed by the same sequence
// of IEEE operations whatever the array's length or alignment, so a value
// does not depend on which other values share its call.
//
// These are other functions than normal.hpp's norm_cdf and norm_pdf, with
// their own approximations and their own bits: a European kernel, whose
// results are fixed to normal.hpp's bits, must not use them. The same holds
// for poly_exp here against std::exp.
//
// Accuracy (measured against erfc in long double over [-40, 40]): absolute
// error below 2e-15 for Phi; relative error of phi about 1e-14 for |x| <= 8,
// growing with the rounding of x^2 / 2 to 7e-14 at |x| = 38; relative error of
// Phi in the far tail (7 < |x| < 37, values below 1e-12) below 4e-6; below
// -37.63, where x^2 / 2 passes 708, Phi is 0.
// The integral model only needs absolute accuracy: its integrands weigh Phi
// by at most one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnelle::normal_array {

namespace detail {

[[gnu::always_inline]] inline double from_bits(std::uint64_t b) {
    double x;
    std::memcpy(&x, &b, sizeof x);
    return x;
}
[[gnu::always_inline]] inline std::uint64_t to_bits(double x) {
    std::uint64_t b;
    std::memcpy(&b, &x, sizeof b);
    return b;
}

// e^x for -708 <= x <= 709 to 1e-14 relative (not std::exp's bits); below,
// 0; above, e^709. x = k ln 2 + w with |w| <= ln 2 / 2; e^w by its Taylor
// polynomial of degree 11, whose truncation error 0.347^12/12! ~ 6e-15
// relative (the most of the error) is far below what the model's
// quadratures resolve. k is rounded
// to nearest by the 1.5 * 2^52 shift, so no float-to-integer conversion is
// needed and the loop vectorises.
[[gnu::always_inline]] inline double poly_exp(double x) {
    const double xl = x < -708.0 ? -708.0 : x;
    const double xc = xl > 709.0 ? 709.0 : xl;
    constexpr double kShift = 6755399441055744.0;         // 1.5 * 2^52
    constexpr double kLog2e = 1.4426950408889634;         // 1 / ln 2
    constexpr double kLn2Hi = 0.6931471803691238;         // ln 2, upper 32 bits
    constexpr double kLn2Lo = 1.9082149292705877e-10;     // ln 2 - kLn2Hi
    const double shifted = xc * kLog2e + kShift;
    const double k = shifted - kShift;
    const double w = (xc - k * kLn2Hi) - k * kLn2Lo;
    double p = 1.0 / 39916800.0;  // 1/11!
    p = p * w + 1.0 / 3628800.0;
    p = p * w + 1.0 / 362880.0;
    p = p * w + 1.0 / 40320.0;
    p = p * w + 1.0 / 5040.0;
    p = p * w + 1.0 / 720.0;
    p = p * w + 1.0 / 120.0;
    p = p * w + 1.0 / 24.0;
    p = p * w + 1.0 / 6.0;
    p = p * w + 0.5;
    p = p * w + 1.0;
    p = p * w + 1.0;
    // The low bits of the shifted value hold k as a two's-complement integer;
    // 2^k is split in two factors so that k = 1023 (x near 709) stays finite.
    const std::uint64_t kbits = to_bits(shifted) - to_bits(kShift);
    const std::uint64_t half = static_cast<std::uint64_t>(static_cast<std::int64_t>(kbits) >> 1);
    const double scale1 = from_bits((half + 1023u) << 52);
    const double scale2 = from_bits((kbits - half + 1023u) << 52);
    const double value = (p * scale1) * scale2;
    return x < -708.0 ? 0.0 : value;
}

// Phi(-a) for a = |x| >= 0, sharing e = exp(-a^2/2): Hart's rational
// approximation 5666 (Hart et al., Computer Approximations, 1968; degrees
// 6/7, as tabulated by G. West, "Better approximations to cumulative normal
// functions", 2005). Hart switches to a continued fraction past 7.07; the
// ratio P/Q tends to 1/(sqrt(2 pi) a) there like Mills' ratio, so used beyond
// 7.07 its error stays below 1e-15 absolute, and one formula without a
// branch vectorises.
[[gnu::always_inline]] inline double lower_tail(double a, double e) {
    double p = 0.0352624965998911;
    p = p * a + 0.700383064443688;
    p = p * a + 6.37396220353165;
    p = p * a + 33.912866078383;
    p = p * a + 112.079291497871;
    p = p * a + 221.213596169931;
    p = p * a + 220.206867912376;
    double q = 0.0883883476483184;
    q = q * a + 1.75566716318264;
    q = q * a + 16.064177579207;
    q = q * a + 86.7807322029461;
    q = q * a + 296.564248779674;
    q = q * a + 637.333633378831;
    q = q * a + 793.826512519948;
    q = q * a + 440.413735824752;
    return (e * p) / q;
}

}  // namespace detail

inline constexpr double kInvSqrt2Pi = 0.3989422804014327;  // 1 / sqrt(2 pi)

namespace detail {

// Phi(x), and e = exp(-x^2 / 2), which phi shares.
struct CdfAndExp {
    double cdf, e;
};

[[gnu::always_inline]] inline CdfAndExp cdf_and_exp(double x) {
    const double a = x < 0.0 ? -x : x;
    const double e = poly_exp((-0.5 * a) * a);
    const double tail = lower_tail(a, e);
    return {x > 0.0 ? 1.0 - tail : (x != x ? x : tail), e};
}

}  // namespace detail

// Phi(x) for finite x; NaN gives NaN. An infinite x, or one past 1e51 where
// Hart's P overflows, gives NaN too (0 * inf): capping |x| would cost the
// integral model's quadratures 6 % of their time, and their arguments are
// finite.
[[gnu::always_inline]] inline double cdf(double x) { return detail::cdf_and_exp(x).cdf; }

// Phi(x) and phi(x) together: they share the exponential. For finite x, as cdf.
[[gnu::always_inline]] inline void cdf_pdf(double x, double& cdf_out, double& pdf_out) {
    const detail::CdfAndExp r = detail::cdf_and_exp(x);
    cdf_out = r.cdf;
    pdf_out = r.e * kInvSqrt2Pi;
}

// phi(x).
[[gnu::always_inline]] inline double pdf(double x) { return detail::poly_exp((-0.5 * x) * x) * kInvSqrt2Pi; }

// e^x by a polynomial, 0 below -708 and e^709 above 709; not std::exp's bits.
[[gnu::always_inline]] inline double poly_exp(double x) { return detail::poly_exp(x); }

}  // namespace varnelle::normal_array
