#include "sax.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

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

// The standard length error, worded as the vector's own, for a segment count that cannot exist.
[[noreturn]] void fail_segment_count() {
  throw std::length_error("cannot create std::vector larger than max_size()");
}

int segment_count(std::size_t samples, int seglen) {
  const double q = static_cast<double>(samples) / static_cast<double>(seglen);
  const double count = std::ceil(q);
  // NaN fails both comparisons; an infinite q fails the upper one.
  if (!(count >= 0.0 && count <= static_cast<double>(std::numeric_limits<std::int32_t>::max()))) {
    fail_segment_count();
  }
  return static_cast<int>(count);
}

// 'a' plus the number of breakpoints strictly below the value; NaN is above none.
char letter_of(const double* cuts, std::size_t size, double value) {
  int count = 0;
  for (std::size_t k = 0; k < size; ++k) count += value > cuts[k] ? 1 : 0;
  return static_cast<char>('a' + count);
}

// The samples of one series and how they are cut.
struct Segments {
  const double* data;
  std::size_t n;
  std::size_t width;
  int seglen;
};

// The letter of each segment's mean, with the row's breakpoints known at compile time so that the
// comparisons unroll into straight-line code.
template <std::size_t M>
void discretise(const Segments& in, const std::vector<double>& row_cuts, Symbols& row) {
  std::array<double, M> cuts{};
  std::copy_n(row_cuts.begin(), M, cuts.begin());
  const auto letter = [&cuts](double value) {
    int count = 0;
    for (std::size_t k = 0; k < M; ++k) count += value > cuts[k] ? 1 : 0;
    return static_cast<char>('a' + count);
  };
  const std::size_t width = in.width;
  const std::size_t full = in.n / width;  // segments with all their samples
  std::size_t i = 0;
  // Eight segments at a time: each still sums its own samples first to last from 0.0, but the eight
  // chains of additions overlap in the processor instead of waiting on one another.
  constexpr std::size_t lanes = 8;
  for (; i + lanes <= full; i += lanes) {
    const double* p = in.data + i * width;
    std::array<double, lanes> sums{};
    for (std::size_t j = 0; j < width; ++j) {
      for (std::size_t k = 0; k < lanes; ++k) sums[k] += p[k * width + j];
    }
    for (std::size_t k = 0; k < lanes; ++k) row[i + k] = letter(sums[k] / in.seglen);
  }
  for (; i < row.size(); ++i) {
    const std::size_t begin = i * width;
    const std::size_t end = std::min(begin + width, in.n);
    double sum = 0.0;
    for (std::size_t j = begin; j < end; ++j) sum += in.data[j];
    // The divisor is seglen, so a short last segment counts its missing samples as zeros.
    row[i] = letter(sum / in.seglen);
  }
}

}  // namespace

void znorm(Dataset& ts) {
  for (Series& series : ts) znorm_series(series);
}

void znorm_series(Series& series) {
  if (series.empty()) return;
  const double n = static_cast<double>(series.size());
  double sum = 0.0;
  for (const double x : series) sum += x;
  const double mean = sum / n;
  for (double& x : series) x -= mean;
  double squares = 0.0;
  for (const double x : series) squares += x * x;
  const double deviation = std::sqrt(squares / n);
  for (double& x : series) x /= deviation;
}

char get_discrete_value(int alphabet, double value) {
  const auto& cuts = breakpoints[static_cast<std::size_t>(alphabet)];
  return letter_of(cuts.data(), cuts.size(), value);
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
  const Segments segments{samples, samples_count, static_cast<std::size_t>(seglen), seglen};
  switch (cuts.size()) {
    case 0: discretise<0>(segments, cuts, row); break;
    case 1: discretise<1>(segments, cuts, row); break;
    case 2: discretise<2>(segments, cuts, row); break;
    case 3: discretise<3>(segments, cuts, row); break;
    case 4: discretise<4>(segments, cuts, row); break;
    case 5: discretise<5>(segments, cuts, row); break;
    case 6: discretise<6>(segments, cuts, row); break;
    case 7: discretise<7>(segments, cuts, row); break;
    case 8: discretise<8>(segments, cuts, row); break;
    default: discretise<9>(segments, cuts, row); break;
  }
  return row;
}

void check_alphabet(int alphabet) {
  if (alphabet < 0 || alphabet > max_alphabet) {
    throw std::invalid_argument("alphabet must be between 0 and " + std::to_string(max_alphabet) +
                                ", got " + std::to_string(alphabet));
  }
}

SymbolicDataset sax(const Dataset& ts, int seglen, int alphabet) {
  check_alphabet(alphabet);
  SymbolicDataset result;
  result.reserve(ts.size());
  for (const Series& series : ts) result.push_back(get_row(series, seglen, alphabet));
  return result;
}

}  // namespace kez
