// Four doubles at a time with AVX2 and FMA: the operations the lane
// algorithms (vector_exp.hpp and its kin) are written in. Include only
// between VARNELLE_TARGET_PUSH(VARNELLE_AVX2_FEATURES) and its pop
// (simd_target.hpp).
//
// Every arithmetic operation is the single IEEE operation of its scalar
// namesake, so a lane gives what a scalar double would; fma is used only
// where the platform's own exp and log fuse.
#pragma once

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace varnelle::lanes {

namespace detail {

// Lane moves for compress and expand by mask: the 32-bit halves of the
// doubles to take, for _mm256_permutevar8x32_ps.
struct LaneMoves {
    alignas(32) std::int32_t index[16][8];
};

constexpr LaneMoves lane_moves(bool expand) {
    LaneMoves moves{};
    for (int mask = 0; mask < 16; ++mask) {
        int next = 0;
        int from[4] = {0, 0, 0, 0};
        for (int lane = 0; lane < 4; ++lane) {
            if ((mask >> lane) & 1) {
                if (expand) {
                    from[lane] = next++;  // lane takes v's next element
                } else {
                    from[next++] = lane;  // the next front lane takes this lane
                }
            }
        }
        for (int lane = 0; lane < 4; ++lane) {
            moves.index[mask][2 * lane] = 2 * from[lane];
            moves.index[mask][2 * lane + 1] = 2 * from[lane] + 1;
        }
    }
    return moves;
}

inline constexpr LaneMoves kCompressMoves = lane_moves(false);
inline constexpr LaneMoves kExpandMoves = lane_moves(true);

// All ones in the first n lanes.
alignas(32) inline constexpr std::int64_t kFrontLanes[5][4] = {
    {0, 0, 0, 0}, {-1, 0, 0, 0}, {-1, -1, 0, 0}, {-1, -1, -1, 0}, {-1, -1, -1, -1}};

}  // namespace detail

struct Avx2 {
    using D = __m256d;
    using I = __m256i;
    using M = __m256d;  // all ones in a lane where true
    static constexpr std::size_t kLanes = 4;

private:
    static D permute(D v, const detail::LaneMoves& moves, unsigned mask) {
        return permute(v, _mm256_load_si256(reinterpret_cast<const I*>(moves.index[mask])));
    }

public:

    static D load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, D v) { _mm256_storeu_pd(p, v); }
    static D set(double x) { return _mm256_set1_pd(x); }

    static D add(D a, D b) { return _mm256_add_pd(a, b); }
    static D sub(D a, D b) { return _mm256_sub_pd(a, b); }
    static D mul(D a, D b) { return _mm256_mul_pd(a, b); }
    static D div(D a, D b) { return _mm256_div_pd(a, b); }
    static D sqrt(D a) { return _mm256_sqrt_pd(a); }
    static D fma(D a, D b, D c) { return _mm256_fmadd_pd(a, b, c); }
    static D neg(D a) { return _mm256_xor_pd(a, _mm256_set1_pd(-0.0)); }
    static D abs(D a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }

    // Comparisons as C++ writes them: false for a NaN, except !=.
    static M lt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static M le(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_LE_OQ); }
    static M gt(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GT_OQ); }
    static M ge(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    static M eq(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_EQ_OQ); }
    static M ne(D a, D b) { return _mm256_cmp_pd(a, b, _CMP_NEQ_UQ); }
    static M isnan(D a) { return _mm256_cmp_pd(a, a, _CMP_UNORD_Q); }

    static M all_true() { return _mm256_castsi256_pd(_mm256_set1_epi64x(-1)); }
    static M mand(M a, M b) { return _mm256_and_pd(a, b); }
    static M mor(M a, M b) { return _mm256_or_pd(a, b); }
    static M mnot(M a) { return _mm256_xor_pd(a, all_true()); }
    static M mandnot(M a, M b) { return _mm256_andnot_pd(b, a); }  // a and not b
    static unsigned bits(M m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    static bool any(M m) { return bits(m) != 0; }
    static bool all(M m) { return bits(m) == 0xfu; }
    // m ? a : b, lane by lane.
    static D select(M m, D a, D b) { return _mm256_blendv_pd(b, a, m); }
    static std::size_t count(M m) { return static_cast<std::size_t>(__builtin_popcount(bits(m))); }
    // The lanes of v where m is set, moved to the front in order; the rest 0.
    static D compress(M m, D v) {
        const I front = _mm256_load_si256(reinterpret_cast<const I*>(detail::kFrontLanes[count(m)]));
        return _mm256_and_pd(permute(v, detail::kCompressMoves, bits(m)), _mm256_castsi256_pd(front));
    }
    // The inverse: v's first lanes, in order, moved to where m is set.
    static D expand(M m, D v) { return _mm256_and_pd(permute(v, detail::kExpandMoves, bits(m)), m); }
    // compress as a lane order, for moving several vectors by one mask: the
    // lanes past count(m) are left unspecified.
    static I compress_order(M m) {
        return _mm256_load_si256(reinterpret_cast<const I*>(detail::kCompressMoves.index[bits(m)]));
    }
    static D permute(D v, I order) { return _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(v), order)); }

    // Nonzero bytes p[0..4) as true.
    static M from_bytes(const std::uint8_t* p) {
        std::int32_t word;
        std::memcpy(&word, p, sizeof word);
        const I wide = _mm256_cvtepu8_epi64(_mm_cvtsi32_si128(word));
        return _mm256_castsi256_pd(_mm256_cmpgt_epi64(wide, _mm256_setzero_si256()));
    }

    // The 64 bits of each lane as an integer, and back.
    static I bits_of(D a) { return _mm256_castpd_si256(a); }
    static D double_of(I a) { return _mm256_castsi256_pd(a); }
    static I iset(std::uint64_t x) { return _mm256_set1_epi64x(static_cast<long long>(x)); }
    static I iadd(I a, I b) { return _mm256_add_epi64(a, b); }
    static I isub(I a, I b) { return _mm256_sub_epi64(a, b); }
    static I iand(I a, I b) { return _mm256_and_si256(a, b); }
    static I ixor(I a, I b) { return _mm256_xor_si256(a, b); }
    template <int N>
    static I shl(I a) { return _mm256_slli_epi64(a, N); }
    template <int N>
    static I shr(I a) { return _mm256_srli_epi64(a, N); }  // logical
    static M ieq(I a, I b) { return _mm256_castsi256_pd(_mm256_cmpeq_epi64(a, b)); }
    // a + 1 where m is set (a true lane is -1).
    static I increment_where(M m, I a) { return _mm256_sub_epi64(a, _mm256_castpd_si256(m)); }

    // table[index] per lane.
    static D gather(const double* table, I index) { return _mm256_i64gather_pd(table, index, 8); }
    static I gather(const std::uint64_t* table, I index) {
        return _mm256_i64gather_epi64(reinterpret_cast<const long long*>(table), index, 8);
    }
    // out[j] = row index's coefficient j, for K coefficients of rows stored
    // by row (by_row[row * stride + j], stride even, rows 16-byte aligned):
    // each lane's pairs of coefficients are loaded and transposed, which
    // four-lane gathers cannot match.
    template <std::size_t K>
    static void lookup_rows(const double* by_row, std::size_t stride, const double*, I index, D (&out)[K]) {
        alignas(32) std::int64_t rows[4];
        _mm256_store_si256(reinterpret_cast<I*>(rows), index);
        const double* r0 = by_row + static_cast<std::size_t>(rows[0]) * stride;
        const double* r1 = by_row + static_cast<std::size_t>(rows[1]) * stride;
        const double* r2 = by_row + static_cast<std::size_t>(rows[2]) * stride;
        const double* r3 = by_row + static_cast<std::size_t>(rows[3]) * stride;
        for (std::size_t j = 0; j < K; j += 2) {
            const D a = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(r0 + j)), _mm_load_pd(r2 + j), 1);
            const D b = _mm256_insertf128_pd(_mm256_castpd128_pd256(_mm_load_pd(r1 + j)), _mm_load_pd(r3 + j), 1);
            out[j] = _mm256_unpacklo_pd(a, b);
            if (j + 1 < K) out[j + 1] = _mm256_unpackhi_pd(a, b);
        }
    }
};

}  // namespace varnelle::lanes
