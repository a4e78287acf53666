// The inner loops of the ufuncs: walk the strides, read one row of doubles
// (and the side, where the function has one), call the kernel, store.
// No allocation, no Python: NumPy runs them without the interpreter lock.
#pragma once

#include <algorithm>
#include <cfenv>
#include <cstddef>
#include <cstring>

#include "array/kernels.hpp"
#include "array/numpy.hpp"
#include "array/workers.hpp"
#include "pricing/european/batch.hpp"
#include "pricing/core/types.hpp"

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

// One row at a time: numbers, side and trailing numbers in, results out.
template <class Shape, class Kernel>
void walk_rows(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    constexpr std::size_t kNumbers = Shape::kNumbers + Shape::kTrailing;
    constexpr std::size_t kSideAt = Shape::kNumbers;
    char* at[Shape::kOperands];
    for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] = args[i] + begin * steps[i];
    Kernel kernel{};
    for (npy_intp row = begin; row < end; ++row) {
        double in[kNumbers];
        for (std::size_t i = 0; i < kNumbers; ++i) {
            const std::size_t operand = i < kSideAt || !Shape::kSide ? i : i + 1;  // numbers after the side
            std::memcpy(&in[i], at[operand], sizeof(double));
        }
        OptionType side = OptionType::Call;
        if constexpr (Shape::kSide) {
            side = *reinterpret_cast<const npy_bool*>(at[kSideAt]) ? OptionType::Put : OptionType::Call;
        }
        double out[Shape::kOutputs];
        kernel(in, side, out);
        for (std::size_t i = 0; i < Shape::kOutputs; ++i) {
            std::memcpy(at[Shape::kInputs + i], &out[i], sizeof(double));
        }
        for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] += steps[i];
    }
}

// The same walk for an operation in two stages around the normal
// distribution: rows are read a batch at a time and go through
// evaluate_batch, which evaluates the batch's N(x) together.
template <class Shape, class Op>
void walk_batches(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    static_assert(Shape::kNumbers == 6 && Shape::kSide && Shape::kTrailing == 0 && Shape::kOutputs == Op::kOutputs,
                  "a staged operation reads (s, k, t, r, sigma, q, put)");
    constexpr std::size_t kSideAt = Shape::kNumbers;
    char* at[Shape::kOperands];
    for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] = args[i] + begin * steps[i];
    OptionInputs in[kBatchRows];
    OptionType sides[kBatchRows];
    double out[kBatchRows * Op::kOutputs];
    for (npy_intp row = begin; row < end;) {
        const auto count = static_cast<std::size_t>(std::min<npy_intp>(end - row, static_cast<npy_intp>(kBatchRows)));
        for (std::size_t b = 0; b < count; ++b) {
            const auto offset = static_cast<npy_intp>(b);
            double values[Shape::kNumbers];
            for (std::size_t i = 0; i < Shape::kNumbers; ++i) {
                std::memcpy(&values[i], at[i] + offset * steps[i], sizeof(double));
            }
            in[b] = inputs_of(values);
            sides[b] = *reinterpret_cast<const npy_bool*>(at[kSideAt] + offset * steps[kSideAt]) ? OptionType::Put
                                                                                               : OptionType::Call;
        }
        evaluate_batch<Op>(in, sides, count, out);
        for (std::size_t b = 0; b < count; ++b) {
            const auto offset = static_cast<npy_intp>(b);
            for (std::size_t j = 0; j < Op::kOutputs; ++j) {
                const std::size_t operand = Shape::kInputs + j;
                std::memcpy(at[operand] + offset * steps[operand], &out[b * Op::kOutputs + j], sizeof(double));
            }
        }
        for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] += static_cast<npy_intp>(count) * steps[i];
        row += static_cast<npy_intp>(count);
    }
}

template <class Shape, class Kernel>
struct Walk {
    static constexpr auto run = walk_rows<Shape, Kernel>;
};
template <class Shape, class Op>
struct Walk<Shape, Batched<Op>> {
    static constexpr auto run = walk_batches<Shape, Op>;
};

// The function NumPy calls, for either walk. CostNs, a rough cost of one row,
// decides whether a call is large enough to share among worker threads.
template <class Shape, class Kernel, int CostNs>
void ufunc_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    FloatStatusGuard status;
    split_rows(dimensions[0], CostNs,
               [&](std::ptrdiff_t begin, std::ptrdiff_t end) { Walk<Shape, Kernel>::run(args, steps, begin, end); });
}

}  // namespace varnelle::array
