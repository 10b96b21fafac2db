"""Consensus clustering of a map's node vectors, and choosing the count.

Consensus clustering (Monti et al., 2003, in the form of Bioconductor's
ConsensusClusterPlus that FlowSOM uses): the nodes are clustered
hierarchically many times, each time a random subsample of them (and
optionally of the features); the consensus of two nodes is the share of the
subsamples holding both in which they fell into one group; the nodes are
then clustered hierarchically once more on the distance 1 - consensus.

Every function here is a pure function of its arguments (the random draws
come from the generator it is given, in a fixed order), so the result does
not depend on thread counts or machines. The linkage itself is SciPy's.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import scipy.sparse as sp
from scipy.cluster.hierarchy import linkage
from scipy.spatial.distance import squareform

#: The linkages that the hierarchical steps accept (SciPy's names).
LINKAGES = ("average", "complete", "single", "ward")

# ConsensusClusterPlus measures the consensus distribution on 100 bins of
# [0, 1], closed on the right, through R's hist(); hist() moves every break
# up by 1e-7 of a bin (the first one down) so that values a rounding error
# above a break still count below it.
_CDF_BINS = 100
_CDF_BREAKS = np.arange(_CDF_BINS + 1) / _CDF_BINS
_CDF_FUZZ = 1e-7 / _CDF_BINS

# FlowSOM's choice of the count smooths the within-group sums of squares
# with this weight before it looks for their elbow.
_SMOOTHING = 0.2


def first_appearance(labels: np.ndarray) -> np.ndarray:
    """Each row of ``labels`` renumbered 0, 1, ... in the order in which its
    groups first appear, so that a partition has one numbering."""
    labels = np.atleast_2d(labels)
    out = np.empty(labels.shape, dtype=np.int64)
    for row, values in enumerate(labels):
        _, first, inverse = np.unique(values, return_index=True, return_inverse=True)
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first, kind="stable")] = np.arange(len(first))
        out[row] = rank[inverse]
    return out


def cut(tree: np.ndarray, counts) -> np.ndarray:
    """Labels, shape (len(counts), n), of SciPy's linkage ``tree`` cut into
    each count of groups: the first n - count merges applied, as R's
    cutree() does."""
    n = len(tree) + 1
    wanted = {int(count): c for c, count in enumerate(counts)}
    labels = np.empty((len(wanted), n), dtype=np.int64)
    group = np.arange(n)
    if n in wanted:
        labels[wanted[n]] = group
    for i, (a, b) in enumerate(tree[:, :2].astype(np.int64)):
        group[(group == a) | (group == b)] = n + i
        if n - 1 - i in wanted:
            labels[wanted[n - 1 - i]] = group
    return first_appearance(labels)


def hierarchical(vectors: np.ndarray, counts, method: str) -> np.ndarray:
    """Labels, shape (len(counts), n), of the rows of ``vectors`` clustered
    hierarchically on their Euclidean distances."""
    return cut(linkage(vectors, method=method, metric="euclidean"), counts)


def hierarchical_precomputed(distances: np.ndarray, counts, method: str) -> np.ndarray:
    """As :func:`hierarchical`, on a square matrix of distances."""
    return cut(linkage(squareform(distances, checks=False), method=method), counts)


@dataclass(frozen=True)
class Resamples:
    """The subsamples of one consensus clustering and each one's labels.

    ``items[r]`` holds the sorted node indices of subsample ``r``;
    ``labels[r, c]`` the group of each of them when subsample ``r`` is cut
    into ``counts[c]`` groups.
    """

    n_items: int
    counts: tuple[int, ...]
    items: np.ndarray
    labels: np.ndarray


def subsample_size(n: int, fraction: float) -> int:
    """Items in a subsample: ``floor(n * fraction)``, as ConsensusClusterPlus
    draws."""
    return math.floor(n * fraction)


def resample(
    vectors: np.ndarray,
    counts,
    *,
    resamples: int,
    subsample: float,
    feature_fraction: float,
    method: str,
    rng: np.random.RandomState,
) -> Resamples:
    """Clusters ``resamples`` subsamples of the rows of ``vectors``.

    Each subsample draws ``floor(n * subsample)`` rows without replacement,
    then, when ``feature_fraction < 1``, ``max(1, floor(d * feature_fraction))``
    features; both sorted. Its rows are clustered on the Euclidean distances
    over the drawn features and the tree is cut into each of ``counts``.
    """
    n, d = vectors.shape
    size = subsample_size(n, subsample)
    n_features = max(1, subsample_size(d, feature_fraction))
    counts = tuple(int(c) for c in counts)
    items = np.empty((resamples, size), dtype=np.int64)
    labels = np.empty((resamples, len(counts), size), dtype=np.int64)
    for r in range(resamples):
        items[r] = np.sort(rng.choice(n, size, replace=False))
        subset = vectors[items[r]]
        if n_features < d:
            subset = subset[:, np.sort(rng.choice(d, n_features, replace=False))]
        labels[r] = hierarchical(subset, counts, method)
    return Resamples(n, counts, items, labels)


def consensus_matrix(resamples: Resamples, count: int) -> np.ndarray:
    """Share, for every pair of items, of the subsamples holding both that
    put them into one group when cut into ``count`` groups; 1 on the
    diagonal, 0 for a pair that no subsample holds."""
    c = resamples.counts.index(count)
    n, runs = resamples.n_items, len(resamples.items)
    # Integer indicator columns, one per subsample and one per group of
    # each: their products count the pairs, exactly.
    run = np.repeat(np.arange(runs), resamples.items.shape[1])
    items = resamples.items.ravel()
    ones = np.ones(len(items), dtype=np.int64)
    sampled = sp.csr_matrix((ones, (items, run)), shape=(n, runs))
    grouped = sp.csr_matrix(
        (ones, (items, run * count + resamples.labels[:, c].ravel())), shape=(n, runs * count)
    )
    together = (grouped @ grouped.T).toarray()
    pairs = (sampled @ sampled.T).toarray()
    consensus = np.zeros((n, n), dtype=np.float64)
    np.divide(together, pairs, out=consensus, where=pairs > 0)
    np.fill_diagonal(consensus, 1.0)
    return consensus


def cdf_area(consensus: np.ndarray) -> float:
    """Area under the empirical distribution function of the consensus
    values of all pairs, on ConsensusClusterPlus's 100 bins: the sum of the
    cumulative share of each bin times its width."""
    values = consensus[np.tril_indices(len(consensus), k=-1)]
    breaks = _CDF_BREAKS + _CDF_FUZZ
    breaks[0] = _CDF_BREAKS[0] - _CDF_FUZZ
    bins = np.clip(np.searchsorted(breaks, values, side="left") - 1, 0, _CDF_BINS - 1)
    cumulative = np.cumsum(np.bincount(bins, minlength=_CDF_BINS)) / max(1, values.size)
    return float(np.dot(cumulative, np.diff(_CDF_BREAKS)))


def sum_of_squares(vectors: np.ndarray, labels: np.ndarray) -> float:
    """Sum over groups of the squared distances of their vectors to the
    group's mean."""
    total = 0.0
    for group in np.unique(labels):
        members = vectors[labels == group]
        total += float(((members - members.mean(axis=0)) ** 2).sum())
    return total


