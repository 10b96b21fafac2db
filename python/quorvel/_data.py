"""Input data in the forms the engine reads, and the engine calls over it.

Dense rows are one C-contiguous float32 array; sparse rows are CSR with
float32 values, int32 column indices (sorted, no duplicates) and int64 row
pointers. Every engine call runs over the rows in chunks, so that a pending
Ctrl-C is seen between two chunks, well within a second; the engine's
per-node sums are integers, so the split into chunks changes no bit.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

from . import _core

# Rows per engine call: about 2^32 multiply-adds of the BMU search, a few
# hundredths of a second with the fast kernels.
_WORK_PER_CALL = 2**32


@dataclass(frozen=True)
class MapLayout:
    """The map as the engine sees it."""

    columns: int
    rows: int
    grid: str
    topology: str

    @property
    def n_nodes(self) -> int:
        return self.columns * self.rows


class Rows:
    """Rows of data, dense or CSR, ready for the engine."""

    def __init__(self, dense: np.ndarray | None = None, csr=None) -> None:
        self.dense = dense
        self.csr = csr
        source = dense if dense is not None else csr
        self.n_rows, self.n_features = source.shape

    @property
    def is_sparse(self) -> bool:
        return self.csr is not None

    def chunk_rows(self, n_nodes: int) -> int:
        return max(64, _WORK_PER_CALL // max(1, n_nodes * max(1, self.n_features)))

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
        call = _core.accumulate_csr if self.is_sparse else _core.accumulate
        for _, _, arrays in self.chunks(n_nodes):
            call(
                codebook, layout.columns, layout.rows, *arrays, exponents,
                error_exponent, self.n_rows, sums, counts, totals, None, threads,
            )  # fmt: skip
        return sums, counts, totals

    def find_bmus(self, codebook: np.ndarray, layout: MapLayout, threads: int,
                  seconds: bool = False):  # fmt: skip
        """See :func:`find_bmus`."""
        return find_bmus(self, codebook, layout, threads, seconds)

    def node_distances(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """See :func:`node_distances`."""
        return node_distances(self, codebook, layout, threads)

    def max_abs(self) -> np.ndarray:
        """The largest magnitude of every feature, float64."""
        if self.n_rows == 0:
            return np.zeros(self.n_features)
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
        if self.dense is not None:
            return (self.dense.min(axis=0).astype(np.float64),
                    self.dense.max(axis=0).astype(np.float64))  # fmt: skip
        low = np.asarray(self.csr.min(axis=0).todense(), dtype=np.float64).ravel()
        high = np.asarray(self.csr.max(axis=0).todense(), dtype=np.float64).ravel()
        return low, high


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
    call = _core.find_bmus_csr if rows.is_sparse else _core.find_bmus
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        call(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, nodes[begin:end], distances[begin:end],
            None if second is None else second[begin:end],
            None if second_distances is None else second_distances[begin:end],
            threads,
        )  # fmt: skip
    return nodes, distances, second, second_distances


def node_distances(rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int):
    """Euclidean distance of every row to every node, float64."""
    out = np.empty((rows.n_rows, layout.n_nodes), dtype=np.float64)
    call = _core.node_distances_csr if rows.is_sparse else _core.node_distances
    for begin, end, arrays in rows.chunks(layout.n_nodes):
        squared = np.empty((end - begin, layout.n_nodes), dtype=np.float32)
        call(codebook, layout.columns, layout.rows, *arrays, squared, threads)
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
