// The Python module: argument conversion, one native call, result conversion. In order: signals and the
// interpreter lock, results, the buffer reader, arguments, the casters, class handles, definitions.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "pool.h"
#include "sax.h"
#include "search.h"
#include "thread_ready.h"

namespace py = pybind11;
using namespace kez;

namespace {

// ---- Signals and the interpreter lock.

// Lets Ctrl-C stop a long run: a pending signal handler's exception unwinds the native call.
void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// The interpreter lock, given up for native work that touches no Python object. A thread other than the main one
// that wants it back while the interpreter shuts down waits until the process ends, since taking it would end the
// thread by a forced unwind. In case the shutdown begins just after that check, the lock is taken back by plain
// calls, never by a destructor: the unwind must meet no destructor that may not throw, and may release no Python
// object.
class Unlocked {
 public:
  explicit Unlocked(bool on_main) : main(on_main) {}
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

  void release() {
    saved = PyEval_SaveThread();
    state = State::released;
  }
  void retake() {
    state = State::retaking;
    if (!main && _Py_IsFinalizing() != 0) {
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    PyEval_RestoreThread(saved);
    state = State::held;
  }
  // Takes the lock back for a moment to run pending signal handlers. A look may wait for another thread that
  // holds the lock, so looks are spaced in time, at most one every 50 ms, and made only on the main thread,
  // where handlers run. A handler's exception leaves with the lock held.
  void look_for_signals() {
    if (!main || std::chrono::steady_clock::now() - looked < std::chrono::milliseconds(50)) return;
    retake();
    check_signals();
    release();
    looked = std::chrono::steady_clock::now();
  }
  // Whether this thread holds the lock.
  bool held() const { return state == State::held; }
  // Whether the lock is given up and not being asked for, so that a failure must retake it before it leaves.
  bool released() const { return state == State::released; }

 private:
  enum class State { held, released, retaking };
  const bool main;
  State state = State::held;
  PyThreadState* saved = nullptr;
  std::chrono::steady_clock::time_point looked = std::chrono::steady_clock::now();
};

template <typename Native>
struct Guarded;

}  // namespace

// An interpreter thread other than the importing one enters the module through a method of a bound class (`self`,
// loaded first) or a function whose first argument is a dataset; either load readies it to throw before the call
// allocates anything much.
namespace pybind11::detail {

template <typename Class>
struct ReadyingCaster : type_caster_base<Class> {
  bool load(handle src, bool convert) {
    ready_to_throw();
    return type_caster_base<Class>::load(src, convert);
  }
};

template <>
class type_caster<Motif> : public ReadyingCaster<Motif> {};
template <>
class type_caster<Guarded<Miner>> : public ReadyingCaster<Guarded<Miner>> {};
template <>
class type_caster<Guarded<PatternMiner>> : public ReadyingCaster<Guarded<PatternMiner>> {};

}  // namespace pybind11::detail

namespace {

// ---- Results: native values as new Python objects.
//
// Every result is made here from the interpreter's own constructors, each checked: when one cannot allocate, the
// error it set (MemoryError) is the call's. The binding library's object constructors would raise RuntimeError
// instead, and its casters TypeError for a result they could not make.

// Takes the new reference a C API call returned, or raises the error the call set when it returned none.
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

// A tuple of `items`, all made before it, so that no allocation (which may run the collector and its callbacks)
// meets it half filled.
py::tuple tuple_of(const std::vector<py::object>& items) {
  py::object tuple = owned(PyTuple_New(static_cast<py::ssize_t>(items.size())));
  for (std::size_t i = 0; i < items.size(); ++i) {
    PyTuple_SET_ITEM(tuple.ptr(), static_cast<py::ssize_t>(i), items[i].inc_ref().ptr());
  }
  return py::reinterpret_steal<py::tuple>(tuple.release());
}

// A bound class's instance holding `native`, as the binding library makes it, or the error that stopped it.
template <typename Native>
py::object instance_object(Native native) {
  return owned(py::cast(std::move(native)).release().ptr());
}

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

py::dict frequent_dict(FrequentMap frequent) {
  py::object result = owned(PyDict_New());
  for (auto& [pattern, motif] : frequent) dict_set(result, pattern_key(pattern), instance_object(std::move(motif)));
  return py::reinterpret_steal<py::dict>(result.release());
}

// A new list of `size` empty slots that the collector does not know of yet.
PyObject* hidden_list(std::size_t size) {
  PyObject* const list = PyList_New(static_cast<py::ssize_t>(size));
  if (list == nullptr) throw py::error_already_set();
  PyObject_GC_UnTrack(list);
  return list;
}

// A list of `size` items, item(i) for i from 0 up, called in that order; the collector meets it only when full.
template <typename Item>
py::list list_of(std::size_t size, const Item& item) {
  py::object list = py::reinterpret_steal<py::object>(hidden_list(size));
  for (std::size_t i = 0; i < size; ++i) {
    PyList_SET_ITEM(list.ptr(), static_cast<py::ssize_t>(i), item(i).release().ptr());
  }
  PyObject_GC_Track(list.ptr());
  return py::reinterpret_steal<py::list>(list.release());
}

template <typename T>
py::list int_list(const std::vector<T>& values) {
  return list_of(values.size(), [&values](std::size_t i) { return int_object(values[i]); });
}

py::list float_list(const std::vector<double>& values) {
  return list_of(values.size(), [&values](std::size_t i) { return float_object(values[i]); });
}

// An array.array of type `code` holding a copy of the `count` values at `values`, which have that type's layout.
template <typename T>
py::object array_object(const char* code, const T* values, std::size_t count) {
  const py::object array = py::module_::import("array").attr("array");
  py::object made = owned(PyObject_CallFunction(array.ptr(), "s", code));
  if (count > 0) {
    // A view of the values, which the array copies.
    const auto bytes = static_cast<py::ssize_t>(count * sizeof(T));
    const py::object view =
        owned(PyMemoryView_FromMemory(reinterpret_cast<char*>(const_cast<T*>(values)), bytes, PyBUF_READ));
    owned(PyObject_CallMethod(made.ptr(), "frombytes", "O", view.ptr()));
  }
  return made;
}

// A per-series map as a dict from series index, each value made by value_of, in the map's walk order.
template <typename T, typename Value>
py::dict series_dict(const SeriesMap<T>& map, const Value& value_of) {
  py::object result = owned(PyDict_New());
  for (const auto& [series, value] : map) dict_set(result, int_object(series), value_of(value));
  return py::reinterpret_steal<py::dict>(result.release());
}

// Motifs as a list of Motif objects, in their order.
py::list motif_list(std::vector<Motif> motifs) {
  return list_of(motifs.size(), [&motifs](std::size_t i) { return instance_object(std::move(motifs[i])); });
}

// The properties of a motif.
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

// The lists of a result, all made before any item is stored: `rows` lists, row r of `length(r)` slots. Until
// they are full they stay out of the collector's reach, so no Python code (a gc callback, or another thread
// walking gc.get_objects() while the lock is given up) ever meets an empty slot.
class ResultLists {
 public:
  // `lock`, when given, says whether this thread may still release the lists when they go away unused.
  template <typename Length>
  ResultLists(std::size_t rows, Length length, const Unlocked* unlocked = nullptr)
      : lock(unlocked), outer(py::reinterpret_steal<py::object>(hidden_list(rows))) {
    for (std::size_t r = 0; r < rows; ++r) {
      PyList_SET_ITEM(outer.ptr(), static_cast<py::ssize_t>(r), hidden_list(length(r)));
    }
  }
  ResultLists(const ResultLists&) = delete;
  ResultLists& operator=(const ResultLists&) = delete;
  ~ResultLists() {
    // A thread ended while it waits for the lock must not touch the lists: they are left to the process.
    if (lock != nullptr && !lock->held()) static_cast<void>(outer.release());
  }

