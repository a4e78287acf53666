// What both American models' Greeks share.
#pragma once

#include "pricing/core/constants.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

// Theta per calendar day from the Black-Scholes equation, which the value
// obeys wherever the option is held (not where it is exercised, where theta
// is 0):
//     Theta = r V - (r - q) S Delta - sigma^2 S^2 Gamma / 2   per year.
// S (S Gamma), not S^2 Gamma: S^2 overflows for spots past 1e154, where
// S Gamma does not.
[[gnu::always_inline]] inline double theta_from_equation(const OptionInputs& in, double value, double delta,
                                                         double gamma) {
    const double year =
        in.r * value - (in.r - in.q) * in.s * delta - 0.5 * in.sigma * in.sigma * in.s * (in.s * gamma);
    return year / kDaysPerYear;
}

// Without volatility the value is a closed form with kinks in the spot;
// delta and gamma are central differences over a spot step of this fraction
// of the spot.
inline constexpr double kZeroVolSpotStep = 1e-5;

}  // namespace varnelle
