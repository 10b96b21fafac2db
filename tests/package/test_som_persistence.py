"""Saved maps: save and load, pickle, and files that are not saved maps."""

import gc
import io
import json
import pickle
import re
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
# Files that are not saved maps, and maps that cannot be right


def good_map(tmp_path):
    """The arrays and the bytes of a saved 3 x 2 map of 4 features."""
    SOM(3, 2, epochs=2).fit(data()).save(tmp_path / "good.npz")
    with np.load(tmp_path / "good.npz", allow_pickle=False) as archive:
        return {key: archive[key] for key in archive.files}, (tmp_path / "good.npz").read_bytes()


def npy_bytes(array):
    stream = io.BytesIO()
    np.save(stream, array)
    return stream.getvalue()


def zip_bytes(members):
    stream = io.BytesIO()
    with zipfile.ZipFile(stream, "w") as archive:
        for name, text in members.items():
            archive.writestr(name, text)
    return stream.getvalue()


def changed(**changes):
    """The good map's arrays with ``changes``: a value, None to drop a key,
    or a function of the good array."""

    def make(good, raw):
        arrays = dict(good)
        for key, change in changes.items():
            if change is None:
                del arrays[key]
            else:
                arrays[key] = change(good[key]) if callable(change) else change
        return arrays

    return make


def with_parameters(**overrides):
    return changed(parameters=lambda text: np.array(json.dumps({**json.loads(str(text)), **overrides})))


def with_value(index, value):
    def change(array):
        array = array.copy()
        array[index] = value
        return array

    return change


