// The benchmark's C++ side: the machine's arithmetic limit, measured with a
// roofline kernel of the shape the exact kernels must have (SIMD lanes
// across independent sums, separate multiply and add, no FMA), and the
// engine's kernels timed phase by phase. Prints one JSON object.
//
//   quorvel_bench [--quick]
#include "quorvel/engine.h"
#include "quorvel/epoch.h"
#include "quorvel/umatrix.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace {

double seconds_of(const std::function<void()> &work, int repeats) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto stop = std::chrono::steady_clock::now();
        best = std::min(best,
                        std::chrono::duration<double>(stop - start).count());
    }
    return best;
}

// ---------------------------------------------------------------------------
// Roofline: 24 independent sums of 16 lanes, each s = s + t * t with
// t = c - x (the BMU search's shape: a subtract, a multiply, an add per
// lane), or s = x * h + s (the batch update's shape), all from registers.

typedef float lanes16 __attribute__((vector_size(64)));

template <int Shape>
__attribute__((target("avx512f"), noinline)) float
roofline_avx512(long iterations) {
    lanes16 acc[24];
    lanes16 c = {}, x = {};
    for (int l = 0; l < 16; ++l) {
        c[l] = 1.0f + 1e-7f * l;
        x[l] = 1.0f - 1e-7f * l;
    }
    for (auto &a : acc)
        a = lanes16{};
    for (long i = 0; i < iterations; ++i) {
        for (int k = 0; k < 24; ++k) {
            if (Shape == 0) {
                const lanes16 t = c - x;
                acc[k] = acc[k] + t * t;
            } else {
                acc[k] = x * c + acc[k];
            }
        }
        // Keeps the compiler from hoisting the loop-invariant products.
        __asm__ volatile("" : "+v"(c), "+v"(x));
    }
    float sum = 0;
    for (auto &a : acc)
        for (int l = 0; l < 16; ++l)
            sum += a[l];
    return sum;
}

struct Roofline {
    double bmu_1, bmu_2, update_1, update_2; // GFLOP/s
};

Roofline measure_roofline(bool quick) {
    const long iterations = quick ? 2000000 : 8000000;
    Roofline r{};
    for (int shape = 0; shape < 2; ++shape) {
        // Flops per lane per iteration: 3 for the distance shape, 2 for the
        // update's multiply-add.
        const double flops = 24.0 * 16 * (shape == 0 ? 3 : 2) * iterations;
        for (int threads : {1, 2}) {
            volatile float sink = 0;
            const double s = seconds_of(
                [&] {
#pragma omp parallel num_threads(threads)
                    {
                        const float v = shape == 0
                                            ? roofline_avx512<0>(iterations)
                                            : roofline_avx512<1>(iterations);
#pragma omp atomic
                        sink = sink + v;
                    }
                },
                3);
            const double gflops = flops * threads / s / 1e9;
            if (shape == 0)
                (threads == 1 ? r.bmu_1 : r.bmu_2) = gflops;
            else
                (threads == 1 ? r.update_1 : r.update_2) = gflops;
        }
    }
    return r;
}

// ---------------------------------------------------------------------------
// Workloads, phase by phase, through the public kernels.

std::vector<float> uniform(std::size_t count, unsigned seed) {
    std::mt19937 generator(seed);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    std::vector<float> v(count);
    for (float &x : v)
        x = u(generator);
    return v;
}

struct Workload {
    const char *name;
    std::uint32_t vectors, dimension, columns, rows, epochs;
    const char *map_type, *grid_type;
    std::uint32_t kernel_type;
};

float linear(float start, float end, std::uint32_t epochs, std::uint32_t e) {
    return start - static_cast<float>(e) *
                       ((start - end) / static_cast<float>(epochs - 1));
}

