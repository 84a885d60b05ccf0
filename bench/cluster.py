"""Mining a float64 zarr store larger than each worker's memory on a LocalCluster, against one process.

    python bench/cluster.py [--series 50000] [--samples 10000] [--memory-limit 1.5GiB] [--no-single]
                                [--store /tmp/kez-bench] [--no-write]

Writes the store itself (AR(1) series, coefficient 0.9, a bump planted into 70% of them; the same rows
also as a .npy file), mines it with `kez.mine_distributed(..., averages=False)` on two single-threaded
worker processes, each limited to `--memory-limit` (their C library told to map every allocation of
64 KiB or more, so that a spilled shard's memory goes back to the system), and measures the time of
each stage, the driver's peak resident memory above where it started, each worker's peak, and the
bytes gathered to the driver
(the arrays' payload: letters, average windows, best matches). Unless `--no-single`, `Miner.mine` then
runs on the .npy file memory-mapped in a process of its own, and every field of its motifs but the
averages must equal the cluster's, bit for bit (the benchmark fails otherwise). The table goes into
its own section of BENCHMARKS.md.
"""

from __future__ import annotations

import argparse
import hashlib
import json
import shutil
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
import sections  # noqa: E402

import kez  # noqa: E402
from reference import FIELDS  # noqa: E402

PARAMS = dict(minsup=0.5, seglen=16, alphabet=5)
ROWS_PER_CHUNK = 1000
BATCH_BYTES = 1 << 30


def digest(motifs) -> str:
    """Every field but the averages, floats by bit pattern and dicts in key order, hashed."""
    hashed = hashlib.sha256()
    for m in motifs:
        hashed.update(
            repr([get(m) for name, get in FIELDS.items() if name != "average_occurrences"]).encode()
        )
    return hashed.hexdigest()


def generate(folder: Path, series: int, samples: int) -> tuple[str, str]:
    """The store and the .npy file of the same rows, written block by block (never whole in memory)."""
    zarr = __import__("zarr")
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    store = str(folder / "series.zarr")
    npy = str(folder / "series.npy")
    z = zarr.open_array(
        store,
        mode="w",
        shape=(series, samples),
        chunks=(ROWS_PER_CHUNK, samples),
        dtype="f8",
        compressor=None,
    )
    flat = np.lib.format.open_memmap(npy, mode="w+", dtype="f8", shape=(series, samples))
    rng = np.random.default_rng(2026)
    bump = 3.0 * np.sin(np.pi * np.arange(64) / 64)
    for lo in range(0, series, ROWS_PER_CHUNK):
        hi = min(lo + ROWS_PER_CHUNK, series)
        noise = rng.standard_normal((hi - lo, samples))
        block = np.empty_like(noise)
        level = np.zeros(hi - lo)
        for i in range(samples):
            level = 0.9 * level + noise[:, i]
            block[:, i] = level
        for r in np.flatnonzero(rng.random(hi - lo) < 0.7):
            at = rng.integers(0, samples - 64)
            block[r, at : at + 64] += bump
        z[lo:hi] = block
        flat[lo:hi] = block
    flat.flush()
    del flat
    return store, npy


class Peak:
    """The highest resident memory of this process, sampled every 10 ms while running."""

    def __init__(self) -> None:
        import psutil

        self.process = psutil.Process()
        self.start = self.high = self.process.memory_info().rss
        self.done = threading.Event()
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self) -> None:
        while not self.done.wait(0.01):
            self.high = max(self.high, self.process.memory_info().rss)

    def stop(self) -> int:
        self.done.set()
        self.thread.join()
        return self.high - self.start


def worker_peak() -> int:
    """This process's peak resident memory since it started its program: the address space's high-water
    mark, which, unlike ru_maxrss, does not carry over the parent's from before the worker was spawned."""
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    raise RuntimeError("no VmHWM in /proc/self/status")


