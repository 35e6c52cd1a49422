"""Internal faults: the exception class, the standard-error report, and resumption."""
import re
import subprocess
import sys
import textwrap

import pytest
from conftest import PYTHON_COMMAND, provoke_panic, skip_under_sanitizer

import brambleloft
from brambleloft import DAG, CuckooHash

REMAINDER = "attempt to calculate the remainder with a divisor of zero"


def test_the_fault_exception_class(panic_type):
    assert panic_type.__module__ == "pyo3_runtime"
    assert panic_type.__name__ == "PanicException"
    assert panic_type.__bases__ == (BaseException,)
    assert not issubclass(panic_type, Exception)
    assert not hasattr(brambleloft, "PanicException")
    assert "pyo3_runtime" not in sys.modules
    doc = panic_type.__doc__
    assert doc.startswith("\n") and doc.endswith("\n")
    assert "BaseException" in doc and "\n\n" in doc
    assert type(provoke_panic()) is panic_type  # one class per process


def test_a_fault_is_not_caught_by_except_exception():
    with pytest.raises(BaseException) as caught:
        try:
            CuckooHash(0).hash1("a")
        except Exception:  # must not catch it
            pytest.fail("caught by except Exception")
    assert str(caught.value) == REMAINDER
    assert caught.value.args == (REMAINDER,)


@pytest.mark.parametrize("method", ["hash1", "hash2", "get", "remove"])
def test_capacity_zero_faults_every_time_and_stays_usable(panic_type, method):
    table = CuckooHash(0)
    for _ in range(3):
        with pytest.raises(panic_type, match=REMAINDER):
            getattr(table, method)("a")
    with pytest.raises(panic_type, match=REMAINDER):
        table.insert("a", "1")


def test_bounds_fault_names_the_len_and_the_index(panic_type):
    dag = DAG()
    for name in "abc":
        dag.add_node(name)
    with pytest.raises(panic_type) as caught:
        dag.release_index(3)
    assert str(caught.value) == "index out of bounds: the len is 3 but the index is 3"
    with pytest.raises(panic_type) as caught:
        dag.would_create_cycle(0, 5)
    assert str(caught.value) == "index out of bounds: the len is 3 but the index is 5"
    assert dag.add_node("d") is True  # the instance keeps working


def test_a_huge_size_is_a_capacity_overflow_and_no_instance(panic_type):
    with pytest.raises(panic_type, match="^capacity overflow$"):
        CuckooHash(2**64 - 1)


@skip_under_sanitizer
def test_memory_that_cannot_be_had_is_a_memory_error():
    with pytest.raises(MemoryError):
        CuckooHash(2**60)


def run_python(code):
    return subprocess.run(
        [*PYTHON_COMMAND, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=60,
    )


def test_every_fault_is_reported_on_stderr_and_the_first_adds_a_hint():
    result = run_python(
        """
        import brambleloft
        for _ in range(2):
            try:
                brambleloft.CuckooHash(0).get("a")
            except BaseException as e:
                print(type(e).__name__, e)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [f"PanicException {REMAINDER}"] * 2
    lines = result.stderr.splitlines()
    assert sum(REMAINDER in line for line in lines) == 2
    # The report names the file relative to the project, not the folder it was built in.
    report = re.compile(r"thread '[^']*' hit an internal fault at src/cuckoo_hash/[\w.]+\.[ch]pp:\d+:\d+:")
    assert sum(report.fullmatch(line) is not None for line in lines) == 2
    assert sum("backtrace" in line for line in lines) == 1
    assert "backtrace" in lines[2]


def test_a_fault_raised_again_from_python_is_resumed_with_its_message():
    result = run_python(
        """
        import brambleloft
        try:
            brambleloft.CuckooHash(0).get("a")
        except BaseException as e:
            first = e

        class Again:
            def __index__(self):
                raise first

        try:
            brambleloft.DAG().release_index(Again())
        except BaseException as e:
            print(type(e) is type(first), e is first, str(e))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"True False {REMAINDER}"
    err = result.stderr
    assert "resumed" in err
    assert "Python stack trace below:" in err
    assert "in __index__" in err and "PanicException" in err
    # The original report and the printed traceback; the resumed fault writes no second report.
    assert err.count(REMAINDER) == 2
