// The European implied volatility for a block of rows at once, each row to
// the bit what european_implied_vol (implied_vol.cpp) gives: the same
// setup, start, objective and Householder steps inside the same bracket,
// operation for operation, with the lane exp, log and normal distribution.
// Templates over a lane type: include only where one is (simd_target.hpp).
//
// Rows advance in lockstep, one step of bracketed_root (root_finding.hpp)
// per round; every branch of the single-row solver is a mask here. A row
// leaves the round when the single-row solver would return, and the rows
// still iterating are packed to the front of the block after every round,
// so a row that needs many steps costs its own lanes only.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "pricing/core/constants.hpp"
#include "pricing/european/implied_vol_rows.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/inverse_normal.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/math/vector_exp.hpp"
#include "pricing/math/vector_log.hpp"
#include "pricing/math/vector_normal.hpp"

namespace varnelle::lanes {

namespace implied {

// implied_vol.cpp's kStepTolerance, kMaxEuropeanSteps and kLogShare (kept
// there beside their reasons; tests/cpp/test_implied_vol_rows.cpp fails at
// once if the two ever part).
inline constexpr double kStepTolerance = 1e-5;
inline constexpr int kMaxSteps = 64;
inline constexpr double kLogShare = 0.1;
// The objective of a row, as a double so that it packs with the rest.
inline constexpr double kPriceObjective = 0.0, kLogTimeValue = 1.0, kLogGap = 2.0;

// Rows in the pool at most.
inline constexpr std::size_t kRows = 128;

// What a row carries from round to round, by field (packed together as rows
// finish).
struct Block {
    enum Field {
        kB, kT, kLogSk, kSqrtT, kA, kBDiscounted,  // the call evaluated (ModelCall)
        kP, kLower, kTau, kGap, kObjective,         // the target
        kX, kLo, kHi, kBest, kMiss, kSteps,         // bracketed_root's state
        kRow,                                       // where the result goes
        kFields
    };
    alignas(64) double f[kFields][kRows];
};

template <class L>
[[gnu::always_inline]] inline typename L::D horner(const double* c, std::size_t n, typename L::D w) {
    typename L::D s = L::set(c[n - 1]);
    for (std::size_t i = n - 1; i-- > 0;) s = L::add(L::mul(s, w), L::set(c[i]));
    return s;
}

// inverse_normal (inverse_normal.hpp), both regions evaluated and blended.
template <class L>
[[gnu::always_inline]] inline typename L::D inverse_normal(typename L::D p, const exp_log::Tables& tab) {
    using namespace varnelle::detail;
    using D = typename L::D;
    const D end = L::set(kInverseNormalTailEnd);
    const auto central = L::mand(L::ge(p, end), L::le(p, L::set(1.0 - kInverseNormalTailEnd)));
    const D q = L::sub(p, L::set(0.5));
    const D r = L::mul(q, q);
    const D middle = L::div(L::mul(horner<L>(kInverseNormalCentralA.data(), 6, r), q),
                            horner<L>(kInverseNormalCentralB.data(), 6, r));
    if (L::all(central)) return middle;
    const auto low = L::lt(p, end);
    const D u = L::sqrt(L::mul(L::set(-2.0), lanes::log<L>(L::select(low, p, L::sub(L::set(1.0), p)), tab)));
    const D z = L::div(horner<L>(kInverseNormalTailC.data(), 6, u), horner<L>(kInverseNormalTailD.data(), 5, u));
    return L::select(central, middle, L::select(low, z, L::neg(z)));
}

// implied_vol.cpp's upper_tail_inverse_of_cube_root.
template <class L>
[[gnu::always_inline]] inline typename L::D upper_tail_inverse_of_cube_root(typename L::D cube,
                                                                            const exp_log::Tables& tab) {
    using D = typename L::D;
    const D t = L::sqrt(L::mul(L::set(-0.6666666666666666), lanes::log<L>(cube, tab)));
    const D num = L::add(L::set(2.515517), L::mul(t, L::add(L::set(0.802853), L::mul(t, L::set(0.010328)))));
    const D den = L::add(L::set(1.0), L::mul(t, L::add(L::set(1.432788), L::mul(t, L::add(L::set(0.189269), L::mul(t, L::set(0.001308)))))));
    return L::sub(t, L::div(num, den));
}

// Whether y and z read the normal distribution through the same
// approximation (erf_piece in normal.hpp gives the same for both): no
// piece starts in (min(|y|, |z|), max(|y|, |z|)]. NaN reads piece 0, as
// erf_piece counts it.
template <class L>
[[gnu::always_inline]] inline typename L::M same_piece(typename L::D y, typename L::D z) {
    using D = typename L::D;
    const D a = L::abs(y), b = L::abs(z);
    const D zero = L::set(0.0);
    // A NaN counts no start: as if it were 0.
    const D lo0 = L::select(L::isnan(a), zero, a), hi0 = L::select(L::isnan(b), zero, b);
    const auto order = L::lt(lo0, hi0);
    const D lo = L::select(order, lo0, hi0), hi = L::select(order, hi0, lo0);
    auto crossed = L::mnot(L::all_true());
    for (const double start : varnelle::detail::kErfPieceStarts) {
        crossed = L::mor(crossed, L::mand(L::lt(lo, L::set(start)), L::ge(hi, L::set(start))));
    }
    return L::mnot(crossed);
}

// d1 of the call at sigma, as european_from and evaluate form it.
template <class L>
[[gnu::always_inline]] inline typename L::D d1_at(typename L::D b, typename L::D t, typename L::D log_sk,
                                                  typename L::D sigma, typename L::D vol) {
    return L::div(L::add(L::mul(L::add(b, L::mul(L::mul(sigma, sigma), L::set(0.5))), t), log_sk), vol);
}

// The lane numbers 0, 1, ...
alignas(64) inline constexpr double kLaneNumbers[8] = {0, 1, 2, 3, 4, 5, 6, 7};

// Sets up count rows of the inputs (a multiple of the lane width; the
// first `real` of them are rows first, first + 1, ... of the caller's, the
// rest padding). Rows the single-row function answers without iterating
// get their result in out[row] now; the others join the block at `at`,
// packed. Returns the number of rows in the block.
template <class L>
std::size_t set_up(const ImpliedColumns& in, std::size_t first, std::size_t real, std::size_t count, Block& blk,
                   std::size_t at, double* out, const exp_log::Tables& tab) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr std::size_t n = L::kLanes;
    if (at + count > kRows) __builtin_unreachable();
    const D zero = L::set(0.0), inf = L::set(kInf);
    double* const f[] = {blk.f[Block::kB] + at, blk.f[Block::kT] + at, blk.f[Block::kLogSk] + at,
                         blk.f[Block::kSqrtT] + at, blk.f[Block::kA] + at, blk.f[Block::kBDiscounted] + at,
                         blk.f[Block::kP] + at, blk.f[Block::kLower] + at};
    // The call, its bounds, and the point of tau_c (model_call,
    // european_problem, european_target).
    alignas(64) double points[kRows] = {}, values[kRows];  // (points zeroed for the compiler's sake)
    alignas(64) double tau_c_of[kRows];
    M iterate[kRows / n];
    for (std::size_t v = 0; v < count / n; ++v) {
        const std::size_t i = v * n;
        const D price = L::load(in.price + i), s = L::load(in.s + i), k = L::load(in.k + i), t = L::load(in.t + i),
                r = L::load(in.r + i), q = L::load(in.q + i);
        const M put = in.put != nullptr ? L::from_bytes(in.put + i) : L::mnot(L::all_true());
        const M usable =
            L::mand(L::mand(L::mnot(L::isnan(price)), L::mand(L::mand(L::gt(s, zero), L::lt(s, inf)),
                                                               L::mand(L::gt(k, zero), L::lt(k, inf)))),
                    L::mand(L::mand(L::gt(t, zero), L::lt(t, inf)),
                            L::mand(L::lt(L::abs(r), inf), L::lt(L::abs(q), inf))));
        const D carry_b = L::sub(r, q);
        const D spot = L::select(put, k, s), strike = L::select(put, s, k);
        const D rate = L::select(put, L::sub(r, carry_b), r), b = L::select(put, L::neg(carry_b), carry_b);
        const D sqrt_t = L::sqrt(t);
        const D log_sk = lanes::log<L>(L::div(spot, strike), tab);
        const D big_a = L::mul(spot, lanes::exp<L>(L::mul(L::sub(b, rate), t), tab));
        const D big_b = L::mul(strike, lanes::exp<L>(L::mul(L::neg(rate), t), tab));
        const D intrinsic = L::sub(big_a, big_b);
        const D lower = L::select(L::gt(intrinsic, zero), intrinsic, zero);
        const M outside = L::mor(L::lt(price, lower), L::mnot(L::lt(price, big_a)));
        const M at_lower = L::eq(price, lower);
        iterate[v] = L::mandnot(L::mandnot(usable, outside), at_lower);
        // Rows that do not iterate have their answer now: 0 at the lower
        // bound, NaN for anything no volatility can answer.
        const unsigned answered = L::bits(L::mnot(iterate[v]));
        if (answered != 0) {
            double answers[n];
            L::store(answers, L::select(L::mand(L::mandnot(usable, outside), at_lower), zero,
                                        L::set(kNaN)));
            for (std::size_t j = 0; j < n && i + j < real; ++j) {
                if ((answered >> j) & 1u) out[first + i + j] = answers[j];
            }
        }
        L::store(points + i, L::neg(L::sqrt(L::mul(L::set(2.0), L::abs(L::add(log_sk, L::mul(b, t)))))));
        const D fields[] = {b, t, log_sk, sqrt_t, big_a, big_b, price, lower};
        for (std::size_t j = 0; j < 8; ++j) L::store(f[j] + i, fields[j]);
    }
    norm_cdf_blocks<L>(points, values, count, tab);
    // tau_c, and the one more point of N the start reads: below s_c at
    // -sqrt(|x| / 6), above it at -s_c / 2.
    for (std::size_t v = 0; v < count / n; ++v) {
        const std::size_t i = v * n;
        const D big_a = L::load(f[4] + i), big_b = L::load(f[5] + i);
        const D ax = L::abs(L::add(L::load(f[2] + i), L::mul(L::load(f[0] + i), L::load(f[1] + i))));
        const M a_smaller = L::lt(big_a, big_b);
        const D small = L::select(a_smaller, big_a, big_b), big = L::select(a_smaller, big_b, big_a);
        const D tau_c = L::sub(L::mul(L::set(0.5), small), L::mul(big, L::load(values + i)));
        const M low = L::lt(L::sub(L::load(f[6] + i), L::load(f[7] + i)), tau_c);
        L::store(tau_c_of + i, tau_c);
        L::store(points + i, L::select(low, L::neg(L::sqrt(L::div(ax, L::set(6.0)))),
                                       L::mul(L::set(-0.5), L::sqrt(L::mul(L::set(2.0), ax)))));
    }
    norm_cdf_blocks<L>(points, values, count, tab);
    // The target, the objective and the start (european_target,
    // european_objective, european_start).
    std::size_t kept = 0;
    for (std::size_t v = 0; v < count / n; ++v) {
        const std::size_t i = v * n;
        const D b = L::load(f[0] + i), t = L::load(f[1] + i), log_sk = L::load(f[2] + i), sqrt_t = L::load(f[3] + i),
                big_a = L::load(f[4] + i), big_b = L::load(f[5] + i), p = L::load(f[6] + i), lower = L::load(f[7] + i);
        const D ax = L::abs(L::add(log_sk, L::mul(b, t)));
        const M a_smaller = L::lt(big_a, big_b);
        const D small = L::select(a_smaller, big_a, big_b), big = L::select(a_smaller, big_b, big_a);
        const D tau = L::sub(p, lower), gap = L::sub(big_a, p);
        const D s_c = L::sqrt(L::mul(L::set(2.0), ax));
        const D tau_c = L::load(tau_c_of + i);
        const D n_start = L::load(values + i);
        const M low = L::lt(tau, tau_c);
        const M log_time_value = L::mand(low, L::lt(tau, L::mul(L::set(kLogShare), tau_c)));
        const M log_gap =
            L::mandnot(L::lt(gap, L::mul(L::set(kLogShare), L::sub(L::sub(big_a, lower), tau_c))), low);
        const D objective =
            L::select(log_time_value, L::set(kLogTimeValue), L::select(log_gap, L::set(kLogGap), L::set(kPriceObjective)));
        // start_below_critical, n_start being N(-sqrt(|x| / 6)).
        D below = s_c;
        const D scale = L::mul(L::sqrt(big_a), L::sqrt(big_b));
        const D beta = L::div(tau, scale);
        if (L::any(L::mand(low, iterate[v]))) {
            const D c0 = L::mul(L::set(kTwoPiOverSqrt27), ax);
            const D cc = L::add(c0, L::mul(L::sub(L::div(L::div(tau_c, scale), L::mul(L::mul(n_start, n_start), n_start)), c0),
                                           L::div(tau, tau_c)));
            const D cube = L::div(beta, cc);
            const M tail = L::lt(cube, L::set(0.125));
            if (L::any(L::mand(tail, L::mand(low, iterate[v])))) {
                const D from_tail = L::div(ax, L::mul(L::set(kSqrtThree), upper_tail_inverse_of_cube_root<L>(
                                                                              L::select(tail, cube, L::set(0.0625)), tab)));
                below = L::select(tail, from_tail, s_c);
            }
            const D tangent = L::sub(s_c, L::mul(L::sub(tau_c, tau), L::div(L::set(kSqrtTwoPiComputed), small)));
            below = L::select(L::mand(L::gt(tangent, zero), L::mnot(L::le(below, tangent))), tangent, below);
            below = L::select(L::mnot(L::le(below, s_c)), s_c, below);
            below = L::select(L::mnot(L::gt(below, zero)), L::mul(L::set(kSqrtTwoPiComputed), beta), below);
        }
        // start_above_critical, n_start being N(-s_c / 2).
        D above = s_c;
        if (L::any(L::mandnot(iterate[v], low))) {
            const D gap_c = L::sub(L::sub(big_a, lower), tau_c);
            const D k_inf = L::add(small, big);
            const D kk = L::add(k_inf, L::mul(L::sub(L::div(gap_c, n_start), k_inf), L::div(gap, gap_c)));
            // Lanes below the critical point may hold any ratio; a harmless
            // one keeps them off the scalar paths.
            const D ratio = L::select(low, L::set(0.25), L::div(gap, kk));
            const D s0 = L::mul(L::set(-2.0), inverse_normal<L>(ratio, tab));
            above = L::select(L::ge(s0, s_c), s0, s_c);
        }
        const D sigma = L::div(L::select(low, below, above), sqrt_t);
        const D start = L::select(L::mand(L::gt(sigma, zero), L::lt(sigma, inf)), sigma, L::set(1.0));
        // Join the block, packed.
        const M keep = L::mand(iterate[v], L::lt(L::load(kLaneNumbers), L::set(static_cast<double>(real - i))));
        const D row = L::add(L::set(static_cast<double>(first + i)), L::load(kLaneNumbers));
        const D fields[Block::kFields] = {b,   t,         log_sk, sqrt_t, big_a, big_b, p,    lower, tau,
                                          gap, objective, start,  zero,   inf,   start, inf, zero, row};
        const auto order = L::compress_order(keep);
        for (std::size_t j = 0; j < Block::kFields; ++j) L::store(blk.f[j] + at + kept, L::permute(fields[j], order));
        kept += L::count(keep);
    }
    return at + kept;
}

// One round: every row of the block takes one step of bracketed_root, in
// the order of its branches. A row that returns writes out[row]; the others
// are packed again. Returns how many rows iterate on.
template <class L>
std::size_t step_round(Block& blk, std::size_t active, double* out, const exp_log::Tables& tab) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr std::size_t n = L::kLanes;
    const std::size_t vectors = (active + n - 1) / n;
    if (vectors > kRows / n) __builtin_unreachable();
    // The lanes past the last row repeat the first row; they never report.
    for (std::size_t j = 0; j < Block::kFields; ++j) {
        for (std::size_t i = active; i < vectors * n; ++i) blk.f[j][i] = blk.f[j][0];
    }
    alignas(64) double points[2 * kRows] = {}, values[2 * kRows];  // (points zeroed for the compiler's sake)
    for (std::size_t v = 0; v < vectors; ++v) {
        const D x = L::load(blk.f[Block::kX] + v * n);
        const D vol = L::mul(L::load(blk.f[Block::kSqrtT] + v * n), x);
        const D d1 = d1_at<L>(L::load(blk.f[Block::kB] + v * n), L::load(blk.f[Block::kT] + v * n),
                              L::load(blk.f[Block::kLogSk] + v * n), x, vol);
        L::store(points + 2 * v * n, d1);
        L::store(points + (2 * v + 1) * n, L::sub(d1, vol));
    }
    norm_cdf_blocks<L>(points, values, 2 * vectors * n, tab);
    std::size_t kept = 0;
    for (std::size_t v = 0; v < vectors; ++v) {
        D row[Block::kFields];
        for (std::size_t j = 0; j < Block::kFields; ++j) row[j] = L::load(blk.f[j] + v * n);
        const D b = row[Block::kB], t = row[Block::kT], log_sk = row[Block::kLogSk], sqrt_t = row[Block::kSqrtT],
                big_a = row[Block::kA], x = row[Block::kX];
        const D d1 = L::load(points + 2 * v * n), d2 = L::load(points + (2 * v + 1) * n);
        const D vol = L::mul(sqrt_t, x);
        // evaluate: the price as european_from gives it, and its derivatives.
        const D price = L::sub(L::mul(L::load(values + 2 * v * n), big_a),
                               L::mul(L::load(values + (2 * v + 1) * n), row[Block::kBDiscounted]));
        const D vega = L::mul(L::mul(big_a, lanes::gauss<L>(d1, tab)), L::mul(sqrt_t, L::set(kInvSqrtTwoPi)));
        const D d1d2 = L::mul(d1, d2);
        const D mid = L::mul(L::set(0.5), L::add(d1, d2));
        const D volga = L::mul(vega, L::div(d1d2, x));
        const D spread = L::sub(L::sub(L::mul(d1d2, d1d2), L::mul(L::set(3.0), L::mul(mid, mid))), L::mul(L::set(0.25), L::mul(vol, vol)));
        const D ultima = L::mul(vega, L::div(spread, L::mul(x, x)));
        const D residual = L::sub(price, row[Block::kP]);
        // objective_at.
        D f = residual, f1 = vega, f2 = volga, f3 = ultima;
        const M logs = L::ne(row[Block::kObjective], L::set(kPriceObjective));
        if (L::any(logs)) {
            const M below = L::eq(row[Block::kObjective], L::set(kLogTimeValue));
            const D rest = L::select(below, L::sub(price, row[Block::kLower]), L::sub(big_a, price));
            const D target = L::select(below, row[Block::kTau], row[Block::kGap]);
            const D ratio = L::div(rest, target);
            const M fine = L::mand(L::gt(ratio, L::set(0.0)), L::lt(ratio, L::set(kInf)));
            D lf = lanes::log<L>(L::select(fine, ratio, L::set(1.0)), tab);
            const unsigned coarse = L::bits(L::mandnot(logs, fine));
            if (coarse != 0) {
                double rests[n], targets[n], logs_of[n];
                L::store(rests, rest);
                L::store(targets, target);
                L::store(logs_of, lf);
                for (std::size_t j = 0; j < n; ++j) {
                    if ((coarse >> j) & 1u) logs_of[j] = std::log(rests[j]) - std::log(targets[j]);
                }
                lf = L::load(logs_of);
            }
            // Derivatives of ln(h) from those of h.
            const D g1 = L::div(L::select(below, vega, L::neg(vega)), rest);
            const D g2 = L::div(L::select(below, volga, L::neg(volga)), rest);
            const D g3 = L::div(L::select(below, ultima, L::neg(ultima)), rest);
            const D lf2 = L::sub(g2, L::mul(g1, g1));
            const D lf3 = L::sub(L::sub(g3, L::mul(L::mul(L::set(3.0), g1), lf2)), L::mul(L::mul(g1, g1), g1));
            f = L::select(logs, lf, f);
            f1 = L::select(logs, g1, f1);
            f2 = L::select(logs, lf2, f2);
            f3 = L::select(logs, lf3, f3);
        }
        // householder3_step.
        const D newton = L::div(f, f1);
        const D h2 = L::mul(newton, L::div(f2, f1));
        const D h3 = L::mul(L::mul(newton, newton), L::div(f3, f1));
        const D factor = L::div(L::sub(L::set(1.0), L::mul(L::set(0.5), h2)), L::add(L::sub(L::set(1.0), h2), L::div(h3, L::set(6.0))));
        const D proposed =
            L::sub(x, L::select(L::mand(L::gt(factor, L::set(0.5)), L::lt(factor, L::set(2.0))), L::mul(newton, factor), newton));
        // bracketed_root, one pass of its loop.
        D lo = row[Block::kLo], hi = row[Block::kHi], best = row[Block::kBest], miss = row[Block::kMiss];
        const M hit = L::eq(residual, L::set(0.0));
        const D miss_now = L::abs(residual);
        const M better = L::lt(miss_now, miss);
        miss = L::select(better, miss_now, miss);
        best = L::select(better, x, best);
        const M up = L::gt(residual, L::set(0.0));
        hi = L::select(up, x, hi);
        lo = L::select(up, lo, x);
        const M inside = L::mand(L::gt(proposed, lo), L::lt(proposed, hi));
        const M small = L::le(L::abs(L::sub(proposed, x)), L::mul(L::set(kStepTolerance), x));
        const M small_inside = L::mand(small, inside);
        M trusted = L::mnot(L::all_true());
        if (L::any(small_inside)) {
            // same_pieces at the proposed point.
            const D vol_next = L::mul(sqrt_t, proposed);
            const D d1_next = d1_at<L>(b, t, log_sk, proposed, vol_next);
            const D d2_next = L::sub(d1_next, vol_next);
            const D k = L::set(kInvSqrtTwo);
            trusted = L::mand(small_inside, L::mand(same_piece<L>(L::mul(d1_next, k), L::mul(d1, k)),
                                                    same_piece<L>(L::mul(d2_next, k), L::mul(d2, k))));
        }
        const M at_x = L::mor(hit, L::mandnot(small, inside));
        const M at_next = L::mandnot(trusted, hit);
        const D next = L::select(inside, proposed,
                                 L::select(L::lt(hi, L::set(kInf)), L::mul(L::set(0.5), L::add(lo, hi)), L::mul(L::set(2.0), lo)));
        const M stuck = L::mor(L::eq(next, x),
                               L::mand(L::lt(hi, L::set(kInf)), L::mnot(L::gt(L::sub(hi, lo), L::mul(L::set(0x1p-52), hi)))));
        const D steps = L::add(row[Block::kSteps], L::set(1.0));
        const M valid = L::lt(L::load(kLaneNumbers), L::set(static_cast<double>(active - v * n)));
        const M goes_on = L::mandnot(L::mandnot(L::mnot(L::mor(at_x, at_next)), stuck),
                                     L::ge(steps, L::set(static_cast<double>(kMaxSteps))));
        const unsigned finished = L::bits(L::mandnot(valid, goes_on));
        if (finished != 0) {
            double answers[n], rows[n];
            L::store(answers, L::select(at_x, x, L::select(at_next, proposed, best)));
            L::store(rows, row[Block::kRow]);
            for (std::size_t j = 0; j < n; ++j) {
                if ((finished >> j) & 1u) out[static_cast<std::size_t>(rows[j])] = answers[j];
            }
        }
        row[Block::kX] = next;
        row[Block::kLo] = lo;
        row[Block::kHi] = hi;
        row[Block::kBest] = best;
        row[Block::kMiss] = miss;
        row[Block::kSteps] = steps;
        const M keep = L::mand(valid, goes_on);
        if (L::all(keep) && kept == v * n) {
            // Nothing moves: only the bracket's state changed.
            for (std::size_t j = Block::kX; j <= Block::kSteps; ++j) L::store(blk.f[j] + kept, row[j]);
        } else {
            const auto order = L::compress_order(keep);
            for (std::size_t j = 0; j < Block::kFields; ++j) L::store(blk.f[j] + kept, L::permute(row[j], order));
        }
        kept += L::count(keep);
    }
    return kept;
}

