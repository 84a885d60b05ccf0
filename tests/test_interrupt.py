"""Ctrl-C stops a long call at once, whatever stage it is in, and leaves the miner as good as new."""

import json
import select
import signal
import subprocess
import sys
import time
import timeit
from pathlib import Path

import pytest

from _kez_cpp import sax

TESTS = Path(__file__).resolve().parent

# The child builds a workload that runs for many minutes, says so, and mines it. It then reports when
# KeyboardInterrupt reached it (CLOCK_MONOTONIC is shared by all processes) and how the miner behaves after.
CHILD = r"""
import json, math, os, random, resource, sys, time
from fractions import Fraction
import numpy as np
from reference import snapshot
from _kez_cpp import Miner, PatternMiner, sax

# A miner that did not stop must not take the machine's memory down with it. A sanitizer runtime
# reserves terabytes of address space up front, so under one the limit is left to the sanitizer.
if "LD_PRELOAD" not in os.environ:
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
rng = random.Random(5)
kind, stage = sys.argv[1], sys.argv[2]
# The same long mine showing progress bars: Ctrl-C must stop it as well.
progress = stage == "mining-with-progress"
stage = "mining" if progress else stage

def walk(samples):
    x, values = 0.0, []
    for _ in range(samples):
        x += rng.gauss(0.0, 1.0)
        values.append(x)
    return values

def rows(count, width):
    # One long random walk seen `count` times: a large table that takes no memory of its own.
    return np.broadcast_to(np.array(walk(width)), (count, width))

if kind == "Miner":
    # A support of half a percent over 400 long random walks with fine segments keeps thousands of
    # patterns out of millions of candidates: about 45 s uninterrupted on an idle machine.
    big = {
        "mining": lambda: [walk(4000) for _ in range(400)],
        # Normalising and cutting 2000 rows of a million samples takes several seconds by itself.
        "normalising": lambda: rows(2000, 10**6),
        # Each value converts by a Python __float__, which is where the interrupt lands.
        "converting": lambda: [[Fraction(1, 3)] * 10**6] * 40,
    }[stage]()
    make = lambda: Miner(0.005, 2, 10) if stage == "mining" else Miner(0.5, 1000, 5, 1)
    small = [[math.sin(0.3 * i + s) + (3.0 if 5 * s <= i < 5 * s + 8 else 0.0) for i in range(60)]
             for s in range(8)]
    def result(miner):
        return [snapshot(m) for m in miner.motifs]
elif kind == "PatternMiner":
    # minsup 0 keeps every candidate: 60 letters grow 216000 patterns of length 3, and pruning
    # them pairwise would take hours. Converting 300 million symbols takes several seconds.
    letters = [chr(40 + i) for i in range(60)]
    big = {
        "mining": lambda: [[rng.choice(letters) for _ in range(200)] for _ in range(50)],
        "converting": lambda: [letters * 16_000] * 300,
    }[stage]()
    make = lambda: PatternMiner(0.0, 1, 3)
    small = [list("abcabd"), list("abdabc"), list("cabdab")]
    def result(miner):
        return [(key, snapshot(m)) for key, m in miner.frequent.items()]
else:
    # Tens of billions of samples, read in place without the lock, or row by row from a strided view.
    big = {
        "in-place": lambda: rows(20_000, 10**6),
        "strided": lambda: rows(20_000, 2 * 10**6)[:, ::2],
    }[stage]()
    small = np.array([walk(60) for _ in range(8)])

    class make:
        def mine(self, ts):
            self.letters = sax(ts, 10**5 if ts is big else 4, 5)

    def result(miner):
        return getattr(miner, "letters", [])

miner = make()
print("mining", flush=True)
try:
    if progress:
        import kez
        kez.with_progress(miner).mine(big)
    else:
        miner.mine(big)
except KeyboardInterrupt:
    caught = time.monotonic()
else:
    print(json.dumps({"finished": True}))
    sys.exit()
left = result(miner)
if kind == "Miner":
    returned = [snapshot(m) for m in miner.mine(small)]
    assert returned == result(miner)
else:
    miner.mine(small)
fresh = make()
fresh.mine(small)
print(json.dumps({"caught": caught, "left": len(left), "again": result(miner) == result(fresh),
                  "found": len(result(fresh))}))
"""


