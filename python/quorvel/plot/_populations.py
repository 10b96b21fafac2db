"""Pictures of populations, as FlowSOM draws them: the node tree with a star
or a pie on every node, the map coloured by metacluster, and a heat map of
each metacluster's median per feature.

The node tree is the minimal spanning tree of the node vectors (Euclidean
distances), laid out by Kamada and Kawai's force-directed method (networkx,
with the ``plot`` extra) with every edge of one length: the tree's shape
shows the distances, and nodes do not pile up where the map is dense. The
layout starts from nodes on a circle, so it is the same on every run.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import matplotlib as mpl
import numpy as np
from matplotlib.collections import LineCollection, PatchCollection
from matplotlib.patches import Circle, Wedge
from scipy.sparse.csgraph import minimum_spanning_tree
from scipy.spatial.distance import cdist
from sklearn.utils.validation import check_is_fitted

from .._metaclusters import Metaclusters
from . import _grid
from ._planes import _feature_names

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PolyCollection
    from matplotlib.image import AxesImage

    from .._som import SOM

KINDS = ("stars", "pies")


@dataclass
class NodeTree:
    """What :func:`tree` drew.

    Attributes
    ----------
    positions : ndarray of shape (n_nodes, 2)
        Where each node is, in node order.
    edges : ndarray of shape (n_nodes - 1, 2), int64
        The tree's edges, node index pairs (smaller first), in increasing
        order.
    lines : LineCollection
        The edges as drawn.
    backgrounds : PatchCollection or None
        One disc per node in its metacluster's colour, a ring wider than the
        node (a Metaclusters only).
    glyphs : PatchCollection
        The wedges of the stars or pies, node by node.
    axes : Axes
    """

    positions: np.ndarray
    edges: np.ndarray
    lines: LineCollection
    backgrounds: PatchCollection | None
    glyphs: PatchCollection
    axes: Axes


def _networkx():
    try:
        import networkx
    except ImportError as error:
        raise ImportError(
            "The node tree is laid out by networkx: pip install \"quorvel[plot]\""
        ) from error
    return networkx


def tree_layout(vectors: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """The minimal spanning tree of ``vectors`` and its layout:
    ``(edges, positions)`` as in :class:`NodeTree`."""
    vectors = np.asarray(vectors, dtype=np.float64)
    n = len(vectors)
    distances = cdist(vectors, vectors)
    # SciPy reads a zero as no edge: equal vectors are joined at the
    # smallest positive length instead.
    distances[(distances == 0) & ~np.eye(n, dtype=bool)] = np.finfo(np.float64).tiny
    spanning = minimum_spanning_tree(distances).tocoo()
    edges = np.sort(np.column_stack([spanning.row, spanning.col]).astype(np.int64), axis=1)
    edges = edges[np.lexsort((edges[:, 1], edges[:, 0]))]
    if n == 1:
        return edges, np.zeros((1, 2))
    networkx = _networkx()
    graph = networkx.Graph()
    graph.add_nodes_from(range(n))
    graph.add_edges_from((int(a), int(b)) for a, b in edges)
    layout = networkx.kamada_kawai_layout(graph)
    return edges, np.array([layout[node] for node in range(n)], dtype=np.float64)


def group_colours(count: int, colors: Sequence[Any] | None = None) -> list[Any]:
    """A colour per metacluster: ``colors``, or tab10, tab20, then turbo for
    more than twenty."""
    if colors is not None:
        return _grid.class_colours(count, colors)
    if count <= 10:
        return _grid.class_colours(count)
    if count <= 20:
        return list(mpl.colormaps["tab20"].colors[:count])
    return [mpl.colormaps["turbo"](value) for value in np.linspace(0.05, 0.95, count)]


def _map_and_groups(model: Any) -> tuple[SOM, np.ndarray | None]:
    if isinstance(model, Metaclusters):
        check_is_fitted(model, "node_labels_")
        return model.som_, np.asarray(model.node_labels_)
    check_is_fitted(model, "codebook_")
    return model, None


def tree(
    model: Metaclusters | SOM,
    X: Any = None,
    y: Any = None,
    *,
    kind: str = "stars",
    ax: Axes | None = None,
    feature_names: Sequence[str] | None = None,
    colors: Sequence[Any] | None = None,
    max_size: float | None = None,
    legend: bool = True,
    title: str | None = "Node tree",
) -> NodeTree:
    """Draw the node tree: the minimal spanning tree of the node vectors,
    laid out by force, every node a star of its vector or a pie of the
    classes of its rows, sized by its row count, over a disc in its
    metacluster's colour.

    Parameters
    ----------
    model : Metaclusters or SOM
        Fitted; a map alone draws no metacluster discs.
    X : array-like of shape (n_samples, n_features), optional
        The rows whose counts size the nodes; the training rows by default.
    y : array-like of shape (n_samples,), optional
        With ``kind="pies"``, the class of each row of ``X`` (of each
        training row when ``X`` is not given), e.g. a manual gating.
    kind : {"stars", "pies"}, default="stars"
        A star: one wedge per feature, its radius the node's value of that
        feature scaled to [0, 1] over the nodes. A pie: the share of each
        class among the node's rows.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    feature_names : sequence of str, optional
        The stars' legend; the map's feature names by default.
    colors : sequence of colours, optional
        One per metacluster (the discs and their legend).
    max_size : float, optional
        Radius of the node with the most rows, in layout units; by default
        0.8 of the median edge length. Radii grow with the square root of
        the count (from 0.3 of the largest); a node without rows is a small
        empty circle.
    legend : bool, default=True
        A legend of the features or classes and the metaclusters, on the
        right.
    title : str or None, default="Node tree"

    Returns
    -------
    NodeTree
    """
    if kind not in KINDS:
        raise ValueError(f"kind must be one of {', '.join(KINDS)}; got {kind!r}")
    som, groups = _map_and_groups(model)
    nodes = _grid.bmus(som, X)
    counts = _grid.node_counts(som, nodes[nodes >= 0])
    vectors = som.codebook_.reshape(-1, som.codebook_.shape[-1]).astype(np.float64)
    edges, positions = tree_layout(vectors)
    if max_size is None:
        lengths = np.linalg.norm(positions[edges[:, 0]] - positions[edges[:, 1]], axis=1)
        max_size = 0.8 * float(np.median(lengths)) if len(lengths) else 0.5
    # Area grows with the count; a node of few rows stays visible.
    radii = max_size * np.maximum(0.3, np.sqrt(counts / max(1, counts.max())))
    empty = counts == 0
    radii[empty] = 0.2 * max_size
    low = positions.min(axis=0) - 1.3 * max_size
    high = positions.max(axis=0) + 1.3 * max_size
    if ax is None:
        import matplotlib.pyplot as plt

        # The tree's own aspect, and room for the legend on the right.
        width, height = high - low
        _, ax = plt.subplots(
            figsize=(8.0, float(np.clip(6.0 * height / width, 3.0, 9.0)) + 0.6),
            layout="constrained",
        )
    lines = LineCollection(positions[edges], colors="0.6", linewidths=1.0, zorder=1)
    ax.add_collection(lines)
    backgrounds = None
    if groups is not None:
        palette = group_colours(int(groups.max()) + 1, colors)
        backgrounds = PatchCollection(
            # A ring of the metacluster's colour around every node,
            # whatever its size.
            [Circle(p, r + 0.3 * max_size) for p, r in zip(positions, radii)],
            facecolors=[palette[g] for g in groups], alpha=0.4, linewidths=0, zorder=0,
        )  # fmt: skip
        ax.add_collection(backgrounds)
    if kind == "stars":
        names = _feature_names(som, feature_names)
        glyphs, handles = _stars(vectors, positions, radii, empty, names)
    else:
        glyphs, handles = _pies(nodes, y, positions, radii, empty, len(counts))
    ax.add_collection(glyphs)
    ax.set_xlim(low[0], high[0])
    ax.set_ylim(low[1], high[1])
    ax.set_aspect("equal")
    ax.set_axis_off()
    if legend:
        # One legend, which constrained layout makes room for.
        if groups is not None:
            names = [f"metacluster {g}" for g in range(len(palette))]
            handles += _grid.class_handles(names, palette, marker="o")
        ax.legend(
            handles=handles, loc="center left", bbox_to_anchor=(1.0, 0.5),
            fontsize="small", frameon=False,
        )  # fmt: skip
    if title is not None:
        ax.set_title(title)
    return NodeTree(positions, edges, lines, backgrounds, glyphs, ax)


def _stars(vectors, positions, radii, empty, names):
    """Wedges of every node's star, feature by feature from the right,
    counter-clockwise."""
    low, high = vectors.min(axis=0), vectors.max(axis=0)
    span = np.where(high > low, high - low, 1.0)
    scaled = (vectors - low) / span
    n_features = vectors.shape[1]
    palette = _feature_colours(n_features)
    step = 360.0 / n_features
    patches, faces = [], []
    for node, (centre, radius) in enumerate(zip(positions, radii)):
        patches.append(Circle(centre, radius))
        faces.append("white")
        if empty[node]:
            continue
        for j in range(n_features):
            patches.append(Wedge(centre, radius * scaled[node, j], j * step, (j + 1) * step))
            faces.append(palette[j])
    glyphs = PatchCollection(patches, facecolors=faces, edgecolors="0.3", linewidths=0.3, zorder=2)
    return glyphs, _grid.class_handles(names, palette, marker="s")


def _pies(nodes, y, positions, radii, empty, n_nodes):
    """Wedges of every node's pie, class by class from the top, clockwise."""
    if y is None:
        raise ValueError('kind="pies" needs y, the class of every row')
    y = np.asarray(y)
    if len(y) != len(nodes):
        raise ValueError(f"y has {len(y)} classes for {len(nodes)} rows")
    classes, codes = np.unique(y, return_inverse=True)
    keep = nodes >= 0
    table = np.zeros((n_nodes, len(classes)), dtype=np.int64)
    np.add.at(table, (nodes[keep], codes[keep]), 1)
    palette = group_colours(len(classes))
    patches, faces = [], []
    for node, (centre, radius) in enumerate(zip(positions, radii)):
        if empty[node]:
            patches.append(Circle(centre, radius))
            faces.append("white")
            continue
        angle = 90.0
        for code, share in enumerate(table[node] / table[node].sum()):
            if share > 0:
                patches.append(Wedge(centre, radius, angle - 360.0 * share, angle))
                faces.append(palette[code])
                angle -= 360.0 * share
    glyphs = PatchCollection(patches, facecolors=faces, edgecolors="0.3", linewidths=0.3, zorder=2)
    return glyphs, _grid.class_handles(classes, palette, marker="o")


