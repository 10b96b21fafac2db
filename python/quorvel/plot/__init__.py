"""Pictures of a trained map, drawn with matplotlib.

matplotlib (and networkx, for the node tree) is an optional extra:
``pip install quorvel[plot]``.

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

try:
    import matplotlib  # noqa: F401
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        "quorvel.plot needs matplotlib; install it with "
        "`pip install quorvel[plot]` or `pip install matplotlib`"
    ) from error

from ._curves import learning_curve
from ._labels import labels
from ._maps import hits, umatrix
from ._planes import component_planes
from ._populations import NodeTree, metacluster_map, metacluster_medians, tree
from ._supervised import label_planes, prediction_map

__all__ = [
    "NodeTree",
    "component_planes",
    "hits",
    "label_planes",
    "labels",
    "learning_curve",
    "metacluster_map",
    "metacluster_medians",
    "prediction_map",
    "tree",
    "umatrix",
]
