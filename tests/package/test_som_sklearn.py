"""scikit-learn's conventions: its estimator checks, pipelines, grid
search through score, parameters and clones."""

import traceback

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.base import clone
from sklearn.datasets import make_blobs
from sklearn.model_selection import GridSearchCV, KFold
from sklearn.pipeline import make_pipeline
from sklearn.preprocessing import StandardScaler
from sklearn.utils.estimator_checks import check_estimator
from quorvel import SOM

import som_reference as ref

# Checks that ask of the estimator what a map is not.
EXPECTED_FAILED_CHECKS = {
    # It treats the labels as clusters found in the rows: every label from 0
    # to the largest must hold a training row, and the labels must agree
    # with three blobs. A map's labels are its nodes, which lie on a grid
    # whatever the data: nodes between two groups of rows, or at the map's
    # edge, hold no row, and that is how a map shows the gaps; and a map of
    # one node (or of more nodes than groups, with a width that joins them)
    # does not reproduce the groups.
    "check_clustering": "a map's nodes may hold no training row and are not the data's groups",
}
# The assertions of check_clustering that those reasons explain: the run of
# labels from 0, and the agreement with the blobs.
EXPECTED_FAILURES = {
    "empty nodes": ("labels_sorted", "assert_array_equal("),
    "not the groups": ("adjusted_rand_score",),
}


def failed_assertion(exception):
    """The line of check_clustering whose assertion failed."""
    frames = [f for f in traceback.extract_tb(exception.__traceback__) if f.name == "check_clustering"]
    return frames[-1].line if frames else ""


@pytest.mark.parametrize(
    "params, reason",
    [
        ({}, "empty nodes"),
        ({"grid": "rectangular", "topology": "toroid", "neighbourhood": "cut_gaussian",
          "cooling": "exponential", "init": "random", "random_state": 0}, "empty nodes"),
        ({"columns": 1, "rows": 1, "init": "sample", "random_state": 0}, "not the groups"),
        # NaN allowed: the checks that feed NaN must then pass too.
        ({"missing": "ignore"}, "empty nodes"),
    ],
    ids=["defaults", "other-choices", "one-node", "missing-ignore"],
)
def test_estimator_checks_pass_except_map_specific(params, reason):
    estimator = SOM(**{"columns": 3, "rows": 2, "epochs": 2, **params})
    # on_fail=None: every check runs and reports, so a failure shows here
    # as a status instead of ending the run.
    results = check_estimator(
        estimator, expected_failed_checks=EXPECTED_FAILED_CHECKS, on_fail=None, on_skip=None
    )
    statuses = {}
    for result in results:
        statuses.setdefault(result["check_name"], set()).add(result["status"])
    assert len(statuses) > 30
    failing = {name: status for name, status in statuses.items() if "failed" in status}
    assert not failing, failing
    expected = [result for result in results if result["status"] == "xfail"]
    assert {result["check_name"] for result in expected} == set(EXPECTED_FAILED_CHECKS)
    for result in expected:
        line = failed_assertion(result["exception"])
        assert any(part in line for part in EXPECTED_FAILURES[reason]), line


def test_labels_may_skip_nodes_between_groups():
    # What check_clustering refuses, on purpose: two far groups on a line of
    # five nodes leave the nodes between them empty.
    X = np.concatenate([np.zeros((20, 1)), np.full((20, 1), 10.0)]).astype(np.float32)
    init = np.linspace(0.0, 10.0, 5)[:, None]
    labels = SOM(5, 1, epochs=3, sigma_start=1.0, sigma_end=0.5, init=init).fit(X).labels_
    assert set(labels.tolist()) == {0, 4}


def blobs():
    X, _ = make_blobs(n_samples=150, n_features=3, centers=5, cluster_std=0.6, random_state=0)
    return X * [1.0, 50.0, 0.01] + [5.0, -300.0, 2.0]


