// A directed acyclic graph of named nodes stored under small reusable indices.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dag/index_set.hpp"
#include "dag/name_table.hpp"

namespace brambleloft {

// Nodes live in dense slots 0, 1, 2, ... that are never compacted; a released slot is
// reused before a new one is appended, the most recently released first. Two levels
// work side by side: the name level (add_node, get_or_create_index, finish_node,
// remove_node, add_edge, has_path) keeps names and slots in step; the index level
// (allocate_index, release_index) hands slots out and takes them back without
// touching names or the added marks.
//
// Each live slot keeps its successors and its predecessors, so a release costs the
// node's degree, and a place in a topological order that is maintained as edges
// arrive: an edge that agrees with the order cannot close a cycle and is stored
// without a search. For one against it, a search forward from its target and one
// backward from its source, both confined to the nodes between the two ends, take
// turns with equal work until they meet (a cycle) or one side runs out; the side that
// ran out holds everything on its side of the new edge, so moving just that side
// past the other end restores the order. An edge against the order thus costs the
// smaller side (the two-way searches of Bender, Fineman, Gilbert and Tarjan's
// incremental cycle detection on Pearce and Kelly's dynamic topological order).
// The order is a linked list whose labels leave gaps, so a moved group takes labels
// in the gap beside its new neighbour; a crowded gap is widened by spreading the
// labels of the smallest enclosing label range that is sparse enough (Bender et al.'s
// order maintenance), O(log n) amortised per label. Searches mark visited slots with
// a stamp compared against a search counter, so nothing is cleared per search and a
// search costs what it reaches.
//
// Invariants:
//  1. slots_, ranks_ and order_ have the same length, grow together by one and never
//     shrink; a slot i is live exactly when it refers to a name entry (ranks_[i].name),
//     and each entry belongs to at most one live slot. An entry a live slot refers to
//     is listed in node_to_index_ or was stored for allocate_index; an unlisted entry
//     lives exactly as long as its slot.
//  2. free_indices_ holds every free slot exactly once and no live one.
//  3. Edges join live slots only, never a slot to itself; j is among i's successors
//     exactly when i is among j's predecessors. A free slot's sets are empty.
//  4. The list from first_ through order_ holds every live slot once and no free one,
//     with positions rising strictly along it, all in [kLowest, kHighest]; every edge
//     goes from a lower position to a higher one, so the edges form no cycle.
//  5. Every mark is at most search_epoch_, and each search marks with values above
//     it, so a mark left by an earlier search never matches a later one.
//  6. A name in node_to_index_ whose slot was freed at the index level stays
//     registered; add_edge refuses to store an edge for it (the fault "graph slot
//     must exist for active node") rather than attach one to a free slot.
//
// Every refusal is an answer (false); what an operation cannot complete raises a
// Fault (errors/fault.hpp). Every allocation an operation needs is made before it
// changes anything, so a std::bad_alloc leaves the instance as it was before the
// call. The queries are const but use scratch (marks, the search counter, the
// frontiers) kept in the instance; they call nothing outside it, so no search can begin
// while another runs on the same instance.
class DAG {
 public:
  using Index = std::uint64_t;

  DAG() = default;

  // Registers the name if it is new and marks it added. True when the name was new
  // or not yet marked, false when it was already marked. O(1) expected.
  bool add_node(std::string_view node);

  // finish_node and remove_node are the same operation: forget the name, drop its
  // added mark and release its index with every edge at it. An unknown name is
  // ignored. O(degree) expected, see release_index.
  void finish_node(std::string_view node);
  void remove_node(std::string_view node);

  // Stores the edge from_node -> to_node, registering either name if it is new
  // (from_node first, so it takes the index that is reused first). False, with
  // nothing changed, for equal names, an existing edge, or an edge that would close
  // a cycle. Faults with "graph slot must exist for active node", nothing changed,
  // when a registered name's slot was freed at the index level. O(1) expected when
  // a name is new or the edge agrees with the order; otherwise a search and reorder
  // of the nodes between the two positions, O(those nodes and their edges).
  bool add_edge(std::string_view from_node, std::string_view to_node);

  // Whether end is reachable from start; a registered name reaches itself, an
  // unregistered one reaches nothing. O(1) when start lies after end in the order;
  // otherwise a search from both ends, each confined to the positions between them,
  // O(nodes and edges reached).
  bool has_path(std::string_view start, std::string_view end) const;

  // The index registered for the name, registering it under a fresh index if it is
  // new. Never marks the name added. O(1) expected.
  Index get_or_create_index(std::string_view node);

  // Hands out a slot for the name without registering the name: the most recently
  // released slot, else a new one at the end. The slot starts without edges.
  // O(1) amortised.
  Index allocate_index(std::string_view node);

  // Frees the slot and erases its outgoing and incoming edges; names and added
  // marks are left alone. Releasing a free slot changes nothing. Faults with the
  // bounds message (len = number of slots) when index is not a slot. O(degree)
  // expected.
  void release_index(Index index);

  // Whether an edge from -> to would close a cycle: true when from == to (for any
  // value, even without slots) or when from is reachable from to. Faults with the
  // bounds message when to is not a slot and differs from from; from is never used
  // as an index. Searches like has_path, O(nodes and edges reached).
  bool would_create_cycle(Index from, Index to) const;

