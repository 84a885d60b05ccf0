#include "patterns.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <sstream>
#include <stdexcept>

#include "pool.h"
#include "walk_order.h"

namespace kez {

namespace {

using Word = std::uint64_t;
constexpr std::size_t word_bits = 64;
constexpr std::size_t symbol_count = 256;

std::size_t symbol_index(char c) { return static_cast<unsigned char>(c); }

std::size_t words_for(std::size_t length) { return (length + word_bits - 1) / word_bits; }

// The number of set bits, counted in place: for a generic x86-64 target the builtin is a library call.
std::size_t bit_count(std::uint64_t w) {
  w -= (w >> 1) & 0x5555555555555555u;
  w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
  w = (w + (w >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return static_cast<std::size_t>((w * 0x0101010101010101u) >> 56);
}

constexpr bool big_endian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

// True when position i of `series` is the third or a later of a stretch of one symbol: the range the second
// opened takes it in, with no entry of its own.
bool extends_range(const Symbols& series, std::size_t i) {
  return i > 1 && series[i - 1] == series[i] && series[i - 2] == series[i];
}

bool symbol_less(char x, char y) { return static_cast<signed char>(x) < static_cast<signed char>(y); }

// Puts in `out` the positions that the entries [first, last) stand for, each range spelled out.
void spell_out(const std::int32_t* first, const std::int32_t* last, std::vector<std::int32_t>& out) {
  out.clear();
  for (const std::int32_t* e = first; e != last; ++e) {
    if (*e >= 0) {
      out.push_back(*e);
      continue;
    }
    for (std::int32_t p = out.back(); p < -*e;) out.push_back(++p);
  }
}

// Returns the number of positions that the entries [first, last) stand for, each range spelled out.
std::size_t spelled_size(const std::int32_t* first, const std::int32_t* last) {
  std::size_t size = 0;
  for (const std::int32_t* e = first; e != last; ++e) {
    size += *e >= 0 ? 1 : static_cast<std::size_t>(-static_cast<std::int64_t>(*e) - e[-1]);
  }
  return size;
}

// Polls the cancellation check once enough work has been done since the last poll, so that
// Ctrl-C is seen within milliseconds without paying for a call per unit of work.
class Poller {
 public:
  explicit Poller(const CancelCheck& check) : cancelled(check) {}

  void tick(std::size_t units) {
    done += units;
    if (done < budget) return;
    done = 0;
    if (cancelled) cancelled();
  }

 private:
  static constexpr std::size_t budget = std::size_t{1} << 16;
  const CancelCheck& cancelled;
  std::size_t done = 0;
};

// A symbol and how often a pattern holds it.
struct SymbolCount {
  char symbol;
  std::int32_t count;
};

// What the redundancy pass knows of one pattern of the pruning list before comparing it.
struct PruningEntry {
  const char* pattern;
  std::size_t size;
  Word mask;          // bit (symbol mod 64) set for every symbol present
  std::size_t first;  // its symbol counts in the shared list
  std::size_t last;
};

Word presence_mask(const char* p, std::size_t size) {
  Word mask = 0;
  for (std::size_t i = 0; i < size; ++i) mask |= Word{1} << (symbol_index(p[i]) % word_bits);
  return mask;
}

bool symbols_less(const char* a, const char* b, std::size_t size) {
  // Eight symbols at a time while they are equal: the first word that differs holds the first symbol that
  // differs, and read most significant byte first, with each sign bit flipped, its words order as its symbols do.
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    std::uint64_t x = 0;
    std::uint64_t y = 0;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    if (x == y) continue;
    const auto ordered = [](std::uint64_t w) {
      if constexpr (!big_endian) w = __builtin_bswap64(w);
      return w ^ 0x8080808080808080u;
    };
    return ordered(x) < ordered(y);
  }
  return std::lexicographical_compare(a + i, a + size, b + i, b + size, symbol_less);
}

// For each length n up to `longest`, the smallest common-subsequence length L with L / n > max_overlap
// (the same double division as the ratio test), or n + 1 where none reaches it. The ratio grows with L,
// so "ratio > max_overlap" is exactly "LCS >= need[n]".
std::vector<std::size_t> needed_lengths(std::size_t longest, double max_overlap) {
  std::vector<std::size_t> need(longest + 1, 0);
  for (std::size_t n = 1; n <= longest; ++n) {
    std::size_t lo = 0;
    std::size_t hi = n + 1;  // binary search for the first L in [0, n] that passes
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (static_cast<double>(mid) / static_cast<double>(n) > max_overlap) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    need[n] = lo;
  }
  return need;
}

// Decides, for one pattern p of the pruning list at a time, which patterns r of a stretch of the list p makes
// redundant: those whose LCS with p reaches the length their ratio test needs.
class RedundancyTest {
 public:
  RedundancyTest(const std::vector<PruningEntry>& pruning, const std::vector<SymbolCount>& symbol_counts,
                 const std::vector<std::size_t>& needed)
      : entries(pruning), counts(symbol_counts), need(needed) {}

  // Puts in `out` every r of [first, last), other than p and not marked in `removed`, that the pattern at `p`
  // makes redundant, in list order.
  void find(std::size_t p, std::size_t first, std::size_t last, const std::vector<char>& removed,
            std::vector<std::size_t>& out) {
    out.clear();
    const PruningEntry& pe = entries[p];
    for (std::size_t k = pe.first; k < pe.last; ++k) tally[symbol_index(counts[k].symbol)] = counts[k].count;
    bool masks_ready = false;
    for (std::size_t j = first; j < last; ++j) {
      if (j == p || removed[j] != 0) continue;
      const PruningEntry& re = entries[j];
      const std::size_t needed = need[re.size];
      if (needed > re.size) continue;
      if (needed > 0) {
        // Cheap bounds first: each symbol of r missing from p, and each surplus of a symbol over
        // p's count, is a symbol of r that no common subsequence can use.
        const std::size_t slack = re.size - needed;
        if (bit_count(re.mask & ~pe.mask) > slack) continue;
        std::size_t deficit = 0;
        for (std::size_t k = re.first; k < re.last && deficit <= slack; ++k) {
          const std::int32_t surplus = counts[k].count - tally[symbol_index(counts[k].symbol)];
          if (surplus > 0) deficit += static_cast<std::size_t>(surplus);
        }
        if (deficit > slack) continue;
        // Against a pattern of one repeated symbol, a common subsequence is that symbol as often as both hold it,
        // so the bound is exact: no table is needed, which for long runs of one symbol would cost their product.
        if (pe.last - pe.first == 1 || re.last - re.first == 1) {
          out.push_back(j);
          continue;
        }
        if (!masks_ready) {
          masks.assign(pe.pattern, pe.size);
          masks_ready = true;
        }
        if (masks.lcs_with(re.pattern, re.size, scratch) < needed) continue;
      }
      out.push_back(j);
    }
    for (std::size_t k = pe.first; k < pe.last; ++k) tally[symbol_index(counts[k].symbol)] = 0;
  }

 private:
  const std::vector<PruningEntry>& entries;
  const std::vector<SymbolCount>& counts;
  const std::vector<std::size_t>& need;
  std::array<std::int32_t, symbol_count> tally{};
  LcsMasks masks;
  std::vector<Word> scratch;
};

}  // namespace

void check_growth(double minsup, int max_len) {
  // With no length limit only a positive threshold stops growth (NaN never erases anything).
  if (max_len != 0 || minsup > 0.0) return;
  std::ostringstream out;
  out << "minsup must be greater than 0 when max_len is 0 (no length limit), got minsup=" << minsup
      << " and max_len=" << max_len;
  throw std::invalid_argument(out.str());
}

bool PatternLess::operator()(const Pattern& a, const Pattern& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), symbol_less);
}

