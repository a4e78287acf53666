// Random European rows across the whole domain the array functions promise
// the scalar bits on, and the check that a batch of them gives those bits:
// shared by test_black_scholes_rows.cpp and the long run of
// european_rows_stress.cpp.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "pricing/core/types.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/european/european.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/european/implied_vol_rows.hpp"

namespace varnelle::testing {

// Columns of rows, as the row functions read them.
struct RowBatch {
    std::vector<double> s, k, t, r, sigma, q;
    std::vector<std::uint8_t> put;

    std::size_t size() const { return s.size(); }
    void add(const OptionInputs& in, OptionType type) {
        s.push_back(in.s);
        k.push_back(in.k);
        t.push_back(in.t);
        r.push_back(in.r);
        sigma.push_back(in.sigma);
        q.push_back(in.q);
        put.push_back(type == OptionType::Put ? 1 : 0);
    }
    void clear() { *this = RowBatch{}; }
    OptionInputs row(std::size_t i) const { return {s[i], k[i], t[i], r[i], sigma[i], q[i]}; }
    OptionType type(std::size_t i) const { return put[i] != 0 ? OptionType::Put : OptionType::Call; }
    EuropeanColumns columns() const {
        return {s.data(), k.data(), t.data(), r.data(), sigma.data(), q.data(), put.data()};
    }
};

// Rows drawn from several regimes: the whole domain (spot and strike from
// 1e-300 to 1e300, t from 1e-6 to 50 years, sigma from 1e-4 to 5, rates and
// yields within +-50 %), ordinary books, spot next to strike (log's second
// polynomial), prices deep in the subnormal range, and rows with a zero,
// signed zero, infinite, NaN, negative or subnormal input.
class EuropeanDomain {
public:
    explicit EuropeanDomain(std::uint64_t seed) : gen_(seed) {}

    void next(OptionInputs& in, OptionType& type) {
        type = coin() ? OptionType::Put : OptionType::Call;
        switch (gen_() % 6) {
            case 0:
            case 1:
                in = {log_uniform(1e-300, 1e300), log_uniform(1e-300, 1e300), log_uniform(1e-6, 50.0),
                      uniform(-0.5, 0.5),         log_uniform(1e-4, 5.0),     uniform(-0.5, 0.5)};
                break;
            case 2: {
                const double s = uniform(20.0, 200.0);
                in = {s, s * std::exp(normal() * 0.3), log_uniform(1.0 / 365, 5.0), uniform(-0.01, 0.1),
                      uniform(0.05, 1.0), coin() ? 0.0 : uniform(0.0, 0.05)};
                break;
            }
            case 3: {
                const double k = log_uniform(1e-3, 1e6);
                in = {k * (1.0 + uniform(-0.07, 0.07) * std::pow(10.0, -uniform(0.0, 12.0))), k,
                      log_uniform(1e-6, 50.0), uniform(-0.5, 0.5), log_uniform(1e-4, 5.0), uniform(-0.5, 0.5)};
                break;
            }
            case 4: {
                // Far out of the money and short: N(d) and the price sink
                // through the subnormal range to zero.
                const double s = log_uniform(1e-3, 1e3);
                in = {s, s * std::exp(uniform(1.0, 40.0)), log_uniform(1e-6, 1e-2), uniform(-0.5, 0.5),
                      log_uniform(1e-4, 1.0), uniform(-0.5, 0.5)};
                if (coin()) std::swap(in.s, in.k);
                break;
            }
            default: {
                const double s = uniform(50.0, 150.0);
                in = {s, uniform(50.0, 150.0), uniform(0.01, 3.0), uniform(-0.05, 0.1), uniform(0.05, 0.8),
                      uniform(0.0, 0.05)};
                const std::size_t hits = 1 + gen_() % 2;
                for (std::size_t h = 0; h < hits; ++h) special(in);
            }
        }
    }

private:
    bool coin() { return (gen_() & 1u) != 0; }
    double uniform(double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen_); }
    double log_uniform(double a, double b) { return std::exp(uniform(std::log(a), std::log(b))); }
    double normal() { return std::normal_distribution<double>(0.0, 1.0)(gen_); }

    void special(OptionInputs& in) {
        static constexpr double kValues[] = {0.0,
                                             -0.0,
                                             std::numeric_limits<double>::quiet_NaN(),
                                             std::numeric_limits<double>::infinity(),
                                             -std::numeric_limits<double>::infinity(),
                                             -1.0,
                                             -100.0,
                                             1e-320,
                                             1e308,
                                             1e-300};
        double* fields[] = {&in.s, &in.k, &in.t, &in.r, &in.sigma, &in.q};
        *fields[gen_() % 6] = kValues[gen_() % std::size(kValues)];
    }

    std::mt19937_64 gen_;
};

// Every European function of the batch on one path against the single-row
// functions: the number of differing values, the first few described in
// `first` (NaN matches any NaN, as the scalar functions' NaNs are not
// promised one payload; the sign of zero counts).
struct RowsCheck {
    std::size_t compared = 0, differing = 0;
    std::string first;
};

inline bool same_value(double a, double b) {
    if (std::isnan(a) && std::isnan(b)) return true;
    std::uint64_t x, y;
    std::memcpy(&x, &a, sizeof x);
    std::memcpy(&y, &b, sizeof y);
    return x == y;
}

// The single-row functions' results for a batch: price, delta, gamma,
// theta, vega, rho, then the five Greeks of bs_greeks, each a column.
inline constexpr std::size_t kEuropeanResults = 11;
inline constexpr const char* kEuropeanResultNames[kEuropeanResults] = {
    "bs_price", "bs_delta", "bs_gamma", "bs_theta", "bs_vega", "bs_rho",
    "bs_greeks.delta", "bs_greeks.gamma", "bs_greeks.theta", "bs_greeks.vega", "bs_greeks.rho"};

