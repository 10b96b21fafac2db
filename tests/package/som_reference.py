"""A slow, plain float64 reference of the batch map, for the package tests.

Written from the documented definitions alone, without calling the package:
node positions and grid distances, the neighbourhood functions, the width
schedule, one batch epoch, the U-matrix and the two errors. Everything is
float64 and done the obvious way (explicit loops over nodes where the order
of a sum could otherwise depend on a BLAS kernel), so that nodes whose
weights are equal get equal vectors here.
"""

from __future__ import annotations

import math

import numpy as np

# Nodes within this grid distance of each other (and distinct) are
# neighbours.
NEIGHBOUR_DISTANCE = 1.5


def node_xy(columns: int, rows: int) -> tuple[np.ndarray, np.ndarray]:
    """Column x and row y of node k = y * columns + x, as integers."""
    k = np.arange(columns * rows)
    return k % columns, k // columns


def positions(columns: int, rows: int, grid: str) -> np.ndarray:
    """(x, y) of every node: (x, y) on a rectangular grid; odd rows shifted
    right by half a cell and rows sqrt(3)/2 apart on a hexagonal one."""
    x, y = node_xy(columns, rows)
    if grid == "rectangular":
        return np.column_stack([x, y]).astype(np.float64)
    if grid == "hexagonal":
        return np.column_stack([x + 0.5 * (y % 2), y * math.sqrt(3.0) / 2.0])
    raise ValueError(grid)


def grid_distances_squared(columns: int, rows: int, grid: str, topology: str) -> np.ndarray:
    """Squared grid distance between every two nodes, (nodes, nodes).

    Computed exactly: x offsets are whole or half cells, and the vertical
    offset is a whole number of rows, whose squared length is 1 per row on a
    rectangular grid and 3/4 on a hexagonal one. On a toroid each offset goes
    the shorter way round (period ``columns`` in x, ``rows`` rows in y)."""
    if topology not in ("planar", "toroid"):
        raise ValueError(topology)
    if grid not in ("rectangular", "hexagonal"):
        raise ValueError(grid)
    x, y = node_xy(columns, rows)
    px = x + (0.5 * (y % 2) if grid == "hexagonal" else 0.0)
    dx = np.abs(px[:, None] - px[None, :])
    dy = np.abs(y[:, None] - y[None, :]).astype(np.float64)
    if topology == "toroid":
        dx = np.minimum(dx, columns - dx)
        dy = np.minimum(dy, rows - dy)
    row_step_squared = 0.75 if grid == "hexagonal" else 1.0
    return dx * dx + dy * dy * row_step_squared


def grid_distances(columns: int, rows: int, grid: str, topology: str) -> np.ndarray:
    return np.sqrt(grid_distances_squared(columns, rows, grid, topology))


def neighbour_matrix(columns: int, rows: int, grid: str, topology: str) -> np.ndarray:
    """Boolean (nodes, nodes): distinct nodes within grid distance 1.5."""
    d2 = grid_distances_squared(columns, rows, grid, topology)
    n = columns * rows
    return (d2 <= NEIGHBOUR_DISTANCE**2) & ~np.eye(n, dtype=bool)


def neighbourhood(distance_squared: np.ndarray, sigma: float, kind: str) -> np.ndarray:
    """h(d) at width sigma, from squared distances."""
    d2 = np.asarray(distance_squared, dtype=np.float64)
    gaussian = np.exp(-d2 / (2.0 * sigma * sigma))
    inside = np.sqrt(d2) <= sigma
    if kind == "gaussian":
        return gaussian
    if kind == "bubble":
        return inside.astype(np.float64)
    if kind == "cut_gaussian":
        return np.where(inside, gaussian, 0.0)
    raise ValueError(kind)


def sigmas(start: float, end: float, epochs: int, cooling: str) -> np.ndarray:
    """The width of every epoch e = 0 .. epochs - 1."""
    if epochs == 1:
        return np.array([float(start)])
    out = []
    for e in range(epochs):
        t = e / (epochs - 1)
        if cooling == "linear":
            out.append(start + (end - start) * t)
        elif cooling == "exponential":
            out.append(start * (end / start) ** t)
        else:
            raise ValueError(cooling)
    return np.array(out, dtype=np.float64)


