"""SOMClassifier and SOMRegressor: the definitions against a float64
reference (the layers' scaling, the joint BMU in training, the label
layer's means, the data-layer BMU in prediction), semi-supervised rows, the
data layer's max_missing, scikit-learn's conventions, input forms, bits
across threads, persistence and errors."""

import math

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from sklearn.datasets import load_iris, make_friedman1
from sklearn.model_selection import GridSearchCV, cross_val_score
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import parametrize_with_checks

import som_reference as ref
from quorvel import SOMClassifier, SOMRegressor

# ----------------------------------------------------------------------
# The definitions in float64, from the docstring alone.


def spread(A: np.ndarray) -> float:
    """Mean squared distance between two rows drawn independently: twice
    the sum of the column variances over the observed values."""
    total = 0.0
    for column in np.asarray(A, dtype=np.float64).T:
        seen = column[~np.isnan(column)]
        total += float(np.mean((seen - seen.mean()) ** 2)) if seen.size else 0.0
    return 2.0 * total


def joint_distances(J: np.ndarray, W: np.ndarray) -> np.ndarray:
    """Squared distances over the observed columns, times columns /
    observed (the masked rule over the joint row)."""
    observed = ~np.isnan(J)
    out = np.empty((J.shape[0], W.shape[0]))
    for k in range(W.shape[0]):
        out[:, k] = (np.where(observed, J - W[k], 0.0) ** 2).sum(axis=1)
    return out * J.shape[1] / observed.sum(axis=1, keepdims=True)


def reference_fit(X, Y, weight, init, columns, rows, widths):
    """The joint map: the label scale c, the codebook after the epochs
    (data columns, then label columns in the label layer's units) and the
    joint BMUs under it."""
    c = math.sqrt(weight / (1 - weight) * (spread(X) or 1.0) / (spread(Y) or 1.0))
    J = np.hstack([X, c * Y])
    W = np.array(init, dtype=np.float64)
    W[:, X.shape[1] :] *= c
    h_all = ref.grid_distances_squared(columns, rows, "rectangular", "planar")
    observed = ~np.isnan(J)
    for sigma in widths:
        best = np.argmin(joint_distances(J, W), axis=1)
        h = ref.neighbourhood(h_all, sigma, "gaussian")
        for node in range(W.shape[0]):
            weights = h[node, best][:, None]
            W[node] = (weights * np.where(observed, J, 0.0)).sum(0) / (weights * observed).sum(0)
    best = np.argmin(joint_distances(J, W), axis=1)
    W[:, X.shape[1] :] /= c
    return c, W, best


def case(kind, unlabelled_share, seed=0, holes=0.0):
    """Clustered rows (wide BMU margins), their labels with a share
    unknown, the label layer in its units, and the fit's settings; with
    ``holes``, that share of the rows misses one value of X."""
    rng = np.random.default_rng(seed)
    n, p, columns, rows = 60, 3, 4, 3
    groups = rng.integers(0, 3, size=n)
    X = (rng.normal(scale=6.0, size=(3, p))[groups] + rng.normal(size=(n, p))).astype(np.float32)
    complete = X.copy()
    holed = np.flatnonzero(rng.random(n) < holes)
    X[holed, rng.integers(0, p, size=holed.size)] = np.nan
    unknown = rng.random(n) < unlabelled_share
    if kind == "classifier":
        y = groups.copy()
        y[unknown] = -1
        Y = np.eye(3)[groups]
        Y[unknown] = np.nan
        params = {"unlabelled": -1}
    else:
        y = np.column_stack([groups * 2.0 + complete[:, 0], -groups + 0.1 * complete[:, 1]])
        y[unknown, 0] = np.nan
        y[unknown[::-1], 1] = np.nan
        Y = (y - np.nanmean(y, axis=0)) / np.nanstd(y, axis=0)
        params = {}
    init = ref.random_init(columns * rows, np.hstack([complete, np.nan_to_num(Y)]), seed + 1)
    if kind == "regressor":  # the init array's label columns are in y's units
        init[:, p:] = init[:, p:] * np.nanstd(y, axis=0) + np.nanmean(y, axis=0)
    settings = dict(
        columns=columns, rows=rows, grid="rectangular", epochs=3, sigma_start=1.5,
        sigma_end=0.7, init=init, label_weight=0.4, missing="ignore" if holes else "error",
        **params,
    )  # fmt: skip
    return X, y, Y, settings