inline std::vector<double> scalar_results(const RowBatch& batch) {
    const std::size_t n = batch.size();
    std::vector<double> out(kEuropeanResults * n);
    for (std::size_t i = 0; i < n; ++i) {
        const OptionInputs in = batch.row(i);
        const OptionType type = batch.type(i);
        const Greeks g = black_scholes_greeks(in, type);
        const double values[kEuropeanResults] = {european_price(in, type),   black_scholes_delta(in, type),
                                                 black_scholes_gamma(in),    black_scholes_theta(in, type),
                                                 black_scholes_vega(in),     black_scholes_rho(in, type),
                                                 g.delta, g.gamma, g.theta, g.vega, g.rho};
        for (std::size_t j = 0; j < kEuropeanResults; ++j) out[j * n + i] = values[j];
    }
    return out;
}

// The same results from the row functions on one path.
inline std::vector<double> row_results(const RowBatch& batch, VectorPath path) {
    const std::size_t n = batch.size();
    std::vector<double> out(kEuropeanResults * n);
    const EuropeanColumns in = batch.columns();
    european_price_rows(in, n, out.data(), path);
    black_scholes_delta_rows(in, n, out.data() + n, path);
    black_scholes_gamma_rows(in, n, out.data() + 2 * n, path);
    black_scholes_theta_rows(in, n, out.data() + 3 * n, path);
    black_scholes_vega_rows(in, n, out.data() + 4 * n, path);
    black_scholes_rho_rows(in, n, out.data() + 5 * n, path);
    double* g = out.data() + 6 * n;
    black_scholes_greeks_rows(in, n, {g, g + n, g + 2 * n, g + 3 * n, g + 4 * n}, path);
    return out;
}

// Adds the comparison of got with want (both as the functions above lay
// them out) to check.
inline void compare_results(const RowBatch& batch, const std::vector<double>& got, const std::vector<double>& want,
                            RowsCheck& check) {
    const std::size_t n = batch.size();
    for (std::size_t j = 0; j < kEuropeanResults; ++j) {
        for (std::size_t i = 0; i < n; ++i) {
            ++check.compared;
            if (same_value(got[j * n + i], want[j * n + i])) continue;
            if (++check.differing <= 5) {
                char text[400];
                const OptionInputs row = batch.row(i);
                std::snprintf(text, sizeof text, "%s(%a, %a, %a, %a, %a, %a, %s) = %a, want %a\n",
                              kEuropeanResultNames[j], row.s, row.k, row.t, row.r, row.sigma, row.q,
                              batch.put[i] ? "put" : "call", got[j * n + i], want[j * n + i]);
                check.first += text;
            }
        }
    }
}

inline void check_rows(const RowBatch& batch, VectorPath path, RowsCheck& check) {
    compare_results(batch, row_results(batch, path), scalar_results(batch), check);
}

// Implied-volatility rows: the inputs of a domain row with a price to invert
// that is mostly the row's own European price, sometimes one moved a little
// or a lot, the lower bound itself, or no price at all.
struct ImpliedBatch {
    RowBatch rows;
    std::vector<double> price;

    std::size_t size() const { return price.size(); }
    void clear() { *this = ImpliedBatch{}; }
    ImpliedColumns columns() const {
        return {price.data(), rows.s.data(), rows.k.data(), rows.t.data(), rows.r.data(), rows.q.data(),
                rows.put.data()};
    }
};

inline void add_implied_row(ImpliedBatch& batch, EuropeanDomain& domain, std::mt19937_64& gen) {
    OptionInputs in;
    OptionType type;
    domain.next(in, type);
    double price = european_price(in, type);
    switch (gen() % 8) {
        case 0:
            price *= std::uniform_real_distribution<double>(0.5, 1.5)(gen);
            break;
        case 1:
            price = std::nextafter(price, (gen() & 1) != 0 ? 1e300 : -1e300);
            break;
        case 2: {
            // The lower bound as the solver forms it: 0 or the discounted
            // intrinsic value (of the call equivalent).
            const double b = in.r - in.q;
            const bool put = type == OptionType::Put;
            const double spot = put ? in.k : in.s, strike = put ? in.s : in.k, rate = put ? in.r - b : in.r;
            const double a = spot * std::exp(((put ? -b : b) - rate) * in.t);
            const double intrinsic = a - strike * std::exp((-rate) * in.t);
            price = intrinsic > 0.0 ? intrinsic : 0.0;
            break;
        }
        case 3:
            price = (gen() & 1) != 0 ? std::numeric_limits<double>::quiet_NaN() : -price;
            break;
        default:
            break;
    }
    batch.rows.add(in, type);
    batch.price.push_back(price);
}

inline void check_implied(const ImpliedBatch& batch, VectorPath path, RowsCheck& check) {
    const std::size_t n = batch.size();
    std::vector<double> got(n);
    european_implied_vol_rows(batch.columns(), n, got.data(), path);
    for (std::size_t i = 0; i < n; ++i) {
        const OptionInputs row = batch.rows.row(i);
        const double want = european_implied_vol(batch.price[i], row.s, row.k, row.t, row.r, row.q, batch.rows.type(i));
        ++check.compared;
        if (same_value(got[i], want)) continue;
        if (++check.differing <= 5) {
            char text[400];
            std::snprintf(text, sizeof text, "bs_implied_vol(%a, %a, %a, %a, %a, %a, %s) = %a, want %a\n",
                          batch.price[i], row.s, row.k, row.t, row.r, row.q, batch.rows.put[i] ? "put" : "call", got[i],
                          want);
            check.first += text;
        }
    }
}

}  // namespace varnelle::testing
