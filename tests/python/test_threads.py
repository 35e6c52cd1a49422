"""Several threads on one instance: a call waits for another thread's call instead of failing,
the answers are those of some order of the calls, and nothing leaks. Meant for a free-threaded
interpreter, where the calls really run at once; with the GIL it checks the same answers.

BRAMBLELOFT_STRESS_SECONDS sets how long the mixed run lasts (default 1.5)."""
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from conftest import PYTHON_COMMAND, RESIDENT_MEMORY_TELLS, Index
from models import GraphModel

from brambleloft import DAG, CuckooHash

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
SECONDS = float(os.environ.get("BRAMBLELOFT_STRESS_SECONDS", "1.5"))
THREADS = 4


@pytest.mark.skipif(not FREE_THREADED, reason="the interpreter has a GIL")
def test_import_leaves_the_gil_off_without_a_warning():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    code = "import brambleloft, sys; print(sys._is_gil_enabled())"
    result = subprocess.run([*PYTHON_COMMAND, "-W", "error", "-c", code], env=env, capture_output=True, text=True)
    assert (result.returncode, result.stdout.strip(), result.stderr) == (0, "False", "")


def run_threads(*targets):
    """Runs each target on a thread of its own; re-raises the first failure."""
    failures = []

    def guarded(target):
        try:
            target()
        except BaseException as error:  # noqa: B902 - an internal fault must fail the test too
            failures.append(error)

    threads = [threading.Thread(target=guarded, args=(t,)) for t in targets]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    if failures:
        raise failures[0]


