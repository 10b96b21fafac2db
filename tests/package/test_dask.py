"""Training on Dask: the same bits as the in-memory fit for every chunking,
worker and thread count and scheduler, on a LocalCluster of two worker
processes started here; lazy results; workers lost during a fit; the
in-memory errors for bad input. (gen_cluster's in-process clusters, which
end every subprocess they find, are in test_dask_gen_cluster.py.)"""

import contextlib
import multiprocessing
import os
import signal
import sys
import time
from concurrent.futures import ProcessPoolExecutor

import dask
import dask.array as da
import dask.dataframe as dd
import distributed
import numpy as np
import pandas as pd
import pytest
import quorvel._sources.dask
import scipy.sparse as sp
import zarr
from quorvel import SOM

RNG = np.random.default_rng(11)
# Three clusters of rows in five features, float64 (converted once to
# float32, as in memory).
X = np.concatenate(
    [RNG.normal(loc, 0.3, size=(n, 5)) for loc, n in ((-1.0, 17), (0.5, 20), (2.0, 11))]
)[RNG.permutation(48)]
PARAMS = dict(columns=4, rows=3, epochs=3, random_state=5)
CHUNKINGS = {
    "rows_of_1": 1,
    "rows_of_7": 7,
    "uneven": (5, 0, 30, 1, 12),
    "one_chunk": 48,
}


def fit_memory(data=X, **params):
    return SOM(**{**PARAMS, **params}).fit(data)


# The in-memory reference of each initialisation.
REFERENCE = {init: fit_memory(init=init) for init in ("pca", "sample", "random")}


def assert_same_fit(got, expected):
    """Every fitted attribute, bit for bit."""
    assert got.codebook_.dtype == np.float32
    np.testing.assert_array_equal(got.codebook_.view(np.uint32), expected.codebook_.view(np.uint32))
    np.testing.assert_array_equal(got.umatrix_.view(np.uint32), expected.umatrix_.view(np.uint32))
    assert isinstance(got.labels_, np.ndarray) and got.labels_.dtype == np.int64
    np.testing.assert_array_equal(got.labels_, expected.labels_)
    for key in ("sigma", "quantization_error"):
        np.testing.assert_array_equal(
            got.history_[key].view(np.uint64), expected.history_[key].view(np.uint64)
        )
    assert got.quantization_error_ == expected.quantization_error_
    assert got.topographic_error_ == expected.topographic_error_
    assert got.n_iter_ == expected.n_iter_
    assert got.n_features_in_ == expected.n_features_in_


@pytest.fixture(scope="module")
def cluster():
    """Two worker processes of one thread each, for the whole module."""
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as local, distributed.Client(local, set_as_default=False) as client:
        client.wait_for_workers(2)
        # The workers' first import of the package, outside the timed tests.
        client.run(__import__, "quorvel._sources.dask")
        yield client


@contextlib.contextmanager
def scheduled(target, **settings):
    """Dask's computations go to ``target``: a local scheduler's name, or a
    Client made the current one (as Client(...) makes itself the default;
    a Client object in dask's config would be sent to every worker that a
    nanny restarts, and cannot be)."""
    if isinstance(target, distributed.Client):
        with target.as_current(), dask.config.set(scheduler="dask.distributed", **settings):
            yield
    else:
        with dask.config.set(scheduler=target, **settings):
            yield


@pytest.fixture
def on_cluster(cluster):
    with scheduled(cluster):
        yield cluster


def reads_counter():
    """A map_blocks function that counts the blocks it is asked for (the
    synchronous scheduler runs it in this process)."""
    calls = []

    def read(block):
        if len(block):  # not dask's probe for the result's type
            calls.append(len(block))
        return block

    return read, calls


# ----------------------------------------------------------------------
# The same bits


@pytest.mark.parametrize("chunks", CHUNKINGS.values(), ids=CHUNKINGS.keys())
def test_fit_bits_match_memory_on_cluster_every_chunking(on_cluster, chunks):
    som = SOM(**PARAMS).fit(da.from_array(X, chunks=(chunks, 2)))
    assert_same_fit(som, REFERENCE["pca"])


