#include "cuckoo_hash/cuckoo_hash.hpp"

#include <gtest/gtest.h>
#include <xxhash.h>

#include <cerrno>
#include <cstdint>
#include <functional>
#include <limits>
#include <new>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "errors/fault.hpp"
#include "support/failing_allocator.hpp"

namespace brambleloft {
namespace {

// Draws from a seeded generator, counting them; optionally fails at a given draw.
class CountingSource final : public RandomSource {
 public:
  explicit CountingSource(std::uint64_t seed, std::uint64_t fail_at = 0)
      : engine_(seeds(seed)), fail_at_(fail_at) {}
  std::uint32_t next_u32() override {
    ++draws;
    if (draws == fail_at_) throw std::runtime_error("draw refused");
    return engine_.next_u32();
  }
  std::uint64_t draws = 0;

 private:
  static const std::uint64_t (&seeds(std::uint64_t seed))[4] {
    static thread_local std::uint64_t s[4];
    for (auto& word : s) word = seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return s;
  }
  Xoshiro256StarStar engine_;
  std::uint64_t fail_at_;
};

std::uint64_t xxh32(const std::string& key) { return XXH32(key.data(), key.size(), 0); }
std::uint64_t xxh64(const std::string& key) { return XXH64(key.data(), key.size(), 0); }

// The first key "k0", "k1", ... that satisfies the predicate.
std::string find_key(const std::function<bool(const std::string&)>& wanted) {
  for (int i = 0;; ++i) {
    std::string key = "k" + std::to_string(i);
    if (wanted(key)) return key;
  }
}

std::string fault_message(const std::function<void()>& body) {
  try {
    body();
  } catch (const Fault& fault) {
    return fault.message();
  }
  return "<no fault>";
}

// Every held pair sits at its candidate slot, and the pair count matches.
void expect_invariants(const CuckooHash& table) {
  std::uint64_t held = 0;
  for (int t = 1; t <= 2; ++t) {
    for (std::uint64_t i = 0; i < table.capacity(); ++i) {
      const auto pair = table.slot(t, i);
      if (!pair) continue;
      ++held;
      const std::uint64_t digest = t == 1 ? XXH32(pair->first.data(), pair->first.size(), 0)
                                          : XXH64(pair->first.data(), pair->first.size(), 0);
      EXPECT_EQ(digest % table.capacity(), i) << "pair for '" << pair->first << "' off its slot";
    }
  }
  EXPECT_EQ(held, table.size());
}

// An insert grows the tables at most once, so a crowded table may refuse a new key;
// a refused pair is not stored, and trying again grows the tables further.
void insert_until_stored(CuckooHash& table, const std::string& key, const std::string& value,
                         RandomSource& rng) {
  const std::uint64_t before = table.size();
  while (!table.insert_with(key, value, rng)) ASSERT_EQ(table.size(), before);
  ASSERT_EQ(table.size(), before + 1);
}

constexpr const char* kRemainderFault = "attempt to calculate the remainder with a divisor of zero";

TEST(CuckooHashIndices, AreTheDigestsReducedByTheCapacity) {
  CuckooHash table(7);
  for (const std::string key : {"", "a", "hello", "a longer key that spans several stripes of input"}) {
    EXPECT_EQ(table.hash1(key), xxh32(key) % 7);
    EXPECT_EQ(table.hash2(key), xxh64(key) % 7);
  }
  CuckooHash single(1);
  EXPECT_EQ(single.hash1("anything"), 0u);
  EXPECT_EQ(single.hash2("anything"), 0u);
}

TEST(CuckooHashCapacityZero, EveryIndexingOperationFaultsAndChangesNothing) {
  CuckooHash table(0);
  CountingSource rng(1);
  EXPECT_EQ(fault_message([&] { table.hash1("a"); }), kRemainderFault);
  EXPECT_EQ(fault_message([&] { table.hash2("a"); }), kRemainderFault);
  EXPECT_EQ(fault_message([&] { table.get("a"); }), kRemainderFault);
  EXPECT_EQ(fault_message([&] { table.remove("a"); }), kRemainderFault);
  EXPECT_EQ(fault_message([&] { table.insert_with("a", "1", rng); }), kRemainderFault);
  EXPECT_EQ(table.size(), 0u);
  EXPECT_EQ(table.capacity(), 0u);
  EXPECT_EQ(rng.draws, 0u);
}

TEST(CuckooHashConstruction, SizesBeyondTheAddressRangeAreACapacityOverflow) {
  EXPECT_EQ(fault_message([] { CuckooHash table(std::numeric_limits<std::uint64_t>::max()); }),
            "capacity overflow");
  EXPECT_THROW(CuckooHash table(std::uint64_t{1} << 60), std::bad_alloc);
  CuckooHash table(3);
  EXPECT_EQ(table.capacity(), 3u);
  EXPECT_EQ(table.initial_capacity(), 3u);
  EXPECT_EQ(table.growth_factor(), 2u);
  EXPECT_EQ(table.max_kicks(), 500u);
}

TEST(CuckooHashInsert, AFreeFirstSlotTakesThePairWithoutADraw) {
  CuckooHash table(8);
  CountingSource rng(1);
  ASSERT_TRUE(table.insert_with("a", "1", rng));
  const auto pair = table.slot(1, table.hash1("a"));
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->first, "a");
  EXPECT_EQ(table.get("a"), "1");
  EXPECT_EQ(rng.draws, 0u);
}

TEST(CuckooHashInsert, ASecondKeyOnATakenFirstSlotGoesToTableTwoWithoutADraw) {
  CuckooHash table(8);
  CountingSource rng(1);
  const std::string first = "k0";
  const std::string second =
      find_key([&](const std::string& k) { return k != first && xxh32(k) % 8 == xxh32(first) % 8; });
  ASSERT_TRUE(table.insert_with(first, "1", rng));
  ASSERT_TRUE(table.insert_with(second, "2", rng));
  EXPECT_EQ(table.slot(2, table.hash2(second))->first, second);
  EXPECT_EQ(rng.draws, 0u);
}

TEST(CuckooHashDuplicates, TwoPairsOfOneKeyAreAnsweredAndRemovedTableOneFirst) {
  CuckooHash table(16);
  CountingSource rng(1);
  ASSERT_TRUE(table.insert_with("k", "a", rng));
  ASSERT_TRUE(table.insert_with("k", "b", rng));
  EXPECT_EQ(table.slot(1, table.hash1("k"))->second, "a");
  EXPECT_EQ(table.slot(2, table.hash2("k"))->second, "b");
  EXPECT_EQ(table.get("k"), "a");
  EXPECT_TRUE(table.remove("k"));
  EXPECT_EQ(table.get("k"), "b");
  EXPECT_TRUE(table.remove("k"));
  EXPECT_FALSE(table.get("k"));
  EXPECT_FALSE(table.remove("k"));
}

class ThirdPairOfOneKey : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(ThirdPairOfOneKey, IsRefusedAndTheFirstTwoStay) {
  CuckooHash table(1);
  CountingSource rng(GetParam());
  ASSERT_TRUE(table.insert_with("k", "first", rng));
  ASSERT_TRUE(table.insert_with("k", "second", rng));
  EXPECT_FALSE(table.insert_with("k", "third", rng));
  EXPECT_EQ(table.capacity(), 2u);  // one growth, by the initial size
  EXPECT_EQ(table.growth_factor(), 3u);
  EXPECT_EQ(table.size(), 2u);
  expect_invariants(table);
  EXPECT_EQ(table.get("k"), "first");
  ASSERT_TRUE(table.remove("k"));
  EXPECT_EQ(table.get("k"), "second");
  ASSERT_TRUE(table.remove("k"));
  EXPECT_FALSE(table.remove("k"));
}

INSTANTIATE_TEST_SUITE_P(Seeds, ThirdPairOfOneKey, ::testing::Values(1, 2, 3, 42, 1000));

TEST(ThirdPairOfOneKey, CostsNoWalkAndOneGrowthThatKeepsEveryPair) {
  CuckooHash table(1000);
  CountingSource rng(3);
  for (int i = 0; i < 300; ++i) ASSERT_TRUE(table.insert_with("k" + std::to_string(i), "v", rng));
  ASSERT_TRUE(table.insert_with("k", "first", rng));
  ASSERT_TRUE(table.insert_with("k", "second", rng));
  const std::uint64_t draws = rng.draws;
  EXPECT_FALSE(table.insert_with("k", "third", rng));
  // Both walks were bound to be undone: every pair they could displace has key k.
  EXPECT_EQ(rng.draws - draws, 0u);
  EXPECT_EQ(table.capacity(), 2000u);
  EXPECT_EQ(table.size(), 302u);
  expect_invariants(table);
  EXPECT_EQ(table.get("k"), "first");
}

// Pairs of every shape of length survive walks, growth, removal and reuse of blocks.
class PairShapes : public ::testing::TestWithParam<std::size_t> {};

TEST_P(PairShapes, SurviveWalksGrowthRemovalAndReuse) {
  const std::size_t length = GetParam();
  auto key_of = [&](int i) { return std::to_string(i) + std::string(length, '\0') + "#"; };
  auto value_of = [&](int i, char fill) { return std::string(length, fill) + std::to_string(i); };
  CuckooHash table(1);
  CountingSource rng(17);
  constexpr int kPairs = 200;
  for (int i = 0; i < kPairs; ++i) insert_until_stored(table, key_of(i), value_of(i, 'a'), rng);
  for (int i = 0; i < kPairs; i += 3) ASSERT_TRUE(table.remove(key_of(i)));
  for (int i = 0; i < kPairs; i += 3) insert_until_stored(table, key_of(i), value_of(i, 'b'), rng);
  // A walk that is undone (its first draw fails) leaves every block where it was.
  CountingSource failing(5, 1);
  bool undone = false;
  try {
    table.insert_with(key_of(kPairs), "x", failing);
  } catch (const std::runtime_error&) {
    undone = true;
  }
  expect_invariants(table);
  EXPECT_EQ(table.get(key_of(kPairs)).has_value(), !undone);
  EXPECT_EQ(table.size(), kPairs + (undone ? 0u : 1u));
  for (int i = 0; i < kPairs; ++i) {
    ASSERT_EQ(table.get(key_of(i)), value_of(i, i % 3 == 0 ? 'b' : 'a')) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, PairShapes, ::testing::Values(0, 15, 16, 48, 4096));

TEST(CuckooHashWalk, GivesUpAfterExactlyMaxKicksDrawsThenRePlacesTableOneFirst) {
  // a and b share table1's slot 0 at capacity 2, so whichever is placed first keeps
  // it; c fits elsewhere. No walk at capacity 2 needs a draw.
  const std::string a = find_key([](const std::string& k) { return xxh32(k) % 2 == 0; });
  const std::string b = find_key([&](const std::string& k) { return k != a && xxh32(k) % 2 == 0; });
  const std::string c = find_key([](const std::string& k) { return xxh32(k) % 2 == 1; });
  CuckooHash table(1);
  CountingSource rng(7);
  ASSERT_TRUE(table.insert_with(a, "a", rng));  // table1[0]
  ASSERT_TRUE(table.insert_with(b, "b", rng));  // table2[0]
  ASSERT_EQ(rng.draws, 0u);
  ASSERT_TRUE(table.insert_with(c, "c", rng));
  EXPECT_EQ(rng.draws, 500u);
  EXPECT_EQ(table.capacity(), 2u);
  EXPECT_EQ(table.growth_factor(), 3u);
  EXPECT_EQ(table.slot(1, 0)->first, a);  // table1's pairs are placed before table2's
  EXPECT_EQ(table.slot(2, table.hash2(b))->first, b);
  EXPECT_EQ(table.slot(1, 1)->first, c);  // the pair held back comes last
}

TEST(CuckooHashWalk, AFailedDrawUndoesEveryDisplacement) {
  CuckooHash table(1);
  CountingSource setup(1);
  ASSERT_TRUE(table.insert_with("x", "1", setup));
  ASSERT_TRUE(table.insert_with("y", "2", setup));
  for (const std::uint64_t fail_at : {1, 2, 250, 500}) {
    CountingSource rng(3, fail_at);
    EXPECT_THROW(table.insert_with("z", "3", rng), std::runtime_error);
    EXPECT_EQ(table.slot(1, 0)->first, "x");
    EXPECT_EQ(table.slot(2, 0)->first, "y");
    EXPECT_EQ(table.capacity(), 1u);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_FALSE(table.get("z"));
  }
}

TEST(CuckooHashGrowth, CapacitiesRunThroughMultiplesOfTheInitialSize) {
  CuckooHash table(3);
  CountingSource rng(11);
  std::vector<std::uint64_t> capacities{table.capacity()};
  for (int i = 0; i < 400; ++i) {
    insert_until_stored(table, "key" + std::to_string(i), std::to_string(i), rng);
    if (table.capacity() != capacities.back()) capacities.push_back(table.capacity());
  }
  for (std::size_t i = 0; i < capacities.size(); ++i) {
    EXPECT_EQ(capacities[i] % 3, 0u);
    if (i > 0) {
      EXPECT_GT(capacities[i], capacities[i - 1]);
    }
  }
  EXPECT_EQ(table.growth_factor(), table.capacity() / 3 + 1);
  EXPECT_GT(capacities.size(), 2u);
}

// A draw that fails while a growth re-places pairs puts every pair back where it
// was; one that fails in the walk after the growth leaves the grown table whole.
// Half the keys are long enough for their blocks to keep their digests.
TEST(CuckooHashGrowth, AFailedDrawDuringGrowthLeavesEveryPairWhereItWas) {
  CuckooHash table(1);
  CountingSource setup(5);
  auto key_of = [](int i) { return "key" + std::to_string(i) + std::string(i % 2 * 100, '-'); };
  for (int i = 0; i < 60; ++i) insert_until_stored(table, key_of(i), "v", setup);
  auto snapshot = [&] {
    std::vector<std::optional<CuckooHash::PairView>> slots;
    for (int t = 1; t <= 2; ++t)
      for (std::uint64_t i = 0; i < table.capacity(); ++i) slots.push_back(table.slot(t, i));
    return slots;
  };
  int put_back = 0;
  for (std::uint64_t fail_at = 501; fail_at < 700 && put_back < 3; fail_at += 7) {
    const auto before = snapshot();
    const std::uint64_t capacity = table.capacity();
    CountingSource rng(fail_at, fail_at);
    try {
      table.insert_with("new" + std::to_string(fail_at), "x", rng);
    } catch (const std::runtime_error&) {
      if (table.capacity() == capacity) {
        ++put_back;
        EXPECT_EQ(snapshot(), before) << fail_at;
      }
    }
    expect_invariants(table);
    for (int i = 0; i < 60; ++i) ASSERT_EQ(table.get(key_of(i)), "v") << fail_at << " " << i;
  }
  EXPECT_GT(put_back, 0);
}

TEST(CuckooHashGrowth, EveryPairSurvivesManyGrowthsFromCapacityOne) {
  CuckooHash table(1);
  CountingSource rng(5);
  constexpr int kKeys = 1500;
  for (int i = 0; i < kKeys; ++i)
    insert_until_stored(table, "key" + std::to_string(i), "v" + std::to_string(i), rng);
  EXPECT_EQ(table.size(), static_cast<std::uint64_t>(kKeys));
  expect_invariants(table);
  for (int i = 0; i < kKeys; ++i) {
    ASSERT_EQ(table.get("key" + std::to_string(i)), "v" + std::to_string(i)) << i;
  }
  for (int i = 0; i < kKeys; i += 2) ASSERT_TRUE(table.remove("key" + std::to_string(i)));
  for (int i = 0; i < kKeys; ++i) {
    EXPECT_EQ(table.get("key" + std::to_string(i)).has_value(), i % 2 == 1) << i;
  }
  expect_invariants(table);
}

TEST(CuckooHashRemove, LeavesOtherPairsInPlaceAndFreesItsSlot) {
  CuckooHash table(32);
  CountingSource rng(9);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(table.insert_with("k" + std::to_string(i), "v", rng));
  const auto slot = table.hash1("k3");
  const bool in_first = table.slot(1, slot) && table.slot(1, slot)->first == "k3";
  ASSERT_TRUE(table.remove("k3"));
  if (in_first) {
    EXPECT_FALSE(table.slot(1, slot));
  }
  EXPECT_EQ(table.size(), 19u);
  expect_invariants(table);
  // A freed pair id is reused without disturbing the others.
  ASSERT_TRUE(table.insert_with("k3", "again", rng));
  EXPECT_EQ(table.get("k3"), "again");
  expect_invariants(table);
}

TEST(CuckooHashKeys, AreComparedByteForByte) {
  CuckooHash table(64);
  CountingSource rng(1);
  ASSERT_TRUE(table.insert_with("Key", "upper", rng));
  ASSERT_TRUE(table.insert_with("", "empty", rng));
  ASSERT_TRUE(table.insert_with("\xc3\xa9", "composed", rng));
  EXPECT_FALSE(table.get("key"));
  EXPECT_FALSE(table.get("e\xcc\x81"));
  EXPECT_EQ(table.get(""), "empty");
  EXPECT_EQ(table.get("\xc3\xa9"), "composed");
}

// Every slot of both tables, for comparing a table's state before and after a call.
using Slots = std::vector<std::optional<std::pair<std::string, std::string>>>;
Slots slots_of(const CuckooHash& table) {
  Slots slots;
  for (int t = 1; t <= 2; ++t) {
    for (std::uint64_t i = 0; i < table.capacity(); ++i) {
      const auto pair = table.slot(t, i);
      slots.push_back(pair ? std::optional(std::pair<std::string, std::string>(pair->first, pair->second))
                           : std::nullopt);
    }
  }
  return slots;
}

TEST(ThreadGenerator, DrawsDifferFromOneThreadToItself) {
  RandomSource& rng = thread_generator();
  std::uint32_t first = rng.next_u32();
  bool varied = false;
  for (int i = 0; i < 64 && !varied; ++i) varied = rng.next_u32() != first;
  EXPECT_TRUE(varied);
}

// The generator of a thread is seeded at its first draw: a getrandom interrupted by
// a signal is retried, any other failure is a fault naming the system's error, and
// the insert that needed the draw leaves the table as it was.
TEST(ThreadGenerator, AFailedSeedingFaultsAndTheInsertChangesNothing) {
  std::thread([] {
    CuckooHash table(1);
    ASSERT_TRUE(table.insert("a", "1"));  // both first slots are free: no draw
    ASSERT_TRUE(table.insert("b", "2"));
    const Slots before = slots_of(table);
    testing_support::entropy_failure = {1, ENOSYS};
    try {
      table.insert("c", "3");
      ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(),
                "initialising the random generator failed: Function not implemented (os error 38)");
    }
    EXPECT_EQ(slots_of(table), before);
    EXPECT_EQ(table.size(), 2u);
    testing_support::entropy_failure = {3, EINTR};
    EXPECT_TRUE(table.insert("c", "3"));
    EXPECT_EQ(testing_support::entropy_failure.calls, 0);
    EXPECT_EQ(table.get("c"), "3");
  }).join();
}

// Running out of memory: each allocation an insert makes (its pair's block, a
// chunk of blocks, and in growth the new tables and the placement order) is failed
// in turn, and every failure must leave the table as it was.
struct InsertCase {
  const char* name;
  std::uint64_t size;
  int pairs;               // stored before the insert
  std::size_t key_length;  // of the inserted key
};
void PrintTo(const InsertCase& c, std::ostream* os) { *os << c.name; }

class CuckooHashOutOfMemory : public ::testing::TestWithParam<InsertCase> {};

TEST_P(CuckooHashOutOfMemory, AFailedAllocationLeavesTheTableAsItWas) {
  const InsertCase& c = GetParam();
  const std::string key = "new" + std::string(c.key_length, 'k');
  Slots before;
  std::uint64_t capacity = 0, factor = 0, size = 0;
  const int allocations = testing_support::sweep_allocation_failures(
      [&] {
        CuckooHash table(c.size);
        CountingSource rng(7);
        for (int i = 0; i < c.pairs; ++i) insert_until_stored(table, "k" + std::to_string(i), "v", rng);
        before = slots_of(table);
        capacity = table.capacity(), factor = table.growth_factor(), size = table.size();
        return table;
      },
      [&](CuckooHash& table) {
        CountingSource rng(11);
        while (!table.insert_with(key, "value", rng)) {
        }
      },
      [&](const CuckooHash& table, int k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " failed");
        EXPECT_EQ(slots_of(table), before);
        EXPECT_EQ(table.capacity(), capacity);
        EXPECT_EQ(table.growth_factor(), factor);
        EXPECT_EQ(table.size(), size);
        EXPECT_FALSE(table.get(key));
      });
  EXPECT_GT(allocations, 0) << "the insert allocated nothing, so nothing was tested";
}

INSTANTIATE_TEST_SUITE_P(Inserts, CuckooHashOutOfMemory,
                         ::testing::Values(InsertCase{"FirstPairTakesAChunk", 16, 0, 4},
                                           InsertCase{"LargePairOfItsOwn", 16, 3, 1000},
                                           InsertCase{"GrowthFromAFullTable", 1, 2, 4},
                                           InsertCase{"GrowthOfAFullerTable", 4, 8, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brambleloft
