"""Mining gives the interpreter lock up: other threads run meanwhile, calls on one object wait their turn."""

import random
import threading
import time

import pytest

import kez
from reference import snapshot


@pytest.fixture(scope="module")
def walks():
    """Two collections of random walks that take a good fraction of a second to mine."""
    rng = random.Random(11)

    def walk(samples):
        x, values = 0.0, []
        for _ in range(samples):
            x += rng.gauss(0.0, 1.0)
            values.append(x)
        return values

    return [walk(4000) for _ in range(80)], [walk(2000) for _ in range(60)]


def make():
    return kez.Miner(0.1, 2, 6)


def test_other_threads_run_while_a_mine_works(walks):
    window = {}

    def mine():
        window["start"] = time.monotonic()
        window["motifs"] = make().mine(walks[0])
        window["end"] = time.monotonic()

    miner_thread = threading.Thread(target=mine)
    stamps = []
    miner_thread.start()
    while miner_thread.is_alive():
        stamps.append(time.monotonic())
    miner_thread.join()
    # Beyond a margin wider than the interpreter's switch interval, this thread can only have run while
    # the other was inside the native call.
    inside = [t for t in stamps if window["start"] + 0.02 < t < window["end"] - 0.02]
    assert window["end"] - window["start"] > 0.1, "the workload is too small to show anything"
    assert len(inside) > 1000, len(inside)
    assert [snapshot(m) for m in window["motifs"]] == [snapshot(m) for m in make().mine(walks[0])]


def test_calls_on_one_object_run_one_after_another(walks):
    miner = make()
    events, results = [], {}

    def run(name, data):
        def report(stage, done, total):
            events.append(name)

        results[name] = kez.with_progress(miner, report).mine(data)
        events.append(f"{name} returned")

    threads = [threading.Thread(target=run, args=(n, d)) for n, d in zip("ab", walks, strict=True)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    first = events[0]
    second = "b" if first == "a" else "a"
    # Every report of the first run comes before any of the second: nothing is mixed.
    assert events == [first] * events.count(first) + [f"{first} returned"] + [second] * events.count(
        second
    ) + [f"{second} returned"]
    for name, data in zip("ab", walks, strict=True):
        assert [snapshot(m) for m in results[name]] == [snapshot(m) for m in make().mine(data)]
    assert [snapshot(m) for m in miner.motifs] == [snapshot(m) for m in results[second]]


def test_a_call_on_another_object_does_not_wait(walks):
    held = threading.Event()
    release = threading.Event()
    results = {}

    def blocked(stage, done, total):
        # The first run stops in its first report, holding its own object, until the second has finished.
        held.set()
        assert release.wait(60), "the second run did not finish while the first held its object"

    first = threading.Thread(
        target=lambda: results.update(a=kez.with_progress(make(), blocked).mine(walks[0]))
    )
    first.start()
    assert held.wait(60)
    results["b"] = make().mine(walks[1])
    release.set()
    first.join()
    assert [snapshot(m) for m in results["a"]] == [snapshot(m) for m in make().mine(walks[0])]
    assert [snapshot(m) for m in results["b"]] == [snapshot(m) for m in make().mine(walks[1])]


def test_a_property_read_during_a_mine_waits_for_its_result(walks):
    miner = make()
    started = threading.Event()
    read = {}

    def report(stage, done, total):
        if not started.is_set():
            started.set()
            # Another thread reads the object now; it must wait for this run, not see it half done.
            reader = threading.Thread(target=lambda: read.update(motifs=miner.motifs))
            reader.start()
            read["reader"] = reader

    returned = kez.with_progress(miner, report).mine(walks[0])
    read["reader"].join()
    assert [snapshot(m) for m in read["motifs"]] == [snapshot(m) for m in returned]
