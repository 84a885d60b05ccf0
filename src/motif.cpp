#include "motif.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "vector_error.h"
#include "wide.h"

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
double distance(const Window& w, const double* representative) {
  double sum = 0.0;
  for (std::size_t i = w.lo; i < w.hi; ++i) {
    const double v = w.data[i - w.lo];
    if (std::isnan(v)) continue;
    const double d = v - representative[i];
    sum += d * d;
  }
  return std::sqrt(sum);
}

// Adds each of the `size` values that is a number to its element of `sums`, and counts it. A missing value
// adds +0.0 instead, which changes no sum: every sum starts at +0.0, and so can never be -0.0.
KEZ_WIDE_CLONES
void add_present(const double* __restrict values, std::size_t size, double* __restrict sums,
                 double* __restrict counts) {
  for (std::size_t i = 0; i < size; ++i) {
    // Written as choices, then sums, so that the compiler turns each choice into a blend of vector lanes.
    const double v = values[i];
    const double value = std::isnan(v) ? 0.0 : v;
    const double count = std::isnan(v) ? 0.0 : 1.0;
    sums[i] = sums[i] + value;
    counts[i] = counts[i] + count;
  }
}

// Sets each of the `size` sums to 0.0 + its value, missing or not: a sum from 0.0 of that value alone.
KEZ_WIDE_CLONES
void start_all(const double* __restrict values, std::size_t size, double* __restrict sums) {
  for (std::size_t i = 0; i < size; ++i) sums[i] = 0.0 + values[i];
}

// Adds each of the `size` values to its element of `sums`, missing or not.
KEZ_WIDE_CLONES
void add_all(const double* __restrict values, std::size_t size, double* __restrict sums) {
  for (std::size_t i = 0; i < size; ++i) sums[i] = sums[i] + values[i];
}

// Whether none of the `size` values is missing.
KEZ_WIDE_CLONES
bool none_missing(const double* values, std::size_t size) {
  // Counted without an early exit, so that the compiler tests a vector of values at a time.
  std::uint64_t missing_count = 0;
  for (std::size_t i = 0; i < size; ++i) missing_count += std::isnan(values[i]) ? 1 : 0;
  return missing_count == 0;
}

// Divides each of the `size` sums by `count`.
KEZ_WIDE_CLONES
void divide_all(double* __restrict sums, std::size_t size, double count) {
  for (std::size_t i = 0; i < size; ++i) sums[i] = sums[i] / count;
}

// Sums the `rows` rows of `size` values at row(0), ..., row(rows - 1) into `sums` as they are, in that order,
// each element from 0.0; returns false if some sum comes out missing. Otherwise no row had a missing value
// there (a missing value keeps its sum missing), so each sum is that of `rows` values, whole.
template <typename Row>
bool sum_whole(const Row& row, std::size_t rows, std::size_t size, double* sums) {
  start_all(row(0), size, sums);
  for (std::size_t j = 1; j < rows; ++j) add_all(row(j), size, sums);
  return none_missing(sums, size);
}

// Turns each of `size` sums into its mean, sums[i] / counts[i], or missing where the count is 0: what
// `counts[i] == 0.0 ? missing : sums[i] / counts[i]` gives, bit for bit. The counts are whole numbers summed from
// +0.0, so a count of 0 is the one whose bits are all 0; choosing by bits, never by a comparison of doubles,
// lets the compiler divide several lanes at once.
KEZ_WIDE_CLONES
void means_in_place(double* __restrict sums, const double* __restrict counts, std::size_t size) {
  const auto bits = [](double x) {
    std::uint64_t b = 0;
    std::memcpy(&b, &x, sizeof b);
    return b;
  };
  const std::uint64_t missing_bits = bits(missing);
  const std::uint64_t one_bits = bits(1.0);
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint64_t count = bits(counts[i]);
    const std::uint64_t none = count == 0 ? ~std::uint64_t{0} : 0;
    const std::uint64_t divisor_bits = (count & ~none) | (one_bits & none);
    double divisor = 0.0;
    std::memcpy(&divisor, &divisor_bits, sizeof divisor);
    const std::uint64_t mean = bits(sums[i] / divisor);
    const std::uint64_t chosen = (mean & ~none) | (missing_bits & none);
    std::memcpy(&sums[i], &chosen, sizeof chosen);
  }
}

// The mean of each of `size` samples alone: a number's is 0.0 + v, as a sum from 0.0 divided by 1; a missing
// sample's is missing.
KEZ_WIDE_CLONES
void one_window_mean(const double* __restrict values, std::size_t size, double* __restrict means) {
  for (std::size_t i = 0; i < size; ++i) {
    const double v = values[i];
    const double mean = std::isnan(v) ? missing : 0.0 + v;
    means[i] = mean;
  }
}

