#include "dag/dag.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
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
  // max_size() is at most PTRDIFF_MAX, so doubling the size cannot wrap.
  vector.reserve(std::min(std::max<std::size_t>(2 * vector.size(), 4), vector.max_size()));
}

}  // namespace

DAG::Position DAG::take_position(Place place) {
  if (next_low_ == 0 || next_high_ == std::numeric_limits<Position>::max()) renumber_positions();
  return place == Place::first ? --next_low_ : next_high_++;
}

// Needs 2^63 allocations on one side first, so in practice it never runs; it keeps
// the order valid all the same. Allocates before it changes anything.
void DAG::renumber_positions() {
  std::vector<Index> live;
  live.reserve(slots_.size() - free_indices_.size());
  for (Index i = 0; i < slots_.size(); ++i) {
    if (ranks_[i].live) live.push_back(i);
  }
  std::sort(live.begin(), live.end(),
            [&](Index a, Index b) { return ranks_[a].position < ranks_[b].position; });
  next_low_ = kMiddle - live.size() / 2;
  next_high_ = next_low_;
  for (const Index i : live) ranks_[i].position = next_high_++;
}

DAG::Allocation DAG::allocate(std::string node, Place place) {
  // A fresh position is unobservable, so taking one that ends up unused is harmless.
  const Position position = take_position(place);
  if (!free_indices_.empty()) {
    const Index index = free_indices_.back();
    check_index(index, slots_.size());
    check_index(index, index_to_node_.size());
    // A release left the sets empty: nothing of the slot's earlier life carries over.
    ranks_[index].position = position;
    ranks_[index].live = true;
    index_to_node_[index] = std::move(node);
    free_indices_.pop_back();
    return {index, false};
  }
  // The arrays get their room first, so they can never end up with different lengths.
  reserve_one_more(slots_);
  reserve_one_more(ranks_);
  reserve_one_more(index_to_node_);
  const Index index = slots_.size();
  slots_.emplace_back();
  ranks_.push_back({position, 0, true, false});
  index_to_node_.emplace_back(std::move(node));
  return {index, true};
}

void DAG::undo_allocation(Allocation allocation) noexcept {
  if (allocation.appended) {
    slots_.pop_back();
    ranks_.pop_back();
    index_to_node_.pop_back();
    return;
  }
  ranks_[allocation.index].live = false;
  index_to_node_[allocation.index].reset();
  // The pop in allocate kept the capacity, so this push cannot allocate.
  free_indices_.push_back(allocation.index);
}

DAG::Allocation DAG::register_name(std::string_view node, Place place) {
  // The room and both copies of the name come first, so nothing needs undoing.
  node_to_index_.reserve_one_more();
  std::string key(node);
  const Allocation allocation = allocate(std::string(node), place);
  node_to_index_.insert(std::move(key), allocation.index);
  return allocation;
}

void DAG::unregister_name(std::string_view node, Allocation allocation) noexcept {
  node_to_index_.erase(node);
  undo_allocation(allocation);
}

DAG::Index DAG::allocate_index(std::string node) { return allocate(std::move(node), Place::last).index; }

DAG::Index DAG::get_or_create_index(std::string_view node) {
  if (const Index* found = node_to_index_.find(node)) return *found;
  return register_name(node, Place::last).index;
}

void DAG::release_index(Index index) {
  check_index(index, slots_.size());
  check_index(index, index_to_node_.size());
  // A second release must not push the index again, or two allocations would share it.
  if (!ranks_[index].live) return;
  reserve_one_more(free_indices_);
  free_slot(index);
}

void DAG::free_slot(Index index) noexcept {
  Slot& slot = slots_[index];
  // Each edge is known at both ends, so only the node's own neighbours are visited.
  slot.successors.for_each([&](Index next) { slots_[next].predecessors.erase(index); });
  slot.predecessors.for_each([&](Index previous) { slots_[previous].successors.erase(index); });
  slot.successors.clear();
  slot.predecessors.clear();
  ranks_[index].live = false;
  index_to_node_[index].reset();
  free_indices_.push_back(index);
}

