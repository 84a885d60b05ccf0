// Checks of the core that no Python call reaches: z-normalisation, the statistics of a hand-made record, the
// walk order of the per-series maps, and the fast paths (the letters, the LCS, the exact search) against their
// plain references.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <stdexcept>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "pool.h"
#include "sax.h"
#include "search.h"
#include "walk_order.h"

namespace {

int passed = 0;
int failed = 0;

void check(bool ok, const std::string& what) {
  if (ok) {
    ++passed;
  } else {
    ++failed;
    std::printf("FAILED: %s\n", what.c_str());
  }
}

bool same(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
  }
  return true;
}

std::vector<double> normalised(std::vector<double> series) {
  kez::Dataset ts{std::move(series)};
  kez::znorm(ts);
  return ts[0];
}

void znorm_examples() {
  const double nan = std::nan("");
  check(same(normalised({1, 2, 3}), {-1.224744871391589, 0.0, 1.224744871391589}), "znorm 1,2,3");
  check(same(normalised({2, 4, 4, 4, 5, 5, 7, 9}), {-1.5, -0.5, -0.5, -0.5, 0, 0, 1, 2}), "znorm 2,4,..,9");
  check(same(normalised({7}), {nan}), "znorm of one sample is NaN");
  check(same(normalised({5, 5, 5, 5}), {nan, nan, nan, nan}), "znorm of a constant series is NaN");
  check(same(normalised({0.1, 0.1, 0.1}), {-1, -1, -1}), "znorm 0.1 thrice: inexact mean");
  kez::Dataset mixed{{}, {1, 2, 3}};
  kez::znorm(mixed);
  check(mixed[0].empty() && same(mixed[1], normalised({1, 2, 3})), "znorm leaves an empty series empty");
  check(kez::sax({normalised({2, 4, 4, 4, 5, 5, 7, 9})}, 2, 4) == kez::SymbolicDataset{{'a', 'b', 'b', 'd'}},
        "sax of the normalised series");
}

void record_examples() {
  kez::Motif twice({'a'});
  twice.record_index(2, 5);
  twice.record_index(2, 5);
  check(twice.get_indexes().at(2) == std::vector<std::int32_t>{5, 5}, "a position recorded twice stays twice");

  kez::Motif order({'a'});
  order.record_index(0, 7);
  order.record_index(1, 3);
  order.record_index(0, 2);
  check(order.get_indexes().at(0) == std::vector<std::int32_t>{7, 2} &&
            order.get_indexes().at(1) == std::vector<std::int32_t>{3},
        "positions keep their recording order");

  kez::Motif copy = order;
  copy.record_index(5, 1);
  check(order.get_indexes().size() == 2 && copy.get_indexes().size() == 3, "a copy is independent");
}

void worked_example() {
  const double nan = std::nan("");
  const kez::Dataset ts{{5, 6, 7, 1, 2, 3, 4}, {0, 0, 0, 0, 9, 9}};
  kez::Motif motif({'a', 'b'});
  motif.record_index(0, 0);
  motif.record_index(0, 2);
  motif.record_index(1, 0);
  motif.map(ts, 2);
  check(motif.get_length() == 4, "length is symbols times seglen");
  check(same(motif.get_occurrence(ts[0], 2), {2, 3, 4, nan}), "a window past the end is padded with NaN");
  check(same(motif.get_occurrence(ts[0], 9), {nan, nan, nan, nan}), "a window past the series reads nothing");
  check(same(motif.get_occurrence(ts[0], -1), {nan, nan, 5, 6}), "a window before the series reads nothing");
  const auto averages = motif.get_average_occurrences();
  check(same(averages.at(0), {3.5, 4.5, 5.5, 1.0}) && same(averages.at(1), {0, 0, 0, 0}), "average occurrences");
  check(same(motif.get_representative(), {1.75, 2.25, 2.75, 0.5}), "representative");
  const auto best = motif.get_best_matches();
  check(best.at(0) == 4 && best.at(1) == 0, "best matches are sample offsets");
  check(motif.get_naed() == (std::sqrt(2.1875) + std::sqrt(15.9375)) / 8.0, "naed");
  check(std::abs(motif.get_naed() - 0.68390) < 1e-5, "naed near 0.68390");

  kez::Motif outside({'a', 'b'});
  outside.record_index(7, 0);
  outside.map(ts, 2);
  check(outside.get_best_matches().at(0 + 7) == 0 && outside.get_naed() == 0.0,
        "a series index outside the dataset reads nothing");

  kez::Motif empty({'a'});
  empty.map(ts, 3);
  check(same(empty.get_representative(), {0, 0, 0}) && std::isnan(empty.get_naed()),
        "an empty occurrence index maps to zeros and NaN");
}

