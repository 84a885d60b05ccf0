// Coverage-guided fuzzing of the core: SAX, pattern mining, the whole pipeline, and the mapping of records
// whose occurrences come straight from the input (which no Python call can build). Every run checks the
// results it gets; a broken check, a crash or an unexpected exception is a finding.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <vector>

#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace {

using kez::Dataset;
using kez::Motif;
using kez::Pattern;
using kez::SymbolicDataset;

void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "check failed: %s\n", what);
  std::abort();
}

// The fuzzer's bytes, read front to back; past the end every read gives zero.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data(data), size(size) {}

  std::uint8_t byte() { return at < size ? data[at++] : 0; }

  // A value from lo to hi inclusive.
  int in(int lo, int hi) { return lo + byte() % (hi - lo + 1); }

  std::int32_t any_int() {
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v = (v << 8) | byte();
    std::int32_t out;
    std::memcpy(&out, &v, sizeof out);
    return out;
  }

  double number() {
    static const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                                      std::numeric_limits<double>::infinity(),
                                      -std::numeric_limits<double>::infinity(),
                                      0.0,
                                      -0.0,
                                      1e308,
                                      -1e308,
                                      5e-324,
                                      -5e-324,
                                      1e-300,
                                      0.43,
                                      -0.43,
                                      1e6,
                                      2.5,
                                      1.0,
                                      -1.0};
    const std::uint8_t b = byte();
    if (b < 16) return specials[b];
    if (b < 24) {
      std::uint64_t bits = 0;
      for (int i = 0; i < 8; ++i) bits = (bits << 8) | byte();
      double out;
      std::memcpy(&out, &bits, sizeof out);
      return out;
    }
    return (b - 140) / 16.0;
  }

  double share() {
    static const double shares[] = {
        std::numeric_limits<double>::quiet_NaN(), -0.5, -0.0, 0.0, 0.1, 0.25, 0.5, 0.75, 1.0, 1.5};
    return shares[byte() % 10];
  }

 private:
  const std::uint8_t* data;
  std::size_t size;
  std::size_t at = 0;
};

Dataset dataset(Input& in) {
  Dataset ts(static_cast<std::size_t>(in.in(0, 5)));
  for (auto& series : ts) {
    series.resize(static_cast<std::size_t>(in.in(0, 16)));
    const bool constant = in.byte() % 5 == 0;
    for (double& x : series) x = constant && &x != series.data() ? series[0] : in.number();
  }
  return ts;
}

// Symbols over a palette of at most four arbitrary bytes, so that patterns repeat.
SymbolicDataset symbols(Input& in) {
  std::vector<char> palette(static_cast<std::size_t>(in.in(1, 4)));
  for (char& c : palette) c = static_cast<char>(in.byte());
  SymbolicDataset ds(static_cast<std::size_t>(in.in(0, 6)));
  for (auto& seq : ds) {
    seq.resize(static_cast<std::size_t>(in.in(0, 12)));
    for (char& c : seq) c = palette[in.byte() % palette.size()];
  }
  return ds;
}

// Growth without a positive threshold keeps every candidate, so its levels grow like symbols ** max_len.
int max_len_for(Input& in, double minsup) { return minsup > 0.0 ? in.in(-2, 5) : in.in(-2, 2); }

bool growth_refused(double minsup, int max_len) { return max_len == 0 && !(minsup > 0.0); }

bool spells(const std::vector<char>& seq, std::int32_t at, const Pattern& p) {
  if (at < 0 || static_cast<std::size_t>(at) + p.size() > seq.size()) return false;
  return std::equal(p.begin(), p.end(), seq.begin() + at);
}

void check_frequent(const kez::FrequentMap& frequent, const SymbolicDataset& ds, double minsup, int min_len,
                    int max_len) {
  const double threshold = static_cast<double>(ds.size()) * minsup;
  for (const auto& [pattern, motif] : frequent) {
    require(pattern == motif.pattern, "key is the record's pattern");
    require(static_cast<int>(pattern.size()) >= min_len, "min_len holds");
    require(max_len == 0 || static_cast<int>(pattern.size()) <= std::max(max_len, 1), "max_len holds");
    const auto indexes = motif.get_indexes();
    require(!(threshold > static_cast<double>(indexes.size())), "support reaches the threshold");
    for (const auto& [s, positions] : indexes) {
      require(s >= 0 && static_cast<std::size_t>(s) < ds.size() && !positions.empty(), "series index is valid");
      for (std::size_t i = 0; i < positions.size(); ++i) {
        require(spells(ds[static_cast<std::size_t>(s)], positions[i], pattern), "occurrence spells its pattern");
        require(i == 0 || positions[i - 1] < positions[i], "positions increase");
      }
    }
  }
}

