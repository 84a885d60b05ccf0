#include "miner.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "pool.h"
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
  std::size_t samples = 0;
  for (const Series& series : ts) samples += series.size();
  const auto normalise = [&ts](std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) znorm_series(ts[i]);
  };
  parallel_for(ts.size(), part_size(ts.size(), samples), normalise, [&cancelled](std::size_t) {
    if (cancelled) cancelled();
  });
  const auto stored = [&ts](std::size_t index, Series&) -> const Series& { return ts[index]; };
  return mine(ts.size(), stored, cancelled, report);
}

std::vector<Motif> Miner::mine(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                               const ProgressReport& report) {
  check_alphabet(options.alphabet);
  check_growth(options.patterns.minsup, options.patterns.max_len);
  motifs.clear();
  try {
    if (report) report(Stage::discretise, 0, count);
    const SymbolicDataset ds = discretise(count, normalised, cancelled, report);
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

SymbolicDataset Miner::discretise(std::size_t count, const SeriesSource& normalised, const CancelCheck& cancelled,
                                  const ProgressReport& report) const {
  SymbolicDataset ds(count);
  if (count == 0) return ds;
  // The first series, read here, tells how long a part's series are.
  if (cancelled) cancelled();
  Series scratch;
  const Series& first = normalised(0, scratch);
  const std::size_t samples = first.size();
  ds[0] = get_row(first, options.seglen, options.alphabet);
  const auto rows = [&](std::size_t begin, std::size_t end) {
    Series own_scratch;
    for (std::size_t i = begin + 1; i < end + 1; ++i) {
      ds[i] = get_row(normalised(i, own_scratch), options.seglen, options.alphabet);
    }
  };
  parallel_for(count - 1, part_size(count - 1, samples * (count - 1)), rows, [&](std::size_t done) {
    if (cancelled) cancelled();
    if (report) report(Stage::discretise, done + 1, count);
  });
  return ds;
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
  std::size_t positions = 0;
  for (const Motif& motif : motifs) {
    for (const auto& entry : motif.occurrences()) positions += entry.second.size();
  }
  // Each record's rows are its own; allocating them, and the first touch of their pages, is shared out too.
  parallel_for(motifs.size(), part_size(motifs.size(), positions * static_cast<std::size_t>(options.seglen)),
               [this](std::size_t begin, std::size_t end) {
                 for (std::size_t m = begin; m < end; ++m) motifs[m].prepare_map(options.seglen);
               });
  std::vector<MappingView> views;
  views.reserve(motifs.size());
  for (Motif& motif : motifs) views.push_back(motif.mapping_view());
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
  // The series are shared out in parts; each entry writes only its own record's row or slot.
  std::size_t work = 0;
  for (const Entry& entry : entries)
    work += entry.positions->size() * static_cast<std::size_t>(motifs[entry.motif].get_length());
  const std::size_t grain = part_size(count, work);
  std::size_t visited = 0;
  const auto each_series = [&](const auto& visit) {
    const auto part = [&](std::size_t begin, std::size_t end) {
      Series scratch;
      MapScratch map_scratch;
      for (std::size_t s = begin; s < end; ++s) {
        if (starts[s] == starts[s + 1]) continue;
        const Series& series = normalised(s, scratch);
        for (std::size_t e = starts[s]; e < starts[s + 1]; ++e) visit(entries[e], &series, map_scratch);
      }
    };
    parallel_for(count, grain, part, [&](std::size_t done) {
      if (cancelled) cancelled();
      if (report) report(Stage::map, visited + done, 2 * count);
    });
    visited += count;
    MapScratch map_scratch;
    for (const Entry& entry : outside) visit(entry, nullptr, map_scratch);
  };

  if (report) report(Stage::map, 0, 2 * count);
  each_series([&](const Entry& e, const Series* series, MapScratch& scratch) {
    views[e.motif].set_average(e.rank, series, *e.positions, scratch);
  });
  const std::size_t motif_grain = part_size(motifs.size(), work);
  parallel_for(motifs.size(), motif_grain, [this](std::size_t begin, std::size_t end) {
    for (std::size_t m = begin; m < end; ++m) motifs[m].set_representative();
  });

  std::vector<std::vector<std::pair<double, std::int32_t>>> best(motifs.size());
  for (std::size_t m = 0; m < motifs.size(); ++m) best[m].resize(motifs[m].get_support());
  each_series([&](const Entry& e, const Series* series, MapScratch& scratch) {
    best[e.motif][e.rank] = views[e.motif].best_match(series, *e.positions, scratch);
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
