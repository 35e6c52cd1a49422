"""Instruction and cache-miss counts per call, which a busy machine cannot move.

Run with `make bench` (or `PYTHONPATH=<build dir> python3 bench/counts.py`; needs
valgrind). Prints, per call:
- instructions (callgrind) of hot calls of brambleloft beside the cost floor's
  probe for the same call shape (../shared/perf/floorprobe.c, built into a
  temporary folder as ../shared/perf/bench.py builds it);
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


def setup(workload, calls, floor):
    """(the call to count, its argument sequence) for at least `calls` calls.

    The setup depends on `calls` only through the length of the sequence built, so
    that the N and 2N runs differ in the calls alone."""
    import brambleloft

    probe = floor.Probe() if floor is not None else None
    if workload.endswith("_fast"):
        # The fast-convention probes are in the floor built for the 3.10 limited API.
        import floorprobe310

        probe = floorprobe310.Probe()
    if workload in ("get", "echo_xxh", "echo_xxh_fast", "get-loop"):
        keys = hot_keys(calls)
        if workload == "get":
            return filled_table(brambleloft, keys[:1000], 2000).get, keys
        return (getattr(probe, workload) if workload in ("echo_xxh", "echo_xxh_fast") else None), keys
    if workload in ("insert", "pair", "pair_fast", "pair-loop"):
        keys = names("fresh", calls)
        pairs = [(k, "value-" + k) for k in keys]
        if workload == "insert":
            return brambleloft.CuckooHash(4 * calls).insert, pairs
        return (getattr(probe, workload) if workload in ("pair", "pair_fast") else None), pairs
    if workload == "empty-has_path":
        # A call whose core does next to nothing: two names looked up in an empty graph.
        return brambleloft.DAG().has_path, [(k, k + "'") for k in names("missing", calls)]
    if workload in ("add_edge", "pair-edges"):
        _, edges = task_edges(calls, 1)
        return (brambleloft.DAG().add_edge if workload == "add_edge" else probe.pair), edges
    if workload in ("has_path", "pair-queries"):
        tasks, edges = task_edges(10_000, 2)
        rng = random.Random(3)
        queries = [(tasks[rng.randrange(10_000)], tasks[rng.randrange(10_000)]) for _ in range(calls)]
        if workload == "pair-queries":
            return probe.pair, queries
        dag = brambleloft.DAG()
        for e in edges:
            dag.add_edge(*e)
        return dag.has_path, queries
    if workload in ("finish_node", "xxh", "xxh-loop"):
        # Tasks finished in creation order from a graph twice the size of the run.
        tasks, edges = task_edges(2 * calls, 4)
        if workload != "finish_node":
            return (probe.xxh if workload == "xxh" else None), tasks
        dag = brambleloft.DAG()
        for e in edges:
            dag.add_edge(*e)
        return dag.finish_node, tasks
    if workload in ("cold-get", "cold-dict", "cold-echo_xxh", "cold-loop"):
        keys = names("key", 100_000)
        order = shuffled(keys, 5)
        if workload == "cold-get":
            return filled_table(brambleloft, keys, 200_000).get, order
        if workload == "cold-dict":
            return {k: "value-" + k for k in keys}.get, order
        if workload == "cold-echo_xxh":
            return probe.echo_xxh, order
        return None, order
    raise SystemExit(f"unknown workload {workload}")


def child(workload, calls, total, floor_dir):
    """Makes `calls` calls of the workload's sequence of `total` items."""
    import gc

    floor = None
    if floor_dir:
        sys.path.insert(0, floor_dir)
        import floorprobe as floor
    call, items = setup(workload, total, floor)
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
    elif two:
        for a, b in items:
            call(a, b)
    else:
        for a in items:
            call(a)


# --- the parent: valgrind runs and their differences --------------------------------

