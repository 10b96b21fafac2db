// The map training engine: one complete batch-training run over arrays that
// the caller owns. The Python module calls train() and nothing else; the other
// headers under quorvel/ expose the pieces for tests and benchmarks.
#ifndef QUORVEL_ENGINE_H
#define QUORVEL_ENGINE_H

#include <cstdint>
#include <string>

namespace quorvel {

// Trains the map in place.
//
// data      vector_count x dimension floats, row after row; only read.
// codebook  columns x rows x dimension floats; node (x, y) starts at
//           (y * columns + x) * dimension. Brings the starting codebook (or
//           the unset marker 1000.0, 2000.0 in its first two values) and
//           takes back the trained one.
// bmus      2 x vector_count ints: column, then row of each vector's BMU.
// umatrix   columns x rows floats, row-major.
//
// The four *_length counts are accepted and not read: the caller guarantees
// the sizes above. Throws std::runtime_error for kernel_type 1 (no GPU
// kernel in this build) and std::bad_alloc when scratch memory cannot be had;
// in both cases the codebook may already hold its random initial values.
void train(const float *data, std::int64_t data_length, std::uint32_t epoch_count,
           std::uint32_t columns, std::uint32_t rows, std::uint32_t dimension,
           std::uint32_t vector_count, std::uint32_t radius_start,
           std::uint32_t radius_end, std::string radius_cooling, float scale_start,
           float scale_end, std::string scale_cooling, std::uint32_t kernel_type,
           std::string map_type, std::string grid_type, bool cutoff,
           bool use_gaussian, float *codebook, std::int64_t codebook_length,
           std::int32_t *bmus, std::int64_t bmus_length, float *umatrix,
           std::int64_t umatrix_length);

} // namespace quorvel

#endif
