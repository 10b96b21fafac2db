"""Training and using a map on Dask collections, with the same bits as in
memory.

A dask array (or a dask DataFrame, turned into one with known chunk
lengths) is read as consecutive blocks of rows, the feature axis in one
chunk. Every pass over the data is one graph: one task per block, run on a
worker through the engine with the interpreter lock released, and a tree of
fixed shape over the blocks in row order that sums their partial results.
Each epoch sends the codebook out once (scattered to every worker on a
distributed cluster, one key of the graph on the local schedulers) and
brings back only the per-node sums, counts and the quantization error's
partial; the client applies the neighbourhood.

The per-node sums are 64-bit integers at exponents chosen from the global
largest magnitude of each feature and the total row count, so a block's
partial sums add up to exactly the in-memory sums in any grouping; the
quantization error is a sum of integers too. The "pca" and "sample"
initialisations read rows by their global index, whatever the chunks. The
result is therefore the same bits as :meth:`SOM.fit` on the same rows in
memory, for every chunking, worker and thread count and scheduler.

The data stay on the workers across epochs when they fit: they are
converted to float32 and persisted once, when their size is at most
``_PERSIST_SHARE`` of the cluster's memory (the sum of the workers' memory
limits; the available memory for the local schedulers). Larger data are
streamed: every epoch reads each block from its source (a zarr store,
Parquet files, ...), and a worker holds only the blocks it is working on.
``dask.config.set({"quorvel.persist": True})`` (or False) decides instead.

Missing values (``SOM(missing="ignore")``) follow the in-memory rule: the
check finds whether any block holds NaN, and if one does every pass of the
fit runs the masked kernels (per-node sums, observed counts and row counts,
all integers); predict and transform decide block by block, which gives the
same bits, since a complete row has the same distances under either rule.

Dask is imported only when a dask collection arrives; without it the
package imports and says how to install it (``pip install quorvel[dask]``).
"""

from __future__ import annotations

import math
from collections.abc import Callable

import numpy as np
import scipy.sparse as sp
from sklearn.utils.validation import validate_data

from .._params import MapLayout
from ._blocks import (
    Failure,
    accumulate_block,
    block_rows,
    block_stats,
    frame_array,
    frame_block,
    predict_block,
    search_block,
    take_block,
    transform_block,
)
from ._checks import Check, non_finite_error, shifted
from ._protocol import NodeSums, Search
from ._scheduler import Scheduler, Shared, tree
from .memory import csr_for_engine, missing_limit

INSTALL = "pip install quorvel[dask]"

# Data are persisted when their float32 size is at most this share of the
# memory at hand: below the workers' default spilling threshold (60 % of
# their limit), with room for the blocks being worked on.
_PERSIST_SHARE = 0.4

# The dask config key that overrides the choice: "auto", True or False.
PERSIST_KEY = "quorvel.persist"


def is_dask_collection(X) -> bool:
    """Whether ``X`` is a dask collection (checked without importing
    dask)."""
    return type(X).__module__.partition(".")[0] == "dask" and hasattr(X, "__dask_graph__")


def _import_dask():
    try:
        import dask
        import dask.array as da
    except ImportError as error:
        raise ImportError(
            f"Training on a dask array needs the Dask extra of quorvel: {INSTALL}"
        ) from error
    return dask, da

# ----------------------------------------------------------------------
# Input


