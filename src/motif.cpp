#include "motif.h"

#include <algorithm>
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

// The part of an occurrence window that lies inside its series, read in place: window elements
// [lo, hi) are data[0 .. hi - lo); every other element is missing.
struct Window {
  const double* data = nullptr;
  std::size_t lo = 0;
  std::size_t hi = 0;
};

// A series index outside the dataset has no samples: its windows are missing throughout.
Window window_at(const Series* series, std::int64_t start, std::int32_t length) {
  const std::int64_t n = series == nullptr ? 0 : static_cast<std::int64_t>(series->size());
  const std::int64_t len = length;
  const std::int64_t lo = std::min(std::max<std::int64_t>(-start, 0), len);
  const std::int64_t hi = std::max(std::min(n - start, len), lo);
  Window w;
  w.lo = static_cast<std::size_t>(lo);
  w.hi = static_cast<std::size_t>(hi);
  if (hi > lo) w.data = series->data() + (start + lo);
  return w;
}

// Missing elements add nothing; the others add their squared difference in ascending order.
double distance(const Window& w, const std::vector<double>& representative) {
  double sum = 0.0;
  for (std::size_t i = w.lo; i < w.hi; ++i) {
    const double v = w.data[i - w.lo];
    if (std::isnan(v)) continue;
    const double d = v - representative[i];
    sum += d * d;
  }
  return std::sqrt(sum);
}

const Series* series_at(const Dataset& ts, std::int32_t s) {
  return s >= 0 && static_cast<std::size_t>(s) < ts.size() ? &ts[static_cast<std::size_t>(s)] : nullptr;
}

}  // namespace

Motif::Motif(Pattern pattern) : pattern(std::move(pattern)), contents(std::make_shared<Contents>()) {}

Motif::Contents& Motif::own() {
  // The copy constructors of the maps keep their buckets and their order, so a record that copies
  // late is the same as one that copied when it was copied.
  if (contents.use_count() != 1) contents = std::make_shared<Contents>(*contents);
  return *contents;
}

void Motif::record_index(std::int32_t series, std::int32_t position) {
  own().indexes[series].push_back(position);
}

void Motif::record_indexes(std::int32_t series, const std::int32_t* first, const std::int32_t* last) {
  std::vector<std::int32_t>& positions = own().indexes[series];
  positions.insert(positions.end(), first, last);
}

void Motif::map(const Dataset& ts, int seglen) {
  prepare_map(seglen);
  Contents& c = own();
  set_average_occurrences(c, ts);
  set_representative(c);
  set_best_matches_and_naed(c, ts);
}

void Motif::prepare_map(int seglen) {
  this->seglen = seglen;
  const std::int64_t product = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(pattern.size());
  if (product > std::numeric_limits<std::int32_t>::max() || product < std::numeric_limits<std::int32_t>::min()) {
    throw std::length_error("motif window of " + std::to_string(product) + " samples is too long");
  }
  length = static_cast<std::int32_t>(product);
  if (length < 0) throw std::length_error("vector::_M_default_append");
  own().representative.resize(static_cast<std::size_t>(length), 0.0);
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

std::vector<double> Motif::average_of(const Series* series, const std::vector<std::int32_t>& positions) const {
  const std::size_t size = static_cast<std::size_t>(length);
  std::vector<double> sums(size, 0.0);
  std::vector<int> counts(size, 0);
  // Window by window, so each element still sums its windows in recording order.
  for (const std::int32_t p : positions) {
    const Window w = window_at(series, static_cast<std::int64_t>(p) * seglen, length);
    for (std::size_t i = w.lo; i < w.hi; ++i) {
      const double v = w.data[i - w.lo];
      if (std::isnan(v)) continue;
      sums[i] += v;
      ++counts[i];
    }
  }
  // The sums become the means in place: no second vector.
  for (std::size_t i = 0; i < size; ++i) sums[i] = counts[i] == 0 ? missing : sums[i] / counts[i];
  return sums;
}

void Motif::set_average_occurrences(Contents& c, const Dataset& ts) {
  for (const auto& [s, positions] : c.indexes) c.average_occurrences[s] = average_of(series_at(ts, s), positions);
}

void Motif::set_averages(std::vector<std::vector<double>>& averages) {
  Contents& c = own();
  std::size_t rank = 0;
  for (const auto& entry : c.indexes) c.average_occurrences[entry.first] = std::move(averages[rank++]);
  set_representative(c);
}

void Motif::set_representative(Contents& c) const {
  if (c.average_occurrences.empty() || length == 0) return;
  const std::size_t size = static_cast<std::size_t>(length);
  std::vector<double> sums(size, 0.0);
  std::vector<int> counts(size, 0);
  // Series by series, so each element still sums the series in the map's iteration order.
  for (const auto& entry : c.average_occurrences) {
    const std::vector<double>& average = entry.second;
    for (std::size_t i = 0; i < size; ++i) {
      const double v = average[i];
      if (std::isnan(v)) continue;
      sums[i] += v;
      ++counts[i];
    }
  }
  for (std::size_t i = 0; i < size; ++i) c.representative[i] += counts[i] == 0 ? missing : sums[i] / counts[i];
}

std::pair<double, std::int32_t> Motif::best_match(const Series* series,
                                                  const std::vector<std::int32_t>& positions) const {
  const std::vector<double>& representative = contents->representative;
  double best_distance = no_match_distance;
  std::int32_t best_position = 0;
  for (const std::int32_t p : positions) {
    const double d = distance(window_at(series, static_cast<std::int64_t>(p) * seglen, length), representative);
    if (d < best_distance) {
      best_distance = d;
      best_position = p;
    }
  }
  return {best_distance, best_position};
}

void Motif::set_best_matches_and_naed(Contents& c, const Dataset& ts) {
  std::vector<std::pair<double, std::int32_t>> best;
  best.reserve(c.indexes.size());
  for (const auto& [s, positions] : c.indexes) best.push_back(best_match(series_at(ts, s), positions));
  set_best_matches(best);
}

void Motif::set_best_matches(const std::vector<std::pair<double, std::int32_t>>& best) {
  Contents& c = own();
  std::size_t rank = 0;
  for (const auto& entry : c.indexes) {
    const auto& [best_distance, best_position] = best[rank++];
    c.best_matches[entry.first] = static_cast<std::int32_t>(static_cast<std::int64_t>(best_position) * seglen);
    naed += best_distance;
  }
  naed = naed / (static_cast<double>(c.indexes.size()) * static_cast<double>(length));
}

}  // namespace kez
