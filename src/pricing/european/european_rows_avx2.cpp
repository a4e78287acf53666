// The European lane kernels compiled for AVX2: the price and the Greeks
// (black_scholes_rows.hpp) and the implied volatility (implied_vol_rows.hpp).

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
VARNELLE_TARGET_PUSH(VARNELLE_AVX2_FEATURES)
#include "pricing/european/black_scholes_lanes.hpp"
#include "pricing/european/implied_vol_lanes.hpp"
#include "pricing/math/lanes_avx2.hpp"

namespace varnelle::lanes {

extern constinit const EuropeanKernels kAvx2European = european_kernels<Avx2>();
extern constinit const ImpliedKernel kAvx2Implied = implied::implied_vol_rows<Avx2>;

}  // namespace varnelle::lanes
VARNELLE_TARGET_POP()
#endif
