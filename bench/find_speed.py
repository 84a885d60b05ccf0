"""Times kez.find_motifs beside Miner.mine on the benchmark workloads, and checks what it returns.

    python bench/find_speed.py [--workloads typical large] [--runs 3] [--output BENCHMARKS.md]

For each workload (its series and its Miner parameters, from the shared workloads file), in one
run: `Miner(**params).mine(series)` and `kez.find_motifs(series, width, k=5)` at the width the
shapes were planted at (a twentieth of the samples), each on one thread and on all of them; each
time is the median of --runs (one run on `large`, whose find_motifs takes tens of seconds). The
targets: find_motifs within 5 times mine on `typical` and within 10 times on `large`, with all
threads.

Checks (the script exits with status 1 if one fails): find_motifs returns the same results on one
thread and on all; each result's offsets and distances are those `kez.nearest` gives for its shape,
in every series; its members are exactly the series within its radius; its quorum is the q-th
smallest distance. The section goes into BENCHMARKS.md (bench/sections.py).
"""

from __future__ import annotations

import argparse
import math
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402  (the workloads loader)
import sections  # noqa: E402
from run import machine, stamp  # noqa: E402

import kez  # noqa: E402

SECTION = "bench/find_speed.py"
TARGETS = {"typical": 5.0, "large": 10.0}
K = 5
ALL = None  # kez.set_threads: one thread per core


def timed(call, runs: int) -> tuple[float, object]:
    times, result = [], None
    for _ in range(runs):
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def problems(found: list[kez.Found], data: np.ndarray) -> list[str]:
    """What is wrong with the results, measured against kez.nearest: nothing, as a rule."""
    wrong = []
    searched = kez.nearest([list(f.shape) for f in found], data)
    quorum = max(2, math.ceil(0.2 * len(data) - 1e-9))
    for i, (f, exact) in enumerate(zip(found, searched, strict=True)):
        if f.offsets != exact.offsets:
            moved = sum(a != b for a, b in zip(f.offsets, exact.offsets, strict=True))
            wrong.append(f"result {i}: offsets differ from kez.nearest's in {moved} series")
        if not np.allclose(f.distances, exact.distances, rtol=1e-9, atol=1e-9):
            wrong.append(f"result {i}: distances differ from kez.nearest's")
        if f.members != tuple(s for s, d in enumerate(f.distances) if d <= f.radius):
            wrong.append(f"result {i}: members are not the series within the radius")
        if f.quorum != sorted(f.distances)[quorum - 1]:
            wrong.append(f"result {i}: the quorum radius is not the {quorum}-th smallest distance")
    return wrong


def measure(name: str, workloads, runs: int) -> dict:
    runs = 1 if name == "large" else runs
    series, params = workloads.build(name)
    data = np.array(series)
    width = max(16, data.shape[1] // 20)
    row: dict = {"name": name, "shape": data.shape, "width": width}
    results = {}
    for threads in (1, ALL):
        kez.set_threads(threads)
        row[f"mine {threads}"], _ = timed(lambda: kez.Miner(**params).mine(data), runs)
        row[f"find {threads}"], results[threads] = timed(lambda: kez.find_motifs(data, width, k=K), runs)
        print(
            f"{name}, {kez.threads()} threads: mine {row[f'mine {threads}']:.3f} s, find_motifs "
            f"{row[f'find {threads}']:.3f} s",
            file=sys.stderr,
            flush=True,
        )
    kez.set_threads(ALL)
    row["threads"] = kez.threads()
    found = results[ALL]
    row["problems"] = problems(found, data)
    if results[1] != found:
        row["problems"].append("one thread and all give different results")
    row["found"] = found
    return row


def render(rows: list[dict], runs: int) -> str:
    lines = [
        "## find_motifs beside Miner.mine",
        "",
        stamp(f"{'one run' if runs == 1 else f'medians of {runs} runs (large: one)'}, {machine()}"),
        "",
        "`kez.find_motifs(series, width, k=5)` at the planted width (a twentieth of the samples), no share",
        "given, beside `Miner(**params).mine(series)` with the workload's own parameters, in the same run.",
        "Targets, with all threads: within 5 times mine on `typical`, within 10 times on `large`.",
        "",
        "| workload | series x samples | width | threads | Miner.mine s | find_motifs s | find / mine"
        " | target |",
        "|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        for threads in (1, ALL):
            label = "1" if threads == 1 else f"all ({row['threads']})"
            mine, find = row[f"mine {threads}"], row[f"find {threads}"]
            ratio = find / mine
            target = TARGETS.get(row["name"]) if threads == ALL else None
            verdict = "-" if target is None else f"{target:g}x: {'met' if ratio <= target else '**not met**'}"
            n, m = row["shape"]
            lines.append(
                f"| {row['name']} | {n:,} x {m:,} | {row['width']} | {label} | {mine:.3f} | {find:.3f} | "
                f"{ratio:.1f}x | {verdict} |"
            )
    lines += ["", "What it found (all threads):", ""]
    for row in rows:
        shapes = ", ".join(f"{len(f.members)} members at quorum {f.quorum:.2f}" for f in row["found"])
        lines.append(f"- {row['name']}: {shapes}.")
    checked = all(not row["problems"] for row in rows)
    failed = "; ".join(p for r in rows for p in r["problems"])
    lines += [
        "",
        "Checked: each result's offsets and distances are kez.nearest's for its shape in every series, its",
        "members the series within its radius, its quorum the q-th smallest distance, and one thread gives",
        f"what all give: {'all hold' if checked else 'FAILED: ' + failed}.",
    ]
    return "\n".join(lines) + "\n"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workloads", nargs="+", default=["typical", "large"])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--workloads-file", default=str(compare.DEFAULT_WORKLOADS))
    parser.add_argument(
        "--output", default=None, help="the file to write the section into (default BENCHMARKS.md)"
    )
    options = parser.parse_args()
    workloads = compare.load_workloads(Path(options.workloads_file))
    rows = [measure(name, workloads, options.runs) for name in options.workloads]
    body = render(rows, options.runs)
    sections.write(SECTION, body, Path(options.output) if options.output else sections.PATH)
    print(body)
    return 0 if all(not row["problems"] for row in rows) else 1


if __name__ == "__main__":
    sys.exit(main())
