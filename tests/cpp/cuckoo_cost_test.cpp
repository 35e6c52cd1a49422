// What the table's memory costs, counted by the cores' own accounting: a change
// that only costs memory gives no wrong answer, so only a count can catch it.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "cuckoo_hash/cuckoo_hash.hpp"
#include "cuckoo_hash/page_memory.hpp"
#include "cuckoo_hash/pair_store.hpp"

namespace brambleloft {
namespace {

constexpr std::size_t kChunkHeader = 16;  // a chunk's link and size
constexpr std::size_t kLargeLink = 16;    // the two words before a large block

// A pair and the bytes of its block: an 8-byte header (24 bytes with a key over 64
// bytes, which keeps its digests), the value and the key, rounded up to a multiple of 8.
struct PairShape {
  std::size_t key;
  std::size_t value;
  std::size_t block;
};

void PrintTo(const PairShape& shape, std::ostream* out) {
  *out << shape.key << "+" << shape.value << " bytes";
}

class PairStoreMemory : public ::testing::TestWithParam<PairShape> {};

// Each chunk, from the first up to two whole 2 MiB ones, holds exactly as many
// blocks of the layout's size as fit beside its header.
TEST_P(PairStoreMemory, ChunksHoldAsManyBlocksAsTheLayoutFits) {
  const auto [key_size, value_size, block] = GetParam();
  const std::string key(key_size, 'k'), value(value_size, 'v');
  PairStore store;
  std::size_t chunk = 0;  // the bytes of the chunk being filled
  std::size_t held = 0;   // the blocks in it
  int whole_huge_chunks = 0;
  for (std::size_t added = 0; whole_huge_chunks < 2; ++added) {
    ASSERT_LT(added, (std::size_t{16} << 20) / block) << "fewer than two 2 MiB chunks taken";
    const std::size_t before = store.bytes_reserved();
    store.add(key, value, {});
    const std::size_t taken = store.bytes_reserved() - before;
    if (taken == 0) {
      ++held;
      continue;
    }
    if (chunk != 0) {
      ASSERT_EQ(held, (chunk - kChunkHeader) / block) << "in a chunk of " << chunk << " bytes";
      if (chunk == kHugePage) ++whole_huge_chunks;
    }
    chunk = taken;
    held = 1;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PairStoreMemory,
                         ::testing::Values(PairShape{0, 0, 8}, PairShape{3, 4, 16}, PairShape{20, 20, 48},
                                           PairShape{21, 20, 56}, PairShape{64, 184, 256},
                                           PairShape{65, 20, 112}));

// Larger blocks are allocations of their own, each costing its bytes and its link,
// all given back with the block.
TEST(PairStoreMemory, ALargeBlockCostsItsBytesAndItsLink) {
  PairStore store;
  for (const PairShape& shape : std::vector<PairShape>{{64, 193, 272}, {0, 257, 272}, {1000, 3000, 4024}}) {
    const std::size_t before = store.bytes_reserved();
    const PairBlock* block = store.add(std::string(shape.key, 'k'), std::string(shape.value, 'v'), {});
    EXPECT_EQ(store.bytes_reserved() - before, shape.block + kLargeLink) << shape.key << "+" << shape.value;
    store.release(block);
    EXPECT_EQ(store.bytes_reserved(), before);
  }
}

// A big table whose pairs are few takes its slot pages only as they are written,
// not all of them up front; a small one is taken whole at once.
TEST(CuckooHashMemory, ABigSparselyUsedTablePopulatesNoSlotPagesUpFront) {
  const CuckooHash small(100'000);
  EXPECT_GE(small.slot_bytes_populated(), 2 * 100'000 * sizeof(std::uint64_t));
  CuckooHash big(20'000'000);
  for (int i = 0; i < 1000; ++i) ASSERT_TRUE(big.insert("key" + std::to_string(i), "value"));
  EXPECT_EQ(big.capacity(), 20'000'000u);
  EXPECT_EQ(big.slot_bytes_populated(), 0u);
}

// Walks and growth re-place pairs by the digests their blocks keep: a table that
// starts small and grows often hashes no byte of a key over 64 bytes again, while
// shorter keys, which keep none, are hashed again at every re-placement.
TEST(CuckooHashCost, AReplacementHashesNoKeyBytesOfAKeyOver64Bytes) {
  for (const std::size_t length : {64, 65, 100'000}) {
    CuckooHash table(16);
    auto key_of = [&](int i) {
      std::string key = std::to_string(i);
      key.resize(length, '.');
      return key;
    };
    constexpr int kKeys = 400;
    for (int i = 0; i < kKeys; ++i) {
      // A crowded table may refuse a key after its one growth; trying again grows it further.
      while (!table.insert(key_of(i), std::to_string(i)))
        ASSERT_EQ(table.size(), static_cast<std::uint64_t>(i));
    }
    EXPECT_GE(table.capacity(), 16u * 10) << "growths by the initial size, with " << length << "-byte keys";
    if (length > 64) {
      EXPECT_EQ(table.key_bytes_rehashed(), 0u) << length;
    } else {
      EXPECT_GT(table.key_bytes_rehashed(), kKeys * length);
      EXPECT_EQ(table.key_bytes_rehashed() % length, 0u);
    }
    for (int i = 0; i < kKeys; ++i) ASSERT_EQ(table.get(key_of(i)), std::to_string(i)) << length;
  }
}

}  // namespace
}  // namespace brambleloft
