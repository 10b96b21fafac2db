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
import time
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp
from sklearn.utils import check_array
from sklearn.utils.validation import validate_data

from . import _core
from ._data import (
    Rows,
    csr_for_engine,
    fixed_point_error,
    mean_error,
    missing_error_exponent,
    missing_limit,
)
from ._data import error_exponent as _error_exponent
from ._geometry import are_neighbours
from ._params import MapLayout

INSTALL = "pip install quorvel[dask]"

# Partial results summed per task of the reduction tree.
_FAN_IN = 8

# Data are persisted when their float32 size is at most this share of the
# memory at hand: below the workers' default spilling threshold (60 % of
# their limit), with room for the blocks being worked on.
_PERSIST_SHARE = 0.4

# The dask config key that overrides the choice: "auto", True or False.
PERSIST_KEY = "quorvel.persist"

# Flat elements checked for NaN at a time, as in memory.
_CHECK_STEP = 1 << 20

# Multiply-adds of the BMU search per engine thread of a task, at least.
_WORK_PER_THREAD = 1 << 22


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


def dask_rows(estimator, X, *, reset: bool) -> DaskRows:
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
        array = _frame_array(dask, da, X)
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
    init = estimator.init
    allow_nan = getattr(estimator, "missing", "error") == "ignore"
    limit = None
    if allow_nan:
        limit = missing_limit(getattr(estimator, "max_missing", 0.5), n_features)
    # The "pca" rows; under missing values "sample" fills holes with their
    # column means.
    pca = isinstance(init, str) and (init == "pca" or (init == "sample" and allow_nan))
    rows = DaskRows(
        array,
        n_jobs=estimator.n_jobs,
        pca=reset and pca,
        persist=reset,
        missing_limit=limit,
    )
    if reset:
        rows.check()
    return rows


def _is_dataframe(X) -> bool:
    return hasattr(X, "columns") and hasattr(X, "to_delayed") and getattr(X, "ndim", 2) == 2


def _frame_array(dask, da, frame):
    """A float32 dask array of a dask DataFrame's partitions, converted as
    validate_data converts a pandas DataFrame, with the partition lengths
    counted (one pass over the data)."""
    parts = frame.to_delayed()
    lengths = dask.compute(*[dask.delayed(len)(part) for part in parts])
    n_features = len(frame.columns)
    blocks = [
        da.from_delayed(
            dask.delayed(_frame_block, pure=True)(part),
            shape=(int(length), n_features),
            dtype=np.float32,
            meta=np.empty((0, 0), dtype=np.float32),
        )
        for part, length in zip(parts, lengths, strict=True)
    ]
    if not blocks:
        return da.zeros((0, n_features), dtype=np.float32)
    return da.concatenate(blocks, axis=0)


def _frame_block(part):
    try:
        return _convert(part)
    except Exception as error:
        return _Failure(error)


@dataclass
class _Failure:
    """A block that could not be converted: its error, raised on the client
    for the first such block in row order, so that the message does not
    depend on which task failed first."""

    error: BaseException


def _convert(block):
    """A block as the in-memory estimator converts X: C-contiguous float32,
    or canonical CSR with the engine's dtypes."""
    if isinstance(block, _Failure):
        raise block.error
    if sp.issparse(block):
        block = check_array(
            block, accept_sparse="csr", dtype=np.float32, ensure_all_finite=False,
            ensure_min_samples=0,
        )  # fmt: skip
        return csr_for_engine(block)
    return check_array(
        block, dtype=np.float32, order="C", ensure_all_finite=False, ensure_min_samples=0
    )


def _block_rows(data, most_missing: int | None = None) -> Rows:
    """A converted block as Rows, under the masked rule where
    ``most_missing`` is set."""
    rows = Rows(csr=data) if sp.issparse(data) else Rows(dense=data)
    rows.most_missing = most_missing
    return rows


def _extremes(data) -> tuple[np.ndarray, np.ndarray]:
    """Each feature's least and largest value of a block other than NaN,
    float64: NaN (dense) or infinite (CSR) where the block observes none,
    so that the blocks combine to the extremes of all rows."""
    if not sp.issparse(data):
        return (np.fmin.reduce(data, axis=0).astype(np.float64),
                np.fmax.reduce(data, axis=0).astype(np.float64))  # fmt: skip
    missing = np.isnan(data.data)
    extremes = []
    for fill, reduce in ((np.inf, "min"), (-np.inf, "max")):
        filled = data.copy()
        filled.data = np.where(missing, np.float32(fill), filled.data)
        extreme = getattr(filled, reduce)(axis=0).todense()
        extremes.append(np.asarray(extreme, dtype=np.float64).ravel())
    return extremes[0], extremes[1]


