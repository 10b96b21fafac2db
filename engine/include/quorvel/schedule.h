// The training run: the unset-codebook test, the defaults, the epoch loop with
// its cooling schedules and the kernel dispatch.
#ifndef QUORVEL_SCHEDULE_H
#define QUORVEL_SCHEDULE_H

#include "quorvel/epoch.h"

#include <cstdint>
#include <string>

namespace quorvel {

// start - e * ((start - end) / (N - 1)) in float. A schedule of a single
// epoch (N = 1) has no slope: that epoch takes the start value.
float decay_linear(float start, float end, float epoch_count, float epoch);

// start * (end / start)^(e / N), or start * 0.1^(e / N) when end is zero; the
// logarithm and exponential are taken in double on widened floats. Where
// end / start is not a positive finite number the law has no finite value,
// and every epoch takes the start value.
float decay_exponential(float start, float end, float epoch_count, float epoch);

// Overwrites the codebook with multiples of 1/4096 in [-0.5, 0.5): srand(0),
// then one rand() per element in memory order, on the calling thread, so the
// fill does not depend on the number of threads.
void seed_codebook(float *codebook, std::uint32_t columns, std::uint32_t rows,
                   std::uint32_t dimension);

// The unset-codebook marker: 1000.0 and 2000.0 in the first two values. A
// codebook of fewer than two values never carries it.
bool codebook_is_unset(const float *codebook, std::uint32_t columns,
                       std::uint32_t rows, std::uint32_t dimension);

// A training run's settings as train() takes them, without its arrays.
struct TrainingSettings {
    std::uint32_t epoch_count;
    std::uint32_t columns;
    std::uint32_t rows;
    std::uint32_t dimension;
    std::uint32_t vector_count;
    std::uint32_t radius_start;
    std::uint32_t radius_end;
    std::string radius_cooling;
    float scale_start;
    float scale_end;
    std::string scale_cooling;
    std::uint32_t kernel_type;
    std::string map_type;
    std::string grid_type;
    bool cutoff;
    bool use_gaussian;
};

// One epoch: its radius and scale from the schedules (skipped when
// bmu_only), then the kernel that kernel_type selects: 0 and unknown codes
// dense, 1 throws std::runtime_error("Compiled without CUDA!"), 2 sparse over
// sparse_data (one row per vector of data).
void run_epoch(const float *data, const SparseRow *sparse_data, float *codebook,
               std::int32_t *bmus, const TrainingSettings &run,
               std::uint32_t epoch, bool bmu_only);

// The whole epoch loop of a training run, with the final BMU-only pass; a
// radius_start, radius_end or scale_start of 0 takes its default.
void run_epochs(const float *data, float *codebook, std::int32_t *bmus,
                TrainingSettings run);

} // namespace quorvel

#endif
