"""Training on Dask against the engine alone: W5 (1,000,000 x 32 clustered,
10 x 10 map) and a zarr store of 20,000,000 x 32 rows written here, larger
than the workers' memory, each fitted in memory (the engine on two threads)
and on a LocalCluster of 2 workers x 1 thread with a memory limit of 1 GiB
each: W5 over 10 epochs, the store over 3 (each of its epochs streams the
whole store).

Prints seconds per epoch both ways, the overhead of Dask over the engine
alone, the seconds of one pass that only reads the blocks from their source
(a streamed epoch reads them again), the passes outside the epochs, whether
the data were persisted or streamed, each worker's peak memory and what it
spilled, and whether the two fits gave the same bits (they must).

    python bench/dask_bench.py [--rows N] [--epochs E] [--store-epochs E]
                               [--store PATH] [--json FILE]
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np

# W5 travels to the cluster inside the graph of da.from_array, once (it is
# persisted); distributed warns about a graph of that size.
warnings.filterwarnings("ignore", "Sending large graph", UserWarning)

sys.path.insert(0, str(Path(__file__).resolve().parent))

import workloads  # noqa: E402

WORKERS = 2
THREADS_PER_WORKER = 1
MEMORY_LIMIT = "1GiB"
FEATURES = 32
CHUNK_ROWS = 1 << 18  # 32 MiB of float32 rows per zarr chunk
SEED = 2024
# An epoch of the store streams all of it from disk: the figures are
# medians per epoch, which a few epochs give as well as ten.
STORE_EPOCHS = 3


def clustered_rows(start: int, stop: int, dimension: int) -> np.ndarray:
    """Rows [start, stop) of the store: W5's kind of clustered data (the
    populations of bench/workloads.py's generator), each chunk of rows from
    its own seed so that the store is written chunk by chunk."""
    rng = np.random.default_rng(SEED)
    centres = rng.random((workloads.CLUSTERS, dimension), dtype=np.float32)
    spreads = (0.02 + 0.08 * rng.random((workloads.CLUSTERS, dimension))).astype(np.float32)
    shares = rng.dirichlet(np.full(workloads.CLUSTERS, 2.0))
    block = np.empty((stop - start, dimension), dtype=np.float32)
    rng = np.random.default_rng([SEED, start])
    labels = rng.choice(workloads.CLUSTERS, size=stop - start, p=shares)
    rng.standard_normal(out=block, dtype=np.float32)
    block *= spreads[labels]
    block += centres[labels]
    return block


def write_store(path: Path, rows: int, dimension: int) -> float:
    """The zarr store, chunk after chunk (never the whole array in
    memory), uncompressed; returns the seconds it took."""
    import zarr

    began = time.perf_counter()
    layout = dict(shape=(rows, dimension), chunks=(CHUNK_ROWS, dimension), dtype=np.float32)
    if hasattr(zarr, "create_array"):  # zarr 3
        store = zarr.create_array(str(path), overwrite=True, compressors=None, **layout)
    else:
        store = zarr.open_array(str(path), mode="w", compressor=None, **layout)
    for start in range(0, rows, CHUNK_ROWS):
        stop = min(rows, start + CHUNK_ROWS)
        store[start:stop] = clustered_rows(start, stop, dimension)
    return time.perf_counter() - began


class EpochTimer:
    """Times every epoch of the fits in this process (the estimator's
    epoch step: the pass over the rows and the neighbourhood)."""

    def __init__(self) -> None:
        from quorvel import _training

        self.times: list[float] = []
        step = _training._Epochs.run
        timer = self

        def epoch(*args, **kwargs):
            began = time.perf_counter()
            step(*args, **kwargs)
            timer.times.append(time.perf_counter() - began)

        _training._Epochs.run = epoch

    def fit(self, som, data):
        self.times = []
        began = time.perf_counter()
        som.fit(data)
        return time.perf_counter() - began, list(self.times)


def _memory_status() -> dict:
    """This process's resident memory now and at its peak (VmRSS, VmHWM),
    in bytes. (ru_maxrss would not do: a worker is started from the
    nanny's process, whose size it inherits.)"""
    figures = {}
    with open("/proc/self/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                figures[key] = int(value.split()[0]) * 1024
    return figures


def worker_figures(client, reset: bool = False) -> dict:
    """Resident memory now, its peak since the last reset, and the bytes
    spilled to disk, of every worker; ``reset`` starts a new peak."""

    def figures(dask_worker, reset=reset):
        if reset:
            with open("/proc/self/clear_refs", "w") as clear:
                clear.write("5")  # the peak becomes the current size
        spilled = 0.0
        metrics = getattr(dask_worker.data, "cumulative_metrics", {})
        for (label, unit), value in metrics.items():
            if label == "disk-write" and unit == "bytes":
                spilled += value
        status = _memory_status()
        return {"rss_bytes": status["VmRSS"], "peak_rss_bytes": status["VmHWM"],
                "spilled_bytes": spilled}  # fmt: skip

    return client.run(figures)


def same_bits(a, b) -> bool:
    return (
        np.array_equal(a.codebook_.view(np.uint32), b.codebook_.view(np.uint32))
        and np.array_equal(a.labels_, b.labels_)
        and np.array_equal(a.history_["quantization_error"], b.history_["quantization_error"])
        and a.quantization_error_ == b.quantization_error_
        and a.topographic_error_ == b.topographic_error_
    )


def run_case(name: str, memory_data, dask_data_factory, epochs: int, timer: EpochTimer) -> dict:
    """One workload in memory and on a fresh cluster."""
    import dask
    import distributed
    from quorvel import SOM

    params = dict(columns=10, rows=10, grid="rectangular", topology="planar", epochs=epochs)
    expected = SOM(**params, n_jobs=WORKERS)
    memory_total, memory_epochs = timer.fit(expected, memory_data)
    with distributed.LocalCluster(
        n_workers=WORKERS, threads_per_worker=THREADS_PER_WORKER, memory_limit=MEMORY_LIMIT,
        processes=True, dashboard_address=":0",
    ) as cluster, distributed.Client(cluster) as client:  # fmt: skip
        client.wait_for_workers(WORKERS)
        client.run(__import__, "quorvel._sources.dask")
        baseline = worker_figures(client, reset=True)
        from quorvel._sources import dask as _dask

        modes = []
        check = _dask.DaskRows.check

        def check_and_note(rows):
            check(rows)
            modes.append("persisted" if rows.persisted else "streamed")

        _dask.DaskRows.check = check_and_note
        try:
            # The client is the default scheduler, as Client(...) makes it.
            som = SOM(**params)
            dask_total, dask_epochs = timer.fit(som, dask_data_factory())
        finally:
            _dask.DaskRows.check = check
        workers = worker_figures(client)
        # One pass that only reads the blocks from their source (what a
        # streamed epoch reads besides running the engine).
        blocks = dask_data_factory().to_delayed().ravel()
        began = time.perf_counter()
        dask.compute(*[dask.delayed(lambda block: block.shape[0])(b) for b in blocks],
                     scheduler=client)  # fmt: skip
        read_s = time.perf_counter() - began
    memory_epoch = float(np.median(memory_epochs)) if memory_epochs else float("nan")
    dask_epoch = float(np.median(dask_epochs)) if dask_epochs else float("nan")
    return {
        "workload": name,
        "rows": int(memory_data.shape[0]),
        "features": int(memory_data.shape[1]),
        "epochs": epochs,
        "mode": modes[0] if modes else "?",
        "memory_s_per_epoch": memory_epoch,
        "dask_s_per_epoch": dask_epoch,
        "dask_overhead": dask_epoch / memory_epoch - 1.0,
        "read_pass_s": read_s,
        "memory_fit_s": memory_total,
        "dask_fit_s": dask_total,
        "memory_outside_epochs_s": memory_total - sum(memory_epochs),
        "dask_outside_epochs_s": dask_total - sum(dask_epochs),
        "workers": {
            address: {**figures, "baseline_rss_bytes": baseline[address]["rss_bytes"]}
            for address, figures in workers.items()
        },
        "same_bits": same_bits(som, expected),
    }


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=20_000_000,
                        help="rows of the zarr store (default 20,000,000)")  # fmt: skip
    parser.add_argument("--epochs", type=int, default=10, help="epochs of the W5 fits")
    parser.add_argument("--store-epochs", type=int, default=STORE_EPOCHS,
                        help=f"epochs of the store's fits (default {STORE_EPOCHS})")
    parser.add_argument("--store", type=Path, default=None,
                        help="where to write the store (default: a temporary folder)")  # fmt: skip
    parser.add_argument("--skip-w5", action="store_true", help="only the zarr store")
    parser.add_argument("--json", type=Path, default=None, help="also write the figures here")
    args = parser.parse_args(argv)

    import dask.array as da

    timer = EpochTimer()
    results = []
    if not args.skip_w5:
        w5 = workloads.make_data("W5")
        results.append(run_case(
            "W5", w5, lambda: da.from_array(w5, chunks=(CHUNK_ROWS // 2, FEATURES)),
            args.epochs, timer,
        ))  # fmt: skip
        del w5

    folder = args.store or Path(tempfile.mkdtemp(prefix="quorvel-dask-bench-"))
    path = folder / "rows.zarr"
    try:
        written = write_store(path, args.rows, FEATURES)
        import zarr

        loaded = zarr.open_array(str(path), mode="r")[:]
        case = run_case(
            f"zarr {args.rows:,} x {FEATURES}", loaded, lambda: da.from_zarr(str(path)),
            args.store_epochs, timer,
        )  # fmt: skip
        case["store_bytes"] = int(args.rows * FEATURES * 4)
        case["store_write_s"] = written
        results.append(case)
        del loaded
    finally:
        if args.store is None:
            shutil.rmtree(folder, ignore_errors=True)

    print_table(results)
    if args.json:
        args.json.write_text(json.dumps(results, indent=2))
    return 0 if all(case["same_bits"] for case in results) else 1


def print_table(results: list[dict]) -> None:
    mib = 1 << 20
    print(f"LocalCluster: {WORKERS} workers x {THREADS_PER_WORKER} thread, memory limit "
          f"{MEMORY_LIMIT} each; in memory: the engine on {WORKERS} threads; "
          f"{os.cpu_count()} cores")  # fmt: skip
    header = (f"{'workload':<24} {'epochs':>6} {'mode':<9} {'memory s/ep':>11} {'dask s/ep':>9} "
              f"{'overhead':>8} {'read pass s':>11} {'outside (mem/dask) s':>20} "
              f"{'same bits':>9}")  # fmt: skip
    print(header)
    print("-" * len(header))
    for case in results:
        outside = f"{case['memory_outside_epochs_s']:.2f} / {case['dask_outside_epochs_s']:.2f}"
        print(f"{case['workload']:<24} {case['epochs']:>6} {case['mode']:<9} "
              f"{case['memory_s_per_epoch']:>11.3f} "
              f"{case['dask_s_per_epoch']:>9.3f} {case['dask_overhead']:>+8.0%} "
              f"{case['read_pass_s']:>11.3f} {outside:>20} "
              f"{'yes' if case['same_bits'] else 'NO':>9}")  # fmt: skip
    print()
    print("peak resident memory of each worker during the fit (before it in brackets), "
          "spilled to disk:")  # fmt: skip
    for case in results:
        figures = ", ".join(
            f"{w['peak_rss_bytes'] / mib:.0f} MiB ({w['baseline_rss_bytes'] / mib:.0f}) "
            f"spilled {w['spilled_bytes'] / mib:.0f} MiB"
            for w in case["workers"].values()
        )
        extra = ""
        if "store_bytes" in case:
            extra = (f"  [store {case['store_bytes'] / mib:.0f} MiB, written in "
                     f"{case['store_write_s']:.1f} s]")  # fmt: skip
        print(f"  {case['workload']:<24} {figures}{extra}")


if __name__ == "__main__":
    sys.exit(main())
