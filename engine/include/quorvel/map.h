// The engine of the quorvel package's estimator: a map on a true grid
// geometry, BMU searches that report runner-ups and distances, per-node sums
// that do not depend on the order or grouping of rows, and the neighbourhood
// applied node to node. Every entry point takes the map as one MapShape and
// runs its parallel regions with exactly the thread count it is given, so
// the OpenMP state of the process is never changed.
//
// Node k = y * columns + x (x the column); a codebook is node_count vectors
// of `dimension` floats, node after node.
#ifndef QUORVEL_MAP_H
#define QUORVEL_MAP_H

#include <cstddef>
#include <cstdint>
#include <memory>

namespace quorvel {
namespace detail {
class SparseSearch;
}

enum class Grid : std::uint8_t { rectangular, hexagonal };
enum class Topology : std::uint8_t { planar, toroid };

// Rectangular: node (x, y) sits at (x, y). Hexagonal: odd rows are shifted
// right by half a cell, node (x, y) at (x + (y mod 2) / 2, y sqrt(3) / 2), so
// every inner node has six neighbours at distance 1. A toroid wraps both
// axes; a hexagonal toroid needs an even row count (the caller checks).
struct MapShape {
    std::uint32_t columns;
    std::uint32_t rows;
    std::uint32_t dimension;
    Grid grid;
    Topology topology;

    std::uint32_t node_count() const { return columns * rows; }
};

// The instruction set of the fast kernels chosen for this CPU, detected once
// per process: "portable", "avx2" or "avx512".
const char *kernel_variant();

// Whether the fast kernels can number this map's nodes (32-bit indices) and
// a codebook of it fits in memory arithmetic; the caller refuses others.
bool map_shape_fits(const MapShape &shape);

// The squared grid distance of node b from node a: Euclidean between their
// positions, the shorter way round each axis on a toroid. Every operation is
// exact in double (half cells and the 3/4 of a squared row step).
double grid_distance_squared(const MapShape &shape, std::uint32_t a,
                             std::uint32_t b);

enum class NeighbourhoodKind : std::uint8_t { gaussian, bubble, cut_gaussian };

// The neighbourhood h of a grid distance d at width sigma: gaussian
// exp(-d^2 / (2 sigma^2)); bubble 1 where d <= sigma, else 0; cut_gaussian
// the gaussian where d <= sigma, else 0.
struct MapNeighbourhood {
    NeighbourhoodKind kind;
    double sigma;
};

double neighbourhood_value(const MapNeighbourhood &hood,
                           double distance_squared);

// exp(x) by range reduction and a fixed polynomial in plain double
// arithmetic: the same bits on every machine and C library (the C library's
// exp may pick another code path on another CPU). Relative error below
// 4e-16 over the whole range; 0 below -745.2, +inf above 709.8.
double portable_exp(double x);

// Rows of data: `count` vectors of shape.dimension floats, row after row.
struct DenseRows {
    const float *values;
    std::size_t count;
};

// Rows in compressed sparse row form: row n holds the values
// values[indptr[n] ... indptr[n + 1]) at columns indices[...], in strictly
// increasing column order; other components are zero.
struct CsrRows {
    const float *values;
    const std::int32_t *indices;
    const std::int64_t *indptr;
    std::size_t count;
};

// What a search reports per row; `nodes` is always written, the others when
// set: the squared distance of the BMU, and the runner-up with its squared
// distance (-1 and +inf on a map of one node). Distances are summed in
// float over the components in increasing order from 0.0, (c - x)^2 each
// with a separate multiply and add; the BMU is the first node in index
// order whose distance no later node beats strictly.
struct BmuResults {
    std::int32_t *nodes;
    float *distances = nullptr;
    std::int32_t *runner_ups = nullptr;
    float *runner_up_distances = nullptr;
};

void find_bmus(const MapShape &shape, const float *codebook, DenseRows data,
               const BmuResults &results, int threads);
void find_bmus(const MapShape &shape, const float *codebook, CsrRows data,
               const BmuResults &results, int threads);
// A codebook prepared once for the searches of many calls over CSR rows, as
// an epoch's calls over chunks of rows are: its copies in the orders the
// sparse search reads, its nodes' norms and, once some call's rows make
// them pay, the tables that let a walk jump over unstored components.
// Searching with it gives what the calls with the codebook give. It reads
// the codebook through the pointer it was given, which must stay valid and
// unchanged while it is used; one call at a time.
class SparseCodebook {
  public:
    SparseCodebook(const MapShape &shape, const float *codebook, int threads);
    ~SparseCodebook();
    SparseCodebook(const SparseCodebook &) = delete;
    SparseCodebook &operator=(const SparseCodebook &) = delete;

