"""No call of train leaks memory or references, whichever way it ends.

Every success and failure path is called a few thousand times after a
warm-up; then the memory that Python's allocators hold (tracemalloc, which
also sees NumPy's array buffers), the process's resident memory (which also
sees the C++ heap of the binding and the engine), the count of objects that
the garbage collector tracks, and the reference count of every argument
object must not have grown. The data given as a list is converted into a new
array on every call, so a path that forgot to release it would leak that
array each time.
"""

import ctypes
import gc
import os
import sys
import tracemalloc

import numpy as np
import pytest

import _quorvel_wrap
from train_call import ARGUMENT_NAMES, byte_swapped, read_only, strided

WARMUP_CALLS = 200
MEASURED_CALLS = int(os.environ.get("QUORVEL_LEAK_CALLS", "1000"))

# The sanitizer pass swaps the allocators: AddressSanitizer holds freed
# memory back in its quarantine, and with the interpreter allocating through
# malloc NumPy's failed casts fill caches for thousands of calls (as they do
# without train). There the paths run, with reference counts checked, and
# the memory figures are judged in the ordinary pass only.
with open("/proc/self/maps") as maps:
    SANITIZED = "libasan" in maps.read()

COLUMNS, ROWS, DIMENSION, VECTORS = 3, 2, 4, 5
# The unset-codebook marker.
MARKER = np.array([1000.0, 2000.0], dtype=np.float32)
# Longer than the run needs: the list conversion then makes a sizeable array.
DATA_LENGTH = 1024


class ObjectError(Exception):
    pass


class RaisingArrayLike:
    def __array__(self, dtype=None, copy=None):
        raise ObjectError("no array")


class ThisChain:
    """Leads the string conversion's "this" walk through twenty new objects
    to an int, which has no "this"."""

    def __init__(self, depth=0):
        self.depth = depth

    @property
    def this(self):
        return ThisChain(self.depth + 1) if self.depth < 20 else 0


class StrSubclass(str):
    pass


class IntSubclass(int):
    pass


def data_values():
    return np.linspace(0.0, 1.0, DATA_LENGTH, dtype=np.float32)


def valid_arguments(data):
    """A call that trains a small map, with long selector texts (an
    unrecognised map type is no error), so that a lost copy of a string
    would show."""
    codebook = np.linspace(0.1, 0.9, COLUMNS * ROWS * DIMENSION,
                           dtype=np.float32)
    return [
        data, 2, COLUMNS, ROWS, DIMENSION, VECTORS, 2, 1, "linear" * 500,
        0.5, 0.01, "exponential" * 500, 0, "planar-" * 500, "hexagonal",
        False, True, codebook,
        np.zeros(2 * VECTORS, dtype=np.int32),
        np.zeros(COLUMNS * ROWS, dtype=np.float32),
    ]


def replaced(**changes):
    """A change of arguments by position name; a function as the value makes
    the new value from the arguments."""

    def change(arguments):
        for name, value in changes.items():
            if callable(value) and not isinstance(value, type):
                value = value(arguments)
            arguments[ARGUMENT_NAMES.index(name)] = value
        return arguments

    return change


def keep(arguments):
    return arguments


SUCCESS_CASES = {
    "dense kernel": keep,
    "sparse kernel": replaced(kernel_type=2),
    "fallback kernel code": replaced(kernel_type=9),
    "no epochs": replaced(epoch_count=0),
    "unset codebook": replaced(codebook=lambda a: np.concatenate(
        [MARKER, a[17][2:]])),
    "wide vectors": replaced(
        dimension=256, vector_count=4,
        codebook=np.full(COLUMNS * ROWS * 256, 0.5, dtype=np.float32)),
    "wide vectors, sparse kernel": replaced(
        dimension=256, vector_count=4, kernel_type=2,
        codebook=np.full(COLUMNS * ROWS * 256, 0.5, dtype=np.float32)),
    "strided data": replaced(data=lambda a: strided(a[0])),
    "byte-swapped data": replaced(data=lambda a: byte_swapped(a[0])),
    "float16 data": replaced(data=lambda a: a[0].astype(np.float16)),
    "subclass scalars": replaced(
        columns=IntSubclass(COLUMNS), scale_start=np.float64(0.5),
        map_type=StrSubclass("toroid"), radius_cooling=StrSubclass("x")),
    "strings with NUL and non-ASCII": replaced(
        map_type="planar\x00" * 100,
        grid_type="\N{HEXAGRAM FOR THE CREATIVE HEAVEN}" * 100),
    "unrecognised selectors": replaced(map_type="", grid_type=""),
}

