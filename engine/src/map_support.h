// Pieces shared by the map entry points of quorvel/map.h.
#ifndef QUORVEL_MAP_SUPPORT_H
#define QUORVEL_MAP_SUPPORT_H

#include "quorvel/map.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace quorvel {
namespace detail {

// The squared grid distance from a node in a row of parity `parity` to the
// node dx columns and dy rows away (before any wrapping).
double offset_distance_squared(const MapShape &shape, std::int64_t dx,
                               std::int64_t dy, std::uint32_t parity);

// The gaussian factors over the two axes of the grid: with a the distance
// along x and b the row offset (wrapped on a toroid), d^2 = a^2 + c b^2
// (c = 3/4 on a hexagonal grid, 1 on a rectangular one) and
// exp(-d^2 / (2 sigma^2)) = exp(-a^2 / (2 sigma^2)) exp(-c b^2 / (2 sigma^2)).
// Each factor is 1 at offset 0, also where 2 sigma^2 underflows.
double axis_factor(double squared, double sigma);

// Receives node j's `width` gaussian-weighted totals; called from the
// threads of the region, each node once, and must not throw.
using GaussianTotal = std::function<void(std::int64_t j, const double *total)>;

// The gaussian through its two factors over `width` values per node (node
// after node in `values`): first along every map row, for each column x of
// a node and each parity of its row (which sets the half cell between the
// rows on a hexagonal grid), the x-weighted sums of the row's nodes in
// increasing column order; then, for each node j in [begin, end), the
// y-weighted sums of those over the rows in increasing order, handed to
// store. Zero factors add exact zeros and are skipped: rows + columns
// weighted additions per node.
void separable_gaussian_sums(const MapShape &shape, double sigma,
                             const std::vector<double> &values,
                             std::size_t width, std::uint32_t begin,
                             std::uint32_t end, int threads,
                             const GaussianTotal &store);

// The neighbourhood weight of every node offset, from neighbourhood_value
// and offset_distance_squared, indexed (dy + rows - 1, parity of the first
// node's row, dx + columns - 1): the bubble and cut gaussian updates of
// complete and of missing values read the same bits from it.
class OffsetWeights {
  public:
    OffsetWeights(const MapShape &shape, const MapNeighbourhood &hood)
        : columns_(shape.columns), rows_(shape.rows),
          width_(2 * static_cast<std::size_t>(shape.columns) - 1),
          weights_((2 * static_cast<std::size_t>(shape.rows) - 1) * 2 * width_) {
        const std::int64_t columns = shape.columns, rows = shape.rows;
        for (std::int64_t dy = -(rows - 1); dy <= rows - 1; ++dy)
            for (std::uint32_t parity = 0; parity < 2; ++parity)
                for (std::int64_t dx = -(columns - 1); dx <= columns - 1; ++dx)
                    weights_[index(dx, dy, parity)] = neighbourhood_value(
                        hood,
                        detail::offset_distance_squared(shape, dx, dy, parity));
    }
    double of(std::uint32_t j, std::uint32_t k) const {
        const std::int64_t xj = j % columns_, yj = j / columns_;
        const std::int64_t xk = k % columns_, yk = k / columns_;
        return weights_[index(xk - xj, yk - yj,
                              static_cast<std::uint32_t>(yj & 1))];
    }

  private:
    std::size_t index(std::int64_t dx, std::int64_t dy,
                      std::uint32_t parity) const {
        return (static_cast<std::size_t>(dy + rows_ - 1) * 2 + parity) * width_ +
               static_cast<std::size_t>(dx + columns_ - 1);
    }
    std::int64_t columns_;
    std::int64_t rows_;
    std::size_t width_;
    std::vector<double> weights_;
};

// Row n of a CSR input written out dense into `row`: absent components are
// +0, whose difference with a codebook component c is c itself, so the
// dense kernels sum the same terms as a walk over the sparse row; a stored
// NaN stays NaN.
inline void densify(CsrRows data, std::size_t n, std::uint32_t dimension,
                    float *row) {
    std::fill(row, row + dimension, 0.0f);
    for (std::int64_t e = data.indptr[n]; e < data.indptr[n + 1]; ++e)
        row[data.indices[e]] = data.values[e];
}

// The BMU and runner-up of one row from its distances to the nodes, written
// to row `at` of results. Node 0 takes the first place and the next node
// that does not beat the best the second, whatever their distances; later
// nodes move up only when strictly nearer.
void scan_distances(const float *distances, std::uint32_t nodes,
                    std::size_t at, const BmuResults &results);

} // namespace detail
} // namespace quorvel

#endif
