// The math room's lane functions over arrays of any length (vector_math.hpp's
// MathKernels for one lane type). Templates over a lane type: include only
// where one is (simd_target.hpp).
#pragma once

#include <cstddef>

#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/vector_exp.hpp"
#include "pricing/math/vector_log.hpp"
#include "pricing/math/vector_math.hpp"
#include "pricing/math/vector_normal.hpp"

namespace varnelle::lanes {

// The lane functions as types (lambdas would not be compiled for the lanes'
// instruction set).
template <class L>
struct ExpOf {
    static typename L::D apply(typename L::D x, const exp_log::Tables& t) { return lanes::exp<L>(x, t); }
};
template <class L>
struct LogOf {
    static typename L::D apply(typename L::D x, const exp_log::Tables& t) { return lanes::log<L>(x, t); }
};
template <class L>
struct PowEOf {
    static typename L::D apply(typename L::D y, const exp_log::Tables& t) { return lanes::pow_e<L>(y, t); }
};

// out[i] = F(x[i]) a vector at a time; the rest through one vector padded
// with a harmless value.
template <class L, template <class> class F>
void map_array(const double* x, double* out, std::size_t count) {
    constexpr std::size_t n = L::kLanes;
    const auto& tab = exp_log::tables();
    std::size_t i = 0;
    for (; i + n <= count; i += n) L::store(out + i, F<L>::apply(L::load(x + i), tab));
    if (i == count) return;
    double in[n], result[n];
    for (std::size_t j = 0; j < n; ++j) in[j] = i + j < count ? x[i + j] : 1.0;
    L::store(result, F<L>::apply(L::load(in), tab));
    for (std::size_t j = 0; i + j < count; ++j) out[i + j] = result[j];
}

// norm_cdf a block at a time (norm_cdf_block); the rest through one block
// padded to whole vectors.
template <class L>
void norm_cdf_array(const double* x, double* out, std::size_t count) {
    constexpr std::size_t n = L::kLanes;
    const auto& tab = exp_log::tables();
    std::size_t i = 0;
    for (; i + kNormBlock <= count; i += kNormBlock) norm_cdf_block<L>(x + i, out + i, kNormBlock, tab);
    const std::size_t rest = count - i;
    if (rest == 0) return;
    double in[kNormBlock], result[kNormBlock];
    for (std::size_t j = 0; j < kNormBlock; ++j) in[j] = j < rest ? x[i + j] : 1.0;
    norm_cdf_block<L>(in, result, (rest + n - 1) / n * n, tab);
    for (std::size_t j = 0; j < rest; ++j) out[i + j] = result[j];
}

template <class L>
constexpr MathKernels math_kernels() {
    return {map_array<L, ExpOf>, map_array<L, LogOf>, map_array<L, PowEOf>, norm_cdf_array<L>};
}

}  // namespace varnelle::lanes
