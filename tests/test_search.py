"""kez.nearest: each series' nearest window to a shape, against a direct computation of every window."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _kez_cpp
import kez


def stats(x):
    """Mean, deviation and constancy of a window, computed in the order the header sets."""
    total = 0.0
    for v in x:
        total += v
    mean = total / len(x)
    squares = largest = 0.0
    for v in x:
        squares += (v - mean) * (v - mean)
        largest = max(largest, abs(v))
    deviation = math.sqrt(squares / len(x))
    return mean, deviation, deviation <= 1e-10 * largest


def direct(q, w):
    """The z-normalised distance of two windows, operation by operation as the module computes it."""
    (qm, qd, qflat), (wm, wd, wflat) = stats(q), stats(w)
    if qflat or wflat:
        return 0.0 if qflat and wflat else math.sqrt(len(q))
    total = 0.0
    for a, b in zip(q, w, strict=True):
        d = (a - qm) / qd - (b - wm) / wd
        total += d * d
    return math.sqrt(total)


def reference(q, series):
    """Offset and distance of the first nearest window with only finite samples; (-1, inf) if none."""
    m = len(q)
    found = [(direct(q, series[j : j + m]), j) for j in range(len(series) - m + 1)]
    found = [(d, j) for d, j in found if all(map(math.isfinite, series[j : j + m]))]
    return (min(found)[1], min(found)[0]) if found else (-1, math.inf)


def numpy_distances(q, series):
    """Every window's distance by plain numpy: z-normalised differences of a sliding view."""
    windows = np.lib.stride_tricks.sliding_window_view(np.asarray(series, dtype=float), len(q))
    z = (windows - windows.mean(axis=1, keepdims=True)) / windows.std(axis=1, keepdims=True)
    zq = (np.asarray(q) - np.mean(q)) / np.std(q)
    return np.sqrt(((z - zq) ** 2).sum(axis=1))  # NaN for a flat window


VALUE = st.one_of(
    st.integers(-3, 3).map(float),
    st.floats(-1e3, 1e3),
    st.floats(-1e3, 1e3).map(lambda v: 1e6 + v * 1e-3),
    st.sampled_from([math.nan, math.inf, -math.inf]),
)
SHAPE = st.lists(st.one_of(st.integers(-3, 3).map(float), st.floats(-1e3, 1e3)), min_size=2, max_size=8)


@settings(max_examples=150, deadline=None)
@given(st.lists(SHAPE, min_size=1, max_size=3), st.lists(st.lists(VALUE, max_size=40), max_size=4))
def test_equals_the_direct_computation_of_every_window(shapes, data):
    found = kez.nearest(shapes, data)
    for q, result in zip(shapes, found, strict=True):
        assert list(zip(result.offsets, result.distances, strict=True)) == [reference(q, s) for s in data]
        for s, j, d in zip(data, result.offsets, result.distances, strict=True):
            flat = stats(q)[2] or j >= 0 and stats(s[j : j + len(q)])[2]
            if j >= 0 and not flat and all(map(math.isfinite, s)):
                with np.errstate(invalid="ignore", divide="ignore"):
                    assert d == pytest.approx(np.nanmin(numpy_distances(q, s)), rel=1e-7, abs=1e-7)


def walks(count, samples, seed):
    return np.cumsum(np.random.default_rng(seed).normal(size=(count, samples)), axis=1)


@pytest.mark.parametrize(
    "shape, series, offset, distance",
    [
        ([0.0, 1.0, 0.0], [5, 5, 6, 5, 9, 3], 1, 0.0),
        ([0.0, 1.0, 0.0], [0, 1, math.nan, 1, 0, 2, 0], 4, 0.0),
        ([0.0, 1.0, 0.0], [0, 1, -math.inf, 1, 0, 2, 0], 4, 0.0),
        ([0.0, 1.0, 0.0], [2, 2, 2, 5, 9], 0, math.sqrt(3)),
        ([4.0, 4.0], [1, 2, 0.1, 0.1], 2, 0.0),
        ([4.0, 4.0, 4.0], [1, 2, 3, 5], 0, math.sqrt(3)),
        ([1.0, 2.0, 3.0], [1, 2], -1, math.inf),
        ([1.0, 2.0], [1, math.nan, 2, -math.inf], -1, math.inf),
    ],
    ids=["planted", "nan", "inf", "flat-window", "flat-both", "flat-query", "short", "no-finite"],
)
def test_conventions(shape, series, offset, distance):
    [found] = kez.nearest(shape, [series])
    assert found.offsets == (offset,)
    assert found.distances[0] == pytest.approx(distance, abs=1e-12)


def test_shapes_cut_from_long_walks_far_from_zero_are_found_where_they_were_cut():
    data = walks(30, 3000, 1) + 1e7
    cuts = [(0, 24), (7, 77), (29, 128)]
    found = kez.nearest([data[s, 40 * s : 40 * s + m] for s, m in cuts], data)
    assert [(r.offsets[s], r.distances[s]) for r, (s, _) in zip(found, cuts, strict=True)] == [
        (40 * s, 0.0) for s, _ in cuts
    ]