double lcs(const Pattern& a, const Pattern& b) {
  // The table, one row at a time: row i holds the lengths for a's first i symbols and every prefix of b.
  std::vector<std::int32_t> above(b.size() + 1, 0);
  std::vector<std::int32_t> row(b.size() + 1, 0);
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      row[j] = a[i - 1] == b[j - 1] ? above[j - 1] + 1 : std::max(row[j - 1], above[j]);
    }
    above.swap(row);
  }
  return static_cast<double>(above[b.size()]);
}

// Only the rows of the assigned pattern's own symbols are ever set, and clear() resets just those.
void LcsMasks::assign(const char* a, std::size_t size) {
  clear();
  words = words_for(size);
  if (rows.size() < symbol_count * words) rows.resize(symbol_count * words, 0);
  for (std::size_t i = 0; i < size; ++i) row(a[i])[i / word_bits] |= Word{1} << (i % word_bits);
  symbols = a;
  symbols_size = size;
}

void LcsMasks::clear() {
  if (symbols == nullptr) return;
  for (std::size_t i = 0; i < symbols_size; ++i) std::fill_n(row(symbols[i]), words, Word{0});
  symbols = nullptr;
}

std::size_t LcsMasks::lcs_with(const char* b, std::size_t size, std::vector<Word>& v) const {
  // The zero bits of V count the matched positions of a, one column of the LCS table per symbol of b.
  v.assign(words, ~Word{0});
  for (std::size_t j = 0; j < size; ++j) {
    const Word* m = row(b[j]);
    Word carry = 0;
    for (std::size_t k = 0; k < words; ++k) {
      const Word u = v[k] & m[k];
      const Word t = v[k] + carry;
      const Word c1 = t < carry ? 1 : 0;
      const Word sum = t + u;
      const Word c2 = sum < u ? 1 : 0;
      carry = c1 | c2;
      v[k] = sum | (v[k] & ~m[k]);
    }
  }
  std::size_t ones = 0;
  for (const Word w : v) ones += bit_count(w);
  // The bits above the pattern's length stay set, so the zero bits are exactly the matches.
  return words * word_bits - ones;
}

std::uint64_t* LcsMasks::row(char c) { return rows.data() + symbol_index(c) * words; }

const std::uint64_t* LcsMasks::row(char c) const { return rows.data() + symbol_index(c) * words; }

bool is_p_in_vec(const Pattern& p, const std::vector<Pattern>& patterns) {
  return std::find(patterns.begin(), patterns.end(), p) != patterns.end();
}

PatternMiner::PatternMiner(const Options& given) : options(given) {}

const char* PatternMiner::Level::located(std::size_t k) const {
  const auto after = std::upper_bound(elsewhere.begin(), elsewhere.end(), k,
                                      [](std::size_t key, const auto& entry) { return key < entry.first; });
  if (after != elsewhere.begin() && std::prev(after)->first == k) return std::prev(after)->second;
  const auto before = static_cast<std::size_t>(after - elsewhere.begin());
  return symbols.data() + (k - before) * length;
}

