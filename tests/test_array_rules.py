"""The rules for train's four array arguments and their messages: the input
array `data` is converted or copied when needed, the in-place arrays
`codebook`, `bmus` and `umatrix` must already be right, since the engine
writes the caller's memory."""

import numpy as np
import pytest

from train_call import (TrainCall, assert_refused, byte_swapped, read_only,
                        strided)


def a_function():
    pass


WRONG_TYPE = "Array of type '{}' required.  Array of type '{}' given"
WRONG_KIND = "Array of type '{}' required.  A '{}' was given"
DIMENSIONS = "Array must have 1 dimensions.  Given array has {} dimensions"
CONTIGUOUS = "Array must be contiguous.  A non-contiguous array was given"
BYTE_ORDER = "Array must have native byteorder.  A byte-swapped array was given"
WRITEABLE = "Array must be writeable.  A read-only array was given"

# (argument, how to spoil its valid value, message)
INPLACE_REFUSALS = [
    ("codebook", lambda a: a.astype(np.float64), WRONG_TYPE.format("float", "double")),
    ("codebook", lambda a: a.astype(np.float16), WRONG_TYPE.format("float", "char")),
    ("codebook", lambda a: a.astype(np.int32), WRONG_TYPE.format("float", "int")),
    ("codebook", lambda a: a.astype(np.complex64), WRONG_TYPE.format("float", "complex float")),
    ("codebook", lambda a: a.astype(object), WRONG_TYPE.format("float", "object")),
    ("codebook", lambda a: a.astype("S4"), WRONG_TYPE.format("float", "string")),
    ("codebook", lambda a: a.astype("U4"), WRONG_TYPE.format("float", "unicode")),
    ("codebook", lambda a: a.astype("V4"), WRONG_TYPE.format("float", "void")),
    ("codebook", lambda a: a.astype("M8[s]"), WRONG_TYPE.format("float", "ntypes")),
    ("codebook", lambda a: a.astype("m8[s]"), WRONG_TYPE.format("float", "notype")),
    ("codebook", lambda a: a.astype(np.dtypes.StringDType()), WRONG_TYPE.format("float", "unknown")),
    ("codebook", lambda a: a.tolist(), WRONG_KIND.format("float", "list")),
    ("codebook", lambda a: tuple(a.tolist()), WRONG_KIND.format("float", "tuple")),
    ("codebook", lambda a: None, WRONG_KIND.format("float", "Python None")),
    ("codebook", lambda a: "codebook", WRONG_KIND.format("float", "unkown type")),
    ("codebook", lambda a: a.tobytes(), WRONG_KIND.format("float", "string")),
    ("codebook", lambda a: {"codebook": a}, WRONG_KIND.format("float", "dict")),
    ("codebook", lambda a: 1.5, WRONG_KIND.format("float", "float")),
    ("codebook", lambda a: True, WRONG_KIND.format("float", "int")),
    ("codebook", lambda a: a_function, WRONG_KIND.format("float", "callable")),
    ("codebook", lambda a: np.float32(1.5), WRONG_KIND.format("float", "unkown type")),
    ("codebook", lambda a: memoryview(a), WRONG_KIND.format("float", "unkown type")),
    ("bmus", lambda a: a.astype(np.int64), WRONG_TYPE.format("int", "long")),
    ("bmus", lambda a: a.astype(np.uint32), WRONG_TYPE.format("int", "unsigned int")),
    ("bmus", lambda a: a.astype(np.int16), WRONG_TYPE.format("int", "short")),
    ("bmus", lambda a: a.astype(np.float32), WRONG_TYPE.format("int", "float")),
    ("bmus", lambda a: a.astype(bool), WRONG_TYPE.format("int", "bool")),
    ("bmus", lambda a: a.tolist(), WRONG_KIND.format("int", "list")),
    ("umatrix", lambda a: a.astype(np.float64), WRONG_TYPE.format("float", "double")),
    ("umatrix", lambda a: a.astype(np.longdouble), WRONG_TYPE.format("float", "long double")),
    ("umatrix", lambda a: None, WRONG_KIND.format("float", "Python None")),
    ("codebook", lambda a: a.reshape(1, -1), DIMENSIONS.format(2)),
    ("bmus", lambda a: a.reshape(-1, 2), DIMENSIONS.format(2)),
    ("umatrix", lambda a: a[0, ...], DIMENSIONS.format(0)),
    ("umatrix", lambda a: a.reshape(1, 1, -1), DIMENSIONS.format(3)),
    ("umatrix", strided, CONTIGUOUS),
    ("bmus", strided, CONTIGUOUS),
    ("codebook", lambda a: a[::-1], CONTIGUOUS),
    ("codebook", byte_swapped, BYTE_ORDER),
    ("bmus", byte_swapped, BYTE_ORDER),
    ("codebook", read_only, WRITEABLE),
    ("umatrix", read_only, WRITEABLE),
    ("bmus", lambda a: np.frombuffer(a.tobytes(), dtype=np.int32), WRITEABLE),
]  # fmt: skip


