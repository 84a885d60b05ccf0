#include "patterns.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace kez {

namespace {

using Word = std::uint64_t;
constexpr std::size_t word_bits = 64;
constexpr std::size_t symbol_count = 256;

std::size_t symbol_index(char c) { return static_cast<unsigned char>(c); }

std::size_t words_for(std::size_t length) { return (length + word_bits - 1) / word_bits; }

bool symbol_less(char x, char y) { return static_cast<signed char>(x) < static_cast<signed char>(y); }

// Polls the cancellation check once enough work has been done since the last poll, so that
// Ctrl-C is seen within milliseconds without paying for a call per unit of work.
class Poller {
 public:
  explicit Poller(const CancelCheck& cancelled) : cancelled(cancelled) {}

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

// The match masks of one pattern a: for each symbol, the positions of a holding it, 64 a word.
// Only the rows of a's own symbols are ever set, and clear() resets just those.
class MatchMasks {
 public:
  void assign(const Pattern& a) {
    clear();
    words = words_for(a.size());
    if (rows.size() < symbol_count * words) rows.resize(symbol_count * words, 0);
    for (std::size_t i = 0; i < a.size(); ++i) row(a[i])[i / word_bits] |= Word{1} << (i % word_bits);
    symbols = &a;
  }

  void clear() {
    if (symbols == nullptr) return;
    for (const char c : *symbols) std::fill_n(row(c), words, Word{0});
    symbols = nullptr;
  }

