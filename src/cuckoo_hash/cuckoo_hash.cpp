#include "cuckoo_hash/cuckoo_hash.hpp"

#include <xxhash.h>

#include <algorithm>
#include <array>
#include <limits>

#include "errors/fault.hpp"

namespace brambleloft {

namespace {

std::uint64_t digest1(std::string_view key) noexcept { return XXH32(key.data(), key.size(), 0); }
std::uint64_t digest2(std::string_view key) noexcept { return XXH64(key.data(), key.size(), 0); }

// A displacement is logged as the victim's index, with the top bit marking table2.
// Indices are below capacity, which a table's max_size keeps far under 2^63.
constexpr std::uint64_t kTable2Bit = std::uint64_t{1} << 63;

std::vector<std::uint32_t> empty_table(std::uint64_t length) {
  std::vector<std::uint32_t> table;
  check_array_length(table, length);
  table.resize(length);
  return table;
}

}  // namespace

CuckooHash::CuckooHash(std::uint64_t size)
    : table1_(empty_table(size)), table2_(empty_table(size)), capacity_(size), initial_capacity_(size) {}

std::uint64_t CuckooHash::hash1(std::string_view key) const {
  return checked_remainder(digest1(key), capacity_);
}

std::uint64_t CuckooHash::hash2(std::string_view key) const {
  return checked_remainder(digest2(key), capacity_);
}

std::optional<std::string_view> CuckooHash::get(std::string_view key) const {
  if (const PairId id = table1_[hash1(key)]; id != 0 && key_of(id) == key) return pairs_[id - 1].value;
  if (const PairId id = table2_[hash2(key)]; id != 0 && key_of(id) == key) return pairs_[id - 1].value;
  return std::nullopt;
}

bool CuckooHash::remove(std::string_view key) {
  for (Table* table : {&table1_, &table2_}) {
    PairId& slot = (*table)[table == &table1_ ? hash1(key) : hash2(key)];
    if (slot != 0 && key_of(slot) == key) {
      drop_pair(slot);
      slot = 0;
      --stored_;
      return true;
    }
  }
  return false;
}

std::optional<CuckooHash::PairView> CuckooHash::slot(int table, std::uint64_t index) const {
  const Table& t = table == 1 ? table1_ : table2_;
  check_index(index, t.size());
  if (t[index] == 0) return std::nullopt;
  const Pair& pair = pairs_[t[index] - 1];
  return PairView{pair.key, pair.value};
}

CuckooHash::PairId CuckooHash::store_pair(std::string key, std::string value) {
  if (!free_ids_.empty()) {
    const PairId id = free_ids_.back();
    free_ids_.pop_back();
    pairs_[id - 1] = Pair{std::move(key), std::move(value)};
    return id;
  }
  if (pairs_.size() >= std::numeric_limits<PairId>::max() - 1) raise_fault("capacity overflow");
  if (pairs_.size() == pairs_.capacity()) {
    // free_ids_ grows with pairs_, so that dropping a pair never allocates.
    const std::size_t grown = std::max<std::size_t>(8, 2 * pairs_.capacity());
    check_array_length(pairs_, grown);
    pairs_.reserve(grown);
    free_ids_.reserve(grown);
  }
  pairs_.push_back(Pair{std::move(key), std::move(value)});
  return static_cast<PairId>(pairs_.size());
}

void CuckooHash::drop_pair(PairId id) noexcept {
  // Give the strings' memory back now; the id is reused by a later insert.
  pairs_[id - 1] = Pair{};
  free_ids_.push_back(id);  // cannot reallocate: free_ids_ has room for every pair
}

bool CuckooHash::insert(std::string key, std::string value) {
  return insert_with(std::move(key), std::move(value), thread_generator());
}

bool CuckooHash::insert_with(std::string key, std::string value, RandomSource& rng) {
  checked_remainder(0, capacity_);  // a table without slots cannot hold the pair: fault first
  const PairId id = store_pair(std::move(key), std::move(value));
  try {
    if (insert_internal(table1_, table2_, capacity_, id, rng) == 0) {
      ++stored_;
      return true;
    }
    resize(rng);
    if (insert_internal(table1_, table2_, capacity_, id, rng) == 0) {
      ++stored_;
      return true;
    }
  } catch (...) {
    drop_pair(id);
    throw;
  }
  drop_pair(id);
  return false;
}

CuckooHash::PairId CuckooHash::insert_internal(Table& t1, Table& t2, std::uint64_t capacity, PairId homeless,
                                               RandomSource& rng) const {
  std::array<std::uint64_t, kMaxKicks> displaced;
  std::uint64_t kicks = 0;
  auto undo = [&] {
    while (kicks > 0) {
      const std::uint64_t entry = displaced[--kicks];
      std::swap(homeless, (entry & kTable2Bit) ? t2[entry & ~kTable2Bit] : t1[entry]);
    }
  };
  for (;;) {
    const std::string_view key = key_of(homeless);
    const std::uint64_t i1 = checked_remainder(digest1(key), capacity);
    if (t1[i1] == 0) {
      t1[i1] = homeless;
      return 0;
    }
    const std::uint64_t i2 = digest2(key) % capacity;
    if (t2[i2] == 0) {
      t2[i2] = homeless;
      return 0;
    }
    std::uint32_t draw;
    try {
      draw = rng.next_u32();
    } catch (...) {
      undo();
      throw;
    }
    const bool first_table = (draw >> 31) != 0;
    displaced[kicks++] = first_table ? i1 : (i2 | kTable2Bit);
    std::swap(homeless, first_table ? t1[i1] : t2[i2]);
    if (kicks == max_kicks_) break;
  }
  undo();
  return homeless;
}

void CuckooHash::resize(RandomSource& rng) {
  // Placement order: table1's pairs by increasing index, then table2's; a round that
  // leaves pairs aside places everything again, the pairs set aside last.
  std::vector<PairId> order;
  order.reserve(stored_);
  for (const Table* table : {&table1_, &table2_}) {
    for (const PairId id : *table) {
      if (id != 0) order.push_back(id);
    }
  }
  std::vector<PairId> next_order;
  next_order.reserve(order.size());

  std::uint64_t factor = growth_factor_;
  for (;;) {
    std::uint64_t new_capacity;
    if (__builtin_mul_overflow(initial_capacity_, factor, &new_capacity)) raise_fault("capacity overflow");
    ++factor;
    Table t1 = empty_table(new_capacity);
    Table t2 = empty_table(new_capacity);

    std::size_t aside = 0;  // pairs that found no slot, kept at the front of `order`
    for (const PairId id : order) {
      if (insert_internal(t1, t2, new_capacity, id, rng) != 0) order[aside++] = id;
    }
    if (aside == 0) {
      table1_.swap(t1);
      table2_.swap(t2);
      capacity_ = new_capacity;
      growth_factor_ = factor;
      return;
    }
    next_order.clear();
    for (const Table* table : {&t1, &t2}) {
      for (const PairId id : *table) {
        if (id != 0) next_order.push_back(id);
      }
    }
    next_order.insert(next_order.end(), order.begin(), order.begin() + static_cast<std::ptrdiff_t>(aside));
    order.swap(next_order);
  }
}

}  // namespace brambleloft
