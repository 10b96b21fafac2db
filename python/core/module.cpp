// quorvel._core: the package's native layer over the engine's map entry
// points (quorvel/map.h). It only converts: arrays arrive checked for dtype,
// shape and layout at the boundary, outputs are allocated by the Python side
// and filled in place, the interpreter lock is released around every engine
// call (which touches no Python object), and engine exceptions become Python
// ones (std::bad_alloc MemoryError, std::invalid_argument ValueError, other
// std::exception RuntimeError, through nanobind's translators).
#include "quorvel/map.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <omp.h>

#include <cstdint>
#include <stdexcept>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

template <class T>
using Matrix = nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
template <class T>
using Vector = nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

quorvel::Grid core_grid(const std::string &grid) {
    if (grid == "rectangular")
        return quorvel::Grid::rectangular;
    if (grid == "hexagonal")
        return quorvel::Grid::hexagonal;
    throw nb::value_error(("unknown grid '" + grid + "'").c_str());
}

quorvel::Topology core_topology(const std::string &topology) {
    if (topology == "planar")
        return quorvel::Topology::planar;
    if (topology == "toroid")
        return quorvel::Topology::toroid;
    throw nb::value_error(("unknown topology '" + topology + "'").c_str());
}

quorvel::NeighbourhoodKind core_kind(const std::string &kind) {
    if (kind == "gaussian")
        return quorvel::NeighbourhoodKind::gaussian;
    if (kind == "bubble")
        return quorvel::NeighbourhoodKind::bubble;
    if (kind == "cut_gaussian")
        return quorvel::NeighbourhoodKind::cut_gaussian;
    throw nb::value_error(("unknown neighbourhood '" + kind + "'").c_str());
}

void core_require(bool condition, const char *message) {
    if (!condition)
        throw nb::value_error(message);
}

// The map of a codebook of shape (rows * columns, dimension).
quorvel::MapShape core_shape(const Matrix<const float> &codebook,
                             std::uint32_t columns, std::uint32_t rows,
                             const std::string &grid,
                             const std::string &topology) {
    const quorvel::MapShape shape{columns, rows,
                                  static_cast<std::uint32_t>(codebook.shape(1)),
                                  core_grid(grid), core_topology(topology)};
    core_require(codebook.shape(1) <= 0x7fffffffu &&
                     quorvel::map_shape_fits(shape),
                 "the map is empty or too large");
    core_require(codebook.shape(0) == shape.node_count(),
                 "the codebook must have rows * columns vectors");
    return shape;
}

int core_threads(int threads) {
    core_require(threads >= 1, "threads must be at least 1");
    return threads;
}

quorvel::DenseRows core_dense(const quorvel::MapShape &shape,
                              const Matrix<const float> &data) {
    core_require(data.shape(1) == shape.dimension,
                 "the data and the codebook differ in their feature count");
    return {data.data(), data.shape(0)};
}

// A CSR matrix as three arrays; indices must be valid for the feature count
// and indptr non-decreasing, which is checked here because the engine reads
// through them unchecked.
quorvel::CsrRows core_csr(const quorvel::MapShape &shape,
                          const Vector<const float> &values,
                          const Vector<const std::int32_t> &indices,
                          const Vector<const std::int64_t> &indptr) {
    core_require(indptr.shape(0) >= 1, "indptr must not be empty");
    core_require(values.shape(0) == indices.shape(0),
                 "values and indices differ in length");
    const std::size_t row_count = indptr.shape(0) - 1;
    const std::int64_t *pointers = indptr.data();
    core_require(pointers[0] == 0, "indptr must start at 0");
    for (std::size_t n = 0; n < row_count; ++n)
        core_require(pointers[n] <= pointers[n + 1],
                     "indptr must not decrease");
    core_require(static_cast<std::size_t>(pointers[row_count]) ==
                     values.shape(0),
                 "indptr must end at the number of stored values");
    const std::int32_t *columns = indices.data();
    for (std::size_t n = 0; n < row_count; ++n)
        for (std::int64_t e = pointers[n]; e < pointers[n + 1]; ++e)
            core_require(columns[e] >= 0 &&
                             static_cast<std::uint32_t>(columns[e]) <
                                 shape.dimension &&
                             (e == pointers[n] || columns[e - 1] < columns[e]),
                         "indices must be sorted, distinct and within the "
                         "feature count in every row");
    return {values.data(), columns, pointers, row_count};
}

