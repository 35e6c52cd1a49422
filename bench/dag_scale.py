"""DAG at scale: brambleloft's DAG against rustworkx and networkx on task-graph workloads.

Run with `make bench` (or `PYTHONPATH=<build dir> python3 bench/dag_scale.py`; rustworkx,
networkx and matplotlib must be importable). Prints Markdown tables of cost per operation
for the three and brambleloft's ratio to each (below 1 means brambleloft is faster),
checks that all give the same answers, and draws the cost per operation against N as a
chart (--chart, default bench/dag_scale.png). Each ratio comes from one run: the sides
take turns on the same data, and each figure is the fastest of its repeats.

The peers get the DAG's contract the way a user would write it: networkx refuses an edge
when the target reaches the source (nx.has_path); rustworkx is a PyDiGraph(check_cycle=True),
which raises DAGWouldCycle for an edge that closes a cycle, with a dict from name to node
index beside it (rustworkx names nodes by index).

Workloads, each on the same random data for all:
- task graph of N tasks, each depending on 2 random earlier ones (an edge from each
  dependency to the task): add_edge while building, has_path between random tasks, and
  finish_node of every task in creation order (drain; the peers remove the node).
- sliding window: 10,000 live tasks; each step adds a task with edges from 2 random live
  ones and finishes the oldest.
- add_edge and has_path on random graphs: uniform (edges between any two of N nodes, 4N
  edges, about half refused) and clustered (edges inside groups of 64 nodes).
- adversarial orders, where every edge goes against the order in which the nodes were
  registered: the backward chain (names 0..n registered in order, then edge k+1 -> k for
  k = 0, 1, 2, ...), reverse topological insertion (the task graph with its nodes
  registered and its edges added last task first) and a long chain then edges across it
  (from each chain node to a node registered before the chain, and into it from one
  registered after it). networkx is quadratic on these, so it runs the small n only.
- memory per node: RSS growth of a fresh interpreter building the task graph.
"""
import argparse
import gc
import os
import random
import subprocess
import sys
import time

from bench import nx_add_edge, pyplot  # bench/bench.py, beside this file

try:
    import networkx as nx
    import rustworkx as rx
except ImportError as missing:
    sys.exit("%s: %s is not installed for %s (make bench BENCH_PYTHON=... names another interpreter)"
             % (sys.argv[0], missing.name, sys.executable))

from brambleloft import DAG

SIZES = (2_000, 20_000, 100_000, 1_000_000)
NETWORKX_LIMIT = 100_000  # networkx takes minutes and gigabytes beyond this
WINDOW = 10_000
PEERS = ("rustworkx", "networkx")


class NxDAG:
    """networkx with the DAG's contract: edges that would close a cycle are refused."""

    def __init__(self):
        self.graph = nx.DiGraph()

    def add_edge(self, u, v):
        return nx_add_edge(self.graph, (u, v))

    def add_node(self, n):
        if n in self.graph:
            return False
        self.graph.add_node(n)
        return True

    def has_path(self, s, t):
        g = self.graph
        return s in g and t in g and nx.has_path(g, s, t)

    def finish_node(self, n):
        if n in self.graph:
            self.graph.remove_node(n)


class RxDAG:
    """rustworkx with the DAG's contract, names mapped to node indices by a dict."""

    def __init__(self):
        self.graph = rx.PyDiGraph(check_cycle=True, multigraph=False)
        self.index = {}

    def _node(self, name):
        index = self.index.get(name)
        if index is None:
            index = self.index[name] = self.graph.add_node(name)
        return index

    def add_edge(self, u, v):
        if u == v:
            return False
        index = self.index
        if u in index and v in index:
            iu, iv = index[u], index[v]
            if self.graph.has_edge(iu, iv):
                return False
            try:
                self.graph.add_edge(iu, iv, None)
            except rx.DAGWouldCycle:
                return False
            return True
        self.graph.add_edge(self._node(u), self._node(v), None)
        return True

    def add_node(self, n):
        if n in self.index:
            return False
        self.index[n] = self.graph.add_node(n)
        return True

    def has_path(self, s, t):
        index = self.index
        if s not in index or t not in index:
            return False
        return s == t or rx.has_path(self.graph, index[s], index[t])

    def finish_node(self, n):
        index = self.index.pop(n, None)
        if index is not None:
            self.graph.remove_node(index)


