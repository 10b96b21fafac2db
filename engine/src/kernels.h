// The private dispatch header of the fast kernels: what every instruction-set
// variant provides, the jobs handed to it, and the choice of variant. The
// variants live one per file (kernels_portable.cpp, kernels_avx2.cpp,
// kernels_avx512.cpp), each compiling the shared body of kernels_body.h with
// its own vector type. The OpenMP regions stay in the dispatching files:
// a variant only ever works on the range of work it is handed.
#ifndef QUORVEL_KERNELS_H
#define QUORVEL_KERNELS_H

#include "quorvel/epoch.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace quorvel {
namespace detail {

// The integer nearest to value (ties to even), for |value| < 2^63. Adding and
// removing 2^52 rounds a smaller magnitude to a whole number in the default
// rounding mode; from 2^52 up every double is whole already. Written out so
// that it vectorises, where a call of nearbyint would not.
inline std::int64_t nearest_integer(double value) {
    if (std::fabs(value) < 0x1p52) {
        const double shift = value < 0.0 ? -0x1p52 : 0x1p52;
        value = (value + shift) - shift;
    }
    return static_cast<std::int64_t>(value);
}

enum class SimdLevel {
    portable, // GCC vector extensions: SSE2 on x86-64, whatever elsewhere
    avx2,
    avx512,
};

// The best variant that is both built and supported by this CPU; detected
// once per process.
SimdLevel detected_simd_level();
// Whether a variant is built and this CPU can run it.
bool simd_level_available(SimdLevel level);
const char *simd_level_name(SimdLevel level);

// Phase 1, dense: the codebook transposed into blocks of `lanes` nodes, each
// block holding component 0 of its nodes, then component 1, and so on
// ([block][component][lane]). Lanes past the last node hold NaN, whose
// distance never wins a strict comparison.
//
// Results go to whichever outputs are set: `bmus` takes column and row of
// each vector's BMU, `nodes` its node index, `distances` its squared
// distance; `runner_ups` and `runner_up_distances` the runner-up under the same
// scan (the first node strictly nearer than every later one but the BMU, so
// ties go to the lower index; a map of one node has none: -1 and +inf).
struct DenseBmuJob {
    const float *transposed;
    const float *data;
    std::uint32_t node_count;
    std::uint32_t columns;
    std::uint32_t dimension;
    std::int32_t *bmus;
    std::int32_t *nodes = nullptr;
    float *distances = nullptr;
    std::int32_t *runner_ups = nullptr;
    float *runner_up_distances = nullptr;
    // The screen of the search without runner-ups, set only where codebook
    // and data are finite and below 2^40 in magnitude (see
    // screened_bmus_of_vectors): the codebook node after node, every node's
    // squared norm rounded to float (padded to whole blocks), this thread's
    // scratch of bmu_vectors x padded nodes floats, and the bound's terms.
    const float *codebook = nullptr;
    const float *norms = nullptr;
    float *screen = nullptr;
    double screen_relative = 0.0;
    double screen_absolute = 0.0;
    double largest_norm = 0.0;
};

// Phase 1, sparse. The reference distance walks every component of every
// node; almost every node can be ruled out from a cheap estimate instead:
// the exact distance of node j is S_j = |c_j|^2 + |v|^2 - 2 c_j . v, taken
// here through the node's squared norm in double and a dot product over the
// vector's few stored values in float. The float walk s_j differs from S_j
// by at most relative_error * S_j + absolute_error (every term and every
// partial sum is non-negative, no overflow once all values are below 2^40
// in magnitude), and the estimate from S_j by at most
// estimate_error * (|c_j|^2 + |v|^2) for its double operations, plus the
// dot product's own bound for the vector's count of stored values. A node
// whose lower bound exceeds the least upper bound over all nodes is
// strictly farther than some other node and can never be the BMU, not even
// on a tie; the remaining candidates are measured with the reference's float
// walk, in row-major order, under its strict comparison. Used only when
// codebook and data are finite and bounded, so no distance is NaN or
// infinite.
// Jumps of the sparse walk over the components a vector does not store,
// for each block of the transposed codebook (see walk_jumping in
// kernels_body.h). Spans of jump_span components; boundary k is component
// k * jump_span, boundary `boundaries - 1` the end of the walk. `units` holds
// [block][binade][boundary][lane]: for the binade of biased exponent field
// lowest + binade, the sum from component 0 to the boundary of each of the
// node's squares in units of that binade's spacing, rounded to nearest,
// plus 2^23 for each span in which some square lies halfway, modulo 2^32;
// `starts` holds [block][boundary][lane]: the node's own walk of squares
// from 0 up to the boundary. `lowest` is chosen so that the rounded units of
// a whole node stay below 2^29 in every binade of the window.
struct SparseJumps {
    const std::uint32_t *units = nullptr;
    const float *starts = nullptr;
    std::uint32_t boundaries = 0;
    std::uint32_t binades = 0;
    std::uint32_t lowest = 0;
};
constexpr std::uint32_t jump_span = 16;
// Spans one jump crosses at most: with at most this many halfway marks of
// 2^23 besides units below 2^29, no difference of two sums wraps around.
constexpr std::uint32_t jump_limit = 255;
constexpr std::uint32_t most_jump_binades = 40;

struct SparseBmuJob {
    const SparseRow *sparse_data;
    const float *codebook;
    // The codebook by component: component k of node j at k * node_count + j,
    // followed by padding, so that a full vector load at any node stays
    // inside.
    const float *by_component;
    // The codebook in the dense kernels' transposed blocks (see DenseBmuJob),
    // which the walks of the candidates read.
    const float *transposed;
    // Squared norm of every node, in double.
    const double *norms;
    // Every node's squares weighted by position, sum of c_i^2 (d - i) in
    // double: the addition of term i and the d - i - 1 after it each round
    // it once more, which the walk's error bound counts term by term.
    const double *position_norms;
    std::uint32_t node_count;
    std::uint32_t columns;
    std::uint32_t dimension;
    // The walk's error bounds (see SparseSearch::job): per unit of the
    // squared distance for all its roundings; or per unit of it for the
    // roundings of each term and per unit of the position-weighted one for
    // those of the additions; and the underflows.
    double relative_error;
    double term_error;
    double addition_error;
    double absolute_error;
    double estimate_error;
    std::int32_t *bmus;
    // Where set, the runner-up's node index and its walked distance (as in
    // DenseBmuJob); its candidates are then the nodes whose lower bound does
    // not exceed the second least upper bound, since a node beyond it is
    // strictly farther than two others.
    std::int32_t *runner_ups = nullptr;
    float *runner_up_distances = nullptr;
    // Where set, the BMU's walked distance.
    float *distances = nullptr;
    // Where its units are set, the walks jump over unstored components.
    SparseJumps jumps{};
};

// The sparse search takes the vectors in groups of up to this many, so that
// a block of nodes that several of them must measure is read once for all.
constexpr std::uint32_t sparse_group = 1024;

// One thread's scratch for the sparse search: a bound and a dot product per
// node, a position-weighted dot product per candidate, and a candidate node
// and its walked distance per (vector, candidate) pair of a group, room for
// `pair_room` pairs (at least node_count).
struct SparseBmuScratch {
    double *estimates;
    float *dots;
    float *position_dots;
    std::uint32_t *pair_nodes;
    float *pair_sums;
    std::size_t pair_room;
};

// Neighbourhood weights of one epoch over grid offsets. For a node in row y
// and a BMU (bx, by), the weights of the nodes x = 0 ... columns - 1 of row y
// are row_of(|y - by|, min(y, by) & 1)[x + columns - 1 - bx]: the axis
// differences, the wrap-around and the hexagonal shift are baked into the
// table, so the kernels never look at the geometry. Every row is padded with
// zeros up to `stride` so a full vector load past the last column stays
// inside the table.
struct WeightTable {
    const float *weights;
    std::size_t stride;
    // Per table row: bit 0 set when some weight is not zero (NaN counts as
    // not zero), bit 1 set when some weight is tiny (see below).
    const std::uint8_t *row_flags;
    std::uint32_t columns;
};

enum : std::uint8_t { row_has_weight = 1, row_has_tiny_weight = 2 };

// A weight whose magnitude is below 2^-100 (and not zero) is tiny: its
// products with ordinary data can be subnormal, which costs dozens of cycles
// per float multiply. Those products are taken in double and rounded once to
// float: the exact product of two floats fits in a double, so the single
// rounding gives the same bits as the float multiply.
constexpr float tiny_weight = 0x1p-100f;

inline std::size_t table_row(std::uint32_t y, std::uint32_t bmu_y) {
    const std::uint32_t dy = y > bmu_y ? y - bmu_y : bmu_y - y;
    const std::uint32_t lower = y < bmu_y ? y : bmu_y;
    return 2 * static_cast<std::size_t>(dy) + (lower & 1u);
}

// Phase 2, over dense vectors (`const float *`, vector after vector) or
// sparse rows (`const SparseRow *`).
//
// `skip_zero_weights` may be set only when every data value is finite: a
// zero weight then adds +-0 to a numerator and +-0 to the denominator, which
// can change at most the sign of a zero sum. A zero numerator gives a
// quotient of +-0 or NaN and is never stored, and a zero denominator means
// every weight was zero (the weights of a node share the sign of the scale),
// so its node is not written either way.
//
// The sparse update also takes the calling thread's scratch of
// dimension x lanes floats ([component][lane]) for its numerators.
template <class Vectors> struct UpdateJob {
    Vectors vectors;
    float *codebook;
    const std::int32_t *bmus;
    std::uint32_t columns;
    std::uint32_t dimension;
    std::uint32_t vector_count;
    WeightTable table;
    bool skip_zero_weights;
    // A numerator lane whose magnitude exceeds this stays above it and is
    // changed by no product with a tiny weight, so those products may be
    // skipped; infinity when the data give no such bound.
    float settled;
};
using DenseUpdateJob = UpdateJob<const float *>;
using SparseUpdateJob = UpdateJob<const SparseRow *>;

// Each variant: the lane count of its transposed codebook, the BMUs of
// vectors [begin, end), and the update of every node of one map row.
#define QUORVEL_DECLARE_VARIANT(isa)                                           \
    namespace isa {                                                            \
    std::uint32_t lanes();                                                     \
    std::uint32_t bmu_vectors();                                               \
    void find_bmus_dense(const DenseBmuJob &job, std::uint32_t begin,          \
                         std::uint32_t end);                                   \
    void distances_dense(const DenseBmuJob &job, std::uint32_t begin,          \
                         std::uint32_t end, float *out);                       \
    void update_dense_row(const DenseUpdateJob &job, std::uint32_t y);         \
    void find_bmus_sparse(const SparseBmuJob &job, std::uint32_t begin,        \
                          std::uint32_t end, const SparseBmuScratch &scratch); \
    void update_sparse_row(const SparseUpdateJob &job, std::uint32_t y,        \
                           float *numerator);                                  \
    void prepare_sparse_jumps(const SparseBmuJob &job, std::uint32_t block,    \
                              std::uint32_t *units, float *starts);            \
    void add_fixed_row(const float *row, const double *scales,                 \
                       std::int64_t *sums, std::uint32_t dimension);           \
    }

QUORVEL_DECLARE_VARIANT(portable)
#if defined(QUORVEL_X86_KERNELS)
QUORVEL_DECLARE_VARIANT(avx2)
QUORVEL_DECLARE_VARIANT(avx512)
#endif
#undef QUORVEL_DECLARE_VARIANT

// The entry points of one variant, chosen once per kernel call.
struct Variant {
    std::uint32_t (*lanes)();
    // Vectors searched together (the screen's scratch holds one estimate
    // per padded node for each).
    std::uint32_t (*bmu_vectors)();
    void (*find_bmus_dense)(const DenseBmuJob &, std::uint32_t,
                            std::uint32_t);
    // Squared distances of vectors [begin, end) to every node, node_count
    // per vector from out, each summed as the BMU search sums it.
    void (*distances_dense)(const DenseBmuJob &, std::uint32_t, std::uint32_t,
                            float *);
    void (*update_dense_row)(const DenseUpdateJob &, std::uint32_t);
    void (*find_bmus_sparse)(const SparseBmuJob &, std::uint32_t,
                             std::uint32_t, const SparseBmuScratch &);
    void (*update_sparse_row)(const SparseUpdateJob &, std::uint32_t, float *);
    // The jump tables of one block of nodes (see SparseJumps), written to
    // the whole tables' units and starts.
    void (*prepare_sparse_jumps)(const SparseBmuJob &, std::uint32_t,
                                 std::uint32_t *, float *);
    // sums[f] += nearest_integer(row[f] * scales[f]) for every component:
    // the fixed-point sums of accumulate.
    void (*add_fixed_row)(const float *, const double *, std::int64_t *,
                          std::uint32_t);
};

Variant variant_of(SimdLevel level);

// The epoch kernels and the U-matrix with an explicit variant, for tests
// that force each one; the public names call them with the detected level.
void dense_epoch_at(SimdLevel level, const float *data, float *codebook,
                    std::int32_t *bmus, const EpochSettings &settings);
void sparse_epoch_at(SimdLevel level, const SparseRow *sparse_data,
                     float *codebook, std::int32_t *bmus,
                     const EpochSettings &settings);

} // namespace detail
} // namespace quorvel

#endif
