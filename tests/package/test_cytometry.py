"""FCS files read against files that FlowIO's own writer makes, the errors for
files that are not FCS or lack a channel, and the arcsinh scale."""

import math

import flowio
import numpy as np
import pandas as pd
import pytest
from quorvel import ArcsinhTransformer, read_fcs

RNG = np.random.default_rng(5)
EVENTS = RNG.normal(100, 40, size=(50, 5)).astype(np.float32)
CHANNELS = ["FSC-A", "SSC-A", "FL1-A", "FL2-A", "FL3-A"]
# No marker for the scatter channels, CD3 twice: those keep their channels.
MARKERS = ["", "", "CD3", "CD4", "CD3"]


def write_fcs(path, events=EVENTS, channels=CHANNELS, markers=MARKERS, metadata=None):
    with open(path, "wb") as handle:
        flowio.create_fcs(handle, events.ravel(), channels, markers, metadata_dict=metadata)
    return path


@pytest.mark.parametrize(
    "selection, columns",
    [
        (None, ["FSC-A", "SSC-A", "FL1-A", "CD4", "FL3-A"]),
        (["CD4", "FSC-A", "FL3-A"], [3, 0, 4]),
        (["FL1-A", 1, -1], [2, 1, 4]),
    ],
)
def test_read_fcs_names_columns_by_marker_and_keeps_values(tmp_path, selection, columns):
    events = read_fcs(write_fcs(tmp_path / "cells.fcs"), channels=selection)
    assert isinstance(events, pd.DataFrame) and events.dtypes.eq(np.float64).all()
    if selection is None:
        assert events.columns.tolist() == columns
        columns = range(len(CHANNELS))
    # float32 values read back as float64: exactly the stored ones.
    np.testing.assert_array_equal(events.to_numpy(), EVENTS[:, list(columns)].astype(np.float64))


def test_read_fcs_undoes_the_gain(tmp_path):
    path = write_fcs(tmp_path / "gain.fcs", metadata={"$P2G": "4.0"})
    events = read_fcs(path, channels=["SSC-A", "FL1-A"])
    np.testing.assert_array_equal(events["SSC-A"], EVENTS[:, 1].astype(np.float64) / 4.0)
    np.testing.assert_array_equal(events["FL1-A"], EVENTS[:, 2])


@pytest.mark.parametrize(
    "content, selection, message",
    [
        (b"node,x,y\n1,2,3\n", None, "is not a readable FCS file"),
        ("truncated", None, "is not a readable FCS file"),
        ("valid", ["CD8"], r"no channel or marker named 'CD8'; it has FSC-A, SSC-A, FL1-A, CD4 \(FL2-A\)"),
        ("valid", ["CD3"], "several channels named 'CD3'"),
        ("valid", [5], "has 5 channels; there is no channel 5"),
    ],
)
def test_read_fcs_errors_name_the_file_and_what_is_wrong(tmp_path, content, selection, message):
    path = tmp_path / "cells.fcs"
    if content == "valid":
        write_fcs(path)
    elif content == "truncated":
        path.write_bytes(write_fcs(tmp_path / "whole.fcs").read_bytes()[:300])
    else:
        path.write_bytes(content)
    with pytest.raises(ValueError, match=message) as error:
        read_fcs(path, channels=selection)
    assert str(path) in str(error.value)


def test_arcsinh_transformer_keeps_names_and_inverts(tmp_path):
    events = read_fcs(write_fcs(tmp_path / "cells.fcs"), channels=["FL1-A", "CD4"])
    scale = ArcsinhTransformer(cofactor=[5.0, 150.0]).set_output(transform="pandas")
    scaled = scale.fit_transform(events)
    assert scaled.columns.tolist() == ["FL1-A", "CD4"]
    for column, cofactor in ((0, 5.0), (1, 150.0)):
        expected = [math.asinh(x / cofactor) for x in events.iloc[:, column]]
        np.testing.assert_allclose(scaled.iloc[:, column], expected, rtol=1e-15)
    np.testing.assert_allclose(scale.inverse_transform(scaled), events.to_numpy(), rtol=1e-12)


@pytest.mark.parametrize("cofactor", [0.0, -5.0, [1.0, 2.0, 3.0], [1.0, np.inf]])
def test_arcsinh_refuses_cofactors_that_are_not_positive_per_feature(cofactor):
    with pytest.raises(ValueError, match="cofactor"):
        ArcsinhTransformer(cofactor).fit(np.ones((3, 2)))
