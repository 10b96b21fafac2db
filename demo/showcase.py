"""The quorvel showcase: maps of real data and their pictures.

Usage: python demo/showcase.py [--output FOLDER] [--dpi DOTS] [--docs]

Trains a hexagonal map on the 150 iris flowers of demo/data/iris.csv (four
measurements in centimetres) and one on the 1,797 handwritten digits that
scikit-learn ships with itself (8 x 8 pixels, values 0 to 16), prints how
well each map fits its data, groups a map of the 19,225 cells of the flow
cytometry sample demo/data/ff.fcs into 10 metaclusters, and writes into the
output folder (out/demo by default):

    iris_umatrix.png     U-matrix of the iris map, each flower a marker of its
                         species on its best-matching node
    iris_planes.png      one component plane per measurement
    digits_umatrix.png   U-matrix of the digits map, each node labelled with
                         the digit most of its images show
    digits_hits.png      how many images land on each node of the digits map
    learning_curve.png   quantization error per epoch of both maps
    ff_tree.png          the node tree of a map of the cytometry sample
                         demo/data/ff.fcs, every node a star of its 7 markers
                         over the colour of its metacluster
    ff_metaclusters.png  the same map's grid, every node in its metacluster's
                         colour
    wine_classifier.png  a supervised map of scikit-learn's 178 wines: each
                         node coloured by the cultivar it predicts, each wine
                         a marker of its cultivar on its node
    iris.npz, digits.npz the maps, for `quorvel info`, `predict` and `plot`

The pictures in the README are made with
``python demo/showcase.py --docs --output docs/images``: 80 dots per inch,
reduced to 256 colours to keep the repository small, and no map files.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import time

# Idle OpenMP threads sleep instead of spinning between the short parallel
# regions of these small maps, which matters on a busy machine; the results
# are the same. Set before the engine loads its OpenMP runtime.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from sklearn.datasets import load_digits, load_wine  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402

from quorvel import SOM, Metaclusters, SOMClassifier, plot, read_fcs  # noqa: E402

IRIS_FILE = pathlib.Path(__file__).resolve().parent / "data" / "iris.csv"
FCS_FILE = pathlib.Path(__file__).resolve().parent / "data" / "ff.fcs"
# The markers of FlowSOM's own example on this file.
MARKERS = ["CD8", "TCRyd", "TCRb", "NK1/1", "CD4", "CD19", "CD3"]
IRIS_NAMES = [
    "sepal length (cm)",
    "sepal width (cm)",
    "petal length (cm)",
    "petal width (cm)",
]


def load_iris() -> tuple[np.ndarray, np.ndarray]:
    measurements = np.loadtxt(IRIS_FILE, delimiter=",", skiprows=1, usecols=range(4))
    species = np.loadtxt(IRIS_FILE, delimiter=",", skiprows=1, usecols=4, dtype=str)
    return measurements, species


def train(som: SOM, X: np.ndarray) -> tuple[SOM, float]:
    started = time.perf_counter()
    som.fit(X)
    return som, time.perf_counter() - started


def purity(som: SOM, y: np.ndarray) -> float:
    """Share of rows whose class is the one most rows of their node have."""
    nodes = som.labels_
    classes, codes = np.unique(y, return_inverse=True)
    votes = np.zeros((som.codebook_.shape[0] * som.codebook_.shape[1], len(classes)))
    np.add.at(votes, (nodes, codes), 1)
    return float((votes.argmax(axis=1)[nodes] == codes).mean())


def save(figure, path: pathlib.Path, dpi: int, palette: bool) -> None:
    figure.savefig(path, dpi=dpi)
    plt.close(figure)
    if palette:
        from PIL import Image  # installed with matplotlib

        with Image.open(path) as picture:
            reduced = picture.convert("RGB").quantize(
                colors=256, method=Image.Quantize.MEDIANCUT, dither=Image.Dither.NONE
            )
        reduced.save(path, optimize=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--output",
        default="out/demo",
        help="folder for the results (default: out/demo)",
    )
    parser.add_argument(
        "--dpi", type=int, default=100, help="resolution of the pictures (default: 100)"
    )
    parser.add_argument(
        "--docs",
        action="store_true",
        help="the README's pictures: 80 dpi, 256 colours, no map files",
    )
    arguments = parser.parse_args()
    if arguments.docs:
        arguments.dpi = 80
    output = pathlib.Path(arguments.output)
    output.mkdir(parents=True, exist_ok=True)

    measurements, species = load_iris()
    iris, iris_time = train(
        SOM(12, 9, epochs=40, grid="hexagonal", init="pca"), measurements
    )
    digits_data = load_digits()
    digits, digits_time = train(
        SOM(24, 18, epochs=30, grid="hexagonal", init="pca"),
        digits_data.data,
    )

    cells = plot.umatrix(iris, title="Iris: U-matrix, each flower on its node")
    plot.labels(iris, measurements, species, kind="markers", ax=cells.axes)
    save(cells.figure, output / "iris_umatrix.png", arguments.dpi, arguments.docs)

    planes = plot.component_planes(iris, feature_names=IRIS_NAMES)
    planes[0].figure.suptitle("Iris: component planes")
    save(planes[0].figure, output / "iris_planes.png", arguments.dpi, arguments.docs)

    cells = plot.umatrix(
        digits, title="Digits: U-matrix, each node's most frequent digit"
    )
    plot.labels(digits, digits_data.data, digits_data.target, ax=cells.axes)
    save(cells.figure, output / "digits_umatrix.png", arguments.dpi, arguments.docs)

    cells = plot.hits(digits, title="Digits: images per node")
    save(cells.figure, output / "digits_hits.png", arguments.dpi, arguments.docs)

    figure, axes = plt.subplots(1, 2, figsize=(10, 3.8), layout="constrained")
    plot.learning_curve(iris, ax=axes[0], sigma=True, title="Iris")
    plot.learning_curve(digits, ax=axes[1], sigma=True, title="Digits")
    figure.suptitle("Learning curves: quantization error (line), width (dashed)")
    save(figure, output / "learning_curve.png", arguments.dpi, arguments.docs)

    events = read_fcs(FCS_FILE, channels=MARKERS)
    meta, meta_time = train(Metaclusters(SOM(10, 10), 10, random_state=0), events)
    drawn = plot.tree(meta, title="ff.fcs: node tree, a star of the markers on each node")
    save(drawn.axes.figure, output / "ff_tree.png", arguments.dpi, arguments.docs)
    cells = plot.metacluster_map(meta, title="ff.fcs: the map's metaclusters")
    save(cells.figure, output / "ff_metaclusters.png", arguments.dpi, arguments.docs)
    wine = load_wine()
    wine_X = StandardScaler().fit_transform(wine.data)
    cultivar = np.array(["cultivar 1", "cultivar 2", "cultivar 3"])[wine.target]
    wines = SOMClassifier(random_state=0).fit(wine_X, cultivar)
    cells = plot.prediction_map(
        wines, title="Wines: each node's predicted cultivar, each wine on its node"
    )
    plot.labels(wines, wine_X, cultivar, kind="markers", ax=cells.axes)
    save(cells.figure, output / "wine_classifier.png", arguments.dpi, arguments.docs)

    if not arguments.docs:
        iris.save(output / "iris.npz")
        digits.save(output / "digits.npz")

    for name, som, seconds, X, y in (
        ("iris", iris, iris_time, measurements, species),
        ("digits", digits, digits_time, digits_data.data, digits_data.target),
    ):
        rows, columns, features = som.codebook_.shape
        print(f"{name}: {len(X)} rows of {features} features")
        print(
            f"  map                 {columns} x {rows} hexagonal, {som.n_iter_} epochs"
        )
        print(f"  training time       {seconds * 1000:.0f} ms")
        print(f"  quantization error  {som.quantization_error_:.4f}")
        print(f"  topographic error   {som.topographic_error_:.4f}")
        print(f"  node purity         {purity(som, y):.3f} (rows whose class is "
              "their node's majority class)")  # fmt: skip
    sizes = np.bincount(meta.labels_) / len(events)
    print(f"ff.fcs: {len(events)} cells of {len(MARKERS)} markers")
    print(f"  map + metaclusters  10 x 10 hexagonal, 10 metaclusters, "
          f"{meta_time * 1000:.0f} ms")  # fmt: skip
    print("  metacluster shares  " + " ".join(f"{share:.1%}" for share in sizes))
    print(
        f"written to {output}/: iris_umatrix.png, iris_planes.png, "
        "digits_umatrix.png, digits_hits.png, learning_curve.png, ff_tree.png, "
        "ff_metaclusters.png, wine_classifier.png"
        + ("" if arguments.docs else ", iris.npz, digits.npz")
    )


if __name__ == "__main__":
    main()