  // Fills the lists with the letters of `ds` as one-character strings and hands them over, now known to the
  // collector. Each distinct symbol's string is made once and shared, as the interpreter shares its
  // one-character strings anyway, and before the first item is stored, so a failure leaves the lists empty
  // rather than half filled. The items are then bare pointer stores, and each string gains all its new
  // references in one step instead of one increment per item on the same few counters.
  py::list fill(const SymbolicDataset& ds) {
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

 private:
  const Unlocked* lock;
  py::object outer;
};

// The letters of every sequence as one-character strings.
py::list symbolic_list(const SymbolicDataset& ds) {
  return ResultLists(ds.size(), [&ds](std::size_t r) { return ds[r].size(); }).fill(ds);
}

// A symbolic dataset already made into Python lists of one-character strings.
struct SymbolLists {
  py::list lists;
};

// An int argument of a call that also takes a dataset, named for its refusal: the binding library's message
// would show every argument's value, the dataset's included.
template <const char* Name>
struct NamedInt {
  int value;
};

constexpr char seglen_name[] = "seglen";
constexpr char alphabet_name[] = "alphabet";

// ---- The buffer reader: what a buffer's format says, and its elements read as doubles.

// What a buffer's element format says about converting it: how to read one element, or that the
// buffer is refused outright (complex numbers), or that it is left to the sequence rules (anything else).
enum class ElementKind { float_, half, signed_, unsigned_, boolean, complex_, other };

ElementKind element_kind(const std::string& format, py::ssize_t itemsize) {
  std::size_t at = 0;
  if (!format.empty() &&
      (format[0] == '@' || format[0] == '=' || format[0] == '<' || format[0] == '>' || format[0] == '!')) {
    // Standard-size codes give their width in itemsize; a foreign byte order is left to the sequence rules.
    const bool little = format[0] != '>' && format[0] != '!';
    if (!little) return format.size() > 1 && format[1] == 'Z' ? ElementKind::complex_ : ElementKind::other;
    at = 1;
  }
  if (format.size() != at + 1) {
    return format.size() > at && format[at] == 'Z' ? ElementKind::complex_ : ElementKind::other;
  }
  const bool width = itemsize == 1 || itemsize == 2 || itemsize == 4 || itemsize == 8;
  switch (format[at]) {
    case 'd':
    case 'f': return itemsize == 8 || itemsize == 4 ? ElementKind::float_ : ElementKind::other;
    case 'e': return itemsize == 2 ? ElementKind::half : ElementKind::other;
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n': return width ? ElementKind::signed_ : ElementKind::other;
    case 'B':
    case 'H':
    case 'I':
    case 'L':
    case 'Q':
    case 'N': return width ? ElementKind::unsigned_ : ElementKind::other;
    case '?': return itemsize == 1 ? ElementKind::boolean : ElementKind::other;
    default: return ElementKind::other;
  }
}

// A dataset argument: a sequence of series, a 2-D buffer, or a sequence mixing series and 1-D buffers.
// A 2-D buffer is held and read only when its rows are needed, so `sax` reads it in place; reading it
// cannot fail, so the argument still converts whole or not at all.
struct SeriesList {
  Dataset series;
  std::optional<py::buffer_info> table;
  ElementKind kind = ElementKind::other;
};

template <typename T>
double read_as_double(const char* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<double>(value);
}

// A half-precision float, exactly, as every one is a double; a NaN keeps its sign and payload.
double read_half(const char* at) {
  std::uint16_t half = 0;
  std::memcpy(&half, at, sizeof half);
  const bool negative = (half >> 15) != 0;
  const unsigned exponent = (half >> 10) & 0x1fu;
  const std::uint64_t fraction = half & 0x3ffu;
  if (exponent == 0) {  // zero or subnormal: the fraction in units of 2^-24
    const double magnitude = std::ldexp(static_cast<double>(fraction), -24);
    return negative ? -magnitude : magnitude;
  }
  const std::uint64_t biased = exponent == 0x1fu ? 0x7ffu : exponent - 15 + 1023;
  const std::uint64_t bits = (std::uint64_t{negative} << 63) | (biased << 52) | (fraction << 42);
  double value = 0.0;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

double read_element(const char* at, ElementKind kind, py::ssize_t itemsize) {
  switch (kind) {
    case ElementKind::float_: return itemsize == 8 ? read_as_double<double>(at) : read_as_double<float>(at);
    case ElementKind::half: return read_half(at);
    case ElementKind::signed_:
      switch (itemsize) {
        case 1: return read_as_double<std::int8_t>(at);
        case 2: return read_as_double<std::int16_t>(at);
        case 4: return read_as_double<std::int32_t>(at);
        default: return read_as_double<std::int64_t>(at);
      }
    case ElementKind::unsigned_:
      switch (itemsize) {
        case 1: return read_as_double<std::uint8_t>(at);
        case 2: return read_as_double<std::uint16_t>(at);
        case 4: return read_as_double<std::uint32_t>(at);
        default: return read_as_double<std::uint64_t>(at);
      }
    default: return *at != 0 ? 1.0 : 0.0;
  }
}

// One run of `count` elements, `stride` bytes apart, converted as the sequence rules would convert the
// same values; contiguous native doubles are copied as they are.
// Reads `count` elements from `at`, `stride` bytes apart, into `series`, whose memory is reused.
void read_run(const char* at, py::ssize_t count, py::ssize_t stride, ElementKind kind, py::ssize_t itemsize,
              Series& series) {
  series.resize(static_cast<std::size_t>(count));
  if (kind == ElementKind::float_ && itemsize == 8 && stride == 8) {
    if (count > 0) std::memcpy(series.data(), at, static_cast<std::size_t>(count) * sizeof(double));
    return;
  }
  for (py::ssize_t i = 0; i < count; ++i)
    series[static_cast<std::size_t>(i)] = read_element(at + i * stride, kind, itemsize);
}

Series read_run(const char* at, py::ssize_t count, py::ssize_t stride, ElementKind kind, py::ssize_t itemsize) {
  Series series;
  read_run(at, count, stride, kind, itemsize, series);
  return series;
}

enum class Loaded { yes, refused, not_a_buffer };

// Reads an object with the buffer protocol of `dims` dimensions (1: a series, 2: a dataset, held in `held`).
Loaded load_buffer(py::handle src, int dims, Dataset& out, SeriesList* held = nullptr) {
  if (!py::isinstance<py::buffer>(src)) return Loaded::not_a_buffer;
  py::buffer_info info;
  try {
    info = py::reinterpret_borrow<py::buffer>(src).request();
  } catch (const py::error_already_set&) {
    return Loaded::not_a_buffer;  // an exporter that cannot describe itself: the sequence rules decide
  }
  const ElementKind kind = element_kind(info.format, info.itemsize);
  if (kind == ElementKind::complex_) return Loaded::refused;
  if (kind == ElementKind::other) return Loaded::not_a_buffer;
  if (dims == 2 && info.ndim == 3 && info.shape[1] == 1) {
    // (series, one channel, samples), the layout in which time-series toolkits hold univariate collections.
    info.shape.erase(info.shape.begin() + 1);
    info.strides.erase(info.strides.begin() + 1);
    info.ndim = 2;
  }
  if (info.ndim != dims) return Loaded::refused;
  if (dims == 1) {
    out.push_back(read_run(static_cast<const char*>(info.ptr), info.shape[0], info.strides[0], kind, info.itemsize));
    return Loaded::yes;
  }
  held->kind = kind;
  held->table = std::move(info);
  return Loaded::yes;
}

// Reads row `r` of the held table into `row`, whose memory is reused.
void table_row(const SeriesList& ts, py::ssize_t r, Series& row) {
  const py::buffer_info& t = *ts.table;
  read_run(static_cast<const char*>(t.ptr) + r * t.strides[0], t.shape[1], t.strides[1], ts.kind, t.itemsize, row);
}

Series table_row(const SeriesList& ts, py::ssize_t r) {
  Series row;
  table_row(ts, r, row);
  return row;
}

// ---- Arguments: Python values as native ones, whole or not at all.

// A symbolic dataset argument.
struct SymbolicRows {
  SymbolicDataset rows;
};

// Elements converted between two looks for a pending Ctrl-C.
constexpr py::ssize_t elements_per_look = py::ssize_t{1} << 16;

// Whether `item` is a float or has a numeric conversion of its own.
bool converts_to_number(py::handle item) {
  const PyNumberMethods* const number = Py_TYPE(item.ptr())->tp_as_number;
  return PyFloat_Check(item.ptr()) ||
         (number != nullptr && (number->nb_float != nullptr || number->nb_index != nullptr));
}

// One number: a float as it is, or anything with a numeric conversion of its own (an int, a Fraction, a numpy
// scalar), converted by it. An exception that conversion raises, KeyboardInterrupt included, is the call's.
bool load_number(py::handle item, bool convert, double& value) {
  if (PyFloat_Check(item.ptr())) {
    value = PyFloat_AS_DOUBLE(item.ptr());
    return true;
  }
  if (!convert || !converts_to_number(item)) return false;
  value = PyFloat_AsDouble(item.ptr());
  if (value == -1.0 && PyErr_Occurred() != nullptr) throw py::error_already_set();
  return true;
}

// Whether `src` is a list or tuple as such, whose items are read without running Python code.
bool plain_sequence(PyObject* src) { return PyList_CheckExact(src) || PyTuple_CheckExact(src); }

std::size_t sequence_size(PyObject* src) { return static_cast<std::size_t>(PySequence_Fast_GET_SIZE(src)); }

// Reads items [begin, end) of a list or tuple, all exact floats, into out[begin, end); false at the first other
// item. Runs no Python code and touches no reference count, so it may run without the interpreter lock while
// the thread that holds it runs no Python code.
bool read_floats(PyObject* const* items, std::size_t begin, std::size_t end, double* out) {
  // The float objects lie apart from the list, so each is asked for a few elements ahead of its use.
  constexpr std::size_t ahead = 8;
  for (std::size_t i = begin; i < end; ++i) {
    if (i + ahead < end) __builtin_prefetch(items[i + ahead]);
    if (!PyFloat_CheckExact(items[i])) return false;
    out[i] = PyFloat_AS_DOUBLE(items[i]);
  }
  return true;
}

// The exact floats of a list or tuple, read directly, or false at the first other element. Reading them runs
// no Python code, but a signal handler run by a look may change the sequence, so it is read afresh after each.
bool load_floats(py::handle src, Series& series) {
  const auto step = static_cast<std::size_t>(elements_per_look);
  for (std::size_t first = 0; first < sequence_size(src.ptr()); first += step) {
    check_signals();
    const std::size_t end = std::min(sequence_size(src.ptr()), first + step);
    series.resize(end);  // elements [0, first) are read already
    if (!read_floats(PySequence_Fast_ITEMS(src.ptr()), first, end, series.data())) return false;
  }
  return true;
}

// A series: a 1-D buffer, a list or tuple of floats read directly, or any other sequence (not str or bytes) of
// numbers.
bool load_series(py::handle src, bool convert, Dataset& out) {
  if (PyBytes_Check(src.ptr()) || PyUnicode_Check(src.ptr())) return false;
  const Loaded loaded = load_buffer(src, 1, out);
  if (loaded != Loaded::not_a_buffer) return loaded == Loaded::yes;
  Series series;
  if (plain_sequence(src.ptr()) && load_floats(src, series)) {
    out.push_back(std::move(series));
    return true;
  }
  if (!py::isinstance<py::sequence>(src)) return false;
  const auto sequence = py::reinterpret_borrow<py::sequence>(src);
  series.clear();
  series.reserve(sequence.size());
  py::ssize_t count = 0;
  for (const auto& item : sequence) {
    if (count++ % elements_per_look == 0) check_signals();
    double value = 0.0;
    if (!load_number(item, convert, value)) return false;
    series.push_back(value);
  }
  out.push_back(std::move(series));
  return true;
}

// The values of a data frame or series (anything with `to_numpy`, which buffers and plain lists never
// need), read by position whatever its index, so that nothing imports a frame library unless one of its
// objects comes in; None for anything else. Nullable number columns come out as Python objects with a
// missing marker, so those are asked for again as float64 with NaN for missing.
py::object frame_values(py::handle src) {
  if (plain_sequence(src.ptr()) || PyObject_CheckBuffer(src.ptr()) || !py::hasattr(src, "to_numpy")) {
    return py::none();
  }
  py::object values = src.attr("to_numpy")();
  const py::object kind = py::getattr(py::getattr(values, "dtype", py::none()), "kind", py::none());
  if (!py::isinstance<py::str>(kind) || kind.cast<std::string>() != "O") return values;
  const py::object dtypes =
      py::hasattr(src, "columns") ? src.attr("dtypes") : py::make_tuple(py::getattr(src, "dtype", py::none()));
  for (const auto& dtype : dtypes) {
    const py::object column = py::getattr(dtype, "kind", py::none());
    if (!py::isinstance<py::str>(column)) return values;
    const std::string code = column.cast<std::string>();
    if (code.size() != 1 || std::string("iufb").find(code[0]) == std::string::npos) return values;
  }
  return src.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = py::float_(NAN));
}

// Refusals name the argument by its type and shape, never by its repr: pybind's message would print the
// whole argument, thousands of lines for a list of arrays.
std::string type_name(py::handle src) { return Py_TYPE(src.ptr())->tp_name; }

// The type's name after "a" or "an", as a refusal says it.
std::string a_type(py::handle src) {
  const std::string name = type_name(src);
  return (std::string("aeiou").find(name[0]) == std::string::npos ? "a " : "an ") + name;
}

std::optional<py::buffer_info> buffer_of(py::handle src) {
  if (!PyObject_CheckBuffer(src.ptr())) return std::nullopt;
  try {
    return py::reinterpret_borrow<py::buffer>(src).request();
  } catch (const py::error_already_set&) {
    return std::nullopt;
  }
}

std::string shape_text(const py::buffer_info& info) {
  std::string text = "(";
  for (py::ssize_t d = 0; d < info.ndim; ++d) text += (d > 0 ? ", " : "") + std::to_string(info.shape[d]);
  return text + (info.ndim == 1 ? ",)" : ")");
}

std::string counted(std::size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

bool is_number(py::handle item) { return PyNumber_Check(item.ptr()) != 0 && PySequence_Check(item.ptr()) == 0; }

[[noreturn]] void refuse_single_series(const std::string& what) {
  throw py::type_error("expected a list of series, got a single series (" + what +
                       "): pass [series] for a dataset of one series");
}

// Raises a one-line TypeError for a series that did not convert: what it is and where, never its values, which
// may run to millions. `shown` is the object the caller passed, `src` the values read from it.
[[noreturn]] void refuse_series(py::handle shown, py::handle src, std::size_t index) {
  const std::string which = "series " + std::to_string(index);
  const std::optional<py::buffer_info> info = buffer_of(src);
  const ElementKind kind = info ? element_kind(info->format, info->itemsize) : ElementKind::other;
  if (kind == ElementKind::complex_) {
    throw py::type_error(which + " is a " + type_name(shown) + " of complex numbers: pass its real part or magnitude");
  }
  if (kind != ElementKind::other && info->ndim > 1) {
    const bool one_row = info->ndim == 2 && info->shape[0] == 1;
    throw py::type_error(which + " is a " + std::to_string(info->ndim) + "-D " + type_name(shown) + " of shape " +
                         shape_text(*info) +
                         ", not a 1-D series: " + (one_row ? "pass its row, x[0]" : "mine one channel at a time"));
  }
  if (!shown.is(src)) {
    throw py::type_error(which + " is a " + type_name(shown) + " whose values are not all real numbers");
  }
  if (PyBytes_Check(src.ptr()) || PyUnicode_Check(src.ptr()) || !py::isinstance<py::sequence>(src)) {
    throw py::type_error(which + " is " + a_type(shown) + ", not a sequence of numbers");
  }
  std::size_t at = 0;
  for (const auto& item : py::reinterpret_borrow<py::sequence>(src)) {
    if (!converts_to_number(item)) {
      throw py::type_error(which + ", value " + std::to_string(at) + " is " + a_type(item) + ", not a real number");
    }
    ++at;
  }
  throw py::type_error(which + " is a " + type_name(shown) + " whose values are not all real numbers");
}

// Refuses a sequence of numbers, a single series passed without its list; returns for anything else. Only a
// sequence whose first item is a number is read through.
void refuse_if_single_series(py::handle shown, py::handle src) {
  if (PyBytes_Check(src.ptr()) || PyUnicode_Check(src.ptr()) || PySequence_Check(src.ptr()) == 0) return;
  const auto sequence = py::reinterpret_borrow<py::sequence>(src);
  std::size_t n = 0;
  bool numbers = false;
  try {
    n = sequence.size();
    numbers = n > 0;
    for (std::size_t i = 0; i < n && numbers; ++i) numbers = is_number(sequence[i]);
  } catch (const py::error_already_set&) {
    return;  // a sequence that cannot be read this way is read as a dataset, which says what is wrong
  }
  if (numbers) refuse_single_series("a " + type_name(shown) + " of " + counted(n, "number"));
}

// As refuse_series, for the dataset as a whole, which may also be a generator or an array of the wrong shape.
[[noreturn]] void refuse_dataset(py::handle shown, py::handle src) {
  if (PyIter_Check(src.ptr())) {
    throw py::type_error("expected a list of series, got a " + type_name(shown) +
                         ", which is not a sequence: pass list(...) of it");
  }
  if (const std::optional<py::buffer_info> info = buffer_of(src)) {
    const ElementKind kind = element_kind(info->format, info->itemsize);
    const std::string what = std::to_string(info->ndim) + "-D " + type_name(shown) + " of shape " + shape_text(*info);
    if (kind == ElementKind::complex_) {
      throw py::type_error("expected real numbers, got a " + type_name(shown) +
                           " of complex numbers: pass its real part or magnitude");
    }
    if (kind != ElementKind::other) {
      if (info->ndim == 1) {
        const auto values = static_cast<std::size_t>(info->shape[0]);
        refuse_single_series("a 1-D " + type_name(shown) + " of " + counted(values, "value"));
      }
      if (info->ndim == 3 && info->shape[1] > 1) {
        throw py::value_error("a " + what + " holds " + std::to_string(info->shape[1]) +
                              " channels per series, and only univariate series are mined: mine one channel "
                              "at a time, as in x[:, c, :]");
      }
      throw py::type_error(
          "expected a 2-D array (series, samples) or a 3-D one of shape (series, 1, samples), "
          "got a " +
          what);
    }
  }
  if (!shown.is(src)) {
    throw py::type_error("expected numbers, got a " + type_name(shown) + " whose values are not all real numbers");
  }
  throw py::type_error("expected a list of series, got " + a_type(shown));
}

// One item of a dataset, appended to `out` as a series, or refused with a message saying what it is and where.
void read_item(py::handle item, bool convert, Dataset& out) {
  const py::object values = frame_values(item);
  const py::handle series = values.is_none() ? item : py::handle(values);
  if (!load_series(series, convert, out)) refuse_series(item, series, out.size());
}

// Reads a list or tuple of series. Its items that are lists or tuples are read in batches by the pool's
// workers, while this thread holds the interpreter lock and runs no Python code, so nothing changes a list
// while they read it and no reference count moves. Ctrl-C is looked for between batches only, and each batch
// reads the lists afresh, since a signal handler may have changed them; a series read over several batches is
// the same list object to the end, as it would be read alone. Any other item, and a list with an element
// other than an exact float, is read by read_item, in series order, so the first bad series raises what it
// would raise alone. That read may run Python code, which may change the series after it, so the batch's
// series after it are dropped and read again.
class ListsReader {
 public:
  ListsReader(py::handle src, bool convert_items, Dataset& into) : lists(src), convert(convert_items), out(into) {}

  void read() {
    out.reserve(sequence_size(lists.ptr()));
    for (;;) {
      if (!partial) {
        if (next >= sequence_size(lists.ptr())) return;
        const auto item = py::reinterpret_borrow<py::object>(PySequence_Fast_ITEMS(lists.ptr())[next]);
        if (!plain_sequence(item.ptr())) {
          read_item(item, convert, out);
          ++next;
          continue;
        }
      }
      check_signals();
      const std::vector<Run> runs = gather();
      if (runs.empty()) continue;  // a handler took away or replaced the list that was next
      const std::size_t failed = read_batch(runs);
      if (failed == runs.size()) {
        const Run& last = runs.back();
        const bool complete = last.end >= sequence_size(last.list);
        partial = complete ? py::object() : py::reinterpret_borrow<py::object>(last.list);
        done = complete ? 0 : last.end;
        next += runs.size() - (complete ? 0 : 1);
        most_runs = std::min(2 * most_runs, lists_per_batch);
        continue;
      }
      const auto bad = py::reinterpret_borrow<py::object>(runs[failed].list);
      out.resize(out.size() - runs.size() + failed);
      partial = py::object();
      done = 0;
      next += failed;
      most_runs = 1;
      read_item(bad, convert, out);
      ++next;
    }
  }

 private:
  // Elements [begin, end) of `list`, read by one batch into the series at the same place in the batch.
  struct Run {
    PyObject* list;
    std::size_t begin;
    std::size_t end;
  };

  // Elements [begin, end) of a list, read by one part of a batch into the same places of `series`.
  struct Piece {
    PyObject* const* items;
    Series* series;
    std::size_t begin;
    std::size_t end;
    bool sizes;  // the piece holds its series whole, so its worker sizes the series too
  };

  // The lists of the next batch: the rest of a partly read series first, then those after it, up to
  // `most_runs` of them and batch_elements elements in all.
  std::vector<Run> gather() const {
    std::vector<Run> runs;
    std::size_t work = 0;
    // Adds `list` from element `begin` on, as far as the batch allows; true if that is to its end.
    const auto add = [&](PyObject* list, std::size_t begin) {
      const std::size_t size = sequence_size(list);
      const std::size_t end = std::max(begin, std::min(size, begin + (batch_elements - work)));
      work += std::max<std::size_t>(end - begin, 1);
      runs.push_back({list, begin, end});
      return end >= size;
    };
    if (partial && !add(partial.ptr(), done)) return runs;
    for (std::size_t i = next + (partial ? 1 : 0); i < sequence_size(lists.ptr()); ++i) {
      PyObject* const list = PySequence_Fast_ITEMS(lists.ptr())[i];
      if (runs.size() >= most_runs || work >= batch_elements || !plain_sequence(list) || !add(list, 0)) break;
    }
    return runs;
  }

  // Reads `runs` into series at the back of `out`, on the pool; returns the first run with an element other
  // than an exact float, or runs.size().
  std::size_t read_batch(const std::vector<Run>& runs) {
    const std::size_t first = out.size() - (partial ? 1 : 0);
    out.resize(first + runs.size());
    std::size_t work = 0;
    for (const Run& run : runs) work += std::max<std::size_t>(run.end - run.begin, 1);
    const std::size_t piece_size = part_size(work, work);
    std::vector<Piece> pieces;
    for (std::size_t r = 0; r < runs.size(); ++r) {
      const Run& run = runs[r];
      Series& series = out[first + r];
      const bool whole = run.begin == 0 && run.end == sequence_size(run.list) && run.end <= piece_size;
      if (!whole) {
        // Sized here, before any part writes to it; room for the whole list at once, filled a batch at a time.
        if (run.begin == 0) series.reserve(sequence_size(run.list));
        series.resize(run.end);
      }
      for (std::size_t begin = run.begin; begin < run.end; begin += piece_size) {
        pieces.push_back(
            {PySequence_Fast_ITEMS(run.list), &series, begin, std::min(run.end, begin + piece_size), whole});
      }
    }
    std::vector<char> failed(pieces.size(), 0);
    parallel_for(pieces.size(), part_size(pieces.size(), work), [&](std::size_t begin, std::size_t end) {
      for (std::size_t p = begin; p < end; ++p) {
        const Piece& piece = pieces[p];
        if (piece.sizes) {
          // A list that does not start with a float is read again by read_item: none of its memory is taken here.
          if (!PyFloat_CheckExact(piece.items[0])) {
            failed[p] = 1;
            continue;
          }
          // Sizing on the worker also shares out the memory's first touch.
          piece.series->resize(piece.end);
        }
        failed[p] = read_floats(piece.items, piece.begin, piece.end, piece.series->data()) ? 0 : 1;
      }
    });
    const auto bad = std::find(failed.begin(), failed.end(), 1);
    if (bad == failed.end()) return runs.size();
    return static_cast<std::size_t>(pieces[static_cast<std::size_t>(bad - failed.begin())].series - &out[first]);
  }

  // Lists in a batch at most, which bounds the memory of its runs and pieces when the lists are short.
  static constexpr std::size_t lists_per_batch = std::size_t{1} << 16;
  // Elements the workers read between two looks for Ctrl-C: some milliseconds. While small inputs split,
  // batches are small too, so that small inputs also read a series over several batches.
  const std::size_t batch_elements = std::max<std::size_t>(least_part(std::size_t{1} << 22), 100);
  const py::handle lists;
  const bool convert;
  Dataset& out;
  std::size_t next = 0;  // the item of `lists` read next, or being read
  py::object partial;    // the list being read, when a batch ended within it
  std::size_t done = 0;  // its elements read already, into the back of `out`
  // A batch's lists after a bad one are read for nothing, so after one, batches start again from a single list
  // and double while their lists are good: a run of bad lists costs no more than reading them alone.
  std::size_t most_runs = lists_per_batch;
};

// A dataset: a 2-D buffer, or a sequence (not str or bytes) of series; false if `src` is neither, and a series
// that does not convert is refused where it is.
bool read_dataset(py::handle src, bool convert, Dataset& out, SeriesList& held) {
  if (PyBytes_Check(src.ptr()) || PyUnicode_Check(src.ptr())) return false;
  const Loaded loaded = load_buffer(src, 2, out, &held);
  if (loaded != Loaded::not_a_buffer) return loaded == Loaded::yes;
  if (!py::isinstance<py::sequence>(src)) return false;
  if (plain_sequence(src.ptr())) {
    ListsReader(src, convert, out).read();
    return true;
  }
  const auto sequence = py::reinterpret_borrow<py::sequence>(src);
  out.reserve(sequence.size());
  for (const auto& item : sequence) read_item(item, convert, out);
  return true;
}

// A dataset, or a data frame whose rows are the series; the shapes that are easy to pass by mistake get a
// message of their own.
void load_dataset(py::handle src, bool convert, Dataset& out, SeriesList& held) {
  const py::object values = frame_values(src);
  const py::handle data = values.is_none() ? src : py::handle(values);
  if (!PyObject_CheckBuffer(data.ptr())) refuse_if_single_series(src, data);
  if (!read_dataset(data, convert, out, held)) refuse_dataset(src, data);
}

bool is_sequence(py::handle src) {
  return py::isinstance<py::sequence>(src) && !PyBytes_Check(src.ptr()) && !PyUnicode_Check(src.ptr());
}

// A symbolic dataset: a sequence (not str or bytes) of such sequences of one-character symbols, with a look for a
// pending Ctrl-C every so many symbols. What does not convert is refused in one line saying what and where.
void load_symbols(py::handle src, bool convert, SymbolicDataset& out) {
  if (!is_sequence(src)) throw py::type_error("expected a list of symbol sequences, got " + a_type(src));
  py::ssize_t count = 0;
  for (const auto& row : py::reinterpret_borrow<py::sequence>(src)) {
    const std::string which = "sequence " + std::to_string(out.size());
    if (!is_sequence(row)) throw py::type_error(which + " is " + a_type(row) + ", not a list of symbols");
    out.emplace_back();
    Symbols& symbols = out.back();
    for (const auto& element : py::reinterpret_borrow<py::sequence>(row)) {
      if (count++ % elements_per_look == 0) check_signals();
      py::detail::make_caster<char> symbol;
      if (!symbol.load(element, convert)) {
        throw py::type_error(which + ", symbol " + std::to_string(symbols.size()) + " is " + a_type(element) +
                             ", not a one-character str");
      }
      symbols.push_back(py::detail::cast_op<char>(symbol));
    }
  }
}

}  // namespace

// ---- The binding library's casters for the argument and result types above.

namespace pybind11::detail {

// Whole or not at all: the dataset is built aside and only a complete one is kept. A refusal raises a message of
// its own rather than the binding library's, which would show the argument's whole value.
template <>
struct type_caster<SeriesList> {
  PYBIND11_TYPE_CASTER(SeriesList, const_name("list[list[float]]"));

