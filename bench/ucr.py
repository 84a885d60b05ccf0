"""Runs kez.find_motifs on every UCR set of the data folder beside the letter miner's first motif,
checks what it found, and writes its section of BENCHMARKS.md.

    python bench/ucr.py [--data DIR] [--split TRAIN] [--no-write]

For each <name>_<split>.ts of the folder (../shared/data/ucr/ next to the project by default):
the first three shapes of kez.find_motifs(series, width, share=0.5), the width a fifth of the
median series length (at least 8 samples), each with how its members divide among the classes,
beside the first motif of Miner(0.5, 5, 3, min_len=4) after kez.drop_trivial (naed order) and its
series per class. The table is examples/ucr_motifs.py's, which computes it: `python
examples/ucr_motifs.py NAME` prints the same rows for one set.

Checks, per set: at least one shape is found; each shape's members are exactly the series within
its radius, at least the quorum of ceil(0.5 x series), each with a window inside its series; and
the class split counts every member once. Exits with status 1 when a check fails.
"""

from __future__ import annotations

import argparse
import datetime
import math
import subprocess
import sys
import time
from collections import Counter
from pathlib import Path

import kez

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "examples"))
import sections  # noqa: E402
import ucr_motifs  # noqa: E402

NAME = "bench/ucr.py"


def git(*args: str) -> str:
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True).stdout.strip()


def problems(found: kez.Found, series: list[list[float]], share: float) -> list[str]:
    """What is wrong with one found shape, as sentences (none when it holds together)."""
    wrong = []
    within = tuple(s for s, d in enumerate(found.distances) if d <= found.radius)
    if found.members != within:
        wrong.append(f"members {found.members} are not the series within the radius {within}")
    if len(found.members) < math.ceil(share * len(series) - 1e-9):
        wrong.append(f"{len(found.members)} members, fewer than {share:.0%} of {len(series)} series")
    outside = [s for s in found.members if not 0 <= found.offsets[s] <= len(series[s]) - found.width]
    if outside:
        wrong.append(f"series {outside[0]}'s window lies outside it")
    return wrong


def measure(path: Path) -> tuple[dict, list[str]]:
    series, labels = kez.load_ts(path)
    width = ucr_motifs.default_width(series)
    comparison = ucr_motifs.compare(series, labels, width)
    wrong = [] if comparison.found else ["no shape found"]
    for f in comparison.found:
        wrong += problems(f, series, comparison.share)
    for rank, f in enumerate(comparison.found, 1):
        [support] = kez.class_support([f], labels)
        counted = Counter(labels[s] for s in f.members)
        if {c: n for c, n in support.support.items() if n} != dict(counted):
            wrong.append(f"found {rank}: the class split is not its members' classes")
    lengths = sorted(len(s) for s in series)
    span = f"{lengths[0]}" if lengths[0] == lengths[-1] else f"{lengths[0]} to {lengths[-1]}"
    name = path.name.removesuffix(".ts").rsplit("_", 1)[0]
    summary = {
        "name": name,
        "series": len(series),
        "span": span,
        "classes": ucr_motifs.classes(labels),
        "comparison": comparison,
    }
    return summary, [f"{name}: {w}" for w in wrong]


def sharpest(comparison: ucr_motifs.Comparison) -> bool:
    """Whether a found shape divides the classes more sharply than the letter miner's first motif, or
    the miner has none."""
    found = [r.contrast for r in comparison.rows if r.name != "letters"]
    letters = [r.contrast for r in comparison.rows if r.name == "letters"]
    return bool(found) and (not letters or max(found) > letters[0])


def section(results: list[dict], split: str, seconds: float) -> str:
    commit = git("rev-parse", "--short", "HEAD")
    lines = [
        "## Real data: find_motifs beside the letter miner",
        "",
        f"Written by `bench/ucr.py` ({seconds:.0f} s); *measured on {datetime.date.today().isoformat()} "
        f"at commit {commit}*. Every UCR set of the data folder ({split} files). *Found 1* to *3*: the "
        f"first shapes of `kez.find_motifs(series, width, share={ucr_motifs.SHARE})`, the width a fifth "
        f"of the median series length (at least {ucr_motifs.MIN_WIDTH} samples); *letters*: the first "
        f"motif of `Miner({ucr_motifs.MINSUP}, {ucr_motifs.SEGLEN}, {ucr_motifs.ALPHABET}, "
        f'min_len={ucr_motifs.MIN_LEN})` after `kez.drop_trivial(order="naed")`, the first row of '
        "the letter miner's table in `examples/ucr_motifs.py`. *Series*: a found shape's members, the "
        "series a letter motif occurs in; per class, their number and share of the class (beyond four "
        "classes only those present are named); *contrast*: the highest class share less the lowest. "
        "`python examples/ucr_motifs.py NAME` prints the same rows for one set.",
        "",
        "| Data set | Shape | Pattern | Window | Series | Series per class | Contrast |",
        "|---|---|---|---|---|---|---|",
    ]
    for result in results:
        comparison = result["comparison"]
        title = f"{result['name']}: {result['series']} x {result['span']}, width {comparison.width}"
        for number, r in enumerate(comparison.rows):
            first = title if number == 0 else ""
            held = f"{r.series}/{result['series']}"
            pattern = ucr_motifs.short(r.pattern, 20)
            lines.append(
                f"| {first} | {r.name} | `{pattern}` | {r.window} | {held} | {r.split} | {r.contrast:.2f} |"
            )
        if not comparison.rows:
            lines.append(f"| {title} | - | - | - | - | nothing found | - |")
    sharper = [r["name"] for r in results if sharpest(r["comparison"])]
    lines += [
        "",
        f"In {len(sharper)} of the {len(results)} sets one of the first three found shapes divides the "
        "classes more sharply (a higher contrast) than the letter miner's first motif"
        + (f": {', '.join(sharper)}." if sharper else "."),
        "",
        "Series per class, and the time of each call (one run, all threads):",
        "",
    ]
    for result in results:
        comparison = result["comparison"]
        lines.append(
            f"- {result['name']}: {result['classes']}; find_motifs {comparison.found_seconds * 1000:.0f} ms, "
            f"the letter miner {comparison.letters_seconds * 1000:.0f} ms."
        )
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", default=str(ucr_motifs.UCR), help="the UCR folder")
    parser.add_argument("--split", default="TRAIN", choices=["TRAIN", "TEST"])
    parser.add_argument("--no-write", action="store_true", help="print the section, leave BENCHMARKS.md")
    parser.add_argument("--output", default=str(sections.PATH))
    args = parser.parse_args()

    paths = sorted(Path(args.data).glob(f"*_{args.split}.ts"))
    if not paths:
        print(f"no *_{args.split}.ts files in {args.data}", file=sys.stderr)
        return 2
    start = time.perf_counter()
    results, failures = [], []
    for path in paths:
        summary, wrong = measure(path)
        results.append(summary)
        failures += wrong
    text = section(results, args.split, time.perf_counter() - start)
    print(text)
    if not args.no_write:
        sections.write(NAME, text, Path(args.output))
        print(f"wrote its section of {args.output}")
    for failure in failures:
        print(f"check failed: {failure}", file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
