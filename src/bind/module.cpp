// The module's definitions: its classes and functions, each bound through a small shim.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "bind/arguments.h"
#include "bind/distributed.h"
#include "bind/lock.h"
#include "bind/results.h"
#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "pool.h"
#include "recentre.h"
#include "sax.h"
#include "search.h"
#include "thread_ready.h"

using namespace kez;
using namespace kez::bind;

namespace {

// The names the refusals of `sax` give its int arguments.
constexpr char seglen_name[] = "seglen";
constexpr char alphabet_name[] = "alphabet";

// ---- Class handles: one small shim per binding.

// Puts a run's object back in its place when the run ends, however it ends.
template <typename Native>
struct PutBack {
  Native& place;
  Native& run;
  ~PutBack() { place = std::move(run); }
};

// Rows of a held 2-D buffer of contiguous doubles are discretised where they lie, without the GIL: that
// work touches no Python object, and the held buffer keeps the memory in place. Every row has the same
// number of letters, so the result's lists are made first, with the GIL, while the pool's workers (for a large
// table) already work on the rows. Other rows are converted one at a time.
SymbolLists sax_of(const SeriesList& ts, int seglen, int alphabet) {
  if (!ts.table) return {symbolic_list(sax(ts.series, seglen, alphabet, check_signals))};
  check_alphabet(alphabet);
  const py::buffer_info& t = *ts.table;
  const bool in_place = ts.kind == ElementKind::float_ && t.itemsize == 8 && t.strides[1] == 8 &&
                        reinterpret_cast<std::uintptr_t>(t.ptr) % alignof(double) == 0 &&
                        t.strides[0] % static_cast<py::ssize_t>(alignof(double)) == 0;
  if (!in_place) {
    SymbolicDataset symbols;
    symbols.reserve(static_cast<std::size_t>(t.shape[0]));
    for (py::ssize_t r = 0; r < t.shape[0]; ++r) {
      check_signals();
      symbols.push_back(get_row(table_row(ts, r), seglen, alphabet));
    }
    return {symbolic_list(symbols)};
  }
  const Table table{static_cast<const double*>(t.ptr), static_cast<std::size_t>(t.shape[0]),
                    static_cast<std::size_t>(t.shape[1]), t.strides[0] / static_cast<py::ssize_t>(sizeof(double))};
  if (table.rows == 0) return {symbolic_list({})};
  // Raised here, before any work, as the first row would raise it.
  const auto length = static_cast<std::size_t>(segment_count(table.cols, seglen));
  Unlocked lock(on_main_thread());
  std::optional<ResultLists> lists;
  const auto make_lists = [&] {
    lists.emplace(
        table.rows, [length](std::size_t) { return length; }, &lock);
    lock.release();
  };
  const auto look = [&lock] { lock.look_for_signals(); };
  try {
    const SymbolicDataset symbols = sax_table(table, seglen, alphabet, make_lists, look);
    lock.retake();
    return {lists->fill(symbols)};
  } catch (...) {
    // A failure without the lock takes it back before it leaves; a thread being ended goes as it is.
    if (lock.released()) lock.retake();
    throw;
  }
}

// A held 2-D buffer is read a row at a time, normalised into a scratch series, whenever the miner needs that
// series: the caller's array is the only full copy of the data.
std::vector<Motif> mine_reporting(Guarded<Miner>& miner, SeriesList ts, ProgressForwarder* report) {
  const auto busy = take(miner);
  Miner run = std::move(miner.native);
  const PutBack<Miner> put_back{miner.native, run};
  Dataset series = std::move(ts.series);
  return unlocked_run(report, [&](const CancelCheck& look, const ProgressReport& progress) {
    if (!ts.table) return run.mine(series, look, progress);
    const auto row = [&ts](std::size_t index, Series& scratch) -> const Series& {
      table_row(ts, static_cast<py::ssize_t>(index), scratch);
      return scratch;
    };
    return run.mine_unnormalised(static_cast<std::size_t>(ts.table->shape[0]), row, look, progress);
  });
}

std::vector<Motif> miner_mine(Guarded<Miner>& miner, SeriesList ts) {
  return mine_reporting(miner, std::move(ts), nullptr);
}

void mine_patterns_reporting(Guarded<PatternMiner>& miner, const SymbolicDataset& ds, ProgressForwarder* report) {
  const auto busy = take(miner);
  PatternMiner run = std::move(miner.native);
  const PutBack<PatternMiner> put_back{miner.native, run};
  unlocked_run(report, [&](const CancelCheck& look, const ProgressReport& progress) {
    run.mine(ds, look, progress);
    return true;
  });
}

void pattern_miner_mine(Guarded<PatternMiner>& miner, const SymbolicRows& ds) {
  mine_patterns_reporting(miner, ds.rows, nullptr);
}

// `report` as the callable it must be, refused in one line naming its type if it is none.
py::function progress_callable(const py::object& report) {
  if (PyCallable_Check(report.ptr()) == 0) {
    throw py::type_error("report must be callable as report(stage, done, total), not " + a_type(report));
  }
  return py::reinterpret_borrow<py::function>(report);
}

// The same runs telling `report` how far they have got, for the package's progress display.
std::vector<Motif> miner_mine_reporting(Guarded<Miner>& miner, SeriesList ts, const py::object& report) {
  ProgressForwarder forward(progress_callable(report));
  return mine_reporting(miner, std::move(ts), &forward);
}

void pattern_miner_mine_reporting(Guarded<PatternMiner>& miner, const SymbolicRows& ds, const py::object& report) {
  ProgressForwarder forward(progress_callable(report));
  mine_patterns_reporting(miner, ds.rows, &forward);
}

std::vector<Motif> miner_motifs(Guarded<Miner>& miner) {
  const auto busy = take(miner);
  return miner.native.get_motifs();
}

py::dict pattern_miner_frequent(Guarded<PatternMiner>& miner) {
  const auto busy = take(miner);
  return frequent_dict(miner.native.get_frequent());
}

// Saving and restoring by state. `__reduce__` hands pickle and copy the same recipe for every protocol:
// a bare instance, then `__setstate__`. Without it, protocols 0 and 1 would take the interpreter's
// fallback for classes without a state, which cannot make an instance of a native class.
py::tuple reduce_by_state(const py::object& self) {
  const py::object new_object = py::module_::import("copyreg").attr("__newobj__");
  return tuple_of({new_object, tuple_of({py::type::of(self)}), self.attr("__getstate__")()});
}

// The constructors, from the Python arguments in their order; restoring a saved miner goes through them too.
PatternMiner::Options pattern_options(double minsup, int min_len, int max_len, double max_overlap) {
  return {minsup, min_len, max_len, max_overlap};
}

std::unique_ptr<Guarded<PatternMiner>> new_pattern_miner(double minsup, int min_len, int max_len, double max_overlap) {
  return std::make_unique<Guarded<PatternMiner>>(PatternMiner(pattern_options(minsup, min_len, max_len, max_overlap)));
}

std::unique_ptr<Guarded<Miner>> new_miner(double minsup, int seglen, int alphabet, int min_len, int max_len,
                                          double max_overlap, int k) {
  Miner::Options options;
  options.patterns = pattern_options(minsup, min_len, max_len, max_overlap);
  options.seglen = seglen;
  options.alphabet = alphabet;
  options.k = k;
  return std::make_unique<Guarded<Miner>>(Miner(options));
}

py::tuple miner_state(Guarded<Miner>& guarded) {
  const auto busy = take(guarded);
  const Miner& miner = guarded.native;
  const Miner::Options o = miner.get_options();
  const PatternMiner::Options& p = o.patterns;
  return tuple_of({float_object(p.minsup), int_object(o.seglen), int_object(o.alphabet), int_object(p.min_len),
                   int_object(p.max_len), float_object(p.max_overlap), int_object(o.k),
                   motif_list(miner.get_motifs())});
}

std::unique_ptr<Guarded<Miner>> miner_from_state(const py::tuple& t) {
  const StateItems items(t, "miner state", 8);
  auto miner = new_miner(items.real(0, "minsup"), items.integer<int>(1, "seglen"), items.integer<int>(2, "alphabet"),
                         items.integer<int>(3, "min_len"), items.integer<int>(4, "max_len"),
                         items.real(5, "max_overlap"), items.integer<int>(6, "k"));
  miner->native.set_motifs(items.motifs(7, "motifs"));
  return miner;
}

py::tuple pattern_miner_state(Guarded<PatternMiner>& guarded) {
  const auto busy = take(guarded);
  const PatternMiner& miner = guarded.native;
  const PatternMiner::Options p = miner.get_options();
  FrequentMap frequent = miner.get_frequent();
  auto next = frequent.begin();
  const py::list records =
      list_of(frequent.size(), [&next](std::size_t) { return instance_object(std::move((next++)->second)); });
  return tuple_of(
      {float_object(p.minsup), int_object(p.min_len), int_object(p.max_len), float_object(p.max_overlap), records});
}

std::unique_ptr<Guarded<PatternMiner>> pattern_miner_from_state(const py::tuple& t) {
  const StateItems items(t, "pattern miner state", 5);
  auto miner = new_pattern_miner(items.real(0, "minsup"), items.integer<int>(1, "min_len"),
                                 items.integer<int>(2, "max_len"), items.real(3, "max_overlap"));
  FrequentMap frequent;
  for (Motif& record : items.motifs(4, "frequent")) {
    Pattern key = record.pattern;
    frequent.insert_or_assign(std::move(key), std::move(record));
  }
  miner->native.set_frequent(std::move(frequent));
  return miner;
}

// The package's reader: the series of a dataset argument exactly as `mine` reads them, a held 2-D buffer's rows
// included, each an array('d'), which `mine` reads back with one copy. Each series is let go once copied, so the
// data are held about once. An argument `mine` refuses is refused with the same message.
py::list read_series(SeriesList read) {
  const std::size_t rows = read.table ? static_cast<std::size_t>(read.table->shape[0]) : read.series.size();
  Series row;
  return list_of(rows, [&](std::size_t r) {
    check_signals();
    if (read.table) table_row(read, static_cast<py::ssize_t>(r), row);
    Series& values = read.table ? row : read.series[r];
    py::object series = array_object("d", values.data(), values.size());
    if (!read.table) Series().swap(values);
    return series;
  });
}

// An instance made by __new__ without __init__ owns no native object, and the binding library would hand its
// methods raw, unconstructed memory in place of one; refusing that allocation turns such a call into TypeError.
template <typename T>
void refuse_uninitialised() {
  py::detail::get_type_info(typeid(T))->operator_new = [](std::size_t) -> void* {
    throw py::type_error("this object was created without __init__ and holds no native object");
  };
}

}  // namespace

