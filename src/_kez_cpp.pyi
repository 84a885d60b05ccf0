"""Motifs (recurring shapes) present in a given share of a collection of numeric time series.

The compiled core behind the ``kez`` package. Every call returns when its work is done, which
it shares out among the machine's cores (``kez.set_threads`` sets how many), with the same
results whatever their number; it can be stopped with Ctrl-C (KeyboardInterrupt), also while
it reads its arguments.
``Miner.mine`` and ``PatternMiner.mine`` give the interpreter lock up once their arguments are
read, so other threads run meanwhile; calls on one miner (``mine``, its results, pickling) wait
for each other, calls on different miners run at the same time. A value that converts by its
own method (``__float__`` or ``__index__``, as a Fraction does) is converted by it, and an
exception that method raises propagates as itself.
"""

from array import array
from collections.abc import Callable, Sequence
from typing import Any, Protocol, TypeAlias

from typing_extensions import Buffer, Never

class _Array(Protocol):
    """A numpy array (read through the buffer protocol)."""
    def __array__(self, *args: Any, **kwargs: Any) -> Any: ...

class _Frame(Protocol):
    """A pandas DataFrame or Series, or another object read through its ``to_numpy()``."""
    def to_numpy(self, *args: Any, **kwargs: Any) -> Any: ...

# Series: a sequence of numbers, a 1-D numpy array or other buffer (array.array, memoryview), or a
# pandas Series (read by position, whatever its index; missing values of nullable dtypes become NaN).
# Dataset: a sequence of series; a 2-D array or buffer whose rows are the series, or a 3-D one of shape
# (series, 1, samples); or a pandas DataFrame whose rows are the series.
_Series: TypeAlias = Sequence[float] | _Array | Buffer | _Frame
_Dataset: TypeAlias = Sequence[_Series] | _Array | Buffer | _Frame

class _pybind11_type(type):
    """The metaclass the binding gives its classes."""

class Motif(metaclass=_pybind11_type):
    """One recurring pattern: where it occurs and the statistics of its occurrences.

    Instances come only from ``Miner.mine``, ``Miner.motifs`` and ``PatternMiner.frequent``;
    each is a read-only snapshot. Motifs from ``PatternMiner`` carry the pattern and its
    occurrences only: ``length`` 0, ``naed`` 0.0 and empty statistics. Motifs pickle and copy
    exactly (floats to the bit, dicts in their order), so they travel between processes.
    """

    def __init__(self, *args: Never, **kwargs: Never) -> None:
        """Not callable: ``Motif(...)`` raises TypeError, motifs come only from the miners."""

    @property
    def pattern(self) -> str:
        """The pattern's SAX letters, one per segment of ``seglen`` samples, e.g. ``'cdba'``."""
    @property
    def indexes(self) -> dict[int, list[int]]:
        """Series index to the symbol positions of every occurrence there, in increasing order.

        A symbol position p covers samples p * seglen up to (p + len(pattern)) * seglen.
        """
    @property
    def average_occurrences(self) -> dict[int, list[float]]:
        """Series index to the element-wise mean of that series' occurrence windows (NaN skipped)."""
    @property
    def representative(self) -> list[float]:
        """The motif's shape: the mean of the per-series averages, ``length`` values, z-normalised scale."""
    @property
    def best_matches(self) -> dict[int, int]:
        """Series index to the sample offset of its occurrence closest to ``representative``.

        Offsets are in samples (symbol position times ``seglen``), unlike ``indexes``.
        """
    @property
    def length(self) -> int:
        """Occurrence window length in samples: ``len(pattern) * seglen``."""
    @property
    def naed(self) -> float:
        """The ranking score: mean over series of the best window's Euclidean distance to the
        representative, divided by ``length``. Smaller is tighter; motifs are ranked ascending."""
    def __repr__(self) -> str:
        """``Motif('<pattern>')``."""

