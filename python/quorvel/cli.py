"""The ``quorvel`` command: train a map from a file, and use it.

::

    quorvel train DATA -o map.npz [options]    train a map on the rows of DATA
    quorvel predict map.npz DATA [-o bmus.csv] the best-matching node of each row
    quorvel plot map.npz [DATA] -o picture.png --kind umatrix|planes|hits
    quorvel info map.npz                       what a map file holds

DATA is a CSV or TSV file (the delimiter and a header line are detected), a
``.npy`` array, a ``.npz`` archive holding one array (or one named ``X``), or
a Parquet file when pyarrow is installed; ``-`` reads it from standard input.
The kind of file is told from its first bytes, not from its name.

The map file is what :meth:`quorvel.SOM.save` writes, with a few more arrays
whose names start with ``cli_``: the names and positions of the columns the
map was trained on and, after ``--standardize``, the mean and scale of each,
so that ``predict`` and ``plot`` pick and scale the columns of new data the
same way. :func:`quorvel.load` reads such a file like any other map.

Exit status: 0 on success, 1 for data or files that cannot be used, 2 for bad
usage, 130 when interrupted. Errors are reported in one line on standard
error. Output files are written under a temporary name and renamed when
complete, so an interrupted command leaves no partial file.
"""

from __future__ import annotations

import argparse
import contextlib
import copy
import csv
import io
import os
import pathlib
import re
import sys
import tempfile
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import IO, Any

import numpy as np

__all__ = ["main"]

PROG = "quorvel"
_NPY_MAGIC = b"\x93NUMPY"
_ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
_PARQUET_MAGIC = b"PAR1"
_OPTION_OF_PARAMETER = {"n_jobs": "--jobs", "random_state": "--seed"}


