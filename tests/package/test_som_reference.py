"""The estimator against the float64 reference of the batch rule
(som_reference): codebooks after each epoch, the U-matrix, both errors,
predict, transform and the history, over every grid, topology,
neighbourhood and cooling and maps down to a single node.

The data are well separated clusters, so that the BMU decisions, which the
estimator makes with float32 distances, are the same in float64; every test
checks that margin first, so a failure is never a near tie."""

import math

import numpy as np
import pytest
import quorvel
from quorvel import SOM

import som_reference as ref

GRIDS = ["rectangular", "hexagonal"]
TOPOLOGIES = ["planar", "toroid"]
COOLINGS = ["linear", "exponential"]
# (sigma_start, sigma_end) per neighbourhood: the bubble ends exactly at the
# distance of the nearest neighbours, which must then still count.
WIDTHS = {"gaussian": (2.0, 0.7), "bubble": (1.6, 1.0), "cut_gaussian": (1.8, 1.0)}
# (columns, rows): one node, a single column and a single row, the 2 x 2
# toroid on which both ways round reach the same node, and larger maps.
SIZES = [(1, 1), (1, 4), (5, 1), (2, 2), (3, 4), (6, 4)]
N_FEATURES = 3
# The BMU decisions must be this far from a tie, relatively, for float32
# distances to make them as float64 ones do.
MARGIN = 1e-5


def valid_layouts():
    for columns, rows in SIZES:
        for grid in GRIDS:
            for topology in TOPOLOGIES:
                if grid == "hexagonal" and topology == "toroid" and rows % 2:
                    continue
                yield columns, rows, grid, topology


LAYOUTS = list(valid_layouts())


def layout_id(layout):
    columns, rows, grid, topology = layout
    return f"{columns}x{rows}-{grid[:4]}-{topology}"


def data_for(columns, rows, seed=0):
    X = ref.clustered_data(60, N_FEATURES, n_clusters=min(30, columns * rows + 2), seed=seed)
    init = ref.random_init(columns * rows, X, seed=seed + 100)
    return X, init


def training_data(columns, rows, grid, topology, kind, chains):
    """Data and an initial codebook on which every BMU decision of the
    reference trainings with the given width schedules is far from a tie,
    with the reference's codebooks after each epoch of each: the first of a
    few seeds that gives that (nodes whose vectors are equal only in exact
    arithmetic are common with the cut neighbourhoods, and float32 rounding
    may break their tie either way)."""
    for seed in range(20):
        X, init = data_for(columns, rows, seed)
        trained = [ref.train(X, init, columns, rows, grid, topology, kind, w) for w in chains]
        if all(
            ref.bmu_margin(X, W, places=1) > MARGIN
            for codebooks in trained
            for W in [init, *codebooks[:-1]]
        ):
            return X, init, trained
    raise AssertionError("no seed gives BMU decisions clear of ties")


def som(columns, rows, grid, topology, **params):
    return SOM(columns, rows, grid=grid, topology=topology, n_jobs=1, **params)


def tolerance(X):
    return dict(rtol=1e-5, atol=1e-5 * float(np.max(np.abs(X))))


# ----------------------------------------------------------------------
# The reference itself, on maps small enough to count by hand.


@pytest.mark.parametrize(
    "columns, rows, grid, topology, node, expected",
    [
        (5, 5, "rectangular", "planar", 12, {6, 7, 8, 11, 13, 16, 17, 18}),
        (5, 4, "hexagonal", "planar", 7, {2, 3, 6, 8, 12, 13}),  # odd row: shifted right
        (5, 4, "hexagonal", "planar", 12, {6, 7, 11, 13, 16, 17}),  # even row
        (3, 3, "rectangular", "planar", 0, {1, 3, 4}),
        (3, 3, "rectangular", "toroid", 0, {1, 2, 3, 4, 5, 6, 7, 8}),
        (2, 2, "rectangular", "toroid", 0, {1, 2, 3}),
        (2, 2, "hexagonal", "toroid", 0, {1, 2, 3}),
        (4, 2, "hexagonal", "toroid", 0, {1, 3, 4, 7}),
        (1, 4, "rectangular", "toroid", 0, {1, 3}),
        (1, 1, "hexagonal", "planar", 0, set()),
    ],
)
def test_reference_neighbours_match_hand_count(columns, rows, grid, topology, node, expected):
    near = ref.neighbour_matrix(columns, rows, grid, topology)
    assert set(np.flatnonzero(near[node]).tolist()) == expected


