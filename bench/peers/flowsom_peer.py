"""FlowSOM's Python package, its batch estimator (BatchSOMEstimator): ten
online maps trained in parallel on tenths of the data through Numba, merged
by their median after every pass; bubble neighbourhood on a rectangular
grid (Chebyshev distance), radius from the 0.67 quantile of the grid
distances to 0. Its rlen counts half passes: rlen 10 presents the data 5
times (after one serial pass over a tenth)."""

import numpy as np

from . import Result, quiet, rectangular, seconds

NAME = "FlowSOM batch"
_warm = False


def unavailable():
    try:
        with quiet():
            from flowsom.models.batch import BatchSOMEstimator  # noqa: F401
    except Exception as error:
        return f"cannot import flowsom: {error!r}"
    return None


def _estimator():
    global _warm
    with quiet():
        from flowsom.models.batch import BatchSOMEstimator
    if not _warm:
        # Numba compiles the training on the first call (seconds).
        # Both forms of the start it gets here: float64 codes given, and its
        # own (float32 rows of the data).
        rng = np.random.default_rng(0)
        small = rng.random((2000, 4), dtype=np.float32)
        with quiet():
            BatchSOMEstimator(xdim=3, ydim=3, rlen=2, seed=0).fit(small)
            BatchSOMEstimator(xdim=3, ydim=3, rlen=2, seed=0,
                              codes=rng.random((9, 4))).fit(small)
        _warm = True
    return BatchSOMEstimator


def run(case):
    estimator = _estimator()
    w = case.w
    results = []
    positions = rectangular(w["columns"], w["rows"])
    if case.want_timed:
        # Its nodes are x-major (x * ydim + y): ours transposed.
        codes = case.codebook.transpose(1, 0, 2).reshape(
            -1, w["dimension"]).astype(np.float64)

        # Its rlen counts half passes, and rlen 0 divides by zero in it;
        # the cost of a pass depends on its radius, which shrinks with
        # rlen, so no difference of two runs is one pass. The figure is its
        # whole fit over the passes it makes: int(rlen / 2), after one
        # serial pass over a tenth of the data.
        rlen = max(2, case.timed_epochs)
        passes = rlen // 2 + 0.1
        holder = {}
        with quiet():
            took = seconds(lambda: holder.update(som=estimator(
                xdim=w["columns"], ydim=w["rows"], rlen=rlen, codes=codes,
                seed=0).fit(case.data)))
        results.append(Result(
            NAME, "timed", np.asarray(holder["som"].codes), positions,
            s_per_epoch=took / passes, epochs=rlen,
            note="whole fit / passes over the data (its rlen counts half "
                 "passes; epochs here: rlen); its own bubble radius, "
                 "rectangular planar"))
    if case.want_defaults:
        with quiet():
            # Its rlen counts half passes and needs 2 at least.
            som = estimator(xdim=w["columns"], ydim=w["rows"],
                            rlen=max(2, case.default_epochs),
                            seed=0).fit(case.data)
        results.append(Result(
            NAME, "defaults", np.asarray(som.codes), positions,
            epochs=max(2, case.default_epochs),
            note="its defaults: rlen 10, alpha 0.05 to 0.01, random rows "
                 "as the start"))
    return results
