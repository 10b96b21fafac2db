"""The pictures of populations: the node tree against Prim's minimal spanning
tree computed here, its glyphs against the rows of each node, the map's
metacluster colours and the medians' heat map."""

import math

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
pytest.importorskip("networkx")
matplotlib.use("Agg")

import matplotlib.pyplot as plt
from matplotlib.colors import to_rgba
from quorvel import SOM, Metaclusters, plot

RNG = np.random.default_rng(8)
VECTORS = RNG.normal(size=(12, 3))
# Rows near nodes 0 to 9; nodes 10 and 11 win none.
ROWS = np.repeat(VECTORS[:10], np.arange(1, 11), axis=0) + RNG.normal(0, 1e-3, size=(55, 3))


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


@pytest.fixture(scope="module")
def meta():
    som = SOM(4, 3, epochs=0, init=VECTORS).fit(ROWS)
    return Metaclusters(som, 3, resamples=5, random_state=0).fit(ROWS)


def prim(vectors):
    """Edges of the minimal spanning tree, grown from node 0 by the shortest
    edge out of the tree."""
    n = len(vectors)
    inside, edges = {0}, set()
    while len(inside) < n:
        length, a, b = min(
            (math.dist(vectors[a], vectors[b]), a, b)
            for a in inside
            for b in range(n)
            if b not in inside
        )
        inside.add(b)
        edges.add((min(a, b), max(a, b)))
    return edges


@pytest.mark.parametrize("kind", ["stars", "pies"])
def test_tree_is_the_minimal_spanning_tree_with_a_glyph_per_node(meta, kind):
    classes = np.arange(len(ROWS)) % 3
    drawn = plot.tree(meta, kind=kind, y=classes if kind == "pies" else None)
    vectors = VECTORS.astype(np.float32).astype(np.float64)
    assert set(map(tuple, drawn.edges.tolist())) == prim(vectors)
    np.testing.assert_array_equal(drawn.lines.get_segments(), drawn.positions[drawn.edges])
    counts = np.bincount(meta.som_.labels_, minlength=12)
    patches = drawn.glyphs.get_paths()
    if kind == "stars":
        # A circle and three wedges per node with rows, a circle for the others.
        assert len(patches) == 10 * 4 + 2
    else:
        nodes = meta.som_.labels_
        wedges = sum(len(np.unique(classes[nodes == node])) for node in range(10))
        assert len(patches) == wedges + 2
    backgrounds = drawn.backgrounds.get_facecolors()
    palette = [to_rgba(c, 0.4) for c in matplotlib.colormaps["tab10"].colors[:3]]
    np.testing.assert_allclose(backgrounds, [palette[g] for g in meta.node_labels_])
    # Radii grow with the square root of the count, from 0.3 of the largest.
    sizes = [np.ptp(p.vertices[:, 0]) / 2 for p in patches if _is_circle(p)]
    expected = np.maximum(0.3, np.sqrt(counts / counts.max()))
    expected[counts == 0] = 0.2
    if kind == "stars":
        np.testing.assert_allclose(np.array(sizes) / max(sizes), expected, rtol=1e-3)


def _is_circle(path):
    return len(path.vertices) > 20 and np.allclose(path.vertices[0], path.vertices[-1])


def test_metacluster_map_and_medians(meta):
    cells = plot.metacluster_map(meta)
    palette = matplotlib.colormaps["tab10"].colors
    np.testing.assert_allclose(
        cells.get_facecolors(), [to_rgba(palette[g]) for g in meta.node_labels_]
    )
    X = ROWS[meta.labels_ != 2]  # no row of metacluster 2: no median
    image = plot.metacluster_medians(meta, X)
    labels = meta.predict(X)
    for group in range(2):
        expected = [np.median(X[labels == group, j]) for j in range(3)]
        np.testing.assert_array_equal(image.get_array()[group], expected)
    assert np.ma.getmaskarray(image.get_array())[2].all()
