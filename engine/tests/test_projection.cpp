// The rows times a basis and the rows' weighted sums against plain loops
// over every value (zeros included), for dense and CSR rows, several thread
// counts and splits of the rows into calls; the block's dot products against
// plain loops.
#include "quorvel/map.h"
#include "quorvel/projection.h"
#include "map_test_support.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using quorvel::BlockShape;
using quorvel::CsrRows;
using quorvel::DenseRows;
using quorvel::WeightedSums;
using quorvel_test::Csr;

// Values of many magnitudes and both signs, a third of them zeros of
// either sign.
std::vector<float> signed_values(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
    std::uniform_int_distribution<int> scale(-20, 20);
    std::uniform_int_distribution<int> pick(0, 5);
    std::vector<float> values(count);
    for (float &value : values) {
        const int kind = pick(generator);
        value = kind == 0 ? 0.0f
                : kind == 1 ? -0.0f
                            : std::ldexp(uniform(generator), scale(generator));
    }
    return values;
}

std::vector<double> signed_doubles(std::size_t count, unsigned seed) {
    std::mt19937_64 generator(seed);
    std::uniform_real_distribution<double> uniform(-1.0, 1.0);
    std::vector<double> values(count);
    for (double &value : values)
        value = uniform(generator);
    return values;
}

std::vector<std::uint64_t> bits_of(const std::vector<double> &values) {
    std::vector<std::uint64_t> bits(values.size());
    if (!values.empty())
        std::memcpy(bits.data(), values.data(), values.size() * sizeof(double));
    return bits;
}

// x[n] . basis[:, j] from 0.0 over every feature in increasing order.
std::vector<double> project_ref(const std::vector<float> &data,
                                std::size_t count, const BlockShape &shape,
                                const std::vector<double> &basis) {
    std::vector<double> out(count * shape.width);
    for (std::size_t n = 0; n < count; ++n)
        for (std::size_t j = 0; j < shape.width; ++j) {
            double sum = 0.0;
            for (std::size_t f = 0; f < shape.dimension; ++f) {
                const double term =
                    static_cast<double>(data[n * shape.dimension + f]) *
                    basis[f * shape.width + j];
                sum += term;
            }
            out[n * shape.width + j] = sum;
        }
    return out;
}

// Every term rounded to its integer on its own, then added.
std::vector<std::int64_t>
weighted_ref(const std::vector<float> &data, std::size_t count,
             const BlockShape &shape, const std::vector<double> &weights,
             const std::vector<std::int32_t> &exponents) {
    std::vector<std::int64_t> sums(shape.dimension * shape.width, 0);
    for (std::size_t f = 0; f < shape.dimension; ++f)
        for (std::size_t j = 0; j < shape.width; ++j)
            for (std::size_t n = 0; n < count; ++n) {
                const double product =
                    static_cast<double>(data[n * shape.dimension + f]) *
                    weights[n * shape.width + j];
                const double scaled =
                    std::ldexp(product, exponents[f * shape.width + j]);
                sums[f * shape.width + j] +=
                    static_cast<std::int64_t>(std::nearbyint(scaled));
            }
    return sums;
}

// Exponents from each feature's and each weight column's largest magnitude.
std::vector<std::int32_t> exponents_for(const std::vector<float> &data,
                                        std::size_t count,
                                        const BlockShape &shape,
                                        const std::vector<double> &weights) {
    std::vector<double> feature(shape.dimension, 0.0), column(shape.width, 0.0);
    for (std::size_t n = 0; n < count; ++n) {
        for (std::size_t f = 0; f < shape.dimension; ++f)
            feature[f] = std::fmax(feature[f],
                                   std::fabs(data[n * shape.dimension + f]));
        for (std::size_t j = 0; j < shape.width; ++j)
            column[j] =
                std::fmax(column[j], std::fabs(weights[n * shape.width + j]));
    }
    std::vector<std::int32_t> exponents(shape.dimension * shape.width);
    for (std::size_t f = 0; f < shape.dimension; ++f)
        for (std::size_t j = 0; j < shape.width; ++j)
            exponents[f * shape.width + j] =
                quorvel::choose_exponent(feature[f] * column[j],
                                         std::max<std::size_t>(count, 2048));
    return exponents;
}

class Projection : public ::testing::TestWithParam<BlockShape> {};

