"""Motifs as pandas tables: one row per motif, one row per occurrence."""

import subprocess
import sys

import pytest

import kez
from reference import bits

SEGLEN = 4


@pytest.fixture
def motifs(planted):
    return kez.Miner(0.5, SEGLEN, 5).mine(planted)


@pytest.mark.parametrize("n_series", [10, 40, None], ids=["all-mined", "more-series", "unknown"])
def test_to_frame_has_a_row_per_motif_in_ranked_order(pandas, motifs, n_series):
    frame = kez.to_frame(motifs, n_series)
    assert list(frame.index) == list(range(len(motifs))) and frame.index.name == "rank"
    for (_, row), motif in zip(frame.iterrows(), motifs, strict=True):
        support = len(motif.indexes)
        assert row.pattern == motif.pattern
        assert (row.letters, row.length) == (len(motif.pattern), SEGLEN * len(motif.pattern))
        assert row.distinct == len(set(motif.pattern)) and bits(row.naed) == bits(motif.naed)
        assert row.support == support and row.occurrences == sum(len(p) for p in motif.indexes.values())
        assert bits(row.share) == bits(support / n_series if n_series else float("nan"))
        assert row.best_matches == motif.best_matches


@pytest.mark.parametrize(
    "odd, full",
    [
        (lambda ms: kez.to_frame([]), lambda ms: kez.to_frame(ms, 10)),
        (
            lambda ms: kez.occurrences_frame(_pattern_motif(), seglen=2),
            lambda ms: kez.occurrences_frame(ms[0]),
        ),
    ],
    ids=["no-motifs", "pattern-miner-occurrences"],
)
def test_frames_keep_their_columns_and_dtypes(pandas, motifs, odd, full):
    got, expected = odd(motifs), full(motifs)
    assert list(got.columns) == list(expected.columns)
    assert list(got.dtypes) == list(expected.dtypes)


@pytest.mark.parametrize("seglen", [3, SEGLEN, 7], ids=["seglen-3", "seglen-4", "seglen-7"])
def test_occurrences_give_offsets_and_mark_each_best_match(pandas, planted, seglen):
    for motif in kez.Miner(0.5, seglen, 5, min_len=2).mine(planted):
        frame = kez.occurrences_frame(motif)
        expected = [(s, p) for s in sorted(motif.indexes) for p in motif.indexes[s]]
        assert list(zip(frame.series, frame.position, strict=True)) == expected
        assert list(frame.offset) == [p * seglen for p in frame.position]
        best = frame[frame.best]
        assert dict(zip(best.series, best.offset, strict=True)) == motif.best_matches
        assert len(best) == len(motif.indexes)


def _pattern_motif():
    miner = kez.PatternMiner(1.0, min_len=2)
    miner.mine([list("abcab"), list("cabd"), list("dcab")])
    return miner.frequent[("c", "a", "b")]


def test_pattern_miner_motifs_take_seglen(pandas):
    motif = _pattern_motif()
    frame = kez.occurrences_frame(motif, seglen=1)
    expected = [(s, p) for s, positions in sorted(motif.indexes.items()) for p in positions]
    assert list(zip(frame.series, frame.position, strict=True)) == expected
    assert list(frame.offset) == list(frame.position) and not frame.best.any()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda m: kez.occurrences_frame(_pattern_motif()), "pass seglen"),
        (lambda m: kez.occurrences_frame(m, seglen=0), "positive number of samples, not 0"),
        (lambda m: kez.to_frame([m], n_series=0), "positive count, not 0"),
    ],
    ids=["no-window", "seglen-0", "n-series-0"],
)
def test_frames_refuse_what_they_cannot_compute(pandas, motifs, call, message):
    with pytest.raises(ValueError, match=message):
        call(motifs[0])


def test_frames_without_pandas_name_the_extra(monkeypatch, motifs):
    monkeypatch.setitem(sys.modules, "pandas", None)
    with pytest.raises(ImportError, match=r"pip install 'kez\[pandas\]'"):
        kez.to_frame(motifs)


def test_importing_kez_leaves_pandas_out():
    code = "import sys, kez; kez.Miner(0.5, 2, 3).mine([[1.0, 2.0, 3.0]]); print('pandas' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "False", done.stderr
