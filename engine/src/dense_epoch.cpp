#include "quorvel/epoch.h"

#include "kernel_support.h"

namespace quorvel {

float squared_distance_dense(const float *codebook, const float *data,
                             std::uint32_t y, std::uint32_t x,
                             std::uint32_t columns, std::uint32_t dimension,
                             std::uint32_t n) {
    const float *node =
        codebook + (static_cast<std::size_t>(y) * columns + x) * dimension;
    const float *vector = data + static_cast<std::size_t>(n) * dimension;
    // One sequential sum in increasing i: the stored BMUs depend on it.
    float sum = 0.0f;
    for (std::uint32_t i = 0; i < dimension; ++i) {
        const float difference = node[i] - vector[i];
        sum = sum + difference * difference;
    }
    return sum;
}

void find_bmu_dense(const float *codebook, const float *data,
                    std::uint32_t rows, std::uint32_t columns,
                    std::uint32_t dimension, std::int32_t *out,
                    std::uint32_t n) {
    float best =
        squared_distance_dense(codebook, data, 0, 0, columns, dimension, n);
    std::uint32_t best_x = 0;
    std::uint32_t best_y = 0;
    for (std::uint32_t y = 0; y < rows; ++y) {
        for (std::uint32_t x = y == 0 ? 1 : 0; x < columns; ++x) {
            const float distance = squared_distance_dense(
                codebook, data, y, x, columns, dimension, n);
            if (distance < best) {
                best = distance;
                best_x = x;
                best_y = y;
            }
        }
    }
    out[0] = static_cast<std::int32_t>(best_x);
    out[1] = static_cast<std::int32_t>(best_y);
}

void dense_epoch(const float *data, float *codebook, std::uint32_t columns,
                 std::uint32_t rows, std::uint32_t dimension,
                 std::uint32_t vector_count, float radius, float scale,
                 std::string map_type, std::string grid_type, bool cutoff,
                 bool use_gaussian, std::int32_t *bmus, bool bmu_only) {
    // Without nodes there is no BMU to report and nothing to update.
    if (columns == 0 || rows == 0)
        return;
    detail::find_bmus(vector_count, [&](std::uint32_t n) {
        find_bmu_dense(codebook, data, rows, columns, dimension,
                       bmus + 2 * static_cast<std::size_t>(n), n);
    });
    // Without vectors the first vector never sets the accumulators; the
    // codebook keeps its values.
    if (bmu_only || vector_count == 0)
        return;

    const detail::Neighbourhood hood{select_geometry(map_type, grid_type),
                                     columns, rows, radius, scale, cutoff,
                                     use_gaussian};
    detail::update_nodes(
        codebook, columns, rows, dimension,
        [&](float *node, std::uint32_t x, std::uint32_t y, float *numerator) {
            // The first vector sets the accumulators, every later one adds
            // to them, in increasing n: product rounded, then the sum.
            float denominator = detail::vector_weight(hood, bmus, x, y, 0);
            for (std::uint32_t i = 0; i < dimension; ++i)
                numerator[i] = data[i] * denominator;
            for (std::uint32_t n = 1; n < vector_count; ++n) {
                const float weight = detail::vector_weight(hood, bmus, x, y, n);
                const float *vector =
                    data + static_cast<std::size_t>(n) * dimension;
                denominator = denominator + weight;
                for (std::uint32_t i = 0; i < dimension; ++i)
                    numerator[i] = vector[i] * weight + numerator[i];
            }
            detail::store_positive_quotients(node, numerator, denominator,
                                             dimension);
        });
}

} // namespace quorvel
