#include "dag/dag.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <ostream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "errors/fault.hpp"
#include "support/failing_allocator.hpp"
#include "support/reference_dag.hpp"

namespace brambleloft {

// Reaches into a graph: moves the search counter next to its limit and packs the
// order's labels one apart against the low or the high end of their range, so that a
// short run sees the marks cleared and every gap respread; and breaks its invariants
// on purpose.
class DagInternals {
 public:
  static std::uint64_t labels_written(const DAG& dag) { return dag.labels_written_; }

  static void squeeze(DAG& dag, std::uint32_t searches_left, bool at_top) {
    dag.search_epoch_ =
        std::max(dag.search_epoch_, std::numeric_limits<std::uint32_t>::max() - 2 * searches_left);
    std::vector<Index> listed;
    for (Index i = dag.first_; i != DAG::kNone; i = dag.order_[i].next) listed.push_back(i);
    DAG::Position label = at_top ? DAG::kHighest - listed.size() + 1 : DAG::kLowest;
    for (const Index i : listed) dag.ranks_[i].position = label++;
  }

  // Ways to break each invariant that broken_invariant() checks, with the report each
  // must give, for a graph with the edge 0 -> 1, a node 2 and the free slot 3.
  static std::vector<std::pair<std::string, std::function<void(DAG&)>>> corruptions() {
    const auto add = [](IndexSet& set, DAG::Index index) {
      set.reserve_one_more();
      set.insert(index);
    };
    return {
        {"the per-slot arrays differ in length", [](DAG& d) { d.ranks_.emplace_back(); }},
        {"free list holds 7 wrongly", [](DAG& d) { d.free_indices_.push_back(7); }},
        {"free list holds 0 wrongly", [](DAG& d) { d.free_indices_.push_back(0); }},
        {"free list holds 3 wrongly", [](DAG& d) { d.free_indices_.push_back(3); }},
        {"slot 2 shares its name entry", [](DAG& d) { d.ranks_[2].name = d.ranks_[1].name; }},
        {"slot 1 has a name listed elsewhere",
         [](DAG& d) {
           const std::uint32_t name = d.ranks_[1].name;
           d.ranks_[1].name = d.ranks_[2].name;
           d.ranks_[2].name = name;
         }},
        {"slot 1 carries a mark no search gave", [](DAG& d) { d.ranks_[1].mark = d.search_epoch_ + 1; }},
        {"free slot 3 is not on the free list", [](DAG& d) { d.free_indices_.clear(); }},
        {"free slot 3 has edges", [=](DAG& d) { add(d.slots_[3].predecessors, 0); }},
        {"slot 0 holds an edge twice", [=](DAG& d) { add(d.slots_[0].successors, 1); }},
        {"edge 0 -> 0 is not between live slots", [=](DAG& d) { add(d.slots_[0].successors, 0); }},
        {"edge 9 -> 1 is not between live slots", [=](DAG& d) { add(d.slots_[1].predecessors, 9); }},
        {"edge 0 -> 3 is not between live slots", [=](DAG& d) { add(d.slots_[0].successors, 3); }},
        {"edge 0 -> 2 is known at one end only", [=](DAG& d) { add(d.slots_[0].successors, 2); }},
        {"edge 2 -> 0 goes against the order",
         [=](DAG& d) {
           add(d.slots_[2].successors, 0);
           add(d.slots_[0].predecessors, 2);
         }},
        {"the order lists 3 wrongly", [](DAG& d) { d.order_[2].next = 3; }},
        {"the order's links at 1 disagree", [](DAG& d) { d.order_[1].previous = 2; }},
        {"slot 0 is out of order", [](DAG& d) { d.ranks_[0].position = DAG::kLowest - 1; }},
        {"slot 2 is out of order", [](DAG& d) { d.ranks_[2].position = d.ranks_[1].position; }},
        {"the order misses live slots", [](DAG& d) { d.last_ = 1; }},
    };
  }