std::size_t PatternMiner::Level::entries(std::size_t k) const {
  std::size_t total = 0;
  for (std::size_t r = first_run[k]; r < first_run[k + 1]; ++r) total += runs[r].size;
  return total;
}

void PatternMiner::mine(const SymbolicDataset& ds, const CancelCheck& cancelled, const ProgressReport& report) {
  check_growth(options.minsup, options.max_len);
  frequent.clear();
  levels.assign(2, {});
  current_length = 2;
  support_threshold = static_cast<double>(ds.size()) * options.minsup;
  try {
    mine_1_patterns(ds);
    grow(ds, cancelled, report);
    remove_redundant(cancelled, report);
    build_frequent();
    // Some patterns read their symbols from `ds`, which lives only as long as this call.
    levels.assign(2, {});
  } catch (...) {
    // An interrupted run leaves nothing half-built behind.
    frequent.clear();
    levels.assign(2, {});
    throw;
  }
}

void PatternMiner::grow(const SymbolicDataset& ds, const CancelCheck& cancelled, const ProgressReport& report) {
  current_length = 2;
  if (levels[1].size() == 0) return;
  std::vector<Extensions> scratch;  // per part of a level, kept from level to level
  while (options.max_len == 0 || current_length <= options.max_len) {
    Level next = grow_level(levels.back(), ds, scratch, cancelled);
    levels.push_back(std::move(next));
    settle(levels[levels.size() - 2]);
    const Level& grown = levels.back();
    if (report) report(Stage::grow, grown.length, static_cast<std::size_t>(std::max(options.max_len, 0)));
    ++current_length;
    if (grown.size() == 0) return;
  }
}

void PatternMiner::settle(Level& level) const {
  Buffer<std::uint32_t>().swap(level.order);
  if (static_cast<long long>(level.length) >= options.min_len) return;
  Buffer<std::int32_t>().swap(level.positions);
  Buffer<Run>().swap(level.runs);
}

PatternMiner::Level PatternMiner::grow_level(const Level& below, const SymbolicDataset& ds,
                                             std::vector<Extensions>& scratch, const CancelCheck& cancelled) const {
  const std::vector<Candidate> candidates = get_candidates();
  // The candidates of one prefix stand together: a group, found together and then, one by one in list order,
  // tested and recorded exactly as if each had been searched on its own.
  std::vector<std::size_t> groups;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    if (c == 0 || candidates[c].prefix != candidates[c - 1].prefix) groups.push_back(c);
  }
  groups.push_back(candidates.size());
  const std::size_t group_count = groups.size() - 1;
  const auto grow_groups = [&](std::size_t first, std::size_t last, Level& level, PositionSink& sink,
                               Extensions& extensions, const CancelCheck& check) {
    Poller poller(check);
    if (extensions.slot.empty()) extensions.slot.assign(symbol_count, Extensions::none);
    for (std::size_t g = first; g < last; ++g) {
      const std::size_t begin = groups[g];
      const std::size_t end = groups[g + 1];
      const std::size_t prefix = candidates[begin].prefix;
      const std::size_t scanned = find_candidates(below, prefix, &candidates[begin], &candidates[end], ds, extensions);
      poller.tick(256 * (end - begin) + scanned);
      const char* symbols = below.pattern(prefix);
      const bool repeated = below.ranged[prefix] != 0;
      for (std::size_t c = begin; c < end; ++c) {
        const std::size_t bucket = c - begin;
        const char appended = candidates[c].last;
        prune_infrequent(level, sink, symbols, appended, repeated && appended == symbols[0], extensions.bucket(bucket),
                         ds, extensions.walk);
      }
    }
  };
  // Groups are shared out in parts of about the same number of occurrences, each grown into a level of its
  // own; the parts' levels are then joined in group order, which is the order one pass would have made.
  // No part can find more positions than its prefixes have occurrences, so each writes its positions straight
  // into a region of the level's buffer of that size, and the level keeps the gaps the parts leave. Each part's
  // other buffers are sized first for the most they can hold. This only reserves address space: nothing is
  // copied as it grows, and pages never written are never touched.
  // Parts of at most `most_occurrences` keep the calling thread's looks for Ctrl-C a few milliseconds apart.
  constexpr std::size_t occurrences_per_part = std::size_t{1} << 11;
  constexpr std::size_t most_occurrences = std::size_t{1} << 20;
  const std::size_t threads = thread_count();
  // With one thread, one part takes every group, and the poller looks for Ctrl-C as it goes.
  const std::size_t scale = threads == 1 ? std::numeric_limits<std::size_t>::max()
                                         : std::max(least_part(occurrences_per_part),
                                                    std::min(below.positions.size() / (4 * threads), most_occurrences));
  struct Part {
    std::size_t first_group;
    std::size_t occurrences = 0;
    std::size_t runs = 0;
    std::size_t patterns = 0;
  };
  std::vector<Part> plan{{0}};
  for (std::size_t g = 0; g < group_count; ++g) {
    const std::size_t prefix = candidates[groups[g]].prefix;
    const std::size_t extensions = groups[g + 1] - groups[g];
    // A prefix's runs lie together in the level's positions; with minsup 0 it may have none.
    const std::size_t first_run = below.first_run[prefix];
    const std::size_t end_run = below.first_run[prefix + 1];
    const std::size_t entries = below.entries(prefix);
    // A range takes two entries, and may give its extensions three: one range and its last position.
    const std::size_t occurrences = below.ranged[prefix] != 0 ? entries + entries / 2 : entries;
    Part& part = plan.back();
    part.occurrences += occurrences;
    // Every run holds an occurrence, and every extension's runs lie in its prefix's series.
    part.runs += std::min(extensions * (end_run - first_run), occurrences);
    part.patterns += extensions;
    if (part.occurrences >= scale && g + 1 < group_count) plan.push_back({g + 1});
  }
  plan.push_back({group_count});
  const std::size_t parts = plan.size() - 1;
  if (scratch.size() < parts) scratch.resize(parts);
  std::vector<std::size_t> regions(parts + 1, 0);  // where each part's positions start
  for (std::size_t p = 0; p < parts; ++p) regions[p + 1] = regions[p] + plan[p].occurrences;
  Buffer<std::int32_t> positions(regions[parts]);
  std::vector<Level> pieces(parts);
  std::vector<PositionSink> sinks(parts, PositionSink{nullptr});
  for (std::size_t p = 0; p < parts; ++p) {
    Level& piece = pieces[p];
    piece.length = below.length + 1;
    // Past held_length, most of a level's patterns may hold no symbols, and room kept for them would add up.
    if (piece.length <= Level::held_length) piece.symbols.reserve(plan[p].patterns * piece.length);
    piece.runs.reserve(plan[p].runs);
    piece.order.reserve(plan[p].runs);
    piece.first_run.reserve(plan[p].patterns + 1);
    piece.first_entry.reserve(plan[p].patterns);
    piece.removed.reserve(plan[p].patterns);
    piece.ranged.reserve(plan[p].patterns);
    sinks[p].data = positions.data() + regions[p];
  }
  if (parts == 1) {
    grow_groups(0, group_count, pieces[0], sinks[0], scratch[0], cancelled);
    positions.resize(sinks[0].used);
    pieces[0].positions = std::move(positions);
    return std::move(pieces[0]);
  }
  parallel_for(
      parts, 1,
      [&](std::size_t p, std::size_t) {
        grow_groups(plan[p].first_group, plan[p + 1].first_group, pieces[p], sinks[p], scratch[p], {});
      },
      [&cancelled](std::size_t) {
        if (cancelled) cancelled();
      });
  return join_levels(pieces, std::move(positions), regions);
}

