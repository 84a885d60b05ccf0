"""Ctrl-C stops a long mine at once and leaves the miner as good as new."""

import json
import select
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

# The child builds a workload that runs for many minutes, says so, and mines it. It then reports when
# KeyboardInterrupt reached it (CLOCK_MONOTONIC is shared by all processes) and how the miner behaves after.
CHILD = r"""
import json, math, os, random, resource, sys, time
from conftest import snapshot
from _kez_cpp import Miner, PatternMiner

# A miner that did not stop must not take the machine's memory down with it. A sanitizer runtime
# reserves terabytes of address space up front, so under one the limit is left to the sanitizer.
if "LD_PRELOAD" not in os.environ:
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
rng = random.Random(5)
kind = sys.argv[1]
progress = sys.argv[2] == "progress"

def walk(samples):
    x, values = 0.0, []
    for _ in range(samples):
        x += rng.gauss(0.0, 1.0)
        values.append(x)
    return values

if kind == "Miner":
    # A support of half a percent over 400 long random walks with fine segments keeps thousands of
    # patterns out of millions of candidates: about 45 s uninterrupted on an idle machine.
    big = [walk(4000) for _ in range(400)]
    make = lambda: Miner(0.005, 2, 10)
    small = [[math.sin(0.3 * i + s) + (3.0 if 5 * s <= i < 5 * s + 8 else 0.0) for i in range(60)]
             for s in range(8)]
    def result(miner):
        return [snapshot(m) for m in miner.motifs]
else:
    # minsup 0 keeps every candidate: 60 letters grow 216000 patterns of length 3, and pruning
    # them pairwise would take hours.
    letters = [chr(40 + i) for i in range(60)]
    big = [[rng.choice(letters) for _ in range(200)] for _ in range(50)]
    make = lambda: PatternMiner(0.0, 1, 3)
    small = [list("abcabd"), list("abdabc"), list("cabdab")]
    def result(miner):
        return [(key, snapshot(m)) for key, m in miner.frequent.items()]

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
    ("kind", "progress"),
    [("Miner", "plain"), ("PatternMiner", "plain"), ("Miner", "progress"), ("PatternMiner", "progress")],
    ids=["Miner", "PatternMiner", "Miner-with-progress-bars", "PatternMiner-with-progress-bars"],
)
def test_sigint_stops_a_long_mine_and_leaves_the_miner_usable(kind, progress):
    with subprocess.Popen(
        [sys.executable, "-c", CHILD, kind, progress],
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