// ---- Exact search: each series' window nearest to each query shape.

namespace {

// For each query, the offsets and distances of every series' nearest window, found without the interpreter
// lock; a held 2-D buffer is read a row at a time where it lies. `seeds`, when given, holds per query an offset
// per series to compute first; it changes no result.
py::list nearest_windows(const std::vector<Series>& queries, SeriesList ts, const Seeds& seeds) {
  Dataset series = std::move(ts.series);
  const auto found = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    if (!ts.table) return nearest(queries, seeds, series, look);
    const auto row = [&ts](std::size_t index, Series& scratch) -> const Series& {
      table_row(ts, static_cast<py::ssize_t>(index), scratch);
      return scratch;
    };
    return nearest(queries, seeds, static_cast<std::size_t>(ts.table->shape[0]), row, look);
  });
  return list_of(found.size(), [&found](std::size_t q) {
    return tuple_of({array_object("q", found[q].offsets.data(), found[q].offsets.size()),
                     array_object("d", found[q].distances.data(), found[q].distances.size())});
  });
}

// For each query, per series (those of `wanted`, when given), the nearest of the given windows (each start moved by
// each shift), its distance, and the distance of the nearest given window not overlapping it, measured without the
// interpreter lock.
py::list nearest_among_windows(const std::vector<Series>& queries, SeriesList ts, const Seeds& starts,
                               const std::vector<std::int64_t>& shifts, const SeriesSets& wanted) {
  Dataset series = std::move(ts.series);
  const auto found = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    if (!ts.table) {
      const auto stored = [&series](std::size_t index, Series&) -> const Series& { return series[index]; };
      return nearest_among(queries, starts, shifts, wanted, series.size(), stored, look);
    }
    const auto row = [&ts](std::size_t index, Series& scratch) -> const Series& {
      table_row(ts, static_cast<py::ssize_t>(index), scratch);
      return scratch;
    };
    return nearest_among(queries, starts, shifts, wanted, static_cast<std::size_t>(ts.table->shape[0]), row, look);
  });
  return list_of(found.size(), [&found](std::size_t q) {
    return tuple_of({array_object("q", found[q].offsets.data(), found[q].offsets.size()),
                     array_object("d", found[q].distances.data(), found[q].distances.size()),
                     array_object("d", found[q].elsewhere.data(), found[q].elsewhere.size())});
  });
}

