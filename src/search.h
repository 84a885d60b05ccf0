// Exact search: for each query shape, every series' window nearest to it by z-normalised Euclidean distance.
//
// The distance. A query or window of m samples is z-normalised as znorm_series z-normalises a series: its
// mean is the sum of its samples, first to last, over m; its deviation the square root of the sum of
// (x - mean)^2, first to last, over m; and each z = (x - mean) / deviation. The distance is the square root of
// the sum, first to last, of (zq_i - zw_i)^2. This direct computation (direct_distance) gives every distance
// reported, and the offset reported is the lowest of the windows at the smallest such distance. The faster
// method below only decides which windows need the direct computation: it changes no result, so any method,
// and any number of threads, gives the same bits.
//
// Conventions. A query or window is constant when its deviation is at most 1e-10 of its largest magnitude
// (a window of equal samples always is, up to 400,000 samples long: its computed mean may be off by rounding).
// A constant one counts as all zeros: constant to constant is 0, constant to any other is exactly sqrt(m). A
// window holding NaN or +-inf is never matched, nor one whose sums overflow (samples near 1e154 in magnitude).
// A series with no window that can match (shorter than m, or every window refused) gets offset -1 and
// distance +inf. A query shorter than 2 samples, holding NaN or +-inf, or too large to normalise is refused
// with std::invalid_argument naming it.
//
// The method. Each series is cut into runs of finite samples, and the windows of a run are taken a block of
// several query lengths at a time. A block subtracts a shift from its samples (the middle of their range, so
// that series far from zero lose no digits) and slides sums of the shifted samples and of their squares over
// its windows, in a few runs started afresh side by side: their means and variances, recomputed from scratch
// at each block so that rounding cannot build up along the series; the queries of one length that a call
// searches in the same series take each block together, its shift and sums made once for them all. Every
// bound below allows for the rounding of each step, grown generously, and a window is skipped only when its
// bound, so allowed for, reaches the best squared distance found so far (a tie would not replace the best);
// any other, and any window whose variance the sums cannot tell from zero, is computed directly, with early
// abandoning once its partial sum reaches the best (a sum of non-negative terms never decreases, so the
// abandoned window could not have won).
//
// For shapes of 16 samples or more, once any window's distance is known, segment means bound first: the squared
// distance over a segment of L samples is at least L times the squared difference of the segment means, and
// the means of a window's whole segments (about 24 of them) come from one sliding sum of L samples. The four
// segments whose query means lie farthest from 0 go first, for every window side by side on vector registers,
// with the bound told against the best by comparing squares rather than taking a root; only the windows these
// leave open take the other segments. Groups of 32 windows that all stay ruled out get no dot products, and a
// block left nearly closed (one window in 256 open) has its open windows computed directly. For the others, and
// for every window before any is known, the dot product of the z-normalised query with each shifted window is
// taken for 32 windows side by side, each summed in sample order on vector registers, and each window's squared
// distance is estimated as sum(zq^2) + m - 2 (dot - mean * sum(zq)) / deviation, with a bound on its difference
// from the direct computation.
//
// A near window is sought first: a seed (one offset per series, given) is computed before anything else, and
// when it is not near (its squared distance m / 4 or more, or none) each run is looked over roughly, by the
// means of 16 segments of the windows that start every m / 16 samples (every 8 or more) and then of those
// around the closest, and the window found is computed too. Such a window only sets how near a window must
// come to be computed (to just above its own distance, so that it, or a window as near at a lower offset, is
// still taken in order): it changes no result. On a series holding the shape most windows then cost a few
// steps each; on one that does not, the dot products of the groups the segments leave open dominate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "patterns.h"
#include "sax.h"

namespace kez {

// One query's result: per series, the offset of the nearest window (-1: none can match) and its distance
// (+inf then).
struct NearestWindows {
  std::vector<std::int64_t> offsets;
  std::vector<double> distances;
};

// Supplies series `index`: as it is stored, or `scratch` filled with it.
using SeriesReader = std::function<const Series&(std::size_t index, Series& scratch)>;

// Returns the z-normalised Euclidean distance of the m samples at `query` and at `window`, computed directly
// as the header describes; NaN when either holds a non-finite value or overflows.
double direct_distance(const double* query, const double* window, std::size_t m);

// Returns the offset and distance of the nearest window of `series` to `query` by computing every window
// directly: the plain reference the search is tested against. Throws as nearest does for a bad query.
std::pair<std::int64_t, double> nearest_plain(const Series& query, const Series& series);

// Finds, for each of `queries` and each of the `count` series that `series` supplies (each read as often as
// needed, from any thread, so that no copy of the whole collection is held), the nearest window and its
// distance; result q holds query q's. Polls `cancelled` (which stops the work by throwing) between parts of
// the work. Throws std::invalid_argument naming the first bad query before any work.
std::vector<NearestWindows> nearest(const std::vector<Series>& queries, std::size_t count, const SeriesReader& series,
                                    const CancelCheck& cancelled = {});

// The same for the series of `ts`.
std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Dataset& ts,
                                    const CancelCheck& cancelled = {});

// Per query, per series, the offset of a window thought near (-1: none); any offset is taken.
using Seeds = std::vector<std::vector<std::int64_t>>;

// The same as nearest, to the bit, with `seeds` (empty, or one offset per series for each query) computed first:
// a near seed lets the search rule out most windows from the start. Throws std::invalid_argument when `seeds`
// does not match the queries and series.
std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Seeds& seeds, std::size_t count,
                                    const SeriesReader& series, const CancelCheck& cancelled = {});

// The same for the series of `ts`.
std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Seeds& seeds, const Dataset& ts,
                                    const CancelCheck& cancelled = {});

// One query's nearest among given windows: per series, the offset of the nearest (-1: none can match), its
// distance (+inf then), and the distance of the nearest given window not overlapping it (+inf: none).
struct NearestAmong {
  std::vector<std::int64_t> offsets;
  std::vector<double> distances;
  std::vector<double> elsewhere;
};

// Per query, the indexes of the series it is measured in; empty: every query in every series.
using SeriesSets = std::vector<std::vector<std::size_t>>;

// Measures each of `queries` (all of one length m) against the windows of m samples that start at
// `starts[s]` plus each of `shifts` (none: 0 alone) in series s of the `count` that `series` supplies (only
// those of `wanted[q]` for query q, when given; the others keep -1 and +inf), and keeps per series the nearest
// and the nearest elsewhere; result q holds query q's. A cheap look where the letters point, not a search:
// each distance is z-normalised Euclidean, taken from one dot product of the z-normalised query and window
// (exact up to rounding, with the conventions of the search for constant ones); a start out of range or a
// window holding a non-finite sample is passed over; ties go to the lower offset. Runs series by series on the
// pool, each in a fixed order, so any number of threads gives the same bits; polls `cancelled` between parts.
// Throws std::invalid_argument naming a bad query, queries of several lengths, `starts` not one list per
// series, or `wanted` not one list per query or naming a series beyond `count`.
std::vector<NearestAmong> nearest_among(const std::vector<Series>& queries, const Seeds& starts,
                                        const std::vector<std::int64_t>& shifts, const SeriesSets& wanted,
                                        std::size_t count, const SeriesReader& series,
                                        const CancelCheck& cancelled = {});

}  // namespace kez
