"""The width schedule: the default one against its definition in words, and
explicit schedules, which keep the widths and the bits they always had; the
check of a trained map that names the parameter to change."""

import warnings

import numpy as np
import pytest
from quorvel import SOM, MapQualityWarning
from quorvel._params import map_layout
from quorvel._quality import check_map

import som_reference as ref


def data(n_rows=40, seed=0):
    return ref.clustered_data(n_rows, 3, n_clusters=6, seed=seed)


def default_start(columns, rows):
    """A quarter of the shorter side (the longer one for a map one node
    wide), at least 1."""
    side = min(columns, rows) if min(columns, rows) > 1 else max(columns, rows)
    return max(1.0, side / 4)


# ----------------------------------------------------------------------
# The default schedule: exponential from a quarter of the shorter side to
# 0.1 (or to the first width where that is smaller) over 20 epochs.


@pytest.mark.parametrize("columns, rows", [(12, 10), (10, 10), (40, 25), (1, 7), (3, 2), (1, 1)])
@pytest.mark.parametrize("params", [{}, {"epochs": 5}, {"epochs": 1}, {"sigma_start": 3.0},
                                    {"sigma_start": 0.05, "epochs": 4}])  # fmt: skip
def test_default_schedule_follows_its_definition(columns, rows, params):
    X = data()
    fitted = SOM(columns, rows, n_jobs=1, **params).fit(X)
    start = params.get("sigma_start", default_start(columns, rows))
    epochs = params.get("epochs", 20)
    expected = ref.sigmas(start, min(0.1, start), epochs, "exponential")
    np.testing.assert_allclose(fitted.history_["sigma"], expected, rtol=1e-14)
    assert fitted.n_iter_ == epochs


# ----------------------------------------------------------------------
# Explicit schedules: a given sigma_end keeps the linear cooling it always
# had unless another is named, and the codebook is the one that the epochs
# of those widths make, one fit of one epoch at a time.


@pytest.mark.parametrize("cooling", [None, "linear", "exponential"])
@pytest.mark.parametrize("start, end, epochs", [(3.0, 0.5, 6), (0.8, 2.5, 3), (2.0, 1.0, 1)])
@pytest.mark.parametrize("grid, kind", [("hexagonal", "gaussian"), ("rectangular", "bubble")])
def test_explicit_schedule_keeps_its_widths_and_bits(start, end, epochs, cooling, grid, kind):
    X = data(60, seed=1)
    columns, rows = 5, 4
    init = ref.random_init(columns * rows, X, seed=2)
    common = dict(grid=grid, neighbourhood=kind, n_jobs=1)
    given = {} if cooling is None else {"cooling": cooling}
    fitted = SOM(columns, rows, epochs=epochs, sigma_start=start, sigma_end=end, init=init,
                 **common, **given).fit(X)  # fmt: skip
    widths = ref.sigmas(start, end, epochs, cooling or "linear")
    np.testing.assert_array_equal(fitted.history_["sigma"], widths)
    codebook = init
    for width in widths:
        codebook = SOM(columns, rows, epochs=1, sigma_start=width, init=codebook,
                       **common).fit(X).codebook_  # fmt: skip
    assert codebook.view(np.uint32).tobytes() == fitted.codebook_.view(np.uint32).tobytes()


# ----------------------------------------------------------------------
# check_map


SCHEDULE = ref.sigmas(2.5, 0.1, 20, "exponential")


def counts(n_nodes, empty, rows_each=100):
    out = np.full(n_nodes, rows_each)
    out[:empty] = 0
    return out


@pytest.mark.parametrize(
    "hits, sigmas, size, expected",
    [
        (counts(120, 54), SCHEDULE, (12, 10), []),
        (counts(120, 80), SCHEDULE, (12, 10), []),  # two thirds exactly: not most
        (counts(120, 94), ref.sigmas(2.5, 1.0, 10, "linear"), (12, 10), [["94 of", "sigma_end"]]),
        (counts(120, 90, rows_each=1), SCHEDULE, (12, 10), [["30 rows", "columns or rows"]]),
        (counts(120, 85), SCHEDULE, (12, 10), [["85 of", "columns or rows"]]),
        (counts(20, 2), [6.0, 1.0], (5, 4), [["6", "sigma_start"]]),
        (counts(20, 19), [7.0, 1.5], (5, 4), [["sigma_end"], ["sigma_start"]]),
        (counts(20, 0), [5.0, 0.1], (5, 4), []),  # as wide as the map: not wider
        (counts(1, 1), [3.0], (1, 1), []),
        (counts(20, 20), [], (5, 4), []),  # no epochs: the starting codebook
    ],
)
def test_check_map_names_the_parameter_to_change(hits, sigmas, size, expected):
    layout = map_layout(*size, "hexagonal", "planar")
    messages = check_map(hits, np.asarray(sigmas, dtype=np.float64), layout)
    assert len(messages) == len(expected), messages
    for message, words in zip(messages, expected):
        assert all(word in message for word in words), message


@pytest.mark.parametrize(
    "params, n_rows, message",
    [
        ({}, 40, "more nodes than the 40 rows"),
        ({"sigma_start": 30.0}, 400, "lower sigma_start"),
        ({}, 400, None),
    ],
    ids=["few-rows", "wide", "good"],
)
def test_fit_warns_of_a_map_gone_wrong(params, n_rows, message):
    X = np.random.default_rng(0).normal(size=(n_rows, 3))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        som = SOM(12, 10, **params).fit(X)
    found = [str(w.message) for w in caught if issubclass(w.category, MapQualityWarning)]
    if message is None:
        assert not found
    else:
        assert any(message in text for text in found), found
        assert all(w.filename == __file__ for w in caught)  # points at the caller
    assert som.n_iter_ == som.epochs
