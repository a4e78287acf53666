// The no-arbitrage bounds every American model keeps to.
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

// The price every American model stays below: the underlying for a call or
// the strike for a put, or the European upper bound where that is higher
// (with r < 0 a put is worth up to k e^(-rt) > k, with q < 0 a call up to
// s e^(-qt) > s). Both models' implied volatilities refuse prices from here up.
double american_upper_bound(double s, double k, double t, double r, double q, OptionType type);

// The volatilities the American implied volatilities search: a price no
// volatility in between reaches has none (NaN).
inline constexpr double kLowestImpliedVol = 1e-8;
inline constexpr double kHighestImpliedVol = 100.0;

}  // namespace varnelle
