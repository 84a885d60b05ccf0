#include "motif.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace kez {

namespace {

constexpr double missing = std::numeric_limits<double>::quiet_NaN();
// A finite start for the best distance: a series whose windows all lie farther adds exactly this.
constexpr double no_match_distance = 1000000.0;

double distance(const std::vector<double>& window, const std::vector<double>& representative) {
  double sum = 0.0;
  for (std::size_t i = 0; i < window.size(); ++i) {
    if (std::isnan(window[i])) continue;
    const double d = window[i] - representative[i];
    sum += d * d;
  }
  return std::sqrt(sum);
}

}  // namespace

Motif::Motif(Pattern pattern) : pattern(std::move(pattern)) {}

void Motif::record_index(std::int32_t series, std::int32_t position) {
  indexes[series].push_back(position);
}

void Motif::map(const Dataset& ts, int seglen) {
  this->seglen = seglen;
  const std::int64_t product = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(pattern.size());
  if (product > std::numeric_limits<std::int32_t>::max() || product < std::numeric_limits<std::int32_t>::min()) {
    throw std::length_error("motif window of " + std::to_string(product) + " samples is too long");
  }
  length = static_cast<std::int32_t>(product);
  if (length < 0) throw std::length_error("vector::_M_default_append");
  representative.resize(static_cast<std::size_t>(length), 0.0);
  set_average_occurrences(ts);
  set_representative();
  set_best_matches_and_naed(ts);
}

std::vector<double> Motif::get_occurrence(const Series& series, std::int32_t position) const {
  const std::int64_t start = static_cast<std::int64_t>(position) * seglen;
  const std::int64_t n = static_cast<std::int64_t>(series.size());
  std::vector<double> window;
  window.reserve(static_cast<std::size_t>(length));
  // Samples outside the series, before it or past its end, are missing: nothing outside is read.
  for (std::int64_t i = start; i < start + length; ++i) {
    window.push_back(i >= 0 && i < n ? series[static_cast<std::size_t>(i)] : missing);
  }
  return window;
}

std::vector<std::vector<double>> Motif::get_windows(const Dataset& ts, std::int32_t s,
                                                   const std::vector<std::int32_t>& positions) const {
  const Series absent;
  const bool inside = s >= 0 && static_cast<std::size_t>(s) < ts.size();
  const Series& series = inside ? ts[static_cast<std::size_t>(s)] : absent;
  std::vector<std::vector<double>> windows;
  windows.reserve(positions.size());
  for (const std::int32_t p : positions) windows.push_back(get_occurrence(series, p));
  return windows;
}

void Motif::set_average_occurrences(const Dataset& ts) {
  for (const auto& [s, positions] : indexes) {
    const auto windows = get_windows(ts, s, positions);
    const std::size_t size = windows.front().size();
    std::vector<double> average(size);
    for (std::size_t i = 0; i < size; ++i) {
      double sum = 0.0;
      int count = 0;
      for (const auto& w : windows) {
        if (std::isnan(w[i])) continue;
        sum += w[i];
        ++count;
      }
      average[i] = count == 0 ? missing : sum / count;
    }
    average_occurrences[s] = std::move(average);
  }
}

void Motif::set_representative() {
  if (average_occurrences.empty() || length == 0) return;
  for (std::size_t i = 0; i < static_cast<std::size_t>(length); ++i) {
    double sum = 0.0;
    int count = 0;
    for (const auto& entry : average_occurrences) {
      const double v = entry.second[i];
      if (std::isnan(v)) continue;
      sum += v;
      ++count;
    }
    representative[i] += count == 0 ? missing : sum / count;
  }
}

void Motif::set_best_matches_and_naed(const Dataset& ts) {
  for (const auto& [s, positions] : indexes) {
    const auto windows = get_windows(ts, s, positions);
    double best_distance = no_match_distance;
    std::int32_t best_position = 0;
    for (std::size_t j = 0; j < windows.size(); ++j) {
      const double d = distance(windows[j], representative);
      if (d < best_distance) {
        best_distance = d;
        best_position = positions[j];
      }
    }
    best_matches[s] = static_cast<std::int32_t>(static_cast<std::int64_t>(best_position) * seglen);
    naed += best_distance;
  }
  naed = naed / (static_cast<double>(indexes.size()) * static_cast<double>(length));
}

}  // namespace kez
