"""fastersom: a batch map in PyTorch, run here on the CPU (torch's CPU
build), rectangular grids only."""

import numpy as np

from . import Result, cannot_import, quiet, seconds

NAME = "fastersom"


def unavailable():
    return cannot_import("fastersom", "torch")


def _positions(columns, rows):
    # weights_ row-major: node = row * n_cols + col, at (col, row).
    y, x = np.divmod(np.arange(columns * rows), columns)
    return np.column_stack([x, y]).astype(np.float64)


def run(case):
    import torch
    with quiet():
        from fastersom import SOM
    torch.set_num_threads(2)
    w = case.w
    results = []
    if case.want_timed:
        start = case.codebook.reshape(-1, w["dimension"])

        def fit(epochs):
            # Its sigma decays exponentially (no linear schedule): from the
            # radius to 1, as ours spans.
            return SOM(w["rows"], w["columns"], n_epochs=epochs,
                       sigma_initial=float(case.radius), sigma_final=1.0,
                       init=start, device="cpu", random_state=0).fit(
                case.data)
        fit(0)   # the first call sets up torch's kernels
        none = seconds(lambda: fit(0))
        holder = {}
        full = seconds(lambda: holder.update(som=fit(case.timed_epochs)))
        results.append(Result(
            NAME, "timed", np.asarray(holder["som"].weights_),
            _positions(w["columns"], w["rows"]),
            s_per_epoch=(full - none) / case.timed_epochs,
            epochs=case.timed_epochs,
            note="torch on the CPU, rectangular planar only; sigma "
                 "exponential from the radius to 1"))
    if case.want_defaults:
        som = SOM(w["rows"], w["columns"], n_epochs=case.default_epochs,
                  device="cpu", random_state=0).fit(case.data)
        results.append(Result(
            NAME, "defaults", np.asarray(som.weights_),
            _positions(w["columns"], w["rows"]),
            epochs=case.default_epochs,
            note="its defaults: rectangular, sigma ceil(min / 2) / 2 to a "
                 "tenth of it exponential, random unit-norm start"))
    return results
