"""Under an address-space limit a call raises MemoryError or returns the right result; the process lives."""

import json
import os
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

TESTS = Path(__file__).resolve().parent

# The child sets a limit some megabytes above what it uses, makes each call, lifts the limit, and reports
# whether the call raised MemoryError, raised something else, or returned what it returns without a limit.
# A process of its own per headroom: the pool's workers start under the limit, as in a program that sets one
# before its first call, and a fault that ends the process ends only the child.
CHILD = r"""
import json, pickle, queue, resource, sys, threading
import numpy as np
import _kez_cpp as k
from reference import snapshot

table = np.random.default_rng(0).standard_normal((200, 8000))
lists = table.tolist()
small = table[:60, :1000]
k._set_threads(1)
miner = k.Miner(0.2, 40, 4, max_len=8)
motifs = miner.mine(small)
symbols = k.sax(table, 10, 4)
patterns = k.PatternMiner(0.3, 3, 6)
patterns.mine(symbols)
k._set_threads(0)

# An interpreter thread started before the limit, which enters the module only under it.
calls, answers = queue.Queue(), queue.Queue()
def serve():
    for call in iter(calls.get, None):
        answers.put(attempt(call))
def elsewhere(call):
    calls.put(call)
    answer = answers.get()
    if isinstance(answer, BaseException):
        raise answer
    return answer
def attempt(call):
    try:
        return call()
    except BaseException as error:
        return error
threading.Thread(target=serve).start()

def mined_patterns():
    fresh = k.PatternMiner(0.3, 3, 6)
    fresh.mine(symbols)
    return fresh
mine = lambda data: k.Miner(0.2, 40, 4, max_len=8).mine(data)
# Pickles keep every float to the bit and every dict in its order.
motif_list = pickle.dumps
frequent = lambda miner: pickle.dumps(miner.frequent)
same = lambda got: got
# Each call, and what of its result is compared once the limit is lifted.
CALLS = {
    "mine an array": (lambda: mine(table), motif_list),
    "mine lists": (lambda: mine(lists), motif_list),
    "mine lists on another thread": (lambda: elsewhere(lambda: mine(lists)), motif_list),
    "sax of an array": (lambda: k.sax(table, 4, 4), same),
    "sax of lists": (lambda: k.sax(lists, 4, 4), same),
    "motif properties": (lambda: [snapshot(m) + (repr(m),) for m in motifs], same),
    "pickled motifs": (lambda: pickle.loads(pickle.dumps(motifs)), motif_list),
    "pickled miner": (lambda: pickle.loads(pickle.dumps(miner)).motifs, motif_list),
    "pattern miner": (mined_patterns, frequent),
    "pattern miner's patterns": (lambda: patterns.frequent, pickle.dumps),
    "pickled pattern miner": (lambda: pickle.loads(pickle.dumps(patterns)), frequent),
}
results = {}
statm = open("/proc/self/statm")
for name, (call, compared) in CALLS.items():
    statm.seek(0)
    used = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (used + (int(sys.argv[1]) << 20), resource.RLIM_INFINITY))
    got = attempt(call)
    resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    if isinstance(got, BaseException):
        results[name] = "MemoryError" if type(got) is MemoryError else f"{type(got).__name__}: {got}"
    else:
        results[name] = "ok" if compared(got) == compared(call()) else "a different result"
calls.put(None)
print(json.dumps(results))
"""

# From a few megabytes, where nearly everything fails, to where everything succeeds.
HEADROOMS_MB = [1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 96, 128, 256]


def run_child(headroom):
    """The child's outcomes at `headroom` MB, once it has exited normally."""
    done = subprocess.run(
        [sys.executable, "-c", CHILD, str(headroom)], cwd=TESTS, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, f"{headroom} MB: exit status {done.returncode}\n{done.stderr}"
    return json.loads(done.stdout)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="AddressSanitizer reserves terabytes of address space up front: no limit on it fits",
)
def test_every_call_under_an_address_space_limit_raises_memory_error_or_succeeds():
    with ThreadPoolExecutor(2) as pool:
        outcomes = dict(zip(HEADROOMS_MB, pool.map(run_child, HEADROOMS_MB), strict=True))
    wrong = {h: {c: r for c, r in o.items() if r not in ("ok", "MemoryError")} for h, o in outcomes.items()}
    assert not any(wrong.values()), wrong
    # The sweep spans both ends: mining fails for lack of memory at the bottom, and all succeeds at the top.
    assert {r for c, r in outcomes[HEADROOMS_MB[0]].items() if c.startswith("mine")} == {"MemoryError"}, (
        outcomes
    )
    assert set(outcomes[HEADROOMS_MB[-1]].values()) == {"ok"}, outcomes[HEADROOMS_MB[-1]]
