"""The wheel as a file: its name, tag and contents, and the extension's binary interface."""

import ast
import email
import re
import zipfile
from pathlib import Path
from typing import Set

import pytest

from conftest import (MODULE_FILE, ROOT, STUB_FILE, WHEEL_NAME, installed_pyenv_pythons,
                      module_bytes, pip_wheel, run_ok)

DIST_INFO = "brambleloft-0.1.0.dist-info/"
# Feature blocks of CPython's stable-ABI list that apply to an x86-64 Linux release build;
# the Windows-only and debug-build blocks do not.
LINUX_FEATURE_MACROS = {"HAVE_FORK", "PY_HAVE_THREAD_NATIVE_ID"}


def read_member(wheel: Path, name: str) -> str:
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(name).decode("utf-8")


def test_wheel_name_and_wheel_metadata_carry_the_stable_abi_and_manylinux_tags(wheel):
    assert wheel.name == WHEEL_NAME
    meta = email.message_from_string(read_member(wheel, DIST_INFO + "WHEEL"))
    assert meta.get_all("Tag") == ["cp38-abi3-manylinux_2_17_x86_64", "cp38-abi3-manylinux2014_x86_64"]
    assert meta["Root-Is-Purelib"] == "false"


def test_distribution_metadata_names_the_project_version_and_oldest_python(wheel):
    meta = email.message_from_string(read_member(wheel, DIST_INFO + "METADATA"))
    assert (meta["Name"], meta["Version"], meta["Requires-Python"]) == ("brambleloft", "0.1.0", ">=3.8")


def test_wheel_holds_only_the_module_the_stubs_and_its_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
    assert sorted(n for n in names if not n.startswith(DIST_INFO)) == sorted([MODULE_FILE, STUB_FILE])
    metadata = {n[len(DIST_INFO):] for n in names if n.startswith(DIST_INFO)}
    assert {"METADATA", "WHEEL", "RECORD"} <= metadata <= {"METADATA", "WHEEL", "RECORD", "top_level.txt"}


def test_stubs_in_the_wheel_are_the_ones_in_the_tree(wheel):
    assert read_member(wheel, STUB_FILE) == (ROOT / "stubs" / STUB_FILE).read_text(encoding="utf-8")


def dynamic_symbols(library: Path, which: str) -> Set[str]:
    listing = run_ok(["nm", "-D", which, library])
    return {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}


def stable_abi_symbols(test_file: Path) -> Set[str]:
    """The symbol names of CPython's own stable-ABI test: the unconditional list plus the
    feature blocks that apply here."""
    names: Set[str] = set()
    for node in ast.parse(test_file.read_text(encoding="utf-8")).body:
        if isinstance(node, ast.Assign) and any(getattr(t, "id", None) == "SYMBOL_NAMES" for t in node.targets):
            names |= set(ast.literal_eval(node.value))
        elif (isinstance(node, ast.If) and isinstance(node.test, ast.Subscript)
              and ast.literal_eval(node.test.slice) in LINUX_FEATURE_MACROS):
            for statement in node.body:
                if isinstance(statement, ast.AugAssign) and getattr(statement.target, "id", None) == "SYMBOL_NAMES":
                    names |= set(ast.literal_eval(statement.value))
    return names


def newest_stable_abi_test() -> Path:
    for python in reversed(installed_pyenv_pythons()):
        version = python.name[len("python"):]
        candidate = python.parents[1] / "lib" / f"python{version}" / "test" / "test_stable_abi_ctypes.py"
        if candidate.is_file():
            return candidate
    pytest.skip("no pyenv interpreter carries test/test_stable_abi_ctypes.py")


def test_module_imports_nothing_outside_the_stable_abi(unpacked):
    allowed = stable_abi_symbols(newest_stable_abi_test())
    imported = {name for name in dynamic_symbols(unpacked / MODULE_FILE, "--undefined-only")
                if re.match(r"_?Py", name)}
    assert "PyModuleDef_Init" in imported, "the symbol listing is not the module's"
    assert sorted(imported - allowed) == []


def test_module_exports_only_its_init_function(unpacked):
    assert dynamic_symbols(unpacked / MODULE_FILE, "--defined-only") == {"PyInit_brambleloft"}


def test_module_loads_on_the_oldest_interpreter(unpacked):
    pythons = installed_pyenv_pythons()
    if not pythons:
        pytest.skip("no pyenv interpreter is installed")
    # -I keeps the working folder and PYTHONPATH off sys.path: only the unpacked wheel counts.
    out = run_ok([pythons[0], "-I", "-c",
                  "import sys; sys.path.insert(0, sys.argv[1]); import brambleloft;"
                  "brambleloft.CuckooHash(1); brambleloft.DAG(); print(brambleloft.__file__)",
                  unpacked])
    assert Path(out.strip()) == unpacked / MODULE_FILE


def test_the_same_wheel_builds_from_the_sdist_with_build_isolation(wheel, sdist, tmp_path_factory):
    # Offline stand-in for a package index: Debian's wheels of setuptools and wheel, which
    # pip installs into the isolated build environment from pyproject.toml's requirements.
    found = Path("/usr/share/python-wheels")
    missing = [package for name, package in [("setuptools", "python3-setuptools-whl"),
                                              ("wheel", "python3-wheel-whl")]
               if not list(found.glob(f"{name}-*.whl"))]
    if missing:
        pytest.skip(f"build isolation offline needs Debian's {', '.join(missing)}")
    isolated = pip_wheel(sdist, tmp_path_factory, "--no-index", "--find-links", found)
    assert isolated.name == WHEEL_NAME
    with zipfile.ZipFile(wheel) as first, zipfile.ZipFile(isolated) as second:
        assert sorted(first.namelist()) == sorted(second.namelist())
    # Built elsewhere, from other copies of the sources: still the same file.
    assert module_bytes(isolated) == module_bytes(wheel)
