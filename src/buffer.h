// Buffers that are written before they are read.
#pragma once

#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace kez {

// Allocates as std::allocator does, but leaves an element made without a value uninitialised, so that
// growing a buffer costs no pass over memory that is about to be written anyway.
template <typename T>
struct UninitialisedAllocator : std::allocator<T> {
  template <typename U>
  struct rebind {
    using other = UninitialisedAllocator<U>;
  };

  UninitialisedAllocator() = default;
  template <typename U>
  UninitialisedAllocator(const UninitialisedAllocator<U>&) noexcept {}

  template <typename U>
  void construct(U* at) noexcept {
    ::new (static_cast<void*>(at)) U;
  }
  template <typename U, typename... Args>
  void construct(U* at, Args&&... args) {
    ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
  }
};

// A vector whose resize leaves the new elements of a trivial type unwritten: every element must be written
// before it is read.
template <typename T>
using Buffer = std::vector<T, UninitialisedAllocator<T>>;

}  // namespace kez
