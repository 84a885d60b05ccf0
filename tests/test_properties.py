"""Properties that hold for any input, however odd: generated datasets and parameters in and out of range."""

import copy
import math

import numpy as np
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from _kez_cpp import Miner, PatternMiner, sax
from reference import LENGTH_ERROR, bits, grown, redundant, signed_order, snapshot, znormed

GROWTH_ERROR = "minsup must be greater than 0 when max_len is 0 (no length limit), got minsup="
SETTINGS = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

SPECIAL = [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e308, 5e-324, -5e-324, 1e-300, 2.5]
values = st.one_of(
    st.sampled_from(SPECIAL),
    st.floats(-4, 4),
    st.floats(allow_nan=True, allow_infinity=True),
    st.integers(-3, 3),
)
series = st.one_of(
    st.lists(values, max_size=14),
    st.lists(st.floats(-2, 2), min_size=4, max_size=14),
    st.builds(lambda v, n: [v] * n, values, st.integers(0, 12)),
)
datasets = st.one_of(st.lists(series, min_size=1, max_size=5), st.lists(series, max_size=5).map(tuple))
minsups = st.one_of(
    st.floats(0.05, 1.0),
    st.floats(0.05, 1.0),
    st.floats(-0.5, 1.5),
    st.sampled_from([math.nan, math.inf, -math.inf, 0.0, -0.0, 1.0000001]),
)
overlaps = st.one_of(st.floats(-0.5, 1.5), st.sampled_from([math.nan, 0.0, 0.9, 1.0]))
seglens = st.one_of(st.integers(1, 4), st.integers(1, 4), st.integers(-3, 0))
min_lens = st.integers(-1, 3)


@st.composite
def growth(draw):
    """minsup with max_len; without a positive threshold every candidate passes, so levels grow like
    (symbols ** max_len) and max_len is kept small."""
    minsup = draw(minsups)
    max_len = draw(st.one_of(st.just(0), st.integers(-2, 4)) if minsup > 0 else st.integers(-2, 2))
    return minsup, max_len


@st.composite
def symbolic(draw):
    """Symbol sequences over a small palette of arbitrary bytes, so that patterns repeat."""
    palette = draw(st.lists(st.integers(0, 255).map(chr), min_size=1, max_size=4, unique=True))
    letters = st.sampled_from(palette)
    words = st.one_of(st.lists(letters, min_size=2, max_size=10), st.lists(letters, max_size=10))
    return draw(st.lists(words, min_size=1, max_size=5))


def same_values(a, b) -> bool:
    """Equal structure, types and float bit patterns (NaN equals NaN)."""
    if isinstance(a, float) or isinstance(b, float):
        return type(a) is type(b) and bits(a) == bits(b)
    if isinstance(a, (list, tuple)):
        return (
            type(a) is type(b)
            and len(a) == len(b)
            and all(same_values(x, y) for x, y in zip(a, b, strict=True))
        )
    return type(a) is type(b) and a == b


def outcome(call):
    """A call's result or its exception, as something comparable."""
    try:
        return "ok", call()
    except Exception as e:  # noqa: BLE001 - the type and message are what is compared
        return type(e), str(e)


def miner_refusal(ts, minsup, seglen, alphabet, max_len):
    """The documented error a Miner's mine (or sax) raises before any result, or None."""
    if not 0 <= alphabet <= 10:
        return ValueError, f"alphabet must be between 0 and 10, got {alphabet}"
    if max_len == 0 and not minsup > 0:
        return ValueError, GROWTH_ERROR
    if (seglen == 0 and ts) or (seglen < 0 and any(len(s) >= -seglen for s in ts)):
        return ValueError, LENGTH_ERROR
    return None


def assert_raised(got, expected):
    kind, message = expected
    assert got[0] is kind and got[1].startswith(message), got


@SETTINGS
@given(
    ts=datasets,
    seglen=st.one_of(st.integers(-4, 6), st.sampled_from([-(2**31), 2**31 - 1])),
    alphabet=st.one_of(st.integers(-2, 12), st.sampled_from([-(2**31), 2**31 - 1])),
)
def test_sax_letters_counts_and_errors(ts, seglen, alphabet):
    before = copy.deepcopy(ts)
    got = outcome(lambda: sax(ts, seglen, alphabet))
    assert same_values(ts, before)
    refusal = miner_refusal(ts, 1.0, seglen, alphabet, 1)
    if refusal:
        assert_raised(got, refusal)
        return
    assert got[0] == "ok"
    top = chr(96 + max(alphabet, 1))
    assert [len(row) for row in got[1]] == [max(0, math.ceil(len(s) / seglen)) for s in ts]
    assert all("a" <= c <= top for row in got[1] for c in row)


