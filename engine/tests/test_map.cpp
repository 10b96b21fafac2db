// The map entry points of the package: searches with runner-ups against the
// one-node-at-a-time oracle for every instruction-set variant, CSR input
// against dense, per-node sums against a plain loop and across splits and
// thread counts, the neighbourhood against its all-pairs oracle, and the
// grid geometry against positions computed here.
#include "kernel_support.h"
#include "kernels.h"
#include "quorvel/map.h"
#include "map_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <tuple>
#include <vector>

namespace {

using quorvel::BmuResults;
using quorvel::CsrRows;
using quorvel::DenseRows;
using quorvel::Grid;
using quorvel::MapNeighbourhood;
using quorvel::MapShape;
using quorvel::NeighbourhoodKind;
using quorvel::Topology;
using quorvel::detail::SimdLevel;
using quorvel_test::bits_of;
using quorvel_test::expect_same_search;
using quorvel_test::Csr;
using quorvel_test::Search;
using quorvel_test::Sums;

const SimdLevel all_levels[] = {SimdLevel::portable, SimdLevel::avx2,
                                SimdLevel::avx512};

// Values on a coarse grid, so that equal distances (ties) are common; with
// `awkward`, NaN and infinities too.
std::vector<float> coarse_values(std::size_t count, unsigned seed,
                                 bool awkward = false) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> pick(-4, 4);
    std::uniform_int_distribution<int> rare(0, 60);
    std::vector<float> values(count);
    for (float &value : values) {
        value = static_cast<float>(pick(generator)) * 0.25f;
        const int kind = rare(generator);
        if (awkward && kind == 0)
            value = std::numeric_limits<float>::quiet_NaN();
        else if (awkward && kind == 1)
            value = std::numeric_limits<float>::infinity();
    }
    return values;
}

// Distance bits with every NaN as one: where data or codebook hold
// infinities, inf - inf makes a NaN whose sign depends on the operand order
// of additions that a compiler may commute. Which node wins is exact all the
// same (no NaN ever wins), and the package never passes non-finite values.
std::vector<std::uint32_t> distance_bits(const std::vector<float> &values) {
    auto bits = bits_of(values);
    for (std::size_t i = 0; i < values.size(); ++i)
        if (std::isnan(values[i]))
            bits[i] = 0x7fc00000u;
    return bits;
}

// Nodes, dimension, rows, awkward values.
class MapSearch
    : public ::testing::TestWithParam<
          std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, bool>> {};

TEST_P(MapSearch, RunnerUpMatchesOracleForEveryVariantAndThreadCount) {
    const auto [columns, dimension, count, awkward] = GetParam();
    const MapShape shape{columns, 3, dimension, Grid::hexagonal,
                         Topology::planar};
    const std::uint32_t nodes = shape.node_count();
    auto codebook = coarse_values(static_cast<std::size_t>(nodes) * dimension,
                                  columns * 31 + dimension, awkward);
    // Duplicate nodes: exact ties for first and second place.
    if (nodes >= 4)
        for (std::uint32_t i = 0; i < dimension; ++i)
            codebook[3 * dimension + i] = codebook[1 * dimension + i];
    const auto data = coarse_values(static_cast<std::size_t>(count) * dimension,
                                    count + 7, awkward);
    Search expected(count);
    quorvel::find_bmus_ref(shape, codebook.data(), {data.data(), count},
                           expected.results());
    for (const SimdLevel level : all_levels) {
        if (!quorvel::detail::simd_level_available(level))
            continue;
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(quorvel::detail::simd_level_name(level));
            SCOPED_TRACE(threads);
            Search found(count);
            const BmuResults results = found.results();
            quorvel::detail::DenseBmuJob outputs{};
            outputs.nodes = results.nodes;
            outputs.distances = results.distances;
            outputs.runner_ups = results.runner_ups;
            outputs.runner_up_distances = results.runner_up_distances;
            quorvel::detail::find_bmus_dense_fast(
                quorvel::detail::variant_of(level), data.data(),
                codebook.data(), nodes, columns, dimension, count, outputs,
                threads);
            expect_same_search(found, expected, distance_bits);
        }
    }
    Search public_search(count);
    quorvel::find_bmus(shape, codebook.data(), {data.data(), count},
                       public_search.results(), 2);
    expect_same_search(public_search, expected, distance_bits);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MapSearch,
    ::testing::Combine(::testing::Values(1u, 2u, 7u, 17u, 40u),
                       ::testing::Values(0u, 1u, 5u, 33u),
                       ::testing::Values(1u, 9u, 70u),
                       ::testing::Bool()));

