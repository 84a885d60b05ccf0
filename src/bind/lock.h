// The module's lock and signals: the interpreter lock given up for native work, Ctrl-C, and the hold on a miner.
#pragma once

#include <pybind11/pybind11.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <thread>
#include <utility>

#include "patterns.h"

namespace kez::bind {

namespace py = pybind11;

// Lets Ctrl-C stop a long run: a pending signal handler's exception unwinds the native call.
void check_signals();

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

  // Gives the lock up.
  void release() {
    saved = PyEval_SaveThread();
    state = State::released;
  }
  // Takes the lock back, or waits for the end of the process on a thread other than the main one while the
  // interpreter shuts down.
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

// Whether this is the main thread: the only one that runs signal handlers, and the one that shuts the
// interpreter down.
bool on_main_thread();

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
std::uint64_t this_caller();

// Whether `holder` names a thread of this process.
bool held_by_this_process(std::uint64_t holder);

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

// Hands a run's progress to a Python callable as (stage, done, total), at most every few milliseconds
// besides the first and last report of each stage and every report without a total, so that a report
// per unit of work costs a clock read.
class ProgressForwarder {
 public:
  explicit ProgressForwarder(py::function report) : to(std::move(report)) {}

  // Reports while `gil` is given up take it back for the call; an exception the callable raises leaves
  // with the lock held.
  void during(Unlocked& gil) { unlocked = &gil; }

  // Hands one report on, or drops it when it is no stage's first or last and comes within the interval after
  // the last one handed on.
  void operator()(Stage stage, std::size_t done, std::size_t total);

 private:
  static constexpr std::chrono::milliseconds interval{20};
  py::function to;
  Unlocked* unlocked = nullptr;
  std::optional<Stage> last_stage;
  std::chrono::steady_clock::time_point last_call{};
};

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

}  // namespace kez::bind
