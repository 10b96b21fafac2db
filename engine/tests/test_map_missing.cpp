// The missing-value entry points of the map: the masked search against its
// one-row oracle and a plain walk written here, complete rows against the
// dense search, CSR input against dense, rows with every, no and some
// features missing, the max_missing edge, exact sums with a weight per
// feature across splits and thread counts, and the neighbourhood with a
// denominator per feature against its all-pairs oracle.
#include "quorvel/map.h"
#include "map_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

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
using quorvel_test::bits_of;
using quorvel_test::Csr;
using quorvel_test::expect_same_search;
using quorvel_test::Search;
using quorvel_test::Sums;

const float nan_value = std::numeric_limits<float>::quiet_NaN();

// Rows on a coarse grid (ties are common) with a share of missing values;
// row 0 misses every feature, row 1 none, row 2 all but the last.
std::vector<float> holed_rows(std::size_t count, std::uint32_t dimension,
                              unsigned seed, double missing_share) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> pick(-4, 4);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<float> values(count * dimension);
    for (float &value : values) {
        value = static_cast<float>(pick(generator)) * 0.25f;
        if (chance(generator) < missing_share)
            value = nan_value;
    }
    for (std::uint32_t f = 0; f < dimension; ++f) {
        if (count > 0)
            values[f] = nan_value;
        if (count > 1)
            values[dimension + f] = static_cast<float>(f) * 0.5f;
        if (count > 2 && f + 1 < dimension)
            values[2 * dimension + f] = nan_value;
    }
    return values;
}

std::vector<float> coarse_codebook(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> pick(-4, 4);
    std::vector<float> values(count);
    for (float &value : values)
        value = static_cast<float>(pick(generator)) * 0.25f;
    return values;
}

// The masked squared distance as documented, written out here.
float masked_distance(const float *node, const float *row,
                      std::uint32_t dimension) {
    float sum = 0.0f;
    std::uint32_t observed = 0;
    for (std::uint32_t f = 0; f < dimension; ++f) {
        if (std::isnan(row[f]))
            continue;
        const float difference = node[f] - row[f];
        sum = sum + difference * difference;
        ++observed;
    }
    return sum * (static_cast<float>(dimension) / static_cast<float>(observed));
}

TEST(MissingLimit, FollowsTheQuotientInDouble) {
    EXPECT_EQ(quorvel::missing_limit(0.5, 10), 5u);
    EXPECT_EQ(quorvel::missing_limit(0.5, 9), 4u);
    // 3 / 10 rounds to the double nearest 0.3, which is max_missing itself.
    EXPECT_EQ(quorvel::missing_limit(0.3, 10), 3u);
    EXPECT_EQ(quorvel::missing_limit(0.0, 10), 0u);
    EXPECT_EQ(quorvel::missing_limit(1.0, 10), 10u);
    EXPECT_EQ(quorvel::missing_limit(0.999, 10), 9u);
    EXPECT_EQ(quorvel::missing_limit(std::nan(""), 10), 0u);
    EXPECT_EQ(quorvel::missing_limit(0.5, 0), 0u);
    for (std::uint32_t dimension = 1; dimension < 40; ++dimension) {
        for (const double fraction : {0.1, 0.25, 1.0 / 3.0, 0.5, 0.7, 0.9}) {
            const std::uint32_t limit =
                quorvel::missing_limit(fraction, dimension);
            EXPECT_LE(double(limit) / double(dimension), fraction);
            if (limit < dimension) {
                EXPECT_GT(double(limit + 1) / double(dimension), fraction);
            }
        }
    }
}

// Columns, dimension, rows, share of missing values.
class MissingSearch
    : public ::testing::TestWithParam<
          std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, double>> {};

