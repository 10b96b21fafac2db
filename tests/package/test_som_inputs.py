"""What X may be (dtypes, layouts, lists, DataFrames, every sparse format),
what it may not (NaN, infinities, another feature count, a map not fitted
yet), the parameters' errors, and that a failed fit leaves a fitted
estimator as it was."""

import numpy as np
import pandas as pd
import pytest
import scipy.sparse as sp
from sklearn.exceptions import NotFittedError
from quorvel import SOM, load

import som_reference as ref

COLUMNS, ROWS, N_FEATURES = 4, 3, 5


def mixed_data(n_rows=60, seed=0):
    """Values of both signs and many zeros, float32."""
    rng = np.random.default_rng(seed)
    X = rng.normal(scale=3.0, size=(n_rows, N_FEATURES)).astype(np.float32)
    X[rng.random(X.shape) < 0.6] = 0.0
    return X


def init_array(seed=1):
    return np.random.default_rng(seed).normal(size=(COLUMNS * ROWS, N_FEATURES))


def fitted(X, **params):
    params = {"epochs": 3, "init": init_array(), "neighbourhood": "bubble", **params}
    return SOM(COLUMNS, ROWS, **params).fit(X)


def assert_same_fit(a, b):
    """Same fitted state, bit for bit."""
    ref.assert_same_bits(ref.fitted_state(a), ref.fitted_state(b))


# ----------------------------------------------------------------------
# Dense forms


@pytest.mark.parametrize(
    "form",
    [
        pytest.param(lambda X: X.astype(np.float64), id="float64"),
        pytest.param(lambda X: np.asfortranarray(X), id="fortran"),
        pytest.param(lambda X: X[:, ::-1].copy()[:, ::-1], id="negative-strides"),
        pytest.param(lambda X: X.astype(X.dtype.newbyteorder(">")), id="big-endian"),
        pytest.param(lambda X: X.tolist(), id="list"),
        pytest.param(lambda X: [tuple(row) for row in X.tolist()], id="list-of-tuples"),
    ],
)
def test_dense_forms_fit_same_bits_as_float32(form):
    X = mixed_data()
    expected = fitted(X)
    assert_same_fit(fitted(form(X)), expected)
    np.testing.assert_array_equal(expected.predict(form(X)), expected.labels_)


@pytest.mark.parametrize("dtype", [np.int8, np.int32, np.int64, np.uint16, bool, np.float16])
def test_integer_bool_and_half_data_fit_as_their_float32_values(dtype):
    X = np.rint(mixed_data())
    X = np.abs(X) > 1 if dtype is bool else np.abs(X) if dtype == np.uint16 else X
    typed = X.astype(dtype)
    assert_same_fit(fitted(typed), fitted(typed.astype(np.float32)))


def test_dataframe_fit_keeps_feature_names():
    X = mixed_data()
    names = [f"feature {i}" for i in range(N_FEATURES)]
    frame = pd.DataFrame(X, columns=names)
    estimator = fitted(frame)
    np.testing.assert_array_equal(estimator.feature_names_in_, names)
    assert estimator.n_features_in_ == N_FEATURES
    plain = fitted(X)
    assert not hasattr(plain, "feature_names_in_")
    ref.assert_same_bits(estimator.codebook_, plain.codebook_)
    np.testing.assert_array_equal(estimator.predict(frame), plain.labels_)
    with pytest.raises(ValueError, match="feature names"):
        estimator.predict(frame.rename(columns={names[0]: "another"}))


def test_dataframe_mixed_dtypes_fit_as_float32_values():
    X = np.rint(mixed_data())
    frame = pd.DataFrame({f"f{i}": X[:, i] for i in range(N_FEATURES)})
    frame["f1"] = frame["f1"].astype(np.int64)
    frame["f2"] = frame["f2"].astype(np.float64)
    assert_same_fit(fitted(frame.to_numpy()), fitted(X))
    ref.assert_same_bits(fitted(frame).codebook_, fitted(X).codebook_)


# ----------------------------------------------------------------------
# Sparse forms


SPARSE_FORMATS = ["csr", "csc", "coo", "lil", "dok", "bsr", "dia"]


def sparse_of(X, form, kind):
    make = getattr(sp, f"{form}_{kind}")
    return make(X)


