#include "dag/dag.hpp"

#include <algorithm>
#include <cstddef>
#include <limits>
#include <unordered_map>
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

DAG::Position DAG::lower_bound_of_gap(Index anchor) const noexcept {
  return anchor == kNone ? kLowest - 1 : ranks_[anchor].position;
}

DAG::Position DAG::upper_bound_of_gap(Index anchor) const noexcept {
  const Index next = anchor == kNone ? first_ : order_[anchor].next;
  return next == kNone ? kHighest + 1 : ranks_[next].position;
}

void DAG::unlink(Index index) noexcept {
  const Link link = order_[index];
  (link.previous == kNone ? first_ : order_[link.previous].next) = link.next;
  (link.next == kNone ? last_ : order_[link.next].previous) = link.previous;
}

// Makes sure that `count` labels fit strictly between the anchor and the slot after it.
// If they do not, the labels of the smallest aligned label range around the anchor
// whose slots (the new ones included) are sparse enough are spread evenly over it;
// the range of 2^b labels qualifies with at most 2^b / 1.5^b slots, and the whole
// label space always does. Only the order's labels change, never the list.
void DAG::make_room(Index anchor, std::uint64_t count) noexcept {
  if ((upper_bound_of_gap(anchor) - lower_bound_of_gap(anchor)) / (count + 1) > 0) return;
  const Position centre = lower_bound_of_gap(anchor);
  // The slots of the range run from `left` to `right`; the anchor kNone starts it
  // empty at the front.
  Index left = anchor, right = anchor;
  std::uint64_t slots = count + (anchor == kNone ? 0 : 1);
  Position low = kLowest, high = kHighest;
  double threshold = 1.0;
  for (int bits = 1;; ++bits) {
    const bool whole = bits == 64;
    const Position size = whole ? 0 : Position{1} << bits;
    low = whole ? kLowest : std::max(centre & ~(size - 1), kLowest);
    high = whole ? kHighest : std::min((centre & ~(size - 1)) + (size - 1), kHighest);
    if (left != kNone) {
      for (Index p = order_[left].previous; p != kNone && ranks_[p].position >= low; p = order_[p].previous) {
        left = p;
        ++slots;
      }
    }
    for (Index n = right == kNone ? first_ : order_[right].next; n != kNone && ranks_[n].position <= high;
         n = order_[n].next) {
      right = n;
      ++slots;
    }
    threshold *= 1.5;
    if (whole || static_cast<double>(slots) * threshold <= static_cast<double>(size)) break;
  }
  if (left == kNone) left = first_;
  // Spread: `slots` places at equal steps strictly inside (low - 1, high + 1); the
  // new slots' places, just after the anchor, stay empty.
  const Position step = (high - low + 2) / (slots + 1);
  Position label = low - 1;
  if (anchor == kNone) label += count * step;
  for (Index i = left; right != kNone && i != kNone; i = order_[i].next) {
    label += step;
    ranks_[i].position = label;
    ++labels_written_;
    if (i == anchor) label += count * step;
    if (i == right) break;
  }
}

// Puts the group, in its order, between the anchor and the slot after it, with labels
// spread over the gap; an open end takes steps of kStride at most, to keep room beyond.
void DAG::link_after(Index anchor, std::span<const std::pair<Position, Index>> group) noexcept {
  make_room(anchor, group.size());
  const Position low = lower_bound_of_gap(anchor), high = upper_bound_of_gap(anchor);
  const std::uint64_t places = group.size() + 1;
  Position step = (high - low) / places;
  const bool open_low = anchor == kNone, open_high = high == kHighest + 1;
  if (open_low != open_high) step = std::min(step, kStride);
  Position label = open_low && !open_high ? high - places * step : low;
  Index previous = anchor;
  Index next = anchor == kNone ? first_ : order_[anchor].next;
  labels_written_ += group.size();
  for (const auto& [old_position, index] : group) {
    label += step;
    ranks_[index].position = label;
    order_[index] = {static_cast<std::uint32_t>(previous), static_cast<std::uint32_t>(kNone)};
    (previous == kNone ? first_ : order_[previous].next) = index;
    previous = index;
  }
  order_[previous].next = next;
  (next == kNone ? last_ : order_[next].previous) = previous;
}