def elbow(values) -> int:
    """1-based position where the curve bends most: the split of the
    positions into two runs, each fitted by its own least-squares line,
    with the smallest sum of absolute residuals (the earliest on a tie);
    FlowSOM's rule. A run of one or two points fits exactly."""
    y = np.asarray(values, dtype=np.float64)
    x = np.arange(1, len(y) + 1, dtype=np.float64)
    best, position = math.inf, 1
    for split in range(2, len(y)):
        residual = _line_residual(x[: split - 1], y[: split - 1])
        residual += _line_residual(x[split - 1 :], y[split - 1 :])
        if residual < best:
            best, position = residual, split
    return position


def _line_residual(x: np.ndarray, y: np.ndarray) -> float:
    if len(x) <= 2:
        return 0.0
    design = np.column_stack([np.ones_like(x), x])
    coefficients, *_ = np.linalg.lstsq(design, y, rcond=None)
    return float(np.abs(y - design @ coefficients).sum())


def smoothed(values) -> np.ndarray:
    """FlowSOM's smoothing before the elbow: each inner value, from the
    second on, replaced in turn by a weighted mean with its neighbours (the
    left one already smoothed)."""
    out = np.array(values, dtype=np.float64)
    for i in range(1, len(out) - 1):
        out[i] = (1 - _SMOOTHING) * out[i] + _SMOOTHING / 2 * (out[i - 1] + out[i + 1])
    return out