PatternMiner::Level PatternMiner::join_levels(const std::vector<Level>& pieces, Buffer<std::int32_t> positions,
                                              const std::vector<std::size_t>& regions) {
  // Where each piece goes in the joined level; the pieces are then copied there side by side. Their positions
  // are in place already.
  struct Offsets {
    std::size_t symbols = 0;
    std::size_t runs = 0;
    std::size_t patterns = 0;
  };
  std::vector<Offsets> at(pieces.size() + 1);
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    at[p + 1].symbols = at[p].symbols + pieces[p].symbols.size();
    at[p + 1].runs = at[p].runs + pieces[p].runs.size();
    at[p + 1].patterns = at[p].patterns + pieces[p].size();
  }
  const Offsets& total = at.back();
  Level joined;
  joined.length = pieces.front().length;
  for (std::size_t p = 0; p < pieces.size(); ++p) {
    for (const auto& [k, read] : pieces[p].elsewhere) joined.elsewhere.emplace_back(k + at[p].patterns, read);
  }
  joined.symbols.resize(total.symbols);
  joined.positions = std::move(positions);
  joined.runs.resize(total.runs);
  joined.order.resize(total.runs);
  joined.first_run.resize(total.patterns + 1);
  joined.first_entry.resize(total.patterns);
  joined.removed.resize(total.patterns);
  joined.ranged.resize(total.patterns);
  parallel_for(pieces.size(), 1, [&](std::size_t p, std::size_t) {
    const Level& piece = pieces[p];
    const Offsets& to = at[p];
    const std::size_t region = regions[p];
    std::copy(piece.symbols.begin(), piece.symbols.end(), joined.symbols.begin() + to.symbols);
    std::copy(piece.runs.begin(), piece.runs.end(), joined.runs.begin() + to.runs);
    std::transform(piece.first_entry.begin(), piece.first_entry.end(), joined.first_entry.begin() + to.patterns,
                   [region](std::size_t entry) { return entry + region; });
    std::copy(piece.order.begin(), piece.order.end(), joined.order.begin() + to.runs);
    std::transform(piece.first_run.begin() + 1, piece.first_run.end(), joined.first_run.begin() + to.patterns + 1,
                   [&to](std::size_t run) { return run + to.runs; });
    std::copy(piece.removed.begin(), piece.removed.end(), joined.removed.begin() + to.patterns);
    std::copy(piece.ranged.begin(), piece.ranged.end(), joined.ranged.begin() + to.patterns);
  });
  return joined;
}

