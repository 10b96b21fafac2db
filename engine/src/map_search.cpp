// BMU searches and distance tables of the map entry points, through the
// fast kernels of the epoch (kernels.h): the same transposed codebook, tiles
// and instruction-set variants.
#include "quorvel/map.h"

#include "kernel_support.h"
#include "map_support.h"
#include "quorvel/epoch.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace quorvel {
namespace {

using detail::Variant;

// The fast kernels count vectors in 32 bits: longer inputs go in pieces.
constexpr std::size_t piece_rows = std::size_t{1} << 30;

detail::DenseBmuJob outputs_at(const BmuResults &results, std::size_t first) {
    detail::DenseBmuJob job{};
    job.nodes = results.nodes;
    job.distances = results.distances;
    job.runner_ups = results.runner_ups;
    job.runner_up_distances = results.runner_up_distances;
    return detail::outputs_from(job, first);
}

// Sparse rows of the kernels' own form (entries closed by index -1) for
// rows [first, first + count) of a CSR input: one copy of the stored values
// of those rows, owned by the caller.
SparseRows sparse_rows_of(CsrRows data, std::size_t first, std::size_t count) {
    SparseRows sparse;
    const std::int64_t begin = data.indptr[first];
    const std::int64_t end = data.indptr[first + count];
    sparse.entries.reserve(static_cast<std::size_t>(end - begin) + count);
    for (std::size_t n = first; n < first + count; ++n) {
        for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e)
            sparse.entries.push_back({data.indices[e], data.values[e]});
        sparse.entries.push_back({-1, 0.0f});
    }
    detail::point_rows(sparse, count);
    return sparse;
}

// The distance table over blocks of densified CSR rows: each thread
// densifies its own share a block at a time into its own buffer.
void distances_densified(const Variant &variant, const MapShape &shape,
                         const float *codebook, CsrRows data,
                         float *all_distances, int threads) {
    constexpr std::size_t block_rows = 64;
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    const std::uint32_t lanes = variant.lanes();
    const std::uint32_t blocks = (nodes + lanes - 1) / lanes;
    detail::AlignedFloats transposed(static_cast<std::size_t>(blocks) * lanes *
                                     dimension);
    detail::transpose_codebook(codebook, nodes, dimension, lanes,
                               transposed.data());
    std::vector<float> buffers(block_rows * dimension *
                               static_cast<std::size_t>(threads));
    const std::size_t total = data.count;
    const float *transposed_data = transposed.data();
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(variant, shape, data, all_distances, threads, buffers, total,     \
               transposed_data, nodes, dimension, block_rows)
    for (int thread = 0; thread < threads; ++thread) {
        const std::size_t begin = total * thread / threads;
        const std::size_t end = total * (thread + 1) / threads;
        float *buffer =
            buffers.data() + block_rows * dimension * static_cast<std::size_t>(thread);
        for (std::size_t first = begin; first < end; first += block_rows) {
            const std::size_t count = std::min(block_rows, end - first);
            for (std::size_t r = 0; r < count; ++r)
                detail::densify(data, first + r, dimension,
                                buffer + r * dimension);
            detail::DenseBmuJob job{};
            job.transposed = transposed_data;
            job.data = buffer;
            job.node_count = nodes;
            job.columns = shape.columns;
            job.dimension = dimension;
            variant.distances_dense(job, 0, static_cast<std::uint32_t>(count),
                                    all_distances + first * nodes);
        }
    }
}

} // namespace

const char *kernel_variant() {
    return detail::simd_level_name(detail::detected_simd_level());
}

namespace {

// The dense search over pieces of at most piece_rows vectors: outputs of
// each piece from outputs_for(first), or distance tables into `table`.
template <class Outputs>
void search_pieces(const MapShape &shape, const float *codebook,
                   DenseRows data, Outputs outputs_for, float *table,
                   int threads) {
    const Variant variant = detail::variant_of(detail::detected_simd_level());
    const std::size_t nodes = shape.node_count();
    for (std::size_t first = 0; first < data.count; first += piece_rows) {
        const auto count =
            static_cast<std::uint32_t>(std::min(piece_rows, data.count - first));
        detail::find_bmus_dense_fast(
            variant, data.values + first * shape.dimension, codebook,
            shape.node_count(), shape.columns, shape.dimension, count,
            outputs_for(first), threads,
            table == nullptr ? nullptr : table + first * nodes);
    }
}

} // namespace