bool DAG::add_node(std::string_view node) {
  if (const Index* found = node_to_index_.find(node)) return !std::exchange(ranks_[*found].added, true);
  // A reused slot may still carry the mark of a name released at the index level;
  // the new name is added all the same.
  ranks_[register_name(node, Place::last).index].added = true;
  return true;
}

void DAG::finish_node(std::string_view node) { release_by_name(node); }

void DAG::remove_node(std::string_view node) { release_by_name(node); }

void DAG::release_by_name(std::string_view node) {
  const Index* found = node_to_index_.find(node);
  if (!found) return;
  const Index index = *found;
  // The release is the one step that can fail, and it fails before it changes
  // anything; doing it first keeps the name registered if it does.
  release_index(index);
  ranks_[index].added = false;
  node_to_index_.erase(node);
}

std::optional<DAG::Index> DAG::find_index_with_slot(std::string_view node) const {
  const Index* found = node_to_index_.find(node);
  if (!found) return std::nullopt;
  const Index index = *found;
  check_index(index, slots_.size());
  if (!ranks_[index].live) raise_fault("graph slot must exist for active node");
  return index;
}

void DAG::reserve_edge(Index from, Index to) {
  slots_[from].successors.reserve_one_more();
  slots_[to].predecessors.reserve_one_more();
}

void DAG::insert_edge(Index from, Index to) noexcept {
  slots_[from].successors.insert(to);
  slots_[to].predecessors.insert(from);
}

bool DAG::add_edge(std::string_view from_node, std::string_view to_node) {
  if (from_node == to_node) return false;
  // Both names are checked before anything changes: a registered name whose slot was
  // freed at the index level would otherwise get an edge at a free slot, or share
  // that slot with the other name once it is reused for it.
  const std::optional<Index> known_from = find_index_with_slot(from_node);
  const std::optional<Index> known_to = find_index_with_slot(to_node);

  if (known_from && known_to) {
    const Index from = *known_from, to = *known_to;
    // One set lookup rules out a repeated edge before any search is paid for.
    if (slots_[from].successors.contains(to)) return false;
    // Two names can share a slot after index-level releases; then from == to here.
    if (ranks_[from].position >= ranks_[to].position) return add_edge_against_order(from, to);
    reserve_edge(from, to);
    insert_edge(from, to);
    return true;
  }

  // A name about to be registered has no edges, so the edge can neither repeat one
  // nor close a cycle, and the new node's place in the order makes the edge agree
  // with it. from_node is registered first so that it takes the slot that is reused
  // first.
  std::optional<Allocation> new_from;
  std::optional<Allocation> new_to;
  Index from = 0, to = 0;
  try {
    if (!known_from) new_from = register_name(from_node, known_to ? Place::first : Place::last);
    if (!known_to) new_to = register_name(to_node, Place::last);
    from = known_from ? *known_from : new_from->index;
    to = known_to ? *known_to : new_to->index;
    reserve_edge(from, to);
  } catch (...) {
    // In reverse order, so that free_indices_ ends as it began.
    if (new_to) unregister_name(to_node, *new_to);
    if (new_from) unregister_name(from_node, *new_from);
    throw;
  }
  insert_edge(from, to);
  return true;
}

std::uint32_t DAG::begin_search() const noexcept {
  // Two stamps per search, one for each direction. Only when the counter runs out
  // are the marks cleared, once per 2^31 searches.
  if (search_epoch_ > std::numeric_limits<std::uint32_t>::max() - 2) {
    for (const Rank& rank : ranks_) rank.mark = 0;
    search_epoch_ = 0;
  }
  search_epoch_ += 2;
  return search_epoch_ - 1;
}

void DAG::Frontier::restart(Index start) {
  make_room(1);
  found[0] = start;
  next = 0;
  end = 1;
}

void DAG::Frontier::make_room(std::size_t more) {
  if (found.size() - end >= more) return;
  found.resize(std::max(end + more, 2 * found.size()));
}

