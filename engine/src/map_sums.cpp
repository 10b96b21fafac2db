// Per-node sums in fixed point and the neighbourhood applied node to node:
// the batch update of the map entry points, for complete rows and under
// missing values, which differ only in their weights (a row count per node,
// or an observed count per node and feature). Integer sums make the result
// independent of how rows are split among threads, calls or machines; the
// neighbourhood is then applied by one thread per node in a fixed order.
#include "quorvel/map.h"

#include "kernel_support.h"
#include "map_support.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace quorvel {

std::int32_t choose_exponent(double largest, std::uint64_t rows_in_total) {
    if (!(largest > 0.0) || !std::isfinite(largest))
        return 0;
    // largest < 2^e_value, rows_in_total <= 2^e_rows.
    int e_value = 0;
    std::frexp(largest, &e_value);
    int e_rows = 0;
    while (e_rows < 64 && (std::uint64_t{1} << e_rows) < rows_in_total)
        ++e_rows;
    return 62 - e_value - e_rows;
}

namespace {

// One thread's row counts and distance total, merged into the caller's
// after the parallel region.
struct Partial {
    std::vector<std::int64_t> counts;
    std::int64_t error_sum = 0;
    std::int64_t error_overflows = 0;
};

struct Scales {
    std::vector<double> feature;
    double error;
    double error_limit;
};

Scales scales_of(const MapShape &shape, const NodeSums &sums) {
    Scales scales;
    scales.feature.resize(shape.dimension);
    for (std::uint32_t f = 0; f < shape.dimension; ++f)
        scales.feature[f] = std::ldexp(1.0, sums.exponents[f]);
    scales.error = std::ldexp(1.0, sums.error_exponent);
    const double total =
        static_cast<double>(sums.rows_in_total == 0 ? 1 : sums.rows_in_total);
    scales.error_limit = 0x1p62 / total;
    return scales;
}

// One row's distance added to `sum` in fixed point, or counted in
// `overflows` where it is out of range.
void add_error(std::int64_t &sum, std::int64_t &overflows, const Scales &scales,
               float squared) {
    const double scaled =
        std::sqrt(static_cast<double>(squared)) * scales.error;
    if (scaled < scales.error_limit)
        sum += detail::nearest_integer(scaled);
    else
        ++overflows;
}

// Every row's BMU (into the caller's array where there is one) and its
// squared distance, from find(results).
struct Search {
    std::vector<std::int32_t> own_nodes;
    std::int32_t *nodes;
    std::vector<float> distances;

    template <class Find>
    Search(std::size_t count, std::int32_t *bmus, Find find)
        : own_nodes(bmus == nullptr ? count : 0),
          nodes(bmus == nullptr ? own_nodes.data() : bmus), distances(count) {
        BmuResults results{nodes};
        results.distances = distances.data();
        find(results);
    }
};

// Row n's fixed-point values added to the node sums at `sum`; under
// `masked` a NaN adds nothing and takes one off the observed count at
// `observed` instead.
template <bool masked>
void add_row(DenseRows data, std::size_t n, std::uint32_t dimension,
             const Scales &scales, std::int64_t *sum, std::int64_t *observed) {
    const float *row = data.values + n * dimension;
    for (std::uint32_t f = 0; f < dimension; ++f) {
        if constexpr (masked) {
            if (std::isnan(row[f])) {
                --observed[f];
                continue;
            }
        }
        sum[f] += detail::nearest_integer(static_cast<double>(row[f]) *
                                          scales.feature[f]);
    }
}

// Absent components are zero and add nothing; under missing values they are
// observed zeros, which the row's count already counts. The stored ones add
// what the same value adds in a dense row.
template <bool masked>
void add_row(CsrRows data, std::size_t n, std::uint32_t, const Scales &scales,
             std::int64_t *sum, std::int64_t *observed) {
    for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e) {
        const auto f = static_cast<std::size_t>(data.indices[e]);
        const float value = data.values[e];
        if constexpr (masked) {
            if (std::isnan(value)) {
                --observed[f];
                continue;
            }
        }
        sum[f] += detail::nearest_integer(static_cast<double>(value) *
                                          scales.feature[f]);
    }
}

