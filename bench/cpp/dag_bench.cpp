// The DAG core against abseil's GraphCycles on the same sequences of edges, queries and
// removals, each side naming nodes the way it needs: the DAG takes the names itself,
// GraphCycles takes ids, which a user gets from a hash map of names whose entries'
// addresses stand for the nodes. Every figure is the cost of one operation, measured
// over a whole sequence on a graph built afresh; the answers of the two are compared
// before anything is timed. Times are the thread's processor time.
#include <absl/synchronization/internal/graphcycles.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "dag/dag.hpp"

namespace {

using Edge = std::pair<std::string, std::string>;

struct Workload {
  std::vector<std::string> names;  // registered before the edges, in this order, when `register_first`
  std::vector<Edge> edges;
  std::vector<Edge> queries;
  bool register_first = true;
};

std::vector<std::string> numbered(const char* prefix, int n) {
  std::vector<std::string> names;
  for (int i = 0; i < n; ++i) names.push_back(prefix + std::to_string(i));
  return names;
}

// n tasks, each depending on 2 random earlier ones; nothing registered ahead.
Workload task_graph(int n) {
  std::mt19937_64 random(n);
  Workload w{numbered("task-", n), {}, {}, false};
  for (int i = 1; i < n; ++i) {
    for (int k = 0; k < 2; ++k) w.edges.emplace_back(w.names[random() % i], w.names[i]);
  }
  for (int q = 0; q < 20'000; ++q) w.queries.emplace_back(w.names[random() % n], w.names[random() % n]);
  return w;
}

// 4n edges between random nodes of the same group (group == n: uniform), about half
// of them refused.
Workload random_graph(int n, int group) {
  std::mt19937_64 random(n + group);
  Workload w{numbered("n", n), {}, {}, true};
  const auto pick = [&] {
    const std::uint64_t base = random() % (n / group) * group;
    return Edge(w.names[base + random() % group], w.names[base + random() % group]);
  };
  for (int i = 0; i < 4 * n; ++i) w.edges.push_back(pick());
  for (int q = 0; q < 20'000; ++q) w.queries.push_back(pick());
  return w;
}

// Names 0..n registered in order, then the edges k+1 -> k for k = 0, 1, 2, ...
Workload backward_chain(int n) {
  Workload w{numbered("", n + 1), {}, {}, true};
  for (int k = 0; k < n; ++k) w.edges.emplace_back(w.names[k + 1], w.names[k]);
  return w;
}

// The task graph with its nodes registered and its edges added last task first.
Workload reverse_topological(int n) {
  Workload w = task_graph(n);
  w.register_first = true;
  std::reverse(w.names.begin(), w.names.end());
  std::reverse(w.edges.begin(), w.edges.end());
  w.queries.clear();
  return w;
}

// A chain, then from each chain node an edge to a node registered before the chain,
// and into it one from a node registered after it.
Workload chain_then_across(int n) {
  const auto early = numbered("early-", n), chain = numbered("chain-", n), late = numbered("late-", n);
  Workload w{early, {}, {}, true};
  w.names.insert(w.names.end(), chain.begin(), chain.end());
  w.names.insert(w.names.end(), late.begin(), late.end());
  for (int i = 0; i + 1 < n; ++i) w.edges.emplace_back(chain[i], chain[i + 1]);
  for (int i = 0; i < n; ++i) {
    w.edges.emplace_back(chain[i], early[i]);
    w.edges.emplace_back(late[i], chain[i]);
  }
  return w;
}

struct Ours {
  brambleloft::DAG dag;
  void add(const std::string& name) { dag.add_node(name); }
  bool add_edge(const Edge& e) { return dag.add_edge(e.first, e.second); }
  bool has_path(const Edge& q) const { return dag.has_path(q.first, q.second); }
  void remove(const std::string& name) { dag.finish_node(name); }
};

struct Theirs {
  using GraphId = absl::synchronization_internal::GraphId;
  absl::synchronization_internal::GraphCycles graph;
  std::unordered_map<std::string, GraphId> ids;

  GraphId id(const std::string& name) {
    auto [entry, fresh] = ids.try_emplace(name, GraphId{0});
    if (fresh) entry->second = graph.GetId(&*entry);
    return entry->second;
  }
  void add(const std::string& name) { id(name); }
  bool add_edge(const Edge& e) {
    if (e.first == e.second) return false;
    const GraphId from = id(e.first), to = id(e.second);
    return !graph.HasEdge(from, to) && graph.InsertEdge(from, to);
  }
  bool has_path(const Edge& q) const {
    const auto start = ids.find(q.first), end = ids.find(q.second);
    if (start == ids.end() || end == ids.end()) return false;
    return q.first == q.second || graph.IsReachable(start->second, end->second);
  }
  void remove(const std::string& name) {
    const auto entry = ids.find(name);
    if (entry == ids.end()) return;
    graph.RemoveNode(&*entry);
    ids.erase(entry);
  }
};

enum class Phase { add_edge, has_path, remove };

template <class Side>
void register_names(Side& side, const Workload& w) {
  if (w.register_first) {
    for (const auto& name : w.names) side.add(name);
  }
}

// The calling thread's processor time in seconds: on a shared machine, wall time
// would count the time other processes hold the processor.
double thread_seconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Seconds taken by one phase on a fresh graph: the edges after the names are
// registered, or the queries or removals after the edges are in.
template <class Side>
double run_phase(const Workload& w, Phase phase) {
  Side side;
  register_names(side, w);
  double start = thread_seconds();
  for (const auto& e : w.edges) benchmark::DoNotOptimize(side.add_edge(e));
  if (phase != Phase::add_edge) {
    start = thread_seconds();
    if (phase == Phase::has_path) {
      for (const auto& q : w.queries) benchmark::DoNotOptimize(side.has_path(q));
    } else {
      for (const auto& name : w.names) side.remove(name);
    }
  }
  return thread_seconds() - start;
}

std::size_t operations(const Workload& w, Phase phase) {
  return phase == Phase::add_edge   ? w.edges.size()
         : phase == Phase::has_path ? w.queries.size()
                                    : w.names.size();
}

template <class Side>
void measure(benchmark::State& state, const Workload* w, Phase phase) {
  double seconds = 0;
  for (auto _ : state) {
    const double taken = run_phase<Side>(*w, phase);
    state.SetIterationTime(taken);
    seconds += taken;
  }
  state.counters["ns_per_op"] =
      seconds * 1e9 / static_cast<double>(state.iterations() * operations(*w, phase));
}

template <class Side>
std::vector<bool> answers(const Workload& w) {
  Side side;
  std::vector<bool> given;
  register_names(side, w);
  for (const auto& e : w.edges) given.push_back(side.add_edge(e));
  for (const auto& q : w.queries) given.push_back(side.has_path(q));
  // Half drained, then asked again: removals must leave the same graph.
  for (std::size_t i = 0; i < w.names.size() / 2; ++i) side.remove(w.names[i]);
  for (const auto& q : w.queries) given.push_back(side.has_path(q));
  return given;
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  struct Named {
    const char* name;
    Workload workload;
    int iterations;
    bool removal;
  };
  static const std::vector<Named> workloads = {
      {"task_graph/100000", task_graph(100'000), 5, true},
      {"task_graph/1000000", task_graph(1'000'000), 1, true},
      {"uniform/2000", random_graph(2'000, 2'000), 5, true},
      {"clustered/2000", random_graph(2'000, 64), 5, true},
      {"clustered/20000", random_graph(20'000, 64), 3, true},
      {"backward_chain/8000", backward_chain(8'000), 1, false},
      {"reverse_topological/8000", reverse_topological(8'000), 1, false},
      {"chain_then_across/8000", chain_then_across(8'000), 1, false},
  };
  bool agree = true;
  for (const auto& named : workloads) {
    if (answers<Ours>(named.workload) != answers<Theirs>(named.workload)) {
      std::fprintf(stderr, "%s: the DAG and GraphCycles disagree\n", named.name);
      agree = false;
    }
  }
  if (!agree) return 1;
  std::printf("answers agree on every workload\n");
  std::fflush(stdout);
  for (const auto& named : workloads) {
    for (const auto& [phase, label] :
         {std::pair(Phase::add_edge, "add_edge"), std::pair(Phase::has_path, "has_path"),
          std::pair(Phase::remove, "remove")}) {
      if ((phase == Phase::has_path && named.workload.queries.empty()) ||
          (phase == Phase::remove && !named.removal))
        continue;
      for (const bool ours : {true, false}) {
        const std::string name = std::string(named.name) + "/" + label + (ours ? "/dag" : "/graphcycles");
        auto* b = benchmark::RegisterBenchmark(name.c_str(), ours ? measure<Ours> : measure<Theirs>,
                                               &named.workload, phase);
        b->UseManualTime()->Iterations(named.iterations)->Unit(benchmark::kMillisecond);
      }
    }
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
