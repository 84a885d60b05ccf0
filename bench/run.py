"""Benchmarks motif discovery on the named workloads and at growing sizes, and writes BENCHMARKS.md.

    python bench/run.py [--runs 5] [--baseline-long]                 everything
    python bench/run.py --quick                                      small and typical, printed only
    python bench/run.py --workloads small typical [--runs 1] [--no-peers] [--output FILE]
    python bench/run.py --sections scaling [--scaling-up-to 1000000]

Every input is made once by the shared generator and kept as a float64 array under
build/workloads/ (bench/inputs.py); each measurement runs in a subprocess of its own.
Per workload (the shared ones, and `long`, 200 series of 128,000 samples):
  * end to end: Miner(**params).mine(series) on lists (on `long`, on the 2-D float64 array:
    its lists would take gigabytes), with one thread and with all threads, in turns within
    one process, the median of each;
  * where the time goes, with all threads, by timing the public calls apart: conversion of the
    input (`sax` with a segment length that yields no symbols), SAX (`sax` on the z-normalised
    series as a 2-D float64 array), pattern mining with pruning (`PatternMiner.mine` on the
    symbols), and the rest (mapping, ranking and result conversion: end to end minus the others);
  * conversion of the same values from a float64 array against lists and against a plain
    numpy copy of the same bytes;
  * peak resident memory of Miner.mine on a float64 array, with all threads, above the
    interpreter with the input loaded, against the input's float64 size;
  * the SAX step beside pyts and tslearn on the same 2-D array (the `bench` extra).
The build of REV (default: the straightforward build named in bench/compare.py, built as it does)
runs the same end-to-end calls on lists in the same run, once on the slow workloads, and both of
our thread counts must give its results. Its time grows faster than the square of the series'
length (on 100 series: about 2 s at 8,000 samples, 80 s at 32,000), so on `long` it took about two
hours here; it runs there only with --baseline-long, and otherwise the figure of the last run
that had it is read back from the document.

Runs of one letter: 10 random walks of 64,000 samples, as they are and with one NaN in half of them
(each of those reads as one run of `a`), with one thread and with all threads, and once with the build
before growth held such runs as ranges (BEFORE_RANGES), which must give the same results.

Scaling: with all threads, the median time and the peak memory above the input of Miner.mine on
a 2-D array, for 100 to 10,000 series of 1,000 samples and for 100 series of 500 to 128,000
samples (same generator, minsup 0.5, seglen 4, alphabet 5), and the log-log slope of each.

--sections picks what to measure and rewrite; the sections not picked are kept as they stand,
as are those of the other scripts in bench/. --workloads or --quick alone measure workloads only.
--quick (small and typical, one run, no peers) prints the document and writes it only to --output.
"""

from __future__ import annotations

import argparse
import datetime
import json
import math
import os
import platform
import re
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
import compare  # noqa: E402  (the builder, the workloads loader and the result fields)
import inputs  # noqa: E402
import sections  # noqa: E402

ROOT = compare.ROOT
DOCUMENT = ROOT / "BENCHMARKS.md"
WORKLOAD_NAMES = [*compare.WORKLOAD_NAMES, *inputs.LONG]
LONG = "long"  # its lists would take gigabytes
ARRAY_INPUT = {LONG}  # run from the 2-D float64 array, not from lists
SLOW_BASELINE = {"low-support", "fine-grained", LONG}  # the straightforward build runs these once
NO_SYMBOLS = -(2**31)  # a segment length that cuts every series into no segment: conversion only
ALL = 0  # for _set_threads: one thread per core
OURS = {"one": 1, "all": ALL}  # the thread counts our build runs with
THEIRS = {"straightforward": None}  # the straightforward build has no setting
SECTIONS = ["end-to-end", "arrays", "peers", "scaling", "runs", "targets"]
WORKLOAD_SECTIONS = [s for s in SECTIONS if s not in ("scaling", "runs")]
# The last build whose growth wrote every occurrence of a run of one letter out, which the runs section runs
# once to show what that cost and to check the results against.
BEFORE_RANGES = "6131dcee2b4e7ece1f3b45f7ec50c02aea92713d"
QUICK = ["small", "typical"]

