"""The cytometry workflow beside FlowSOM's Python package (flowsom).

Map and metaclusters on demo/data/ff.fcs (19,225 cells; CD8, TCRyd, TCRb,
NK1/1, CD4, CD19 and CD3, the channels of FlowSOM's own example), on the same
cells repeated 52 times with a little noise (999,700 cells) and, with
--large, 520 times (9,997,000 cells): a 10 x 10 map and 10 metaclusters on
both sides, each at its defaults otherwise, but for flowsom's one pass over
the largest set (its time at its defaults estimated from it). Prints seconds for each (ours:
Metaclusters(SOM(10, 10)).fit; flowsom: FlowSOM(...), which also builds its
tree and medians), where our time goes, and the adjusted Rand index (ARI)
between our metaclusters and flowsom's; between two flowsom runs of other
seeds for scale; of our consensus clustering on flowsom's own map against
flowsom's metaclusters (the grouping step alone); and, with --gating, of
each against a manual gating of ff.fcs's cells (a text file of one quoted
label per cell, in file order). --quick runs ff.fcs alone.
Saves the figures as JSON under bench/results/.

Run through `make bench` or alone, in bench/.venv (flowsom, flowio and our
package installed):

    python bench/cytometry.py [--large | --quick] [--gating FILE]

Everything here runs on 2 threads, as the rest of the bench does.
"""

import argparse
import datetime
import json
import os
import pathlib
import sys
import time
import warnings

THREADS = "2"
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                 "NUMBA_NUM_THREADS"):
    os.environ.setdefault(variable, THREADS)

import numpy as np  # noqa: E402  (after the thread counts are set)
from sklearn.metrics import adjusted_rand_score  # noqa: E402

from quorvel import SOM, Metaclusters, read_fcs  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "bench"))

from peers import quiet  # noqa: E402

FCS = ROOT / "demo" / "data" / "ff.fcs"
RESULTS = ROOT / "bench" / "results"
MARKERS = ["CD8", "TCRyd", "TCRb", "NK1/1", "CD4", "CD19", "CD3"]
# flowsom's default passes over the cells (its online map presents each
# cell rlen times), and those of its run on the largest set: at its
# defaults that run alone takes over a quarter of an hour here, so it makes
# one pass, and its time at its defaults is estimated from it by the ratio
# of the two on 999,700 cells, which run both ways.
DEFAULT_RLEN = 10
LARGE_RLEN = 1
# Noise added to the repeated cells, as a share of each marker's spread.
NOISE = 0.05
SEED = 0


def cells(repeats: int) -> np.ndarray:
    """ff.fcs's cells on the markers, ``repeats`` times, each copy after the
    first with gaussian noise; float32."""
    X = read_fcs(FCS, channels=MARKERS).to_numpy(np.float32)
    if repeats == 1:
        return X
    rng = np.random.default_rng(SEED)
    out = np.tile(X, (repeats, 1))
    scale = (NOISE * X.std(axis=0)).astype(np.float32)
    for r in range(1, repeats):
        block = out[r * len(X) : (r + 1) * len(X)]
        block += rng.standard_normal(X.shape, dtype=np.float32) * scale
    return out


def ours(X: np.ndarray) -> dict:
    threads = int(THREADS)
    began = time.perf_counter()
    meta = Metaclusters(SOM(10, 10, n_jobs=threads), 10, random_state=SEED).fit(X)
    total = time.perf_counter() - began
    # Where the time goes: the grouping of the nodes on the fitted map (on
    # one row, which it labels), the map's fit being the rest of the whole
    # (its epochs and the final labelling pass: a second fit would only
    # repeat it), and one search of every cell's BMU.
    som = meta.som_
    began = time.perf_counter()
    Metaclusters(som, 10, random_state=SEED).fit(X[:1])
    grouping = time.perf_counter() - began
    map_seconds = total - grouping
    began = time.perf_counter()
    som.predict(X)
    search = time.perf_counter() - began
    return {"seconds": total, "map_seconds": map_seconds, "epochs": som.n_iter_,
            "bmu_search_seconds": search, "grouping_seconds": grouping,
            "labels": meta.labels_}


