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

void sort_rows(RowPlan &plan, std::uint32_t dimension,
               std::uint32_t most_missing) {
    const std::size_t count = plan.observed.size();
    for (std::size_t n = 0; n < count; ++n) {
        const std::uint32_t observed = plan.observed[n];
        if (observed == dimension && dimension > 0)
            plan.complete.push_back(n);
        else if (observed == 0 || dimension - observed > most_missing)
            plan.left_out.push_back(n);
        else
            plan.partial.push_back(n);
    }
}

RowPlan plan_of(DenseRows data, std::uint32_t dimension,
                std::uint32_t most_missing, int threads) {
    RowPlan plan;
    plan.observed.resize(data.count);
    const std::int64_t count = static_cast<std::int64_t>(data.count);
    std::uint32_t *observed = plan.observed.data();
    const float *values = data.values;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(count, observed, values, dimension)
    for (std::int64_t n = 0; n < count; ++n) {
        const float *row = values + static_cast<std::size_t>(n) * dimension;
        std::uint32_t seen = 0;
        for (std::uint32_t f = 0; f < dimension; ++f)
            seen += std::isnan(row[f]) ? 0u : 1u;
        observed[n] = seen;
    }
    sort_rows(plan, dimension, most_missing);
    return plan;
}

RowPlan plan_of(CsrRows data, std::uint32_t dimension,
                std::uint32_t most_missing, int threads) {
    RowPlan plan;
    plan.observed.resize(data.count);
    const std::int64_t count = static_cast<std::int64_t>(data.count);
    std::uint32_t *observed = plan.observed.data();
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(count, observed, data, dimension)
    for (std::int64_t n = 0; n < count; ++n) {
        std::uint32_t missing = 0;
        for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e)
            missing += std::isnan(data.values[e]) ? 1u : 0u;
        observed[n] = dimension - missing;
    }
    sort_rows(plan, dimension, most_missing);
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
    if (results.seconds != nullptr) {
        results.seconds[at] = -1;
        results.second_distances[at] = not_a_number;
    }
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

// Runs the masked scan over the partial rows of the plan: `row_of(n, buffer)`
// gives row n as dense floats (maybe written into buffer), `use(n, distances)`
// takes its scaled distances. Rows are shared among the threads in
// contiguous blocks.
template <class RowOf, class Use>
void scan_partial_rows(const MapShape &shape, const float *codebook,
                       const RowPlan &plan, bool dense_copy, int threads,
                       RowOf row_of, Use use) {
    if (plan.partial.empty())
        return;
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    const std::vector<float> transposed =
        features_first(codebook, nodes, dimension);
    Scratch scratch(threads, dimension, nodes, dense_copy);
    const std::int64_t count = static_cast<std::int64_t>(plan.partial.size());
    const float *columns_first = transposed.data();
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(scratch, plan, count, columns_first, nodes, dimension, row_of, use)
    {
        const auto thread = static_cast<std::size_t>(omp_get_thread_num());
        float *row_buffer = scratch.rows.data() + thread * dimension;
        std::uint32_t *features = scratch.features.data() + thread * dimension;
        float *values = scratch.values.data() + thread * dimension;
        float *distances =
            scratch.distances.data() + thread * padded_nodes(nodes);
#pragma omp for schedule(static)
        for (std::int64_t i = 0; i < count; ++i) {
            const std::size_t n = plan.partial[static_cast<std::size_t>(i)];
            const float *row = row_of(n, row_buffer);
            const std::uint32_t observed =
                observed_of(row, dimension, features, values);
            masked_distances(columns_first, nodes, features, values, observed,
                             scale_of(dimension, observed), distances);
            use(n, distances);
        }
    }
}

