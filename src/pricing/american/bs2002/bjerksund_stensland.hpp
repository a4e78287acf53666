// American call value under a Bjerksund-Stensland (2002) flat-boundary scheme.
#pragma once

namespace varnelle {

// Value of an American call: S spot, K strike, T years to expiry, r rate,
// b cost of carry, sigma volatility. Never below the generalized
// Black-Scholes European value when T > 0; never fails, never allocates.
double bjerksund_stensland_call(double S, double K, double T, double r, double b, double sigma);

}  // namespace varnelle
