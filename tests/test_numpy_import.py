"""The import of NumPy's C API when _quorvel_wrap is imported: every failed
check prints its cause to standard error and makes the import fail with one
ImportError. Each case runs in a fresh interpreter with a fake API table."""

import pytest

IMPORT_FAILED = "ImportError: numpy.core.multiarray failed to import"

# (setup code run before the import, the cause printed to standard error)
FAILURES = {
    "numpy missing": (
        "sys.modules['numpy'] = None",
        IMPORT_FAILED),
    "no API attribute": (
        "fakes.install()",
        "AttributeError: _ARRAY_API not found"),
    "API not a capsule": (
        "fakes.install(_ARRAY_API=object())",
        "RuntimeError: _ARRAY_API is not PyCapsule object"),
    "API capsule with a name": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x2000000, 0x12), b'numpy.api'))",
        "RuntimeError: _ARRAY_API is NULL pointer"),
    "NumPy 1.x ABI": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x1000009, 0x12)))",
        "RuntimeError: module compiled against ABI version 2000000 but this "
        "version of numpy is 1000009"),
    "newer ABI": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x3000000, 0x12)))",
        "RuntimeError: module compiled against ABI version 2000000 but this "
        "version of numpy is 3000000"),
    "API version 9": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x2000000, 9)))",
        "RuntimeError: module compiled against API version 12 but this "
        "version of numpy is 9"),
    "API version of NumPy 1.25": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x2000000, 0x11)))",
        "RuntimeError: module compiled against API version 12 but this "
        "version of numpy is 11"),
    "unknown byte order": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x2000000, 0x12, byte_order=0)))",
        "RuntimeError: FATAL: module compiled as unknown endian"),
    "big-endian NumPy": (
        "fakes.install(_ARRAY_API=fakes.capsule("
        "fakes.api_table(0x2000000, 0x12, byte_order=2)))",
        "RuntimeError: FATAL: module compiled as little endian, but "
        "detected different endianness at runtime"),
}  # fmt: skip

IMPORT_SCRIPT = """
import sys
import numpy_api_fakes as fakes
{setup}
try:
    import _quorvel_wrap
except ImportError as error:
    print(type(error).__name__, error, sep=": ")
else:
    print("imported")
print("_quorvel_wrap" in sys.modules, "swig_runtime_data4" in sys.modules)
"""


@pytest.mark.parametrize("setup, cause", FAILURES.values(),
                         ids=FAILURES.keys())
def test_numpy_import_failure_prints_cause_and_raises(run_python, setup,
                                                      cause):
    completed = run_python(IMPORT_SCRIPT.format(setup=setup))
    assert completed.stdout.splitlines() == [IMPORT_FAILED, "False True"]
    assert completed.stderr.splitlines()[-1] == cause


@pytest.mark.parametrize("feature_version", [0x12, 0x15, 0x40])
def test_numpy_import_accepts_same_abi_and_newer_api(run_python,
                                                     feature_version):
    setup = (f"fakes.install(_ARRAY_API=fakes.capsule("
             f"fakes.api_table(0x2000000, {feature_version})))")
    completed = run_python(IMPORT_SCRIPT.format(setup=setup))
    assert completed.stdout.splitlines() == ["imported", "True True"]
    assert completed.stderr == ""


def test_numpy_import_falls_back_to_internal_module_name(run_python):
    # A NumPy without the old module name: the API comes from its new name,
    # and training works through it.
    completed = run_python("""
import sys
sys.modules["numpy.core.multiarray"] = None
import _quorvel_wrap
from train_call import TrainCall
call = TrainCall()
call.run()
print("numpy.core.multiarray" in sys.modules and
      sys.modules["numpy.core.multiarray"] is None,
      (call["bmus"] >= 0).all())
""")
    assert completed.stdout.split() == ["True", "True"]
