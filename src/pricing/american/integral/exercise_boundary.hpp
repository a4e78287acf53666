// The early-exercise boundary of an American put in units of its strike, by
// the fixed-point iteration of Andersen, Lake and Offengenden ("High-
// performance American option pricing", 2016), and the price of any spot
// from it.
//
// The boundary B(tau) / K depends only on (t, r, q, sigma) and the
// discretisation, never on the spot or the strike, so one solved boundary
// prices every strike of a chain; a row priced alone goes through the same
// steps, which makes the two agree to the bit.
//
// Discretisation: H(sqrt(tau)) = (ln(B(tau) / X))^2 on n + 1 Chebyshev
// extrema in sqrt(tau) (X = B(0+) / K = min(1, r/q)); every integral over time
// is taken in an angle theta with elapsed time tau sin^2(theta) and remaining
// time tau cos^2(theta), so both the square root at the near end and the one
// at the far end of the boundary become smooth and Gauss-Legendre converges
// quickly. The quadrature points, and the Chebyshev weights at them, depend
// only on (n, l, p), so they are computed once per scheme.
#pragma once

#include <cstddef>

namespace varnelle {

// The two forms of the boundary equation (exercise_boundary.cpp states them):
// smooth pasting is about ten times more accurate for the same nodes, value
// matching stable where the drift dominates.
enum class BoundaryForm { SmoothPasting, ValueMatching };

// How finely the boundary is solved: n Chebyshev nodes, l points in each
// integral of the iteration, m iterations (the first a Jacobi-Newton step),
// p points in the price integral, and which form of the boundary equation.
struct IntegralScheme {
    std::size_t nodes;         // n
    std::size_t inner_points;  // l
    std::size_t iterations;    // m
    std::size_t price_points;  // p
    BoundaryForm form;
};

// Whether tol reaches a scheme's threshold, within a relative slack: a tol
// held in single precision (1e-6 as a float is 9.99999997e-7) takes the
// scheme of the decade it was written as, not the next finer one, which
// costs several times as much.
inline constexpr double kTolSlack = 1e-6;
constexpr bool tol_reaches(double tol, double threshold) { return tol >= threshold * (1.0 - kTolSlack); }

inline constexpr std::size_t kMaxBoundaryNodes = 32;
inline constexpr std::size_t kMaxInnerPoints = 64;
inline constexpr std::size_t kMaxPricePoints = 96;

// A solved boundary of a put with strike 1, ready to price any spot.
struct PutBoundary {
    double t, r, q, sigma;
    double x_ratio;  // B(0+) / K
    double now;      // B(t) / K: at or below it the put is exercised
    std::size_t nodes;
    double h[kMaxBoundaryNodes + 1];  // H at the nodes, the first at tau = t
    double last_step;                 // largest |ln(B_new / B_old)| of the last iteration

    // The price integral's points: elapsed time, sigma sqrt(elapsed), the
    // drift (r - q - sigma^2/2) elapsed, ln B at the remaining time, and the
    // weights of its rate and yield terms (quadrature weight times discount
    // factor times r or q).
    std::size_t points;
    double vol[kMaxPricePoints];
    double drift[kMaxPricePoints];
    double log_boundary[kMaxPricePoints];
    double rate_weight[kMaxPricePoints];
    double yield_weight[kMaxPricePoints];
    // European put pieces at t.
    double rate_discount, yield_discount, vol_t, drift_t;
};

// Solves the boundary of a put with strike 1: r > 0, t > 0, sigma > 0.
void solve_put_boundary(double t, double r, double q, double sigma, const IntegralScheme& scheme,
                        PutBoundary& out);

// The same with the iteration started from another solved boundary on the
// same nodes instead of QD+ (for the sensitivities of the boundary to sigma
// and r), running `iterations` plain steps.
void resolve_put_boundary(const PutBoundary& start, double r, double q, double sigma,
                          const IntegralScheme& scheme, std::size_t iterations, PutBoundary& out);

// The put of strike 1 at spot x > 0 from its boundary.
double put_price_from_boundary(const PutBoundary& b, double x);

// Value, first and second derivative in x with the boundary held fixed.
struct PutSpotTerms {
    double value, delta, gamma;
    bool exercised;
};
PutSpotTerms put_terms_from_boundary(const PutBoundary& b, double x);

}  // namespace varnelle
