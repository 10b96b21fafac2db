"""Successful training calls from Python: train returns None and leaves in
the caller's arrays exactly the bits that a slow reference computes (every
float32 operation in the engine's order), for both map kinds, both grid
kinds, both neighbourhoods and both cooling laws."""

import itertools

import numpy as np
import pytest

from train_call import TrainCall
from training_ref import train_ref


def float_bits(array):
    return array.view(np.uint32)


CONFIGURATIONS = [
    dict(map_type=map_type, grid_type=grid_type, use_gaussian=gaussian,
         cutoff=cutoff, radius_cooling=radius_cooling,
         scale_cooling=scale_cooling)
    for (map_type, grid_type), (gaussian, cutoff), (radius_cooling,
                                                     scale_cooling)
    in itertools.product(
        [("planar", "rectangular"), ("toroid", "hexagonal"),
         ("planar", "hexagonal"), ("toroid", "rectangular")],
        [(True, False), (True, True), (False, False)],
        [("linear", "exponential"), ("exponential", "linear")],
    )
]  # fmt: skip
# Each combination of map, grid, neighbourhood and cooling appears in at
# least one case, with the schedule arguments varied across them.
CASES = [
    {**configuration, **schedule}
    for configuration, schedule in zip(CONFIGURATIONS, itertools.cycle([
        dict(radius_start=3, radius_end=1, scale_start=0.5, scale_end=0.05),
        dict(radius_start=0, radius_end=0, scale_start=0.0, scale_end=0.0),
        dict(radius_start=1, radius_end=4, scale_start=0.3, scale_end=0.9),
    ]))
]  # fmt: skip


def case_id(case):
    return "-".join(str(value) for value in case.values())


@pytest.mark.parametrize("case", CASES, ids=map(case_id, CASES))
def test_training_matches_reference_bits(case):
    call = TrainCall(columns=5, rows=4, dimension=3, vector_count=9,
                     epoch_count=4)  # fmt: skip
    for name, value in case.items():
        call[name] = value
    expected = train_ref(
        call["data"], call["epoch_count"], call["columns"], call["rows"],
        call["dimension"], call["vector_count"], call["radius_start"],
        call["radius_end"], call["radius_cooling"], call["scale_start"],
        call["scale_end"], call["scale_cooling"], call["map_type"],
        call["grid_type"], call["cutoff"], call["use_gaussian"],
        call["codebook"],
    )  # fmt: skip
    assert call.run() is None
    codebook, bmus, umatrix = expected
    assert (float_bits(call["codebook"]) == float_bits(codebook)).all()
    assert (call["bmus"] == bmus).all()
    assert (float_bits(call["umatrix"]) == float_bits(umatrix)).all()


@pytest.mark.parametrize("kernel_type", [2, 3, 2**31])
def test_training_with_other_kernel_codes_matches_dense(kernel_type):
    # Code 2 trains with the sparse kernel on the same data, every code
    # other than 1 and 2 with the dense kernel: all give the same bits.
    dense = TrainCall().results()
    assert TrainCall.changed(kernel_type=kernel_type).results() == dense


def test_training_without_epochs_records_bmus_and_umatrix_only():
    call = TrainCall(epoch_count=0)
    codebook = call["codebook"].copy()
    expected = train_ref(
        call["data"], 0, 4, 3, 3, 10, 3, 1, "linear", 0.5, 0.05, "linear",
        "planar", "rectangular", False, True, codebook)  # fmt: skip
    assert call.run() is None
    assert call["codebook"].tobytes() == codebook.tobytes()
    assert (call["bmus"] == expected[1]).all()
    assert (float_bits(call["umatrix"]) == float_bits(expected[2])).all()


def test_training_repeated_call_gives_same_bits():
    assert TrainCall().results() == TrainCall().results()


def test_training_of_unset_codebook_seeds_it(run_python):
    # One thread, so that the seeded values are the generator's first draws
    # after the seed 0, in memory order.
    completed = run_python("""
import ctypes, ctypes.util
import numpy as np
from train_call import TrainCall
call = TrainCall(epoch_count=0)
call["codebook"][:2] = (1000.0, 2000.0)
call.run()
libc = ctypes.CDLL(ctypes.util.find_library("c"))
libc.srand(0)
draws = np.array([libc.rand() for _ in range(call["codebook"].size)])
expected = ((draws & 4095) - 2048).astype(np.float32) / np.float32(4096)
print((call["codebook"] == expected).all())
""", environment={"OMP_NUM_THREADS": "1"})
    assert completed.stdout.split() == ["True"]
