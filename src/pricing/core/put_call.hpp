// The put-call transformation: every option is valued as a call. A call is
// itself; a put is the call with spot and strike swapped, rate r - b and cost
// of carry -b, where b = r - q. The American model, the European price and
// the implied volatilities all go through this one definition, so the
// European value a put is floored at is the European price to the bit.
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle {

struct CallEquivalent {
    double S;  // spot of the call
    double K;  // strike of the call
    double r;  // rate
    double b;  // cost of carry
};

[[gnu::always_inline]] inline CallEquivalent call_equivalent(double s, double k, double r, double q,
                                                             OptionType type) {
    const double b = r - q;
    if (type == OptionType::Call) return {s, k, r, b};
    return {k, s, r - b, -b};  // r - b is r - (r - q), q up to rounding
}

}  // namespace varnelle