// Data for the screened search (finite, below 2^40): a kind of values that
// stresses its bound.
std::vector<float> screen_values(std::size_t count, unsigned seed, int kind) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::vector<float> values(count);
    for (float &value : values) {
        const float u = uniform(generator);
        switch (kind) {
        case 0: // ties: a coarse grid
            value = std::floor(u * 4.0f) * 0.5f;
            break;
        case 1: // far from the origin: norms dwarf the distances
            value = 10000.0f + std::floor(u * 64.0f) * 0x1p-6f;
            break;
        case 2: // one unit in the last place apart
            value = std::nextafter(1.0f, 2.0f * (u < 0.5f));
            break;
        case 3: // near the largest magnitude the screen accepts
            value = (u - 0.5f) * 0x1.fffffep39f;
            break;
        case 4: // subnormal and tiny values
            value = u < 0.5f ? u * 0x1p-130f : -u * 0x1p-140f;
            break;
        default: // signed ordinary values
            value = u * 2.0f - 1.0f;
        }
    }
    return values;
}

// The screened searches' cases: a kind of screen_values, and the columns
// and dimension of a planar map of four rows searched by 67 rows.
class ScreenCase
    : public ::testing::TestWithParam<std::tuple<int, std::uint32_t, std::uint32_t>> {
  protected:
    const int kind = std::get<0>(GetParam());
    const std::uint32_t columns = std::get<1>(GetParam());
    const std::uint32_t dimension = std::get<2>(GetParam());
    const MapShape shape{columns, 4, dimension, Grid::rectangular,
                         Topology::planar};
    const std::uint32_t nodes = shape.node_count();
    const std::size_t count = 67;
};

class ScreenedSearch : public ScreenCase {};

