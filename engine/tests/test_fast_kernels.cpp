// The fast kernels against their *_ref oracles, bit for bit, for every
// instruction-set variant that this build and this CPU have: random maps of
// every geometry (and an unrecognised map text), sizes that are not
// multiples of any vector width, NaN, infinities and signed zeros in data
// and codebook, ties, negative, zero and subnormal-making scales, and 1, 2
// and 3 threads.
#include "kernels.h"
#include "quorvel/epoch.h"
#include "quorvel/umatrix.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

using quorvel::detail::SimdLevel;
using quorvel_test::bits_of;
using quorvel_test::case_count;

const SimdLevel all_levels[] = {SimdLevel::portable, SimdLevel::avx2,
                                SimdLevel::avx512};

struct Config {
    std::uint32_t columns, rows, dimension, vectors;
    std::string map_type, grid_type;
    bool cutoff, use_gaussian;
    float radius, scale;
    std::vector<float> data, codebook;
};

const float nan_value = std::numeric_limits<float>::quiet_NaN();
const float inf_value = std::numeric_limits<float>::infinity();

// A random configuration. Values on a coarse grid make exact ties between
// distances common; `awkward` adds NaN, infinities, negative values and
// signed zeros to data and codebook.
Config random_config(unsigned seed) {
    std::mt19937 generator(seed);
    auto pick = [&](std::uint32_t low, std::uint32_t high) {
        return std::uniform_int_distribution<std::uint32_t>(low, high)(
            generator);
    };
    Config c;
    c.columns = pick(1, 37);
    c.rows = pick(1, 9);
    c.dimension = pick(0, 41);
    c.vectors = pick(1, 70);
    static const char *const maps[] = {"planar", "toroid", "Planar"};
    static const char *const grids[] = {"rectangular", "hexagonal"};
    c.map_type = maps[pick(0, 2)];
    c.grid_type = grids[pick(0, 1)];
    const std::uint32_t shape = pick(0, 2);
    c.use_gaussian = shape != 0;
    c.cutoff = shape == 2;
    static const float radii[] = {0.0f, 0.5f, 1.0f, 2.7f, 4.0f, 15.0f, -1.0f};
    c.radius = radii[pick(0, 6)];
    // 1e-38 and 1e-44 make most weights subnormal; the infinite and NaN
    // scales make weights that are not numbers.
    static const float scales[] = {0.1f,   0.7f,      -0.3f,     0.0f,
                                   -0.0f,  1e-38f,    1e-44f,    inf_value,
                                   nan_value, 0.05f, 1e-30f};
    c.scale = scales[pick(0, 10)];
    const bool awkward = pick(0, 3) == 0;
    const bool coarse = pick(0, 1) == 0;
    c.data = quorvel_test::random_values(
        static_cast<std::size_t>(c.vectors) * c.dimension, seed * 7 + 1,
        awkward);
    c.codebook = quorvel_test::random_values(
        static_cast<std::size_t>(c.columns) * c.rows * c.dimension,
        seed * 7 + 2, awkward && pick(0, 1) == 0);
    if (coarse) {
        for (float &value : c.data)
            value = std::round(value * 4.0f) / 4.0f;
        for (float &value : c.codebook)
            value = std::round(value * 4.0f) / 4.0f;
    }
    return c;
}

struct Result {
    std::vector<float> codebook;
    std::vector<std::int32_t> bmus;
};

quorvel::EpochSettings settings_of(const Config &c, bool bmu_only) {
    return {c.columns,   c.rows,      c.dimension, c.vectors,
            c.radius,    c.scale,     c.map_type,  c.grid_type,
            c.cutoff,    c.use_gaussian, bmu_only};
}

Result run_dense(const Config &c, bool bmu_only, const SimdLevel *level) {
    Result r{c.codebook, std::vector<std::int32_t>(2 * c.vectors, -7)};
    const quorvel::EpochSettings settings = settings_of(c, bmu_only);
    if (level)
        quorvel::detail::dense_epoch_at(*level, c.data.data(),
                                        r.codebook.data(), r.bmus.data(),
                                        settings);
    else
        quorvel::dense_epoch_ref(c.data.data(), r.codebook.data(),
                                 r.bmus.data(), settings);
    return r;
}

