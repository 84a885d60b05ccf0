"""Motifs as pandas tables; needs pandas (``pip install 'kez[pandas]'``)."""

from __future__ import annotations

from collections.abc import Sequence
from types import ModuleType
from typing import TYPE_CHECKING

from _kez_cpp import Motif
from kez.find import Found

if TYPE_CHECKING:
    import pandas as pd

_INSTALL_HINT = "kez's tables need pandas; install the extra: pip install 'kez[pandas]'"

# Columns and dtypes, so that an empty result has the same schema as a full one.
MOTIF_COLUMNS = {
    "pattern": "object",
    "letters": "int64",
    "distinct": "int64",
    "length": "int64",
    "naed": "float64",
    "support": "int64",
    "share": "float64",
    "occurrences": "int64",
    "best_matches": "object",
}
OCCURRENCE_COLUMNS = {"series": "int64", "position": "int64", "offset": "int64", "best": "bool"}


def _pandas() -> ModuleType:
    try:
        import pandas
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return pandas


def _frame(rows: list[tuple[object, ...]], columns: dict[str, str], index_name: str | None) -> pd.DataFrame:
    data = {name: [row[i] for row in rows] for i, name in enumerate(columns)}
    frame: pd.DataFrame = _pandas().DataFrame(data, columns=list(columns)).astype(columns)
    frame.index.name = index_name
    return frame


def _support(motif: Motif | Found) -> tuple[int, int]:
    """(series it occurs in, occurrences over all series); a found shape has one per member."""
    if isinstance(motif, Found):
        return len(motif.members), len(motif.members)
    indexes = motif.indexes
    return len(indexes), sum(map(len, indexes.values()))


def to_frame(motifs: Sequence[Motif | Found], n_series: int | None = None) -> pd.DataFrame:
    """One row per motif, in the order given (ranked, for the list ``Miner.mine`` returns).

    The index, ``rank``, counts from 0. Columns: ``pattern``; ``letters``, its number of
    letters, and ``length``, its window in samples (``letters * seglen``); ``distinct``, its
    number of different letters (1 for a flat run such as ``bbbb``); ``naed``; ``support``, the
    number of series it occurs in; ``share``, support divided by `n_series`, the number of
    series mined (NaN when it is not given: the motifs do not know it); ``occurrences``, their
    count over all series; ``best_matches``, a dict of series to the sample offset of its best
    window, as the property gives it. A ``Found`` (from `kez.find_motifs`) gives a row too: its
    pattern is the letter pattern it grew from, its support and occurrences its members, its
    best matches their nearest windows.
    """
    if n_series is not None and n_series <= 0:
        raise ValueError(f"n_series must be the number of series mined, a positive count, not {n_series}")
    rows: list[tuple[object, ...]] = []
    for motif in motifs:
        pattern = motif.pattern
        support, occurrences = _support(motif)
        rows.append(
            (
                pattern,
                len(pattern),
                len(set(pattern)),
                motif.length,
                motif.naed,
                support,
                support / n_series if n_series is not None else float("nan"),
                occurrences,
                motif.best_matches,
            )
        )
    return _frame(rows, MOTIF_COLUMNS, "rank")


def occurrences_frame(motif: Motif, seglen: int | None = None) -> pd.DataFrame:
    """One row per occurrence of `motif`, by ascending series and then by position.

    Columns: ``series``; ``position``, the symbol position; ``offset``, the sample offset
    (position times `seglen`); ``best``, whether it is that series' best match. `seglen` is
    taken from the motif (``length // len(pattern)``) unless given; a motif from
    ``PatternMiner`` has no window, so it needs `seglen` (1 makes offsets equal positions).
    A series none of whose windows came within the miner's start distance (1e6) of the
    representative has its best match at offset 0, which need not be an occurrence: then
    none of its rows is marked.
    """
    letters = len(motif.pattern)
    if seglen is not None and seglen <= 0:
        raise ValueError(f"seglen must be a positive number of samples, not {seglen}")
    if seglen is None:
        if motif.length <= 0 or letters == 0:
            raise ValueError(
                f"{motif!r} has no window length (motifs from PatternMiner have none): pass seglen"
            )
        seglen = motif.length // letters
    best = motif.best_matches
    rows: list[tuple[object, ...]] = [
        (s, p, p * seglen, best.get(s) == p * seglen)
        for s, positions in sorted(motif.indexes.items())
        for p in positions
    ]
    return _frame(rows, OCCURRENCE_COLUMNS, None)
