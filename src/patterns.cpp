#include "patterns.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace kez {

namespace {

bool ends_match(const Pattern& q, const Pattern& p) {
  // q without its first symbol against p without its last.
  return std::equal(q.begin() + 1, q.end(), p.begin(), p.end() - 1);
}

bool spells(const Symbols& series, std::size_t start, const Pattern& c) {
  return std::equal(c.begin(), c.end(), series.begin() + static_cast<std::ptrdiff_t>(start));
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
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<signed char>(x) < static_cast<signed char>(y);
  });
}

double lcs(const Pattern& a, const Pattern& b) {
  std::vector<std::vector<int>> t(a.size() + 1, std::vector<int>(b.size() + 1, 0));
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      t[i][j] = a[i - 1] == b[j - 1] ? t[i - 1][j - 1] + 1 : std::max(t[i][j - 1], t[i - 1][j]);
    }
  }
  return static_cast<double>(t[a.size()][b.size()]);
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

void PatternMiner::grow(const SymbolicDataset& ds, const CancelCheck& cancelled) {
  current_length = 2;
  if (levels[1].empty()) return;
  while (max_len == 0 || current_length <= max_len) {
    levels.emplace_back();
    for (const Pattern& candidate : get_candidates()) {
      if (cancelled) cancelled();
      frequent.emplace(candidate, Motif(candidate));
      find_candidate(candidate, ds);
      prune_infrequent(candidate);
    }
    ++current_length;
    if (levels[static_cast<std::size_t>(current_length) - 1].empty()) return;
  }
}

void PatternMiner::mine_1_patterns(const SymbolicDataset& ds) {
  for (std::size_t g = 0; g < ds.size(); ++g) {
    for (std::size_t i = 0; i < ds[g].size(); ++i) {
      const Pattern letter{ds[g][i]};
      auto it = frequent.try_emplace(letter, letter).first;
      it->second.record_index(static_cast<std::int32_t>(g), static_cast<std::int32_t>(i));
    }
  }
  std::vector<Pattern> letters;
  for (const auto& entry : frequent) letters.push_back(entry.first);
  for (const Pattern& letter : letters) prune_infrequent(letter);
}

std::vector<Pattern> PatternMiner::get_candidates() const {
  const auto& previous = levels[static_cast<std::size_t>(current_length) - 1];
  std::vector<Pattern> candidates;
  for (const Pattern& q : previous) {
    for (const Pattern& p : previous) {
      if (q.size() != p.size() || !ends_match(q, p)) continue;
      Pattern c = q;
      c.push_back(p.back());
      candidates.push_back(std::move(c));
    }
  }
  return candidates;
}

void PatternMiner::find_candidate(const Pattern& candidate, const SymbolicDataset& ds) {
  const Pattern prefix(candidate.begin(), candidate.end() - 1);
  const Motif& source = frequent.at(prefix);
  Motif& target = frequent.at(candidate);
  const std::size_t n = candidate.size();
  for (const auto& [s, positions] : source.occurrences()) {
    const Symbols& series = ds[static_cast<std::size_t>(s)];
    for (const std::int32_t e : positions) {
      const std::size_t start = static_cast<std::size_t>(e);
      if (start + n > series.size()) continue;
      if (spells(series, start, candidate)) target.record_index(s, e);
    }
  }
}

void PatternMiner::prune_infrequent(const Pattern& p) {
  const double support = static_cast<double>(frequent.at(p).get_support());
  if (support_threshold > support) {
    frequent.erase(p);
  } else {
    levels[p.size()].push_back(p);
  }
}

std::vector<Pattern> PatternMiner::remove_short() {
  std::vector<Pattern> kept;
  // Every grown level takes part, including the level of length max_len when growth stopped there.
  for (std::size_t i = levels.size() - 1; i >= 1; --i) {
    for (const Pattern& p : levels[i]) {
      if (static_cast<long long>(i) < min_len) {
        frequent.erase(p);
      } else {
        kept.push_back(p);
      }
    }
  }
  return kept;
}

void PatternMiner::remove_redundant(const CancelCheck& cancelled) {
  const std::vector<Pattern> pruning = remove_short();
  std::vector<Pattern> removed;
  for (const Pattern& p : pruning) {
    if (cancelled) cancelled();
    if (is_p_in_vec(p, removed)) continue;
    for (const Pattern& r : pruning) {
      if (r.size() > p.size()) continue;
      if (r.size() == p.size() && r == p) continue;
      if (is_p_in_vec(r, removed)) continue;
      const double ratio = lcs(p, r) / static_cast<double>(r.size());
      if (ratio > max_overlap) {
        frequent.erase(r);
        removed.push_back(r);
      }
    }
  }
}

}  // namespace kez
