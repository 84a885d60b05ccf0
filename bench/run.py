"""Benchmarks motif discovery on the named workloads and writes BENCHMARKS.md.

    python bench/run.py [--workloads small typical] [--runs 5] [--no-peers] [--no-baseline]

Per workload, each in a subprocess of its own:
  * end to end: the median of several runs of Miner(**params).mine(series) on lists;
  * where the time goes, by timing the public calls apart: conversion of the lists
    (`sax` with a segment length that yields no symbols), SAX (`sax` on the
    z-normalised series as a 2-D float64 array), pattern mining with pruning
    (`PatternMiner.mine` on the symbols), and the rest (mapping, ranking and
    result conversion: end to end minus the others);
  * conversion of the same values from a float64 array against lists and
    against a plain numpy copy of the same bytes;
  * peak resident memory of Miner.mine on a float64 array, above the interpreter
    with the input loaded, against the input's float64 size;
  * the SAX step beside pyts and tslearn on the same 2-D array (the `bench` extra).
The build of REV (default baseline-straightforward, built as bench/compare.py
does) runs the same end-to-end calls in the same run (once for the slow
workloads) and its results are checked to be equal to this build's.

The report replaces the file, except for the marked sections other scripts
write into it (bench/sections.py), which are kept after it.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402  (the builder, the workloads loader and the result fields)
import sections  # noqa: E402

ROOT = compare.ROOT
SLOW_BASELINE = {"low-support", "fine-grained"}
NO_SYMBOLS = -(2**31)  # a segment length that cuts every series into no segment: conversion only


def timed(call, runs: int) -> tuple[float, object]:
    """Median seconds of `runs` calls, and the last result."""
    times, result = [], None
    for _ in range(runs):
        # The previous result is freed before the clock starts, so no call pays for the one before it.
        result = None
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def result_digest(motifs) -> str:
    return compare.digest([compare.motif_fields(m) for m in motifs])[0]


# ---------------------------------------------------------------- workers


def end_to_end(series, params: dict, runs: int) -> dict:
    import _kez_cpp

    seconds, motifs = timed(lambda: _kez_cpp.Miner(**params).mine(series), runs)
    return {"end_to_end": seconds, "runs": runs, "digest": result_digest(motifs), "motifs": len(motifs)}


def end_to_end_worker(options) -> dict:
    series, params = compare.load_workloads(Path(options.workloads_file)).build(options.worker)
    return end_to_end(series, params, options.runs)


def profile_worker(options) -> dict:
    import numpy as np

    import _kez_cpp
    import kez

    name, runs = options.worker, options.runs
    series, params = compare.load_workloads(Path(options.workloads_file)).build(name)
    out = end_to_end(series, params, runs)
    seglen, alphabet = params["seglen"], params["alphabet"]
    array = np.array(series)
    rows = list(array)
    normal = [kez.znormalise(s) for s in series]
    normal_array = np.array(normal)
    symbols = _kez_cpp.sax(normal, seglen, alphabet)
    assert _kez_cpp.sax(normal_array, seglen, alphabet) == symbols

    out["convert_lists"], _ = timed(lambda: _kez_cpp.sax(series, NO_SYMBOLS, 0), runs)
    out["convert_array"], _ = timed(lambda: _kez_cpp.sax(array, NO_SYMBOLS, 0), runs)
    out["convert_rows"], _ = timed(lambda: _kez_cpp.sax(rows, NO_SYMBOLS, 0), runs)
    out["copy_array"], _ = timed(lambda: np.array(array, copy=True), runs)
    out["sax"], _ = timed(lambda: _kez_cpp.sax(normal_array, seglen, alphabet), runs)

    def patterns():
        miner = _kez_cpp.PatternMiner(
            params["minsup"],
            params.get("min_len", 3),
            params.get("max_len", 0),
            params.get("max_overlap", 0.9),
        )
        miner.mine(symbols)
        return miner

    out["patterns"], miner = timed(patterns, runs)
    # The symbols come in as lists of strings; a miner that can keep nothing costs just that.
    out["convert_symbols"], _ = timed(lambda: _kez_cpp.PatternMiner(2.0, 3, 1).mine(symbols), runs)
    out["patterns"] = max(out["patterns"] - out["convert_symbols"], 0.0)
    frequent = miner.frequent
    found, motifs = timed(lambda: _kez_cpp.Miner(**params).mine(array), 1)
    out["array_equals_lists"] = result_digest(motifs) == out["digest"]
    out["average_bytes"] = sum(len(m.indexes) * m.length * 8 for m in motifs)
    out["patterns_equal_motifs"] = sorted(m.pattern for m in frequent.values()) == sorted(
        m.pattern for m in motifs
    )
    out["end_to_end_array"] = found
    out["input_bytes"] = array.nbytes
    out["samples"] = int(array.size) if array.ndim == 2 else sum(map(len, series))
    out["peers"] = peers(normal_array, symbols, seglen, alphabet, runs) if options.peers else {}
    return out


def peers(normal_array, symbols, seglen: int, alphabet: int, runs: int) -> dict:
    import warnings

    import numpy as np

    import _kez_cpp

    found = {"ours": timed(lambda: _kez_cpp.sax(normal_array, seglen, alphabet), runs)[0]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            from pyts.approximation import PiecewiseAggregateApproximation, SymbolicAggregateApproximation

            def with_pyts():
                means = PiecewiseAggregateApproximation(window_size=seglen).fit_transform(normal_array)
                return SymbolicAggregateApproximation(n_bins=alphabet, strategy="normal").fit_transform(means)

            with_pyts()  # compiles its kernels
            found["pyts"] = timed(with_pyts, runs)[0]
        except ImportError:
            found["pyts"] = None
        try:
            from tslearn.piecewise import SymbolicAggregateApproximation as TslearnSax

            segments = normal_array.shape[1] // seglen

            def with_tslearn():
                return TslearnSax(n_segments=segments, alphabet_size_avg=alphabet).fit_transform(normal_array)

            first, _ = timed(with_tslearn, 1)
            found["tslearn"] = first if first > 1.0 else timed(with_tslearn, runs)[0]
        except ImportError:
            found["tslearn"] = None
    if found["pyts"] is not None and normal_array.shape[1] % seglen == 0:
        found["agree"] = float(np.mean(np.array(symbols) == with_pyts()))
    return found


def memory_worker(options) -> dict:
    """Peak resident memory of Miner.mine on a float64 array, above what the loaded input holds."""
    import numpy as np

    import _kez_cpp

    def status(field: str) -> int:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
        return 0

    interpreter = status("VmRSS")
    array = np.load(options.array)
    params = json.loads(options.params)
    loaded = status("VmRSS")
    try:  # restart the high-water mark, so that loading does not count
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        reset = False
    start = status("VmHWM") if not reset else loaded
    _kez_cpp.Miner(**params).mine(array)
    peak = status("VmHWM")
    return {
        "interpreter": interpreter,
        "with_input": loaded,
        "peak": peak,
        "above": peak - max(start, loaded),
        "input_bytes": array.nbytes,
    }


# ---------------------------------------------------------------- driver


def run_worker(python: str, args: list[str], cwd: str) -> dict:
    command = [python, str(Path(__file__).resolve()), *args]
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"worker failed: {' '.join(command)}\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def machine() -> str:
    model = platform.processor() or "unknown processor"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return f"{model}, {os.cpu_count()} logical cores (shared), {platform.system()} {platform.release()}"


def versions() -> str:
    from importlib import metadata

    parts = [f"CPython {platform.python_version()}"]
    pinned = [r for r in (ROOT / "pyproject.toml").read_text().split('"') if r.startswith("pybind11==")]
    parts += [f"{pin.replace('==', ' ')} (build)" for pin in pinned]
    for package in ("numpy", "pyts", "tslearn", "numba"):
        try:
            parts.append(f"{package} {metadata.version(package)}")
        except metadata.PackageNotFoundError:
            parts.append(f"{package} not installed")
    return ", ".join(parts)


def ms(seconds) -> str:
    return "n/a" if seconds is None else f"{seconds * 1000:.1f}"


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--workloads", nargs="+", default=compare.WORKLOAD_NAMES, choices=compare.WORKLOAD_NAMES
    )
    parser.add_argument("--workloads-file", default=str(compare.DEFAULT_WORKLOADS))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", default=compare.DEFAULT_REV, help="revision to measure against")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument("--no-peers", dest="peers", action="store_false")
    parser.add_argument("--output", default=str(ROOT / "BENCHMARKS.md"))
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    parser.add_argument("--mode", help=argparse.SUPPRESS)
    parser.add_argument("--array", help=argparse.SUPPRESS)
    parser.add_argument("--params", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        work = {"end_to_end": end_to_end_worker, "profile": profile_worker, "memory": memory_worker}
        print(json.dumps(work[options.mode](options)))
        return

    workloads = compare.load_workloads(Path(options.workloads_file))
    baseline = None if options.no_baseline else str(compare.build_rev(options.baseline))
    common = ["--workloads-file", options.workloads_file]
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name in options.workloads:
            print(f"{name} ...", file=sys.stderr, flush=True)
            mine = run_worker(
                sys.executable,
                ["--worker", name, "--mode", "profile", "--runs", str(options.runs), *common]
                + ([] if options.peers else ["--no-peers"]),
                tmp,
            )
            import numpy as np

            series, params = workloads.build(name)
            path = Path(tmp) / f"{name}.npy"
            np.save(path, np.array(series))
            del series
            memory = run_worker(
                sys.executable,
                ["--worker", name, "--mode", "memory", "--array", str(path), "--params", json.dumps(params)],
                tmp,
            )
            path.unlink()
            theirs = None
            if baseline:
                runs = 1 if name in SLOW_BASELINE else options.runs
                theirs = run_worker(
                    baseline, ["--worker", name, "--mode", "end_to_end", "--runs", str(runs), *common], tmp
                )
            rows.append((name, params, mine, memory, theirs))
    report = render(rows, options)
    output = Path(options.output)
    old = output.read_text() if output.exists() else ""
    output.write_text(sections.keep(report, old))
    print(report)


def render(rows, options) -> str:
    commit = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=ROOT, capture_output=True, text=True)
    lines = [
        "# Benchmarks",
        "",
        f"Written by `bench/run.py` on {datetime.date.today().isoformat()}, commit {commit.stdout.strip()}.",
        "",
        f"- Machine: {machine()}. Other jobs share the cores, so absolute times are noisy;",
        "  the ratios are measured within one run.",
        f"- Versions: {versions()}.",
        f"- Medians of {options.runs} runs; the straightforward build (`{options.baseline}`) runs once on",
        f"  {', '.join(sorted(SLOW_BASELINE))}.",
        "",
        "## End to end and where the time goes",
        "",
        "Times in ms. *Convert*: the lists into native series; *SAX*: discretising the normalised series;",
        "*Patterns*: `PatternMiner.mine` with pruning (less the conversion of its lists of letters, which",
        "`Miner` does not have); *Rest*: normalisation, mapping, ranking and results (end to end minus",
        "the others). *Speed-up*: the straightforward build's end to end over ours, same inputs,",
        "same run; *Equal*: its results equal ours field by field (floats by bit pattern, dict order).",
        "",
        "| Workload | Series x samples | Motifs | End to end | Convert | SAX | Patterns | Rest "
        "| Straightforward | Speed-up | Equal |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, _params, mine, _memory, theirs in rows:
        rest = max(mine["end_to_end"] - mine["convert_lists"] - mine["sax"] - mine["patterns"], 0.0)
        count, samples = compare.load_workloads(Path(options.workloads_file)).WORKLOADS[name][:2]
        base = theirs["end_to_end"] if theirs else None
        speed = f"{base / mine['end_to_end']:.1f}x" if base else "n/a"
        equal = ("yes" if theirs["digest"] == mine["digest"] else "**NO**") if theirs else "n/a"
        lines.append(
            f"| {name} | {count} x {samples} | {mine['motifs']} | {ms(mine['end_to_end'])} "
            f"| {ms(mine['convert_lists'])} | {ms(mine['sax'])} | {ms(mine['patterns'])} | {ms(rest)} "
            f"| {ms(base)} | {speed} | {equal} |"
        )
    lines += [
        "",
        "## Arrays and memory",
        "",
        "Converting the same values, in ms, timed as `sax` with a segment length that yields no symbols:",
        "*from lists*; *from 2-D* float64 array, which is held and read a row at a time where it is needed",
        "(no copy is made; `Miner.mine` normalises each row into one scratch series when it reads it);",
        "*from rows*, the same array as a list of 1-D arrays, each copied into a native series;",
        "*copy*: `np.array(a, copy=True)` of the same bytes. *Peak above input*: the high-water mark of",
        "resident memory during `Miner.mine` on the 2-D float64 array, above the interpreter with the",
        "input loaded. It includes what the motifs return: *averages / input* is the size of the",
        "`average_occurrences` values alone (one window of doubles per motif and series), which no",
        "layout of the same results can leave out.",
        "",
        "| Workload | Input (float64) | From lists | From 2-D | Lists / 2-D | From rows | Rows / copy "
        "| Interpreter | Peak above input | Peak / input | Averages / input | End to end from 2-D "
        "| Same results |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, _params, mine, memory, _theirs in rows:
        mb = memory["input_bytes"] / 2**20
        lines.append(
            f"| {name} | {mb:.1f} MiB | {ms(mine['convert_lists'])} | {mine['convert_array'] * 1000:.3f} "
            f"| {mine['convert_lists'] / mine['convert_array']:.0f}x | {ms(mine['convert_rows'])} "
            f"| {mine['convert_rows'] / mine['copy_array']:.2f}x | {memory['interpreter'] / 2**20:.0f} MiB "
            f"| {memory['above'] / 2**20:.1f} MiB | {memory['above'] / memory['input_bytes']:.2f}x "
            f"| {mine['average_bytes'] / memory['input_bytes']:.2f}x "
            f"| {ms(mine['end_to_end_array'])} | {'yes' if mine['array_equals_lists'] else '**NO**'} |"
        )
    if options.peers:
        lines += [
            "",
            "## SAX beside other libraries",
            "",
            "The SAX step on the same z-normalised 2-D float64 array, in ms: ours is `sax(array, seglen,",
            "alphabet)` (letters as lists of one-character strings); pyts is",
            "`PiecewiseAggregateApproximation` then `SymbolicAggregateApproximation(strategy='normal')`",
            "(after its first, compiling call);",
            "tslearn is `SymbolicAggregateApproximation` (one run where a run takes over a second).",
            "*Same letters*: the share of pyts's letters equal to ours (its breakpoints are exact",
            "quantiles, ours have two decimals). Ours sums each segment first to last, as the results",
            "require, and returns Python lists of strings; from a million samples (fine-grained is",
            "800,000, large 10 million) it shares the rows with a second thread.",
            "",
            "| Workload | Ours | pyts | tslearn | Faster peer / ours | Same letters |",
            "|---|---|---|---|---|---|",
        ]
        for name, _params, mine, _memory, _theirs in rows:
            p = mine["peers"]
            others = [t for t in (p.get("pyts"), p.get("tslearn")) if t is not None]
            ratio = f"{min(others) / p['ours']:.1f}x" if others else "n/a"
            lines.append(
                f"| {name} | {ms(p['ours'])} | {ms(p.get('pyts'))} | {ms(p.get('tslearn'))} | {ratio} "
                f"| {'n/a' if p.get('agree') is None else format(p['agree'], '.4%')} |"
            )
    lines += ["", "## Targets", "", "| Target | Measured | Met |", "|---|---|---|"]
    for target, value, met in targets(rows):
        lines.append(f"| {target} | {value} | {'yes' if met else '**no**'} |")
    lines.append("")
    return "\n".join(lines)


def targets(rows):
    """(target, measured, met) for every target that this run measured."""
    found = []
    for name, _params, mine, memory, theirs in rows:
        if theirs:
            speed = theirs["end_to_end"] / mine["end_to_end"]
            need = {"low-support": 50.0, "fine-grained": 50.0, "typical": 3.0}.get(name, 1.0)
            found.append(
                (f"{name}: at least {need:g}x the straightforward build", f"{speed:.1f}x", speed >= need)
            )
        if name == "large":
            lists = mine["convert_lists"] / mine["convert_array"]
            rows_copy = mine["convert_rows"] / mine["copy_array"]
            peak = memory["above"] / memory["input_bytes"]
            found += [
                ("large: float64 conversion at least 20x faster than lists", f"{lists:.0f}x", lists >= 20),
                ("large: float64 rows within 3x of a plain copy", f"{rows_copy:.2f}x", rows_copy <= 3),
                ("large: peak above interpreter and input at most 2x the input", f"{peak:.2f}x", peak <= 2),
            ]
        p = mine.get("peers") or {}
        others = [t for t in (p.get("pyts"), p.get("tslearn")) if t is not None]
        if others:
            ratio = min(others) / p["ours"]
            found.append(
                (f"{name}: SAX at least 5x faster than the faster peer", f"{ratio:.1f}x", ratio >= 5)
            )
    return found


if __name__ == "__main__":
    main()