@pytest.mark.parametrize("init", ["pca", "sample", "random"])
@pytest.mark.parametrize("persist", [True, False], ids=["persisted", "streamed"])
def test_fit_bits_match_memory_on_cluster_every_init(on_cluster, init, persist):
    with dask.config.set({"quorvel.persist": persist}):
        som = SOM(**PARAMS, init=init).fit(da.from_array(X, chunks=9))
    assert_same_fit(som, REFERENCE[init])


@pytest.mark.parametrize("scheduler", ["synchronous", "threads", "processes"])
def test_fit_bits_match_memory_local_schedulers(scheduler):
    settings = {"scheduler": scheduler}
    with contextlib.ExitStack() as stack:
        if scheduler == "processes":
            # One pool of two processes for every pass, rather than a pool
            # started per pass.
            context = multiprocessing.get_context("spawn")
            pool = stack.enter_context(ProcessPoolExecutor(2, mp_context=context))
            settings["pool"] = pool
        with dask.config.set(settings):
            data = da.from_array(X, chunks=(CHUNKINGS["uneven"], 5))
            som = SOM(**PARAMS, init="sample").fit(data)
    assert_same_fit(som, REFERENCE["sample"])


@pytest.mark.parametrize("n_jobs", [None, 2])
def test_fit_bits_match_memory_one_worker_two_threads(n_jobs):
    with distributed.LocalCluster(
        n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0"
    ) as local, distributed.Client(local, set_as_default=False) as client:
        with scheduled(client):
            som = SOM(**PARAMS, n_jobs=n_jobs).fit(da.from_array(X, chunks=4))
    assert_same_fit(som, REFERENCE["pca"])


@pytest.mark.parametrize("grid, topology, neighbourhood", [
    ("hexagonal", "toroid", "gaussian"),
    ("rectangular", "planar", "bubble"),
    ("rectangular", "toroid", "cut_gaussian"),
])  # fmt: skip
def test_fit_bits_match_memory_every_map_kind(on_cluster, grid, topology, neighbourhood):
    params = dict(grid=grid, topology=topology, neighbourhood=neighbourhood, rows=4)
    som = SOM(**PARAMS | params).fit(da.from_array(X, chunks=10))
    assert_same_fit(som, fit_memory(**params))


def test_fit_bits_match_memory_sparse_blocks(on_cluster):
    dense = np.where(RNG.random(X.shape) < 0.5, 0.0, X)
    blocks = da.from_array(dense, chunks=(8, 5)).map_blocks(sp.csr_matrix, dtype=dense.dtype)
    som = SOM(**PARAMS).fit(blocks)
    assert_same_fit(som, fit_memory(sp.csr_matrix(dense)))


def test_fit_bits_match_memory_epochs_zero_and_init_array(on_cluster):
    init = RNG.normal(size=(12, 5))
    for params in (dict(epochs=0), dict(init=init)):
        som = SOM(**PARAMS | params).fit(da.from_array(X, chunks=6))
        assert_same_fit(som, fit_memory(**params))


def test_fit_one_epoch_bubble_gives_float64_means_of_rows(on_cluster):
    # With a bubble narrower than the grid step, every node becomes the mean
    # of the rows whose BMU it is: checked against float64 means here.
    init = X[[0, 5, 10, 15, 20, 25, 30, 35, 40, 41, 42, 43]]
    som = SOM(**PARAMS | dict(epochs=1, neighbourhood="bubble", sigma_start=0.5, init=init))
    som.fit(da.from_array(X, chunks=7))
    x32 = X.astype(np.float32).astype(np.float64)
    start = init.astype(np.float32).astype(np.float64)
    bmu = np.argmin(((x32[:, None, :] - start[None]) ** 2).sum(axis=2), axis=1)
    expected = start.copy()
    for node in np.unique(bmu):
        expected[node] = x32[bmu == node].mean(axis=0)
    np.testing.assert_allclose(som.codebook_.reshape(12, 5), expected, rtol=1e-6, atol=1e-7)