@pytest.mark.parametrize("kind", ["matrix", "array"])
@pytest.mark.parametrize("form", SPARSE_FORMATS)
def test_sparse_formats_fit_same_bits_as_dense(form, kind):
    X = mixed_data()
    Y = mixed_data(25, seed=9)
    dense = fitted(X)
    sparse = fitted(sparse_of(X, form, kind))
    assert_same_fit(sparse, dense)
    Ys = sparse_of(Y, form, kind)
    np.testing.assert_array_equal(sparse.predict(Ys), dense.predict(Y))
    assert sparse.transform(Ys).tobytes() == dense.transform(Y).tobytes()
    assert sparse.quantization_error(Ys) == dense.quantization_error(Y)
    assert sparse.topographic_error(Ys) == dense.topographic_error(Y)


@pytest.mark.parametrize("init", ["random", "sample"])
def test_sparse_fit_seeded_init_same_bits_as_dense(init):
    X = mixed_data()
    dense = fitted(X, init=init, random_state=3)
    assert_same_fit(fitted(sp.csr_array(X), init=init, random_state=3), dense)


def test_sparse_duplicates_unsorted_and_explicit_zeros_fit_as_dense_sum():
    X = mixed_data()
    coo = sp.coo_matrix(X)
    # Split every stored value into two entries, list them in reverse, and
    # add explicit zeros: the matrix's values are unchanged.
    rows = np.concatenate([coo.row, coo.row, np.arange(10)])[::-1]
    cols = np.concatenate([coo.col, coo.col, np.arange(10) % N_FEATURES])[::-1]
    half = coo.data * np.float32(0.5)
    values = np.concatenate([half, coo.data - half, np.zeros(10, np.float32)])[::-1]
    messy = sp.coo_matrix((values, (rows, cols)), shape=X.shape)
    np.testing.assert_array_equal(messy.toarray(), X)
    csr = sp.csr_matrix((values, (rows, cols)), shape=X.shape)
    unsorted = sp.csr_matrix((csr.data[::-1].copy(), csr.indices[::-1].copy(), csr.indptr), shape=X.shape)
    for matrix in (messy, csr):
        assert_same_fit(fitted(matrix), fitted(X))
    # Indices reversed within each row but not the values: other values,
    # compared with their own dense form.
    assert_same_fit(fitted(unsorted), fitted(unsorted.toarray()))


def test_sparse_input_left_unmodified():
    X = sp.csr_matrix(mixed_data())
    data, indices, indptr = X.data.copy(), X.indices.copy(), X.indptr.copy()
    estimator = fitted(X)
    estimator.predict(X)
    estimator.transform(X)
    assert X.data.tobytes() == data.tobytes()
    assert X.indices.tobytes() == indices.tobytes()
    assert X.indptr.tobytes() == indptr.tobytes()


def test_sparse_all_zero_rows_and_empty_matrix_fit_as_dense():
    X = mixed_data()
    X[5:15] = 0.0
    assert_same_fit(fitted(sp.csr_matrix(X)), fitted(X))
    zeros = np.zeros((8, N_FEATURES), dtype=np.float32)
    assert_same_fit(fitted(sp.csr_matrix(zeros)), fitted(zeros))


# ----------------------------------------------------------------------
# Values that are not finite


BAD_POSITIONS = [(2, 1), (2, 4), (40, 0)]


@pytest.mark.parametrize("form", ["dense", "list", "csr", "csc", "coo"])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_not_finite_values_raise_naming_count_and_first(bad, form):
    X = mixed_data()
    for row, column in BAD_POSITIONS:
        X[row, column] = bad
    data = X.tolist() if form == "list" else X if form == "dense" else sparse_of(X, form, "matrix")
    with pytest.raises(ValueError) as error:
        SOM(COLUMNS, ROWS, epochs=1).fit(data)
    message = str(error.value)
    assert "3 NaN or infinite values" in message
    assert "row 2, column 1" in message
    fitted_map = fitted(mixed_data())
    with pytest.raises(ValueError, match=r"3 NaN or infinite values.*row 2, column 1"):
        fitted_map.predict(data)


def test_single_not_finite_value_raises_naming_it():
    X = mixed_data()
    X[59, 3] = np.nan
    with pytest.raises(ValueError, match=r"1 NaN or infinite value\b.*row 59, column 3"):
        SOM(COLUMNS, ROWS, epochs=1).fit(X)


@pytest.mark.parametrize("method", ["predict", "transform", "quantization_error", "topographic_error", "score"])
@pytest.mark.parametrize("n_features", [N_FEATURES - 1, N_FEATURES + 2])
def test_other_feature_count_raises(method, n_features):
    estimator = fitted(mixed_data())
    X = np.ones((4, n_features), dtype=np.float32)
    with pytest.raises(ValueError, match=str(n_features)):
        getattr(estimator, method)(X)
    with pytest.raises(ValueError, match=str(n_features)):
        getattr(estimator, method)(sp.csr_matrix(X))


