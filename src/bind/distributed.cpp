#include "bind/distributed.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "bind/arguments.h"
#include "bind/lock.h"
#include "bind/results.h"
#include "miner.h"
#include "shard.h"

namespace kez::bind {

namespace {

// A contiguous 1-D buffer of `T`s (by item size and kind), held; anything else is refused naming `what`.
template <typename T>
py::buffer_info checked_buffer(const py::handle src, const std::string& what) {
  if (PyObject_CheckBuffer(src.ptr()) == 0) throw py::type_error(what + " must be a buffer, not " + a_type(src));
  py::buffer_info info = py::reinterpret_borrow<py::buffer>(src).request();
  const std::string format = info.format.empty() ? "" : info.format.substr(info.format.size() - 1);
  const bool floating = format == "d";
  const bool integral = !format.empty() && std::string("bBhHiIlLqQ").find(format) != std::string::npos;
  const bool kind_fits = std::is_floating_point<T>::value ? floating : integral;
  if (info.ndim != 1 || info.itemsize != static_cast<py::ssize_t>(sizeof(T)) || !kind_fits ||
      info.strides[0] != info.itemsize) {
    throw py::type_error(what + " must be a contiguous 1-D buffer of " + std::to_string(sizeof(T)) + "-byte " +
                         (std::is_floating_point<T>::value ? "floats" : "integers"));
  }
  return info;
}

py::buffer_info double_buffer(const py::handle src, const std::string& what) {
  return checked_buffer<double>(src, what);
}

// The same buffer's values, copied.
template <typename T>
std::vector<T> buffer_values(const py::handle src, const std::string& what) {
  const py::buffer_info info = checked_buffer<T>(src, what);
  std::vector<T> values(static_cast<std::size_t>(info.shape[0]));
  if (!values.empty()) std::memcpy(values.data(), info.ptr, values.size() * sizeof(T));
  return values;
}

// A plan as the tuple of arrays that crosses the network, and back.
py::tuple plan_tuple(const ShardPlan& p) {
  return tuple_of({array_object("i", p.lengths.data(), p.lengths.size()),
                   array_object("I", p.record.data(), p.record.size()),
                   array_object("i", p.series.data(), p.series.size()), array_object("Q", p.ends.data(), p.ends.size()),
                   array_object("i", p.positions.data(), p.positions.size())});
}

ShardPlan plan_from(const py::tuple& t) {
  if (t.size() != 5) throw py::value_error("plan must be a tuple of 5 arrays");
  ShardPlan p;
  p.lengths = buffer_values<std::int32_t>(t[0], "plan lengths");
  p.record = buffer_values<std::uint32_t>(t[1], "plan records");
  p.series = buffer_values<std::int32_t>(t[2], "plan series");
  p.ends = buffer_values<std::uint64_t>(t[3], "plan ends");
  p.positions = buffer_values<std::int32_t>(t[4], "plan positions");
  return p;
}

// One shard of whole series on a worker: normalised, with their letters, kept between the rounds of a run.
struct Shard {
  Dataset series;
  SymbolicDataset letters;
};

Shard new_shard(SeriesList ts, int seglen, int alphabet) {
  Shard shard;
  if (ts.table) {
    const auto rows = static_cast<py::ssize_t>(ts.table->shape[0]);
    shard.series.reserve(static_cast<std::size_t>(rows));
    for (py::ssize_t r = 0; r < rows; ++r) shard.series.push_back(table_row(ts, r));
  } else {
    shard.series = std::move(ts.series);
  }
  shard.letters = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    return shard_letters(shard.series, seglen, alphabet, look);
  });
  return shard;
}

py::list shard_letter_list(const Shard& shard) {
  return list_of(shard.letters.size(),
                 [&shard](std::size_t i) { return bytes_object(shard.letters[i].data(), shard.letters[i].size()); });
}

std::size_t shard_bytes(const Shard& shard) {
  std::size_t bytes =
      sizeof(Shard) + shard.series.capacity() * sizeof(Series) + shard.letters.capacity() * sizeof(Symbols);
  for (const Series& s : shard.series) bytes += s.capacity() * sizeof(double);
  for (const Symbols& s : shard.letters) bytes += s.capacity();
  return bytes;
}

py::object shard_averages_of(const Shard& shard, const py::tuple& plan, int seglen) {
  const ShardPlan p = plan_from(plan);
  const std::vector<double> rows = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    return shard_averages(shard.series, p, seglen, look);
  });
  return array_object("d", rows.data(), rows.size());
}