# ----------------------------------------------------------------------
# Missing values: NaN under missing="ignore"


def with_holes():
    """X with NaN: scattered holes, a row without any value and one above
    the default share of missing values, all in blocks 0 to 3 of 7 rows."""
    holes = X.copy()
    holes[RNG.random(X.shape) < 0.15] = np.nan
    holes[3] = np.nan
    holes[11, :3] = np.nan
    holes[28:] = X[28:]  # later blocks complete
    return holes


HOLES = with_holes()
MISSING = dict(missing="ignore", max_missing=0.5)


@pytest.mark.parametrize("init", ["pca", "sample", "random"])
@pytest.mark.parametrize("chunks", [1, 7, 48], ids=["rows_of_1", "rows_of_7", "one_chunk"])
def test_fit_missing_values_bits_match_memory(on_cluster, init, chunks):
    expected = fit_memory(HOLES, init=init, **MISSING)
    assert expected.labels_.min() == -1
    som = SOM(**PARAMS, init=init, **MISSING).fit(da.from_array(HOLES, chunks=(chunks, 5)))
    assert_same_fit(som, expected)


def test_fitted_map_missing_values_bits_match_memory(on_cluster):
    som = fit_memory(HOLES, **MISSING)
    data = da.from_array(HOLES, chunks=(7, 5))
    np.testing.assert_array_equal(som.predict(data).compute(), som.predict(HOLES))
    np.testing.assert_array_equal(
        som.transform(data).compute().view(np.uint64), som.transform(HOLES).view(np.uint64)
    )
    assert som.quantization_error(data) == som.quantization_error(HOLES)
    assert som.topographic_error(data) == som.topographic_error(HOLES)


def test_fit_missing_ignore_without_nan_same_bits_as_error(on_cluster):
    som = SOM(**PARAMS, **MISSING).fit(da.from_array(X, chunks=(9, 5)))
    assert_same_fit(som, REFERENCE["pca"])


@pytest.mark.parametrize("method", ["fit", "predict", "quantization_error"])
def test_missing_ignore_infinite_same_error_as_memory(method):
    bad = HOLES.copy()
    bad[[30, 32], [1, 2]] = np.inf  # in one block, for the lazy predict
    fitted = fit_memory(HOLES, **MISSING)
    som = SOM(**PARAMS, **MISSING) if method == "fit" else fitted
    with pytest.raises(ValueError) as expected:
        getattr(som, method)(bad)
    assert "2 infinite values" in str(expected.value)
    with dask.config.set(scheduler="synchronous"):
        with pytest.raises(ValueError) as error:
            result = getattr(som, method)(da.from_array(bad, chunks=(10, 5)))
            if method == "predict":
                result.compute()
    assert str(error.value) == str(expected.value)


# ----------------------------------------------------------------------
# Where the data live


@pytest.mark.parametrize("persist, reads_per_block", [(True, 1), (False, 1 + 3 + 1)])
def test_fit_reads_blocks_once_when_persisted_each_pass_when_streamed(persist, reads_per_block):
    read, calls = reads_counter()
    blocks = da.from_array(X, chunks=8).map_blocks(read, dtype=X.dtype)
    with dask.config.set({"scheduler": "synchronous", "quorvel.persist": persist}):
        som = SOM(**PARAMS, init="random").fit(blocks)
    assert_same_fit(som, REFERENCE["random"])
    # A check pass, the epochs and the final pass; persisted: one read.
    assert len(calls) == reads_per_block * 6 and sum(calls) == reads_per_block * 48


def test_fit_bits_match_memory_from_zarr_store_streamed(on_cluster, tmp_path):
    store = zarr.open_array(str(tmp_path / "rows.zarr"), mode="w", shape=X.shape,
                            chunks=(10, 5), dtype=np.float32)  # fmt: skip
    store[:] = X.astype(np.float32)
    with dask.config.set({"quorvel.persist": False}):
        som = SOM(**PARAMS).fit(da.from_zarr(str(tmp_path / "rows.zarr")))
    assert_same_fit(som, REFERENCE["pca"])


