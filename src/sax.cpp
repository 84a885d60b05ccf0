#include "sax.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

#include "pool.h"
#include "vector_error.h"
#include "wide.h"

namespace kez {

const std::vector<std::vector<double>> breakpoints = {
    {},
    {},
    {0.0},
    {-0.43, 0.43},
    {-0.67, 0.0, 0.67},
    {-0.84, -0.25, 0.25, 0.84},
    {-0.97, -0.43, 0.0, 0.43, 0.97},
    {-1.07, -0.57, -0.18, 0.18, 0.57, 1.07},
    {-1.15, -0.67, -0.32, 0.0, 0.32, 0.67, 1.15},
    {-1.22, -0.76, -0.43, -0.14, 0.14, 0.43, 0.76, 1.22},
    {-1.28, -0.84, -0.52, -0.25, 0.0, 0.25, 0.52, 0.84, 1.28},
};

namespace {

// Segments are handled a block at a time: their sums first, then their letters, so that each step is a
// loop over the block that the compiler can run on vector registers.
constexpr std::size_t block = 64;

// The sum of each of `count` whole segments of W samples, starting at `p`: each sums its own samples
// first to last from 0.0. A width known at compile time lets the compiler add several segments per
// vector instruction.
template <std::size_t W>
void sum_fixed(const double* p, std::size_t count, double* sums) {
  for (std::size_t l = 0; l < count; ++l) {
    double sum = 0.0;
    for (std::size_t j = 0; j < W; ++j) sum += p[l * W + j];
    sums[l] = sum;
  }
}

// The same for any width: eight segments at a time, whose chains of additions overlap in the processor
// instead of waiting on one another. The `readable` samples from `p` on may be fetched ahead.
void sum_any(const double* p, std::size_t count, std::size_t width, std::size_t readable, double* sums) {
  constexpr std::size_t lanes = 8;
  std::size_t l = 0;
  for (; l + lanes <= count; l += lanes) {
    const double* q = p + l * width;
    // The lanes read across their segments rather than along memory; asking ahead for the samples of
    // the group after next keeps them arriving.
    for (std::size_t at = (l + 2 * lanes) * width; at < std::min((l + 3 * lanes) * width, readable); at += 8) {
      __builtin_prefetch(p + at);
    }
    std::array<double, lanes> lane{};
    for (std::size_t j = 0; j < width; ++j) {
      for (std::size_t k = 0; k < lanes; ++k) lane[k] += q[k * width + j];
    }
    std::copy(lane.begin(), lane.end(), sums + l);
  }
  for (; l < count; ++l) {
    double sum = 0.0;
    for (std::size_t j = 0; j < width; ++j) sum += p[l * width + j];
    sums[l] = sum;
  }
}

// Four doubles, one vector register wide where the processor has one.
__extension__ typedef double Quad __attribute__((vector_size(4 * sizeof(double))));

// Adds to `sums`, for i = 0 to 3, sample i of each of the four rows of samples at `first`, `width` apart: the
// tile is turned so that one vector holds the same sample of four segments. Inlined, so that each clone below
// keeps its own vector width.
[[gnu::always_inline]] inline void add_turned(Quad& sums, const double* first, std::size_t width) {
  std::array<Quad, 4> r;
  for (std::size_t k = 0; k < r.size(); ++k) std::memcpy(&r[k], first + k * width, sizeof r[k]);
  const Quad even01 = __builtin_shufflevector(r[0], r[1], 0, 4, 2, 6);
  const Quad odd01 = __builtin_shufflevector(r[0], r[1], 1, 5, 3, 7);
  const Quad even23 = __builtin_shufflevector(r[2], r[3], 0, 4, 2, 6);
  const Quad odd23 = __builtin_shufflevector(r[2], r[3], 1, 5, 3, 7);
  sums += __builtin_shufflevector(even01, even23, 0, 1, 4, 5);
  sums += __builtin_shufflevector(odd01, odd23, 0, 1, 4, 5);
  sums += __builtin_shufflevector(even01, even23, 2, 3, 6, 7);
  sums += __builtin_shufflevector(odd01, odd23, 2, 3, 6, 7);
}

// The sums of whole segments of a width that is a multiple of four, eight segments at a time: each vector lane
// adds its own segment's samples first to last from 0.0, four samples of four segments per turned tile. Returns
// how many segments it summed; the rest are left to the caller.
KEZ_WIDE_CLONES
std::size_t sum_by_tiles(const double* p, std::size_t count, std::size_t width, double* sums) {
  constexpr std::size_t group = 8;
  std::size_t l = 0;
  for (; l + group <= count; l += group) {
    const double* q = p + l * width;
    Quad low{};
    Quad high{};
    for (std::size_t j = 0; j < width; j += 4) {
      add_turned(low, q + j, width);
      add_turned(high, q + 4 * width + j, width);
    }
    std::memcpy(sums + l, &low, sizeof low);
    std::memcpy(sums + l + 4, &high, sizeof high);
  }
  return l;
}

void sum_segments(const double* p, std::size_t count, std::size_t width, std::size_t readable, double* sums) {
  switch (width) {
    case 1: sum_fixed<1>(p, count, sums); break;
    case 2: sum_fixed<2>(p, count, sums); break;
    case 3: sum_fixed<3>(p, count, sums); break;
    case 4: sum_fixed<4>(p, count, sums); break;
    default: {
      const std::size_t tiled = width % 4 == 0 ? sum_by_tiles(p, count, width, sums) : 0;
      sum_any(p + tiled * width, count - tiled, width, readable - tiled * width, sums + tiled);
      break;
    }
  }
}

// The letter of each of `count` (at most a block of) segment sums. Every lane divides and compares
// exactly as get_discrete_value does, so vector width cannot change a letter.
KEZ_WIDE_CLONES
void letters(const double* sums, std::size_t count, double seglen, const std::vector<double>& cuts, char* out) {
  std::array<double, block> means{};
  for (std::size_t l = 0; l < count; ++l) means[l] = sums[l] / seglen;
  // Counted in doubles, as wide as the means, so the baseline build vectorises this loop too.
  std::array<double, block> counts{};
  for (const double cut : cuts) {
    for (std::size_t l = 0; l < block; ++l) counts[l] += means[l] > cut ? 1.0 : 0.0;
  }
  for (std::size_t l = 0; l < count; ++l) out[l] = static_cast<char>('a' + static_cast<int>(counts[l]));
}

}  // namespace

void znorm(Dataset& ts) { znorm_each(ts.data(), ts.size()); }

void znorm_series(Series& series) { znorm_each(&series, 1); }

void znorm_each(Series* first, std::size_t count) {
  constexpr std::size_t group = 4;
  std::array<Moments, group> found;
  for (std::size_t g = 0; g < count; g += group) {
    const std::size_t in_group = std::min(group, count - g);
    moments_each(first + g, in_group, found.data());
    for (std::size_t k = 0; k < in_group; ++k) znorm_with(first[g + k], found[k]);
  }
}

void moments_each(const Series* first, std::size_t count, Moments* out) {
  // Each series sums its samples first to last, a chain of additions that waits on itself; a few series
  // summed in turn keep the processor busy while each chain keeps its own order.
  constexpr std::size_t lanes = 4;
  for (std::size_t g = 0; g < count; g += lanes) {
    const std::size_t in_group = std::min(lanes, count - g);
    const Series* const group = first + g;
    std::size_t shared = std::numeric_limits<std::size_t>::max();
    for (std::size_t k = 0; k < in_group; ++k) shared = std::min(shared, group[k].size());
    std::array<const double*, lanes> data{};
    for (std::size_t k = 0; k < lanes; ++k) data[k] = group[std::min(k, in_group - 1)].data();
    // Sums of x - shift (squared, when `squared`) over each series, the first `shared` samples side by side.
    const auto sums = [&](const std::array<double, lanes>& shift, bool squared) {
      std::array<double, lanes> sum{};
      const auto term = [squared](double x, double s) { return squared ? (x - s) * (x - s) : x; };
      for (std::size_t i = 0; i < shared; ++i) {
        for (std::size_t k = 0; k < lanes; ++k) sum[k] += term(data[k][i], shift[k]);
      }
      for (std::size_t k = 0; k < in_group; ++k) {
        for (std::size_t i = shared; i < group[k].size(); ++i) sum[k] += term(data[k][i], shift[k]);
      }
      return sum;
    };
    const std::array<double, lanes> total = sums({}, false);
    std::array<double, lanes> mean{};
    for (std::size_t k = 0; k < in_group; ++k) mean[k] = total[k] / static_cast<double>(group[k].size());
    const std::array<double, lanes> squares = sums(mean, true);
    for (std::size_t k = 0; k < in_group; ++k) {
      out[g + k] = {mean[k], std::sqrt(squares[k] / static_cast<double>(group[k].size()))};
    }
  }
}

void znorm_with(Series& series, const Moments& moments) {
  for (double& x : series) x = (x - moments.mean) / moments.deviation;
}

char get_discrete_value(int alphabet, double value) {
  // NaN is above no breakpoint.
  int count = 0;
  for (const double cut : breakpoints[static_cast<std::size_t>(alphabet)]) count += value > cut ? 1 : 0;
  return static_cast<char>('a' + count);
}

int segment_count(std::size_t samples, int seglen) {
  const double q = static_cast<double>(samples) / static_cast<double>(seglen);
  const double count = std::ceil(q);
  // NaN fails both comparisons; an infinite q fails the upper one.
  if (!(count >= 0.0 && count <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    throw_vector_length_error(VectorCall::construct);
  }
  return static_cast<int>(count);
}

Symbols get_row(const Series& series, int seglen, int alphabet) {
  return get_row(series.data(), series.size(), seglen, alphabet);
}

Symbols get_row(const double* samples, std::size_t samples_count, int seglen, int alphabet) {
  const int count = segment_count(samples_count, seglen);
  Symbols row(static_cast<std::size_t>(count));
  if (row.empty()) return row;
  // A positive count implies a positive seglen.
  const auto& cuts = breakpoints[static_cast<std::size_t>(alphabet)];
  const std::size_t width = static_cast<std::size_t>(seglen);
  const std::size_t full = samples_count / width;  // segments with all their samples
  std::array<double, block> sums{};
  for (std::size_t i = 0; i < row.size(); i += block) {
    const std::size_t in_block = std::min(block, row.size() - i);
    const std::size_t whole = std::min(in_block, full - std::min(full, i));
    sum_segments(samples + i * width, whole, width, samples_count - i * width, sums.data());
    if (whole < in_block) {
      // The short last segment still divides by seglen, so its missing samples count as zeros.
      double sum = 0.0;
      for (std::size_t j = (i + whole) * width; j < samples_count; ++j) sum += samples[j];
      sums[whole] = sum;
    }
    letters(sums.data(), in_block, seglen, cuts, row.data() + i);
  }
  return row;
}

void check_alphabet(int alphabet) {
  if (alphabet < 0 || alphabet > max_alphabet) {
    throw std::invalid_argument("alphabet must be between 0 and " + std::to_string(max_alphabet) + ", got " +
                                std::to_string(alphabet));
  }
}

SymbolicDataset sax(const Dataset& ts, int seglen, int alphabet, const std::function<void()>& cancelled) {
  check_alphabet(alphabet);
  std::size_t samples = 0;
  for (const Series& series : ts) samples += series.size();
  SymbolicDataset result(ts.size());
  const auto rows = [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) result[r] = get_row(ts[r], seglen, alphabet);
  };
  parallel_for(ts.size(), part_size(ts.size(), samples), rows, [&cancelled](std::size_t) {
    if (cancelled) cancelled();
  });
  return result;
}

SymbolicDataset sax_table(const Table& table, int seglen, int alphabet, const std::function<void()>& meanwhile,
                          const std::function<void()>& cancelled) {
  check_alphabet(alphabet);
  // Every row has the same length, so whichever part fails first fails as any row would.
  SymbolicDataset result(table.rows);
  const auto rows = [&](std::size_t begin, std::size_t end) {
    for (std::size_t r = begin; r < end; ++r) {
      result[r] = get_row(table.data + static_cast<std::ptrdiff_t>(r) * table.stride, table.cols, seglen, alphabet);
    }
  };
  const auto look = [&cancelled](std::size_t) {
    if (cancelled) cancelled();
  };
  parallel_for(table.rows, part_size(table.rows, table.rows * table.cols), rows, look, meanwhile);
  return result;
}

}  // namespace kez
