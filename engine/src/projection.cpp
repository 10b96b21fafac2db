// The rows times a thin basis and the rows' weighted sums (quorvel/
// projection.h). A projection is one thread's double sum in feature order,
// so rows can go to any thread; the weighted sums are integers, and each
// feature's sums belong to one thread, which reads that feature of every
// row: no per-thread copies of a features x width block to merge.
//
// The columns are taken in tiles of up to eight, each tile a kernel of its
// width fixed at compile time, so that a row's running sums stay in
// registers and the fixed-point terms of a value are computed side by side.
#include "quorvel/projection.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

namespace quorvel {

namespace {

constexpr std::size_t tile = 8;

// The integer nearest to value (ties to even) for |value| < 2^51: adding
// 1.5 * 2^52 rounds it to a whole number in a binade whose unit is 1, which
// leaves the integer in the low bits of the sum. Unlike a conversion
// instruction, the integer subtraction vectorises without AVX-512DQ.
inline std::int64_t small_nearest_integer(double value) {
    constexpr double shift = 0x1.8p52;
    const double shifted = value + shift;
    std::int64_t bits, shift_bits;
    std::memcpy(&bits, &shifted, sizeof bits);
    std::memcpy(&shift_bits, &shift, sizeof shift_bits);
    return bits - shift_bits;
}

// Columns [first, first + W) of the block: `stride` doubles per row of the
// basis, of the weights and of the outputs.
struct Tile {
    std::size_t first;
    std::size_t stride;
};

// Adds x times the tile's part of basis row f to a row's running sums.
template <std::size_t W>
inline void add_projection(double x, const double *basis_row, double *sum) {
    for (std::size_t j = 0; j < W; ++j)
        sum[j] += x * basis_row[j];
}

template <std::size_t W>
void project_tile(const BlockShape &shape, DenseRows data, const double *basis,
                  double *out, Tile at, std::size_t n) {
    const float *row = data.values + n * shape.dimension;
    double sum[W] = {};
    for (std::size_t f = 0; f < shape.dimension; ++f) {
        const double x = row[f];
        if (x != 0.0)
            add_projection<W>(x, basis + f * at.stride + at.first, sum);
    }
    std::copy(sum, sum + W, out + n * at.stride + at.first);
}

template <std::size_t W>
void project_tile(const BlockShape &, CsrRows data, const double *basis,
                  double *out, Tile at, std::size_t n) {
    double sum[W] = {};
    for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e) {
        const double x = data.values[e];
        if (x != 0.0)
            add_projection<W>(
                x,
                basis + static_cast<std::size_t>(data.indices[e]) * at.stride +
                    at.first,
                sum);
    }
    std::copy(sum, sum + W, out + n * at.stride + at.first);
}

// Adds the fixed-point terms of value x against the tile's part of a row's
// weights to the sums of its feature.
template <std::size_t W>
inline void add_weighted(double x, const double *weights, const double *scale,
                         std::int64_t *__restrict sum) {
#pragma omp simd
    for (std::size_t j = 0; j < W; ++j)
        sum[j] += small_nearest_integer(x * weights[j] * scale[j]);
}

// Features [first, last) of every row.
template <std::size_t W>
void weighted_tile(const BlockShape &shape, DenseRows data,
                   const double *weights, const double *scales,
                   std::int64_t *sums, Tile at, std::size_t first,
                   std::size_t last) {
    for (std::size_t n = 0; n < data.count; ++n) {
        const float *row = data.values + n * shape.dimension;
        const double *row_weights = weights + n * at.stride + at.first;
        for (std::size_t f = first; f < last; ++f) {
            const double x = row[f];
            if (x != 0.0) {
                const std::size_t cell = f * at.stride + at.first;
                add_weighted<W>(x, row_weights, scales + cell, sums + cell);
            }
        }
    }
}

template <std::size_t W>
void weighted_tile(const BlockShape &, CsrRows data, const double *weights,
                   const double *scales, std::int64_t *sums, Tile at,
                   std::size_t first, std::size_t last) {
    const auto low = static_cast<std::int32_t>(first);
    const auto high = static_cast<std::int32_t>(last);
    for (std::size_t n = 0; n < data.count; ++n) {
        const std::int32_t *begin = data.indices + data.indptr[n];
        const std::int32_t *end = data.indices + data.indptr[n + 1];
        const double *row_weights = weights + n * at.stride + at.first;
        for (const std::int32_t *column = std::lower_bound(begin, end, low);
             column != end && *column < high; ++column) {
            const double x = data.values[column - data.indices];
            if (x != 0.0) {
                const std::size_t cell =
                    static_cast<std::size_t>(*column) * at.stride + at.first;
                add_weighted<W>(x, row_weights, scales + cell, sums + cell);
            }
        }
    }
}

// Calls kernel.template run<W>() for the tile of columns [first, first + W)
// of a block of `width` columns, W = min(8, width - first).
template <class Kernel>
void for_each_tile(std::size_t width, const Kernel &kernel) {
    for (std::size_t first = 0; first < width; first += tile) {
        const Tile at{first, width};
        switch (std::min(tile, width - first)) {
        case 1: kernel.template run<1>(at); break;
        case 2: kernel.template run<2>(at); break;
        case 3: kernel.template run<3>(at); break;
        case 4: kernel.template run<4>(at); break;
        case 5: kernel.template run<5>(at); break;
        case 6: kernel.template run<6>(at); break;
        case 7: kernel.template run<7>(at); break;
        default: kernel.template run<8>(at); break;
        }
    }
}

template <class Rows>
struct ProjectKernel {
    const BlockShape &shape;
    Rows data;
    const double *basis;
    double *out;
    int threads;

