#include "quorvel/schedule.h"

#include <cmath>
#include <limits>
#include <stdexcept>

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
               std::int32_t *bmus, const TrainingSettings &run,
               std::uint32_t epoch, bool bmu_only) {
    const float epochs = static_cast<float>(run.epoch_count);
    float radius = static_cast<float>(run.radius_start);
    float scale = run.scale_start;
    if (!bmu_only) {
        const float e = static_cast<float>(epoch);
        radius = scheduled(run.radius_cooling, radius,
                           static_cast<float>(run.radius_end), epochs, e);
        scale = scheduled(run.scale_cooling, run.scale_start, run.scale_end,
                          epochs, e);
    }

    if (run.kernel_type == 1)
        throw std::runtime_error("Compiled without CUDA!");
    const EpochSettings settings{run.columns,  run.rows,      run.dimension,
                                 run.vector_count, radius,    scale,
                                 run.map_type, run.grid_type, run.cutoff,
                                 run.use_gaussian, bmu_only};
    if (run.kernel_type == 2)
        sparse_epoch(sparse_data, codebook, bmus, settings);
    else
        dense_epoch(data, codebook, bmus, settings);
}

void run_epochs(const float *data, float *codebook, std::int32_t *bmus,
                TrainingSettings run) {
    if (codebook_is_unset(codebook, run.columns, run.rows, run.dimension))
        seed_codebook(codebook, run.columns, run.rows, run.dimension);

    if (run.radius_start == 0) {
        const std::uint32_t smaller =
            run.columns < run.rows ? run.columns : run.rows;
        run.radius_start = static_cast<std::uint32_t>(
            static_cast<float>(smaller) * 0.5f);
    }
    if (run.radius_end == 0)
        run.radius_end = 1;
    if (run.scale_start == 0.0f)
        run.scale_start = 0.1f;

    // The sparse kernel trains on rows built once from the dense data; the
    // results are the same bits as the dense kernel's.
    SparseRows sparse;
    if (run.kernel_type == 2)
        sparse = make_sparse_rows(data, run.vector_count, run.dimension);

    // epoch_count + 1 passes: the training epochs, then the BMU-only pass
    // for the trained codebook (it runs also when epoch_count is 0).
    for (std::uint64_t epoch = 0; epoch <= run.epoch_count; ++epoch)
        run_epoch(data, sparse.rows.data(), codebook, bmus, run,
                  static_cast<std::uint32_t>(epoch),
                  epoch == run.epoch_count);
}

} // namespace quorvel
