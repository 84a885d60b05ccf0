"""How many threads a run may use."""

from __future__ import annotations

import operator
import os

import _kez_cpp

# Workers live as long as the process, and past a few per core more of them only slows the runs down.
_PER_CORE = 4


def _most() -> int:
    return _PER_CORE * (os.cpu_count() or 1)


def set_threads(n: int | None = None) -> None:
    """Lets every later run use `n` threads, the calling one included; None means one per core.

    With 1, everything runs on the calling thread. Results are the same, bit for bit, whatever
    `n`: the threads share out series, patterns and motifs, never a sum. The setting is the
    process's, for every miner and thread; small inputs run on the calling thread anyway. At most
    four threads per core are allowed: threads once started live as long as the process.

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
    most = _most()
    if not 1 <= count <= most:
        raise ValueError(
            f"n must be between 1 and {most} ({_PER_CORE} per core), or None for one per core, got {count}"
        )
    _kez_cpp._set_threads(count)


def threads() -> int:
    """Returns how many threads a run may use now, the calling one included."""
    return _kez_cpp._threads()
