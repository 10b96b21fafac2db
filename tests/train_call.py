"""The twenty arguments of one train call, valid until a test changes one."""

import numpy as np

import _quorvel_wrap

ARGUMENT_NAMES = (
    "data", "epoch_count", "columns", "rows", "dimension", "vector_count",
    "radius_start", "radius_end", "radius_cooling", "scale_start",
    "scale_end", "scale_cooling", "kernel_type", "map_type", "grid_type",
    "cutoff", "use_gaussian", "codebook", "bmus", "umatrix",
)  # fmt: skip
INPLACE_NAMES = ("codebook", "bmus", "umatrix")


def strided(array):
    """Every other element of a new array twice as long: not contiguous."""
    base = np.zeros(2 * array.size, dtype=array.dtype)
    base[::2] = array
    return base[::2]


def byte_swapped(array):
    """The same values stored in the opposite byte order."""
    return array.astype(array.dtype.newbyteorder())


def read_only(array):
    array = array.copy()
    array.flags.writeable = False
    return array


class TrainCall:
    """A small valid call: a columns x rows map trained for a few epochs from
    a fixed codebook (never the unset marker) on fixed data. Change entries of
    `arguments` to make it invalid or to vary it."""

    def __init__(self, columns=4, rows=3, dimension=3, vector_count=10,
                 epoch_count=4, **changes):  # fmt: skip
        data = np.sin(np.arange(vector_count * dimension, dtype=np.float64))
        codebook = np.cos(np.arange(columns * rows * dimension) * 0.7)
        self.arguments = {
            "data": (data * 0.5 + 0.5).astype(np.float32),
            "epoch_count": epoch_count,
            "columns": columns,
            "rows": rows,
            "dimension": dimension,
            "vector_count": vector_count,
            "radius_start": 3,
            "radius_end": 1,
            "radius_cooling": "linear",
            "scale_start": 0.5,
            "scale_end": 0.05,
            "scale_cooling": "linear",
            "kernel_type": 0,
            "map_type": "planar",
            "grid_type": "rectangular",
            "cutoff": False,
            "use_gaussian": True,
            "codebook": (codebook * 0.25 + 0.5).astype(np.float32),
            # Sentinels, so that a test can tell whether anything was written.
            "bmus": np.full(2 * vector_count, -7, dtype=np.int32),
            "umatrix": np.full(columns * rows, -7.0, dtype=np.float32),
        }
        self.arguments.update(changes)

    @classmethod
    def changed(cls, **changes):
        """The default call with some arguments replaced after it was made,
        so that even a size argument leaves the arrays as they were."""
        call = cls()
        for name, value in changes.items():
            call[name] = value
        return call

    def __setitem__(self, name, value):
        assert name in ARGUMENT_NAMES, name
        self.arguments[name] = value

    def __getitem__(self, name):
        return self.arguments[name]

    def args(self):
        return [self.arguments[name] for name in ARGUMENT_NAMES]

    def run(self):
        return _quorvel_wrap.train(*self.args())

    def results(self):
        """Runs the call and returns the bytes of the three in-place arrays."""
        assert self.run() is None
        return tuple(self.arguments[name].tobytes() for name in INPLACE_NAMES)

    def snapshot(self):
        """The bytes of every array argument, to check that none changed."""
        return {
            name: np.asarray(value).tobytes()
            for name, value in self.arguments.items()
            if isinstance(value, np.ndarray)
        }


def assert_refused(call, exception, message=None):
    """The call fails with that exception (and exactly that message) and
    writes nothing into any of its arrays."""
    before = call.snapshot()
    try:
        call.run()
    except exception as error:
        if message is not None:
            assert str(error) == message
    else:
        raise AssertionError(f"no {exception.__name__} raised")
    assert call.snapshot() == before
