"""Type-checked (never run) against the installed stubs: mypy --strict --warn-unused-ignores.

The lines marked `type: ignore[code]` must be rejected with that code; an ignore that
mypy finds unneeded is itself an error, so a stub that lets one of them through fails.
"""

from typing import List, Optional

from typing_extensions import assert_type

import brambleloft
from brambleloft import DAG, CuckooHash

assert_type(brambleloft.__all__, List[str])

table = CuckooHash(size=8)
assert_type(table.hash1("k"), int)
assert_type(table.hash2(key="k"), int)
assert_type(table.insert("k", value="v"), bool)
assert_type(table.get("k"), Optional[str])
assert_type(table.remove(key="k"), bool)
found = table.get("k")
if found is not None:
    assert_type(found.upper(), str)

graph = DAG()
assert_type(graph.add_node(node="a"), bool)
assert_type(graph.add_edge("a", to_node="b"), bool)
assert_type(graph.add_edge(from_node="b", to_node="c"), bool)
assert_type(graph.has_path(start="a", end="c"), bool)
assert_type(graph.get_or_create_index(node="a"), int)
assert_type(graph.allocate_index(node="d"), int)
assert_type(graph.would_create_cycle(2, to=0), bool)
graph.finish_node(node="a")
graph.remove_node(node="b")
graph.release_index(index=3)

# Each line below is a mistake the stubs must catch.
table.get("k").upper()  # type: ignore[union-attr]
table.insert("k", 1)  # type: ignore[arg-type]
table.hash1(name="k")  # type: ignore[call-arg]
CuckooHash()  # type: ignore[call-arg]
DAG(4)  # type: ignore[call-arg]
graph.release_index("a")  # type: ignore[arg-type]
graph.would_create_cycle(from_=2, to=0)  # type: ignore[call-arg]
unused = graph.finish_node("a")  # type: ignore[func-returns-value]
nothing = graph.remove_node("a")  # type: ignore[func-returns-value]
count: str = graph.allocate_index("e")  # type: ignore[assignment]


class Table(CuckooHash):  # type: ignore[misc]
    pass


class Graph(DAG):  # type: ignore[misc]
    pass
