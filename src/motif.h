// The record of one frequent pattern: where it occurs and the statistics of its occurrences.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "buffer.h"
#include "sax.h"
#include "walk_order.h"

namespace kez {

// A pattern: a run of symbols, compared as signed bytes.
using Pattern = std::vector<char>;
// Series index to the symbol positions of a pattern's occurrences there, in recording order.
using OccurrenceIndex = SeriesMap<std::vector<std::int32_t>>;
// Series index to the element-wise mean of that series' occurrence windows.
using AverageOccurrences = SeriesMap<std::vector<double>>;
// Series index to the sample offset of its occurrence closest to the representative.
using BestMatches = SeriesMap<std::int32_t>;

// Everything a record holds, flat, in the orders its accessors hand out: what saving a record keeps.
struct MotifState {
  Pattern pattern;
  std::int32_t seglen = 0;
  std::int32_t length = 0;
  double naed = 0.0;
  std::size_t index_buckets = 0;              // bucket count of the occurrence index
  std::vector<std::int32_t> index_series;     // the occurrence index's keys, in its iteration order
  std::vector<std::size_t> index_counts;      // per key, how many positions
  std::vector<std::int32_t> index_positions;  // the positions, key by key
  std::vector<std::int32_t> mapped_series;    // one per row of statistics, in first-mapped order
  std::vector<std::int32_t> best_offsets;     // one per row
  std::vector<double> averages;               // `length` values per row, or none when left out
  std::vector<double> representative;
};

// An occurrence index filled in one go and held flat, as the pattern miner makes it: a map filled entry by entry
// costs a node and a list of its own per series, many times the positions it holds.
struct PackedIndex {
  std::vector<std::int32_t> series;     // distinct, in the order they were recorded
  std::vector<std::size_t> ends;        // series[i]'s positions end at ends[i] and start at ends[i - 1] (0 for i = 0)
  std::vector<std::int32_t> positions;  // series by series, each in recording order
  std::vector<std::uint32_t> walk;      // the indexes of `series` in the order a map filled in that order walks them
};

// Working space of the mapping steps, reused from call to call by one thread.
struct MapScratch {
  std::vector<double> counts;     // per window element, how many windows had a sample there
  std::vector<double> distances;  // per occurrence of the series at hand, its distance to the representative
};

// Whole windows waiting to be measured against their representatives, grouped by length, so that the windows
// of many entries of one series are measured side by side: each window's sum is its own chain of additions,
// first element to last, and the processor overlaps the chains. Used by one thread at a time.
class DistanceBatch {
 public:
  // Stores in *out, now or at the latest by the next flush, the distance of the `length` samples at `window`,
  // all inside their series, to `representative`, as the one-window measure gives it.
  void add(const double* window, const double* representative, std::size_t length, double* out);
  // Measures every window still waiting.
  void flush();

  static constexpr std::size_t lanes = 8;

 private:
  struct Waiting {
    const double* window;
    const double* representative;
    double* out;
  };
  struct Group {
    std::size_t length;
    std::size_t count;
    std::array<Waiting, lanes> waiting;
  };
  std::vector<Group> groups;
};

// Returns the smallest of the `count` distances `measured` of the windows at `positions`, and its position,
// the first in position order among equals; a finite bound when every distance exceeds it.
std::pair<double, std::int32_t> best_of(const std::int32_t* positions, const double* measured, std::size_t count);

// The parts of one record that the steps over single occurrence index entries use, pointing into the record:
// a loop over the entries of many records reads them from one small array rather than from each record.
// Valid from the record's prepare_map until its set_best_matches_and_naed.
class MappingView {
 public:
  MappingView(double* rows, const double* shape, const std::size_t* rows_of_ranks, std::int32_t window,
              std::int32_t samples_per_letter)
      : averages(rows), representative(shape), rank_rows(rows_of_ranks), length(window), seglen(samples_per_letter) {}

  // Stores the element-wise mean of the windows at the `count` positions from `positions` of `series` (nullptr:
  // no samples) as the average of the rank-th series of the occurrence index in its iteration order.
  void set_average(std::size_t rank, const Series* series, const std::int32_t* positions, std::size_t count,
                   MapScratch& scratch) const;
  // Stores in measured[j], now or by the batch's next flush, the distance to the representative of the window at
  // positions[j] of `series`, for each of the `count` positions.
  void measure(const Series* series, const std::int32_t* positions, std::size_t count, DistanceBatch& batch,
               double* measured) const;
  // Stores the window length of `values` as the average of the rank-th series of the occurrence index, as
  // set_average would store them had it computed them: for averages computed elsewhere.
  void store_average(std::size_t rank, const double* values) const;

 private:
  double* averages;
  const double* representative;
  const std::size_t* rank_rows;  // nullptr: each rank is its row
  std::int32_t length;
  std::int32_t seglen;
};

class Motif {
 public:
  // A record of `pattern` with an empty occurrence index and no statistics.
  explicit Motif(Pattern pattern);

  // The record `state` describes, its maps iterating as they did when it was saved; throws
  // std::invalid_argument naming the first part that does not fit the others.
  explicit Motif(MotifState state);