// count rows of the inputs, results to out[i]. The block is a pool: after
// every round, rows that finished make room for new ones, so the rows that
// need more steps than most share their rounds with fresh rows instead of
// running them nearly alone.
template <class L>
void implied_vol_rows(const ImpliedColumns& in, std::size_t count, double* out) {
    constexpr std::size_t n = L::kLanes;
    const auto& tab = exp_log::tables();
    Block blk;
    std::size_t active = 0, next = 0;
    while (next < count || active != 0) {
        // Refill once at least half the pool is free (or the inputs end).
        const std::size_t room = (kRows - active) / n * n;
        if (next < count && room >= kRows / 2) {
            const std::size_t real = count - next < room ? count - next : room;
            if (real % n == 0) {
                const ImpliedColumns rows{in.price + next, in.s + next, in.k + next, in.t + next,
                                          in.r + next,     in.q + next, in.put != nullptr ? in.put + next : nullptr};
                active = set_up<L>(rows, next, real, real, blk, active, out, tab);
            } else {
                // The last rows, padded with rows that need no iteration.
                const std::size_t padded = (real + n - 1) / n * n;
                double price[kRows], s[kRows], k[kRows], t[kRows], r[kRows], q[kRows];
                std::uint8_t put[kRows];
                for (std::size_t j = 0; j < kRows; ++j) {
                    const bool row = j < real;
                    price[j] = row ? in.price[next + j] : kNaN;
                    s[j] = row ? in.s[next + j] : 1.0;
                    k[j] = row ? in.k[next + j] : 1.0;
                    t[j] = row ? in.t[next + j] : 1.0;
                    r[j] = row ? in.r[next + j] : 0.0;
                    q[j] = row ? in.q[next + j] : 0.0;
                    put[j] = row && in.put != nullptr ? in.put[next + j] : 0;
                }
                active = set_up<L>({price, s, k, t, r, q, put}, next, real, padded, blk, active, out, tab);
            }
            next += real;
        }
        if (active != 0) active = step_round<L>(blk, active, out, tab);
    }
}

}  // namespace implied

}  // namespace varnelle::lanes
