"""Input data in the forms the engine reads, and the engine calls over it.

Dense rows are one C-contiguous float32 array; sparse rows are CSR with
float32 values, int32 column indices (sorted, no duplicates) and int64 row
pointers. Every engine call runs over the rows in chunks, so that a pending
Ctrl-C is seen between two chunks, well within a second; the engine's
per-node sums are integers, so the split into chunks changes no bit.
"""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sp

from . import _core
from ._params import MapLayout

# Rows per engine call: about 2^32 multiply-adds of the BMU search, a few
# hundredths of a second with the fast kernels.
_WORK_PER_CALL = 2**32


class Rows:
    """Rows of data, dense or CSR, ready for the engine."""

    # None, or the most missing values a row may have where NaN marks a
    # missing value in these rows (SOM(missing="ignore") on data with NaN):
    # then every method below follows the masked rule (see find_bmus_missing).
    most_missing: int | None = None

    def __init__(self, dense: np.ndarray | None = None, csr=None) -> None:
        self.dense = dense
        self.csr = csr
        source = dense if dense is not None else csr
        self.n_rows, self.n_features = source.shape

    @property
    def is_sparse(self) -> bool:
        return self.csr is not None

    def chunk_rows(self, n_nodes: int) -> int:
        rows = max(64, _WORK_PER_CALL // max(1, n_nodes * max(1, self.n_features)))
        if self.csr is None or self.n_rows == 0:
            return rows
        # A call over CSR rows first prepares the codebook (a few passes
        # over nodes x features); a row then costs its stored values per
        # node and a few walks over the features. Enough rows per call that
        # the preparation is at most about a third of the call, or wide rows
        # in small chunks would cost features^2.
        stored = self.csr.nnz / self.n_rows
        per_row = n_nodes * (stored + 1.0) + 2.0 * self.n_features
        return max(rows, int(6.0 * n_nodes * self.n_features / per_row))

    def chunks(self, n_nodes: int):
        """(begin, end, arrays) for consecutive chunks of rows; ``arrays``
        are the positional data arguments of the engine call."""
        step = self.chunk_rows(n_nodes)
        for begin in range(0, self.n_rows, step):
            end = min(begin + step, self.n_rows)
            yield begin, end, self._arrays(begin, end)

    def _arrays(self, begin: int, end: int) -> tuple:
        if self.dense is not None:
            return (self.dense[begin:end],)
        indptr = self.csr.indptr
        first, last = int(indptr[begin]), int(indptr[end])
        return (
            self.csr.data[first:last],
            self.csr.indices[first:last],
            np.ascontiguousarray(indptr[begin : end + 1] - first, dtype=np.int64),
        )

    def accumulate(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:  # fmt: skip
        """The per-node sums, counts and the fixed-point distance total and
        overflow count of all rows (see the engine's NodeSums)."""
        n_nodes = layout.n_nodes
        sums = np.zeros((n_nodes, self.n_features), dtype=np.int64)
        counts = np.zeros(n_nodes, dtype=np.int64)
        totals = np.zeros(2, dtype=np.int64)
        for _, _, arrays in self.chunks(n_nodes):
            _core.accumulate(
                codebook, layout.columns, layout.rows, layout.grid, layout.topology,
                *arrays, None, exponents, error_exponent, self.n_rows, sums, None,
                counts, totals, None, threads,
            )  # fmt: skip
        return sums, counts, totals

    def find_bmus(self, codebook: np.ndarray, layout: MapLayout, threads: int,
                  seconds: bool = False):  # fmt: skip
        """See :func:`find_bmus` (:func:`find_bmus_missing` where NaN marks
        missing values)."""
        if self.most_missing is not None:
            return find_bmus_missing(self, codebook, layout, threads, seconds)
        return find_bmus(self, codebook, layout, threads, seconds)

    def node_distances(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """See :func:`node_distances` (:func:`node_distances_missing` where
        NaN marks missing values)."""
        if self.most_missing is not None:
            return node_distances_missing(self, codebook, layout, threads)
        return node_distances(self, codebook, layout, threads)

    def max_abs(self) -> np.ndarray:
        """The largest magnitude of every feature, float64."""
        if self.n_rows == 0:
            return np.zeros(self.n_features)
        if self.most_missing is not None:  # missing values: observed ones only
            low, high = self.observed_min_max()
            return np.maximum(np.abs(low), np.abs(high))
        if self.dense is not None:
            # Through the extremes, without a temporary copy of the rows.
            low, high = self.min_max()
            return np.maximum(np.abs(low), np.abs(high))
        return np.asarray(abs(self.csr).max(axis=0).todense()).ravel().astype(np.float64)

    def take(self, index: np.ndarray):
        """The rows at ``index``: a float32 array, or CSR for sparse rows."""
        if self.dense is not None:
            return self.dense[index]
        return self.csr[index]

    def min_max(self) -> tuple[np.ndarray, np.ndarray]:
        """Each feature's least and largest value, float64."""
        if self.most_missing is not None:  # missing values: observed ones only
            return self.observed_min_max()
        if self.dense is not None:
            return (self.dense.min(axis=0).astype(np.float64),
                    self.dense.max(axis=0).astype(np.float64))  # fmt: skip
        low = np.asarray(self.csr.min(axis=0).todense(), dtype=np.float64).ravel()
        high = np.asarray(self.csr.max(axis=0).todense(), dtype=np.float64).ravel()
        return low, high

    # ------------------------------------------------------------------
    # Missing values: NaN marks a missing value (SOM(missing="ignore")).
    # A dask block is one Rows; these methods are all its engine calls need.

    def stored_values(self) -> np.ndarray:
        """The values that may hold NaN: the dense array flat, or the stored
        values of CSR rows (an absent entry is a zero, never missing)."""
        return self.dense.reshape(-1) if self.dense is not None else self.csr.data

    def has_nan(self) -> bool:
        """Whether any value is NaN, read in steps of 2^20 values."""
        values = self.stored_values()
        step = 1 << 20
        return any(
            bool(np.isnan(values[begin : begin + step]).any())
            for begin in range(0, values.size, step)
        )

    def observed_min_max(self) -> tuple[np.ndarray, np.ndarray]:
        """Each feature's least and largest observed value, float64; 0 and 0
        for a feature that no row observes."""
        if self.n_rows == 0:
            return np.zeros(self.n_features), np.zeros(self.n_features)
        if self.dense is not None:
            low = np.fmin.reduce(self.dense, axis=0).astype(np.float64)
            high = np.fmax.reduce(self.dense, axis=0).astype(np.float64)
        else:
            missing = np.isnan(self.csr.data)
            extremes = []
            for fill, reduce in ((np.inf, "min"), (-np.inf, "max")):
                filled = self.csr.copy()
                filled.data = np.where(missing, np.float32(fill), filled.data)
                extreme = getattr(filled, reduce)(axis=0).todense()
                extremes.append(np.asarray(extreme, dtype=np.float64).ravel())
            low, high = extremes
        unseen = np.isnan(low) | np.isinf(low) | np.isnan(high) | np.isinf(high)
        return np.where(unseen, 0.0, low), np.where(unseen, 0.0, high)

    def accumulate_missing(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:  # fmt: skip
        """The per-node sums over the observed values, the per-node observed
        counts of every feature, the per-node row counts (rows with a BMU)
        and the fixed-point distance total and overflow count (see the
        engine's MissingSums). Integer sums: any split of the rows, into
        chunks or dask blocks, adds up to the same bits."""
        n_nodes = layout.n_nodes
        sums = np.zeros((n_nodes, self.n_features), dtype=np.int64)
        observed = np.zeros((n_nodes, self.n_features), dtype=np.int64)
        counts = np.zeros(n_nodes, dtype=np.int64)
        totals = np.zeros(2, dtype=np.int64)
        most = _most_missing(self)
        for _, _, arrays in self.chunks(n_nodes):
            _core.accumulate(
                codebook, layout.columns, layout.rows, layout.grid, layout.topology,
                *arrays, most, exponents, error_exponent, self.n_rows, sums, observed,
                counts, totals, None, threads,
            )  # fmt: skip
        return sums, observed, counts, totals


def csr_for_engine(X) -> sp.csr_matrix:
    """A canonical CSR matrix (sorted, distinct indices) with the engine's
    dtypes; copies only what does not fit already."""
    X = sp.csr_matrix(X)
    if not X.has_canonical_format:
        X = X.copy()
        X.sum_duplicates()
    if X.data.dtype != np.float32:
        X = sp.csr_matrix((X.data.astype(np.float32), X.indices, X.indptr), shape=X.shape)
    data = np.ascontiguousarray(X.data)
    indices = np.ascontiguousarray(X.indices, dtype=np.int32)
    indptr = np.ascontiguousarray(X.indptr, dtype=np.int64)
    out = sp.csr_matrix(X.shape, dtype=np.float32)
    out.data, out.indices, out.indptr = data, indices, indptr
    return out


def find_bmus(
    rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int, seconds: bool = False
):
    """BMU node, squared distance (float32) and, with ``seconds``, the
    runner-up and its squared distance of every row."""
    n = rows.n_rows
    nodes = np.empty(n, dtype=np.int32)
    distances = np.empty(n, dtype=np.float32)
    second = np.empty(n, dtype=np.int32) if seconds else None
    second_distances = np.empty(n, dtype=np.float32) if seconds else None
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        _core.find_bmus(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, None, nodes[begin:end], distances[begin:end],
            None if second is None else second[begin:end],
            None if second_distances is None else second_distances[begin:end],
            threads,
        )  # fmt: skip
    return nodes, distances, second, second_distances


def node_distances(rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int):
    """Euclidean distance of every row to every node, float64."""
    out = np.empty((rows.n_rows, layout.n_nodes), dtype=np.float64)
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        squared = np.empty((end - begin, layout.n_nodes), dtype=np.float32)
        _core.node_distances(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, None, squared, threads,
        )  # fmt: skip
        np.sqrt(squared, out=out[begin:end], dtype=np.float64)
    return out


def error_exponent(max_abs: np.ndarray, codebook: np.ndarray, n_rows: int) -> int:
    """The fixed-point exponent of the distance sum: from a bound on any
    row's distance to any node (the data's largest norm plus the largest
    node norm, widened for the float rounding of the distances)."""
    node_norm = float(np.sqrt(np.max(np.sum(np.square(codebook, dtype=np.float64), axis=1))))
    bound = (float(np.sqrt(np.sum(np.square(max_abs)))) + node_norm) * 1.01
    return _core.choose_exponent(bound, max(1, n_rows))


def fixed_point_error(distances: np.ndarray, exponent: int, n_rows: int) -> tuple[int, int]:
    """The engine's fixed-point sum of the rows' Euclidean distances and the
    count of rows beyond its range, from squared float32 distances."""
    scaled = np.sqrt(distances.astype(np.float64)) * np.ldexp(1.0, exponent)
    inside = scaled < 2.0**62 / max(1, n_rows)
    total = int(np.rint(scaled[inside]).astype(np.int64).sum(dtype=np.int64))
    return total, int(np.count_nonzero(~inside))


def mean_error(total: int, overflows: int, exponent: int, n_rows: int) -> float:
    """Quantization error from a fixed-point distance sum."""
    if n_rows == 0:
        return float("nan")
    if overflows:
        return float("inf")
    return float(np.ldexp(float(total), -exponent)) / n_rows


# ----------------------------------------------------------------------
# Missing values: NaN marks a missing value (SOM(missing="ignore")).


def _most_missing(rows: Rows) -> int:
    return rows.n_features if rows.most_missing is None else int(rows.most_missing)


def missing_limit(max_missing: float, n_features: int) -> int:
    """The most missing values a row may have: the largest ``m`` with
    ``m / n_features <= max_missing`` in float64, so that a row whose
    missing fraction is strictly above ``max_missing`` has no BMU."""
    return int(_core.missing_limit(float(max_missing), int(n_features)))


def find_bmus_missing(
    rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int, seconds: bool = False
):
    """:func:`find_bmus` under the masked rule: node -1 and NaN distances for
    rows without a BMU."""
    n = rows.n_rows
    nodes = np.empty(n, dtype=np.int32)
    distances = np.empty(n, dtype=np.float32)
    second = np.empty(n, dtype=np.int32) if seconds else None
    second_distances = np.empty(n, dtype=np.float32) if seconds else None
    most = _most_missing(rows)
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        _core.find_bmus(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, most, nodes[begin:end], distances[begin:end],
            None if second is None else second[begin:end],
            None if second_distances is None else second_distances[begin:end],
            threads,
        )  # fmt: skip
    return nodes, distances, second, second_distances


def node_distances_missing(rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int):
    """:func:`node_distances` under the masked rule: the square roots of the
    scaled squared distances; NaN throughout for rows without a BMU."""
    out = np.empty((rows.n_rows, layout.n_nodes), dtype=np.float64)
    most = _most_missing(rows)
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        squared = np.empty((end - begin, layout.n_nodes), dtype=np.float32)
        _core.node_distances(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, most, squared, threads,
        )  # fmt: skip
        np.sqrt(squared, out=out[begin:end], dtype=np.float64)
    return out


def missing_error_exponent(
    max_abs: np.ndarray, codebook: np.ndarray, n_rows: int, n_features: int, most_missing: int
) -> int:
    """The fixed-point exponent of the distance sum under the masked rule:
    the bound of :func:`error_exponent` times the square root of the
    largest scale ``n_features / observed`` that a row with a BMU can
    have."""
    node_norm = float(np.sqrt(np.max(np.sum(np.square(codebook, dtype=np.float64), axis=1))))
    fewest = max(1, n_features - most_missing)
    widen = math.sqrt(n_features / fewest) if n_features else 1.0
    bound = (float(np.sqrt(np.sum(np.square(max_abs)))) + node_norm) * 1.01 * widen
    return _core.choose_exponent(bound, max(1, n_rows))


def matched_error(
    nodes: np.ndarray, distances: np.ndarray, exponent: int, n_rows: int
) -> float:
    """Quantization error over the rows that have a BMU (node >= 0), from
    their scaled squared float32 distances, through the engine's fixed point
    with the range of ``n_rows`` rows (those of the exponent, as the engine's
    sums have); NaN where no row has a BMU."""
    matched = nodes >= 0
    total, overflows = fixed_point_error(distances[matched], exponent, n_rows)
    return mean_error(total, overflows, exponent, int(np.count_nonzero(matched)))


def observed_means(subset) -> np.ndarray:
    """Each feature's mean over the rows that observe it, float64 (0 where
    none does); absent entries of CSR rows are observed zeros."""
    n = subset.shape[0]
    if sp.issparse(subset):
        missing = sp.csr_matrix(
            (np.isnan(subset.data).astype(np.float64), subset.indices, subset.indptr),
            shape=subset.shape,
        )
        values = sp.csr_matrix(
            (np.nan_to_num(subset.data.astype(np.float64), nan=0.0), subset.indices,
             subset.indptr), shape=subset.shape,
        )  # fmt: skip
        seen = n - np.asarray(missing.sum(axis=0)).ravel()
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
    where none does). Deterministic for given rows. CSR rows are read without
    densifying all of them at once: through the products of the stored
    values, the missing marks and their counts."""
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
        mark = sp.csr_matrix(
            (np.isnan(subset.data).astype(np.float64), subset.indices, subset.indptr),
            shape=subset.shape,
        )
        values = sp.csr_matrix(
            (np.nan_to_num(subset.data.astype(np.float64), nan=0.0), subset.indices,
             subset.indptr), shape=subset.shape,
        )  # fmt: skip
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
