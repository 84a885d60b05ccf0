"""find_motifs and refine: a planted shape found where it was put, refusals, inputs, and the results' uses."""

import math
import pickle
import random

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import kez

WIDTH = 40


def _wandering(rng: random.Random, samples: int, phi: float) -> list[float]:
    """An AR(1) walk of `samples` values with coefficient `phi` and innovations of deviation 0.5."""
    level, values = 0.0, []
    for _ in range(samples):
        level = phi * level + rng.gauss(0.0, 0.5)
        values.append(level)
    return values


def _collection(
    seed: int = 7, count: int = 12, samples: int = 220
) -> tuple[list[list[float]], dict[int, int]]:
    """Wandering series, half with a bump then a dip of WIDTH samples: (series, planted starts)."""
    rng = random.Random(seed)
    series, planted = [], {}
    for s in range(count):
        values = _wandering(rng, samples, 0.7)
        if s % 2 == 0:
            start = rng.randrange(samples - WIDTH)
            for i in range(WIDTH):
                values[start + i] += 4.0 * math.sin(2 * math.pi * i / WIDTH) + rng.gauss(0.0, 0.2)
            planted[s] = start
        series.append(values)
    return series, planted


@pytest.fixture(scope="module")
def collection() -> tuple[list[list[float]], dict[int, int]]:
    return _collection()


@pytest.fixture(scope="module")
def top(collection) -> kez.Found:
    return kez.find_motifs(collection[0], WIDTH, share=0.5)[0]


