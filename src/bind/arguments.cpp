// Reading arguments: the buffer reader, the series and dataset readers, and their refusals.
#include "bind/arguments.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "pool.h"

namespace kez::bind {

namespace {

// ---- The buffer reader: what a buffer's format says, and its elements read as doubles.

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

// ---- Arguments: Python values as native ones, whole or not at all.

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

bool is_sequence(py::handle src) {
  return py::isinstance<py::sequence>(src) && !PyBytes_Check(src.ptr()) && !PyUnicode_Check(src.ptr());
}

}  // namespace

void table_row(const SeriesList& ts, py::ssize_t r, Series& row) {
  const py::buffer_info& t = *ts.table;
  read_run(static_cast<const char*>(t.ptr) + r * t.strides[0], t.shape[1], t.strides[1], ts.kind, t.itemsize, row);
}

Series table_row(const SeriesList& ts, py::ssize_t r) {
  Series row;
  table_row(ts, r, row);
  return row;
}

std::string a_type(py::handle src) {
  const std::string name = type_name(src);
  return (std::string("aeiou").find(name[0]) == std::string::npos ? "a " : "an ") + name;
}

void load_dataset(py::handle src, bool convert, Dataset& out, SeriesList& held) {
  const py::object values = frame_values(src);
  const py::handle data = values.is_none() ? src : py::handle(values);
  if (!PyObject_CheckBuffer(data.ptr())) refuse_if_single_series(src, data);
  if (!read_dataset(data, convert, out, held)) refuse_dataset(src, data);
}

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

}  // namespace kez::bind
