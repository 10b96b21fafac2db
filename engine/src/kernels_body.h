// The body shared by every instruction-set variant of the fast kernels.
// Included once by each kernels_<isa>.cpp after it has defined, in its own
// namespace, a vector type `Vec` with:
//   reg, lanes, bmu_vectors, bmu_blocks, update_chunk,
//   zero(), load(p), store(p, a), set1(x), add(a, b), sub(a, b), mul(a, b),
//   less(a, b)       bit l set when a[l] < b[l] (false for NaN),
//   nonzero(a)       bit l set when a[l] != 0 (true for NaN),
//   tiny(a)          bit l set when 0 < |a[l]| < tiny_weight,
//   mul_in_double(a, x)  each a[l] * x taken in double, rounded to float,
//   above(a, t)      bit l set when |a[l]| > t[l] (false for NaN),
//   lanemask, make_mask(bits)  a lane mask for the two below,
//   keep_lanes(a, m) a[l] in the lanes of m, +0 in the others,
//   add_where(m, a, b)  a[l] + b[l] in the lanes of m, b[l] in the others.
//
// Every lane is its own sequential sum, in the order the reference kernels
// use, with a separate multiply and add: vectorising across independent
// outputs (nodes or components) changes no bit, while any reassociation
// inside one sum would. Everything here has internal linkage, so the copies
// compiled with different instruction sets never meet at link time.
#ifndef QUORVEL_KERNELS_BODY_H
#define QUORVEL_KERNELS_BODY_H

// Included inside namespace quorvel::detail::<isa>, after kernels.h and the
// standard headers it needs.

