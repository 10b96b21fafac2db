"""Training runs as plain records, and the Hypothesis strategies that draw
them.

Shared by the property, thread and leak tests. A run's in-place arrays are
made longer than the run needs and their extra elements filled with sentinel
bit patterns, so that a test can prove that nothing past the needed length is
ever written. Every comparison is on bits: float32 values are viewed as
uint32, so NaN payloads and the sign of zero count.
"""

import dataclasses
import os

import numpy as np
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st

import _quorvel_wrap

# Derandomised, so that every CI run tries the same examples and a failure
# seen once is seen again; no example database, so nothing is written into
# the tree. The "thorough" profile is for a developer hunting faults by hand:
# QUORVEL_HYPOTHESIS_PROFILE=thorough make test-python.
settings.register_profile(
    "ci",
    derandomize=True,
    database=None,
    deadline=None,
    print_blob=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
settings.register_profile(
    "thorough",
    parent=settings.get_profile("ci"),
    derandomize=False,
)
settings.load_profile(os.environ.get("QUORVEL_HYPOTHESIS_PROFILE", "ci"))


def example_count(ci_count):
    """Examples for one property: the CI count, scaled by
    QUORVEL_HYPOTHESIS_SCALE (the sanitizer pass runs a fraction of them)."""
    scale = float(os.environ.get("QUORVEL_HYPOTHESIS_SCALE", "1"))
    return max(1, int(ci_count * scale))


# Bit patterns that no run writes: a negative quiet NaN with a payload, and an
# int that no BMU coordinate of a small map can be.
FLOAT_SENTINEL = np.uint32(0xFFC0DEAD)
INT_SENTINEL = np.int32(-0x21524111)

FLOAT32_MAX = float(np.finfo(np.float32).max)
FLOAT32_TINY = float(np.finfo(np.float32).smallest_subnormal)


def float32_bits(array):
    return np.ascontiguousarray(array).view(np.uint32)


def sentinel_floats(count):
    return np.full(count, FLOAT_SENTINEL, dtype=np.uint32).view(np.float32)


@dataclasses.dataclass
class Run:
    """One call of train: its scalars, its data and its starting codebook."""

    data: np.ndarray
    epoch_count: int
    columns: int
    rows: int
    dimension: int
    vector_count: int
    radius_start: int
    radius_end: int
    radius_cooling: str
    scale_start: float
    scale_end: float
    scale_cooling: str
    kernel_type: int
    map_type: str
    grid_type: str
    cutoff: bool
    use_gaussian: bool
    codebook: np.ndarray  # the needed length only
    tail: int = 0  # sentinel elements after each in-place array

    @property
    def node_count(self):
        return self.columns * self.rows

    def inplace_arrays(self):
        """Fresh codebook, bmus and umatrix arrays, each `tail` elements
        longer than needed; bmus and umatrix hold sentinels throughout."""
        codebook = sentinel_floats(self.codebook.size + self.tail)
        codebook[: self.codebook.size] = self.codebook
        bmus = np.full(2 * self.vector_count + self.tail, INT_SENTINEL,
                       dtype=np.int32)
        umatrix = sentinel_floats(self.node_count + self.tail)
        return codebook, bmus, umatrix

    def arguments(self, codebook, bmus, umatrix, kernel_type=None):
        """The twenty positional arguments of train."""
        return (
            self.data, self.epoch_count, self.columns, self.rows,
            self.dimension, self.vector_count, self.radius_start,
            self.radius_end, self.radius_cooling, self.scale_start,
            self.scale_end, self.scale_cooling,
            self.kernel_type if kernel_type is None else kernel_type,
            self.map_type, self.grid_type, self.cutoff, self.use_gaussian,
            codebook, bmus, umatrix,
        )


def train(run, kernel_type=None):
    """Trains on fresh arrays and returns them whole (tails included)."""
    codebook, bmus, umatrix = run.inplace_arrays()
    result = _quorvel_wrap.train(
        *run.arguments(codebook, bmus, umatrix, kernel_type))
    assert result is None
    return codebook, bmus, umatrix


def result_bits(arrays):
    """Bytes of a train result, comparable across processes."""
    codebook, bmus, umatrix = arrays
    return (float32_bits(codebook).tobytes(), bmus.tobytes(),
            float32_bits(umatrix).tobytes())


# ---------------------------------------------------------------- strategies

SPECIAL_FLOATS = [
    0.0, -0.0, float("nan"), float("inf"), float("-inf"), FLOAT32_MAX,
    -FLOAT32_MAX, FLOAT32_TINY, -FLOAT32_TINY,
    float(np.finfo(np.float32).tiny), 1e-30, 1e30, -1.0, 0.5,
]

unit_floats = st.floats(0.0, 1.0, width=32)
special_floats = st.sampled_from(SPECIAL_FLOATS)
# Every float32, NaN, infinities and subnormals included.
any_float32 = st.floats(width=32)
wild_floats = st.one_of(unit_floats, special_floats, any_float32)
# Mostly zero, as the sparse kernel's rows are.
sparse_floats = st.one_of(st.just(0.0), st.just(0.0), st.just(-0.0),
                          unit_floats)
# Few distinct values: exact ties between distances, where the search must
# keep the first node in row-major order.
coarse_floats = st.sampled_from([0.0, 0.25, 0.5, 1.0, 2.0])


def ulps_above(base, steps):
    bits = np.array([base], dtype=np.float32).view(np.uint32) + steps
    return float(bits.view(np.float32)[0])


# Values a few units in the last place apart around 1 and around 2^40,
# where rounding alone orders the distances.
near_floats = st.builds(ulps_above, st.sampled_from([1.0, 0.5, 2.0**40]),
                        st.integers(0, 6))
ELEMENT_KINDS = [unit_floats, unit_floats, wild_floats, sparse_floats,
                 coarse_floats, near_floats]


@st.composite
def float32_arrays(draw, count):
    """`count` float32 values of one kind: well-behaved, wild (NaN,
    infinities, signed zeros, huge and subnormal values mixed in), mostly
    zero, coarse, or a few units in the last place apart."""
    elements = draw(st.sampled_from(ELEMENT_KINDS))
    values = draw(st.lists(elements, min_size=count, max_size=count))
    return np.array(values, dtype=np.float32)


scales = st.one_of(st.floats(-2.0, 2.0, width=32), special_floats)
radii = st.one_of(st.integers(0, 8), st.sampled_from([2**31, 2**32 - 1]))
coolings = st.sampled_from(["linear", "exponential", "", "Linear"])
map_types = st.sampled_from(["planar", "toroid", "sphere"])
grid_types = st.sampled_from(["rectangular", "hexagonal", "rect"])


@st.composite
def runs(draw, max_columns=7, max_rows=6, max_dimension=5, max_vectors=13,
         max_epochs=4, max_tail=3):
    """Small runs, large enough that the kernels' blocks of nodes and the
    threads' shares of vectors and rows have ragged ends."""
    columns = draw(st.integers(1, max_columns))
    rows = draw(st.integers(1, max_rows))
    dimension = draw(st.integers(1, max_dimension))
    vector_count = draw(st.integers(0, max_vectors))
    data = draw(float32_arrays(vector_count * dimension))
    codebook_size = columns * rows * dimension
    if draw(st.booleans()):
        codebook = draw(float32_arrays(codebook_size))
    else:
        # A few distinct node vectors repeated over the map: ties.
        distinct = draw(float32_arrays(dimension * draw(st.integers(1, 3))))
        codebook = np.resize(distinct, codebook_size)
    if codebook_size >= 2 and draw(st.booleans()):
        # The unset marker: the run seeds the codebook itself.
        codebook[:2] = (1000.0, 2000.0)
    return Run(
        data=data,
        epoch_count=draw(st.sampled_from(range(max_epochs + 1))),
        columns=columns,
        rows=rows,
        dimension=dimension,
        vector_count=vector_count,
        radius_start=draw(radii),
        radius_end=draw(radii),
        radius_cooling=draw(coolings),
        scale_start=draw(scales),
        scale_end=draw(scales),
        scale_cooling=draw(coolings),
        kernel_type=0,
        map_type=draw(map_types),
        grid_type=draw(grid_types),
        cutoff=draw(st.booleans()),
        use_gaussian=draw(st.booleans()),
        codebook=codebook,
        tail=draw(st.integers(0, max_tail)),
    )