  bool load(handle src, bool convert) {
    ready_to_throw();  // the first argument of `sax`: the thread's entry into the module
    SeriesList loaded;
    load_dataset(src, convert, loaded.series, loaded);
    value = std::move(loaded);
    return true;
  }
};

template <>
struct type_caster<SymbolicRows> {
  PYBIND11_TYPE_CASTER(SymbolicRows, const_name("list[list[str]]"));

  bool load(handle src, bool convert) {
    SymbolicRows loaded;
    load_symbols(src, convert, loaded.rows);
    value = std::move(loaded);
    return true;
  }
};

template <const char* Name>
struct type_caster<NamedInt<Name>> {
  PYBIND11_TYPE_CASTER(NamedInt<Name>, const_name("int"));

  bool load(handle src, bool convert) {
    make_caster<int> number;
    if (number.load(src, convert)) {
      value.value = cast_op<int>(number);
      return true;
    }
    if (!convert) return false;  // the pass with conversions decides
    const std::string got = PyLong_Check(src.ptr()) ? "an int outside it" : a_type(src);
    throw type_error(std::string(Name) + " must be an int in the signed 32-bit range, not " + got);
  }
};

// Handed over as built; the caster only names the type in signatures.
template <>
struct type_caster<SymbolLists> {
  PYBIND11_TYPE_CASTER(SymbolLists, const_name("list[list[str]]"));

