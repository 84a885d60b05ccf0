"""PatternMiner and the Motif records it leaves: growth, support, pruning and the Python view."""

import math
import random

import pytest

from _kez_cpp import Motif, PatternMiner
from reference import grown, redundant, signed_order, symbols


def mined(ds, *args, **kwargs):
    miner = PatternMiner(*args, **kwargs)
    miner.mine(ds)
    return miner.frequent


def patterns(frequent):
    return ["".join(key) for key in frequent]


def test_worked_example_leaves_only_cab():
    frequent = mined(symbols("abcab", "cabd"), 1)
    assert list(frequent) == [("c", "a", "b")]
    cab = frequent[("c", "a", "b")]
    assert cab.indexes == {0: [2], 1: [0]}
    assert (cab.length, cab.naed, cab.average_occurrences, cab.representative, cab.best_matches) == (
        0,
        0.0,
        {},
        [],
        {},
    )


def test_worked_example_before_pruning():
    frequent = mined(symbols("abcab", "cabd"), 1, min_len=1, max_overlap=1.0)
    assert patterns(frequent) == ["a", "ab", "b", "c", "ca", "cab"]
    assert frequent[("a", "b")].indexes == {0: [0, 3], 1: [1]}
    assert frequent[("c", "a")].indexes == {0: [2], 1: [0]}


@pytest.mark.parametrize(
    ("carriers", "frequent"), [(7, False), (8, True)], ids=["seven-of-100-below", "eight-of-100-above"]
)
def test_threshold_is_the_unrounded_product(carriers, frequent):
    ds = symbols(*(["xyz"] * carriers + ["q"] * (100 - carriers)))
    assert (("x", "y", "z") in mined(ds, 0.07, max_overlap=1.0)) is frequent


@pytest.mark.parametrize(
    ("ds", "args", "expected"),
    [
        (["aaaaa"], dict(minsup=1, max_overlap=1.0, max_len=3), {"aaa": {0: [0, 1, 2]}}),
        (["abc", "abc"], dict(minsup=1.01), {}),
        (["abc", ""], dict(minsup=1), {}),
        (["abc", ""], dict(minsup=0.5), {"abc": {0: [0]}}),
        ([], dict(minsup=0.5), {}),
        (["", ""], dict(minsup=0.5), {}),
        (["abcd", "abd"], dict(minsup=0.5), {"abcd": {0: [0]}}),
        (["abc", "abd"], dict(minsup=0.5, max_overlap=0.5), {"abc": {0: [0]}}),
        (["ab", "ba"], dict(minsup=0.5, min_len=1, max_overlap=-0.5), {"ab": {0: [0]}}),
        (
            ["abab"],
            dict(minsup=1, min_len=2, max_overlap=1.0, max_len=2),
            {"ab": {0: [0, 2]}, "ba": {0: [1]}},
        ),
        (
            ["abab"],
            dict(minsup=1, min_len=1, max_overlap=1.0, max_len=1),
            {"a": {0: [0, 2]}, "b": {0: [1, 3]}},
        ),
        (
            ["abab"],
            dict(minsup=1, min_len=1, max_overlap=1.0, max_len=-3),
            {"a": {0: [0, 2]}, "b": {0: [1, 3]}},
        ),
        (["abab"], dict(minsup=1, min_len=3, max_len=2), {}),
        (["abcabc", "abc"], dict(minsup=1, min_len=9), {}),
    ],
    ids=[
        "overlapping-occurrences-count-once",
        "minsup-above-1",
        "empty-series-count-in-support",
        "empty-series-with-half-support",
        "empty-dataset",
        "only-empty-series",
        "subsequence-is-redundant",
        "earlier-of-equal-length-wins",
        "negative-overlap-keeps-first",
        "max-len-2",
        "max-len-1",
        "negative-max-len",
        "max-len-level-is-pruned-too",
        "min-len-above-everything",
    ],
)
def test_mining_table(ds, args, expected):
    frequent = mined(symbols(*ds), **args)
    assert {"".join(k): m.indexes for k, m in frequent.items()} == expected


