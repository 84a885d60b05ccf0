"""Motifs and miners pickle and copy exactly, with every protocol, and bad states are refused."""

import copy
import multiprocessing
import pickle
import subprocess
import sys
import textwrap
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kez_cpp
import kez
from reference import snapshot

# Workers start afresh: the suite's process runs other libraries' threads, whose locks fork would copy.
SPAWN = multiprocessing.get_context("spawn")


def mined(series):
    miner = _kez_cpp.Miner(0.3, 4, 4, 3)
    return miner, miner.mine(series)


def test_every_protocol_and_copy_in_a_child_process(planted):
    # Protocols 0 and 1 once ended the interpreter; the child must finish and find every copy equal.
    script = textwrap.dedent(
        f"""
        import copy, pickle, sys
        sys.path.insert(0, {str(Path(__file__).parent)!r})
        import _kez_cpp
        from reference import snapshot
        series = {planted!r}
        miner = _kez_cpp.Miner(0.5, 4, 4, 3)
        motifs = miner.mine(series)
        patterns = _kez_cpp.PatternMiner(0.5)
        patterns.mine(_kez_cpp.sax(series, 4, 4))
        copies = [lambda x, p=p: pickle.loads(pickle.dumps(x, p)) for p in range(6)]
        for make in copies + [copy.copy, copy.deepcopy]:
            assert [snapshot(m) for m in map(make, motifs)] == [snapshot(m) for m in motifs]
            again = make(miner)
            assert [snapshot(m) for m in again.motifs] == [snapshot(m) for m in miner.motifs]
            assert [snapshot(m) for m in again.mine(series)] == [snapshot(m) for m in motifs]
            frequent = make(patterns).frequent
            assert [(k, snapshot(m)) for k, m in frequent.items()] == [
                (k, snapshot(m)) for k, m in patterns.frequent.items()
            ]
        print(len(motifs))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert int(done.stdout) > 0


series_strategy = st.lists(
    st.lists(st.floats(-1e3, 1e3) | st.just(float("nan")), min_size=0, max_size=40), min_size=1, max_size=8
)


@settings(max_examples=60, deadline=None)
@given(series=series_strategy, protocol=st.integers(0, 5))
def test_motifs_round_trip_bit_for_bit(series, protocol):
    miner, motifs = mined(series)
    for motif in motifs:
        assert snapshot(pickle.loads(pickle.dumps(motif, protocol))) == snapshot(motif)
    restored = pickle.loads(pickle.dumps(miner, protocol))
    assert [snapshot(m) for m in restored.motifs] == [snapshot(m) for m in miner.motifs]


def test_a_restored_miner_keeps_its_parameters(planted):
    miner = _kez_cpp.Miner(0.6, 8, 5, min_len=2, max_len=4, max_overlap=0.5, k=2)
    restored = copy.deepcopy(miner)
    assert [snapshot(m) for m in restored.mine(planted)] == [snapshot(m) for m in miner.mine(planted)]


def _mine_in_worker(series):
    return mined(series)[1]


def test_motifs_come_back_from_a_worker_process(planted):
    with ProcessPoolExecutor(max_workers=1, mp_context=SPAWN) as pool:
        remote = pool.submit(_mine_in_worker, planted).result(timeout=120)
    assert [snapshot(m) for m in remote] == [snapshot(m) for m in mined(planted)[1]]


def saved(planted):
    return list(mined(planted)[1][0].__getstate__())


def altered(state, at, value):
    state[at] = value
    return tuple(state)


@pytest.mark.parametrize(
    ("change", "message"),
    [
        (lambda s: tuple(s[:5]), "expected 12 items, got 5"),
        (lambda s: altered(s, 2, s[2] + 1), "is not seglen times the pattern's length"),
        (lambda s: altered(s, 3, b"\0" * 7), "naed holds 7 bytes"),
        (lambda s: altered(s, 4, 10**6), "bucket count 1000000 is too large"),
        (lambda s: altered(s, 6, s[6][:-8]), "counts"),
        (lambda s: altered(s, 7, s[7] + b"\0\0\0\0"), "do not add up"),
        (lambda s: altered(s, 5, s[5][:4] * (len(s[5]) // 4)), "appears twice in the index"),
        (lambda s: altered(s, 10, s[10][:-8]), "statistics do not fit"),
    ],
    ids=["short", "length", "naed", "buckets", "counts", "positions", "duplicate-series", "averages"],
)
def test_a_state_that_does_not_fit_is_refused(planted, change, message):
    bare = _kez_cpp.Motif.__new__(_kez_cpp.Motif)
    with pytest.raises(ValueError, match=message):
        bare.__setstate__(change(saved(planted)))


def pattern_miner_state():
    miner = _kez_cpp.PatternMiner(0.5)
    miner.mine([list("abcab"), list("abcab")])
    return list(miner.__getstate__())


# Item `at` of a state replaced by `value`: a field of another type or out of range is named.
@pytest.mark.parametrize(
    ("state", "at", "value", "error", "message"),
    [
        (saved, 1, 2**31, ValueError, r"^motif state: item 1 \(seglen\) is out of range$"),
        (saved, 1, 2.0, TypeError, r"^motif state: item 1 \(seglen\) must be an int, not a float$"),
        (saved, 4, -1, ValueError, r"item 4 \(index buckets\) is out of range"),
        (saved, 0, "ab", TypeError, r"item 0 \(pattern\) must be bytes, not a str"),
        (saved, 5, lambda old: b"\xff" * 4 + old[4:], ValueError, "a series index is negative"),
        (
            lambda p: list(mined(p)[0].__getstate__()),
            2,
            2**40,
            ValueError,
            r"miner state: item 2 \(alphabet\)",
        ),
        (
            lambda p: list(mined(p)[0].__getstate__()),
            7,
            [1],
            TypeError,
            r"\(motifs\) must be a list of Motif",
        ),
        (lambda p: pattern_miner_state(), 0, "x", TypeError, r"\(minsup\) must be a float, not a str"),
    ],
    ids=["seglen-range", "seglen-type", "buckets", "pattern", "negative-series", "miner", "motifs", "minsup"],
)
def test_a_field_of_another_type_or_range_is_named(planted, state, at, value, error, message):
    values = state(planted)
    values[at] = value(values[at]) if callable(value) else value
    cls = {12: _kez_cpp.Motif, 8: _kez_cpp.Miner, 5: _kez_cpp.PatternMiner}[len(values)]
    with pytest.raises(error, match=message):
        cls.__new__(cls).__setstate__(tuple(values))


@pytest.mark.parametrize(
    "cls", [_kez_cpp.Motif, _kez_cpp.Miner, _kez_cpp.PatternMiner], ids=lambda c: c.__name__
)
def test_an_instance_without_init_does_not_pickle(cls):
    with pytest.raises(TypeError, match="without __init__"):
        pickle.dumps(cls.__new__(cls))


def test_the_package_sax_pickles_by_name_for_process_pools():
    assert pickle.loads(pickle.dumps(kez.sax)) is kez.sax
    with ProcessPoolExecutor(max_workers=1, mp_context=SPAWN) as pool:
        assert list(pool.map(kez.sax, [[[1.0, 2.0, 3.0, 4.0]]], [2], [3])) == [
            kez.sax([[1.0, 2.0, 3.0, 4.0]], 2, 3)
        ]