// Finds the BMUs by find(results) (under the masked rule where `masked`),
// then adds every row with a BMU to its node: each thread owns a contiguous
// range of nodes and adds the rows whose BMU it owns straight into `sums`,
// so a call costs the rows' values and no copy of the sums (under missing
// values, the observed counts of the nodes that the call's rows reach).
// Integer additions commute, so neither the split nor the order changes a
// bit.
template <bool masked, class Rows, class Find>
void sum_found(const MapShape &shape, Rows data, const NodeSums &sums,
               std::int32_t *bmus, int threads, Find find) {
    const Search found(data.count, bmus, find);
    const Scales scales = scales_of(shape, sums);
    const std::size_t node_count = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    std::vector<Partial> partials(static_cast<std::size_t>(threads));
    for (Partial &partial : partials)
        partial.counts.assign(node_count, 0);
    const std::size_t count = data.count;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(partials, count, threads, found, data, dimension, scales, sums,    \
               node_count)
    for (int thread = 0; thread < threads; ++thread) {
        const auto first_node =
            static_cast<std::int32_t>(node_count * thread / threads);
        const auto end_node =
            static_cast<std::int32_t>(node_count * (thread + 1) / threads);
        Partial &partial = partials[static_cast<std::size_t>(thread)];
        for (std::size_t n = 0; n < count; ++n) {
            const std::int32_t node = found.nodes[n];
            if (node < first_node || node >= end_node)
                continue;
            const std::size_t offset =
                static_cast<std::size_t>(node) * dimension;
            ++partial.counts[static_cast<std::size_t>(node)];
            // Under missing values, a missing value takes one off the
            // node's observed count, which every row of the node adds to
            // every feature below.
            add_row<masked>(data, n, dimension, scales, sums.sums + offset,
                            masked ? sums.observed + offset : nullptr);
            add_error(partial.error_sum, partial.error_overflows, scales,
                      found.distances[n]);
        }
        if constexpr (masked) {
            for (auto k = static_cast<std::size_t>(first_node);
                 k < static_cast<std::size_t>(end_node); ++k) {
                const std::int64_t rows_of_node = partial.counts[k];
                if (rows_of_node == 0)
                    continue;
                std::int64_t *observed = sums.observed + k * dimension;
                for (std::uint32_t f = 0; f < dimension; ++f)
                    observed[f] += rows_of_node;
            }
        }
    }
    for (const Partial &partial : partials) {
        for (std::size_t k = 0; k < node_count; ++k)
            sums.counts[k] += partial.counts[k];
        *sums.error_sum += partial.error_sum;
        *sums.error_overflows += partial.error_overflows;
    }
}

template <bool masked, class Rows>
void sum_rows(const MapShape &shape, const float *codebook, Rows data,
              std::uint32_t most_missing, const NodeSums &sums,
              std::int32_t *bmus, int threads) {
    sum_found<masked>(shape, data, sums, bmus, threads,
                      [&](const BmuResults &results) {
                          if constexpr (masked)
                              find_bmus_missing(shape, codebook, data,
                                                most_missing, results, threads);
                          else
                              find_bmus(shape, codebook, data, results, threads);
                      });
}

// Thread-private sums of all nodes cost node_count x dimension per thread
// and call, to zero and to add up: worth it where a call has at least four
// rows per node and thread, and within this many int64 values in all.
constexpr std::size_t private_sums_limit = std::size_t{1} << 24;

// Rows searched and added in one go, while they are in cache.
constexpr std::uint32_t fused_rows = 256;

