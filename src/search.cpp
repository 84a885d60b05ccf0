#include "search.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "pool.h"
#include "wide.h"

namespace kez {

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();
// Twice the unit roundoff: every bound below is grown by at least this factor of two.
constexpr double eps = std::numeric_limits<double>::epsilon();
// A deviation at most this share of the largest magnitude is that of a constant window.
constexpr double flat_share = 1e-10;
// Windows whose dot products are summed side by side.
constexpr std::size_t lanes = 32;

// The direct statistics of m samples, as znorm_series finds them.
struct Stats {
  double mean = 0.0;
  double deviation = 0.0;
  bool constant = false;
  bool finite = false;
};

Stats direct_stats(const double* x, std::size_t m) {
  double sum = 0.0;
  for (std::size_t i = 0; i < m; ++i) sum += x[i];
  Stats s;
  s.mean = sum / static_cast<double>(m);
  double squares = 0.0;
  double largest = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    const double d = x[i] - s.mean;
    squares += d * d;
    largest = std::max(largest, std::abs(x[i]));
  }
  s.deviation = std::sqrt(squares / static_cast<double>(m));
  s.finite = std::isfinite(s.mean) && std::isfinite(s.deviation);
  s.constant = s.deviation <= flat_share * largest;
  return s;
}

// A query made ready: its z-normalised samples (zeros when constant) and the sums the estimates need.
struct Query {
  std::vector<double> z;
  bool constant = false;
  bool finite = false;
  double squares = 0.0;               // sum of z^2, first to last
  double sum = 0.0;                   // sum of z
  double magnitude = 0.0;             // sum of |z|
  std::size_t seglen = 0;             // samples per segment of the segment bound; 0: the bound is not used
  std::vector<double> segment_means;  // the mean of z over each whole segment, first to last
  std::vector<std::size_t> telling;   // the segments in the order the bound takes them: farthest mean first
  std::size_t piece = 0;              // samples per segment of the rough look for a near window
  std::vector<double> piece_means;    // the mean of z over each of its segments
};

// Shapes at least this long are also bounded by their segment means, over at most `segments` segments.
constexpr std::size_t segmented_from = 16;
constexpr std::size_t segments = 24;
// A block whose segment bounds leave at most one window in this many open computes those directly: a direct
// computation, its two passes summed in order, costs some hundreds of vectorised dot products.
constexpr std::size_t few_open = 256;
// A series whose seed is not nearer than this times m is first looked over roughly for a near window, by the
// means of this many segments.
constexpr double guess_above = 0.25;
constexpr std::size_t rough_segments = 16;
// The rough look compares windows that start at least this many samples apart: one sample apart, on a short
// shape, it costs as much as the search it speeds.
constexpr std::size_t rough_apart = 8;

Query make_query(const double* samples, std::size_t m) {
  Query q;
  const Stats s = direct_stats(samples, m);
  q.finite = s.finite;
  q.constant = s.constant;
  q.z.assign(m, 0.0);
  if (!s.finite || s.constant) return q;
  for (std::size_t i = 0; i < m; ++i) {
    q.z[i] = (samples[i] - s.mean) / s.deviation;
    q.squares += q.z[i] * q.z[i];
    q.sum += q.z[i];
    q.magnitude += std::abs(q.z[i]);
  }
  if (m >= segmented_from) {
    q.seglen = (m + segments - 1) / segments;
    for (std::size_t j = 0; (j + 1) * q.seglen <= m; ++j) {
      double sum = 0.0;
      for (std::size_t i = j * q.seglen; i < (j + 1) * q.seglen; ++i) sum += q.z[i];
      q.segment_means.push_back(sum / static_cast<double>(q.seglen));
    }
    // A window's segment mean is near 0 more often than far from it, so the query's farthest segments rule
    // out the most windows for their cost.
    q.piece = m / rough_segments;
    for (std::size_t j = 0; j < rough_segments; ++j) {
      double sum = 0.0;
      for (std::size_t i = j * q.piece; i < (j + 1) * q.piece; ++i) sum += q.z[i];
      q.piece_means.push_back(sum / static_cast<double>(q.piece));
    }
    q.telling.resize(q.segment_means.size());
    for (std::size_t j = 0; j < q.telling.size(); ++j) q.telling[j] = j;
    std::stable_sort(q.telling.begin(), q.telling.end(), [&q](std::size_t a, std::size_t b) {
      return std::abs(q.segment_means[a]) > std::abs(q.segment_means[b]);
    });
  }
  return q;
}

std::string query_name(std::size_t index) { return "query " + std::to_string(index); }

Query prepare(const Series& samples, std::size_t index) {
  if (samples.size() < 2) {
    throw std::invalid_argument(query_name(index) + " has " + std::to_string(samples.size()) +
                                " samples: a shape needs at least 2");
  }
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (!std::isfinite(samples[i])) {
      throw std::invalid_argument(query_name(index) + " holds " + std::to_string(samples[i]) + " at sample " +
                                  std::to_string(i) + ": a shape must be finite");
    }
  }
  Query q = make_query(samples.data(), samples.size());
  if (!q.finite) throw std::invalid_argument(query_name(index) + " is too large to normalise: its sums overflow");
  return q;
}

// The squared distance of the window at `w` to `q`, computed directly; once the partial sum reaches `bound`,
// a value at least `bound` comes back early. NaN for a window whose sums overflow.
double direct_squared(const Query& q, const double* w, double bound) {
  const std::size_t m = q.z.size();
  const Stats s = direct_stats(w, m);
  if (!s.finite) return std::numeric_limits<double>::quiet_NaN();
  if (s.constant || q.constant) return s.constant && q.constant ? 0.0 : static_cast<double>(m);
  double sum = 0.0;
  for (std::size_t i = 0; i < m && sum < bound; ++i) {
    const double d = q.z[i] - (w[i] - s.mean) / s.deviation;
    sum += d * d;
  }
  return sum;
}

struct Best {
  std::int64_t offset = -1;
  double squared = infinity;
};

// Computes window `at` of `x` directly and keeps it if it is strictly nearer than the best: windows come in
// increasing offset, so a tie stays with the lower one.
void consider(const Query& q, const double* x, std::size_t at, Best& best) {
  const double squared = direct_squared(q, x + at, best.squared);
  if (squared < best.squared) best = {static_cast<std::int64_t>(at), squared};
}

