"""Find the shapes shared by the series of a real UCR data set (GunPoint by default).

A data set is a name, looked up as <name>_TRAIN.ts in the UCR folder (../shared/data/ucr/ next to
the project folder, or --data DIR), or a path to any univariate .ts file; series may differ in
length (try PickupGestureWiimoteZ), and --all takes every set of the folder. For each set it
prints the first three shapes of kez.find_motifs, with how their members divide among the
classes, beside the first motif of the letter miner; then the letter miner's ranked motifs, flat
ones set aside, the motifs that one class has and another lacks (kez.contrast), why nothing was
found when nothing was (kez.diagnose), and it draws the found shapes with their members coloured
by class (needs matplotlib: pip install 'kez[plot]').

The width, unless --width gives it, is a fifth of the median series length, at least 8 samples;
the share is --share (0.5, as the letter miner's minsup).

    python examples/ucr_motifs.py [NAME | PATH ...] [--all] [--data DIR] [--width N] [--share F] ...
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
from collections import Counter
from collections.abc import Sequence
from dataclasses import dataclass
from pathlib import Path

import kez
from kez import Found, Motif

UCR = Path(__file__).resolve().parent.parent.parent / "shared" / "data" / "ucr"

# The default width: a fifth of the median series length, so that a shape is a gesture's stroke or
# a beat's wave rather than the whole series; never below 8 samples, where a z-normalised window
# is a few points that match almost anything (ItalyPowerDemand's days have 24).
WIDTH_SHARE = 0.2
MIN_WIDTH = 8
SHARE = 0.5  # shapes held by at least half of the series, as the letter miner's minsup below
SHAPES = 3  # the found shapes listed
# The letter miner whose first motif the found shapes are set beside.
MINSUP, SEGLEN, ALPHABET, MIN_LEN, LETTERS = 0.5, 5, 3, 4, 2


def locate(dataset: str, split: str, folder: Path) -> Path | None:
    path = Path(dataset)
    if path.is_file():
        return path
    named = folder / f"{dataset}_{split}.ts"
    return named if named.is_file() else None


def default_width(series: Sequence[Sequence[float]]) -> int:
    """A fifth of the median series length, at least MIN_WIDTH, at most the longest series."""
    lengths = [len(s) for s in series]
    return min(max(MIN_WIDTH, round(WIDTH_SHARE * statistics.median(lengths))), max(lengths))


@dataclass(frozen=True)
class Row:
    """One shape of the comparison table: how many series hold it and how they divide among the classes."""

    name: str  # "found 1", ... or "letters" for the letter miner's first motif
    pattern: str
    window: int
    series: int
    split: str  # empty without labels
    contrast: float


@dataclass(frozen=True)
class Comparison:
    """The found shapes of one data set beside the letter miner's first motif, with what both took."""

    width: int
    share: float
    found: list[Found]
    motifs: list[Motif]  # everything the letter miner found, ranked
    kept: list[Motif]  # those that are not flat, by naed; the first is the one compared
    rows: list[Row]
    found_seconds: float
    letters_seconds: float


def row(name: str, shape: Motif | Found, labels: Sequence[str]) -> Row:
    held = len(shape.members) if isinstance(shape, Found) else len(shape.indexes)
    if labels:
        [support] = kez.class_support([shape], labels)
        split, contrast = support.split(), support.contrast
    else:
        split, contrast = "", float("nan")
    return Row(name, shape.pattern, shape.length, held, split, contrast)


def compare(
    series: list[list[float]],
    labels: Sequence[str],
    width: int,
    share: float = SHARE,
    miner: kez.Miner | None = None,
    letters: int = LETTERS,
) -> Comparison:
    """The first SHAPES shapes of kez.find_motifs and the first non-flat motif of `miner`, with their
    class splits."""
    start = time.perf_counter()
    found = kez.find_motifs(series, width=width, share=share, k=SHAPES)
    found_seconds = time.perf_counter() - start
    miner = miner if miner is not None else kez.Miner(MINSUP, SEGLEN, ALPHABET, min_len=MIN_LEN)
    start = time.perf_counter()
    motifs = miner.mine(series)
    letters_seconds = time.perf_counter() - start
    kept = kez.drop_trivial(motifs, order="naed", min_letters=letters)
    rows = [row(f"found {rank}", f, labels) for rank, f in enumerate(found, 1)]
    rows += [row("letters", kept[0], labels)] if kept else []
    return Comparison(width, share, found, motifs, kept, rows, found_seconds, letters_seconds)


def classes(labels: Sequence[str]) -> str:
    """Series per class, classes in kez's order: ``1: 24, 2: 26``."""
    counted = Counter(labels)
    return ", ".join(f"{c}: {counted[c]}" for c in kez.class_order(labels))


def short(pattern: str, most: int = 14) -> str:
    return pattern if len(pattern) <= most else pattern[: most - 3] + "..."