// The complete dense rows of a call when private sums are cheap: each
// thread searches its own share of the rows a few at a time and adds them
// to its own sums while they are in cache; the integer sums are then added
// together, so neither the share nor the order changes a bit. Calls over
// at most 2^32 - 1 rows (the search numbers rows in 32 bits).
void sum_dense_fused(const MapShape &shape, const float *codebook,
                     DenseRows data, const NodeSums &sums, std::int32_t *bmus,
                     int threads) {
    const detail::Variant variant =
        detail::variant_of(detail::detected_simd_level());
    const std::uint32_t node_count = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    const auto count = static_cast<std::uint32_t>(data.count);
    const detail::DenseSearch search(variant, data.values, codebook, node_count,
                                     shape.columns, dimension, threads);
    const Scales scales = scales_of(shape, sums);
    const std::size_t width = static_cast<std::size_t>(node_count) * dimension;
    std::vector<std::vector<std::int64_t>> thread_sums(
        static_cast<std::size_t>(threads));
    std::vector<Partial> partials(static_cast<std::size_t>(threads));
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(search, variant, scales, bmus, thread_sums, partials, data, count, \
               threads, node_count, dimension, width)
    for (int thread = 0; thread < threads; ++thread) {
        std::vector<std::int64_t> &own = thread_sums[static_cast<std::size_t>(thread)];
        Partial &partial = partials[static_cast<std::size_t>(thread)];
        own.assign(width, 0);
        partial.counts.assign(node_count, 0);
        std::uint32_t begin, end;
        detail::share_of(count, threads, thread, begin, end);
        std::int32_t own_nodes[fused_rows];
        float distances[fused_rows];
        for (std::uint32_t first = begin; first < end; first += fused_rows) {
            const std::uint32_t rows =
                end - first < fused_rows ? end - first : fused_rows;
            detail::DenseBmuJob outputs{};
            outputs.nodes = bmus == nullptr ? own_nodes : bmus + first;
            outputs.distances = distances;
            search.run(outputs, thread, first, rows);
            for (std::uint32_t r = 0; r < rows; ++r) {
                const auto node = static_cast<std::size_t>(outputs.nodes[r]);
                ++partial.counts[node];
                variant.add_fixed_row(
                    data.values + (static_cast<std::size_t>(first) + r) * dimension,
                    scales.feature.data(), own.data() + node * dimension,
                    dimension);
            }
            // The distances apart, into locals: one square root after
            // another rather than each behind a row's sums.
            std::int64_t error_sum = 0, overflows = 0;
            for (std::uint32_t r = 0; r < rows; ++r)
                add_error(error_sum, overflows, scales, distances[r]);
            partial.error_sum += error_sum;
            partial.error_overflows += overflows;
        }
    }
    for (int thread = 0; thread < threads; ++thread) {
        const std::vector<std::int64_t> &own = thread_sums[static_cast<std::size_t>(thread)];
        for (std::size_t k = 0; k < width; ++k)
            sums.sums[k] += own[k];
        const Partial &partial = partials[static_cast<std::size_t>(thread)];
        for (std::size_t k = 0; k < node_count; ++k)
            sums.counts[k] += partial.counts[k];
        *sums.error_sum += partial.error_sum;
        *sums.error_overflows += partial.error_overflows;
    }
}

bool fused_fits(const MapShape &shape, DenseRows data, int threads) {
    const auto nodes = static_cast<std::size_t>(shape.node_count());
    const auto team = static_cast<std::size_t>(threads);
    return data.count <= 0xffffffffu && nodes > 0 &&
           detail::node_count_fits(shape.columns, shape.rows) &&
           4 * nodes * team <= data.count &&
           nodes * shape.dimension * team <= private_sums_limit;
}

} // namespace

void accumulate(const MapShape &shape, const float *codebook, DenseRows data,
                const NodeSums &sums, std::int32_t *bmus, int threads) {
    if (fused_fits(shape, data, threads))
        sum_dense_fused(shape, codebook, data, sums, bmus, threads);
    else
        sum_rows<false>(shape, codebook, data, 0, sums, bmus, threads);
}

void accumulate(const MapShape &shape, const float *codebook, CsrRows data,
                const NodeSums &sums, std::int32_t *bmus, int threads) {
    sum_rows<false>(shape, codebook, data, 0, sums, bmus, threads);
}

void accumulate(SparseCodebook &codebook, CsrRows data, const NodeSums &sums,
                std::int32_t *bmus, int threads) {
    sum_found<false>(codebook.shape(), data, sums, bmus, threads,
                     [&](const BmuResults &results) {
                         find_bmus(codebook, data, results, threads);
                     });
}