// Stores in dots[k], for each of `count` windows, the sum first to last of z[i] * y[k + i] over the m samples
// of z; y must be readable up to count + m + lanes. Each window keeps its own order of additions, so a wider
// clone gives the same bits.
KEZ_WIDE_CLONES void window_dots(const double* z, std::size_t m, const double* y, std::size_t count, double* dots) {
  for (std::size_t k = 0; k < count; k += lanes) {
    std::array<double, lanes> sum{};
    const double* w = y + k;
    for (std::size_t i = 0; i < m; ++i) {
      const double zi = z[i];
      for (std::size_t l = 0; l < lanes; ++l) sum[l] += zi * w[i + l];
    }
    std::copy(sum.begin(), sum.begin() + static_cast<std::ptrdiff_t>(std::min(lanes, count - k)), dots + k);
  }
}

// Working space of one thread, reused from block to block.
struct Scratch {
  std::vector<double> shifted;
  std::vector<double> dots;
  std::vector<double> means;
  std::vector<double> variances;
  std::vector<double> lower;
  std::vector<double> segment_sums;
  std::vector<double> inverses;
  std::vector<double> segment_lower;
  std::vector<double> raws;
  std::vector<std::size_t> open;
  std::vector<double> piece_means;
  std::vector<double> piece_squares;
  std::vector<double> running;
  std::vector<double> running_squares;
  std::vector<double> totals;
  std::vector<double> squareds;
  std::vector<double> products;
  std::vector<double> squares;
};

// What the lower bounds of a block's windows share.
struct BlockTerms {
  double m;               // window length
  double squares;         // the query's sum of z^2
  double sum;             // the query's sum of z
  double magnitude;       // the query's sum of |z|
  double reach;           // the largest shifted sample's magnitude
  double largest;         // the largest sample's magnitude, at most
  double variance_error;  // the most the sliding sums' variances are off by
};

// Whether the double `value`, never negative, is at most the positive finite `limit` (below it, when
// `strictly`), told from their bits less the sign, which order as the magnitudes do: a floating-point
// comparison may trap, and so would keep the loop from vector registers. NaN, of either sign, fails.
inline bool at_most(double value, double limit, bool strictly) {
  std::int64_t v = 0;
  std::int64_t l = 0;
  std::memcpy(&v, &value, sizeof v);
  std::memcpy(&l, &limit, sizeof l);
  v &= std::numeric_limits<std::int64_t>::max();
  return strictly ? v < l : v <= l;
}

// Stores in lower[k], for each of `count` windows, a value the window's direct squared distance is surely not
// below; -inf or NaN for a window too flat for the sums to tell. No branch: windows go side by side on vector
// registers.
KEZ_WIDE_CLONES void lower_bounds(const BlockTerms t, const double* __restrict dots, const double* __restrict means,
                                  const double* __restrict variances, std::size_t count, double* __restrict lower) {
  const double rounding = 8.0 * (t.m + 2.0) * eps;
  const double dot_error = 2.0 * (t.m + 2.0) * eps * (std::sqrt(t.squares * t.m) + t.magnitude) * t.reach;
  const double level_error = (t.m + 2.0) * eps * t.largest;
  const double flat = flat_share * t.largest * (1.0 + 1e-6) / (0.866 * (1.0 - 1e-6));
  for (std::size_t k = 0; k < count; ++k) {
    const double variance = variances[k];
    const double deviation = std::sqrt(variance);
    const double inverse = 1.0 / deviation;
    const double share = t.variance_error * inverse * inverse;
    // Surely neither constant nor too flat: with share <= 1/4 the true deviation is at least sqrt(3/4) of this
    // one. NaN fails the test.
    const bool varied = at_most(share, 0.25, false) & !at_most(deviation, flat, false);
    const double twice_dot = 2.0 * (dots[k] - means[k] * t.sum) * inverse;
    const double estimate = t.squares + t.m - twice_dot;
    // The error of the dot product and of the mean's share in it, of the deviation, of the direct
    // computation's mean (off by rounding of the window's level, not of its shape) and of the final steps.
    const double level = level_error * inverse;
    const double bound = 2.0 * (dot_error * inverse + 2.0 * share * std::abs(twice_dot) +
                                2.0 * level * (std::abs(t.sum) + t.magnitude * eps) + t.m * level * level +
                                rounding * (t.squares + t.m + std::abs(twice_dot)));
    lower[k] = estimate - bound + (varied ? 0.0 : -infinity);
  }
}

// Stores in out[k], for each of `count` windows of `length` samples of y, the sum first to last of their
// samples (of their squares when `squared`); y must be readable up to count + length. The windows are taken in
// four runs side by side, each started afresh with a sum of its first window and slid one step at a time (add
// the difference of the sample coming in and the one going out, each step rounded no more than adding one and
// subtracting the other would be), so that the additions of the runs overlap: each sum has at most the
// rounding of one run of count slides.
template <bool squared>
void sliding_sums(const double* y, std::size_t length, std::size_t count, double* out) {
  constexpr std::size_t runs = 4;
  const auto value = [y](std::size_t i) { return squared ? y[i] * y[i] : y[i]; };
  const std::size_t each = (count + runs - 1) / runs;
  // The last run is the shortest; an empty one sums the first window again, and keeps nothing.
  const std::size_t shortest = count - std::min(count, (runs - 1) * each);
  std::array<std::size_t, runs> first{};
  std::array<double, runs> sum{};
  for (std::size_t r = 0; r < runs; ++r) first[r] = r * each < count ? r * each : 0;
  for (std::size_t i = 0; i < length; ++i) {
    for (std::size_t r = 0; r < runs; ++r) sum[r] += value(first[r] + i);
  }
  for (std::size_t i = 0; i < shortest; ++i) {
    for (std::size_t r = 0; r < runs; ++r) {
      const std::size_t k = first[r] + i;
      out[k] = sum[r];
      sum[r] = sum[r] + (value(k + length) - value(k));
    }
  }
  for (std::size_t r = 0; r + 1 < runs; ++r) {
    for (std::size_t k = first[r] + shortest; k < std::min(first[r] + each, count); ++k) {
      out[k] = sum[r];
      sum[r] = sum[r] + (value(k + length) - value(k));
    }
  }
}

