#include "quorvel/epoch.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>
#include <vector>

namespace {

using quorvel_test::bits_of;

struct Map {
    std::uint32_t columns, rows, dimension;
    std::vector<float> codebook;
    std::vector<std::int32_t> bmus;
};

struct Epoch {
    float radius = 1.0f;
    float scale = 1.0f;
    std::string map_type = "planar";
    std::string grid_type = "rectangular";
    bool cutoff = false;
    bool use_gaussian = true;
    bool bmu_only = false;
};

quorvel::EpochSettings settings_of(const Map &map, std::uint32_t vectors,
                                   const Epoch &epoch) {
    return {map.columns,    map.rows,        map.dimension,
            vectors,        epoch.radius,    epoch.scale,
            epoch.map_type, epoch.grid_type, epoch.cutoff,
            epoch.use_gaussian, epoch.bmu_only};
}

void dense(Map &map, const std::vector<float> &data, const Epoch &epoch) {
    const auto vectors =
        static_cast<std::uint32_t>(map.dimension ? data.size() / map.dimension : 0);
    map.bmus.resize(2 * vectors, -1);
    quorvel::dense_epoch(data.data(), map.codebook.data(), map.bmus.data(),
                         settings_of(map, vectors, epoch));
}

void sparse(Map &map, const std::vector<float> &data, std::uint32_t vectors,
            const Epoch &epoch) {
    const quorvel::SparseRows rows =
        quorvel::make_sparse_rows(data.data(), vectors, map.dimension);
    map.bmus.resize(2 * vectors, -1);
    quorvel::sparse_epoch(rows.rows.data(), map.codebook.data(),
                          map.bmus.data(), settings_of(map, vectors, epoch));
}

TEST(DenseEpoch, test_bmu_only_keeps_the_codebook) {
    Map map{3, 2, 2, quorvel_test::random_values(12, 1), {}};
    const std::vector<float> before = map.codebook;
    Epoch epoch;
    epoch.bmu_only = true;
    dense(map, quorvel_test::random_values(10, 2), epoch);
    EXPECT_EQ(bits_of(map.codebook), bits_of(before));
    for (std::int32_t coordinate : map.bmus)
        EXPECT_GE(coordinate, 0);
}

TEST(DenseEpoch, test_ties_go_to_the_first_node_in_row_major_order) {
    // Nodes (1, 0) and (0, 1) hold the same vector; (0, 0) and (1, 1) are far.
    Map map{2, 2, 1, {9.0f, 0.5f, 0.5f, 9.0f}, {}};
    Epoch epoch;
    epoch.bmu_only = true;
    dense(map, {0.4f}, epoch);
    EXPECT_EQ(map.bmus, (std::vector<std::int32_t>{1, 0}));
    // The lower row wins over a lower column.
    map.columns = 3;
    map.codebook = {9.0f, 9.0f, 0.5f, 0.5f, 9.0f, 9.0f};
    dense(map, {0.5f}, epoch);
    EXPECT_EQ(map.bmus, (std::vector<std::int32_t>{2, 0}));
}

TEST(DenseEpoch, test_nan_distance_never_wins_and_nan_best_never_loses) {
    Map map{3, 1, 1, {1.0f, NAN, 0.0f}, {}};
    Epoch epoch;
    epoch.bmu_only = true;
    dense(map, {0.1f}, epoch);
    EXPECT_EQ(map.bmus, (std::vector<std::int32_t>{2, 0}));
    map.codebook = {NAN, 0.0f, 0.1f};
    dense(map, {0.1f}, epoch);
    EXPECT_EQ(map.bmus, (std::vector<std::int32_t>{0, 0}));
}

TEST(DenseEpoch, test_single_node_takes_the_positive_part_of_the_mean) {
    Map map{1, 1, 3, {7.0f, 7.0f, 7.0f}, {}};
    dense(map, {1.0f, -1.0f, 0.0f, 3.0f, -2.0f, 0.0f}, Epoch{});
    EXPECT_FLOAT_EQ(map.codebook[0], 2.0f);
    EXPECT_EQ(map.codebook[1], 7.0f) << "negative means are never written";
    EXPECT_EQ(map.codebook[2], 7.0f) << "zero means are never written";
}

TEST(DenseEpoch, test_scale_zero_keeps_and_negative_scale_mirrors) {
    const std::vector<float> data = quorvel_test::random_values(40, 3);
    const std::vector<float> start = quorvel_test::random_values(36, 4);
    Map zero{3, 3, 4, start, {}}, positive{3, 3, 4, start, {}},
        negative{3, 3, 4, start, {}};
    Epoch epoch;
    epoch.scale = 0.0f;
    dense(zero, data, epoch);
    EXPECT_EQ(bits_of(zero.codebook), bits_of(start));
    epoch.scale = 0.3f;
    dense(positive, data, epoch);
    epoch.scale = -0.3f;
    dense(negative, data, epoch);
    EXPECT_EQ(bits_of(negative.codebook), bits_of(positive.codebook));
    EXPECT_NE(bits_of(positive.codebook), bits_of(start));
}

TEST(DenseEpoch, test_bubble_single_vector_copies_positive_components) {
    Map map{4, 4, 2, std::vector<float>(32, 0.25f), {}};
    map.codebook[2 * 5] = 0.9f; // node (1, 1) is the BMU of (1.0, -1.0)
    Epoch epoch;
    epoch.use_gaussian = false;
    dense(map, {1.0f, -1.0f}, epoch);
    EXPECT_EQ(map.bmus, (std::vector<std::int32_t>{1, 1}));
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 4; ++x) {
            const float *node = &map.codebook[2 * (y * 4 + x)];
            const bool within = std::hypot(float(x) - 1.0f, float(y) - 1.0f) <= 1.0f;
            EXPECT_EQ(node[0], within ? 1.0f : 0.25f)
                << x << "," << y;
            EXPECT_EQ(node[1], 0.25f);
        }
    }
}