@dataclass
class _Check:
    """The NaN and infinite values of a block: their counts and the (row,
    column) in the block of the first non-finite and the first infinite
    value, in the order the in-memory check reads."""

    nan: int = 0
    inf: int = 0
    first_bad: tuple[int, int] | None = None
    first_inf: tuple[int, int] | None = None

    def refused(self, allow_nan: bool) -> tuple[int, tuple[int, int] | None]:
        """The count and first position of the values that are refused:
        infinities where NaN marks missing values, else both."""
        if allow_nan:
            return self.inf, self.first_inf
        return self.nan + self.inf, self.first_bad


def _check_values(data) -> _Check:
    values = data.data if sp.issparse(data) else data.reshape(-1)
    check = _Check()
    bad_at = inf_at = None
    for begin in range(0, values.size, _CHECK_STEP):
        chunk = values[begin : begin + _CHECK_STEP]
        nan, inf = np.isnan(chunk), np.isinf(chunk)
        check.nan += int(np.count_nonzero(nan))
        count = int(np.count_nonzero(inf))
        if count and inf_at is None:
            inf_at = begin + int(np.argmax(inf))
        check.inf += count
        if bad_at is None and (check.nan or check.inf):
            bad_at = begin + int(np.argmax(nan | inf))
    check.first_bad, check.first_inf = _position(data, bad_at), _position(data, inf_at)
    return check


def _position(data, flat: int | None) -> tuple[int, int] | None:
    if flat is None:
        return None
    if sp.issparse(data):
        row = int(np.searchsorted(data.indptr, flat, side="right") - 1)
        return row, int(data.indices[flat])
    return divmod(flat, data.shape[1])


def _non_finite_error(bad: int, row: int, column: int, allow_nan: bool) -> ValueError:
    """The in-memory estimator's message (_check_finite)."""
    where = f"row {row}, column {column}"
    if allow_nan:
        return ValueError(
            f"X contains {bad} infinite value{'s' if bad > 1 else ''} (values "
            f"beyond float32's range become infinite; NaN marks a missing value "
            f"under missing='ignore'); the first is at {where}."
        )
    return ValueError(
        f"X contains {bad} NaN or infinite value{'s' if bad > 1 else ''} "
        f"(values beyond float32's range become infinite); the first is at {where}."
    )


def _checked(block, offset: int, limit: int | None) -> Rows:
    """The rows of a block for the passes that check block by block: NaN
    and infinities refused, or infinities only where ``limit`` (the most
    missing values of a row with a BMU) says NaN marks missing values; the
    masked rule where the block has NaN."""
    data = _convert(block)
    check = _check_values(data)
    bad, first = check.refused(limit is not None)
    if bad:
        raise _non_finite_error(bad, offset + first[0], first[1], limit is not None)
    return _block_rows(data, limit if check.nan else None)


# ----------------------------------------------------------------------
# Where the graphs run


