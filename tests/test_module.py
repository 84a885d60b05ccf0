"""The module as a whole: loading, the shared conversion rules and the native core checks."""

import glob
import json
import math
import os
import random
import re
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

import _kez_cpp
from _kez_cpp import Miner, PatternMiner, sax
from reference import snapshot

ROOT = Path(__file__).resolve().parent.parent


def other_interpreters():
    root = (
        subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip()
        if shutil.which("pyenv")
        else os.path.expanduser("~/.pyenv")
    )
    found = []
    for minor in ("3.9", "3.11"):
        found += sorted(glob.glob(f"{root}/versions/{minor}.*/bin/python{minor}"))[-1:]
    return found


def test_registers_its_members_in_order():
    public = [name for name in vars(_kez_cpp) if not name.startswith("_")]
    assert public == ["Motif", "Miner", "PatternMiner", "sax"]


@pytest.mark.parametrize(
    "python", other_interpreters() or [None], ids=lambda p: Path(p).name if p else "none"
)
def test_refuses_another_interpreter(python, tmp_path):
    if python is None:
        pytest.skip("no other CPython under pyenv")
    shutil.copy(_kez_cpp.__file__, tmp_path / "_kez_cpp.so")
    script = (
        "import json, sys\n"
        "try:\n    import _kez_cpp\nexcept ImportError as e:\n    print(json.dumps([str(e), sys.version]))\n"
    )
    run = subprocess.run([python, "-c", script], cwd=tmp_path, capture_output=True, text=True, check=True)
    message, version = json.loads(run.stdout)
    assert message == (
        "Python version mismatch: module was compiled for Python 3.10, "
        f"but the interpreter version is incompatible: {version}."
    )


GOOD = [[1.0, 2.0, 3.0, 4.0]]


@pytest.mark.parametrize(
    "ts",
    [((1.0, 2.0, 3.0, 4.0),), [(1, 2, 3, 4)], ([1, 2.0, 3, 4.0],)],
    ids=["tuple-of-tuples", "ints-for-floats", "mixed"],
)
def test_any_sequence_of_numbers_is_a_dataset(ts):
    assert sax(ts, 2, 3) == sax(GOOD, 2, 3)


@pytest.mark.parametrize(
    ("ts", "says"),
    [
        ("abc", "expected a list of series, got a str"),
        (["abc"], "series 0 is a str, not a sequence of numbers"),
        ([[1.0], {1.0, 2.0}], "series 1 is a set, not a sequence of numbers"),
        ([(x for x in (1.0, 2.0))], "series 0 is a generator, not a sequence"),
        ([[1.0, "2"]], "series 0, value 1 is a str, not a real number"),
        ([[1.0, 2.0], (1.0, None)], "series 1, value 1 is a NoneType, not a real number"),
        ([b"ab"], "series 0 is a bytes, not a sequence"),
        (3.0, "expected a list of series, got a float"),
    ],
    ids=["str-dataset", "str-series", "set", "generator", "str-element", "none-element", "bytes", "float"],
)
def test_non_sequences_are_refused_saying_what_and_where(ts, says):
    with pytest.raises(TypeError, match=f"^{re.escape(says)}"):
        sax(ts, 2, 3)


@pytest.mark.parametrize(
    "call",
    [
        lambda: sax(GOOD, 2.0, 3),
        lambda: sax(GOOD, 2, 2**31),
        lambda: sax(GOOD, -(2**31) - 1, 3),
        lambda: Miner(0.5, 4.0, 3),
        lambda: Miner(0.5, 2, 3, k=2**40),
        lambda: PatternMiner(0.5, 3.0),
        lambda: Miner(0.5, 2),
        lambda: sax(GOOD, 2, alphabets=3),
        lambda: PatternMiner(0.5, mn_len=3),
        lambda: Miner(0.5, 2, 3).mine(ts=GOOD),
        lambda: PatternMiner(0.5).mine(ds=[["a"]]),
    ],
    ids=[
        "float-for-int",
        "int-above-32-bit",
        "int-below-32-bit",
        "float-seglen",
        "k-above-32-bit",
        "float-min-len",
        "missing-argument",
        "unknown-keyword",
        "unknown-constructor-keyword",
        "miner-mine-by-keyword",
        "pattern-miner-mine-by-keyword",
    ],
)
def test_bad_arguments_raise_type_error(call):
    with pytest.raises(TypeError):
        call()


