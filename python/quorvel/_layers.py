"""The two layers of a supervised map: their spread, which rows have a BMU
on the data layer, the joint rows that the map trains on, and what the
classifier and the regressor share (the joint map's training, the data
layer's search, the parameters and their documentation).

The spread is computed from sums that do not depend on the order of the
rows or the form of the input (dense or CSR): every value is rounded once
to a fixed-point grid of a power-of-two step chosen per column from the
column's largest magnitude and count, and the integers are summed exactly,
as the engine does for its per-node sums. So a dense and a sparse input of
the same values scale the label layer alike, and train to the same bits.
"""

from __future__ import annotations

import inspect
import math
from numbers import Real

import numpy as np
import scipy.sparse as sp
from sklearn.base import BaseEstimator
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import check_is_fitted

from ._params import CONSTRAINTS, default_sigma_start, map_layout, threads
from ._saved_layers import saved_arrays
from ._som import SOM
from ._sources import as_source, missing_limit
from ._sources.memory import MemoryRows
from ._training import umatrix

# Rows per step of the passes over dense values.
_STEP = 1 << 16
# The largest magnitude that a column's fixed-point total may reach.
_TOTAL = 2.0**62


def map_side(n_samples: int, nodes_per_root: float) -> int:
    """The side of the square map that ``columns=None, rows=None`` gives:
    about ``nodes_per_root * sqrt(n_samples)`` nodes, at least 2 x 2."""
    return max(2, round(math.sqrt(nodes_per_root * math.sqrt(max(1, n_samples)))))


def _exponents(bound: np.ndarray, count: np.ndarray) -> np.ndarray:
    """Per column, the power of two that scales values of magnitude up to
    ``bound`` so that ``count`` of them sum within ``_TOTAL``."""
    room = _TOTAL / np.maximum(count, 1) / np.where(bound > 0, bound, 1.0)
    return np.clip(np.floor(np.log2(room)), -1000, 1000).astype(np.int64)


def _fixed(values: np.ndarray, exponents: np.ndarray) -> np.ndarray:
    """Values (float64, zero where they must not count) on each column's
    fixed-point grid, as int64."""
    return np.rint(np.ldexp(values, exponents)).astype(np.int64)


class _Columns:
    """The observed values of each column in one of two forms, and the
    order-independent sums over them."""

    def __init__(self, values) -> None:
        self.values = values
        self.n_columns = values.shape[1]

    def _blocks(self):
        """Dense blocks (float64, NaN where missing) or, for CSR, the
        stored values once with their column indices."""
        values = self.values
        if sp.issparse(values):
            yield values.data.astype(np.float64), values.indices
            return
        for begin in range(0, values.shape[0], _STEP):
            yield values[begin : begin + _STEP].astype(np.float64), None

    def _integer_sum(self, ints: np.ndarray, columns) -> np.ndarray:
        if columns is None:
            return ints.sum(axis=0, dtype=np.int64)
        order = np.argsort(columns, kind="stable")
        sums = np.zeros(self.n_columns, dtype=np.int64)
        starts = np.searchsorted(columns[order], np.arange(self.n_columns))
        present = np.bincount(columns, minlength=self.n_columns) > 0
        if ints.size:
            reduced = np.add.reduceat(ints[order], np.minimum(starts, ints.size - 1))
            sums[present] = reduced[present]
        return sums

    def counts_and_bounds(self):
        """Per column: observed values, observed values that are not zero,
        and the largest observed magnitude."""
        n_rows = self.values.shape[0]
        observed = np.zeros(self.n_columns)
        nonzero = np.zeros(self.n_columns)
        bound = np.zeros(self.n_columns)
        for block, columns in self._blocks():
            seen = ~np.isnan(block)
            if columns is None:
                observed += seen.sum(axis=0)
                nonzero += (seen & (block != 0)).sum(axis=0)
                magnitude = np.where(seen, np.abs(block), 0.0)
                if magnitude.size:
                    bound = np.maximum(bound, magnitude.max(axis=0))
            else:
                observed = n_rows - np.bincount(columns[~seen], minlength=self.n_columns)
                nonzero = np.bincount(columns[seen & (block != 0)], minlength=self.n_columns)
                np.maximum.at(bound, columns[seen], np.abs(block[seen]))
        return observed.astype(np.float64), nonzero.astype(np.float64), bound

    def fixed_sum(self, function, bound: np.ndarray, count: np.ndarray) -> np.ndarray:
        """The sum over each column's observed non-zero values of
        ``function(values, columns)``, of magnitude up to ``bound``, through
        the fixed-point grid; float64."""
        exponents = _exponents(bound, count)
        total = np.zeros(self.n_columns, dtype=np.int64)
        for block, columns in self._blocks():
            terms = function(block, columns)
            counted = ~np.isnan(block) & (block != 0)
            scale = exponents if columns is None else exponents[columns]
            total += self._integer_sum(_fixed(np.where(counted, terms, 0.0), scale), columns)
        return np.ldexp(total.astype(np.float64), -exponents)


