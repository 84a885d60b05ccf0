"""Every instance of a shape: the letters propose windows, exact distances decide.

`find_motifs` takes what a user knows (a width, perhaps the share of series expected to hold the
shape) and derives the miner's parameters; the mined patterns only propose candidate windows.
Each candidate is searched in every series by z-normalised Euclidean distance (`kez.nearest`),
re-centred on the windows it finds, merged with candidates that are the same shape, and its
members are decided from the sorted distances. `refine` does the same for motifs already mined.

Every distance here is z-normalised Euclidean at the found width; candidates of different widths
are compared by their distance over the square root of the width.
"""

from __future__ import annotations

import itertools
import math
import numbers
from array import array
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

import _kez_cpp
from _kez_cpp import Miner, Motif
from kez._data import read_series
from kez.search import Nearest, nearest
from kez.shapes import is_trivial

if TYPE_CHECKING:
    from kez._data import Dataset

# The rules that derive the miner's parameters from the width; README.md states them.
LETTERS_PER_WIDTH = 8  # seglen = max(1, round(width / 8)): a letter an eighth of the shape
ALPHABET = 4
MIN_LETTERS = 4  # patterns cover at least half the width
# A second mining with letters half as long: a fast oscillation (a chirp) averages out of the coarse ones.
FINE_LETTERS_PER_WIDTH = 16
MIN_FINE_LETTERS = 6  # fine patterns cover at least 3/8 of the width
# minsup = min(0.1, share / 2): noise spells one shape several ways, each reaching fewer series, and
# the anchors need only one spelling; mining at half the share or more missed many planted shapes.
MAX_SUPPORT = 0.1
DEFAULT_SHARE = 0.2  # the quorum when no share is given
# How candidates are proposed and polished.
PATTERNS = 60  # the non-flat patterns, best naed first, whose windows become anchors
FINE_PATTERNS = 20  # of those, how many come from the fine letters
ANCHOR_SERIES = 4  # per pattern, the series whose best window is nearest its representative
SHIFTS = (-0.25, 0.0, 0.25)  # anchor offsets from the pattern's centre, in widths: undoes misalignment
# How well an anchor fits its own pattern, before any search: its distance to the pattern's best window in
# each series, re-cut to the width around its centre and moved by these shares of the width.
LOOKS = (-0.25, -0.125, 0.0, 0.125, 0.25)
# Every anchor is searched while anchors x series x samples x width stays within this; past it, only the
# best-aligned anchor of each pattern, best first, as many as it affords but at least SEARCHED.
SEARCH_BUDGET = 500_000_000
SEARCHED = 12
# Those best-aligned anchors are ranked by how much nearer they come to their own pattern's windows than to
# windows anywhere: windows this share of the width apart in every series (or further apart, within
# ROUGH_BUDGET multiply-adds).
GRID_STEP = 0.5
# Every candidate gets a rough background first, from windows this share of the width apart, within this many
# multiply-adds a width.
ROUGH_STEP = 0.125
ROUGH_BUDGET = 200_000_000
# The MEASURED distinct candidates beyond k of smallest closeness over their rough background, and the
# CONTRASTED most contrasted (smallest quorum radius over their median nearest distance), are measured against
# their background; the best FINALISTS beyond k by closeness over background are re-centred.
MEASURED = 5
CONTRASTED = 3
FINALISTS = 3
RECENTRES = 2  # refine's re-centrings
FOUND_RECENTRES = 1  # find_motifs' re-centrings of its finalists
# Where find_motifs' re-centring takes its windows, moved from the nearest ones by these shares of the width.
RECENTRE_MOVES = (-0.125, -0.0625, 0.0, 0.0625, 0.125)
# No member lies beyond this many times the quorum radius: a share given says how many series hold the
# shape, so the cut stays near the quorum radius; without one (in refine, or where no series has a second
# window to measure the background by), the quorum is only a floor.
ALPHA = 1.5
ALPHA_WITHOUT_SHARE = 2.0
MIN_MEMBERS = 2
# Without a share, a gap in the sorted distances cuts the members only where the next series is this many
# times as far as the last.
CLEAN_GAP = 1.5

Report = Callable[[str, int, int], None]


@dataclass(frozen=True, repr=False)
class Found:
    """A shape found by exact distance, with its nearest window in every series.

    Attributes:
        shape: the shape, z-normalised (mean 0, population deviation 1), `width` values.
        width: its length in samples.
        offsets: per series, the sample offset of its nearest window; -1 where none can match
            (the series is shorter than the width, or every window holds NaN).
        distances: per series, that window's z-normalised Euclidean distance to `shape`; inf
            where the offset is -1. Non-members' distances are here too, so the cut is visible.
        members: the series holding the shape, ascending: those whose distance is at most
            `radius`.
        radius: the cut: decided from the sorted distances (see `find_motifs`) or given.
        quorum: the quorum radius, the q-th smallest distance for q = ceil(share x series);
            results are ranked by the mean of the q smallest over the background.
        pattern: the letter pattern of the motif it grew from.

    ``length``, ``best_matches``, ``representative`` and ``naed`` read as a ``Motif``'s do, so
    ``kez.to_frame`` and the plotting helpers take it.
    """

    shape: tuple[float, ...]
    width: int
    offsets: tuple[int, ...]
    distances: tuple[float, ...]
    members: tuple[int, ...]
    radius: float
    quorum: float
    pattern: str = ""

    @property
    def length(self) -> int:
        """The width, as a motif's window length."""
        return self.width

    @property
    def representative(self) -> list[float]:
        """The shape, as a list."""
        return list(self.shape)

    @property
    def best_matches(self) -> dict[int, int]:
        """Member series to the sample offset of its nearest window."""
        return {s: self.offsets[s] for s in self.members}

    @property
    def member_distances(self) -> dict[int, float]:
        """Member series to the distance of its nearest window."""
        return {s: self.distances[s] for s in self.members}

    @property
    def naed(self) -> float:
        """Mean member distance over the width: the scale of ``Motif.naed`` (NaN without members)."""
        if not self.members:
            return math.nan
        return math.fsum(self.distances[s] for s in self.members) / len(self.members) / self.width

    def __repr__(self) -> str:
        members = f"{len(self.members)}/{len(self.offsets)}"
        return f"Found(width={self.width}, members={members}, radius={self.radius:.3g})"


