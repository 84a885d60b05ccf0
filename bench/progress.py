"""What progress reporting costs: Miner.mine against the same call reporting to a no-op and to bars.

    python bench/progress.py [--workloads small typical] [--runs 7] [--no-write]

Per workload the three calls run in turn, `runs` rounds, and the medians are compared; the results
of all three are checked to be the same. The table goes into its own section of BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402  (the workloads loader and the result fields)
import sections  # noqa: E402

import kez  # noqa: E402

WORKLOADS = ["small", "typical", "low-support", "large"]


def noop(stage: str, done: int, total: int) -> None:
    pass


def measure(series, params, runs: int) -> dict[str, float]:
    calls = {
        "plain": lambda: kez.Miner(**params).mine(series),
        "no-op report": lambda: kez.with_progress(kez.Miner(**params), noop).mine(series),
        "bars": lambda: kez.with_progress(kez.Miner(**params)).mine(series),
    }
    times: dict[str, list[float]] = {name: [] for name in calls}
    digests = set()
    for _ in range(runs):
        for name, call in calls.items():
            result = None
            with contextlib.redirect_stderr(io.StringIO()):
                start = time.perf_counter()
                result = call()
                times[name].append(time.perf_counter() - start)
            digests.add(compare.digest([compare.motif_fields(m) for m in result])[0])
    if len(digests) != 1:
        sys.exit("the three calls gave different results")
    return {name: statistics.median(t) for name, t in times.items()}


def main() -> None:
    raw = argparse.RawDescriptionHelpFormatter
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=raw)
    parser.add_argument("--workloads", nargs="+", default=WORKLOADS)
    parser.add_argument("--workloads-file", type=Path, default=compare.DEFAULT_WORKLOADS)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--no-write", action="store_true")
    options = parser.parse_args()
    workloads = compare.load_workloads(options.workloads_file)
    rows = [
        "| Workload | `mine` | with a no-op report | with bars | no-op / plain | bars / plain |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name in options.workloads:
        series, params = workloads.build(name)
        t = measure(series, params, options.runs)
        plain, quiet, bars = t["plain"], t["no-op report"], t["bars"]
        rows.append(
            f"| {name} | {plain * 1e3:.1f} ms | {quiet * 1e3:.1f} ms | {bars * 1e3:.1f} ms"
            f" | {quiet / plain:.3f} | {bars / plain:.3f} |"
        )
        print(rows[-1], flush=True)
    text = "\n".join(
        [
            "## Progress reporting",
            "",
            f"`bench/progress.py`: medians of {options.runs} rounds, the three calls in turn in each round,",
            "with equal results. A `mine` that is not asked for progress makes no report at all; one that is",
            "reports at most every 20 ms, besides each stage's first and last report.",
            "",
            *rows,
        ]
    )
    if not options.no_write:
        sections.write("bench/progress.py", text)


if __name__ == "__main__":
    main()
