// quorvel._core: the package's native layer over the engine's map entry
// points (quorvel/map.h). It only converts: arrays arrive checked for dtype,
// shape and layout at the boundary, outputs are allocated by the Python side
// and filled in place, the interpreter lock is released around every engine
// call (which touches no Python object), and engine exceptions become Python
// ones (std::bad_alloc MemoryError, std::invalid_argument ValueError, other
// std::exception RuntimeError, through nanobind's translators).
//
// The row operations (find_bmus, node_distances, accumulate) are one
// template each over the arrays of the rows, registered twice under one name:
// dense rows are one matrix, CSR rows three vectors, so the two overloads
// differ in their argument count and a call matches exactly one of them.
// most_missing None selects the engine's complete kernels, an int its
// missing-value kernels (NaN marks a missing value) under that limit.
#include "quorvel/map.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <omp.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

namespace nb = nanobind;
using namespace nb::literals;

namespace {

template <class T>
using Matrix = nb::ndarray<T, nb::ndim<2>, nb::c_contig, nb::device::cpu>;
template <class T>
using Vector = nb::ndarray<T, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// The arrays of each row kind, as the row operations take them.
using DenseData = Matrix<const float>;
using CsrValues = Vector<const float>;
using CsrIndices = Vector<const std::int32_t>;
using CsrIndptr = Vector<const std::int64_t>;

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

quorvel::DenseRows core_rows(const quorvel::MapShape &shape,
                             const DenseData &data) {
    core_require(data.shape(1) == shape.dimension,
                 "the data and the codebook differ in their feature count");
    return {data.data(), data.shape(0)};
}

// A CSR matrix as three arrays; indices must be valid for the feature count
// and indptr non-decreasing, which is checked here because the engine reads
// through them unchecked.
quorvel::CsrRows core_rows(const quorvel::MapShape &shape,
                           const CsrValues &values, const CsrIndices &indices,
                           const CsrIndptr &indptr) {
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

template <class... RowArrays>
void core_find_bmus(Matrix<const float> codebook, std::uint32_t columns,
                    std::uint32_t rows, const std::string &grid,
                    const std::string &topology, RowArrays... row_arrays,
                    std::optional<std::uint32_t> most_missing,
                    Vector<std::int32_t> nodes,
                    std::optional<Vector<float>> distances,
                    std::optional<Vector<std::int32_t>> runner_ups,
                    std::optional<Vector<float>> runner_up_distances,
                    int threads) {
    const auto shape = core_shape(codebook, columns, rows, grid, topology);
    const auto data = core_rows(shape, row_arrays...);
    const int team = core_threads(threads);
    core_require(nodes.shape(0) == data.count, "nodes must have one per row");
    quorvel::BmuResults results{nodes.data()};
    if (distances) {
        core_require(distances->shape(0) == data.count,
                     "distances must have one per row");
        results.distances = distances->data();
    }
    core_require(runner_ups.has_value() == runner_up_distances.has_value(),
                 "runner_ups and runner_up_distances come together");
    if (runner_ups) {
        core_require(runner_ups->shape(0) == data.count &&
                         runner_up_distances->shape(0) == data.count,
                     "runner_ups and runner_up_distances must have one per "
                     "row");
        results.seconds = runner_ups->data();
        results.second_distances = runner_up_distances->data();
    }
    nb::gil_scoped_release release;
    if (most_missing)
        quorvel::find_bmus_missing(shape, codebook.data(), data, *most_missing,
                                   results, team);
    else
        quorvel::find_bmus(shape, codebook.data(), data, results, team);
}

template <class... RowArrays>
void core_node_distances(Matrix<const float> codebook, std::uint32_t columns,
                         std::uint32_t rows, const std::string &grid,
                         const std::string &topology, RowArrays... row_arrays,
                         std::optional<std::uint32_t> most_missing,
                         Matrix<float> out, int threads) {
    const auto shape = core_shape(codebook, columns, rows, grid, topology);
    const auto data = core_rows(shape, row_arrays...);
    const int team = core_threads(threads);
    core_require(out.shape(0) == data.count &&
                     out.shape(1) == shape.node_count(),
                 "out must have shape (rows of data, nodes)");
    nb::gil_scoped_release release;
    if (most_missing)
        quorvel::node_distances_missing(shape, codebook.data(), data,
                                        *most_missing, out.data(), team);
    else
        quorvel::node_distances(shape, codebook.data(), data, out.data(),
                                team);
}

// observed is the per-feature weight of the missing-value sums: given
// exactly when most_missing is.
template <class... RowArrays>
void core_accumulate(Matrix<const float> codebook, std::uint32_t columns,
                     std::uint32_t rows, const std::string &grid,
                     const std::string &topology, RowArrays... row_arrays,
                     std::optional<std::uint32_t> most_missing,
                     Vector<const std::int32_t> exponents,
                     std::int32_t error_exponent, std::uint64_t rows_in_total,
                     Matrix<std::int64_t> sums,
                     std::optional<Matrix<std::int64_t>> observed,
                     Vector<std::int64_t> counts, Vector<std::int64_t> totals,
                     std::optional<Vector<std::int32_t>> bmus, int threads) {
    const auto shape = core_shape(codebook, columns, rows, grid, topology);
    const auto data = core_rows(shape, row_arrays...);
    const int team = core_threads(threads);
    core_require(exponents.shape(0) == shape.dimension,
                 "exponents must have one per feature");
    core_require(sums.shape(0) == shape.node_count() &&
                     sums.shape(1) == shape.dimension,
                 "sums must have shape (nodes, features)");
    core_require(observed.has_value() == most_missing.has_value(),
                 "observed must be given exactly when most_missing is");
    if (observed)
        core_require(observed->shape(0) == shape.node_count() &&
                         observed->shape(1) == shape.dimension,
                     "observed must have shape (nodes, features)");
    core_require(counts.shape(0) == shape.node_count(),
                 "counts must have one per node");
    core_require(totals.shape(0) == 2, "totals must have two values");
    core_require(rows_in_total >= data.count,
                 "rows_in_total must count these rows");
    std::int32_t *bmu_data = nullptr;
    if (bmus) {
        core_require(bmus->shape(0) == data.count, "bmus must have one per row");
        bmu_data = bmus->data();
    }
    if (most_missing) {
        const quorvel::MissingSums missing_sums{
            sums.data(),    observed->data(), counts.data(), exponents.data(),
            error_exponent, rows_in_total,    totals.data(), totals.data() + 1};
        nb::gil_scoped_release release;
        quorvel::accumulate_missing(shape, codebook.data(), data,
                                    *most_missing, missing_sums, bmu_data,
                                    team);
        return;
    }
    const quorvel::NodeSums node_sums{sums.data(),     counts.data(),
                                      exponents.data(), error_exponent,
                                      rows_in_total,    totals.data(),
                                      totals.data() + 1};
    nb::gil_scoped_release release;
    quorvel::accumulate(shape, codebook.data(), data, node_sums, bmu_data,
                        team);
}

// observed None: the complete update, weighted by counts; observed given:
// the missing-value update, weighted per feature (counts is then checked
// but not read).
void core_apply_neighbourhood(
    Matrix<const float> codebook, std::uint32_t columns, std::uint32_t rows,
    const std::string &grid, const std::string &topology,
    const std::string &kind, double sigma, Matrix<const std::int64_t> sums,
    Vector<const std::int64_t> counts,
    std::optional<Matrix<const std::int64_t>> observed,
    Vector<const std::int32_t> exponents, Matrix<float> out,
    std::uint32_t begin, std::uint32_t end, int threads) {
    const auto shape = core_shape(codebook, columns, rows, grid, topology);
    const quorvel::MapNeighbourhood hood{core_kind(kind), sigma};
    const int team = core_threads(threads);
    core_require(sigma > 0.0, "sigma must be positive");
    core_require(sums.shape(0) == shape.node_count() &&
                     sums.shape(1) == shape.dimension &&
                     counts.shape(0) == shape.node_count() &&
                     exponents.shape(0) == shape.dimension,
                 "sums, counts and exponents must fit the codebook");
    if (observed)
        core_require(observed->shape(0) == shape.node_count() &&
                         observed->shape(1) == shape.dimension,
                     "observed must have shape (nodes, features)");
    core_require(out.shape(0) == shape.node_count() &&
                     out.shape(1) == shape.dimension,
                 "out must have the codebook's shape");
    core_require(begin <= end && end <= shape.node_count(),
                 "begin and end must be a range of nodes");
    core_require(out.data() != codebook.data(), "out must not be the codebook");
    nb::gil_scoped_release release;
    if (observed)
        quorvel::apply_neighbourhood_missing(
            shape, hood, sums.data(), observed->data(), exponents.data(),
            codebook.data(), out.data(), begin, end, team);
    else
        quorvel::apply_neighbourhood(shape, hood, sums.data(), counts.data(),
                                     exponents.data(), codebook.data(),
                                     out.data(), begin, end, team);
}

// One row operation under one name, for dense rows and for CSR rows; `after`
// names the arguments behind the rows.
template <class Dense, class Csr, class... After>
void core_def_rows(nb::module_ &m, const char *name, const char *doc,
                   Dense dense, Csr csr, const After &...after) {
    m.def(name, dense, "codebook"_a, "columns"_a, "rows"_a, "grid"_a,
          "topology"_a, "data"_a, after..., doc);
    m.def(name, csr, "codebook"_a, "columns"_a, "rows"_a, "grid"_a,
          "topology"_a, "values"_a, "indices"_a, "indptr"_a, after...);
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
    m.def("missing_limit", &quorvel::missing_limit, "max_missing"_a,
          "dimension"_a,
          "The most missing values a row may have under a fraction.");

    core_def_rows(m, "find_bmus",
                  "The BMU of every row, and optionally its squared distance "
                  "and the runner-up with its squared distance.",
                  &core_find_bmus<DenseData>,
                  &core_find_bmus<CsrValues, CsrIndices, CsrIndptr>,
                  "most_missing"_a.none(), "nodes"_a, "distances"_a.none(),
                  "runner_ups"_a.none(), "runner_up_distances"_a.none(),
                  "threads"_a);
    core_def_rows(m, "node_distances",
                  "The squared distance of every row to every node.",
                  &core_node_distances<DenseData>,
                  &core_node_distances<CsrValues, CsrIndices, CsrIndptr>,
                  "most_missing"_a.none(), "out"_a, "threads"_a);
    core_def_rows(m, "accumulate",
                  "Adds every row to the fixed-point sums of its BMU.",
                  &core_accumulate<DenseData>,
                  &core_accumulate<CsrValues, CsrIndices, CsrIndptr>,
                  "most_missing"_a.none(), "exponents"_a, "error_exponent"_a,
                  "rows_in_total"_a, "sums"_a, "observed"_a.none(),
                  "counts"_a, "totals"_a, "bmus"_a.none(), "threads"_a);
    m.def("apply_neighbourhood", &core_apply_neighbourhood, "codebook"_a,
          "columns"_a, "rows"_a, "grid"_a, "topology"_a, "kind"_a, "sigma"_a,
          "sums"_a, "counts"_a, "observed"_a.none(), "exponents"_a, "out"_a,
          "begin"_a, "end"_a, "threads"_a,
          "Nodes [begin, end) of out: the neighbourhood-weighted means of "
          "the sums.");

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
}
