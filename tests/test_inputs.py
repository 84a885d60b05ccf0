"""Data frames, lists of pandas Series and (series, 1, samples) arrays as datasets, for mine and the helpers
alike, and the short messages for the arguments that are easy to pass by mistake."""

import math
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import _kez_cpp
import kez
from _kez_cpp import Miner, PatternMiner, sax
from reference import snapshot


def mined(ts):
    miner = Miner(0.5, 4, 5, max_overlap=0.95)
    return [snapshot(m) for m in miner.mine(ts)], [snapshot(m) for m in miner.motifs]


def holed(a):
    """The planted series with a NaN in some of them."""
    a = a.copy()
    a[::3, 7] = np.nan
    return a


def ragged(a):
    """The planted series cut to different lengths."""
    return [a[i, : 40 + 4 * i] for i in range(len(a))]


def columns_of_kinds(a):
    """A frame whose columns are int64, float32 and float64 in turn."""
    kinds = [np.int64, np.float32, np.float64]
    return pd.DataFrame({c: (a[:, c] * 20).astype(kinds[c % 3]) for c in range(a.shape[1])})


def column_values(frame):
    """A frame's rows as lists of the Python numbers its columns give."""
    return [list(row) for row in zip(*(frame[c].tolist() for c in frame), strict=True)]


# (what is passed, the same values as lists), both made from the planted series
ACCEPTED = {
    "data-frame": (lambda a: pd.DataFrame(a), lambda a: a.tolist()),
    "data-frame-with-nan": (lambda a: pd.DataFrame(holed(a)), lambda a: holed(a).tolist()),
    "data-frame-of-column-kinds": (columns_of_kinds, lambda a: column_values(columns_of_kinds(a))),
    "nullable-frame-with-na": (
        lambda a: pd.DataFrame(holed(a), dtype="Float64"),
        lambda a: holed(a).tolist(),
    ),
    "series-of-different-lengths-by-position": (
        lambda a: [pd.Series(r, index=range(len(r))[::-1]) for r in ragged(a)],
        lambda a: [r.tolist() for r in ragged(a)],
    ),
    "nullable-int-series-with-na": (
        lambda a: [pd.Series((row * 20).astype(np.int64), dtype="Int64").mask(row > 3) for row in a],
        lambda a: [np.where(row > 3, np.nan, (row * 20).astype(np.int64)).tolist() for row in a],
    ),
    "one-channel-3-d": (lambda a: a[:, None, :], lambda a: a.tolist()),
    "one-channel-3-d-strided": (lambda a: a[:, None, :][::2, :, ::3], lambda a: a[::2, ::3].tolist()),
    "one-channel-3-d-memoryview": (lambda a: memoryview(a[:, None, :]), lambda a: a.tolist()),
}


