"""Supervised maps: a classifier and a regressor whose map is trained on the
data and the label side by side, and which predict from the data alone."""

from __future__ import annotations

from functools import partial
from numbers import Integral

import numpy as np
from sklearn.base import ClassifierMixin, RegressorMixin, TransformerMixin, _fit_context
from sklearn.utils.multiclass import check_classification_targets
from sklearn.utils.validation import check_array, column_or_1d

from ._io import register_loader
from ._layers import SupervisedMap, check_length, require_y, shared_docs
from ._params import store_parameters
from ._saved_layers import format_name, restored


@shared_docs
class SOMClassifier(ClassifierMixin, TransformerMixin, SupervisedMap):
    """A classifier whose map is trained on the data and the class together
    (a supervised map, as R kohonen's ``xyf``).

    The map has two layers: the data ``X`` and the label, one column per
    class (1 for the row's class, 0 for the others). Training finds each
    row's BMU over both layers, weighted as ``label_weight`` says, and
    moves both; prediction finds the BMU on the data layer alone and takes
    the class whose share in the node's label vector is largest. Rows whose
    label is ``unlabelled`` train the data layer only (semi-supervised
    training).

    Parameters
    ----------
    <shared parameters>
    unlabelled : int, str or None, default=None
        The value of ``y`` that marks a row whose class is unknown, such as
        -1 as in scikit-learn's semi-supervised estimators; None: every row
        is labelled (so that -1 can be a class).

    Attributes
    ----------
    classes_ : ndarray of shape (n_classes,)
        The classes of the labelled rows, sorted; the label layer's columns.
    codebook_ : ndarray of shape (rows, columns, n_features), float32
        The data layer.
    label_codebook_ : ndarray of shape (rows, columns, n_classes), float64
        The label layer: each node's class shares before the clip of
        ``predict_proba``.
    class_prior_ : ndarray of shape (n_classes,)
        Class shares of the labelled training rows that have a BMU: the
        prediction of a row without one.
    umatrix_ : ndarray of shape (rows, columns), float32
        The data layer's U-matrix, as :class:`SOM`'s.
    labels_ : ndarray of shape (n_samples,), int64
        The BMU of every training row in the joint map; -1 for a row
        without one.
    label_scale_ : float
        ``c`` of the Notes, the factor of the label columns in training.
    history_, n_iter_, quantization_error_, topographic_error_
        Of the joint map (its rows: the data and the scaled label columns),
        as :class:`SOM`'s.
    n_features_in_, feature_names_in_
        As :class:`SOM`'s.

    Notes
    -----
    <shared notes>

    Examples
    --------
    >>> from sklearn.datasets import load_iris
    >>> from quorvel import SOMClassifier
    >>> X, y = load_iris(return_X_y=True)
    >>> clf = SOMClassifier(random_state=0).fit(X, y)
    >>> bool(clf.score(X, y) > 0.9)
    True
    """

    _parameter_constraints: dict = {
        **SupervisedMap._parameter_constraints,
        "unlabelled": [Integral, str, None],
    }

    def __init__(
        self,
        columns: int | None = None,
        rows: int | None = None,
        *,
        label_weight: float = 0.7,
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
        unlabelled: int | str | None = None,
    ) -> None:
        store_parameters(self, locals())

    _label_columns_name = "n_classes"
    # Defaults chosen by bench/supervised.py --sweep (see the README).
    _NODES_PER_ROOT = 7.5
    _SIGMA_END = 0.75

    @staticmethod
    def _to_label_units(values: np.ndarray) -> np.ndarray:
        return values

    def _unlabelled_rows(self, y: np.ndarray) -> np.ndarray:
        marker = self.unlabelled
        if marker is None:
            return np.zeros(len(y), dtype=bool)
        textual = y.dtype.kind in "US"
        if y.dtype.kind != "O" and textual != isinstance(marker, str):
            return np.zeros(len(y), dtype=bool)  # a marker of the other kind is no label
        return np.asarray(y == marker, dtype=bool)

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y) -> SOMClassifier:
        """Train the map on ``X`` and the classes ``y``.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            As :meth:`SOM.fit` takes it.
        y : array-like of shape (n_samples,)
            The classes; ``unlabelled`` marks a row without one.

        Returns
        -------
        self : SOMClassifier
        """
        self._fit_or_keep(X, y)
        return self

    def _fit(self, X, y) -> None:
        require_y(self, y)
        X = self._validated(X, reset=True)
        y = check_array(column_or_1d(y, warn=True), ensure_2d=False, dtype=None, input_name="y")
        check_length(X, y)
        unknown = self._unlabelled_rows(y)
        known = y[~unknown]
        check_classification_targets(known)
        classes, codes = np.unique(known, return_inverse=True)
        if len(classes) < 2:
            only = [value.item() if isinstance(value, np.generic) else value for value in classes]
            raise ValueError(
                f"SOMClassifier needs labelled rows of at least two classes; y has "
                f"{len(classes)} class{'es' if len(classes) != 1 else ''}"
                f"{': ' + repr(only[0]) if only else ''}."
            )
        label = np.full((len(y), len(classes)), np.nan)
        label[~unknown] = 0.0
        label[np.flatnonzero(~unknown), codes] = 1.0
        self.classes_ = classes
        keep = self._rows_with_bmu(X)
        shares = self._fit_layers(X, label, keep)
        self.label_codebook_ = shares
        trained = label[self.labels_ >= 0]
        trained = trained[~np.isnan(trained[:, 0])]
        prior = trained.mean(axis=0) if len(trained) else np.zeros(len(classes))
        self.class_prior_ = class_shares(prior)

    def predict_proba(self, X) -> np.ndarray:
        """Class shares of each row's BMU on the data layer: its label
        vector clipped at 0 and divided by its sum (uniform where nothing is
        left); ``class_prior_`` for a row without a BMU.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        proba : ndarray of shape (n_samples, n_classes), float64
            Columns in the order of ``classes_``.
        """
        nodes = self._nodes(X)
        table = class_shares(self.label_codebook_.reshape(-1, len(self.classes_)))
        proba = np.empty((len(nodes), len(self.classes_)))
        found = nodes >= 0
        proba[found] = table[nodes[found]]
        proba[~found] = self.class_prior_
        return proba

    def predict(self, X) -> np.ndarray:
        """The class of the largest share in :meth:`predict_proba` (the
        first of ``classes_`` on ties).

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        y : ndarray of shape (n_samples,)
        """
        proba = self.predict_proba(X)
        return self.classes_[np.argmax(proba, axis=1)]


