"""Random parameters and data: a fit either works, when everything it was
given is valid, or raises ValueError or TypeError; a fitted estimator is
unchanged by a call that fails; and what a successful fit leaves fits
together. The examples are small maps on a few dozen rows, so that the
derandomized profile's examples take seconds."""

import copy
import math

import numpy as np
import pytest
import scipy.sparse as sp
from hypothesis import event, given, settings
from hypothesis import strategies as st
from quorvel import SOM

import som_reference as ref
from training_runs import example_count  # registers and loads the profiles

# The largest magnitude drawn: its square still fits in float32.
LARGE = 1e18
SPECIALS = [math.nan, math.inf, -math.inf]

# (parameter, invalid value)
BAD_PARAMETERS = [
    ("columns", 0), ("columns", -2), ("columns", 2.5), ("columns", "3"),
    ("rows", 0), ("rows", None), ("epochs", -1), ("epochs", 1.5),
    ("grid", "square"), ("grid", None), ("topology", "sphere"), ("topology", 1),
    ("neighbourhood", "mexican_hat"), ("cooling", "inverse"), ("init", "kmeans"),
    ("init", None), ("sigma_start", 0.0), ("sigma_start", -1.0), ("sigma_start", math.inf),
    ("sigma_start", math.nan), ("sigma_end", 0), ("sigma_end", math.inf),
    ("random_state", "seed"), ("random_state", -1), ("verbose", "yes"), ("n_jobs", 1.5),
]  # fmt: skip

widths = st.one_of(st.none(), st.floats(0.05, 10.0))
valid_parameters = st.fixed_dictionaries(
    {
        "columns": st.integers(1, 8),
        "rows": st.integers(1, 8),
        "epochs": st.integers(0, 3),
        "grid": st.sampled_from(["hexagonal", "rectangular"]),
        "topology": st.sampled_from(["planar", "toroid"]),
        "neighbourhood": st.sampled_from(["gaussian", "bubble", "cut_gaussian"]),
        "sigma_start": widths,
        "sigma_end": widths,
        "cooling": st.sampled_from(["linear", "exponential"]),
        "init": st.sampled_from(["pca", "random", "sample", "array", "flat array", "pca", "wrong array"]),
        "random_state": st.one_of(st.none(), st.integers(0, 2**32 - 1)),
        "n_jobs": st.sampled_from([None, 1, 2, -1, -2]),
    }
)


@st.composite
def inputs(draw, n_features=None):
    """(X in some form, whether it is valid, its feature count)."""
    n_rows = draw(st.integers(0, 60))
    if n_features is None:
        n_features = draw(st.sampled_from([1, 2, 3, 4, 5, 1, 2, 3, 0]))
    scale = draw(st.sampled_from([1.0, 1e-3, 1e6, 1e15]))
    seed = draw(st.integers(0, 2**16))
    rng = np.random.default_rng(seed)
    values = rng.normal(scale=scale, size=(n_rows, n_features))
    if n_rows and n_features and draw(st.booleans()):
        values[rng.random(values.shape) < draw(st.floats(0.0, 1.0))] = 0.0
    if n_rows and n_features and draw(st.booleans()):
        # Large, subnormal and negative-zero values.
        where = draw(st.integers(0, n_rows * n_features - 1))
        values.flat[where] = draw(st.sampled_from([LARGE, -LARGE, 1e-40, -0.0]))
    finite = True
    if n_rows and n_features and draw(st.integers(0, 6)) == 0:
        where = draw(st.integers(0, n_rows * n_features - 1))
        values.flat[where] = draw(st.sampled_from(SPECIALS))
        finite = False
    form = draw(st.sampled_from(["float32", "float64", "int", "list", "csr", "csc", "fortran"]))
    if form == "int":
        values = np.nan_to_num(values, nan=0.0, posinf=0.0, neginf=0.0)
        values = np.clip(np.rint(values), -1e6, 1e6).astype(np.int64)
        finite = True
    X = {
        "float32": lambda: values.astype(np.float32),
        "float64": lambda: values,
        "int": lambda: values,
        "list": lambda: values.tolist(),
        "csr": lambda: sp.csr_matrix(values.astype(np.float32)),
        "csc": lambda: sp.csc_array(values),
        "fortran": lambda: np.asfortranarray(values.astype(np.float32)),
    }[form]()
    valid = finite and n_rows >= 1 and n_features >= 1
    return X, valid, n_features


