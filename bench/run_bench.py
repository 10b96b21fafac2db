"""The benchmark against the peers.

For each workload (W1 to W6, bench/workloads.py): seconds per epoch of our
package's SOM.fit and of the module _quorvel_wrap, and of each peer trained
with the workload's settings as far as it has them, the ratio peer / ours,
each map's quantization and topographic error, the peak memory of our fit
on the large workloads (W5, W6) and, with --driver, where an epoch of our
fit goes: the engine's search, sums and neighbourhood, each against its
limit on this machine (the C++ driver's float32 FMA peak, a plain read of
the rows). Then a quality table (each system at its own defaults, given
only the map's size and the number of passes over the data), a scaling
table of our fit (rows x nodes) and the targets, each met or not by the
figures of this run. Prints the tables and saves the figures as JSON under
bench/results/.

Every error figure comes from bench/quality.py: float64, from each system's
final codebook and the data, the same neighbour rule for all (nodes within
grid distance 1.5 on that system's grid; the peers run planar).

Run through `make bench`, which prepares bench/.venv (the peers, our package,
R's kohonen) and builds the C++ driver. Everything here runs with 2 threads.

    python bench/run_bench.py --driver build/bench/bench/quorvel_bench
    python bench/run_bench.py --workload W5        # one part only
    python bench/run_bench.py --part quality       # the quality table alone
    python bench/run_bench.py --quick              # a short pass of all

Parts for --workload or --part (repeatable): W1 W2 W3 W4 W5 W6, scaling,
memory (the memory figure alone) and quality (bench/panel.py: every system
at its defaults on a panel of data sets, 3 seeds), supervised
(bench/supervised.py: the classifier and the regressor against susi and
kohonen's xyf). W6, wide sparse rows that
exist only as CSR, runs our fit and sparse-som, not the module nor the dense
peers. The peers that cannot be installed or imported are listed with the
reason instead of a figure. Slow peers train fewer epochs than the
workload has in their timed runs (TIMED_EPOCHS: seconds per epoch either
way), and a peer's run at its defaults is cut to the passes that take about
DEFAULTS_SECONDS at its timed pace: noted in the table and left out of its
targets. A timed run of ours that takes seconds is not repeated.
"""

import argparse
import datetime
import json
import os
import platform
import resource
import subprocess
import sys
import time
import traceback

THREADS = "2"
for variable in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS",
                 "NUMBA_NUM_THREADS"):
    os.environ.setdefault(variable, THREADS)

import numpy as np  # noqa: E402  (after the thread counts are set)

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import quality  # noqa: E402
from workloads import (SPARSE_WORKLOADS, WORKLOADS,  # noqa: E402
                       make_codebook, make_data, make_sparse, radius_start)

PEERS = ["xpysom_peer", "fastersom_peer", "minisom_peer", "sparse_som_peer",
         "flowsom_peer", "kohonen_peer"]
# Peers whose timed runs get fewer epochs than the workload has, where the
# full count would take too long: (workload, peer module) -> epochs.
TIMED_EPOCHS = {("W1", "kohonen_peer"): 2, ("W1", "sparse_som_peer"): 4,
                ("W2", "kohonen_peer"): 1, ("W2", "sparse_som_peer"): 2,
                ("W2", "xpysom_peer"): 2, ("W2", "flowsom_peer"): 2,
                ("W3", "kohonen_peer"): 2,
                ("W5", "kohonen_peer"): 1, ("W5", "sparse_som_peer"): 1,
                ("W5", "flowsom_peer"): 4, ("W5", "xpysom_peer"): 2,
                ("W1", "xpysom_peer"): 4, ("W5", "fastersom_peer"): 3}
QUALITY_WORKLOADS = ("W1", "W2", "W3", "W5")

# Targets for the package's fit: (peer, at least this many times faster).
# "fastest" is the fastest peer of the run; "_quorvel_wrap.train" instead
# bounds our fit's time over the module's on the same work.
TARGETS = {"W1": [("XPySom", 10.0), ("fastersom", 8.0)],
           "W2": [("fastest", 50.0)],
           "W3": [("sparse-som", 3.0), ("_quorvel_wrap.train", 1.1)],
           "W5": [("fastersom", 8.0), ("XPySom", 20.0)]}
# Parts beside the workloads: the scaling table, the memory figure and the
# quality table at each system's defaults on bench/panel.py's data sets.
PARTS = ["scaling", "memory", "quality", "supervised"]
SCALING_ROWS = (10**4, 10**5, 10**6, 10**7)
SCALING_MAPS = ((10, 10), (40, 25), (100, 100))
# Rows x nodes above this are left out of the scaling table (one epoch of
# 10^7 rows on 10^4 nodes is minutes here); --full-scaling runs them all.
SCALING_CAP = 10**9
SCALING_FLAT = 1.5
SCALING_NODES = 100     # the map of the flatness target
MEMORY_SLACK = 64 * 2**20
# The workloads whose fit's peak memory is measured (two processes each):
# those of large data; W1 to W3 hold a few megabytes.
MEMORY_WORKLOADS = ("W5", "W6")
# A peer's run at its defaults on one workload: the passes are capped to
# take about this long at the pace of its timed run (the full count would
# take minutes on W2 and W5 for several peers); a capped peer is shown but
# left out of the quality targets.
DEFAULTS_SECONDS = 5.0
# A peer's process for all workloads is stopped after this long.
PEER_TIMEOUT = 600


