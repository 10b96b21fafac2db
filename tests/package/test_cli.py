"""Tests of the quorvel command: the installed console script run in
subprocesses for what only a real process shows (exit status, standard
streams, a terminal, Ctrl-C), and quorvel.cli.main called in-process for the
many kinds of data and errors."""

import contextlib
import fcntl
import os
import pathlib
import pty
import resource
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import numpy as np
import pytest
import quorvel
from quorvel import cli
from quorvel.cli import _maps

REPOSITORY = pathlib.Path(__file__).resolve().parents[2]
IRIS = REPOSITORY / "demo" / "data" / "iris.csv"
NAMES = ["sepal_length", "sepal_width", "petal_length", "petal_width"]
SCRIPT = pathlib.Path(sys.executable).with_name("quorvel")
SMALL = ["--columns", "3", "--rows", "2", "--epochs", "2", "--quiet"]


def environment():
    return dict(
        os.environ, OMP_WAIT_POLICY="PASSIVE", PYTHONWARNINGS="error", COLUMNS="80"
    )


def run_script(*arguments, stdin=None, cwd=None, stdout=subprocess.PIPE, start=None):
    """Runs the installed console script and returns the completed process;
    ``start`` runs in the child before the script."""
    if not SCRIPT.exists():
        pytest.fail(f"no console script {SCRIPT}: install the package (pip install .)")
    return subprocess.run(
        [str(SCRIPT), *map(str, arguments)],
        input=stdin,
        check=False,
        stdout=stdout,
        stderr=subprocess.PIPE,
        env=environment(),
        cwd=cwd,
        timeout=300,
        preexec_fn=start,
    )


def iris_numbers():
    return np.loadtxt(IRIS, delimiter=",", skiprows=1, usecols=range(4))


def standardized(X):
    mean = X.mean(axis=0)
    scale = X.std(axis=0)
    return (X - mean) / scale, mean, scale


def one_line_error(completed):
    """The process's standard error, checked to be one line and no
    traceback."""
    error = completed.stderr.decode()
    assert "Traceback" not in error
    assert error.count("\n") == 1 and error.endswith("\n"), error
    return error


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """A 6 x 5 map trained by the console script on the standardized iris
    measurements, and the finished process."""
    folder = tmp_path_factory.mktemp("trained")
    path = folder / "map.npz"
    completed = run_script(
        "train", IRIS, "-o", path, "--drop", "species", "--standardize",
        "--columns", "6", "--rows", "5", "--epochs", "5",
    )  # fmt: skip
    assert completed.returncode == 0, completed.stderr.decode()
    return path, completed


def expected_map():
    X, _, _ = standardized(iris_numbers())
    return SOMS.setdefault("iris", quorvel.SOM(6, 5, epochs=5).fit(X))


SOMS = {}


def test_train_saves_map_equal_to_estimator_when_standardized(trained):
    path, completed = trained
    som = quorvel.load(path)
    expected = expected_map()
    np.testing.assert_array_equal(som.codebook_, expected.codebook_)
    np.testing.assert_array_equal(
        som.history_["quantization_error"], expected.history_["quantization_error"]
    )
    _, mean, scale = standardized(iris_numbers())
    with np.load(path, allow_pickle=False) as archive:
        np.testing.assert_array_equal(archive["cli_mean"], mean)
        np.testing.assert_array_equal(archive["cli_scale"], scale)
        assert archive["cli_feature_names"].tolist() == NAMES
        assert archive["cli_columns"].tolist() == [0, 1, 2, 3]
    # Not a terminal: a summary line and no progress bar.
    error = one_line_error(completed)
    assert "\r" not in error
    assert error.startswith(f"{path}: 6 x 5 hexagonal map, 150 rows, 4 features")
    assert completed.stdout == b""
    mask = os.umask(0)
    os.umask(mask)
    assert path.stat().st_mode & 0o777 == 0o666 & ~mask


def read_bmus(text):
    lines = text.splitlines()
    assert lines[0] == "node,x,y,distance"
    return np.array([[float(v) for v in line.split(",")] for line in lines[1:]])


