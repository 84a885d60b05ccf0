"""How many threads a run may use."""

from __future__ import annotations

import operator

import _kez_cpp

_MOST = 1024


def set_threads(n: int | None = None) -> None:
    """Lets every later run use `n` threads, the calling one included; None means one per core.

    With 1, everything runs on the calling thread. Results are the same, bit for bit, whatever
    `n`: the threads share out series, patterns and motifs, never a sum. The setting is the
    process's, for every miner and thread; small inputs run on the calling thread anyway.

    >>> set_threads(1); threads()
    1
    >>> set_threads()
    """
    if n is None:
        _kez_cpp._set_threads(0)
        return
    if isinstance(n, bool):
        raise TypeError("n must be an int or None, not bool")
    try:
        count = operator.index(n)
    except TypeError:
        raise TypeError(f"n must be an int or None, not {type(n).__name__}") from None
    if not 1 <= count <= _MOST:
        raise ValueError(f"n must be between 1 and {_MOST}, or None for one per core, got {count}")
    _kez_cpp._set_threads(count)


def threads() -> int:
    """Returns how many threads a run may use now, the calling one included."""
    return _kez_cpp._threads()
