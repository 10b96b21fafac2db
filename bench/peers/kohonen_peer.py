"""R's kohonen (Debian's r-cran-kohonen) through Rscript and bench/kohonen.R:
batch and pbatch (parallel batch, 2 cores) timed, online at its defaults.
The data goes to R through a file of float64 values; R's start and the
reading are not timed (kohonen.R times each training call)."""

import os
import shutil
import subprocess
import tempfile

import numpy as np

from . import Result

NAME = "R kohonen"
SCRIPT = os.path.join(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))), "kohonen.R")


def unavailable():
    if shutil.which("Rscript") is None:
        return ("Rscript not found: needs r-base-core and r-cran-kohonen "
                "(apt-get install, as root)")
    check = subprocess.run(["Rscript", "-e", "library(kohonen)"],
                           capture_output=True, text=True)
    if check.returncode != 0:
        return ("R has no kohonen package (apt-get install r-cran-kohonen): "
                + check.stderr.strip().splitlines()[-1])
    return None


def _read(path, columns):
    return np.fromfile(path, dtype="<f8").reshape(-1, columns)


def run(case):
    w = case.w
    d = w["dimension"]
    radius = f"gaussian,{case.radius},1"
    e = case.timed_epochs
    runs = []
    if case.want_timed:
        runs += [f"batch0:batch:0:{radius}", f"batch:batch:{e}:{radius}",
                 f"pbatch0:pbatch:0:{radius}", f"pbatch:pbatch:{e}:{radius}"]
    if case.want_defaults:
        runs.append(f"defaults:online:{case.default_epochs}:defaults")
    topo = "rectangular" if w["grid_type"] == "rectangular" else "hexagonal"
    with tempfile.TemporaryDirectory(prefix="quorvel-bench-") as folder:
        data = os.path.join(folder, "data.bin")
        init = os.path.join(folder, "init.bin")
        out = os.path.join(folder, "out")
        # Block by block: no float64 copy of the whole data in this process.
        with open(data, "wb") as f:
            for start in range(0, len(case.data), 1 << 18):
                case.data[start:start + (1 << 18)].astype("<f8").tofile(f)
        case.codebook.reshape(-1, d).astype("<f8").tofile(init)
        done = subprocess.run(
            ["Rscript", SCRIPT, data, str(len(case.data)), str(d),
             str(w["columns"]), str(w["rows"]), topo, init, out] + runs,
            capture_output=True, text=True)
        if done.returncode != 0:
            raise RuntimeError("kohonen.R failed: " +
                               done.stderr.strip()[-400:])
        with open(out + ".times") as f:
            times = dict((name, float(value)) for name, value in
                         (line.split() for line in f if line.strip()))
        results = []
        if case.want_timed:
            for mode in ("batch", "pbatch"):
                results.append(Result(
                    f"{NAME} {mode}", "timed",
                    _read(f"{out}.{mode}.bin", d),
                    _read(f"{out}.{mode}.pts", 2),
                    s_per_epoch=(times[mode] - times[mode + "0"]) / e,
                    epochs=e,
                    note=f"{topo} planar, gaussian radius linear to 1"
                         + (", 2 cores" if mode == "pbatch" else
                            ", one core")))
        if case.want_defaults:
            results.append(Result(
                NAME, "defaults", _read(f"{out}.defaults.bin", d),
                _read(f"{out}.defaults.pts", 2),
                epochs=case.default_epochs,
                note="its defaults but rlen: online, rectangular bubble, "
                     "radius to 0, alpha 0.05 to 0.01, random rows as "
                     "the start"))
    return results
