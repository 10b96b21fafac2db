"""The tasks of a Dask source, run on the workers: each converts its block
as the in-memory estimator converts X and runs the in-memory code on it."""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp
from sklearn.utils import check_array

from .._params import MapLayout
from ._checks import Check, check_values, non_finite_error, shifted
from ._protocol import NodeSums, Search
from ._scheduler import Shared
from .memory import MemoryRows, busy_threads, csr_for_engine


def frame_array(dask, da, frame):
    """A float32 dask array of a dask DataFrame's partitions, converted as
    validate_data converts a pandas DataFrame, with the partition lengths
    counted (one pass over the data)."""
    parts = frame.to_delayed()
    lengths = dask.compute(*[dask.delayed(len)(part) for part in parts])
    n_features = len(frame.columns)
    blocks = [
        da.from_delayed(
            dask.delayed(frame_block, pure=True)(part),
            shape=(int(length), n_features),
            dtype=np.float32,
            meta=np.empty((0, 0), dtype=np.float32),
        )
        for part, length in zip(parts, lengths, strict=True)
    ]
    if not blocks:
        return da.zeros((0, n_features), dtype=np.float32)
    return da.concatenate(blocks, axis=0)


def frame_block(part):
    try:
        return _convert(part)
    except Exception as error:
        return Failure(error)


@dataclass
class Failure:
    """A block that could not be converted: its error, raised on the client
    for the first such block in row order, so that the message does not
    depend on which task failed first."""

    error: BaseException


def _convert(block):
    """A block as the in-memory estimator converts X: C-contiguous float32,
    or canonical CSR with the engine's dtypes."""
    if isinstance(block, Failure):
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


def block_rows(data, missing_limit: int | None = None) -> MemoryRows:
    return MemoryRows(data, missing_limit)


@dataclass
class _Stats:
    """What the check of one block finds."""

    n_rows: int
    check: Check
    low: np.ndarray | None
    high: np.ndarray | None
    prefetched: object


def _team(threads: int, data: MemoryRows, n_nodes: int) -> int:
    """Engine threads for a block: no more than its work keeps busy (a
    block of a few rows is not worth waking a team for)."""
    return busy_threads(threads, data.n_rows * n_nodes * max(1, data.n_features))


def block_stats(block, local):
    try:
        data = _convert(block)
    except Exception as error:
        return Failure(error)
    rows = block_rows(data)
    low = high = None
    if rows.n_rows:
        low, high = rows.partial_extremes()
    return _Stats(
        n_rows=rows.n_rows,
        check=check_values(data),
        low=low,
        high=high,
        prefetched=None if local is None or not len(local) else rows.take(local),
    )


def take_block(block, local):
    return block_rows(_convert(block)).take(local)


def accumulate_block(block, shared: Shared, layout: MapLayout, rows_in_total: int,
                      threads: int, limit: int | None) -> NodeSums:  # fmt: skip
    data = block_rows(_convert(block), limit)
    return data.accumulate(
        shared.codebook, layout, shared.exponents, shared.error_exponent,
        _team(threads, data, layout.n_nodes), rows_in_total,
    )  # fmt: skip


def search_block(block, shared: Shared, layout: MapLayout, threads: int, limit: int | None,
                  check_here: bool, rows_in_total: int, measure: bool, topographic: bool,
                  keep_nodes: bool):  # fmt: skip
    """(the block's check or None, its Search); a block that checks itself
    follows the masked rule only where it holds NaN."""
    check = None
    try:
        data = _convert(block)
    except Exception as error:
        if not check_here:
            raise
        return Failure(error), Search(None, 0)
    if check_here:
        check = check_values(data)
        if check.refused(limit is not None)[0]:
            return check, Search(None, 0)  # the client raises for all blocks
        limit = limit if check.nan else None
    rows = block_rows(data, limit)
    result = rows.search(
        shared.codebook, layout, _team(threads, rows, layout.n_nodes),
        error_exponent=shared.error_exponent if measure else None,
        topographic=topographic, rows_in_total=rows_in_total,
    )  # fmt: skip
    if not keep_nodes:
        result.nodes = None
    return check, result


def _location(block_info) -> int:
    return int(block_info[0]["array-location"][0][0]) if block_info else 0


def _checked(block, offset: int, limit: int | None) -> MemoryRows:
    """The rows of a block for the lazy passes, which check block by block:
    NaN and infinities refused, or infinities only where ``limit`` says NaN
    marks missing values; the masked rule where the block has NaN."""
    data = _convert(block)
    check = check_values(data)
    bad, first = check.refused(limit is not None)
    if bad:
        raise non_finite_error(bad, shifted(first, offset), limit is not None)
    return block_rows(data, limit if check.nan else None)


def predict_block(block, codebook, layout: MapLayout, threads: int, limit: int | None,
                   block_info=None):  # fmt: skip
    rows = _checked(block, _location(block_info), limit)
    return rows.predict(codebook, layout, _team(threads, rows, layout.n_nodes))


def transform_block(block, codebook, layout: MapLayout, threads: int, limit: int | None,
                     block_info=None):  # fmt: skip
    rows = _checked(block, _location(block_info), limit)
    return rows.transform(codebook, layout, _team(threads, rows, layout.n_nodes))
