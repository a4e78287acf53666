// std::exp of an exponent clamped to [-700, 700]: absurd inputs (lives of
// centuries, volatilities of 5000 %) give finite numbers instead of
// inf - inf, and within the clamp the value is std::exp's to the bit.
// (normal_array.hpp's poly_exp is another function: its own polynomial.)
#pragma once

#include <algorithm>
#include <cmath>

namespace varnelle {

inline constexpr double kMaxExpArgument = 700.0;

inline double exp_of_clamped(double a) { return std::exp(std::clamp(a, -kMaxExpArgument, kMaxExpArgument)); }

}  // namespace varnelle