@pytest.mark.parametrize("source", ["file", "standard input"])
def test_predict_gives_estimator_nodes_for_file_or_standard_input(
    trained, tmp_path, capsys, source
):
    path, _ = trained
    if source == "file":
        # In-process: the script's own streams are checked with stdin below.
        output = tmp_path / "bmus.csv"
        assert cli.main(["predict", str(path), str(IRIS), "-o", str(output)]) == 0
        text = output.read_text()
        assert capsys.readouterr() == ("", "")
    else:
        completed = run_script("predict", path, "-", stdin=IRIS.read_bytes())
        assert completed.returncode == 0, completed.stderr.decode()
        assert completed.stderr == b""
        text = completed.stdout.decode()
    table = read_bmus(text)
    X, _, _ = standardized(iris_numbers())
    nodes = expected_map().predict(X)
    np.testing.assert_array_equal(table[:, 0], nodes)
    np.testing.assert_array_equal(table[:, 1], nodes % 6)
    np.testing.assert_array_equal(table[:, 2], nodes // 6)
    vectors = expected_map().codebook_.reshape(30, 4).astype(np.float64)
    distances = np.array([np.linalg.norm(x - vectors[n]) for x, n in zip(X, nodes)])
    np.testing.assert_allclose(table[:, 3], distances, rtol=1e-8)


def test_info_prints_same_summary_from_python_m_and_main(trained, capsys):
    path, _ = trained
    module = subprocess.run(
        [sys.executable, "-m", "quorvel", "info", str(path)],
        check=False,
        capture_output=True,
        env=environment(),
        timeout=300,
    )
    assert module.returncode == 0 and module.stderr == b""
    assert cli.main(["info", str(path)]) == 0
    text = capsys.readouterr().out
    assert module.stdout.decode() == text
    som = quorvel.load(path)
    for expected in (
        "6 columns x 5 rows, hexagonal grid, planar",
        "5 completed of 5",
        "4: sepal_length, sepal_width, petal_length, petal_width",
        "standardized:       yes",
        "iris.csv, 150 rows",
        f"quantization error: {som.quantization_error_:.6g} (standardized data)",
        f"topographic error:  {som.topographic_error_:.6g}",
    ):
        assert expected in text, text


def test_plot_script_writes_png_with_labels(trained, tmp_path):
    pytest.importorskip("matplotlib")
    path, _ = trained
    picture = tmp_path / "umatrix.png"
    completed = run_script(
        "plot", path, IRIS, "-o", picture, "--labels", "species", "--dpi", "50"
    )
    assert completed.returncode == 0, completed.stderr.decode()
    assert completed.stderr == b""
    assert picture.read_bytes().startswith(b"\x89PNG")
    assert list(tmp_path.iterdir()) == [picture]


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (
            ["train", IRIS, "-o", "m.npz", "--columns", "0"],
            "--columns: 0 is less than 1",
        ),
    ],
)
def test_script_exits_2_in_one_line_when_usage_is_bad(tmp_path, arguments, message):
    completed = run_script(*arguments, cwd=tmp_path)
    assert completed.returncode == 2
    assert message in one_line_error(completed)
    assert list(tmp_path.iterdir()) == []


def test_script_exits_1_naming_column_when_not_numeric(tmp_path):
    completed = run_script("train", IRIS, "-o", "m.npz", cwd=tmp_path)
    assert completed.returncode == 1
    error = one_line_error(completed)
    assert f"{IRIS}: column 'species' is not numeric (line 2: 'setosa')" in error
    assert "--drop species" in error
    assert list(tmp_path.iterdir()) == []


def read_terminal(master, process, until=None, limit=120.0):
    """What the process wrote to the terminal: all of it, or up to the first
    appearance of ``until``."""
    output = b""
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the child closed the terminal
                break
            if not chunk:
                break
            output += chunk
            if until is not None and until in output:
                break
        elif process.poll() is not None:
            break
    return output


