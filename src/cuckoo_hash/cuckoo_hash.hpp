// A map from byte strings to byte strings by cuckoo hashing over two tables.
//
// Every key has one candidate slot per table: table1[xxh32(key) % capacity] and
// table2[xxh64(key) % capacity] (seed 0 for both). Insertion never looks for an
// existing key, so one key may be held by two pairs, one per table, never more.
//
// Invariants between calls:
//  - both tables have exactly `capacity` slots;
//  - a pair in table1 sits at hash1(key), a pair in table2 at hash2(key);
//  - no stored pair is ever lost: an insertion that cannot place its pair hands
//    it back and leaves every earlier pair where it was.
//
// The slots hold small ids into a pair store rather than the strings themselves,
// so a walk swaps 4-byte ids and growth re-places ids without touching strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "random/generator.hpp"

namespace brambleloft {

class CuckooHash {
 public:
  static constexpr std::uint64_t kMaxKicks = 500;

  // Both tables get `size` empty slots; 0 is accepted, and every later operation
  // that needs an index then raises the remainder fault.
  // Faults: "capacity overflow" when one table's storage exceeds the address range.
  explicit CuckooHash(std::uint64_t size);

  // xxh32(key) % capacity, and xxh64(key) % capacity. Faults on capacity 0.
  std::uint64_t hash1(std::string_view key) const;
  std::uint64_t hash2(std::string_view key) const;

  // The value of the key's pair in table1, else in table2, else nothing. The view
  // stays valid until the next change. O(1): one xxh32, at most one xxh64.
  std::optional<std::string_view> get(std::string_view key) const;

  // Removes one pair of the key (table1's first). Never moves other pairs.
  bool remove(std::string_view key);

  // Stores the pair by a random walk of at most kMaxKicks displacements; when the
  // walk gives up, grows the tables once and walks again. True exactly when the
  // new pair is stored; on false the earlier pairs are all still held.
  bool insert(std::string key, std::string value);
  bool insert_with(std::string key, std::string value, RandomSource& rng);

  std::uint64_t capacity() const noexcept { return capacity_; }
  std::uint64_t initial_capacity() const noexcept { return initial_capacity_; }
  std::uint64_t growth_factor() const noexcept { return growth_factor_; }
  std::uint64_t max_kicks() const noexcept { return max_kicks_; }
  std::uint64_t size() const noexcept { return stored_; }

  using PairView = std::pair<std::string_view, std::string_view>;
  // The pair at a slot of table 1 or 2, for tests and checks.
  std::optional<PairView> slot(int table, std::uint64_t index) const;

 private:
  using PairId = std::uint32_t;  // 0 marks an empty slot; pair ids start at 1
  using Table = std::vector<PairId>;
  struct Pair {
    std::string key;
    std::string value;
  };

  std::string_view key_of(PairId id) const noexcept { return pairs_[id - 1].key; }
  PairId store_pair(std::string key, std::string value);
  void drop_pair(PairId id) noexcept;

  // One walk of at most max_kicks_ displacements in the given tables. Returns 0
  // when the pair found a slot; otherwise undoes every displacement, newest first,
  // and returns `homeless` itself, leaving the tables exactly as they were.
  PairId insert_internal(Table& t1, Table& t2, std::uint64_t capacity, PairId homeless,
                         RandomSource& rng) const;

  // Grows both tables by initial_capacity and re-places every pair; rounds repeat
  // until every pair has a slot. Commits only at the end, so a throw (out of
  // memory) leaves the table as it was.
  void resize(RandomSource& rng);

  Table table1_;
  Table table2_;
  std::uint64_t capacity_;
  std::uint64_t initial_capacity_;
  std::uint64_t growth_factor_ = 2;
  std::uint64_t max_kicks_ = kMaxKicks;
  std::vector<Pair> pairs_;
  std::vector<PairId> free_ids_;
  std::uint64_t stored_ = 0;
};

}  // namespace brambleloft