# (change, exception); each runs with data as an array and as a list.
FAILURE_CASES = {
    "data of two dimensions": (
        replaced(data=lambda a: a[0].reshape(2, -1)), TypeError),
    "data of doubles": (
        replaced(data=lambda a: a[0].astype(np.float64)), TypeError),
    "data that does not convert": (replaced(data=["a"] * 50), ValueError),
    "data as a single float": (replaced(data=1.5), TypeError),
    "data raising in conversion": (
        replaced(data=RaisingArrayLike()), ObjectError),
    "kernel code 1": (replaced(kernel_type=1), RuntimeError),
    "kernel code 1 with an unset codebook": (
        replaced(kernel_type=1, codebook=lambda a: np.concatenate(
            [MARKER, a[17][2:]])),
        RuntimeError),
    "size rule, short codebook": (
        replaced(codebook=lambda a: a[17][:-1]), ValueError),
    "size rule, short bmus": (replaced(bmus=lambda a: a[18][:-1]), ValueError),
    "size rule, short umatrix": (
        replaced(umatrix=lambda a: a[19][:-1]), ValueError),
    "size rule, wrapping product": (
        replaced(columns=2**16, rows=2**16, dimension=1), ValueError),
}
UNSIGNED_POSITIONS = {
    "epoch_count": 1, "columns": 2, "rows": 3, "dimension": 4,
    "vector_count": 5, "radius_start": 6, "radius_end": 7, "kernel_type": 12}
for name in UNSIGNED_POSITIONS:
    for label, value, exception in [
            ("None", None, TypeError), ("a float", 1.5, TypeError),
            ("-1", -1, OverflowError), ("2^32", 2**32, OverflowError),
            ("2^70", 2**70, OverflowError)]:
        FAILURE_CASES[f"{name} {label}"] = (
            replaced(**{name: value}), exception)
for name in ("scale_start", "scale_end"):
    for label, value, exception in [
            ("a str", "0.5", TypeError), ("1e39", 1e39, OverflowError),
            ("10^400", 10**400, TypeError)]:
        FAILURE_CASES[f"{name} {label}"] = (
            replaced(**{name: value}), exception)
for name in ("radius_cooling", "scale_cooling", "map_type", "grid_type"):
    for label, value in [
            ("bytes", b"linear"), ("None", None),
            ("a lone surrogate", "linear\ud800" * 100),
            ("a this chain", ThisChain())]:
        FAILURE_CASES[f"{name} {label}"] = (
            replaced(**{name: value}), TypeError)
for name in ("cutoff", "use_gaussian"):
    for label, value in [("1", 1), ("None", None),
                         ("a NumPy bool", np.bool_(True))]:
        FAILURE_CASES[f"{name} {label}"] = (
            replaced(**{name: value}), TypeError)
for name, position, dtype in [("codebook", 17, np.float32),
                              ("bmus", 18, np.int32),
                              ("umatrix", 19, np.float32)]:
    other = np.float64 if dtype == np.float32 else np.int64
    for label, value in [
            ("of another type", lambda a, p=position, o=other:
                a[p].astype(o)),
            ("as a list", lambda a, p=position: a[p].tolist()),
            ("None", None),
            ("of two dimensions", lambda a, p=position:
                np.repeat(a[p], 2).reshape(2, -1)),
            ("strided", lambda a, p=position: strided(a[p])),
            ("byte-swapped", lambda a, p=position: byte_swapped(a[p])),
            ("read-only", lambda a, p=position: read_only(a[p]))]:
        FAILURE_CASES[f"{name} {label}"] = (
            replaced(**{name: value}), TypeError)


@pytest.fixture(scope="module", autouse=True)
def settled_process():
    # A fresh process's resident memory grows by about half a megabyte over
    # its first two thousand training calls (the allocator's per-thread
    # caches filling up) and then stays flat for good; leaks are measured
    # after that.
    arguments = valid_arguments(data_values())
    for kernel_type in (0, 2):
        arguments[12] = kernel_type
        calls(arguments, None, 2000, None)


class MallocInfo(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
        "fsmblks", "uordblks", "fordblks", "keepcost")]


_mallinfo2 = ctypes.CDLL(None).mallinfo2
_mallinfo2.restype = MallocInfo


def malloc_bytes():
    """Bytes in use from the C allocator, which the C++ heap, NumPy's
    buffers and Python's larger objects come from; unlike resident memory it
    does not hide a leak in pages that earlier frees left."""
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def marked_codebook(arguments):
    """The codebook if it carries the unset marker: it is marked again
    before every call, so that every call seeds it."""
    codebook = arguments[17] if len(arguments) == 20 else None
    if (isinstance(codebook, np.ndarray) and codebook.ndim == 1
            and codebook.dtype == np.float32 and codebook.size >= 2
            and (codebook[:2] == MARKER).all()):
        return codebook
    return None


