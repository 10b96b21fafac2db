// The U-matrix: for every node, the mean Euclidean distance from its vector
// to those of its grid neighbours (nodes at grid distance 1.5 or less).
#ifndef QUORVEL_UMATRIX_H
#define QUORVEL_UMATRIX_H

#include <cstdint>
#include <string>

namespace quorvel {

// sqrt(sum over i of |a[i] - b[i]|^2), summed in float in increasing i; the
// square root in double on the widened sum.
float vector_distance(const float *a, const float *b, std::uint32_t n);

// Runs on the calling thread; writes every cell once and reads none. The
// reference visits every node of the map for every cell; the public one only
// the cell's candidate neighbours, in the same row-major order.
void compute_umatrix_ref(float *umatrix, const float *codebook,
                         std::uint32_t columns, std::uint32_t rows,
                         std::uint32_t dimension, std::string map_type,
                         std::string grid_type);
void compute_umatrix(float *umatrix, const float *codebook,
                     std::uint32_t columns, std::uint32_t rows,
                     std::uint32_t dimension, std::string map_type,
                     std::string grid_type);

} // namespace quorvel

#endif
