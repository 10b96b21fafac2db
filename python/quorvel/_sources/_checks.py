"""NaN and infinities in the rows: counted in steps, reported alike for
every source.

A value refused by the check is reported with the count of all refused
values and the position of the first one in row order, whether the rows are
in memory or in the blocks of a Dask array.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp

# Flat values read at a time: bounded temporaries on large inputs.
STEP = 1 << 20


@dataclass
class Check:
    """The NaN and infinite values of some rows: their counts and the
    places (row, column) of the first non-finite and of the first infinite
    value in row order."""

    nan: int = 0
    inf: int = 0
    first_bad: tuple[int, int] | int | None = None
    first_inf: tuple[int, int] | int | None = None

    def refused(self, allow_nan: bool) -> tuple[int, tuple[int, int] | int | None]:
        """The count and first flat position of the values that are refused:
        infinities where NaN marks missing values, else both."""
        if allow_nan:
            return self.inf, self.first_inf
        return self.nan + self.inf, self.first_bad


def stored_values(data) -> np.ndarray:
    """The values that may be NaN or infinite: a dense array flat, or the
    stored values of a CSR matrix (an absent entry is a zero)."""
    return data.data if sp.issparse(data) else data.reshape(-1)


def check_values(data) -> Check:
    """Counts the NaN and infinite values of a float32 array or CSR matrix."""
    values = stored_values(data)
    check = Check()
    bad_at = inf_at = None
    for begin in range(0, values.size, STEP):
        chunk = values[begin : begin + STEP]
        nan, inf = np.isnan(chunk), np.isinf(chunk)
        check.nan += int(np.count_nonzero(nan))
        count = int(np.count_nonzero(inf))
        if count and inf_at is None:
            inf_at = begin + int(np.argmax(inf))
        check.inf += count
        if bad_at is None and (check.nan or check.inf):
            bad_at = begin + int(np.argmax(nan | inf))
    check.first_bad = None if bad_at is None else position(data, bad_at)
    check.first_inf = None if inf_at is None else position(data, inf_at)
    return check


def position(data, flat: int) -> tuple[int, int] | int:
    """(row, column) of a flat position of :func:`stored_values`; the
    position itself for data of one dimension."""
    if sp.issparse(data):
        row = int(np.searchsorted(data.indptr, flat, side="right") - 1)
        return row, int(data.indices[flat])
    if data.ndim == 2:
        return divmod(flat, data.shape[1])
    return flat


def non_finite_error(
    bad: int, where: tuple[int, int] | int, allow_nan: bool, name: str = "X"
) -> ValueError:
    """The error for ``bad`` refused values, the first at ``where``."""
    place = f"row {where[0]}, column {where[1]}" if isinstance(where, tuple) else (
        f"position {where}"
    )
    plural = "s" if bad > 1 else ""
    if allow_nan:
        return ValueError(
            f"{name} contains {bad} infinite value{plural} (values beyond "
            f"float32's range become infinite; NaN marks a missing value under "
            f"missing='ignore'); the first is at {place}."
        )
    return ValueError(
        f"{name} contains {bad} NaN or infinite value{plural} (values beyond "
        f"float32's range become infinite); the first is at {place}."
    )


def require_finite(data, *, allow_nan: bool = False, name: str = "X", offset: int = 0) -> Check:
    """Raises :func:`non_finite_error` for the refused values of ``data``
    (rows numbered from ``offset``); returns the counts otherwise."""
    check = check_values(data)
    bad, first = check.refused(allow_nan)
    if bad:
        raise non_finite_error(bad, shifted(first, offset), allow_nan, name)
    return check


def shifted(where: tuple[int, int] | int, offset: int) -> tuple[int, int] | int:
    """A place in a block as a place in all rows, the block starting at row
    ``offset``."""
    return (offset + where[0], where[1]) if isinstance(where, tuple) else where
