// Level-wise mining of the contiguous patterns frequent in a symbolic dataset, and their pruning.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "buffer.h"
#include "motif.h"
#include "sax.h"

namespace kez {

// Orders patterns element by element as signed bytes, a proper prefix before its extensions.
struct PatternLess {
  // True when `a` sorts before `b`.
  bool operator()(const Pattern& a, const Pattern& b) const;
};

// Pattern to its record, in ascending pattern order.
using FrequentMap = std::map<Pattern, Motif, PatternLess>;

// Polled between units of work; it stops a long run by throwing.
using CancelCheck = std::function<void()>;

// The stages of a run, in the order they come.
enum class Stage { discretise, grow, compare, map };

// Told between units of work that a stage has done `done` of its `total` units (0: not known ahead): series
// discretised, letters of the longest level grown, patterns compared, series mapped (each is visited twice,
// and counts half at each visit). It may stop the run by throwing, as a cancellation check does.
using ProgressReport = std::function<void(Stage stage, std::size_t done, std::size_t total)>;

// Returns the length of the longest common subsequence of `a` and `b`, by the plain table: the reference
// that LcsMasks is tested against.
double lcs(const Pattern& a, const Pattern& b);

// True when `patterns` holds a pattern equal to `p`: the plain membership test that the pruning's flags
// replace, kept for the tests' reference pruning.
bool is_p_in_vec(const Pattern& p, const std::vector<Pattern>& patterns);

// The longest common subsequences of one pattern with others, bit-parallel with 64 of its positions a word:
// the redundancy pass's fast path for lcs.
class LcsMasks {
 public:
  // Measures against the `size` symbols at `a` from now on; they must stay in place, unchanged, until the
  // next assign, which clears what they set.
  void assign(const char* a, std::size_t size);

  // Returns the length of the longest common subsequence of the assigned symbols and the `size` symbols
  // at `b`, as lcs gives it; `scratch` is working space, reused between calls.
  std::size_t lcs_with(const char* b, std::size_t size, std::vector<std::uint64_t>& scratch) const;

 private:
  void clear();
  std::uint64_t* row(char c);
  const std::uint64_t* row(char c) const;

  std::vector<std::uint64_t> rows;  // per symbol value, the positions of the assigned symbols holding it
  std::size_t words = 0;
  const char* symbols = nullptr;
  std::size_t symbols_size = 0;
};

// Throws std::invalid_argument naming both values when growth with them could never stop.
void check_growth(double minsup, int max_len);

class PatternMiner {
 public:
  // The parameters of a run, each with the default the Python class gives it; a new parameter is a field here.
  struct Options {
    double minsup = 0.0;       // share of the series a pattern must occur in (Python requires it)
    int min_len = 3;           // shortest pattern kept, in symbols
    int max_len = 0;           // longest pattern grown, in symbols; 0: no limit
    double max_overlap = 0.9;  // LCS share of its length above which a pattern is redundant
  };

  // A miner with `options`, which it keeps unchanged.
  explicit PatternMiner(const Options& options);

  // Mines `ds` from a clean state, leaving the frequent map; throws std::invalid_argument when growth could not stop.
  void mine(const SymbolicDataset& ds, const CancelCheck& cancelled = {}, const ProgressReport& report = {});

  // Returns a copy of the frequent map.
  FrequentMap get_frequent() const { return frequent; }

  // Returns a copy of the options.
  Options get_options() const { return options; }

  // Replaces the frequent map, as when a saved miner is restored.
  void set_frequent(FrequentMap restored) { frequent = std::move(restored); }

  // Hands over the frequent map, leaving this miner's empty.
  FrequentMap take_frequent() {
    FrequentMap taken;
    taken.swap(frequent);
    return taken;
  }

 private:
  // One candidate of the level being grown: a pattern of the level below extended by one symbol.
  struct Candidate {
    std::size_t prefix;  // position of the prefix in the level below
    char last;           // the symbol appended to it
  };

  // The occurrences of one pattern in one series: `size` entries of its level, right after those of the
  // pattern's run before it (or from the pattern's first entry). A series holds fewer than 2^31 symbols.
  struct Run {
    std::uint32_t size;
    std::int32_t series;
  };

  // The patterns of one length, in ascending order, with their occurrences, held in a few big
  // buffers so that a level is built and dropped in a handful of allocations; records are made
  // only for the patterns that survive pruning.
  //
  // Only a pattern of one repeated symbol can occur at two neighbouring positions, and in a stretch of m of
  // that symbol the pattern of k of them occurs at all m - k + 1 positions. So that such stretches (a whole
  // series, when a NaN or a constant series reads as all `a`) cost their length and not its square over the
  // levels, the positions of such a pattern are written as ranges: a position p followed by an entry -q
  // (q > p) stands for all of p, p + 1, ..., q. Growth keeps the ranges whole, each one level shorter, and
  // they are spelled out only in the records of the patterns that survive pruning. Every other pattern's
  // positions are plain, and growth reads them on its fast path. For the same reason such a pattern longer than
  // `held_length` does not hold its symbols: it reads them from the series, at one of its occurrences, so levels
  // are dropped before mine returns. The redundancy pass takes the common subsequence with such a pattern from
  // the symbol counts, which is exact for it, rather than from the bit table, whose cost is the lengths' product.
  struct Level {
    static constexpr std::size_t held_length = 64;