@contextlib.contextmanager
def on_terminal(arguments, cwd):
    """Runs the console script with its standard error on a terminal."""
    if not SCRIPT.exists():
        pytest.fail(f"no console script {SCRIPT}: install the package (pip install .)")
    master, terminal = pty.openpty()
    # A terminal 80 columns wide: one of no size gets an empty bar.
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    process = subprocess.Popen(
        [str(SCRIPT), *map(str, arguments)],
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=terminal,
        env=environment(),
        cwd=cwd,
    )
    os.close(terminal)
    try:
        yield master, process
    finally:
        if process.poll() is None:
            process.kill()
        process.wait(timeout=60)
        process.stdout.close()
        os.close(master)


@pytest.mark.parametrize("quiet", [False, True])
def test_progress_bar_shown_on_terminal_unless_quiet(tmp_path, quiet):
    arguments = ["train", IRIS, "-o", "m.npz", "--drop", "species", "--epochs", "7"]
    with on_terminal(arguments + ["--quiet"] * quiet, tmp_path) as (master, process):
        output = read_terminal(master, process)
        assert process.wait(timeout=60) == 0
    if quiet:
        assert output == b""
    else:
        assert b"7/7" in output and b"\r" in output, output
        assert b"m.npz: 10 x 10 hexagonal map" in output
    assert (tmp_path / "m.npz").is_file()


def test_interrupt_exits_130_and_leaves_no_file(tmp_path):
    rng = np.random.default_rng(0)
    np.save(tmp_path / "data.npy", rng.random((3000, 16)))
    arguments = [
        "train", "data.npy", "-o", "m.npz", "--columns", "30", "--rows", "30",
        "--epochs", "1000000",
    ]  # fmt: skip
    with on_terminal(arguments, tmp_path) as (master, process):
        started = read_terminal(master, process, until=b"/1000000")
        assert b"/1000000" in started, started
        process.send_signal(signal.SIGINT)
        rest = read_terminal(master, process)
        assert process.wait(timeout=60) == 130
    assert b"Traceback" not in started + rest
    assert rest.rstrip().endswith(b"quorvel: interrupted"), rest
    assert sorted(p.name for p in tmp_path.iterdir()) == ["data.npy"]


# In-process: quorvel.cli.main with the kinds of data and their errors.


def iris_files(folder):
    """The four iris measurements in every kind of DATA; each name maps to
    the path and the arguments that choose the measurements."""
    X = iris_numbers()
    header = ",".join(NAMES)
    files = {}
    np.savetxt(folder / "iris.csv", X, delimiter=",", header=header, comments="")
    files["csv"] = folder / "iris.csv", []
    np.savetxt(
        folder / "iris.tsv",
        X,
        delimiter="\t",
        header=header.replace(",", "\t"),
        comments="",
    )
    files["tsv"] = folder / "iris.tsv", []
    np.savetxt(folder / "plain.txt", X, delimiter=";")
    files["semicolons without header"] = folder / "plain.txt", []
    files["csv with a text column"] = IRIS, ["--drop", "species"]
    files["csv, columns by number"] = IRIS, ["--features", "1,2", "--features", "3,4"]
    np.save(folder / "iris.npy", X.astype(np.float32).astype(np.float64))
    files["npy"] = folder / "iris.npy", []
    np.savez(folder / "one.npz", measurements=X)
    files["npz of one array"] = folder / "one.npz", []
    np.savez(folder / "named.npz", X=X, y=np.arange(150))
    files["npz with X"] = folder / "named.npz", []
    return files


FORMATS = [
    "csv",
    "tsv",
    "semicolons without header",
    "csv with a text column",
    "csv, columns by number",
    "npy",
    "npz of one array",
    "npz with X",
    "parquet",
]


@pytest.mark.parametrize("kind", FORMATS)
def test_train_reads_every_kind_of_data_alike(tmp_path, kind):
    X = iris_numbers()
    if kind == "parquet":
        pa = pytest.importorskip("pyarrow")
        import pyarrow.parquet as pq

        table = pa.table({name: X[:, i] for i, name in enumerate(NAMES)})
        table = table.append_column("species", pa.array(["x"] * 150))
        pq.write_table(table, tmp_path / "iris.parquet")
        path, extra = tmp_path / "iris.parquet", ["--drop", "species"]
    else:
        path, extra = iris_files(tmp_path)[kind]
    if kind == "npy":
        X = X.astype(np.float32).astype(np.float64)
    output = tmp_path / "m.npz"
    assert cli.main(["train", str(path), "-o", str(output), *SMALL, *extra]) == 0
    expected = quorvel.SOM(3, 2, epochs=2).fit(X)
    np.testing.assert_array_equal(quorvel.load(output).codebook_, expected.codebook_)


