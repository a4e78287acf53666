// Running a staged operation (see BlackScholesDelta and its kin): one row
// through both stages, or many rows at once, where every row is prepared,
// the normal distribution is evaluated for all of the batch's points
// together, then every row is finished. The results are the same to the bit.
#pragma once

#include <cstddef>

#include "pricing/math/normal.hpp"
#include "pricing/core/types.hpp"

namespace varnelle {

// One row through both stages.
template <class Op>
[[gnu::always_inline]] inline void run_staged(const OptionInputs& in, OptionType type, double* out) {
    double points[Op::kPoints];
    const typename Op::State state = Op::prepare(in, type, points);
    double n[Op::kPoints];
    for (std::size_t i = 0; i < Op::kPoints; ++i) n[i] = norm_cdf(points[i]);
    Op::finish(state, n, out);
}

template <class Op>
[[gnu::always_inline]] inline double run_staged(const OptionInputs& in, OptionType type) {
    double out[1];
    run_staged<Op>(in, type, out);
    return out[0];
}

// Rows per batch: enough to keep each loop busy, few enough that a batch's
// points (at most two a row) stay in the first-level cache.
inline constexpr std::size_t kBatchRows = 64;

// in[0..count), types[0..count) -> out[row * Op::kOutputs + j]; count <= kBatchRows.
template <class Op>
void evaluate_batch(const OptionInputs* in, const OptionType* types, std::size_t count, double* out) {
    static_assert(kBatchRows * Op::kPoints <= 256, "norm_cdf_batch takes at most 256 values");
    typename Op::State states[kBatchRows];
    double points[kBatchRows * Op::kPoints] = {};  // every used one is set by prepare
    double values[kBatchRows * Op::kPoints];
    for (std::size_t row = 0; row < count; ++row) states[row] = Op::prepare(in[row], types[row], points + row * Op::kPoints);
    norm_cdf_batch(points, values, count * Op::kPoints);
    for (std::size_t row = 0; row < count; ++row) {
        Op::finish(states[row], values + row * Op::kPoints, out + row * Op::kOutputs);
    }
}

}  // namespace varnelle
