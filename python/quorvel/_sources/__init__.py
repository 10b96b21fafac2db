"""Sources of rows: the one protocol that training and the estimator read
(see ``_protocol``), and :func:`as_source`, which picks the source for an
input: rows in memory (``memory``) or the blocks of a Dask collection
(``dask``, which imports Dask only when such a collection arrives)."""

from __future__ import annotations

from collections.abc import Callable

import numpy as np
import scipy.sparse as sp
from sklearn.utils.validation import validate_data

from ._checks import require_finite
from ._protocol import NodeSums, RowSource, Search
from .dask import dask_source, is_dask_collection
from .memory import MemoryRows, busy_threads, csr_for_engine, missing_limit

__all__ = ["NodeSums", "RowSource", "Search", "as_source", "busy_threads", "missing_limit"]


def refuse_times(X) -> None:
    """TypeError for dates and durations, which would train as their
    integer counts of some unit."""
    dtypes = getattr(X, "dtypes", None)
    if hasattr(dtypes, "items"):  # a DataFrame: every column's dtype
        times = [str(name) for name, dtype in dtypes.items()
                 if getattr(dtype, "kind", "") in ("m", "M")]  # fmt: skip
    else:
        times = ["X"] if getattr(getattr(X, "dtype", None), "kind", "") in ("m", "M") else []
    if times:
        raise TypeError(
            f"X holds dates or durations ({', '.join(times[:5])}), which would "
            f"train as integer counts of their unit; convert them to numbers "
            f"with a meaning first (e.g. days since an origin)."
        )


def as_source(
    X, estimator, *, reset: bool, allow_nan: bool, max_missing: float,
    prefetch: Callable[[int], np.ndarray] | None = None,
) -> RowSource:  # fmt: skip
    """The rows of ``X``, checked as the estimator's input.

    ``validate_data`` checks (``reset=False``) or records (``reset=True``)
    the feature count and names. NaN and infinite values are refused, or
    only infinities where ``allow_nan`` lets NaN mark missing values; where
    some are there, the source follows the masked rule with the limit of
    ``max_missing``. ``prefetch(n_rows)`` names rows that initialisation
    will take, which a Dask source gathers in its first pass.
    """
    refuse_times(X)
    if is_dask_collection(X):
        return dask_source(X, estimator, reset=reset, allow_nan=allow_nan,
                           max_missing=max_missing, prefetch=prefetch)  # fmt: skip
    # A float64 beyond float32's range becomes infinite here and is refused
    # by the check with its count and position.
    with np.errstate(over="ignore"):
        X = validate_data(
            estimator, X, reset=reset, accept_sparse="csr", dtype=np.float32,
            order="C", ensure_all_finite=False,
        )  # fmt: skip
    if sp.issparse(X):
        X = csr_for_engine(X)
    check = require_finite(X, allow_nan=allow_nan)
    limit = missing_limit(max_missing, X.shape[1]) if allow_nan and check.nan else None
    return MemoryRows(X, limit)
