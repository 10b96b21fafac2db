"""The argument parser of the ``quorvel`` command.

``train``'s options for the map are made from the table of the map's
parameters (``quorvel._params.PARAMETERS``): each parameter with help text
gets an option of its name with dashes, its choices or a number checked
against the intervals of its constraints, and the table's default, so that
the command line and the estimator accept the same values.
"""

from __future__ import annotations

import argparse
import math
from collections.abc import Callable, Sequence
from numbers import Integral, Real
from typing import Any

from sklearn.utils._param_validation import Interval

import quorvel

from .._params import PARAMETERS, map_layout
from ._errors import usage_error

__all__ = ["PROG", "build_parser", "map_parameters", "parse"]

PROG = "quorvel"
# Names older than the table, which scripts use.
_OPTION_NAMES = {"random_state": "--seed", "n_jobs": "--jobs"}


class _Parser(argparse.ArgumentParser):
    """Reports bad usage in one line, with exit status 2."""

    def error(self, message: str) -> None:  # type: ignore[override]
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


def _shown(number: float) -> str:
    """A bound as people write it: 2**32 - 1 rather than 4294967295."""
    if isinstance(number, Integral) and number > 2**16 and not number & (number + 1):
        return f"2**{int(number).bit_length()} - 1"
    return f"{number:g}" if isinstance(number, float) else str(number)


def _span(interval: Interval) -> str:
    """The numbers of an interval, in words after "a number"."""
    low, high = interval.left, interval.right
    low_in = interval.closed in ("left", "both")
    high_in = interval.closed in ("right", "both")
    if low is not None and high is not None:
        excluded = [_shown(b) for b, inside in ((low, low_in), (high, high_in)) if not inside]
        return f"from {_shown(low)} to {_shown(high)}" + (
            f" ({' and '.join(excluded)} excluded)" if excluded else ""
        )
    if low is not None:
        return f"of {_shown(low)} or more" if low_in else f"greater than {_shown(low)}"
    if high is not None:
        return f"of {_shown(high)} or less" if high_in else f"less than {_shown(high)}"
    return "of any size"


def _refusal(text: str, value: float, intervals: Sequence[Interval]) -> str:
    """Why ``value`` is in none of ``intervals``: the bound it crosses when
    there is one, else the numbers accepted."""
    if len(intervals) == 1 and None in (intervals[0].left, intervals[0].right):
        (interval,) = intervals
        low, high = interval.left, interval.right
        if low is not None:
            if interval.closed in ("left", "both"):
                return f"{text} is less than {_shown(low)}"
            return f"{text} is not a positive number" if low == 0 else (
                f"{text} is not greater than {_shown(low)}"
            )
        if interval.closed in ("right", "both"):
            return f"{text} is greater than {_shown(high)}"
        return f"{text} is not less than {_shown(high)}"
    return f"{text}: give a number " + ", or ".join(_span(i) for i in intervals)


def _number_type(intervals: Sequence[Interval]) -> Callable[[str], float]:
    """The argparse type of a number in one of ``intervals``: whole when
    they all hold integers, finite always."""
    whole = all(interval.type is Integral for interval in intervals)

    def convert(text: str) -> float:
        try:
            value = int(text) if whole else float(text)
        except ValueError:
            kind = "a whole number" if whole else "a number"
            raise argparse.ArgumentTypeError(f"{text!r} is not {kind}") from None
        if not math.isfinite(value):
            raise argparse.ArgumentTypeError(f"{text} is not a finite number")
        if not any(interval.is_satisfied_by(value) for interval in intervals):
            raise argparse.ArgumentTypeError(_refusal(text, value, intervals))
        return value

    return convert


def _option_name(parameter: str) -> str:
    """The ``train`` option of a parameter of the map."""
    return _OPTION_NAMES.get(parameter, "--" + parameter.replace("_", "-"))


def _add_map_options(train: argparse.ArgumentParser) -> None:
    """One option per parameter of the table, stored under the parameter's
    name: its choices, or a number checked against its intervals, with the
    table's default and help."""
    group = train.add_argument_group(
        "the map", "the parameters of quorvel.SOM, with the same defaults"
    )
    for parameter in PARAMETERS:
        if parameter.option is None:
            continue
        text = parameter.option.replace("%", "%%")  # argparse formats help
        if parameter.default is not None:
            shown = f"default: {parameter.default}"
            text = f"{text[:-1]}; {shown})" if text.endswith(")") else f"{text} ({shown})"
        settings: dict[str, Any] = {"dest": parameter.name, "default": parameter.default}
        if parameter.choices is not None:
            settings["choices"] = parameter.choices
        else:
            intervals = [c for c in parameter.constraints if isinstance(c, Interval)]
            if not intervals:
                raise TypeError(
                    f"the parameter {parameter.name!r} has neither choices nor an "
                    "Interval to make a command-line option of; give it option=None"
                )
            settings.update(type=_number_type(intervals), metavar=parameter.metavar)
        group.add_argument(_option_name(parameter.name), help=text, **settings)


