// Motif discovery: normalise, discretise, mine, map and rank.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>
#include <vector>

#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace kez {

// Orders `motifs` as Miner::mine ranks its list: ascending naed, NaN after every number.
void rank_motifs(std::vector<Motif>& motifs);

// Returns the first `k` of the ranked `motifs` (0: all), as Miner::mine returns its best.
std::vector<Motif> best_of_ranked(const std::vector<Motif>& motifs, int k);

class Miner {
 public:
  // The parameters of every stage, each with the default the Python class gives it; the pattern miner's own
  // are handed to it as they are.
  struct Options {
    PatternMiner::Options patterns;  // minsup, min_len, max_len, max_overlap
    int seglen = 0;                  // samples per letter (Python requires it)
    int alphabet = 0;                // letters in the alphabet (Python requires it)
    int k = 0;                       // how many motifs `mine` returns; 0: all
  };

  // A miner with `options`, which it keeps unchanged.
  explicit Miner(const Options& options);

  // Finds, maps and ranks the motifs of `ts` (normalised in place) from an empty list; returns the best `k`.
  // Parameters that cannot work throw std::invalid_argument before anything changes.
  std::vector<Motif> mine(Dataset& ts, const CancelCheck& cancelled = {}, const ProgressReport& report = {});

  // Supplies series `index`: as it is stored, or `scratch` filled with it.
  using SeriesSource = std::function<const Series&(std::size_t index, Series& scratch)>;

  // The same for `count` z-normalised series that `normalised` supplies one at a time, each as often as needed,
  // so that no copy of the whole collection is held.
  std::vector<Motif> mine(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled = {},
                          const ProgressReport& report = {});

  // The same for `count` series that `raw` supplies as they are, not normalised: each series' mean and deviation
  // are found once, and every read of it is normalised with them, exactly as znorm_series would.
  std::vector<Motif> mine_unnormalised(std::size_t count, const SeriesSource& raw, const CancelCheck& cancelled = {},
                                       const ProgressReport& report = {});

  // Returns a copy of the whole ranked motif list.
  std::vector<Motif> get_motifs() const { return motifs; }

  // Returns a copy of the options.
  Options get_options() const { return options; }

  // Replaces the ranked motif list, as when a saved miner is restored.
  void set_motifs(std::vector<Motif> ranked) { motifs = std::move(ranked); }

 private:
  SymbolicDataset discretise(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                             const ProgressReport& report) const;
  void mine_patterns(const SymbolicDataset& ds, const CancelCheck& cancelled, const ProgressReport& report);
  void map_patterns(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                    const ProgressReport& report);
  void sort_patterns();
  std::vector<Motif> best_motifs() const;

  Options options;
  std::vector<Motif> motifs;
};

}  // namespace kez
