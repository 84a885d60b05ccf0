"""Motifs present in a given share of a collection of time series.

The classes are those of the compiled module ``_kez_cpp``, re-exported unchanged, and ``sax`` calls
its function of that name; this package adds readers for common file formats, plotting helpers, tables,
progress bars, the number of threads a run uses, a filter for flat motifs, class contrast
for labelled collections, the reasons a run found nothing, an exact nearest-window search, and
`find_motifs`, which finds every instance of the shared shapes of a given width by exact distance,
and `mine_distributed`, which mines on a Dask cluster what `Miner.mine` mines in one process.
"""

import typing as _typing
from importlib import metadata as _metadata

import _kez_cpp
from _kez_cpp import Miner, Motif, PatternMiner
from kez.classes import ClassSupport, Contrast, class_order, class_support, contrast
from kez.distributed import mine_distributed
from kez.find import Found, find_motifs, refine
from kez.frame import occurrences_frame, to_frame
from kez.load import load_csv, load_ts
from kez.plot import plot_distances, plot_motif, plot_overview, plot_series, znormalise
from kez.progress import with_progress
from kez.reasons import Diagnosis, diagnose
from kez.search import Nearest, nearest
from kez.shapes import Shape, drop_trivial, is_trivial, shape
from kez.threads import set_threads, threads

if _typing.TYPE_CHECKING:
    from _kez_cpp import _Dataset


def sax(ts: "_Dataset", seglen: int, alphabet: int) -> list[list[str]]:
    """Cuts each series into segments of `seglen` samples and gives each segment mean a letter.

    What ``_kez_cpp.sax`` gives, as a function of this package, so that it pickles by name and
    can be handed to a process pool. It does not z-normalise (``Miner.mine`` does).

    >>> sax([[-1, -1, 0, 0, 1, 1]], 2, 3)
    [['a', 'b', 'c']]
    """
    return _kez_cpp.sax(ts, seglen, alphabet)


try:
    __version__ = _metadata.version("kez")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ClassSupport",
    "Contrast",
    "Diagnosis",
    "Found",
    "Miner",
    "Motif",
    "Nearest",
    "PatternMiner",
    "Shape",
    "class_order",
    "class_support",
    "contrast",
    "diagnose",
    "drop_trivial",
    "find_motifs",
    "is_trivial",
    "load_csv",
    "load_ts",
    "mine_distributed",
    "nearest",
    "occurrences_frame",
    "plot_distances",
    "plot_motif",
    "plot_overview",
    "plot_series",
    "refine",
    "sax",
    "set_threads",
    "shape",
    "threads",
    "to_frame",
    "with_progress",
    "znormalise",
]
