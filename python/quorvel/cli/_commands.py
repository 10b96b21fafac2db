"""The four commands: train, predict, plot and info. Each takes the parsed
arguments and returns the exit status; failures are raised as
:class:`CommandError`.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import warnings
from typing import IO, Any

import numpy as np

import quorvel

from .._params import default_cooling
from ._errors import CommandError, usage_error
from ._files import Table, choose_columns, column_index, read_table
from ._maps import (
    MapFile, atomic_output, cannot_write, map_data, read_map, write_map,
)  # fmt: skip

__all__ = ["COMMANDS"]


def _same_columns(first: Table, chosen: list[int], other: Table) -> list[int]:
    """The columns of ``other`` that match the chosen ones of ``first``: by
    name when both have a header, else by position."""
    if first.has_header and other.has_header:
        names = [first.names[i] for i in chosen]
        known = dict(other.aliases or {}, **{n: i for i, n in enumerate(other.names)})
        missing = [name for name in names if name not in known]
        if missing:
            raise CommandError(
                f"{other.source}: no column {missing[0]!r}, which {first.source} has"
            )
        return [known[name] for name in names]
    if len(other.names) != len(first.names):
        raise CommandError(
            f"{other.source}: {len(other.names)} columns, but {first.source} has "
            f"{len(first.names)}"
        )
    return chosen


def command_train(args: argparse.Namespace) -> int:
    """Train a map on the chosen columns of DATA and write it with its scaling."""
    tables = [read_table(path) for path in args.data]
    table = tables[0]
    chosen = choose_columns(table, args.features, args.drop)
    missing = args.parameters["missing"] == "ignore"
    values = np.concatenate(
        [table.numbers(chosen, missing=missing)]
        + [other.numbers(_same_columns(table, chosen, other), missing=missing)
           for other in tables[1:]]
    )  # fmt: skip
    sources = [t.source if path == "-" else os.path.basename(path)
               for t, path in zip(tables, args.data)]  # fmt: skip
    map_file = MapFile(
        None,
        feature_names=[table.names[i] for i in chosen] if table.has_header else None,
        columns=np.array(chosen),
        column_count=len(table.names),
        source=", ".join(sources),
        cofactor=args.arcsinh,
    )
    values = map_file.scaled(values)  # arcsinh, when asked for
    if args.standardize:
        # Over the observed values of each column (all of them without
        # --missing ignore); a column with none warns and gets NaN here.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            mean, scale = np.nanmean(values, axis=0), np.nanstd(values, axis=0)
        mean[np.isnan(mean)] = 0.0
        scale[np.isnan(scale) | (scale == 0)] = 1.0  # a constant column stays at zero
        map_file.mean, map_file.scale = mean, scale
        values = (values - mean) / scale
    som = quorvel.SOM(**args.parameters, verbose=not args.quiet and sys.stderr.isatty())
    source = ", ".join(t.source for t in tables)
    try:
        if args.metaclusters is None:
            som.fit(values)
        else:
            som = _metaclusters(args, som, values, map_file)
    except ValueError as error:
        raise CommandError(f"{source}: {error}") from None
    map_file.som = som
    write_map(map_file, args.output)
    if not args.quiet:
        grouped = (
            f", {int(map_file.metaclusters.max()) + 1} metaclusters"
            if map_file.metaclusters is not None else ""
        )  # fmt: skip
        print(
            f"{args.output}: {som.codebook_.shape[1]} x {som.codebook_.shape[0]} "
            f"{args.grid} map, {len(values)} rows, {len(chosen)} features, "
            f"{som.n_iter_} epochs, quantization error "
            f"{som.quantization_error_:.6g}, topographic error "
            f"{som.topographic_error_:.6g}{grouped}",
            file=sys.stderr,
        )
    return 0


def _metaclusters(args, som, values: np.ndarray, map_file: MapFile):
    """Fits the map and groups its nodes; the map fitted."""
    seed = args.parameters["random_state"]
    count = args.metaclusters
    nodes = args.parameters["columns"] * args.parameters["rows"]
    meta = quorvel.Metaclusters(
        som, count, max_clusters=min(20, nodes), random_state=0 if seed is None else seed
    ).fit(values)
    map_file.metaclusters = meta.node_labels_
    return meta.som_


def _write_bmus(
    stream: IO[str], nodes: np.ndarray, columns: int, distances: np.ndarray,
    groups: np.ndarray | None = None,
) -> None:  # fmt: skip
    """One line per row; with ``groups`` (the metacluster of every node),
    the row's metacluster last (-1 without a BMU)."""
    stream.write("node,x,y,distance" + (",metacluster\n" if groups is not None else "\n"))
    for node, distance in zip(nodes.tolist(), distances.tolist()):
        if node < 0:  # no BMU: the row misses too many values
            line = f"{node},,,"
        else:
            line = f"{node},{node % columns},{node // columns},{distance:.9g}"
        if groups is not None:
            line += f",{groups[node] if node >= 0 else -1}"
        stream.write(line + "\n")


