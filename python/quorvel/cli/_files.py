"""The data files the command reads: CSV or TSV text, .npy and .npz arrays,
Parquet tables, FCS files of cytometry; and the choice of their columns.

The kind of file is told from its first bytes, not from its name. Columns
are converted to numbers only when asked for, so that a text column can be
left out, or read as class labels. Messages name the place of a bad value
as the file does: its line in a text file and the column's header name (or
number), its row from 1 in an array.
"""

from __future__ import annotations

import csv
import io
import pathlib
import sys
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._cytometry import INSTALL, read_fcs
from ._errors import CommandError, usage_error

__all__ = ["Table", "choose_columns", "column_index", "read_table"]

# Maps are computed in float32: larger values would become infinite.
_FLOAT32_MAX = float(np.finfo(np.float32).max)


def _counted(count: int, noun: str) -> str:
    return f"{count} {noun}" + ("" if count == 1 else "s")


@dataclass
class Table:
    """Columns read from DATA, converted to numbers only when asked for."""

    source: str
    names: list[str]
    has_header: bool
    row_count: int
    _numbers: Callable[[list[int], bool], np.ndarray]
    _texts: Callable[[int], np.ndarray]
    lines: list[int] | None = None  # line of each row in a text file
    aliases: dict[str, int] | None = None  # other names of columns (FCS channels)

    def column_label(self, index: int) -> str:
        """The column as messages name it: its header name, or its number."""
        return repr(self.names[index]) if self.has_header else f"{index + 1}"

    def place(self, row: int) -> str:
        """Where a row is: its line in a text file, else its number from 1."""
        return f"line {self.lines[row]}" if self.lines is not None else f"row {row + 1}"

    def numbers(self, indices: Sequence[int], missing: bool = False) -> np.ndarray:
        """The chosen columns as float64, shape (rows, len(indices)), every
        value one that float32 holds; with ``missing``, empty fields, nulls
        and NaN are missing values (NaN)."""
        values = self._numbers(list(indices), missing)
        with np.errstate(over="ignore"):
            beyond = np.isinf(values.astype(np.float32)) & np.isfinite(values)
        for position, index in enumerate(indices):
            column = values[:, position]
            refused = ~np.isfinite(column) & ~(missing & np.isnan(column))
            for bad, what in (
                (refused, "is not a finite number"),
                (beyond[:, position], f"is beyond float32's range (+-{_FLOAT32_MAX:.4g})"),
            ):
                rows = np.flatnonzero(bad)
                if rows.size:
                    raise CommandError(
                        f"{self.source}: {self.place(int(rows[0]))}, column "
                        f"{self.column_label(index)}: {column[rows[0]]} {what} "
                        f"({_counted(rows.size, 'such value')} in that column)"
                    )
        return values

    def texts(self, index: int) -> np.ndarray:
        """One column as strings, for class labels."""
        return self._texts(index)


def read_table(path: str) -> Table:
    """Read DATA of any supported kind; ``-`` is standard input."""
    if path == "-":
        source, raw = "standard input", sys.stdin.buffer.read()
        stream: Any = io.BytesIO(raw)
    else:
        source, raw, stream = path, None, pathlib.Path(path)
        if not stream.exists():
            raise CommandError(f"{path}: no such file")
        if stream.is_dir():
            raise CommandError(f"{path}: is a folder, not a data file")
    try:
        if raw is not None:
            head = raw[:8]
        else:
            with open(stream, "rb") as file:
                head = file.read(8)
        for magic, reader in _BINARY_READERS:
            if head.startswith(magic):
                return reader(source, stream)
        raw = stream.read_bytes() if raw is None else raw
    except OSError as error:
        raise CommandError(f"{source}: cannot read: {error.strerror}") from None
    try:
        text = raw.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise CommandError(
            f"{source}: neither UTF-8 text (CSV, TSV) nor a .npy, .npz, Parquet or FCS file"
        ) from None
    return _read_text(source, text)


def _array_table(source: str, array: np.ndarray, what: str) -> Table:
    if array.dtype.names is not None or not (
        np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_
    ):
        raise CommandError(f"{source}: {what} holds {array.dtype} values, not numbers")
    if np.iscomplexobj(array):
        raise CommandError(f"{source}: complex values are not supported")
    if array.ndim == 1:
        array = array[:, None]
    if array.ndim != 2:
        raise CommandError(
            f"{source}: {what} has {array.ndim} dimensions; expected a table of "
            "rows and columns (2 dimensions)"
        )
    names = [str(index + 1) for index in range(array.shape[1])]
    return Table(
        source, names, False, array.shape[0],
        lambda indices, missing: np.asarray(array[:, indices], dtype=np.float64),
        lambda index: np.asarray(array[:, index]).astype(str),
    )  # fmt: skip


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
            if len(keys) != 1 and "X" not in keys:
                raise CommandError(
                    f"{source}: holds the arrays {', '.join(keys) or '(none)'}; "
                    "expected one array, or one named X"
                )
            key = keys[0] if len(keys) == 1 else "X"
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
    types = pa.types
    numeric = (types.is_integer, types.is_floating, types.is_boolean, types.is_decimal)

    def numbers(indices: list[int], missing: bool) -> np.ndarray:
        columns = [np.empty(data.num_rows)]  # shapes the result when none is chosen
        for index in indices:
            column, name = data.column(index), names[index]
            if not any(test(column.type) for test in numeric):
                raise _not_numeric(source, repr(name), name, f"of type {column.type}")
            if column.null_count and not missing:
                nulls = column.is_null().to_numpy(zero_copy_only=False)
                raise CommandError(
                    f"{source}: row {int(np.flatnonzero(nulls)[0]) + 1}, column "
                    f"{name!r}: missing value ({column.null_count} in that column)"
                )
            # Nulls become NaN, the missing values of a map.
            columns.append(column.cast(pa.float64()).to_numpy(zero_copy_only=False))
        return np.column_stack(columns)[:, 1:]

    def texts(index: int) -> np.ndarray:
        return np.array([str(value) for value in data.column(index).to_pylist()])

    return Table(source, names, True, data.num_rows, numbers, texts)


