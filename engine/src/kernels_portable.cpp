// The portable variant: GCC vector extensions of four floats, which every
// target lowers to what it has (SSE2 on x86-64, NEON on AArch64, scalar code
// elsewhere). Each operation is the IEEE operation lane by lane, so the bits
// are those of scalar code.
#include "kernels.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

namespace quorvel {
namespace detail {
namespace portable {
namespace {

struct Vec {
    typedef float reg __attribute__((vector_size(16)));
    static constexpr int lanes = 4;
    static constexpr int bmu_vectors = 3;
    static constexpr int bmu_blocks = 3;
    static constexpr int update_chunk = 8;

    static reg zero() { return reg{0.0f, 0.0f, 0.0f, 0.0f}; }
    static reg load(const float *p) {
        reg a;
        std::memcpy(&a, p, sizeof a);
        return a;
    }
    static void store(float *p, reg a) { std::memcpy(p, &a, sizeof a); }
    static reg set1(float x) { return reg{x, x, x, x}; }
    static reg add(reg a, reg b) { return a + b; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg mul(reg a, reg b) { return a * b; }
    // a where a > b, else b (so b where either is NaN), as maxps computes it.
    static reg max(reg a, reg b) { return a > b ? a : b; }
    // a where a < b, else b (so b where a is NaN), as minps computes it.
    static reg min(reg a, reg b) { return a < b ? a : b; }
    // The least lane (no lane NaN).
    static float reduce_min(reg a) {
        float m = a[0];
        for (int l = 1; l < lanes; ++l)
            m = a[l] < m ? a[l] : m;
        return m;
    }
    static reg dot_step(reg acc, reg a, reg b) { return add(acc, mul(a, b)); }
    static unsigned less(reg a, reg b) {
        unsigned mask = 0;
        for (int l = 0; l < lanes; ++l)
            mask |= static_cast<unsigned>(a[l] < b[l]) << l;
        return mask;
    }
    static unsigned nonzero(reg a) {
        unsigned mask = 0;
        for (int l = 0; l < lanes; ++l)
            mask |= static_cast<unsigned>(a[l] != 0.0f) << l;
        return mask;
    }
    static unsigned tiny(reg a) {
        unsigned mask = 0;
        for (int l = 0; l < lanes; ++l) {
            const float magnitude = a[l] < 0.0f ? -a[l] : a[l];
            mask |= static_cast<unsigned>(magnitude < tiny_weight &&
                                          a[l] != 0.0f)
                    << l;
        }
        return mask;
    }
    static unsigned above(reg a, reg t) {
        unsigned mask = 0;
        for (int l = 0; l < lanes; ++l) {
            const float magnitude = a[l] < 0.0f ? -a[l] : a[l];
            mask |= static_cast<unsigned>(magnitude > t[l]) << l;
        }
        return mask;
    }
    using lanemask = unsigned;
    static lanemask make_mask(unsigned bits) { return bits; }
    static reg keep_lanes(reg a, lanemask m) {
        reg kept = zero();
        for (int l = 0; l < lanes; ++l)
            if (m >> l & 1u)
                kept[l] = a[l];
        return kept;
    }
    static reg add_where(lanemask m, reg a, reg b) {
        reg sum = b;
        for (int l = 0; l < lanes; ++l)
            if (m >> l & 1u)
                sum[l] = a[l] + b[l];
        return sum;
    }
    static reg mul_in_double(reg a, float x) {
        reg product;
        for (int l = 0; l < lanes; ++l)
            product[l] = static_cast<float>(static_cast<double>(a[l]) *
                                            static_cast<double>(x));
        return product;
    }
};

} // namespace

#include "kernels_body.h"

} // namespace portable
} // namespace detail
} // namespace quorvel
