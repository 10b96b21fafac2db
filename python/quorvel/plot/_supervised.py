"""The pictures of a supervised map: the map coloured by what each node
predicts, and the label layer's planes."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
from sklearn.utils.validation import check_is_fitted

from .._supervised import class_shares
from . import _grid

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PolyCollection
    from matplotlib.figure import Figure, SubFigure


def _label_layer(model: Any) -> tuple[np.ndarray, list[str], bool]:
    """The label layer as (nodes, columns), the columns' names, and whether
    the model is a classifier."""
    check_is_fitted(model, "label_codebook_")
    rows, columns = model.codebook_.shape[:2]
    values = np.asarray(model.label_codebook_, dtype=np.float64).reshape(rows * columns, -1)
    if hasattr(model, "classes_"):
        return values, [str(name) for name in model.classes_], True
    names = ["target"] if values.shape[1] == 1 else [f"output {i}" for i in range(values.shape[1])]
    return values, names, False


def prediction_map(
    model: Any,
    *,
    output: int = 0,
    ax: Axes | None = None,
    colors: Sequence[Any] | None = None,
    cmap: Any = "viridis",
    legend: bool = True,
    title: str | None = None,
    **kwargs: Any,
) -> PolyCollection:
    """Draw the map coloured by what each node predicts: the class of a
    :class:`~quorvel.SOMClassifier` (its ``predict`` for a row whose BMU is
    the node), the value of a :class:`~quorvel.SOMRegressor`.

    Parameters
    ----------
    model : SOMClassifier or SOMRegressor
        A fitted supervised map.
    output : int, default=0
        The output drawn, for a regressor of several outputs.
    ax : matplotlib.axes.Axes, optional
        Where to draw; a new figure when not given.
    colors : sequence of colours, optional
        One per class (a classifier); matplotlib's ``tab10`` by default.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
        Colour map of the values (a regressor).
    legend : bool, default=True
        A legend of the classes under the map, or a colour bar of the values.
    title : str or None, optional
        Title of the Axes; by default "Predicted class" or "Predicted
        value".
    **kwargs
        Passed on to :class:`matplotlib.collections.PolyCollection`.

    Returns
    -------
    matplotlib.collections.PolyCollection
        The cells, one per node in node order.
    """
    values, names, classifier = _label_layer(model)
    if ax is None:
        ax = _grid.new_axes(model)
    if classifier:
        codes = np.argmax(class_shares(values), axis=1)
        cells = _grid.class_cells(ax, model, codes, names, colors=colors, legend=legend, **kwargs)
        default = "Predicted class"
    else:
        if not 0 <= output < values.shape[1]:
            raise ValueError(f"output {output} is out of range for {values.shape[1]} outputs")
        label = f"predicted {names[output]}" if legend else None
        cells = _grid.value_cells(ax, model, values[:, output], label=label, cmap=cmap, **kwargs)
        default = "Predicted value"
    ax.set_title(default if title is None else title)
    return cells


def label_planes(
    model: Any,
    *,
    figure: Figure | SubFigure | None = None,
    ncols: int | None = None,
    cmap: Any = "viridis",
    **kwargs: Any,
) -> list[PolyCollection]:
    """Draw one small map per column of the label layer: each node coloured
    by a class's share (a classifier, as ``predict_proba`` gives it) or by
    an output's value (a regressor, ``label_codebook_``).

    Parameters
    ----------
    model : SOMClassifier or SOMRegressor
        A fitted supervised map.
    figure : matplotlib.figure.Figure or SubFigure, optional
        An empty figure to fill; a new one when not given.
    ncols : int, optional
        Planes per row of the figure; about the square root of their number
        by default.
    cmap : str or matplotlib.colors.Colormap, default="viridis"
        Colour map of the label layer's values (class shares or outputs).
    **kwargs
        Keyword arguments of the cells' PolyCollection.

    Returns
    -------
    list of matplotlib.collections.PolyCollection
        One plane per class or output, each titled with its class or output
        and with a colour bar.
    """
    values, names, classifier = _label_layer(model)
    if classifier:
        values = class_shares(values)
    count = len(names)
    ncols = max(1, min(int(ncols or math.ceil(math.sqrt(count))), count))
    nrows = math.ceil(count / ncols)
    if figure is None:
        import matplotlib.pyplot as plt

        figure = plt.figure(figsize=(3.2 * ncols, 2.6 * nrows), layout="constrained")
    axes = figure.subplots(nrows, ncols, squeeze=False).ravel()
    for extra in axes[count:]:
        extra.remove()
    label = "class share" if classifier else "node value"
    planes = []
    for column, (ax, name) in enumerate(zip(axes, names)):
        cells = _grid.value_cells(ax, model, values[:, column], label=label, cmap=cmap, **kwargs)
        ax.set_title(name)
        planes.append(cells)
    return planes
