import gc
import importlib
import inspect
import subprocess
import sys
import textwrap
import weakref

import pytest
from conftest import FREE_THREADED, MODULE_FILE, PYTHON_COMMAND, skip_on_pypy

import brambleloft
from brambleloft import DAG, CuckooHash


def test_import_registers_both_classes_and_nothing_else():
    assert brambleloft.__all__ == ["CuckooHash", "DAG"]
    assert brambleloft.__doc__ == ""
    public = {name for name in vars(brambleloft) if not name.startswith("__")}
    assert public == {"CuckooHash", "DAG"}
    assert brambleloft.__file__.endswith("/" + MODULE_FILE)


@pytest.mark.parametrize("cls, name", [(CuckooHash, "CuckooHash"), (DAG, "DAG")])
def test_class_names(cls, name):
    assert cls.__module__ == "builtins"
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__bases__ == (object,)


CUCKOO_METHODS = {
    "hash1": "($self, key)",
    "hash2": "($self, key)",
    "insert": "($self, key, value)",
    "get": "($self, key)",
    "remove": "($self, key)",
}
DAG_METHODS = {
    "add_node": "($self, node)",
    "finish_node": "($self, node)",
    "remove_node": "($self, node)",
    "add_edge": "($self, from_node, to_node)",
    "has_path": "($self, start, end)",
    "get_or_create_index": "($self, node)",
    "allocate_index": "($self, node)",
    "release_index": "($self, index)",
    "would_create_cycle": "($self, from, to)",
}


@skip_on_pypy("keeps no docstrings, so no text signatures, of C methods")
@pytest.mark.parametrize(
    "cls, methods", [(CuckooHash, CUCKOO_METHODS), (DAG, DAG_METHODS)], ids=["CuckooHash", "DAG"]
)
def test_method_tables_in_order_with_text_signatures(cls, methods):
    own = [name for name in vars(cls) if not name.startswith("__")]
    assert own == list(methods)
    for name, signature in methods.items():
        method = getattr(cls, name)
        assert method.__text_signature__ == signature
        if name != "would_create_cycle":  # "from" is a keyword, so inspect cannot parse it
            expected = ["self"] + signature[len("($self, ") : -1].split(", ")
            assert list(inspect.signature(method).parameters) == expected


def calling_convention(descriptor):
    """The flags of the method table row behind a method descriptor, read where the
    interpreter keeps it: after the object header and three pointers (class, name, qualname)."""
    ctypes = pytest.importorskip("ctypes")
    pointer = ctypes.sizeof(ctypes.c_void_p)
    row = ctypes.c_void_p.from_address(id(descriptor) + object.__basicsize__ + 3 * pointer).value
    return ctypes.c_int.from_address(row + 2 * pointer).value


# Every call takes the fast convention where the interpreter's stable ABI has it.
@skip_on_pypy("has no CPython object layout to read through ctypes")
@pytest.mark.parametrize("cls, name", [(c, n) for c, m in ((CuckooHash, CUCKOO_METHODS), (DAG, DAG_METHODS)) for n in m])
def test_methods_take_the_calling_convention_of_the_interpreter(cls, name):
    fast, tuple_, keywords = 0x80, 0x1, 0x2
    expected = (fast if sys.version_info >= (3, 10) else tuple_) | keywords
    assert calling_convention(vars(cls)[name]) == expected


@pytest.mark.skipif(sys.version_info < (3, 10), reason="before 3.10 a heap type drops its text signature")
def test_constructor_signatures():
    assert list(inspect.signature(CuckooHash).parameters) == ["size"]
    assert list(inspect.signature(DAG).parameters) == []
    assert CuckooHash.__text_signature__ == "(size)"
    assert DAG.__text_signature__ == "()"


@skip_on_pypy("leaves C classes open to subclassing, new attributes and weak references, and has no "
              "gc.is_tracked")
