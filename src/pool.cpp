#include "pool.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

#include "thread_ready.h"

namespace kez {

namespace {

using Body = std::function<void(std::size_t, std::size_t)>;
using Between = std::function<void(std::size_t)>;

// One split loop: its parts are taken in order, one at a time, by whichever thread runs it.
struct Job {
  Job(std::size_t items, std::size_t per_part, const Body& run, std::size_t wanted)
      : count(items), grain(per_part), parts((items + per_part - 1) / per_part), body(run), helpers_wanted(wanted) {}

  // Runs parts until none is left or the job has stopped; `between`, if any, after each.
  void run_parts(const Between* between) {
    while (!stopped.load(std::memory_order_relaxed)) {
      const std::size_t part = next.fetch_add(1);
      if (part >= parts) return;
      const std::size_t begin = part * grain;
      const std::size_t end = std::min(count, begin + grain);
      try {
        body(begin, end);
      } catch (...) {
        fail_part(part, std::current_exception());
      }
      finished.fetch_add(end - begin);
      if (between != nullptr) report(*between);
    }
  }

  // Calls `between` on the calling thread, keeping what it throws as the calling thread's failure.
  void report(const Between& between) {
    try {
      between(finished.load());
    } catch (...) {
      fail_caller(std::current_exception());
    }
  }

  // Keeps the failure of the lowest part. A body runs on any thread, so it never throws a Python error, and
  // a failure it replaces may be dropped by whichever thread replaces it.
  void fail_part(std::size_t part, std::exception_ptr error) {
    const std::lock_guard<std::mutex> lock(failure_mutex);
    stopped.store(true);
    if (!part_failure || part < failed_part) {
      failed_part = part;
      part_failure = std::move(error);
    }
  }

  // Keeps the first failure of the calling thread's own calls (`between`, `meanwhile`). It may be a Python
  // error, which only a thread holding the interpreter lock may free, so no worker ever touches this slot:
  // the calling thread alone writes it, and drops it with the job.
  void fail_caller(std::exception_ptr error) {
    stopped.store(true);
    if (!caller_failure) caller_failure = std::move(error);
  }

  // Rethrows the failure of the lowest failing part, or else the calling thread's own, if any.
  void rethrow_failure() const {
    if (part_failure) std::rethrow_exception(part_failure);
    if (caller_failure) std::rethrow_exception(caller_failure);
  }

  bool open() const { return helpers.load() < helpers_wanted && !stopped.load() && next.load() < parts; }

  const std::size_t count;
  const std::size_t grain;
  const std::size_t parts;
  const Body& body;
  const std::size_t helpers_wanted;     // workers that may join it
  std::atomic<std::size_t> helpers{0};  // workers in it now; changed only under the pool's mutex
  std::atomic<std::size_t> next{0};
  std::atomic<std::size_t> finished{0};
  std::atomic<bool> stopped{false};
  std::mutex failure_mutex;
  std::size_t failed_part = 0;
  std::exception_ptr part_failure;
  std::exception_ptr caller_failure;
};

// What the workers share: the loops open to them and how many of them there are.
struct Shared {
  std::mutex mutex;
  std::condition_variable wake;  // a loop has come
  std::condition_variable left;  // a worker has left a loop
  std::deque<Job*> jobs;
  std::size_t workers = 0;
  std::size_t sleeping = 0;            // workers waiting on `wake`
  std::atomic<std::size_t> posted{0};  // loops ever posted, for workers that spin instead of sleeping
};

// Loops tend to come in quick succession (one per level, one per pattern compared), so a worker, and a
// caller waiting for its workers, first spins this long, which costs less than falling asleep and being woken.
constexpr auto spin_time = std::chrono::microseconds(200);

// Returns true as soon as done() does, or false once spin_time has passed.
template <typename Done>
bool spin_until(const Done& done) {
  const auto until = std::chrono::steady_clock::now() + spin_time;
  for (unsigned round = 1;; ++round) {
    if (done()) return true;
    if (round % 64 == 0 && std::chrono::steady_clock::now() > until) return false;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
  }
}

Job* open_job(Shared& shared) {
  const auto found = std::find_if(shared.jobs.begin(), shared.jobs.end(), [](const Job* j) { return j->open(); });
  return found == shared.jobs.end() ? nullptr : *found;
}

void work(Shared& shared) {
  // Now, while the memory that started the thread is likely still there, not at the first failure of a part.
  ready_to_throw();
  std::unique_lock<std::mutex> lock(shared.mutex);
  for (;;) {
    Job* job = open_job(shared);
    if (job == nullptr) {
      const std::size_t seen = shared.posted.load();
      lock.unlock();
      const bool posted = spin_until([&] { return shared.posted.load() != seen; });
      lock.lock();
      job = open_job(shared);
      if (job == nullptr && !posted) {
        ++shared.sleeping;
        shared.wake.wait(lock, [&] { return (job = open_job(shared)) != nullptr; });
        --shared.sleeping;
      }
      if (job == nullptr) continue;
    }
    job->helpers.fetch_add(1);
    lock.unlock();
    job->run_parts(nullptr);
    lock.lock();
    if (job->helpers.fetch_sub(1) == 1) shared.left.notify_all();
  }
}

class Pool {
 public:
  Pool() {
    pthread_atfork(nullptr, nullptr, [] { instance().forget_workers(); });
  }