IMPLS = {"brambleloft": DAG, "rustworkx": RxDAG, "networkx": NxDAG}


def task_graph(n, rng):
    """Names and the edges of n tasks, each depending on 2 random earlier ones."""
    names = ["task-%d" % i for i in range(n)]
    edges = [(names[rng.randrange(i)], names[i]) for i in range(1, n) for _ in range(2)]
    return names, edges


def timed_loop(operation, items):
    """ns per item, with the collector off so that it does not land in one side's time."""
    if not items:
        return 0.0
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for item in items:
            operation(item)
        return (time.perf_counter_ns() - start) / len(items)
    finally:
        gc.enable()


def timed_pairs(operation, pairs):
    """Like timed_loop for two-argument calls, keeping the answers."""
    answers = []
    append = answers.append
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for a, b in pairs:
            append(operation(a, b))
        cost = (time.perf_counter_ns() - start) / max(len(pairs), 1)
    finally:
        gc.enable()
    return cost, answers


def finisher(graph):
    """The call that finishes a task: networkx's own remove_node for networkx."""
    return graph.graph.remove_node if isinstance(graph, NxDAG) else graph.finish_node


def asker(graph):
    """has_path where every name exists: networkx is asked directly, without the wrapper."""
    return (lambda s, t: nx.has_path(graph.graph, s, t)) if isinstance(graph, NxDAG) else graph.has_path


def sample_queries(names, rng, count):
    return [(rng.choice(names), rng.choice(names)) for _ in range(count)]


def task_workload(cls, names, edges, queries):
    """{operation: ns per call} for building, querying and draining the task graph, and
    every answer."""
    graph = cls()
    build, answers = timed_pairs(graph.add_edge, edges)
    ask, found = timed_pairs(asker(graph), queries)
    finish = timed_loop(finisher(graph), names)
    return {"add_edge": build, "has_path": ask, "finish_node": finish}, answers + found


def sliding(cls, seed, steps):
    """ns per step: a new task with edges from 2 random live ones, then the oldest finished.
    The picks are drawn before the clock starts, so that a step times the calls alone."""
    rng = random.Random(seed)
    graph = cls()
    tasks = ["task-%d" % i for i in range(WINDOW + steps)]
    # Task i's dependencies, among the live tasks[max(0, i - WINDOW):i].
    deps = [[tasks[max(0, i - WINDOW) + rng.randrange(min(i, WINDOW))] for _ in range(2)] if i else []
            for i in range(WINDOW + steps)]
    answers = [graph.add_node(tasks[0])]
    append, add_edge, finish = answers.append, graph.add_edge, finisher(graph)
    for i in range(1, WINDOW):
        for dep in deps[i]:
            append(add_edge(dep, tasks[i]))

    def step(i):
        first, second = deps[i]
        task = tasks[i]
        append(add_edge(first, task))
        append(add_edge(second, task))
        finish(tasks[i - WINDOW])

    cost = timed_loop(step, range(WINDOW, WINDOW + steps))
    return {"step": cost}, answers


