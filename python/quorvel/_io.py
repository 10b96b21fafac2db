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

Each kind of map registers its class under its ``format`` name, with the
fitted arrays it has beyond those of every map (:class:`FittedArray`);
:func:`load` checks every array of the file against that table before it
builds the estimator, so a map that cannot be right is refused with the
file's name and what is wrong, never used.
"""

from __future__ import annotations

import json
import os
import zipfile
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
from sklearn.utils.validation import check_is_fitted

from ._params import map_layout

FORMAT_VERSION = 1

# The first bytes of a zip archive (an .npz is one) and of a single .npy.
_ZIP_MAGIC = (b"PK\x03\x04", b"PK\x05\x06")
_NPY_MAGIC = b"\x93NUMPY"
_KINDS_OF_DTYPE = {"f": "floating-point numbers", "i": "integers", "U": "text"}


@dataclass(frozen=True)
class FittedArray:
    """One fitted array of a saved map, and the rules it must meet.

    Parameters
    ----------
    key : str
        Its name in the file.
    kind : {"f", "i", "U"}
        What it must hold: floating-point numbers, integers, text.
    shape : tuple of str or int
        Its shape. A name is a size of the map: "rows", "columns", "nodes"
        (rows x columns), "features" and "epochs" (``n_iter``); another name
        is set by the first array that uses it, and every later one must
        agree (``("classes",)`` then ``("rows", "columns", "classes")``).
    attribute : str, optional
        The estimator's attribute; ``key + "_"`` by default.
    entry : str, optional
        When the attribute is a dict: the array's entry in it.
    dtype : numpy dtype, optional
        What the attribute holds: the array converted to it, or a Python
        scalar for shape ``()``. The file's own dtype by default; text
        becomes an object array of str.
    finite : bool, default=True
        Whether floating-point values must be finite.
    group : str, optional
        Arrays saved only where the estimator has them, all of a group or
        none; None: every file has it.
    check : callable, optional
        ``check(values, sizes)`` returns what is wrong with the values, or
        None; ``sizes`` maps the names of ``shape`` to their values.
    """

    key: str
    kind: str
    shape: tuple[str | int, ...]
    attribute: str | None = None
    entry: str | None = None
    dtype: Any = None
    finite: bool = True
    group: str | None = None
    check: Callable[[np.ndarray, dict], str | None] | None = None

    @property
    def target(self) -> str:
        return self.attribute or self.key + "_"


def _at_least(low: float, what: str) -> Callable[[np.ndarray, dict], str | None]:
    """A check that every value is at least ``low`` (NaN is not)."""

    def check(values: np.ndarray, sizes: dict) -> str | None:
        bad = ~(values >= low)
        return f"holds {_first(values, bad)}; {what}" if np.any(bad) else None

    return check


def _above(low: float, what: str) -> Callable[[np.ndarray, dict], str | None]:
    """A check that every value is above ``low``."""

    def check(values: np.ndarray, sizes: dict) -> str | None:
        bad = ~(values > low)
        return f"holds {_first(values, bad)}; {what}" if np.any(bad) else None

    return check


def _first(values: np.ndarray, bad: np.ndarray) -> str:
    count = int(np.count_nonzero(bad))
    value = values[bad].flat[0]
    if values.ndim == 0:
        return f"{value}"
    index = tuple(int(i) for i in np.argwhere(bad)[0])
    where = index[0] if len(index) == 1 else index
    return f"{count} such value{'s' if count > 1 else ''}, the first {value} at {where}"


def _labels_check(values: np.ndarray, sizes: dict) -> str | None:
    nodes = sizes["nodes"]
    bad = (values < -1) | (values >= nodes)
    if np.any(bad):
        return (
            f"holds {_first(values, bad)}; a node of this {nodes}-node map is "
            f"0 to {nodes - 1} (-1: no node)"
        )
    return None


def _errors_check(values: np.ndarray, sizes: dict) -> str | None:
    """Errors per epoch are at least 0 (infinite where float32 distances
    overflow); NaN only for the last epoch of an interrupted fit, which
    stopped before measuring it, in a map without the final pass's
    results."""
    missing = np.isnan(values)
    if "final" not in sizes["groups"]:
        missing[-1:] = False
    if np.any(missing):
        return f"holds {_first(values, missing)}; only an interrupted fit's last epoch has no error"
    return _at_least(0.0, "errors are at least 0")(values, sizes)


def _fraction_check(values: np.ndarray, sizes: dict) -> str | None:
    if not 0.0 <= float(values) <= 1.0:
        return f"is {float(values)}, not a share from 0 to 1"
    return None


#: The fitted arrays of every map, in the order in which they are checked.
MAP_ARRAYS = (
    FittedArray("codebook", "f", ("rows", "columns", "features"), dtype=np.float32),
    # Distances between float32 vectors may overflow to infinity.
    FittedArray("umatrix", "f", ("rows", "columns"), dtype=np.float32, finite=False,
                check=_at_least(0.0, "distances are numbers of at least 0")),
    FittedArray("history_sigma", "f", ("epochs",), attribute="history_", entry="sigma",
                dtype=np.float64, check=_above(0.0, "widths are positive")),
    FittedArray("history_quantization_error", "f", ("epochs",), attribute="history_",
                entry="quantization_error", dtype=np.float64, finite=False,
                check=_errors_check),
    FittedArray("n_iter", "i", (), dtype=np.int64,
                check=_at_least(0, "a count of epochs is at least 0")),
    FittedArray("n_features_in", "i", (), dtype=np.int64,
                check=_at_least(1, "a map has at least one feature")),
    FittedArray("labels", "i", ("samples",), dtype=np.int64, group="final",
                check=_labels_check),
    FittedArray("quantization_error", "f", (), dtype=np.float64, finite=False,
                group="final", check=_at_least(0.0, "errors are numbers of at least 0")),
    FittedArray("topographic_error", "f", (), dtype=np.float64, group="final",
                check=_fraction_check),
    FittedArray("feature_names_in", "U", ("features",), group="names"),
)  # fmt: skip
_SIZES = {"n_features_in": "features", "n_iter": "epochs"}


@dataclass(frozen=True)
class _Kind:
    format: str
    cls: type
    arrays: tuple[FittedArray, ...]

    @property
    def keys(self) -> set[str]:
        return {"format", "format_version", "parameters", "init"} | {
            array.key for array in self.arrays
        }


_KINDS: dict[str, _Kind] = {}


def register(format_name: str, cls: type, arrays: Sequence[FittedArray] = ()) -> None:
    """Make ``format_name`` the saved form of the estimator class ``cls``.

    Parameters
    ----------
    format_name : str
        The file's ``format`` for maps of this class, e.g. "quorvel.SOM".
    cls : type
        The estimator; :func:`load` builds ``cls(**parameters)``.
    arrays : sequence of FittedArray
        Its fitted arrays beyond those of every map (:data:`MAP_ARRAYS`).
    """
    _KINDS[format_name] = _Kind(format_name, cls, MAP_ARRAYS + tuple(arrays))


# Kinds that read their file themselves: format name -> restore(arrays),
# which builds the fitted estimator from the file's arrays by key.
_LOADERS: dict[str, Callable[[dict], Any]] = {}


def register_loader(format_name: str, restore: Callable[[dict], Any]) -> None:
    """Lets :func:`load` read maps of ``format_name`` through ``restore``,
    for a kind whose fitted state is more than a map's arrays;
    ``restore`` raises KeyError, TypeError or ValueError for arrays that
    do not fit together."""
    _LOADERS[format_name] = restore


def _kind_of(som: Any) -> _Kind:
    for cls in type(som).__mro__:
        for kind in _KINDS.values():
            if kind.cls is cls:
                return kind
    raise TypeError(f"{type(som).__name__} is not a kind of map that can be saved")


def save(som: Any, path: str | os.PathLike, **extra: np.ndarray) -> None:
    """Write a fitted map to ``path`` (.npz).

    Parameters
    ----------
    som : SOM
        A fitted estimator of a registered kind.
    path : str or path-like
        Where to write; numpy adds ".npz" when the name lacks it.
    **extra : ndarray
        Further arrays to store beside the map, under their own keys.
    """
    check_is_fitted(som, "codebook_")
    kind = _kind_of(som)
    for key in extra:
        if key in kind.keys:
            raise ValueError(f"{key!r} is a key of the saved map itself")
    # The parameters the fitted arrays go with: a kind may answer those of
    # its fit where set_params has changed the next fit's.
    parameters = getattr(som, "_fitted_parameters", som.get_params)()
    arrays: dict[str, Any] = {}
    init = parameters.get("init")
    if init is not None and not isinstance(init, str):
        # Its own dtype, so that get_params() of the loaded map equals it.
        arrays["init"] = np.asarray(init)
        parameters["init"] = None
    if not (parameters.get("random_state") is None or isinstance(parameters["random_state"], int)):
        parameters["random_state"] = None
    arrays.update(
        format=np.array(kind.format),
        format_version=np.array(FORMAT_VERSION),
        parameters=np.array(json.dumps(parameters)),
    )
    for array in kind.arrays:
        if not hasattr(som, array.target):
            if array.group is None:
                raise ValueError(f"the map lacks {array.target}, which every saved map has")
            continue
        value = getattr(som, array.target)
        if array.entry is not None:
            value = value[array.entry]
        arrays[array.key] = np.asarray(value, dtype=str) if array.kind == "U" else np.asarray(value)
    arrays.update(extra)
    np.savez(path, **arrays)


class _Invalid(Exception):
    """What is wrong with a file that claims to be a saved map."""


class _Archive:
    """The arrays of an open .npz file, read one at a time, each refused
    with a message of its own when it is no plain array."""

    def __init__(self, archive: np.lib.npyio.NpzFile) -> None:
        self.archive = archive

    def __contains__(self, key: str) -> bool:
        return key in self.archive.files

    def __getitem__(self, key: str) -> np.ndarray:
        try:
            value = self.archive[key]
        except ValueError as error:
            if "pickle" in str(error):
                # Never numpy's advice to allow pickles: a saved map has none.
                raise _Invalid(f"{key!r} holds Python objects, which no saved map has") from None
            raise _Invalid(f"{key!r} cannot be read: {error}") from None
        except (OSError, EOFError, zipfile.BadZipFile, KeyError) as error:
            raise _Invalid(f"{key!r} cannot be read: {error}") from None
        if not isinstance(value, np.ndarray):
            raise _Invalid(f"{key!r} is not a NumPy array")
        return value


def _text(arrays: _Archive, key: str) -> str:
    value = arrays[key]
    if value.dtype.kind != "U" or value.shape != ():
        raise _Invalid(f"{key!r} is not a text")
    return str(value)


def _open(path: str | os.PathLike) -> tuple[_Kind, dict, Any]:
    """The kind of the saved map at ``path``, its checked fitted arrays by
    key, and the estimator of its checked parameters."""
    name = os.fspath(path)
    not_a_map = f"{name} is not a saved quorvel map"
    # The file is opened here, so that it is closed however numpy fails on
    # it (a truncated archive fails after numpy has taken the file).
    try:
        with open(path, "rb") as file:
            start = file.read(len(_NPY_MAGIC))
            if start.startswith(_NPY_MAGIC):
                raise ValueError(f"{not_a_map}: it holds a single NumPy array, not an .npz archive")
            if not start.startswith(_ZIP_MAGIC):
                raise ValueError(f"{not_a_map}: it is not an .npz archive")
            file.seek(0)
            try:
                archive = np.load(file, allow_pickle=False)
            except (OSError, ValueError, EOFError, zipfile.BadZipFile) as error:
                raise ValueError(f"{not_a_map}: the archive is damaged ({error})") from None
            with archive:
                return _read(_Archive(archive), name, not_a_map)
    except _Invalid as problem:
        raise ValueError(f"{name} is not a valid saved quorvel map: {problem}") from None
    except OSError as error:
        if isinstance(error, FileNotFoundError):
            raise
        raise ValueError(f"{name} cannot be read: {error.strerror or error}") from None


def _read(arrays: _Archive, name: str, not_a_map: str) -> tuple[_Kind, dict, Any]:
    """What :func:`_open` returns, from the arrays of an .npz file."""
    if "format" not in arrays:
        raise ValueError(f"{not_a_map}: it has no 'format' array")
    try:
        format_name = _text(arrays, "format")
    except _Invalid:
        raise ValueError(f"{not_a_map}: its 'format' is not a text") from None
    if format_name in _LOADERS:
        keys = arrays.archive.files
        try:
            return None, {}, _LOADERS[format_name]({key: arrays[key] for key in keys})
        except (KeyError, TypeError, ValueError) as error:
            raise _Invalid(str(error)) from None
    if format_name not in _KINDS:
        if not format_name.startswith("quorvel."):
            raise ValueError(f"{not_a_map}: its format is {format_name!r}")
        raise ValueError(
            f"{name} holds a map of kind {format_name!r}, which this version of "
            f"quorvel does not read (it reads {', '.join(sorted(_KINDS))})"
        )
    kind = _KINDS[format_name]
    for key in ("format_version", "parameters"):
        if key not in arrays:
            raise _Invalid(f"it lacks {key!r}")
    version = arrays["format_version"]
    if version.dtype.kind not in "iu" or version.shape != () or int(version) != FORMAT_VERSION:
        raise _Invalid(f"format version {version} is not {FORMAT_VERSION}, the one this quorvel reads")
    try:
        parameters = json.loads(_text(arrays, "parameters"))
    except json.JSONDecodeError as error:
        raise _Invalid(f"'parameters' is not JSON text ({error})") from None
    if not isinstance(parameters, dict):
        raise _Invalid("'parameters' is not a JSON object of names and values")
    if "init" in arrays:
        parameters["init"] = arrays["init"]
    som = _estimator(kind.cls, parameters)
    params = som.get_params()
    sizes: dict[str, Any] = {"rows": params["rows"], "columns": params["columns"]}
    sizes["nodes"] = sizes["rows"] * sizes["columns"]
    sizes["groups"] = set()
    groups = {array.group for array in kind.arrays if array.group}
    for group in sorted(groups):
        members = [a.key for a in kind.arrays if a.group == group]
        present = [key for key in members if key in arrays]
        if present and len(present) < len(members):
            missing = sorted(set(members) - set(present))
            raise _Invalid(f"it has {', '.join(present)} but lacks {', '.join(missing)}")
        if present:
            sizes["groups"].add(group)
    fitted = {}
    # The arrays that set a size of the map first, for the others' shapes.
    for array in sorted(kind.arrays, key=lambda array: array.key not in _SIZES):
        if array.key not in arrays:
            if array.group is None:
                raise _Invalid(f"it lacks {array.key!r}")
            continue
        value = _checked(array, arrays[array.key], sizes)
        if array.key in _SIZES:
            sizes[_SIZES[array.key]] = int(value)
        fitted[array.key] = value
    return kind, fitted, som


def _estimator(cls: type, parameters: dict) -> Any:
    """``cls(**parameters)``, refused where the estimator's own validation
    refuses them."""
    try:
        som = cls(**parameters)
    except TypeError as error:
        raise _Invalid(f"its parameters do not fit {cls.__name__}: {error}") from None
    try:
        som._validate_params()
        params = som.get_params()
        map_layout(params["columns"], params["rows"], params["grid"], params["topology"])
    except (TypeError, ValueError) as error:
        raise _Invalid(f"its parameters are refused: {error}") from None
    return som


def _checked(array: FittedArray, value: np.ndarray, sizes: dict) -> Any:
    """``value`` as the attribute holds it, once it meets ``array``'s rules."""
    key = array.key
    dtype_kind = value.dtype.kind
    if not (dtype_kind == array.kind or array.kind == "i" and dtype_kind == "u"):
        raise _Invalid(f"{key!r} must hold {_KINDS_OF_DTYPE[array.kind]}, not {value.dtype}")
    expected = []
    for size in array.shape:
        if isinstance(size, str) and size not in sizes:
            position = len(expected)
            sizes[size] = value.shape[position] if position < value.ndim else None
        expected.append(sizes[size] if isinstance(size, str) else size)
    if value.shape != tuple(expected):
        named = ", ".join(
            f"{size}={sizes[size]}" for size in array.shape if isinstance(size, str)
        )
        raise _Invalid(
            f"{key!r} has shape {value.shape}, not {tuple(expected)}"
            + (f" ({named})" if named else "")
        )
    if array.kind == "f" and array.finite:
        bad = ~np.isfinite(value)
        if np.any(bad):
            raise _Invalid(f"{key!r} holds NaN or infinite values: {_first(value, bad)}")
    if array.check is not None:
        problem = array.check(value, sizes)
        if problem is not None:
            raise _Invalid(f"{key!r} {problem}")
    if array.kind == "U":
        return np.asarray(value, dtype=object)
    converted = value.astype(array.dtype or value.dtype, copy=False)
    if converted.shape == ():
        return converted.item()
    return np.ascontiguousarray(converted)


def load(path: str | os.PathLike) -> Any:
    """Read a map written by :meth:`SOM.save`.

    Parameters
    ----------
    path : str or path-like
        A .npz file written by :meth:`SOM.save` (or the ``save`` of another
        registered kind of map).

    Returns
    -------
    som : SOM
        The fitted estimator, ready to predict.

    Raises
    ------
    FileNotFoundError
        When there is no such file.
    ValueError
        When the file is not a saved map, or its map cannot be right (a
        codebook that is not finite, labels that are no node of the map,
        arrays that do not fit together, parameters the estimator refuses);
        the message names the file and what is wrong.
    """
    kind, fitted, som = _open(path)
    if kind is None:  # a kind that read its file itself
        return som
    for array in kind.arrays:
        if array.key not in fitted:
            continue
        if array.entry is None:
            setattr(som, array.target, fitted[array.key])
        else:
            holder = som.__dict__.setdefault(array.target, {})
            holder[array.entry] = fitted[array.key]
    return som