def _distances(codebook: np.ndarray, values: np.ndarray, nodes: np.ndarray) -> np.ndarray:
    """Each row's distance to its BMU's vector in float64, by the map's
    rule for missing values: over the observed features, scaled up to all of
    them; NaN for a row without a BMU."""
    vectors = np.asarray(codebook, dtype=np.float64).reshape(-1, values.shape[1])
    found = nodes >= 0
    difference = values[found] - vectors[nodes[found]]
    observed = ~np.isnan(difference)
    squares = (np.where(observed, difference, 0.0) ** 2).sum(axis=1)
    distances = np.full(len(nodes), np.nan)
    distances[found] = np.sqrt(squares * (values.shape[1] / observed.sum(axis=1)))
    return distances


def command_predict(args: argparse.Namespace) -> int:
    """Write the best-matching node of each row of DATA, and its distance."""
    map_file = read_map(args.map)
    _, values = map_data(map_file, args.data, args.features, args.drop)
    som = map_file.som
    # A supervised map's predict gives classes or values; apply its nodes.
    nodes = np.asarray(som.apply(values) if hasattr(som, "apply") else som.predict(values),
                       dtype=np.int64)  # fmt: skip
    columns = int(som.codebook_.shape[1])
    distances = _distances(som.codebook_, values, nodes)
    groups = map_file.metaclusters
    if args.output in (None, "-"):
        try:
            _write_bmus(sys.stdout, nodes, columns, distances, groups)
            sys.stdout.flush()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise cannot_write("standard output", error) from None
        return 0
    with atomic_output(args.output) as temporary:
        if args.output.endswith(".npy"):
            if groups is not None:
                found = np.where(nodes >= 0, groups[np.maximum(nodes, 0)], -1)
                nodes = np.column_stack([nodes, found])
            with open(temporary, "wb") as stream:
                np.save(stream, nodes)
        else:
            with open(temporary, "w", newline="") as stream:
                _write_bmus(stream, nodes, columns, distances, groups)
    return 0


def command_plot(args: argparse.Namespace) -> int:
    """Draw the map's U-matrix, component planes or hits, with labels."""
    try:
        import matplotlib
    except ImportError:
        raise CommandError(
            "quorvel plot needs matplotlib: pip install quorvel[plot]"
        ) from None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    from .. import plot

    suffix = pathlib.Path(args.output).suffix.lower().lstrip(".")
    formats = plt.figure().canvas.get_supported_filetypes()
    plt.close("all")
    if suffix not in formats:
        raise usage_error(
            f"-o: cannot tell the picture format from {args.output!r}; end the name "
            f"with one of .{', .'.join(sorted(formats))}"
        )
    if args.kind == "hits" and args.data is None:
        raise usage_error("--kind hits: needs DATA, the rows to count")
    if args.labels is not None and args.data is None:
        raise usage_error("--labels: needs DATA, the rows to label")
    if args.kind == "planes" and args.labels is not None:
        raise usage_error("--labels: not with --kind planes")
    if args.kind == "umatrix" and args.data is not None and args.labels is None:
        raise usage_error("DATA with --kind umatrix is used for --labels COLUMN only")

    map_file = read_map(args.map)
    som = map_file.som
    values = table = None
    if args.data is not None:
        table, values = map_data(map_file, args.data, args.features, args.drop)
        found: Any = slice(None)
        if som.missing == "ignore":  # rows that miss too many values are on no node
            found = np.asarray(som.predict(values)) >= 0
        values = values[found]
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
        index = column_index(table, args.labels, "--labels")
        plot.labels(
            som, values, table.texts(index)[found], kind=args.label_kind, ax=drawn.axes
        )
    figure = drawn.figure
    with atomic_output(args.output) as temporary:
        figure.savefig(temporary, format=suffix, dpi=args.dpi)
    plt.close("all")
    return 0


def command_info(args: argparse.Namespace) -> int:
    """Print what a map file holds."""
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
            f"{som.neighbourhood}, {som.cooling or default_cooling(som.sigma_end)} cooling"
            + (f", sigma {sigma[0]:.4g} to {sigma[-1]:.4g}" if sigma.size else ""),
        ),
        ("epochs", f"{getattr(som, 'n_iter_', 0)} completed of {som.epochs}"),
        ("features", f"{n_features}" + (f": {', '.join(names)}" if names else "")),
    ]
    if map_file.columns is not None and names is None:
        lines.append(
            ("data columns", ", ".join(str(int(i) + 1) for i in map_file.columns))
        )
    if map_file.cofactor is not None:
        lines.append(("arcsinh", f"arcsinh(x / {map_file.cofactor:g}) first"))
    lines.append(("standardized", "yes" if map_file.mean is not None else "no"))
    if map_file.metaclusters is not None:
        lines.append(("metaclusters", f"{int(map_file.metaclusters.max()) + 1}"))
    if som.missing == "ignore":
        lines.append((
            "missing values",
            f"ignored; a row missing over {som.max_missing:g} of its values has no BMU",
        ))  # fmt: skip
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


#: The function of each command, by its name.
COMMANDS = {
    "train": command_train,
    "predict": command_predict,
    "plot": command_plot,
    "info": command_info,
}
