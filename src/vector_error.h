// The standard vector's own length errors, for the checks that stand in for a vector refusing a size.
#pragma once

#include <stdexcept>

namespace kez {

// The vector operation whose refusal a check stands in for.
enum class VectorCall { construct, resize };

// Throws the std::length_error, word for word, that the standard library's std::vector throws when `call`
// is asked for more than max_size() elements.
[[noreturn]] inline void throw_vector_length_error(VectorCall call) {
  // This system has no errors of its own: a size that cannot be (a negative count, or one past any memory)
  // is reported as the container that would hold it reports it, and that is how Python callers see it
  // (ValueError with the container's words). Where a check comes first, to refuse before anything is
  // allocated or changed, it raises what the vector would have raised.
  throw std::length_error(call == VectorCall::construct ? "cannot create std::vector larger than max_size()"
                                                        : "vector::_M_default_append");
}

}  // namespace kez
