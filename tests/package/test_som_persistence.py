"""Saved maps: save and load, pickle, and files that are not saved maps."""

import gc
import pickle
import zipfile

import numpy as np
import pandas as pd
import pytest
from quorvel import SOM, load

import som_reference as ref


def data(seed=0):
    return ref.clustered_data(80, 4, 6, seed=seed)


def fitted_estimators():
    X = data()
    init = np.random.default_rng(2).normal(size=(3, 5, 4))
    frame = pd.DataFrame(X, columns=["alpha", "beta", "gamma", "delta"])
    return {
        "defaults": (SOM(5, 3, epochs=3), X),
        "init array": (SOM(5, 3, epochs=2, init=init, grid="rectangular", topology="toroid"), X),
        "DataFrame": (SOM(5, 3, epochs=2, neighbourhood="cut_gaussian", sigma_start=2.5), frame),
        "seeded": (SOM(4, 4, epochs=2, init="random", random_state=9, cooling="exponential",
                       sigma_end=0.5, n_jobs=1), X),  # fmt: skip
        "no epochs": (SOM(2, 2, epochs=0, init="sample", random_state=1), X),
        "one node": (SOM(1, 1, epochs=1), X),
    }


CASES = sorted(fitted_estimators())


def assert_same_params(a, b):
    """Same parameters; an init array with its own dtype and values."""
    pa, pb = a.get_params(), b.get_params()
    assert sorted(pa) == sorted(pb)
    for name in pa:
        if isinstance(pa[name], np.ndarray):
            assert pb[name].dtype == pa[name].dtype, name
            np.testing.assert_array_equal(pb[name], pa[name])
        else:
            assert pb[name] == pa[name], name


@pytest.mark.parametrize("case", CASES)
def test_save_load_round_trip_keeps_everything(case, tmp_path):
    estimator, X = fitted_estimators()[case]
    estimator.fit(X)
    path = tmp_path / "map.npz"
    estimator.save(path)
    loaded = load(path)
    assert type(loaded) is SOM
    ref.assert_same_bits(ref.fitted_state(loaded), ref.fitted_state(estimator))
    assert_same_params(estimator, loaded)
    Y = data(seed=5)
    if isinstance(X, pd.DataFrame):
        Y = pd.DataFrame(Y, columns=X.columns)
        assert loaded.feature_names_in_.tolist() == list(X.columns)
    np.testing.assert_array_equal(loaded.predict(Y), estimator.predict(Y))
    assert loaded.transform(Y).tobytes() == estimator.transform(Y).tobytes()
    assert loaded.quantization_error(Y) == estimator.quantization_error(Y)
    assert loaded.topographic_error(Y) == estimator.topographic_error(Y)
    # The loaded estimator refits to the same bits.
    ref.assert_same_bits(ref.fitted_state(loaded.fit(X)), ref.fitted_state(estimator.fit(X)))


def test_save_load_keeps_init_array_values(tmp_path):
    init = np.random.default_rng(0).normal(size=(6, 4)) * 3
    estimator = SOM(3, 2, epochs=2, init=init).fit(data())
    estimator.save(tmp_path / "map.npz")
    loaded = load(tmp_path / "map.npz")
    assert isinstance(loaded.init, np.ndarray)
    assert loaded.init.dtype == init.dtype
    np.testing.assert_array_equal(loaded.init, init)


def test_save_adds_npz_suffix_and_accepts_str(tmp_path):
    estimator = SOM(3, 2, epochs=1).fit(data())
    estimator.save(str(tmp_path / "map"))
    loaded = load(str(tmp_path / "map.npz"))
    ref.assert_same_bits(ref.fitted_state(loaded), ref.fitted_state(estimator))


def test_save_random_state_instance_loads_as_none(tmp_path):
    estimator = SOM(3, 2, epochs=1, init="random", random_state=np.random.RandomState(0)).fit(data())
    estimator.save(tmp_path / "map.npz")
    loaded = load(tmp_path / "map.npz")
    assert loaded.random_state is None
    ref.assert_same_bits(ref.fitted_state(loaded), ref.fitted_state(estimator))


def test_saved_file_loads_without_pickle(tmp_path):
    estimator, X = fitted_estimators()["DataFrame"]
    estimator.fit(X).save(tmp_path / "map.npz")
    with np.load(tmp_path / "map.npz", allow_pickle=False) as archive:
        for key in archive.files:
            assert archive[key].dtype != object, key


@pytest.mark.parametrize("case", CASES)
def test_pickle_round_trip_keeps_everything(case):
    estimator, X = fitted_estimators()[case]
    estimator.fit(X)
    copy = pickle.loads(pickle.dumps(estimator))
    ref.assert_same_bits(ref.fitted_state(copy), ref.fitted_state(estimator))
    assert_same_params(estimator, copy)
    np.testing.assert_array_equal(copy.predict(X), estimator.labels_)


def test_pickle_unfitted_estimator_fits_same_bits():
    X = data()
    copy = pickle.loads(pickle.dumps(SOM(4, 3, epochs=2)))
    ref.assert_same_bits(ref.fitted_state(copy.fit(X)), ref.fitted_state(SOM(4, 3, epochs=2).fit(X)))


# ----------------------------------------------------------------------
# Files that are not saved maps


