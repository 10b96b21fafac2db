// Pieces shared by the dense and the sparse epoch kernels.
#ifndef QUORVEL_KERNEL_SUPPORT_H
#define QUORVEL_KERNEL_SUPPORT_H

#include "kernels.h"
#include "quorvel/geometry.h"

#include <omp.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace quorvel {
namespace detail {

// What phase 2 needs to weigh one vector for one node.
struct Neighbourhood {
    Geometry geometry;
    std::uint32_t columns;
    std::uint32_t rows;
    float radius;
    float scale;
    bool cutoff;
    bool use_gaussian;
};

inline Neighbourhood neighbourhood_of(const EpochSettings &settings) {
    return {select_geometry(settings.map_type, settings.grid_type),
            settings.columns,
            settings.rows,
            settings.radius,
            settings.scale,
            settings.cutoff,
            settings.use_gaussian};
}

// The row pointers of `count` sparse rows stored one after the other in
// sparse.entries, each closed by index -1; taken only once the entries no
// longer move.
inline void point_rows(SparseRows &sparse, std::size_t count) {
    sparse.rows.reserve(count);
    const SparseEntry *entry = sparse.entries.data();
    for (std::size_t n = 0; n < count; ++n) {
        sparse.rows.push_back(entry);
        while (entry->index != -1)
            ++entry;
        ++entry;
    }
}

// The weight of vector n for node (x, y), through the BMU that phase 1 wrote
// (stored as int32, read as unsigned coordinates).
inline float vector_weight(const Neighbourhood &hood, const std::int32_t *bmus,
                           std::uint32_t x, std::uint32_t y, std::size_t n) {
    const auto bmu_x = static_cast<std::uint32_t>(bmus[2 * n]);
    const auto bmu_y = static_cast<std::uint32_t>(bmus[2 * n + 1]);
    const float distance = grid_distance(hood.geometry, x, y, bmu_x, bmu_y,
                                         hood.columns, hood.rows);
    return neighbourhood_weight(distance, hood.radius, hood.scale, hood.cutoff,
                                hood.use_gaussian);
}

// The batch rule: a component takes its weighted mean only when that mean
// is above zero; zero, negative and NaN quotients (0/0 for a node that no
// vector reaches) keep the previous value.
inline void store_positive_quotients(float *node, const float *numerator,
                                     float denominator,
                                     std::uint32_t dimension) {
    for (std::uint32_t i = 0; i < dimension; ++i) {
        const float quotient = numerator[i] / denominator;
        if (quotient > 0.0f)
            node[i] = quotient;
    }
}

// Phase 2 scratch: one numerator of `dimension` floats per thread of the
// team. Allocated by the calling thread before the parallel region, so an
// allocation failure is an ordinary std::bad_alloc outside it.
struct Numerators {
    int threads;
    std::uint32_t dimension;
    std::vector<float> storage;

    explicit Numerators(std::uint32_t dimension_)
        : threads(omp_get_max_threads()), dimension(dimension_),
          storage(static_cast<std::size_t>(threads) * dimension_) {}