// The end of the run of finite samples of `x` (of `n`) that starts at `begin`.
std::size_t finite_end(const double* x, std::size_t begin, std::size_t n) {
  constexpr std::uint64_t exponent = 0x7ff0000000000000;
  constexpr std::uint64_t step = 0x0010000000000000;
  constexpr std::uint64_t sign = 0x8000000000000000;
  // The sign bit of the exponent bits plus one step: set only when they are all ones (NaN or +-inf). Integer
  // steps alone, so that a chunk of samples goes side by side on vector registers.
  const auto infinite = [x](std::size_t i) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, x + i, sizeof bits);
    return ((bits & exponent) + step) & sign;
  };
  constexpr std::size_t chunk = 64;
  std::size_t end = begin;
  for (; end + chunk <= n; end += chunk) {
    std::uint64_t any = 0;
    for (std::size_t i = end; i < end + chunk; ++i) any |= infinite(i);
    if (any != 0) break;
  }
  while (end < n && infinite(end) == 0) ++end;
  return end;
}

// How many of a window's segments the segment bound takes for every window; only the windows these leave open
// take the others.
constexpr std::size_t first_segments = 4;

// What the segment bounds of a block's windows share. They allow for the error of each z-normalised segment
// mean (of the sliding segment sums and window means: the rounding of the first sum and of each slide, of the
// shift, of the direct computation's mean, and of the deviation, which scales a segment mean of at most
// sqrt(m / L)) and of the direct computation's own steps, over all the whole segments: so they hold as well
// for a bound over only some of them.
struct SegmentTerms {
  double length;          // L, samples per segment
  double per_sample;      // 1 / L
  double variance_error;  // the most the sliding sums' variances are off by
  double flat;            // a deviation at most this may be a constant window's
  double level;           // the error of a segment's mean less the window's, before scaling
  double scale_fixed;     // the relative error of the scaling, less the deviation's and the level's shares
  double scale_inverse;   // the level's share in the relative error of the scaling, per inverse deviation
  double reach;           // the largest z-normalised segment mean, sqrt(m / L)
  double each_fixed;      // the rounding of the direct computation's z, per segment mean
  double spread;          // the square root of the samples in whole segments
  double off_fixed;       // the rounding of the direct computation's differences and squares
  double off_inverse;     // the same, per inverse deviation
  double shrink;          // the rounding of the sum of the squared differences and of the root
  double shrink_squared;  // its square, less a rounding
  double tail;            // the rounding of the square and of the direct computation's sum
};

SegmentTerms segment_terms(const Query& q, const BlockTerms& t, std::size_t count) {
  const double dl = static_cast<double>(q.seglen);
  const double whole = static_cast<double>(q.segment_means.size());
  const double m = t.m;
  const double steps = static_cast<double>(count) + (whole - 1.0) * dl;
  SegmentTerms s{};
  s.length = dl;
  s.per_sample = 1.0 / dl;
  s.variance_error = t.variance_error;
  s.flat = flat_share * t.largest * (1.0 + 1e-6) / (0.866 * (1.0 - 1e-6));
  s.level = (dl * dl + 2.0 * steps * (dl + 2.0)) * eps * t.reach / dl +
            (m + 4.0 * static_cast<double>(count) + 4.0) * eps * t.reach + (m + 6.0) * eps * t.largest;
  s.scale_fixed = 8.0 * (m + 4.0) * eps;
  s.scale_inverse = 2.0 * t.largest * (m + 2.0) * eps;
  s.reach = std::sqrt(m / dl);
  s.each_fixed = (dl + 2.0) * eps * std::sqrt(m);
  s.spread = std::sqrt(dl * whole);
  s.off_fixed = 4.0 * eps * 4.0 * m;
  s.off_inverse = 4.0 * eps * std::sqrt(m) * t.largest;
  s.shrink = 1.0 - 4.0 * (whole + 4.0) * eps;
  s.shrink_squared = s.shrink * s.shrink * (1.0 - 4.0 * eps);
  s.tail = 1.0 - 8.0 * (m + 4.0) * eps;
  return s;
}

// A value the direct squared distance of a window is surely not below, from `raw`, the sum of the squared
// differences of the z-normalised segment means over some of its whole segments, and `inverse`, one over its
// deviation; -inf or NaN for a window too flat for the sums to tell. Over a segment of L samples the squared distance
// is at least L times the squared difference of the two segment means. No branch: windows go side by side on
// vector registers.
inline double segment_lower(const SegmentTerms& t, double raw, double inverse) {
  const double share = t.variance_error * inverse * inverse;
  const double scale = 2.0 * share + t.scale_fixed + t.scale_inverse * inverse;
  const double each = 2.0 * (t.level * inverse * (1.0 + share) + scale * t.reach + t.each_fixed);
  const double off = t.spread * each + t.off_fixed + t.off_inverse * inverse;
  const double root = std::sqrt(t.length * raw) * t.shrink - off;
  // The root if positive, else 0, exactly.
  const double kept = 0.5 * (root + std::abs(root));
  // Surely neither constant nor too flat: with share <= 1/4 the true deviation is at least sqrt(3/4) of this
  // one.
  const bool varied = at_most(share, 0.25, false) & at_most(inverse * t.flat, 1.0, true);
  // Added, not chosen, so that the steps before are not left to the varied windows alone, which would take
  // the loop off vector registers. A window too flat for the sums to tell gets -inf or NaN: it stays open.
  return kept * kept * t.tail + (varied ? 0.0 : -infinity);
}

// Whether the segment bound of a window from `raw` and `inverse` (as segment_lower takes them) surely reaches
// `needed`, at least the square root of the best over the tail factor: then the best itself bounds the window.
// Told without a square root, by comparing squares, each side given a few roundings to spare: the result is at
// least 0 when it does; below 0 or NaN when it may not.
inline double segment_margin(const SegmentTerms& t, double raw, double inverse, double needed) {
  const double share = t.variance_error * inverse * inverse;
  const double scale = 2.0 * share + t.scale_fixed + t.scale_inverse * inverse;
  const double each = 2.0 * (t.level * inverse * (1.0 + share) + scale * t.reach + t.each_fixed);
  const double off = t.spread * each + t.off_fixed + t.off_inverse * inverse;
  const double reached = t.length * raw * t.shrink_squared;
  const double wanted = (off + needed) * (off + needed);
  const bool varied = at_most(share, 0.25, false) & at_most(inverse * t.flat, 1.0, true);
  return reached * (1.0 - 4.0 * eps) - wanted * (1.0 + 4.0 * eps) + (varied ? 0.0 : -infinity);
}

