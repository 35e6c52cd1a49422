// The graph's name registry: node names to slot indices.
#pragma once

#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dag/linear_probing.hpp"
#include "errors/fault.hpp"
#include "random/keyed_hash.hpp"

namespace brambleloft {

// A compact open-addressing table: the probed array holds only 8-byte buckets (32
// bits of the name's hash and an entry number), and the names with their indices sit
// in a separate array in the order they were registered. The bucket array stays small
// enough to live in cache for graphs of a few hundred thousand names, and work that
// walks names in the order they came (draining a task graph) reads the entries one
// after another instead of one scattered cell per name. Names come from callers, so
// the hash is randomly keyed: no caller can aim names at one probe run.
//
// Invariants: the number of buckets is 0 or a power of two, at most 2^32, and size_
// <= 3/4 of it; each bucket sits in the probe run from its home (hash & mask) with no
// empty bucket between; a bucket's entry number is 0 when empty, else 1 + the entry.
// Entries not in use form a list through their index field, headed by free_entry_.
//
// Insertion never allocates: reserve_one_more() makes the room first.
class NameTable {
 public:
  using Index = std::uint64_t;

  NameTable() = default;
  NameTable(NameTable&& other) noexcept
      : buckets_(std::move(other.buckets_)),
        entries_(std::move(other.entries_)),
        free_entry_(std::exchange(other.free_entry_, kNoEntry)),
        size_(std::exchange(other.size_, 0)),
        hash_(other.hash_) {
    other.buckets_.clear();
    other.entries_.clear();
  }
  NameTable& operator=(NameTable&&) = delete;

  std::size_t size() const noexcept { return size_; }

  // The index of the name, or nullptr. O(1) expected.
  const Index* find(std::string_view name) const noexcept {
    if (size_ == 0) return nullptr;
    const Bucket bucket = buckets_[find_bucket(name, hash_(name))];
    return bucket.entry == 0 ? nullptr : &entries_[bucket.entry - 1].index;
  }

  // Makes room for one more name without changing the content. Throws
  // std::bad_alloc with the table unchanged. Amortised O(1).
  void reserve_one_more() {
    if (free_entry_ == kNoEntry && entries_.size() == entries_.capacity()) {
      if (entries_.size() >= kMaxNames) raise_fault("capacity overflow");
      entries_.reserve(entries_.empty() ? 16 : 2 * entries_.size());  // keeps the content on failure
    }
    if (4 * (size_ + 1) <= 3 * buckets_.size()) return;
    const std::size_t capacity = buckets_.empty() ? 16 : 2 * buckets_.size();
    std::vector<Bucket> grown(capacity);  // the only step here that can fail
    // Entry numbers fit 32 bits, so the hash bits kept in a bucket cover every mask.
    for (const Bucket bucket : buckets_) {
      if (bucket.entry == 0) continue;
      std::size_t at = bucket.hash & (capacity - 1);
      while (grown[at].entry != 0) at = (at + 1) & (capacity - 1);
      grown[at] = bucket;
    }
    buckets_.swap(grown);
  }

  // Requires: the name is absent and reserve_one_more() ran since the last insert.
  void insert(std::string name, Index index) noexcept {
    const std::uint64_t hash = hash_(name);
    const std::size_t at = find_bucket(name, hash);
    std::uint32_t entry = free_entry_;
    if (entry != kNoEntry) {
      free_entry_ = static_cast<std::uint32_t>(entries_[entry].index);
      entries_[entry] = Entry{std::move(name), index};
    } else {
      entry = static_cast<std::uint32_t>(entries_.size());
      entries_.push_back(Entry{std::move(name), index});  // within the reserved room
    }
    buckets_[at] = Bucket{static_cast<std::uint32_t>(hash), entry + 1};
    ++size_;
  }

  // Removes the name if present; O(1) expected.
  void erase(std::string_view name) noexcept {
    if (size_ == 0) return;
    const std::size_t hole = find_bucket(name, hash_(name));
    const std::uint32_t entry_number = buckets_[hole].entry;
    if (entry_number == 0) return;
    const std::size_t mask = buckets_.size() - 1;
    const std::size_t hole_left = close_hole(
        buckets_.data(), mask, hole, [](const Bucket& bucket) { return bucket.entry == 0; },
        [&](const Bucket& bucket) { return bucket.hash & mask; });
    buckets_[hole_left] = Bucket{};
    Entry& entry = entries_[entry_number - 1];
    entry.name = std::string();  // gives a long name's buffer back
    entry.index = free_entry_;
    free_entry_ = entry_number - 1;
    --size_;
  }

 private:
  static constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();
  // Keeps entry numbers, plus one, within 32 bits and the buckets within 2^32.
  static constexpr std::size_t kMaxNames = std::size_t{1} << 31;

  struct Bucket {
    std::uint32_t hash = 0;   // the low bits of the name's hash
    std::uint32_t entry = 0;  // 0: empty
  };
  struct Entry {
    std::string name;
    Index index;  // of a free entry: the next free entry
  };

  // The bucket of the name, or the empty bucket where it would go.
  std::size_t find_bucket(std::string_view name, std::uint64_t hash) const noexcept {
    const std::size_t mask = buckets_.size() - 1;
    const auto low = static_cast<std::uint32_t>(hash);
    std::size_t at = hash & mask;
    while (buckets_[at].entry != 0 &&
           (buckets_[at].hash != low || entries_[buckets_[at].entry - 1].name != name)) {
      at = (at + 1) & mask;
    }
    return at;
  }

  std::vector<Bucket> buckets_;  // none, or a power of two
  std::vector<Entry> entries_;
  std::uint32_t free_entry_ = kNoEntry;
  std::size_t size_ = 0;
  KeyedStringHash hash_;
};

}  // namespace brambleloft
