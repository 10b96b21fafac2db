"""What a source of rows answers, and the records it answers with.

Training, the error measures and prediction read rows only through these
methods, so they never ask where the rows are: in memory (dense or CSR),
in the blocks of a Dask array, with or without missing values.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Protocol

import numpy as np

from .._fixedpoint import mean_error
from .._params import MapLayout


@dataclass
class NodeSums:
    """The per-node sums of one pass over the rows, all 64-bit integers.

    ``sums`` (nodes x features) adds each row's fixed-point values to its
    BMU; ``observed`` (nodes x features, None without missing values) counts
    the rows of each node that observe each feature; ``counts`` the rows of
    each node; ``totals`` the fixed-point distance sum and the count of
    distances beyond its range. Integers, so any split of the rows adds up
    to the same bits.
    """

    sums: np.ndarray
    observed: np.ndarray | None
    counts: np.ndarray
    totals: np.ndarray

    @classmethod
    def zeros(cls, n_nodes: int, n_features: int, observed: bool) -> NodeSums:
        """Sums of no rows, with ``observed`` counts where asked."""
        return cls(
            np.zeros((n_nodes, n_features), dtype=np.int64),
            np.zeros((n_nodes, n_features), dtype=np.int64) if observed else None,
            np.zeros(n_nodes, dtype=np.int64),
            np.zeros(2, dtype=np.int64),
        )

    def fits(self, n_nodes: int, n_features: int, observed: bool) -> bool:
        """Whether these arrays can hold the sums of that shape."""
        return (self.sums.shape == (n_nodes, n_features)
                and (self.observed is not None) == observed)  # fmt: skip

    def clear(self) -> None:
        """Zero in place, so that one set of arrays serves every epoch."""
        for array in (self.sums, self.observed, self.counts, self.totals):
            if array is not None:
                array.fill(0)

    def add(self, other: NodeSums) -> NodeSums:
        """The element-wise sum with the sums of other rows: exact."""
        return NodeSums(
            self.sums + other.sums,
            None if self.observed is None else self.observed + other.observed,
            self.counts + other.counts,
            self.totals + other.totals,
        )

    @property
    def matched(self) -> int:
        """Rows with a BMU."""
        return int(self.counts.sum())

    def mean_error(self, exponent: int) -> float:
        """The quantization error of the codebook these sums were taken
        under."""
        return mean_error(int(self.totals[0]), int(self.totals[1]), exponent, self.matched)


@dataclass
class Search:
    """The BMUs of a pass and what the error measures need of it.

    ``nodes`` are the BMUs (int32, -1 for a row without one; None where the
    rows stay on a cluster), ``matched`` the rows with a BMU; at
    ``exponent``, ``error_sum`` and ``overflows`` are the fixed-point sum of
    their distances; ``apart`` counts the rows whose best and second-best
    nodes are not neighbours (where asked).
    """

    nodes: np.ndarray | None
    matched: int
    exponent: int | None = None
    error_sum: int = 0
    overflows: int = 0
    apart: int = 0

    @classmethod
    def joined(cls, parts: list[Search], exponent: int | None, keep_nodes: bool) -> Search:
        """The search of consecutive blocks of rows, in row order."""
        nodes = None
        if keep_nodes:
            arrays = [part.nodes for part in parts]
            nodes = np.concatenate(arrays) if arrays else np.empty(0, dtype=np.int32)
        return cls(
            nodes, sum(part.matched for part in parts), exponent,
            sum(part.error_sum for part in parts), sum(part.overflows for part in parts),
            sum(part.apart for part in parts),
        )  # fmt: skip

    def quantization_error(self) -> float:
        """Mean Euclidean distance of the rows with a BMU to its vector."""
        return mean_error(self.error_sum, self.overflows, self.exponent, self.matched)

    def topographic_error(self, layout: MapLayout) -> float:
        """Share of the rows with a BMU whose two best nodes are not
        neighbours: NaN without such rows, 0 on a map of one node."""
        if self.matched == 0:
            return float("nan")
        if layout.n_nodes == 1:
            return 0.0
        return float(self.apart) / self.matched


class RowSource(Protocol):
    """Rows of data as training and the estimator's methods read them."""

    n_rows: int
    n_features: int
    #: None where the rows hold no NaN (the ordinary kernels); else the most
    #: missing values of a row with a BMU (the masked rule).
    missing_limit: int | None

    def extremes(self) -> tuple[np.ndarray, np.ndarray]: ...

    def max_abs(self) -> np.ndarray: ...

    def take(self, index: np.ndarray): ...

    def accumulate(self, codebook: np.ndarray, layout: MapLayout, exponents: np.ndarray,
                   error_exponent: int, threads: int, *,
                   out: NodeSums | None = None) -> NodeSums: ...  # fmt: skip

    def search(self, codebook: np.ndarray, layout: MapLayout, threads: int, *,
               error_exponent: int | None = None, topographic: bool = False,
               keep_nodes: bool = True) -> Search: ...  # fmt: skip

    def predict(self, codebook: np.ndarray, layout: MapLayout, threads: int): ...

    def transform(self, codebook: np.ndarray, layout: MapLayout, threads: int): ...

    def impute(self, codebook: np.ndarray, layout: MapLayout, threads: int, filled): ...
