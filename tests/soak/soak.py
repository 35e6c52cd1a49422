"""A long run of mixed operations on both classes from several threads.

    python3 soak.py [--seconds N] [--threads N]     (the module must be importable)

The run is cut into rounds. In each round every thread works on instances of its own,
checked against models after every call, and on one CuckooHash and one DAG shared by
all threads, checked for answers that stay plausible whatever the interleaving. The
switch interval is tiny, so threads change hands inside almost every sequence of calls.
Between rounds, with the threads joined, the process is measured: resident memory,
sys.getallocatedblocks() and the reference counts of every argument object the calls
used must be as flat at the end as they were a tenth of the way in.
"""
import argparse
import gc
import os
import random
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python"))
from models import GraphModel, ModelFault  # noqa: E402

from brambleloft import DAG, CuckooHash  # noqa: E402

ROUNDS = 20
RSS_TOLERANCE = 4 << 20  # bytes
BLOCKS_TOLERANCE = 500

# Every argument comes from these pools, so their reference counts can be watched.
KEYS = ["".join(["key-", str(i)]) for i in range(24)] + ["", "ключ"]
VALUES = ["".join(["value-", str(i)]) for i in range(8)]
NAMES = ["".join(["node-", str(i)]) for i in range(16)]
SHARED_VALUE = {key: key + "=" for key in KEYS}


class Idx:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


INDICES = [Idx(i) for i in range(20)]
BAD = [3.5, None, b"bytes", 2**70, -(2**65)]
# Singletons such as None and "" are referenced all over the interpreter: not watched.
WATCHED = [o for o in KEYS + VALUES + NAMES + list(SHARED_VALUE.values()) + INDICES + BAD if o is not None and o != ""]


class Mismatch(AssertionError):
    pass


def expect(condition, *detail):
    if not condition:
        raise Mismatch(" ".join(map(repr, detail)))


def fault_message(call):
    try:
        call()
    except BaseException as error:  # noqa: B902 - the internal fault derives from BaseException
        if type(error).__name__ != "PanicException":
            raise
        return str(error)
    return None


class TableWork:
    """A thread's own table against a multiset model; small capacities keep walks busy."""

    def __init__(self, rng):
        self.rng = rng
        self.table = CuckooHash(rng.choice([1, 2, 3, 8, 64]))
        self.model = {}  # key -> list of values

    def step(self):
        rng, key = self.rng, self.rng.choice(KEYS)
        held = self.model.setdefault(key, [])
        roll = rng.random()
        if roll < 0.4 and len(held) == 2 and rng.random() < 0.9:
            roll = 0.5  # each refused third pair grows the table: mostly a get instead
        if roll < 0.4:
            value = rng.choice(VALUES)
            stored = self.table.insert(key, value)
            expect(type(stored) is bool and not (stored and len(held) == 2), "a third pair for", key, stored)
            if stored:
                held.append(value)
        elif roll < 0.7:
            answer = self.table.get(key)
            expect(answer in held if held else answer is None, key, answer, held)
        elif roll < 0.9:
            answer = self.table.get(key)
            removed = self.table.remove(key)
            expect(removed is bool(held), key, removed, held)
            if removed:
                held.remove(answer)
        elif roll < 0.95:
            capacity_check = self.table.hash1(key), self.table.hash2(key)
            expect(all(type(i) is int and i >= 0 for i in capacity_check), capacity_check)
        else:
            bad = rng.choice(BAD)
            try:
                self.table.get(bad) if rng.random() < 0.5 else self.table.insert(key)
            except TypeError:
                pass  # conversion and binding failures must leak nothing either
            else:
                raise Mismatch("accepted", bad)

    def drain(self):
        """Empties the table through get/remove: every pair the model holds must come out."""
        for key, held in self.model.items():
            while held:
                answer = self.table.get(key)
                expect(answer in held, "lost pair", key, held, answer)
                expect(self.table.remove(key) is True, key)
                held.remove(answer)
            expect(self.table.get(key) is None and self.table.remove(key) is False, "extra pair", key)


class GraphWork:
    """A thread's own graph against the graph model, names and indices mixed."""

    # Index-level releases are rare, so that names mostly keep their slots.
    METHODS = ["add_node", "finish_node", "remove_node", "has_path", "get_or_create_index", "allocate_index",
               "would_create_cycle"] * 4 + ["add_edge"] * 12 + ["release_index"]

    def __init__(self, rng):
        self.rng = rng
        self.graph = DAG()
        self.model = GraphModel()

    def step(self):
        rng = self.rng
        method = rng.choice(self.METHODS)
        if method in ("release_index", "would_create_cycle"):
            count = 1 if method == "release_index" else 2
            args = [rng.choice(INDICES[: len(self.model.graph) + 2]) for _ in range(count)]
            plain = [a.value for a in args]
        elif method in ("add_edge", "has_path"):
            args = [rng.choice(NAMES), rng.choice(NAMES)]
            plain = args
        else:
            args = [rng.choice(NAMES)]
            plain = args
        try:
            expected = ("answer", self.model.run(method, *plain))
        except ModelFault as fault:
            expected = ("fault", str(fault))
        call = getattr(self.graph, method)
        answer = []
        message = fault_message(lambda: answer.append(call(*args)))
        actual = ("fault", message) if message is not None else ("answer", answer[0])
        expect(actual == expected and type(actual[1]) is type(expected[1]), method, plain, actual, expected)