// For each of `count` windows: its inverse deviation, the raw sum over the first_segments segments whose
// sliding sums start at `sums` (window k's at sums[j][k]) and whose query means are `targets`, and the margin
// by which this bound reaches `needed`. A handful of steps per window, on vector registers.
KEZ_WIDE_CLONES void first_bounds(const SegmentTerms t, double needed,
                                  const std::array<const double*, first_segments>& sums,
                                  const std::array<double, first_segments>& targets, const double* __restrict means,
                                  const double* __restrict variances, std::size_t count, double* __restrict inverses,
                                  double* __restrict raws, double* __restrict margins) {
  static_assert(first_segments == 4, "the loop below takes four segments");
  const double* __restrict s0 = sums[0];
  const double* __restrict s1 = sums[1];
  const double* __restrict s2 = sums[2];
  const double* __restrict s3 = sums[3];
  const double t0 = targets[0];
  const double t1 = targets[1];
  const double t2 = targets[2];
  const double t3 = targets[3];
  const double per_sample = t.per_sample;
  for (std::size_t k = 0; k < count; ++k) {
    const double inverse = 1.0 / std::sqrt(variances[k]);
    const double mean = means[k];
    const double d0 = t0 - (s0[k] * per_sample - mean) * inverse;
    const double d1 = t1 - (s1[k] * per_sample - mean) * inverse;
    const double d2 = t2 - (s2[k] * per_sample - mean) * inverse;
    const double d3 = t3 - (s3[k] * per_sample - mean) * inverse;
    const double raw = d0 * d0 + d1 * d1 + d2 * d2 + d3 * d3;
    inverses[k] = inverse;
    raws[k] = raw;
    margins[k] = segment_margin(t, raw, inverse, needed);
  }
}

// Adds to raws[k], for each of `count` windows, the squared difference of the segment means over the segment
// whose sliding sums start at `sums`, of query mean `target`.
KEZ_WIDE_CLONES void add_segment(const double* __restrict sums, double target, double per_sample,
                                 const double* __restrict means, const double* __restrict inverses, std::size_t count,
                                 double* __restrict raws) {
  for (std::size_t k = 0; k < count; ++k) {
    const double d = target - (sums[k] * per_sample - means[k]) * inverses[k];
    raws[k] += d * d;
  }
}

// The same for the first_segments segments whose sliding sums start at `sums`, of query means `targets`.
KEZ_WIDE_CLONES void add_segments(const std::array<const double*, first_segments>& sums,
                                  const std::array<double, first_segments>& targets, double per_sample,
                                  const double* __restrict means, const double* __restrict inverses, std::size_t count,
                                  double* __restrict raws) {
  const double* __restrict s0 = sums[0];
  const double* __restrict s1 = sums[1];
  const double* __restrict s2 = sums[2];
  const double* __restrict s3 = sums[3];
  const double t0 = targets[0];
  const double t1 = targets[1];
  const double t2 = targets[2];
  const double t3 = targets[3];
  for (std::size_t k = 0; k < count; ++k) {
    const double mean = means[k];
    const double inverse = inverses[k];
    const double d0 = t0 - (s0[k] * per_sample - mean) * inverse;
    const double d1 = t1 - (s1[k] * per_sample - mean) * inverse;
    const double d2 = t2 - (s2[k] * per_sample - mean) * inverse;
    const double d3 = t3 - (s3[k] * per_sample - mean) * inverse;
    raws[k] = raws[k] + d0 * d0 + d1 * d1 + d2 * d2 + d3 * d3;
  }
}

// Turns each of `count` margins (of segment_margin) into a bound: the best where it is reached, -inf where it
// may not be; returns how many may not. On vector registers, so that a block with none open costs little.
KEZ_WIDE_CLONES std::size_t settle(double best, std::size_t count, double* __restrict lower) {
  std::size_t open = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const bool reached = lower[k] >= 0.0;
    lower[k] = reached ? best : -infinity;
    open += reached ? 0 : 1;
  }
  return open;
}

// Raises lower[k], for each of `count` windows, to the bound its raw sum and inverse deviation give.
KEZ_WIDE_CLONES void finish_bounds(const SegmentTerms t, const double* __restrict raws,
                                   const double* __restrict inverses, std::size_t count, double* __restrict lower) {
  for (std::size_t k = 0; k < count; ++k) lower[k] = std::max(lower[k], segment_lower(t, raws[k], inverses[k]));
}

// Stores in s.segment_lower[k], for each of `count` windows of the shifted samples `y` (means and variances
// given), a value the window's direct squared distance is surely not below, from the means of its whole
// segments alone; -inf for a window too flat for the sums to tell. The segments farthest from the query's mean
// come first, for every window; the others only for the windows these leave below `best`. The block's
// segment sums (of segment_sums) are in s.segment_sums.
void segment_bounds(const Query& q, const BlockTerms& bt, std::size_t count, double best, Scratch& s) {
  const std::size_t seglen = q.seglen;
  const std::size_t whole = q.segment_means.size();
  const SegmentTerms t = segment_terms(q, bt, count);
  std::array<const double*, first_segments> starts{};
  std::array<double, first_segments> targets{};
  for (std::size_t j = 0; j < first_segments; ++j) {
    starts[j] = s.segment_sums.data() + q.telling[j] * seglen;
    targets[j] = q.segment_means[q.telling[j]];
  }
  s.inverses.resize(count);
  s.raws.resize(count);
  s.segment_lower.resize(count);
  double* lower = s.segment_lower.data();
  const double needed = std::sqrt(best / t.tail) * (1.0 + 4.0 * eps);
  first_bounds(t, needed, starts, targets, s.means.data(), s.variances.data(), count, s.inverses.data(), s.raws.data(),
               lower);
  s.open.clear();
  if (settle(best, count, lower) == 0) return;
  for (std::size_t k = 0; k < count; ++k) {
    if (lower[k] == -infinity) s.open.push_back(k);
  }
  const double* means = s.means.data();
  const double* inverses = s.inverses.data();
  double* raws = s.raws.data();
  // Many open: the rest of the segments for all, on vector registers; few: for those alone.
  if (s.open.size() * 8 > count) {
    std::size_t j = first_segments;
    for (; j + first_segments <= whole; j += first_segments) {
      for (std::size_t i = 0; i < first_segments; ++i) {
        starts[i] = s.segment_sums.data() + q.telling[j + i] * seglen;
        targets[i] = q.segment_means[q.telling[j + i]];
      }
      add_segments(starts, targets, t.per_sample, means, inverses, count, raws);
    }
    for (; j < whole; ++j) {
      add_segment(s.segment_sums.data() + q.telling[j] * seglen, q.segment_means[q.telling[j]], t.per_sample, means,
                  inverses, count, raws);
    }
    finish_bounds(t, raws, inverses, count, lower);
    return;
  }
  for (const std::size_t k : s.open) {
    double raw = raws[k];
    for (std::size_t j = first_segments; j < whole; ++j) {
      const std::size_t at = q.telling[j];
      const double d = q.segment_means[at] - (s.segment_sums[at * seglen + k] * t.per_sample - means[k]) * inverses[k];
      raw += d * d;
    }
    lower[k] = segment_lower(t, raw, inverses[k]);
  }
}