def test_fit_bits_match_memory_from_parquet_files(on_cluster, tmp_path):
    frame = pd.DataFrame(X, columns=[f"m{i}" for i in range(5)])
    dd.from_pandas(frame, npartitions=4).to_parquet(str(tmp_path / "rows"), compute=True)
    som = SOM(**PARAMS).fit(dd.read_parquet(str(tmp_path / "rows")))
    expected = fit_memory(frame)
    assert_same_fit(som, expected)
    np.testing.assert_array_equal(som.feature_names_in_, expected.feature_names_in_)


def test_fit_bits_match_memory_dask_dataframe_mixed_dtypes(on_cluster):
    frame = pd.DataFrame({
        "a": X[:, 0], "b": (X[:, 1] * 1000).astype(np.int64),
        "c": X[:, 2].astype(np.float32), "d": X[:, 3], "e": X[:, 4] > 0,
    })  # fmt: skip
    som = SOM(**PARAMS).fit(dd.from_pandas(frame, npartitions=3))
    assert_same_fit(som, fit_memory(frame))


# ----------------------------------------------------------------------
# Using a fitted map on dask input


@pytest.mark.parametrize("chunks", [1, 13], ids=["rows_of_1", "rows_of_13"])
def test_predict_transform_lazy_dask_arrays_match_memory(on_cluster, chunks):
    som = REFERENCE["pca"]
    data = da.from_array(X, chunks=(chunks, 5))
    labels, distances = som.predict(data), som.transform(data)
    assert isinstance(labels, da.Array) and isinstance(distances, da.Array)
    assert labels.dtype == np.int64 and distances.dtype == np.float64
    assert labels.chunks == (data.chunks[0],)
    assert distances.chunks == (data.chunks[0], (12,))
    np.testing.assert_array_equal(labels.compute(), som.predict(X))
    np.testing.assert_array_equal(
        distances.compute().view(np.uint64), som.transform(X).view(np.uint64)
    )
    assert som.quantization_error(data) == som.quantization_error(X)
    assert som.topographic_error(data) == som.topographic_error(X)
    assert som.score(data) == som.score(X)


def test_predict_dask_dataframe_returns_dask_array(on_cluster):
    frame = pd.DataFrame(X, columns=list("vwxyz"))
    som = fit_memory(frame)
    labels = som.predict(dd.from_pandas(frame, npartitions=3))
    assert isinstance(labels, da.Array)
    np.testing.assert_array_equal(labels.compute(), som.predict(frame))


def test_fit_transform_on_dask_returns_dask_array(on_cluster):
    data = da.from_array(X, chunks=16)
    out = SOM(**PARAMS).fit_transform(data)
    assert isinstance(out, da.Array)
    np.testing.assert_array_equal(out.compute(), REFERENCE["pca"].transform(X))


# ----------------------------------------------------------------------
# Workers lost during a fit


def kill_after_epochs(monkeypatch, epochs, kill):
    """Calls ``kill`` once, right after the given number of epochs."""
    original = quorvel._sources.dask.DaskRows.accumulate
    done = []

    def accumulate(self, *args, **kwargs):
        result = original(self, *args, **kwargs)
        done.append(1)
        if len(done) == epochs:
            kill()
        return result

    monkeypatch.setattr(quorvel._sources.dask.DaskRows, "accumulate", accumulate)
    return done


@pytest.fixture(scope="module")
def spare_cluster():
    """Two more worker processes, for the tests that kill them (their
    nannies start new ones)."""
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
    ) as local, distributed.Client(local, set_as_default=False) as client:
        yield client


@pytest.fixture
def spare(spare_cluster):
    spare_cluster.wait_for_workers(2, timeout=60)
    yield spare_cluster


