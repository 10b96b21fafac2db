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

    def add(self, other: Search) -> Search:
        """The search of these rows and then the others'."""
        nodes = None
        if self.nodes is not None and other.nodes is not None:
            nodes = np.concatenate([self.nodes, other.nodes])
        return Search(
            nodes, self.matched + other.matched, self.exponent,
            self.error_sum + other.error_sum, self.overflows + other.overflows,
            self.apart + other.apart,
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
                   error_exponent: int, threads: int) -> NodeSums: ...  # fmt: skip

    def search(self, codebook: np.ndarray, layout: MapLayout, threads: int, *,
               error_exponent: int | None = None,
               topographic: bool = False) -> Search: ...  # fmt: skip

    def predict(self, codebook: np.ndarray, layout: MapLayout, threads: int): ...

    def transform(self, codebook: np.ndarray, layout: MapLayout, threads: int): ...

    def impute(self, codebook: np.ndarray, layout: MapLayout, threads: int, filled): ...
