"""The one measure of map quality that the benchmark applies to every
system: quantization and topographic error in float64, from a system's
final codebook, its nodes' positions on its own grid and the data.

- Quantization error: mean Euclidean distance of each row to its nearest
  node.
- Topographic error: share of rows whose nearest and second-nearest nodes
  are not neighbours, neighbours being nodes within grid distance 1.5 of
  each other (on a toroid the shortest way round). A map of one node: 0.

Every system is judged by this code alone, never by its own error
functions, whose definitions differ (some count diagonal neighbours, some
do not).
"""

import math

import numpy as np

NEIGHBOUR_DISTANCE = 1.5
# Pairs of rows and nodes per block of the distance matrix.
BLOCK_PAIRS = 1 << 23


def grid_positions(columns, rows, grid):
    """Node positions, (rows * columns, 2), node k = y * columns + x: on a
    rectangular grid (x, y), on a hexagonal one odd rows shifted right by
    half a cell, (x + 0.5 (y mod 2), y sqrt(3) / 2). Ours and the grids of
    the peers that share this layout."""
    y, x = np.divmod(np.arange(columns * rows), columns)
    if grid == "rectangular":
        return np.column_stack([x, y]).astype(np.float64)
    return np.column_stack([x + 0.5 * (y % 2), y * math.sqrt(3) / 2])


def toroid_periods(columns, rows, grid):
    """The periods of a toroid's positions along x and y."""
    if grid == "rectangular":
        return (float(columns), float(rows))
    return (float(columns), rows * math.sqrt(3) / 2)


def _block(data, start, stop):
    """Rows [start, stop) in float64, CSR rows kept sparse: densifying wide
    rows would cost every feature of every row."""
    block = data[start:stop]
    if hasattr(block, "toarray"):
        return block.astype(np.float64).tocsr()
    return np.asarray(block, dtype=np.float64)


def errors(data, codebook, positions, periods=None):
    """(quantization error, topographic error) of a map on the data; the
    arguments as for measures."""
    qe, te, _ = measures(data, codebook, positions, periods)
    return qe, te


def measures(data, codebook, positions, periods=None):
    """(quantization error, topographic error, rows won by each node) of a
    map on the data.

    Parameters
    ----------
    data : array of shape (n, d), or a scipy.sparse matrix
    codebook : array of shape (nodes, d), any real dtype
    positions : array of shape (nodes, 2), each node's position on its grid
    periods : (px, py) or None
        The toroid's periods along x and y; None for a planar map.
    """
    codebook = np.asarray(codebook, dtype=np.float64).reshape(
        len(positions), -1)
    positions = np.asarray(positions, dtype=np.float64)
    nodes = len(codebook)
    squares = np.einsum("ij,ij->i", codebook, codebook)
    n = data.shape[0]
    step = max(1, BLOCK_PAIRS // max(1, nodes))
    total = 0.0
    misses = 0
    counts = np.zeros(nodes, dtype=np.int64)
    for start in range(0, n, step):
        x = _block(data, start, min(n, start + step))
        if hasattr(x, "multiply"):
            norms = np.asarray(x.multiply(x).sum(axis=1)).ravel()
        else:
            norms = np.einsum("ij,ij->i", x, x)
        d2 = norms[:, None] - 2.0 * np.asarray(x @ codebook.T)
        d2 += squares[None, :]
        np.maximum(d2, 0.0, out=d2)
        if nodes == 1:
            total += np.sqrt(d2[:, 0]).sum()
            counts[0] += len(x)
            continue
        two = np.argpartition(d2, 1, axis=1)[:, :2]
        rows = np.arange(x.shape[0])
        first, second = two[:, 0].copy(), two[:, 1].copy()
        swap = d2[rows, second] < d2[rows, first]
        first[swap], second[swap] = two[swap, 1], two[swap, 0]
        total += np.sqrt(d2[rows, first]).sum()
        counts += np.bincount(first, minlength=nodes)
        delta = np.abs(positions[first] - positions[second])
        if periods is not None:
            period = np.asarray(periods, dtype=np.float64)
            delta = np.minimum(delta, period - delta)
        apart = np.hypot(delta[:, 0], delta[:, 1]) > NEIGHBOUR_DISTANCE + 1e-9
        misses += int(apart.sum())
    return total / n, misses / n, counts