template <class Rows>
void core_find_bmus(const quorvel::MapShape &shape,
                    const Matrix<const float> &codebook, Rows rows,
                    Vector<std::int32_t> nodes,
                    std::optional<Vector<float>> distances,
                    std::optional<Vector<std::int32_t>> seconds,
                    std::optional<Vector<float>> second_distances,
                    int threads) {
    core_require(nodes.shape(0) == rows.count, "nodes must have one per row");
    quorvel::BmuResults results{nodes.data()};
    if (distances) {
        core_require(distances->shape(0) == rows.count,
                     "distances must have one per row");
        results.distances = distances->data();
    }
    core_require(seconds.has_value() == second_distances.has_value(),
                 "seconds and second_distances come together");
    if (seconds) {
        core_require(seconds->shape(0) == rows.count &&
                         second_distances->shape(0) == rows.count,
                     "seconds must have one per row");
        results.seconds = seconds->data();
        results.second_distances = second_distances->data();
    }
    nb::gil_scoped_release release;
    quorvel::find_bmus(shape, codebook.data(), rows, results, threads);
}

template <class Rows>
void core_node_distances(const quorvel::MapShape &shape,
                         const Matrix<const float> &codebook, Rows rows,
                         Matrix<float> out, int threads) {
    core_require(out.shape(0) == rows.count &&
                     out.shape(1) == shape.node_count(),
                 "out must have shape (rows of data, nodes)");
    nb::gil_scoped_release release;
    quorvel::node_distances(shape, codebook.data(), rows, out.data(), threads);
}

template <class Rows>
void core_accumulate(const quorvel::MapShape &shape,
                     const Matrix<const float> &codebook, Rows rows,
                     const Vector<const std::int32_t> &exponents,
                     std::int32_t error_exponent, std::uint64_t rows_in_total,
                     Matrix<std::int64_t> sums, Vector<std::int64_t> counts,
                     Vector<std::int64_t> totals,
                     std::optional<Vector<std::int32_t>> bmus, int threads) {
    core_require(exponents.shape(0) == shape.dimension,
                 "exponents must have one per feature");
    core_require(sums.shape(0) == shape.node_count() &&
                     sums.shape(1) == shape.dimension,
                 "sums must have shape (nodes, features)");
    core_require(counts.shape(0) == shape.node_count(),
                 "counts must have one per node");
    core_require(totals.shape(0) == 2, "totals must have two values");
    core_require(rows_in_total >= rows.count,
                 "rows_in_total must count these rows");
    std::int32_t *bmu_data = nullptr;
    if (bmus) {
        core_require(bmus->shape(0) == rows.count, "bmus must have one per row");
        bmu_data = bmus->data();
    }
    const quorvel::NodeSums node_sums{sums.data(),     counts.data(),
                                      exponents.data(), error_exponent,
                                      rows_in_total,    totals.data(),
                                      totals.data() + 1};
    nb::gil_scoped_release release;
    quorvel::accumulate(shape, codebook.data(), rows, node_sums, bmu_data,
                        threads);
}

// ---------------------------------------------------------------------------
// Missing values: the engine's masked entry points (NaN marks a missing
// value), converted as the ones above.

