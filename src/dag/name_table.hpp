// The graph's name registry: node names to slot indices.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "dag/linear_probing.hpp"
#include "errors/fault.hpp"
#include "random/keyed_hash.hpp"

namespace brambleloft {

// A compact open-addressing table: the probed array holds only 8-byte buckets (32
// bits of the name's hash and an entry number), and the names with their indices sit
// in a separate array of 16-byte entries in the order they were registered. The
// bucket array stays small enough to live in cache for graphs of a few hundred
// thousand names, and work that walks names in the order they came (draining a task
// graph) reads the entries one after another instead of one scattered cell per name.
// A name of up to kInlineName bytes sits inside its entry; a longer one in a block of
// its own. Names come from callers, so the hash is randomly keyed: no caller can aim
// names at one probe run.
//
// The table owns the only copy of each name the graph keeps: a slot refers to its
// name by entry number. A name handed out at the index level is kept in an entry that
// no bucket lists (its index field kUnlisted), so it is stored but never found.
//
// Invariants: the number of buckets is 0 or a power of two, at most 2^32, and size_
// <= 3/4 of it; each bucket sits in the probe run from its home (hash & mask) with no
// empty bucket between; a bucket's entry number is 0 when empty, else 1 + the entry.
// Entries not in use form a list through their index field, headed by free_entry_,
// and hold an empty inline name. Entry numbers stay below kMaxEntries.
//
// Insertion never allocates: reserve_one_more() or reserve_entry() makes the room
// first, and a long name's block is made by the caller (NameTable::Name) beforehand.
class NameTable {
 public:
  using Index = std::uint64_t;
  static constexpr std::size_t kInlineName = 11;

  // A name ready to be stored: inline bytes, or the block of a long one, which it
  // owns until the table takes it.
  class Name {
   public:
    explicit Name(std::string_view name) : length_(name.size()) {
      if (name.size() > kInlineName) {
        block_ = static_cast<char*>(::operator new(sizeof(std::uint64_t) + name.size()));
        std::memcpy(block_, &length_, sizeof length_);
        std::memcpy(block_ + sizeof length_, name.data(), name.size());
      } else if (!name.empty()) {
        std::memcpy(bytes_, name.data(), name.size());
      }
    }
    Name(Name&& other) noexcept : length_(other.length_), block_(std::exchange(other.block_, nullptr)) {
      std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    }
    Name& operator=(Name&&) = delete;
    ~Name() { ::operator delete(block_); }

   private:
    friend class NameTable;
    std::uint64_t length_;
    char* block_ = nullptr;
    char bytes_[kInlineName] = {};
  };

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
  ~NameTable() {
    for (Entry& entry : entries_) entry.free_name();
  }

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
  [[gnu::always_inline]] Spot locate(std::string_view name) const noexcept {
    const std::uint64_t hash = hash_(name);
    if (size_ == 0) return {hash, 0, 0, 0};
    const std::size_t at = find_bucket(name, hash);
    return {hash, at, buckets_.size(), buckets_[at].entry};
  }

  // Requires: the spot found its name.
  Index index_at(const Spot& spot) const noexcept { return entries_[spot.entry - 1].index; }

  // The index of the name, if it is listed. O(1) expected.
  std::optional<Index> find(std::string_view name) const noexcept {
    if (size_ == 0) return std::nullopt;
    const Bucket bucket = buckets_[find_bucket(name, hash_(name))];
    if (bucket.entry == 0) return std::nullopt;
    return entries_[bucket.entry - 1].index;
  }