void print_phase_timings(const Workload &w, int threads, bool first,
                         bool quick) {
    std::vector<float> data =
        uniform(static_cast<std::size_t>(w.vectors) * w.dimension, 1);
    if (w.kernel_type == 2) {
        // Exactly 20 stored values per row, in (0, 1].
        std::mt19937 generator(4);
        std::uniform_int_distribution<std::uint32_t> column(0, w.dimension - 1);
        std::fill(data.begin(), data.end(), 0.0f);
        for (std::uint32_t n = 0; n < w.vectors; ++n) {
            float *row = data.data() + static_cast<std::size_t>(n) * w.dimension;
            for (int stored = 0; stored < 20;) {
                float &value = row[column(generator)];
                if (value != 0.0f)
                    continue;
                value = 1.0f - std::uniform_real_distribution<float>(
                                   0.0f, 1.0f)(generator);
                ++stored;
            }
        }
    }
    std::vector<float> codebook =
        uniform(static_cast<std::size_t>(w.columns) * w.rows * w.dimension, 2);
    std::vector<std::int32_t> bmus(2 * w.vectors);
    quorvel::SparseRows sparse;
    if (w.kernel_type == 2)
        sparse = quorvel::make_sparse_rows(data.data(), w.vectors, w.dimension);
    const float radius_start =
        static_cast<float>(std::min(w.columns, w.rows) / 2);
    const int repeats = quick ? 1 : 3;
    omp_set_num_threads(threads);
    auto epoch = [&](float radius, float scale, bool bmu_only) {
        const quorvel::EpochSettings settings{
            w.columns, w.rows,      w.dimension, w.vectors, radius, scale,
            w.map_type, w.grid_type, false,      true,      bmu_only};
        if (w.kernel_type == 2)
            quorvel::sparse_epoch(sparse.rows.data(), codebook.data(),
                                  bmus.data(), settings);
        else
            quorvel::dense_epoch(data.data(), codebook.data(), bmus.data(),
                                 settings);
    };
    const double bmu = seconds_of([&] { epoch(radius_start, 0.1f, true); },
                                  repeats);
    const float last_radius = linear(radius_start, 1.0f, w.epochs, w.epochs - 1);
    const float last_scale = linear(0.1f, 0.01f, w.epochs, w.epochs - 1);
    const double first_epoch =
        seconds_of([&] { epoch(radius_start, 0.1f, false); }, repeats);
    const double last_epoch =
        seconds_of([&] { epoch(last_radius, last_scale, false); }, repeats);
    std::printf("%s    {\"workload\": \"%s\", \"threads\": %d, "
                "\"bmu_search_s\": %.6f, \"first_epoch_s\": %.6f, "
                "\"last_epoch_s\": %.6f, \"bmu_gflop\": %.4f, "
                "\"update_gflop\": %.4f}",
                first ? "" : ",\n", w.name, threads, bmu, first_epoch,
                last_epoch,
                3.0 * w.vectors * w.columns * w.rows * w.dimension / 1e9,
                2.0 * w.vectors * w.columns * w.rows *
                    (w.kernel_type == 2 ? 20.0 : w.dimension) / 1e9);
}

} // namespace

int main(int argc, char **argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int max_threads = omp_get_max_threads();
    const Workload workloads[] = {
        {"W1", 20000, 64, 40, 30, 10, "planar", "rectangular", 0},
        {"W2", 10000, 16, 100, 100, 5, "toroid", "hexagonal", 0},
        {"W3", 5000, 1000, 20, 20, 5, "planar", "rectangular", 2},
    };
    const bool has_avx512 = __builtin_cpu_supports("avx512f");
    std::printf("{\n  \"roofline\": ");
    if (has_avx512) {
        const Roofline r = measure_roofline(quick);
        std::printf("{\"bmu_shape_gflops_1_thread\": %.2f, "
                    "\"bmu_shape_gflops_2_threads\": %.2f, "
                    "\"update_shape_gflops_1_thread\": %.2f, "
                    "\"update_shape_gflops_2_threads\": %.2f},\n",
                    r.bmu_1, r.bmu_2, r.update_1, r.update_2);
    } else {
        std::printf("null,\n");
    }
    std::printf("  \"phases\": [\n");
    bool first = true;
    for (const Workload &w : workloads) {
        for (int threads : {1, 2}) {
            if (threads > max_threads && threads > 1)
                continue;
            print_phase_timings(w, threads, first, quick);
            first = false;
        }
    }
    omp_set_num_threads(max_threads);
    // W4: the U-matrix of a 300 x 300 hexagonal toroid of dimension 8.
    const std::vector<float> codebook = uniform(300u * 300u * 8u, 3);
    std::vector<float> umatrix(300u * 300u);
    const double umatrix_s = seconds_of(
        [&] {
            quorvel::compute_umatrix(umatrix.data(), codebook.data(), 300, 300,
                                     8, "toroid", "hexagonal");
        },
        quick ? 1 : 5);
    std::printf("\n  ],\n  \"umatrix_W4_s\": %.6f\n}\n", umatrix_s);
    return 0;
}