template <class Rows>
void core_find_bmus_missing(const quorvel::MapShape &shape,
                            const Matrix<const float> &codebook, Rows rows,
                            std::uint32_t most_missing,
                            Vector<std::int32_t> nodes,
                            std::optional<Vector<float>> distances,
                            std::optional<Vector<std::int32_t>> seconds,
                            std::optional<Vector<float>> second_distances,
                            int threads) {
    core_require(nodes.shape(0) == rows.count, "nodes must have one per row");
    quorvel::BmuResults results{nodes.data()};
    if (distances) {
        core_require(distances->shape(0) == rows.count,
                     "distances must have one per row");
        results.distances = distances->data();
    }
    core_require(seconds.has_value() == second_distances.has_value(),
                 "seconds and second_distances come together");
    if (seconds) {
        core_require(seconds->shape(0) == rows.count &&
                         second_distances->shape(0) == rows.count,
                     "seconds must have one per row");
        results.seconds = seconds->data();
        results.second_distances = second_distances->data();
    }
    nb::gil_scoped_release release;
    quorvel::find_bmus_missing(shape, codebook.data(), rows, most_missing,
                               results, threads);
}

template <class Rows>
void core_node_distances_missing(const quorvel::MapShape &shape,
                                 const Matrix<const float> &codebook,
                                 Rows rows, std::uint32_t most_missing,
                                 Matrix<float> out, int threads) {
    core_require(out.shape(0) == rows.count &&
                     out.shape(1) == shape.node_count(),
                 "out must have shape (rows of data, nodes)");
    nb::gil_scoped_release release;
    quorvel::node_distances_missing(shape, codebook.data(), rows, most_missing,
                                    out.data(), threads);
}

template <class Rows>
void core_accumulate_missing(
    const quorvel::MapShape &shape, const Matrix<const float> &codebook,
    Rows rows, std::uint32_t most_missing,
    const Vector<const std::int32_t> &exponents, std::int32_t error_exponent,
    std::uint64_t rows_in_total, Matrix<std::int64_t> sums,
    Matrix<std::int64_t> observed, Vector<std::int64_t> counts,
    Vector<std::int64_t> totals, std::optional<Vector<std::int32_t>> bmus,
    int threads) {
    core_require(exponents.shape(0) == shape.dimension,
                 "exponents must have one per feature");
    core_require(sums.shape(0) == shape.node_count() &&
                     sums.shape(1) == shape.dimension &&
                     observed.shape(0) == shape.node_count() &&
                     observed.shape(1) == shape.dimension,
                 "sums and observed must have shape (nodes, features)");
    core_require(counts.shape(0) == shape.node_count(),
                 "counts must have one per node");
    core_require(totals.shape(0) == 2, "totals must have two values");
    core_require(rows_in_total >= rows.count,
                 "rows_in_total must count these rows");
    std::int32_t *bmu_data = nullptr;
    if (bmus) {
        core_require(bmus->shape(0) == rows.count, "bmus must have one per row");
        bmu_data = bmus->data();
    }
    const quorvel::MissingSums missing_sums{
        sums.data(),    observed.data(), counts.data(),    exponents.data(),
        error_exponent, rows_in_total,   totals.data(),    totals.data() + 1};
    nb::gil_scoped_release release;
    quorvel::accumulate_missing(shape, codebook.data(), rows, most_missing,
                                missing_sums, bmu_data, threads);
}

} // namespace