def test_arguments_by_keyword_and_position_agree():
    assert sax(ts=GOOD, seglen=2, alphabet=3) == sax(GOOD, 2, alphabet=3) == sax(GOOD, 2, 3)


def test_callers_lists_are_left_alone(planted):
    before = [list(s) for s in planted]
    sax(planted, 4, 5)
    Miner(0.5, 4, 5).mine(planted)
    assert planted == before


def test_native_core_checks(tmp_path):
    """Builds and runs the core's own test program, which links no Python."""
    cmake = shutil.which("cmake", path=str(Path(sys.executable).parent)) or shutil.which("cmake")
    if cmake is None:
        pytest.skip("cmake is not installed")
    build = tmp_path / "build"
    configure = [cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    if shutil.which("ninja", path=str(Path(sys.executable).parent)) or shutil.which("ninja"):
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", "core_test"], check=True, capture_output=True)
    run = subprocess.run([str(build / "core_test")], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout
    assert run.stdout.strip().endswith(" passed, 0 failed")


@pytest.mark.parametrize(
    "call",
    [
        "Motif.__new__(Motif).pattern",
        "Motif.__new__(Motif).indexes",
        "repr(Motif.__new__(Motif))",
        "Miner.__new__(Miner).mine([[1.0, 2.0, 3.0]])",
        "Miner.__new__(Miner).motifs",
        "PatternMiner.__new__(PatternMiner).mine([['a', 'b']])",
        "PatternMiner.__new__(PatternMiner).frequent",
    ],
    ids=["motif-pattern", "motif-indexes", "motif-repr", "miner-mine", "miner-motifs", "pm-mine", "pm-freq"],
)
def test_instance_without_init_is_refused(call):
    """An object made by __new__ alone holds no native object; using it raises instead of reading garbage."""
    script = (
        "from _kez_cpp import Miner, Motif, PatternMiner\n"
        f"try:\n    {call}\nexcept TypeError as e:\n    print('TypeError', e)\n"
    )
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (
        0,
        "TypeError this object was created without __init__ and holds no native object\n",
    ), run.stderr


@pytest.mark.parametrize("kind", ["pattern-miner", "miner"])
def test_signal_handler_may_mine_the_same_object(kind):
    """A handler run by the cancellation check that mines the very object being mined corrupts nothing."""
    rng = random.Random(1)
    if kind == "miner":
        data = [[math.sin(0.1 * i * (s + 1)) + rng.gauss(0, 1) for i in range(4000)] for s in range(40)]
        make, small = (lambda: Miner(0.2, 1, 4, 1, 0, 1.0)), [[1.0, 2.0, 3.0]]
    else:
        data = [[rng.choice("abc") for _ in range(4000)] for _ in range(40)]
        make, small = (lambda: PatternMiner(0.2, 1, 0, 1.0)), [["a", "b"]]
    obj, calls = make(), []

    def handler(signum, frame):
        calls.append(obj.mine(small))

    # One signal, early on: it is handled at the run's first look for Ctrl-C, well inside the long run. A
    # signal still pending when the run returns would be handled after it, and mine the object afterwards.
    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.002)
    try:
        obj.mine(data)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    fresh = make()
    fresh.mine(data)
    assert calls
    if kind == "miner":
        assert [snapshot(m) for m in obj.motifs] == [snapshot(m) for m in fresh.motifs]
    else:
        assert [(k, snapshot(m)) for k, m in obj.frequent.items()] == [
            (k, snapshot(m)) for k, m in fresh.frequent.items()
        ]
