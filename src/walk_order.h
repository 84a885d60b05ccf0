// The order in which the per-series maps are walked, and the two ways this system reproduces it.
//
// A record's occurrence index, average occurrences and best matches are hash maps from series index, and
// the order they are walked in is part of the results: it is the order of the keys of the dicts Python
// sees, the order in which the representative sums the series, and, through the occurrence index of a
// prefix, the order in which the series of every longer pattern are recorded. That order is whatever the
// standard library's unordered_map makes of the keys inserted (its hash of integers, its bucket counts and
// when it grows), and nothing here restates those rules. Where the data lives in flat buffers rather than
// in such maps, the order is replayed instead: a fresh SeriesMap is given the same keys in the same order
// and read back, so it goes through the same buckets and growth and walks as the map it stands for. A map
// that is cleared and reused would keep its grown buckets and walk differently, so every replay starts
// from a fresh one. Restoring a saved record needs the opposite, a map that walks in an order already
// known; that relies on how the standard library links a node into its bucket (below).
//
// Both depend on the standard library's hash map; the native tests pin the orders of a few key sequences,
// so that a different library shows up there rather than as silently different results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <unordered_map>

namespace kez {

// Series index to a value: the hash map of every per-series collection, whose walk order the replays
// reproduce; any two of its instantiations walk the same keys alike, whatever they map to.
template <typename T>
using SeriesMap = std::unordered_map<std::int32_t, T>;

// Calls visit(i), for every i below `count`, in the order a fresh SeriesMap walks the distinct keys
// key_at(0), ..., key_at(count - 1) inserted in that order.
template <typename KeyAt, typename Visit>
void for_each_in_walk_order(std::size_t count, const KeyAt& key_at, const Visit& visit) {
  if (count == 1) {
    // One key walks as itself; no map is needed to know that.
    visit(std::size_t{0});
    return;
  }
  // The replay's nodes and buckets come from one block on the stack, spilling to the heap only for many
  // keys, and are let go of at once. It is the same hash table with another allocator, so it walks as a
  // SeriesMap does.
  std::array<std::byte, 16384> block;
  std::pmr::monotonic_buffer_resource arena(block.data(), block.size());
  std::pmr::unordered_map<std::int32_t, std::size_t> replay(&arena);
  for (std::size_t i = 0; i < count; ++i) replay.emplace(key_at(i), i);
  for (const auto& entry : replay) visit(entry.second);
}

// Fills the empty `map` with the entries entry_at(0), ..., entry_at(count - 1) (key and value pairs), read in
// walk order from a map of `buckets` buckets (0: not known), so that it walks them in that order; returns the
// number of an entry whose key a later entry already has, or `count` when every key is distinct.
template <typename T, typename EntryAt>
std::size_t fill_in_walk_order(SeriesMap<T>& map, std::size_t buckets, std::size_t count, const EntryAt& entry_at) {
  // With the saved bucket count, and filled in reverse of the order it is to walk in, the map walks in
  // that order: each new key goes to the front of its bucket, and a key opening a bucket to the front of all.
  if (buckets > 0) map.rehash(buckets);
  for (std::size_t i = count; i-- > 0;) {
    if (!map.insert(entry_at(i)).second) return i;
  }
  return count;
}

}  // namespace kez
