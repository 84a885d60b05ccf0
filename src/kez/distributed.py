"""Mining on a Dask cluster: the series stay on the workers, and the result is ``Miner.mine``'s, bit for bit.

A run takes three rounds of one task per shard of whole series. The workers read their shards,
z-normalise and discretise them and keep them; only the letters come to the driver, which mines
them with the same pattern miner as one process, so the patterns and their occurrence indexes are
the same. The workers then compute each series' average windows and, from the representatives
the driver folds from them in the one-machine order, each series' best match; the driver puts
those together in that order and ranks the motifs as ``Miner.mine`` does.

Needs the ``dask`` extra (``pip install 'kez[dask]'``); ``import kez`` never imports dask.
"""

from __future__ import annotations

import importlib
import os
import uuid
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

import _kez_cpp
from _kez_cpp import Miner, Motif

if TYPE_CHECKING:
    from array import array

    from _kez_cpp import _Plan, _Shard

_INSTALL_HINT = "kez.mine_distributed needs dask; install the extra: pip install 'kez[dask]'"
# A shard read from a file holds about this many bytes of samples unless told otherwise.
_SHARD_BYTES = 64 << 20

Report = Callable[[str, int, int], None]


@dataclass(frozen=True)
class _Rows:
    """Rows [lo, hi) of a .npy file or zarr array, read on the worker that runs the shard's task."""

    path: str
    lo: int
    hi: int
    npy: bool

    def read(self) -> Any:
        if self.npy:
            import numpy

            return numpy.load(self.path, mmap_mode="r")[self.lo : self.hi]
        import zarr  # type: ignore[import-untyped]

        return zarr.open_array(self.path, mode="r")[self.lo : self.hi]


def _make_shard(block: Any, seglen: int, alphabet: int, threads: int) -> _Shard:
    _kez_cpp._set_threads(threads)
    if isinstance(block, _Rows):
        block = block.read()
    return _kez_cpp._Shard(block, seglen, alphabet)


def _letters(shard: _Shard) -> list[bytes]:
    return shard.letters()


def _averages(shard: _Shard, plan: _Plan, seglen: int, threads: int) -> array[float]:
    _kez_cpp._set_threads(threads)
    return shard.averages(plan, seglen)


def _best(
    shard: _Shard, plan: _Plan, seglen: int, representatives: array[float], threads: int
) -> tuple[array[float], array[int]]:
    _kez_cpp._set_threads(threads)
    return shard.best(plan, seglen, representatives)


def _host_threads(dask_worker: Any) -> tuple[str, int, int]:
    """This worker's host, its cores and the worker's threads; client.run passes the worker."""
    return dask_worker.address.rsplit(":", 1)[0], os.cpu_count() or 1, dask_worker.state.nthreads