@pytest.mark.parametrize("make", [lambda: CuckooHash(4), DAG], ids=["CuckooHash", "DAG"])
def test_instances_are_closed(make):
    instance = make()
    with pytest.raises(TypeError):
        type("Sub", (type(instance),), {})
    with pytest.raises(AttributeError):
        instance.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(instance)
    assert not gc.is_tracked(instance)


def test_reimport_gives_a_new_module_with_the_same_classes():
    first = sys.modules.pop("brambleloft")
    try:
        again = importlib.import_module("brambleloft")
        assert again is not first
        assert again.CuckooHash is first.CuckooHash
        assert again.DAG is first.DAG
        assert again.__all__ == ["CuckooHash", "DAG"]
        assert again.__all__ is not first.__all__
    finally:
        sys.modules["brambleloft"] = first


@skip_on_pypy("has no reference counts (sys.getrefcount)")
@pytest.mark.parametrize("make", [lambda: CuckooHash(4), DAG], ids=["CuckooHash", "DAG"])
def test_instances_hold_and_release_one_class_reference(make):
    cls = type(make())
    before = sys.getrefcount(cls)
    instances = [make() for _ in range(10)]
    assert sys.getrefcount(cls) == before + 10
    del instances
    assert sys.getrefcount(cls) == before


# Making a class may run Python code: a collection during it runs finalizers, which
# may need that same class. Whichever making ends first is kept, and both get it.
# Each case runs in a process of its own, since the classes are made once per process.
COLLECT_AT_NEXT_ALLOCATION = """
    import gc

    collected = []  # for each collection, whether the outer call had started

    def collect_at_next_allocation(finalize):
        # A cycle whose finalizer calls finalize, collected at the next allocation the
        # collector counts (an exception in a finalizer is only printed, hence the list).
        class Finalizer:
            def __del__(self):
                collected.append(outer_started)
                finalize()

        gc.collect()
        gc.disable()
        cycle = Finalizer()
        cycle.cycle = cycle
        del cycle
        gc.set_threshold(1)
        gc.enable()
"""
REENTRANT_CREATION = {
    "internal-fault class": """
        import brambleloft
        seen = []

        def finalize():
            try:
                brambleloft.CuckooHash(0).get("inner")
            except BaseException as error:
                seen.append(type(error))

        table = brambleloft.CuckooHash(0)
        outer_started = False
        collect_at_next_allocation(finalize)
        outer_started = True
        try:
            table.get("outer")
        except BaseException as error:
            seen.append(type(error))
        assert len(seen) == 2 and seen[0] is seen[1], seen
        try:
            table.get("later")
        except BaseException as error:
            assert type(error) is seen[0]
    """,
    "module classes": """
        import importlib.util, _imp
        spec = importlib.util.find_spec("brambleloft")
        outer, inner = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        outer_started = False
        collect_at_next_allocation(lambda: _imp.exec_dynamic(inner))
        outer_started = True
        _imp.exec_dynamic(outer)
        gc.collect()
        assert inner.__all__ == outer.__all__ == ["CuckooHash", "DAG"], (inner.__all__, outer.__all__)
        assert outer.CuckooHash is inner.CuckooHash and outer.DAG is inner.DAG
        assert outer.CuckooHash(4).insert("a", "b") and outer.DAG().add_edge("a", "b")
    """,
}


# The free-threaded collector adds up allocations per thread in batches of 512 before it
# schedules a collection, so none can be placed at one allocation.
@pytest.mark.skipif(FREE_THREADED, reason="a collection cannot be placed at one allocation")
@skip_on_pypy("has no GC thresholds (gc.set_threshold) to place a collection at one allocation")
@pytest.mark.parametrize("case", list(REENTRANT_CREATION))
def test_a_class_made_again_while_it_is_being_made_is_made_once(case):
    code = textwrap.dedent(COLLECT_AT_NEXT_ALLOCATION) + textwrap.dedent(REENTRANT_CREATION[case]) + \
        "assert collected == [True], collected\n"
    child = subprocess.run([*PYTHON_COMMAND, "-c", code], capture_output=True, text=True, timeout=60)
    assert child.returncode == 0, child.stderr[-3000:]