ESTIMATORS = {"classifier": SOMClassifier, "regressor": SOMRegressor}


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
@pytest.mark.parametrize("unlabelled_share, holes", [(0.0, 0.0), (0.4, 0.0), (0.4, 0.3)])
def test_fit_and_predict_match_the_float64_definitions(kind, unlabelled_share, holes):
    X, y, Y, settings = case(kind, unlabelled_share, holes=holes)
    model = ESTIMATORS[kind](**settings).fit(X, y)
    init = np.array(settings["init"], dtype=np.float64)
    if kind == "regressor":
        init[:, 3:] = (init[:, 3:] - model.target_mean_) / model.target_scale_
    widths = ref.sigmas(1.5, 0.7, 3, "linear")
    c, W, best = reference_fit(X.astype(np.float64), Y, 0.4, init, 4, 3, widths)
    assert model.label_scale_ == pytest.approx(c, rel=1e-12)
    np.testing.assert_allclose(model.codebook_.reshape(12, 3), W[:, :3], rtol=1e-5, atol=1e-5)
    labels = model.label_codebook_.reshape(12, -1)
    if kind == "regressor":
        labels = (labels - model.target_mean_) / model.target_scale_
    np.testing.assert_allclose(labels, W[:, 3:], rtol=1e-4, atol=1e-5)
    np.testing.assert_array_equal(model.labels_, best)
    # Prediction: the data layer alone, for new rows and the training rows.
    new = np.vstack([X, np.random.default_rng(5).normal(scale=6.0, size=(30, 3))])
    nodes = np.argmin(joint_distances(new.astype(np.float64), W[:, :3]), axis=1)
    np.testing.assert_array_equal(model.apply(new), nodes)
    if kind == "classifier":
        shares = np.clip(model.label_codebook_.reshape(12, 3), 0, None)
        shares /= shares.sum(axis=1, keepdims=True)
        np.testing.assert_allclose(model.predict_proba(new), shares[nodes], rtol=1e-12)
        np.testing.assert_array_equal(model.predict(new), np.argmax(shares[nodes], axis=1))
    else:
        np.testing.assert_array_equal(model.predict(new), model.label_codebook_.reshape(12, 2)[nodes])
        assert model.label_codebook_.shape == (3, 4, 2)


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_max_missing_counts_the_data_features_alone(kind):
    # With max_missing=0 a row with a hole in X has no BMU and is predicted
    # from the whole training set; a row missing its label alone trains.
    X, y, _, settings = case(kind, 0.4)
    X = X.copy()
    X[0, 1] = np.nan
    settings = {**settings, "missing": "ignore", "max_missing": 0.0}
    model = ESTIMATORS[kind](**settings).fit(X, y)
    assert model.labels_[0] == -1 and (model.labels_[1:] >= 0).all()
    prediction = model.predict(X[:2])
    if kind == "classifier":
        np.testing.assert_array_equal(model.predict_proba(X[:1])[0], model.class_prior_)
        assert model.class_prior_.sum() == pytest.approx(1.0)
    else:
        np.testing.assert_array_equal(prediction[0], model.target_mean_)
    assert model.apply(X[:2]).tolist()[0] == -1


# ----------------------------------------------------------------------
# scikit-learn's conventions.


@parametrize_with_checks([SOMClassifier(random_state=0), SOMRegressor(random_state=0)])
def test_estimator_checks(estimator, check):
    check(estimator)


def test_pipeline_grid_search_and_cross_validation():
    X, y = load_iris(return_X_y=True)
    search = GridSearchCV(
        make_pipeline(StandardScaler(), SOMClassifier(random_state=0)),
        {"somclassifier__label_weight": [0.3, 0.7]}, cv=3,
    ).fit(X, y)  # fmt: skip
    assert search.best_score_ > 0.85
    X, y = make_friedman1(n_samples=300, noise=0.5, random_state=0)
    scores = cross_val_score(make_pipeline(StandardScaler(), SOMRegressor(random_state=0)), X, y)
    assert scores.mean() > 0.3


def fitted_bits(model):
    return {key: value for key, value in ref.fitted_state(model).items() if key != "history_"}


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_same_bits_for_threads_sparse_and_dataframes(kind):
    X, y, _, settings = case(kind, 0.4, seed=3)
    X[X < 0] = 0.0  # zeros for the sparse form
    settings = {**settings, "init": "pca"}
    base = ESTIMATORS[kind](**settings, n_jobs=1).fit(X, y)
    state = fitted_bits(base)
    def frame(X):
        return pd.DataFrame(X, columns=list("abc"))

    for n_jobs, form in ((2, np.asarray), (3, sp.csr_matrix), (None, frame)):
        other = ESTIMATORS[kind](**settings, n_jobs=n_jobs).fit(form(X), y)
        bits = fitted_bits(other)
        assert (bits.pop("feature_names_in_", None) is None) == (form is not frame)
        ref.assert_same_bits(bits, state)
        for method in ("apply", "predict", "transform"):
            ref.assert_same_bits(getattr(other, method)(form(X)), getattr(base, method)(X))