def test_max_overlap_one_erases_nothing():
    kept = mined(symbols("abcab", "cabd"), 1, min_len=1, max_overlap=1.0)
    thinned = mined(symbols("abcab", "cabd"), 1, min_len=1, max_overlap=0.99)
    assert len(kept) == 6 and patterns(thinned) == ["cab"]


def test_long_patterns_tolerate_one_letter_short():
    # Against abcdefghijk, 10 of 11 letters in order exceed 0.9 (abcdefghijz), 9 of 10 do not (bcdefghijz).
    frequent = mined(symbols("abcdefghijk|abcdefghijz", "abcdefghijz-abcdefghijk"), 1, min_len=10)
    assert patterns(frequent) == ["abcdefghijk", "bcdefghijz"]


def test_zero_support_with_a_length_limit_keeps_absent_patterns():
    frequent = mined(symbols("ab"), 0.0, min_len=1, max_len=2, max_overlap=1.0)
    assert patterns(frequent) == ["a", "aa", "ab", "b", "ba", "bb"]
    assert frequent[("a", "a")].indexes == {}


@pytest.mark.parametrize("minsup", [0.0, -1.0, math.nan], ids=["zero", "negative", "nan"])
def test_unbounded_growth_is_refused(minsup):
    miner = PatternMiner(0.5)
    miner.mine(symbols("abc", "abc"))
    before = miner.frequent
    refused = PatternMiner(minsup)
    with pytest.raises(ValueError, match=r"^minsup must be greater than 0 when max_len is 0 .*max_len=0$"):
        refused.mine(symbols("abc"))
    assert refused.frequent == {}
    miner_again = PatternMiner(minsup)
    assert miner_again.frequent == {} and list(before) == [("a", "b", "c")]


def test_second_mine_equals_a_new_miner():
    miner = PatternMiner(0.5, min_len=2)
    miner.mine(symbols("abcab", "cabd", "xyzxyz", "abab"))
    miner.mine(symbols("xyz", "xyq"))
    fresh = mined(symbols("xyz", "xyq"), 0.5, min_len=2)
    assert [(k, m.indexes) for k, m in miner.frequent.items()] == [(k, m.indexes) for k, m in fresh.items()]


def test_keys_follow_signed_byte_order():
    frequent = mined([["\x80", "a", "\xff", "b"]], 1, min_len=1, max_overlap=1.0, max_len=1)
    assert list(frequent) == [("\x80",), ("\xff",), ("a",), ("b",)]


@pytest.mark.parametrize(
    ("ds", "message"),
    [
        ([["a", None]], "Cannot convert None to a character"),
        ([["a", ""]], "Cannot convert empty string to a character"),
        ([["a", "\u0100"]], "Character code point not in range(0x100)"),
        ([["a", "ab"]], "Expected a character, but multi-character string found"),
    ],
    ids=["none", "empty", "above-latin-1", "two-characters"],
)
def test_bad_symbols_raise_value_error(ds, message):
    miner = PatternMiner(0.5, min_len=1)
    miner.mine(symbols("abc"))
    before = list(miner.frequent)
    with pytest.raises(ValueError) as raised:
        miner.mine(ds)
    assert str(raised.value) == message
    assert list(miner.frequent) == before


@pytest.mark.parametrize(
    "ds", [["abc"], "abc", [[1]], [{"a"}]], ids=["str-sequence", "str-dataset", "int-symbol", "set"]
)
def test_non_symbol_sequences_raise_type_error(ds):
    with pytest.raises(TypeError):
        PatternMiner(0.5).mine(ds)


def test_symbols_by_bytes_tuple_and_latin_1():
    frequent = mined(((b"a", bytearray(b"\xe9"), "c"), ("a", "\xe9", "c")), 1)
    assert list(frequent) == [("a", "\xe9", "c")]
    motif = frequent[("a", "\xe9", "c")]
    assert motif.pattern == "a\xe9c" == "".join(("a", "\xe9", "c"))
    assert repr(motif) == "Motif('a\xe9c')"