// Complete dense rows through `search(rows, first)`, where `first` is the
// position of the block's results in the plan's list; the whole input at
// once where every row is complete.
template <class Gathered>
void gather_dense(DenseRows data, std::uint32_t dimension,
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
void gather_csr(CsrRows data, const std::vector<std::size_t> &rows,
                std::size_t block, Gathered search) {
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
    std::vector<std::int32_t> nodes, seconds;
    std::vector<float> distances, second_distances;
    BlockResults(std::size_t block, const BmuResults &like)
        : nodes(block), seconds(like.seconds != nullptr ? block : 0),
          distances(like.distances != nullptr ? block : 0),
          second_distances(like.seconds != nullptr ? block : 0) {}
    BmuResults view() {
        BmuResults results{nodes.data()};
        if (!distances.empty())
            results.distances = distances.data();
        if (!seconds.empty()) {
            results.seconds = seconds.data();
            results.second_distances = second_distances.data();
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
            if (results.seconds != nullptr) {
                results.seconds[n] = seconds[r];
                results.second_distances[n] = second_distances[r];
            }
        }
    }
};

template <class RowOf>
void finish_search(const MapShape &shape, const float *codebook,
                   const RowPlan &plan, const BmuResults &results,
                   int threads, bool dense_copy, RowOf row_of) {
    const std::uint32_t nodes = shape.node_count();
    scan_partial_rows(shape, codebook, plan, dense_copy, threads, row_of,
                      [&](std::size_t n, const float *distances) {
                          detail::scan_distances(distances, nodes, n, results);
                      });
    for (const std::size_t n : plan.left_out)
        no_bmu(n, results);
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

void find_bmus_missing(const MapShape &shape, const float *codebook,
                       DenseRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads) {
    const std::uint32_t dimension = shape.dimension;
    const RowPlan plan = plan_of(data, dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        find_bmus(shape, codebook, data, results, threads);
        return;
    }
    const std::size_t block = block_rows_for(dimension);
    BlockResults found(std::min(block, plan.complete.size()), results);
    gather_dense(data, dimension, plan.complete, block, threads,
                 [&](DenseRows rows, std::size_t first) {
                     find_bmus(shape, codebook, rows, found.view(), threads);
                     found.scatter(plan.complete, first, rows.count, results);
                 });
    finish_search(shape, codebook, plan, results, threads, false,
                  [&](std::size_t n, float *) {
                      return data.values + n * dimension;
                  });
}

void find_bmus_missing(const MapShape &shape, const float *codebook,
                       CsrRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads) {
    const std::uint32_t dimension = shape.dimension;
    const RowPlan plan = plan_of(data, dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        find_bmus(shape, codebook, data, results, threads);
        return;
    }
    const std::size_t block = most_block_rows;
    BlockResults found(std::min(block, plan.complete.size()), results);
    gather_csr(data, plan.complete, block,
               [&](CsrRows rows, std::size_t first) {
                   find_bmus(shape, codebook, rows, found.view(), threads);
                   found.scatter(plan.complete, first, rows.count, results);
               });
    finish_search(shape, codebook, plan, results, threads, true,
                  [&](std::size_t n, float *buffer) {
                      detail::densify(data, n, dimension, buffer);
                      return static_cast<const float *>(buffer);
                  });
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

namespace {

// The distance table of the rows of a plan: complete rows from
// `complete_table(rows, table)` over gathered blocks, the others from the
// masked scan, rows without a BMU NaN.
template <class Gather, class RowOf>
void missing_table(const MapShape &shape, const float *codebook,
                   const RowPlan &plan, float *out, int threads,
                   bool dense_copy, Gather gather, RowOf row_of) {
    const std::size_t nodes = shape.node_count();
    std::vector<float> table;
    gather([&](std::size_t first, std::size_t count, auto fill) {
        table.resize(count * nodes);
        fill(table.data());
        for (std::size_t r = 0; r < count; ++r)
            std::copy(table.begin() + static_cast<std::ptrdiff_t>(r * nodes),
                      table.begin() + static_cast<std::ptrdiff_t>((r + 1) * nodes),
                      out + plan.complete[first + r] * nodes);
    });
    scan_partial_rows(shape, codebook, plan, dense_copy, threads, row_of,
                      [&](std::size_t n, const float *distances) {
                          std::copy(distances, distances + nodes,
                                    out + n * nodes);
                      });
    for (const std::size_t n : plan.left_out)
        std::fill(out + n * nodes, out + (n + 1) * nodes, not_a_number);
}

} // namespace

void node_distances_missing(const MapShape &shape, const float *codebook,
                            DenseRows data, std::uint32_t most_missing,
                            float *out, int threads) {
    const std::uint32_t dimension = shape.dimension;
    const RowPlan plan = plan_of(data, dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        node_distances(shape, codebook, data, out, threads);
        return;
    }
    const std::size_t block = block_rows_for(
        std::max<std::size_t>(dimension, shape.node_count()));
    missing_table(
        shape, codebook, plan, out, threads, false,
        [&](auto place) {
            gather_dense(data, dimension, plan.complete, block, threads,
                         [&](DenseRows rows, std::size_t first) {
                             place(first, rows.count, [&](float *table) {
                                 node_distances(shape, codebook, rows, table,
                                                threads);
                             });
                         });
        },
        [&](std::size_t n, float *) { return data.values + n * dimension; });
}

void node_distances_missing(const MapShape &shape, const float *codebook,
                            CsrRows data, std::uint32_t most_missing,
                            float *out, int threads) {
    const std::uint32_t dimension = shape.dimension;
    const RowPlan plan = plan_of(data, dimension, most_missing, threads);
    if (plan.complete.size() == data.count) {
        node_distances(shape, codebook, data, out, threads);
        return;
    }
    const std::size_t block = block_rows_for(shape.node_count());
    missing_table(
        shape, codebook, plan, out, threads, true,
        [&](auto place) {
            gather_csr(data, plan.complete, block,
                       [&](CsrRows rows, std::size_t first) {
                           place(first, rows.count, [&](float *table) {
                               node_distances(shape, codebook, rows, table,
                                              threads);
                           });
                       });
        },
        [&](std::size_t n, float *buffer) {
            detail::densify(data, n, dimension, buffer);
            return static_cast<const float *>(buffer);
        });
}

} // namespace quorvel