@pytest.mark.parametrize("share", [0.5, None], ids=["share-given", "share-unknown"])
def test_the_planted_shape_comes_first_with_its_members_where_planted(collection, share):
    series, planted = collection
    found = kez.find_motifs(series, WIDTH, share=share)[0]
    assert found.width == WIDTH and len(found.shape) == WIDTH
    assert set(found.members) == set(planted)
    assert all(abs(found.offsets[s] - start) <= WIDTH // 4 for s, start in planted.items())
    outside = [found.distances[s] for s in range(len(series)) if s not in planted]
    assert max(found.distances[s] for s in planted) <= found.radius < min(outside)


def test_missing_and_infinite_samples_away_from_the_shape_do_not_hide_it(collection):
    series, planted = collection
    gappy = [list(values) for values in series]
    for s, values in enumerate(gappy):
        start = planted.get(s, 100)
        hole = start + WIDTH + 5 if start + WIDTH + 20 < len(values) else start - 20
        values[hole : hole + 10] = [math.nan] * 9 + [math.inf if s % 3 else -math.inf]
    found = kez.find_motifs(gappy, WIDTH, share=0.5)[0]
    assert set(found.members) == set(planted)
    assert all(abs(found.offsets[s] - start) <= WIDTH // 4 for s, start in planted.items())


def test_the_user_radius_decides_membership(collection, top):
    cut = sorted(top.distances)[2]
    [found] = kez.find_motifs(collection[0], WIDTH, share=0.5, k=1, radius=cut)
    assert found.radius == cut
    assert found.members == tuple(s for s, d in enumerate(found.distances) if d <= cut)


@pytest.mark.parametrize(
    "arguments, error, message",
    [
        ({"width": 500}, ValueError, "width 500 is longer than every series"),
        ({"width": 1}, ValueError, "width must be at least 2"),
        ({"width": 4.5}, TypeError, "width must be a whole number"),
        ({"share": 0.0}, ValueError, r"share must be a share of the series in \(0, 1\]"),
        ({"share": 1.5}, ValueError, r"share must be a share of the series in \(0, 1\]"),
        ({"k": 0}, ValueError, "k must be a whole number of motifs, at least 1"),
        ({"radius": -1.0}, ValueError, "radius must be a positive finite distance"),
        ({"width": range(30, 50, 10), "radius": 2.0}, ValueError, "radius is a distance at one width"),
    ],
    ids=[
        "width-too-long",
        "width-1",
        "width-fraction",
        "share-0",
        "share-above-1",
        "k-0",
        "radius-negative",
        "radius-with-widths",
    ],
)
def test_bad_arguments_are_refused_by_name(collection, arguments, error, message):
    with pytest.raises(error, match=message):
        kez.find_motifs(collection[0], **{"width": WIDTH, **arguments})


@pytest.mark.parametrize(
    "convert",
    [np.array, lambda ss: [np.array(s) for s in ss], "frame", tuple],
    ids=["2-D-array", "list-of-arrays", "DataFrame", "tuple"],
)
def test_every_input_mine_takes_gives_what_lists_give(collection, top, convert, pandas):
    series = collection[0]
    data = pandas.DataFrame(series) if convert == "frame" else convert(series)
    assert kez.find_motifs(data, WIDTH, share=0.5)[0] == top


def test_the_result_is_the_same_on_one_thread(collection, top):
    before = kez.threads()
    kez.set_threads(1)
    try:
        assert kez.find_motifs(collection[0], WIDTH, share=0.5)[0] == top
    finally:
        kez.set_threads(before)


def test_a_found_shape_pickles_equal_and_says_what_it_holds(top):
    assert pickle.loads(pickle.dumps(top)) == top
    assert repr(top) == f"Found(width={WIDTH}, members=6/12, radius={top.radius:.3g})"
    assert top.best_matches == {s: top.offsets[s] for s in top.members}


def test_a_range_of_widths_finds_the_shape_near_its_width(collection):
    series, planted = collection
    found = kez.find_motifs(series, range(32, 49, 8), share=0.5)[0]
    assert set(found.members) == set(planted) and found.width in (32, 40, 48)


@pytest.mark.parametrize(
    ("seed", "share", "noise"),
    [(7, 0.25, 0.5), (11, 0.5, 1.5), (13, None, 1.0)],
    ids=["quarter-share", "half-share-noisy", "no-share"],
)
def test_no_member_past_the_quorum_lies_as_far_as_the_shape_does_elsewhere_in_it(seed, share, noise):
    rng = random.Random(seed)
    series, _ = _collection(seed)
    series = [[v + rng.gauss(0.0, noise) for v in values] for values in series]
    q = max(2, math.ceil((share or 0.2) * len(series) - 1e-9))
    for found in kez.find_motifs(series, WIDTH, share=share, k=3):
        quorum = sorted(range(len(series)), key=lambda s: (found.distances[s], s))[:q]
        # With a share, the q series the shape is ranked by bound it; without, every series.
        looked = quorum if share is not None else range(len(series))
        masked = [np.array(series[s]) for s in looked]
        for values, s in zip(masked, looked, strict=True):
            values[found.offsets[s] : found.offsets[s] + WIDTH] = np.nan
        [elsewhere] = kez.nearest(list(found.shape), masked)
        assert set(quorum) <= set(found.members)
        assert all(found.distances[s] <= min(elsewhere.distances) + 1e-9 for s in found.members)


@pytest.mark.parametrize("seed", [5, 7, 9])
def test_without_a_share_a_warped_shape_every_series_holds_keeps_them_all(seed):
    # Warped, rescaled copies leave no clean gap among their distances, where the widest gap would cut.
    rng = random.Random(seed)
    series, planted = [], {}
    for s in range(16):
        values = _wandering(rng, 220, 0.7)
        length, scale = round(WIDTH * rng.uniform(0.85, 1.15)), 4.0 * rng.uniform(0.7, 1.3)
        start = rng.randrange(220 - length)
        for i in range(length):
            values[start + i] += scale * math.sin(2 * math.pi * i / length) + rng.gauss(0.0, 0.3)
        series.append(values)
        planted[s] = range(start, start + length)
    top = kez.find_motifs(series, WIDTH)[0]
    assert top.members == tuple(range(16))
    for s, plant in planted.items():
        assert len(plant) <= 2 * len(set(plant) & set(range(top.offsets[s], top.offsets[s] + WIDTH)))


@pytest.mark.parametrize("share", [0.5, 0.6, None], ids=["half", "all-copies", "no-share"])
def test_a_shape_copied_bit_for_bit_into_most_series_comes_first(share):
    data = np.cumsum(np.random.default_rng(3).normal(size=(10, 300)), axis=1)
    for s in range(6):
        data[s, 20 + 17 * s : 50 + 17 * s] = 5.0 * np.sin(np.linspace(0.0, 3.0 * np.pi, 30))
    top = kez.find_motifs(data, 30, share)[0]
    assert top.members == (0, 1, 2, 3, 4, 5)
    assert top.offsets[:6] == tuple(20 + 17 * s for s in range(6))


@pytest.mark.parametrize("share", [0.5, None], ids=["share-given", "share-unknown"])
def test_a_shape_copied_bit_for_bit_several_times_into_every_series_comes_first(copies, share):
    _, data = copies
    top = kez.find_motifs(data, 40, share)[0]
    assert top.members == tuple(range(6)) and top.radius == 0.0 and set(top.distances) == {0.0}


def test_refine_gives_one_shape_per_motif_at_its_length(collection):
    series, _ = collection
    motifs = kez.drop_trivial(kez.Miner(0.3, 5, 4, min_len=4).mine(series))[:3]
    refined = kez.refine(motifs, series)
    assert [f.width for f in refined] == [m.length for m in motifs]
    assert [f.pattern for f in refined] == [m.pattern for m in motifs]


def test_to_frame_takes_found_shapes(collection, top, pandas):
    row = kez.to_frame([top], n_series=len(collection[0])).iloc[0]
    assert (row.length, row.support, row.share) == (WIDTH, 6, 0.5)


@pytest.mark.parametrize(
    "draw",
    [kez.plot_motif, kez.plot_series, kez.plot_overview, lambda found, _: kez.plot_distances(found)],
    ids=["plot_motif", "plot_series", "plot_overview", "plot_distances"],
)
def test_the_plots_take_found_shapes(collection, top, draw, pyplot):
    assert draw(top, collection[0]) is not None


def test_plot_motif_names_a_found_shape_and_its_members(collection, top, pyplot):
    ax = kez.plot_motif(top, collection[0])
    legend = [t.get_text() for t in ax.get_legend().get_texts()]
    assert legend == [f"member windows ({len(top.members)})", "shape"]


def test_past_the_search_budget_the_best_aligned_anchors_still_find_the_shape(collection, monkeypatch):
    series, planted = collection
    monkeypatch.setattr(kez.find, "SEARCH_BUDGET", 0)
    monkeypatch.setattr(kez.find, "SEARCHED", 3)
    found = kez.find_motifs(series, WIDTH, share=0.5)[0]
    assert set(found.members) == set(planted)
    assert all(abs(found.offsets[s] - start) <= WIDTH // 4 for s, start in planted.items())


@pytest.mark.parametrize("seed", [0, 3, 5])
def test_past_the_search_budget_a_sharp_shape_is_searched_before_smooth_bends(seed, monkeypatch):
    # Copies of an oscillation, each a little faster or slower, match their own pattern's windows less tightly
    # than the smooth bends of wandering series match theirs; only the bends match windows anywhere as well.
    rng = random.Random(seed)
    series, planted = [], {}
    for s in range(16):
        values = _wandering(rng, 300, 0.95)
        if s % 2 == 0:
            planted[s], cycles = rng.randrange(300 - WIDTH), 3.0 * rng.uniform(0.85, 1.15)
            for i in range(WIDTH):
                wave = 3.0 * math.sin(2 * math.pi * cycles * i / WIDTH)
                values[planted[s] + i] = wave + rng.gauss(0.0, 0.2)
        series.append(values)
    monkeypatch.setattr(kez.find, "SEARCH_BUDGET", 0)
    monkeypatch.setattr(kez.find, "SEARCHED", 1)
    found = kez.find_motifs(series, WIDTH, share=0.5)[0]
    assert sum(abs(found.offsets[s] - start) <= WIDTH // 4 for s, start in planted.items()) >= 6


@pytest.mark.parametrize(("seed", "width", "share"), [(2, 80, 0.5), (3, 40, None)], ids=["share", "no-share"])
def test_k_different_shapes_come_back_when_re_centring_merges_finalists(seed, width, share):
    series, _ = _collection(seed, 30, 400)
    found = kez.find_motifs(series, width, share, k=5)
    assert len(found) == 5
    assert len({f.offsets for f in found}) == 5


@pytest.mark.parametrize("start", [0, 180], ids=["first-sample", "last-window"])
def test_a_shape_at_an_end_of_every_series_is_found_there(start):
    rng = np.random.default_rng(3)
    series = rng.normal(0.0, 0.5, (8, 220))
    series[:, start : start + WIDTH] += 4.0 * np.sin(2 * np.pi * np.arange(WIDTH) / WIDTH)
    top = kez.find_motifs(series, WIDTH, 1.0, k=1)[0]
    assert len(top.members) == 8 and all(abs(o - start) < WIDTH / 2 for o in top.offsets)


def test_contrasted_finalists_keep_the_first_and_add_at_most_three_other_shapes(collection):
    series, _ = collection
    shapes = [series[s][o : o + WIDTH] for s in range(4) for o in range(0, 160, 20)]
    candidates = kez.find._search(shapes, [""] * len(shapes), series, 6)
    kept = kez.find._distinct(candidates, 6, 0.5, 2)
    finalists = kez.find._contrasted(candidates, kept, 6, 3)
    assert finalists[:2] == kept and 2 < len(finalists) <= 5
    assert not any(kez.find._same_shape(a, b, 6) for i, a in enumerate(finalists) for b in finalists[:i])


def test_a_mean_shape_averages_z_normalised_windows_and_passes_over_missing_ones():
    rng = np.random.default_rng(5)
    series = rng.normal(0.0, 1.0, (3, 60))
    series[2, 10:20] = np.nan
    z = [(w - w.mean()) / w.std() for w in (series[0, 5:25], 7.0 * series[1, 30:50] + 3.0)]
    expected = (z[0] + z[1]) / 2
    # The last window holds NaN; the second, given past its series' end, is moved back within it.
    series[1, 40:60] = series[1, 30:50] * 7.0 + 3.0
    [shape] = kez.find._kez_cpp._mean_shapes(series, [20], [[(0, 5), (1, 99), (2, 5)]])
    np.testing.assert_allclose(shape, (expected - expected.mean()) / expected.std(), atol=1e-12)
    with pytest.raises(ValueError, match="series 3 of shape 0 is out of range"):
        kez.find._kez_cpp._mean_shapes(series, [20], [[(3, 0)]])
    with pytest.raises(ValueError, match="shape 0 has no window to average"):
        kez.find._kez_cpp._mean_shapes(series, [20], [[(2, 0)]])


@settings(max_examples=300, deadline=None)
@given(
    st.lists(st.floats(0.01, 100.0), min_size=1, max_size=30),
    st.integers(1, 30),
    st.floats(0.5, 2.0),
    st.floats(1.0, 3.0),
)
def test_a_cut_keeps_the_fewest_within_its_bound_and_cuts_only_at_a_gap_as_wide_as_asked(
    distances, fewest, stretch, clean
):
    ranked = sorted((d, s) for s, d in enumerate(distances))
    values = [d for d, _ in ranked]
    fewest = min(fewest, len(values))
    bound = max(values[fewest - 1], stretch * values[-1])
    radius = kez.find._cut(ranked, fewest, bound, clean)
    kept = [d for d in values if d <= radius]
    assert len(kept) >= fewest and max(kept) <= bound
    # The gaps it may cut at, as the ratio of the next distance (past the last, the bound) to the last.
    following = [*values[fewest:], bound]
    gaps = [b / a for a, b in zip(values[fewest - 1 :], following, strict=True) if a <= bound]
    assert radius == bound or max(gaps) >= clean