namespace {

constexpr int lanes_ = Vec::lanes;

// Calls call(std::integral_constant<int, M>) with M = min(count, N), N >= 1:
// the tails of the blocked loops, each with its own register blocking.
template <int N, class Call>
inline void with_at_most(std::uint32_t count, Call &&call) {
    if constexpr (N > 1) {
        if (count < static_cast<std::uint32_t>(N)) {
            with_at_most<N - 1>(count, call);
            return;
        }
    }
    call(std::integral_constant<int, N>());
}

// ---------------------------------------------------------------------------
// Phase 1, dense: a tile of R vectors against B consecutive node blocks.
// Each lane sums (c - x)^2 over the components in increasing order from 0.0,
// exactly as the reference distance does for its node.

template <int R, int B, bool Dot = false>
inline __attribute__((always_inline)) void
distance_tile(const float *block, std::size_t block_stride,
              const float *const *vectors, std::uint32_t dimension,
              float (*sums)[B][lanes_]) {
    typename Vec::reg acc[R][B];
    for (int r = 0; r < R; ++r)
        for (int b = 0; b < B; ++b)
            acc[r][b] = Vec::zero();
    for (std::uint32_t i = 0; i < dimension; ++i) {
        typename Vec::reg node[B];
        for (int b = 0; b < B; ++b)
            node[b] = Vec::load(block + b * block_stride +
                                static_cast<std::size_t>(i) * lanes_);
        for (int r = 0; r < R; ++r) {
            const typename Vec::reg x = Vec::set1(vectors[r][i]);
            for (int b = 0; b < B; ++b) {
                if constexpr (Dot) {
                    // The screen's dot products (any rounding within the
                    // bound will do; a fused multiply-add where there is one).
                    acc[r][b] = Vec::dot_step(acc[r][b], node[b], x);
                } else {
                    const typename Vec::reg t = Vec::sub(node[b], x);
                    acc[r][b] = Vec::add(acc[r][b], Vec::mul(t, t));
                }
            }
        }
    }
    for (int r = 0; r < R; ++r)
        for (int b = 0; b < B; ++b)
            Vec::store(sums[r][b], acc[r][b]);
}

// The running best of one vector, updated as the reference scan would: node 0
// sets it, a later node replaces it only when strictly nearer. A NaN best is
// never replaced (nothing is less than NaN) and a NaN distance never wins.
// With a runner-up, a node that does not beat the best replaces the
// runner-up when strictly nearer than it, and a new best hands its old value
// down, so the pair is what one sequential scan keeping two places finds.
struct Best {
    float distance;
    std::uint32_t node;
    float second_distance;
    std::uint32_t second;
};

constexpr std::uint32_t no_node = 0xffffffffu;

template <bool Second>
inline void scan_block(Best &best, const float *sums, std::uint32_t first_node,
                       std::uint32_t node_count) {
    std::uint32_t lane = 0;
    if (first_node == 0) {
        best.distance = sums[0];
        best.node = 0;
        best.second_distance = std::numeric_limits<float>::infinity();
        best.second = no_node;
        lane = 1;
    } else if (Vec::less(Vec::load(sums),
                         Vec::set1(Second ? best.second_distance
                                          : best.distance)) == 0) {
        // The common case: no lane beats the best (or the runner-up), so the
        // sequential scan would not change them either.
        if (!Second || best.second != no_node)
            return;
    }
    for (; lane < static_cast<std::uint32_t>(lanes_); ++lane) {
        const std::uint32_t node = first_node + lane;
        if (node >= node_count)
            break;
        if (sums[lane] < best.distance) {
            if constexpr (Second) {
                best.second_distance = best.distance;
                best.second = best.node;
            }
            best.distance = sums[lane];
            best.node = node;
        } else if constexpr (Second) {
            // The first node after the BMU takes the second place whatever
            // its distance, as node 0 takes the first.
            if (sums[lane] < best.second_distance || best.second == no_node) {
                best.second_distance = sums[lane];
                best.second = node;
            }
        }
    }
}

static_assert(Vec::update_chunk >= 2, "tails are handled by smaller chunks");

inline void write_best(const DenseBmuJob &job, std::size_t n,
                       const Best &best) {
    if (job.bmus != nullptr) {
        job.bmus[2 * n] = static_cast<std::int32_t>(best.node % job.columns);
        job.bmus[2 * n + 1] = static_cast<std::int32_t>(best.node / job.columns);
    }
    if (job.nodes != nullptr)
        job.nodes[n] = static_cast<std::int32_t>(best.node);
    if (job.distances != nullptr)
        job.distances[n] = best.distance;
    if (job.runner_ups != nullptr) {
        job.runner_ups[n] = best.second == no_node
                             ? -1
                             : static_cast<std::int32_t>(best.second);
        job.runner_up_distances[n] = best.second_distance;
    }
}

// Distance tiles over every node block for R vectors from `first`, in
// increasing block order (the reference's row-major order of nodes); each
// tile's sums go to visit(r, b, sums, first node of the block).
template <int R, bool Dot = false, class Visit>
inline void tiles_of_vectors(const DenseBmuJob &job, std::uint32_t first,
                             Visit &&visit) {
    constexpr int B = Vec::bmu_blocks;
    const std::uint32_t dimension = job.dimension;
    const std::size_t block_stride = static_cast<std::size_t>(dimension) * lanes_;
    const std::uint32_t block_count =
        (job.node_count + lanes_ - 1) / static_cast<std::uint32_t>(lanes_);
    const float *vectors[R];
    for (int r = 0; r < R; ++r)
        vectors[r] = job.data + static_cast<std::size_t>(first + r) * dimension;
    float sums[R][B][lanes_];
    float single[R][1][lanes_];
    std::uint32_t block = 0;
    for (; block + B <= block_count; block += B) {
        distance_tile<R, B, Dot>(job.transposed + block * block_stride,
                                 block_stride, vectors, dimension, sums);
        for (int r = 0; r < R; ++r)
            for (int b = 0; b < B; ++b)
                visit(r, sums[r][b], (block + b) * lanes_);
    }
    for (; block < block_count; ++block) {
        distance_tile<R, 1, Dot>(job.transposed + block * block_stride,
                                 block_stride, vectors, dimension, single);
        for (int r = 0; r < R; ++r)
            visit(r, single[r][0], block * lanes_);
    }
}

template <int R, bool Second>
inline void bmus_of_vectors(const DenseBmuJob &job, std::uint32_t first) {
    Best best[R];
    for (int r = 0; r < R; ++r)
        best[r] = Best{0.0f, 0, 0.0f, no_node};
    tiles_of_vectors<R>(job, first,
                        [&](int r, const float *sums, std::uint32_t node) {
                            scan_block<Second>(best[r], sums, node,
                                               job.node_count);
                        });
    for (int r = 0; r < R; ++r)
        write_best(job, first + static_cast<std::size_t>(r), best[r]);
}

// |x|^2 in double, in four interleaved sums: only the screen's bound reads
// it, and the bound's slack covers any order of these exact products' sums.
inline double squared_norm(const float *vector, std::uint32_t dimension) {
    double sums[4] = {0.0, 0.0, 0.0, 0.0};
    std::uint32_t i = 0;
    for (; i + 4 <= dimension; i += 4)
        for (std::uint32_t k = 0; k < 4; ++k)
            sums[k] += static_cast<double>(vector[i + k]) * vector[i + k];
    for (; i < dimension; ++i)
        sums[0] += static_cast<double>(vector[i]) * vector[i];
    return (sums[0] + sums[1]) + (sums[2] + sums[3]);
}

// The float after x, as std::nextafter(x, +inf) without the library call:
// a step of its bits; +inf (a limit with no second node) stays.
inline float next_up(float x) {
    std::uint32_t bits;
    std::memcpy(&bits, &x, sizeof bits);
    if ((bits & 0x7f800000u) == 0x7f800000u) // +-inf, NaN
        return x;
    if (bits == 0x80000000u) // -0
        bits = 0u;
    bits = (bits & 0x80000000u) ? bits - 1u : bits + 1u;
    std::memcpy(&x, &bits, sizeof x);
    return x;
}

// The second least of the multiset of both registers' lanes, where every
// lane of `second` is at least its lane of `least` (neither holds NaN).
inline float second_least(typename Vec::reg least, typename Vec::reg second) {
    float lanes_least[lanes_], lanes_second[lanes_];
    Vec::store(lanes_least, least);
    Vec::store(lanes_second, second);
    float smallest = std::numeric_limits<float>::infinity();
    float runner = smallest;
    for (int l = 0; l < lanes_; ++l) {
        for (const float value : {lanes_least[l], lanes_second[l]}) {
            if (value < smallest) {
                runner = smallest;
                smallest = value;
            } else if (value < runner) {
                runner = value;
            }
        }
    }
    return runner;
}

// The screened search. With S_j = |c_j|^2 + |x|^2 - 2 c_j . x the exact
// squared distance, the estimate e_j = fl(n_j - 2 fl(c_j . x)) (n_j the
// squared norm rounded to float, the dot product in float in any order)
// satisfies |e_j + |x|^2 - S_j| <= (g_d + 3.1 u + d 2^-52) (N + |x|^2) plus
// the underflow of 3 d + 1 operations, N the largest squared node norm and
// g_k = k u / (1 - k u), u = 2^-24; the reference's float walk s_j differs
// from S_j by at most g_(d+3) S_j <= 2 g_(d+3) (N + |x|^2) (all terms
// non-negative) plus d underflows. So with D the sum of both bounds, a node
// whose estimate exceeds the least estimate by more than 2 D is strictly
// farther in the walk than the node of the least estimate and is never the
// BMU; the others are walked exactly, in increasing order, under the
// reference's strict comparison (the first walked node takes the place
// that node 0 takes in the reference: every node left out is strictly
// farther than the BMU). With a runner-up, the limit is taken from the
// second least estimate instead: a node left out is then strictly farther
// than two others, so it holds neither place, and the reference's two-place
// scan over the walked nodes ends where its scan over all nodes does.
// Finite values below 2^40 keep every sum finite.
template <int R, bool Second>
inline void screened_bmus_of_vectors(const DenseBmuJob &job,
                                     std::uint32_t first) {
    const std::uint32_t nodes = job.node_count;
    const std::uint32_t dimension = job.dimension;
    const std::uint32_t blocks =
        (nodes + lanes_ - 1) / static_cast<std::uint32_t>(lanes_);
    const std::size_t stride = static_cast<std::size_t>(blocks) * lanes_;
    // Per lane the least estimate and, with a runner-up, the second least
    // (as a multiset). Lanes past the last node hold NaN (their codebook
    // padding), which min and max pass over as written (NaN in the first
    // operand gives the second) and which no limit admits.
    typename Vec::reg least[R], second[R];
    for (int r = 0; r < R; ++r) {
        least[r] = Vec::set1(std::numeric_limits<float>::infinity());
        second[r] = least[r];
    }
    tiles_of_vectors<R, true>(
        job, first, [&](int r, const float *dots, std::uint32_t node) {
            const typename Vec::reg dot = Vec::load(dots);
            const typename Vec::reg estimate =
                Vec::sub(Vec::load(job.norms + node), Vec::add(dot, dot));
            Vec::store(job.screen + r * stride + node, estimate);
            if constexpr (Second)
                second[r] = Vec::min(Vec::max(least[r], estimate), second[r]);
            least[r] = Vec::min(estimate, least[r]);
        });
    for (int r = 0; r < R; ++r) {
        const std::size_t n = first + static_cast<std::size_t>(r);
        const float *vector = job.data + n * dimension;
        const float *estimates = job.screen + r * stride;
        const double vector_norm = squared_norm(vector, dimension);
        const float reference = Second
                                    ? second_least(least[r], second[r])
                                    : Vec::reduce_min(least[r]);
        const double bound =
            job.screen_relative * (job.largest_norm + vector_norm) +
            job.screen_absolute;
        // e <= t exactly when e < the float after t (t rounded up first).
        const float limit = next_up(next_up(static_cast<float>(
            static_cast<double>(reference) + 2.0 * bound)));
        const typename Vec::reg limits = Vec::set1(limit);
        Best best{0.0f, no_node, std::numeric_limits<float>::infinity(),
                  no_node};
        for (std::uint32_t block = 0; block < blocks; ++block) {
            unsigned candidates =
                Vec::less(Vec::load(estimates + block * lanes_), limits);
            while (candidates != 0) {
                const auto lane =
                    static_cast<std::uint32_t>(__builtin_ctz(candidates));
                candidates &= candidates - 1;
                const std::uint32_t k = block * lanes_ + lane;
                const float *node =
                    job.codebook + static_cast<std::size_t>(k) * dimension;
                float sum = 0.0f;
                for (std::uint32_t i = 0; i < dimension; ++i) {
                    const float t = node[i] - vector[i];
                    sum = sum + t * t;
                }
                // The reference scan's places, over the candidates in node
                // order: the first walked node takes the first place.
                if (best.node == no_node) {
                    best.distance = sum;
                    best.node = k;
                } else if (sum < best.distance) {
                    best.second_distance = best.distance;
                    best.second = best.node;
                    best.distance = sum;
                    best.node = k;
                } else if (Second && (best.second == no_node ||
                                      sum < best.second_distance)) {
                    best.second_distance = sum;
                    best.second = k;
                }
            }
        }
        write_best(job, n, best);
    }
}

template <int R>
inline void distances_of_vectors(const DenseBmuJob &job, std::uint32_t first,
                                 float *out) {
    const std::uint32_t nodes = job.node_count;
    tiles_of_vectors<R>(
        job, first, [&](int r, const float *sums, std::uint32_t node) {
            float *row = out + (static_cast<std::size_t>(first) + r) * nodes;
            for (std::uint32_t lane = 0;
                 lane < static_cast<std::uint32_t>(lanes_) && node + lane < nodes;
                 ++lane)
                row[node + lane] = sums[lane];
        });
}

// ---------------------------------------------------------------------------
// Phase 2: one block of up to `lanes_` consecutive nodes of a map row, one
// lane per node, against every vector in increasing order. The weights of the
// block for vector n are one contiguous load from the epoch's weight table.

inline const float *weights_for(const WeightTable &table, std::uint32_t y,
                                const std::int32_t *bmu, std::uint32_t x0) {
    const auto bmu_x = static_cast<std::uint32_t>(bmu[0]);
    const auto bmu_y = static_cast<std::uint32_t>(bmu[1]);
    return table.weights + table_row(y, bmu_y) * table.stride +
           (table.columns - 1 - bmu_x) + x0;
}

// The lanes of a block that hold one of its `node_count` nodes.
struct BlockLanes {
    bool partial;
    typename Vec::lanemask nodes;

