#include "sax.h"

#include <algorithm>
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

}  // namespace

void znorm(Dataset& ts) {
  for (Series& series : ts) {
    if (series.empty()) continue;
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
}

char get_discrete_value(int alphabet, double value) {
  int count = 0;
  for (const double b : breakpoints[static_cast<std::size_t>(alphabet)]) {
    if (value > b) ++count;
  }
  return static_cast<char>('a' + count);
}

Symbols get_row(const Series& series, int seglen, int alphabet) {
  const int count = segment_count(series.size(), seglen);
  Symbols row(static_cast<std::size_t>(count));
  const std::size_t n = series.size();
  for (std::size_t i = 0; i < row.size(); ++i) {
    // A positive count implies a positive seglen.
    const std::size_t begin = i * static_cast<std::size_t>(seglen);
    const std::size_t end = std::min(begin + static_cast<std::size_t>(seglen), n);
    double sum = 0.0;
    for (std::size_t j = begin; j < end; ++j) sum += series[j];
    // The divisor is seglen, so a short last segment counts its missing samples as zeros.
    row[i] = get_discrete_value(alphabet, sum / seglen);
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
