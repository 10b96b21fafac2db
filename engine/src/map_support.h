// Pieces shared by the map entry points of quorvel/map.h.
#ifndef QUORVEL_MAP_SUPPORT_H
#define QUORVEL_MAP_SUPPORT_H

#include "quorvel/map.h"

#include <cmath>
#include <cstdint>

namespace quorvel {
namespace detail {

// The squared grid distance from a node in a row of parity `parity` to the
// node dx columns and dy rows away (before any wrapping).
double offset_distance_squared(const MapShape &shape, std::int64_t dx,
                               std::int64_t dy, std::uint32_t parity);

// The integer nearest to value (ties to even), for |value| < 2^63. Adding and
// removing 2^52 rounds a smaller magnitude to a whole number in the default
// rounding mode; from 2^52 up every double is whole already. Written out so
// that it vectorises, where a call of nearbyint would not.
inline std::int64_t nearest_integer(double value) {
    if (std::fabs(value) < 0x1p52) {
        const double shift = value < 0.0 ? -0x1p52 : 0x1p52;
        value = (value + shift) - shift;
    }
    return static_cast<std::int64_t>(value);
}

} // namespace detail
} // namespace quorvel

#endif
