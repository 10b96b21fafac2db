// Missing values in the map entry points (quorvel/map.h): BMU searches and
// distance tables over the observed features of each row. Their per-node
// sums and neighbourhood are those of complete rows with a weight per node
// and feature (map_sums.cpp).
//
// Complete rows go through the entry points of map_search.cpp, in blocks
// gathered from the input: under the masked rule their scale is exactly 1,
// so those entry points give them the very bits of the masked scan, at the
// speed of the fast kernels. Only rows with a missing value take the masked
// scan of this file, one row against every node of a transposed codebook.
#include "quorvel/map.h"

#include "map_support.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <type_traits>
#include <vector>

namespace quorvel {
namespace {

constexpr float not_a_number = std::numeric_limits<float>::quiet_NaN();

// Values gathered per block of complete rows, at most: a block is a few
// megabytes whatever the shape of the data.
constexpr std::size_t block_values = std::size_t{1} << 22;
constexpr std::size_t most_block_rows = 8192;

std::size_t block_rows_for(std::size_t width) {
    const std::size_t rows = block_values / std::max<std::size_t>(1, width);
    return std::clamp<std::size_t>(rows, 64, most_block_rows);
}

// Which rows are complete, which have missing values but still a BMU, and
// which have none; each list in increasing row order.
struct RowPlan {
    std::vector<std::uint32_t> observed; // per row
    std::vector<std::size_t> complete;
    std::vector<std::size_t> partial;
    std::vector<std::size_t> left_out;
};

// The observed values of row n.
std::uint32_t observed_count(DenseRows data, std::size_t n,
                             std::uint32_t dimension) {
    const float *row = data.values + n * dimension;
    std::uint32_t seen = 0;
    for (std::uint32_t f = 0; f < dimension; ++f)
        seen += std::isnan(row[f]) ? 0u : 1u;
    return seen;
}

std::uint32_t observed_count(CsrRows data, std::size_t n,
                             std::uint32_t dimension) {
    std::uint32_t missing = 0;
    for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e)
        missing += std::isnan(data.values[e]) ? 1u : 0u;
    return dimension - missing;
}

template <class Rows>
RowPlan plan_of(Rows data, std::uint32_t dimension, std::uint32_t most_missing,
                int threads) {
    RowPlan plan;
    plan.observed.resize(data.count);
    const std::int64_t count = static_cast<std::int64_t>(data.count);
    std::uint32_t *observed = plan.observed.data();
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(count, observed, data, dimension)
    for (std::int64_t n = 0; n < count; ++n)
        observed[n] =
            observed_count(data, static_cast<std::size_t>(n), dimension);
    for (std::size_t n = 0; n < data.count; ++n) {
        const std::uint32_t seen = plan.observed[n];
        if (seen == dimension && dimension > 0)
            plan.complete.push_back(n);
        else if (seen == 0 || dimension - seen > most_missing)
            plan.left_out.push_back(n);
        else
            plan.partial.push_back(n);
    }
    return plan;
}

// Nodes per tile of the masked scan: one tile's sums stay in registers
// while the row's observed features go by.
constexpr std::size_t node_tile = 16;

std::size_t padded_nodes(std::size_t nodes) {
    return (nodes + node_tile - 1) / node_tile * node_tile;
}

// The codebook feature after feature: entry f * padded_nodes + k is
// component f of node k (zero past the last node), so that one observed
// feature of a row meets a tile of nodes in one contiguous load.
std::vector<float> features_first(const float *codebook, std::uint32_t nodes,
                                  std::uint32_t dimension) {
    const std::size_t width = padded_nodes(nodes);
    std::vector<float> out(width * dimension, 0.0f);
    for (std::uint32_t k = 0; k < nodes; ++k)
        for (std::uint32_t f = 0; f < dimension; ++f)
            out[static_cast<std::size_t>(f) * width + k] =
                codebook[static_cast<std::size_t>(k) * dimension + f];
    return out;
}

// The observed features of a row and their values, in increasing order;
// returns their count.
std::uint32_t observed_of(const float *row, std::uint32_t dimension,
                          std::uint32_t *features, float *values) {
    std::uint32_t seen = 0;
    for (std::uint32_t f = 0; f < dimension; ++f) {
        if (std::isnan(row[f]))
            continue;
        features[seen] = f;
        values[seen] = row[f];
        ++seen;
    }
    return seen;
}

float scale_of(std::uint32_t dimension, std::uint32_t observed) {
    return static_cast<float>(dimension) / static_cast<float>(observed);
}

// The scaled squared distance of a row to every node (padded_nodes values,
// those past the last node meaningless): for every node the same float
// operations, in the same order, as the oracle's walk, a tile of nodes at a
// time.
void masked_distances(const float *transposed, std::size_t nodes,
                      const std::uint32_t *features, const float *values,
                      std::uint32_t observed, float scale,
                      float *__restrict out) {
    const std::size_t width = padded_nodes(nodes);
    for (std::size_t first = 0; first < width; first += node_tile) {
        float sums[node_tile];
        for (std::size_t t = 0; t < node_tile; ++t)
            sums[t] = 0.0f;
        for (std::uint32_t i = 0; i < observed; ++i) {
            const float *__restrict node_values =
                transposed + static_cast<std::size_t>(features[i]) * width +
                first;
            const float x = values[i];
            for (std::size_t t = 0; t < node_tile; ++t) {
                const float difference = node_values[t] - x;
                sums[t] = sums[t] + difference * difference;
            }
        }
        for (std::size_t t = 0; t < node_tile; ++t)
            out[first + t] = sums[t] * scale;
    }
}

void no_bmu(std::size_t at, const BmuResults &results) {
    results.nodes[at] = -1;
    if (results.distances != nullptr)
        results.distances[at] = not_a_number;
    if (results.runner_ups != nullptr) {
        results.runner_ups[at] = -1;
        results.runner_up_distances[at] = not_a_number;
    }
}

// Row n as dense floats: a dense row where it lies, a CSR row written out
// into `buffer` (dimension floats).
const float *dense_row(DenseRows data, std::size_t n, std::uint32_t dimension,
                       float *) {
    return data.values + n * dimension;
}

const float *dense_row(CsrRows data, std::size_t n, std::uint32_t dimension,
                       float *buffer) {
    detail::densify(data, n, dimension, buffer);
    return buffer;
}

// Per-thread scratch of the masked scan: a dense copy of the row (for CSR
// input), its observed features and values, and one distance per node.
struct Scratch {
    std::vector<float> rows;
    std::vector<std::uint32_t> features;
    std::vector<float> values;
    std::vector<float> distances;
    Scratch(int threads, std::uint32_t dimension, std::uint32_t nodes,
            bool dense_copy) {
        const auto team = static_cast<std::size_t>(threads);
        rows.resize(dense_copy ? team * dimension : 0);
        features.resize(team * dimension);
        values.resize(team * dimension);
        distances.resize(team * padded_nodes(nodes));
    }
};

// Runs the masked scan over the partial rows of the plan; `use(n,
// distances)` takes row n's scaled distances. Rows are shared among the
// threads in contiguous blocks.
template <class Rows, class Use>
void scan_partial_rows(const MapShape &shape, const float *codebook,
                       Rows data, const RowPlan &plan, int threads, Use use) {
    if (plan.partial.empty())
        return;
    constexpr bool dense_copy = std::is_same_v<Rows, CsrRows>;
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    const std::vector<float> transposed =
        features_first(codebook, nodes, dimension);
    Scratch scratch(threads, dimension, nodes, dense_copy);
    const std::int64_t count = static_cast<std::int64_t>(plan.partial.size());
    const float *columns_first = transposed.data();
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(scratch, plan, count, columns_first, nodes, dimension, data, use)
    {
        const auto thread = static_cast<std::size_t>(omp_get_thread_num());
        float *row_buffer =
            dense_copy ? scratch.rows.data() + thread * dimension : nullptr;
        std::uint32_t *features = scratch.features.data() + thread * dimension;
        float *values = scratch.values.data() + thread * dimension;
        float *distances =
            scratch.distances.data() + thread * padded_nodes(nodes);
#pragma omp for schedule(static)
        for (std::int64_t i = 0; i < count; ++i) {
            const std::size_t n = plan.partial[static_cast<std::size_t>(i)];
            const float *row = dense_row(data, n, dimension, row_buffer);
            const std::uint32_t observed =
                observed_of(row, dimension, features, values);
            masked_distances(columns_first, nodes, features, values, observed,
                             scale_of(dimension, observed), distances);
            use(n, distances);
        }
    }
}

// Complete dense rows through `search(rows, first)`, `block` rows at a time,
// where `first` is the position of the block's rows in the list `rows`.
template <class Gathered>
void gather_rows(DenseRows data, std::uint32_t dimension,
                 const std::vector<std::size_t> &rows, std::size_t block,
                 int threads, Gathered search) {
    std::vector<float> buffer(std::min(block, rows.size()) *
                              static_cast<std::size_t>(dimension));
    float *target = buffer.data();
    const float *source = data.values;
    for (std::size_t first = 0; first < rows.size(); first += block) {
        const std::int64_t count =
            static_cast<std::int64_t>(std::min(block, rows.size() - first));
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(count, rows, first, target, source, dimension)
        for (std::int64_t r = 0; r < count; ++r) {
            const float *from =
                source + rows[first + static_cast<std::size_t>(r)] * dimension;
            std::copy(from, from + dimension,
                      target + static_cast<std::size_t>(r) * dimension);
        }
        search(DenseRows{target, static_cast<std::size_t>(count)}, first);
    }
}

// The same for CSR rows: each block copied into CSR arrays of its own.
template <class Gathered>
void gather_rows(CsrRows data, std::uint32_t,
                 const std::vector<std::size_t> &rows, std::size_t block, int,
                 Gathered search) {
    std::vector<float> values;
    std::vector<std::int32_t> indices;
    std::vector<std::int64_t> indptr;
    for (std::size_t first = 0; first < rows.size(); first += block) {
        const std::size_t count = std::min(block, rows.size() - first);
        values.clear();
        indices.clear();
        indptr.assign(1, 0);
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t n = rows[first + r];
            values.insert(values.end(), data.values + data.indptr[n],
                          data.values + data.indptr[n + 1]);
            indices.insert(indices.end(), data.indices + data.indptr[n],
                           data.indices + data.indptr[n + 1]);
            indptr.push_back(static_cast<std::int64_t>(values.size()));
        }
        search(CsrRows{values.data(), indices.data(), indptr.data(), count},
               first);
    }
}

