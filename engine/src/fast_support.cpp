#include "kernel_support.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace quorvel {
namespace detail {

// The widest vector load of any variant; table rows are padded by this much.
constexpr std::uint32_t widest_lanes = 16;

WeightTableStorage::WeightTableStorage(const Neighbourhood &hood) {
    const std::uint32_t columns = hood.columns, rows = hood.rows;
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
                    hood.geometry, dx, parity + dy, 0, parity, columns, rows);
                const float weight =
                    neighbourhood_weight(distance, hood.radius, hood.scale,
                                         hood.cutoff, hood.use_gaussian);
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

namespace {

// With every data value finite and not negative, all products of one epoch
// share the sign of its weights (or are zero), so the magnitude of a sum of
// them never decreases. A tiny weight (below 2^-100) times a value of at
// most `largest` is at most largest x 2^-100 + 2^-149 after rounding; adding
// p to N gives N back whenever |p| < |N| x 2^-26, which is below half the
// spacing of the floats around N (a quarter of it below a power of two).
// So once |N| exceeds twice the product bound times 2^26, every later
// product with a tiny weight leaves N unchanged and may be skipped.
float settled_magnitude(bool finite, bool non_negative, float largest) {
    if (!finite || !non_negative)
        return std::numeric_limits<float>::infinity();
    return static_cast<float>(static_cast<double>(largest) * 0x1p-73 +
                              0x1p-122);
}

} // namespace

DataSummary summarize(const float *values, std::size_t count) {
    // Bit tests rather than std::isfinite and comparisons, so the loop
    // vectorises: an exponent of all ones is inf or NaN, and a set sign bit
    // with any other bit a negative value (-0 only ever gives zero products).
    std::uint32_t exponent_all_ones = 0;
    std::uint32_t negative = 0;
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, values + i, sizeof bits);
        exponent_all_ones |= (bits & 0x7f800000u) == 0x7f800000u;
        negative |= bits > 0x80000000u;
        // Magnitudes of finite floats order as their bits.
        const std::uint32_t magnitude = bits & 0x7fffffffu;
        largest = magnitude > largest ? magnitude : largest;
    }
    float largest_value;
    std::memcpy(&largest_value, &largest, sizeof largest_value);
    return DataSummary{exponent_all_ones == 0,
                       settled_magnitude(exponent_all_ones == 0,
                                         negative == 0, largest_value)};
}

DataSummary summarize(const SparseRow *rows, std::uint32_t row_count) {
    bool finite = true;
    bool non_negative = true;
    float largest = 0.0f;
    for (std::uint32_t n = 0; n < row_count; ++n) {
        for (const SparseEntry *entry = rows[n]; entry->index != -1;
             ++entry) {
            const float value = entry->value;
            finite = finite && std::isfinite(value);
            non_negative = non_negative && !(value < 0.0f);
            largest = value > largest ? value : largest;
        }
    }
    return DataSummary{finite,
                       settled_magnitude(finite, non_negative, largest)};
}

void transpose_codebook(const float *codebook, std::uint32_t node_count,
                        std::uint32_t dimension, std::uint32_t lanes,
                        float *transposed) {
    const std::uint32_t blocks = (node_count + lanes - 1) / lanes;
    const float padding = std::numeric_limits<float>::quiet_NaN();
    // A stretch of components at a time, so that the block's rows being
    // written stay in cache while each node's values are read in turn.
    constexpr std::uint32_t stretch = 256;
    for (std::uint32_t block = 0; block < blocks; ++block) {
        float *out = transposed +
                     static_cast<std::size_t>(block) * dimension * lanes;
        for (std::uint32_t begin = 0; begin < dimension; begin += stretch) {
            const std::uint32_t end = std::min(dimension - begin, stretch) + begin;
            for (std::uint32_t lane = 0; lane < lanes; ++lane) {
                const std::uint32_t node = block * lanes + lane;
                if (node >= node_count) {
                    for (std::uint32_t i = begin; i < end; ++i)
                        out[static_cast<std::size_t>(i) * lanes + lane] = padding;
                    continue;
                }
                const float *in =
                    codebook + static_cast<std::size_t>(node) * dimension;
                for (std::uint32_t i = begin; i < end; ++i)
                    out[static_cast<std::size_t>(i) * lanes + lane] = in[i];
            }
        }
    }
}

} // namespace detail
} // namespace quorvel