def layer_spread(values) -> float:
    """Mean squared Euclidean distance between two rows drawn independently
    from ``values`` (twice the sum of the column variances over each
    column's observed values), in float64; 0 for no rows. ``values`` is a
    dense array or CSR, whose absent entries are zeros; NaN is missing."""
    if values.shape[0] == 0:
        return 0.0
    layer = _Columns(values)
    observed, nonzero, bound = layer.counts_and_bounds()
    seen = np.maximum(observed, 1.0)
    mean = layer.fixed_sum(lambda block, columns: block, bound, nonzero) / seen

    def squared_deviation(block, columns):
        return (block - (mean if columns is None else mean[columns])) ** 2

    deviations = layer.fixed_sum(squared_deviation, (bound + np.abs(mean)) ** 2, nonzero)
    # Each zero deviates by the mean: added once per column, not per value,
    # so that absent and stored zeros count alike.
    deviations += (observed - nonzero) * mean**2
    variances = np.where(observed > 0, deviations / seen, 0.0)
    return 2.0 * float(variances.sum())


def rows_with_bmu(X, max_missing: float) -> np.ndarray | None:
    """Which rows of ``X`` (NaN marking missing values) have a BMU on the
    data layer: those that observe a value and miss at most ``max_missing``
    of them; None when every row has one."""
    n_rows, n_features = X.shape
    if sp.issparse(X):
        row_of = np.repeat(np.arange(n_rows), np.diff(X.indptr))
        missing = np.bincount(row_of[np.isnan(X.data)], minlength=n_rows)
    else:
        missing = np.zeros(n_rows, dtype=np.int64)
        for begin in range(0, n_rows, _STEP):
            missing[begin : begin + _STEP] = np.isnan(X[begin : begin + _STEP]).sum(axis=1)
    most = missing_limit(max_missing, n_features)
    keep = (missing <= most) & (missing < n_features)
    return None if keep.all() else keep


def joint_rows(X, labels: np.ndarray):
    """The rows the joint map trains on: X's columns, then the label
    layer's (float32), in X's form."""
    labels = labels.astype(np.float32)
    if sp.issparse(X):
        # NaN, an unknown label, is stored; a zero is left out, as in X.
        return sp.hstack([X, sp.csr_matrix(labels)], format="csr")
    joint = np.empty((X.shape[0], X.shape[1] + labels.shape[1]), dtype=np.float32)
    joint[:, : X.shape[1]] = X
    joint[:, X.shape[1] :] = labels
    return joint


# The parameters of SOM that the joint map takes as they are.
_MAP_PARAMETERS = (
    "epochs", "grid", "topology", "neighbourhood", "sigma_start", "cooling",
    "random_state", "n_jobs", "verbose",
)  # fmt: skip