class CommandError(Exception):
    """A failure to report in one line, with the exit status to end with."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def _usage_error(message: str) -> CommandError:
    return CommandError(message, status=2)


# --------------------------------------------------------------------------
# Reading data


@dataclass
class Table:
    """Columns read from DATA, converted to numbers only when asked for."""

    source: str
    names: list[str]
    has_header: bool
    row_count: int
    _numbers: Callable[[list[int]], np.ndarray]
    _texts: Callable[[int], np.ndarray]
    lines: list[int] | None = None  # line of each row in a text file

    def column_label(self, index: int) -> str:
        return repr(self.names[index]) if self.has_header else f"{index + 1}"

    def numbers(self, indices: Sequence[int]) -> np.ndarray:
        """The chosen columns as float64, shape (rows, len(indices))."""
        values = self._numbers(list(indices))
        for position, index in enumerate(indices):
            column = values[:, position]
            bad = np.flatnonzero(~np.isfinite(column))
            if bad.size:
                raise CommandError(
                    f"{self.source}: {self._place(int(bad[0]))}, column "
                    f"{self.column_label(index)}: {column[bad[0]]} is not a finite "
                    f"number ({bad.size} such values in that column)"
                )
        return values

    def texts(self, index: int) -> np.ndarray:
        """One column as strings, for class labels."""
        return self._texts(index)

    def _place(self, row: int) -> str:
        if self.lines is not None:
            return f"line {self.lines[row]}"
        return f"row {row + 1}"


def _open_data(path: str) -> tuple[str, bytes | None, pathlib.Path | None]:
    """Name for messages and the bytes (standard input) or the path."""
    if path == "-":
        return "standard input", sys.stdin.buffer.read(), None
    file = pathlib.Path(path)
    if not file.exists():
        raise CommandError(f"{path}: no such file")
    if file.is_dir():
        raise CommandError(f"{path}: is a folder, not a data file")
    return path, None, file


def _first_bytes(content: bytes | None, file: pathlib.Path | None) -> bytes:
    if content is not None:
        return content[:8]
    with open(file, "rb") as stream:
        return stream.read(8)


def read_table(path: str) -> Table:
    """Read DATA of any supported kind."""
    source, content, file = _open_data(path)
    try:
        head = _first_bytes(content, file)
    except OSError as error:
        raise CommandError(f"{source}: cannot read: {error.strerror}") from None
    stream: Any = io.BytesIO(content) if content is not None else file
    try:
        if head.startswith(_NPY_MAGIC):
            return _read_npy(source, stream)
        if head.startswith(_ZIP_MAGICS):
            return _read_npz(source, stream)
        if head.startswith(_PARQUET_MAGIC):
            return _read_parquet(source, stream)
        raw = content if content is not None else file.read_bytes()
    except OSError as error:
        raise CommandError(f"{source}: cannot read: {error.strerror}") from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise CommandError(
            f"{source}: neither UTF-8 text (CSV, TSV) nor a .npy, .npz or Parquet file"
        ) from None
    return _read_text(source, text)


def _array_table(source: str, array: np.ndarray, what: str) -> Table:
    if array.dtype.names is not None or not (
        np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_
    ):
        raise CommandError(f"{source}: {what} holds {array.dtype} values, not numbers")
    if array.ndim == 1:
        array = array[:, None]
    if array.ndim != 2:
        raise CommandError(
            f"{source}: {what} has {array.ndim} dimensions; expected a table of "
            "rows and columns (2 dimensions)"
        )
    names = [str(index + 1) for index in range(array.shape[1])]
    return Table(
        source,
        names,
        False,
        array.shape[0],
        lambda indices: np.asarray(array[:, indices], dtype=np.float64),
        lambda index: np.asarray(array[:, index]).astype(str),
    )


def _read_npy(source: str, stream: Any) -> Table:
    try:
        array = np.load(stream, allow_pickle=False)
    except ValueError as error:
        raise CommandError(f"{source}: cannot read the .npy array: {error}") from None
    return _array_table(source, array, "the array")


def _read_npz(source: str, stream: Any) -> Table:
    try:
        with np.load(stream, allow_pickle=False) as archive:
            keys = list(archive.keys())
            if len(keys) == 1:
                key = keys[0]
            elif "X" in keys:
                key = "X"
            else:
                raise CommandError(
                    f"{source}: holds the arrays {', '.join(keys) or '(none)'}; "
                    "expected one array, or one named X"
                )
            array = archive[key]
    except (ValueError, OSError, EOFError) as error:
        raise CommandError(f"{source}: cannot read the .npz archive: {error}") from None
    return _array_table(source, array, f"array {key!r}")


def _read_parquet(source: str, stream: Any) -> Table:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise CommandError(
            f"{source}: reading Parquet needs pyarrow: pip install quorvel[parquet]"
        ) from None
    try:
        data = pq.read_table(stream)
    except (pa.ArrowException, OSError) as error:
        raise CommandError(f"{source}: cannot read the Parquet file: {error}") from None
    names = list(data.column_names)

    def numbers(indices: list[int]) -> np.ndarray:
        columns = []
        for index in indices:
            column = data.column(index)
            kind = column.type
            if not (
                pa.types.is_integer(kind)
                or pa.types.is_floating(kind)
                or pa.types.is_boolean(kind)
                or pa.types.is_decimal(kind)
            ):
                raise _not_numeric(
                    source, repr(names[index]), names[index], f"of type {kind}"
                )
            if column.null_count:
                first = int(
                    np.flatnonzero(column.is_null().to_numpy(zero_copy_only=False))[0]
                )
                raise CommandError(
                    f"{source}: row {first + 1}, column {names[index]!r}: missing "
                    f"value ({column.null_count} in that column)"
                )
            columns.append(
                np.asarray(column.to_numpy(zero_copy_only=False), dtype=np.float64)
            )
        if not columns:
            return np.empty((data.num_rows, 0))
        return np.column_stack(columns)

    def texts(index: int) -> np.ndarray:
        return np.array([str(value) for value in data.column(index).to_pylist()])

    return Table(source, names, True, data.num_rows, numbers, texts)


def _not_numeric(source: str, column: str, token: str, detail: str) -> CommandError:
    return CommandError(
        f"{source}: column {column} is not numeric ({detail}); leave it out "
        f"with --drop {token}, or choose the columns with --features"
    )


def _is_number(text: str) -> bool:
    try:
        float(text)
    except ValueError:
        return False
    return True


def _read_text(source: str, text: str) -> Table:
    first_line = text.split("\n", 1)[0]
    delimiter = max(("\t", ",", ";"), key=first_line.count)
    if first_line.count(delimiter) == 0:
        delimiter = ","
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    rows: list[list[str]] = []
    lines: list[int] = []
    header: list[str] | None = None
    width = None
    for fields in reader:
        if not fields or (len(fields) == 1 and not fields[0].strip()):
            continue  # blank line
        if width is None:
            width = len(fields)
            if not all(_is_number(value) for value in fields):
                header = [value.strip() for value in fields]
                continue
        if len(fields) != width:
            raise CommandError(
                f"{source}: line {reader.line_num} has {len(fields)} fields, "
                f"{'the header' if header is not None else 'the first line'} has "
                f"{width}"
            )
        rows.append(fields)
        lines.append(reader.line_num)
    if width is None:
        raise CommandError(f"{source}: no data (the file is empty)")
    if not rows:
        raise CommandError(f"{source}: a header line but no rows of data")
    has_header = header is not None
    names = header if has_header else [str(index + 1) for index in range(width)]

    def label(index: int) -> str:
        return repr(names[index]) if has_header else str(index + 1)

    def numbers(indices: list[int]) -> np.ndarray:
        values = np.empty((len(rows), len(indices)))
        for position, index in enumerate(indices):
            column = [fields[index].strip() for fields in rows]
            try:
                values[:, position] = np.array(column).astype(np.float64)
                continue
            except ValueError:
                pass
            for row, value in enumerate(column):
                if not _is_number(value):
                    if row == 0:
                        raise _not_numeric(
                            source,
                            label(index),
                            names[index] if has_header else str(index + 1),
                            f"line {lines[row]}: {value!r}",
                        )
                    what = "empty" if not value else f"{value!r} is not a number"
                    raise CommandError(
                        f"{source}: line {lines[row]}, column {label(index)}: {what}"
                    )
        return values

    def texts(index: int) -> np.ndarray:
        return np.array([fields[index].strip() for fields in rows])

    return Table(source, names, has_header, len(rows), numbers, texts, lines)


def _split_names(values: Sequence[str] | None) -> list[str]:
    names: list[str] = []
    for value in values or ():
        names.extend(part.strip() for part in value.split(",") if part.strip())
    return names


def _column_index(table: Table, token: str, option: str) -> int:
    if table.has_header and token in table.names:
        return table.names.index(token)
    if token.isdigit() and 1 <= int(token) <= len(table.names):
        return int(token) - 1
    known = (
        ", ".join(table.names)
        if table.has_header
        else f"numbers 1 to {len(table.names)}, the file has no header"
    )
    raise _usage_error(
        f"{option}: {table.source} has no column {token!r} (its columns: {known})"
    )


def choose_columns(
    table: Table, features: Sequence[str] | None, drop: Sequence[str] | None
) -> list[int]:
    """Indices of the columns chosen by --features or left by --drop."""
    if features:
        chosen = [
            _column_index(table, token, "--features")
            for token in _split_names(features)
        ]
        duplicates = sorted({table.names[i] for i in chosen if chosen.count(i) > 1})
        if duplicates:
            raise _usage_error(f"--features: column {duplicates[0]!r} named twice")
    else:
        dropped = {
            _column_index(table, token, "--drop") for token in _split_names(drop)
        }
        chosen = [index for index in range(len(table.names)) if index not in dropped]
    if not chosen:
        raise _usage_error(f"--drop: no column of {table.source} is left to train on")
    return chosen


# --------------------------------------------------------------------------
# Writing files


@contextlib.contextmanager
def _atomic_output(path: str) -> Iterator[str]:
    """A temporary name beside ``path``, renamed to it when the block ends
    without error and removed otherwise (Ctrl-C included)."""
    target = pathlib.Path(path)
    folder = target.parent
    if not folder.is_dir():
        raise CommandError(f"{path}: no folder {str(folder)!r} to write into")
    handle, temporary = tempfile.mkstemp(
        dir=folder, prefix=f".{target.name}.", suffix=f".part{target.suffix}"
    )
    os.close(handle)
    try:
        yield temporary
        # mkstemp makes files only their owner may read; give the finished
        # file the permissions of any file this user makes.
        mask = os.umask(0)
        os.umask(mask)
        os.chmod(temporary, 0o666 & ~mask)
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
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
        return arrays

    def scaled(self, values: np.ndarray) -> np.ndarray:
        if self.mean is None:
            return values
        return (values - self.mean) / self.scale

    def display_map(self) -> Any:
        """The map with its codebook in the units of DATA, for pictures."""
        if self.mean is None:
            return self.som
        shown = copy.copy(self.som)
        shown.codebook_ = (
            np.asarray(self.som.codebook_, dtype=np.float64) * self.scale + self.mean
        )
        return shown


def write_map(map_file: MapFile, path: str) -> None:
    """Save the map and the command line's arrays in one .npz file."""
    from ._io import save

    with _atomic_output(path) as temporary, open(temporary, "wb") as stream:
        save(map_file.som, stream, **map_file.extra_arrays())


