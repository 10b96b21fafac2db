"""The U-matrix and the hit map."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from . import _grid

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.collections import PolyCollection

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
