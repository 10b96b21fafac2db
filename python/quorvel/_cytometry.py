"""Cytometry files and the arcsinh scale of cytometry data.

:func:`read_fcs` reads an FCS file (the Flow Cytometry Standard, versions
2.0 to 3.1) through FlowIO, an extra: ``pip install "quorvel[cytometry]"``.
The package imports without it and names that command when a file is read.
"""

from __future__ import annotations

import os
from numbers import Real

import numpy as np
from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin, _fit_context
from sklearn.utils._param_validation import Interval
from sklearn.utils.validation import check_is_fitted, validate_data

INSTALL = 'pip install "quorvel[cytometry]"'

def _reader():
    try:
        import flowio
        import pandas
    except ImportError as error:
        raise ImportError(
            f"Reading FCS files needs FlowIO and pandas ({error.name} is missing): {INSTALL}"
        ) from error
    return flowio, pandas


def fcs_columns(channels: list[str], markers: list[str]) -> list[str]:
    """A name per column: the marker ($PnS) where the file gives one that no
    other column takes, else the channel ($PnN)."""
    markers = [marker.strip() for marker in markers]
    taken = [m for m in markers if m] + list(channels)
    return [
        marker if marker and taken.count(marker) == 1 else channel
        for channel, marker in zip(channels, markers)
    ]


def read_fcs(path, channels=None):
    """The events of an FCS file as a DataFrame, one column per channel.

    Parameters
    ----------
    path : str, os.PathLike or binary file object
        An FCS file (versions 2.0, 3.0 and 3.1, one data set).
    channels : list of str or int, default=None
        The columns to keep, in this order: marker names ($PnS, e.g. "CD3"),
        channel names ($PnN, e.g. "PE-Cy7-A") or zero-based positions. None
        keeps them all.

    Returns
    -------
    events : pandas.DataFrame of shape (n_events, n_channels), float64
        Named by each channel's marker where the file gives one (and no
        other channel has the same name), else by the channel's name. The
        values are those the FCS standard defines: the stored values with
        the channel's gain and logarithmic amplification undone and the time
        channel in its time step's units, as FlowIO computes them.
        ``events.attrs["channels"]`` and ``["markers"]`` hold each column's
        channel and marker name ("" where the file gives none).

    Raises
    ------
    ValueError
        The file is not a readable FCS file, or a channel in ``channels`` is
        not in it (the message lists the names it has).
    ImportError
        FlowIO or pandas is not installed.

    Examples
    --------
    >>> events = read_fcs("ff.fcs", channels=["CD8", "CD4", "CD3"])  # doctest: +SKIP
    >>> events.columns.tolist()  # doctest: +SKIP
    ['CD8', 'CD4', 'CD3']
    """
    flowio, pandas = _reader()
    stream = path if hasattr(path, "read") else None
    path = str(getattr(stream, "name", "FCS data")) if stream else os.fspath(path)
    try:
        # Opened here so that it is closed on every path (FlowIO closes a
        # handle it is given, but not always a file it opened on a failure).
        with stream or open(path, "rb") as handle:
            data = flowio.FlowData(handle)
            values = data.as_array(preprocess=True)
    except (OSError, MemoryError):
        raise
    except Exception as error:
        # FlowIO reports a file that is not FCS with whatever its parser
        # met first (a bad header number, a missing keyword, ...).
        raise ValueError(f"{path} is not a readable FCS file: {error}") from error
    names = fcs_columns(list(data.pnn_labels), list(data.pns_labels))
    frame = pandas.DataFrame(values, columns=names)
    frame.attrs["channels"] = list(data.pnn_labels)
    frame.attrs["markers"] = [marker.strip() for marker in data.pns_labels]
    if channels is None:
        return frame
    if isinstance(channels, (str, int)):
        channels = [channels]
    columns = [_column(c, names, data.pnn_labels, data.pns_labels, path) for c in channels]
    chosen = frame.iloc[:, columns]
    chosen.attrs = {key: [frame.attrs[key][c] for c in columns] for key in frame.attrs}
    return chosen