// A record mapped, given more series, and mapped again keeps its statistics in the order of maps filled in
// place at each mapping: the series already mapped keep their places and the new ones follow.
void remapped_record() {
  kez::Dataset ts;
  for (int s = 0; s < 40; ++s) ts.push_back({1.0 * s, 2.0, -1.0 * s, 0.5, 3.0});
  kez::Motif motif({'a'});
  kez::AverageOccurrences expected_averages;
  kez::BestMatches expected_best;
  const auto map_and_follow = [&]() {
    motif.map(ts, 2);
    for (const auto& entry : motif.get_indexes()) {
      expected_averages[entry.first];
      expected_best[entry.first];
    }
  };
  for (int s = 0; s < 5; ++s) motif.record_index(s * 7 % 40, s % 3);
  map_and_follow();
  // Enough new series to make the index grow its buckets and change its iteration order.
  for (int s = 0; s < 40; ++s) motif.record_index(s * 11 % 40, (s + 1) % 3);
  map_and_follow();

  kez::Motif fresh({'a'});
  for (const auto& [s, positions] : motif.get_indexes()) {
    for (const std::int32_t p : positions) fresh.record_index(s, p);
  }
  fresh.map(ts, 2);
  const auto averages = motif.get_average_occurrences();
  const auto best = motif.get_best_matches();
  std::vector<std::int32_t> order, expected_order, best_order, expected_best_order;
  for (const auto& entry : averages) order.push_back(entry.first);
  for (const auto& entry : expected_averages) expected_order.push_back(entry.first);
  for (const auto& entry : best) best_order.push_back(entry.first);
  for (const auto& entry : expected_best) expected_best_order.push_back(entry.first);
  check(order == expected_order && best_order == expected_best_order, "a second mapping keeps the maps' order");
  bool values = averages.size() == 40;
  for (const auto& [s, average] : fresh.get_average_occurrences()) {
    values = values && same(averages.at(s), average);
  }
  check(values, "a second mapping computes every series' statistics afresh");
}

// A record made from a packed index is the record filled entry by entry: the same index in the same order, the
// same saved state and statistics, and the same map once more series are recorded, with its copies untouched.
void packed_record() {
  kez::Dataset ts;
  for (int s = 0; s < 40; ++s) ts.push_back({1.0 * s, 2.0, -1.0 * s, 0.5, 3.0, -0.25 * s});
  kez::Motif filled({'a', 'b'});
  kez::PackedIndex index;
  for (int i = 0; i < 30; ++i) {
    const std::int32_t s = i * 17 % 41;
    const std::vector<std::int32_t> positions(static_cast<std::size_t>(1 + i % 3), i % 2);
    filled.record_indexes(s, positions.data(), positions.data() + positions.size());
    index.series.push_back(s);
    index.positions.insert(index.positions.end(), positions.begin(), positions.end());
    index.ends.push_back(index.positions.size());
  }
  kez::for_each_in_walk_order(
      index.series.size(), [&index](std::size_t i) { return index.series[i]; },
      [&index](std::size_t i) { index.walk.push_back(static_cast<std::uint32_t>(i)); });
  kez::Motif packed({'a', 'b'}, index);
  const auto walked = [](const kez::Motif& motif) {
    std::vector<std::int32_t> keys;
    for (const auto& entry : motif.get_indexes()) keys.push_back(entry.first);
    return keys;
  };
  check(walked(packed) == walked(filled) && packed.get_indexes() == filled.get_indexes(), "packed: the index");
  filled.map(ts, 2);
  packed.map(ts, 2);
  const kez::MotifState a = filled.save();
  const kez::MotifState b = packed.save();
  check(a.index_buckets == b.index_buckets && a.index_series == b.index_series && a.index_counts == b.index_counts &&
            a.index_positions == b.index_positions && a.mapped_series == b.mapped_series &&
            a.best_offsets == b.best_offsets && same(a.averages, b.averages) &&
            same(a.representative, b.representative) && a.naed == b.naed,
        "packed: the saved record after mapping");
  kez::Motif grown = packed;
  for (int s = 0; s < 40; ++s) {
    grown.record_index(s, 3);
    filled.record_index(s, 3);
  }
  check(walked(grown) == walked(filled) && grown.get_indexes() == filled.get_indexes() && packed.get_support() == 30 &&
            grown.get_support() == 41,
        "packed: more series recorded");
}