    explicit BlockLanes(std::uint32_t node_count)
        : partial(node_count < static_cast<std::uint32_t>(lanes_)),
          nodes(Vec::make_mask(partial ? (1u << node_count) - 1u : ~0u)) {}
};

// The weights of the block for vector n. False when the vector may be
// skipped: every weight zero while zero weights may be skipped. `tiny` has a
// bit set for each lane whose weight is tiny. Lanes past the block's last
// node read weights of other offsets; they are set to zero, so that they
// neither keep a vector from being skipped nor make products subnormal
// (their sums are never stored).
inline bool block_weights(const WeightTable &table, bool skip_zero_weights,
                          const std::int32_t *bmus, std::uint32_t n,
                          std::uint32_t y, std::uint32_t x0,
                          const BlockLanes &lanes, typename Vec::reg &h,
                          unsigned &tiny) {
    const std::int32_t *bmu = bmus + 2 * static_cast<std::size_t>(n);
    const std::uint8_t flags =
        table.row_flags[table_row(y, static_cast<std::uint32_t>(bmu[1]))];
    if (skip_zero_weights && !(flags & row_has_weight))
        return false;
    h = Vec::load(weights_for(table, y, bmu, x0));
    if (lanes.partial)
        h = Vec::keep_lanes(h, lanes.nodes);
    if (skip_zero_weights && Vec::nonzero(h) == 0)
        return false;
    tiny = (flags & row_has_tiny_weight) ? Vec::tiny(h) : 0u;
    return true;
}

// Writes quotients of K components of the block's nodes: a component takes
// N / D only when that quotient is above zero.
template <int K>
inline void store_quotients(float *codebook, std::size_t first_node,
                            std::uint32_t dimension, std::uint32_t component,
                            std::uint32_t node_count,
                            const float (*numerators)[lanes_],
                            const float *denominators) {
    for (std::uint32_t lane = 0; lane < node_count; ++lane) {
        float *node = codebook + (first_node + lane) * dimension + component;
        for (int k = 0; k < K; ++k) {
            const float quotient = numerators[k][lane] / denominators[lane];
            if (quotient > 0.0f)
                node[k] = quotient;
        }
    }
}

// Components [component, component + K) of the block. The first vector sets
// the accumulators (N = x * h, D = h), every later one adds in increasing n
// (N = x * h + N, D = D + h), the product rounded before the sum: the order
// of the reference kernel. The denominator is summed with the first chunk.
// Products with tiny weights are slow in float: once all K numerators of a
// lane are settled (see UpdateJob) they are skipped, which leaves the
// same bits as adding them; before that they are taken in double.
template <int K>
inline void update_dense_chunk(const DenseUpdateJob &job, std::uint32_t y,
                               std::uint32_t x0, std::uint32_t node_count,
                               std::uint32_t component,
                               float *denominators) {
    const WeightTable &table = job.table;
    const std::uint32_t dimension = job.dimension;
    const bool first_chunk = component == 0;
    typename Vec::reg acc[K];
    typename Vec::reg denominator;
    {
        const typename Vec::reg h =
            Vec::load(weights_for(table, y, job.bmus, x0));
        const float *x = job.vectors + component;
        for (int k = 0; k < K; ++k)
            acc[k] = Vec::mul_in_double(h, x[k]);
        denominator = h;
    }
    const typename Vec::reg settled_magnitude = Vec::set1(job.settled);
    const BlockLanes lanes(node_count);
    // Lanes whose numerators are all known to be settled; they stay so.
    unsigned settled = 0;
    for (std::uint32_t n = 1; n < job.vector_count; ++n) {
        typename Vec::reg h;
        unsigned tiny;
        if (!block_weights(table, job.skip_zero_weights, job.bmus, n, y, x0,
                           lanes, h, tiny))
            continue;
        if (first_chunk)
            denominator = Vec::add(denominator, h);
        const float *x = job.vectors + static_cast<std::size_t>(n) * dimension +
                         component;
        if (tiny == 0) {
            for (int k = 0; k < K; ++k)
                acc[k] = Vec::add(Vec::mul(Vec::set1(x[k]), h), acc[k]);
            continue;
        }
        if (tiny & ~settled) {
            settled = ~0u;
            for (int k = 0; k < K; ++k)
                settled &= Vec::above(acc[k], settled_magnitude);
        }
        if (tiny & ~settled) {
            for (int k = 0; k < K; ++k)
                acc[k] = Vec::add(Vec::mul_in_double(h, x[k]), acc[k]);
        } else {
            // Zero weights may be left out lane by lane, for the reason they
            // may be left out for a whole block: far from a BMU at a small
            // radius, every lane is tiny or zero and nothing is left to add.
            const unsigned kept =
                ~tiny & (job.skip_zero_weights ? Vec::nonzero(h) : ~0u);
            if (kept == 0)
                continue;
            const typename Vec::lanemask keep = Vec::make_mask(kept);
            const typename Vec::reg normal = Vec::keep_lanes(h, keep);
            for (int k = 0; k < K; ++k)
                acc[k] = Vec::add_where(keep, Vec::mul(Vec::set1(x[k]), normal),
                                        acc[k]);
        }
    }
    float numerators[K][lanes_];
    for (int k = 0; k < K; ++k)
        Vec::store(numerators[k], acc[k]);
    if (first_chunk)
        Vec::store(denominators, denominator);
    store_quotients<K>(job.codebook,
                       static_cast<std::size_t>(y) * job.columns + x0,
                       dimension, component, node_count, numerators,
                       denominators);
}


// ---------------------------------------------------------------------------
// Phase 2, sparse: as the dense block, but the accumulators start at 0.0 for
// every node and only stored components are added, so the block's numerators
// live in the thread's scratch ([component][lane]) rather than in registers.

inline void update_sparse_block(const SparseUpdateJob &job, std::uint32_t y,
                                std::uint32_t x0, std::uint32_t node_count,
                                float *numerator) {
    const WeightTable &table = job.table;
    const std::uint32_t dimension = job.dimension;
    for (std::size_t i = 0; i < static_cast<std::size_t>(dimension) * lanes_;
         i += lanes_)
        Vec::store(numerator + i, Vec::zero());
    typename Vec::reg denominator = Vec::zero();
    const typename Vec::reg settled_magnitude = Vec::set1(job.settled);
    const BlockLanes lanes(node_count);
    for (std::uint32_t n = 0; n < job.vector_count; ++n) {
        typename Vec::reg h;
        unsigned tiny;
        if (!block_weights(table, job.skip_zero_weights, job.bmus, n, y, x0,
                           lanes, h, tiny))
            continue;
        denominator = Vec::add(h, denominator);
        const SparseEntry *entry = job.vectors[n];
        if (tiny == 0) {
            for (; entry->index != -1; ++entry) {
                float *sum = numerator +
                             static_cast<std::size_t>(entry->index) * lanes_;
                Vec::store(sum, Vec::add(Vec::mul(Vec::set1(entry->value), h),
                                         Vec::load(sum)));
            }
            continue;
        }
        // Products with tiny weights: skipped in the lanes whose numerator
        // is settled (see UpdateJob), which leaves the same bits, and
        // taken in double otherwise.
        const typename Vec::lanemask keep = Vec::make_mask(~tiny);
        const typename Vec::reg normal = Vec::keep_lanes(h, keep);
        for (; entry->index != -1; ++entry) {
            float *sum =
                numerator + static_cast<std::size_t>(entry->index) * lanes_;
            const typename Vec::reg current = Vec::load(sum);
            if (tiny & ~Vec::above(current, settled_magnitude))
                Vec::store(sum, Vec::add(Vec::mul_in_double(h, entry->value),
                                         current));
            else
                Vec::store(sum,
                           Vec::add_where(keep,
                                          Vec::mul(Vec::set1(entry->value),
                                                   normal),
                                          current));
        }
    }
    float denominators[lanes_];
    Vec::store(denominators, denominator);
    float *codebook = job.codebook +
                      (static_cast<std::size_t>(y) * job.columns + x0) *
                          dimension;
    for (std::uint32_t lane = 0; lane < node_count; ++lane) {
        float *node = codebook + static_cast<std::size_t>(lane) * dimension;
        for (std::uint32_t i = 0; i < dimension; ++i) {
            const float quotient =
                numerator[static_cast<std::size_t>(i) * lanes_ + lane] /
                denominators[lane];
            if (quotient > 0.0f)
                node[i] = quotient;
        }
    }
}

// ---------------------------------------------------------------------------
// Phase 1, sparse: estimates, bounds, and the reference's walk for the few
// candidates left. The loops over nodes are plain element-wise loops, which
// the compiler vectorises for this file's instruction set without changing
// any lane's arithmetic.

// Writes the candidate nodes of vector n in increasing order and returns
// their count, at least one: the node of the least upper bound always
// remains. With `Second`, the nodes that may be BMU or runner-up: those
// whose lower bound does not exceed the second least upper bound (at least
// two nodes where the map has two). Where several remain, their bounds are
// taken again with the walk's position-weighted error (SparseBmuJob).
template <bool Second>
inline std::uint32_t sparse_candidates(const SparseBmuJob &job,
                                       const SparseBmuScratch &scratch,
                                       std::uint32_t *candidates,
                                       std::uint32_t n) {
    double *estimate = scratch.estimates;
    const std::uint32_t nodes = job.node_count;
    // S_j = |c_j|^2 + |v|^2 - 2 c_j . v, the dot product over the stored
    // components only, summed in float for twice the lanes of double: with
    // m stored values it errs by at most g_m sum |v c| with
    // g_m = m u / (1 - m u), plus 2^-149 per product that underflows, and
    // 2 sum |v c| <= |c_j|^2 + |v|^2.
    float *dot = scratch.dots;
    for (std::uint32_t j = 0; j < nodes; ++j)
        dot[j] = 0.0f;
    double vector_norm = 0.0;
    std::uint32_t stored = 0;
    for (const SparseEntry *entry = job.sparse_data[n]; entry->index != -1;
         ++entry) {
        const float v = entry->value;
        vector_norm += static_cast<double>(v) * v;
        ++stored;
        const float *component =
            job.by_component + static_cast<std::size_t>(entry->index) * nodes;
        for (std::uint32_t j = 0; j < nodes; ++j)
            dot[j] = dot[j] + v * component[j];
    }
    const double dot_unit = static_cast<double>(stored) * 0x1p-24;
    const double estimate_error =
        job.estimate_error + dot_unit / (1.0 - dot_unit) * 1.001;
    const double underflow = static_cast<double>(stored) * 0x1p-148;
    // Node j's estimate of S_j and its error, and the bound on its walk's
    // distance from S_j by S_j alone.
    struct Estimate {
        double value, error, walk;
    };
    auto estimate_of = [&](std::uint32_t j) {
        const double norms = job.norms[j] + vector_norm;
        const double value = norms - 2.0 * static_cast<double>(dot[j]);
        const double error = estimate_error * norms + underflow;
        return Estimate{value, error + job.absolute_error,
                        job.relative_error * (value + error)};
    };
    // Takes a node's upper bound into the least (with `Second`, the two
    // least) of a set of them.
    auto take = [](double upper, double &least, double &second) {
        if constexpr (Second) {
            const double larger = upper < least ? least : upper;
            second = larger < second ? larger : second;
        }
        least = upper < least ? upper : least;
    };
    // Over all nodes, each node's lower bound. The least of a set of finite
    // numbers does not depend on the order it is taken in, so eight running
    // minima take turns, which the compiler keeps in vector lanes instead of
    // one chain of dependent comparisons.
    constexpr std::uint32_t ways = 8;
    double least[ways];
    double second[ways];
    for (std::uint32_t w = 0; w < ways; ++w) {
        least[w] = std::numeric_limits<double>::infinity();
        second[w] = std::numeric_limits<double>::infinity();
    }
    auto bound = [&](std::uint32_t j, std::uint32_t w) {
        const Estimate e = estimate_of(j);
        take(e.value + e.error + e.walk, least[w], second[w]);
        estimate[j] = e.value - e.error - e.walk;
    };
    std::uint32_t j = 0;
    for (; j + ways <= nodes; j += ways)
        for (std::uint32_t w = 0; w < ways; ++w)
            bound(j + w, w);
    for (; j < nodes; ++j)
        bound(j, 0);
    double least_upper = least[0];
    double second_upper = second[0];
    for (std::uint32_t w = 1; w < ways; ++w) {
        // The two least of the union of every way's two least.
        const double larger = least[w] < least_upper ? least_upper : least[w];
        second_upper = larger < second_upper ? larger : second_upper;
        second_upper = second[w] < second_upper ? second[w] : second_upper;
        least_upper = least[w] < least_upper ? least[w] : least_upper;
    }
    if constexpr (Second)
        least_upper = second_upper;
    // Candidates: nodes whose lower bound does not exceed it; most vectors
    // have one, found without writing every node's index.
    std::uint32_t count = 0;
    for (std::uint32_t k = 0; k < nodes; ++k)
        count += estimate[k] <= least_upper;
    if (count == 1) {
        std::uint32_t k = 0;
        while (!(estimate[k] <= least_upper))
            ++k;
        candidates[0] = k;
        return 1;
    }
    count = 0;
    for (std::uint32_t k = 0; k < nodes; ++k) {
        candidates[count] = k;
        count += estimate[k] <= least_upper;
    }
    // The candidates' bounds again, each walk's error the lesser of that by
    // S_j and that by the position-weighted W_j = sum (c_i - v_i)^2 (d - i)
    // (SparseBmuJob), estimated as S_j is, its weighted values v_i (d - i)
    // rounded once more. A node left out has a lower bound above the least
    // upper bounds, which lie among the candidates, and no bound loosens:
    // the least upper bounds of all nodes are the candidates' new ones.
    float *position_dot = scratch.position_dots;
    for (std::uint32_t c = 0; c < count; ++c)
        position_dot[c] = 0.0f;
    double vector_position_norm = 0.0;
    for (const SparseEntry *entry = job.sparse_data[n]; entry->index != -1;
         ++entry) {
        const float weight = static_cast<float>(
            job.dimension - static_cast<std::uint32_t>(entry->index));
        const float weighted = entry->value * weight;
        vector_position_norm +=
            static_cast<double>(entry->value) * entry->value * weight;
        const float *component =
            job.by_component + static_cast<std::size_t>(entry->index) * nodes;
        for (std::uint32_t c = 0; c < count; ++c)
            position_dot[c] = position_dot[c] + weighted * component[candidates[c]];
    }
    const double position_unit = static_cast<double>(stored + 2) * 0x1p-24;
    const double position_error =
        job.estimate_error + position_unit / (1.0 - position_unit) * 1.001;
    double refined = std::numeric_limits<double>::infinity();
    double refined_second = std::numeric_limits<double>::infinity();
    for (std::uint32_t c = 0; c < count; ++c) {
        const std::uint32_t k = candidates[c];
        const Estimate e = estimate_of(k);
        const double norms = job.position_norms[k] + vector_position_norm;
        const double position_estimate =
            norms - 2.0 * static_cast<double>(position_dot[c]);
        const double weighted = (position_estimate > 0.0 ? position_estimate : 0.0) +
                                position_error * norms + underflow;
        const double by_position =
            job.term_error * (e.value + e.error) + job.addition_error * weighted;
        const double error = e.error + (by_position < e.walk ? by_position : e.walk);
        take(e.value + error, refined, refined_second);
        estimate[k] = e.value - error;
    }
    const double refined_upper = Second ? refined_second : refined;
    std::uint32_t kept = 0;
    for (std::uint32_t c = 0; c < count; ++c) {
        candidates[kept] = candidates[c];
        kept += estimate[candidates[c]] <= refined_upper;
    }
    return kept;
}

// The reference's sparse walk for R vectors against one block of lanes_
// consecutive nodes, read from the transposed codebook (the block's
// components one after another, each one contiguous load, so that a walk
// streams through memory): each lane its own sequential sum
// over the components in increasing order, s = s + t * t. At a component a
// vector does not store, t is the node's component itself, so t * t is the
// same product for every vector: it is taken once and added to all R sums,
// and only at stored components does a vector take its own t = c - v. Lanes
// past the last node read padding or other components; their sums are never
// used. Each sum is written to the pairs of its vector whose nodes lie in the
// block.
template <int R>
inline void walk_block(const SparseBmuJob &job, const SparseBmuScratch &scratch,
                       std::uint32_t block, const std::uint32_t *vectors,
                       const std::uint32_t *pair_begin,
                       const std::uint32_t *pair_end) {
    const SparseEntry *entry[R];
    typename Vec::reg sum[R];
    for (int r = 0; r < R; ++r) {
        entry[r] = job.sparse_data[vectors[r]];
        sum[r] = Vec::zero();
    }
    const std::uint32_t dimension = job.dimension;
    const float *component =
        job.transposed + static_cast<std::size_t>(block) * lanes_ * dimension;
    constexpr std::size_t stride = lanes_;
    // The next stored index of each vector; the dimension once it has none.
    auto next_of = [&](int r) {
        return entry[r]->index == -1
                   ? dimension
                   : static_cast<std::uint32_t>(entry[r]->index);
    };
    std::uint32_t i = 0;
    while (i < dimension) {
        std::uint32_t next = dimension;
        for (int r = 0; r < R; ++r) {
            const std::uint32_t index = next_of(r);
            next = index < next ? index : next;
        }
        for (; i < next; ++i) {
            const typename Vec::reg c = Vec::load(component + i * stride);
            const typename Vec::reg square = Vec::mul(c, c);
            for (int r = 0; r < R; ++r)
                sum[r] = Vec::add(sum[r], square);
        }
        if (i == dimension)
            break;
        // Component i is stored by at least one vector.
        const typename Vec::reg c = Vec::load(component + i * stride);
        const typename Vec::reg square = Vec::mul(c, c);
        for (int r = 0; r < R; ++r) {
            if (next_of(r) == i) {
                const typename Vec::reg t =
                    Vec::sub(c, Vec::set1(entry[r]->value));
                sum[r] = Vec::add(sum[r], Vec::mul(t, t));
                ++entry[r];
            } else {
                sum[r] = Vec::add(sum[r], square);
            }
        }
        ++i;
    }
    const std::uint32_t first_node = block * lanes_;
    for (int r = 0; r < R; ++r) {
        float sums[lanes_];
        Vec::store(sums, sum[r]);
        for (std::uint32_t p = pair_begin[r]; p < pair_end[r]; ++p)
            scratch.pair_sums[p] = sums[scratch.pair_nodes[p] - first_node];
    }
}

// ---------------------------------------------------------------------------
// Jumps over the components a vector does not store, where the walk adds
// the node's own square t = c * c. While a lane's sum s stays in one binade
// [2^e, 2^(e+1)), whose floats are the multiples of u = 2^(e-23), the float
// sum s + t is the multiple of u nearest to the exact one, s + u rne(t / u),
// unless t / u lies halfway between two integers: across a stretch in which
// the sum stays in its binade the walk adds the integers rne(t / u), which
// depend on the node alone, to the integer s / u, which is the float's bit
// pattern less its exponent. The tables (SparseJumps) hold their sums per
// span; a stretch of spans is crossed by one integer add to the bits where,
// in every lane, no span is marked halfway (each mark adds 2^23) and the
// bits keep their exponent, which makes every step in between stay in the
// binade, the terms being non-negative. Any other stretch is walked term by
// term, so every sum has the reference walk's bits.

// The bits of the squares of one component of a block: t = m 2^(f - 150),
// with m its significand (the implicit bit included) and f its biased
// exponent field (1 for subnormals and zero).
inline void square_parts(const float *component, float *squares,
                         std::uint32_t *significand, std::int32_t *field) {
    for (int lane = 0; lane < lanes_; ++lane) {
        squares[lane] = component[lane] * component[lane];
        std::uint32_t bits;
        std::memcpy(&bits, &squares[lane], sizeof bits);
        const std::uint32_t raw = bits >> 23;
        significand[lane] = (bits & 0x7fffffu) | (raw != 0 ? 0x800000u : 0u);
        field[lane] = raw != 0 ? static_cast<std::int32_t>(raw) : 1;
    }
}

// 1 for the lanes of a block that hold a node, 0 for its padding.
inline std::uint32_t holds_node(int lane, std::uint32_t valid) {
    return static_cast<std::uint32_t>(static_cast<std::uint32_t>(lane) < valid);
}

// Moves each lane's sum bits by its table step over [at_from, at_to) in the
// row of binade_of(its exponent); the lanes below `valid` that may not jump
// (outside the window, a halfway mark, or a change of exponent), nonzero
// where there are some.
template <class BinadeOf>
inline std::uint32_t step_lanes(const SparseJumps &jumps,
                                const std::uint32_t *at_from,
                                const std::uint32_t *at_to,
                                std::uint32_t valid, std::uint32_t *bits,
                                BinadeOf binade_of) {
    const std::size_t plane = static_cast<std::size_t>(jumps.boundaries) * lanes_;
    std::uint32_t refused = 0;
    for (int lane = 0; lane < lanes_; ++lane) {
        const std::uint32_t exponent = bits[lane] >> 23;
        // Below the window the difference wraps to a large binade; a lane
        // outside reads the lowest row and is refused.
        const std::uint32_t binade = binade_of(exponent);
        const std::uint32_t outside = binade >= jumps.binades;
        const std::size_t row = outside != 0 ? 0 : binade * plane;
        const std::uint32_t step = at_to[row + lane] - at_from[row + lane];
        const std::uint32_t moved = bits[lane] + step;
        const std::uint32_t misfit =
            outside | static_cast<std::uint32_t>(step >= 0x800000u) |
            static_cast<std::uint32_t>((moved >> 23) != exponent);
        refused |= misfit & holds_node(lane, valid);
        bits[lane] = moved;
    }
    return refused;
}

// Crosses the spans [from, to) of one block in the lanes' sums by their bits;
// false, changing nothing, where some lane below `valid` may not jump. Each
// lane reads the table row of its own sum's binade: the nodes of a block
// need not be alike, and their sums climb through the binades apart. Where
// every lane lies in lane 0's binade, one row serves all, in a loop the
// compiler vectorises.
inline bool jump_spans(const SparseJumps &jumps, const std::uint32_t *units,
                       std::uint32_t valid, std::uint32_t from,
                       std::uint32_t to, typename Vec::reg &sum) {
    alignas(64) float sums[lanes_];
    Vec::store(sums, sum);
    std::uint32_t bits[lanes_];
    std::memcpy(bits, sums, sizeof bits);
    const std::uint32_t *at_from = units + static_cast<std::size_t>(from) * lanes_;
    const std::uint32_t *at_to = units + static_cast<std::size_t>(to) * lanes_;
    const std::uint32_t first = bits[0] >> 23;
    std::uint32_t apart = 0;
    for (int lane = 0; lane < lanes_; ++lane)
        apart |= static_cast<std::uint32_t>((bits[lane] >> 23) != first) &
                 holds_node(lane, valid);
    const std::uint32_t shared = first - jumps.lowest;
    const std::uint32_t refused =
        apart == 0
            ? step_lanes(jumps, at_from, at_to, valid, bits,
                         [shared](std::uint32_t) { return shared; })
            : step_lanes(jumps, at_from, at_to, valid, bits,
                         [&jumps](std::uint32_t exponent) {
                             return exponent - jumps.lowest;
                         });
    if (refused != 0)
        return false;
    std::memcpy(sums, bits, sizeof bits);
    sum = Vec::load(sums);
    return true;
}

// Whether the sum of some lane below `valid` lies below the binades of the
// tables.
inline bool below_window(const SparseJumps &jumps, std::uint32_t valid,
                         typename Vec::reg sum) {
    alignas(64) float sums[lanes_];
    Vec::store(sums, sum);
    std::uint32_t bits[lanes_];
    std::memcpy(bits, sums, sizeof bits);
    std::uint32_t below = 0;
    for (int lane = 0; lane < lanes_; ++lane)
        below |= static_cast<std::uint32_t>((bits[lane] >> 23) < jumps.lowest) &
                 holds_node(lane, valid);
    return below != 0;
}

// Crosses the spans [from, to) of one block: jumped where it may be, else
// as its two halves, so that a stretch in which a few spans cannot be jumped
// costs a few attempts per such span; a single span that cannot be jumped is
// walked term by term by walk(span).
template <class Walk>
inline void cross_spans(const SparseJumps &jumps, const std::uint32_t *units,
                        std::uint32_t valid, std::uint32_t from,
                        std::uint32_t to, typename Vec::reg &sum, Walk &walk) {
    if (jump_spans(jumps, units, valid, from, to, sum))
        return;
    if (to - from == 1) {
        walk(from);
        return;
    }
    const std::uint32_t middle = from + (to - from) / 2;
    cross_spans(jumps, units, valid, from, middle, sum, walk);
    cross_spans(jumps, units, valid, middle, to, sum, walk);
}

// The walk of vector n against G blocks of nodes side by side (independent
// sums, so that their additions overlap): the node's own walk up to the span
// of the first stored component is read from the tables, every stretch of
// whole unstored spans is jumped where it may be, and the rest is walked as
// walk_block walks it. Each sum is written to the vector's pairs in its block.
template <int G>
inline void walk_jumping(const SparseBmuJob &job, const SparseBmuScratch &scratch,
                         std::uint32_t n, const std::uint32_t *blocks,
                         const std::uint32_t *pair_begin,
                         const std::uint32_t *pair_end) {
    const std::uint32_t dimension = job.dimension;
    const SparseJumps &jumps = job.jumps;
    const std::size_t plane = static_cast<std::size_t>(jumps.boundaries) * lanes_;
    const SparseEntry *entry = job.sparse_data[n];
    auto next_of = [&] {
        return entry->index == -1 ? dimension
                                  : static_cast<std::uint32_t>(entry->index);
    };
    std::uint32_t next = next_of();
    const float *component[G];
    const std::uint32_t *units[G];
    std::uint32_t valid[G];
    typename Vec::reg sum[G];
    for (int g = 0; g < G; ++g) {
        const std::size_t block = blocks[g];
        component[g] = job.transposed + block * lanes_ * dimension;
        units[g] = jumps.units + block * jumps.binades * plane;
        const std::uint32_t first_node = blocks[g] * lanes_;
        valid[g] = job.node_count - first_node < static_cast<std::uint32_t>(lanes_)
                       ? job.node_count - first_node
                       : static_cast<std::uint32_t>(lanes_);
        sum[g] = Vec::load(jumps.starts + block * plane +
                           static_cast<std::size_t>(next / jump_span) * lanes_);
    }
    auto square_at = [&](int g, std::uint32_t i) {
        const typename Vec::reg c =
            Vec::load(component[g] + static_cast<std::size_t>(i) * lanes_);
        return Vec::mul(c, c);
    };
    std::uint32_t i = next / jump_span * jump_span;
    for (;;) {
        const std::uint32_t from = (i + jump_span - 1) / jump_span;
        const std::uint32_t to = next / jump_span;
        if (from < to) {
            for (; i < from * jump_span; ++i)
                for (int g = 0; g < G; ++g)
                    sum[g] = Vec::add(sum[g], square_at(g, i));
            for (int g = 0; g < G; ++g) {
                auto walk = [&](std::uint32_t span) {
                    for (std::uint32_t t = span * jump_span;
                         t < (span + 1) * jump_span; ++t)
                        sum[g] = Vec::add(sum[g], square_at(g, t));
                };
                // Below the window, span by span until the sum enters it.
                std::uint32_t a = from;
                for (; a < to && below_window(jumps, valid[g], sum[g]); ++a)
                    walk(a);
                while (a < to) {
                    const std::uint32_t b =
                        to - a > jump_limit ? a + jump_limit : to;
                    cross_spans(jumps, units[g], valid[g], a, b, sum[g], walk);
                    a = b;
                }
            }
            i = to * jump_span;
        }
        for (; i < next; ++i)
            for (int g = 0; g < G; ++g)
                sum[g] = Vec::add(sum[g], square_at(g, i));
        if (next == dimension)
            break;
        const typename Vec::reg v = Vec::set1(entry->value);
        for (int g = 0; g < G; ++g) {
            const typename Vec::reg t = Vec::sub(
                Vec::load(component[g] + static_cast<std::size_t>(i) * lanes_), v);
            sum[g] = Vec::add(sum[g], Vec::mul(t, t));
        }
        ++entry;
        ++i;
        next = next_of();
    }
    for (int g = 0; g < G; ++g) {
        float sums[lanes_];
        Vec::store(sums, sum[g]);
        const std::uint32_t first_node = blocks[g] * lanes_;
        for (std::uint32_t p = pair_begin[g]; p < pair_end[g]; ++p)
            scratch.pair_sums[p] = sums[scratch.pair_nodes[p] - first_node];
    }
}

// The candidates of the group's vectors walked with jumps: two blocks at a
// time, so that their components and tables (for 50,000 components, about
// 3 MB a block) stay in cache while every vector of the group that needs
// them walks those side by side; their reads are what the walks wait on.
// Each vector's pairs hold its candidates in increasing order, so its pairs
// in a block are one run.
inline void walk_jumping_blocks(const SparseBmuJob &job,
                                const SparseBmuScratch &scratch,
                                std::uint32_t first, std::uint32_t count,
                                const std::uint32_t *pair_begin) {
    constexpr int G = 2;
    std::uint32_t cursor[sparse_group];
    for (std::uint32_t slot = 0; slot < count; ++slot)
        cursor[slot] = pair_begin[slot];
    const std::uint32_t blocks =
        (job.node_count + lanes_ - 1) / static_cast<std::uint32_t>(lanes_);
    for (std::uint32_t first_block = 0; first_block < blocks; first_block += G) {
        const std::uint32_t end_node = (first_block + G) * lanes_;
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            std::uint32_t block_of[G];
            std::uint32_t run_begin[G];
            std::uint32_t run_end[G];
            int waiting = 0;
            std::uint32_t p = cursor[slot];
            const std::uint32_t slot_end = pair_begin[slot + 1];
            while (p < slot_end && scratch.pair_nodes[p] < end_node) {
                const std::uint32_t block =
                    scratch.pair_nodes[p] / static_cast<std::uint32_t>(lanes_);
                block_of[waiting] = block;
                run_begin[waiting] = p;
                while (p < slot_end &&
                       scratch.pair_nodes[p] / static_cast<std::uint32_t>(lanes_) ==
                           block)
                    ++p;
                run_end[waiting++] = p;
            }
            cursor[slot] = p;
            if (waiting > 0)
                with_at_most<G>(static_cast<std::uint32_t>(waiting), [&](auto width) {
                    walk_jumping<decltype(width)::value>(
                        job, scratch, first + slot, block_of, run_begin, run_end);
                });
        }
    }
}