# ---------------------------------------------------------------- arguments


def _widths(width: int | Iterable[int]) -> list[int]:
    """The widths asked for, ascending, refused unless whole numbers of at least 2 samples."""
    if isinstance(width, numbers.Integral) or not isinstance(width, Iterable):
        items: list[object] = [width]
    else:
        items = list(width)
    if not items:
        raise ValueError("width must be a number of samples or a non-empty range of them")
    for w in items:
        if isinstance(w, bool) or not isinstance(w, numbers.Integral):
            raise TypeError(f"width must be a whole number of samples, not {w!r}")
        if w < 2:
            raise ValueError(f"width must be at least 2 samples, not {w}")
    return sorted({int(w) for w in items})  # type: ignore[call-overload]


def _share(share: float | None) -> float | None:
    if share is None:
        return None
    if isinstance(share, bool) or not isinstance(share, numbers.Real) or not 0.0 < float(share) <= 1.0:
        raise ValueError(f"share must be a share of the series in (0, 1], not {share!r}")
    return float(share)


def _radius(radius: float | None) -> float | None:
    if radius is None:
        return None
    if isinstance(radius, bool) or not isinstance(radius, numbers.Real) or not 0.0 < float(radius) < math.inf:
        raise ValueError(f"radius must be a positive finite distance, not {radius!r}")
    return float(radius)


def _fits(widths: list[int], series: list[array[float]]) -> None:
    longest = max(len(s) for s in series)
    if widths[0] > longest:
        raise ValueError(f"width {widths[0]} is longer than every series (the longest has {longest} samples)")


# ---------------------------------------------------------------- shapes and distances


def _znormalised(values: Sequence[float]) -> list[float]:
    """`values` less their mean over their population deviation; all zeros when constant."""
    mean = math.fsum(values) / len(values)
    deviation = math.sqrt(math.fsum((v - mean) ** 2 for v in values) / len(values))
    if not deviation > 1e-10 * max(abs(v) for v in values):
        return [0.0] * len(values)
    return [(v - mean) / deviation for v in values]


def _apart(a: Sequence[float], b: Sequence[float]) -> float:
    """Euclidean distance of two z-normalised shapes of one length."""
    return math.sqrt(math.fsum((x - y) ** 2 for x, y in zip(a, b, strict=True)))


def _nearer(a: Sequence[float], b: Sequence[float], radius: float) -> bool:
    """Whether `_apart(a, b) < radius`: math.dist, within an ulp or two of it and far quicker, decides
    unless it lies within a hair of the radius."""
    rough = math.dist(a, b)
    if rough > radius * (1.0 + 1e-12):
        return False
    if rough < radius * (1.0 - 1e-12):
        return True
    return _apart(a, b) < radius


def _distance(a: Sequence[float], b: Sequence[float]) -> float:
    """z-normalised Euclidean distance of two shapes of one length."""
    return _apart(_znormalised(a), _znormalised(b))


def _quorum_size(share: float, count: int) -> int:
    return max(MIN_MEMBERS, math.ceil(share * count - 1e-9))


def _ranked(hits: Nearest) -> list[tuple[float, int]]:
    """(distance, series) of every series with a window, nearest first (ties by series)."""
    return sorted((d, s) for s, d in enumerate(hits.distances) if d < math.inf)


def _closeness(distances: Sequence[float], q: int) -> float:
    """The mean of the q smallest finite distances: unlike the q-th alone, it tells a shape held closely by
    most of its series (a warped plant, a few of whose copies stray) from a smooth bend every series holds
    about equally well.
    """
    near = sorted(d for d in distances if d < math.inf)
    return math.fsum(near[:q]) / q if len(near) >= q else math.inf


def _cut(ranked: list[tuple[float, int]], fewest: int, bound: float, clean: float = 1.0) -> float:
    """The radius at the widest ratio gap in the sorted distances, among cuts keeping at least
    `fewest` series and no series beyond `bound`; past the last series the bound stands for the
    next distance, so a shape every series holds keeps them all. Where no gap is as wide as
    `clean`, the bound itself.
    """
    best_ratio, radius = -1.0, bound
    for i in range(max(fewest, 1), len(ranked) + 1):
        last = ranked[i - 1][0]
        if last > bound:
            break
        following = ranked[i][0] if i < len(ranked) else bound
        ratio = following / last if last > 0.0 else math.inf
        if ratio > best_ratio:
            best_ratio, radius = ratio, math.sqrt(last * following) if last > 0.0 else following / 2
    return radius if best_ratio >= clean else bound