// A mapping that fails for want of memory leaves the record as it was, statistics and all.
void failed_remap_keeps_record() {
  // The sanitizers' allocator ends the process on such a request rather than failing it.
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload != nullptr && std::strstr(preload, "asan") != nullptr) return;
  const kez::Dataset ts{{1, 2, 3, 4}, {4, 3, 2, 1}};
  kez::Motif motif({'a'});
  // Ten thousand windows of 2^31 - 1 samples need far more than any address space holds.
  for (std::int32_t s = 0; s < 10000; ++s) motif.record_index(s % 3 == 2 ? s : s % 2, s % 4);
  motif.map(ts, 1);
  const auto averages = motif.get_average_occurrences();
  const auto best = motif.get_best_matches();
  const auto representative = motif.get_representative();
  bool refused = false;
  try {
    motif.map(ts, 2147483647);
  } catch (const std::bad_alloc&) {
    refused = true;
  }
  bool kept = refused && motif.get_length() == 1 && motif.get_best_matches() == best &&
              same(motif.get_representative(), representative);
  for (const auto& [s, average] : motif.get_average_occurrences()) kept = kept && same(averages.at(s), average);
  check(kept, "a mapping that cannot get its memory changes nothing");
}

// The orders below were read once from the standard library this project builds with, and are what it does
// with series keys: a key joins the front of its bucket, a key opening a bucket goes in front of all, and 13
// buckets become 29 at the fourteenth key. A library that walks otherwise fails here first.
void walk_orders() {
  std::vector<std::int32_t> spread;
  for (std::int32_t i = 0; i < 16; ++i) spread.push_back(i * 5 % 16);
  const std::vector<std::pair<std::vector<std::int32_t>, std::vector<std::int32_t>>> pinned{
      {{0, 1, 2, 3, 4}, {4, 3, 2, 1, 0}},
      {{7, 20, 33, -1, 46}, {-1, 46, 33, 20, 7}},  // 7, 20, 33 and 46 share a bucket
      {spread, {11, 6, 1, 0, 13, 5, 10, 15, 2, 4, 9, 14, 3, 8, 7, 12}},
  };
  for (const auto& [keys, order] : pinned) {
    const std::string name = "walk order of " + std::to_string(keys.size()) + " keys from " + std::to_string(keys[0]);
    kez::Motif motif({'a'});
    for (const std::int32_t s : keys) motif.record_index(s, 0);
    std::vector<std::int32_t> walked;
    motif.for_each_occurrence([&walked](std::int32_t s, const std::int32_t*, std::size_t) { walked.push_back(s); });
    check(walked == order, name + ": the occurrence index");
    std::vector<std::int32_t> replayed;
    kez::for_each_in_walk_order(
        keys.size(), [&keys](std::size_t i) { return keys[i]; }, [&](std::size_t i) { replayed.push_back(keys[i]); });
    check(replayed == order, name + ": the replay");
    kez::SeriesMap<int> refilled;
    const auto entry_at = [&order](std::size_t i) { return std::make_pair(order[i], 0); };
    const std::size_t buckets = motif.get_indexes().bucket_count();
    const std::size_t repeated = kez::fill_in_walk_order(refilled, buckets, order.size(), entry_at);
    std::vector<std::int32_t> rewalked;
    for (const auto& entry : refilled) rewalked.push_back(entry.first);
    check(repeated == order.size() && rewalked == order, name + ": a map refilled in that order");
  }
  // The replay walks as a real map on distinct keys of every spread: dense, sparse, negative, growing past
  // several bucket counts.
  std::mt19937 random(29);
  for (std::size_t trial = 0; trial < 400; ++trial) {
    const std::size_t size = trial < 100 ? trial : random() % 3000;
    const std::int32_t range = trial % 3 == 0 ? 4 * static_cast<std::int32_t>(size) + 1 : 1 << 30;
    std::unordered_set<std::int32_t> seen;
    std::vector<std::int32_t> keys;
    kez::SeriesMap<std::size_t> map;
    while (keys.size() < size) {
      const auto key = static_cast<std::int32_t>(random() % static_cast<std::uint32_t>(range)) - range / 8;
      if (!seen.insert(key).second) continue;
      keys.push_back(key);
      map.emplace(key, keys.size() - 1);
    }
    std::vector<std::size_t> walked;
    for (const auto& entry : map) walked.push_back(entry.second);
    std::vector<std::size_t> replayed;
    kez::for_each_in_walk_order(
        keys.size(), [&keys](std::size_t i) { return keys[i]; }, [&](std::size_t i) { replayed.push_back(i); });
    check(replayed == walked, "replay of " + std::to_string(size) + " random keys, trial " + std::to_string(trial));
  }
}

