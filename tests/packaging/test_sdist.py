"""The source distribution, and the routes from source to an installed module: offline
without build isolation, and isolated (pip fetches the build backend from the index)."""

import tarfile

import pytest

from conftest import (DEBIAN_PYTHON, MODULE_FILE, ROOT, SDIST_NAME, module_bytes, offline_wheel, run,
                      run_ok, tool)


def test_sdist_holds_every_source_and_none_of_the_developer_files(sdist):
    assert sdist.name == SDIST_NAME
    with tarfile.open(sdist) as archive:
        names = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
    tracked = set(run_ok(["git", "-C", ROOT, "ls-files", "src", "stubs"]).split())
    assert tracked, "git lists no sources"
    needed = {"CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO"}
    assert sorted((tracked | needed) - names) == []
    assert sorted(name for name in names if name.startswith(("build", "dist", "tests/", "tools/", "."))) == []


def test_twine_accepts_the_sdist_and_the_wheel(sdist, wheel):
    run_ok([tool("twine"), "check", "--strict", sdist, wheel])


def test_sdist_builds_offline_without_isolation_into_the_same_module(raw_wheel, sdist, tmp_path_factory):
    built = offline_wheel(sdist, tmp_path_factory)
    assert built.name == raw_wheel.name
    assert module_bytes(built) == module_bytes(raw_wheel)


@pytest.mark.parametrize("source", ["tree", "sdist"])
def test_pip_install_with_build_isolation_into_a_fresh_environment(source, raw_wheel, request, tmp_path):
    # The backend comes from the package index as pyproject.toml's build-system asks; built
    # elsewhere, from another copy of the sources, the module is still the same file.
    origin = ROOT if source == "tree" else request.getfixturevalue("sdist")
    run_ok([DEBIAN_PYTHON, "-m", "venv", tmp_path / "env"])
    python = tmp_path / "env" / "bin" / "python"
    run_ok([python, "-m", "pip", "install", "-q", origin], timeout=900)
    installed = run_ok([python, "-c", "import brambleloft; brambleloft.DAG(); print(brambleloft.__file__)"],
                       cwd=tmp_path).strip()
    assert installed.endswith("/site-packages/" + MODULE_FILE)
    with open(installed, "rb") as module:
        assert module.read() == module_bytes(raw_wheel)


def test_a_missing_xxhash_header_stops_the_build_naming_the_package(tmp_path):
    # Every header search confined to an empty folder: as on a machine without xxHash.
    empty = tmp_path / "empty"
    empty.mkdir()
    done = run(["cmake", "-S", ROOT, "-B", tmp_path / "build", "-DBRAMBLELOFT_TESTS=OFF",
                f"-DCMAKE_FIND_ROOT_PATH={empty}", "-DCMAKE_FIND_ROOT_PATH_MODE_INCLUDE=ONLY"])
    assert done.returncode != 0
    message = " ".join(done.stdout.split())
    assert "xxhash.h" in message
    assert "libxxhash-dev on Debian and Ubuntu, xxhash-devel on Fedora" in message
