"""Running an operation or a failure path many times leaks no Python object."""
import gc
import sys

import pytest
from conftest import Index, skip_on_pypy, skip_under_sanitizer

from brambleloft import DAG, CuckooHash

KEY = "".join(["leak-", "check-key"])  # a fresh object, not an interned constant
VALUE = "".join(["leak-", "check-value"])
SIZE = 2**40 + 7  # an int that no cache holds


def swallow(call):
    def run():
        try:
            call()
        except BaseException:  # noqa: B902 - internal faults count too
            pass

    return run


def filled_table():
    table = CuckooHash(64)
    table.insert(KEY, VALUE)
    return table


TABLE = filled_table()
ZERO = CuckooHash(0)
GRAPH = DAG()
GRAPH.add_edge(KEY, VALUE)

OPERATIONS = {
    "construct": lambda: CuckooHash(8),
    "construct dag": DAG,
    "hash1": lambda: TABLE.hash1(KEY),
    "hash2": lambda: TABLE.hash2(key=KEY),
    "get hit": lambda: TABLE.get(KEY),
    "get miss": lambda: TABLE.get(VALUE),
    "insert and remove": lambda: (TABLE.insert(VALUE, KEY), TABLE.remove(VALUE)),
    "refused third insert": lambda: (
        lambda t: (t.insert(KEY, VALUE), t.insert(KEY, VALUE), t.insert(KEY, VALUE))
    )(CuckooHash(1)),
    "dag round trip": lambda: (GRAPH.add_node("n"), GRAPH.add_edge("n", KEY), GRAPH.finish_node("n")),
    "has_path": lambda: GRAPH.has_path(KEY, VALUE),
    "would_create_cycle": lambda: GRAPH.would_create_cycle(Index(1), 0),
    "binding error": swallow(lambda: TABLE.get(KEY, x=VALUE)),
    "missing argument": swallow(lambda: TABLE.insert(KEY)),
    "class mismatch": swallow(lambda: TABLE.get(SIZE)),
    "overflow": swallow(lambda: GRAPH.release_index(-SIZE)),
    "encode error": swallow(lambda: TABLE.get("\ud800")),
    "internal fault": swallow(lambda: ZERO.get(KEY)),
    "bounds fault": swallow(lambda: GRAPH.would_create_cycle(0, SIZE)),
    "memory error": pytest.param(swallow(lambda: CuckooHash(2**60)), marks=skip_under_sanitizer),
    "access conflict": swallow(lambda: GRAPH.release_index(Index(0, lambda: GRAPH.add_node(KEY)))),
}


@skip_on_pypy("has no reference counts or allocated blocks to read (sys.getrefcount, sys.getallocatedblocks)")
@pytest.mark.parametrize("operation", list(OPERATIONS.values()), ids=list(OPERATIONS))
def test_no_leak(operation, capfd):
    for _ in range(50):  # warm up: caches, the fault class, interned names
        operation()
    refs_before = [sys.getrefcount(o) for o in (KEY, VALUE, SIZE)]
    growth = []
    for _ in range(3):  # a leak grows every round; an interpreter cache settles
        gc.collect()
        blocks_before = sys.getallocatedblocks()
        for _ in range(1000):
            operation()
        gc.collect()
        growth.append(sys.getallocatedblocks() - blocks_before)
    refs_after = [sys.getrefcount(o) for o in (KEY, VALUE, SIZE)]
    capfd.readouterr()  # fault reports
    assert refs_after == refs_before
    assert min(growth) < 20, growth