NOT_A_MAP = "is not a saved quorvel map"
INVALID = "is not a valid saved quorvel map: "
# (file, how it is made from the good map's arrays and bytes, what the message says)
BAD_FILES = [
    ("text file", lambda good, raw: b"columns,rows\n3,2\n", f"{NOT_A_MAP}: it is not an .npz"),
    ("empty file", lambda good, raw: b"", f"{NOT_A_MAP}: it is not an .npz"),
    ("truncated to 3 bytes", lambda good, raw: raw[:3], f"{NOT_A_MAP}: it is not an .npz"),
    ("truncated to half", lambda good, raw: raw[: len(raw) // 2], f"{NOT_A_MAP}: the archive is damaged"),
    ("single .npy", lambda good, raw: npy_bytes(good["codebook"]), f"{NOT_A_MAP}: it holds a single NumPy array"),
    ("zip of text files", lambda good, raw: zip_bytes({"format": "quorvel.SOM", "a.txt": "x"}),
     f"{NOT_A_MAP}: its 'format' is not a text"),
    ("foreign npz", lambda good, raw: {"a": np.arange(3), "b": np.eye(2)}, f"{NOT_A_MAP}: it has no 'format'"),
    ("other format", changed(format=np.array("something")), f"{NOT_A_MAP}: its format is 'something'"),
    ("unknown kind", changed(format=np.array("quorvel.Nothing")), "kind 'quorvel.Nothing', which this version"),
    ("other version", changed(format_version=np.array(99)), INVALID + "format version 99 is not 1"),
    *[(f"without {key}", changed(**{key: None}), INVALID + f"it lacks {key!r}") for key in (
        "parameters", "codebook", "umatrix", "n_features_in", "history_sigma", "n_iter")],
    ("labels without errors", changed(quantization_error=None),
     INVALID + "it has labels, topographic_error but lacks quantization_error"),
    ("parameters not JSON", changed(parameters=np.array("{columns: 3")), INVALID + "'parameters' is not JSON"),
    ("parameters a list", changed(parameters=np.array("[3, 2]")), INVALID + "'parameters' is not a JSON object"),
    ("unknown parameter", with_parameters(colums=3), INVALID + "its parameters do not fit SOM"),
    ("columns of 0", with_parameters(columns=0), "refused: The 'columns' parameter of SOM must be"),
    ("unknown grid", with_parameters(grid="triangular"), "refused: The 'grid' parameter of SOM must be"),
    ("odd hexagonal toroid", with_parameters(rows=3, topology="toroid"), "refused: A hexagonal toroid needs"),
    ("infinite width", with_parameters(sigma_start=float("inf")), "refused: The 'sigma_start' parameter"),
    ("codebook of wrong shape", changed(codebook=lambda a: a[:1]),
     INVALID + "'codebook' has shape (1, 3, 4), not (2, 3, 4) (rows=2, columns=3, features=4)"),
    ("codebook of NaN", changed(codebook=lambda a: np.full_like(a, np.nan)),
     INVALID + "'codebook' holds NaN or infinite values: 24 such values, the first nan at (0, 0, 0)"),
    ("codebook with infinity", changed(codebook=with_value((1, 2, 3), np.inf)),
     "'codebook' holds NaN or infinite values: 1 such value, the first inf at (1, 2, 3)"),
    ("codebook of integers", changed(codebook=lambda a: a.astype(np.int64)),
     INVALID + "'codebook' must hold floating-point numbers, not int64"),
    ("labels beyond the map", changed(labels=with_value(0, 99_999)),
     "'labels' holds 1 such value, the first 99999 at 0; a node of this 6-node map is 0 to 5"),
    ("labels below -1", changed(labels=with_value(5, -2)), "the first -2 at 5; a node of this 6-node map"),
    ("labels of floats", changed(labels=lambda a: a.astype(np.float64)), "'labels' must hold integers"),
    ("umatrix of wrong shape", changed(umatrix=lambda a: a.ravel()), "'umatrix' has shape (6,), not (2, 3)"),
    ("umatrix with NaN", changed(umatrix=with_value((0, 1), np.nan)), "'umatrix' holds 1 such value, the first nan"),
    ("history of wrong length", changed(history_sigma=lambda a: a[:1]), "'history_sigma' has shape (1,), not (2,) (epochs=2)"),
    ("history width of 0", changed(history_sigma=with_value(1, 0.0)), "'history_sigma' holds 1 such value, the first 0.0 at 1"),
    ("history error of NaN", changed(history_quantization_error=with_value(1, np.nan)),
     "'history_quantization_error' holds 1 such value, the first nan at 1"),
    ("error of NaN", changed(quantization_error=np.array(np.nan)), "'quantization_error' holds nan; errors are"),
    ("topographic error of 2", changed(topographic_error=np.array(2.0)), "'topographic_error' is 2.0, not a share"),
    ("negative epoch count", changed(n_iter=np.array(-1)), "'n_iter' holds -1"),
    ("names of wrong count", changed(feature_names_in=np.array(["a", "b"])), "'feature_names_in' has shape (2,), not (4,)"),
    # Each of these would load with allow_pickle=True: the values are fine.
    ("object array history_sigma", changed(history_sigma=lambda a: np.array(list(a), dtype=object)),
     INVALID + "'history_sigma' holds Python objects"),
    ("object array parameters", changed(parameters=lambda a: np.array([str(a)], dtype=object).reshape(())),
     INVALID + "'parameters' holds Python objects"),
    ("object array codebook", changed(codebook=lambda a: a.astype(object)), INVALID + "'codebook' holds Python objects"),
]  # fmt: skip


def write_bad_file(tmp_path, name):
    make = {case: make for case, make, _ in BAD_FILES}[name]
    contents = make(*good_map(tmp_path))
    path = tmp_path / "map.npz"
    if isinstance(contents, bytes):
        path.write_bytes(contents)
    else:
        np.savez(path, **contents)
    return path


@pytest.mark.parametrize(("name", "make", "message"), BAD_FILES, ids=[case[0] for case in BAD_FILES])
def test_load_refuses_file_that_is_no_right_map(name, make, message, tmp_path):
    path = write_bad_file(tmp_path, name)
    with pytest.raises(ValueError, match=re.escape(message)) as refused:
        load(path)
    assert str(refused.value).startswith(str(path))
    assert "pickle" not in str(refused.value)


def test_load_object_array_variants_would_load_with_pickle(tmp_path):
    # The object-array files hold valid values: only allow_pickle=False can
    # be what refuses them.
    for name, _, _ in BAD_FILES:
        if name.startswith("object array"):
            path = write_bad_file(tmp_path, name)
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