NB_MODULE(_core, m) {
    m.doc() = "The native layer of quorvel: conversions around the engine.";

    m.def("kernel_variant", &quorvel::kernel_variant,
          "The instruction set of the fast kernels chosen for this CPU.");
    m.def("max_threads", []() { return omp_get_max_threads(); },
          "The OpenMP runtime's default team size for this process.");
    m.def("choose_exponent", &quorvel::choose_exponent, "largest"_a,
          "rows_in_total"_a);

    m.def(
        "find_bmus",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, Matrix<const float> data,
           Vector<std::int32_t> nodes, std::optional<Vector<float>> distances,
           std::optional<Vector<std::int32_t>> seconds,
           std::optional<Vector<float>> second_distances, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            core_find_bmus(shape, codebook, core_dense(shape, data), nodes,
                           distances, seconds, second_distances,
                           core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a, "data"_a,
        "nodes"_a, "distances"_a.none(), "seconds"_a.none(),
        "second_distances"_a.none(), "threads"_a);
    m.def(
        "find_bmus_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           Vector<std::int32_t> nodes, std::optional<Vector<float>> distances,
           std::optional<Vector<std::int32_t>> seconds,
           std::optional<Vector<float>> second_distances, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            core_find_bmus(shape, codebook,
                           core_csr(shape, values, indices, indptr), nodes,
                           distances, seconds, second_distances,
                           core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a,
        "values"_a, "indices"_a, "indptr"_a, "nodes"_a, "distances"_a.none(),
        "seconds"_a.none(), "second_distances"_a.none(), "threads"_a);

    m.def(
        "node_distances",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Matrix<const float> data, Matrix<float> out,
           int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_node_distances(shape, codebook, core_dense(shape, data), out,
                                core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "data"_a, "out"_a, "threads"_a);
    m.def(
        "node_distances_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           Matrix<float> out, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_node_distances(shape, codebook,
                                core_csr(shape, values, indices, indptr), out,
                                core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "values"_a, "indices"_a,
        "indptr"_a, "out"_a, "threads"_a);

    m.def(
        "accumulate",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Matrix<const float> data,
           Vector<const std::int32_t> exponents, std::int32_t error_exponent,
           std::uint64_t rows_in_total, Matrix<std::int64_t> sums,
           Vector<std::int64_t> counts, Vector<std::int64_t> totals,
           std::optional<Vector<std::int32_t>> bmus, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_accumulate(shape, codebook, core_dense(shape, data), exponents,
                            error_exponent, rows_in_total, sums, counts, totals,
                            bmus, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "data"_a, "exponents"_a,
        "error_exponent"_a, "rows_in_total"_a, "sums"_a, "counts"_a,
        "totals"_a, "bmus"_a.none(), "threads"_a);
    m.def(
        "accumulate_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           Vector<const std::int32_t> exponents, std::int32_t error_exponent,
           std::uint64_t rows_in_total, Matrix<std::int64_t> sums,
           Vector<std::int64_t> counts, Vector<std::int64_t> totals,
           std::optional<Vector<std::int32_t>> bmus, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_accumulate(shape, codebook,
                            core_csr(shape, values, indices, indptr), exponents,
                            error_exponent, rows_in_total, sums, counts, totals,
                            bmus, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "values"_a, "indices"_a,
        "indptr"_a, "exponents"_a, "error_exponent"_a, "rows_in_total"_a,
        "sums"_a, "counts"_a, "totals"_a, "bmus"_a.none(), "threads"_a);

    m.def(
        "apply_neighbourhood",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, const std::string &kind, double sigma,
           Matrix<const std::int64_t> sums, Vector<const std::int64_t> counts,
           Vector<const std::int32_t> exponents, Matrix<float> out,
           std::uint32_t begin, std::uint32_t end, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            const quorvel::MapNeighbourhood hood{core_kind(kind), sigma};
            core_require(sigma > 0.0, "sigma must be positive");
            core_require(sums.shape(0) == shape.node_count() &&
                             sums.shape(1) == shape.dimension &&
                             counts.shape(0) == shape.node_count() &&
                             exponents.shape(0) == shape.dimension,
                         "sums, counts and exponents must fit the codebook");
            core_require(out.shape(0) == shape.node_count() &&
                             out.shape(1) == shape.dimension,
                         "out must have the codebook's shape");
            core_require(begin <= end && end <= shape.node_count(),
                         "begin and end must be a range of nodes");
            core_require(out.data() != codebook.data(),
                         "out must not be the codebook");
            const int team = core_threads(threads);
            nb::gil_scoped_release release;
            quorvel::apply_neighbourhood(shape, hood, sums.data(),
                                         counts.data(), exponents.data(),
                                         codebook.data(), out.data(), begin,
                                         end, team);
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a, "kind"_a,
        "sigma"_a, "sums"_a, "counts"_a, "exponents"_a, "out"_a, "begin"_a,
        "end"_a, "threads"_a);

    m.def(
        "umatrix",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, Vector<float> out, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            core_require(out.shape(0) == shape.node_count(),
                         "out must have one value per node");
            const int team = core_threads(threads);
            nb::gil_scoped_release release;
            quorvel::map_umatrix(shape, codebook.data(), out.data(), team);
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a, "out"_a,
        "threads"_a);

    m.def(
        "grid_distances_squared",
        [](std::uint32_t columns, std::uint32_t rows, const std::string &grid,
           const std::string &topology, Vector<const std::int64_t> a,
           Vector<const std::int64_t> b, Vector<double> out) {
            const quorvel::MapShape shape{columns, rows, 0, core_grid(grid),
                                          core_topology(topology)};
            core_require(quorvel::map_shape_fits(shape),
                         "the map is empty or too large");
            core_require(a.shape(0) == b.shape(0) && out.shape(0) == a.shape(0),
                         "a, b and out must have the same length");
            const std::int64_t nodes = shape.node_count();
            for (std::size_t i = 0; i < a.shape(0); ++i)
                core_require(a.data()[i] >= 0 && a.data()[i] < nodes &&
                                 b.data()[i] >= 0 && b.data()[i] < nodes,
                             "node indices must be on the map");
            nb::gil_scoped_release release;
            for (std::size_t i = 0; i < a.shape(0); ++i)
                out.data()[i] = quorvel::grid_distance_squared(
                    shape, static_cast<std::uint32_t>(a.data()[i]),
                    static_cast<std::uint32_t>(b.data()[i]));
        },
        "columns"_a, "rows"_a, "grid"_a, "topology"_a, "a"_a, "b"_a, "out"_a);

    // -----------------------------------------------------------------------
    // Missing values (NaN marks a missing value; see quorvel/map.h).
    m.def("missing_limit", &quorvel::missing_limit, "max_missing"_a,
          "dimension"_a,
          "The most missing values a row may have under a fraction.");
    m.def(
        "find_bmus_missing",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, Matrix<const float> data,
           std::uint32_t most_missing, Vector<std::int32_t> nodes,
           std::optional<Vector<float>> distances,
           std::optional<Vector<std::int32_t>> seconds,
           std::optional<Vector<float>> second_distances, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            core_find_bmus_missing(shape, codebook, core_dense(shape, data),
                                   most_missing, nodes, distances, seconds,
                                   second_distances, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a, "data"_a,
        "most_missing"_a, "nodes"_a, "distances"_a.none(), "seconds"_a.none(),
        "second_distances"_a.none(), "threads"_a);
    m.def(
        "find_bmus_missing_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           std::uint32_t most_missing, Vector<std::int32_t> nodes,
           std::optional<Vector<float>> distances,
           std::optional<Vector<std::int32_t>> seconds,
           std::optional<Vector<float>> second_distances, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            core_find_bmus_missing(shape, codebook,
                                   core_csr(shape, values, indices, indptr),
                                   most_missing, nodes, distances, seconds,
                                   second_distances, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a,
        "values"_a, "indices"_a, "indptr"_a, "most_missing"_a, "nodes"_a,
        "distances"_a.none(), "seconds"_a.none(), "second_distances"_a.none(),
        "threads"_a);
    m.def(
        "node_distances_missing",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Matrix<const float> data,
           std::uint32_t most_missing, Matrix<float> out, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_node_distances_missing(shape, codebook,
                                        core_dense(shape, data), most_missing,
                                        out, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "data"_a, "most_missing"_a,
        "out"_a, "threads"_a);
    m.def(
        "node_distances_missing_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           std::uint32_t most_missing, Matrix<float> out, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_node_distances_missing(
                shape, codebook, core_csr(shape, values, indices, indptr),
                most_missing, out, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "values"_a, "indices"_a,
        "indptr"_a, "most_missing"_a, "out"_a, "threads"_a);
    m.def(
        "accumulate_missing",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Matrix<const float> data,
           std::uint32_t most_missing, Vector<const std::int32_t> exponents,
           std::int32_t error_exponent, std::uint64_t rows_in_total,
           Matrix<std::int64_t> sums, Matrix<std::int64_t> observed,
           Vector<std::int64_t> counts, Vector<std::int64_t> totals,
           std::optional<Vector<std::int32_t>> bmus, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_accumulate_missing(shape, codebook, core_dense(shape, data),
                                    most_missing, exponents, error_exponent,
                                    rows_in_total, sums, observed, counts,
                                    totals, bmus, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "data"_a, "most_missing"_a,
        "exponents"_a, "error_exponent"_a, "rows_in_total"_a, "sums"_a,
        "observed"_a, "counts"_a, "totals"_a, "bmus"_a.none(), "threads"_a);
    m.def(
        "accumulate_missing_csr",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, Vector<const float> values,
           Vector<const std::int32_t> indices, Vector<const std::int64_t> indptr,
           std::uint32_t most_missing, Vector<const std::int32_t> exponents,
           std::int32_t error_exponent, std::uint64_t rows_in_total,
           Matrix<std::int64_t> sums, Matrix<std::int64_t> observed,
           Vector<std::int64_t> counts, Vector<std::int64_t> totals,
           std::optional<Vector<std::int32_t>> bmus, int threads) {
            const auto shape =
                core_shape(codebook, columns, rows, "rectangular", "planar");
            core_accumulate_missing(
                shape, codebook, core_csr(shape, values, indices, indptr),
                most_missing, exponents, error_exponent, rows_in_total, sums,
                observed, counts, totals, bmus, core_threads(threads));
        },
        "codebook"_a, "columns"_a, "rows"_a, "values"_a, "indices"_a,
        "indptr"_a, "most_missing"_a, "exponents"_a, "error_exponent"_a,
        "rows_in_total"_a, "sums"_a, "observed"_a, "counts"_a, "totals"_a,
        "bmus"_a.none(), "threads"_a);
    m.def(
        "apply_neighbourhood_missing",
        [](Matrix<const float> codebook, std::uint32_t columns,
           std::uint32_t rows, const std::string &grid,
           const std::string &topology, const std::string &kind, double sigma,
           Matrix<const std::int64_t> sums, Matrix<const std::int64_t> observed,
           Vector<const std::int32_t> exponents, Matrix<float> out,
           std::uint32_t begin, std::uint32_t end, int threads) {
            const auto shape = core_shape(codebook, columns, rows, grid, topology);
            const quorvel::MapNeighbourhood hood{core_kind(kind), sigma};
            core_require(sigma > 0.0, "sigma must be positive");
            core_require(sums.shape(0) == shape.node_count() &&
                             sums.shape(1) == shape.dimension &&
                             observed.shape(0) == shape.node_count() &&
                             observed.shape(1) == shape.dimension &&
                             exponents.shape(0) == shape.dimension,
                         "sums, observed and exponents must fit the codebook");
            core_require(out.shape(0) == shape.node_count() &&
                             out.shape(1) == shape.dimension,
                         "out must have the codebook's shape");
            core_require(begin <= end && end <= shape.node_count(),
                         "begin and end must be a range of nodes");
            core_require(out.data() != codebook.data(),
                         "out must not be the codebook");
            const int team = core_threads(threads);
            nb::gil_scoped_release release;
            quorvel::apply_neighbourhood_missing(
                shape, hood, sums.data(), observed.data(), exponents.data(),
                codebook.data(), out.data(), begin, end, team);
        },
        "codebook"_a, "columns"_a, "rows"_a, "grid"_a, "topology"_a, "kind"_a,
        "sigma"_a, "sums"_a, "observed"_a, "exponents"_a, "out"_a, "begin"_a,
        "end"_a, "threads"_a);
}
