"""The number of OpenMP threads changes no bit of a training result. OpenMP
reads OMP_NUM_THREADS once per process, so each count runs in a fresh
interpreter; the map and data are sized so that every thread gets a ragged
share of vectors and map rows."""

import hashlib

import pytest

from train_call import TrainCall


def result_digests():
    """A digest of the results of the dense and the sparse kernel."""
    return [
        hashlib.sha256(b"".join(TrainCall(
            columns=13, rows=11, dimension=5, vector_count=57, epoch_count=3,
            map_type="toroid", grid_type="hexagonal",
            kernel_type=kernel_type).results())).hexdigest()
        for kernel_type in (0, 2)
    ]  # fmt: skip


@pytest.mark.parametrize("thread_count", [1, 2, 3])
def test_thread_count_changes_no_bit(run_python, thread_count):
    completed = run_python(
        "from test_thread_independence import result_digests\n"
        "print(*result_digests())\n",
        environment={"OMP_NUM_THREADS": str(thread_count)},
    )  # fmt: skip
    assert completed.stdout.split() == result_digests()
