"""Failures inside the engine: the GPU kernel code raises RuntimeError with
the engine's text, what the engine wrote before it failed stays, and the
array that train made from `data` is released on this way out too."""

import tracemalloc

import numpy as np
import pytest

from train_call import TrainCall


@pytest.mark.parametrize("epoch_count", [0, 3])
def test_engine_failure_raises_runtime_error_with_engine_text(epoch_count):
    # Even with no training epoch: the final BMU pass selects the kernel too.
    call = TrainCall(epoch_count=epoch_count, kernel_type=1)
    before = call.snapshot()
    with pytest.raises(RuntimeError) as failure:
        call.run()
    assert str(failure.value) == "Compiled without CUDA!"
    # The codebook was set, so no epoch ran and nothing was written.
    assert call.snapshot() == before


def test_engine_failure_keeps_seeded_codebook():
    call = TrainCall(kernel_type=1)
    call["codebook"][:2] = (1000.0, 2000.0)
    bmus, umatrix = call["bmus"].copy(), call["umatrix"].copy()
    with pytest.raises(RuntimeError, match="^Compiled without CUDA!$"):
        call.run()
    # The unset codebook was filled with random multiples of 1/4096 in
    # [-0.5, 0.5) before the kernel was chosen; nothing else was written.
    seeded = call["codebook"].astype(np.float64)
    assert ((seeded >= -0.5) & (seeded < 0.5)).all()
    assert (seeded * 4096 == np.round(seeded * 4096)).all()
    assert (call["bmus"] == bmus).all()
    assert call["umatrix"].tobytes() == umatrix.tobytes()


@pytest.mark.parametrize("make_data", [
    lambda values: values.tolist(),
    lambda values: np.repeat(values, 2)[::2],
], ids=["list", "strided"])  # fmt: skip
@pytest.mark.parametrize("kernel_type", [0, 1])
def test_engine_failure_releases_converted_data(make_data, kernel_type):
    # A long data array (only its start is used) that train must convert
    # into a new 4 MB array on every call: that array may not outlive it.
    values = np.linspace(0, 1, 1_000_000, dtype=np.float32)
    call = TrainCall(kernel_type=kernel_type, epoch_count=1)
    call["data"] = make_data(values)
    tracemalloc.start()
    try:
        for _ in range(10):
            try:
                call.run()
            except RuntimeError:
                assert kernel_type == 1
        current, peak = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert peak >= 4_000_000  # the conversion did happen
    assert current < 1_000_000