class Miner(metaclass=_pybind11_type):
    """Finds the motifs shared by a share ``minsup`` of a collection of series.

    Args:
        minsup: share of the series (0 to 1) a pattern must occur in to be kept.
        seglen: samples per SAX letter; a motif spans a multiple of it.
        alphabet: SAX alphabet size, 0 to 10 (letters a, b, ...); more letters, finer shapes.
        min_len: shortest pattern kept, in letters.
        max_len: longest pattern grown, in letters; 0 for no limit (then ``minsup`` must be > 0).
        max_overlap: a pattern whose longest common subsequence with a longer or equal kept
            pattern exceeds this share of its own length is dropped as redundant.
        k: how many of the ranked motifs ``mine`` returns; 0 returns all.

    A miner pickles and copies with its parameters and its ``motifs``.
    """

    def __init__(
        self,
        minsup: float,
        seglen: int,
        alphabet: int,
        min_len: int = 3,
        max_len: int = 0,
        max_overlap: float = 0.9,
        k: int = 0,
    ) -> None: ...
    def mine(self, ts: _Dataset, /) -> list[Motif]:
        """Mines `ts` (series may differ in length) and returns the best ``k`` motifs, best first.

        Each series is z-normalised (population deviation), cut into SAX letters, mined for the
        patterns frequent across series, pruned, mapped back onto the numbers and ranked by
        ascending ``naed``. Every call starts from an empty motif list; the full ranked list
        stays in ``motifs``. The caller's data are not modified; a 2-D float64 array (or a
        (series, 1, samples) one, or a float64 DataFrame whose ``to_numpy()`` is such an array) is
        read in place, row by row, without a copy.

        Raises:
            TypeError: `ts` is not a dataset, for instance a single series or a generator.
            ValueError: ``seglen`` 0 (an empty `ts` has nothing to cut and gives []),
                ``alphabet`` outside 0..10, ``minsup`` <= 0 with ``max_len`` 0, or a negative
                ``k`` (then ``motifs`` still holds the ranked list); or a 3-D array with more
                than one channel (mine one channel at a time).
            KeyboardInterrupt: interrupted by Ctrl-C; ``motifs`` is then empty.
        """
    @property
    def motifs(self) -> list[Motif]:
        """Every motif of the last ``mine``, in ranked order (empty before the first ``mine``)."""

class PatternMiner(metaclass=_pybind11_type):
    """Finds the contiguous letter patterns present in a share ``minsup`` of symbol sequences.

    Args:
        minsup: share of the sequences (0 to 1) a pattern must occur in to be kept.
        min_len: shortest pattern kept.
        max_len: longest pattern grown; 0 for no limit (then ``minsup`` must be > 0).
        max_overlap: redundancy limit, as for ``Miner``.

    A pattern miner pickles and copies with its parameters and its ``frequent`` patterns.
    """

    def __init__(
        self, minsup: float, min_len: int = 3, max_len: int = 0, max_overlap: float = 0.9
    ) -> None: ...
    def mine(self, ds: Sequence[Sequence[str | bytes]], /) -> None:
        """Mines `ds`, a sequence of sequences of one-character symbols (code points 0 to 255).

        Every call starts from an empty result. A str in place of an inner list is refused.

        Raises:
            TypeError: `ds` is not a sequence of sequences of symbols.
            ValueError: a symbol is empty, longer than one character or above U+00FF, or
                ``minsup`` <= 0 with ``max_len`` 0.
            KeyboardInterrupt: interrupted by Ctrl-C; ``frequent`` is then empty.
        """
    @property
    def frequent(self) -> dict[tuple[str, ...], Motif]:
        """Pattern (a tuple of one-character strings) to its motif, in ascending pattern order."""

def sax(ts: _Dataset, seglen: int, alphabet: int) -> list[list[str]]:
    """Cuts each series into segments of `seglen` samples and gives each segment mean a letter.

    Does not z-normalise (``Miner.mine`` does, before calling it). The last, shorter segment
    counts its missing samples as zeros. `alphabet` 0 to 10; letters run from ``'a'`` upward.
    A 2-D float64 array is read in place without the interpreter lock, a large one on every core.
    `ts` is refused as for ``Miner.mine``.
    ``seglen`` 0 raises ValueError, unless `ts` holds no series: then the result is [].

    >>> sax([[-1, -1, 0, 0, 1, 1]], 2, 3)
    [['a', 'b', 'c']]
    """