def class_shares(values: np.ndarray) -> np.ndarray:
    """Rows clipped at 0 and divided by their sums; uniform where a row
    sums to 0."""
    values = np.clip(np.asarray(values, dtype=np.float64), 0.0, None)
    total = values.sum(axis=-1, keepdims=True)
    uniform = np.full_like(values, 1.0 / max(1, values.shape[-1]))
    return np.divide(values, total, out=uniform, where=total > 0)


@shared_docs
class SOMRegressor(RegressorMixin, TransformerMixin, SupervisedMap):
    """A regressor whose map is trained on the data and the target together
    (a supervised map, as R kohonen's ``xyf``).

    The map has two layers: the data ``X`` and the standardised target,
    one column per output. Training finds each row's BMU over both layers,
    weighted as ``label_weight`` says, and moves both; prediction finds the
    BMU on the data layer alone and returns the node's target. Rows whose
    target is NaN train the data layer only (semi-supervised training); in
    a target of several outputs, a NaN leaves out that output alone.

    Parameters
    ----------
    <shared parameters>

    Attributes
    ----------
    codebook_ : ndarray of shape (rows, columns, n_features), float32
        The data layer.
    label_codebook_ : ndarray of shape (rows, columns, n_outputs), float64
        Each node's target, in the units of ``y``.
    target_mean_, target_scale_ : ndarray of shape (n_outputs,)
        The standardisation of the label layer, ``(y - target_mean_) /
        target_scale_``: the mean and the population standard deviation of
        each output over the labelled training rows that have a BMU (1 for
        a constant output). ``target_mean_`` is the prediction of a row
        without a BMU.
    umatrix_, labels_, label_scale_, history_, n_iter_
        As :class:`SOMClassifier`'s.
    quantization_error_, topographic_error_, n_features_in_, feature_names_in_
        As :class:`SOMClassifier`'s.

    Notes
    -----
    <shared notes>

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel import SOMRegressor
    >>> X = np.random.default_rng(0).uniform(-1, 1, size=(500, 2))
    >>> y = X[:, 0] ** 2 + X[:, 1]
    >>> reg = SOMRegressor(random_state=0).fit(X, y)
    >>> bool(reg.score(X, y) > 0.8)
    True
    """

    def __init__(
        self,
        columns: int | None = None,
        rows: int | None = None,
        *,
        label_weight: float = 0.3,
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
        store_parameters(self, locals())

    _label_columns_name = "n_outputs"
    # Defaults chosen by bench/supervised.py --sweep (see the README).
    _NODES_PER_ROOT = 3.75
    _SIGMA_END = 1.25

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.target_tags.multi_output = True
        return tags

    def _to_label_units(self, values: np.ndarray) -> np.ndarray:
        return (values - self.target_mean_) / self.target_scale_

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y) -> SOMRegressor:
        """Train the map on ``X`` and the target ``y``.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)
            As :meth:`SOM.fit` takes it.
        y : array-like of shape (n_samples,) or (n_samples, n_outputs)
            The target; NaN marks an unknown value.

        Returns
        -------
        self : SOMRegressor
        """
        self._fit_or_keep(X, y)
        return self

    def _fit(self, X, y) -> None:
        require_y(self, y)
        X = self._validated(X, reset=True)
        y = check_array(
            y, ensure_2d=False, dtype=np.float64, ensure_all_finite="allow-nan",
            input_name="y",
        )  # fmt: skip
        if y.ndim > 2:
            raise ValueError(f"y must have one or two dimensions; got {y.ndim}.")
        check_length(X, y)
        target = y.reshape(len(y), -1)
        keep = self._rows_with_bmu(X)
        trained = target if keep is None else target[keep]
        seen = np.count_nonzero(~np.isnan(trained), axis=0)
        if not seen.all():
            output = int(np.argmin(seen))
            raise ValueError(
                f"y has no known value (every one is NaN) in output {output} among the "
                f"rows that have a BMU; a target needs labelled rows."
            )
        mean = np.nanmean(trained, axis=0)
        scale = np.nanstd(trained, axis=0)
        self.target_mean_ = mean
        self.target_scale_ = np.where(scale > 0, scale, 1.0)
        values = self._fit_layers(X, self._to_label_units(target), keep)
        values = values * self.target_scale_ + self.target_mean_
        self.label_codebook_ = values

    def predict(self, X) -> np.ndarray:
        """The target of each row's BMU on the data layer; ``target_mean_``
        for a row without one.

        Parameters
        ----------
        X : {array-like, sparse matrix} of shape (n_samples, n_features)

        Returns
        -------
        y : ndarray of shape (n_samples,) or (n_samples, n_outputs), float64
            One dimension for a target of one output (as scikit-learn's
            forests and MLPRegressor give it, whatever the shape of ``y``).
        """
        nodes = self._nodes(X)
        rows, columns = self.codebook_.shape[:2]
        table = self.label_codebook_.reshape(rows * columns, -1)
        out = np.empty((len(nodes), table.shape[1]))
        found = nodes >= 0
        out[found] = table[nodes[found]]
        out[~found] = self.target_mean_
        return out[:, 0] if out.shape[1] == 1 else out


for _kind in (SOMClassifier, SOMRegressor):
    register_loader(format_name(_kind), partial(restored, _kind))
