"""train refuses, before the engine runs, every array shorter than the run
needs (the engine checks no size and would read or write past its end), and
accepts longer ones, leaving their extra elements alone."""

import numpy as np
import pytest

from train_call import TrainCall, assert_refused

# The default call: 4 x 3 map, dimension 3, 10 vectors.
NEEDED = {"data": 30, "codebook": 36, "bmus": 20, "umatrix": 12}


@pytest.mark.parametrize("name, needed", NEEDED.items())
@pytest.mark.parametrize("shortfall", [1, "all"])
def test_array_shorter_than_needed_refused(name, needed, shortfall):
    call = TrainCall()
    length = 0 if shortfall == "all" else needed - shortfall
    call[name] = call[name][:length].copy()
    assert_refused(
        call, ValueError,
        f"Array '{name}' must have at least {needed} elements.  Given array "
        f"has {length} elements",
    )  # fmt: skip


def test_array_lengths_checked_without_overflow():
    # columns x rows x dimension needs 96 bits; a 64-bit product would wrap
    # to a small number and let a one-element codebook through.
    side = 2**32 - 1
    call = TrainCall.changed(columns=side, rows=side, dimension=side,
                             vector_count=0, data=np.zeros(0, np.float32),
                             codebook=np.zeros(1, np.float32))  # fmt: skip
    assert_refused(
        call, ValueError,
        f"Array 'codebook' must have at least {side**3} elements.  Given "
        "array has 1 elements",
    )  # fmt: skip


def test_array_lengths_of_wrapping_64_bit_product_refused():
    # 2**22 x 2**21 x 2**21 is 2**64: zero in 64-bit arithmetic.
    call = TrainCall.changed(columns=2**22, rows=2**21, dimension=2**21,
                             vector_count=0, data=np.zeros(0, np.float32))
    assert_refused(
        call, ValueError,
        f"Array 'codebook' must have at least {2**64} elements.  Given array "
        "has 36 elements",
    )  # fmt: skip


def test_array_longer_than_needed_extra_elements_untouched():
    reference = TrainCall()
    reference.run()
    call = TrainCall()
    tail = 5
    for name in NEEDED:
        value = call[name]
        longer = np.empty(value.size + tail, dtype=value.dtype)
        longer[: value.size] = value
        longer.view(np.uint8)[value.nbytes:] = 0xA5  # a byte pattern to keep
        call[name] = longer
    assert call.run() is None
    for name, needed in NEEDED.items():
        assert call[name][:needed].tobytes() == reference[name].tobytes()
        assert (call[name].view(np.uint8)[-tail * 4:] == 0xA5).all()
