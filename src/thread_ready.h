// What a thread needs before it can throw, made while memory is still there.
#pragma once

#include <exception>

namespace kez {

// Makes the calling thread's exception state exist now; after the first call on a thread it costs a thread-local
// read. The C++ runtime comes into the process with the module, so the C library makes that state on a thread's
// first use of it, from the heap: when that use is the thread's first throw, of std::bad_alloc because memory has
// run out, the C library cannot make it and ends the process. So every thread that runs this module's code calls
// this when it starts to.
inline void ready_to_throw() {
  // The library declares the call pure: a result that is never used would let the compiler drop the call.
  const volatile int uncaught = std::uncaught_exceptions();
  static_cast<void>(uncaught);
}

}  // namespace kez
