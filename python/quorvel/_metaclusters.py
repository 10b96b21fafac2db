"""Metaclusters: the nodes of a map grouped into populations."""

from __future__ import annotations

import copy
from numbers import Integral, Real

import numpy as np
from sklearn.base import (
    BaseEstimator,
    ClusterMixin,
    TransformerMixin,
    _fit_context,
    clone,
)
from sklearn.exceptions import NotFittedError
from sklearn.utils import check_random_state
from sklearn.utils._param_validation import Interval, StrOptions
from sklearn.utils.validation import check_is_fitted, validate_data

from ._consensus import LINKAGES, consensus_clustering, hierarchical, subsample_size
from ._params import CONSTRAINTS, _Count, store_parameters
from ._som import SOM

METHODS = ("consensus", "agglomerative")
SELECTIONS = ("elbow", "cdf_area")


class Metaclusters(ClusterMixin, TransformerMixin, BaseEstimator):
    """Groups of a map's nodes, and of the rows through their BMUs.

    FlowSOM's second step: the node vectors of a self-organizing map are
    clustered into ``n_clusters`` groups (metaclusters), and every row gets
    the group of its best-matching node. The default is FlowSOM's consensus
    clustering: ``resamples`` hierarchical clusterings of random subsamples
    of the nodes, then one of the consensus matrix (see Notes).

    Parameters
    ----------
    som : SOM, default=None
        The map. A fitted map is used as it is (a copy); an unfitted one is
        copied and fitted on the data given to :meth:`fit`. None fits
        ``SOM(columns=10, rows=10)``.
    n_clusters : int or "auto", default=10
        Number of groups, at most the number of nodes; "auto" chooses one
        from 2 to ``max_clusters - 1`` by ``selection``.
    method : {"consensus", "agglomerative"}, default="consensus"
        Consensus clustering, or one hierarchical clustering of the node
        vectors (cheaper; with ``n_clusters="auto"`` the consensus decides
        the count all the same).
    linkage : {"average", "complete", "single", "ward"}, default="average"
        Linkage of every hierarchical step (ConsensusClusterPlus's default;
        FlowSOM's plain hierarchical clustering takes "ward").
    max_clusters : int, default=20
        The largest count that ``n_clusters="auto"`` tries (FlowSOM's
        ``maxMeta``); at most the number of nodes.
    selection : {"elbow", "cdf_area"}, default="elbow"
        How "auto" chooses: "elbow", FlowSOM's rule, the elbow of the
        within-group sum of squares of the nodes against the count (after
        FlowSOM's smoothing); "cdf_area", the elbow of the area under the
        consensus CDF against the count, where its relative change falls
        off (Monti et al.'s criterion).
    resamples : int, default=100
        Subsamples of the consensus.
    subsample : float in (0, 1], default=0.9
        Share of the nodes in each subsample (``floor`` of it, at least the
        largest count).
    feature_fraction : float in (0, 1], default=1.0
        Share of the features in each subsample (at least one).
    random_state : int, RandomState instance or None, default=None
        Seeds the subsamples; an int gives the same groups on every run.
    n_jobs : int, default=None
        Threads of the map's engine calls, set on the map when given (see
        :class:`SOM`); the groups do not depend on it.

    Attributes
    ----------
    som_ : SOM
        The fitted map.
    node_labels_ : ndarray of shape (rows * columns,), int64
        Group of every node, numbered 0, 1, ... in node order of first
        appearance; nodes that win no row have one too.
    labels_ : ndarray of shape (n_samples,), int64
        Group of every training row (-1 for a row without a BMU).
    n_clusters_ : int
        Number of groups.
    cluster_centers_ : ndarray of shape (n_clusters_, n_features), float64
        Mean of the node vectors of each group.
    consensus_ : ndarray of shape (rows * columns, rows * columns) or None
        Consensus matrix of the chosen count (None without consensus).
    scores_ : dict of ndarray or None
        With ``n_clusters="auto"``, for every count tried from 1
        (``"n_clusters"``): ``"sum_of_squares"``, ``"cdf_area"`` and its
        relative change ``"delta_area"``.
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        As the map's.

    Notes
    -----
    Consensus clustering follows ConsensusClusterPlus with FlowSOM's
    settings (``reps=100, pItem=0.9, pFeature=1``, hierarchical clustering
    on Euclidean distances). Each subsample draws ``floor(n * subsample)``
    nodes without replacement (and features when ``feature_fraction < 1``)
    from a ``numpy.random.RandomState`` made from ``random_state``, clusters
    them with ``linkage`` and cuts the tree into each count wanted. The
    consensus of two nodes is the share of the subsamples holding both that
    put them together; the final groups come from ``linkage`` on
    ``1 - consensus``. With "auto", counts 2 to ``max_clusters`` are each
    clustered so; the sums of squares are FlowSOM's ``maxMeta`` criterion,
    the areas under the distribution of the consensus values (100 bins, as
    ConsensusClusterPlus draws it) Monti et al.'s. Trees are SciPy's and cut
    as R's ``cutree`` does; nothing depends on threads, chunks or scheduler.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel import SOM, Metaclusters
    >>> rng = np.random.default_rng(0)
    >>> X = np.concatenate([rng.normal(c, 0.2, size=(300, 3)) for c in (0, 2, 4)])
    >>> meta = Metaclusters(SOM(6, 6, epochs=5), n_clusters=3, random_state=0).fit(X)
    >>> np.bincount(meta.labels_).tolist()
    [300, 300, 300]
    """

    _parameter_constraints: dict = {
        "som": [SOM, None],
        "n_clusters": [_Count(Integral, 1, None, closed="left"), StrOptions({"auto"})],
        "method": [StrOptions(set(METHODS))],
        "linkage": [StrOptions(set(LINKAGES))],
        "max_clusters": [_Count(Integral, 3, None, closed="left")],
        "selection": [StrOptions(set(SELECTIONS))],
        "resamples": [_Count(Integral, 1, None, closed="left")],
        "subsample": [Interval(Real, 0, 1, closed="right")],
        "feature_fraction": [Interval(Real, 0, 1, closed="right")],
        "random_state": CONSTRAINTS["random_state"],
        "n_jobs": CONSTRAINTS["n_jobs"],
    }

    def __init__(
        self,
        som: SOM | None = None,
        n_clusters: int | str = 10,
        *,
        method: str = "consensus",
        linkage: str = "average",
        max_clusters: int = 20,
        selection: str = "elbow",
        resamples: int = 100,
        subsample: float = 0.9,
        feature_fraction: float = 1.0,
        random_state: int | np.random.RandomState | None = None,
        n_jobs: int | None = None,
    ) -> None:
        store_parameters(self, locals())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        som = SOM() if self.som is None else self.som
        tags.input_tags.sparse = som.__sklearn_tags__().input_tags.sparse
        tags.input_tags.allow_nan = som.__sklearn_tags__().input_tags.allow_nan
        return tags

    @_fit_context(prefer_skip_nested_validation=False)
    def fit(self, X, y=None) -> Metaclusters:
        """Fit the map where it is not fitted, group its nodes, and label
        the rows of ``X``.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array or DataFrame} of shape (n_samples, n_features)
            Whatever the map takes.
        y : None
            Ignored.

        Returns
        -------
        self : Metaclusters
        """
        som = self._map(X)
        vectors = som.codebook_.reshape(-1, som.codebook_.shape[-1]).astype(np.float64)
        n_nodes = len(vectors)
        count = self._checked_count(n_nodes)
        rng = check_random_state(self.random_state)
        consensus, scores = None, None
        if self.method == "consensus" or count is None:
            result = consensus_clustering(
                vectors, count, max_clusters=self.max_clusters, selection=self.selection,
                resamples=self.resamples, subsample=self.subsample,
                feature_fraction=self.feature_fraction, method=self.linkage, rng=rng,
            )  # fmt: skip
            node_labels, consensus, scores = result.labels, result.matrix, result.scores
            if self.method == "agglomerative":
                node_labels = hierarchical(vectors, [int(node_labels.max()) + 1], self.linkage)[0]
        else:
            node_labels = hierarchical(vectors, [count], self.linkage)[0]
        nodes = som.labels_
        # Everything checked and computed: the new state at once, so that a
        # failed fit leaves a fitted estimator as it was.
        self.som_ = som
        self.node_labels_ = node_labels
        self.n_clusters_ = int(node_labels.max()) + 1
        self.cluster_centers_ = np.stack(
            [vectors[node_labels == g].mean(axis=0) for g in range(self.n_clusters_)]
        )
        self.consensus_ = consensus
        self.scores_ = scores
        self.labels_ = _groups(node_labels, nodes)
        self.n_features_in_ = som.n_features_in_
        if hasattr(som, "feature_names_in_"):
            self.feature_names_in_ = som.feature_names_in_
        else:
            self.__dict__.pop("feature_names_in_", None)
        return self

    def _map(self, X) -> SOM:
        """The fitted map, its ``labels_`` those of the rows of ``X``."""
        som = SOM(columns=10, rows=10) if self.som is None else self.som
        try:
            check_is_fitted(som, "codebook_")
        except NotFittedError:
            som = clone(som)
            if self.n_jobs is not None:
                som.set_params(n_jobs=self.n_jobs)
            return som.fit(X)
        som = copy.deepcopy(som)
        if self.n_jobs is not None:
            som.set_params(n_jobs=self.n_jobs)
        nodes = som.predict(X)
        som.labels_ = nodes if isinstance(nodes, np.ndarray) else np.asarray(nodes.compute())
        return som

    def _checked_count(self, n_nodes: int) -> int | None:
        """The fixed count (None for "auto") once it fits the map and the
        subsamples."""
        if self.n_clusters == "auto":
            if self.max_clusters > n_nodes:
                raise ValueError(
                    f"max_clusters={self.max_clusters} is more than the map's "
                    f"{n_nodes} nodes; take at most {n_nodes}."
                )
            largest, count = self.max_clusters, None
        else:
            if self.n_clusters > n_nodes:
                raise ValueError(
                    f"n_clusters={self.n_clusters} is more than the map's {n_nodes} "
                    f"nodes; take at most {n_nodes}."
                )
            largest = count = self.n_clusters
        if self.method == "consensus" or count is None:
            size = subsample_size(n_nodes, self.subsample)
            if size < max(2, largest):
                raise ValueError(
                    f"subsample={self.subsample} leaves {size} of the {n_nodes} nodes in "
                    f"each subsample, fewer than the {max(2, largest)} groups it must "
                    f"be cut into; take a larger subsample."
                )
        return count

    def predict(self, X):
        """Group of every row: that of its BMU (-1 for a row without one).

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array or DataFrame} of shape (n_samples, n_features)

        Returns
        -------
        labels : ndarray of shape (n_samples,), int64
            A dask array for dask input.
        """
        check_is_fitted(self, "node_labels_")
        nodes = self.som_.predict(X)
        if isinstance(nodes, np.ndarray):
            return _groups(self.node_labels_, nodes)
        return nodes.map_blocks(_groups_of_block, self.node_labels_, dtype=np.int64)

    def transform(self, X):
        """Euclidean distance of every row to every group's centre
        (``cluster_centers_``), in float64 from the rows as float32.

        Parameters
        ----------
        X : {array-like, dask array or DataFrame} of shape (n_samples, n_features)

        Returns
        -------
        distances : ndarray of shape (n_samples, n_clusters_), float64
            A dask array for dask input. NaN in a row gives NaN.
        """
        check_is_fitted(self, "node_labels_")
        centres = self.cluster_centers_
        if hasattr(X, "__dask_graph__"):
            array = _dask_array(self, X)
            return array.map_blocks(
                _centre_distances, centres, dtype=np.float64,
                chunks=(array.chunks[0], (len(centres),)),
            )  # fmt: skip
        allow_nan = self.som_.__sklearn_tags__().input_tags.allow_nan
        X = validate_data(
            self, X, reset=False, dtype=np.float32, accept_sparse=False,
            ensure_all_finite="allow-nan" if allow_nan else True,
        )  # fmt: skip
        return _centre_distances(X, centres)


