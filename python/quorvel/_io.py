"""Saved maps: one .npz file, read back with ``allow_pickle=False``.

The file holds the arrays ``format`` ("quorvel.SOM"), ``format_version``
(1), ``parameters`` (the estimator's parameters as JSON text; an ``init``
array is stored as ``init`` and a random_state that is not an int or None
as None), ``codebook`` (float32, rows x columns x features), ``umatrix``,
``history_sigma``, ``history_quantization_error``, ``n_iter``,
``n_features_in``, and where the fitted estimator has them ``labels``,
``quantization_error``, ``topographic_error`` and ``feature_names_in``.
Other keys are kept for callers that add their own (the command line stores
its scaling beside the map) and ignored here.
"""

from __future__ import annotations

import json
import os
import zipfile
from typing import Any

import numpy as np
from sklearn.utils.validation import check_is_fitted

FORMAT = "quorvel.SOM"
FORMAT_VERSION = 1


def save(som, path: str | os.PathLike, **extra: np.ndarray) -> None:
    """Write a fitted :class:`~quorvel.SOM` to ``path`` (.npz).

    Parameters
    ----------
    som : SOM
        A fitted estimator.
    path : str or path-like
        Where to write; numpy adds ".npz" when the name lacks it.
    **extra : ndarray
        Further arrays to store beside the map, under their own keys.
    """
    check_is_fitted(som, "codebook_")
    parameters = som.get_params()
    arrays: dict[str, Any] = {}
    init = parameters["init"]
    if not isinstance(init, str):
        # Its own dtype, so that get_params() of the loaded map equals it.
        arrays["init"] = np.asarray(init)
        parameters["init"] = None
    if not (parameters["random_state"] is None or isinstance(parameters["random_state"], int)):
        parameters["random_state"] = None
    for key in extra:
        if key in _KNOWN_KEYS:
            raise ValueError(f"{key!r} is a key of the saved map itself")
    arrays.update(
        format=np.array(FORMAT),
        format_version=np.array(FORMAT_VERSION),
        parameters=np.array(json.dumps(parameters)),
        codebook=som.codebook_,
        umatrix=som.umatrix_,
        history_sigma=som.history_["sigma"],
        history_quantization_error=som.history_["quantization_error"],
        n_iter=np.array(som.n_iter_),
        n_features_in=np.array(som.n_features_in_),
    )
    if hasattr(som, "labels_"):
        arrays.update(
            labels=som.labels_,
            quantization_error=np.array(som.quantization_error_),
            topographic_error=np.array(som.topographic_error_),
        )
    if hasattr(som, "feature_names_in_"):
        arrays["feature_names_in"] = np.asarray(som.feature_names_in_, dtype=str)
    arrays.update(extra)
    np.savez(path, **arrays)


_KNOWN_KEYS = {
    "format", "format_version", "parameters", "init", "codebook", "umatrix",
    "history_sigma", "history_quantization_error", "n_iter", "n_features_in",
    "labels", "quantization_error", "topographic_error", "feature_names_in",
}  # fmt: skip


def load(path: str | os.PathLike):
    """Read a map written by :meth:`SOM.save`.

    Parameters
    ----------
    path : str or path-like
        A .npz file written by :meth:`SOM.save`.

    Returns
    -------
    som : SOM, SOMClassifier or SOMRegressor
        The fitted estimator, ready to predict.

    Raises
    ------
    ValueError
        When the file is not a saved map, is truncated, or its arrays do not
        fit together.
    """
    from ._som import SOM

    # The file is opened here, so that it is closed however numpy fails on
    # it (a truncated archive fails after numpy has taken the file).
    try:
        with open(path, "rb") as file:
            loaded = np.load(file, allow_pickle=False)
            if not isinstance(loaded, np.lib.npyio.NpzFile):
                raise ValueError("it holds a single array, not an .npz archive")
            with loaded as archive:
                arrays = {key: archive[key] for key in archive.files}
    except FileNotFoundError:
        raise
    except (OSError, ValueError, EOFError, zipfile.BadZipFile, KeyError) as error:
        raise ValueError(f"{os.fspath(path)} is not a readable saved map: {error}") from None
    kind = str(arrays.get("format", ""))
    if kind in SUPERVISED_FORMATS:
        return _load_supervised(path, kind, arrays)
    if kind != FORMAT:
        raise ValueError(f"{os.fspath(path)} is not a saved quorvel map")
    try:
        version = int(arrays["format_version"])
        if version != FORMAT_VERSION:
            raise ValueError(f"format version {version} is not {FORMAT_VERSION}")
        parameters = json.loads(str(arrays["parameters"]))
        if "init" in arrays:
            parameters["init"] = arrays["init"]
        som = SOM(**parameters)
        codebook = np.ascontiguousarray(arrays["codebook"], dtype=np.float32)
        n_features = int(arrays["n_features_in"])
        if codebook.shape != (som.rows, som.columns, n_features):
            raise ValueError(
                f"codebook of shape {codebook.shape} does not fit a "
                f"{som.columns} x {som.rows} map of {n_features} features"
            )
        umatrix = np.asarray(arrays["umatrix"], dtype=np.float32)
        if umatrix.shape != (som.rows, som.columns):
            raise ValueError(f"umatrix of shape {umatrix.shape} does not fit the map")
        som.codebook_ = codebook
        som.umatrix_ = umatrix
        som.history_ = {
            "sigma": np.asarray(arrays["history_sigma"], dtype=np.float64),
            "quantization_error": np.asarray(
                arrays["history_quantization_error"], dtype=np.float64
            ),
        }
        som.n_iter_ = int(arrays["n_iter"])
        som.n_features_in_ = n_features
        if "labels" in arrays:
            som.labels_ = np.asarray(arrays["labels"], dtype=np.int64)
            som.quantization_error_ = float(arrays["quantization_error"])
            som.topographic_error_ = float(arrays["topographic_error"])
        if "feature_names_in" in arrays:
            som.feature_names_in_ = np.asarray(arrays["feature_names_in"], dtype=object)
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{os.fspath(path)} is not a valid saved map: {error}") from None
    return som


# The supervised maps' files (see _saved_layers), by their format names.
SUPERVISED_FORMATS = ("quorvel.SOMClassifier", "quorvel.SOMRegressor")


def _load_supervised(path, kind: str, arrays: dict):
    from . import _supervised
    from ._saved_layers import restored

    try:
        return restored(getattr(_supervised, kind.split(".", 1)[1]), arrays)
    except (KeyError, TypeError, ValueError) as error:
        raise ValueError(f"{os.fspath(path)} is not a valid saved map: {error}") from None