@pytest.mark.parametrize("method", ["predict", "transform", "quantization_error", "topographic_error", "score", "save"])
def test_use_before_fit_raises_not_fitted(method, tmp_path):
    argument = tmp_path / "map.npz" if method == "save" else mixed_data()
    with pytest.raises(NotFittedError):
        getattr(SOM(COLUMNS, ROWS), method)(argument)


@pytest.mark.parametrize(
    "X",
    [
        pytest.param(np.ones(10), id="1-d"),
        pytest.param(np.ones((0, N_FEATURES)), id="no-rows"),
        pytest.param(np.ones((5, 0)), id="no-features"),
        pytest.param(np.full((5, 2), "a"), id="strings"),
        pytest.param(np.ones((5, 2), dtype=complex), id="complex"),
        pytest.param(np.ones((2, 3, 4)), id="3-d"),
        pytest.param([[1.0, 2.0], [3.0]], id="ragged-list"),
    ],
)
def test_unusable_data_raises_value_error(X):
    with pytest.raises(ValueError):
        SOM(COLUMNS, ROWS, epochs=1).fit(X)


@pytest.mark.parametrize("kind", ["datetime64[s]", "timedelta64[ms]"])
@pytest.mark.parametrize("form", ["array", "DataFrame"])
def test_dates_and_durations_are_refused(kind, form):
    X = np.arange(12).astype(kind).reshape(6, 2)
    if form == "DataFrame":
        X = pd.DataFrame({"when": X[:, 0], "value": np.arange(6.0)})
    with pytest.raises(TypeError, match="dates or durations"):
        SOM(COLUMNS, ROWS, epochs=1).fit(X)


@pytest.mark.parametrize(
    "change",
    [{"columns": 8}, {"rows": 1, "grid": "rectangular"}, {"topology": "toroid", "rows": 3}],
    ids=["columns", "rows-and-grid", "refused-toroid"],
)
def test_prediction_uses_the_fitted_map_until_the_next_fit(change, tmp_path):
    X = mixed_data()
    som = fitted(X)
    expected = (som.predict(X), som.transform(X), som.topographic_error(X))
    som.set_params(**change)
    if "topology" in change:  # a hexagonal toroid of 3 rows is refused
        with pytest.raises(ValueError, match="even number of rows"):
            som.fit(X)
    som.save(tmp_path / "map.npz")
    assert (load(tmp_path / "map.npz").predict(X) == expected[0]).all()
    got = (som.predict(X), som.transform(X), som.topographic_error(X))
    np.testing.assert_array_equal(got[0], expected[0])
    np.testing.assert_array_equal(got[1], expected[1])
    assert got[2] == expected[2]


# ----------------------------------------------------------------------
# Parameters


# (parameter, value, a fragment naming what is accepted)
BAD_PARAMETERS = [
    ("columns", 0, "range [1, inf)"),
    ("columns", -3, "range [1, inf)"),
    ("columns", 2.5, "int"),
    ("columns", "4", "int"),
    ("columns", None, "int"),
    ("columns", True, "int"),
    ("epochs", np.True_, "int"),
    ("rows", 0, "range [1, inf)"),
    ("rows", 1.0, "int"),
    ("epochs", -1, "range [0, inf)"),
    ("epochs", 2.0, "int"),
    ("grid", "square", "hexagonal"),
    ("grid", None, "rectangular"),
    ("topology", "sphere", "toroid"),
    ("topology", "Planar", "planar"),
    ("neighbourhood", "mexican_hat", "cut_gaussian"),
    ("neighbourhood", "neighborhood", "gaussian"),
    ("cooling", "inverse", "exponential"),
    ("cooling", 1, "linear"),
    ("init", "kmeans", "pca"),
    ("init", None, "array-like"),
    ("init", 3, "array-like"),
    ("sigma_start", 0.0, "range (0"),
    ("sigma_start", -1.0, "range (0"),
    ("sigma_start", float("inf"), "None"),
    ("sigma_start", float("nan"), "None"),
    ("sigma_start", "2", "None"),
    ("sigma_end", 0, "range (0"),
    ("sigma_end", float("inf"), "None"),
    ("sigma_end", -0.5, "range (0"),
    ("n_jobs", 0, "None"),
    ("n_jobs", 1.5, "int"),
    ("n_jobs", "2", "int"),
    ("random_state", "seed", "RandomState"),
    ("random_state", 1.5, "RandomState"),
    ("verbose", "yes", "bool"),
]