# ----------------------------------------------------------------------
# Errors.


@pytest.mark.parametrize(
    "kind, X, y, params, match",
    [
        ("classifier", np.ones((5, 2)), [0, 1, 0, 1], {}, "y has 4 rows but X has 5"),
        ("regressor", np.ones((5, 2)), np.ones(6), {}, "y has 6 rows but X has 5"),
        ("classifier", np.eye(4), [2, 2, 2, 2], {}, "at least two classes; y has 1 class: 2"),
        ("classifier", np.eye(4), [2, -1, 2, -1], {"unlabelled": -1}, "at least two classes"),
        ("classifier", [[0.0, np.nan], [1.0, 2.0]], [0, 1], {}, "X contains 1 NaN"),
        ("regressor", [[0.0, np.nan], [1.0, 2.0]], [0, 1], {}, "X contains 1 NaN"),
        ("regressor", np.eye(3), [np.nan] * 3, {}, "no known value"),
        ("regressor", np.eye(3), [0.0, np.inf, 1.0], {}, "y contains infinity"),
        ("regressor", np.eye(3), [0.0, 1.0, 2.0], {"columns": 2, "rows": 2, "init": np.ones((4, 3))},
         r"n_features \+ n_outputs\) = \(2, 2, 4\)"),
    ],
)  # fmt: skip
def test_bad_input_is_refused_by_name(kind, X, y, params, match):
    with pytest.raises(ValueError, match=match):
        ESTIMATORS[kind](**params).fit(X, y)


# ----------------------------------------------------------------------
# Pictures.


@pytest.mark.parametrize("kind", ["classifier", "regressor"])
def test_pictures_colour_nodes_by_prediction_and_label_layer(kind):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from quorvel import plot

    X, y, _, settings = case(kind, 0.0)
    settings["init"] = "pca"
    model = ESTIMATORS[kind](**settings).fit(X, y if kind == "classifier" else y[:, 1])
    # The node's picture is the prediction for a row that the node wins.
    at_nodes = model.codebook_.reshape(12, 3)
    cells = plot.prediction_map(model)
    planes = plot.label_planes(model)
    if kind == "classifier":
        palette = [matplotlib.colors.to_rgba(c) for c in matplotlib.colormaps["tab10"].colors]
        expected = [palette[c] for c in model.predict(at_nodes)]
        np.testing.assert_allclose(cells.get_facecolor(), expected)
        shares = model.predict_proba(at_nodes)
        assert [ax.axes.get_title() for ax in planes] == ["0", "1", "2"]
    else:
        np.testing.assert_array_equal(cells.get_array(), model.predict(at_nodes))
        shares = model.predict(at_nodes)[:, None]
        assert [ax.axes.get_title() for ax in planes] == ["target"]
    for column, plane in enumerate(planes):
        np.testing.assert_array_equal(plane.get_array(), shares[:, column])
    plt.close("all")


# ----------------------------------------------------------------------
# Saved maps.


@pytest.mark.parametrize(
    "kind, labels, params",
    [
        ("classifier", "text", {"unlabelled": "?"}),
        ("classifier", "numbers", {"init": "random", "random_state": 3}),
        ("regressor", "two outputs", {}),
        ("regressor", "one output", {"missing": "ignore", "grid": "hexagonal"}),
    ],
)
def test_save_load_round_trip_keeps_every_bit(kind, labels, params, tmp_path):
    from quorvel import load

    X, y, _, settings = case(kind, 0.3)
    if labels == "text":  # object classes; the marker -1 becomes "?"
        y = np.array(["a", "b", "c", "?"], dtype=object)[y]
    elif labels == "one output":
        y = y[:, 0]
    frame = pd.DataFrame(X, columns=list("xyz"))
    model = ESTIMATORS[kind](**{**settings, "init": "pca", **params}).fit(frame, y)
    model.save(tmp_path / "map.npz")
    loaded = load(tmp_path / "map.npz")
    assert type(loaded) is type(model) and loaded.get_params() == model.get_params()
    ref.assert_same_bits(ref.fitted_state(loaded), ref.fitted_state(model))
    for method in ("predict", "apply") + (("predict_proba",) if kind == "classifier" else ()):
        ref.assert_same_bits(getattr(loaded, method)(frame), getattr(model, method)(frame))
