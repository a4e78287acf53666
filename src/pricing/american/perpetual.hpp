// The perpetual American put (McKean 1965, Merton 1973) in units of its
// strike: the limit of the American put as the life grows, and an upper
// bound for every finite life.
//
// With lambda the negative root of sigma^2/2 l (l - 1) + (r - q) l - r = 0,
// the put is exercised at or below B = lambda / (lambda - 1) and is worth
// (1 - B) (x / B)^lambda above it.
#pragma once

namespace varnelle {

struct PerpetualPut {
    double lambda;    // the negative root; -inf when the rate overwhelms the volatility
    double boundary;  // B / K
    bool exists;      // a finite exercise level: r > 0, or r = 0 with the spot drifting up

    // The value of the put of strike 1 at spot x >= 0.
    double value(double x) const;

    // Whether the put of life t is within `gap` (in units of the strike) of
    // this one at every spot: exercising at B until t and holding the payoff
    // at t gives at least the perpetual value less (1 - B) E[e^(-r tau);
    // t < tau < inf], tau the first time the spot reaches B.
    bool within(double t, double r, double q, double sigma, double gap) const { return shortfall(t, r, q, sigma) <= gap; }

    // The most the put of life t can fall short of this one at any spot, in
    // units of the strike.
    double shortfall(double t, double r, double q, double sigma) const;

    // d lambda / d sigma, d r and d q: the value moves with lambda alone, as B
    // is where the value is largest (the envelope theorem), so
    // d value / d theta = value ln(x / B) d lambda / d theta.
    double lambda_slope_sigma(double r, double q, double sigma) const;
    double lambda_slope_r(double r, double q, double sigma) const;
    double lambda_slope_q(double r, double q, double sigma) const;
};

// r >= 0 and sigma > 0.
PerpetualPut perpetual_put(double r, double q, double sigma);

}  // namespace varnelle
