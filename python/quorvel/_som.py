"""The map estimator: parameters, fit, and what a fitted map answers.

``fit`` validates the parameters and the input, builds the starting
codebook and hands a source of rows to the one training loop
(``_training.train``); every method after it reads rows through the same
source protocol, whatever holds them.
"""

from __future__ import annotations

import math
import warnings

import numpy as np
from sklearn.base import BaseEstimator, ClusterMixin, TransformerMixin, _fit_context
from sklearn.utils.validation import check_array, check_is_fitted

from . import _io
from ._init import initial_codebook, pca_rows, reads_pca_rows
from ._params import (
    CONSTRAINTS,
    MapLayout,
    map_layout,
    sigmas,
    store_parameters,
    threads,
)
from ._quality import MapQualityWarning, check_map
from ._sources import RowSource, as_source
from ._training import measure, train, umatrix


class SOM(ClusterMixin, TransformerMixin, BaseEstimator):
    """A self-organizing map trained in batch, exactly.

    Each epoch finds every row's best-matching unit (BMU) under the epoch's
    starting codebook, then replaces every node by the neighbourhood-weighted
    mean of all rows. The result is the same bits for every thread count and
    machine: distances are float32 sums in a fixed order, and the update is
    computed from per-node sums kept as integers.

    Parameters
    ----------
    columns, rows : int, default=10
        The map's size; node ``k = y * columns + x`` is node ``(x, y)``.
    epochs : int, default=20
        Number of batch epochs; 0 keeps the initial codebook.
    grid : {"hexagonal", "rectangular"}, default="hexagonal"
        Rectangular: node ``(x, y)`` sits at ``(x, y)``. Hexagonal: odd rows
        are shifted right by half a cell, node ``(x, y)`` at
        ``(x + 0.5 * (y mod 2), y * sqrt(3) / 2)``, so that every inner node
        has six neighbours at distance 1.
    topology : {"planar", "toroid"}, default="planar"
        On a toroid, grid distances go the shortest way round both axes; a
        hexagonal toroid needs an even number of rows.
    neighbourhood : {"gaussian", "bubble", "cut_gaussian"}, default="gaussian"
        The weight of a row for a node at grid distance ``d`` from the row's
        BMU, at width ``sigma``: ``exp(-d**2 / (2 * sigma**2))``; 1 where
        ``d <= sigma`` else 0; the gaussian where ``d <= sigma`` else 0.
    sigma_start : float, default=None
        Width of the first epoch; None takes a quarter of the map's shorter
        side, ``min(columns, rows) / 4`` (of the longer side for a map of one
        row or column; at least 1).
    sigma_end : float, default=None
        Width of the last epoch; None takes 0.1 (or ``sigma_start`` when that
        is smaller), where a neighbour's weight is nil, so that the last
        epochs move each node to the mean of its own rows.
    cooling : {"linear", "exponential"} or None, default=None
        Width of epoch ``e`` of ``E``: ``s0 + (s1 - s0) * e / (E - 1)``, or
        ``s0 * (s1 / s0) ** (e / (E - 1))``; a single epoch takes ``s0``.
        None takes "exponential" when ``sigma_end`` is None and "linear"
        when it is given, so that a schedule whose last width was chosen
        keeps the widths it always had.
    init : {"pca", "random", "sample"} or array-like, default="pca"
        Initial codebook. "pca": nodes evenly spaced over the plane of the
        first two principal components of at most 16,384 rows evenly spaced
        through ``X``, two standard deviations either side of the mean along
        each, the map's longer side along the first, each component's entry
        of largest magnitude positive; a function of the data alone, whatever
        ``random_state`` (eigenvectors of the covariance up to 1,024
        features, a subspace iteration above: see Notes). "random": uniform
        values within each feature's range. "sample": rows of ``X`` drawn
        without replacement (with replacement when the map has more nodes
        than ``X`` rows). Or an array of shape ``(rows, columns,
        n_features)`` or ``(rows * columns, n_features)``.
    random_state : int, RandomState instance or None, default=None
        Seeds "random" and "sample".
    n_jobs : int, default=None
        Threads of each engine call; None or -1 all cores (the OpenMP
        runtime's default), -2 all but one, and so on. The results do not
        depend on it, and OpenMP's settings for the rest of the process are
        left alone.
    verbose : bool, default=False
        Show a progress bar over the epochs with the current quantization
        error.
    missing : {"error", "ignore"}, default="error"
        What NaN in ``X`` means: "error" refuses it (ValueError naming the
        count and the first position); "ignore" reads it as a missing value
        (see Notes). Infinite values are refused either way.
    max_missing : float in [0, 1], default=0.5
        With ``missing="ignore"``, a row whose share of missing values is
        strictly above this has no BMU and is left out, as with R kohonen's
        ``maxNA.fraction``; a row without any observed value always is.

    Attributes
    ----------
    codebook_ : ndarray of shape (rows, columns, n_features), float32
        The trained map.
    umatrix_ : ndarray of shape (rows, columns), float32
        Mean Euclidean distance from each node's vector to those of its
        neighbours (the other nodes within grid distance 1.5: 8 on a
        rectangular grid, 6 on a hexagonal one, wrapping on a toroid).
    labels_ : ndarray of shape (n_samples,), int64
        BMU node index of every training row under the final codebook; -1
        for a row without a BMU (``missing="ignore"``, see Notes). Not set
        after an interrupted fit.
    quantization_error_, topographic_error_ : float
        Of the training data under the final codebook.
    history_ : dict of ndarray
        One entry per completed epoch: ``"sigma"``, the width it used, and
        ``"quantization_error"``, the quantization error of the training data
        under the codebook right after it (NaN for the last epoch of an
        interrupted fit, which stopped before measuring it).
    n_iter_ : int
        Epochs completed.
    n_features_in_ : int
        Features seen in fit.
    feature_names_in_ : ndarray of str
        Column names, when fitted on a DataFrame with string column names.

    Notes
    -----
    The distance of a row to a node is the float32 sum of the squared
    component differences in increasing feature order (no fused
    multiply-add); ties go to the lowest node index. The update sums every
    feature of the rows of each BMU as 64-bit integers, at a power-of-two
    scale chosen per feature from its largest magnitude and the row count, so
    that no row's contribution is lost at double precision and the sums do
    not depend on the order of the rows. The neighbourhood is then applied in
    double precision node to node in a fixed order, and each mean rounded once
    to float32. A node whose total weight is 0 keeps its vector.

    The quantization error is the mean Euclidean distance of each row to its
    BMU's vector; the topographic error the share of rows whose best and
    second-best nodes are not neighbours.

    The default schedule: with only the map's size set, the width falls
    exponentially over 20 epochs from a quarter of the map's shorter side to
    0.1. The wide epochs order the map; in the narrow ones a neighbour's
    weight is nil and each node moves to the mean of its own rows, as in
    k-means, which lowers the quantization error. A larger ``sigma_end``
    (0.5 to 1) gives a smoother map: a lower topographic error and a higher
    quantization error.

    Sparse input trains through the engine's sparse kernels without being
    densified, with the same bits as the dense input of the same values.

    The "pca" start: with ``a`` evenly spaced from -1 to 1 along the map's
    longer side and ``b`` along the shorter (0 for a side of one node),
    node ``(x, y)`` is ``mean + a * 2 s1 v1 + b * 2 s2 v2`` in float64,
    rounded once to float32 (within float32's range), where ``v1`` and
    ``v2`` are the first two principal components of the rows read (at
    most 16,384, evenly spaced by index), ``s1`` and ``s2`` their standard
    deviations (square roots of the covariance's eigenvalues, divisor
    ``n``), and each component's sign makes its entry of largest magnitude
    (the first of equal ones) positive. Up to 1,024 features the components
    are eigenvectors of the covariance matrix (``numpy.linalg.eigh``,
    float64). Above, where that matrix would take features squared memory
    and cubed time, a subspace iteration finds them without it and without
    densifying sparse input: 8 vectors drawn from a fixed seed, multiplied
    8 times by the covariance of the rows centred on their mean (the
    centring is never materialised), with Gram-Schmidt orthonormalisation
    after each multiplication, then Rayleigh-Ritz: the eigenvectors of the
    covariance on the 8 vectors' span, by Jacobi rotations, and their
    eigenvalues as the variances. Its sums over rows are the engine's (each
    projection one double sum in feature order, the sums over rows 64-bit
    fixed-point integers), so this start too has the same bits for every
    thread count, chunking and machine, and for dense and sparse input of
    the same values. Where the leading eigenvalues stand apart it agrees
    with the eigenvectors to rounding; where they crowd together (text),
    the plane still carries nearly the most variance a plane can.

    Missing values: with ``missing="ignore"``, NaN in ``X`` marks a missing
    value (in sparse input only a stored NaN: an absent entry is a zero). A
    row observes the features whose value is not NaN. Its squared distance to
    a node is the float32 sum over the observed features, in increasing
    order, of the squared differences, times ``q = float32(n_features) /
    float32(observed)`` (one float32 division, then one float32
    multiplication), so that rows with few values are not drawn to any node;
    ties go to the lowest node index. A complete row has ``q = 1`` exactly
    and the bits it has in data without NaN. A row that observes no feature,
    or whose missing fraction (``missing / n_features`` in float64) is
    strictly above ``max_missing``, has no BMU: ``predict`` and ``labels_``
    give -1 and ``transform`` NaN for it, it adds nothing to the sums, and
    the error measures leave it out (they are over the rows that have a BMU;
    NaN where none has). The update keeps, per node and feature, the
    fixed-point sum of the observed values and the count of rows that
    observe the feature; each component becomes the neighbourhood-weighted
    mean over those rows (a denominator per feature, summed in the order of
    the complete case), and a component without observed weight keeps its
    value. "pca" takes each feature's mean over the rows that observe it and
    the pairwise-complete covariance (over the rows that observe both
    features) from the same evenly spaced rows (above 1,024 features, which
    the pairwise-complete covariance has no cheap form for, it fills each
    missing value with that mean, rounded to float32, and takes the plane of
    the filled rows: mean imputation, a missing value counting as 0 once
    centred); "random" the range of the
    observed values; "sample" fills the drawn rows' missing values with
    those means (0 for a feature that none of those rows observes).
    :meth:`impute` fills missing values from the BMU's vector. Data without
    NaN go through the ordinary kernels: the same bits under either setting.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel import SOM
    >>> X = np.random.default_rng(0).normal(size=(500, 4))
    >>> som = SOM(8, 6, grid="rectangular", epochs=8).fit(X)
    >>> som.predict(X[:3]).shape
    (3,)
    >>> bool(som.quantization_error(X) < 1.5)
    True
    """

    _parameter_constraints: dict = CONSTRAINTS

    def __init__(
        self,
        columns: int = 10,
        rows: int = 10,
        *,
        epochs: int = 20,
        grid: str = "hexagonal",
        topology: str = "planar",
        neighbourhood: str = "gaussian",
        sigma_start: float | None = None,
        sigma_end: float | None = None,
        cooling: str | None = None,
        init: str | np.ndarray = "pca",
        random_state: int | np.random.RandomState | None = None,
        n_jobs: int | None = None,
        verbose: bool = False,
        missing: str = "error",
        max_missing: float = 0.5,
    ) -> None:
        store_parameters(self, locals())

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = self.missing == "ignore"  # missing values
        return tags

    # ------------------------------------------------------------------
    # Training

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None) -> SOM:
        """Train the map on ``X``.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)
            Training rows. Any real dtype (converted once to float32), lists,
            DataFrames, every scipy.sparse format, dask arrays and DataFrames.
        y : None
            Ignored.

        Returns
        -------
        self : SOM
            The fitted estimator.

        Raises
        ------
        KeyboardInterrupt
            After Ctrl-C: the estimator then holds the codebook of the
            completed epochs with ``codebook_``, ``umatrix_``, ``history_``
            and ``n_iter_`` describing it, and no ``labels_``,
            ``quantization_error_`` or ``topographic_error_`` (those of an
            earlier fit are gone too; ``predict`` and the error methods give
            them for the kept codebook).
        """
        before = dict(self.__dict__)
        try:
            state = self._fit(X)
        except BaseException:
            # A failed fit leaves a fitted estimator as it was.
            self.__dict__.clear()
            self.__dict__.update(before)
            raise
        if state.final is not None:
            nodes = state.final.nodes
            counts = np.bincount(nodes[nodes >= 0], minlength=self._fitted_layout.n_nodes)
            for message in check_map(counts, self.history_["sigma"], self._fitted_layout):
                # Two frames up: past scikit-learn's validating wrapper.
                warnings.warn(message, MapQualityWarning, stacklevel=3)
        if state.interrupted:
            raise KeyboardInterrupt(
                f"SOM.fit interrupted after {self.n_iter_} of {self.epochs} epochs; "
                f"the estimator keeps the codebook they made, without labels_, "
                f"quantization_error_ and topographic_error_"
            )
        return self

    def _fit(self, X):
        layout = map_layout(self.columns, self.rows, self.grid, self.topology)
        widths = sigmas(self.columns, self.rows, self.epochs, self.sigma_start,
                        self.sigma_end, self.cooling)  # fmt: skip
        team = threads(self.n_jobs)
        allow_nan = self.missing == "ignore"
        prefetch = pca_rows if reads_pca_rows(self.init, allow_nan) else None
        source = self._source(X, reset=True, prefetch=prefetch)
        codebook = initial_codebook(self.init, source, layout, self.random_state, team)
        state = train(source, codebook, layout, widths, self.neighbourhood, team,
                      verbose=bool(self.verbose))  # fmt: skip
        for name in ("labels_", "quantization_error_", "topographic_error_"):
            self.__dict__.pop(name, None)
        if state.final is not None:
            self.labels_ = state.final.nodes.astype(np.int64)
            self.quantization_error_ = state.final.quantization_error()
            self.topographic_error_ = state.final.topographic_error(layout)
        done = len(state.sigmas)
        # After an interruption, the error after the last completed epoch
        # was not measured yet.
        errors = state.errors + [math.nan] * (done - len(state.errors))
        self.codebook_ = state.codebook.reshape(layout.rows, layout.columns, -1)
        self.umatrix_ = umatrix(state.codebook, layout, team)
        self.history_ = {
            "sigma": np.asarray(state.sigmas, dtype=np.float64),
            "quantization_error": np.asarray(errors[:done], dtype=np.float64),
        }
        self.n_iter_ = done
        # Prediction reads the map of the fit, not the map's parameters,
        # until the next successful fit.
        self._fitted_layout = layout
        return state

    def _source(self, X, *, reset: bool, allow_nan: bool | None = None,
                prefetch=None) -> RowSource:  # fmt: skip
        return as_source(
            X, self, reset=reset,
            allow_nan=self.missing == "ignore" if allow_nan is None else allow_nan,
            max_missing=float(self.max_missing), prefetch=prefetch,
        )  # fmt: skip

    # ------------------------------------------------------------------
    # Using the map

    def _fitted(self) -> tuple[MapLayout, np.ndarray]:
        check_is_fitted(self, "codebook_")
        layout = getattr(self, "_fitted_layout", None)
        if layout is None:  # a map restored from a file or an older pickle
            layout = map_layout(self.columns, self.rows, self.grid, self.topology)
        return layout, self.codebook_.reshape(layout.n_nodes, -1)

    def _fitted_parameters(self) -> dict:
        """The parameters with the map of the fit, for saving."""
        layout, _ = self._fitted()
        return {**self.get_params(), "columns": layout.columns, "rows": layout.rows,
                "grid": layout.grid, "topology": layout.topology}  # fmt: skip

    def _using(self, X, **kwargs) -> tuple[RowSource, np.ndarray, MapLayout, int]:
        layout, codebook = self._fitted()
        source = self._source(X, reset=False, **kwargs)
        return source, codebook, layout, threads(self.n_jobs)

    def predict(self, X) -> np.ndarray:
        """BMU node index ``y * columns + x`` of every row.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)

        Returns
        -------
        labels : ndarray of shape (n_samples,), int64
            -1 for a row without a BMU (missing values); a dask array for
            dask input, computed block by block.
        """
        source, codebook, layout, team = self._using(X)
        return source.predict(codebook, layout, team)

    def transform(self, X) -> np.ndarray:
        """Euclidean distance of every row to every node.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)

        Returns
        -------
        distances : ndarray of shape (n_samples, rows * columns), float64
            The square roots of the float32 squared distances that the BMU
            search compares (a dask array for dask input).
        """
        source, codebook, layout, team = self._using(X)
        return source.transform(codebook, layout, team)

    def quantization_error(self, X) -> float:
        """Mean Euclidean distance of each row to its BMU's vector.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)

        Returns
        -------
        error : float
        """
        source, codebook, layout, team = self._using(X)
        return measure(source, codebook, layout, team).quantization_error()

    def topographic_error(self, X) -> float:
        """Share of rows whose best and second-best nodes are not neighbours
        (distinct nodes within grid distance 1.5); 0 on a map of one node.

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)

        Returns
        -------
        error : float
        """
        source, codebook, layout, team = self._using(X)
        search = source.search(codebook, layout, team, topographic=True, keep_nodes=False)
        return search.topographic_error(layout)

    def score(self, X, y=None) -> float:
        """Minus the quantization error of ``X`` (higher is better).

        Parameters
        ----------
        X : {array-like, sparse matrix, dask array} of shape (n_samples, n_features)
        y : None
            Ignored.

        Returns
        -------
        score : float
        """
        return -self.quantization_error(X)

    def impute(self, X):
        """``X`` with its missing values (NaN) filled from the BMU's vector.

        NaN always marks a missing value here, whatever ``missing`` says;
        each row's BMU follows the masked rule of the Notes, with this
        estimator's ``max_missing``. A row without a BMU keeps its NaN.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        X_filled : ndarray or CSR matrix of shape (n_samples, n_features)
            A copy of ``X``: float32 for float32 input, float64 otherwise;
            CSR for sparse input, where only stored NaN are filled.
        """
        source, codebook, layout, team = self._using(X, allow_nan=True)
        filled = check_array(
            X, accept_sparse="csr", dtype=(np.float64, np.float32),
            ensure_all_finite="allow-nan", copy=True,
        )  # fmt: skip
        return source.impute(codebook, layout, team, filled)

    def save(self, path) -> None:
        """Write the fitted map to ``path`` as a .npz file (see
        :func:`quorvel.load`)."""
        _io.save(self, path)


_io.register("quorvel.SOM", SOM)
