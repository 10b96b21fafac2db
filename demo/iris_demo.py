"""Train a self-organizing map on the iris measurements with _quorvel_wrap.

Usage: python demo/iris_demo.py [--output FOLDER]

Scales the four measurements of the 150 flowers to [0, 1], trains a
hexagonal map, prints what the run did and how well the map fits, and writes
the codebook, the BMUs and the U-matrix as .npy files and the U-matrix as a
PNG picture (hexagonal cells drawn as hexagons) into the output folder.
"""

import argparse
import math
import os
import pathlib
import time

# The iris map trains in milliseconds, far less than the time for which idle
# OpenMP threads keep spinning after each parallel region; on a busy machine
# that spinning would dominate the run. Passive waiting gives the same
# results. It must be set before the OpenMP runtime starts, and a value the
# user set is kept.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed

import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from matplotlib.patches import RegularPolygon  # noqa: E402

import _quorvel_wrap  # noqa: E402

DATA_FILE = pathlib.Path(__file__).parent / "data" / "iris.csv"
COLUMNS, ROWS = 16, 12
EPOCHS = 60
SPECIES_COLOURS = {
    "setosa": "tab:blue",
    "versicolor": "tab:orange",
    "virginica": "tab:green",
}


def load_iris():
    measurements = np.loadtxt(
        DATA_FILE, delimiter=",", skiprows=1, usecols=(0, 1, 2, 3)
    )
    species = np.loadtxt(
        DATA_FILE, delimiter=",", skiprows=1, usecols=(4,), dtype=str
    )
    return measurements, species


def scale_to_unit_interval(values):
    low = values.min(axis=0)
    high = values.max(axis=0)
    return (values - low) / (high - low)


def hex_grid_distance(x1, y1, x2, y2):
    """Grid distance of two nodes of a planar hexagonal map, as the engine
    measures it: the column difference shifts by half a cell between rows."""
    dx, dy = abs(x1 - x2), abs(y1 - y2)
    if dy % 2 == 1:
        shift = -0.5 if min(y1, y2) % 2 == 1 else 0.5
        dx = int(dx + shift)
    return math.sqrt(dx * dx + dy * dy)


def map_quality(data, codebook, bmus):
    """Quantization error (mean distance of a vector to its BMU's vector) and
    topographic error (share of vectors whose two best nodes are not grid
    neighbours, neighbours being the nodes the U-matrix averages over)."""
    nodes = codebook.reshape(ROWS * COLUMNS, -1).astype(np.float64)
    distances = np.linalg.norm(
        data[:, None, :].astype(np.float64) - nodes[None, :, :], axis=2
    )
    bmu_index = bmus[:, 1] * COLUMNS + bmus[:, 0]
    quantization_error = distances[np.arange(len(data)), bmu_index].mean()
    best_two = np.argsort(distances, axis=1, kind="stable")[:, :2]
    apart = 0
    for first, second in best_two:
        y1, x1 = divmod(int(first), COLUMNS)
        y2, x2 = divmod(int(second), COLUMNS)
        if hex_grid_distance(x1, y1, x2, y2) > 1.5:
            apart += 1
    return quantization_error, apart / len(data)


def cell_centre(x, y):
    # Odd rows sit half a cell to the right; rows are sqrt(3)/2 apart so that
    # hexagons of unit width tile the plane. Row 0 is drawn at the top.
    return x + 0.5 * (y % 2), -y * math.sqrt(3) / 2


