// A deliberately plain model of DAG for differential tests and fuzzing: ordered sets,
// full scans and plain searches, nothing clever, so that it is easy to believe. It
// answers every operation as DAG does, and where DAG raises a Fault it answers with
// the fault's message instead. `apply` runs one operation on both and reports the
// first disagreement in answer, fault, state or DAG's own invariants.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "dag/dag.hpp"
#include "errors/fault.hpp"

namespace brambleloft::reference {

using Index = std::uint64_t;
using Done = std::monostate;  // the answer of an operation that returns nothing

// What one call did: its answer, or the message of the Fault it raised.
template <class T>
struct Outcome {
  std::optional<T> answer;
  std::optional<std::string> fault;
  bool operator==(const Outcome&) const = default;
};

template <class T>
Outcome<T> answer(T value) {
  return {std::move(value), std::nullopt};
}
template <class T>
Outcome<T> fault(std::string message) {
  return {std::nullopt, std::move(message)};
}

inline std::string bounds_message(std::uint64_t len, std::uint64_t index) {
  return "index out of bounds: the len is " + std::to_string(len) + " but the index is " +
         std::to_string(index);
}
inline constexpr std::string_view kFreedSlotMessage = "graph slot must exist for active node";

// Runs `call` (one DAG operation) and captures its answer or Fault as an Outcome.
template <class Call>
auto outcome_of(Call&& call) {
  using Result = decltype(call());
  using T = std::conditional_t<std::is_void_v<Result>, Done, Result>;
  try {
    if constexpr (std::is_void_v<Result>) {
      call();
      return answer<T>(Done{});
    } else {
      return answer<T>(call());
    }
  } catch (const Fault& raised) {
    return fault<T>(raised.message());
  }
}

class ReferenceDag {
 public:
  Outcome<bool> add_node(const std::string& node) {
    if (const auto found = registry_.find(node); found != registry_.end()) {
      return answer(added_.insert(found->second).second);
    }
    added_.insert(register_name(node));
    return answer(true);
  }

  Outcome<Done> finish_node(const std::string& node) { return release_by_name(node); }
  Outcome<Done> remove_node(const std::string& node) { return release_by_name(node); }

  Outcome<bool> add_edge(const std::string& from, const std::string& to) {
    if (from == to) return answer(false);
    // A registered name whose slot was freed at the index level gets no edge.
    for (const std::string* name : {&from, &to}) {
      const auto found = registry_.find(*name);
      if (found != registry_.end() && !successors_[found->second]) {
        return fault<bool>(std::string(kFreedSlotMessage));
      }
    }
    const auto f = registry_.find(from), t = registry_.find(to);
    if (f != registry_.end() && t != registry_.end()) {
      if (successors_[f->second]->contains(t->second)) return answer(false);
      if (reaches(t->second, f->second)) return answer(false);
      successors_[f->second]->insert(t->second);
      return answer(true);
    }
    // The source is registered first, so it takes the slot that is reused first.
    const Index from_index = f != registry_.end() ? f->second : register_name(from);
    const Index to_index = t != registry_.end() ? t->second : register_name(to);
    successors_[from_index]->insert(to_index);
    return answer(true);
  }

  Outcome<bool> has_path(const std::string& start, const std::string& end) const {
    const auto s = registry_.find(start), e = registry_.find(end);
    return answer(s != registry_.end() && e != registry_.end() && reaches(s->second, e->second));
  }

  Outcome<Index> get_or_create_index(const std::string& node) {
    const auto found = registry_.find(node);
    return answer(found != registry_.end() ? found->second : register_name(node));
  }

  Outcome<Index> allocate_index(const std::string& node) { return answer(allocate(node)); }

  Outcome<Done> release_index(Index index) {
    if (index >= successors_.size()) return fault<Done>(bounds_message(successors_.size(), index));
    if (!successors_[index]) return answer(Done{});
    successors_[index].reset();
    names_[index].reset();
    for (auto& slot : successors_) {
      if (slot) slot->erase(index);
    }
    free_.push_back(index);
    return answer(Done{});
  }

  // True for equal indices whatever they are; otherwise `to` must be a slot, and
  // `from` is never looked up.
  Outcome<bool> would_create_cycle(Index from, Index to) const {
    if (from == to) return answer(true);
    if (to >= successors_.size()) return fault<bool>(bounds_message(successors_.size(), to));
    return answer(from < successors_.size() && reaches(to, from));
  }

  Index slot_count() const { return successors_.size(); }
  bool is_live(Index index) const { return index < successors_.size() && successors_[index]; }
  const std::set<Index>& successors(Index index) const { return *successors_.at(index); }
  const std::vector<Index>& free_indices() const { return free_; }
  const std::map<std::string, Index>& registry() const { return registry_; }

  // The first difference between dag's observable state and the model's, if any:
  // slots, names per slot, free list (in order), registered names and edges.
  std::optional<std::string> differs_from(const DAG& dag) const {
    std::ostringstream out;
    if (dag.slot_count() != slot_count()) {
      out << "slot count " << dag.slot_count() << " != " << slot_count();
    } else if (dag.free_indices() != free_) {
      out << "free list differs";
    } else if (dag.name_count() != registry_.size()) {
      out << "name count " << dag.name_count() << " != " << registry_.size();
    }
    for (const auto& [name, index] : registry_) {
      if (!out.str().empty()) break;
      if (dag.index_of(name) != index) out << "name \"" << name << "\" not at index " << index;
    }
    for (Index i = 0; i < slot_count() && out.str().empty(); ++i) {
      if (dag.is_live(i) != is_live(i)) {
        out << "slot " << i << (is_live(i) ? " is free" : " is live");
      } else if (dag.index_to_node()[i] != names_[i]) {
        out << "slot " << i << " holds another name";
      } else if (is_live(i)) {
        const std::vector<Index> listed = dag.successors(i);
        if (std::set<Index>(listed.begin(), listed.end()) != successors(i) ||
            listed.size() != successors(i).size()) {
          out << "successors of slot " << i << " differ";
        }
      }
    }
    if (out.str().empty()) return std::nullopt;
    return out.str();
  }

