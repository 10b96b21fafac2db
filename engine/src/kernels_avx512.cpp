// The AVX-512 variant (sixteen lanes), compiled with -mavx512f and run only
// when the CPU reports AVX-512F. No multiply is ever fused with an add
// (-ffp-contract=off and separate intrinsics), as in the reference kernels.
#include "kernels.h"

#include <immintrin.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace quorvel {
namespace detail {
namespace avx512 {
namespace {

struct Vec {
    using reg = __m512;
    static constexpr int lanes = 16;
    static constexpr int bmu_vectors = 4;
    static constexpr int bmu_blocks = 3;
    static constexpr int update_chunk = 16;

    static reg zero() { return _mm512_setzero_ps(); }
    static reg load(const float *p) { return _mm512_loadu_ps(p); }
    static void store(float *p, reg a) { _mm512_storeu_ps(p, a); }
    static reg set1(float x) { return _mm512_set1_ps(x); }
    static reg add(reg a, reg b) { return _mm512_add_ps(a, b); }
    static reg sub(reg a, reg b) { return _mm512_sub_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_ps(a, b); }
    static reg max(reg a, reg b) {
        return _mm512_maskz_max_ps(static_cast<__mmask16>(0xffff), a, b);
    }
    static reg min(reg a, reg b) {
        return _mm512_maskz_min_ps(static_cast<__mmask16>(0xffff), a, b);
    }
    // The least lane (no lane NaN): min is exact in any order.
    // (By halves: GCC 12's _mm512_reduce_min_ps reads an undefined source.)
    static float reduce_min(reg a) {
        const __m256 high = _mm256_castpd_ps(
            _mm512_maskz_extractf64x4_pd(0xff, _mm512_castps_pd(a), 1));
        const __m256 low = _mm256_castpd_ps(
            _mm512_maskz_extractf64x4_pd(0xff, _mm512_castps_pd(a), 0));
        const __m256 half = _mm256_min_ps(low, high);
        __m128 m = _mm_min_ps(_mm256_castps256_ps128(half),
                              _mm256_extractf128_ps(half, 1));
        m = _mm_min_ps(m, _mm_movehl_ps(m, m));
        m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static reg dot_step(reg acc, reg a, reg b) {
        return _mm512_fmadd_ps(a, b, acc);
    }
    static unsigned less(reg a, reg b) {
        return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ);
    }
    static unsigned nonzero(reg a) {
        return _mm512_cmp_ps_mask(a, zero(), _CMP_NEQ_UQ);
    }
    static unsigned tiny(reg a) {
        const reg magnitude = _mm512_castsi512_ps(
            _mm512_and_si512(_mm512_castps_si512(a),
                             _mm512_set1_epi32(0x7fffffff)));
        return _mm512_mask_cmp_ps_mask(nonzero(a), magnitude,
                                       _mm512_set1_ps(tiny_weight),
                                       _CMP_LT_OQ);
    }
    static unsigned above(reg a, reg t) {
        const reg magnitude = _mm512_castsi512_ps(
            _mm512_and_si512(_mm512_castps_si512(a),
                             _mm512_set1_epi32(0x7fffffff)));
        return _mm512_cmp_ps_mask(magnitude, t, _CMP_GT_OQ);
    }
    using lanemask = __mmask16;
    static lanemask make_mask(unsigned bits) {
        return static_cast<lanemask>(bits);
    }
    static reg keep_lanes(reg a, lanemask m) {
        return _mm512_maskz_mov_ps(m, a);
    }
    static reg add_where(lanemask m, reg a, reg b) {
        return _mm512_mask_add_ps(b, m, a, b);
    }
    // The zero-masked forms of the conversions: the plain ones pass an
    // undefined source that GCC 12 reports as uninitialised.
    static reg mul_in_double(reg a, float x) {
        const __mmask8 all = 0xff;
        const __m512d factor = _mm512_set1_pd(static_cast<double>(x));
        const __m512d low = _mm512_maskz_cvtps_pd(
            all, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(
                     all, _mm512_castps_pd(a), 0)));
        const __m512d high = _mm512_maskz_cvtps_pd(
            all, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(
                     all, _mm512_castps_pd(a), 1)));
        const __m256 low_product =
            _mm512_maskz_cvtpd_ps(all, _mm512_mul_pd(low, factor));
        const __m256 high_product =
            _mm512_maskz_cvtpd_ps(all, _mm512_mul_pd(high, factor));
        return _mm512_castpd_ps(_mm512_maskz_insertf64x4(
            all, _mm512_castps_pd(_mm512_castps256_ps512(low_product)),
            _mm256_castps_pd(high_product), 1));
    }
};

} // namespace

#include "kernels_body.h"

} // namespace avx512
} // namespace detail
} // namespace quorvel
