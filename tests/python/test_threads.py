"""Several threads on one instance: plain calls wait for each other's native work instead of
failing, no wait is endless, the answers are those of some order of the calls, and nothing
leaks. Meant for a free-threaded interpreter, where the calls really run at once; with the GIL
it checks the same answers.

BRAMBLELOFT_STRESS_SECONDS sets how long the mixed run lasts (default 1.5)."""
import os
import random
import subprocess
import sys
import sysconfig
import threading
import time

import pytest
from conftest import ALLOCATED_BLOCKS_TELL, PYTHON_COMMAND, RESIDENT_MEMORY_TELLS
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


# Each scenario runs in a process of its own with a time limit, so that a hang fails the test.
# The rule they check: a call waits for an instance only while every call holding it runs native
# code; while a holder runs Python code (an argument's __index__), a conflicting call fails at
# once, so no wait can be part of a cycle.
SCENARIO_PRELUDE = """
import os, sys, threading, time
from brambleloft import DAG

class Index:
    def __init__(self, value, callback):
        self.value, self.callback = value, callback
    def __index__(self):
        self.callback()
        return self.value

def outcome(call):
    try:
        return ("ok", call())
    except RuntimeError as error:
        return ("refused", str(error))

def graph():
    dag = DAG()
    dag.add_edge("a", "b")
    return dag, dag.allocate_index("spare")

def start(*targets, daemon=False):
    threads = [threading.Thread(target=t, daemon=daemon) for t in targets]
    for thread in threads:
        thread.start()
    return threads
"""

