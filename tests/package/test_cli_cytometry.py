"""The command line on cytometry files: training on FCS files with channels
chosen by marker or channel name, metaclusters stored with the map and
written by predict as the estimator gives them, and the errors for files
that are not FCS or lack a named marker."""

import numpy as np
import pytest
from quorvel import SOM, Metaclusters, arcsinh, cli

flowio = pytest.importorskip("flowio")

RNG = np.random.default_rng(9)
CHANNELS = ["FSC-A", "FL1-A", "FL2-A", "FL3-A"]
MARKERS = ["", "CD3", "CD4", "CD8"]
SMALL = ["--columns", "4", "--rows", "3", "--epochs", "3", "--quiet"]


def write_fcs(path, events):
    with open(path, "wb") as handle:
        flowio.create_fcs(handle, events.astype(np.float32).ravel(), CHANNELS, MARKERS)
    return path


def sample(n):
    centres = np.array([[5e4, 10, 800, 10], [6e4, 900, 10, 20], [4e4, 800, 20, 700]])
    return (centres[RNG.integers(0, 3, n)] + RNG.normal(0, 30, (n, 4))).astype(np.float32)


def test_train_on_fcs_files_stores_metaclusters_that_predict_writes(tmp_path):
    first, second = sample(150), sample(90)
    files = [write_fcs(tmp_path / "a.fcs", first), write_fcs(tmp_path / "b.fcs", second)]
    status = cli.main([
        "train", *map(str, files), "-o", str(tmp_path / "map.npz"), *SMALL,
        "--features", "CD3,FL2-A,CD8", "--arcsinh", "150", "--metaclusters", "3",
        "--seed", "4",
    ])  # fmt: skip
    assert status == 0
    # The estimator on the same values: markers and channel names pick the
    # same columns, the files are read one after the other.
    values = arcsinh(np.concatenate([first, second])[:, 1:].astype(np.float64), 150.0)
    meta = Metaclusters(SOM(4, 3, epochs=3, random_state=4), 3, random_state=4).fit(values)
    status = cli.main(["predict", str(tmp_path / "map.npz"), str(files[1]),
                       "-o", str(tmp_path / "cells.csv")])  # fmt: skip
    assert status == 0
    written = np.loadtxt(tmp_path / "cells.csv", delimiter=",", skiprows=1)
    np.testing.assert_array_equal(written[:, 0], meta.som_.predict(values[150:]))
    np.testing.assert_array_equal(written[:, -1], meta.predict(values[150:]))
    assert (tmp_path / "cells.csv").read_text().startswith("node,x,y,distance,metacluster\n")


@pytest.mark.parametrize(
    "file, options, status, message",
    [
        ("truncated", [], 1, "cells.fcs is not a readable FCS file"),
        ("whole", ["--features", "CD3,CD19"], 2, "has no column 'CD19' (its columns: FSC-A, CD3"),
        ("whole", ["--metaclusters", "13"], 2, "--metaclusters: 13 is more than the map's 12 nodes"),
    ],
)
def test_train_refuses_unreadable_fcs_and_missing_markers(tmp_path, capsys, file, options,
                                                          status, message):
    path = write_fcs(tmp_path / "cells.fcs", sample(40))
    if file == "truncated":
        path.write_bytes(path.read_bytes()[:400])
    code = cli.main(["train", str(path), "-o", str(tmp_path / "map.npz"), *SMALL, *options])
    assert code == status
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1
    assert not (tmp_path / "map.npz").exists()
