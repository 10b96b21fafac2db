"""Fixtures shared by the tests of _quorvel_wrap."""

import os

# Read by the OpenMP runtime when the module loads it, so it must be set
# before the first import: idle threads then sleep instead of spinning
# between the many small training calls, which matters on 2 cores.
os.environ.setdefault("OMP_WAIT_POLICY", "PASSIVE")

import pathlib  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402

import pytest  # noqa: E402

# The helper's assertions report their operands like those of the tests.
pytest.register_assert_rewrite("train_call")

TESTS = pathlib.Path(__file__).resolve().parent
REPOSITORY = TESTS.parent


@pytest.fixture(scope="session")
def peer_module_path():
    """Folder holding _quorvel_peer, a second module of the binding runtime
    (tests/peer_module), built once per session with CMake."""
    build = REPOSITORY / "build" / "peer-module"
    configure = [
        "cmake", "-S", str(TESTS / "peer_module"), "-B", str(build),
        f"-DPython_EXECUTABLE={sys.executable}", "-DCMAKE_BUILD_TYPE=Release",
    ]  # fmt: skip
    for command in (configure, ["cmake", "--build", str(build)]):
        subprocess.run(command, check=True, capture_output=True, text=True)
    return build


@pytest.fixture
def run_python(tmp_path):
    """Runs a script in a fresh interpreter, with the test helpers and any
    further folders on its path, and returns the completed process."""

    def run(script, *path, environment=None, check=True):
        script_file = tmp_path / "script.py"
        script_file.write_text(script)
        env = dict(os.environ, **(environment or {}))
        env["PYTHONPATH"] = os.pathsep.join(
            [str(TESTS), *map(str, path), env.get("PYTHONPATH", "")]
        )
        completed = subprocess.run(
            [sys.executable, "-W", "error", str(script_file)],
            capture_output=True, text=True, env=env, timeout=120,
        )  # fmt: skip
        if check and completed.returncode != 0:
            raise AssertionError(
                f"script failed ({completed.returncode}):\n{completed.stderr}"
            )
        return completed

    return run