    template <std::size_t W>
    void run(Tile at) const {
        const auto count = static_cast<std::int64_t>(data.count);
        const ProjectKernel &self = *this;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(self, at, count)
        for (std::int64_t n = 0; n < count; ++n)
            project_tile<W>(self.shape, self.data, self.basis, self.out, at,
                            static_cast<std::size_t>(n));
    }
};

// Dense rows split their features evenly among the threads; the stored
// values of CSR rows (text, counts) crowd into some features, so those are
// cut finer and the pieces taken as they come.
inline std::int64_t feature_parts(DenseRows, int threads) { return threads; }
inline std::int64_t feature_parts(CsrRows, int threads) {
    return 4 * static_cast<std::int64_t>(threads);
}

template <class Rows>
struct WeightedKernel {
    const BlockShape &shape;
    Rows data;
    const double *weights;
    const double *scales;
    std::int64_t *sums;
    int threads;

    template <std::size_t W>
    void run(Tile at) const {
        const std::int64_t parts = feature_parts(data, threads);
        const auto dimension = static_cast<std::int64_t>(shape.dimension);
        const WeightedKernel &self = *this;
#pragma omp parallel for schedule(dynamic) num_threads(threads) default(none) \
    shared(self, at, parts, dimension)
        for (std::int64_t part = 0; part < parts; ++part)
            weighted_tile<W>(
                self.shape, self.data, self.weights, self.scales, self.sums, at,
                static_cast<std::size_t>(dimension * part / parts),
                static_cast<std::size_t>(dimension * (part + 1) / parts));
    }
};

template <class Rows>
void weighted_rows(const BlockShape &shape, Rows data, const double *weights,
                   const WeightedSums &sums, int threads) {
    std::vector<double> scales(static_cast<std::size_t>(shape.dimension) *
                               shape.width);
    for (std::size_t i = 0; i < scales.size(); ++i)
        scales[i] = std::ldexp(1.0, sums.exponents[i]);
    for_each_tile(shape.width,
                  WeightedKernel<Rows>{shape, data, weights, scales.data(),
                                       sums.sums, threads});
}

} // namespace

void project_rows(const BlockShape &shape, DenseRows data, const double *basis,
                  double *out, int threads) {
    for_each_tile(shape.width,
                  ProjectKernel<DenseRows>{shape, data, basis, out, threads});
}

void project_rows(const BlockShape &shape, CsrRows data, const double *basis,
                  double *out, int threads) {
    for_each_tile(shape.width,
                  ProjectKernel<CsrRows>{shape, data, basis, out, threads});
}

void weighted_row_sums(const BlockShape &shape, DenseRows data,
                       const double *weights, const WeightedSums &sums,
                       int threads) {
    weighted_rows(shape, data, weights, sums, threads);
}

void weighted_row_sums(const BlockShape &shape, CsrRows data,
                       const double *weights, const WeightedSums &sums,
                       int threads) {
    weighted_rows(shape, data, weights, sums, threads);
}

void dot_products(std::uint32_t dimension, VectorRows a, VectorRows b,
                  double *out, int threads) {
    const auto count = static_cast<std::int64_t>(a.count);
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(dimension, a, b, out, count)
    for (std::int64_t i = 0; i < count; ++i) {
        const double *left = a.values + static_cast<std::size_t>(i) * dimension;
        for (std::size_t j = 0; j < b.count; ++j) {
            const double *right = b.values + j * dimension;
            double sum = 0.0;
            for (std::size_t f = 0; f < dimension; ++f)
                sum += left[f] * right[f];
            out[static_cast<std::size_t>(i) * b.count + j] = sum;
        }
    }
}

} // namespace quorvel