@pytest.mark.parametrize(
    "name, spoil, message", INPLACE_REFUSALS,
    ids=[f"{name}-{message}" for name, _, message in INPLACE_REFUSALS],
)  # fmt: skip
def test_inplace_array_refused_with_message(name, spoil, message):
    call = TrainCall()
    call[name] = spoil(call[name])
    assert_refused(call, TypeError, message)


@pytest.mark.parametrize("name", ["codebook", "bmus", "umatrix"])
def test_inplace_array_taken_as_caller_memory(name):
    # A subclass of ndarray and an equivalent type number pass as they are.
    call = TrainCall()
    reference = call.results()
    call = TrainCall()
    view = call[name].view(np.memmap)
    call[name] = view
    assert call.results() == reference
    assert view.base is not None


def test_inplace_array_of_one_element_is_contiguous_when_strided():
    # One node, one vector of one value: every array has one element, here
    # taken from a strided view, which NumPy flags as contiguous.
    call = TrainCall(columns=1, rows=1, dimension=1, vector_count=1,
                     radius_start=1)  # fmt: skip
    call["codebook"] = np.array([0.25, 9.0], dtype=np.float32)[::2]
    call["umatrix"] = np.array([-7.0, 9.0], dtype=np.float32)[::2]
    call["bmus"] = np.array([-7, -7], dtype=np.int32)
    assert call.run() is None
    assert call["codebook"][0] == call["data"][0]
    assert call["bmus"].tolist() == [0, 0]


def test_inplace_array_of_no_elements_is_accepted():
    call = TrainCall(vector_count=0)
    call["data"] = np.zeros(0, dtype=np.float32)
    call["bmus"] = np.zeros(0, dtype=np.int32)[::2]
    assert call.run() is None


# ----------------------------------------------------------------- data


# Forms of `data` that train converts or copies: each must train exactly like
# the contiguous native float32 array of the same values. A contiguous array
# in the opposite byte order would otherwise reach the engine as garbage
# values; it is copied into native order.
INPUT_FORMS = {
    "list": lambda a: a.tolist(),
    "tuple": lambda a: tuple(a.tolist()),
    "strided view": strided,
    "reversed view": lambda a: a[::-1].copy()[::-1],
    "big-endian": lambda a: a.astype(">f4"),
    "little-endian": lambda a: a.astype("<f4"),
    "byte-swapped strided view": lambda a: strided(byte_swapped(a)),
    "float16, cast safely": lambda a: a.astype(np.float16),
    "read-only": read_only,
    "memmap view": lambda a: a.view(np.memmap),
}


@pytest.mark.parametrize("form", INPUT_FORMS.values(), ids=INPUT_FORMS.keys())
def test_input_array_form_trains_like_native_float32(form):
    call = TrainCall()
    data = form(call["data"])
    reference = TrainCall.changed(data=np.asarray(data, dtype=np.float32))
    call["data"] = data
    assert call.results() == reference.results()


@pytest.mark.parametrize("value, exception, message", [
    (np.zeros((10, 3), dtype=np.float32), TypeError, DIMENSIONS.format(2)),
    (0.5, TypeError, DIMENSIONS.format(0)),
    (np.float32(0.5), TypeError, DIMENSIONS.format(0)),
    (["a", "b"], ValueError, None),
    # Only safe casts: float64 does not become float32.
    (np.zeros(30, dtype=np.float64), TypeError, None),
    (np.zeros(30, dtype=np.complex64), TypeError, None),
], ids=["two-dimensional", "python-float", "numpy-scalar", "strings",
        "float64", "complex64"])  # fmt: skip
def test_input_array_refused(value, exception, message):
    # Without a message: NumPy's own exception, passed through unchanged.
    call = TrainCall(data=value)
    assert_refused(call, exception, message)