// The distance of each of the `lanes` whole windows waiting in `group` to its representative, as distance
// gives it. The squares are summed as they are; a missing sample would leave its sum missing, so only a window
// whose sum comes out missing is measured again by distance, which skips missing samples.
template <typename Waiting>
void distances(const std::array<Waiting, DistanceBatch::lanes>& waiting, std::size_t size) {
  constexpr std::size_t lanes = DistanceBatch::lanes;
  std::array<double, lanes> sums{};
  for (std::size_t i = 0; i < size; ++i) {
    for (std::size_t k = 0; k < lanes; ++k) {
      const double d = waiting[k].window[i] - waiting[k].representative[i];
      sums[k] = sums[k] + d * d;
    }
  }
  for (std::size_t k = 0; k < lanes; ++k) {
    const Waiting& w = waiting[k];
    *w.out = std::isnan(sums[k]) ? distance(Window{w.window, 0, size}, w.representative) : std::sqrt(sums[k]);
  }
}

const Series* series_at(const Dataset& ts, std::int32_t s) {
  return s >= 0 && static_cast<std::size_t>(s) < ts.size() ? &ts[static_cast<std::size_t>(s)] : nullptr;
}

}  // namespace

Motif::Motif(Pattern letters) : pattern(std::move(letters)), contents(std::make_shared<Contents>()) {}

Motif::Motif(MotifState state) : pattern(std::move(state.pattern)), contents(std::make_shared<Contents>()) {
  const auto fail = [](const std::string& what) { throw std::invalid_argument("motif state: " + what); };
  const std::size_t entries = state.index_series.size();
  if (state.index_counts.size() != entries) {
    fail("index has " + std::to_string(entries) + " series but " + std::to_string(state.index_counts.size()) +
         " counts");
  }
  std::size_t positions = 0;
  for (const std::size_t n : state.index_counts) {
    if (n > state.index_positions.size() - positions) fail("index counts exceed its positions");
    positions += n;
  }
  if (positions != state.index_positions.size()) fail("index counts do not add up to its positions");
  const auto negative = [](const std::vector<std::int32_t>& values) {
    return std::any_of(values.begin(), values.end(), [](std::int32_t v) { return v < 0; });
  };
  if (negative(state.index_series) || negative(state.mapped_series)) fail("a series index is negative");
  if (negative(state.index_positions) || negative(state.best_offsets)) fail("a position or offset is negative");
  const std::int64_t expected = static_cast<std::int64_t>(state.seglen) * static_cast<std::int64_t>(pattern.size());
  if (state.length < 0 || state.length != expected) {
    fail("length " + std::to_string(state.length) + " is not seglen times the pattern's length");
  }
  const auto size = static_cast<std::size_t>(state.length);
  const std::size_t rows = state.mapped_series.size();
  const bool averages_fit = state.averages.size() == rows * size || state.averages.empty();
  if (state.best_offsets.size() != rows || !averages_fit || state.representative.size() != size) {
    fail("statistics do not fit " + std::to_string(rows) + " series of " + std::to_string(size) + " samples");
  }
  const std::size_t bound = 4 * entries + 16;
  if (state.index_buckets > bound) fail("bucket count " + std::to_string(state.index_buckets) + " is too large");
  Contents& c = *contents;
  std::vector<std::size_t> starts(entries + 1, 0);
  for (std::size_t e = 0; e < entries; ++e) starts[e + 1] = starts[e] + state.index_counts[e];
  const std::size_t repeated = fill_in_walk_order(c.indexes, state.index_buckets, entries, [&](std::size_t e) {
    const auto first = state.index_positions.begin() + static_cast<std::ptrdiff_t>(starts[e]);
    const auto last = state.index_positions.begin() + static_cast<std::ptrdiff_t>(starts[e + 1]);
    return std::make_pair(state.index_series[e], std::vector<std::int32_t>(first, last));
  });
  if (repeated < entries) {
    fail("series " + std::to_string(state.index_series[repeated]) + " appears twice in the index");
  }
  std::unordered_map<std::int32_t, char> rows_seen;
  for (const std::int32_t s : state.mapped_series) {
    if (c.indexes.count(s) == 0 || !rows_seen.emplace(s, 0).second) {
      fail("series " + std::to_string(s) + " has statistics but no single entry in the index");
    }
  }
  c.mapped_series = std::move(state.mapped_series);
  c.best_offsets = std::move(state.best_offsets);
  c.averages.assign(state.averages.begin(), state.averages.end());
  c.representative = std::move(state.representative);
  mapped_seglen = state.seglen;
  length = state.length;
  naed = state.naed;
}

