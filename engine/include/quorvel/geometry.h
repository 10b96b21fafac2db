// Grid geometry and neighbourhood weights shared by the epoch kernels and the
// U-matrix. All functions are pure and safe to call from any thread.
#ifndef QUORVEL_GEOMETRY_H
#define QUORVEL_GEOMETRY_H

#include <cstdint>
#include <string>

namespace quorvel {

// Grid distances between node (x1, y1) and node (x2, y2). Axis differences,
// wrap-around and the hexagonal half-cell shift are unsigned 32-bit integer
// arithmetic; only the final square root is floating point.
float planar_rect_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                           std::uint32_t y2);
float planar_hex_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                          std::uint32_t y2);
float toroid_rect_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                           std::uint32_t y2, std::uint32_t columns,
                           std::uint32_t rows);
float toroid_hex_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                          std::uint32_t y2, std::uint32_t columns,
                          std::uint32_t rows);

// The distance variant that a map text and a grid text select. Texts are
// compared once per call of a kernel, never inside its loops.
enum class Geometry {
    planar_rect,
    planar_hex,
    toroid_rect,
    toroid_hex,
    // An unrecognised map text: every pair of nodes is at distance 0.
    collapsed,
};

Geometry select_geometry(const std::string &map_type,
                         const std::string &grid_type);

float grid_distance(Geometry geometry, std::uint32_t x1, std::uint32_t y1,
                    std::uint32_t x2, std::uint32_t y2, std::uint32_t columns,
                    std::uint32_t rows);

// "rectangular" selects the rectangular grid, any other text the hexagonal
// one; "planar" and "toroid" select the map kind, any other text makes every
// distance 0.0. Comparisons are exact and case-sensitive.
float node_distance(std::uint32_t x1, std::uint32_t y1, std::uint32_t x2,
                    std::uint32_t y2, std::uint32_t columns, std::uint32_t rows,
                    std::string map_type, std::string grid_type);

// exp(-(d * d) / ((a + a) * a / (c * c))) with a = r + 1, in float; the
// exponential is taken in double on the widened argument.
float gaussian_weight(float distance, float radius, float coefficient);

// 1 within the radius (inclusive), 0 beyond it.
float bubble_weight(float distance, float radius);

// The weight of one node for one vector, already multiplied by the scale.
float neighbourhood_weight(float distance, float radius, float scale,
                           bool cutoff, bool use_gaussian);

} // namespace quorvel

#endif