    float *of_this_thread() {
        return storage.data() +
               static_cast<std::size_t>(omp_get_thread_num()) * dimension;
    }
};

// Runs update(node, x, y, numerator) for every node, map rows divided among
// the threads in contiguous blocks. Each node is written by the one thread
// that owns its row, so no location is shared.
template <class UpdateNode>
void update_nodes(float *codebook, std::uint32_t columns, std::uint32_t rows,
                  std::uint32_t dimension, UpdateNode update) {
    Numerators numerators(dimension);
    const std::int64_t row_count = rows;
#pragma omp parallel num_threads(numerators.threads) default(none)            \
    shared(numerators, update, codebook, columns, dimension, row_count)
    {
        float *numerator = numerators.of_this_thread();
#pragma omp for schedule(static)
        for (std::int64_t y = 0; y < row_count; ++y) {
            for (std::uint32_t x = 0; x < columns; ++x) {
                const std::size_t node =
                    static_cast<std::size_t>(y) * columns + x;
                update(codebook + node * dimension, x,
                       static_cast<std::uint32_t>(y), numerator);
            }
        }
    }
}

// The reference BMU search over distance(y, x): nodes rows outer, columns
// inner; node (0, 0) sets the best and a later node replaces it only when
// strictly nearer, so ties go to the first node in row-major order, a NaN
// distance never wins and a NaN best is never replaced. Writes column, then
// row.
template <class Distance>
void scan_for_bmu(std::uint32_t rows, std::uint32_t columns, std::int32_t *out,
                  Distance distance) {
    float best = distance(0, 0);
    std::uint32_t best_x = 0;
    std::uint32_t best_y = 0;
    for (std::uint32_t y = 0; y < rows; ++y) {
        for (std::uint32_t x = y == 0 ? 1 : 0; x < columns; ++x) {
            const float candidate = distance(y, x);
            if (candidate < best) {
                best = candidate;
                best_x = x;
                best_y = y;
            }
        }
    }
    out[0] = static_cast<std::int32_t>(best_x);
    out[1] = static_cast<std::int32_t>(best_y);
}

// Every vector's BMU by scan_for_bmu over distance(y, x, n), the squared
// distance of vector n to node (x, y), into bmus (column, then row); the
// vectors divided among the threads in contiguous blocks, each writing only
// its own vector's pair.
template <class Distance>
void find_bmus_ref(std::uint32_t vector_count, std::uint32_t rows,
                   std::uint32_t columns, std::int32_t *bmus, int threads,
                   Distance distance) {
    const std::int64_t count = vector_count;
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(distance, count, rows, columns, bmus)
    for (std::int64_t index = 0; index < count; ++index) {
        const auto n = static_cast<std::uint32_t>(index);
        scan_for_bmu(rows, columns, bmus + 2 * static_cast<std::size_t>(n),
                     [&](std::uint32_t y, std::uint32_t x) {
                         return distance(y, x, n);
                     });
    }
}

// The reference epoch over the vectors `data`: the BMUs of find_bmus_ref
// by distance(codebook, data, y, x, columns, dimension, n), then, unless
// bmu_only, update(node, x, y, numerator, hood) for every node. Without
// nodes there is no BMU to report and nothing to update; without vectors
// no node has weight and the codebook keeps its values (the dense update,
// which starts from the first vector, is not run).
template <class Data, class UpdateNode>
void epoch_ref(Data data,
               float (*distance)(const float *, Data, std::uint32_t,
                                 std::uint32_t, std::uint32_t, std::uint32_t,
                                 std::uint32_t),
               float *codebook, std::int32_t *bmus,
               const EpochSettings &settings, UpdateNode update) {
    const std::uint32_t columns = settings.columns, rows = settings.rows;
    if (columns == 0 || rows == 0)
        return;
    find_bmus_ref(settings.vector_count, rows, columns, bmus,
                  omp_get_max_threads(),
                  [&](std::uint32_t y, std::uint32_t x, std::uint32_t n) {
                      return distance(codebook, data, y, x, columns,
                                      settings.dimension, n);
                  });
    if (settings.bmu_only || settings.vector_count == 0)
        return;
    const Neighbourhood hood = neighbourhood_of(settings);
    update_nodes(codebook, columns, rows, settings.dimension,
                 [&](float *node, std::uint32_t x, std::uint32_t y,
                     float *numerator) { update(node, x, y, numerator, hood); });
}

// Floats on 64-byte boundaries, so that the vector loads of the fast kernels
// never straddle a cache line. Owned by the calling thread of a kernel, or
// by a prepared search, and released with its owner.
class AlignedFloats {
  public:
    explicit AlignedFloats(std::size_t count)
        : values_(static_cast<float *>(::operator new[](
              (count == 0 ? 1 : count) * sizeof(float),
              std::align_val_t(64)))) {}
    float *data() { return values_.get(); }
    const float *data() const { return values_.get(); }

  private:
    struct Release {
        void operator()(float *values) const {
            ::operator delete[](values, std::align_val_t(64));
        }
    };
    std::unique_ptr<float[], Release> values_;
};

// The fast BMU searches over all vectors, `threads` threads. The dense one
// fills the outputs set in `outputs` (its other fields are its own), or the
// squared distances to every node into all_distances when that is set.
class DenseSearch;
// The outputs set in `outputs` (their pointers only), from row `first` on.
DenseBmuJob outputs_from(const DenseBmuJob &outputs, std::size_t first);
void find_bmus_dense_fast(const Variant &variant, const float *data,
                          const float *codebook, std::uint32_t node_count,
                          std::uint32_t columns, std::uint32_t dimension,
                          std::uint32_t vector_count, DenseBmuJob outputs,
                          int threads, float *all_distances = nullptr);
// The sparse search of one codebook, prepared once for the calls of any
// number of sparse vectors: the codebook by component and in the dense
// kernels' transposed blocks, each node's norms, and the jump tables
// (SparseJumps), which the first call whose vectors make them pay makes.
// It reads the codebook through the pointer it was given, which must stay
// valid and unchanged; one call at a time. run writes column and row of
// each vector's BMU to bmus and, where set, the BMU's walked distance, and
// the runner-up's node index and distance (see DenseBmuJob).
class SparseSearch {
  public:
    SparseSearch(const Variant &variant, const float *codebook,
                 std::uint32_t columns, std::uint32_t rows,
                 std::uint32_t dimension, int threads);
    void run(const SparseRow *sparse_data, std::uint32_t vector_count,
             std::int32_t *bmus, int threads, std::int32_t *runner_ups = nullptr,
             float *runner_up_distances = nullptr, float *distances = nullptr);

  private:
    SparseBmuJob job() const;
    void make_tables(double largest_vector_norm, int threads);

