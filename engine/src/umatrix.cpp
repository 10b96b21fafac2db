#include "quorvel/umatrix.h"

#include "quorvel/geometry.h"

#include <cmath>
#include <cstddef>
#include <utility>

namespace quorvel {

float vector_distance(const float *a, const float *b, std::uint32_t n) {
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float difference = std::fabs(a[i] - b[i]);
        sum = sum + difference * difference;
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

namespace {

// One neighbour's distance added to a cell's sum. Both U-matrix kernels go
// through this one compiled copy: when both operands are NaN the stored NaN
// is the first operand's, and a compiler may order the operands of an
// addition either way, so a single copy keeps the NaN bits of the two
// kernels the same.
[[gnu::noinline]] float add_neighbour(float sum, const float *cell,
                                      const float *neighbour,
                                      std::uint32_t dimension) {
    return sum + vector_distance(cell, neighbour, dimension);
}

// Every cell's mean distance to its neighbours, the nodes within grid
// distance 1.5: candidates(x, y, visit) calls visit(nx, ny) for nodes of the
// cell, itself left out, in row-major order. Neighbours are summed in that
// order, the order in which a scan of every node meets them; the stored
// mean depends on it.
template <class Candidates>
void mean_neighbour_distances(float *umatrix, const float *codebook,
                              std::uint32_t columns, std::uint32_t rows,
                              std::uint32_t dimension, Geometry geometry,
                              Candidates candidates) {
    for (std::uint32_t y = 0; y < rows; ++y) {
        for (std::uint32_t x = 0; x < columns; ++x) {
            const std::size_t cell = static_cast<std::size_t>(y) * columns + x;
            const float *vector = codebook + cell * dimension;
            float sum = 0.0f;
            std::uint32_t count = 0;
            candidates(x, y, [&](std::uint32_t nx, std::uint32_t ny) {
                const float distance =
                    grid_distance(geometry, x, y, nx, ny, columns, rows);
                if (!(distance <= 1.5f))
                    return;
                ++count;
                const std::size_t node =
                    static_cast<std::size_t>(ny) * columns + nx;
                sum = add_neighbour(sum, vector, codebook + node * dimension,
                                    dimension);
            });
            umatrix[cell] = sum / static_cast<float>(count);
        }
    }
}

} // namespace

void compute_umatrix_ref(float *umatrix, const float *codebook,
                         std::uint32_t columns, std::uint32_t rows,
                         std::uint32_t dimension, std::string map_type,
                         std::string grid_type) {
    // Every other node is a candidate.
    mean_neighbour_distances(
        umatrix, codebook, columns, rows, dimension,
        select_geometry(map_type, grid_type),
        [&](std::uint32_t x, std::uint32_t y, auto visit) {
            for (std::uint32_t ny = 0; ny < rows; ++ny)
                for (std::uint32_t nx = 0; nx < columns; ++nx)
                    if (nx != x || ny != y)
                        visit(nx, ny);
        });
}

namespace {

// Every node within grid distance 1.5 of a cell lies at most one row and two
// columns away (the shortest way round on a toroid): a row difference of 2
// alone is already farther, and the hexagonal shift takes at most one column
// off the column difference. This holds while dx * dx + dy * dy cannot wrap
// around in the unsigned arithmetic of the distance.
bool candidates_suffice(Geometry geometry, std::uint32_t columns,
                        std::uint32_t rows) {
    if (geometry == Geometry::collapsed)
        return false;
    const std::uint64_t dx = columns - 1;
    const std::uint64_t dy = rows - 1;
    return dx * dx + dy * dy <= 0xffffffffu;
}

// The nodes at row offsets -1 ... 1 and column offsets -2 ... 2 of the cell,
// wrapped on a toroid and clipped on a planar map, each once, in row-major
// order: the order in which the full scan would meet them.
std::uint32_t candidate_nodes(Geometry geometry, std::uint32_t x,
                              std::uint32_t y, std::uint32_t columns,
                              std::uint32_t rows, std::uint64_t *nodes) {
    const bool toroid =
        geometry == Geometry::toroid_rect || geometry == Geometry::toroid_hex;
    std::uint32_t count = 0;
    for (int dy = -1; dy <= 1; ++dy) {
        std::int64_t ny = static_cast<std::int64_t>(y) + dy;
        if (toroid)
            ny = (ny + rows) % rows;
        else if (ny < 0 || ny >= rows)
            continue;
        for (int dx = -2; dx <= 2; ++dx) {
            std::int64_t nx = static_cast<std::int64_t>(x) + dx;
            if (toroid)
                nx = ((nx % columns) + columns) % columns;
            else if (nx < 0 || nx >= columns)
                continue;
            if (nx == x && ny == y)
                continue;
            nodes[count++] = static_cast<std::uint64_t>(ny) * columns +
                             static_cast<std::uint64_t>(nx);
        }
    }
    // At most 14 candidates: an insertion sort that drops repeats (a narrow
    // toroid reaches one node both ways round, and it counts once).
    std::uint32_t kept = 0;
    for (std::uint32_t c = 0; c < count; ++c) {
        const std::uint64_t node = nodes[c];
        std::uint32_t at = kept;
        while (at > 0 && nodes[at - 1] > node)
            --at;
        if (at > 0 && nodes[at - 1] == node)
            continue;
        for (std::uint32_t move = kept; move > at; --move)
            nodes[move] = nodes[move - 1];
        nodes[at] = node;
        ++kept;
    }
    return kept;
}

} // namespace

void compute_umatrix(float *umatrix, const float *codebook,
                     std::uint32_t columns, std::uint32_t rows,
                     std::uint32_t dimension, std::string map_type,
                     std::string grid_type) {
    const Geometry geometry = select_geometry(map_type, grid_type);
    if (columns == 0 || rows == 0)
        return;
    // An unrecognised map text makes every node a neighbour of every cell:
    // the full scan is the only way.
    if (!candidates_suffice(geometry, columns, rows)) {
        compute_umatrix_ref(umatrix, codebook, columns, rows, dimension,
                            std::move(map_type), std::move(grid_type));
        return;
    }
    std::uint64_t nodes[14];
    mean_neighbour_distances(
        umatrix, codebook, columns, rows, dimension, geometry,
        [&](std::uint32_t x, std::uint32_t y, auto visit) {
            const std::uint32_t count =
                candidate_nodes(geometry, x, y, columns, rows, nodes);
            for (std::uint32_t c = 0; c < count; ++c)
                visit(static_cast<std::uint32_t>(nodes[c] % columns),
                      static_cast<std::uint32_t>(nodes[c] / columns));
        });
}

} // namespace quorvel
