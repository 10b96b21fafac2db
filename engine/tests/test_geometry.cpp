#include "quorvel/geometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <tuple>

namespace {

using quorvel::node_distance;

struct DistanceCase {
    const char *map_type;
    const char *grid_type;
    std::uint32_t x1, y1, x2, y2, columns, rows;
    float expected;
};

class NodeDistance : public ::testing::TestWithParam<DistanceCase> {};

TEST_P(NodeDistance, test_distance_matches_grid_geometry) {
    const DistanceCase c = GetParam();
    const float forward = node_distance(c.x1, c.y1, c.x2, c.y2, c.columns,
                                        c.rows, c.map_type, c.grid_type);
    const float backward = node_distance(c.x2, c.y2, c.x1, c.y1, c.columns,
                                         c.rows, c.map_type, c.grid_type);
    EXPECT_EQ(forward, c.expected);
    EXPECT_EQ(backward, c.expected) << "distances are symmetric";
}

const float root2 = std::sqrt(2.0f);
const float root5 = std::sqrt(5.0f);

INSTANTIATE_TEST_SUITE_P(
    Variants, NodeDistance,
    ::testing::Values(
        DistanceCase{"planar", "rectangular", 0, 0, 3, 4, 10, 10, 5.0f},
        DistanceCase{"planar", "rectangular", 2, 7, 2, 7, 10, 10, 0.0f},
        DistanceCase{"planar", "rectangular", 0, 0, 9, 0, 10, 10, 9.0f},
        DistanceCase{"planar", "hexagonal", 0, 0, 0, 1, 10, 10, 1.0f},
        DistanceCase{"planar", "hexagonal", 1, 0, 0, 1, 10, 10, root2},
        DistanceCase{"planar", "hexagonal", 1, 1, 0, 2, 10, 10, 1.0f},
        DistanceCase{"planar", "hexagonal", 2, 1, 0, 2, 10, 10, root2},
        DistanceCase{"planar", "hexagonal", 0, 0, 2, 1, 10, 10, root5},
        DistanceCase{"planar", "hexagonal", 3, 0, 0, 2, 10, 10,
                     std::sqrt(13.0f)},
        DistanceCase{"planar", "hexagonal", 0, 1, 0, 2, 10, 10, 1.0f},
        DistanceCase{"toroid", "rectangular", 0, 0, 9, 0, 10, 10, 1.0f},
        DistanceCase{"toroid", "rectangular", 0, 0, 5, 5, 10, 10,
                     std::sqrt(50.0f)},
        DistanceCase{"toroid", "hexagonal", 0, 0, 0, 4, 10, 5, 1.0f},
        DistanceCase{"toroid", "hexagonal", 0, 1, 9, 4, 10, 5, root5},
        // Any grid text other than exactly "rectangular" is hexagonal.
        DistanceCase{"planar", "Rectangular", 1, 0, 0, 1, 10, 10, root2},
        DistanceCase{"planar", "", 1, 1, 0, 2, 10, 10, 1.0f},
        DistanceCase{"planar", "rectangular ", 1, 1, 0, 2, 10, 10, 1.0f},
        // Any map text other than exactly "planar" or "toroid" collapses
        // the map to a point.
        DistanceCase{"Planar", "rectangular", 0, 0, 3, 4, 10, 10, 0.0f},
        DistanceCase{"", "hexagonal", 0, 0, 3, 4, 10, 10, 0.0f},
        DistanceCase{"torus", "rectangular", 0, 0, 9, 9, 10, 10, 0.0f}),
    [](const auto &info) { return "case_" + std::to_string(info.index); });

TEST(NodeDistance, test_distance_unsigned_arithmetic_at_extreme_coordinates) {
    // The sum of squares wraps modulo 2^32: 65536^2 is 0.
    EXPECT_EQ(quorvel::planar_rect_distance(0, 0, 65536, 0), 0.0f);
    // (2^32 - 1)^2 is 1 modulo 2^32.
    EXPECT_EQ(quorvel::planar_hex_distance(4294967295u, 0, 0, 0), 1.0f);
}

struct WeightCase {
    float distance, radius, scale;
    bool cutoff, use_gaussian;
    float expected;
};

class NeighbourhoodWeight : public ::testing::TestWithParam<WeightCase> {};

TEST_P(NeighbourhoodWeight, test_weight_matches_neighbourhood_shape) {
    const WeightCase c = GetParam();
    EXPECT_FLOAT_EQ(quorvel::neighbourhood_weight(c.distance, c.radius,
                                                  c.scale, c.cutoff,
                                                  c.use_gaussian),
                    c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, NeighbourhoodWeight,
    ::testing::Values(
        WeightCase{1.0f, 1.0f, 0.5f, false, false, 0.5f},
        WeightCase{root2, 1.0f, 0.5f, false, false, 0.0f},
        WeightCase{root2, 1.0f, 0.5f, true, false, 0.0f},
        WeightCase{1.0f, 1.0f, 2.0f, true, true, 0.6065307f * 2.0f},
        WeightCase{root2, 1.0f, 2.0f, true, true, 0.0f},
        WeightCase{root2, 1.0f, 2.0f, false, true, 0.3678795f * 2.0f},
        WeightCase{0.0f, 3.0f, -0.25f, false, true, -0.25f}),
    [](const auto &info) { return "case_" + std::to_string(info.index); });

TEST(GaussianWeight, test_gaussian_known_values) {
    for (float radius : {0.0f, 1.0f, 7.5f, 1e6f})
        EXPECT_EQ(quorvel::gaussian_weight(0.0f, radius, 2.0f), 1.0f);
    EXPECT_FLOAT_EQ(quorvel::gaussian_weight(1.0f, 1.0f, 2.0f), 0.6065307f);
    EXPECT_FLOAT_EQ(quorvel::gaussian_weight(1.0f, 0.0f, 2.0f), 0.1353353f);
    EXPECT_FLOAT_EQ(quorvel::gaussian_weight(2.0f, 3.0f, 2.0f), 0.6065307f);
}

TEST(BubbleWeight, test_bubble_includes_the_radius) {
    EXPECT_EQ(quorvel::bubble_weight(2.0f, 2.0f), 1.0f);
    EXPECT_EQ(quorvel::bubble_weight(std::nextafter(2.0f, 3.0f), 2.0f), 0.0f);
}

} // namespace
