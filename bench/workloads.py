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
# number is the module's: 0 dense, 2 sparse. W6: wide TF-IDF-like rows,
# too wide to densify, so they exist only as CSR (csr_only): our fit and
# the sparse peers train on them, the module does not.
_FIELDS = ("vectors", "dimension", "columns", "rows", "epochs", "map_type",
           "grid_type", "kernel_type")
_TEXTS = {
    "W1": "20,000 x 64 uniform, 40 x 30 planar rectangular map",
    "W2": "10,000 x 16 uniform, 100 x 100 hexagonal toroid",
    "W3": "5,000 x 1,000 sparse (20 per row), 20 x 20 planar map",
    "W4": "U-matrix of a 300 x 300 hexagonal toroid",
    "W5": "1,000,000 x 32 clustered, 10 x 10 planar map",
    "W6": "20,000 x 50,000 TF-IDF-like sparse (50 per row), 20 x 20 planar map",
}
WORKLOADS = {name: dict(zip(_FIELDS, values), text=_TEXTS[name]) for name, *values in [
    ("W1", 20000, 64, 40, 30, 10, "planar", "rectangular", 0),
    ("W2", 10000, 16, 100, 100, 5, "toroid", "hexagonal", 0),
    ("W3", 5000, 1000, 20, 20, 5, "planar", "rectangular", 2),
    ("W4", 0, 8, 300, 300, 0, "toroid", "hexagonal", 0),
    ("W5", 1_000_000, 32, 10, 10, 10, "planar", "rectangular", 0),
    ("W6", 20000, 50000, 20, 20, 2, "planar", "rectangular", 2),
]}
WORKLOADS["W6"].update(per_row=50, csr_only=True)
SPARSE_WORKLOADS = ("W3", "W6")

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
    copy: exactly 20 stored values per row, in (0, 1]; W6's from
    tfidf_like."""
    from scipy.sparse import csr_matrix
    w = WORKLOADS[name]
    if w.get("csr_only"):
        return tfidf_like(name)
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


def tfidf_like(name="W6"):
    """Seeded CSR rows of float32 shaped like TF-IDF: per_row distinct
    terms per row drawn from Zipf-like frequencies, each weighted by a term
    count times its inverse document frequency, rows scaled to unit length;
    made row block by row block without a dense copy."""
    from scipy.sparse import csr_matrix
    w = WORKLOADS[name]
    rng = np.random.default_rng(4242)
    n, d, per_row = w["vectors"], w["dimension"], w["per_row"]
    frequency = 1.0 / np.arange(1, d + 1) ** 0.8
    frequency /= frequency.sum()
    idf = np.log(1.0 / frequency).astype(np.float32)
    cumulative = np.cumsum(frequency)
    indices = np.empty((n, per_row), dtype=np.int32)
    for i in range(n):
        # The first per_row distinct terms of a stream of draws.
        terms = np.empty(0, dtype=np.int64)
        while terms.size < per_row:
            draws = np.searchsorted(cumulative, rng.random(3 * per_row))
            terms = np.concatenate([terms, np.minimum(draws, d - 1)])
            _, first = np.unique(terms, return_index=True)
            terms = terms[np.sort(first)]
        indices[i] = np.sort(terms[:per_row])
    counts = rng.geometric(0.6, size=(n, per_row)).astype(np.float32)
    values = counts * idf[indices]
    values /= np.sqrt(np.sum(np.square(values), axis=1, keepdims=True))
    starts = np.arange(0, n * per_row + 1, per_row, dtype=np.int64)
    return csr_matrix((values.ravel(), indices.ravel(), starts), shape=(n, d))


def make_data(name, w=None, vectors=None):
    """The workload's rows as a dense float32 array (W3's mostly zeros), or
    as CSR for a csr_only workload."""
    w = WORKLOADS[name] if w is None else w
    vectors = w["vectors"] if vectors is None else vectors
    if name == "W5":
        return clustered(vectors, w["dimension"])
    if w.get("csr_only"):
        return make_sparse(name)
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
