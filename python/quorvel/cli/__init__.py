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

The modules: ``_files`` reads data files and chooses their columns,
``_maps`` reads and writes map files, ``_commands`` runs the four commands
and ``_parser`` parses the arguments.
"""

from __future__ import annotations

import contextlib
import os
import sys
import warnings
from collections.abc import Sequence

from ._commands import COMMANDS
from ._errors import CommandError
from ._parser import PROG, parse

__all__ = ["main"]


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
        args = parse(argv)
        return COMMANDS[args.command](args)
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
