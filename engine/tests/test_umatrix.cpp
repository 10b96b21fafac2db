#include "quorvel/umatrix.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using Cell = std::pair<std::uint32_t, std::uint32_t>;

// A codebook of dimension 1 whose node (x, y) holds 2^(y * columns + x)
// (small maps only): a cell's U-matrix value then identifies exactly which
// neighbours were averaged.
std::vector<float> powers_of_two(std::uint32_t columns, std::uint32_t rows) {
    std::vector<float> codebook(columns * rows);
    for (std::size_t i = 0; i < codebook.size(); ++i)
        codebook[i] = std::ldexp(1.0f, static_cast<int>(i));
    return codebook;
}

struct NeighbourCase {
    const char *map_type;
    const char *grid_type;
    std::uint32_t columns, rows;
    Cell cell;
    std::set<Cell> neighbours;
};

class UmatrixNeighbours : public ::testing::TestWithParam<NeighbourCase> {};

TEST_P(UmatrixNeighbours, test_cell_averages_its_grid_neighbours) {
    const NeighbourCase c = GetParam();
    const std::vector<float> codebook = powers_of_two(c.columns, c.rows);
    std::vector<float> umatrix(c.columns * c.rows);
    quorvel::compute_umatrix(umatrix.data(), codebook.data(), c.columns,
                             c.rows, 1, c.map_type, c.grid_type);
    const float own = codebook[c.cell.second * c.columns + c.cell.first];
    float sum = 0.0f; // row-major, like the engine
    for (std::uint32_t y = 0; y < c.rows; ++y)
        for (std::uint32_t x = 0; x < c.columns; ++x)
            if (c.neighbours.count({x, y}))
                sum = sum + std::fabs(own - codebook[y * c.columns + x]);
    const float expected = sum / static_cast<float>(c.neighbours.size());
    EXPECT_EQ(umatrix[c.cell.second * c.columns + c.cell.first], expected);
}

INSTANTIATE_TEST_SUITE_P(
    Grids, UmatrixNeighbours,
    ::testing::Values(
        NeighbourCase{"planar", "rectangular", 3, 3, {0, 0},
                      {{1, 0}, {0, 1}, {1, 1}}},
        NeighbourCase{"planar", "rectangular", 3, 3, {1, 0},
                      {{0, 0}, {2, 0}, {0, 1}, {1, 1}, {2, 1}}},
        NeighbourCase{"planar", "rectangular", 3, 3, {1, 1},
                      {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {2, 1}, {0, 2}, {1, 2},
                       {2, 2}}},
        NeighbourCase{"toroid", "rectangular", 5, 5, {0, 0},
                      {{1, 0}, {4, 0}, {0, 1}, {1, 1}, {4, 1}, {0, 4}, {1, 4},
                       {4, 4}}},
        NeighbourCase{"planar", "hexagonal", 7, 5, {4, 2},
                      {{2, 1}, {3, 1}, {4, 1}, {5, 1}, {6, 1}, {3, 2}, {5, 2},
                       {3, 3}, {4, 3}, {5, 3}}},
        NeighbourCase{"planar", "hexagonal", 7, 5, {4, 3},
                      {{3, 2}, {4, 2}, {5, 2}, {3, 3}, {5, 3}, {2, 4}, {3, 4},
                       {4, 4}, {5, 4}, {6, 4}}},
        NeighbourCase{"planar", "Rectangular", 1, 3, {0, 1}, {{0, 0}, {0, 2}}},
        NeighbourCase{"planar", "hexagonal", 1, 3, {0, 0}, {{0, 1}}},
        NeighbourCase{"toroid", "rectangular", 2, 1, {0, 0}, {{1, 0}}},
        NeighbourCase{"elsewhere", "rectangular", 3, 2, {1, 1},
                      {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {2, 1}}}),
    [](const auto &info) {
        const NeighbourCase &c = info.param;
        return std::string(c.map_type) + "_" + c.grid_type + "_" +
               std::to_string(c.columns) + "x" + std::to_string(c.rows) +
               "_cell_" + std::to_string(c.cell.first) + "_" +
               std::to_string(c.cell.second);
    });

TEST(Umatrix, test_hexagonal_toroid_seam_rows_have_fewer_neighbours) {
    // Vectors all at distance 1 from each other's neighbours would hide the
    // count; a codebook of zeros with one far node reveals it instead.
    const std::uint32_t size = 10;
    std::vector<float> codebook(size * size, 0.0f);
    std::vector<float> umatrix(size * size);
    codebook[0] = 1.0f; // node (0, 0)
    quorvel::compute_umatrix(umatrix.data(), codebook.data(), size, size, 1,
                             "toroid", "hexagonal");
    EXPECT_FLOAT_EQ(umatrix[0], 1.0f) << "every neighbour of (0, 0) differs";
    // (0, 9) sees (0, 0) among 8 neighbours; (0, 1) among 10.
    EXPECT_FLOAT_EQ(umatrix[9 * size], 1.0f / 8.0f);
    EXPECT_FLOAT_EQ(umatrix[1 * size], 1.0f / 10.0f);
}

TEST(Umatrix, test_known_distances_and_degenerate_maps) {
    std::vector<float> umatrix(2, -1.0f);
    const std::vector<float> pair{0.0f, 0.0f, 3.0f, 4.0f};
    quorvel::compute_umatrix(umatrix.data(), pair.data(), 2, 1, 2, "planar",
                             "rectangular");
    EXPECT_EQ(umatrix, (std::vector<float>{5.0f, 5.0f}));

    quorvel::compute_umatrix(umatrix.data(), pair.data(), 2, 1, 0, "planar",
                             "hexagonal");
    EXPECT_EQ(umatrix, (std::vector<float>{0.0f, 0.0f}));

    std::vector<float> single{-1.0f};
    quorvel::compute_umatrix(single.data(), pair.data(), 1, 1, 2, "planar",
                             "rectangular");
    EXPECT_TRUE(std::isnan(single[0])) << "no neighbours: 0 / 0";

    std::vector<float> untouched{-1.0f, -1.0f};
    quorvel::compute_umatrix(untouched.data(), pair.data(), 0, 2, 2, "planar",
                             "rectangular");
    quorvel::compute_umatrix(untouched.data(), pair.data(), 2, 0, 2, "planar",
                             "rectangular");
    EXPECT_EQ(untouched, (std::vector<float>{-1.0f, -1.0f}));
}

} // namespace