void accumulate_missing(const MapShape &shape, const float *codebook,
                        DenseRows data, std::uint32_t most_missing,
                        const NodeSums &sums, std::int32_t *bmus,
                        int threads) {
    sum_rows<true>(shape, codebook, data, most_missing, sums, bmus, threads);
}

void accumulate_missing(const MapShape &shape, const float *codebook,
                        CsrRows data, std::uint32_t most_missing,
                        const NodeSums &sums, std::int32_t *bmus,
                        int threads) {
    sum_rows<true>(shape, codebook, data, most_missing, sums, bmus, threads);
}

namespace {

// A node's weights: one, or one per feature.
std::size_t weight_width(const NodeTotals &totals, std::uint32_t dimension) {
    return totals.per_feature ? dimension : 1;
}

// Where feature f finds its denominator among a node's weights.
std::size_t weight_stride(const NodeTotals &totals) {
    return totals.per_feature ? 1 : 0;
}

// The nodes with some weight, in increasing order, their sums as doubles and
// their weights: the others add only exact zeros to every numerator and
// denominator (adding +-0 to a sum that starts at +0 changes no bit), so
// they are left out.
struct HitNodes {
    std::vector<std::uint32_t> nodes;
    std::vector<double> sums;    // nodes.size() x dimension
    std::vector<double> weights; // nodes.size() x weight_width
};

std::vector<double> unscales_of(const MapShape &shape,
                                const NodeTotals &totals) {
    std::vector<double> unscale(shape.dimension);
    for (std::uint32_t f = 0; f < shape.dimension; ++f)
        unscale[f] = std::ldexp(1.0, -totals.exponents[f]);
    return unscale;
}

HitNodes hit_nodes(const MapShape &shape, const NodeTotals &totals) {
    HitNodes hits;
    const std::uint32_t dimension = shape.dimension;
    const std::size_t width = weight_width(totals, dimension);
    const std::vector<double> unscale = unscales_of(shape, totals);
    for (std::uint32_t k = 0; k < shape.node_count(); ++k) {
        const std::int64_t *weight = totals.weights + k * width;
        if (std::all_of(weight, weight + width,
                        [](std::int64_t count) { return count == 0; }))
            continue;
        hits.nodes.push_back(k);
        // The nearest double to the integer, then an exact power of two.
        const std::int64_t *sum = totals.sums + std::size_t{k} * dimension;
        for (std::uint32_t f = 0; f < dimension; ++f)
            hits.sums.push_back(static_cast<double>(sum[f]) * unscale[f]);
        for (std::size_t w = 0; w < width; ++w)
            hits.weights.push_back(static_cast<double>(weight[w]));
    }
    return hits;
}

// Node j's new vector from its weighted sums, component by component: the
// quotient in double rounded once to float, or the previous value where the
// denominator is 0. Component f's denominator is denominator[f * stride].
void store_means(float *node, const float *previous, const double *numerator,
                 const double *denominator, std::size_t stride,
                 std::uint32_t dimension) {
    for (std::uint32_t f = 0; f < dimension; ++f)
        node[f] = denominator[f * stride] == 0.0
                      ? previous[f]
                      : static_cast<float>(numerator[f] /
                                           denominator[f * stride]);
}

// Node sums and weights as doubles, node after node: dimension sums, then
// the node's weights.
std::vector<double> node_values(const MapShape &shape,
                                const NodeTotals &totals) {
    const std::uint32_t dimension = shape.dimension;
    const std::size_t node_weights = weight_width(totals, dimension);
    const std::size_t width = dimension + node_weights;
    const std::vector<double> unscale = unscales_of(shape, totals);
    std::vector<double> values(shape.node_count() * width);
    for (std::size_t k = 0; k < shape.node_count(); ++k) {
        for (std::uint32_t f = 0; f < dimension; ++f)
            values[k * width + f] =
                static_cast<double>(totals.sums[k * dimension + f]) *
                unscale[f];
        for (std::size_t w = 0; w < node_weights; ++w)
            values[k * width + dimension + w] =
                static_cast<double>(totals.weights[k * node_weights + w]);
    }
    return values;
}

} // namespace

