"""No call of the estimator leaks memory, whichever way it ends.

Each case (fits and the calls on a fitted map, on dense, sparse and list
data, and calls that fail) runs a hundred rounds to warm up, then
QUORVEL_LEAK_CALLS/4 rounds watching the C allocator and the resident
memory, as the tests of the low-level module do (their helpers are reused):
neither may grow by a byte per round, or by a few pages. The C allocator
sees NumPy's buffers and the engine's heap; Python's objects are watched
with tracemalloc for a few of the cases (it slows every call several
times), in windows until one grows by less than a byte per round: the
input conversions of NumPy and scikit-learn fill small caches of their own
over the first thousand calls, and their allocations inside NumPy's array
constructor are left out, while a leak of anything per call keeps every
window growing. Under the sanitizers (fewer calls) the cases run and the
figures are not judged.
"""

import gc
import tracemalloc

import numpy as np
import pytest
import scipy.sparse as sp
from sklearn.exceptions import NotFittedError
from quorvel import SOM

from test_leaks import MEASURED_CALLS, SANITIZED, malloc_bytes, resident_bytes

ROUNDS = max(1, MEASURED_CALLS // 4)
WARMUP_ROUNDS = 100
TRACED_ROUNDS = max(1, ROUNDS // 2)
TRACED_WINDOWS = 4
TRACED_CASES = {"dense fit and predict", "list fit with pca and predict", "fit on NaN data"}
# The allocations made inside NumPy's array constructor as scikit-learn's
# input checks call it (the innermost Python frame of their traces).
NOT_TRACED = [tracemalloc.Filter(False, "*/array_api_compat/numpy/_aliases.py")]

X = np.random.default_rng(0).normal(size=(12, 3)).astype(np.float32)
INIT = np.random.default_rng(1).normal(size=(6, 3))
NAN = X.copy()
NAN[4, 1] = np.nan
FITTED = SOM(3, 2, epochs=2, init=INIT, n_jobs=1).fit(X)


def fit_and_predict(data, **params):
    estimator = SOM(3, 2, epochs=2, init=INIT, n_jobs=1).set_params(**params)

    def call():
        estimator.fit(data)
        estimator.predict(data)

    return call, call, None


def failing(method, data, exception=ValueError, estimator=None, **params):
    estimator = estimator or SOM(3, 2, epochs=2, init=INIT, n_jobs=1).set_params(**params)
    bound = getattr(estimator, method)

    def call():
        try:
            bound(data)
        except exception:
            pass

    return call, lambda: bound(data), exception


def uses(data):
    def call():
        FITTED.transform(data)
        FITTED.quantization_error(data)
        FITTED.topographic_error(data)

    return call, call, None


CASES = {
    "dense fit and predict": lambda: fit_and_predict(X),
    "sparse fit and predict": lambda: fit_and_predict(sp.csr_matrix(X)),
    "list fit with pca and predict": lambda: fit_and_predict(X.tolist(), init="pca"),
    "fit with random init, toroid, bubble": lambda: fit_and_predict(
        X, init="random", random_state=0, topology="toroid", neighbourhood="bubble"
    ),
    "transform and errors, dense": lambda: uses(X),
    "transform and errors, sparse": lambda: uses(sp.csr_matrix(X)),
    "fit on NaN data": lambda: failing("fit", NAN),
    "fit on sparse NaN data": lambda: failing("fit", sp.csr_matrix(NAN)),
    "fit with a bad parameter": lambda: failing("fit", X, grid="square"),
    "fit with a wrong init shape": lambda: failing("fit", X, init=np.ones((5, 3))),
    "predict with other features": lambda: failing("predict", X[:, :2], estimator=FITTED),
    "predict before fit": lambda: failing("predict", X, exception=NotFittedError),
}


def rounds(call, count):
    for _ in range(count):
        call()


def traced_bytes():
    snapshot = tracemalloc.take_snapshot().filter_traces(NOT_TRACED)
    return sum(trace.size for trace in snapshot.traces)


def growth(call, measure, count):
    gc.collect()
    before = measure()
    rounds(call, count)
    gc.collect()
    return measure() - before


@pytest.fixture(scope="module", autouse=True)
def settled_process():
    # The allocator's caches and the OpenMP threads' stacks fill over the
    # first calls of the process; leaks are measured after that.
    for make in CASES.values():
        rounds(make()[0], 50)


@pytest.mark.parametrize("case", sorted(CASES))
def test_calls_leak_nothing_after_warm_up(case):
    call, first, exception = CASES[case]()
    # The case ends the intended way.
    if exception is None:
        first()
    else:
        with pytest.raises(exception):
            first()
    rounds(call, WARMUP_ROUNDS)
    tracked = len(gc.get_objects())
    if SANITIZED:
        rounds(call, ROUNDS)
    else:
        gc.collect()
        resident, malloc = resident_bytes(), malloc_bytes()
        rounds(call, ROUNDS)
        gc.collect()
        resident_growth = resident_bytes() - resident
        malloc_growth = malloc_bytes() - malloc
        # Less than a byte per round of calls: a lost array costs dozens.
        assert malloc_growth < ROUNDS, malloc_growth
        # Coarse, in whole pages: a lost kilobyte per call would show.
        assert resident_growth < 256 * 1024, resident_growth
        if case in TRACED_CASES:
            traced = []
            tracemalloc.start()
            try:
                rounds(call, WARMUP_ROUNDS // 2)
                while len(traced) < TRACED_WINDOWS and (not traced or traced[-1] >= TRACED_ROUNDS):
                    traced.append(growth(call, traced_bytes, TRACED_ROUNDS))
            finally:
                tracemalloc.stop()
            assert traced[-1] < TRACED_ROUNDS, traced
    gc.collect()
    assert len(gc.get_objects()) - tracked <= 0