// Every block of nodes that holds a candidate of some vector of the group,
// walked against all the vectors that need it, a few at a time.
inline void walk_blocks(const SparseBmuJob &job, const SparseBmuScratch &scratch,
                        std::uint32_t first, std::uint32_t count,
                        const std::uint32_t *pair_begin) {
    // Eight sums side by side keep the additions of one sum from waiting for
    // each other, with one load and one square per component for all.
    constexpr int R = 8;
    std::uint32_t cursor[sparse_group];
    for (std::uint32_t slot = 0; slot < count; ++slot)
        cursor[slot] = pair_begin[slot];
    // Blocks in increasing order; each vector's candidates are in increasing
    // order, so its pairs in a block are the run at its cursor.
    const std::uint32_t blocks =
        (job.node_count + lanes_ - 1) / static_cast<std::uint32_t>(lanes_);
    for (std::uint32_t block = 0; block < blocks; ++block) {
        const std::uint32_t end_node = (block + 1) * lanes_;
        std::uint32_t slots[R]; // the vectors, by index
        std::uint32_t run_begin[R];
        std::uint32_t run_end[R];
        int waiting = 0;
        for (std::uint32_t slot = 0; slot < count; ++slot) {
            std::uint32_t p = cursor[slot];
            const std::uint32_t slot_end = pair_begin[slot + 1];
            if (p == slot_end || scratch.pair_nodes[p] >= end_node)
                continue;
            slots[waiting] = first + slot;
            run_begin[waiting] = p;
            while (p < slot_end && scratch.pair_nodes[p] < end_node)
                ++p;
            run_end[waiting] = p;
            cursor[slot] = p;
            if (++waiting == R) {
                walk_block<R>(job, scratch, block, slots, run_begin, run_end);
                waiting = 0;
            }
        }
        if (waiting > 0)
            with_at_most<R - 1>(static_cast<std::uint32_t>(waiting),
                                [&](auto vectors) {
                                    walk_block<decltype(vectors)::value>(
                                        job, scratch, block, slots, run_begin,
                                        run_end);
                                });
    }
}

