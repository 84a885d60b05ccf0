"""The reasons a run gives no motifs, or only flat ones."""

import math
from pathlib import Path

import pytest

import kez

UCR = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "ucr"


def spoilt(planted, how):
    series = [list(s) for s in planted]
    how(series)
    return series


@pytest.mark.parametrize(
    "change, args, words",
    [
        (
            lambda ts: ts.__setitem__(slice(None), [s[:7] for s in ts]),
            (0.5, 4, 5),
            ["10 of 10 series are shorter than", "= 12 samples", "the shortest has 7"],
        ),
        (
            lambda ts: ts[3].__setitem__(9, math.nan),
            (1.0, 4, 5),
            ["1 of 10 series holds a missing value", "series 3 at sample 9"],
        ),
        (lambda ts: ts.__setitem__(4, [2.0] * 80), (1.0, 4, 5), ["1 of 10 series is constant"]),
        (
            lambda ts: ts[6].__setitem__(slice(40, 70), [0.0] * 30),
            (1.0, 4, 5),
            ["holds a constant stretch of at least 12 samples", "the longest, 30 samples, in series 6"],
        ),
        (
            lambda ts: None,
            (1.5, 4, 5),
            ["minsup 1.5 asks for 15 of 10 series", "the most common pattern of 3 letters"],
        ),
        (lambda ts: None, (0.5, 4, 1), ["an alphabet of 1 has a single letter"]),
    ],
    ids=[
        "too-short",
        "missing-value",
        "constant-series",
        "constant-stretch",
        "minsup-out-of-reach",
        "one-letter-alphabet",
    ],
)
def test_diagnose_names_the_cause_with_its_numbers(planted, change, args, words):
    series = spoilt(planted, change)
    found = kez.Miner(*args).mine(series)
    report = kez.diagnose(series, *args)
    assert report.motifs == len(found) and report.flat == sum(map(kez.is_trivial, found))
    assert not found or report.flat == report.motifs
    text = str(report)
    assert all(w in text for w in words), text


def test_diagnose_says_nothing_when_shapes_are_found(planted):
    report = kez.diagnose(planted, 0.5, 4, 5)
    assert report.motifs > report.flat and report.reasons == []
    assert str(report).endswith("nothing stands in the way")


def test_diagnose_explains_italy_power_demand():
    path = UCR / "ItalyPowerDemand_TRAIN.ts"
    if not path.exists():
        pytest.skip(f"the UCR data are not in {UCR}")
    series, _ = kez.load_ts(path)
    report = kez.diagnose(series, 0.5, 5, 5, min_len=4)
    assert report.motifs == 0 and len(report.reasons) == 1
    assert f"asks for {math.ceil(len(series) / 2)} of {len(series)} series" in report.reasons[0]
