#include "quorvel/epoch.h"

#include "kernel_support.h"
#include "map_support.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace quorvel {

SparseRows make_sparse_rows(const float *data, std::uint32_t vector_count,
                            std::uint32_t dimension) {
    SparseRows sparse;
    std::size_t stored = 0;
    const std::size_t values = static_cast<std::size_t>(vector_count) * dimension;
    for (std::size_t i = 0; i < values; ++i)
        stored += data[i] != 0.0f;
    sparse.entries.reserve(stored + vector_count);
    for (std::uint32_t n = 0; n < vector_count; ++n) {
        const float *vector = data + static_cast<std::size_t>(n) * dimension;
        for (std::uint32_t i = 0; i < dimension; ++i)
            if (vector[i] != 0.0f)
                sparse.entries.push_back(
                    {static_cast<std::int32_t>(i), vector[i]});
        sparse.entries.push_back({-1, 0.0f});
    }
    detail::point_rows(sparse, vector_count);
    return sparse;
}

float squared_distance_sparse_ref(const float *codebook,
                                  const SparseRow *sparse_data,
                                  std::uint32_t y, std::uint32_t x,
                                  std::uint32_t columns,
                                  std::uint32_t dimension, std::uint32_t n) {
    const float *node =
        codebook + (static_cast<std::size_t>(y) * columns + x) * dimension;
    const SparseEntry *entry = sparse_data[n];
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < dimension; ++i) {
        float difference = node[i];
        // Each position is compared only with the current entry, so the
        // terminator (index -1) is never passed.
        if (entry->index == static_cast<std::int32_t>(i)) {
            difference = difference - entry->value;
            ++entry;
        }
        sum = sum + difference * difference;
    }
    return sum;
}

void sparse_epoch_ref(const SparseRow *sparse_data, float *codebook,
                      std::int32_t *bmus, const EpochSettings &settings) {
    detail::epoch_ref(
        sparse_data, squared_distance_sparse_ref, codebook, bmus, settings,
        [&](float *node, std::uint32_t x, std::uint32_t y, float *numerator,
            const detail::Neighbourhood &hood) {
            // Cleared for every node; only stored components are added.
            float denominator = 0.0f;
            for (std::uint32_t i = 0; i < settings.dimension; ++i)
                numerator[i] = 0.0f;
            for (std::uint32_t n = 0; n < settings.vector_count; ++n) {
                const float weight = detail::vector_weight(hood, bmus, x, y, n);
                denominator = weight + denominator;
                for (const SparseEntry *entry = sparse_data[n];
                     entry->index != -1; ++entry)
                    numerator[entry->index] =
                        entry->value * weight + numerator[entry->index];
            }
            detail::store_positive_quotients(node, numerator, denominator,
                                             settings.dimension);
        });
}

