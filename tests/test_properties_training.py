"""Properties of training on small random maps and data.

The data and codebooks include NaN, infinities, signed zeros, huge and
subnormal values; the scales and radii include negative, zero, huge and
non-finite values. For every such run: the dense and the sparse kernel write
the same bits, the thread count changes no bit, every BMU lies on the map,
the input array is never written, and nothing past the needed length of an
in-place array is ever written.
"""

import os
import pickle
import subprocess
import sys

from hypothesis import given, settings

from training_runs import (FLOAT_SENTINEL, INT_SENTINEL, example_count,
                           float32_bits, result_bits, runs, train)

TESTS_DIRECTORY = os.path.dirname(os.path.abspath(__file__))

# Kernel code 0 is the dense kernel, 2 the sparse kernel built from the same
# data, and every code other than 1 and 2 falls back to the dense kernel.
KERNEL_TYPES = (0, 2, 7)


def assert_within_needed_length(run, arrays):
    codebook, bmus, umatrix = arrays
    needed_codebook = run.codebook.size
    needed_bmus = 2 * run.vector_count
    assert (float32_bits(codebook[needed_codebook:]) == FLOAT_SENTINEL).all()
    assert (bmus[needed_bmus:] == INT_SENTINEL).all()
    assert (float32_bits(umatrix[run.node_count:]) == FLOAT_SENTINEL).all()
    # Every needed element of bmus and umatrix is written; no NaN that the
    # arithmetic makes carries the sentinel's payload.
    assert (float32_bits(umatrix[: run.node_count]) != FLOAT_SENTINEL).all()
    pairs = bmus[:needed_bmus].reshape(-1, 2)
    assert ((pairs[:, 0] >= 0) & (pairs[:, 0] < run.columns)).all(), pairs
    assert ((pairs[:, 1] >= 0) & (pairs[:, 1] < run.rows)).all(), pairs


@settings(max_examples=example_count(400))
@given(runs())
def test_kernels_give_same_bits_within_needed_length(run):
    data_before = float32_bits(run.data).copy()
    results = {}
    for kernel_type in KERNEL_TYPES:
        arrays = train(run, kernel_type)
        assert_within_needed_length(run, arrays)
        results[kernel_type] = result_bits(arrays)
        assert (float32_bits(run.data) == data_before).all()
    assert results[2] == results[0]
    assert results[7] == results[0]


def results_in_subprocess(jobs, thread_count):
    environment = dict(os.environ, OMP_NUM_THREADS=str(thread_count),
                       OMP_WAIT_POLICY="PASSIVE")
    completed = subprocess.run(
        [sys.executable, os.path.join(TESTS_DIRECTORY,
                                      "thread_count_worker.py")],
        input=pickle.dumps(jobs), capture_output=True, env=environment,
        timeout=600, check=False)
    assert completed.returncode == 0, completed.stderr.decode()
    return pickle.loads(completed.stdout)


def test_thread_count_changes_no_bit():
    # Hypothesis draws the runs; they are then trained in this process and in
    # one fresh process per thread count, a whole batch per process, since
    # OpenMP reads the thread count once, at process start.
    batch = []

    @settings(max_examples=example_count(150))
    @given(runs())
    def draw(run):
        batch.append(run)

    draw()
    jobs = [(run, kernel_type) for run in batch for kernel_type in (0, 2)]
    expected = [result_bits(train(run, kernel_type))
                for run, kernel_type in jobs]
    for thread_count in (1, 2, 3):
        results = results_in_subprocess(jobs, thread_count)
        assert len(results) == len(jobs)
        for job, got, want in zip(jobs, results, expected):
            assert got == want, (thread_count, job)