def test_defaults_match_explicit_values():
    ds = symbols("abcabd", "abdabc", "cabdab")
    assert (
        list(mined(ds, 0.5))
        == list(mined(ds, 0.5, 3, 0, 0.9))
        == list(mined(ds, minsup=0.5, max_overlap=0.9))
    )
    assert list(mined(ds, 0.5)) != list(mined(ds, 0.5, max_overlap=1.0))


def test_new_miner_has_nothing():
    assert PatternMiner(0.5).frequent == {}


PROPERTIES = ["pattern", "indexes", "average_occurrences", "representative", "best_matches", "length", "naed"]


class TestMotifView:
    @pytest.fixture
    def cab(self) -> Motif:
        return mined(symbols("abcab", "cabd"), 1)[("c", "a", "b")]

    def test_cannot_be_constructed(self):
        with pytest.raises(TypeError, match=r"^_kez_cpp\.Motif: No constructor defined!$"):
            Motif()

    def test_repr(self, cab):
        assert repr(cab) == "Motif('cab')" and len(repr(cab)) == 12

    @pytest.mark.parametrize("name", [*PROPERTIES, "extra"])
    def test_takes_no_assignment(self, cab, name):
        with pytest.raises(AttributeError):
            setattr(cab, name, 1)

    def test_reads_are_independent_copies(self, cab):
        first = cab.indexes
        first[0].append(99)
        first[5] = [1]
        assert cab.indexes == {0: [2], 1: [0]} and cab.indexes is not cab.indexes

    def test_properties_in_order(self):
        names = [n for n in vars(Motif) if not n.startswith("_")]
        assert names == PROPERTIES


@pytest.mark.parametrize(
    "palette",
    [pytest.param("ab", id="letters"), pytest.param("a\x7f\x80\xff", id="bytes-either-side-of-the-sign")],
)
def test_long_patterns_differing_late_grow_in_signed_order(palette):
    """Candidates are joined by comparing long shared stretches, which differ only after many symbols."""
    rng = random.Random(palette)
    words = ["".join(rng.choice(palette) for _ in range(12)) for _ in range(3)]
    ds = [list(rng.choice(words) * 2 + rng.choice(words)) for _ in range(6)]
    frequent = mined(ds, 0.5, 1, 0, 1.0)
    assert max(map(len, frequent)) >= 12
    assert list(frequent) == sorted(frequent, key=signed_order)
    assert {key: motif.indexes for key, motif in frequent.items()} == grown(ds, 0.5, 1, 0)


def test_runs_of_one_letter_keep_every_occurrence_and_prune_alike():
    """Whole sequences of one letter (a NaN series reads so) and long stretches inside others, past the length
    from which a pattern of one repeated letter reads its symbols from a sequence rather than holding them."""
    rng = random.Random(3)
    ds = [list("a" * 90), list("a" * 75), list("bba" + "a" * 69 + "ba" + "a" * 68 + "c")]
    ds += [[rng.choice("abc") for _ in range(12)] + ["a"] * rng.randint(60, 80) + ["b"] for _ in range(2)]
    everything = mined(ds, 0.4, 1, 0, 1.0)
    assert max(map(len, everything)) > 64
    assert list(everything) == sorted(everything, key=signed_order)
    assert {key: motif.indexes for key, motif in everything.items()} == grown(ds, 0.4, 1, 0)
    pruned = mined(ds, 0.4, 3)
    assert not any(redundant(r, p, 0.9) for r in pruned for p in pruned)
    assert all(
        any(redundant(r, p, 0.9) for p in pruned) for r in everything.keys() - pruned.keys() if len(r) >= 3
    )
    assert {key: motif.indexes for key, motif in pruned.items()} == {
        key: everything[key].indexes for key in pruned
    }
