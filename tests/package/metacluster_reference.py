"""Slow float64 references of the metaclusters' definitions, in plain loops:
hierarchical clustering by repeated merging, the consensus by counting
pairs, ConsensusClusterPlus's consensus CDF by its histogram and FlowSOM's
choice of the count. The random draws are those the package promises: one
RandomState, per subsample the sorted nodes, then the sorted features when
some are left out."""

import math
from fractions import Fraction

import numpy as np


def distances(vectors):
    n = len(vectors)
    out = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            out[i, j] = math.sqrt(sum((a - b) ** 2 for a, b in zip(vectors[i], vectors[j])))
    return out


def linkage_distance(d, first, second, method):
    pairs = [d[i, j] for i in first for j in second]
    if method == "average":
        return sum(pairs) / len(pairs)
    if method == "complete":
        return max(pairs)
    return min(pairs)  # single


def agglomerate(d, count, method, prefer=None):
    """Merges the closest two groups until ``count`` are left; the groups
    numbered by first appearance of their items. Among merges at exactly the
    same distance, where any order is right, the first (in the order in
    which the groups were made) that keeps within one group of ``prefer``
    (another clustering's labels), else the first."""
    groups = [[i] for i in range(len(d))]
    while len(groups) > count:
        values = {
            (a, b): linkage_distance(d, groups[a], groups[b], method)
            for a in range(len(groups))
            for b in range(a + 1, len(groups))
        }
        best = min(values.values())
        rivals = [pair for pair, value in values.items() if value == best]
        if prefer is not None:
            rivals.sort(key=lambda pair: len({prefer[i] for k in pair for i in groups[k]}) > 1)
        a, b = rivals[0]
        merged = groups[a] + groups[b]
        groups = [g for k, g in enumerate(groups) if k not in (a, b)] + [merged]
    label = np.empty(len(d), dtype=np.int64)
    for k, group in enumerate(groups):
        label[group] = k
    return renumber(label)


def renumber(label):
    seen = {}
    return np.array([seen.setdefault(v, len(seen)) for v in label], dtype=np.int64)


def consensus(vectors, count, *, resamples, subsample, feature_fraction, method, seed,
              prefer=None):
    """Consensus matrix of ``count`` groups and the final labels, merged on
    exact fractions so that equal distances are seen as equal (ties broken
    towards ``prefer``, see agglomerate)."""
    n, d = vectors.shape
    rng = np.random.RandomState(seed)
    together = np.zeros((n, n))
    sampled = np.zeros((n, n))
    size = math.floor(n * subsample)
    n_features = max(1, math.floor(d * feature_fraction))
    for _ in range(resamples):
        items = np.sort(rng.choice(n, size, replace=False))
        features = np.arange(d)
        if n_features < d:
            features = np.sort(rng.choice(d, n_features, replace=False))
        label = agglomerate(distances(vectors[np.ix_(items, features)]), count, method)
        for a in range(size):
            for b in range(size):
                sampled[items[a], items[b]] += 1
                together[items[a], items[b]] += label[a] == label[b]
    exact = [[Fraction(1) if i == j else Fraction(int(together[i, j]), int(sampled[i, j]))
              if sampled[i, j] else Fraction(0) for j in range(n)] for i in range(n)]
    matrix = np.array([[float(value) for value in row] for row in exact])
    distance = np.array([[1 - value for value in row] for row in exact])
    return matrix, agglomerate(distance, count, method, prefer)


def cdf_area(matrix):
    """R's hist() on 100 bins closed on the right (each break raised by
    1e-9, the first lowered), cumulated and summed times the bins' width."""
    values = [matrix[i, j] for i in range(len(matrix)) for j in range(i)]
    breaks = [b / 100 for b in range(101)]
    fuzzy = [breaks[0] - 1e-9] + [b + 1e-9 for b in breaks[1:]]
    counts = [0] * 100
    for v in values:
        for b in range(100):
            if fuzzy[b] < v <= fuzzy[b + 1] or (b == 0 and v == fuzzy[0]):
                counts[b] += 1
                break
    area, running = 0.0, 0
    for b in range(100):
        running += counts[b]
        area += running / len(values) * (breaks[b + 1] - breaks[b])
    return area


def sum_of_squares(vectors, label):
    total = 0.0
    for g in set(label.tolist()):
        members = vectors[label == g]
        centre = members.mean(axis=0)
        total += sum(float(((row - centre) ** 2).sum()) for row in members)
    return total


def elbow(y):
    """FlowSOM's elbow: two least-squares lines, the split with the least
    absolute residual (1-based position of the second run's start)."""
    n = len(y)
    x = np.arange(1, n + 1, dtype=float)
    best, position = math.inf, 1
    for i in range(2, n):
        residual = 0.0
        for xs, ys in ((x[: i - 1], y[: i - 1]), (x[i - 1 :], y[i - 1 :])):
            if len(xs) > 2:
                slope, intercept = np.polyfit(xs, ys, 1)
                residual += float(np.abs(ys - (slope * xs + intercept)).sum())
        if residual < best:
            best, position = residual, i
    return position


def chosen_count(vectors, max_clusters, selection, prefer=None, **settings):
    """The count "auto" picks, with the curves it is picked from (ties
    broken towards ``prefer[count]``)."""
    squares = [sum_of_squares(vectors, np.zeros(len(vectors), dtype=np.int64))]
    areas = [cdf_area(np.ones((len(vectors), len(vectors))))]
    for count in range(2, max_clusters + 1):
        matrix, label = consensus(vectors, count, prefer=(prefer or {}).get(count), **settings)
        squares.append(sum_of_squares(vectors, label))
        areas.append(cdf_area(matrix))
    if selection == "elbow":
        for i in range(1, len(squares) - 1):
            squares[i] = 0.8 * squares[i] + 0.1 * squares[i - 1] + 0.1 * squares[i + 1]
        return elbow(np.array(squares)), squares, areas
    return elbow(np.array(areas)), squares, areas