@pytest.mark.parametrize(
    ("selection", "chosen"),
    [
        (["--features", "petal_width,sepal_length"], [3, 0]),
        (["--features", "2", "--features", "petal_length"], [1, 2]),
        (["--drop", "species,sepal_width"], [0, 2, 3]),
        (["--drop", "5", "--drop", "1"], [1, 2, 3]),
    ],
)
def test_train_uses_columns_chosen_by_name_or_number(tmp_path, selection, chosen):
    output = tmp_path / "m.npz"
    assert cli.main(["train", str(IRIS), "-o", str(output), *SMALL, *selection]) == 0
    expected = quorvel.SOM(3, 2, epochs=2).fit(iris_numbers()[:, chosen])
    np.testing.assert_array_equal(quorvel.load(output).codebook_, expected.codebook_)
    with np.load(output, allow_pickle=False) as archive:
        assert archive["cli_columns"].tolist() == chosen
        assert archive["cli_feature_names"].tolist() == [NAMES[i] for i in chosen]


def test_predict_picks_columns_by_name_when_reordered(trained, tmp_path, capsys):
    path, _ = trained
    X = iris_numbers()
    shuffled = tmp_path / "shuffled.csv"
    order = [2, 0, 3, 1]
    np.savetxt(
        shuffled,
        np.column_stack([X[:, order], np.ones(150)]),
        delimiter=",",
        header=",".join([NAMES[i] for i in order] + ["other"]),
        comments="",
    )
    assert cli.main(["predict", str(path), str(shuffled)]) == 0
    table = read_bmus(capsys.readouterr().out)
    np.testing.assert_array_equal(
        table[:, 0], expected_map().predict(standardized(X)[0])
    )


def test_predict_uses_names_of_map_when_fitted_on_dataframe(tmp_path, capsys):
    pandas = pytest.importorskip("pandas")
    frame = pandas.read_csv(IRIS)
    som = quorvel.SOM(3, 2, epochs=2).fit(frame[NAMES[::-1]])
    som.save(tmp_path / "m.npz")
    assert cli.main(["predict", str(tmp_path / "m.npz"), str(IRIS)]) == 0
    output = capsys.readouterr()
    assert output.err == ""
    expected = som.predict(frame[NAMES[::-1]])
    np.testing.assert_array_equal(read_bmus(output.out)[:, 0], expected)
    assert cli.main(["info", str(tmp_path / "m.npz")]) == 0
    assert ", ".join(NAMES[::-1]) in capsys.readouterr().out


def test_predict_picks_columns_by_position_when_no_header(tmp_path, capsys):
    X = iris_numbers()
    plain = tmp_path / "plain.csv"
    np.savetxt(plain, np.column_stack([np.ones(150), X]), delimiter=",")
    output = tmp_path / "m.npz"
    assert (
        cli.main(["train", str(plain), "-o", str(output), "--drop", "1", *SMALL]) == 0
    )
    assert (
        cli.main(["predict", str(output), str(plain), "-o", str(tmp_path / "b.npy")])
        == 0
    )
    expected = quorvel.SOM(3, 2, epochs=2).fit(X)
    np.testing.assert_array_equal(np.load(tmp_path / "b.npy"), expected.predict(X))


