// The two products of rows of data with a thin dense block that a subspace
// iteration over the rows needs: the rows times a basis (X Q) and the
// weighted sums of the rows (X^T Y); and the dot products of the block's own
// vectors. All are computed so that no thread count, split of the rows into
// calls, or machine changes a bit: each projection or dot product is one
// double sum in a fixed order, computed by one thread, and the weighted sums
// are 64-bit integers, as the per-node sums of an epoch are (see NodeSums in
// quorvel/map.h).
#ifndef QUORVEL_PROJECTION_H
#define QUORVEL_PROJECTION_H

#include "quorvel/map.h"

#include <cstddef>
#include <cstdint>

namespace quorvel {

// A block of `width` columns against rows of `dimension` features: a basis
// is dimension x width doubles and weights are width doubles per row, both
// row after row.
struct BlockShape {
    std::uint32_t dimension;
    std::uint32_t width;
};

// out[n][j] (count x width) = the sum over the features f of x[n][f] times
// basis[f][j], in double: from +0.0, (double)x[n][f] * basis[f][j] added in
// increasing feature order, a separate multiply and add. Zero values add
// nothing: their terms are zeros of either sign, which leave a sum that
// starts at +0.0 unchanged, so CSR rows (which add their stored values only)
// give the bits of the dense rows of the same values. The basis must be
// finite. Rows are shared among the threads, each computed by one of them.
void project_rows(const BlockShape &shape, DenseRows data, const double *basis,
                  double *out, int threads);
void project_rows(const BlockShape &shape, CsrRows data, const double *basis,
                  double *out, int threads);

// sums[f][j] (dimension x width) gains, for every row n, the integer nearest
// (ties to even) to (double)x[n][f] * weights[n][j], rounded to double and
// times 2^exponents[f][j] (exact). Integer additions commute, so any split
// of the rows among threads and calls gives the same sums as long as none
// overflows. The caller picks each exponent from a bound b on |x[.][f]|
// times |weights[.][j]| and the total row count so that every scaled term is
// below 2^51 and rows_in_total of them below 2^62: choose_exponent(b,
// max(rows_in_total, 2048)). It zeroes `sums` once and adds every call into
// it. Zero values add nothing, so CSR rows give the sums of the dense rows
// of the same values. Features are shared among the threads.
struct WeightedSums {
    std::int64_t *sums;            // dimension x width
    const std::int32_t *exponents; // dimension x width
};

void weighted_row_sums(const BlockShape &shape, DenseRows data,
                       const double *weights, const WeightedSums &sums,
                       int threads);
void weighted_row_sums(const BlockShape &shape, CsrRows data,
                       const double *weights, const WeightedSums &sums,
                       int threads);

// Rows of `count` vectors of doubles, vector after vector.
struct VectorRows {
    const double *values;
    std::size_t count;
};

// out[i][j] (a.count x b.count) = the sum over f < dimension of a[i][f] times
// b[j][f]: from +0.0 in increasing f, a separate multiply and add. Rows of a
// are shared among the threads.
void dot_products(std::uint32_t dimension, VectorRows a, VectorRows b,
                  double *out, int threads);

} // namespace quorvel

#endif
