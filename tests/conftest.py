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


@pytest.fixture
def pandas():
    """pandas, which the tables need; the package itself never imports it unless asked for one."""
    return pytest.importorskip("pandas")
