"""The initial codebook: "pca", "random", "sample" and arrays of both
shapes, seen through fits of no epochs."""

import math

import numpy as np
import pytest
import quorvel._init
import scipy.sparse as sp
from quorvel import SOM, _core
from quorvel._fixedpoint import product_exponents
from quorvel._init import initial_codebook
from quorvel._params import map_layout
from quorvel._sources import MemoryRows, csr_for_engine

import som_reference as ref


def data(n_rows=300, n_features=5, seed=0):
    rng = np.random.default_rng(seed)
    # Correlated features of different scales, with an offset mean.
    mixing = rng.normal(size=(n_features, n_features)) * np.linspace(3.0, 0.2, n_features)
    return (rng.normal(size=(n_rows, n_features)) @ mixing + 4.0).astype(np.float32)


def initial(X, columns=6, rows=4, **params):
    return SOM(columns, rows, epochs=0, **params).fit(X).codebook_


@pytest.mark.parametrize("columns, rows", [(6, 4), (3, 7), (1, 1), (1, 5), (5, 5)])
def test_pca_init_same_bits_for_any_random_state(columns, rows):
    X = data()
    first = initial(X, columns, rows, init="pca", random_state=0)
    assert first.shape == (rows, columns, X.shape[1]) and first.dtype == np.float32
    for random_state in (0, 1, None, np.random.RandomState(5)):
        again = initial(X, columns, rows, init="pca", random_state=random_state)
        assert again.tobytes() == first.tobytes()


@pytest.mark.parametrize("columns, rows", [(6, 4), (3, 7), (5, 5), (1, 4)])
def test_pca_init_spans_two_deviations_along_principal_plane(columns, rows):
    X = data()
    codebook = initial(X, columns, rows, init="pca").reshape(-1, X.shape[1]).astype(np.float64)
    Xd = X.astype(np.float64)
    mean = Xd.mean(axis=0)
    values, vectors = np.linalg.eigh(np.cov(Xd, rowvar=False, bias=True))
    v1, v2 = vectors[:, -1], vectors[:, -2]
    s1, s2 = np.sqrt(values[-1]), np.sqrt(values[-2])
    centred = codebook - mean
    # In the plane of the first two components.
    residual = centred - np.outer(centred @ v1, v1) - np.outer(centred @ v2, v2)
    assert np.abs(residual).max() < 1e-4 * s1
    # Along the map's longer side the first component, evenly from -2 to +2
    # deviations (up to the component's sign), the same in every line; along
    # the shorter side the second.
    first = (centred @ v1).reshape(rows, columns)
    second = (centred @ v2).reshape(rows, columns)
    if columns < rows:
        first, second = first.T, second.T
    # Now the first varies along axis 1, the second along axis 0.
    for values_along, deviation, axis in ((first, s1, 1), (second, s2, 0)):
        count = values_along.shape[axis]
        line = np.linspace(-2 * deviation, 2 * deviation, count) if count > 1 else np.zeros(1)
        expected = line[None, :] if axis == 1 else line[:, None]
        ends = np.take(values_along, [0, -1], axis=axis).ravel()
        sign = 1.0 if count == 1 or ends[-1] > ends[0] else -1.0
        np.testing.assert_allclose(
            sign * values_along, np.broadcast_to(expected, values_along.shape),
            rtol=1e-2, atol=1e-3 * s1,
        )  # fmt: skip


@pytest.mark.parametrize("kind", ["random", "sample"])
def test_seeded_init_same_bits_for_sparse_and_dense(kind):
    X = data()
    X[X < 4.0] = 0.0
    dense = initial(X, init=kind, random_state=2)
    assert initial(sp.csr_matrix(X), init=kind, random_state=2).tobytes() == dense.tobytes()


@pytest.mark.parametrize("kind", ["random", "sample"])
def test_seeded_init_same_seed_same_bits(kind):
    X = data()
    first = initial(X, init=kind, random_state=7)
    assert initial(X, init=kind, random_state=7).tobytes() == first.tobytes()
    assert initial(X, init=kind, random_state=np.random.RandomState(7)).tobytes() == first.tobytes()
    assert initial(X, init=kind, random_state=8).tobytes() != first.tobytes()