@pytest.mark.parametrize("persist", [True, False], ids=["persisted", "streamed"])
def test_fit_survives_killed_worker_process_same_bits(monkeypatch, spare, persist):
    address, pid = next(iter(spare.run(os.getpid).items()))

    def kill():
        os.kill(pid, signal.SIGKILL)
        # The scheduler sees the loss before the next epoch starts.
        deadline = time.monotonic() + 30
        while address in spare.scheduler_info(n_workers=-1)["workers"]:
            assert time.monotonic() < deadline
            time.sleep(0.05)

    done = kill_after_epochs(monkeypatch, 2, kill)
    with scheduled(spare, **{"quorvel.persist": persist}):
        som = SOM(**PARAMS | dict(epochs=4)).fit(da.from_array(X, chunks=5))
    assert len(done) == 4
    assert_same_fit(som, fit_memory(epochs=4))


def _set_allowed_failures(count, dask_scheduler=None):
    before = dask_scheduler.allowed_failures
    dask_scheduler.allowed_failures = count
    return before


def test_fit_fails_clearly_when_tasks_kill_workers(monkeypatch, spare, tmp_path):
    marker = str(tmp_path / "armed")

    def exit_when_armed(block, marker):
        # Kills its worker while the marker exists (nested, so that it
        # travels to the workers by value).
        if os.path.exists(marker):
            os._exit(1)
        return block

    def accumulate(self, *args, **kwargs):
        open(marker, "w").close()
        return original(self, *args, **kwargs)

    original = quorvel._sources.dask.DaskRows.accumulate
    monkeypatch.setattr(quorvel._sources.dask.DaskRows, "accumulate", accumulate)
    data = da.from_array(X, chunks=12).map_blocks(exit_when_armed, marker, dtype=X.dtype)
    som = SOM(**PARAMS)
    # The first worker lost under a task gives up on it.
    before = spare.run_on_scheduler(_set_allowed_failures, 0)
    try:
        with scheduled(spare, **{"quorvel.persist": False}):
            with pytest.raises(RuntimeError, match="lost the workers") as error:
                som.fit(data)
    finally:
        os.remove(marker)
        spare.run_on_scheduler(_set_allowed_failures, before)
    assert isinstance(error.value.__cause__, distributed.KilledWorker)
    assert not hasattr(som, "codebook_")


# ----------------------------------------------------------------------
# Bad input: the in-memory errors


def memory_error(data, method="fit"):
    som = SOM(**PARAMS) if method == "fit" else REFERENCE["pca"]
    with pytest.raises(Exception) as error:
        getattr(som, method)(data)
    return error


@pytest.mark.parametrize("scheduler", ["synchronous", "cluster"])
def test_fit_non_finite_same_error_as_memory(request, scheduler):
    bad = X.copy()
    bad[9, 3] = np.nan
    bad[30, 1] = np.inf
    bad[31, 0] = -np.inf
    expected = memory_error(bad)
    target = request.getfixturevalue("cluster") if scheduler == "cluster" else scheduler
    with scheduled(target):
        for chunks in (1, 10, 48):
            with pytest.raises(ValueError) as error:
                SOM(**PARAMS).fit(da.from_array(bad, chunks=(chunks, 5)))
            assert str(error.value) == str(expected.value)
            assert "3 NaN or infinite values" in str(error.value)


@pytest.mark.parametrize("method", ["quantization_error", "topographic_error", "score"])
def test_errors_of_fitted_map_non_finite_same_error_as_memory(method):
    bad = X.copy()
    bad[[4, 40], [2, 0]] = np.nan
    expected = memory_error(bad, method)
    with dask.config.set(scheduler="synchronous"):
        with pytest.raises(ValueError) as error:
            getattr(REFERENCE["pca"], method)(da.from_array(bad, chunks=7))
    assert str(error.value) == str(expected.value)


@pytest.mark.parametrize("method", ["predict", "transform"])
def test_predict_transform_non_finite_raise_on_compute(method):
    bad = X.copy()
    bad[20, 4] = np.nan
    expected = memory_error(bad, method)
    lazy = getattr(REFERENCE["pca"], method)(da.from_array(bad, chunks=7))
    with pytest.raises(ValueError) as error:
        lazy.compute(scheduler="synchronous")
    assert str(error.value) == str(expected.value)