class SupervisedMap(BaseEstimator):
    """What the classifier and the regressor share: the joint map, the data
    layer's search and the layers' scaling. A subclass turns y into the
    label layer and the nodes' label vectors into predictions, names the
    label columns (``_label_columns_name``) and takes values of its label
    into the layer's units (``_to_label_units``)."""

    _parameter_constraints: dict = {
        **CONSTRAINTS,
        "columns": [*CONSTRAINTS["columns"], None],
        "rows": [*CONSTRAINTS["rows"], None],
        "label_weight": [Interval(Real, 0, 1, closed="neither")],
    }

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.sparse = True
        tags.input_tags.allow_nan = self.missing == "ignore"
        return tags

    # ------------------------------------------------------------------
    # Input

    def _validated(self, X, *, reset: bool):
        """X as the engine reads it (float32, C order or canonical CSR),
        with n_features_in_ and feature_names_in_ set or checked, and NaN
        refused unless missing="ignore"; as SOM checks its input."""
        source = as_source(
            X, self, reset=reset, allow_nan=self.missing == "ignore",
            max_missing=float(self.max_missing),
        )  # fmt: skip
        if not isinstance(source, MemoryRows):
            raise TypeError(
                f"{type(self).__name__} takes data in memory (arrays, DataFrames, "
                f"sparse matrices), not a Dask collection."
            )
        return source.data

    def _map_size(self, n_samples: int) -> tuple[int, int]:
        side = map_side(n_samples, self._NODES_PER_ROOT)
        columns = self.columns if self.columns is not None else (self.rows or side)
        rows = self.rows if self.rows is not None else (self.columns or side)
        return int(columns), int(rows)

    # ------------------------------------------------------------------
    # Training

    def _fit_or_keep(self, X, y) -> None:
        """Runs the subclass's ``_fit``; a failed or interrupted fit leaves
        a fitted estimator as it was."""
        before = dict(self.__dict__)
        try:
            self._fit(X, y)
        except BaseException as error:
            self.__dict__.clear()
            self.__dict__.update(before)
            if isinstance(error, KeyboardInterrupt):
                raise KeyboardInterrupt(
                    f"{type(self).__name__}.fit interrupted; the estimator is left as it was"
                ) from None
            raise

    def _rows_with_bmu(self, X) -> np.ndarray | None:
        """The rows that have a BMU on the data layer (None: all)."""
        return rows_with_bmu(X, self.max_missing) if self.missing == "ignore" else None

    def _fit_layers(self, X, label: np.ndarray, keep: np.ndarray | None) -> np.ndarray:
        """Trains the joint map on X beside ``label`` (n_samples x
        n_labels, float64, NaN where unknown, in the label layer's units)
        on the rows ``keep``, sets the map's fitted attributes and returns
        the label layer of the nodes in its own units."""
        n_samples, n_features = X.shape
        if keep is not None:
            X, label = X[keep], label[keep]
        data_spread = layer_spread(X) or 1.0
        label_spread = layer_spread(label) or 1.0
        weight = float(self.label_weight)
        scale = math.sqrt(weight / (1.0 - weight) * data_spread / label_spread)
        columns, rows = self._map_size(n_samples)
        joint = joint_rows(X, label * scale)
        som = SOM(
            columns, rows, init=self._joint_init(columns, rows, n_features, label.shape[1], scale),
            sigma_end=self._sigma_end(columns, rows), missing="ignore", max_missing=1.0,
            **{name: getattr(self, name) for name in _MAP_PARAMETERS},
        ).fit(joint)  # fmt: skip
        self.codebook_ = np.ascontiguousarray(som.codebook_[..., :n_features])
        self.label_scale_ = scale
        layout = map_layout(columns, rows, self.grid, self.topology)
        flat = self.codebook_.reshape(layout.n_nodes, n_features)
        self.umatrix_ = umatrix(flat, layout, threads(self.n_jobs))
        labels = som.labels_
        if keep is not None:
            labels = np.full(n_samples, -1, dtype=np.int64)
            labels[keep] = som.labels_
        self.labels_ = labels
        self.quantization_error_ = som.quantization_error_
        self.topographic_error_ = som.topographic_error_
        self.history_ = som.history_
        self.n_iter_ = som.n_iter_
        return som.codebook_[..., n_features:].astype(np.float64) / scale

    def _sigma_end(self, columns: int, rows: int) -> float:
        """The last width: the parameter, or the estimator's own default
        (the first width where that is smaller)."""
        if self.sigma_end is not None:
            return float(self.sigma_end)
        start = self.sigma_start
        if start is None:
            start = default_sigma_start(columns, rows)
        return min(self._SIGMA_END, float(start))

    def _joint_init(self, columns: int, rows: int, n_features: int, n_labels: int, scale: float):
        """The joint map's ``init``: a name as it is; an array of data and
        label columns in their own units, with the label columns taken into
        the label layer's units and scaled."""
        if isinstance(self.init, str):
            return self.init
        array = np.asarray(self.init)
        width = n_features + n_labels
        if array.shape not in ((rows, columns, width), (rows * columns, width)):
            raise ValueError(
                f"The 'init' array must have shape (rows, columns, n_features + "
                f"{self._label_columns_name}) = {(rows, columns, width)} or (rows * "
                f"columns, n_features + {self._label_columns_name}) = "
                f"{(rows * columns, width)}; got {array.shape}."
            )
        array = np.array(array.reshape(rows * columns, width), dtype=np.float64)
        array[:, n_features:] = self._to_label_units(array[:, n_features:]) * scale
        return array

    # ------------------------------------------------------------------
    # The data layer

    def _data_map(self) -> SOM:
        """The data layer as a fitted SOM: the joint map's data columns,
        searched with this estimator's missing-value rule."""
        rows, columns, n_features = self.codebook_.shape
        som = SOM(
            columns, rows, grid=self.grid, topology=self.topology, n_jobs=self.n_jobs,
            missing=self.missing, max_missing=self.max_missing,
        )  # fmt: skip
        som.codebook_ = self.codebook_
        som.umatrix_ = self.umatrix_
        som.n_features_in_ = n_features
        return som

    def _nodes(self, X) -> np.ndarray:
        check_is_fitted(self, "codebook_")
        X = self._validated(X, reset=False)
        return self._data_map().predict(X)

    def apply(self, X) -> np.ndarray:
        """Node index ``y * columns + x`` of every row's BMU on the data
        layer; -1 for a row without one (``missing="ignore"``).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        nodes : ndarray of shape (n_samples,), int64
        """
        return self._nodes(X)

    def transform(self, X) -> np.ndarray:
        """Euclidean distance of every row to every node on the data layer.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        distances : ndarray of shape (n_samples, rows * columns), float64
        """
        check_is_fitted(self, "codebook_")
        X = self._validated(X, reset=False)
        return self._data_map().transform(X)

    def save(self, path) -> None:
        """Write the fitted map to ``path`` as a .npz file, read back with
        :func:`quorvel.load` (its arrays: see ``quorvel._saved_layers``)."""
        np.savez(path, **saved_arrays(self))