Result run_sparse(const Config &c, bool bmu_only, const SimdLevel *level) {
    const quorvel::SparseRows sparse =
        quorvel::make_sparse_rows(c.data.data(), c.vectors, c.dimension);
    Result r{c.codebook, std::vector<std::int32_t>(2 * c.vectors, -7)};
    const quorvel::EpochSettings settings = settings_of(c, bmu_only);
    if (level)
        quorvel::detail::sparse_epoch_at(*level, sparse.rows.data(),
                                         r.codebook.data(), r.bmus.data(),
                                         settings);
    else
        quorvel::sparse_epoch_ref(sparse.rows.data(), r.codebook.data(),
                                  r.bmus.data(), settings);
    return r;
}

std::string describe(const Config &c, SimdLevel level);

// The kernel of the given variant against its reference on one
// configuration, BMUs and codebook bit for bit.
void expect_reference_bits(const Config &c, SimdLevel level, bool sparse,
                           bool bmu_only = false) {
    const Result expected = sparse ? run_sparse(c, bmu_only, nullptr)
                                   : run_dense(c, bmu_only, nullptr);
    const Result actual = sparse ? run_sparse(c, bmu_only, &level)
                                 : run_dense(c, bmu_only, &level);
    ASSERT_EQ(actual.bmus, expected.bmus) << describe(c, level);
    ASSERT_EQ(bits_of(actual.codebook), bits_of(expected.codebook))
        << describe(c, level);
}

std::string describe(const Config &c, SimdLevel level) {
    return std::string(quorvel::detail::simd_level_name(level)) + " " +
           std::to_string(c.columns) + "x" + std::to_string(c.rows) + " dim " +
           std::to_string(c.dimension) + " vectors " +
           std::to_string(c.vectors) + " " + c.map_type + "/" + c.grid_type +
           (c.use_gaussian ? (c.cutoff ? " cutoff" : " gaussian") : " bubble") +
           " radius " + std::to_string(c.radius) + " scale " +
           std::to_string(c.scale);
}

class FastKernels : public ::testing::TestWithParam<SimdLevel> {
  protected:
    void SetUp() override {
        if (!quorvel::detail::simd_level_available(GetParam()))
            GTEST_SKIP() << "this CPU or build lacks "
                         << quorvel::detail::simd_level_name(GetParam());
    }
};

TEST_P(FastKernels, test_dense_epoch_matches_reference_on_random_maps) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < case_count(300); ++seed) {
        const Config c = random_config(seed);
        expect_reference_bits(c, level, false, seed % 11 == 0);
        if (HasFatalFailure())
            return;
    }
}

TEST_P(FastKernels, test_sparse_epoch_matches_reference_on_random_maps) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 1000; seed < 1000 + case_count(200); ++seed) {
        const Config c = random_config(seed);
        expect_reference_bits(c, level, true, seed % 11 == 0);
        if (HasFatalFailure())
            return;
    }
}

// Few distinct codebook values and data drawn from the codebook itself:
// many vectors sit at equal distance from several nodes, and exactly on one.
TEST_P(FastKernels, test_ties_go_to_the_first_node_as_in_the_reference) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < case_count(40); ++seed) {
        Config c = random_config(seed + 5000);
        std::mt19937 generator(seed);
        std::uniform_int_distribution<int> level_of(0, 2);
        for (float &value : c.codebook)
            value = 0.5f * static_cast<float>(level_of(generator));
        const std::size_t nodes = static_cast<std::size_t>(c.columns) * c.rows;
        std::uniform_int_distribution<std::size_t> node_of(0, nodes - 1);
        for (std::uint32_t n = 0; n < c.vectors; ++n) {
            const std::size_t node = node_of(generator);
            for (std::uint32_t i = 0; i < c.dimension; ++i)
                c.data[static_cast<std::size_t>(n) * c.dimension + i] =
                    c.codebook[node * c.dimension + i];
        }
        for (bool sparse : {false, true}) {
            expect_reference_bits(c, level, sparse);
            if (HasFatalFailure())
                return;
        }
    }
}