// The bit-parallel LCS gives the table's length for patterns of one to three words, one mask reused throughout.
void lcs_fast_path() {
  std::mt19937 random(13);
  std::vector<kez::Pattern> patterns(600);
  for (std::size_t k = 0; k < patterns.size(); ++k) {
    const unsigned symbols = 1 + k / 2 % 4;
    patterns[k].resize(random() % 170);
    for (char& c : patterns[k]) c = static_cast<char>('a' + random() % symbols);
  }
  kez::LcsMasks masks;
  std::vector<std::uint64_t> scratch;
  bool agree = true;
  for (std::size_t k = 0; k < patterns.size() && agree; k += 2) {
    const kez::Pattern& a = patterns[k];
    const kez::Pattern& b = patterns[k + 1];
    masks.assign(a.data(), a.size());
    agree = static_cast<double>(masks.lcs_with(b.data(), b.size(), scratch)) == kez::lcs(a, b);
  }
  check(agree, "bit-parallel LCS agrees with the table");
  check(kez::lcs({'a', 'b', 'c', 'd'}, {'a', 'b', 'd'}) == 3.0 && kez::lcs({}, {'a'}) == 0.0, "the table's LCS");
}

// get_row's letters, summed a block at a time and found with vector compares, are those of each segment's
// plain mean (missing samples of a short last segment as zeros) by get_discrete_value.
void letters_fast_path() {
  std::mt19937 random(7);
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> odd{std::nan(""), inf, -inf, 0.0, -0.0, 0.43, -0.43, 0.67, 1e308};
  bool agree = true;
  for (int seglen = 1; seglen <= 9 && agree; ++seglen) {
    for (int alphabet = 0; alphabet <= kez::max_alphabet && agree; ++alphabet) {
      kez::Series series(static_cast<std::size_t>(150 * seglen + seglen / 2));
      for (double& x : series) {
        const unsigned pick = random() % 16;
        x = pick < odd.size() ? odd[pick] : std::normal_distribution<double>()(random);
      }
      const kez::Symbols row = kez::get_row(series, seglen, alphabet);
      for (std::size_t i = 0; i < row.size() && agree; ++i) {
        double sum = 0.0;
        for (std::size_t j = i * seglen; j < std::min(series.size(), (i + 1) * seglen); ++j) sum += series[j];
        agree = row[i] == kez::get_discrete_value(alphabet, sum / seglen);
      }
    }
  }
  check(agree, "get_row's letters are get_discrete_value's");
}

// The search gives what computing every window directly gives, to the bit, on series that defeat its
// estimates: far from zero, with steps, flat stretches, repeats and non-finite samples; with any threads.
void search_fast_path() {
  std::mt19937 random(11);
  std::normal_distribution<double> normal;
  const double inf = std::numeric_limits<double>::infinity();
  kez::Dataset ts;
  for (int s = 0; s < 40; ++s) {
    kez::Series x(static_cast<std::size_t>(50 + random() % 700));
    double level = s % 3 == 0 ? 1e9 : 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const unsigned pick = random() % 200;
      level += pick == 0 ? 1e6 : normal(random);
      x[i] = pick == 1 ? std::nan("") : pick == 2 ? -inf : s % 7 == 1 && i % 90 < 40 ? 3.0 : level;
    }
    if (s % 5 == 2 && x.size() > 150) std::copy(x.begin(), x.begin() + 60, x.end() - 60);
    ts.push_back(x);
  }
  std::vector<kez::Series> queries{{1, 2}, {5, 5, 5, 5, 5}, {0.1, 0.1, 0.1, 0.1000001}};
  kez::Series walk(64, 5.0);
  for (std::size_t i = 1; i < walk.size(); ++i) walk[i] = walk[i - 1] + normal(random);
  ts[4].resize(std::max<std::size_t>(ts[4].size(), 100));
  std::copy(walk.begin(), walk.end(), ts[4].begin() + 3);
  for (const int m : {8, 33, 64}) queries.emplace_back(walk.begin(), walk.begin() + m);
  queries.emplace_back(walk.begin() + 10, walk.begin() + 50);
  for (double& v : queries.back()) v = v * 1e-3 + normal(random) * 1e-2;
  kez::set_threads(1);
  const auto alone = kez::nearest(queries, ts);
  kez::set_threads(3);
  kez::set_split_everything(true);
  const auto split = kez::nearest(queries, ts);
  kez::set_split_everything(false);
  kez::set_threads(0);
  bool agree = true;
  for (std::size_t q = 0; q < queries.size(); ++q) {
    agree = agree && alone[q].offsets == split[q].offsets && same(alone[q].distances, split[q].distances);
    for (std::size_t s = 0; s < ts.size(); ++s) {
      const auto [offset, distance] = kez::nearest_plain(queries[q], ts[s]);
      const bool ok = alone[q].offsets[s] == offset && alone[q].distances[s] == distance;
      if (!ok)
        std::printf("query %zu series %zu: %lld %.17g vs plain %lld %.17g\n", q, s,
                    static_cast<long long>(alone[q].offsets[s]), alone[q].distances[s], static_cast<long long>(offset),
                    distance);
      agree = agree && ok;
    }
  }
  check(agree, "the search agrees with the plain reference, with one thread and many");
  check(alone[4].offsets[4] == 3 && alone[4].distances[4] == 0.0, "a query cut from a series is found there");
  const double nan = std::nan("");
  check(kez::nearest_plain({1, 1, 1}, {2, nan, 2, 2, 2, 4}) == std::pair<std::int64_t, double>{2, 0.0},
        "a constant query meets a constant window at 0, past the NaN");
  check(kez::nearest_plain({1, 2, 1}, {2, 2, 2, 5, 9}) == std::pair<std::int64_t, double>{0, std::sqrt(3.0)},
        "a constant window is at sqrt(m)");
  check(kez::nearest_plain({1, 2}, {inf, 1}).first == -1 && kez::nearest_plain({1, 2, 3}, {1, 2}).first == -1,
        "no window: offset -1");
  bool refused = false;
  try {
    kez::nearest({{1, 2}, {1, nan}}, ts);
  } catch (const std::invalid_argument& e) {
    refused = std::string(e.what()).find("query 1 holds nan at sample 1") == 0;
  }
  check(refused, "a query with NaN is refused by name");
}

