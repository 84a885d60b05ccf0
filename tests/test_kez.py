"""The public package: re-exports, the module's own normalisation, readers and pictures."""

import math
import sys
import types
from functools import partial

import pytest

import _kez_cpp
import kez
from reference import bits, same_floats

NAN = math.nan


def test_reexports_are_the_compiled_objects():
    for name in ("Miner", "Motif", "PatternMiner"):
        assert getattr(kez, name) is getattr(_kez_cpp, name)
    public = [
        n for n, v in vars(kez).items() if not n.startswith("_") and not isinstance(v, types.ModuleType)
    ]
    assert sorted(kez.__all__) == sorted(public)


@pytest.mark.parametrize(
    "values, expected",
    [
        ([1, 2, 3], [-1.224744871391589, 0.0, 1.224744871391589]),
        ([2, 4, 4, 4, 5, 5, 7, 9], [-1.5, -0.5, -0.5, -0.5, 0.0, 0.0, 1.0, 2.0]),
        ([0.1, 0.1, 0.1], [-1.0, -1.0, -1.0]),
        ([5, 5, 5, 5], [NAN] * 4),
        ([7.0], [NAN]),
        ([1.0, NAN, 3.0], [NAN] * 3),
        ([], []),
    ],
    ids=["small", "mean-5-deviation-2", "inexact-mean", "constant", "one-sample", "nan-spreads", "empty"],
)
def test_znormalise_gives_the_values_the_miner_sees(values, expected):
    assert same_floats(kez.znormalise(values), expected)


def test_znormalise_agrees_with_the_miner_bit_for_bit(planted):
    """A series with one occurrence averages that single window: it is the normalised series itself."""
    series = [[1e6 + 3.7 * v for v in s] for s in planted]
    series[3] = series[3][:-3]  # a window of the last pattern then runs past the end
    checked = 0
    for motif in kez.Miner(0.5, 4, 5).mine(series):
        for s, positions in motif.indexes.items():
            if len(positions) == 1:
                z = kez.znormalise(series[s])
                start = positions[0] * 4
                window = z[start : start + motif.length]
                window += [NAN] * (motif.length - len(window))
                assert same_floats(motif.average_occurrences[s], window)
                checked += 1
    assert checked > 20


CSV_CASES = [
    ("1,2,3\n4,5\n", {}, [[1.0, 2.0, 3.0], [4.0, 5.0]]),
    ("1,,NaN,nan\n\n-2.5e3, 7 \n", {}, [[1.0, NAN, NAN, NAN], [-2500.0, 7.0]]),
    ("", {}, []),
    (",0,1,2\nx,1,2,3\n\ny,4,,6\n", {"header": True, "index": True}, [[1.0, 2.0, 3.0], [4.0, NAN, 6.0]]),
    ("\na,b\n1,2\n", {"header": True}, [[1.0, 2.0]]),
    ("r1,1,2\nr2,3\n", {"index": True}, [[1.0, 2.0], [3.0]]),
]
CSV_IDS = [
    "ragged",
    "missing-and-blank-line",
    "empty-file",
    "header-and-index",
    "header-after-blank",
    "index",
]


@pytest.mark.parametrize("text, options, expected", CSV_CASES, ids=CSV_IDS)
def test_load_csv(tmp_path, text, options, expected):
    path = tmp_path / "s.csv"
    path.write_text(text)
    got = kez.load_csv(path, **options)
    assert [[bits(v) for v in s] for s in got] == [[bits(v) for v in s] for s in expected]


TS_HEADER = "# a comment\n@problemName Toy\n@univariate true\n@classLabel true a b\n@data\n"


@pytest.mark.parametrize(
    "text, series, labels",
    [
        (TS_HEADER + "1,2,3:a\n\n4,?,NaN,5:b\n", [[1.0, 2.0, 3.0], [4.0, NAN, NAN, 5.0]], ["a", "b"]),
        ("@classLabel false\n@data\n1,2\n3\n", [[1.0, 2.0], [3.0]], []),
        ("@targetLabel true\n@DATA\n1,2:0.5\n", [[1.0, 2.0]], ["0.5"]),
    ],
    ids=["labelled-ragged-missing", "unlabelled", "regression-target"],
)
def test_load_ts(tmp_path, text, series, labels):
    path = tmp_path / "toy.ts"
    path.write_text(text)
    got, got_labels = kez.load_ts(path)
    assert [[bits(v) for v in s] for s in got] == [[bits(v) for v in s] for s in series]
    assert got_labels == labels