# Used by kez.with_progress: `mine` reporting (stage, done, total) to `report` as it goes.
def _mine_reporting(
    miner: Miner, ts: _Dataset, report: Callable[[str, int, int], None], /
) -> list[Motif]: ...
def _mine_patterns_reporting(
    miner: PatternMiner, ds: Sequence[Sequence[str | bytes]], report: Callable[[str, int, int], None], /
) -> None: ...

# Used by kez.set_threads and kez.threads: threads a run may use, 0 meaning one per core.
def _set_threads(count: int, /) -> None: ...
def _threads() -> int: ...

# For the tests only: every split loop takes its smallest parts, so that small inputs use the threads.
def _split_everything(on: bool, /) -> None: ...

# Used by the kez package's helpers to read their series: the series of a dataset exactly as the calls read
# them, and refused as they refuse it.
def _read_series(ts: _Dataset, /) -> list[array[float]]: ...

# Used by kez.nearest: for each query, every series' nearest window by z-normalised Euclidean distance, as
# (offsets, distances); offset -1 and distance inf where no window can match. A query shorter than 2
# samples, or holding NaN or inf, raises ValueError naming it. `seeds`, per query an offset per series
# (-1: none) of a window thought near, is computed first and changes no result, only the time.
def _nearest(
    queries: Sequence[Sequence[float]], ts: _Dataset, seeds: Sequence[Sequence[int]] = []
) -> list[tuple[array[int], array[float]]]: ...

# Used by kez.find_motifs: for each query (all of one length), per series, the nearest of the windows that
# start at `starts[series]` plus each of `shifts`, its distance, and the distance of the nearest of them not
# overlapping it, each from one dot product of the z-normalised shapes: (offsets, distances, elsewhere); -1
# and inf where none, and in the series not listed for the query in `series` (when given).
def _nearest_among(
    queries: Sequence[Sequence[float]],
    ts: _Dataset,
    starts: Sequence[Sequence[int]],
    shifts: Sequence[int] = [],
    series: Sequence[Sequence[int]] = [],
) -> list[tuple[array[int], array[float], array[float]]]: ...

# Used by kez.find_motifs: for each shape, the z-normalised mean of the z-normalised windows of `widths[i]`
# samples at `windows[i]`, each (series, offset), the offset moved within its series; windows holding NaN or
# inf are passed over. ValueError names a width below 2, a series out of range, or a shape with no window.
def _mean_shapes(
    ts: _Dataset, widths: Sequence[int], windows: Sequence[Sequence[tuple[int, int]]]
) -> list[array[float]]: ...

# Used by kez.mine_distributed. _Shard: one shard of whole series on a worker, normalised, with its letters;
# plans, averages and best matches cross the network as tuples of arrays.
_Plan: TypeAlias = tuple[array[int], array[int], array[int], array[int], array[int]]

class _Shard(metaclass=_pybind11_type):
    def __init__(self, ts: _Dataset, seglen: int, alphabet: int) -> None: ...
    def letters(self) -> list[bytes]: ...
    def averages(self, plan: _Plan, seglen: int, /) -> array[float]: ...
    def best(
        self, plan: _Plan, seglen: int, representatives: Buffer, /
    ) -> tuple[array[float], array[int]]: ...
    def __len__(self) -> int: ...

# The driver's records, mined from the letters and mapped batch [first, last) by batch from the shards' parts.
class _Mapping(metaclass=_pybind11_type):
    # Made only by _mine_letters.
    def __init__(self, /, *args: Never, **kwargs: Never) -> None: ...
    def __len__(self) -> int: ...
    def sizes(self, seglen: int, /) -> list[int]: ...
    def plans(self, first: int, last: int, starts: Sequence[int], seglen: int, /) -> list[_Plan]: ...
    def fold_averages(
        self, first: int, last: int, seglen: int, starts: Sequence[int], rows: list[Buffer], keep: bool, /
    ) -> None: ...
    def representatives(self, first: int, last: int, /) -> array[float]: ...
    def fold_best(
        self, first: int, last: int, starts: Sequence[int], best: list[tuple[Buffer, Buffer]], /
    ) -> None: ...
    def ranked(self, k: int, /) -> list[Motif]: ...

def _mine_letters(
    letters: list[bytes],
    minsup: float,
    min_len: int,
    max_len: int,
    max_overlap: float,
    report: Callable[[str, int, int], None] | None,
    /,
) -> _Mapping: ...