@dataclass
class _Candidate:
    shape: list[float]
    pattern: str
    hits: Nearest
    quorum: float
    closeness: float
    # The median, over the q nearest series, of the distance of each one's nearest window that does not
    # overlap its nearest: NaN until measured.
    background: float = math.nan
    # The smallest of those distances: inf until measured.
    elsewhere: float = math.inf
    _ranked: list[tuple[float, int]] | None = field(default=None, repr=False, compare=False)
    _near: dict[int, int] | None = field(default=None, repr=False, compare=False)
    _normalised: list[float] | None = field(default=None, repr=False, compare=False)
    _typical: float | None = field(default=None, repr=False, compare=False)

    @property
    def width(self) -> int:
        return len(self.shape)

    def normalised(self) -> list[float]:
        """Its shape z-normalised (worked out once)."""
        if self._normalised is None:
            self._normalised = _znormalised(self.shape)
        return self._normalised

    def ranked(self) -> list[tuple[float, int]]:
        """(distance, series) of every series with a window, nearest first (worked out once)."""
        if self._ranked is None:
            self._ranked = _ranked(self.hits)
        return self._ranked

    def near(self, q: int) -> dict[int, int]:
        """Its `q` nearest series, each to the offset of its nearest window (worked out once)."""
        if self._near is None:
            self._near = {s: self.hits.offsets[s] for _, s in self.ranked()[:q]}
        return self._near

    def typical(self) -> float:
        """The median nearest distance over every series with a window (worked out once)."""
        if self._typical is None:
            ranked = self.ranked()
            self._typical = ranked[len(ranked) // 2][0] if ranked else math.inf
        return self._typical

    def score(self, share: float) -> float:
        """Smaller is tighter: the closeness over how near the shape comes where it is not held, once the
        background is measured, else over sqrt(width). Below a share of one half most series should not hold
        the shape, and their median nearest distance says how near it comes to what does not hold it: the
        background and that median are weighted by the share. From one half up, or where the median series
        comes as near as the q-th (half the series or more hold it: a share is a floor), the median says
        nothing of the others, and the background stands alone. A shape copied exactly into its q series and
        again within them is as tight as a shape can be: 0.
        """
        if math.isnan(self.background):
            return self.closeness / math.sqrt(self.width)
        typical = self.typical()
        held_by_half = share >= 0.5 or typical <= self.quorum
        away = self.background if held_by_half else self.background**share * typical ** (1.0 - share)
        if away > 0.0:
            return self.closeness / away
        return 0.0 if self.closeness == 0.0 else math.inf


def _search(
    shapes: list[list[float]],
    patterns: list[str],
    series: Dataset,
    q: int,
    seeds: list[list[int]] | None = None,
) -> list[_Candidate]:
    """The shapes searched in every series (from the seeds' windows, when given: the same results, sooner)."""
    if not shapes:
        return []
    found = [
        Nearest(tuple(offsets), tuple(distances))
        for offsets, distances in _kez_cpp._nearest(shapes, series, seeds if seeds is not None else [])
    ]
    return [_searched_shape(s, p, h, q) for s, p, h in zip(shapes, patterns, found, strict=True)]


def _searched_shape(
    shape: list[float], pattern: str, hits: Nearest, q: int, background: float = math.nan
) -> _Candidate:
    """A shape searched in every series, its quorum radius and closeness taken from the one sort of its
    distances that its nearest series and median come from too."""
    ranked = _ranked(hits)
    quorum = ranked[q - 1][0] if len(ranked) >= q else math.inf
    closeness = _closeness([d for d, _ in ranked], q)
    return _Candidate(shape, pattern, hits, quorum, closeness, background, _ranked=ranked)


def _recentred(versions: list[tuple[_Candidate, int]], source: Dataset, q: int) -> list[list[float]]:
    """Per (candidate, move): the mean of the z-normalised nearest windows of the candidate's `q` nearest
    series, each moved by `move` samples (kept within its series), z-normalised.
    """
    if not versions:
        return []
    windows = [[(s, offset + move) for s, offset in c.near(q).items()] for c, move in versions]
    means = _kez_cpp._mean_shapes(source, [c.width for c, _ in versions], windows)
    return [list(shape) for shape in means]


def _overlapping(a: _Candidate, b: _Candidate, q: int) -> bool:
    """Whether most of the nearest windows of the two candidates' best series overlap by half."""
    near_a, near_b = a.near(q), b.near(q)
    width_a, width_b = a.width, b.width
    half = min(width_a, width_b) / 2
    needed = min(len(near_a), len(near_b)) / 2
    both = near_a.keys() & near_b.keys()
    if len(both) < needed:
        return False
    # Windows at a and b overlap by half or more when b - a lies within these.
    lowest, highest = half - width_b, width_a - half
    return sum(lowest <= near_b[s] - near_a[s] <= highest for s in both) >= needed


def _same_shape(a: _Candidate, b: _Candidate, q: int) -> bool:
    if _overlapping(a, b, q):
        return True
    if a.width != b.width:
        return False
    return _nearer(a.normalised(), b.normalised(), min(a.quorum, b.quorum))


def _distinct(
    candidates: Iterable[_Candidate], q: int, share: float, limit: int, kept: Sequence[_Candidate] = ()
) -> list[_Candidate]:
    """`kept`, then the best-scored candidates, each a different shape from those kept before it, up to
    `limit` in all."""
    chosen = list(kept)
    for c in sorted(candidates, key=lambda c: c.score(share)):
        if len(chosen) >= limit or c.quorum == math.inf:
            break
        if not any(_same_shape(c, k, q) for k in chosen):
            chosen.append(c)
    return chosen


def _roughly_measured(
    candidates: list[_Candidate], source: Dataset, series: list[array[float]], q: int
) -> list[_Candidate]:
    """The candidates with a rough background: over their q nearest series, the median distance of the nearest
    window not overlapping the nearest, among windows every ROUGH_STEP of the width (or further apart, so that
    the candidates of one width take at most ROUGH_BUDGET multiply-adds).
    """
    measured = list(candidates)
    widths: dict[int, list[int]] = {}
    for i, c in enumerate(candidates):
        if c.quorum < math.inf:
            widths.setdefault(c.width, []).append(i)
    for w, group in widths.items():
        looked_at = sorted({s for i in group for s in candidates[i].near(q)})
        work = len(group) * w * sum(len(series[s]) - w + 1 for s in looked_at)
        step = max(1, round(w * ROUGH_STEP), math.ceil(work / ROUGH_BUDGET))
        starts: list[list[int]] = [[] for _ in series]
        for s in looked_at:
            starts[s] = list(range(0, len(series[s]) - w + 1, step))
        near = [sorted(candidates[i].near(q)) for i in group]
        looked = _kez_cpp._nearest_among([candidates[i].shape for i in group], source, starts, series=near)
        for i, (_, _, elsewhere) in zip(group, looked, strict=True):
            c = candidates[i]
            values = sorted(elsewhere[s] for s in c.near(q))
            middle = values[len(values) // 2]
            measured[i] = _Candidate(c.shape, c.pattern, c.hits, c.quorum, c.closeness, middle)
    return measured


def _contrast(candidate: _Candidate) -> float:
    """The quorum radius over the median nearest distance of every series: smaller where the shape's q series
    come far nearer it than the rest do.
    """
    middle = candidate.typical()
    return candidate.quorum / middle if middle > 0.0 else math.inf


def _contrasted(candidates: list[_Candidate], kept: list[_Candidate], q: int, limit: int) -> list[_Candidate]:
    """`kept` and up to `limit` more candidates of smallest contrast, each a shape unlike those before it."""
    kept = list(kept)
    added = 0
    for c in sorted(candidates, key=_contrast):
        if added == limit or c.quorum == math.inf:
            break
        if not any(_same_shape(c, k, q) for k in kept):
            kept.append(c)
            added += 1
    return kept


def _polished(candidates: list[_Candidate], source: Dataset, q: int) -> list[_Candidate]:
    """The candidates re-centred RECENTRES times, each keeping whichever of its versions shares best."""
    best = list(candidates)
    current = list(candidates)
    for _ in range(RECENTRES):
        shapes = _recentred([(c, 0) for c in current], source, q)
        current = _search(shapes, [c.pattern for c in current], source, q)
        best = [c if c.closeness < b.closeness else b for c, b in zip(current, best, strict=True)]
    return best


def _masked(values: array[float], offset: int, width: int) -> array[float]:
    """A copy of the series, the window at `offset` blanked (NaN): no window overlapping it can match."""
    copy = array("d", values)
    if offset >= 0:
        copy[offset : offset + width] = array("d", [math.nan] * width)
    return copy


def _with_background(candidate: _Candidate, series: list[array[float]], q: int) -> _Candidate:
    """The candidate with its background measured: a shape the background itself resembles (a smooth
    bend in slowly wandering series) comes nearly as near elsewhere in the same series as at its
    nearest window, and a planted shape does not. Only its q nearest series are searched again.
    """
    elsewhere = sorted(_elsewhere(candidate, series, list(candidate.near(q))))
    middle = elsewhere[len(elsewhere) // 2] if elsewhere else math.inf
    nearest_elsewhere = elsewhere[0] if elsewhere else math.inf
    c = candidate
    return _Candidate(c.shape, c.pattern, c.hits, c.quorum, c.closeness, middle, nearest_elsewhere)


def _elsewhere(candidate: _Candidate, series: list[array[float]], indexes: list[int]) -> tuple[float, ...]:
    """Per series of `indexes`, the distance of the shape's nearest window that does not overlap that series'
    nearest (inf: none)."""
    if not indexes:
        return ()
    masked = [_masked(series[s], candidate.hits.offsets[s], candidate.width) for s in indexes]
    [second] = nearest([candidate.shape], masked)
    return second.distances


def _everywhere(candidate: _Candidate, series: list[array[float]], q: int) -> float:
    """The nearest the shape comes, in any series, to a window that does not overlap that series' nearest
    (inf: none). Its q nearest series were measured with its background; of the others, only those nearer
    than that are searched, since no series comes nearer elsewhere than at its nearest window.
    """
    near = candidate.near(q)
    rest = [
        s
        for s, distance in enumerate(candidate.hits.distances)
        if s not in near and distance < candidate.elsewhere
    ]
    return min((candidate.elsewhere, *_elsewhere(candidate, series, rest)))


def _found(
    candidate: _Candidate, fewest: int, radius: float | None, alpha: float, everywhere: float = math.nan
) -> Found:
    ranked = _ranked(candidate.hits)
    if math.isfinite(everywhere):
        # Without a share, how many series hold the shape is unknown, and warped copies leave gaps as narrow
        # as those between chance matches: past a clean gap, a series holds the shape when it comes nearer
        # than any series comes to it elsewhere.
        bound, clean = max(candidate.quorum, everywhere), CLEAN_GAP
    else:
        # A series no nearer the shape than one of its holders comes to it elsewhere holds it no better than
        # the background does: with warped copies the sorted distances have no clean gap to cut at.
        bound, clean = max(candidate.quorum, min(alpha * candidate.quorum, candidate.elsewhere)), 1.0
    cut = radius if radius is not None else _cut(ranked, fewest, bound, clean)
    return Found(
        shape=tuple(_znormalised(candidate.shape)),
        width=candidate.width,
        offsets=candidate.hits.offsets,
        distances=candidate.hits.distances,
        members=tuple(sorted(s for d, s in ranked if d <= cut)),
        radius=cut,
        quorum=candidate.quorum,
        pattern=candidate.pattern,
    )


# ---------------------------------------------------------------- anchors


def _finite(values: Sequence[float]) -> bool:
    """Whether every sample is finite."""
    # A finite sum means finite samples; only a sum that overflows needs them looked at one by one.
    return math.isfinite(sum(values)) or all(math.isfinite(v) for v in values)


def _window(values: array[float], start: int, width: int) -> list[float] | None:
    """The window, or None when it cannot serve as a shape (NaN, inf, or constant)."""
    window = list(values[start : start + width])
    if len(window) < width or not _finite(window):
        return None
    return window if max(window) > min(window) else None


def _nearest_series(motif: Motif, series: list[array[float]], count: int) -> list[int]:
    """The `count` series whose best window comes nearest the motif's representative."""
    representative = motif.representative
    scored = []
    for s, offset in motif.best_matches.items():
        window = _window(series[s], offset, motif.length)
        if window is not None:
            scored.append((_distance(window, representative), s))
    return [s for _, s in sorted(scored)[:count]]


def _lettered(values: array[float]) -> array[float]:
    """The series as the letters should read it: one missing or infinite sample would make the whole series
    NaN once z-normalised, and its letters all alike, so such samples read as the median of the finite ones.
    The windows cut from the letters' places are still the series' own, and one that misses a sample is
    passed over."""
    if _finite(values):
        return values
    finite = [v for v in values if math.isfinite(v)]
    if not finite:
        return values
    middle = sorted(finite)[len(finite) // 2]
    return array("d", [v if math.isfinite(v) else middle for v in values])


def _patterns(
    series: list[array[float]], widths: list[int], minsup: float, seglen: int, shortest: int, count: int
) -> list[Motif]:
    """The first `count` non-flat patterns of `shortest` letters or more, up to the largest width, best naed
    first."""
    longest = max(shortest, math.ceil(widths[-1] / seglen))
    motifs = Miner(minsup, seglen, ALPHABET, min_len=shortest, max_len=longest).mine(series)
    # Only the first few are wanted: telling flat from not costs as much as mining.
    return list(itertools.islice((m for m in motifs if not is_trivial(m)), count))


def _mined(series: list[array[float]], widths: list[int], share: float | None) -> list[Motif]:
    """PATTERNS non-flat patterns, mined with parameters derived from the widths: the coarse letters' best
    first, then FINE_PATTERNS of the fine letters' (unless the fine letters would be no shorter)."""
    minsup = min(MAX_SUPPORT, (share if share is not None else DEFAULT_SHARE) / 2)
    seglen = max(1, round(widths[0] / LETTERS_PER_WIDTH))
    fine_seglen = max(1, round(widths[0] / FINE_LETTERS_PER_WIDTH))
    fine = (
        _patterns(series, widths, minsup, fine_seglen, MIN_FINE_LETTERS, FINE_PATTERNS)
        if fine_seglen < seglen
        else []
    )
    return _patterns(series, widths, minsup, seglen, MIN_LETTERS, PATTERNS - len(fine)) + fine


def _anchor_series(
    motifs: list[Motif], source: Dataset, series: list[array[float]]
) -> list[list[tuple[int, int]]]:
    """Per motif, its ANCHOR_SERIES series whose window comes nearest its representative, as (series, offset):
    the motifs of one length are measured together against all their best windows.
    """
    chosen: list[list[tuple[int, int]]] = [[] for _ in motifs]
    groups: dict[int, list[int]] = {}
    for i, motif in enumerate(motifs):
        representative = motif.representative
        if all(math.isfinite(v) for v in representative) and max(representative) > min(representative):
            groups.setdefault(motif.length, []).append(i)
    for group in groups.values():
        starts: list[list[int]] = [[] for _ in series]
        for i in group:
            for s, offset in motifs[i].best_matches.items():
                starts[s].append(offset)
        looked = _kez_cpp._nearest_among([motifs[i].representative for i in group], source, starts)
        for i, (offsets, distances, _) in zip(group, looked, strict=True):
            ranked = sorted((d, s) for s, d in enumerate(distances) if d < math.inf)[:ANCHOR_SERIES]
            chosen[i] = [(s, offsets[s]) for _, s in ranked]
    return chosen


def _cut_around(
    places: list[tuple[int, int]],
    length: int,
    series: list[array[float]],
    width: int,
    shifts: Sequence[float] = SHIFTS,
) -> list[list[float]]:
    """Windows of `width` centred on windows of `length` at the (series, offset) places, each moved by
    `shifts` (fractions of the width)."""
    anchors: list[list[float]] = []
    for s, offset in places:
        centre = offset + length / 2
        for shift in shifts:
            start = min(max(0, round(centre - width / 2 + shift * width)), len(series[s]) - width)
            window = _window(series[s], start, width) if start >= 0 else None
            if window is not None and window not in anchors:
                anchors.append(window)
    return anchors


def _best_aligned(
    motifs: list[Motif],
    places: list[list[tuple[int, int]]],
    source: Dataset,
    series: list[array[float]],
    width: int,
    q: int,
) -> list[_Candidate]:
    """Per motif, of its anchors the one nearest the motif's own windows (each re-cut to the width around its
    centre and moved by LOOKS): the median distance of its q nearest stands for its quorum radius until it is
    searched, and its nearest own windows (-1 elsewhere) seed the search. Best first: by that median over the
    median, across series, of its nearest window on a grid GRID_STEP of the width apart.
    """
    moves = sorted({round(look * width) for look in LOOKS})
    chosen = []
    for motif, found in zip(motifs, places, strict=True):
        anchors = _cut_around(found, motif.length, series, width)
        if not anchors:
            continue
        move = motif.length / 2 - width / 2
        starts: list[list[int]] = [[] for _ in series]
        for s, offset in motif.best_matches.items():
            starts[s].append(min(max(0, round(offset + move)), len(series[s]) - width))
        best: _Candidate | None = None
        looked = _kez_cpp._nearest_among(anchors, source, starts, moves)
        for anchor, (offsets, distances, _) in zip(anchors, looked, strict=True):
            near = sorted(d for d in distances if d < math.inf)
            if near:
                score = near[min(q, len(near)) // 2]
                if best is None or score < best.quorum:
                    best = _Candidate(
                        anchor, motif.pattern, Nearest(tuple(offsets), tuple(distances)), score, score
                    )
        if best is not None:
            chosen.append(best)
    # A smooth bend matches its own pattern's windows tightly, but windows anywhere nearly as well; a sharp
    # shape (a chirp) matches its own more loosely, and the rest far worse.
    anywhere = _anywhere([c.shape for c in chosen], source, series, width)
    ratios = [_ratio(c.quorum, a) for c, a in zip(chosen, anywhere, strict=True)]
    return [chosen[i] for i in sorted(range(len(chosen)), key=ratios.__getitem__)]


def _ratio(near: float, far: float) -> float:
    """near / far, where a shape that comes as near everywhere as to its own windows (0 / 0) scores 1 and one
    with nothing to measure against (far 0 or inf) scores last."""
    if 0.0 < far < math.inf:
        return near / far
    return 1.0 if near == far == 0.0 else math.inf


def _anywhere(
    shapes: list[list[float]], source: Dataset, series: list[array[float]], width: int
) -> list[float]:
    """Per shape of `width` samples, the median across series of its nearest window on a grid GRID_STEP of the
    width apart (further apart where the shapes would take more than ROUGH_BUDGET multiply-adds)."""
    if not shapes:
        return []
    work = len(shapes) * width * sum(max(0, len(s) - width + 1) for s in series)
    step = max(1, round(width * GRID_STEP), math.ceil(work / ROUGH_BUDGET))
    grid = [list(range(0, len(s) - width + 1, step)) for s in series]
    medians = []
    for _, distances, _ in _kez_cpp._nearest_among(shapes, source, grid):
        near = sorted(d for d in distances if d < math.inf)
        medians.append(near[len(near) // 2] if near else math.inf)
    return medians


def _seeds(
    candidates: list[_Candidate], motifs: list[Motif], source: Dataset, series: list[array[float]], width: int
) -> list[list[int]]:
    """Per candidate, per series, where a search should start: its nearest own-pattern window, else the
    nearest of every pattern's windows there (re-cut to the width and moved by LOOKS).
    """
    if not candidates:
        return []
    starts: list[set[int]] = [set() for _ in series]
    for motif in motifs:
        move = motif.length / 2 - width / 2
        for s, offset in motif.best_matches.items():
            starts[s].add(min(max(0, round(offset + move)), len(series[s]) - width))
    moves = sorted({round(look * width) for look in LOOKS})
    looked = _kez_cpp._nearest_among(
        [c.shape for c in candidates], source, [sorted(x) for x in starts], moves
    )
    return [
        [own if own >= 0 else other for own, other in zip(c.hits.offsets, offsets, strict=True)]
        for c, (offsets, _, _) in zip(candidates, looked, strict=True)
    ]


def _searched(
    candidates: list[_Candidate], seeds: list[list[int]], source: Dataset, q: int
) -> list[_Candidate]:
    """The candidates searched in full, each series from its seed there, keeping their backgrounds."""
    if not candidates:
        return []
    found = _kez_cpp._nearest([c.shape for c in candidates], source, seeds)
    return [
        _searched_shape(c.shape, c.pattern, Nearest(tuple(offsets), tuple(distances)), q, c.background)
        for c, (offsets, distances) in zip(candidates, found, strict=True)
    ]


def _finished(
    candidates: list[_Candidate], source: Dataset, series: list[array[float]], q: int, share: float
) -> list[_Candidate]:
    """The candidates (searched in full, backgrounds measured) re-centred FOUND_RECENTRES times, each keeping
    whichever of its versions scores best at `share`. A round takes the mean of each candidate's nearest
    windows moved by each of RECENTRE_MOVES, looks for every version only at the candidate's nearest windows
    moved by each of those shares, searches in full the version of smallest closeness there, and measures
    its background.
    """
    best = list(candidates)
    current = best
    for _ in range(FOUND_RECENTRES):
        # An anchor cut off-centre carries a few background samples, which wander far from the shape in some
        # series; the mean of windows moved a little inward (or outward) can fit its members better.
        chosen, seeds = [], []
        for c in current:
            moves = sorted({round(m * c.width) for m in RECENTRE_MOVES})
            versions = _recentred([(c, move) for move in moves], source, q)
            starts = [[offset] if offset >= 0 else [] for offset in c.hits.offsets]
            looked = _kez_cpp._nearest_among(versions, source, starts, moves)
            i = min(range(len(versions)), key=lambda v: _closeness(looked[v][1], q))
            chosen.append(
                _Candidate(versions[i], c.pattern, c.hits, c.quorum, c.closeness, c.background, c.elsewhere)
            )
            seeds.append(list(looked[i][0]))
        current = [_with_background(c, series, q) for c in _searched(chosen, seeds, source, q)]
        best = [c if c.score(share) < b.score(share) else b for c, b in zip(current, best, strict=True)]
    return best


# ---------------------------------------------------------------- the calls


def find_motifs(
    data: Dataset,
    width: int | Iterable[int],
    share: float | None = None,
    k: int = 5,
    *,
    radius: float | None = None,
    report: Report | None = None,
) -> list[Found]:
    """The `k` shapes of `width` samples most tightly shared by a `share` of the series, best first.

    `data` is anything ``Miner.mine`` takes. `width` is a number of samples, or several (a
    ``range``): each is searched, and shapes of different widths are compared by distance over
    sqrt(width). `share` (in (0, 1]) is the share of the series expected to hold a shape; without
    it the quorum is 0.2 of the series.

    The miner's parameters are derived: ``seglen = max(1, round(min width / 8))``, alphabet 4,
    patterns of 4 letters or more, up to the largest width, ``minsup = min(0.1, share / 2)`` (0.1
    without a share); then again with ``seglen = max(1, round(min width / 16))`` and patterns of 6
    letters or more, when that is shorter (a fast oscillation averages out of the longer letters).
    Flat patterns are dropped; the first 40 patterns of the first mining and the first 20 of the
    second (60 of the first when there is no second) are taken, and windows of each width centred
    on their best windows (in the 4 series nearest the pattern, shifted by -1/4, 0, +1/4 of the
    width) are the anchors. They are searched in every series while anchors x series x samples x
    width stays within 5e8; past that, as many as it affords (at least 12), each pattern's anchor
    nearest the pattern's own windows (re-cut to the width and moved by up to a quarter of it: the
    median distance of its q nearest) first, smallest first by that median over the median, across
    series, of its nearest window on a grid half the width apart (further apart past 2e8
    multiply-adds). With q = ceil(share x series) (at least 2), a candidate's quorum radius is the
    q-th smallest nearest distance, its closeness the mean of the q smallest, and its background the
    median, over those q series, of the distance of the nearest window that does not overlap the
    nearest one. The k + 5 different shapes of smallest closeness over a rough background (the same
    median, among windows an eighth of the width apart), and 3 more different shapes of smallest
    quorum radius over the median nearest distance of all series, are measured against their
    background; the k + 3 different ones of smallest closeness
    over background are re-centred once (the mean of the z-normalised nearest windows of their q
    nearest series, those windows moved by -1/8, -1/16, 0, +1/16 and +1/8 of the width; the version
    of smallest closeness at the nearest windows moved alike is searched in full, measured against
    its background, and kept if it scores better). Two candidates are the same shape, and only the
    better is kept, when most of their q nearest windows overlap by half or, at one width, their
    shapes lie within the quorum radius of each other. Where re-centring carries several finalists
    onto one shape, the measured candidates next in line by score fill the k.

    Membership: the series whose nearest distance is at most the radius. Unless `radius` is
    given (one width only), the radius is cut at the widest ratio gap between consecutive sorted
    distances, at the geometric mean of the two, among cuts that keep at least the q series the
    shape is ranked by and no series farther than 1.5 x the quorum radius, nor than the shape's
    nearest window, in any of those q series, that does not overlap the series' nearest: a series
    no nearer the shape than that holds it no better than the background. Past the last series the
    bound stands in for the next distance. Without a share the bound is the shape's nearest window,
    in any series, that does not overlap the series' nearest (or the quorum radius, if farther;
    where no series has such a window, 2 x the quorum radius), and a gap below it cuts only where
    the next distance is at least 1.5 x the last: warped copies of a shape most series hold leave
    no gap as wide.

    Ranked by closeness over background, smallest first: how tightly the shape is shared, against
    how near the same series come to it elsewhere (a smooth bend that slowly wandering series hold
    everywhere is tight but not distinct). With a share below one half, the background is weighted
    with the median nearest distance of all series, as ``background ** share * median ** (1 -
    share)``: where a small share holds a shape, most series do not, and how near it comes to them
    tells a shape from a piece of one that the background half resembles. Where the median series
    comes as near as the q-th, half the series or more hold the shape (a share is a floor), and the
    background stands alone.

    `report`, when given, is called with (stage, done, total) as the stages go.

    Raises ValueError naming the argument: a width below 2 or longer than every series, a share
    outside (0, 1], k below 1, a radius not positive or given with several widths.
    """
    widths = _widths(width)
    share = _share(share)
    radius = _radius(radius)
    if isinstance(k, bool) or not isinstance(k, numbers.Integral) or k < 1:
        raise ValueError(f"k must be a whole number of motifs, at least 1, not {k!r}")
    if radius is not None and len(widths) > 1:
        raise ValueError("radius is a distance at one width: pass a single width with it")
    series = read_series(data)
    if not series:
        return []
    _fits(widths, series)
    # A 2-D array is read in place by the core; anything else once, here.
    source: Dataset = (
        data if getattr(data, "ndim", None) == 2 and hasattr(data, "__array_interface__") else series
    )
    step = report if report is not None else (lambda stage, done, total: None)
    step("mine", 0, 1)
    motifs = _mined([_lettered(s) for s in series], widths, share)
    step("mine", 1, 1)
    q = _quorum_size(share if share is not None else DEFAULT_SHARE, len(series))
    places = _anchor_series(motifs, source, series)
    longest = max(len(s) for s in series)
    candidates: list[_Candidate] = []
    for done, w in enumerate(widths):
        step("search", done, len(widths))
        shapes, patterns = [], []
        for motif, found in zip(motifs, places, strict=True):
            for anchor in _cut_around(found, motif.length, series, w):
                shapes.append(anchor)
                patterns.append(motif.pattern)
        affordable = max(SEARCHED, SEARCH_BUDGET // (len(series) * longest * w))
        if len(shapes) <= affordable:
            candidates += _search(shapes, patterns, source, q)
            continue
        # Too many to search them all: the best-aligned anchor of each pattern first, best first, each from
        # its own pattern's windows; then the others in pattern order.
        first = _best_aligned(motifs, places, source, series, w, q)[:affordable]
        taken = {tuple(c.shape) for c in first}
        rest = [(a, p) for a, p in zip(shapes, patterns, strict=True) if tuple(a) not in taken]
        rest = rest[: affordable - len(first)]
        seeds = _seeds(first, motifs, source, series, w) + [[-1] * len(series)] * len(rest)
        shapes = [c.shape for c in first] + [a for a, _ in rest]
        patterns = [c.pattern for c in first] + [p for _, p in rest]
        candidates += _search(shapes, patterns, source, q, seeds)
    step("search", len(widths), len(widths))
    step("refine", 0, 1)
    # Smooth shapes come near every wandering series, so the quorum radius alone favours them; a shape its q
    # series hold far more tightly than the rest gets a place of its own among the finalists.
    candidates = _roughly_measured(candidates, source, series, q)
    # Without a share, how many series hold a shape is unknown, so the other series' distances say nothing.
    weight = share if share is not None else 1.0
    pool = _contrasted(candidates, _distinct(candidates, q, weight, k + MEASURED), q, CONTRASTED)
    measured = [_with_background(c, series, q) for c in pool]
    finalists = _distinct(measured, q, weight, k + FINALISTS)
    polished = _distinct(_finished(finalists, source, series, q, weight), q, weight, k)
    if len(polished) < k:
        # Re-centring can carry several finalists onto one shape: the measured shapes next in line stand in.
        polished = sorted(_distinct(measured, q, weight, k, polished), key=lambda c: c.score(weight))
    # A shape is ranked by its q nearest series, so its members are never fewer: otherwise the near-copies
    # of an anchor's own window, far nearer than the rest, would make the widest gap and keep two or three.
    if share is not None:
        found = [_found(c, q, radius, ALPHA) for c in polished]
    else:
        cutting = radius is None  # a given radius needs no measure of the background
        found = [
            _found(c, q, radius, ALPHA_WITHOUT_SHARE, _everywhere(c, series, q) if cutting else math.nan)
            for c in polished
        ]
    step("refine", 1, 1)
    return found


def refine(
    motifs: Iterable[Motif], data: Dataset, share: float | None = None, radius: float | None = None
) -> list[Found]:
    """Each motif, re-searched by exact distance at its own length: one `Found` per motif, in order.

    `data` is the collection the motifs were mined from. The motif's best windows in its 4
    series nearest the representative, and the representative itself, are searched in every
    series; the one of smallest quorum radius is re-centred twice, and membership is cut as
    `find_motifs` cuts it. Without `share`, the quorum is the motif's own support (the share of
    series it occurs in).
    """
    share = _share(share)
    radius = _radius(radius)
    series = read_series(data)
    results = []
    for motif in motifs:
        if motif.length < 2 or not motif.best_matches:
            raise ValueError(f"{motif!r} has no window: only motifs from Miner.mine can be refined")
        if any(s >= len(series) for s in motif.best_matches):
            raise ValueError(f"{motif!r} has best matches beyond the {len(series)} series given")
        support = share if share is not None else len(motif.indexes) / len(series)
        q = min(_quorum_size(support, len(series)), len(series))
        places = [(s, motif.best_matches[s]) for s in _nearest_series(motif, series, ANCHOR_SERIES)]
        shapes = _cut_around(places, motif.length, series, motif.length, (0.0,))
        representative = motif.representative
        if all(math.isfinite(v) for v in representative) and max(representative) > min(representative):
            shapes.append(_znormalised(representative))
        if not shapes:
            raise ValueError(f"{motif!r} has no window that is not flat or missing: nothing to search")
        candidates = _search(shapes, [motif.pattern] * len(shapes), series, q)
        best = min(candidates, key=lambda c: c.score(support))
        alpha = ALPHA if share is not None else ALPHA_WITHOUT_SHARE
        results.append(_found(_with_background(_polished([best], series, q)[0], series, q), q, radius, alpha))
    return results