void apply_neighbourhood(const MapShape &shape, const MapNeighbourhood &hood,
                         const NodeTotals &totals, const float *codebook,
                         float *out, std::uint32_t begin, std::uint32_t end,
                         int threads) {
    const std::uint32_t dimension = shape.dimension;
    const std::size_t width = weight_width(totals, dimension);
    const std::size_t stride = weight_stride(totals);
    if (hood.kind == NeighbourhoodKind::gaussian) {
        detail::separable_gaussian_sums(
            shape, hood.sigma, node_values(shape, totals), dimension + width,
            begin, end, threads, [&](std::int64_t j, const double *total) {
                const std::size_t offset =
                    static_cast<std::size_t>(j) * dimension;
                store_means(out + offset, codebook + offset, total,
                            total + dimension, stride, dimension);
            });
        return;
    }
    const HitNodes hits = hit_nodes(shape, totals);
    const detail::OffsetWeights weights(shape, hood);
    const std::size_t team = static_cast<std::size_t>(threads);
    std::vector<double> numerators(team * dimension);
    std::vector<double> denominators(team * width);
    const std::size_t hit_count = hits.nodes.size();
    const std::int64_t first = begin, last = end;
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(hits, weights, numerators, denominators, hit_count, first, last,  \
               dimension, width, stride, codebook, out)
    {
        const auto thread = static_cast<std::size_t>(omp_get_thread_num());
        double *numerator = numerators.data() + thread * dimension;
        double *denominator = denominators.data() + thread * width;
#pragma omp for schedule(static)
        for (std::int64_t index = first; index < last; ++index) {
            const auto j = static_cast<std::uint32_t>(index);
            std::fill(numerator, numerator + dimension, 0.0);
            std::fill(denominator, denominator + width, 0.0);
            // Over the reached nodes in increasing order; a zero weight adds
            // exact zeros and is skipped.
            for (std::size_t h = 0; h < hit_count; ++h) {
                const double weight = weights.of(j, hits.nodes[h]);
                if (weight == 0.0)
                    continue;
                const double *count = hits.weights.data() + h * width;
                for (std::size_t w = 0; w < width; ++w)
                    denominator[w] = denominator[w] + weight * count[w];
                const double *sum = hits.sums.data() + h * dimension;
                for (std::uint32_t f = 0; f < dimension; ++f)
                    numerator[f] = numerator[f] + weight * sum[f];
            }
            const std::size_t offset = static_cast<std::size_t>(j) * dimension;
            store_means(out + offset, codebook + offset, numerator,
                        denominator, stride, dimension);
        }
    }
}