def test_missing_values_train_predict_and_plot_like_estimator(tmp_path, capsys):
    X = iris_numbers()[:40]
    X[1, 2] = X[5, 0] = np.nan
    X[7, :3] = np.nan  # three of four missing: no BMU
    data = tmp_path / "holes.csv"
    rows = [",".join("" if np.isnan(v) else repr(float(v)) for v in row) for row in X]
    rows[5] = rows[5].replace(",", "nan,", 1)  # NaN written out, as well as empty
    data.write_text("\n".join([",".join(NAMES), *rows]) + "\n")
    output = tmp_path / "m.npz"
    arguments = ["-o", str(output), "--missing", "ignore", "--standardize", *SMALL]
    assert cli.main(["train", str(data), *arguments]) == 0
    mean, scale = np.nanmean(X, axis=0), np.nanstd(X, axis=0)
    expected = quorvel.SOM(3, 2, epochs=2, missing="ignore").fit((X - mean) / scale)
    np.testing.assert_array_equal(quorvel.load(output).codebook_, expected.codebook_)

    assert cli.main(["predict", str(output), str(data)]) == 0
    lines = capsys.readouterr().out.splitlines()[1:]
    nodes = expected.predict((X - mean) / scale)
    assert nodes[7] == -1 and lines[7] == "-1,,,"
    assert [int(line.split(",")[0]) for line in lines] == nodes.tolist()
    # The distance over the observed values, scaled up to all four.
    difference = (X[1] - mean) / scale - expected.codebook_.reshape(6, 4)[nodes[1]]
    observed = difference[~np.isnan(difference)]
    assert float(lines[1].split(",")[3]) == pytest.approx(
        np.sqrt(4 / 3 * np.sum(observed**2)), rel=1e-8
    )
    pytest.importorskip("matplotlib")
    picture = tmp_path / "hits.png"
    assert cli.main(["plot", str(output), str(data), "--kind", "hits", "-o", str(picture)]) == 0


def test_plot_draws_planes_in_data_units_when_standardized(trained):
    path, _ = trained
    map_file = _maps.read_map(str(path))
    _, mean, scale = standardized(iris_numbers())
    shown = map_file.display_map()
    np.testing.assert_allclose(
        shown.codebook_, map_file.som.codebook_.astype(np.float64) * scale + mean
    )
    assert shown is not map_file.som
    np.testing.assert_array_equal(map_file.som.codebook_, expected_map().codebook_)


@pytest.mark.parametrize(
    "arguments",
    [
        ["--kind", "umatrix"],
        ["--kind", "planes"],
        ["DATA", "--kind", "hits"],
        ["DATA", "--kind", "hits", "--labels", "species", "--label-kind", "majority"],
        ["DATA", "--labels", "5"],
    ],
    ids=["umatrix", "planes", "hits", "hits with majority labels", "labels by number"],
)
def test_plot_writes_picture_for_each_kind(trained, tmp_path, arguments):
    pytest.importorskip("matplotlib")
    import matplotlib.image

    path, _ = trained
    picture = tmp_path / "picture.png"
    arguments = [str(IRIS) if a == "DATA" else a for a in arguments]
    assert (
        cli.main(["plot", str(path), *arguments, "-o", str(picture), "--dpi", "40"])
        == 0
    )
    image = matplotlib.image.imread(picture)
    assert image.ndim == 3 and image.shape[0] > 50 and image.shape[1] > 50
    assert len(np.unique(image.reshape(-1, image.shape[2]), axis=0)) > 10
    assert [p.name for p in tmp_path.iterdir()] == ["picture.png"]


def write(folder, name, content):
    path = folder / name
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)
    return path


BAD_DATA = [
    ("a,b\n1,2\n3,4\n5,six\n", "line 4, column 'b': 'six' is not a number"),
    ("a,b,c\n1,2,3\n4,,6\n", "line 3, column 'b': empty"),
    ("a,b,c\n1,2,3\n4,5\n", "line 3 has 2 fields, the header has 3"),
    ("1,2,3\n4,5\n", "line 2 has 2 fields, the first line has 3"),
    ("a,b\n1,2\n3,nan\n", "line 3, column 'b': nan is not a finite number (1 such value "),
    ("a\tb\n1\t2\n3\tinf\n", "line 3, column 'b': inf is not a finite number"),
    ("1,2\n3,-inf\n", "line 2, column 2: -inf is not a finite number"),
    ("a,b\n1,2\n3,1e300\n", "line 3, column 'b': 1e+300 is beyond float32's range"),
    ("1,2\n-4e38,3\n", "line 2, column 1: -4e+38 is beyond float32's range"),
    ("1,,3\n4,5,6\n", "line 1, column 2: empty"),  # data, not a header
    ("", "no data (the file is empty)"),
    ("a,b\n", "a header line but no rows of data"),
    (b"\xff\xfe\x00garbage", "neither UTF-8 text"),
]


