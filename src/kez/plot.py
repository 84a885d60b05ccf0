"""Pictures of motifs over the series they were found in; needs matplotlib (``pip install 'kez[plot]'``)."""

from __future__ import annotations

import math
from array import array
from collections.abc import Hashable, Iterable, Sequence
from types import ModuleType
from typing import TYPE_CHECKING

from _kez_cpp import Motif
from kez._data import read_labels, read_series
from kez.classes import class_order
from kez.find import Found

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from kez._data import Dataset

_INSTALL_HINT = "kez's plotting helpers need matplotlib; install the extra: pip install 'kez[plot]'"


def _pyplot() -> ModuleType:
    try:
        import matplotlib.pyplot as plt
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    return plt


def _axes(ax: Axes | None) -> Axes:
    if ax is not None:
        return ax
    new: Axes = _pyplot().subplots()[1]
    return new


def _divide(x: float, deviation: float) -> float:
    # Python refuses to divide by zero; the module's arithmetic gives what IEEE 754 gives.
    if deviation == 0.0:
        return math.nan if x == 0.0 or math.isnan(x) else math.copysign(math.inf, x)
    return x / deviation


def znormalise(values: Sequence[float]) -> list[float]:
    """Returns `values` z-normalised exactly as ``Miner.mine`` normalises a series.

    Mean and population deviation are summed first to last, so the result matches the
    module bit for bit: a constant series becomes NaN, a single NaN makes every value NaN.
    """
    xs = [float(v) for v in values]
    if not xs:
        return []
    n = float(len(xs))
    total = 0.0
    for x in xs:
        total += x
    mean = total / n
    centred = [x - mean for x in xs]
    squares = 0.0
    for x in centred:
        squares += x * x
    deviation = math.sqrt(squares / n)
    return [_divide(x, deviation) for x in centred]


def _mapped(motif: Motif | Found, series: list[array[float]]) -> dict[int, int]:
    best = motif.best_matches
    if motif.length == 0 or not best:
        raise ValueError(f"{motif!r} has no statistics: only motifs from Miner.mine can be drawn")
    beyond = [s for s in best if s >= len(series)]
    if beyond:
        raise ValueError(
            f"{motif!r} has a best match in series {beyond[0]}, but only {len(series)} series were given; "
            "pass the collection the motif was mined from"
        )
    return best


def _labels(labels: Iterable[Hashable] | None) -> list[Hashable] | None:
    return None if labels is None else read_labels(labels)


def _class_colours(labels: Sequence[Hashable] | None, count: int, avoid: str) -> dict[str, str]:
    """Class to its colour, classes in the order `kez.class_support` reports them."""
    if labels is None:
        return {}
    if len(labels) != count:
        raise ValueError(f"{count} series but {len(labels)} labels: give one label per series")
    palette = [f"C{i}" for i in range(10) if f"C{i}" != avoid]
    return {c: palette[i % len(palette)] for i, c in enumerate(class_order(labels))}


def _window(values: list[float], offset: int, length: int) -> list[float]:
    window = values[offset : offset + length]
    return window + [math.nan] * (length - len(window))


def _shown_window(motif: Motif | Found, values: array[float], offset: int) -> list[float]:
    """The window as drawn beside the representative: a motif's from the series z-normalised as the miner
    saw it, a found shape's z-normalised on its own, as the exact search measured it."""
    if isinstance(motif, Found):
        return znormalise(values[offset : offset + motif.length])
    return _window(znormalise(values), offset, motif.length)


def _title(motif: Motif | Found, best: dict[int, int], count: int) -> str:
    if isinstance(motif, Found):
        within = f"in {len(best)}/{count} series within {motif.radius:.3g}"
        return f"shape {motif.pattern} ({motif.width} samples): {within}"
    return f"motif {motif.pattern}: naed {motif.naed:.4g}, best matches in {len(best)} series"


def plot_motif(
    motif: Motif | Found,
    series: Dataset,
    ax: Axes | None = None,
    *,
    color: str = "C3",
    window_color: str = "0.65",
    title: bool = True,
    labels: Iterable[Hashable] | None = None,
) -> Axes:
    """Draws the motif's representative over the best-matching window of each series.

    A ``Found`` (from `kez.find_motifs` or `kez.refine`) is drawn over its members' nearest windows,
    each z-normalised on its own as the exact search measures it.

    `series` is the collection the motif was mined from, anything ``Miner.mine`` takes (and
    refused as ``mine`` refuses it); the windows are cut from the series z-normalised as the
    miner saw them, so they share the representative's scale. With `labels` (one class per
    series: a list, a numpy array, or a pandas Series read by position) each window takes the
    colour of its series' class, named in the legend with its count. Draws on `ax`, or on a new
    figure, and returns the Axes.
    """
    read = read_series(series)
    classes = _labels(labels)
    best = _mapped(motif, read)
    colours = _class_colours(classes, len(read), color)
    ax = _axes(ax)
    steps = range(motif.length)
    named: set[str] = set()
    # Without classes the windows share one legend entry, given to the first.
    windows: str | None = f"{'member' if isinstance(motif, Found) else 'best'} windows ({len(best)})"
    for s, offset in best.items():
        window = _shown_window(motif, read[s], offset)
        if classes is None:
            ax.plot(steps, window, color=window_color, linewidth=0.8, label=windows)
            windows = None
            continue
        label = str(classes[s])
        shown = sum(1 for t in best if str(classes[t]) == label)
        legend = f"class {label} ({shown})" if label not in named else None
        named.add(label)
        ax.plot(steps, window, color=colours[label], linewidth=0.8, alpha=0.7, label=legend)
    shape = "shape" if isinstance(motif, Found) else "representative"
    ax.plot(steps, motif.representative, color=color, linewidth=2.5, label=shape)
    if title:
        ax.set_title(_title(motif, best, len(read)))
    ax.set_xlabel("sample within the window")
    ax.set_ylabel("z-normalised value")
    ax.legend(loc="best")
    return ax


