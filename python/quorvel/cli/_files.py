"""The data files the command reads: CSV or TSV text, .npy and .npz arrays,
Parquet tables; and the choice of their columns.

The kind of file is told from its first bytes, not from its name. Columns
are converted to numbers only when asked for, so that a text column can be
left out, or read as class labels.
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

from ._errors import CommandError, usage_error

__all__ = ["Table", "choose_columns", "column_index", "read_table"]

_NPY_MAGIC = b"\x93NUMPY"
_ZIP_MAGICS = (b"PK\x03\x04", b"PK\x05\x06")
_PARQUET_MAGIC = b"PAR1"


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


def column_index(table: Table, token: str, option: str) -> int:
    if table.has_header and token in table.names:
        return table.names.index(token)
    if token.isdigit() and 1 <= int(token) <= len(table.names):
        return int(token) - 1
    known = (
        ", ".join(table.names)
        if table.has_header
        else f"numbers 1 to {len(table.names)}, the file has no header"
    )
    raise usage_error(
        f"{option}: {table.source} has no column {token!r} (its columns: {known})"
    )


def choose_columns(
    table: Table, features: Sequence[str] | None, drop: Sequence[str] | None
) -> list[int]:
    """Indices of the columns chosen by --features or left by --drop."""
    if features:
        chosen = [
            column_index(table, token, "--features")
            for token in _split_names(features)
        ]
        duplicates = sorted({table.names[i] for i in chosen if chosen.count(i) > 1})
        if duplicates:
            raise usage_error(f"--features: column {duplicates[0]!r} named twice")
    else:
        dropped = {
            column_index(table, token, "--drop") for token in _split_names(drop)
        }
        chosen = [index for index in range(len(table.names)) if index not in dropped]
    if not chosen:
        raise usage_error(f"--drop: no column of {table.source} is left to train on")
    return chosen