// NaN in the first node makes the best NaN from the start: it is never
// replaced. NaN in later nodes never wins.
TEST_P(FastKernels, test_nan_distances_follow_the_reference_scan) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < case_count(60); ++seed) {
        Config c = random_config(seed + 7000);
        if (c.dimension == 0) {
            c.dimension = 1;
            c.data.assign(c.vectors, 0.25f);
            c.codebook.assign(static_cast<std::size_t>(c.columns) * c.rows,
                              0.5f);
        }
        std::mt19937 generator(seed);
        const std::size_t nodes = static_cast<std::size_t>(c.columns) * c.rows;
        std::uniform_int_distribution<std::size_t> node_of(0, nodes - 1);
        if (seed % 2 == 0)
            c.codebook[0] = nan_value;
        for (int k = 0; k < 3; ++k)
            c.codebook[node_of(generator) * c.dimension] = nan_value;
        c.codebook[node_of(generator) * c.dimension] = inf_value;
        for (bool sparse : {false, true}) {
            expect_reference_bits(c, level, sparse);
            if (HasFatalFailure())
                return;
        }
    }
}

// A gaussian map without cut-off, the data and codebook left to the test.
static Config gaussian_map(std::uint32_t columns, std::uint32_t rows,
                           std::uint32_t dimension, std::uint32_t vectors,
                           const char *map_type, const char *grid_type,
                           float radius, float scale) {
    Config c;
    c.columns = columns;
    c.rows = rows;
    c.dimension = dimension;
    c.vectors = vectors;
    c.map_type = map_type;
    c.grid_type = grid_type;
    c.cutoff = false;
    c.use_gaussian = true;
    c.radius = radius;
    c.scale = scale;
    return c;
}

// A larger map at the end of a schedule: the gaussian's tail holds zero and
// subnormal weights side by side, the case the double products are for.
TEST_P(FastKernels, test_small_radius_with_subnormal_weights_keeps_the_bits) {
    const SimdLevel level = GetParam();
    for (const char *map_type : {"planar", "toroid"}) {
        for (const char *grid_type : {"rectangular", "hexagonal"}) {
            for (float scale : {0.01f, -0.02f, 3e-37f}) {
                Config c = gaussian_map(43, 31, 19, 300, map_type, grid_type,
                                        1.0f, scale);
                c.data = quorvel_test::random_values(
                    static_cast<std::size_t>(c.vectors) * c.dimension, 11);
                c.codebook = quorvel_test::random_values(
                    static_cast<std::size_t>(c.columns) * c.rows * c.dimension,
                    12);
                for (bool sparse : {false, true}) {
                    expect_reference_bits(c, level, sparse);
                    if (HasFatalFailure())
                        return;
                }
            }
        }
    }
}

// Non-negative data whose magnitudes span the float range, at a small
// radius: numerators start tiny or zero and settle at different vectors, so
// products with tiny weights are taken in double before and skipped after,
// lane by lane; a large value raises the bound that settles a numerator.
TEST_P(FastKernels, test_tiny_weight_products_skipped_only_once_settled) {
    const SimdLevel level = GetParam();
    static const float magnitudes[] = {0.0f,  1e-38f, 1e-30f, 1e-20f, 1e-3f,
                                       0.5f,  1.0f,   3e5f,   1e20f,  -0.0f};
    for (unsigned seed = 0; seed < 6; ++seed) {
        Config c = gaussian_map(
            29 + seed, 5 + seed, 3 + 7 * seed, 400,
            seed % 2 ? "toroid" : "planar",
            seed % 3 ? "rectangular" : "hexagonal",
            1.0f + 0.5f * static_cast<float>(seed % 3),
            seed % 2 ? 0.01f : -0.03f);
        std::mt19937 generator(seed + 77);
        // Large values only in some configurations.
        std::uniform_int_distribution<int> kind(0, seed < 3 ? 7 : 9);
        std::uniform_real_distribution<float> spread(0.5f, 2.0f);
        c.data.resize(static_cast<std::size_t>(c.vectors) * c.dimension);
        for (float &value : c.data)
            value = magnitudes[kind(generator)] * spread(generator);
        c.codebook = quorvel_test::random_values(
            static_cast<std::size_t>(c.columns) * c.rows * c.dimension,
            seed + 78);
        for (bool sparse : {false, true}) {
            expect_reference_bits(c, level, sparse);
            if (HasFatalFailure())
                return;
        }
    }
}