def squared_distances(X: np.ndarray, codebook: np.ndarray) -> np.ndarray:
    """(rows of X, nodes) squared Euclidean distances in float64."""
    X = np.asarray(X, dtype=np.float64)
    W = np.asarray(codebook, dtype=np.float64).reshape(-1, X.shape[1])
    out = np.empty((X.shape[0], W.shape[0]))
    for k in range(W.shape[0]):
        out[:, k] = np.sum((X - W[k]) ** 2, axis=1)
    return out


# Squared distances within this relative gap of each other count as equal:
# float64 rounding leaves such gaps between nodes whose vectors are equal in
# exact arithmetic (the same weights summed in another order), and those tie,
# going to the lowest index, in any arithmetic that rounds them alike.
TIE = 1e-12


def ranked_nodes(X: np.ndarray, codebook: np.ndarray, count: int) -> np.ndarray:
    """The ``count`` best nodes of every row in order, (rows, count); equal
    squared distances (within TIE) go to the lowest index first."""
    d2 = squared_distances(X, codebook)
    out = np.empty((d2.shape[0], count), dtype=np.int64)
    for i, row in enumerate(d2):
        left = np.ones(row.size, dtype=bool)
        for rank in range(count):
            least = row[left].min()
            tied = left & (row <= least + TIE * abs(least))
            node = int(np.flatnonzero(tied)[0])
            out[i, rank] = node
            left[node] = False
    return out


def bmus(X: np.ndarray, codebook: np.ndarray) -> np.ndarray:
    """Best node of every row; ties to the lowest index."""
    return ranked_nodes(X, codebook, 1)[:, 0]