def _native_threads(client: Any) -> int:
    """Native threads per task such that, on every host, they times the worker threads there fit its cores."""
    found = client.run(_host_threads).values()
    per_host: dict[str, list[int]] = {}
    for host, cores, nthreads in found:
        entry = per_host.setdefault(host, [cores, 0])
        entry[1] += nthreads
    return max(1, min((cores // max(1, used) for cores, used in per_host.values()), default=1))


def _blocks(data: Any, rows_per_shard: int | None) -> tuple[list[Any], int]:
    """The shards of `data`, as dask objects or _Rows, and the number of series (0: not known ahead)."""
    array: Any = importlib.import_module("dask.array").Array
    if isinstance(data, array):
        if data.ndim != 2:
            raise ValueError(f"data must be a 2-D dask array of series by samples, not {data.ndim}-D")
        if rows_per_shard is not None:
            data = data.rechunk({0: rows_per_shard})
        if data.numblocks[1] > 1:
            data = data.rechunk({1: -1})
        return list(data.to_delayed()[:, 0]), int(data.shape[0])
    if isinstance(data, str | os.PathLike):
        path = os.fspath(data)
        npy = path.endswith(".npy")
        if npy:
            import numpy

            shape = numpy.load(path, mmap_mode="r").shape  # the header only
            chunk = 1
        else:
            import zarr

            stored = zarr.open_array(path, mode="r")
            shape, chunk = stored.shape, stored.chunks[0]
        if len(shape) != 2:
            raise ValueError(f"data must hold a 2-D array of series by samples, not {len(shape)}-D: {path}")
        rows = rows_per_shard or max(1, _SHARD_BYTES // max(1, 8 * shape[1]))
        rows = max(chunk, rows // chunk * chunk)
        return [_Rows(path, lo, min(lo + rows, shape[0]), npy) for lo in range(0, shape[0], rows)], shape[0]
    from dask.delayed import Delayed

    if isinstance(data, list | tuple) and all(isinstance(loader, Delayed) for loader in data):
        if rows_per_shard is not None:
            raise ValueError("rows_per_shard applies to arrays and files; each loader is a shard")
        return list(data), 0
    raise TypeError(
        "data must be a 2-D dask array, a path to a .npy file or zarr array, or a list of dask.delayed "
        f"loaders, not {type(data).__name__}"
    )


def _batches(sizes: Sequence[int], budget: int) -> list[tuple[int, int]]:
    """Consecutive motifs whose average windows together take about `budget` bytes at most."""
    batches: list[tuple[int, int]] = []
    first, held = 0, 0
    for m, size in enumerate(sizes):
        if m > first and held + 8 * size > budget:
            batches.append((first, m))
            first, held = m, 0
        held += 8 * size
    if first < len(sizes):
        batches.append((first, len(sizes)))
    return batches


def mine_distributed(
    client: Any,
    data: Any,
    minsup: float,
    seglen: int,
    alphabet: int,
    min_len: int = 3,
    max_len: int = 0,
    max_overlap: float = 0.9,
    k: int = 0,
    *,
    averages: bool = True,
    report: Report | None = None,
    rows_per_shard: int | None = None,
    threads: int | None = None,
    batch_bytes: int = 256 << 20,
) -> list[Motif]:
    """What ``Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap, k).mine(series)`` returns,
    bit for bit, with the series read and processed on the workers of `client` (a ``distributed.Client``).

    `data` is a 2-D dask array of series by samples (chunks along the series are the shards; chunks
    along the samples are merged), a path to a .npy file or zarr array, opened on the workers and cut
    into shards of `rows_per_shard` series (default: about 64 MB each, whole zarr chunks), or a list
    of ``dask.delayed`` loaders, each returning a block of whole series in order (a 2-D array or a
    list of 1-D arrays of any lengths): anything ``Miner.mine`` takes.

    The driver receives the letters (one byte per `seglen` samples, 1/(8·seglen) of the input), the
    average windows a batch of motifs at a time, and one (distance, position) per occurrence entry;
    never the samples. With ``averages=False`` the motifs' ``average_occurrences`` are empty (they
    are about as large as the input) and everything else is the same; the driver then holds one
    batch of them at a time, about `batch_bytes` (each batch is a round over every shard).
    `report(stage, done, total)` is told how far each stage has got, as with ``kez.with_progress``;
    an exception it raises stops the run. Whatever stops a run, Ctrl-C
    included, cancels its tasks and leaves the client usable. An error raised on a worker reaches
    the caller as itself. `threads`: native threads per task (default: the cores of each host
    shared among its worker threads).
    """
    try:
        # Both untyped: taken as Any rather than checked call by call.
        delayed: Any = importlib.import_module("dask.delayed").delayed
        distributed: Any = importlib.import_module("distributed")
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    if not isinstance(client, distributed.Client):
        raise TypeError(f"client must be a distributed.Client, not {type(client).__name__}")
    if report is not None and not callable(report):
        raise TypeError(
            f"report must be a callable taking (stage, done, total), or None, not {type(report).__name__}"
        )
    for name, value in (
        ("rows_per_shard", rows_per_shard),
        ("threads", threads),
        ("batch_bytes", batch_bytes),
    ):
        if value is not None and (not isinstance(value, int) or isinstance(value, bool) or value < 1):
            raise ValueError(f"{name} must be a positive int or None, not {value!r}")
    # The options are refused here as Miner.mine refuses them, before any task starts.
    Miner(minsup, seglen, alphabet, min_len, max_len, max_overlap, k).mine([])
    blocks, total = _blocks(data, rows_per_shard)
    native = threads if threads is not None else _native_threads(client)
    token = uuid.uuid4().hex[:12]
    futures: list[Any] = []
    tell: Report = report if report is not None else (lambda stage, done, total: None)
    try:
        make = delayed(_make_shard, pure=False)
        shards = client.compute(
            [
                make(block, seglen, alphabet, native, dask_key_name=f"kez-shard-{token}-{i}")
                for i, block in enumerate(blocks)
            ]
        )
        futures += shards
        names = [f"kez-letters-{token}-{i}" for i in range(len(shards))]
        letter_futures = client.map(_letters, shards, key=names)
        futures += letter_futures
        place = {future.key: i for i, future in enumerate(letter_futures)}
        letters: list[list[bytes]] = [[] for _ in shards]
        tell("discretise", 0, total)
        done = 0
        for future, rows in distributed.as_completed(letter_futures, with_results=True):
            letters[place[future.key]] = rows
            done += len(rows)
            tell("discretise", done, total)
        client.cancel(letter_futures)  # the letters are here now
        starts = [0]
        for rows in letters:
            starts.append(starts[-1] + len(rows))
        flat = [row for rows in letters for row in rows]
        del letters
        mapping = _kez_cpp._mine_letters(flat, minsup, min_len, max_len, max_overlap, report)
        del flat
        count = starts[-1]
        # The averages come a batch of motifs at a time; the best matches, one per entry, in one round.
        batches = _batches(mapping.sizes(seglen), batch_bytes)
        steps = len(batches) + 1
        tell("map", 0, count)
        for b, (first, last) in enumerate(batches):
            plans = mapping.plans(first, last, starts, seglen)
            step = f"{token}-{b}"
            rows = _per_shard(client, futures, shards, plans, "averages", step, _averages, seglen, native)
            mapping.fold_averages(first, last, seglen, starts, rows, averages)
            del rows
            tell("map", count * (b + 1) // steps, count)
        plans = mapping.plans(0, len(mapping), starts, seglen)
        shapes = mapping.representatives(0, len(mapping))
        best = _per_shard(client, futures, shards, plans, "best", token, _best, seglen, shapes, native)
        mapping.fold_best(0, len(mapping), starts, best)
        tell("map", count, count)
        return mapping.ranked(k)
    finally:
        # Done or stopped, the run's tasks and the shards kept on the workers are let go.
        client.cancel(futures)


def _per_shard(
    client: Any,
    futures: list[Any],
    shards: list[Any],
    plans: list[_Plan],
    name: str,
    step: str,
    work: Callable[..., Any],
    *args: Any,
) -> list[Any]:
    """work(shard, plan, *args) for every shard whose plan has entries, gathered in shard order; a shard
    without entries gives empty arrays without a task."""
    from array import array

    empty = array("d") if name == "averages" else (array("d"), array("i"))
    busy = [i for i, plan in enumerate(plans) if len(plan[1]) > 0]
    submitted = [
        client.submit(work, shards[i], plans[i], *args, key=f"kez-{name}-{step}-{i}", pure=False)
        for i in busy
    ]
    futures += submitted
    results = client.gather(submitted)
    out: list[Any] = [empty] * len(plans)
    for i, result in zip(busy, results, strict=True):
        out[i] = result
    client.cancel(submitted)
    return out
