"""Saved supervised maps: the arrays of the .npz file that
:meth:`SOMClassifier.save` and :meth:`SOMRegressor.save` write and
:func:`quorvel.load` reads back with ``allow_pickle=False``.

Beside what a saved :class:`SOM` holds (``format``, here
"quorvel.SOMClassifier" or "quorvel.SOMRegressor"; ``format_version`` 1;
``parameters`` as JSON text, an ``init`` array as ``init``; ``codebook``,
the data layer; ``umatrix``, ``labels``, ``history_sigma``,
``history_quantization_error``, ``n_iter``, ``n_features_in``,
``quantization_error``, ``topographic_error`` and, where
fitted on named columns, ``feature_names_in``) the file holds
``label_codebook`` and ``label_scale``, and for a classifier ``classes``
(numbers or text; ``classes_object`` where they were Python objects) and
``class_prior``, for a regressor ``target_mean`` and ``target_scale``.
"""

from __future__ import annotations

import json

import numpy as np
from sklearn.utils.validation import check_is_fitted

FORMAT_VERSION = 1

# Fitted attribute -> dtype of its array; None keeps the saved dtype.
_COMMON = {
    "codebook_": np.float32,
    "label_codebook_": np.float64,
    "umatrix_": np.float32,
    "labels_": np.int64,
}
_OWN = {
    "SOMClassifier": {"classes_": None, "class_prior_": np.float64},
    "SOMRegressor": {"target_mean_": np.float64, "target_scale_": np.float64},
}


def format_name(model) -> str:
    """The file's format of a supervised map or of its class."""
    cls = model if isinstance(model, type) else type(model)
    return f"quorvel.{cls.__name__}"


def saved_arrays(model) -> dict[str, np.ndarray]:
    """The arrays of the file of a fitted supervised map."""
    check_is_fitted(model, "codebook_")
    parameters = model.get_params()
    arrays: dict[str, np.ndarray] = {}
    if not isinstance(parameters["init"], str):
        arrays["init"] = np.asarray(parameters["init"])
        parameters["init"] = None
    if not (parameters["random_state"] is None or isinstance(parameters["random_state"], int)):
        parameters["random_state"] = None
    arrays.update(
        format=np.array(format_name(model)),
        format_version=np.array(FORMAT_VERSION),
        parameters=np.array(json.dumps(parameters)),
        history_sigma=model.history_["sigma"],
        history_quantization_error=model.history_["quantization_error"],
        n_iter=np.array(model.n_iter_),
        n_features_in=np.array(model.n_features_in_),
        label_scale=np.array(model.label_scale_),
        quantization_error=np.array(model.quantization_error_),
        topographic_error=np.array(model.topographic_error_),
    )
    for name in (*_COMMON, *_OWN[type(model).__name__]):
        arrays[name.rstrip("_")] = np.asarray(getattr(model, name))
    classes = arrays.get("classes")
    if classes is not None and classes.dtype == object:
        # Python objects need pickle; strings or numbers of one kind do not.
        plain = np.asarray(classes.tolist())
        if plain.dtype == object or plain.shape != classes.shape:
            raise ValueError("classes_ of mixed types cannot be saved without pickle")
        arrays["classes"] = plain
        arrays["classes_object"] = np.array(True)
    if hasattr(model, "feature_names_in_"):
        arrays["feature_names_in"] = np.asarray(model.feature_names_in_, dtype=str)
    return arrays


def restored(kind, arrays: dict[str, np.ndarray]):
    """A fitted supervised map of class ``kind`` from the file's arrays;
    ValueError or KeyError when they do not fit together."""
    version = int(arrays["format_version"])
    if version != FORMAT_VERSION:
        raise ValueError(f"format version {version} is not {FORMAT_VERSION}")
    parameters = json.loads(str(arrays["parameters"]))
    if "init" in arrays:
        parameters["init"] = arrays["init"]
    model = kind(**parameters)
    for name, dtype in (*_COMMON.items(), *_OWN[kind.__name__].items()):
        value = arrays[name.rstrip("_")]
        setattr(model, name, np.ascontiguousarray(value, dtype=dtype))
    if "classes_object" in arrays:
        model.classes_ = model.classes_.astype(object)
    model.label_scale_ = float(arrays["label_scale"])
    model.quantization_error_ = float(arrays["quantization_error"])
    model.topographic_error_ = float(arrays["topographic_error"])
    model.n_iter_ = int(arrays["n_iter"])
    model.n_features_in_ = int(arrays["n_features_in"])
    model.history_ = {
        "sigma": np.asarray(arrays["history_sigma"], dtype=np.float64),
        "quantization_error": np.asarray(arrays["history_quantization_error"], dtype=np.float64),
    }
    if "feature_names_in" in arrays:
        model.feature_names_in_ = np.asarray(arrays["feature_names_in"], dtype=object)
    _check_shapes(model)
    return model


def _check_shapes(model) -> None:
    codebook = model.codebook_
    if codebook.ndim != 3 or codebook.shape[2] != model.n_features_in_:
        raise ValueError(
            f"codebook of shape {codebook.shape} is no map of {model.n_features_in_} features"
        )
    grid = codebook.shape[:2]
    if model.umatrix_.shape != grid:
        raise ValueError(f"umatrix of shape {model.umatrix_.shape} does not fit the map")
    labels = model.label_codebook_
    if labels.shape[:2] != grid or labels.ndim != 3:
        raise ValueError(f"label_codebook of shape {labels.shape} does not fit the map")
    width = labels.shape[2]
    for name in _OWN[type(model).__name__]:
        if getattr(model, name).shape != (width,):
            raise ValueError(
                f"{name.rstrip('_')} of shape {getattr(model, name).shape} does not fit "
                f"label_codebook of shape {labels.shape}"
            )