// Long sparse vectors against nodes that differ from each other by a few
// units in the last place: the estimates cannot separate them, so the
// search must fall back on the stated float walk for every close node.
TEST_P(FastKernels, test_sparse_search_separates_near_ties_by_the_float_walk) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < 6; ++seed) {
        Config c = gaussian_map(13, 7, 300 + seed * 37, 120, "toroid",
                                "hexagonal", 2.0f, 0.1f);
        std::mt19937 generator(seed);
        std::uniform_real_distribution<float> uniform(0.0f, 0.05f);
        std::uniform_int_distribution<std::uint32_t> component(
            0, c.dimension - 1);
        std::vector<float> base(c.dimension);
        for (float &value : base)
            value = uniform(generator);
        const std::size_t nodes = static_cast<std::size_t>(c.columns) * c.rows;
        c.codebook.resize(nodes * c.dimension);
        for (std::size_t j = 0; j < nodes; ++j) {
            for (std::uint32_t i = 0; i < c.dimension; ++i) {
                float value = base[i];
                // A few nodes are the base itself; the others move a few
                // components by one or two units in the last place.
                if (j % 3 != 0 && (i + j) % 17 == 0)
                    for (std::size_t step = 0; step < 1 + j % 2; ++step)
                        value = std::nextafter(value, j % 2 ? 1.0f : 0.0f);
                c.codebook[j * c.dimension + i] = value;
            }
        }
        c.data.assign(static_cast<std::size_t>(c.vectors) * c.dimension, 0.0f);
        for (std::uint32_t n = 0; n < c.vectors; ++n)
            for (int k = 0; k < 1 + static_cast<int>(n % 20); ++k)
                c.data[static_cast<std::size_t>(n) * c.dimension +
                       component(generator)] = 2.0f * uniform(generator);
        expect_reference_bits(c, level, true);
        if (HasFatalFailure())
            return;
    }
}

// After a first epoch with a wide neighbourhood every node is nearly the
// mean of the data: most vectors keep dozens of candidates, and some keep
// every node, so the search fills its pair scratch before a group of vectors
// is complete. Map sizes are not multiples of any vector width.
TEST_P(FastKernels, test_sparse_search_with_every_node_a_candidate) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < 4; ++seed) {
        Config c = gaussian_map(11 + seed, 9, 97 + 40 * seed, 150, "planar",
                                "rectangular", 3.0f, 0.1f);
        std::mt19937 generator(seed + 40);
        std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
        std::uniform_int_distribution<std::uint32_t> component(
            0, c.dimension - 1);
        const std::size_t nodes = static_cast<std::size_t>(c.columns) * c.rows;
        c.codebook.resize(nodes * c.dimension);
        for (std::size_t j = 0; j < nodes; ++j)
            for (std::uint32_t i = 0; i < c.dimension; ++i)
                // Every third node is exactly the first: whole ties.
                c.codebook[j * c.dimension + i] =
                    j % 3 == 0 ? 0.01f + 1e-6f * static_cast<float>(i % 7)
                               : 0.01f + 1e-6f * uniform(generator);
        c.data.assign(static_cast<std::size_t>(c.vectors) * c.dimension, 0.0f);
        for (std::uint32_t n = 0; n < c.vectors; ++n)
            for (int k = 0; k < static_cast<int>(n % 9); ++k)
                c.data[static_cast<std::size_t>(n) * c.dimension +
                       component(generator)] = uniform(generator);
        for (int threads : {1, 2}) {
            quorvel_test::ThreadCount team(threads);
            expect_reference_bits(c, level, true);
            if (HasFatalFailure())
                return;
        }
    }
}

