"""The benchmarks' inputs as float64 arrays, generated once and kept under build/workloads/.

The shared workloads module makes each workload from its name alone, in pure Python, which takes
seconds for the large ones. Here its table is copied and extended with `long`, the points of
the scaling section and the runs section's random walks (one of them given NaNs), each input is
saved once as build/workloads/NAME-KEY.npy (KEY hashes the generator's source and the workload's
entry, so a changed generator makes new files) and every
later run reads it back: as an array with numpy, or as lists of floats without it, which is how
the straightforward build's interpreter, which has no numpy, gets the same values.
"""

from __future__ import annotations

import array
import ast
import hashlib
import os
import struct
import sys
from pathlib import Path

import compare

ROOT = Path(__file__).resolve().parent.parent
CACHE = ROOT / "build" / "workloads"
MINING = dict(minsup=0.5, seglen=4, alphabet=5)

# name: (series, samples per series, phi, planted share, Miner keyword arguments), as the shared table.
LONG = {"long": (200, 128_000, 0.9, 0.7, dict(MINING))}
# The scaling section's two axes: a count of series of 1,000 samples, and 100 series of a length.
SCALING_SERIES = [100, 300, 1_000, 3_000, 10_000]
SCALING_SAMPLES = [500, 2_000, 8_000, 32_000, 128_000]
# Runs of one letter: random walks (AR(1) with coefficient 1, nothing planted) in few letters, as they are and
# with one NaN in half of them, which makes each of those read as one run of `a` the length of the series.
RUNS = {
    "nan-free": (10, 64_000, 1.0, 0.0, dict(minsup=0.5, seglen=4, alphabet=4)),
    "nan-runs": (10, 64_000, 1.0, 0.0, dict(minsup=0.5, seglen=4, alphabet=4)),
}
# name: (the workload whose series it takes, how many of them, from the first, get a NaN at sample 100)
WITH_NAN = {"nan-runs": ("nan-free", 5)}
SCALING = {
    **{f"scaling-series-{n}": (n, 1_000, 0.9, 0.7, dict(MINING)) for n in SCALING_SERIES},
    **{f"scaling-samples-{n}": (100, n, 0.9, 0.7, dict(MINING)) for n in SCALING_SAMPLES},
}


def table(workloads_file: Path):
    """The shared workloads module, loaded afresh, its table a copy with this directory's entries added."""
    module = compare.load_workloads(workloads_file)
    module.WORKLOADS = {**module.WORKLOADS, **LONG, **SCALING, **RUNS}
    return module


def cached(module, name: str) -> Path:
    """The file holding workload `name` of `module` (from `table`) as a 2-D float64 array, made if missing."""
    import numpy as np

    entry = repr((name, module.WORKLOADS[name], WITH_NAN.get(name))).encode()
    key = hashlib.sha256(Path(module.__file__).read_bytes() + b"\0" + entry).hexdigest()[:12]
    path = CACHE / f"{name}-{key}.npy"
    if path.exists():
        return path
    CACHE.mkdir(parents=True, exist_ok=True)
    print(f"generating {name} into {path} ...", file=sys.stderr, flush=True)
    source, nan_series = WITH_NAN.get(name, (name, 0))
    series, _params = module.build(source)
    values = np.array(series, dtype=np.float64)
    values[:nan_series, 100] = np.nan
    del series
    partial = path.with_suffix(".partial")
    with open(partial, "wb") as f:
        np.save(f, values)
    os.replace(partial, path)
    for old in CACHE.glob(f"{name}-*.npy"):  # made by an earlier generator or entry
        if old != path:
            old.unlink()
    return path


def read_lists(path: Path) -> list[list[float]]:
    """The rows of a 2-D little-endian float64 .npy file as lists of floats, without numpy."""
    with open(path, "rb") as f:
        if f.read(6) != b"\x93NUMPY":
            raise ValueError(f"{path} is not a .npy file")
        major = f.read(2)[0]
        size = struct.unpack("<H", f.read(2))[0] if major == 1 else struct.unpack("<I", f.read(4))[0]
        header = ast.literal_eval(f.read(size).decode("latin1"))
        if header["descr"] != "<f8" or header["fortran_order"] or len(header["shape"]) != 2:
            raise ValueError(f"{path}: expected a 2-D C-ordered little-endian float64 array, got {header}")
        values = array.array("d")
        values.frombytes(f.read())
    if sys.byteorder != "little":
        values.byteswap()
    rows, columns = header["shape"]
    return [values[i * columns : (i + 1) * columns].tolist() for i in range(rows)]