 private:
  Index allocate(const std::string& node) {
    if (!free_.empty()) {
      const Index index = free_.back();
      free_.pop_back();
      successors_[index].emplace();
      names_[index] = node;
      return index;
    }
    successors_.emplace_back(std::in_place);
    names_.emplace_back(node);
    return successors_.size() - 1;
  }

  Index register_name(const std::string& node) { return registry_[node] = allocate(node); }

  Outcome<Done> release_by_name(const std::string& node) {
    const auto found = registry_.find(node);
    if (found == registry_.end()) return answer(Done{});
    const Index index = found->second;
    release_index(index);
    added_.erase(index);
    registry_.erase(found);
    return answer(Done{});
  }

  // Plain depth-first reachability; a node reaches itself.
  bool reaches(Index start, Index target) const {
    std::set<Index> seen{start};
    std::vector<Index> stack{start};
    while (!stack.empty()) {
      const Index node = stack.back();
      stack.pop_back();
      if (node == target) return true;
      if (!successors_[node]) continue;
      for (const Index next : *successors_[node]) {
        if (seen.insert(next).second) stack.push_back(next);
      }
    }
    return false;
  }

  std::vector<std::optional<std::set<Index>>> successors_;
  std::vector<std::optional<std::string>> names_;
  std::map<std::string, Index> registry_;
  std::set<Index> added_;
  std::vector<Index> free_;
};

// One call, by the name of the DAG method it makes. Name-level calls use the names,
// index-level ones the indices (release_index uses `from`).
enum class Call {
  add_node,
  finish_node,
  remove_node,
  add_edge,
  has_path,
  get_or_create_index,
  allocate_index,
  release_index,
  would_create_cycle,
};
inline constexpr int kCallCount = 9;

struct Operation {
  Call call = Call::add_node;
  std::string first, second;
  Index from = 0, to = 0;
};

inline std::string describe(const Operation& op) {
  static constexpr const char* kNames[kCallCount] = {"add_node",       "finish_node",   "remove_node",
                                                     "add_edge",       "has_path",      "get_or_create_index",
                                                     "allocate_index", "release_index", "would_create_cycle"};
  std::ostringstream out;
  out << kNames[static_cast<int>(op.call)] << '(';
  switch (op.call) {
    case Call::release_index:
      out << op.from;
      break;
    case Call::would_create_cycle:
      out << op.from << ", " << op.to;
      break;
    case Call::add_edge:
    case Call::has_path:
      out << '"' << op.first << "\", \"" << op.second << '"';
      break;
    default:
      out << '"' << op.first << '"';
  }
  out << ')';
  return out.str();
}

namespace detail {

template <class T>
std::string show(const Outcome<T>& outcome) {
  if (outcome.fault) return "fault \"" + *outcome.fault + "\"";
  if constexpr (std::is_same_v<T, Done>) {
    return "done";
  } else {
    std::ostringstream out;
    out << std::boolalpha << *outcome.answer;
    return out.str();
  }
}

template <class T>
std::optional<std::string> compare(const Outcome<T>& real, const Outcome<T>& model) {
  if (real == model) return std::nullopt;
  return "answered " + show(real) + ", the model " + show(model);
}

}  // namespace detail

// Runs the operation on both graphs. Nothing when they agree in answer or fault,
// in the whole observable state afterwards, and DAG's invariants hold; otherwise
// what went wrong first.
inline std::optional<std::string> apply(DAG& dag, ReferenceDag& model, const Operation& op) {
  using detail::compare;
  std::optional<std::string> wrong;
  switch (op.call) {
    case Call::add_node:
      wrong = compare(outcome_of([&] { return dag.add_node(op.first); }), model.add_node(op.first));
      break;
    case Call::finish_node:
      wrong = compare(outcome_of([&] { dag.finish_node(op.first); }), model.finish_node(op.first));
      break;
    case Call::remove_node:
      wrong = compare(outcome_of([&] { dag.remove_node(op.first); }), model.remove_node(op.first));
      break;
    case Call::add_edge:
      wrong = compare(outcome_of([&] { return dag.add_edge(op.first, op.second); }),
                      model.add_edge(op.first, op.second));
      break;
    case Call::has_path:
      wrong = compare(outcome_of([&] { return dag.has_path(op.first, op.second); }),
                      model.has_path(op.first, op.second));
      break;
    case Call::get_or_create_index:
      wrong = compare(outcome_of([&] { return dag.get_or_create_index(op.first); }),
                      model.get_or_create_index(op.first));
      break;
    case Call::allocate_index:
      wrong =
          compare(outcome_of([&] { return dag.allocate_index(op.first); }), model.allocate_index(op.first));
      break;
    case Call::release_index:
      wrong = compare(outcome_of([&] { dag.release_index(op.from); }), model.release_index(op.from));
      break;
    case Call::would_create_cycle:
      wrong = compare(outcome_of([&] { return dag.would_create_cycle(op.from, op.to); }),
                      model.would_create_cycle(op.from, op.to));
      break;
  }
  if (!wrong) wrong = model.differs_from(dag);
  if (!wrong) wrong = dag.broken_invariant();
  if (!wrong) return std::nullopt;
  return describe(op) + ": " + *wrong;
}

}  // namespace brambleloft::reference