# The parameters and notes that the two estimators share, put into each
# docstring in place of the marker lines.
_SHARED_PARAMETERS = """\
    columns, rows : int or None, default=None
        The map's size; node ``k = y * columns + x`` is node ``(x, y)``.
        Both None: a square map of side ``round(sqrt(<nodes> *
        sqrt(n_samples)))`` (about ``<nodes> * sqrt(n_samples)`` nodes), at
        least 2; one None takes the other's value.
    label_weight : float in (0, 1), default=<weight>
        The label layer's share ``w`` of the distance in training (see
        Notes): R kohonen's ``user.weights = c(1 - w, w)`` of ``xyf``.
    sigma_end : float, default=None
        Width of the last epoch; None takes <end> (or ``sigma_start`` when
        that is smaller).
    epochs, grid, topology, neighbourhood, sigma_start, cooling
        As in :class:`SOM`, for the joint map.
    init : {"pca", "random", "sample"} or array-like, default="pca"
        The joint map's start, as in :class:`SOM` over the data columns and
        the scaled label columns side by side; an array has shape ``(rows,
        columns, n_features + n_labels)`` (or ``(rows * columns, ...)``), its
        label columns in the units of the label vectors of
        ``label_codebook_``.
    random_state, n_jobs, verbose
        As in :class:`SOM`.
    missing : {"error", "ignore"}, default="error"
        NaN in ``X``: refused, or a missing value, as in :class:`SOM`.
    max_missing : float in [0, 1], default=0.5
        With ``missing="ignore"``, a row missing more than this share of its
        features (or all of them) has no BMU on the data layer: it is left
        out of training and predicted from the whole map (see Notes). An
        unknown label never counts here."""

