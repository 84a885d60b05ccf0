// The Python module: argument conversion, one native call, result conversion.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace py = pybind11;
using namespace kez;

namespace {

// Conversion helpers.

// Each symbol byte becomes the character of that code point, the rule by which symbols come in.
py::str symbols_text(const Pattern& pattern) {
  PyObject* text = PyUnicode_DecodeLatin1(pattern.data(), static_cast<Py_ssize_t>(pattern.size()), nullptr);
  if (text == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(text);
}

py::tuple pattern_key(const Pattern& pattern) {
  py::tuple key(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) key[i] = py::cast(pattern[i]);
  return key;
}

py::dict frequent_dict(FrequentMap frequent) {
  py::dict result;
  for (auto& [pattern, motif] : frequent) result[pattern_key(pattern)] = py::cast(std::move(motif));
  return result;
}

// Lets Ctrl-C stop a long run: a pending signal handler's exception unwinds the native call.
void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Class handles.

py::str motif_pattern(const Motif& motif) { return symbols_text(motif.pattern); }

py::str motif_repr(const Motif& motif) { return py::str("Motif('") + symbols_text(motif.pattern) + py::str("')"); }

// Puts a run's object back in its place when the run ends, however it ends.
template <typename Native>
struct PutBack {
  Native& place;
  Native& run;
  ~PutBack() { place = std::move(run); }
};

// A signal handler run by check_signals may call back into the very object being mined, so each run works on
// the object moved aside and puts it back at the end; a nested run then never changes the state under it.
std::vector<Motif> miner_mine(Miner& miner, Dataset ts) {
  Miner run = std::move(miner);
  const PutBack<Miner> put_back{miner, run};
  return run.mine(ts, check_signals);
}

void pattern_miner_mine(PatternMiner& miner, const SymbolicDataset& ds) {
  PatternMiner run = std::move(miner);
  const PutBack<PatternMiner> put_back{miner, run};
  run.mine(ds, check_signals);
}

py::dict pattern_miner_frequent(const PatternMiner& miner) { return frequent_dict(miner.get_frequent()); }

// An instance made by __new__ without __init__ owns no native object, and the binding library would hand its
// methods raw, unconstructed memory in place of one; refusing that allocation turns such a call into TypeError.
template <typename T>
void refuse_uninitialised() {
  py::detail::get_type_info(typeid(T))->operator_new = [](std::size_t) -> void* {
    throw py::type_error("this object was created without __init__ and holds no native object");
  };
}

}  // namespace

// Definitions.

PYBIND11_MODULE(_kez_cpp, m) {
  py::class_<Motif>(m, "Motif")
      .def_property_readonly("pattern", &motif_pattern)
      .def_property_readonly("indexes", &Motif::get_indexes)
      .def_property_readonly("average_occurrences", &Motif::get_average_occurrences)
      .def_property_readonly("representative", &Motif::get_representative)
      .def_property_readonly("best_matches", &Motif::get_best_matches)
      .def_property_readonly("length", &Motif::get_length)
      .def_property_readonly("naed", &Motif::get_naed)
      .def("__repr__", &motif_repr);

  py::class_<Miner>(m, "Miner")
      .def(py::init<double, int, int, int, int, double, int>(), py::arg("minsup"), py::arg("seglen"),
           py::arg("alphabet"), py::arg("min_len") = 3, py::arg("max_len") = 0, py::arg("max_overlap") = 0.9,
           py::arg("k") = 0)
      .def("mine", &miner_mine)
      .def_property_readonly("motifs", &Miner::get_motifs);

  py::class_<PatternMiner>(m, "PatternMiner")
      .def(py::init<double, int, int, double>(), py::arg("minsup"), py::arg("min_len") = 3, py::arg("max_len") = 0,
           py::arg("max_overlap") = 0.9)
      .def("mine", &pattern_miner_mine)
      .def_property_readonly("frequent", &pattern_miner_frequent);

  m.def("sax", &sax, py::arg("ts"), py::arg("seglen"), py::arg("alphabet"));

  refuse_uninitialised<Motif>();
  refuse_uninitialised<Miner>();
  refuse_uninitialised<PatternMiner>();
}