// Makes every allocation a new slot needs, so that take_slot cannot fail.
void DAG::reserve_slot() {
  if (!free_indices_.empty()) {
    check_index(free_indices_.back(), slots_.size());
    return;
  }
  // Slot numbers, with kNone above them, fit the 32 bits of links and edge sets.
  if (slots_.size() >= kNone) raise_fault("capacity overflow");
  // The arrays get their room first, so they can never end up with different lengths.
  reserve_one_more(slots_);
  reserve_one_more(ranks_);
  reserve_one_more(order_);
}

// The slot that take_slot hands out next.
DAG::Index DAG::next_slot() const noexcept {
  return free_indices_.empty() ? slots_.size() : free_indices_.back();
}

// Requires: reserve_slot() ran since the last slot was taken.
DAG::Allocation DAG::take_slot(std::uint32_t name, Place place) noexcept {
  Allocation allocation{next_slot(), free_indices_.empty()};
  if (allocation.appended) {
    slots_.emplace_back();
    ranks_.emplace_back();
    order_.emplace_back();
  } else {
    // A release left the sets empty: nothing of the slot's earlier life carries over.
    free_indices_.pop_back();
  }
  ranks_[allocation.index].name = name;
  const std::pair<Position, Index> placed{0, allocation.index};
  link_after(place == Place::first ? kNone : last_, {&placed, 1});
  return allocation;
}

void DAG::undo_allocation(Allocation allocation) noexcept {
  unlink(allocation.index);
  if (allocation.appended) {
    slots_.pop_back();
    ranks_.pop_back();
    order_.pop_back();
    return;
  }
  ranks_[allocation.index].name = kNoName;
  // The pop in take_slot kept the capacity, so this push cannot allocate.
  free_indices_.push_back(allocation.index);
}

DAG::Allocation DAG::register_name(const NameTable::Spot& spot, std::string_view node, Place place) {
  // The room and the name's one copy come first, so nothing needs undoing.
  node_to_index_.reserve_one_more();
  reserve_slot();
  NameTable::Name name(node);
  const std::uint32_t entry = node_to_index_.insert(spot, std::move(name), next_slot());
  return take_slot(entry, place);
}

void DAG::unregister_name(std::string_view node, Allocation allocation) noexcept {
  node_to_index_.erase(node_to_index_.locate(node));
  undo_allocation(allocation);
}

DAG::Index DAG::allocate_index(std::string_view node) {
  node_to_index_.reserve_entry();
  reserve_slot();
  NameTable::Name name(node);
  return take_slot(node_to_index_.store(std::move(name)), Place::last).index;
}

DAG::Index DAG::get_or_create_index(std::string_view node) {
  const NameTable::Spot spot = node_to_index_.locate(node);
  if (spot) return node_to_index_.index_at(spot);
  return register_name(spot, node, Place::last).index;
}

void DAG::release_index(Index index) {
  check_index(index, slots_.size());
  // A second release must not push the index again, or two allocations would share it.
  if (!ranks_[index].live()) return;
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
  unlink(index);
  // A listed name stays registered until it is erased by name.
  Rank& rank = ranks_[index];
  if (!node_to_index_.listed(rank.name)) node_to_index_.drop(rank.name);
  rank.name = kNoName;
  free_indices_.push_back(index);
}

bool DAG::add_node(std::string_view node) {
  const NameTable::Spot spot = node_to_index_.locate(node);
  Index index;
  if (spot) {
    index = node_to_index_.index_at(spot);
    if (ranks_[index].added) return false;
  } else {
    // A reused slot may still carry the mark of a name released at the index level;
    // the new name is added all the same.
    index = register_name(spot, node, Place::last).index;
  }
  ranks_[index].added = 1;
  return true;
}

void DAG::finish_node(std::string_view node) { release_by_name(node); }

void DAG::remove_node(std::string_view node) { release_by_name(node); }

void DAG::release_by_name(std::string_view node) {
  const NameTable::Spot spot = node_to_index_.locate(node);
  if (!spot) return;
  const Index index = node_to_index_.index_at(spot);
  // The release is the one step that can fail, and it fails before it changes
  // anything; doing it first keeps the name registered if it does. It erases no
  // name, so the spot still holds.
  release_index(index);
  ranks_[index].added = 0;
  node_to_index_.erase(spot);
}

[[gnu::always_inline]] inline std::optional<DAG::Index> DAG::index_with_slot(
    const NameTable::Spot& spot) const {
  if (!spot) return std::nullopt;
  const Index index = node_to_index_.index_at(spot);
  check_index(index, slots_.size());
  if (!ranks_[index].live()) raise_fault("graph slot must exist for active node");
  return index;
}

