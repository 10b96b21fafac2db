"""Missing values (SOM(missing="ignore")): the estimator against a slow
float64 reference of the masked rule kept here, the same bits whatever the
threads, chunks and input form, rows with every, no and some feature
missing, the max_missing edge, the initialisations on data with holes, and
impute.

The reference data are well separated clusters with holes, so that the BMU
decisions, which the estimator makes with float32 distances, are the same
in float64; the tests check that margin first."""

import copy
import math

import numpy as np
import pytest
import quorvel._sources.memory
import quorvel._training
import scipy.sparse as sp
import som_reference as ref
from quorvel import SOM, load

# The BMU decisions must be this far from a tie, relatively.
MARGIN = 1e-5
N_FEATURES = 4


# ----------------------------------------------------------------------
# The masked rule in float64, written from its documented definition.


def has_bmu(X: np.ndarray, max_missing: float) -> np.ndarray:
    """Rows that observe some feature and whose missing fraction is not
    above max_missing."""
    missing = np.isnan(X).sum(axis=1)
    n = X.shape[1]
    return (missing < n) & (missing / n <= max_missing)


def masked_distances(X: np.ndarray, W: np.ndarray) -> np.ndarray:
    """(rows, nodes) squared distances over the observed features, times
    n_features / observed, float64; NaN for rows without observed values."""
    X = np.asarray(X, dtype=np.float64)
    W = np.asarray(W, dtype=np.float64).reshape(-1, X.shape[1])
    observed = ~np.isnan(X)
    seen = observed.sum(axis=1)
    out = np.full((X.shape[0], W.shape[0]), np.nan)
    for k in range(W.shape[0]):
        difference = np.where(observed, X - W[k], 0.0)
        with np.errstate(invalid="ignore", divide="ignore"):
            out[:, k] = (difference**2).sum(axis=1) * X.shape[1] / seen
    out[seen == 0] = np.nan
    return out


def masked_ranked(X, W, max_missing, count):
    """The ``count`` best nodes of every row (ties within ref.TIE to the
    lowest index); -1 for rows without a BMU."""
    d2 = masked_distances(X, W)
    keep = has_bmu(np.asarray(X, dtype=np.float64), max_missing)
    out = np.full((d2.shape[0], count), -1, dtype=np.int64)
    for i in np.flatnonzero(keep):
        row = d2[i]
        left = np.ones(row.size, dtype=bool)
        for rank in range(min(count, row.size)):
            least = row[left].min()
            node = int(np.flatnonzero(left & (row <= least + ref.TIE * abs(least)))[0])
            out[i, rank] = node
            left[node] = False
    return out


def masked_margin(X, W, max_missing) -> float:
    """The smallest relative gap between the masked distances of the first
    three ranks over the rows with a BMU."""
    d2 = masked_distances(X, W)[has_bmu(np.asarray(X, dtype=np.float64), max_missing)]
    if d2.shape[1] < 2 or d2.shape[0] == 0:
        return math.inf
    ordered = np.sort(d2, axis=1)[:, :3]
    gaps = (ordered[:, 1:] - ordered[:, :-1]) / np.maximum(ordered[:, 1:], 1e-300)
    return float(gaps.min())


def masked_epoch(X, W, columns, rows, grid, topology, kind, sigma, max_missing):
    """One batch epoch of the masked rule: BMUs over the observed features,
    then every node-feature the h-weighted mean over the rows that observe
    the feature; a node-feature without weight keeps its value."""
    X = np.asarray(X, dtype=np.float64)
    W = np.asarray(W, dtype=np.float64).reshape(columns * rows, X.shape[1])
    best = masked_ranked(X, W, max_missing, 1)[:, 0]
    h = ref.neighbourhood(ref.grid_distances_squared(columns, rows, grid, topology), sigma, kind)
    observed = ~np.isnan(X)
    values = np.where(observed, X, 0.0)
    new = W.copy()
    for node in range(W.shape[0]):
        weights = np.where(best >= 0, h[node, np.maximum(best, 0)], 0.0)
        numerator = (weights[:, None] * values).sum(axis=0)
        denominator = (weights[:, None] * observed).sum(axis=0)
        with np.errstate(invalid="ignore", divide="ignore"):
            new[node] = np.where(denominator > 0, numerator / denominator, W[node])
    return new