// Per-row outputs for a block of gathered rows, scattered afterwards.
struct BlockResults {
    std::vector<std::int32_t> nodes, runner_ups;
    std::vector<float> distances, runner_up_distances;
    BlockResults(std::size_t block, const BmuResults &like)
        : nodes(block), runner_ups(like.runner_ups != nullptr ? block : 0),
          distances(like.distances != nullptr ? block : 0),
          runner_up_distances(like.runner_ups != nullptr ? block : 0) {}
    BmuResults view() {
        BmuResults results{nodes.data()};
        if (!distances.empty())
            results.distances = distances.data();
        if (!runner_ups.empty()) {
            results.runner_ups = runner_ups.data();
            results.runner_up_distances = runner_up_distances.data();
        }
        return results;
    }
    void scatter(const std::vector<std::size_t> &rows, std::size_t first,
                 std::size_t count, const BmuResults &results) const {
        for (std::size_t r = 0; r < count; ++r) {
            const std::size_t n = rows[first + r];
            results.nodes[n] = nodes[r];
            if (results.distances != nullptr)
                results.distances[n] = distances[r];
            if (results.runner_ups != nullptr) {
                results.runner_ups[n] = runner_ups[r];
                results.runner_up_distances[n] = runner_up_distances[r];
            }
        }
    }
};

