"""The drawing every picture of a map shares: where the cells lie, the cells
themselves coloured by any per-node array, the frame, colour bars, legends
and text on the nodes.

Each node is a cell centred exactly where :func:`quorvel.node_positions`
puts it: a hexagon one unit wide across its flat sides (pointing up and
down) on a hexagonal grid, a unit square on a rectangular one. Row 0 is at
the top. The functions take a fitted map (anything with ``codebook_`` of
shape ``(rows, columns, n_features)`` and ``grid``) and an Axes.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import matplotlib as mpl
import numpy as np
from matplotlib.collections import PolyCollection
from matplotlib.font_manager import FontProperties
from matplotlib.lines import Line2D
from matplotlib.textpath import TextToPath
from matplotlib.ticker import FixedLocator, Formatter, MaxNLocator
from sklearn.utils.validation import check_is_fitted

from .._geometry import node_positions

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.legend import Legend

# Rows of hexagons one unit wide, sqrt(3)/2 apart with every other row
# shifted by half a unit, tile the plane.
_HEX_RADIUS = 1.0 / math.sqrt(3.0)
HEXAGON = _HEX_RADIUS * np.array(
    [
        (math.cos(math.radians(a)), math.sin(math.radians(a)))
        for a in (30, 90, 150, 210, 270, 330)
    ]
)
SQUARE = np.array([(0.5, 0.5), (-0.5, 0.5), (-0.5, -0.5), (0.5, -0.5)])

# Measures text without a renderer: widths are known before drawing.
_TEXT_TO_PATH = TextToPath()

#: Grey of the cells of nodes without a value (no rows, no class).
EMPTY_COLOUR = "0.92"


def map_shape(som: Any) -> tuple[int, int, str]:
    """``(columns, rows, grid)`` of a fitted map."""
    check_is_fitted(som, "codebook_")
    rows, columns = som.codebook_.shape[:2]
    return int(columns), int(rows), str(som.grid)


def positions(som: Any) -> np.ndarray:
    """``(x, y)`` of every node's centre, in node order."""
    return node_positions(*map_shape(som))


def cell_shape(grid: str) -> np.ndarray:
    """Corners of the cell around a node at the origin."""
    return HEXAGON if grid == "hexagonal" else SQUARE


def row_spacing(grid: str) -> float:
    """Distance between the centres of two neighbouring map rows."""
    return math.sqrt(3.0) / 2.0 if grid == "hexagonal" else 1.0


def new_axes(som: Any) -> Axes:
    """An Axes in a new figure sized for the map and a colour bar."""
    import matplotlib.pyplot as plt

    columns, rows, grid = map_shape(som)
    height = rows * row_spacing(grid)
    scale = min(0.45, 8.0 / max(columns, height))
    _, ax = plt.subplots(
        figsize=(columns * scale + 2.5, height * scale + 1.0), layout="constrained"
    )
    return ax


def _limits(som: Any) -> tuple[np.ndarray, np.ndarray]:
    """The corners of the framed map, a margin around every cell."""
    centres = positions(som)
    shape = cell_shape(map_shape(som)[2])
    margin = 0.1
    low = centres.min(axis=0) + shape.min(axis=0) - margin
    high = centres.max(axis=0) + shape.max(axis=0) + margin
    return low, high


def extent(som: Any) -> tuple[float, float]:
    """Width and height of the framed map, in cell widths."""
    low, high = _limits(som)
    return float(high[0] - low[0]), float(high[1] - low[1])


def frame(ax: Axes, som: Any) -> None:
    """Limits that show every cell whole, equal axes, row 0 at the top."""
    low, high = _limits(som)
    ax.set_xlim(low[0], high[0])
    ax.set_ylim(high[1], low[1])
    ax.set_aspect("equal")
    ax.set_axis_off()


def node_array(som: Any, values: Any, name: str = "values") -> np.ndarray:
    """``values`` as one entry per node in node order; a ``(rows, columns)``
    array is taken row by row."""
    columns, rows, _ = map_shape(som)
    array = np.asarray(values)
    if array.size != columns * rows or array.shape not in (
        (rows * columns,),
        (rows, columns),
    ):
        raise ValueError(
            f"{name} must hold one value per node, of shape ({rows * columns},) or "
            f"({rows}, {columns}); got shape {array.shape}"
        )
    return array.reshape(-1)


