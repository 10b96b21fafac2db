"""Component planes: one small map per feature, laid out so that every
title and colour bar can be read, from one plane to a hundred.

Each plane's colour bar lies under it, so the layout engine keeps it apart
from the titles of the next row and from the planes beside it; titles
shrink to fit their column. The grid of planes is the one that draws the
maps largest in the figure.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from . import _grid

if TYPE_CHECKING:
    from matplotlib.collections import PolyCollection
    from matplotlib.figure import Figure, SubFigure

    from .._som import SOM

# The colour bar spans this share of its plane's width, and is this many
# times longer than thick.
_BAR_SHRINK = 0.8
_BAR_ASPECT = 16.0
# Inches around each plane that the layout engine keeps free.
_PAD = 0.15
# Columns narrower than this many inches crowd titles and colour bars.
_NARROWEST = 1.3


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


def _font_sizes(count: int) -> tuple[float, float]:
    """Largest title size and the size of the colour bars' text, in points,
    for ``count`` planes in one figure."""
    if count <= 4:
        return _grid.font_points("large"), _grid.font_points("small")
    if count <= 16:
        return _grid.font_points("medium"), _grid.font_points("x-small")
    return _grid.font_points("small"), _grid.font_points("x-small")


def _decoration(count: int, column_width: float) -> float:
    """Inches of a plane's column taken by its title and its colour bar with
    tick labels and label, beside the map: the text, the bar, and the pads
    that matplotlib puts between them (about 27 points in all)."""
    title, text = _font_sizes(count)
    bar = _BAR_SHRINK * column_width / _BAR_ASPECT
    return (1.2 * title + 2.4 * text + 27.0) / 72.0 + bar


def _plane_grid(
    count: int, aspect: float, width: float, height: float
) -> tuple[int, float]:
    """The number of columns that draws ``count`` maps of width / height
    ``aspect`` largest in a figure of ``width`` x ``height`` inches, and
    the width of each map then."""
    best = (1, -math.inf)
    for ncols in range(1, count + 1):
        nrows = math.ceil(count / ncols)
        column = width / ncols
        room = height / nrows - _decoration(count, column)
        size = min(column - _PAD, room * aspect)
        if size > best[1]:
            best = (ncols, size)
    return best


def _shape_cost(ncols: int, count: int, column: float, panel: float) -> float:
    """How far ``ncols`` columns of planes ``column`` x ``panel`` inches are
    from a 4:3 figure, with the empty slots of the last row counted twice."""
    nrows = math.ceil(count / ncols)
    empty = (ncols * nrows - count) / (ncols * nrows)
    return abs(math.log(ncols * column / (nrows * panel) * 0.75)) + 2.0 * empty


def _new_figure(count: int, aspect: float, ncols: int | None) -> tuple[Figure, int]:
    """A figure for ``count`` planes, about 4:3 and at most about 16 inches
    wide, and its number of columns."""
    import matplotlib.pyplot as plt

    # The geometric mean of a map's drawn width and height, in inches.
    side = max(1.0, min(2.5, 10.0 / math.sqrt(count)))
    for _ in range(2):
        column = max(side * math.sqrt(aspect) + _PAD, _NARROWEST)
        panel = side / math.sqrt(aspect) + _decoration(count, column)
        if ncols is None:
            columns = min(range(1, count + 1), key=lambda c: _shape_cost(c, count, column, panel))
        else:
            columns = ncols
        if columns * column <= 16.0:
            break
        side *= 16.0 / (columns * column)
    figure = plt.figure(
        figsize=(columns * column, math.ceil(count / columns) * panel), layout="constrained"
    )
    return figure, columns


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
    of its codebook vector, with a colour bar under it.

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
        An empty figure to fill (a Figure without a layout engine gets
        matplotlib's constrained layout); a new one, sized for the planes,
        when not given.
    ncols : int, optional
        Planes per row of the figure; by default the count that draws the
        maps largest in the figure.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
        Colour map of the values.
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`.

    Returns
    -------
    list of matplotlib.collections.PolyCollection
        The cells of each plane, in the order of ``features``; each plane's
        Axes is titled with its feature's name (smaller where many planes
        share the figure, and shrunk to fit its column) and has a colour bar.
    """
    _grid.map_shape(som)
    names = _feature_names(som, feature_names)
    chosen = _chosen_features(features, names)
    count = len(chosen)
    map_width, map_height = _grid.extent(som)
    aspect = map_width / map_height
    if ncols is not None:
        ncols = max(1, min(int(ncols), count))
    if figure is None:
        figure, ncols = _new_figure(count, aspect, ncols)
    else:
        if hasattr(figure, "set_layout_engine") and figure.get_layout_engine() is None:
            figure.set_layout_engine("constrained")
        if ncols is None:
            size = figure.bbox.size / figure.dpi
            ncols, _ = _plane_grid(count, aspect, float(size[0]), float(size[1]))
    nrows = math.ceil(count / ncols)
    axes = figure.subplots(nrows, ncols, squeeze=False).ravel()
    for extra in axes[count:]:
        extra.remove()

    # Points of one column of planes, as the layout engine will leave them.
    column = figure.bbox.width * 72.0 / figure.dpi / ncols - 72.0 * _PAD
    title_size, text_size = _font_sizes(count)
    # A little shorter than planned: the layout's pads come off the column.
    bar_length = 0.9 * _BAR_SHRINK * column
    codebook = np.asarray(som.codebook_)
    planes = []
    for ax, feature in zip(axes, chosen):
        cells = _grid.cells(ax, som, codebook[:, :, feature], cmap=cmap, **kwargs)
        bar = figure.colorbar(
            cells, ax=ax, location="bottom", shrink=_BAR_SHRINK, aspect=_BAR_ASPECT,
            pad=0.02,
        )  # fmt: skip
        _grid.fit_ticks(bar.ax.xaxis, bar_length, text_size)
        bar.set_label("node value", size=text_size)
        name = names[feature]
        ax.set_title(name, fontsize=_grid.fitted_size([name], 0.95 * column, title_size))
        planes.append(cells)
    _grid.settle(figure)
    return planes
