"""Map files: a map as :meth:`quorvel.SOM.save` writes it, with the
command line's arrays beside it (whose names start with ``cli_``): the names
and positions of the columns it was trained on, after ``--arcsinh`` its
cofactor, after ``--standardize`` the mean and scale of each, and after
``--metaclusters`` the metacluster of every node. Every output file is
written under a temporary name and renamed when complete, so that an
interrupted command leaves no partial file.
"""

from __future__ import annotations

import contextlib
import copy
import os
import pathlib
import tempfile
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

import quorvel

from .._cytometry import arcsinh
from .._io import save
from ._errors import CommandError
from ._files import Table, choose_columns, read_table

__all__ = [
    "MapFile", "atomic_output", "cannot_write", "map_data", "read_map", "write_map",
]  # fmt: skip


def cannot_write(path: str, error: OSError) -> CommandError:
    """The failure to write ``path``, named as the user gave it: the
    system's message may name a temporary file, or no file at all (a full
    disk)."""
    return CommandError(f"{path}: cannot write: {error.strerror or error}")


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[str]:
    """A temporary name beside ``path``, renamed to it when the block ends
    without error and removed otherwise (Ctrl-C included). Failures to write
    in the block are reported as failures to write ``path``."""
    target = pathlib.Path(path)
    folder = target.parent
    if target.is_dir():
        raise CommandError(f"{path}: cannot write: it is a folder; name a file")
    if not folder.is_dir():
        raise CommandError(f"{path}: no folder {str(folder)!r} to write into")
    try:
        handle, temporary = tempfile.mkstemp(
            dir=folder, prefix=f".{target.name}.", suffix=f".part{target.suffix}"
        )
        os.close(handle)
    except OSError as error:
        raise cannot_write(path, error) from None
    try:
        yield temporary
        # mkstemp makes files only their owner may read; give the finished
        # file the permissions of any file this user makes.
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, target)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise cannot_write(path, error) from None
        raise


# --------------------------------------------------------------------------
# Map files


@dataclass
class MapFile:
    """A map with what the command line keeps beside it."""

    som: Any
    feature_names: list[str] | None = None  # column names, when DATA had a header
    columns: np.ndarray | None = None  # positions of those columns in DATA
    column_count: int | None = None  # columns of the training DATA
    mean: np.ndarray | None = None  # --standardize: x -> (x - mean) / scale
    scale: np.ndarray | None = None
    source: str | None = None
    cofactor: float | None = None  # --arcsinh: x -> arcsinh(x / cofactor), first
    metaclusters: np.ndarray | None = None  # --metaclusters: the group of each node

    def extra_arrays(self) -> dict[str, np.ndarray]:
        arrays: dict[str, np.ndarray] = {}
        if self.feature_names is not None:
            arrays["cli_feature_names"] = np.array(self.feature_names, dtype=str)
        if self.columns is not None:
            arrays["cli_columns"] = np.asarray(self.columns, dtype=np.int64)
            arrays["cli_column_count"] = np.array(self.column_count, dtype=np.int64)
        if self.mean is not None:
            arrays["cli_mean"] = np.asarray(self.mean, dtype=np.float64)
            arrays["cli_scale"] = np.asarray(self.scale, dtype=np.float64)
        if self.source is not None:
            arrays["cli_source"] = np.array(self.source, dtype=str)
        if self.cofactor is not None:
            arrays["cli_cofactor"] = np.array(self.cofactor, dtype=np.float64)
        if self.metaclusters is not None:
            arrays["cli_metaclusters"] = np.asarray(self.metaclusters, dtype=np.int64)
        return arrays

    def scaled(self, values: np.ndarray) -> np.ndarray:
        if self.cofactor is not None:
            values = arcsinh(values, self.cofactor)
        if self.mean is None:
            return values
        return (values - self.mean) / self.scale

    def display_map(self) -> Any:
        """The map with its codebook in the units of DATA (after --arcsinh),
        for pictures."""
        if self.mean is None:
            return self.som
        shown = copy.copy(self.som)
        shown.codebook_ = (
            np.asarray(self.som.codebook_, dtype=np.float64) * self.scale + self.mean
        )
        return shown


def write_map(map_file: MapFile, path: str) -> None:
    """Save the map and the command line's arrays in one .npz file."""
    with atomic_output(path) as temporary, open(temporary, "wb") as stream:
        save(map_file.som, stream, **map_file.extra_arrays())


def read_map(path: str) -> MapFile:
    """Read a map file written by ``train`` or by :meth:`quorvel.SOM.save`."""
    file = pathlib.Path(path)
    if not file.is_file():
        raise CommandError(f"{path}: no such map file")
    try:
        som = quorvel.load(file)
        with np.load(file, allow_pickle=False) as archive:
            extra = {
                name: archive[name] for name in archive.files if name.startswith("cli_")
            }
    except (ValueError, OSError, EOFError) as error:
        # load names the file itself: keep only what it found wrong.
        reason = str(error)
        if reason.startswith(str(file)) and ": " in reason:
            reason = reason.split(": ", 1)[1]
        raise CommandError(f"{path}: not a map file ({reason})") from None
    map_file = MapFile(som)
    if "cli_feature_names" in extra:
        map_file.feature_names = [str(name) for name in extra["cli_feature_names"]]
    if "cli_columns" in extra:
        map_file.columns = extra["cli_columns"]
        map_file.column_count = int(extra["cli_column_count"])
    if "cli_mean" in extra:
        map_file.mean = extra["cli_mean"]
        map_file.scale = extra["cli_scale"]
    if "cli_source" in extra:
        map_file.source = str(extra["cli_source"])
    if "cli_cofactor" in extra:
        map_file.cofactor = float(extra["cli_cofactor"])
    if "cli_metaclusters" in extra:
        map_file.metaclusters = extra["cli_metaclusters"]
    return map_file


def _columns_for_map(map_file: MapFile, table: Table, features: Sequence[str] | None,
                     drop: Sequence[str] | None) -> list[int]:  # fmt: skip
    """The columns of new DATA that match those the map was trained on."""
    n_features = int(map_file.som.codebook_.shape[2])
    if features or drop:
        chosen = choose_columns(table, features, drop)
    else:
        names = map_file.feature_names
        if names is None and hasattr(map_file.som, "feature_names_in_"):
            names = [str(name) for name in map_file.som.feature_names_in_]
        if names is not None and table.has_header:
            absent = [name for name in names if name not in table.names]
            if absent:
                raise CommandError(
                    f"{table.source}: no column {absent[0]!r}, which the map was "
                    "trained on"
                )
            chosen = [table.names.index(name) for name in names]
        elif map_file.columns is not None and len(table.names) == map_file.column_count:
            chosen = [int(index) for index in map_file.columns]
        elif len(table.names) == n_features:
            chosen = list(range(n_features))
        else:
            raise CommandError(
                f"{table.source}: {len(table.names)} columns, but the map was "
                f"trained on {n_features}; choose them with --features or --drop"
            )
    if len(chosen) != n_features:
        raise CommandError(
            f"{table.source}: {len(chosen)} columns chosen, but the map was trained "
            f"on {n_features}"
        )
    return chosen


def map_data(
    map_file: MapFile,
    path: str,
    features: Sequence[str] | None,
    drop: Sequence[str] | None,
) -> tuple[Table, np.ndarray]:
    """DATA and the values of its columns that the map was trained on,
    scaled as they were, with missing values where the map takes them."""
    table = read_table(path)
    chosen = _columns_for_map(map_file, table, features, drop)
    missing = map_file.som.missing == "ignore"
    return table, map_file.scaled(table.numbers(chosen, missing=missing))