def masked_quantization_error(X, W, max_missing) -> float:
    d2 = masked_distances(X, W)[has_bmu(np.asarray(X, dtype=np.float64), max_missing)]
    return float(np.mean(np.sqrt(d2.min(axis=1)))) if d2.size else math.nan


def masked_topographic_error(X, W, columns, rows, grid, topology, max_missing) -> float:
    ranked = masked_ranked(X, W, max_missing, 2)
    ranked = ranked[ranked[:, 0] >= 0]
    if columns * rows == 1:
        return 0.0
    near = ref.neighbour_matrix(columns, rows, grid, topology)
    return float(np.mean(~near[ranked[:, 0], ranked[:, 1]]))


def holed(X: np.ndarray, share: float, seed: int) -> np.ndarray:
    """X with a share of its values removed at random, and rows 0 (every
    feature), 1 (all but one) and 2 (exactly half) missing."""
    rng = np.random.default_rng(seed)
    complete = np.asarray(X, dtype=np.float32)
    X = complete.copy()
    X[rng.random(X.shape) < share] = np.nan
    X[0] = np.nan
    X[1, 1:] = np.nan
    X[2] = complete[2]
    X[2, : X.shape[1] // 2] = np.nan
    return X


def as_sparse(X: np.ndarray) -> sp.csr_matrix:
    """CSR with every value but zeros stored, NaN included."""
    return sp.csr_matrix(X)


# ----------------------------------------------------------------------
# The estimator against the reference


LAYOUTS = [
    (1, 1, "rectangular", "planar"),
    (5, 1, "rectangular", "planar"),
    (3, 4, "hexagonal", "planar"),
    (4, 4, "hexagonal", "toroid"),
    (6, 4, "rectangular", "toroid"),
]
WIDTHS = {"gaussian": (2.0, 0.7), "bubble": (1.6, 1.0), "cut_gaussian": (1.8, 1.0)}


def reference_case(columns, rows, grid, topology, kind, share, max_missing, epochs=3):
    """Data with holes, an initial codebook, the reference codebooks after
    every epoch: the first seed whose BMU decisions are clear of ties."""
    start, end = WIDTHS[kind]
    widths = ref.sigmas(start, end, epochs, "linear")
    for seed in range(20):
        complete = ref.clustered_data(90, N_FEATURES, n_clusters=min(30, columns * rows + 2),
                                      seed=seed)  # fmt: skip
        X = holed(complete, share, seed)
        init = ref.random_init(columns * rows, complete, seed=seed + 100)
        W = np.asarray(init, dtype=np.float64)
        codebooks = []
        clear = True
        for sigma in widths:
            clear = clear and masked_margin(X, W, max_missing) > MARGIN
            W = masked_epoch(X, W, columns, rows, grid, topology, kind, sigma, max_missing)
            codebooks.append(W)
        if clear and masked_margin(X, W, max_missing) > MARGIN:
            return X, init, codebooks, (start, end)
    raise AssertionError("no seed gives BMU decisions clear of ties")


@pytest.mark.parametrize("columns, rows, grid, topology", LAYOUTS)
@pytest.mark.parametrize("kind", ["gaussian", "bubble", "cut_gaussian"])
@pytest.mark.parametrize("share", [0.1, 0.3])
def test_fit_matches_masked_reference(columns, rows, grid, topology, kind, share):
    X, init, codebooks, (start, end) = reference_case(
        columns, rows, grid, topology, kind, share, 0.5
    )
    tolerance = dict(rtol=1e-5, atol=1e-5 * float(np.nanmax(np.abs(X))))
    som = SOM(columns, rows, epochs=3, grid=grid, topology=topology, neighbourhood=kind,
              sigma_start=start, sigma_end=end, init=init, missing="ignore",
              n_jobs=1).fit(X)  # fmt: skip
    W = codebooks[-1]
    np.testing.assert_allclose(som.codebook_.reshape(W.shape), W, **tolerance)
    expected_labels = masked_ranked(X, W, 0.5, 1)[:, 0]
    np.testing.assert_array_equal(som.labels_, expected_labels)
    assert som.labels_[0] == som.labels_[1] == -1
    assert som.labels_[2] >= 0
    assert som.quantization_error_ == pytest.approx(
        masked_quantization_error(X, W, 0.5), rel=1e-5
    )
    assert som.topographic_error_ == pytest.approx(
        masked_topographic_error(X, W, columns, rows, grid, topology, 0.5)
    )
    # The history: the error under the codebook after each epoch.
    expected_history = [masked_quantization_error(X, C, 0.5) for C in codebooks]
    np.testing.assert_allclose(som.history_["quantization_error"], expected_history,
                               rtol=1e-5)  # fmt: skip
    assert som.history_["quantization_error"][-1] == som.quantization_error_
    assert som.quantization_error(X) == som.quantization_error_
    # transform: the square roots of the scaled distances, NaN without a BMU.
    distances = som.transform(X)
    expected = np.sqrt(masked_distances(X, som.codebook_.reshape(W.shape)))
    expected[~has_bmu(X.astype(np.float64), 0.5)] = np.nan
    np.testing.assert_allclose(distances, expected, rtol=1e-5, atol=1e-6)


# ----------------------------------------------------------------------
# Bits


@pytest.fixture
def holed_data():
    rng = np.random.default_rng(5)
    X = (rng.normal(size=(400, 12)) * rng.uniform(0.01, 100, size=12)).astype(np.float32)
    X[rng.random(X.shape) < 0.4] = 0
    X[rng.random(X.shape) < 0.2] = np.nan
    X[::37] = np.nan
    X[::41, ::2] = np.nan
    return X


def fit_holed(X, **parameters):
    init = np.random.default_rng(11).normal(size=(6 * 4, X.shape[1]))
    parameters.setdefault("init", init)
    return SOM(6, 4, epochs=3, missing="ignore", **parameters).fit(X)


def assert_same_fit(a: SOM, b: SOM) -> None:
    ref.assert_same_bits(ref.fitted_state(a), ref.fitted_state(b))


@pytest.mark.parametrize("neighbourhood", ["gaussian", "bubble"])
@pytest.mark.parametrize("init", ["array", "pca"])
def test_fit_bits_independent_of_threads_chunks_and_form(
    monkeypatch, holed_data, neighbourhood, init
):
    parameters = dict(neighbourhood=neighbourhood, grid="hexagonal", topology="toroid")
    if init == "pca":
        parameters["init"] = "pca"
    expected = fit_holed(holed_data, n_jobs=1, **parameters)
    for n_jobs in (2, 3):
        assert_same_fit(fit_holed(holed_data, n_jobs=n_jobs, **parameters), expected)
    assert_same_fit(fit_holed(as_sparse(holed_data), n_jobs=2, **parameters), expected)
    # 1 gives chunks of 64 rows and nodes one by one.
    monkeypatch.setattr(quorvel._sources.memory, "WORK_PER_CALL", 1)
    monkeypatch.setattr(quorvel._training, "NEIGHBOURHOOD_WORK_PER_CALL", 1)
    assert_same_fit(fit_holed(holed_data, n_jobs=3, **parameters), expected)
    assert_same_fit(fit_holed(as_sparse(holed_data), n_jobs=1, **parameters), expected)


def test_methods_bits_independent_of_threads_and_form(holed_data):
    som = fit_holed(holed_data, n_jobs=2)
    Xs = as_sparse(holed_data)
    results = []
    for n_jobs, data in [(1, holed_data), (3, holed_data), (2, Xs)]:
        som.set_params(n_jobs=n_jobs)
        imputed = som.impute(data)
        results.append({
            "predict": som.predict(data),
            "transform": som.transform(data),
            "qe": np.array(som.quantization_error(data)),
            "te": np.array(som.topographic_error(data)),
            "impute": imputed.toarray() if sp.issparse(imputed) else imputed,
        })  # fmt: skip
    for result in results[1:]:
        ref.assert_same_bits(result, results[0])


@pytest.mark.parametrize("sparse", [False, True])
def test_ignore_without_nan_gives_the_bits_of_error(holed_data, sparse):
    complete = np.nan_to_num(holed_data, nan=1.5)
    data = as_sparse(complete) if sparse else complete
    for init in ("pca", "random", "sample"):
        ignore = SOM(6, 4, epochs=3, init=init, random_state=3, missing="ignore").fit(data)
        error = SOM(6, 4, epochs=3, init=init, random_state=3).fit(data)
        assert_same_fit(ignore, error)


def test_complete_rows_keep_their_results_beside_rows_with_holes(holed_data):
    som = fit_holed(holed_data)
    complete_rows = ~np.isnan(holed_data).any(axis=1)
    assert 0 < complete_rows.sum() < len(holed_data)
    complete = holed_data[complete_rows]
    np.testing.assert_array_equal(som.predict(holed_data)[complete_rows], som.predict(complete))
    np.testing.assert_array_equal(
        som.transform(holed_data)[complete_rows].view(np.uint64),
        som.transform(complete).view(np.uint64),
    )


# ----------------------------------------------------------------------
# Rows with every, no and some feature missing; max_missing


@pytest.mark.parametrize("sparse", [False, True])
def test_row_without_observed_value_has_no_bmu(sparse):
    codebook = np.array([[0.0, 0.0, 0.0], [1.0, 1.0, 1.0]], dtype=np.float32)
    X = np.array([[np.nan] * 3, [1.0, 1.0, 1.0], [np.nan, 0.2, np.nan]], dtype=np.float32)
    som = SOM(2, 1, epochs=0, init=codebook, missing="ignore", max_missing=1.0).fit(
        as_sparse(X) if sparse else X
    )
    data = as_sparse(X) if sparse else X
    np.testing.assert_array_equal(som.predict(data), [-1, 1, 0])
    np.testing.assert_array_equal(som.labels_, [-1, 1, 0])
    distances = som.transform(data)
    assert np.isnan(distances[0]).all()
    # Over the one observed feature, scaled by 3 / 1.
    np.testing.assert_allclose(distances[2] ** 2, [3 * 0.04, 3 * 0.64], rtol=1e-6)
    # The errors are over the two rows with a BMU.
    assert som.quantization_error(data) == pytest.approx(
        (0.0 + math.sqrt(3 * np.float32(0.2) ** 2)) / 2, rel=1e-6
    )
    assert som.topographic_error(data) == 0.0
    imputed = som.impute(data)
    imputed = imputed.toarray() if sp.issparse(imputed) else imputed
    assert np.isnan(imputed[0]).all()
    np.testing.assert_array_equal(imputed[2], [0.0, np.float32(0.2), 0.0])


@pytest.mark.parametrize("epochs", [0, 2])
@pytest.mark.parametrize("sparse", [False, True], ids=["dense", "csr"])
def test_fit_refuses_data_where_no_row_has_a_bmu(epochs, sparse):
    init = np.arange(8, dtype=np.float32).reshape(4, 2)
    X = np.array([[np.nan, np.nan], [np.nan, 1.0], [2.0, np.nan]], dtype=np.float32)
    fitted = SOM(2, 2, epochs=1, init=init, missing="ignore").fit(np.ones((3, 2)))
    before = fitted.codebook_.copy()
    # max_missing=0.4 of 2 features: every row misses too much.
    fitted.set_params(epochs=epochs, max_missing=0.4)
    with pytest.raises(ValueError, match="No row of X can be placed"):
        fitted.fit(as_sparse(X) if sparse else X)
    np.testing.assert_array_equal(fitted.codebook_, before)


@pytest.mark.parametrize(
    "n_features, max_missing, kept_up_to",
    [
        (4, 0.5, 2),  # exactly half missing stays in
        (4, 0.49, 1),
        (4, 0.75, 3),
        (4, 0.0, 0),  # only complete rows
        (4, 1.0, 3),  # a row with nothing observed never has a BMU
        (10, 0.3, 3),  # 3 / 10 is 0.3 in float64: in
        (10, 0.29999, 2),
        (3, 1 / 3, 1),
    ],
)
def test_max_missing_leaves_out_rows_strictly_above(n_features, max_missing, kept_up_to):
    # Row m misses its first m features.
    X = np.ones((n_features + 1, n_features), dtype=np.float32)
    for m in range(n_features + 1):
        X[m, :m] = np.nan
    init = np.zeros((2, n_features), dtype=np.float32)
    init[1] = 1.0
    som = SOM(2, 1, epochs=0, init=init, missing="ignore", max_missing=max_missing).fit(X)
    expected = [1 if m <= kept_up_to else -1 for m in range(n_features + 1)]
    np.testing.assert_array_equal(som.predict(X), expected)


def test_node_feature_without_observed_weight_keeps_its_value():
    rng = np.random.default_rng(2)
    X = rng.normal(size=(60, 3)).astype(np.float32)
    X[:, 1] = np.nan  # nobody observes feature 1
    init = rng.normal(size=(6, 3)).astype(np.float32)
    som = SOM(3, 2, epochs=3, init=init, missing="ignore",
              neighbourhood="bubble").fit(X)  # fmt: skip
    np.testing.assert_array_equal(som.codebook_.reshape(6, 3)[:, 1], init[:, 1])


# ----------------------------------------------------------------------
# Input checks


def test_error_refuses_nan_as_before(holed_data):
    with pytest.raises(ValueError, match=r"X contains \d+ NaN or infinite values"):
        SOM(3, 3).fit(holed_data)
    som = fit_holed(holed_data)
    som.set_params(missing="error")
    with pytest.raises(ValueError, match="NaN or infinite"):
        som.predict(holed_data)


@pytest.mark.parametrize("sparse", [False, True])
def test_ignore_still_refuses_infinities(sparse):
    X = np.array([[1.0, np.nan], [np.inf, 2.0], [3.0, 4.0]])
    with pytest.raises(ValueError, match=r"1 infinite value .*row 1, column 0"):
        SOM(2, 2, missing="ignore").fit(as_sparse(X) if sparse else X)


@pytest.mark.parametrize(
    "parameters",
    [{"missing": "drop"}, {"max_missing": 1.5}, {"max_missing": -0.1}, {"missing": None}],
)
def test_bad_missing_parameters_are_refused(parameters):
    with pytest.raises(ValueError, match=next(iter(parameters))):
        SOM(2, 2, **parameters).fit(np.ones((4, 2)))


def test_sparse_absent_entries_are_zeros_not_missing():
    X = np.array([[0.0, 0.0, 0.0], [5.0, np.nan, 0.0], [0.0, 0.0, 4.0]], dtype=np.float32)
    init = np.array([[0.0, 0.0, 0.0], [5.0, 5.0, 0.0]], dtype=np.float32)
    dense = SOM(2, 1, epochs=0, init=init, missing="ignore").fit(X)
    sparse = SOM(2, 1, epochs=0, init=init, missing="ignore").fit(as_sparse(X))
    # Row 0 has no stored value: a row of zeros, with a BMU.
    np.testing.assert_array_equal(sparse.labels_, [0, 1, 0])
    assert_same_fit(sparse, dense)


# ----------------------------------------------------------------------
# Initialisations on data with holes


def test_masked_mean_and_covariance_match_pairwise_reference(holed_data):
    X = holed_data[:200].astype(np.float64)
    n = X.shape[1]
    mean = np.array([np.mean(X[~np.isnan(X[:, i]), i]) for i in range(n)])
    covariance = np.empty((n, n))
    for i in range(n):
        for j in range(n):
            both = ~np.isnan(X[:, i]) & ~np.isnan(X[:, j])
            covariance[i, j] = np.mean((X[both, i] - mean[i]) * (X[both, j] - mean[j]))
    for subset in (holed_data[:200], as_sparse(holed_data[:200])):
        got_mean, got_covariance = quorvel._init.masked_mean_and_covariance(subset)
        np.testing.assert_allclose(got_mean, mean, rtol=1e-12, atol=1e-9)
        np.testing.assert_allclose(got_covariance, covariance, rtol=1e-8, atol=1e-6)


@pytest.mark.parametrize("init", ["pca", "random", "sample"])
def test_every_initialisation_works_on_holes(holed_data, init):
    som = SOM(6, 4, epochs=0, init=init, random_state=1, missing="ignore").fit(holed_data)
    assert np.isfinite(som.codebook_).all()
    if init == "random":
        low, high = np.nanmin(holed_data, axis=0), np.nanmax(holed_data, axis=0)
        assert (som.codebook_ >= low).all() and (som.codebook_ <= high).all()
    again = SOM(6, 4, epochs=0, init=init, random_state=1, missing="ignore").fit(holed_data)
    np.testing.assert_array_equal(again.codebook_, som.codebook_)


def test_sample_init_fills_holes_with_column_means():
    X = np.array([[1.0, np.nan], [3.0, 10.0], [np.nan, 20.0]], dtype=np.float32)
    som = SOM(3, 1, epochs=0, init="sample", random_state=0, missing="ignore").fit(X)
    codebook = som.codebook_.reshape(3, 2)
    # The three rows in some order, each hole the mean of the observed values.
    rows = {tuple(row) for row in codebook.tolist()}
    assert rows == {(1.0, 15.0), (3.0, 10.0), (2.0, 20.0)}


def test_pca_init_with_holes_follows_the_pairwise_components():
    rng = np.random.default_rng(4)
    t = rng.normal(size=500)
    X = np.column_stack([t * 10, t * 5 + rng.normal(size=500), rng.normal(size=500)])
    X = X.astype(np.float32)
    X[rng.random(X.shape) < 0.3] = np.nan
    som = SOM(5, 1, epochs=0, init="pca", missing="ignore").fit(X)
    # The reference: observed means, pairwise-complete covariance, the first
    # component (its largest entry positive) two standard deviations either
    # side of the mean along the map's longer side.
    X64 = X.astype(np.float64)
    mean = np.array([np.mean(X64[~np.isnan(X64[:, i]), i]) for i in range(3)])
    covariance = np.empty((3, 3))
    for i in range(3):
        for j in range(3):
            both = ~np.isnan(X64[:, i]) & ~np.isnan(X64[:, j])
            covariance[i, j] = np.mean((X64[both, i] - mean[i]) * (X64[both, j] - mean[j]))
    values, vectors = np.linalg.eigh(covariance)
    first = vectors[:, -1] * np.sign(vectors[np.argmax(np.abs(vectors[:, -1])), -1])
    expected = mean + np.linspace(-1, 1, 5)[:, None] * 2 * math.sqrt(values[-1]) * first
    np.testing.assert_allclose(som.codebook_.reshape(5, 3), expected, rtol=1e-5, atol=1e-5)


# ----------------------------------------------------------------------
# impute


@pytest.mark.parametrize("form", ["float32", "float64", "sparse", "list"])
def test_impute_fills_holes_from_the_bmu(holed_data, form):
    som = fit_holed(holed_data)
    data = {
        "float32": holed_data,
        "float64": holed_data.astype(np.float64),
        "sparse": as_sparse(holed_data),
        "list": holed_data.tolist(),
    }[form]
    imputed = som.impute(data)
    assert imputed.dtype == (np.float32 if form in ("float32", "sparse") else np.float64)
    assert sp.issparse(imputed) == (form == "sparse")
    dense = imputed.toarray() if sp.issparse(imputed) else imputed
    nodes = som.predict(holed_data)
    codebook = som.codebook_.reshape(24, -1)
    holes = np.isnan(holed_data)
    with_bmu = nodes >= 0
    expected = np.where(holes & with_bmu[:, None], codebook[np.maximum(nodes, 0)], holed_data)
    np.testing.assert_array_equal(dense, expected.astype(dense.dtype))
    assert np.isnan(dense[~with_bmu]).any()
    # The input itself is left alone.
    assert np.isnan(holed_data).sum() == holes.sum()


def test_impute_reads_nan_as_missing_under_error_too(holed_data):
    complete = np.nan_to_num(holed_data, nan=0.0)
    som = SOM(6, 4, epochs=2, random_state=0).fit(complete)
    ignoring = copy.deepcopy(som).set_params(missing="ignore")
    ref.assert_same_bits(som.impute(holed_data), ignoring.impute(holed_data))
    assert np.isnan(som.impute(holed_data)).sum() < np.isnan(holed_data).sum()
    # Data without holes come back as they are.
    ref.assert_same_bits(som.impute(complete), complete)


def test_save_and_load_keep_the_missing_parameters(tmp_path, holed_data):
    som = fit_holed(holed_data, max_missing=0.25)
    som.save(tmp_path / "map.npz")
    loaded = load(tmp_path / "map.npz")
    assert (loaded.missing, loaded.max_missing) == ("ignore", 0.25)
    np.testing.assert_array_equal(loaded.predict(holed_data), som.predict(holed_data))
