// Constants of the pricing core. The irrational ones are each written once
// as the exact double the code has always used, with the rounding that
// double is.
//
// Results are promised to the bit, so a constant is never recomputed from
// others (2.0 * pi, std::sqrt(...)) in place: every expression below would
// have to round to the same double, and for sqrt(2 pi) one does not (see
// kSqrtTwoPiComputed). Each value is checked against a higher-precision one
// in tests/cpp/test_constants.cpp.
#pragma once

#include <limits>

namespace varnelle {

// The answer to inputs no formula answers, and the value of what has no
// finite bound.
inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr double kInf = std::numeric_limits<double>::infinity();

// Days in a year of the Greeks per calendar day: theta is the yearly
// derivative divided by kDaysPerYear (a division, not a product with
// kOneDay: the two round differently), and the specified American theta steps
// the expiry back by kOneDay, the double nearest 1/365.
inline constexpr double kDaysPerYear = 365.0;
inline constexpr double kOneDay = 1.0 / kDaysPerYear;
static_assert(kOneDay == 0.0027397260273972603);

// sqrt(2 pi) = 2.50662827463100050241..., the double nearest it (1.8e-16
// above, inside half an ulp of 2.2e-16). The normal density divides by it
// (norm_pdf and the Black-Scholes Greeks that form phi(d1) in place), so
// every density and Greek carries this rounding.
inline constexpr double kSqrtTwoPi = 2.5066282746310007;

// sqrt(2 pi) as std::sqrt(2.0 * pi) evaluates in double arithmetic: one ulp
// (4.4e-16) below kSqrtTwoPi. Only the European implied-volatility start uses
// it; the start is a guess, but it decides which iterates the solver visits
// and so the last bits of the volatility it returns, which must not move.
inline constexpr double kSqrtTwoPiComputed = 2.5066282746310002;

// 1 / sqrt(2 pi) = 0.39894228040143267794..., the double nearest it. The
// solver's analytic vega multiplies by it: a product is cheaper than the
// division norm_pdf makes, and vega only steers the steps, it never enters a
// returned price.
inline constexpr double kInvSqrtTwoPi = 0.3989422804014327;

// 2 pi / sqrt(27) = 2 pi / (3 sqrt 3) = 1.20919957615614523373..., the double
// nearest it: the constant of the time value's tail asymptote as sigma -> 0.
inline constexpr double kTwoPiOverSqrt27 = 1.2091995761561452;

// sqrt(3) = 1.73205080756887729352..., the double nearest it.
inline constexpr double kSqrtThree = 1.7320508075688772;

// sqrt(2) = 1.41421356237309504880..., the double nearest it. norm_cdf
// divides by it, which is not the same as multiplying by kInvSqrtTwo.
inline constexpr double kSqrtTwo = 1.4142135623730951;

// 1 / sqrt(2) = 0.70710678118654752440..., the double nearest it. The
// implied-volatility solver multiplies by it only to tell which of the erf
// approximations a d falls in.
inline constexpr double kInvSqrtTwo = 0.7071067811865476;

// e = 2.71828182845904523536..., the double nearest it (1.4e-16 below). Gamma's
// dividend discount is std::pow(kE, -q t), not std::exp(-q t): the two
// differ in the last bit for most exponents, and gamma keeps the pow.
inline constexpr double kE = 2.718281828459045;

// (sqrt(5) - 1) / 2 = 0.61803398874989484820..., the double nearest it: the
// golden section of the option's life where Bjerksund-Stensland 2002 splits
// it.
inline constexpr double kGoldenSection = 0.6180339887498949;

}  // namespace varnelle