// The pruning as plainly as it can be written, with lcs and is_p_in_vec, over `grown` (every grown pattern):
// the patterns it keeps, in ascending order.
std::vector<Pattern> pruned_plainly(const kez::FrequentMap& grown, int min_len, double max_overlap) {
  // The pruning list: longest first, ascending within one length.
  std::vector<Pattern> pruning;
  for (const auto& entry : grown) {
    if (static_cast<int>(entry.first.size()) >= min_len) pruning.push_back(entry.first);
  }
  const auto longer = [](const Pattern& a, const Pattern& b) { return a.size() > b.size(); };
  std::stable_sort(pruning.begin(), pruning.end(), longer);
  std::vector<Pattern> removed;
  for (const Pattern& p : pruning) {
    if (kez::is_p_in_vec(p, removed)) continue;
    for (const Pattern& r : pruning) {
      if (r.size() > p.size() || r == p || kez::is_p_in_vec(r, removed)) continue;
      if (kez::lcs(p, r) / static_cast<double>(r.size()) > max_overlap) removed.push_back(r);
    }
  }
  std::vector<Pattern> kept;
  for (const auto& entry : grown) {
    if (static_cast<int>(entry.first.size()) >= min_len && !kez::is_p_in_vec(entry.first, removed)) {
      kept.push_back(entry.first);
    }
  }
  return kept;
}

bool same_records(const Motif& a, const Motif& b) {
  const auto same_bits = [](double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; };
  const auto ra = a.get_representative();
  const auto rb = b.get_representative();
  return a.pattern == b.pattern && a.get_indexes() == b.get_indexes() && a.get_best_matches() == b.get_best_matches() &&
         a.get_length() == b.get_length() && same_bits(a.get_naed(), b.get_naed()) && ra.size() == rb.size() &&
         std::equal(ra.begin(), ra.end(), rb.begin(), same_bits);
}

void check_mapped(const Motif& motif, int seglen) {
  require(motif.get_length() == static_cast<std::int32_t>(motif.pattern.size()) * seglen, "length");
  require(motif.get_representative().size() == static_cast<std::size_t>(motif.get_length()), "representative size");
  const auto indexes = motif.get_indexes();
  const auto averages = motif.get_average_occurrences();
  const auto best = motif.get_best_matches();
  require(averages.size() == indexes.size() && best.size() == indexes.size(), "one statistic per series");
  for (const auto& [s, positions] : indexes) {
    require(averages.at(s).size() == static_cast<std::size_t>(motif.get_length()), "average size");
    const std::int32_t offset = best.at(s);
    bool known = offset == 0;
    // Positions far outside a series (only a hand-made record has them) wrap like any 32-bit offset.
    for (const std::int32_t p : positions) {
      known = known || static_cast<std::int32_t>(static_cast<std::int64_t>(p) * seglen) == offset;
    }
    require(known, "best match is an occurrence offset");
  }
}

void fuzz_sax(Input& in) {
  const Dataset ts = dataset(in);
  const int seglen = in.in(-4, 8);
  const int alphabet = in.in(-2, 12);
  bool too_long = seglen == 0 && !ts.empty();
  for (const auto& s : ts) too_long = too_long || (seglen < 0 && s.size() >= static_cast<std::size_t>(-seglen));
  try {
    const SymbolicDataset ds = kez::sax(ts, seglen, alphabet);
    require(alphabet >= 0 && alphabet <= kez::max_alphabet && !too_long, "sax refuses what it cannot do");
    require(ds.size() == ts.size(), "one row per series");
    for (std::size_t i = 0; i < ds.size(); ++i) {
      const std::size_t n = ts[i].size();
      require(ds[i].size() == (seglen > 0 ? (n + seglen - 1) / seglen : 0), "one letter per segment");
      for (const char c : ds[i]) require(c >= 'a' && c < 'a' + std::max(alphabet, 1), "letter within the alphabet");
      for (std::size_t l = 0; l < ds[i].size(); ++l) {
        double sum = 0.0;
        for (std::size_t j = l * seglen; j < std::min(n, (l + 1) * seglen); ++j) sum += ts[i][j];
        require(ds[i][l] == kez::get_discrete_value(alphabet, sum / seglen), "each letter is its segment mean's");
      }
    }
  } catch (const std::invalid_argument&) {
    require(alphabet < 0 || alphabet > kez::max_alphabet, "only a bad alphabet is invalid");
  } catch (const std::length_error&) {
    require(too_long, "only an impossible segment count is a length error");
  }
}