class _Scheduler:
    """The scheduler that dask would use for the data, resolved once per
    DaskRows so that every pass of a fit runs on the same one."""

    def __init__(self, collection) -> None:
        import dask
        import dask.base

        self.get = dask.base.get_scheduler(collections=[collection])
        self.client = _client_of(self.get)
        if self.client is not None:
            self.kind = "distributed"
        else:
            import dask.local
            import dask.multiprocessing
            import dask.threaded

            self.kind = {
                dask.local.get_sync: "synchronous",
                dask.threaded.get: "threads",
                dask.multiprocessing.get: "processes",
            }.get(self.get, "other")

    def compute(self, *objects) -> tuple:
        import dask

        try:
            return dask.compute(*objects, scheduler=self.get)
        except _lost_worker_errors() as error:
            raise RuntimeError(
                f"The Dask cluster lost the workers that a task of quorvel "
                f"needed ({type(error).__name__}: {error}); the fit stops "
                f"without a result. Restart the lost workers and fit again."
            ) from error

    def persist(self, objects: list) -> list:
        import dask

        if self.client is not None:
            return list(self.client.persist(objects))
        return list(dask.persist(*objects, scheduler=self.get))

    def share(self, value):
        """``value`` once for every task of the next graph: scattered to
        every worker of a cluster, else one key of the graph."""
        import dask

        if self.client is None:
            return dask.delayed(value, pure=False)
        for attempt in range(3):
            try:
                return self.client.scatter(value, broadcast=True, hash=False)
            except OSError:
                # A worker that died a moment ago may still be listed.
                if attempt == 2:
                    raise
                time.sleep(0.5)
        raise AssertionError("unreachable")  # pragma: no cover

    def memory(self) -> float:
        """The memory that persisted data may share: the sum of the
        workers' memory limits (infinite where one has none), or what the
        machine has available for the local schedulers."""
        if self.client is not None:
            workers = self.client.scheduler_info(n_workers=-1)["workers"].values()
            limits = [worker.get("memory_limit") or 0 for worker in workers]
            if not limits:
                return 0.0
            return math.inf if 0 in limits else float(sum(limits))
        try:
            import psutil

            return float(psutil.virtual_memory().available)
        except ImportError:
            import os

            return float(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))

    def task_threads(self, n_jobs, threads: int) -> int:
        """Engine threads of each task: ``n_jobs`` where it is set;
        otherwise all of the estimator's on the synchronous scheduler, and 1
        where the scheduler runs tasks side by side (the worker's own
        threads are its parallelism, as the nanny's OMP_NUM_THREADS=1
        says)."""
        if n_jobs is not None or self.kind == "synchronous":
            return threads
        return 1


def _client_of(get):
    owner = getattr(get, "__self__", None)
    if owner is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        return None
    return owner if isinstance(owner, Client) else None


def _lost_worker_errors() -> tuple:
    errors = []
    try:
        import distributed

        errors.append(distributed.KilledWorker)
        from distributed.client import FutureCancelledError

        errors.append(FutureCancelledError)
    except (ImportError, AttributeError):
        pass
    import asyncio
    import concurrent.futures

    errors += [asyncio.CancelledError, concurrent.futures.CancelledError]
    return tuple(errors)


@dataclass
class _Shared:
    """What every task of an epoch reads: sent out once per epoch."""

    codebook: np.ndarray
    exponents: np.ndarray | None = None
    error_exponent: int = 0

    def __sizeof__(self) -> int:
        size = self.codebook.nbytes
        return size + (0 if self.exponents is None else self.exponents.nbytes)


def _tree(parts: list, combine):
    """Delayed ``combine`` over consecutive groups of ``_FAN_IN`` parts,
    level after level: a fixed order of reduction."""
    import dask

    while len(parts) > 1:
        parts = [
            dask.delayed(combine, pure=False)(*parts[begin : begin + _FAN_IN])
            for begin in range(0, len(parts), _FAN_IN)
        ]
    return parts[0]


# ----------------------------------------------------------------------
# The rows


@dataclass
class _Stats:
    """What the check of one block finds."""

    n_rows: int
    check: _Check
    low: np.ndarray | None
    high: np.ndarray | None
    pca: object


