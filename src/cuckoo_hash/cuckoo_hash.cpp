#include "cuckoo_hash/cuckoo_hash.hpp"

#include <array>
#include <vector>

#include "errors/fault.hpp"

namespace brambleloft {

namespace {

// A displacement is logged as the victim's index, with the top bit marking table2.
// Indices are below capacity, which SlotTable::kMaxLength keeps far under 2^63.
constexpr std::uint64_t kTable2Bit = std::uint64_t{1} << 63;

// How far growth reads ahead of the pair it places: enough misses in flight to
// cover a memory latency, few enough that the fetched lines are still cached.
constexpr std::size_t kFetchAhead = 16;

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

// Inline: its one caller is on every insert's path.
[[gnu::always_inline]] inline CuckooHash::Word CuckooHash::store_pair(std::string_view key,
                                                                      std::string_view value,
                                                                      const KeyDigests& digests) {
  const auto address = reinterpret_cast<std::uintptr_t>(pairs_.add(key, value, digests));
  // User-space addresses on x86-64 fit 47 bits (57 only for mappings that ask for
  // more, which nothing here does); the tag needs the bits above 48.
  if ((address & ~kAddressBits) != 0) [[unlikely]] {
    pairs_.release(reinterpret_cast<const PairBlock*>(address));
    raise_fault("pair address beyond 48 bits");
  }
  return address | tag_of(digests.first);
}

bool CuckooHash::insert(std::string_view key, std::string_view value) {
  return insert_with(key, value, thread_generator());
}

bool CuckooHash::insert_with(std::string_view key, std::string_view value, RandomSource& rng) {
  remainder_.check();  // a table without slots cannot hold the pair: fault first
  const KeyDigests digests{digest1(key), digest2(key)};
  const std::uint32_t d1 = digests.first;
  // Both candidate slots are asked for before the block is made, so that on a cold
  // table their misses overlap each other and the copy.
  __builtin_prefetch(&table1_[remainder_.of32(d1)]);
  __builtin_prefetch(&table2_[remainder_.of64(digests.second)]);
  const Word pair = store_pair(key, value, digests);
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
                                             Word homeless, std::uint32_t d1, RandomSource& rng) {
  std::array<std::uint64_t, kMaxKicks> displaced;
  std::uint64_t kicks = 0;
  auto undo = [&] {
    while (kicks > 0) {
      const std::uint64_t entry = displaced[--kicks];
      std::swap(homeless, (entry & kTable2Bit) ? t2[entry & ~kTable2Bit] : t1[entry]);
    }
  };
  for (;;) {
    const std::uint64_t i1 = remainder.of32(d1);
    if (t1[i1] == 0) {
      t1.fill(i1, homeless);
      return 0;
    }
    // Read only now: a growth hands in the digest, and most of its pairs land at
    // once, without this block's miss.
    const std::uint64_t i2 = remainder.of64(digest2_of(block_of(homeless)));
    if (t2[i2] == 0) {
      t2.fill(i2, homeless);
      return 0;
    }
    // One of the two occupants moves next and its key is read then; fetch both
    // blocks while the draw is made.
    __builtin_prefetch(block_of(t1[i1]));
    __builtin_prefetch(block_of(t2[i2]));
    if (kicks == 0) {
      const Word tag = homeless & ~kAddressBits;
      const std::string_view key = block_of(homeless)->key();
      if (match(t1[i1], tag, key) != nullptr && match(t2[i2], tag, key) != nullptr) return homeless;
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
    d1 = digest1_of(block_of(homeless));
  }
  undo();
  return homeless;
}

void CuckooHash::resize(RandomSource& rng) {
  // Placement order: table1's pairs by increasing index, then table2's; a round that
  // leaves pairs aside places everything again, the pairs set aside last.
  std::vector<Word> held;  // every pair as the tables hold them now, kept for a put back
  held.reserve(stored_);
  std::vector<std::uint32_t> digests(stored_);
  std::vector<Word> order;
  std::vector<Word> aside;
  std::size_t in_table1 = 0;
  const std::vector<Word>* placing = &held;

  std::uint64_t factor = growth_factor_;
  bool emptied = false;
  try {
    for (;;) {
      std::uint64_t new_capacity;
      if (__builtin_mul_overflow(initial_capacity_, factor, &new_capacity)) raise_fault("capacity overflow");
      ++factor;
      const std::uint64_t pairs = stored_;
      // Table2 takes about the pairs whose table1 slot is already taken: at a load
      // of a = pairs / capacity, about a / 2 of them.
      const auto in_table2 = static_cast<std::uint64_t>(static_cast<unsigned __int128>(pairs) * pairs /
                                                        (2 * static_cast<unsigned __int128>(new_capacity)));
      table1_.reserve(new_capacity, pairs);
      table2_.reserve(new_capacity, in_table2);
      if (!emptied) {
        emptied = true;
        table1_.take_all([&](Word word) { held.push_back(word); });
        in_table1 = held.size();
        table2_.take_all([&](Word word) { held.push_back(word); });
      } else {
        order.clear();
        table1_.take_all([&](Word word) { order.push_back(word); });
        table2_.take_all([&](Word word) { order.push_back(word); });
        order.insert(order.end(), aside.begin(), aside.end());
        placing = &order;
      }
      table1_.set_length(new_capacity);
      table2_.set_length(new_capacity);
      const Remainder remainder(new_capacity);

      // The blocks lie scattered, so each key is fetched well before it is hashed,
      // and each pair's first slot well before the pair is placed: the misses then
      // overlap instead of following one another.
      const std::vector<Word>& listed = *placing;
      for (std::size_t j = 0; j < listed.size(); ++j) {
        if (j + kFetchAhead < listed.size()) __builtin_prefetch(block_of(listed[j + kFetchAhead]));
        digests[j] = digest1_of(block_of(listed[j]));
      }
      aside.clear();
      for (std::size_t j = 0; j < listed.size(); ++j) {
        if (j + kFetchAhead < listed.size())
          __builtin_prefetch(&table1_[remainder.of32(digests[j + kFetchAhead])], 1);
        if (insert_internal(table1_, table2_, remainder, listed[j], digests[j], rng) != 0)
          aside.push_back(listed[j]);
      }
      if (aside.empty()) {
        remainder_ = remainder;
        growth_factor_ = factor;
        return;
      }
    }
  } catch (...) {
    if (emptied) put_back(held, in_table1);
    throw;
  }
}

void CuckooHash::put_back(const std::vector<Word>& held, std::size_t in_table1) noexcept {
  table1_.take_all([](Word) {});
  table2_.take_all([](Word) {});
  table1_.set_length(capacity());
  table2_.set_length(capacity());
  for (std::size_t j = 0; j < held.size(); ++j) {
    const PairBlock* block = block_of(held[j]);
    if (j < in_table1) {
      table1_.fill(remainder_.of32(digest1_of(block)), held[j]);
    } else {
      table2_.fill(remainder_.of64(digest2_of(block)), held[j]);
    }
  }
}

}  // namespace brambleloft
