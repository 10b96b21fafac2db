"""The peers the benchmark runs beside our package, one module each.

Each module has NAME, a function unavailable() (None, or why the peer
cannot run here) and run(case), which trains the peer on a workload and
returns a list of Result: timed runs with the workload's settings as far as
the peer has them, and runs at the peer's own defaults for the quality
table.
"""

import contextlib
import dataclasses
import importlib
import io
import time

import numpy as np


@dataclasses.dataclass
class Case:
    """One workload as the peers see it.

    data is the dense float32 array; csr() gives it as a scipy CSR matrix.
    codebook is the shared starting codebook, (rows, columns, dimension),
    node (x, y) at [y, x]. timed_epochs is the epoch count of the timed runs
    (the workload's, or fewer for a slow peer where run_bench.py says so);
    default_epochs the passes over the data for the runs at defaults.
    """

    name: str
    w: dict
    data: np.ndarray
    codebook: np.ndarray
    timed_epochs: int
    default_epochs: int
    radius: float
    quick: bool = False
    want_timed: bool = True
    want_defaults: bool = True
    _csr: object = None

    def csr(self):
        if self._csr is None:
            from scipy.sparse import csr_matrix
            self._csr = csr_matrix(self.data)
        return self._csr


@dataclasses.dataclass
class Result:
    system: str
    kind: str                 # "timed" or "defaults"
    codebook: np.ndarray      # (nodes, dimension)
    positions: np.ndarray     # (nodes, 2) on the peer's own grid
    s_per_epoch: float = None
    epochs: int = None
    periods: tuple = None
    note: str = ""
    capped: bool = False      # a run at defaults cut short for time


def seconds(function):
    start = time.perf_counter()
    function()
    return time.perf_counter() - start


@contextlib.contextmanager
def quiet():
    """Swallows what a peer prints on import or while training."""
    with contextlib.redirect_stdout(io.StringIO()), \
            contextlib.redirect_stderr(io.StringIO()):
        yield


def rectangular(columns, rows):
    """Positions of nodes stored x-major: node i = x * rows + y."""
    x, y = np.divmod(np.arange(columns * rows), rows)
    return np.column_stack([x, y]).astype(np.float64)


def cannot_import(*modules):
    """None where every module imports, else why the first one does not."""
    try:
        with quiet():
            for module in modules:
                importlib.import_module(module)
    except Exception as error:
        return f"cannot import {' or '.join(modules)}: {error!r}"
    return None


def euclidean_positions(som):
    """The (x, y) of every node of a MiniSom-style map, node after node."""
    xx, yy = som.get_euclidean_coordinates()
    return np.column_stack([np.ravel(xx), np.ravel(yy)]).astype(np.float64)