def test_reference_epoch_keeps_nodes_without_weight():
    X = np.array([[0.0, 0.0], [1.0, 1.0], [10.0, 10.0]])
    W = np.array([[0.5, 0.5], [9.0, 9.0], [-50.0, 3.0]])
    new = ref.epoch(X, W, 3, 1, "rectangular", "planar", "bubble", 0.5)
    np.testing.assert_array_equal(new, [[0.5, 0.5], [10.0, 10.0], [-50.0, 3.0]])


# ----------------------------------------------------------------------
# Geometry


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("columns, rows", [(1, 1), (1, 5), (4, 1), (3, 4), (7, 6)])
def test_node_positions_follow_definition(columns, rows, grid):
    got = quorvel.node_positions(columns, rows, grid)
    assert got.shape == (columns * rows, 2) and got.dtype == np.float64
    np.testing.assert_allclose(got, ref.positions(columns, rows, grid), rtol=1e-15, atol=0)


def test_node_positions_unknown_grid_raises():
    with pytest.raises(ValueError, match="grid"):
        quorvel.node_positions(3, 3, "square")


@pytest.mark.parametrize("columns, rows", [(4, 3), (1, 1), (2, 5)])
def test_fit_hexagonal_toroid_odd_rows_raises(columns, rows):
    X, _ = data_for(2, 2)
    estimator = SOM(columns, rows, grid="hexagonal", topology="toroid", epochs=1)
    with pytest.raises(ValueError, match=f"rows={rows}"):
        estimator.fit(X)
    assert not hasattr(estimator, "codebook_")


# ----------------------------------------------------------------------
# Training against the reference


@pytest.mark.parametrize("cooling", COOLINGS)
@pytest.mark.parametrize("kind", sorted(WIDTHS))
@pytest.mark.parametrize("layout", LAYOUTS, ids=layout_id)
def test_codebook_matches_reference_after_each_epoch_count(layout, kind, cooling):
    columns, rows, grid, topology = layout
    start, end = WIDTHS[kind]
    chains = [ref.sigmas(start, end, epochs, cooling) for epochs in (1, 2, 3)]
    X, init, trained = training_data(columns, rows, grid, topology, kind, chains)
    for epochs, widths, expected in zip((1, 2, 3), chains, trained):
        estimator = som(
            columns, rows, grid, topology, epochs=epochs, neighbourhood=kind,
            sigma_start=start, sigma_end=end, cooling=cooling, init=init,
        ).fit(X)  # fmt: skip
        assert estimator.codebook_.shape == (rows, columns, N_FEATURES)
        assert estimator.codebook_.dtype == np.float32
        np.testing.assert_allclose(
            estimator.codebook_.reshape(-1, N_FEATURES), expected[-1], **tolerance(X),
            err_msg=f"after {epochs} epochs",
        )  # fmt: skip
        np.testing.assert_array_equal(estimator.history_["sigma"], widths)
        assert estimator.n_iter_ == epochs


@pytest.mark.parametrize("layout", LAYOUTS, ids=layout_id)
def test_map_outputs_match_reference_under_fitted_codebook(layout):
    columns, rows, grid, topology = layout
    X, init = data_for(columns, rows, seed=3)
    estimator = som(
        columns, rows, grid, topology, epochs=3, sigma_start=1.5, sigma_end=0.6, init=init
    ).fit(X)
    W = estimator.codebook_.reshape(-1, N_FEATURES).astype(np.float64)
    # Fresh rows as well as the training rows.
    Y = ref.clustered_data(30, N_FEATURES, 5, seed=11)
    for data in (X, Y):
        assert ref.bmu_margin(data, W, places=2) > MARGIN
        np.testing.assert_array_equal(estimator.predict(data), ref.bmus(data, W))
        distances = estimator.transform(data)
        assert distances.dtype == np.float64
        assert distances.shape == (data.shape[0], columns * rows)
        np.testing.assert_allclose(
            distances, np.sqrt(ref.squared_distances(data, W)), rtol=1e-5, atol=1e-6
        )
        assert estimator.quantization_error(data) == pytest.approx(
            ref.quantization_error(data, W), rel=1e-5
        )
        assert estimator.topographic_error(data) == ref.topographic_error(
            data, W, columns, rows, grid, topology
        )
        assert estimator.score(data) == pytest.approx(-ref.quantization_error(data, W), rel=1e-5)
    assert estimator.predict(X).dtype == np.int64
    np.testing.assert_array_equal(estimator.labels_, ref.bmus(X, W))
    assert estimator.labels_.dtype == np.int64
    assert estimator.quantization_error_ == estimator.quantization_error(X)
    assert estimator.topographic_error_ == estimator.topographic_error(X)
    assert estimator.umatrix_.dtype == np.float32
    np.testing.assert_allclose(
        estimator.umatrix_, ref.umatrix(W, columns, rows, grid, topology), rtol=1e-5, atol=1e-6
    )


