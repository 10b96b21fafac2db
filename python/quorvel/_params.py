"""The map's parameters: one table of names, choices, defaults and rules.

The estimator validates its parameters through this table, and the command
line builds its ``train`` options from it, so the two cannot drift apart.
The free functions turn validated parameters into what training reads: the
map's layout, the width of every epoch and the engine's thread count.
"""

from __future__ import annotations

import math
from dataclasses import dataclass
from numbers import Integral, Real

import numpy as np
from sklearn.utils._param_validation import Interval, StrOptions

from . import _core

GRIDS = ("hexagonal", "rectangular")
TOPOLOGIES = ("planar", "toroid")
NEIGHBOURHOODS = ("gaussian", "bubble", "cut_gaussian")
COOLINGS = ("linear", "exponential")
INITS = ("pca", "random", "sample")
MISSING = ("error", "ignore")

# The engine numbers nodes with 32-bit signed integers.
MOST_NODES = 2**31 - 1


class _Count(Interval):
    """An integer interval that refuses bools: ``columns=True`` is no
    count."""

    def is_satisfied_by(self, val) -> bool:
        return not isinstance(val, (bool, np.bool_)) and super().is_satisfied_by(val)


@dataclass(frozen=True)
class Parameter:
    """One parameter of the map.

    ``constraints`` are scikit-learn's, checked by ``_fit_context``;
    ``option`` is the command line's help text (None: no option there);
    ``metavar`` names a numeric option's value.
    """

    name: str
    default: object
    constraints: list
    option: str | None = None
    metavar: str | None = None

    @property
    def choices(self) -> tuple[str, ...] | None:
        """The names a string parameter takes, in the table's order."""
        return _CHOICES.get(self.name)


_CHOICES = {
    "grid": GRIDS,
    "topology": TOPOLOGIES,
    "neighbourhood": NEIGHBOURHOODS,
    "cooling": COOLINGS,
    "init": INITS,
    "missing": MISSING,
}

_WIDTH = [Interval(Real, 0, None, closed="neither"), None]

#: The map's parameters in the order of ``SOM.__init__``.
PARAMETERS = (
    Parameter("columns", 10, [_Count(Integral, 1, None, closed="left")],
              "nodes per row of the map", "N"),
    Parameter("rows", 10, [_Count(Integral, 1, None, closed="left")],
              "rows of the map", "N"),
    Parameter("epochs", 20, [_Count(Integral, 0, None, closed="left")],
              "batch epochs (0 keeps the starting codebook)", "N"),
    Parameter("grid", "hexagonal", [StrOptions(set(GRIDS))],
              "hexagonal: odd rows shifted by half a cell, six neighbours"),
    Parameter("topology", "planar", [StrOptions(set(TOPOLOGIES))],
              "toroid: distances the shortest way round both axes"),
    Parameter("neighbourhood", "gaussian", [StrOptions(set(NEIGHBOURHOODS))],
              "the weight of a node around a row's BMU"),
    Parameter("sigma_start", None, _WIDTH,
              "neighbourhood width of the first epoch (default: a quarter of "
              "the map's shorter side, at least 1)", "WIDTH"),
    Parameter("sigma_end", None, _WIDTH,
              "neighbourhood width of the last epoch (default: 0.1, or the "
              "first width where that is smaller)", "WIDTH"),
    Parameter("cooling", None, [StrOptions(set(COOLINGS)), None],
              "how the width goes from the first to the last epoch "
              "(default: exponential to the default last width, linear to "
              "a given one)"),
    Parameter("init", "pca", [StrOptions(set(INITS)), "array-like"],
              "the starting codebook"),
    # scikit-learn's "random_state" spelled out, so that the command line
    # can read the range of seeds from it.
    Parameter("random_state", None, [
        Interval(Integral, 0, 2**32 - 1, closed="both"), np.random.RandomState, None,
    ], "seed of the random and sample starts", "SEED"),
    Parameter("n_jobs", None, [
        _Count(Integral, 1, None, closed="left"),
        _Count(Integral, None, -1, closed="right"),
        None,
    ], "threads (-1: all cores, -2: all but one)", "N"),
    Parameter("verbose", False, ["verbose"]),
    Parameter("missing", "error", [StrOptions(set(MISSING))],
              "error: refuse NaN; ignore: NaN marks a missing value"),
    Parameter("max_missing", 0.5, [Interval(Real, 0, 1, closed="both")],
              "with --missing ignore, rows missing a larger share of their "
              "values have no BMU", "SHARE"),
)

CONSTRAINTS = {parameter.name: parameter.constraints for parameter in PARAMETERS}


