"""Signs that a fitted map went wrong, said in words that name the
parameter to change."""

from __future__ import annotations

import numpy as np

from ._params import MapLayout


class MapQualityWarning(UserWarning):
    """A fitted map that is likely to be poor: most of its nodes win no
    row, or its neighbourhood was wider than the map."""


# A last width at or above this still averages every node with its
# neighbours (weight exp(-1/2) at distance 1 and width 1), so nodes between
# groups of rows cannot move onto either and stay empty.
SMOOTHING_WIDTH = 1.0


def check_map(counts, sigmas, layout: MapLayout) -> list[str]:
    """What looks wrong with a trained map, one message each (empty: none).

    Parameters
    ----------
    counts : array of shape (n_nodes,)
        Rows won by each node under the final codebook (rows without a BMU
        left out).
    sigmas : array of shape (epochs,)
        The width of every epoch.
    layout : MapLayout

    Returns
    -------
    messages : list of str
        "Most nodes win no row" when more than two thirds of the nodes win
        none (a well trained map of clustered data leaves about half of
        them empty, between the clusters),
        with the parameter to change (the map's size when it has more nodes
        than rows, ``sigma_end`` when the last width still smooths the map,
        else the map's size); "the width is larger than the map" when an
        epoch's width exceeds the map's longer side, naming ``sigma_start``.
        A map of one node, or a fit of no epochs, gets no message.
    """
    counts = np.asarray(counts)
    sigmas = np.asarray(sigmas, dtype=np.float64)
    n_nodes = layout.n_nodes
    if n_nodes == 1 or sigmas.size == 0:
        return []
    messages = []
    empty = int(np.count_nonzero(counts == 0))
    if 3 * empty > 2 * n_nodes:
        n_rows = int(counts.sum())
        head = f"{empty} of the map's {n_nodes} nodes win no row"
        if n_rows < n_nodes:
            messages.append(
                f"{head}: the map has more nodes than the {n_rows} rows that "
                f"train it; use fewer columns or rows."
            )
        elif sigmas[-1] >= SMOOTHING_WIDTH:
            messages.append(
                f"{head}: the last width, {sigmas[-1]:.4g}, still averages "
                f"each node with its neighbours; lower sigma_end (below 1, "
                f"e.g. None for the default) so that nodes move onto the rows."
            )
        else:
            messages.append(
                f"{head}: the rows fill a small part of the map (clusters "
                f"with empty space between them); use fewer columns or rows."
            )
    side = max(layout.columns, layout.rows)
    widest = float(sigmas.max())
    if widest > side:
        messages.append(
            f"The neighbourhood's width reaches {widest:.4g}, more than the "
            f"map's longer side ({side} nodes): every node then moves to "
            f"nearly the same mean and the map's order is lost; lower "
            f"sigma_start (None: a quarter of the shorter side)."
        )
    return messages
