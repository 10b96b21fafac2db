"""The sizes that train needs are computed without wrapping around.

Each array's needed length is a product of counts given as 32-bit values:
data vector_count x dimension, codebook columns x rows x dimension, bmus
2 x vector_count, umatrix columns x rows. Products that reach 2^32, 2^63 or
2^64 would wrap in 32-bit, signed 64-bit or unsigned 64-bit arithmetic to a
small or negative count that a short array passes; the engine would then
write far past its end. They must be refused by the size rule, with the
exact count, before the engine runs.
"""

import re

import numpy as np
import pytest

import _quorvel_wrap


def call(columns, rows, dimension, vector_count, lengths):
    arrays = {
        "data": np.linspace(0, 1, lengths["data"], dtype=np.float32),
        "codebook": np.linspace(0, 1, lengths["codebook"], dtype=np.float32),
        "bmus": np.arange(lengths["bmus"], dtype=np.int32),
        "umatrix": np.linspace(1, 2, lengths["umatrix"], dtype=np.float32),
    }
    arguments = (
        arrays["data"], 1, columns, rows, dimension, vector_count, 1, 1,
        "linear", 0.5, 0.1, "linear", 0, "planar", "rectangular", False,
        True, arrays["codebook"], arrays["bmus"], arrays["umatrix"])
    return arguments, arrays


# (columns, rows, dimension, vector_count, the array that is too short, its
# needed length); every array checked before it is long enough.
WRAPPING_SIZES = [
    # vector_count x dimension = 2^32: 0 in 32-bit arithmetic.
    (1, 1, 2**16, 2**16, "data", 2**32),
    # Past 2^63: negative as a signed 64-bit count.
    (1, 1, 2**32 - 1, 2**32 - 1, "data", (2**32 - 1) ** 2),
    # columns x rows x dimension = 2^32, 2^63, 2^64 and about 2^96.
    (2**16, 2**16, 1, 0, "codebook", 2**32),
    (2**21, 2**21, 2**21, 0, "codebook", 2**63),
    (2**22, 2**21, 2**21, 0, "codebook", 2**64),
    (2**32 - 1, 2**32 - 1, 2**32 - 1, 0, "codebook", (2**32 - 1) ** 3),
    # 2 x vector_count = 2^32, and its largest value.
    (1, 1, 0, 2**31, "bmus", 2**32),
    (1, 1, 0, 2**32 - 1, "bmus", 2**33 - 2),
    # columns x rows = 2^32, and past 2^63.
    (2**16, 2**16, 0, 0, "umatrix", 2**32),
    (2**32 - 1, 2**32 - 1, 0, 0, "umatrix", (2**32 - 1) ** 2),
]


@pytest.mark.parametrize(
    "columns, rows, dimension, vector_count, short_array, needed",
    WRAPPING_SIZES)
def test_products_past_the_integer_widths_are_refused(
        columns, rows, dimension, vector_count, short_array, needed):
    # Every array checked before the short one is long enough; the short
    # one, and those after it, hold a few elements.
    order = ["data", "codebook", "bmus", "umatrix"]
    lengths = {name: 3 for name in order}
    for name in order[: order.index(short_array)]:
        lengths[name] = {
            "data": vector_count * dimension,
            "codebook": columns * rows * dimension,
            "bmus": 2 * vector_count,
            "umatrix": columns * rows,
        }[name]
    arguments, arrays = call(columns, rows, dimension, vector_count, lengths)
    before = {name: array.tobytes() for name, array in arrays.items()}
    message = (f"Array '{short_array}' must have at least {needed} elements."
               f"  Given array has {lengths[short_array]} elements")
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        _quorvel_wrap.train(*arguments)
    assert {name: array.tobytes() for name, array in arrays.items()} == before


SMALL_RUN = {"columns": 3, "rows": 2, "dimension": 4, "vector_count": 5}
NEEDED = {"data": 20, "codebook": 24, "bmus": 10, "umatrix": 6}


@pytest.mark.parametrize("short_array", sorted(NEEDED))
@pytest.mark.parametrize("shortfall", [0, 1])
def test_needed_length_is_the_boundary(short_array, shortfall):
    lengths = dict(NEEDED)
    lengths[short_array] -= shortfall
    arguments, arrays = call(**SMALL_RUN, lengths=lengths)
    if shortfall == 0:
        assert _quorvel_wrap.train(*arguments) is None
        return
    before = {name: array.tobytes() for name, array in arrays.items()}
    with pytest.raises(ValueError, match=f"^Array '{short_array}' must have "
                       f"at least {NEEDED[short_array]} elements"):
        _quorvel_wrap.train(*arguments)
    assert {name: array.tobytes() for name, array in arrays.items()} == before