# (threads, workload, at least this many times the straightforward build's speed)
SPEED_TARGETS = [
    ("all", "typical", 10.0),
    ("all", "low-support", 300.0),
    ("all", "fine-grained", 400.0),
    ("all", "large", 8.0),
    ("one", "small", 1.0),
    ("one", "typical", 6.0),
    ("one", "low-support", 50.0),
    ("one", "fine-grained", 50.0),
    ("one", "large", 4.0),
]
THREAD_GAIN_TARGETS = {"fine-grained": 1.6, "large": 1.6}  # all threads over one thread, at least
LONG_SECONDS = 3.0  # long, all threads, under this
THREAD_WORDS = {"one": "one thread", "all": "all threads"}


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


def load(options):
    """The worker's input, lists of floats or a 2-D float64 array, and the Miner keyword arguments."""
    params = json.loads(options.params)
    if options.input == "lists":
        return inputs.read_lists(Path(options.array)), params
    import numpy as np

    return np.load(options.array), params


def end_to_end(data, params: dict, runs: int, threads: dict) -> dict:
    """Per thread count, the median seconds of Miner(**params).mine(data) and what the last run found.

    The counts take turns in every round, so that a noisy spell on the machine falls on all of them.
    """
    import _kez_cpp

    times = {label: [] for label in threads}
    found = {}
    for round_ in range(runs):
        for label, count in threads.items():
            if count is not None:
                _kez_cpp._set_threads(count)
            start = time.perf_counter()
            motifs = _kez_cpp.Miner(**params).mine(data)
            times[label].append(time.perf_counter() - start)
            if round_ == runs - 1:
                found[label] = {
                    "seconds": statistics.median(times[label]),
                    "motifs": len(motifs),
                    "digest": result_digest(motifs),
                    "average_bytes": sum(len(m.indexes) * m.length * 8 for m in motifs),
                }
            motifs = None  # freed before the next clock starts
    return found


def end_to_end_worker(options) -> dict:
    data, params = load(options)
    return end_to_end(data, params, options.runs, THEIRS)


def resident(field: str) -> int:
    """A field of this process's memory status, in bytes: VmRSS now, VmHWM its high-water mark."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def restart_high_water_mark() -> bool:
    """Restarts VmHWM from the memory now in use; False where the system does not allow it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def runs_worker(options) -> dict:
    """end_to_end with our thread counts (with --theirs: the other build's none), and the high-water mark
    of resident memory over all the calls, above the process with its input loaded."""
    data, params = load(options)
    loaded = resident("VmRSS")
    start = loaded if restart_high_water_mark() else resident("VmHWM")
    found = end_to_end(data, params, options.runs, THEIRS if options.theirs else OURS)
    above = resident("VmHWM") - max(start, loaded)
    return {label: {**value, "above": above} for label, value in found.items()}


def profile_worker(options) -> dict:
    import numpy as np

    import _kez_cpp
    import kez

    runs = options.runs
    data, params = load(options)
    out = end_to_end(data, params, runs, OURS)
    _kez_cpp._set_threads(ALL)
    seglen, alphabet = params["seglen"], params["alphabet"]
    lists = options.input == "lists"
    array = np.array(data) if lists else data
    rows = list(array)
    normal_array = np.empty_like(array)
    for i, row in enumerate(array):
        normal_array[i] = kez.znormalise(row)
    symbols = _kez_cpp.sax(normal_array, seglen, alphabet)

    out["convert"], _ = timed(lambda: _kez_cpp.sax(data, NO_SYMBOLS, 0), runs)
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

    out["patterns"], _ = timed(patterns, runs)
    # The symbols come in as lists of strings; a miner that can keep nothing costs just that.
    out["convert_symbols"], _ = timed(lambda: _kez_cpp.PatternMiner(2.0, 3, 1).mine(symbols), runs)
    out["patterns"] = max(out["patterns"] - out["convert_symbols"], 0.0)
    if lists:
        from_array = end_to_end(array, params, 1, {"all": ALL})["all"]
        out["end_to_end_array"] = from_array["seconds"]
        out["array_equals_lists"] = from_array["digest"] == out["all"]["digest"]
    else:
        out["end_to_end_array"], out["array_equals_lists"] = out["all"]["seconds"], None
    out["input_bytes"] = array.nbytes
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
    """Peak resident memory of Miner.mine on a float64 array with all threads, above what the loaded
    input holds, and the median seconds of `runs` calls."""
    import numpy as np

    import _kez_cpp

    _kez_cpp._set_threads(ALL)
    interpreter = resident("VmRSS")
    array = np.load(options.array)
    params = json.loads(options.params)
    loaded = resident("VmRSS")
    # The high-water mark starts again here, so that loading does not count.
    start = loaded if restart_high_water_mark() else resident("VmHWM")
    seconds, motifs = timed(lambda: _kez_cpp.Miner(**params).mine(array), options.runs)
    peak = resident("VmHWM")
    return {
        "seconds": seconds,
        "motifs": len(motifs),
        "interpreter": interpreter,
        "with_input": loaded,
        "peak": peak,
        "above": peak - max(start, loaded),
        "input_bytes": array.nbytes,
    }


