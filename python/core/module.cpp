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
// missing-value kernels (NaN marks a missing value) under that limit. For
// CSR rows without missing values, find_bmus and accumulate also take a
// SparseCodebook, prepared once, in place of the codebook and its map.
#include "quorvel/map.h"
#include "quorvel/projection.h"

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <omp.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

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

// A selector string as its enum, through a table of the accepted names.
template <class Enum, std::size_t count>
Enum core_choice(const std::string &value, const char *what,
                 const std::pair<const char *, Enum> (&choices)[count]) {
    for (const auto &[name, choice] : choices)
        if (value == name)
            return choice;
    throw nb::value_error(
        ("unknown " + std::string(what) + " '" + value + "'").c_str());
}

quorvel::Grid core_grid(const std::string &grid) {
    static constexpr std::pair<const char *, quorvel::Grid> grids[] = {
        {"rectangular", quorvel::Grid::rectangular},
        {"hexagonal", quorvel::Grid::hexagonal}};
    return core_choice(grid, "grid", grids);
}

quorvel::Topology core_topology(const std::string &topology) {
    static constexpr std::pair<const char *, quorvel::Topology> topologies[] = {
        {"planar", quorvel::Topology::planar},
        {"toroid", quorvel::Topology::toroid}};
    return core_choice(topology, "topology", topologies);
}

quorvel::NeighbourhoodKind core_kind(const std::string &kind) {
    using quorvel::NeighbourhoodKind;
    static constexpr std::pair<const char *, NeighbourhoodKind> kinds[] = {
        {"gaussian", NeighbourhoodKind::gaussian},
        {"bubble", NeighbourhoodKind::bubble},
        {"cut_gaussian", NeighbourhoodKind::cut_gaussian}};
    return core_choice(kind, "neighbourhood", kinds);
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

quorvel::DenseRows core_rows(std::uint32_t dimension, const DenseData &data) {
    core_require(data.shape(1) == dimension,
                 "the data have another feature count than the codebook, the "
                 "basis or the exponents");
    return {data.data(), data.shape(0)};
}

// A CSR matrix as three arrays; indices must be valid for the feature count
// and indptr non-decreasing, which is checked here because the engine reads
// through them unchecked.
quorvel::CsrRows core_rows(std::uint32_t dimension, const CsrValues &values,
                           const CsrIndices &indices,
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
                                 dimension &&
                             (e == pointers[n] || columns[e - 1] < columns[e]),
                         "indices must be sorted, distinct and within the "
                         "feature count in every row");
    return {values.data(), columns, pointers, row_count};
}

