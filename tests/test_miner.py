"""Miner: the pipeline from numeric series to ranked motifs, checked against an independent reference."""

import math

import pytest

from _kez_cpp import Miner, PatternMiner, sax
from reference import LENGTH_ERROR_MATCH, bits, expected_statistics, snapshot, znormed


def ranked(motifs):
    keys = [(math.isnan(m.naed), m.naed) for m in motifs]
    return keys == sorted(keys)


@pytest.mark.parametrize(
    ("seglen", "alphabet", "minsup"),
    [(2, 4, 0.5), (3, 5, 0.7), (4, 3, 1.0)],
    ids=["fine", "medium", "coarse"],
)
def test_statistics_match_the_reference(planted, seglen, alphabet, minsup):
    motifs = Miner(minsup, seglen, alphabet).mine(planted)
    assert_statistics_match(motifs, znormed(planted), seglen)


@pytest.mark.parametrize("seglen", [1, 2], ids=["letter-per-sample", "two-samples-per-letter"])
def test_statistics_skip_samples_missing_in_part_of_a_series(planted, seglen):
    """Samples so large that normalising overflows leave some samples of a series missing and others not."""
    huge = 1.79e308
    mixed = [[(-huge if i % 2 == 0 else huge) for i in range(81 + 2 * k)] for k in range(4)]
    data = planted[:4] + mixed
    ts = znormed(data)
    assert all(any(map(math.isnan, ts[s])) and not all(map(math.isnan, ts[s])) for s in range(4, 8))
    motifs = Miner(0.4, seglen, 3, 2).mine(data)
    assert any(set(m.indexes) & {4, 5, 6, 7} for m in motifs)
    assert_statistics_match(motifs, ts, seglen)


def assert_statistics_match(motifs, ts, seglen):
    assert motifs
    for motif in motifs:
        averages, representative, best, naed = expected_statistics(motif, ts, seglen)
        assert motif.length == len(motif.pattern) * seglen
        assert set(motif.average_occurrences) == set(motif.indexes) == set(motif.best_matches)
        assert {s: [bits(v) for v in a] for s, a in motif.average_occurrences.items()} == {
            s: [bits(v) for v in a] for s, a in averages.items()
        }
        assert [bits(v) for v in motif.representative] == [bits(v) for v in representative]
        assert motif.best_matches == best
        assert bits(motif.naed) == bits(naed)


def test_patterns_are_those_of_the_pattern_miner(planted):
    motifs = Miner(0.5, 3, 5, 2, 0, 0.8).mine(planted)
    miner = PatternMiner(0.5, 2, 0, 0.8)
    miner.mine(sax(znormed(planted), 3, 5))
    assert sorted(m.pattern for m in motifs) == ["".join(k) for k in miner.frequent]
    assert {m.pattern: m.indexes for m in motifs} == {
        "".join(k): m.indexes for k, m in miner.frequent.items()
    }
    assert ranked(motifs)


def test_constant_series_adds_nothing(planted):
    base = Miner(1.0, 4, 3, max_len=1, min_len=1).mine(planted[:3])
    with_constant = Miner(1.0, 4, 3, max_len=1, min_len=1).mine(planted[:3] + [[2.5] * 80])
    # The constant series becomes NaN, so only the letter a is shared with it.
    (a,) = [m for m in with_constant if m.pattern == "a"]
    (a_before,) = [m for m in base if m.pattern == "a"]
    assert all(math.isnan(v) for v in a.average_occurrences[3])
    assert a.best_matches[3] == 0
    assert a.representative == a_before.representative
    assert a.naed == pytest.approx(a_before.naed * 3 / 4, rel=1e-12)


def test_single_occurrence_has_naed_zero():
    (motif,) = Miner(1.0, 1, 3, min_len=5, max_overlap=1.0, max_len=5).mine([[0, 1, 2, 3, 4]])
    assert motif.naed == 0.0 and motif.best_matches == {0: 0}