// The BMUs of up to `count` vectors from `first`, as many as the pair scratch
// surely holds; returns how many. A vector left with a single
// candidate has found its BMU without a walk. For the others, every block of
// nodes that holds a candidate of some vector is walked against all the
// vectors that need it, a few at a time, so the block's components are read
// once for several vectors (with jump tables, each vector walks a few of its
// blocks side by side, jumping its unstored stretches); each vector then scans its own candidates in
// row-major order under the reference's strict comparison: the nodes left out
// are strictly farther than some candidate, so the reference scan over all
// nodes ends on the same node.
template <bool Second>
inline std::uint32_t sparse_bmu_group(const SparseBmuJob &job,
                                      const SparseBmuScratch &scratch,
                                      std::uint32_t first,
                                      std::uint32_t count) {
    std::uint32_t pair_begin[sparse_group + 1];
    std::uint32_t pairs = 0;
    std::uint32_t slot = 0;
    // A vector has at most node_count candidates.
    for (; slot < count && scratch.pair_room - pairs >= job.node_count;
         ++slot) {
        const std::uint32_t n = first + slot;
        pair_begin[slot] = pairs;
        const std::uint32_t candidates =
            sparse_candidates<Second>(job, scratch, scratch.pair_nodes + pairs,
                                      n);
        if (candidates == 1 && job.distances == nullptr) {
            // Its pair is overwritten by the next vector's: the node is
            // written out at once. With `Second` the map has one node, and
            // no runner-up.
            const std::uint32_t node = scratch.pair_nodes[pairs];
            std::int32_t *out = job.bmus + 2 * static_cast<std::size_t>(n);
            out[0] = static_cast<std::int32_t>(node % job.columns);
            out[1] = static_cast<std::int32_t>(node / job.columns);
            if constexpr (Second) {
                job.runner_ups[n] = -1;
                job.runner_up_distances[n] =
                    std::numeric_limits<float>::infinity();
            }
            continue;
        }
        pairs += candidates;
    }
    count = slot;
    pair_begin[count] = pairs;
    if (pairs == 0)
        return count;
    if (job.jumps.units != nullptr) {
        walk_jumping_blocks(job, scratch, first, count, pair_begin);
    } else {
        walk_blocks(job, scratch, first, count, pair_begin);
    }
    for (std::uint32_t slot = 0; slot < count; ++slot) {
        const std::uint32_t begin = pair_begin[slot];
        const std::uint32_t end = pair_begin[slot + 1];
        if (end == begin)
            continue;
        std::uint32_t best_pair = begin;
        const std::uint32_t n = first + slot;
        if (end - begin == 1) {
            // Walked for its distance; with `Second` a map of one node.
            if constexpr (Second) {
                job.runner_ups[n] = -1;
                job.runner_up_distances[n] =
                    std::numeric_limits<float>::infinity();
            }
        } else if constexpr (Second) {
            // The reference's scan (scan_distances) over the candidates:
            // the nodes left out are strictly farther than two of them.
            std::uint32_t second_pair = begin + 1;
            if (scratch.pair_sums[begin + 1] < scratch.pair_sums[begin]) {
                best_pair = begin + 1;
                second_pair = begin;
            }
            for (std::uint32_t p = begin + 2; p < end; ++p) {
                if (scratch.pair_sums[p] < scratch.pair_sums[best_pair]) {
                    second_pair = best_pair;
                    best_pair = p;
                } else if (scratch.pair_sums[p] <
                           scratch.pair_sums[second_pair]) {
                    second_pair = p;
                }
            }
            job.runner_ups[n] =
                static_cast<std::int32_t>(scratch.pair_nodes[second_pair]);
            job.runner_up_distances[n] = scratch.pair_sums[second_pair];
        } else {
            for (std::uint32_t p = begin + 1; p < end; ++p)
                if (scratch.pair_sums[p] < scratch.pair_sums[best_pair])
                    best_pair = p;
        }
        const std::uint32_t node = scratch.pair_nodes[best_pair];
        std::int32_t *out = job.bmus + 2 * static_cast<std::size_t>(n);
        out[0] = static_cast<std::int32_t>(node % job.columns);
        out[1] = static_cast<std::int32_t>(node / job.columns);
        if (job.distances != nullptr)
            job.distances[n] = scratch.pair_sums[best_pair];
    }
    return count;
}

} // namespace

