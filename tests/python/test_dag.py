"""DAG semantics: the node registry, edges, the cycle test and reachability."""
import random
import threading
from collections import deque

import pytest
from conftest import Index, expect_note

from brambleloft import DAG

BOUNDS = "index out of bounds: the len is {} but the index is {}"
FREED_SLOT = "graph slot must exist for active node"
RELEASES = ["finish_node", "remove_node"]


def registered(dag, name):
    # A registered name reaches itself without any edge; has_path registers nothing.
    return dag.has_path(name, name)


def chain(*names):
    dag = DAG()
    for a, b in zip(names, names[1:]):
        assert dag.add_edge(a, b) is True
    return dag


# Registry
def test_indices_start_at_zero_and_a_known_name_allocates_nothing():
    dag = DAG()
    assert [dag.get_or_create_index(n) for n in ("a", "b", "a", "b", "c")] == [0, 1, 0, 1, 2]


@pytest.mark.parametrize("release", RELEASES)
def test_the_most_recently_released_index_is_reused_first(release):
    dag = DAG()
    for name in "abc":
        assert dag.add_node(name) is True
    getattr(dag, release)("a")
    getattr(dag, release)("c")
    assert [dag.get_or_create_index(n) for n in ("d", "e", "f")] == [2, 0, 3]


def test_add_node_answers_true_once_per_node_and_keeps_an_existing_index():
    dag = DAG()
    assert [dag.add_node("x"), dag.add_node("x")] == [True, False]
    assert dag.get_or_create_index("y") == 1
    assert [dag.add_node("y"), dag.add_node("y")] == [True, False]
    assert dag.add_edge("p", "q") is True  # names registered by an edge are not yet added
    assert [dag.add_node("q"), dag.add_node("q")] == [True, False]
    assert [dag.get_or_create_index(n) for n in ("x", "y", "p", "q", "z")] == [0, 1, 2, 3, 4]


@pytest.mark.parametrize("release", RELEASES)
def test_releasing_by_name_frees_the_index_and_unknown_names_change_nothing(release):
    dag = chain("a", "b", "c")
    dag.add_node("a")
    drop = getattr(dag, release)
    assert drop("nobody") is None
    assert drop("a") is None
    assert [registered(dag, n) for n in "abc"] == [False, True, True]
    assert dag.get_or_create_index("a") == 0  # the index it freed comes back
    assert dag.add_node("a") is True  # and it is no longer marked as added
    assert drop("a") is None
    assert drop("a") is None  # already gone: no second push of index 0
    assert [dag.get_or_create_index(n) for n in ("x", "y")] == [0, 3]
    assert [dag.has_path("b", "c"), dag.has_path("x", "b")] == [True, False]


def test_index_level_allocation_registers_no_name():
    dag = DAG()
    assert [dag.allocate_index("a"), dag.allocate_index("a")] == [0, 1]
    assert registered(dag, "a") is False
    assert dag.get_or_create_index("a") == 2


def test_the_empty_string_is_an_ordinary_name():
    dag = DAG()
    assert [dag.add_node(""), dag.add_node("")] == [True, False]
    assert dag.add_edge("", "x") is True
    assert [dag.has_path("", "x"), dag.add_edge("x", ""), dag.add_edge("", "")] == [True, False, False]
    dag.finish_node("")
    assert [registered(dag, ""), registered(dag, "x"), dag.get_or_create_index("")] == [False, True, 0]


@pytest.mark.parametrize("slots, index", [(0, 0), (1, 1), (3, 3), (3, 2**64 - 1)])
def test_releasing_an_index_past_the_slots_faults_and_changes_nothing(panic_type, slots, index):
    dag = DAG()
    for i in range(slots):
        dag.add_node(f"n{i}")
    with pytest.raises(panic_type) as caught:
        dag.release_index(index)
    assert str(caught.value) == BOUNDS.format(slots, index)
    assert dag.get_or_create_index("new") == slots  # nothing was pushed for reuse
    assert all(registered(dag, f"n{i}") for i in range(slots))
    assert dag.add_edge("new", "n0" if slots else "m") is True


@pytest.mark.parametrize("first", ["finish_node", "release_index"])
def test_releasing_a_free_index_again_changes_nothing(first):
    dag = chain("a", "b", "c")
    getattr(dag, first)("b" if first == "finish_node" else 1)
    assert dag.release_index(1) is None
    assert [dag.get_or_create_index(n) for n in ("x", "y")] == [1, 3]  # 1 is handed out once
    assert dag.add_edge("x", "y") is True and dag.has_path("x", "y") is True


# Edges
@pytest.mark.parametrize("known", [False, True])
def test_a_self_loop_is_refused_and_registers_nothing(known):
    dag = DAG()
    if known:
        dag.add_node("a")
    assert dag.add_edge("a", "a") is False
    assert registered(dag, "a") is known
    assert dag.get_or_create_index("b") == int(known)