SINGLE = """
import json, resource, sys, time
import numpy as np
sys.path.insert(0, {bench!r}); sys.path.insert(0, {tests!r})
import kez
from cluster import digest
series = np.load({npy!r}, mmap_mode="r")
start = time.perf_counter()
motifs = kez.Miner(**{params!r}).mine(series)
seconds = time.perf_counter() - start
print(json.dumps(dict(seconds=seconds, peak=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                      digest=digest(motifs), motifs=len(motifs))))
"""


def single(npy: str) -> dict:
    """Miner.mine on the memory-mapped file in a fresh process: its time, peak and digest."""
    script = SINGLE.format(
        bench=str(Path(__file__).resolve().parent),
        tests=str(Path(__file__).resolve().parent.parent / "tests"),
        npy=npy,
        params=PARAMS,
    )
    done = subprocess.run(
        [sys.executable, "-c", script],
        capture_output=True,
        text=True,
        check=True,
        cwd=str(Path(__file__).resolve().parent),
    )
    return json.loads(done.stdout.strip().splitlines()[-1])


def gathered(motifs, series: int, samples: int) -> dict[str, int]:
    """The payload gathered to the driver: letters, the average windows and one best match per entry."""
    entries = sum(len(m.best_matches) for m in motifs)
    windows = sum(len(m.best_matches) * m.length for m in motifs)
    return dict(letters=series * -(-samples // PARAMS["seglen"]), averages=8 * windows, best=12 * entries)


def scaling(samples: int, stages: dict[str, float], sent: dict[str, int]) -> str:
    """What the measured per-round costs say of 1e10 samples on machines like this one, per round."""
    times = 1e10 / samples
    spread = stages["shards_and_letters"] + stages["mapping"]
    return (
        f"**Towards 1e10 samples** (80 GB of float64, {times:.0f} times this input), from the rounds above: "
        f"the rounds on the workers (reading, normalising and discretising; averages and best matches) took "
        f"{spread:.0f} s here on 2 cores, and grow with the samples per core, so on N machines like this one "
        f"about {spread * times:,.0f} / N s; mining the letters on the driver took {stages['mining']:.1f} s, "
        f"and stays on one machine whatever N: about {stages['mining'] * times:,.0f} s if it grows with the "
        f"letters as it did here, and more for a collection with more frequent patterns. The letters "
        f"gathered to the driver would be {sent['letters'] * times / 2**30:,.1f} GiB, the best matches "
        f"{sent['best'] * times / 2**30:,.1f} GiB, and the average windows, a batch at a time, "
        f"{sent['averages'] * times / 2**30:,.0f} GiB in all, streamed through the network: at 1 GB/s that "
        f"alone is {sent['averages'] * times / 1e9:,.0f} s. Past about "
        f"{spread * times / (stages['mining'] * times + sent['averages'] * times / 1e9):.0f} machines, then, "
        f"the averages' traffic and the driver's mining, not the workers, set the pace. Here the workers' "
        f"rounds are slow because every batch of averages, and the best matches after them, is a pass over "
        f"every shard, and with the shards spilled that is a reload of the whole input from disk each time "
        f"({-(-sent['averages'] // BATCH_BYTES) + 1} passes here): a larger `batch_bytes` means fewer passes "
        f"and a larger driver peak, which grows with it (one batch arrives whole before it is folded), while "
        f"the workers' stays under their memory limit."
    )


def commit() -> str:
    done = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True, check=False
    )
    return done.stdout.strip() or "unknown"


def mib(n: float) -> str:
    return f"{n / 2**20:,.0f} MiB"


def main() -> None:
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--series", type=int, default=50_000)
    parser.add_argument("--samples", type=int, default=10_000)
    parser.add_argument("--memory-limit", default="1.5GiB")
    parser.add_argument("--store", default="/tmp/kez-bench")
    parser.add_argument("--no-single", action="store_true")
    parser.add_argument("--no-write", action="store_true")
    args = parser.parse_args()
    import dask
    from distributed import Client, LocalCluster

    start = time.perf_counter()
    store, npy = generate(Path(args.store), args.series, args.samples)
    input_bytes = 8 * args.series * args.samples
    print(f"wrote {mib(input_bytes)} in {time.perf_counter() - start:.0f} s", flush=True)

    # A worker spills and reloads its shards; each series is an allocation of its own, below the size the C
    # library maps by itself, so the memory of a spilled shard would stay in the worker's heap and count
    # against its limit. Mapped, it goes back to the system when the shard goes to disk.
    dask.config.set({"distributed.nanny.pre-spawn-environ.MALLOC_MMAP_THRESHOLD_": 65536})
    with (
        LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=None,
            memory_limit=args.memory_limit,
            local_directory=args.store,
        ) as cluster,
        Client(cluster) as client,
    ):
        marks: dict[str, float] = {}

        def report(stage: str, done: int, total: int) -> None:
            marks.setdefault(stage, time.perf_counter())

        peak = Peak()
        start = time.perf_counter()
        motifs = kez.mine_distributed(
            client, store, **PARAMS, averages=False, report=report, batch_bytes=BATCH_BYTES
        )
        end = time.perf_counter()
        driver = peak.stop()
        workers = sorted(client.run(worker_peak).values())
    cluster_digest = digest(motifs)
    sent = gathered(motifs, args.series, args.samples)
    stages = dict(
        shards_and_letters=marks["grow"] - start,
        mining=marks["map"] - marks["grow"],
        mapping=end - marks["map"],
    )
    print(
        f"cluster: {end - start:.1f} s {stages}, driver +{mib(driver)}, workers {[mib(w) for w in workers]}, "
        f"gathered {sent}",
        flush=True,
    )

    one = None
    if not args.no_single:
        one = single(npy)
        print(f"one process: {one['seconds']:.1f} s, peak {mib(one['peak'])}", flush=True)
        if one["digest"] != cluster_digest or one["motifs"] != len(motifs):
            raise SystemExit("the cluster's motifs differ from one process's")
    shutil.rmtree(args.store, ignore_errors=True)

    rows = [
        ("Input (float64 zarr, uncompressed)", f"{args.series:,} x {args.samples:,} = {mib(input_bytes)}"),
        ("Workers", f"2 processes x 1 thread, memory limit {args.memory_limit} each"),
        ("Motifs", f"{len(motifs)}"),
        ("Time, all", f"{end - start:.1f} s"),
        (
            "Time, shards read, normalised, discretised; letters gathered",
            f"{stages['shards_and_letters']:.1f} s",
        ),
        ("Time, patterns mined on the driver", f"{stages['mining']:.1f} s"),
        ("Time, averages and best matches (rounds 2 and 3)", f"{stages['mapping']:.1f} s"),
        ("Driver peak above its start", mib(driver)),
        ("Worker peaks", ", ".join(mib(w) for w in workers)),
        ("Gathered: letters", mib(sent["letters"])),
        ("Gathered: average windows (a batch at a time)", mib(sent["averages"])),
        ("Gathered: best matches", mib(sent["best"])),
    ]
    if one is not None:
        rows += [
            (
                "One process, Miner.mine on the memory-mapped .npy",
                f"{one['seconds']:.1f} s, peak {mib(one['peak'])}",
            ),
            ("Same motifs (every field but the averages, by bit pattern)", "yes"),
        ]
    text = "\n".join(
        [
            "## On a cluster, bigger than a worker's memory",
            "",
            f"*Measured on {time.strftime('%Y-%m-%d')} at commit {commit()} by `bench/cluster.py` with its "
            "defaults; one run.*",
            "",
            f"`kez.mine_distributed(client, store, minsup={PARAMS['minsup']}, seglen={PARAMS['seglen']}, "
            f"alphabet={PARAMS['alphabet']}, averages=False, batch_bytes={BATCH_BYTES})` "
            "on a LocalCluster of this machine.",
            "",
            "| | |",
            "|---|---|",
            *[f"| {name} | {value} |" for name, value in rows],
            "",
            scaling(args.series * args.samples, stages, sent),
        ]
    )
    print(text)
    if not args.no_write:
        sections.write("bench/cluster.py", text)


if __name__ == "__main__":
    main()
