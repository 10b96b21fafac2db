"""Tests of quorvel.plot: what each picture draws, checked against slow
float64 references computed here from the map's codebook."""

import math
import pathlib

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")

import matplotlib.pyplot as plt
from matplotlib.colors import Normalize, to_rgba
from matplotlib.testing.compare import compare_images
from quorvel import SOM, plot
from sklearn.datasets import load_digits
from sklearn.exceptions import NotFittedError

DATA = pathlib.Path(__file__).resolve().parent / "data"
IRIS = pathlib.Path(__file__).resolve().parents[2] / "demo" / "data" / "iris.csv"


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def reference_positions(columns, rows, grid):
    """(x, y) of node k = y * columns + x, as the package's geometry puts it."""
    positions = []
    for y in range(rows):
        for x in range(columns):
            if grid == "hexagonal":
                positions.append((x + 0.5 * (y % 2), y * math.sqrt(3) / 2))
            else:
                positions.append((float(x), float(y)))
    return np.array(positions)


def reference_umatrix(codebook, grid):
    """Mean distance of each node's vector to those of the nodes within grid
    distance 1.5 (a planar map), in float64."""
    rows, columns, features = codebook.shape
    positions = reference_positions(columns, rows, grid)
    vectors = codebook.reshape(-1, features).astype(np.float64)
    values = np.zeros(len(vectors))
    for node in range(len(vectors)):
        distances = [
            np.linalg.norm(vectors[node] - vectors[other])
            for other in range(len(vectors))
            if other != node
            and np.linalg.norm(positions[node] - positions[other]) <= 1.5
        ]
        values[node] = np.mean(distances) if distances else 0.0
    return values


def reference_bmus(som, X):
    """Nearest node of each row in float64."""
    vectors = som.codebook_.reshape(-1, som.codebook_.shape[2]).astype(np.float64)
    X = np.asarray(X, dtype=np.float64)
    return np.array([np.argmin(((vectors - row) ** 2).sum(axis=1)) for row in X])


def iris():
    measurements = np.loadtxt(IRIS, delimiter=",", skiprows=1, usecols=range(4))
    species = np.loadtxt(IRIS, delimiter=",", skiprows=1, usecols=4, dtype=str)
    return measurements, species


def fitted(columns=5, rows=4, grid="hexagonal", epochs=3, X=None):
    if X is None:
        X, _ = iris()
    return SOM(columns, rows, grid=grid, epochs=epochs, random_state=0).fit(X)


def cell_vertices(cells):
    """The corners of each cell, without the closing repeat of the first."""
    return [path.vertices[:-1] for path in cells.get_paths()]


def drawn_text_boxes(figure):
    """The extent on the canvas of every text the figure draws: titles, axis
    labels, offset texts, the tick labels within each axis' view, texts."""
    figure.canvas.draw()
    renderer = figure.canvas.get_renderer()
    texts = []
    for ax in figure.axes:
        texts += [ax.title, *ax.texts]
        for axis in (ax.xaxis, ax.yaxis) if ax.axison else ():
            low, high = sorted(axis.get_view_interval())
            texts += [axis.label, axis.get_offset_text()]
            texts += [
                label
                for location, label in zip(axis.get_majorticklocs(), axis.get_majorticklabels())
                if low <= location <= high
            ]
    return [
        (text.get_text(), text.get_window_extent(renderer))
        for text in texts
        if text.get_visible() and text.get_text()
    ]


def overlapping(boxes):
    """The pairs of (text, extent) whose extents overlap."""
    return [
        (first[0], second[0])
        for index, first in enumerate(boxes)
        for second in boxes[index + 1:]
        if first[1].overlaps(second[1])
    ]


GRIDS = [
    ("hexagonal", 5, 4),
    ("hexagonal", 1, 1),
    ("hexagonal", 3, 6),
    ("rectangular", 5, 4),
    ("rectangular", 2, 3),
]


