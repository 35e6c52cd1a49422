"""Argument binding messages, conversions and the access flag, through every entry."""
import functools
import sys

import pytest
from conftest import PYPY, Index, expect_note

from brambleloft import DAG, CuckooHash

# (display name, factory of the bound callable, parameter names)
ENTRIES = [
    ("CuckooHash.__new__()", lambda: CuckooHash, ["size"]),
    ("CuckooHash.hash1()", lambda: CuckooHash(4).hash1, ["key"]),
    ("CuckooHash.hash2()", lambda: CuckooHash(4).hash2, ["key"]),
    ("CuckooHash.insert()", lambda: CuckooHash(4).insert, ["key", "value"]),
    ("CuckooHash.get()", lambda: CuckooHash(4).get, ["key"]),
    ("CuckooHash.remove()", lambda: CuckooHash(4).remove, ["key"]),
    ("DAG.__new__()", lambda: DAG, []),
    ("DAG.add_node()", lambda: DAG().add_node, ["node"]),
    ("DAG.finish_node()", lambda: DAG().finish_node, ["node"]),
    ("DAG.remove_node()", lambda: DAG().remove_node, ["node"]),
    ("DAG.add_edge()", lambda: DAG().add_edge, ["from_node", "to_node"]),
    ("DAG.has_path()", lambda: DAG().has_path, ["start", "end"]),
    ("DAG.get_or_create_index()", lambda: DAG().get_or_create_index, ["node"]),
    ("DAG.allocate_index()", lambda: DAG().allocate_index, ["node"]),
    ("DAG.release_index()", lambda: DAG().release_index, ["index"]),
    ("DAG.would_create_cycle()", lambda: DAG().would_create_cycle, ["from", "to"]),
]
IDS = [entry[0] for entry in ENTRIES]


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) <= 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


def good_value(parameter):
    return 1 if parameter in ("size", "index", "from", "to") else "x"


@pytest.mark.parametrize("display, make, params", ENTRIES, ids=IDS)
def test_too_many_positional_arguments(display, make, params):
    for extra in (1, 2):
        given = len(params) + extra
        args = [good_value(p) for p in params] + [0] * extra
        verb = "was" if given == 1 else "were"
        with pytest.raises(TypeError) as caught:
            make()(*args, unexpected=1)  # too many wins over a bad keyword
        assert str(caught.value) == f"{display} takes {len(params)} positional arguments but {given} {verb} given"


@pytest.mark.parametrize("display, make, params", ENTRIES, ids=IDS)
def test_missing_arguments_are_listed_in_order(display, make, params):
    for given in range(len(params)):
        missing = params[given:]
        word = "argument" if len(missing) == 1 else "arguments"
        with pytest.raises(TypeError) as caught:
            make()(*[good_value(p) for p in params[:given]])
        assert str(caught.value) == f"{display} missing {len(missing)} required positional {word}: {quoted(missing)}"


@pytest.mark.parametrize("display, make, params", ENTRIES, ids=IDS)
def test_unexpected_and_repeated_keywords(display, make, params):
    with pytest.raises(TypeError) as caught:
        make()(**{p: good_value(p) for p in params}, x=1)
    assert str(caught.value) == f"{display} got an unexpected keyword argument 'x'"
    if params:
        with pytest.raises(TypeError) as caught:
            make()(*[good_value(p) for p in params], **{params[0]: good_value(params[0])})
        assert str(caught.value) == f"{display} got multiple values for argument '{params[0]}'"


def test_keywords_bind_in_any_order_and_str_subclasses_count():
    class Name(str):
        pass

    table = CuckooHash(8)
    assert table.insert(value="v", key="k") is True
    assert table.get(**{Name("key"): Name("k")}) == "v"
    assert CuckooHash(size=3).hash1(key="") == CuckooHash(3).hash1("")


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


@pytest.mark.parametrize(
    "key, text",
    [("\udcff", "\ufffd" * 3), ("ключ", "ключ")],
    ids=["lone surrogate", "non-ascii"],
)
def test_unexpected_keyword_text(key, text):
    with pytest.raises(TypeError) as caught:
        CuckooHash(4).get(**{key: "a"})
    assert str(caught.value) == f"CuckooHash.get() got an unexpected keyword argument '{text}'"


# A keyword that is no str reaches a method only where the interpreter hands it on: 3.8 and 3.9
# (the tuple convention) and 3.15 on. CPython 3.10 to 3.14 refuse it before a method of the fast
# convention runs, with their own message. The constructor keeps the tuple convention, so its
# message is ours everywhere but on PyPy, which refuses the key before any C function runs.
def refused_by_the_interpreter(fast_convention):
    return PYPY or (fast_convention and (3, 10) <= sys.version_info < (3, 15))


