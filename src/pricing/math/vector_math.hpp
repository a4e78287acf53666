// The lane functions of the math room over whole arrays, one set per
// instruction set: exp, log and pow(e, y) (the platform's bits), and the
// normal distribution function (norm_cdf's bits). vector_path.cpp proves exp and
// log against the platform with these before any kernel uses lanes; the
// tests call them directly.
#pragma once

#include <cstddef>

#include "pricing/math/simd_target.hpp"
#include "pricing/math/vector_path.hpp"

namespace varnelle::lanes {

struct MathKernels {
    // out[i] = f(x[i]) for i < count; any count, x and out may be the same.
    void (*exp)(const double* x, double* out, std::size_t count);
    void (*log)(const double* x, double* out, std::size_t count);
    void (*pow_e)(const double* y, double* out, std::size_t count);  // pow(kE, y)
    void (*norm_cdf)(const double* x, double* out, std::size_t count);
};

// The set for a lane path; null for the scalar path, or where this build has
// no lanes.
const MathKernels* math_kernels(VectorPath path);

#if VARNELLE_HAVE_LANES
extern const MathKernels kAvx2Math;    // vector_math_avx2.cpp
extern const MathKernels kAvx512Math;  // vector_math_avx512.cpp
#endif

}  // namespace varnelle::lanes