// find_bmus_missing over either row kind, complete rows gathered `block` at
// a time.
template <class Rows>
void search_masked(const MapShape &shape, const float *codebook, Rows data,
                   std::uint32_t most_missing, const BmuResults &results,
                   int threads, std::size_t block) {
    const RowPlan plan = plan_of(data, shape.dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        find_bmus(shape, codebook, data, results, threads);
        return;
    }
    BlockResults found(std::min(block, plan.complete.size()), results);
    gather_rows(data, shape.dimension, plan.complete, block, threads,
                [&](Rows rows, std::size_t first) {
                    find_bmus(shape, codebook, rows, found.view(), threads);
                    found.scatter(plan.complete, first, rows.count, results);
                });
    const std::uint32_t nodes = shape.node_count();
    scan_partial_rows(shape, codebook, data, plan, threads,
                      [&](std::size_t n, const float *distances) {
                          detail::scan_distances(distances, nodes, n, results);
                      });
    for (const std::size_t n : plan.left_out)
        no_bmu(n, results);
}

// node_distances_missing over either row kind: complete rows from
// node_distances over blocks of `block` gathered rows, the others from the
// masked scan, rows without a BMU NaN.
template <class Rows>
void table_masked(const MapShape &shape, const float *codebook, Rows data,
                  std::uint32_t most_missing, float *out, int threads,
                  std::size_t block) {
    const RowPlan plan = plan_of(data, shape.dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        node_distances(shape, codebook, data, out, threads);
        return;
    }
    const std::size_t nodes = shape.node_count();
    std::vector<float> table;
    gather_rows(data, shape.dimension, plan.complete, block, threads,
                [&](Rows rows, std::size_t first) {
                    table.resize(rows.count * nodes);
                    node_distances(shape, codebook, rows, table.data(),
                                   threads);
                    for (std::size_t r = 0; r < rows.count; ++r)
                        std::copy_n(table.data() + r * nodes, nodes,
                                    out + plan.complete[first + r] * nodes);
                });
    scan_partial_rows(shape, codebook, data, plan, threads,
                      [&](std::size_t n, const float *distances) {
                          std::copy(distances, distances + nodes,
                                    out + n * nodes);
                      });
    for (const std::size_t n : plan.left_out)
        std::fill(out + n * nodes, out + (n + 1) * nodes, not_a_number);
}

} // namespace