@pytest.mark.parametrize(("content", "message"), BAD_DATA)
def test_train_exits_1_naming_place_when_text_is_bad(
    tmp_path, capsys, content, message
):
    data = write(tmp_path, "data.csv", content)
    assert cli.main(["train", str(data), "-o", str(tmp_path / "m.npz")]) == 1
    error = capsys.readouterr().err
    assert error.startswith(f"quorvel: {data}: {message}"), error
    assert error.count("\n") == 1
    assert not (tmp_path / "m.npz").exists()


def bad_arrays(folder):
    np.save(folder / "cube.npy", np.zeros((2, 2, 2)))
    np.save(folder / "words.npy", np.array([["a", "b"]]))
    np.savez(folder / "two.npz", a=np.zeros((2, 2)), b=np.ones((2, 2)))
    np.save(folder / "hole.npy", np.array([[1.0, 2.0], [np.nan, 3.0]]))
    np.save(folder / "complex.npy", np.ones((3, 2)) + 1j)
    return {
        "cube.npy": "the array has 3 dimensions",
        "words.npy": "the array holds <U1 values, not numbers",
        "two.npz": "holds the arrays a, b; expected one array, or one named X",
        "hole.npy": "row 2, column 1: nan is not a finite number",
        "complex.npy": "complex values are not supported\n",
    }


@pytest.mark.parametrize(
    "name", ["cube.npy", "words.npy", "two.npz", "hole.npy", "complex.npy"]
)
def test_train_exits_1_naming_problem_when_array_is_bad(tmp_path, capsys, name):
    message = bad_arrays(tmp_path)[name]
    data = tmp_path / name
    assert cli.main(["train", str(data), "-o", str(tmp_path / "m.npz")]) == 1
    error = capsys.readouterr().err
    assert error.startswith(f"quorvel: {data}: {message}") and error.count("\n") == 1


def test_train_exits_1_naming_column_when_parquet_text(tmp_path, capsys):
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    pq.write_table(
        pa.table({"a": [1.0, 2.0], "name": ["x", "y"]}), tmp_path / "t.parquet"
    )
    data = tmp_path / "t.parquet"
    assert cli.main(["train", str(data), "-o", str(tmp_path / "m.npz")]) == 1
    assert capsys.readouterr().err.startswith(
        f"quorvel: {data}: column 'name' is not numeric (of type string)"
    )


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (["train", "nowhere.csv", "-o", "m.npz"], "nowhere.csv: no such file"),
        (["predict", "IRIS", "IRIS"], "not a map file"),
        (["info", "nowhere.npz"], "nowhere.npz: no such map file"),
        (
            ["predict", "MAP", "SHORT"],
            "no column 'petal_width', which the map was trained on",
        ),
        (
            ["train", "IRIS", "-o", "no/such/folder/m.npz", "--drop", "species"],
            "no folder",
        ),
    ],
)
def test_commands_exit_1_naming_file_when_it_cannot_be_used(
    trained, tmp_path, capsys, monkeypatch, arguments, message
):
    short = write(
        tmp_path, "short.csv", "sepal_length,sepal_width,petal_length\n1,2,3\n"
    )
    replace = {"IRIS": str(IRIS), "MAP": str(trained[0]), "SHORT": str(short)}
    arguments = [replace.get(a, a) for a in arguments]
    monkeypatch.chdir(tmp_path)
    assert cli.main(arguments) == 1
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1, error


