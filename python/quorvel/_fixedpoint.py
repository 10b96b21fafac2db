"""The fixed point of the per-node sums and of the error measures.

Every sum that training or an error measure adds over rows is a sum of
64-bit integers: each value is scaled by a power of two chosen from a bound
on its magnitude and the row count, so that no sum can overflow, and then
rounded to an integer. Integer sums do not depend on the order or grouping
of the rows, so threads, chunks and Dask blocks cannot change them.

Missing values are the general case: a row that observes ``observed`` of
``n_features`` features has its squared distance scaled by
``n_features / observed``, so the bound on a distance widens by the square
root of the largest such scale. Data without missing values are its case
``most_missing=0``, whose widening is exactly 1.
"""

from __future__ import annotations

import math

import numpy as np

from . import _core


def feature_exponents(max_abs: np.ndarray, n_rows: int) -> np.ndarray:
    """The exponent of every feature's per-node sums, from its largest
    magnitude and the row count."""
    return np.array(
        [_core.choose_exponent(float(m), max(1, n_rows)) for m in max_abs], dtype=np.int32
    )


def product_exponents(feature_bounds: np.ndarray, column_bounds: np.ndarray,
                      n_rows: int) -> np.ndarray:  # fmt: skip
    """The exponents (features x columns, int32) of the engine's weighted row
    sums: choose_exponent of the bound of each product, feature bound times
    column bound, over at least 2048 rows, which keeps every scaled term
    below 2^51 as the engine's rounding needs (choose_exponent written out
    over arrays: 62 minus the exponent of the bound's binary form minus that
    of the row count, 0 for a zero bound)."""
    bound = np.multiply.outer(np.asarray(feature_bounds, np.float64),
                              np.asarray(column_bounds, np.float64))  # fmt: skip
    row_bits = (max(2048, n_rows) - 1).bit_length()
    exponents = 62 - np.frexp(bound)[1] - row_bits
    usable = (bound > 0) & np.isfinite(bound)
    # Bounds below 2^-900 would scale past double's range; a smaller scale
    # is always safe.
    return np.where(usable, np.minimum(exponents, 1000), 0).astype(np.int32)


# The squares of the node norms are taken for blocks of whole nodes of about
# this many values, so that a wide map's float64 squares never exist at once.
SQUARES_PER_BLOCK = 1 << 17


def squares_scratch(codebook_shape: tuple[int, int]) -> np.ndarray:
    """Room for the float64 squares of one block of nodes (see
    :func:`error_exponent`), made once and reused."""
    n_nodes, n_features = codebook_shape
    step = max(1, SQUARES_PER_BLOCK // max(1, n_features))
    return np.empty(min(n_nodes, step) * n_features, dtype=np.float64)


def error_exponent(
    max_abs: np.ndarray, codebook: np.ndarray, n_rows: int, n_features: int,
    most_missing: int = 0, scratch: np.ndarray | None = None,
) -> int:  # fmt: skip
    """The exponent of the distance sum: from a bound on any row's distance
    to any node (the data's largest norm plus the largest node norm, widened
    for the float rounding of the distances and for the scale of a row
    missing ``most_missing`` of its features). ``scratch`` (from
    :func:`squares_scratch`) takes the squares where given."""
    if scratch is None:
        scratch = squares_scratch(codebook.shape)
    # Each node's squared norm is numpy's sum of its own row, whatever
    # block the row is in.
    n_nodes, width = codebook.shape
    step = max(1, scratch.size // width) if width else n_nodes
    largest = []
    for begin in range(0, n_nodes, step):
        block = codebook[begin : begin + step]
        room = scratch[: block.size].reshape(block.shape)
        largest.append(np.max(np.sum(np.square(block, dtype=np.float64, out=room), axis=1)))
    node_norm = float(np.sqrt(np.max(largest)))
    fewest = max(1, n_features - most_missing)
    widen = math.sqrt(n_features / fewest) if n_features else 1.0
    bound = (float(np.sqrt(np.sum(np.square(max_abs)))) + node_norm) * 1.01 * widen
    return _core.choose_exponent(bound, max(1, n_rows))


def distance_sum(distances: np.ndarray, exponent: int, n_rows: int) -> tuple[int, int]:
    """The engine's fixed-point sum of the Euclidean distances whose float32
    squares are ``distances``, and the count of those beyond its range, at
    the range of ``n_rows`` rows."""
    scaled = np.sqrt(distances.astype(np.float64)) * np.ldexp(1.0, exponent)
    inside = scaled < 2.0**62 / max(1, n_rows)
    total = int(np.rint(scaled[inside]).astype(np.int64).sum(dtype=np.int64))
    return total, int(np.count_nonzero(~inside))


def mean_error(total: int, overflows: int, exponent: int, matched: int) -> float:
    """The mean distance of ``matched`` rows from their fixed-point sum: NaN
    without rows, infinite where a distance was beyond the range."""
    if matched == 0:
        return float("nan")
    if overflows:
        return float("inf")
    return float(np.ldexp(float(total), -exponent)) / matched
