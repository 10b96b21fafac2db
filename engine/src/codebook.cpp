#include "quorvel/schedule.h"

#include <cstddef>
#include <cstdlib>

namespace quorvel {

bool codebook_is_unset(const float *codebook, std::uint32_t columns,
                       std::uint32_t rows, std::uint32_t dimension) {
    if (columns == 0 || rows == 0 || dimension == 0)
        return false;
    // A single value is never the marker: its second value does not exist.
    if (columns == 1 && rows == 1 && dimension == 1)
        return false;
    return codebook[0] == 1000.0f && codebook[1] == 2000.0f;
}

void seed_codebook(float *codebook, std::uint32_t columns, std::uint32_t rows,
                   std::uint32_t dimension) {
    // Drawn on the calling thread in memory order: rand() shares one state
    // between threads, so a parallel fill would depend on scheduling.
    std::srand(0);
    const std::size_t count = static_cast<std::size_t>(columns) * rows *
                              static_cast<std::size_t>(dimension);
    for (std::size_t i = 0; i < count; ++i) {
        const int centred = (std::rand() & 4095) - 2048;
        // Multiplying by 2^-12 is the exact division by 4096.
        codebook[i] = static_cast<float>(centred) * 0x1p-12f;
    }
}

} // namespace quorvel