@pytest.mark.parametrize(
    ("arguments", "message"),
    [
        (
            ["train", "IRIS", "-o", "m.npz", "--rows", "5", "--topology", "toroid"],
            "--rows: a hexagonal toroid needs an even number of rows, got 5",
        ),
        (
            ["train", "IRIS", "-o", "m.npz", "--sigma-start", "-1"],
            "--sigma-start: -1 is not a positive number",
        ),
        (["train", "IRIS", "-o", "m.npz", "--jobs", "0"], "--jobs: 0: give a number"),
        # Checked before the data are read, from the table of parameters.
        (
            ["train", "nowhere.csv", "-o", "m.npz", "--columns", "100000",
             "--rows", "100000"],
            "--columns, --rows: The map has 10000000000 nodes",
        ),  # fmt: skip
        (
            ["train", "nowhere.csv", "-o", "m.npz", "--seed", "-1"],
            "--seed: -1: give a number from 0 to 2**32 - 1",
        ),
        (
            ["train", "nowhere.csv", "-o", "m.npz", "--max-missing", "2"],
            "--max-missing: 2: give a number from 0 to 1",
        ),
        (["plot", "MAP", "-o", "x.bmpq"], "-o: cannot tell the picture format"),
        (["plot", "MAP", "-o", "x.png", "--kind", "hits"], "--kind hits: needs DATA"),
        (["plot", "MAP", "-o", "x.png", "--labels", "species"], "--labels: needs DATA"),
        (["predict", "MAP", "IRIS", "--features", "nothing"], "--features: "),
        (
            ["train", "IRIS", "-o", "m.npz", "--features", "petals"],
            "no column 'petals'",
        ),
        (
            ["train", "IRIS", "-o", "m.npz", "--drop", "species", "--features", "1"],
            "--features: not allowed with argument --drop",
        ),
        (["frobnicate"], "invalid choice: 'frobnicate'"),
        (["train", "IRIS"], "the following arguments are required: -o/--output"),
    ],
)
def test_commands_exit_2_naming_option_when_usage_is_bad(
    trained, tmp_path, capsys, monkeypatch, arguments, message
):
    if arguments[0] == "plot":
        pytest.importorskip("matplotlib")
    replace = {"IRIS": str(IRIS), "MAP": str(trained[0])}
    arguments = [replace.get(a, a) for a in arguments]
    monkeypatch.chdir(tmp_path)
    try:
        status = cli.main(arguments)
    except SystemExit as stop:  # argparse's own errors
        status = stop.code
    assert status == 2
    error = capsys.readouterr().err
    assert message in error and error.count("\n") == 1, error
    assert list(tmp_path.iterdir()) == []


def limit_file_size():
    # Writes beyond the limit fail with EFBIG and no file name, as on a full
    # disk; Python ignores the signal that would otherwise end the process.
    resource.setrlimit(resource.RLIMIT_FSIZE, (1000, resource.RLIM_INFINITY))


@pytest.mark.parametrize(
    ("command", "output", "start"),
    [
        ("train", "folder", None),
        ("train", "/proc/m.npz", None),  # a folder where no file can be made
        ("train", "m.npz", limit_file_size),
        ("predict", "/dev/full", None),  # standard output on a full disk
    ],
)
def test_commands_exit_1_naming_output_when_it_cannot_be_written(
    trained, tmp_path, command, output, start
):
    (tmp_path / "folder").mkdir()
    if command == "train":
        arguments = ["train", IRIS, "-o", output, "--drop", "species", *SMALL]
        named, stdout = output, os.devnull
    else:
        arguments = ["predict", trained[0], IRIS]
        named, stdout = "standard output", output
    with open(stdout, "wb") as stream:
        completed = run_script(*arguments, cwd=tmp_path, stdout=stream, start=start)
    assert completed.returncode == 1
    assert one_line_error(completed).startswith(f"quorvel: {named}: cannot write: ")
    assert [p.name for p in tmp_path.rglob("*")] == ["folder"]


@pytest.mark.parametrize("existing", [False, True])
def test_output_left_as_it_was_when_interrupted_while_writing(tmp_path, existing):
    target = tmp_path / "out.csv"
    if existing:
        target.write_text("before\n")
    with pytest.raises(KeyboardInterrupt), _maps.atomic_output(str(target)) as temporary:
        pathlib.Path(temporary).write_text("half")
        raise KeyboardInterrupt
    if existing:
        assert target.read_text() == "before\n"
        assert list(tmp_path.iterdir()) == [target]
    else:
        assert list(tmp_path.iterdir()) == []
