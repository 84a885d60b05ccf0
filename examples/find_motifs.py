"""Find the shape that recurs across a collection of noisy series.

By default it builds 40 noisy series and plants one shape (a bump followed by a dip)
in most of them at random places; with --csv it reads one series a row instead.
It sets the flat motifs aside (kez.drop_trivial), prints the others clearest first
and, for generated data, checks that the first one sits on the planted shape; when
nothing is left it says why (kez.diagnose). With matplotlib installed
(pip install 'kez[plot]') it also draws the first motif.

    python examples/find_motifs.py [--csv FILE] [--png FILE]
"""

from __future__ import annotations

import argparse
import math
import random
import sys

import kez
from kez import Motif

WIDTH = 48  # samples of the planted shape


def planted_shape(t: float) -> float:
    return 3.0 * math.sin(2 * math.pi * t) * math.exp(-2.0 * t)


def generate(count: int, samples: int, seed: int) -> tuple[list[list[float]], dict[int, int]]:
    """Noisy AR(1) series; returns them with the start of the planted shape in each series that has it."""
    rng = random.Random(seed)
    series, starts = [], {}
    for s in range(count):
        level, values = 0.0, []
        for _ in range(samples):
            level = 0.8 * level + rng.gauss(0.0, 0.5)
            values.append(level)
        if rng.random() < 0.8:
            start = rng.randrange(0, samples - WIDTH)
            for i in range(WIDTH):
                values[start + i] = 2.0 * planted_shape(i / WIDTH) + rng.gauss(0.0, 0.1)
            starts[s] = start
        series.append(values)
    return series, starts


def print_table(motifs: list[Motif], shown: int = 4) -> None:
    print(
        f"{'rank':>4}  {'pattern':<14} {'series':>6} {'window':>6} {'naed':>9} {'noise':>6}"
        "  best matches (series: offset)"
    )
    for rank, m in enumerate(motifs, 1):
        first = ", ".join(f"{s}: {o}" for s, o in sorted(m.best_matches.items())[:shown])
        noise = kez.shape(m).noise
        numbers = f"{len(m.indexes):>6} {m.length:>6} {m.naed:>9.5f} {noise:>6.3f}"
        print(f"{rank:>4}  {m.pattern:<14} {numbers}  {first} ...")


def share_on_shape(motif: Motif, starts: dict[int, int]) -> float:
    """The share of the motif's series whose best match overlaps the planted shape."""
    hits = [
        s in starts and offset < starts[s] + WIDTH and starts[s] < offset + motif.length
        for s, offset in motif.best_matches.items()
    ]
    return sum(hits) / len(hits)


def draw(motif: Motif, series: list[list[float]], path: str) -> None:
    try:
        figure = kez.plot_overview(motif, series, limit=3)
    except ImportError as missing:
        print(f"no picture drawn: {missing}")
        return
    figure.savefig(path, dpi=80)
    print(f"wrote {path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--csv", help="a CSV file with one series a row, in place of generated data")
    parser.add_argument("--png", default="motifs.png", help="where to draw the top motif (needs matplotlib)")
    parser.add_argument("--series", type=int, default=40, help="how many series to generate")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--top", type=int, default=5, help="how many motifs to show")
    args = parser.parse_args(argv)

    if args.csv:
        series, starts = kez.load_csv(args.csv), None
    else:
        series, starts = generate(args.series, 400, args.seed)
    # Three letters and segments of 4 samples: the 48-sample shape spells about a dozen
    # letters, few enough spellings for it to reach half of the series whole.
    minsup, seglen, alphabet, min_len = 0.5, 4, 3, 4
    miner = kez.Miner(minsup, seglen, alphabet, min_len=min_len, max_overlap=0.8)
    miner.mine(series)
    shaped = kez.drop_trivial(miner.motifs)
    motifs = shaped[: args.top]
    flat = len(miner.motifs) - len(shaped)
    print(f"{len(series)} series, {len(miner.motifs)} motifs found, {flat} of them flat; the clearest:")
    print_table(motifs)
    if not motifs:
        print(kez.diagnose(series, minsup, seglen, alphabet, min_len=min_len, motifs=miner.motifs))
    else:
        draw(motifs[0], series, args.png)
    if starts is None:
        return 0
    share = share_on_shape(motifs[0], starts) if motifs else 0.0
    print(f"the first motif's best matches lie on the planted shape in {share:.0%} of its series")
    return 0 if share >= 0.8 else 1


if __name__ == "__main__":
    sys.exit(main())