@pytest.mark.parametrize(
    "display, make, fast_convention",
    [("CuckooHash.get()", lambda: CuckooHash(4).get, True),
     ("DAG.release_index()", lambda: DAG().release_index, True),
     ("CuckooHash.__new__()", lambda: CuckooHash, False)],
    ids=["get", "release_index", "constructor"],
)
def test_a_keyword_that_is_no_str(display, make, fast_convention):
    with pytest.raises(TypeError) as caught:
        functools.partial(make(), **{1: "x"})()
    if refused_by_the_interpreter(fast_convention):
        assert "keywords must be strings" in str(caught.value)
    else:
        assert str(caught.value) == f"{display} got an unexpected keyword argument '1'"


@pytest.mark.parametrize(
    "call, parameter, message",
    [
        (lambda: CuckooHash(4).get(5), "key", "'int' object is not an instance of 'str'"),
        (lambda: CuckooHash(4).get(None), "key", "'None' is not an instance of 'str'"),
        (lambda: CuckooHash(4).insert("k", b"v"), "value", "'bytes' object is not an instance of 'str'"),
        (lambda: DAG().add_edge("a", 1.5), "to_node", "'float' object is not an instance of 'str'"),
        (lambda: DAG().has_path([], "b"), "start", "'list' object is not an instance of 'str'"),
        (lambda: DAG().would_create_cycle(1.0, "x"), "from", None),
        (lambda: DAG().release_index("0"), "index", None),
        (lambda: CuckooHash(Index("3")), "size", None),
    ],
)
def test_type_errors_in_conversion_carry_the_note(call, parameter, message):
    with pytest.raises(TypeError) as caught:
        call()
    if message is not None:
        assert str(caught.value) == message
    expect_note(caught.value, parameter)


@pytest.mark.parametrize("value", [-1, 2**64, Index(-5), Index(2**70)], ids=["-1", "2**64", "index -5", "index 2**70"])
def test_integers_outside_64_bits_overflow(value):
    with pytest.raises(OverflowError) as caught:
        DAG().release_index(value)
    expect_note(caught.value, "index")


def test_lone_surrogates_fail_to_encode():
    with pytest.raises(UnicodeEncodeError) as caught:
        CuckooHash(4).insert("ok", "\ud800")
    expect_note(caught.value, "value")


def test_index_errors_pass_through_with_the_note():
    def fail():
        raise KeyError("from __index__")

    with pytest.raises(KeyError) as caught:
        DAG().would_create_cycle(Index(0, fail), 0)
    expect_note(caught.value, "from")


@pytest.mark.parametrize(
    "value, expected", [(True, 1), (False, 0), (Index(3), 3), (2**64 - 1, 2**64 - 1)], ids=str
)
def test_integer_like_arguments(value, expected):
    # On an empty graph only equal indices answer (unequal ones fault on the bounds).
    dag = DAG()
    assert dag.would_create_cycle(value, expected) is True
    assert dag.would_create_cycle(expected, value) is True


def test_conversion_runs_first_to_last_and_reports_the_first_failure():
    seen = []
    dag = DAG()
    with pytest.raises(TypeError) as caught:
        dag.would_create_cycle(1.5, Index(0, lambda: seen.append("to")))
    expect_note(caught.value, "from")
    assert seen == []


# Access conflicts: the only Python code that runs inside an entry is an argument's
# __index__, so re-entry through it is how a conflict arises.
@pytest.mark.parametrize(
    "outer, inner, message",
    [
        ("release_index", lambda d: d.has_path("a", "b"), "Already mutably borrowed"),
        ("release_index", lambda d: d.would_create_cycle(0, 0), "Already mutably borrowed"),
        ("release_index", lambda d: d.add_node("x"), "Already borrowed"),
        ("release_index", lambda d: d.release_index(0), "Already borrowed"),
        ("would_create_cycle", lambda d: d.add_edge("x", "y"), "Already borrowed"),
        ("would_create_cycle", lambda d: d.finish_node("a"), "Already borrowed"),
    ],
)
def test_reentry_meets_the_held_access(outer, inner, message):
    dag = DAG()
    dag.add_node("a")
    errors = []

    def reenter():
        with pytest.raises(RuntimeError) as caught:
            inner(dag)
        errors.append(caught.value)

    if outer == "release_index":
        dag.release_index(Index(0, reenter))
    else:
        assert dag.would_create_cycle(Index(0, reenter), 0) is True
    assert [str(e) for e in errors] == [message]
    assert getattr(errors[0], "__notes__", None) is None
    # The flag is free again: both kinds of access succeed afterwards.
    assert dag.add_node("b") is True
    assert dag.has_path("b", "b") is True


def test_queries_may_nest_inside_a_query():
    dag = DAG()
    dag.add_edge("a", "b")
    answers = []
    assert dag.would_create_cycle(Index(1, lambda: answers.append(dag.has_path("a", "b"))), 0) is True
    assert answers == [True]