 private:
  using Index = DAG::Index;
};

namespace {

using Index = DAG::Index;
constexpr Index kMaxIndex = std::numeric_limits<Index>::max();

// The slot state with successor sets ordered, so that it compares and prints.
struct Snapshot {
  std::vector<std::optional<std::set<Index>>> graph;
  std::vector<std::optional<std::string>> names;
  std::vector<Index> free;
  bool operator==(const Snapshot&) const = default;
};
void PrintTo(const Snapshot& s, std::ostream* out) {
  *out << testing::PrintToString(s.graph) << " names " << testing::PrintToString(s.names) << " free "
       << testing::PrintToString(s.free);
}
std::set<Index> successor_set(const DAG& dag, Index index) {
  const std::vector<Index> listed = dag.successors(index);
  return {listed.begin(), listed.end()};
}
Snapshot snapshot(const DAG& dag) {
  Snapshot s{{}, dag.index_to_node(), dag.free_indices()};
  for (Index i = 0; i < dag.slot_count(); ++i) {
    s.graph.push_back(dag.is_live(i) ? std::optional(successor_set(dag, i)) : std::nullopt);
  }
  return s;
}

std::string bounds_message(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}

// The message of the Fault that `call` raises, or nothing if it returns.
template <class Call>
std::optional<std::string> fault_of(Call&& call) {
  try {
    call();
  } catch (const Fault& fault) {
    return fault.message();
  }
  return std::nullopt;
}

bool is_registered(const DAG& dag, const std::string& name) { return dag.has_path(name, name); }

DAG chain(const std::vector<std::string>& names) {
  DAG dag;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) dag.add_edge(names[i], names[i + 1]);
  return dag;
}

testing::AssertionResult invariants_hold(const DAG& dag) {
  if (const auto broken = dag.broken_invariant()) return testing::AssertionFailure() << *broken;
  return testing::AssertionSuccess();
}

// Reflexive-transitive closure by Warshall's algorithm over 64-bit rows.
class Closure {
 public:
  explicit Closure(const DAG& dag) : rows_(dag.slot_count()) {
    EXPECT_LE(rows_.size(), 64u);
    for (std::size_t i = 0; i < rows_.size(); ++i) {
      rows_[i] = bit(i);
      for (const Index s : dag.successors(i)) rows_[i] |= bit(s);
    }
    for (std::size_t k = 0; k < rows_.size(); ++k) {
      for (auto& row : rows_) row |= (row & bit(k)) ? rows_[k] : 0;
    }
  }
  bool reaches(Index from, Index to) const { return (rows_.at(from) & bit(to)) != 0; }

