#include "pricing/european/implied_vol_rows.hpp"

#include <cstddef>

#include "pricing/core/types.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/math/simd_target.hpp"

namespace varnelle {

namespace lanes {
#if VARNELLE_HAVE_LANES
extern const ImpliedKernel kAvx2Implied;    // european_rows_avx2.cpp
extern const ImpliedKernel kAvx512Implied;  // european_rows_avx512.cpp
#endif
}  // namespace lanes

void european_implied_vol_rows(const ImpliedColumns& in, std::size_t count, double* out, VectorPath path) {
#if VARNELLE_HAVE_LANES
    if (path != VectorPath::Scalar && vector_path_supported(path)) {
        return (path == VectorPath::Avx512 ? lanes::kAvx512Implied : lanes::kAvx2Implied)(in, count, out);
    }
#else
    (void)path;
#endif
    for (std::size_t i = 0; i < count; ++i) {
        const OptionType type = in.put != nullptr && in.put[i] != 0 ? OptionType::Put : OptionType::Call;
        out[i] = european_implied_vol(in.price[i], in.s[i], in.k[i], in.t[i], in.r[i], in.q[i], type);
    }
}

}  // namespace varnelle
