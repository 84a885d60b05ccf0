// A run shared out over shards of whole series: each step computes, for its shard, exactly what Miner::mine
// computes for those series, and the driver's steps put the shards' parts together in Miner::mine's order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace kez {

// Z-normalises every series of `ts` in place and returns its letters, both exactly as Miner::mine makes them.
SymbolicDataset shard_letters(Dataset& ts, int seglen, int alphabet, const CancelCheck& cancelled = {});

// The occurrence index entries of a batch of records whose series lie in one shard: record by record, each
// record's entries in its index's iteration order.
struct ShardPlan {
  std::vector<std::int32_t> lengths;    // per record of the batch, its window length in samples
  std::vector<std::uint32_t> record;    // per entry, its record's place in the batch
  std::vector<std::int32_t> series;     // per entry, its series' place in the shard
  std::vector<std::uint64_t> ends;      // per entry, where its positions end (the previous entry's end: start)
  std::vector<std::int32_t> positions;  // the entries' symbol positions, entry by entry
};

// The plan of each shard for motifs[first, last) mapped with `seglen`; shard i holds the series
// [starts[i], starts[i + 1]). Throws std::invalid_argument for a series outside every shard.
std::vector<ShardPlan> shard_plans(const std::vector<Motif>& motifs, std::size_t first, std::size_t last,
                                   const std::vector<std::size_t>& starts, int seglen);

// Per entry of `plan`, its record's window length of averages as MappingView::set_average computes them over
// the shard's normalised `series`, entry after entry; throws std::invalid_argument for a plan that does not fit.
std::vector<double> shard_averages(const Dataset& series, const ShardPlan& plan, int seglen,
                                   const CancelCheck& cancelled = {});

// The best match of each entry of a plan: its distance and symbol position, as best_of gives them.
struct ShardBest {
  std::vector<double> distances;
  std::vector<std::int32_t> positions;
};

// Per entry of `plan`, the best of its windows against its record's representative, which starts in
// `representatives` where the lengths of the records before it end; throws std::invalid_argument for a plan
// that does not fit.
ShardBest shard_best(const Dataset& series, const ShardPlan& plan, int seglen,
                     const std::vector<double>& representatives, const CancelCheck& cancelled = {});

// One shard's averages, read where they lie: `size` values from `data`.
struct ShardRows {
  const double* data;
  std::size_t size;
};

// Prepares motifs[first, last) for mapping with `seglen`, stores the averages of shard i from rows[i] (in its
// plan's order) and sets their representatives; without `keep_averages` each then lets its averages go. Throws
// std::invalid_argument when a shard's rows do not fit its plan.
void fold_averages(std::vector<Motif>& motifs, std::size_t first, std::size_t last, int seglen,
                   const std::vector<std::size_t>& starts, const std::vector<ShardRows>& rows, bool keep_averages);

// Stores in motifs[first, last) the best matches and naed from shard i's best[i] (in its plan's order).
// Throws std::invalid_argument when a shard's matches do not fit its plan.
void fold_best(std::vector<Motif>& motifs, std::size_t first, std::size_t last, const std::vector<std::size_t>& starts,
               const std::vector<ShardBest>& best);

}  // namespace kez