void PatternMiner::mine_1_patterns(const SymbolicDataset& ds) {
  // Per symbol value, its positions series by series, as entries with ranges, and its runs (series, end), in
  // series order. The series are shared out in parts: each part counts its entries, which tells where its
  // positions and runs go, and then writes them there.
  std::size_t symbols = 0;
  for (const Symbols& series : ds) symbols += series.size();
  const std::size_t grain = part_size(ds.size(), symbols);
  const std::size_t parts = (ds.size() + grain - 1) / grain;
  using Counts = std::array<std::size_t, symbol_count>;
  std::vector<Counts> position_at(parts + 1, Counts{});  // per part, where its positions of each symbol start
  std::vector<Counts> run_at(parts + 1, Counts{});       // and its runs
  parallel_for(ds.size(), grain, [&](std::size_t begin, std::size_t end) {
    Counts& positions = position_at[begin / grain + 1];
    Counts& series_runs = run_at[begin / grain + 1];
    Counts seen{};  // per symbol, 1 + the last series counted
    for (std::size_t g = begin; g < end; ++g) {
      const Symbols& series = ds[g];
      for (std::size_t i = 0; i < series.size(); ++i) {
        const std::size_t u = symbol_index(series[i]);
        positions[u] += extends_range(series, i) ? 0 : 1;
        series_runs[u] += seen[u] != g + 1 ? 1 : 0;
        seen[u] = g + 1;
      }
    }
  });
  for (std::size_t p = 0; p < parts; ++p) {
    for (std::size_t u = 0; u < symbol_count; ++u) {
      position_at[p + 1][u] += position_at[p][u];
      run_at[p + 1][u] += run_at[p][u];
    }
  }
  std::vector<Buffer<std::int32_t>> found(symbol_count);
  std::vector<std::vector<std::pair<std::int32_t, std::size_t>>> runs(symbol_count);
  for (std::size_t u = 0; u < symbol_count; ++u) {
    found[u].resize(position_at[parts][u]);
    runs[u].resize(run_at[parts][u]);
  }
  parallel_for(ds.size(), grain, [&](std::size_t begin, std::size_t end) {
    Counts next_position = position_at[begin / grain];
    Counts next_run = run_at[begin / grain];
    for (std::size_t g = begin; g < end; ++g) {
      const Symbols& series = ds[g];
      const std::int32_t s = static_cast<std::int32_t>(g);
      for (std::size_t i = 0; i < series.size(); ++i) {
        const std::size_t u = symbol_index(series[i]);
        // A stretch of one symbol is its first position and then the negated last, which moves on as it grows.
        const bool follows = i > 0 && series[i - 1] == series[i];
        const auto at = static_cast<std::int32_t>(i);
        if (extends_range(series, i)) {
          found[u][next_position[u] - 1] = -at;
        } else {
          found[u][next_position[u]++] = follows ? -at : at;
        }
        // A symbol's first position in this series opens its run; every later one moves the run's end.
        const bool opens = next_run[u] == run_at[begin / grain][u] || runs[u][next_run[u] - 1].first != s;
        if (opens) runs[u][next_run[u]++].first = s;
        runs[u][next_run[u] - 1].second = next_position[u];
      }
    }
  });
  Level& letters = levels[1];
  letters.length = 1;
  std::size_t symbol_total = 0;
  for (std::size_t u = 0; u < symbol_count; ++u) symbol_total += position_at[parts][u];
  Buffer<std::int32_t>(symbol_total).swap(letters.positions);
  PositionSink sink{letters.positions.data()};
  // The support test in ascending order of the letters, as signed bytes.
  WalkCache walk;
  for (int v = std::numeric_limits<signed char>::min(); v <= std::numeric_limits<signed char>::max(); ++v) {
    const std::size_t u = static_cast<unsigned char>(static_cast<signed char>(v));
    // A letter that never occurs is no pattern, whatever the threshold.
    if (runs[u].empty()) continue;
    prune_infrequent(letters, sink, nullptr, static_cast<char>(u), true,
                     {found[u].data(), found[u].size(), runs[u].data(), runs[u].size()}, ds, walk);
  }
  letters.positions.resize(sink.used);
}

std::vector<PatternMiner::Candidate> PatternMiner::get_candidates() const {
  const Level& previous = levels[static_cast<std::size_t>(current_length) - 1];
  // q joins every p whose first `shared` symbols are q's last ones. The level is in ascending order,
  // so those p stand together, in level order, and two binary searches find them.
  const std::size_t shared = static_cast<std::size_t>(current_length) - 2;
  const std::size_t count = previous.size();
  const auto join = [&](std::size_t iq, std::vector<Candidate>& candidates) {
    const char* suffix = previous.pattern(iq) + 1;
    std::size_t lo = 0;
    std::size_t hi = count;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (symbols_less(previous.pattern(mid), suffix, shared)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    const std::size_t first = lo;
    hi = count;
    while (lo < hi) {
      const std::size_t mid = lo + (hi - lo) / 2;
      if (symbols_less(suffix, previous.pattern(mid), shared)) {
        hi = mid;
      } else {
        lo = mid + 1;
      }
    }
    for (std::size_t p = first; p < lo; ++p) candidates.push_back({iq, previous.pattern(p)[shared]});
  };
  // Parts of the level find their candidates apart, which are then put together in level order.
  constexpr std::size_t work_per_pattern = 64;  // two binary searches
  const std::size_t grain = part_size(count, count * work_per_pattern);
  std::vector<std::vector<Candidate>> found(std::max<std::size_t>(1, (count + grain - 1) / grain));
  parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t iq = begin; iq < end; ++iq) join(iq, found[begin / grain]);
  });
  if (found.size() == 1) return std::move(found.front());
  std::size_t total = 0;
  for (const std::vector<Candidate>& part : found) total += part.size();
  std::vector<Candidate> candidates;
  candidates.reserve(total);
  for (const std::vector<Candidate>& part : found) candidates.insert(candidates.end(), part.begin(), part.end());
  return candidates;
}

