"""Times brambleloft against Python's dict and, where installed, networkx.

Run with `make bench`. Prints nanoseconds per operation and the ratio to the
reference (below 1 means brambleloft is faster). Nothing here is asserted.
"""
import argparse
import random
import sys
import time

from brambleloft import DAG, CuckooHash

try:
    import networkx as nx
except ImportError:  # the comparison is skipped where networkx is absent
    nx = None


def timed(operation, items):
    """ns per item for calling operation on each item once."""
    start = time.perf_counter_ns()
    for item in items:
        operation(item)
    return (time.perf_counter_ns() - start) / len(items)


def best_of(repeats, setup, run):
    """The fastest of several fresh runs: the least disturbed by the machine."""
    return min(run(setup()) for _ in range(repeats))


def table_rows(n, repeats):
    rng = random.Random(1)
    keys = [f"key-{rng.getrandbits(48):012x}" for _ in range(n)]
    missing = [f"absent-{i}" for i in range(n)]
    values = [f"value-{i}" for i in range(n)]
    pairs = list(zip(keys, values))

    def filled_table():
        table = CuckooHash(n)  # sized for the keys, as one would size it
        for k, v in pairs:
            table.insert(k, v)
        return table

    def filled_dict():
        return dict(pairs)

    rows = []
    rows.append(
        (
            f"insert {n:,} keys",
            best_of(repeats, lambda: CuckooHash(n), lambda t: timed(lambda p: t.insert(*p), pairs)),
            best_of(repeats, dict, lambda d: timed(lambda p: d.__setitem__(*p), pairs)),
        )
    )
    table, reference = filled_table(), filled_dict()
    rows.append(
        (
            "get (present)",
            best_of(repeats, lambda: table, lambda t: timed(t.get, keys)),
            best_of(repeats, lambda: reference, lambda d: timed(d.get, keys)),
        )
    )
    rows.append(
        (
            "get (absent)",
            best_of(repeats, lambda: table, lambda t: timed(t.get, missing)),
            best_of(repeats, lambda: reference, lambda d: timed(d.get, missing)),
        )
    )
    rows.append(
        (
            "remove",
            best_of(repeats, filled_table, lambda t: timed(t.remove, keys)),
            best_of(repeats, filled_dict, lambda d: timed(lambda k: d.pop(k, None), keys)),
        )
    )
    return "dict", rows


def random_edges(n, m, seed):
    """m random edges over n names; about half would close a cycle if all were kept."""
    rng = random.Random(seed)
    names = [f"task-{i}" for i in range(n)]
    return [(names[rng.randrange(n)], names[rng.randrange(n)]) for _ in range(m)]


def nx_add_edge(graph, edge):
    source, target = edge
    if source == target or graph.has_edge(source, target):
        return False
    if source in graph and target in graph and nx.has_path(graph, target, source):
        return False
    graph.add_edge(source, target)
    return True


def graph_rows(n, repeats):
    # Sparse enough that searches stay local; a dense random graph makes every
    # cycle test walk most of the graph in any implementation.
    edges = random_edges(n, n // 2, seed=n)
    rng = random.Random(7)
    queries = [(f"task-{rng.randrange(n)}", f"task-{rng.randrange(n)}") for _ in range(20_000)]

    def built_dag():
        dag = DAG()
        for e in edges:
            dag.add_edge(*e)
        return dag

    dag = built_dag()
    ours = [
        best_of(repeats, DAG, lambda d: timed(lambda e: d.add_edge(*e), edges)),
        best_of(repeats, lambda: dag, lambda d: timed(lambda q: d.has_path(*q), queries)),
    ]
    theirs = [None, None]
    if nx is not None:
        graph = nx.DiGraph()
        for e in edges:
            nx_add_edge(graph, e)
        theirs = [
            best_of(1, nx.DiGraph, lambda g: timed(lambda e: nx_add_edge(g, e), edges)),
            best_of(1, lambda: graph, lambda g: timed(lambda q: q[0] in g and q[1] in g and nx.has_path(g, *q), queries)),
        ]
        # Timings only mean something if both accept exactly the same edges.
        fresh_dag, fresh_graph = DAG(), nx.DiGraph()
        if [fresh_dag.add_edge(*e) for e in edges] != [nx_add_edge(fresh_graph, e) for e in edges]:
            raise SystemExit("brambleloft and networkx disagree on which edges to accept")
    labels = [f"add_edge, {n:,} nodes, {len(edges):,} edges", f"has_path, {n:,} nodes"]
    return "networkx DiGraph", list(zip(labels, ours, theirs))


def print_table(title, reference, rows):
    print(f"\n{title}")
    print(f"{'operation':<40} {'brambleloft ns/op':>18} {reference + ' ns/op':>24} {'ratio':>8}")
    for label, ours, theirs in rows:
        other = f"{theirs:,.0f}" if theirs is not None else "n/a"
        ratio = f"{ours / theirs:.2f}" if theirs else "n/a"
        print(f"{label:<40} {ours:>18,.0f} {other:>24} {ratio:>8}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; networkx {'absent' if nx is None else nx.__version__}")
    table_size = 10_000 if args.quick else 100_000
    reference, rows = table_rows(table_size, args.repeats)
    print_table(f"CuckooHash vs dict, {table_size:,} keys", reference, rows)
    for n in (1_000, 10_000) if args.quick else (10_000, 100_000):
        reference, rows = graph_rows(n, args.repeats)
        print_table(f"DAG vs networkx, random graph of {n:,} nodes", reference, rows)


if __name__ == "__main__":
    main()
