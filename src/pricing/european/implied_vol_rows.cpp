#include "pricing/european/implied_vol_rows.hpp"

#include <cstddef>

#include "pricing/core/types.hpp"
#include "pricing/european/implied_vol.hpp"
#include "pricing/math/simd_target.hpp"

namespace varnelle {

void european_implied_vol_rows(const ImpliedColumns& in, std::size_t count, double* out, VectorPath path) {
#if VARNELLE_HAVE_LANES
    if (const auto* kernel = lanes::kernel_for(path, lanes::kAvx2Implied, lanes::kAvx512Implied)) {
        return (*kernel)(in, count, out);
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
