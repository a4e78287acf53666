// American price and finite-difference Greeks on top of the
// Bjerksund-Stensland call value. Puts go through the put-call
// transformation; every value is lifted to at least the intrinsic value.
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

double american_price(const OptionInputs& in, OptionType type);
double american_delta(const OptionInputs& in, OptionType type);
double american_gamma(const OptionInputs& in, OptionType type);
double american_theta(const OptionInputs& in, OptionType type);  // per calendar day
double american_vega(const OptionInputs& in, OptionType type);   // per 1.0 of volatility
double american_rho(const OptionInputs& in, OptionType type);    // per 1% of rate
Greeks american_greeks(const OptionInputs& in, OptionType type);

}  // namespace varnelle