  // The pool of the process. It is never destroyed: a worker, or a thread still mining while the process
  // exits, may use it to the last.
  static Pool& instance() {
    static Pool* const pool = std::make_unique<Pool>().release();
    return *pool;
  }

  // Makes sure `wanted` workers exist, as far as the system lets threads start; returns the shared state.
  Shared& with_workers(std::size_t wanted) {
    Shared& s = *shared;
    const std::lock_guard<std::mutex> lock(s.mutex);
    try {
      for (; s.workers < wanted; ++s.workers) std::thread(work, std::ref(s)).detach();
    } catch (const std::system_error&) {
      // Fewer threads than asked only makes the loops slower.
    }
    return s;
  }

  std::atomic<std::size_t> threads{0};
  std::atomic<bool> split_everything{false};

 private:
  // A child of fork has none of its parent's threads: its first loop starts workers of its own, on state
  // of its own. The parent's state is left as it was, unused.
  void forget_workers() {
    static_cast<void>(shared.release());
    shared = std::make_unique<Shared>();
  }

  std::unique_ptr<Shared> shared = std::make_unique<Shared>();
};

void run_alone(std::size_t count, std::size_t grain, const Body& body, const Between& between,
               const std::function<void()>& meanwhile) {
  if (meanwhile) meanwhile();
  for (std::size_t begin = 0; begin < count; begin += grain) {
    const std::size_t end = std::min(count, begin + grain);
    body(begin, end);
    if (between) between(end);
  }
}

}  // namespace

void set_threads(std::size_t count) {
  if (count > most_threads) {
    throw std::invalid_argument("thread count " + std::to_string(count) + " is above the most, " +
                                std::to_string(most_threads));
  }
  Pool::instance().threads.store(count);
}

void set_split_everything(bool on) { Pool::instance().split_everything.store(on); }

std::size_t least_part(std::size_t least) { return Pool::instance().split_everything.load() ? 1 : least; }

std::size_t part_size(std::size_t count, std::size_t work) {
  // About 30 microseconds of the simplest work: less, and waking a worker costs more than it saves.
  constexpr std::size_t least_work = std::size_t{1} << 15;
  // A few milliseconds: the calling thread looks for Ctrl-C between its parts, and a stopped loop waits for
  // the parts already begun, so no part may run for long.
  constexpr std::size_t most_work = std::size_t{1} << 21;
  if (count == 0) return 1;
  const std::size_t parts = 4 * thread_count();
  const std::size_t per_item = std::max<std::size_t>(work / count, 1);
  const std::size_t least = std::max<std::size_t>(least_part(least_work) / per_item, 1);
  const std::size_t most = std::max<std::size_t>(most_work / per_item, 1);
  return std::max(least, std::min((count + parts - 1) / parts, most));
}

std::size_t thread_count() {
  const std::size_t set = Pool::instance().threads.load();
  if (set != 0) return set;
  // Asked of the system once: each answer reads a file of it, which costs more than a small loop's work.
  static const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  return cores;
}

void parallel_for(std::size_t count, std::size_t grain, const Body& body, const Between& between,
                  const std::function<void()>& meanwhile) {
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t threads = thread_count();
  if (count <= grain || threads == 1) return run_alone(count, grain, body, between, meanwhile);
  Job job(count, grain, body, std::min(threads - 1, (count + grain - 1) / grain - 1));
  Shared& shared = Pool::instance().with_workers(job.helpers_wanted);
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(shared.mutex);
    shared.jobs.push_back(&job);
    shared.posted.fetch_add(1);
    wake = shared.sleeping > 0;
  }
  if (wake) shared.wake.notify_all();
  if (meanwhile) {
    try {
      meanwhile();
    } catch (...) {
      job.fail_caller(std::current_exception());
    }
  }
  job.run_parts(between ? &between : nullptr);
  {
    std::unique_lock<std::mutex> lock(shared.mutex);
    shared.jobs.erase(std::find(shared.jobs.begin(), shared.jobs.end(), &job));
  }
  // No worker joins the loop now; those in it finish the parts they took.
  if (!spin_until([&] { return job.helpers.load() == 0; })) {
    std::unique_lock<std::mutex> lock(shared.mutex);
    while (job.helpers.load() != 0) {
      shared.left.wait_for(lock, std::chrono::milliseconds(10));
      if (job.helpers.load() == 0 || !between || job.stopped.load()) continue;
      lock.unlock();
      job.report(between);
      lock.lock();
    }
  }
  job.rethrow_failure();
}

}  // namespace kez