  static handle cast(const SymbolLists& src, return_value_policy, handle) { return src.lists.inc_ref(); }
};

// Lists of motifs come in by the standard rule and go out by motif_list, which raises what stopped it.
template <>
struct type_caster<std::vector<Motif>> : list_caster<std::vector<Motif>, Motif> {
  template <typename Motifs>
  static handle cast(Motifs&& src, return_value_policy, handle) {
    return motif_list(std::forward<Motifs>(src)).release();
  }
};

}  // namespace pybind11::detail

namespace {

// ---- Class handles: one small shim per binding.

// Saved states carry their arrays as bytes in the machine's own layout: exact to the bit in every pickle
// protocol (NaN payloads and signs included) and compact.
template <typename T>
py::bytes packed(const std::vector<T>& values) {
  return py::reinterpret_steal<py::bytes>(
      bytes_object(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T)).release());
}

// The items of a saved state, each read as the type its field has and refused in a message naming the state
// and the field: TypeError for an item of another type, ValueError for a value out of range.
class StateItems {
 public:
  StateItems(const py::tuple& saved, const char* whose, std::size_t count) : items(saved), owner(whose) {
    ready_to_throw();  // restoring may be a thread's first call into the module
    if (items.size() != count) {
      throw py::value_error(owner + ": expected " + std::to_string(count) + " items, got " +
                            std::to_string(items.size()));
    }
  }

