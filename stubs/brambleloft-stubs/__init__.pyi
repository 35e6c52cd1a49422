"""A cuckoo hash table and a directed acyclic graph of named nodes.

Every parameter may be given by position or by keyword, except the first parameter of
DAG.would_create_cycle: its runtime name is `from`, a keyword that Python call syntax
cannot spell, so it is declared here positional-only as `from_`.
"""

from typing import Optional, final

__all__ = ["CuckooHash", "DAG"]

@final
class CuckooHash:
    """Hash table from str keys to str values; every key has one slot in each of two tables."""

    def __new__(cls, size: int) -> CuckooHash:
        """Two tables of `size` slots each; `size` is also the growth step."""
    def hash1(self, key: str) -> int:
        """Slot index of `key` in the first table (XXH32 of its UTF-8 bytes modulo the capacity)."""
    def hash2(self, key: str) -> int:
        """Slot index of `key` in the second table (XXH64 of its UTF-8 bytes modulo the capacity)."""
    def insert(self, key: str, value: str) -> bool:
        """Store the pair, growing the tables if needed.

        False only when the new pair could not be stored; no stored pair is ever lost.
        An existing key is not replaced: it is held by a second pair.
        """
    def get(self, key: str) -> Optional[str]:
        """The value stored for `key`, or None."""
    def remove(self, key: str) -> bool:
        """Remove one pair of `key`; False when there is none."""

@final
class DAG:
    """Directed acyclic graph of named nodes, each with a reusable integer index."""

    def __new__(cls) -> DAG: ...
    def add_node(self, node: str) -> bool:
        """True when `node` is newly added, False when it was already added."""
    def finish_node(self, node: str) -> None:
        """Unregister `node` and drop its edges; an unknown name is ignored."""
    def remove_node(self, node: str) -> None:
        """Unregister `node` and drop its edges; an unknown name is ignored."""
    def add_edge(self, from_node: str, to_node: str) -> bool:
        """Store the edge, registering new names; False for a self-loop, a duplicate or a cycle."""
    def has_path(self, start: str, end: str) -> bool:
        """True when `end` is reachable from `start`; False when either is unregistered."""
    def get_or_create_index(self, node: str) -> int:
        """The index of `node`, registering it first if needed."""
    def allocate_index(self, node: str) -> int:
        """A fresh index holding `node`, without registering the name."""
    def release_index(self, index: int) -> None:
        """Free `index` and drop every edge at it, leaving the name registry alone."""
    def would_create_cycle(self, from_: int, /, to: int) -> bool:
        """True when an edge from index `from_` to index `to` would close a cycle.

        At runtime the first parameter is named `from`; pass it by position.
        """