std::uint32_t lanes() { return static_cast<std::uint32_t>(lanes_); }

void prepare_sparse_jumps(const SparseBmuJob &job, std::uint32_t block,
                          std::uint32_t *units, float *starts) {
    const SparseJumps &jumps = job.jumps;
    const std::uint32_t dimension = job.dimension;
    const std::uint32_t binades = jumps.binades;
    const std::size_t plane = static_cast<std::size_t>(jumps.boundaries) * lanes_;
    const float *component =
        job.transposed + static_cast<std::size_t>(block) * lanes_ * dimension;
    units += static_cast<std::size_t>(block) * binades * plane;
    starts += static_cast<std::size_t>(block) * plane;
    // Running sums (unsigned, so that they wrap as the tables do).
    std::uint32_t total[most_jump_binades][lanes_] = {};
    float own[lanes_] = {};
    for (std::uint32_t span = 0; span < jumps.boundaries; ++span) {
        const std::size_t at = static_cast<std::size_t>(span) * lanes_;
        for (int lane = 0; lane < lanes_; ++lane)
            starts[at + lane] = own[lane];
        for (std::uint32_t b = 0; b < binades; ++b)
            for (int lane = 0; lane < lanes_; ++lane)
                units[b * plane + at + lane] = total[b][lane];
        const std::uint32_t begin = span * jump_span;
        if (begin >= dimension)
            break;
        const std::uint32_t end =
            dimension - begin < jump_span ? dimension : begin + jump_span;
        std::uint32_t added[most_jump_binades][lanes_] = {};
        std::uint32_t halfway[most_jump_binades][lanes_] = {};
        for (std::uint32_t i = begin; i < end; ++i) {
            float squares[lanes_];
            std::uint32_t significand[lanes_];
            std::int32_t field[lanes_];
            square_parts(component + static_cast<std::size_t>(i) * lanes_,
                         squares, significand, field);
            for (int lane = 0; lane < lanes_; ++lane)
                own[lane] = own[lane] + squares[lane];
            for (std::uint32_t b = 0; b < binades; ++b) {
                // t / u = m 2^(f - F) for the binade of field F.
                const std::int32_t binade_field =
                    static_cast<std::int32_t>(jumps.lowest + b);
                for (int lane = 0; lane < lanes_; ++lane) {
                    const std::int32_t shift = field[lane] - binade_field;
                    const auto left = static_cast<std::uint32_t>(
                        std::min(std::max(shift, 0), 31));
                    const auto right = static_cast<std::uint32_t>(
                        std::min(std::max(-shift, 0), 31));
                    const std::uint32_t scaled = significand[lane] << left;
                    const std::uint32_t whole = scaled >> right;
                    const std::uint32_t rest = scaled - (whole << right);
                    // Zero where nothing is shifted out.
                    const std::uint32_t half = (1u << right) >> 1;
                    added[b][lane] += whole + static_cast<std::uint32_t>(rest > half);
                    halfway[b][lane] |= static_cast<std::uint32_t>(rest == half) &
                                        static_cast<std::uint32_t>(half != 0);
                }
            }
        }
        for (std::uint32_t b = 0; b < binades; ++b)
            for (int lane = 0; lane < lanes_; ++lane)
                total[b][lane] += added[b][lane] + halfway[b][lane] * 0x800000u;
    }
}


