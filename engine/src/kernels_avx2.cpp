// The AVX2 variant (eight lanes), compiled with -mavx2 and run only when the
// CPU reports AVX2. FMA is never enabled for this file: every multiply and
// add is rounded on its own, as in the reference kernels.
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
namespace avx2 {
namespace {

struct Vec {
    using reg = __m256;
    static constexpr int lanes = 8;
    static constexpr int bmu_vectors = 3;
    static constexpr int bmu_blocks = 3;
    static constexpr int update_chunk = 12;

    static reg zero() { return _mm256_setzero_ps(); }
    static reg load(const float *p) { return _mm256_loadu_ps(p); }
    static void store(float *p, reg a) { _mm256_storeu_ps(p, a); }
    static reg set1(float x) { return _mm256_set1_ps(x); }
    static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
    static reg sub(reg a, reg b) { return _mm256_sub_ps(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_ps(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_ps(a, b); }
    // The least lane (no lane NaN): min is exact in any order.
    static float reduce_min(reg a) {
        __m128 m = _mm_min_ps(_mm256_castps256_ps128(a),
                              _mm256_extractf128_ps(a, 1));
        m = _mm_min_ps(m, _mm_movehl_ps(m, m));
        m = _mm_min_ss(m, _mm_shuffle_ps(m, m, 1));
        return _mm_cvtss_f32(m);
    }
    static reg dot_step(reg acc, reg a, reg b) { return add(acc, mul(a, b)); }
    static unsigned less(reg a, reg b) {
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(a, b, _CMP_LT_OQ)));
    }
    static unsigned nonzero(reg a) {
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(a, zero(), _CMP_NEQ_UQ)));
    }
    static unsigned tiny(reg a) {
        const reg magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a);
        const reg small =
            _mm256_cmp_ps(magnitude, _mm256_set1_ps(tiny_weight), _CMP_LT_OQ);
        const reg not_zero = _mm256_cmp_ps(a, zero(), _CMP_NEQ_UQ);
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_and_ps(small, not_zero)));
    }
    static unsigned above(reg a, reg t) {
        const reg magnitude = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), a);
        return static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_cmp_ps(magnitude, t, _CMP_GT_OQ)));
    }
    using lanemask = __m256;
    static lanemask make_mask(unsigned bits) {
        const __m256i lane_bits =
            _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
        const __m256i set = _mm256_and_si256(
            _mm256_set1_epi32(static_cast<int>(bits)), lane_bits);
        return _mm256_castsi256_ps(_mm256_cmpeq_epi32(set, lane_bits));
    }
    static reg keep_lanes(reg a, lanemask m) { return _mm256_and_ps(a, m); }
    static reg add_where(lanemask m, reg a, reg b) {
        return _mm256_blendv_ps(b, _mm256_add_ps(a, b), m);
    }
    static reg mul_in_double(reg a, float x) {
        const __m256d factor = _mm256_set1_pd(static_cast<double>(x));
        const __m256d low = _mm256_cvtps_pd(_mm256_castps256_ps128(a));
        const __m256d high = _mm256_cvtps_pd(_mm256_extractf128_ps(a, 1));
        const __m128 low_product = _mm256_cvtpd_ps(_mm256_mul_pd(low, factor));
        const __m128 high_product =
            _mm256_cvtpd_ps(_mm256_mul_pd(high, factor));
        return _mm256_insertf128_ps(_mm256_castps128_ps256(low_product),
                                    high_product, 1);
    }
};

} // namespace

#include "kernels_body.h"

} // namespace avx2
} // namespace detail
} // namespace quorvel
