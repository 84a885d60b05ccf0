"""Any number of threads gives the same results, to the bit; the setting takes only what it can use."""

import math
import os
import random
import struct
import subprocess
import sys
import textwrap
from array import array

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kez_cpp
import kez
from reference import snapshot


def outcome(run):
    """What `run` gives, made comparable: motifs by snapshot, frequent maps in key order, or the error."""
    try:
        result = run()
    except Exception as error:  # noqa: BLE001 - the error is the outcome compared
        return ("raised", type(error).__name__, str(error))
    if isinstance(result, dict):
        return [(key, snapshot(m)) for key, m in result.items()]
    if isinstance(result, list) and result and isinstance(result[0], kez.Motif):
        return [snapshot(m) for m in result]
    return result


def one_and_many(run):
    """The outcome of `run` on the calling thread alone, then split among four threads."""
    kez.set_threads(1)
    alone = outcome(run)
    kez.set_threads(4)
    _kez_cpp._split_everything(True)
    try:
        return alone, outcome(run)
    finally:
        _kez_cpp._split_everything(False)
        kez.set_threads()


def frequent(miner, data):
    miner.mine(data)
    return miner.frequent


def walks(count, samples, seed):
    rng = np.random.default_rng(seed)
    return np.cumsum(rng.normal(size=(count, samples)), axis=1)


@pytest.mark.parametrize(
    "run",
    [
        pytest.param(lambda planted: kez.Miner(0.5, 4, 4, 3).mine(planted), id="Miner-lists"),
        pytest.param(lambda planted: kez.Miner(0.3, 2, 5, 3, k=7).mine(np.array(planted)), id="Miner-array"),
        pytest.param(lambda planted: kez.Miner(0.2, 2, 6).mine(walks(30, 300, 1)), id="Miner-walks"),
        pytest.param(
            lambda planted: kez.Miner(0.5, 2, 4, max_overlap=1.0).mine(planted), id="Miner-no-pruning"
        ),
        pytest.param(
            lambda planted: frequent(kez.PatternMiner(0.3, 2), kez.sax(walks(20, 400, 2), 2, 5)),
            id="PatternMiner",
        ),
        pytest.param(lambda planted: kez.sax(walks(40, 500, 3), 3, 7), id="sax"),
        pytest.param(
            lambda planted: kez.nearest([s[5:40] for s in planted[:3]], walks(30, 600, 4)), id="nearest"
        ),
        pytest.param(lambda planted: kez.Miner(0.5, 0, 4).mine(planted), id="error-seglen-0"),
        pytest.param(lambda planted: kez.Miner(0.5, 4, 11).mine(planted), id="error-alphabet"),
    ],
)
def test_threads_change_nothing(planted, run):
    alone, many = one_and_many(lambda: run(planted))
    assert alone == many


def bits(dataset):
    """Each series' doubles as bytes, so that NaN payloads and signed zeros count."""
    return [array("d", row).tobytes() for row in dataset]


# The values whose bits are easiest to lose: NaNs with a sign or a payload, signed zeros, infinities, the
# largest finite double and the subnormals.
SPECIAL = [
    math.nan,
    -math.nan,
    struct.unpack("<d", struct.pack("<Q", 0x7FF0_0000_0000_0001))[0],
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    sys.float_info.max,
    -sys.float_info.max,
    5e-324,
    -2.225073858507201e-308,
]


def special_rows():
    """Series of floats half of them special, of lengths that split into many parts and cross batches, some
    of them tuples, two holding an int or a bool among the floats (read one value at a time)."""
    rng = random.Random(7)
    rows = [
        [rng.choice(SPECIAL) if rng.random() < 0.5 else rng.uniform(-1e300, 1e300) for _ in range(n)]
        for n in (0, 1, 7, 250, 40, 1000, 3, 301)
    ]
    rows[2], rows[7] = tuple(rows[2]), tuple(rows[7])
    rows[4][17] = 12
    rows[5][999] = True
    return rows


@pytest.mark.parametrize("outer", [list, tuple])
def test_lists_of_floats_read_to_the_bit_on_any_number_of_threads(outer):
    data = outer(special_rows())
    alone, many = one_and_many(lambda: bits(_kez_cpp._read_series(data)))
    assert alone == many == bits([[float(v) for v in row] for row in data])