WORKERS = {
    "end-to-end": end_to_end_worker,
    "profile": profile_worker,
    "memory": memory_worker,
    "runs": runs_worker,
}


# ---------------------------------------------------------------- measuring


class Row(NamedTuple):
    name: str
    entry: tuple  # the workload's entry in the table: (series, samples, phi, planted share, params)
    mine: dict  # profile_worker's
    memory: dict  # memory_worker's
    theirs: dict | None  # the straightforward build's end to end, with "date" when read from a past run


# numpy's BLAS starts a thread per core whose idle loop spins, taking turns on the cores the miners' threads
# use; no benchmark here calls BLAS, so each worker holds it to one thread.
WORKER_ENVIRONMENT = {**os.environ, "OPENBLAS_NUM_THREADS": "1", "OMP_NUM_THREADS": "1"}


def run_worker(python: str, args: list[str], cwd: str) -> dict:
    command = [python, str(Path(__file__).resolve()), *args]
    done = subprocess.run(command, cwd=cwd, capture_output=True, text=True, env=WORKER_ENVIRONMENT)
    if done.returncode != 0:
        sys.exit(f"worker failed: {' '.join(command)}\n{done.stderr}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def input_args(module, name: str) -> tuple[str, list[str]]:
    """The file name of workload `name`'s cached array, and the worker arguments that name it and its
    Miner keyword arguments."""
    path = inputs.cached(module, name)
    return path.name, ["--array", str(path), "--params", json.dumps(module.WORKLOADS[name][4])]


def measure_workloads(options, module, kept: dict | None) -> tuple[list[Row], dict | None]:
    """The rows, and the straightforward build's figure on `long` to keep: this run's, else `kept`."""
    baseline = None if options.no_baseline else str(compare.build_rev(options.baseline))
    rows = []
    with tempfile.TemporaryDirectory() as tmp:  # run outside the repository: the installed builds import
        for name in options.workloads:
            print(f"{name} ...", file=sys.stderr, flush=True)
            given = "array" if name in ARRAY_INPUT else "lists"
            file, where = input_args(module, name)
            profile = ["--worker", "profile", "--input", given, "--runs", str(options.runs), *where]
            mine = run_worker(sys.executable, profile + ([] if options.peers else ["--no-peers"]), tmp)
            memory = run_worker(sys.executable, ["--worker", "memory", "--runs", "1", *where], tmp)
            theirs = None
            if baseline and (name != LONG or options.baseline_long):
                runs = 1 if name in SLOW_BASELINE else options.runs
                command = ["--worker", "end-to-end", "--input", "lists", "--runs", str(runs), *where]
                theirs = run_worker(baseline, command, tmp)["straightforward"]
                if name == LONG:
                    kept = {k: theirs[k] for k in ("seconds", "digest", "motifs")}
                    kept.update(date=datetime.date.today().isoformat(), rev=options.baseline, input=file)
            elif name == LONG and kept and kept["input"] == file:
                theirs = kept
            rows.append(Row(name, module.WORKLOADS[name], mine, memory, theirs))
    return rows, kept


def measure_scaling(options, module) -> dict[str, list[dict]]:
    """Per axis, the memory worker's findings at each point of at most --scaling-up-to samples."""
    axes = {
        "series": [f"scaling-series-{n}" for n in inputs.SCALING_SERIES],
        "samples": [f"scaling-samples-{n}" for n in inputs.SCALING_SAMPLES],
    }
    worker = ["--worker", "memory", "--runs", str(options.scaling_runs)]
    found = {}
    with tempfile.TemporaryDirectory() as tmp:
        for axis, names in axes.items():
            found[axis] = []
            for name in names:
                count, samples = module.WORKLOADS[name][:2]
                if count * samples > options.scaling_up_to:
                    continue
                print(f"{name} ...", file=sys.stderr, flush=True)
                _, where = input_args(module, name)
                point = run_worker(sys.executable, [*worker, *where], tmp)
                found[axis].append({"series": count, "samples": samples, **point})
    return found


def measure_runs(options, module) -> dict[str, dict]:
    """Per workload of the runs section: our runs_worker's findings, and unless --no-baseline the build
    before ranges' in one run, on lists (it has no numpy)."""
    before = None if options.no_baseline else str(compare.build_rev(BEFORE_RANGES))
    found = {}
    with tempfile.TemporaryDirectory() as tmp:
        for name in inputs.RUNS:
            print(f"{name} ...", file=sys.stderr, flush=True)
            _, where = input_args(module, name)
            ours = run_worker(
                sys.executable,
                ["--worker", "runs", "--input", "array", "--runs", str(options.runs), *where],
                tmp,
            )
            theirs = None
            if before:
                command = ["--worker", "runs", "--theirs", "--input", "lists", "--runs", "1", *where]
                theirs = run_worker(before, command, tmp)["straightforward"]
            found[name] = {"entry": module.WORKLOADS[name], "ours": ours, "before": theirs}
    return found


# ---------------------------------------------------------------- the document


LONG_RECORD = re.compile(r"^<!-- straightforward on long: (?P<json>\{.*\}) -->$", re.M)


def previous_long(paths: list[Path], rev: str) -> dict | None:
    """The straightforward build's figure on `long` from the last run that measured it, if one is kept."""
    for path in paths:
        found = LONG_RECORD.search(sections.read(path).get(section_name("end-to-end"), ""))
        if found:
            record = json.loads(found.group("json"))
            if record.get("rev") == rev:
                return record
    return None


def section_name(name: str) -> str:
    return f"bench/run.py:{name}"


def git(*args: str) -> str:
    return subprocess.run(["git", *args], cwd=ROOT, capture_output=True, text=True).stdout.strip()


def medians(runs: int) -> str:
    return "one run" if runs == 1 else f"medians of {runs} runs"


def stamp(detail: str) -> str:
    commit = git("rev-parse", "--short", "HEAD")
    # What goes into the build; the installed build is assumed to be this tree's.
    built = ["src", "CMakeLists.txt", "pyproject.toml"]
    changed = " with uncommitted changes to the build" if git("status", "--porcelain", "--", *built) else ""
    return f"*Measured on {datetime.date.today().isoformat()} at commit {commit}{changed}; {detail}.*"


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
    return f"{model}, {os.cpu_count()} logical cores, {platform.system()} {platform.release()}"


def all_threads() -> int:
    import _kez_cpp

    _kez_cpp._set_threads(ALL)
    return _kez_cpp._threads()


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


def header() -> str:
    return "\n".join(
        [
            "# Benchmarks",
            "",
            "Written by `bench/run.py`: its sections first, then those of the other scripts in `bench/`.",
            "",
            f"- Machine: {machine()}.",
            f"- *All threads* is {all_threads()} threads here (`kez.set_threads(None)`: one per core);",
            "  *one thread* is `kez.set_threads(1)`.",
            "- The machine is shared with other jobs, so times are noisy from run to run, all threads",
            "  most of all. Each time is a median of several runs, each ratio is taken within one run,",
            "  and each section says when and at which commit it was measured, and over how many runs.",
            f"- Versions: {versions()}.",
            "",
        ]
    )


def ms(seconds) -> str:
    return "n/a" if seconds is None else f"{seconds * 1000:,.1f}"


def mib(size) -> str:
    return "n/a" if size is None else f"{size / 2**20:,.1f} MiB"


def ratio(a, b, digits: int = 1) -> str:
    return "n/a" if a is None or b is None else f"{a / b:.{digits}f}x"


def document(new: dict[str, str], path: Path | None) -> str:
    """The header, this script's sections (new ones, else as they stand) and the other scripts' sections."""
    old = sections.read(path) if path else {}
    ours = [section_name(n) for n in SECTIONS]
    parts = [header()]
    for name in SECTIONS:
        text = new.get(name) or old.get(section_name(name))
        if text:
            parts.append(sections.marked(section_name(name), text))
    parts += [sections.marked(name, text) for name, text in old.items() if name not in ours]
    return "\n".join(parts)


def equal(row: Row) -> str:
    """Whether both of our thread counts found the straightforward build's results."""
    mine = row.mine
    if row.theirs is None:
        return (
            "n/a (one thread = all)"
            if mine["one"]["digest"] == mine["all"]["digest"]
            else "**NO**: one thread != all"
        )
    wrong = [THREAD_WORDS[t] for t in OURS if mine[t]["digest"] != row.theirs["digest"]]
    verdict = "**NO**: " + ", ".join(wrong) if wrong else "yes, both"
    return verdict + (" (that run's results)" if "date" in row.theirs else "")


def render_end_to_end(rows: list[Row], options) -> str:
    once = sorted(SLOW_BASELINE & {r.name for r in rows if r.theirs and "date" not in r.theirs})
    detail = medians(options.runs)
    if once:
        detail += f"; the straightforward build (`{options.baseline[:12]}`) runs once on {', '.join(once)}"
    lines = [
        "## End to end",
        "",
        stamp(detail),
        "",
        "Times in ms of `Miner(**params).mine(series)`, with one thread and with all threads in turns in",
        "one process, on lists of floats except where *Input* says *2-D*: a float64 array, whose lists",
        "would take gigabytes. *Straightforward*: the straightforward build on the same values as lists",
        "(it takes no arrays) in the same run; on `long` only with `--baseline-long`, otherwise the",
        "figure of the last run that had it. The next three columns are ratios of these times. *Equal*:",
        "the results of both thread counts equal the straightforward build's field by field (floats by",
        "bit pattern, dict order).",
        "",
        "| Workload | Input | Series x samples | Motifs | One thread | All threads | Straightforward "
        "| Straightforward / one | Straightforward / all | One / all | Equal |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        mine, theirs = row.mine, row.theirs
        one, every = mine["one"]["seconds"], mine["all"]["seconds"]
        base = theirs["seconds"] if theirs else None
        shown = ms(base)
        if theirs and "date" in theirs:
            shown += f" (from the run of {theirs['date']})"
        elif row.name == LONG and not theirs:
            shown = "not run"
        given = "2-D" if row.name in ARRAY_INPUT else "lists"
        lines.append(
            f"| {row.name} | {given} | {row.entry[0]:,} x {row.entry[1]:,} | {mine['all']['motifs']} "
            f"| {ms(one)} | {ms(every)} | {shown} | {ratio(base, one)} | {ratio(base, every)} "
            f"| {ratio(one, every, 2)} | {equal(row)} |"
        )
    lines += [
        "",
        "### Where the time goes, with all threads",
        "",
        "Times in ms. *Convert*: the input into native series; *SAX*: discretising the normalised",
        "series; *Patterns*: `PatternMiner.mine` with pruning (less the conversion of its lists of",
        "letters, which `Miner` does not have); *Rest*: normalisation, mapping, ranking and results",
        "(end to end minus the others).",
        "",
        "| Workload | End to end | Convert | SAX | Patterns | Rest |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        mine = row.mine
        every = mine["all"]["seconds"]
        rest = max(every - mine["convert"] - mine["sax"] - mine["patterns"], 0.0)
        lines.append(
            f"| {row.name} | {ms(every)} | {ms(mine['convert'])} | {ms(mine['sax'])} "
            f"| {ms(mine['patterns'])} | {ms(rest)} |"
        )
    if options.long_record:  # read back by later runs without --baseline-long
        lines += ["", f"<!-- straightforward on long: {json.dumps(options.long_record)} -->"]
    return "\n".join(lines)


def render_arrays(rows: list[Row], options) -> str:
    lines = [
        "## Arrays and memory",
        "",
        stamp(f"{medians(options.runs)}; memory in one run, with all threads"),
        "",
        "Converting the same values, in ms, timed as `sax` with a segment length that yields no symbols:",
        "*from lists*; *from 2-D* float64 array, which is held and read a row at a time where it is needed",
        "(no copy is made; `Miner.mine` finds each row's mean and deviation once, then normalises the row",
        "into one scratch series whenever it reads it);",
        "*from rows*, the same array as a list of 1-D arrays, each copied into a native series;",
        "*copy*: `np.array(a, copy=True)` of the same bytes. *Peak above input*: the high-water mark of",
        "resident memory during `Miner.mine` on the 2-D float64 array with all threads, above the",
        "interpreter with the input loaded. It includes what the motifs return: *averages / input* is",
        "the size of the `average_occurrences` values alone (one window of doubles per motif and",
        "series), which no layout of the same results can leave out. `long` is not made into lists.",
        "Where the rest goes: on `long` and `large` the peak comes as the mapping ends, holding besides",
        "the averages the occurrence indexes the motifs return (packed: 16 bytes per series of a motif,",
        "4 per position), their best matches (8 bytes per series of a motif), and the mapping's own",
        "lists, freed when it returns (per series of a motif, 16 bytes to group it with the others of its",
        "series and 16 for its best match, and a copy of its positions, 4 bytes each). Growth's peak, the",
        "occurrence entries of every level of at least `min_len` letters (4 bytes each, and 8 per series",
        "a pattern occurs in) kept until pruning ends, stays below that there; on fine-grained, whose",
        "many levels hold far more occurrences than its motifs keep, the growth's levels, and the memory",
        "the allocator keeps after them, make most of the peak.",
        "",
        "| Workload | Input (float64) | From lists | From 2-D | Lists / 2-D | From rows | Rows / copy "
        "| Interpreter | Peak above input | Peak / input | Averages / input | End to end from 2-D "
        "| Same results |",
        "|---|---|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for row in rows:
        mine, memory = row.mine, row.memory
        lists = mine["convert"] if row.name not in ARRAY_INPUT else None
        same = {True: "yes", False: "**NO**", None: "n/a"}[mine["array_equals_lists"]]
        lines.append(
            f"| {row.name} | {memory['input_bytes'] / 2**20:.1f} MiB | {ms(lists)} "
            f"| {mine['convert_array'] * 1000:.3f} | {ratio(lists, mine['convert_array'], 0)} "
            f"| {ms(mine['convert_rows'])} | {ratio(mine['convert_rows'], mine['copy_array'], 2)} "
            f"| {memory['interpreter'] / 2**20:.0f} MiB | {memory['above'] / 2**20:.1f} MiB "
            f"| {ratio(memory['above'], memory['input_bytes'], 2)} "
            f"| {ratio(mine['all']['average_bytes'], memory['input_bytes'], 2)} "
            f"| {ms(mine['end_to_end_array'])} | {same} |"
        )
    return "\n".join(lines)


def render_peers(rows: list[Row], options) -> str:
    lines = [
        "## SAX beside other libraries",
        "",
        stamp(f"{medians(options.runs)}, ours with all threads"),
        "",
        "The SAX step on the same z-normalised 2-D float64 array, in ms: ours is `sax(array, seglen,",
        "alphabet)` (letters as lists of one-character strings); pyts is",
        "`PiecewiseAggregateApproximation` then `SymbolicAggregateApproximation(strategy='normal')`",
        "(after its first, compiling call);",
        "tslearn is `SymbolicAggregateApproximation` (one run where a run takes over a second).",
        "*Same letters*: the share of pyts's letters equal to ours (its breakpoints are exact",
        "quantiles, ours have two decimals). Ours sums each segment first to last, as the results",
        "require, and returns Python lists of strings; it shares the rows out among the threads,",
        "and small inputs stay on the calling thread.",
        "",
        "| Workload | Ours | pyts | tslearn | Faster peer / ours | Same letters |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        p = row.mine["peers"]
        others = [t for t in (p.get("pyts"), p.get("tslearn")) if t is not None]
        lines.append(
            f"| {row.name} | {ms(p['ours'])} | {ms(p.get('pyts'))} | {ms(p.get('tslearn'))} "
            f"| {ratio(min(others), p['ours']) if others else 'n/a'} "
            f"| {'n/a' if p.get('agree') is None else format(p['agree'], '.4%')} |"
        )
    return "\n".join(lines)


def slope(xs: list[float], ys: list[float]) -> float | None:
    """The least-squares slope of log y against log x (None for fewer than two points)."""
    if len(xs) < 2:
        return None
    lx, ly = [math.log(x) for x in xs], [math.log(y) for y in ys]
    mx, my = statistics.fmean(lx), statistics.fmean(ly)
    return sum((a - mx) * (b - my) for a, b in zip(lx, ly, strict=True)) / sum((a - mx) ** 2 for a in lx)


def render_scaling(points: dict[str, list[dict]], options) -> str:
    lines = [
        "## Scaling",
        "",
        stamp(f"{medians(options.scaling_runs)}, all threads"),
        "",
        "`Miner.mine` on a 2-D float64 array of the shared generator's series (AR(1), coefficient 0.9,",
        "shapes planted into 70% of the series), minsup 0.5, seglen 4, alphabet 5. *Peak above input*:",
        "the high-water mark of resident memory during the runs, above the interpreter with the input",
        "loaded. *Slope*: the least-squares slope of log time (and of log peak) against log size over",
        "the points; 1 is linear.",
    ]
    titles = {
        "series": ("More series, 1,000 samples each", "Series"),
        "samples": ("Longer series, 100 of them", "Samples per series"),
    }
    for axis, found in points.items():
        title, column = titles[axis]
        lines += [
            "",
            f"### {title}",
            "",
            f"| {column} | Input (float64) | Motifs | Time (ms) | Peak above input | Peak / input |",
            "|---|---|---|---|---|---|",
        ]
        for p in found:
            lines.append(
                f"| {p[axis]:,} | {p['input_bytes'] / 2**20:.1f} MiB | {p['motifs']} | {ms(p['seconds'])} "
                f"| {p['above'] / 2**20:.1f} MiB | {ratio(p['above'], p['input_bytes'], 2)} |"
            )
        sizes = [p[axis] for p in found]
        times = slope(sizes, [p["seconds"] for p in found])
        peaks = slope(sizes, [max(p["above"], 1) for p in found])
        if times is None:
            lines += ["", "Too few points for a slope."]
        else:
            lines += ["", f"Slope over {len(found)} points: time {times:.2f}, peak above input {peaks:.2f}."]
    return "\n".join(lines)


def render_runs(found: dict[str, dict], options) -> str:
    lines = [
        "## Runs of one letter",
        "",
        stamp(f"{medians(options.runs)} of ours, in turns; one run of the build before"),
        "",
        "A NaN, or a constant series, normalises the whole series to NaN, which reads as one run of `a`,",
        "and a pattern of k `a`s occurs at every place of that run but the last k - 1. `nan-runs` is",
        "`nan-free`, 10 random walks of 64,000 samples (the shared generator with coefficient 1, nothing",
        "planted), with one NaN in each of the first five; both at minsup 0.5, seglen 4, alphabet 4, from",
        f"the 2-D float64 array (*before*: the build `{BEFORE_RANGES[:12]}`, which held every such",
        "occurrence, on lists). Times in ms; *peak*: the high-water mark of resident memory over the calls,",
        "above the process with its input loaded. *Equal*: one thread, all threads and the build before",
        "give the same results, field by field.",
        "",
        "| Workload | Motifs | Before | One thread | All threads | Before / all | Peak before | Peak "
        "| Equal |",
        "|---|---|---|---|---|---|---|---|---|",
    ]
    for name, row in found.items():
        ours, before = row["ours"], row["before"]
        digests = {ours["one"]["digest"], ours["all"]["digest"], *([before["digest"]] if before else [])}
        same = ("yes" if before else "yes, ours") if len(digests) == 1 else "**no**"
        lines.append(
            f"| {name} | {ours['all']['motifs']} | {ms(before and before['seconds'])} "
            f"| {ms(ours['one']['seconds'])} | {ms(ours['all']['seconds'])} "
            f"| {ratio(before and before['seconds'], ours['all']['seconds'])} "
            f"| {mib(before and before['above'])} | {mib(ours['all']['above'])} | {same} |"
        )
    return "\n".join(lines)


def targets(rows: list[Row]) -> list[tuple[str, str, bool]]:
    """(target, measured, met) for every target that this run measured."""
    found = []
    by_name = {row.name: row for row in rows}
    for threads, name, need in SPEED_TARGETS:
        row = by_name.get(name)
        if row and row.theirs:
            speed = row.theirs["seconds"] / row.mine[threads]["seconds"]
            found.append(
                (
                    f"{name}, {THREAD_WORDS[threads]}: at least {need:g}x the straightforward build",
                    f"{speed:.1f}x",
                    speed >= need,
                )
            )
    for name, need in THREAD_GAIN_TARGETS.items():
        if name in by_name:
            gain = by_name[name].mine["one"]["seconds"] / by_name[name].mine["all"]["seconds"]
            found.append((f"{name}: all threads at least {need:g}x one thread", f"{gain:.2f}x", gain >= need))
    if LONG in by_name:
        seconds = by_name[LONG].mine["all"]["seconds"]
        target = f"{LONG}, all threads, from the 2-D array: under {LONG_SECONDS:g} s"
        found.append((target, f"{seconds:.2f} s", seconds < LONG_SECONDS))
    if "large" in by_name:
        mine, memory = by_name["large"].mine, by_name["large"].memory
        lists = mine["convert"] / mine["convert_array"]
        rows_copy = mine["convert_rows"] / mine["copy_array"]
        peak = memory["above"] / memory["input_bytes"]
        found += [
            ("large: float64 conversion at least 20x faster than lists", f"{lists:.0f}x", lists >= 20),
            ("large: float64 rows within 3x of a plain copy", f"{rows_copy:.2f}x", rows_copy <= 3),
            (
                "large, all threads: peak above the interpreter and the input at most 2x the input",
                f"{peak:.2f}x",
                peak <= 2,
            ),
        ]
    for row in rows:
        p = row.mine.get("peers") or {}
        others = [t for t in (p.get("pyts"), p.get("tslearn")) if t is not None]
        if others:
            ahead = min(others) / p["ours"]
            found.append(
                (f"{row.name}: SAX at least 5x faster than the faster peer", f"{ahead:.1f}x", ahead >= 5)
            )
    return found


def render_targets(rows: list[Row], options) -> str:
    lines = [
        "## Targets",
        "",
        stamp(f"from the sections above, {medians(options.runs)}"),
        "",
        "| Target | Measured | Met |",
        "|---|---|---|",
    ]
    for target, value, met in targets(rows):
        lines.append(f"| {target} | {value} | {'yes' if met else '**no**'} |")
    return "\n".join(lines)


# ---------------------------------------------------------------- driver


def parse() -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--workloads", nargs="+", choices=WORKLOAD_NAMES, help="default: all")
    parser.add_argument("--sections", nargs="+", choices=SECTIONS, help="default: all")
    parser.add_argument("--quick", action="store_true", help="small and typical, one run, no peers")
    parser.add_argument("--workloads-file", default=str(compare.DEFAULT_WORKLOADS))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--baseline", default=compare.DEFAULT_REV, help="revision to measure against")
    parser.add_argument("--no-baseline", action="store_true")
    parser.add_argument(
        "--baseline-long", action="store_true", help="run the baseline on long (about two hours here)"
    )
    parser.add_argument("--no-peers", dest="peers", action="store_false")
    parser.add_argument("--scaling-runs", type=int, default=3)
    parser.add_argument(
        "--scaling-up-to",
        type=int,
        default=10**9,
        help="only the scaling points of at most this many samples",
    )
    parser.add_argument(
        "--output", help="default: BENCHMARKS.md (with --quick: none, the document is printed)"
    )
    parser.add_argument("--worker", choices=WORKERS, help=argparse.SUPPRESS)
    parser.add_argument("--input", choices=["lists", "array"], help=argparse.SUPPRESS)
    parser.add_argument("--array", help=argparse.SUPPRESS)
    parser.add_argument("--params", help=argparse.SUPPRESS)
    parser.add_argument("--theirs", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.quick:
        options.workloads = options.workloads or QUICK
        options.runs, options.peers = 1, False
    if options.sections is None:
        options.sections = WORKLOAD_SECTIONS if options.workloads else SECTIONS
    options.workloads = options.workloads or WORKLOAD_NAMES
    if options.output is None and not options.quick:
        options.output = str(DOCUMENT)
    return options


def main() -> None:
    options = parse()
    if options.worker:
        print(json.dumps(WORKERS[options.worker](options)))
        return

    module = inputs.table(Path(options.workloads_file))
    output = Path(options.output) if options.output else None
    chosen = set(options.sections)
    new = {}
    if chosen & set(WORKLOAD_SECTIONS):
        kept = previous_long([p for p in (output, DOCUMENT) if p], options.baseline)
        rows, options.long_record = measure_workloads(options, module, kept)
        renderers = {"end-to-end": render_end_to_end, "arrays": render_arrays, "targets": render_targets}
        if options.peers:
            renderers["peers"] = render_peers
        new.update({name: render(rows, options) for name, render in renderers.items() if name in chosen})
    if "scaling" in chosen:
        new["scaling"] = render_scaling(measure_scaling(options, module), options)
    if "runs" in chosen:
        new["runs"] = render_runs(measure_runs(options, module), options)
    print(document(new, None))
    if output:
        output.write_text(document(new, output))
        print(f"wrote {output}", file=sys.stderr)


if __name__ == "__main__":
    main()
