// Implied volatility: the sigma at which this library's own European or
// American price equals a given price.
//
// Both functions invert the prices exactly as european_price and
// american_price compute them (with their approximate normal distribution),
// not the textbook formula, so that price -> volatility -> price round trips
// hold to the bits the prices carry. They are pure and reentrant: no
// allocation, no exceptions, no shared state, a bounded number of steps.
//
// Inputs they cannot answer give NaN (never an exception):
//   - any NaN input; an infinite or non-positive s, k or t (t <= 0 is expired:
//     the price is the payoff whatever sigma is); an infinite r or q;
//   - a price below the lower no-arbitrage bound: for the European price the
//     discounted intrinsic value max(s e^(-qt) - k e^(-rt), 0) (put: the
//     mirror image); for the American price the plain intrinsic value, and
//     also the European lower bound, which the American price never goes
//     below;
//   - a price at or above the upper bound: s e^(-qt) for a European call,
//     k e^(-rt) for a European put; max(s, s e^(-qt)) for an American call,
//     max(k, k e^(-rt)) for an American put (early exercise can make an
//     American call worth more than s e^(-qt), and with a negative yield or
//     rate the European price it is never below exceeds s or k);
//   - an American price equal to a positive intrinsic value: the price sits
//     at the intrinsic value over a whole range of sigma (or is never
//     reached), so no single sigma answers it;
//   - an American price that no sigma in [1e-8, 100] reaches.
// A price exactly at the European lower bound gives 0.0 (the sigma -> 0
// limit of the price); so does an American price of exactly 0 when both
// bounds are 0.
#pragma once

#include "types.hpp"

namespace varnelle {

// sigma at which european_price({s, k, t, r, sigma, q}, type) == price.
double european_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type);

// The price every American model stays below: the underlying for a call or
// the strike for a put, or the European upper bound where that is higher
// (with r < 0 a put is worth up to k e^(-rt) > k, with q < 0 a call up to
// s e^(-qt) > s). Both models' implied volatilities refuse prices from here up.
double american_upper_bound(double s, double k, double t, double r, double q, OptionType type);

// sigma at which american_price({s, k, t, r, sigma, q}, type) == price.
double american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type);

}  // namespace varnelle