std::uint32_t bmu_vectors() { return static_cast<std::uint32_t>(Vec::bmu_vectors); }

template <bool Second>
void find_bmus_dense_of(const DenseBmuJob &job, std::uint32_t begin,
                        std::uint32_t end) {
    constexpr int R = Vec::bmu_vectors;
    std::uint32_t n = begin;
    for (; n + R <= end; n += R)
        bmus_of_vectors<R, Second>(job, n);
    for (; n < end; ++n)
        bmus_of_vectors<1, Second>(job, n);
}

void find_bmus_dense(const DenseBmuJob &job, std::uint32_t begin,
                     std::uint32_t end) {
    constexpr int R = Vec::bmu_vectors;
    std::uint32_t n = begin;
    if (job.screen != nullptr && job.runner_ups != nullptr) {
        for (; n + R <= end; n += R)
            screened_bmus_of_vectors<R, true>(job, n);
        for (; n < end; ++n)
            screened_bmus_of_vectors<1, true>(job, n);
    } else if (job.screen != nullptr) {
        for (; n + R <= end; n += R)
            screened_bmus_of_vectors<R, false>(job, n);
        for (; n < end; ++n)
            screened_bmus_of_vectors<1, false>(job, n);
    } else if (job.runner_ups != nullptr) {
        find_bmus_dense_of<true>(job, begin, end);
    } else {
        find_bmus_dense_of<false>(job, begin, end);
    }
}