def shared_step(rng, table, graph):
    """Calls on instances every thread uses at once; any interleaving must give these answers."""
    key = rng.choice(KEYS)
    roll = rng.random()
    if roll < 0.3:
        if table.get(key) is None:  # rarely a third pair, and so rarely a growth
            expect(table.insert(key, SHARED_VALUE[key]) in (True, False), key)
    elif roll < 0.6:
        expect(table.get(key) in (None, SHARED_VALUE[key]), key)
    elif roll < 0.7:
        expect(table.remove(key) in (True, False), key)
    elif roll < 0.9:
        expect(graph.add_edge(rng.choice(NAMES), rng.choice(NAMES)) in (True, False))
    elif roll < 0.97:
        expect(graph.has_path(rng.choice(NAMES), rng.choice(NAMES)) in (True, False))
    else:
        expect(graph.finish_node(rng.choice(NAMES)) is None)


def worker(seed, deadline, shared, counts, failures):
    rng = random.Random(seed)
    table_work, graph_work = TableWork(rng), GraphWork(rng)
    done = 0
    try:
        while time.monotonic() < deadline:
            for _ in range(200):
                roll = rng.random()
                if roll < 0.45:
                    table_work.step()
                elif roll < 0.8:
                    graph_work.step()
                else:
                    shared_step(rng, *shared)
                done += 1
            if rng.random() < 0.05:  # a fresh table now and then bounds its growth
                table_work.drain()
                table_work = TableWork(rng)
            if rng.random() < 0.05:
                graph_work = GraphWork(rng)
        table_work.drain()
    except BaseException as error:  # noqa: B902 - report whatever ended the thread
        failures.append(f"thread {seed}: {type(error).__name__}: {error}")
    counts.append(done)


def rss():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def measure():
    gc.collect()
    return {"rss": rss(), "blocks": sys.getallocatedblocks(), "refs": [sys.getrefcount(o) for o in WATCHED]}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=float(os.environ.get("SOAK_SECONDS", 180)))
    parser.add_argument("--threads", type=int, default=4)
    parser.add_argument("--seed", type=int, default=int(time.time()))
    options = parser.parse_args()
    sys.setswitchinterval(1e-6)
    # Every expected internal fault writes a report to stderr: keep them out of the
    # way and count them instead.
    reports = tempfile.TemporaryFile()
    saved_stderr = os.dup(2)
    os.dup2(reports.fileno(), 2)
    print(f"soak: {options.seconds:.0f}s, {options.threads} threads, {ROUNDS} rounds, seed {options.seed}")

    total, failures, baseline, last = 0, [], None, None
    slice_seconds = options.seconds / ROUNDS
    for round_number in range(ROUNDS):
        shared = (CuckooHash(16), DAG())
        counts = []
        deadline = time.monotonic() + slice_seconds
        threads = [
            threading.Thread(target=worker, args=(options.seed * 1000 + round_number * 50 + t, deadline, shared,
                                                  counts, failures))
            for t in range(options.threads)
        ]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        del shared, threads
        total += sum(counts)
        # Only two samples are kept, so that keeping them grows nothing in between.
        last = measure()
        if round_number == ROUNDS // 10 - 1:
            baseline = last
        if failures:
            break

    os.dup2(saved_stderr, 2)
    reports.seek(0)
    fault_reports = sum(line.startswith(b"thread '") for line in reports)
    for failure in failures:
        print("FAIL", failure)
    first = baseline or last
    grown = {
        "rss": last["rss"] - first["rss"],
        "blocks": last["blocks"] - first["blocks"],
        "refs": [(WATCHED[i], a, b) for i, (a, b) in enumerate(zip(first["refs"], last["refs"])) if a != b],
    }
    print(f"calls: {total} ({total / options.seconds:,.0f}/s)")
    print(f"rss: {first['rss'] / 2**20:.1f} MiB -> {last['rss'] / 2**20:.1f} MiB (tolerance {RSS_TOLERANCE >> 20} MiB)")
    print(f"allocated blocks: {first['blocks']} -> {last['blocks']} (tolerance {BLOCKS_TOLERANCE})")
    print(f"internal-fault reports on stderr: {fault_reports} (expected: bounds and freed-slot faults)")
    print(f"argument reference counts changed: {len(grown['refs'])} of {len(WATCHED)}")
    ok = (
        not failures
        and grown["rss"] <= RSS_TOLERANCE
        and abs(grown["blocks"]) <= BLOCKS_TOLERANCE
        and not grown["refs"]
    )
    for obj, before, after in grown["refs"][:10]:
        print(f"  {obj!r}: {before} -> {after}")
    print("soak passed" if ok else "soak FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
