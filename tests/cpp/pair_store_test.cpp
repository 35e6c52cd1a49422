#include "cuckoo_hash/pair_store.hpp"

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "cuckoo_hash/page_memory.hpp"
#include "cuckoo_hash/remainder.hpp"
#include "cuckoo_hash/slot_table.hpp"
#include "errors/fault.hpp"
#include "support/failing_allocator.hpp"

namespace brambleloft {
namespace {

// Lengths around the header, the word-wide compare, the digests and the small/large split.
const std::vector<std::size_t> kLengths = {0, 1, 3, 4, 7, 8, 15, 16, 17, 48, 64, 65, 249, 250, 4096};

// One copy of the inlined comparison serves every test.
[[gnu::noinline]] bool has_key(const PairBlock* block, std::string_view key) { return block->has_key(key); }

std::string pattern(std::size_t length, char salt) {
  std::string text(length, '\0');
  for (std::size_t i = 0; i < length; ++i)
    text[i] = static_cast<char>((i * 7 + salt) % 5 == 0 ? 0 : 'a' + i % 26);
  return text;
}

// Keys longer than 64 bytes keep their digests too, whatever the value beside them.
TEST(PairStore, BlocksHoldBothStringsWhateverTheirLengthsAndBytes) {
  PairStore store;
  std::vector<std::pair<const PairBlock*, std::pair<std::string, std::string>>> held;
  auto digests_of = [](std::size_t k, std::size_t v) {
    return KeyDigests{static_cast<std::uint32_t>(0xF0000000u + k), 0xA000000000000000u + (k << 20) + v};
  };
  for (const std::size_t k : kLengths) {
    for (const std::size_t v : kLengths) {
      std::string key = pattern(k, 'k'), value = pattern(v, 'v');
      held.push_back({store.add(key, value, digests_of(k, v)), {key, value}});
    }
  }
  for (const auto& [block, pair] : held) {
    const std::size_t k = pair.first.size(), v = pair.second.size();
    EXPECT_EQ(block->key(), pair.first);
    EXPECT_EQ(block->value(), pair.second);
    EXPECT_TRUE(has_key(block, pair.first));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % 8, 0u);
    ASSERT_EQ(block->has_digests(), k > 64) << k << "+" << v;
    if (k > 64) {
      EXPECT_EQ(block->digests().first, digests_of(k, v).first) << k << "+" << v;
      EXPECT_EQ(block->digests().second, digests_of(k, v).second) << k << "+" << v;
    }
  }
}

TEST(PairStore, KeysDifferingInOneByteOrInLengthDoNotMatch) {
  PairStore store;
  for (const std::size_t k : kLengths) {
    if (k == 0) continue;
    const std::string key = pattern(k, 'x');
    const PairBlock* block = store.add(key, "v", {});
    for (std::size_t at : {std::size_t{0}, k / 2, k - 1}) {
      std::string other = key;
      other[at] ^= 1;
      EXPECT_FALSE(has_key(block, other)) << k << " " << at;
    }
    EXPECT_FALSE(has_key(block, key.substr(0, k - 1)));
    EXPECT_FALSE(has_key(block, key + '\0'));
  }
}

TEST(PairStore, ReleasedBlocksAreReusedAndOthersStayIntact) {
  PairStore store;
  const PairBlock* keep = store.add("keep", "this", {});
  const PairBlock* small = store.add("abc", "defgh", {});
  const PairBlock* large = store.add(pattern(4096, 'l'), "x", {});
  store.release(small);
  store.release(large);
  // Same rounded size: the released block serves again.
  EXPECT_EQ(store.add("xyz", "12345", {}), small);
  const PairBlock* again = store.add(pattern(300, 'm'), pattern(300, 'n'), {});
  EXPECT_EQ(again->key(), pattern(300, 'm'));
  EXPECT_EQ(again->value(), pattern(300, 'n'));
  EXPECT_EQ(keep->key(), "keep");
  EXPECT_EQ(keep->value(), "this");
}

// An instance's table is built, then moved into its Python object; the store left
// behind is empty and its new pairs share nothing with the moved one's.
TEST(PairStore, AMovedStoreKeepsItsBlocksAndLeavesAnEmptyOne) {
  PairStore first;
  const PairBlock* block = first.add("key", "value", {});
  const PairBlock* large = first.add(pattern(300, 'm'), "large", {});
  first.release(first.add("gone", "value", {}));
  const std::size_t reserved = first.bytes_reserved();
  PairStore second(std::move(first));
  EXPECT_EQ(block->value(), "value");
  EXPECT_EQ(second.bytes_reserved(), reserved);
  EXPECT_EQ(first.bytes_reserved(), 0u);
  const PairBlock* fresh = first.add("kex", "valux", {});
  EXPECT_GT(first.bytes_reserved(), 0u);
  second.release(block);
  EXPECT_EQ(second.add("kex", "valux", {}), block);
  const PairBlock* others[] = {second.add("kez", "valuz", {}), second.add("key", "value", {})};
  for (const PairBlock* other : others) EXPECT_NE(other, fresh);
  EXPECT_EQ(fresh->key(), "kex");
  EXPECT_EQ(fresh->value(), "valux");
  EXPECT_EQ(large->value(), "large");
}

// Pairs with a string of 2^32 - 1 bytes or more keep both lengths in 64-bit words.
// The key comes from a read-only zero mapping; the block's copy makes 4 GiB resident
// for a moment, so the test is skipped where that much memory is not available.
TEST(PairStore, APairLongerThanFourGibibytesKeepsBothLengths) {
  constexpr std::size_t kLong = std::size_t{1} << 32;
  std::ifstream meminfo("/proc/meminfo");
  std::string field;
  std::size_t available_kib = 0;
  while (meminfo >> field && field != "MemAvailable:") meminfo.ignore(256, '\n');
  meminfo >> available_kib;
  if (available_kib < (std::size_t{10} << 20)) GTEST_SKIP() << "needs 10 GiB of available memory";
  void* zeros = mmap(nullptr, kLong, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  const std::string_view key(static_cast<const char*>(zeros), kLong - 1);
  PairStore store;
  const PairBlock* block = store.add(key, "value", {7, 9});
  EXPECT_EQ(block->key().size(), kLong - 1);
  EXPECT_EQ(block->value(), "value");
  EXPECT_EQ(block->digests().first, 7u);
  EXPECT_EQ(block->digests().second, 9u);
  EXPECT_TRUE(has_key(block, key));
  EXPECT_FALSE(has_key(block, key.substr(1)));
  store.release(block);
  munmap(zeros, kLong);
}

// Sizes whose block could not be addressed are refused before anything is read.
TEST(PairStore, PairsBeyondTheAddressSpaceAreBadAlloc) {
  const char* nowhere = "";
  for (const auto& [key_size, value_size] : std::vector<std::pair<std::size_t, std::size_t>>{
           {SIZE_MAX - 8, 0}, {SIZE_MAX / 2, SIZE_MAX / 2}, {0, SIZE_MAX - 40}, {std::size_t{1} << 60, 0}}) {
    PairStore store;
    EXPECT_THROW(store.add({nowhere, key_size}, {nowhere, value_size}, {}), std::bad_alloc) << key_size;
  }
}

// Past the first few chunks, blocks come from 2 MiB mappings of their own.
TEST(PairStore, PairsInPageMappedChunksStayIntactThroughReleaseAndReuse) {
  PairStore store;
  std::vector<const PairBlock*> blocks;
  auto key_of = [](std::size_t i) { return "key-" + std::to_string(i); };
  for (std::size_t i = 0; i < 200000; ++i) blocks.push_back(store.add(key_of(i), pattern(i % 40, 'v'), {}));
  for (std::size_t i = 0; i < blocks.size(); i += 3) store.release(blocks[i]);
  for (std::size_t i = 0; i < blocks.size(); i += 3)
    blocks[i] = store.add(key_of(i), pattern(i % 40, 'v'), {});
  PairStore moved(std::move(store));
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    ASSERT_TRUE(has_key(blocks[i], key_of(i))) << i;
    ASSERT_EQ(blocks[i]->value(), pattern(i % 40, 'v')) << i;
  }
}

TEST(PageMemory, MappingsAreZeroedAndHugeOnesWholeAlignedPages) {
  for (const bool huge : {false, true}) {
    for (const bool populate : {false, true}) {
      for (const std::size_t bytes : {std::size_t{4096}, kHugePage + 8, std::size_t{5} << 20}) {
        const PageMapping mapping = map_pages(bytes, huge, populate);
        auto* words = static_cast<std::uint64_t*>(mapping.address);
        const std::size_t count = bytes / sizeof(std::uint64_t);
        EXPECT_EQ(words[0] | words[count / 2] | words[count - 1], 0u);
        words[0] = words[count - 1] = 1;
        if (huge) {
          EXPECT_EQ(reinterpret_cast<std::uintptr_t>(mapping.address) % kHugePage, 0u);
          EXPECT_EQ(mapping.bytes, (bytes + kHugePage - 1) / kHugePage * kHugePage);
        } else {
          EXPECT_EQ(mapping.bytes, bytes);
        }
        unmap_pages(mapping);
      }
    }
  }
}

TEST(PageMemory, RemappingKeepsTheContentsAndAddsZeroedPages) {
  for (const bool huge : {false, true}) {
    PageMapping mapping = map_pages(std::size_t{300} << 10, false, true);
    auto* words = static_cast<std::uint64_t*>(mapping.address);
    const std::size_t old_count = mapping.bytes / sizeof(std::uint64_t);
    for (std::size_t i = 0; i < old_count; i += 511) words[i] = i + 1;
    mapping = remap_pages(mapping, std::size_t{5} << 20, huge, true);
    words = static_cast<std::uint64_t*>(mapping.address);
    if (huge) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(mapping.address) % kHugePage, 0u);
    }
    for (std::size_t i = 0; i < old_count; i += 511) ASSERT_EQ(words[i], i + 1) << huge;
    EXPECT_EQ(words[old_count] | words[mapping.bytes / sizeof(std::uint64_t) - 1], 0u) << huge;
    unmap_pages(mapping);
  }
}

