"""Instruction and cache-miss counts per call, which a busy machine cannot move.

Run with `make bench` (or `PYTHONPATH=<build dir> python3 bench/counts.py`; needs
valgrind). Prints, per call:
- instructions (callgrind) of hot calls of brambleloft beside the cost floor's
  call of the same shape (bench/floor, which make build builds beside the module),
  in both calling conventions;
- instructions of hot get and insert beside dict's;
- instructions and last-level cache misses (cachegrind, an 8 MiB last level) of a
  cold CuckooHash.get hit beside dict.get.

Each figure comes from two runs of a fresh interpreter that differ only in the
number of calls, N and 2N: their difference holds N calls and none of the start-up
or setup. The same difference for a loop that makes no call is taken off, so what
remains is the call itself.
"""
import argparse
import itertools
import os
import random
import re
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

LAST_LEVEL = "8388608,16,64"  # bytes, ways, line: cachegrind's last-level cache


# --- the workloads, run in the child interpreter under valgrind -------------------

def names(prefix, n):
    return [f"{prefix}-{i:07d}" for i in range(n)]


def shuffled(items, seed):
    items = list(items)
    random.Random(seed).shuffle(items)
    return items


def hot_keys(calls):
    keys = names("key", 1000)
    return [keys[i % 1000] for i in range(calls)]


def filled_table(module, keys, size):
    table = module.CuckooHash(size)
    for k in keys:
        table.insert(k, "value-" + k)
    return table


def task_edges(n, seed):
    """Edges of n tasks, each depending on 2 random earlier ones."""
    rng = random.Random(seed)
    tasks = names("task", n)
    return tasks, [(tasks[rng.randrange(i)], tasks[i]) for i in range(1, n) for _ in range(2)]


def built_dag(module, edges):
    dag = module.DAG()
    for e in edges:
        dag.add_edge(*e)
    return dag


def setup(workload, total):
    """(the call to count, its argument sequence of `total` items) for a workload "CALLEE@DATA".

    CALLEE is one of our methods, a method of the floor (bench/floor), `dict` (dict.get of the
    keys, or storing the pairs by subscription) or `loop` (no call: the loop's own share). The setup depends on `total` only, so
    that the N and 2N runs differ in the calls alone."""
    import brambleloft
    import brambleloft_floor

    callee, data = workload.split("@")
    if data == "hot":
        items = hot_keys(total)
        instance = lambda: filled_table(brambleloft, items[:1000], 2000)
    elif data == "cold":
        keys = names("key", 100_000)
        items = shuffled(keys, 5)
        instance = lambda: filled_table(brambleloft, keys, 200_000)
    elif data == "fresh":
        items = [(k, "value-" + k) for k in names("fresh", total)]
        instance = lambda: brambleloft.CuckooHash(4 * total)
    elif data == "edges":
        _, items = task_edges(total, 1)
        instance = brambleloft.DAG
    elif data == "queries":
        tasks, edges = task_edges(10_000, 2)
        rng = random.Random(3)
        items = [(tasks[rng.randrange(10_000)], tasks[rng.randrange(10_000)]) for _ in range(total)]
        instance = lambda: built_dag(brambleloft, edges)
    elif data == "absent":
        # A call whose core does next to nothing: two names looked up in an empty graph.
        items = [(k, k + "'") for k in names("missing", total)]
        instance = brambleloft.DAG
    elif data == "tasks":
        # Tasks finished in creation order from a graph twice the size of the run.
        tasks, edges = task_edges(2 * total, 4)
        items = tasks
        instance = lambda: built_dag(brambleloft, edges)
    else:
        raise SystemExit(f"unknown data {data}")
    if callee == "loop":
        return None, items
    if callee == "dict" and data == "fresh":
        return {}, items  # filled by subscription, as a user fills one
    if callee == "dict":
        return {k: "value-" + k for k in items}.get, items
    floor = brambleloft_floor.Floor()
    if hasattr(floor, callee):
        return getattr(floor, callee), items
    return getattr(instance(), callee), items


def child(workload, calls, total):
    """Makes `calls` calls of the workload's sequence of `total` items."""
    import gc

    call, items = setup(workload, total)
    two = isinstance(items[0], tuple)
    gc.collect()
    gc.disable()
    items = itertools.islice(items, calls)
    if call is None and two:  # the loop alone, of the same shape
        for a, b in items:
            pass
    elif call is None:
        for a in items:
            pass
    elif workload.startswith("dict@") and two:
        for a, b in items:
            call[a] = b
    elif workload.startswith("empty_"):
        for a in items:
            call()
    elif two:
        for a, b in items:
            call(a, b)
    else:
        for a in items:
            call(a)


# --- the parent: valgrind runs and their differences --------------------------------

def valgrind(tool, workload, calls, total, env):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out")
        command = ["valgrind", f"--tool={tool}", f"--{tool}-out-file={out}"]
        if tool == "cachegrind":
            command += ["--cache-sim=yes", f"--LL={LAST_LEVEL}"]
        command += [sys.executable, os.path.abspath(__file__), "--child", workload, str(calls), str(total)]
        subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as data:
            text = data.read()
    events = re.search(r"^events: (.*)$", text, re.M).group(1).split()
    totals = re.search(r"^(?:summary|totals): (.*)$", text, re.M).group(1).split()
    return dict(zip(events, map(int, totals)))