py::tuple shard_best_of(const Shard& shard, const py::tuple& plan, int seglen, const py::handle representatives) {
  const ShardPlan p = plan_from(plan);
  const std::vector<double> shapes = buffer_values<double>(representatives, "representatives");
  const ShardBest best = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    return shard_best(shard.series, p, seglen, shapes, look);
  });
  return tuple_of({array_object("d", best.distances.data(), best.distances.size()),
                   array_object("i", best.positions.data(), best.positions.size())});
}

// Saved flat: every sample as the bytes of one object, then each series' length; the letters, then each row's
// length. A shard is written out and read back whenever its worker spills it, so each sample is copied once
// each way, from its series into the bytes and back.
py::tuple shard_state(const Shard& shard) {
  std::vector<std::uint64_t> lengths;
  std::string letters;
  std::vector<std::uint64_t> letter_lengths;
  std::size_t samples = 0;
  for (const Series& s : shard.series) {
    lengths.push_back(s.size());
    samples += s.size();
  }
  py::object bytes = owned(PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(samples * sizeof(double))));
  char* at = PyBytes_AS_STRING(bytes.ptr());
  for (const Series& s : shard.series) {
    if (!s.empty()) std::memcpy(at, s.data(), s.size() * sizeof(double));
    at += s.size() * sizeof(double);
  }
  for (const Symbols& row : shard.letters) {
    letters.append(row.begin(), row.end());
    letter_lengths.push_back(row.size());
  }
  return tuple_of({bytes, array_object("Q", lengths.data(), lengths.size()),
                   bytes_object(letters.data(), letters.size()),
                   array_object("Q", letter_lengths.data(), letter_lengths.size())});
}

Shard shard_from_state(const py::tuple& t) {
  if (t.size() != 4 || !PyBytes_Check(t[0].ptr()) || !PyBytes_Check(t[2].ptr())) {
    throw py::value_error("shard state must be a tuple of bytes, lengths, bytes and lengths");
  }
  const char* samples = PyBytes_AS_STRING(t[0].ptr());
  const auto sample_count = static_cast<std::size_t>(PyBytes_GET_SIZE(t[0].ptr())) / sizeof(double);
  const std::vector<std::uint64_t> lengths = buffer_values<std::uint64_t>(t[1], "shard lengths");
  const char* letters = PyBytes_AS_STRING(t[2].ptr());
  const auto letter_count = static_cast<std::size_t>(PyBytes_GET_SIZE(t[2].ptr()));
  const std::vector<std::uint64_t> letter_lengths = buffer_values<std::uint64_t>(t[3], "shard letter lengths");
  Shard shard;
  shard.series.reserve(lengths.size());
  std::size_t at = 0;
  for (const std::uint64_t n : lengths) {
    if (n > sample_count - at) throw py::value_error("shard state's lengths exceed its samples");
    Series& series = shard.series.emplace_back(static_cast<std::size_t>(n));
    if (n > 0) std::memcpy(series.data(), samples + at * sizeof(double), n * sizeof(double));
    at += n;
  }
  at = 0;
  shard.letters.reserve(letter_lengths.size());
  for (const std::uint64_t n : letter_lengths) {
    if (n > letter_count - at) throw py::value_error("shard state's letter lengths exceed its letters");
    shard.letters.emplace_back(letters + at, letters + at + n);
    at += n;
  }
  return shard;
}

// The driver's records of a run, mined from every shard's letters, mapped batch by batch from the shards' parts.
struct Mapping {
  std::vector<Motif> motifs;
};

// Rows of letters, each a bytes-like object, as they came from the shards.
SymbolicDataset letter_rows(const py::list& rows) {
  SymbolicDataset letters;
  letters.reserve(rows.size());
  for (const py::handle row : rows) {
    const std::vector<std::uint8_t> bytes = buffer_values<std::uint8_t>(row, "letters");
    letters.emplace_back(bytes.begin(), bytes.end());
  }
  return letters;
}

Mapping mine_letters(const py::list& rows, double minsup, int min_len, int max_len, double max_overlap,
                     const py::object& report) {
  const SymbolicDataset letters = letter_rows(rows);
  PatternMiner miner(PatternMiner::Options{minsup, min_len, max_len, max_overlap});
  std::optional<ProgressForwarder> forward;
  if (!report.is_none()) forward.emplace(py::reinterpret_borrow<py::function>(report));
  unlocked_run(forward ? &*forward : nullptr, [&](const CancelCheck& look, const ProgressReport& progress) {
    miner.mine(letters, look, progress);
    return true;
  });
  Mapping mapping;
  for (auto& entry : miner.take_frequent()) mapping.motifs.push_back(std::move(entry.second));
  return mapping;
}

