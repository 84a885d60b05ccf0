#include "miner.h"

#include <algorithm>
#include <array>
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
  const auto normalise = [&ts](std::size_t begin, std::size_t end) { znorm_each(ts.data() + begin, end - begin); };
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
    SymbolicDataset ds = discretise(count, normalised, cancelled, report);
    if (report) report(Stage::discretise, count, count);
    mine_patterns(ds, cancelled, report);
    SymbolicDataset().swap(ds);  // the letters are not needed for the mapping
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

std::vector<Motif> Miner::mine_unnormalised(std::size_t count, const SeriesSource& raw, const CancelCheck& cancelled,
                                            const ProgressReport& report) {
  check_alphabet(options.alphabet);
  check_growth(options.patterns.minsup, options.patterns.max_len);
  motifs.clear();
  std::vector<Moments> moments(count);
  if (count > 0) {
    // The first series tells how long a part's series are. The series are read a few at a time into rows of
    // a part's own, so that their sums run side by side.
    Series first;
    const std::size_t samples = raw(0, first).size();
    constexpr std::size_t group = 4;
    const auto find = [&](std::size_t begin, std::size_t end) {
      std::array<Series, group> rows;
      for (std::size_t g = begin; g < end; g += group) {
        const std::size_t in_group = std::min(group, end - g);
        for (std::size_t k = 0; k < in_group; ++k) {
          const Series& row = raw(g + k, rows[k]);
          if (&row != &rows[k]) rows[k] = row;
        }
        moments_each(rows.data(), in_group, moments.data() + g);
      }
    };
    parallel_for(count, part_size(count, samples * count), find, [&cancelled](std::size_t) {
      if (cancelled) cancelled();
    });
  }
  const auto normalised = [&](std::size_t index, Series& scratch) -> const Series& {
    const Series& row = raw(index, scratch);
    if (&row != &scratch) scratch = row;
    znorm_with(scratch, moments[index]);
    return scratch;
  };
  return mine(count, normalised, cancelled, report);
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
  // The positions of each series' entries are copied out of the occurrence indexes, series by series, so
  // that the passes read them in one stream rather than from each record's index in turn.
  struct Entry {
    std::uint32_t motif;
    std::uint32_t rank;
    std::size_t first;  // its positions start at flat[first] and end where the next entry's start
  };
  // Each record is prepared on its own; allocating its rows, and the first touch of their pages, is shared out too.
  std::size_t item_count = 0;  // occurrence index entries of all records
  for (const Motif& motif : motifs) item_count += motif.get_support();
  std::vector<MappingView> views(motifs.size(), MappingView(nullptr, nullptr, nullptr, 0, 0));
  const std::size_t seglen = static_cast<std::size_t>(std::max(options.seglen, 1));
  parallel_for(motifs.size(), part_size(motifs.size(), item_count * seglen * 8),
               [&](std::size_t begin, std::size_t end) {
                 for (std::size_t m = begin; m < end; ++m) {
                   motifs[m].prepare_map(options.seglen);
                   views[m] = motifs[m].mapping_view();
                 }
               });
  // The entries of each series stand together, in one buffer sized by a counting pass; the series beyond the
  // collection, which have no samples, come after them all, as slot `count`.
  const auto slot_of = [count](std::int32_t s) {
    return s >= 0 && static_cast<std::size_t>(s) < count ? static_cast<std::size_t>(s) : count;
  };
  // The records are shared out in parts, each of which counts its entries and positions per slot; a pass over
  // the counts then tells each part where its entries of a slot go, after those of the parts before it, so that
  // the entries of a slot stand in record order, as one pass over the records would lay them out.
  // A part's counts take a word per slot, so there are never more of them than the entries fill.
  const std::size_t slots = count + 1;
  std::size_t record_grain = std::max<std::size_t>(1, part_size(motifs.size(), item_count));
  if ((motifs.size() + record_grain - 1) / record_grain * slots > item_count)
    record_grain = std::max<std::size_t>(1, motifs.size());
  const std::size_t parts = (motifs.size() + record_grain - 1) / record_grain;
  std::vector<std::vector<std::size_t>> entry_at(parts, std::vector<std::size_t>(slots, 0));
  std::vector<std::vector<std::size_t>> flat_at(parts, std::vector<std::size_t>(slots, 0));
  parallel_for(motifs.size(), record_grain, [&](std::size_t begin, std::size_t end) {
    std::vector<std::size_t>& entries_here = entry_at[begin / record_grain];
    std::vector<std::size_t>& flat_here = flat_at[begin / record_grain];
    for (std::size_t m = begin; m < end; ++m) {
      motifs[m].for_each_occurrence([&](std::int32_t s, const std::int32_t*, std::size_t size) {
        ++entries_here[slot_of(s)];
        flat_here[slot_of(s)] += size;
      });
    }
  });
  // starts[s]: the first entry of slot s; the counts become each part's first entry and position in a slot.
  std::vector<std::size_t> starts(slots + 1, 0);
  std::size_t entry_total = 0;
  std::size_t flat_total = 0;
  for (std::size_t slot = 0; slot < slots; ++slot) {
    starts[slot] = entry_total;
    for (std::size_t p = 0; p < parts; ++p) {
      const std::size_t entry_count = std::exchange(entry_at[p][slot], entry_total);
      const std::size_t flat_count = std::exchange(flat_at[p][slot], flat_total);
      entry_total += entry_count;
      flat_total += flat_count;
    }
  }
  starts[slots] = entry_total;
  // One entry more, past the last, marks where the last entry's positions end.
  std::vector<Entry> entries(entry_total + 1, Entry{0, 0, flat_total});
  Buffer<std::int32_t> flat(flat_total);
  const auto positions_of = [&](std::size_t e) { return flat.data() + entries[e].first; };
  const auto size_of = [&](std::size_t e) { return entries[e + 1].first - entries[e].first; };
  parallel_for(motifs.size(), record_grain, [&](std::size_t begin, std::size_t end) {
    std::vector<std::size_t>& next = entry_at[begin / record_grain];
    std::vector<std::size_t>& at = flat_at[begin / record_grain];
    for (std::size_t m = begin; m < end; ++m) {
      std::uint32_t rank = 0;
      motifs[m].for_each_occurrence([&](std::int32_t s, const std::int32_t* found, std::size_t size) {
        const std::size_t slot = slot_of(s);
        entries[next[slot]++] = {static_cast<std::uint32_t>(m), rank++, at[slot]};
        std::copy(found, found + size, flat.begin() + static_cast<std::ptrdiff_t>(at[slot]));
        at[slot] += size;
      });
    }
  });
  // The series are shared out in parts; each entry writes only its own record's row or slot.
  std::size_t work = 0;
  for (std::size_t e = 0; e + 1 < entries.size(); ++e) {
    work += size_of(e) * static_cast<std::size_t>(motifs[entries[e].motif].get_length());
  }
  const std::size_t grain = part_size(count, work);
  std::size_t visited = 0;
  // Calls visit(first, last, series, scratch) for the entries [first, last) of each series, with its samples.
  const auto each_series = [&](const auto& visit) {
    const auto part = [&](std::size_t begin, std::size_t end) {
      Series samples;
      MapScratch scratch;
      for (std::size_t s = begin; s < end; ++s) {
        if (starts[s] == starts[s + 1]) continue;
        visit(starts[s], starts[s + 1], &normalised(s, samples), scratch);
      }
    };
    parallel_for(count, grain, part, [&](std::size_t done) {
      if (cancelled) cancelled();
      if (report) report(Stage::map, (visited + done) / 2, count);
    });
    visited += count;
    MapScratch scratch;
    visit(starts[count], starts[count + 1], nullptr, scratch);
  };

  if (report) report(Stage::map, 0, count);
  each_series([&](std::size_t first, std::size_t last, const Series* series, MapScratch& scratch) {
    for (std::size_t e = first; e < last; ++e) {
      views[entries[e].motif].set_average(entries[e].rank, series, positions_of(e), size_of(e), scratch);
    }
  });
  parallel_for(motifs.size(), part_size(motifs.size(), work), [this](std::size_t begin, std::size_t end) {
    for (std::size_t m = begin; m < end; ++m) motifs[m].set_representative();
  });

  // Every window of a series is measured, those of different records side by side, before any best is chosen.
  std::vector<std::vector<std::pair<double, std::int32_t>>> best(motifs.size());
  const std::size_t records_per_part = part_size(motifs.size(), item_count);
  parallel_for(motifs.size(), records_per_part, [&](std::size_t begin, std::size_t end) {
    for (std::size_t m = begin; m < end; ++m) best[m].resize(motifs[m].get_support());
  });
  each_series([&](std::size_t first, std::size_t last, const Series* series, MapScratch& scratch) {
    std::vector<double>& measured = scratch.distances;
    measured.resize(entries[last].first - entries[first].first);
    const auto measured_of = [&](std::size_t e) { return measured.data() + (entries[e].first - entries[first].first); };
    DistanceBatch batch;
    for (std::size_t e = first; e < last; ++e) {
      views[entries[e].motif].measure(series, positions_of(e), size_of(e), batch, measured_of(e));
    }
    batch.flush();
    for (std::size_t e = first; e < last; ++e) {
      best[entries[e].motif][entries[e].rank] = best_of(positions_of(e), measured_of(e), size_of(e));
    }
  });
  parallel_for(motifs.size(), records_per_part, [&](std::size_t begin, std::size_t end) {
    for (std::size_t m = begin; m < end; ++m) motifs[m].set_best_matches_and_naed(best[m]);
  });
  if (report) report(Stage::map, visited / 2, count);
}

void rank_motifs(std::vector<Motif>& motifs) { std::sort(motifs.begin(), motifs.end(), ranks_before); }

std::vector<Motif> best_of_ranked(const std::vector<Motif>& motifs, int k) {
  const int n = static_cast<int>(motifs.size());
  const int count = k == 0 ? n : std::min(k, n);
  if (count < 0) throw_vector_length_error(VectorCall::construct);
  return std::vector<Motif>(motifs.begin(), motifs.begin() + count);
}

void Miner::sort_patterns() { rank_motifs(motifs); }

std::vector<Motif> Miner::best_motifs() const { return best_of_ranked(motifs, options.k); }

}  // namespace kez
