// The inner loops of the ufuncs: walk the strides, read one row of doubles
// (and the side, where the function has one), call the kernel, store.
// No allocation, no Python: NumPy runs them without the interpreter lock.
#pragma once

#include <algorithm>
#include <cfenv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <type_traits>

#include "array/kernels.hpp"
#include "array/numpy.hpp"
#include "array/workers.hpp"
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

// How NumPy lays out one operand of a loop call.
enum class Layout {
    Contiguous,  // one value after the other, aligned: read and written in place
    Broadcast,   // step 0: one value for every row
    Strided,     // anything else: gathered into a buffer, scattered out of one
};

template <class T>
Layout layout_of(const char* data, npy_intp step) noexcept {
    if (step == 0) return Layout::Broadcast;
    const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(T) == 0;
    return step == static_cast<npy_intp>(sizeof(T)) && aligned ? Layout::Contiguous : Layout::Strided;
}

inline bool overlaps(const void* a, std::size_t a_bytes, const void* b, std::size_t b_bytes) noexcept {
    const auto x = reinterpret_cast<std::uintptr_t>(a);
    const auto y = reinterpret_cast<std::uintptr_t>(b);
    return x < y + b_bytes && y < x + a_bytes;
}

// Rows per batch for a kernel: its own kBatchRows where it states one.
template <class Kernel>
constexpr std::size_t batch_rows() {
    if constexpr (requires { Kernel::kBatchRows; }) {
        return Kernel::kBatchRows;
    } else {
        return kBatchRows;
    }
}

// The same walk for a batch kernel: up to batch_rows() rows at a time, each
// operand a contiguous run (see ColumnBatch). Contiguous operands are used
// where they lie, a broadcast one is spread over a buffer once per walk, and
// strided ones are copied through buffers; so is an output that shares
// memory with an input read in place (NumPy passes out=s as it is).
template <class Shape, class Kernel>
void walk_batches(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    constexpr std::size_t kNumbers = Shape::kNumbers + Shape::kTrailing;
    constexpr std::size_t kOutputs = Shape::kOutputs;
    constexpr std::size_t kSideAt = Shape::kNumbers;
    constexpr std::size_t kRows = batch_rows<Kernel>();
    const auto operand_of = [](std::size_t number) { return number < kSideAt || !Shape::kSide ? number : number + 1; };
    if (begin >= end) return;

    char* at[Shape::kOperands];
    for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] = args[i] + begin * steps[i];
    Layout numbers[kNumbers];
    double in[kNumbers][kRows];
    for (std::size_t i = 0; i < kNumbers; ++i) {
        const std::size_t operand = operand_of(i);
        numbers[i] = layout_of<double>(at[operand], steps[operand]);
        if (numbers[i] == Layout::Broadcast) {
            double value;
            std::memcpy(&value, at[operand], sizeof(double));
            std::fill(std::begin(in[i]), std::end(in[i]), value);
        }
    }
    // A shape without a side (gamma, vega) hands the kernel no side column.
    const Layout side = Shape::kSide ? layout_of<npy_bool>(at[kSideAt], steps[kSideAt]) : Layout::Contiguous;
    unsigned char puts[kRows];
    if (side == Layout::Broadcast) std::fill(std::begin(puts), std::end(puts), *at[kSideAt] != 0 ? 1 : 0);
    Layout outputs[kOutputs];
    for (std::size_t j = 0; j < kOutputs; ++j) {
        outputs[j] = layout_of<double>(at[Shape::kInputs + j], steps[Shape::kInputs + j]);
    }
    double out[kOutputs][kRows];

    ColumnBatch<kNumbers, kOutputs> batch{};
    Kernel kernel{};
    for (npy_intp row = begin; row < end;) {
        const auto count = static_cast<std::size_t>(std::min<npy_intp>(end - row, static_cast<npy_intp>(kRows)));
        const auto rows = static_cast<npy_intp>(count);
        batch.count = count;
        for (std::size_t i = 0; i < kNumbers; ++i) {
            const std::size_t operand = operand_of(i);
            if (numbers[i] == Layout::Contiguous) {
                batch.in[i] = reinterpret_cast<const double*>(at[operand]);
                continue;
            }
            if (numbers[i] == Layout::Strided) {
                for (npy_intp b = 0; b < rows; ++b) {
                    std::memcpy(&in[i][b], at[operand] + b * steps[operand], sizeof(double));
                }
            }
            batch.in[i] = in[i];
        }
        if (!Shape::kSide) {
            batch.puts = nullptr;
        } else if (side == Layout::Contiguous) {
            batch.puts = reinterpret_cast<const unsigned char*>(at[kSideAt]);
        } else {
            if (side == Layout::Strided) {
                for (npy_intp b = 0; b < rows; ++b) puts[b] = *(at[kSideAt] + b * steps[kSideAt]) != 0 ? 1 : 0;
            }
            batch.puts = puts;
        }
        bool buffered[kOutputs];
        for (std::size_t j = 0; j < kOutputs; ++j) {
            char* target = at[Shape::kInputs + j];
            buffered[j] = outputs[j] != Layout::Contiguous ||
                          (batch.puts != nullptr && overlaps(target, count * sizeof(double), batch.puts, count)) ||
                          std::any_of(std::begin(batch.in), std::end(batch.in), [&](const double* run) {
                              return overlaps(target, count * sizeof(double), run, count * sizeof(double));
                          });
            batch.out[j] = buffered[j] ? out[j] : reinterpret_cast<double*>(target);
        }
        kernel(batch);
        for (std::size_t j = 0; j < kOutputs; ++j) {
            if (!buffered[j]) continue;
            const std::size_t operand = Shape::kInputs + j;
            for (npy_intp b = 0; b < rows; ++b) {
                std::memcpy(at[operand] + b * steps[operand], &out[j][b], sizeof(double));
            }
        }
        for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] += rows * steps[i];
        row += rows;
    }
}

// Batch kernels take a ColumnBatch; every other kernel goes row by row.
template <class Shape, class Kernel>
inline constexpr bool kBatchKernel =
    std::is_invocable_v<Kernel&, const ColumnBatch<Shape::kNumbers + Shape::kTrailing, Shape::kOutputs>&>;

template <class Shape, class Kernel>
void walk(char** args, const npy_intp* steps, npy_intp begin, npy_intp end) noexcept {
    if constexpr (kBatchKernel<Shape, Kernel>) {
        walk_batches<Shape, Kernel>(args, steps, begin, end);
    } else {
        walk_rows<Shape, Kernel>(args, steps, begin, end);
    }
}

// The function NumPy calls, for either walk. CostNs, a rough cost of one row,
// decides whether a call is large enough to share among worker threads.
template <class Shape, class Kernel, int CostNs>
void ufunc_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    FloatStatusGuard status;
    split_rows(dimensions[0], CostNs,
               [&](std::ptrdiff_t begin, std::ptrdiff_t end) { walk<Shape, Kernel>(args, steps, begin, end); });
}

}  // namespace varnelle::array
