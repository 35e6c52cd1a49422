"""Times brambleloft against Python's dict, the cost floor of a call and, where installed, networkx.

Run with `make bench`. Prints nanoseconds per operation and the ratio to the
reference (below 1 means brambleloft is faster). Nothing here is asserted.
"""
import argparse
import collections
import gc
import os
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


Floor = collections.namedtuple("Floor", "echo pair")


def load_floor():
    """The cost floor of each call shape (bench/floor), in the calling convention that our
    module takes on this interpreter: the fast one from 3.10 on, the tuple one before."""
    try:
        import brambleloft_floor
    except ImportError:
        raise SystemExit("brambleloft_floor is missing: make build builds it beside the module (bench/floor)")
    floor, convention = brambleloft_floor.Floor(), "fast" if sys.version_info >= (3, 10) else "tuple"
    return Floor(*(getattr(floor, f"{shape}_{convention}") for shape in Floor._fields))


def pyplot():
    """matplotlib's pyplot drawing to files, or None (and a note) where it is not installed."""
    try:
        import matplotlib
    except ImportError:
        print("chart skipped: matplotlib is not installed for %s" % sys.executable)
        return None
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    return plt


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def bytes_per_pair(fill, n):
    """Resident memory per pair that fill(n) keeps, by the process's RSS."""
    gc.collect()
    before = resident_bytes()
    kept = fill(n)
    after = resident_bytes()
    del kept
    return (after - before) / n


def twelve(prefix, i):
    return f"{prefix}{i:011d}"  # a fresh 12-character str object


def fill_table(n):
    table = CuckooHash(2 * n)  # two slots per pair, as the other benchmarks size their tables
    for i in range(n):
        table.insert(twelve("k", i), twelve("v", i))
    return table


def fill_dict(n):
    return {twelve("k", i): twelve("v", i) for i in range(n)}


def table_rows(n, repeats):
    rng = random.Random(1)
    keys = [f"key-{rng.getrandbits(48):012x}" for _ in range(n)]
    missing = [f"absent-{i}" for i in range(n)]
    values = [f"value-{i}" for i in range(n)]
    pairs = list(zip(keys, values))
    cold = rng.sample(keys, len(keys))  # each key once, in an order unrelated to insertion
    hot_keys = keys[:1000]
    hot = [k for _ in range(max(1, n // len(hot_keys))) for k in rng.sample(hot_keys, len(hot_keys))]

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
    for label, sequence in (("get (present, cold)", cold), ("get (present, 1,000 hot keys)", hot)):
        rows.append(
            (
                label,
                best_of(repeats, lambda: table, lambda t: timed(t.get, sequence)),
                best_of(repeats, lambda: reference, lambda d: timed(d.get, sequence)),
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
    pairs_for_memory = 10 * n
    rows.append(
        (
            f"bytes per pair of 12-char strs ({pairs_for_memory:,})",
            bytes_per_pair(fill_table, pairs_for_memory),
            bytes_per_pair(fill_dict, pairs_for_memory),
        )
    )
    return "dict", rows


def floor_rows(floor, n, repeats):
    """Our calls against the floor's of the same shape: the unavoidable part of each call."""
    rng = random.Random(2)
    keys = [f"key-{rng.getrandbits(48):012x}" for _ in range(n)]
    pairs = [(k, f"value-{i}") for i, k in enumerate(keys)]
    hot_keys = keys[:1000]
    hot = [k for _ in range(max(1, n // len(hot_keys))) for k in rng.sample(hot_keys, len(hot_keys))]
    table = CuckooHash(2 * n)
    for k, v in pairs:
        table.insert(k, v)
    rows = [
        (
            "get (present, 1,000 hot keys) / echo",
            best_of(repeats, lambda: table, lambda t: timed(t.get, hot)),
            best_of(repeats, lambda: floor, lambda f: timed(f.echo, hot)),
        ),
        (
            f"insert {n:,} keys into CuckooHash({2 * n:,}) / pair",
            best_of(repeats, lambda: CuckooHash(2 * n), lambda t: timed(lambda p: t.insert(*p), pairs)),
            best_of(repeats, lambda: floor, lambda f: timed(lambda kv: f.pair(*kv), pairs)),
        ),
    ]
    return "floor", rows


def capacity_of(table, probes, step):
    """The capacity, a multiple of `step`, from the largest index of many keys."""
    return (max(table.hash1(k) for k in probes) // step + 1) * step


def growth_rows(repeats):
    """A growth re-places every stored pair; a key's third value always causes one."""
    n = 100_000
    keys = [twelve("k", i) for i in range(n - 2)]
    probes = keys[:2000]
    per_pair = []
    for _ in range(repeats):
        table = CuckooHash(n)
        for k in keys:
            table.insert(k, k)
        table.insert("twice", "a")
        table.insert("twice", "b")
        while capacity_of(table, probes, n) < 1_000_000:
            table.insert("twice", "c")
        start = time.perf_counter_ns()
        refused = not table.insert("twice", "c")
        elapsed = time.perf_counter_ns() - start
        if not refused or capacity_of(table, probes, n) != 1_100_000:
            raise SystemExit("a third value was stored, or the growth went elsewhere")
        per_pair.append(elapsed / n)
    row = "refused 3rd value: growth to 1.1M slots, per pair"
    return "target", [(row, min(per_pair), 100.0)]


def capacity_rows(quick):
    """80,000 keys into tables of several initial sizes: a table grows by its initial size, so
    one started far below the count grows thousands of times. ms for all the keys."""
    keys = [f"key-{i:08d}" for i in range(80_000)]
    rows = []
    for size in ((1024, 80_000, 100_000) if quick else (16, 1024, 80_000, 100_000)):
        table, start = CuckooHash(size), time.perf_counter_ns()
        for key in keys:
            table.insert(key, key)
        rows.append((f"insert 80,000 keys into CuckooHash({size:,}), ms", (time.perf_counter_ns() - start) / 1e6, None))
    return "", rows


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
    print(f"{'operation (ns/op; bytes for memory)':<52} {'brambleloft':>12} {reference:>18} {'ratio':>8}")
    for label, ours, theirs in rows:
        other = f"{theirs:,.1f}" if theirs is not None else "n/a"
        ratio = f"{ours / theirs:.2f}" if theirs else "n/a"
        print(f"{label:<52} {ours:>12,.1f} {other:>18} {ratio:>8}")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for a smoke run")
    args = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; networkx {'absent' if nx is None else nx.__version__}")
    table_size = 10_000 if args.quick else 100_000
    reference, rows = table_rows(table_size, args.repeats)
    print_table(f"CuckooHash vs dict, {table_size:,} keys", reference, rows)
    reference, rows = growth_rows(args.repeats)
    print_table("CuckooHash growth (CuckooHash(100,000) holding 100,000 pairs)", reference, rows)
    reference, rows = capacity_rows(args.quick)
    print_table("CuckooHash initial capacity (one run each)", reference, rows)
    reference, rows = floor_rows(load_floor(), table_size, args.repeats)
    print_table("CuckooHash vs the cost floor of a call (bench/floor)", reference, rows)
    for n in (1_000, 10_000) if args.quick else (10_000, 100_000):
        reference, rows = graph_rows(n, args.repeats)
        print_table(f"DAG vs networkx, random graph of {n:,} nodes", reference, rows)


if __name__ == "__main__":
    main()