// The smallest and largest of the `n` finite samples at `p`.
std::pair<double, double> range_of(const double* p, std::size_t n) {
  std::array<double, 4> lo{p[0], p[0], p[0], p[0]};
  std::array<double, 4> hi = lo;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t l = 0; l < 4; ++l) {
      lo[l] = std::min(lo[l], p[i + l]);
      hi[l] = std::max(hi[l], p[i + l]);
    }
  }
  for (; i < n; ++i) {
    lo[0] = std::min(lo[0], p[i]);
    hi[0] = std::max(hi[0], p[i]);
  }
  return {std::min(std::min(lo[0], lo[1]), std::min(lo[2], lo[3])),
          std::max(std::max(hi[0], hi[1]), std::max(hi[2], hi[3]))};
}

// A block of windows of one length made ready for every query of that length: the samples less a shift, and
// the sliding means and variances of the windows, in the scratch space; the segment sums once a query needs them.
struct Block {
  std::size_t first = 0;      // the offset of its first window
  std::size_t count = 0;      // its windows
  double shift = 0.0;         // subtracted from every sample
  double reach = 0.0;         // the largest shifted sample's magnitude
  std::size_t segmented = 0;  // the segment length its segment sums are of (0: none yet)
};

// The `count` windows of m samples of `x` from offset `first`, all of finite samples, made ready in `s`.
Block prepare_block(const double* x, std::size_t first, std::size_t count, std::size_t m, Scratch& s) {
  const double dm = static_cast<double>(m);
  const double* p = x + first;
  const std::size_t samples = count + m - 1;
  const auto [lo, hi] = range_of(p, samples);
  const double shift = lo + (hi - lo) / 2;
  s.shifted.resize(samples + lanes);
  for (std::size_t i = 0; i < samples; ++i) s.shifted[i] = p[i] - shift;
  // Rounding is monotonic: no shifted sample lies beyond the shifted extremes.
  const double reach = std::max(std::abs(lo - shift), std::abs(hi - shift));
  std::fill(s.shifted.begin() + static_cast<std::ptrdiff_t>(samples), s.shifted.end(), 0.0);
  const double* y = s.shifted.data();
  s.means.resize(count);
  s.variances.resize(count);
  sliding_sums<false>(y, m, count, s.means.data());
  sliding_sums<true>(y, m, count, s.variances.data());
  // Times a rounded 1 / m rather than over m: a division costs several multiplications, and the error bound
  // has many roundings of reach (reach^2) to spare for the one more.
  const double per_window = 1.0 / dm;
  for (std::size_t k = 0; k < count; ++k) {
    const double mean = s.means[k] * per_window;
    s.means[k] = mean;
    s.variances[k] = s.variances[k] * per_window - mean * mean;
  }
  return {first, count, shift, reach, 0};
}

// Fills s.segment_sums for `q`'s segments over the block, unless they are there: sliding sums of seglen
// samples, the i-th the sum of the shifted samples i to i + seglen - 1.
void segment_sums(const Query& q, Block& b, Scratch& s) {
  if (b.segmented == q.seglen) return;
  const std::size_t sums = b.count + (q.segment_means.size() - 1) * q.seglen;
  s.segment_sums.resize(sums);
  sliding_sums<false>(s.shifted.data(), q.seglen, sums, s.segment_sums.data());
  b.segmented = q.seglen;
}

// The block's windows for `q`: bounded together, and computed directly where the bound cannot rule them out.
void search_block(const Query& q, Block& b, const double* x, Scratch& s, Best& best) {
  const std::size_t m = q.z.size();
  const double dm = static_cast<double>(m);
  const std::size_t first = b.first;
  const std::size_t count = b.count;
  const double reach = b.reach;
  const double* y = s.shifted.data();
  // The sliding sums' error: the rounding of the first window's m terms and of each slide's four steps, on
  // values at most reach (or reach^2), through the mean, its square and the difference.
  const BlockTerms terms{dm,
                         q.squares,
                         q.sum,
                         q.magnitude,
                         reach,
                         std::abs(b.shift) + reach,
                         2.0 * (3.0 * dm + 10.0 * static_cast<double>(count) + 8.0) * eps * reach * reach};
  // Once any window's distance is known, the segment means rule most windows out before any dot product: a
  // group of windows none of which the segments leave open needs no dots, and when few are left open at all
  // they are computed directly.
  const bool segmented = q.seglen > 0 && !q.constant && best.squared < infinity;
  s.lower.resize(count);
  if (!segmented) {
    s.dots.assign(count, 0.0);
    if (!q.constant) window_dots(q.z.data(), m, y, count, s.dots.data());
    lower_bounds(terms, s.dots.data(), s.means.data(), s.variances.data(), count, s.lower.data());
    // Any varied window is exactly sqrt(m) from a constant query.
    if (q.constant) {
      for (double& v : s.lower) v = v > -infinity ? dm : v;
    }
  } else {
    segment_sums(q, b, s);
    segment_bounds(q, terms, count, best.squared, s);
    const double* segment_lower = s.segment_lower.data();
    std::size_t open = 0;
    for (const std::size_t k : s.open) open += segment_lower[k] >= best.squared ? 0 : 1;
    if (open * few_open <= count) {
      for (const std::size_t k : s.open) {
        if (!(segment_lower[k] >= best.squared)) consider(q, x, first + k, best);
      }
      return;
    }
    std::copy(segment_lower, segment_lower + count, s.lower.begin());
    s.dots.resize(lanes);
    std::array<double, lanes> group_lower{};
    std::size_t done = 0;  // groups below this start are bounded
    for (const std::size_t k : s.open) {
      const std::size_t start = k - k % lanes;
      if (start < done || segment_lower[k] >= best.squared) continue;
      done = start + lanes;
      const std::size_t n = std::min(lanes, count - start);
      window_dots(q.z.data(), m, y + start, n, s.dots.data());
      lower_bounds(terms, s.dots.data(), s.means.data() + start, s.variances.data() + start, n, group_lower.data());
      for (std::size_t l = 0; l < n; ++l) s.lower[start + l] = std::max(group_lower[l], segment_lower[start + l]);
    }
  }
  // A window is skipped when its direct distance cannot fall below the best: a tie would not replace it.
  for (std::size_t k = 0; k < count; ++k) {
    if (!(s.lower[k] >= best.squared)) consider(q, x, first + k, best);
  }
}