def main():
    parser = argparse.ArgumentParser(
        description=__doc__.split("\n\n")[0],
        formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", help="the C++ driver (roofline, phases)")
    parser.add_argument("--workload", "--part", action="append",
                        choices=list(WORKLOADS) + PARTS,
                        help="run only this part (repeatable)")
    parser.add_argument("--quick", action="store_true",
                        help="fewer repeats and epochs, scaling to 10^6 rows")
    parser.add_argument("--skip-peers", action="store_true")
    parser.add_argument("--skip-defaults", action="store_true",
                        help="no quality table at the systems' defaults")
    parser.add_argument("--full-scaling", action="store_true",
                        help="every rows x nodes cell, however long")
    parser.add_argument("--sweep-ours", action="store_true",
                        help="only our SOM at its defaults but sigma_end "
                             "and cooling, on the quality workloads")
    parser.add_argument("--ours-only", help=argparse.SUPPRESS)
    parser.add_argument("--peer", nargs=5, help=argparse.SUPPRESS)
    parser.add_argument("--memory-child", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--rss-of", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.ours_only:
        import ours
        w = WORKLOADS[args.ours_only]
        seconds, _ = ours.time_wrap(w, make_data(args.ours_only),
                                    make_codebook(w))
        print(seconds)
        return
    if args.peer:
        module_name, names, default_epochs, defaults_for, out_path = args.peer
        peer_child(module_name, names.split(","), int(default_epochs),
                   args.quick, defaults_for.split(","), out_path)
        return
    if args.memory_child:
        memory_child(*args.memory_child)
        return
    if args.rss_of:
        rss_of(*args.rss_of)
        return

    if args.sweep_ours:
        sweep_ours(args.workload or QUALITY_WORKLOADS)
        return
    began = time.perf_counter()
    parts = args.workload or list(WORKLOADS) + PARTS
    results = {"machine": platform.processor() or platform.machine(),
               "threads": int(THREADS), "quick": args.quick,
               "command": " ".join(sys.argv), "versions": versions(),
               "roofline": None, "fma": None, "workloads": {},
               "defaults": {}, "scaling": None, "memory": {}, "panel": None,
               "unavailable": {}, "install_notes": install_notes()}
    if args.driver:
        out = subprocess.run([args.driver] + (["--quick"] if args.quick
                                              else []),
                             check=True, capture_output=True, text=True)
        driver = json.loads(out.stdout)
        results["roofline"] = driver["roofline"]
        results["fma"] = driver["fma"]

    names = [name for name in WORKLOADS if name in parts]
    for name in names:
        print(f"[{elapsed(began)}] {name}: ours", file=sys.stderr, flush=True)
        entry, defaults = run_workload(name, args, results)
        results["workloads"][name] = entry
        if defaults is not None:
            results["defaults"][name] = defaults
        if name in MEMORY_WORKLOADS:
            print(f"[{elapsed(began)}] {name}: memory", file=sys.stderr,
                  flush=True)
            results["memory"][name] = memory(name)
    if names and not args.skip_peers:
        peers = load_peers()
        run_peers(peers, [n for n in names if n != "W4"], args, results,
                  began)
    if "memory" in parts and "W5" not in parts:
        print(f"[{elapsed(began)}] W5 memory", file=sys.stderr, flush=True)
        results["memory"]["W5"] = memory("W5")
    if "scaling" in parts:
        print(f"[{elapsed(began)}] scaling", file=sys.stderr, flush=True)
        results["scaling"] = scaling(args)
    if "quality" in parts:
        print(f"[{elapsed(began)}] quality at defaults on the panel",
              file=sys.stderr, flush=True)
        import panel
        seeds = 1 if args.quick else panel.SEEDS
        results["panel"] = {"data": list(panel.DATASETS), "seeds": seeds,
                            "systems": panel.run_all(panel.DATASETS, seeds)}
    results["seconds"] = time.perf_counter() - began
    results["targets"] = targets(results)

    print_report(results)
    if "supervised" in parts:
        # Its own table and JSON file; --skip-peers reaches it too.
        print(f"[{elapsed(began)}] supervised", file=sys.stderr, flush=True)
        subprocess.run([sys.executable, os.path.join(HERE, "supervised.py")]
                       + (["--skip-peers"] if args.skip_peers else []),
                       check=True)
    os.makedirs(os.path.join(HERE, "results"), exist_ok=True)
    stamp = datetime.datetime.now().strftime("%Y%m%d-%H%M%S")
    path = os.path.join(HERE, "results", f"bench-{stamp}.json")
    with open(path, "w") as f:
        json.dump(results, f, indent=2)
    print(f"\nsaved {os.path.relpath(path)}; "
          f"{results['seconds']:.0f} s in all")


def install_notes():
    """What bench/setup.sh could not install, one line each."""
    path = os.path.join(HERE, ".venv", "install-notes.txt")
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [line.strip() for line in f if line.strip()]


def elapsed(began):
    return f"{time.perf_counter() - began:6.0f} s"


def versions():
    from importlib import metadata
    found = {}
    for package in ("quorvel", "numpy", "scipy", "xpysom", "fastersom",
                    "torch", "minisom", "sparse-som", "flowsom", "numba"):
        try:
            found[package] = metadata.version(package)
        except metadata.PackageNotFoundError:
            found[package] = None
    try:
        out = subprocess.run(
            ["Rscript", "-e", "cat(format(packageVersion('kohonen')))"],
            capture_output=True, text=True)
        found["R kohonen"] = out.stdout.strip() or None
    except OSError:
        found["R kohonen"] = None
    return found


def load_peers():
    """The peer modules (their names; each peer's own packages are only
    imported in its process)."""
    import importlib
    return [(module_name, importlib.import_module(f"peers.{module_name}"))
            for module_name in PEERS]


# --------------------------------------------------------------------------
# One workload: ours, the peers, the quality table at defaults.

def errors_of(data, codebook, positions, periods=None):
    bad = int(np.size(codebook) - np.isfinite(codebook).sum())
    if bad:
        return {"qe": None, "te": None,
                "bad_codebook": f"its codebook holds {bad:,} NaN or "
                                "infinite values"}
    qe, te = quality.errors(data, codebook, positions, periods)
    return {"qe": qe, "te": te}


def cross_check(record):
    """Our estimator's own error figures against bench/quality.py's: a
    note where they part by more than float32 BMUs explain."""
    if abs(record["own_qe"] - record["qe"]) > 1e-4 * record["qe"] or \
            abs(record["own_te"] - record["te"]) > 2e-3:
        return (f"; its own QE {record['own_qe']:.4f} and TE "
                f"{record['own_te']:.4f} differ")
    return ""


def our_geometry(w, grid=None, topology=None):
    grid = grid or w["grid_type"]
    topology = topology or w["map_type"]
    positions = quality.grid_positions(w["columns"], w["rows"], grid)
    periods = (quality.toroid_periods(w["columns"], w["rows"], grid)
               if topology == "toroid" else None)
    return positions, periods


def run_workload(name, args, results):
    import ours
    w = WORKLOADS[name]
    repeats = 1 if args.quick else 3
    data = make_data(name)
    codebook = make_codebook(w)
    systems = {}
    entry = {"text": w["text"], "epochs": w["epochs"], "systems": systems}

    def failed(error):
        traceback.print_exc(file=sys.stderr)
        return {"s_per_epoch": None, "note": f"failed: {error!r}"}

    if name == "W4":
        # No training data: the U-matrix of the shared codebook (the module
        # with no vectors; the package on one row, no epochs).
        seconds, _ = ours.time_wrap(w, data, codebook, repeats=repeats)
        systems["_quorvel_wrap.train"] = {"s_per_epoch": seconds,
                                          "note": "U-matrix s"}
        try:
            one_row = codebook[0, :1].copy()
            seconds, _ = ours.time_som(w, one_row, codebook, repeats=repeats)
            systems["quorvel SOM.fit"] = {
                "s_per_epoch": seconds,
                "note": "U-matrix s: fit of one row, 0 epochs, the codebook "
                        "given"}
        except Exception as error:
            systems["quorvel SOM.fit"] = failed(error)
        return entry, None

    positions, periods = our_geometry(w)
    sparse = None
    if name in SPARSE_WORKLOADS:
        sparse = data if w.get("csr_only") else make_sparse(name)
    fit_data = sparse if sparse is not None else data

    try:
        seconds, som = ours.time_som(w, fit_data, codebook, repeats=repeats)
        record = {"s_per_epoch": seconds, "epochs": w["epochs"],
                  **errors_of(data, som.codebook_.reshape(
                      -1, w["dimension"]), positions, periods),
                  "own_qe": float(som.quantization_error_),
                  "own_te": float(som.topographic_error_),
                  "note": "through a scipy CSR matrix" if sparse is not None
                  else ""}
        record["note"] += cross_check(record)
        systems["quorvel SOM.fit"] = record
    except Exception as error:
        systems["quorvel SOM.fit"] = failed(error)
    if args.driver:
        try:
            entry["phases"] = phases(w, fit_data, codebook, args, results,
                                     systems["quorvel SOM.fit"]["s_per_epoch"])
        except Exception as error:
            traceback.print_exc(file=sys.stderr)
            entry["phases"] = {"error": repr(error)}

    if w.get("csr_only"):
        return entry, None
    seconds, cb = ours.time_wrap(w, data, codebook, repeats=repeats)
    record = {"s_per_epoch": seconds, "epochs": w["epochs"],
              **errors_of(data, cb, positions, periods),
              "note": "learning scale 0.1 to 0.01"}
    if name == "W1":
        one = time_wrap_threads(name, 1)
        record["one_thread_s_per_epoch"] = one
        record["note"] += f"; 1 thread {one:.4f} s ({one / seconds:.2f}x)"
    if name == "W3":
        dense, _ = ours.time_wrap(w, data, codebook, kernel_type=0,
                                  repeats=1)
        record["dense_kernel_s_per_epoch"] = dense
        record["note"] += f"; dense kernel {dense:.4f} s"
    roofline = results.get("roofline")
    if roofline and w["kernel_type"] != 2:
        bmu, update = flops_per_epoch(w)
        limit = (bmu + update) / (
            bmu / (roofline["bmu_shape_gflops_2_threads"] * 1e9) +
            update / (roofline["update_shape_gflops_2_threads"] * 1e9))
        record["gflops"] = (bmu + update) / seconds / 1e9
        record["limit_gflops"] = limit / 1e9
        # Stated work (every node-vector pair) over our time: zero weights
        # are skipped, so at small radii this can pass the limit.
        record["note"] += (f"; stated work at {record['gflops']:.0f} "
                           f"GFLOP/s, limit {record['limit_gflops']:.0f}")
    systems["_quorvel_wrap.train"] = record

    want_defaults = not args.skip_defaults and name in QUALITY_WORKLOADS
    defaults = {} if want_defaults else None
    if want_defaults:
        try:
            som = ours.som_defaults(w, fit_data)
            grid = som.get_params()["grid"]
            topology = som.get_params()["topology"]
            p, per = our_geometry(w, grid, topology)
            defaults["quorvel SOM"] = {
                **errors_of(data, som.codebook_.reshape(-1, w["dimension"]),
                            p, per),
                "own_qe": float(som.quantization_error_),
                "own_te": float(som.topographic_error_),
                "epochs": som.n_iter_,
                "note": f"its defaults: {grid} {topology}, "
                        f"{som.get_params()['init']} start, sigma "
                        f"{som.history_['sigma'][0]:.3g} to "
                        f"{som.history_['sigma'][-1]:.3g} "
                        f"{som.get_params()['cooling']}"}
            defaults["quorvel SOM"]["note"] += cross_check(
                defaults["quorvel SOM"])
        except Exception as error:
            defaults["quorvel SOM"] = failed(error)

    return entry, defaults


# --------------------------------------------------------------------------
# The peers, each in a process of its own for all its workloads: no peer
# shares a process with another's threads (torch's OpenMP threads, left
# spinning, halve the speed of the next peer's), and Numba compiles
# FlowSOM's training once. The child writes its records as JSON to a file.

def peer_child(module_name, names, default_epochs, quick, defaults_for,
               out_path):
    import importlib
    from peers import Case
    module = importlib.import_module(f"peers.{module_name}")
    found = {}
    reason = module.unavailable()
    if reason:
        with open(out_path, "w") as f:
            json.dump({"unavailable": reason}, f)
        return
    for name in names:
        w = WORKLOADS[name]
        data = make_data(name)
        epochs = TIMED_EPOCHS.get((name, module_name), w["epochs"])
        if quick:
            epochs = min(epochs, 2)
        case = Case(name=name, w=w, data=data, codebook=make_codebook(w),
                    timed_epochs=epochs, default_epochs=default_epochs,
                    radius=float(radius_start(w)), quick=quick,
                    want_defaults=name in defaults_for)
        if name in SPARSE_WORKLOADS:
            case._csr = data if w.get("csr_only") else make_sparse(name)
        start = time.perf_counter()
        records = {"timed": {}, "defaults": {}}
        try:
            # The timed runs first: their seconds per epoch cap the passes
            # of the runs at defaults.
            case.want_defaults = False
            results = list(module.run(case))
            if name in defaults_for:
                slowest = max((r.s_per_epoch or 0.0 for r in results),
                              default=0.0)
                capped = (None if getattr(module, "CAPS_ITSELF", False)
                          else defaults_capped(slowest, default_epochs))
                if capped:
                    case.default_epochs = capped
                case.want_timed, case.want_defaults = False, True
                for result in module.run(case):
                    if capped:
                        result.note += (f"; capped at {capped} of "
                                        f"{default_epochs} passes for time")
                        result.capped = True
                    results.append(result)
            for result in results:
                record = {"s_per_epoch": result.s_per_epoch,
                          "epochs": result.epochs, "note": result.note,
                          **errors_of(data, result.codebook,
                                      result.positions, result.periods)}
                if result.capped:
                    record["capped"] = True
                if "bad_codebook" in record:
                    record["note"] += "; " + record.pop("bad_codebook")
                records[result.kind][result.system] = record
        except Exception as error:
            traceback.print_exc(file=sys.stderr)
            records["failed"] = f"failed: {error!r}"
        records["seconds"] = time.perf_counter() - start
        found[name] = records
        with open(out_path, "w") as f:
            json.dump(found, f)


def defaults_capped(s_per_epoch, epochs):
    """The passes at defaults that fit a peer into DEFAULTS_SECONDS at the
    pace of its timed runs, or None where all of them do."""
    if s_per_epoch * epochs <= DEFAULTS_SECONDS:
        return None
    return max(1, int(DEFAULTS_SECONDS / s_per_epoch))


def run_peers(peers, names, args, results, began):
    """Every peer on the workloads; fills results' workloads and defaults."""
    import tempfile
    defaults_for = [] if args.skip_defaults else [
        n for n in names if n in QUALITY_WORKLOADS]
    for module_name, module in peers:
        print(f"[{elapsed(began)}] {module.NAME}", file=sys.stderr,
              flush=True)
        with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as folder:
            out_path = os.path.join(folder, "peer.json")
            # Rows that exist only as CSR go to the sparse peer alone.
            peer_names = [n for n in names
                          if not WORKLOADS[n].get("csr_only")
                          or module_name == "sparse_som_peer"]
            if not peer_names:
                continue
            command = [sys.executable, __file__, "--peer", module_name,
                       ",".join(peer_names), str(our_default_epochs()),
                       ",".join(defaults_for) or "-", out_path]
            if args.quick:
                command.append("--quick")
            try:
                subprocess.run(command, timeout=PEER_TIMEOUT, check=False)
                problem = None
            except subprocess.TimeoutExpired:
                problem = f"stopped after {PEER_TIMEOUT} s"
            found = {}
            if os.path.exists(out_path):
                with open(out_path) as f:
                    found = json.load(f)
        if "unavailable" in found:
            results["unavailable"][module.NAME] = found["unavailable"]
            continue
        for name in peer_names:
            records = found.get(name)
            if records is None:
                note = problem or "failed: its process ended early"
                records = {"failed": note}
            systems = results["workloads"][name]["systems"]
            if "failed" in records:
                systems[module.NAME] = {"s_per_epoch": None,
                                        "note": records["failed"]}
                if name in defaults_for:
                    results["defaults"][name][module.NAME] = {
                        "note": records["failed"]}
                continue
            systems.update(records["timed"])
            if name in defaults_for:
                results["defaults"][name].update(records["defaults"])
            print(f"    {name}: {records['seconds']:.0f} s", file=sys.stderr,
                  flush=True)


SWEEP = [(grid, cooling, sigma_end) for grid in ("hexagonal", "rectangular")
         for cooling in ("linear", "exponential")
         for sigma_end in (1.0, 0.5, 0.25)]


def sweep_ours(names):
    """QE and TE of our SOM at its defaults but the grid, the cooling and
    sigma_end: the figures from which its defaults are chosen."""
    from quorvel import SOM
    print(f"{'workload':8} {'grid':12} {'cooling':12} {'sigma_end':>9} "
          f"{'QE':>9} {'TE':>7}")
    for name in names:
        if name not in QUALITY_WORKLOADS:
            continue
        w = WORKLOADS[name]
        data = make_data(name)
        fit_data = make_sparse(name) if name == "W3" else data
        for grid, cooling, sigma_end in SWEEP:
            som = SOM(columns=w["columns"], rows=w["rows"], n_jobs=2,
                      grid=grid, sigma_end=sigma_end,
                      cooling=cooling).fit(fit_data)
            params = som.get_params()
            p, per = our_geometry(w, params["grid"], params["topology"])
            r = errors_of(data, som.codebook_.reshape(-1, w["dimension"]),
                          p, per)
            print(f"{name:8} {grid:12} {cooling:12} {sigma_end:9g} "
                  f"{fmt(r['qe'])} {fmt(r['te'], 7)}", flush=True)


def our_default_epochs():
    try:
        from quorvel import SOM
        return int(SOM().get_params()["epochs"])
    except Exception:
        return 10


def time_wrap_threads(name, threads):
    """The module in a fresh process with another OpenMP team size."""
    env = dict(os.environ, OMP_NUM_THREADS=str(threads))
    out = subprocess.run([sys.executable, __file__, "--ours-only", name],
                         env=env, check=True, capture_output=True, text=True)
    return float(out.stdout.strip().splitlines()[-1])


def flops_per_epoch(w):
    nodes = w["columns"] * w["rows"]
    stored = w.get("per_row", 20) if w["kernel_type"] == 2 else w["dimension"]
    bmu = 3.0 * w["vectors"] * nodes * w["dimension"]
    update = 2.0 * w["vectors"] * nodes * stored
    return bmu, update


# --------------------------------------------------------------------------
# Where an epoch of our fit goes: the C++ driver runs the package engine's
# kernels on the workload's own rows and start (written to files here), phase
# by phase, beside a plain read of the same arrays; the rest is our fit's
# epoch less the search with its sums and the neighbourhood. Each phase
# against its limit: the search against the float32 FMA peak (one fused
# multiply-add per node, feature and row, per stored value on CSR), the
# sums against one read of the rows, the neighbourhood (the gaussian
# factored over the two axes, in double) against the FMA peak at half the
# lanes. NumPy's sgemm of the search's shape, in blocks of rows whose
# products stay in cache, is the rate a matrix library reaches here.

SGEMM_BLOCK = 1 << 20   # floats of product per block


def phases(w, fit_data, codebook, args, results, fit_seconds):
    import tempfile
    nodes, d = w["columns"] * w["rows"], w["dimension"]
    csr = hasattr(fit_data, "indptr")
    fma = results.get("fma")
    with tempfile.TemporaryDirectory(prefix="quorvel-phases-") as folder:
        def write(name, array, dtype):
            path = os.path.join(folder, name)
            np.ascontiguousarray(array, dtype=dtype).tofile(path)
            return path
        command = [args.driver, "--phases", f"columns={w['columns']}",
                   f"rows={w['rows']}", f"dimension={d}",
                   f"grid={w['grid_type']}", f"topology={w['map_type']}",
                   f"sigma={radius_start(w)}",
                   f"count={fit_data.shape[0]}",
                   f"repeats={1 if args.quick else 3}",
                   f"codebook={write('codebook', codebook, np.float32)}"]
        if csr:
            command += [f"data={write('data', fit_data.data, np.float32)}",
                        f"indices={write('indices', fit_data.indices, np.int32)}",
                        f"indptr={write('indptr', fit_data.indptr, np.int64)}",
                        f"stored={fit_data.nnz}"]
        else:
            command.append(f"data={write('data', fit_data, np.float32)}")
        try:
            out = subprocess.run(command, check=True, capture_output=True,
                                 text=True)
        except subprocess.CalledProcessError as error:
            return {"error": error.stderr.strip()[-300:]}
    p = json.loads(out.stdout)
    search, accumulate = p["search_s"], p["accumulate_s"]
    record = {**p, "sums_s": accumulate - search,
              "rest_s": (fit_seconds - accumulate - p["neighbourhood_s"]
                         if fit_seconds else None),
              "fit_s_per_epoch": fit_seconds,
              "multiply_adds": float(nodes) * p["stored"],
              "neighbourhood_multiply_adds":
                  float(nodes) * (w["columns"] + w["rows"]) * (d + 1)}
    if fma:
        # The other core may be busy with other work: the larger of the
        # run on both threads and twice the run on one.
        rate = max(fma["gfma_2_threads"], 2 * fma["gfma_1_thread"]) * 1e9
        record["fma_per_s"] = rate
        record["search_limit_s"] = record["multiply_adds"] / rate
        record["neighbourhood_limit_s"] = (
            record["neighbourhood_multiply_adds"] / (rate / 2))
    record["sums_limit_s"] = p["read_s"]
    if not csr:
        record["sgemm_fma_per_s"] = sgemm_rate(
            fit_data, codebook.reshape(nodes, d), 1 if args.quick else 3)
    return record


def sgemm_rate(data, codebook, repeats):
    """Multiply-adds per second of NumPy's float32 product of the rows with
    the codebook's transpose, block of rows after block."""
    block = max(1, SGEMM_BLOCK // len(codebook))
    out = np.empty((block, len(codebook)), dtype=np.float32)
    transposed = np.ascontiguousarray(codebook.T)

    def product():
        for start in range(0, len(data), block):
            part = data[start:start + block]
            np.dot(part, transposed, out=out[:len(part)])
    import ours
    seconds, _ = ours.best_of(product, repeats)
    return float(len(data)) * codebook.size / seconds


# --------------------------------------------------------------------------
# Peak memory of our fit: a child process that builds the data and fits at
# our defaults (1 epoch), against one that only builds the data and imports
# the package. Each child runs under its own measuring process, whose
# RUSAGE_CHILDREN then holds that child alone. Rows that exist only as CSR
# start from random nodes: the default start forms the features x features
# covariance, beyond this machine's memory for W6.

def memory_child(mode, name):
    w = WORKLOADS[name]
    data = make_sparse(name) if name in SPARSE_WORKLOADS else make_data(name)
    import quorvel
    if mode == "fit":
        start = {"init": "random"} if w.get("csr_only") else {}
        # One epoch reaches the peak: every later one reuses its arrays.
        quorvel.SOM(columns=w["columns"], rows=w["rows"], epochs=1,
                    n_jobs=2, **start).fit(data)


def rss_of(mode, name):
    subprocess.run([sys.executable, __file__, "--memory-child", mode, name],
                   check=True)
    print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024)


def memory(name):
    w = WORKLOADS[name]
    try:
        peak = {}
        for mode in ("data", "fit"):
            out = subprocess.run([sys.executable, __file__, "--rss-of", mode,
                                  name], check=True, capture_output=True,
                                 text=True)
            peak[mode] = int(out.stdout.strip().splitlines()[-1])
    except subprocess.CalledProcessError as error:
        return {"error": (error.stderr or "").strip()[-300:]}
    if name in SPARSE_WORKLOADS:
        # The CSR arrays: float32 values, int32 column indices, row starts.
        data_bytes = (w["vectors"] * w.get("per_row", 20) * 8 +
                      (w["vectors"] + 1) * 4)
    else:
        data_bytes = w["vectors"] * w["dimension"] * 4
    extra = peak["fit"] - peak["data"]
    return {"baseline_bytes": peak["data"], "fit_bytes": peak["fit"],
            "extra_bytes": extra, "data_bytes": data_bytes,
            # The fit with the data it was given, against the target of
            # 1.25 times the float32 data plus 64 MB.
            "with_data_bytes": extra + data_bytes,
            "limit_bytes": 1.25 * data_bytes + MEMORY_SLACK}


# --------------------------------------------------------------------------
# Scaling of our fit: W5-like data, rows x nodes.

def scaling(args):
    import ours
    from workloads import clustered
    rows_list = SCALING_ROWS[:3] if args.quick else SCALING_ROWS
    table = []
    for rows in rows_list:
        data = None
        for columns, map_rows in SCALING_MAPS:
            nodes = columns * map_rows
            cell = {"rows": rows, "nodes": nodes}
            table.append(cell)
            if rows * nodes > SCALING_CAP and not args.full_scaling:
                cell["skipped"] = "over the work cap"
                continue
            if data is None:
                data = clustered(rows, 32)
            w = dict(WORKLOADS["W5"], vectors=rows, columns=columns,
                     rows=map_rows)
            # Enough epochs for a measurable time: about 2e8 row-node pairs
            # in all, 2 to 20 epochs.
            epochs = int(min(20, max(2, 2e8 // (rows * nodes))))
            codebook = make_codebook(w)
            repeats = 1 if args.quick or rows * nodes >= 10**8 else 3
            seconds, _ = ours.time_som(w, data, codebook, repeats=repeats,
                                       epochs=epochs)
            cell.update(epochs=epochs, s_per_epoch=seconds,
                        ns_per_row=seconds / rows * 1e9,
                        ns_per_row_node=seconds / (rows * nodes) * 1e9)
        del data
    return table


# --------------------------------------------------------------------------
# The report.

def fmt(value, width=9, digits=4):
    if value is None:
        return f"{'-':>{width}}"
    return f"{value:{width}.{digits}f}"


def print_report(results):
    roofline = results["roofline"]
    if roofline:
        print("Roofline (exact shape: SIMD lanes across sums, no FMA), GFLOP/s:"
              f" BMU shape {roofline['bmu_shape_gflops_1_thread']:.0f} (1 thread)"
              f" / {roofline['bmu_shape_gflops_2_threads']:.0f} (2 threads),"
              f" update shape {roofline['update_shape_gflops_1_thread']:.0f}"
              f" / {roofline['update_shape_gflops_2_threads']:.0f}")
    for line in results["install_notes"]:
        print(f"not installed: {line}")
    for peer, reason in results["unavailable"].items():
        print(f"{peer}: not run: {reason}")
    if results["workloads"]:
        print("\nSeconds per epoch, 2 threads; peer/ours against our SOM.fit; "
              "QE and TE by bench/quality.py (float64, neighbours within 1.5 "
              "on each system's grid)")
    head = (f"{'workload':8} {'system':22} {'s/epoch':>9} {'peer/ours':>9} "
            f"{'QE':>9} {'TE':>7} {'epochs':>6}  notes")
    for name, entry in results["workloads"].items():
        print(f"\n{name}: {entry['text']}, {entry['epochs']} epochs")
        print(head)
        systems = entry["systems"]
        ours = (systems.get("quorvel SOM.fit") or {}).get("s_per_epoch")
        for system, r in systems.items():
            seconds = r.get("s_per_epoch")
            ratio = (seconds / ours if seconds and ours and
                     not system.startswith(("quorvel", "_quorvel")) else None)
            epochs = r.get("epochs")
            epochs = "" if epochs is None else (
                f"{epochs:g}" if isinstance(epochs, (int, float)) else epochs)
            print(f"{'':8} {system:22} {fmt(seconds)} {fmt(ratio, 9, 1)} "
                  f"{fmt(r.get('qe'))} {fmt(r.get('te'), 7)} {epochs:>6}  "
                  f"{r.get('note', '')}")
        if entry.get("phases"):
            print_phases(entry["phases"])
        memory = results["memory"].get(name)
        if memory:
            print_memory(name, memory)
    if "W5" in results["memory"] and "W5" not in results["workloads"]:
        print_memory("W5", results["memory"]["W5"])
    if results["defaults"]:
        print_defaults(results["defaults"])
    if results["scaling"]:
        print_scaling(results["scaling"])
    if results["panel"]:
        import panel
        panel.print_table(results["panel"]["systems"], results["panel"]["data"],
                          results["panel"]["seeds"])
    if results["targets"]:
        print("\nTargets, from the figures of this run")
        for t in results["targets"]:
            verdict = ("no figure" if t["met"] is None else
                       "met" if t["met"] else "not met")
            print(f"  {t['text']}: {verdict}")


def targets(results):
    """Every target this run has figures for, as {"text", "value", "met"}
    (met None where a figure is missing)."""
    found = []
    for name, goals in TARGETS.items():
        entry = results["workloads"].get(name)
        if entry is None:
            continue
        systems = entry["systems"]
        ours = (systems.get("quorvel SOM.fit") or {}).get("s_per_epoch")
        timed = {s: r["s_per_epoch"] for s, r in systems.items()
                 if r.get("s_per_epoch") and
                 not s.startswith(("quorvel", "_quorvel"))}
        for peer, factor in goals:
            if peer.startswith("_quorvel"):
                wrap = (systems.get(peer) or {}).get("s_per_epoch")
                value = ours / wrap if ours and wrap else None
                text = (f"{name} SOM.fit on CSR / {peer} on the same work "
                        f"<= {factor:g}")
                met = None if value is None else value <= factor
            else:
                if peer == "fastest" and timed:
                    peer = min(timed, key=timed.get)
                value = (timed[peer] / ours if ours and peer in timed
                         else None)
                text = f"{name} {peer} / SOM.fit >= {factor:g}"
                met = None if value is None else value >= factor
            if value is not None:
                text += f" ({value:.2f})"
            found.append({"text": text, "value": value, "met": met})
    per_row = {c["rows"]: c["ns_per_row"] for c in results["scaling"] or []
               if c["nodes"] == SCALING_NODES and "ns_per_row" in c}
    if len(per_row) > 1:
        spread = max(per_row.values()) / min(per_row.values())
        found.append({
            "text": f"scaling: SOM.fit's epoch per row on {SCALING_NODES} "
                    f"nodes from {min(per_row):,} to {max(per_row):,} rows "
                    f"within {SCALING_FLAT:g}x ({spread:.2f}x)",
            "value": spread, "met": spread <= SCALING_FLAT})
    m = results["memory"].get("W5")
    if m and "error" not in m:
        mb = 2**20
        found.append({
            "text": f"memory: W5 fit with its data <= 1.25 x data + 64 MB "
                    f"({m['with_data_bytes'] / mb:.0f} MB against "
                    f"{m['limit_bytes'] / mb:.0f} MB)",
            "value": m["with_data_bytes"] / m["limit_bytes"],
            "met": m["with_data_bytes"] <= m["limit_bytes"]})
    return found


def print_phases(p):
    if "error" in p:
        print(f"{'':8} {'phases':22} driver failed: {p['error']}")
        return
    epoch = p["fit_s_per_epoch"]
    fma = p.get("fma_per_s")
    mb = 2**20
    print(f"{'':8} phases of an epoch of SOM.fit ({epoch or float('nan'):.4f}"
          f" s), the engine's {p['kernel_variant']} kernels on "
          f"{p['threads']} threads (bench/quorvel_bench.cpp)")
    print(f"{'':8} {'phase':14} {'s/epoch':>9} {'limit s':>9} "
          f"{'of limit':>8} {'of epoch':>8}  limit")
    rows = [
        ("search", p["search_s"], p.get("search_limit_s"),
         f"{p['multiply_adds']:.3g} multiply-adds (nodes x "
         + ("stored values" if "sgemm_fma_per_s" not in p else
            "features x rows")
         + (f") at {fma / 1e9:.1f} G/s, the float32 FMA peak on 2 cores"
            if fma
            else "), no FMA peak measured")),
        ("sums", p["sums_s"], p["sums_limit_s"],
         f"a plain read of the {p['data_bytes'] / mb:.1f} MB of rows "
         f"({p['data_bytes'] / p['read_s'] / 1e9:.1f} GB/s)"),
        ("neighbourhood", p["neighbourhood_s"], p.get("neighbourhood_limit_s"),
         f"{p['neighbourhood_multiply_adds']:.3g} multiply-adds in double "
         "at half the FMA peak"),
        ("rest", p["rest_s"], None, "none (set-up and copies between the "
         "engine's calls; on CSR rows also the search's cost on the epochs' "
         "own codebooks beyond the start's)"),
    ]
    for phase, seconds, limit, text in rows:
        share = limit / seconds if limit and seconds and seconds > 0 else None
        of_epoch = seconds / epoch if epoch and seconds is not None else None
        print(f"{'':8} {phase:14} {fmt(seconds)} {fmt(limit)} "
              f"{percent(share)} {percent(of_epoch)}  {text}")
    if "sgemm_fma_per_s" in p:
        rate = p["sgemm_fma_per_s"]
        print(f"{'':8} NumPy sgemm of the search's shape: {rate / 1e9:.1f} G "
              f"multiply-adds/s; the search at "
              f"{p['multiply_adds'] / rate / p['search_s']:.1%} of it")


def percent(value, width=8):
    if value is None:
        return f"{'-':>{width}}"
    return f"{100 * value:{width - 1}.1f}%"


def print_memory(name, m):
    if "error" in m:
        print(f"{'':8} {'peak memory':22} failed: {m['error']}")
        return
    mb = 2**20
    text = (f"peak RSS {m['fit_bytes'] / mb:.0f} MB against "
            f"{m['baseline_bytes'] / mb:.0f} MB for the data and the import "
            f"alone: fit adds {m['extra_bytes'] / mb:.0f} MB; with its "
            f"{m['data_bytes'] / mb:.0f} MB of data "
            f"{m['with_data_bytes'] / mb:.0f} MB")
    print(f"{'':8} {'peak memory (our fit)':22} {text}")


def print_defaults(defaults):
    print("\nQuality at each system's defaults: the map's size and the "
          "passes over the data given, all else the system's own; QE and TE "
          "by bench/quality.py")
    print(f"{'workload':8} {'system':22} {'QE':>9} {'TE':>7} {'epochs':>6}"
          "  notes")
    for name, systems in defaults.items():
        for system, r in systems.items():
            epochs = r.get("epochs")
            epochs = "" if epochs is None else f"{epochs:g}"
            print(f"{name:8} {system:22} {fmt(r.get('qe'))} "
                  f"{fmt(r.get('te'), 7)} {epochs:>6}  {r.get('note', '')}")
        ours = systems.get("quorvel SOM", {})
        peers = {s: r for s, r in systems.items()
                 if s != "quorvel SOM" and r.get("qe") is not None
                 and not r.get("capped")}
        if ours.get("qe") is None or not peers:
            continue
        best_qe = min(peers, key=lambda s: peers[s]["qe"])
        best_te = min(peers, key=lambda s: peers[s]["te"])
        qe_ratio = ours["qe"] / peers[best_qe]["qe"]
        te_of_best = peers[best_qe]["te"]
        print(f"{'':8} {'target':22} QE within 1 % of the best peer's "
              f"({best_qe} {peers[best_qe]['qe']:.4f}): ours / best "
              f"{qe_ratio:.3f}, {'met' if qe_ratio <= 1.01 else 'not met'};"
              f" TE no worse than that peer's ({te_of_best:.4f}): "
              f"{'met' if ours['te'] <= te_of_best else 'not met'}; "
              f"the lowest peer TE: {best_te} {peers[best_te]['te']:.4f}")
        for peer in ("fastersom", "MiniSom"):
            if peer not in peers:
                continue
            r = peers[peer]
            good = ours["qe"] <= r["qe"] and ours["te"] <= r["te"]
            print(f"{'':8} {'vs ' + peer:22} ours / its QE "
                  f"{ours['qe'] / r['qe']:.3f}, TE {ours['te']:.4f} against "
                  f"{r['te']:.4f}: {'no worse' if good else 'worse'}")


def print_scaling(table):
    maps = sorted({c["nodes"] for c in table})
    print("\nScaling of our fit (W5-like data, 32 features, planar "
          "rectangular maps): s per epoch, and ns per row and node")
    print(f"{'rows':>10} " + " ".join(f"{f'{n:,} nodes':>24}" for n in maps))
    for rows in sorted({c["rows"] for c in table}):
        cells = []
        for nodes in maps:
            c = next(c for c in table if c["rows"] == rows and
                     c["nodes"] == nodes)
            if "s_per_epoch" in c:
                cells.append(f"{c['s_per_epoch']:10.4f} s "
                             f"{c['ns_per_row_node']:8.3f} ns")
            else:
                cells.append(f"{c.get('skipped', '-'):>24}")
        print(f"{rows:>10,} " + " ".join(cells))
    for nodes in maps:
        per_row = [c["ns_per_row"] for c in table
                   if c["nodes"] == nodes and "ns_per_row" in c]
        if len(per_row) < 2:
            continue
        rows = [c["rows"] for c in table
                if c["nodes"] == nodes and "ns_per_row" in c]
        spread = max(per_row) / min(per_row)
        text = (f"{nodes:,} nodes: per-row cost from {min(rows):,} to "
                f"{max(rows):,} rows within {spread:.2f}x")
        print(text)


if __name__ == "__main__":
    main()