    Variant variant_;
    const float *codebook_;
    std::uint32_t columns_, rows_, dimension_, node_count_;
    AlignedFloats by_component_;
    AlignedFloats transposed_;
    std::vector<double> norms_;
    std::vector<double> position_norms_;
    // Every component within the bounds of the screen.
    bool bounded_ = false;
    // The longest squared vector norm the tables were last made for
    // (empty where the norms gave no window), negative before any.
    double covered_ = -1.0;
    SparseJumps jumps_{};
    std::vector<std::uint32_t> units_;
    AlignedFloats starts_;
};

// One search of a codebook prepared for these vectors alone (SparseSearch).
void find_bmus_sparse_fast(const Variant &variant,
                           const SparseRow *sparse_data, const float *codebook,
                           std::uint32_t columns, std::uint32_t rows,
                           std::uint32_t dimension, std::uint32_t vector_count,
                           std::int32_t *bmus, int threads,
                           std::int32_t *runner_ups = nullptr,
                           float *runner_up_distances = nullptr,
                           float *distances = nullptr);

// The dense search of one codebook over the rows of one call, prepared
// once (the transposed codebook and, where the screen's bound holds for
// the codebook, its norms and one scratch per thread) and
// then run by thread `thread` of `threads` over any rows of `data` it
// owns, [first, first + count), writing the outputs set in `outputs` from
// their index 0 for row `first`.
// Every row is searched whole by one thread, so no result depends on how
// the rows are shared out.
class DenseSearch {
  public:
    DenseSearch(const Variant &variant, const float *data,
                const float *codebook, std::uint32_t node_count,
                std::uint32_t columns, std::uint32_t dimension, int threads,
                bool screen = true);
    void run(const DenseBmuJob &outputs, int thread, std::uint32_t first,
             std::uint32_t count) const;
    void distances(int thread, std::uint32_t begin, std::uint32_t end,
                   float *all_distances) const;

  private:
    DenseBmuJob job_for(const DenseBmuJob &outputs, int thread) const;

    const Variant &variant_;
    AlignedFloats transposed_;
    AlignedFloats norms_;
    AlignedFloats screens_;
    std::size_t scratch_;
    DenseBmuJob job_;
};

// The epoch's neighbourhood weights over grid offsets (see WeightTable),
// computed with the same geometry and weight functions as the reference
// kernels, so every weight has the bits that they compute per pair.
class WeightTableStorage {
  public:
    explicit WeightTableStorage(const Neighbourhood &hood);
    const WeightTable &table() const { return table_; }

  private:
    std::vector<float> weights_;
    std::vector<std::uint8_t> flags_;
    WeightTable table_;
};

// What phase 2 needs to know of the data to skip work without changing a
// bit. Only finite data allow skipping a zero weight (0 x inf and 0 x NaN are
// NaN). `settled` is the numerator magnitude above which a product with a
// tiny weight cannot change the numerator (see settled_magnitude), or
// infinity where no such bound is used.
struct DataSummary {
    bool finite;
    float settled;
};
DataSummary summarize(const float *values, std::size_t count);
DataSummary summarize(const SparseRow *rows, std::uint32_t row_count);

// The codebook in blocks of `lanes` nodes ([block][component][lane]), lanes
// past the last node filled with NaN.
void transpose_codebook(const float *codebook, std::uint32_t node_count,
                        std::uint32_t dimension, std::uint32_t lanes,
                        float *transposed);

// Whether every value is finite and below 2^40 in magnitude, so that the
// dense search's screen can bound its estimates (bit tests, so the loop
// vectorises).
inline bool screen_can_bound(const float *values, std::size_t count) {
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, values + i, sizeof bits);
        bits &= 0x7fffffffu;
        largest = bits > largest ? bits : largest;
    }
    return largest < 0x53800000u; // 2^40
}

// The fast kernels number nodes with 32-bit indices; larger maps take the
// reference kernels.
inline bool node_count_fits(std::uint32_t columns, std::uint32_t rows) {
    return static_cast<std::uint64_t>(columns) * rows <= 0xffffffffu;
}

// The team size of the kernels' parallel regions, and the contiguous share
// of `count` items that thread `thread` of `threads` takes, as a static
// schedule would hand them out.
inline void share_of(std::uint32_t count, int threads, int thread,
                     std::uint32_t &begin, std::uint32_t &end) {
    const std::uint64_t total = count;
    begin = static_cast<std::uint32_t>(total * thread / threads);
    end = static_cast<std::uint32_t>(total * (thread + 1) / threads);
}

// The fast epoch at one instruction-set level: search(variant) writes every
// vector's BMU, then, unless bmu_only, update(variant, table) recomputes the
// nodes with the epoch's weight table. Without nodes there is nothing to
// do, without vectors no node has weight; a map whose nodes the fast
// kernels cannot number goes to reference() instead.
template <class Reference, class Search, class Update>
void fast_epoch(SimdLevel level, const EpochSettings &settings,
                Reference reference, Search search, Update update) {
    if (settings.columns == 0 || settings.rows == 0)
        return;
    if (!node_count_fits(settings.columns, settings.rows)) {
        reference();
        return;
    }
    const Variant variant = variant_of(level);
    search(variant);
    if (settings.bmu_only || settings.vector_count == 0)
        return;
    const WeightTableStorage weights(neighbourhood_of(settings));
    update(variant, weights.table());
}

} // namespace detail
} // namespace quorvel

#endif
