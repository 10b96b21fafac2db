"""The initial codebook: "pca", "random", "sample" or an array, from any
source of rows.

Every start is a function of the data, the map and the seed alone: "pca"
and the column means of "sample" read the same rows by their global index
however the data are split into chunks or Dask blocks.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sp
from sklearn.utils import check_random_state

from ._params import MapLayout
from ._sources import RowSource
from ._sources._checks import require_finite

# The principal components come from at most this many rows, evenly spaced
# through the data by index: enough for two directions, and the same rows
# however the data are split into chunks or partitions.
PCA_ROWS = 16384


def pca_rows(n_rows: int) -> np.ndarray:
    """Indices of the rows that the "pca" start (and the column means of
    "sample" under missing values) read."""
    count = min(n_rows, PCA_ROWS)
    return (np.arange(count, dtype=np.int64) * n_rows) // count


def reads_pca_rows(init, allow_nan: bool) -> bool:
    """Whether the start ``init`` reads the rows of :func:`pca_rows`."""
    return isinstance(init, str) and (init == "pca" or (init == "sample" and allow_nan))


def initial_codebook(init, source: RowSource, layout: MapLayout, random_state) -> np.ndarray:
    """The starting codebook, float32 of shape (nodes, features)."""
    n_nodes, n_features = layout.n_nodes, source.n_features
    if isinstance(init, str):
        rng = check_random_state(random_state) if init != "pca" else None
        codebook = _STARTS[init](source, layout, rng)
        return np.ascontiguousarray(codebook, dtype=np.float32)
    array = np.asarray(init)
    if array.shape not in ((layout.rows, layout.columns, n_features), (n_nodes, n_features)):
        raise ValueError(
            f"The 'init' array must have shape (rows, columns, n_features) = "
            f"{(layout.rows, layout.columns, n_features)} or (rows * columns, "
            f"n_features) = {(n_nodes, n_features)}; got {array.shape}."
        )
    if not np.issubdtype(array.dtype, np.number) or np.iscomplexobj(array):
        raise ValueError(f"The 'init' array must hold real numbers; got dtype {array.dtype}.")
    with np.errstate(over="ignore"):
        codebook = np.array(array.reshape(n_nodes, n_features), dtype=np.float32, order="C")
    require_finite(codebook, name="init")
    return codebook


def _pca(source: RowSource, layout: MapLayout, rng) -> np.ndarray:
    """Nodes on the plane of the first two principal components, in float64:
    two standard deviations either side of the mean along each, the map's
    longer side along the first. Each component's sign makes its largest
    entry positive, so the result is a function of the data alone."""
    subset = source.take(pca_rows(source.n_rows))
    if source.missing_limit is not None:
        mean, covariance = masked_mean_and_covariance(subset)
    else:
        mean, covariance = mean_and_covariance(subset)
    n_features = source.n_features
    values, vectors = np.linalg.eigh(covariance)
    order = np.argsort(values, kind="stable")[::-1]
    components = []
    for i in order[:2]:
        vector = vectors[:, i]
        vector = vector * (1.0 if vector[np.argmax(np.abs(vector))] >= 0 else -1.0)
        components.append(vector * 2.0 * math.sqrt(max(values[i], 0.0)))
    while len(components) < 2:
        components.append(np.zeros(n_features))

    def spread(count: int) -> np.ndarray:
        return np.linspace(-1.0, 1.0, count) if count > 1 else np.zeros(1)

    y, x = np.divmod(np.arange(layout.n_nodes), layout.columns)
    along_x, along_y = spread(layout.columns)[x], spread(layout.rows)[y]
    first, second = (along_x, along_y) if layout.columns >= layout.rows else (along_y, along_x)
    codebook = mean + first[:, None] * components[0] + second[:, None] * components[1]
    # Two standard deviations out can pass float32's range for data near it.
    largest = float(np.finfo(np.float32).max)
    return np.clip(codebook, -largest, largest)


def _random(source: RowSource, layout: MapLayout, rng) -> np.ndarray:
    """Uniform values within each feature's (observed) range."""
    low, high = source.extremes()
    return rng.uniform(low, high, size=(layout.n_nodes, source.n_features))