def base_estimator():
    X = ref.clustered_data(30, 3, 4, seed=0)
    return SOM(3, 2, epochs=2, init="random", random_state=0, n_jobs=1).fit(X)


BASE = base_estimator()


def resolve_init(params, n_features):
    """Turns the array choices into arrays; returns whether init is valid."""
    choice = params["init"]
    columns, rows = params["columns"], params["rows"]
    n_nodes = columns * rows
    rng = np.random.default_rng(0)
    if choice == "array":
        params["init"] = rng.normal(size=(rows, columns, n_features))
    elif choice == "flat array":
        params["init"] = rng.normal(size=(n_nodes, n_features))
    elif choice == "wrong array":
        params["init"] = rng.normal(size=(n_nodes + 1, n_features))
        return False
    return True


def check_fitted(estimator, X, params, n_features):
    """What a successful fit leaves fits together."""
    columns, rows = params["columns"], params["rows"]
    n_rows = X.shape[0] if hasattr(X, "shape") else len(X)
    assert estimator.codebook_.shape == (rows, columns, n_features)
    assert estimator.codebook_.dtype == np.float32
    assert np.isfinite(estimator.codebook_).all()
    assert estimator.umatrix_.shape == (rows, columns)
    assert (estimator.umatrix_ >= 0).all()
    assert estimator.labels_.shape == (n_rows,) and estimator.labels_.dtype == np.int64
    assert ((0 <= estimator.labels_) & (estimator.labels_ < columns * rows)).all()
    assert estimator.n_iter_ == params["epochs"] == len(estimator.history_["sigma"])
    assert len(estimator.history_["quantization_error"]) == params["epochs"]
    assert (estimator.history_["sigma"] > 0).all()
    assert estimator.quantization_error_ >= 0
    assert 0.0 <= estimator.topographic_error_ <= 1.0
    np.testing.assert_array_equal(estimator.predict(X), estimator.labels_)


@settings(max_examples=example_count(200))
@given(params=valid_parameters, bad=st.one_of(st.none(), st.none(), st.none(), st.sampled_from(BAD_PARAMETERS)), data=st.data())
def test_fit_works_or_raises_documented_error(params, bad, data):
    if params["grid"] == "hexagonal" and params["topology"] == "toroid":
        params["rows"] += params["rows"] % 2  # an odd one is refused (test_som_inputs)
    X, valid_data, n_features = data.draw(inputs())
    valid_init = resolve_init(params, n_features)
    valid = valid_data and valid_init
    if bad is not None:
        params[bad[0]] = bad[1]
        valid = False
    estimator = copy.deepcopy(BASE)
    state = ref.fitted_state(estimator)
    estimator.set_params(**params)
    event("valid" if valid else "invalid")
    if valid:
        estimator.fit(X)
        check_fitted(estimator, X, params, n_features)
        assert estimator.n_features_in_ == n_features
        return
    with pytest.raises((ValueError, TypeError)) as error:
        estimator.fit(X)
    if bad is not None:
        assert repr(bad[0]) in str(error.value)
    ref.assert_same_state(estimator, state)


@settings(max_examples=example_count(200))
@given(data=st.data())
def test_calls_on_fitted_map_work_or_raise_and_change_nothing(data):
    estimator = copy.deepcopy(BASE)
    state = ref.fitted_state(estimator)
    n_features = data.draw(st.sampled_from([3, 3, 3, 2, 4]))
    X, valid, _ = data.draw(inputs(n_features=n_features))
    method = data.draw(st.sampled_from(
        ["predict", "transform", "quantization_error", "topographic_error", "score"]
    ))  # fmt: skip
    valid = valid and n_features == 3
    event("valid" if valid else "invalid")
    if valid:
        result = getattr(estimator, method)(X)
        n_rows = X.shape[0] if hasattr(X, "shape") else len(X)
        if method == "predict":
            assert result.shape == (n_rows,) and ((0 <= result) & (result < 6)).all()
        elif method == "transform":
            assert result.shape == (n_rows, 6) and (result >= 0).all()
        elif method == "topographic_error":
            assert 0.0 <= result <= 1.0
        elif method == "score":
            assert result <= 0
        else:
            assert result >= 0
    else:
        with pytest.raises((ValueError, TypeError)):
            getattr(estimator, method)(X)
    ref.assert_same_state(estimator, state)
