#include "quorvel/schedule.h"

#include "test_support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace {

using quorvel::decay_exponential;
using quorvel::decay_linear;

struct DecayCase {
    float epoch;
    float linear;
    float exponential;
};

class WorkedSchedule : public ::testing::TestWithParam<DecayCase> {};

TEST_P(WorkedSchedule, test_decay_matches_worked_values_over_ten_epochs) {
    const DecayCase c = GetParam();
    EXPECT_NEAR(decay_linear(5.0f, 1.0f, 10.0f, c.epoch), c.linear, 5e-7);
    EXPECT_NEAR(decay_exponential(5.0f, 1.0f, 10.0f, c.epoch), c.exponential,
                5e-7);
}

INSTANTIATE_TEST_SUITE_P(Epochs, WorkedSchedule,
                         ::testing::Values(DecayCase{0, 5.0f, 5.0f},
                                           DecayCase{4, 3.222222f, 2.626528f},
                                           DecayCase{5, 2.777778f, 2.236068f},
                                           DecayCase{9, 1.0f, 1.174619f}),
                         [](const auto &info) {
                             return "epoch_" + std::to_string(info.index);
                         });

TEST(DecayExponential, test_zero_end_decays_by_ten_over_the_schedule) {
    EXPECT_EQ(decay_exponential(0.1f, 0.0f, 10.0f, 0.0f), 0.1f);
    EXPECT_NEAR(decay_exponential(0.1f, 0.0f, 10.0f, 4.0f), 0.03981f, 1e-5);
    EXPECT_NEAR(decay_exponential(0.1f, 0.0f, 10.0f, 9.0f), 0.01259f, 1e-5);
    EXPECT_NEAR(decay_exponential(0.1f, -0.0f, 10.0f, 9.0f), 0.01259f, 1e-5);
}

TEST(DecayLinear, test_single_epoch_takes_the_start_value) {
    EXPECT_EQ(decay_linear(5.0f, 1.0f, 1.0f, 0.0f), 5.0f);
    EXPECT_EQ(decay_linear(0.1f, 0.0f, 1.0f, 0.0f), 0.1f);
}

TEST(DecayLinear, test_growing_schedule_is_not_clamped) {
    EXPECT_LT(decay_linear(1.0f, 5.0f, 10.0f, 0.0f),
              decay_linear(1.0f, 5.0f, 10.0f, 9.0f));
    EXPECT_LT(decay_exponential(1.0f, 5.0f, 10.0f, 0.0f),
              decay_exponential(1.0f, 5.0f, 10.0f, 9.0f));
}

struct DegenerateCase {
    float start;
    float end;
};

class ExponentialWithoutFiniteLaw
    : public ::testing::TestWithParam<DegenerateCase> {};

TEST_P(ExponentialWithoutFiniteLaw, test_every_epoch_takes_the_start_value) {
    const DegenerateCase c = GetParam();
    for (float epoch : {0.0f, 1.0f, 4.0f, 9.0f}) {
        const float value = decay_exponential(c.start, c.end, 10.0f, epoch);
        EXPECT_EQ(quorvel_test::bits_of(value), quorvel_test::bits_of(c.start))
            << "start " << c.start << " end " << c.end << " epoch " << epoch;
    }
}

const float infinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, ExponentialWithoutFiniteLaw,
    ::testing::Values(DegenerateCase{0.0f, 1.0f}, DegenerateCase{-0.0f, 3.0f},
                      DegenerateCase{2.0f, -1.0f}, DegenerateCase{-2.0f, 1.0f},
                      DegenerateCase{infinity, 1.0f},
                      DegenerateCase{1.0f, infinity},
                      // The ratio underflows to zero.
                      DegenerateCase{3e38f, 1e-30f}),
    [](const auto &info) { return "case_" + std::to_string(info.index); });

void run_one_epoch(std::uint32_t kernel_type, bool bmu_only) {
    std::vector<float> data{0.5f, 0.25f};
    std::vector<float> codebook{0.0f, 1.0f, 1.0f, 0.0f};
    std::vector<std::int32_t> bmus(2, -7);
    quorvel::run_epoch(data.data(), nullptr, codebook.data(), bmus.data(),
                       {1, 2, 1, 2, 1, 1, 1, "linear", 0.1f, 0.0f, "linear",
                        kernel_type, "planar", "rectangular", false, true},
                       0, bmu_only);
}

TEST(RunEpoch, test_gpu_kernel_code_fails_in_every_pass) {
    for (bool bmu_only : {false, true}) {
        try {
            run_one_epoch(1, bmu_only);
            ADD_FAILURE() << "kernel code 1 must throw";
        } catch (const std::runtime_error &error) {
            EXPECT_STREQ(error.what(), "Compiled without CUDA!");
        }
    }
}

} // namespace
