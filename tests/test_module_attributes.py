"""What importing _quorvel_wrap gives Python: a module with exactly two
functions, no documentation strings, the NumPy API module and the binding
runtime's registry module loaded, and no warning."""

import subprocess
import sys
import types

import _quorvel_wrap


def test_module_attributes_are_the_two_functions():
    public = {name for name in dir(_quorvel_wrap) if not name.startswith("__")}
    assert public == {"SWIG_PyInstanceMethod_New", "train"}
    assert _quorvel_wrap.__doc__ is None
    assert _quorvel_wrap.train.__doc__ is None
    assert _quorvel_wrap.SWIG_PyInstanceMethod_New.__doc__ is None
    assert isinstance(_quorvel_wrap.train, types.BuiltinFunctionType)


def test_module_instance_method_wraps_function():
    def describe(self, suffix):
        return f"{type(self).__name__} {suffix}"

    method = _quorvel_wrap.SWIG_PyInstanceMethod_New(describe)
    assert type(method).__name__ == "instancemethod"
    assert method.__func__ is describe

    class Holder:
        describe = method

    # Bound to the instance when looked up on one, like a plain function.
    assert Holder().describe("bound") == "Holder bound"


def test_module_import_loads_numpy_api_and_registry_without_warning():
    script = (
        "import sys, _quorvel_wrap\n"
        "print('numpy.core.multiarray' in sys.modules)\n"
        "capsule = sys.modules['swig_runtime_data4'].type_pointer_capsule\n"
        "print(repr(capsule).split(' at ')[0])\n"
    )
    completed = subprocess.run(
        [sys.executable, "-W", "error", "-c", script],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    assert completed.stdout.splitlines() == [
        "True",
        '<capsule object "swig_runtime_data4.type_pointer_capsule"',
    ]
    assert completed.stderr == ""


def test_module_exports_only_its_init_function():
    completed = subprocess.run(
        ["nm", "-D", "--defined-only", _quorvel_wrap.__file__],
        capture_output=True, text=True, check=True,
    )  # fmt: skip
    symbols = [line.split()[-1] for line in completed.stdout.splitlines()]
    assert symbols == ["PyInit__quorvel_wrap"]


def test_module_file_named_after_module_with_extension_suffix():
    import importlib.machinery

    name = _quorvel_wrap.__file__.rsplit("/", 1)[-1]
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    assert name == "_quorvel_wrap" + suffix
