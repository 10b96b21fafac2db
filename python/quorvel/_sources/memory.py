"""Rows in memory: one float32 array or one CSR matrix, read by the engine
in chunks.

Dense rows are one C-contiguous float32 array; sparse rows are CSR with
float32 values, int32 column indices (sorted, no duplicates) and int64 row
pointers. Every engine call runs over a chunk of rows, so that a pending
Ctrl-C is seen between two chunks, well within a second; the engine's sums
are integers, so the split into chunks changes no bit. This is the only
caller of the engine's row kernels; a Dask block is one of these too.
"""

from __future__ import annotations

import numpy as np
import scipy.sparse as sp

from .. import _core
from .._fixedpoint import distance_sum
from .._geometry import are_neighbours
from .._params import MapLayout
from ._protocol import NodeSums, Search

# Rows per engine call: about 2^32 multiply-adds of the BMU search, a few
# hundredths of a second with the fast kernels.
WORK_PER_CALL = 2**32

# Multiply-adds per engine thread, at least: a call of less work is not worth
# waking a team for, whose threads would mostly wait on each other.
WORK_PER_THREAD = 1 << 22


def busy_threads(threads: int, work: int) -> int:
    """The engine threads that ``work`` multiply-adds keep busy, at most
    ``threads``: results never depend on the count, only the waiting."""
    return max(1, min(threads, 1 + work // WORK_PER_THREAD))


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


def missing_limit(max_missing: float, n_features: int) -> int:
    """The most missing values a row may have: the largest ``m`` with
    ``m / n_features <= max_missing`` in float64, so that a row whose
    missing fraction is strictly above ``max_missing`` has no BMU."""
    return int(_core.missing_limit(float(max_missing), int(n_features)))


def _map(layout: MapLayout) -> tuple:
    return layout.columns, layout.rows, layout.grid, layout.topology


class MemoryRows:
    """Rows of data in memory, dense or CSR, ready for the engine.

    Parameters
    ----------
    data : ndarray or csr_matrix
        C-contiguous float32 rows, or CSR from :func:`csr_for_engine`.
    missing_limit : int or None
        None: the rows hold no NaN and the ordinary kernels read them. An
        int: NaN marks a missing value and every call follows the masked
        rule, a row missing more than this many values having no BMU.
    """

    def __init__(self, data, missing_limit: int | None = None) -> None:
        self.data = data
        self.is_sparse = sp.issparse(data)
        self.n_rows, self.n_features = (int(n) for n in data.shape)
        self.missing_limit = missing_limit

    # ------------------------------------------------------------------
    # What initialisation and the fixed point read

    def extremes(self) -> tuple[np.ndarray, np.ndarray]:
        """Each feature's least and largest value, float64; under missing
        values of the observed ones, 0 and 0 for a feature none observes."""
        low, high = self.partial_extremes()
        if self.missing_limit is None:
            return low, high
        unseen = ~(np.isfinite(low) & np.isfinite(high))
        return np.where(unseen, 0.0, low), np.where(unseen, 0.0, high)

    def partial_extremes(self) -> tuple[np.ndarray, np.ndarray]:
        """:meth:`extremes` before unseen features become 0: NaN (dense) or
        infinite (CSR) where no row observes one, so that the extremes of
        several blocks combine to those of all their rows."""
        if self.n_rows == 0:
            return np.full(self.n_features, np.nan), np.full(self.n_features, np.nan)
        if not self.is_sparse:
            return (np.fmin.reduce(self.data, axis=0).astype(np.float64),
                    np.fmax.reduce(self.data, axis=0).astype(np.float64))  # fmt: skip
        extremes = []
        missing = np.isnan(self.data.data)
        for fill, reduce in ((np.inf, "min"), (-np.inf, "max")):
            filled = self.data
            if missing.any():
                filled = self.data.copy()
                filled.data = np.where(missing, np.float32(fill), filled.data)
            extreme = getattr(filled, reduce)(axis=0).todense()
            extremes.append(np.asarray(extreme, dtype=np.float64).ravel())
        return extremes[0], extremes[1]

    def max_abs(self) -> np.ndarray:
        """The largest magnitude of every feature (of its observed values),
        float64."""
        if self.n_rows == 0:
            return np.zeros(self.n_features)
        low, high = self.extremes()
        return np.maximum(np.abs(low), np.abs(high))

    def take(self, index: np.ndarray):
        """The rows at ``index``: a float32 array, or CSR for sparse rows."""
        return self.data[index]

    # ------------------------------------------------------------------
    # Engine calls

    def searched(self, codebook: np.ndarray, layout: MapLayout, threads: int) -> tuple:
        """The leading arguments of a pass of row kernel calls: the codebook
        and its map, or for CSR rows without missing values the codebook
        prepared once for all the pass's calls (its copies in the orders the
        sparse search reads and its jump tables), which gives the same
        results."""
        if self.is_sparse and self.missing_limit is None and self.n_rows:
            return (_core.SparseCodebook(codebook, *_map(layout), threads),)
        return (codebook, *_map(layout))

    def chunks(self, n_nodes: int):
        """(begin, end, arrays) for consecutive chunks of rows; ``arrays``
        are the positional data arguments of the engine's row kernels."""
        step = max(64, WORK_PER_CALL // max(1, n_nodes * max(1, self.n_features)))
        if self.is_sparse and self.n_rows:
            # Over CSR rows a row costs its stored values per node and a few
            # walks over the features, and a pass prepares the codebook once
            # (searched): about twenty codebooks' worth of such rows per
            # call, a few tenths of a second on the bench's 20,000 x 50,000
            # rows, so that Ctrl-C is seen well within a second.
            stored = self.data.nnz / self.n_rows
            per_row = n_nodes * (stored + 1.0) + 2.0 * self.n_features
            step = max(step, int(20.0 * n_nodes * self.n_features / per_row))
        for begin in range(0, self.n_rows, step):
            end = min(begin + step, self.n_rows)
            if not self.is_sparse:
                yield begin, end, (self.data[begin:end],)
                continue
            indptr = self.data.indptr
            first, last = int(indptr[begin]), int(indptr[end])
            yield begin, end, (
                self.data.data[first:last],
                self.data.indices[first:last],
                np.ascontiguousarray(indptr[begin : end + 1] - first, dtype=np.int64),
            )

    def accumulate(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int, rows_in_total: int | None = None, *,
        out: NodeSums | None = None,
    ) -> NodeSums:  # fmt: skip
        """The per-node sums of all rows under ``codebook`` (see NodeSums),
        their fixed point at the range of ``rows_in_total`` rows (these rows
        by default); written into ``out`` (zeroed first) where it fits."""
        n_nodes, n_features = layout.n_nodes, self.n_features
        masked = self.missing_limit is not None
        if out is not None and out.fits(n_nodes, n_features, masked):
            out.clear()
            sums = out
        else:
            sums = NodeSums.zeros(n_nodes, n_features, masked)
        total = self.n_rows if rows_in_total is None else rows_in_total
        searched = self.searched(codebook, layout, threads)
        for _, _, arrays in self.chunks(n_nodes):
            _core.accumulate(
                *searched, *arrays, self.missing_limit, exponents,
                error_exponent, total, sums.sums, sums.observed, sums.counts,
                sums.totals, None, threads,
            )  # fmt: skip
        return sums

    def find_bmus(self, codebook: np.ndarray, layout: MapLayout, threads: int,
                  runner_ups: bool = False) -> tuple:  # fmt: skip
        """BMU node (int32, -1 for a row without one), its squared float32
        distance and, with ``runner_ups``, the runner-up and its squared
        distance of every row."""
        n = self.n_rows
        nodes = np.empty(n, dtype=np.int32)
        distances = np.empty(n, dtype=np.float32)
        second = np.empty(n, dtype=np.int32) if runner_ups else None
        second_distances = np.empty(n, dtype=np.float32) if runner_ups else None
        searched = self.searched(codebook, layout, threads)
        for begin, end, arrays in self.chunks(layout.n_nodes):
            _core.find_bmus(
                *searched, *arrays, self.missing_limit, nodes[begin:end],
                distances[begin:end], None if second is None else second[begin:end],
                None if second_distances is None else second_distances[begin:end],
                threads,
            )  # fmt: skip
        return nodes, distances, second, second_distances

    def search(
        self, codebook: np.ndarray, layout: MapLayout, threads: int, *,
        error_exponent: int | None = None, topographic: bool = False,
        keep_nodes: bool = True, rows_in_total: int | None = None,
    ) -> Search:  # fmt: skip
        """Every row's BMU, with the fixed-point distance sum at
        ``error_exponent`` and the count of rows whose two best nodes are
        not neighbours where asked (rows in memory keep their BMUs
        whatever ``keep_nodes`` says)."""
        nodes, distances, second, _ = self.find_bmus(codebook, layout, threads, topographic)
        matched = nodes >= 0
        result = Search(nodes, int(np.count_nonzero(matched)), error_exponent)
        if error_exponent is not None:
            total = self.n_rows if rows_in_total is None else rows_in_total
            result.error_sum, result.overflows = distance_sum(
                distances[matched], error_exponent, total
            )
        if topographic and layout.n_nodes > 1:
            neighbours = are_neighbours(*_map(layout), nodes[matched], second[matched])
            result.apart = int(np.count_nonzero(~neighbours))
        return result

    def predict(self, codebook: np.ndarray, layout: MapLayout, threads: int) -> np.ndarray:
        """BMU of every row, int64 (-1 for a row without one)."""
        return self.find_bmus(codebook, layout, threads)[0].astype(np.int64)

    def transform(self, codebook: np.ndarray, layout: MapLayout, threads: int) -> np.ndarray:
        """Euclidean distance of every row to every node, float64: the square
        roots of the (scaled, under missing values) float32 squared distances
        that the search compares; NaN throughout for a row without a BMU."""
        out = np.empty((self.n_rows, layout.n_nodes), dtype=np.float64)
        for begin, end, arrays in self.chunks(layout.n_nodes):
            squared = np.empty((end - begin, layout.n_nodes), dtype=np.float32)
            _core.node_distances(
                codebook, *_map(layout), *arrays, self.missing_limit, squared, threads
            )
            np.sqrt(squared, out=out[begin:end], dtype=np.float64)
        return out

    def impute(self, codebook: np.ndarray, layout: MapLayout, threads: int, filled):
        """``filled`` (a copy of these rows in the caller's dtype, dense or
        CSR) with its NaN replaced by the BMU's component; a row without a
        BMU keeps its NaN."""
        if self.missing_limit is None:
            return filled
        nodes = self.find_bmus(codebook, layout, threads)[0]
        if sp.issparse(filled):
            filled = sp.csr_matrix(filled)
            filled.sum_duplicates()
            row_of = np.repeat(np.arange(filled.shape[0]), np.diff(filled.indptr))
            holes = np.flatnonzero(np.isnan(filled.data))
            holes = holes[nodes[row_of[holes]] >= 0]
            filled.data[holes] = codebook[nodes[row_of[holes]], filled.indices[holes]]
            return filled
        row, column = np.nonzero(np.isnan(filled))
        keep = nodes[row] >= 0
        row, column = row[keep], column[keep]
        filled[row, column] = codebook[nodes[row], column]
        return filled
