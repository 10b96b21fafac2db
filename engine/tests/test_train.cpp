#include "quorvel/engine.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using quorvel_test::bits_of;

// One training run's arguments and arrays, with sentinels in the outputs.
struct TrainingRun {
    std::uint32_t epoch_count = 4;
    std::uint32_t columns = 5;
    std::uint32_t rows = 4;
    std::uint32_t dimension = 3;
    std::uint32_t vector_count = 30;
    std::uint32_t radius_start = 3;
    std::uint32_t radius_end = 1;
    std::string radius_cooling = "linear";
    float scale_start = 0.5f;
    float scale_end = 0.05f;
    std::string scale_cooling = "exponential";
    std::uint32_t kernel_type = 0;
    std::string map_type = "planar";
    std::string grid_type = "hexagonal";
    bool cutoff = false;
    bool use_gaussian = true;
    std::int64_t length_offset = 0;

    std::vector<float> data;
    std::vector<float> codebook;
    std::vector<std::int32_t> bmus;
    std::vector<float> umatrix;

    void prepare(unsigned seed = 7, bool awkward = false) {
        data = quorvel_test::random_values(
            static_cast<std::size_t>(vector_count) * dimension, seed, awkward);
        codebook = quorvel_test::random_values(
            static_cast<std::size_t>(columns) * rows * dimension, seed + 1);
        bmus.assign(2 * static_cast<std::size_t>(vector_count), -5);
        umatrix.assign(static_cast<std::size_t>(columns) * rows, -5.0f);
    }

    void train() {
        quorvel::train(
            data.data(), static_cast<std::int64_t>(data.size()) + length_offset,
            epoch_count, columns, rows, dimension, vector_count, radius_start,
            radius_end, radius_cooling, scale_start, scale_end, scale_cooling,
            kernel_type, map_type, grid_type, cutoff, use_gaussian,
            codebook.data(), length_offset, bmus.data(), -length_offset,
            umatrix.data(), length_offset * 3);
    }
};

void expect_same_results(const TrainingRun &a, const TrainingRun &b) {
    EXPECT_EQ(bits_of(a.codebook), bits_of(b.codebook));
    EXPECT_EQ(a.bmus, b.bmus);
    EXPECT_EQ(bits_of(a.umatrix), bits_of(b.umatrix));
}

// Variations of the arguments that must not change a single bit.
struct Equivalence {
    const char *name;
    void (*change)(TrainingRun &);
};

class TrainEquivalence : public ::testing::TestWithParam<Equivalence> {};

TEST_P(TrainEquivalence, test_variation_gives_the_same_bits) {
    TrainingRun base, varied;
    base.prepare();
    GetParam().change(varied);
    varied.prepare();
    base.train();
    varied.train();
    expect_same_results(base, varied);
}

