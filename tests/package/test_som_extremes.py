"""Values at the edges of float32, n_jobs=0, and files that are no saved
maps: each once went wrong."""

import gc

import numpy as np
import pytest
import scipy.sparse as sp

from quorvel import SOM, load

FLOAT32_MAX = float(np.finfo(np.float32).max)


def test_pca_init_of_sparse_rows_close_to_dense():
    rng = np.random.default_rng(0)
    X = rng.normal(size=(300, 5)).astype(np.float32)
    X[X < 0.3] = 0.0
    dense = SOM(6, 4, epochs=0, init="pca").fit(X).codebook_
    sparse = SOM(6, 4, epochs=0, init="pca").fit(sp.csr_matrix(X)).codebook_
    # The same definition through other roundings (products of CSR rows).
    np.testing.assert_allclose(sparse, dense, rtol=1e-5, atol=1e-6)


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


def _saved(tmp_path):
    X = np.random.default_rng(0).normal(size=(40, 3)).astype(np.float32)
    SOM(3, 2, epochs=1).fit(X).save(tmp_path / "good.npz")
    return (tmp_path / "good.npz").read_bytes()


def test_load_npy_file_raises_value_error(tmp_path):
    np.save(tmp_path / "array.npy", np.arange(5))
    with pytest.raises(ValueError, match="not an .npz archive"):
        load(tmp_path / "array.npy")


@pytest.mark.parametrize("fraction", [0.3, 0.9])
def test_load_truncated_file_raises_value_error_and_closes_it(fraction, tmp_path):
    raw = _saved(tmp_path)
    path = tmp_path / "truncated.npz"
    path.write_bytes(raw[: int(len(raw) * fraction)])
    with pytest.raises(ValueError):
        load(path)
    gc.collect()  # an unclosed file shows as a ResourceWarning (an error here)