def print_comparison(comparison: Comparison, count: int) -> None:
    print(f"  {'shape':<8} {'pattern':<14} {'window':>6} {'series':>7}  series per class (contrast)")
    for r in comparison.rows:
        held = f"{r.series}/{count}"
        split = f"{r.split} ({r.contrast:.2f})" if r.split else "-"
        print(f"  {r.name:<8} {short(r.pattern):<14} {r.window:>6} {held:>7}  {split}")
    if not comparison.found:
        print(f"  no shape of width {comparison.width} is shared by {comparison.share:.0%} of the series")


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


def draw(found: Found, series: list[list[float]], labels: list[str], path: Path) -> None:
    kez.plot_overview(found, series, limit=4, labels=labels or None).savefig(path, dpi=80)
    print(f"wrote {path}")


def report(path: Path, args: argparse.Namespace, plotting: bool) -> None:
    series, labels = kez.load_ts(path)
    if args.limit:
        series, labels = series[: args.limit], labels[: args.limit]
    shortest, longest = min(len(s) for s in series), max(len(s) for s in series)
    span = f"{shortest}" if shortest == longest else f"{shortest} to {longest}"
    kinds = f"{len(set(labels))} classes ({classes(labels)})" if labels else "no class labels"
    print(f"{path.name}: {len(series)} series of {span} samples, {kinds}")

    width = args.width or default_width(series)
    why = "given" if args.width else f"a fifth of the median length, at least {MIN_WIDTH}"
    miner = kez.Miner(args.minsup, args.seglen, args.alphabet, min_len=args.min_len)
    comparison = compare(series, labels, width, args.share, miner, args.letters)
    print(
        f"kez.find_motifs(series, width={width}, share={args.share}) in {comparison.found_seconds:.1f} s "
        f"(width: {why}); its first shapes beside the letter miner's first motif:"
    )
    print_comparison(comparison, len(series))

    found, motifs = comparison.motifs, comparison.kept[: args.top]
    print(
        f"the letter miner underneath, Miner({args.minsup}, {args.seglen}, {args.alphabet}, "
        f"min_len={args.min_len}): {len(found)} motifs, {len(found) - len(comparison.kept)} of them flat; "
        "the best:"
    )
    print_table(motifs, labels)
    if not motifs:
        print(
            kez.diagnose(series, args.minsup, args.seglen, args.alphabet, min_len=args.min_len, motifs=found)
        )
    if len(set(labels)) > 1:
        split = kez.contrast(series, labels, args.seglen, args.alphabet, min_len=args.min_len)
        print(f"class contrast: {split.report(args.top)}")
    if plotting:
        out = Path(args.out)
        out.mkdir(parents=True, exist_ok=True)
        for rank, shape in enumerate(comparison.found[: args.draw], 1):
            draw(shape, series, labels, out / f"{path.stem}_motif{rank}.png")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("datasets", nargs="*", help="UCR names or paths to .ts files (GunPoint if none)")
    parser.add_argument("--all", action="store_true", help="every data set of the UCR folder")
    parser.add_argument("--data", default=str(UCR), help="the UCR folder")
    parser.add_argument(
        "--split", default="TRAIN", choices=["TRAIN", "TEST"], help="which file of a named set"
    )
    parser.add_argument("--limit", type=int, default=0, help="use only the first N series (0: all)")
    parser.add_argument("--width", type=int, default=0, help="the shapes' width (0: a fifth of the length)")
    parser.add_argument("--share", type=float, default=SHARE, help="the share of series holding a shape")
    parser.add_argument("--minsup", type=float, default=MINSUP)
    parser.add_argument("--seglen", type=int, default=SEGLEN)
    parser.add_argument("--alphabet", type=int, default=ALPHABET)
    parser.add_argument("--min-len", type=int, default=MIN_LEN)
    parser.add_argument(
        "--letters",
        type=int,
        default=LETTERS,
        help="set aside patterns with fewer distinct letters (kez.is_trivial)",
    )
    parser.add_argument("--top", type=int, default=8, help="how many letter motifs to list")
    parser.add_argument("--draw", type=int, default=3, help="how many found shapes to draw")
    parser.add_argument("--out", default=".", help="folder for the pictures")
    args = parser.parse_args(argv)

    folder = Path(args.data)
    names = list(args.datasets) or ([] if args.all else ["GunPoint"])
    if args.all:
        names += sorted(p.name.removesuffix(f"_{args.split}.ts") for p in folder.glob(f"*_{args.split}.ts"))
    located = [locate(name, args.split, folder) for name in names]
    paths = [path for path in located if path is not None]
    missing = [name for name, path in zip(names, located, strict=True) if path is None]
    if missing or not paths:
        what = f"no data set {missing[0]!r}: not a file, and not" if missing else "no data set"
        print(f"{what} in {folder}; give the path of a .ts file", file=sys.stderr)
        return 2
    try:
        import matplotlib  # noqa: F401

        plotting = args.draw > 0
    except ImportError:
        print("matplotlib is not installed: no pictures drawn (pip install 'kez[plot]')")
        plotting = False
    for number, path in enumerate(paths):
        if number:
            print()
        report(path, args, plotting)
    return 0


if __name__ == "__main__":
    sys.exit(main())
