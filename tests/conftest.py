import math
import struct

import pytest

import _kez_cpp


def bits(x: float) -> int:
    """The bit pattern of a float, so that NaN compares equal to itself."""
    return struct.unpack("<q", struct.pack("<d", x))[0]


def same_floats(a, b) -> bool:
    return len(a) == len(b) and all(bits(x) == bits(y) for x, y in zip(a, b, strict=True))


def snapshot(motif: _kez_cpp.Motif) -> tuple:
    """Every field of a motif, floats by bit pattern and dicts in key order."""
    return (
        motif.pattern,
        list(motif.indexes.items()),
        [(s, [bits(v) for v in avg]) for s, avg in motif.average_occurrences.items()],
        [bits(v) for v in motif.representative],
        list(motif.best_matches.items()),
        motif.length,
        bits(motif.naed),
    )


def symbols(*words: str) -> list[list[str]]:
    return [list(w) for w in words]


@pytest.fixture
def planted() -> list[list[float]]:
    """Ten series of a slow wave, each with a sharp bump at its own place."""
    series = []
    for s in range(10):
        values = [math.sin(0.3 * i + s) for i in range(80)]
        start = 5 + 6 * s
        for i in range(12):
            values[start + i] += 4.0 * math.sin(math.pi * i / 11)
        series.append(values)
    return series


@pytest.fixture
def pyplot():
    """matplotlib's pyplot on the Agg backend, which needs no display; closes its figures afterwards."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    yield plt
    plt.close("all")


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


@pytest.fixture
def labelled(planted) -> tuple[list[list[float]], list[str]]:
    """The planted series (class "bump") beside ten series of the slow wave alone (class "wave")."""
    waves = [
        [math.sin(0.3 * i + s) + 0.2 * math.sin(1.7 * i * (s + 1)) for i in range(80)] for s in range(10)
    ]
    return planted + waves, ["bump"] * len(planted) + ["wave"] * len(waves)


@pytest.fixture
def pandas():
    """pandas, which the tables need; the package itself never imports it unless asked for one."""
    return pytest.importorskip("pandas")