TEST(PageMemory, AddressRangesBeyondReachAreBadAlloc) {
  for (const bool huge : {false, true}) {
    for (const std::size_t bytes : {std::size_t{1} << 62, SIZE_MAX - 4096}) {
      EXPECT_THROW(map_pages(bytes, huge, false), std::bad_alloc) << huge << " " << bytes;
    }
  }
}

// Each mmap and page population that a mapping needs is failed in turn: every failure
// is std::bad_alloc with nothing left mapped.
TEST(PageMemory, AFailedMappingOrPopulationLeavesNothingMapped) {
  for (const bool huge : {false, true}) {
    for (const bool populate : {false, true}) {
      SCOPED_TRACE(testing::Message() << "huge " << huge << ", populate " << populate);
      const long before = testing_support::mapped_bytes;
      const int allocations = testing_support::sweep_allocation_failures(
          [] { return 0; }, [&](int&) { unmap_pages(map_pages(kHugePage + 8, huge, populate)); },
          [&](int, int k) { EXPECT_EQ(testing_support::mapped_bytes, before) << "allocation " << k; });
      EXPECT_EQ(allocations, huge && populate ? 2 : 1);
      EXPECT_EQ(testing_support::mapped_bytes, before);
    }
  }
}

// A failed remap leaves the mapping as it was, contents included, and maps nothing more.
TEST(PageMemory, AFailedRemapKeepsTheMappingAndItsContents) {
  for (const bool huge : {false, true}) {
    SCOPED_TRACE(testing::Message() << "huge " << huge);
    const long before = testing_support::mapped_bytes;
    const int allocations = testing_support::sweep_allocation_failures(
        [&] {
          const PageMapping mapping = map_pages(8192, huge, false);
          static_cast<std::uint64_t*>(mapping.address)[1000] = 42;
          return mapping;
        },
        [&](PageMapping& mapping) {
          const PageMapping moved = remap_pages(mapping, 3 * kHugePage, huge, false);
          EXPECT_EQ(static_cast<std::uint64_t*>(moved.address)[1000], 42u);
          unmap_pages(moved);
        },
        [&](const PageMapping& mapping, int k) {
          EXPECT_EQ(static_cast<std::uint64_t*>(mapping.address)[1000], 42u) << "allocation " << k;
          EXPECT_EQ(testing_support::mapped_bytes, before + static_cast<long>(mapping.bytes)) << k;
          unmap_pages(mapping);
        });
    EXPECT_EQ(allocations, huge ? 2 : 1);
    EXPECT_EQ(testing_support::mapped_bytes, before);
  }
}