// The checked batch [first, last) of the records.
void check_batch(const Mapping& mapping, std::size_t first, std::size_t last) {
  if (first > last || last > mapping.motifs.size()) {
    throw py::index_error("batch [" + std::to_string(first) + ", " + std::to_string(last) + ") is not within the " +
                          std::to_string(mapping.motifs.size()) + " records");
  }
}

py::list mapping_sizes(const Mapping& mapping, int seglen) {
  return list_of(mapping.motifs.size(), [&](std::size_t m) {
    const Motif& motif = mapping.motifs[m];
    return size_object(motif.get_support() * motif.pattern.size() * static_cast<std::size_t>(seglen));
  });
}

py::list mapping_plans(const Mapping& mapping, std::size_t first, std::size_t last,
                       const std::vector<std::size_t>& starts, int seglen) {
  check_batch(mapping, first, last);
  const std::vector<ShardPlan> plans = shard_plans(mapping.motifs, first, last, starts, seglen);
  return list_of(plans.size(), [&plans](std::size_t i) { return plan_tuple(plans[i]); });
}

void mapping_fold_averages(Mapping& mapping, std::size_t first, std::size_t last, int seglen,
                           const std::vector<std::size_t>& starts, const py::list& rows, bool keep_averages) {
  check_batch(mapping, first, last);
  // Read where they lie, as the shards sent them: a batch of averages is the largest thing the driver holds.
  std::vector<py::buffer_info> held;
  std::vector<ShardRows> values;
  for (const py::handle r : rows) {
    held.push_back(double_buffer(r, "averages"));
    values.push_back({static_cast<const double*>(held.back().ptr), static_cast<std::size_t>(held.back().shape[0])});
  }
  fold_averages(mapping.motifs, first, last, seglen, starts, values, keep_averages);
}

py::object mapping_representatives(const Mapping& mapping, std::size_t first, std::size_t last) {
  check_batch(mapping, first, last);
  std::vector<double> shapes;
  for (std::size_t m = first; m < last; ++m) {
    const std::vector<double> shape = mapping.motifs[m].get_representative();
    shapes.insert(shapes.end(), shape.begin(), shape.end());
  }
  return array_object("d", shapes.data(), shapes.size());
}

void mapping_fold_best(Mapping& mapping, std::size_t first, std::size_t last, const std::vector<std::size_t>& starts,
                       const py::list& best) {
  check_batch(mapping, first, last);
  std::vector<ShardBest> values;
  for (const py::handle b : best) {
    const py::tuple pair = py::reinterpret_borrow<py::tuple>(b);
    if (pair.size() != 2) throw py::value_error("best matches must be pairs of arrays");
    values.push_back({buffer_values<double>(pair[0], "distances"), buffer_values<std::int32_t>(pair[1], "positions")});
  }
  fold_best(mapping.motifs, first, last, starts, values);
}

py::list mapping_ranked(Mapping& mapping, int k) {
  rank_motifs(mapping.motifs);
  return motif_list(best_of_ranked(mapping.motifs, k));
}

}  // namespace

void define_shard(py::module_& m) {
  py::class_<Shard>(m, "_Shard")
      .def(py::init(&new_shard), py::arg("ts"), py::arg("seglen"), py::arg("alphabet"))
      .def("letters", &shard_letter_list)
      .def("averages", &shard_averages_of)
      .def("best", &shard_best_of)
      .def("__len__", [](const Shard& s) { return s.series.size(); })
      .def("__sizeof__", &shard_bytes)
      .def(py::pickle(&shard_state, &shard_from_state));
  py::class_<Mapping>(m, "_Mapping")
      .def("__len__", [](const Mapping& mapping) { return mapping.motifs.size(); })
      .def("sizes", &mapping_sizes)
      .def("plans", &mapping_plans)
      .def("fold_averages", &mapping_fold_averages)
      .def("representatives", &mapping_representatives)
      .def("fold_best", &mapping_fold_best)
      .def("ranked", &mapping_ranked);
  m.def("_mine_letters", &mine_letters);
}

}  // namespace kez::bind
