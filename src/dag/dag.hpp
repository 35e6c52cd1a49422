// A directed acyclic graph of named nodes stored under small reusable indices.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "random/keyed_hash.hpp"

namespace brambleloft {

// Nodes live in dense slots 0, 1, 2, ... that are never compacted; a released slot is
// reused before a new one is appended, the most recently released first. Two levels
// work side by side: the name level (add_node, get_or_create_index, finish_node,
// remove_node, add_edge, has_path) keeps names and slots in step; the index level
// (allocate_index, release_index) hands slots out and takes them back without
// touching names or the added marks.
//
// Invariants:
//  1. graph_ and index_to_node_ have the same length, grow together by one and never
//     shrink; a slot i is live when graph_[i] and index_to_node_[i] are both present
//     and free when both are empty.
//  2. free_indices_ holds every free slot exactly once and no live one.
//  3. Successor sets hold live indices only, so no edge touches a free slot, and no
//     set holds its own index.
//  4. The edges form no cycle.
//  5. A name in node_to_index_ whose slot was freed at the index level stays
//     registered; add_edge refuses to store an edge for it (the fault "graph slot
//     must exist for active node") rather than attach one to a free slot.
//
// Every refusal is an answer (false); what an operation cannot complete raises a
// Fault (errors/fault.hpp). A std::bad_alloc leaves the instance as it was before the
// call.
class DAG {
 public:
  using Index = std::uint64_t;
  using SuccessorSet = std::unordered_set<Index, KeyedIndexHash>;

  DAG() = default;

  // Registers the name if it is new and marks it added. True when the name was new
  // or not yet marked, false when it was already marked. O(1) expected.
  bool add_node(std::string_view node);

  // finish_node and remove_node are the same operation: forget the name, drop its
  // added mark and release its index with every edge at it. An unknown name is
  // ignored. O(slots), see release_index.
  void finish_node(std::string_view node);
  void remove_node(std::string_view node);

  // Stores the edge from_node -> to_node, registering either name if it is new
  // (from_node first, so it takes the index that is reused first). False, with
  // nothing changed, for equal names, an existing edge, or an edge that would close
  // a cycle. Faults with "graph slot must exist for active node", nothing changed,
  // when a registered name's slot was freed at the index level. O(1) expected when
  // a name is new; otherwise one cycle search, O(slots + edges).
  bool add_edge(std::string_view from_node, std::string_view to_node);

  // Whether end is reachable from start; a registered name reaches itself, an
  // unregistered one reaches nothing. Breadth-first, O(slots + edges reached).
  bool has_path(std::string_view start, std::string_view end) const;

  // The index registered for the name, registering it under a fresh index if it is
  // new. Never marks the name added. O(1) expected.
  Index get_or_create_index(std::string_view node);

  // Hands out a slot for the name without registering the name: the most recently
  // released slot, else a new one at the end. The slot starts without edges.
  // O(1) amortised.
  Index allocate_index(std::string node);

  // Frees the slot and erases its outgoing and incoming edges; names and added
  // marks are left alone. Releasing a free slot changes nothing. Faults with the
  // bounds message (len = number of slots) when index is not a slot. O(slots):
  // there is no predecessor index, so every successor set is visited.
  void release_index(Index index);

  // Whether an edge from -> to would close a cycle: true when from == to (for any
  // value, even without slots) or when from is reachable from to. Faults with the
  // bounds message when to, or an index reached from it, is not a slot; from is
  // never used as an index. Depth-first, O(slots + edges reached).
  bool would_create_cycle(Index from, Index to) const;

  // Read-only views for tests and invariant checks.
  const std::vector<std::optional<SuccessorSet>>& graph() const noexcept { return graph_; }
  const std::vector<std::optional<std::string>>& index_to_node() const noexcept { return index_to_node_; }
  const std::vector<Index>& free_indices() const noexcept { return free_indices_; }
  Index slot_count() const noexcept { return graph_.size(); }
  bool is_live(Index index) const noexcept { return index < graph_.size() && graph_[index]; }
  // The successors of a live slot, in no particular order; none for a free one.
  std::vector<Index> successors(Index index) const;
  std::optional<Index> index_of(std::string_view node) const;
  std::size_t name_count() const noexcept { return node_to_index_.size(); }
  // A description of the first invariant found broken, or nothing when all hold.
  // O(slots + edges).
  std::optional<std::string> broken_invariant() const;

 private:
  // Enough to give a slot back exactly as it was taken.
  struct Allocation {
    Index index;
    bool appended;  // a new slot at the end, rather than one popped off free_indices_
  };

  Allocation allocate(std::string node);
  void undo_allocation(Allocation allocation) noexcept;
  Allocation register_name(std::string_view node);
  void unregister_name(std::string_view node, Allocation allocation) noexcept;
  void release_by_name(std::string_view node);
  std::optional<Index> find_index_with_slot(std::string_view node) const;
  void free_slot(Index index) noexcept;

  std::vector<std::optional<SuccessorSet>> graph_;
  std::unordered_map<std::string, Index, KeyedStringHash, std::equal_to<>> node_to_index_;
  std::vector<std::optional<std::string>> index_to_node_;
  std::unordered_set<Index, KeyedIndexHash> added_nodes_;
  std::vector<Index> free_indices_;
};

}  // namespace brambleloft
