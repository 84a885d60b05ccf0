// Level-wise mining of the contiguous patterns frequent in a symbolic dataset, and their pruning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "motif.h"
#include "sax.h"

namespace kez {

// Orders patterns element by element as signed bytes, a proper prefix before its extensions.
struct PatternLess {
  // True when `a` sorts before `b`.
  bool operator()(const Pattern& a, const Pattern& b) const;
};

// Pattern to its record, in ascending pattern order.
using FrequentMap = std::map<Pattern, Motif, PatternLess>;

// Polled between units of work; it stops a long run by throwing.
using CancelCheck = std::function<void()>;

// Returns the length of the longest common subsequence of `a` and `b`.
double lcs(const Pattern& a, const Pattern& b);

// True when `patterns` holds a pattern equal to `p`.
bool is_p_in_vec(const Pattern& p, const std::vector<Pattern>& patterns);

// Throws std::invalid_argument naming both values when growth with them could never stop.
void check_growth(double minsup, int max_len);

class PatternMiner {
 public:
  // A miner keeping patterns present in a share `minsup` of the series, `min_len` to `max_len` long (0: no limit).
  PatternMiner(double minsup, int min_len, int max_len, double max_overlap);

  // Mines `ds` from a clean state, leaving the frequent map; throws std::invalid_argument when growth could not stop.
  void mine(const SymbolicDataset& ds, const CancelCheck& cancelled = {});

  // Returns a copy of the frequent map.
  FrequentMap get_frequent() const { return frequent; }

  // Hands over the frequent map, leaving this miner's empty.
  FrequentMap take_frequent() {
    FrequentMap taken;
    taken.swap(frequent);
    return taken;
  }

 private:
  // One candidate of the level being grown: a pattern of the level below extended by one symbol.
  struct Candidate {
    std::size_t prefix;  // position of the prefix in the level below
    char last;           // the symbol appended to it
  };

  void mine_1_patterns(const SymbolicDataset& ds);
  std::vector<Candidate> get_candidates() const;
  // Occurrences of the extensions of one prefix, found in one pass over the prefix's occurrences.
  struct Extensions {
    std::vector<int> slot;  // symbol to bucket, -1: none
    // Per bucket: the positions found, in scan order, and the runs of one series each (series, end).
    std::vector<std::vector<std::int32_t>> positions;
    std::vector<std::vector<std::pair<std::int32_t, std::size_t>>> runs;
  };
  std::size_t find_candidate(const Motif& prefix, const Candidate* first, const Candidate* last,
                             const SymbolicDataset& ds, Extensions& out) const;
  void prune_infrequent(Motif&& candidate);
  std::vector<const Pattern*> remove_short();
  void remove_redundant(const CancelCheck& cancelled);
  void grow(const SymbolicDataset& ds, const CancelCheck& cancelled);
  std::vector<const Motif*> records_of(const std::vector<Pattern>& level) const;

  double minsup;
  int min_len;
  int max_len;
  double max_overlap;
  FrequentMap frequent;
  double support_threshold = 0.0;
  int current_length = 2;
  std::vector<std::vector<Pattern>> levels{2};
};

}  // namespace kez
