"""Why a run of the miner gave no motifs, or only flat ones, told with the numbers."""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING

from _kez_cpp import Miner, Motif, sax
from kez._data import read_series
from kez.plot import znormalise
from kez.shapes import is_trivial

if TYPE_CHECKING:
    from kez._data import Dataset

_SHOWN = 5  # series indexes named in a reason before "..."


@dataclass(frozen=True)
class Diagnosis:
    """What `diagnose` found: the number of motifs, how many are flat, and why.

    `reasons` is empty when nothing stands in the way; ``str()`` gives a short report.
    """

    motifs: int
    flat: int
    reasons: list[str]

    def __str__(self) -> str:
        found = f"{self.motifs} motif" + ("" if self.motifs == 1 else "s")
        if self.motifs == 0:
            head = found
        elif self.flat == self.motifs:
            head = f"{found}, all flat"
        else:
            head = f"{found}, {self.flat} of them flat"
        if not self.reasons:
            return head + "; nothing stands in the way"
        return head + ":\n" + "\n".join(f"- {r}" for r in self.reasons)


def _count(k: int, n: int, singular: str, plural: str) -> str:
    return f"{k} of {n} series {singular if k == 1 else plural}"


def _named(indexes: list[int]) -> str:
    shown = ", ".join(str(s) for s in indexes[:_SHOWN])
    return shown + (", ..." if len(indexes) > _SHOWN else "")


def _longest_constant(values: Sequence[float]) -> int:
    longest = current = 0
    previous = math.nan
    for v in values:
        current = current + 1 if v == previous else 1
        previous = v
        longest = max(longest, current)
    return longest


def _reach(letters: list[list[str]], size: int, varied: bool) -> tuple[str, int]:
    """The pattern of `size` letters found in the most series, and in how many; with `varied`,
    only patterns of two letters or more count."""
    counts: Counter[str] = Counter()
    for row in letters:
        text = "".join(row)
        found = {text[i : i + size] for i in range(len(text) - size + 1)}
        counts.update(p for p in found if not varied or len(set(p)) > 1)
    if not counts:
        return "", 0
    # The most series first, then the alphabetically first pattern, so the report is stable.
    return min(counts.items(), key=lambda item: (-item[1], item[0]))


def _input_reasons(series: Sequence[Sequence[float]], seglen: int, min_len: int) -> list[str]:
    n = len(series)
    reasons = []
    short = [s for s, values in enumerate(series) if math.ceil(len(values) / seglen) < min_len]
    if short:
        shortest = min(len(series[s]) for s in short)
        reasons.append(
            f"{_count(len(short), n, 'is', 'are')} shorter than min_len x seglen = {min_len} x {seglen} = "
            f"{min_len * seglen} samples: they give fewer than {min_len} letters, so no motif fits "
            f"(series {_named(short)}; the shortest has {shortest} samples)"
        )
    missing = [s for s, values in enumerate(series) if any(math.isnan(v) for v in values)]
    if missing:
        first = next(i for i, v in enumerate(series[missing[0]]) if math.isnan(v))
        reasons.append(
            f"{_count(len(missing), n, 'holds', 'hold')} a missing value (NaN), and one NaN "
            f"normalises the whole series to NaN, read as all 'a' (series {_named(missing)}; "
            f"series {missing[0]} at sample {first}): drop or fill the missing values"
        )
    constant = [
        s
        for s, values in enumerate(series)
        if s not in missing and len(values) > 0 and all(v == values[0] for v in values)
    ]
    if constant:
        reasons.append(
            f"{_count(len(constant), n, 'is', 'are')} constant, which normalises to NaN, read as all 'a' "
            f"(series {_named(constant)}): drop them"
        )
    other = [
        s
        for s, values in enumerate(series)
        if s not in missing and s not in constant and any(math.isnan(z) for z in znormalise(values))
    ]
    if other:
        reasons.append(
            f"{_count(len(other), n, 'normalises', 'normalise')} to NaN because of infinite or "
            f"overflowing values (series {_named(other)})"
        )
    window = min_len * seglen
    stretches = {
        s: _longest_constant(values)
        for s, values in enumerate(series)
        if s not in missing and s not in constant
    }
    flat = sorted(s for s, run in stretches.items() if run >= window)
    if flat:
        longest = max(flat, key=lambda s: stretches[s])
        reasons.append(
            f"{_count(len(flat), n, 'holds', 'hold')} a constant stretch of at least {window} samples, which "
            f"reads as one repeated letter (series {_named(flat)}; the longest, {stretches[longest]} "
            f"samples, in series {longest})"
        )
    return reasons