// What a search writes, each array one per row.
quorvel::BmuResults core_results(std::size_t count, Vector<std::int32_t> &nodes,
                                 std::optional<Vector<float>> &distances,
                                 std::optional<Vector<std::int32_t>> &runner_ups,
                                 std::optional<Vector<float>> &runner_up_distances) {
    core_require(nodes.shape(0) == count, "nodes must have one per row");
    quorvel::BmuResults results{nodes.data()};
    if (distances) {
        core_require(distances->shape(0) == count,
                     "distances must have one per row");
        results.distances = distances->data();
    }
    core_require(runner_ups.has_value() == runner_up_distances.has_value(),
                 "runner_ups and runner_up_distances come together");
    if (runner_ups) {
        core_require(runner_ups->shape(0) == count &&
                         runner_up_distances->shape(0) == count,
                     "runner_ups and runner_up_distances must have one per "
                     "row");
        results.runner_ups = runner_ups->data();
        results.runner_up_distances = runner_up_distances->data();
    }
    return results;
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
    const auto data = core_rows(shape.dimension, row_arrays...);
    const int team = core_threads(threads);
    const auto results = core_results(data.count, nodes, distances, runner_ups,
                                      runner_up_distances);
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
    const auto data = core_rows(shape.dimension, row_arrays...);
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
// The node sums that accumulate adds to, and where it writes the BMUs.
struct CoreSums {
    quorvel::NodeSums sums;
    std::int32_t *bmus;
};

CoreSums core_sums(const quorvel::MapShape &shape, std::size_t count,
                   bool masked, Vector<const std::int32_t> &exponents,
                   std::int32_t error_exponent, std::uint64_t rows_in_total,
                   Matrix<std::int64_t> &sums,
                   std::optional<Matrix<std::int64_t>> &observed,
                   Vector<std::int64_t> &counts, Vector<std::int64_t> &totals,
                   std::optional<Vector<std::int32_t>> &bmus) {
    core_require(exponents.shape(0) == shape.dimension,
                 "exponents must have one per feature");
    core_require(sums.shape(0) == shape.node_count() &&
                     sums.shape(1) == shape.dimension,
                 "sums must have shape (nodes, features)");
    core_require(observed.has_value() == masked,
                 "observed must be given exactly when most_missing is");
    if (observed)
        core_require(observed->shape(0) == shape.node_count() &&
                         observed->shape(1) == shape.dimension,
                     "observed must have shape (nodes, features)");
    core_require(counts.shape(0) == shape.node_count(),
                 "counts must have one per node");
    core_require(totals.shape(0) == 2, "totals must have two values");
    core_require(rows_in_total >= count, "rows_in_total must count these rows");
    std::int32_t *bmu_data = nullptr;
    if (bmus) {
        core_require(bmus->shape(0) == count, "bmus must have one per row");
        bmu_data = bmus->data();
    }
    return {{sums.data(), counts.data(), exponents.data(), error_exponent,
             rows_in_total, totals.data(), totals.data() + 1,
             observed ? observed->data() : nullptr},
            bmu_data};
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
    const auto data = core_rows(shape.dimension, row_arrays...);
    const int team = core_threads(threads);
    const CoreSums out =
        core_sums(shape, data.count, most_missing.has_value(), exponents,
                  error_exponent, rows_in_total, sums, observed, counts,
                  totals, bmus);
    nb::gil_scoped_release release;
    if (most_missing)
        quorvel::accumulate_missing(shape, codebook.data(), data,
                                    *most_missing, out.sums, out.bmus, team);
    else
        quorvel::accumulate(shape, codebook.data(), data, out.sums, out.bmus,
                            team);
}

// A codebook prepared for the calls over CSR rows without missing values of
// one pass (quorvel::SparseCodebook). It holds the codebook array, which
// the caller leaves unchanged while it searches; a second call waits for
// the first.
struct CoreSparseCodebook {
    Matrix<const float> codebook;
    std::unique_ptr<quorvel::SparseCodebook> prepared;
    std::mutex busy;
};

void core_prepare(CoreSparseCodebook *self, Matrix<const float> codebook,
                  std::uint32_t columns, std::uint32_t rows,
                  const std::string &grid, const std::string &topology,
                  int threads) {
    const auto shape = core_shape(codebook, columns, rows, grid, topology);
    const int team = core_threads(threads);
    std::unique_ptr<quorvel::SparseCodebook> prepared;
    {
        nb::gil_scoped_release release;
        prepared = std::make_unique<quorvel::SparseCodebook>(
            shape, codebook.data(), team);
    }
    new (self) CoreSparseCodebook{codebook, std::move(prepared), {}};
}

// The complete rows' operations on a prepared codebook, whose arguments
// stand for those of the codebook and its map; most_missing must be None.
quorvel::CsrRows core_prepared_rows(const CoreSparseCodebook &codebook,
                                    const CsrValues &values,
                                    const CsrIndices &indices,
                                    const CsrIndptr &indptr,
                                    const std::optional<std::uint32_t> &most_missing) {
    core_require(!most_missing,
                 "a prepared codebook searches rows without missing values");
    return core_rows(codebook.prepared->shape().dimension, values, indices,
                     indptr);
}

void core_find_bmus_prepared(CoreSparseCodebook &codebook, CsrValues values,
                             CsrIndices indices, CsrIndptr indptr,
                             std::optional<std::uint32_t> most_missing,
                             Vector<std::int32_t> nodes,
                             std::optional<Vector<float>> distances,
                             std::optional<Vector<std::int32_t>> runner_ups,
                             std::optional<Vector<float>> runner_up_distances,
                             int threads) {
    const auto data = core_prepared_rows(codebook, values, indices, indptr,
                                         most_missing);
    const int team = core_threads(threads);
    const auto results = core_results(data.count, nodes, distances, runner_ups,
                                      runner_up_distances);
    nb::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(codebook.busy);
    quorvel::find_bmus(*codebook.prepared, data, results, team);
}

void core_accumulate_prepared(
    CoreSparseCodebook &codebook, CsrValues values, CsrIndices indices,
    CsrIndptr indptr, std::optional<std::uint32_t> most_missing,
    Vector<const std::int32_t> exponents, std::int32_t error_exponent,
    std::uint64_t rows_in_total, Matrix<std::int64_t> sums,
    std::optional<Matrix<std::int64_t>> observed, Vector<std::int64_t> counts,
    Vector<std::int64_t> totals, std::optional<Vector<std::int32_t>> bmus,
    int threads) {
    const auto data = core_prepared_rows(codebook, values, indices, indptr,
                                         most_missing);
    const int team = core_threads(threads);
    const CoreSums out = core_sums(codebook.prepared->shape(), data.count,
                                   false, exponents, error_exponent,
                                   rows_in_total, sums, observed, counts,
                                   totals, bmus);
    nb::gil_scoped_release release;
    const std::lock_guard<std::mutex> lock(codebook.busy);
    quorvel::accumulate(*codebook.prepared, data, out.sums, out.bmus, team);
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
    const quorvel::NodeTotals totals{
        sums.data(), observed ? observed->data() : counts.data(),
        exponents.data(), observed.has_value()};
    nb::gil_scoped_release release;
    quorvel::apply_neighbourhood(shape, hood, totals, codebook.data(),
                                 out.data(), begin, end, team);
}

// The basis or weights of the products of quorvel/projection.h: one row per
// feature or data row, and finite (the engine's sums assume it).
quorvel::BlockShape core_block(std::uint32_t dimension,
                               const Matrix<const double> &block,
                               std::size_t block_rows) {
    core_require(block.shape(0) == block_rows,
                 "the block must have one row per feature or per data row");
    core_require(block.shape(1) <= 0xffffffffu, "the block is too wide");
    const double *values = block.data();
    for (std::size_t i = 0; i < block.size(); ++i)
        core_require(std::isfinite(values[i]), "the block must be finite");
    return {dimension, static_cast<std::uint32_t>(block.shape(1))};
}

template <class... RowArrays>
void core_project_rows(RowArrays... row_arrays, Matrix<const double> basis,
                       Matrix<double> out, int threads) {
    core_require(basis.shape(0) <= 0x7fffffffu, "the basis is too long");
    const auto dimension = static_cast<std::uint32_t>(basis.shape(0));
    const auto data = core_rows(dimension, row_arrays...);
    const auto shape = core_block(dimension, basis, dimension);
    const int team = core_threads(threads);
    core_require(out.shape(0) == data.count && out.shape(1) == shape.width,
                 "out must have shape (rows of data, basis columns)");
    core_require(out.data() != basis.data(), "out must not be the basis");
    nb::gil_scoped_release release;
    quorvel::project_rows(shape, data, basis.data(), out.data(), team);
}

// exponents (features x weight columns) give the feature count. The fixed
// point is the caller's: exponents within double's range keep every scale
// finite, and the bound that keeps every sum from overflowing is its choice.
template <class... RowArrays>
void core_weighted_row_sums(RowArrays... row_arrays,
                            Matrix<const double> weights,
                            Matrix<const std::int32_t> exponents,
                            Matrix<std::int64_t> sums, int threads) {
    core_require(exponents.shape(0) <= 0x7fffffffu, "exponents are too long");
    const auto dimension = static_cast<std::uint32_t>(exponents.shape(0));
    const auto data = core_rows(dimension, row_arrays...);
    const auto shape = core_block(dimension, weights, data.count);
    const int team = core_threads(threads);
    core_require(exponents.shape(1) == shape.width &&
                     sums.shape(0) == dimension && sums.shape(1) == shape.width,
                 "exponents and sums must have shape (features, weight "
                 "columns)");
    const std::int32_t *powers = exponents.data();
    for (std::size_t i = 0; i < exponents.size(); ++i)
        core_require(powers[i] >= -1000 && powers[i] <= 1000,
                     "exponents must be within [-1000, 1000]");
    nb::gil_scoped_release release;
    quorvel::weighted_row_sums(shape, data, weights.data(),
                               {sums.data(), exponents.data()}, team);
}

void core_dot_products(Matrix<const double> a, Matrix<const double> b,
                       Matrix<double> out, int threads) {
    core_require(a.shape(1) == b.shape(1) && a.shape(1) <= 0x7fffffffu,
                 "a and b must have the same number of columns");
    core_require(out.shape(0) == a.shape(0) && out.shape(1) == b.shape(0),
                 "out must have shape (rows of a, rows of b)");
    const int team = core_threads(threads);
    nb::gil_scoped_release release;
    quorvel::dot_products(static_cast<std::uint32_t>(a.shape(1)),
                          {a.data(), a.shape(0)}, {b.data(), b.shape(0)},
                          out.data(), team);
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

// Its overload for CSR rows on a prepared codebook.
template <class Prepared, class... After>
void core_def_prepared(nb::module_ &m, const char *name, Prepared prepared,
                       const After &...after) {
    m.def(name, prepared, "codebook"_a, "values"_a, "indices"_a, "indptr"_a,
          after...);
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

    nb::class_<CoreSparseCodebook>(
        m, "SparseCodebook",
        "A codebook prepared once for the searches of many calls over CSR "
        "rows without missing values, in place of the codebook and its map.")
        .def("__init__", &core_prepare, "codebook"_a, "columns"_a, "rows"_a,
             "grid"_a, "topology"_a, "threads"_a);
    core_def_prepared(m, "find_bmus", &core_find_bmus_prepared,
                      "most_missing"_a.none(), "nodes"_a, "distances"_a.none(),
                      "runner_ups"_a.none(), "runner_up_distances"_a.none(),
                      "threads"_a);
    core_def_prepared(m, "accumulate", &core_accumulate_prepared,
                      "most_missing"_a.none(), "exponents"_a,
                      "error_exponent"_a, "rows_in_total"_a, "sums"_a,
                      "observed"_a.none(), "counts"_a, "totals"_a,
                      "bmus"_a.none(), "threads"_a);
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
    m.def("project_rows", &core_project_rows<DenseData>, "data"_a, "basis"_a,
          "out"_a, "threads"_a,
          "out = data times basis, one double sum per row in feature order.");
    m.def("project_rows",
          &core_project_rows<CsrValues, CsrIndices, CsrIndptr>, "values"_a,
          "indices"_a, "indptr"_a, "basis"_a, "out"_a, "threads"_a);
    m.def("weighted_row_sums", &core_weighted_row_sums<DenseData>, "data"_a,
          "weights"_a, "exponents"_a, "sums"_a, "threads"_a,
          "Adds data^T times weights to sums, in fixed point.");
    m.def("weighted_row_sums",
          &core_weighted_row_sums<CsrValues, CsrIndices, CsrIndptr>,
          "values"_a, "indices"_a, "indptr"_a, "weights"_a,
          "exponents"_a, "sums"_a, "threads"_a);
    m.def("dot_products", &core_dot_products, "a"_a, "b"_a, "out"_a,
          "threads"_a,
          "out[i, j] = a[i] . b[j], one double sum in increasing order.");
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
