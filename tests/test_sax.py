import itertools
import json
import math
import os
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from _kez_cpp import sax
from reference import LENGTH_ERROR_MATCH


@pytest.mark.parametrize(
    ("ts", "seglen", "alphabet", "expected"),
    [
        ([[-1, -1, 0, 0, 1, 1]], 2, 3, [["a", "b", "c"]]),
        ([[0.6, 0.6, 0.6]], 2, 3, [["c", "b"]]),
        ([[0.43, 0.43]], 2, 3, [["b"]]),
        ([[0.0, -0.0, 1e-300]], 1, 2, [["a", "a", "b"]]),
        ([[-5, 0, 5]], 1, 0, [["a", "a", "a"]]),
        ([[-5, 0, 5]], 1, 1, [["a", "a", "a"]]),
        ([[-1.5, -0.5, -0.5, -0.5, 0, 0, 1, 2]], 2, 4, [["a", "b", "b", "d"]]),
        ([[1, 1, 1, 1, 1, 1, 1]], 3, 3, [["c", "c", "b"]]),
        ([[1.0, 1.0]], 5, 3, [["b"]]),
        ([[1.5, 1.5]], 5, 3, [["c"]]),
        ([[math.nan, 5.0]], 1, 10, [["a", "j"]]),
        ([[-math.inf, math.inf]], 1, 5, [["a", "e"]]),
        ([[]], 3, 5, [[]]),
        ([], 3, 5, []),
        ([[1.0], [], [-1.0, -1.0]], 1, 3, [["c"], [], ["a", "a"]]),
    ],
    ids=[
        "three-letters",
        "short-last-segment-divides-by-seglen",
        "breakpoint-takes-lower-letter",
        "signed-zero-alphabet-2",
        "alphabet-0",
        "alphabet-1",
        "alphabet-4",
        "seven-samples-seglen-3",
        "two-samples-seglen-5-low",
        "two-samples-seglen-5-high",
        "nan-is-a",
        "infinities-lowest-highest",
        "empty-series",
        "empty-dataset",
        "mixed-lengths",
    ],
)
def test_letters(ts, seglen, alphabet, expected):
    assert sax(ts, seglen, alphabet) == expected


@pytest.mark.parametrize(
    ("ts", "seglen"),
    [([[1.0, 2.0]], 0), ([[]], 0), ([[], [1.0]], 0), ([[1.0, 2.0]], -2), ([[1.0], [1.0, 2.0]], -2)],
    ids=["seglen-0", "seglen-0-empty", "seglen-0-fails-at-first", "negative-seglen", "negative-after-short"],
)
def test_impossible_segment_counts_raise_length_error(ts, seglen):
    with pytest.raises(ValueError, match=LENGTH_ERROR_MATCH):
        sax(ts, seglen, 3)


def test_negative_seglen_shorter_series_gives_nothing():
    assert sax([[1.0], []], -2, 3) == [[], []]


@pytest.mark.parametrize("alphabet", [-1, 11, 2**31 - 1, -(2**31)])
def test_alphabet_without_breakpoints_is_refused(alphabet):
    with pytest.raises(ValueError, match=rf"^alphabet must be between 0 and 10, got {alphabet}$"):
        sax([[1.0, 2.0]], 1, alphabet)


def test_every_alphabet_uses_its_own_letters():
    values = [[x / 10 for x in range(-40, 41)]]
    for alphabet in range(2, 11):
        letters = set(sax(values, 1, alphabet)[0])
        assert letters == {chr(97 + c) for c in range(alphabet)}


def test_every_item_holds_one_reference_to_its_letter():
    rows = np.tile([-2.0, 0.0, 2.0, 2.0], (3, 50))

    def references():
        return [sys.getrefcount(c) for c in "abc"]

    before = references()
    result = sax(rows, 1, 3)
    held = [after - count for after, count in zip(references(), before, strict=True)]
    assert held == [sum(row.count(c) for row in result) for c in "abc"]
    del result
    assert references() == before


