"""Where the nodes of a map sit, and which of them are neighbours.

Node ``k = y * columns + x`` (``x`` the column). On a rectangular grid node
``(x, y)`` sits at ``(x, y)``; on a hexagonal grid odd rows are shifted right
by half a cell, node ``(x, y)`` at ``(x + (y mod 2) / 2, y * sqrt(3) / 2)``,
so that every inner node has six neighbours at distance 1. Grid distances
are Euclidean between these positions, the shorter way round each axis on a
toroid; they are computed by the engine, exactly in double precision.
"""

from __future__ import annotations

import numpy as np

from . import _core
from ._params import GRIDS

#: Nodes within this grid distance of each other (and distinct) are
#: neighbours: 8 around an inner node of a rectangular grid, 6 of a
#: hexagonal one.
NEIGHBOUR_DISTANCE = 1.5


def node_positions(columns: int, rows: int, grid: str = "hexagonal") -> np.ndarray:
    """Positions of the nodes of a map in the plane.

    Parameters
    ----------
    columns, rows : int
        The map's size.
    grid : {"hexagonal", "rectangular"}
        The grid; on a hexagonal one odd rows are shifted right by half a
        cell and rows are ``sqrt(3) / 2`` apart.

    Returns
    -------
    positions : ndarray of shape (rows * columns, 2)
        ``(x, y)`` of node ``k = y * columns + x``.

    Examples
    --------
    >>> node_positions(2, 2, "hexagonal")[3]
    array([1.5      , 0.8660254])
    """
    if grid not in GRIDS:
        raise ValueError(f"grid must be one of {GRIDS}; got {grid!r}")
    y, x = np.divmod(np.arange(int(columns) * int(rows), dtype=np.float64), columns)
    if grid == "hexagonal":
        x = x + 0.5 * (y % 2)
        y = y * (np.sqrt(3.0) / 2.0)
    return np.column_stack([x, y])


def grid_distances_squared(
    columns: int, rows: int, grid: str, topology: str, a: np.ndarray, b: np.ndarray
) -> np.ndarray:
    """Squared grid distances between the nodes ``a[i]`` and ``b[i]``."""
    a = np.ascontiguousarray(a, dtype=np.int64)
    b = np.ascontiguousarray(b, dtype=np.int64)
    out = np.empty(a.shape, dtype=np.float64)
    _core.grid_distances_squared(columns, rows, grid, topology, a, b, out)
    return out


def are_neighbours(
    columns: int, rows: int, grid: str, topology: str, a: np.ndarray, b: np.ndarray
) -> np.ndarray:
    """Whether nodes ``a[i]`` and ``b[i]`` are distinct and within grid
    distance 1.5 of each other."""
    a = np.asarray(a, dtype=np.int64)
    b = np.asarray(b, dtype=np.int64)
    distances = grid_distances_squared(columns, rows, grid, topology, a, b)
    return (a != b) & (distances <= NEIGHBOUR_DISTANCE**2)
