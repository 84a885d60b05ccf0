#include "shard.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "pool.h"

namespace kez {

namespace {

// The shard of series `s`: the i with starts[i] <= s < starts[i + 1].
std::size_t shard_of(const std::vector<std::size_t>& starts, std::int32_t s) {
  if (s < 0 || starts.empty() || static_cast<std::size_t>(s) >= starts.back()) {
    throw std::invalid_argument("series " + std::to_string(s) + " lies in no shard");
  }
  const auto after = std::upper_bound(starts.begin(), starts.end(), static_cast<std::size_t>(s));
  return static_cast<std::size_t>(after - starts.begin()) - 1;
}

// The window length of a record mapped with `seglen`, refused as prepare_map refuses it.
std::int32_t window_length(const Motif& motif, int seglen) {
  const std::int64_t product = static_cast<std::int64_t>(seglen) * static_cast<std::int64_t>(motif.pattern.size());
  if (product < 0 || product > std::numeric_limits<std::int32_t>::max()) {
    throw std::length_error("motif window of " + std::to_string(product) + " samples is too long");
  }
  return static_cast<std::int32_t>(product);
}

// Where each entry's row starts among rows of its record's length laid end to end, and where the last ends;
// refuses a plan whose parts do not fit one another or the shard's `count` series.
std::vector<std::size_t> row_starts(const ShardPlan& plan, std::size_t count) {
  const std::size_t entries = plan.record.size();
  if (plan.series.size() != entries || plan.ends.size() != entries) {
    throw std::invalid_argument("plan has " + std::to_string(entries) + " records, " +
                                std::to_string(plan.series.size()) + " series and " + std::to_string(plan.ends.size()) +
                                " ends for its entries");
  }
  std::vector<std::size_t> starts(entries + 1, 0);
  std::uint64_t previous = 0;
  for (std::size_t e = 0; e < entries; ++e) {
    const bool fits = plan.record[e] < plan.lengths.size() && plan.lengths[plan.record[e]] >= 0 &&
                      plan.series[e] >= 0 && static_cast<std::size_t>(plan.series[e]) < count &&
                      plan.ends[e] >= previous && plan.ends[e] <= plan.positions.size();
    if (!fits) throw std::invalid_argument("plan entry " + std::to_string(e) + " does not fit the plan or the shard");
    previous = plan.ends[e];
    starts[e + 1] = starts[e] + static_cast<std::size_t>(plan.lengths[plan.record[e]]);
  }
  return starts;
}

// Calls visit(e, series, positions, count) for each entry of `plan` over the shard's `series`, shared out on the
// pool's threads; each entry writes only its own results.
template <typename Visit>
void each_entry(const Dataset& series, const ShardPlan& plan, const CancelCheck& cancelled, const Visit& visit) {
  const std::size_t entries = plan.record.size();
  parallel_for(
      entries, part_size(entries, plan.positions.size() * 64),
      [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
          const std::size_t from = e == 0 ? 0 : static_cast<std::size_t>(plan.ends[e - 1]);
          const std::size_t to = static_cast<std::size_t>(plan.ends[e]);
          visit(e, &series[static_cast<std::size_t>(plan.series[e])], plan.positions.data() + from, to - from);
        }
      },
      [&cancelled](std::size_t) {
        if (cancelled) cancelled();
      });
}

}  // namespace

SymbolicDataset shard_letters(Dataset& ts, int seglen, int alphabet, const CancelCheck& cancelled) {
  check_alphabet(alphabet);
  std::size_t samples = 0;
  for (const Series& series : ts) samples += series.size();
  SymbolicDataset letters(ts.size());
  parallel_for(
      ts.size(), part_size(ts.size(), samples),
      [&](std::size_t begin, std::size_t end) {
        znorm_each(ts.data() + begin, end - begin);
        for (std::size_t i = begin; i < end; ++i) letters[i] = get_row(ts[i], seglen, alphabet);
      },
      [&cancelled](std::size_t) {
        if (cancelled) cancelled();
      });
  return letters;
}

std::vector<ShardPlan> shard_plans(const std::vector<Motif>& motifs, std::size_t first, std::size_t last,
                                   const std::vector<std::size_t>& starts, int seglen) {
  const std::size_t shards = starts.empty() ? 0 : starts.size() - 1;
  std::vector<ShardPlan> plans(shards);
  for (std::size_t m = first; m < last; ++m) {
    const auto record = static_cast<std::uint32_t>(m - first);
    const std::int32_t length = window_length(motifs[m], seglen);
    for (ShardPlan& plan : plans) plan.lengths.push_back(length);
    motifs[m].for_each_occurrence([&](std::int32_t s, const std::int32_t* positions, std::size_t count) {
      const std::size_t i = shard_of(starts, s);
      ShardPlan& plan = plans[i];
      plan.record.push_back(record);
      plan.series.push_back(static_cast<std::int32_t>(static_cast<std::size_t>(s) - starts[i]));
      plan.positions.insert(plan.positions.end(), positions, positions + count);
      plan.ends.push_back(plan.positions.size());
    });
  }
  return plans;
}