def flowsom_available():
    try:
        with quiet():
            import flowsom  # noqa: F401
            from loguru import logger
        # Its progress goes to loguru, past any redirection of stderr.
        logger.disable("flowsom")
    except Exception as error:  # its imports pull in much; any failure names it
        return f"cannot import flowsom: {error!r}"
    return None


def flowsom(X: np.ndarray, seed: int, rlen: int = DEFAULT_RLEN) -> dict:
    import flowsom as fs

    with quiet(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        began = time.perf_counter()
        run = fs.FlowSOM(X.astype(np.float64), n_clusters=10, xdim=10, ydim=10, seed=seed,
                         rlen=rlen)  # fmt: skip
        seconds = time.perf_counter() - began
        labels = np.asarray(run.metacluster_labels, dtype=np.int64)
        nodes = np.asarray(run.cluster_labels, dtype=np.int64)
    return {"seconds": seconds, "labels": labels, "nodes": nodes,
            "codes": np.asarray(run.model.codes, dtype=np.float64)}


def consensus_on(theirs: dict, X: np.ndarray) -> np.ndarray:
    """Our metaclusters of flowsom's own nodes, for each cell through
    flowsom's own BMUs: the consensus step alone, on the same map."""
    som = SOM(10, 10, epochs=0, init=theirs["codes"]).fit(X[:1])
    meta = Metaclusters(som, 10, random_state=SEED).fit(X[:1])
    return meta.node_labels_[theirs["nodes"]]


def warm_flowsom():
    """Numba compiles flowsom's training on its first call (seconds)."""
    flowsom(np.random.default_rng(0).random((2000, 7)), seed=1)


def gating(path: str, n_cells: int) -> np.ndarray:
    labels = [line.strip().strip('"') for line in open(path, encoding="utf-8") if line.strip()]
    if labels and labels[0].lower() in ("x", "label", "labels", "gating"):
        labels = labels[1:]
    if len(labels) != n_cells:
        sys.exit(f"{path}: {len(labels)} labels for {n_cells} cells")
    return np.asarray(labels)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true",
                        help="also 9,997,000 cells (minutes for flowsom)")
    parser.add_argument("--gating", help="a manual gating of ff.fcs, one label per cell")
    parser.add_argument("--skip-flowsom", action="store_true")
    parser.add_argument("--quick", action="store_true", help="ff.fcs only")
    arguments = parser.parse_args()
    missing = None if not arguments.skip_flowsom else "skipped"
    missing = missing or flowsom_available()
    if missing is None:
        warm_flowsom()
    sizes = {"ff.fcs": 1} if arguments.quick else {"ff.fcs": 1, "999,700 cells": 52}
    if arguments.large and not arguments.quick:
        sizes["9,997,000 cells"] = 520
    records = []
    pass_ratio = None
    for name, repeats in sizes.items():
        X = cells(repeats)
        record = {"data": name, "cells": len(X), "ours": ours(X)}
        if missing is None:
            large = repeats == 520
            record["flowsom"] = flowsom(X, seed=42, rlen=LARGE_RLEN if large else DEFAULT_RLEN)
            record["flowsom"]["rlen"] = LARGE_RLEN if large else DEFAULT_RLEN
            if repeats == 52 and arguments.large:
                short = flowsom(X, seed=42, rlen=LARGE_RLEN)
                pass_ratio = record["flowsom"]["seconds"] / short["seconds"]
                record["flowsom"]["rlen_1_seconds"] = short["seconds"]
            if large and pass_ratio:
                record["flowsom"]["estimated_default_seconds"] = (
                    record["flowsom"]["seconds"] * pass_ratio)
            record["ari_vs_flowsom"] = adjusted_rand_score(
                record["flowsom"]["labels"], record["ours"]["labels"])
            if repeats == 1:
                other = flowsom(X, seed=7)
                record["ari_flowsom_seeds"] = adjusted_rand_score(
                    record["flowsom"]["labels"], other["labels"])
                record["ari_consensus_on_flowsom_map"] = adjusted_rand_score(
                    record["flowsom"]["labels"], consensus_on(record["flowsom"], X))
        if arguments.gating and repeats == 1:
            truth = gating(arguments.gating, len(X))
            gated = truth != "Unlabeled"
            record["ari_vs_gating"] = {
                side: [adjusted_rand_score(truth, record[side]["labels"]),
                       adjusted_rand_score(truth[gated], record[side]["labels"][gated])]
                for side in ("ours", "flowsom") if side in record}
        records.append(record)
        del X
    report(records, missing)
    save(records, missing)


