"""The same bits whatever the threads, chunks and input form: fits in fresh
interpreters with n_jobs and OMP_NUM_THREADS 1, 2 and 3, fits split into
chunks of very different sizes, and sparse input against dense."""

import json

import numpy as np
import pytest
import scipy.sparse as sp

import quorvel._sources.memory
from quorvel import SOM

FIT_SCRIPT = """
import json, sys
import numpy as np
import scipy.sparse as sp
from quorvel import SOM
rng = np.random.default_rng(3)
X = rng.normal(size=(700, 9)).astype(np.float32)
X[rng.random(X.shape) < 0.6] = 0
data = sp.csr_matrix(X) if {sparse} else X
results = []
for n_jobs in (None, 1, 2, 3):
    som = SOM(9, 6, epochs=4, grid={grid!r}, topology={topology!r}, n_jobs=n_jobs)
    som.fit(data)
    results.append({{
        "codebook": som.codebook_.view(np.uint32).ravel().tolist(),
        "umatrix": som.umatrix_.view(np.uint32).ravel().tolist(),
        "labels": som.labels_.tolist(),
        "history": som.history_["quantization_error"].tolist(),
        "transform": som.transform(data[:50]).view(np.uint64).ravel().tolist(),
        "te": som.topographic_error_,
    }})
print(json.dumps(results))
"""


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize(
    "grid, topology", [("hexagonal", "toroid"), ("rectangular", "planar")]
)
def test_fit_bits_independent_of_threads(run_python, sparse, grid, topology):
    script = FIT_SCRIPT.format(sparse=sparse, grid=grid, topology=topology)
    results = []
    for threads in (1, 2, 3):
        completed = run_python(script, environment={"OMP_NUM_THREADS": str(threads)})
        results.extend(json.loads(completed.stdout))
    for result in results[1:]:
        assert result == results[0]


def _fit(X, **parameters):
    init = np.random.default_rng(11).normal(size=(6 * 4, X.shape[1]))
    return SOM(6, 4, epochs=3, init=init, **parameters).fit(X)


def _same_fit(a: SOM, b: SOM) -> None:
    np.testing.assert_array_equal(
        a.codebook_.view(np.uint32), b.codebook_.view(np.uint32)
    )
    np.testing.assert_array_equal(
        a.umatrix_.view(np.uint32), b.umatrix_.view(np.uint32)
    )
    np.testing.assert_array_equal(a.labels_, b.labels_)
    np.testing.assert_array_equal(
        a.history_["quantization_error"], b.history_["quantization_error"]
    )
    assert a.topographic_error_ == b.topographic_error_


@pytest.fixture
def mixed_data():
    rng = np.random.default_rng(5)
    X = (rng.normal(size=(400, 12)) * rng.uniform(0.01, 100, size=12)).astype(
        np.float32
    )
    X[rng.random(X.shape) < 0.7] = 0
    return X


@pytest.mark.parametrize("work", [1, 2**14, 2**40])
def test_fit_bits_independent_of_chunking(monkeypatch, mixed_data, work):
    expected = _fit(mixed_data)
    # 1 gives chunks of 64 rows; 2^40 a single chunk.
    monkeypatch.setattr(quorvel._sources.memory, "WORK_PER_CALL", work)
    monkeypatch.setattr(quorvel._training, "NEIGHBOURHOOD_WORK_PER_CALL", work)
    _same_fit(_fit(mixed_data), expected)
    _same_fit(_fit(sp.csr_matrix(mixed_data)), expected)


@pytest.mark.parametrize("grid", ["hexagonal", "rectangular"])
@pytest.mark.parametrize("topology", ["planar", "toroid"])
@pytest.mark.parametrize("neighbourhood", ["gaussian", "bubble", "cut_gaussian"])
def test_sparse_fit_bits_equal_dense(mixed_data, grid, topology, neighbourhood):
    parameters = dict(grid=grid, topology=topology, neighbourhood=neighbourhood)
    dense = _fit(mixed_data, **parameters)
    sparse = _fit(sp.csr_matrix(mixed_data), **parameters)
    _same_fit(sparse, dense)
    Xs = sp.csr_matrix(mixed_data)
    np.testing.assert_array_equal(sparse.predict(Xs), dense.predict(mixed_data))
    np.testing.assert_array_equal(
        sparse.transform(Xs).view(np.uint64),
        dense.transform(mixed_data).view(np.uint64),
    )
    assert sparse.quantization_error(Xs) == dense.quantization_error(mixed_data)
    assert sparse.topographic_error(Xs) == dense.topographic_error(mixed_data)


@pytest.mark.parametrize("work", [1, 2**40])
def test_wide_sparse_fit_bits_equal_dense(monkeypatch, work):
    """Rows of 2,600 features that store a few each, whose walks jump over
    the rest, searched in one call or in several on each epoch's prepared
    codebook, against the dense fit of the same values."""
    rng = np.random.default_rng(8)
    X = np.zeros((200, 2600), dtype=np.float32)
    for row in X:
        stored = rng.integers(1, 12)
        row[rng.choice(2600, size=stored, replace=False)] = rng.random(stored)
    monkeypatch.setattr(quorvel._sources.memory, "WORK_PER_CALL", work)
    fit = lambda data: SOM(4, 4, epochs=3, init=X[:16], n_jobs=2).fit(data)  # noqa: E731
    _same_fit(fit(sp.csr_matrix(X)), fit(X))


def test_history_is_the_error_after_each_epoch(mixed_data):
    # Epoch e of a fit is the one-epoch fit at its width from the codebook
    # before it, whose own error is that of the codebook after it.
    init = np.random.default_rng(11).normal(size=(24, 12)).astype(np.float32)
    som = SOM(6, 4, epochs=3, init=init, sigma_start=2.0, sigma_end=0.5).fit(mixed_data)
    codebook, errors = init, []
    for sigma in som.history_["sigma"]:
        step = SOM(6, 4, epochs=1, init=codebook, sigma_start=sigma).fit(mixed_data)
        codebook = step.codebook_
        errors.append(step.quantization_error_)
    assert som.codebook_.tobytes() == codebook.tobytes()
    assert som.history_["quantization_error"].tolist() == errors
