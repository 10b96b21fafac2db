"""Pictures of a trained map, drawn with matplotlib.

matplotlib is an optional extra: ``pip install quorvel[plot]``.

Every function draws into the Axes (or, for the multi-panel picture, the
Figure) it is given, or into a new one, and returns the artists it drew;
saving and showing are left to the caller::

    import matplotlib.pyplot as plt
    from quorvel import SOM, plot

    som = SOM(12, 9).fit(X)
    cells = plot.umatrix(som)
    plot.labels(som, X, y, ax=cells.axes, kind="markers")
    cells.figure.savefig("umatrix.png")

Each node is drawn as a cell centred exactly where
:func:`quorvel.node_positions` puts it: hexagonal maps as touching hexagons
one unit wide (odd rows shifted right by half a cell, rows ``sqrt(3)/2``
apart), rectangular maps as unit squares. Row 0 is at the top, as in the
printed form of an array of shape ``(rows, columns)``. Every picture of
values carries a colour bar with a label.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from sklearn.utils.validation import check_is_fitted

try:
    import matplotlib as mpl
    from matplotlib import patheffects
    from matplotlib.collections import PolyCollection
    from matplotlib.ticker import MaxNLocator
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quorvel.plot needs matplotlib; install it with "
        "`pip install quorvel[plot]` or `pip install matplotlib`"
    ) from error

from . import node_positions

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PathCollection
    from matplotlib.figure import Figure, SubFigure
    from matplotlib.lines import Line2D
    from matplotlib.text import Text

    from ._som import SOM

__all__ = ["component_planes", "hits", "labels", "learning_curve", "umatrix"]

# A hexagon one unit wide across its flat sides, pointing up and down:
# rows of such hexagons sqrt(3)/2 apart, every other row shifted by half a
# unit, tile the plane.
_HEX_RADIUS = 1.0 / math.sqrt(3.0)
_HEXAGON = _HEX_RADIUS * np.array(
    [
        (math.cos(math.radians(a)), math.sin(math.radians(a)))
        for a in (30, 90, 150, 210, 270, 330)
    ]
)
_SQUARE = np.array([(0.5, 0.5), (-0.5, 0.5), (-0.5, -0.5), (0.5, -0.5)])

# Markers for the classes of ``labels(kind="markers")``, so that classes
# differ in shape as well as colour.
_MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*", "<", ">")


def _map_shape(som: SOM) -> tuple[int, int, str]:
    check_is_fitted(som, "codebook_")
    rows, columns = som.codebook_.shape[:2]
    return int(columns), int(rows), str(som.grid)


def _positions(som: SOM) -> np.ndarray:
    columns, rows, grid = _map_shape(som)
    return node_positions(columns, rows, grid)


def _cell_shape(grid: str) -> np.ndarray:
    return _HEXAGON if grid == "hexagonal" else _SQUARE


def _new_axes(som: SOM) -> Axes:
    import matplotlib.pyplot as plt

    columns, rows, grid = _map_shape(som)
    height = rows * (math.sqrt(3.0) / 2.0 if grid == "hexagonal" else 1.0)
    scale = min(0.45, 8.0 / max(columns, height))
    _, ax = plt.subplots(
        figsize=(columns * scale + 2.5, height * scale + 1.0), layout="constrained"
    )
    return ax


def _frame(ax: Axes, som: SOM) -> None:
    """Limits that show every cell whole, equal axes, row 0 at the top."""
    positions = _positions(som)
    shape = _cell_shape(_map_shape(som)[2])
    low = positions.min(axis=0) + shape.min(axis=0)
    high = positions.max(axis=0) + shape.max(axis=0)
    margin = 0.1
    ax.set_xlim(low[0] - margin, high[0] + margin)
    ax.set_ylim(high[1] + margin, low[1] - margin)
    ax.set_aspect("equal")
    ax.set_axis_off()


def _cells(
    ax: Axes,
    som: SOM,
    values: np.ndarray | None,
    *,
    cmap: Any = None,
    **kwargs: Any,
) -> PolyCollection:
    """Adds one cell per node, in node order, coloured by ``values``."""
    columns, rows, grid = _map_shape(som)
    positions = node_positions(columns, rows, grid)
    vertices = positions[:, None, :] + _cell_shape(grid)[None, :, :]
    if values is None:
        kwargs.setdefault("facecolors", "none")
        kwargs.setdefault("edgecolors", "0.75")
    else:
        kwargs.setdefault("edgecolors", "white")
        kwargs["array"] = np.asarray(values, dtype=np.float64).reshape(-1)
        kwargs["cmap"] = cmap
    kwargs.setdefault("linewidths", 0.5)
    collection = PolyCollection(vertices, closed=True, **kwargs)
    ax.add_collection(collection, autolim=False)
    _frame(ax, som)
    return collection


def _colorbar(ax: Axes, collection: PolyCollection, label: str) -> None:
    ax.figure.colorbar(collection, ax=ax, shrink=0.8, label=label)


def umatrix(
    som: SOM,
    *,
    ax: Axes | None = None,
    cmap: Any = "viridis",
    colorbar: bool = True,
    title: str | None = "U-matrix",
    **kwargs: Any,
) -> PolyCollection:
    """Draw the U-matrix: each node coloured by its mean distance to its
    grid neighbours (``som.umatrix_``). Light ridges separate clusters.

    Parameters
    ----------
    som : SOM
        A fitted map.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
        Colour map of the values.
    colorbar : bool, default=True
        Whether to add a labelled colour bar.
    title : str or None, default="U-matrix"
        Title of the Axes; None leaves the title alone.
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`, for
        instance ``norm``, ``edgecolors`` or ``linewidths``.

    Returns
    -------
    matplotlib.collections.PolyCollection
        The cells, one per node in node order; ``.axes`` and ``.figure``
        give where they were drawn, and ``.colorbar`` the colour bar.
    """
    if ax is None:
        ax = _new_axes(som)
    cells = _cells(ax, som, np.asarray(som.umatrix_), cmap=cmap, **kwargs)
    if colorbar:
        _colorbar(ax, cells, "mean distance to neighbouring nodes")
    if title is not None:
        ax.set_title(title)
    return cells


def _feature_names(som: SOM, feature_names: Sequence[str] | None) -> list[str]:
    n_features = som.codebook_.shape[2]
    if feature_names is None:
        feature_names = getattr(som, "feature_names_in_", None)
    if feature_names is None:
        return [f"feature {index}" for index in range(n_features)]
    names = [str(name) for name in feature_names]
    if len(names) != n_features:
        raise ValueError(
            f"feature_names has {len(names)} names but the map has "
            f"{n_features} features"
        )
    return names


def _chosen_features(
    features: Sequence[int | str] | None, names: list[str]
) -> list[int]:
    if features is None:
        return list(range(len(names)))
    if isinstance(features, (str, int, np.integer)):
        features = [features]
    chosen = []
    for feature in features:
        if isinstance(feature, str):
            if feature not in names:
                raise ValueError(
                    f"features: no feature named {feature!r}; the map's features "
                    f"are {', '.join(names)}"
                )
            chosen.append(names.index(feature))
        else:
            index = int(feature)
            if not 0 <= index < len(names):
                raise ValueError(
                    f"features: index {index} is out of range for a map of "
                    f"{len(names)} features"
                )
            chosen.append(index)
    if not chosen:
        raise ValueError("features: no feature chosen")
    return chosen


def component_planes(
    som: SOM,
    features: Sequence[int | str] | None = None,
    *,
    feature_names: Sequence[str] | None = None,
    figure: Figure | SubFigure | None = None,
    ncols: int | None = None,
    cmap: Any = "viridis",
    **kwargs: Any,
) -> list[PolyCollection]:
    """Draw one small map per feature: each node coloured by that component
    of its codebook vector.

    Parameters
    ----------
    som : SOM
        A fitted map.
    features : sequence of int or str, optional
        The features to draw, by index or by name; all of them by default.
    feature_names : sequence of str, optional
        A name for every feature of the map; by default
        ``som.feature_names_in_`` when the map was fitted on data with column
        names, else ``"feature 0"``, ``"feature 1"``, ...
    figure : matplotlib.figure.Figure or SubFigure, optional
        An empty figure to fill; a new one when not given.
    ncols : int, optional
        Planes per row of the figure; about the square root of their number
        by default.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
        Colour map of the values.
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`.

    Returns
    -------
    list of matplotlib.collections.PolyCollection
        The cells of each plane, in the order of ``features``; each plane's
        Axes is titled with its feature's name and has a colour bar.
    """
    _map_shape(som)
    names = _feature_names(som, feature_names)
    chosen = _chosen_features(features, names)
    count = len(chosen)
    if ncols is None:
        ncols = math.ceil(math.sqrt(count))
    ncols = max(1, min(int(ncols), count))
    nrows = math.ceil(count / ncols)
    if figure is None:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=(3.2 * ncols, 2.6 * nrows), layout="constrained")
    axes = figure.subplots(nrows, ncols, squeeze=False).ravel()
    for extra in axes[count:]:
        extra.remove()
    codebook = np.asarray(som.codebook_)
    planes = []
    for ax, feature in zip(axes, chosen):
        cells = _cells(ax, som, codebook[:, :, feature], cmap=cmap, **kwargs)
        _colorbar(ax, cells, "node value")
        ax.set_title(names[feature])
        planes.append(cells)
    return planes


def _node_counts(som: SOM, bmus: np.ndarray) -> np.ndarray:
    columns, rows, _ = _map_shape(som)
    return np.bincount(bmus, minlength=rows * columns)


def _bmus(som: SOM, X: Any) -> np.ndarray:
    if X is None:
        check_is_fitted(som, "labels_")
        return np.asarray(som.labels_, dtype=np.int64)
    return np.asarray(som.predict(X), dtype=np.int64)


def _readable_on(colour: np.ndarray) -> str:
    red, green, blue = colour[:3]
    return "black" if 0.299 * red + 0.587 * green + 0.114 * blue > 0.5 else "white"


def hits(
    som: SOM,
    X: Any = None,
    *,
    ax: Axes | None = None,
    cmap: Any = "Blues",
    annotate: bool = False,
    colorbar: bool = True,
    title: str | None = "Hits",
    **kwargs: Any,
) -> PolyCollection:
    """Draw the hit map: each node coloured by how many rows of ``X`` have it
    as their best-matching node.

    Parameters
    ----------
    som : SOM
        A fitted map.
    X : array-like of shape (n_samples, n_features), optional
        The rows to count; the training rows (``som.labels_``) by default.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    cmap : str or matplotlib.colors.Colormap, default="Blues"
        Colour map of the counts.
    annotate : bool, default=False
        Whether to write the count on every node that has rows.
    colorbar : bool, default=True
        Whether to add a labelled colour bar.
    title : str or None, default="Hits"
        Title of the Axes; None leaves the title alone.
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`.

    Returns
    -------
    matplotlib.collections.PolyCollection
        The cells, one per node in node order, their array the counts.
    """
    if ax is None:
        ax = _new_axes(som)
    counts = _node_counts(som, _bmus(som, X))
    # Grey edges keep the cells without rows, drawn white, apart.
    kwargs.setdefault("edgecolors", "0.8")
    cells = _cells(ax, som, counts, cmap=cmap, **kwargs)
    if colorbar:
        _colorbar(ax, cells, "rows per node")
    if annotate:
        cells.update_scalarmappable()
        colours = cells.get_facecolor()
        for node, (x, y) in enumerate(_positions(som)):
            if counts[node]:
                ax.text(
                    x,
                    y,
                    str(counts[node]),
                    ha="center",
                    va="center",
                    fontsize="x-small",
                    color=_readable_on(colours[node]),
                )
    if title is not None:
        ax.set_title(title)
    return cells


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
    bmus = _bmus(som, X)
    y = np.asarray(y)
    if y.ndim != 1 or len(y) != len(bmus):
        raise ValueError(
            f"y must hold one class per row of X: X has {len(bmus)} rows, y has "
            f"shape {y.shape}"
        )
    classes, codes = np.unique(y, return_inverse=True)
    codes = codes.reshape(-1)
    if colors is None:
        cycle = mpl.colormaps["tab10"].colors
        colors = [cycle[index % len(cycle)] for index in range(len(classes))]
    elif len(colors) < len(classes):
        raise ValueError(f"colors has {len(colors)} colours for {len(classes)} classes")
    if ax is None:
        ax = _new_axes(som)
    if not ax.collections:
        _cells(ax, som, None)
    positions = _positions(som)
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
        ax.legend(
            loc="upper center",
            bbox_to_anchor=(0.5, 0.0),
            ncol=min(len(classes), 5),
            fontsize="small",
            frameon=False,
        )
    return markers


def learning_curve(
    som: SOM,
    *,
    ax: Axes | None = None,
    sigma: bool = False,
    label: str | None = None,
    title: str | None = "Learning curve",
) -> list[Line2D]:
    """Draw the quantization error of the training data after each epoch
    (``som.history_["quantization_error"]``).

    Parameters
    ----------
    som : SOM
        A fitted map.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    sigma : bool, default=False
        Also draw the neighbourhood width of each epoch, dashed, against a
        second y axis on the right.
    label : str, optional
        Legend label of the error curve, for several maps on one Axes.
    title : str or None, default="Learning curve"
        Title of the Axes; None leaves the title alone.

    Returns
    -------
    list of matplotlib.lines.Line2D
        The error curve, then the width curve when ``sigma`` is true.
    """
    check_is_fitted(som, "history_")
    errors = np.asarray(som.history_["quantization_error"], dtype=np.float64)
    epochs = np.arange(1, len(errors) + 1)
    if ax is None:
        import matplotlib.pyplot as plt

        _, ax = plt.subplots(figsize=(6, 4), layout="constrained")
    (line,) = ax.plot(epochs, errors, marker=".", label=label)
    ax.set_xlabel("epoch")
    ax.set_ylabel("quantization error")
    ax.xaxis.set_major_locator(MaxNLocator(integer=True))
    if title is not None:
        ax.set_title(title)
    lines = [line]
    if sigma:
        widths = np.asarray(som.history_["sigma"], dtype=np.float64)
        width_axes = ax.twinx()
        (width_line,) = width_axes.plot(
            epochs, widths, linestyle="--", color="0.4", label="neighbourhood width"
        )
        width_axes.set_ylabel("neighbourhood width")
        lines.append(width_line)
    return lines