TEST(DenseEpoch, test_unrecognised_map_type_gives_every_node_the_mean) {
    Map map{3, 2, 2, quorvel_test::random_values(12, 5), {}};
    Epoch epoch;
    epoch.map_type = "Planar";
    epoch.cutoff = true;
    dense(map, {0.2f, 0.4f, 0.6f, 0.8f}, epoch);
    for (std::uint32_t node = 0; node < 6; ++node) {
        EXPECT_FLOAT_EQ(map.codebook[2 * node], 0.4f);
        EXPECT_FLOAT_EQ(map.codebook[2 * node + 1], 0.6f);
    }
}

TEST(DenseEpoch, test_zero_data_and_no_vectors_keep_the_codebook) {
    const std::vector<float> start = quorvel_test::random_values(18, 6);
    Map map{3, 3, 2, start, {}};
    dense(map, std::vector<float>(10, 0.0f), Epoch{});
    EXPECT_EQ(bits_of(map.codebook), bits_of(start));
    dense(map, {}, Epoch{});
    EXPECT_EQ(bits_of(map.codebook), bits_of(start));
}

// Random epochs over every geometry and neighbourhood shape, with zeros,
// negative zeros, negative values, NaN and infinities in the data.
using EpochCase = std::tuple<const char *, const char *, int, unsigned>;

class EpochProperties : public ::testing::TestWithParam<EpochCase> {
  protected:
    Epoch epoch() const {
        Epoch e;
        e.map_type = std::get<0>(GetParam());
        e.grid_type = std::get<1>(GetParam());
        const int shape = std::get<2>(GetParam());
        e.use_gaussian = shape != 0;
        e.cutoff = shape == 2;
        const unsigned seed = std::get<3>(GetParam());
        e.radius = 0.5f * static_cast<float>(seed % 5);
        e.scale = seed % 3 == 0 ? -0.05f : 0.7f;
        return e;
    }
    bool awkward() const { return std::get<3>(GetParam()) % 2 == 1; }
};

TEST_P(EpochProperties, test_sparse_rows_train_like_dense_data) {
    const unsigned seed = std::get<3>(GetParam());
    const std::uint32_t columns = 2 + seed % 4, rows = 1 + seed % 3,
                        dimension = 1 + seed % 7, vectors = 1 + seed % 13;
    const std::vector<float> data =
        quorvel_test::random_values(vectors * dimension, seed, awkward());
    const std::vector<float> start = quorvel_test::random_values(
        columns * rows * dimension, seed + 1000, awkward());
    Map with_dense{columns, rows, dimension, start, {}};
    Map with_sparse{columns, rows, dimension, start, {}};
    dense(with_dense, data, epoch());
    sparse(with_sparse, data, vectors, epoch());
    EXPECT_EQ(with_sparse.bmus, with_dense.bmus);
    EXPECT_EQ(bits_of(with_sparse.codebook), bits_of(with_dense.codebook));
}