// The reciprocal remainder agrees with % on digests and divisors at the edges.
TEST(Remainder, AgreesWithDivisionForEveryKindOfDivisor) {
  const std::uint64_t max = std::numeric_limits<std::uint64_t>::max();
  const std::vector<std::uint64_t> divisors = {1,       2,           3,           7,           1000,
                                               65536,   4294967295u, 4294967296u, 4294967297u, 6000000001,
                                               max / 3, max / 2,     max / 2 + 1, max - 1,     max};
  std::vector<std::uint64_t> numerators = {0,       1,           2,       4294967295u, 4294967296u,
                                           max / 2, max / 2 + 1, max - 1, max};
  std::uint64_t x = 0x9E3779B97F4A7C15;
  for (int i = 0; i < 2000; ++i)
    numerators.push_back(x = x * 6364136223846793005ULL + 1442695040888963407ULL);
  for (const std::uint64_t d : divisors) {
    const Remainder remainder(d);
    for (const std::uint64_t n : {d - 1, d, d + 1, 2 * d - 1, 2 * d}) numerators.push_back(n);
    for (const std::uint64_t n : numerators) {
      ASSERT_EQ(remainder.of64(n), n % d) << n << " % " << d;
      const auto n32 = static_cast<std::uint32_t>(n);
      ASSERT_EQ(remainder.of32(n32), n32 % d) << n32 << " % " << d;
    }
  }
}

