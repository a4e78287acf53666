#include "pricing/american/bs2002/bjerksund_stensland.hpp"

#include <cmath>

#include "pricing/american/bs2002/bjerksund_stensland_detail.hpp"
#include "pricing/core/constants.hpp"
#include "pricing/european/european.hpp"
#include "pricing/math/normal.hpp"

namespace varnelle {
namespace detail {
namespace {

// Maximum with the NaN rule of the model: a NaN model value gives the floor.
[[gnu::always_inline]] inline double larger_of(double model, double floor) {
    return model > floor ? model : floor;
}

// One phi evaluation once its shared factors are known:
// (e^lambda * S^gamma) * [N(-d) - (I1/S)^kappa * N(-d - delta)].
[[gnu::always_inline]] inline double phi(double scale, double d, double delta, double ratio_pow) {
    return scale * (norm_cdf(-d) - ratio_pow * norm_cdf(-d - delta));
}

}  // namespace

Bs2002Evaluation evaluate_bjerksund_stensland(double S, double K, double T, double r, double b,
                                              double sigma) {
    Bs2002Evaluation ev{};
    // Comparisons are ordered: a NaN operand makes each test false.
    if (T <= 0.0) {
        ev.path = Bs2002Path::Expiry;
        ev.value = larger_of(S - K, 0.0);
        return ev;
    }
    if (b >= r) {
        ev.path = Bs2002Path::NoEarlyExercise;
        ev.european = european_call(S, K, T, r, b, sigma);
        ev.value = ev.european;
        return ev;
    }

    // Flat exercise boundary: B_inf for the perpetual option, B0 at expiry.
    const double sigma2 = sigma * sigma;
    const double b_over_s2 = b / sigma2;
    const double beta =
        (0.5 - b_over_s2) + std::sqrt((b_over_s2 - 0.5) * (b_over_s2 - 0.5) + (2.0 * r) / sigma2);
    const double b_inf = (beta / (beta - 1.0)) * K;
    const double p = (r / (r - b)) * K;
    const double b0 = std::isnan(K) ? p : (p > K ? p : K);
    ev.beta = beta;
    ev.b_inf = b_inf;
    ev.b0 = b0;

    // Trigger for a horizon tau: I = B0 + (B_inf - B0)(1 - e^h), with
    // h = -(b tau + 2 sigma sqrt(tau)) B0 / (B_inf - B0).
    const auto exponent = [&](double tau, double sqrt_tau) {
        return ((-(b * tau + (2.0 * sigma) * sqrt_tau)) * b0) / (b_inf - b0);
    };
    const auto trigger = [&](double h) { return b0 + (b_inf - b0) * (1.0 - std::exp(h)); };

    const double sqrt_T = std::sqrt(T);
    ev.h_T = exponent(T, sqrt_T);
    const double i2 = trigger(ev.h_T);
    ev.i2 = i2;

    const double carry_discount_T = std::exp((b - r) * T);
    const double rate_discount_T = std::exp((-r) * T);

    if (S >= i2) {
        // Exercising now is worth S - K, but when the trigger sits below the
        // strike that is negative: the option is then worth at least its
        // European value, never less.
        ev.path = Bs2002Path::ImmediateExercise;
        ev.european = european_from(S, K, T, b, sigma, sigma2, sqrt_T, std::log(S / K),
                                    carry_discount_T, rate_discount_T);
        const double exercise = S - K;
        ev.value = ev.european > exercise ? ev.european : exercise;
        return ev;
    }
    ev.path = Bs2002Path::Approximation;

    // Split the life at the golden section; the barrier of every phi is I1.
    const double t1 = kGoldenSection * T;
    const double sqrt_t1 = std::sqrt(t1);
    ev.h_t1 = exponent(t1, sqrt_t1);
    const double i1 = trigger(ev.h_t1);
    ev.i1 = i1;
    ev.alpha1 = (i1 - K) * std::pow(i1, -beta);
    ev.alpha2 = (i2 - K) * std::pow(i2, -beta);

    // Shared logarithms and powers.
    const double log_sk = std::log(S / K);
    const double log_si1 = std::log(S / i1);
    const double log_si2 = std::log(S / i2);
    const double log_i1s = std::log(i1 / S);
    const double ratio = i1 / S;
    const double s_beta = std::pow(S, beta);
    const double two_b_s2 = (2.0 * b) / sigma2;
    const double pow_beta = std::pow(ratio, two_b_s2 + (2.0 * beta - 1.0));
    const double pow_one = std::pow(ratio, two_b_s2 + 1.0);
    const double pow_zero = std::pow(ratio, two_b_s2 - 1.0);

    // Drift of d for gamma = beta, 1, 0: b + (gamma - 1/2) sigma^2.
    const double drift_beta = b + (beta - 0.5) * sigma2;
    const double drift_one = b + 0.5 * sigma2;
    const double drift_zero = b - 0.5 * sigma2;
    // Growth rate lambda / tau for gamma = beta (gamma = 1 gives b - r, gamma = 0 gives -r).
    const double growth_beta = (-r + beta * b) + ((0.5 * beta) * (beta - 1.0)) * sigma2;

    // Horizon t1.
    const double vol_t1 = sigma * sqrt_t1;
    const double delta_t1 = (2.0 * log_i1s) / vol_t1;
    const double scale_beta_t1 = std::exp(growth_beta * t1) * s_beta;
    const double scale_one_t1 = std::exp((b - r) * t1) * S;
    const double scale_zero_t1 = std::exp((-r) * t1);
    const auto d_t1 = [&](double log_sh, double drift) { return (log_sh + drift * t1) / vol_t1; };

    // Horizon T; for gamma = 1 and 0 the scales are the European discount factors.
    const double vol_T = sigma * sqrt_T;
    const double delta_T = (2.0 * log_i1s) / vol_T;
    const double scale_beta_T = std::exp(growth_beta * T) * s_beta;
    const double scale_one_T = carry_discount_T * S;
    const double scale_zero_T = rate_discount_T;
    const auto d_T = [&](double log_sh, double drift) { return (log_sh + drift * T) / vol_T; };

    auto& term = ev.terms;
    term[0] = ev.alpha1 * phi(scale_beta_t1, d_t1(log_si1, drift_beta), delta_t1, pow_beta);
    term[1] = ev.alpha1 * phi(scale_beta_t1, d_t1(log_si2, drift_beta), delta_t1, pow_beta);
    term[2] = phi(scale_one_t1, d_t1(log_si2, drift_one), delta_t1, pow_one);
    term[3] = phi(scale_one_t1, d_t1(log_sk, drift_one), delta_t1, pow_one);
    term[4] = K * phi(scale_zero_t1, d_t1(log_si2, drift_zero), delta_t1, pow_zero);
    term[5] = K * phi(scale_zero_t1, d_t1(log_sk, drift_zero), delta_t1, pow_zero);
    term[6] = ev.alpha2 * phi(scale_beta_T, d_T(log_si2, drift_beta), delta_T, pow_beta);
    term[7] = ev.alpha2 * phi(scale_beta_T, d_T(log_si1, drift_beta), delta_T, pow_beta);
    term[8] = phi(scale_one_T, d_T(log_si1, drift_one), delta_T, pow_one);
    term[9] = phi(scale_one_T, d_T(log_si2, drift_one), delta_T, pow_one);
    term[10] = K * phi(scale_zero_T, d_T(log_si1, drift_zero), delta_T, pow_zero);
    term[11] = K * phi(scale_zero_T, d_T(log_si2, drift_zero), delta_T, pow_zero);

    // Accumulated strictly left to right, each term with its sign.
    double a = term[0];
    a = a - term[1];
    a = a + term[2];
    a = a - term[3];
    a = a - term[4];
    a = a + term[5];
    a = a + term[6];
    a = a - term[7];
    a = a + term[8];
    a = a - term[9];
    a = a - term[10];
    a = a + term[11];
    ev.approximation = a;

    ev.european = european_from(S, K, T, b, sigma, sigma2, sqrt_T, log_sk, carry_discount_T,
                                rate_discount_T);
    // A NaN approximation gives E; a NaN E with a numeric A gives A.
    if (std::isnan(a)) {
        ev.value = ev.european;
        return ev;
    }
    // The twelve-term sum overshoots when volatility is low, expiry long or
    // carry strongly negative, by factors up to 1e65. No call with a finite
    // expiry is worth more than the perpetual one, (B_inf - K) (S / B_inf)^beta,
    // so that caps it; a NaN perpetual value caps nothing.
    ev.perpetual = (b_inf - K) * std::pow(S / b_inf, beta);
    if (a > ev.perpetual) a = ev.perpetual;
    ev.value = ev.european > a ? ev.european : a;
    return ev;
}

}  // namespace detail

double bjerksund_stensland_call(double S, double K, double T, double r, double b, double sigma) {
    return detail::evaluate_bjerksund_stensland(S, K, T, r, b, sigma).value;
}

}  // namespace varnelle
