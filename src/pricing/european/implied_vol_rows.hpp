// The European implied volatility over a batch of rows held as columns,
// each row to the bit what european_implied_vol gives for it: through eight
// or four lanes at a time where the processor and the platform allow
// (vector_path.hpp, implied_vol_lanes.hpp), otherwise row by row.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pricing/math/vector_path.hpp"

namespace varnelle {

// Row i is (price[i], s[i], k[i], t[i], r[i], q[i]) and a put where
// put[i] != 0; put may be null when every row is a call.
struct ImpliedColumns {
    const double* price;
    const double* s;
    const double* k;
    const double* t;
    const double* r;
    const double* q;
    const std::uint8_t* put;
};

// out[i] = european_implied_vol(row i) for i < count.
void european_implied_vol_rows(const ImpliedColumns& in, std::size_t count, double* out,
                               VectorPath path = active_vector_path());

namespace lanes {

// One lane width's solver (european_rows_avx2.cpp and _avx512.cpp).
using ImpliedKernel = void (*)(const ImpliedColumns&, std::size_t, double*);

}  // namespace lanes

}  // namespace varnelle
