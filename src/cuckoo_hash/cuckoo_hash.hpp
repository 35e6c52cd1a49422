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
// A slot is one word: the address of the pair's block (pair_store.hpp) in the low
// 48 bits and a 16-bit tag of the key's xxh32 above them, 0 when empty. A probe
// at a slot holding another key is settled by the tag almost always, without
// reading that key's bytes. Walks and growth move slot words; blocks stay put.
// Re-placing a pair needs its key's digests: a block whose key is longer than
// PairBlock::kDigestedAbove bytes keeps them, so walks and growth never read such
// a key again; a shorter key is hashed again.
#pragma once

#include <xxhash.h>

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "cuckoo_hash/pair_store.hpp"
#include "cuckoo_hash/remainder.hpp"
#include "cuckoo_hash/slot_table.hpp"
#include "random/generator.hpp"

namespace brambleloft {

class CuckooHash {
 public:
  static constexpr std::uint64_t kMaxKicks = 500;

  // Both tables get `size` empty slots; 0 is accepted, and every later operation
  // that needs an index then raises the remainder fault. O(1): the slots are
  // zeroed pages that the OS provides as they are first written.
  // Faults: "capacity overflow" when one table's storage exceeds the address range.
  // Throws std::bad_alloc when the memory cannot be reserved.
  explicit CuckooHash(std::uint64_t size);

  // xxh32(key) % capacity, and xxh64(key) % capacity. Faults on capacity 0.
  std::uint64_t hash1(std::string_view key) const { return remainder_.of32(digest1(key)); }
  std::uint64_t hash2(std::string_view key) const { return remainder_.of64(digest2(key)); }

  // The value of the key's pair in table1, else in table2, else nothing. The view
  // stays valid until the next change. O(1): one xxh32 and one xxh64, both slots
  // fetched together, and the bytes of at most two blocks, each read only when its
  // tag matches.
  [[gnu::flatten]] std::optional<std::string_view> get(std::string_view key) const {
    const std::uint32_t d1 = digest1(key);
    const Word word1 = table1_[remainder_.of32(d1)];
    // Both slots are asked for before either is tested: on a cold table the
    // second one's miss then overlaps the first's instead of following it.
    const std::uint64_t i2 = remainder_.of64(digest2(key));
    __builtin_prefetch(&table2_[i2]);
    const std::uint64_t tag = tag_of(d1);
    if (const PairBlock* block = match(word1, tag, key)) return block->value();
    if (const PairBlock* block = match(table2_[i2], tag, key)) return block->value();
    return std::nullopt;
  }

  // Removes one pair of the key (table1's first). Never moves other pairs. O(1).
  bool remove(std::string_view key);

  // Stores a copy of the pair by a random walk of at most kMaxKicks displacements;
  // when the walk gives up, grows the tables once and walks again. True exactly
  // when the new pair is stored; on false the earlier pairs are all still held.
  // Cost: O(1) expected; a growth costs O(pairs + capacity / 4096), not O(capacity).
  bool insert(std::string_view key, std::string_view value);
  bool insert_with(std::string_view key, std::string_view value, RandomSource& rng);

  std::uint64_t capacity() const noexcept { return remainder_.divisor(); }
  std::uint64_t initial_capacity() const noexcept { return initial_capacity_; }
  std::uint64_t growth_factor() const noexcept { return growth_factor_; }
  std::uint64_t max_kicks() const noexcept { return max_kicks_; }
  std::uint64_t size() const noexcept { return stored_; }
  // What the two slot tables made resident up front (slot_table.hpp): all of a
  // small table, nothing of a large one until its slots are written.
  std::size_t slot_bytes_populated() const noexcept {
    return table1_.bytes_populated() + table2_.bytes_populated();
  }
  // The key bytes hashed again after the insert that stored them: by walks, growth
  // and a growth undone. Keys whose blocks keep their digests never count.
  std::uint64_t key_bytes_rehashed() const noexcept { return key_bytes_rehashed_; }

  using PairView = std::pair<std::string_view, std::string_view>;
  // The pair at a slot of table 1 or 2, for tests and checks.
  std::optional<PairView> slot(int table, std::uint64_t index) const;

 private:
  using Word = std::uint64_t;
  static constexpr Word kAddressBits = (Word{1} << 48) - 1;

  static std::uint32_t digest1(std::string_view key) noexcept { return XXH32(key.data(), key.size(), 0); }
  // Always inline; left to itself the compiler calls it out of line from `get`, and
  // the call spills the first slot's word. `get` is flattened so XXH64 is inline too.
  [[gnu::always_inline]] static std::uint64_t digest2(std::string_view key) noexcept {
    return XXH64(key.data(), key.size(), 0);
  }
  // The top 16 bits of a multiplicative mix of the digest: keys that share a slot
  // share its remainder, not these bits.
  static Word tag_of(std::uint32_t d1) noexcept { return (d1 * Word{0x9E3779B97F4A7C15}) & ~kAddressBits; }
  static const PairBlock* block_of(Word word) noexcept {
    return reinterpret_cast<const PairBlock*>(word & kAddressBits);
  }
  [[gnu::always_inline]] static const PairBlock* match(Word word, Word tag, std::string_view key) noexcept {
    if (((word ^ tag) & ~kAddressBits) != 0) return nullptr;
    const PairBlock* block = block_of(word);
    return block != nullptr && block->has_key(key) ? block : nullptr;
  }
  Word store_pair(std::string_view key, std::string_view value, const KeyDigests& digests);
  // A stored pair's digests: kept in its block, or hashed again from its key.
  std::uint32_t digest1_of(const PairBlock* block) noexcept {
    if (block->has_digests()) return block->digests().first;
    key_bytes_rehashed_ += block->key().size();
    return digest1(block->key());
  }
  std::uint64_t digest2_of(const PairBlock* block) noexcept {
    if (block->has_digests()) return block->digests().second;
    key_bytes_rehashed_ += block->key().size();
    return digest2(block->key());
  }

  // One walk of at most max_kicks_ displacements in the given tables, `d1` being
  // the xxh32 digest of the homeless pair's key. Returns 0
  // when the pair found a slot; otherwise undoes every displacement, newest first,
  // and returns `homeless` itself, leaving the tables exactly as they were. A walk
  // whose two first slots both hold its own key is given up at once: every pair it
  // could displace has that key, so it could only end undone.
  Word insert_internal(SlotTable& t1, SlotTable& t2, const Remainder& remainder, Word homeless,
                       std::uint32_t d1, RandomSource& rng);

  // Grows both tables by initial_capacity and re-places every pair; rounds repeat
  // until every pair has a slot. The tables grow in place; a throw (out of memory,
  // a failed draw) puts every pair back where it was, so the table is as it was.
  void resize(RandomSource& rng);
  // Empties the tables and places `held` (table1's pairs first, then table2's, as
  // the current capacity had them) back in their slots. Needs no memory and no draw.
  void put_back(const std::vector<Word>& held, std::size_t in_table1) noexcept;

  SlotTable table1_;
  SlotTable table2_;
  Remainder remainder_;  // holds the capacity
  std::uint64_t initial_capacity_;
  std::uint64_t growth_factor_ = 2;
  std::uint64_t max_kicks_ = kMaxKicks;
  std::uint64_t stored_ = 0;
  std::uint64_t key_bytes_rehashed_ = 0;
  PairStore pairs_;
};

}  // namespace brambleloft