@pytest.mark.parametrize("columns, rows", [(6, 4), (1, 1), (20, 20)])
def test_random_init_within_each_feature_range(columns, rows):
    X = data()
    X[:, 2] -= 100.0  # one feature entirely negative
    codebook = initial(X, columns, rows, init="random", random_state=3).reshape(-1, X.shape[1])
    assert np.all(codebook >= X.min(axis=0)) and np.all(codebook <= X.max(axis=0))
    if columns * rows > 100:
        # Spread over the range, not bunched at one end.
        span = X.max(axis=0) - X.min(axis=0)
        assert np.all(codebook.max(axis=0) - codebook.min(axis=0) > 0.8 * span)


@pytest.mark.parametrize("columns, rows, n_rows", [(6, 4, 300), (5, 5, 10), (1, 1, 1)])
def test_sample_init_takes_rows_of_data(columns, rows, n_rows):
    # With more nodes than rows, rows repeat.
    X = data(n_rows=n_rows)
    codebook = initial(X, columns, rows, init="sample", random_state=1).reshape(-1, X.shape[1])
    rows_of_x = {row.tobytes() for row in X}
    assert all(node.tobytes() in rows_of_x for node in codebook)
    if columns * rows <= n_rows:
        assert len({node.tobytes() for node in codebook}) == columns * rows


@pytest.mark.parametrize("dtype", [np.float64, np.float32, np.int64])
def test_init_array_either_shape_becomes_codebook(dtype):
    X = data()
    rng = np.random.default_rng(4)
    flat = (rng.normal(size=(24, 5)) * 10).astype(dtype)
    expected = flat.astype(np.float32).reshape(4, 6, 5)
    for init in (flat, flat.reshape(4, 6, 5), flat.tolist()):
        codebook = initial(X, 6, 4, init=init)
        assert codebook.tobytes() == expected.tobytes()
    # Training from either shape gives the same bits.
    a = SOM(6, 4, epochs=2, init=flat).fit(X).codebook_
    b = SOM(6, 4, epochs=2, init=flat.reshape(4, 6, 5)).fit(X).codebook_
    assert a.tobytes() == b.tobytes()


def test_init_array_is_not_modified_by_fit():
    X = data()
    init = np.random.default_rng(0).normal(size=(24, 5))
    copy = init.copy()
    estimator = SOM(6, 4, epochs=2, init=init).fit(X)
    assert init.tobytes() == copy.tobytes()
    assert estimator.init is init


@pytest.mark.parametrize(
    "shape",
    [(24, 4), (23, 5), (4, 6, 4), (6, 4, 5), (24,), (1, 24, 5), (2, 2, 6, 5), ()],
)
def test_init_array_wrong_shape_raises_naming_shapes(shape):
    X = data()
    init = np.ones(shape)
    with pytest.raises(ValueError) as error:
        SOM(6, 4, epochs=1, init=init).fit(X)
    message = str(error.value)
    assert "init" in message
    assert str(tuple(shape)) in message
    assert str((4, 6, 5)) in message and str((24, 5)) in message


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_init_array_not_finite_raises(value):
    X = data()
    init = np.zeros((24, 5))
    init[3, 2] = value
    with pytest.raises(ValueError, match="init"):
        SOM(6, 4, epochs=1, init=init).fit(X)


@pytest.mark.parametrize("init", [np.full((24, 5), "a"), np.zeros((24, 5), dtype=complex)])
def test_init_array_not_real_raises(init):
    with pytest.raises(ValueError, match="init"):
        SOM(6, 4, epochs=1, init=init).fit(data())