def test_a_new_edge_registers_from_before_to_and_a_repeat_is_refused():
    dag = DAG()
    assert dag.add_edge("a", "b") is True
    assert [dag.get_or_create_index("a"), dag.get_or_create_index("b")] == [0, 1]
    assert [dag.has_path("a", "b"), dag.has_path("b", "a")] == [True, False]
    assert dag.add_edge("a", "b") is False
    assert dag.get_or_create_index("c") == 2
    # With released indices waiting, from_node takes the most recently released one.
    dag.finish_node("a")
    dag.finish_node("c")
    assert dag.add_edge("x", "y") is True
    assert [dag.get_or_create_index("x"), dag.get_or_create_index("y")] == [2, 0]


@pytest.mark.parametrize(
    "edge, stored", [(("c", "a"), False), (("b", "a"), False), (("a", "c"), True)], ids=["c-a", "b-a", "a-c"]
)
def test_an_edge_closing_a_cycle_is_refused_and_a_shortcut_is_kept(edge, stored):
    dag = chain("a", "b", "c")
    assert dag.add_edge(*edge) is stored
    if stored:
        dag.finish_node("b")  # the shortcut outlives the path it bypasses
    assert dag.has_path(*edge) is stored


@pytest.mark.parametrize("edge", [("new", "a"), ("c", "new"), ("new", "other")])
def test_an_edge_touching_an_unregistered_name_is_always_stored(edge):
    dag = chain("a", "b", "c")
    dag.add_edge("a", "c")
    assert dag.add_edge(*edge) is True
    assert dag.has_path(*edge) is True
    assert dag.has_path(*reversed(edge)) is False


def test_has_path_needs_both_names_registered_and_registers_nothing():
    dag = DAG()
    assert [dag.has_path("a", "a"), dag.has_path("a", "b")] == [False, False]
    dag.add_edge("a", "b")
    assert [dag.has_path("a", "a"), dag.has_path("a", "z"), dag.has_path("z", "b")] == [True, False, False]
    assert dag.get_or_create_index("z") == 2


EQUAL = [(slots, (i, i), True) for slots in (0, 3) for i in (0, 5, 2**64 - 1)]
REACH = [((2, 0), True), ((1, 0), True), ((0, 2), False), ((0, 1), False), ((5, 0), False), ((2**64 - 1, 2), False)]


@pytest.mark.parametrize("slots, pair, closes", EQUAL + [(3, pair, closes) for pair, closes in REACH])
def test_would_create_cycle_is_true_when_from_equals_to_or_to_reaches_from(slots, pair, closes):
    dag = chain("a", "b", "c") if slots else DAG()
    assert dag.would_create_cycle(*pair) is closes


@pytest.mark.parametrize("pair, bad", [((0, 5), 5), ((5, 3), 3), ((1, 2**64 - 1), 2**64 - 1)])
def test_a_to_past_the_slots_is_a_bounds_fault(panic_type, pair, bad):
    dag = chain("a", "b", "c")
    with pytest.raises(panic_type) as caught:
        dag.would_create_cycle(*pair)
    assert str(caught.value) == BOUNDS.format(3, bad)
    assert [dag.has_path("a", "c"), dag.would_create_cycle(2, 0)] == [True, True]


@pytest.mark.parametrize("release", RELEASES)
def test_releasing_a_node_erases_its_edges_in_both_directions(release):
    dag = chain("a", "b", "c")
    assert dag.would_create_cycle(2, 1) is True
    getattr(dag, release)("b")
    # Index 1 is free: it reaches nothing and nothing reaches it.
    assert [dag.would_create_cycle(f, 1) for f in (0, 1, 2)] == [False, True, False]
    assert dag.has_path("a", "c") is False
    assert dag.add_edge("c", "a") is True
    assert dag.get_or_create_index("d") == 1
    assert [dag.has_path("d", "c"), dag.has_path("a", "d"), dag.has_path("c", "a")] == [False, False, True]


@pytest.mark.parametrize(
    "edge, setup",
    [(("a", "new"), "a"), (("new", "a"), "a"), (("a", "b"), "b"), (("b", "a"), "b")],
    ids=["freed from, new to", "new from, freed to", "freed to", "freed from"],
)
def test_an_edge_at_a_slot_freed_by_index_faults_and_stores_nothing(panic_type, edge, setup):
    dag = DAG()
    dag.add_node("a")
    dag.add_node("b")
    dag.release_index(dag.get_or_create_index(setup))  # the name stays registered
    with pytest.raises(panic_type) as caught:
        dag.add_edge(*edge)
    assert str(caught.value) == FREED_SLOT
    assert registered(dag, "new") is False
    assert dag.has_path(*edge) is False
    # The freed index still waits for reuse, once.
    assert [dag.allocate_index("x"), dag.allocate_index("y")] == [dag.get_or_create_index(setup), 2]
    assert dag.add_edge("p", "q") is True


