"""DAG at scale: brambleloft's DAG against networkx on task-graph workloads.

Run with `make bench` (or `PYTHONPATH=<build dir> python3 bench/dag_scale.py`). Prints a
Markdown table of cost per operation for both and their ratio (below 1 means brambleloft
is faster), checks that both give the same answers, and draws the cost per operation
against N as a chart (--chart, default bench/dag_scale.png; needs matplotlib).

Workloads, each on the same random data for both:
- drain: N tasks, each depending on 2 random earlier ones (an edge from each dependency
  to the task); every task is then finished in creation order (networkx: remove_node).
- sliding window: 10,000 live tasks; each step adds a task with edges from 2 random live
  ones and finishes the oldest.
- has_path between random tasks of a 100,000-task graph.
- memory per node: RSS growth of a fresh interpreter building a 100,000-task graph.
"""
import argparse
import gc
import os
import random
import subprocess
import sys
import time

import networkx as nx

from bench import nx_add_edge  # bench/bench.py, beside this file
from brambleloft import DAG

SIZES = (2_000, 20_000, 100_000)
WINDOW = 10_000


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


def task_graph(n, rng):
    """Names and the edges of n tasks, each depending on 2 random earlier ones."""
    names = ["task-%d" % i for i in range(n)]
    edges = [(names[rng.randrange(i)], names[i]) for i in range(1, n) for _ in range(2)]
    return names, edges


def build(cls, edges):
    graph = cls()
    answers = [graph.add_edge(u, v) for u, v in edges]
    return graph, answers


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


def finisher(graph):
    """The call that finishes a task: networkx's own remove_node for networkx."""
    return graph.graph.remove_node if isinstance(graph, NxDAG) else graph.finish_node


def sample_queries(names, rng, count):
    return [(rng.choice(names), rng.choice(names)) for _ in range(count)]


