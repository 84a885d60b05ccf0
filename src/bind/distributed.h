// The private steps of a run shared out over a cluster: shards of series on the workers, the mapping on the driver.
#pragma once

#include <pybind11/pybind11.h>

namespace kez::bind {

// Adds the shard classes and functions, all named with a leading underscore, to `m`.
void define_shard(pybind11::module_& m);

}  // namespace kez::bind
