"""Telling shapes from flat stretches: letter complexity of a motif, a filter, and an ordering.

The miner ranks by ``naed``, which favours flat stretches (``bbbb``, ``aaab``): they match
closely everywhere. These helpers leave the miner's results untouched; they read a ranked list
and give back the motifs worth a look, in an order that flat runs do not dominate.
"""

from __future__ import annotations

import math
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Literal

from _kez_cpp import Motif

# The default rule of `is_trivial`; README.md states it.
MIN_LETTERS = 2
MAX_RUN = 0.9
MIN_SPREAD = 0.5


@dataclass(frozen=True)
class Shape:
    """How much a motif's shape varies: what `is_trivial` and the ``"noise"`` order read.

    Attributes:
        letters: distinct letters in the pattern.
        run: the longest run of one repeated letter, as a share of the pattern's letters.
        dominant: the share of the pattern's letters taken by its most common letter.
        spread: population deviation of the representative (NaN skipped), on the z-normalised
            scale; near 0 for a flat stretch.
        noise: the typical distance of a best window from the representative over that spread:
            ``naed * sqrt(length) / spread``, the mean over series of the root-mean-square
            difference per sample, relative to the shape's own variation. Infinite when the
            spread is 0 (or NaN); smaller is a clearer shape.
    """

    letters: int
    run: float
    dominant: float
    spread: float
    noise: float


def _longest_run(pattern: str) -> int:
    longest = current = 0
    previous = ""
    for letter in pattern:
        current = current + 1 if letter == previous else 1
        previous = letter
        longest = max(longest, current)
    return longest


def _deviation(values: Iterable[float]) -> float:
    xs = [v for v in values if not math.isnan(v)]
    if not xs:
        return math.nan
    mean = math.fsum(xs) / len(xs)
    return math.sqrt(math.fsum((x - mean) ** 2 for x in xs) / len(xs))


def shape(motif: Motif) -> Shape:
    """The letter complexity and spread of `motif` (see `Shape`)."""
    pattern = motif.pattern
    size = len(pattern)
    if size == 0:
        return Shape(0, 0.0, 0.0, math.nan, math.inf)
    spread = _deviation(motif.representative)
    scatter = motif.naed * math.sqrt(motif.length)
    noise = scatter / spread if spread > 0.0 else math.inf  # NaN spread compares false, too
    return Shape(
        letters=len(set(pattern)),
        run=_longest_run(pattern) / size,
        dominant=max(pattern.count(letter) for letter in set(pattern)) / size,
        spread=spread,
        noise=noise if not math.isnan(noise) else math.inf,
    )


def is_trivial(
    motif: Motif,
    *,
    min_letters: int = MIN_LETTERS,
    max_run: float = MAX_RUN,
    min_spread: float = MIN_SPREAD,
) -> bool:
    """True for a flat stretch: fewer than `min_letters` distinct letters, one letter repeated
    over more than `max_run` of the pattern, or a representative whose deviation is below
    `min_spread` (NaN counts as below).
    """
    s = shape(motif)
    return s.letters < min_letters or s.run > max_run or not s.spread >= min_spread


def drop_trivial(
    motifs: Iterable[Motif],
    *,
    order: Literal["noise", "naed"] = "noise",
    min_letters: int = MIN_LETTERS,
    max_run: float = MAX_RUN,
    min_spread: float = MIN_SPREAD,
) -> list[Motif]:
    """The motifs that `is_trivial` keeps, clearest shape first.

    With ``order="noise"`` they are sorted by ascending ``shape(m).noise`` (ties keep the
    given order); with ``order="naed"`` they keep the given order, the miner's ranking when
    `motifs` is ``Miner.motifs``. The motifs themselves are the same objects, unchanged.
    """
    if order not in ("noise", "naed"):
        raise ValueError(f"order must be 'noise' or 'naed', not {order!r}")
    kept = [
        m
        for m in motifs
        if not is_trivial(m, min_letters=min_letters, max_run=max_run, min_spread=min_spread)
    ]
    if order == "noise":
        kept.sort(key=lambda m: shape(m).noise)
    return kept