// For each shape, the z-normalised mean of the z-normalised windows of `widths[i]` samples at `windows[i]`, each
// a (series, offset), computed without the interpreter lock.
py::list mean_windows(SeriesList ts, const std::vector<std::size_t>& widths,
                      const std::vector<std::vector<std::pair<std::size_t, std::int64_t>>>& windows) {
  if (widths.size() != windows.size()) {
    throw py::value_error("widths and windows differ in length: " + std::to_string(widths.size()) + " and " +
                          std::to_string(windows.size()));
  }
  std::vector<WindowSet> sets;
  sets.reserve(widths.size());
  for (std::size_t i = 0; i < widths.size(); ++i) sets.push_back({widths[i], windows[i]});
  Dataset series = std::move(ts.series);
  const auto found = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    if (!ts.table) {
      const auto stored = [&series](std::size_t index, Series&) -> const Series& { return series[index]; };
      return mean_shapes(sets, series.size(), stored, look);
    }
    const auto row = [&ts](std::size_t index, Series& scratch) -> const Series& {
      table_row(ts, static_cast<py::ssize_t>(index), scratch);
      return scratch;
    };
    return mean_shapes(sets, static_cast<std::size_t>(ts.table->shape[0]), row, look);
  });
  return list_of(found.size(), [&found](std::size_t i) { return array_object("d", found[i].data(), found[i].size()); });
}

}  // namespace