// The windows of the run of finite samples [begin, end) of `x`, a block at a time, for each of `queries` (all
// of one length m) against its own best: each block is made ready once for them all.
void search_run(const std::vector<const Query*>& queries, const double* x, std::size_t begin, std::size_t end,
                Scratch& s, std::vector<Best>& best) {
  const std::size_t m = queries.front()->z.size();
  const std::size_t windows = end - begin - m + 1;
  const std::size_t block = std::max<std::size_t>(4 * m, 256);
  for (std::size_t done = 0; done < windows; done += block) {
    Block b = prepare_block(x, begin + done, std::min(block, windows - done), m, s);
    for (std::size_t i = 0; i < queries.size(); ++i) search_block(*queries[i], b, x, s, best[i]);
  }
}

// The offset of a window of the run of finite samples [begin, end) of `x` that looks near `q`, -1 when none
// can be told: a rough look, not bounded, as it only picks a window to compute first. The windows that start
// every L samples (every whole number of L samples that makes rough_apart or more) are compared by the means
// of rough_segments segments of L samples, from the means of the run's consecutive pieces of L samples; then
// the windows as near the closest as that step, by the same measure.
std::int64_t rough_guess(const Query& q, const double* x, std::size_t begin, std::size_t end, Scratch& s) {
  const std::size_t m = q.z.size();
  const std::size_t seglen = q.piece;
  const std::size_t whole = rough_segments;
  const std::size_t stride = (rough_apart + seglen - 1) / seglen;  // in pieces
  const std::size_t span = whole * seglen;
  const double dl = static_cast<double>(seglen);
  const double ds = static_cast<double>(span);
  const double shift = x[begin];
  double targets = 0.0;  // the sum of the query's segment means
  double target_squares = 0.0;
  for (const double a : q.piece_means) {
    targets += a;
    target_squares += a * a;
  }
  // sum over j of (a_j - (p_j - mean) * inverse)^2 for segment means p_j summing to `total` (their squares to
  // `squared`, their products with the query's to `dot`) and samples whose squares sum to `squares`; +inf when
  // it cannot be told.
  const auto measure = [&](double total, double squared, double dot, double squares) {
    const double mean = total / static_cast<double>(whole);
    const double variance = squares / ds - mean * mean;
    if (!(variance > 0.0)) return infinity;
    const double inverse = 1.0 / std::sqrt(variance);
    return target_squares - 2.0 * inverse * (dot - mean * targets) +
           inverse * inverse * (squared - 2.0 * mean * total + static_cast<double>(whole) * mean * mean);
  };
  const std::size_t windows = end - begin - m + 1;
  const std::size_t pieces = (end - begin) / seglen;
  std::vector<double>& means = s.piece_means;
  std::vector<double>& squares = s.piece_squares;
  means.resize(pieces);
  squares.resize(pieces);
  for (std::size_t i = 0; i < pieces; ++i) {
    double sum = 0.0;
    double square = 0.0;
    for (std::size_t t = 0; t < seglen; ++t) {
      const double v = x[begin + i * seglen + t] - shift;
      sum += v;
      square += v * v;
    }
    means[i] = sum / dl;
    squares[i] = square;
  }
  // The sums over each window's segments: sliding, and the products with the query's a segment at a time, so
  // that the windows go side by side.
  const std::size_t starts = (windows - 1) / seglen + 1;
  s.totals.resize(starts);
  s.squareds.resize(starts);
  s.squares.resize(starts);
  s.products.assign(starts, 0.0);
  double sliding_total = 0.0;
  double sliding_squared = 0.0;
  double sliding_square = 0.0;
  for (std::size_t j = 0; j < whole; ++j) {
    sliding_total += means[j];
    sliding_squared += means[j] * means[j];
    sliding_square += squares[j];
  }
  for (std::size_t i = 0; i < starts; ++i) {
    s.totals[i] = sliding_total;
    s.squareds[i] = sliding_squared;
    s.squares[i] = sliding_square;
    if (i + whole < pieces) {
      sliding_total += means[i + whole] - means[i];
      sliding_squared += means[i + whole] * means[i + whole] - means[i] * means[i];
      sliding_square += squares[i + whole] - squares[i];
    }
  }
  double* __restrict products = s.products.data();
  for (std::size_t j = 0; j < whole; ++j) {
    const double a = q.piece_means[j];
    const double* __restrict p = means.data() + j;
    for (std::size_t i = 0; i < starts; i += stride) products[i] += a * p[i];
  }
  double closest = infinity;
  std::size_t at = windows;
  for (std::size_t i = 0; i < starts; i += stride) {
    const double d2 = measure(s.totals[i], s.squareds[i], s.products[i], s.squares[i]);
    if (d2 < closest) {
      closest = d2;
      at = i * seglen;
    }
  }
  if (at == windows) return -1;
  // Around it, from running sums of the samples and squares.
  const std::size_t step = stride * seglen;
  const std::size_t from = at >= step ? at - step : 0;
  const std::size_t to = std::min(at + step, windows - 1);
  const std::size_t length = to - from + span;
  std::vector<double>& running = s.running;
  std::vector<double>& running_squares = s.running_squares;
  running.assign(length + 1, 0.0);
  running_squares.assign(length + 1, 0.0);
  for (std::size_t t = 0; t < length; ++t) {
    const double v = x[begin + from + t] - shift;
    running[t + 1] = running[t] + v;
    running_squares[t + 1] = running_squares[t] + v * v;
  }
  std::size_t guess = at;
  for (std::size_t o = from; o <= to; ++o) {
    const std::size_t t = o - from;
    double total = 0.0;
    double squared = 0.0;
    double dot = 0.0;
    for (std::size_t j = 0; j < whole; ++j) {
      const double p = (running[t + (j + 1) * seglen] - running[t + j * seglen]) / dl;
      total += p;
      squared += p * p;
      dot += q.piece_means[j] * p;
    }
    const double d2 = measure(total, squared, dot, running_squares[t + span] - running_squares[t]);
    if (d2 < closest) {
      closest = d2;
      guess = o;
    }
  }
  return static_cast<std::int64_t>(begin + guess);
}

