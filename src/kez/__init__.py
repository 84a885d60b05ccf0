"""Motifs present in a given share of a collection of time series.

The classes and the function ``sax`` are those of the compiled module ``_kez_cpp``, re-exported
unchanged; this package adds readers for common file formats, plotting helpers and tables.
"""

from importlib import metadata as _metadata

from _kez_cpp import Miner, Motif, PatternMiner, sax
from kez.frame import occurrences_frame, to_frame
from kez.load import load_csv, load_ts
from kez.plot import plot_motif, plot_overview, plot_series, znormalise

try:
    __version__ = _metadata.version("kez")
except _metadata.PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "Miner",
    "Motif",
    "PatternMiner",
    "load_csv",
    "load_ts",
    "occurrences_frame",
    "plot_motif",
    "plot_overview",
    "plot_series",
    "sax",
    "to_frame",
    "znormalise",
]
