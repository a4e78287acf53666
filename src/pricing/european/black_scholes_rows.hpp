// The European functions over a batch of rows held as columns: the price
// and the Black-Scholes Greeks for count rows at once, each row to the bit
// what the single-row function (european_price, black_scholes_delta, ...)
// gives for it.
//
// On a processor with AVX-512 or AVX2 the rows go through eight or four lanes
// at a time (black_scholes_lanes.hpp); elsewhere, or when the lanes' exp and
// log do not reproduce the platform's (vector_path.hpp), through the
// single-row functions. The path defaults to the one this process chose;
// the tests pass each path explicitly.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pricing/math/vector_path.hpp"

namespace varnelle {

// Row i is (s[i], k[i], t[i], r[i], sigma[i], q[i]) and a put where
// put[i] != 0; put may be null when every row is a call (and is not read by
// gamma and vega). Each pointer is a contiguous run of count values.
struct EuropeanColumns {
    const double* s;
    const double* k;
    const double* t;
    const double* r;
    const double* sigma;
    const double* q;
    const std::uint8_t* put;
};

// Where bs_greeks writes: one contiguous run of count values per Greek.
struct GreeksColumns {
    double* delta;
    double* gamma;
    double* theta;
    double* vega;
    double* rho;
};

// out[i] = f(row i) for i < count; any count, 0 included.
void european_price_rows(const EuropeanColumns& in, std::size_t count, double* out,
                         VectorPath path = active_vector_path());
void black_scholes_delta_rows(const EuropeanColumns& in, std::size_t count, double* out,
                              VectorPath path = active_vector_path());
void black_scholes_gamma_rows(const EuropeanColumns& in, std::size_t count, double* out,
                              VectorPath path = active_vector_path());
void black_scholes_theta_rows(const EuropeanColumns& in, std::size_t count, double* out,
                              VectorPath path = active_vector_path());
void black_scholes_vega_rows(const EuropeanColumns& in, std::size_t count, double* out,
                             VectorPath path = active_vector_path());
void black_scholes_rho_rows(const EuropeanColumns& in, std::size_t count, double* out,
                            VectorPath path = active_vector_path());
void black_scholes_greeks_rows(const EuropeanColumns& in, std::size_t count, const GreeksColumns& out,
                               VectorPath path = active_vector_path());

namespace lanes {

// One lane width's kernels (european_rows_avx2.cpp and _avx512.cpp).
struct EuropeanKernels {
    using One = void (*)(const EuropeanColumns&, std::size_t, double*);
    One price, delta, gamma, theta, vega, rho;
    void (*greeks)(const EuropeanColumns&, std::size_t, const GreeksColumns&);
};

}  // namespace lanes

}  // namespace varnelle
