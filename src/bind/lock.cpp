// The module's lock and signals: what the templates in lock.h call, and the progress reports' forwarding.
#include "bind/lock.h"

#include <unistd.h>

#include "bind/results.h"

namespace kez::bind {

namespace {

const char* stage_name(Stage stage) {
  switch (stage) {
    case Stage::discretise: return "discretise";
    case Stage::grow: return "grow";
    case Stage::compare: return "compare";
    default: return "map";
  }
}

}  // namespace

void check_signals() {
  if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

bool on_main_thread() {
  const py::object threading = py::module_::import("threading");
  return threading.attr("get_ident")().equal(threading.attr("main_thread")().attr("ident"));
}

std::uint64_t this_caller() {
  return (static_cast<std::uint64_t>(getpid()) << 32) | static_cast<std::uint32_t>(gettid());
}

bool held_by_this_process(std::uint64_t holder) { return (holder >> 32) == static_cast<std::uint64_t>(getpid()); }

void ProgressForwarder::operator()(Stage stage, std::size_t done, std::size_t total) {
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

}  // namespace kez::bind