def cells(
    ax: Axes,
    som: Any,
    values: Any = None,
    *,
    cmap: Any = None,
    **kwargs: Any,
) -> PolyCollection:
    """Add one cell per node, in node order, and frame the map.

    ``values`` (one number per node; NaN draws no colour) colour the cells
    through ``cmap``; without them the cells are grey outlines, unless
    ``facecolors`` is passed. ``kwargs`` go to PolyCollection.
    """
    columns, rows, grid = map_shape(som)
    centres = node_positions(columns, rows, grid)
    vertices = centres[:, None, :] + cell_shape(grid)[None, :, :]
    if values is None:
        kwargs.setdefault("facecolors", "none")
        kwargs.setdefault("edgecolors", "0.75")
    else:
        kwargs.setdefault("edgecolors", "white")
        kwargs["array"] = node_array(som, values).astype(np.float64)
        kwargs["cmap"] = cmap
    kwargs.setdefault("linewidths", 0.5)
    collection = PolyCollection(vertices, closed=True, **kwargs)
    # The frame holds every cell, so the layout engine need not measure them.
    collection.set_in_layout(False)
    ax.add_collection(collection, autolim=False)
    frame(ax, som)
    return collection


def settle(figure: Any) -> None:
    """Lay out ``figure`` (or the figure a SubFigure is part of) once now.

    Constrained layout places fixed-aspect Axes and their colour bars from
    the previous layout, so a figure's first layout leaves titles short of
    room; after this one, the first drawing is right.
    """
    figure.figure.draw_without_rendering()


def colorbar(ax: Axes, collection: PolyCollection, label: str) -> None:
    """A labelled colour bar beside ``ax``, kept as ``collection.colorbar``."""
    ax.figure.colorbar(collection, ax=ax, shrink=0.8, label=label)


def value_cells(
    ax: Axes,
    som: Any,
    values: Any,
    *,
    label: str | None,
    cmap: Any = "viridis",
    **kwargs: Any,
) -> PolyCollection:
    """Cells coloured by one number per node, with a colour bar labelled
    ``label`` (none when ``label`` is None)."""
    collection = cells(ax, som, values, cmap=cmap, **kwargs)
    if label is not None:
        colorbar(ax, collection, label)
    return collection


def class_colours(count: int, colors: Sequence[Any] | None = None) -> list[Any]:
    """One colour per class: ``colors`` checked, or matplotlib's ``tab10``
    cycle."""
    if colors is None:
        cycle = mpl.colormaps["tab10"].colors
        return [cycle[index % len(cycle)] for index in range(count)]
    if len(colors) < count:
        raise ValueError(f"colors has {len(colors)} colours for {count} classes")
    return list(colors[:count])


def legend_below(
    ax: Axes, handles: Sequence[Any] | None = None, *, columns: int = 5
) -> Legend:
    """A frameless legend under the map, at most ``columns`` entries a row."""
    if handles is None:
        handles, _ = ax.get_legend_handles_labels()
    return ax.legend(
        handles=list(handles),
        loc="upper center",
        bbox_to_anchor=(0.5, 0.0),
        ncol=max(1, min(len(handles), columns)),
        fontsize="small",
        frameon=False,
    )


def class_cells(
    ax: Axes,
    som: Any,
    codes: Any,
    names: Sequence[Any],
    *,
    colors: Sequence[Any] | None = None,
    legend: bool = True,
    **kwargs: Any,
) -> PolyCollection:
    """Cells coloured by one class per node: ``codes[k]`` indexes ``names``
    (and ``colors``), -1 leaves node ``k`` grey. A legend of the classes goes
    under the map when ``legend`` is true."""
    codes = node_array(som, codes, "codes").astype(np.int64)
    if codes.size and not (-1 <= codes.min() and codes.max() < len(names)):
        raise ValueError(f"codes must lie in -1..{len(names) - 1}")
    palette = class_colours(len(names), colors)
    faces = [palette[code] if code >= 0 else EMPTY_COLOUR for code in codes]
    kwargs.setdefault("edgecolors", "white")
    collection = cells(ax, som, None, facecolors=faces, **kwargs)
    if legend:
        legend_below(ax, class_handles(names, palette, marker="s"))
    return collection


def class_handles(
    names: Sequence[Any], colours: Sequence[Any], *, marker: str = "s"
) -> list[Line2D]:
    """Legend entries, one marker of its colour per class."""
    return [
        Line2D([], [], linestyle="none", marker=marker, markersize=8, color=colour,
               label=str(name))
        for name, colour in zip(names, colours)
    ]  # fmt: skip