BREAKPOINTS = {
    alphabet: [float(v) for v in row]
    for alphabet, row in {
        0: [],
        1: [],
        2: ["0"],
        3: ["-0.43", "0.43"],
        4: ["-0.67", "0", "0.67"],
        5: ["-0.84", "-0.25", "0.25", "0.84"],
        6: ["-0.97", "-0.43", "0", "0.43", "0.97"],
        7: ["-1.07", "-0.57", "-0.18", "0.18", "0.57", "1.07"],
        8: ["-1.15", "-0.67", "-0.32", "0", "0.32", "0.67", "1.15"],
        9: ["-1.22", "-0.76", "-0.43", "-0.14", "0.14", "0.43", "0.76", "1.22"],
        10: ["-1.28", "-0.84", "-0.52", "-0.25", "0", "0.25", "0.52", "0.84", "1.28"],
    }.items()
}


@settings(max_examples=300, deadline=None)
@given(
    alphabet=st.sampled_from(sorted(BREAKPOINTS)),
    seglen=st.one_of(st.integers(1, 16), st.integers(1, 2**31 - 1)),
    near=st.integers(-1, 9),
    ulps=st.integers(-3, 3),
    sample=st.floats(allow_nan=True, allow_infinity=True),
)
def test_letter_is_that_of_the_rounded_mean(alphabet, seglen, near, ulps, sample):
    """A lone sample: its letter is that of sample / seglen, however close to a breakpoint."""
    cuts = BREAKPOINTS[alphabet]
    if 0 <= near < len(cuts):  # a sum whose mean lies within a few ulps of a breakpoint
        sample = cuts[near] * seglen
        for _ in range(abs(ulps)):
            sample = math.nextafter(sample, math.copysign(math.inf, ulps))
    mean = sample / seglen
    expected = chr(ord("a") + sum(mean > b for b in cuts))
    assert sax([[sample]], seglen, alphabet) == [[expected]]


def reference_letters(row, seglen, alphabet):
    """The rule, a segment at a time: sum first to last from 0.0, divide by seglen, count cuts below."""
    letters = []
    for start in range(0, len(row), seglen):
        total = 0.0
        for x in row[start : start + seglen]:
            total += x
        mean = total / seglen
        letters.append(chr(ord("a") + sum(mean > b for b in BREAKPOINTS[alphabet])))
    return letters


SAMPLES = st.one_of(
    st.floats(-3, 3),
    st.sampled_from([math.nan, math.inf, -math.inf, -0.0, 5e-324, 0.43, -0.43, 0.67, 1e308]),
)


@settings(max_examples=200, deadline=None)
@given(
    data=st.data(),
    width=st.integers(0, 300),
    seglen=st.integers(1, 20),
    alphabet=st.integers(0, 10),
)
def test_every_segment_follows_the_rule(data, width, seglen, alphabet):
    """Rows long enough to fill several blocks of segments, cut so the last segment is often short."""
    rows = data.draw(st.lists(st.lists(SAMPLES, min_size=width, max_size=width), max_size=4))
    expected = [reference_letters(row, seglen, alphabet) for row in rows]
    assert sax(rows, seglen, alphabet) == expected
    assert sax(np.array(rows, dtype=np.float64).reshape(len(rows), width), seglen, alphabet) == expected


@pytest.mark.parametrize("seglen", [4, 8, 12, 16, 20])
def test_each_segment_sums_its_samples_in_order(seglen):
    """Segments holding 1e16, 1.0 and -1e16 at every choice of places, among zeros: summed first to last,
    the 1.0 is lost when it comes after 1e16 and before -1e16 and kept otherwise, so the letter tells the
    order."""
    row = []
    for i, j, k in itertools.permutations(range(seglen), 3):
        segment = [0.0] * seglen
        segment[i], segment[j], segment[k] = 1e16, 1.0, -1e16
        row += segment
    expected = reference_letters(row, seglen, 2)
    assert set(expected) == {"a", "b"}
    assert sax([row], seglen, 2) == [expected]
    assert sax(np.array([row, row[::-1]]), seglen, 2) == [expected, reference_letters(row[::-1], seglen, 2)]


@pytest.mark.parametrize("seglen", [1, 5, 16])
def test_large_table_matches_its_rows_one_by_one(seglen):
    """A table of over a million samples, which is shared between threads, against its rows given apart."""
    rng = np.random.default_rng(seglen)
    table = rng.standard_normal((65, 16_385))
    table[rng.integers(0, 65, 40), rng.integers(0, 16_385, 40)] = np.nan
    for view in (table, table[::-1]):
        assert sax(view, seglen, 7) == sax(list(view), seglen, 7)