void apply_neighbourhood_ref(const MapShape &shape,
                             const MapNeighbourhood &hood,
                             const NodeTotals &totals, const float *codebook,
                             float *out) {
    const std::uint32_t nodes = shape.node_count();
    const std::uint32_t dimension = shape.dimension;
    const std::size_t width = weight_width(totals, dimension);
    const std::uint32_t columns = shape.columns;
    const bool gaussian = hood.kind == NeighbourhoodKind::gaussian;
    const double row_step = shape.grid == Grid::hexagonal ? 0.75 : 1.0;
    auto value = [&](std::size_t cell, std::uint32_t f) {
        return static_cast<double>(totals.sums[cell]) *
               std::ldexp(1.0, -totals.exponents[f]);
    };
    auto weight_of = [&](std::uint32_t k, std::size_t w) {
        return static_cast<double>(totals.weights[k * width + w]);
    };
    std::vector<double> numerator(dimension), denominator(width);
    std::vector<double> row(dimension), row_weight(width);
    std::vector<float> result(static_cast<std::size_t>(nodes) * dimension);
    for (std::uint32_t j = 0; j < nodes; ++j) {
        std::fill(numerator.begin(), numerator.end(), 0.0);
        std::fill(denominator.begin(), denominator.end(), 0.0);
        for (std::uint32_t ky = 0; ky < shape.rows; ++ky) {
            // The gaussian as its row factor times the sum over the row of
            // its column factors; the other kinds one weight at a time.
            std::fill(row.begin(), row.end(), 0.0);
            std::fill(row_weight.begin(), row_weight.end(), 0.0);
            double row_factor = 1.0;
            for (std::uint32_t kx = 0; kx < columns; ++kx) {
                const std::uint32_t k = ky * columns + kx;
                const double squared = grid_distance_squared(shape, j, k);
                const std::size_t base = static_cast<std::size_t>(k) * dimension;
                if (!gaussian) {
                    // Straight into the node's sums, in node order.
                    const double weight = neighbourhood_value(hood, squared);
                    for (std::size_t w = 0; w < width; ++w)
                        denominator[w] =
                            denominator[w] + weight * weight_of(k, w);
                    for (std::uint32_t f = 0; f < dimension; ++f)
                        numerator[f] =
                            numerator[f] + weight * value(base + f, f);
                    continue;
                }
                const double dy = std::fabs(double(ky) - double(j / columns));
                const double b = shape.topology == Topology::toroid
                                     ? std::min(dy, double(shape.rows) - dy)
                                     : dy;
                const double y_part = row_step * (b * b);
                const double weight =
                    detail::axis_factor(squared - y_part, hood.sigma);
                row_factor = detail::axis_factor(y_part, hood.sigma);
                for (std::size_t w = 0; w < width; ++w)
                    row_weight[w] = row_weight[w] + weight * weight_of(k, w);
                for (std::uint32_t f = 0; f < dimension; ++f)
                    row[f] = row[f] + weight * value(base + f, f);
            }
            if (!gaussian)
                continue;
            for (std::size_t w = 0; w < width; ++w)
                denominator[w] = denominator[w] + row_factor * row_weight[w];
            for (std::uint32_t f = 0; f < dimension; ++f)
                numerator[f] = numerator[f] + row_factor * row[f];
        }
        const std::size_t offset = static_cast<std::size_t>(j) * dimension;
        store_means(result.data() + offset, codebook + offset, numerator.data(),
                    denominator.data(), weight_stride(totals), dimension);
    }
    std::copy(result.begin(), result.end(), out);
}