SCENARIOS = {
    # Two threads each hold one graph and, from __index__, call the other: the first to call
    # is refused, the other answers once the first's outer call has ended, or is refused too.
    "across-two-instances": """
for outer, inner, refusal in [
    (lambda g, i: g.release_index(i), lambda g: g.has_path("a", "b"), "Already mutably borrowed"),
    (lambda g, i: g.would_create_cycle(i, 0), lambda g: g.add_node("c"), "Already borrowed"),
]:
    (x, ix), (y, iy) = graph(), graph()
    both_inside, inner_results = threading.Barrier(2, timeout=10), []
    def nested(other):
        both_inside.wait()
        inner_results.append(outcome(lambda: inner(other)))
    for t in start(lambda: outer(x, Index(ix, lambda: nested(y))), lambda: outer(y, Index(iy, lambda: nested(x)))):
        t.join()
    assert ("refused", refusal) in inner_results, inner_results
    assert all(r[0] == "ok" or r == ("refused", refusal) for r in inner_results), inner_results
""",
    # Queries on two graphs query each other from __index__ while a change waits on each graph:
    # the changes are refused (a holder runs Python code), the queries answer.
    "behind-waiting-writers": """
(x, ix), (y, iy) = graph(), graph()
both_inside, writers_started = threading.Barrier(2, timeout=10), threading.Event()
queries, changes = [], []
def nested(other):
    both_inside.wait()
    writers_started.wait(10)
    time.sleep(0.2)
    queries.append(outcome(lambda: other.would_create_cycle(0, 1)))
readers = start(lambda: x.would_create_cycle(Index(ix, lambda: nested(y)), 0),
                lambda: y.would_create_cycle(Index(iy, lambda: nested(x)), 0))
time.sleep(0.2)
writers = start(lambda: changes.append(outcome(lambda: x.add_node("w"))),
                lambda: changes.append(outcome(lambda: y.add_node("w"))))
writers_started.set()
for t in readers + writers:
    t.join()
assert queries == [("ok", False)] * 2, queries
assert all(c in (("ok", True), ("refused", "Already borrowed")) for c in changes), changes
""",
    # A query nested in a query on the same graph is never refused while others change it.
    "nested-query-never-refused": """
dag, spare = graph()
stop, nested, changes = threading.Event(), [], []
def change(k):
    i = 0
    while not stop.is_set():
        i += 1
        changes.append(outcome(lambda: dag.add_node(f"n{k}-{i % 50}"))[0])
def query():
    deadline = time.monotonic() + 1.0
    while time.monotonic() < deadline:
        dag.would_create_cycle(Index(spare, lambda: nested.append(outcome(lambda: dag.has_path("a", "b")))), 0)
    stop.set()
for t in start(query, lambda: change(0), lambda: change(1)):
    t.join()
refused = [n for n in nested if n != ("ok", True)]
assert nested and not refused, (len(nested), refused[:3])
""",
    # The interpreter exits while daemon threads are inside calls: one whose argument's
    # __index__ sleeps, others calling (and, without a GIL, waiting for) one graph.
    "daemon-threads-at-exit": """
dag, spare = graph()
other, inside = DAG(), threading.Event()
def sleeper():
    inside.set()
    while True:
        time.sleep(0.005)
def busy(k):
    while True:
        other.add_edge(f"d{k}", "e")
        other.has_path(f"d{k}", "e")
        other.remove_node(f"d{k}")
start(lambda: dag.release_index(Index(spare, sleeper)), *[lambda k=k: busy(k) for k in range(3)], daemon=True)
inside.wait(10)
time.sleep(0.2)
print("exiting")
""",
    # A process forks while another thread holds a graph: the child fails at once.
    "forked-child": """
import warnings
warnings.simplefilter("ignore", DeprecationWarning)
dag, spare = graph()
inside, release = threading.Event(), threading.Event()
holder, = start(lambda: dag.release_index(Index(spare, lambda: (inside.set(), release.wait(20)))))
inside.wait(10)
pid = os.fork()
if pid == 0:
    got = [outcome(lambda: dag.add_node("z")), outcome(lambda: dag.has_path("a", "b"))]
    os._exit(0 if got == [("refused", "Already borrowed"), ("refused", "Already mutably borrowed")] else 1)
for _ in range(1000):
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        break
    time.sleep(0.01)
else:
    os.kill(pid, 9)
    os.waitpid(pid, 0)
release.set()
holder.join()
assert done and os.waitstatus_to_exitcode(status) == 0, (done, status)
""",
    # Overlapping queries run Python code in __index__ without a pause; a change meanwhile
    # ends (refused, or done in a gap) while they still run.
    "change-behind-overlapping-queries": """
dag, spare = graph()
done, gave_up, changed = threading.Event(), threading.Event(), []
def query():
    deadline = time.monotonic() + 5
    while not done.is_set():
        if time.monotonic() > deadline:
            gave_up.set()
            return
        dag.would_create_cycle(Index(spare, lambda: time.sleep(0.002)), 0)
def change():
    time.sleep(0.3)
    changed.append(outcome(lambda: dag.add_node("late")))
    changed.append(not gave_up.is_set())
    done.set()
for t in start(query, query, change):
    t.join()
assert changed[0] in (("ok", True), ("refused", "Already borrowed")) and changed[1], changed
""",
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_no_wait_is_endless_and_nothing_crashes(scenario):
    code = SCENARIO_PRELUDE + SCENARIOS[scenario]
    if scenario == "forked-child" and not hasattr(os, "waitstatus_to_exitcode"):
        code = code.replace("os.waitstatus_to_exitcode(status)", "(status >> 8)")
    env = dict(os.environ)
    if scenario in ("daemon-threads-at-exit", "forked-child") and "ASAN_OPTIONS" in env:
        # The interpreter abandons what its daemon threads hold when it ends them: its leaks.
        # After a fork with another thread running, LeakSanitizer's tracer has crashed at exit
        # (signal 11, once in a loaded sanitizer run; 30 runs alone passed).
        env["ASAN_OPTIONS"] += ":detect_leaks=0"
    try:
        result = subprocess.run([*PYTHON_COMMAND, "-X", "faulthandler", "-c", code], capture_output=True, text=True,
                                timeout=60, env=env)
    except subprocess.TimeoutExpired as expired:
        pytest.fail(f"{scenario}: still running after {expired.timeout} s")
    assert (result.returncode, result.stderr) == (0, ""), result.stdout + result.stderr


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
    memory = resident_bytes()
    blocks = sys.getallocatedblocks() if ALLOCATED_BLOCKS_TELL else 0
    for seed in range(1, rounds):
        Round(SECONDS / rounds, seed).run_and_check()
    if RESIDENT_MEMORY_TELLS:
        assert resident_bytes() - memory < 8 << 20
    if ALLOCATED_BLOCKS_TELL:
        assert sys.getallocatedblocks() - blocks < 2000
