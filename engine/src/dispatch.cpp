#include "kernels.h"

namespace quorvel {
namespace detail {
namespace {

SimdLevel detect() {
#if defined(QUORVEL_X86_KERNELS)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f"))
        return SimdLevel::avx512;
    if (__builtin_cpu_supports("avx2"))
        return SimdLevel::avx2;
#endif
    return SimdLevel::portable;
}

} // namespace

SimdLevel detected_simd_level() {
    // The CPU does not change while the process runs: detect once.
    static const SimdLevel level = detect();
    return level;
}

bool simd_level_available(SimdLevel level) {
    switch (level) {
    case SimdLevel::portable:
        return true;
    case SimdLevel::avx2:
        return detected_simd_level() != SimdLevel::portable;
    case SimdLevel::avx512:
        return detected_simd_level() == SimdLevel::avx512;
    }
    return false;
}

const char *simd_level_name(SimdLevel level) {
    switch (level) {
    case SimdLevel::portable:
        return "portable";
    case SimdLevel::avx2:
        return "avx2";
    case SimdLevel::avx512:
        return "avx512";
    }
    return "unknown";
}

// The one switch over variants. A level that is not built falls back to
// the portable variant, which every target has.
Variant variant_of(SimdLevel level) {
    switch (level) {
#if defined(QUORVEL_X86_KERNELS)
    case SimdLevel::avx512:
        return {avx512::lanes, avx512::bmu_vectors, avx512::find_bmus_dense, avx512::distances_dense,
                avx512::update_dense_row, avx512::find_bmus_sparse,
                avx512::update_sparse_row,
                avx512::prepare_sparse_jumps, avx512::add_fixed_row};
    case SimdLevel::avx2:
        return {avx2::lanes, avx2::bmu_vectors, avx2::find_bmus_dense, avx2::distances_dense, avx2::update_dense_row,
                avx2::find_bmus_sparse, avx2::update_sparse_row,
                avx2::prepare_sparse_jumps, avx2::add_fixed_row};
#endif
    default:
        return {portable::lanes, portable::bmu_vectors, portable::find_bmus_dense, portable::distances_dense,
                portable::update_dense_row, portable::find_bmus_sparse,
                portable::update_sparse_row,
                portable::prepare_sparse_jumps, portable::add_fixed_row};
    }
}

} // namespace detail
} // namespace quorvel