def test_large_table_refuses_an_impossible_segment_count():
    with pytest.raises(ValueError, match=LENGTH_ERROR_MATCH):
        sax(np.ones((64, 16_385)), 0, 3)


@pytest.mark.parametrize("shape", [(0, 5), (3, 0), (0, 0), (2, 7)])
@pytest.mark.parametrize("seglen", [0, -2, 3])
def test_table_edges_behave_as_their_lists(shape, seglen):
    """Letters or error, a table gives what the same rows given as lists give."""
    table = np.ones(shape)

    def outcome(ts):
        try:
            return sax(ts, seglen, 3)
        except ValueError as error:
            return str(error)

    assert outcome(table) == outcome(table.tolist())


def run_child(script, *args):
    """Runs `script` in a fresh interpreter, so that a crash fails the test rather than the run."""
    return subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True, timeout=300)


# Python code that looks at every list the collector knows of, as a debugger or a leak hunter would, while
# sax builds its result: from a gc callback, which allocations set off, or from another thread while the
# lock is given up.
WALKER = r"""
import gc, sys, threading
import numpy as np
from _kez_cpp import sax

def touch_lists():
    for o in gc.get_objects():
        if type(o) is list:
            o[:]

ts = {
    "lists": [[0.25 * (i % 5) for i in range(30)]] * 3000,
    "table": np.tile(np.arange(30.0) % 5 * 0.25, (3000, 1)),
    "strided": np.tile(np.arange(60.0) % 5 * 0.25, (3000, 1))[:, ::2],
}[sys.argv[2]]
expected = sax(np.asarray(ts).tolist(), 3, 4)
stop = threading.Event()
if sys.argv[1] == "callback":
    gc.callbacks.append(lambda phase, info: touch_lists())
    runs = 3
else:
    walker = threading.Thread(target=lambda: [touch_lists() for _ in iter(stop.is_set, True)])
    walker.start()
    runs = 40
same = all(sax(ts, 3, 4) == expected for _ in range(runs))
stop.set()
print(same)
"""


@pytest.mark.parametrize(
    ("walker", "kind"),
    [("callback", "lists"), ("callback", "table"), ("callback", "strided"), ("thread", "table")],
    ids=["gc-callback-lists", "gc-callback-table", "gc-callback-strided", "thread-while-unlocked"],
)
def test_no_python_code_meets_a_half_built_result(walker, kind):
    run = run_child(WALKER, walker, kind)
    assert (run.returncode, run.stdout) == (0, "True\n"), run.stderr


# A daemon thread left inside sax of a 2-D float64 array when the interpreter ends.
DAEMON = r"""
import sys, threading, time
import numpy as np
from _kez_cpp import sax

table = np.zeros((int(sys.argv[1]), int(sys.argv[2])))
threading.Thread(target=lambda: [sax(table, 10, 5) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
"""


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the interpreter ends such a thread by a forced unwind through the binding library's dispatcher, "
    "whose catch of that unwind the sanitizer runtimes report",
)
@pytest.mark.parametrize("shape", [(10, 100), (100, 20_000)], ids=["one-thread", "two-threads"])
def test_daemon_thread_in_sax_lets_the_interpreter_exit(shape):
    run = run_child(DAEMON, *map(str, shape))
    assert (run.returncode, run.stderr) == (0, "")


# Every allocation a call makes, failed in turn, one at a time.
NO_MEMORY = r"""
import json, sys
import numpy as np
import _testcapi
from _kez_cpp import sax

rows = [[(i * 7 + r) % 5 - 2.0 for i in range(8)] for r in range(12)]
table = np.array(rows)
ts = {"lists": rows, "table": table, "strided": np.repeat(table, 2, axis=1)[:, ::2]}[sys.argv[1]]
expected = sax(rows, 2, 3)
fail, heal = _testcapi.set_nomemory, _testcapi.remove_mem_hooks
seen = set()
for k in range(400):
    fail(k, k + 1)
    try:
        got = sax(ts, 2, 3)
    except BaseException as e:
        got = e
    finally:
        heal()
    seen.add("same" if got == expected else f"{type(got).__name__}: {got}")
print(json.dumps(sorted(seen)))
"""


@pytest.mark.parametrize("kind", ["lists", "table", "strided"])
def test_exhausted_memory_is_memory_error(kind):
    run = run_child(NO_MEMORY, kind)
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout) == ["MemoryError: ", "same"]