@dataclass(frozen=True)
class Consensus:
    """The result of :func:`consensus_clustering`.

    ``labels``: the group of every item (numbered by first appearance);
    ``matrix``: the consensus matrix of the chosen count; ``scores``: when
    the count was chosen, for every count tried (``"n_clusters"``, from 1),
    the within-group sum of squares, the area under the consensus CDF and
    its relative change from the count before (for 2 groups the area itself,
    as ConsensusClusterPlus reports it; NaN for 1).
    """

    labels: np.ndarray
    matrix: np.ndarray
    scores: dict | None


def consensus_clustering(
    vectors: np.ndarray,
    n_clusters: int | None,
    *,
    max_clusters: int,
    selection: str,
    resamples: int,
    subsample: float,
    feature_fraction: float,
    method: str,
    rng: np.random.RandomState,
) -> Consensus:
    """Consensus clustering of the rows of ``vectors`` into ``n_clusters``
    groups, or into a count from 2 to ``max_clusters`` chosen by
    ``selection`` when ``n_clusters`` is None: "elbow", FlowSOM's rule, the
    elbow of the within-group sums of squares of the consensus clusterings
    of 1 to ``max_clusters`` groups after smoothing; "cdf_area", the elbow
    of the area under the consensus CDF over the same counts, where adding a
    group stops raising the area much (its relative change falls off). The
    elbow never takes the first or the last count."""
    counts = [n_clusters] if n_clusters is not None else list(range(2, max_clusters + 1))
    runs = resample(
        vectors, counts, resamples=resamples, subsample=subsample,
        feature_fraction=feature_fraction, method=method, rng=rng,
    )  # fmt: skip
    if n_clusters is not None:
        matrix = consensus_matrix(runs, n_clusters)
        labels = hierarchical_precomputed(1.0 - matrix, [n_clusters], method)[0]
        return Consensus(labels, matrix, None)
    matrices, partitions = {}, {}
    squares = [sum_of_squares(vectors, np.zeros(len(vectors), dtype=np.int64))]
    # One group puts every pair together: the whole distribution in the
    # last bin, the start of the areas' curve.
    areas = [cdf_area(np.ones((len(vectors), len(vectors))))]
    for count in counts:
        matrices[count] = consensus_matrix(runs, count)
        partitions[count] = hierarchical_precomputed(1.0 - matrices[count], [count], method)[0]
        squares.append(sum_of_squares(vectors, partitions[count]))
        areas.append(cdf_area(matrices[count]))
    change = [math.nan, areas[1]] + [
        (areas[i] - areas[i - 1]) / areas[i - 1] for i in range(2, len(areas))
    ]
    curve = smoothed(squares) if selection == "elbow" else areas
    chosen = elbow(curve)
    scores = {
        "n_clusters": np.arange(1, max_clusters + 1),
        "sum_of_squares": np.asarray(squares),
        "cdf_area": np.asarray(areas),
        "delta_area": np.asarray(change),
    }
    return Consensus(partitions[chosen], matrices[chosen], scores)