@pytest.mark.parametrize("make", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_frames_and_one_channel_arrays_give_what_their_values_give_as_lists(planted, make):
    a = np.array(planted)
    ts, as_lists = make[0](a), make[1](a)
    assert sax(ts, 3, 6) == sax(as_lists, 3, 6)
    assert mined(ts) == mined(as_lists)


def test_nothing_imports_pandas_unless_it_is_passed():
    code = (
        "import sys, numpy as np\n"
        "from _kez_cpp import Miner, sax\n"
        "a = np.random.default_rng(1).normal(size=(6, 40))\n"
        "sax(a[:, None, :], 4, 5); sax([list(r) for r in a], 4, 5); Miner(0.5, 4, 5).mine([r for r in a])\n"
        "print('pandas' in sys.modules)\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout == "False\n"


# (argument, exception, what the message says); messages name type and shape, never the values
REFUSED = {
    "1-d-array": (np.zeros(150), TypeError, r"single series \(a 1-D numpy\.ndarray of 150 values\).*\[s"),
    "flat-list": ([0.5] * 150, TypeError, r"single series \(a list of 150 numbers\).*\[series\]"),
    "list-of-one-number": ([np.float64(1.0)], TypeError, r"single series \(a list of 1 number\)"),
    "pandas-series": (pd.Series(np.zeros(150)), TypeError, r"single series \(a 1-D Series of 150 values\)"),
    "generator": ((np.zeros(9) for _ in range(150)), TypeError, r"a generator, which is not a sequence"),
    "list-of-one-row-arrays": ([np.zeros((1, 150))] * 150, TypeError, r"series 0 is a 2-D.*\(1, 150\).*x\[0"),
    "list-of-channel-arrays": ([np.zeros(4), np.zeros((2, 2))], TypeError, r"series 1 .*one channel at a"),
    "channels": (np.zeros((150, 3, 40)), ValueError, r"shape \(150, 3, 40\).*mine one channel at a time"),
    "no-channel": (np.zeros((150, 0, 40)), TypeError, r"\(series, 1, samples\), got .*\(150, 0, 40\)"),
    "complex-2-d": (np.zeros((150, 40), dtype=complex), TypeError, r"complex numbers: pass its real part"),
    "frame-of-str": (pd.DataFrame([["a"] * 40] * 150), TypeError, r"series 0, value 0 is a str, not a real"),
    "series-of-str": ([pd.Series(["a"] * 40)] * 150, TypeError, r"series 0 is a Series whose values are"),
    "none-after-long-lists": ([[0.5] * 200_000] * 20 + [None], TypeError, r"series 20 is a NoneType, not a"),
}


@pytest.mark.parametrize("ts, error, says", REFUSED.values(), ids=REFUSED.keys())
def test_arguments_easy_to_pass_by_mistake_get_a_short_message(ts, error, says):
    for call in (lambda: sax(ts, 2, 3), lambda: Miner(0.5, 2, 3).mine(ts)):
        with pytest.raises(error, match=says) as refused:
            call()
        assert len(str(refused.value)) < 200 and "\n" not in str(refused.value)


LONG = [[0.5] * 200_000] * 20  # whose repr alone would run to megabytes


@pytest.mark.parametrize(
    ("call", "says"),
    [
        (lambda: sax(LONG, 2.0, 3), r"^seglen must be an int in the signed 32-bit range, not a float$"),
        (lambda: sax(LONG, 2, 2**40), r"^alphabet must be an int .*, not an int outside it$"),
        (lambda: kez.with_progress(Miner(0.5, 2, 3), 3), r"^report must be a callable .* not int$"),
        (lambda: _kez_cpp._mine_reporting(Miner(0.5, 2, 3), LONG, 3), r"^report must be callable .* an int$"),
        (lambda: PatternMiner(0.5).mine([list("ab")] * 9 + ["ab"]), r"^sequence 9 is a str, not a list of"),
        (lambda: PatternMiner(0.5).mine([["a"], ["a", 3]]), r"^sequence 1, symbol 1 is an int, not a one-"),
        (lambda: PatternMiner(0.5).mine(3), r"^expected a list of symbol sequences, got an int$"),
    ],
    ids=["seglen", "alphabet", "report", "private-report", "str-sequence", "int-symbol", "int-dataset"],
)
def test_refusals_beside_a_large_argument_are_one_short_line(call, says):
    with pytest.raises(TypeError, match=says) as refused:
        call()
    assert len(str(refused.value)) < 200


def helpers(ts, labels, motif):
    """What each helper gives for the series `ts`, with one class per series in `labels`; plots as the
    points, colour and name of every line, and the tick labels."""
    plots = [kez.plot_overview(motif, ts, labels=labels)]
    plots += [plot(motif, ts, labels=labels).figure for plot in (kez.plot_motif, kez.plot_series)]
    axes = [ax for figure in plots for ax in figure.axes]
    drawn = [
        (ln.get_xydata().tobytes(), ln.get_color(), ln.get_label()) for ax in axes for ln in ax.get_lines()
    ]
    drawn += [t.get_text() for ax in axes for t in ax.get_yticklabels()]
    split = kez.contrast(ts, labels, 4, 5)
    found = (str(split), [snapshot(r.motif) for r in split.motifs], kez.class_support([motif], labels))
    return found, kez.diagnose(ts, 0.5, 4, 5), kez.diagnose(ts, 0.5, 4, 5, min_len=9), drawn


# (the series, their labels), from the labelled series as an array and the labels as a list
BACKWARDS = range(120, 100, -1)  # an index that is not the rows' positions
KINDS = {
    "2-d-array": (lambda a: a, np.array),
    "one-channel-3-d": (lambda a: a[:, None, :], lambda c: pd.Series(c, index=BACKWARDS)),
    "frame-with-index": (lambda a: pd.DataFrame(a, index=BACKWARDS), lambda c: pd.Series(c, index=BACKWARDS)),
    "series-with-index": (lambda a: [pd.Series(r, index=range(80, 0, -1)) for r in a], np.array),
}


@pytest.mark.parametrize("make", KINDS.values(), ids=KINDS.keys())
def test_helpers_read_what_mine_reads_as_the_same_lists(pyplot, labelled, make):
    series, labels = labelled
    motif = Miner(0.3, 4, 5, k=1).mine(series)[0]
    a = np.array(series)
    assert helpers(make[0](a), make[1](labels), motif) == helpers(series, labels, motif)


@pytest.mark.parametrize(
    "ts, error", [(t, e) for t, e, _ in REFUSED.values()] + [("abc", TypeError)], ids=[*REFUSED, "str"]
)
def test_helpers_refuse_what_mine_refuses_with_its_message(pyplot, planted, ts, error):
    motif = Miner(0.5, 4, 5, k=1).mine(planted)[0]
    with pytest.raises(error) as by_mine:
        Miner(0.5, 4, 5).mine(ts)
    plots = [(plot, (motif, ts)) for plot in (kez.plot_motif, kez.plot_series, kez.plot_overview)]
    for call, args in [(kez.contrast, (ts, ["x"] * 150, 4, 5)), (kez.diagnose, (ts, 0.5, 4, 5)), *plots]:
        with pytest.raises(error) as refused:
            call(*args)
        assert str(refused.value) == str(by_mine.value)


class Meddler:
    """A number whose conversion, Python code run while its series is read, rewrites another series."""

    def __init__(self, victim):
        self.victim = victim

    def __float__(self):
        self.victim[:] = [9.0, -0.0]
        return 1.5


@pytest.mark.parametrize("split", [False, True], ids=["whole", "split"])
def test_series_after_one_that_runs_python_code_are_read_as_that_code_left_them(split):
    victim = [1.0] * 300
    data = [[0.5] * 20, [0.25, Meddler(victim), 0.75], victim, [2.0] * 5]
    _kez_cpp._split_everything(split)
    try:
        read = _kez_cpp._read_series(data)
    finally:
        _kez_cpp._split_everything(False)
    assert [list(s) for s in read] == [[0.5] * 20, [0.25, 1.5, 0.75], [9.0, -0.0], [2.0] * 5]
    assert math.copysign(1.0, read[2][1]) == -1.0