def _read_fcs(source: str, stream: Any) -> Table:
    """An FCS file: a column per channel, named by its marker where the
    file has one, and also known by its channel name."""
    if isinstance(stream, io.BytesIO):
        stream.name = source  # named so in read_fcs's messages
    try:
        frame = read_fcs(stream)
    except ImportError:
        raise CommandError(f"{source}: reading FCS files needs FlowIO: {INSTALL}") from None
    except ValueError as error:
        raise CommandError(str(error)) from None
    values = frame.to_numpy(np.float64)
    names = [str(name) for name in frame.columns]
    channels = frame.attrs["channels"]
    aliases = {c: i for i, c in enumerate(channels) if channels.count(c) == 1}
    return Table(
        source, names, True, len(frame),
        lambda indices, missing: values[:, indices],
        lambda index: values[:, index].astype(str),
        aliases=aliases,
    )  # fmt: skip


_BINARY_READERS = (
    # FCS: the version and the spaces that follow it in the header.
    (b"FCS3.1  ", _read_fcs),
    (b"FCS3.0  ", _read_fcs),
    (b"FCS2.0  ", _read_fcs),
    (b"\x93NUMPY", _read_npy),
    (b"PK\x03\x04", _read_npz),
    (b"PK\x05\x06", _read_npz),  # an empty zip archive
    (b"PAR1", _read_parquet),
)


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
            # A first line of numbers and empty fields (missing values) is data.
            values = [value.strip() for value in fields]
            if not any(values) or not all(not v or _is_number(v) for v in values):
                header = values
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

    def numbers(indices: list[int], missing: bool) -> np.ndarray:
        values = np.empty((len(rows), len(indices)))
        empty = "nan" if missing else ""
        for position, index in enumerate(indices):
            column = [fields[index].strip() or empty for fields in rows]
            try:
                values[:, position] = np.array(column).astype(np.float64)
                continue
            except ValueError:
                pass
            label = repr(names[index]) if has_header else str(index + 1)
            # NumPy reads text as float() does: the first value float() refuses.
            row, value = next((r, v) for r, v in enumerate(column) if not _is_number(v))
            if row == 0 and value:
                token = names[index] if has_header else label
                raise _not_numeric(source, label, token, f"line {lines[0]}: {value!r}")
            what = f"{value!r} is not a number" if value else "empty"
            raise CommandError(f"{source}: line {lines[row]}, column {label}: {what}")
        return values

    def texts(index: int) -> np.ndarray:
        return np.array([fields[index].strip() for fields in rows])

    return Table(source, names, has_header, len(rows), numbers, texts, lines)


def _split_names(values: Sequence[str] | None) -> list[str]:
    names: list[str] = []
    for value in values or ():
        names.extend(part.strip() for part in value.split(",") if part.strip())
    return names


def column_index(table: Table, token: str, option: str) -> int:
    """The column of ``table`` that ``token`` names (by header name, or by
    number from 1), or a usage error of ``option``."""
    if table.has_header and token in table.names:
        return table.names.index(token)
    if table.aliases and token in table.aliases:
        return table.aliases[token]
    if token.isdigit() and 1 <= int(token) <= len(table.names):
        return int(token) - 1
    known = ", ".join(table.names) if table.has_header else (
        f"numbers 1 to {len(table.names)}, the file has no header"
    )
    raise usage_error(f"{option}: {table.source} has no column {token!r} (its columns: {known})")


def choose_columns(
    table: Table, features: Sequence[str] | None, drop: Sequence[str] | None
) -> list[int]:
    """Indices of the columns chosen by --features or left by --drop."""
    if features:
        chosen = [column_index(table, token, "--features") for token in _split_names(features)]
        duplicates = sorted({table.names[i] for i in chosen if chosen.count(i) > 1})
        if duplicates:
            raise usage_error(f"--features: column {duplicates[0]!r} named twice")
    else:
        dropped = {column_index(table, token, "--drop") for token in _split_names(drop)}
        chosen = [index for index in range(len(table.names)) if index not in dropped]
    if not chosen:
        raise usage_error(f"--drop: no column of {table.source} is left to train on")
    return chosen