def _feature_colours(count: int) -> list[Any]:
    if count <= 10:
        return _grid.class_colours(count)
    return [mpl.colormaps["turbo"](value) for value in np.linspace(0.05, 0.95, count)]


def metacluster_map(
    meta: Metaclusters,
    *,
    ax: Axes | None = None,
    colors: Sequence[Any] | None = None,
    legend: bool = True,
    title: str | None = "Metaclusters",
    **kwargs: Any,
) -> PolyCollection:
    """Draw the map's grid, every node in its metacluster's colour.

    Parameters
    ----------
    meta : Metaclusters
        Fitted.
    ax : matplotlib.axes.Axes, optional
    colors : sequence of colours, optional
        One per metacluster.
    legend : bool, default=True
    title : str or None, default="Metaclusters"
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`.

    Returns
    -------
    matplotlib.collections.PolyCollection
        The cells, one per node in node order.
    """
    som, groups = _map_and_groups(meta)
    if ax is None:
        ax = _grid.new_axes(som)
    count = int(groups.max()) + 1
    cells = _grid.class_cells(
        ax, som, groups, list(range(count)), colors=group_colours(count, colors),
        legend=legend, **kwargs,
    )  # fmt: skip
    if title is not None:
        ax.set_title(title)
    return cells


def metacluster_medians(
    meta: Metaclusters,
    X: Any,
    *,
    ax: Axes | None = None,
    feature_names: Sequence[str] | None = None,
    cmap: Any = "viridis",
    annotate: bool = True,
    title: str | None = "Median per metacluster",
) -> AxesImage:
    """Draw a heat map of the median of every feature over each
    metacluster's rows of ``X``.

    Parameters
    ----------
    meta : Metaclusters
        Fitted.
    X : array-like of shape (n_samples, n_features)
        The rows (cells), in memory.
    ax : matplotlib.axes.Axes, optional
    feature_names : sequence of str, optional
        The columns' names; the map's feature names by default.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
    annotate : bool, default=True
        Whether to write each median in its cell.
    title : str or None, default="Median per metacluster"

    Returns
    -------
    matplotlib.image.AxesImage
        Its array has one row per metacluster (NaN where none of ``X``'s
        rows falls) and one column per feature.
    """
    som, groups = _map_and_groups(meta)
    labels = np.asarray(meta.predict(X))
    values = np.asarray(X, dtype=np.float64)
    count = int(groups.max()) + 1
    medians = np.full((count, values.shape[1]), np.nan)
    for group in range(count):
        if np.any(labels == group):
            medians[group] = np.median(values[labels == group], axis=0)
    names = _feature_names(som, feature_names)
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(
            figsize=(1.0 + 0.7 * len(names), 1.2 + 0.4 * count), layout="constrained"
        )
    image = ax.imshow(medians, cmap=cmap, aspect="auto")
    ax.set_xticks(range(len(names)), names, rotation=45, ha="right")
    ax.set_yticks(range(count), [str(g) for g in range(count)])
    ax.set_ylabel("metacluster")
    ax.figure.colorbar(image, ax=ax, label="median")
    if annotate:
        for (group, feature), value in np.ndenumerate(medians):
            if math.isfinite(value):
                ax.text(
                    feature, group, f"{value:.2g}", ha="center", va="center",
                    fontsize="x-small", color=_grid.readable_on(image.to_rgba(value)),
                )  # fmt: skip
    if title is not None:
        ax.set_title(title)
    return image