// The nearest window of `x` to each of `queries` (all of one length m); a window at each query's seed (any
// offset; -1: none), computed first, only sets how near a window must come to be computed, so that the result
// is the same with any seed. So does a window that looks near by rough_guess, computed first when the seed is
// not near already, so that the bounds rule out most windows from the start.
std::vector<Best> search_series(const std::vector<const Query*>& queries, const std::vector<std::int64_t>& seeds,
                                const Series& x, Scratch& s) {
  const std::size_t m = queries.front()->z.size();
  const double dm = static_cast<double>(m);
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  for (std::size_t begin = 0; begin < x.size();) {
    if (!std::isfinite(x[begin])) {
      ++begin;
      continue;
    }
    const std::size_t end = finite_end(x.data(), begin, x.size());
    if (end - begin >= m) runs.emplace_back(begin, end);
    begin = end;
  }
  std::vector<Best> best(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) {
    const Query& q = *queries[i];
    const auto try_first = [&](std::size_t at) {
      const double squared = direct_squared(q, x.data() + at, infinity);
      // Just above it, so that this window itself, or a window as near at a lower offset, is still taken.
      if (squared < best[i].squared) best[i].squared = std::nextafter(squared, infinity);
    };
    const std::int64_t seed = seeds[i];
    if (seed >= 0 && static_cast<std::size_t>(seed) + m <= x.size()) try_first(static_cast<std::size_t>(seed));
    if (q.seglen > 0 && !q.constant && !(best[i].squared < guess_above * dm)) {
      for (const auto& [begin, end] : runs) {
        const std::int64_t at = rough_guess(q, x.data(), begin, end, s);
        if (at >= 0) try_first(static_cast<std::size_t>(at));
      }
    }
  }
  for (const auto& [begin, end] : runs) search_run(queries, x.data(), begin, end, s, best);
  return best;
}

double distance_of(const Best& best) { return best.offset < 0 ? infinity : std::sqrt(best.squared); }

}  // namespace

double direct_distance(const double* query, const double* window, std::size_t m) {
  const Query q = make_query(query, m);
  if (!q.finite) return std::numeric_limits<double>::quiet_NaN();
  return std::sqrt(direct_squared(q, window, infinity));
}

std::pair<std::int64_t, double> nearest_plain(const Series& query, const Series& series) {
  const Query q = prepare(query, 0);
  const std::size_t m = q.z.size();
  Best best;
  for (std::size_t at = 0; at + m <= series.size(); ++at) {
    const bool finite =
        std::all_of(series.begin() + static_cast<std::ptrdiff_t>(at),
                    series.begin() + static_cast<std::ptrdiff_t>(at + m), [](double v) { return std::isfinite(v); });
    if (!finite) continue;
    const double squared = direct_squared(q, series.data() + at, infinity);
    if (squared < best.squared) best = {static_cast<std::int64_t>(at), squared};
  }
  return {best.offset, distance_of(best)};
}

std::vector<NearestWindows> nearest(const std::vector<Series>& queries, std::size_t count, const SeriesReader& series,
                                    const CancelCheck& cancelled) {
  return nearest(queries, {}, count, series, cancelled);
}

std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Seeds& seeds, std::size_t count,
                                    const SeriesReader& series, const CancelCheck& cancelled) {
  if (!seeds.empty() && seeds.size() != queries.size()) {
    throw std::invalid_argument("seeds: " + std::to_string(seeds.size()) + " lists for " +
                                std::to_string(queries.size()) + " queries");
  }
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    if (seeds[i].size() != count) {
      throw std::invalid_argument("seeds " + std::to_string(i) + ": " + std::to_string(seeds[i].size()) +
                                  " offsets for " + std::to_string(count) + " series");
    }
  }
  std::vector<Query> prepared;
  prepared.reserve(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) prepared.push_back(prepare(queries[i], i));
  std::vector<NearestWindows> results(queries.size());
  for (NearestWindows& r : results) {
    r.offsets.assign(count, -1);
    r.distances.assign(count, infinity);
  }
  if (count == 0 || queries.empty()) return results;
  if (cancelled) cancelled();
  // The first series tells how long the others are. A pair costs some 16 steps per window where the bounds
  // rule most windows out, and a quarter of a step per query sample where a window takes its dot product; a
  // part of several pairs lets the queries that share it make each block of a series ready once.
  Series first;
  const std::size_t samples = series(0, first).size();
  std::size_t widths = 0;
  for (const Series& q : queries) widths += q.size();
  const std::size_t pairs = count * queries.size();
  const std::size_t work = std::max<std::size_t>(samples * (16 * queries.size() + widths / 16), 1) * count;
  // Pairs are taken series by series, so that a part reads each of its series once, and the queries of one
  // length that follow each other in a part search the series together.
  const std::size_t n = queries.size();
  const auto part = [&](std::size_t begin, std::size_t end) {
    Scratch scratch;
    Series row;
    std::size_t held = count;
    const Series* x = nullptr;
    std::vector<const Query*> group;
    std::vector<std::int64_t> group_seeds;
    for (std::size_t i = begin; i < end;) {
      const std::size_t s = i / n;
      const std::size_t m = prepared[i % n].z.size();
      std::size_t last = i + 1;
      while (last < end && last / n == s && prepared[last % n].z.size() == m) ++last;
      group.clear();
      group_seeds.clear();
      for (std::size_t j = i; j < last; ++j) {
        group.push_back(&prepared[j % n]);
        group_seeds.push_back(seeds.empty() ? -1 : seeds[j % n][s]);
      }
      if (s != held) {
        x = &series(s, row);
        held = s;
      }
      const std::vector<Best> found = search_series(group, group_seeds, *x, scratch);
      for (std::size_t j = i; j < last; ++j) {
        results[j % n].offsets[s] = found[j - i].offset;
        results[j % n].distances[s] = distance_of(found[j - i]);
      }
      i = last;
    }
  };
  parallel_for(pairs, part_size(pairs, work), part, [&cancelled](std::size_t) {
    if (cancelled) cancelled();
  });
  return results;
}

std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Dataset& ts,
                                    const CancelCheck& cancelled) {
  const auto stored = [&ts](std::size_t index, Series&) -> const Series& { return ts[index]; };
  return nearest(queries, ts.size(), stored, cancelled);
}

