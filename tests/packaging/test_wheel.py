"""The wheel as a file: its name, tags, metadata and contents, and the extension's binary interface.
Every wheel the suite builds also passes abi3audit --strict (conftest.check_wheel)."""

import email
import zipfile
from pathlib import Path
from typing import Set

import pytest
from packaging.utils import parse_wheel_filename

from conftest import (MODULE_FILE, PLATFORM_TAGS, ROOT, STUB_FILE, VERSION, installed_pyenv_pythons,
                      run_ok)

DIST_INFO = f"brambleloft-{VERSION}.dist-info/"
PYTHON_VERSIONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13"]


def read_member(wheel: Path, name: str) -> str:
    with zipfile.ZipFile(wheel) as archive:
        return archive.read(name).decode("utf-8")


def test_wheel_name_and_wheel_metadata_carry_the_stable_abi_and_manylinux_tags(wheel):
    name, version, _, tags = parse_wheel_filename(wheel.name)
    assert (name, str(version)) == ("brambleloft", VERSION)
    assert {(t.interpreter, t.abi) for t in tags} == {("cp38", "abi3")}
    assert {t.platform for t in tags} == PLATFORM_TAGS
    meta = email.message_from_string(read_member(wheel, DIST_INFO + "WHEEL"))
    assert sorted(meta.get_all("Tag")) == sorted(f"cp38-abi3-{p}" for p in PLATFORM_TAGS)
    assert meta["Root-Is-Purelib"] == "false"


def test_distribution_metadata_is_complete(wheel):
    meta = email.message_from_string(read_member(wheel, DIST_INFO + "METADATA"))
    assert (meta["Name"], meta["Version"], meta["Requires-Python"]) == ("brambleloft", VERSION, ">=3.8")
    assert (meta["License-Expression"], meta["License-File"]) == ("MIT", "LICENSE")
    assert meta["Summary"] and meta["Description-Content-Type"] == "text/markdown"
    assert "## Installing" in meta.get_payload()
    classifiers = set(meta.get_all("Classifier"))
    assert {f"Programming Language :: Python :: {v}" for v in PYTHON_VERSIONS} <= classifiers
    assert {"Operating System :: POSIX :: Linux", "Typing :: Typed"} <= classifiers


def test_wheel_holds_only_the_module_the_stubs_the_license_and_its_metadata(wheel):
    with zipfile.ZipFile(wheel) as archive:
        names = [n for n in archive.namelist() if not n.endswith("/")]  # auditwheel adds folders
        license_text = archive.read(DIST_INFO + "licenses/LICENSE")
    assert sorted(n for n in names if not n.startswith(DIST_INFO)) == sorted([MODULE_FILE, STUB_FILE])
    assert {n[len(DIST_INFO):] for n in names if n.startswith(DIST_INFO)} == {
        "METADATA", "WHEEL", "RECORD", "licenses/LICENSE"}
    assert license_text == (ROOT / "LICENSE").read_bytes()


def test_stubs_in_the_wheel_are_the_ones_in_the_tree(wheel):
    assert read_member(wheel, STUB_FILE) == (ROOT / "stubs" / STUB_FILE).read_text(encoding="utf-8")


def dynamic_symbols(library: Path, which: str) -> Set[str]:
    listing = run_ok(["nm", "-D", which, library])
    return {line.split()[-1].split("@")[0] for line in listing.splitlines() if line.strip()}


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