def draw_umatrix(umatrix, bmus, species, path):
    figure, axes = plt.subplots(figsize=(10, 7.5))
    colour_map = plt.get_cmap("viridis")
    norm = matplotlib.colors.Normalize(umatrix.min(), umatrix.max())
    for y in range(ROWS):
        for x in range(COLUMNS):
            axes.add_patch(
                RegularPolygon(
                    cell_centre(x, y),
                    numVertices=6,
                    radius=1 / math.sqrt(3),
                    facecolor=colour_map(norm(umatrix[y, x])),
                    edgecolor="white",
                    linewidth=0.5,
                )
            )
    # Each flower as a dot on its BMU, jittered so that flowers sharing a
    # node stay visible.
    jitter = np.random.default_rng(1).uniform(-0.2, 0.2, size=(len(bmus), 2))
    for name, colour in SPECIES_COLOURS.items():
        chosen = species == name
        centres = np.array([cell_centre(x, y) for x, y in bmus[chosen]])
        axes.scatter(
            centres[:, 0] + jitter[chosen, 0],
            centres[:, 1] + jitter[chosen, 1],
            s=14,
            color=colour,
            edgecolors="black",
            linewidths=0.4,
            label=name,
        )
    figure.colorbar(
        matplotlib.cm.ScalarMappable(norm=norm, cmap=colour_map),
        ax=axes,
        shrink=0.7,
        label="mean distance to neighbouring nodes",
    )
    axes.set_xlim(-1, COLUMNS + 0.5)
    axes.set_ylim(-(ROWS - 1) * math.sqrt(3) / 2 - 1, 1)
    axes.set_aspect("equal")
    axes.axis("off")
    axes.legend(
        loc="upper center",
        bbox_to_anchor=(0.5, 0.0),
        ncol=len(SPECIES_COLOURS),
        title="flowers on their best-matching nodes",
    )
    axes.set_title(
        f"U-matrix of a {COLUMNS} x {ROWS} hexagonal map trained on the iris "
        "data"
    )
    figure.savefig(path, dpi=120, bbox_inches="tight")
    plt.close(figure)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--output",
        default="out/demo",
        help="folder for the results (default: out/demo)",
    )
    output = pathlib.Path(parser.parse_args().output)
    output.mkdir(parents=True, exist_ok=True)

    measurements, species = load_iris()
    data = scale_to_unit_interval(measurements).astype(np.float32)
    vector_count, dimension = data.shape

    # A seeded random start keeps the demo's output the same on every run and
    # with any number of threads.
    codebook = np.random.default_rng(0).random(
        COLUMNS * ROWS * dimension, dtype=np.float32
    )
    bmus = np.zeros(2 * vector_count, dtype=np.int32)
    umatrix = np.zeros(COLUMNS * ROWS, dtype=np.float32)

    started = time.perf_counter()
    _quorvel_wrap.train(
        data.ravel(), EPOCHS, COLUMNS, ROWS, dimension, vector_count,
        0, 1, "linear",            # radius: half the smaller side down to 1
        0.1, 0.01, "exponential",  # learning scale
        0, "planar", "hexagonal",  # dense kernel, map and grid kinds
        False, True,               # no cut-off, gaussian neighbourhood
        codebook, bmus, umatrix,
    )  # fmt: skip
    elapsed = time.perf_counter() - started

    codebook = codebook.reshape(ROWS, COLUMNS, dimension)
    bmus = bmus.reshape(vector_count, 2)
    umatrix = umatrix.reshape(ROWS, COLUMNS)
    quantization_error, topographic_error = map_quality(data, codebook, bmus)

    np.save(output / "codebook.npy", codebook)
    np.save(output / "bmus.npy", bmus)
    np.save(output / "umatrix.npy", umatrix)
    draw_umatrix(umatrix, bmus, species, output / "umatrix.png")

    report = [
        ("data", f"{DATA_FILE.name}: {vector_count} flowers, {dimension} "
                 "measurements scaled to [0, 1]"),
        ("map", f"{COLUMNS} columns x {ROWS} rows, hexagonal grid, planar"),
        ("epochs", f"{EPOCHS}"),
        ("time taken", f"{elapsed * 1000:.1f} ms"),
        ("quantization error", f"{quantization_error:.4f}"),
        ("topographic error", f"{topographic_error:.4f}"),
        ("results", f"{output}/ (codebook.npy, bmus.npy, umatrix.npy, "
                    "umatrix.png)"),
    ]  # fmt: skip
    for label, value in report:
        print(f"{label + ':':<20}{value}")


if __name__ == "__main__":
    main()
