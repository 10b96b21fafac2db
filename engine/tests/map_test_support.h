// Helpers of the tests of the map entry points: search outputs filled with
// a marker, CSR forms of dense rows and the node sums of accumulate.
#ifndef QUORVEL_MAP_TEST_SUPPORT_H
#define QUORVEL_MAP_TEST_SUPPORT_H

#include "quorvel/map.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel_test {

// Every output of a search, -7 until written.
struct Search {
    std::vector<std::int32_t> nodes, runner_ups;
    std::vector<float> distances, runner_up_distances;
    explicit Search(std::size_t count)
        : nodes(count, -7), runner_ups(count, -7), distances(count, -7.0f),
          runner_up_distances(count, -7.0f) {}
    quorvel::BmuResults results() {
        quorvel::BmuResults r{nodes.data()};
        r.distances = distances.data();
        r.runner_ups = runner_ups.data();
        r.runner_up_distances = runner_up_distances.data();
        return r;
    }
};

// Both searches found the same nodes and distances, compared as `bits`
// has them.
inline void expect_same_search(
    const Search &a, const Search &b,
    std::vector<std::uint32_t> (*bits)(const std::vector<float> &) = bits_of) {
    EXPECT_EQ(a.nodes, b.nodes);
    EXPECT_EQ(a.runner_ups, b.runner_ups);
    EXPECT_EQ(bits(a.distances), bits(b.distances));
    EXPECT_EQ(bits(a.runner_up_distances), bits(b.runner_up_distances));
}

// The CSR form of dense rows: every value that is not zero stored (NaN
// included) and, with explicit_zeros, one explicit zero in every third row.
struct Csr {
    std::vector<float> values;
    std::vector<std::int32_t> indices;
    std::vector<std::int64_t> indptr{0};
    Csr(const std::vector<float> &dense, std::size_t count,
        std::size_t dimension, bool explicit_zeros = true) {
        for (std::size_t n = 0; n < count; ++n) {
            for (std::size_t i = 0; i < dimension; ++i) {
                const float value = dense[n * dimension + i];
                if (value != 0.0f || (explicit_zeros && n % 3 == 0 && i == 0)) {
                    values.push_back(value);
                    indices.push_back(static_cast<std::int32_t>(i));
                }
            }
            indptr.push_back(static_cast<std::int64_t>(values.size()));
        }
    }
    quorvel::CsrRows rows() const { return rows(0, indptr.size() - 1); }
    // Rows [begin, end) as the engine reads them.
    quorvel::CsrRows rows(std::size_t begin, std::size_t end) const {
        return {values.data(), indices.data(), indptr.data() + begin,
                end - begin};
    }
};

// The sums of accumulate (and of accumulate_missing, with their observed
// counts), zeroed.
struct Sums {
    std::vector<std::int64_t> sums, observed, counts, totals;
    Sums(std::size_t nodes, std::size_t dimension)
        : sums(nodes * dimension, 0), observed(nodes * dimension, 0),
          counts(nodes, 0), totals(2, 0) {}
    quorvel::NodeSums record(const std::vector<std::int32_t> &exponents,
                             std::int32_t error_exponent,
                             std::uint64_t rows_in_total) {
        return {sums.data(),       counts.data(),  exponents.data(),
                error_exponent,    rows_in_total,  totals.data(),
                totals.data() + 1, observed.data()};
    }
};

// choose_exponent of every feature's largest magnitude over `count` rows
// (NaN left out).
inline std::vector<std::int32_t> feature_exponents(const std::vector<float> &data,
                                                   std::size_t count,
                                                   std::uint32_t dimension) {
    std::vector<std::int32_t> exponents(dimension);
    for (std::uint32_t f = 0; f < dimension; ++f) {
        double largest = 0.0;
        for (std::size_t n = 0; n < count; ++n)
            if (!std::isnan(data[n * dimension + f]))
                largest = std::max(largest,
                                   std::fabs(double(data[n * dimension + f])));
        exponents[f] = quorvel::choose_exponent(largest, count);
    }
    return exponents;
}

// apply_neighbourhood in pieces of 17 nodes, as the package calls it, with
// 1, 2 and 3 threads, against apply_neighbourhood_ref's bits.
inline void expect_neighbourhood_matches_ref(const quorvel::MapShape &shape,
                                             const quorvel::MapNeighbourhood &hood,
                                             const quorvel::NodeTotals &totals,
                                             const std::vector<float> &codebook) {
    const std::uint32_t nodes = shape.node_count();
    std::vector<float> expected(static_cast<std::size_t>(nodes) * shape.dimension);
    quorvel::apply_neighbourhood_ref(shape, hood, totals, codebook.data(),
                                     expected.data());
    // In pieces of 17 nodes, and the whole map in one call.
    for (const std::uint32_t piece : {17u, nodes})
        for (const int threads : {1, 2, 3}) {
            std::vector<float> out(expected.size(), -1.0f);
            for (std::uint32_t begin = 0; begin < nodes; begin += piece)
                quorvel::apply_neighbourhood(
                    shape, hood, totals, codebook.data(), out.data(), begin,
                    std::min<std::uint32_t>(begin + piece, nodes), threads);
            EXPECT_EQ(bits_of(out), bits_of(expected)) << threads << " " << piece;
        }
}

} // namespace quorvel_test

#endif