def _sample(source: RowSource, layout: MapLayout, rng) -> np.ndarray:
    """Rows drawn without replacement (with replacement when the map has
    more nodes than there are rows); under missing values their holes are
    filled with the column means of the rows of :func:`pca_rows`."""
    n_nodes = layout.n_nodes
    index = rng.choice(source.n_rows, n_nodes, replace=source.n_rows < n_nodes)
    drawn = source.take(index)
    codebook = np.asarray(drawn.toarray() if sp.issparse(drawn) else drawn, dtype=np.float32)
    if source.missing_limit is not None:
        means = observed_means(source.take(pca_rows(source.n_rows)))
        codebook = np.array(codebook, dtype=np.float32)
        row, column = np.nonzero(np.isnan(codebook))
        codebook[row, column] = means[column]
    return codebook


_STARTS = {"pca": _pca, "random": _random, "sample": _sample}


def mean_and_covariance(subset) -> tuple[np.ndarray, np.ndarray]:
    """Mean and covariance of a float32 array or CSR matrix, in float64."""
    n = subset.shape[0]
    if sp.issparse(subset):
        # In float64 like the dense rows: float32 products lose digits
        # and overflow beyond about 1.8e19.
        subset = subset.astype(np.float64)
        mean = np.asarray(subset.mean(axis=0)).ravel()
        gram = (subset.T @ subset).toarray() / n
        return mean, gram - np.outer(mean, mean)
    centred = subset.astype(np.float64)
    mean = centred.mean(axis=0)
    centred -= mean
    return mean, (centred.T @ centred) / n


def _marks_and_values(subset) -> tuple[sp.csr_matrix, sp.csr_matrix]:
    """A CSR matrix with NaN as missing values split into its missing marks
    (1.0 where a stored value is NaN) and its values with NaN as 0, both
    float64."""
    shape = subset.shape
    data = subset.data.astype(np.float64)
    marks = sp.csr_matrix((np.isnan(data).astype(np.float64), subset.indices, subset.indptr),
                          shape=shape)  # fmt: skip
    values = sp.csr_matrix((np.nan_to_num(data, nan=0.0), subset.indices, subset.indptr),
                           shape=shape)  # fmt: skip
    return marks, values


def observed_means(subset) -> np.ndarray:
    """Each feature's mean over the rows that observe it, float64 (0 where
    none does); absent entries of CSR rows are observed zeros."""
    n = subset.shape[0]
    if sp.issparse(subset):
        marks, values = _marks_and_values(subset)
        seen = n - np.asarray(marks.sum(axis=0)).ravel()
        total = np.asarray(values.sum(axis=0)).ravel()
    else:
        values = np.asarray(subset, dtype=np.float64)
        observed = ~np.isnan(values)
        seen = observed.sum(axis=0).astype(np.float64)
        total = np.where(observed, values, 0.0).sum(axis=0)
    return np.divide(total, seen, out=np.zeros(subset.shape[1]), where=seen > 0)


def masked_mean_and_covariance(subset) -> tuple[np.ndarray, np.ndarray]:
    """Mean and pairwise-complete covariance, in float64, of a float32 array
    or CSR matrix with NaN for missing values: the mean of each feature over
    the rows that observe it, and the covariance of features i and j the
    mean of (x_i - mean_i)(x_j - mean_j) over the rows that observe both (0
    where none does). CSR rows are read without densifying them: through
    the products of the stored values, the missing marks and their counts."""
    mean = observed_means(subset)
    n_features = subset.shape[1]
    if not sp.issparse(subset):
        values = np.asarray(subset, dtype=np.float64)
        observed = ~np.isnan(values)
        centred = np.where(observed, values - mean, 0.0)
        weights = observed.astype(np.float64)
        products = centred.T @ centred
        pairs = weights.T @ weights
    else:
        n = subset.shape[0]
        mark, values = _marks_and_values(subset)
        # O = 1 - mark observes; over the rows that observe both i and j:
        # sum x_i x_j = G, sum x_j (rows observing i) = A[i, j], count N.
        gram = np.asarray((values.T @ values).toarray())
        column_sums = np.asarray(values.sum(axis=0)).ravel()
        cross = column_sums[None, :] - np.asarray((mark.T @ values).toarray())
        missing = np.asarray(mark.sum(axis=0)).ravel()
        pairs = (
            n - missing[:, None] - missing[None, :] + np.asarray((mark.T @ mark).toarray())
        )
        products = (
            gram - mean[:, None] * cross - mean[None, :] * cross.T
            + np.outer(mean, mean) * pairs
        )  # fmt: skip
    covariance = np.divide(
        products, pairs, out=np.zeros((n_features, n_features)), where=pairs > 0
    )
    return mean, covariance
