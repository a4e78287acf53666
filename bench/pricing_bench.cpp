// Cost per call of the pricing operations. Every benchmark walks a small pool
// of slightly different inputs, so the compiler cannot fold a call into a
// constant and the branch predictor sees realistic, if easy, traffic.
#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <random>
#include <vector>

#include "pricing/american/bs2002/american_price.hpp"
#include "pricing/american/integral/integral_model.hpp"
#include "pricing/american/bs2002/bjerksund_stensland.hpp"
#include "pricing/american/bs2002/bjerksund_stensland_detail.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/european/implied_vol_rows.hpp"
#include "pricing/european/european.hpp"
#include "pricing/american/bs2002/implied_vol.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/math/normal.hpp"

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

// The integral American model on a random book like the stored reference one
// (spot within 3 sd of the strike, a day to ten years, sigma 5-100 %, r and q
// 0-10 %, calls and puts), next to the specified model's am_price on the same
// rows, so that the ratio of the two comes from one run.
struct BookRow {
    OptionInputs in;
    OptionType type;
    double price;  // the integral price at tol 1e-6, for the implied volatility
};

const std::vector<BookRow>& integral_book() {
    static const std::vector<BookRow> rows = [] {
        std::vector<BookRow> out;
        std::uint64_t state = 2016;
        const auto uniform = [&state](double lo, double hi) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return lo + (hi - lo) * static_cast<double>(state >> 11) * 0x1.0p-53;
        };
        for (std::size_t i = 0; i < 256; ++i) {
            const double t = std::exp(uniform(std::log(1.0 / 365.0), std::log(10.0)));
            const double sigma = uniform(0.05, 1.0);
            const double s = 100.0 * std::exp(uniform(-3.0, 3.0) * sigma * std::sqrt(t));
            const OptionInputs in{s, 100.0, t, uniform(0.0, 0.1), sigma, uniform(0.0, 0.1)};
            const OptionType type = i % 2 == 0 ? OptionType::Put : OptionType::Call;
            out.push_back({in, type, varnelle::integral_american_price(in, type, 1e-6)});
        }
        return out;
    }();
    return rows;
}

template <typename Fn>
void walk_book(benchmark::State& state, Fn fn) {
    const auto& rows = integral_book();
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(rows[i]));
        i = (i + 1) % rows.size();
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_book_american_price(benchmark::State& state) {
    walk_book(state, [](const BookRow& row) { return varnelle::american_price(row.in, row.type); });
}
BENCHMARK(BM_book_american_price);

// The argument is -log10(tol).
void BM_book_integral_price(benchmark::State& state) {
    const double tol = std::pow(10.0, -static_cast<double>(state.range(0)));
    walk_book(state, [tol](const BookRow& row) { return varnelle::integral_american_price(row.in, row.type, tol); });
}
BENCHMARK(BM_book_integral_price)->Arg(4)->Arg(6)->Arg(8);

void BM_book_integral_greeks(benchmark::State& state) {
    const double tol = std::pow(10.0, -static_cast<double>(state.range(0)));
    walk_book(state, [tol](const BookRow& row) { return varnelle::integral_american_greeks(row.in, row.type, tol); });
}
BENCHMARK(BM_book_integral_greeks)->Arg(4)->Arg(6);

void BM_book_integral_implied_vol(benchmark::State& state) {
    walk_book(state, [](const BookRow& row) {
        return varnelle::integral_american_implied_vol(row.price, row.in.s, row.in.k, row.in.t, row.in.r, row.in.q,
                                                       row.type, 1e-6);
    });
}
BENCHMARK(BM_book_integral_implied_vol);

// A chain of 41 strikes at one expiry (items are rows): through one
// IntegralAmerican, which solves the boundary once, against the same rows
// priced one by one, each solving its own.
std::array<OptionInputs, 41> chain_rows(std::size_t round) {
    std::array<OptionInputs, 41> rows{};
    const double t = 0.25 + 0.01 * static_cast<double>(round % 16);  // a new expiry each round
    for (std::size_t i = 0; i < rows.size(); ++i) rows[i] = {100.0, 70.0 + 1.5 * static_cast<double>(i), t, 0.05, 0.3, 0.02};
    return rows;
}

void BM_chain41_integral_price(benchmark::State& state) {
    std::size_t round = 0;
    for (auto _ : state) {
        const auto rows = chain_rows(round++);
        varnelle::IntegralAmerican chain;
        double sum = 0.0;
        for (const auto& in : rows) sum += chain.price(in, OptionType::Put, 1e-6);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 41);
}
BENCHMARK(BM_chain41_integral_price);