def dask_source(
    X, estimator, *, reset: bool, allow_nan: bool, max_missing: float,
    prefetch: Callable[[int], np.ndarray] | None = None,
) -> DaskRows:  # fmt: skip
    """The rows of a dask array or DataFrame, checked as the in-memory
    estimator checks its input.

    The feature count and names are checked (``reset=False``) or recorded
    (``reset=True``, in fit) from the collection's metadata. In fit, every
    block is also converted and checked at once, so that non-numeric
    values, NaN and infinities raise here with the in-memory messages; for
    the other methods that happens when the data are read.
    """
    dask, da = _import_dask()
    columns = None
    if isinstance(X, da.Array):
        array = X
    elif _is_dataframe(X):
        columns = X.columns
        array = frame_array(dask, da, X)
    else:
        raise TypeError(
            f"Of the dask collections, quorvel takes dask arrays and dask "
            f"DataFrames; got {type(X).__module__}.{type(X).__name__}."
        )
    if array.ndim != 2:
        # The in-memory messages, from an empty array of the same rank.
        validate_data(estimator, np.empty((0,) * array.ndim, dtype=np.float32), reset=reset)
        raise ValueError(f"Expected a 2D dask array, got {array.ndim}D.")
    if any(math.isnan(length) for length in array.shape):
        raise ValueError(
            f"X is a dask array of unknown chunk sizes (shape {array.shape}); "
            f"every row needs a known position, so call X.compute_chunk_sizes() "
            f"first (or pass a dask DataFrame, whose partition lengths are "
            f"counted)."
        )
    if array.dtype.kind == "c":
        raise ValueError(f"Complex data not supported\n{array}\n")
    n_rows, n_features = (int(n) for n in array.shape)
    # The feature count and names, and the empty cases, through
    # validate_data itself: an array of no values where one side is 0, else
    # a single row of zeros.
    shape = (n_rows, n_features) if 0 in (n_rows, n_features) else (1, n_features)
    probe = np.zeros(shape, dtype=np.float32)
    if columns is not None:
        import pandas as pd

        probe = pd.DataFrame(probe, columns=columns)
    validate_data(
        estimator, probe, reset=reset, accept_sparse="csr", dtype=np.float32,
        order="C", ensure_all_finite=False,
    )  # fmt: skip
    if array.numblocks[1] > 1:
        array = array.rechunk({1: -1})
    rows = DaskRows(
        array,
        n_jobs=estimator.n_jobs,
        prefetch=prefetch if reset else None,
        persist=reset,
        allowed_limit=missing_limit(max_missing, n_features) if allow_nan else None,
    )
    if reset:
        rows.check()
    return rows

def _is_dataframe(X) -> bool:
    return hasattr(X, "columns") and hasattr(X, "to_delayed") and getattr(X, "ndim", 2) == 2


# ----------------------------------------------------------------------
# The rows


