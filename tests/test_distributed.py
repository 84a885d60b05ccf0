"""kez.mine_distributed returns what Miner.mine returns in one process, bit for bit, on a real cluster."""

import os
import pickle
import re
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _kez_cpp
import kez
from reference import snapshot

da = pytest.importorskip("dask.array")
dask = pytest.importorskip("dask")

# 100 series: minsup 0.07 needs 7 of them, and 0.07 * 100 is 7.000000000000001 in floating point.
WALKS = np.random.default_rng(7).standard_normal((100, 120)).cumsum(axis=1)
RAGGED = [np.random.default_rng(s).standard_normal(40 + 9 * s).cumsum() for s in range(30)]
ARGS = (0.07, 5, 5)


def loaders(series, cuts):
    return [dask.delayed(lambda a, b: series[a:b])(a, b) for a, b in zip(cuts, cuts[1:], strict=False)]


def zarr_path(path):
    zarr = pytest.importorskip("zarr")
    zarr.save_array(str(path / "walks.zarr"), WALKS, chunks=(17, 120))
    return str(path / "walks.zarr")


def npy_path(path):
    np.save(path / "walks.npy", WALKS)
    return str(path / "walks.npy")


SOURCES = {
    "one series per chunk": lambda path: (da.from_array(WALKS, chunks=(1, 120)), {}),
    "uneven chunks, split samples": lambda path: (da.from_array(WALKS, chunks=((3, 60, 1, 36), 50)), {}),
    "npy rows, a batch per motif": lambda path: (npy_path(path), {"rows_per_shard": 13, "batch_bytes": 1}),
    "zarr chunks": lambda path: (zarr_path(path), {}),
    "zarr, shards of 50": lambda path: (zarr_path(path), {"rows_per_shard": 50}),
}


@pytest.mark.parametrize("source", SOURCES.values(), ids=SOURCES.keys())
@pytest.mark.parametrize("averages", [True, False], ids=["averages", "no averages"])
def test_every_source_gives_what_one_process_gives(client, tmp_path, source, averages):
    data, options = source(tmp_path)
    expected = [snapshot(m) for m in kez.Miner(*ARGS).mine(WALKS)]
    found = kez.mine_distributed(client, data, *ARGS, averages=averages, **options)
    if not averages:
        assert all(m.average_occurrences == {} for m in found)
        found = [pickle.loads(pickle.dumps(m)) for m in found]  # a record without averages saves as one
        expected = [s[:2] + ([],) + s[3:] for s in expected]
    assert [snapshot(m) for m in found] == expected and expected


@pytest.mark.parametrize(
    ("cuts", "args"),
    [([0, 30], (0.2, 4, 4, 3, 0, 0.9, 5)), ([0, 1, 2, 17, 30], (0.3, 3, 6, 3, 6, 0.5, 0))],
    ids=["one loader, best 5", "four uneven loaders, max_len 6"],
)
def test_loaders_of_unequal_series(client, cuts, args):
    expected = [snapshot(m) for m in kez.Miner(*args).mine(RAGGED)]
    found = kez.mine_distributed(client, loaders(RAGGED, cuts), *args)
    assert [snapshot(m) for m in found] == expected and expected


@pytest.mark.parametrize(
    "block",
    [[[1.0, 2.0, "x"]], np.array([["a", "b"]])],
    ids=["a non-numeric sample", "an array of strings"],
)
def test_a_workers_error_reaches_the_caller_as_itself(client, block):
    with pytest.raises(Exception) as expected:
        kez.Miner(*ARGS).mine(block)
    with pytest.raises(expected.type, match=re.escape(str(expected.value))):
        kez.mine_distributed(client, [dask.delayed(lambda: block)()], *ARGS)


def test_bad_arguments_are_refused_before_any_task(client):
    with pytest.raises(TypeError, match="^data must be a 2-D dask array"):
        kez.mine_distributed(client, WALKS, *ARGS)
    with pytest.raises(TypeError, match="^client must be a distributed.Client"):
        kez.mine_distributed(None, WALKS, *ARGS)
    with pytest.raises(ValueError, match="^rows_per_shard must be a positive int"):
        kez.mine_distributed(client, da.from_array(WALKS), *ARGS, rows_per_shard=0)
    with pytest.raises(ValueError, match="alphabet"):
        kez.mine_distributed(client, da.from_array(WALKS), 0.07, 5, 11)


def test_a_shard_pickles_and_reports_its_size():
    shard = _kez_cpp._Shard(WALKS[:10], 5, 5)
    again = pickle.loads(pickle.dumps(shard))
    assert sys.getsizeof(shard) > WALKS[:10].nbytes and again.letters() == shard.letters()


def test_import_kez_imports_no_dask():
    code = (
        "import sys, kez; print(sorted(m for m in sys.modules if m.split('.')[0] in ('dask', 'distributed')))"
    )
    assert (
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
        == "[]\n"
    )


def test_a_stopped_run_cancels_its_tasks_and_leaves_the_client_usable(client):
    def interrupt(stage, done, total):
        if stage == "grow":
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        kez.mine_distributed(client, da.from_array(WALKS, chunks=(25, 120)), *ARGS, report=interrupt)

    # The workers let go of what was cancelled as soon as the scheduler tells them.
    def held():
        return [key for keys in client.has_what().values() for key in keys if str(key).startswith("kez-")]

    for _ in range(100):
        if not held():
            break
        time.sleep(0.05)
    assert held() == []
    stages = []
    found = kez.mine_distributed(
        client, da.from_array(WALKS, chunks=(25, 120)), *ARGS, report=lambda *r: stages.append(r)
    )
    assert [snapshot(m) for m in found] == [snapshot(m) for m in kez.Miner(*ARGS).mine(WALKS)]
    assert list(dict.fromkeys(s for s, _, _ in stages)) == ["discretise", "grow", "compare", "map"]
    assert stages[-1] == ("map", 100, 100)
    # Two single-threaded workers on this host share its cores.
    assert kez.distributed._native_threads(client) == max(1, (os.cpu_count() or 1) // 2)


def test_a_worker_lost_mid_run_gives_the_exact_result_or_an_error(client):
    victim = sorted(client.scheduler_info()["workers"])[0]

    def kill(stage, done, total):
        # While the driver grows patterns, one worker process ends, and the shards it held with it.
        if stage == "grow" and victim in client.scheduler_info()["workers"]:
            client.run(lambda: threading.Timer(0.1, os._exit, (1,)).start(), workers=[victim])
            for _ in range(200):  # the run goes on once the scheduler has seen the worker go
                if victim not in client.scheduler_info()["workers"]:
                    break
                time.sleep(0.05)

    expected = [snapshot(m) for m in kez.Miner(*ARGS).mine(WALKS)]
    try:
        found = kez.mine_distributed(client, da.from_array(WALKS, chunks=(10, 120)), *ARGS, report=kill)
    except Exception as error:  # Dask gave up on the shards: a clear error, never a wrong result
        assert "kez-" in str(error) or type(error).__name__ == "KilledWorker", error
    else:
        assert [snapshot(m) for m in found] == expected
    assert victim not in client.scheduler_info()["workers"]
