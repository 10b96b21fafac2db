// The epoch kernels: phase 1 finds every vector's best-matching unit (BMU),
// phase 2 recomputes every node as the neighbourhood-weighted mean of all
// vectors. Both phases run in OpenMP parallel regions.
#ifndef QUORVEL_EPOCH_H
#define QUORVEL_EPOCH_H

#include <cstdint>
#include <string>
#include <vector>

namespace quorvel {

// One stored component of a sparse vector.
struct SparseEntry {
    std::int32_t index;
    float value;
};

// A sparse vector: entries in strictly increasing index order, closed by an
// entry whose index is -1 (its value is never read). Components that are not
// stored are zero.
using SparseRow = const SparseEntry *;

// Sparse rows of dense vectors, owned together: every component that is not
// zero is stored (NaN included; -0.0 compares equal to zero and is not).
struct SparseRows {
    std::vector<SparseEntry> entries;
    std::vector<SparseRow> rows;
};
SparseRows make_sparse_rows(const float *data, std::uint32_t vector_count,
                            std::uint32_t dimension);

// The epoch kernels below run the fast variants (blocked, vectorised across
// independent sums, chosen at run time for the CPU); each has a
// straightforward *_ref twin that computes the same bits one pair at a time
// and serves as the oracle of the tests. Their BMU is the nearest node by
// the squared distances below, scanning the nodes rows outer, columns inner:
// a later node replaces the best only when strictly nearer, so ties go to
// the first node in row-major order and a NaN distance never wins. They
// write column, then row, of each vector's BMU to bmus.

// Sum over i of (codebook component - data component)^2, in float, from 0.0
// in increasing i. No square root.
float squared_distance_dense_ref(const float *codebook, const float *data,
                                 std::uint32_t y, std::uint32_t x,
                                 std::uint32_t columns, std::uint32_t dimension,
                                 std::uint32_t n);

// One epoch's map, data shape and neighbourhood: the radius and scale of
// this epoch and the settings as train() takes them. With bmu_only the
// epoch writes the BMUs and leaves the codebook as it is.
struct EpochSettings {
    std::uint32_t columns;
    std::uint32_t rows;
    std::uint32_t dimension;
    std::uint32_t vector_count;
    float radius;
    float scale;
    std::string map_type;
    std::string grid_type;
    bool cutoff;
    bool use_gaussian;
    bool bmu_only;
};

void dense_epoch_ref(const float *data, float *codebook, std::int32_t *bmus,
                     const EpochSettings &settings);
void dense_epoch(const float *data, float *codebook, std::int32_t *bmus,
                 const EpochSettings &settings);

// As the dense distance, walking the row's entries beside the components: an
// absent component contributes the codebook component squared.
float squared_distance_sparse_ref(const float *codebook,
                                  const SparseRow *sparse_data,
                                  std::uint32_t y, std::uint32_t x,
                                  std::uint32_t columns,
                                  std::uint32_t dimension, std::uint32_t n);

void sparse_epoch_ref(const SparseRow *sparse_data, float *codebook,
                      std::int32_t *bmus, const EpochSettings &settings);
void sparse_epoch(const SparseRow *sparse_data, float *codebook,
                  std::int32_t *bmus, const EpochSettings &settings);

} // namespace quorvel

#endif