@pytest.mark.parametrize(
    "name, value, accepted", BAD_PARAMETERS, ids=[f"{n}={v!r}" for n, v, _ in BAD_PARAMETERS]
)
def test_bad_parameter_raises_naming_it(name, value, accepted):
    X = mixed_data()
    estimator = SOM(COLUMNS, ROWS, epochs=1).set_params(**{name: value})
    with pytest.raises((ValueError, TypeError)) as error:
        estimator.fit(X)
    message = str(error.value)
    assert repr(name) in message, message
    given = repr(value) if not isinstance(value, float) else str(value)
    assert given in message or repr(value) in message, message
    assert accepted in message, message
    assert not hasattr(estimator, "codebook_")


@pytest.mark.parametrize(
    "name, value",
    [("columns", 0), ("grid", "square"), ("sigma_start", float("inf")), ("init", None)],
)
def test_bad_parameter_raises_both_value_and_type_error(name, value):
    # sklearn's parameter errors are both, so either except clause works.
    estimator = SOM(COLUMNS, ROWS, epochs=1).set_params(**{name: value})
    for exception in (ValueError, TypeError):
        with pytest.raises(exception):
            estimator.fit(mixed_data())


@pytest.mark.parametrize("n_jobs", [1, 2, -1, -2, -100, None, np.int64(1)])
def test_valid_n_jobs_give_same_bits(n_jobs):
    X = mixed_data()
    assert_same_fit(fitted(X, n_jobs=n_jobs), fitted(X, n_jobs=1))


# ----------------------------------------------------------------------
# A failed fit leaves the fitted estimator as it was


def bad_calls():
    X = mixed_data()
    nan = X.copy()
    nan[3, 3] = np.nan
    names = [f"f{i}" for i in range(N_FEATURES)]
    return {
        "nan data": ({}, nan),
        "nan sparse data": ({}, sp.csr_matrix(nan)),
        "nan DataFrame": ({}, pd.DataFrame(nan, columns=names)),
        "no rows": ({}, X[:0]),
        "strings": ({}, np.full((6, N_FEATURES), "x")),
        "1-d data": ({}, X[0]),
        "bad grid": ({"grid": "square"}, X),
        "bad sigma": ({"sigma_end": float("inf")}, X),
        "n_jobs 0": ({"n_jobs": 0}, X),
        "odd hexagonal toroid": ({"topology": "toroid", "rows": 3}, X),
        "init of wrong shape": ({"init": np.ones((5, N_FEATURES))}, X),
        "init with nan": ({"init": np.full((COLUMNS * ROWS, N_FEATURES), np.nan)}, X),
        "init for other features": ({}, X[:, :3]),
    }


BAD_CALLS = sorted(bad_calls())


@pytest.mark.parametrize("case", BAD_CALLS)
@pytest.mark.parametrize("first", ["array", "DataFrame"])
def test_failed_fit_leaves_fitted_state_unchanged(case, first):
    X = mixed_data(seed=4)
    if first == "DataFrame":
        X = pd.DataFrame(X, columns=[f"column {i}" for i in range(N_FEATURES)])
    estimator = SOM(COLUMNS, ROWS, epochs=2, init=init_array(), grid="hexagonal").fit(X)
    state = ref.fitted_state(estimator)
    params, data = bad_calls()[case]
    estimator.set_params(**params)
    with pytest.raises((ValueError, TypeError)):
        estimator.fit(data)
    ref.assert_same_state(estimator, state)
    # And it still works as before.
    estimator.set_params(**{name: SOM().get_params()[name] for name in params if name != "init"})
    if "init" in params:
        estimator.set_params(init=init_array())
    if "rows" in params:
        estimator.set_params(rows=ROWS)
    np.testing.assert_array_equal(estimator.predict(X), state["labels_"])


@pytest.mark.parametrize("where", ["X", "init"])
def test_fit_value_beyond_float32_raises_value_error(where):
    X = np.ones((10, 3))
    init = np.ones((4, 3))
    (X if where == "X" else init)[1, 2] = 1e39
    with pytest.raises(ValueError, match=f"{where} contains 1 NaN or infinite value"):
        SOM(2, 2, epochs=1, init=init).fit(X)


@pytest.mark.parametrize("exception", [ValueError, TypeError])
def test_n_jobs_zero_raises_both_value_and_type_error(exception):
    with pytest.raises(exception, match="n_jobs"):
        SOM(2, 2, epochs=1, n_jobs=0).fit(np.ones((10, 3)))