class DaskRows:
    """Rows of a dask array as a source (see ``_protocol.RowSource``): every
    pass runs on the dask scheduler, one task per block through the
    in-memory code, its partials summed by a tree of fixed shape.

    Parameters
    ----------
    array : dask.array.Array
        Chunked along the rows only, of known chunk sizes.
    n_jobs : int or None
        The estimator's ``n_jobs``: engine threads of each task where set.
    prefetch : callable or None
        ``prefetch(n_rows)``: global indices of rows to gather during the
        check, for the initialisation.
    persist : bool
        Whether the check may persist the converted blocks (see the module's
        notes); the methods of a fitted estimator stream.
    allowed_limit : int or None
        Where NaN may mark missing values: the most missing values of a row
        with a BMU. ``missing_limit`` becomes it once the check has found
        NaN in the data, as for rows in memory.
    """

    def __init__(self, array, *, n_jobs=None, prefetch=None, persist: bool = False,
                 allowed_limit: int | None = None) -> None:  # fmt: skip
        self.array = array
        self.n_rows, self.n_features = (int(n) for n in array.shape)
        self.lengths = [int(length) for length in array.chunks[0]]
        self.offsets = [0, *np.cumsum(self.lengths, dtype=np.int64).tolist()]
        self.is_sparse = sp.issparse(getattr(array, "_meta", None))
        self.n_jobs = n_jobs
        self.allowed_limit = allowed_limit
        self._prefetch = prefetch
        self._may_persist = persist
        self.persisted = False
        self._scheduler = Scheduler(array)
        self._blocks = list(array.to_delayed().ravel())
        self._stats: dict | None = None

    @property
    def scheduler_kind(self) -> str:
        """"synchronous", "threads", "processes", "distributed" or
        "other"."""
        return self._scheduler.kind

    @property
    def missing_limit(self) -> int | None:
        """The limit of the masked rule where the data hold NaN (found by
        the check, a pass over the data, once)."""
        self.check()
        return self._stats["missing_limit"]

    def _threads(self, threads: int) -> int:
        return self._scheduler.task_threads(self.n_jobs, threads)

    def _nonempty(self):
        """(index, offset, block) of the blocks that hold rows."""
        return [
            (index, self.offsets[index], block)
            for index, block in enumerate(self._blocks)
            if self.lengths[index]
        ]

    def _per_block(self, function, *args) -> list:
        import dask

        return [dask.delayed(function, pure=False)(block, *args)
                for _, _, block in self._nonempty()]  # fmt: skip

    # ------------------------------------------------------------------
    # The check: conversion, NaN, per-feature bounds, prefetched rows

    def _should_persist(self) -> bool:
        import dask

        choice = dask.config.get(PERSIST_KEY, "auto")
        if choice != "auto":
            return bool(choice)
        size = 4.0 * self.n_rows * self.n_features
        return size <= _PERSIST_SHARE * self._scheduler.memory()

    def check(self) -> None:
        """Reads every block once: converts it, counts its NaN and infinite
        values, and takes its per-feature bounds; raises the in-memory
        estimator's errors. Persists the converted blocks first where the
        data fit (fit only)."""
        if self._stats is not None:
            return
        import dask

        if self._may_persist and self._should_persist():
            self._blocks = self._scheduler.persist(
                [dask.delayed(frame_block, pure=True)(block) for block in self._blocks]
            )
            self.persisted = True
        wanted = None if self._prefetch is None else self._prefetch(self.n_rows)
        tasks = []
        for index, offset, block in self._nonempty():
            local = None
            if wanted is not None:
                lo, hi = np.searchsorted(wanted, [offset, offset + self.lengths[index]])
                local = wanted[lo:hi] - offset
            tasks.append(dask.delayed(block_stats, pure=False)(block, local))
        results = self._scheduler.compute(*tasks)
        offsets = [offset for _, offset, _ in self._nonempty()]
        allow_nan = self.allowed_limit is not None
        _raise_first_problem(results, offsets, allow_nan)
        has_nan = any(result.check.nan for result in results)
        limit = self.allowed_limit if allow_nan and has_nan else None
        self._stats = _combine_stats(results, self.n_features, self.is_sparse, limit)
        if wanted is not None:
            self._stats["prefetched"] = (wanted, self._stats["prefetched"])

    def extremes(self) -> tuple[np.ndarray, np.ndarray]:
        """Each feature's least and largest value, float64 (observed values
        only under missing values; 0 and 0 where none is)."""
        self.check()
        return self._stats["low"].copy(), self._stats["high"].copy()

    def max_abs(self) -> np.ndarray:
        """The largest magnitude of every feature, float64 (of the observed
        values under missing values)."""
        low, high = self.extremes()
        return np.maximum(np.abs(low), np.abs(high))

    def take(self, index: np.ndarray):
        """The rows at global ``index``: a float32 array, or CSR for sparse
        rows; those gathered by the check come from it."""
        index = np.asarray(index, dtype=np.int64)
        self.check()
        cached = self._stats.get("prefetched")
        if cached is not None and np.array_equal(index, cached[0]):
            return cached[1]
        import dask

        starts = np.asarray(self.offsets[:-1], dtype=np.int64)
        block_of = np.searchsorted(starts, index, side="right") - 1
        order, tasks = [], []
        for block in np.unique(block_of):
            positions = np.flatnonzero(block_of == block)
            order.append(positions)
            local = index[positions] - starts[block]
            tasks.append(dask.delayed(take_block, pure=False)(self._blocks[block], local))
        parts = self._scheduler.compute(*tasks)
        return _assemble(parts, order, len(index), self.n_features, self.is_sparse)

    # ------------------------------------------------------------------
    # Passes

    def accumulate(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int, *, out: NodeSums | None = None,
    ) -> NodeSums:  # fmt: skip
        """The per-node sums of all rows: one task per block, summed by a
        fixed tree on the cluster (into arrays of its own: ``out`` is not
        written)."""
        limit = self.missing_limit
        shared = self._scheduler.share(
            Shared(codebook, np.asarray(exponents, dtype=np.int32), int(error_exponent))
        )
        parts = self._per_block(accumulate_block, shared, layout, self.n_rows,
                                self._threads(threads), limit)  # fmt: skip
        if not parts:
            return block_rows(np.empty((0, self.n_features), np.float32), limit).accumulate(
                codebook, layout, exponents, error_exponent, 1
            )
        (result,) = self._scheduler.compute(tree(parts, _add))
        return result

    def search(
        self, codebook: np.ndarray, layout: MapLayout, threads: int, *,
        error_exponent: int | None = None, topographic: bool = False,
        keep_nodes: bool = True,
    ) -> Search:  # fmt: skip
        """The search of every block, summed in row order; the BMUs gathered
        to the client only with ``keep_nodes``. Where the data were not
        checked yet (a pass that needs no bound of theirs), each block
        checks itself and decides its rule, which gives the same bits: a
        complete row has the same distances under either rule."""
        checked = self._stats is not None
        limit = self._stats["missing_limit"] if checked else self.allowed_limit
        shared = self._scheduler.share(Shared(codebook, None, error_exponent or 0))
        tasks = self._per_block(
            search_block, shared, layout, self._threads(threads), limit, not checked,
            self.n_rows, error_exponent is not None, topographic, keep_nodes,
        )  # fmt: skip
        results = self._scheduler.compute(*tasks)
        if not checked:
            _raise_first_problem([check for check, _ in results],
                                 [offset for _, offset, _ in self._nonempty()],
                                 self.allowed_limit is not None)  # fmt: skip
        return Search.joined([part for _, part in results], error_exponent, keep_nodes)

    def predict(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """BMU of every row, int64 (-1 for a row without one under missing
        values): a dask array, computed block by block when asked for."""
        import dask

        return self.array.map_blocks(
            predict_block, dask.delayed(np.array(codebook)), layout,
            self._threads(threads), self.allowed_limit, dtype=np.int64, drop_axis=1,
            meta=np.empty((0,), dtype=np.int64),
        )  # fmt: skip

    def transform(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """Euclidean distance of every row to every node, float64 (NaN for
        a row without a BMU under missing values): a dask array of one block
        per block of rows."""
        import dask

        return self.array.map_blocks(
            transform_block, dask.delayed(np.array(codebook)), layout,
            self._threads(threads), self.allowed_limit, dtype=np.float64,
            chunks=(self.array.chunks[0], (layout.n_nodes,)),
            meta=np.empty((0, 0), dtype=np.float64),
        )  # fmt: skip

    def impute(self, codebook, layout, threads, filled):
        raise TypeError("SOM.impute takes data in memory (arrays, DataFrames, sparse).")


def _raise_first_problem(results: list, offsets: list[int], allow_nan: bool) -> None:
    """The in-memory estimator's error for the blocks' checks: the first
    block in row order that could not be converted, else the count of the
    refused values of all blocks and the first position."""
    for result in results:
        if isinstance(result, Failure):
            raise result.error
    checks = [result if isinstance(result, Check) else result.check for result in results]
    bad = sum(check.refused(allow_nan)[0] for check in checks)
    if not bad:
        return
    for check, offset in zip(checks, offsets, strict=True):
        count, first = check.refused(allow_nan)
        if count:
            raise non_finite_error(bad, shifted(first, offset), allow_nan)


def _combine_stats(results: list, n_features: int, sparse: bool, limit: int | None) -> dict:
    """The blocks' extremes and prefetched rows put together; under missing
    values a feature that no row observes gets 0 and 0, as in memory."""
    low = np.full(n_features, np.nan)
    high = np.full(n_features, np.nan)
    for result in results:
        if result.low is not None:
            low = np.fmin(low, result.low)
            high = np.fmax(high, result.high)
    if limit is not None:
        unseen = np.isnan(low) | np.isinf(low) | np.isnan(high) | np.isinf(high)
        low, high = np.where(unseen, 0.0, low), np.where(unseen, 0.0, high)
    stats = {"low": low, "high": high, "missing_limit": limit, "prefetched": None}
    parts = [result.prefetched for result in results if result.prefetched is not None]
    if parts:
        subset = sp.vstack(parts, format="csr") if sparse else np.concatenate(parts)
        stats["prefetched"] = csr_for_engine(subset) if sparse else subset
    return stats


def _assemble(parts: list, order: list, count: int, n_features: int, sparse: bool):
    """Rows gathered block by block, put back in the order asked for."""
    positions = np.concatenate(order) if order else np.empty(0, dtype=np.int64)
    if sparse:
        stacked = sp.vstack(parts, format="csr") if parts else sp.csr_matrix((0, n_features))
        inverse = np.empty(count, dtype=np.int64)
        inverse[positions] = np.arange(count)
        return csr_for_engine(stacked[inverse])
    out = np.empty((count, n_features), dtype=np.float32)
    for part, where in zip(parts, order, strict=True):
        out[where] = part
    return out


def _add(*parts):
    """The sum of partial results in the order given: integers, so exact."""
    total = parts[0]
    for part in parts[1:]:
        total = total.add(part)
    return total