TEST(Remainder, ADivisorOfZeroIsTheRemainderFault) {
  const Remainder remainder(0);
  for (auto call : {+[](const Remainder& r) { r.of64(5); }, +[](const Remainder& r) { r.of32(5); }}) {
    try {
      call(remainder);
      ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), "attempt to calculate the remainder with a divisor of zero");
    }
  }
}

TEST(SlotTable, VisitsOccupiedSlotsInIndexOrderAcrossSummaryGroups) {
  SlotTable table(10000);
  const std::vector<std::uint64_t> filled = {9999, 0, 63, 64, 4095, 4096, 5000, 8191, 8192};
  for (const std::uint64_t i : filled) table.fill(i, i + 1);
  table.clear(5000);
  table.clear(4096);
  std::vector<std::uint64_t> seen;
  table.for_each_occupied([&](std::uint64_t index, std::uint64_t word) {
    EXPECT_EQ(word, index + 1);
    seen.push_back(index);
  });
  EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, 63, 64, 4095, 8191, 8192, 9999}));
}

TEST(SlotTable, HugeLengthsAreRefusedWithoutTouchingMemory) {
  for (const std::uint64_t length : {std::uint64_t{1} << 60, SlotTable::kMaxLength})
    EXPECT_THROW(SlotTable table(length), std::bad_alloc) << length;
  try {
    SlotTable table(SlotTable::kMaxLength + 1);
    ADD_FAILURE() << "no fault";
  } catch (const Fault& fault) {
    EXPECT_EQ(fault.message(), "capacity overflow");
  }
  SlotTable big(std::uint64_t{1} << 27);  // 1 GiB of slots, mapped lazily
  EXPECT_EQ(big[(std::uint64_t{1} << 27) - 1], 0u);
}

// Lengths on each side of the calloc, populated huge-page and lazy huge-page ranges.
TEST(SlotTable, EveryKindOfStorageStartsEmptyAndKeepsWordsThroughAMove) {
  for (const std::uint64_t length : {30000u, 200000u, 4000000u, 9000000u}) {
    SlotTable table(length);
    std::vector<std::uint64_t> seen;
    table.for_each_occupied([&](std::uint64_t index, std::uint64_t) { seen.push_back(index); });
    EXPECT_TRUE(seen.empty()) << length;
    for (const std::uint64_t i : {std::uint64_t{0}, length / 2, length - 1}) table.fill(i, i + 7);
    SlotTable moved(std::move(table));
    moved.for_each_occupied([&](std::uint64_t index, std::uint64_t word) {
      EXPECT_EQ(word, index + 7);
      seen.push_back(index);
    });
    EXPECT_EQ(seen, (std::vector<std::uint64_t>{0, length / 2, length - 1})) << length;
  }
}

// A growth empties a table, then lays it out anew in room reserved beforehand, from
// calloc'd storage into mapped storage and on to remapped storage.
TEST(SlotTable, GrowsInPlaceStartingEmptyAtEveryLength) {
  SlotTable table(1000);
  std::uint64_t length = 1000;
  for (const std::uint64_t next : {20000u, 100000u, 600000u, 3000000u, 2000u}) {
    for (const std::uint64_t i : {std::uint64_t{0}, length / 3, length - 1}) table.fill(i, i + 5);
    table.reserve(next, next / 4);
    std::vector<std::uint64_t> taken;
    table.take_all([&](std::uint64_t word) { taken.push_back(word); });
    EXPECT_EQ(taken, (std::vector<std::uint64_t>{5, length / 3 + 5, length + 4})) << next;
    table.set_length(next);
    EXPECT_EQ(table.length(), next);
    table.for_each_occupied([&](std::uint64_t index, std::uint64_t) { ADD_FAILURE() << index; });
    EXPECT_EQ(table[0] | table[next / 2] | table[next - 1], 0u) << next;
    length = next;
  }
}

}  // namespace
}  // namespace brambleloft