 private:
  static std::uint64_t bit(Index i) { return i < 64 ? std::uint64_t{1} << i : 0; }
  std::vector<std::uint64_t> rows_;
};

// ---------------------------------------------------------------------------------
// The registry

TEST(DagRegistry, IndicesAreDenseAndOnlyNameLevelCallsRegisterNames) {
  DAG dag;
  EXPECT_EQ(dag.get_or_create_index("a"), 0u);
  EXPECT_EQ(dag.get_or_create_index(""), 1u);
  EXPECT_EQ(dag.get_or_create_index("a"), 0u);
  EXPECT_EQ(dag.allocate_index("b"), 2u);
  EXPECT_EQ(dag.allocate_index("b"), 3u);
  EXPECT_FALSE(is_registered(dag, "b"));
  EXPECT_EQ(dag.get_or_create_index("b"), 4u);
  EXPECT_EQ(dag.index_to_node(), (std::vector<std::optional<std::string>>{"a", "", "b", "b", "b"}));
}

TEST(DagRegistry, AddNodeIsTrueOnlyForTheFirstMarkAndKeepsAnExistingIndex) {
  DAG dag;
  EXPECT_TRUE(dag.add_node("x"));
  EXPECT_FALSE(dag.add_node("x"));
  EXPECT_TRUE(dag.add_edge("y", "z"));
  EXPECT_TRUE(dag.add_node("y"));
  EXPECT_FALSE(dag.add_node("y"));
  EXPECT_EQ(dag.get_or_create_index("y"), 1u);
}

TEST(DagRegistry, ReleasingAFreeIndexChangesNothingSoNoIndexIsHandedOutTwice) {
  DAG dag;
  dag.allocate_index("a");
  dag.allocate_index("b");
  dag.release_index(0);
  const Snapshot once = snapshot(dag);
  dag.release_index(0);
  EXPECT_EQ(snapshot(dag), once);
  EXPECT_EQ(dag.allocate_index("c"), 0u);
  EXPECT_EQ(dag.allocate_index("d"), 2u);
}

// finish_node and remove_node are one operation under two names.
class DagReleaseByName : public testing::TestWithParam<void (DAG::*)(std::string_view)> {
 protected:
  void release(DAG& dag, std::string_view name) { (dag.*GetParam())(name); }
};

TEST_P(DagReleaseByName, FreedIndicesAreReusedMostRecentlyReleasedFirst) {
  DAG dag;
  for (const char* name : {"a", "b", "c"}) dag.add_node(name);
  release(dag, "a");
  release(dag, "c");
  EXPECT_EQ(dag.get_or_create_index("d"), 2u);
  EXPECT_TRUE(dag.add_edge("e", "f"));
  EXPECT_EQ(dag.get_or_create_index("e"), 0u);
  EXPECT_EQ(dag.get_or_create_index("f"), 3u);
}

TEST_P(DagReleaseByName, AnUnknownNameChangesNothing) {
  DAG dag = chain({"a", "b"});
  const Snapshot before = snapshot(dag);
  release(dag, "A");
  EXPECT_EQ(snapshot(dag), before);
}

TEST_P(DagReleaseByName, ANodeLosesItsNameItsMarkAndItsEdgesInBothDirections) {
  DAG dag = chain({"a", "b", "c"});
  EXPECT_TRUE(dag.add_node("b"));
  release(dag, "b");
  EXPECT_FALSE(is_registered(dag, "b"));
  EXPECT_EQ(snapshot(dag),
            (Snapshot{{std::set<Index>{}, std::nullopt, std::set<Index>{}}, {"a", std::nullopt, "c"}, {1}}));
  EXPECT_FALSE(dag.has_path("a", "c"));
  EXPECT_TRUE(dag.add_edge("c", "a"));
  // Back under the index it freed, unmarked and without edges.
  EXPECT_EQ(dag.get_or_create_index("b"), 1u);
  EXPECT_TRUE(dag.successors(1).empty());
  EXPECT_TRUE(dag.add_node("b"));
}

INSTANTIATE_TEST_SUITE_P(FinishAndRemove, DagReleaseByName,
                         testing::Values(&DAG::finish_node, &DAG::remove_node),
                         [](const auto& info) { return info.index ? "remove_node" : "finish_node"; });

// ---------------------------------------------------------------------------------
// Edges, the cycle test and reachability

TEST(DagEdges, ASelfLoopIsRefusedAndRegistersNothing) {
  DAG dag;
  EXPECT_FALSE(dag.add_edge("a", "a"));
  EXPECT_EQ(dag.slot_count(), 0u);
  dag.add_node("a");
  EXPECT_FALSE(dag.add_edge("a", "a"));
  EXPECT_TRUE(dag.successors(0).empty());
}

TEST(DagEdges, NewNamesTakeTheirIndicesFromNodeFirst) {
  DAG dag;
  for (const char* name : {"p", "q", "r", "s"}) dag.add_node(name);
  dag.finish_node("q");
  dag.finish_node("s");
  EXPECT_TRUE(dag.add_edge("x", "y"));
  EXPECT_EQ(dag.get_or_create_index("x"), 3u);
  EXPECT_EQ(dag.get_or_create_index("y"), 1u);
  EXPECT_TRUE(dag.add_edge("u", "v"));
  EXPECT_EQ(dag.get_or_create_index("v"), 5u);
  EXPECT_TRUE(dag.has_path("x", "y"));
  EXPECT_FALSE(dag.has_path("y", "x"));
}

TEST(DagEdges, DuplicatesAndCyclesAreRefusedWithNothingChangedWhileShortcutsAreAccepted) {
  DAG dag = chain({"a", "b", "c"});
  const Snapshot before = snapshot(dag);
  EXPECT_FALSE(dag.add_edge("a", "b"));
  EXPECT_FALSE(dag.add_edge("c", "a"));
  EXPECT_FALSE(dag.add_edge("b", "a"));
  EXPECT_EQ(snapshot(dag), before);
  EXPECT_TRUE(dag.add_edge("a", "c"));
  // Whatever edges the registered name has, an edge to or from a new name is stored.
  EXPECT_TRUE(dag.add_edge("c", "new-1"));
  EXPECT_TRUE(dag.add_edge("new-2", "a"));
  EXPECT_TRUE(dag.has_path("new-2", "new-1"));
  EXPECT_TRUE(invariants_hold(dag));
}

TEST(DagCycleTest, IsTrueExactlyWhenTheSourceIsReachableFromTheTarget) {
  DAG dag = chain({"a", "b", "c"});
  EXPECT_TRUE(dag.would_create_cycle(2, 0));
  EXPECT_FALSE(dag.would_create_cycle(0, 2));
  EXPECT_FALSE(dag.would_create_cycle(kMaxIndex, 2)) << "the source is never looked up";
  dag.release_index(1);
  EXPECT_FALSE(dag.would_create_cycle(2, 0));
  EXPECT_FALSE(dag.would_create_cycle(0, 1)) << "a free target has no successors";
}

class DagCycleTestOfAnIndexWithItself : public testing::TestWithParam<Index> {};

TEST_P(DagCycleTestOfAnIndexWithItself, IsTrueWhetherOrNotTheIndexIsASlot) {
  EXPECT_TRUE(DAG().would_create_cycle(GetParam(), GetParam()));
  EXPECT_TRUE(chain({"a", "b", "c"}).would_create_cycle(GetParam(), GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Indices, DagCycleTestOfAnIndexWithItself,
                         testing::Values(Index{0}, Index{2}, Index{5}, kMaxIndex));

// ---------------------------------------------------------------------------------
// Faults

TEST(DagFaults, AnIndexBeyondTheSlotsIsABoundsFaultAndChangesNothing) {
  DAG dag = chain({"a", "b", "c"});
  const Snapshot before = snapshot(dag);
  EXPECT_EQ(fault_of([&] { dag.would_create_cycle(0, 5); }),
            "index out of bounds: the len is 3 but the index is 5");
  EXPECT_FALSE(dag.would_create_cycle(5, 0));
  EXPECT_EQ(fault_of([&] { dag.release_index(3); }), "index out of bounds: the len is 3 but the index is 3");
  EXPECT_EQ(fault_of([&] { dag.release_index(kMaxIndex); }), bounds_message(3, kMaxIndex));
  EXPECT_EQ(fault_of([] { DAG().would_create_cycle(1, 0); }), bounds_message(0, 0));
  EXPECT_EQ(snapshot(dag), before);
  EXPECT_TRUE(dag.add_edge("c", "d"));
}

// A registered name whose slot was freed through release_index, on either side.
class DagEdgeWithAFreedSlot : public testing::TestWithParam<std::pair<const char*, const char*>> {};

TEST_P(DagEdgeWithAFreedSlot, FaultsBeforeRegisteringOrStoringAnything) {
  DAG dag = chain({"live", "other"});
  dag.release_index(dag.get_or_create_index("stale"));
  const Snapshot before = snapshot(dag);
  EXPECT_EQ(fault_of([&] { dag.add_edge(GetParam().first, GetParam().second); }),
            "graph slot must exist for active node");
  EXPECT_EQ(snapshot(dag), before);
  EXPECT_FALSE(is_registered(dag, "new"));
}

INSTANTIATE_TEST_SUITE_P(Sides, DagEdgeWithAFreedSlot,
                         testing::Values(std::pair("stale", "new"), std::pair("new", "stale"),
                                         std::pair("stale", "live"), std::pair("live", "stale")),
                         [](const auto& info) {
                           return std::string(info.param.first) + "_to_" + info.param.second;
                         });

TEST(DagFaults, TwoNamesSharingAReusedIndexGetNoSelfLoop) {
  DAG dag;
  dag.release_index(dag.get_or_create_index("a"));
  EXPECT_EQ(dag.get_or_create_index("b"), 0u);  // "a" still names index 0 as well
  EXPECT_FALSE(dag.add_edge("a", "b"));
  EXPECT_TRUE(dag.successors(0).empty());
}

// Names are hashed with a key drawn once per thread from the system; a failure to
// draw it is a fault naming the system's error, and a later DAG tries again.
TEST(DagConstruction, AFailedHashKeyDrawFaultsNamingTheSystemsError) {
  std::thread([] {
    testing_support::entropy_failure = {1, EIO};
    try {
      DAG dag;
      ADD_FAILURE() << "no fault";
    } catch (const Fault& fault) {
      EXPECT_EQ(fault.message(), "initialising the hash key source failed: Input/output error (os error 5)");
    }
    DAG dag;
    EXPECT_TRUE(dag.add_node("a"));
    EXPECT_EQ(dag.index_of("a"), 0u);
  }).join();
}

// Inline, scanned and hashed sets: erasing an absent index changes nothing, and
// erasing the entries one by one keeps every other entry findable.
TEST(IndexSet, ErasingKeepsTheOtherEntriesAtEverySize) {
  for (const Index size : {1u, 3u, 8u, 40u}) {
    IndexSet set;
    for (Index i = 0; i < size; ++i) {
      set.reserve_one_more();
      set.insert(i * 7);
    }
    set.erase(5);
    for (Index erased = 0; erased <= size; ++erased) {
      ASSERT_EQ(set.size(), size - erased);
      for (Index i = 0; i < size; ++i) ASSERT_EQ(set.contains(i * 7), i >= erased) << size << " " << i;
      if (erased < size) set.erase(erased * 7);
    }
  }
}

// The invariant check that the randomised tests rely on finds each kind of breach.
TEST(DagInvariants, EachKindOfCorruptionIsReported) {
  for (const auto& [report, corrupt] : DagInternals::corruptions()) {
    DAG dag = chain({"a", "b"});
    dag.add_node("c");
    dag.add_node("d");
    dag.finish_node("d");
    ASSERT_EQ(dag.free_indices(), std::vector<Index>{3});
    ASSERT_TRUE(invariants_hold(dag));
    corrupt(dag);
    EXPECT_EQ(dag.broken_invariant(), report);
  }
}

TEST(DagLongChain, AHundredThousandNodesAreSearchedWithoutRecursion) {
  constexpr int kNodes = 100'000;
  DAG dag;
  for (int i = 0; i + 1 < kNodes; ++i) {
    ASSERT_TRUE(dag.add_edge("n" + std::to_string(i), "n" + std::to_string(i + 1)));
  }
  const std::string last = "n" + std::to_string(kNodes - 1);
  EXPECT_TRUE(dag.has_path("n0", last));
  EXPECT_FALSE(dag.has_path(last, "n0"));
  EXPECT_FALSE(dag.add_edge(last, "n0"));
  EXPECT_TRUE(dag.add_edge("n0", last));
}

// Orders that put every edge against the order: the chain added backwards, a chain
// whose nodes were registered last to first, and edges across a long chain.
std::string node(int i) { return "n" + std::to_string(i); }

struct AdversarialOrder {
  const char* name;
  void (*build)(DAG&, int);
};

void PrintTo(const AdversarialOrder& order, std::ostream* os) { *os << order.name; }

class DagAdversarialOrder : public testing::TestWithParam<AdversarialOrder> {};

TEST_P(DagAdversarialOrder, KeepsTheOrderAndTheAnswers) {
  constexpr int kNodes = 3000;
  DAG dag;
  GetParam().build(dag, kNodes);
  ASSERT_TRUE(invariants_hold(dag));
  // Every build ends with the chain n0 -> n1 -> ... in place, with or without shortcuts.
  for (const int i : {0, 1, kNodes / 2, kNodes - 2}) {
    EXPECT_TRUE(dag.has_path(node(i), node(kNodes - 1)));
    EXPECT_FALSE(dag.has_path(node(kNodes - 1), node(i)));
    EXPECT_FALSE(dag.add_edge(node(i + 1), node(i)));
  }
  EXPECT_TRUE(invariants_hold(dag));
}

INSTANTIATE_TEST_SUITE_P(Orders, DagAdversarialOrder,
                         testing::Values(AdversarialOrder{"BackwardChain",
                                                          [](DAG& dag, int n) {
                                                            for (int i = n - 1; i >= 0; --i)
                                                              dag.add_node(node(i));
                                                            for (int i = n - 2; i >= 0; --i)
                                                              EXPECT_TRUE(dag.add_edge(node(i), node(i + 1)));
                                                          }},
                                         AdversarialOrder{"ReverseTopologicalInsertion",
                                                          [](DAG& dag, int n) {
                                                            for (int i = n - 1; i >= 0; --i)
                                                              dag.add_node(node(i));
                                                            for (int i = 0; i + 1 < n; i += 2)
                                                              EXPECT_TRUE(dag.add_edge(node(i), node(i + 1)));
                                                            for (int i = 1; i + 1 < n; i += 2)
                                                              EXPECT_TRUE(dag.add_edge(node(i), node(i + 1)));
                                                          }},
                                         AdversarialOrder{"ChainThenEdgesAcross",
                                                          [](DAG& dag, int n) {
                                                            for (int i = 0; i < n; ++i)
                                                              dag.add_node(node((i * 7919) % n));
                                                            for (int i = 0; i + 1 < n; ++i)
                                                              dag.add_edge(node(i), node(i + 1));
                                                            for (int i = 0; i + 10 < n; i += 3)
                                                              EXPECT_TRUE(
                                                                  dag.add_edge(node(i), node(i + 10)));
                                                          }}),
                         [](const auto& info) { return std::string(info.param.name); });

// Nodes inserted again and again into one gap in the middle of a long chain crowd it,
// and each respread must stay within a label range around the gap: O(log n)
// amortised labels per insert, not a run to the end of the order.
TEST(DagOrderCost, InsertsIntoOneGapRelabelOnlyAroundIt) {
  constexpr int kChain = 100'000, kInserts = 20'000;
  DAG dag;
  for (int i = 0; i + 1 < kChain; ++i) dag.add_edge(node(i), node(i + 1));
  const std::uint64_t before = DagInternals::labels_written(dag);
  for (int k = 0; k < kInserts; ++k) {
    const std::string inserted = "inserted-" + std::to_string(k);
    // Registered at the front, then moved between the two chain nodes.
    ASSERT_TRUE(dag.add_edge(inserted, node(kChain / 2 + 1)));
    ASSERT_TRUE(dag.add_edge(node(kChain / 2), inserted));
  }
  EXPECT_TRUE(dag.has_path(node(0), "inserted-0"));
  // 210,929 labels here, about 10.5 per insert (two of them the insert's own); with
  // every respread running on to the end of the order, 51,144,011.
  EXPECT_LE(DagInternals::labels_written(dag) - before, std::uint64_t{20} * kInserts);
  EXPECT_TRUE(invariants_hold(dag));
}

// ---------------------------------------------------------------------------------
// Random sequences against an independent model: the index of every registered name,
// and the marked indices (marks belong to indices, as in the class).

struct RandomRun {
  std::uint64_t seed;
  bool index_level;  // also allocate and release indices directly
};

void PrintTo(const RandomRun& run, std::ostream* os) {
  *os << "seed " << run.seed << (run.index_level ? ", both levels" : ", names only");
}

class DagRandomOperations : public testing::TestWithParam<RandomRun> {};

TEST_P(DagRandomOperations, KeepTheInvariantsAndAnswerLikeTheModel) {
  const std::vector<std::string> pool = {"", "a", "b", "c", "d", "e", "f", "g", "A", "\xce\xa9"};
  std::mt19937_64 random(GetParam().seed);
  auto below = [&](std::uint64_t n) { return random() % n; };
  auto any_name = [&] { return pool[below(pool.size())]; };
  std::map<std::string, Index> names;
  std::set<Index> marked;
  auto index_of = [&](const std::string& name) {
    const auto found = names.find(name);
    return found == names.end() ? std::nullopt : std::optional(found->second);
  };
  std::map<std::string, int> seen;  // outcomes reached, so that the run is known to test them

  DAG dag;
  for (int step = 0; step < 4000; ++step) {
    SCOPED_TRACE("step " + std::to_string(step));
    const Snapshot before = snapshot(dag);
    const Index slots = before.graph.size();
    const Index next = before.free.empty() ? slots : before.free.back();
    const bool room = slots + 2 <= 24 || before.free.size() >= 2;  // keeps Closure within 64
    const std::string x = any_name(), y = any_name();
    const auto xi = index_of(x), yi = index_of(y);
    switch (GetParam().index_level && below(5) == 0 ? 6 + below(2) : below(6)) {
      case 0:
      case 1:
        if (x == y) {
          EXPECT_FALSE(dag.add_edge(x, y));
          EXPECT_EQ(snapshot(dag), before);
        } else if ((xi && !before.graph[*xi]) || (yi && !before.graph[*yi])) {
          EXPECT_EQ(fault_of([&] { dag.add_edge(x, y); }), "graph slot must exist for active node");
          EXPECT_EQ(snapshot(dag), before);
          ++seen["slot fault"];
        } else if (xi && yi) {
          const bool stored = !before.graph[*xi]->contains(*yi) && !Closure(dag).reaches(*yi, *xi);
          ASSERT_EQ(dag.add_edge(x, y), stored) << x << " -> " << y;
          if (stored) {
            EXPECT_TRUE(successor_set(dag, *xi).contains(*yi));
          } else {
            EXPECT_EQ(snapshot(dag), before);
          }
          ++seen[stored ? "accepted" : "refused"];
        } else if (room) {
          ASSERT_TRUE(dag.add_edge(x, y));
          std::vector<Index> free = before.free;
          Index appended = slots;
          for (const auto& [name, known] : {std::pair(x, xi), std::pair(y, yi)}) {
            if (known) continue;
            names[name] = free.empty() ? appended++ : free.back();
            if (!free.empty()) free.pop_back();
          }
          EXPECT_TRUE(successor_set(dag, names[x]).contains(names[y]));
        }
        break;
      case 2:
        if (xi) {
          EXPECT_EQ(dag.add_node(x), marked.insert(*xi).second);
        } else if (room) {
          EXPECT_TRUE(dag.add_node(x));
          marked.insert(names[x] = next);
        }
        break;
      case 3:
        below(2) ? dag.finish_node(x) : dag.remove_node(x);
        if (xi && before.graph[*xi]) {
          EXPECT_EQ(dag.free_indices().back(), *xi);
        } else {
          EXPECT_EQ(snapshot(dag), before);
        }
        if (xi) marked.erase(*xi);
        names.erase(x);
        break;
      case 4:
        EXPECT_EQ(dag.has_path(x, y), xi && yi && Closure(dag).reaches(*xi, *yi));
        if (!xi || room) {
          EXPECT_EQ(dag.get_or_create_index(x), xi ? *xi : (names[x] = next));
        }
        break;
      case 5: {
        const Index from = below(8) == 0 ? kMaxIndex : below(slots + 2), to = below(slots + 2);
        if (from != to && to >= slots) {
          EXPECT_EQ(fault_of([&] { dag.would_create_cycle(from, to); }), bounds_message(slots, to));
          ++seen["bounds fault"];
        } else {
          EXPECT_EQ(dag.would_create_cycle(from, to),
                    from == to || (from < slots && Closure(dag).reaches(to, from)));
        }
        break;
      }
      case 6:
        if (room) {
          EXPECT_EQ(dag.allocate_index(x), next);
        }
        break;
      default: {
        const Index index = below(slots + 2);
        if (index >= slots) {
          EXPECT_EQ(fault_of([&] { dag.release_index(index); }), bounds_message(slots, index));
        } else {
          dag.release_index(index);
          if (before.graph[index]) {
            EXPECT_EQ(dag.free_indices().back(), index);
          } else {
            EXPECT_EQ(snapshot(dag), before);
          }
        }
      }
    }

    ASSERT_TRUE(invariants_hold(dag));
    for (const std::string& name : pool) {
      const auto i = index_of(name);
      ASSERT_EQ(is_registered(dag, name), i.has_value()) << '"' << name << '"';
      // Used by name only, every registered name holds a live slot that bears it.
      if (i && !GetParam().index_level) {
        ASSERT_EQ(dag.index_to_node()[*i], name);
      }
    }
    if (!GetParam().index_level) {
      ASSERT_EQ(dag.free_indices().size() + names.size(), dag.slot_count());
    }
  }
  for (const char* outcome : {"accepted", "refused", "bounds fault"}) {
    EXPECT_GT(seen[outcome], 20) << outcome;
  }
  if (GetParam().index_level) {
    EXPECT_GT(seen["slot fault"], 20);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, DagRandomOperations,
                         testing::Values(RandomRun{1, false}, RandomRun{0x5eed, false}, RandomRun{1, true},
                                         RandomRun{0x5eed, true}),
                         [](const auto& info) {
                           return (info.param.index_level ? "BothLevels" : "NameLevel") +
                                  std::to_string(info.param.seed);
                         });

// ---------------------------------------------------------------------------------
// Long random sequences of every operation, names and indices mixed, against the plain
// model: every answer, fault and state must agree and the invariants hold throughout.

struct DifferentialRun {
  std::uint64_t seed;
  std::size_t names;  // pool size: a small pool revisits nodes, a large one grows the graph
  bool index_level;   // also allocate and release indices directly
  bool squeezed;      // counters kept near their limits
};

void PrintTo(const DifferentialRun& run, std::ostream* os) {
  *os << "seed " << run.seed << ", " << run.names << " names" << (run.index_level ? ", both levels" : "")
      << (run.squeezed ? ", squeezed" : "");
}

class DagAgainstTheModel : public testing::TestWithParam<DifferentialRun> {};

TEST_P(DagAgainstTheModel, AgreesInEveryAnswerFaultAndState) {
  using reference::Call;
  const DifferentialRun run = GetParam();
  std::mt19937_64 random(run.seed);
  auto below = [&](std::uint64_t n) { return random() % n; };
  std::vector<std::string> pool{"", "\xce\xa9"};
  while (pool.size() < run.names) pool.push_back("n" + std::to_string(pool.size()));
  // Edges first among names close in the pool, so that long paths and reordering arise.
  auto nearby = [&](std::size_t i) { return pool[(i + below(9)) % pool.size()]; };
  auto any_index = [&](const DAG& dag) { return below(8) == 0 ? kMaxIndex : below(dag.slot_count() + 3); };

  // Mostly edges, so that the graph fills up between releases; a few hub names in
  // many edges give some nodes a high degree.
  const std::vector<int> weights = {5, 3, 3, 40, 8, 5, 3, 4, 10};
  std::discrete_distribution<int> pick_call(weights.begin(), weights.end());

  DAG dag;
  reference::ReferenceDag model;
  std::map<Call, int> calls;
  for (int step = 0; step < 6000; ++step) {
    reference::Operation op;
    op.call = static_cast<Call>(pick_call(random));
    // Two hubs, never released by name: pool[0] gains successors, pool[1] predecessors.
    const bool hub = op.call == Call::add_edge && below(3) == 0;
    const std::size_t i = hub ? below(2) : 2 + below(pool.size() - 2);
    op.first = pool[i];
    op.second = below(4) == 0 || hub ? pool[below(pool.size())] : nearby(i);
    if (hub ? i == 1 : below(2) == 0) std::swap(op.first, op.second);
    op.from = any_index(dag);
    op.to = below(3) == 0 ? any_index(dag) : op.from ^ below(4);
    if (!run.index_level && (op.call == Call::allocate_index || op.call == Call::release_index)) continue;
    ++calls[op.call];
    if (run.squeezed && step % 100 == 0) DagInternals::squeeze(dag, 20, step % 200 == 0);
    const auto wrong = reference::apply(dag, model, op);
    ASSERT_FALSE(wrong) << "step " << step << ": " << *wrong;
  }
  EXPECT_EQ(calls.size(), run.index_level ? 9u : 7u);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, DagAgainstTheModel,
    testing::Values(DifferentialRun{1, 12, false, false}, DifferentialRun{2, 12, true, false},
                    DifferentialRun{3, 64, false, false}, DifferentialRun{4, 64, true, false},
                    DifferentialRun{5, 400, true, false}, DifferentialRun{6, 64, true, true}),
    [](const auto& info) {
      return "Seed" + std::to_string(info.param.seed) + "Names" + std::to_string(info.param.names) +
             (info.param.index_level ? "BothLevels" : "NameLevel") + (info.param.squeezed ? "Squeezed" : "");
    });

// ---------------------------------------------------------------------------------
// Running out of memory: each allocation an operation makes is failed in turn, and
// every failure must leave the instance as it was.

// Long names, so that every copy of one allocates.
const std::string kA = "node-a-named-beyond-the-small-string-buffer", kB = "node-b" + kA, kC = "node-c" + kA,
                  kD = "node-d" + kA, kNew1 = "new-1" + kA, kNew2 = "new-2" + kA;

// All four slots live and never released: the next append and the first release
// both have to grow an array.
DAG four() { return chain({kA, kB, kC, kD}); }
DAG two_freed() {
  DAG dag = four();
  dag.finish_node(kB);
  dag.finish_node(kD);
  return dag;
}
// A has three successors, as many as the set holds inline, so one more needs room outside it.
DAG fanned() {
  DAG dag = four();
  dag.add_edge(kA, kC);
  dag.add_edge(kA, "e" + kA);
  return dag;
}
// Built in the order C, D, A, B, so that an edge from B to C goes against the order.
DAG against_the_order() {
  DAG dag = chain({kC, kD});
  dag.add_edge(kA, kB);
  return dag;
}
// A has as many successors as a scanned array holds; the next one makes it a table.
DAG hub() {
  DAG dag;
  for (int i = 0; i < 14; ++i) dag.add_edge(kA, "leaf-" + std::to_string(i) + kA);
  dag.get_or_create_index(kB);
  dag.get_or_create_index(kC);
  return dag;
}

struct MemoryCase {
  const char* name;
  DAG (*build)();
  std::function<void(DAG&)> operation;
};

void PrintTo(const MemoryCase& c, std::ostream* os) { *os << c.name; }

class DagOutOfMemory : public testing::TestWithParam<MemoryCase> {};

TEST_P(DagOutOfMemory, AFailedAllocationLeavesTheInstanceAsItWas) {
  Snapshot before;
  const int allocations = testing_support::sweep_allocation_failures(
      [&] {
        DAG dag = GetParam().build();
        before = snapshot(dag);
        return dag;
      },
      GetParam().operation,
      [&](DAG& dag, int k) {
        SCOPED_TRACE("allocation " + std::to_string(k) + " failed");
        EXPECT_EQ(snapshot(dag), before);
        EXPECT_TRUE(invariants_hold(dag));
        for (const auto& name : {kNew1, kNew2}) EXPECT_FALSE(is_registered(dag, name));
        EXPECT_TRUE(dag.add_node(kC)) << "the mark of a failed add_node was kept";
      });
  EXPECT_GT(allocations, 0) << "the operation allocated nothing, so nothing was tested";
}

TEST(DagOutOfMemoryFree, MarkingARegisteredNodeAndReleasingAllocateNothing) {
  DAG dag = four();
  dag.finish_node(kD);  // the free list has its room from now on
  testing_support::allocation_budget = 0;
  EXPECT_TRUE(dag.add_node(kC));
  EXPECT_FALSE(dag.add_node(kC));
  dag.finish_node(kB);
  dag.release_index(dag.get_or_create_index(kA));
  testing_support::allocation_budget = -1;
  EXPECT_TRUE(invariants_hold(dag));
}

INSTANTIATE_TEST_SUITE_P(
    Operations, DagOutOfMemory,
    testing::Values(
        MemoryCase{"AddNewNode", four, [](DAG& d) { d.add_node(kNew1); }},
        MemoryCase{"GetOrCreateReusingASlot", two_freed, [](DAG& d) { d.get_or_create_index(kNew1); }},
        MemoryCase{"EdgeBetweenNewNames", four, [](DAG& d) { d.add_edge(kNew1, kNew2); }},
        MemoryCase{"EdgeBetweenNewNamesReusingSlots", two_freed, [](DAG& d) { d.add_edge(kNew1, kNew2); }},
        MemoryCase{"EdgeFromANewName", two_freed, [](DAG& d) { d.add_edge(kNew1, kA); }},
        MemoryCase{"EdgeGrowingASuccessorSet", fanned, [](DAG& d) { d.add_edge(kA, kD); }},
        MemoryCase{"EdgeAgainstTheOrder", against_the_order, [](DAG& d) { d.add_edge(kB, kC); }},
        MemoryCase{"EdgeTurningASetIntoATable", hub, [](DAG& d) { d.add_edge(kA, kB); }},
        MemoryCase{"AllocateIndex", four, [](DAG& d) { d.allocate_index(kNew1); }},
        MemoryCase{"FinishNode", four, [](DAG& d) { d.finish_node(kB); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace brambleloft