std::size_t PatternMiner::find_candidates(const Level& below, std::size_t prefix, const Candidate* first,
                                          const Candidate* last, const SymbolicDataset& ds, Extensions& out) const {
  const std::size_t count = static_cast<std::size_t>(last - first);
  const std::size_t first_run = below.first_run[prefix];
  const std::size_t end_run = below.first_run[prefix + 1];
  // The runs are walked out of recording order, so where each starts is found first.
  if (out.run_begins.size() < end_run - first_run) out.run_begins.resize(end_run - first_run);
  std::size_t begin_at = below.first_entry[prefix];
  for (std::size_t r = first_run; r < end_run; ++r) {
    out.run_begins[r - first_run] = begin_at;
    begin_at += below.runs[r].size;
  }
  // No bucket can take more than the prefix's occurrences, which lie together in the level.
  const std::size_t most = begin_at - below.first_entry[prefix];
  if (out.positions.size() < count) {
    out.positions.resize(count);
    out.filled.resize(count);
    out.runs.resize(count);
    out.run_counts.resize(count);
  }
  // Each occurrence is written, without a branch, to the next place of its bucket; those of no candidate all
  // go to one place that never advances. Runs are written the same way: every bucket's next run is written
  // after each series, and kept only when the bucket grew there.
  const std::size_t most_runs = end_run - first_run;
  std::array<std::int32_t*, symbol_count + 1> next{};
  std::array<std::size_t, symbol_count + 1> step{};
  std::array<std::size_t, symbol_count> ends{};
  std::array<std::size_t, symbol_count> run_counts{};
  std::int32_t sink = 0;
  next[Extensions::none] = &sink;
  for (std::size_t c = 0; c < count; ++c) {
    // Grown afresh rather than resized: what they held is not needed again.
    if (out.positions[c].size() < most) Buffer<std::int32_t>(most).swap(out.positions[c]);
    if (out.runs[c].size() < most_runs) std::vector<std::pair<std::int32_t, std::size_t>>(most_runs).swap(out.runs[c]);
    out.slot[symbol_index(first[c].last)] = static_cast<std::uint16_t>(c);
    next[c] = out.positions[c].data();
    step[c] = 1;
  }
  const std::size_t n = static_cast<std::size_t>(current_length);
  const std::int32_t* const positions = below.positions.data();
  const bool ranged = below.ranged[prefix] != 0;
  // The bucket of the extension by the prefix's own symbol, when the prefix is that symbol repeated.
  const std::size_t same = ranged ? out.slot[symbol_index(below.pattern(prefix)[0])] : Extensions::none;
  std::size_t scanned = 0;
  // A run's entries [begin, end) of the level below.
  struct Span {
    std::size_t begin;
    std::size_t end;
    std::int32_t series;
  };
  // The prefix's series in the order its occurrence index would be walked.
  for (std::size_t k = first_run; k < end_run; ++k) {
    const std::uint32_t rank = below.order[k];
    const Run& found = below.runs[first_run + rank];
    const Span run{out.run_begins[rank], out.run_begins[rank] + found.size, found.series};
    const Symbols& series = ds[static_cast<std::size_t>(run.series)];
    scanned += run.end - run.begin;
    const char* const after = series.data() + (n - 1);
    if (ranged) {
      for (std::size_t at = run.begin; at < run.end; ++at) {
        const std::int32_t e = positions[at];
        std::int32_t tail = e;
        if (at + 1 < run.end && positions[at + 1] < 0) {
          tail = -positions[++at];
          // The prefix also occurs one position on, so every position of the range but the last is followed by
          // the prefix's symbol, and the shorter range goes to that extension unread.
          *next[same] = e;
          next[same] += step[same];
          if (tail - 1 > e) {
            *next[same] = 1 - tail;
            next[same] += step[same];
          }
        }
        if (static_cast<std::size_t>(tail) + n > series.size()) continue;
        const std::size_t c = out.slot[symbol_index(after[tail])];
        *next[c] = tail;
        next[c] += step[c];
      }
    } else {
      // A run's positions ascend, so those with a symbol after the prefix come first.
      std::size_t end = run.end;
      while (end > run.begin && static_cast<std::size_t>(positions[end - 1]) + n > series.size()) --end;
      // The symbols looked at lie scattered over a long series, so each is asked for a few occurrences ahead.
      constexpr std::size_t ahead = 16;
      for (std::size_t at = run.begin; at < end; ++at) {
        if (at + ahead < end) __builtin_prefetch(after + positions[at + ahead]);
        const std::int32_t e = positions[at];
        const std::size_t c = out.slot[symbol_index(after[e])];
        *next[c] = e;
        next[c] += step[c];
      }
    }
    for (std::size_t c = 0; c < count; ++c) {
      const auto filled = static_cast<std::size_t>(next[c] - out.positions[c].data());
      out.runs[c][run_counts[c]] = {run.series, filled};
      run_counts[c] += filled != ends[c] ? 1 : 0;
      ends[c] = filled;
    }
  }
  for (std::size_t c = 0; c < count; ++c) {
    out.filled[c] = ends[c];
    out.run_counts[c] = run_counts[c];
    out.slot[symbol_index(first[c].last)] = Extensions::none;
  }
  return scanned;
}

