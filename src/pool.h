// The one place where work is shared between threads: a pool of workers, started when first needed, that
// runs the parts of a split loop beside the thread that asked.
//
// Why a split cannot change a result: every loop handed to parallel_for writes what each item yields into
// places of its own (a slot per series, per motif, per part), known before the loop starts, and nothing
// reads those places until the whole loop is done. No item depends on another item's result or on the
// order the items run in. Every floating-point sum and every hash-map insertion whose order is part of
// the results stays inside one item, in the order a single thread takes, or is done after the loop on
// the calling thread; parts are then joined in item order. So one thread and many give the same bits,
// and the number of threads is a setting of speed only.
#pragma once

#include <cstddef>
#include <functional>

namespace kez {

// The most threads a split loop may be set to use: far beyond any machine's cores, and small enough that
// no count of parts overflows.
constexpr std::size_t most_threads = 4096;

// Sets how many threads a split loop may use, the calling thread included; 0 means one per core the
// machine has, which is also the setting before any call. Throws std::invalid_argument above most_threads.
void set_threads(std::size_t count);

// Returns how many threads a split loop may use now, the calling thread included (at least 1).
std::size_t thread_count();

// For tests: with `on`, every split loop takes parts of the smallest size its caller allows, whatever the input's
// size, so that small inputs go through the threads too.
void set_split_everything(bool on);

// Returns `least`, the smallest part worth handing to a worker, or 1 while set_split_everything is on.
std::size_t least_part(std::size_t least);

// Returns how many of `count` items, `work` units of work in all (a sample read, an occurrence scanned), a
// part should hold: a few parts per thread, so that uneven items still share out, none with less work than
// is worth handing to a worker, and none so long that Ctrl-C waits for it. Loops too small to split get a
// single part.
std::size_t part_size(std::size_t count, std::size_t work);

// Calls body(begin, end) for consecutive parts [begin, end) of the items [0, count), each of at most `grain`
// items (0 counts as 1), on the calling thread and on up to thread_count() - 1 workers of the pool. A loop of
// one part, or with one thread, runs on the calling thread alone, in item order. The calling thread calls
// between(done), with the number of items finished so far, between parts and every few milliseconds while
// it waits for the workers, so that it can report progress or stop the loop by throwing. `meanwhile`, if
// given, runs on the calling thread once the workers have the loop, before it takes a part itself. Whatever a
// body, `between` or `meanwhile` throws stops the parts not yet begun, and is rethrown once every part begun
// has finished: the exception of the lowest failing part, or else that of the calling thread's own calls. A body
// runs on any thread, so what it throws must be safe to destroy on any thread; what `between` and `meanwhile`
// throw is copied and destroyed on the calling thread alone.
void parallel_for(std::size_t count, std::size_t grain, const std::function<void(std::size_t, std::size_t)>& body,
                  const std::function<void(std::size_t)>& between = {}, const std::function<void()>& meanwhile = {});

}  // namespace kez
