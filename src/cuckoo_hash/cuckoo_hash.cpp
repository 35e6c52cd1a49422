#include "cuckoo_hash/cuckoo_hash.hpp"

#include <array>
#include <vector>

#include "errors/fault.hpp"

namespace brambleloft {

namespace {

// A displacement is logged as the victim's index, with the top bit marking table2.
// Indices are below capacity, which SlotTable::kMaxLength keeps far under 2^63.
constexpr std::uint64_t kTable2Bit = std::uint64_t{1} << 63;

// Appends the words of both tables' occupied slots, table1's by increasing
// index, then table2's: the order in which growth re-places pairs.
void append_in_slot_order(const SlotTable& t1, const SlotTable& t2, std::vector<std::uint64_t>& out) {
  for (const SlotTable* table : {&t1, &t2}) {
    table->for_each_occupied([&](std::uint64_t, std::uint64_t word) { out.push_back(word); });
  }
}

}  // namespace

CuckooHash::CuckooHash(std::uint64_t size)
    : table1_(size), table2_(size), remainder_(size), initial_capacity_(size) {}

bool CuckooHash::remove(std::string_view key) {
  const std::uint32_t d1 = digest1(key);
  const Word tag = tag_of(d1);
  const std::uint64_t i1 = remainder_.of32(d1);
  SlotTable* table = &table1_;
  std::uint64_t index = i1;
  const PairBlock* block = match(table1_[i1], tag, key);
  if (block == nullptr) {
    table = &table2_;
    index = remainder_.of64(digest2(key));
    block = match(table2_[index], tag, key);
    if (block == nullptr) return false;
  }
  table->clear(index);
  pairs_.release(block);
  --stored_;
  return true;
}

std::optional<CuckooHash::PairView> CuckooHash::slot(int table, std::uint64_t index) const {
  const SlotTable& t = table == 1 ? table1_ : table2_;
  check_index(index, t.length());
  if (t[index] == 0) return std::nullopt;
  const PairBlock* block = block_of(t[index]);
  return PairView{block->key(), block->value()};
}

CuckooHash::Word CuckooHash::store_pair(std::string_view key, std::string_view value, Word tag) {
  const auto address = reinterpret_cast<std::uintptr_t>(pairs_.add(key, value));
  // User-space addresses on x86-64 fit 47 bits (57 only for mappings that ask for
  // more, which nothing here does); the tag needs the bits above 48.
  if ((address & ~kAddressBits) != 0) [[unlikely]] {
    pairs_.release(reinterpret_cast<const PairBlock*>(address));
    raise_fault("pair address beyond 48 bits");
  }
  return address | tag;
}

bool CuckooHash::insert(std::string_view key, std::string_view value) {
  return insert_with(key, value, thread_generator());
}

bool CuckooHash::insert_with(std::string_view key, std::string_view value, RandomSource& rng) {
  remainder_.check();  // a table without slots cannot hold the pair: fault first
  const std::uint32_t d1 = digest1(key);
  // Both candidate slots are asked for before the block is made, so that on a cold
  // table their misses overlap each other and the copy.
  __builtin_prefetch(&table1_[remainder_.of32(d1)]);
  __builtin_prefetch(&table2_[remainder_.of64(digest2(key))]);
  const Word pair = store_pair(key, value, tag_of(d1));
  try {
    if (insert_internal(table1_, table2_, remainder_, pair, d1, rng) == 0) {
      ++stored_;
      return true;
    }
    resize(rng);
    if (insert_internal(table1_, table2_, remainder_, pair, d1, rng) == 0) {
      ++stored_;
      return true;
    }
  } catch (...) {
    pairs_.release(block_of(pair));
    throw;
  }
  pairs_.release(block_of(pair));
  return false;
}

CuckooHash::Word CuckooHash::insert_internal(SlotTable& t1, SlotTable& t2, const Remainder& remainder,
                                             Word homeless, std::uint32_t d1, RandomSource& rng) const {
  std::array<std::uint64_t, kMaxKicks> displaced;
  std::uint64_t kicks = 0;
  auto undo = [&] {
    while (kicks > 0) {
      const std::uint64_t entry = displaced[--kicks];
      std::swap(homeless, (entry & kTable2Bit) ? t2[entry & ~kTable2Bit] : t1[entry]);
    }
  };
  for (;;) {
    const std::string_view key = block_of(homeless)->key();
    const std::uint64_t i1 = remainder.of32(d1);
    if (t1[i1] == 0) {
      t1.fill(i1, homeless);
      return 0;
    }
    const std::uint64_t i2 = remainder.of64(digest2(key));
    if (t2[i2] == 0) {
      t2.fill(i2, homeless);
      return 0;
    }
    // One of the two occupants moves next and its key is read then; fetch both
    // blocks while the draw is made.
    __builtin_prefetch(block_of(t1[i1]));
    __builtin_prefetch(block_of(t2[i2]));
    const Word tag = homeless & ~kAddressBits;
    if (kicks == 0 && match(t1[i1], tag, key) != nullptr && match(t2[i2], tag, key) != nullptr)
      return homeless;
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
    d1 = digest1(block_of(homeless)->key());
  }
  undo();
  return homeless;
}

void CuckooHash::resize(RandomSource& rng) {
  // Placement order: table1's pairs by increasing index, then table2's; a round that
  // leaves pairs aside places everything again, the pairs set aside last.
  std::vector<Word> order;
  order.reserve(stored_);
  append_in_slot_order(table1_, table2_, order);
  std::vector<Word> next_order;
  next_order.reserve(order.size());

  std::uint64_t factor = growth_factor_;
  for (;;) {
    std::uint64_t new_capacity;
    if (__builtin_mul_overflow(initial_capacity_, factor, &new_capacity)) raise_fault("capacity overflow");
    ++factor;
    SlotTable t1(new_capacity);
    SlotTable t2(new_capacity);
    const Remainder remainder(new_capacity);

    std::size_t aside = 0;  // pairs that found no slot, kept at the front of `order`
    for (const Word pair : order) {
      if (insert_internal(t1, t2, remainder, pair, digest1(block_of(pair)->key()), rng) != 0)
        order[aside++] = pair;
    }
    if (aside == 0) {
      table1_ = std::move(t1);
      table2_ = std::move(t2);
      remainder_ = remainder;
      growth_factor_ = factor;
      return;
    }
    next_order.clear();
    append_in_slot_order(t1, t2, next_order);
    next_order.insert(next_order.end(), order.begin(), order.begin() + static_cast<std::ptrdiff_t>(aside));
    order.swap(next_order);
  }
}

}  // namespace brambleloft