std::vector<double> shard_averages(const Dataset& series, const ShardPlan& plan, int seglen,
                                   const CancelCheck& cancelled) {
  const std::vector<std::size_t> rows = row_starts(plan, series.size());
  std::vector<double> averages(rows.back());
  each_entry(
      series, plan, cancelled, [&](std::size_t e, const Series* s, const std::int32_t* positions, std::size_t n) {
        MapScratch scratch;
        const MappingView view(averages.data() + rows[e], nullptr, nullptr, plan.lengths[plan.record[e]], seglen);
        view.set_average(0, s, positions, n, scratch);
      });
  return averages;
}

ShardBest shard_best(const Dataset& series, const ShardPlan& plan, int seglen,
                     const std::vector<double>& representatives, const CancelCheck& cancelled) {
  row_starts(plan, series.size());
  std::vector<std::size_t> shapes(plan.lengths.size() + 1, 0);
  for (std::size_t r = 0; r < plan.lengths.size(); ++r) {
    shapes[r + 1] = shapes[r] + static_cast<std::size_t>(plan.lengths[r]);
  }
  if (shapes.back() != representatives.size()) {
    throw std::invalid_argument("representatives hold " + std::to_string(representatives.size()) + " values, not the " +
                                std::to_string(shapes.back()) + " of the plan's records");
  }
  ShardBest best;
  best.distances.resize(plan.record.size());
  best.positions.resize(plan.record.size());
  each_entry(series, plan, cancelled,
             [&](std::size_t e, const Series* s, const std::int32_t* positions, std::size_t n) {
               const std::uint32_t r = plan.record[e];
               const MappingView view(nullptr, representatives.data() + shapes[r], nullptr, plan.lengths[r], seglen);
               std::vector<double> measured(n);
               DistanceBatch batch;
               view.measure(s, positions, n, batch, measured.data());
               batch.flush();
               std::tie(best.distances[e], best.positions[e]) = best_of(positions, measured.data(), n);
             });
  return best;
}

void fold_averages(std::vector<Motif>& motifs, std::size_t first, std::size_t last, int seglen,
                   const std::vector<std::size_t>& starts, const std::vector<ShardRows>& rows, bool keep_averages) {
  std::vector<std::size_t> at(rows.size(), 0);
  for (std::size_t m = first; m < last; ++m) {
    Motif& motif = motifs[m];
    motif.prepare_map(seglen);
    const MappingView view = motif.mapping_view();
    const auto length = static_cast<std::size_t>(motif.get_length());
    std::size_t rank = 0;
    motif.for_each_occurrence([&](std::int32_t s, const std::int32_t*, std::size_t) {
      const std::size_t i = shard_of(starts, s);
      if (i >= rows.size() || rows[i].size - at[i] < length) {
        throw std::invalid_argument("shard " + std::to_string(i) + " has too few averages for its plan");
      }
      view.store_average(rank++, rows[i].data + at[i]);
      at[i] += length;
    });
    motif.set_representative();
    if (!keep_averages) motif.leave_out_averages();
  }
}

void fold_best(std::vector<Motif>& motifs, std::size_t first, std::size_t last, const std::vector<std::size_t>& starts,
               const std::vector<ShardBest>& best) {
  std::vector<std::size_t> at(best.size(), 0);
  for (std::size_t m = first; m < last; ++m) {
    std::vector<std::pair<double, std::int32_t>> matches;
    matches.reserve(motifs[m].get_support());
    motifs[m].for_each_occurrence([&](std::int32_t s, const std::int32_t*, std::size_t) {
      const std::size_t i = shard_of(starts, s);
      if (i >= best.size() || at[i] >= best[i].distances.size() || at[i] >= best[i].positions.size()) {
        throw std::invalid_argument("shard " + std::to_string(i) + " has too few best matches for its plan");
      }
      matches.emplace_back(best[i].distances[at[i]], best[i].positions[at[i]]);
      ++at[i];
    });
    motifs[m].set_best_matches_and_naed(matches);
  }
}

}  // namespace kez
