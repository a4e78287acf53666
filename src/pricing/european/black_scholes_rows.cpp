#include "pricing/european/black_scholes_rows.hpp"

#include <algorithm>
#include <cstddef>

#include "pricing/core/types.hpp"
#include "pricing/european/batch.hpp"
#include "pricing/european/black_scholes.hpp"
#include "pricing/european/european.hpp"
#include "pricing/math/simd_target.hpp"

namespace varnelle {

namespace lanes {
#if VARNELLE_HAVE_LANES
extern const EuropeanKernels kAvx2European;    // european_rows_avx2.cpp
extern const EuropeanKernels kAvx512European;  // european_rows_avx512.cpp
#endif
}  // namespace lanes

namespace {

// The kernels of a lane path this processor runs; null for the scalar path.
const lanes::EuropeanKernels* kernels_for(VectorPath path) {
#if VARNELLE_HAVE_LANES
    if (path != VectorPath::Scalar && vector_path_supported(path)) {
        return path == VectorPath::Avx512 ? &lanes::kAvx512European : &lanes::kAvx2European;
    }
#else
    (void)path;
#endif
    return nullptr;
}

OptionInputs row_of(const EuropeanColumns& in, std::size_t i) {
    return {in.s[i], in.k[i], in.t[i], in.r[i], in.sigma[i], in.q[i]};
}

OptionType side_of(const EuropeanColumns& in, std::size_t i) {
    return in.put != nullptr && in.put[i] != 0 ? OptionType::Put : OptionType::Call;
}

// The scalar path of a staged operation: batches through evaluate_batch, as
// the array module's loops run it.
template <class Op>
void staged_rows(const EuropeanColumns& in, std::size_t count, double* const (&out)[Op::kOutputs]) {
    OptionInputs rows[kBatchRows];
    OptionType sides[kBatchRows];
    double results[kBatchRows * Op::kOutputs];
    for (std::size_t start = 0; start < count; start += kBatchRows) {
        const std::size_t n = std::min(kBatchRows, count - start);
        for (std::size_t i = 0; i < n; ++i) {
            rows[i] = row_of(in, start + i);
            sides[i] = side_of(in, start + i);
        }
        evaluate_batch<Op>(rows, sides, n, results);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < Op::kOutputs; ++j) out[j][start + i] = results[i * Op::kOutputs + j];
        }
    }
}

template <class Op>
void one_output(const EuropeanColumns& in, std::size_t count, double* out) {
    double* const outs[1] = {out};
    staged_rows<Op>(in, count, outs);
}

}  // namespace

void european_price_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->price(in, count, out);
    one_output<EuropeanPrice>(in, count, out);
}

void black_scholes_delta_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->delta(in, count, out);
    one_output<BlackScholesDelta>(in, count, out);
}

void black_scholes_gamma_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->gamma(in, count, out);
    for (std::size_t i = 0; i < count; ++i) out[i] = black_scholes_gamma(row_of(in, i));
}

void black_scholes_theta_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->theta(in, count, out);
    one_output<BlackScholesTheta>(in, count, out);
}

void black_scholes_vega_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->vega(in, count, out);
    for (std::size_t i = 0; i < count; ++i) out[i] = black_scholes_vega(row_of(in, i));
}

void black_scholes_rho_rows(const EuropeanColumns& in, std::size_t count, double* out, VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->rho(in, count, out);
    one_output<BlackScholesRho>(in, count, out);
}

void black_scholes_greeks_rows(const EuropeanColumns& in, std::size_t count, const GreeksColumns& out,
                               VectorPath path) {
    if (const auto* k = kernels_for(path)) return k->greeks(in, count, out);
    double* const outs[5] = {out.delta, out.gamma, out.theta, out.vega, out.rho};
    staged_rows<BlackScholesGreeks>(in, count, outs);
}

}  // namespace varnelle