def test_lists_and_arrays_in_any_layout_give_the_same():
    data = walks(12, 500, 2)
    shapes = [walks(1, m, 3)[0] for m in (2, 9, 64)]
    lists = kez.nearest(shapes, [list(row) for row in data])
    assert kez.nearest(shapes, data) == kez.nearest(shapes, np.asfortranarray(data)) == lists


@pytest.mark.parametrize(
    "shapes, error, words",
    [
        ([[1.0, 2.0], [1.0]], ValueError, "shape 1 has 1 samples: a shape needs at least 2"),
        ([1.0, math.nan, 2.0], ValueError, "shape holds nan at sample 1"),
        ([[1.0, 2.0], [0.0, math.inf]], ValueError, "shape 1 holds inf at sample 1"),
        ([[1.0, 2.0], "ab"], TypeError, "shape 1 must be a sequence of numbers, not str"),
        (3.0, TypeError, "shapes must be a shape or a list of shapes, not float"),
    ],
    ids=["too-short", "nan", "inf", "text", "number"],
)
def test_bad_shapes_are_refused_by_name(shapes, error, words):
    with pytest.raises(error, match=words):
        kez.nearest(shapes, [[1.0, 2.0, 3.0]])


def test_seeds_and_the_look_among_given_windows_agree_with_the_search():
    data = walks(8, 900, 4) + 1e4
    data[::2, 300:340] = data[::2, 299:300] + 5.0 * np.sin(np.linspace(0.0, np.pi, 40))
    shapes = [data[0, 300:340], data[3, 10:60]]
    found = kez.nearest(shapes, data)
    seeds = [[7, -1, 10**6, 300, 0, 860, 5, 299], [0] * 8]
    assert _kez_cpp._nearest(shapes, data, seeds) == _kez_cpp._nearest(shapes, data)
    starts = [[r.offsets[s] for r in found[:1]] + [0, 600] for s in range(8)]
    [(offsets, distances, elsewhere)] = _kez_cpp._nearest_among(shapes[:1], data, starts, [0, 2])
    assert list(offsets) == list(found[0].offsets)
    assert distances == pytest.approx(
        found[0].distances, rel=1e-9, abs=1e-6
    )  # a dot product: sqrt of a rounding
    assert all(d <= e for d, e in zip(distances, elsewhere, strict=True))
    # Measured in some series only: the same there, nothing elsewhere.
    [subset] = _kez_cpp._nearest_among(shapes[:1], data, starts, [0, 2], series=[[5, 1]])
    assert [[found[s] for s in (1, 5)] for found in subset] == [
        [found[s] for s in (1, 5)] for found in (offsets, distances, elsewhere)
    ]
    assert [s for s in range(8) if subset[0][s] >= 0 or subset[1][s] < math.inf] == [1, 5]
    with pytest.raises(ValueError, match="query 1 has 50 samples where query 0 has 40"):
        _kez_cpp._nearest_among(shapes, data, starts)
    with pytest.raises(ValueError, match="series of query 0: 8 is beyond the 8 series"):
        _kez_cpp._nearest_among(shapes[:1], data, starts, series=[[8]])


@pytest.mark.parametrize("threads", [1, 2], ids=["one-thread", "two-threads"])
@pytest.mark.parametrize("seed", [None, 610, 400, 310], ids=["unseeded", "last-copy", "middle-copy", "flat"])
def test_exact_copies_go_to_the_first_whatever_the_seed(copies, seed, threads):
    shape, data = copies
    seeds = [] if seed is None else [[seed] * len(data)]
    kez.set_threads(threads)
    try:
        [(offsets, distances)] = _kez_cpp._nearest([shape], data, seeds)
    finally:
        kez.set_threads()
    assert list(zip(offsets, distances, strict=True)) == [reference(list(shape), list(row)) for row in data]


@pytest.mark.parametrize("threads", [1, 2], ids=["one-thread", "two-threads"])
def test_queries_searched_together_find_what_each_finds_alone(threads):
    # Queries of one length share the sums of each block of a series; a length in between starts a new group.
    data = walks(5, 700, 5) + 1e5
    data[1, 200:230] = np.nan
    data[3, :] = data[3, 0]
    shapes = [data[s, at : at + m] for s, at, m in [(0, 30, 40), (2, 500, 40), (4, 90, 17), (1, 400, 40)]]
    shapes += [walks(1, 40, 6)[0], np.sin(np.linspace(0.0, 9.0, 40))]
    kez.set_threads(threads)
    try:
        together = _kez_cpp._nearest(shapes, data)
        alone = [_kez_cpp._nearest([shape], data)[0] for shape in shapes]
    finally:
        kez.set_threads()
    assert together == alone