def test_init_codebook_trains_as_reference_from_pca():
    # The pca start feeds the epochs like any array: training from it equals
    # training from the same array given explicitly.
    X = ref.clustered_data(80, 3, 9, seed=2)
    start = initial(X, 4, 3, init="pca")
    a = SOM(4, 3, epochs=3, init="pca").fit(X)
    b = SOM(4, 3, epochs=3, init=start).fit(X)
    assert a.codebook_.tobytes() == b.codebook_.tobytes()


FLOAT32_MAX = float(np.finfo(np.float32).max)


def test_pca_init_of_sparse_rows_close_to_dense():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 5)).astype(np.float32)
    X[X < 0.3] = 0.0
    dense = SOM(6, 4, epochs=0, init="pca").fit(X).codebook_
    sparse = SOM(6, 4, epochs=0, init="pca").fit(sp.csr_matrix(X)).codebook_
    # The same definition through other roundings (products of CSR rows).
    np.testing.assert_allclose(sparse, dense, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("form", ["dense", "csr"])
def test_pca_init_near_float32_max_stays_finite(form):
    X = np.array([[FLOAT32_MAX], [-0.13]], dtype=np.float32)
    data = sp.csr_matrix(X) if form == "csr" else X
    codebook = SOM(1, 2, epochs=0, init="pca").fit(data).codebook_
    assert np.isfinite(codebook).all()


def test_sparse_pca_init_values_beyond_float32_square_root():
    # 1e20 squared overflows float32 but not float64.
    X = np.array([[1e20, 0.0], [0.0, 1.0], [-1e20, 2.0]], dtype=np.float32)
    dense = SOM(3, 1, epochs=0, init="pca").fit(X).codebook_
    sparse = SOM(3, 1, epochs=0, init="pca").fit(sp.csr_matrix(X)).codebook_
    assert np.isfinite(sparse).all()
    np.testing.assert_allclose(sparse, dense, rtol=1e-6)


# ----------------------------------------------------------------------
# "pca" with many features: the subspace iteration and its products


def signed_rows(n_rows, n_features, seed):
    """float32 rows of many magnitudes and both signs, a third zeros of
    either sign."""
    rng = np.random.default_rng(seed)
    shape = (n_rows, n_features)
    X = rng.uniform(-1, 1, shape) * 2.0 ** rng.integers(-20, 20, shape)
    kind = rng.integers(0, 6, X.shape)
    X[kind == 0], X[kind == 1] = 0.0, -0.0
    return X.astype(np.float32)


def engine_rows(X, sparse):
    if not sparse:
        return (X,)
    csr = csr_for_engine(sp.csr_matrix(X))
    return csr.data, csr.indices, csr.indptr


def ordered_sum(terms):
    """From 0.0, one float64 addition at a time."""
    total = 0.0
    for term in terms:
        total += float(term)
    return total


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64).tolist()


@pytest.mark.parametrize("sparse", [False, True])
def test_subspace_products_are_the_bits_of_plain_sums(sparse):
    n, d, k = 23, 11, 10  # a tile of eight columns and one of two
    X = signed_rows(n, d, seed=1)
    rng = np.random.default_rng(2)
    basis, weights = rng.uniform(-1, 1, (d, k)), rng.uniform(-1, 1, (n, k))
    # X Q: every feature in increasing order, zeros included.
    projected = [[ordered_sum(float(X[i, f]) * basis[f, j] for f in range(d)) for j in range(k)]
                 for i in range(n)]  # fmt: skip
    # X^T W: each term rounded to its integer (ties to even), then added.
    exponents = product_exponents(np.abs(X).max(axis=0), np.abs(weights).max(axis=0), n)
    for f, j in np.ndindex(d, k):
        bound = float(np.abs(X[:, f]).max()) * float(np.abs(weights[:, j]).max())
        assert exponents[f, j] == _core.choose_exponent(bound, 2048)
    sums = [[sum(round(math.ldexp(float(X[i, f]) * weights[i, j], int(exponents[f, j])))
                 for i in range(n)) for j in range(k)] for f in range(d)]  # fmt: skip
    for threads in (1, 3):
        out = np.empty((n, k))
        _core.project_rows(*engine_rows(X, sparse), basis, out, threads)
        assert bits(out) == bits(projected)
        got = np.zeros((d, k), dtype=np.int64)
        _core.weighted_row_sums(*engine_rows(X, sparse), weights, exponents, got, threads)
        assert got.tolist() == sums
    a, b = rng.uniform(-1, 1, (3, 50)), rng.uniform(-1, 1, (2, 50))
    dots = np.empty((3, 2))
    _core.dot_products(a, b, dots, 2)
    assert bits(dots) == bits([[ordered_sum(a[i] * b[j]) for j in range(2)] for i in range(3)])


