"""How the helpers read their arguments: series through the compiled module's own reader, so each helper
accepts and refuses exactly what ``Miner.mine`` does, and labels by position."""

from __future__ import annotations

from array import array
from collections.abc import Hashable, Iterable
from typing import TYPE_CHECKING, TypeAlias

import _kez_cpp

if TYPE_CHECKING:
    from _kez_cpp import _Dataset

    # What ``Miner.mine`` takes, for the helpers' signatures.
    Dataset: TypeAlias = _Dataset


def read_series(series: Dataset) -> list[array[float]]:
    """The series of `series` as ``Miner.mine`` reads them, each an ``array('d')``.

    A DataFrame gives its rows, an (n, 1, m) array its n series, a pandas Series its values by
    position. An input ``mine`` refuses raises the same error with the same message. Mining the
    result gives what mining `series` gives.
    """
    return _kez_cpp._read_series(series)


def read_labels(labels: Iterable[Hashable]) -> list[Hashable]:
    """`labels` as a list, by position: a pandas Series whatever its index, a numpy array by item."""
    return list(labels)
