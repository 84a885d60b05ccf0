"""Find the shapes shared by the series of a real UCR data set (GunPoint by default).

The data set is a name, looked up as <name>_TRAIN.ts in ../shared/data/ucr/ next to the
project folder, or a path to any univariate .ts file; series may differ in length
(try PickupGestureWiimoteZ). Prints the ranked motifs, flat ones set aside, with how their
series divide among the classes; then the motifs that one class has and another lacks
(kez.contrast); says why when nothing is found (kez.diagnose); and draws the best ones with
their series coloured by class (needs matplotlib: pip install 'kez[plot]').

    python examples/ucr_motifs.py [NAME | PATH] [--out DIR] [--draw N] [--minsup F] ...
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

import kez
from kez import Motif

UCR = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "ucr"


def locate(dataset: str, split: str) -> Path | None:
    path = Path(dataset)
    if path.is_file():
        return path
    named = UCR / f"{dataset}_{split}.ts"
    return named if named.is_file() else None


def print_table(motifs: list[Motif], labels: list[str]) -> None:
    print(
        f"{'rank':>4}  {'pattern':<16} {'series':>6} {'window':>6} {'naed':>8}  series per class (contrast)"
    )
    rows = kez.class_support(motifs, labels) if labels else []
    for rank, m in enumerate(motifs, 1):
        split = "-"
        if rows:
            split = f"{rows[rank - 1].split()} ({rows[rank - 1].contrast:.2f})"
        print(f"{rank:>4}  {m.pattern:<16} {len(m.indexes):>6} {m.length:>6} {m.naed:>8.5f}  {split}")


def draw(motif: Motif, series: list[list[float]], labels: list[str], path: Path) -> None:
    kez.plot_overview(motif, series, limit=4, labels=labels or None).savefig(path, dpi=80)
    print(f"wrote {path}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("dataset", nargs="?", default="GunPoint", help="a UCR name or a path to a .ts file")
    parser.add_argument(
        "--split", default="TRAIN", choices=["TRAIN", "TEST"], help="which file of a named set"
    )
    parser.add_argument("--limit", type=int, default=0, help="mine only the first N series (0: all)")
    parser.add_argument("--minsup", type=float, default=0.5)
    parser.add_argument("--seglen", type=int, default=5)
    parser.add_argument("--alphabet", type=int, default=3)
    parser.add_argument("--min-len", type=int, default=4)
    parser.add_argument(
        "--letters",
        type=int,
        default=2,
        help="set aside patterns with fewer distinct letters (kez.is_trivial)",
    )
    parser.add_argument("--top", type=int, default=8, help="how many motifs to list")
    parser.add_argument("--draw", type=int, default=3, help="how many of them to draw")
    parser.add_argument("--out", default=".", help="folder for the pictures")
    args = parser.parse_args(argv)

    path = locate(args.dataset, args.split)
    if path is None:
        print(
            f"no data set {args.dataset!r}: not a file, and not in {UCR}; give the path of a .ts file",
            file=sys.stderr,
        )
        return 2
    series, labels = kez.load_ts(path)
    if args.limit:
        series, labels = series[: args.limit], labels[: args.limit]
    shortest, longest = min(len(s) for s in series), max(len(s) for s in series)
    span = f"{shortest}" if shortest == longest else f"{shortest} to {longest}"
    print(f"{path.name}: {len(series)} series of {span} samples, {len(set(labels))} classes")

    miner = kez.Miner(args.minsup, args.seglen, args.alphabet, min_len=args.min_len)
    found = miner.mine(series)
    motifs = kez.drop_trivial(found, order="naed", min_letters=args.letters)
    print(f"{len(found)} motifs, {len(found) - len(motifs)} of them flat; the best:")
    motifs = motifs[: args.top]
    print_table(motifs, labels)
    if not motifs:
        print(
            kez.diagnose(series, args.minsup, args.seglen, args.alphabet, min_len=args.min_len, motifs=found)
        )
    if len(set(labels)) > 1:
        split = kez.contrast(series, labels, args.seglen, args.alphabet, min_len=args.min_len)
        print(f"class contrast: {split.report(args.top)}")
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        print("matplotlib is not installed: no pictures drawn (pip install 'kez[plot]')")
        return 0
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    for rank, motif in enumerate(motifs[: args.draw], 1):
        draw(motif, series, labels, out / f"{path.stem}_motif{rank}.png")
    return 0


if __name__ == "__main__":
    sys.exit(main())
