import os
import shlex
import sys
import sysconfig

import pytest

import brambleloft

NOTES_SUPPORTED = sys.version_info >= (3, 11)
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
PYPY = sys.implementation.name == "pypy"


def skip_on_pypy(reason):
    """For a test of what CPython alone has or does: PyPy's C-API layer emulates CPython's
    objects, and lacks its introspection (reference counts, allocated blocks, object layout)."""
    return pytest.mark.skipif(PYPY, reason=f"PyPy {reason}")


# CPython's count of the blocks its allocator holds; PyPy has none.
ALLOCATED_BLOCKS_TELL = hasattr(sys, "getallocatedblocks")

# The command that starts this interpreter in a new process. An interpreter of another
# architecture runs under an emulator (qemu-user, no binfmt_misc), named in BRAMBLELOFT_TEST_EMULATOR.
PYTHON_COMMAND = [*shlex.split(os.environ.get("BRAMBLELOFT_TEST_EMULATOR", "")), sys.executable]

# The file the module must load from: the one the runner names (the abi3t wheel's
# brambleloft.abi3t.so), else the build for this interpreter alone on PyPy or on a free-threaded
# CPython before 3.15, which have no stable ABI, else the cp38-abi3 one.
MODULE_FILE = os.environ.get("BRAMBLELOFT_MODULE_FILE") or "brambleloft" + (
    sysconfig.get_config_var("EXT_SUFFIX") if PYPY or (FREE_THREADED and sys.version_info < (3, 15))
    else ".abi3.so"
)


def expect_note(error, parameter):
    """A conversion error carries the argument note where the interpreter has notes."""
    notes = getattr(error, "__notes__", None)
    if NOTES_SUPPORTED:
        assert notes == [f"while processing '{parameter}'"]
    else:
        assert notes is None


def loaded_library(name):
    try:
        with open("/proc/self/maps") as maps:
            return name in maps.read()
    except OSError:
        return False


def running_under_address_sanitizer():
    return loaded_library("libasan")


# Resident memory says what the process keeps, but not under qemu-user, whose own grows with
# the code it translates, nor under AddressSanitizer, which holds freed blocks in quarantine, nor
# under ThreadSanitizer, whose shadow memory grows with every address it sees, nor on PyPy, whose
# JIT and collector grow it with the code they compile and the heap they manage.
RESIDENT_MEMORY_TELLS = ("qemu" not in os.environ.get("BRAMBLELOFT_TEST_EMULATOR", "")
                         and not running_under_address_sanitizer() and not loaded_library("libtsan")
                         and not PYPY)

# AddressSanitizer ends the process on an impossible allocation instead of failing it.
skip_under_sanitizer = pytest.mark.skipif(
    running_under_address_sanitizer(), reason="the sanitizer aborts impossible allocations"
)


def provoke_panic():
    """Returns the internal-fault exception that a table without slots raises."""
    try:
        brambleloft.CuckooHash(0).get("a")
    except BaseException as error:  # noqa: B902 - it derives from BaseException on purpose
        return error
    raise AssertionError("no internal fault")


@pytest.fixture
def panic_type():
    return type(provoke_panic())


class Index:
    """An integer-like argument whose __index__ runs a callback first."""

    def __init__(self, value, callback=None):
        self.value = value
        self.callback = callback

    def __index__(self):
        if self.callback is not None:
            self.callback()
        return self.value
