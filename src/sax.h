// SAX discretisation: z-normalisation and the mapping of segment means to letters.
#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace kez {

// One numeric series: samples in time order.
using Series = std::vector<double>;
// A collection of series, addressed by zero-based series index.
using Dataset = std::vector<Series>;
// One symbol sequence: a letter (one byte) per segment.
using Symbols = std::vector<char>;
// One symbol sequence per series, in the order of the series.
using SymbolicDataset = std::vector<Symbols>;

// Gaussian breakpoints, one ascending row per alphabet size 0 to 10.
extern const std::vector<std::vector<double>> breakpoints;

// Largest alphabet size that has a row in `breakpoints`.
constexpr int max_alphabet = 10;

// Z-normalises every series in place (population deviation, no guard for zero).
void znorm(Dataset& ts);

// Z-normalises one series in place, as znorm does each series of a dataset.
void znorm_series(Series& series);

// Z-normalises the `count` series from `first` in place, each exactly as znorm_series does, several side by side.
void znorm_each(Series* first, std::size_t count);

// The mean of a series and its population deviation, which z-normalising it subtracts and divides by.
struct Moments {
  double mean = 0.0;
  double deviation = 0.0;
};

// Stores in out[i] the moments of series first[i], for each of the `count` series, as znorm_series finds them.
void moments_each(const Series* first, std::size_t count, Moments* out);

// Z-normalises `series` in place with its `moments`, as znorm_series does once it has found them.
void znorm_with(Series& series, const Moments& moments);

// Returns the letter of `value`: 'a' plus the number of breakpoints of row `alphabet` below it; the one-value
// rule that get_row's letters are tested against.
char get_discrete_value(int alphabet, double value);

// The number of segments of `seglen` samples, the last perhaps short, in `samples` samples; throws
// std::length_error when there can be no such number.
int segment_count(std::size_t samples, int seglen);

// Cuts `series` into segments of `seglen` samples and gives each segment's mean a letter.
Symbols get_row(const Series& series, int seglen, int alphabet);

// The same for the `count` samples starting at `samples`, wherever they are stored.
Symbols get_row(const double* samples, std::size_t count, int seglen, int alphabet);

// Throws std::invalid_argument naming `alphabet` unless it has a row in `breakpoints`.
void check_alphabet(int alphabet);

// Discretises every series of `ts`, polling `cancelled` (which stops the work by throwing) between parts of
// them; throws std::invalid_argument for an alphabet outside 0..10.
SymbolicDataset sax(const Dataset& ts, int seglen, int alphabet, const std::function<void()>& cancelled = {});

// Series read where they lie: `rows` series of `cols` samples, series r starting at data + r * stride.
struct Table {
  const double* data;
  std::size_t rows;
  std::size_t cols;
  std::ptrdiff_t stride;
};

// Discretises every series of `table` as sax does a dataset, running `meanwhile` on the calling thread
// first and polling `cancelled` there between parts of rows; a large table's rows are shared out on the
// pool's threads, which changes nothing in the result.
SymbolicDataset sax_table(const Table& table, int seglen, int alphabet, const std::function<void()>& meanwhile,
                          const std::function<void()>& cancelled = {});

}  // namespace kez
