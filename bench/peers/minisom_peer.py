"""MiniSom: online updates, one sample at a time, in float64 NumPy. An
epoch over a large workload takes minutes, so a timed run presents part of
the data and the figure is scaled to a whole epoch."""

import numpy as np

from . import Result, quiet, seconds

NAME = "MiniSom"
# Samples presented in a timed run; seconds that a run at defaults may
# take, at the speed of the timed run (its updates are capped to fit).
TIMED_SAMPLES = 5000
DEFAULT_SECONDS = 12.0


def unavailable():
    try:
        import minisom  # noqa: F401
    except Exception as error:
        return f"cannot import minisom: {error!r}"
    return None


def _positions(som):
    xx, yy = som.get_euclidean_coordinates()
    return np.column_stack([np.ravel(xx), np.ravel(yy)]).astype(np.float64)


def run(case):
    from minisom import MiniSom
    w = case.w
    n = len(case.data)
    grid = "rectangular" if w["grid_type"] == "rectangular" else "hexagonal"
    results = []
    timed = min(n, TIMED_SAMPLES // (4 if case.quick else 1))
    per_sample = None
    if case.want_timed:
        with quiet():
            som = MiniSom(w["columns"], w["rows"], w["dimension"],
                          sigma=float(case.radius), learning_rate=0.1,
                          neighborhood_function="gaussian", topology=grid,
                          random_seed=0)
        som._weights = case.codebook.transpose(1, 0, 2).astype(
            np.float64).copy()
        took = seconds(lambda: som.train(case.data[:timed], timed))
        per_sample = took / timed
        part = "one epoch" if timed == n else (
            f"{timed:,} of {n:,} samples, scaled to an epoch")
        results.append(Result(
            NAME, "timed", som.get_weights().reshape(-1, w["dimension"]),
            _positions(som), s_per_epoch=took * n / timed,
            epochs=timed / n,
            note=f"online, float64, {grid} planar; {part}; its own "
                 "decay of sigma and learning rate"))
    if case.want_defaults:
        budget = DEFAULT_SECONDS / (4 if case.quick else 1)
        samples = case.default_epochs * n
        if per_sample:
            samples = min(samples, max(n // 10, int(budget / per_sample)))
        with quiet():
            som = MiniSom(w["columns"], w["rows"], w["dimension"],
                          random_seed=0)
            som.train(case.data, samples)
        capped = "" if samples == case.default_epochs * n else (
            f"; capped at {samples:,} updates ({samples / n:.2g} epochs) "
            "for time")
        results.append(Result(
            NAME, "defaults", som.get_weights().reshape(-1, w["dimension"]),
            _positions(som), epochs=samples / n,
            note="its defaults: rectangular, sigma 1, learning rate 0.5, "
                 f"asymptotic decay, rows in order{capped}"))
    return results