  // Read-only views for tests and invariant checks.
  Index slot_count() const noexcept { return slots_.size(); }
  bool is_live(Index index) const noexcept { return index < ranks_.size() && ranks_[index].live(); }
  // The successors of a slot, in no particular order; none for a free one or a
  // value beyond the slots.
  std::vector<Index> successors(Index index) const;
  // The name each slot was last allocated with; nothing for a free one.
  std::vector<std::optional<std::string>> index_to_node() const;
  const std::vector<Index>& free_indices() const noexcept { return free_indices_; }
  std::optional<Index> index_of(std::string_view node) const;
  std::size_t name_count() const noexcept { return node_to_index_.size(); }
  // A description of the first invariant found broken, or nothing when all hold.
  // O((slots + edges) log(slots + edges)).
  std::optional<std::string> broken_invariant() const;

 private:
  friend class DagInternals;  // lets tests push counters to their limits and break invariants

  using Position = std::uint64_t;

  struct Slot {
    IndexSet successors;
    IndexSet predecessors;
  };

  // What a search reads of each node it meets, and what add_edge checks first, kept
  // apart from the sets so that many nodes share a cache line.
  static constexpr std::uint32_t kNoName = NameTable::kMaxEntries;
  struct Rank {
    Position position = 0;
    mutable std::uint32_t mark = 0;
    // The entry of the slot's name in node_to_index_, kNoName while the slot is free.
    std::uint32_t name : 31 = kNoName;
    // Set by add_node, cleared by finish_node and remove_node only: the mark belongs
    // to the index and outlasts index-level release and reuse.
    std::uint32_t added : 1 = 0;
    bool live() const noexcept { return name != kNoName; }
  };

  // Where a new slot goes in the order. A new node has no edges, so any fresh
  // position keeps the order valid; a node that is about to get an edge to an
  // existing one goes first, so that edge agrees with the order.
  enum class Place { last, first };

  // Enough to give a slot back exactly as it was taken.
  struct Allocation {
    Index index;
    bool appended;  // a new slot at the end, rather than one popped off free_indices_
  };

  void reserve_slot();
  Index next_slot() const noexcept;
  Allocation take_slot(std::uint32_t name, Place place) noexcept;
  void undo_allocation(Allocation allocation) noexcept;
  Allocation register_name(const NameTable::Spot& spot, std::string_view node, Place place);
  void unregister_name(std::string_view node, Allocation allocation) noexcept;
  void release_by_name(std::string_view node);
  std::optional<Index> index_with_slot(const NameTable::Spot& spot) const;
  void free_slot(Index index) noexcept;
  void reserve_edge(Index from, Index to);
  void insert_edge(Index from, Index to) noexcept;
  bool add_edge_against_order(Index from, Index to);
  bool reaches(Index start, Index target) const;
  std::uint32_t begin_search() const noexcept;

  // The order list. kNone stands for the end of the list on either side, and as an
  // anchor for "before the first slot". Slot numbers stay below it, so that the links,
  // like the edge sets, take 32 bits.
  static constexpr Index kNone = IndexSet::kIndexLimit;
  void unlink(Index index) noexcept;
  void link_after(Index anchor, std::span<const std::pair<Position, Index>> group) noexcept;
  void make_room(Index anchor, std::uint64_t count) noexcept;
  Position lower_bound_of_gap(Index anchor) const noexcept;
  Position upper_bound_of_gap(Index anchor) const noexcept;

  std::vector<Slot> slots_;
  std::vector<Rank> ranks_;  // as long as slots_; of a free slot only mark and added matter
  NameTable node_to_index_;  // also keeps the names of slots handed out by allocate_index
  std::vector<Index> free_indices_;

  struct Link {
    std::uint32_t previous = kNone;
    std::uint32_t next = kNone;
  };
  std::vector<Link> order_;  // as long as slots_; a free slot's link is unused
  std::uint32_t first_ = kNone;
  std::uint32_t last_ = kNone;
  // Labels stay inside [kLowest, kHighest], so that 0 and the maximum can stand for
  // the open ends of the list. A slot added at either end lands kStride away from
  // its neighbour, which leaves room for 2^32 moves into that gap before a respread.
  static constexpr Position kLowest = 1;
  static constexpr Position kHighest = std::numeric_limits<Position>::max() - 1;
  static constexpr Position kStride = Position{1} << 32;
  // Labels given so far, new and respread: what keeping the order has cost.
  std::uint64_t labels_written_ = 0;

  // The nodes a search has found, in the order found; those from `next` on are still
  // to be expanded. The vector only grows, and is sized ahead of each expansion so
  // that the loop over a node's edges appends without a branch or an allocation.
  struct Frontier {
    std::vector<Index> found;
    std::size_t next = 0;
    std::size_t end = 0;

    void restart(Index start);
    void make_room(std::size_t more);
    std::size_t waiting() const noexcept { return end - next; }
    std::span<const Index> all() const noexcept { return {found.data(), end}; }
  };

  bool expand(const IndexSet& edges, std::uint32_t mark, std::uint32_t stop_mark, Position lower,
              Position upper, Frontier& frontier) const;

  // How a two-way search ended: the sides met, or one ran out first.
  enum class Outcome { met, forward_done, backward_done };
  Outcome search_between(Index start, Index target) const;

  mutable std::uint32_t search_epoch_ = 0;
  mutable Frontier forward_;
  mutable Frontier backward_;
  // Scratch of the reorder: (old position, slot) of the group being moved.
  std::vector<std::pair<Position, Index>> region_;
};

}  // namespace brambleloft