// ---- Definitions.

PYBIND11_MODULE(_kez_cpp, m) {
  // The importing thread, mostly the main one, is ready before anything can run short.
  ready_to_throw();
  // The Python defaults are those of the options.
  const PatternMiner::Options pattern_defaults;
  const Miner::Options miner_defaults;
  py::class_<Motif>(m, "Motif")
      .def_property_readonly("pattern", &motif_pattern)
      .def_property_readonly("indexes", &motif_indexes)
      .def_property_readonly("average_occurrences", &motif_average_occurrences)
      .def_property_readonly("representative", &motif_representative)
      .def_property_readonly("best_matches", &motif_best_matches)
      .def_property_readonly("length", &motif_length)
      .def_property_readonly("naed", &motif_naed)
      .def("__repr__", &motif_repr)
      .def(py::pickle(&motif_state, &motif_from_state))
      .def("__reduce__", &reduce_by_state);

  py::class_<Guarded<Miner>>(m, "Miner")
      .def(py::init(&new_miner), py::arg("minsup"), py::arg("seglen"), py::arg("alphabet"),
           py::arg("min_len") = pattern_defaults.min_len, py::arg("max_len") = pattern_defaults.max_len,
           py::arg("max_overlap") = pattern_defaults.max_overlap, py::arg("k") = miner_defaults.k)
      .def("mine", &miner_mine)
      .def_property_readonly("motifs", &miner_motifs)
      .def(py::pickle(&miner_state, &miner_from_state))
      .def("__reduce__", &reduce_by_state);

  py::class_<Guarded<PatternMiner>>(m, "PatternMiner")
      .def(py::init(&new_pattern_miner), py::arg("minsup"), py::arg("min_len") = pattern_defaults.min_len,
           py::arg("max_len") = pattern_defaults.max_len, py::arg("max_overlap") = pattern_defaults.max_overlap)
      .def("mine", &pattern_miner_mine)
      .def_property_readonly("frequent", &pattern_miner_frequent)
      .def(py::pickle(&pattern_miner_state, &pattern_miner_from_state))
      .def("__reduce__", &reduce_by_state);

  m.def(
      "sax",
      [](const SeriesList& ts, NamedInt<seglen_name> seglen, NamedInt<alphabet_name> alphabet) {
        return sax_of(ts, seglen.value, alphabet.value);
      },
      py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));

  // Not part of the public interface: the kez package shows progress through these.
  m.def("_mine_reporting", &miner_mine_reporting);
  m.def("_mine_patterns_reporting", &pattern_miner_mine_reporting);
  // Not part of the public interface either: kez.set_threads and kez.threads.
  m.def("_set_threads", &set_threads);
  m.def("_threads", [] { return size_object(thread_count()); });
  // For the tests only: small inputs split as large ones do.
  m.def("_split_everything", &set_split_everything);
  // The kez package's helpers read their series through this.
  m.def("_read_series", &read_series);
  m.def("_nearest", &nearest_windows, py::arg("queries"), py::arg("ts"), py::arg("seeds") = Seeds{});
  m.def("_mean_shapes", &mean_windows, py::arg("ts"), py::arg("widths"), py::arg("windows"));
  m.def("_nearest_among", &nearest_among_windows, py::arg("queries"), py::arg("ts"), py::arg("starts"),
        py::arg("shifts") = std::vector<std::int64_t>{}, py::arg("series") = SeriesSets{});
  // The steps of kez.mine_distributed, on the workers and on the driver.
  define_shard(m);

  refuse_uninitialised<Motif>();
  refuse_uninitialised<Guarded<Miner>>();
  refuse_uninitialised<Guarded<PatternMiner>>();
}
