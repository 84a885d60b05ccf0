"""Motifs against class labels: how each motif's series divide among the classes, and the
motifs that one class has and another lacks.
"""

from __future__ import annotations

import math
from collections import Counter
from collections.abc import Hashable, Iterable
from dataclasses import dataclass, field
from typing import TYPE_CHECKING

from _kez_cpp import Miner, Motif
from kez._data import read_labels, read_series
from kez.find import Found
from kez.shapes import is_trivial

if TYPE_CHECKING:
    from kez._data import Dataset

_NAMED = 4  # classes a report names one by one, whatever their support


@dataclass(frozen=True)
class ClassSupport:
    """One motif's presence in each class of a labelled collection.

    Attributes:
        motif: the motif, mined from the whole collection (its series indexes are the collection's),
            or a ``Found`` shape, whose series are its members.
        support: class to the number of its series the motif occurs in, for every class.
        share: class to ``support`` over the number of series of that class.
        label: the class with the highest share (the first in sorted order on a tie).
        against: the class with the lowest share, other than `label`; None with one class.
        contrast: ``share[label] - share[against]``, from 0 (same presence) to 1 (in every
            series of one class and none of the other); 0.0 with one class.
        purity: the share of the motif's series that belong to `label`.
    """

    motif: Motif | Found
    support: dict[str, int]
    share: dict[str, float]
    label: str
    against: str | None
    contrast: float
    purity: float

    def split(self) -> str:
        """Support and share per class, e.g. ``1: 18 (75%), 2: 5 (19%)``; beyond four classes
        only those the motif occurs in are named."""
        named = [c for c in self.share if len(self.share) <= _NAMED or self.support[c]]
        split = ", ".join(f"{c}: {self.support[c]} ({self.share[c]:.0%})" for c in named)
        if len(named) < len(self.share):
            split += f", {len(self.share) - len(named)} others: 0"
        return split

    def __str__(self) -> str:
        return f"{self.motif.pattern}: {self.split()}; contrast {self.contrast:.2f}, purity {self.purity:.2f}"


def class_order(labels: Iterable[Hashable]) -> list[str]:
    """The distinct classes of `labels` as strings, numeric names in numeric order ("2" before
    "10"), then the others alphabetically: the order every class table of ``kez`` uses."""
    names = {str(label) for label in labels}
    return sorted(names, key=lambda c: (0, float(c), c) if _is_number(c) else (1, 0.0, c))


def _is_number(text: str) -> bool:
    try:
        return math.isfinite(float(text))
    except ValueError:
        return False


def class_support(motifs: Iterable[Motif | Found], labels: Iterable[Hashable]) -> list[ClassSupport]:
    """For each motif, in the given order, its support and share in each class of `labels`.

    A ``Found`` (from `kez.find_motifs` or `kez.refine`) counts its members, the series within its
    radius.

    `labels` holds one class per series of the collection the motifs were mined from, in the
    series' order (a list as ``kez.load_ts`` returns it, a numpy array, or a pandas Series read by
    position whatever its index); classes are compared as strings.
    """
    names = [str(label) for label in read_labels(labels)]
    classes = class_order(names)
    sizes = Counter(names)
    result = []
    for motif in motifs:
        held = motif.members if isinstance(motif, Found) else list(motif.indexes)
        beyond = [s for s in held if s >= len(names)]
        if beyond:
            raise ValueError(
                f"{motif!r} occurs in series {beyond[0]}, but only {len(names)} labels were given"
            )
        counted = Counter(names[s] for s in held)
        support = {c: counted.get(c, 0) for c in classes}
        share = {c: support[c] / sizes[c] for c in classes}
        label = max(classes, key=lambda c: share[c])  # max keeps the first of equal shares
        others = [c for c in classes if c != label]
        against = min(others, key=lambda c: share[c]) if others else None
        contrast = share[label] - share[against] if against is not None else 0.0
        total = sum(support.values())
        result.append(
            ClassSupport(
                motif, support, share, label, against, contrast, support[label] / total if total else 0.0
            )
        )
    return result


