"""The benchmark's workloads and their data, shared by run_bench.py and the
subprocesses it starts (memory figures, other thread counts).

Every array is made from a fixed seed, so each process that builds a
workload gets the same values.
"""

import numpy as np

# W1-W4: seeded uniform float32 data in [0, 1) (W3: sparse rows); radius
# linear from half the smaller map side to 1, learning scale linear from 0.1
# to 0.01, gaussian without cut-off. W5: clustered rows in the shape of a
# cytometry run (a million cells, 32 markers) on a 10 x 10 map. The kernel
# number is the module's: 0 dense, 2 sparse.
_FIELDS = ("vectors", "dimension", "columns", "rows", "epochs", "map_type",
           "grid_type", "kernel_type", "text")
WORKLOADS = {name: dict(zip(_FIELDS, values)) for name, *values in [
    ("W1", 20000, 64, 40, 30, 10, "planar", "rectangular", 0,
     "20,000 x 64 uniform, 40 x 30 planar rectangular map"),
    ("W2", 10000, 16, 100, 100, 5, "toroid", "hexagonal", 0,
     "10,000 x 16 uniform, 100 x 100 hexagonal toroid"),
    ("W3", 5000, 1000, 20, 20, 5, "planar", "rectangular", 2,
     "5,000 x 1,000 sparse (20 per row), 20 x 20 planar map"),
    ("W4", 0, 8, 300, 300, 0, "toroid", "hexagonal", 0,
     "U-matrix of a 300 x 300 hexagonal toroid"),
    ("W5", 1_000_000, 32, 10, 10, 10, "planar", "rectangular", 0,
     "1,000,000 x 32 clustered, 10 x 10 planar map"),
]}

# Clustered data: this many populations of unequal size, centres uniform in
# [0, 1) per feature, each population gaussian with its own spread per
# feature; rows made in blocks so that no float64 copy of the whole array
# ever exists (the memory figure's baseline is this array alone).
CLUSTERS = 24
BLOCK = 1 << 18


def clustered(vectors, dimension, seed=2024):
    """Seeded float32 rows from CLUSTERS gaussian populations."""
    rng = np.random.default_rng(seed)
    centres = rng.random((CLUSTERS, dimension), dtype=np.float32)
    spreads = (0.02 + 0.08 * rng.random((CLUSTERS, dimension))).astype(
        np.float32)
    shares = rng.dirichlet(np.full(CLUSTERS, 2.0))
    data = np.empty((vectors, dimension), dtype=np.float32)
    for start in range(0, vectors, BLOCK):
        stop = min(vectors, start + BLOCK)
        block = data[start:stop]
        labels = rng.choice(CLUSTERS, size=stop - start, p=shares)
        rng.standard_normal(out=block, dtype=np.float32)
        block *= spreads[labels]
        block += centres[labels]
    return data


def make_sparse(name="W3"):
    """W3's rows as a scipy CSR matrix of float32, made without a dense
    copy: exactly 20 stored values per row, in (0, 1]."""
    from scipy.sparse import csr_matrix
    w = WORKLOADS[name]
    rng = np.random.default_rng(12345)
    n, per_row = w["vectors"], 20
    indices = np.empty((n, per_row), dtype=np.int32)
    values = np.empty((n, per_row), dtype=np.float32)
    for i in range(n):
        columns = rng.choice(w["dimension"], size=per_row, replace=False)
        row = 1.0 - rng.random(per_row, dtype=np.float32)
        order = np.argsort(columns)
        indices[i], values[i] = columns[order], row[order]
    starts = np.arange(0, n * per_row + 1, per_row, dtype=np.int32)
    return csr_matrix((values.ravel(), indices.ravel(), starts),
                      shape=(n, w["dimension"]))


def make_data(name, w=None, vectors=None):
    """The workload's rows as a dense float32 array (W3's mostly zeros)."""
    w = WORKLOADS[name] if w is None else w
    vectors = w["vectors"] if vectors is None else vectors
    if name == "W5":
        return clustered(vectors, w["dimension"])
    if name == "W3":
        return make_sparse(name).toarray()
    rng = np.random.default_rng(12345)
    return rng.random((vectors, w["dimension"]), dtype=np.float32)


def make_codebook(w):
    """The shared starting codebook, (rows, columns, dimension), for the
    systems that accept one: uniform in [0, 1), where every workload's data
    lies too (W5's about)."""
    rng = np.random.default_rng(777)
    return rng.random((w["rows"], w["columns"], w["dimension"]),
                      dtype=np.float32)


def radius_start(w):
    return max(1, min(w["columns"], w["rows"]) // 2)
