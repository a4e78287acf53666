// Cost per call of the pricing operations. Every benchmark walks a small pool
// of slightly different inputs, so the compiler cannot fold a call into a
// constant and the branch predictor sees realistic, if easy, traffic.
#include <benchmark/benchmark.h>

#include <array>
#include <cstddef>

#include "pricing/american.hpp"
#include "pricing/bjerksund_stensland.hpp"
#include "pricing/bjerksund_stensland_detail.hpp"
#include "pricing/black_scholes.hpp"
#include "pricing/normal.hpp"

namespace {

using varnelle::OptionInputs;
using varnelle::OptionType;

constexpr std::size_t kPool = 64;  // a power of two: the index wraps with a mask

// A fraction in [0, 1) for pool slot i, spread evenly but not in order.
double jitter(std::size_t i) { return static_cast<double>((i * 37) % kPool) / static_cast<double>(kPool); }

template <typename T, typename Fn>
void walk(benchmark::State& state, const std::array<T, kPool>& pool, Fn fn) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(pool[i]));
        i = (i + 1) & (kPool - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

// norm_cdf over the body and both tails: every range of the approximation,
// the small-argument ratio and the saturated ends.
void BM_norm_cdf(benchmark::State& state) {
    constexpr double kCenters[] = {-39.0, -30.0, -20.0, -12.0, -8.0, -5.0, -3.0, -1.5,
                                   -0.9,  -0.4,  0.0,   0.4,   1.0,  2.5,  5.0,  9.0};
    std::array<double, kPool> xs{};
    for (std::size_t i = 0; i < kPool; ++i) xs[i] = kCenters[i % 16] + 0.01 * jitter(i);
    walk(state, xs, [](double x) { return varnelle::norm_cdf(x); });
}
BENCHMARK(BM_norm_cdf);

// Ordinary European inputs around the money, with and without a yield.
std::array<OptionInputs, kPool> european_pool() {
    std::array<OptionInputs, kPool> pool{};
    for (std::size_t i = 0; i < kPool; ++i) {
        const double u = jitter(i);
        pool[i] = {90.0 + 20.0 * u, 100.0, 0.5 + u, 0.03 + 0.01 * u, 0.2 + 0.05 * u, 0.02 * u};
    }
    return pool;
}

#define VARNELLE_BS_BENCH(name, expr)                                      \
    void BM_##name(benchmark::State& state) {                              \
        const auto pool = european_pool();                                 \
        walk(state, pool, [](const OptionInputs& in) { return (expr); }); \
    }                                                                      \
    BENCHMARK(BM_##name)

VARNELLE_BS_BENCH(black_scholes_delta_call, varnelle::black_scholes_delta(in, OptionType::Call));
VARNELLE_BS_BENCH(black_scholes_delta_put, varnelle::black_scholes_delta(in, OptionType::Put));
VARNELLE_BS_BENCH(black_scholes_gamma, varnelle::black_scholes_gamma(in));
VARNELLE_BS_BENCH(black_scholes_theta_call, varnelle::black_scholes_theta(in, OptionType::Call));
VARNELLE_BS_BENCH(black_scholes_theta_put, varnelle::black_scholes_theta(in, OptionType::Put));
VARNELLE_BS_BENCH(black_scholes_vega, varnelle::black_scholes_vega(in));
VARNELLE_BS_BENCH(black_scholes_rho_call, varnelle::black_scholes_rho(in, OptionType::Call));
VARNELLE_BS_BENCH(black_scholes_rho_put, varnelle::black_scholes_rho(in, OptionType::Put));
VARNELLE_BS_BENCH(black_scholes_greeks_call, varnelle::black_scholes_greeks(in, OptionType::Call));
VARNELLE_BS_BENCH(black_scholes_greeks_put, varnelle::black_scholes_greeks(in, OptionType::Put));

// Bjerksund-Stensland inputs that all take one branch. The pool is checked up
// front so that a change of the model cannot silently move a benchmark onto
// another branch.
struct CallArgs {
    double S, K, T, r, b, sigma;
};

void bjerksund_stensland_branch(benchmark::State& state, varnelle::detail::Bs2002Path path,
                                CallArgs base, double spot_spread) {
    std::array<CallArgs, kPool> pool{};
    for (std::size_t i = 0; i < kPool; ++i) {
        pool[i] = base;
        pool[i].S += spot_spread * jitter(i);
        const auto ev = varnelle::detail::evaluate_bjerksund_stensland(pool[i].S, pool[i].K, pool[i].T,
                                                                       pool[i].r, pool[i].b, pool[i].sigma);
        if (ev.path != path) {
            state.SkipWithError("input pool left the branch under test");
            return;
        }
    }
    walk(state, pool, [](const CallArgs& a) {
        return varnelle::bjerksund_stensland_call(a.S, a.K, a.T, a.r, a.b, a.sigma);
    });
}

using varnelle::detail::Bs2002Path;
void BM_bjerksund_stensland_expiry(benchmark::State& state) {
    bjerksund_stensland_branch(state, Bs2002Path::Expiry, {90, 100, 0, 0.05, 0, 0.2}, 20);
}
void BM_bjerksund_stensland_european(benchmark::State& state) {
    bjerksund_stensland_branch(state, Bs2002Path::NoEarlyExercise, {90, 100, 1, 0.05, 0.05, 0.2}, 20);
}
void BM_bjerksund_stensland_immediate_exercise(benchmark::State& state) {
    bjerksund_stensland_branch(state, Bs2002Path::ImmediateExercise, {130, 100, 1, 0.1, 0, 0.2}, 10);
}
void BM_bjerksund_stensland_twelve_terms(benchmark::State& state) {
    bjerksund_stensland_branch(state, Bs2002Path::Approximation, {95, 100, 1, 0.05, -0.05, 0.2}, 10);
}
BENCHMARK(BM_bjerksund_stensland_expiry);
BENCHMARK(BM_bjerksund_stensland_european);
BENCHMARK(BM_bjerksund_stensland_immediate_exercise);
BENCHMARK(BM_bjerksund_stensland_twelve_terms);

// American inputs on the twelve-term path: a call with a yield above the
// rate's share (b < r), and a put with a positive rate.
std::array<OptionInputs, kPool> american_pool() {
    std::array<OptionInputs, kPool> pool{};
    for (std::size_t i = 0; i < kPool; ++i) {
        const double u = jitter(i);
        pool[i] = {95.0 + 10.0 * u, 100.0, 1.0 + 0.5 * u, 0.05, 0.2 + 0.05 * u, 0.05 + 0.02 * u};
    }
    return pool;
}

#define VARNELLE_AM_BENCH(name, expr)                                      \
    void BM_##name(benchmark::State& state) {                              \
        const auto pool = american_pool();                                 \
        walk(state, pool, [](const OptionInputs& in) { return (expr); }); \
    }                                                                      \
    BENCHMARK(BM_##name)

VARNELLE_AM_BENCH(american_price_call, varnelle::american_price(in, OptionType::Call));
VARNELLE_AM_BENCH(american_price_put, varnelle::american_price(in, OptionType::Put));
VARNELLE_AM_BENCH(american_greeks_call, varnelle::american_greeks(in, OptionType::Call));
VARNELLE_AM_BENCH(american_greeks_put, varnelle::american_greeks(in, OptionType::Put));

}  // namespace
