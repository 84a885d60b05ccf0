"""Find the shape that recurs across a collection of noisy series.

By default it builds 40 noisy series and plants one shape (a bump followed by a dip)
in most of them at random places; with --csv it reads one series a row instead.
kez.find_motifs, told the width of the shape and that at least half of the series hold it,
gives the shapes found with every series' nearest window; with matplotlib installed
(pip install 'kez[plot]') the first is drawn over its members' windows. Then the letter miner
underneath: its motifs, flat ones set aside (kez.drop_trivial), clearest first, or why nothing
was found (kez.diagnose). For generated data it checks that both land on the planted shape.

    python examples/find_motifs.py [--csv FILE] [--png FILE] [--width N] [--share F]
"""

from __future__ import annotations

import argparse
import math
import random
import sys

import kez
from kez import Found, Motif

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


def print_found(found: list[Found], count: int, shown: int = 4) -> None:
    print(
        f"{'rank':>4}  {'pattern':<10} {'members':>7} {'radius':>6} {'quorum':>6}"
        "  members' windows (series: offset)"
    )
    for rank, f in enumerate(found, 1):
        first = ", ".join(f"{s}: {o}" for s, o in sorted(f.best_matches.items())[:shown])
        members = f"{len(f.members)}/{count}"
        print(f"{rank:>4}  {f.pattern:<10} {members:>7} {f.radius:>6.2f} {f.quorum:>6.2f}  {first} ...")


def on_shape(offsets: dict[int, int], length: int, starts: dict[int, int]) -> list[bool]:
    """Per series with a window, whether that window overlaps the planted shape."""
    return [s in starts and o < starts[s] + WIDTH and starts[s] < o + length for s, o in offsets.items()]


def share_on_shape(motif: Motif | Found, starts: dict[int, int]) -> float:
    """The share of the motif's series whose best match overlaps the planted shape."""
    hits = on_shape(motif.best_matches, motif.length, starts)
    return sum(hits) / len(hits)


def draw(found: Found, series: list[list[float]], path: str) -> None:
    try:
        figure = kez.plot_overview(found, series, limit=3)
    except ImportError as missing:
        print(f"no picture drawn: {missing}")
        return
    figure.savefig(path, dpi=80)
    print(f"wrote {path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--csv", help="a CSV file with one series a row, in place of generated data")
    parser.add_argument(
        "--png", default="motifs.png", help="where to draw the first shape (needs matplotlib)"
    )
    parser.add_argument("--series", type=int, default=40, help="how many series to generate")
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--width", type=int, default=WIDTH, help="the width of the shapes, in samples")
    parser.add_argument("--share", type=float, default=0.5, help="the share of series that hold a shape")
    parser.add_argument("--top", type=int, default=5, help="how many letter motifs to show")
    args = parser.parse_args(argv)

    if args.csv:
        series, starts = kez.load_csv(args.csv), None
    else:
        series, starts = generate(args.series, 400, args.seed)
    found = kez.find_motifs(series, width=args.width, share=args.share, k=3)
    print(f"{len(series)} series, kez.find_motifs(series, width={args.width}, share={args.share}):")
    print_found(found, len(series))
    if found:
        draw(found[0], series, args.png)
    else:
        print(f"no shape of {args.width} samples is shared by {args.share:.0%} of the series")

    # The letter miner underneath. Three letters and segments of 4 samples: the 48-sample shape
    # spells about a dozen letters, few enough spellings for it to reach half of the series whole.
    minsup, seglen, alphabet, min_len = 0.5, 4, 3, 4
    miner = kez.Miner(minsup, seglen, alphabet, min_len=min_len, max_overlap=0.8)
    miner.mine(series)
    shaped = kez.drop_trivial(miner.motifs)
    motifs = shaped[: args.top]
    flat = len(miner.motifs) - len(shaped)
    print(f"the letter miner underneath: {len(miner.motifs)} motifs, {flat} of them flat; the clearest:")
    print_table(motifs)
    if not motifs:
        print(kez.diagnose(series, minsup, seglen, alphabet, min_len=min_len, motifs=miner.motifs))
    if starts is None:
        return 0
    held = sum(on_shape(found[0].best_matches, found[0].length, starts)) if found else 0
    precision = share_on_shape(found[0], starts) if found else 0.0
    print(f"the first shape's windows lie on the planted shape in {precision:.0%} of its members;")
    print(f"it holds {held} of the {len(starts)} series the shape was planted in")
    share = share_on_shape(motifs[0], starts) if motifs else 0.0
    print(f"the first letter motif's best matches lie on the planted shape in {share:.0%} of its series")
    return 0 if min(precision, held / max(1, len(starts)), share) >= 0.8 else 1


if __name__ == "__main__":
    sys.exit(main())