def diagnose(
    series: Dataset,
    minsup: float,
    seglen: int,
    alphabet: int,
    *,
    min_len: int = 3,
    max_len: int = 0,
    max_overlap: float = 0.9,
    motifs: Sequence[Motif] | None = None,
) -> Diagnosis:
    """Says why ``Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap)`` gives no
    motifs on `series`, or only flat ones (``kez.is_trivial``), with the numbers.

    It looks for series too short for a motif of `min_len` letters, series that normalise to
    NaN (a missing value, a constant series), long constant stretches, a `minsup` above the
    share of series that the most common pattern of `min_len` letters reaches, and, when every
    motif is flat, the reach of the most common pattern that is not one repeated letter.
    Pass the motifs of a run already made (``Miner.motifs``) as `motifs` to skip mining again.
    `series` is anything ``Miner.mine`` takes, and is refused as ``mine`` refuses it.
    """
    read = read_series(series)
    if seglen <= 0:
        raise ValueError(f"seglen must be positive, not {seglen}")
    n = len(read)
    if n == 0:
        return Diagnosis(0, 0, ["no series were given"])
    if motifs is None:
        miner = Miner(minsup, seglen, alphabet, min_len=min_len, max_len=max_len, max_overlap=max_overlap)
        miner.mine(read)
        motifs = miner.motifs
    flat = sum(1 for m in motifs if is_trivial(m))
    if motifs and flat < len(motifs):
        return Diagnosis(len(motifs), flat, [])

    reasons = _input_reasons(read, seglen, min_len)
    if 0 < max_len < min_len:
        reasons.append(
            f"max_len {max_len} is below min_len {min_len}: every pattern is cut before it is kept"
        )
    letters = sax([znormalise(values) for values in read], seglen, alphabet)
    if alphabet <= 1:
        reasons.append(f"an alphabet of {alphabet} has a single letter: every pattern is one repeated letter")
    needed = n * minsup
    if not motifs:
        pattern, reach = _reach(letters, min_len, varied=False)
        if reach < needed and (reach or not reasons):
            reasons.append(
                f"minsup {minsup:g} asks for {math.ceil(needed - 1e-9)} of {n} series, but the most common "
                f"pattern of {min_len} letters, {pattern!r}, is in {reach} ({reach / n:.0%}): lower minsup "
                f"to {reach / n:.2f} or less, or take a larger seglen, a smaller alphabet or a "
                "smaller min_len"
                if reach
                else f"no series gives {min_len} letters at seglen {seglen}"
            )
    else:
        pattern, reach = _reach(letters, min_len, varied=True)
        if reach < needed:
            reasons.append(
                f"the most common pattern of {min_len} letters that is not one repeated letter, "
                f"{pattern!r}, is in {reach} of {n} series ({reach / n:.0%}), below minsup {minsup:g}: "
                "only flat stretches are that frequent; lower minsup or take a smaller alphabet"
                if reach
                else f"no series spells {min_len} letters that are not one repeated letter"
            )
        else:
            reasons.append(
                "every motif is a flat stretch by kez.is_trivial (fewer than 2 letters, one letter over "
                "most of it, or a representative that barely moves); try a smaller seglen or a larger "
                "min_len"
            )
    if not reasons:
        reasons.append("no cause found in the series or the parameters")
    return Diagnosis(len(motifs), flat, reasons)