  // An int of T's range; with `natural`, not negative either.
  template <typename T>
  T integer(std::size_t at, const char* field, bool natural = false) const {
    const py::object item = items[at];
    if (!PyLong_Check(item.ptr())) refuse_type(at, field, "an int");
    py::detail::make_caster<T> number;
    if (!number.load(item, false) || (natural && py::detail::cast_op<T>(number) < T{0})) {
      throw py::value_error(owner + ": item " + std::to_string(at) + " (" + field + ") is out of range");
    }
    return py::detail::cast_op<T>(number);
  }

  double real(std::size_t at, const char* field) const {
    const py::object item = items[at];
    if (!PyFloat_Check(item.ptr()) && !PyLong_Check(item.ptr())) refuse_type(at, field, "a float");
    const double value = PyFloat_AsDouble(item.ptr());
    if (value == -1.0 && PyErr_Occurred() != nullptr) {
      PyErr_Clear();
      throw py::value_error(owner + ": item " + std::to_string(at) + " (" + field + ") is out of range");
    }
    return value;
  }

  py::bytes bytes(std::size_t at, const char* field) const {
    const py::object item = items[at];
    if (!PyBytes_Check(item.ptr())) refuse_type(at, field, "bytes");
    return py::reinterpret_borrow<py::bytes>(item);
  }

