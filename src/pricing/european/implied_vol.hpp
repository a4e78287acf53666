// European implied volatility: the sigma at which this library's own
// European price equals a given price.
//
// It inverts the price exactly as european_price computes it (with its
// approximate normal distribution), not the textbook formula, so that
// price -> volatility -> price round trips hold to the bits the price
// carries. Pure and reentrant: no allocation, no exceptions, no shared state,
// a bounded number of steps.
//
// Inputs it cannot answer give NaN (never an exception):
//   - any NaN input; an infinite or non-positive s, k or t (t <= 0 is expired:
//     the price is the payoff whatever sigma is); an infinite r or q;
//   - a price below the discounted intrinsic value
//     max(s e^(-qt) - k e^(-rt), 0) (put: the mirror image);
//   - a price at or above the upper bound: s e^(-qt) for a call, k e^(-rt)
//     for a put.
// A price exactly at the lower bound gives 0.0 (the sigma -> 0 limit of the
// price).
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

// sigma at which european_price({s, k, t, r, sigma, q}, type) == price.
double european_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type);

}  // namespace varnelle