@dataclass(frozen=True)
class Contrast:
    """What `contrast` found: every motif with its class split, and those that tell classes apart.

    Attributes:
        motifs: every motif kept, by descending contrast (then the miner's order).
        found: those present in at least `frequent` of one class and at most `rare` of another.
        minsup, frequent, rare: the share the collection was mined at, and the two thresholds.
        sizes: class to its number of series.
    """

    motifs: list[ClassSupport]
    found: list[ClassSupport]
    minsup: float
    frequent: float
    rare: float
    sizes: dict[str, int] = field(default_factory=dict)

    def __str__(self) -> str:
        return self.report()

    def report(self, shown: int = 5) -> str:
        """A few lines: what was mined, and the first `shown` motifs found, or that none was."""
        classes = ", ".join(f"{c}: {n}" for c, n in self.sizes.items())
        lines = [f"{len(self.motifs)} motifs mined at minsup {self.minsup:.3g} (series per class: {classes})"]
        if self.found:
            lines.append(
                f"in at least {self.frequent:.0%} of one class and at most {self.rare:.0%} of "
                f"another: {len(self.found)}, the strongest first"
            )
            lines += [f"  {c}" for c in self.found[:shown]]
            if len(self.found) > shown:
                lines.append(f"  ... and {len(self.found) - shown} more")
        else:
            lines.append(
                f"none is in at least {self.frequent:.0%} of one class and at most {self.rare:.0%} of another"
            )
            if self.motifs:
                lines.append(f"  the strongest contrast: {self.motifs[0]}")
        return "\n".join(lines)


def contrast(
    series: Dataset,
    labels: Iterable[Hashable],
    seglen: int,
    alphabet: int,
    *,
    frequent: float = 0.5,
    rare: float = 0.2,
    min_len: int = 3,
    max_len: int = 0,
    max_overlap: float = 1.0,
    keep_trivial: bool = False,
) -> Contrast:
    """Mines the whole labelled collection at once and sets each motif's classes side by side.

    The collection is mined with a ``minsup`` just low enough that every pattern present in
    `frequent` of the smallest class's series is kept, so no pattern frequent in any one
    class is missed; then each motif's series are counted per class. `max_overlap` is 1.0
    by default, so no pattern is pruned as redundant: a part of a longer pattern can tell the
    classes apart better than the whole. Flat stretches
    (``kez.is_trivial``) are left out unless `keep_trivial`.

    `series` is anything ``Miner.mine`` takes, and is refused as ``mine`` refuses it; `labels`
    holds one class per series, as for `class_support`.
    """
    read = read_series(series)
    names = [str(label) for label in read_labels(labels)]
    if len(names) != len(read):
        raise ValueError(f"{len(read)} series but {len(names)} labels: give one label per series")
    if not read:
        raise ValueError("no series to mine")
    sizes = Counter(names)
    smallest = min(sizes.values())
    needed = max(1, math.ceil(frequent * smallest - 1e-9))
    # Half a series below the count keeps a pattern found in exactly `needed` series,
    # whatever the rounding of the product inside the miner.
    minsup = (needed - 0.5) / len(read)
    miner = Miner(minsup, seglen, alphabet, min_len=min_len, max_len=max_len, max_overlap=max_overlap)
    miner.mine(read)
    kept = [m for m in miner.motifs if keep_trivial or not is_trivial(m)]
    rows = class_support(kept, names)
    rows.sort(key=lambda row: -row.contrast)  # stable: equal contrasts keep the miner's order
    found = [
        r
        for r in rows
        if r.against is not None and r.share[r.label] >= frequent and r.share[r.against] <= rare
    ]
    return Contrast(rows, found, minsup, frequent, rare, {c: sizes[c] for c in class_order(sizes)})