void PatternMiner::prune_infrequent(Level& level, PositionSink& sink, const char* prefix, char last, bool ranged,
                                    const Occurrences& found, const SymbolicDataset& ds, WalkCache& walk) const {
  if (support_threshold > static_cast<double>(found.run_count)) return;
  if (ranged && level.length > Level::held_length && found.size > 0) {
    // The series holds the pattern's symbols where it first occurs; the first entry is a position.
    const Symbols& series = ds[static_cast<std::size_t>(found.runs[0].first)];
    level.elsewhere.emplace_back(level.size(), series.data() + found.positions[0]);
  } else {
    if (level.length > 1) level.symbols.insert(level.symbols.end(), prefix, prefix + (level.length - 1));
    level.symbols.push_back(last);
  }
  const std::size_t base = sink.used;
  std::copy(found.positions, found.positions + found.size, sink.data + base);
  sink.used += found.size;
  std::size_t begin = 0;
  for (std::size_t r = 0; r < found.run_count; ++r) {
    const auto& [s, end] = found.runs[r];
    level.runs.push_back({static_cast<std::uint32_t>(end - begin), s});
    begin = end;
  }
  level.first_entry.push_back(base);
  // The record made of these runs gets its series in run order, so its occurrence index walks them as
  // the replay of that order does. Extensions of one prefix often hold the very same series, and the same
  // keys in the same order walk alike, so the last replay is kept and used again for them.
  const auto key_at = [&found](std::size_t r) { return found.runs[r].first; };
  bool same = walk.series.size() == found.run_count;
  for (std::size_t r = 0; same && r < found.run_count; ++r) same = walk.series[r] == key_at(r);
  if (!same) {
    walk.series.resize(found.run_count);
    for (std::size_t r = 0; r < found.run_count; ++r) walk.series[r] = key_at(r);
    walk.order.clear();
    for_each_in_walk_order(found.run_count, key_at,
                           [&walk](std::size_t r) { walk.order.push_back(static_cast<std::uint32_t>(r)); });
  }
  level.order.insert(level.order.end(), walk.order.begin(), walk.order.end());
  level.first_run.push_back(level.runs.size());
  level.removed.push_back(0);
  level.ranged.push_back(ranged ? 1 : 0);
}

std::vector<std::pair<std::size_t, std::size_t>> PatternMiner::remove_short() {
  std::vector<std::pair<std::size_t, std::size_t>> kept;
  // Every grown level takes part, including the level of length max_len when growth stopped there.
  for (std::size_t i = levels.size() - 1; i >= 1; --i) {
    Level& level = levels[i];
    for (std::size_t k = 0; k < level.size(); ++k) {
      if (static_cast<long long>(i) < options.min_len) {
        level.removed[k] = 1;
      } else {
        kept.emplace_back(i, k);
      }
    }
  }
  return kept;
}

void PatternMiner::remove_redundant(const CancelCheck& cancelled, const ProgressReport& report) {
  // The pruning list holds distinct patterns, longest first, so "r equals p" is "r is p", "r is in the
  // removed list" is a flag, and the r no longer than p start where p's length starts.
  const std::vector<std::pair<std::size_t, std::size_t>> pruning = remove_short();
  if (pruning.empty()) return;
  const std::size_t count = pruning.size();
  const std::size_t longest = pruning.front().first;
  const std::vector<std::size_t> need = needed_lengths(longest, options.max_overlap);

  std::vector<std::size_t> length_starts(longest + 2, count);
  for (std::size_t j = count; j-- > 0;) length_starts[pruning[j].first] = j;
  // Each part of the list counts its patterns' symbols into a list of its own; the lists are then put
  // together in list order and the entries moved to where their counts landed.
  std::vector<PruningEntry> entries(count);
  std::size_t symbols = 0;
  for (const auto& entry : pruning) symbols += entry.first;
  const std::size_t grain = part_size(count, symbols);
  std::vector<std::vector<SymbolCount>> part_counts((count + grain - 1) / grain);
  parallel_for(count, grain, [&](std::size_t begin, std::size_t end) {
    std::vector<SymbolCount>& counted = part_counts[begin / grain];
    std::array<std::int32_t, symbol_count> tally{};  // each symbol's count in the pattern at hand
    for (std::size_t j = begin; j < end; ++j) {
      const auto& [size, k] = pruning[j];
      const char* p = levels[size].pattern(k);
      const std::size_t first = counted.size();
      if (levels[size].ranged[k] != 0) {
        // One symbol repeated: counted without reading the pattern, whose length may be a whole series'.
        counted.push_back({p[0], static_cast<std::int32_t>(size)});
        entries[j] = {p, size, Word{1} << (symbol_index(p[0]) % word_bits), first, counted.size()};
        continue;
      }
      for (std::size_t i = 0; i < size; ++i) ++tally[symbol_index(p[i])];
      for (std::size_t i = 0; i < size; ++i) {
        std::int32_t& t = tally[symbol_index(p[i])];
        if (t == 0) continue;
        counted.push_back({p[i], t});
        t = 0;
      }
      entries[j] = {p, size, presence_mask(p, size), first, counted.size()};
    }
  });
  std::vector<SymbolCount> counts;
  for (std::size_t part = 0; part < part_counts.size(); ++part) {
    const std::size_t shift = counts.size();
    counts.insert(counts.end(), part_counts[part].begin(), part_counts[part].end());
    for (std::size_t j = part * grain; j < std::min(count, (part + 1) * grain); ++j) {
      entries[j].first += shift;
      entries[j].last += shift;
    }
  }

  std::vector<char> removed(count, 0);
  // With several threads the patterns come a window at a time: the next patterns not yet removed. Which of
  // them are still there at their turn depends only on the earlier ones of the window, so a pass over the
  // window's pairs tells, and then what each of those removes is found for all of them at once and applied
  // in list order. That is exactly the one-at-a-time pass: a pattern's finding depends only on what was
  // removed before it, and whatever the window removed since is skipped as it is applied.
  // Each pattern kept is compared with its stretch of the list in pieces, so that a window that keeps only a
  // few patterns still shares out; the pieces' findings, read in piece order, are that pattern's in list order.
  const std::size_t threads = thread_count();
  const std::size_t window = threads == 1 ? 1 : least_part(64);
  struct Piece {
    std::size_t p;      // the pattern kept
    std::size_t first;  // and the stretch [first, last) it is compared with
    std::size_t last;
  };
  std::vector<RedundancyTest> tests(1, RedundancyTest(entries, counts, need));
  std::vector<std::vector<std::size_t>> found(1);
  std::vector<std::size_t> open;
  std::vector<std::size_t> kept;
  std::vector<Piece> pieces;
  for (std::size_t i = 0; i < count;) {
    open.clear();
    for (; i < count && open.size() < window; ++i) {
      if (cancelled) cancelled();
      if (report) report(Stage::compare, i, count);
      if (removed[i] == 0) open.push_back(i);
    }
    kept.clear();
    for (const std::size_t r : open) {
      const bool removed_by_kept = std::any_of(kept.begin(), kept.end(), [&](std::size_t p) {
        tests[0].find(p, r, r + 1, removed, found[0]);
        return !found[0].empty();
      });
      if (!removed_by_kept) kept.push_back(r);
    }
    std::size_t compared = 0;
    for (const std::size_t p : kept) compared += count - length_starts[entries[p].size];
    const std::size_t piece =
        threads == 1 ? count : std::max(least_part(1024), (compared + 4 * threads - 1) / (4 * threads));
    pieces.clear();
    for (const std::size_t p : kept) {
      for (std::size_t first = length_starts[entries[p].size]; first < count; first += piece) {
        pieces.push_back({p, first, std::min(count, first + piece)});
      }
    }
    while (tests.size() < pieces.size()) tests.emplace_back(entries, counts, need);
    if (found.size() < pieces.size()) found.resize(pieces.size());
    parallel_for(pieces.size(), 1, [&](std::size_t q, std::size_t) {
      tests[q].find(pieces[q].p, pieces[q].first, pieces[q].last, removed, found[q]);
    });
    for (std::size_t q = 0; q < pieces.size(); ++q) {
      for (const std::size_t j : found[q]) {
        if (removed[j] != 0) continue;
        levels[pruning[j].first].removed[pruning[j].second] = 1;
        removed[j] = 1;
      }
    }
  }
  if (report) report(Stage::compare, count, count);
}