@pytest.mark.parametrize("grid", GRIDS)
def test_umatrix_two_by_two_toroid_counts_each_neighbour_once(grid):
    # Both ways round in x (and in y) reach the same node: averaging over
    # eight or six directions would weigh them twice.
    codebook = np.array([[[0.0], [1.0]], [[3.0], [7.0]]], dtype=np.float32)
    X = np.array([[0.0], [1.0], [3.0], [7.0]], dtype=np.float32)
    estimator = SOM(2, 2, grid=grid, topology="toroid", epochs=0, init=codebook).fit(X)
    np.testing.assert_allclose(
        estimator.umatrix_, ref.umatrix(codebook, 2, 2, grid, "toroid"), rtol=1e-6
    )
    # Node 0 (value 0) has the other three as neighbours.
    assert estimator.umatrix_[0, 0] == pytest.approx((1.0 + 3.0 + 7.0) / 3.0, rel=1e-6)


def test_single_node_map_has_zero_umatrix_and_topographic_error():
    X, _ = data_for(1, 1)
    estimator = SOM(1, 1, epochs=2).fit(X)
    np.testing.assert_array_equal(estimator.umatrix_, np.zeros((1, 1), dtype=np.float32))
    assert estimator.topographic_error_ == 0.0
    np.testing.assert_array_equal(estimator.predict(X), np.zeros(len(X), dtype=np.int64))
    np.testing.assert_allclose(estimator.codebook_[0, 0], X.astype(np.float64).mean(axis=0),
                               rtol=1e-5, atol=1e-5)  # fmt: skip


@pytest.mark.parametrize("cooling", COOLINGS)
@pytest.mark.parametrize("epochs", [1, 2, 5])
@pytest.mark.parametrize("start, end", [(3.0, 0.5), (0.8, 2.5), (1.25, 1.25)])
def test_history_sigma_follows_schedule(start, end, epochs, cooling):
    X, _ = data_for(3, 2)
    estimator = SOM(3, 2, epochs=epochs, sigma_start=start, sigma_end=end, cooling=cooling,
                    init="random", random_state=0).fit(X)  # fmt: skip
    np.testing.assert_array_equal(estimator.history_["sigma"], ref.sigmas(start, end, epochs, cooling))
    assert estimator.history_["sigma"].dtype == np.float64


@pytest.mark.parametrize("cooling", COOLINGS)
@pytest.mark.parametrize("columns, rows", [(4, 3), (12, 7), (1, 1)])
def test_history_sigma_default_widths_follow_schedule(columns, rows, cooling):
    # The default widths may be tuned; whatever they are, the epochs between
    # them follow the cooling rule.
    X, _ = data_for(2, 2)
    estimator = SOM(columns, rows, epochs=4, cooling=cooling, init="random", random_state=0).fit(X)
    sigma = estimator.history_["sigma"]
    np.testing.assert_allclose(sigma, ref.sigmas(sigma[0], sigma[-1], 4, cooling), rtol=1e-14)
    assert np.all(sigma > 0) and np.all(np.isfinite(sigma))


