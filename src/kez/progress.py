"""Progress bars for long runs; needs tqdm (``pip install 'kez[progress]'``)."""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from typing import Any, overload

import _kez_cpp
from _kez_cpp import Miner, Motif, PatternMiner

_INSTALL_HINT = "kez's progress bars need tqdm; install the extra: pip install 'kez[progress]'"

# What each stage counts, as its bar says it.
_STAGES = {
    "discretise": ("discretising", " series"),
    "grow": ("growing patterns", " letters"),
    "compare": ("comparing patterns", " patterns"),
    "map": ("mapping motifs", " series"),
}


class _Bars:
    """One bar per stage, each closed when the next stage starts or the run ends."""

    def __init__(self, make_bar: Callable[..., Any]) -> None:
        self.make_bar = make_bar
        self.stage: str | None = None
        self.bar: Any = None

    def __call__(self, stage: str, done: int, total: int) -> None:
        if stage != self.stage:
            self.close()
            self.stage = stage
            description, unit = _STAGES[stage]
            self.bar = self.make_bar(total=total or None, desc=description, unit=unit)
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _tqdm() -> Callable[..., Any]:
    try:
        from tqdm.auto import tqdm  # type: ignore[import-untyped]
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return tqdm  # type: ignore[no-any-return]


Report = Callable[[str, int, int], None]


@contextmanager
def _reporter(report: Report | None) -> Iterator[Report]:
    if report is not None:
        yield report
        return
    bars = _Bars(_tqdm())
    try:
        yield bars
    finally:
        bars.close()


class MinerWithProgress:
    """A ``Miner`` whose ``mine`` reports how far it has got."""

    def __init__(self, miner: Miner, report: Report | None) -> None:
        self.miner = miner
        self.report = report

    def mine(self, ts: Any) -> list[Motif]:
        """What ``Miner.mine(ts)`` returns, reporting each stage as it goes."""
        with _reporter(self.report) as report:
            motifs: list[Motif] = _kez_cpp._mine_reporting(self.miner, ts, report)
        return motifs


class PatternMinerWithProgress:
    """A ``PatternMiner`` whose ``mine`` reports how far it has got."""

    def __init__(self, miner: PatternMiner, report: Report | None) -> None:
        self.miner = miner
        self.report = report

    def mine(self, ds: Sequence[Sequence[str | bytes]]) -> None:
        """Does what ``PatternMiner.mine(ds)`` does, reporting each stage as it goes."""
        with _reporter(self.report) as report:
            _kez_cpp._mine_patterns_reporting(self.miner, ds, report)


@overload
def with_progress(miner: Miner, report: Report | None = None) -> MinerWithProgress: ...
@overload
def with_progress(miner: PatternMiner, report: Report | None = None) -> PatternMinerWithProgress: ...
def with_progress(
    miner: Miner | PatternMiner, report: Report | None = None
) -> MinerWithProgress | PatternMinerWithProgress:
    """Returns `miner` with a ``mine`` that shows how far each stage has got.

    ``kez.with_progress(miner).mine(series)`` gives exactly what ``miner.mine(series)`` gives,
    and leaves `miner` in the same state, while a bar per stage (series discretised, letters
    grown, patterns compared, series mapped) shows in a terminal or a notebook. Instead of the
    bars, `report` may be any callable taking ``(stage, done, total)``, with ``total`` 0 where
    it is not known ahead; an exception it raises stops the run. Ctrl-C stops the run as it
    stops ``mine``. Without this, a run reports nothing and pays nothing for it.
    """
    if report is not None and not callable(report):
        raise TypeError(
            f"report must be a callable taking (stage, done, total), or None, not {type(report).__name__}"
        )
    if isinstance(miner, Miner):
        return MinerWithProgress(miner, report)
    if isinstance(miner, PatternMiner):
        return PatternMinerWithProgress(miner, report)
    raise TypeError(f"with_progress takes a Miner or a PatternMiner, not {type(miner).__name__}")
