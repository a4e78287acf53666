// The inner loop of the generalized ufuncs whose rows carry a schedule of
// cash dividends, signature (),...,(),(n),(n)->() (five outputs for the
// Greeks): the scalar operands as in loops.hpp, then the row's ex-times and
// amounts along the core dimension n. A schedule laid out contiguously is
// read where it lies; a strided one (a column of a Fortran-ordered array, a
// slice with a step) is copied into a buffer row by row. A shared schedule
// arrives with an outer step of zero and is copied once.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <thread>
#include <utility>
#include <vector>

#include "array/loops.hpp"
#include "array/schedule_kernels.hpp"

namespace varnelle::array {

// Up to this many dividends a row's copy lives on the stack: ten years of
// quarterly dividends and more.
inline constexpr std::size_t kScheduleOnStack = 64;

// The gufunc signature of a shape whose last two inputs are a schedule:
// "(),(),...,(n),(n)->()" with one "()" per scalar input and per output.
template <class Shape>
constexpr auto schedule_signature() {
    constexpr std::size_t scalars = Shape::kInputs - 2;
    constexpr std::size_t size = 3 * scalars + 10 + 3 * Shape::kOutputs;
    std::array<char, size> text{};
    std::size_t at = 0;
    const auto put = [&](const char* piece) {
        while (*piece != '\0') text[at++] = *piece++;
    };
    for (std::size_t i = 0; i < scalars; ++i) put("(),");
    put("(n),(n)->");
    for (std::size_t j = 0; j < Shape::kOutputs; ++j) put(j == 0 ? "()" : ",()");
    text[at] = '\0';
    return text;
}

template <class Shape>
inline constexpr auto kScheduleSignature = schedule_signature<Shape>();

// A row's dividends as one contiguous run: in place when they lie so, else
// copied into the buffer.
class ScheduleReader {
public:
    ScheduleReader(std::size_t n, npy_intp times_step, npy_intp amounts_step) noexcept
        : n_(n), times_step_(times_step), amounts_step_(amounts_step) {
        in_place_ = times_step == static_cast<npy_intp>(sizeof(double)) &&
                    amounts_step == static_cast<npy_intp>(sizeof(double));
        if (n > kScheduleOnStack) {
            try {
                heap_.resize(2 * n);
            } catch (const std::bad_alloc&) {
                failed_ = true;
            }
        }
    }

    // False when the buffer for a long strided schedule could not be had.
    bool ok() const noexcept { return !failed_; }

    ScheduleRun read(const char* times, const char* amounts) noexcept {
        if (n_ == 0 || (in_place_ && aligned(times) && aligned(amounts))) {
            return {reinterpret_cast<const double*>(times), reinterpret_cast<const double*>(amounts), n_};
        }
        double* t = n_ > kScheduleOnStack ? heap_.data() : stack_.data();
        double* a = t + n_;
        if (times != copied_times_ || amounts != copied_amounts_) {  // a shared schedule is copied once
            for (std::size_t i = 0; i < n_; ++i) {
                std::memcpy(&t[i], times + static_cast<npy_intp>(i) * times_step_, sizeof(double));
                std::memcpy(&a[i], amounts + static_cast<npy_intp>(i) * amounts_step_, sizeof(double));
            }
            copied_times_ = times;
            copied_amounts_ = amounts;
        }
        return {t, a, n_};
    }

private:
    static bool aligned(const char* p) noexcept {
        return reinterpret_cast<std::uintptr_t>(p) % alignof(double) == 0;
    }

    std::size_t n_;
    npy_intp times_step_, amounts_step_;
    bool in_place_ = false;
    bool failed_ = false;
    const char* copied_times_ = nullptr;
    const char* copied_amounts_ = nullptr;
    std::array<double, 2 * kScheduleOnStack> stack_;
    std::vector<double> heap_;
};

// One kernel per thread of a call. A long call reaches a thread's loop slice
// after slice (workers.hpp); a kernel that lived for one slice only would
// solve the grids of a chain or a spot ladder again at every slice. The
// kernels live as long as the call, each used by one thread only.
template <class Kernel>
class KernelPerThread {
public:
    // This thread's kernel, or null when none could be made.
    Kernel* mine() noexcept {
        const std::thread::id me = std::this_thread::get_id();
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& [id, kernel] : kernels_) {
            if (id == me) return &kernel;
        }
        try {
            return &kernels_.emplace_back(std::piecewise_construct, std::forward_as_tuple(me),
                                          std::forward_as_tuple()).second;
        } catch (...) {
            return nullptr;
        }
    }

private:
    std::mutex mutex_;
    std::deque<std::pair<std::thread::id, Kernel>> kernels_;  // a deque keeps their addresses
};

// Rows [begin, end): the scalar numbers (those before the side, then those
// after it), the side, the schedule; results out.
template <class Shape, class Kernel>
void walk_scheduled(Kernel& kernel, char** args, npy_intp n, const npy_intp* steps, npy_intp begin,
                    npy_intp end) noexcept {
    constexpr std::size_t kScalars = Shape::kInputs - 2;  // operands before the schedule
    constexpr std::size_t kNumbers = Shape::kNumbers + Shape::kTrailing - 2;
    constexpr std::size_t kSideAt = Shape::kNumbers;
    constexpr std::size_t kTimes = kScalars, kAmounts = kScalars + 1;
    constexpr std::size_t kCoreSteps = Shape::kOperands;  // the core steps follow the outer ones
    char* at[Shape::kOperands];
    for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] = args[i] + begin * steps[i];
    ScheduleReader schedule(static_cast<std::size_t>(n), steps[kCoreSteps], steps[kCoreSteps + 1]);
    for (npy_intp row = begin; row < end; ++row) {
        double in[kNumbers];
        for (std::size_t i = 0; i < kNumbers; ++i) {
            const std::size_t operand = i < kSideAt || !Shape::kSide ? i : i + 1;
            std::memcpy(&in[i], at[operand], sizeof(double));
        }
        OptionType side = OptionType::Call;
        if constexpr (Shape::kSide) {
            side = *reinterpret_cast<const npy_bool*>(at[kSideAt]) ? OptionType::Put : OptionType::Call;
        }
        double out[Shape::kOutputs];
        if (schedule.ok()) [[likely]] {
            kernel(in, side, schedule.read(at[kTimes], at[kAmounts]), out);
        } else {
            for (double& value : out) value = std::numeric_limits<double>::quiet_NaN();
        }
        for (std::size_t i = 0; i < Shape::kOutputs; ++i) {
            std::memcpy(at[Shape::kInputs + i], &out[i], sizeof(double));
        }
        for (std::size_t i = 0; i < Shape::kOperands; ++i) at[i] += steps[i];
    }
}

template <class Shape, class Kernel, int CostNs>
void schedule_loop(char** args, const npy_intp* dimensions, const npy_intp* steps, void*) {
    FloatStatusGuard status;
    const npy_intp n = dimensions[1];
    KernelPerThread<Kernel> kernels;
    split_rows(dimensions[0], CostNs, [&](std::ptrdiff_t begin, std::ptrdiff_t end) {
        if (Kernel* kernel = kernels.mine()) {
            walk_scheduled<Shape>(*kernel, args, n, steps, begin, end);
        } else {
            Kernel alone{};  // out of memory for the list: this slice on its own
            walk_scheduled<Shape>(alone, args, n, steps, begin, end);
        }
    });
}

}  // namespace varnelle::array