@pytest.mark.parametrize("kind", sorted(WIDTHS))
@pytest.mark.parametrize("grid", GRIDS)
def test_history_quantization_error_is_error_after_each_epoch(grid, kind):
    # With a constant width, the first k epochs of a longer fit are a fit of
    # k epochs: its quantization error is the history's entry k - 1.
    columns, rows = 4, 4
    epochs = 4
    X, init, (expected,) = training_data(columns, rows, grid, "planar", kind, [[1.2] * epochs])
    long = SOM(columns, rows, grid=grid, neighbourhood=kind, epochs=epochs, sigma_start=1.2,
               sigma_end=1.2, init=init).fit(X)  # fmt: skip
    history = long.history_["quantization_error"]
    assert history.shape == (epochs,) and history.dtype == np.float64
    for k in range(1, epochs + 1):
        short = SOM(columns, rows, grid=grid, neighbourhood=kind, epochs=k, sigma_start=1.2,
                    sigma_end=1.2, init=init).fit(X)  # fmt: skip
        assert history[k - 1] == short.quantization_error(X)
        assert history[k - 1] == short.quantization_error_
        assert history[k - 1] == pytest.approx(ref.quantization_error(X, expected[k - 1]), rel=1e-5)
    assert history[-1] == long.quantization_error_


def test_epochs_zero_keeps_initial_codebook():
    X, init = data_for(4, 3)
    init = init + np.float32(0.1)  # values that float64 would not give back
    estimator = SOM(4, 3, epochs=0, init=init).fit(X)
    assert estimator.codebook_.tobytes() == init.astype(np.float32).reshape(3, 4, -1).tobytes()
    assert estimator.n_iter_ == 0
    assert estimator.history_["sigma"].shape == (0,)
    assert estimator.history_["quantization_error"].shape == (0,)
    np.testing.assert_array_equal(estimator.labels_, ref.bmus(X, init))
    assert estimator.quantization_error_ == pytest.approx(ref.quantization_error(X, init), rel=1e-5)


@pytest.mark.parametrize("kind, sigma", [("bubble", 0.5), ("cut_gaussian", 0.5), ("gaussian", 0.02)])
def test_node_without_weight_keeps_vector(kind, sigma):
    # A far-away node that no row picks, with a width that reaches no other
    # node (the narrow gaussian's weights underflow to 0), keeps its initial
    # vector exactly.
    X = np.array([[0.0, 0.0], [0.2, 0.1], [5.0, 5.0], [5.1, 4.9]], dtype=np.float32)
    init = np.array([[0.1, 0.0], [5.0, 5.0], [-1e3, 7.25]], dtype=np.float32)
    estimator = SOM(3, 1, grid="rectangular", neighbourhood=kind, epochs=2, sigma_start=sigma,
                    sigma_end=sigma, init=init).fit(X)  # fmt: skip
    assert estimator.codebook_[0, 2].tobytes() == init[2].tobytes()
    np.testing.assert_allclose(estimator.codebook_[0, :2], [[0.1, 0.05], [5.05, 4.95]], rtol=1e-6)


def test_standardized_data_codebook_has_negative_share_of_data():
    from sklearn.datasets import make_blobs
    from sklearn.preprocessing import StandardScaler

    X, _ = make_blobs(n_samples=400, n_features=4, centers=6, cluster_std=0.4, random_state=2)
    Z = StandardScaler().fit_transform(X).astype(np.float32)
    columns, rows = 6, 5
    init = SOM(columns, rows, epochs=0).fit(Z).codebook_
    estimator = SOM(columns, rows, epochs=6, sigma_start=3.0, sigma_end=0.8, init=init).fit(Z)
    data_share = np.mean(Z < 0)
    codebook_share = np.mean(estimator.codebook_ < 0)
    assert abs(codebook_share - data_share) < 0.15, (codebook_share, data_share)
    # Every feature's codebook spans both signs, as the data do.
    flat = estimator.codebook_.reshape(-1, 4)
    assert np.all(flat.min(axis=0) < 0) and np.all(flat.max(axis=0) > 0)
    widths = ref.sigmas(3.0, 0.8, 6, "linear")
    expected = ref.train(Z, init, columns, rows, "hexagonal", "planar", "gaussian", widths)[-1]
    assert estimator.quantization_error_ == pytest.approx(ref.quantization_error(Z, expected), rel=2e-3)
    assert estimator.quantization_error_ < 0.5 * ref.quantization_error(Z, init)
    assert math.isfinite(estimator.topographic_error_)
