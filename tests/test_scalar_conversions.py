"""train's conversions of its sixteen scalar and string arguments: what each
kind accepts, what it refuses, and the exact message and exception of every
refusal. The numbers in the messages count the engine's parameters, in which
`data` and its length come first."""

import numpy as np
import pytest

from train_call import TrainCall, assert_refused

MESSAGES = {
    "epoch_count": "in method 'train', argument 3 of type 'unsigned int'",
    "columns": "in method 'train', argument 4 of type 'unsigned int'",
    "rows": "in method 'train', argument 5 of type 'unsigned int'",
    "dimension": "in method 'train', argument 6 of type 'unsigned int'",
    "vector_count": "in method 'train', argument 7 of type 'unsigned int'",
    "radius_start": "in method 'train', argument 8 of type 'unsigned int'",
    "radius_end": "in method 'train', argument 9 of type 'unsigned int'",
    "radius_cooling": "in method 'train', argument 10 of type 'std::string'",
    "scale_start": "in method 'train', argument 11 of type 'float'",
    "scale_end": "in method 'train', argument 12 of type 'float'",
    "scale_cooling": "in method 'train', argument 13 of type 'std::string'",
    "kernel_type": "in method 'train', argument 14 of type 'unsigned int'",
    "map_type": "in method 'train', argument 15 of type 'std::string'",
    "grid_type": "in method 'train', argument 16 of type 'std::string'",
    "cutoff": "in method 'train', argument 17 of type 'bool'",
    "use_gaussian": "in method 'train', argument 18 of type 'bool'",
}

UNSIGNED = ["epoch_count", "columns", "rows", "dimension", "vector_count",
            "radius_start", "radius_end", "kernel_type"]  # fmt: skip
FLOATS = ["scale_start", "scale_end"]
STRINGS = ["radius_cooling", "scale_cooling", "map_type", "grid_type"]
BOOLS = ["cutoff", "use_gaussian"]

FLOAT32_MAX = 3.4028234663852886e38

REFUSED_UNSIGNED = [
    (-1, OverflowError),
    (-(2**70), OverflowError),
    (2**32, OverflowError),
    (2**64, OverflowError),
    (10.0, TypeError),
    ("3", TypeError),
    (None, TypeError),
    (np.uint32(3), TypeError),
    (np.int64(3), TypeError),
]
REFUSED_FLOAT = [
    (1e39, OverflowError),
    (-1e39, OverflowError),
    (np.nextafter(FLOAT32_MAX, np.inf), OverflowError),
    (10**400, TypeError),
    (-(10**400), TypeError),
    ("1.0", TypeError),
    (None, TypeError),
    (1j, TypeError),
    (np.float32(0.5), TypeError),
]
REFUSED_STRING = [
    (b"linear", TypeError),
    (bytearray(b"linear"), TypeError),
    (None, TypeError),
    (1, TypeError),
    (["linear"], TypeError),
    # No UTF-8 form: refused like any other wrong kind.
    ("linear\ud800", TypeError),
]
REFUSED_BOOL = [
    (1, TypeError),
    (0, TypeError),
    (None, TypeError),
    ("True", TypeError),
    (np.bool_(True), TypeError),
]


def refusal_cases(names, values):
    return [pytest.param(name, value, exception, id=f"{name}-{value!r}")
            for name in names for value, exception in values]  # fmt: skip


@pytest.mark.parametrize(
    "name, value, exception",
    refusal_cases(UNSIGNED, REFUSED_UNSIGNED)
    + refusal_cases(FLOATS, REFUSED_FLOAT)
    + refusal_cases(STRINGS, REFUSED_STRING)
    + refusal_cases(BOOLS, REFUSED_BOOL),
)
def test_conversion_refuses_with_numbered_message(name, value, exception):
    call = TrainCall()
    call[name] = value
    assert_refused(call, exception, MESSAGES[name])


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


# (argument, accepted value, the plain value it must train exactly like)
EQUIVALENT = [
    ("rows", True, 1),
    ("columns", MyInt(3), 3),
    ("scale_start", 1, 1.0),
    ("scale_start", MyInt(3), 3.0),
    ("scale_end", MyFloat(0.3), 0.3),
    ("scale_end", np.float64(0.7), 0.7),
    ("radius_cooling", MyStr("linear"), "linear"),
    ("map_type", np.str_("toroid"), "toroid"),
    # Every code other than 1 and 2 is the dense kernel: the largest value
    # arrives whole.
    ("kernel_type", 2**32 - 1, 0),
    # The whole UTF-8 text reaches the engine: a NUL or a non-ASCII letter
    # makes it another, unknown selector.
    ("radius_cooling", "linear\0", "exponential"),
    ("map_type", "pl\u00e4nar", "sphere"),
]


@pytest.mark.parametrize("name, value, plain", EQUIVALENT,
                         ids=[f"{n}-{v!r}" for n, v, _ in EQUIVALENT])
def test_conversion_accepts_and_trains_like_plain_value(name, value, plain):
    converted = TrainCall()
    converted[name] = value
    reference = TrainCall()
    reference[name] = plain
    assert converted.results() == reference.results()


# Values differing from the ones above, so that the equivalence tests above
# cannot pass merely because the argument has no effect in the call. The
# scale is a factor of every weight and cancels in each weighted mean, so it
# shows only through rounding: scales that differ by a power of two would
# give the same bits.
DIFFERENT = [
    ("rows", 1, 2),
    ("columns", 3, 2),
    ("scale_start", 1.0, 3.0),
    ("scale_end", 0.3, 0.7),
    ("radius_cooling", "linear", "exponential"),
    ("map_type", "toroid", "planar"),
    ("map_type", "sphere", "planar"),
]


@pytest.mark.parametrize("name, first, second", DIFFERENT,
                         ids=[f"{n}-{a!r}-{b!r}" for n, a, b in DIFFERENT])
def test_conversion_tests_use_arguments_that_change_results(name, first,
                                                            second):
    one = TrainCall()
    one[name] = first
    other = TrainCall()
    other[name] = second
    assert one.results() != other.results()


def test_conversion_of_true_kernel_type_selects_gpu_code():
    # True is the int 1, the GPU kernel code, which this build lacks.
    call = TrainCall(kernel_type=True)
    assert_refused(call, RuntimeError, "Compiled without CUDA!")


@pytest.mark.parametrize("value", [
    float("inf"), float("-inf"), float("nan"), FLOAT32_MAX, -FLOAT32_MAX,
])  # fmt: skip
def test_conversion_accepts_nonfinite_and_extreme_scales(value):
    call = TrainCall(scale_end=value)
    assert call.run() is None
    # The final BMU pass wrote every pair.
    assert (call["bmus"] != -7).all()


@pytest.mark.parametrize("name", BOOLS)
def test_conversion_accepts_only_bool_values(name):
    results = set()
    for value in (True, False):
        call = TrainCall(radius_start=1, radius_end=1)
        call[name] = value
        results.add(call.results())
    # Both accepted, and they select different neighbourhoods.
    assert len(results) == 2
