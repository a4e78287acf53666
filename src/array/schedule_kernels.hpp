// The kernels of rows that carry a schedule of cash dividends. A row's
// dividends arrive as a generalized ufunc's core dimension: two runs of n
// doubles (ex-times, amounts), padding entries with a zero amount. The loop
// (schedule_loops.hpp) hands a kernel the row's numbers, its side and the
// schedule as contiguous runs; a kernel keeps one DividendAmerican for its
// range of rows, so the rows of a chain or a spot ladder share the solved
// grids and boundaries, and threads share nothing.
//
//   Scheduled<&DividendAmerican::price>                      one result, or the five Greeks
//   ScheduledGreek<&Greeks::delta>::Of<&DividendAmerican::greeks>   one of the five
#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>

#include "array/kernels.hpp"
#include "pricing/core/types.hpp"
#include "pricing/dividends/dividend_model.hpp"

namespace varnelle::array {

// A row's dividends, contiguous: times[i] and amounts[i] for i < n.
struct ScheduleRun {
    const double* times;
    const double* amounts;
    std::size_t n;
};

// One row through f, whichever of the dividend model's signatures it has:
// the schedule follows the side, the target error (if any) comes last.
template <class F>
void apply_scheduled_row(F&& f, const double* in, OptionType side, const ScheduleRun& d, double* out) {
    using D = double;
    using P = const double*;
    using N = std::size_t;
    if constexpr (std::is_invocable_v<F, const OptionInputs&, OptionType, P, P, N, D>) {
        store(f(inputs_of(in), side, d.times, d.amounts, d.n, in[6]), out);  // (s, k, t, r, sigma, q), tol
    } else if constexpr (std::is_invocable_v<F, const OptionInputs&, OptionType, P, P, N>) {
        store(f(inputs_of(in), side, d.times, d.amounts, d.n), out);  // European: no tol
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, D, OptionType, P, P, N, D>) {
        // (price, s, k, t, r, q): an implied volatility, tol
        store(f(in[0], in[1], in[2], in[3], in[4], in[5], side, d.times, d.amounts, d.n, in[6]), out);
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, D, OptionType, P, P, N>) {
        store(f(in[0], in[1], in[2], in[3], in[4], in[5], side, d.times, d.amounts, d.n), out);
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, OptionType, P, P, N, D>) {
        // (k, t, r, sigma, q): the exercise boundary, tol
        store(f(in[0], in[1], in[2], in[3], in[4], side, d.times, d.amounts, d.n, in[5]), out);
    } else {
        static_assert(kUnknownSignature<F>, "a dividend kernel of functions.def has a signature it does not know");
    }
}

// A method of the dividend model, row after row on one model object.
template <auto Method>
struct Scheduled {
    static constexpr bool kSchedule = true;
    typename ClassOf<decltype(Method)>::type model{};
    void operator()(const double* in, OptionType side, const ScheduleRun& d, double* out) {
        apply_scheduled_row([this](auto... arguments) -> decltype(std::invoke(Method, model, arguments...)) {
            return std::invoke(Method, model, arguments...);
        }, in, side, d, out);
    }
};

// One of the five Greeks of a method that gives all five.
template <double Greeks::*Field>
struct ScheduledGreek {
    template <auto Method>
    struct Of {
        static constexpr bool kSchedule = true;
        Scheduled<Method> all{};
        void operator()(const double* in, OptionType side, const ScheduleRun& d, double* out) {
            double five[5];
            all(in, side, d, five);
            const Greeks g{five[0], five[1], five[2], five[3], five[4]};
            out[0] = g.*Field;
        }
    };
};

// Kernels whose rows carry a schedule: their ufuncs are generalized ufuncs.
template <class Kernel, class = void>
inline constexpr bool kScheduleKernel = false;
template <class Kernel>
inline constexpr bool kScheduleKernel<Kernel, std::void_t<decltype(Kernel::kSchedule)>> = Kernel::kSchedule;

}  // namespace varnelle::array