def readable_on(colour: Any) -> str:
    """Black or white, whichever reads better on ``colour``."""
    red, green, blue = mpl.colors.to_rgb(colour)
    return "black" if 0.299 * red + 0.587 * green + 0.114 * blue > 0.5 else "white"


def bmus(som: Any, X: Any = None) -> np.ndarray:
    """The node of every row of ``X`` (-1: none), of the training rows
    (``som.labels_``) when ``X`` is None. A supervised map's ``predict``
    gives classes or values: its nodes come from ``apply``."""
    if X is None:
        check_is_fitted(som, "labels_")
        return np.asarray(som.labels_, dtype=np.int64)
    nodes = som.apply(X) if hasattr(som, "apply") else som.predict(X)
    return np.asarray(nodes, dtype=np.int64)


def node_counts(som: Any, nodes: np.ndarray) -> np.ndarray:
    """How many of ``nodes`` are each node (-1, no node, is none)."""
    columns, rows, _ = map_shape(som)
    return np.bincount(nodes[nodes >= 0], minlength=rows * columns)


def text_width(text: str, size: float, weight: Any = "normal") -> float:
    """Width in points of ``text`` set at ``size`` points, from the font's
    own metrics, so that no renderer is needed."""
    if not text:
        return 0.0
    prop = FontProperties(size=size, weight=weight)
    width, _, _ = _TEXT_TO_PATH.get_text_width_height_descent(text, prop, ismath=False)
    return float(width)


def font_points(size: Any) -> float:
    """A font size (points or a name such as "small") in points."""
    return float(FontProperties(size=size).get_size_in_points())


def fitted_size(
    texts: Sequence[str], width: float, largest: Any, weight: Any = "normal"
) -> float:
    """The largest font size, at most ``largest``, at which every one of
    ``texts`` is at most ``width`` points wide."""
    largest = font_points(largest)
    widest = max((text_width(text, largest, weight) for text in texts), default=0.0)
    if widest <= width:
        return largest
    return largest * width / widest


class CompactFormatter(Formatter):
    """Tick labels with just the significant digits that tell neighbouring
    ticks apart ("0.0025", "1.002e5"), and no offset text to place."""

    def __init__(self) -> None:
        self._ticks = np.zeros(0)

    def set_locs(self, locs: Sequence[float]) -> None:
        self._ticks = np.asarray(locs, dtype=np.float64)

    def __call__(self, x: float, pos: int | None = None) -> str:
        locs = self._ticks if self._ticks.size else np.array([float(x)])
        steps = np.diff(np.sort(locs))
        step = steps[steps > 0].min() if np.any(steps > 0) else 0.0
        largest = float(np.max(np.abs(locs)))
        digits = 1
        if step > 0 and largest > 0:
            digits = max(1, math.ceil(math.log10(largest / step)) + 1)
        if 1.0 <= largest < 1e6:
            # Whole numbers below a million in full: "200", not "2e2".
            digits = max(digits, math.floor(math.log10(largest)) + 1)
        text = format(float(x) + 0.0, f".{digits}g")  # + 0.0: no "-0"
        mantissa, _, exponent = text.partition("e")
        if exponent:
            text = f"{mantissa}e{int(exponent)}"
        return text.replace("-", "\N{MINUS SIGN}")


def fit_ticks(axis: Any, length: float, size: float) -> None:
    """Give ``axis`` (a colour bar's long axis, ``length`` points long)
    compact labels of ``size`` points and as many ticks, up to five, as
    leave a gap of one font size between labels."""
    vmin, vmax = sorted(float(v) for v in axis.get_view_interval())
    formatter = CompactFormatter()
    locator: Any = MaxNLocator(nbins=1)
    for bins in (4, 3, 2, 1):
        ticks = [t for t in MaxNLocator(nbins=bins).tick_values(vmin, vmax) if vmin <= t <= vmax]
        if len(ticks) < 2 or vmax <= vmin:
            break
        formatter.set_locs(ticks)
        widest = max(text_width(formatter(t), size) for t in ticks)
        if length * min(np.diff(ticks)) / (vmax - vmin) >= widest + size:
            locator = MaxNLocator(nbins=bins)
            break
    else:
        # Labels too long for two ticks: one, near the middle.
        locator = FixedLocator([ticks[len(ticks) // 2]])
    axis.set_major_locator(locator)
    axis.set_major_formatter(formatter)
    axis.set_tick_params(labelsize=size)