  // The length of the longest common subsequence of the assigned pattern and b, bit-parallel:
  // the zero bits of V count the matched positions of a, one column of the LCS table per symbol of b.
  std::size_t lcs_with(const Pattern& b, std::vector<Word>& v) const {
    v.assign(words, ~Word{0});
    for (const char c : b) {
      const Word* m = row(c);
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
    for (const Word w : v) ones += static_cast<std::size_t>(__builtin_popcountll(w));
    // The bits above the pattern's length stay set, so the zero bits are exactly the matches.
    return words * word_bits - ones;
  }

 private:
  Word* row(char c) { return rows.data() + symbol_index(c) * words; }
  const Word* row(char c) const { return rows.data() + symbol_index(c) * words; }

  std::vector<Word> rows;
  std::size_t words = 0;
  const Pattern* symbols = nullptr;
};

// A symbol and how often a pattern holds it.
struct SymbolCount {
  char symbol;
  std::int32_t count;
};

// What the redundancy pass knows of one pattern of the pruning list before comparing it.
struct PruningEntry {
  const Pattern* pattern;
  Word mask;          // bit (symbol mod 64) set for every symbol present
  std::size_t first;  // its symbol counts in the shared list
  std::size_t last;
};

Word presence_mask(const Pattern& p) {
  Word mask = 0;
  for (const char c : p) mask |= Word{1} << (symbol_index(c) % word_bits);
  return mask;
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
  MatchMasks masks;
  masks.assign(a);
  std::vector<Word> v;
  return static_cast<double>(masks.lcs_with(b, v));
}

bool is_p_in_vec(const Pattern& p, const std::vector<Pattern>& patterns) {
  return std::find(patterns.begin(), patterns.end(), p) != patterns.end();
}

PatternMiner::PatternMiner(double minsup, int min_len, int max_len, double max_overlap)
    : minsup(minsup), min_len(min_len), max_len(max_len), max_overlap(max_overlap) {}

void PatternMiner::mine(const SymbolicDataset& ds, const CancelCheck& cancelled) {
  check_growth(minsup, max_len);
  frequent.clear();
  levels.assign(2, {});
  current_length = 2;
  support_threshold = static_cast<double>(ds.size()) * minsup;
  try {
    mine_1_patterns(ds);
    grow(ds, cancelled);
    remove_redundant(cancelled);
  } catch (...) {
    // An interrupted run leaves nothing half-built behind.
    frequent.clear();
    levels.assign(2, {});
    throw;
  }
}

std::vector<const Motif*> PatternMiner::records_of(const std::vector<Pattern>& level) const {
  std::vector<const Motif*> records;
  records.reserve(level.size());
  for (const Pattern& p : level) records.push_back(&frequent.at(p));
  return records;
}

void PatternMiner::grow(const SymbolicDataset& ds, const CancelCheck& cancelled) {
  current_length = 2;
  if (levels[1].empty()) return;
  Poller poller(cancelled);
  Extensions extensions;
  extensions.slot.assign(symbol_count, -1);
  // The records of the level below, beside its patterns; map nodes stay put while others come and go.
  std::vector<const Motif*> below = records_of(levels[1]);
  while (max_len == 0 || current_length <= max_len) {
    levels.emplace_back();
    const auto& previous = levels[static_cast<std::size_t>(current_length) - 1];
    const std::vector<Candidate> candidates = get_candidates();
    // The candidates of one prefix stand together; they are found together and then, one by one in
    // list order, tested and recorded exactly as if each had been searched on its own.
    for (std::size_t begin = 0; begin < candidates.size();) {
      std::size_t end = begin + 1;
      while (end < candidates.size() && candidates[end].prefix == candidates[begin].prefix) ++end;
      const std::size_t prefix = candidates[begin].prefix;
      const std::size_t scanned =
          find_candidate(*below[prefix], &candidates[begin], &candidates[end], ds, extensions);
      poller.tick(256 * (end - begin) + scanned);
      for (std::size_t c = begin; c < end; ++c) {
        const std::size_t bucket = c - begin;
        const auto& runs = extensions.runs[bucket];
        if (support_threshold > static_cast<double>(runs.size())) continue;
        Pattern pattern;
        pattern.reserve(static_cast<std::size_t>(current_length));
        pattern = previous[prefix];
        pattern.push_back(candidates[c].last);
        Motif record(std::move(pattern));
        const std::int32_t* found = extensions.positions[bucket].data();
        std::size_t begin_run = 0;
        for (const auto& [s, end_run] : runs) {
          record.record_indexes(s, found + begin_run, found + end_run);
          begin_run = end_run;
        }
        prune_infrequent(std::move(record));
      }
      begin = end;
    }
    ++current_length;
    const auto& grown = levels[static_cast<std::size_t>(current_length) - 1];
    if (grown.empty()) return;
    below = records_of(grown);
  }
}

void PatternMiner::mine_1_patterns(const SymbolicDataset& ds) {
  // One record per symbol value, filled series by series and position by position.
  std::array<int, symbol_count> slot;
  slot.fill(-1);
  std::vector<Motif> letters;
  std::vector<std::vector<std::int32_t>> found(symbol_count);
  std::vector<std::size_t> touched;
  for (std::size_t g = 0; g < ds.size(); ++g) {
    const Symbols& series = ds[g];
    for (std::size_t i = 0; i < series.size(); ++i) {
      auto& positions = found[symbol_index(series[i])];
      if (positions.empty()) touched.push_back(symbol_index(series[i]));
      positions.push_back(static_cast<std::int32_t>(i));
    }
    // Each letter's record gets this series' positions in one piece; records are separate, so the
    // order in which the letters are visited does not matter.
    for (const std::size_t u : touched) {
      int& at = slot[u];
      if (at < 0) {
        at = static_cast<int>(letters.size());
        letters.emplace_back(Pattern{static_cast<char>(static_cast<unsigned char>(u))});
      }
      auto& positions = found[u];
      letters[static_cast<std::size_t>(at)].record_indexes(static_cast<std::int32_t>(g), positions.data(),
                                                            positions.data() + positions.size());
      positions.clear();
    }
    touched.clear();
  }
  // The support test in ascending order of the letters, as signed bytes.
  for (int v = std::numeric_limits<signed char>::min(); v <= std::numeric_limits<signed char>::max(); ++v) {
    const int at = slot[static_cast<unsigned char>(static_cast<signed char>(v))];
    if (at < 0) continue;
    Motif& letter = letters[static_cast<std::size_t>(at)];
    if (support_threshold > static_cast<double>(letter.get_support())) continue;
    prune_infrequent(std::move(letter));
  }
}

std::vector<PatternMiner::Candidate> PatternMiner::get_candidates() const {
  const auto& previous = levels[static_cast<std::size_t>(current_length) - 1];
  // q joins every p whose first `shared` symbols are q's last ones. The level is in ascending order,
  // so those p stand together, in level order, and two binary searches find them.
  const std::size_t shared = static_cast<std::size_t>(current_length) - 2;
  std::vector<Candidate> candidates;
  for (std::size_t iq = 0; iq < previous.size(); ++iq) {
    const auto suffix = previous[iq].begin() + 1;
    const auto prefix_less = [&](const Pattern& p, const Pattern::const_iterator& s) {
      return std::lexicographical_compare(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(shared), s,
                                          s + static_cast<std::ptrdiff_t>(shared), symbol_less);
    };
    const auto suffix_less = [&](const Pattern::const_iterator& s, const Pattern& p) {
      return std::lexicographical_compare(s, s + static_cast<std::ptrdiff_t>(shared), p.begin(),
                                          p.begin() + static_cast<std::ptrdiff_t>(shared), symbol_less);
    };
    const auto first = std::lower_bound(previous.begin(), previous.end(), suffix, prefix_less);
    const auto last = std::upper_bound(first, previous.end(), suffix, suffix_less);
    for (auto p = first; p != last; ++p) candidates.push_back({iq, p->back()});
  }
  return candidates;
}

std::size_t PatternMiner::find_candidate(const Motif& prefix, const Candidate* first, const Candidate* last,
                                         const SymbolicDataset& ds, Extensions& out) const {
  const std::size_t count = static_cast<std::size_t>(last - first);
  if (out.positions.size() < count) {
    out.positions.resize(count);
    out.runs.resize(count);
  }
  for (std::size_t c = 0; c < count; ++c) {
    out.positions[c].clear();
    out.runs[c].clear();
    out.slot[symbol_index(first[c].last)] = static_cast<int>(c);
  }
  // The prefix occurs at every position recorded for it, so only the symbol after it needs a look.
  const std::size_t n = static_cast<std::size_t>(current_length);
  std::size_t scanned = 0;
  for (const auto& [s, positions] : prefix.occurrences()) {
    const Symbols& series = ds[static_cast<std::size_t>(s)];
    scanned += positions.size();
    for (const std::int32_t e : positions) {
      const std::size_t end = static_cast<std::size_t>(e) + n;
      if (end > series.size()) continue;
      const int c = out.slot[symbol_index(series[end - 1])];
      if (c < 0) continue;
      const std::size_t bucket = static_cast<std::size_t>(c);
      auto& found = out.positions[bucket];
      auto& runs = out.runs[bucket];
      // Series come one after another, so a new series in a bucket opens a new run.
      if (runs.empty() || runs.back().first != s) runs.emplace_back(s, found.size());
      found.push_back(e);
      runs.back().second = found.size();
    }
  }
  for (std::size_t c = 0; c < count; ++c) out.slot[symbol_index(first[c].last)] = -1;
  return scanned;
}

void PatternMiner::prune_infrequent(Motif&& candidate) {
  // Only frequent candidates get here; the infrequent ones never enter the map.
  levels[candidate.pattern.size()].push_back(candidate.pattern);
  Pattern key = candidate.pattern;
  frequent.emplace_hint(frequent.end(), std::move(key), std::move(candidate));
}

std::vector<const Pattern*> PatternMiner::remove_short() {
  std::vector<const Pattern*> kept;
  // Every grown level takes part, including the level of length max_len when growth stopped there.
  for (std::size_t i = levels.size() - 1; i >= 1; --i) {
    for (const Pattern& p : levels[i]) {
      if (static_cast<long long>(i) < min_len) {
        frequent.erase(p);
      } else {
        kept.push_back(&p);
      }
    }
  }
  return kept;
}

void PatternMiner::remove_redundant(const CancelCheck& cancelled) {
  // The pruning list holds distinct patterns, longest first, so "r equals p" is "r is p", "r is in the
  // removed list" is a flag, and the r no longer than p start where p's length starts.
  const std::vector<const Pattern*> pruning = remove_short();
  if (pruning.empty()) return;
  const std::size_t count = pruning.size();
  const std::size_t longest = pruning.front()->size();
  const std::vector<std::size_t> need = needed_lengths(longest, max_overlap);

  std::vector<std::size_t> length_starts(longest + 2, count);
  std::vector<SymbolCount> counts;
  std::vector<PruningEntry> entries;
  entries.reserve(count);
  std::array<std::int32_t, symbol_count> tally{};
  for (std::size_t j = count; j-- > 0;) length_starts[pruning[j]->size()] = j;
  for (const Pattern* p : pruning) {
    const std::size_t first = counts.size();
    for (const char c : *p) ++tally[symbol_index(c)];
    for (const char c : *p) {
      std::int32_t& t = tally[symbol_index(c)];
      if (t == 0) continue;
      counts.push_back({c, t});
      t = 0;
    }
    entries.push_back({p, presence_mask(*p), first, counts.size()});
  }

  std::vector<char> removed(count, 0);
  MatchMasks masks;
  std::vector<Word> scratch;
  for (std::size_t i = 0; i < count; ++i) {
    if (cancelled) cancelled();
    if (removed[i] != 0) continue;
    const PruningEntry& pe = entries[i];
    const Pattern& p = *pe.pattern;
    for (std::size_t k = pe.first; k < pe.last; ++k) tally[symbol_index(counts[k].symbol)] = counts[k].count;
    bool masks_ready = false;
    for (std::size_t j = length_starts[p.size()]; j < count; ++j) {
      if (j == i || removed[j] != 0) continue;
      const PruningEntry& re = entries[j];
      const Pattern& r = *re.pattern;
      const std::size_t needed = need[r.size()];
      if (needed > r.size()) continue;
      if (needed > 0) {
        // Cheap bounds first: each symbol of r missing from p, and each surplus of a symbol over
        // p's count, is a symbol of r that no common subsequence can use.
        const std::size_t slack = r.size() - needed;
        if (static_cast<std::size_t>(__builtin_popcountll(re.mask & ~pe.mask)) > slack) continue;
        std::size_t deficit = 0;
        for (std::size_t k = re.first; k < re.last && deficit <= slack; ++k) {
          const std::int32_t surplus = counts[k].count - tally[symbol_index(counts[k].symbol)];
          if (surplus > 0) deficit += static_cast<std::size_t>(surplus);
        }
        if (deficit > slack) continue;
        if (!masks_ready) {
          masks.assign(p);
          masks_ready = true;
        }
        if (masks.lcs_with(r, scratch) < needed) continue;
      }
      frequent.erase(r);
      removed[j] = 1;
    }
    for (std::size_t k = pe.first; k < pe.last; ++k) tally[symbol_index(counts[k].symbol)] = 0;
  }
}

}  // namespace kez