[[gnu::always_inline]] inline void DAG::reserve_edge(Index from, Index to) {
  slots_[from].successors.reserve_one_more();
  slots_[to].predecessors.reserve_one_more();
}

[[gnu::always_inline]] inline void DAG::insert_edge(Index from, Index to) noexcept {
  slots_[from].successors.insert(to);
  slots_[to].predecessors.insert(from);
}

bool DAG::add_edge(std::string_view from_node, std::string_view to_node) {
  // Each name is hashed once: the spots serve the registration of a new name too, and
  // equal names have equal hashes, which spares comparing the bytes of most pairs.
  const NameTable::Spot from_spot = node_to_index_.locate(from_node);
  const NameTable::Spot to_spot = node_to_index_.locate(to_node);
  if (from_spot.hash == to_spot.hash && from_node == to_node) return false;
  // Both names are checked before anything changes: a registered name whose slot was
  // freed at the index level would otherwise get an edge at a free slot, or share
  // that slot with the other name once it is reused for it.
  const std::optional<Index> known_from = index_with_slot(from_spot);
  const std::optional<Index> known_to = index_with_slot(to_spot);

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
    if (!known_from) new_from = register_name(from_spot, from_node, known_to ? Place::first : Place::last);
    if (!known_to) new_to = register_name(to_spot, to_node, Place::last);
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
  for (const IndexSet::Cell reached : edges.cells()) {
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

// Searches forward from start and backward from target, both confined to the slots
// positioned strictly between them; any path from start to target runs there. The
// side that has done less work (edges looked at), counting the node it would expand
// next, goes next, so neither side works more than one node's edges beyond what
// the other ends up doing: the search costs about twice the cheaper side.
DAG::Outcome DAG::search_between(Index start, Index target) const {
  const Position lower = ranks_[start].position, upper = ranks_[target].position;
  const std::uint32_t forward_mark = begin_search(), backward_mark = forward_mark + 1;
  forward_.restart(start);
  backward_.restart(target);
  ranks_[start].mark = forward_mark;
  ranks_[target].mark = backward_mark;
  std::uint64_t forward_work = 0, backward_work = 0;
  for (;;) {
    if (forward_.waiting() == 0) return Outcome::forward_done;
    if (backward_.waiting() == 0) return Outcome::backward_done;
    const IndexSet& ahead = slots_[forward_.found[forward_.next]].successors;
    const IndexSet& behind = slots_[backward_.found[backward_.next]].predecessors;
    bool met;
    if (forward_work + ahead.size() <= backward_work + behind.size()) {
      ++forward_.next;
      forward_work += ahead.size() + 1;
      met = expand(ahead, forward_mark, backward_mark, lower, upper, forward_);
    } else {
      ++backward_.next;
      backward_work += behind.size() + 1;
      met = expand(behind, backward_mark, forward_mark, lower, upper, backward_);
    }
    if (met) return Outcome::met;
  }
}

// An edge against the order (position of from >= position of to) closes a cycle
// exactly when to reaches from, which the two-way search tells. Otherwise the side
// that ran out is closed: forward, every slot between the two that to reaches;
// backward, every one that reaches from. Moving that group, in its own order, just
// past from (forward) or just before to (backward) puts to after from and keeps every
// edge rising: the group's other edges lead beyond the range it came from.
bool DAG::add_edge_against_order(Index from, Index to) {
  if (from == to) return false;
  // A side whose end has no edges is closed from the start, and the search would stop
  // there before looking at anything: that one node moves, and nothing is searched.
  // Like the search, the forward side is taken when both qualify.
  const bool forward_alone = slots_[to].successors.empty();
  if (forward_alone || slots_[from].predecessors.empty()) {
    reserve_edge(from, to);
    const Index moved = forward_alone ? to : from;
    const std::pair<Position, Index> single{ranks_[moved].position, moved};
    unlink(moved);
    link_after(forward_alone ? from : order_[to].previous, {&single, 1});
    insert_edge(from, to);
    return true;
  }
  const Outcome outcome = search_between(to, from);
  if (outcome == Outcome::met) return false;
  const Frontier& group = outcome == Outcome::forward_done ? forward_ : backward_;

  // Every allocation comes before the first change.
  region_.clear();
  region_.reserve(group.end);
  reserve_edge(from, to);

  for (const Index i : group.all()) region_.emplace_back(ranks_[i].position, i);
  std::sort(region_.begin(), region_.end());
  for (const auto& [position, index] : region_) unlink(index);
  link_after(outcome == Outcome::forward_done ? from : order_[to].previous, region_);
  insert_edge(from, to);
  return true;
}

// Whether target is reached from start: never when start lies after target in the
// order, else by the two-way search.
bool DAG::reaches(Index start, Index target) const {
  if (start == target) return true;
  // A free slot has no edges.
  if (!ranks_[start].live() || !ranks_[target].live()) return false;
  if (ranks_[start].position > ranks_[target].position) return false;
  return search_between(start, target) == Outcome::met;
}

bool DAG::would_create_cycle(Index from, Index to) const {
  if (from == to) return true;
  check_index(to, slots_.size());
  // An edge from -> to closes a cycle exactly when `to` already reaches `from`; a
  // value beyond the slots is reached by nothing.
  return from < slots_.size() && reaches(to, from);
}

bool DAG::has_path(std::string_view start, std::string_view end) const {
  const std::optional<Index> start_index = node_to_index_.find(start);
  if (!start_index) return false;
  const std::optional<Index> end_index = node_to_index_.find(end);
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

std::vector<std::optional<std::string>> DAG::index_to_node() const {
  std::vector<std::optional<std::string>> names(ranks_.size());
  for (Index i = 0; i < ranks_.size(); ++i) {
    if (ranks_[i].live()) names[i] = std::string(node_to_index_.name(ranks_[i].name));
  }
  return names;
}

std::optional<DAG::Index> DAG::index_of(std::string_view node) const { return node_to_index_.find(node); }

std::optional<std::string> DAG::broken_invariant() const {
  const std::size_t n = slots_.size();
  const auto at = [](Index i) { return std::to_string(i); };
  if (ranks_.size() != n || order_.size() != n) return "the per-slot arrays differ in length";
  std::vector<int> stacked(n, 0);
  std::unordered_map<std::uint32_t, int> named;
  for (const Index i : free_indices_) {
    if (i >= n || ranks_[i].live() || ++stacked[i] > 1) return "free list holds " + at(i) + " wrongly";
  }
  std::size_t live = 0;
  for (Index i = 0; i < n; ++i) {
    const Slot& slot = slots_[i];
    const Rank& rank = ranks_[i];
    if (rank.live()) {
      if (++named[rank.name] > 1) return "slot " + at(i) + " shares its name entry";
      if (node_to_index_.listed(rank.name)) {
        const std::optional<Index> listed_at = node_to_index_.find(node_to_index_.name(rank.name));
        if (!listed_at || *listed_at != i) return "slot " + at(i) + " has a name listed elsewhere";
      }
    }
    if (rank.mark > search_epoch_) return "slot " + at(i) + " carries a mark no search gave";
    if (!rank.live()) {
      if (stacked[i] != 1) return "free slot " + at(i) + " is not on the free list";
      if (!slot.successors.empty() || !slot.predecessors.empty()) return "free slot " + at(i) + " has edges";
      continue;
    }
    ++live;
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
        if (j >= n || j == i || !ranks_[j].live()) return "edge " + edge + " is not between live slots";
        if (!set.contains(j)) return "edge " + edge + " cannot be found";
        const IndexSet& mirror = outgoing ? slots_[j].predecessors : slots_[j].successors;
        if (!mirror.contains(i)) return "edge " + edge + " is known at one end only";
        if ((rank.position < ranks_[j].position) != outgoing)
          return "edge " + edge + " goes against the order";
      }
    }
  }
  // The order list: every live slot once, labels rising within bounds, links mirrored.
  std::size_t listed_slots = 0;
  Index previous = kNone;
  for (Index i = first_; i != kNone; previous = i, i = order_[i].next) {
    if (i >= n || !ranks_[i].live() || ++listed_slots > live) return "the order lists " + at(i) + " wrongly";
    if (order_[i].previous != previous) return "the order's links at " + at(i) + " disagree";
    const Position position = ranks_[i].position;
    if (position < kLowest || position > kHighest ||
        (previous != kNone && ranks_[previous].position >= position))
      return "slot " + at(i) + " is out of order";
  }
  if (listed_slots != live || last_ != previous) return "the order misses live slots";
  return std::nullopt;
}

}  // namespace brambleloft