_SHARED_NOTES = """\
    The label layer ``Y`` holds one or more columns per row (see the
    estimator), NaN where the label is unknown. Each layer's spread ``s``
    is the mean squared Euclidean distance between two of its training rows
    drawn independently: twice the sum of its columns' variances, in
    float64, over the observed values of the rows that have a BMU (a spread
    of 0 counts as 1). The joint map is a :class:`SOM` with
    ``missing="ignore"`` trained on the rows ``[X, c * Y]`` (the label
    columns rounded to float32), ``c = sqrt(w / (1 - w) * s_X / s_Y)``
    (``label_scale_``), so that a row's squared distance to a node is
    ``s_X / (1 - w)`` times ``(1 - w) * d_X / s_X + w * d_Y / s_Y``, ``d``
    each layer's squared Euclidean distance: each layer's distances
    normalised by their mean, as R kohonen's ``normalizeDataLayers`` does by
    default (there from the distances within the random starting codebook,
    here from all training rows, so that it is the same for every seed), and
    weighted by ``1 - w`` and ``w``. A row with an unknown label follows
    :class:`SOM`'s rule for missing values: its BMU minimises ``d_X`` (over
    its observed features, times a factor that is the same for every node),
    and it adds to the data layer's sums only. With missing values in ``X``
    the same rule's factor ``n_columns / observed`` is over the whole joint
    row.

    Prediction finds each row's BMU on the data layer alone: exactly
    :class:`SOM`'s search of ``X`` against ``codebook_``, the joint
    codebook's data columns (float32 sums, the lowest node on ties; with
    ``missing="ignore"`` and NaN in ``X``, the masked rule over the data
    features with ``max_missing``). Each node's label vector, the joint
    codebook's label columns divided by ``c``, is the neighbourhood-weighted
    mean of the label vectors of the labelled training rows (a node that no
    labelled row reaches keeps its starting vector). A row without a BMU
    is predicted from the labelled training rows as a whole (their class
    shares, their mean target). The results are the same bits for every
    thread count and for dense and sparse input of the same values, as
    :class:`SOM`'s are. Training holds the joint rows as one float32 copy
    beside ``X``; Dask collections are not taken."""


def shared_docs(cls):
    """Puts the shared parameters, with the class's defaults, and notes into
    its docstring."""
    parameters = (
        _SHARED_PARAMETERS.replace("<nodes>", f"{cls._NODES_PER_ROOT:g}")
        .replace("<end>", f"{cls._SIGMA_END:g}")
        .replace("<weight>", f"{inspect.signature(cls).parameters['label_weight'].default:g}")
    )
    cls.__doc__ = cls.__doc__.replace("    <shared parameters>", parameters).replace(
        "    <shared notes>", _SHARED_NOTES
    )
    return cls


def check_length(X, y) -> None:
    if len(y) != X.shape[0]:
        raise ValueError(f"y has {len(y)} rows but X has {X.shape[0]}; they must be the same.")


def require_y(estimator, y) -> None:
    if y is None:
        raise ValueError(
            f"{type(estimator).__name__} requires y to be passed, but the target y is None."
        )
