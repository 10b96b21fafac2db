#include "quorvel/schedule.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace quorvel {

float decay_linear(float start, float end, float epoch_count, float epoch) {
    const float divisor = epoch_count - 1.0f;
    if (divisor == 0.0f)
        return start;
    return start - epoch * ((start - end) / divisor);
}

float decay_exponential(float start, float end, float epoch_count,
                        float epoch) {
    float k;
    if (end == 0.0f) {
        // An end of zero means a decay by a factor of ten over the schedule.
        k = static_cast<float>(-(std::log(0.1) /
                                 static_cast<double>(epoch_count)));
    } else {
        const float ratio = end / start;
        // Zero, negative, infinite or NaN ratios have no finite logarithm
        // and the law would give no finite value at any epoch.
        if (!(ratio > 0.0f && ratio <= std::numeric_limits<float>::max()))
            return start;
        const float logarithm =
            static_cast<float>(std::log(static_cast<double>(ratio)));
        k = -(logarithm / epoch_count);
    }
    const float exponent = -(k * epoch);
    return start * static_cast<float>(std::exp(static_cast<double>(exponent)));
}

namespace {

float scheduled(const std::string &cooling, float start, float end,
                float epoch_count, float epoch) {
    if (cooling == "linear")
        return decay_linear(start, end, epoch_count, epoch);
    return decay_exponential(start, end, epoch_count, epoch);
}

} // namespace

void run_epoch(const float *data, const SparseRow *sparse_data, float *codebook,
               std::int32_t *bmus, std::uint32_t epoch_count,
               std::uint32_t epoch, std::uint32_t columns, std::uint32_t rows,
               std::uint32_t dimension, std::uint32_t vector_count,
               std::uint32_t radius_start, std::uint32_t radius_end,
               std::string radius_cooling, float scale_start, float scale_end,
               std::string scale_cooling, std::uint32_t kernel_type,
               std::string map_type, std::string grid_type, bool cutoff,
               bool use_gaussian, bool bmu_only) {
    const float epochs = static_cast<float>(epoch_count);
    float radius = static_cast<float>(radius_start);
    float scale = scale_start;
    if (!bmu_only) {
        const float e = static_cast<float>(epoch);
        radius = scheduled(radius_cooling, radius,
                           static_cast<float>(radius_end), epochs, e);
        scale = scheduled(scale_cooling, scale_start, scale_end, epochs, e);
    }

    switch (kernel_type) {
    case 1:
        throw std::runtime_error("Compiled without CUDA!");
    case 2:
        sparse_epoch(sparse_data, codebook, columns, rows, dimension,
                     vector_count, radius, scale, std::move(map_type),
                     std::move(grid_type), cutoff, use_gaussian, bmus,
                     bmu_only);
        return;
    default:
        dense_epoch(data, codebook, columns, rows, dimension, vector_count,
                    radius, scale, std::move(map_type), std::move(grid_type),
                    cutoff, use_gaussian, bmus, bmu_only);
        return;
    }
}

void run_epochs(const float *data, float *codebook, std::int32_t *bmus,
                std::uint32_t columns, std::uint32_t rows,
                std::uint32_t dimension, std::uint32_t vector_count,
                std::uint32_t epoch_count, std::uint32_t radius_start,
                std::uint32_t radius_end, std::string radius_cooling,
                float scale_start, float scale_end, std::string scale_cooling,
                std::uint32_t kernel_type, std::string map_type,
                std::string grid_type, bool cutoff, bool use_gaussian) {
    if (codebook_is_unset(codebook, columns, rows, dimension))
        seed_codebook(codebook, columns, rows, dimension);

    if (radius_start == 0) {
        const std::uint32_t smaller = columns < rows ? columns : rows;
        radius_start = static_cast<std::uint32_t>(
            static_cast<float>(smaller) * 0.5f);
    }
    if (radius_end == 0)
        radius_end = 1;
    if (scale_start == 0.0f)
        scale_start = 0.1f;

    // The sparse kernel trains on rows built once from the dense data; the
    // results are the same bits as the dense kernel's.
    SparseRows sparse;
    if (kernel_type == 2)
        sparse = make_sparse_rows(data, vector_count, dimension);

    // epoch_count + 1 passes: the training epochs, then the BMU-only pass
    // for the trained codebook (it runs also when epoch_count is 0).
    for (std::uint64_t epoch = 0; epoch <= epoch_count; ++epoch) {
        const bool bmu_only = epoch == epoch_count;
        run_epoch(data, sparse.rows.data(), codebook, bmus, epoch_count,
                  static_cast<std::uint32_t>(epoch), columns, rows, dimension,
                  vector_count, radius_start, radius_end, radius_cooling,
                  scale_start, scale_end, scale_cooling, kernel_type, map_type,
                  grid_type, cutoff, use_gaussian, bmu_only);
    }
}

} // namespace quorvel
