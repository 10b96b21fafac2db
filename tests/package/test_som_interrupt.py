"""Ctrl-C during a fit, inside one long epoch, and the interpreter lock
released around engine work."""

import threading
import time

import numpy as np
import pytest

import quorvel._sources.memory
from quorvel import SOM

INTERRUPT_SCRIPT = """
import os, signal, sys, threading, time
import numpy as np
from quorvel import SOM
X = np.random.default_rng(0).random(({rows}, 32), dtype=np.float32)
som = SOM({side}, {side}, epochs={epochs}, grid="rectangular", init="random",
          random_state=0, n_jobs=2)
def interrupt():
    time.sleep({delay})
    global sent
    sent = time.monotonic()
    os.kill(os.getpid(), signal.SIGINT)
threading.Thread(target=interrupt, daemon=True).start()
start = time.monotonic()
try:
    som.fit(X)
except KeyboardInterrupt as error:
    latency = time.monotonic() - sent
    print("interrupted", som.n_iter_, len(som.history_["sigma"]),
          len(som.history_["quantization_error"]), hasattr(som, "labels_"),
          f"{{latency:.3f}}", error)
    print("predict", som.predict(X[:5]).shape[0], som.codebook_.shape)
else:
    print("finished", time.monotonic() - start)
"""


@pytest.mark.parametrize(
    "rows, side, epochs, delay, within_epoch",
    [
        # Epochs of a few milliseconds: stopped between two of them.
        (2000, 10, 100000, 1.0, False),
        # One epoch of many seconds: stopped inside it.
        (1_000_000, 100, 1, 1.5, True),
    ],
)
def test_interrupt_stops_fit_within_a_second(run_python, rows, side, epochs, delay, within_epoch):
    completed = run_python(
        INTERRUPT_SCRIPT.format(rows=rows, side=side, epochs=epochs, delay=delay)
    )
    lines = completed.stdout.splitlines()
    assert lines[0].startswith("interrupted"), completed.stdout
    words = lines[0].split()
    n_iter, sigmas, errors = int(words[1]), int(words[2]), int(words[3])
    assert n_iter == sigmas == errors
    assert words[4] == "False"  # labels_ is not set after an interruption
    # A second, with room for a loaded machine and the sanitizer build.
    assert float(words[5]) < 3.0
    assert f"after {n_iter} of {epochs} epochs" in lines[0]
    if within_epoch:
        assert n_iter == 0
    else:
        assert 0 < n_iter < epochs
    assert lines[1] == f"predict 5 ({side}, {side}, 32)"


def test_fit_releases_interpreter_lock(monkeypatch):
    # One engine call of about a second: with the lock held, this thread
    # would stand still for all of it.
    monkeypatch.setattr(quorvel._sources.memory, "WORK_PER_CALL", 2**45)
    X = np.random.default_rng(1).random((200_000, 32), dtype=np.float32)
    som = SOM(50, 40, epochs=1, grid="rectangular", init="random", random_state=0, n_jobs=1)
    fit = threading.Thread(target=som.fit, args=(X,))
    ticks = []
    fit.start()
    while fit.is_alive():
        ticks.append(time.monotonic())
        time.sleep(0.001)
    fit.join()
    assert hasattr(som, "labels_")
    assert len(ticks) > 20
    assert np.diff(ticks).max() < 0.25