TEST_P(MissingSearch, MatchesOracleAndPlainWalkForAnyThreadCount) {
    const auto [columns, dimension, count, share] = GetParam();
    const MapShape shape{columns, 3, dimension, Grid::hexagonal,
                         Topology::planar};
    const std::uint32_t nodes = shape.node_count();
    auto codebook = coarse_codebook(std::size_t{nodes} * dimension,
                                    columns * 7 + dimension);
    // Duplicate nodes: exact ties for first and second place.
    if (nodes >= 4)
        for (std::uint32_t i = 0; i < dimension; ++i)
            codebook[3 * dimension + i] = codebook[1 * dimension + i];
    const auto data = holed_rows(count, dimension, count + dimension, share);
    const std::uint32_t most = quorvel::missing_limit(0.5, dimension);
    Search expected(count);
    quorvel::find_bmus_missing_ref(shape, codebook.data(),
                                   {data.data(), count}, most,
                                   expected.results());
    // The oracle against the documented rule, walked here.
    for (std::size_t n = 0; n < count; ++n) {
        const float *row = data.data() + n * dimension;
        std::uint32_t missing = 0;
        for (std::uint32_t f = 0; f < dimension; ++f)
            missing += std::isnan(row[f]);
        if (missing == dimension || missing > most) {
            EXPECT_EQ(expected.nodes[n], -1);
            EXPECT_TRUE(std::isnan(expected.distances[n]));
            EXPECT_EQ(expected.runner_ups[n], -1);
            continue;
        }
        std::int32_t best = 0;
        float best_distance = masked_distance(codebook.data(), row, dimension);
        for (std::uint32_t k = 1; k < nodes; ++k) {
            const float d =
                masked_distance(codebook.data() + k * dimension, row, dimension);
            if (d < best_distance) {
                best_distance = d;
                best = static_cast<std::int32_t>(k);
            }
        }
        EXPECT_EQ(expected.nodes[n], best);
        EXPECT_EQ(bits_of(expected.distances[n]), bits_of(best_distance));
    }
    const Csr csr(data, count, dimension);
    for (const int threads : {1, 2, 3}) {
        SCOPED_TRACE(threads);
        Search dense(count), sparse(count);
        quorvel::find_bmus_missing(shape, codebook.data(), {data.data(), count},
                                   most, dense.results(), threads);
        quorvel::find_bmus_missing(shape, codebook.data(), csr.rows(), most,
                                   sparse.results(), threads);
        expect_same_search(dense, expected);
        expect_same_search(sparse, expected);
        // Nodes and distances only: the sparse search without runner-ups.
        std::vector<std::int32_t> nodes_only(count);
        std::vector<float> distances_only(count);
        BmuResults best_only{nodes_only.data()};
        best_only.distances = distances_only.data();
        quorvel::find_bmus_missing(shape, codebook.data(), csr.rows(), most,
                                   best_only, threads);
        EXPECT_EQ(nodes_only, expected.nodes);
        EXPECT_EQ(bits_of(distances_only), bits_of(expected.distances));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, MissingSearch,
    ::testing::Combine(::testing::Values(1u, 2u, 7u, 17u),
                       ::testing::Values(1u, 5u, 33u),
                       ::testing::Values(3u, 9u, 70u),
                       ::testing::Values(0.0, 0.1, 0.4)));

TEST(MissingSearch, CompleteRowsGiveTheDenseBits) {
    const MapShape shape{9, 5, 13, Grid::rectangular, Topology::toroid};
    const std::size_t nodes = shape.node_count();
    const std::size_t count = 120;
    const auto codebook = quorvel_test::random_values(nodes * 13, 31);
    auto data = quorvel_test::random_values(count * 13, 32);
    Search plain(count), masked(count);
    quorvel::find_bmus(shape, codebook.data(), {data.data(), count},
                       plain.results(), 2);
    quorvel::find_bmus_missing(shape, codebook.data(), {data.data(), count}, 6,
                               masked.results(), 2);
    expect_same_search(masked, plain);
    // With holes in every other row, the complete rows keep their results.
    for (std::size_t n = 1; n < count; n += 2)
        data[n * 13 + n % 13] = nan_value;
    Search mixed(count);
    quorvel::find_bmus_missing(shape, codebook.data(), {data.data(), count}, 6,
                               mixed.results(), 3);
    for (std::size_t n = 0; n < count; n += 2) {
        EXPECT_EQ(mixed.nodes[n], plain.nodes[n]);
        EXPECT_EQ(mixed.runner_ups[n], plain.runner_ups[n]);
        EXPECT_EQ(bits_of(mixed.distances[n]), bits_of(plain.distances[n]));
    }
    std::vector<float> dense_table(count * nodes), masked_table(count * nodes);
    quorvel::node_distances(shape, codebook.data(), {data.data(), count},
                            dense_table.data(), 1);
    quorvel::node_distances_missing(shape, codebook.data(),
                                    {data.data(), count}, 6,
                                    masked_table.data(), 2);
    for (std::size_t n = 0; n < count; n += 2)
        for (std::size_t k = 0; k < nodes; ++k)
            ASSERT_EQ(bits_of(masked_table[n * nodes + k]),
                      bits_of(dense_table[n * nodes + k]));
}

TEST(MissingSearch, ManyBlocksOfCompleteRows) {
    // More complete rows than one gathered block holds, between rows with
    // holes.
    const MapShape shape{2, 2, 3, Grid::rectangular, Topology::planar};
    const std::size_t count = 20000;
    const auto codebook = quorvel_test::random_values(12, 41);
    auto data = quorvel_test::random_values(count * 3, 42);
    for (std::size_t n = 0; n < count; n += 97)
        data[n * 3 + 1] = nan_value;
    Search expected(count), found(count);
    quorvel::find_bmus_missing_ref(shape, codebook.data(), {data.data(), count},
                                   1, expected.results());
    quorvel::find_bmus_missing(shape, codebook.data(), {data.data(), count}, 1,
                               found.results(), 2);
    expect_same_search(found, expected);
    const Csr csr(data, count, 3);
    Search sparse(count);
    quorvel::find_bmus_missing(shape, codebook.data(), csr.rows(), 1,
                               sparse.results(), 2);
    expect_same_search(sparse, expected);
}

TEST(MissingSearch, MaxMissingEdge) {
    // Four features: rows missing 0 .. 4 of them, under limits 0 .. 4.
    const MapShape shape{3, 1, 4, Grid::rectangular, Topology::planar};
    const std::vector<float> codebook{0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2};
    std::vector<float> data(5 * 4, 1.0f);
    for (std::size_t n = 0; n < 5; ++n)
        for (std::size_t f = 0; f < n; ++f)
            data[n * 4 + f] = nan_value;
    for (std::uint32_t most = 0; most <= 4; ++most) {
        Search found(5);
        quorvel::find_bmus_missing(shape, codebook.data(), {data.data(), 5},
                                   most, found.results(), 1);
        for (std::uint32_t n = 0; n < 5; ++n) {
            SCOPED_TRACE(testing::Message() << most << " " << n);
            if (n <= most && n < 4) {
                EXPECT_EQ(found.nodes[n], 1);
                EXPECT_EQ(found.distances[n], 0.0f);
                EXPECT_EQ(found.runner_ups[n], 0);
                // Four over the observed features, scaled back to four.
                EXPECT_EQ(found.runner_up_distances[n], 4.0f);
            } else {
                EXPECT_EQ(found.nodes[n], -1);
                EXPECT_TRUE(std::isnan(found.distances[n]));
            }
        }
    }
}

TEST(MissingSearch, DistanceTableIsTheMaskedRule) {
    const MapShape shape{4, 3, 6, Grid::hexagonal, Topology::planar};
    const std::size_t nodes = shape.node_count();
    const std::size_t count = 40;
    const auto codebook = quorvel_test::random_values(nodes * 6, 51);
    auto data = holed_rows(count, 6, 52, 0.3);
    const std::uint32_t most = 3;
    std::vector<float> table(count * nodes), sparse_table(count * nodes);
    quorvel::node_distances_missing(shape, codebook.data(),
                                    {data.data(), count}, most, table.data(),
                                    2);
    const Csr csr(data, count, 6);
    quorvel::node_distances_missing(shape, codebook.data(), csr.rows(), most,
                                    sparse_table.data(), 3);
    EXPECT_EQ(bits_of(sparse_table), bits_of(table));
    for (std::size_t n = 0; n < count; ++n) {
        const float *row = data.data() + n * 6;
        std::uint32_t missing = 0;
        for (int f = 0; f < 6; ++f)
            missing += std::isnan(row[f]);
        for (std::size_t k = 0; k < nodes; ++k) {
            if (missing == 6 || missing > most) {
                ASSERT_TRUE(std::isnan(table[n * nodes + k]));
            } else {
                ASSERT_EQ(bits_of(table[n * nodes + k]),
                          bits_of(masked_distance(codebook.data() + k * 6, row,
                                                  6)));
            }
        }
    }
}

TEST(MissingSums, ExactSumsForAnySplitThreadsAndForm) {
    const MapShape shape{6, 4, 7, Grid::hexagonal, Topology::planar};
    const std::size_t nodes = shape.node_count();
    const std::size_t count = 301;
    const std::uint32_t most = 3;
    const auto codebook = quorvel_test::random_values(nodes * 7, 61);
    auto data = holed_rows(count, 7, 62, 0.25);
    for (std::size_t i = 0; i < data.size(); i += 3)
        data[i] = -data[i] * 1000.0f;
    // Zeros: absent from the CSR form, observed all the same.
    for (std::size_t i = 1; i < data.size(); i += 5)
        data[i] = 0.0f;
    const auto exponents = quorvel_test::feature_exponents(data, count, 7);
    const std::int32_t error_exponent = quorvel::choose_exponent(9000.0, count);

    // The plain loop: the oracle's search, then every row added.
    std::vector<std::int32_t> bmus(count);
    std::vector<float> distances(count);
    BmuResults reference{bmus.data()};
    reference.distances = distances.data();
    quorvel::find_bmus_missing_ref(shape, codebook.data(), {data.data(), count},
                                   most, reference);
    Sums expected(nodes, 7);
    std::size_t with_bmu = 0;
    for (std::size_t n = 0; n < count; ++n) {
        if (bmus[n] < 0)
            continue;
        ++with_bmu;
        for (std::uint32_t f = 0; f < 7; ++f) {
            const float value = data[n * 7 + f];
            if (std::isnan(value))
                continue;
            expected.sums[bmus[n] * 7 + f] += static_cast<std::int64_t>(
                std::nearbyint(std::ldexp(double(value), exponents[f])));
            ++expected.observed[bmus[n] * 7 + f];
        }
        ++expected.counts[bmus[n]];
        expected.totals[0] += static_cast<std::int64_t>(std::nearbyint(
            std::ldexp(std::sqrt(double(distances[n])), error_exponent)));
    }
    ASSERT_GT(with_bmu, count / 2);
    ASSERT_LT(with_bmu, count);

    const Csr csr(data, count, 7);
    for (const std::size_t split : {std::size_t{1}, std::size_t{64}, count}) {
        for (const int threads : {1, 2, 3}) {
            SCOPED_TRACE(split);
            SCOPED_TRACE(threads);
            Sums dense(nodes, 7), sparse(nodes, 7);
            const auto dense_record =
                dense.record(exponents, error_exponent, count);
            const auto sparse_record =
                sparse.record(exponents, error_exponent, count);
            for (std::size_t first = 0; first < count; first += split) {
                const std::size_t rows = std::min(split, count - first);
                quorvel::accumulate_missing(shape, codebook.data(),
                                            {data.data() + first * 7, rows},
                                            most, dense_record, nullptr,
                                            threads);
                std::vector<std::int64_t> indptr(rows + 1);
                for (std::size_t r = 0; r <= rows; ++r)
                    indptr[r] = csr.indptr[first + r] - csr.indptr[first];
                const CsrRows piece{csr.values.data() + csr.indptr[first],
                                    csr.indices.data() + csr.indptr[first],
                                    indptr.data(), rows};
                quorvel::accumulate_missing(shape, codebook.data(), piece, most,
                                            sparse_record, nullptr, threads);
            }
            for (const Sums *found : {&dense, &sparse}) {
                EXPECT_EQ(found->sums, expected.sums);
                EXPECT_EQ(found->observed, expected.observed);
                EXPECT_EQ(found->counts, expected.counts);
                EXPECT_EQ(found->totals, expected.totals);
            }
        }
    }
}

TEST(MissingSums, CompleteRowsGiveTheSumsOfAccumulate) {
    const MapShape shape{5, 3, 4, Grid::rectangular, Topology::planar};
    const std::size_t nodes = shape.node_count();
    const std::size_t count = 200;
    const auto codebook = quorvel_test::random_values(nodes * 4, 71);
    const auto data = quorvel_test::random_values(count * 4, 72);
    const std::vector<std::int32_t> exponents{50, 50, 50, 50};
    std::vector<std::int64_t> sums(nodes * 4), counts(nodes), totals(2);
    quorvel::accumulate(shape, codebook.data(), {data.data(), count},
                        {sums.data(), counts.data(), exponents.data(), 40,
                         count, totals.data(), totals.data() + 1},
                        nullptr, 2);
    Sums masked(nodes, 4);
    quorvel::accumulate_missing(shape, codebook.data(), {data.data(), count}, 0,
                                masked.record(exponents, 40, count), nullptr,
                                3);
    EXPECT_EQ(masked.sums, sums);
    EXPECT_EQ(masked.counts, counts);
    EXPECT_EQ(masked.totals, totals);
    for (std::size_t k = 0; k < nodes; ++k)
        for (std::size_t f = 0; f < 4; ++f)
            EXPECT_EQ(masked.observed[k * 4 + f], counts[k]);
}

class MissingNeighbourhood
    : public ::testing::TestWithParam<
          std::tuple<Grid, Topology, NeighbourhoodKind, double>> {};

TEST_P(MissingNeighbourhood, MatchesAllPairsOracleBits) {
    const auto [grid, topology, kind, sigma] = GetParam();
    const MapShape shape{7, 6, 5, grid, topology};
    const std::size_t nodes = shape.node_count();
    std::mt19937 generator(5);
    std::uniform_int_distribution<std::int64_t> value(-(1ll << 40), 1ll << 40);
    std::uniform_int_distribution<std::int64_t> hits(0, 3);
    std::vector<std::int64_t> sums(nodes * 5), observed(nodes * 5);
    for (std::size_t cell = 0; cell < nodes * 5; ++cell) {
        // Whole nodes without rows, and single features without weight.
        const std::size_t k = cell / 5;
        observed[cell] = k % 4 == 1 || cell % 7 == 3 ? 0 : hits(generator);
        sums[cell] = observed[cell] == 0 ? 0 : value(generator);
    }
    const std::vector<std::int32_t> exponents{30, 31, 40, 20, 35};
    const auto codebook = quorvel_test::random_values(nodes * 5, 6);
    const MapNeighbourhood hood{kind, sigma};
    const quorvel::NodeTotals totals{sums.data(), observed.data(),
                                     exponents.data(), true};
    quorvel_test::expect_neighbourhood_matches_ref(shape, hood, totals, codebook);
    // Where every feature of a node has its row count as weight, the bits
    // of the weights per node.
    std::vector<std::int64_t> counts(nodes), full(nodes * 5);
    for (std::size_t k = 0; k < nodes; ++k) {
        counts[k] = k % 4 == 1 ? 0 : hits(generator) + 1;
        for (std::size_t f = 0; f < 5; ++f) {
            full[k * 5 + f] = counts[k];
            if (counts[k] == 0)
                sums[k * 5 + f] = 0;
            else if (sums[k * 5 + f] == 0)
                sums[k * 5 + f] = value(generator);
        }
    }
    std::vector<float> plain(nodes * 5), masked(nodes * 5);
    quorvel::apply_neighbourhood(
        shape, hood, {sums.data(), counts.data(), exponents.data(), false},
        codebook.data(), plain.data(), 0, nodes, 2);
    quorvel::apply_neighbourhood(
        shape, hood, {sums.data(), full.data(), exponents.data(), true},
        codebook.data(), masked.data(), 0, nodes, 3);
    EXPECT_EQ(bits_of(masked), bits_of(plain));
}

INSTANTIATE_TEST_SUITE_P(
    Geometries, MissingNeighbourhood,
    ::testing::Combine(::testing::Values(Grid::rectangular, Grid::hexagonal),
                       ::testing::Values(Topology::planar, Topology::toroid),
                       ::testing::Values(NeighbourhoodKind::gaussian,
                                         NeighbourhoodKind::bubble,
                                         NeighbourhoodKind::cut_gaussian),
                       ::testing::Values(0.3, 1.0, 2.5)));

TEST(MissingNeighbourhood, FeatureWithoutWeightKeepsItsValue) {
    const MapShape shape{5, 1, 2, Grid::rectangular, Topology::planar};
    // Node 0 holds two rows; only one of them observes feature 1.
    const std::vector<std::int64_t> sums{8, 12, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<std::int64_t> observed{2, 1, 0, 0, 0, 0, 0, 0, 0, 0};
    const std::vector<std::int32_t> exponents{2, 2};
    const std::vector<float> codebook(10, 9.0f);
    std::vector<float> out(10);
    quorvel::apply_neighbourhood(
        shape, {NeighbourhoodKind::bubble, 1.0},
        {sums.data(), observed.data(), exponents.data(), true},
        codebook.data(), out.data(), 0, 5, 2);
    EXPECT_EQ(out, (std::vector<float>{1, 3, 1, 3, 9, 9, 9, 9, 9, 9}));
}

} // namespace
