"""The map estimator."""

from __future__ import annotations

import math

import numpy as np
import scipy.sparse as sp
from sklearn.base import BaseEstimator, ClusterMixin, TransformerMixin, _fit_context
from sklearn.utils import check_random_state
from sklearn.utils.validation import check_array, check_is_fitted, validate_data
from tqdm.auto import tqdm

from . import _core
from ._data import (
    Rows,
    csr_for_engine,
    error_exponent,
    fixed_point_error,
    masked_mean_and_covariance,
    matched_error,
    mean_error,
    missing_error_exponent,
    missing_limit,
    observed_means,
)
from ._params import MapLayout
from ._dask import DaskRows, dask_rows, is_dask_collection  # dask input (imports dask lazily)
from ._geometry import are_neighbours
from ._io import register
from ._params import CONSTRAINTS, map_layout, sigmas, threads

# Nodes per call of the neighbourhood's application: about 2^27 weighted
# additions, so that a pending Ctrl-C is seen within a fraction of a second.
_NEIGHBOURHOOD_WORK_PER_CALL = 2**27


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
    epochs : int, default=10
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
        Width of the last epoch; None takes 1.0 (or ``sigma_start`` when that
        is smaller).
    cooling : {"linear", "exponential"}, default="linear"
        Width of epoch ``e`` of ``E``: ``s0 + (s1 - s0) * e / (E - 1)``, or
        ``s0 * (s1 / s0) ** (e / (E - 1))``; a single epoch takes ``s0``.
    init : {"pca", "random", "sample"} or array-like, default="pca"
        Initial codebook: nodes spread over the plane of the data's first two
        principal components (deterministic: computed in float64 from at most
        16,384 rows evenly spaced through ``X``; the map's longer side follows
        the first component, nodes spanning two standard deviations either
        side of the mean); uniform values within each feature's range; rows of ``X``
        drawn without replacement (with replacement when the map has more
        nodes than ``X`` rows); or an array of shape
        ``(rows, columns, n_features)`` or ``(rows * columns, n_features)``.
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

    Sparse input trains through the engine's sparse kernels without being
    densified, with the same bits as the dense input of the same values.

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
    features) from the same evenly spaced rows; "random" the range of the
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
        epochs: int = 10,
        grid: str = "hexagonal",
        topology: str = "planar",
        neighbourhood: str = "gaussian",
        sigma_start: float | None = None,
        sigma_end: float | None = None,
        cooling: str = "linear",
        init: str | np.ndarray = "pca",
        random_state: int | np.random.RandomState | None = None,
        n_jobs: int | None = None,
        verbose: bool = False,
        missing: str = "error",
        max_missing: float = 0.5,
    ) -> None:
        self.columns = columns
        self.rows = rows
        self.epochs = epochs
        self.grid = grid
        self.topology = topology
        self.neighbourhood = neighbourhood
        self.sigma_start = sigma_start
        self.sigma_end = sigma_end
        self.cooling = cooling
        self.init = init
        self.random_state = random_state
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.missing = missing
        self.max_missing = max_missing

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = self.missing == "ignore"  # missing values
        return tags

    # ------------------------------------------------------------------
    # Parameters

    def _layout(self) -> MapLayout:
        return map_layout(self.columns, self.rows, self.grid, self.topology)

    def _sigmas(self) -> np.ndarray:
        """The width of every epoch."""
        return sigmas(self.columns, self.rows, self.epochs, self.sigma_start,
                      self.sigma_end, self.cooling)  # fmt: skip

    def _threads(self) -> int:
        return threads(self.n_jobs)

    # ------------------------------------------------------------------
    # Input

    def _rows(self, X, *, reset: bool, missing: str | None = None) -> Rows:
        if is_dask_collection(X):  # dask input: read on its scheduler (_dask.py)
            return dask_rows(self, X, reset=reset)
        # A float64 beyond float32's range becomes infinite here and is
        # refused by _check_finite with its count and position.
        with np.errstate(over="ignore"):
            X = validate_data(
                self,
                X,
                reset=reset,
                accept_sparse="csr",
                dtype=np.float32,
                order="C",
                ensure_all_finite=False,
            )
        # Missing values: NaN marks one under missing="ignore" (and in impute).
        allow_nan = (self.missing if missing is None else missing) == "ignore"
        if sp.issparse(X):
            X = csr_for_engine(X)
            _check_finite(X.data, sparse=X, allow_nan=allow_nan)
            return self._missing_rule(Rows(csr=X), allow_nan)
        _check_finite(X, allow_nan=allow_nan)
        return self._missing_rule(Rows(dense=X), allow_nan)

    def _missing_rule(self, rows: Rows, allow_nan: bool) -> Rows:
        """Rows that follow the masked rule where NaN marks missing values
        and some are there; others keep the ordinary kernels."""
        if allow_nan and rows.has_nan():
            rows.most_missing = missing_limit(self.max_missing, rows.n_features)
        return rows

    # ------------------------------------------------------------------
    # Training

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None) -> SOM:
        """Train the map on ``X``.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            Training rows. Any real dtype (converted once to float32), lists,
            DataFrames, and every scipy.sparse format.
        y : None
            Ignored.

        Returns
        -------
        self : SOM
            The fitted estimator.
        """
        before = dict(self.__dict__)
        try:
            interrupted = self._fit(X)
        except BaseException:
            # A failed fit leaves a fitted estimator as it was.
            self.__dict__.clear()
            self.__dict__.update(before)
            raise
        if interrupted:
            raise KeyboardInterrupt(
                f"SOM.fit interrupted after {self.n_iter_} of {self.epochs} "
                f"epochs; the estimator keeps the codebook they made"
            )
        return self

    def _fit(self, X) -> bool:
        """Trains; returns whether Ctrl-C stopped it between or inside
        epochs, after setting the state of the completed ones."""
        layout = self._layout()
        sigmas = self._sigmas()
        threads = self._threads()
        rows = self._rows(X, reset=True)
        codebook = self._initial_codebook(rows, layout)
        training = _Training(rows, layout, self.neighbourhood, threads, codebook)
        try:
            with tqdm(
                total=len(sigmas), disable=not self.verbose, desc="SOM", unit="epoch"
            ) as bar:
                for sigma in sigmas:
                    training.epoch(float(sigma))
                    bar.update(1)
                    if training.errors:
                        bar.set_postfix(qe=f"{training.errors[-1]:.6g}")
            final = training.final_pass()
        except KeyboardInterrupt:
            self._set_fitted(layout, training, None)
            return True
        self._set_fitted(layout, training, final)
        return False

    def _set_fitted(self, layout, training, final) -> None:
        n_features = training.rows.n_features
        codebook = training.codebook
        for name in ("labels_", "quantization_error_", "topographic_error_"):
            self.__dict__.pop(name, None)
        errors = list(training.errors)
        if final is not None:
            labels, error, topographic = final
            errors.append(error)
            self.labels_ = labels.astype(np.int64)
            self.quantization_error_ = error
            self.topographic_error_ = topographic
        epochs_done = len(training.sigmas)
        # After an interruption, the error after the last completed epoch
        # was not measured yet.
        errors += [math.nan] * (epochs_done - len(errors))
        self.codebook_ = codebook.reshape(layout.rows, layout.columns, n_features)
        self.umatrix_ = _umatrix(codebook, layout, training.threads)
        self.history_ = {
            "sigma": np.asarray(training.sigmas, dtype=np.float64),
            "quantization_error": np.asarray(errors[:epochs_done], dtype=np.float64),
        }
        self.n_iter_ = epochs_done

    def _initial_codebook(self, rows: Rows, layout: MapLayout) -> np.ndarray:
        n_nodes, n_features = layout.n_nodes, rows.n_features
        init = self.init
        if isinstance(init, str):
            if init == "pca":
                codebook = _pca_codebook(rows, layout)
            elif init == "random":
                codebook = _random_codebook(rows, layout, check_random_state(self.random_state))
            else:
                rng = check_random_state(self.random_state)
                index = rng.choice(rows.n_rows, n_nodes, replace=rows.n_rows < n_nodes)
                codebook = _dense(rows.take(index))
                if getattr(rows, "most_missing", None) is not None:  # missing values
                    codebook = _filled(codebook, observed_means(_pca_subset(rows)))
            return np.ascontiguousarray(codebook, dtype=np.float32)
        array = np.asarray(init)
        if array.shape not in ((layout.rows, layout.columns, n_features), (n_nodes, n_features)):
            raise ValueError(
                f"The 'init' array must have shape (rows, columns, n_features) = "
                f"{(layout.rows, layout.columns, n_features)} or (rows * columns, "
                f"n_features) = {(n_nodes, n_features)}; got {array.shape}."
            )
        if not np.issubdtype(array.dtype, np.number) or np.iscomplexobj(array):
            raise ValueError(f"The 'init' array must hold real numbers; got dtype {array.dtype}.")
        with np.errstate(over="ignore"):
            codebook = np.array(array.reshape(n_nodes, n_features), dtype=np.float32, order="C")
        _check_finite(codebook, name="init")
        return codebook

    # ------------------------------------------------------------------
    # Using the map

    def _fitted_rows(self, X) -> tuple[Rows, np.ndarray, MapLayout]:
        check_is_fitted(self, "codebook_")
        rows = self._rows(X, reset=False)
        layout = self._layout()
        codebook = self.codebook_.reshape(layout.n_nodes, -1)
        return rows, codebook, layout

    def predict(self, X) -> np.ndarray:
        """BMU node index ``y * columns + x`` of every row.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        labels : ndarray of shape (n_samples,), int64
        """
        rows, codebook, layout = self._fitted_rows(X)
        if isinstance(rows, DaskRows):  # dask input: a lazy dask array
            return rows.predict(codebook, layout, self._threads())
        nodes, _, _, _ = rows.find_bmus(codebook, layout, self._threads())
        return nodes.astype(np.int64)

    def transform(self, X) -> np.ndarray:
        """Euclidean distance of every row to every node.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        distances : ndarray of shape (n_samples, rows * columns), float64
            The square roots of the float32 squared distances that the BMU
            search compares.
        """
        rows, codebook, layout = self._fitted_rows(X)
        if isinstance(rows, DaskRows):  # dask input: a lazy dask array
            return rows.transform(codebook, layout, self._threads())
        return rows.node_distances(codebook, layout, self._threads())

    def quantization_error(self, X) -> float:
        """Mean Euclidean distance of each row to its BMU's vector.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        error : float
        """
        rows, codebook, layout = self._fitted_rows(X)
        if isinstance(rows, DaskRows):  # dask input: integer partials per block
            return rows.quantization_error(codebook, layout, self._threads())
        if getattr(rows, "most_missing", None) is not None:  # missing values
            nodes, distances, _, _ = rows.find_bmus(codebook, layout, self._threads())
            exponent = missing_error_exponent(
                rows.max_abs(), codebook, rows.n_rows, rows.n_features, rows.most_missing
            )
            return matched_error(nodes, distances, exponent, rows.n_rows)
        _, distances, _, _ = rows.find_bmus(codebook, layout, self._threads())
        exponent = error_exponent(rows.max_abs(), codebook, rows.n_rows)
        total, overflows = fixed_point_error(distances, exponent, rows.n_rows)
        return mean_error(total, overflows, exponent, rows.n_rows)

    def topographic_error(self, X) -> float:
        """Share of rows whose best and second-best nodes are not neighbours
        (distinct nodes within grid distance 1.5); 0 on a map of one node.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        error : float
        """
        rows, codebook, layout = self._fitted_rows(X)
        if isinstance(rows, DaskRows):  # dask input: counts per block
            return rows.topographic_error(codebook, layout, self._threads())
        nodes, _, second, _ = rows.find_bmus(codebook, layout, self._threads(), seconds=True)
        return _topographic_error(nodes, second, layout)

    def score(self, X, y=None) -> float:
        """Minus the quantization error of ``X`` (higher is better).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
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
        check_is_fitted(self, "codebook_")
        rows = self._rows(X, reset=False, missing="ignore")
        if not isinstance(rows, Rows):
            raise TypeError("SOM.impute takes data in memory (arrays, DataFrames, sparse).")
        layout = self._layout()
        codebook = self.codebook_.reshape(layout.n_nodes, -1)
        out = check_array(
            X, accept_sparse="csr", dtype=(np.float64, np.float32),
            ensure_all_finite="allow-nan", copy=True,
        )  # fmt: skip
        if rows.most_missing is None:
            return out
        nodes, _, _, _ = rows.find_bmus(codebook, layout, self._threads())
        if sp.issparse(out):
            out = sp.csr_matrix(out)
            out.sum_duplicates()
            row_of = np.repeat(np.arange(out.shape[0]), np.diff(out.indptr))
            holes = np.flatnonzero(np.isnan(out.data))
            holes = holes[nodes[row_of[holes]] >= 0]
            out.data[holes] = codebook[nodes[row_of[holes]], out.indices[holes]]
            return out
        row, column = np.nonzero(np.isnan(out))
        keep = nodes[row] >= 0
        row, column = row[keep], column[keep]
        out[row, column] = codebook[nodes[row], column]
        return out

    def save(self, path) -> None:
        """Write the fitted map to ``path`` as a .npz file (see
        :func:`quorvel.load`)."""
        from ._io import save

        save(self, path)


class _Training:
    """The epochs of one fit over rows that stay in memory; the state after
    the last completed epoch is always at hand, for an interrupted fit."""

    def __init__(
        self, rows: Rows, layout: MapLayout, neighbourhood: str, threads: int,
        codebook: np.ndarray,
    ) -> None:  # fmt: skip
        self.rows = rows
        self.layout = layout
        self.neighbourhood = neighbourhood
        self.threads = threads
        self.max_abs = rows.max_abs()
        self.exponents = np.array(
            [_core.choose_exponent(float(m), max(1, rows.n_rows)) for m in self.max_abs],
            dtype=np.int32,
        )
        self.sigmas: list[float] = []
        # errors[e]: quantization error under the codebook after epoch e,
        # measured by the search of the epoch after it.
        self.errors: list[float] = []
        # The codebook after the last completed epoch.
        self.codebook = codebook

    def epoch(self, sigma: float) -> None:
        if getattr(self.rows, "most_missing", None) is not None:  # missing values
            return self._epoch_missing(sigma)
        codebook = self.codebook
        layout, rows = self.layout, self.rows
        n_nodes, n_features = layout.n_nodes, rows.n_features
        exponent = error_exponent(self.max_abs, codebook, rows.n_rows)
        sums, counts, totals = rows.accumulate(
            codebook, layout, self.exponents, exponent, self.threads
        )
        if self.sigmas:
            self.errors.append(
                mean_error(int(totals[0]), int(totals[1]), exponent, rows.n_rows)
            )
        new = np.empty_like(codebook)
        # The gaussian costs rows + columns weighted additions per node (it
        # factors over the axes) but sums every map row once per call: one
        # call for the whole map. The others cost one addition per node pair.
        per_node = (
            layout.rows + layout.columns if self.neighbourhood == "gaussian" else n_nodes
        )
        step = max(1, _NEIGHBOURHOOD_WORK_PER_CALL // max(1, per_node * (n_features + 1)))
        if self.neighbourhood == "gaussian":
            step = n_nodes
        for begin in range(0, n_nodes, step):
            _core.apply_neighbourhood(
                codebook, layout.columns, layout.rows, layout.grid, layout.topology,
                self.neighbourhood, sigma, sums, counts, self.exponents, new,
                begin, min(n_nodes, begin + step), self.threads,
            )  # fmt: skip
        self.sigmas.append(sigma)
        self.codebook = new

    def final_pass(self):
        """Labels, quantization and topographic error under the final
        codebook."""
        if isinstance(self.rows, DaskRows):  # dask input: errors summed per block
            return self.rows.final_pass(self.codebook, self.layout, self.max_abs, self.threads)
        if getattr(self.rows, "most_missing", None) is not None:  # missing values
            return self._final_pass_missing()
        codebook = self.codebook
        rows, layout = self.rows, self.layout
        nodes, distances, second, _ = rows.find_bmus(codebook, layout, self.threads, seconds=True)
        exponent = error_exponent(self.max_abs, codebook, rows.n_rows)
        total, overflows = fixed_point_error(distances, exponent, rows.n_rows)
        error = mean_error(total, overflows, exponent, rows.n_rows)
        return nodes, error, _topographic_error(nodes, second, layout)

    # ------------------------------------------------------------------
    # Missing values: the masked rule (see SOM's Notes).

    def _missing_error_exponent(self, codebook: np.ndarray) -> int:
        rows = self.rows
        return missing_error_exponent(
            self.max_abs, codebook, rows.n_rows, rows.n_features, rows.most_missing
        )

    def _epoch_missing(self, sigma: float) -> None:
        """An epoch under the masked rule: sums over the observed values
        with a weight per node and feature, then the neighbourhood with a
        denominator per feature."""
        codebook = self.codebook
        layout, rows = self.layout, self.rows
        n_nodes, n_features = layout.n_nodes, rows.n_features
        exponent = self._missing_error_exponent(codebook)
        sums, observed, counts, totals = rows.accumulate_missing(
            codebook, layout, self.exponents, exponent, self.threads
        )
        if self.sigmas:
            self.errors.append(
                mean_error(int(totals[0]), int(totals[1]), exponent, int(counts.sum()))
            )
        new = np.empty_like(codebook)
        # As in epoch: the gaussian in one call, the others in pieces.
        step = n_nodes
        if self.neighbourhood != "gaussian":
            work = n_nodes * (2 * n_features + 1)
            step = max(1, _NEIGHBOURHOOD_WORK_PER_CALL // max(1, work))
        for begin in range(0, n_nodes, step):
            _core.apply_neighbourhood_missing(
                codebook, layout.columns, layout.rows, layout.grid, layout.topology,
                self.neighbourhood, sigma, sums, observed, self.exponents, new,
                begin, min(n_nodes, begin + step), self.threads,
            )  # fmt: skip
        self.sigmas.append(sigma)
        self.codebook = new

    def _final_pass_missing(self):
        codebook = self.codebook
        rows, layout = self.rows, self.layout
        nodes, distances, second, _ = rows.find_bmus(codebook, layout, self.threads, seconds=True)
        error = matched_error(nodes, distances, self._missing_error_exponent(codebook), rows.n_rows)
        return nodes, error, _topographic_error(nodes, second, layout)


def _check_finite(
    values: np.ndarray, *, sparse=None, name: str = "X", allow_nan: bool = False
) -> None:
    """ValueError naming the count and the first position of NaN or infinite
    values (a float64 beyond float32's range has become infinite); of
    infinite values only with ``allow_nan`` (NaN then marks missing values)."""
    step = 1 << 20
    flat = values.reshape(-1)
    bad = 0
    first = None
    for begin in range(0, flat.size, step):
        chunk = flat[begin : begin + step]
        mask = np.isinf(chunk) if allow_nan else ~np.isfinite(chunk)
        count = int(np.count_nonzero(mask))
        if count and first is None:
            first = begin + int(np.argmax(mask))
        bad += count
    if not bad:
        return
    if sparse is not None:
        row = int(np.searchsorted(sparse.indptr, first, side="right") - 1)
        where = f"row {row}, column {int(sparse.indices[first])}"
    elif values.ndim == 2:
        row, column = divmod(first, values.shape[1])
        where = f"row {row}, column {column}"
    else:
        where = f"position {first}"
    if allow_nan:  # missing values: NaN is one, infinities are refused
        raise ValueError(
            f"{name} contains {bad} infinite value{'s' if bad > 1 else ''} (values "
            f"beyond float32's range become infinite; NaN marks a missing value "
            f"under missing='ignore'); the first is at {where}."
        )
    raise ValueError(
        f"{name} contains {bad} NaN or infinite value{'s' if bad > 1 else ''} "
        f"(values beyond float32's range become infinite); the first is at {where}."
    )


def _topographic_error(nodes: np.ndarray, second: np.ndarray, layout: MapLayout) -> float:
    if nodes.size and nodes.min() < 0:  # missing values: rows with a BMU only
        nodes, second = nodes[nodes >= 0], second[nodes >= 0]
    if nodes.size == 0:
        return float("nan")
    if layout.n_nodes == 1:
        return 0.0
    neighbours = are_neighbours(
        layout.columns, layout.rows, layout.grid, layout.topology, nodes, second
    )
    return float(np.count_nonzero(~neighbours)) / nodes.size


def _umatrix(codebook: np.ndarray, layout: MapLayout, threads: int) -> np.ndarray:
    out = np.empty(layout.n_nodes, dtype=np.float32)
    _core.umatrix(codebook, layout.columns, layout.rows, layout.grid, layout.topology, out, threads)
    return out.reshape(layout.rows, layout.columns)


def _pca_codebook(rows: Rows, layout: MapLayout) -> np.ndarray:
    """Nodes on the plane of the first two principal components, in float64:
    two standard deviations either side of the mean along each, the map's
    longer side along the first. Each component's sign makes its largest
    entry positive, so the result is a function of the data alone."""
    mean, covariance = _mean_and_covariance(rows)
    n_features = rows.n_features
    values, vectors = np.linalg.eigh(covariance)
    order = np.argsort(values, kind="stable")[::-1]
    components = []
    for i in order[:2]:
        vector = vectors[:, i]
        vector = vector * (1.0 if vector[np.argmax(np.abs(vector))] >= 0 else -1.0)
        components.append(vector * 2.0 * math.sqrt(max(values[i], 0.0)))
    while len(components) < 2:
        components.append(np.zeros(n_features))

    def spread(count: int) -> np.ndarray:
        return np.linspace(-1.0, 1.0, count) if count > 1 else np.zeros(1)

    y, x = np.divmod(np.arange(layout.n_nodes), layout.columns)
    along_x, along_y = spread(layout.columns)[x], spread(layout.rows)[y]
    first, second = (along_x, along_y) if layout.columns >= layout.rows else (along_y, along_x)
    codebook = mean + first[:, None] * components[0] + second[:, None] * components[1]
    # Two standard deviations out can pass float32's range for data near it.
    largest = float(np.finfo(np.float32).max)
    return np.clip(codebook, -largest, largest)


# The principal components come from at most this many rows, evenly spaced
# through the data by index: enough for two directions, and the same rows
# however the data are split into chunks or partitions.
PCA_ROWS = 16384


def pca_rows(n_rows: int) -> np.ndarray:
    """Indices of the rows that the "pca" initialisation reads."""
    count = min(n_rows, PCA_ROWS)
    return (np.arange(count, dtype=np.int64) * n_rows) // count


def _mean_and_covariance(rows: Rows) -> tuple[np.ndarray, np.ndarray]:
    """Mean and covariance, in float64, of the rows that pca_rows picks."""
    if getattr(rows, "most_missing", None) is not None:  # missing values
        return masked_mean_and_covariance(_pca_subset(rows))
    return mean_and_covariance(rows.take(pca_rows(rows.n_rows)))


def _pca_subset(rows: Rows):
    """The rows that pca_rows picks (missing values: the rows of the column
    means too)."""
    return rows.take(pca_rows(rows.n_rows))


def _filled(codebook: np.ndarray, means: np.ndarray) -> np.ndarray:
    """The codebook's NaN replaced by the feature means (missing values)."""
    codebook = np.array(codebook, dtype=np.float32)
    row, column = np.nonzero(np.isnan(codebook))
    codebook[row, column] = means[column]
    return codebook


def mean_and_covariance(subset) -> tuple[np.ndarray, np.ndarray]:
    """Mean and covariance of a float32 array or CSR matrix, in float64."""
    n = subset.shape[0]
    if sp.issparse(subset):
        # In float64 like the dense rows: float32 products lose digits
        # and overflow beyond about 1.8e19.
        subset = subset.astype(np.float64)
        mean = np.asarray(subset.mean(axis=0)).ravel()
        gram = (subset.T @ subset).toarray() / n
        return mean, gram - np.outer(mean, mean)
    centred = subset.astype(np.float64)
    mean = centred.mean(axis=0)
    centred -= mean
    return mean, (centred.T @ centred) / n


def _dense(rows) -> np.ndarray:
    return np.asarray(rows.toarray() if sp.issparse(rows) else rows, dtype=np.float32)


def _random_codebook(rows: Rows, layout: MapLayout, rng: np.random.RandomState) -> np.ndarray:
    """Uniform values within each feature's range."""
    low, high = rows.min_max()
    return rng.uniform(low, high, size=(layout.n_nodes, rows.n_features))


register("quorvel.SOM", SOM)