@SETTINGS
@given(ds=symbolic(), grow=growth(), min_len=min_lens, max_overlap=overlaps, again=symbolic())
def test_pattern_miner_keeps_exactly_the_frequent_non_redundant_patterns(
    ds, grow, min_len, max_overlap, again
):
    minsup, max_len = grow
    before = copy.deepcopy(ds)
    miner = PatternMiner(minsup, min_len, max_len, max_overlap)
    got = outcome(lambda: miner.mine(ds))
    assert same_values(ds, before)
    if max_len == 0 and not minsup > 0:
        assert_raised(got, (ValueError, GROWTH_ERROR))
        assert miner.frequent == {}
        return
    assert got == ("ok", None)
    frequent = miner.frequent
    assert list(frequent) == sorted(frequent, key=signed_order)
    assert all("".join(key) == motif.pattern for key, motif in frequent.items())
    # Each survivor was grown (support, lengths) and records every occurrence, in increasing order.
    reference = grown(ds, minsup, min_len, max_len)
    assert {key: motif.indexes for key, motif in frequent.items()} == {
        key: reference[key] for key in frequent
    }
    # No survivor is redundant next to another, and each pattern pruned away has a surviving eraser.
    assert not any(redundant(r, p, max_overlap) for r in frequent for p in frequent)
    for r in reference.keys() - frequent.keys():
        assert any(redundant(r, p, max_overlap) for p in frequent), r
    # A second mine gives what a new miner gives.
    fresh = PatternMiner(minsup, min_len, max_len, max_overlap)
    fresh.mine(again)
    miner.mine(again)
    assert [(k, snapshot(m)) for k, m in miner.frequent.items()] == [
        (k, snapshot(m)) for k, m in fresh.frequent.items()
    ]


@settings(max_examples=60, deadline=None)
@given(
    ds=symbolic(),
    position=st.integers(0, 4),
    bad=st.sampled_from(
        [
            (None, "Cannot convert None to a character"),
            ("", "Cannot convert empty string to a character"),
            ("ab", "Expected a character, but multi-character string found"),
            ("\u0100", "Character code point not in range(0x100)"),
            ("\U0001f600", "Character code point not in range(0x100)"),
        ]
    ),
)
def test_bad_symbols_are_refused_and_change_nothing(ds, position, bad):
    miner = PatternMiner(0.5, 1)
    miner.mine(ds)
    before = [(k, snapshot(m)) for k, m in miner.frequent.items()]
    element, message = bad
    broken = [list(seq) for seq in ds] + [["a"]]
    broken[-1].insert(min(position, 1), element)
    got = outcome(lambda: miner.mine(broken))
    assert got == (ValueError, message)
    assert [(k, snapshot(m)) for k, m in miner.frequent.items()] == before


def check_statistics(motif, seglen):
    assert motif.length == len(motif.pattern) * seglen
    assert len(motif.representative) == motif.length
    assert set(motif.average_occurrences) == set(motif.indexes) == set(motif.best_matches)
    assert all(len(average) == motif.length for average in motif.average_occurrences.values())
    for s, positions in motif.indexes.items():
        assert motif.best_matches[s] in {p * seglen for p in positions} | {0}
    assert math.isnan(motif.naed) if not motif.indexes else not motif.naed < 0


