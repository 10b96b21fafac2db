"""The course of a fit: quantization error and width per epoch."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
from matplotlib.ticker import MaxNLocator
from sklearn.utils.validation import check_is_fitted

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.lines import Line2D

    from .._som import SOM


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