def calls(arguments, exception, count, codebook):
    train = _quorvel_wrap.train
    if codebook is not None:
        if exception is None:
            for _ in range(count):
                codebook[:2] = MARKER
                train(*arguments)
        else:
            for _ in range(count):
                codebook[:2] = MARKER
                try:
                    train(*arguments)
                except exception:
                    pass
    elif exception is None:
        for _ in range(count):
            train(*arguments)
    else:
        for _ in range(count):
            try:
                train(*arguments)
            except exception:
                pass


def measured(arguments, exception, codebook, measure):
    """The growth of `measure` over MEASURED_CALLS calls; garbage is
    collected on both sides, so that cycles left by earlier calls and freed
    at the end cannot offset a leak."""
    gc.collect()
    before = measure()
    calls(arguments, exception, MEASURED_CALLS, codebook)
    gc.collect()
    return measure() - before


def assert_no_growth(arguments, exception):
    """Calls train after a warm-up, MEASURED_CALLS times watching the C
    allocator and resident memory, then as often again under tracemalloc,
    and checks that nothing grew; returns the growths (None in the
    sanitizer pass, which checks the reference counts alone)."""
    codebook = marked_codebook(arguments)
    # One call outside the loop proves the case takes the intended way out.
    if exception is None:
        assert _quorvel_wrap.train(*arguments) is None
    else:
        with pytest.raises(exception):
            _quorvel_wrap.train(*arguments)
    calls(arguments, exception, WARMUP_CALLS, codebook)
    gc.collect()
    # The case's own objects; shared ones such as small ints, None and
    # True also change count with unrelated work of the interpreter.
    objects = [value for value in arguments if sys.getrefcount(value) < 1000]
    references = [sys.getrefcount(value) for value in objects]
    tracked = len(gc.get_objects())
    if SANITIZED:
        calls(arguments, exception, MEASURED_CALLS, codebook)
        traced_growth = malloc_growth = resident_growth = None
    else:
        # Apart: tracemalloc keeps its own tables in the C allocator.
        resident_growth = measured(arguments, exception, codebook,
                                   resident_bytes)
        malloc_growth = measured(arguments, exception, codebook,
                                 malloc_bytes)
        tracemalloc.start()
        try:
            calls(arguments, exception, WARMUP_CALLS, codebook)
            traced_growth = measured(
                arguments, exception, codebook,
                lambda: tracemalloc.get_traced_memory()[0])
        finally:
            tracemalloc.stop()
        # Less than a byte per call: a lost object or buffer costs dozens.
        assert traced_growth < MEASURED_CALLS, traced_growth
        assert malloc_growth < MEASURED_CALLS, malloc_growth
        # Coarse, in whole pages that the allocator and the threads' stacks
        # touch now and then; it catches what the allocator's count cannot,
        # such as lost mappings: a lost kilobyte per call would be a
        # megabyte.
        assert resident_growth < 256 * 1024, resident_growth
    assert [sys.getrefcount(value) for value in objects] == references
    assert len(gc.get_objects()) - tracked <= 0
    return traced_growth, malloc_growth, resident_growth


@pytest.mark.parametrize("data_kind", ["array", "list"])
@pytest.mark.parametrize("case", sorted(SUCCESS_CASES))
def test_successful_calls_leak_nothing(case, data_kind):
    data = data_values()
    arguments = SUCCESS_CASES[case](valid_arguments(data))
    if data_kind == "list":
        if arguments[0] is not data:
            pytest.skip("the case brings its own data")
        arguments[0] = data.tolist()
    assert_no_growth(arguments, None)


@pytest.mark.parametrize("data_kind", ["array", "list"])
@pytest.mark.parametrize("case", sorted(FAILURE_CASES))
def test_failing_calls_leak_nothing(case, data_kind):
    change, exception = FAILURE_CASES[case]
    data = data_values()
    arguments = change(valid_arguments(data))
    if data_kind == "list":
        if arguments[0] is not data:
            pytest.skip("the case brings its own data")
        arguments[0] = data.tolist()
    assert_no_growth(arguments, exception)


@pytest.mark.parametrize("arguments", [(), (None,) * 19, (None,) * 21])
def test_wrong_argument_counts_leak_nothing(arguments):
    assert_no_growth(list(arguments), TypeError)