def saved_arrays(tmp_path):
    estimator = SOM(3, 2, epochs=1).fit(data())
    estimator.save(tmp_path / "good.npz")
    with np.load(tmp_path / "good.npz", allow_pickle=False) as archive:
        return {key: archive[key] for key in archive.files}


def write_variant(tmp_path, name, arrays):
    path = tmp_path / f"{name}.npz"
    np.savez(path, **arrays)
    return path


def bad_files(tmp_path):
    """name -> path of a file that load must refuse."""
    good = saved_arrays(tmp_path)
    raw = (tmp_path / "good.npz").read_bytes()
    files = {}
    text = tmp_path / "text.npz"
    text.write_text("columns,rows\n3,2\n")
    files["text file"] = text
    empty = tmp_path / "empty.npz"
    empty.write_bytes(b"")
    files["empty file"] = empty
    # A file cut short before its zip magic (one cut after it is left to a
    # separate case).
    short = tmp_path / "short.npz"
    short.write_bytes(raw[:3])
    files["truncated to 3 bytes"] = short
    files["foreign npz"] = write_variant(tmp_path, "foreign", {"a": np.arange(3), "b": np.eye(2)})
    files["other format"] = write_variant(tmp_path, "other", {**good, "format": np.array("something")})
    files["other version"] = write_variant(tmp_path, "version", {**good, "format_version": np.array(99)})
    for key in ("parameters", "codebook", "umatrix", "n_features_in", "history_sigma", "n_iter"):
        files[f"without {key}"] = write_variant(
            tmp_path, f"no-{key}", {k: v for k, v in good.items() if k != key}
        )
    files["codebook of wrong shape"] = write_variant(
        tmp_path, "shape", {**good, "codebook": good["codebook"][:1]}
    )
    files["umatrix of wrong shape"] = write_variant(
        tmp_path, "umatrix", {**good, "umatrix": good["umatrix"].ravel()}
    )
    files["parameters not JSON"] = write_variant(
        tmp_path, "json", {**good, "parameters": np.array("{columns: 3")}
    )
    files["unknown parameter"] = write_variant(
        tmp_path, "unknown", {**good, "parameters": np.array('{"colums": 3}')}
    )
    # Each of these would load with allow_pickle=True: the values are fine.
    for key, value in [
        ("history_sigma", np.array(list(good["history_sigma"]), dtype=object)),
        ("parameters", np.array([str(good["parameters"])], dtype=object).reshape(())),
        ("codebook", good["codebook"].astype(object)),
    ]:
        files[f"object array {key}"] = write_variant(tmp_path, f"object-{key}", {**good, key: value})
    return files


BAD_FILES = [
    "text file", "empty file", "truncated to 3 bytes", "foreign npz",
    "other format", "other version", "without parameters", "without codebook", "without umatrix",
    "without n_features_in", "without history_sigma", "without n_iter", "codebook of wrong shape",
    "umatrix of wrong shape", "parameters not JSON", "unknown parameter",
    "object array history_sigma", "object array parameters", "object array codebook",
]  # fmt: skip


@pytest.mark.parametrize("name", BAD_FILES)
def test_load_refuses_file_that_is_not_saved_map(name, tmp_path):
    path = bad_files(tmp_path)[name]
    with pytest.raises(ValueError):
        load(path)


def test_load_object_array_variants_would_load_with_pickle(tmp_path):
    # The object-array files hold valid values: only allow_pickle=False can
    # be what refuses them.
    for name in BAD_FILES:
        if name.startswith("object array"):
            path = bad_files(tmp_path)[name]
            with np.load(path, allow_pickle=True) as archive:
                for key in archive.files:
                    archive[key]
            with zipfile.ZipFile(path) as archive:
                assert archive.testzip() is None


def test_load_missing_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        load(tmp_path / "nothing.npz")


def test_save_keeps_extra_arrays_that_load_ignores(tmp_path):
    from quorvel._io import save

    estimator = SOM(3, 2, epochs=1).fit(data())
    save(estimator, tmp_path / "map.npz", scaling=np.arange(4.0))
    loaded = load(tmp_path / "map.npz")
    ref.assert_same_bits(ref.fitted_state(loaded), ref.fitted_state(estimator))
    with np.load(tmp_path / "map.npz") as archive:
        np.testing.assert_array_equal(archive["scaling"], np.arange(4.0))
    with pytest.raises(ValueError, match="codebook"):
        save(estimator, tmp_path / "other.npz", codebook=np.zeros(3))


def _saved(tmp_path):
    X = np.random.default_rng(0).normal(size=(40, 3)).astype(np.float32)
    SOM(3, 2, epochs=1).fit(X).save(tmp_path / "good.npz")
    return (tmp_path / "good.npz").read_bytes()


def test_load_npy_file_raises_value_error(tmp_path):
    np.save(tmp_path / "array.npy", np.arange(5))
    with pytest.raises(ValueError, match="not an .npz archive"):
        load(tmp_path / "array.npy")


@pytest.mark.parametrize("fraction", [0.3, 0.9])
def test_load_truncated_file_raises_value_error_and_closes_it(fraction, tmp_path):
    raw = _saved(tmp_path)
    path = tmp_path / "truncated.npz"
    path.write_bytes(raw[: int(len(raw) * fraction)])
    with pytest.raises(ValueError):
        load(path)
    gc.collect()  # an unclosed file shows as a ResourceWarning (an error here)