// Appends to the frontier every node at the far end of `edges` that is not yet marked
// and lies strictly between lower and upper in the order, marking it. Stops, answering
// true, at a node that carries stop_mark.
bool DAG::expand(const IndexSet& edges, std::uint32_t mark, std::uint32_t stop_mark, Position lower,
                 Position upper, Frontier& frontier) const {
  frontier.make_room(edges.size());
  Index* out = frontier.found.data() + frontier.end;
  std::size_t added = 0;
  for (const Index reached : edges.cells()) {
    if (!IndexSet::is_entry(reached)) continue;
    const Rank& rank = ranks_[reached];
    if (rank.mark == stop_mark) return true;
    // Branch-free: whether a node is taken is close to a coin toss.
    const bool take = (rank.mark != mark) & (rank.position > lower) & (rank.position < upper);
    rank.mark = take ? mark : rank.mark;
    out[added] = reached;
    added += take;
  }
  frontier.end += added;
  return false;
}

// Pearce and Kelly's insertion of an edge that goes against the order (position of
// from >= position of to). Only nodes positioned between to and from can lie on a
// path from to to from, so the forward search from to stays below from's position
// and the backward search from from stays above to's. If the forward search reaches
// from, the edge closes a cycle. Otherwise the nodes found backward (which must come
// before the edge) and forward (after it) share out their own positions, each group
// keeping its relative order; every other node keeps its position.
bool DAG::add_edge_against_order(Index from, Index to) {
  if (from == to) return false;
  const Position lower = ranks_[to].position, upper = ranks_[from].position;
  const std::uint32_t forward_mark = begin_search(), backward_mark = forward_mark + 1;
  forward_.restart(to);
  backward_.restart(from);
  ranks_[to].mark = forward_mark;
  ranks_[from].mark = backward_mark;
  // The two searches take turns, the smaller frontier first, so that an edge closing
  // a cycle is refused as soon as they meet; without a cycle both run to the end,
  // since the reorder needs everything each one reaches.
  while (forward_.waiting() > 0 || backward_.waiting() > 0) {
    const bool met =
        forward_.waiting() > 0 && (backward_.waiting() == 0 || forward_.waiting() <= backward_.waiting())
            ? expand(slots_[forward_.found[forward_.next++]].successors, forward_mark, backward_mark, lower,
                     upper, forward_)
            : expand(slots_[backward_.found[backward_.next++]].predecessors, backward_mark, forward_mark,
                     lower, upper, backward_);
    if (met) return false;
  }

  // Every allocation comes before the first change.
  const std::size_t before = backward_.end, count = before + forward_.end;
  region_.clear();
  region_.reserve(count);
  handed_out_.resize(count);
  reserve_edge(from, to);

  // Each group sorted by position; the two sorted position lists merged give the
  // positions to hand out, the backward group first.
  for (const Index i : backward_.all()) region_.emplace_back(ranks_[i].position, i);
  for (const Index i : forward_.all()) region_.emplace_back(ranks_[i].position, i);
  const auto middle = region_.begin() + static_cast<std::ptrdiff_t>(before);
  std::sort(region_.begin(), middle);
  std::sort(middle, region_.end());
  auto backward = region_.begin(), forward = middle;
  for (Position& position : handed_out_) {
    const bool take_backward =
        forward == region_.end() || (backward != middle && backward->first < forward->first);
    position = (take_backward ? backward++ : forward++)->first;
  }
  for (std::size_t k = 0; k < count; ++k) ranks_[region_[k].second].position = handed_out_[k];
  insert_edge(from, to);
  return true;
}

// Whether target is reached from start. Any path between them runs through positions
// between theirs, so a forward search from start and a backward one from target are
// each confined to that range; the side with fewer nodes waiting is expanded next,
// and the searches stop when one finds a node the other has marked.
bool DAG::reaches(Index start, Index target) const {
  if (start == target) return true;
  // A free slot has no edges.
  if (!ranks_[start].live || !ranks_[target].live) return false;
  const Position lower = ranks_[start].position, upper = ranks_[target].position;
  if (lower > upper) return false;
  const std::uint32_t forward_mark = begin_search(), backward_mark = forward_mark + 1;
  forward_.restart(start);
  backward_.restart(target);
  ranks_[start].mark = forward_mark;
  ranks_[target].mark = backward_mark;
  while (forward_.waiting() > 0 && backward_.waiting() > 0) {
    const bool met = forward_.waiting() <= backward_.waiting()
                         ? expand(slots_[forward_.found[forward_.next++]].successors, forward_mark,
                                  backward_mark, lower, upper, forward_)
                         : expand(slots_[backward_.found[backward_.next++]].predecessors, backward_mark,
                                  forward_mark, lower, upper, backward_);
    if (met) return true;
  }
  return false;
}