void find_bmus(const MapShape &shape, const float *codebook, DenseRows data,
               const BmuResults &results, int threads) {
    search_pieces(
        shape, codebook, data,
        [&](std::size_t first) { return outputs_at(results, first); }, nullptr,
        threads);
}

void node_distances(const MapShape &shape, const float *codebook,
                    DenseRows data, float *out, int threads) {
    search_pieces(
        shape, codebook, data,
        [](std::size_t) { return detail::DenseBmuJob{}; }, out, threads);
}

SparseCodebook::SparseCodebook(const MapShape &shape, const float *codebook,
                               int threads)
    : shape_(shape),
      search_(std::make_unique<detail::SparseSearch>(
          detail::variant_of(detail::detected_simd_level()), codebook,
          shape.columns, shape.rows, shape.dimension, threads)) {}

SparseCodebook::~SparseCodebook() = default;

void find_bmus(SparseCodebook &codebook, CsrRows data,
               const BmuResults &results, int threads) {
    const MapShape &shape = codebook.shape();
    std::vector<std::int32_t> pairs;
    for (std::size_t first = 0; first < data.count; first += piece_rows) {
        const std::size_t count = std::min(piece_rows, data.count - first);
        const SparseRows sparse = sparse_rows_of(data, first, count);
        pairs.resize(2 * count);
        const bool seconds = results.runner_ups != nullptr;
        codebook.search().run(
            sparse.rows.data(), static_cast<std::uint32_t>(count), pairs.data(),
            threads, seconds ? results.runner_ups + first : nullptr,
            seconds ? results.runner_up_distances + first : nullptr,
            results.distances == nullptr ? nullptr : results.distances + first);
        for (std::size_t n = 0; n < count; ++n)
            results.nodes[first + n] = pairs[2 * n + 1] * static_cast<std::int32_t>(shape.columns) +
                                       pairs[2 * n];
    }
}

void find_bmus(const MapShape &shape, const float *codebook, CsrRows data,
               const BmuResults &results, int threads) {
    if (data.count == 0)
        return;
    SparseCodebook prepared(shape, codebook, threads);
    find_bmus(prepared, data, results, threads);
}

void node_distances(const MapShape &shape, const float *codebook,
                    CsrRows data, float *out, int threads) {
    const Variant variant = detail::variant_of(detail::detected_simd_level());
    distances_densified(variant, shape, codebook, data, out, threads);
}

void find_bmus_ref(const MapShape &shape, const float *codebook,
                   DenseRows data, const BmuResults &results) {
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    std::vector<float> distances(nodes);
    for (std::size_t n = 0; n < data.count; ++n) {
        const float *vector = data.values + n * dimension;
        for (std::uint32_t k = 0; k < nodes; ++k) {
            const float *node =
                codebook + static_cast<std::size_t>(k) * dimension;
            float sum = 0.0f;
            for (std::uint32_t i = 0; i < dimension; ++i) {
                const float difference = node[i] - vector[i];
                sum = sum + difference * difference;
            }
            distances[k] = sum;
        }
        detail::scan_distances(distances.data(), nodes, n, results);
    }
}

namespace detail {

void scan_distances(const float *distances, std::uint32_t nodes,
                    std::size_t at, const BmuResults &results) {
    float best = std::numeric_limits<float>::infinity();
    float second = std::numeric_limits<float>::infinity();
    std::int32_t best_node = -1;
    std::int32_t second_node = -1;
    for (std::uint32_t k = 0; k < nodes; ++k) {
        const float sum = distances[k];
        if (best_node < 0 || sum < best) {
            second = best;
            second_node = best_node;
            best = sum;
            best_node = static_cast<std::int32_t>(k);
        } else if (second_node < 0 || sum < second) {
            second = sum;
            second_node = static_cast<std::int32_t>(k);
        }
    }
    results.nodes[at] = best_node;
    if (results.distances != nullptr)
        results.distances[at] = best;
    if (results.runner_ups != nullptr) {
        results.runner_ups[at] = second_node;
        results.runner_up_distances[at] = second;
    }
}

} // namespace detail

} // namespace quorvel