  // The name kept in an entry in use, and whether a bucket lists it.
  std::string_view name(std::uint32_t entry) const noexcept { return entries_[entry].name(); }
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
  std::uint32_t insert(const Spot& spot, Name&& name, Index index) noexcept {
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
  std::uint32_t store(Name&& name) noexcept { return take_entry(std::move(name), kUnlisted); }

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
  // Slot indices stay below 2^32 - 1, so the largest 32-bit value is free for this.
  static constexpr std::uint32_t kUnlisted = std::numeric_limits<std::uint32_t>::max();

  // 16 bytes: the index, then the name inline (its length in `length`) or, for a
  // long one, kOnHeap in `length` and the block's address in bytes[3..10]; the block
  // starts with the name's length. Trivially copyable, so that the array grows by
  // plain copies; the table frees the blocks.
  struct Entry {
    std::uint32_t index;  // kUnlisted when no bucket lists it; of a free entry, the next free entry
    std::uint8_t length;
    char bytes[kInlineName];

    static constexpr std::uint8_t kOnHeap = 0xFF;
    static constexpr std::size_t kBlockAt = 3;

    const char* block() const noexcept {
      const char* pointer;
      std::memcpy(&pointer, bytes + kBlockAt, sizeof pointer);
      return pointer;
    }
    std::string_view name() const noexcept {
      if (length != kOnHeap) return {bytes, length};
      std::uint64_t size;
      std::memcpy(&size, block(), sizeof size);
      return {block() + sizeof size, size};
    }
    [[gnu::always_inline]] bool holds(std::string_view other) const noexcept {
      if (length == kOnHeap) return name() == other;
      return other.size() == length && short_equal(bytes, other.data(), length);
    }
    void free_name() noexcept {
      if (length == kOnHeap) ::operator delete(const_cast<char*>(block()));
      length = 0;
    }
  };
  static_assert(sizeof(Entry) == 16);

  template <std::size_t kBytes>
  static auto load(const char* from) noexcept {
    std::conditional_t<kBytes == 8, std::uint64_t, std::uint32_t> word;
    std::memcpy(&word, from, kBytes);
    return word;
  }
  // Equality of two strings of `size` <= kInlineName bytes, by a few overlapping
  // word loads instead of a library call.
  [[gnu::always_inline]] static bool short_equal(const char* a, const char* b, std::size_t size) noexcept {
    if (size >= 8) return load<8>(a) == load<8>(b) && load<8>(a + size - 8) == load<8>(b + size - 8);
    if (size >= 4) return load<4>(a) == load<4>(b) && load<4>(a + size - 4) == load<4>(b + size - 4);
    if (size == 0) return true;
    return a[0] == b[0] && a[size / 2] == b[size / 2] && a[size - 1] == b[size - 1];
  }

  std::uint32_t take_entry(Name&& name, Index index) noexcept {
    std::uint32_t entry = free_entry_;
    if (entry != kNoEntry) {
      free_entry_ = entries_[entry].index;
    } else {
      entry = static_cast<std::uint32_t>(entries_.size());
      entries_.emplace_back();  // within the reserved room
    }
    Entry& taken = entries_[entry];
    taken.index = static_cast<std::uint32_t>(index);
    if (name.block_ != nullptr) {
      taken.length = Entry::kOnHeap;
      std::memcpy(taken.bytes + Entry::kBlockAt, &name.block_, sizeof name.block_);
      name.block_ = nullptr;
    } else {
      taken.length = static_cast<std::uint8_t>(name.length_);
      std::memcpy(taken.bytes, name.bytes_, kInlineName);
    }
    return entry;
  }

  void free_entry(std::uint32_t entry) noexcept {
    entries_[entry].free_name();
    entries_[entry].index = free_entry_;
    free_entry_ = entry;
  }

  struct Bucket {
    std::uint32_t hash = 0;   // the low bits of the name's hash
    std::uint32_t entry = 0;  // 0: empty
  };

  // The bucket of the name, or the empty bucket where it would go.
  [[gnu::always_inline]] std::size_t find_bucket(std::string_view name, std::uint64_t hash) const noexcept {
    const Bucket* buckets = buckets_.data();
    const std::size_t mask = buckets_.size() - 1;
    const auto low = static_cast<std::uint32_t>(hash);
    for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
      const Bucket bucket = buckets[at];
      if (bucket.entry == 0 || (bucket.hash == low && entries_[bucket.entry - 1].holds(name))) return at;
    }
  }

  std::vector<Bucket> buckets_;  // none, or a power of two
  std::vector<Entry> entries_;
  std::uint32_t free_entry_ = kNoEntry;
  std::size_t size_ = 0;
  KeyedStringHash hash_;
};

}  // namespace brambleloft
