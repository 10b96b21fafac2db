"""MiniSom: online updates, one sample at a time, in float64 NumPy. An
epoch over a large workload takes minutes, so a timed run presents part of
the data and the figure is scaled to a whole epoch."""

import numpy as np

from . import Result, cannot_import, euclidean_positions, quiet, seconds

NAME = "MiniSom"
# Its runs at defaults cap their own updates (DEFAULT_SECONDS).
CAPS_ITSELF = True
# Seconds that a timed run may take (after a probe of PROBE samples) and
# that a run at defaults may take, at the speed of the timed run: the
# samples presented are capped to fit.
PROBE = 100
TIMED_SECONDS = 2.0
DEFAULT_SECONDS = 6.0


def unavailable():
    return cannot_import("minisom")


def run(case):
    from minisom import MiniSom
    w = case.w
    n = len(case.data)
    grid = "rectangular" if w["grid_type"] == "rectangular" else "hexagonal"
    results = []
    per_sample = None
    scale = 4 if case.quick else 1
    if case.want_timed:
        with quiet():
            som = MiniSom(w["columns"], w["rows"], w["dimension"],
                          sigma=float(case.radius), learning_rate=0.1,
                          neighborhood_function="gaussian", topology=grid,
                          random_seed=0)
        start = case.codebook.transpose(1, 0, 2).astype(np.float64)
        som._weights = start.copy()
        probe = min(n, PROBE)
        took = seconds(lambda: som.train(case.data[:probe], probe))
        timed = min(n, max(probe, int(TIMED_SECONDS / scale /
                                      (took / probe))))
        som._weights = start.copy()
        took = seconds(lambda: som.train(case.data[:timed], timed))
        per_sample = took / timed
        part = "one epoch" if timed == n else (
            f"{timed:,} of {n:,} samples, scaled to an epoch")
        results.append(Result(
            NAME, "timed", som.get_weights().reshape(-1, w["dimension"]),
            euclidean_positions(som), s_per_epoch=took * n / timed,
            epochs=timed / n,
            note=f"online, float64, {grid} planar; {part}; its own "
                 "decay of sigma and learning rate"))
    if case.want_defaults:
        budget = DEFAULT_SECONDS / scale
        samples = case.default_epochs * n
        if per_sample is None:
            # Its pace on the default map, from a probe.
            with quiet():
                probe_som = MiniSom(w["columns"], w["rows"], w["dimension"],
                                    random_seed=0)
            probe = min(n, PROBE)
            per_sample = seconds(lambda: probe_som.train(
                case.data[:probe], probe)) / probe
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
            euclidean_positions(som), epochs=samples / n, capped=bool(capped),
            note="its defaults: rectangular, sigma 1, learning rate 0.5, "
                 f"asymptotic decay, rows in order{capped}"))
    return results
