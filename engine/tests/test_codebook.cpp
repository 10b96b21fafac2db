#include "quorvel/schedule.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

namespace {

TEST(SeedCodebook, test_values_are_the_draws_after_seed_zero_in_memory_order) {
    const std::uint32_t columns = 5, rows = 3, dimension = 4;
    std::vector<float> codebook(columns * rows * dimension, 1000.0f);
    std::vector<float> expected(codebook.size());
    std::srand(0);
    for (float &value : expected)
        value = static_cast<float>((std::rand() & 4095) - 2048) / 4096.0f;

    for (int threads : {1, 2, 3}) {
        quorvel_test::ThreadCount team(threads);
        std::srand(12345); // the fill seeds the generator itself
        quorvel::seed_codebook(codebook.data(), columns, rows, dimension);
        EXPECT_EQ(quorvel_test::bits_of(codebook),
                  quorvel_test::bits_of(expected))
            << threads << " threads";
    }
    for (float value : codebook) {
        EXPECT_GE(value, -0.5f);
        EXPECT_LT(value, 0.5f);
        EXPECT_EQ(value * 4096.0f, std::floor(value * 4096.0f));
    }
}

struct MarkerCase {
    std::uint32_t columns, rows, dimension;
    float first, second;
    bool unset;
};

class UnsetMarker : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(UnsetMarker, test_marker_needs_both_exact_values) {
    const MarkerCase c = GetParam();
    std::vector<float> codebook(2, 0.0f);
    codebook[0] = c.first;
    codebook[1] = c.second;
    EXPECT_EQ(quorvel::codebook_is_unset(codebook.data(), c.columns, c.rows,
                                         c.dimension),
              c.unset);
}

INSTANTIATE_TEST_SUITE_P(
    Codebooks, UnsetMarker,
    ::testing::Values(MarkerCase{2, 1, 1, 1000.0f, 2000.0f, true},
                      MarkerCase{1, 1, 2, 1000.0f, 2000.0f, true},
                      MarkerCase{1, 1, 2, 2000.0f, 1000.0f, false},
                      MarkerCase{1, 1, 2, 1000.0f, 2000.5f, false},
                      MarkerCase{1, 1, 2, NAN, 2000.0f, false},
                      // A single value never carries the marker.
                      MarkerCase{1, 1, 1, 1000.0f, 2000.0f, false},
                      MarkerCase{0, 1, 2, 1000.0f, 2000.0f, false},
                      MarkerCase{2, 1, 0, 1000.0f, 2000.0f, false}),
    [](const auto &info) { return "case_" + std::to_string(info.index); });

} // namespace