def map_parameters(args: argparse.Namespace) -> dict[str, Any]:
    """The parameters of the map that ``train``'s options give, checked
    together as the estimator will, so that a map it refuses is a usage
    error before any data are read."""
    parameters = {p.name: getattr(args, p.name) for p in PARAMETERS if p.option is not None}
    columns, rows = parameters["columns"], parameters["rows"]
    try:
        map_layout(columns, rows, parameters["grid"], "planar")
    except ValueError as error:
        raise usage_error(f"--columns, --rows: {error}") from None
    try:
        map_layout(columns, rows, parameters["grid"], parameters["topology"])
    except ValueError:  # the planar map is sound: the hexagonal toroid's rule
        raise usage_error(
            f"--rows: a {parameters['grid']} {parameters['topology']} needs an even "
            f"number of rows, got {rows}"
        ) from None
    return parameters


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
        help=f"{verb} every column but these (names or numbers, separated by commas)",
    )


def _metacluster_count(text: str) -> int | str:
    if text == "auto":
        return text
    try:
        count = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number or auto") from None
    if count < 1:
        raise argparse.ArgumentTypeError(f"{text} is less than 1")
    return count


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of the ``quorvel`` command."""
    parser = _Parser(
        prog=PROG,
        description="Train self-organizing maps from data files, and use them.",
        epilog="DATA: CSV or TSV (header line detected), .npy, .npz, Parquet "
        "(with pyarrow) or FCS (with flowio; columns named by marker, or by "
        "channel); - reads standard input. Exit status: 0 done, 1 bad "
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
        "data", metavar="DATA", nargs="+",
        help="the rows to train on (- for standard input); several files are "
        "read as one, their columns matched by name",
    )  # fmt: skip
    train.add_argument(
        "-o",
        "--output",
        required=True,
        metavar="MAP",
        help="the map file to write (.npz)",
    )
    _add_map_options(train)
    _add_selection(train, "train on")
    train.add_argument(
        "--standardize",
        action="store_true",
        help="scale every column to mean 0 and standard deviation 1 first; the "
        "scaling is stored with the map and used by predict and plot",
    )
    train.add_argument(
        "--arcsinh",
        type=_number_type([Interval(Real, 0, None, closed="neither")]),
        metavar="COFACTOR",
        help="take arcsinh(x / COFACTOR) of every column first (cytometry: 5 for "
        "mass, 150 for flow); stored with the map and used by predict and plot",
    )
    train.add_argument(
        "--metaclusters",
        type=_metacluster_count,
        metavar="N",
        help="also group the nodes into N metaclusters by FlowSOM's consensus "
        "clustering (auto: FlowSOM's choice of at most 20), seeded by --seed (0 "
        "if not given); stored with the map, and predict writes each row's "
        "metacluster",
    )
    train.add_argument(
        "-q", "--quiet", action="store_true", help="no progress bar and no summary"
    )

    predict = commands.add_parser(
        "predict",
        help="the best-matching node of each row of DATA",
        description="Write the best-matching node of each row of DATA as CSV "
        "(node,x,y,distance: node index y*columns + x, its column x and row y "
        "on the map, the distance to its vector; then metacluster, for a map "
        "trained with --metaclusters), or the node indices as .npy when the "
        "output name ends in .npy (with metaclusters: two columns, node and "
        "metacluster).",
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
    plot.add_argument(
        "--dpi",
        type=_number_type([Interval(Integral, 10, None, closed="left")]),
        default=120,
        help="(default: 120)",
    )
    _add_selection(plot, "use")

    info = commands.add_parser(
        "info",
        help="what a map file holds",
        description="Print the size, training settings and quality of a map.",
    )
    info.add_argument("map", metavar="MAP", help="a map file")
    return parser


def parse(argv: Sequence[str] | None) -> argparse.Namespace:
    """The arguments of one command; argparse's own errors exit with status
    2, the others are raised as usage errors."""
    args = build_parser().parse_args(argv)
    if args.command == "train":
        args.parameters = map_parameters(args)
        nodes = args.parameters["columns"] * args.parameters["rows"]
        count = args.metaclusters
        if count == "auto" and nodes < 3:
            raise usage_error(f"--metaclusters auto: needs 3 nodes or more, the map has {nodes}")
        if count not in (None, "auto") and count > nodes:
            raise usage_error(f"--metaclusters: {count} is more than the map's {nodes} nodes")
    if args.command == "predict" and args.map == "-":
        raise usage_error("MAP: a map file cannot be read from standard input")
    return args