@pytest.mark.parametrize(("grid", "columns", "rows"), GRIDS)
def test_cells_sit_on_node_positions_for_each_grid(grid, columns, rows):
    som = fitted(columns, rows, grid, epochs=1)
    cells = plot.umatrix(som)
    corners = cell_vertices(cells)
    assert len(corners) == columns * rows
    assert all(len(c) == (6 if grid == "hexagonal" else 4) for c in corners)
    centres = np.array([c.mean(axis=0) for c in corners])
    np.testing.assert_allclose(
        centres, reference_positions(columns, rows, grid), atol=1e-12
    )
    # Cells one unit wide: hexagons across their flat sides, squares.
    widths = np.array([np.ptp(c[:, 0]) for c in corners])
    heights = np.array([np.ptp(c[:, 1]) for c in corners])
    np.testing.assert_allclose(widths, 1.0, atol=1e-12)
    expected_height = 2 / math.sqrt(3) if grid == "hexagonal" else 1.0
    np.testing.assert_allclose(heights, expected_height, atol=1e-12)
    # Row 0 is drawn at the top.
    assert cells.axes.yaxis_inverted()


@pytest.mark.parametrize(("grid", "columns", "rows"), [g for g in GRIDS if g[1] > 1])
def test_cells_touch_their_grid_neighbours_for_each_grid(grid, columns, rows):
    """Neighbours one unit apart share a whole side (two corners); nodes
    further apart share no corner, so the cells tile without overlap."""
    som = fitted(columns, rows, grid, epochs=1)
    corners = cell_vertices(plot.umatrix(som))
    positions = reference_positions(columns, rows, grid)
    for first in range(len(corners)):
        for second in range(first + 1, len(corners)):
            distance = np.linalg.norm(positions[first] - positions[second])
            shared = sum(
                np.any(np.linalg.norm(corners[second] - corner, axis=1) < 1e-9)
                for corner in corners[first]
            )
            if abs(distance - 1.0) < 1e-9:
                assert shared == 2, (first, second)
            elif distance > 1.5:
                assert shared == 0, (first, second)


@pytest.mark.parametrize("grid", ["hexagonal", "rectangular"])
def test_umatrix_colours_follow_values_for_each_grid(grid):
    som = fitted(6, 5, grid)
    cells = plot.umatrix(som)
    values = reference_umatrix(som.codebook_, grid)
    np.testing.assert_allclose(cells.get_array(), values, rtol=1e-5, atol=1e-6)
    cells.update_scalarmappable()
    expected = matplotlib.colormaps["viridis"](
        Normalize(values.min(), values.max())(values)
    )
    np.testing.assert_allclose(cells.get_facecolor(), expected, atol=2 / 255)
    assert cells.colorbar.ax.get_ylabel() == "mean distance to neighbouring nodes"
    assert cells.axes.get_title() == "U-matrix"


def test_umatrix_draws_into_given_axes_when_passed():
    som = fitted()
    figure, ax = plt.subplots()
    cells = plot.umatrix(som, ax=ax, cmap="magma", colorbar=False, title="mine")
    assert cells.axes is ax and cells in ax.collections
    assert cells.colorbar is None
    assert ax.get_title() == "mine"
    assert cells.get_cmap().name == "magma"
    assert len(figure.axes) == 1


@pytest.mark.parametrize(
    ("features", "expected"),
    [
        (None, [0, 1, 2, 3]),
        ([2, 0], [2, 0]),
        (["petal width", "sepal width"], [3, 1]),
        ("petal length", [2]),
    ],
)
def test_component_planes_draw_one_named_map_per_feature_when_chosen(
    features, expected
):
    som = fitted()
    names = ["sepal length", "sepal width", "petal length", "petal width"]
    planes = plot.component_planes(som, features, feature_names=names)
    assert len(planes) == len(expected)
    for cells, feature in zip(planes, expected):
        assert len(cells.get_paths()) == 20
        np.testing.assert_array_equal(
            cells.get_array(),
            som.codebook_[:, :, feature].astype(np.float64).ravel(),
        )
        assert cells.axes.get_title() == names[feature]
        assert cells.colorbar.ax.get_xlabel() == "node value"
    figure = planes[0].figure
    assert all(cells.figure is figure for cells in planes)
    # A plane and its colour bar per feature: panels left over in the last
    # row of the grid are removed.
    assert len(figure.axes) == 2 * len(expected)