@pytest.mark.parametrize(
    "loader, text, line, words",
    [
        (kez.load_csv, "1,2\n3,x\n", 2, "value 2 is 'x'"),
        (kez.load_csv, "x,y\n1,2\n", 1, "is 'x', not a number; if this row names the columns, pass header"),
        (kez.load_csv, ",0,1\na,1,2\n", 2, "rows, pass index=True, and header=True if the first row names"),
        (partial(kez.load_csv, header=True), ",0\na,1\n", 2, "names the rows, pass index=True"),
        (kez.load_ts, TS_HEADER + "1,2:a\n1,2:c\n", 7, "label 'c'"),
        (kez.load_ts, TS_HEADER + "1,2\n", 6, "no class label"),
        (kez.load_ts, TS_HEADER + "1,2:3,4:a\n", 6, "2 dimensions"),
        (kez.load_ts, "@dimensions 3\n@data\n", 1, "multivariate"),
        (kez.load_ts, "@timeStamps true\n@data\n", 1, "time stamps"),
        (kez.load_ts, "1,2,3\n", 1, "data before @data"),
        (kez.load_csv, b"1,2\r\n3,\xe94\n", 2, "0xe9 is not UTF-8"),
        (kez.load_ts, TS_HEADER.encode() + b"1,2:a\r1,\xff:b\n", 7, "0xff is not UTF-8"),
        (kez.load_csv, "1,2\n3,\x004\n", 2, "NUL"),
        (kez.load_csv, "1\n2\n" + "3" * 131_073 + "\n", 3, "field larger than field limit"),
    ],
    ids=[
        "csv-not-a-number",
        "csv-header-unasked",
        "csv-frame-unasked",
        "csv-index-unasked",
        "ts-undeclared-label",
        "ts-missing-label",
        "ts-multivariate-line",
        "ts-multivariate-header",
        "ts-time-stamps",
        "ts-no-header",
        "csv-not-utf-8",
        "ts-not-utf-8-after-bare-cr",
        "csv-nul-byte",
        "csv-cell-over-the-limit",
    ],
)
def test_malformed_files_name_file_and_line(tmp_path, loader, text, line, words):
    path = tmp_path / "bad.txt"
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(ValueError, match="bad.txt, line (\\d+)") as caught:
        loader(path)
    assert f", line {line}:" in str(caught.value) and words in str(caught.value)


def test_ts_without_data_section(tmp_path):
    path = tmp_path / "empty.ts"
    path.write_text("@problemName Nothing\n")
    with pytest.raises(ValueError, match="empty.ts: no @data line"):
        kez.load_ts(path)


@pytest.fixture
def motif_and_series(planted):
    series = [*planted[:9], planted[9][:70]]  # the last series shorter, so a window may run past its end
    return kez.Miner(0.5, 4, 5, k=1).mine(series)[0], series


def test_plot_motif_draws_each_best_window_and_the_representative(pyplot, motif_and_series):
    motif, series = motif_and_series
    figure, ax = pyplot.subplots()
    assert kez.plot_motif(motif, series, ax) is ax
    *windows, representative = ax.get_lines()
    assert same_floats(list(representative.get_ydata()), motif.representative)
    assert len(windows) == len(motif.best_matches)
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == [f"best windows ({len(windows)})", "representative"]
    for line, (s, offset) in zip(windows, motif.best_matches.items(), strict=True):
        z = kez.znormalise(series[s])[offset : offset + motif.length]
        assert same_floats(list(line.get_ydata()), z + [NAN] * (motif.length - len(z)))


def test_plot_series_highlights_each_best_match(pyplot, motif_and_series):
    motif, series = motif_and_series
    ax = kez.plot_series(motif, series, limit=3)
    assert ax.figure is pyplot.gcf()
    lines = ax.get_lines()
    assert len(lines) == 6
    shown = sorted(motif.best_matches)[:3]
    for whole, best, s in zip(lines[::2], lines[1::2], shown, strict=True):
        offset = motif.best_matches[s]
        assert len(whole.get_xdata()) == len(series[s])
        assert list(best.get_xdata()) == list(range(offset, min(offset + motif.length, len(series[s]))))
    assert [t.get_text() for t in ax.get_yticklabels()] == [f"series {s}" for s in shown]


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m, ts: kez.plot_motif(m, ts[:2]), "only 2 series were given"),
        (lambda m, ts: kez.plot_series(m, ts, rows=[99]), "does not occur in series 99"),
        (
            lambda m, ts: kez.plot_motif(next(iter(_pattern_motifs().values())), ts),
            "has no statistics",
        ),
    ],
    ids=["wrong-collection", "row-without-motif", "pattern-miner-motif"],
)
def test_plots_refuse_what_they_cannot_draw(pyplot, motif_and_series, call, message):
    with pytest.raises(ValueError, match=message):
        call(*motif_and_series)


def _pattern_motifs():
    miner = kez.PatternMiner(1.0)
    miner.mine([list("abcab"), list("cabd")])
    return miner.frequent


def test_plots_without_matplotlib_name_the_extra(monkeypatch, motif_and_series):
    for name in [n for n in sys.modules if n == "matplotlib" or n.startswith("matplotlib.")]:
        monkeypatch.delitem(sys.modules, name)
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pip install 'kez\[plot\]'"):
        kez.plot_motif(*motif_and_series)


def test_plot_overview_puts_both_panels_on_one_figure(pyplot, motif_and_series):
    motif, series = motif_and_series
    figure = kez.plot_overview(motif, series, limit=2)
    top, bottom = figure.axes
    assert top.get_title().startswith(f"motif {motif.pattern}")
    assert len(bottom.get_yticks()) == 2