INSTANTIATE_TEST_SUITE_P(
    Variations, TrainEquivalence,
    ::testing::Values(
        Equivalence{"lengths", [](TrainingRun &r) { r.length_offset = 123456789; }},
        Equivalence{"unknown_kernel_code", [](TrainingRun &r) { r.kernel_type = 3; }},
        Equivalence{"another_unknown_code",
                    [](TrainingRun &r) { r.kernel_type = 4294967295u; }},
        Equivalence{"sparse_kernel", [](TrainingRun &r) { r.kernel_type = 2; }}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(Train, test_default_schedule_values) {
    TrainingRun explicit_end, default_end;
    default_end.radius_end = 0;
    for (TrainingRun *run : {&explicit_end, &default_end}) {
        run->prepare();
        run->train();
    }
    expect_same_results(explicit_end, default_end);

    TrainingRun explicit_scale, zero_scale, negative_zero_scale;
    explicit_scale.scale_start = 0.1f;
    zero_scale.scale_start = 0.0f;
    negative_zero_scale.scale_start = -0.0f;
    for (TrainingRun *run : {&explicit_scale, &zero_scale, &negative_zero_scale}) {
        run->prepare();
        run->train();
    }
    expect_same_results(explicit_scale, zero_scale);
    expect_same_results(explicit_scale, negative_zero_scale);

    // 7 x 4 map: the default start radius is 2.
    TrainingRun explicit_radius, default_radius;
    for (TrainingRun *run : {&explicit_radius, &default_radius}) {
        run->columns = 7;
        run->rows = 4;
    }
    explicit_radius.radius_start = 2;
    default_radius.radius_start = 0;
    for (TrainingRun *run : {&explicit_radius, &default_radius}) {
        run->prepare();
        run->train();
    }
    expect_same_results(explicit_radius, default_radius);
}

TEST(Train, test_bmus_describe_the_final_codebook) {
    TrainingRun run;
    run.prepare();
    run.train();
    TrainingRun check = run; // the trained codebook with an empty schedule
    check.epoch_count = 0;
    check.bmus.assign(check.bmus.size(), -5);
    check.train();
    EXPECT_EQ(check.bmus, run.bmus);
    EXPECT_EQ(bits_of(check.codebook), bits_of(run.codebook));
    EXPECT_EQ(bits_of(check.umatrix), bits_of(run.umatrix));
}

TEST(Train, test_unset_codebook_is_seeded_and_trained) {
    TrainingRun run;
    run.prepare();
    run.codebook[0] = 1000.0f;
    run.codebook[1] = 2000.0f;
    run.epoch_count = 0;
    run.train();
    for (float value : run.codebook) {
        EXPECT_GE(value, -0.5f);
        EXPECT_LT(value, 0.5f);
    }
}

TEST(Train, test_gpu_kernel_fails_before_any_epoch) {
    for (std::uint32_t epochs : {0u, 3u}) {
        TrainingRun run;
        run.kernel_type = 1;
        run.epoch_count = epochs;
        run.prepare();
        const TrainingRun before = run;
        EXPECT_THROW(run.train(), std::runtime_error);
        expect_same_results(run, before);
    }
}

TEST(Train, test_empty_runs_leave_the_arrays_alone) {
    for (std::uint32_t kernel : {0u, 2u}) {
        TrainingRun no_vectors;
        no_vectors.kernel_type = kernel;
        no_vectors.vector_count = 0;
        no_vectors.prepare();
        const TrainingRun before = no_vectors;
        no_vectors.train();
        EXPECT_EQ(bits_of(no_vectors.codebook), bits_of(before.codebook));
        EXPECT_NE(bits_of(no_vectors.umatrix), bits_of(before.umatrix));

        for (int side = 0; side < 2; ++side) {
            TrainingRun no_nodes;
            no_nodes.kernel_type = kernel;
            (side ? no_nodes.rows : no_nodes.columns) = 0;
            no_nodes.prepare();
            no_nodes.bmus.assign(2 * no_nodes.vector_count, -5);
            no_nodes.umatrix.assign(4, -5.0f);
            const TrainingRun untouched = no_nodes;
            no_nodes.train();
            expect_same_results(no_nodes, untouched);
        }
    }
}

TEST(Train, test_single_column_map_trains_with_default_radius) {
    // The default start radius of a 1 x n map is 0; exponential cooling from
    // 0 keeps it at 0 instead of turning every weight into NaN.
    TrainingRun run;
    run.columns = 1;
    run.rows = 6;
    run.radius_start = 0;
    run.radius_cooling = "exponential";
    run.prepare();
    const std::vector<float> before = run.codebook;
    run.train();
    EXPECT_NE(bits_of(run.codebook), bits_of(before));
    for (float value : run.codebook)
        EXPECT_FALSE(std::isnan(value));
}

TEST(Train, test_results_do_not_depend_on_thread_count) {
    for (std::uint32_t kernel : {0u, 2u}) {
        std::vector<TrainingRun> runs(3);
        for (int i = 0; i < 3; ++i) {
            quorvel_test::ThreadCount team(i + 1);
            runs[i].kernel_type = kernel;
            runs[i].map_type = "toroid";
            runs[i].rows = 7;
            runs[i].prepare(11, true);
            runs[i].train();
        }
        expect_same_results(runs[0], runs[1]);
        expect_same_results(runs[0], runs[2]);
    }
}

} // namespace
