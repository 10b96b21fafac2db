"""The pictures of the map itself: U-matrix, component planes, hits."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _grid

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PolyCollection
    from matplotlib.figure import Figure, SubFigure

    from .._som import SOM


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
        ax = _grid.new_axes(som)
    label = "mean distance to neighbouring nodes" if colorbar else None
    cells = _grid.value_cells(ax, som, som.umatrix_, label=label, cmap=cmap, **kwargs)
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
    _grid.map_shape(som)
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
        cells = _grid.cells(ax, som, codebook[:, :, feature], cmap=cmap, **kwargs)
        _grid.colorbar(ax, cells, "node value")
        ax.set_title(names[feature])
        planes.append(cells)
    return planes


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
        ax = _grid.new_axes(som)
    counts = _grid.node_counts(som, _grid.bmus(som, X))
    # Grey edges keep the cells without rows, drawn white, apart.
    kwargs.setdefault("edgecolors", "0.8")
    label = "rows per node" if colorbar else None
    cells = _grid.value_cells(ax, som, counts, label=label, cmap=cmap, **kwargs)
    if annotate:
        cells.update_scalarmappable()
        colours = cells.get_facecolor()
        for node, (x, y) in enumerate(_grid.positions(som)):
            if counts[node]:
                ax.text(
                    x,
                    y,
                    str(counts[node]),
                    ha="center",
                    va="center",
                    fontsize="x-small",
                    color=_grid.readable_on(colours[node]),
                )
    if title is not None:
        ax.set_title(title)
    return cells