@pytest.mark.parametrize("scheduler", ["synchronous", "cluster"])
def test_fit_non_numeric_same_error_as_memory(request, scheduler):
    text = X.astype(str)
    text[40, 2] = "forty"
    text[44, 1] = "forty-four"
    expected = memory_error(text)
    target = request.getfixturevalue("cluster") if scheduler == "cluster" else scheduler
    with scheduled(target):
        for chunks in (1, 41, 48):
            with pytest.raises(type(expected.value)) as error:
                SOM(**PARAMS).fit(da.from_array(text, chunks=(chunks, 5)))
            assert str(error.value) == str(expected.value)
        # Numbers as text and objects convert as in memory.
        for data in (X.astype(str), X.astype(object)):
            som = SOM(**PARAMS).fit(da.from_array(data, chunks=20))
            assert_same_fit(som, fit_memory(data))


def test_fit_non_numeric_dataframe_same_error_as_memory():
    frame = pd.DataFrame(X, columns=list("abcde")).astype({"c": object})
    frame.loc[33, "c"] = "x"
    expected = memory_error(frame)
    with dask.config.set(scheduler="synchronous"):
        with pytest.raises(type(expected.value)) as error:
            SOM(**PARAMS).fit(dd.from_pandas(frame, npartitions=4))
    assert str(error.value) == str(expected.value)


@pytest.mark.parametrize("method", ["fit", "predict", "quantization_error"])
def test_unknown_chunk_sizes_refused(method):
    data = da.from_array(X, chunks=10)
    data = data[data[:, 0] > 0]
    som = SOM(**PARAMS) if method == "fit" else REFERENCE["pca"]
    with pytest.raises(ValueError, match=r"unknown chunk sizes.*compute_chunk_sizes"):
        getattr(som, method)(data)
    if method == "fit":
        assert_same_fit(som.fit(data.compute_chunk_sizes()), fit_memory(X[X[:, 0] > 0]))


@pytest.mark.parametrize("data", [
    np.zeros((0, 5)), np.zeros((6, 0)), np.zeros((2, 3, 4)), X.astype(complex),
], ids=["no_rows", "no_features", "three_dims", "complex"])  # fmt: skip
def test_fit_bad_shapes_and_complex_same_error_as_memory(data):
    expected = memory_error(data)
    with pytest.raises(type(expected.value)) as error:
        SOM(**PARAMS).fit(da.from_array(data))
    first_line = str(expected.value).splitlines()[0]
    assert str(error.value).splitlines()[0] == first_line


@pytest.mark.parametrize("method", ["predict", "transform", "quantization_error"])
def test_fitted_map_wrong_feature_count_same_error_as_memory(method):
    expected = memory_error(X[:, :4], method)
    with pytest.raises(ValueError) as error:
        getattr(REFERENCE["pca"], method)(da.from_array(X[:, :4]))
    assert str(error.value) == str(expected.value)


def test_fit_dask_collection_other_than_arrays_refused():
    import dask.bag

    with pytest.raises(TypeError, match="dask arrays and dask DataFrames"):
        SOM(**PARAMS).fit(dask.bag.from_sequence([1, 2, 3]))


def test_dask_missing_names_install_command(monkeypatch):
    data = da.from_array(X, chunks=10)
    monkeypatch.setitem(sys.modules, "dask.array", None)
    with pytest.raises(ImportError, match=r"pip install quorvel\[dask\]"):
        SOM(**PARAMS).fit(data)


def test_package_imports_and_fits_without_dask(run_python):
    completed = run_python(
        "import sys\n"
        "for name in ('dask', 'distributed', 'zarr'):\n"
        "    sys.modules[name] = None\n"
        "import numpy as np\n"
        "from quorvel import SOM\n"
        "som = SOM(3, 2, epochs=2).fit(np.arange(40.0).reshape(20, 2))\n"
        "print(som.n_iter_)\n"
    )
    assert completed.stdout.strip() == "2"