def random_graph(model, n, seed, queries):
    """4n edges and the queries, uniform over n nodes or inside groups of 64."""
    rng = random.Random(seed)
    names = ["n%d" % i for i in range(n)]
    if model == "uniform":
        def pick():
            return names[rng.randrange(n)], names[rng.randrange(n)]
    else:
        def pick():
            base = rng.randrange(n // 64) * 64
            return names[base + rng.randrange(64)], names[base + rng.randrange(64)]
    return names, [pick() for _ in range(4 * n)], [pick() for _ in range(queries)]


def random_workload(cls, names, edges, queries):
    graph = cls()
    for name in names:
        graph.add_node(name)
    build, answers = timed_pairs(graph.add_edge, edges)
    ask, found = timed_pairs(graph.has_path, queries)
    return {"add_edge": build, "has_path": ask}, answers + found


def backward_chain(n):
    names = [str(i) for i in range(n + 1)]
    return names, [(names[k + 1], names[k]) for k in range(n)]


def reverse_topological(n):
    names, edges = task_graph(n, random.Random(n))
    return names[::-1], edges[::-1]


def chain_then_across(n):
    early = ["early-%d" % i for i in range(n)]
    chain = ["chain-%d" % i for i in range(n)]
    late = ["late-%d" % i for i in range(n)]
    edges = [(chain[i], chain[i + 1]) for i in range(n - 1)]
    for i in range(n):
        edges += [(chain[i], early[i]), (late[i], chain[i])]
    return early + chain + late, edges


ADVERSARIAL = {
    "backward chain": backward_chain,
    "reverse topological insertion": reverse_topological,
    "chain then edges across": chain_then_across,
}


def adversarial_workload(cls, names, edges):
    """ns per edge (all of them: the chain's own edges too) after registering the names."""
    graph = cls()
    for name in names:
        graph.add_node(name)
    cost, answers = timed_pairs(graph.add_edge, edges)
    return {"add_edge": cost}, answers


MEMORY_SCRIPT = """
import random, sys
sys.path[:0] = {path!r}
N = {n}
names = ["task-%d" % i for i in range(N)]
rng = random.Random(7)
edges = [(names[rng.randrange(i)], names[i]) for i in range(1, N) for _ in range(2)]
{imports}
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
{build}
print((rss() - before) / N)
"""

MEMORY_BUILDS = {
    "brambleloft": ("import brambleloft", "g = brambleloft.DAG()\nfor u, v in edges: g.add_edge(u, v)"),
    "networkx": ("import networkx", "g = networkx.DiGraph()\nfor u, v in edges: g.add_edge(u, v)"),
    # The dict from name to index is part of what a rustworkx user keeps.
    "rustworkx": ("import rustworkx",
                  "g = rustworkx.PyDiGraph(check_cycle=True, multigraph=False)\nindex = {}\n"
                  "for u, v in edges:\n"
                  "    a = index.get(u)\n"
                  "    if a is None: a = index[u] = g.add_node(u)\n"
                  "    b = index.get(v)\n"
                  "    if b is None: b = index[v] = g.add_node(v)\n"
                  "    g.add_edge(a, b, None)"),
}


def memory_per_node(which, n):
    imports, body = MEMORY_BUILDS[which]
    script = MEMORY_SCRIPT.format(path=sys.path, n=n, imports=imports, build=body)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return {"memory": float(out.stdout)}, []


class Table:
    """Rows of figures for the three, their answers cross-checked against brambleloft's."""

    def __init__(self):
        self.rows = []
        self.disagreements = []

    def measure(self, label, repeats, runs):
        """runs: {impl: callable returning ({operation: cost}, answers)}; the impls take
        turns, repeats times, and each keeps its lowest cost per operation."""
        best, answers = {}, {}
        for _ in range(repeats):
            for impl, run in runs.items():
                costs, answers[impl] = run()
                mine = best.setdefault(impl, {})
                for operation, cost in costs.items():
                    mine[operation] = min(cost, mine.get(operation, cost))
        for impl in runs:
            if impl != "brambleloft" and answers[impl] != answers["brambleloft"]:
                self.disagreements.append("%s: %s" % (label, impl))
                print("!! %s: brambleloft and %s disagree" % (label, impl), file=sys.stderr)
        for operation in best["brambleloft"]:
            self.rows.append((label, operation, {impl: best[impl][operation] for impl in runs}))
        print("  done: %s" % label, file=sys.stderr)
        return best

    def print(self):
        print("| workload | operation | brambleloft | rustworkx | networkx | vs rustworkx | vs networkx |")
        print("|---|---|---|---|---|---|---|")
        for label, operation, costs in self.rows:
            unit = (lambda c: "%.0f B" % c) if operation == "memory" else (lambda c: "%.2f µs" % (c / 1e3))
            ours = costs["brambleloft"]
            cells = [unit(costs[p]) if p in costs else "n/a" for p in PEERS]
            ratios = ["%.3f" % (ours / costs[p]) if p in costs else "n/a" for p in PEERS]
            print("| %s | %s | %s | %s | %s | %s | %s |" % (label, operation, unit(ours), *cells, *ratios))


def impls_for(n, limit=NETWORKX_LIMIT):
    return [impl for impl in IMPLS if impl != "networkx" or n <= limit]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(__file__), "dag_scale.png"))
    parser.add_argument("--no-chart", action="store_true")
    parser.add_argument("--sizes", default=",".join(map(str, SIZES)),
                        help="task graph sizes (4000000 is optional: minutes and ~4 GB)")
    parser.add_argument("--steps", type=int, default=20_000, help="sliding window steps")
    parser.add_argument("--queries", type=int, default=20_000,
                        help="has_path queries (fewer on the largest graphs)")
    parser.add_argument("--adversarial", default="2000,32000",
                        help="adversarial sizes; networkx runs only the first")
    args = parser.parse_args()
    print("Python %s; rustworkx %s; networkx %s" % (sys.version.split()[0], rx.__version__, nx.__version__))

    table = Table()
    curves = {}
    for n in map(int, args.sizes.split(",")):
        names, edges = task_graph(n, random.Random(n))
        queries = sample_queries(names, random.Random(2), min(args.queries, 2 * 10**9 // n))
        repeats = 3 if n <= 20_000 else 2 if n <= 100_000 else 1
        best = table.measure(
            "task graph N=%s" % format(n, ","), repeats,
            {impl: (lambda cls=IMPLS[impl]: task_workload(cls, names, edges, queries)) for impl in impls_for(n)})
        for operation in ("add_edge", "has_path", "finish_node"):
            for impl, costs in best.items():
                curves.setdefault(operation, {}).setdefault(impl, {})[n] = costs[operation]
        del names, edges, queries
        if n >= 100_000:
            table.measure("task graph N=%s" % format(n, ","), 1,
                          {impl: (lambda impl=impl: memory_per_node(impl, n)) for impl in impls_for(n)})

    table.measure("sliding window of %s" % format(WINDOW, ","), 2,
                  {impl: (lambda cls=IMPLS[impl]: sliding(cls, 3, args.steps)) for impl in IMPLS})

    for model, n in (("uniform", 2_000), ("clustered", 2_000), ("clustered", 20_000)):
        names, edges, queries = random_graph(model, n, n, 2_000 if model == "uniform" else 20_000)
        table.measure("%s N=%s, %s edges" % (model, format(n, ","), format(len(edges), ",")), 3,
                      {impl: (lambda cls=IMPLS[impl]: random_workload(cls, names, edges, queries))
                       for impl in IMPLS})

    sizes = list(map(int, args.adversarial.split(",")))
    for label, make in ADVERSARIAL.items():
        for n in sizes:
            names, edges = make(n)
            table.measure("%s n=%s" % (label, format(n, ",")), 3 if n <= 2_000 else 1,
                          {impl: (lambda cls=IMPLS[impl]: adversarial_workload(cls, names, edges))
                           for impl in impls_for(n, sizes[0])})

    print()
    table.print()
    if not args.no_chart:
        draw(curves, args.chart)
    if table.disagreements:
        sys.exit(1)


def draw(curves, path):
    plt = pyplot()
    if plt is None:
        return

    fig, axes = plt.subplots(1, 3, figsize=(15, 4))
    titles = {"add_edge": "add_edge while building", "has_path": "has_path, random tasks",
              "finish_node": "finish_node while draining"}
    styles = {"brambleloft": "o-", "rustworkx": "^-.", "networkx": "s--"}
    for ax, (operation, title) in zip(axes, titles.items()):
        for impl, points in curves.get(operation, {}).items():
            sizes = sorted(points)
            ax.plot(sizes, [points[n] / 1e3 for n in sizes], styles[impl], label=impl)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("tasks N (each depends on 2 earlier ones)")
        ax.set_ylabel("µs per operation")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("chart: %s" % path)


if __name__ == "__main__":
    main()
