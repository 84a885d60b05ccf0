#include "search.h"

#include <algorithm>
#include <array>
#include <cmath>
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
};

// Shapes at least this long are also bounded by their segment means, over at most `segments` segments.
constexpr std::size_t segmented_from = 16;
constexpr std::size_t segments = 24;
// A block whose segment bounds leave at most one window in this many open computes those directly: a direct
// computation, its two passes summed in order, costs some hundreds of vectorised dot products.
constexpr std::size_t few_open = 256;
// The segment bound is tried only once a window nearer than this times m is known: the segment means hold about
// half a distance, and the nearest window of a series that does not hold the shape lies near m, where the
// bound rules out too few groups to pay for itself.
constexpr double segmented_below = 0.8;

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
// of z, for the groups of `lanes` windows whose flag in `wanted` is set (every group when it is null; the
// others' dots are left as they were); y must be readable up to count + m + lanes. Each window keeps its own
// order of additions, so a wider clone gives the same bits.
KEZ_WIDE_CLONES void window_dots(const double* z, std::size_t m, const double* y, std::size_t count, double* dots,
                                 const unsigned char* wanted) {
  for (std::size_t k = 0; k < count; k += lanes) {
    if (wanted != nullptr && wanted[k / lanes] == 0) continue;
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
  std::vector<unsigned char> wanted;
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

// Stores in lower[k], for each of `count` windows, a value the window's direct squared distance is surely not
// below; -inf for a window too flat for the sums to tell.
void lower_bounds(const BlockTerms& t, const double* dots, const double* means, const double* variances,
                  std::size_t count, double* lower) {
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
    const bool varied = share <= 0.25 && deviation > flat;
    const double twice_dot = 2.0 * (dots[k] - means[k] * t.sum) * inverse;
    const double estimate = t.squares + t.m - twice_dot;
    // The error of the dot product and of the mean's share in it, of the deviation, of the direct
    // computation's mean (off by rounding of the window's level, not of its shape) and of the final steps.
    const double level = level_error * inverse;
    const double bound = 2.0 * (dot_error * inverse + 2.0 * share * std::abs(twice_dot) +
                                2.0 * level * (std::abs(t.sum) + t.magnitude * eps) + t.m * level * level +
                                rounding * (t.squares + t.m + std::abs(twice_dot)));
    lower[k] = varied ? estimate - bound : -infinity;
  }
}

// Stores in s.segment_lower[k], for each of `count` windows of the shifted samples `y` (means and variances
// given), a value the window's direct squared distance is surely not below, from the means of its whole
// segments alone: over a segment of L samples the squared distance is at least L times the squared difference
// of the two segment means. It costs a handful of steps per window where the dot product costs m; -inf for a
// window too flat for the sums to tell.
void segment_bounds(const Query& q, const BlockTerms& t, const double* y, std::size_t count, Scratch& s) {
  const std::size_t seglen = q.seglen;
  const std::size_t whole = q.segment_means.size();
  const double dl = static_cast<double>(seglen);
  const double per_sample = 1.0 / dl;
  // Sliding sums of seglen samples, seg[i] the sum of y[i] to y[i + seglen - 1].
  const std::size_t sums = count + (whole - 1) * seglen;
  s.segment_sums.resize(sums);
  double sum = 0.0;
  for (std::size_t i = 0; i < seglen; ++i) sum += y[i];
  for (std::size_t i = 0;; ++i) {
    s.segment_sums[i] = sum;
    if (i + 1 == sums) break;
    sum = sum + y[i + seglen] - y[i];
  }
  s.inverses.resize(count);
  for (std::size_t k = 0; k < count; ++k) s.inverses[k] = 1.0 / std::sqrt(s.variances[k]);
  s.segment_lower.assign(count, 0.0);
  double* lower = s.segment_lower.data();
  const double* means = s.means.data();
  const double* inverses = s.inverses.data();
  for (std::size_t j = 0; j < whole; ++j) {
    const double target = q.segment_means[j];
    const double* segment = s.segment_sums.data() + j * seglen;
    for (std::size_t k = 0; k < count; ++k) {
      const double d = target - (segment[k] * per_sample - means[k]) * inverses[k];
      lower[k] += d * d;
    }
  }
  // The error of each z-normalised segment mean: of the sliding segment sums and window means (the rounding of
  // the first sum and of each slide), of the shift, of the direct computation's mean, and of the deviation
  // (which scales a segment mean of at most sqrt(m / L)); then of the direct computation's own steps.
  const double m = t.m;
  const double steps = static_cast<double>(sums);
  const double level = (dl * dl + 2.0 * steps * (dl + 2.0)) * eps * t.reach / dl +
                       (m + 4.0 * static_cast<double>(count) + 4.0) * eps * t.reach + (m + 6.0) * eps * t.largest;
  const double flat = flat_share * t.largest * (1.0 + 1e-6) / (0.866 * (1.0 - 1e-6));
  const double spread = std::sqrt(dl * static_cast<double>(whole));
  const double reach = std::sqrt(m / dl);
  for (std::size_t k = 0; k < count; ++k) {
    const double inverse = inverses[k];
    const double share = t.variance_error * inverse * inverse;
    const bool varied = share <= 0.25 && inverse * flat < 1.0;
    const double scale = 2.0 * share + 8.0 * (m + 4.0) * eps + 2.0 * t.largest * (m + 2.0) * eps * inverse;
    const double each = 2.0 * (level * inverse * (1.0 + share) + scale * reach + (dl + 2.0) * eps * std::sqrt(m));
    const double off = spread * each + 4.0 * eps * (4.0 * m + std::sqrt(m) * t.largest * inverse);
    const double root = std::sqrt(dl * lower[k]) * (1.0 - 4.0 * (static_cast<double>(whole) + 4.0) * eps) - off;
    lower[k] = !varied ? -infinity : root > 0.0 ? root * root * (1.0 - 8.0 * (m + 4.0) * eps) : 0.0;
  }
}

// The `count` windows of `x` from offset `first`, all of finite samples: bounded together, and computed
// directly where the bound cannot rule them out.
void search_block(const Query& q, const double* x, std::size_t first, std::size_t count, Scratch& s, Best& best) {
  const std::size_t m = q.z.size();
  const double dm = static_cast<double>(m);
  const double* p = x + first;
  const std::size_t samples = count + m - 1;
  const auto [lo, hi] = std::minmax_element(p, p + samples);
  const double shift = *lo + (*hi - *lo) / 2;
  s.shifted.resize(samples + lanes);
  double reach = 0.0;
  for (std::size_t i = 0; i < samples; ++i) {
    s.shifted[i] = p[i] - shift;
    reach = std::max(reach, std::abs(s.shifted[i]));
  }
  std::fill(s.shifted.begin() + static_cast<std::ptrdiff_t>(samples), s.shifted.end(), 0.0);
  // Sliding sums over the block; their error: the rounding of the first window's m terms and of each
  // slide's four steps, on values at most reach (or reach^2), through the mean, its square and the difference.
  const double* y = s.shifted.data();
  s.means.resize(count);
  s.variances.resize(count);
  double sum = 0.0;
  double squares = 0.0;
  for (std::size_t i = 0; i < m; ++i) {
    sum += y[i];
    squares += y[i] * y[i];
  }
  for (std::size_t k = 0;; ++k) {
    const double mean = sum / dm;
    s.means[k] = mean;
    s.variances[k] = squares / dm - mean * mean;
    if (k + 1 == count) break;
    sum = sum + y[k + m] - y[k];
    squares = squares + y[k + m] * y[k + m] - y[k] * y[k];
  }
  const BlockTerms terms{dm,
                         q.squares,
                         q.sum,
                         q.magnitude,
                         reach,
                         std::abs(shift) + reach,
                         2.0 * (3.0 * dm + 10.0 * static_cast<double>(count) + 8.0) * eps * reach * reach};
  // Once a near window is known, the segment means rule most windows out before any dot product: a group of
  // windows none of which the segments leave open needs no dots, and when few are left open at all they are
  // computed directly.
  const bool segmented = q.seglen > 0 && !q.constant && best.squared < segmented_below * dm;
  if (segmented) {
    segment_bounds(q, terms, y, count, s);
    const std::size_t groups = (count + lanes - 1) / lanes;
    s.wanted.assign(groups, 0);
    std::size_t open = 0;
    for (std::size_t k = 0; k < count; ++k) {
      if (!(s.segment_lower[k] >= best.squared)) {
        ++open;
        s.wanted[k / lanes] = 1;
      }
    }
    if (open * few_open <= count) {
      for (std::size_t k = 0; k < count; ++k) {
        if (!(s.segment_lower[k] >= best.squared)) consider(q, x, first + k, best);
      }
      return;
    }
  }
  s.dots.assign(count, 0.0);
  if (!q.constant) window_dots(q.z.data(), m, y, count, s.dots.data(), segmented ? s.wanted.data() : nullptr);
  s.lower.resize(count);
  lower_bounds(terms, s.dots.data(), s.means.data(), s.variances.data(), count, s.lower.data());
  if (segmented) {
    for (std::size_t k = 0; k < count; ++k) {
      s.lower[k] = s.wanted[k / lanes] != 0 ? std::max(s.lower[k], s.segment_lower[k]) : s.segment_lower[k];
    }
  }
  // Any varied window is exactly sqrt(m) from a constant query.
  if (q.constant) {
    for (double& v : s.lower) v = v == -infinity ? v : dm;
  }
  // A window is skipped when its direct distance cannot fall below the best: a tie would not replace it.
  for (std::size_t k = 0; k < count; ++k) {
    if (!(s.lower[k] >= best.squared)) consider(q, x, first + k, best);
  }
}

// The windows of the run of finite samples [begin, end) of `x`, a block at a time.
void search_run(const Query& q, const double* x, std::size_t begin, std::size_t end, Scratch& s, Best& best) {
  const std::size_t m = q.z.size();
  const std::size_t windows = end - begin - m + 1;
  const std::size_t block = std::max<std::size_t>(4 * m, 256);
  for (std::size_t done = 0; done < windows; done += block) {
    search_block(q, x, begin + done, std::min(block, windows - done), s, best);
  }
}

// The nearest window of `x`; a window at `seed` (any offset; -1: none), computed first, only sets how near a
// window must come to be computed, so that the result is the same with any seed.
Best search_series(const Query& q, const Series& x, std::int64_t seed, Scratch& s) {
  Best best;
  const std::size_t m = q.z.size();
  if (seed >= 0 && static_cast<std::size_t>(seed) + m <= x.size()) {
    const double squared = direct_squared(q, x.data() + seed, infinity);
    // Just above it, so that the seed itself, or a window as near at a lower offset, is still taken.
    if (!std::isnan(squared)) best.squared = std::nextafter(squared, infinity);
  }
  std::size_t begin = 0;
  while (begin < x.size()) {
    if (!std::isfinite(x[begin])) {
      ++begin;
      continue;
    }
    std::size_t end = begin;
    while (end < x.size() && std::isfinite(x[end])) ++end;
    if (end - begin >= m) search_run(q, x.data(), begin, end, s, best);
    begin = end;
  }
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
  // The first series tells how long the others are; a pair costs about a quarter of a step per sample and
  // query sample.
  Series first;
  const std::size_t samples = series(0, first).size();
  std::size_t widths = 0;
  for (const Series& q : queries) widths += q.size();
  const std::size_t pairs = count * queries.size();
  const std::size_t work = std::max<std::size_t>(samples * widths / 4, 1) * count;
  // Pairs are taken series by series, so that a part reads each of its series once.
  const auto part = [&](std::size_t begin, std::size_t end) {
    Scratch scratch;
    Series row;
    std::size_t held = count;
    const Series* x = nullptr;
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t s = i / queries.size();
      const std::size_t qi = i % queries.size();
      if (s != held) {
        x = &series(s, row);
        held = s;
      }
      const Best best = search_series(prepared[qi], *x, seeds.empty() ? -1 : seeds[qi][s], scratch);
      results[qi].offsets[s] = best.offset;
      results[qi].distances[s] = distance_of(best);
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
                                        const std::vector<std::int64_t>& shifts, std::size_t count,
                                        const SeriesReader& series, const CancelCheck& cancelled) {
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
  for (const auto& list : starts) windows += list.size() * moves.size();
  const std::size_t work = std::max<std::size_t>(windows * m * (queries.size() + 2) / 4, 1);
  const auto part = [&](std::size_t begin, std::size_t end) {
    Series row;
    std::vector<double> dots;
    for (std::size_t s = begin; s < end; ++s) {
      const Windows w = gather(series(s, row), starts[s], moves, m);
      const std::size_t n = w.starts.size();
      if (n == 0) continue;
      dots.resize(n);
      for (std::size_t qi = 0; qi < prepared.size(); ++qi) {
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