@SETTINGS
@given(
    ts=datasets,
    grow=growth(),
    seglen=seglens,
    alphabet=st.one_of(st.integers(2, 5), st.integers(-1, 11)),
    min_len=min_lens,
    max_overlap=overlaps,
    k=st.integers(-2, 4),
    again=datasets,
)
def test_miner_results_are_consistent(ts, grow, seglen, alphabet, min_len, max_overlap, k, again):
    minsup, max_len = grow
    args = (minsup, seglen, alphabet, min_len, max_len, max_overlap, k)
    before = copy.deepcopy(ts)
    miner = Miner(*args)
    got = outcome(lambda: miner.mine(ts))
    assert same_values(ts, before)
    refusal = miner_refusal(ts, minsup, seglen, alphabet, max_len)
    if refusal:
        assert_raised(got, refusal)
        assert miner.motifs == []
    else:
        motifs = miner.motifs
        if k < 0:
            assert got == (ValueError, LENGTH_ERROR)
        else:
            assert got[0] == "ok"
            assert [snapshot(m) for m in got[1]] == [snapshot(m) for m in motifs[: k or len(motifs)]]
        naeds = [(math.isnan(m.naed), m.naed) for m in motifs]
        assert naeds == sorted(naeds)
        # The motifs are the pattern miner's patterns over the normalised series, with their statistics.
        patterns = PatternMiner(minsup, min_len, max_len, max_overlap)
        patterns.mine(sax(znormed(ts), seglen, alphabet))
        expected = {"".join(key): m.indexes for key, m in patterns.frequent.items()}
        assert {m.pattern: m.indexes for m in motifs} == expected and len(motifs) == len(expected)
        for motif in motifs:
            check_statistics(motif, seglen)
    # A second mine gives what a new miner gives.
    second, fresh = Miner(*args), Miner(*args)
    outcome(lambda: second.mine(ts))
    results = [outcome(lambda m=m: [snapshot(x) for x in m.mine(again)]) for m in (second, fresh)]
    assert results[0] == results[1]
    assert [snapshot(m) for m in second.motifs] == [snapshot(m) for m in fresh.motifs]


class Number:
    """A number that converts by its own Python method, as a Fraction does; or raises `error` there."""

    def __init__(self, value, error=None):
        self.value, self.error = value, error

    def converted(self, kind):
        if self.error is not None:
            raise self.error
        return kind(self.value)


class Real(Number):
    def __float__(self):
        return self.converted(float)


class Index(Number):
    """Converts only through __index__, so only ints take this form."""

    def __index__(self):
        return self.converted(int)


ERRORS = [KeyboardInterrupt, ValueError, ZeroDivisionError, TypeError, OverflowError, RuntimeError]


@st.composite
def wrapped(draw):
    """A dataset, the same with some numbers as Real or Index objects, and where to put a failing one."""
    numbers = st.one_of(st.floats(allow_nan=True), st.integers(-3, 3))
    ts = draw(st.lists(st.lists(numbers, max_size=8), min_size=1, max_size=4))
    kinds = st.sampled_from([None, Real, Index])

    def wrap(kind, v):
        return kind(v) if kind is Real or (kind is Index and type(v) is int) else v

    objects = [[wrap(draw(kinds), v) for v in row] for row in ts]
    s = draw(st.integers(0, len(ts) - 1))
    return ts, objects, s, draw(st.integers(0, len(ts[s]))), draw(st.sampled_from([Real, Index]))


@SETTINGS
@given(data=wrapped(), error=st.sampled_from(ERRORS), message=st.text(max_size=5))
def test_numbers_convert_by_their_own_methods_and_their_errors_propagate(data, error, message):
    ts, numbers, s, position, kind = data
    assert outcome(lambda: sax(numbers, 2, 4)) == outcome(lambda: sax(ts, 2, 4))
    miner = Miner(0.5, 2, 4, 1)
    miner.mine(numbers)
    before = [snapshot(m) for m in miner.motifs]
    assert before == [snapshot(m) for m in Miner(0.5, 2, 4, 1).mine(ts)]
    raised = error(message)
    numbers[s].insert(position, kind(1, raised))
    for call in (lambda: sax(numbers, 2, 4), lambda: miner.mine(numbers)):
        try:
            call()
        except BaseException as caught:  # noqa: B036 - KeyboardInterrupt is one of the cases
            assert caught is raised
        else:
            raise AssertionError("the conversion's exception was lost")
    assert [snapshot(m) for m in miner.motifs] == before


@SETTINGS
@given(
    shape=st.tuples(st.integers(0, 4), st.integers(0, 12)),
    data=st.data(),
    seglen=st.integers(1, 4),
)
def test_float16_buffers_read_what_their_values_give_as_lists(shape, data, seglen):
    size = shape[0] * shape[1]
    codes = data.draw(st.lists(st.integers(0, 0xFFFF), min_size=size, max_size=size))
    halves = np.array(codes, dtype=np.uint16).view(np.float16).reshape(shape)
    as_lists = halves.tolist()
    expected_letters = outcome(lambda: sax(as_lists, seglen, 6))
    expected = outcome(lambda: [snapshot(m) for m in Miner(0.5, seglen, 4, 1).mine(as_lists)])
    for ts in (halves, memoryview(halves), [memoryview(row) for row in halves]):
        assert outcome(lambda ts=ts: sax(ts, seglen, 6)) == expected_letters
        assert outcome(lambda ts=ts: [snapshot(m) for m in Miner(0.5, seglen, 4, 1).mine(ts)]) == expected
