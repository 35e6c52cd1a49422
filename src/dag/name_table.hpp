// The graph's name registry: node names to slot indices.
#pragma once

#include <algorithm>
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
// The table owns the only copy of each name the graph keeps: a slot refers to its
// name by entry number. A name handed out at the index level is kept in an entry that
// no bucket lists (its index field kUnlisted), so it is stored but never found.
//
// Invariants: the number of buckets is 0 or a power of two, at most 2^32, and size_
// <= 3/4 of it; each bucket sits in the probe run from its home (hash & mask) with no
// empty bucket between; a bucket's entry number is 0 when empty, else 1 + the entry.
// Entries not in use form a list through their index field, headed by free_entry_.
// Entry numbers stay below kMaxEntries.
//
// Insertion never allocates: reserve_one_more() or reserve_entry() makes the room first.
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

  // Entry numbers, and the one above them, fit 31 bits.
  static constexpr std::uint32_t kMaxEntries = (std::uint32_t{1} << 31) - 1;

  // Where a name is, or where it would go: one hash and one probe, which serve a
  // following insert or erase of that name as long as nothing is erased in between.
  struct Spot {
    std::uint64_t hash;
    std::size_t bucket;
    std::size_t bucket_count;  // when the spot was taken; a growth moves the buckets
    std::uint32_t entry;       // 0: absent, else 1 + the entry
    explicit operator bool() const noexcept { return entry != 0; }
  };

  // O(1) expected; an empty table is not probed.
  Spot locate(std::string_view name) const noexcept {
    const std::uint64_t hash = hash_(name);
    if (size_ == 0) return {hash, 0, 0, 0};
    const std::size_t at = find_bucket(name, hash);
    return {hash, at, buckets_.size(), buckets_[at].entry};
  }

  // Requires: the spot found its name.
  Index index_at(const Spot& spot) const noexcept { return entries_[spot.entry - 1].index; }

  // The index of the name, or nullptr. O(1) expected.
  const Index* find(std::string_view name) const noexcept {
    if (size_ == 0) return nullptr;
    const Bucket bucket = buckets_[find_bucket(name, hash_(name))];
    return bucket.entry == 0 ? nullptr : &entries_[bucket.entry - 1].index;
  }

  // The name kept in an entry in use, and whether a bucket lists it.
  std::string_view name(std::uint32_t entry) const noexcept { return entries_[entry].name; }
  bool listed(std::uint32_t entry) const noexcept { return entries_[entry].index != kUnlisted; }

  // Makes room for one more entry, listed or not, without changing the content.
  // Throws std::bad_alloc with the table unchanged. Amortised O(1).
  void reserve_entry() {
    if (free_entry_ != kNoEntry || entries_.size() < entries_.capacity()) return;
    if (entries_.size() >= kMaxEntries) raise_fault("capacity overflow");
    // At most kMaxEntries, and the content is kept on failure.
    entries_.reserve(entries_.empty() ? 16 : std::min<std::size_t>(2 * entries_.size(), kMaxEntries));
  }

  // Makes room for one more name without changing the content. Throws
  // std::bad_alloc with the table unchanged. Amortised O(1).
  void reserve_one_more() {
    reserve_entry();
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

  // Lists the name with its index at the spot that located it; the entry number.
  // Requires: the spot found the name absent, nothing was erased since, and
  // reserve_one_more() ran since the last insert or store.
  std::uint32_t insert(const Spot& spot, std::string name, Index index) noexcept {
    const std::size_t mask = buckets_.size() - 1;
    // An insert since the spot was taken may have filled its bucket, and a growth
    // moved every bucket; the name is absent, so the first empty bucket on from its
    // home, or from the spot, is its place.
    std::size_t at = spot.bucket_count == buckets_.size() ? spot.bucket : spot.hash & mask;
    while (buckets_[at].entry != 0) at = (at + 1) & mask;
    const std::uint32_t entry = take_entry(std::move(name), index);
    buckets_[at] = Bucket{static_cast<std::uint32_t>(spot.hash), entry + 1};
    ++size_;
    return entry;
  }

  // Keeps a name that no lookup is to find; the entry number. Requires: reserve_entry()
  // ran since the last insert or store.
  std::uint32_t store(std::string name) noexcept { return take_entry(std::move(name), kUnlisted); }

  // Gives back an entry that store() made.
  void drop(std::uint32_t entry) noexcept { free_entry(entry); }

  // Removes the name at the spot that located it. Requires: the spot found the name
  // and nothing was inserted or erased since. O(1) expected.
  void erase(const Spot& spot) noexcept {
    const std::size_t mask = buckets_.size() - 1;
    const std::size_t hole_left = close_hole(
        buckets_.data(), mask, spot.bucket, [](const Bucket& bucket) { return bucket.entry == 0; },
        [&](const Bucket& bucket) { return bucket.hash & mask; });
    buckets_[hole_left] = Bucket{};
    free_entry(spot.entry - 1);
    --size_;
  }

 private:
  static constexpr std::uint32_t kNoEntry = std::numeric_limits<std::uint32_t>::max();
  static constexpr Index kUnlisted = std::numeric_limits<Index>::max();

  std::uint32_t take_entry(std::string name, Index index) noexcept {
    std::uint32_t entry = free_entry_;
    if (entry != kNoEntry) {
      free_entry_ = static_cast<std::uint32_t>(entries_[entry].index);
      entries_[entry] = Entry{std::move(name), index};
    } else {
      entry = static_cast<std::uint32_t>(entries_.size());
      entries_.push_back(Entry{std::move(name), index});  // within the reserved room
    }
    return entry;
  }

  void free_entry(std::uint32_t entry) noexcept {
    entries_[entry].name = std::string();  // gives a long name's buffer back
    entries_[entry].index = free_entry_;
    free_entry_ = entry;
  }

  struct Bucket {
    std::uint32_t hash = 0;   // the low bits of the name's hash
    std::uint32_t entry = 0;  // 0: empty
  };
  struct Entry {
    std::string name;
    Index index;  // kUnlisted when no bucket lists it; of a free entry, the next free entry
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