    std::size_t length = 0;
    std::vector<char> symbols;  // the patterns' symbols, `length` each, in level order, but for those `elsewhere`
    std::vector<std::pair<std::size_t, const char*>> elsewhere;  // the patterns read from a series, ascending
    Buffer<std::int32_t> positions;         // the occurrence entries, pattern by pattern, perhaps with gaps
    Buffer<Run> runs;                       // per pattern, its runs in recording order
    Buffer<std::uint32_t> order;            // per pattern, its runs' ranks in occurrence index order, until settled
    std::vector<std::size_t> first_run{0};  // pattern k has runs [first_run[k], first_run[k + 1])
    std::vector<std::size_t> first_entry;   // and its entries start at positions[first_entry[k]]
    std::vector<char> removed;              // set by pruning
    std::vector<char> ranged;               // per pattern, 1 for one repeated symbol, whose entries may hold ranges

    std::size_t size() const { return removed.size(); }
    // The number of entries of pattern k, its runs' sizes added up.
    std::size_t entries(std::size_t k) const;
    const char* pattern(std::size_t k) const { return elsewhere.empty() ? symbols.data() + k * length : located(k); }
    // The symbols of pattern k when some of the level's patterns are read from a series.
    const char* located(std::size_t k) const;
  };

  // Finds the one-letter patterns of `ds` and puts the frequent ones, in ascending order, in levels[1].
  void mine_1_patterns(const SymbolicDataset& ds);
  // Returns the candidates of length current_length, joined from the level below, in ascending order.
  std::vector<Candidate> get_candidates() const;
  // Occurrences of the extensions of one prefix, found in one pass over the prefix's occurrences.
  // The occurrences of one candidate: its positions in scan order, and its runs of one series each (series,
  // end among the positions).
  struct Occurrences {
    const std::int32_t* positions;
    std::size_t size;
    const std::pair<std::int32_t, std::size_t>* runs;
    std::size_t run_count;
  };
  // The last walk order replayed: the series, in insertion order, and the ranks in the order they walk.
  struct WalkCache {
    std::vector<std::int32_t> series;
    std::vector<std::uint32_t> order;
  };
  struct Extensions {
    std::vector<std::uint16_t> slot;  // symbol to bucket; `none` for a symbol no candidate ends in
    // Per bucket: the positions found, in scan order, in the first `filled` elements of a buffer that only
    // grows, and the runs of one series each (series, end), in the first `run_counts` elements of another.
    std::vector<Buffer<std::int32_t>> positions;
    std::vector<std::size_t> filled;
    std::vector<std::vector<std::pair<std::int32_t, std::size_t>>> runs;
    std::vector<std::size_t> run_counts;
    std::vector<std::size_t> run_begins;  // where each run of the prefix at hand starts, in recording order
    WalkCache walk;

    static constexpr std::uint16_t none = 256;

    Occurrences bucket(std::size_t c) const { return {positions[c].data(), filled[c], runs[c].data(), run_counts[c]}; }
  };
  // Where a level, or one part of a level, writes its occurrence positions: `used` of them so far, from `data` on.
  struct PositionSink {
    std::int32_t* data;
    std::size_t used = 0;
  };
  // Finds in `out`, bucket c for candidate first[c], the occurrences of every candidate of [first, last), all
  // extensions of pattern `prefix` of `below`, in one pass over the prefix's occurrences in the order its
  // occurrence index walks its series; returns the number of entries scanned. A range of a prefix of one repeated
  // symbol gives, but for its last position, one range to the extension by that symbol, with no symbol read; no
  // bucket takes more entries than the prefix has.
  std::size_t find_candidates(const Level& below, std::size_t prefix, const Candidate* first, const Candidate* last,
                              const SymbolicDataset& ds, Extensions& out) const;
  // Appends the pattern `prefix` (level.length - 1 symbols) plus `last`, with its occurrences `found` in the
  // series runs `runs` (series, end in `found`), to `level` when its support reaches the threshold, its positions
  // going to `sink` and its runs counting them from the sink's start, and `ranged` telling whether it is one
  // repeated symbol: an infrequent pattern never enters a level, so it never needs erasing.
  void prune_infrequent(Level& level, PositionSink& sink, const char* prefix, char last, bool ranged,
                        const Occurrences& found, const SymbolicDataset& ds, WalkCache& walk) const;
  // Marks the patterns shorter than min_len removed and returns the others, as (length, place in its level),
  // longest first and in level order within a length: the pruning list.
  std::vector<std::pair<std::size_t, std::size_t>> remove_short();
  // Runs remove_short, then marks removed every pattern whose LCS with an earlier pattern of the pruning list,
  // at least as long and not removed itself, exceeds max_overlap times its length.
  void remove_redundant(const CancelCheck& cancelled, const ProgressReport& report);
  // Returns the level of length current_length, grown from `below`, the level under it, with `scratch` as
  // working space for each part it is grown in.
  Level grow_level(const Level& below, const SymbolicDataset& ds, std::vector<Extensions>& scratch,
                   const CancelCheck& cancelled) const;
  // Returns the level made of `pieces`, levels of one length grown from consecutive parts of the prefixes, in order,
  // whose positions piece p wrote to `positions` from regions[p] on.
  static Level join_levels(const std::vector<Level>& pieces, Buffer<std::int32_t> positions,
                           const std::vector<std::size_t>& regions);
  // Lets go of what `level` holds only to grow the level above it, once that is grown: its runs' orders, which the
  // records of its survivors replay, and, below min_len, where no pattern survives pruning, its occurrences.
  void settle(Level& level) const;
  // Grows the levels above levels[1] until one comes out empty or the next would pass max_len.
  void grow(const SymbolicDataset& ds, const CancelCheck& cancelled, const ProgressReport& report);
  // Fills the frequent map with the patterns of every level not marked removed, their ranges spelled out, and
  // frees the occurrences.
  void build_frequent();

  Options options;
  FrequentMap frequent;
  double support_threshold = 0.0;
  int current_length = 2;
  std::vector<Level> levels{2};
};

}  // namespace kez
