"""The classes of rows shown on the map: a majority label per node, or a
marker per row."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from matplotlib import patheffects

from . import _grid

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PathCollection
    from matplotlib.text import Text

    from .._som import SOM

# Markers for the classes of ``labels(kind="markers")``, so that classes
# differ in shape as well as colour.
_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*", "<", ">")


def _sunflower(count: int, radius: float) -> np.ndarray:
    """``count`` points spread evenly over a disc (none off-centre for one)."""
    if count == 1:
        return np.zeros((1, 2))
    index = np.arange(count) + 0.5
    distance = radius * np.sqrt(index / count)
    angle = index * math.pi * (3.0 - math.sqrt(5.0))
    return np.column_stack([distance * np.cos(angle), distance * np.sin(angle)])


def labels(
    som: SOM,
    X: Any,
    y: Any,
    *,
    kind: str = "majority",
    ax: Axes | None = None,
    colors: Sequence[Any] | None = None,
    legend: bool = True,
    fontsize: Any = "small",
    markersize: float = 14.0,
) -> list[Text] | dict[Any, PathCollection]:
    """Show the classes ``y`` of the rows ``X`` on the map.

    Draws over what ``ax`` already shows (a U-matrix, say); on a new or empty
    Axes the cells are first drawn as outlines.

    Parameters
    ----------
    som : SOM
        A fitted map.
    X : array-like of shape (n_samples, n_features)
        The rows.
    y : array-like of shape (n_samples,)
        The class of each row: numbers or strings.
    kind : {"majority", "markers"}, default="majority"
        ``"majority"`` writes on every node that has rows the class most of
        them have (a tie goes to the class first in sorted order);
        ``"markers"`` draws a marker for every row on its best-matching
        node, rows sharing a node spread evenly over a disc of radius 0.35
        around its centre, one marker shape and colour per class.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    colors : sequence of colours, optional
        One colour per class in sorted order; matplotlib's ``tab10`` cycle
        by default.
    legend : bool, default=True
        Whether ``"markers"`` adds a legend of the classes.
    fontsize : float or str, default="small"
        Size of the ``"majority"`` labels.
    markersize : float, default=14.0
        Area of each marker of ``"markers"``, in points squared.

    Returns
    -------
    list of matplotlib.text.Text or dict
        ``"majority"``: the labels, one per node that has rows, in node
        order. ``"markers"``: each class mapped to the markers of its rows.
    """
    if kind not in ("majority", "markers"):
        raise ValueError(f"kind must be 'majority' or 'markers', got {kind!r}")
    bmus = _grid.bmus(som, X)
    y = np.asarray(y)
    if y.ndim != 1 or len(y) != len(bmus):
        raise ValueError(
            f"y must hold one class per row of X: X has {len(bmus)} rows, y has "
            f"shape {y.shape}"
        )
    classes, codes = np.unique(y, return_inverse=True)
    codes = codes.reshape(-1)
    colors = _grid.class_colours(len(classes), colors)
    if ax is None:
        ax = _grid.new_axes(som)
    if not ax.collections:
        _grid.cells(ax, som, None)
    positions = _grid.positions(som)
    node_count = len(positions)

    if kind == "majority":
        votes = np.zeros((node_count, len(classes)), dtype=np.int64)
        np.add.at(votes, (bmus, codes), 1)
        outline = [patheffects.withStroke(linewidth=2.0, foreground="white")]
        texts = []
        for node in np.flatnonzero(votes.sum(axis=1)):
            winner = int(np.argmax(votes[node]))
            x, y_position = positions[node]
            texts.append(
                ax.text(
                    x,
                    y_position,
                    str(classes[winner]),
                    ha="center",
                    va="center",
                    fontsize=fontsize,
                    fontweight="bold",
                    color=colors[winner],
                    path_effects=outline,
                )
            )
        return texts

    # Rows that share a node are spread over a disc around its centre, in
    # the order in which they come.
    spots = positions[bmus].copy()
    order = np.argsort(bmus, kind="stable")
    sorted_bmus = bmus[order]
    starts = np.flatnonzero(np.r_[True, sorted_bmus[1:] != sorted_bmus[:-1]])
    ends = np.r_[starts[1:], len(order)]
    for start, end in zip(starts, ends):
        spots[order[start:end]] += _sunflower(int(end - start), 0.35)
    markers = {}
    for code, name in enumerate(classes):
        chosen = codes == code
        markers[name.item() if hasattr(name, "item") else name] = ax.scatter(
            spots[chosen, 0],
            spots[chosen, 1],
            s=markersize,
            marker=_MARKERS[code % len(_MARKERS)],
            color=colors[code],
            edgecolors="black",
            linewidths=0.4,
            label=str(name),
            zorder=3,
        )
    if legend:
        _grid.legend_below(ax)
    return markers
