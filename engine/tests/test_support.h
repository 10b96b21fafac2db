// Helpers shared by the engine tests: seeded random data with the awkward
// values (NaN, infinities, signed zeros) and bitwise comparison of floats.
#ifndef QUORVEL_TEST_SUPPORT_H
#define QUORVEL_TEST_SUPPORT_H

#include <omp.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace quorvel_test {

// How many of `thorough` random cases a test runs: all of them, or the
// share that QUORVEL_TEST_SCALE sets (make test runs a light share; make
// test-thorough all), at least one.
inline unsigned case_count(unsigned thorough) {
    const char *text = std::getenv("QUORVEL_TEST_SCALE");
    const double scale = text != nullptr ? std::atof(text) : 1.0;
    if (!(scale > 0.0) || scale >= 1.0)
        return thorough;
    const double count = std::ceil(scale * thorough);
    return count < 1.0 ? 1u : static_cast<unsigned>(count);
}

inline std::vector<std::uint32_t> bits_of(const std::vector<float> &values) {
    std::vector<std::uint32_t> bits(values.size());
    if (!values.empty())
        std::memcpy(bits.data(), values.data(), values.size() * sizeof(float));
    return bits;
}

inline std::uint32_t bits_of(float value) {
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// Uniform values in [0, 1), with a share of exact zeros, negative zeros,
// negative values, NaN and infinities when `awkward` is set.
inline std::vector<float> random_values(std::size_t count, unsigned seed,
                                        bool awkward = false) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 39);
    std::vector<float> values(count);
    for (float &value : values) {
        value = uniform(generator);
        const int kind = pick(generator);
        if (kind < 8)
            value = 0.0f;
        else if (awkward && kind == 8)
            value = -0.0f;
        else if (awkward && kind == 9)
            value = -value;
        else if (awkward && kind == 10)
            value = std::numeric_limits<float>::quiet_NaN();
        else if (awkward && kind == 11)
            value = std::numeric_limits<float>::infinity();
    }
    return values;
}

// Sets the OpenMP team size for the lifetime of the object.
class ThreadCount {
  public:
    explicit ThreadCount(int threads) : previous_(omp_get_max_threads()) {
        omp_set_num_threads(threads);
    }
    ~ThreadCount() { omp_set_num_threads(previous_); }
    ThreadCount(const ThreadCount &) = delete;
    ThreadCount &operator=(const ThreadCount &) = delete;

  private:
    int previous_;
};

} // namespace quorvel_test

#endif
