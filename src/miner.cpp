#include "miner.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "vector_error.h"

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

Miner::Miner(const Options& given) : options(given) {}

std::vector<Motif> Miner::mine(Dataset& ts, const CancelCheck& cancelled, const ProgressReport& report) {
  check_alphabet(options.alphabet);
  check_growth(options.patterns.minsup, options.patterns.max_len);
  motifs.clear();  // an interrupted normalisation leaves no earlier list behind either
  for (Series& series : ts) {
    if (cancelled) cancelled();
    znorm_series(series);
  }
  const auto stored = [&ts](std::size_t index, Series&) -> const Series& { return ts[index]; };
  return mine(ts.size(), stored, cancelled, report);
}

std::vector<Motif> Miner::mine(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                               const ProgressReport& report) {
  check_alphabet(options.alphabet);
  check_growth(options.patterns.minsup, options.patterns.max_len);
  motifs.clear();
  try {
    SymbolicDataset ds;
    ds.reserve(count);
    Series scratch;
    for (std::size_t i = 0; i < count; ++i) {
      if (cancelled) cancelled();
      if (report) report(Stage::discretise, i, count);
      ds.push_back(get_row(normalised(i, scratch), options.seglen, options.alphabet));
    }
    if (report) report(Stage::discretise, count, count);
    mine_patterns(ds, cancelled, report);
    if (!motifs.empty()) {
      map_patterns(count, normalised, cancelled, report);
      sort_patterns();
    }
  } catch (...) {
    // A failed or interrupted call leaves no half-mapped records behind.
    motifs.clear();
    throw;
  }
  return best_motifs();
}

void Miner::mine_patterns(const SymbolicDataset& ds, const CancelCheck& cancelled, const ProgressReport& report) {
  PatternMiner miner(options.patterns);
  miner.mine(ds, cancelled, report);
  for (auto& entry : miner.take_frequent()) motifs.push_back(std::move(entry.second));
}

void Miner::map_patterns(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                         const ProgressReport& report) {
  // Every record is mapped as Motif::map would map it, but series by series: each series is read
  // once for all the averages and once for all the best matches. The best matches wait in the order
  // of each record's occurrence index and are stored in that order.
  struct Entry {
    std::size_t motif;
    std::size_t rank;
    const std::vector<std::int32_t>* positions;
  };
  for (Motif& motif : motifs) motif.prepare_map(options.seglen);
  const auto in_collection = [count](std::int32_t s) { return s >= 0 && static_cast<std::size_t>(s) < count; };
  // The entries of each series stand together, in one buffer sized by a first counting pass.
  std::vector<std::size_t> starts(count + 1, 0);
  for (const Motif& motif : motifs) {
    for (const auto& entry : motif.occurrences()) {
      if (in_collection(entry.first)) ++starts[static_cast<std::size_t>(entry.first) + 1];
    }
  }
  for (std::size_t s = 0; s < count; ++s) starts[s + 1] += starts[s];
  std::vector<Entry> entries(starts[count]);
  std::vector<Entry> outside;  // series indexes beyond the collection have no samples
  std::vector<std::size_t> next(starts.begin(), starts.end() - 1);
  for (std::size_t m = 0; m < motifs.size(); ++m) {
    std::size_t rank = 0;
    for (const auto& [s, positions] : motifs[m].occurrences()) {
      const Entry entry{m, rank++, &positions};
      if (in_collection(s)) {
        entries[next[static_cast<std::size_t>(s)]++] = entry;
      } else {
        outside.push_back(entry);
      }
    }
  }
  next = {};
  std::size_t visited = 0;
  const auto each_series = [&](const auto& visit) {
    Series scratch;
    for (std::size_t s = 0; s < count; ++s, ++visited) {
      if (report) report(Stage::map, visited, 2 * count);
      if (starts[s] == starts[s + 1]) continue;
      if (cancelled) cancelled();
      const Series& series = normalised(s, scratch);
      for (std::size_t e = starts[s]; e < starts[s + 1]; ++e) visit(entries[e], &series);
    }
    for (const Entry& entry : outside) visit(entry, nullptr);
  };

  each_series([&](const Entry& e, const Series* series) { motifs[e.motif].set_average(e.rank, series, *e.positions); });
  for (Motif& motif : motifs) motif.set_representative();

  std::vector<std::vector<std::pair<double, std::int32_t>>> best(motifs.size());
  for (std::size_t m = 0; m < motifs.size(); ++m) best[m].resize(motifs[m].get_support());
  each_series([&](const Entry& e, const Series* series) {
    best[e.motif][e.rank] = motifs[e.motif].best_match(series, *e.positions);
  });
  for (std::size_t m = 0; m < motifs.size(); ++m) motifs[m].set_best_matches_and_naed(best[m]);
  if (report) report(Stage::map, visited, 2 * count);
}

void Miner::sort_patterns() { std::sort(motifs.begin(), motifs.end(), ranks_before); }

std::vector<Motif> Miner::best_motifs() const {
  const int n = static_cast<int>(motifs.size());
  const int count = options.k == 0 ? n : std::min(options.k, n);
  if (count < 0) throw_vector_length_error(VectorCall::construct);
  return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

}  // namespace kez