  // The values packed in a bytes item, in the machine's own layout.
  template <typename T>
  std::vector<T> unpacked(std::size_t at, const char* field) const {
    char* buffer = nullptr;
    py::ssize_t size = 0;
    if (PyBytes_AsStringAndSize(bytes(at, field).ptr(), &buffer, &size) != 0) throw py::error_already_set();
    if (size % static_cast<py::ssize_t>(sizeof(T)) != 0) {
      throw py::value_error(owner + ": " + field + " holds " + std::to_string(size) +
                            " bytes, not a whole number of values");
    }
    std::vector<T> values(static_cast<std::size_t>(size) / sizeof(T));
    if (size > 0) std::memcpy(values.data(), buffer, static_cast<std::size_t>(size));
    return values;
  }

  std::vector<Motif> motifs(std::size_t at, const char* field) const {
    py::detail::make_caster<std::vector<Motif>> list;
    if (!list.load(items[at], false)) refuse_type(at, field, "a list of Motif objects");
    return py::detail::cast_op<std::vector<Motif>>(std::move(list));
  }

 private:
  [[noreturn]] void refuse_type(std::size_t at, const char* field, const char* wanted) const {
    throw py::type_error(owner + ": item " + std::to_string(at) + " (" + field + ") must be " + wanted + ", not " +
                         a_type(items[at]));
  }