TEST_P(Projection, RowsTimesBasisMatchesPlainSumsForAnyThreadsAndCsr) {
    const BlockShape shape = GetParam();
    const std::size_t count = 37;
    const auto data = signed_values(count * shape.dimension, 3);
    const auto basis = signed_doubles(shape.dimension * shape.width, 4);
    const auto expected = bits_of(project_ref(data, count, shape, basis));
    const Csr csr(data, count, shape.dimension, false);
    for (int threads : {1, 2, 3, 5}) {
        std::vector<double> dense(count * shape.width, -7.0);
        quorvel::project_rows(shape, DenseRows{data.data(), count},
                              basis.data(), dense.data(), threads);
        EXPECT_EQ(bits_of(dense), expected) << threads << " threads";
        // In two calls, as the package splits the rows.
        std::vector<double> sparse(count * shape.width, -7.0);
        quorvel::project_rows(shape, csr.rows(0, 20), basis.data(),
                              sparse.data(), threads);
        quorvel::project_rows(shape, csr.rows(20, count), basis.data(),
                              sparse.data() + 20 * shape.width, threads);
        EXPECT_EQ(bits_of(sparse), expected) << threads << " threads";
    }
}

TEST_P(Projection, WeightedSumsMatchPlainSumsForAnySplitThreadsAndCsr) {
    const BlockShape shape = GetParam();
    const std::size_t count = 41;
    const auto data = signed_values(count * shape.dimension, 5);
    const auto weights = signed_doubles(count * shape.width, 6);
    const auto exponents = exponents_for(data, count, shape, weights);
    const auto expected = weighted_ref(data, count, shape, weights, exponents);
    const Csr csr(data, count, shape.dimension, false);
    for (int threads : {1, 2, 3, 5}) {
        std::vector<std::int64_t> dense(expected.size(), 0);
        quorvel::weighted_row_sums(shape, DenseRows{data.data(), count},
                                   weights.data(),
                                   WeightedSums{dense.data(), exponents.data()},
                                   threads);
        EXPECT_EQ(dense, expected) << threads << " threads";
        std::vector<std::int64_t> sparse(expected.size(), 0);
        const WeightedSums into{sparse.data(), exponents.data()};
        quorvel::weighted_row_sums(shape, csr.rows(0, 13), weights.data(),
                                   into, threads);
        quorvel::weighted_row_sums(shape, csr.rows(13, count),
                                   weights.data() + 13 * shape.width, into,
                                   threads);
        EXPECT_EQ(sparse, expected) << threads << " threads";
    }
}

TEST(Projection, WeightedSumsReachTheirBoundWithoutOverflow) {
    // Every term just below 2^51, the most the exponents allow, all of one
    // sign: the sums stay below 2^62 and are exact.
    const BlockShape shape{3, 2};
    const std::size_t count = 1000;
    const std::vector<float> data(count * shape.dimension,
                                  -std::numeric_limits<float>::max());
    const std::vector<double> weights(count * shape.width, 1.0);
    const auto exponents = exponents_for(data, count, shape, weights);
    std::vector<std::int64_t> sums(shape.dimension * shape.width, 0);
    quorvel::weighted_row_sums(shape, DenseRows{data.data(), count},
                               weights.data(),
                               WeightedSums{sums.data(), exponents.data()}, 2);
    EXPECT_EQ(sums, weighted_ref(data, count, shape, weights, exponents));
    for (std::int64_t sum : sums)
        EXPECT_LT(sum, -(std::int64_t{1} << 60));
}

TEST(Projection, DotProductsAreOrderedSumsForAnyThreads) {
    const std::uint32_t dimension = 300;
    const auto a = signed_doubles(5 * dimension, 7);
    const auto b = signed_doubles(3 * dimension, 8);
    std::vector<double> expected(5 * 3);
    for (std::size_t i = 0; i < 5; ++i)
        for (std::size_t j = 0; j < 3; ++j) {
            double sum = 0.0;
            for (std::size_t f = 0; f < dimension; ++f) {
                const double term = a[i * dimension + f] * b[j * dimension + f];
                sum += term;
            }
            expected[i * 3 + j] = sum;
        }
    for (int threads : {1, 2, 3, 7}) {
        std::vector<double> out(5 * 3, -7.0);
        quorvel::dot_products(dimension, {a.data(), 5}, {b.data(), 3},
                              out.data(), threads);
        EXPECT_EQ(bits_of(out), bits_of(expected)) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, Projection,
                         ::testing::Values(BlockShape{1, 1}, BlockShape{7, 3},
                                           BlockShape{64, 8},
                                           BlockShape{130, 10},
                                           BlockShape{5, 0}),
                         [](const auto &info) {
                             return "d" + std::to_string(info.param.dimension) +
                                    "w" + std::to_string(info.param.width);
                         });

} // namespace