@pytest.mark.parametrize("source", ["dataframe", "default"])
def test_component_planes_take_names_from_the_map_when_not_given(source):
    X, _ = iris()
    if source == "dataframe":
        pandas = pytest.importorskip("pandas")
        X = pandas.DataFrame(X, columns=["sl", "sw", "pl", "pw"])
        expected = ["sl", "sw", "pl", "pw"]
    else:
        expected = [f"feature {index}" for index in range(4)]
    planes = plot.component_planes(fitted(X=X), ncols=4)
    assert [cells.axes.get_title() for cells in planes] == expected
    assert [cells.colorbar.ax.get_xlabel() for cells in planes] == ["node value"] * 4


def test_component_planes_fill_given_figure_when_passed():
    figure = plt.figure()
    planes = plot.component_planes(fitted(), figure=figure, ncols=1)
    assert all(cells.figure is figure for cells in planes)
    positions = [cells.axes.get_position() for cells in planes]
    assert len({round(p.x0, 6) for p in positions}) == 1  # one column of panels


@pytest.mark.parametrize("figsize", [None, (12, 9)], ids=["own figure", "given figure"])
def test_component_planes_of_many_features_keep_every_text_apart(figsize):
    digits = load_digits()
    som = SOM(6, 5, epochs=1, random_state=0).fit(digits.data)
    figure = None if figsize is None else plt.figure(figsize=figsize)
    planes = plot.component_planes(som, feature_names=digits.feature_names, figure=figure)
    assert len(planes) == 64
    boxes = drawn_text_boxes(planes[0].figure)
    # Every title and every colour bar's tick labels and label.
    assert len(boxes) > 64 * 4
    assert overlapping(boxes) == []


@pytest.mark.parametrize(
    ("features", "message"),
    [
        (["nothing"], "no feature named 'nothing'"),
        ([4], "index 4 is out of range"),
        ([], "no feature chosen"),
    ],
)
def test_component_planes_refuse_unknown_feature_when_asked(features, message):
    with pytest.raises(ValueError, match=message):
        plot.component_planes(fitted(), features)


def test_component_planes_refuse_names_of_wrong_count():
    with pytest.raises(ValueError, match="3 names but the map has 4 features"):
        plot.component_planes(fitted(), feature_names=["a", "b", "c"])


@pytest.mark.parametrize("rows_given", [True, False])
def test_hits_count_rows_per_node_for_given_or_training_rows(rows_given):
    X, _ = iris()
    som = fitted(X=X)
    shown = X[::3] if rows_given else None
    cells = plot.hits(som, shown, annotate=True)
    counted = X[::3] if rows_given else X
    expected = np.bincount(reference_bmus(som, counted), minlength=20)
    np.testing.assert_array_equal(cells.get_array(), expected)
    assert cells.get_array().sum() == len(counted)
    assert cells.colorbar.ax.get_ylabel() == "rows per node"
    assert cells.axes.get_title() == "Hits"
    texts = cells.axes.texts
    positions = reference_positions(5, 4, "hexagonal")
    assert [t.get_text() for t in texts] == [str(c) for c in expected if c]
    np.testing.assert_allclose(
        [t.get_position() for t in texts], positions[expected > 0], atol=1e-12
    )
    cells.update_scalarmappable()
    expected_colours = matplotlib.colormaps["Blues"](
        Normalize(expected.min(), expected.max())(expected)
    )
    np.testing.assert_allclose(cells.get_facecolor(), expected_colours, atol=2 / 255)


def test_hits_and_labels_leave_out_rows_without_a_node():
    X, species = iris()
    X = X.copy()
    X[:5] = np.nan
    som = SOM(5, 4, epochs=2, missing="ignore", random_state=0).fit(X)
    assert (som.labels_[:5] == -1).all() and (som.labels_[5:] >= 0).all()
    np.testing.assert_array_equal(
        plot.hits(som).get_array(), np.bincount(som.labels_[5:], minlength=20)
    )
    markers = plot.labels(som, X, species, kind="markers")
    assert sum(len(points.get_offsets()) for points in markers.values()) == len(X) - 5


