#include "recentre.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace kez {

namespace {

// Stores the z-normalised m samples at `x` in `z` (zeros when constant); false when one is not finite.
bool znormalised(const double* x, std::size_t m, std::vector<double>& z) {
  double sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) sum += x[i];
  const double mean = sum / static_cast<double>(m);
  double squares = 0.0;
  double largest = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = x[i] - mean;
    squares += d * d;
    largest = std::max(largest, std::abs(x[i]));
  }
  const double deviation = std::sqrt(squares / static_cast<double>(m));
  if (!std::isfinite(mean) || !std::isfinite(deviation)) return false;
  z.assign(m, 0.0);
  if (deviation <= 1e-10 * largest) return true;
  for (std::size_t i = 0; i < m; ++i) z[i] = (x[i] - mean) / deviation;
  return true;
}

Series mean_shape(const WindowSet& set, std::size_t index, std::size_t count, const SeriesReader& series) {
  const std::size_t m = set.width;
  if (m < 2)
    throw std::invalid_argument("width " + std::to_string(m) + " of shape " + std::to_string(index) +
                                " is below 2 samples");
  Series sums(m, 0.0);
  Series scratch;
  std::vector<double> z;
  std::size_t used = 0;
  for (const auto& [s, offset] : set.windows) {
    if (s >= count) {
      throw std::invalid_argument("series " + std::to_string(s) + " of shape " + std::to_string(index) +
                                  " is out of range for " + std::to_string(count) + " series");
    }
    const Series& x = series(s, scratch);
    if (x.size() < m) continue;
    const auto last = static_cast<std::int64_t>(x.size() - m);
    const auto start = static_cast<std::size_t>(std::clamp<std::int64_t>(offset, 0, last));
    if (!znormalised(x.data() + start, m, z)) continue;
    for (std::size_t i = 0; i < m; ++i) sums[i] += z[i];
    ++used;
  }
  if (used == 0) throw std::invalid_argument("shape " + std::to_string(index) + " has no window to average");
  for (double& v : sums) v /= static_cast<double>(used);
  znormalised(sums.data(), m, z);
  return z;
}

}  // namespace

std::vector<Series> mean_shapes(const std::vector<WindowSet>& sets, std::size_t count, const SeriesReader& series,
                                const CancelCheck& cancelled) {
  std::vector<Series> shapes;
  shapes.reserve(sets.size());
  for (std::size_t i = 0; i < sets.size(); ++i) {
    if (cancelled) cancelled();
    shapes.push_back(mean_shape(sets[i], i, count, series));
  }
  return shapes;
}

}  // namespace kez