std::vector<NearestWindows> nearest(const std::vector<Series>& queries, const Seeds& seeds, const Dataset& ts,
                                    const CancelCheck& cancelled) {
  const auto stored = [&ts](std::size_t index, Series&) -> const Series& { return ts[index]; };
  return nearest(queries, seeds, ts.size(), stored, cancelled);
}

namespace {

// The sum first to last of z[i] * w[i * stride + c] over the m samples of z, for each of `count` windows c laid
// out sample-major: the windows side by side, each summing in sample order.
KEZ_WIDE_CLONES void column_dots(const double* z, std::size_t m, const double* w, std::size_t stride, std::size_t count,
                                 double* dots) {
  std::fill(dots, dots + count, 0.0);
  for (std::size_t i = 0; i < m; ++i) {
    const double zi = z[i];
    const double* row = w + i * stride;
    for (std::size_t c = 0; c < count; ++c) dots[c] += zi * row[c];
  }
}

// The windows of one series that can match, z-normalised and laid out sample-major.
struct Windows {
  std::vector<std::int64_t> starts;
  std::vector<double> z;  // sample i of window c at z[i * starts.size() + c]
  std::vector<double> squares;
  std::vector<unsigned char> constant;
};

Windows gather(const Series& x, const std::vector<std::int64_t>& wanted, const std::vector<std::int64_t>& shifts,
               std::size_t m) {
  std::vector<std::int64_t> starts;
  for (const std::int64_t given : wanted) {
    for (const std::int64_t shift : shifts) {
      const std::int64_t at = given + shift;
      if (at < 0 || static_cast<std::size_t>(at) + m > x.size()) continue;
      const double* w = x.data() + at;
      if (std::all_of(w, w + m, [](double v) { return std::isfinite(v); })) starts.push_back(at);
    }
  }
  std::sort(starts.begin(), starts.end());
  starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
  std::vector<Query> made;
  Windows out;
  for (const std::int64_t at : starts) {
    Query w = make_query(x.data() + at, m);
    if (!w.finite) continue;  // its sums overflow: never matched
    out.starts.push_back(at);
    out.squares.push_back(w.squares);
    out.constant.push_back(w.constant ? 1 : 0);
    made.push_back(std::move(w));
  }
  const std::size_t kept = made.size();
  out.z.assign(kept * m, 0.0);
  for (std::size_t c = 0; c < kept; ++c) {
    for (std::size_t i = 0; i < m; ++i) out.z[i * kept + c] = made[c].z[i];
  }
  return out;
}

}  // namespace

std::vector<NearestAmong> nearest_among(const std::vector<Series>& queries, const Seeds& starts,
                                        const std::vector<std::int64_t>& shifts, const SeriesSets& wanted,
                                        std::size_t count, const SeriesReader& series, const CancelCheck& cancelled) {
  const std::vector<std::int64_t> moves = shifts.empty() ? std::vector<std::int64_t>{0} : shifts;
  std::vector<Query> prepared;
  prepared.reserve(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) {
    prepared.push_back(prepare(queries[i], i));
    if (queries[i].size() != queries[0].size()) {
      throw std::invalid_argument(query_name(i) + " has " + std::to_string(queries[i].size()) +
                                  " samples where query 0 has " + std::to_string(queries[0].size()) +
                                  ": the windows are of one length");
    }
  }
  if (starts.size() != count) {
    throw std::invalid_argument("starts: " + std::to_string(starts.size()) + " lists for " + std::to_string(count) +
                                " series");
  }
  if (!wanted.empty() && wanted.size() != queries.size()) {
    throw std::invalid_argument("series: " + std::to_string(wanted.size()) + " lists for " +
                                std::to_string(queries.size()) + " queries");
  }
  // Per series, the queries measured in it, in order.
  std::vector<std::vector<std::size_t>> measured(count);
  for (std::size_t qi = 0; qi < queries.size(); ++qi) {
    if (wanted.empty()) {
      for (auto& list : measured) list.push_back(qi);
      continue;
    }
    for (const std::size_t s : wanted[qi]) {
      if (s >= count) {
        throw std::invalid_argument("series of " + query_name(qi) + ": " + std::to_string(s) + " is beyond the " +
                                    std::to_string(count) + " series");
      }
      if (measured[s].empty() || measured[s].back() != qi) measured[s].push_back(qi);
    }
  }
  std::vector<NearestAmong> results(queries.size());
  for (NearestAmong& r : results) {
    r.offsets.assign(count, -1);
    r.distances.assign(count, infinity);
    r.elsewhere.assign(count, infinity);
  }
  if (count == 0 || queries.empty()) return results;
  if (cancelled) cancelled();
  const std::size_t m = queries[0].size();
  const double dm = static_cast<double>(m);
  std::size_t windows = 0;
  for (std::size_t s = 0; s < count; ++s) windows += starts[s].size() * moves.size() * (measured[s].size() + 2);
  const std::size_t work = std::max<std::size_t>(windows * m / 4, 1);
  const auto part = [&](std::size_t begin, std::size_t end) {
    Series row;
    std::vector<double> dots;
    for (std::size_t s = begin; s < end; ++s) {
      if (measured[s].empty()) continue;
      const Windows w = gather(series(s, row), starts[s], moves, m);
      const std::size_t n = w.starts.size();
      if (n == 0) continue;
      dots.resize(n);
      for (const std::size_t qi : measured[s]) {
        const Query& q = prepared[qi];
        column_dots(q.z.data(), m, w.z.data(), n, n, dots.data());
        for (std::size_t c = 0; c < n; ++c) {
          dots[c] = q.constant || w.constant[c] != 0 ? (q.constant && w.constant[c] != 0 ? 0.0 : dm)
                                                     : std::max(0.0, q.squares + w.squares[c] - 2.0 * dots[c]);
        }
        const std::size_t best = static_cast<std::size_t>(std::min_element(dots.begin(), dots.end()) - dots.begin());
        double other = infinity;
        for (std::size_t c = 0; c < n; ++c) {
          const std::int64_t apart = w.starts[c] - w.starts[best];
          if (static_cast<std::size_t>(apart < 0 ? -apart : apart) >= m) other = std::min(other, dots[c]);
        }
        results[qi].offsets[s] = w.starts[best];
        results[qi].distances[s] = std::sqrt(dots[best]);
        results[qi].elsewhere[s] = std::sqrt(other);
      }
    }
  };
  parallel_for(count, part_size(count, work), part, [&cancelled](std::size_t) {
    if (cancelled) cancelled();
  });
  return results;
}

}  // namespace kez
