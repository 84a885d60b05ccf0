"""Compares this build of _kez_cpp with the build of another git revision, result by result.

    python bench/compare.py [REV] [--workloads small typical] [--random 300] [--threads 1 all]

REV (default: the straightforward build, STRAIGHTFORWARD below) is exported with `git archive`, installed into
a virtual environment of its own under build/, and both builds run in separate
subprocesses (both modules are named _kez_cpp) on the same inputs: the named
workloads and a few hundred seeded random small cases. Every field of every result
is compared (floats by bit pattern, dicts in key order, exceptions by type and
message) and the time ratio is reported pair by pair. The current build runs once per
entry of --threads (a number, or `all` for one per core); with more than one thread
the random cases are split into the smallest parts, so that even they go through the
threads. The exit status is 1 when any difference is found.
"""

from __future__ import annotations

import argparse
import hashlib
import pickle
import subprocess
import sys
import tarfile
import tempfile
import time
import venv
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests"))

from reference import FIELDS  # noqa: E402 - found through the path above

DEFAULT_WORKLOADS = ROOT.parent / "shared" / "bench" / "workloads.py"
# The straightforward build: the last commit before the first optimisation, named by its hash because
# tags do not travel with a clone.
STRAIGHTFORWARD = "acc5ea3df7735f989ea028eaed0849bb12200077"
DEFAULT_REV = STRAIGHTFORWARD
WORKLOAD_NAMES = ["small", "typical", "low-support", "fine-grained", "large"]


# ---------------------------------------------------------------- building REV


