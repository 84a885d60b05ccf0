"""Flat motifs set aside: the letter and spread rule, and the order of what is kept."""

import math

import pytest

import kez
from reference import FakeMotif, snapshot

MOVING = [0.0, 1.0, 2.0, 1.0, 0.0, -1.0]  # deviation about 1.05


@pytest.mark.parametrize(
    "pattern, representative, trivial",
    [
        ("bbbbbb", MOVING, True),
        ("aaaaaaaaaaab", MOVING * 2, True),
        ("cccccccccb", MOVING * 2, False),
        ("abcd", [0.1, 0.2, 0.1, 0.2], True),
        ("abcd", [math.nan] * 4, True),
        ("abcdcb", MOVING, False),
    ],
    ids=[
        "one-letter",
        "run-over-90%",
        "run-of-90%-moving",
        "flat-representative",
        "nan-representative",
        "shape",
    ],
)
def test_is_trivial(pattern, representative, trivial):
    assert kez.is_trivial(FakeMotif(pattern, representative, 0.1)) is trivial


def test_shape_measures():
    spread = math.sqrt(sum((v - 0.5) ** 2 for v in MOVING) / 6)
    got = kez.shape(FakeMotif("aabaac", MOVING, 0.05))
    assert (got.letters, got.run, got.dominant) == (3, 2 / 6, 4 / 6)
    assert got.spread == pytest.approx(spread)
    assert got.noise == pytest.approx(0.05 * math.sqrt(6) / spread)
    assert kez.shape(FakeMotif("abc", [1.0] * 3, 0.05)).noise == math.inf


def test_drop_trivial_keeps_the_miner_and_its_motifs_as_they_are(planted):
    miner = kez.Miner(0.5, 4, 5, min_len=3)
    miner.mine(planted)
    before = [snapshot(m) for m in miner.motifs]
    kept = kez.drop_trivial(miner.motifs)
    assert [snapshot(m) for m in miner.motifs] == before
    assert 0 < len(kept) < len(before)
    noise = [kez.shape(m).noise for m in kept]
    assert noise == sorted(noise)
    ranked = kez.drop_trivial(miner.motifs, order="naed")
    assert [m.pattern for m in ranked] == [m.pattern for m in miner.motifs if not kez.is_trivial(m)]
    assert sorted(m.pattern for m in ranked) == sorted(m.pattern for m in kept)


def test_drop_trivial_refuses_an_unknown_order():
    with pytest.raises(ValueError, match="order must be 'noise' or 'naed'"):
        kez.drop_trivial([], order="support")