void distances_dense(const DenseBmuJob &job, std::uint32_t begin,
                     std::uint32_t end, float *out) {
    constexpr int R = Vec::bmu_vectors;
    std::uint32_t n = begin;
    for (; n + R <= end; n += R)
        distances_of_vectors<R>(job, n, out);
    for (; n < end; ++n)
        distances_of_vectors<1>(job, n, out);
}

void find_bmus_sparse(const SparseBmuJob &job, std::uint32_t begin,
                      std::uint32_t end, const SparseBmuScratch &scratch) {
    // A group closes after sparse_group vectors, or earlier when the next
    // vector's candidates might not fit in the pair scratch.
    std::uint32_t n = begin;
    while (n < end) {
        const std::uint32_t count =
            end - n < sparse_group ? end - n : sparse_group;
        n += job.runner_ups != nullptr
                 ? sparse_bmu_group<true>(job, scratch, n, count)
                 : sparse_bmu_group<false>(job, scratch, n, count);
    }
}

void update_dense_row(const DenseUpdateJob &job, std::uint32_t y) {
    constexpr int K = Vec::update_chunk;
    alignas(64) float denominators[lanes_];
    for (std::uint32_t x0 = 0; x0 < job.columns; x0 += lanes_) {
        const std::uint32_t remaining_nodes = job.columns - x0;
        const std::uint32_t node_count =
            remaining_nodes < static_cast<std::uint32_t>(lanes_)
                ? remaining_nodes
                : static_cast<std::uint32_t>(lanes_);
        std::uint32_t component = 0;
        if (job.dimension == 0) {
            // No component to write; the denominators alone change nothing.
            continue;
        }
        for (; component + K <= job.dimension; component += K)
            update_dense_chunk<K>(job, y, x0, node_count, component,
                                  denominators);
        if (component < job.dimension)
            with_at_most<K - 1>(job.dimension - component, [&](auto width) {
                update_dense_chunk<decltype(width)::value>(
                    job, y, x0, node_count, component, denominators);
            });
    }
}

// Up to fixed_chunk components of a row scaled and rounded the fast way:
// for a scaled value below 2^51 in magnitude, adding 1.5 x 2^52 rounds it
// to a whole number (ties to even, as nearest_integer does) and leaves that
// number in the low bits, the doubles of [2^52, 2^53) being spaced by one.
// False when some scaled value is not below 2^51 (or is NaN): its chunk
// then takes nearest_integer itself. Bit tests, so that the loop vectorises.
constexpr std::uint32_t fixed_chunk = 64;

inline bool scaled_whole(const float *row, const double *scales,
                         std::int64_t *whole, std::uint32_t count) {
    constexpr double magic = 0x1.8p52;
    std::uint64_t magic_bits;
    std::memcpy(&magic_bits, &magic, sizeof magic_bits);
    std::int64_t large = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const double value = static_cast<double>(row[k]) * scales[k];
        const double shifted = value + magic;
        std::uint64_t bits;
        std::int64_t value_bits;
        std::memcpy(&bits, &shifted, sizeof bits);
        std::memcpy(&value_bits, &value, sizeof value_bits);
        // Unsigned, so that a chunk's large values (whose integers are not
        // used) wrap instead of overflowing.
        whole[k] = static_cast<std::int64_t>(bits - magic_bits);
        // Magnitude bits at or above those of 2^51 (NaN included).
        large |= static_cast<std::int64_t>(
            (value_bits & 0x7fffffffffffffff) >= 0x4320000000000000);
    }
    return large == 0;
}

void add_fixed_row(const float *row, const double *scales, std::int64_t *sums,
                   std::uint32_t dimension) {
    std::int64_t whole[fixed_chunk];
    for (std::uint32_t f = 0; f < dimension; f += fixed_chunk) {
        const std::uint32_t count =
            dimension - f < fixed_chunk ? dimension - f : fixed_chunk;
        if (scaled_whole(row + f, scales + f, whole, count)) {
            // In runs of eight, so that short rows add in vectors too.
            std::uint32_t k = 0;
            for (; k + 8 <= count; k += 8)
                for (std::uint32_t l = 0; l < 8; ++l)
                    sums[f + k + l] += whole[k + l];
            for (; k < count; ++k)
                sums[f + k] += whole[k];
        } else {
            for (std::uint32_t k = 0; k < count; ++k)
                sums[f + k] += nearest_integer(
                    static_cast<double>(row[f + k]) * scales[f + k]);
        }
    }
}

void update_sparse_row(const SparseUpdateJob &job, std::uint32_t y,
                       float *numerator) {
    for (std::uint32_t x0 = 0; x0 < job.columns; x0 += lanes_) {
        const std::uint32_t remaining_nodes = job.columns - x0;
        const std::uint32_t node_count =
            remaining_nodes < static_cast<std::uint32_t>(lanes_)
                ? remaining_nodes
                : static_cast<std::uint32_t>(lanes_);
        update_sparse_block(job, y, x0, node_count, numerator);
    }
}

#endif