def _groups(node_labels: np.ndarray, nodes: np.ndarray) -> np.ndarray:
    """The group of each BMU index; -1 stays -1."""
    nodes = np.asarray(nodes, dtype=np.int64)
    return np.where(nodes >= 0, node_labels[np.maximum(nodes, 0)], -1)


def _groups_of_block(nodes: np.ndarray, node_labels: np.ndarray) -> np.ndarray:
    return _groups(node_labels, nodes)


# Rows per step of the distances: a bounded float64 scratch.
_ROWS_PER_STEP = 1 << 16


def _centre_distances(X, centres: np.ndarray) -> np.ndarray:
    """Distances summed feature by feature in increasing order, so that a
    row's distances do not depend on the rows beside it."""
    X = np.asarray(X, dtype=np.float32)
    if X.ndim != 2 or X.shape[1] != centres.shape[1]:
        raise ValueError(
            f"X has {X.shape[-1] if X.ndim else 0} features, but the groups' centres "
            f"have {centres.shape[1]}."
        )
    out = np.empty((len(X), len(centres)), dtype=np.float64)
    for begin in range(0, len(X), _ROWS_PER_STEP):
        rows = X[begin : begin + _ROWS_PER_STEP].astype(np.float64)
        total = np.zeros((len(rows), len(centres)))
        for j in range(centres.shape[1]):
            total += (rows[:, j, None] - centres[None, :, j]) ** 2
        out[begin : begin + len(rows)] = np.sqrt(total)
    return out


def _dask_array(estimator: Metaclusters, X):
    """A dask array of the features as the map saw them, one chunk across."""
    columns = getattr(X, "columns", None)
    if columns is not None:
        names = getattr(estimator, "feature_names_in_", None)
        if names is not None and list(columns) != list(names):
            raise ValueError(
                f"The DataFrame's columns {list(columns)} are not those the map was "
                f"fitted with, {list(names)}."
            )
        X = X.to_dask_array(lengths=True)
    if X.ndim != 2 or X.shape[1] != estimator.n_features_in_:
        raise ValueError(
            f"X has shape {X.shape}, but the map was fitted with "
            f"{estimator.n_features_in_} features."
        )
    return X.rechunk({1: -1})