# Argument conversion
@pytest.mark.parametrize(
    "call, error, parameter",
    [
        (lambda d: d.add_edge(5, "b"), TypeError, "from_node"),
        (lambda d: d.add_edge("b", None), TypeError, "to_node"),
        (lambda d: d.add_edge("b", "\ud800"), UnicodeEncodeError, "to_node"),
        (lambda d: d.add_node(b"b"), TypeError, "node"),
        (lambda d: d.allocate_index(["b"]), TypeError, "node"),
        (lambda d: d.remove_node(None), TypeError, "node"),
        (lambda d: d.has_path("a", 0), TypeError, "end"),
        (lambda d: d.would_create_cycle(-1, 0), OverflowError, "from"),
        (lambda d: d.would_create_cycle(0, 2**64), OverflowError, "to"),
        (lambda d: d.release_index(Index(-1)), OverflowError, "index"),
    ],
)
def test_a_failed_conversion_names_the_parameter_and_registers_nothing(call, error, parameter):
    dag = DAG()
    dag.add_node("a")
    with pytest.raises(error) as caught:
        call(dag)
    expect_note(caught.value, parameter)
    assert [registered(dag, "a"), registered(dag, "b")] == [True, False]
    assert dag.get_or_create_index("z") == 1


@pytest.mark.parametrize(
    "method, argument",
    [("add_node", "x"), ("remove_node", "a"), ("get_or_create_index", "x"), ("allocate_index", "x"),
     ("release_index", 0)],
)
def test_inside_a_cycle_query_modifications_are_refused_and_queries_answer(method, argument):
    dag = chain("a", "b")
    seen = []

    def reenter():
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            getattr(dag, method)(argument)
        seen.append(dag.would_create_cycle(1, 0))

    assert dag.would_create_cycle(0, Index(1, reenter)) is False
    assert seen == [True]
    assert [registered(dag, "a"), registered(dag, "x"), dag.get_or_create_index("x")] == [True, False, 2]


# Against an independent model
def reaches(edges, start, end):
    seen, queue = {start}, deque([start])
    while queue:
        node = queue.popleft()
        if node == end:
            return True
        for nxt in edges[node] - seen:
            seen.add(nxt)
            queue.append(nxt)
    return False


@pytest.mark.parametrize("seed", range(10))
def test_random_operations_agree_with_a_reachability_model(seed):
    rng = random.Random(seed)
    names = ["", "a", "b", "c", "d", "e", "f", "g"]
    dag = DAG()
    edges, index, free, added = {}, {}, [], set()  # edges: name -> set of successor names
    slots = 0

    def path(x, y):
        return x in index and y in index and reaches(edges, x, y)

    def register(name):
        nonlocal slots
        if name not in index:
            index[name] = free.pop() if free else slots
            slots += index[name] == slots
            edges[name] = set()

    for _ in range(600):
        op, x, y = rng.random(), rng.choice(names), rng.choice(names)
        if op < 0.45:
            both = x in index and y in index
            expected = x != y and not (both and (y in edges[x] or reaches(edges, y, x)))
            assert dag.add_edge(x, y) is expected
            if expected:
                register(x)
                register(y)
                edges[x].add(y)
        elif op < 0.6:
            getattr(dag, rng.choice(RELEASES))(x)
            if x in index:
                free.append(index.pop(x))
                added.discard(x)
                del edges[x]
                for successors in edges.values():
                    successors.discard(x)
        elif op < 0.7:
            assert dag.add_node(x) is (x not in added)
            register(x)
            added.add(x)
        elif op < 0.85:
            assert dag.has_path(x, y) is path(x, y)
        elif x in index and y in index:
            assert dag.would_create_cycle(index[x], index[y]) is (x == y or reaches(edges, y, x))
            assert dag.get_or_create_index(x) == index[x]
    assert [dag.has_path(x, y) for x in names for y in names] == [path(x, y) for x in names for y in names]


# Scale
def test_a_chain_of_100000_nodes_is_searched_without_deep_recursion():
    length = 100_000
    dag = DAG()
    for i in range(length):
        dag.add_edge(f"n{i}", f"n{i + 1}")
    answers = []

    def query():
        answers.append(dag.has_path("n0", f"n{length}"))
        answers.append(dag.add_edge(f"n{length}", "n0"))
        answers.append(dag.would_create_cycle(length, 0))

    # A recursive search would need far more stack than this thread has.
    previous = threading.stack_size(1 << 20)
    try:
        worker = threading.Thread(target=query)
        worker.start()
        worker.join()
    finally:
        threading.stack_size(previous)
    assert answers == [True, False, True]
