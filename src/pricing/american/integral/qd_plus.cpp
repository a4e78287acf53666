#include "pricing/american/integral/qd_plus.hpp"

#include <cmath>

#include "pricing/math/normal_array.hpp"

namespace varnelle {
namespace {

namespace na = normal_array;

// Newton's method converges quadratically here, so a step below 1e-4 of S
// leaves the next iterate within ~1e-8 of the root. (The fixed number of
// iterations that follows does not make up for a start much further off.)
constexpr double kSettled = 1e-4;

// Steps of the bracketed Newton iteration at one time: from the line through
// the two roots before it a few suffice; where the start is far off, the
// bracket halves (geometrically) with each step that would leave it.
constexpr int kMostNewtonSteps = 40;

// The root of Li's F at one time to expiry, by Newton's method from start.
double qd_plus_root(double tau, double r, double q, double sigma, double x_ratio, double start) {
    const double sigma2 = sigma * sigma;
    const double dr = std::exp(-r * tau);
    const double dq = std::exp(-q * tau);
    const double h = -std::expm1(-r * tau);
    const double omega = 2.0 * (r - q) / sigma2;
    const double v = sigma * std::sqrt(tau);
    const double root = std::sqrt((omega - 1.0) * (omega - 1.0) + 8.0 * r / (sigma2 * h));
    const double lambda = 0.5 * (-(omega - 1.0) - root);
    const double lambda_prime = 2.0 * r / (sigma2 * h * h * root);
    const double denominator = 2.0 * lambda + omega - 1.0;
    const double alpha = 2.0 * r * dr / (sigma2 * denominator);
    const double beta = alpha * (1.0 / h + lambda_prime / denominator) - lambda;

    // Every Newton step is kept inside a bracket: F rises
    // through one root in (0, X] but is nearly flat below it at short times,
    // where an unguarded step flies off. The result only starts an iteration
    // that corrects it, so a loose stop is enough.
    double s = start, low = 0.0, high = x_ratio;
    for (int step = 0; step < kMostNewtonSteps; ++step) {
        const double d_plus = (std::log(s) + (r - q) * tau) / v + 0.5 * v;
        const double d_minus = d_plus - v;
        double n_plus, pdf_plus;
        na::cdf_pdf(-d_plus, n_plus, pdf_plus);  // Phi(-d+), phi(d+)
        const double n_minus = na::cdf(-d_minus);
        const double european = dr * n_minus - s * dq * n_plus;
        const double theta = r * dr * n_minus - q * s * dq * n_plus - sigma2 * s * dq * pdf_plus / (2.0 * v);
        const double gap = 1.0 - s - european;
        const double c0 = -beta - lambda + alpha * theta / (r * dr * gap);
        const double f = (1.0 - dq * n_plus) * s + (lambda + c0) * gap;
        if (f > 0.0) {
            high = s;
        } else {
            low = s;
        }
        // dF/dS, with identity dr phi(d-) = S dq phi(d+) for the strike 1.
        const double theta_slope = dq * ((q - r) * pdf_plus / v - q * n_plus - sigma2 * pdf_plus / (2.0 * v) +
                                         sigma2 * d_plus * pdf_plus / (2.0 * v * v));
        const double gap_slope = dq * n_plus - 1.0;
        const double c0_slope = alpha / (r * dr) * ((theta_slope * gap - theta * gap_slope) / (gap * gap));
        const double slope = (1.0 - dq * n_plus) + dq * pdf_plus / v + c0_slope * gap + (lambda + c0) * gap_slope;
        double next = s - f / slope;
        if (!(next > low && next < high)) next = low > 0.0 ? std::sqrt(low * high) : 0.5 * high;
        const bool done = std::fabs(next - s) <= kSettled * s;
        s = next;
        if (done) break;
    }
    return s;
}

}  // namespace

void qd_plus_boundary(const double* tau, std::size_t count, double r, double q, double sigma, double x_ratio,
                      double* out) {
    // From the shortest time up, each root starting from the line through
    // the two before it in (sqrt(tau), ln B): neighbouring times have nearby
    // boundaries, so Newton needs few steps.
    // ln B and sqrt(tau) of the node before are carried over rather than
    // taken again (the logarithms were a tenth of the start's cost).
    double start = x_ratio;
    double log_before = 0.0, root_before = 0.0;  // at node j + 1
    for (std::size_t j = count; j-- > 0;) {
        out[j] = qd_plus_root(tau[j], r, q, sigma, x_ratio, start);
        start = out[j];
        if (j == 0) break;
        const double log_here = std::log(out[j]);
        const double b = std::sqrt(tau[j]);
        if (j + 1 < count) {
            const double a = root_before, c = std::sqrt(tau[j - 1]);
            const double guess = std::exp(log_here + (log_here - log_before) * (c - b) / (b - a));
            if (guess > 0.0 && guess < x_ratio) start = guess;
        }
        log_before = log_here;
        root_before = b;
    }
}

}  // namespace varnelle