TEST_P(ScreenedSearch, MatchesOracleForEveryVariantAndThreadCount) {
    auto codebook = screen_values(std::size_t{nodes} * dimension, 100 + kind, kind);
    // Duplicate nodes, and rows equal to nodes: exact ties at zero.
    for (std::uint32_t i = 0; i < dimension && nodes > 5; ++i)
        codebook[5 * dimension + i] = codebook[2 * dimension + i];
    auto data = screen_values(count * dimension, 200 + kind, kind);
    for (std::uint32_t i = 0; i < dimension && nodes > 5; ++i)
        data[3 * dimension + i] = codebook[5 * dimension + i];
    Search expected(count);
    quorvel::find_bmus_ref(shape, codebook.data(), {data.data(), count},
                           expected.results());
    for (const SimdLevel level : all_levels) {
        if (!quorvel::detail::simd_level_available(level))
            continue;
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(quorvel::detail::simd_level_name(level));
            SCOPED_TRACE(threads);
            std::vector<std::int32_t> found(count, -7), pairs(2 * count, -7);
            std::vector<float> distances(count, -7.0f);
            quorvel::detail::DenseBmuJob outputs{};
            outputs.nodes = found.data();
            outputs.distances = distances.data();
            outputs.bmus = pairs.data();
            quorvel::detail::find_bmus_dense_fast(
                quorvel::detail::variant_of(level), data.data(),
                codebook.data(), nodes, columns, dimension,
                static_cast<std::uint32_t>(count), outputs, threads);
            EXPECT_EQ(found, expected.nodes);
            EXPECT_EQ(bits_of(distances), bits_of(expected.distances));
            for (std::size_t n = 0; n < count; ++n)
                ASSERT_EQ(pairs[2 * n + 1] * std::int32_t(columns) + pairs[2 * n],
                          expected.nodes[n]);
            // With runner-ups, screened by the second least estimate.
            Search both(count);
            const BmuResults results = both.results();
            quorvel::detail::DenseBmuJob places{};
            places.nodes = results.nodes;
            places.distances = results.distances;
            places.runner_ups = results.runner_ups;
            places.runner_up_distances = results.runner_up_distances;
            quorvel::detail::find_bmus_dense_fast(
                quorvel::detail::variant_of(level), data.data(),
                codebook.data(), nodes, columns, dimension,
                static_cast<std::uint32_t>(count), places, threads);
            expect_same_search(both, expected, distance_bits);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ScreenedSearch,
    ::testing::Combine(::testing::Values(0, 1, 2, 3, 4, 5),
                       ::testing::Values(1u, 5u, 33u),
                       ::testing::Values(1u, 16u, 70u)));

// Sparse rows (three values in four zero) of the kinds of screen_values,
// kind 6: every node a rotation of one vector, so that a row of few stored
// values is equidistant from many nodes up to the rounding of their walks,
// which the screen must tell apart; kind 7: magnitudes beyond what the
// screen bounds, so every node is walked.
class SparseScreenedSearch : public ScreenCase {};

TEST_P(SparseScreenedSearch, PlacesMatchOracleForEveryVariantAndThreadCount) {
    const int values = kind >= 6 ? 5 : kind;
    auto codebook =
        screen_values(std::size_t{nodes} * dimension, 300 + kind, values);
    if (kind == 7)
        for (float &value : codebook)
            value *= 0x1p45f;
    if (kind == 6)
        for (std::uint32_t k = 1; k < nodes; ++k)
            for (std::uint32_t i = 0; i < dimension; ++i)
                codebook[k * dimension + i] =
                    codebook[(i + k) % dimension];
    for (std::uint32_t i = 0; i < dimension && nodes > 5; ++i)
        codebook[5 * dimension + i] = codebook[2 * dimension + i];
    auto data = screen_values(count * dimension, 400 + kind, values);
    for (std::size_t i = 0; i < data.size(); ++i)
        if (i % 4 != 1)
            data[i] = 0.0f;
    for (std::uint32_t i = 0; i < dimension && nodes > 5; ++i)
        data[3 * dimension + i] = codebook[5 * dimension + i];
    Search expected(count);
    quorvel::find_bmus_ref(shape, codebook.data(), {data.data(), count},
                           expected.results());
    const quorvel::SparseRows sparse = quorvel::make_sparse_rows(
        data.data(), static_cast<std::uint32_t>(count), dimension);
    for (const SimdLevel level : all_levels) {
        if (!quorvel::detail::simd_level_available(level))
            continue;
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(quorvel::detail::simd_level_name(level));
            SCOPED_TRACE(threads);
            for (const bool seconds : {true, false}) {
                SCOPED_TRACE(seconds);
                Search found(count);
                std::vector<std::int32_t> pairs(2 * count, -7);
                quorvel::detail::find_bmus_sparse_fast(
                    quorvel::detail::variant_of(level), sparse.rows.data(),
                    codebook.data(), columns, 4, dimension,
                    static_cast<std::uint32_t>(count), pairs.data(), threads,
                    seconds ? found.runner_ups.data() : nullptr,
                    seconds ? found.runner_up_distances.data() : nullptr,
                    found.distances.data());
                for (std::size_t n = 0; n < count; ++n)
                    ASSERT_EQ(pairs[2 * n + 1] * std::int32_t(columns) + pairs[2 * n],
                              expected.nodes[n]);
                EXPECT_EQ(distance_bits(found.distances),
                          distance_bits(expected.distances));
                if (!seconds)
                    continue;
                EXPECT_EQ(found.runner_ups, expected.runner_ups);
                EXPECT_EQ(bits_of(found.runner_up_distances),
                          bits_of(expected.runner_up_distances));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SparseScreenedSearch,
    ::testing::Combine(::testing::Values(0, 1, 2, 3, 4, 5, 6, 7),
                       ::testing::Values(1u, 5u, 33u),
                       ::testing::Values(1u, 16u, 301u)));

// Wide sparse rows, whose walks jump over unstored stretches: a map of 3 x 7
// nodes (a partial block of lanes), each a copy of one base vector with a
// few components moved by a step or two of their spacing, so that every node
// stays a candidate and the BMU turns on the last bit of each walk. Bases:
// kind 0 small values, as trained on unit rows; kind 1 multiples of coarse
// powers of two, whose squares lie halfway in many binades; kind 2 powers of
// two, so that sums land on the edges of their binades; kind 3 three kinds of
// node whose own squares lie mostly early, evenly or late, so that the sums
// of one block's lanes climb through different binades. Rows store 1 to 40
// values, none at all, only the first or last component, or both ends
// (stretches longer than one jump may cross).
class SparseJumpedWalks : public ::testing::TestWithParam<int> {};

TEST_P(SparseJumpedWalks, MatchOracleForEveryVariantAndThreadCount) {
    const int kind = GetParam();
    const std::uint32_t columns = 3, rows = 7, dimension = 9000;
    const MapShape shape{columns, rows, dimension, Grid::rectangular,
                         Topology::planar};
    const std::uint32_t nodes = shape.node_count();
    const std::size_t count = 64;
    std::mt19937 generator(500 + kind);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    std::uniform_int_distribution<int> coarse(0, 255), power(6, 12);
    std::vector<float> base(dimension);
    for (float &value : base) {
        if (kind == 0)
            value = unit(generator) * 1e-3f;
        else if (kind == 1)
            value = std::ldexp(static_cast<float>(coarse(generator)), -power(generator));
        else if (kind == 2)
            value = std::ldexp(1.0f, -power(generator) / 2);
        else
            value = unit(generator) * 1e-2f;
    }
    std::vector<float> codebook(std::size_t{nodes} * dimension);
    std::uniform_int_distribution<std::uint32_t> position(0, dimension - 1);
    for (std::uint32_t k = 0; k < nodes; ++k) {
        std::copy(base.begin(), base.end(), codebook.begin() + k * dimension);
        if (kind == 3) {
            // Scales whose squares sum to 2 over the two halves.
            const float early[] = {1.0f, 1.1892071f, 0.8408964f};
            const float late[] = {1.0f, 0.7653669f, 1.1370550f};
            for (std::uint32_t i = 0; i < dimension; ++i)
                codebook[k * dimension + i] *=
                    (i < dimension / 2 ? early : late)[k % 3];
        }
        for (int moves = 0; moves < 3; ++moves) {
            float &value = codebook[k * dimension + position(generator)];
            value = std::nextafter(value, 2.0f * value + 1.0f);
            if (moves == 0)
                value = std::nextafter(value, 2.0f * value + 1.0f);
        }
    }
    // Rows long enough next to the nodes that the jumps are taken; short
    // ones where the nodes' own squares set the binades.
    const float scale = kind == 0 ? 0.5f : kind == 3 ? 0.1f : 25.0f;
    std::vector<float> data(count * dimension, 0.0f);
    std::uniform_int_distribution<int> stored(1, 40);
    for (std::size_t n = 0; n < count; ++n) {
        float *row = data.data() + n * dimension;
        if (n == 0)
            continue;
        if (n <= 3) {
            if (n != 2)
                row[0] = scale;
            if (n != 1)
                row[dimension - 1] = scale;
            continue;
        }
        // The last row the longest.
        for (int m = n + 1 == count ? 40 : stored(generator); m > 0; --m)
            row[position(generator)] =
                scale * (n + 1 == count ? 2.0f : 0.1f + unit(generator));
    }
    Search expected(count);
    quorvel::find_bmus_ref(shape, codebook.data(), {data.data(), count},
                           expected.results());
    const quorvel::SparseRows sparse = quorvel::make_sparse_rows(
        data.data(), static_cast<std::uint32_t>(count), dimension);
    for (const SimdLevel level : all_levels) {
        if (!quorvel::detail::simd_level_available(level))
            continue;
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(quorvel::detail::simd_level_name(level));
            SCOPED_TRACE(threads);
            Search found(count);
            std::vector<std::int32_t> pairs(2 * count, -7);
            quorvel::detail::find_bmus_sparse_fast(
                quorvel::detail::variant_of(level), sparse.rows.data(),
                codebook.data(), columns, rows, dimension,
                static_cast<std::uint32_t>(count), pairs.data(), threads,
                found.runner_ups.data(), found.runner_up_distances.data(),
                found.distances.data());
            for (std::size_t n = 0; n < count; ++n)
                found.nodes[n] = pairs[2 * n + 1] * std::int32_t(columns) + pairs[2 * n];
            expect_same_search(found, expected);
        }
    }
    // One prepared codebook searched in three calls: too few rows to make
    // the jump tables, rows that make them, and rows whose longest (the
    // last) makes them again.
    const Csr csr(data, count, dimension);
    quorvel::SparseCodebook prepared(shape, codebook.data(), 2);
    Search chunked(count);
    for (const auto &[begin, end] : {std::pair<std::size_t, std::size_t>{0, 5},
                                     {5, 37}, {37, count}}) {
        BmuResults results{chunked.nodes.data() + begin};
        results.distances = chunked.distances.data() + begin;
        results.runner_ups = chunked.runner_ups.data() + begin;
        results.runner_up_distances = chunked.runner_up_distances.data() + begin;
        quorvel::find_bmus(prepared, csr.rows(begin, end), results, 2);
    }
    expect_same_search(chunked, expected);
}

INSTANTIATE_TEST_SUITE_P(Bases, SparseJumpedWalks, ::testing::Values(0, 1, 2, 3));

TEST(MapSearch, OneNodeHasNoRunnerUp) {
    const MapShape shape{1, 1, 2, Grid::rectangular, Topology::planar};
    const std::vector<float> codebook{0.5f, 1.0f};
    const std::vector<float> data{0.0f, 0.0f, 1.0f, 1.0f};
    Search found(2);
    quorvel::find_bmus(shape, codebook.data(), {data.data(), 2},
                       found.results(), 1);
    EXPECT_EQ(found.nodes, (std::vector<std::int32_t>{0, 0}));
    EXPECT_EQ(found.runner_ups, (std::vector<std::int32_t>{-1, -1}));
    EXPECT_TRUE(std::isinf(found.runner_up_distances[0]));
    EXPECT_EQ(found.distances[0], 1.25f);
}

TEST(MapSearch, DistanceTableMatchesOracleSums) {
    const MapShape shape{9, 4, 13, Grid::rectangular, Topology::planar};
    const std::uint32_t nodes = shape.node_count();
    const std::size_t count = 21;
    const auto codebook = quorvel_test::random_values(nodes * 13, 3);
    const auto data = quorvel_test::random_values(count * 13, 4);
    std::vector<float> table(count * nodes);
    quorvel::node_distances(shape, codebook.data(), {data.data(), count},
                            table.data(), 2);
    for (std::size_t n = 0; n < count; ++n) {
        for (std::uint32_t k = 0; k < nodes; ++k) {
            float sum = 0.0f;
            for (std::uint32_t i = 0; i < 13; ++i) {
                const float t = codebook[k * 13 + i] - data[n * 13 + i];
                sum = sum + t * t;
            }
            ASSERT_EQ(bits_of(table[n * nodes + k]), bits_of(sum));
        }
    }
}

TEST(MapSearch, CsrRowsGiveTheDenseResults) {
    const MapShape shape{11, 5, 60, Grid::rectangular, Topology::toroid};
    const std::uint32_t nodes = shape.node_count();
    const std::size_t count = 90;
    const auto codebook = quorvel_test::random_values(nodes * 60, 11);
    // Mostly zeros: a sparse input.
    auto data = quorvel_test::random_values(count * 60, 12);
    for (std::size_t i = 0; i < data.size(); ++i)
        if (i % 5 != 0)
            data[i] = 0.0f;
    const Csr csr(data, count, 60);
    Search dense(count), sparse(count);
    quorvel::find_bmus(shape, codebook.data(), {data.data(), count},
                       dense.results(), 2);
    quorvel::find_bmus(shape, codebook.data(), csr.rows(), sparse.results(), 3);
    expect_same_search(sparse, dense, distance_bits);
    // Without runner-ups the sparse kernels search.
    std::vector<std::int32_t> nodes_only(count);
    std::vector<float> distances_only(count);
    BmuResults best_only{nodes_only.data()};
    best_only.distances = distances_only.data();
    quorvel::find_bmus(shape, codebook.data(), csr.rows(), best_only, 2);
    EXPECT_EQ(nodes_only, dense.nodes);
    EXPECT_EQ(bits_of(distances_only), bits_of(dense.distances));
    std::vector<float> dense_table(count * nodes), sparse_table(count * nodes);
    quorvel::node_distances(shape, codebook.data(), {data.data(), count},
                            dense_table.data(), 1);
    quorvel::node_distances(shape, codebook.data(), csr.rows(),
                            sparse_table.data(), 2);
    EXPECT_EQ(bits_of(sparse_table), bits_of(dense_table));
}

TEST(MapSums, ExactSumsForAnySplitThreadsAndForm) {
    const MapShape shape{6, 4, 7, Grid::hexagonal, Topology::planar};
    const std::size_t nodes = shape.node_count();
    const std::size_t count = 301;
    const auto codebook = quorvel_test::random_values(nodes * 7, 21);
    auto data = quorvel_test::random_values(count * 7, 22);
    for (std::size_t i = 0; i < data.size(); i += 3)
        data[i] = -data[i] * 1000.0f;
    const auto exponents = quorvel_test::feature_exponents(data, count, 7);
    const std::int32_t error_exponent = quorvel::choose_exponent(3000.0, count);

    // The plain loop: the reference search, then every row added.
    std::vector<std::int32_t> bmus(count);
    std::vector<float> distances(count);
    BmuResults reference{bmus.data()};
    reference.distances = distances.data();
    quorvel::find_bmus_ref(shape, codebook.data(), {data.data(), count},
                           reference);
    Sums expected(nodes, 7);
    for (std::size_t n = 0; n < count; ++n) {
        for (std::uint32_t f = 0; f < 7; ++f)
            expected.sums[bmus[n] * 7 + f] += static_cast<std::int64_t>(
                std::nearbyint(std::ldexp(double(data[n * 7 + f]),
                                          exponents[f])));
        ++expected.counts[bmus[n]];
        expected.totals[0] += static_cast<std::int64_t>(std::nearbyint(
            std::ldexp(std::sqrt(double(distances[n])), error_exponent)));
    }

    for (const std::size_t split : {std::size_t{1}, std::size_t{64}, count}) {
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(split);
            SCOPED_TRACE(threads);
            Sums dense(nodes, 7), sparse(nodes, 7);
            const auto dense_record = dense.record(exponents, error_exponent, count);
            const auto sparse_record =
                sparse.record(exponents, error_exponent, count);
            const Csr csr(data, count, 7);
            for (std::size_t first = 0; first < count; first += split) {
                const std::size_t rows = std::min(split, count - first);
                quorvel::accumulate(shape, codebook.data(),
                                    {data.data() + first * 7, rows},
                                    dense_record, nullptr, threads);
                std::vector<std::int64_t> indptr(rows + 1);
                for (std::size_t r = 0; r <= rows; ++r)
                    indptr[r] = csr.indptr[first + r] - csr.indptr[first];
                const CsrRows piece{csr.values.data() + csr.indptr[first],
                                    csr.indices.data() + csr.indptr[first],
                                    indptr.data(), rows};
                quorvel::accumulate(shape, codebook.data(), piece,
                                    sparse_record, nullptr, threads);
            }
            EXPECT_EQ(dense.sums, expected.sums);
            EXPECT_EQ(dense.counts, expected.counts);
            EXPECT_EQ(dense.totals, expected.totals);
            EXPECT_EQ(sparse.sums, expected.sums);
            EXPECT_EQ(sparse.counts, expected.counts);
            EXPECT_EQ(sparse.totals, expected.totals);
        }
    }
}

TEST(MapSums, ChosenExponentsNeverOverflow) {
    for (const double largest : {1e-30, 0.7, 1.0, 3.0e38, 123456.0}) {
        for (const std::uint64_t rows : {1ull, 2ull, 3ull, 1000ull, 1ull << 40}) {
            const std::int32_t e = quorvel::choose_exponent(largest, rows);
            // Every scaled value rounds to at most 2^62 / rows.
            EXPECT_LE(std::nearbyint(std::ldexp(largest, e)) * double(rows),
                      0x1p62);
            // And one more bit would not be safe in general.
            EXPECT_GT(std::ldexp(largest, e + 1) * double(rows) * 2.0, 0x1p62);
        }
    }
    EXPECT_EQ(quorvel::choose_exponent(0.0, 10), 0);
    EXPECT_EQ(quorvel::choose_exponent(INFINITY, 10), 0);
}

TEST(MapSums, DistancesBeyondTheRangeAreCountedApart) {
    const MapShape shape{1, 1, 1, Grid::rectangular, Topology::planar};
    const std::vector<float> codebook{0.0f};
    const std::vector<float> data{1.0f, 3.0e19f};
    const std::vector<std::int32_t> exponents{0};
    Sums sums(1, 1);
    quorvel::accumulate(shape, codebook.data(), {data.data(), 2},
                        sums.record(exponents, 40, 2), nullptr, 1);
    EXPECT_EQ(sums.totals[0], std::int64_t{1} << 40);
    EXPECT_EQ(sums.totals[1], 1);
}

// Five features, or enough that a map row's sums are taken in several
// stretches.
class MapNeighbourhoodApplication
    : public ::testing::TestWithParam<
          std::tuple<Grid, Topology, NeighbourhoodKind, double, std::uint32_t>> {};

TEST_P(MapNeighbourhoodApplication, MatchesAllPairsOracleBits) {
    const auto [grid, topology, kind, sigma, dimension] = GetParam();
    const MapShape shape{7, 6, dimension, grid, topology};
    const std::size_t nodes = shape.node_count();
    std::mt19937 generator(5);
    std::uniform_int_distribution<std::int64_t> value(-(1ll << 40), 1ll << 40);
    std::uniform_int_distribution<std::int64_t> hits(0, 3);
    std::vector<std::int64_t> sums(nodes * dimension), counts(nodes);
    for (auto &s : sums)
        s = value(generator);
    for (std::size_t k = 0; k < nodes; ++k) {
        counts[k] = k % 4 == 1 ? 0 : hits(generator) + 1;
        if (counts[k] == 0)
            for (std::uint32_t f = 0; f < dimension; ++f)
                sums[k * dimension + f] = 0;
    }
    std::vector<std::int32_t> exponents(dimension);
    const std::int32_t some_exponents[] = {30, 31, 40, 20, 35};
    for (std::uint32_t f = 0; f < dimension; ++f)
        exponents[f] = some_exponents[f % 5];
    const auto codebook = quorvel_test::random_values(nodes * dimension, 6);
    const MapNeighbourhood hood{kind, sigma};
    const quorvel::NodeTotals totals{sums.data(), counts.data(),
                                     exponents.data(), false};
    quorvel_test::expect_neighbourhood_matches_ref(shape, hood, totals, codebook);
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, MapNeighbourhoodApplication,
    ::testing::Combine(::testing::Values(Grid::rectangular, Grid::hexagonal),
                       ::testing::Values(Topology::planar, Topology::toroid),
                       ::testing::Values(NeighbourhoodKind::gaussian,
                                         NeighbourhoodKind::bubble,
                                         NeighbourhoodKind::cut_gaussian),
                       ::testing::Values(0.3, 1.0, 2.5, 1e-200),
                       ::testing::Values(5u, 1100u)));

TEST(MapNeighbourhoodApplication, NodeWithoutWeightKeepsItsVector) {
    const MapShape shape{5, 1, 1, Grid::rectangular, Topology::planar};
    std::vector<std::int64_t> sums{8, 0, 0, 0, 0}, counts{2, 0, 0, 0, 0};
    const std::vector<std::int32_t> exponents{2};
    const std::vector<float> codebook{9, 9, 9, 9, 9};
    std::vector<float> out(5);
    // A bubble of width 1: nodes 0 and 1 see node 0's rows, the others none.
    quorvel::apply_neighbourhood(
        shape, {NeighbourhoodKind::bubble, 1.0},
        {sums.data(), counts.data(), exponents.data(), false}, codebook.data(),
        out.data(), 0, 5, 2);
    EXPECT_EQ(out, (std::vector<float>{1.0f, 1.0f, 9, 9, 9}));
}

// Positions computed here from the definition of the grids.
double position_distance_squared(const MapShape &shape, std::uint32_t a,
                                 std::uint32_t b) {
    auto position = [&](std::uint32_t k, double shift_x, double shift_y) {
        const double x = k % shape.columns, y = k / shape.columns;
        if (shape.grid == Grid::hexagonal)
            return std::pair<double, double>{
                x + 0.5 * std::fmod(y, 2.0) + shift_x,
                y * std::sqrt(3.0) / 2.0 + shift_y};
        return std::pair<double, double>{x + shift_x, y + shift_y};
    };
    const auto pa = position(a, 0, 0);
    double best = std::numeric_limits<double>::infinity();
    const double period_y = shape.grid == Grid::hexagonal
                                ? shape.rows * std::sqrt(3.0) / 2.0
                                : shape.rows;
    const int images = shape.topology == Topology::toroid ? 1 : 0;
    for (int i = -images; i <= images; ++i) {
        for (int j = -images; j <= images; ++j) {
            const auto pb = position(b, i * double(shape.columns), j * period_y);
            const double dx = pa.first - pb.first, dy = pa.second - pb.second;
            best = std::min(best, dx * dx + dy * dy);
        }
    }
    return best;
}

TEST(MapGeometry, GridDistancesMatchPositions) {
    for (const Grid grid : {Grid::rectangular, Grid::hexagonal}) {
        for (const Topology topology : {Topology::planar, Topology::toroid}) {
            for (const std::uint32_t columns : {1u, 2u, 5u}) {
                for (const std::uint32_t rows : {2u, 4u, 6u}) {
                    const MapShape shape{columns, rows, 1, grid, topology};
                    for (std::uint32_t a = 0; a < shape.node_count(); ++a)
                        for (std::uint32_t b = 0; b < shape.node_count(); ++b)
                            ASSERT_NEAR(
                                quorvel::grid_distance_squared(shape, a, b),
                                position_distance_squared(shape, a, b), 1e-9)
                                << columns << "x" << rows << " " << a << " "
                                << b;
                }
            }
        }
    }
}

TEST(MapGeometry, InnerNodesHaveSixOrEightNeighbours) {
    for (const auto &[grid, expected] :
         {std::pair{Grid::hexagonal, 6}, std::pair{Grid::rectangular, 8}}) {
        const MapShape shape{7, 6, 1, grid, Topology::planar};
        const std::uint32_t inner = 3 * 7 + 3;
        int count = 0;
        for (std::uint32_t k = 0; k < shape.node_count(); ++k)
            count += quorvel::are_neighbours(shape, inner, k);
        EXPECT_EQ(count, expected);
        const MapShape torus{7, 6, 1, grid, Topology::toroid};
        for (std::uint32_t j = 0; j < torus.node_count(); ++j) {
            int around = 0;
            for (std::uint32_t k = 0; k < torus.node_count(); ++k)
                around += quorvel::are_neighbours(torus, j, k);
            EXPECT_EQ(around, expected);
        }
    }
}

TEST(MapGeometry, UmatrixIsMeanDistanceToDistinctNeighbours) {
    for (const Grid grid : {Grid::rectangular, Grid::hexagonal}) {
        for (const Topology topology : {Topology::planar, Topology::toroid}) {
            for (const std::uint32_t columns : {1u, 2u, 3u, 8u}) {
                const MapShape shape{columns, 4, 3, grid, topology};
                const std::uint32_t nodes = shape.node_count();
                const auto codebook = quorvel_test::random_values(nodes * 3, 9);
                std::vector<float> out(nodes);
                quorvel::map_umatrix(shape, codebook.data(), out.data(), 2);
                for (std::uint32_t j = 0; j < nodes; ++j) {
                    double total = 0.0;
                    int count = 0;
                    for (std::uint32_t k = 0; k < nodes; ++k) {
                        if (k == j || position_distance_squared(shape, j, k) >
                                          2.25 + 1e-9)
                            continue;
                        double squares = 0.0;
                        for (int i = 0; i < 3; ++i) {
                            const double d = double(codebook[j * 3 + i]) -
                                             double(codebook[k * 3 + i]);
                            squares += d * d;
                        }
                        total += std::sqrt(squares);
                        ++count;
                    }
                    const double expected = count ? total / count : 0.0;
                    ASSERT_NEAR(out[j], expected, 1e-6 * (1 + expected))
                        << columns << " " << j;
                }
            }
        }
    }
}

TEST(MapGeometry, PortableExpIsCloseToTheLibrary) {
    for (double x = -750.0; x < 712.0; x += 0.37) {
        const double expected = std::exp(x);
        const double got = quorvel::portable_exp(x);
        if (std::isinf(expected)) {
            EXPECT_EQ(got, expected);
            continue;
        }
        if (expected < 1e-300) {
            EXPECT_NEAR(got, expected, 1e-300);
            continue;
        }
        ASSERT_NEAR(got / expected, 1.0, 4e-16) << x;
    }
    EXPECT_EQ(quorvel::portable_exp(0.0), 1.0);
    EXPECT_TRUE(std::isnan(quorvel::portable_exp(NAN)));
    EXPECT_EQ(quorvel::portable_exp(-INFINITY), 0.0);
}

TEST(MapGeometry, NeighbourhoodValuesFollowTheirDefinitions) {
    const MapNeighbourhood gaussian{NeighbourhoodKind::gaussian, 2.0};
    const MapNeighbourhood bubble{NeighbourhoodKind::bubble, 2.0};
    const MapNeighbourhood cut{NeighbourhoodKind::cut_gaussian, 2.0};
    EXPECT_NEAR(quorvel::neighbourhood_value(gaussian, 3.0), std::exp(-3.0 / 8),
                1e-16);
    EXPECT_EQ(quorvel::neighbourhood_value(bubble, 4.0), 1.0);
    EXPECT_EQ(quorvel::neighbourhood_value(bubble, 4.0000001), 0.0);
    EXPECT_NEAR(quorvel::neighbourhood_value(cut, 4.0), std::exp(-0.5), 1e-16);
    EXPECT_EQ(quorvel::neighbourhood_value(cut, 4.5), 0.0);
    // At the node itself every kind is 1, even where 2 sigma^2 underflows.
    EXPECT_EQ(quorvel::neighbourhood_value({NeighbourhoodKind::gaussian, 1e-300},
                                           0.0),
              1.0);
    EXPECT_EQ(quorvel::neighbourhood_value({NeighbourhoodKind::gaussian, 1e-300},
                                           1.0),
              0.0);
}

} // namespace
