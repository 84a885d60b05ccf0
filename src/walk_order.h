// The order in which the per-series maps are walked, and the two ways this system reproduces it.
//
// A record's occurrence index, average occurrences and best matches are hash maps from series index, and
// the order they are walked in is part of the results: it is the order of the keys of the dicts Python
// sees, the order in which the representative sums the series, and, through the occurrence index of a
// prefix, the order in which the series of every longer pattern are recorded. That order is whatever the
// standard library's unordered_map makes of the keys inserted (its hash of integers, its bucket counts and
// when it grows). Where the data lives in flat buffers rather than in such maps, the order is replayed
// instead: the same keys are inserted, in the same order, into a fresh map, which walks as the map it stands
// for; one cleared and reused would keep its grown buckets and walk differently. With the GNU library the
// replay builds no map: it links the keys as that library links nodes (a new key joins the front of its
// bucket, a key opening a bucket goes in front of all, and growing the buckets relinks the keys in walk
// order), and asks the library's own growth rule when the buckets grow and to how many; elsewhere it builds a
// SeriesMap. Restoring a saved record needs the opposite, a map that walks in an order already known; that
// relies on the same linking (below).
//
// All of this depends on the standard library's hash map; the native tests pin the orders of a few key
// sequences and hold the replay to a real map on many more, so that a different library shows up there rather
// than as silently different results.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <unordered_map>
#include <utility>
#include <vector>

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
  // The replay's memory comes from one block on the stack, spilling to the heap only for many keys, and is
  // let go of at once.
  std::array<std::byte, 16384> block;
  std::pmr::monotonic_buffer_resource arena(block.data(), block.size());
#if defined(__GLIBCXX__)
  // Keys are named by their number i; `head` stands for the place before the first key of the walk. A bucket
  // holds the key before its first key (`head` for the bucket that walks first), or `none` while empty.
  constexpr std::uint32_t none = 0xffffffffu;
  const auto head = static_cast<std::uint32_t>(count);
  std::pmr::vector<std::uint32_t> next(count + 1, none, &arena);
  std::pmr::vector<std::uint32_t> buckets(1, none, &arena);
  std::pmr::vector<std::uint32_t> grown(&arena);
  // The hash of an integer key is the key itself, taken as a size. Its bucket is the remainder by the bucket
  // count; for the keys and counts of 32 bits that series have, the remainder comes from one product with
  // the count's rounded-up reciprocal rather than from a division, exactly.
  __extension__ using Wide = unsigned __int128;
  std::uint64_t reciprocal = 0;
  const auto bucket_of = [&key_at, &reciprocal](std::uint32_t i, std::size_t buckets_count) -> std::size_t {
    const auto key = static_cast<std::int64_t>(key_at(i));
    if (key < 0 || key > 0xffffffff || buckets_count > 0xffffffff) return static_cast<std::size_t>(key) % buckets_count;
    const std::uint64_t fraction = reciprocal * static_cast<std::uint64_t>(key);
    return static_cast<std::size_t>((static_cast<Wide>(fraction) * buckets_count) >> 64);
  };
  const auto divide_by = [&reciprocal](std::size_t buckets_count) {
    reciprocal = ~std::uint64_t{0} / buckets_count + 1;
  };
  divide_by(1);
  std::__detail::_Prime_rehash_policy growth;
  for (std::uint32_t i = 0; i < head; ++i) {
    const std::pair<bool, std::size_t> grow = growth._M_need_rehash(buckets.size(), i, 1);
    if (grow.first) {
      grown.assign(grow.second, none);
      divide_by(grown.size());
      std::uint32_t p = next[head];
      next[head] = none;
      std::size_t first_bucket = 0;
      while (p != none) {
        const std::uint32_t after = next[p];
        const std::size_t b = bucket_of(p, grown.size());
        if (grown[b] == none) {
          next[p] = next[head];
          next[head] = p;
          grown[b] = head;
          if (next[p] != none) grown[first_bucket] = p;
          first_bucket = b;
        } else {
          next[p] = next[grown[b]];
          next[grown[b]] = p;
        }
        p = after;
      }
      buckets.swap(grown);
    }
    const std::size_t b = bucket_of(i, buckets.size());
    if (buckets[b] != none) {
      next[i] = next[buckets[b]];
      next[buckets[b]] = i;
    } else {
      next[i] = next[head];
      next[head] = i;
      if (next[i] != none) buckets[bucket_of(next[i], buckets.size())] = i;
      buckets[b] = head;
    }
  }
  for (std::uint32_t p = next[head]; p != none; p = next[p]) visit(std::size_t{p});
#else
  std::pmr::unordered_map<std::int32_t, std::size_t> replay(&arena);
  for (std::size_t i = 0; i < count; ++i) replay.emplace(key_at(i), i);
  for (const auto& entry : replay) visit(entry.second);
#endif
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
