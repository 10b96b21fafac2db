// The benchmark's C++ side. Without arguments: the machine's arithmetic
// limits, measured with roofline kernels of the shapes the exact kernels
// must have (SIMD lanes across independent sums, separate multiply and add,
// no FMA), and the float32 fused multiply-add peak that a matrix product
// could reach. With --phases: the package engine's kernels on one
// workload's rows (written by bench/run_bench.py), timed phase by phase,
// beside a plain read of the same rows. Prints one JSON object.
//
//   quorvel_bench [--quick]
//   quorvel_bench --phases columns=C rows=R dimension=D grid=rectangular
//       topology=planar sigma=S count=N codebook=FILE data=FILE
//       [indices=FILE indptr=FILE stored=NNZ] [repeats=K] [threads=T]
#include "quorvel/map.h"

#include <immintrin.h>
#include <omp.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

// The best of `repeats` runs, or of those that fit in `budget` seconds (at
// least one): a run of seconds is steadier than the load of the machine lets
// the repeats make it.
double seconds_of(const std::function<void()> &work, int repeats,
                  double budget = 2.0) {
    double best = 1e300, spent = 0;
    for (int r = 0; r < repeats && spent < budget; ++r) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const auto stop = std::chrono::steady_clock::now();
        const double took = std::chrono::duration<double>(stop - start).count();
        best = std::min(best, took);
        spent += took;
    }
    return best;
}