def report(records, missing):
    print("Cytometry: 10 x 10 map + 10 metaclusters, 7 markers, 2 threads")
    print(f"{'data':<17}{'cells':>11}{'ours (s)':>10}{'flowsom (s)':>13}"
          f"{'ratio':>8}{'ARI vs flowsom':>16}")
    for r in records:
        f = r.get("flowsom", {})
        # On the largest set, flowsom's time at its defaults is estimated
        # from its one-pass run (marked *).
        theirs = f.get("estimated_default_seconds", f.get("seconds"))
        mark = "*" if "estimated_default_seconds" in f else " "
        ratio = f"{theirs / r['ours']['seconds']:.1f}x" if theirs else "-"
        print(f"{r['data']:<17}{r['cells']:>11,}{r['ours']['seconds']:>10.3f}"
              f"{theirs if theirs else float('nan'):>12.3f}{mark}{ratio:>8}"
              f"{r.get('ari_vs_flowsom', float('nan')):>16.3f}{mark if f.get('rlen') != DEFAULT_RLEN and f else ''}")
    if missing:
        print(f"flowsom: {missing}")
    for r in records:
        f = r.get("flowsom", {})
        if f.get("rlen", DEFAULT_RLEN) != DEFAULT_RLEN:
            estimate = (f"{f['estimated_default_seconds']:.1f} s at its default rlen "
                        f"{DEFAULT_RLEN} by the ratio of the two runs on 999,700 cells"
                        if "estimated_default_seconds" in f else "no estimate")
            print(f"  * flowsom on {r['data']}: rlen {f['rlen']} (one pass) "
                  f"{f['seconds']:.1f} s, {estimate}; its ARI is that of the "
                  "one-pass map")
    for r in records:
        o = r["ours"]
        print(f"  ours on {r['data']}: map {o['map_seconds']:.3f} s ({o['epochs']} epochs "
              f"and a final pass, each about one BMU search of {o['bmu_search_seconds']:.3f} s), "
              f"grouping the nodes {o['grouping_seconds']:.3f} s")
        if "ari_flowsom_seeds" in r:
            print(f"  two flowsom runs (seeds 42 and 7) on {r['data']}: ARI "
                  f"{r['ari_flowsom_seeds']:.3f}; our consensus on flowsom's own map "
                  f"against its metaclusters: ARI {r['ari_consensus_on_flowsom_map']:.3f}")
        if "ari_vs_gating" in r:
            for side, (every, gated) in r["ari_vs_gating"].items():
                print(f"  {side} against the manual gating: ARI {every:.3f} "
                      f"(gated cells only: {gated:.3f})")


def save(records, missing):
    RESULTS.mkdir(parents=True, exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = RESULTS / f"cytometry-{stamp}.json"
    for r in records:
        for side in ("ours", "flowsom"):
            for bulky in ("labels", "nodes", "codes"):
                r.get(side, {}).pop(bulky, None)
    with open(path, "w", encoding="utf-8") as out:
        json.dump({"records": records, "flowsom": missing or "ran"}, out, indent=1)
    print(f"saved {path.relative_to(ROOT)}")


if __name__ == "__main__":
    main()
