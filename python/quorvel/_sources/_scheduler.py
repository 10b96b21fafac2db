"""Where the graphs of a Dask source run: the scheduler resolved once per
source, the codebook shared with every task, and the fixed reduction tree
that sums the blocks' partial results in row order."""

from __future__ import annotations

import math
import time
from dataclasses import dataclass

import numpy as np

# Partial results summed per task of the reduction tree.
FAN_IN = 8


class Scheduler:
    """The scheduler that dask would use for the data, resolved once per
    DaskRows so that every pass of a fit runs on the same one."""

    def __init__(self, collection) -> None:
        import dask
        import dask.base

        self.get = dask.base.get_scheduler(collections=[collection])
        self.client = _client_of(self.get)
        if self.client is not None:
            self.kind = "distributed"
        else:
            import dask.local
            import dask.multiprocessing
            import dask.threaded

            self.kind = {
                dask.local.get_sync: "synchronous",
                dask.threaded.get: "threads",
                dask.multiprocessing.get: "processes",
            }.get(self.get, "other")

    def compute(self, *objects) -> tuple:
        import dask

        try:
            return dask.compute(*objects, scheduler=self.get)
        except _lost_worker_errors() as error:
            raise RuntimeError(
                f"The Dask cluster lost the workers that a task of quorvel "
                f"needed ({type(error).__name__}: {error}); the fit stops "
                f"without a result. Restart the lost workers and fit again."
            ) from error

    def persist(self, objects: list) -> list:
        import dask

        if self.client is not None:
            return list(self.client.persist(objects))
        return list(dask.persist(*objects, scheduler=self.get))

    def share(self, value):
        """``value`` once for every task of the next graph: scattered to
        every worker of a cluster, else one key of the graph."""
        import dask

        if self.client is None:
            return dask.delayed(value, pure=False)
        for attempt in range(3):
            try:
                return self.client.scatter(value, broadcast=True, hash=False)
            except OSError:
                # A worker that died a moment ago may still be listed.
                if attempt == 2:
                    raise
                time.sleep(0.5)
        raise AssertionError("unreachable")  # pragma: no cover

    def memory(self) -> float:
        """The memory that persisted data may share: the sum of the
        workers' memory limits (infinite where one has none), or what the
        machine has available for the local schedulers."""
        if self.client is not None:
            workers = self.client.scheduler_info(n_workers=-1)["workers"].values()
            limits = [worker.get("memory_limit") or 0 for worker in workers]
            if not limits:
                return 0.0
            return math.inf if 0 in limits else float(sum(limits))
        try:
            import psutil

            return float(psutil.virtual_memory().available)
        except ImportError:
            import os

            return float(os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"))

    def task_threads(self, n_jobs, threads: int) -> int:
        """Engine threads of each task: ``n_jobs`` where it is set;
        otherwise all of the estimator's on the synchronous scheduler, and 1
        where the scheduler runs tasks side by side (the worker's own
        threads are its parallelism, as the nanny's OMP_NUM_THREADS=1
        says)."""
        if n_jobs is not None or self.kind == "synchronous":
            return threads
        return 1


def _client_of(get):
    owner = getattr(get, "__self__", None)
    if owner is None:
        return None
    try:
        from distributed import Client
    except ImportError:
        return None
    return owner if isinstance(owner, Client) else None


def _lost_worker_errors() -> tuple:
    errors = []
    try:
        import distributed

        errors.append(distributed.KilledWorker)
        from distributed.client import FutureCancelledError

        errors.append(FutureCancelledError)
    except (ImportError, AttributeError):
        pass
    import asyncio
    import concurrent.futures

    errors += [asyncio.CancelledError, concurrent.futures.CancelledError]
    return tuple(errors)


@dataclass
class Shared:
    """What every task of an epoch reads: sent out once per epoch."""

    codebook: np.ndarray
    exponents: np.ndarray | None = None
    error_exponent: int = 0

    def __sizeof__(self) -> int:
        size = self.codebook.nbytes
        return size + (0 if self.exponents is None else self.exponents.nbytes)


def tree(parts: list, combine):
    """Delayed ``combine`` over consecutive groups of ``FAN_IN`` parts,
    level after level: a fixed order of reduction."""
    import dask

    while len(parts) > 1:
        parts = [
            dask.delayed(combine, pure=False)(*parts[begin : begin + FAN_IN])
            for begin in range(0, len(parts), FAN_IN)
        ]
    return parts[0]