@pytest.mark.parametrize(
    ("kind", "stage"),
    [
        ("Miner", "mining"),
        ("Miner", "normalising"),
        ("Miner", "converting"),
        ("Miner", "mining-with-progress"),
        ("PatternMiner", "mining"),
        ("PatternMiner", "converting"),
        ("PatternMiner", "mining-with-progress"),
        ("sax", "in-place"),
        ("sax", "strided"),
    ],
    ids=lambda value: value,
)
def test_sigint_stops_a_long_mine_and_leaves_the_miner_usable(kind, stage):
    with subprocess.Popen(
        [sys.executable, "-c", CHILD, kind, stage],
        cwd=TESTS,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    ) as child:
        try:
            ready, _, _ = select.select([child.stdout], [], [], 120)
            assert ready and child.stdout.readline() == "mining\n", child.stderr.read()
            time.sleep(1.0)  # well inside the native call
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            try:
                out, err = child.communicate(timeout=30)
            except subprocess.TimeoutExpired:
                pytest.fail(f"{kind}.mine did not stop within 30 s of SIGINT")
        finally:
            child.kill()
            child.wait()
    assert child.returncode == 0, err
    report = json.loads(out)
    assert "finished" not in report, "the workload finished before the interrupt: make it bigger"
    latency = report["caught"] - sent
    print(f"{kind}: KeyboardInterrupt {latency * 1000:.0f} ms after SIGINT")
    assert 0 < latency < 2.0, latency
    assert report["left"] == 0  # an interrupted mine leaves nothing behind
    assert report["again"] and report["found"] > 0


def test_ctrl_c_stops_a_long_read_of_lists_of_floats_early():
    # The pool's workers read the lists in batches of some milliseconds, with a look for Ctrl-C between
    # batches: a read interrupted a tenth of the way through stops long before its end.
    lists = [[0.5] * 100_000] * 400

    def read():
        sax(lists, -(2**31), 5)  # no segment that long: the call only reads its argument

    whole = min(timeit.repeat(read, number=1, repeat=2))
    previous = signal.signal(signal.SIGALRM, signal.default_int_handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, whole / 10)
        start = time.monotonic()
        with pytest.raises(KeyboardInterrupt):
            read()
        stopped = time.monotonic() - start
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert stopped < whole / 2, (stopped, whole)


# Cases that once hung for good, each run in a child with a time limit; each prints what it caught.
HUNG = {
    # A worker failing on an earlier part, after the calling thread's callback raised: the worker once freed
    # the Python error, which needs the interpreter lock that the waiting calling thread held.
    "worker-fails-after-the-callback": (
        """
import kez
kez.set_threads(2)
data = [[] for _ in range(2_000_000)]; data[499_999] = [1.0, 2.0, 3.0]
def report(stage, done, total):
    if stage == "discretise" and done > 0: raise ValueError("stop")
for _ in range(3):
    try: kez.with_progress(kez.Miner(0.5, -1, 3), report).mine(data)
    except ValueError as error: print(error)
""",
        {"stop", "cannot create std::vector larger than max_size()"},
    ),
    # A child of fork, made while another thread mines on the same miner, whose hold on it the child inherits.
    "fork-while-another-thread-mines": (
        """
import os, threading, time
import numpy as np
import _kez_cpp, kez
walk = np.cumsum(np.random.default_rng(1).normal(size=10**6))
miner = kez.Miner(0.5, 4, 5)
# Normalising 2000 rows of a million samples takes seconds, and they all lie in one row's memory.
threading.Thread(target=miner.mine, args=(np.broadcast_to(walk, (2000, 10**6)),), daemon=True).start()
time.sleep(0.5)
pid = os.fork()
if pid == 0:
    _kez_cpp._split_everything(True)  # the child's pool runs too
    small = [walk[i : i + 80] for i in range(0, 800, 100)]
    same = [m.pattern for m in miner.mine(small)] == [m.pattern for m in kez.Miner(0.5, 4, 5).mine(small)]
    print("same" if same and miner.motifs else "differs", flush=True)
    os._exit(0)
os.waitpid(pid, 0)
os._exit(0)
""",
        {"same"},
    ),
}


@pytest.mark.parametrize(("script", "caught"), HUNG.values(), ids=HUNG.keys())
def test_what_once_hung_finishes(script, caught):
    try:
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("hung")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines and set(lines) <= caught, done.stdout
