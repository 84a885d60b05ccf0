// Reading arguments: Python values as native ones, whole or not at all, and the casters that read them.
#pragma once

#include <pybind11/pybind11.h>

#include <optional>
#include <string>
#include <utility>

#include "bind/lock.h"
#include "miner.h"
#include "motif.h"
#include "patterns.h"
#include "sax.h"
#include "thread_ready.h"

namespace kez::bind {

// What a buffer's element format says about converting it: how to read one element, or that the
// buffer is refused outright (complex numbers), or that it is left to the sequence rules (anything else).
enum class ElementKind { float_, half, signed_, unsigned_, boolean, complex_, other };

// A dataset argument: a sequence of series, a 2-D buffer, or a sequence mixing series and 1-D buffers.
// A 2-D buffer is held and read only when its rows are needed, so `sax` reads it in place; reading it
// cannot fail, so the argument still converts whole or not at all.
struct SeriesList {
  Dataset series;
  std::optional<py::buffer_info> table;
  ElementKind kind = ElementKind::other;
};

// Reads row `r` of the held table into `row`, whose memory is reused.
void table_row(const SeriesList& ts, py::ssize_t r, Series& row);

// Row `r` of the held table as a series of its own.
Series table_row(const SeriesList& ts, py::ssize_t r);

// A symbolic dataset argument.
struct SymbolicRows {
  SymbolicDataset rows;
};

// An int argument of a call that also takes a dataset, named for its refusal: the binding library's message
// would show every argument's value, the dataset's included.
template <const char* Name>
struct NamedInt {
  int value;
};

// The type's name after "a" or "an", as a refusal says it.
std::string a_type(py::handle src);

// A dataset, or a data frame whose rows are the series; the shapes that are easy to pass by mistake get a
// message of their own.
void load_dataset(py::handle src, bool convert, Dataset& out, SeriesList& held);

// A symbolic dataset: a sequence (not str or bytes) of such sequences of one-character symbols, with a look for a
// pending Ctrl-C every so many symbols. What does not convert is refused in one line saying what and where.
void load_symbols(py::handle src, bool convert, SymbolicDataset& out);

}  // namespace kez::bind

// ---- The binding library's casters for the argument types above.

// An interpreter thread other than the importing one enters the module through a method of a bound class (`self`,
// loaded first) or a function whose first argument is a dataset; either load readies it to throw before the call
// allocates anything much.
namespace pybind11::detail {

template <typename Class>
struct ReadyingCaster : type_caster_base<Class> {
  bool load(handle src, bool convert) {
    kez::ready_to_throw();
    return type_caster_base<Class>::load(src, convert);
  }
};

template <>
class type_caster<kez::Motif> : public ReadyingCaster<kez::Motif> {};
template <>
class type_caster<kez::bind::Guarded<kez::Miner>> : public ReadyingCaster<kez::bind::Guarded<kez::Miner>> {};
template <>
class type_caster<kez::bind::Guarded<kez::PatternMiner>>
    : public ReadyingCaster<kez::bind::Guarded<kez::PatternMiner>> {};

// Whole or not at all: the dataset is built aside and only a complete one is kept. A refusal raises a message of
// its own rather than the binding library's, which would show the argument's whole value.
template <>
struct type_caster<kez::bind::SeriesList> {
  PYBIND11_TYPE_CASTER(kez::bind::SeriesList, const_name("list[list[float]]"));

  bool load(handle src, bool convert) {
    kez::ready_to_throw();  // the first argument of `sax`: the thread's entry into the module
    kez::bind::SeriesList loaded;
    kez::bind::load_dataset(src, convert, loaded.series, loaded);
    value = std::move(loaded);
    return true;
  }
};

// A symbolic dataset, read by load_symbols.
template <>
struct type_caster<kez::bind::SymbolicRows> {
  PYBIND11_TYPE_CASTER(kez::bind::SymbolicRows, const_name("list[list[str]]"));

  bool load(handle src, bool convert) {
    kez::bind::SymbolicRows loaded;
    kez::bind::load_symbols(src, convert, loaded.rows);
    value = std::move(loaded);
    return true;
  }
};

// An int in the signed 32-bit range, refused in a message naming the argument.
template <const char* Name>
struct type_caster<kez::bind::NamedInt<Name>> {
  PYBIND11_TYPE_CASTER(kez::bind::NamedInt<Name>, const_name("int"));

  bool load(handle src, bool convert) {
    make_caster<int> number;
    if (number.load(src, convert)) {
      value.value = cast_op<int>(number);
      return true;
    }
    if (!convert) return false;  // the pass with conversions decides
    const std::string got = PyLong_Check(src.ptr()) ? "an int outside it" : kez::bind::a_type(src);
    throw type_error(std::string(Name) + " must be an int in the signed 32-bit range, not " + got);
  }
};

}  // namespace pybind11::detail
