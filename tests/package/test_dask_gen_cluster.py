"""Training on gen_cluster's in-process clusters (each test a scheduler and
workers of its own in one event loop): the same bits as in memory, with a
worker closed during the fit. The fit is synchronous, so it runs in a thread
beside the loop. gen_cluster ends every subprocess it finds, so these tests
live apart from those of the LocalCluster of worker processes."""

import asyncio

import dask
import dask.array as da
import pytest
import quorvel._sources.dask
from distributed.utils_test import gen_cluster
from quorvel import SOM
from test_dask import PARAMS, REFERENCE, X, assert_same_fit


def fit_on(client, chunks, **settings):
    with dask.config.set({"scheduler": client, **settings}):
        return SOM(**PARAMS).fit(da.from_array(X, chunks=chunks))


@pytest.mark.parametrize("chunks", [1, 5, 48], ids=["rows_of_1", "rows_of_5", "one_chunk"])
def test_fit_bits_match_memory_in_gen_cluster(chunks):
    @gen_cluster(client=True, nthreads=[("127.0.0.1", 2), ("127.0.0.1", 1)])
    async def run(c, s, a, b):
        som = await asyncio.to_thread(fit_on, c, chunks)
        assert_same_fit(som, REFERENCE["pca"])
        # Both workers ran tasks where there were blocks for both.
        ran = [worker.state.executed_count > 0 for worker in (a, b)]
        assert ran == [True, True] if chunks < len(X) else any(ran)

    run()


@pytest.mark.parametrize("persist", [True, False], ids=["persisted", "streamed"])
def test_fit_survives_closed_worker_in_gen_cluster(persist):
    @gen_cluster(client=True, nthreads=[("127.0.0.1", 1), ("127.0.0.1", 1)])
    async def run(c, s, a, b):
        loop = asyncio.get_running_loop()
        original = quorvel._sources.dask.DaskRows.accumulate
        done = []

        def accumulate(self, *args, **kwargs):
            result = original(self, *args, **kwargs)
            done.append(1)
            if len(done) == 1:
                # Worker a goes, with its blocks and its copy of the codebook.
                asyncio.run_coroutine_threadsafe(a.close(), loop).result()
            return result

        quorvel._sources.dask.DaskRows.accumulate = accumulate
        try:
            som = await asyncio.to_thread(fit_on, c, 3, **{"quorvel.persist": persist})
        finally:
            quorvel._sources.dask.DaskRows.accumulate = original
        assert len(done) == PARAMS["epochs"]
        assert list(s.workers) == [b.address]
        assert_same_fit(som, REFERENCE["pca"])

    run()