  const py::tuple& items;
  const std::string owner;
};

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

// Hands a run's progress to a Python callable as (stage, done, total), at most every few milliseconds
// besides the first and last report of each stage and every report without a total, so that a report
// per unit of work costs a clock read.
class ProgressForwarder {
 public:
  explicit ProgressForwarder(py::function report) : to(std::move(report)) {}

  // Reports while `gil` is given up take it back for the call; an exception the callable raises leaves
  // with the lock held.
  void during(Unlocked& gil) { unlocked = &gil; }

  void operator()(Stage stage, std::size_t done, std::size_t total) {
    const auto now = std::chrono::steady_clock::now();
    const bool edge = stage != last_stage || done == 0 || done == total || total == 0;
    if (!edge && now - last_call < interval) return;
    last_stage = stage;
    last_call = now;
    const bool give_back = unlocked != nullptr && unlocked->released();
    if (give_back) unlocked->retake();
    // Called through the interpreter's own checked calls, so that a failure to allocate is MemoryError.
    owned(PyObject_CallFunction(to.ptr(), "snn", stage_name(stage), static_cast<py::ssize_t>(done),
                                static_cast<py::ssize_t>(total)));
    if (give_back) unlocked->release();
  }

 private:
  static const char* stage_name(Stage stage) {
    switch (stage) {
      case Stage::discretise: return "discretise";
      case Stage::grow: return "grow";
      case Stage::compare: return "compare";
      default: return "map";
    }
  }

