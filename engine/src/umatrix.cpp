#include "quorvel/umatrix.h"

#include "quorvel/geometry.h"

#include <cmath>
#include <cstddef>

namespace quorvel {

float vector_distance(const float *a, const float *b, std::uint32_t n) {
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < n; ++i) {
        const float difference = std::fabs(a[i] - b[i]);
        sum = sum + difference * difference;
    }
    return static_cast<float>(std::sqrt(static_cast<double>(sum)));
}

void compute_umatrix(float *umatrix, const float *codebook,
                     std::uint32_t columns, std::uint32_t rows,
                     std::uint32_t dimension, std::string map_type,
                     std::string grid_type) {
    const Geometry geometry = select_geometry(map_type, grid_type);
    const auto vector_of = [&](std::uint32_t x, std::uint32_t y) {
        return codebook +
               (static_cast<std::size_t>(y) * columns + x) * dimension;
    };
    for (std::uint32_t y = 0; y < rows; ++y) {
        for (std::uint32_t x = 0; x < columns; ++x) {
            // Neighbours are summed in row-major order; the stored mean
            // depends on that order.
            float sum = 0.0f;
            std::uint32_t count = 0;
            for (std::uint32_t ny = 0; ny < rows; ++ny) {
                for (std::uint32_t nx = 0; nx < columns; ++nx) {
                    if (nx == x && ny == y)
                        continue;
                    const float distance =
                        grid_distance(geometry, x, y, nx, ny, columns, rows);
                    if (!(distance <= 1.5f))
                        continue;
                    ++count;
                    sum = sum + vector_distance(vector_of(x, y),
                                                vector_of(nx, ny), dimension);
                }
            }
            umatrix[static_cast<std::size_t>(y) * columns + x] =
                sum / static_cast<float>(count);
        }
    }
}

} // namespace quorvel
