// The math room's lane functions compiled for AVX512 (see vector_math.hpp).
// GCC 12 warns of the deliberately undefined first operand most AVX-512
// intrinsics start from; nothing reads it.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "pricing/core/constants.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/math/simd_target.hpp"
#include "pricing/math/vector_math.hpp"

#if VARNELLE_HAVE_LANES
VARNELLE_TARGET_PUSH(VARNELLE_AVX512_FEATURES)
#include "pricing/math/lanes_avx512.hpp"
#include "pricing/math/vector_arrays.hpp"
#include "pricing/math/vector_exp.hpp"
#include "pricing/math/vector_log.hpp"
#include "pricing/math/vector_normal.hpp"

namespace varnelle::lanes {
namespace {

using L = Avx512;

void exp_array(const double* x, double* out, std::size_t count) {
    const auto& tab = exp_log::tables();
    map_array<L>(x, out, count, [&](L::D v) { return lanes::exp<L>(v, tab); });
}

void log_array(const double* x, double* out, std::size_t count) {
    const auto& tab = exp_log::tables();
    map_array<L>(x, out, count, [&](L::D v) { return lanes::log<L>(v, tab); });
}

void pow_e_array(const double* y, double* out, std::size_t count) {
    const auto& tab = exp_log::tables();
    map_array<L>(y, out, count, [&](L::D v) { return lanes::pow_e<L>(v, tab); });
}

void norm_cdf_array(const double* x, double* out, std::size_t count) {
    const auto& tab = exp_log::tables();
    map_blocks<L, kNormBlock>(x, out, count,
                              [&](const double* in, double* result, std::size_t m) { norm_cdf_block<L>(in, result, m, tab); });
}

}  // namespace

extern constinit const MathKernels kAvx512Math{exp_array, log_array, pow_e_array, norm_cdf_array};

}  // namespace varnelle::lanes
VARNELLE_TARGET_POP()
#endif
