#include "quorvel/engine.h"

#include "quorvel/schedule.h"
#include "quorvel/umatrix.h"

#include <utility>

namespace quorvel {

void train(const float *data, std::int64_t /*data_length*/,
           std::uint32_t epoch_count, std::uint32_t columns, std::uint32_t rows,
           std::uint32_t dimension, std::uint32_t vector_count,
           std::uint32_t radius_start, std::uint32_t radius_end,
           std::string radius_cooling, float scale_start, float scale_end,
           std::string scale_cooling, std::uint32_t kernel_type,
           std::string map_type, std::string grid_type, bool cutoff,
           bool use_gaussian, float *codebook, std::int64_t /*codebook_length*/,
           std::int32_t *bmus, std::int64_t /*bmus_length*/, float *umatrix,
           std::int64_t /*umatrix_length*/) {
    run_epochs(data, codebook, bmus,
               {epoch_count, columns, rows, dimension, vector_count,
                radius_start, radius_end, std::move(radius_cooling),
                scale_start, scale_end, std::move(scale_cooling), kernel_type,
                map_type, grid_type, cutoff, use_gaussian});
    compute_umatrix(umatrix, codebook, columns, rows, dimension,
                    std::move(map_type), std::move(grid_type));
}

} // namespace quorvel