@dataclass(frozen=True)
class MapLayout:
    """The map as the engine sees it: ``columns`` x ``rows`` nodes (map
    rows, not rows of data) on a grid and a topology."""

    columns: int
    rows: int
    grid: str
    topology: str

    @property
    def n_nodes(self) -> int:
        return self.columns * self.rows


def store_parameters(estimator, arguments: dict) -> None:
    """Sets every argument of an estimator's ``__init__`` (its ``locals()``)
    as the attribute of its name, as scikit-learn's estimators keep their
    parameters, unvalidated until ``fit``."""
    for name, value in arguments.items():
        if name not in ("self", "__class__"):
            setattr(estimator, name, value)


def map_layout(columns: int, rows: int, grid: str, topology: str) -> MapLayout:
    """The layout of validated parameters; ValueError for the maps that the
    table alone cannot refuse."""
    if grid == "hexagonal" and topology == "toroid" and rows % 2:
        raise ValueError(
            f"A hexagonal toroid needs an even number of rows, so that the "
            f"half-cell shift of odd rows continues across the seam; got "
            f"rows={rows}."
        )
    if columns * rows > MOST_NODES:
        raise ValueError(
            f"The map has {columns * rows} nodes (columns={columns} x "
            f"rows={rows}); at most {MOST_NODES} are supported."
        )
    return MapLayout(int(columns), int(rows), grid, topology)


#: The last width of the default schedule. A neighbour's weight there,
#: exp(-1 / (2 * 0.1**2)) = exp(-50), is nil, so the last epochs of the
#: exponential fall move each node to the mean of its own rows, as k-means
#: does, from the order that the wider epochs made: on bench/panel.py's data
#: sets the quantization error then meets the peers', where the former
#: default (linear to 1 over 10 epochs) left it 5 % to 142 % above.
FINAL_WIDTH = 0.1


def default_sigma_start(columns: int, rows: int) -> float:
    """A quarter of the map's shorter side (of the longer one for a map of
    one row or column), at least 1: on the bench's workloads it gave a lower
    quantization error than half the longer side everywhere, and a lower
    topographic error on three of four."""
    side = min(columns, rows)
    if side == 1:
        side = max(columns, rows)
    return max(1.0, side / 4.0)


def default_sigma_end(sigma_start: float) -> float:
    """FINAL_WIDTH, or ``sigma_start`` where that is smaller."""
    return min(FINAL_WIDTH, sigma_start)


def default_cooling(sigma_end: float | None) -> str:
    """Exponential for the default schedule; linear where ``sigma_end`` is
    given, as it always was, so that a schedule whose ends were chosen
    keeps its widths."""
    return "exponential" if sigma_end is None else "linear"


def sigmas(
    columns: int, rows: int, epochs: int, sigma_start: float | None,
    sigma_end: float | None, cooling: str | None,
) -> np.ndarray:  # fmt: skip
    """The width of every epoch, float64: from ``sigma_start`` in the first
    to ``sigma_end`` in the last, ``s0 + (s1 - s0) * e / (E - 1)`` or
    ``s0 * (s1 / s0) ** (e / (E - 1))``; a single epoch takes ``s0``. None
    takes the defaults of the first and last width and of the cooling."""
    for name, value in (("sigma_start", sigma_start), ("sigma_end", sigma_end)):
        if value is not None and not math.isfinite(value):
            raise ValueError(
                f"The {name!r} parameter of SOM must be a finite positive "
                f"number or None. Got {value!r} instead."
            )
    start = default_sigma_start(columns, rows) if sigma_start is None else float(sigma_start)
    end = default_sigma_end(start) if sigma_end is None else float(sigma_end)
    if cooling is None:
        cooling = default_cooling(sigma_end)
    epochs = int(epochs)
    if epochs <= 1:
        return np.full(epochs, start)
    fraction = np.arange(epochs) / (epochs - 1)
    if cooling == "linear":
        return start + (end - start) * fraction
    return start * (end / start) ** fraction


def threads(n_jobs: int | None) -> int:
    """Engine threads of each call: all cores for None, ``n_jobs`` when
    positive, counted back from all cores when negative (-1: all)."""
    available = _core.max_threads()
    if n_jobs is None:
        return available
    n_jobs = int(n_jobs)
    if n_jobs == 0:
        raise ValueError(
            "The 'n_jobs' parameter of SOM must be None, a positive number "
            "of threads or a negative count from all cores (-1: all). "
            "Got 0 instead."
        )
    return n_jobs if n_jobs > 0 else max(1, available + 1 + n_jobs)
