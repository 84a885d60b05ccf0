// Results: native values as new Python objects, the casters that hand them over, and saved states.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "bind/arguments.h"
#include "bind/lock.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"

namespace kez::bind {

// Every result is made here from the interpreter's own constructors, each checked: when one cannot allocate, the
// error it set (MemoryError) is the call's. The binding library's object constructors would raise RuntimeError
// instead, and its casters TypeError for a result they could not make.

// Takes the new reference a C API call returned, or raises the error the call set when it returned none.
py::object owned(PyObject* made);

// A new int of `value`, or the error that stopped it.
py::object int_object(long long value);

// A new int of `value`, or the error that stopped it.
py::object size_object(std::size_t value);

// A new float of `value`, or the error that stopped it.
py::object float_object(double value);

// A new bytes object holding a copy of the `size` bytes at `data`, or the error that stopped it.
py::object bytes_object(const char* data, std::size_t size);

// A tuple of `items`, all made before it, so that no allocation (which may run the collector and its callbacks)
// meets it half filled.
py::tuple tuple_of(const std::vector<py::object>& items);

// A bound class's instance holding `native`, as the binding library makes it, or the error that stopped it.
template <typename Native>
py::object instance_object(Native native) {
  return owned(py::cast(std::move(native)).release().ptr());
}

// The frequent patterns as a dict from tuples of one-character strings to Motif objects, in the map's order.
py::dict frequent_dict(FrequentMap frequent);

// A new list of `size` empty slots that the collector does not know of yet.
PyObject* hidden_list(std::size_t size);

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

// Motifs as a list of Motif objects, in their order.
py::list motif_list(std::vector<Motif> motifs);

// The properties of a motif.
//
// The occurrence index, as a dict from series index to the positions of its occurrences.
py::dict motif_indexes(const Motif& motif);

// The per-series average occurrences, as a dict from series index.
py::dict motif_average_occurrences(const Motif& motif);

// The representative shape, as a list of floats.
py::list motif_representative(const Motif& motif);

// The per-series best-match sample offsets, as a dict from series index.
py::dict motif_best_matches(const Motif& motif);

// The occurrence window length in samples.
py::object motif_length(const Motif& motif);

// The ranking score.
py::object motif_naed(const Motif& motif);

// The pattern's letters as a str, one character per symbol.
py::str motif_pattern(const Motif& motif);

// The repr: Motif('<pattern>').
py::str motif_repr(const Motif& motif);

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
  py::list fill(const SymbolicDataset& ds);

 private:
  const Unlocked* lock;
  py::object outer;
};

// The letters of every sequence as one-character strings.
py::list symbolic_list(const SymbolicDataset& ds);

// A symbolic dataset already made into Python lists of one-character strings.
struct SymbolLists {
  py::list lists;
};

}  // namespace kez::bind

// ---- The binding library's casters for the result types above.

namespace pybind11::detail {

// Handed over as built; the caster only names the type in signatures.
template <>
struct type_caster<kez::bind::SymbolLists> {
  PYBIND11_TYPE_CASTER(kez::bind::SymbolLists, const_name("list[list[str]]"));

  static handle cast(const kez::bind::SymbolLists& src, return_value_policy, handle) { return src.lists.inc_ref(); }
};

// Lists of motifs come in by the standard rule and go out by motif_list, which raises what stopped it.
template <>
struct type_caster<std::vector<kez::Motif>> : list_caster<std::vector<kez::Motif>, kez::Motif> {
  template <typename Motifs>
  static handle cast(Motifs&& src, return_value_policy, handle) {
    return kez::bind::motif_list(std::forward<Motifs>(src)).release();
  }
};

}  // namespace pybind11::detail

namespace kez::bind {

// ---- Saved states.

// The items of a saved state, each read as the type its field has and refused in a message naming the state
// and the field: TypeError for an item of another type, ValueError for a value out of range.
class StateItems {
 public:
  // The items of `saved`, the state of `whose`, refused unless there are `count` of them.
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

  // A float, or an int read as one.
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

  // A bytes item as it is.
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

  // A list of Motif objects.
  std::vector<Motif> motifs(std::size_t at, const char* field) const {
    py::detail::make_caster<std::vector<Motif>> list;
    if (!list.load(items[at], false)) refuse_type(at, field, "a list of Motif objects");
    return py::detail::cast_op<std::vector<Motif>>(std::move(list));
  }

 private:
  // Raises TypeError: the item at `at` is not `wanted`.
  [[noreturn]] void refuse_type(std::size_t at, const char* field, const char* wanted) const {
    throw py::type_error(owner + ": item " + std::to_string(at) + " (" + field + ") must be " + wanted + ", not " +
                         a_type(items[at]));
  }

  const py::tuple& items;
  const std::string owner;
};

// A motif's saved state: its fields as ints and as bytes in the machine's own layout.
py::tuple motif_state(const Motif& motif);

// The motif a saved state holds, or a refusal naming the item that is wrong.
Motif motif_from_state(const py::tuple& t);

}  // namespace kez::bind
