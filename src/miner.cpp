#include "miner.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace kez {

namespace {

// Ascending naed; NaN after every number, so the order stays strict and weak.
bool ranks_before(const Motif& a, const Motif& b) {
  const double x = a.get_naed();
  const double y = b.get_naed();
  if (std::isnan(y)) return !std::isnan(x);
  return x < y;
}

}  // namespace

Miner::Miner(double minsup, int seglen, int alphabet, int min_len, int max_len, double max_overlap, int k)
    : minsup(minsup),
      seglen(seglen),
      alphabet(alphabet),
      min_len(min_len),
      max_len(max_len),
      max_overlap(max_overlap),
      k(k) {}

std::vector<Motif> Miner::mine(Dataset& ts, const CancelCheck& cancelled) {
  check_alphabet(alphabet);
  check_growth(minsup, max_len);
  motifs.clear();
  try {
    znorm(ts);
    const SymbolicDataset ds = sax(ts, seglen, alphabet);
    mine_patterns(ds, cancelled);
    if (!motifs.empty()) {
      map_patterns(ts, cancelled);
      sort_patterns();
    }
  } catch (...) {
    // A failed or interrupted call leaves no half-mapped records behind.
    motifs.clear();
    throw;
  }
  return best_motifs();
}

void Miner::mine_patterns(const SymbolicDataset& ds, const CancelCheck& cancelled) {
  PatternMiner miner(minsup, min_len, max_len, max_overlap);
  miner.mine(ds, cancelled);
  for (auto& entry : miner.take_frequent()) motifs.push_back(std::move(entry.second));
}

void Miner::map_patterns(const Dataset& ts, const CancelCheck& cancelled) {
  for (Motif& motif : motifs) {
    if (cancelled) cancelled();
    motif.map(ts, seglen);
  }
}

void Miner::sort_patterns() { std::sort(motifs.begin(), motifs.end(), ranks_before); }

std::vector<Motif> Miner::best_motifs() const {
  const int n = static_cast<int>(motifs.size());
  const int count = k == 0 ? n : std::min(k, n);
  if (count < 0) throw std::length_error("cannot create std::vector larger than max_size()");
  return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

}  // namespace kez