bool DAG::would_create_cycle(Index from, Index to) const {
  if (from == to) return true;
  check_index(to, slots_.size());
  // An edge from -> to closes a cycle exactly when `to` already reaches `from`; a
  // value beyond the slots is reached by nothing.
  return from < slots_.size() && reaches(to, from);
}

bool DAG::has_path(std::string_view start, std::string_view end) const {
  const Index* start_index = node_to_index_.find(start);
  if (!start_index) return false;
  const Index* end_index = node_to_index_.find(end);
  return end_index && reaches(*start_index, *end_index);
}

namespace {

std::vector<DAG::Index> listed(const IndexSet& set) {
  std::vector<DAG::Index> entries;
  set.for_each([&](DAG::Index index) { entries.push_back(index); });
  return entries;
}

}  // namespace

std::vector<DAG::Index> DAG::successors(Index index) const {
  return is_live(index) ? listed(slots_[index].successors) : std::vector<Index>{};
}

std::optional<DAG::Index> DAG::index_of(std::string_view node) const {
  const Index* found = node_to_index_.find(node);
  if (!found) return std::nullopt;
  return *found;
}

std::optional<std::string> DAG::broken_invariant() const {
  const std::size_t n = slots_.size();
  const auto at = [](Index i) { return std::to_string(i); };
  if (index_to_node_.size() != n || ranks_.size() != n) return "the per-slot arrays differ in length";
  std::vector<int> stacked(n, 0);
  for (const Index i : free_indices_) {
    if (i >= n || ranks_[i].live || ++stacked[i] > 1) return "free list holds " + at(i) + " wrongly";
  }
  std::vector<Position> positions;
  for (Index i = 0; i < n; ++i) {
    const Slot& slot = slots_[i];
    const Rank& rank = ranks_[i];
    if (rank.live != index_to_node_[i].has_value()) return "slot " + at(i) + " is half live";
    if (rank.mark > search_epoch_) return "slot " + at(i) + " carries a mark no search gave";
    if (!rank.live) {
      if (stacked[i] != 1) return "free slot " + at(i) + " is not on the free list";
      if (!slot.successors.empty() || !slot.predecessors.empty()) return "free slot " + at(i) + " has edges";
      continue;
    }
    if (rank.position < next_low_ || rank.position >= next_high_) return "slot " + at(i) + " is out of order";
    positions.push_back(rank.position);
    for (const bool outgoing : {true, false}) {
      const IndexSet& set = outgoing ? slot.successors : slot.predecessors;
      std::vector<Index> entries = listed(set);
      if (entries.size() != set.size()) return "slot " + at(i) + " miscounts its edges";
      std::sort(entries.begin(), entries.end());
      if (std::adjacent_find(entries.begin(), entries.end()) != entries.end()) {
        return "slot " + at(i) + " holds an edge twice";
      }
      for (const Index j : entries) {
        const std::string edge = outgoing ? at(i) + " -> " + at(j) : at(j) + " -> " + at(i);
        if (j >= n || j == i || !ranks_[j].live) return "edge " + edge + " is not between live slots";
        if (!set.contains(j)) return "edge " + edge + " cannot be found";
        const IndexSet& mirror = outgoing ? slots_[j].predecessors : slots_[j].successors;
        if (!mirror.contains(i)) return "edge " + edge + " is known at one end only";
        if ((rank.position < ranks_[j].position) != outgoing)
          return "edge " + edge + " goes against the order";
      }
    }
  }
  std::sort(positions.begin(), positions.end());
  if (std::adjacent_find(positions.begin(), positions.end()) != positions.end()) {
    return "two live slots share a position";
  }
  return std::nullopt;
}

}  // namespace brambleloft