// ---------------------------------------------------------------------------
// Roofline: 24 independent sums of 16 lanes, each s = s + t * t with
// t = c - x (the BMU search's shape: a subtract, a multiply, an add per
// lane), s = x * h + s (the batch update's shape), or one fused
// multiply-add s = fma(x, h, s) (what a matrix product's inner loop runs),
// all from registers.

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
            } else if (Shape == 1) {
                acc[k] = x * c + acc[k];
            } else {
                acc[k] = (lanes16)_mm512_fmadd_ps((__m512)x, (__m512)c,
                                                   (__m512)acc[k]);
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

// The fused multiply-add peak where AVX-512 is missing: 8 lanes, 12 sums.
__attribute__((target("avx2,fma"), noinline)) float fma_avx2(long iterations) {
    __m256 acc[12];
    __m256 c = _mm256_set1_ps(1.0f + 1e-7f), x = _mm256_set1_ps(1.0f - 1e-7f);
    for (auto &a : acc)
        a = _mm256_setzero_ps();
    for (long i = 0; i < iterations; ++i) {
        for (int k = 0; k < 12; ++k)
            acc[k] = _mm256_fmadd_ps(x, c, acc[k]);
        __asm__ volatile("" : "+x"(c), "+x"(x));
    }
    float lanes[8], sum = 0;
    for (auto &a : acc) {
        _mm256_storeu_ps(lanes, a);
        for (float l : lanes)
            sum += l;
    }
    return sum;
}

// Flops per second of one kernel on `threads` threads, each running
// `per_thread` flops; the best of 3.
double gflops_of(const std::function<float()> &kernel, double per_thread,
                 int threads) {
    volatile float sink = 0;
    const double s = seconds_of(
        [&] {
#pragma omp parallel num_threads(threads)
            {
                const float v = kernel();
#pragma omp atomic
                sink = sink + v;
            }
        },
        3);
    return per_thread * threads / s / 1e9;
}

void print_roofline(bool quick) {
    const long iterations = quick ? 2000000 : 8000000;
    const bool avx512 = __builtin_cpu_supports("avx512f");
    const bool avx2 = __builtin_cpu_supports("avx2") &&
                      __builtin_cpu_supports("fma");
    std::printf("{\n  \"roofline\": ");
    if (avx512) {
        // Flops per lane per iteration: 3 for the distance shape, 2 for the
        // update's multiply-add.
        const double lanes = 24.0 * 16 * iterations;
        double r[4];
        int i = 0;
        for (int shape = 0; shape < 2; ++shape)
            for (int threads : {1, 2})
                r[i++] = gflops_of(
                    [&] {
                        return shape == 0 ? roofline_avx512<0>(iterations)
                                          : roofline_avx512<1>(iterations);
                    },
                    lanes * (shape == 0 ? 3 : 2), threads);
        std::printf("{\"bmu_shape_gflops_1_thread\": %.2f, "
                    "\"bmu_shape_gflops_2_threads\": %.2f, "
                    "\"update_shape_gflops_1_thread\": %.2f, "
                    "\"update_shape_gflops_2_threads\": %.2f},\n",
                    r[0], r[1], r[2], r[3]);
    } else {
        std::printf("null,\n");
    }
    // The FMA peak, in fused multiply-adds per second (2 flops each).
    std::printf("  \"fma\": ");
    if (avx512 || avx2) {
        double g[2];
        for (int threads : {1, 2}) {
            g[threads - 1] =
                avx512 ? gflops_of([&] { return roofline_avx512<2>(iterations); },
                                   24.0 * 16 * iterations, threads)
                       : gflops_of([&] { return fma_avx2(iterations); },
                                   12.0 * 8 * iterations, threads);
        }
        std::printf("{\"isa\": \"%s\", \"gfma_1_thread\": %.2f, "
                    "\"gfma_2_threads\": %.2f}\n}\n",
                    avx512 ? "avx512" : "avx2", g[0], g[1]);
    } else {
        std::printf("null\n}\n");
    }
}

// ---------------------------------------------------------------------------
// One workload's phases through the package engine's entry points (map.h):
// the search alone (find_bmus, BMU and its distance), the search with the
// per-node sums (accumulate), the gaussian neighbourhood over the whole map,
// and a plain read of the rows' arrays, which bounds a pass over them.

typedef float lanes8 __attribute__((vector_size(32)));

template <typename T> std::vector<T> read_file(const std::string &path,
                                               std::size_t count) {
    std::vector<T> v(count);
    FILE *f = std::fopen(path.c_str(), "rb");
    if (!f || std::fread(v.data(), sizeof(T), count, f) != count) {
        std::fprintf(stderr, "quorvel_bench: cannot read %zu values from %s\n",
                     count, path.c_str());
        std::exit(2);
    }
    std::fclose(f);
    return v;
}

// Sums every 32-byte block of [begin, end) into 8 independent vectors: a
// read of the whole array at the memory system's pace, split over threads.
float plain_read(const void *begin, std::size_t bytes, int threads) {
    const lanes8 *blocks = static_cast<const lanes8 *>(begin);
    const long count = static_cast<long>(bytes / sizeof(lanes8));
    float total = 0;
#pragma omp parallel num_threads(threads) reduction(+ : total)
    {
        lanes8 acc[8] = {};
#pragma omp for schedule(static)
        for (long i = 0; i < count / 8 * 8; i += 8)
            for (int k = 0; k < 8; ++k)
                acc[k] += blocks[i + k];
        for (const lanes8 &a : acc)
            for (int l = 0; l < 8; ++l)
                total += a[l];
    }
    return total;
}

int print_phases(const std::map<std::string, std::string> &opt) {
    auto number = [&](const char *key) {
        const auto it = opt.find(key);
        if (it == opt.end()) {
            std::fprintf(stderr, "quorvel_bench --phases: %s= missing\n", key);
            std::exit(2);
        }
        return std::strtod(it->second.c_str(), nullptr);
    };
    quorvel::MapShape shape{};
    shape.columns = static_cast<std::uint32_t>(number("columns"));
    shape.rows = static_cast<std::uint32_t>(number("rows"));
    shape.dimension = static_cast<std::uint32_t>(number("dimension"));
    shape.grid = opt.at("grid") == "hexagonal" ? quorvel::Grid::hexagonal
                                              : quorvel::Grid::rectangular;
    shape.topology = opt.at("topology") == "toroid"
                         ? quorvel::Topology::toroid
                         : quorvel::Topology::planar;
    const double sigma = number("sigma");
    const std::size_t count = static_cast<std::size_t>(number("count"));
    const int repeats = opt.count("repeats") ? int(number("repeats")) : 3;
    const int threads = opt.count("threads") ? int(number("threads")) : 2;
    const std::size_t nodes = shape.node_count(), d = shape.dimension;
    const bool csr = opt.count("indices") > 0;

    const std::vector<float> codebook =
        read_file<float>(opt.at("codebook"), nodes * d);
    std::vector<float> values;
    std::vector<std::int32_t> indices;
    std::vector<std::int64_t> indptr;
    if (csr) {
        const std::size_t stored = static_cast<std::size_t>(number("stored"));
        values = read_file<float>(opt.at("data"), stored);
        indices = read_file<std::int32_t>(opt.at("indices"), stored);
        indptr = read_file<std::int64_t>(opt.at("indptr"), count + 1);
    } else {
        values = read_file<float>(opt.at("data"), count * d);
    }
    const quorvel::DenseRows dense{values.data(), count};
    const quorvel::CsrRows sparse{values.data(), indices.data(), indptr.data(),
                                  count};

    // The fixed point of the package: each feature's exponent from its
    // largest magnitude, the error's from a bound on any row's distance.
    std::vector<double> largest(d, 0.0);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::size_t f = csr ? std::size_t(indices[i]) : i % d;
        largest[f] = std::max(largest[f], double(std::fabs(values[i])));
    }
    std::vector<std::int32_t> exponents(d);
    double bound = 0;
    for (std::size_t f = 0; f < d; ++f) {
        exponents[f] = quorvel::choose_exponent(largest[f], count);
        double c = 0;
        for (std::size_t k = 0; k < nodes; ++k)
            c = std::max(c, double(std::fabs(codebook[k * d + f])));
        bound += (largest[f] + c) * (largest[f] + c);
    }
    const std::int32_t error_exponent =
        quorvel::choose_exponent(std::sqrt(bound), count);

    std::vector<std::int32_t> bmus(count);
    std::vector<float> distances(count);
    const quorvel::BmuResults results{bmus.data(), distances.data()};
    const double search = seconds_of(
        [&] {
            if (csr)
                quorvel::find_bmus(shape, codebook.data(), sparse, results,
                                   threads);
            else
                quorvel::find_bmus(shape, codebook.data(), dense, results,
                                   threads);
        },
        repeats);

    std::vector<std::int64_t> sums(nodes * d), counts(nodes);
    std::int64_t error_sum = 0, error_overflows = 0;
    const quorvel::NodeSums node_sums{sums.data(),      counts.data(),
                                      exponents.data(), error_exponent,
                                      count,            &error_sum,
                                      &error_overflows};
    const double accumulate = seconds_of(
        [&] {
            std::fill(sums.begin(), sums.end(), 0);
            std::fill(counts.begin(), counts.end(), 0);
            error_sum = error_overflows = 0;
            if (csr)
                quorvel::accumulate(shape, codebook.data(), sparse, node_sums,
                                    nullptr, threads);
            else
                quorvel::accumulate(shape, codebook.data(), dense, node_sums,
                                    nullptr, threads);
        },
        repeats);

    const quorvel::MapNeighbourhood hood{quorvel::NeighbourhoodKind::gaussian,
                                         sigma};
    const quorvel::NodeTotals totals{sums.data(), counts.data(),
                                     exponents.data(), false};
    std::vector<float> out(nodes * d);
    const double neighbourhood = seconds_of(
        [&] {
            quorvel::apply_neighbourhood(shape, hood, totals, codebook.data(),
                                         out.data(), 0,
                                         static_cast<std::uint32_t>(nodes),
                                         threads);
        },
        repeats);

    // Everything a pass must read: the values and, for CSR, the column
    // indices and row starts.
    volatile float sink = 0;
    const std::size_t data_bytes =
        values.size() * sizeof(float) +
        (csr ? indices.size() * 4 + indptr.size() * 8 : 0);
    const double read = seconds_of(
        [&] {
            float s = plain_read(values.data(), values.size() * sizeof(float),
                                 threads);
            if (csr) {
                s += plain_read(indices.data(), indices.size() * 4, threads);
                s += plain_read(indptr.data(), indptr.size() * 8, threads);
            }
            sink = sink + s;
        },
        // A read takes milliseconds, and one whose thread lost its core
        // to other work says nothing of the memory: many, a quarter of a
        // second in all.
        200, 0.25);
    std::printf("{\"kernel_variant\": \"%s\", \"threads\": %d, "
                "\"search_s\": %.6f, \"accumulate_s\": %.6f, "
                "\"neighbourhood_s\": %.6f, \"read_s\": %.6f, "
                "\"data_bytes\": %zu, \"stored\": %zu}\n",
                quorvel::kernel_variant(), threads, search, accumulate,
                neighbourhood, read, data_bytes, csr ? values.size() : count * d);
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc > 1 && std::strcmp(argv[1], "--phases") == 0) {
        std::map<std::string, std::string> opt;
        for (int i = 2; i < argc; ++i) {
            const char *eq = std::strchr(argv[i], '=');
            if (!eq) {
                std::fprintf(stderr, "quorvel_bench: %s is not key=value\n",
                             argv[i]);
                return 2;
            }
            opt[std::string(argv[i], static_cast<std::size_t>(eq - argv[i]))] = eq + 1;
        }
        return print_phases(opt);
    }
    print_roofline(argc > 1 && std::strcmp(argv[1], "--quick") == 0);
    return 0;
}