    const MapShape &shape() const { return shape_; }
    detail::SparseSearch &search() { return *search_; }

  private:
    MapShape shape_;
    std::unique_ptr<detail::SparseSearch> search_;
};

void find_bmus(SparseCodebook &codebook, CsrRows data,
               const BmuResults &results, int threads);

// One vector at a time against every node, the oracle of the two above.
void find_bmus_ref(const MapShape &shape, const float *codebook,
                   DenseRows data, const BmuResults &results);

// The squared distance of every row to every node, node_count per row.
void node_distances(const MapShape &shape, const float *codebook,
                    DenseRows data, float *out, int threads);
void node_distances(const MapShape &shape, const float *codebook,
                    CsrRows data, float *out, int threads);

// Per-node sums in fixed point: feature f of a row adds the integer nearest
// to x * 2^exponents[f] (ties to even) to its BMU's sum, so a sum is exact
// and does not depend on the order or grouping of rows as long as no sum
// overflows 64 bits: the caller picks exponents from the largest magnitude
// of each feature and the total row count (see choose_exponent). Each row
// also adds 1 to its BMU's count and the integer nearest to its Euclidean
// distance (the square root, in double, of the float squared distance)
// times 2^error_exponent to error_sum; a row whose scaled distance is not
// below 2^62 / rows_in_total is counted in error_overflows instead.
struct NodeSums {
    std::int64_t *sums;   // node_count x dimension
    std::int64_t *counts; // node_count
    const std::int32_t *exponents;
    std::int32_t error_exponent;
    std::uint64_t rows_in_total;
    std::int64_t *error_sum;
    std::int64_t *error_overflows;
    // node_count x dimension: the weights per feature of accumulate_missing,
    // which needs them; accumulate leaves them alone.
    std::int64_t *observed = nullptr;
};

// The exponent e for values of magnitude at most `largest` over
// `rows_in_total` rows: the largest e with rows_in_total * 2^e * largest <
// 2^62, or 0 where largest is 0 or not finite.
std::int32_t choose_exponent(double largest, std::uint64_t rows_in_total);

// Finds the BMU of every row (written to bmus when it is not null) and adds
// every row to `sums`, which the caller owns and zeroes once; repeated calls
// over any split of the rows give the same sums.
void accumulate(const MapShape &shape, const float *codebook, DenseRows data,
                const NodeSums &sums, std::int32_t *bmus, int threads);
void accumulate(const MapShape &shape, const float *codebook, CsrRows data,
                const NodeSums &sums, std::int32_t *bmus, int threads);
void accumulate(SparseCodebook &codebook, CsrRows data, const NodeSums &sums,
                std::int32_t *bmus, int threads);

// What the neighbourhood turns into node vectors: the sums of accumulate (or
// accumulate_missing) with their exponents, and the weights of the means:
// the row count of each node (NodeSums::counts), or with per_feature the
// count of observed values of each node and feature (NodeSums::observed).
// A weight of 0 must come with a sum of 0.
struct NodeTotals {
    const std::int64_t *sums; // node_count x dimension
    const std::int64_t *weights;
    const std::int32_t *exponents;
    bool per_feature;
};

// Nodes [begin, end) of `out` become the neighbourhood-weighted means of the
// sums, in double: component f of node j is the sum over the nodes k of
// h(d(j, k)) times the sum of k (the nearest double to sums[k][f] times
// 2^-exponents[f]) over the sum of h(d(j, k)) times the weight of k (of its
// feature f, per_feature), rounded once to float; a component whose
// denominator is 0 keeps its value from `codebook`. Bubble and cut gaussian
// add over the nodes k in increasing order. The gaussian is taken as the
// product of its two axis factors (exp(-a^2 / (2 sigma^2)) along the row,
// exp(-c b^2 / (2 sigma^2)) across rows b apart, c = 3/4 on a hexagonal
// grid): first along each map row in increasing column order, then over the
// rows in increasing order, which costs rows + columns weighted additions
// per node instead of one per node pair. Every denominator sees the
// additions of a weight per node, so where each weight of a node is its row
// count, weights per feature give the bits of weights per node. `out` may be
// `codebook` only when [begin, end) covers every node.
void apply_neighbourhood(const MapShape &shape, const MapNeighbourhood &hood,
                         const NodeTotals &totals, const float *codebook,
                         float *out, std::uint32_t begin, std::uint32_t end,
                         int threads);
// Every node against every node, one weight at a time (the gaussian's
// grouped by rows as above): the oracle.
void apply_neighbourhood_ref(const MapShape &shape,
                             const MapNeighbourhood &hood,
                             const NodeTotals &totals, const float *codebook,
                             float *out);

// Whether nodes a and b are neighbours: distinct, at grid distance 1.5 or
// less (8 around an inner node of a rectangular grid, 6 of a hexagonal one).
bool are_neighbours(const MapShape &shape, std::uint32_t a, std::uint32_t b);

// For every node, the mean Euclidean distance (in double) from its vector to
// those of its neighbours, each neighbour counted once; 0 for a node without
// neighbours. Written as rows x columns floats.
void map_umatrix(const MapShape &shape, const float *codebook, float *out,
                 int threads);

// ---------------------------------------------------------------------------
// Missing values (engine/src/map_missing.cpp, their sums and neighbourhood in
// map_sums.cpp). In these entry points a NaN in the data marks a missing
// value; everything else is as above. They are kernels of their own: the
// ones above never look for NaN.
//
// A row observes the features whose value is not NaN (in CSR rows, every
// absent component is an observed zero; only a stored NaN is missing). A row
// that observes no feature, or misses more than `most_missing` of them, has
// no BMU: node -1, distance NaN, runner-up -1 at NaN, and it adds nothing to
// any sum. For the other rows the squared distance to a node is the float sum
// over the observed features in increasing order from 0.0 of (c - x)^2 (a
// separate multiply and add), times q = (float)dimension / (float)observed,
// one float division and one float multiplication; the BMU and runner-up
// follow the scan of find_bmus_ref on those scaled distances. A complete row
// has q = 1 exactly: its results are the bits of find_bmus.

// The most missing values a row of `dimension` features may have under the
// fraction `max_missing`: the largest m <= dimension with
// (double)m / (double)dimension <= max_missing, the quotient rounded once in
// double (a row is left out when its missing fraction is strictly above
// max_missing). 0 for a dimension of 0 or a NaN fraction.
std::uint32_t missing_limit(double max_missing, std::uint32_t dimension);

void find_bmus_missing(const MapShape &shape, const float *codebook,
                       DenseRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads);
void find_bmus_missing(const MapShape &shape, const float *codebook,
                       CsrRows data, std::uint32_t most_missing,
                       const BmuResults &results, int threads);
// One row at a time against every node: the oracle of the two above.
void find_bmus_missing_ref(const MapShape &shape, const float *codebook,
                           DenseRows data, std::uint32_t most_missing,
                           const BmuResults &results);

// The scaled squared distance of every row to every node, node_count per
// row; a row without a BMU gets NaN throughout.
void node_distances_missing(const MapShape &shape, const float *codebook,
                            DenseRows data, std::uint32_t most_missing,
                            float *out, int threads);
void node_distances_missing(const MapShape &shape, const float *codebook,
                            CsrRows data, std::uint32_t most_missing,
                            float *out, int threads);

// The sums of NodeSums with a weight per node and feature: an observed
// feature f of a row with a BMU adds its fixed-point value to the node's
// sums[f] and 1 to its observed[f]; a missing one adds nothing. counts gets
// 1 per row with a BMU (so the rows that have one are the sum of counts) and
// error_sum the fixed-point Euclidean distance (the square root of the
// scaled squared distance), as in accumulate. The caller owns and zeroes
// the arrays once; any split of the rows gives the same sums. The
// neighbourhood takes observed as its weights per feature
// (NodeTotals::per_feature).
void accumulate_missing(const MapShape &shape, const float *codebook,
                        DenseRows data, std::uint32_t most_missing,
                        const NodeSums &sums, std::int32_t *bmus,
                        int threads);
void accumulate_missing(const MapShape &shape, const float *codebook,
                        CsrRows data, std::uint32_t most_missing,
                        const NodeSums &sums, std::int32_t *bmus,
                        int threads);

} // namespace quorvel

#endif
