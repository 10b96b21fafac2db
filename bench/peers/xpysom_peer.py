"""XPySom on NumPy (no CuPy here): a batch map whose epoch walks the data
in chunks of its n_parallel rows through NumPy and its BLAS."""

import numpy as np

from . import Result, cannot_import, euclidean_positions, quiet, seconds

NAME = "XPySom"


def unavailable():
    return cannot_import("xpysom")


def run(case):
    with quiet():
        from xpysom import XPySom
    w = case.w
    grid = "rectangular" if w["grid_type"] == "rectangular" else "hexagonal"
    results = []
    if case.want_timed:
        # Gaussian exp(-d^2 / (2 sigma^2)) (std_coeff 1), sigma linear from
        # the radius to 1 as ours; its learning rate cancels in a batch map.
        som = XPySom(w["columns"], w["rows"], w["dimension"],
                     sigma=case.radius, sigmaN=1, learning_rate=0.1,
                     learning_rateN=0.01, decay_function="linear",
                     neighborhood_function="gaussian", std_coeff=1.0,
                     topology=grid, random_seed=0, xp=np)
        # Its weights are (x, y, d): ours transposed.
        som._weights = case.codebook.transpose(1, 0, 2).astype(
            np.float32).copy()
        with quiet():
            took = seconds(lambda: som.train(case.data, case.timed_epochs))
        results.append(Result(
            NAME, "timed", np.asarray(som.get_weights()).reshape(
                -1, w["dimension"]), euclidean_positions(som),
            s_per_epoch=took / case.timed_epochs, epochs=case.timed_epochs,
            note=f"NumPy batch, {grid} planar (no toroid); whole train "
                 "call / epochs (it cannot train 0 epochs)"))
    if case.want_defaults:
        som = XPySom(w["columns"], w["rows"], w["dimension"], random_seed=0,
                     xp=np)
        with quiet():
            som.train(case.data, case.default_epochs)
        results.append(Result(
            NAME, "defaults", np.asarray(som.get_weights()).reshape(
                -1, w["dimension"]), euclidean_positions(som),
            epochs=case.default_epochs,
            note="its defaults: rectangular, sigma min(x, y) / 2 to 1 "
                 "exponential, std_coeff 0.5, random unit-norm start"))
    return results
