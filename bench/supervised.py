"""Supervised maps against the peers: 5-fold cross-validated accuracy
(classifiers) and R^2 (regressors) at each system's defaults, and the fit
time of each.

Systems: quorvel's SOMClassifier / SOMRegressor, susi's SOMClassifier /
SOMRegressor and R kohonen's xyf (through bench/xyf.R), each at its own
defaults but the seed. Every fold standardises the features on its
training rows (the same arrays go to every system); only the fit is timed
(kohonen's inside R). The table's data sets are the digits and the wines
(classification), the diabetes data and Friedman's first generated problem
(regression: scikit-learn ships no larger regression set that needs no
download). `--sweep` instead runs our estimators alone over a grid of
settings on more data sets than the table's, which is how the defaults were
chosen.

    python bench/supervised.py                 # the table
    python bench/supervised.py --skip-peers    # ours alone
    python bench/supervised.py --sweep         # the defaults' grid
"""

import argparse
import datetime
import itertools
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

THREADS = "2"
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                 "NUMBA_NUM_THREADS"):
    os.environ.setdefault(variable, THREADS)
# A fit on these small data sets is many short engine calls: OpenMP threads
# that spin between them, on a machine whose cores other work shares, cost
# a hundred times the fit itself. Sleeping threads change no result.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import numpy as np  # noqa: E402  (after the thread counts are set)
from sklearn import datasets  # noqa: E402
from sklearn.metrics import accuracy_score, r2_score  # noqa: E402
from sklearn.model_selection import KFold, StratifiedKFold  # noqa: E402
from sklearn.preprocessing import StandardScaler  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
XYF = os.path.join(HERE, "xyf.R")
FOLDS = 5
# The table's folds are shuffled this many times (seeds 0, 1, ...): a score
# is the mean over every fold of every shuffle.
SHUFFLES = 2


def _friedman(which, n, noise):
    maker = getattr(datasets, f"make_friedman{which}")
    return lambda: maker(n_samples=n, noise=noise, random_state=0)


def _symmetric(n=1500, seed=0):
    """A target that is even in two of six uniform features: rows far
    apart in X share a value, which a map organised by the target merges."""
    rng = np.random.default_rng(seed)
    X = rng.uniform(-1.0, 1.0, size=(n, 6))
    return X, X[:, 0] ** 2 + X[:, 1] ** 2 + 0.1 * rng.normal(size=n)