def drain(cls, names, edges, finishes, probes):
    """ns per finish over the first `finishes` tasks in creation order; the answers are
    the edges' and those of has_path probes among the later half, asked midway."""
    graph, answers = build(cls, edges)
    finish = finisher(graph)
    half = min(finishes, len(names) // 2)
    first = timed_loop(finish, names[:half])
    answers += [graph.has_path(s, t) for s, t in probes]
    rest = names[half:finishes]
    second = timed_loop(finish, rest)
    return (first * half + second * len(rest)) / finishes, answers


def sliding(cls, seed, steps):
    """ns per step: a new task with edges from 2 random live ones, then the oldest finished."""
    rng = random.Random(seed)
    graph = cls()
    tasks = ["task-%d" % i for i in range(WINDOW + steps)]
    answers = []
    oldest = 0  # tasks[oldest:newest] are live

    def add(newest):
        live = newest - oldest
        if not live:
            answers.append(graph.add_node(tasks[newest]))
        for _ in range(2 if live else 0):
            answers.append(graph.add_edge(tasks[oldest + rng.randrange(live)], tasks[newest]))

    for newest in range(WINDOW):
        add(newest)
    finish = finisher(graph)

    def step(newest):
        nonlocal oldest
        add(newest)
        finish(tasks[oldest])
        oldest += 1

    cost = timed_loop(step, range(WINDOW, WINDOW + steps))
    return cost, answers


def has_path_costs(cls, edges, queries):
    graph, answers = build(cls, edges)
    # Every name exists, so networkx is asked directly, without the wrapper.
    ask = (lambda s, t: nx.has_path(graph.graph, s, t)) if cls is NxDAG else graph.has_path
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter_ns()
        for s, t in queries:
            answers.append(ask(s, t))
        cost = (time.perf_counter_ns() - start) / len(queries)
    finally:
        gc.enable()
    return cost, answers


MEMORY_SCRIPT = """
import sys
names = ["task-%d" % i for i in range(N)]
import random
rng = random.Random(7)
edges = [(names[rng.randrange(i)], names[i]) for i in range(1, N) for _ in range(2)]
import {module}
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096
before = rss()
{build}
print((rss() - before) / N)
"""

MEMORY_BUILDS = {
    "brambleloft": ("brambleloft", "g = brambleloft.DAG()\nfor u, v in edges: g.add_edge(u, v)"),
    "networkx": ("networkx", "g = networkx.DiGraph()\nfor u, v in edges: g.add_edge(u, v)"),
}


def memory_per_node(which, n):
    module, body = MEMORY_BUILDS[which]
    script = MEMORY_SCRIPT.replace("N)", "%d)" % n).format(module=module, build=body)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    return float(out.stdout)


def best(repeats, run):
    """The fastest of several runs (the least disturbed), with the answers of the last."""
    results = [run() for _ in range(repeats)]
    return min(cost for cost, _ in results), results[-1][1]


def compare(label, unit, ours, theirs, rows):
    (our_cost, our_answers), (their_cost, their_answers) = ours, theirs
    agree = our_answers == their_answers
    if not agree:
        print("!! %s: brambleloft and networkx disagree" % label, file=sys.stderr)
    rows.append((label, unit, our_cost, their_cost, agree))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--chart", default=os.path.join(os.path.dirname(__file__), "dag_scale.png"))
    parser.add_argument("--no-chart", action="store_true")
    parser.add_argument("--finishes", type=int, default=0,
                        help="time only this many finishes per drain (0: all)")
    parser.add_argument("--steps", type=int, default=20_000, help="sliding window steps")
    parser.add_argument("--queries", type=int, default=20_000)
    args = parser.parse_args()

    rows = []
    curves = {"drain": {}, "has_path": {}}
    for n in SIZES:
        names, edges = task_graph(n, random.Random(n))
        finishes = min(n, args.finishes) if args.finishes else n
        probes = sample_queries(names[n // 2:], random.Random(1), 200)
        repeats = 3 if n <= 20_000 else 2
        ours = best(repeats, lambda: drain(DAG, names, edges, finishes, probes))
        theirs = best(repeats, lambda: drain(NxDAG, names, edges, finishes, probes))
        compare("drain N=%s (%s finishes)" % (format(n, ","), format(finishes, ",")),
                "per finish", ours, theirs, rows)
        curves["drain"][n] = (ours[0], theirs[0])

        queries = sample_queries(names, random.Random(2), args.queries)
        ours = has_path_costs(DAG, edges, queries)
        theirs = has_path_costs(NxDAG, edges, queries)
        compare("has_path N=%s" % format(n, ","), "per query", ours, theirs, rows)
        curves["has_path"][n] = (ours[0], theirs[0])

    ours = best(2, lambda: sliding(DAG, 3, args.steps))
    theirs = best(2, lambda: sliding(NxDAG, 3, args.steps))
    compare("sliding window of %s" % format(WINDOW, ","), "per step", ours, theirs, rows)

    ours_bytes = memory_per_node("brambleloft", 100_000)
    their_bytes = memory_per_node("networkx", 100_000)

    print("| workload | unit | brambleloft | networkx | ratio | same answers |")
    print("|---|---|---|---|---|---|")
    for label, unit, our_cost, their_cost, agree in rows:
        print("| %s | %s | %.2f µs | %.2f µs | %.3f | %s |"
              % (label, unit, our_cost / 1e3, their_cost / 1e3, our_cost / their_cost,
                 "yes" if agree else "NO"))
    print("| memory, N=100,000, 2 edges each | per node | %.0f B | %.0f B | %.3f | |"
          % (ours_bytes, their_bytes, ours_bytes / their_bytes))

    if not args.no_chart:
        draw(curves, args.chart)
    if not all(agree for *_, agree in rows):
        sys.exit(1)


def draw(curves, path):
    try:
        import matplotlib
    except ImportError:
        print("chart skipped: matplotlib is not installed for %s" % sys.executable)
        return

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(10, 4))
    titles = {"drain": "finish_node while draining", "has_path": "has_path, random tasks"}
    for ax, (name, points) in zip(axes, curves.items()):
        sizes = sorted(points)
        for side, label, style in ((0, "brambleloft", "o-"), (1, "networkx", "s--")):
            ax.plot(sizes, [points[n][side] / 1e3 for n in sizes], style, label=label)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("tasks N (each depends on 2 earlier ones)")
        ax.set_ylabel("µs per operation")
        ax.set_title(titles[name])
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print("chart: %s" % path)


if __name__ == "__main__":
    main()