// Seeds change no result, wherever they point (the nearest window, another, one holding NaN, past the end, none)
// or however near: on shapes long enough for the segment bound, planted with noise in most series so that it
// rules out most windows, on levels far from zero and on steps.
void seeded_search() {
  std::mt19937 random(5);
  std::normal_distribution<double> normal;
  kez::Series bump(48);
  for (std::size_t i = 0; i < bump.size(); ++i) bump[i] = 4.0 * std::sin(3.14159 * static_cast<double>(i) / 48.0);
  kez::Dataset ts;
  for (int s = 0; s < 24; ++s) {
    kez::Series x(static_cast<std::size_t>(300 + random() % 900));
    double level = s % 4 == 0 ? 1e8 : 0.0;
    for (double& v : x) v = level += normal(random) + (random() % 300 == 0 ? 1e4 : 0.0);
    if (s % 5 != 3) {
      const std::size_t at = random() % (x.size() - bump.size());
      for (std::size_t i = 0; i < bump.size(); ++i) x[at + i] = level + bump[i] + 0.2 * normal(random);
    }
    if (s == 7) x[40] = std::nan("");
    ts.push_back(x);
  }
  const std::vector<kez::Series> asked{bump, kez::Series(bump.begin(), bump.begin() + 20)};
  const auto plain = kez::nearest(asked, ts);
  kez::Seeds seeds(2);
  for (std::size_t q = 0; q < 2; ++q) {
    for (std::size_t s = 0; s < ts.size(); ++s) {
      const std::int64_t pick[] = {plain[q].offsets[s], -1, static_cast<std::int64_t>(random() % ts[s].size()), 35,
                                   static_cast<std::int64_t>(ts[s].size())};
      seeds[q].push_back(pick[s % 5]);
    }
  }
  const auto seeded = kez::nearest(asked, seeds, ts);
  bool agree = true;
  for (std::size_t q = 0; q < 2; ++q) {
    agree = agree && seeded[q].offsets == plain[q].offsets && same(seeded[q].distances, plain[q].distances);
    for (std::size_t s = 0; s < ts.size(); ++s) {
      agree = agree && kez::nearest_plain(asked[q], ts[s]) ==
                           std::pair<std::int64_t, double>{seeded[q].offsets[s], seeded[q].distances[s]};
    }
  }
  check(agree, "seeded searches give the plain reference's results");
  bool refused = false;
  try {
    kez::nearest(asked, kez::Seeds{{0}}, ts);
  } catch (const std::invalid_argument& e) {
    refused = std::string(e.what()).find("seeds: 1 lists for 2 queries") == 0;
  }
  check(refused, "seeds that do not match the queries are refused");
}

}  // namespace

int main() {
  znorm_examples();
  record_examples();
  worked_example();
  remapped_record();
  packed_record();
  failed_remap_keeps_record();
  walk_orders();
  lcs_fast_path();
  letters_fast_path();
  search_fast_path();
  seeded_search();
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