def read_map(path: str) -> MapFile:
    """Read a map file written by ``train`` or by :meth:`quorvel.SOM.save`."""
    import quorvel

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
        raise CommandError(f"{path}: not a map file ({error})") from None
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
    return map_file


def _columns_for_map(
    map_file: MapFile,
    table: Table,
    features: Sequence[str] | None,
    drop: Sequence[str] | None,
) -> list[int]:
    """The columns of new DATA that match those the map was trained on."""
    n_features = int(map_file.som.codebook_.shape[2])
    if features or drop:
        chosen = choose_columns(table, features, drop)
    else:
        names = map_file.feature_names
        if names is None and hasattr(map_file.som, "feature_names_in_"):
            names = [str(name) for name in map_file.som.feature_names_in_]
        if names is not None and table.has_header:
            missing = [name for name in names if name not in table.names]
            if missing:
                raise CommandError(
                    f"{table.source}: no column {missing[0]!r}, which the map was "
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


def _map_data(
    map_file: MapFile,
    path: str,
    features: Sequence[str] | None,
    drop: Sequence[str] | None,
) -> tuple[Table, np.ndarray]:
    table = read_table(path)
    chosen = _columns_for_map(map_file, table, features, drop)
    return table, map_file.scaled(table.numbers(chosen))


# --------------------------------------------------------------------------
# The commands


def _option_of(error: Exception) -> str:
    found = re.search(r"'(\w+)' parameter", str(error))
    if not found:
        return "an option"
    parameter = found.group(1)
    return _OPTION_OF_PARAMETER.get(parameter, "--" + parameter.replace("_", "-"))


def command_train(args: argparse.Namespace) -> int:
    from sklearn.utils._param_validation import InvalidParameterError

    import quorvel

    if args.grid == "hexagonal" and args.topology == "toroid" and args.rows % 2:
        raise _usage_error(
            f"--rows: a hexagonal toroid needs an even number of rows, got {args.rows}"
        )
    table = read_table(args.data)
    chosen = choose_columns(table, args.features, args.drop)
    values = table.numbers(chosen)
    map_file = MapFile(
        None,
        feature_names=[table.names[i] for i in chosen] if table.has_header else None,
        columns=np.array(chosen),
        column_count=len(table.names),
        source=table.source if args.data == "-" else os.path.basename(args.data),
    )
    if args.standardize:
        mean = values.mean(axis=0)
        scale = values.std(axis=0)
        scale[scale == 0] = 1.0  # a constant column stays at zero
        map_file.mean, map_file.scale = mean, scale
        values = map_file.scaled(values)
    som = quorvel.SOM(
        columns=args.columns,
        rows=args.rows,
        epochs=args.epochs,
        grid=args.grid,
        topology=args.topology,
        neighbourhood=args.neighbourhood,
        sigma_start=args.sigma_start,
        sigma_end=args.sigma_end,
        cooling=args.cooling,
        init=args.init,
        random_state=args.seed,
        n_jobs=args.jobs,
        verbose=not args.quiet and sys.stderr.isatty(),
    )
    try:
        som.fit(values)
    except InvalidParameterError as error:
        raise _usage_error(f"{_option_of(error)}: {error}") from None
    except ValueError as error:
        raise CommandError(f"{table.source}: {error}") from None
    map_file.som = som
    write_map(map_file, args.output)
    if not args.quiet:
        print(
            f"{args.output}: {som.codebook_.shape[1]} x {som.codebook_.shape[0]} "
            f"{args.grid} map, {table.row_count} rows, {len(chosen)} features, "
            f"{som.n_iter_} epochs, quantization error "
            f"{som.quantization_error_:.6g}, topographic error "
            f"{som.topographic_error_:.6g}",
            file=sys.stderr,
        )
    return 0


def _write_bmus(
    stream: IO[str], nodes: np.ndarray, columns: int, distances: np.ndarray
) -> None:
    stream.write("node,x,y,distance\n")
    for node, distance in zip(nodes.tolist(), distances.tolist()):
        stream.write(f"{node},{node % columns},{node // columns},{distance:.9g}\n")


def command_predict(args: argparse.Namespace) -> int:
    map_file = read_map(args.map)
    _, values = _map_data(map_file, args.data, args.features, args.drop)
    som = map_file.som
    # A supervised map's predict gives classes or values; apply its nodes.
    nodes = np.asarray(som.apply(values) if hasattr(som, "apply") else som.predict(values),
                       dtype=np.int64)  # fmt: skip
    columns = int(som.codebook_.shape[1])
    vectors = np.asarray(som.codebook_, dtype=np.float64).reshape(-1, values.shape[1])
    distances = np.sqrt(((values - vectors[nodes]) ** 2).sum(axis=1))
    if args.output in (None, "-"):
        _write_bmus(sys.stdout, nodes, columns, distances)
        sys.stdout.flush()
        return 0
    with _atomic_output(args.output) as temporary:
        if args.output.endswith(".npy"):
            with open(temporary, "wb") as stream:
                np.save(stream, nodes)
        else:
            with open(temporary, "w", newline="") as stream:
                _write_bmus(stream, nodes, columns, distances)
    return 0


def command_plot(args: argparse.Namespace) -> int:
    try:
        import matplotlib
    except ImportError:
        raise CommandError(
            "quorvel plot needs matplotlib: pip install quorvel[plot]"
        ) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from . import plot

    suffix = pathlib.Path(args.output).suffix.lower().lstrip(".")
    formats = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if suffix not in formats:
        raise _usage_error(
            f"-o: cannot tell the picture format from {args.output!r}; end the name "
            f"with one of .{', .'.join(sorted(formats))}"
        )
    if args.kind == "hits" and args.data is None:
        raise _usage_error("--kind hits: needs DATA, the rows to count")
    if args.labels is not None and args.data is None:
        raise _usage_error("--labels: needs DATA, the rows to label")
    if args.kind == "planes" and args.labels is not None:
        raise _usage_error("--labels: not with --kind planes")
    if args.kind == "umatrix" and args.data is not None and args.labels is None:
        raise _usage_error("DATA with --kind umatrix is used for --labels COLUMN only")

    map_file = read_map(args.map)
    som = map_file.som
    values = table = None
    if args.data is not None:
        table, values = _map_data(map_file, args.data, args.features, args.drop)
    if args.kind == "umatrix":
        drawn = plot.umatrix(som)
    elif args.kind == "hits":
        drawn = plot.hits(som, values, annotate=True)
    else:
        names = map_file.feature_names
        if names is None and not hasattr(som, "feature_names_in_"):
            names = (
                [f"column {int(index) + 1}" for index in map_file.columns]
                if map_file.columns is not None
                else None
            )
        drawn = plot.component_planes(map_file.display_map(), feature_names=names)[0]
    if args.labels is not None:
        index = _column_index(table, args.labels, "--labels")
        plot.labels(
            som, values, table.texts(index), kind=args.label_kind, ax=drawn.axes
        )
    figure = drawn.figure
    with _atomic_output(args.output) as temporary:
        figure.savefig(temporary, format=suffix, dpi=args.dpi)
    plt.close("all")
    return 0


def command_info(args: argparse.Namespace) -> int:
    map_file = read_map(args.map)
    som = map_file.som
    rows, columns, n_features = som.codebook_.shape
    history = getattr(som, "history_", {}) or {}
    sigma = np.asarray(history.get("sigma", []))
    names = map_file.feature_names
    if names is None and hasattr(som, "feature_names_in_"):
        names = [str(name) for name in som.feature_names_in_]
    lines = [
        ("map", f"{columns} columns x {rows} rows, {som.grid} grid, {som.topology}"),
        (
            "neighbourhood",
            f"{som.neighbourhood}, {som.cooling} cooling"
            + (f", sigma {sigma[0]:.4g} to {sigma[-1]:.4g}" if sigma.size else ""),
        ),
        ("epochs", f"{getattr(som, 'n_iter_', 0)} completed of {som.epochs}"),
        ("features", f"{n_features}" + (f": {', '.join(names)}" if names else "")),
    ]
    if map_file.columns is not None and names is None:
        lines.append(
            ("data columns", ", ".join(str(int(i) + 1) for i in map_file.columns))
        )
    lines.append(("standardized", "yes" if map_file.mean is not None else "no"))
    if map_file.source is not None:
        trained = map_file.source
        if hasattr(som, "labels_"):
            trained += f", {len(som.labels_)} rows"
        lines.append(("trained on", trained))
    if hasattr(som, "quantization_error_"):
        units = " (standardized data)" if map_file.mean is not None else ""
        lines.append(("quantization error", f"{som.quantization_error_:.6g}{units}"))
        lines.append(("topographic error", f"{som.topographic_error_:.6g}"))
    width = max(len(label) for label, _ in lines) + 2
    print(f"{args.map}:")
    for label, value in lines:
        print(f"  {label + ':':<{width}}{value}")
    return 0


# --------------------------------------------------------------------------
# The parser


class _Parser(argparse.ArgumentParser):
    """Reports bad usage in one line, with exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _count(minimum: int) -> Callable[[str], int]:
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(
                f"{text!r} is not a whole number"
            ) from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"{value} is less than {minimum}")
        return value

    return parse


def _positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a number") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"{text} is not a positive number")
    return value


def _jobs(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value == 0 or value < -1:
        raise argparse.ArgumentTypeError(
            f"{value}: give a number of threads, or -1 for all cores"
        )
    return value


def _add_selection(parser: argparse.ArgumentParser, verb: str) -> None:
    group = parser.add_mutually_exclusive_group()
    group.add_argument(
        "--features",
        action="append",
        metavar="COLUMNS",
        help=f"the columns of DATA to {verb}, by name or number from 1, separated "
        "by commas (the option may be repeated)",
    )
    group.add_argument(
        "--drop",
        action="append",
        metavar="COLUMNS",
        help=f"{verb} on every column but these (names or numbers, separated by "
        "commas)",
    )


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quorvel`` command."""
    import quorvel

    parser = _Parser(
        prog=PROG,
        description="Train self-organizing maps from data files, and use them.",
        epilog="DATA: CSV or TSV (header line detected), .npy, .npz, or Parquet "
        "(with pyarrow); - reads standard input. Exit status: 0 done, 1 bad "
        "data or file, 2 bad usage, 130 interrupted.",
    )
    parser.add_argument(
        "--version", action="version", version=f"%(prog)s {quorvel.__version__}"
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    train = commands.add_parser(
        "train",
        help="train a map on the rows of DATA",
        description="Train a map on the rows of DATA and save it as a .npz file.",
    )
    train.add_argument(
        "data", metavar="DATA", help="the rows to train on (- for standard input)"
    )
    train.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="MAP",
        help="the map file to write (.npz)",
    )
    train.add_argument(
        "--columns",
        type=_count(1),
        default=10,
        help="nodes per row of the map (default: 10)",
    )
    train.add_argument(
        "--rows", type=_count(1), default=10, help="rows of the map (default: 10)"
    )
    train.add_argument(
        "--grid",
        choices=("hexagonal", "rectangular"),
        default="hexagonal",
        help="(default: hexagonal)",
    )
    train.add_argument(
        "--topology",
        choices=("planar", "toroid"),
        default="planar",
        help="(default: planar)",
    )
    train.add_argument(
        "--neighbourhood",
        choices=("gaussian", "bubble", "cut_gaussian"),
        default="gaussian",
        help="(default: gaussian)",
    )
    train.add_argument("--epochs", type=_count(0), default=10, help="(default: 10)")
    train.add_argument(
        "--sigma-start",
        type=_positive_number,
        metavar="WIDTH",
        help="neighbourhood width of the first epoch (default: half the longer side)",
    )
    train.add_argument(
        "--sigma-end",
        type=_positive_number,
        metavar="WIDTH",
        help="neighbourhood width of the last epoch (default: the estimator's)",
    )
    train.add_argument(
        "--cooling",
        choices=("linear", "exponential"),
        default="linear",
        help="how the width goes from start to end (default: linear)",
    )
    train.add_argument(
        "--init",
        choices=("pca", "random", "sample"),
        default="pca",
        help="the starting codebook (default: pca)",
    )
    train.add_argument("--seed", type=int, help="seed of random and sample starts")
    train.add_argument(
        "--jobs", type=_jobs, metavar="N", help="threads (-1: all cores)"
    )
    _add_selection(train, "train on")
    train.add_argument(
        "--standardize",
        action="store_true",
        help="scale every column to mean 0 and standard deviation 1 first; the "
        "scaling is stored with the map and used by predict and plot",
    )
    train.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no summary"
    )
    train.set_defaults(run=command_train)

    predict = commands.add_parser(
        "predict",
        help="the best-matching node of each row of DATA",
        description="Write the best-matching node of each row of DATA as CSV "
        "(node,x,y,distance: node index y*columns + x, its column x and row y "
        "on the map, the distance to its vector), or the node indices as .npy "
        "when the output name ends in .npy.",
    )
    predict.add_argument("map", metavar="MAP", help="a map file written by train")
    predict.add_argument("data", metavar="DATA", help="the rows (- for standard input)")
    predict.add_argument(
        "-o",
        "--output",
        metavar="FILE",
        help="where to write (default: standard output)",
    )
    _add_selection(predict, "use")
    predict.set_defaults(run=command_predict)

    plot = commands.add_parser(
        "plot",
        help="draw a map",
        description="Draw a map: its U-matrix, one component plane per "
        "feature, or how many rows of DATA land on each node.",
    )
    plot.add_argument("map", metavar="MAP", help="a map file written by train")
    plot.add_argument(
        "data", metavar="DATA", nargs="?", help="rows for --kind hits and for --labels"
    )
    plot.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="PICTURE",
        help="the picture to write; its ending gives the format (.png, .svg, .pdf, ...)",
    )
    plot.add_argument(
        "--kind",
        choices=("umatrix", "planes", "hits"),
        default="umatrix",
        help="(default: umatrix)",
    )
    plot.add_argument(
        "--labels",
        metavar="COLUMN",
        help="a column of DATA holding each row's class, drawn on the map",
    )
    plot.add_argument(
        "--label-kind",
        choices=("majority", "markers"),
        default="markers",
        help="the majority class of each node, or a marker per row (default: markers)",
    )
    plot.add_argument("--dpi", type=_count(10), default=120, help="(default: 120)")
    _add_selection(plot, "use")
    plot.set_defaults(run=command_plot)

    info = commands.add_parser(
        "info",
        help="what a map file holds",
        description="Print the size, training settings and quality of a map.",
    )
    info.add_argument("map", metavar="MAP", help="a map file")
    info.set_defaults(run=command_info)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the ``quorvel`` command.

    Parameters
    ----------
    argv : sequence of str, optional
        The arguments after the command's name; ``sys.argv[1:]`` by default.

    Returns
    -------
    int
        The exit status: 0 done, 1 bad data or file, 2 bad usage, 130
        interrupted.
    """
    # The command line matches columns by name itself and hands the map bare
    # arrays, also when the map was fitted on a DataFrame.
    warnings.filterwarnings("ignore", message="X does not have valid feature names")
    try:
        args = build_parser().parse_args(argv)
        if args.command == "predict" and args.map == "-":
            raise _usage_error("MAP: a map file cannot be read from standard input")
        return args.run(args)
    except CommandError as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:
        # The reader of standard output went away (`quorvel predict ... | head`).
        with contextlib.suppress(OSError):
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except MemoryError:
        print(f"{PROG}: not enough memory", file=sys.stderr)
        return 1
    except OSError as error:
        where = f"{error.filename}: " if error.filename else ""
        print(f"{PROG}: {where}{error.strerror or error}", file=sys.stderr)
        return 1
    except Exception as error:  # noqa: BLE001 - one line, never a traceback
        print(f"{PROG}: unexpected {type(error).__name__}: {error}", file=sys.stderr)
        return 1