TEST_P(FastKernels, test_results_do_not_depend_on_thread_count) {
    const SimdLevel level = GetParam();
    for (unsigned seed = 0; seed < case_count(30); ++seed) {
        const Config c = random_config(seed + 9000);
        for (bool sparse : {false, true}) {
            std::vector<Result> results;
            for (int threads : {1, 2, 3}) {
                quorvel_test::ThreadCount team(threads);
                results.push_back(sparse ? run_sparse(c, false, &level)
                                         : run_dense(c, false, &level));
            }
            for (const Result &r : results) {
                ASSERT_EQ(r.bmus, results[0].bmus) << describe(c, level);
                ASSERT_EQ(bits_of(r.codebook), bits_of(results[0].codebook))
                    << describe(c, level);
            }
        }
    }
}

// The fixed-point sums of one row against nearbyint: both sides of 2^51
// (where the fast rounding stops), halves that tie, negative values and
// rows longer than one chunk of the kernel.
TEST_P(FastKernels, test_fixed_point_rows_round_to_nearest_even) {
    const auto variant = quorvel::detail::variant_of(GetParam());
    std::mt19937 generator(5);
    for (const std::uint32_t dimension : {1u, 7u, 64u, 131u}) {
        std::vector<float> row(dimension);
        std::vector<double> scales(dimension);
        std::vector<std::int64_t> sums(dimension, 3), expected(dimension, 3);
        for (std::uint32_t f = 0; f < dimension; ++f) {
            const int exponent =
                std::uniform_int_distribution<int>(-4, 60)(generator);
            row[f] = std::ldexp(static_cast<float>(generator() % 4096) - 2048.0f,
                                -11 + static_cast<int>(f % 3));
            scales[f] = std::ldexp(1.0, exponent);
            expected[f] += static_cast<std::int64_t>(
                std::nearbyint(static_cast<double>(row[f]) * scales[f]));
        }
        variant.add_fixed_row(row.data(), scales.data(), sums.data(), dimension);
        EXPECT_EQ(sums, expected) << dimension;
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, FastKernels,
                         ::testing::ValuesIn(all_levels),
                         [](const ::testing::TestParamInfo<SimdLevel> &info) {
                             return std::string(
                                 quorvel::detail::simd_level_name(info.param));
                         });

// The U-matrix over candidate neighbours against the full scan, for every
// geometry, narrow maps whose neighbours wrap onto each other, and codebooks
// with NaN and infinities.
TEST(FastUmatrix, test_candidate_neighbours_match_the_full_scan) {
    for (unsigned seed = 0; seed < case_count(400); ++seed) {
        std::mt19937 generator(seed);
        auto pick = [&](std::uint32_t low, std::uint32_t high) {
            return std::uniform_int_distribution<std::uint32_t>(low, high)(
                generator);
        };
        const std::uint32_t columns = pick(1, seed % 3 == 0 ? 5 : 23);
        const std::uint32_t rows = pick(1, seed % 3 == 1 ? 5 : 17);
        const std::uint32_t dimension = pick(0, 9);
        static const char *const maps[] = {"planar", "toroid", ""};
        static const char *const grids[] = {"rectangular", "hexagonal",
                                            "Rectangular"};
        const std::string map_type = maps[pick(0, 2)];
        const std::string grid_type = grids[pick(0, 2)];
        const std::vector<float> codebook = quorvel_test::random_values(
            static_cast<std::size_t>(columns) * rows * dimension, seed,
            seed % 4 == 0);
        std::vector<float> expected(static_cast<std::size_t>(columns) * rows,
                                    -1.0f);
        std::vector<float> actual = expected;
        quorvel::compute_umatrix_ref(expected.data(), codebook.data(), columns,
                                     rows, dimension, map_type, grid_type);
        quorvel::compute_umatrix(actual.data(), codebook.data(), columns, rows,
                                 dimension, map_type, grid_type);
        ASSERT_EQ(bits_of(actual), bits_of(expected))
            << columns << "x" << rows << " dim " << dimension << " "
            << map_type << "/" << grid_type;
    }
}

} // namespace
