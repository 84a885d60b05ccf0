"""Times kez.nearest against a straightforward numpy search and checks that they agree.

    python bench/search.py [--series 200] [--samples 2000] [--queries 20] [--repeat 3]

The data are AR(1) series (phi 0.9) with a level far from zero; the queries are windows of widths
24 to 128 cut from other AR(1) series, with noise added, so that no window matches exactly. The
numpy search z-normalises a sliding view of a few series at a time and takes each series' argmin.
Each timing is the best of --repeat runs. Exits with status 1 if any offset differs from numpy's,
or if any distance differs from numpy's by more than 1e-9 relative.
"""

from __future__ import annotations

import argparse
import sys
import time

import numpy as np

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
    return 0 if same_offsets and close and alone == found else 1


if __name__ == "__main__":
    sys.exit(main())