Motif::Motif(Pattern letters, PackedIndex index) : pattern(std::move(letters)), contents(std::make_shared<Contents>()) {
  contents->packed = std::move(index);
}

MotifState Motif::save() const {
  MotifState state;
  const Contents& c = *contents;
  // A packed index has no buckets until it is made a map, as handing it out does.
  const OccurrenceIndex made = c.packed.series.empty() ? OccurrenceIndex() : get_indexes();
  const OccurrenceIndex& indexes = c.packed.series.empty() ? c.indexes : made;
  state.pattern = pattern;
  state.seglen = mapped_seglen;
  state.length = length;
  state.naed = naed;
  state.index_buckets = indexes.bucket_count();
  state.index_series.reserve(indexes.size());
  state.index_counts.reserve(indexes.size());
  for (const auto& [s, positions] : indexes) {
    state.index_series.push_back(s);
    state.index_counts.push_back(positions.size());
    state.index_positions.insert(state.index_positions.end(), positions.begin(), positions.end());
  }
  state.mapped_series = c.mapped_series;
  state.best_offsets = c.best_offsets;
  state.averages.assign(c.averages.begin(), c.averages.end());
  state.representative = c.representative;
  return state;
}

Motif::Contents& Motif::own() {
  // The copy constructors of the maps keep their buckets and their order, so a record that copies
  // late is the same as one that copied when it was copied.
  if (contents.use_count() != 1) contents = std::make_shared<Contents>(*contents);
  return *contents;
}

Motif::Contents& Motif::own_unpacked() {
  Contents& c = own();
  if (c.packed.series.empty()) return c;
  OccurrenceIndex unpacked = get_indexes();
  c.indexes.swap(unpacked);
  c.packed = PackedIndex();
  return c;
}

OccurrenceIndex Motif::get_indexes() const {
  const PackedIndex& packed = contents->packed;
  if (packed.series.empty()) return contents->indexes;
  // Filled as the packed series were recorded, the map walks as `walk` says.
  OccurrenceIndex indexes;
  for (std::size_t i = 0; i < packed.series.size(); ++i) {
    const auto first = packed.positions.begin() + static_cast<std::ptrdiff_t>(i == 0 ? 0 : packed.ends[i - 1]);
    const auto last = packed.positions.begin() + static_cast<std::ptrdiff_t>(packed.ends[i]);
    indexes.emplace(packed.series[i], std::vector<std::int32_t>(first, last));
  }
  return indexes;
}

void Motif::record_index(std::int32_t series, std::int32_t position) {
  own_unpacked().indexes[series].push_back(position);
}

void Motif::record_indexes(std::int32_t series, const std::int32_t* first, const std::int32_t* last) {
  std::vector<std::int32_t>& positions = own_unpacked().indexes[series];
  positions.insert(positions.end(), first, last);
}

void Motif::map(const Dataset& ts, int seglen) {
  prepare_map(seglen);
  const MappingView view = mapping_view();
  MapScratch scratch;
  std::size_t rank = 0;
  for_each_occurrence([&](std::int32_t s, const std::int32_t* positions, std::size_t count) {
    view.set_average(rank++, series_at(ts, s), positions, count, scratch);
  });
  set_representative();
  std::vector<std::pair<double, std::int32_t>> best;
  best.reserve(get_support());
  DistanceBatch batch;
  std::vector<double> measured;
  for_each_occurrence([&](std::int32_t s, const std::int32_t* positions, std::size_t count) {
    measured.resize(count);
    view.measure(series_at(ts, s), positions, count, batch, measured.data());
    batch.flush();
    best.push_back(best_of(positions, measured.data(), count));
  });
  set_best_matches_and_naed(best);
}

