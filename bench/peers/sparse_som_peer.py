"""sparse-som's BSom: a batch map in C++ with OpenMP over CSR rows (dense
workloads go in as CSR too)."""

import math

import numpy as np

from . import Result, cannot_import, seconds

NAME = "sparse-som"


def unavailable():
    return cannot_import("sparse_som")


def _positions(columns, rows, hexagonal):
    """Its grid as its distance function defines it: node k at row
    k // columns, column k % columns; on HEXA odd columns shifted by half a
    cell along x and rows sqrt(3) / 2 apart."""
    y, x = np.divmod(np.arange(columns * rows), columns)
    if not hexagonal:
        return np.column_stack([x, y]).astype(np.float64)
    return np.column_stack([x + 0.5 * (x % 2), y * math.sqrt(3) / 2])


def run(case):
    from sparse_som import BSom, cooling, topology
    w = case.w
    hexagonal = w["grid_type"] != "rectangular"
    matrix = case.csr()
    results = []
    if case.want_timed:
        som = BSom(w["rows"], w["columns"], w["dimension"],
                   topol=topology.HEXA if hexagonal else topology.RECT,
                   verbose=0)

        def train(epochs):
            som.codebook = case.codebook.astype(np.float32)
            # std 1: gaussian exp(-d^2 / (2 r^2)), r linear to 1 as ours.
            som.train(matrix, epochs=epochs, r0=case.radius, rN=1.0,
                      std=1.0, cool=cooling.LINEAR)
        none = seconds(lambda: train(0))
        full = seconds(lambda: train(case.timed_epochs))
        results.append(Result(
            NAME, "timed", np.array(som.codebook).reshape(
                -1, w["dimension"]),
            _positions(w["columns"], w["rows"], hexagonal),
            s_per_epoch=(full - none) / case.timed_epochs,
            epochs=case.timed_epochs,
            note=f"float32 batch on CSR rows, {w['grid_type']} planar; "
                 "std 1"))
    if case.want_defaults:
        som = BSom(w["rows"], w["columns"], w["dimension"], verbose=0)
        som.train(matrix, epochs=case.default_epochs)
        results.append(Result(
            NAME, "defaults", np.array(som.codebook).reshape(
                -1, w["dimension"]),
            _positions(w["columns"], w["rows"], False),
            epochs=case.default_epochs,
            note="its defaults: rectangular, its radius to 0.5 linear, "
                 "std 0.3, random start"))
    return results