namespace detail {

// The gaussian factors over the two axes of the grid: with a the distance
// along x and b the row offset (wrapped on a toroid), d^2 = a^2 + c b^2
// (c = 3/4 on a hexagonal grid, 1 on a rectangular one) and
// exp(-d^2 / (2 sigma^2)) = exp(-a^2 / (2 sigma^2)) exp(-c b^2 / (2 sigma^2)).
// Each factor is 1 at offset 0, also where 2 sigma^2 underflows.
double axis_factor(double squared, double sigma) {
    return squared == 0.0 ? 1.0
                          : portable_exp(-squared / (2.0 * sigma * sigma));
}

namespace {

// sum = the sum over i in [0, count) in increasing order of factors[i] times
// the `width` values at term(i), from +0. Zero factors add exact zeros and
// are skipped.
// Eight values at a time, each in its own register across all the terms:
// a sum kept in memory would wait for its own store at every term.
template <std::size_t N, class Term>
void weighted_block(double *sum, std::size_t first, const double *factors,
                    std::int64_t count, Term &term) {
    double acc[N] = {};
    for (std::int64_t i = 0; i < count; ++i) {
        const double factor = factors[i];
        if (factor == 0.0)
            continue;
        const double *value = term(i) + first;
        for (std::size_t w = 0; w < N; ++w)
            acc[w] = acc[w] + factor * value[w];
    }
    for (std::size_t w = 0; w < N; ++w)
        sum[first + w] = acc[w];
}

template <class Term>
void weighted_sum(double *sum, std::size_t width, const double *factors,
                  std::int64_t count, Term term) {
    constexpr std::size_t block = 8;
    std::size_t first = 0;
    for (; first + block <= width; first += block)
        weighted_block<block>(sum, first, factors, count, term);
    for (; first < width; ++first)
        weighted_block<1>(sum, first, factors, count, term);
}

// Values per stretch of a map row's sums: the stretches of a row's nodes
// (64 KiB for a row of 16 nodes) stay in cache while every node of the row
// sums them.
constexpr std::size_t row_stretch = 512;

} // namespace

void separable_gaussian_sums(const MapShape &shape, double sigma,
                             const std::vector<double> &values,
                             std::size_t width, std::uint32_t begin,
                             std::uint32_t end, int threads,
                             const GaussianTotal &store) {
    const std::int64_t columns = shape.columns, rows = shape.rows;
    const bool hexagonal = shape.grid == Grid::hexagonal;
    const std::int64_t parities = hexagonal ? 2 : 1;
    const bool toroid = shape.topology == Topology::toroid;
    // x factors by (parity of the node's row, parity of the other row, dx).
    const std::size_t span = 2 * static_cast<std::size_t>(columns) - 1;
    std::vector<double> x_factors(4 * span);
    for (std::int64_t own = 0; own < 2; ++own)
        for (std::int64_t other = 0; other < 2; ++other)
            for (std::int64_t dx = -(columns - 1); dx <= columns - 1; ++dx) {
                double a = static_cast<double>(dx);
                if (hexagonal)
                    a += 0.5 * static_cast<double>(other - own);
                a = std::fabs(a);
                if (toroid)
                    a = std::min(a, static_cast<double>(columns) - a);
                x_factors[(own * 2 + other) * span + (dx + columns - 1)] =
                    detail::axis_factor(a * a, sigma);
            }
    std::vector<double> y_factors(2 * static_cast<std::size_t>(rows) - 1);
    for (std::int64_t dy = -(rows - 1); dy <= rows - 1; ++dy) {
        double b = std::fabs(static_cast<double>(dy));
        if (toroid)
            b = std::min(b, static_cast<double>(rows) - b);
        y_factors[dy + rows - 1] =
            detail::axis_factor((hexagonal ? 0.75 : 1.0) * (b * b), sigma);
    }
    // Row sums: (row, parity of the receiving node's row) x column x width.
    std::vector<double> row_sums(static_cast<std::size_t>(rows * parities) *
                                 columns * width);
    const std::int64_t row_jobs = rows * parities;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(row_jobs, parities, columns, width, values, x_factors, span,      \
               row_sums)
    for (std::int64_t job = 0; job < row_jobs; ++job) {
        const std::int64_t ky = job / parities, own = job % parities;
        const std::int64_t other = parities == 2 ? (ky & 1) : 0;
        const double *factors = x_factors.data() + (own * 2 + other) * span;
        // A stretch of the values at a time, which the sums of every node of
        // the row read again while it is in cache.
        for (std::size_t first = 0; first < width; first += row_stretch) {
            const std::size_t count =
                width - first < row_stretch ? width - first : row_stretch;
            for (std::int64_t xj = 0; xj < columns; ++xj) {
                weighted_sum(row_sums.data() +
                                 (static_cast<std::size_t>(job) * columns + xj) *
                                     width +
                                 first,
                             count, factors + (columns - 1 - xj), columns,
                             [&](std::int64_t kx) {
                                 return values.data() +
                                        static_cast<std::size_t>(ky * columns +
                                                                 kx) *
                                            width +
                                        first;
                             });
            }
        }
    }
    std::vector<double> accumulators(static_cast<std::size_t>(threads) * width);
    const std::int64_t first = begin, last = end;
#pragma omp parallel num_threads(threads) default(none)                      \
    shared(first, last, columns, rows, parities, width, y_factors, row_sums, \
               accumulators, store)
    {
        double *total = accumulators.data() +
                        static_cast<std::size_t>(omp_get_thread_num()) * width;
        // Over the whole map column after column, so that the nodes one
        // after another read the same row sums.
        const bool whole_map = first == 0 && last == columns * rows;
#pragma omp for schedule(static)
        for (std::int64_t index = 0; index < last - first; ++index) {
            const std::int64_t j =
                whole_map ? index % rows * columns + index / rows
                          : first + index;
            const std::int64_t xj = j % columns, yj = j / columns;
            const std::int64_t own = parities == 2 ? (yj & 1) : 0;
            weighted_sum(total, width, y_factors.data() + (rows - 1 - yj), rows,
                         [&](std::int64_t ky) {
                             return row_sums.data() +
                                    (static_cast<std::size_t>(ky * parities +
                                                              own) *
                                         columns +
                                     xj) *
                                        width;
                         });
            store(j, total);
        }
    }
}

} // namespace detail

} // namespace quorvel
