"""The argument parser of the ``quorvel`` command."""

from __future__ import annotations

import argparse
from collections.abc import Callable, Sequence

import quorvel

from ._errors import usage_error

__all__ = ["PROG", "build_parser", "parse"]

PROG = "quorvel"


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
    if args.command == "predict" and args.map == "-":
        raise usage_error("MAP: a map file cannot be read from standard input")
    return args