void BM_chain41_independent_rows(benchmark::State& state) {
    std::size_t round = 0;
    for (auto _ : state) {
        const auto rows = chain_rows(round++);
        double sum = 0.0;
        for (const auto& in : rows) sum += varnelle::integral_american_price(in, OptionType::Put, 1e-6);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * 41);
}
BENCHMARK(BM_chain41_independent_rows);

// Implied volatility against the price it inverts, on a realistic random mix:
// strikes within about 40% of spot, a week to five years, volatilities from
// 8% to 80%, calls and puts, rates and yields of a few per cent (some rates
// negative). Each implied-volatility benchmark also times the price on the
// same rows, in CPU time, and reports the ratio of the two costs as "x_price".
struct MixRow {
    OptionInputs in;
    OptionType type;
    double price;
};

std::vector<MixRow> mix(bool american) {
    constexpr std::size_t kRows = 4096;
    std::uint64_t state = 0x1f2e3d4c5b6a7988ULL;
    const auto uniform = [&state](double lo, double hi) {  // SplitMix64
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        z ^= z >> 31;
        return lo + (hi - lo) * (static_cast<double>(z >> 11) * 0x1p-53);
    };
    std::vector<MixRow> rows(kRows);
    for (std::size_t i = 0; i < kRows; ++i) {
        MixRow& row = rows[i];
        row.in = {100.0, 100.0 * std::exp(uniform(-0.4, 0.4)), std::exp(uniform(std::log(1.0 / 52.0), std::log(5.0))),
                  uniform(-0.01, 0.06), uniform(0.08, 0.8), uniform(0.0, 0.04)};
        row.type = i % 2 == 0 ? OptionType::Call : OptionType::Put;
        row.price = american ? varnelle::american_price(row.in, row.type) : varnelle::european_price(row.in, row.type);
    }
    return rows;
}

template <typename Fn>
void walk_rows(benchmark::State& state, const std::vector<MixRow>& rows, Fn fn) {
    std::size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(fn(rows[i]));
        i = (i + 1) & (rows.size() - 1);
    }
    state.SetItemsProcessed(state.iterations());
}

double thread_cpu_nanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return 1e9 * static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec);
}

// CPU nanoseconds per call of fn over passes through the rows; the best of
// three tries, since the machine may be shared.
template <typename Fn>
double nanoseconds_per_call(const std::vector<MixRow>& rows, int passes, Fn fn) {
    double best = 0.0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        const double start = thread_cpu_nanoseconds();
        for (int pass = 0; pass < passes; ++pass) {
            for (const MixRow& row : rows) benchmark::DoNotOptimize(fn(row));
        }
        const double each =
            (thread_cpu_nanoseconds() - start) / (static_cast<double>(passes) * static_cast<double>(rows.size()));
        if (attempt == 0 || each < best) best = each;
    }
    return best;
}

double european_price_of(const MixRow& row) { return varnelle::european_price(row.in, row.type); }
double american_price_of(const MixRow& row) { return varnelle::american_price(row.in, row.type); }
double european_vol_of(const MixRow& row) {
    return varnelle::european_implied_vol(row.price, row.in.s, row.in.k, row.in.t, row.in.r, row.in.q, row.type);
}
double american_vol_of(const MixRow& row) {
    return varnelle::american_implied_vol(row.price, row.in.s, row.in.k, row.in.t, row.in.r, row.in.q, row.type);
}

template <typename Price, typename Vol>
void implied_vol_against_price(benchmark::State& state, bool american, int price_passes, Price price, Vol vol) {
    const auto rows = mix(american);
    const double price_ns = nanoseconds_per_call(rows, price_passes, price);
    const double vol_ns = nanoseconds_per_call(rows, price_passes / 4 + 1, vol);
    walk_rows(state, rows, vol);
    state.counters["price_ns"] = price_ns;
    state.counters["x_price"] = vol_ns / price_ns;
}

void BM_mix_european_price(benchmark::State& state) { walk_rows(state, mix(false), european_price_of); }
void BM_mix_european_implied_vol(benchmark::State& state) {
    implied_vol_against_price(state, false, 200, european_price_of, european_vol_of);
}
void BM_mix_american_price(benchmark::State& state) { walk_rows(state, mix(true), american_price_of); }
void BM_mix_american_implied_vol(benchmark::State& state) {
    implied_vol_against_price(state, true, 40, american_price_of, american_vol_of);
}
BENCHMARK(BM_mix_european_price);
BENCHMARK(BM_mix_european_implied_vol);
BENCHMARK(BM_mix_american_price);
BENCHMARK(BM_mix_american_implied_vol);

}  // namespace

