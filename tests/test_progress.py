"""Progress reports: the same results, every stage in order, bars when asked, and a way to stop."""

import sys

import pytest

import kez
from reference import snapshot, symbols

STAGES = ["discretise", "grow", "compare", "map"]


def run(miner, data):
    calls = []
    result = kez.with_progress(miner, lambda *call: calls.append(call)).mine(data)
    return result, calls


@pytest.mark.parametrize(
    ("make", "data", "stages"),
    [
        (lambda: kez.Miner(0.5, 4, 4, 3), "planted", STAGES),
        (lambda: kez.PatternMiner(0.5, 2), symbols("abcabd", "abdabc", "cabdab"), ["grow", "compare"]),
    ],
    ids=["Miner", "PatternMiner"],
)
def test_reports_change_nothing_and_come_stage_by_stage(request, make, data, stages):
    if data == "planted":
        data = request.getfixturevalue("planted")
    plain, reporting = make(), make()
    expected = plain.mine(data)
    result, calls = run(reporting, data)
    if expected is not None:
        assert [snapshot(m) for m in result] == [snapshot(m) for m in expected]
        assert [snapshot(m) for m in reporting.motifs] == [snapshot(m) for m in plain.motifs]
    else:
        assert result is None
        assert [(k, snapshot(m)) for k, m in reporting.frequent.items()] == [
            (k, snapshot(m)) for k, m in plain.frequent.items()
        ]
    seen = [stage for i, (stage, _, _) in enumerate(calls) if i == 0 or calls[i - 1][0] != stage]
    assert seen == stages
    for stage, done, total in calls:
        assert total == 0 or 0 <= done <= total, (stage, done, total)
    last = {stage: (done, total) for stage, done, total in calls}
    assert all(done == total for done, total in last.values() if total > 0)
    if "map" in last:  # the series are counted once, though mapping visits each twice
        assert last["map"] == last["discretise"] == (len(data), len(data))


def test_an_exception_from_the_report_stops_the_run(planted):
    miner = kez.Miner(0.5, 4, 4, 3)

    def report(stage, done, total):
        if stage == "compare":
            raise RuntimeError("enough")

    with pytest.raises(RuntimeError, match="enough"):
        kez.with_progress(miner, report).mine(planted)
    assert miner.motifs == []
    assert [snapshot(m) for m in miner.mine(planted)] == [
        snapshot(m) for m in kez.Miner(0.5, 4, 4, 3).mine(planted)
    ]


def test_bars_show_each_stage(planted, capsys):
    pytest.importorskip("tqdm")
    kez.with_progress(kez.Miner(0.5, 4, 4, 3)).mine(planted)
    shown = capsys.readouterr().err
    assert all(name in shown for name in ["discretising", "growing patterns", "comparing", "mapping motifs"])


def test_bars_without_tqdm_say_what_to_install(planted, monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    with pytest.raises(ImportError, match=r"kez\[progress\]"):
        kez.with_progress(kez.Miner(0.5, 4, 4, 3)).mine(planted)


def test_only_miners_report():
    with pytest.raises(TypeError, match="Miner or a PatternMiner, not list"):
        kez.with_progress([])  # type: ignore[call-overload]
