// Results: native values as new Python objects, each made by the interpreter's own checked constructors.
#include "bind/results.h"

#include <array>

#include "pool.h"

namespace kez::bind {

namespace {

// Each symbol byte becomes the character of that code point, the rule by which symbols come in.
py::str symbols_text(const Pattern& pattern) {
  PyObject* text = PyUnicode_DecodeLatin1(pattern.data(), static_cast<Py_ssize_t>(pattern.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::tuple pattern_key(const Pattern& pattern) {
  std::vector<py::object> symbols;
  symbols.reserve(pattern.size());
  for (const char symbol : pattern) symbols.push_back(owned(PyUnicode_DecodeLatin1(&symbol, 1, nullptr)));
  return tuple_of(symbols);
}

// Sets dict[key] = value, or raises what the dict raised.
void dict_set(const py::object& dict, const py::object& key, const py::object& value) {
  if (PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
}

template <typename T>
py::list int_list(const std::vector<T>& values) {
  return list_of(values.size(), [&values](std::size_t i) { return int_object(values[i]); });
}

py::list float_list(const std::vector<double>& values) {
  return list_of(values.size(), [&values](std::size_t i) { return float_object(values[i]); });
}

// A per-series map as a dict from series index, each value made by value_of, in the map's walk order.
template <typename T, typename Value>
py::dict series_dict(const SeriesMap<T>& map, const Value& value_of) {
  py::object result = owned(PyDict_New());
  for (const auto& [series, value] : map) dict_set(result, int_object(series), value_of(value));
  return py::reinterpret_steal<py::dict>(result.release());
}

// Saved states carry their arrays as bytes in the machine's own layout: exact to the bit in every pickle
// protocol (NaN payloads and signs included) and compact.
template <typename T>
py::bytes packed(const std::vector<T>& values) {
  return py::reinterpret_steal<py::bytes>(
      bytes_object(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)).release());
}

}  // namespace

py::object owned(PyObject* made) {
  if (made == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(made);
}

py::object int_object(long long value) { return owned(PyLong_FromLongLong(value)); }

py::object size_object(std::size_t value) { return owned(PyLong_FromSize_t(value)); }

py::object float_object(double value) { return owned(PyFloat_FromDouble(value)); }

py::object bytes_object(const char* data, std::size_t size) {
  return owned(PyBytes_FromStringAndSize(data, static_cast<py::ssize_t>(size)));
}

py::tuple tuple_of(const std::vector<py::object>& items) {
  py::object tuple = owned(PyTuple_New(static_cast<py::ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SET_ITEM(tuple.ptr(), static_cast<py::ssize_t>(i), items[i].inc_ref().ptr());
  }
  return py::reinterpret_steal<py::tuple>(tuple.release());
}

py::dict frequent_dict(FrequentMap frequent) {
  py::object result = owned(PyDict_New());
  for (auto& [pattern, motif] : frequent) dict_set(result, pattern_key(pattern), instance_object(std::move(motif)));
  return py::reinterpret_steal<py::dict>(result.release());
}

PyObject* hidden_list(std::size_t size) {
  PyObject* const list = PyList_New(static_cast<py::ssize_t>(size));
  if (list == nullptr) throw py::error_already_set();
  PyObject_GC_UnTrack(list);
  return list;
}

py::list motif_list(std::vector<Motif> motifs) {
  return list_of(motifs.size(), [&motifs](std::size_t i) { return instance_object(std::move(motifs[i])); });
}

py::dict motif_indexes(const Motif& motif) {
  return series_dict(motif.get_indexes(),
                     [](const std::vector<std::int32_t>& positions) { return int_list(positions); });
}

py::dict motif_average_occurrences(const Motif& motif) {
  return series_dict(motif.get_average_occurrences(), float_list);
}

py::list motif_representative(const Motif& motif) { return float_list(motif.get_representative()); }

py::dict motif_best_matches(const Motif& motif) { return series_dict(motif.get_best_matches(), int_object); }

py::object motif_length(const Motif& motif) { return int_object(motif.get_length()); }

py::object motif_naed(const Motif& motif) { return float_object(motif.get_naed()); }

py::str motif_pattern(const Motif& motif) { return symbols_text(motif.pattern); }

py::str motif_repr(const Motif& motif) {
  return py::reinterpret_steal<py::str>(
      owned(PyUnicode_FromFormat("Motif('%U')", symbols_text(motif.pattern).ptr())).release());
}

py::list ResultLists::fill(const SymbolicDataset& ds) {
  // Counting and storing touch no Python object's state but the hidden lists' slots, so the pool's workers
  // share the rows out while this thread holds the lock.
  std::size_t total = 0;
  for (const Symbols& row : ds) total += row.size();
  const std::size_t grain = part_size(ds.size(), total);
  std::vector<std::array<py::ssize_t, 256>> part_uses(ds.size() / grain + 1);
  parallel_for(ds.size(), grain, [&](std::size_t begin, std::size_t end) {
    std::array<py::ssize_t, 256>& counted = part_uses[begin / grain];
    counted.fill(0);
    for (std::size_t g = begin; g < end; ++g) {
      for (const char c : ds[g]) ++counted[static_cast<unsigned char>(c)];
    }
  });
  std::array<py::ssize_t, 256> uses{};
  for (std::size_t p = 0; p * grain < ds.size(); ++p) {
    for (std::size_t c = 0; c < uses.size(); ++c) uses[c] += part_uses[p][c];
  }
  std::array<py::object, 256> letters;
  for (std::size_t c = 0; c < letters.size(); ++c) {
    if (uses[c] > 0) letters[c] = py::cast(static_cast<char>(c));
  }
  parallel_for(ds.size(), grain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t g = begin; g < end; ++g) {
      const Symbols& row = ds[g];
      PyObject* const symbols = PyList_GET_ITEM(outer.ptr(), static_cast<py::ssize_t>(g));
      for (std::size_t i = 0; i < row.size(); ++i) {
        PyList_SET_ITEM(symbols, static_cast<py::ssize_t>(i), letters[static_cast<unsigned char>(row[i])].ptr());
      }
    }
  });
  for (std::size_t c = 0; c < letters.size(); ++c) {
    if (uses[c] > 0) Py_SET_REFCNT(letters[c].ptr(), Py_REFCNT(letters[c].ptr()) + uses[c]);
  }
  for (std::size_t g = 0; g < ds.size(); ++g) {
    PyObject_GC_Track(PyList_GET_ITEM(outer.ptr(), static_cast<py::ssize_t>(g)));
  }
  PyObject_GC_Track(outer.ptr());
  return py::reinterpret_steal<py::list>(outer.release());
}

py::list symbolic_list(const SymbolicDataset& ds) {
  return ResultLists(ds.size(), [&ds](std::size_t r) { return ds[r].size(); }).fill(ds);
}

py::tuple motif_state(const Motif& motif) {
  const MotifState s = motif.save();
  return tuple_of({bytes_object(s.pattern.data(), s.pattern.size()), int_object(s.seglen), int_object(s.length),
                   packed(std::vector<double>{s.naed}), size_object(s.index_buckets), packed(s.index_series),
                   packed(s.index_counts), packed(s.index_positions), packed(s.mapped_series), packed(s.best_offsets),
                   packed(s.averages), packed(s.representative)});
}

Motif motif_from_state(const py::tuple& t) {
  const StateItems items(t, "motif state", 12);
  MotifState s;
  const std::string pattern = items.bytes(0, "pattern");
  s.pattern.assign(pattern.begin(), pattern.end());
  s.seglen = items.integer<std::int32_t>(1, "seglen");
  s.length = items.integer<std::int32_t>(2, "length");
  const std::vector<double> naed = items.unpacked<double>(3, "naed");
  if (naed.size() != 1) throw py::value_error("motif state: naed holds " + std::to_string(naed.size()) + " values");
  s.naed = naed[0];
  s.index_buckets = items.integer<std::size_t>(4, "index buckets");
  s.index_series = items.unpacked<std::int32_t>(5, "index series");
  s.index_counts = items.unpacked<std::size_t>(6, "index counts");
  s.index_positions = items.unpacked<std::int32_t>(7, "index positions");
  s.mapped_series = items.unpacked<std::int32_t>(8, "mapped series");
  s.best_offsets = items.unpacked<std::int32_t>(9, "best matches");
  s.averages = items.unpacked<double>(10, "averages");
  s.representative = items.unpacked<double>(11, "representative");
  return Motif(std::move(s));
}

}  // namespace kez::bind