void Motif::prepare_map(int seglen) {
  const std::int64_t product = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(pattern.size());
  if (product > std::numeric_limits<std::int32_t>::max() || product < std::numeric_limits<std::int32_t>::min()) {
    throw std::length_error("motif window of " + std::to_string(product) + " samples is too long");
  }
  if (product < 0) throw_vector_length_error(VectorCall::resize);
  const auto size = static_cast<std::size_t>(product);
  Contents& c = own();
  // A series keeps the row it got when first mapped; series recorded since then get new rows.
  std::vector<std::int32_t> added;
  std::vector<std::size_t> ranks;
  if (c.mapped_series.empty()) {
    added.reserve(get_support());
    for_each_occurrence([&added](std::int32_t s, const std::int32_t*, std::size_t) { added.push_back(s); });
  } else {
    std::unordered_map<std::int32_t, std::size_t> rows;
    for (std::size_t row = 0; row < c.mapped_series.size(); ++row) rows.emplace(c.mapped_series[row], row);
    bool in_rank_order = true;
    for_each_occurrence([&](std::int32_t s, const std::int32_t*, std::size_t) {
      const auto [at, is_new] = rows.emplace(s, c.mapped_series.size() + added.size());
      if (is_new) added.push_back(s);
      in_rank_order = in_rank_order && at->second == ranks.size();
      ranks.push_back(at->second);
    });
    if (in_rank_order) ranks.clear();
  }
  // Everything is allocated before anything changes, so a failure leaves the record as it was. Every row
  // is written again by the mapping before anything reads it (the occurrence index never loses a series),
  // so none is filled here.
  const std::size_t rows = c.mapped_series.size() + added.size();
  Buffer<double> averages(rows * size);
  std::vector<std::int32_t> best_offsets(c.best_offsets);
  best_offsets.resize(rows, 0);
  std::vector<double> representative(c.representative);
  representative.resize(size, 0.0);
  c.mapped_series.reserve(rows);

  c.mapped_series.insert(c.mapped_series.end(), added.begin(), added.end());
  c.averages.swap(averages);
  c.best_offsets.swap(best_offsets);
  c.representative.swap(representative);
  rank_rows.swap(ranks);
  mapped_seglen = seglen;
  length = static_cast<std::int32_t>(product);
}

AverageOccurrences Motif::get_average_occurrences() const {
  AverageOccurrences averages;
  const auto size = static_cast<std::size_t>(length);
  if (contents->averages.size() < contents->mapped_series.size() * size) return averages;  // left out
  for (std::size_t row = 0; row < contents->mapped_series.size(); ++row) {
    const auto first = contents->averages.begin() + static_cast<std::ptrdiff_t>(row * size);
    averages.emplace(contents->mapped_series[row],
                     std::vector<double>(first, first + static_cast<std::ptrdiff_t>(size)));
  }
  return averages;
}

BestMatches Motif::get_best_matches() const {
  BestMatches best;
  for (std::size_t row = 0; row < contents->mapped_series.size(); ++row) {
    best.emplace(contents->mapped_series[row], contents->best_offsets[row]);
  }
  return best;
}

std::vector<double> Motif::get_occurrence(const Series& series, std::int32_t position) const {
  const std::int64_t start = static_cast<std::int64_t>(position) * mapped_seglen;
  const std::int64_t n = static_cast<std::int64_t>(series.size());
  std::vector<double> window;
  window.reserve(static_cast<std::size_t>(length));
  // Samples outside the series, before it or past its end, are missing: nothing outside is read.
  for (std::int64_t i = start; i < start + length; ++i) {
    window.push_back(i >= 0 && i < n ? series[static_cast<std::size_t>(i)] : missing);
  }
  return window;
}

MappingView Motif::mapping_view() {
  // prepare_map made the collections this record's own, so the rows are written where they are.
  return MappingView(contents->averages.data(), contents->representative.data(),
                     rank_rows.empty() ? nullptr : rank_rows.data(), length, mapped_seglen);
}

void MappingView::set_average(std::size_t rank, const Series* series, const std::int32_t* positions, std::size_t count,
                              MapScratch& scratch) const {
  const std::size_t size = static_cast<std::size_t>(length);
  double* const sums = averages + (rank_rows == nullptr ? rank : rank_rows[rank]) * size;
  if (count == 1) {
    // One window: its mean is each sample itself, as 0.0 + v (which turns -0.0 to +0.0) divided by a count of
    // 1, which changes nothing; a missing sample has no mean.
    const Window w = window_at(series, static_cast<std::int64_t>(positions[0]) * seglen, length);
    std::fill(sums, sums + w.lo, missing);
    one_window_mean(w.data, w.hi - w.lo, sums + w.lo);
    std::fill(sums + w.hi, sums + size, missing);
    return;
  }
  // Windows that lie whole inside their series are summed as they are. When no sum comes out missing, no window
  // had a missing sample (a missing sample keeps its sum missing), so every element counted every window.
  const auto whole = [&](std::size_t j) {
    const Window w = window_at(series, static_cast<std::int64_t>(positions[j]) * seglen, length);
    return w.lo == 0 && w.hi == size;
  };
  bool all_whole = size > 0;
  for (std::size_t j = 0; j < count && all_whole; ++j) all_whole = whole(j);
  const auto window = [&](std::size_t j) { return series->data() + static_cast<std::int64_t>(positions[j]) * seglen; };
  if (all_whole && sum_whole(window, count, size, sums)) {
    divide_all(sums, size, static_cast<double>(count));
    return;
  }
  std::fill(sums, sums + size, 0.0);
  std::vector<double>& counts = scratch.counts;
  counts.assign(size, 0.0);
  // Window by window, so each element still sums its windows in recording order.
  for (std::size_t j = 0; j < count; ++j) {
    const Window w = window_at(series, static_cast<std::int64_t>(positions[j]) * seglen, length);
    add_present(w.data, w.hi - w.lo, sums + w.lo, counts.data() + w.lo);
  }
  // The sums become the means in place: no second row.
  means_in_place(sums, counts.data(), size);
}

