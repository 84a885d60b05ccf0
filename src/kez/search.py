"""Exact search: where each series comes closest to a given shape.

`nearest` measures every window of each series against the shape by z-normalised Euclidean
distance, the measure the miner ranks by, and keeps the nearest one.
"""

from __future__ import annotations

import math
import numbers
import typing
from collections.abc import Iterable
from dataclasses import dataclass

import _kez_cpp

if typing.TYPE_CHECKING:
    from _kez_cpp import _Dataset


@dataclass(frozen=True)
class Nearest:
    """The nearest window of every series to one shape.

    Attributes:
        offsets: per series, the sample offset of its nearest window of the shape's length; -1 when
            no window can match (the series is shorter than the shape, or every window holds NaN
            or inf). Ties go to the lowest offset.
        distances: per series, the z-normalised Euclidean distance of that window: the square root of
            the sum of squared differences of the z-normalised shape and window; ``inf`` where the
            offset is -1. A constant shape or window counts as all zeros, so constant to constant is
            0 and constant to anything else is ``sqrt(len(shape))``.
    """

    offsets: tuple[int, ...]
    distances: tuple[float, ...]


def _named_shapes(shapes: Iterable[float] | Iterable[Iterable[float]]) -> list[tuple[str, object]]:
    """The shapes given, each with the name an error shows: one shape of numbers, or a list of them."""
    try:
        items = list(shapes)
    except TypeError:
        raise TypeError(f"shapes must be a shape or a list of shapes, not {type(shapes).__name__}") from None
    if items and all(isinstance(v, numbers.Real) for v in items):
        return [("shape", items)]
    return [(f"shape {i}", item) for i, item in enumerate(items)]


def _checked(name: str, shape: object) -> list[float]:
    """The shape's values, refused with its name unless at least 2 finite numbers."""
    if not isinstance(shape, Iterable) or isinstance(shape, (str, bytes)):
        raise TypeError(f"{name} must be a sequence of numbers, not {type(shape).__name__}")
    try:
        values = [float(v) for v in shape]
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a sequence of numbers") from None
    if len(values) < 2:
        raise ValueError(f"{name} has {len(values)} samples: a shape needs at least 2")
    for i, v in enumerate(values):
        if not math.isfinite(v):
            raise ValueError(f"{name} holds {v} at sample {i}: a shape must be finite")
    return values


def nearest(shapes: Iterable[float] | Iterable[Iterable[float]], data: _Dataset) -> list[Nearest]:
    """For each shape, every series' nearest window and its distance.

    `shapes` is one shape (a sequence of at least 2 finite numbers, or a 1-D array) or a list of
    them, each of its own length; `data` is read as ``Miner.mine`` reads it (a 2-D float array in
    place). Returns one ``Nearest`` per shape, in order. The search runs on every core
    (``kez.set_threads``), gives the same results whatever their number, and stops at Ctrl-C.

    >>> [found] = nearest([0.0, 1.0, 0.0], [[5, 5, 6, 5, 9], [1, 2]])
    >>> found.offsets, found.distances[1]
    ((1, -1), inf)
    """
    queries = [_checked(name, shape) for name, shape in _named_shapes(shapes)]
    found = _kez_cpp._nearest(queries, data)
    return [Nearest(tuple(offsets), tuple(distances)) for offsets, distances in found]