def reference_majority(bmus, y, node_count):
    """The class most rows of each node have, ties to the first in sorted
    order; None for a node without rows."""
    winners = []
    for node in range(node_count):
        present = sorted(y[bmus == node].tolist())
        if not present:
            winners.append(None)
            continue
        best = max(present.count(label) for label in present)
        winners.append(next(label for label in present if present.count(label) == best))
    return winners


@pytest.mark.parametrize("on_umatrix", [True, False])
def test_labels_write_majority_class_on_each_node_with_rows(on_umatrix):
    X, species = iris()
    som = fitted(X=X)
    ax = plot.umatrix(som).axes if on_umatrix else None
    texts = plot.labels(som, X, species, ax=ax)
    winners = reference_majority(reference_bmus(som, X), species, 20)
    positions = reference_positions(5, 4, "hexagonal")
    assert [t.get_text() for t in texts] == [w for w in winners if w is not None]
    occupied = [node for node, w in enumerate(winners) if w is not None]
    np.testing.assert_allclose(
        [t.get_position() for t in texts], positions[occupied], atol=1e-12
    )
    colours = {
        "setosa": "tab:blue",
        "versicolor": "tab:orange",
        "virginica": "tab:green",
    }
    for text in texts:
        assert to_rgba(text.get_color()) == to_rgba(colours[text.get_text()])
    # Over a U-matrix the cells stay as they were; alone, outlines are drawn.
    axes = texts[0].axes
    assert len(axes.collections) == 1
    if not on_umatrix:
        assert axes.collections[0].get_array() is None
        assert len(axes.collections[0].get_paths()) == 20


def test_labels_break_ties_to_first_class_in_sorted_order():
    X = np.array([[0.0, 0.0], [0.0, 0.0], [0.0, 0.0], [0.0, 0.0], [9.0, 9.0]])
    init = np.array([[[0.0, 0.0], [9.0, 9.0]]])
    som = SOM(2, 1, epochs=0, init=init).fit(X)
    texts = plot.labels(som, X, np.array([3, 1, 3, 1, 7]))
    assert [t.get_text() for t in texts] == ["1", "7"]


def shown_classes(ax):
    """What each majority label stands for: the legend's "short: name" entries,
    or the text itself when the map has no legend."""
    legend = ax.get_legend()
    if legend is None:
        return None
    return dict(entry.get_text().split(": ", 1) for entry in legend.get_texts())


@pytest.mark.parametrize(
    ("figsize", "shortened"), [(None, True), ((24, 16), False)], ids=["small", "large"]
)
def test_labels_majority_fit_their_cells_apart_from_each_other(figsize, shortened):
    X, species = iris()
    X = (X - X.mean(axis=0)) / X.std(axis=0)
    som = fitted(12, 9, epochs=10, X=X)
    ax = None if figsize is None else plt.subplots(figsize=figsize, layout="constrained")[1]
    cells = plot.umatrix(som, ax=ax)
    texts = plot.labels(som, X, species, ax=cells.axes)
    cells.figure.canvas.draw()
    renderer = cells.figure.canvas.get_renderer()
    boxes = [(text.get_text(), text.get_window_extent(renderer)) for text in texts]
    assert overlapping(boxes) == []
    meaning = shown_classes(cells.axes)
    assert (meaning is not None) == shortened
    shown = [text.get_text() for text in texts]
    winners = reference_majority(reference_bmus(som, X), species, 9 * 12)
    expected = [w for w in winners if w is not None]
    assert [meaning[s] if shortened else s for s in shown] == expected
    if shortened:
        assert all(name.startswith(short) for short, name in meaning.items())