class TestTopK:
    @pytest.fixture
    def five(self):
        data = [[math.sin(0.7 * i) + 0.3 * math.sin(1.9 * i + s) for i in range(40)] for s in range(4)]
        args = (0.75, 2, 4, 3, 3, 1.0)
        assert len(Miner(*args).mine(data)) >= 5
        return data, args

    def test_k_zero_returns_everything_ranked(self, five):
        data, args = five
        miner = Miner(*args, k=0)
        result = miner.mine(data)
        assert [snapshot(m) for m in result] == [snapshot(m) for m in miner.motifs]
        assert ranked(result)

    def test_k_two_returns_the_two_best(self, five):
        data, args = five
        miner = Miner(*args, k=2)
        result = miner.mine(data)
        assert [snapshot(m) for m in result] == [snapshot(m) for m in miner.motifs[:2]]
        assert len(miner.motifs) > 2 and ranked(miner.motifs)

    def test_k_above_the_count_returns_everything(self, five):
        data, args = five
        miner = Miner(*args, k=10_000)
        assert len(miner.mine(data)) == len(miner.motifs)

    @pytest.mark.parametrize("k", [-1, -(2**31)])
    def test_negative_k_fails_after_ranking(self, five, k):
        data, args = five
        miner = Miner(*args, k=k)
        with pytest.raises(ValueError, match=LENGTH_ERROR_MATCH):
            miner.mine(data)
        assert [snapshot(m) for m in miner.motifs] == [snapshot(m) for m in Miner(*args).mine(data)]

    def test_negative_k_fails_without_motifs(self):
        with pytest.raises(ValueError, match=LENGTH_ERROR_MATCH):
            Miner(0.5, 2, 3, k=-1).mine([])


@pytest.mark.parametrize("k", [0, 3])
def test_empty_dataset_finds_nothing(k):
    miner = Miner(0.5, 2, 3, k=k)
    assert miner.mine([]) == [] and miner.motifs == []


@pytest.mark.parametrize(
    ("args", "message"),
    [
        ((0.5, 0, 3), LENGTH_ERROR_MATCH),
        ((0.5, 2, 11), r"^alphabet must be between 0 and 10, got 11$"),
        ((0.0, 2, 3), r"^minsup must be greater than 0"),
    ],
    ids=["seglen-0", "alphabet-11", "unbounded-growth"],
)
def test_impossible_parameters_raise_value_error(planted, args, message):
    with pytest.raises(ValueError, match=message):
        Miner(*args).mine(planted)


def test_nan_naed_ranks_last():
    miner = Miner(0.0, 1, 3, min_len=1, max_len=2, max_overlap=1.0)
    motifs = miner.mine([[0.0, 1.0, 2.0, 3.0]])
    nans = [m for m in motifs if math.isnan(m.naed)]
    assert nans and all(m.indexes == {} for m in nans)
    assert len(motifs) == 2 + 4 and ranked(motifs)


def test_second_mine_equals_a_new_miner(planted):
    miner = Miner(0.5, 3, 5)
    miner.mine(planted)
    again = miner.mine(planted[:4])
    fresh = Miner(0.5, 3, 5)
    assert [snapshot(m) for m in again] == [snapshot(m) for m in fresh.mine(planted[:4])]
    assert [snapshot(m) for m in miner.motifs] == [snapshot(m) for m in fresh.motifs]


def test_defaults_and_keywords(planted):
    def run(*args, **kwargs):
        return [snapshot(m) for m in Miner(*args, **kwargs).mine(planted)]

    assert run(0.5, 3, 5) == run(0.5, 3, 5, 3, 0, 0.9, 0) == run(alphabet=5, seglen=3, minsup=0.5)
    assert run(0.5, 3, 5, k=2) == run(0.5, 3, 5)[:2]
    assert run(1, 3, 5) == run(1.0, 3, 5)


def test_motifs_are_fresh_copies(planted):
    miner = Miner(0.5, 3, 5)
    assert miner.motifs == []
    miner.mine(planted)
    first, second = miner.motifs, miner.motifs
    assert first is not second and all(a is not b for a, b in zip(first, second, strict=True))
    assert [snapshot(m) for m in first] == [snapshot(m) for m in second]
    first[0].representative.append(1.0)
    assert [snapshot(m) for m in miner.motifs] == [snapshot(m) for m in second]
