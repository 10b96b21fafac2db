#include "quorvel/map.h"

#include "map_support.h"

#include <omp.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace quorvel {

bool map_shape_fits(const MapShape &shape) {
    if (shape.columns == 0 || shape.rows == 0)
        return false;
    const std::uint64_t nodes =
        static_cast<std::uint64_t>(shape.columns) * shape.rows;
    // Node indices travel as int32; codebook offsets as size_t.
    return nodes <= 0x7fffffffu &&
           nodes * (static_cast<std::uint64_t>(shape.dimension) + 1) <
               (std::uint64_t{1} << 62);
}

namespace detail {

double offset_distance_squared(const MapShape &shape, std::int64_t dx,
                               std::int64_t dy, std::uint32_t parity) {
    double along = static_cast<double>(dx);
    if (shape.grid == Grid::hexagonal) {
        // Node b's row parity follows from a's and the row offset; the half
        // cell of each odd row moves b by +1/2 and a by -1/2 along x.
        const std::uint32_t other = (parity + static_cast<std::uint32_t>(
                                                  dy & 1)) & 1u;
        along += 0.5 * (static_cast<double>(other) -
                        static_cast<double>(parity));
    }
    double x = std::fabs(along);
    double y = std::fabs(static_cast<double>(dy));
    if (shape.topology == Topology::toroid) {
        // Both axes wrap independently (an even row count keeps the row
        // parity across the seam), so the shortest way round is the shorter
        // way along each axis.
        x = std::min(x, static_cast<double>(shape.columns) - x);
        y = std::min(y, static_cast<double>(shape.rows) - y);
    }
    return shape.grid == Grid::hexagonal ? x * x + 0.75 * (y * y)
                                         : x * x + y * y;
}

} // namespace detail

namespace {

// Inserts k into the sorted list of `count` nodes unless it is there;
// returns the new count.
int insert_once(std::uint32_t *nodes, int count, std::uint32_t k) {
    int at = 0;
    while (at < count && nodes[at] < k)
        ++at;
    if (at < count && nodes[at] == k)
        return count;
    for (int i = count; i > at; --i)
        nodes[i] = nodes[i - 1];
    nodes[at] = k;
    return count + 1;
}

} // namespace

double grid_distance_squared(const MapShape &shape, std::uint32_t a,
                             std::uint32_t b) {
    const std::int64_t xa = a % shape.columns, ya = a / shape.columns;
    const std::int64_t xb = b % shape.columns, yb = b / shape.columns;
    return detail::offset_distance_squared(
        shape, xb - xa, yb - ya, static_cast<std::uint32_t>(ya & 1));
}

double portable_exp(double x) {
    if (std::isnan(x))
        return x;
    if (x > 709.782712893384)
        return std::numeric_limits<double>::infinity();
    if (x < -745.1332191019412)
        return 0.0;
    // x = k ln 2 + r with |r| <= ln 2 / 2 + a little; ln 2 in two parts, the
    // first with trailing zero bits so that k * ln2_high is exact.
    const double ln2_high = 6.93147180369123816490e-01;
    const double ln2_low = 1.90821492927058770002e-10;
    const double k = std::nearbyint(x * 1.44269504088896338700e+00);
    const double r = (x - k * ln2_high) - k * ln2_low;
    // Taylor series to degree 14 by Horner's rule: the first term left out
    // is below 2^-60 for |r| <= 0.35.
    double p = 1.0 / 87178291200.0;
    const double inverse_factorials[] = {
        1.0 / 6227020800.0, 1.0 / 479001600.0, 1.0 / 39916800.0,
        1.0 / 3628800.0,    1.0 / 362880.0,    1.0 / 40320.0,
        1.0 / 5040.0,       1.0 / 720.0,       1.0 / 120.0,
        1.0 / 24.0,         1.0 / 6.0,         0.5,
        1.0,                1.0};
    for (const double c : inverse_factorials)
        p = p * r + c;
    return std::ldexp(p, static_cast<int>(k));
}

double neighbourhood_value(const MapNeighbourhood &hood,
                           double distance_squared) {
    // Every kind is 1 at the node itself, also where 2 sigma^2 underflows.
    if (distance_squared == 0.0)
        return 1.0;
    const bool within = std::sqrt(distance_squared) <= hood.sigma;
    if (hood.kind == NeighbourhoodKind::bubble)
        return within ? 1.0 : 0.0;
    if (hood.kind == NeighbourhoodKind::cut_gaussian && !within)
        return 0.0;
    return portable_exp(-distance_squared /
                        (2.0 * hood.sigma * hood.sigma));
}

bool are_neighbours(const MapShape &shape, std::uint32_t a, std::uint32_t b) {
    return a != b && grid_distance_squared(shape, a, b) <= 2.25;
}

void map_umatrix(const MapShape &shape, const float *codebook, float *out,
                 int threads) {
    const std::int64_t nodes = shape.node_count();
    const std::uint32_t columns = shape.columns;
    const std::uint32_t rows = shape.rows;
    const std::uint32_t dimension = shape.dimension;
    const bool toroid = shape.topology == Topology::toroid;
    // Each node's cell is written by the one thread that owns it; the
    // codebook is only read.
#pragma omp parallel for schedule(static) num_threads(threads) default(none) \
    shared(shape, codebook, out, nodes, columns, rows, dimension, toroid)
    for (std::int64_t index = 0; index < nodes; ++index) {
        const auto j = static_cast<std::uint32_t>(index);
        const std::int64_t x = j % columns, y = j / columns;
        // Every neighbour lies within one step along each axis (its
        // nearest image, on a toroid); small toroids reach one node by
        // several steps, so the candidates are deduplicated.
        std::uint32_t candidates[9];
        int count = 0;
        for (std::int64_t dy = -1; dy <= 1; ++dy) {
            for (std::int64_t dx = -1; dx <= 1; ++dx) {
                std::int64_t cx = x + dx, cy = y + dy;
                if (toroid) {
                    cx = (cx + columns) % columns;
                    cy = (cy + rows) % rows;
                } else if (cx < 0 || cy < 0 || cx >= columns || cy >= rows) {
                    continue;
                }
                const auto k = static_cast<std::uint32_t>(cy * columns + cx);
                if (are_neighbours(shape, j, k))
                    count = insert_once(candidates, count, k);
            }
        }
        // The distances in double, added in increasing node order.
        double total = 0.0;
        const float *node = codebook + static_cast<std::size_t>(j) * dimension;
        for (int c = 0; c < count; ++c) {
            const float *other =
                codebook + static_cast<std::size_t>(candidates[c]) * dimension;
            double squares = 0.0;
            for (std::uint32_t i = 0; i < dimension; ++i) {
                const double difference = static_cast<double>(node[i]) -
                                          static_cast<double>(other[i]);
                squares = squares + difference * difference;
            }
            total = total + std::sqrt(squares);
        }
        out[j] = count == 0 ? 0.0f
                            : static_cast<float>(total / static_cast<double>(count));
    }
}

} // namespace quorvel
