#include "quorvel/epoch.h"

#include "kernel_support.h"

namespace quorvel {

float squared_distance_dense_ref(const float *codebook, const float *data,
                             std::uint32_t y, std::uint32_t x,
                             std::uint32_t columns, std::uint32_t dimension,
                             std::uint32_t n) {
    const float *node =
        codebook + (static_cast<std::size_t>(y) * columns + x) * dimension;
    const float *vector = data + static_cast<std::size_t>(n) * dimension;
    // One sequential sum in increasing i: the stored BMUs depend on it.
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < dimension; ++i) {
        const float difference = node[i] - vector[i];
        sum = sum + difference * difference;
    }
    return sum;
}

void dense_epoch_ref(const float *data, float *codebook, std::int32_t *bmus,
                     const EpochSettings &settings) {
    const std::uint32_t dimension = settings.dimension;
    detail::epoch_ref(
        data, squared_distance_dense_ref, codebook, bmus, settings,
        [&](float *node, std::uint32_t x, std::uint32_t y, float *numerator,
            const detail::Neighbourhood &hood) {
            // The first vector sets the accumulators, every later one adds
            // to them, in increasing n: product rounded, then the sum.
            float denominator = detail::vector_weight(hood, bmus, x, y, 0);
            for (std::uint32_t i = 0; i < dimension; ++i)
                numerator[i] = data[i] * denominator;
            for (std::uint32_t n = 1; n < settings.vector_count; ++n) {
                const float weight = detail::vector_weight(hood, bmus, x, y, n);
                const float *vector =
                    data + static_cast<std::size_t>(n) * dimension;
                denominator = denominator + weight;
                for (std::uint32_t i = 0; i < dimension; ++i)
                    numerator[i] = vector[i] * weight + numerator[i];
            }
            detail::store_positive_quotients(node, numerator, denominator,
                                             dimension);
        });
}

