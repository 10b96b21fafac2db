"""Map quality at each system's defaults on a panel of data sets.

Every system gets only the map's size (12 x 10) and, for the peers, 20
passes over the data: quorvel.SOM at its own defaults, fastersom at its
defaults with n_epochs=20, MiniSom at its defaults with 20 * n
train_random updates. The data are z-scored (float32). QE, TE and the nodes
that win no row come from bench/quality.py (float64, each system's own
grid); each figure is the mean over the seeds (random_state 0, 1, 2; ours
at its defaults is deterministic, "pca" needs no seed; MiniSom, the slow
one, runs seed 0 alone).

    python bench/panel.py                      # the table, 3 seeds
    python bench/panel.py --data iris --seeds 1
    python bench/panel.py --sweep digits       # docs/images/schedule_tradeoff.png

Each system runs in a process of its own (torch's idle threads slow the
next system down); the table says, per data set, our QE over the best
peer's and whether a peer's map beats ours on both QE and TE.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time

THREADS = "2"
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, THREADS)

import numpy as np  # noqa: E402  (after the thread counts are set)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import quality  # noqa: E402

COLUMNS, ROWS = 12, 10
PEER_EPOCHS = 20
SEEDS = 3
# Seeds at most for a slow system: MiniSom's online passes take over a
# minute per seed over the panel, and its means over more seeds move its
# figures less than the gaps between the systems.
MOST_SEEDS = {"MiniSom": 1}
SYSTEMS = ("quorvel", "fastersom", "MiniSom")
PEERS = SYSTEMS[1:]
# A peer whose QE is below ours by less than this share counts as a tie.
QE_SLACK = 0.01


# --------------------------------------------------------------------------
# The panel: scikit-learn's bundled sets and generated ones of other shapes.

def _bundled(name):
    from sklearn import datasets
    return getattr(datasets, f"load_{name}")().data


def _generated(name):
    from sklearn import datasets
    rng = np.random.default_rng(0)
    if name == "blobs":
        return datasets.make_blobs(20_000, 32, centers=20, random_state=0)[0]
    if name == "blobs_hd":        # a few clusters in high dimension
        return datasets.make_blobs(3000, 100, centers=5, random_state=1)[0]
    if name == "aniso":           # sheared, elongated clusters
        X = datasets.make_blobs(5000, 6, centers=4, random_state=2)[0]
        return X @ rng.normal(size=(6, 6))
    if name == "classes":         # overlapping classes, 5 informative of 20
        return datasets.make_classification(
            4000, 20, n_informative=5, n_redundant=5, random_state=0)[0]
    if name == "swiss_roll":
        return datasets.make_swiss_roll(5000, noise=0.1, random_state=0)[0]
    if name == "s_curve":
        return datasets.make_s_curve(5000, noise=0.05, random_state=0)[0]
    if name == "uniform":
        return rng.uniform(size=(5000, 3))
    raise KeyError(name)


BUNDLED = ("iris", "wine", "digits", "breast_cancer", "diabetes")
GENERATED = ("blobs", "blobs_hd", "aniso", "classes", "swiss_roll", "s_curve",
             "uniform")
DATASETS = BUNDLED + GENERATED


def load(name):
    """The data set z-scored (a constant feature left at 0, as
    StandardScaler leaves it), float32."""
    X = _bundled(name) if name in BUNDLED else _generated(name)
    X = np.asarray(X, dtype=np.float64)
    spread = X.std(axis=0)
    X = (X - X.mean(axis=0)) / np.where(spread > 0, spread, 1.0)
    return X.astype(np.float32)


# --------------------------------------------------------------------------
# The systems at their defaults; each returns (codebook, positions).

def fit_quorvel(X, seed, **params):
    from quorvel import SOM
    som = SOM(COLUMNS, ROWS, n_jobs=int(THREADS), random_state=seed,
              **params).fit(X)
    grid = som.get_params()["grid"]
    return (som.codebook_.reshape(-1, X.shape[1]),
            quality.grid_positions(COLUMNS, ROWS, grid))


def fit_fastersom(X, seed):
    import torch
    from fastersom import SOM
    torch.set_num_threads(int(THREADS))
    som = SOM(ROWS, COLUMNS, n_epochs=PEER_EPOCHS, device="cpu",
              random_state=seed).fit(X)
    # weights_ row-major: node = row * n_cols + col, at (col, row).
    return (np.asarray(som.weights_).reshape(-1, X.shape[1]),
            quality.grid_positions(COLUMNS, ROWS, "rectangular"))


def fit_minisom(X, seed):
    from minisom import MiniSom
    som = MiniSom(COLUMNS, ROWS, X.shape[1], random_seed=seed)
    som.train_random(X, PEER_EPOCHS * len(X))
    xx, yy = som.get_euclidean_coordinates()
    positions = np.column_stack([np.ravel(xx), np.ravel(yy)])
    return som.get_weights().reshape(-1, X.shape[1]), positions


FITS = {"quorvel": fit_quorvel, "fastersom": fit_fastersom,
        "MiniSom": fit_minisom}


# The default before this schedule, timed beside ours for the cost per fit.
FORMER = {"epochs": 10, "sigma_end": 1.0, "cooling": "linear"}


def measure(X, codebook, positions):
    qe, te, counts = quality.measures(X, codebook, positions)
    return {"qe": qe, "te": te, "empty": int(np.count_nonzero(counts == 0))}


def run_system(system, names, seeds):
    """{data set: {"qe", "te", "empty", "seconds"}} means over the seeds."""
    out = {}
    for name in names:
        X = load(name)
        records = []
        for seed in range(seeds):
            began = time.perf_counter()
            codebook, positions = FITS[system](X, seed)
            took = time.perf_counter() - began
            record = {**measure(X, codebook, positions), "seconds": took}
            if system == "quorvel":
                began = time.perf_counter()
                fit_quorvel(X, seed, **FORMER)
                record["former_seconds"] = time.perf_counter() - began
            records.append(record)
        out[name] = {key: float(np.mean([r[key] for r in records]))
                     for key in records[0]}
    return out


def seeds_of(system, seeds):
    return min(seeds, MOST_SEEDS.get(system, seeds))


def run_all(names, seeds, systems=SYSTEMS):
    """Every system in a child process; {system: {data set: record}}, or
    {system: {"failed": why}}."""
    results = {}
    with tempfile.TemporaryDirectory(prefix="quorvel-panel-") as folder:
        for system in systems:
            path = os.path.join(folder, f"{system}.json")
            command = [sys.executable, __file__, "--child", system,
                       "--data", ",".join(names),
                       "--seeds", str(seeds_of(system, seeds)),
                       "--out", path]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode or not os.path.exists(path):
                tail = (done.stderr.strip().splitlines() or ["no output"])[-1]
                results[system] = {"failed": tail}
                continue
            with open(path) as f:
                results[system] = json.load(f)
    return results


def verdict(results, name):
    """(our QE / the best peer's, the peers whose map beats ours on both
    QE and TE), or None where ours or every peer is missing."""
    ours = results.get("quorvel", {}).get(name)
    peers = {p: results[p][name] for p in PEERS
             if name in results.get(p, {})}
    if ours is None or not peers:
        return None
    best = min(r["qe"] for r in peers.values())
    beaten = [p for p, r in peers.items()
              if r["qe"] < ours["qe"] and r["te"] < ours["te"]]
    return ours["qe"] / best, beaten


def print_table(results, names, seeds, out=sys.stdout):
    print(f"\nMap quality at each system's defaults: {COLUMNS} x {ROWS} maps, "
          f"z-scored data, peers at {PEER_EPOCHS} passes, mean of {seeds} "
          "seeds" + "".join(f" ({s} {seeds_of(s, seeds)})" for s in SYSTEMS
                            if seeds_of(s, seeds) != seeds)
          + "; QE, TE and nodes winning no row by bench/quality.py",
          file=out)
    for system in SYSTEMS:
        if "failed" in results.get(system, {}):
            print(f"  {system}: {results[system]['failed']}", file=out)
    head = "".join(f" {s + ' QE / TE / empty':>27}" for s in SYSTEMS)
    print(f"{'data':14}{head} {'ours/best':>9}  beaten by", file=out)
    for name in names:
        cells = []
        for system in SYSTEMS:
            r = results.get(system, {}).get(name)
            cells.append(f" {r['qe']:9.4f} / {r['te']:6.4f} / {r['empty']:5.1f}"
                         if r else f" {'-':>27}")
        v = verdict(results, name)
        ratio = f"{v[0]:9.3f}" if v else f"{'-':>9}"
        beaten = (", ".join(v[1]) or "none") if v else "-"
        print(f"{name:14}{''.join(cells)} {ratio}  {beaten}", file=out)
    verdicts = [v for v in (verdict(results, n) for n in names) if v]
    if verdicts:
        met = sum(v[0] <= 1 + QE_SLACK and not v[1] for v in verdicts)
        worst = max(v[0] for v in verdicts)
        print(f"target (QE within {QE_SLACK:.0%} of the best peer's and no "
              f"peer better on both): met on {met} of {len(verdicts)}; the "
              f"largest QE ratio {worst:.3f}", file=out)
    ours = results.get("quorvel", {})
    if ours and "failed" not in ours:
        seconds = sum(r["seconds"] for r in ours.values())
        former = sum(r.get("former_seconds", 0.0) for r in ours.values())
        print(f"our fits: {seconds:.2f} s per seed over the panel, "
              f"{seconds / former:.2f} times the former default's ({former:.2f}"
              " s: linear to 1 over 10 epochs)" if former else "", file=out)


# --------------------------------------------------------------------------
# The picture: QE and TE of our map over the schedule's knobs, on one data
# set, with each peer's default as a point.

SWEEP_ENDS = (0.05, 0.1, 0.15, 0.2, 0.3, 0.5, 0.7, 1.0)
SWEEP_CURVES = (("20 epochs, exponential", {"epochs": 20, "cooling": "exponential"}),
                ("40 epochs, exponential", {"epochs": 40, "cooling": "exponential"}),
                ("10 epochs, exponential", {"epochs": 10, "cooling": "exponential"}),
                ("20 epochs, linear", {"epochs": 20, "cooling": "linear"}))


def sweep(name, seeds):
    """{"curves": {label: [(sigma_end, qe, te)]}, "default": record,
    "former": record, peers: record}: our map over sigma_end for each
    curve's epochs and cooling, our default, the former default (linear to
    1 over 10 epochs) and the peers (mean of the seeds)."""
    X = load(name)
    out = {"data": name, "curves": {}}
    for label, params in SWEEP_CURVES:
        points = []
        for end in SWEEP_ENDS:
            r = measure(X, *fit_quorvel(X, 0, sigma_end=end, **params))
            points.append((end, r["qe"], r["te"]))
        out["curves"][label] = points
    out["default"] = measure(X, *fit_quorvel(X, 0))
    out["former"] = measure(X, *fit_quorvel(X, 0, epochs=10, sigma_end=1.0,
                                            cooling="linear"))
    peers = run_all([name], seeds, PEERS)
    for peer in PEERS:
        if name in peers.get(peer, {}):
            out[peer] = peers[peer][name]
    return out


def draw(found, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    figure, ax = plt.subplots(figsize=(7.5, 5.0), dpi=110)
    for (label, points), style in zip(found["curves"].items(),
                                      ("o-", "s--", "^:", "d-.")):
        ends, qe, te = zip(*points)
        ax.plot(te, qe, style, label=f"quorvel, {label}", markersize=4)
        if label.startswith("20 epochs, exp"):
            for end, qe_end, te_end in points:
                ax.annotate(f"{end:g}", (te_end, qe_end), fontsize=8,
                            textcoords="offset points", xytext=(5, 3))
    marks = {"default": ("*", "quorvel default", 16),
             "former": ("X", "quorvel former default", 9),
             "fastersom": ("P", "fastersom default", 10),
             "MiniSom": ("D", "MiniSom default", 8)}
    for key, (marker, label, size) in marks.items():
        if key in found:
            r = found[key]
            ax.plot(r["te"], r["qe"], marker, markersize=size, label=label,
                    color="black" if key == "default" else None,
                    linestyle="none")
    ax.set_xlabel("topographic error (share of rows whose two best nodes "
                  "are not neighbours)")
    ax.set_ylabel("quantization error (mean distance to the BMU)")
    ax.set_title(f"{found['data']}, {COLUMNS} x {ROWS} map: the last width "
                 "sigma_end (labels) trades one error for the other",
                 fontsize=10)
    ax.grid(alpha=0.3)
    ax.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(path)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data", default=",".join(DATASETS),
                        help="comma-separated data sets (default: all)")
    parser.add_argument("--seeds", type=int, default=SEEDS)
    parser.add_argument("--systems", default=",".join(SYSTEMS))
    parser.add_argument("--json", help="also write the figures here")
    parser.add_argument("--sweep", metavar="DATA",
                        help="our map over the schedule on one data set")
    parser.add_argument("--picture", default=os.path.join(
        HERE, "..", "docs", "images", "schedule_tradeoff.png"),
        help="where --sweep draws (default: docs/images/)")
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--out", help=argparse.SUPPRESS)
    args = parser.parse_args()
    names = args.data.split(",")
    if args.sweep:
        found = sweep(args.sweep, args.seeds)
        for label, points in found["curves"].items():
            print(label + ": " + ", ".join(
                f"{end:g}: {qe:.4f} / {te:.4f}" for end, qe, te in points))
        for key in ("default", "former") + PEERS:
            if key in found:
                print(f"{key}: {found[key]['qe']:.4f} / {found[key]['te']:.4f}")
        draw(found, args.picture)
        print(f"drew {os.path.relpath(args.picture)}")
        return
    if args.child:
        with open(args.out, "w") as f:
            json.dump(run_system(args.child, names, args.seeds), f)
        return
    results = run_all(names, args.seeds, args.systems.split(","))
    print_table(results, names, args.seeds)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