def valgrind(tool, workload, calls, total, floor_dir, env):
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "out")
        command = ["valgrind", f"--tool={tool}", f"--{tool}-out-file={out}"]
        if tool == "cachegrind":
            command += ["--cache-sim=yes", f"--LL={LAST_LEVEL}"]
        command += [sys.executable, os.path.abspath(__file__), "--child", workload, str(calls), str(total),
                    floor_dir or ""]
        subprocess.run(command, check=True, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        with open(out) as data:
            text = data.read()
    events = re.search(r"^events: (.*)$", text, re.M).group(1).split()
    totals = re.search(r"^(?:summary|totals): (.*)$", text, re.M).group(1).split()
    return dict(zip(events, map(int, totals)))


class Runs:
    """Valgrind runs on a pool, each (tool, workload, calls) made once."""

    def __init__(self, pool, floor_dir, env):
        self.pool, self.floor_dir, self.env, self.runs = pool, floor_dir, env, {}

    def start(self, tool, workload, calls, total):
        key = (tool, workload, calls, total)
        if key not in self.runs:
            self.runs[key] = self.pool.submit(valgrind, tool, workload, calls, total, self.floor_dir, self.env)
        return self.runs[key]

    def per_call(self, tool, workload, baseline, n):
        """Events per call: the 2N run less the N run, less the loop's own share, over N."""
        futures = {(w, c): self.start(tool, w, c, 2 * n) for w in (workload, baseline) for c in (n, 2 * n)}
        counts = {key: future.result() for key, future in futures.items()}
        return {
            event: ((counts[workload, 2 * n][event] - counts[workload, n][event])
                    - (counts[baseline, 2 * n][event] - counts[baseline, n][event])) / n
            for event in counts[workload, n]
        }


def floor_folder():
    """Builds the floor probe (into a temporary folder) and returns that folder."""
    from bench import floor_harness  # bench/bench.py, beside this file

    harness = floor_harness()
    return harness.BUILD if harness else None


# call, its loop baseline, the floor's call and its baseline
HOT_ROWS = [
    ("get (1,000 hot keys)", "get", "get-loop", "echo_xxh"),
    ("insert (fresh keys)", "insert", "pair-loop", "pair"),
    ("add_edge (tasks, 2 earlier deps)", "add_edge", "pair-loop", "pair-edges"),
    ("has_path (10,000 tasks)", "has_path", "pair-loop", "pair-queries"),
    ("finish_node (creation order)", "finish_node", "xxh-loop", "xxh"),
    # Against the floor in the fast convention, which ours takes from 3.10 on.
    ("get (1,000 hot keys)", "get", "get-loop", "echo_xxh_fast"),
    ("insert (fresh keys)", "insert", "pair-loop", "pair_fast"),
    ("has_path, empty graph (no core work)", "empty-has_path", "pair-loop", "pair_fast"),
]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--child":
        child(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5] if len(sys.argv) > 5 else "")
        return
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--calls", type=int, default=10_000, help="N for the hot rows")
    parser.add_argument("--cold-calls", type=int, default=25_000, help="N for the cold rows (of 100,000 keys)")
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    env = dict(os.environ, PYTHONHASHSEED="0")
    floor_dir = floor_folder()
    print(f"Python {sys.version.split()[0]}; {subprocess.run(['valgrind', '--version'], capture_output=True, text=True).stdout.strip()}")
    with ThreadPoolExecutor(args.jobs) as pool:
        runs = Runs(pool, floor_dir, env)
        # Everything is queued at once, so that the pool never waits for a row.
        for _, workload, baseline, floor_call in HOT_ROWS:
            for w in (workload, baseline) + ((floor_call,) if floor_dir else ()):
                for c in (args.calls, 2 * args.calls):
                    runs.start("callgrind", w, c, 2 * args.calls)
        cold = ("cold-get", "cold-dict", "cold-loop") + (("cold-echo_xxh",) if floor_dir else ())
        for w in cold:
            for c in (args.cold_calls, 2 * args.cold_calls):
                runs.start("cachegrind", w, c, 2 * args.cold_calls)

        print("\nInstructions per hot call (callgrind), the loop's own share taken off")
        print(f"{'call':<36} {'brambleloft':>12} {'floor':>8} {'floor probe':>14} {'ratio':>6}")
        for label, workload, baseline, floor_call in HOT_ROWS:
            ours = runs.per_call("callgrind", workload, baseline, args.calls)["Ir"]
            if floor_dir:
                theirs = runs.per_call("callgrind", floor_call, baseline, args.calls)["Ir"]
                probe = floor_call.split("-")[0]
                print(f"{label:<36} {ours:>12.0f} {theirs:>8.0f} {probe:>14} {ours / theirs:>6.2f}", flush=True)
            else:
                print(f"{label:<36} {ours:>12.0f} {'n/a':>8}", flush=True)
        print(f"\nCold get hit, 100,000 keys in shuffled order (cachegrind, last level {LAST_LEVEL})")
        print(f"{'per call':<32} {'brambleloft':>12} {'dict.get':>10} {'ratio':>6} {'floor echo_xxh':>15}")
        ours = runs.per_call("cachegrind", "cold-get", "cold-loop", args.cold_calls)
        theirs = runs.per_call("cachegrind", "cold-dict", "cold-loop", args.cold_calls)
        floor = runs.per_call("cachegrind", "cold-echo_xxh", "cold-loop", args.cold_calls) if floor_dir else None
        for label, event in (("instructions", "Ir"), ("last-level read misses", "DLmr"),
                             ("first-level data read misses", "D1mr")):
            floor_figure = f"{floor[event]:>15.2f}" if floor else f"{'n/a':>15}"
            print(f"{label:<32} {ours[event]:>12.2f} {theirs[event]:>10.2f} "
                  f"{ours[event] / theirs[event]:>6.2f} {floor_figure}")


if __name__ == "__main__":
    main()