def test_pipeline_after_standard_scaler_equals_fit_on_scaled():
    X = blobs()
    pipeline = make_pipeline(StandardScaler(), SOM(5, 4, epochs=4)).fit(X)
    scaled = StandardScaler().fit_transform(X)
    alone = SOM(5, 4, epochs=4).fit(scaled)
    som = pipeline[-1]
    assert som.codebook_.tobytes() == alone.codebook_.tobytes()
    np.testing.assert_array_equal(pipeline.predict(X), alone.predict(scaled))
    assert pipeline.transform(X).tobytes() == alone.transform(scaled).tobytes()
    assert pipeline.score(X) == alone.score(scaled)
    # Standardized data have negative values; the map has them too.
    assert (som.codebook_ < 0).any() and (som.codebook_ > 0).any()


def test_grid_search_through_score_picks_larger_map():
    X = StandardScaler().fit_transform(blobs())
    search = GridSearchCV(
        SOM(epochs=3, rows=1), {"columns": [1, 2, 8]}, cv=KFold(3, shuffle=True, random_state=0)
    ).fit(X)
    # A map of more nodes quantizes better: -QE is higher.
    assert search.best_params_ == {"columns": 8}
    scores = search.cv_results_["mean_test_score"]
    assert scores[0] < scores[1] < scores[2] < 0
    assert search.best_estimator_.codebook_.shape == (1, 8, 3)


def test_score_is_minus_quantization_error():
    X = blobs()
    estimator = SOM(4, 3, epochs=2).fit(X)
    for data in (X, X[:7] + 1.0, sp.csr_matrix(X)):
        assert estimator.score(data) == -estimator.quantization_error(data)
    assert estimator.score(X, y=np.zeros(len(X))) == estimator.score(X)


def test_fit_predict_and_fit_transform_equal_fit_then_call():
    X = blobs()
    labels = SOM(4, 3, epochs=2).fit_predict(X)
    distances = SOM(4, 3, epochs=2).fit_transform(X)
    fitted = SOM(4, 3, epochs=2).fit(X)
    np.testing.assert_array_equal(labels, fitted.labels_)
    np.testing.assert_array_equal(labels, fitted.predict(X))
    assert distances.tobytes() == fitted.transform(X).tobytes()
    np.testing.assert_array_equal(distances.argmin(axis=1), labels)


def test_get_params_lists_every_constructor_argument():
    params = SOM().get_params()
    assert sorted(params) == sorted([
        "columns", "rows", "epochs", "grid", "topology", "neighbourhood", "sigma_start",
        "sigma_end", "cooling", "init", "random_state", "n_jobs", "verbose",
        "missing", "max_missing",
    ])  # fmt: skip
    init = np.zeros((6, 2))
    estimator = SOM(3, 2, epochs=4, grid="rectangular", init=init, random_state=3)
    params = estimator.get_params()
    assert params["columns"] == 3 and params["rows"] == 2 and params["epochs"] == 4
    assert params["grid"] == "rectangular" and params["init"] is init
    assert params["random_state"] == 3


def test_set_params_changes_fit():
    X = blobs()
    estimator = SOM(4, 3, epochs=1)
    assert estimator.set_params(columns=2, rows=5, grid="rectangular") is estimator
    estimator.fit(X)
    assert estimator.codebook_.shape == (5, 2, 3)
    with pytest.raises(ValueError, match="colums"):
        estimator.set_params(colums=3)


@pytest.mark.parametrize("init", ["random", "sample", "pca", "array"])
def test_clone_is_unfitted_and_fits_same_bits(init):
    X = blobs()
    init = np.random.default_rng(0).normal(size=(12, 3)) if init == "array" else init
    original = SOM(4, 3, epochs=3, init=init, random_state=5).fit(X)
    copy = clone(original)
    assert not hasattr(copy, "codebook_") and not hasattr(copy, "labels_")
    params = copy.get_params()
    for name, value in original.get_params().items():
        if isinstance(value, np.ndarray):
            np.testing.assert_array_equal(params[name], value)
        else:
            assert params[name] == value
    copy.fit(X)
    ref.assert_same_bits(ref.fitted_state(copy), ref.fitted_state(original))


def test_refit_on_other_data_replaces_everything():
    X = blobs()
    estimator = SOM(4, 3, epochs=2).fit(X)
    Y = X[:40, :2]
    estimator.fit(Y)
    fresh = SOM(4, 3, epochs=2).fit(Y)
    ref.assert_same_bits(ref.fitted_state(estimator), ref.fitted_state(fresh))
