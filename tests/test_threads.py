"""Several Python threads calling train at once, each on its own arrays.

Every thread must get exactly the result of the same call made alone: no call
may see another's arrays, random seed or pending exception. Threads that make
failing calls run beside them, so that a failure's exception state cannot
leak into a concurrent success.
"""

import sys
import threading

import numpy as np
import pytest
from hypothesis import given, settings

import _quorvel_wrap
from training_runs import Run, result_bits, runs, train

THREAD_COUNT = 6
RUNS_PER_THREAD = 4
REPEATS = 5


def larger_unset_run(index):
    # Mostly the seeding of a large codebook, so that calls from different
    # threads would seed at the same time if a call let go of the
    # interpreter's lock: the seeding draws from one process-wide random
    # generator, and overlapping calls would get each other's values.
    generator = np.random.default_rng(index)
    columns, rows, dimension, vector_count = 30 + index, 30, 48, 8
    codebook = np.zeros(columns * rows * dimension, dtype=np.float32)
    codebook[:2] = (1000.0, 2000.0)
    return Run(
        data=generator.random(vector_count * dimension, dtype=np.float32),
        epoch_count=1, columns=columns, rows=rows, dimension=dimension,
        vector_count=vector_count, radius_start=0, radius_end=0,
        radius_cooling="linear", scale_start=0.5, scale_end=0.01,
        scale_cooling="exponential", kernel_type=2 * (index % 2),
        map_type=("planar", "toroid")[index % 2],
        grid_type=("rectangular", "hexagonal")[index // 2 % 2],
        cutoff=bool(index % 3), use_gaussian=True, codebook=codebook, tail=2)


def draw_runs(count):
    batch = []

    @settings(max_examples=count)
    @given(runs())
    def draw(run):
        batch.append(run)

    draw()
    return batch[:count]


@pytest.fixture
def fast_thread_switching():
    # Switch threads far more often than by default, so that calls from
    # different threads interleave as finely as the interpreter allows.
    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(previous)


def failing_calls(run, barrier, repeats, outcomes):
    codebook, bmus, umatrix = run.inplace_arrays()
    barrier.wait()
    for repeat in range(repeats):
        # Alternately a conversion failure and an engine failure (kernel
        # code 1, after the codebook may have been seeded).
        arguments = list(run.arguments(codebook, bmus, umatrix))
        if repeat % 2:
            arguments[12] = 1
            expected = RuntimeError
        else:
            arguments[4] = -1
            expected = OverflowError
        try:
            _quorvel_wrap.train(*arguments)
        except expected:
            outcomes.append(True)
        else:
            outcomes.append(False)


def test_concurrent_calls_each_get_single_threaded_result(
        fast_thread_switching):
    batch = draw_runs(THREAD_COUNT * RUNS_PER_THREAD)
    batch += [larger_unset_run(index) for index in range(THREAD_COUNT)]
    expected = [result_bits(train(run)) for run in batch]
    shares = [batch[i::THREAD_COUNT] for i in range(THREAD_COUNT)]
    wanted = [expected[i::THREAD_COUNT] for i in range(THREAD_COUNT)]
    mismatches = []
    failure_outcomes = []
    errors = []
    barrier = threading.Barrier(THREAD_COUNT + 2)

    def training_calls(index):
        barrier.wait()
        for repeat in range(REPEATS):
            for run, want in zip(shares[index], wanted[index]):
                if result_bits(train(run)) != want:
                    mismatches.append((index, repeat, run))

    def guarded(function, *arguments):
        try:
            function(*arguments)
        except BaseException as error:  # reported below, in the main thread
            errors.append(error)

    threads = [threading.Thread(target=guarded, args=(training_calls, i))
               for i in range(THREAD_COUNT)]
    threads += [
        threading.Thread(target=guarded,
                         args=(failing_calls, batch[i], barrier,
                               REPEATS * RUNS_PER_THREAD, failure_outcomes))
        for i in range(2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    assert not mismatches, mismatches[:3]
    assert failure_outcomes and all(failure_outcomes)


def test_concurrent_calls_on_shared_input_leave_it_unchanged(
        fast_thread_switching):
    # One data array read by every thread at once, each with its own
    # in-place arrays: the input is never written, and all get one result.
    run = max(draw_runs(30), key=lambda run: run.epoch_count *
              run.vector_count * run.node_count * run.dimension)
    data_bits = run.data.view(np.uint32).copy()
    expected = result_bits(train(run))
    results = []
    barrier = threading.Barrier(THREAD_COUNT)

    def calls():
        barrier.wait()
        for repeat in range(REPEATS):
            results.append(result_bits(train(run)))

    threads = [threading.Thread(target=calls) for i in range(THREAD_COUNT)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == THREAD_COUNT * REPEATS
    assert all(result == expected for result in results)
    assert (run.data.view(np.uint32) == data_bits).all()
