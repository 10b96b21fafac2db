"""The order in which train reports failures: arguments are handled in
position order (data, then the scalars, then the in-place arrays), each
in-place array's rules in a fixed order, and the length checks last. Only
the first failure is reported, and nothing is written."""

import numpy as np
import pytest

import _quorvel_wrap
from train_call import TrainCall, assert_refused

DIMENSIONS_2 = "Array must have 1 dimensions.  Given array has 2 dimensions"
CONTIGUOUS = "Array must be contiguous.  A non-contiguous array was given"
BYTE_ORDER = "Array must have native byteorder.  A byte-swapped array was given"

# (changes to a valid call, the one failure reported)
FIRST_FAILURES = [
    ({"data": np.zeros((2, 2), np.float32), "epoch_count": -1},
     TypeError, DIMENSIONS_2),
    ({"data": np.zeros(4, np.float64), "epoch_count": -1}, TypeError, None),
    ({"epoch_count": -1, "columns": "x"},
     OverflowError, "in method 'train', argument 3 of type 'unsigned int'"),
    ({"columns": 10.0, "codebook": None},
     TypeError, "in method 'train', argument 4 of type 'unsigned int'"),
    ({"grid_type": None, "cutoff": 1},
     TypeError, "in method 'train', argument 16 of type 'std::string'"),
    ({"use_gaussian": None, "codebook": None},
     TypeError, "in method 'train', argument 18 of type 'bool'"),
    ({"codebook": None, "bmus": None},
     TypeError, "Array of type 'float' required.  A 'Python None' was given"),
    ({"bmus": np.zeros(20, np.int64), "umatrix": None},
     TypeError, "Array of type 'int' required.  Array of type 'long' given"),
    # Refused by its type before any length is compared.
    ({"codebook": np.zeros(1, np.float32), "umatrix": None},
     TypeError, "Array of type 'float' required.  A 'Python None' was given"),
    ({"kernel_type": 1, "umatrix": np.zeros(1, np.float32)},
     ValueError, "Array 'umatrix' must have at least 12 elements.  Given "
                 "array has 1 elements"),
    ({"data": np.zeros(2, np.float32), "codebook": np.zeros(2, np.float32)},
     ValueError, "Array 'data' must have at least 30 elements.  Given array "
                 "has 2 elements"),
]  # fmt: skip


@pytest.mark.parametrize("changes, exception, message", FIRST_FAILURES,
                         ids=[" ".join(c) for c, _, _ in FIRST_FAILURES])
def test_failure_reported_first_in_position_order(changes, exception,
                                                   message):
    assert_refused(TrainCall.changed(**changes), exception, message)


def both_spoiled(array):
    """Two-dimensional, not contiguous and byte-swapped at once."""
    wide = np.zeros((2, 2 * array.size), dtype=array.dtype.newbyteorder())
    return wide[:, ::2]


INPLACE_RULE_ORDER = [
    (both_spoiled, DIMENSIONS_2),
    (lambda a: both_spoiled(a)[0], CONTIGUOUS),
    (lambda a: a.astype(a.dtype.newbyteorder()), BYTE_ORDER),
]


@pytest.mark.parametrize("name", ["codebook", "bmus", "umatrix"])
@pytest.mark.parametrize("spoil, message", INPLACE_RULE_ORDER,
                         ids=["dimensions", "contiguous", "byte-order"])
def test_failure_of_inplace_rules_in_fixed_order(name, spoil, message):
    call = TrainCall()
    spoiled = spoil(call[name])
    # Read-only as well: the writeability check comes after all others.
    spoiled.flags.writeable = False
    call[name] = spoiled
    assert_refused(call, TypeError, message)


@pytest.mark.parametrize("count", [0, 19, 21])
def test_failure_of_argument_count_names_train(count):
    call = TrainCall()
    arguments = (call.args() + [None])[:count]
    before = call.snapshot()
    with pytest.raises(TypeError, match=r"^train\b"):
        _quorvel_wrap.train(*arguments)
    assert call.snapshot() == before


def test_failure_of_keyword_arguments_names_train():
    call = TrainCall()
    arguments = call.args()
    with pytest.raises(TypeError, match=r"^train\b"):
        _quorvel_wrap.train(*arguments[:-1], umatrix=arguments[-1])