void PatternMiner::build_frequent() {
  for (Level& level : levels) {
    std::vector<std::size_t> kept;
    for (std::size_t k = 0; k < level.size(); ++k) {
      if (level.removed[k] == 0) kept.push_back(k);
    }
    std::vector<Motif> records(kept.size(), Motif(Pattern()));
    // Each record is filled on its own, its series in the order their runs were found, so that its occurrence index
    // walks them as the replay of that order does, as the level's order did while it was kept.
    const auto fill = [&](std::size_t begin, std::size_t end) {
      std::vector<std::int32_t> spelled;
      for (std::size_t r = begin; r < end; ++r) {
        const std::size_t k = kept[r];
        const std::size_t first_run = level.first_run[k];
        const std::size_t end_run = level.first_run[k + 1];
        PackedIndex index;
        index.series.reserve(end_run - first_run);
        index.ends.reserve(end_run - first_run);
        index.walk.reserve(end_run - first_run);
        for_each_in_walk_order(
            end_run - first_run, [&](std::size_t rank) { return level.runs[first_run + rank].series; },
            [&index](std::size_t rank) { index.walk.push_back(static_cast<std::uint32_t>(rank)); });
        const std::int32_t* entries = level.positions.data() + level.first_entry[k];
        const std::size_t entry_count = level.entries(k);
        index.positions.reserve(level.ranged[k] == 0 ? entry_count : spelled_size(entries, entries + entry_count));
        for (std::size_t run = first_run; run < end_run; ++run) {
          const Run& found = level.runs[run];
          const std::int32_t* first = entries;
          const std::int32_t* last = entries + found.size;
          entries = last;
          if (level.ranged[k] != 0) {
            spell_out(first, last, spelled);
            first = spelled.data();
            last = first + spelled.size();
          }
          index.series.push_back(found.series);
          index.positions.insert(index.positions.end(), first, last);
          index.ends.push_back(index.positions.size());
        }
        const char* p = level.pattern(k);
        records[r] = Motif(Pattern(p, p + level.length), std::move(index));
      }
    };
    // Each series of a record costs a run read and its entries written, more than a position copied.
    constexpr std::size_t work_per_series = 64;
    parallel_for(records.size(),
                 part_size(records.size(), level.positions.size() + work_per_series * level.runs.size()), fill);
    for (Motif& record : records) {
      Pattern key = record.pattern;
      frequent.emplace_hint(frequent.end(), std::move(key), std::move(record));
    }
    // The occurrences now live in the records.
    Buffer<std::int32_t>().swap(level.positions);
    Buffer<Run>().swap(level.runs);
    Buffer<std::uint32_t>().swap(level.order);
  }
}

}  // namespace kez
