// What the American implied volatilities borrow from the European one: the
// call european_price evaluates for a row, its no-arbitrage bounds, and the
// European inversion itself (their upper bracket end and first step).
#pragma once

#include "pricing/core/types.hpp"

namespace varnelle::detail {

// The call european_price evaluates (the call equivalent of put_call.hpp); every
// factor that does not depend on sigma is formed once with the expressions of
// detail::european_call, so that price() is european_price to the bit.
struct ModelCall {
    double S, K, T, r, b;
    double sqrt_t, log_sk, carry_discount, rate_discount;
    double A;  // S * carry_discount: the price as sigma -> infinity
    double B;  // K * rate_discount
};

ModelCall model_call(double s, double k, double t, double r, double q, OptionType type);

// The bounds of the European price for the inputs, and the call that
// european_price evaluates for them.
struct EuropeanProblem {
    ModelCall m;
    double lower, upper;
};

EuropeanProblem european_problem(double s, double k, double t, double r, double q, OptionType type);

// sigma with european_price == p, for lower < p < m.A.
double solve_european(const ModelCall& m, double p, double lower);

// The European vega of m at sigma (per 1.00 of volatility).
double model_vega(const ModelCall& m, double sigma);

// Inputs no volatility can answer whatever the price: NaN anywhere, spot,
// strike or expiry not positive and finite, rates not finite.
bool implied_vol_inputs_unusable(double price, double s, double k, double t, double r, double q);

}  // namespace varnelle::detail