class Rows(list):
    """A list of series that is not a list as such, so its items are read one at a time, on one thread."""


def with_item(index, position, value):
    rows = special_rows()
    rows[index] = list(rows[index])
    rows[index][position] = value
    return rows


REFUSED_ROWS = {
    "str-in-the-3rd-series": lambda: with_item(2, 3, "x"),
    "none-in-a-long-series": lambda: with_item(5, 600, None),
    "list-in-a-series": lambda: with_item(3, 100, [1.0]),
    "str-as-a-series": lambda: [*special_rows()[:3], "abc"],
    "2-d-array-after-lists": lambda: [*special_rows()[:4], np.zeros((2, 2)), [1.0]],
    "complex-array-after-lists": lambda: [*special_rows()[:6], np.zeros(3, dtype=complex)],
}


@pytest.mark.parametrize("make", REFUSED_ROWS.values(), ids=REFUSED_ROWS.keys())
def test_refused_lists_raise_alike_on_any_number_of_threads(make):
    data = make()
    alone, many = one_and_many(lambda: _kez_cpp.sax(data, 2, 3))
    # What the item-by-item reading of any other sequence raises for the same items.
    kez.set_threads(1)
    assert alone == many == outcome(lambda: _kez_cpp.sax(Rows(data), 2, 3))
    assert alone[0] == "raised"


finite = st.floats(-5, 5)
collections = st.lists(
    st.lists(st.one_of(finite, finite, finite, st.just(math.nan)), min_size=0, max_size=40),
    min_size=1,
    max_size=8,
)


@settings(max_examples=100, deadline=None)
@given(
    data=collections,
    minsup=st.floats(0.1, 1.0),
    seglen=st.integers(1, 3),
    alphabet=st.integers(2, 6),
    min_len=st.integers(1, 3),
    overlap=st.floats(0.0, 1.0),
)
def test_any_collection_mines_alike_on_any_number_of_threads(
    data, minsup, seglen, alphabet, min_len, overlap
):
    alone, many = one_and_many(
        lambda: kez.Miner(minsup, seglen, alphabet, min_len, max_overlap=overlap).mine(data)
    )
    assert alone == many


@pytest.mark.parametrize(
    ("n", "error", "message"),
    [
        (0, ValueError, "between 1 and"),
        (-2, ValueError, "got -2"),
        (4 * (os.cpu_count() or 1) + 1, ValueError, "4 per core"),
        (2**62, ValueError, "4 per core"),
        (2.0, TypeError, "not float"),
        ("2", TypeError, "not str"),
        (True, TypeError, "not bool"),
    ],
    ids=["zero", "negative", "too-many", "absurd", "float", "str", "bool"],
)
def test_set_threads_refuses_what_it_cannot_use(n, error, message):
    before = kez.threads()
    with pytest.raises(error, match=message):
        kez.set_threads(n)
    assert kez.threads() == before


def test_the_private_setter_refuses_counts_that_would_overflow_the_parts():
    before = kez.threads()
    with pytest.raises(ValueError, match="above the most"):
        _kez_cpp._set_threads(2**62)
    assert kez.threads() == before


def test_set_threads_takes_a_count_and_none_means_every_core():
    kez.set_threads(np.int64(3))
    assert kez.threads() == 3
    kez.set_threads(None)
    assert kez.threads() >= 1


def test_a_forked_child_mines_on_threads_of_its_own():
    # The parent's workers do not exist in a child of fork: the child starts its own and gets the same bits.
    script = textwrap.dedent(
        """
        import multiprocessing, numpy as np, _kez_cpp
        _kez_cpp._set_threads(4); _kez_cpp._split_everything(True)
        data = np.cumsum(np.random.default_rng(5).normal(size=(30, 400)), axis=1)
        def run(_=None):
            motifs = _kez_cpp.Miner(0.3, 2, 5).mine(data)
            return [(m.pattern, m.naed.hex(), list(m.best_matches.items())) for m in motifs]
        here = run()
        with multiprocessing.get_context("fork").Pool(2) as pool:
            there = pool.map(run, range(2))
        assert there == [here, here], "a child differs"
        print("ok", len(here))
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith("ok ") and int(done.stdout.split()[1]) > 0
