// Re-centring a found shape: the mean of the windows its nearest series hold, each z-normalised first.
//
// A window of m samples is z-normalised as the search does it: its mean is the sum of its samples, first to
// last, over m; its deviation the square root of the sum of (x - mean)^2, first to last, over m; and it is
// constant, and counts as all zeros, when that deviation is at most 1e-10 of its largest magnitude. The mean
// shape is the column sums of the z-normalised windows, each summed in the order the windows are given, over
// their count, z-normalised in turn.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "search.h"

namespace kez {

// The windows one shape is averaged over: their width, and each one's (series, offset of its first sample).
struct WindowSet {
  std::size_t width = 0;
  std::vector<std::pair<std::size_t, std::int64_t>> windows;
};

// Returns, for each of `sets`, the z-normalised mean of its z-normalised windows among the `count` series that
// `series` supplies: each offset is first moved within its series (a series shorter than the width, or a window
// holding NaN or +-inf, is passed over). Polls `cancelled` between sets. Throws std::invalid_argument naming a
// width below 2, a series index out of range, or a set left with no window to average.
std::vector<Series> mean_shapes(const std::vector<WindowSet>& sets, std::size_t count, const SeriesReader& series,
                                const CancelCheck& cancelled = {});

}  // namespace kez
