// The inner loops of the ufuncs: walk the strides, read one row of doubles
// (and the side, where the function has one), call the pricing kernel, store.
// No allocation, no Python: NumPy runs them without the interpreter lock.
#pragma once

#include <algorithm>
#include <cfenv>
#include <cstddef>
#include <cstring>

#include "array/numpy.hpp"
#include "array/workers.hpp"
#include "pricing/batch.hpp"
#include "pricing/types.hpp"

namespace varnelle::array {

// Degenerate rows (a zero volatility, an infinite spot) raise floating-point
// flags on their way to the same results as the scalar functions. NumPy
// turns raised flags into RuntimeWarnings after the loop, so the loop leaves
// the status as it found it: one odd row in a million prints nothing.
class FloatStatusGuard {
public:
    FloatStatusGuard() noexcept { std::fegetexceptflag(&saved_, FE_ALL_EXCEPT); }
    ~FloatStatusGuard() { std::fesetexceptflag(&saved_, FE_ALL_EXCEPT); }
    FloatStatusGuard(const FloatStatusGuard&) = delete;
    FloatStatusGuard& operator=(const FloatStatusGuard&) = delete;

private:
    std::fexcept_t saved_;
};

inline OptionInputs inputs_of(const double* in) { return {in[0], in[1], in[2], in[3], in[4], in[5]}; }

// A kernel reads `Inputs` doubles and the side, and writes `Outputs` doubles.
template <std::size_t Inputs, std::size_t Outputs>
using Kernel = void (*)(const double* in, OptionType side, double* out);

template <std::size_t Inputs, bool HasSide, std::size_t Outputs, Kernel<Inputs, Outputs> Row>
void walk_rows(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    constexpr std::size_t kOperands = Inputs + (HasSide ? 1 : 0) + Outputs;
    char* at[kOperands];
    for (std::size_t i = 0; i < kOperands; ++i) at[i] = args[i] + begin * steps[i];
    for (npy_intp row = begin; row < end; ++row) {
        double in[Inputs];
        for (std::size_t i = 0; i < Inputs; ++i) std::memcpy(&in[i], at[i], sizeof(double));
        OptionType side = OptionType::Call;
        if constexpr (HasSide) side = *reinterpret_cast<const npy_bool*>(at[Inputs]) ? OptionType::Put : OptionType::Call;
        double out[Outputs];
        Row(in, side, out);
        for (std::size_t i = 0; i < Outputs; ++i) std::memcpy(at[kOperands - Outputs + i], &out[i], sizeof(double));
        for (std::size_t i = 0; i < kOperands; ++i) at[i] += steps[i];
    }
}

// The same walk for an operation in two stages around the normal
// distribution: rows are read a batch at a time and go through
// evaluate_batch, which evaluates the batch's N(x) together.
template <class Op>
void walk_batches(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    constexpr std::size_t kOperands = 6 + 1 + Op::kOutputs;
    char* at[kOperands];
    for (std::size_t i = 0; i < kOperands; ++i) at[i] = args[i] + begin * steps[i];
    OptionInputs in[kBatchRows];
    OptionType sides[kBatchRows];
    double out[kBatchRows * Op::kOutputs];
    for (npy_intp row = begin; row < end;) {
        const auto count = static_cast<std::size_t>(std::min<npy_intp>(end - row, static_cast<npy_intp>(kBatchRows)));
        for (std::size_t b = 0; b < count; ++b) {
            double values[6];
            for (std::size_t i = 0; i < 6; ++i) std::memcpy(&values[i], at[i] + static_cast<npy_intp>(b) * steps[i], sizeof(double));
            in[b] = inputs_of(values);
            sides[b] = *reinterpret_cast<const npy_bool*>(at[6] + static_cast<npy_intp>(b) * steps[6]) ? OptionType::Put
                                                                                                         : OptionType::Call;
        }
        evaluate_batch<Op>(in, sides, count, out);
        for (std::size_t b = 0; b < count; ++b) {
            for (std::size_t j = 0; j < Op::kOutputs; ++j) {
                std::memcpy(at[7 + j] + static_cast<npy_intp>(b) * steps[7 + j], &out[b * Op::kOutputs + j], sizeof(double));
            }
        }
        for (std::size_t i = 0; i < kOperands; ++i) at[i] += static_cast<npy_intp>(count) * steps[i];
        row += static_cast<npy_intp>(count);
    }
}

// The function NumPy calls, for either walk. CostNs, a rough cost of one row,
// decides whether a call is large enough to share among worker threads.
using Walk = void (*)(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept;

template <Walk Rows, int CostNs>
void ufunc_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    FloatStatusGuard status;
    split_rows(dimensions[0], CostNs, [&](std::ptrdiff_t begin, std::ptrdiff_t end) { Rows(args, steps, begin, end); });
}

// Adapters from the pricing core's signatures to a kernel.
template <double (*F)(const OptionInputs&, OptionType)>
void sided(const double* in, OptionType side, double* out) {
    out[0] = F(inputs_of(in), side);
}

template <double (*F)(const OptionInputs&)>
void sideless(const double* in, OptionType, double* out) {
    out[0] = F(inputs_of(in));
}

// Implied volatilities read (price, s, k, t, r, q).
template <double (*F)(double, double, double, double, double, double, OptionType)>
void implied(const double* in, OptionType side, double* out) {
    out[0] = F(in[0], in[1], in[2], in[3], in[4], in[5], side);
}

template <Greeks (*F)(const OptionInputs&, OptionType)>
void all_greeks(const double* in, OptionType side, double* out) {
    const Greeks g = F(inputs_of(in), side);
    out[0] = g.delta;
    out[1] = g.gamma;
    out[2] = g.theta;
    out[3] = g.vega;
    out[4] = g.rho;
}

}  // namespace varnelle::array