TEST_P(EpochProperties, test_results_do_not_depend_on_thread_count) {
    const unsigned seed = std::get<3>(GetParam());
    const std::uint32_t columns = 3 + seed % 5, rows = 2 + seed % 6,
                        dimension = 1 + seed % 5, vectors = 5 + seed % 17;
    const std::vector<float> data =
        quorvel_test::random_values(vectors * dimension, seed, awkward());
    const std::vector<float> start = quorvel_test::random_values(
        columns * rows * dimension, seed + 2000, awkward());
    std::vector<Map> results;
    for (int threads : {1, 2, 3}) {
        quorvel_test::ThreadCount team(threads);
        Map dense_map{columns, rows, dimension, start, {}};
        Map sparse_map{columns, rows, dimension, start, {}};
        dense(dense_map, data, epoch());
        sparse(sparse_map, data, vectors, epoch());
        results.push_back(dense_map);
        results.push_back(sparse_map);
    }
    for (std::size_t i = 2; i < results.size(); ++i) {
        EXPECT_EQ(results[i].bmus, results[i % 2].bmus);
        EXPECT_EQ(bits_of(results[i].codebook),
                  bits_of(results[i % 2].codebook));
    }
}

std::string epoch_case_name(const ::testing::TestParamInfo<EpochCase> &info) {
    static const char *const shapes[] = {"bubble", "gaussian", "cutoff"};
    return std::string(std::get<0>(info.param)) + "_" +
           std::get<1>(info.param) + "_" + shapes[std::get<2>(info.param)] +
           "_seed_" + std::to_string(std::get<3>(info.param));
}

INSTANTIATE_TEST_SUITE_P(
    Random, EpochProperties,
    ::testing::Combine(::testing::Values("planar", "toroid", "other"),
                       ::testing::Values("rectangular", "hexagonal"),
                       ::testing::Values(0, 1, 2), ::testing::Range(0u, 12u)),
    epoch_case_name);

TEST(SparseEpoch, test_stored_zero_equals_absent_component) {
    const quorvel::SparseEntry with_zero[] = {{0, 0.5f}, {1, 0.0f}, {-1, 0}};
    const quorvel::SparseEntry without[] = {{0, 0.5f}, {-1, 0}};
    const quorvel::SparseRow rows_with[] = {with_zero};
    const quorvel::SparseRow rows_without[] = {without};
    const std::vector<float> start{0.1f, 0.2f, 0.9f, 0.3f};
    std::vector<float> a = start, b = start;
    std::vector<std::int32_t> bmus_a(2), bmus_b(2);
    const quorvel::EpochSettings settings{
        2, 1, 2, 1, 1.0f, 0.5f, "planar", "rectangular", false, true, false};
    quorvel::sparse_epoch(rows_with, a.data(), bmus_a.data(), settings);
    quorvel::sparse_epoch(rows_without, b.data(), bmus_b.data(), settings);
    EXPECT_EQ(bmus_a, bmus_b);
    EXPECT_EQ(bits_of(a), bits_of(b));
}

TEST(SparseEpoch, test_empty_row_is_the_zero_vector) {
    const quorvel::SparseEntry empty[] = {{-1, 0}};
    const quorvel::SparseRow rows[] = {empty};
    // Squared norms 0.5, 0.02, 0.02: the first smallest is node (1, 0).
    std::vector<float> codebook{0.5f, 0.5f, 0.1f, 0.1f, 0.1f, 0.1f};
    std::vector<std::int32_t> bmus(2);
    quorvel::sparse_epoch(rows, codebook.data(), bmus.data(),
                          {3, 1, 2, 1, 1.0f, 1.0f, "planar", "rectangular",
                           false, true, true});
    EXPECT_EQ(bmus, (std::vector<std::int32_t>{1, 0}));
}

} // namespace