namespace detail {

DenseSearch::DenseSearch(const Variant &variant, const float *data,
                         const float *codebook, std::uint32_t node_count,
                         std::uint32_t columns, std::uint32_t dimension,
                         int threads, bool screen)
    : variant_(variant),
      transposed_(static_cast<std::size_t>((node_count + variant.lanes() - 1) /
                                           variant.lanes()) *
                  variant.lanes() * dimension),
      norms_(0), screens_(0), scratch_(0), job_{} {
    const std::uint32_t lanes = variant.lanes();
    const std::uint32_t blocks = (node_count + lanes - 1) / lanes;
    transpose_codebook(codebook, node_count, dimension, lanes,
                       transposed_.data());
    job_.transposed = transposed_.data();
    job_.data = data;
    job_.node_count = node_count;
    job_.columns = columns;
    job_.dimension = dimension;
    // The screen (see the variants' screened search), where its bound holds
    // for the codebook; each run checks its own rows, which it is about to
    // read anyway (both searches give the same results).
    const bool screened =
        screen && screen_can_bound(codebook, static_cast<std::size_t>(
                                                 node_count) * dimension);
    if (!screened)
        return;
    const std::size_t padded = static_cast<std::size_t>(blocks) * lanes;
    scratch_ = padded * variant.bmu_vectors();
    norms_ = AlignedFloats(padded);
    screens_ = AlignedFloats(scratch_ * static_cast<std::size_t>(threads));
    double largest = 0.0;
    for (std::size_t k = 0; k < padded; ++k) {
        double norm = 0.0;
        if (k < node_count) {
            const float *node = codebook + k * dimension;
            for (std::uint32_t i = 0; i < dimension; ++i)
                norm += static_cast<double>(node[i]) * node[i];
        }
        largest = norm > largest ? norm : largest;
        norms_.data()[k] = static_cast<float>(norm);
    }
    const double unit = 0x1p-24;
    auto gamma = [unit](double k) { return k * unit / (1.0 - k * unit); };
    const double d = dimension;
    job_.codebook = codebook;
    job_.norms = norms_.data();
    job_.largest_norm = largest;
    job_.screen_relative =
        (gamma(d) + 2.0 * gamma(d + 3.0) + 3.1 * unit + d * 0x1p-52) * 1.01 +
        0x1p-40;
    job_.screen_absolute = 2.0 * (4.0 * d + 2.0) * 0x1p-149;
}

DenseBmuJob DenseSearch::job_for(const DenseBmuJob &outputs, int thread) const {
    DenseBmuJob job = job_;
    job.bmus = outputs.bmus;
    job.nodes = outputs.nodes;
    job.distances = outputs.distances;
    job.runner_ups = outputs.runner_ups;
    job.runner_up_distances = outputs.runner_up_distances;
    if (scratch_ != 0)
        job.screen = const_cast<float *>(screens_.data()) +
                     scratch_ * static_cast<std::size_t>(thread);
    return job;
}

void DenseSearch::run(const DenseBmuJob &outputs, int thread,
                      std::uint32_t first, std::uint32_t count) const {
    DenseBmuJob job = job_for(outputs, thread);
    job.data += static_cast<std::size_t>(first) * job.dimension;
    if (job.screen != nullptr &&
        !screen_can_bound(job.data, static_cast<std::size_t>(count) * job.dimension))
        job.screen = nullptr;
    variant_.find_bmus_dense(job, 0, count);
}

void DenseSearch::distances(int thread, std::uint32_t begin,
                            std::uint32_t end, float *all_distances) const {
    variant_.distances_dense(job_for(DenseBmuJob{}, thread), begin, end,
                             all_distances);
}

DenseBmuJob outputs_from(const DenseBmuJob &outputs, std::size_t first) {
    DenseBmuJob shifted{};
    if (outputs.bmus != nullptr)
        shifted.bmus = outputs.bmus + 2 * first;
    if (outputs.nodes != nullptr)
        shifted.nodes = outputs.nodes + first;
    if (outputs.distances != nullptr)
        shifted.distances = outputs.distances + first;
    if (outputs.runner_ups != nullptr) {
        shifted.runner_ups = outputs.runner_ups + first;
        shifted.runner_up_distances = outputs.runner_up_distances + first;
    }
    return shifted;
}

void find_bmus_dense_fast(const Variant &variant, const float *data,
                          const float *codebook, std::uint32_t node_count,
                          std::uint32_t columns, std::uint32_t dimension,
                          std::uint32_t vector_count, DenseBmuJob outputs,
                          int threads, float *all_distances) {
    const DenseSearch search(variant, data, codebook, node_count, columns,
                             dimension, threads, all_distances == nullptr);
    // Each thread takes one contiguous share of the vectors.
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(search, outputs, vector_count, threads, all_distances)
    for (int thread = 0; thread < threads; ++thread) {
        std::uint32_t begin, end;
        share_of(vector_count, threads, thread, begin, end);
        if (all_distances != nullptr)
            search.distances(thread, begin, end, all_distances);
        else
            search.run(outputs_from(outputs, begin), thread, begin, end - begin);
    }
}

void dense_epoch_at(SimdLevel level, const float *data, float *codebook,
                    std::int32_t *bmus, const EpochSettings &settings) {
    fast_epoch(
        level, settings, [&] { dense_epoch_ref(data, codebook, bmus, settings); },
        [&](const Variant &variant) {
            DenseBmuJob outputs{};
            outputs.bmus = bmus;
            find_bmus_dense_fast(variant, data, codebook,
                                 settings.columns * settings.rows,
                                 settings.columns, settings.dimension,
                                 settings.vector_count, outputs,
                                 omp_get_max_threads());
        },
        [&](const Variant &variant, const WeightTable &table) {
            const std::size_t values =
                static_cast<std::size_t>(settings.vector_count) *
                settings.dimension;
            const DataSummary summary = summarize(data, values);
            const DenseUpdateJob job{
                data, codebook, bmus, settings.columns,
                settings.dimension, settings.vector_count, table,
                summary.finite, summary.settled};
            // Map rows in contiguous blocks per thread; each node is written
            // by the one thread that owns its row, and the codebook is not
            // read.
            const std::int64_t row_count = settings.rows;
#pragma omp parallel for schedule(static) default(none) \
    shared(variant, job, row_count)
            for (std::int64_t y = 0; y < row_count; ++y)
                variant.update_dense_row(job, static_cast<std::uint32_t>(y));
        });
}

} // namespace detail

void dense_epoch(const float *data, float *codebook, std::int32_t *bmus,
                 const EpochSettings &settings) {
    detail::dense_epoch_at(detail::detected_simd_level(), data, codebook, bmus,
                           settings);
}

} // namespace quorvel
