// The math room's lane functions compiled for AVX2 (see vector_math.hpp).
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
VARNELLE_TARGET_PUSH(VARNELLE_AVX2_FEATURES)
#include "pricing/math/lanes_avx2.hpp"
#include "pricing/math/vector_arrays.hpp"

namespace varnelle::lanes {

extern constinit const MathKernels kAvx2Math = math_kernels<Avx2>();

}  // namespace varnelle::lanes
VARNELLE_TARGET_POP()
#endif
