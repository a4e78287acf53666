// The kernels of the ufunc loops. A row kernel is a type whose call operator
// reads one row's numbers (those before the side, then those after it) and
// its side, and writes the row's results; the loop makes one per range of
// rows, so a kernel may carry state from row to row. Row<f> adapts a pricing
// function by its signature, Chain<&Model::method> a method of a model
// that keeps work for the next row, Greek<...>::Of<...> one result of such a
// method. A batch kernel's call operator takes a ColumnBatch instead, the
// numbers of up to kBatchRows rows as contiguous runs: the European kernels
// (european_kernels.hpp) take them so, to work across rows in vector lanes.
#pragma once

#include <cstddef>
#include <functional>
#include <type_traits>

#include "pricing/core/types.hpp"

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

template <class>
inline constexpr bool kUnknownSignature = false;

// One row through f, whichever of the pricing core's signatures it has.
template <class F>
void apply_row(F&& f, const double* in, OptionType side, double* out) {
    using D = double;
    if constexpr (std::is_invocable_v<F, const OptionInputs&, OptionType>) {
        store(f(inputs_of(in), side), out);  // (s, k, t, r, sigma, q) and the side
    } else if constexpr (std::is_invocable_v<F, const OptionInputs&>) {
        store(f(inputs_of(in)), out);  // the same for calls and puts
    } else if constexpr (std::is_invocable_v<F, const OptionInputs&, OptionType, D>) {
        store(f(inputs_of(in), side, in[6]), out);  // ... and a target error
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, D, OptionType>) {
        store(f(in[0], in[1], in[2], in[3], in[4], in[5], side), out);  // (price, s, k, t, r, q)
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, D, OptionType, D>) {
        store(f(in[0], in[1], in[2], in[3], in[4], in[5], side, in[6]), out);  // ... and a target error
    } else if constexpr (std::is_invocable_v<F, D, D, D, D, D, OptionType, D>) {
        store(f(in[0], in[1], in[2], in[3], in[4], side, in[5]), out);  // (k, t, r, sigma, q), side, target error
    } else {
        static_assert(kUnknownSignature<F>, "a kernel of functions.def has a signature apply_row does not know");
    }
}

// A pricing function, row by row.
template <auto F>
struct Row {
    void operator()(const double* in, OptionType side, double* out) const { apply_row(F, in, side, out); }
};

// A method of a model object that carries work from row to row (the
// integral model keeps its last boundary for the next row of a chain). Each
// range of rows has its own object, so threads share nothing.
template <class Method>
struct ClassOf;
template <class Result, class Model, class... Arguments>
struct ClassOf<Result (Model::*)(Arguments...)> {
    using type = Model;
};

template <auto Method>
struct Chain {
    typename ClassOf<decltype(Method)>::type model{};
    void operator()(const double* in, OptionType side, double* out) {
        apply_row([this](auto... arguments) -> decltype(std::invoke(Method, model, arguments...)) {
            return std::invoke(Method, model, arguments...);
        }, in, side, out);
    }
};

// One of the five Greeks of a model method that gives all five, where the
// model computes them together: Greek<&Greeks::vega>::Of<&Model::greeks>.
template <double Greeks::*Field>
struct Greek {
    template <auto Method>
    struct Of {
        Chain<Method> chain{};
        void operator()(const double* in, OptionType side, double* out) {
            double all[5];
            chain(in, side, all);
            Greeks g{all[0], all[1], all[2], all[3], all[4]};
            out[0] = g.*Field;
        }
    };
};

// Rows per column batch: enough that the per-batch work (the kernel's
// dispatch, a lane loop's ragged end) is small next to the rows' own, few
// enough that a batch's columns stay in the first-level cache. A kernel may
// state its own kBatchRows.
inline constexpr std::size_t kBatchRows = 256;

// A batch of rows as a structure of arrays, for kernels that work across
// rows: number i of row b is in[i][b] (the numbers before the side, then
// those after it), its side puts[b] (nonzero for a put; puts is null for a
// shape without a side), and result j goes to out[j][b]. Each run holds
// `count` values, at most the kernel's batch rows (batch_rows in
// loops.hpp); no output run shares memory with an input run.
template <std::size_t Numbers, std::size_t Outputs>
struct ColumnBatch {
    std::size_t count;
    const double* in[Numbers];
    const unsigned char* puts;
    double* out[Outputs];
};

}  // namespace varnelle::array
