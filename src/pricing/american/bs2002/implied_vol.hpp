// Implied volatility of the specified American model: the sigma at which
// american_price equals a given price, inverted as american_price computes
// it so that round trips hold to the bits the price carries. Pure and
// reentrant, a bounded number of steps.
//
// Inputs it cannot answer give NaN (never an exception):
//   - everything european_implied_vol refuses for its inputs;
//   - a price below the plain intrinsic value or below the European lower
//     bound, which the American price never goes below;
//   - a price at or above american_upper_bound: max(s, s e^(-qt)) for a
//     call, max(k, k e^(-rt)) for a put (early exercise can make an American
//     call worth more than s e^(-qt), and with a negative yield or rate the
//     European price it is never below exceeds s or k);
//   - a price equal to a positive intrinsic value: the price sits at the
//     intrinsic value over a whole range of sigma (or is never reached), so
//     no single sigma answers it;
//   - a price that no sigma in [1e-8, 100] reaches.
// A price exactly at the European lower bound gives 0.0 where the model is
// the European price (no early exercise); so does a price of exactly 0 when
// both bounds are 0.
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

// sigma at which american_price({s, k, t, r, sigma, q}, type) == price.
double american_implied_vol(double price, double s, double k, double t, double r, double q, OptionType type);

}  // namespace varnelle