def test_labels_mark_each_row_near_its_best_matching_node():
    X, species = iris()
    som = fitted(X=X)
    markers = plot.labels(som, X, species, kind="markers")
    assert list(markers) == ["setosa", "versicolor", "virginica"]
    bmus = reference_bmus(som, X)
    positions = reference_positions(5, 4, "hexagonal")
    seen = np.zeros(20, dtype=int)
    for name, points in markers.items():
        chosen = species == name
        spots = points.get_offsets()
        assert len(spots) == chosen.sum()
        offsets = np.linalg.norm(spots - positions[bmus[chosen]], axis=1)
        assert offsets.max() <= 0.35 + 1e-12
        seen += np.bincount(bmus[chosen], minlength=20)
    # Rows sharing a node are spread: no two markers on one spot.
    every = np.vstack([points.get_offsets() for points in markers.values()])
    assert len(np.unique(np.round(every, 9), axis=0)) == len(every)
    np.testing.assert_array_equal(seen, np.bincount(bmus, minlength=20))
    ax = next(iter(markers.values())).axes
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == ["setosa", "versicolor", "virginica"]
    shapes = {points.get_paths()[0].vertices.shape for points in markers.values()}
    assert len(shapes) == 3  # a marker shape per class


@pytest.mark.parametrize(
    ("kwargs", "message"),
    [
        ({"kind": "dots"}, "kind must be 'majority' or 'markers'"),
        ({"y": ["a"] * 3}, "y must hold one class per row"),
        ({"colors": ["red"]}, "colors has 1 colours for 3 classes"),
    ],
)
def test_labels_refuse_bad_arguments(kwargs, message):
    X, species = iris()
    arguments = {"y": species, **kwargs}
    with pytest.raises(ValueError, match=message):
        plot.labels(fitted(X=X), X, **arguments)


@pytest.mark.parametrize("sigma", [False, True])
def test_learning_curve_draws_error_per_epoch_with_or_without_width(sigma):
    som = fitted(epochs=6)
    lines = plot.learning_curve(som, sigma=sigma, label="iris")
    assert len(lines) == (2 if sigma else 1)
    np.testing.assert_array_equal(lines[0].get_xdata(), np.arange(1, 7))
    np.testing.assert_array_equal(
        lines[0].get_ydata(), som.history_["quantization_error"]
    )
    ax = lines[0].axes
    assert ax.get_xlabel() == "epoch"
    assert ax.get_ylabel() == "quantization error"
    assert ax.get_title() == "Learning curve"
    assert lines[0].get_label() == "iris"
    if sigma:
        np.testing.assert_array_equal(lines[1].get_ydata(), som.history_["sigma"])
        assert lines[1].axes.get_ylabel() == "neighbourhood width"
        assert lines[1].axes is not ax


def test_learning_curve_says_nothing_to_draw_when_no_epochs():
    figure, ax = plt.subplots()
    assert plot.learning_curve(fitted(epochs=0), ax=ax, sigma=True) == []
    assert len(ax.lines) == 0 and len(figure.axes) == 1
    assert [text.get_text() for text in ax.texts] == [
        "no epochs trained:\nno error per epoch to draw"
    ]
    assert len(ax.get_xticks()) == len(ax.get_yticks()) == 0


@pytest.mark.parametrize(
    "draw",
    [
        plot.umatrix,
        plot.component_planes,
        plot.hits,
        plot.learning_curve,
        lambda som: plot.labels(som, [[0.0]], [0]),
    ],
    ids=["umatrix", "component_planes", "hits", "learning_curve", "labels"],
)
def test_pictures_refuse_map_when_unfitted(draw):
    with pytest.raises(NotFittedError):
        draw(SOM(3, 2))


def draw_reference(path):
    """The picture of the reference test: a 5 x 4 hexagonal U-matrix of a
    fixed codebook, with each row's class as a marker, and no text."""
    rng = np.random.default_rng(7)
    X = rng.random((40, 3))
    init = rng.random((4, 5, 3))
    som = SOM(5, 4, epochs=0, init=init).fit(X)
    figure, ax = plt.subplots(figsize=(2.0, 1.6), dpi=100)
    figure.subplots_adjust(0, 0, 1, 1)
    cells = plot.umatrix(som, ax=ax, colorbar=False, title=None)
    plot.labels(som, X, np.arange(40) % 3, kind="markers", ax=cells.axes, legend=False)
    figure.savefig(path, dpi=100)


def test_picture_matches_reference_png(tmp_path):
    actual = tmp_path / "umatrix.png"
    draw_reference(actual)
    difference = compare_images(
        str(DATA / "umatrix_reference.png"), str(actual), tol=3.0
    )
    assert difference is None, difference