// The European functions over columns of rows on each path (the argument:
// 0 scalar, 1 AVX2, 2 AVX-512), items are rows: what the array functions can
// reach when they hand whole batches to the row functions. A random book of
// 4096 rows (calls and puts at random, strikes within about 40 % of spot, a
// week to five years, volatilities 8-80 %, rates and yields of a few per
// cent), so the batch stays in the cache and the time is the arithmetic's.
namespace rows {

struct Book {
    std::vector<double> s, k, t, r, sigma, q;
    std::vector<std::uint8_t> put;
    std::vector<double> out;
    varnelle::EuropeanColumns columns() const {
        return {s.data(), k.data(), t.data(), r.data(), sigma.data(), q.data(), put.data()};
    }
};

const Book& book(bool dividends) {
    static const auto make = [](bool with_q) {
        Book b;
        std::mt19937_64 gen(42);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int i = 0; i < 4096; ++i) {
            const double s = 80.0 + 40.0 * u(gen);
            b.s.push_back(s);
            b.k.push_back(s * std::exp(0.4 * (u(gen) - 0.5)));
            b.t.push_back(std::exp(std::log(7.0 / 365) + u(gen) * std::log(5.0 * 365 / 7)));
            b.r.push_back(-0.01 + 0.06 * u(gen));
            b.sigma.push_back(0.08 + 0.72 * u(gen));
            b.q.push_back(with_q ? 0.04 * u(gen) : 0.0);
            b.put.push_back(u(gen) < 0.5 ? 1 : 0);
        }
        b.out.resize(5 * b.s.size());
        return b;
    };
    static const Book with_q = make(true), without_q = make(false);
    return dividends ? with_q : without_q;
}

varnelle::VectorPath path_of(benchmark::State& state) { return static_cast<varnelle::VectorPath>(state.range(0)); }

template <auto F>
void one(benchmark::State& state, bool dividends) {
    const varnelle::VectorPath path = path_of(state);
    if (!varnelle::vector_path_supported(path)) return state.SkipWithError("not supported here");
    Book b = book(dividends);
    const auto in = b.columns();
    for (auto _ : state) {
        F(in, b.s.size(), b.out.data(), path);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(b.s.size()));
}

void greeks(benchmark::State& state, bool dividends) {
    const varnelle::VectorPath path = path_of(state);
    if (!varnelle::vector_path_supported(path)) return state.SkipWithError("not supported here");
    Book b = book(dividends);
    const auto in = b.columns();
    const std::size_t n = b.s.size();
    double* o = b.out.data();
    const varnelle::GreeksColumns out{o, o + n, o + 2 * n, o + 3 * n, o + 4 * n};
    for (auto _ : state) {
        varnelle::black_scholes_greeks_rows(in, n, out, path);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

// The implied volatility of the book's own prices.
void implied(benchmark::State& state) {
    const varnelle::VectorPath path = path_of(state);
    if (!varnelle::vector_path_supported(path)) return state.SkipWithError("not supported here");
    Book b = book(true);
    const std::size_t n = b.s.size();
    std::vector<double> prices(n);
    varnelle::european_price_rows(b.columns(), n, prices.data(), varnelle::VectorPath::Scalar);
    const varnelle::ImpliedColumns in{prices.data(), b.s.data(), b.k.data(), b.t.data(),
                                      b.r.data(),    b.q.data(), b.put.data()};
    for (auto _ : state) {
        varnelle::european_implied_vol_rows(in, n, b.out.data(), path);
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(n));
}

void BM_rows_price(benchmark::State& s) { one<varnelle::european_price_rows>(s, true); }
void BM_rows_implied_vol(benchmark::State& s) { implied(s); }
void BM_rows_delta(benchmark::State& s) { one<varnelle::black_scholes_delta_rows>(s, true); }
void BM_rows_gamma(benchmark::State& s) { one<varnelle::black_scholes_gamma_rows>(s, true); }
void BM_rows_gamma_no_q(benchmark::State& s) { one<varnelle::black_scholes_gamma_rows>(s, false); }
void BM_rows_theta(benchmark::State& s) { one<varnelle::black_scholes_theta_rows>(s, true); }
void BM_rows_vega(benchmark::State& s) { one<varnelle::black_scholes_vega_rows>(s, true); }
void BM_rows_rho(benchmark::State& s) { one<varnelle::black_scholes_rho_rows>(s, true); }
void BM_rows_greeks(benchmark::State& s) { greeks(s, true); }
void BM_rows_greeks_no_q(benchmark::State& s) { greeks(s, false); }

}  // namespace rows

BENCHMARK(rows::BM_rows_price)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_delta)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_gamma)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_gamma_no_q)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_theta)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_vega)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_rho)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_greeks)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_greeks_no_q)->DenseRange(0, 2);
BENCHMARK(rows::BM_rows_implied_vol)->DenseRange(0, 2);
