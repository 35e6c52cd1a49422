#include "dag/dag.hpp"

#include <algorithm>
#include <cstddef>
#include <deque>
#include <utility>

#include "errors/fault.hpp"

namespace brambleloft {

namespace {

// Grows the capacity ahead of an append so that the append itself cannot throw and
// a failed allocation happens before anything has changed.
template <class Vector>
void reserve_one_more(Vector& vector) {
  if (vector.size() < vector.capacity()) return;
  check_array_length(vector, std::uint64_t{vector.size()} + 1);
  const std::size_t doubled = vector.size() <= vector.max_size() / 2
                                  ? std::max<std::size_t>(2 * vector.size(), 4)
                                  : vector.max_size();
  vector.reserve(doubled);
}

}  // namespace

DAG::Allocation DAG::allocate(std::string node) {
  // A reused slot gets a new set too: nothing of its earlier life carries over.
  SuccessorSet successors;
  if (!free_indices_.empty()) {
    const Index index = free_indices_.back();
    check_index(index, graph_.size());
    check_index(index, index_to_node_.size());
    graph_[index] = std::move(successors);
    index_to_node_[index] = std::move(node);
    free_indices_.pop_back();
    return {index, false};
  }
  // Both arrays get their room first, so they can never end up with different lengths.
  reserve_one_more(graph_);
  reserve_one_more(index_to_node_);
  const Index index = graph_.size();
  graph_.emplace_back(std::move(successors));
  index_to_node_.emplace_back(std::move(node));
  return {index, true};
}

void DAG::undo_allocation(Allocation allocation) noexcept {
  if (allocation.appended) {
    graph_.pop_back();
    index_to_node_.pop_back();
    return;
  }
  graph_[allocation.index].reset();
  index_to_node_[allocation.index].reset();
  // The pop in allocate kept the capacity, so this push cannot allocate.
  free_indices_.push_back(allocation.index);
}

DAG::Allocation DAG::register_name(std::string_view node) {
  std::string key(node);
  const Allocation allocation = allocate(std::string(node));
  try {
    node_to_index_.emplace(std::move(key), allocation.index);
  } catch (...) {
    undo_allocation(allocation);
    throw;
  }
  return allocation;
}

void DAG::unregister_name(std::string_view node, Allocation allocation) noexcept {
  node_to_index_.erase(node_to_index_.find(node));
  undo_allocation(allocation);
}

DAG::Index DAG::allocate_index(std::string node) { return allocate(std::move(node)).index; }

DAG::Index DAG::get_or_create_index(std::string_view node) {
  if (const auto found = node_to_index_.find(node); found != node_to_index_.end()) {
    return found->second;
  }
  return register_name(node).index;
}

void DAG::release_index(Index index) {
  check_index(index, graph_.size());
  check_index(index, index_to_node_.size());
  // A second release must not push the index again, or two allocations would share it.
  if (!graph_[index]) return;
  reserve_one_more(free_indices_);
  free_slot(index);
}

void DAG::free_slot(Index index) noexcept {
  graph_[index].reset();
  index_to_node_[index].reset();
  // No predecessor index is kept, so incoming edges are found by visiting every slot.
  for (auto& successors : graph_) {
    if (successors) successors->erase(index);
  }
  free_indices_.push_back(index);
}

bool DAG::add_node(std::string_view node) {
  if (const auto found = node_to_index_.find(node); found != node_to_index_.end()) {
    return added_nodes_.insert(found->second).second;
  }
  const Allocation allocation = register_name(node);
  try {
    added_nodes_.insert(allocation.index);
  } catch (...) {
    unregister_name(node, allocation);
    throw;
  }
  return true;
}

void DAG::finish_node(std::string_view node) { release_by_name(node); }

void DAG::remove_node(std::string_view node) { release_by_name(node); }

void DAG::release_by_name(std::string_view node) {
  const auto found = node_to_index_.find(node);
  if (found == node_to_index_.end()) return;
  const Index index = found->second;
  // The release is the one step that can fail, and it fails before it changes
  // anything; doing it first keeps the name registered if it does.
  release_index(index);
  added_nodes_.erase(index);
  node_to_index_.erase(found);
}

std::optional<DAG::Index> DAG::find_index_with_slot(std::string_view node) const {
  const auto found = node_to_index_.find(node);
  if (found == node_to_index_.end()) return std::nullopt;
  const Index index = found->second;
  check_index(index, graph_.size());
  if (!graph_[index]) raise_fault("graph slot must exist for active node");
  return index;
}

bool DAG::add_edge(std::string_view from_node, std::string_view to_node) {
  if (from_node == to_node) return false;
  // Both names are checked before anything changes: a registered name whose slot was
  // freed at the index level would otherwise get an edge at a free slot, or share
  // that slot with the other name once it is reused for it.
  const std::optional<Index> known_from = find_index_with_slot(from_node);
  const std::optional<Index> known_to = find_index_with_slot(to_node);

  if (known_from && known_to) {
    SuccessorSet& successors = *graph_[*known_from];
    // One set lookup rules out a repeated edge before any search is paid for.
    if (successors.contains(*known_to)) return false;
    if (would_create_cycle(*known_from, *known_to)) return false;
    successors.insert(*known_to);
    return true;
  }

  // A name about to be registered has no edges, so the edge can neither repeat one
  // nor close a cycle. from_node is registered first so that it takes the slot that
  // is reused first.
  std::optional<Allocation> new_from;
  std::optional<Allocation> new_to;
  try {
    if (!known_from) new_from = register_name(from_node);
    if (!known_to) new_to = register_name(to_node);
    const Index from = known_from ? *known_from : new_from->index;
    const Index to = known_to ? *known_to : new_to->index;
    graph_[from]->insert(to);
  } catch (...) {
    // In reverse order, so that free_indices_ ends as it began.
    if (new_to) unregister_name(to_node, *new_to);
    if (new_from) unregister_name(from_node, *new_from);
    throw;
  }
  return true;
}

namespace {

using Graph = std::vector<std::optional<DAG::SuccessorSet>>;

// A stack gives the depth-first order, a queue the breadth-first one.
DAG::Index take_next(std::vector<DAG::Index>& stack) {
  const DAG::Index next = stack.back();
  stack.pop_back();
  return next;
}
DAG::Index take_next(std::deque<DAG::Index>& queue) {
  const DAG::Index next = queue.front();
  queue.pop_front();
  return next;
}

// Whether `target` is reached from `start`. The target is tested when an entry is
// taken, before any bound, so start == target answers true whatever its value; a
// node is marked when it is expanded, so each is expanded at most once.
template <class Frontier>
bool reaches(const Graph& graph, DAG::Index start, DAG::Index target) {
  const std::uint64_t slots = graph.size();
  std::vector<unsigned char> visited(slots);
  Frontier frontier{start};
  while (!frontier.empty()) {
    const DAG::Index node = take_next(frontier);
    if (node == target) return true;
    check_index(node, slots);
    if (visited[node]) continue;
    visited[node] = 1;
    if (!graph[node]) continue;
    for (const DAG::Index next : *graph[node]) {
      check_index(next, slots);
      if (!visited[next]) frontier.push_back(next);
    }
  }
  return false;
}

}  // namespace

bool DAG::would_create_cycle(Index from, Index to) const {
  // An edge from -> to closes a cycle exactly when `to` already reaches `from`.
  return reaches<std::vector<Index>>(graph_, to, from);
}

bool DAG::has_path(std::string_view start, std::string_view end) const {
  const auto start_entry = node_to_index_.find(start);
  if (start_entry == node_to_index_.end()) return false;
  const auto end_entry = node_to_index_.find(end);
  if (end_entry == node_to_index_.end()) return false;
  return reaches<std::deque<Index>>(graph_, start_entry->second, end_entry->second);
}

std::vector<DAG::Index> DAG::successors(Index index) const {
  if (!is_live(index)) return {};
  return {graph_[index]->begin(), graph_[index]->end()};
}

std::optional<DAG::Index> DAG::index_of(std::string_view node) const {
  const auto found = node_to_index_.find(node);
  if (found == node_to_index_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> DAG::broken_invariant() const {
  const std::size_t n = graph_.size();
  if (index_to_node_.size() != n) return "graph and index_to_node differ in length";
  std::vector<int> stacked(n, 0);
  for (const Index i : free_indices_) {
    if (i >= n || graph_[i] || ++stacked[i] > 1) return "free list holds " + std::to_string(i) + " wrongly";
  }
  std::vector<std::size_t> indegree(n, 0);
  std::size_t live = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (graph_[i].has_value() != index_to_node_[i].has_value()) return "half slot " + std::to_string(i);
    if (!graph_[i] && stacked[i] != 1) return "free slot " + std::to_string(i) + " is not on the free list";
    if (!graph_[i]) continue;
    ++live;
    for (const Index s : *graph_[i]) {
      if (s >= n || !graph_[s] || s == i) return "bad edge " + std::to_string(i) + " -> " + std::to_string(s);
      ++indegree[s];
    }
  }
  // Kahn's algorithm peels off every live node exactly when there is no cycle.
  std::deque<Index> ready;
  for (std::size_t i = 0; i < n; ++i) {
    if (graph_[i] && indegree[i] == 0) ready.push_back(i);
  }
  for (; !ready.empty(); ready.pop_front(), --live) {
    for (const Index s : *graph_[ready.front()]) {
      if (--indegree[s] == 0) ready.push_back(s);
    }
  }
  if (live != 0) return std::to_string(live) + " nodes lie on a cycle";
  return std::nullopt;
}

}  // namespace brambleloft
