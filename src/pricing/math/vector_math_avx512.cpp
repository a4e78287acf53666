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

namespace varnelle::lanes {

extern constinit const MathKernels kAvx512Math = math_kernels<Avx512>();

}  // namespace varnelle::lanes
VARNELLE_TARGET_POP()
#endif