std::uint32_t missing_limit(double max_missing, std::uint32_t dimension) {
    if (dimension == 0 || !(max_missing >= 0.0))
        return 0;
    // The quotient grows with m: the largest m that passes, by bisection.
    std::uint32_t low = 0, high = dimension;
    while (low < high) {
        const std::uint32_t middle = low + (high - low + 1) / 2;
        if (static_cast<double>(middle) / static_cast<double>(dimension) <=
            max_missing)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

// A gathered dense block holds `dimension` values a row; a CSR block only
// the stored values of its rows, so its size follows the row count alone.
void find_bmus_missing(const MapShape &shape, const float *codebook,
                       DenseRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads) {
    search_masked(shape, codebook, data, most_missing, results, threads,
                  block_rows_for(shape.dimension));
}

void find_bmus_missing(const MapShape &shape, const float *codebook,
                       CsrRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads) {
    search_masked(shape, codebook, data, most_missing, results, threads,
                  most_block_rows);
}

void find_bmus_missing_ref(const MapShape &shape, const float *codebook,
                           DenseRows data, std::uint32_t most_missing,
                           const BmuResults &results) {
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    std::vector<float> distances(nodes);
    for (std::size_t n = 0; n < data.count; ++n) {
        const float *vector = data.values + n * dimension;
        std::uint32_t observed = 0;
        for (std::uint32_t i = 0; i < dimension; ++i)
            observed += std::isnan(vector[i]) ? 0u : 1u;
        if (observed == 0 || dimension - observed > most_missing) {
            no_bmu(n, results);
            continue;
        }
        const float scale = scale_of(dimension, observed);
        for (std::uint32_t k = 0; k < nodes; ++k) {
            const float *node = codebook + static_cast<std::size_t>(k) * dimension;
            float sum = 0.0f;
            for (std::uint32_t i = 0; i < dimension; ++i) {
                if (std::isnan(vector[i]))
                    continue;
                const float difference = node[i] - vector[i];
                sum = sum + difference * difference;
            }
            distances[k] = sum * scale;
        }
        detail::scan_distances(distances.data(), nodes, n, results);
    }
}

// Here a block also has its table of node_count distances a row.
void node_distances_missing(const MapShape &shape, const float *codebook,
                            DenseRows data, std::uint32_t most_missing,
                            float *out, int threads) {
    const std::size_t width =
        std::max<std::size_t>(shape.dimension, shape.node_count());
    table_masked(shape, codebook, data, most_missing, out, threads,
                 block_rows_for(width));
}

void node_distances_missing(const MapShape &shape, const float *codebook,
                            CsrRows data, std::uint32_t most_missing,
                            float *out, int threads) {
    table_masked(shape, codebook, data, most_missing, out, threads,
                 block_rows_for(shape.node_count()));
}

} // namespace quorvel