namespace detail {
namespace {

// Values this far below the float range keep every squared distance of the
// search finite: |c - v| < 2^41, a square below 2^82, a sum below 2^114.
constexpr float bounded_magnitude = 0x1p40f;

bool bounded(float value) {
    return value < bounded_magnitude && value > -bounded_magnitude;
}

// Whether the codebook's nodes [first, end) are all bounded, and the
// vectors [begin, end): the search's error bounds hold for those.
bool bounded_nodes(const float *codebook, std::uint32_t dimension,
                   std::uint32_t first_node, std::uint32_t end_node) {
    const float *node = codebook + static_cast<std::size_t>(first_node) * dimension;
    const std::size_t values =
        static_cast<std::size_t>(end_node - first_node) * dimension;
    for (std::size_t i = 0; i < values; ++i)
        if (!bounded(node[i]))
            return false;
    return true;
}

bool bounded_vectors(const SparseRow *sparse_data, std::uint32_t begin,
                     std::uint32_t end) {
    for (std::uint32_t n = begin; n < end; ++n)
        for (const SparseEntry *entry = sparse_data[n]; entry->index != -1;
             ++entry)
            if (!bounded(entry->value))
                return false;
    return true;
}

// BMU, its distance and runner-up (those set) by the reference's walk of
// every node and its scan (scan_distances), for inputs the screen cannot
// bound.
void walk_every_node(const SparseRow *sparse_data, const float *codebook,
                     std::uint32_t columns, std::uint32_t node_count,
                     std::uint32_t dimension, std::uint32_t vector_count,
                     std::int32_t *bmus, float *bmu_distances,
                     std::int32_t *runner_ups, float *runner_up_distances,
                     int threads) {
    std::vector<float> distances(static_cast<std::size_t>(node_count) *
                                 threads);
    std::vector<std::int32_t> nodes(vector_count);
    const BmuResults results{nodes.data(), bmu_distances, runner_ups,
                             runner_up_distances};
    const std::int64_t count = vector_count;
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(sparse_data, codebook, columns, node_count, dimension, bmus,       \
               results, distances, count, nodes)
    {
        float *own = distances.data() +
                     static_cast<std::size_t>(node_count) *
                         static_cast<std::size_t>(omp_get_thread_num());
#pragma omp for schedule(static)
        for (std::int64_t index = 0; index < count; ++index) {
            const auto n = static_cast<std::uint32_t>(index);
            for (std::uint32_t k = 0; k < node_count; ++k)
                own[k] = squared_distance_sparse_ref(
                    codebook, sparse_data, k / columns, k % columns, columns,
                    dimension, n);
            scan_distances(own, node_count, n, results);
            bmus[2 * static_cast<std::size_t>(n)] = nodes[n] % std::int32_t(columns);
            bmus[2 * static_cast<std::size_t>(n) + 1] =
                nodes[n] / std::int32_t(columns);
        }
    }
}

// The most (node, walked sum) pairs of one thread's group, 8 MiB.
constexpr std::size_t group_pairs = std::size_t{1} << 20;

// Jumps over unstored components (SparseJumps) pay where most vectors
// store few of many components; their tables, one pass over every node's
// components per binade, where a call has vectors enough to repay them.
constexpr std::uint32_t jump_dimension = 2048;
constexpr std::uint32_t jump_sparsity = 64;

bool jumps_pay(const SparseRow *sparse_data, std::uint32_t vector_count,
               std::uint32_t dimension, double &largest_vector_norm) {
    largest_vector_norm = 0.0;
    if (dimension < jump_dimension)
        return false;
    std::uint32_t sparse = 0;
    for (std::uint32_t n = 0; n < vector_count; ++n) {
        std::uint32_t stored = 0;
        double norm = 0.0;
        for (const SparseEntry *entry = sparse_data[n]; entry->index != -1;
             ++entry, ++stored)
            norm += static_cast<double>(entry->value) * entry->value;
        sparse += stored * jump_sparsity <= dimension;
        largest_vector_norm = std::max(largest_vector_norm, norm);
    }
    return 2 * static_cast<std::uint64_t>(sparse) >= vector_count;
}

// The binades of the jump tables: up to the binade of a bound on every
// walked sum (at most 2 (|c|^2 + |v|^2), widened for its roundings), from
// the lowest whose rounded units of a whole node stay below 2^29,
// |c|^2 / u + dimension <= 2^29 (each term rounds up by at most one half),
// and at most most_jump_binades of them. False where the norms give no bound,
// and where some node is far longer than every vector (a start far from the
// data, not a trained map, whose nodes are weighted means of the vectors):
// there the node's own squares make most of each sum, which then climbs
// through its binades along the unstored stretches and meets halfway terms
// in many spans, so that the jumps save less than the tables cost.
bool jump_window(double largest_node_norm, double largest_vector_norm,
                 std::uint32_t dimension, SparseJumps &jumps) {
    const double top = 2.0 * (largest_node_norm + largest_vector_norm) * 1.01;
    if (!(top < 0x1p120) || largest_node_norm > 4.0 * largest_vector_norm)
        return false;
    int exponent = 0;
    std::frexp(top, &exponent);
    const int top_field = std::max(1, exponent - 1 + 127);
    int field = std::max(1, top_field - static_cast<int>(most_jump_binades) + 1);
    // At the top field |c|^2 / u < 2^25, so the loop ends there at the latest.
    while (field < top_field &&
           std::ldexp(largest_node_norm, 150 - field) + dimension > 0x1p29)
        ++field;
    jumps.lowest = static_cast<std::uint32_t>(field);
    jumps.binades = static_cast<std::uint32_t>(top_field - field + 1);
    jumps.boundaries = (dimension + jump_span - 1) / jump_span + 1;
    return true;
}

} // namespace

SparseSearch::SparseSearch(const Variant &variant, const float *codebook,
                           std::uint32_t columns, std::uint32_t rows,
                           std::uint32_t dimension, int threads)
    : variant_(variant), codebook_(codebook), columns_(columns), rows_(rows),
      dimension_(dimension), node_count_(columns * rows),
      by_component_(static_cast<std::size_t>(dimension) * node_count_ +
                    variant.lanes()),
      transposed_(static_cast<std::size_t>((node_count_ + variant.lanes() - 1) /
                                           variant.lanes()) *
                  variant.lanes() * dimension),
      norms_(node_count_), position_norms_(node_count_), starts_(0) {
    // The codebook by component, padded so that a full vector load at any
    // node stays inside; each node's squared norm and position-weighted
    // norm in double; the codebook in the dense kernels' transposed blocks.
    // Each thread copies and measures its own share of the nodes (whole
    // blocks of lanes), a stretch of components at a time, so that the rows
    // being written stay in cache; each norm is summed in the components'
    // order.
    const std::uint32_t lanes = variant.lanes();
    const std::uint32_t blocks = (node_count_ + lanes - 1) / lanes;
    const std::uint32_t node_count = node_count_;
    const std::size_t by_component_size =
        static_cast<std::size_t>(dimension) * node_count;
    float *by_component = by_component_.data();
    float *transposed = transposed_.data();
    double *norms = norms_.data();
    double *position_norms = position_norms_.data();
    for (std::size_t i = 0; i < lanes; ++i)
        by_component[by_component_size + i] = 0.0f;
    int bounded = dimension <= (1u << 20) ? 1 : 0;
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(codebook, node_count, dimension, lanes, blocks, by_component,      \
               transposed, norms, position_norms, bounded)
    {
        const int thread = omp_get_thread_num();
        const int team = omp_get_num_threads();
        std::uint32_t first_block, end_block;
        share_of(blocks, team, thread, first_block, end_block);
        const std::uint32_t first_node = std::min(first_block * lanes, node_count);
        const std::uint32_t end_node = std::min(end_block * lanes, node_count);
        if (!bounded_nodes(codebook, dimension, first_node, end_node)) {
#pragma omp atomic write
            bounded = 0;
        }
        constexpr std::uint32_t stretch = 64;
        for (std::uint32_t j = first_node; j < end_node; ++j) {
            norms[j] = 0.0;
            position_norms[j] = 0.0;
        }
        for (std::uint32_t begin = 0; begin < dimension; begin += stretch) {
            const std::uint32_t end = std::min(dimension - begin, stretch) + begin;
            for (std::uint32_t j = first_node; j < end_node; ++j) {
                const float *node = codebook + static_cast<std::size_t>(j) * dimension;
                double norm = norms[j];
                double position_norm = position_norms[j];
                for (std::uint32_t i = begin; i < end; ++i) {
                    by_component[static_cast<std::size_t>(i) * node_count + j] =
                        node[i];
                    const double square = static_cast<double>(node[i]) * node[i];
                    norm += square;
                    position_norm += square * static_cast<double>(dimension - i);
                }
                norms[j] = norm;
                position_norms[j] = position_norm;
            }
        }
        if (first_node < end_node)
            transpose_codebook(
                codebook + static_cast<std::size_t>(first_node) * dimension,
                end_node - first_node, dimension, lanes,
                transposed + static_cast<std::size_t>(first_block) * lanes * dimension);
    }
    bounded_ = bounded != 0;
}

SparseBmuJob SparseSearch::job() const {
    // The float walk s of the terms t_i = fl(fl(c_i - v_i)^2), whose exact
    // values T_i sum to S: each t_i carries two roundings, so
    // |t_i - T_i| <= ((1 + u)^3 - 1) T_i, u = 2^-24, plus 2^-150 where the
    // square underflows; the d - i additions from term i to the end each
    // round it once more, all on non-negative values, so
    // |s - sum t| <= u / (1 - d u) sum t_i (d - i). Hence |s - S| <= g S with
    // g = (d + 3) u / (1 - (d + 3) u); and, with W = sum T_i (d - i) <= d S,
    // |s - S| <= ((1 + u)^3 - 1) S + u (1 + u)^3 / (1 - d u) W, which is
    // tighter where the distance's mass does not all come early. Both plus
    // 2^-149 per term. The double estimates sum at most 5 d + 16 rounded
    // operations on terms bounded by 2 (|c|^2 + |v|^2). Every bound is
    // widened slightly for the rounding of the bounds themselves.
    const double unit = 0x1p-24;
    const double terms = static_cast<double>(dimension_) + 3.0;
    const double grown = (1.0 + unit) * (1.0 + unit) * (1.0 + unit);
    const double additions = 1.0 - static_cast<double>(dimension_) * unit;
    SparseBmuJob job{};
    job.codebook = codebook_;
    job.by_component = by_component_.data();
    job.transposed = transposed_.data();
    job.norms = norms_.data();
    job.position_norms = position_norms_.data();
    job.node_count = node_count_;
    job.columns = columns_;
    job.dimension = dimension_;
    job.relative_error = terms * unit / (1.0 - terms * unit) * 1.001 + 0x1p-40;
    job.term_error = (grown - 1.0) * 1.001 + 0x1p-40;
    job.addition_error = unit * grown / additions * 1.001;
    job.absolute_error = (static_cast<double>(dimension_) + 1.0) * 0x1p-149;
    job.estimate_error = 2.0 * (5.0 * dimension_ + 16.0) * 0x1p-52 * 1.001;
    if (!units_.empty()) {
        job.jumps = jumps_;
        job.jumps.units = units_.data();
        job.jumps.starts = starts_.data();
    }
    return job;
}

void SparseSearch::make_tables(double largest_vector_norm, int threads) {
    // Cleared first, so that an allocation failure, which reaches the
    // caller, leaves a search without tables.
    units_.clear();
    units_.shrink_to_fit();
    starts_ = AlignedFloats(0);
    covered_ = largest_vector_norm;
    SparseJumps jumps{};
    if (!jump_window(*std::max_element(norms_.begin(), norms_.end()),
                     largest_vector_norm, dimension_, jumps))
        return;
    const std::uint32_t lanes = variant_.lanes();
    const std::uint32_t blocks = (node_count_ + lanes - 1) / lanes;
    const std::size_t plane = static_cast<std::size_t>(jumps.boundaries) * lanes;
    std::vector<std::uint32_t> units(static_cast<std::size_t>(blocks) *
                                     jumps.binades * plane);
    AlignedFloats starts(static_cast<std::size_t>(blocks) * plane);
    SparseBmuJob job = this->job();
    job.jumps = jumps;
    std::uint32_t *units_data = units.data();
    float *starts_data = starts.data();
    const Variant &variant = variant_;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(variant, job, blocks, units_data, starts_data)
    for (std::int64_t block = 0; block < blocks; ++block)
        variant.prepare_sparse_jumps(job, static_cast<std::uint32_t>(block),
                                     units_data, starts_data);
    jumps_ = jumps;
    units_ = std::move(units);
    starts_ = std::move(starts);
}

void SparseSearch::run(const SparseRow *sparse_data, std::uint32_t vector_count,
                       std::int32_t *bmus, int threads, std::int32_t *runner_ups,
                       float *runner_up_distances, float *distances) {
    // The tables are made by the first call whose vectors are sparse enough
    // and as many as the nodes, and made again for a call with a longer
    // vector than they were made for; any call whose vectors are sparse
    // enough walks with them. A sum beyond their binades is walked term by
    // term, so the tables change no bit, only the time.
    double largest_vector_norm = 0.0;
    const bool sparse = jumps_pay(sparse_data, vector_count, dimension_,
                                  largest_vector_norm);
    if (sparse && bounded_ && vector_count >= node_count_ &&
        largest_vector_norm > covered_)
        make_tables(std::max(largest_vector_norm, covered_), threads);
    SparseBmuJob job = this->job();
    if (!sparse)
        job.jumps = SparseJumps{};
    job.sparse_data = sparse_data;
    job.bmus = bmus;
    job.runner_ups = runner_ups;
    job.runner_up_distances = runner_up_distances;
    job.distances = distances;
    // Each thread's scratch (see SparseBmuScratch). Where the walks jump,
    // room for a whole group of vectors that keep every node (up to
    // group_pairs pairs): every walk of the group that needs a block runs
    // before the next block's, so most read its components and tables from
    // cache. Everything is allocated before the region, so that an
    // allocation failure is an ordinary exception outside it.
    const std::size_t node_count = node_count_;
    const std::size_t group = std::min<std::size_t>(
        sparse_group, (std::size_t{vector_count} + threads - 1) / threads);
    const std::size_t pair_room =
        std::max(8 * node_count, job.jumps.units != nullptr
                                     ? std::min(group * node_count, group_pairs)
                                     : 0);
    std::vector<double> estimates(node_count * threads);
    std::vector<float> dots(node_count * threads);
    std::vector<float> position_dots(node_count * threads);
    std::vector<std::uint32_t> pair_nodes(pair_room * threads);
    std::vector<float> pair_sums(pair_room * threads);
    // A thread that meets a vector beyond the search's bounds clears the
    // flag; every thread reads it after the barrier, which all of them
    // reach, and searches its own share of the vectors with its own scratch.
    int can_prune = bounded_ ? 1 : 0;
    const Variant &variant = variant_;
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(variant, job, sparse_data, vector_count, node_count, pair_room,    \
               estimates, dots, position_dots, pair_nodes, pair_sums,         \
               can_prune)
    {
        const int thread = omp_get_thread_num();
        const int team = omp_get_num_threads();
        std::uint32_t begin, end;
        share_of(vector_count, team, thread, begin, end);
        if (!bounded_vectors(sparse_data, begin, end)) {
#pragma omp atomic write
            can_prune = 0;
        }
#pragma omp barrier
        int prunable;
#pragma omp atomic read
        prunable = can_prune;
        const auto at = static_cast<std::size_t>(thread);
        const SparseBmuScratch scratch{
            estimates.data() + node_count * at, dots.data() + node_count * at,
            position_dots.data() + node_count * at,
            pair_nodes.data() + pair_room * at, pair_sums.data() + pair_room * at,
            pair_room};
        if (prunable)
            variant.find_bmus_sparse(job, begin, end, scratch);
    }
    if (can_prune)
        return;
    // Inputs the bounds cannot cover: the reference's walk of every node.
    if (runner_ups != nullptr || distances != nullptr) {
        walk_every_node(sparse_data, codebook_, columns_, node_count_,
                        dimension_, vector_count, bmus, distances, runner_ups,
                        runner_up_distances, threads);
        return;
    }
    find_bmus_ref(vector_count, rows_, columns_, bmus, threads,
                  [&](std::uint32_t y, std::uint32_t x, std::uint32_t n) {
                      return squared_distance_sparse_ref(
                          codebook_, sparse_data, y, x, columns_, dimension_, n);
                  });
}

void find_bmus_sparse_fast(const Variant &variant,
                           const SparseRow *sparse_data, const float *codebook,
                           std::uint32_t columns, std::uint32_t rows,
                           std::uint32_t dimension, std::uint32_t vector_count,
                           std::int32_t *bmus, int threads,
                           std::int32_t *runner_ups,
                           float *runner_up_distances, float *distances) {
    SparseSearch search(variant, codebook, columns, rows, dimension, threads);
    search.run(sparse_data, vector_count, bmus, threads, runner_ups,
               runner_up_distances, distances);
}

void sparse_epoch_at(SimdLevel level, const SparseRow *sparse_data,
                     float *codebook, std::int32_t *bmus,
                     const EpochSettings &settings) {
    fast_epoch(
        level, settings,
        [&] { sparse_epoch_ref(sparse_data, codebook, bmus, settings); },
        [&](const Variant &variant) {
            find_bmus_sparse_fast(variant, sparse_data, codebook,
                                  settings.columns, settings.rows,
                                  settings.dimension, settings.vector_count,
                                  bmus, omp_get_max_threads());
        },
        [&](const Variant &variant, const WeightTable &table) {
            const DataSummary summary =
                summarize(sparse_data, settings.vector_count);
            const SparseUpdateJob job{
                sparse_data, codebook, bmus, settings.columns,
                settings.dimension, settings.vector_count, table,
                summary.finite, summary.settled};
            // Each thread's numerators for one block of nodes, allocated
            // here so that an allocation failure is an ordinary exception
            // outside the region.
            const int threads = omp_get_max_threads();
            const std::size_t scratch =
                static_cast<std::size_t>(settings.dimension) * variant.lanes();
            AlignedFloats numerators(scratch *
                                     static_cast<std::size_t>(threads));
            float *numerator_base = numerators.data();
            const std::int64_t row_count = settings.rows;
#pragma omp parallel num_threads(threads) default(none) \
    shared(variant, job, row_count, numerator_base, scratch)
            {
                float *numerator =
                    numerator_base +
                    scratch * static_cast<std::size_t>(omp_get_thread_num());
#pragma omp for schedule(static)
                for (std::int64_t y = 0; y < row_count; ++y)
                    variant.update_sparse_row(
                        job, static_cast<std::uint32_t>(y), numerator);
            }
        });
}

} // namespace detail

void sparse_epoch(const SparseRow *sparse_data, float *codebook,
                  std::int32_t *bmus, const EpochSettings &settings) {
    detail::sparse_epoch_at(detail::detected_simd_level(), sparse_data,
                            codebook, bmus, settings);
}

} // namespace quorvel