  static constexpr std::chrono::milliseconds interval{20};
  py::function to;
  Unlocked* unlocked = nullptr;
  std::optional<Stage> last_stage;
  std::chrono::steady_clock::time_point last_call{};
};

py::str motif_pattern(const Motif& motif) { return symbols_text(motif.pattern); }

py::str motif_repr(const Motif& motif) {
  return py::reinterpret_steal<py::str>(
      owned(PyUnicode_FromFormat("Motif('%U')", symbols_text(motif.pattern).ptr())).release());
}

// Puts a run's object back in its place when the run ends, however it ends.
template <typename Native>
struct PutBack {
  Native& place;
  Native& run;
  ~PutBack() { place = std::move(run); }
};

// Whether this is the main thread: the only one that runs signal handlers, and the one that shuts the
// interpreter down.
bool on_main_thread() {
  const py::object threading = py::module_::import("threading");
  return threading.attr("get_ident")().equal(threading.attr("main_thread")().attr("ident"));
}

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

// A signal handler run by check_signals may call back into the very object being mined, so each run works on
// the object moved aside and puts it back at the end; a nested run then never changes the state under it.
// A miner with the hold that keeps the calls on it one after another while they run without the interpreter
// lock. The hold is one word naming the process and the thread that has it: a nested call from a signal
// handler on that thread goes ahead, and a child of fork sees at once that a hold is its parent's, whose
// thread does not exist in the child and so would never let go.
template <typename Native>
struct Guarded {
  explicit Guarded(Native made) : native(std::move(made)) {}

  Native native;
  std::atomic<std::uint64_t> holder{0};  // the caller with the hold, or 0
  std::size_t depth = 0;                 // the holder's calls in progress, nested ones included
};

// This process and thread as a holder: never 0.
std::uint64_t this_caller() {
  return (static_cast<std::uint64_t>(getpid()) << 32) | static_cast<std::uint32_t>(gettid());
}

bool held_by_this_process(std::uint64_t holder) { return (holder >> 32) == static_cast<std::uint64_t>(getpid()); }

// One call's share of a hold, given up when the call ends.
template <typename Native>
class Busy {
 public:
  explicit Busy(Guarded<Native>& held) : guarded(held) { ++guarded.depth; }
  Busy(const Busy&) = delete;
  Busy& operator=(const Busy&) = delete;
  ~Busy() {
    if (--guarded.depth == 0) guarded.holder.store(0, std::memory_order_release);
  }

 private:
  Guarded<Native>& guarded;
};

// Takes the hold of `guarded` for this thread. While another thread of this process has it, waits without the
// interpreter lock, so that thread can finish, and looks for Ctrl-C between waits where a handler can run. A
// hold left by a thread of the parent process is taken over, with the object as that thread's run left it
// (moved aside, so empty but for its options) made afresh from its options.
template <typename Native>
Busy<Native> take(Guarded<Native>& guarded) {
  const std::uint64_t me = this_caller();
  std::optional<bool> main;
  for (;;) {
    std::uint64_t seen = 0;
    if (guarded.holder.compare_exchange_strong(seen, me, std::memory_order_acquire) || seen == me) {
      return Busy<Native>(guarded);
    }
    if (!held_by_this_process(seen) && guarded.holder.compare_exchange_strong(seen, me, std::memory_order_acquire)) {
      guarded.depth = 0;
      guarded.native = Native(guarded.native.get_options());
      return Busy<Native>(guarded);
    }
    if (!main) main = on_main_thread();
    Unlocked gil(*main);
    gil.release();
    for (int i = 0; i < 50 && guarded.holder.load(std::memory_order_relaxed) != 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    gil.retake();
    if (*main) check_signals();
  }
}

// Runs `work` without the interpreter lock: converted arguments and the held buffer are all it reads. Ctrl-C is
// looked for by taking the lock back now and then, spaced in time, where a handler can run; `report`, if any,
// takes it back for its calls. Whatever leaves `work` leaves with the lock held.
template <typename Work>
auto unlocked_run(ProgressForwarder* report, const Work& work) {
  Unlocked gil(on_main_thread());
  const CancelCheck look = [&gil] { gil.look_for_signals(); };
  ProgressReport progress;
  if (report != nullptr) {
    report->during(gil);
    progress = [report](Stage stage, std::size_t done, std::size_t total) { (*report)(stage, done, total); };
  }
  gil.release();
  try {
    auto result = work(look, progress);
    gil.retake();
    return result;
  } catch (...) {
    if (gil.released()) gil.retake();
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
// lock; a held 2-D buffer is read a row at a time where it lies.
py::list nearest_windows(const std::vector<Series>& queries, SeriesList ts) {
  Dataset series = std::move(ts.series);
  const auto found = unlocked_run(nullptr, [&](const CancelCheck& look, const ProgressReport&) {
    if (!ts.table) return nearest(queries, series, look);
    const auto row = [&ts](std::size_t index, Series& scratch) -> const Series& {
      table_row(ts, static_cast<py::ssize_t>(index), scratch);
      return scratch;
    };
    return nearest(queries, static_cast<std::size_t>(ts.table->shape[0]), row, look);
  });
  return list_of(found.size(), [&found](std::size_t q) {
    return tuple_of({array_object("q", found[q].offsets.data(), found[q].offsets.size()),
                     array_object("d", found[q].distances.data(), found[q].distances.size())});
  });
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
  m.def("_nearest", &nearest_windows);

  refuse_uninitialised<Motif>();
  refuse_uninitialised<Guarded<Miner>>();
  refuse_uninitialised<Guarded<PatternMiner>>();
}
