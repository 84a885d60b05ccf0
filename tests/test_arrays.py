"""Arrays and other buffers as datasets: the same results as the same values given as lists."""

import array

import numpy as np
import pytest

import _kez_cpp
import kez
from _kez_cpp import Miner, sax
from reference import snapshot

DTYPES = [
    "float64",
    "float32",
    "float16",
    "int8",
    "int16",
    "int32",
    "int64",
    "uint8",
    "uint16",
    "uint32",
    "uint64",
    "bool",
]


def scaled(planted, dtype):
    """The planted series as `dtype` values, wide enough apart that integer kinds still hold motifs."""
    values = np.array(planted) * 20
    if np.dtype(dtype).kind == "u":
        values -= values.min()
    return np.array(values, dtype=dtype) if dtype != "bool" else values > 0


def mined(ts):
    miner = Miner(0.5, 4, 5, max_overlap=0.95)
    return [snapshot(m) for m in miner.mine(ts)], [snapshot(m) for m in miner.motifs]


@pytest.mark.parametrize("dtype", DTYPES, ids=DTYPES)
def test_2d_array_of_any_kind_gives_what_its_values_give_as_lists(planted, dtype):
    values = scaled(planted, dtype)
    as_lists = values.tolist()
    assert sax(values, 4, 5) == sax(as_lists, 4, 5)
    found = mined(values)
    assert found == mined(as_lists)
    if dtype == "float64":
        assert found[0], "the planted bumps are found"


@pytest.mark.parametrize("split", [False, True], ids=["one-thread", "four-threads-smallest-parts"])
def test_rows_normalised_once_per_read_give_what_lists_give(split):
    """Each row of an array is normalised anew at every read, from its mean and deviation found once: rows
    that normalise to NaN or infinity, or barely at all, read by one thread or by many, keep the lists'
    bits."""
    rng = np.random.default_rng(11)
    table = np.cumsum(rng.normal(size=(70, 240)), axis=1)
    table[3] = 7.0  # no deviation
    table[5, 17] = np.nan
    table[8, 100] = np.inf
    table[13] *= 1e300  # squares overflow
    table[21] = table[21] * 1e-300 + 1.0  # a tiny deviation around a large mean
    kez.set_threads(4 if split else 1)
    _kez_cpp._split_everything(split)
    try:
        assert [snapshot(m) for m in Miner(0.3, 3, 6).mine(table)] == [
            snapshot(m) for m in Miner(0.3, 3, 6).mine(table.tolist())
        ]
    finally:
        _kez_cpp._split_everything(False)
        kez.set_threads()


@pytest.mark.parametrize(
    "make",
    [
        lambda a: [row for row in a],
        lambda a: [a[i, : 40 + 4 * i] for i in range(len(a))],
        lambda a: a[::2, ::3],
        lambda a: a[::-1, ::-1],
        lambda a: np.asfortranarray(a),
        lambda a: [a[i, ::2].astype(np.float32) for i in range(len(a))],
        lambda a: [array.array("d", row) for row in a],
        lambda a: memoryview(np.ascontiguousarray(a)),
        lambda a: [memoryview(array.array("d", row)) for row in a],
        lambda a: memoryview(a.astype(np.float16)),
        lambda a: [memoryview(row) for row in a.astype(np.float16)],
        lambda a: [a[0].tolist(), a[1], tuple(a[2]), array.array("f", a[3])],
        lambda a: a.astype(a.dtype.newbyteorder()),
        lambda a: np.broadcast_to(a[0], (3, a.shape[1])),
        lambda a: a[:0],
        lambda a: a[:, :0],
        lambda a: [a[0, :0], a[1]],
    ],
    ids=[
        "list-of-rows",
        "rows-of-different-lengths",
        "strided-slice",
        "reversed",
        "fortran-order",
        "float32-rows-strided",
        "array-array",
        "memoryview-2d",
        "memoryview-rows",
        "memoryview-float16-2d",
        "memoryview-float16-rows",
        "mixed-lists-and-buffers",
        "byte-swapped",
        "zero-stride",
        "no-series",
        "empty-series",
        "one-empty-row",
    ],
)
def test_buffer_layouts_give_what_lists_give(planted, make):
    ts = make(np.array(planted))
    as_lists = np.asarray(ts).tolist() if isinstance(ts, memoryview) else [np.asarray(r).tolist() for r in ts]
    assert sax(ts, 3, 6) == sax(as_lists, 3, 6)
    assert mined(ts) == mined(as_lists)


def test_callers_array_is_left_alone(planted):
    values = np.array(planted)
    before = values.copy()
    Miner(0.5, 4, 5).mine(values)
    sax(values, 4, 5)
    assert np.array_equal(values, before)


# Arrays of other shapes and kinds have messages of their own (test_inputs.py).
@pytest.mark.parametrize(
    "ts",
    [np.array(["ab", "cd"]), [b"abc"]],
    ids=["str", "bytes"],
)
def test_other_shapes_and_kinds_are_refused(ts):
    with pytest.raises(TypeError, match="series 0 is a .*, not a sequence of numbers"):
        sax(ts, 2, 3)
    with pytest.raises(TypeError, match="series 0 is a .*, not a sequence of numbers"):
        Miner(0.5, 2, 3).mine(ts)