class Runs:
    """Valgrind runs on a pool, each (tool, workload, calls) made once."""

    def __init__(self, pool, env):
        self.pool, self.env, self.runs = pool, env, {}

    def start(self, tool, workload, n):
        """Queues the N and 2N runs of a workload, each over a sequence of 2N items."""
        for calls in (n, 2 * n):
            key = (tool, workload, calls)
            if key not in self.runs:
                self.runs[key] = self.pool.submit(valgrind, tool, workload, calls, 2 * n, self.env)

    def per_call(self, tool, callee, data, n):
        """Events per call: the 2N run less the N run, less the loop's own share, over N."""
        counts = {}
        for workload in (f"{callee}@{data}", f"loop@{data}"):
            self.start(tool, workload, n)
            counts[workload] = [self.runs[tool, workload, calls].result() for calls in (n, 2 * n)]
        (ours_n, ours_2n), (loop_n, loop_2n) = counts.values()
        return {event: ((ours_2n[event] - ours_n[event]) - (loop_2n[event] - loop_n[event])) / n for event in ours_n}


# label, our call, the floor's shape (bench/floor) and the data
HOT_ROWS = [
    ("get, 1,000 hot keys", "get", "echo", "hot"),
    ("insert, fresh keys", "insert", "pair", "fresh"),
    ("add_edge, tasks with 2 earlier deps", "add_edge", "pair", "edges"),
    ("has_path, 10,000 tasks", "has_path", "pair", "queries"),
    ("has_path, empty graph (no core work)", "has_path", "pair", "absent"),
    ("finish_node, creation order", "finish_node", None, "tasks"),
    ("empty call (the floor alone)", None, "empty", "hot"),
]
CONVENTIONS = ("fast", "tuple")
# our call and the data on which dict does the same
DICT_ROWS = [("get", "hot"), ("insert", "fresh")]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=10_000, help="N for the hot rows")
    parser.add_argument("--cold-calls", type=int, default=25_000, help="N for the cold rows (of 100,000 keys)")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    env = dict(os.environ, PYTHONHASHSEED="0")
    ours_convention = "fast" if sys.version_info >= (3, 10) else "tuple"
    valgrind_version = subprocess.run(["valgrind", "--version"], capture_output=True, text=True).stdout.strip()
    print(f"Python {sys.version.split()[0]}; {valgrind_version}; brambleloft takes the {ours_convention} convention")
    floor_echo = f"echo_{ours_convention}"
    with ThreadPoolExecutor(args.jobs) as pool:
        runs = Runs(pool, env)
        # Everything is queued at once, so that the pool never waits for a row.
        for _, ours, shape, data in HOT_ROWS:
            callees = ([ours] if ours else []) + ([f"{shape}_{c}" for c in CONVENTIONS] if shape else [])
            for workload in [f"{callee}@{data}" for callee in callees] + [f"loop@{data}"]:
                runs.start("callgrind", workload, args.calls)
        for ours, data in DICT_ROWS:
            for callee in (ours, "dict", "loop"):
                runs.start("callgrind", f"{callee}@{data}", args.calls)
        for callee in ("get", "dict", floor_echo, "loop"):
            runs.start("cachegrind", f"{callee}@cold", args.cold_calls)

        print("\nInstructions per hot call (callgrind), the loop's own share taken off; the floor (bench/floor)")
        print(f"in each calling convention, and ours over the floor in the {ours_convention} one")
        print(f"{'call':<38} {'brambleloft':>12} {'floor':>6} {'fast':>6} {'tuple':>6} {'ratio':>6}")
        for label, ours, shape, data in HOT_ROWS:
            ours_count = runs.per_call("callgrind", ours, data, args.calls)["Ir"] if ours else None
            floors = {c: runs.per_call("callgrind", f"{shape}_{c}", data, args.calls)["Ir"] for c in CONVENTIONS
                      } if shape else {}
            cells = [f"{ours_count:>12.0f}" if ours else f"{'':>12}", f"{shape or '':>6}"]
            cells += [f"{floors[c]:>6.0f}" if shape else f"{'':>6}" for c in CONVENTIONS]
            cells.append(f"{ours_count / floors[ours_convention]:>6.2f}" if ours and shape else "")
            print(f"{label:<38} " + " ".join(cells), flush=True)
        print("\nInstructions per hot call against dict (callgrind), the loop's own share taken off")
        print(f"{'call':<38} {'brambleloft':>12} {'dict':>8} {'ratio':>6}")
        for ours, data in DICT_ROWS:
            ours_count = runs.per_call("callgrind", ours, data, args.calls)["Ir"]
            theirs = runs.per_call("callgrind", "dict", data, args.calls)["Ir"]
            label = {"get": "get / dict.get, 1,000 hot keys", "insert": "insert / d[key] = value, fresh keys"}[ours]
            print(f"{label:<38} {ours_count:>12.0f} {theirs:>8.0f} {ours_count / theirs:>6.2f}", flush=True)
        print(f"\nCold get hit, 100,000 keys in shuffled order (cachegrind, last level {LAST_LEVEL})")
        print(f"{'per call':<32} {'brambleloft':>12} {'dict.get':>10} {'ratio':>6} {'floor ' + floor_echo:>16}")
        ours = runs.per_call("cachegrind", "get", "cold", args.cold_calls)
        theirs = runs.per_call("cachegrind", "dict", "cold", args.cold_calls)
        floor = runs.per_call("cachegrind", floor_echo, "cold", args.cold_calls)
        for label, event in (("instructions", "Ir"), ("last-level read misses", "DLmr"),
                             ("first-level data read misses", "D1mr")):
            print(f"{label:<32} {ours[event]:>12.2f} {theirs[event]:>10.2f} "
                  f"{ours[event] / theirs[event]:>6.2f} {floor[event]:>16.2f}")


if __name__ == "__main__":
    main()