  // A record of `pattern` with occurrence index `index` and no statistics; `index.walk` must be the order
  // for_each_in_walk_order gives for its series.
  Motif(Pattern pattern, PackedIndex index);

  // Returns the whole record, from which the MotifState constructor makes an equal one.
  MotifState save() const;

  // Appends `position` to the occurrence list of `series`, creating that list on first use.
  void record_index(std::int32_t series, std::int32_t position);

  // Appends the positions [first, last), in order, to the occurrence list of `series`, as that many
  // record_index calls would.
  void record_indexes(std::int32_t series, const std::int32_t* first, const std::int32_t* last);

  // Computes seglen, length, average occurrences, representative, best matches and naed from `ts`.
  void map(const Dataset& ts, int seglen);

  // The steps of map, for callers that visit the series one at a time; map(ts, seglen) is
  // prepare_map, then the view's set_average for every entry of the occurrence index in its iteration order,
  // then set_representative, then set_best_matches_and_naed of the best_of the view's measures for every entry
  // in the same order. Between prepare_map and set_best_matches_and_naed the record is not copied: the steps write
  // its own collections in place, set_average and measure from any number of threads, each entry once.

  // Sets seglen and length, sizes the representative and makes room for one average per series of the
  // occurrence index; throws std::length_error for a bad length.
  void prepare_map(int seglen);
  // Returns the view the entry steps work through; call after prepare_map.
  MappingView mapping_view();
  // Adds the element-wise mean of the stored averages, in their iteration order, to the representative.
  void set_representative();
  // Lets the per-series averages go, keeping every other statistic: get_average_occurrences is empty from then
  // on, until the record is mapped again.
  void leave_out_averages();
  // Stores the best matches (distance, position), one per occurrence index entry in iteration order, as sample
  // offsets, and adds their distances to naed before dividing it by the support times the length.
  void set_best_matches_and_naed(const std::vector<std::pair<double, std::int32_t>>& best);

  // Returns the occurrence window of `position` in `series`: `length` samples, NaN where none exist.
  std::vector<double> get_occurrence(const Series& series, std::int32_t position) const;

  // Returns a copy of the occurrence index, as every accessor returns its collection (the `indexes` property).
  OccurrenceIndex get_indexes() const;
  // Returns a copy of the per-series average occurrences.
  AverageOccurrences get_average_occurrences() const;
  // Returns a copy of the per-series best-match sample offsets.
  BestMatches get_best_matches() const;
  // Returns a copy of the representative shape.
  std::vector<double> get_representative() const { return contents->representative; }
  // Returns the occurrence window length in samples.
  std::int32_t get_length() const { return length; }
  // Returns the ranking score.
  double get_naed() const { return naed; }
  // Calls visit(series, positions, count) for each entry of the occurrence index in its iteration order, its
  // `count` positions read in place: for the mapping, which walks every record's index twice and would otherwise
  // copy each one for nothing.
  template <typename Visit>
  void for_each_occurrence(const Visit& visit) const;
  // Returns the number of series the pattern occurs in.
  std::size_t get_support() const { return contents->packed.series.size() + contents->indexes.size(); }

  // The pattern; read directly by the miners and the bindings.
  Pattern pattern;

 private:
  // The collections of a record. Copies of a record share them until one of the copies changes
  // them, and then that copy takes a copy of its own: a record still behaves as a value, while
  // handing out copies of whole motif lists costs no memory.
  //
  // The statistics are kept flat, not as maps: one row per series that has them, in the order the series
  // first got them. That order is the insertion order of the maps handed out, so a map rebuilt from it
  // walks exactly as one filled in place would have (walk_order.h).
  //
  // The occurrence index is `packed` while it has not changed since it was made whole (only then can it have any
  // series), and `indexes` otherwise.
  struct Contents {
    OccurrenceIndex indexes;
    PackedIndex packed;
    std::vector<std::int32_t> mapped_series;  // one per row, in first-mapped order
    Buffer<double> averages;                  // `length` values per row, each written by its mapping
    std::vector<std::int32_t> best_offsets;   // one per row
    std::vector<double> representative;
  };

  // The collections, made this record's own first when a copy shares them.
  Contents& own();
  // The collections, made this record's own, with the occurrence index as a map.
  Contents& own_unpacked();
  // The row of the rank-th entry of the occurrence index while a mapping runs.
  std::size_t row_of(std::size_t rank) const { return rank_rows.empty() ? rank : rank_rows[rank]; }

  // Rows of the occurrence index's entries when they differ from the ranks (a record mapped again after
  // more series were recorded); empty otherwise.
  std::vector<std::size_t> rank_rows;
  std::int32_t mapped_seglen = 0;  // the seglen of the last mapping
  std::int32_t length = 0;
  std::shared_ptr<Contents> contents;
  double naed = 0.0;
};

template <typename Visit>
void Motif::for_each_occurrence(const Visit& visit) const {
  const PackedIndex& packed = contents->packed;
  for (const std::uint32_t i : packed.walk) {
    const std::size_t first = i == 0 ? 0 : packed.ends[i - 1];
    visit(packed.series[i], packed.positions.data() + first, packed.ends[i] - first);
  }
  for (const auto& [s, positions] : contents->indexes) visit(s, positions.data(), positions.size());
}

}  // namespace kez
