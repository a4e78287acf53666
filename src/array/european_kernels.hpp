// The European ufuncs' kernels: a column batch handed to the pricing core's
// row functions (black_scholes_rows.hpp, implied_vol_rows.hpp), which run
// the rows in AVX-512 or AVX2 lanes where this process proved the lanes give
// the platform's bits, and one at a time otherwise. Every path gives the bits
// of the scalar module's functions.
//
// The path is read once per walk of rows: the first European call of the
// process decides it (the proof runs then, in whichever thread gets there
// first, the others waiting for its answer), not the import of the module.
#pragma once

#include <atomic>
#include <cstddef>

#include "array/kernels.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/european/implied_vol_rows.hpp"
#include "pricing/math/vector_path.hpp"

namespace varnelle::array {

// A path the tests put in place of the process's choice (forced_path() in
// module.cpp sets it, after proving that path itself); kNoForcedPath leaves
// the choice alone. Every path gives the same bits, so a walk that reads it
// while it changes still writes the right results.
inline constexpr int kNoForcedPath = -1;
inline std::atomic<int> g_forced_path{kNoForcedPath};

// The proof needs memory for its sample; where none is to be had the rows
// take the scalar path, which gives the same bits, and the next call tries
// the proof again.
inline VectorPath walk_path() noexcept {
    const int forced = g_forced_path.load(std::memory_order_relaxed);
    if (forced != kNoForcedPath) return static_cast<VectorPath>(forced);
    try {
        return active_vector_path();
    } catch (...) {
        return VectorPath::Scalar;
    }
}

namespace columns {

// The batch's numbers (s, k, t, r, sigma, q) and its sides; a shape without
// a side (gamma, vega) hands no side column.
template <std::size_t Outputs>
EuropeanColumns european(const ColumnBatch<6, Outputs>& b) {
    return {b.in[0], b.in[1], b.in[2], b.in[3], b.in[4], b.in[5], b.puts};
}

}  // namespace columns

// One result per row: f is one of black_scholes_rows.hpp's functions.
template <void (*F)(const EuropeanColumns&, std::size_t, double*, VectorPath)>
struct EuropeanRows {
    VectorPath path = walk_path();
    void operator()(const ColumnBatch<6, 1>& b) const { F(columns::european(b), b.count, b.out[0], path); }
};

// The five Greeks together.
struct EuropeanGreeksRows {
    VectorPath path = walk_path();
    void operator()(const ColumnBatch<6, 5>& b) const {
        black_scholes_greeks_rows(columns::european(b), b.count, {b.out[0], b.out[1], b.out[2], b.out[3], b.out[4]},
                                  path);
    }
};

// The implied volatility: the batch's numbers are (price, s, k, t, r, q).
// The lane solver keeps a pool of rows and refills it as rows finish, so
// the rows that need more steps than most share their rounds with fresh
// ones: the longer the batch, the fewer rounds run part empty.
struct ImpliedVolRows {
    static constexpr std::size_t kBatchRows = 1024;
    VectorPath path = walk_path();
    void operator()(const ColumnBatch<6, 1>& b) const {
        european_implied_vol_rows({b.in[0], b.in[1], b.in[2], b.in[3], b.in[4], b.in[5], b.puts}, b.count, b.out[0],
                                  path);
    }
};

using EuropeanPriceRows = EuropeanRows<european_price_rows>;
using EuropeanDeltaRows = EuropeanRows<black_scholes_delta_rows>;
using EuropeanGammaRows = EuropeanRows<black_scholes_gamma_rows>;
using EuropeanThetaRows = EuropeanRows<black_scholes_theta_rows>;
using EuropeanVegaRows = EuropeanRows<black_scholes_vega_rows>;
using EuropeanRhoRows = EuropeanRows<black_scholes_rho_rows>;

}  // namespace varnelle::array
