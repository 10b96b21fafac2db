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

# Points below which a node's label is hard to read: shorter forms of the
# class names are written instead, explained in a legend.
_SMALLEST_LABEL = 6.0


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
        them have (a tie goes to the class first in sorted order), in the
        class's colour;
        ``"markers"`` draws a marker for every row on its best-matching
        node, rows sharing a node spread evenly over a disc of radius 0.35
        around its centre, one marker shape and colour per class.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    colors : sequence of colours, optional
        One colour per class in sorted order; matplotlib's ``tab10`` cycle
        by default.
    legend : bool, default=True
        Whether ``"markers"`` adds a legend of the classes, and
        ``"majority"`` one of the short forms it wrote.
    fontsize : float or str, default="small"
        Largest size of the ``"majority"`` labels. Each label is fitted
        inside its cell, as the figure is laid out when this is called;
        where the class names would be smaller than 6 points, every class
        is written by a short form instead (a prefix that no other class
        shares, else its number in sorted order), and the legend gives each
        form's class.
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
    # Rows without a node (missing values) are on no node's label.
    placed = bmus >= 0
    bmus, codes = bmus[placed], codes[placed]
    if ax is None:
        ax = _grid.new_axes(som)
    if not ax.collections:
        _grid.cells(ax, som, None)
    if kind == "majority":
        return _majority(ax, som, bmus, codes, classes, colors, legend, fontsize)
    return _markers(ax, som, bmus, codes, classes, colors, legend, markersize)


def _abbreviations(names: Sequence[str], length: int) -> list[str] | None:
    """The first ``length`` characters of every name (whole shorter names),
    or None where two classes would read the same."""
    short = [name[:length] for name in names]
    return short if len(set(short)) == len(short) else None


def _label_forms(names: Sequence[str]) -> list[list[str]]:
    """What each class may be written as on a node, longest first: its name,
    a prefix of at least three characters that no other class shares, the
    shortest such prefix, its number."""
    forms = [list(names)]
    longest = max((len(name) for name in names), default=0)
    unique = next(
        (k for k in range(1, longest + 1) if _abbreviations(names, k)), longest
    )
    for length in sorted({max(3, unique), unique}, reverse=True):
        short = _abbreviations(names, length)
        if short is not None and short != forms[-1] and length <= 4:
            forms.append(short)
    numbers = [str(number + 1) for number in range(len(names))]
    if len(numbers[-1]) < max(len(name) for name in forms[-1]):
        forms.append(numbers)
    return forms


def _majority(
    ax: Axes, som: SOM, bmus: np.ndarray, codes: np.ndarray, classes: np.ndarray,
    colors: list, legend: bool, fontsize: Any,
) -> list[Text]:  # fmt: skip
    """Each node's most frequent class, written to fit inside its cell."""
    positions = _grid.positions(som)
    votes = np.zeros((len(positions), len(classes)), dtype=np.int64)
    np.add.at(votes, (bmus, codes), 1)
    nodes = np.flatnonzero(votes.sum(axis=1))
    winners = np.argmax(votes[nodes], axis=1)
    names = [str(name) for name in classes]
    shown_classes = sorted(set(winners.tolist()))

    # The cell's size in points once the figure is laid out: a label fits
    # in most of the cell's width and in half the spacing of map rows, so
    # that labels of neighbouring nodes never meet.
    _grid.settle(ax.figure)
    to_display = ax.transData.transform([(0.0, 0.0), (1.0, 0.0)])
    cell = float(np.hypot(*(to_display[1] - to_display[0]))) * 72.0 / ax.figure.dpi
    tallest = 0.5 * _grid.row_spacing(_grid.map_shape(som)[2]) * cell / 1.2
    largest = min(_grid.font_points(fontsize), tallest)
    for form in _label_forms(names):
        size = _grid.fitted_size(
            [form[code] for code in shown_classes], 0.85 * cell, largest, "bold"
        )
        if size >= _SMALLEST_LABEL:
            break
    outline = [patheffects.withStroke(linewidth=max(1.0, size / 4), foreground="white")]
    texts = []
    for node, winner in zip(nodes, winners):
        x, y = positions[node]
        texts.append(
            ax.text(
                x, y, form[winner], ha="center", va="center", fontsize=size,
                fontweight="bold", color=colors[winner], path_effects=outline,
            )
        )  # fmt: skip
    if legend and form != names:
        entries = [f"{short}: {name}" for short, name in zip(form, names)]
        _grid.legend_below(ax, _grid.class_handles(entries, colors, marker="s"))
    return texts


def _markers(
    ax: Axes, som: SOM, bmus: np.ndarray, codes: np.ndarray, classes: np.ndarray,
    colors: list, legend: bool, markersize: float,
) -> dict[Any, PathCollection]:  # fmt: skip
    """A marker for every row on its node, one shape and colour per class."""
    positions = _grid.positions(som)
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
