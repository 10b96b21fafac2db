"""The one training loop: batch epochs and the final pass, over any source
of rows.

Each epoch takes the per-node sums of all rows under the epoch's starting
codebook (their BMUs found on the way) and replaces every node by the
neighbourhood-weighted mean of the rows; the same pass measures the
quantization error of the codebook it started from. The loop never asks
where the rows are: a source answers ``accumulate`` and ``search``.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np
from tqdm.auto import tqdm

from . import _core
from ._fixedpoint import error_exponent, feature_exponents, squares_scratch
from ._params import MapLayout
from ._sources import NodeSums, RowSource, Search, busy_threads

# Weighted additions per call of the neighbourhood's application, about
# 2^27, so that a pending Ctrl-C is seen within a fraction of a second.
NEIGHBOURHOOD_WORK_PER_CALL = 2**27


@dataclass
class Training:
    """The state of a fit after its last completed step: always at hand,
    so that an interrupted fit keeps what its completed epochs made."""

    codebook: np.ndarray
    sigmas: list[float] = field(default_factory=list)
    #: errors[e]: quantization error of the codebook after epoch e, measured
    #: by the pass of the epoch after it (or the final pass).
    errors: list[float] = field(default_factory=list)
    #: The final pass under the last codebook; None until it has run.
    final: Search | None = None
    interrupted: bool = False


def map_error_exponent(source: RowSource, max_abs: np.ndarray, codebook: np.ndarray,
                       scratch: np.ndarray | None = None) -> int:  # fmt: skip
    """The fixed-point exponent of the distance sum of ``source``'s rows
    under ``codebook`` (``scratch``: see error_exponent)."""
    return error_exponent(
        max_abs, codebook, source.n_rows, source.n_features, source.missing_limit or 0,
        scratch,
    )  # fmt: skip


def measure(
    source: RowSource, codebook: np.ndarray, layout: MapLayout, threads: int, *,
    max_abs: np.ndarray | None = None, topographic: bool = False, keep_nodes: bool = False,
) -> Search:  # fmt: skip
    """The search of every row with the fixed-point distance sum (and the
    topographic count, and the BMUs, where asked) under ``codebook``."""
    if max_abs is None:
        max_abs = source.max_abs()
    exponent = map_error_exponent(source, max_abs, codebook)
    return source.search(codebook, layout, threads, error_exponent=exponent,
                         topographic=topographic, keep_nodes=keep_nodes)  # fmt: skip


@dataclass
class _Epochs:
    """What every epoch of one fit reads and writes: the data's bounds and
    exponents, taken once, and arrays made once and overwritten by each
    epoch (the node sums, zeroed in place; the squares of the error bound;
    the codebook that the next update writes, never the one it starts
    from)."""

    source: RowSource
    layout: MapLayout
    neighbourhood: str
    threads: int
    max_abs: np.ndarray
    exponents: np.ndarray
    squares: np.ndarray
    sums: NodeSums | None = None
    spare: np.ndarray | None = None

    def run(self, state: Training, sigma: float) -> None:
        codebook = state.codebook
        exponent = map_error_exponent(self.source, self.max_abs, codebook, self.squares)
        self.sums = self.source.accumulate(
            codebook, self.layout, self.exponents, exponent, self.threads, out=self.sums
        )
        _require_placed(self.source, self.sums.matched)
        if state.sigmas:
            state.errors.append(self.sums.mean_error(exponent))
        out = self.spare if self.spare is not None else np.empty_like(codebook)
        state.codebook = apply_neighbourhood(
            codebook, self.layout, self.neighbourhood, sigma, self.sums, self.exponents,
            self.threads, out=out,
        )  # fmt: skip
        state.sigmas.append(sigma)
        # The starting codebook may be the caller's: only an update's output
        # is written over, two epochs after it was made.
        self.spare = codebook if len(state.sigmas) > 1 else None


def train(
    source: RowSource, codebook: np.ndarray, layout: MapLayout, sigmas: np.ndarray,
    neighbourhood: str, threads: int, *, verbose: bool = False,
) -> Training:  # fmt: skip
    """Runs the epochs at the widths ``sigmas`` from ``codebook``, then the
    final pass (labels, quantization and topographic error). Ctrl-C stops
    it between two engine calls: the result then holds the codebook of the
    completed epochs, ``interrupted`` set and no final pass."""
    state = Training(codebook)
    max_abs = source.max_abs()
    epochs = _Epochs(
        source, layout, neighbourhood, threads, max_abs,
        feature_exponents(max_abs, source.n_rows),
        squares_scratch(codebook.shape),
    )  # fmt: skip
    try:
        with tqdm(total=len(sigmas), disable=not verbose, desc="SOM", unit="epoch") as bar:
            for sigma in sigmas:
                epochs.run(state, float(sigma))
                bar.update(1)
                if state.errors:
                    bar.set_postfix(qe=f"{state.errors[-1]:.6g}")
            final = measure(source, state.codebook, layout, threads, max_abs=max_abs,
                            topographic=True, keep_nodes=True)  # fmt: skip
    except KeyboardInterrupt:
        state.interrupted = True
        return state
    _require_placed(source, final.matched)
    state.final = final
    state.errors.append(final.quantization_error())
    return state


def apply_neighbourhood(
    codebook: np.ndarray, layout: MapLayout, neighbourhood: str, sigma: float,
    sums: NodeSums, exponents: np.ndarray, threads: int, *, out: np.ndarray | None = None,
) -> np.ndarray:  # fmt: skip
    """The new codebook, into ``out`` where given (never ``codebook``):
    every node the neighbourhood-weighted mean of the rows' sums (per
    feature where values are missing)."""
    n_nodes, n_features = layout.n_nodes, codebook.shape[1]
    new = np.empty_like(codebook) if out is None else out
    # The gaussian factors over the axes and sums every map row once per
    # call: one call for the whole map. The others cost one weighted
    # addition per node pair and feature (two under missing values).
    per_feature = 1 if sums.observed is None else 2
    width = per_feature * n_features + 1
    step = n_nodes
    if neighbourhood != "gaussian":
        step = max(1, NEIGHBOURHOOD_WORK_PER_CALL // max(1, n_nodes * width))
        team = busy_threads(threads, n_nodes * width * min(step, n_nodes))
    else:
        team = busy_threads(threads, n_nodes * width * (layout.columns + layout.rows))
    for begin in range(0, n_nodes, step):
        _core.apply_neighbourhood(
            codebook, layout.columns, layout.rows, layout.grid, layout.topology,
            neighbourhood, sigma, sums.sums, sums.counts, sums.observed, exponents, new,
            begin, min(n_nodes, begin + step), team,
        )  # fmt: skip
    return new


def _require_placed(source: RowSource, matched: int) -> None:
    """ValueError where rows exist but none has a BMU: under missing values,
    every row misses more of its features than the limit allows."""
    if source.n_rows and not matched:
        raise ValueError(
            f"No row of X can be placed on the map: each of the {source.n_rows} "
            f"rows misses more than {source.missing_limit} of its "
            f"{source.n_features} features (or all of them); raise max_missing "
            f"or fill some values."
        )


def umatrix(codebook: np.ndarray, layout: MapLayout, threads: int) -> np.ndarray:
    """Mean distance of every node's vector to its neighbours', float32 of
    shape (rows, columns)."""
    out = np.empty(layout.n_nodes, dtype=np.float32)
    _core.umatrix(codebook, layout.columns, layout.rows, layout.grid, layout.topology, out, threads)
    return out.reshape(layout.rows, layout.columns)
