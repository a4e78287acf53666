// The kernels of the ufunc loops. A row kernel is a type whose call operator
// reads one row's numbers (those before the side, then those after it) and
// its side, and writes the row's results; the loop makes one per range of
// rows, so a kernel may carry state from row to row. Row<F> adapts a pricing
// function by its signature; Batched<Op> marks a staged European operation,
// which the loop runs a batch of rows at a time.
#pragma once

#include <type_traits>

#include "pricing/types.hpp"

namespace varnelle::array {

inline OptionInputs inputs_of(const double* in) { return {in[0], in[1], in[2], in[3], in[4], in[5]}; }

inline void store(const Greeks& g, double* out) {
    out[0] = g.delta;
    out[1] = g.gamma;
    out[2] = g.theta;
    out[3] = g.vega;
    out[4] = g.rho;
}

inline void store(double value, double* out) { out[0] = value; }

template <auto F>
struct Row {
    using Function = decltype(F);
    void operator()(const double* in, OptionType side, double* out) const {
        if constexpr (std::is_invocable_v<Function, const OptionInputs&, OptionType>) {
            store(F(inputs_of(in), side), out);  // (s, k, t, r, sigma, q) and the side
        } else if constexpr (std::is_invocable_v<Function, const OptionInputs&>) {
            store(F(inputs_of(in)), out);  // the same for calls and puts
        } else if constexpr (std::is_invocable_v<Function, const OptionInputs&, OptionType, double>) {
            store(F(inputs_of(in), side, in[6]), out);  // ... and a target error
        } else if constexpr (std::is_invocable_v<Function, double, double, double, double, double, double, OptionType>) {
            store(F(in[0], in[1], in[2], in[3], in[4], in[5], side), out);  // (price, s, k, t, r, q)
        } else if constexpr (std::is_invocable_v<Function, double, double, double, double, double, double, OptionType,
                                                 double>) {
            store(F(in[0], in[1], in[2], in[3], in[4], in[5], side, in[6]), out);  // ... and a target error
        } else {
            store(F(in[0], in[1], in[2], in[3], in[4], side, in[5]), out);  // (k, t, r, sigma, q), side, target error
        }
    }
};

template <class Op>
struct Batched {};

}  // namespace varnelle::array
