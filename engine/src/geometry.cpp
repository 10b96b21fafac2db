#include "quorvel/geometry.h"

#include <cmath>

namespace quorvel {
namespace {

std::uint32_t absolute_difference(std::uint32_t a, std::uint32_t b) {
    return a > b ? a - b : b - a;
}

// The shorter way round an axis of the given length.
std::uint32_t wrap(std::uint32_t difference, std::uint32_t length) {
    const std::uint32_t other_way = length - difference;
    return difference < other_way ? difference : other_way;
}

// Odd row differences shift the column difference by half a cell: +0.5 when
// the smaller of the two stored row indices is even, -0.5 when it is odd,
// truncated back to a whole number in double precision. The parity is that
// of the stored rows, never of a wrapped difference.
std::uint32_t hex_shift(std::uint32_t dx, std::uint32_t dy, std::uint32_t y1,
                        std::uint32_t y2) {
    if (dy % 2 == 0)
        return dx;
    const std::uint32_t lower_row = y1 < y2 ? y1 : y2;
    const double shift = lower_row % 2 == 1 ? -0.5 : 0.5;
    return static_cast<std::uint32_t>(static_cast<double>(dx) + shift);
}

// The sum wraps around modulo 2^32 like every other step of the distance.
float length(std::uint32_t dx, std::uint32_t dy) {
    const std::uint32_t sum = dx * dx + dy * dy;
    return static_cast<float>(
        std::sqrt(static_cast<double>(static_cast<float>(sum))));
}

} // namespace

float planar_rect_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                           std::uint32_t y2) {
    return length(absolute_difference(x1, x2), absolute_difference(y1, y2));
}

float planar_hex_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                          std::uint32_t y2) {
    const std::uint32_t dy = absolute_difference(y1, y2);
    const std::uint32_t dx = hex_shift(absolute_difference(x1, x2), dy, y1, y2);
    return length(dx, dy);
}

float toroid_rect_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                           std::uint32_t y2, std::uint32_t columns,
                           std::uint32_t rows) {
    return length(wrap(absolute_difference(x1, x2), columns),
                  wrap(absolute_difference(y1, y2), rows));
}

float toroid_hex_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                          std::uint32_t y2, std::uint32_t columns,
                          std::uint32_t rows) {
    const std::uint32_t dy = wrap(absolute_difference(y1, y2), rows);
    const std::uint32_t dx =
        hex_shift(wrap(absolute_difference(x1, x2), columns), dy, y1, y2);
    return length(dx, dy);
}

Geometry select_geometry(const std::string &map_type,
                         const std::string &grid_type) {
    const bool planar = map_type == "planar";
    const bool toroid = map_type == "toroid";
    if (!planar && !toroid)
        return Geometry::collapsed;
    if (grid_type == "rectangular")
        return planar ? Geometry::planar_rect : Geometry::toroid_rect;
    return planar ? Geometry::planar_hex : Geometry::toroid_hex;
}

float grid_distance(Geometry geometry, std::uint32_t x1, std::uint32_t y1,
                    std::uint32_t x2, std::uint32_t y2, std::uint32_t columns,
                    std::uint32_t rows) {
    switch (geometry) {
    case Geometry::planar_rect:
        return planar_rect_distance(x1, y1, x2, y2);
    case Geometry::planar_hex:
        return planar_hex_distance(x1, y1, x2, y2);
    case Geometry::toroid_rect:
        return toroid_rect_distance(x1, y1, x2, y2, columns, rows);
    case Geometry::toroid_hex:
        return toroid_hex_distance(x1, y1, x2, y2, columns, rows);
    case Geometry::collapsed:
        break;
    }
    return 0.0f;
}

float node_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                    std::uint32_t y2, std::uint32_t columns, std::uint32_t rows,
                    std::string map_type, std::string grid_type) {
    return grid_distance(select_geometry(map_type, grid_type), x1, y1, x2, y2,
                         columns, rows);
}

float gaussian_weight(float distance, float radius, float coefficient) {
    const float a = radius + 1.0f;
    const float denominator = ((a + a) * a) / (coefficient * coefficient);
    const float exponent = -(distance * distance) / denominator;
    return static_cast<float>(std::exp(static_cast<double>(exponent)));
}

float bubble_weight(float distance, float radius) {
    return distance > radius ? 0.0f : 1.0f;
}

float neighbourhood_weight(float distance, float radius, float scale,
                           bool cutoff, bool use_gaussian) {
    float weight;
    if (!use_gaussian)
        weight = bubble_weight(distance, radius);
    else if (cutoff && distance > radius)
        weight = 0.0f;
    else
        weight = gaussian_weight(distance, radius, 2.0f);
    return weight * scale;
}

} // namespace quorvel