def best_two(X: np.ndarray, codebook: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Best and second-best node of every row, ties to the lowest index."""
    ranked = ranked_nodes(X, codebook, 2)
    return ranked[:, 0], ranked[:, 1]


def bmu_margin(X: np.ndarray, codebook: np.ndarray, places: int = 2) -> float:
    """The smallest relative gap, over the rows, between the squared
    distances of consecutive ranks among the best ``places + 1`` nodes. Only
    nodes with the very same vector may tie (within TIE), as they do in any
    arithmetic; a tie of nodes whose vectors differ (equal only in exact
    arithmetic) counts as no gap, since rounding to float32 may part them
    either way. A test whose decisions should be the same under float32
    distances needs this well above float32's precision."""
    W = np.asarray(codebook, dtype=np.float64).reshape(-1, np.shape(X)[1])
    d2 = squared_distances(X, W)
    if d2.shape[1] < 2:
        return math.inf
    order = np.argsort(d2, axis=1, kind="stable")[:, : places + 1]
    margin = math.inf
    for row, nodes in zip(d2, order):
        for a, b in zip(nodes[:-1], nodes[1:]):
            gap = (row[b] - row[a]) / max(row[b], 1e-300)
            if gap <= TIE:
                if W[a].tobytes() != W[b].tobytes():
                    return 0.0
                continue
            margin = min(margin, gap)
    return margin


def epoch(
    X: np.ndarray, codebook: np.ndarray, columns: int, rows: int, grid: str,
    topology: str, kind: str, sigma: float,
) -> np.ndarray:  # fmt: skip
    """One batch epoch: every row's BMU under the starting codebook, then
    every node the h-weighted mean of all rows; a node of total weight 0
    keeps its vector. Returns (nodes, features) float64."""
    X = np.asarray(X, dtype=np.float64)
    W = np.asarray(codebook, dtype=np.float64).reshape(columns * rows, X.shape[1])
    best = bmus(X, W)
    h = neighbourhood(grid_distances_squared(columns, rows, grid, topology), sigma, kind)
    new = W.copy()
    for node in range(W.shape[0]):
        weights = h[node, best]
        total = weights.sum()
        if total > 0:
            new[node] = (weights[:, None] * X).sum(axis=0) / total
    return new


def train(
    X: np.ndarray, init: np.ndarray, columns: int, rows: int, grid: str,
    topology: str, kind: str, widths,
) -> list[np.ndarray]:  # fmt: skip
    """The codebooks after every epoch, one width per epoch."""
    W = np.asarray(init, dtype=np.float64).reshape(columns * rows, -1)
    out = []
    for sigma in widths:
        W = epoch(X, W, columns, rows, grid, topology, kind, float(sigma))
        out.append(W)
    return out


def umatrix(codebook: np.ndarray, columns: int, rows: int, grid: str, topology: str) -> np.ndarray:
    """Mean distance from each node's vector to its neighbours' vectors,
    each distinct neighbour once; 0 without neighbours. (rows, columns)."""
    W = np.asarray(codebook, dtype=np.float64).reshape(columns * rows, -1)
    near = neighbour_matrix(columns, rows, grid, topology)
    out = np.zeros(columns * rows)
    for node in range(W.shape[0]):
        others = np.flatnonzero(near[node])
        if others.size:
            out[node] = np.mean(np.sqrt(np.sum((W[others] - W[node]) ** 2, axis=1)))
    return out.reshape(rows, columns)


def quantization_error(X: np.ndarray, codebook: np.ndarray) -> float:
    """Mean Euclidean distance of each row to its BMU's vector."""
    return float(np.mean(np.sqrt(np.min(squared_distances(X, codebook), axis=1))))


def topographic_error(
    X: np.ndarray, codebook: np.ndarray, columns: int, rows: int, grid: str, topology: str
) -> float:
    """Share of rows whose best and second-best nodes are not neighbours;
    0 on a map of one node."""
    if columns * rows == 1:
        return 0.0
    best, second = best_two(X, codebook)
    near = neighbour_matrix(columns, rows, grid, topology)
    return float(np.mean(~near[best, second]))


# ----------------------------------------------------------------------
# Data and comparisons shared by the package tests.


def clustered_data(n_rows: int, n_features: int, n_clusters: int, seed: int,
                   spread: float = 10.0, noise: float = 0.3) -> np.ndarray:  # fmt: skip
    """Rows around well separated random centres, float32: BMU decisions
    then have wide margins, so float32 and float64 distances agree."""
    rng = np.random.default_rng(seed)
    centres = rng.normal(scale=spread, size=(n_clusters, n_features))
    labels = rng.integers(0, n_clusters, size=n_rows)
    X = centres[labels] + rng.normal(scale=noise, size=(n_rows, n_features))
    return X.astype(np.float32)


def random_init(n_nodes: int, X: np.ndarray, seed: int) -> np.ndarray:
    """An initial codebook of distinct vectors around the data, float32."""
    rng = np.random.default_rng(seed)
    X = np.asarray(X, dtype=np.float64)
    scale = X.std(axis=0) + 1.0
    return (X.mean(axis=0) + rng.normal(size=(n_nodes, X.shape[1])) * scale).astype(np.float32)


def fitted_state(estimator) -> dict:
    """Copies of every fitted attribute (public, ending in an underscore)."""
    import copy

    return {
        key: copy.deepcopy(value)
        for key, value in vars(estimator).items()
        if key.endswith("_") and not key.startswith("_")
    }


def assert_same_bits(a, b, where: str = "") -> None:
    """a and b are equal bit for bit: arrays in dtype, shape and bytes,
    floats in their bit pattern, dicts key by key."""
    if isinstance(a, dict):
        assert isinstance(b, dict), where
        assert sorted(a) == sorted(b), where
        for key in a:
            assert_same_bits(a[key], b[key], f"{where}[{key!r}]")
    elif isinstance(a, np.ndarray):
        assert isinstance(b, np.ndarray), where
        assert (a.dtype, a.shape) == (b.dtype, b.shape), where
        if a.dtype == object:
            assert a.tolist() == b.tolist(), where
        else:
            assert np.ascontiguousarray(a).tobytes() == np.ascontiguousarray(b).tobytes(), where
    elif isinstance(a, float):
        assert isinstance(b, float), where
        assert np.float64(a).tobytes() == np.float64(b).tobytes(), (where, a, b)
    else:
        assert type(a) is type(b) and a == b, (where, a, b)


def assert_same_state(estimator, state: dict) -> None:
    """The estimator's fitted attributes are exactly those of ``state``."""
    assert_same_bits(fitted_state(estimator), state, "fitted state")
