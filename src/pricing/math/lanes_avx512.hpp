// Eight doubles at a time with AVX-512 (F, DQ, VL): the same operations as
// lanes_avx2.hpp, with masks in mask registers. Include only between
// VARNELLE_TARGET_PUSH(VARNELLE_AVX512_FEATURES) and its pop
// (simd_target.hpp).
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace varnelle::lanes {

struct Avx512 {
    using D = __m512d;
    using I = __m512i;
    using M = __mmask8;
    static constexpr std::size_t kLanes = 8;

    static D load(const double* p) { return _mm512_loadu_pd(p); }
    static void store(double* p, D v) { _mm512_storeu_pd(p, v); }
    static D set(double x) { return _mm512_set1_pd(x); }

    static D add(D a, D b) { return _mm512_add_pd(a, b); }
    static D sub(D a, D b) { return _mm512_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm512_mul_pd(a, b); }
    static D div(D a, D b) { return _mm512_div_pd(a, b); }
    static D sqrt(D a) { return _mm512_sqrt_pd(a); }
    static D fma(D a, D b, D c) { return _mm512_fmadd_pd(a, b, c); }
    static D neg(D a) { return _mm512_xor_pd(a, _mm512_set1_pd(-0.0)); }
    static D abs(D a) { return _mm512_andnot_pd(_mm512_set1_pd(-0.0), a); }

    static M lt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_EQ_OQ); }
    static M ne(D a, D b) { return _mm512_cmp_pd_mask(a, b, _CMP_NEQ_UQ); }
    static M isnan(D a) { return _mm512_cmp_pd_mask(a, a, _CMP_UNORD_Q); }

    static M all_true() { return static_cast<M>(0xffu); }
    static M mand(M a, M b) { return static_cast<M>(a & b); }
    static M mor(M a, M b) { return static_cast<M>(a | b); }
    static M mnot(M a) { return static_cast<M>(~a & 0xffu); }
    static M mandnot(M a, M b) { return static_cast<M>(a & ~b & 0xffu); }
    static unsigned bits(M m) { return m; }
    static bool any(M m) { return m != 0; }
    static bool all(M m) { return m == 0xffu; }
    static D select(M m, D a, D b) { return _mm512_mask_blend_pd(m, b, a); }
    static std::size_t count(M m) { return static_cast<std::size_t>(__builtin_popcount(m)); }
    // The lanes of v where m is set, moved to the front in order; the rest 0.
    static D compress(M m, D v) { return _mm512_maskz_compress_pd(m, v); }
    // The inverse: v's first lanes, in order, moved to where m is set.
    static D expand(M m, D v) { return _mm512_maskz_expand_pd(m, v); }
    // compress as a lane order, for moving several vectors by one mask: the
    // lanes past count(m) are left unspecified.
    static I compress_order(M m) {
        return _mm512_maskz_compress_epi64(m, _mm512_setr_epi64(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static D permute(D v, I order) { return _mm512_permutexvar_pd(order, v); }

    // Nonzero bytes p[0..8) as true.
    static M from_bytes(const std::uint8_t* p) {
        const I wide = _mm512_cvtepu8_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
        return _mm512_test_epi64_mask(wide, wide);
    }

    static I bits_of(D a) { return _mm512_castpd_si512(a); }
    static D double_of(I a) { return _mm512_castsi512_pd(a); }
    static I iset(std::uint64_t x) { return _mm512_set1_epi64(static_cast<long long>(x)); }
    static I iadd(I a, I b) { return _mm512_add_epi64(a, b); }
    static I isub(I a, I b) { return _mm512_sub_epi64(a, b); }
    static I iand(I a, I b) { return _mm512_and_si512(a, b); }
    static I ixor(I a, I b) { return _mm512_xor_si512(a, b); }
    template <int N>
    static I shl(I a) { return _mm512_slli_epi64(a, N); }
    template <int N>
    static I shr(I a) { return _mm512_srli_epi64(a, N); }
    static M ieq(I a, I b) { return _mm512_cmpeq_epi64_mask(a, b); }
    // a + 1 where m is set.
    static I increment_where(M m, I a) { return _mm512_mask_add_epi64(a, m, a, _mm512_set1_epi64(1)); }

    static D gather(const double* table, I index) { return _mm512_i64gather_pd(index, table, 8); }
    static I gather(const std::uint64_t* table, I index) { return _mm512_i64gather_epi64(index, table, 8); }
    // out[j] = row index's coefficient j, for K coefficients of at most 16
    // rows stored by coefficient (by_coefficient[j * 16 + row]): each
    // coefficient's sixteen rows fit two registers, one permute picks them.
    template <std::size_t K>
    static void lookup_rows(const double*, std::size_t, const double* by_coefficient, I index, D (&out)[K]) {
        for (std::size_t j = 0; j < K; ++j) {
            const double* column = by_coefficient + 16 * j;
            out[j] = _mm512_permutex2var_pd(_mm512_loadu_pd(column), index, _mm512_loadu_pd(column + 8));
        }
    }
};

}  // namespace varnelle::lanes
