"""Times kez.nearest against a straightforward numpy search and checks that they agree.

    python bench/search.py [--series 200] [--samples 2000] [--queries 20] [--repeat 3] [--width 100]

The data are AR(1) series (phi 0.9) with a level far from zero; the queries are windows of widths
24 to 128 cut from other AR(1) series, with noise added, so that no window matches exactly. The
numpy search z-normalises a sliding view of a few series at a time and takes each series' argmin.

A second part plants one smooth shape of --width samples, with noise, into 70% of the series and
searches for it as find_motifs does: without seeds, and seeded with each series' nearest window to
a noisier version of the shape (a previous search of a similar shape); it prints the time per window
and thread of each.

Each timing is the best of --repeat runs. Exits with status 1 if any offset differs from numpy's,
if any distance differs from numpy's by more than 1e-9 relative, or if seeds or threads change any
result bit.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

import _kez_cpp
import kez


def ar1(rng: np.random.Generator, count: int, samples: int) -> np.ndarray:
    noise = rng.normal(size=(count, samples))
    out = np.empty_like(noise)
    out[:, 0] = noise[:, 0]
    for i in range(1, samples):
        out[:, i] = 0.9 * out[:, i - 1] + noise[:, i]
    return out


def numpy_nearest(query: np.ndarray, data: np.ndarray, rows: int = 16) -> tuple[np.ndarray, np.ndarray]:
    """Every window's z-normalised distance by plain numpy, a few series at a time; argmin per series."""
    zq = (query - query.mean()) / query.std()
    offsets, distances = [], []
    for first in range(0, len(data), rows):
        windows = np.lib.stride_tricks.sliding_window_view(data[first : first + rows], len(query), axis=1)
        z = (windows - windows.mean(axis=2, keepdims=True)) / windows.std(axis=2, keepdims=True)
        d = np.sqrt(((z - zq) ** 2).sum(axis=2))
        offsets.append(d.argmin(axis=1))
        distances.append(d.min(axis=1))
    return np.concatenate(offsets), np.concatenate(distances)


def plant(rng: np.random.Generator, data: np.ndarray, width: int) -> tuple[np.ndarray, np.ndarray]:
    """A copy of the data with one smooth shape, plus noise, at a random place in 70% of the series."""
    shape = 3.0 * np.sin(np.linspace(0.0, 3.0 * np.pi, width)) + np.linspace(0.0, 2.0, width)
    out = data.copy()
    for row in out:
        if rng.random() < 0.7:
            at = int(rng.integers(0, len(row) - width))
            row[at : at + width] = row[at] + shape + rng.normal(scale=0.1, size=width)
    return out, shape


def planted_part(rng: np.random.Generator, data: np.ndarray, width: int, repeat: int) -> bool:
    """Times the search for a planted shape, unseeded and seeded, on one thread and all; True if all agree."""
    planted, shape = plant(rng, data, width)
    similar = shape + rng.normal(scale=0.3, size=width)
    [(seeds, _)] = _kez_cpp._nearest([list(similar)], planted, [])
    windows = planted.shape[0] * (planted.shape[1] - width + 1)
    print(f"a shape of {width} samples planted in 70% of the series, searched as find_motifs does:")
    results = []
    query = [list(shape)]
    for label, given in (("unseeded", []), ("seeded", [list(seeds)])):
        for threads in (1, None):
            kez.set_threads(threads)
            elapsed, found = best_of(repeat, lambda given=given: _kez_cpp._nearest(query, planted, given))
            results.append(found)
            used = kez.threads()
            print(
                f"  {label:8}, {used} thread{'s' if used > 1 else ' '}: {elapsed * 1e3:8.2f} ms"
                f"  ({elapsed * used / windows * 1e9:.1f} ns per window and thread)"
            )
    kez.set_threads()
    offsets, distances = numpy_nearest(shape, planted)
    [(found_offsets, found_distances)] = results[0]
    close = np.allclose(found_distances, distances, rtol=1e-9, atol=0)
    agree = list(found_offsets) == list(offsets) and close
    same = all(r == results[0] for r in results)
    print(f"  offsets equal to numpy's, distances within 1e-9: {agree}")
    print(f"  seeds and threads change no bit: {same}")
    return agree and same


def best_of(repeat: int, run):
    times, result = [], None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        times.append(time.perf_counter() - start)
    return min(times), result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--series", type=int, default=200)
    parser.add_argument("--samples", type=int, default=2000)
    parser.add_argument("--queries", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--width", type=int, default=100)
    args = parser.parse_args()
    rng = np.random.default_rng(1)
    data = ar1(rng, args.series, args.samples) + 1000.0
    widths = np.linspace(24, 128, args.queries).round().astype(int)
    source = ar1(rng, args.queries, 128)
    queries = [source[q, :w] + rng.normal(scale=0.3, size=w) for q, w in enumerate(widths)]

    numpy_time, expected = best_of(1, lambda: [numpy_nearest(q, data) for q in queries])
    kez.set_threads(1)
    one_time, alone = best_of(args.repeat, lambda: kez.nearest(queries, data))
    kez.set_threads()
    all_time, found = best_of(args.repeat, lambda: kez.nearest(queries, data))
    pairs = list(zip(found, expected, strict=True))
    same_offsets = all(list(r.offsets) == list(offsets) for r, (offsets, _) in pairs)
    close = all(np.allclose(r.distances, distances, rtol=1e-9, atol=0) for r, (_, distances) in pairs)
    windows = sum(args.series * (args.samples - w + 1) for w in widths)
    print(f"{args.series} series x {args.samples} samples, {args.queries} queries of widths 24..128")
    print(f"  numpy sliding windows: {numpy_time:8.3f} s")
    print(f"  kez.nearest, 1 thread: {one_time:8.3f} s  ({windows / one_time / 1e6:.0f} M windows/s)")
    print(f"  kez.nearest, {kez.threads()} threads: {all_time:8.3f} s")
    print(f"  over numpy: {numpy_time / one_time:.0f}x on 1 thread, {numpy_time / all_time:.0f}x on all")
    print(f"  offsets equal to numpy's: {same_offsets}; distances within 1e-9: {close}")
    print(f"  1 thread and all give the same: {alone == found}")
    planted_ok = planted_part(rng, data, args.width, args.repeat)
    return 0 if same_offsets and close and alone == found and planted_ok else 1


if __name__ == "__main__":
    sys.exit(main())