void MappingView::store_average(std::size_t rank, const double* values) const {
  const std::size_t size = static_cast<std::size_t>(length);
  std::copy(values, values + size, averages + (rank_rows == nullptr ? rank : rank_rows[rank]) * size);
}

void Motif::leave_out_averages() { Buffer<double>().swap(own().averages); }

void Motif::set_representative() {
  Contents& c = own();
  if (c.mapped_series.empty() || length == 0) return;
  const std::size_t size = static_cast<std::size_t>(length);
  // Series by series, so each element still sums the series in the order the averages handed out are walked.
  std::vector<std::size_t> order;
  order.reserve(c.mapped_series.size());
  const auto series_of = [&c](std::size_t row) { return c.mapped_series[row]; };
  for_each_in_walk_order(c.mapped_series.size(), series_of, [&order](std::size_t row) { order.push_back(row); });
  const auto average = [&](std::size_t k) { return c.averages.data() + order[k] * size; };
  std::vector<double> sums(size);
  if (sum_whole(average, order.size(), size, sums.data())) {
    const auto rows = static_cast<double>(order.size());
    for (std::size_t i = 0; i < size; ++i) c.representative[i] += sums[i] / rows;
    return;
  }
  std::fill(sums.begin(), sums.end(), 0.0);
  std::vector<double> counts(size, 0.0);
  for (std::size_t k = 0; k < order.size(); ++k) add_present(average(k), size, sums.data(), counts.data());
  for (std::size_t i = 0; i < size; ++i) c.representative[i] += counts[i] == 0.0 ? missing : sums[i] / counts[i];
}

void DistanceBatch::add(const double* window, const double* representative, std::size_t length, double* out) {
  auto group = std::find_if(groups.begin(), groups.end(), [length](const Group& g) { return g.length == length; });
  if (group == groups.end()) group = groups.insert(groups.end(), Group{length, 0, {}});
  group->waiting[group->count++] = {window, representative, out};
  if (group->count < lanes) return;
  distances(group->waiting, length);
  group->count = 0;
}

void DistanceBatch::flush() {
  for (Group& group : groups) {
    for (std::size_t k = 0; k < group.count; ++k) {
      const Waiting& w = group.waiting[k];
      *w.out = distance(Window{w.window, 0, group.length}, w.representative);
    }
    group.count = 0;
  }
}

std::pair<double, std::int32_t> best_of(const std::int32_t* positions, const double* measured, std::size_t count) {
  double best_distance = no_match_distance;
  std::int32_t best_position = 0;
  for (std::size_t j = 0; j < count; ++j) {
    if (measured[j] < best_distance) {
      best_distance = measured[j];
      best_position = positions[j];
    }
  }
  return {best_distance, best_position};
}

void MappingView::measure(const Series* series, const std::int32_t* positions, std::size_t count, DistanceBatch& batch,
                          double* measured) const {
  const std::size_t size = static_cast<std::size_t>(length);
  for (std::size_t j = 0; j < count; ++j) {
    const Window w = window_at(series, static_cast<std::int64_t>(positions[j]) * seglen, length);
    // A window cut by an end of its series is measured alone.
    if (w.lo != 0 || w.hi != size || size == 0) {
      measured[j] = distance(w, representative);
    } else {
      batch.add(w.data, representative, size, measured + j);
    }
  }
}

void Motif::set_best_matches_and_naed(const std::vector<std::pair<double, std::int32_t>>& best) {
  Contents& c = own();
  for (std::size_t rank = 0; rank < best.size(); ++rank) {
    const auto& [best_distance, best_position] = best[rank];
    c.best_offsets[row_of(rank)] = static_cast<std::int32_t>(static_cast<std::int64_t>(best_position) * mapped_seglen);
    naed += best_distance;
  }
  naed = naed / (static_cast<double>(get_support()) * static_cast<double>(length));
  rank_rows.clear();
}

}  // namespace kez