class DaskRows:
    """Rows of a dask array, with the interface of :class:`~quorvel._data.Rows`
    that the estimator calls, every pass run on the dask scheduler.

    Parameters
    ----------
    array : dask.array.Array
        Chunked along the rows only, of known chunk sizes.
    n_jobs : int or None
        The estimator's ``n_jobs``: engine threads of each task where set.
    pca : bool
        Gather the rows of the "pca" initialisation during the check.
    persist : bool
        Whether the check may persist the converted blocks (see the module's
        notes); the methods of a fitted estimator stream.
    missing_limit : int or None
        Where NaN marks missing values (``missing="ignore"``): the most
        missing values of a row with a BMU. ``most_missing`` becomes it once
        the check has found NaN in the data, as for in-memory rows.
    """

    def __init__(self, array, *, n_jobs=None, pca: bool = False, persist: bool = False,
                 missing_limit: int | None = None) -> None:  # fmt: skip
        self.array = array
        self.n_rows, self.n_features = (int(n) for n in array.shape)
        self.lengths = [int(length) for length in array.chunks[0]]
        self.offsets = [0, *np.cumsum(self.lengths, dtype=np.int64).tolist()]
        meta = getattr(array, "_meta", None)
        self.is_sparse = sp.issparse(meta)
        self.n_jobs = n_jobs
        self.missing_limit = missing_limit
        self.most_missing: int | None = None
        self._pca = pca
        self._may_persist = persist
        self.persisted = False
        self._scheduler = _Scheduler(array)
        self._blocks = list(array.to_delayed().ravel())
        self._stats: dict | None = None

    @property
    def scheduler_kind(self) -> str:
        """"synchronous", "threads", "processes", "distributed" or
        "other"."""
        return self._scheduler.kind

    def _threads(self, threads: int) -> int:
        return self._scheduler.task_threads(self.n_jobs, threads)

    def _nonempty(self):
        """(index, offset, block) of the blocks that hold rows."""
        return [
            (index, self.offsets[index], block)
            for index, block in enumerate(self._blocks)
            if self.lengths[index]
        ]

    # ------------------------------------------------------------------
    # The check: conversion, NaN, per-feature bounds, the "pca" rows

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
                [dask.delayed(_frame_block, pure=True)(block) for block in self._blocks]
            )
            self.persisted = True
        pca_index = None
        if self._pca:
            from ._som import pca_rows

            pca_index = pca_rows(self.n_rows)
        tasks = []
        for index, offset, block in self._nonempty():
            local = None
            if pca_index is not None:
                lo, hi = np.searchsorted(pca_index, [offset, offset + self.lengths[index]])
                local = pca_index[lo:hi] - offset
            tasks.append(dask.delayed(_block_stats, pure=False)(block, local))
        results = self._scheduler.compute(*tasks)
        allow_nan = self.missing_limit is not None
        _raise_first_problem(results, [offset for _, offset, _ in self._nonempty()], allow_nan)
        if allow_nan and any(result.check.nan for result in results):
            self.most_missing = self.missing_limit
        self._stats = _combine_stats(results, self.n_features, self.is_sparse,
                                     self.most_missing is not None)  # fmt: skip

    def max_abs(self) -> np.ndarray:
        """The largest magnitude of every feature, float64 (of the observed
        values under missing values)."""
        self.check()
        return self._stats["max_abs"].copy()

    def min_max(self) -> tuple[np.ndarray, np.ndarray]:
        """Each feature's least and largest value, float64 (observed values
        only under missing values; 0 and 0 where none is)."""
        self.check()
        return self._stats["low"].copy(), self._stats["high"].copy()

    def has_nan(self) -> bool:
        """Whether any value is NaN (a pass over the data, once)."""
        self.check()
        return self._stats["has_nan"]

    def take(self, index: np.ndarray):
        """The rows at global ``index``: a float32 array, or CSR for sparse
        rows; those of the "pca" initialisation come from the check."""
        index = np.asarray(index, dtype=np.int64)
        self.check()
        cached = self._stats.get("pca")
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
            tasks.append(dask.delayed(_take_block, pure=False)(self._blocks[block], local))
        parts = self._scheduler.compute(*tasks)
        return _assemble(parts, order, len(index), self.n_features, self.is_sparse)

    # ------------------------------------------------------------------
    # Epochs and searches

    def _per_block(self, function, shared, *args) -> list:
        import dask

        return [
            dask.delayed(function, pure=False)(block, shared, *args)
            for _, _, block in self._nonempty()
        ]

    def accumulate(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray]:  # fmt: skip
        """The per-node sums, counts and the fixed-point distance total and
        overflow count of all rows: one task per block, summed by a fixed
        tree on the cluster."""
        return self._sums(codebook, layout, exponents, error_exponent, threads, None)

    def accumulate_missing(
        self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
        error_exponent: int, threads: int,
    ) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:  # fmt: skip
        """Under missing values: the per-node sums of the observed values,
        observed counts per feature, row counts and the distance total and
        overflow count (see :meth:`Rows.accumulate_missing`), summed as
        :meth:`accumulate` sums."""
        self.check()
        return self._sums(codebook, layout, exponents, error_exponent, threads,
                          self.most_missing)  # fmt: skip

    def _sums(self, codebook, layout, exponents, error_exponent, threads, most):
        self.check()
        shared = self._scheduler.share(
            _Shared(codebook, np.asarray(exponents, dtype=np.int32), int(error_exponent))
        )
        parts = self._per_block(
            _accumulate_block, shared, layout, self.n_rows,
            self._threads(threads), most,
        )  # fmt: skip
        if not parts:
            n_nodes = layout.n_nodes
            empty = [np.zeros((n_nodes, self.n_features), np.int64)]
            if most is not None:
                empty.append(np.zeros((n_nodes, self.n_features), np.int64))
            return (*empty, np.zeros(n_nodes, np.int64), np.zeros(2, np.int64))
        (result,) = self._scheduler.compute(_tree(parts, _add_partials))
        return result

    def _error_exponent(self, codebook: np.ndarray, max_abs: np.ndarray) -> int:
        if self.most_missing is not None:
            return missing_error_exponent(
                max_abs, codebook, self.n_rows, self.n_features, self.most_missing
            )
        return _error_exponent(max_abs, codebook, self.n_rows)

    def final_pass(self, codebook: np.ndarray, layout: MapLayout, max_abs: np.ndarray,
                   threads: int):  # fmt: skip
        """Labels (gathered to the client), quantization and topographic
        error under the final codebook, the errors summed as integers (over
        the rows with a BMU, under missing values)."""
        self.check()
        exponent = self._error_exponent(codebook, max_abs)
        shared = self._scheduler.share(_Shared(codebook, None, exponent))
        tasks = self._per_block(
            _final_block, shared, layout, self.n_rows, self._threads(threads),
            self.most_missing,
        )  # fmt: skip
        results = self._scheduler.compute(*tasks)
        nodes = (np.concatenate([result[0] for result in results]) if results
                 else np.empty(0, dtype=np.int32))  # fmt: skip
        total, overflows, matched, apart = (
            sum(result[position] for result in results) for position in range(1, 5)
        )
        error = mean_error(total, overflows, exponent, matched)
        return nodes, error, _topographic(apart, matched, layout)

    def quantization_error(self, codebook: np.ndarray, layout: MapLayout, threads: int) -> float:
        """Mean Euclidean distance of each row to its BMU's vector: a check
        pass for the features' bounds, then a pass of integer partials."""
        max_abs = self.max_abs()
        exponent = self._error_exponent(codebook, max_abs)
        shared = self._scheduler.share(_Shared(codebook, None, exponent))
        parts = self._per_block(
            _error_block, shared, layout, self.n_rows, self._threads(threads), self.most_missing
        )
        if not parts:
            return float("nan")
        ((total, overflows, matched),) = self._scheduler.compute(_tree(parts, _add_counts))
        return mean_error(total, overflows, exponent, matched)

    def topographic_error(self, codebook: np.ndarray, layout: MapLayout, threads: int) -> float:
        """Share of rows whose best and second-best nodes are not
        neighbours (over the rows with a BMU, under missing values), from
        per-block counts: one pass, checked block by block and then as a
        whole."""
        shared = self._scheduler.share(_Shared(codebook))
        nonempty = self._nonempty()
        parts = self._per_block(
            _apart_block, shared, layout, self._threads(threads), self.missing_limit
        )
        results = self._scheduler.compute(*parts)
        _raise_first_problem([result[0] for result in results],
                             [offset for _, offset, _ in nonempty],
                             self.missing_limit is not None)  # fmt: skip
        matched = sum(result[1] for result in results)
        return _topographic(sum(result[2] for result in results), matched, layout)

    def find_bmus(self, codebook: np.ndarray, layout: MapLayout, threads: int,
                  seconds: bool = False):  # fmt: skip
        """As :meth:`Rows.find_bmus`, gathered to the client."""
        self.check()
        shared = self._scheduler.share(_Shared(codebook))
        tasks = self._per_block(
            _bmus_block, shared, layout, self._threads(threads), seconds, self.most_missing
        )
        results = self._scheduler.compute(*tasks)
        kinds = (np.int32, np.float32, np.int32, np.float32)
        out = []
        for position, kind in enumerate(kinds):
            if position >= 2 and not seconds:
                out.append(None)
            elif results:
                out.append(np.concatenate([result[position] for result in results]))
            else:
                out.append(np.empty(0, dtype=kind))
        return tuple(out)

    def node_distances(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """As :meth:`Rows.node_distances`, gathered to the client."""
        return np.asarray(self.transform(codebook, layout, threads))

    # ------------------------------------------------------------------
    # Lazy results

    def predict(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """BMU of every row, int64 (-1 for a row without one under missing
        values): a dask array, computed block by block when asked for."""
        import dask

        return self.array.map_blocks(
            _predict_block, dask.delayed(np.array(codebook)), layout,
            self._threads(threads), self.missing_limit, dtype=np.int64, drop_axis=1,
            meta=np.empty((0,), dtype=np.int64),
        )  # fmt: skip

    def transform(self, codebook: np.ndarray, layout: MapLayout, threads: int):
        """Euclidean distance of every row to every node, float64 (NaN for
        a row without a BMU under missing values): a dask array of one block
        per block of rows."""
        import dask

        return self.array.map_blocks(
            _transform_block, dask.delayed(np.array(codebook)), layout,
            self._threads(threads), self.missing_limit, dtype=np.float64,
            chunks=(self.array.chunks[0], (layout.n_nodes,)),
            meta=np.empty((0, 0), dtype=np.float64),
        )  # fmt: skip


def _raise_first_problem(results: list, offsets: list[int], allow_nan: bool) -> None:
    """The in-memory estimator's error for the blocks' checks: the first
    block in row order that could not be converted, else the count of the
    refused values of all blocks and the first position."""
    for result in results:
        if isinstance(result, _Failure):
            raise result.error
    checks = [result if isinstance(result, _Check) else result.check for result in results]
    bad = sum(check.refused(allow_nan)[0] for check in checks)
    if not bad:
        return
    for check, offset in zip(checks, offsets, strict=True):
        count, first = check.refused(allow_nan)
        if count:
            raise _non_finite_error(bad, offset + first[0], first[1], allow_nan)


def _combine_stats(results: list, n_features: int, sparse: bool, missing: bool) -> dict:
    """The blocks' extremes and "pca" rows put together; under missing
    values a feature that no row observes gets 0 and 0, as in memory."""
    low = np.full(n_features, np.nan)
    high = np.full(n_features, np.nan)
    for result in results:
        if result.low is not None:
            low = np.fmin(low, result.low)
            high = np.fmax(high, result.high)
    if missing:
        unseen = np.isnan(low) | np.isinf(low) | np.isnan(high) | np.isinf(high)
        low, high = np.where(unseen, 0.0, low), np.where(unseen, 0.0, high)
    stats = {
        "low": low,
        "high": high,
        "max_abs": np.maximum(np.abs(low), np.abs(high)),
        "has_nan": any(result.check.nan for result in results),
        "pca": None,
    }
    pcas = [result.pca for result in results if result.pca is not None]
    if pcas:
        from ._som import pca_rows

        total = sum(result.n_rows for result in results)
        subset = sp.vstack(pcas, format="csr") if sparse else np.concatenate(pcas)
        if sparse:
            subset = csr_for_engine(subset)
        stats["pca"] = (pca_rows(total), subset)
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


def _topographic(apart: int, matched: int, layout: MapLayout) -> float:
    """As the in-memory estimator: over the rows with a BMU, NaN where
    there are none, 0 on a map of one node."""
    if matched == 0:
        return float("nan")
    if layout.n_nodes == 1:
        return 0.0
    return float(apart) / matched


# ----------------------------------------------------------------------
# Tasks (run on the workers)


def _team(threads: int, data: Rows, n_nodes: int) -> int:
    """Engine threads for a block: no more than its work keeps busy (a
    block of a few rows is not worth waking a team for)."""
    work = data.n_rows * n_nodes * max(1, data.n_features)
    return max(1, min(threads, 1 + work // _WORK_PER_THREAD))


def _block_stats(block, pca_local):
    try:
        data = _convert(block)
    except Exception as error:
        return _Failure(error)
    rows = _block_rows(data)
    low = high = None
    if rows.n_rows:
        low, high = _extremes(data)
    return _Stats(
        n_rows=rows.n_rows,
        check=_check_values(data),
        low=low,
        high=high,
        pca=None if pca_local is None or not len(pca_local) else rows.take(pca_local),
    )


def _take_block(block, local):
    return _block_rows(_convert(block)).take(local)


def _accumulate_block(block, shared: _Shared, layout: MapLayout, rows_in_total: int,
                      threads: int, most: int | None):  # fmt: skip
    """A block's partial sums: (sums, counts, totals), or under missing
    values (sums, observed, counts, totals)."""
    data = _block_rows(_convert(block), most)
    n_nodes = layout.n_nodes
    threads = _team(threads, data, n_nodes)
    sums = np.zeros((n_nodes, data.n_features), dtype=np.int64)
    counts = np.zeros(n_nodes, dtype=np.int64)
    totals = np.zeros(2, dtype=np.int64)
    observed = None
    if most is not None:
        observed = np.zeros((n_nodes, data.n_features), dtype=np.int64)
    for _, _, arrays in data.chunks(n_nodes):
        _core.accumulate(
            shared.codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            *arrays, most, shared.exponents, shared.error_exponent, rows_in_total,
            sums, observed, counts, totals, None, threads,
        )  # fmt: skip
    if observed is not None:
        return sums, observed, counts, totals
    return sums, counts, totals


def _search(rows: Rows, codebook: np.ndarray, layout: MapLayout, threads: int,
            seconds: bool = False):  # fmt: skip
    """The BMU search of Rows (the masked one where the rows say so)."""
    return rows.find_bmus(codebook, layout, _team(threads, rows, layout.n_nodes), seconds)


def _add_partials(*parts):
    """The sum of partial sums, element by element: integers, so exact."""
    total = [array.copy() for array in parts[0]]
    for part in parts[1:]:
        for into, array in zip(total, part, strict=True):
            into += array
    return tuple(total)


def _add_counts(*parts):
    return tuple(sum(values) for values in zip(*parts, strict=True))


def _matched_error(nodes, distances, exponent: int, rows_in_total: int):
    """(total, overflows, rows) of the fixed-point distance sum over the
    rows with a BMU."""
    matched = nodes >= 0
    total, overflows = fixed_point_error(distances[matched], exponent, rows_in_total)
    return total, overflows, int(np.count_nonzero(matched))


def _final_block(block, shared: _Shared, layout: MapLayout, rows_in_total: int, threads: int,
                 most: int | None):  # fmt: skip
    data = _block_rows(_convert(block), most)
    nodes, distances, second, _ = _search(data, shared.codebook, layout, threads, True)
    total, overflows, matched = _matched_error(
        nodes, distances, shared.error_exponent, rows_in_total
    )
    return nodes, total, overflows, matched, _apart(nodes, second, layout)


def _error_block(block, shared: _Shared, layout: MapLayout, rows_in_total: int, threads: int,
                 most: int | None):  # fmt: skip
    data = _block_rows(_convert(block), most)
    nodes, distances, _, _ = _search(data, shared.codebook, layout, threads)
    return _matched_error(nodes, distances, shared.error_exponent, rows_in_total)


def _apart_block(block, shared: _Shared, layout: MapLayout, threads: int, limit: int | None):
    """(the block's check, its rows with a BMU, those of them whose two
    best nodes are not neighbours)."""
    try:
        data = _convert(block)
    except Exception as error:
        return _Failure(error), 0, 0
    check = _check_values(data)
    rows = _block_rows(data, limit if check.nan else None)
    nodes, _, second, _ = _search(rows, shared.codebook, layout, threads, True)
    return check, int(np.count_nonzero(nodes >= 0)), _apart(nodes, second, layout)


def _apart(nodes: np.ndarray, second: np.ndarray, layout: MapLayout) -> int:
    """Rows with a BMU whose two best nodes are not neighbours."""
    matched = nodes >= 0
    nodes, second = nodes[matched], second[matched]
    if layout.n_nodes == 1 or nodes.size == 0:
        return 0
    neighbours = are_neighbours(
        layout.columns, layout.rows, layout.grid, layout.topology, nodes, second
    )
    return int(np.count_nonzero(~neighbours))


def _bmus_block(block, shared: _Shared, layout: MapLayout, threads: int, seconds: bool,
                most: int | None):  # fmt: skip
    return _search(_block_rows(_convert(block), most), shared.codebook, layout, threads, seconds)


def _location(block_info) -> int:
    return int(block_info[0]["array-location"][0][0]) if block_info else 0


def _predict_block(block, codebook, layout: MapLayout, threads: int, limit: int | None,
                   block_info=None):  # fmt: skip
    rows = _checked(block, _location(block_info), limit)
    nodes, _, _, _ = _search(rows, codebook, layout, threads)
    return nodes.astype(np.int64)


def _transform_block(block, codebook, layout: MapLayout, threads: int, limit: int | None,
                     block_info=None):  # fmt: skip
    rows = _checked(block, _location(block_info), limit)
    return rows.node_distances(codebook, layout, _team(threads, rows, layout.n_nodes))
