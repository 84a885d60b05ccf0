"""Plain-Python references that the tests and the benchmarks check the module against.

Only the standard library is used, so that any interpreter with any build of _kez_cpp can import this.
"""

import functools
import itertools
import math
import re
import struct

LENGTH_ERROR = "cannot create std::vector larger than max_size()"
LENGTH_ERROR_MATCH = f"^{re.escape(LENGTH_ERROR)}$"


def bits(x: float) -> int:
    """The bit pattern of a float, so that NaN compares equal to itself."""
    return struct.unpack("<q", struct.pack("<d", x))[0]


def same_floats(a, b) -> bool:
    """Equal lengths and equal floats bit for bit."""
    return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b, strict=True))


# Every field of a motif, floats by bit pattern and dicts in key order.
FIELDS = {
    "pattern": lambda m: m.pattern,
    "indexes": lambda m: list(m.indexes.items()),
    "average_occurrences": lambda m: [(s, [bits(v) for v in a]) for s, a in m.average_occurrences.items()],
    "representative": lambda m: [bits(v) for v in m.representative],
    "best_matches": lambda m: list(m.best_matches.items()),
    "length": lambda m: m.length,
    "naed": lambda m: bits(m.naed),
}


def snapshot(motif) -> tuple:
    """Every field of a motif, floats by bit pattern and dicts in key order."""
    return tuple(get(motif) for get in FIELDS.values())


def symbols(*words: str) -> list[list[str]]:
    """Symbol sequences written as words."""
    return [list(w) for w in words]


class FakeMotif:
    """Stands in for a mined Motif where a test needs chosen statistics (motifs cannot be built)."""

    def __init__(self, pattern="abc", representative=(), naed=0.0, indexes=None, seglen=1):
        self.pattern = pattern
        self.representative = list(representative)
        self.naed = naed
        self.length = len(pattern) * seglen
        self.indexes = indexes if indexes is not None else {}
        self.best_matches = {s: p[0] * seglen for s, p in self.indexes.items()}

    def __repr__(self) -> str:
        return f"FakeMotif({self.pattern!r})"


def divide(x: float, d: float) -> float:
    """IEEE division, which Python refuses for a zero divisor."""
    if d != 0.0:
        return x / d
    return math.nan if x == 0 or math.isnan(x) else math.copysign(math.inf, x)


def znormed(ts):
    """Each series less its mean over its population deviation, sums taken first to last."""
    out = []
    for values in ts:
        if not values:
            out.append([])
            continue
        n = float(len(values))
        total = 0.0
        for x in values:
            total += x
        centred = [x - total / n for x in values]
        squares = 0.0
        for x in centred:
            squares += x * x
        deviation = math.sqrt(squares / n)
        out.append([divide(x, deviation) for x in centred])
    return out


def nanmean(values) -> float:
    """The mean of the values that are not NaN, summed first to last; NaN when there are none."""
    total, count = 0.0, 0
    for v in values:
        if not math.isnan(v):
            total += v
            count += 1
    return total / count if count else math.nan


def expected_statistics(motif, ts, seglen):
    """What mapping the motif's occurrences onto the normalised series must give, in its own dict orders."""
    length = len(motif.pattern) * seglen

    def window(s, p):
        start = p * seglen
        return [ts[s][i] if i < len(ts[s]) else math.nan for i in range(start, start + length)]

    averages = {
        s: [nanmean(w) for w in zip(*(window(s, p) for p in ps), strict=True)]
        for s, ps in motif.indexes.items()
    }
    order = list(motif.average_occurrences)
    representative = [nanmean([averages[s][i] for s in order]) for i in range(length)]
    total, best = 0.0, {}
    for s, ps in motif.indexes.items():
        best_d, best_p = 1000000.0, 0
        for p in ps:
            acc = 0.0
            for w, r in zip(window(s, p), representative, strict=True):
                if not math.isnan(w):
                    acc += (w - r) * (w - r)
            if math.sqrt(acc) < best_d:
                best_d, best_p = math.sqrt(acc), p
        best[s] = best_p * seglen
        total += best_d
    naed = total / (float(len(motif.indexes)) * float(length)) if motif.indexes else math.nan
    return averages, representative, best, naed


@functools.cache
def lcs(a: tuple, b: tuple) -> int:
    """The length of the longest common subsequence of two patterns."""
    row = [0] * (len(b) + 1)
    for x in a:
        diagonal, row[0] = 0, 0
        for j, y in enumerate(b, 1):
            diagonal, row[j] = row[j], diagonal + 1 if x == y else max(row[j], row[j - 1])
    return row[-1]


def redundant(r: tuple, p: tuple, max_overlap: float) -> bool:
    """Whether pattern p makes pattern r redundant: no longer than p and sharing too much of itself."""
    return p != r and len(r) <= len(p) and lcs(p, r) / len(r) > max_overlap


def occurrences(ds, pattern: tuple) -> dict:
    """Every start of the pattern in each sequence, for the sequences that hold it."""
    n = len(pattern)
    found = {
        s: [i for i in range(len(seq) - n + 1) if tuple(seq[i : i + n]) == pattern]
        for s, seq in enumerate(ds)
    }
    return {s: ps for s, ps in found.items() if ps}


def grown(ds, minsup: float, min_len: int, max_len: int) -> dict:
    """Every pattern of an allowed length that level-wise growth keeps, with all its occurrences."""
    threshold = len(ds) * minsup
    limit = 1 if max_len < 0 else max_len
    if threshold > 0:
        words = {tuple(seq[i:j]) for seq in ds for i in range(len(seq)) for j in range(i + 1, len(seq) + 1)}
        words = {w for w in words if not limit or len(w) <= limit}
    else:
        # No positive threshold: every extension of a present letter passes, whether it occurs or not.
        letters = sorted({c for seq in ds for c in seq})
        words = {w for n in range(1, limit + 1) for w in itertools.product(letters, repeat=n)}
    found = {w: occurrences(ds, w) for w in words if len(w) >= min_len}
    return {w: index for w, index in found.items() if not threshold > len(index)}


def signed_order(key: tuple) -> list:
    """A pattern's sort key with its letters as signed bytes, the order the miner keeps its patterns in."""
    return [ord(c) - 256 if ord(c) > 127 else ord(c) for c in key]