def _interaction(n=1500, seed=0):
    """A product of two of five normal features, one through a sine."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, 5))
    return X, np.sin(2.0 * X[:, 0]) * X[:, 1] + 0.2 * rng.normal(size=n)


# name -> (task, loader of X, y)
TABLE = {
    "digits": ("classification", lambda: datasets.load_digits(return_X_y=True)),
    "wine": ("classification", lambda: datasets.load_wine(return_X_y=True)),
    "diabetes": ("regression", lambda: datasets.load_diabetes(return_X_y=True)),
    "friedman1": ("regression", _friedman(1, 2000, 1.0)),
}
# Data sets that choose the defaults beside the table's.
SWEEP = {
    "iris": ("classification", lambda: datasets.load_iris(return_X_y=True)),
    "breast_cancer": ("classification",
                      lambda: datasets.load_breast_cancer(return_X_y=True)),
    "classification": ("classification", lambda: datasets.make_classification(
        n_samples=3000, n_features=20, n_informative=6, n_redundant=4,
        n_classes=4, n_clusters_per_class=2, random_state=0)),
    "moons": ("classification", lambda: datasets.make_moons(
        n_samples=1000, noise=0.3, random_state=0)),
    "friedman2": ("regression", _friedman(2, 2000, 50.0)),
    "friedman3": ("regression", _friedman(3, 2000, 0.1)),
    "linear": ("regression", lambda: datasets.make_regression(
        n_samples=1000, n_features=20, n_informative=8, noise=30.0,
        random_state=0)),
    "symmetric": ("regression", _symmetric),
    "interaction": ("regression", _interaction),
}


def folds_of(task, X, y, seed=0):
    """(train, test) index pairs of the 5 shuffled folds."""
    kind = StratifiedKFold if task == "classification" else KFold
    return list(kind(FOLDS, shuffle=True, random_state=seed).split(X, y))


def standardised_folds(task, X, y, seed=0):
    out = []
    for train, test in folds_of(task, X, y, seed):
        scaler = StandardScaler().fit(X[train])
        out.append((scaler.transform(X[train]), y[train],
                    scaler.transform(X[test]), y[test]))
    return out


def metric(task):
    return accuracy_score if task == "classification" else r2_score


def run_estimator(make, task, folds):
    """Mean score and mean fit seconds over the folds."""
    scores, seconds = [], []
    for X_train, y_train, X_test, y_test in folds:
        model = make()
        began = time.perf_counter()
        model.fit(X_train, y_train)
        seconds.append(time.perf_counter() - began)
        scores.append(metric(task)(y_test, model.predict(X_test)))
    return {"score": float(np.mean(scores)), "score_sd": float(np.std(scores)),
            "fit_s": float(np.median(seconds))}


def ours(task, **params):
    from quorvel import SOMClassifier, SOMRegressor
    kind = SOMClassifier if task == "classification" else SOMRegressor
    return lambda: kind(random_state=0, **params)


def susi_model(task):
    import susi
    kind = susi.SOMClassifier if task == "classification" else susi.SOMRegressor
    return lambda: kind(random_state=0)


def xyf_unavailable():
    if shutil.which("Rscript") is None:
        return "Rscript not found (apt-get install r-base-core r-cran-kohonen)"
    check = subprocess.run(["Rscript", "-e", "library(kohonen)"],
                           capture_output=True, text=True)
    if check.returncode != 0:
        return "R has no kohonen package (apt-get install r-cran-kohonen)"
    return None


def run_xyf(task, folds):
    with tempfile.TemporaryDirectory(prefix="quorvel-xyf-") as folder:
        for k, (X_train, y_train, X_test, _) in enumerate(folds, 1):
            for name, values in (("train-X", X_train), ("train-y", y_train),
                                 ("test-X", X_test)):
                np.asarray(values, dtype="<f8").tofile(
                    os.path.join(folder, f"{name}-{k}.bin"))
        done = subprocess.run(
            ["Rscript", XYF, folder, str(len(folds)),
             str(folds[0][0].shape[1]), task], capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("xyf.R failed: " + done.stderr.strip()[-400:])
        with open(os.path.join(folder, "times")) as f:
            seconds = [float(line) for line in f if line.strip()]
        scores = []
        for k, (_, _, _, y_test) in enumerate(folds, 1):
            predicted = np.fromfile(os.path.join(folder, f"pred-{k}.bin"),
                                    dtype="<f8")
            scores.append(metric(task)(y_test, predicted))
    return {"score": float(np.mean(scores)), "score_sd": float(np.std(scores)),
            "fit_s": float(np.median(seconds))}


def table(names, skip_peers, shuffles):
    results = {}
    reason = None if skip_peers else xyf_unavailable()
    for name in names:
        task, load = {**TABLE, **SWEEP}[name]
        X, y = load()
        X = np.asarray(X, dtype=np.float64)
        folds = [f for seed in range(shuffles)
                 for f in standardised_folds(task, X, y, seed)]
        entry = {"task": task, "shape": list(X.shape), "systems": {}}
        print(f"{name}: ours", file=sys.stderr, flush=True)
        entry["systems"]["quorvel"] = run_estimator(ours(task), task, folds)
        if not skip_peers:
            print(f"{name}: susi", file=sys.stderr, flush=True)
            try:
                entry["systems"]["susi"] = run_estimator(
                    susi_model(task), task, folds)
            except Exception as error:  # a peer's failure is reported
                entry["systems"]["susi"] = {"error": repr(error)[:200]}
            print(f"{name}: kohonen xyf", file=sys.stderr, flush=True)
            if reason:
                entry["systems"]["kohonen xyf"] = {"error": reason}
            else:
                try:
                    entry["systems"]["kohonen xyf"] = run_xyf(task, folds)
                except Exception as error:
                    entry["systems"]["kohonen xyf"] = {"error": repr(error)[:200]}
        results[name] = entry
    return results


def print_table(results):
    print(f"\n{FOLDS}-fold cross-validated accuracy (classification) or R^2 "
          "(regression) at each system's defaults, the mean over every fold "
          "of each shuffle; features standardised per fold; fit seconds per "
          "fold (the median), 2 threads")
    print(f"{'data set':14} {'rows x features':>15} {'system':12} "
          f"{'score':>7} {'sd':>6} {'fit s':>8} {'peer/ours':>9}")
    for name, entry in results.items():
        shape = "{} x {}".format(*entry["shape"])
        systems = entry["systems"]
        mine = systems["quorvel"]
        for system, r in systems.items():
            if "error" in r:
                print(f"{name:14} {shape:>15} {system:12} not run: {r['error']}")
                continue
            ratio = ("" if system == "quorvel"
                     else f"{r['fit_s'] / mine['fit_s']:9.1f}")
            print(f"{name:14} {shape:>15} {system:12} {r['score']:7.4f} "
                  f"{r['score_sd']:6.3f} {r['fit_s']:8.4f} {ratio:>9}")
        peers = {s: r for s, r in systems.items()
                 if s != "quorvel" and "error" not in r}
        if peers:
            best = max(peers, key=lambda s: peers[s]["score"])
            met = mine["score"] >= peers[best]["score"]
            fastest = min(r["fit_s"] for r in peers.values())
            print(f"{'':14} {'':>15} {'target':12} score >= best peer's "
                  f"({best} {peers[best]['score']:.4f}): "
                  f"{'met' if met else 'not met'}; fit time "
                  f"{mine['fit_s'] / fastest:.3f} of the fastest peer's")


# The grids of --sweep, one per task, around each estimator's defaults
# (size: times its default number of nodes); every combination is run with
# two shuffles of the folds.
SWEEP_GRID = {
    "classification": {
        "label_weight": (0.5, 0.7),
        "size": (0.67, 1.0, 1.33),
        "sigma_end": (0.5, 0.75, 1.0),
        "cooling": ("linear", "exponential"),
    },
    "regression": {
        "label_weight": (0.2, 0.3, 0.5),
        "size": (0.67, 1.0, 1.33, 2.0),
        "sigma_end": (1.0, 1.25, 1.5),
    },
}
SWEEP_SHUFFLES = (0, 1)


def sweep(task_wanted):
    from quorvel import SOMClassifier, SOMRegressor
    from quorvel._layers import map_side
    out = []
    for task, grid in SWEEP_GRID.items():
        if task_wanted not in (None, task):
            continue
        names = [name for name, (kind, _) in {**TABLE, **SWEEP}.items()
                 if kind == task]
        data = {}
        for name in names:
            _, load = {**TABLE, **SWEEP}[name]
            X, y = load()
            X = np.asarray(X, dtype=np.float64)
            data[name] = [f for seed in SWEEP_SHUFFLES
                          for f in standardised_folds(task, X, y, seed)]
        keys = list(grid)
        rows = []
        for values in itertools.product(*grid.values()):
            setting = dict(zip(keys, values))
            scores = {}
            for name, folds in data.items():
                kind = SOMClassifier if task == "classification" else SOMRegressor
                side = map_side(len(folds[0][0]),
                                kind._NODES_PER_ROOT * setting["size"])
                params = {key: value for key, value in setting.items()
                          if key != "size"}
                scores[name] = run_estimator(
                    ours(task, columns=side, rows=side, **params), task,
                    folds)["score"]
            rows.append((setting, scores))
            print(setting, {k: round(v, 4) for k, v in scores.items()},
                  file=sys.stderr, flush=True)
        print(f"\n{task}: mean score over {len(SWEEP_SHUFFLES)} shuffles of "
              f"{FOLDS} folds")
        print(" ".join(f"{key[:12]:>12}" for key in keys) + " "
              + " ".join(f"{name[:9]:>9}" for name in names))
        for setting, scores in rows:
            print(" ".join(f"{setting[key]!s:>12}" for key in keys) + " "
                  + " ".join(f"{scores[name]:9.4f}" for name in names))
        out += [{"task": task, "setting": s, "scores": c} for s, c in rows]
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--data", action="append",
                        choices=list(TABLE) + list(SWEEP),
                        help="a data set of the table (repeatable)")
    parser.add_argument("--skip-peers", action="store_true")
    parser.add_argument("--shuffles", type=int, default=SHUFFLES,
                        help=f"shuffles of the {FOLDS} folds, each system "
                             f"scored over all (default {SHUFFLES})")
    parser.add_argument("--sweep", nargs="?", const="both",
                        choices=["both", "classification", "regression"],
                        help="our estimators alone over the defaults' grid")
    args = parser.parse_args()
    began = time.perf_counter()
    if args.sweep:
        results = {"sweep": sweep(None if args.sweep == "both" else args.sweep)}
    else:
        results = {"table": table(args.data or list(TABLE), args.skip_peers,
                                  args.shuffles)}
        print_table(results["table"])
    results["seconds"] = time.perf_counter() - began
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = os.path.join(HERE, "results", f"supervised-{stamp}.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=2)
    print(f"\nsaved {os.path.relpath(path)}; {results['seconds']:.0f} s in all")


if __name__ == "__main__":
    main()
