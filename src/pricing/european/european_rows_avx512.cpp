// The European lane kernels compiled for AVX512: the price and the Greeks
// (black_scholes_rows.hpp) and the implied volatility (implied_vol_rows.hpp).
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
#include <limits>

#include "pricing/core/constants.hpp"
#include "pricing/european/black_scholes_rows.hpp"
#include "pricing/european/implied_vol_rows.hpp"
#include "pricing/math/exp_log_tables.hpp"
#include "pricing/math/inverse_normal.hpp"
#include "pricing/math/normal.hpp"
#include "pricing/math/simd_target.hpp"

#if VARNELLE_HAVE_LANES
VARNELLE_TARGET_PUSH(VARNELLE_AVX512_FEATURES)
#include "pricing/european/black_scholes_lanes.hpp"
#include "pricing/european/implied_vol_lanes.hpp"
#include "pricing/math/lanes_avx512.hpp"

namespace varnelle::lanes {

extern constinit const EuropeanKernels kAvx512European = european_kernels<Avx512>();
extern constinit const ImpliedKernel kAvx512Implied = implied::implied_vol_rows<Avx512>;

}  // namespace varnelle::lanes
VARNELLE_TARGET_POP()
#endif
