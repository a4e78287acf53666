#include "pricing/american/perpetual.hpp"

#include <cmath>

#include "pricing/math/normal.hpp"

namespace varnelle {

PerpetualPut perpetual_put(double r, double q, double sigma) {
    const double sigma2 = sigma * sigma;
    const double b = (r - q) - 0.5 * sigma2;  // the drift of ln S
    // hypot keeps b^2 + 2 sigma^2 r finite for absurd rates; each branch
    // avoids the cancellation of the other.
    const double root = std::hypot(b, sigma * std::sqrt(2.0 * r));
    const double lambda = b >= 0.0 ? -(b + root) / sigma2 : -2.0 * r / (root - b);
    PerpetualPut p{lambda, 0.0, lambda < 0.0};
    // lambda / (lambda - 1), written to stay 1 at lambda = -inf.
    p.boundary = p.exists ? 1.0 / (1.0 - 1.0 / lambda) : 0.0;
    return p;
}

double PerpetualPut::value(double x) const {
    if (x <= boundary) return 1.0 - x;
    // 1 - B = 1 / (1 - lambda) without the cancellation near B = 1.
    return std::exp(lambda * std::log(x / boundary) - std::log1p(-lambda));
}

double PerpetualPut::shortfall(double t, double r, double q, double sigma) const {
    if (!exists) return 1.0;
    // P(t < tau < inf) from ln(x / B) = a >= 0 is at most e^(-c a) Phi((a -
    // m) / s) with drift m = b t, s = sigma sqrt(t), c = 2 b / sigma^2, which
    // for b sqrt(t) / sigma >= 1 is largest at a = 0; otherwise take 1.
    const double b = (r - q) - 0.5 * sigma * sigma;
    const double spread = b * std::sqrt(t) / sigma;
    const double tail = spread >= 1.0 ? norm_cdf(-spread) : 1.0;
    return std::exp(-r * t - std::log1p(-lambda)) * tail;
}

namespace {

// dF/d lambda of F = sigma^2/2 l (l - 1) + (r - q) l - r.
double slope(double lambda, double r, double q, double sigma) {
    return sigma * sigma * (lambda - 0.5) + (r - q);
}

}  // namespace

double PerpetualPut::lambda_slope_sigma(double r, double q, double sigma) const {
    return -sigma * lambda * (lambda - 1.0) / slope(lambda, r, q, sigma);
}

double PerpetualPut::lambda_slope_r(double r, double q, double sigma) const {
    return -(lambda - 1.0) / slope(lambda, r, q, sigma);
}

double PerpetualPut::lambda_slope_q(double r, double q, double sigma) const {
    return lambda / slope(lambda, r, q, sigma);
}

}  // namespace varnelle