def _column(wanted, names, channels, markers, path) -> int:
    if isinstance(wanted, (int, np.integer)) and not isinstance(wanted, bool):
        if -len(names) <= wanted < len(names):
            return int(wanted) % len(names)
        raise ValueError(f"{path} has {len(names)} channels; there is no channel {wanted}.")
    for labels in (names, channels, [m.strip() for m in markers]):
        if labels.count(wanted) == 1:
            return labels.index(wanted)
    if any(labels.count(wanted) > 1 for labels in (channels, markers)):
        raise ValueError(
            f"{path} has several channels named {wanted!r}; name one by its channel "
            f"name among {list(channels)}."
        )
    described = [
        f"{name} ({channel})" if name != channel else name
        for name, channel in zip(names, channels)
    ]
    raise ValueError(
        f"{path} has no channel or marker named {wanted!r}; it has {', '.join(described)}."
    )


def arcsinh(X, cofactor=5.0) -> np.ndarray:
    """``arcsinh(X / cofactor)``, cytometry's scale: linear near zero,
    logarithmic for large values, defined for negative values.

    Parameters
    ----------
    X : array-like of shape (n_samples, n_features)
    cofactor : float or array-like of shape (n_features,), default=5.0
        5 is the usual choice for mass cytometry, 150 for fluorescence (flow)
        cytometry; one per column where the panel mixes them. Positive.

    Returns
    -------
    Xt : ndarray of shape (n_samples, n_features), float64 (float32 input
        stays float32)
    """
    X = np.asarray(X)
    dtype = X.dtype if X.dtype in (np.float32, np.float64) else np.float64
    cofactor = _cofactors(cofactor, X.shape[-1] if X.ndim else 1)
    return np.arcsinh(X.astype(dtype) / cofactor.astype(dtype))


def _cofactors(cofactor, n_features: int) -> np.ndarray:
    values = np.asarray(cofactor, dtype=np.float64)
    if values.ndim > 1 or (values.ndim == 1 and len(values) != n_features):
        raise ValueError(
            f"cofactor must be a number or one per feature ({n_features}); got shape "
            f"{values.shape}."
        )
    if not np.all(np.isfinite(values) & (values > 0)):
        raise ValueError(f"cofactor must be positive and finite; got {cofactor!r}.")
    return values


class ArcsinhTransformer(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):
    """The arcsinh scale of :func:`arcsinh` as a scikit-learn transformer,
    for a ``Pipeline`` before :class:`SOM` or :class:`Metaclusters`.

    Parameters
    ----------
    cofactor : float or array-like of shape (n_features,), default=5.0
        5 for mass cytometry, 150 for fluorescence (flow) cytometry.

    Attributes
    ----------
    cofactor_ : ndarray of shape (n_features,)
    n_features_in_ : int
    feature_names_in_ : ndarray of str
        Column names, when fitted on a DataFrame.

    Examples
    --------
    >>> import numpy as np
    >>> from quorvel import ArcsinhTransformer
    >>> scale = ArcsinhTransformer(cofactor=150).fit([[0.0, 150.0]])
    >>> scale.transform([[0.0, 150.0]]).round(4).tolist()
    [[0.0, 0.8814]]
    """

    _parameter_constraints: dict = {
        "cofactor": [Interval(Real, 0, None, closed="neither"), "array-like"],
    }

    def __init__(self, cofactor=5.0) -> None:
        self.cofactor = cofactor

    @_fit_context(prefer_skip_nested_validation=True)
    def fit(self, X, y=None) -> ArcsinhTransformer:
        """Checks ``X`` and the cofactors.

        Parameters
        ----------
        X : array-like of shape (n_samples, n_features)
        y : None
            Ignored.

        Returns
        -------
        self : ArcsinhTransformer
        """
        X = validate_data(self, X, dtype=(np.float64, np.float32), ensure_all_finite="allow-nan")
        self.cofactor_ = np.broadcast_to(_cofactors(self.cofactor, X.shape[1]), X.shape[1]).copy()
        return self

    def transform(self, X) -> np.ndarray:
        """``arcsinh(X / cofactor_)``, column by column."""
        check_is_fitted(self, "cofactor_")
        X = validate_data(
            self, X, reset=False, dtype=(np.float64, np.float32), ensure_all_finite="allow-nan"
        )
        return np.arcsinh(X / self.cofactor_.astype(X.dtype))

    def inverse_transform(self, X) -> np.ndarray:
        """``sinh(X) * cofactor_``: the values on their first scale."""
        check_is_fitted(self, "cofactor_")
        X = validate_data(
            self, X, reset=False, dtype=(np.float64, np.float32), ensure_all_finite="allow-nan"
        )
        return np.sinh(X) * self.cofactor_.astype(X.dtype)

    def __sklearn_tags__(self):
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        return tags