void fuzz_pattern_miner(Input& in) {
  const SymbolicDataset ds = symbols(in);
  const double minsup = in.share();
  const int min_len = in.in(-1, 4);
  const int max_len = max_len_for(in, minsup);
  const double max_overlap = in.share();
  kez::PatternMiner miner({minsup, min_len, max_len, max_overlap});
  try {
    miner.mine(ds);
    require(!growth_refused(minsup, max_len), "growth that cannot stop is refused");
  } catch (const std::invalid_argument&) {
    require(growth_refused(minsup, max_len), "only endless growth is refused");
    require(miner.get_frequent().empty(), "a refusal changes nothing");
    return;
  }
  check_frequent(miner.get_frequent(), ds, minsup, min_len, max_len);
  // Neither a length limit nor an overlap limit prunes anything here, so this miner keeps all it grew.
  kez::PatternMiner unpruned({minsup, 1, max_len, 1.0});
  unpruned.mine(ds);
  std::vector<Pattern> kept;
  for (const auto& entry : miner.get_frequent()) kept.push_back(entry.first);
  const std::vector<Pattern> expected = pruned_plainly(unpruned.get_frequent(), min_len, max_overlap);
  require(kept == expected, "pruning keeps what the plain pass keeps");
  // A second run on other data gives what a new miner gives.
  const SymbolicDataset other = symbols(in);
  miner.mine(other);
  kez::PatternMiner fresh({minsup, min_len, max_len, max_overlap});
  fresh.mine(other);
  const auto a = miner.get_frequent();
  const auto b = fresh.get_frequent();
  require(a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                             [](const auto& x, const auto& y) {
                                               return x.first == y.first && same_records(x.second, y.second);
                                             }),
          "a second mine starts afresh");
}

void fuzz_miner(Input& in) {
  Dataset ts = dataset(in);
  const double minsup = in.share();
  const int seglen = in.in(-3, 6);
  const int alphabet = in.in(-1, 11);
  const int min_len = in.in(-1, 4);
  const int max_len = max_len_for(in, minsup);
  const double max_overlap = in.share();
  const int k = in.in(-2, 4);
  kez::Miner miner({{minsup, min_len, max_len, max_overlap}, seglen, alphabet, k});
  std::vector<Motif> result;
  try {
    result = miner.mine(ts);
    require(k >= 0, "a negative k fails");
  } catch (const std::invalid_argument&) {
    require(alphabet < 0 || alphabet > kez::max_alphabet || growth_refused(minsup, max_len), "refusal");
  } catch (const std::length_error&) {
    require(k < 0 || seglen <= 0, "length error from k or seglen");
  }
  const auto motifs = miner.get_motifs();
  require(k > 0 ? result.size() == std::min<std::size_t>(k, motifs.size()) : k < 0 || result.size() == motifs.size(),
          "mine returns the first k");
  for (std::size_t i = 0; i < motifs.size(); ++i) {
    check_mapped(motifs[i], seglen);
    if (i < result.size()) require(same_records(result[i], motifs[i]), "result is a prefix of motifs");
    if (i > 0) {
      const double x = motifs[i - 1].get_naed();
      const double y = motifs[i].get_naed();
      require(std::isnan(y) || (!std::isnan(x) && x <= y), "ranked by naed, NaN last");
    }
  }
}

void fuzz_map(Input& in) {
  const Dataset ts = dataset(in);
  Pattern pattern(static_cast<std::size_t>(in.in(1, 4)), 'a');
  Motif motif(pattern);
  const int records = in.in(0, 8);
  for (int i = 0; i < records; ++i) {
    const bool wild = in.byte() % 4 == 0;
    const std::int32_t s = wild ? in.any_int() : in.in(-1, 7);
    const std::int32_t p = wild ? in.any_int() : in.in(-2, 30);
    motif.record_index(s, p);
  }
  const int seglen = in.in(-2, 8);
  const int times = in.in(1, 2);
  try {
    for (int i = 0; i < times; ++i) motif.map(ts, seglen);
    require(seglen >= 0, "a negative window length fails");
  } catch (const std::length_error&) {
    require(seglen < 0, "only a negative window length fails");
    return;
  }
  check_mapped(motif, seglen);
  const std::int32_t position = in.any_int();
  for (const auto& series : ts) {
    require(motif.get_occurrence(series, position).size() == static_cast<std::size_t>(motif.get_length()),
            "a window has length values wherever it starts");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Input in(data, size);
  switch (in.byte() % 4) {
    case 0: fuzz_sax(in); break;
    case 1: fuzz_pattern_miner(in); break;
    case 2: fuzz_miner(in); break;
    default: fuzz_map(in); break;
  }
  return 0;
}