def plot_series(
    motif: Motif | Found,
    series: Dataset,
    ax: Axes | None = None,
    *,
    rows: Sequence[int] | None = None,
    limit: int = 5,
    spacing: float = 5.0,
    color: str = "C3",
    title: bool = True,
    labels: Iterable[Hashable] | None = None,
) -> Axes:
    """Draws whole series, stacked and z-normalised, with the motif's best match in each highlighted.

    `rows` chooses the series by index (each must be one the motif occurs in); by default the
    first `limit` of them in index order. With `labels` each series is drawn in its class's
    colour and named with its class. `series` and `labels` are read as by `plot_motif`. Draws on
    `ax`, or on a new figure, and returns the Axes.
    """
    read = read_series(series)
    classes = _labels(labels)
    best = _mapped(motif, read)
    colours = _class_colours(classes, len(read), color)
    chosen = list(rows) if rows is not None else sorted(best)[:limit]
    missing = [s for s in chosen if s not in best]
    if missing:
        raise ValueError(f"{motif!r} does not occur in series {missing[0]}")
    ax = _axes(ax)
    ticks: list[float] = []
    for row, s in enumerate(chosen):
        lift = -spacing * row
        values = [v + lift for v in znormalise(read[s])]
        start, end = best[s], min(best[s] + motif.length, len(values))
        whole = colours[str(classes[s])] if classes is not None else "0.45"
        ax.plot(range(len(values)), values, color=whole, linewidth=0.8)
        ax.plot(range(start, end), values[start:end], color=color, linewidth=2.2)
        ticks.append(lift)
    names = [f"series {s}" + (f" ({classes[s]})" if classes is not None else "") for s in chosen]
    ax.set_yticks(ticks, names)
    ax.set_xlabel("sample")
    if title:
        ax.set_title(f"best matches of motif {motif.pattern}")
    return ax


def plot_overview(
    motif: Motif | Found,
    series: Dataset,
    *,
    limit: int = 3,
    labels: Iterable[Hashable] | None = None,
) -> Figure:
    """A figure of two panels: `plot_motif` above, `plot_series` of the first `limit` series below.

    With `labels` both panels colour the series by class. `series` and `labels` are read as by
    `plot_motif`.

    It is made without pyplot, so it stays out of any interactive session: call ``savefig`` on it.
    """
    try:
        from matplotlib.figure import Figure
    except ImportError as error:
        raise ImportError(_INSTALL_HINT) from error
    # Read once here, so a refused input raises before a figure is made.
    read = read_series(series)
    classes = _labels(labels)
    figure = Figure(figsize=(8, 5.5))
    top, bottom = figure.subplots(2, 1, height_ratios=[3, 2])
    plot_motif(motif, read, top, labels=classes)
    plot_series(motif, read, bottom, limit=limit, title=False, labels=classes)
    figure.tight_layout()
    return figure


def plot_distances(found: Found, ax: Axes | None = None, *, color: str = "C3") -> Axes:
    """Draws every series' nearest distance to the found shape, sorted, with the cut marked.

    Members (at most the radius) are drawn in `color`, the other series in grey; a horizontal line
    marks the radius and a dotted one the quorum radius, so a user can see where the cut falls and
    whether a gap supports it. Series with no window (distance inf) are left out. Draws on `ax`, or
    on a new figure, and returns the Axes.
    """
    if not isinstance(found, Found):
        kind = type(found).__name__
        raise TypeError(f"found must be a Found from kez.find_motifs or kez.refine, not {kind}")
    ranked = sorted((d, s) for s, d in enumerate(found.distances) if math.isfinite(d))
    members = set(found.members)
    ax = _axes(ax)
    for rank, (distance, s) in enumerate(ranked):
        ax.plot([rank], [distance], "o", color=color if s in members else "0.6", markersize=4)
    ax.axhline(found.radius, color=color, linewidth=1.2, label=f"radius {found.radius:.3g}")
    quorum = f"quorum radius {found.quorum:.3g}"
    ax.axhline(found.quorum, color="0.3", linewidth=1.0, linestyle=":", label=quorum)
    ax.set_xlabel("series, nearest first")
    ax.set_ylabel("distance of the nearest window")
    ax.set_title(f"{len(found.members)} of {len(found.distances)} series within the radius")
    ax.legend(loc="best")
    return ax