def leading_plane(X, columns, rows):
    """The "pca" codebook from float64 eigh of the covariance: two standard
    deviations either side of the mean, the largest entry of each component
    positive, the longer side along the first."""
    X = np.asarray(X, dtype=np.float64)
    values, vectors = np.linalg.eigh(np.cov(X, rowvar=False, bias=True))
    parts = []
    for i in (-1, -2):
        vector = vectors[:, i] * np.sign(vectors[np.argmax(np.abs(vectors[:, i])), i])
        parts.append(2.0 * np.sqrt(values[i]) * vector)
    y, x = np.divmod(np.arange(columns * rows), columns)
    along_x, along_y = np.linspace(-1, 1, columns)[x], np.linspace(-1, 1, rows)[y]
    first, second = (along_x, along_y) if columns >= rows else (along_y, along_x)
    codebook = X.mean(axis=0) + first[:, None] * parts[0] + second[:, None] * parts[1]
    return codebook.reshape(rows, columns, -1)


@pytest.fixture
def many_features(monkeypatch):
    """Small data through the path of many features."""
    monkeypatch.setattr(quorvel._init, "EXACT_FEATURES", 4)


@pytest.mark.parametrize("columns, rows", [(6, 4), (3, 7)])
def test_pca_with_many_features_is_the_leading_plane(many_features, columns, rows):
    X = data(n_features=12)
    X[X < 4.0] = 0.0  # as much sparse as dense
    dense = initial(X, columns, rows, init="pca")
    scale = float(np.abs(X).max())
    np.testing.assert_allclose(dense, leading_plane(X, columns, rows), rtol=1e-6, atol=1e-6 * scale)
    assert initial(sp.csr_matrix(X), columns, rows, init="pca").tobytes() == dense.tobytes()
    source, layout = MemoryRows(X), map_layout(columns, rows, "hexagonal", "planar")
    for n_threads in (1, 2, 3):
        again = initial_codebook("pca", source, layout, None, n_threads)
        assert again.tobytes() == dense.reshape(-1, 12).tobytes()


@pytest.mark.parametrize("sparse", [False, True])
def test_pca_with_many_features_fills_missing_values_with_observed_means(many_features, sparse):
    # Quarters: the observed means are exact sums over their counts.
    rng = np.random.default_rng(3)
    X = np.round(data(n_features=12) * 4.0) / 4.0
    X[rng.random(X.shape) < 0.1] = np.nan
    X[:, 5] = np.nan  # a feature that no row observes gets 0
    seen = (~np.isnan(X)).sum(axis=0)
    totals = np.nansum(X.astype(np.float64), axis=0)
    means = np.divide(totals, seen, out=np.zeros(12), where=seen > 0)
    filled = np.where(np.isnan(X), means, X)
    expected = initial(filled.astype(np.float32), init="pca")
    given = sp.csr_matrix(X) if sparse else X
    assert initial(given, init="pca", missing="ignore").tobytes() == expected.tobytes()


def test_pca_with_many_sparse_features_finishes():
    X = sp.random(5000, 20000, density=0.001, format="csr", dtype=np.float32,
                  random_state=np.random.default_rng(0))  # fmt: skip
    som = SOM(columns=20, rows=20, epochs=0, random_state=0, n_jobs=2).fit(X)
    assert som.codebook_.shape == (20, 20, 20000)