def build_rev(rev: str, quiet: bool = True) -> Path:
    """Installs REV into build/rev-<commit>/venv (reused when present); returns its interpreter."""
    commit = subprocess.run(
        ["git", "rev-parse", "--verify", f"{rev}^{{commit}}"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.strip()
    home = ROOT / "build" / f"rev-{commit[:12]}"
    python = home / "venv" / "bin" / "python"
    marker = home / "installed"
    if marker.exists():
        return python
    home.mkdir(parents=True, exist_ok=True)
    source = home / "src"
    with tempfile.TemporaryDirectory() as tmp:
        archive = Path(tmp) / "src.tar"
        subprocess.run(["git", "archive", "--format=tar", "-o", str(archive), commit], cwd=ROOT, check=True)
        with tarfile.open(archive) as tar:
            tar.extractall(source)
    venv.EnvBuilder(with_pip=True, clear=True).create(home / "venv")
    print(f"building {rev} ({commit[:12]}) in {home} ...", file=sys.stderr, flush=True)
    subprocess.run(
        [str(python), "-m", "pip", "install", *(["-q"] if quiet else []), str(source)],
        check=True,
        stdout=subprocess.DEVNULL if quiet else None,
    )
    marker.write_text(commit + "\n")
    return python


# ---------------------------------------------------------------- cases


def load_workloads(path: Path):
    if not path.is_file():
        sys.exit(
            f"workloads file not found: {path}\n"
            "pass its location with --workloads-file (it is read, never copied into the project)"
        )
    import importlib.util

    found = importlib.util.spec_from_file_location("kez_bench_workloads", path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def random_series(rng, length: int) -> list[float]:
    kind = rng.random()
    if kind < 0.1:
        return [rng.choice([1.0, -2.5, 0.1])] * length  # constant
    if kind < 0.25:
        return [float(rng.randint(-2, 2)) for _ in range(length)]  # ties everywhere
    level, values = 0.0, []
    for _ in range(length):
        level = 0.8 * level + rng.gauss(0.0, 1.0)
        values.append(level)
    if length and rng.random() < 0.3:
        for _ in range(rng.randint(1, 3)):
            values[rng.randrange(length)] = float("nan")
    if length and rng.random() < 0.05:
        values[rng.randrange(length)] = rng.choice([float("inf"), float("-inf")])
    return values


def random_cases(seed: int, count: int) -> list[tuple[str, str, tuple]]:
    """(name, kind, arguments) triples; kind is miner, patterns or sax."""
    import random

    rng = random.Random(seed)
    cases = []
    for n in range(count):
        roll = rng.random()
        if roll < 0.5:
            series = [
                random_series(rng, rng.choice([0, 1, 2, 3, rng.randint(4, 40), rng.randint(40, 160)]))
                for _ in range(rng.randint(0, 12))
            ]
            params = dict(
                minsup=rng.choice([0.0, 0.1, 0.3, 0.5, 0.8, 1.0, 1.5]),
                seglen=rng.choice([1, 2, 3, 4, 5]),
                alphabet=rng.choice([0, 1, 2, 3, 4, 5, 8, 10]),
                min_len=rng.choice([-1, 0, 1, 2, 3, 5]),
                max_len=rng.choice([0, 0, 0, 1, 2, 4, 6]),
                max_overlap=rng.choice([-0.5, 0.0, 0.3, 0.5, 0.9, 0.9, 1.0, float("nan")]),
                k=rng.choice([0, 0, 1, 3, 10]),
            )
            if params["minsup"] == 0.0 and params["max_len"] != 0:
                params["max_len"] = rng.choice([1, 2, 3])  # every candidate passes: keep the levels small
            cases.append((f"random-miner-{n}", "miner", (params, series)))
        elif roll < 0.85:
            if rng.random() < 0.3:
                alphabet = [chr(c) for c in range(256)]
                width = rng.choice([2, 3, 256])
                alphabet = rng.sample(alphabet, width)
            else:
                alphabet = list("abcdefghij"[: rng.randint(1, 6)])
            ds = [
                [
                    rng.choice(alphabet)
                    for _ in range(rng.choice([0, 1, 2, rng.randint(3, 30), rng.randint(30, 90)]))
                ]
                for _ in range(rng.randint(0, 12))
            ]
            params = dict(
                minsup=rng.choice([0.1, 0.2, 0.5, 0.7, 1.0, 2.0]),
                min_len=rng.choice([-2, 0, 1, 2, 3, 4]),
                max_len=rng.choice([0, 0, 1, 2, 3, 5, -1]),
                max_overlap=rng.choice([-1.0, 0.0, 0.4, 0.5, 0.75, 0.9, 1.0, float("nan")]),
            )
            cases.append((f"random-patterns-{n}", "patterns", (params, ds)))
        else:
            ts = [
                random_series(rng, rng.choice([0, 1, 5, rng.randint(6, 50)]))
                for _ in range(rng.randint(0, 6))
            ]
            seglen = rng.choice([-3, -1, 0, 1, 2, 3, 7])
            alphabet = rng.choice([-1, 0, 1, 2, 3, 5, 10, 11])
            cases.append((f"random-sax-{n}", "sax", (ts, seglen, alphabet)))
    return cases


# ---------------------------------------------------------------- worker side


def digest(value) -> tuple[str, str]:
    text = repr(value)
    return hashlib.sha256(text.encode()).hexdigest(), text[:160]


def motif_fields(motif) -> dict:
    """Every field of a motif (floats by bit pattern, dicts in key order), hashed, with a preview."""
    fields = {}
    # The snapshot's fields with the repr second, in the order earlier digests were taken in.
    getters = {"pattern": FIELDS["pattern"], "repr": repr, **FIELDS}
    for name, get in getters.items():
        try:
            fields[name] = digest(get(motif))
        except Exception as error:  # noqa: BLE001 - the failure itself is the value compared
            fields[name] = digest(("raised", type(error).__name__, str(error)))
    return fields


def run_case(module, kind: str, args: tuple):
    """Returns (outcome, seconds): outcome is ('ok', result fields) or ('raised', type, message)."""
    start = time.perf_counter()
    try:
        if kind == "miner":
            params, series = args
            miner = module.Miner(**params)
            result = miner.mine(series)
            seconds = time.perf_counter() - start
            value = {
                "result": [motif_fields(m) for m in result],
                "motifs": [motif_fields(m) for m in miner.motifs],
            }
        elif kind == "patterns":
            params, ds = args
            miner = module.PatternMiner(**params)
            miner.mine(ds)
            frequent = miner.frequent
            seconds = time.perf_counter() - start
            value = {"frequent": [(digest(key), motif_fields(m)) for key, m in frequent.items()]}
        else:
            ts, seglen, alphabet = args
            result = module.sax(ts, seglen, alphabet)
            seconds = time.perf_counter() - start
            value = {"sax": digest(result)}
        return ("ok", value), seconds
    except Exception as error:  # noqa: BLE001
        return ("raised", type(error).__name__, str(error)), time.perf_counter() - start


def worker(options) -> None:
    import _kez_cpp

    threads = options.worker_threads
    if threads is not None:
        _kez_cpp._set_threads(threads)
    results = {"module": _kez_cpp.__file__, "cases": []}
    for name, kind, args in iter_cases(options):
        if threads is not None:
            _kez_cpp._split_everything(threads != 1 and name.startswith("random"))
        outcome, seconds = run_case(_kez_cpp, kind, args)
        results["cases"].append((name, outcome, seconds))
    with open(options.output, "wb") as out:
        pickle.dump(results, out)


def iter_cases(options):
    if options.workloads:
        module = load_workloads(Path(options.workloads_file))
        for name in options.workloads:
            series, params = module.build(name)
            yield f"workload-{name}", "miner", (params, series)
    yield from random_cases(options.seed, options.random)


# ---------------------------------------------------------------- comparing


def compare_outcomes(a, b) -> list[str]:
    if a[0] != b[0] or a[0] == "raised":

        def shown(o):
            return o if o[0] == "raised" else "ok"

        return [] if a == b else [f"outcome: {shown(a)} != {shown(b)}"]
    diffs = []
    for key in a[1]:
        x, y = a[1][key], b[1][key]
        if key == "sax":
            if x != y:
                diffs.append(f"sax: {x[1]} != {y[1]}")
            continue
        if len(x) != len(y):
            diffs.append(f"{key}: {len(x)} entries != {len(y)} entries")
        for i, (u, v) in enumerate(zip(x, y, strict=False)):
            if key == "frequent":
                if u[0] != v[0]:
                    diffs.append(f"frequent key order [{i}]: {u[0][1]} != {v[0][1]}")
                u, v = u[1], v[1]
            for field in u:
                if u[field][0] != v[field][0]:
                    diffs.append(f"{key}[{i}].{field}: {u[field][1]} != {v[field][1]}")
    return diffs


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("rev", nargs="?", default=DEFAULT_REV)
    parser.add_argument("--workloads", nargs="*", default=WORKLOAD_NAMES, choices=WORKLOAD_NAMES)
    parser.add_argument("--workloads-file", default=str(DEFAULT_WORKLOADS))
    parser.add_argument("--random", type=int, default=300, help="number of random small cases")
    parser.add_argument("--seed", type=int, default=20261208)
    parser.add_argument("--python", default=sys.executable, help="interpreter that imports the current build")
    parser.add_argument("--verbose", action="store_true", help="show every random pair")
    parser.add_argument(
        "--threads",
        nargs="+",
        default=["1", "all"],
        help="thread counts for the current build ('all': one per core)",
    )
    parser.add_argument("--worker-threads", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    parser.add_argument("--output", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.worker:
        worker(options)
        return
    if options.workloads:
        load_workloads(Path(options.workloads_file))  # fail early with a clear message

    other = build_rev(options.rev)
    runs = {}
    counts = [0 if t == "all" else int(t) for t in options.threads]
    with tempfile.TemporaryDirectory() as tmp:
        jobs = [
            (f"current, {t} threads", options.python, n) for t, n in zip(options.threads, counts, strict=True)
        ]
        for label, python, threads in [*jobs, (options.rev, str(other), None)]:
            out = Path(tmp) / f"{len(runs)}.pickle"
            command = [python, str(Path(__file__).resolve()), "--worker", "--output", str(out)]
            command += ["--workloads", *options.workloads, "--workloads-file", options.workloads_file]
            command += ["--random", str(options.random), "--seed", str(options.seed)]
            if threads is not None:
                command += ["--worker-threads", str(threads)]
            # Run outside the repository so that the interpreter imports its installed build.
            subprocess.run(command, check=True, cwd=tmp)
            with open(out, "rb") as f:
                runs[label] = pickle.load(f)

    theirs = runs[options.rev]
    total = 0
    for label, _, _ in jobs:
        total += report(label, runs[label], options.rev, theirs, options)
    print(f"\n{total} differences in {len(theirs['cases'])} cases x {len(jobs)} runs")
    sys.exit(1 if total else 0)


def report(label: str, mine: dict, rev: str, theirs: dict, options) -> int:
    """Prints one run of the current build against REV's; returns its number of differences."""
    print(f"\n{label}: {mine['module']}\n{rev}: {theirs['module']}\n")
    total = 0
    random_new = random_old = 0.0
    print(f"{'case':<28} {'diffs':>5} {'current s':>10} {rev + ' s':>28} {'speed-up':>9}")
    for (name, a, ta), (name_b, b, tb) in zip(mine["cases"], theirs["cases"], strict=True):
        assert name == name_b
        diffs = compare_outcomes(a, b)
        total += len(diffs)
        if name.startswith("random"):
            random_new += ta
            random_old += tb
        if not name.startswith("random") or diffs or options.verbose:
            print(f"{name:<28} {len(diffs):>5} {ta:>10.4f} {tb:>28.4f} {tb / max(ta, 1e-9):>8.1f}x")
        for d in diffs[:10]:
            print(f"    {d}")
    if options.random:
        case = f"random ({options.random} cases)"
        ratio = random_old / max(random_new, 1e-9)
        print(f"{case:<28} {'':>5} {random_new:>10.4f} {random_old:>28.4f} {ratio:>8.1f}x")
    return total


if __name__ == "__main__":
    main()
