#include "kernel_support.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel {
namespace detail {

// The widest vector load of any variant; table rows are padded by this much.
constexpr std::uint32_t widest_lanes = 16;

WeightTableStorage::WeightTableStorage(Geometry geometry, std::uint32_t columns,
                                       std::uint32_t rows, float radius,
                                       float scale, bool cutoff,
                                       bool use_gaussian) {
    const std::size_t stride = 2 * static_cast<std::size_t>(columns) - 1 +
                               widest_lanes;
    const std::size_t row_count = 2 * static_cast<std::size_t>(rows);
    weights_.assign(row_count * stride, 0.0f);
    flags_.assign(row_count, 0);
    for (std::uint32_t dy = 0; dy < rows; ++dy) {
        for (std::uint32_t parity = 0; parity < 2; ++parity) {
            const std::size_t row = 2 * static_cast<std::size_t>(dy) + parity;
            float *weights = weights_.data() + row * stride;
            std::uint8_t flags = 0;
            // A node (|dx|, parity + dy) and a BMU (0, parity): the same
            // axis differences, and the same parity of the lower row, as
            // any pair that this table entry stands for.
            for (std::uint32_t dx = 0; dx < columns; ++dx) {
                const float distance = grid_distance(
                    geometry, dx, parity + dy, 0, parity, columns, rows);
                const float weight = neighbourhood_weight(
                    distance, radius, scale, cutoff, use_gaussian);
                weights[columns - 1 + dx] = weight;
                weights[columns - 1 - dx] = weight;
                if (weight != 0.0f)
                    flags |= row_has_weight;
                if (weight != 0.0f && std::fabs(weight) < tiny_weight)
                    flags |= row_has_tiny_weight;
            }
            flags_[row] = flags;
        }
    }
    table_ = WeightTable{weights_.data(), stride, flags_.data(), columns};
}

bool all_finite(const float *values, std::size_t count) {
    // Bit test rather than std::isfinite so the loop vectorises.
    std::uint32_t exponent_all_ones = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, values + i, sizeof bits);
        exponent_all_ones |= (bits & 0x7f800000u) == 0x7f800000u;
    }
    return exponent_all_ones == 0;
}

bool all_finite(const SparseRow *rows, std::uint32_t row_count) {
    for (std::uint32_t n = 0; n < row_count; ++n)
        for (const SparseEntry *entry = rows[n]; entry->index != -1; ++entry)
            if (!std::isfinite(entry->value))
                return false;
    return true;
}

void transpose_codebook(const float *codebook, std::uint32_t node_count,
                        std::uint32_t dimension, std::uint32_t lanes,
                        float *transposed) {
    const std::uint32_t blocks = (node_count + lanes - 1) / lanes;
    const float padding = std::numeric_limits<float>::quiet_NaN();
    for (std::uint32_t block = 0; block < blocks; ++block) {
        float *out = transposed +
                     static_cast<std::size_t>(block) * dimension * lanes;
        for (std::uint32_t lane = 0; lane < lanes; ++lane) {
            const std::uint32_t node = block * lanes + lane;
            if (node >= node_count) {
                for (std::uint32_t i = 0; i < dimension; ++i)
                    out[static_cast<std::size_t>(i) * lanes + lane] = padding;
                continue;
            }
            const float *in =
                codebook + static_cast<std::size_t>(node) * dimension;
            for (std::uint32_t i = 0; i < dimension; ++i)
                out[static_cast<std::size_t>(i) * lanes + lane] = in[i];
        }
    }
}

} // namespace detail
} // namespace quorvel