# The outer call holds the graph while its argument's __index__ runs Python code; a call from
# another thread then waits until the outer call ends, where it used to fail at once.
@pytest.mark.parametrize(
    "outer, inner, inner_answer",
    [
        (lambda dag, index: dag.would_create_cycle(index, 1), lambda dag: dag.add_node("c"), True),
        (lambda dag, index: dag.release_index(index), lambda dag: dag.has_path("a", "b"), True),
    ],
    ids=["query-then-change", "change-then-query"],
)
def test_a_call_from_another_thread_waits_for_its_turn(outer, inner, inner_answer):
    dag = DAG()
    dag.add_edge("a", "b")
    spare = dag.allocate_index("spare")
    holding, release = threading.Event(), threading.Event()
    events = []

    def hold():
        holding.set()
        release.wait(10)
        events.append("outer conversion ends")

    def outer_call():
        outer(dag, Index(spare, hold))
        events.append("outer ends")

    def inner_call():
        holding.wait(10)
        answer = inner(dag)
        events.append(("inner", answer))

    def releaser():
        holding.wait(10)
        threading.Event().wait(0.2)  # the inner call has had time to start and wait
        release.set()

    run_threads(outer_call, inner_call, releaser)
    # The inner call ended after the outer one's conversion: it waited, and did not fail.
    assert events[0] == "outer conversion ends"
    assert sorted(events[1:], key=str) == sorted(["outer ends", ("inner", inner_answer)], key=str)


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class Round:
    """One run of THREADS threads on one shared table and one shared graph."""

    SHARED_KEYS = [f"shared-{i}" for i in range(4)]
    SHARED_NODES = [f"s{i}" for i in range(8)]

    def __init__(self, seconds, seed):
        self.seconds, self.seed = seconds, seed
        self.table = CuckooHash(4096)
        self.readonly = CuckooHash(4096)  # only read during the run: its answers never change
        self.read_keys = [f"read-{i}" for i in range(64)]
        for key in self.read_keys:
            self.readonly.insert(key, key.upper())
        self.hashes = {k: (self.readonly.hash1(k), self.readonly.hash2(k)) for k in self.read_keys}
        self.dag = DAG()
        for node in self.SHARED_NODES:
            self.dag.add_node(node)
        self.shared_inserted = [[] for _ in range(THREADS)]
        self.shared_removed = [[] for _ in range(THREADS)]
        self.shared_edges = [[] for _ in range(THREADS)]
        self.own_tables = [None] * THREADS
        self.own_graphs = [None] * THREADS

    def worker(self, t):
        rng = random.Random(self.seed * 100 + t)
        keys = [f"t{t}-key-{i}" for i in range(40)]
        names = [f"t{t}-node-{i}" for i in range(24)]
        table, graph = {}, GraphModel()
        deadline = time.monotonic() + self.seconds
        while time.monotonic() < deadline:
            for _ in range(50):
                self.step(t, rng, keys, names, table, graph)
        self.own_tables[t], self.own_graphs[t] = table, graph

    def step(self, t, rng, keys, names, table, graph):
        choice = rng.randrange(10)
        key = rng.choice(keys)
        if choice == 0:
            if key not in table:
                value = f"{key}={rng.randrange(1000)}"
                assert self.table.insert(key, value) is True
                table[key] = value
        elif choice == 1:
            assert self.table.get(key) == table.get(key)
        elif choice == 2:
            assert self.table.remove(key) is (table.pop(key, None) is not None)
        elif choice == 3:
            read = rng.choice(self.read_keys)
            assert self.readonly.get(read) == read.upper()
            assert (self.readonly.hash1(read), self.readonly.hash2(read)) == self.hashes[read]
        elif choice == 4:
            shared = rng.choice(self.SHARED_KEYS)
            value = f"{shared}/{t}/{rng.randrange(1 << 30)}"
            if self.table.insert(shared, value):
                self.shared_inserted[t].append((shared, value))
        elif choice == 5:
            shared = rng.choice(self.SHARED_KEYS)
            value = self.table.get(shared)
            if value is not None and self.table.remove(shared):
                self.shared_removed[t].append(shared)
        elif choice == 6:
            a, b = rng.sample(self.SHARED_NODES, 2)
            if self.dag.add_edge(a, b):
                self.shared_edges[t].append((a, b))
        elif choice == 7:
            a, b = rng.sample(self.SHARED_NODES, 2)
            ia, ib = self.dag.get_or_create_index(a), self.dag.get_or_create_index(b)
            # An edge accepted before the query is there after it: a path never vanishes.
            if self.dag.has_path(a, b):
                assert self.dag.would_create_cycle(ib, ia) is True
        else:
            method = rng.choice(["add_node", "add_edge", "add_edge", "has_path", "finish_node"])
            args = rng.sample(names, 2) if method in ("add_edge", "has_path") else [rng.choice(names)]
            assert getattr(self.dag, method)(*args) == graph.run(method, *args), (method, args)

    def run_and_check(self):
        run_threads(*[lambda t=t: self.worker(t) for t in range(THREADS)])
        # Each thread's own keys and nodes answer exactly as its model says.
        for table in self.own_tables:
            for key, value in table.items():
                assert self.table.get(key) == value
        for graph, t in zip(self.own_graphs, range(THREADS)):
            for a in graph.names:
                for b in graph.names:
                    assert self.dag.has_path(a, b) == graph.run("has_path", a, b), (t, a, b)
        # Every shared value stored and not removed is still there, exactly once per insert.
        for shared in self.SHARED_KEYS:
            inserted = {v for per_thread in self.shared_inserted for k, v in per_thread if k == shared}
            left = sum(k == shared for per in self.shared_inserted for k, _ in per) - sum(
                k == shared for per in self.shared_removed for k in per
            )
            found = []
            while (value := self.table.get(shared)) is not None:
                found.append(value)
                assert self.table.remove(shared) is True
            assert len(found) == left and set(found) <= inserted, (shared, found, left)
        # The shared graph is the accepted edges, and they close no cycle.
        model = GraphModel()
        for node in self.SHARED_NODES:
            model.run("add_node", node)
        for a, b in sorted({edge for per_thread in self.shared_edges for edge in per_thread}):
            assert model.run("add_edge", a, b) is True, (a, b)
        for a in self.SHARED_NODES:
            for b in self.SHARED_NODES:
                assert self.dag.has_path(a, b) == model.run("has_path", a, b), (a, b)


def test_threads_mixing_every_call_on_shared_instances_agree_with_a_model():
    rounds = 6
    Round(SECONDS / rounds, 0).run_and_check()  # warms up caches and arenas
    memory, blocks = resident_bytes(), sys.getallocatedblocks()
    for seed in range(1, rounds):
        Round(SECONDS / rounds, seed).run_and_check()
    if RESIDENT_MEMORY_TELLS:
        assert resident_bytes() - memory < 8 << 20
    assert sys.getallocatedblocks() - blocks < 2000
